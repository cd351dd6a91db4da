// The HTML report as text: every record is in it, in the documented order,
// nothing from the input can become markup, and odd records still render.
// The page's behaviour in a browser is tested by report_browser_test.py.
#include <gtest/gtest.h>
#include <openssl/evp.h>

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
using gainscan::report_order;

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string render(const std::vector<Json>& records, const Json& scan = nullptr, const Json& summary = nullptr) {
    return render_report_html(scan, records, summary);
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

// The text between the start of section `id` and the next section's start.
std::string section(const std::string& page, const std::string& id) {
    const std::size_t start = page.find("id=\"" + id + "\"");
    if (start == std::string::npos) return "";
    return page.substr(start, page.find("<section", start) - start);
}

Json plot(std::vector<double> seconds, std::vector<double> residual, std::vector<int> odd,
          std::array<double, 2> span) {
    return Json{{"seconds", seconds}, {"residual", residual}, {"odd", odd}, {"span_seconds", span}};
}

// ------------------------------------------------------------------ hostile input

class HostileName : public testing::TestWithParam<std::string> {};

TEST_P(HostileName, NeverBecomesMarkupInAnyField) {
    const std::string& evil = GetParam();
    Json record = {{"file", evil},           {"status", evil},          {"format", evil},
                   {"verdict", evil},        {"flagged", true},         {"error", evil},
                   {"evidence", evil},       {"evidence_reason", evil}, {"sha256", evil},
                   {"md5", evil},            {"records_file", evil},    {"payload_file", evil},
                   {"payload_type", evil},   {"payload_mime", evil},    {"payload_sha256", evil},
                   {"payload_head", evil},   {"messages", {evil}},      {"file_b64", evil},
                   {evil, evil},             {"plot", plot({1, 2}, {0.5, -0.5}, {1, 0}, {0, 3})}};
    const Json scan = {{"tool", evil}, {"host", evil}, {"started", evil}, {"options", {{evil, evil}}}};
    const Json summary = {{"ended", evil}, {evil, evil}, {"by_format", {{evil, 1}}}};
    const std::string page = render({record}, scan, summary);
    EXPECT_EQ(count(lower(page), "<script"), 1u);
    EXPECT_EQ(count(lower(page), "<svg"), 1u);
    EXPECT_EQ(count(lower(page), "<img"), 0u);
    EXPECT_EQ(count(lower(page), "<iframe"), 0u);
    EXPECT_EQ(count(lower(page), "</style"), 1u);
    EXPECT_EQ(page.find(evil), std::string::npos) << "the name appears unescaped";
    EXPECT_NE(page.find(gainscan::html(evil)), std::string::npos) << "the name does not appear at all";
}

INSTANTIATE_TEST_SUITE_P(Names, HostileName,
                         testing::Values("<script>alert(1)</script>.mp3", "\"><img src=x onerror=alert(1)>.mp3",
                                         "'><svg onload=alert(1)>.mp3", "</style><script>x()</script>",
                                         "</title><iframe src=//evil>", "<!--", "a&b<c>d\"e'f",
                                         "</SCRIPT><SCRIPT>x()</SCRIPT>"));

TEST(RenderReport, InvalidUtf8InAStringIsReplacedNotCopied) {
    const std::string page = render({Json{{"file", "ok.mp3"}, {"error", "bad \xff byte"}}});
    EXPECT_EQ(page.find("\xff"), std::string::npos);
    EXPECT_NE(page.find("bad \xEF\xBF\xBD byte"), std::string::npos);
}

// ------------------------------------------------------------------ every record, in order

TEST(RenderReport, EveryRecordIsOneRow) {
    std::vector<Json> records;
    for (int i = 0; i < 57; ++i) {
        records.push_back({{"file", "dir/file" + std::to_string(i) + ".mp3"}, {"flagged", i % 10 == 3},
                           {"score", i * 0.1}, {"status", "ok"}});
    }
    const std::string page = render(records);
    std::vector<std::size_t> order = row_order(page);
    std::sort(order.begin(), order.end());
    std::vector<std::size_t> all(records.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    EXPECT_EQ(order, all);
    for (const Json& r : records) {
        EXPECT_EQ(count(page, "data-v=\"" + r["file"].get<std::string>() + "\""), 1u) << r["file"];
    }
    EXPECT_NE(page.find("57 of 57 files shown"), std::string::npos);
}

struct OrderCase {
    const char* what;
    std::vector<Json> records;
    std::vector<std::size_t> expected;
};

// Test names and failure messages show the case by its name, not its bytes.
void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.what; }

class Order : public testing::TestWithParam<OrderCase> {};

TEST_P(Order, FlaggedFirstThenPValueAscendingThenScoreDescending) {
    const auto& c = GetParam();
    EXPECT_EQ(report_order(c.records), c.expected);
    EXPECT_EQ(row_order(render(c.records)), c.expected);
}

Json rec(bool flagged, Json p_value, Json score) {
    return {{"file", "f"}, {"flagged", flagged}, {"p_value", p_value}, {"score", score}};
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
    [](const testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.what); });

TEST(RenderReport, FlaggedSectionsFollowTheSameOrder) {
    const std::vector<Json> records = {rec(true, 0.01, 3), rec(false, 0.5, 1), rec(true, 1e-6, 8)};
    const std::string page = render(records);
    const std::size_t first = page.find("<section class=\"evidence\" id=\"file-2\"");
    const std::size_t second = page.find("<section class=\"evidence\" id=\"file-0\"");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(page.find("id=\"file-1\""), std::string::npos) << "a section for a file that is not flagged";
}

// ------------------------------------------------------------------ flagged files and plots

TEST(RenderReport, AFlaggedFileWithoutPlotDataStillGetsItsSection) {
    for (const Json& no_plot : {Json(nullptr), Json("none"), Json(5), Json::object(),
                                Json{{"seconds", {}}, {"residual", {}}, {"odd", {}}}}) {
        Json record = {{"file", "lost.mp3"}, {"flagged", true}, {"score", 4.0}, {"sha256", "ab12"}};
        if (!no_plot.is_null()) record["plot"] = no_plot;
        const std::string part = section(render({record}), "file-0");
        ASSERT_FALSE(part.empty()) << no_plot;
        EXPECT_EQ(part.find("<svg"), std::string::npos) << no_plot;
        EXPECT_NE(part.find("noplot"), std::string::npos) << no_plot;
        EXPECT_NE(part.find("ab12"), std::string::npos) << no_plot;
    }
}

TEST(RenderReport, AFlaggedSectionShowsItsEvidenceAndProvenance) {
    const Json record = {{"file", "a.mp3"},
                         {"flagged", true},
                         {"score", 9.41},
                         {"p_value", 2.3e-11},
                         {"length", 66},
                         {"nbits", 5},
                         {"span", 538},
                         {"carriers", 1800},
                         {"sha256", "5e0f"},
                         {"payload_sha256", "77aa"},
                         {"payload_type", "ASCII text"},
                         {"payload_mime", "text/plain"},
                         {"payload_head", "48656c6c6f3c0a"},
                         {"records_file", "out/a.mp3.records.csv"},
                         {"plot", plot({0.5, 1, 1.5, 2}, {0.4, -0.3, 0.5, -0.6}, {1, 0, 1, 0}, {0.25, 1.75})}};
    const std::string part = section(render({record}), "file-0");
    for (const std::string& expected :
         {std::string("9.41"), std::string("2.3e-11"), std::string("66 bytes"), std::string("538 carriers"),
          std::string("0.25\u20131.75 s"), std::string("5e0f"), std::string("77aa"), std::string("ASCII text"),
          std::string("text/plain"), std::string("48 65 6c 6c 6f 3c 0a"), std::string("|Hello&lt;.|"),
          std::string("href=\"out/a.mp3.records.csv\"")}) {
        EXPECT_NE(part.find(expected), std::string::npos) << expected;
    }
}

TEST(RenderReport, RelativePathsAreLinkedThroughTheScanDirectory) {
    const std::vector<Json> records = {{{"file", "a.mp3"}, {"flagged", true}, {"records_file", "out/a.csv"},
                                        {"payload_file", "/abs/a.payload"}}};
    gainscan::ReportSource source;
    source.link_base = "../scan dir";
    const std::string part = section(render_report_html(nullptr, records, nullptr, source), "file-0");
    EXPECT_NE(part.find("href=\"../scan%20dir/out/a.csv\""), std::string::npos);
    EXPECT_NE(part.find("href=\"file:///abs/a.payload\""), std::string::npos);
    EXPECT_NE(part.find("<code>out/a.csv</code>"), std::string::npos) << "the path is shown as recorded";
}

TEST(RenderReport, APayloadHeadIsShownAsTextOnlyWhenItIsText) {
    Json record = {{"file", "a.mp3"}, {"flagged", true}, {"payload_head", "4d656574203c6b65793e0a"}};
    std::string part = section(render({record}), "file-0");
    EXPECT_NE(part.find("<pre class=\"text\">Meet &lt;key&gt;\n</pre>"), std::string::npos);
    record["payload_head"] = "89504e470d0a1a0a00";
    part = section(render({record}), "file-0");
    EXPECT_EQ(part.find("<pre class=\"text\">"), std::string::npos);
    EXPECT_NE(part.find("Not shown as text"), std::string::npos);
    EXPECT_NE(part.find("|.PNG.....|"), std::string::npos);
}

TEST(RenderReport, APayloadHeadThatIsNotHexIsSaidSo) {
    const Json record = {{"file", "a.mp3"}, {"flagged", true}, {"payload_head", "zz<b>"}};
    const std::string part = section(render({record}), "file-0");
    EXPECT_NE(part.find("not a hex string"), std::string::npos);
    EXPECT_NE(part.find("zz&lt;b&gt;"), std::string::npos);
    EXPECT_EQ(part.find("class=\"hex\""), std::string::npos);
}

struct PlotCase {
    const char* what;
    Json plot;
    std::size_t odd, even;
    bool span;
};

void PrintTo(const PlotCase& c, std::ostream* os) { *os << c.what; }

class Plot : public testing::TestWithParam<PlotCase> {};

TEST_P(Plot, DrawsEachUsablePointByItsParity) {
    const auto& c = GetParam();
    const auto points = gainscan::plot_points(c.plot);
    ASSERT_TRUE(points);
    const std::string svg = gainscan::render_evidence_plot(*points, "p", "title");
    EXPECT_EQ(count(svg, "<circle class=\"odd\""), c.odd);
    EXPECT_EQ(count(svg, "<rect class=\"even\""), c.even);
    EXPECT_EQ(svg.find("span claimed by the length field") != std::string::npos, c.span);
    EXPECT_NE(svg.find("time in the file (s)"), std::string::npos);
    EXPECT_NE(svg.find("energy residual (log2 units)"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Plot,
    testing::Values(
        PlotCase{"plain", plot({0, 1, 2, 3, 4}, {0.1, -0.2, 0.3, -0.1, 0}, {1, 0, 1, 1, 0}, {1, 3}), 3, 2, true},
        PlotCase{"booleans_as_parity",
                 Json{{"seconds", {0, 1}}, {"residual", {1, 2}}, {"odd", {true, false}}}, 1, 1, false},
        PlotCase{"unusable_points_dropped",
                 Json{{"seconds", {0, "x", 2, 3, 4}}, {"residual", {0.1, 0.2, nullptr, 1e300, 0.5}},
                      {"odd", {1, 1, 0, 0, 2}}, {"span_seconds", {0, 4}}},
                 1, 0, true},
        PlotCase{"lists_of_different_lengths",
                 Json{{"seconds", {0, 1, 2}}, {"residual", {0, 1}}, {"odd", {0, 1, 1, 1}}}, 1, 1, false},
        PlotCase{"only_a_span", Json{{"span_seconds", {2, 1}}}, 0, 0, true},
        PlotCase{"all_at_one_time_and_value", plot({5, 5, 5}, {0, 0, 0}, {1, 0, 1}, {5, 5}), 2, 1, true},
        PlotCase{"huge_and_tiny_times", plot({1e8, 1e8 + 1e-7}, {1e-9, -1e-9}, {1, 0}, {1e8, 1e8}), 1, 1, true}),
    [](const testing::TestParamInfo<PlotCase>& info) { return std::string(info.param.what); });

TEST(Plot, NothingToDrawIsNoPlot) {
    EXPECT_FALSE(gainscan::plot_points(Json(nullptr)));
    EXPECT_FALSE(gainscan::plot_points(Json::array()));
    EXPECT_FALSE(gainscan::plot_points(Json{{"seconds", {"a"}}, {"residual", {1}}, {"odd", {1}}}));
    EXPECT_FALSE(gainscan::plot_points(Json{{"span_seconds", {1}}}));
}

TEST(Plot, DrawsAtMostTheLimitOfPoints) {
    const std::size_t n = gainscan::kMaxPlotPoints + 10;
    Json p = {{"seconds", Json::array()}, {"residual", Json::array()}, {"odd", Json::array()}};
    for (std::size_t i = 0; i < n; ++i) {
        p["seconds"].push_back(i * 0.01);
        p["residual"].push_back(0.0);
        p["odd"].push_back(1);
    }
    const auto points = gainscan::plot_points(p);
    ASSERT_TRUE(points);
    EXPECT_EQ(points->seconds.size(), gainscan::kMaxPlotPoints);
    EXPECT_EQ(points->unusable, 10u);
}

// ------------------------------------------------------------------ odd records, header and summary

struct OddRecordCase {
    const char* what;
    Json record;
};

void PrintTo(const OddRecordCase& c, std::ostream* os) { *os << c.what; }

class OddRecord : public testing::TestWithParam<OddRecordCase> {};

TEST_P(OddRecord, StillRendersAsOneRow) {
    const std::string page = render({GetParam().record});
    EXPECT_EQ(row_order(page), std::vector<std::size_t>{0});
    EXPECT_NE(page.find("1 of 1 files shown"), std::string::npos);
    EXPECT_NE(page.find("</html>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OddRecord,
    testing::Values(
        OddRecordCase{"only_a_name", Json{{"file", "only_a_name.mp3"}}},
        OddRecordCase{"every_field_null",
                      Json{{"file", "all_null.mp3"}, {"status", nullptr}, {"format", nullptr}, {"flagged", nullptr},
                           {"score", nullptr}, {"p_value", nullptr}, {"plot", nullptr}, {"messages", nullptr}}},
        OddRecordCase{"every_field_of_another_type",
                      Json{{"file", "wrong_types.mp3"}, {"status", 1}, {"format", {1, 2}}, {"flagged", "yes"},
                           {"score", "high"}, {"p_value", Json::object()}, {"bytes", {{"n", 1}}}, {"seconds", true},
                           {"messages", {1, nullptr}}, {"plot", {{"seconds", "x"}}}, {"payload_head", 12},
                           {"length", -1}}},
        OddRecordCase{"flagged_with_an_empty_name_and_later_messages_as_counts",
                      Json{{"file", ""}, {"flagged", true}, {"messages", {"Error: header junk\n"}},
                           {"later_messages", {{"x", 3}}}}},
        // Nested only as deep as a copy can go: test parameters are copied recursively.
        OddRecordCase{"a_field_nested_2000_deep",
                      Json{{"file", "deep.mp3"},
                           {"odd_field", Json::parse(std::string(2000, '[') + std::string(2000, ']'))}}}),
    [](const testing::TestParamInfo<OddRecordCase>& info) { return std::string(info.param.what); });

TEST(RenderReport, ALineNestedAMillionLevelsDeepIsShownCutShort) {
    // Read and rendered without a copy, which would recurse a million times.
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    std::istringstream in(R"({"scan": {"options": {"x": )" + deep + "}}}\n" + R"({"file": "a.mp3", "y": )" + deep +
                          ", \"flagged\": true}\n");
    const auto input = gainscan::read_report_jsonl(in);
    ASSERT_EQ(input.records.size(), 1u);
    const std::string page = render_report_html(input, "deep.jsonl");
    EXPECT_LT(page.size(), 64u * 1024);
    EXPECT_NE(page.find("[[[[[\xE2\x80\xA6]]]]"), std::string::npos);
}

TEST(RenderReport, AnEmptyReportSaysSo) {
    const std::string page = render({});
    EXPECT_NE(page.find("0 of 0 files shown"), std::string::npos);
    EXPECT_NE(page.find("No file was flagged."), std::string::npos);
    EXPECT_NE(page.find("no scan header"), std::string::npos);
    EXPECT_NE(page.find("no summary line"), std::string::npos);
}

TEST(RenderReport, HeaderAndSummaryAreShownWrappedOrNot) {
    const Json inner = {{"tool", "gainscan-batch"}, {"version", "9.9"}, {"host", "lab-7"},
                        {"started", "2026-12-07T16:00:00Z"}, {"options", {{"jobs", 4}, {"alpha", 0.001}}}};
    for (const Json& scan : {inner, Json{{"scan", inner}}}) {
        const std::string page = render({}, scan, Json{{"summary", {{"files", 0}, {"ended", "2026-12-07T17:00:00Z"}}}});
        for (const char* expected : {"lab-7", "9.9", "2026-12-07T16:00:00Z", "2026-12-07T17:00:00Z", "jobs"}) {
            EXPECT_NE(page.find(expected), std::string::npos) << expected;
        }
    }
}

TEST(RenderReport, AlphaIsExplainedInFalseAlarmsPerTenThousand) {
    const std::string page = render({}, nullptr, Json{{"alpha", 0.001}, {"analysed", 2000}});
    EXPECT_NE(page.find("10 false alarms per 10,000 clean files"), std::string::npos);
    EXPECT_NE(page.find("about 2 among the 2000 files analysed"), std::string::npos);
}

TEST(RenderReport, ASummaryThatDisagreesWithTheRecordsIsPointedOut) {
    const std::string page = render({rec(false, 0.5, 1)}, nullptr, Json{{"files", 3}});
    EXPECT_NE(page.find("The summary counts 3 files, but the report holds 1 record"), std::string::npos);
}

TEST(RenderReport, CountsByStatusFormatAndVerdictComeFromTheRecords) {
    const std::vector<Json> records = {
        {{"file", "a"}, {"status", "ok"}, {"format", "layer3"}, {"verdict", "found"}, {"flagged", true}},
        {{"file", "b"}, {"status", "ok"}, {"format", "layer3"}, {"verdict", "none"}, {"flagged", false}},
        {{"file", "c"}, {"status", "ok"}, {"format", "not_mpeg_audio"}, {"verdict", "none"}, {"flagged", false}},
        {{"file", "d"}, {"status", "error"}, {"error", "Permission denied"}, {"flagged", false}}};
    const std::string page = render(records);
    for (const char* expected :
         {"<option value=\"layer3\">layer3 (2)</option>", "<option value=\"not_mpeg_audio\">not_mpeg_audio (1)</option>",
          "<option value=\"ok\">ok (3)</option>", "<option value=\"error\">error (1)</option>",
          "<option value=\"flagged\">flagged (1)</option>", "<option value=\"none\">none (2)</option>",
          "<option value=\"no-verdict\">no verdict (1)</option>", "<option value=\"\">(not recorded) (1)</option>"}) {
        EXPECT_NE(page.find(expected), std::string::npos) << expected;
    }
}

TEST(RenderReport, LinesThatCouldNotBeUsedAreNamed) {
    const std::vector<gainscan::InputProblem> problems = {{7, "not valid JSON", "{\"file\": \"<b>"},
                                                          {9, "a JSON array, not an object", "[1]"}};
    gainscan::ReportSource source;
    source.problems = problems;
    source.problem_count = 12;
    const std::string page = render_report_html(nullptr, std::vector<Json>{}, nullptr, source);
    const std::string part = section(page, "input-problems");
    EXPECT_NE(part.find("12 lines of the report could not be used"), std::string::npos);
    EXPECT_NE(part.find("The first 2 are named here"), std::string::npos);
    EXPECT_NE(part.find("line 7: not valid JSON"), std::string::npos);
    EXPECT_NE(part.find("&lt;b&gt;"), std::string::npos);
    EXPECT_NE(part.find("line 9: a JSON array"), std::string::npos);
}

// ------------------------------------------------------------------ self-contained

std::string sha256_base64(const std::string& text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    std::array<unsigned char, 128> encoded{};
    const int n = EVP_EncodeBlock(encoded.data(), digest.data(), static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(n));
}

std::string between(const std::string& page, const std::string& open, const std::string& close) {
    const std::size_t start = page.find(open);
    if (start == std::string::npos) return "";
    const std::size_t from = start + open.size();
    return page.substr(from, page.find(close, from) - from);
}

TEST(RenderReport, ThePolicyAdmitsExactlyThePagesOwnStyleAndScript) {
    const std::string page = render({rec(true, 0.01, 3)});
    const std::string policy = between(page, "http-equiv=\"Content-Security-Policy\" content=\"", "\"");
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(policy.find("script-src 'sha256-" + sha256_base64(between(page, "<script>", "</script>")) + "'"),
              std::string::npos);
    EXPECT_NE(policy.find("style-src 'sha256-" + sha256_base64(between(page, "<style>", "</style>")) + "'"),
              std::string::npos);
}

TEST(RenderReport, NothingIsLoadedFromElsewhere) {
    Json record = rec(true, 0.01, 3);
    record["plot"] = plot({1, 2}, {0.5, -0.5}, {1, 0}, {0, 3});
    record["records_file"] = "/abs/a.csv";
    const std::string page = lower(render({record}));
    for (const char* absent : {" src=", "<link", "url(", "@import", "<object", "<embed", "https:"}) {
        EXPECT_EQ(page.find(absent), std::string::npos) << absent;
    }
    // The only "http:" is the SVG namespace name, which is never fetched.
    EXPECT_EQ(count(page, "http:"), count(page, "xmlns=\"http://www.w3.org/2000/svg\""));
}

}  // namespace
