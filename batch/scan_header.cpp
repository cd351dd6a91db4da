#include "batch/scan_header.h"

#include "batch/file_name.h"

#include <unistd.h>

#include <climits>

#ifndef GAINSCAN_VERSION
#define GAINSCAN_VERSION "unknown"
#endif

const char* tool_version() { return GAINSCAN_VERSION; }

namespace {

using Json = nlohmann::ordered_json;

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

std::string hash_list(const HashChoice& hash) {
    if (!hash.any()) return "none";
    std::string list = hash.sha256 ? "sha256" : "";
    if (hash.md5) list += list.empty() ? "md5" : ",md5";
    return list;
}

Json or_null(const std::optional<std::string>& value) { return value ? Json(*value) : Json(nullptr); }

}  // namespace

Json scan_options_json(const BatchOptions& o) {
    Json options = Json::object();
    options["mode"] = o.scan.quick ? "quick" : "whole_file";
    options["alpha"] = o.scan.quick ? Json(nullptr) : Json(o.scan.alpha);
    options["span_all"] = o.scan.span_all;
    options["hash"] = hash_list(o.scan.hash);
    options["jobs"] = o.jobs;
    options["follow_symlinks"] = o.follow_symlinks;
    options["include"] = o.include;
    options["exclude"] = o.exclude;
    options["layer3_only"] = o.scan.layer3_only;
    options["only_flagged"] = o.only_flagged;
    options["extract"] = or_null(o.scan.extract_dir);
    options["extract_all"] = o.scan.extract_all;
    options["dump_records"] = or_null(o.scan.dump_dir);
    return options;
}

Json scan_header(const BatchOptions& o, const std::string& started) {
    Json scan = Json::object();
    scan["tool"] = "gainscan-batch";
    scan["version"] = tool_version();
    scan["options"] = scan_options_json(o);
    scan["started"] = started;
    scan["host"] = host_name();
    return scan;
}

void render_jsonl_header(const Json& header, std::string& out) {
    out += Json{{"scan", header}}.dump(-1, ' ', false, Json::error_handler_t::replace);
    out += '\n';
}

void render_comment_header(const Json& header, std::string& out) {
    out += "# " + header["tool"].get<std::string>() + " " + header["version"].get<std::string>() + " started " +
           header["started"].get<std::string>() + " on " + header["host"].get<std::string>() + ":";
    for (const auto& [key, value] : header["options"].items()) {
        // What is off or empty is left out: the line says what was asked for.
        if (value.is_null() || value == false || (value.is_array() && value.empty())) continue;
        const std::string text =
            value.is_string() ? value.get<std::string>() : value.dump(-1, ' ', false, Json::error_handler_t::replace);
        out += ' ' + key + '=' + escape_for_terminal(text);
    }
    out += '\n';
}
