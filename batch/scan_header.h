// What a report says about the scan itself, before any record: the tool and
// its version, the options that decide the records, when it started (UTC) and
// on which host. jsonl: a first line {"scan": {...}}; text and csv: one
// comment line ("# gainscan-batch ...") on standard error, so that csv on
// standard output stays a plain table.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "batch/batch_options.h"

// This program's version, as its reports give it.
const char* tool_version();
// {"tool", "version", "options": {...}, "started", "host"}.
nlohmann::ordered_json scan_header(const BatchOptions& options, const std::string& started);
// The options alone: mode, alpha, hash, jobs, and the rest that decide
// which files get which records.
nlohmann::ordered_json scan_options_json(const BatchOptions& options);

void render_jsonl_header(const nlohmann::ordered_json& header, std::string& out);
void render_comment_header(const nlohmann::ordered_json& header, std::string& out);
