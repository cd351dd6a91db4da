#include "batch/resume.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "batch/file_name.h"
#include "batch/scan_header.h"
#include "batch/time_text.h"

namespace {

using Json = nlohmann::ordered_json;

}  // namespace

bool ResumeState::load(const std::string& report, const BatchOptions& options, std::string& error) {
    std::ifstream in(report, std::ios::binary);
    if (!in) {
        error = report + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    std::size_t at = 0, line_number = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // an unfinished last line: dropped
        ++line_number;
        const std::string where = report + ":" + std::to_string(line_number) + ": ";
        const Json line = Json::parse(text.begin() + static_cast<std::ptrdiff_t>(at),
                                      text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        if (line.is_discarded() || !line.is_object()) {
            error = where + "not a JSON object";
            return false;
        }
        if (line_number == 1) {
            if (!line.contains("scan") || !line["scan"].is_object() || !line["scan"].contains("options")) {
                error = report + ": not a gainscan-batch jsonl report (no {\"scan\": ...} first line)";
                return false;
            }
            // Records of another version may have been computed otherwise
            // (their p_values, say): one report holds one version's.
            const std::string version = line["scan"].value("version", "");
            if (version != tool_version()) {
                error = report + ": made by gainscan-batch " + (version.empty() ? "of an unknown version" : version) +
                        ", this is " + tool_version() + " (a resumed scan must use the same version)";
                return false;
            }
            Json then = line["scan"]["options"], now = scan_options_json(options);
            then.erase("jobs");
            now.erase("jobs");
            if (then != now) {
                error = report + ": made with other options: " + then.dump() + ", now " + now.dump() +
                        " (a resumed scan must use the same ones; --jobs may differ)";
                return false;
            }
            started_ = line["scan"].value("started", "");
        } else if (had_summary_) {
            error = where + "a record after the summary (not one scan's report)";
            return false;
        } else if (line.contains("summary")) {
            had_summary_ = true;
            at = end + 1;
            continue;  // not kept: the summary is written again at the end
        } else {
            Previous p;
            p.ok = line.value("status", "") == "ok";
            if (line.contains("bytes") && line["bytes"].is_number_unsigned()) p.bytes = line["bytes"].get<std::uint64_t>();
            if (line.contains("mtime") && line["mtime"].is_string()) p.mtime = line["mtime"].get<std::string>();
            // A name that is not UTF-8 is only exact in file_b64.
            const bool exact = line.contains("file_b64") && line["file_b64"].is_string();
            const auto raw = exact ? from_base64(line["file_b64"].get<std::string>()) : std::nullopt;
            if (exact && !raw) {
                error = where + "file_b64 is not base64";
                return false;
            }
            const std::string name = raw ? *raw : line.value("file", "");
            ++counts_.files;
            counts_.analysed += p.ok ? 1 : 0;
            counts_.errors += p.ok ? 0 : 1;
            counts_.flagged += line.value("flagged", false) ? 1 : 0;
            counts_.bytes += p.ok ? p.bytes.value_or(0) : 0;
            if (p.ok && line.contains("format") && line["format"].is_string())
                ++counts_.formats[line["format"].get<std::string>()];
            previous_[name].push_back(std::move(p));
        }
        at = end + 1;
        keep_bytes_ = at;
    }
    // Killed before its header was complete: nothing to keep, start afresh.
    if (line_number == 0) fresh_ = true;
    counts_.resumed = counts_.files;
    return true;
}

bool ResumeState::trim(const std::string& report, std::string& error) const {
    if (::truncate(report.c_str(), static_cast<off_t>(keep_bytes_)) != 0) {
        error = report + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ResumeState::already_done(const WalkEntry& entry) {
    const auto found = previous_.find(entry.path);
    if (found == previous_.end() || found->second.empty()) return false;
    const Previous p = found->second.front();
    found->second.pop_front();
    if (!p.ok) return true;
    struct stat st {};
    if (::stat(entry.path.c_str(), &st) != 0) return false;
    const std::int64_t mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return p.bytes == static_cast<std::uint64_t>(st.st_size) && p.mtime == iso8601_utc(mtime);
}
