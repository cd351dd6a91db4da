#include <nlohmann/json.hpp>

#include "batch/printer.h"
#include "batch/record_fields.h"

namespace {

using Json = nlohmann::ordered_json;

struct ToJson {
    Json operator()(Null) const { return nullptr; }
    Json operator()(const gainscan::PlotReport& plot) const {
        return Json{{"seconds", plot.seconds}, {"residual", plot.residual}, {"odd", plot.odd},
                    {"span_seconds", Json::array({plot.span_start, plot.span_end})}};
    }
    Json operator()(const Counts& counts) const {
        Json object = Json::object();
        for (const auto& [text, count] : counts) object[text] = count;
        return object;
    }
    template <typename T>
    Json operator()(const T& value) const { return value; }
};

// Invalid UTF-8 (only possible in names other than `file`, e.g. an extraction
// directory) is replaced rather than thrown on.
void dump_line(const Json& json, std::string& out) {
    out += json.dump(-1, ' ', false, Json::error_handler_t::replace);
    out += '\n';
}

}  // namespace

void render_jsonl(const FileReport& report, std::string& out) {
    Json json = Json::object();
    for (const Field& field : record_fields(report)) json[field.name] = std::visit(ToJson{}, field.value);
    dump_line(json, out);
}

void render_jsonl_summary(const ScanSummary& s, std::string& out) {
    Json summary = Json::object();
    summary["files"] = s.files;
    summary["analysed"] = s.analysed;
    summary["flagged"] = s.flagged;
    summary["errors"] = s.errors;
    summary["bytes"] = s.bytes;
    summary["elapsed_seconds"] = s.elapsed_seconds;
    summary["alpha"] = s.alpha;
    summary["expected_false_alarms_per_10000"] = expected_false_alarms(s.alpha);
    Json formats = Json::object();
    for (const auto& [name, count] : s.formats) formats[name] = count;
    summary["formats"] = formats;
    summary["excluded"] = s.excluded;
    summary["skipped_not_layer3"] = s.skipped;
    summary["resumed"] = s.resumed;
    summary["started"] = s.started;
    summary["ended"] = s.ended;
    dump_line(Json{{"summary", summary}}, out);
}
