#include "batch/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#ifndef GAINSCAN_VERSION
#define GAINSCAN_VERSION "unknown"
#endif

namespace {

constexpr int USAGE_ERROR = 2;

const char* const HELP = R"(Usage: gainscan-batch [OPTIONS] PATH...
Analyses MP3 files for data hidden in the global_gain LSBs, one record per
file. Directories are walked recursively, entries in name order.

A PATH of - analyses standard input as one file.

Input:
  --files-from FILE     also read names from FILE (- for standard input)
  -0, --null            names in the --files-from list end with NUL, not newline
  -L, --follow-symlinks follow symbolic links found in directories
      --include GLOB    in directories, only files whose path matches (repeatable)
      --exclude GLOB    in directories, leave out files and directories that match
      --layer3-only     in directories, skip files that do not start like Layer III
Output:
  -f, --format FORMAT   text (default), jsonl or csv
      --only-flagged    print only flagged files and errors
      --summary         jsonl: end with a {"summary": ...} object; text, csv:
                        the summary line on stderr even with --quiet
      --hash LIST       digests of every file: sha256 (default), sha256,md5, none
      --resume REPORT   continue the interrupted jsonl scan REPORT, appending to it
      --report FILE     also write the scan as one self-contained HTML page
      --progress        progress line on stderr even when it is not a terminal
  -q, --quiet           no progress line and no summary on stderr
Analysis:
      --quick           gainscan's analysis of the first 200 records only
      --alpha A         flag files whose p_value is A or less (default 0.001)
      --span-all        weigh every carrier whatever the length field says
                        (for calibration studies of p_value)
      --extract DIR     write the payload of every flagged file into DIR
      --extract-all     with --extract: of every file whose length field is found
      --dump-records DIR  one CSV of granule records per file into DIR
Run:
  -j, --jobs N          worker threads (default: the number of cores)
  -h, --help            this text
  -V, --version         the version

Exit status: 0 nothing flagged, 1 something flagged, 2 errors only, or a
usage error. See gainscan-batch(1).
)";

// "sha256", "md5", "sha256,md5" (either order), or "none".
bool parse_hash(const std::string& list, HashChoice& choice) {
    choice = HashChoice{.sha256 = false, .md5 = false};
    if (list == "none") return true;
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string name = list.substr(at, comma - at);
        if (name == "sha256") choice.sha256 = true;
        else if (name == "md5") choice.md5 = true;
        else return false;
        at = comma + 1;
    }
    return true;
}

CommandLine usage_error(const std::string& text) {
    CommandLine result;
    result.status = USAGE_ERROR;
    result.message = "gainscan-batch: " + text + "\nTry 'gainscan-batch --help'.\n";
    return result;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
    CommandLine result;
    BatchOptions& o = result.options;
    std::string format = "text";
    int jobs = 0;
    bool help = false, version = false;
    std::string extract, dump, hash = "sha256";

    CLI::App app("gainscan-batch");
    app.set_help_flag();
    app.allow_windows_style_options(false);
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);
    app.add_option("--files-from", o.files_from);
    app.add_flag("-0,--null", o.null_separated);
    app.add_flag("-L,--follow-symlinks", o.follow_symlinks);
    CLI::Option* format_option = app.add_option("-f,--format", format);
    app.add_flag("--only-flagged", o.only_flagged);
    app.add_flag("--summary", o.summary);
    app.add_flag("--progress", o.progress);
    app.add_flag("-q,--quiet", o.quiet);
    app.add_flag("--quick", o.scan.quick);
    CLI::Option* alpha = app.add_option("--alpha", o.scan.alpha);
    app.add_flag("--span-all", o.scan.span_all);
    app.add_option("--extract", extract);
    app.add_flag("--extract-all", o.scan.extract_all);
    app.add_option("--dump-records", dump);
    CLI::Option* jobs_option = app.add_option("-j,--jobs", jobs);
    // One glob per occurrence: a following PATH is never taken for a second glob.
    for (auto [name, globs] : {std::pair{"--include", &o.include}, std::pair{"--exclude", &o.exclude}})
        app.add_option(name, *globs)->expected(1)->allow_extra_args(false)->multi_option_policy(
            CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--layer3-only", o.scan.layer3_only);
    app.add_option("--hash", hash);
    CLI::Option* resume = app.add_option("--resume", o.resume);
    app.add_option("--report", o.report);
    app.add_option("paths", o.paths);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return usage_error(e.what());
    }

    if (help || version) {
        result.message = help ? HELP : "gainscan-batch " GAINSCAN_VERSION "\n";
        return result;
    }
    if (o.paths.empty() && o.files_from.empty()) return usage_error("no PATH given");
    if (format == "text") o.format = OutputFormat::text;
    else if (format == "jsonl") o.format = OutputFormat::jsonl;
    else if (format == "csv") o.format = OutputFormat::csv;
    else return usage_error("--format must be text, jsonl or csv, not '" + format + "'");
    if (jobs_option->count() > 0 && (jobs < 1 || jobs > 1024))
        return usage_error("--jobs must be 1..1024, not " + std::to_string(jobs) + " (leave it out for one per core)");
    o.jobs = jobs > 0 ? static_cast<unsigned>(jobs) : std::max(1u, std::thread::hardware_concurrency());
    if (!parse_hash(hash, o.scan.hash))
        return usage_error("--hash must be sha256, md5, both separated by a comma, or none, not '" + hash + "'");
    if (resume->count() > 0) {
        if (format_option->count() > 0 && o.format != OutputFormat::jsonl)
            return usage_error("--resume continues a jsonl report: not with --format " + format);
        if (o.only_flagged) return usage_error("--resume needs every record in the report: not with --only-flagged");
        o.format = OutputFormat::jsonl;
    }
    const auto is_stdin = [](const std::string& path) { return path == "-"; };
    const auto stdin_paths = std::count_if(o.paths.begin(), o.paths.end(), is_stdin);
    if (stdin_paths > 1 || (stdin_paths == 1 && o.files_from == "-"))
        return usage_error("standard input can be read once: '-' is named more than once");
    if (o.scan.extract_all && extract.empty()) return usage_error("--extract-all needs --extract DIR");
    if (alpha->count() > 0 && o.scan.quick) return usage_error("--alpha has no effect with --quick");
    if (!(o.scan.alpha > 0 && o.scan.alpha < 1)) return usage_error("--alpha must be between 0 and 1");
    // Both come from the whole-file analysis, which --quick leaves out.
    if (o.scan.quick && !(extract.empty() && dump.empty()))
        return usage_error("--extract and --dump-records need the whole-file analysis, not --quick");
    for (const std::string* dir : {&extract, &dump}) {
        std::error_code ec;
        if (!dir->empty() && !std::filesystem::is_directory(*dir, ec))
            return usage_error("'" + *dir + "' is not a directory (--extract and --dump-records need one)");
    }
    // Nothing is written into the scanned tree (the walk would also meet the
    // new files). Names from --files-from are not known yet and not checked.
    for (const std::string* dir : {&extract, &dump}) {
        if (dir->empty()) continue;
        std::error_code ec;
        const std::filesystem::path out = std::filesystem::canonical(*dir, ec);
        for (const std::string& path : o.paths) {
            std::error_code pc;
            if (path == "-" || !std::filesystem::is_directory(path, pc)) continue;
            const std::filesystem::path scanned = std::filesystem::canonical(path, pc);
            if (ec || pc) continue;
            const auto [end, at] = std::mismatch(scanned.begin(), scanned.end(), out.begin(), out.end());
            if (end == scanned.end())
                return usage_error("'" + *dir + "' is inside the scanned directory '" + path +
                                   "': --extract and --dump-records write outside the scanned tree");
        }
    }
    if (!extract.empty()) o.scan.extract_dir = extract;
    if (!dump.empty()) o.scan.dump_dir = dump;
    result.run = true;
    return result;
}
