// Records stay small whatever the input, and the command line says what it
// does with options that make no sense together.
#include <cstdint>
#include <random>

#include "batch_support.h"

using namespace batch_test;

namespace {

// 30 s of quiet 16-bit stereo noise in an AIFF-like file: PCM samples near
// zero are full of 0xFFFx pairs that look like frame headers, so the decoder
// complains thousands of times (an AIFF of this kind gave a 793 KB record).
fs::path noisy_pcm(const fs::path& dir) {
    const fs::path file = dir / "noise.aiff";
    std::ofstream out(file, std::ios::binary);
    out << "FORM\0\0\0\0AIFF";
    std::mt19937 random(16);
    std::uniform_int_distribution<int> sample(-300, 300);
    std::string block;
    for (int i = 0; i < 30 * 44100 * 2; ++i) {
        const auto value = static_cast<std::uint16_t>(static_cast<std::int16_t>(sample(random)));
        block += static_cast<char>(value >> 8);
        block += static_cast<char>(value & 0xFF);
    }
    out << block;
    return file;
}

}  // namespace

TEST(RecordBounds, AFileWithThousandsOfMessagesKeepsItsRecordsSmall) {
    const fs::path dir = fresh_dir("bounds");
    const fs::path file = noisy_pcm(dir);
    const Outcome jsonl = run(BATCH + " -q -f jsonl " + quote(file));
    std::istringstream in(jsonl.out);
    for (std::string line; std::getline(in, line);) EXPECT_LT(line.size() + 1, 65536u);
    const auto rs = records(jsonl.out);
    ASSERT_EQ(rs.size(), 1u);
    const Json& r = rs[0];
    std::uint64_t later = r["later_messages_other"];
    for (const auto& [text, count] : r["later_message_counts"].items()) later += count.get<std::uint64_t>();
    EXPECT_GT(later, 1000u) << "the input should give thousands of messages";
    EXPECT_EQ(r["later_messages"].size(), 5u);
    EXPECT_LE(r["later_message_counts"].size(), 32u);

    // What is kept of gainscan's own messages is the start of what it prints,
    // and the count of those left out makes up the rest.
    const Outcome gainscan = run("'" GAINSCAN_BINARY "' " + quote(file));
    std::string kept_err;
    std::uint64_t kept = 0;
    for (const std::string message : r["messages"]) {
        ++kept;
        if (message != "Error: header junk\n" && !message.starts_with("Blocktype == 0")) kept_err += message;
    }
    EXPECT_EQ(gainscan.err.substr(0, kept_err.size()), kept_err);
    const auto count_lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
    EXPECT_EQ(kept + r["messages_omitted"].get<std::uint64_t>(),
              static_cast<std::uint64_t>(count_lines(gainscan.out) - 3 + count_lines(gainscan.err)));

    // Python's csv module refuses cells over 131,072 bytes.
    const Outcome csv = run(BATCH + " -q -f csv " + quote(file) + " | python3 -c 'import csv, sys; "
                            "rows = list(csv.reader(sys.stdin)); print(len(rows))'");
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out, "2\n");
}

TEST(CommandLine, OptionsThatCannotWorkAreRefusedWithAReason) {
    const std::string file = " tests/fixtures/m1_32000_mono_cbr32.mp3";
    const struct {
        std::string args;
        std::string says;
    } cases[] = {
        {"--jobs 0" + file, "--jobs must be 1..1024"},
        {"--jobs 1025" + file, "--jobs must be 1..1024"},
        {"--jobs -1" + file, "--jobs must be 1..1024"},
        {"--hash sha1" + file, "--hash must be"},
        {"--hash sha256,," + file, "--hash must be"},
        {"--resume x.jsonl --format csv" + file, "--resume continues a jsonl report"},
        {"--resume x.jsonl --only-flagged" + file, "not with --only-flagged"},
        {"- -", "standard input can be read once"},
        {"--dump-records tests/fixtures tests", "inside the scanned directory"},
        {"--extract tests/batch tests/fixtures/../", "inside the scanned directory"},
        {"--files-from - -", "standard input can be read once"},
    };
    for (const auto& c : cases) {
        const Outcome o = run(BATCH + " " + c.args + " </dev/null");
        EXPECT_EQ(o.status, 2) << c.args;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << c.args << ": " << o.err;
        EXPECT_EQ(o.out, "") << c.args;
    }
}

// --summary with text or csv: the summary line on standard error, even with
// --quiet; csv on standard output stays a table of records.
TEST(CommandLine, SummaryWithTextOrCsvGoesToStandardErrorEvenWhenQuiet) {
    const std::string files = " tests/fixtures/m1_32000_mono_cbr32.mp3 tests/no_such.mp3";
    for (const std::string format : {"text", "csv"}) {
        SCOPED_TRACE(format);
        const Outcome with = run(BATCH + " --quick -q --summary -f " + format + files);
        EXPECT_NE(with.err.find("gainscan-batch: 2 files, 1 analysed, 0 flagged, 1 errors"), std::string::npos)
            << with.err;
        const Outcome without = run(BATCH + " --quick -q -f " + format + files);
        EXPECT_EQ(without.err, "");
        EXPECT_EQ(with.out, without.out);
    }
}
