// gainscan-batch as a program: its records read back with a JSON and a CSV
// reader, agreement with gainscan on every fixture, order, exit statuses and
// error records. Every run is a real process, from the source directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "batch/file_name.h"
#include "batch_support.h"

using namespace batch_test;

namespace {

const std::string FIXTURE = "tests/fixtures/m1_32000_mono_cbr32.mp3";       // verdict none
const std::string FLAGGED = "tests/fixtures/m1_44100_stereo_cbr64_2s.mp3";  // verdict found

// The records of a jsonl report: its first line is the scan header, which
// must be there; a summary line, when there is one, is not a record either.
std::vector<Json> jsonl(const std::string& text) {
    std::vector<Json> records;
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || !Json::parse(line).contains("scan")) {
        ADD_FAILURE() << "no scan header: " << text.substr(0, 200);
        return records;
    }
    while (std::getline(lines, line)) {
        Json record = Json::parse(line);
        if (!record.contains("summary")) records.push_back(std::move(record));
    }
    return records;
}

// RFC 4180: quoted cells may hold commas, doubled quotes and line ends.
std::vector<std::vector<std::string>> read_csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::vector<std::string>& row = rows.back();
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') row.back() += text[i++];
        else if (c == '"') quoted = !quoted;
        else if (!quoted && c == ',') row.emplace_back();
        else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n' && ++i) rows.emplace_back(1);
        else row.back() += c;
    }
    rows.pop_back();  // the empty row after the last line end
    return rows;
}

std::size_t files_in(const std::string& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(fs::path(GAINSCAN_SOURCE_DIR) / dir), {}));
}

TEST(BatchFormats, TextOutputMatchesTheGoldenFile) {
    const Outcome text = run(BATCH + " --quick -q --summary --files-from tests/batch/text_golden.list");
    EXPECT_EQ(text.out, slurp(fs::path(GAINSCAN_SOURCE_DIR) / "tests/batch/text_golden.expected"));
    EXPECT_EQ(text.status, 1);
    // The summary's last line counts the files by format.
    EXPECT_TRUE(text.err.ends_with("\ngainscan-batch: formats: layer3 6 mpeg_audio_other 1\n")) << text.err;
    // A whole-file scan adds the evidence (why it is insufficient, here) and
    // says in its summary what its alpha means.
    const Outcome whole = run(BATCH + " -q --summary --files-from tests/batch/text_golden.list");
    EXPECT_EQ(whole.out, slurp(fs::path(GAINSCAN_SOURCE_DIR) / "tests/batch/text_whole_golden.expected"));
    EXPECT_NE(whole.err.find("\ngainscan-batch: flagged at p_value <= 0.001: expect about 10 false alarms per "
                             "10,000 clean files\n"),
              std::string::npos)
        << whole.err;
}

TEST(BatchFormats, JsonlAndCsvReadBackAsTheSameRecords) {
    // A whole-file scan of a file whose later messages have many texts (a
    // short Layer III file, then Layer II frames and damaged ones) as well.
    const fs::path mixed = fs::temp_directory_path() / ("gainscan_csv_" + std::to_string(::getpid()) + ".mp3");
    {
        std::ofstream out(mixed, std::ios::binary);
        for (const char* part : {"m1_44100_stereo_cbr64_2s.mp3", "layer2_44100_stereo_192.mp2", "truncated_last_frame.mp3",
                                 "spliced_layer2.mp3"})
            out << slurp(fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures" / part);
    }
    for (const std::string& args : {std::string(" --quick -q tests/fixtures tests/no_such_file.mp3"), " -q " + mixed.string()}) {
        SCOPED_TRACE(args);
        const std::vector<Json> records = jsonl(run(BATCH + " -f jsonl" + args).out);
        const auto rows = read_csv(run(BATCH + " -f csv" + args).out);
        ASSERT_EQ(rows.size(), records.size() + 1);
        for (std::size_t r = 0; r < records.size(); ++r) {
            ASSERT_EQ(rows[r + 1].size(), rows[0].size());
            std::size_t column = 0;
            for (const auto& [key, value] : records[r].items()) {
                std::string cell = value.is_null() ? "" : value.is_string() ? value.get<std::string>() : value.dump();
                if (value.is_array() || value.is_object()) cell.clear();
                for (const auto& message : value.is_array() ? value : Json::array()) cell += message.get<std::string>();
                if (value.is_object())
                    for (const auto& [text, count] : value.items()) cell += count.dump() + " " + text;
                EXPECT_EQ(rows[0][column], key);
                EXPECT_EQ(rows[r + 1][column++], cell) << key << " of " << records[r]["file"];
            }
        }
        if (args.starts_with(" --quick")) {
            ASSERT_EQ(records.size(), files_in("tests/fixtures") + 1);
            EXPECT_EQ(records.back()["status"], "error");
            EXPECT_EQ(records.back()["verdict"], nullptr);
        } else {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_GT(records[0]["later_message_counts"].size(), 2u);
        }
    }
    fs::remove(mixed);
}

// Every fixture three times over on four workers: each record says what
// gainscan prints for its file, and holds only that file's messages.
TEST(BatchAgreement, EveryRecordSaysWhatGainscanPrintsForItsFile) {
    const auto records = jsonl(run(BATCH + " -f jsonl --quick -q -j 4 tests/fixtures tests/fixtures tests/fixtures").out);
    ASSERT_EQ(records.size(), 3 * files_in("tests/fixtures"));
    std::map<std::string, Outcome> gainscan;
    for (const Json& record : records) {
        const std::string file = record["file"];
        if (!gainscan.contains(file)) gainscan[file] = run("'" GAINSCAN_BINARY "' '" + file + "'");
        std::string to_stdout, to_stderr;
        for (const std::string message : record["messages"]) {
            const bool out = message == "Error: header junk\n" || message.starts_with("Blocktype == 0");
            (out ? to_stdout : to_stderr) += message;
        }
        const std::string verdict = record["verdict"] == "found"
                                        ? "Possible length specification found: " + record["length"].dump() + "\n"
                                        : "File does not contain any qavex hidden data.\n";
        EXPECT_EQ(gainscan[file].out, "Analysing file " + file + "\n" + to_stdout + "capacity: about " +
                                          record["capacity"].dump() + " bytes\n" + verdict);
        EXPECT_EQ(gainscan[file].err, to_stderr) << file;
        EXPECT_EQ(record["flagged"], record["verdict"] == "found");
    }
}

// A quick scan stops reading after 200 records; a file of many megabytes is
// still measured whole (its length goes into gainscan's capacity estimate),
// with a digest or without.
TEST(BatchAgreement, AQuickScanOfALargeFileKnowsItsWholeLength) {
    const fs::path dir = fresh_dir("large_file");
    const fs::path large = dir / "long_twenty_times.mp3";
    {
        const std::string one = slurp(fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures/long_m1_44100_mono_cbr32_40s.mp3");
        std::ofstream out(large, std::ios::binary);
        for (int i = 0; i < 20; ++i) out << one;
    }
    const Outcome classic = run("'" GAINSCAN_BINARY "' " + quote(large));
    for (const std::string hash : {"none", "sha256"}) {
        SCOPED_TRACE(hash);
        const auto rs = records(run(BATCH + " -q -f jsonl --quick --hash " + hash + " " + quote(large)).out);
        ASSERT_EQ(rs.size(), 1u);
        EXPECT_EQ(rs[0]["bytes"], fs::file_size(large));
        EXPECT_NE(classic.out.find("capacity: about " + rs[0]["capacity"].dump() + " bytes\n"), std::string::npos)
            << classic.out << rs[0].dump();
    }
}

TEST(BatchOrder, NameOrderWhateverTheJobsAndHoweverTheNamesCome) {
    const std::string args = " -f jsonl --quick -q tests/fixtures " + FIXTURE + " tests/fixtures";
    // The records alone: the scan header names the number of workers.
    const std::vector<Json> one = jsonl(run(BATCH + " -j 1" + args).out);
    EXPECT_TRUE(one == jsonl(run(BATCH + " -j 8" + args).out));
    const Outcome listed = run("(find tests/fixtures -type f -print0 | LC_ALL=C sort -z; printf '%s\\0' " + FIXTURE +
                           "; find tests/fixtures -type f -print0 | LC_ALL=C sort -z) | " + BATCH +
                           " -0 --files-from - -j 3" + args.substr(0, args.find(" tests/")));
    EXPECT_TRUE(one == jsonl(listed.out));
}

TEST(BatchExitStatus, CleanFlaggedErrorsAndUsage) {
    const struct {
        std::string args;
        int status;
    } cases[] = {
        {FIXTURE, 0},           {FLAGGED, 1},     {FIXTURE + " no_such.mp3", 2}, {FLAGGED + " no_such.mp3", 1},
        {"tests/fixtures", 1},  {"", 2},          {"--format xml " + FIXTURE, 2}, {"--jobs x " + FIXTURE, 2},
        {"--bogus " + FIXTURE, 2}, {"--extract no_such_dir " + FIXTURE, 2}, {"--dump-records . " + FIXTURE, 2},
        {"--hash sha1 " + FIXTURE, 2}, {"--hash sha256, " + FIXTURE, 2}, {"--hash ,md5 " + FIXTURE, 2},
        {"--help", 0}, {"--version", 0}, {"--files-from no_such_list", 2}, {FIXTURE + " --files-from no_such_list", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(run(BATCH + " --quick -q " + c.args).status, c.status) << c.args;
}

TEST(BatchUsage, TheHelpTextMatchesTheGoldenFile) {
    const std::string expected = slurp(fs::path(GAINSCAN_SOURCE_DIR) / "tests/batch/help.expected");
    for (const char* option : {"--help", "-h"}) {
        const Outcome help = run(BATCH + " " + option);
        EXPECT_EQ(help.out, expected) << option;
        EXPECT_EQ(help.err, "") << option;
    }
}

// A record is written as soon as it and the ones before it are ready, not
// when the scan ends, and the progress keeps coming while a file takes long:
// an analyst piping a scan into another tool sees the first file's record
// (and how far the scan is) while a later file (standard input, held open
// here) is still being read.
TEST(BatchOutput, ARecordAndTheProgressComeBeforeTheScanEnds) {
    int in[2], out[2], err[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(err), 0);
    const std::string command =
        "cd '" GAINSCAN_SOURCE_DIR "' && exec " + BATCH + " --progress -f jsonl -j 2 " + FIXTURE + " -";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::string text, progress;
    bool record_seen = false;
    auto read_into = [](int fd, std::string& to) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) to.append(buffer, static_cast<std::size_t>(n));
        return n > 0;
    };
    // Generous: under the sanitizers a small file takes well under a second,
    // and the progress is redrawn every fifth of one.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(record_seen && progress.find("1/2") != std::string::npos) && std::chrono::steady_clock::now() < give_up) {
        pollfd ready[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (::poll(ready, 2, 500) <= 0) continue;
        if ((ready[1].revents & POLLIN) != 0) read_into(err[0], progress);
        if ((ready[0].revents & POLLIN) != 0 && read_into(out[0], text))
            for (const Json& line : lines(text.substr(0, text.rfind('\n') + 1)))
                record_seen = record_seen || line.contains("file");
    }
    const std::string progress_before_end = progress;
    ::close(in[1]);  // standard input ends: the scan can finish
    while (read_into(out[0], text)) {
    }
    while (read_into(err[0], progress)) {
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(record_seen) << "no record before standard input ended; output:\n" << text;
    EXPECT_NE(progress_before_end.find("1/2"), std::string::npos)
        << "no progress before standard input ended; standard error:\n" << progress;
    const auto got = records(text);
    ASSERT_EQ(got.size(), 2u) << text;
    EXPECT_EQ(got[0]["file"], FIXTURE);
    EXPECT_EQ(got[1]["file"], "-");
}

TEST(BatchProgress, TheLastProgressLineCountsTheFilesAndTheFlagged) {
    // Asked for on a standard error that is not a terminal, the progress
    // comes as whole lines; the last one says what the scan did.
    const Outcome seen = run(BATCH + " --quick --progress -f jsonl " + FLAGGED + " " + FIXTURE + " " + FLAGGED);
    const std::size_t last = seen.err.rfind("3/3 files");
    ASSERT_NE(last, std::string::npos) << seen.err;
    const std::string line = seen.err.substr(last, seen.err.find('\n', last) - last);
    EXPECT_NE(line.find("  2 flagged  "), std::string::npos) << line;
}

// A directory loop through a symbolic link, a FIFO, a missing and an
// unreadable file, and a name that is not UTF-8: one record each, in order.
TEST(BatchErrors, BadNamesGetErrorRecordsAndOddNamesSurvive) {
    const fs::path dir = fs::path(testing::TempDir()) / "batch_errors";
    fs::remove_all(dir);
    fs::create_directories(dir / "tree/sub");
    const fs::path source = fs::path(GAINSCAN_SOURCE_DIR) / FIXTURE;
    const std::string odd = (dir / "tree/\xff\xfe name\n.mp3").string();
    fs::copy_file(source, dir / "tree/sub/a.mp3");
    fs::copy_file(source, odd);
    fs::create_directory_symlink(dir / "tree", dir / "tree/sub/loop");
    fs::create_symlink(dir / "tree/sub/a.mp3", dir / "tree/link.mp3");    // followed: a file
    fs::create_symlink(dir / "nowhere.mp3", dir / "tree/sub/dangling");  // followed: nothing there
    ASSERT_EQ(mkfifo((dir / "tree/pipe").c_str(), 0600), 0);  // inside a directory: skipped
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::copy_file(source, dir / "unreadable.mp3");
    fs::permissions(dir / "unreadable.mp3", fs::perms::none);
    const bool root = geteuid() == 0;  // root reads it anyway

    const std::string d = "'" + dir.string() + "/";
    const Outcome scan = run(BATCH + " -f jsonl --quick -q -L " + d + "tree' " + d + "fifo' " + d + "missing.mp3' " + d +
                         "unreadable.mp3'");
    const auto records = jsonl(scan.out);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"tree/link.mp3", "ok"},   {"tree/sub/a.mp3", "ok"},         {"tree/sub/dangling", "error"},
        {"tree/sub/loop", "error"}, {"tree/\xEF\xBF\xBD\xEF\xBF\xBD name\n.mp3", "ok"}, {"fifo", "error"},
        {"missing.mp3", "error"},  {"unreadable.mp3", root ? "ok" : "error"},
    };
    ASSERT_EQ(records.size(), expected.size()) << scan.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i]["file"], dir.string() + "/" + expected[i].first);
        EXPECT_EQ(records[i]["status"], expected[i].second) << records[i];
        EXPECT_EQ(records[i]["error"].is_string(), expected[i].second == "error");
    }
    EXPECT_EQ(records[2]["error"], std::string("broken symbolic link: ") + std::strerror(ENOENT));
    EXPECT_EQ(records[0]["sha256"], records[1]["sha256"]);  // the link's target, read through it
    EXPECT_EQ(from_base64(records[4]["file_b64"].get<std::string>()), odd);
    EXPECT_EQ(records[0]["file_b64"], nullptr);
    EXPECT_EQ(scan.status, 2);
    const auto rows = read_csv(run(BATCH + " -f csv --quick -q '" + odd + "'").out);
    EXPECT_EQ(from_base64(rows.at(1).at(1)), odd);
}

// Another thread cuts the file and writes it whole again while it is scanned
// two hundred times: every scan ends in a record (ok, or an error saying what
// went wrong), and the run completes. Which scans catch a change is chance.
namespace {

// Removes a chain of directories named `name` under `root`, however deep,
// each through its parent's descriptor (a path to the deepest is too long).
void remove_chain(const std::string& root, const std::string& name) {
    std::vector<int> dirs = {::open(root.c_str(), O_DIRECTORY | O_RDONLY)};
    while (dirs.back() >= 0) dirs.push_back(::openat(dirs.back(), name.c_str(), O_DIRECTORY | O_RDONLY));
    dirs.pop_back();
    for (std::size_t i = dirs.size(); i-- > 1;) {
        ::close(dirs[i]);
        ::unlinkat(dirs[i - 1], name.c_str(), AT_REMOVEDIR);
    }
    if (!dirs.empty()) ::close(dirs[0]);
    ::rmdir(root.c_str());
}

}  // namespace

TEST(BatchErrors, ADirectoryTooDeepToNameGetsAnErrorRecord) {
    // Directories of 200-character names, 25 deep: somewhere the path grows
    // past what the system can name. That directory is an error record, not
    // a directory silently left out of the scan.
    const std::string root = (fs::path(testing::TempDir()) / "batch_deep").string();
    const std::string name(200, 'd');
    remove_chain(root, name);
    fs::create_directories(root);
    int dir = ::open(root.c_str(), O_DIRECTORY | O_RDONLY);
    for (int depth = 0; depth < 25 && dir >= 0; ++depth) {
        ASSERT_EQ(::mkdirat(dir, name.c_str(), 0700), 0);
        const int next = ::openat(dir, name.c_str(), O_DIRECTORY | O_RDONLY);
        ::close(dir);
        dir = next;
    }
    ASSERT_GE(dir, 0);
    ::close(dir);
    const auto records = jsonl(run(BATCH + " -f jsonl --quick -q '" + root + "'").out);
    remove_chain(root, name);
    EXPECT_FALSE(fs::exists(root));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["status"], "error");
    EXPECT_EQ(records[0]["error"], std::strerror(ENAMETOOLONG));
    EXPECT_GT(records[0]["file"].get<std::string>().size(), 4000u);
}

TEST(BatchErrors, AFileChangingSizeDuringTheScanGivesRecordsNotACrash) {
    const fs::path file = fs::path(testing::TempDir()) / "batch_changing.mp3";
    const std::string bytes = slurp(fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures/long_m1_44100_mono_cbr32_40s.mp3");
    std::ofstream(file, std::ios::binary) << bytes;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::error_code ec; !done; fs::resize_file(file, bytes.size() / 3, ec))
            std::ofstream(file, std::ios::binary) << bytes;
    });
    std::string names;
    for (int i = 0; i < 200; ++i) names += " '" + file.string() + "'";
    const Outcome scan = run(BATCH + " -f jsonl --quick -q -j 2" + names);
    done = true;
    writer.join();
    const auto records = jsonl(scan.out);
    ASSERT_EQ(records.size(), 200u);
    for (const Json& record : records)
        EXPECT_TRUE(record["status"] == "ok" || !record["error"].get<std::string>().empty()) << record;
    EXPECT_TRUE(scan.status == 0 || scan.status == 2) << scan.err;
}

}  // namespace
