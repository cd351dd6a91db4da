// gainscan-report: the HTML report of a saved gainscan-batch jsonl report, so
// that a long scan need not run again to be looked at.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

#include "report/report_html.h"
#include "report/report_input.h"

#ifndef GAINSCAN_VERSION
#define GAINSCAN_VERSION "unknown"
#endif

namespace {

constexpr int kFailure = 2;

const char* const kHelp = R"(Usage: gainscan-report REPORT.jsonl -o FILE.html
Writes a self-contained HTML report (no network access, no external file) of a
gainscan-batch jsonl report: the scan, its summary, a sortable and filterable
table of every file, and the evidence of each flagged file.

  REPORT.jsonl          gainscan-batch --format jsonl output (- for standard input)
  -o, --output FILE     the HTML file to write (- for standard output)
  -h, --help            this text
  -V, --version         the version

Lines of the report that cannot be used are named in the HTML report and
counted on standard error; they do not stop it.
Exit status: 0 the report was written, 2 it was not (usage or input/output error).
)";

int fail(const std::string& message) {
    std::cerr << "gainscan-report: " << message << '\n';
    return kFailure;
}

int usage_error(const std::string& message) {
    std::cerr << "gainscan-report: " << message << "\nTry 'gainscan-report --help'.\n";
    return kFailure;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input_path, output_path;
    bool help = false, version = false;
    CLI::App app("gainscan-report");
    app.set_help_flag();
    app.allow_windows_style_options(false);
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);
    app.add_option("-o,--output", output_path);
    app.add_option("report", input_path);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return usage_error(e.what());
    }
    if (help) {
        std::cout << kHelp;
        return 0;
    }
    if (version) {
        std::cout << "gainscan-report " << GAINSCAN_VERSION << '\n';
        return 0;
    }
    if (input_path.empty()) return usage_error("no report given (a jsonl file, or - for standard input)");
    if (output_path.empty()) return usage_error("no output given (-o FILE.html, or -o - for standard output)");

    gainscan::ReportInput input;
    if (input_path == "-") {
        input = gainscan::read_report_jsonl(std::cin);
    } else {
        std::error_code ec;
        if (std::filesystem::is_directory(input_path, ec)) return fail(input_path + ": is a directory");
        std::ifstream in(input_path, std::ios::binary);
        if (!in) return fail("cannot read " + input_path + ": " + std::strerror(errno));
        input = gainscan::read_report_jsonl(in);
    }
    if (input.read_failed) return fail("reading " + (input_path == "-" ? "standard input" : input_path) + " failed");
    if (input.lines == 0) {
        std::cerr << "gainscan-report: " << (input_path == "-" ? "standard input" : input_path)
                  << " is empty; the report lists no file\n";
    }
    if (input.problem_count > 0) {
        std::cerr << "gainscan-report: " << input.problem_count
                  << (input.problem_count == 1 ? " line" : " lines")
                  << " could not be used (named in the report); first: line " << input.problems.front().line
                  << ": " << input.problems.front().reason << '\n';
    }

    // Relative paths in the records are taken as relative to the directory
    // this runs in (normally the scan's own); the page links to them from
    // wherever it is written.
    std::string link_base;
    if (output_path != "-") {
        std::error_code ec;
        const auto from = std::filesystem::absolute(output_path, ec).parent_path();
        const auto here = std::filesystem::current_path(ec);
        if (!ec) link_base = std::filesystem::relative(here, from, ec).string();
        if (ec) link_base = here.string();
    }
    const std::string html = gainscan::render_report_html(
        input, input_path == "-" ? std::string_view("standard input") : input_path, link_base);
    if (output_path == "-") {
        std::cout.write(html.data(), static_cast<std::streamsize>(html.size()));
        std::cout.flush();
        if (!std::cout) return fail("cannot write to standard output");
        return 0;
    }
    std::string error;
    if (!gainscan::write_report_file(output_path, html, error)) return fail(error);
    return 0;
}
