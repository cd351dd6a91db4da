// Reading saved jsonl reports: whatever the lines hold, the reader keeps the
// records it can use and names every other line, and never stops early.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "report/report_input.h"

namespace {

using gainscan::read_report_jsonl;
using gainscan::ReportInput;

ReportInput read(const std::string& text) {
    std::istringstream in(text);
    return read_report_jsonl(in);
}

std::vector<std::string> files(const ReportInput& input) {
    std::vector<std::string> out;
    for (const auto& r : input.records) out.push_back(r["file"].get<std::string>());
    return out;
}

std::vector<std::uint64_t> problem_lines(const ReportInput& input) {
    std::vector<std::uint64_t> out;
    for (const auto& p : input.problems) out.push_back(p.line);
    return out;
}

const std::string kA = R"({"file": "a.mp3", "flagged": false})";
const std::string kB = R"({"file": "b.mp3", "flagged": true})";

TEST(ReadReport, TakesHeaderRecordsAndSummaryApartEachOptional) {
    const auto input = read(R"({"scan": {"tool": "gainscan-batch", "host": "h"}})" "\n" + kA + "\n" + kB + "\n" +
                            R"({"summary": {"files": 2}})" "\n");
    EXPECT_EQ(input.scan["host"], "h");
    EXPECT_EQ(input.summary["files"], 2);
    EXPECT_EQ(files(input), (std::vector<std::string>{"a.mp3", "b.mp3"}));
    EXPECT_EQ(input.problem_count, 0u);
    EXPECT_FALSE(input.read_failed);
    const auto bare = read(kA + "\n");
    EXPECT_TRUE(bare.scan.is_null() && bare.summary.is_null());
    EXPECT_EQ(files(bare), std::vector<std::string>{"a.mp3"});
}

struct BadLineCase {
    const char* what;
    std::string line;
    std::string reason_part;
};

// Test names and failure messages show the case by its name, not its bytes.
void PrintTo(const BadLineCase& c, std::ostream* os) { *os << c.what; }

class BadLine : public testing::TestWithParam<BadLineCase> {};

// The bad line sits between two good records: both are kept, it is named
// with a short excerpt of its start.
TEST_P(BadLine, IsNamedWithItsNumberAndTheRestIsRead) {
    const auto input = read(kA + "\n" + GetParam().line + "\n" + kB + "\n");
    EXPECT_EQ(files(input), (std::vector<std::string>{"a.mp3", "b.mp3"}));
    ASSERT_EQ(input.problem_count, 1u);
    ASSERT_EQ(input.problems.size(), 1u);
    EXPECT_EQ(input.problems[0].line, 2u);
    EXPECT_NE(input.problems[0].reason.find(GetParam().reason_part), std::string::npos) << input.problems[0].reason;
    EXPECT_LE(input.problems[0].excerpt.size(), 200u);
    EXPECT_EQ(input.problems[0].excerpt.substr(0, 10), GetParam().line.substr(0, 10));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadLine,
    testing::Values(BadLineCase{"not_json", "hello", "not valid JSON"},
                    BadLineCase{"cut_short", R"({"file": "c.mp3", "fla)", "not valid JSON"},
                    BadLineCase{"invalid_utf8", "{\"file\": \"c\xff.mp3\"}", "not valid JSON"},
                    BadLineCase{"number_out_of_range", R"({"file": "c.mp3", "score": 1e999})", "not valid JSON"},
                    BadLineCase{"nul_bytes", std::string("\0\0\0", 3), "not valid JSON"},
                    BadLineCase{"array", "[1, 2]", "array, not an object"},
                    BadLineCase{"string", "\"x\"", "string, not an object"},
                    BadLineCase{"no_file", R"({"status": "ok"})", "without a \"file\""},
                    BadLineCase{"file_not_a_string", R"({"file": 7})", "without a \"file\""},
                    BadLineCase{"scan_after_records", R"({"scan": {"tool": "x"}})", "after records"},
                    BadLineCase{"scan_not_object", R"({"scan": 3})", "not an object"},
                    BadLineCase{"summary_not_object", R"({"summary": []})", "not an object"},
                    BadLineCase{"long_junk", std::string(5000, 'z'), "not valid JSON"},
                    BadLineCase{"longer_than_the_limit",
                                R"({"file": "x.mp3", "pad": ")" + std::string(gainscan::kMaxLineBytes, 'x') + "\"}",
                                "longer than"},
                    BadLineCase{"nested_a_million_deep", std::string(1000000, '[') + std::string(1000000, ']'),
                                "array, not an object"}),
    [](const testing::TestParamInfo<BadLineCase>& info) { return std::string(info.param.what); });

TEST(ReadReport, ALastLineCutShortWithoutLineEndIsNamed) {
    const auto input = read(kA + "\n" + R"({"file": "b.mp3", "sta)");
    EXPECT_EQ(files(input), std::vector<std::string>{"a.mp3"});
    EXPECT_EQ(problem_lines(input), std::vector<std::uint64_t>{2});
}

TEST(ReadReport, AcceptsCrlfABomAndBlankLines) {
    const auto input = read("\xEF\xBB\xBF" + kA + "\r\n\r\n   \n" + kB + "\r\n");
    EXPECT_EQ(files(input), (std::vector<std::string>{"a.mp3", "b.mp3"}));
    EXPECT_EQ(input.problem_count, 0u);
}

TEST(ReadReport, ConcatenatedReportsKeepTheFirstHeaderAndLastSummary) {
    const std::string part1 = R"({"scan": {"host": "one"}})" "\n" + kA + "\n" + R"({"summary": {"files": 1}})" "\n";
    const std::string part2 = R"({"scan": {"host": "two"}})" "\n" + kB + "\n" + R"({"summary": {"files": 2}})" "\n";
    const auto input = read(part1 + part2);
    EXPECT_EQ(input.scan["host"], "one");
    EXPECT_EQ(input.summary["files"], 2);
    EXPECT_EQ(files(input), (std::vector<std::string>{"a.mp3", "b.mp3"}));
    // The second header (line 4) and the first summary (line 3) are named.
    auto lines = problem_lines(input);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::uint64_t>{3, 4}));
}

TEST(ReadReport, NamesTheFirstHundredBadLinesAndCountsAll) {
    std::string text;
    for (int i = 0; i < 250; ++i) text += "junk\n";
    text += kA + "\n";
    const auto input = read(text);
    EXPECT_EQ(input.problem_count, 250u);
    EXPECT_EQ(input.problems.size(), gainscan::kMaxNamedProblems);
    EXPECT_EQ(files(input), std::vector<std::string>{"a.mp3"});
}

TEST(ReadReport, AFailingStreamIsReportedNotTakenForTheEnd) {
    std::ifstream directory(GAINSCAN_REPORT_DATA, std::ios::binary);  // a directory: opens, but reads fail
    ASSERT_TRUE(directory.is_open());
    const auto input = read_report_jsonl(directory);
    EXPECT_TRUE(input.read_failed);
    EXPECT_TRUE(input.records.empty());
}

}  // namespace
