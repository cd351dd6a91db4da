// The HTML report as text: every record is in it, in the documented order,
// nothing from the input can become markup or fetch anything, and odd records
// still render. The page's behaviour in a browser is tested by
// report_browser_test.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/evidence_plot.h"
#include "report/html_text.h"
#include "report/report_html.h"

namespace {

using Json = nlohmann::json;
using gainscan::render_report_html;
using Strings = std::vector<std::string>;

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string render(const std::vector<Json>& records, const Json& scan = nullptr, const Json& summary = nullptr,
                   const gainscan::ReportSource& source = {}) {
    return render_report_html(scan, records, summary, source);
}

// Each of `shown` is in `text` and none of `absent` is.
void expect_in(const std::string& text, const Strings& shown, const Strings& absent = {}) {
    for (const auto& s : shown) EXPECT_NE(text.find(s), std::string::npos) << "missing: " << s;
    for (const auto& s : absent) EXPECT_EQ(text.find(s), std::string::npos) << "present: " << s;
}

// The data-index of each table row, in the order of the page.
std::vector<std::size_t> row_order(const std::string& page) {
    std::vector<std::size_t> order;
    const std::string row = "<tr class=\"file";
    for (std::size_t at = page.find(row); at != std::string::npos; at = page.find(row, at + 1)) {
        const std::size_t index = page.find("data-index=\"", at) + 12;
        order.push_back(std::stoul(page.substr(index, page.find('"', index) - index)));
    }
    return order;
}

// The text from the element of `id` to the next section's start.
std::string section(const std::string& page, const std::string& id) {
    const std::size_t start = page.find("id=\"" + id + "\"");
    return start == std::string::npos ? "" : page.substr(start, page.find("<section", start) - start);
}

Json plot(std::vector<double> seconds, std::vector<double> residual, std::vector<int> odd, std::array<double, 2> span) {
    return Json{{"seconds", seconds}, {"residual", residual}, {"odd", odd}, {"span_seconds", span}};
}

Json rec(bool flagged, Json p_value, Json score) {
    return {{"file", "f"}, {"flagged", flagged}, {"p_value", p_value}, {"score", score}};
}

// Test names and failure messages show a case by its name, not its bytes.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) { return info.param.what; }
template <typename Case>
    requires requires(Case c) { c.what; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

// ------------------------------------------------------------------ hostile input

class HostileName : public testing::TestWithParam<std::string> {};

TEST_P(HostileName, NeverBecomesMarkupInAnyField) {
    const std::string& evil = GetParam();
    Json record = {{"flagged", true}, {"messages", {evil}}, {evil, evil}, {"plot", plot({1, 2}, {1, -1}, {1, 0}, {0, 3})}};
    for (const char* field : {"file", "status", "format", "verdict", "error", "evidence", "evidence_reason", "sha256",
                              "md5", "records_file", "payload_file", "payload_type", "payload_mime", "payload_sha256",
                              "payload_head", "file_b64"})
        record[field] = evil;
    const Json scan = {{"tool", evil}, {"host", evil}, {"started", evil}, {"options", {{evil, evil}}}};
    const Json summary = {{"ended", evil}, {evil, evil}, {"by_format", {{evil, 1}}}};
    const std::string page = render({record}, scan, summary);
    const std::pair<const char*, std::size_t> tags[] = {{"<script", 1}, {"<svg", 1}, {"<img", 0}, {"<iframe", 0},
                                                        {"</style", 1}};
    for (const auto& [tag, n] : tags) EXPECT_EQ(count(lower(page), tag), n) << tag;
    EXPECT_EQ(page.find(evil), std::string::npos) << "the name appears unescaped";
    EXPECT_NE(page.find(gainscan::html(evil)), std::string::npos) << "the name does not appear at all";
}

INSTANTIATE_TEST_SUITE_P(Names, HostileName,
                         testing::Values("<script>alert(1)</script>.mp3", "\"><img src=x onerror=alert(1)>.mp3",
                                         "'><svg onload=alert(1)>.mp3", "</style><script>x()</script>",
                                         "</title><iframe src=//evil>", "<!--", "a&b<c>d\"e'f",
                                         "</SCRIPT><SCRIPT>x()</SCRIPT>", "bad \xff byte"));

// ------------------------------------------------------------------ every record, in order

// Odd records beside plain ones: any field may be absent, null, of another
// type or deep, and each record is still one row.
TEST(RenderReport, EveryRecordIsOneRowHoweverOdd) {
    std::vector<Json> records = {
        Json{{"file", "only_a_name.mp3"}},
        Json{{"file", "all_null.mp3"}, {"status", nullptr}, {"format", nullptr}, {"flagged", nullptr},
             {"score", nullptr}, {"p_value", nullptr}, {"plot", nullptr}, {"messages", nullptr}},
        Json{{"file", "wrong_types.mp3"}, {"status", 1}, {"format", {1, 2}}, {"flagged", "yes"}, {"score", "high"},
             {"p_value", Json::object()}, {"bytes", {{"n", 1}}}, {"seconds", true}, {"messages", {1, nullptr}},
             {"plot", {{"seconds", "x"}}}, {"payload_head", 12}, {"length", -1}},
        Json{{"file", ""}, {"flagged", true}, {"messages", {"Error: header junk\n"}}, {"later_messages", {{"x", 3}}}},
        Json{{"file", "deep.mp3"}, {"odd_field", Json::parse(std::string(2000, '[') + std::string(2000, ']'))}}};
    for (int i = 0; i < 50; ++i)
        records.push_back({{"file", "dir/file" + std::to_string(i) + ".mp3"}, {"flagged", i % 10 == 3}, {"score", i}});
    const std::string page = render(records);
    std::vector<std::size_t> order = row_order(page), all(records.size());
    std::sort(order.begin(), order.end());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    EXPECT_EQ(order, all);
    expect_in(page, {"55 of 55 files shown", "dir/file49.mp3", "</html>"});
}

struct OrderCase {
    const char* what;
    std::vector<Json> records;
    std::vector<std::size_t> expected;
};

class Order : public testing::TestWithParam<OrderCase> {};

TEST_P(Order, FlaggedFirstThenPValueAscendingThenScoreDescending) {
    EXPECT_EQ(gainscan::report_order(GetParam().records), GetParam().expected);
    EXPECT_EQ(row_order(render(GetParam().records)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Order,
    testing::Values(
        OrderCase{"flagged_before_smaller_p", {rec(false, 1e-9, 9), rec(true, 0.01, 2)}, {1, 0}},
        OrderCase{"p_ascending", {rec(false, 0.5, 1), rec(false, 0.01, 1), rec(false, 0.2, 1)}, {1, 2, 0}},
        OrderCase{"score_descending_when_p_ties", {rec(false, 0.5, 1), rec(false, 0.5, 3), rec(false, 0.5, 2)},
                  {1, 2, 0}},
        OrderCase{"score_when_no_p_value", {rec(false, nullptr, -1), rec(false, nullptr, 4)}, {1, 0}},
        OrderCase{"absent_p_after_present", {rec(false, nullptr, 9), rec(false, 0.9, -5)}, {1, 0}},
        OrderCase{"absent_score_last", {rec(false, nullptr, nullptr), rec(false, nullptr, -3)}, {1, 0}},
        OrderCase{"ties_keep_scan_order", {rec(true, nullptr, nullptr), rec(true, nullptr, nullptr)}, {0, 1}},
        OrderCase{"flagged_not_a_bool_is_not_flagged", {Json{{"file", "a"}, {"flagged", "yes"}}, rec(true, 1, 0)},
                  {1, 0}},
        OrderCase{"p_value_of_the_wrong_type_is_absent", {rec(false, "0.0001", 1), rec(false, 0.3, 0)}, {1, 0}}),
    case_name<OrderCase>);

TEST(RenderReport, FlaggedFilesAndOnlyThemHaveSectionsInTheSameOrder) {
    const std::string page = render({rec(true, 0.01, 3), rec(false, 0.5, 1), rec(true, 1e-6, 8)});
    const std::size_t first = page.find("<section class=\"evidence\" id=\"file-2\""),
                      second = page.find("<section class=\"evidence\" id=\"file-0\"");
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(page.find("id=\"file-1\""), std::string::npos) << "a section for a file that is not flagged";
}

// ------------------------------------------------------------------ flagged files: what their section shows

struct SectionCase {
    const char* what;
    Json record;
    Strings shown = {}, absent = {};
    std::string link_base = "";
};

class FlaggedSection : public testing::TestWithParam<SectionCase> {};

TEST_P(FlaggedSection, ShowsTheRecordsEvidenceAndProvenance) {
    Json record = GetParam().record;
    record["file"] = "a.mp3";
    record["flagged"] = true;
    gainscan::ReportSource source;
    source.link_base = GetParam().link_base;
    expect_in(section(render({record}, nullptr, nullptr, source), "file-0"), GetParam().shown, GetParam().absent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlaggedSection,
    testing::Values(
        SectionCase{"numbers_hashes_and_payload",
                    {{"score", 9.41}, {"p_value", 2.3e-11}, {"length", 66}, {"nbits", 5}, {"span", 538},
                     {"carriers", 1800}, {"sha256", "5e0f"}, {"payload_sha256", "77aa"}, {"payload_type", "ASCII text"},
                     {"payload_mime", "text/plain"}, {"payload_head", "48656c6c6f3c0a"},
                     {"plot", plot({0.5, 1, 1.5, 2}, {0.4, -0.3, 0.5, -0.6}, {1, 0, 1, 0}, {0.25, 1.75})}},
                    {"9.41", "2.3e-11", "66 bytes", "538 carriers", "0.25\u20131.75 s", "5e0f", "77aa", "ASCII text",
                     "text/plain", "48 65 6c 6c 6f 3c 0a", "|Hello&lt;.|"}},
        SectionCase{"text_payload_as_text", {{"payload_head", "4d656574203c6b65793e0a"}},
                    {"As text:", "Meet &lt;key&gt;\n"}, {"Not shown as text"}},
        SectionCase{"binary_payload_only_in_hex", {{"payload_head", "89504e470d0a1a0a00"}},
                    {"Not shown as text", "|.PNG.....|"}, {"As text:"}},
        SectionCase{"no_plot", {{"sha256", "ab12"}}, {"No plot", "ab12"}, {"<svg"}},
        SectionCase{"plot_of_empty_lists",
                    {{"plot", {{"seconds", Json::array()}, {"residual", Json::array()}, {"odd", Json::array()}}}},
                    {"No plot"}, {"<svg"}},
        SectionCase{"payload_head_not_hex", {{"payload_head", "zz<b>"}}, {"not a hex string", "zz&lt;b&gt;"},
                    {"in hex:"}},
        SectionCase{"relative_paths_through_the_scan_directory",
                    {{"records_file", "out/a.csv"}, {"payload_file", "/abs/a.payload"}},
                    {"href=\"../scan%20dir/out/a.csv\"", "href=\"file:///abs/a.payload\"", ">out/a.csv<"},
                    {},
                    "../scan dir"},
        SectionCase{"relative_paths_from_the_page", {{"records_file", "out/a.csv"}}, {"href=\"out/a.csv\""}}),
    case_name<SectionCase>);

// ------------------------------------------------------------------ plots

struct PlotCase {
    const char* what;
    Json plot;
    std::size_t odd, even;
    bool span;
};

class Plot : public testing::TestWithParam<PlotCase> {};

TEST_P(Plot, DrawsEachUsablePointByItsParity) {
    const auto& c = GetParam();
    const auto points = gainscan::plot_points(c.plot);
    ASSERT_TRUE(points);
    const std::string svg = gainscan::render_evidence_plot(*points, "p", "title");
    EXPECT_EQ(count(svg, "<circle class=\"odd\""), c.odd);
    EXPECT_EQ(count(svg, "<rect class=\"even\""), c.even);
    EXPECT_EQ(svg.find("span claimed by the length field") != std::string::npos, c.span);
    expect_in(svg, {"time in the file (s)", "energy residual (log2 units)"}, {"nan", "inf"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Plot,
    testing::Values(
        PlotCase{"plain", plot({0, 1, 2, 3, 4}, {0.1, -0.2, 0.3, -0.1, 0}, {1, 0, 1, 1, 0}, {1, 3}), 3, 2, true},
        PlotCase{"booleans_as_parity", Json{{"seconds", {0, 1}}, {"residual", {1, 2}}, {"odd", {true, false}}}, 1, 1,
                 false},
        PlotCase{"unusable_points_dropped",
                 Json{{"seconds", {0, "x", 2, 3, 4}}, {"residual", {0.1, 0.2, nullptr, 1e300, 0.5}},
                      {"odd", {1, 1, 0, 0, 2}}, {"span_seconds", {0, 4}}},
                 1, 0, true},
        PlotCase{"lists_of_different_lengths",
                 Json{{"seconds", {0, 1, 2}}, {"residual", {0, 1}}, {"odd", {0, 1, 1, 1}}}, 1, 1, false},
        PlotCase{"only_a_span", Json{{"span_seconds", {2, 1}}}, 0, 0, true},
        PlotCase{"all_at_one_time_and_value", plot({5, 5, 5}, {0, 0, 0}, {1, 0, 1}, {5, 5}), 2, 1, true},
        PlotCase{"huge_and_tiny_times", plot({1e8, 1e8 + 1e-7}, {1e-9, -1e-9}, {1, 0}, {1e8, 1e8}), 1, 1, true}),
    case_name<PlotCase>);

TEST(Plot, NothingToDrawIsNoPlot) {
    for (const Json& p : {Json(nullptr), Json("none"), Json(5), Json::object(), Json::array(),
                          Json{{"seconds", {"a"}}, {"residual", {1}}, {"odd", {1}}}, Json{{"span_seconds", {1}}}})
        EXPECT_FALSE(gainscan::plot_points(p)) << p;
}

TEST(Plot, DrawsAtMostTheLimitOfPoints) {
    Json p = {{"seconds", Json::array()}, {"residual", Json::array()}, {"odd", Json::array()}};
    for (std::size_t i = 0; i < gainscan::kMaxPlotPoints + 10; ++i) {
        p["seconds"].push_back(i * 0.01);
        p["residual"].push_back(0.0);
        p["odd"].push_back(1);
    }
    const auto points = gainscan::plot_points(p);
    ASSERT_TRUE(points);
    EXPECT_EQ(points->seconds.size(), gainscan::kMaxPlotPoints);
    EXPECT_EQ(points->unusable, 10u);
}

TEST(RenderReport, ALineNestedAMillionLevelsDeepIsShownCutShort) {
    // Read and rendered without a copy, which would recurse a million times.
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    std::istringstream in(R"({"scan": {"options": {"x": )" + deep + "}}}\n" + R"({"file": "a.mp3", "y": )" + deep +
                          ", \"flagged\": true}\n");
    const auto input = gainscan::read_report_jsonl(in);
    ASSERT_EQ(input.records.size(), 1u);
    const std::string page = render_report_html(input, "deep.jsonl");
    EXPECT_LT(page.size(), 64u * 1024);
    expect_in(page, {"[[[[[\xE2\x80\xA6]]]]"});
}

// ------------------------------------------------------------------ header, summary and counts

struct PageCase {
    const char* what;
    std::vector<Json> records;
    Json scan, summary;
    Strings shown;
};

class PageText : public testing::TestWithParam<PageCase> {};

TEST_P(PageText, SaysWhatTheReportHolds) {
    expect_in(render(GetParam().records, GetParam().scan, GetParam().summary), GetParam().shown);
}

const Json kScan = {{"tool", "gainscan-batch"}, {"version", "9.9"}, {"host", "lab-7"},
                    {"started", "2026-12-07T16:00:00Z"}, {"options", {{"jobs", 4}, {"alpha", 0.001}}}};
const Json kSummary = {{"files", 0}, {"ended", "2026-12-07T17:00:00Z"}};
const Strings kScanShown = {"lab-7", "9.9", "2026-12-07T16:00:00Z", "2026-12-07T17:00:00Z", "jobs"};

INSTANTIATE_TEST_SUITE_P(
    Cases, PageText,
    testing::Values(
        PageCase{"empty", {}, nullptr, nullptr,
                 {"0 of 0 files shown", "No file was flagged.", "no scan header", "no summary line"}},
        PageCase{"header_and_summary", {}, kScan, kSummary, kScanShown},
        PageCase{"header_and_summary_wrapped", {}, Json{{"scan", kScan}}, Json{{"summary", kSummary}}, kScanShown},
        PageCase{"alpha_in_false_alarms", {}, nullptr, Json{{"alpha", 0.001}, {"analysed", 2000}},
                 {"10 false alarms per 10,000 clean files", "about 2 among the 2000 files analysed"}},
        PageCase{"summary_disagreeing", {rec(false, 0.5, 1)}, nullptr, Json{{"files", 3}},
                 {"The summary counts 3 files, but the report holds 1 record"}},
        PageCase{"counts_from_the_records",
                 {{{"file", "a"}, {"status", "ok"}, {"format", "layer3"}, {"verdict", "found"}, {"flagged", true}},
                  {{"file", "b"}, {"status", "ok"}, {"format", "layer3"}, {"verdict", "none"}},
                  {{"file", "c"}, {"status", "ok"}, {"format", "not_mpeg_audio"}, {"verdict", "none"}},
                  {{"file", "d"}, {"status", "error"}, {"error", "Permission denied"}}},
                 nullptr, nullptr,
                 {"layer3 (2)", "not_mpeg_audio (1)", "ok (3)", "error (1)", "flagged (1)", "none (2)",
                  "no verdict (1)", "(not recorded) (1)"}}),
    case_name<PageCase>);

TEST(RenderReport, LinesThatCouldNotBeUsedAreNamed) {
    const std::vector<gainscan::InputProblem> problems = {{7, "not valid JSON", "{\"file\": \"<b>"},
                                                          {9, "a JSON array, not an object", "[1]"}};
    gainscan::ReportSource source;
    source.problems = problems;
    source.problem_count = 12;
    expect_in(section(render({}, nullptr, nullptr, source), "input-problems"),
              {"12 lines of the report could not be used", "The first 2 are named here", "line 7: not valid JSON",
               "&lt;b&gt;", "line 9: a JSON array"});
}

// ------------------------------------------------------------------ self-contained

// The page's policy admitting its own style and script (and nothing else) is
// checked in a browser, which refuses both when their hashes are wrong.
TEST(RenderReport, NothingIsLoadedFromElsewhere) {
    Json record = rec(true, 0.01, 3);
    record["plot"] = plot({1, 2}, {0.5, -0.5}, {1, 0}, {0, 3});
    record["records_file"] = "/abs/a.csv";
    const std::string page = lower(render({record}));
    expect_in(page, {}, {" src=", "<link", "url(", "@import", "<object", "<embed", "https:"});
    // The only "http:" is the SVG namespace name, which is never fetched.
    EXPECT_EQ(count(page, "http:"), count(page, "xmlns=\"http://www.w3.org/2000/svg\""));
}

}  // namespace
