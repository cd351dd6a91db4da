// --resume: a scan cut off part way and resumed gives the records of one
// uninterrupted scan, in order, with a summary of the whole scan.
#include <fcntl.h>
#include <sys/stat.h>

#include "batch_support.h"

using namespace batch_test;

namespace {

// A tree of every fixture twice, plus a file named on the command line twice.
std::string scan_arguments(const fs::path& tree) {
    return quote(tree) + " tests/fixtures/m1_32000_mono_cbr32.mp3 " + quote(tree / "b") +
           " tests/fixtures/m1_32000_mono_cbr32.mp3 tests/no_such.mp3";
}

fs::path make_tree(const std::string& name) {
    const fs::path tree = fresh_dir(name);
    for (const char* sub : {"a", "b"})
        fs::copy(fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures", tree / sub);
    return tree;
}

// The report's first `keep` records after its header, then half of the next
// line, as a scan killed while writing it would leave.
void cut(const fs::path& report, std::size_t keep) {
    const std::string text = slurp(report);
    std::size_t at = text.find('\n') + 1;
    for (std::size_t i = 0; i < keep; ++i) at = text.find('\n', at) + 1;
    const std::size_t next = text.find('\n', at);
    std::ofstream(report, std::ios::binary | std::ios::trunc) << text.substr(0, at + (next - at) / 2);
}

}  // namespace

TEST(Resume, ACutScanResumedGivesTheRecordsOfOneWholeScan) {
    const fs::path tree = make_tree("resume_tree");
    const std::string args = scan_arguments(tree);
    for (const std::string mode : {"--quick", ""}) {
        SCOPED_TRACE(mode);
        const fs::path dir = fresh_dir("resume");
        const Outcome whole = run(BATCH + " -q -f jsonl --summary -j 2 " + mode + " " + args);
        const auto expected = lines(whole.out);
        const auto expected_records = records(whole.out);
        ASSERT_GT(expected_records.size(), 50u);
        // keep = -1: killed while writing the header; every record kept (the
        // last an error record): killed while writing the summary.
        for (const int keep : {-1, 0, 1, static_cast<int>(expected_records.size() / 2),
                               static_cast<int>(expected_records.size() - 1),
                               static_cast<int>(expected_records.size())}) {
            SCOPED_TRACE(keep);
            const fs::path report = dir / "scan.jsonl";
            std::ofstream(report, std::ios::binary | std::ios::trunc) << whole.out;
            if (keep >= 0) cut(report, static_cast<std::size_t>(keep));
            else std::ofstream(report, std::ios::binary | std::ios::trunc) << whole.out.substr(0, 40);
            const Outcome resumed = run(BATCH + " -q --summary -j 3 " + mode + " --resume " + quote(report) + " " + args);
            EXPECT_EQ(resumed.out, "");  // it went into the report
            EXPECT_EQ(resumed.status, whole.status);
            const auto got = lines(slurp(report));
            ASSERT_EQ(got.size(), expected.size());
            if (keep >= 0) {
                EXPECT_EQ(got.front(), expected.front());  // the header as the first run wrote it
            } else {
                // Written afresh by the resuming run (its own --jobs).
                Json now = got.front()["scan"]["options"], then = expected.front()["scan"]["options"];
                now.erase("jobs"), then.erase("jobs");
                EXPECT_EQ(now, then);
            }
            EXPECT_TRUE(records(slurp(report)) == expected_records);
            // The summary covers the whole scan; only its timing differs.
            Json summary = got.back()["summary"], want = expected.back()["summary"];
            EXPECT_EQ(summary["resumed"], std::max(keep, 0));
            if (keep >= 0) {
                EXPECT_EQ(summary["started"], want["started"]);
            }
            summary.erase("started"), want.erase("started");
            for (const char* timing : {"elapsed_seconds", "ended", "resumed"}) summary.erase(timing), want.erase(timing);
            EXPECT_EQ(summary, want);
        }
        // The progress counts the files the report already held as done.
        const fs::path report = dir / "scan.jsonl";
        std::ofstream(report, std::ios::binary | std::ios::trunc) << whole.out;
        cut(report, expected_records.size() / 2);
        const Outcome shown = run(BATCH + " --progress -j 3 " + mode + " --resume " + quote(report) + " " + args);
        const std::string total = std::to_string(expected_records.size());
        EXPECT_NE(shown.err.find(total + "/" + total + " files"), std::string::npos) << shown.err;
    }
}

TEST(Resume, AFileChangedSinceItsRecordGetsANewOne) {
    const fs::path tree = make_tree("resume_changed");
    const fs::path dir = fresh_dir("resume_changed_report");
    const fs::path report = dir / "scan.jsonl";
    const std::string args = " -q --quick " + quote(tree / "a");
    std::ofstream(report, std::ios::binary) << run(BATCH + " -f jsonl" + args).out;
    const auto before = records(slurp(report));
    // Same size, another modification time.
    const fs::path changed = tree / "a/m1_32000_mono_cbr32.mp3";
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, changed.c_str(), times, 0), 0);
    run(BATCH + " --resume " + quote(report) + args);
    const auto after = records(slurp(report));
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.back()["file"], changed.string());
    EXPECT_EQ(after.back()["mtime"], "2020-09-13T12:26:40.000000005Z");
}

TEST(Resume, AReportOfAnotherScanIsRefused) {
    const fs::path dir = fresh_dir("resume_refused");
    const std::string file = " tests/fixtures/m1_32000_mono_cbr32.mp3";
    std::ofstream(dir / "quick.jsonl") << run(BATCH + " -q -f jsonl --quick" + file).out;
    std::ofstream(dir / "text.txt") << run(BATCH + " -q --quick" + file).out;
    // The same scan by another version of the program.
    std::string older = slurp(dir / "quick.jsonl");
    const std::size_t version = older.find("\"version\":\"");
    ASSERT_NE(version, std::string::npos);
    older.insert(version + 11, "0.");
    std::ofstream(dir / "older.jsonl") << older;
    const struct {
        std::string args;
        std::string says;
    } cases[] = {
        {"--resume " + quote(dir / "quick.jsonl") + file, "made with other options"},
        {"--quick --hash none --resume " + quote(dir / "quick.jsonl") + file, "made with other options"},
        {"--quick --resume " + quote(dir / "text.txt") + file, "not a JSON object"},
        {"--quick --resume " + quote(dir / "older.jsonl") + file, "made by gainscan-batch 0."},
        {"--quick --resume " + quote(dir / "missing.jsonl") + file, "No such file"},
    };
    for (const auto& c : cases) {
        const std::string before = slurp(dir / "quick.jsonl");
        const Outcome o = run(BATCH + " -q " + c.args);
        EXPECT_EQ(o.status, 2) << c.args;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << c.args << ": " << o.err;
        EXPECT_EQ(slurp(dir / "quick.jsonl"), before);
    }
}

// A real kill (SIGKILL once the report has some records; where exactly it
// lands is chance, which is the point): the resumed report is the same.
TEST(Resume, AScanKilledPartWayAndResumedGivesTheRecordsOfOneWholeScan) {
    const fs::path tree = make_tree("resume_killed");
    for (const char* copy : {"c", "d", "e", "f"}) fs::copy(tree / "a", tree / copy);
    const std::string args = " -q -j 1 " + quote(tree);
    const auto expected = records(run(BATCH + " -f jsonl" + args).out);
    const fs::path report = fresh_dir("resume_killed_report") / "scan.jsonl";
    // The report exists before the scan starts, so the watch loop can read it at once.
    const Outcome killed = run("(: > " + quote(report) + "; " + BATCH + " -f jsonl" + args + " > " + quote(report) +
                               " & pid=$!; while kill -0 $pid 2>/dev/null && [ $(wc -l < " + quote(report) +
                               ") -lt 20 ]; do sleep 0.01; done; kill -9 $pid 2>/dev/null; wait $pid; true)");
    ASSERT_EQ(killed.status, 0);
    EXPECT_LE(records(slurp(report).substr(0, slurp(report).rfind('\n') + 1)).size(), expected.size());
    const Outcome resumed = run(BATCH + " --resume " + quote(report) + args);
    EXPECT_EQ(resumed.err, "");
    EXPECT_TRUE(records(slurp(report)) == expected);
}
