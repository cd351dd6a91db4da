// The analyser as a whole program: command line, opening, leading blocks,
// the 200-record stop, the file length and the report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analyser/driver.h"
#include "bitstream_writer.h"

using namespace testing_stream;

namespace {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "gainscan_cli_" + std::to_string(getpid()) + "_" + name;
}

// Runs the built program with the given arguments (argv[0] included).
RunResult run_program(const std::vector<std::string>& args) {
    const std::string out_path = temp_path("stdout"), err_path = temp_path("stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        alarm(60);  // a hang fails the test instead of blocking it
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(GAINSCAN_BINARY, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return r;
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// MPEG-1 stereo 128 kbit/s 44.1 kHz frames (413-byte bodies, so 103 bytes per
// granule) whose granules carry no main data; record k gets gain(k).
template <typename Gain>
Bytes frames(int count, Gain gain, int first_record = 0) {
    HeaderFields h;
    h.mode = 0;
    Bytes all;
    int record = first_record;
    for (int i = 0; i < count; ++i) {
        SideInfoFields s;
        for (auto& granule : s.granule)
            for (auto& channel : granule) channel.global_gain = gain(record++);
        const Bytes f = frame(h, s, {});
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

// Gains whose LSBs spell a length field: nbits (6 bits), then the length
// below its leading 1, on every second record; the other records get 0.
std::vector<int> length_bits(std::uint32_t length) {
    int nbits = 0;
    while (nbits < 32 && (length >> nbits) != 0) ++nbits;
    std::vector<int> bits;
    for (int i = 5; i >= 0; --i) bits.push_back((nbits >> i) & 1);
    for (int i = nbits - 2; i >= 0; --i) bits.push_back(static_cast<int>((length >> i) & 1));
    return bits;
}

auto gains_for(std::uint32_t length) {
    const std::vector<int> bits = length_bits(length);
    return [bits](int record) -> std::uint32_t {
        if (record % 2 != 0) return 100;
        const std::size_t k = static_cast<std::size_t>(record / 2);
        return 100 + static_cast<std::uint32_t>(k < bits.size() ? bits[k] : 0);
    };
}

std::string report(const std::string& path, const std::string& capacity_line, const std::string& verdict) {
    return "Analysing file " + path + "\n" + capacity_line + "\n" + verdict + "\n";
}

const std::string NO_DATA = "File does not contain any qavex hidden data.";

}  // namespace

TEST(AnalyserCommandLineTest, NoArgumentPrintsUsage) {
    const RunResult r = run_program({"gainscan"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: gainscan <filename>\n");
}

TEST(AnalyserCommandLineTest, MissingFileCannotBeOpened) {
    const std::string path = temp_path("does_not_exist.mp3");
    const RunResult r = run_program({"gainscan", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Analysing file " + path + "\n");
    EXPECT_EQ(r.err, "unable to open file " + path);
}

TEST(AnalyserCommandLineTest, DirectoryAndFifoAreRefusedWithoutBlocking) {
    const std::string dir = temp_path("dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    RunResult r = run_program({"gainscan", dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unable to open file " + dir);
    rmdir(dir.c_str());

    // Nobody writes to the FIFO: opening it for reading would block forever.
    const std::string fifo = temp_path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    r = run_program({"gainscan", fifo});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unable to open file " + fifo);
    std::remove(fifo.c_str());
}

TEST(AnalyserCommandLineTest, ExtraArgumentsAreIgnored) {
    const std::string path = temp_path("extra.mp3");
    write_file(path, frames(10, gains_for(1)));
    const RunResult r = run_program({"gainscan", path, "--verbose", "x"});
    EXPECT_EQ(r.status, 0);
    // 4170 bytes / 206 = 20 granule pairs, less 6 = 14 bits; width 3 → 11 bits → 1 byte.
    EXPECT_EQ(r.out, report(path, "capacity: about 1 bytes", "Possible length specification found: 1"));
    std::remove(path.c_str());
}

TEST(AnalyserReportTest, WorkedExampleOfAMillionByteFile) {
    // 60 frames, then zeros up to exactly 1,000,000 bytes. Capacity:
    // 1,000,000 / 206 - 6 = 4848 bits, width 12, 4836 bits = 604 bytes.
    // The length 600 needs nbits 10: 600 <= 10 + 604 + 106, so it is found.
    const std::string path = temp_path("million.mp3");
    Bytes bytes = frames(60, gains_for(600));
    bytes.resize(1000000, 0);
    write_file(path, bytes);
    const RunResult r = run_program({"gainscan", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report(path, "capacity: about 604 bytes", "Possible length specification found: 600"));
    EXPECT_EQ(r.err, "");
    std::remove(path.c_str());
}

TEST(AnalyserReportTest, LengthBeyondTheLimitIsNoData) {
    // Same file as above: the limit is nbits + 604 + 106 = 720 for nbits 10.
    const std::string path = temp_path("million_over.mp3");
    Bytes bytes = frames(60, gains_for(721));
    bytes.resize(1000000, 0);
    write_file(path, bytes);
    EXPECT_EQ(run_program({"gainscan", path}).out, report(path, "capacity: about 604 bytes", NO_DATA));
    bytes = frames(60, gains_for(720));
    bytes.resize(1000000, 0);
    write_file(path, bytes);
    EXPECT_EQ(run_program({"gainscan", path}).out,
              report(path, "capacity: about 604 bytes", "Possible length specification found: 720"));
    std::remove(path.c_str());
}

TEST(AnalyserLeadingBlocksTest, FileShorterThanFourBytes) {
    const std::string path = temp_path("short.mp3");
    write_file(path, {0xFF, 0xFB, 0x90});
    const RunResult r = run_program({"gainscan", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report(path, "capacity: about 0 bytes", NO_DATA));
    std::remove(path.c_str());
}

TEST(AnalyserLeadingBlocksTest, Id3v2WithHighBitsThenAidBlockAreSkipped) {
    // The tag's size bytes have their top bits set (ignored: 300 bytes); the
    // AiD length bytes 0x90 0x01 give 400, so 394 more bytes are skipped.
    // Both blocks are full of 0xFF 0xFB sync-like bytes that would otherwise
    // be taken for frames.
    Bytes tag = id3v2_tag(300, true);
    for (std::size_t i = 10; i < tag.size(); ++i) tag[i] = i % 2 ? 0xFB : 0xFF;
    Bytes aid = aid_block(400, 0xFF);
    const std::string path = temp_path("tagged.mp3");
    write_file(path, concat({tag, aid, frames(10, gains_for(3))}));
    const RunResult r = run_program({"gainscan", path});
    // 310 + 400 + 4170 = 4880 bytes: 23 - 6 = 17 bits, width 3, 14 bits = 1 byte.
    EXPECT_EQ(r.out, report(path, "capacity: about 1 bytes", "Possible length specification found: 3"));
    EXPECT_EQ(r.err, "");
    std::remove(path.c_str());
}

TEST(AnalyserLeadingBlocksTest, AidBeforeId3IsNotRecognised) {
    // The AiD block is not skipped, so the "ID3" behind it is data; the frames
    // are still found by the header search, and the length counts all bytes.
    const std::string path = temp_path("aid_first.mp3");
    write_file(path, concat({aid_block(6), id3v2_tag(0), frames(10, gains_for(3))}));
    const RunResult r = run_program({"gainscan", path});
    EXPECT_EQ(r.out, report(path, "capacity: about 1 bytes", "Possible length specification found: 3"));
    std::remove(path.c_str());
}

TEST(AnalyserStopTest, OnlyTheFirst200RecordsCountAndTheWholeLengthIsUsed) {
    // 50 frames = 200 records carry the length 5; every record after them has
    // the LSB pattern of a different length, which must change nothing. The
    // file is then made long (about 20 MB) so the stop shows in the bytes read.
    const std::string path = temp_path("long.mp3");
    Bytes bytes = frames(50, gains_for(5));
    const Bytes later = frames(50000, [](int) { return 1u; }, 200);
    bytes.insert(bytes.end(), later.begin(), later.end());
    write_file(path, bytes);

    auto read_bytes = [] {
        std::ifstream io("/proc/self/io");
        std::string key;
        long long value = 0;
        while (io >> key >> value)
            if (key == "rchar:") return value;
        return -1LL;
    };
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const char* argv[] = {"gainscan", path.c_str()};
    const long long before = read_bytes();
    EXPECT_EQ(analyser_run(2, argv, out, err), 0);
    const long long used = read_bytes() - before;
    ASSERT_GE(before, 0);
    // 50 frames are 20,850 bytes, read in chunks of 16,385.
    EXPECT_LT(used, 200000) << "the file was read past the 200th record";

    std::rewind(out);
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    // 50,050 frames × 417 = 20,870,850 bytes / 206 = 101,314 - 6 = 101,308 bits;
    // width 16 → 101,292 bits → 12,661 bytes.
    EXPECT_EQ(text, report(path, "capacity: about 12661 bytes", "Possible length specification found: 5"));
    std::fclose(out);
    std::fclose(err);
    std::remove(path.c_str());
}

TEST(AnalyserStopTest, SparseFileOverFourGibibytes) {
    // Real frames at the start, then a hole up to 5 GiB. With a 32-bit length
    // the capacity would come from 1 GiB; measured in 64 bits:
    // 5,368,709,120 / 206 = 26,061,694 - 6 = 26,061,688 bits; width 24 →
    // 26,061,664 bits → 3,257,708 bytes.
    const std::string path = temp_path("sparse.mp3");
    write_file(path, frames(60, gains_for(9)));
    ASSERT_EQ(truncate(path.c_str(), 5LL << 30), 0);
    const RunResult r = run_program({"gainscan", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report(path, "capacity: about 3257708 bytes", "Possible length specification found: 9"));
    std::remove(path.c_str());
}

TEST(AnalyserStopTest, FileEndingBeforeTheRecordsAreInStillUsesItsWholeLength) {
    // 20 frames and 3000 trailing junk bytes: 8340 + 3000 = 11,340 / 206 = 55
    // - 6 = 49 bits, width 5, 44 bits = 5 bytes.
    const std::string path = temp_path("ends_early.mp3");
    Bytes junk(3000, 0x11);
    write_file(path, concat({frames(20, gains_for(2)), junk}));
    EXPECT_EQ(run_program({"gainscan", path}).out,
              report(path, "capacity: about 5 bytes", "Possible length specification found: 2"));
    std::remove(path.c_str());
}
