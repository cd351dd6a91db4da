// Files nobody should trust: each gets a defined report, never a crash, a
// hang or unbounded memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "analyser/driver.h"
#include "bitstream_writer.h"

using namespace testing_stream;

namespace {

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "gainscan_hostile_" + std::to_string(getpid()) + "_" + name;
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Report {
    int status;
    std::string out;
};

// Runs the whole analysis in process; the decoder's own messages are left on
// the standard streams.
Report analyse(const std::string& path) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const char* argv[] = {"gainscan", path.c_str()};
    Report r{analyser_run(2, argv, out, err), {}};
    std::rewind(out);
    char buffer[4096];
    r.out.resize(std::fread(buffer, 1, sizeof buffer, out));
    std::copy(buffer, buffer + r.out.size(), r.out.begin());
    std::fclose(out);
    std::fclose(err);
    return r;
}

// The report has its three lines, whatever the file held.
void expect_well_formed(const Report& r, const std::string& path) {
    EXPECT_EQ(r.status, 0);
    const std::string head = "Analysing file " + path + "\ncapacity: about ";
    ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
    const auto second_end = r.out.find('\n', head.size());
    ASSERT_NE(second_end, std::string::npos);
    const std::string verdict = r.out.substr(second_end + 1);
    const bool found = verdict.rfind("Possible length specification found: ", 0) == 0;
    EXPECT_TRUE(found || verdict == "File does not contain any qavex hidden data.\n") << verdict;
    EXPECT_EQ(verdict.back(), '\n');
}

class HostileFilesTest : public ::testing::Test {
protected:
    void TearDown() override { std::remove(path.c_str()); }
    std::string path = temp_path(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

}  // namespace

TEST_F(HostileFilesTest, OnlySyncLikeBytes) {
    Bytes bytes;
    for (int i = 0; i < 100000; ++i) bytes.insert(bytes.end(), {0xFF, 0xFB, 0x90, 0x64});
    write_file(path, bytes);
    expect_well_formed(analyse(path), path);

    write_file(path, Bytes(300000, 0xFF));  // all ones: bitrate index 15, never a plausible header
    expect_well_formed(analyse(path), path);
}

TEST_F(HostileFilesTest, OneMebibyteOfRandomBytes) {
    std::mt19937 random(12345);
    Bytes bytes(1 << 20);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    write_file(path, bytes);
    expect_well_formed(analyse(path), path);
}

TEST_F(HostileFilesTest, HeadersEveryFewBytesWithOverlappingFrames) {
    // MPEG-1 headers every 7 bytes claim 413-byte bodies, so every body holds
    // the next headers and the side information reads header bytes.
    Bytes bytes;
    const std::uint32_t word = 0xFFFB9064u;
    for (int i = 0; i < 40000; ++i) {
        for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<std::uint8_t>(word >> s));
        bytes.insert(bytes.end(), {0x12, 0x34, 0x56});
    }
    write_file(path, bytes);
    expect_well_formed(analyse(path), path);
}

TEST_F(HostileFilesTest, RandomSideInformationBehindValidHeadersOfEveryKind) {
    // Every version, layer-III mode, CRC and padding, with random bodies: big
    // values, part2_3_length, table selects and region counts all arbitrary.
    std::mt19937 random(777);
    Bytes bytes;
    for (int i = 0; i < 3000; ++i) {
        HeaderFields h;
        h.version = std::array{1, 2, 25}[random() % 3];
        h.bitrate_index = 1 + static_cast<int>(random() % 14);
        h.frequency_bits = static_cast<int>(random() % 3);
        h.mode = static_cast<int>(random() % 4);
        h.mode_extension = static_cast<int>(random() % 4);
        h.crc = random() % 2;
        h.padding = static_cast<int>(random() % 2);
        BitWriter w;
        put_header(w, h);
        Bytes frame_bytes = w.bytes();
        for (int k = 0; k < layer3_body_size(h); ++k) frame_bytes.push_back(static_cast<std::uint8_t>(random()));
        bytes.insert(bytes.end(), frame_bytes.begin(), frame_bytes.end());
    }
    write_file(path, bytes);
    expect_well_formed(analyse(path), path);
}

TEST_F(HostileFilesTest, FramesWithEveryFieldAtItsMaximum) {
    // part2_3_length 4095, big_values 511 (clamped), table 31 with 13 linbits,
    // 5-bit region counts past the last band, all-ones main data.
    HeaderFields h;
    h.bitrate_index = 14;
    h.frequency_bits = 2;  // 32 kHz: the largest frame
    h.padding = 1;
    SideInfoFields s;
    s.main_data_begin = 511;
    for (auto& granule : s.granule)
        for (auto& g : granule) {
            g.part2_3_length = 4095;
            g.big_values = 511;
            g.global_gain = 255;
            g.scalefac_compress = 15;
            g.table_select = {31, 31, 31};
            g.region0_count = 15;
            g.region1_count = 7;
        }
    Bytes bytes;
    for (int i = 0; i < 30; ++i) {
        const Bytes f = frame(h, s, Bytes(1500, 0xFF), 0xFF);
        bytes.insert(bytes.end(), f.begin(), f.end());
    }
    write_file(path, bytes);
    expect_well_formed(analyse(path), path);
}

TEST_F(HostileFilesTest, TagSizesPointingPastTheEnd) {
    // An ID3v2 size of 200 MB in a 100-byte file, and an AiD length past the end.
    Bytes tag = {'I', 'D', '3', 3, 0, 0, 0x60, 0x00, 0x00, 0x00};
    tag.resize(100, 0xFF);
    write_file(path, tag);
    Report r = analyse(path);
    EXPECT_EQ(r.out, "Analysing file " + path + "\ncapacity: about 0 bytes\nFile does not contain any qavex hidden data.\n");

    Bytes aid = {'A', 'i', 'D', 0x01, 0xFF, 0xFF};
    aid.resize(1000, 0xFF);
    write_file(path, aid);
    r = analyse(path);
    EXPECT_EQ(r.out, "Analysing file " + path + "\ncapacity: about 0 bytes\nFile does not contain any qavex hidden data.\n");
}

TEST_F(HostileFilesTest, UnreadableFileCannotBeOpened) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permissions";
    write_file(path, Bytes(100, 0));
    chmod(path.c_str(), 0);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const char* argv[] = {"gainscan", path.c_str()};
    EXPECT_EQ(analyser_run(2, argv, out, err), 1);
    std::fclose(out);
    std::fclose(err);
}

TEST_F(HostileFilesTest, PeakMemoryDoesNotGrowWithTheFile) {
    // A file without any header is read to its end. Compare the child's peak
    // memory on 1 MiB and on 1 GiB of such bytes (sparse, so cheap to make).
    auto peak_kib = [](const std::string& file) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            alarm(300);
            // Under AddressSanitizer freed chunks wait in a quarantine of up
            // to 256 MiB; keep it small so the figure shows the program's own use.
            const char* asan = std::getenv("ASAN_OPTIONS");
            const std::string options = std::string(asan ? asan : "") + ":quarantine_size_mb=1";
            setenv("ASAN_OPTIONS", options.c_str(), 1);
            execl(GAINSCAN_BINARY, "gainscan", file.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return usage.ru_maxrss;
    };
    write_file(path, {});
    ASSERT_EQ(truncate(path.c_str(), 1 << 20), 0);
    const long small = peak_kib(path);
    ASSERT_EQ(truncate(path.c_str(), 1LL << 30), 0);
    const long large = peak_kib(path);
    EXPECT_LT(large - small, 8 * 1024) << "peak " << small << " KiB on 1 MiB, " << large << " KiB on 1 GiB";
}
