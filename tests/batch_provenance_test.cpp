// What a report proves about the files it covers: each record's digests are
// the file's (checked against coreutils), standard input is one file, the
// scan leaves access times alone, and the report says which scan made it.
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>

#include "batch_support.h"

using namespace batch_test;

namespace {

const std::string FIXTURE = "tests/fixtures/m1_44100_stereo_cbr64_2s.mp3";

// The digest coreutils gives for `file` (an implementation independent of ours).
std::string coreutils(const std::string& tool, const std::string& file) {
    const std::string out = run(tool + " '" + file + "'").out;
    return out.substr(0, out.find(' '));
}

struct timespec atime_of(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    return st.st_atim;
}

void set_old_atime(const fs::path& file) {
    const struct timespec times[2] = {{978307200, 0}, {0, UTIME_OMIT}};  // 2001-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

}  // namespace

TEST(Provenance, DigestsAreTheFilesWhateverTheModeAndOnlyThoseAskedFor) {
    const std::string sha256 = coreutils("sha256sum", FIXTURE), md5 = coreutils("md5sum", FIXTURE);
    const struct {
        std::string options;
        bool sha256, md5;
    } cases[] = {
        {"", true, false},
        {"--hash sha256", true, false},
        {"--hash sha256,md5", true, true},
        {"--hash md5,sha256", true, true},
        {"--hash md5", false, true},
        {"--hash none", false, false},
        {"--hash md5,md5,sha256", true, true},  // a name given twice is asked for once
    };
    for (const auto& c : cases) {
        // --quick stops reading early: the digest must still cover every byte.
        for (const std::string mode : {"--quick", ""}) {
            SCOPED_TRACE(c.options + " " + mode);
            const auto rs = records(run(BATCH + " -q -f jsonl " + mode + " " + c.options + " " + FIXTURE).out);
            ASSERT_EQ(rs.size(), 1u);
            EXPECT_EQ(rs[0]["sha256"], c.sha256 ? Json(sha256) : Json(nullptr));
            EXPECT_EQ(rs[0]["md5"], c.md5 ? Json(md5) : Json(nullptr));
        }
    }
}

TEST(Provenance, StandardInputIsOneFileNamedDash) {
    const auto named = records(run(BATCH + " -q -f jsonl " + FIXTURE).out);
    // Without a digest the bytes are counted by the reader itself.
    for (const std::string mode : {"--quick", "", "--quick --hash none"}) {
        SCOPED_TRACE(mode);
        const auto piped = records(run("cat " + FIXTURE + " | " + BATCH + " -q -f jsonl " + mode + " -").out);
        ASSERT_EQ(piped.size(), 1u);
        EXPECT_EQ(piped[0]["file"], "-");
        EXPECT_EQ(piped[0]["status"], "ok");
        EXPECT_EQ(piped[0]["bytes"], fs::file_size(fs::path(GAINSCAN_SOURCE_DIR) / FIXTURE));
        EXPECT_EQ(piped[0]["sha256"], mode.ends_with("none") ? Json(nullptr) : named[0]["sha256"]);
        EXPECT_EQ(piped[0]["mtime"], nullptr);
        for (const char* field : {"verdict", "length", "capacity", "frames", "records", "messages"})
            EXPECT_EQ(piped[0][field], named[0][field]) << field;
    }
    EXPECT_EQ(run(BATCH + " -q - - < " + FIXTURE).status, 2);  // standard input cannot be read twice
}

TEST(Provenance, ModificationTimeIsTheFilesToTheNanosecond) {
    const fs::path dir = fresh_dir("mtime");
    fs::copy_file(fs::path(GAINSCAN_SOURCE_DIR) / FIXTURE, dir / "a.mp3");
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "a.mp3").c_str(), times, 0), 0);
    const auto rs = records(run(BATCH + " -q -f jsonl --quick " + quote(dir / "a.mp3")).out);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0]["mtime"], "2023-11-14T22:13:20.123456789Z");
}

// A scan of a file the user owns must leave its access time as it was. The
// check means something only where reading does update access times: a copy
// read with cat shows whether this file system does.
TEST(Provenance, AScanLeavesAccessTimesAsTheyWere) {
    const fs::path dir = fresh_dir("atime");
    for (const char* name : {"scanned.mp3", "control.mp3"}) {
        fs::copy_file(fs::path(GAINSCAN_SOURCE_DIR) / FIXTURE, dir / name);
        set_old_atime(dir / name);
    }
    ASSERT_EQ(run("cat " + quote(dir / "control.mp3") + " >/dev/null").status, 0);
    if (atime_of(dir / "control.mp3").tv_sec == 978307200)
        GTEST_SKIP() << "this file system does not update access times on reading (noatime), so O_NOATIME cannot be seen";
    for (const std::string mode : {"--quick", "", "--hash none --quick"}) {
        SCOPED_TRACE(mode);
        set_old_atime(dir / "scanned.mp3");
        const Outcome scan = run(BATCH + " -q -f jsonl " + mode + " " + quote(dir));
        ASSERT_EQ(records(scan.out).size(), 2u);
        EXPECT_EQ(atime_of(dir / "scanned.mp3").tv_sec, 978307200);
    }
}

TEST(ScanHeader, JsonlStartsWithTheScanAndEndsWithTheSummary) {
    const auto all = lines(run(BATCH + " -q -f jsonl --summary -j 3 --hash sha256,md5 --alpha 0.01 " + FIXTURE +
                               " tests/no_such.mp3").out);
    ASSERT_EQ(all.size(), 4u);
    const Json& scan = all[0]["scan"];
    EXPECT_EQ(scan["tool"], "gainscan-batch");
    EXPECT_FALSE(scan["version"].get<std::string>().empty());
    EXPECT_EQ(scan["options"]["mode"], "whole_file");
    EXPECT_EQ(scan["options"]["alpha"], 0.01);
    EXPECT_EQ(scan["options"]["hash"], "sha256,md5");
    EXPECT_EQ(scan["options"]["jobs"], 3);
    EXPECT_FALSE(scan["host"].get<std::string>().empty());
    // YYYY-MM-DDTHH:MM:SSZ
    const std::string started = scan["started"];
    const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    ASSERT_EQ(started.size(), shape.size()) << started;
    for (std::size_t i = 0; i < shape.size(); ++i)
        EXPECT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(started[i])) != 0 : started[i] == shape[i])
            << started;
    const Json& summary = all[3]["summary"];
    EXPECT_EQ(summary["files"], 2);
    EXPECT_EQ(summary["errors"], 1);
    EXPECT_EQ(summary["started"], scan["started"]);
    EXPECT_GE(summary["ended"].get<std::string>(), scan["started"].get<std::string>());
}

TEST(ScanHeader, TextAndCsvStateTheScanOnStandardErrorAndCsvStaysATable) {
    for (const std::string format : {"text", "csv"}) {
        SCOPED_TRACE(format);
        const Outcome scan = run(BATCH + " --quick -f " + format + " " + FIXTURE);
        EXPECT_EQ(scan.err.rfind("# gainscan-batch ", 0), 0u) << scan.err;
        EXPECT_NE(scan.err.find("mode=quick"), std::string::npos) << scan.err;
        EXPECT_EQ(scan.out.find('#'), std::string::npos);
        if (format == "csv") {
            EXPECT_EQ(scan.out.rfind("file,file_b64,", 0), 0u);
        }
    }
}
