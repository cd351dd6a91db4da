#include <charconv>

#include "batch/file_name.h"
#include "batch/printer.h"
#include "batch/record_fields.h"

namespace {

// RFC 4180: a cell holding a comma, quote, CR or LF is quoted, quotes doubled.
void append_cell(const std::string& text, std::string& out) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

template <typename T>
std::string number(T value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

// A list is one cell: its items one after the other. Messages carry their own
// line ends (the cell is exactly what gainscan would print); items without
// one are separated by a line end.
struct ToCell {
    std::string operator()(Null) const { return ""; }
    std::string operator()(const gainscan::PlotReport&) const { return ""; }  // jsonl only: too large for a cell
    std::string operator()(bool value) const { return value ? "true" : "false"; }
    std::string operator()(std::int64_t value) const { return number(value); }
    std::string operator()(std::uint64_t value) const { return number(value); }
    std::string operator()(double value) const { return number(value); }
    std::string operator()(const std::string& value) const { return replace_invalid_utf8(value); }
    std::string operator()(const std::vector<std::string>& values) const {
        std::string joined;
        for (const auto& value : values) {
            if (!joined.empty() && joined.back() != '\n') joined += '\n';
            joined += replace_invalid_utf8(value);
        }
        return joined;
    }
    // "COUNT TEXT" per line (the texts carry their own line ends).
    std::string operator()(const Counts& counts) const {
        std::string joined;
        for (const auto& [text, count] : counts) {
            if (!joined.empty() && joined.back() != '\n') joined += '\n';
            joined += number(count) + ' ' + replace_invalid_utf8(text);
        }
        return joined;
    }
};

}  // namespace

void render_csv_header(std::string& out) {
    const char* separator = "";
    for (const char* name : record_field_names()) {
        out += separator;
        out += name;
        separator = ",";
    }
    out += "\r\n";
}

void render_csv(const FileReport& report, std::string& out) {
    const char* separator = "";
    for (const Field& field : record_fields(report)) {
        out += separator;
        append_cell(std::visit(ToCell{}, field.value), out);
        separator = ",";
    }
    out += "\r\n";
}
