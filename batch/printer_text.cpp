#include <cstdio>
#include <utility>

#include "batch/file_name.h"
#include "batch/printer.h"

namespace {

void append_number(std::string& out, const char* key, long long value) {
    out += ' ';
    out += key;
    out += '=';
    out += std::to_string(value);
}

}  // namespace

void render_text(const FileReport& r, std::string& out) {
    out += escape_for_terminal(r.file);
    if (!r.ok) {
        out += ": error: ";
        out += escape_for_terminal(r.error);
        out += '\n';
        return;
    }
    out += r.found ? ": found" : ": none";
    if (r.found) {
        append_number(out, "length", r.length);
        append_number(out, "nbits", r.nbits);
    }
    append_number(out, "capacity", r.capacity);
    append_number(out, "frames", r.frames);
    append_number(out, "records", r.records);
    append_number(out, "messages", static_cast<long long>(r.messages.size() + r.messages_omitted));
    if (!r.format.empty() && r.format != "layer3") {
        out += " format=";
        out += r.format;
    }
    if (r.whole_file) {
        if (r.score) {
            char score[32];
            std::snprintf(score, sizeof score, " score=%.3g", *r.score);
            out += score;
        }
        if (r.p_value) {
            char p[32];
            std::snprintf(p, sizeof p, " p=%.3g", *r.p_value);
            out += p;
        } else if (!r.evidence_reason.empty()) {
            out += " insufficient=\"";
            out += r.evidence_reason;
            out += '"';
        }
        append_number(out, "carriers", r.carriers);
        if (r.span) append_number(out, "span", *r.span);
    }
    if (r.payload && !r.payload->file.empty()) {
        out += " payload=";
        out += escape_for_terminal(r.payload->file);
    }
    for (const std::string& error : r.write_errors) {
        out += " write_error=";
        out += escape_for_terminal(error);
    }
    if (r.flagged) out += " FLAGGED";
    out += '\n';
}

void render_summary_text(const ScanSummary& s, std::string& out) {
    char line[400];
    std::snprintf(line, sizeof line, "gainscan-batch: %llu files, %llu analysed, %llu flagged, %llu errors",
                  static_cast<unsigned long long>(s.files), static_cast<unsigned long long>(s.analysed),
                  static_cast<unsigned long long>(s.flagged), static_cast<unsigned long long>(s.errors));
    out += line;
    // Only when something was left out, so that the usual line stays as it was.
    const std::pair<std::uint64_t, const char*> left_out[] = {
        {s.excluded, "excluded"}, {s.skipped, "not Layer III (skipped)"}, {s.resumed, "from the resumed report"}};
    for (const auto& [count, what] : left_out) {
        if (count == 0) continue;
        std::snprintf(line, sizeof line, ", %llu %s", static_cast<unsigned long long>(count), what);
        out += line;
    }
    std::snprintf(line, sizeof line, ", %.2f s%s%s\n", s.elapsed_seconds, s.ended.empty() ? "" : ", ended ",
                  s.ended.c_str());
    out += line;
    if (s.alpha > 0) {
        std::snprintf(line, sizeof line,
                      "gainscan-batch: flagged at p_value <= %g: expect about %g false alarms per 10,000 clean files\n",
                      s.alpha, expected_false_alarms(s.alpha));
        out += line;
    }
    if (!s.formats.empty()) {
        out += "gainscan-batch: formats:";
        for (const auto& [name, count] : s.formats) {
            out += ' ';
            out += name;
            out += ' ';
            out += std::to_string(count);
        }
        out += '\n';
    }
}
