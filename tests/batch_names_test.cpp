// The files a scan writes are named by each file's place in the scan, so the
// same scan names them the same whatever the number of workers, even when
// many scanned files share one base name; every record names its dump.
#include <map>

#include "batch/file_name.h"
#include "batch_support.h"

using namespace batch_test;

namespace {

// name relative to its directory -> contents, for every file in `dir`.
std::map<std::string, std::string> contents(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) files[entry.path().filename()] = slurp(entry.path());
    return files;
}

}  // namespace

TEST(OutputNames, SameNamesWithOneWorkerAndWithEight) {
    const fs::path tree = fresh_dir("names_tree");
    const fs::path fixtures = fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures";
    // Twelve files called song.mp3, alternately with and without a length field.
    for (int i = 0; i < 12; ++i) {
        fs::create_directories(tree / std::to_string(i));
        fs::copy_file(fixtures / (i % 2 ? "m1_44100_stereo_cbr64_2s.mp3" : "m1_44100_dual_cbr192.mp3"),
                      tree / std::to_string(i) / "song.mp3");
    }
    std::map<std::string, std::map<std::string, std::string>> written[2];
    std::vector<Json> records_of[2];
    for (int pass = 0; pass < 2; ++pass) {
        const std::string jobs = pass == 0 ? "1" : "8";
        const fs::path extract = fresh_dir("names_payloads_" + jobs), dump = fresh_dir("names_dumps_" + jobs);
        records_of[pass] = records(run(BATCH + " -q -f jsonl --extract-all --extract " + quote(extract) +
                                       " --dump-records " + quote(dump) + " -j " + jobs + " " + quote(tree))
                                       .out);
        ASSERT_EQ(records_of[pass].size(), 12u);
        written[pass]["payloads"] = contents(extract);
        written[pass]["dumps"] = contents(dump);
        for (Json& r : records_of[pass]) {
            // The directories differ between the passes; the names must not.
            ASSERT_TRUE(r["records_file"].is_string()) << r;
            EXPECT_TRUE(fs::exists(r["records_file"].get<std::string>()));
            r["records_file"] = fs::path(r["records_file"].get<std::string>()).filename();
            if (r["payload_file"].is_string()) r["payload_file"] = fs::path(r["payload_file"].get<std::string>()).filename();
        }
    }
    EXPECT_EQ(written[0], written[1]);
    EXPECT_EQ(written[0]["dumps"].size(), 12u);
    EXPECT_GT(written[0]["payloads"].size(), 0u);
    EXPECT_TRUE(records_of[0] == records_of[1]);
    EXPECT_EQ(records_of[0][4]["records_file"], "000005-song.mp3.records.csv");
}

TEST(OutputNames, NoDumpNoRecordsFile) {
    const auto rs = records(run(BATCH + " -q -f jsonl tests/fixtures/m1_32000_mono_cbr32.mp3").out);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0]["records_file"], nullptr);
}

TEST(OutputNames, Base64OfExactNameBytes) {
    // RFC 4648's test vectors, and bytes that are not UTF-8.
    const struct {
        std::string bytes, text;
    } cases[] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                 {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}, {"\xFF\xFE/a\x80", "//4vYYA="}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64(c.bytes), c.text);
        EXPECT_EQ(from_base64(c.text), c.bytes) << c.text;
    }
    for (const std::string bad : {"Zg=", "Zm9v!A==", "Zm9v Zg=="}) EXPECT_FALSE(from_base64(bad)) << bad;
}

TEST(OutputNames, Utf8ValidityAtEveryBoundary) {
    // Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates,
    // nothing above U+10FFFF, no sequence cut short.
    const struct {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"plain ASCII \x7F", true},
        {"\xC2\x80", true},         {"\xC1\xBF", false},         {"\xDF\xBF", true},
        {"\xC2", false},            {"\xC2\x7F", false},         {"\xC2\xC0", false},
        {"\xE0\xA0\x80", true},     {"\xE0\x9F\xBF", false},     {"\xEC\xBF\xBF", true},
        {"\xED\x9F\xBF", true},     {"\xED\xA0\x80", false},     {"\xEF\xBF\xBF", true},
        {"\xE1\x80", false},        {"\xF0\x90\x80\x80", true},  {"\xF0\x8F\xBF\xBF", false},
        {"\xF4\x8F\xBF\xBF", true}, {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false},
        {"\xF1\x80\x80", false},    {"\x80", false},             {"\xFF", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << base64(c.bytes);
        // Each invalid byte becomes one U+FFFD; a valid name stays as it is.
        const std::string replaced = replace_invalid_utf8(c.bytes);
        EXPECT_TRUE(is_valid_utf8(replaced)) << base64(c.bytes);
        if (c.valid) {
            EXPECT_EQ(replaced, c.bytes);
        }
    }
    EXPECT_EQ(replace_invalid_utf8("a\xC2z\xED\xA0\x80"), "a\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(OutputNames, TerminalTextShowsControlBytesAndInvalidUtf8AsEscapes) {
    // A name is printed to a terminal as it is, but for what could move the
    // cursor or hide as something else: control bytes, DEL, bytes that are
    // not UTF-8, and the backslash that starts an escape.
    const struct {
        std::string name, shown;
    } cases[] = {
        {"plain.mp3", "plain.mp3"},
        {"", ""},
        {"caf\xC3\xA9 \xE2\x82\xAC.mp3", "caf\xC3\xA9 \xE2\x82\xAC.mp3"},
        {"a\tb\n", "a\\x09b\\x0A"},
        {"\x1B[31mred", "\\x1B[31mred"},
        {"del\x7F", "del\\x7F"},
        {"back\\slash", "back\\x5Cslash"},
        {"\xFF.mp3", "\\xFF.mp3"},
        {"cut \xC3", "cut \\xC3"},
        {std::string("nul\0end", 7), "nul\\x00end"},
    };
    for (const auto& c : cases) EXPECT_EQ(escape_for_terminal(c.name), c.shown) << base64(c.name);
}

