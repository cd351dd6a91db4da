// Reading a saved gainscan-batch jsonl report: an optional first line
// {"scan": {...}}, one record per line, an optional last line
// {"summary": {...}}. A report may have been cut short by an interrupted scan,
// concatenated from several parts or edited by hand: a line that cannot be
// used is counted and named, never fatal, and the rest is read.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace gainscan {

struct InputProblem {
    std::uint64_t line = 0;  // 1-based
    std::string reason;
    std::string excerpt;  // the line's first bytes, as read (may be invalid UTF-8)
};

struct ReportInput {
    nlohmann::json scan;     // the header's inner object; null when there was none
    nlohmann::json summary;  // the summary's inner object; null when there was none
    std::vector<nlohmann::json> records;
    std::vector<InputProblem> problems;  // the first kMaxNamedProblems of them
    std::uint64_t problem_count = 0;     // all of them
    std::uint64_t lines = 0;
    bool read_failed = false;  // the stream itself failed (not a bad line)
};

inline constexpr std::size_t kMaxNamedProblems = 100;
// Longer lines are not parsed: the bounded records of gainscan-batch stay far
// below this, and a file without line ends must not be held in memory whole.
inline constexpr std::size_t kMaxLineBytes = 16u << 20;

ReportInput read_report_jsonl(std::istream& in);

}  // namespace gainscan
