#include "batch/html_report.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "report/report_html.h"
#include "report/report_input.h"

bool write_html_report(std::FILE* jsonl, const std::string& source_name, const std::string& path, std::string& error) {
    std::string text;
    std::rewind(jsonl);
    char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, jsonl)) > 0;) text.append(chunk, n);
    if (std::ferror(jsonl)) {
        error = "reading the scan's records back failed";
        return false;
    }
    std::istringstream in(std::move(text));
    const gainscan::ReportInput input = gainscan::read_report_jsonl(in);

    // Paths in the records (record dumps, payloads) are relative to where the
    // scan ran; the page links to them from its own directory.
    std::error_code ec;
    std::string link_base;
    const auto from = std::filesystem::absolute(path, ec).parent_path();
    const auto here = std::filesystem::current_path(ec);
    if (!ec) link_base = std::filesystem::relative(here, from, ec).string();
    if (ec) link_base = here.string();
    const std::string html = gainscan::render_report_html(input, source_name, link_base);

    return gainscan::write_report_file(path, html, error);
}
