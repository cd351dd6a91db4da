// --report: the scan writes the same self-contained page gainscan-report
// makes from its jsonl, with every file listed (also those --only-flagged
// leaves out of the output), and the flagged file's evidence and payload.
#include "batch_support.h"

using namespace batch_test;

namespace {

// The number of times `what` occurs in `text`.
std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A copy of the fixtures with one file carrying a known text.
fs::path scan_dir_with_payload(const std::string& text) {
    const fs::path dir = fresh_dir("report_scan");
    fs::create_directories(dir / "scan");
    for (const char* name : {"m1_44100_stereo_cbr64_2s.mp3", "m2_22050_dual_cbr64.mp3", "layer2_44100_stereo_192.mp2"})
        fs::copy_file(fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures" / name, dir / "scan" / name);
    std::string hex;
    for (unsigned char c : text) {
        static constexpr char DIGITS[] = "0123456789abcdef";
        hex += DIGITS[c >> 4];
        hex += DIGITS[c & 15];
    }
    const Outcome embedded = run(std::string("'" EMBED_LSB_BINARY "' --bytes tests/fixtures/long_m1_44100_mono_cbr32_40s.mp3 ") +
                                 quote(dir / "scan" / "stego.mp3") + " " + std::to_string(text.size()) + " " + hex);
    EXPECT_EQ(embedded.status, 0) << embedded.err;
    return dir;
}

}  // namespace

TEST(HtmlReport, ListsEveryFileAndShowsTheFlaggedOnesEvidenceAndPayload) {
    const std::string text = "Meet at the north gate at nine; bring the documents and the keys. Nobody else.";
    const fs::path dir = scan_dir_with_payload(text);
    fs::create_directories(dir / "payloads");
    const fs::path page = dir / "scan.html";
    for (const std::string only : {"", "--only-flagged"}) {
        SCOPED_TRACE(only);
        fs::remove_all(dir / "payloads");
        fs::create_directories(dir / "payloads");
        const Outcome scan = run(BATCH + " -q -f jsonl " + only + " --extract " + quote(dir / "payloads") +
                                 " --report " + quote(page) + " " + quote(dir / "scan"));
        EXPECT_EQ(scan.status, 1) << scan.err;  // the payload is found
        ASSERT_TRUE(fs::exists(page));
        EXPECT_FALSE(fs::exists(page.string() + ".partial"));
        const std::string html = slurp(page);
        for (const char* name : {"m1_44100_stereo_cbr64_2s.mp3", "m2_22050_dual_cbr64.mp3", "layer2_44100_stereo_192.mp2",
                                 "stego.mp3"})
            EXPECT_NE(html.find(name), std::string::npos) << name;
        EXPECT_EQ(count(html, "<svg"), 1u);  // one flagged file, one plot
        EXPECT_NE(html.find(text.substr(0, 40)), std::string::npos);  // the payload's text preview
        // Self-contained: nothing is fetched from anywhere.
        for (const char* fetch : {"src=\"http", "href=\"http", "src=\"//", "href=\"//", "url(http", "url(//", "@import"})
            EXPECT_EQ(html.find(fetch), std::string::npos) << fetch;
        const auto rs = records(scan.out);
        ASSERT_FALSE(rs.empty());
        EXPECT_NE(html.find(rs.back()["sha256"].get<std::string>()), std::string::npos);
    }
    // Paths the records give relative to where the scan ran are linked from
    // the page's own directory.
    fs::remove_all(dir / "payloads");
    fs::create_directories(dir / "payloads");
    fs::create_directories(dir / "pages");
    const Outcome relative = run("cd " + quote(dir) + " && " + BATCH +
                                 " -q -f jsonl --extract payloads --report pages/scan.html scan");
    EXPECT_EQ(relative.status, 1) << relative.err;
    EXPECT_NE(slurp(dir / "pages" / "scan.html").find("href=\"../payloads/000004-stego.mp3.payload\""), std::string::npos);
}

TEST(HtmlReport, AReportThatCannotBeWrittenIsAnErrorAndTheScanStillPrints) {
    const fs::path dir = fresh_dir("report_unwritable");
    const Outcome scan = run(BATCH + " -q -f jsonl --report " + quote(dir / "missing" / "scan.html") +
                             " tests/fixtures/m2_22050_dual_cbr64.mp3");
    EXPECT_EQ(scan.status, 2);
    EXPECT_NE(scan.err.find("--report"), std::string::npos) << scan.err;
    EXPECT_EQ(records(scan.out).size(), 1u);
}
