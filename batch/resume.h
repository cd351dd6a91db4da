// --resume REPORT.jsonl: what an interrupted scan's report already holds.
// The report must start with the scan header of the same options (mode,
// alpha, hash, globs ...; --jobs may differ). Its records are read back
// (an unfinished last line, from a kill in the middle of a write, is dropped,
// and so is a summary line; a report without one complete line is started
// afresh) and the walk skips each file that already has its
// record: an ok record when the file has the same size (`bytes`) and
// modification time (`mtime`) as then, an error record whatever the file is
// now (errors are not retried; scan those files again without --resume). A
// file that changed gets a new record, after the old one. A name that occurs
// several times in the scan is matched occurrence by occurrence.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

#include "batch/batch_options.h"
#include "batch/printer.h"
#include "batch/walker.h"

class ResumeState {
public:
    // Reads `report`. False with `error` when it cannot be read, is not a
    // gainscan-batch jsonl report, or was made with other options.
    bool load(const std::string& report, const BatchOptions& options, std::string& error);
    // Cuts the report back to its complete records (drops the partial line and
    // the summary) so that new records can be appended.
    bool trim(const std::string& report, std::string& error) const;

    // True when `entry` already has its record in the report (walker thread only).
    bool already_done(const WalkEntry& entry);

    const ScanSummary& counts() const { return counts_; }  // of the records already there
    const std::string& started() const { return started_; }
    bool had_summary() const { return had_summary_; }
    // The report held no complete line (a scan killed at once): the scan
    // starts afresh in it, header first.
    bool fresh() const { return fresh_; }

private:
    struct Previous {
        bool ok = false;
        std::optional<std::uint64_t> bytes;
        std::string mtime;
    };
    std::unordered_map<std::string, std::deque<Previous>> previous_;  // by the name's exact bytes
    ScanSummary counts_;
    std::string started_;
    bool had_summary_ = false;
    bool fresh_ = false;
    std::uint64_t keep_bytes_ = 0;
};
