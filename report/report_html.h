// The HTML report of a scan: one self-contained file (inline style, inline
// script, inline SVG; no request leaves the page) that opens from a USB stick
// in any current browser. gainscan-report makes it from a saved jsonl report;
// gainscan-batch can call the same function on the records it has just
// written. Nothing here depends on the scanning code: the input is the JSON
// the scan writes, read tolerantly (any field may be absent, null or odd).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/report_input.h"

namespace gainscan {

// Where the records came from, when known: the problems met reading a jsonl
// report are named in the report itself.
struct ReportSource {
    std::string name;  // e.g. the jsonl file's path; empty when not known
    std::span<const InputProblem> problems;
    std::uint64_t problem_count = 0;
    bool read_failed = false;
    // The directory the scan ran in, as seen from the page's own directory
    // (e.g. ".."): relative paths in the records (records_file, payload_file)
    // are relative to it, and links to them must be made from the page.
    // Empty: the page sits in that directory.
    std::string link_base;
};

// `scan_header` and `summary` may be the inner objects or the whole
// {"scan": {...}} and {"summary": {...}} lines, or null when absent.
std::string render_report_html(const nlohmann::json& scan_header, std::span<const nlohmann::json> records,
                               const nlohmann::json& summary, const ReportSource& source = {});
std::string render_report_html(const ReportInput& input, std::string_view source_name,
                               std::string_view link_base = {});

// The order of the table and of the flagged sections: flagged files first,
// then by p_value ascending, then by score descending (absent values after
// present ones), then in scan order. Indices into `records`.
std::vector<std::size_t> report_order(std::span<const nlohmann::json> records);

// Writes the page next to `path` and renames it, so that a failed write never
// leaves half a report under the name the user asked for.
bool write_report_file(const std::string& path, const std::string& html, std::string& error);

}  // namespace gainscan
