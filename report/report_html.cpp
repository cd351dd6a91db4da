#include "report/report_html.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "report/evidence_plot.h"
#include "report/html_text.h"
#include "report/json_fields.h"
#include "report/report_assets.h"

namespace gainscan {

namespace {

using Json = nlohmann::json;

// ---------------------------------------------------------------- the facts of one record

// The verdict filter's categories, in the order the report ranks them.
struct Verdict {
    const char* key;
    const char* label;
};
constexpr std::array<Verdict, 5> kVerdicts{{
    {"flagged", "flagged"},
    {"insufficient", "too little to tell"},
    {"found", "found, not flagged"},
    {"none", "none"},
    {"no-verdict", "no verdict"},
}};

struct Row {
    std::size_t index = 0;  // position in the input
    const Json* record = nullptr;
    std::string name;
    std::string status;  // "" when not recorded
    std::string format;  // "" when not recorded
    std::size_t verdict = 4;
    bool flagged = false;
    std::optional<double> score, p_value;
};

Row row_of(const Json& record, std::size_t index) {
    Row row;
    row.index = index;
    row.record = &record;
    row.name = std::string(text_field(record, "file").value_or(""));
    row.status = std::string(text_field(record, "status").value_or(""));
    row.format = std::string(text_field(record, "format").value_or(""));
    row.flagged = bool_field(record, "flagged").value_or(false);
    row.score = number_field(record, "score");
    row.p_value = number_field(record, "p_value");
    const auto verdict = text_field(record, "verdict");
    if (row.flagged) {
        row.verdict = 0;
    } else if (row.status == "error" || !verdict) {
        row.verdict = 4;
    } else if (text_field(record, "evidence") == "insufficient") {
        row.verdict = 1;
    } else if (verdict == "found") {
        row.verdict = 2;
    } else if (verdict == "none") {
        row.verdict = 3;
    }
    return row;
}

// Present values before absent ones; `less` orders two present ones.
template <typename Less>
int compare_optional(const std::optional<double>& a, const std::optional<double>& b, Less less) {
    if (a && b) return less(*a, *b) ? -1 : less(*b, *a) ? 1 : 0;
    if (a.has_value() != b.has_value()) return a ? -1 : 1;
    return 0;
}

bool ranks_before(const Row& a, const Row& b) {
    if (a.flagged != b.flagged) return a.flagged;
    if (const int c = compare_optional(a.p_value, b.p_value, std::less<>{}); c != 0) return c < 0;
    if (const int c = compare_optional(a.score, b.score, std::greater<>{}); c != 0) return c < 0;
    return a.index < b.index;
}

std::vector<Row> ranked_rows(std::span<const Json> records) {
    std::vector<Row> rows;
    rows.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) rows.push_back(row_of(records[i], i));
    std::sort(rows.begin(), rows.end(), ranks_before);
    return rows;
}

// ---------------------------------------------------------------- small pieces of markup

const Json& unwrap(const Json& value, const char* name) {
    if (value.is_object() && value.size() == 1 && value.contains(name)) return value[name];
    return value;
}

std::string number_text(const Json& object, std::string_view name, int significant = 4) {
    const auto v = number_field(object, name);
    return v ? format_number(*v, significant) : std::string();
}

// A <dt>/<dd> pair, left out when the value is empty; `value_html` is markup.
void fact(std::string& out, std::string_view term, const std::string& value_html) {
    if (value_html.empty()) return;
    out += "<dt>";
    append_html(out, term);
    out += "</dt><dd>";
    out += value_html;
    out += "</dd>";
}

std::string field_html(const Json& object, std::string_view name) {
    const Json* value = member(object, name);
    return value == nullptr ? std::string() : html(display_value(*value));
}

std::string mono(const std::string& text_html) {
    return text_html.empty() ? text_html : "<code>" + text_html + "</code>";
}

std::string with_unit(const std::string& number, std::string_view unit) {
    return number.empty() ? number : number + " " + html(unit);
}

std::string thousands(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ",";
        out += digits[i];
    }
    return out;
}

// Text with its line ends kept (for <pre>), everything else as append_html.
void append_lines(std::string& out, std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find('\n', start);
        append_html(out, text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        out += '\n';
        start = end + 1;
    }
}

// Escaped text with a line-break opportunity after each "/" and "_", so that
// long paths wrap between their parts rather than anywhere.
std::string breakable(std::string_view text) {
    std::string out;
    for (const char c : html(text)) {
        out += c;
        if (c == '/' || c == '_') out += "<wbr>";
    }
    return out;
}

// Every member of `object` not in `known`, so that nothing the scan wrote is
// silently left out of the report.
void other_facts(std::string& out, const Json& object, const std::set<std::string_view>& known) {
    if (!object.is_object()) return;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (known.contains(it.key())) continue;
        fact(out, it.key(), html(display_value(it.value())));
    }
}

// ---------------------------------------------------------------- the sections

std::string sha256_base64(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) return "";
    std::array<unsigned char, 4 * EVP_MAX_MD_SIZE / 3 + 4> encoded{};
    const int n = EVP_EncodeBlock(encoded.data(), digest.data(), static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(n));
}

void head(std::string& out, std::size_t files, std::size_t flagged) {
    const std::string policy = "default-src 'none'; script-src 'sha256-" + sha256_base64(report_assets::kScript) +
                               "'; style-src 'sha256-" + sha256_base64(report_assets::kStyle) +
                               "'; img-src 'none'; base-uri 'none'; form-action 'none'";
    out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    out += "<meta http-equiv=\"Content-Security-Policy\" content=\"" + policy + "\">\n";
    out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    out += "<meta name=\"generator\" content=\"gainscan-report\">\n";
    out += "<title>gainscan report: " + thousands(files) + (files == 1 ? " file, " : " files, ") +
           thousands(flagged) + " flagged</title>\n";
    out += "<style>";
    out += report_assets::kStyle;
    out += "</style>\n</head>\n<body>\n";
}

void scan_section(std::string& out, const Json& scan, const ReportSource& source) {
    out += "<header>\n<h1>gainscan report</h1>\n<p class=\"sub\">";
    std::string tool = std::string(text_field(scan, "tool").value_or("gainscan-batch"));
    if (const auto version = text_field(scan, "version")) tool += " " + std::string(*version);
    append_html(out, tool);
    if (const auto host = text_field(scan, "host")) {
        out += " on ";
        append_html(out, *host);
    }
    if (const auto started = text_field(scan, "started")) {
        out += ", started ";
        append_html(out, *started);
    }
    out += "</p>\n</header>\n<section id=\"scan\">\n<h2>Scan</h2>\n";
    if (!scan.is_object()) {
        out += "<p class=\"notice\">The report has no scan header: it was written by a gainscan-batch that did not "
               "record one, or its first line was lost. Tool, options and start time are not known.</p>\n";
    }
    out += "<div class=\"columns\"><div><dl class=\"facts\">";
    if (!source.name.empty()) fact(out, "made from", mono(html(source.name)));
    fact(out, "tool", field_html(scan, "tool"));
    fact(out, "version", field_html(scan, "version"));
    fact(out, "host", field_html(scan, "host"));
    fact(out, "started (UTC)", field_html(scan, "started"));
    other_facts(out, scan, {"tool", "version", "host", "started", "options"});
    out += "</dl></div>\n";
    if (const Json* options = member(scan, "options"); options != nullptr) {
        out += "<div><h4>Options</h4>\n";
        if (options->is_object() && !options->empty()) {
            out += "<table class=\"options\"><tbody>";
            for (auto it = options->begin(); it != options->end(); ++it) {
                out += "<tr><th scope=\"row\">";
                append_html(out, it.key());
                out += "</th><td><code>";
                append_html(out, display_value(it.value()));
                out += "</code></td></tr>";
            }
            out += "</tbody></table>\n";
        } else {
            out += "<p><code>" + html(display_value(*options)) + "</code></p>\n";
        }
        out += "</div>";
    }
    out += "</div>\n</section>\n";
}

void count_table(std::string& out, const char* title, const std::map<std::string, std::size_t>& counts,
                 const std::function<std::string(const std::string&)>& label) {
    out += "<table class=\"counts\"><thead><tr><th>";
    append_html(out, title);
    out += "</th><th class=\"num\">files</th></tr></thead><tbody>";
    for (const auto& [key, n] : counts) {
        out += "<tr><td>" + label(key) + "</td><td class=\"num\">" + thousands(n) + "</td></tr>";
    }
    out += "</tbody></table>\n";
}

std::string alpha_meaning(double alpha, std::optional<double> analysed) {
    std::string text = "A file is flagged when its p_value is at most \u03b1 = " + format_number(alpha, 3) +
                       ": a clean file gets that far with probability " + format_number(alpha, 3) +
                       ", so expect about " + format_number(alpha * 10000, 3) +
                       " false alarms per 10,000 clean files";
    if (analysed && *analysed > 0) {
        text += " (about " + format_number(alpha * *analysed, 2) + " among the " + format_number(*analysed) +
                " files analysed here, if all were clean)";
    }
    return text + ".";
}

void alpha_part(std::string& out, const Json& scan, const Json& summary) {
    auto alpha = number_field(summary, "alpha");
    if (!alpha) {
        if (const Json* options = member(scan, "options")) alpha = number_field(*options, "alpha");
    }
    if (alpha && *alpha > 0 && *alpha < 1) {
        out += "<p id=\"alpha\">" + html(alpha_meaning(*alpha, number_field(summary, "analysed"))) + "</p>\n";
    }
}

void summary_section(std::string& out, const Json& scan, const Json& summary, const std::vector<Row>& rows,
                     const ReportSource& source) {
    out += "<section id=\"summary\">\n<h2>Summary</h2>\n";
    if (!summary.is_object()) {
        out += "<p class=\"notice\">The report has no summary line: the scan may have been interrupted, or was run "
               "without <code>--summary</code>. The counts below are those of the records in the report.</p>\n";
    } else if (const auto files = number_field(summary, "files"); files && *files != static_cast<double>(rows.size())) {
        out += "<p class=\"notice\">The summary counts " + format_number(*files) + " files, but the report holds " +
               thousands(rows.size()) + (rows.size() == 1 ? " record" : " records") +
               (source.problem_count > 0 ? " (see the lines that could not be used, below)" : "") + ".</p>\n";
    }
    std::size_t flagged = 0, errors = 0;
    std::map<std::string, std::size_t> by_status, by_format, by_verdict;
    for (const Row& row : rows) {
        flagged += row.flagged ? 1 : 0;
        errors += row.status == "error" ? 1 : 0;
        ++by_status[row.status];
        ++by_format[row.format];
        ++by_verdict[std::string(1, static_cast<char>('0' + row.verdict))];
    }
    out += "<p><strong>" + thousands(rows.size()) + (rows.size() == 1 ? " file" : " files") + " in the report, " +
           thousands(flagged) + " flagged, " + thousands(errors) + (errors == 1 ? " error" : " errors") +
           ".</strong></p>\n";

    alpha_part(out, scan, summary);
    out += "<div class=\"columns\"><div>\n<h4>As the scan counted</h4>\n<dl class=\"facts\">";
    if (summary.is_object()) {
        fact(out, "files", field_html(summary, "files"));
        fact(out, "analysed", field_html(summary, "analysed"));
        fact(out, "flagged", field_html(summary, "flagged"));
        fact(out, "errors", field_html(summary, "errors"));
        fact(out, "bytes", field_html(summary, "bytes"));
        fact(out, "elapsed", with_unit(number_text(summary, "elapsed_seconds"), "s"));
        fact(out, "ended (UTC)", field_html(summary, "ended"));
        fact(out, "alpha", field_html(summary, "alpha"));
        other_facts(out, summary,
                    {"files", "analysed", "flagged", "errors", "bytes", "elapsed_seconds", "ended", "alpha",
                     "by_format"});
    } else {
        fact(out, "summary", "<em>none</em>");
    }
    out += "</dl>\n";
    if (const Json* by = member(summary, "by_format"); by != nullptr && by->is_object()) {
        out += "<table class=\"counts\"><thead><tr><th>format (summary)</th><th class=\"num\">files</th></tr>"
               "</thead><tbody>";
        for (auto it = by->begin(); it != by->end(); ++it) {
            out += "<tr><td>" + html(it.key()) + "</td><td class=\"num\">" + html(display_value(it.value())) +
                   "</td></tr>";
        }
        out += "</tbody></table>\n";
    }
    out += "</div>\n<div>\n<h4>As the records in this report count</h4>\n<div class=\"tables\">";
    const auto or_not_recorded = [](const std::string& key) {
        return key.empty() ? std::string("<em>not recorded</em>") : html(key);
    };
    count_table(out, "verdict", by_verdict, [](const std::string& key) {
        return html(kVerdicts[static_cast<std::size_t>(key[0] - '0')].label);
    });
    count_table(out, "status", by_status, or_not_recorded);
    count_table(out, "format", by_format, or_not_recorded);
    out += "</div></div></div>\n</section>\n";
}

void problems_section(std::string& out, const ReportSource& source) {
    if (source.problem_count == 0 && !source.read_failed) return;
    out += "<section id=\"input-problems\">\n<h2>Lines that could not be used</h2>\n";
    if (source.read_failed) {
        out += "<p class=\"notice\">Reading the report failed before its end: what follows is what could be "
               "read.</p>\n";
    }
    if (source.problem_count > 0) {
        out += "<p class=\"notice\"><strong>" + thousands(source.problem_count) +
               (source.problem_count == 1 ? " line" : " lines") +
               " of the report could not be used</strong>; the report shows the rest.";
        if (source.problem_count > source.problems.size()) {
            out += " The first " + thousands(source.problems.size()) + " are named here.";
        }
        out += "</p>\n<ol class=\"problems\">";
        for (const InputProblem& p : source.problems) {
            out += "<li>line " + thousands(p.line) + ": ";
            append_html(out, p.reason);
            out += "<br><code>";
            append_html(out, p.excerpt);
            out += "</code></li>";
        }
        out += "</ol>\n";
    }
    out += "</section>\n";
}

// ---------------------------------------------------------------- the table of files

void filter_select(std::string& out, const char* key, const char* label, const std::map<std::string, std::size_t>& counts,
                   const std::function<std::string(const std::string&)>& option_label) {
    out += "<label for=\"filter-" + std::string(key) + "\">" + label + "</label> <select id=\"filter-" +
           std::string(key) + "\" data-filter=\"" + key + "\"><option value=\"*\">all</option>";
    for (const auto& [value, n] : counts) {
        out += "<option value=\"" + html(value) + "\">" + option_label(value) + " (" + thousands(n) + ")</option>";
    }
    out += "</select>";
}

std::string number_cell(const Json& record, std::string_view name, int significant = 4) {
    const auto v = number_field(record, name);
    if (!v) return "<td class=\"num\" data-v=\"\"></td>";
    return "<td class=\"num\" data-v=\"" + exact_number(*v) + "\">" + format_number(*v, significant) + "</td>";
}

std::string row_note(const Json& record) {
    if (const auto error = text_field(record, "error")) return std::string(*error);
    std::string note;
    if (const auto evidence = text_field(record, "evidence"); evidence && *evidence != "measured") {
        note = std::string(*evidence);
        if (const auto reason = text_field(record, "evidence_reason")) note += ": " + std::string(*reason);
    }
    return note;
}

void files_section(std::string& out, const std::vector<Row>& rows) {
    out += "<section id=\"files\">\n<h2>Files</h2>\n";
    out += "<p>Flagged files first, then by p_value (smallest first), then by score (largest first). Click a "
           "column heading to sort by it; click it again to reverse.</p>\n";
    std::map<std::string, std::size_t> statuses, formats, verdicts;
    for (const Row& row : rows) {
        ++statuses[row.status];
        ++formats[row.format];
        ++verdicts[kVerdicts[row.verdict].key];
    }
    const auto plain = [](const std::string& value) {
        return value.empty() ? std::string("(not recorded)") : html(value);
    };
    out += "<div class=\"filters\">";
    filter_select(out, "status", "Status", statuses, plain);
    filter_select(out, "format", "Format", formats, plain);
    // The verdict filter lists its categories in rank order, not by name.
    out += "<label for=\"filter-verdict\">Verdict</label> <select id=\"filter-verdict\" data-filter=\"verdict\">"
           "<option value=\"*\">all</option>";
    for (const Verdict& v : kVerdicts) {
        const auto it = verdicts.find(v.key);
        if (it == verdicts.end()) continue;
        out += "<option value=\"" + std::string(v.key) + "\">" + v.label + " (" + thousands(it->second) +
               ")</option>";
    }
    out += "</select>";
    out += "<output id=\"shown\" aria-live=\"polite\">" + thousands(rows.size()) + " of " + thousands(rows.size()) +
           " files shown</output></div>\n";
    out += "<noscript><p class=\"notice\">Sorting and filtering need JavaScript, which is off: every file is "
           "listed, in the order above.</p></noscript>\n";

    out += "<table id=\"files-table\">\n<thead><tr>"
           "<th class=\"num\" data-type=\"number\" aria-sort=\"ascending\"><button type=\"button\">Rank</button></th>"
           "<th data-type=\"text\" aria-sort=\"none\"><button type=\"button\">File</button></th>"
           "<th data-type=\"text\" aria-sort=\"none\"><button type=\"button\">Status</button></th>"
           "<th data-type=\"text\" aria-sort=\"none\"><button type=\"button\">Format</button></th>"
           "<th data-type=\"number\" aria-sort=\"none\"><button type=\"button\">Verdict</button></th>"
           "<th class=\"num\" data-type=\"number\" aria-sort=\"none\"><button type=\"button\">Score</button></th>"
           "<th class=\"num\" data-type=\"number\" aria-sort=\"none\"><button type=\"button\">p_value</button></th>"
           "<th class=\"num\" data-type=\"number\" aria-sort=\"none\"><button type=\"button\">Length (bytes)</button></th>"
           "<th class=\"num\" data-type=\"number\" aria-sort=\"none\"><button type=\"button\">Duration (s)</button></th>"
           "<th class=\"num\" data-type=\"number\" aria-sort=\"none\"><button type=\"button\">Size (bytes)</button></th>"
           "<th data-type=\"text\" aria-sort=\"none\"><button type=\"button\">Note</button></th>"
           "</tr></thead>\n<tbody>\n";
    for (std::size_t rank = 0; rank < rows.size(); ++rank) {
        const Row& row = rows[rank];
        const Json& record = *row.record;
        const std::string name = html(row.name);
        const std::string shown_name = breakable(row.name);
        out += "<tr class=\"file" + std::string(row.flagged ? " flagged" : "") + "\" data-rank=\"" +
               std::to_string(rank + 1) + "\" data-index=\"" + std::to_string(row.index) + "\" data-status=\"" +
               html(row.status) + "\" data-format=\"" + html(row.format) + "\" data-verdict=\"" +
               kVerdicts[row.verdict].key + "\">";
        out += "<td class=\"num\" data-v=\"" + std::to_string(rank + 1) + "\">" + std::to_string(rank + 1) + "</td>";
        out += "<td class=\"name\" data-v=\"" + name + "\">";
        if (row.flagged) {
            out += "<a href=\"#file-" + std::to_string(row.index) + "\">" + shown_name + "</a>";
        } else {
            out += shown_name;
        }
        out += "</td><td data-v=\"" + html(row.status) + "\">" + html(row.status) + "</td>";
        out += "<td data-v=\"" + html(row.format) + "\">" + html(row.format) + "</td>";
        out += "<td class=\"verdict\" data-v=\"" + std::to_string(row.verdict) + "\">" +
               (row.flagged ? std::string("FLAGGED") : html(kVerdicts[row.verdict].label)) + "</td>";
        out += number_cell(record, "score", 3);
        out += number_cell(record, "p_value", 3);
        out += number_cell(record, "length");
        out += number_cell(record, "seconds", 4);
        out += number_cell(record, "bytes", 15);
        const std::string note = html(row_note(record));
        out += "<td data-v=\"" + note + "\">" + note + "</td></tr>\n";
    }
    out += "</tbody></table>\n</section>\n";
}

// ---------------------------------------------------------------- one flagged file

void hex_dump(std::string& out, std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    out += "<pre class=\"hex\">";
    for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
        const std::string_view line = bytes.substr(offset, 16);
        for (int shift = 28; shift >= 0; shift -= 4) out += digits[(offset >> shift) & 0xF];
        out += "  ";
        for (std::size_t i = 0; i < 16; ++i) {
            if (i < line.size()) {
                const auto b = static_cast<unsigned char>(line[i]);
                out += digits[b >> 4];
                out += digits[b & 0xF];
                out += ' ';
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += " |";
        for (const char c : line) {
            const auto b = static_cast<unsigned char>(c);
            if (b >= 0x20 && b < 0x7F) {
                append_html(out, std::string_view(&c, 1));
            } else {
                out += '.';
            }
        }
        out += "|\n";
    }
    out += "</pre>\n";
}

// Paths in the records are as the scan wrote them: absolute, or relative to
// the directory it ran in, which `source.link_base` leads to from the page.
std::string file_link(std::string_view path, const ReportSource& source) {
    if (path.starts_with('/') || source.link_base.empty() || source.link_base == ".") return path_link(path);
    return path_link(source.link_base + "/" + std::string(path));
}

void payload_part(std::string& out, const Json& record, const ReportSource& source) {
    out += "<h4>Payload</h4>\n";
    const auto head = text_field(record, "payload_head");
    const bool any = member(record, "payload_file") || member(record, "payload_bytes") ||
                     member(record, "payload_sha256") || head.has_value();
    if (!any) {
        out += "<p>No payload was extracted (gainscan-batch writes it with <code>--extract DIR</code>).</p>\n";
        return;
    }
    out += "<dl class=\"facts\">";
    if (const auto file = text_field(record, "payload_file")) {
        fact(out, "file", "<a href=\"" + html(file_link(*file, source)) + "\"><code>" + html(*file) + "</code></a>");
    }
    fact(out, "bytes", field_html(record, "payload_bytes"));
    if (const auto complete = bool_field(record, "payload_complete")) {
        fact(out, "complete",
             *complete ? "yes" : "no: the file holds fewer carriers than the length field claims");
    }
    std::string type = html(text_field(record, "payload_type").value_or(""));
    if (const auto mime = text_field(record, "payload_mime")) {
        type += (type.empty() ? "" : " ") + std::string("(<code>") + html(*mime) + "</code>)";
    }
    fact(out, "type (libmagic)", type);
    fact(out, "sha256", mono(field_html(record, "payload_sha256")));
    out += "</dl>\n";
    if (!head) {
        out += "<p>The record holds none of the payload's bytes; open the file above to see them.</p>\n";
        return;
    }
    const auto bytes = bytes_from_hex(*head);
    if (!bytes) {
        out += "<p class=\"notice\">payload_head is not a hex string: <code>" + html(shorten(*head, 200)) +
               "</code></p>\n";
        return;
    }
    constexpr std::size_t kMaxShown = 4096;
    const std::string_view shown = std::string_view(*bytes).substr(0, kMaxShown);
    out += "<p>The first " + thousands(shown.size()) + (shown.size() == 1 ? " byte" : " bytes");
    if (const auto total = number_field(record, "payload_bytes")) out += " of " + format_number(*total);
    out += ", in hex:</p>\n";
    hex_dump(out, shown);
    if (looks_like_text(shown)) {
        out += "<p>As text:</p>\n<pre class=\"text\">";
        append_lines(out, shown);
        out += "</pre>\n";
    } else {
        out += "<p class=\"binary\">Not shown as text: these bytes are not UTF-8 text (they hold control "
               "characters or invalid sequences).</p>\n";
    }
}

void messages_part(std::string& out, const Json& record) {
    const Json* messages = member(record, "messages");
    if (messages == nullptr || !messages->is_array() || messages->empty()) return;
    constexpr std::size_t kShown = 50;
    out += "<details><summary>gainscan's messages (" + thousands(messages->size()) + ")</summary><pre class=\"text\">";
    std::size_t n = 0;
    for (const Json& m : *messages) {
        if (n++ == kShown) {
            out += "\u2026\n";
            break;
        }
        append_lines(out, m.is_string() ? std::string_view(m.get_ref<const std::string&>()) : display_value(m));
    }
    out += "</pre></details>\n";
}

void evidence_section(std::string& out, const Row& row, const ReportSource& source) {
    const Json& record = *row.record;
    const std::string id = "file-" + std::to_string(row.index);
    out += "<section class=\"evidence\" id=\"" + id + "\" data-index=\"" + std::to_string(row.index) + "\">\n<h3>";
    out += breakable(row.name);
    out += "</h3>\n<dl class=\"facts\">";
    fact(out, "score", number_text(record, "score", 4));
    fact(out, "p_value", number_text(record, "p_value", 3));
    fact(out, "evidence", field_html(record, "evidence"));
    fact(out, "evidence reason", field_html(record, "evidence_reason"));
    std::string length = with_unit(number_text(record, "length"), "bytes");
    if (const auto nbits = number_field(record, "nbits"); nbits && !length.empty()) {
        length += " (a " + format_number(*nbits) + "-bit length-of-length)";
    }
    fact(out, "length field", length);
    std::string span = number_text(record, "span");
    if (!span.empty()) {
        span += " carriers";
        if (const auto carriers = number_field(record, "carriers")) span += " of the file's " + format_number(*carriers);
    }
    if (const Json* plot = member(record, "plot")) {
        if (const auto points = plot_points(*plot); points && points->span_seconds) {
            span += (span.empty() ? "" : ", ") + format_number(points->span_seconds->first, 4) + "\u2013" +
                    format_number(points->span_seconds->second, 4) + " s";
        }
    }
    fact(out, "span", span);
    fact(out, "verdict (gainscan)", field_html(record, "verdict"));
    fact(out, "capacity (gainscan)", with_unit(number_text(record, "capacity"), "bytes"));
    fact(out, "format", field_html(record, "format"));
    fact(out, "duration", with_unit(number_text(record, "seconds", 5), "s"));
    fact(out, "size", with_unit(number_text(record, "bytes", 15), "bytes"));
    fact(out, "sha256", mono(field_html(record, "sha256")));
    fact(out, "md5", mono(field_html(record, "md5")));
    fact(out, "name bytes (base64)", mono(field_html(record, "file_b64")));
    if (const auto dump = text_field(record, "records_file")) {
        fact(out, "record dump",
             "<a class=\"records-file\" href=\"" + html(file_link(*dump, source)) + "\"><code>" + html(*dump) + "</code></a>");
    }
    out += "</dl>\n";

    const Json* plot = member(record, "plot");
    const auto points = plot ? plot_points(*plot) : std::nullopt;
    if (points) {
        out += "<figure>" + render_evidence_plot(*points, "plot-" + std::to_string(row.index),
                                                 "Energy residual of each carrier along " + row.name);
        out += "<figcaption>Each carrier's energy residual (log2 units) against time; filled circles carry an odd "
               "global_gain, hollow squares an even one. Inside the shaded span a payload pushes the two apart.";
        if (points->unusable > 0 || points->lengths_differ) {
            out += " Not drawn: " + thousands(points->unusable) + " points that were not numbers or beyond the " +
                   thousands(kMaxPlotPoints) + " drawn" +
                   (points->lengths_differ ? "; the plot's lists differ in length, the shortest was used" : "") + ".";
        }
        out += "</figcaption></figure>\n";
    } else {
        out += "<p class=\"notice noplot\">No plot: the record holds no evidence points for this file.</p>\n";
    }
    payload_part(out, record, source);
    messages_part(out, record);
    out += "</section>\n";
}

}  // namespace

std::vector<std::size_t> report_order(std::span<const nlohmann::json> records) {
    std::vector<std::size_t> order;
    for (const Row& row : ranked_rows(records)) order.push_back(row.index);
    return order;
}

std::string render_report_html(const nlohmann::json& scan_header, std::span<const nlohmann::json> records,
                               const nlohmann::json& summary_line, const ReportSource& source) {
    const Json& scan = unwrap(scan_header, "scan");
    const Json& summary = unwrap(summary_line, "summary");
    const std::vector<Row> rows = ranked_rows(records);
    const std::size_t flagged = static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.flagged; }));

    std::string out;
    out.reserve(16384 + records.size() * 600);
    head(out, rows.size(), flagged);
    scan_section(out, scan, source);
    summary_section(out, scan, summary, rows, source);
    problems_section(out, source);
    files_section(out, rows);
    out += "<section id=\"flagged\">\n<h2>Flagged files</h2>\n";
    if (flagged == 0) out += "<p>No file was flagged.</p>\n";
    for (const Row& row : rows) {
        if (row.flagged) evidence_section(out, row, source);
    }
    out += "</section>\n<script>";
    out += report_assets::kScript;
    out += "</script>\n</body>\n</html>\n";
    return out;
}

std::string render_report_html(const ReportInput& input, std::string_view source_name, std::string_view link_base) {
    ReportSource source;
    source.link_base = std::string(link_base);
    source.name = std::string(source_name);
    source.problems = input.problems;
    source.problem_count = input.problem_count;
    source.read_failed = input.read_failed;
    return render_report_html(input.scan, input.records, input.summary, source);
}

bool write_report_file(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            return false;
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}


}  // namespace gainscan
