// The progress line: a total (and so an ETA) as soon as the counting walk
// has one, and on a terminal never wider than it, so that each redraw
// replaces the last.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "batch/progress.h"

TEST(Progress, TheCountingWalkGivesATotalAndAnEtaBeforeTheScanWalkEnds) {
    const struct {
        const char* name;
        ProgressCounts counts;
        std::string total, eta;
    } cases[] = {
        // 100 files in 10 s, 400 more to go: 40 s.
        {"counted", {.done = 100, .known = 150, .all_known = false, .counted = 500, .elapsed_seconds = 10}, "100/500 files", "ETA 0:40"},
        {"nothing counted yet", {.done = 100, .known = 150, .all_known = false, .counted = 0, .elapsed_seconds = 10}, "100/150+ files", "ETA ?"},
        {"walk done", {.done = 100, .known = 130, .all_known = true, .counted = 0, .elapsed_seconds = 10}, "100/130 files", "ETA 0:03"},
        // The scan found more than the count (files added meanwhile): its own figure wins.
        {"count short", {.done = 100, .known = 600, .all_known = false, .counted = 500, .elapsed_seconds = 10}, "100/600 files", "ETA 0:50"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = progress_line(c.counts, false);
        EXPECT_EQ(line.rfind(c.total, 0), 0u) << line;
        EXPECT_NE(line.find(c.eta + "\n"), std::string::npos) << line;
    }
}

TEST(Progress, OnANarrowTerminalTheLineIsCutToItsWidth) {
    const ProgressCounts counts{.done = 123456, .known = 999999, .all_known = true, .bytes = 123456789,
                                .flagged = 17, .elapsed_seconds = 3723};
    const std::string full = progress_line(counts, true, 0);
    const std::size_t length = full.size() - 4;  // without "\r" and "\033[K"
    // Wide enough, or one column short: the line fills all but the last.
    for (const std::size_t width : {std::size_t{20}, std::size_t{40}, std::size_t{60}, length, length + 1, std::size_t{200}}) {
        SCOPED_TRACE(width);
        const std::string line = progress_line(counts, true, width);
        ASSERT_EQ(line.rfind("\r", 0), 0u);
        ASSERT_EQ(line.substr(line.size() - 3), "\033[K");
        const std::string text = line.substr(1, line.size() - 4);
        EXPECT_LT(text.size(), width);  // the last column stays free: no wrap
        EXPECT_EQ(full.substr(1, text.size()), text);
    }
}

TEST(Progress, TheWidthIsTheTerminalsAndNoneForAPipe) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) GTEST_SKIP() << "no pseudo-terminals here";
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    for (const unsigned short columns : {57, 132}) {
        struct winsize size {};
        size.ws_col = columns;
        size.ws_row = 24;
        ASSERT_EQ(::ioctl(terminal, TIOCSWINSZ, &size), 0);
        EXPECT_EQ(terminal_width(terminal), columns);
    }
    ::close(terminal);
    ::close(master);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    EXPECT_EQ(terminal_width(ends[1]), 0u);
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(Progress, OnATerminalEveryLineFitsAndTheLastIsClearedAway) {
    // gainscan-batch with its standard error on a terminal 60 columns wide
    // (its records go to a file): each redraw fits the width, and the line is
    // cleared before the summary, so the terminal is not left with half of it.
    const std::string records = testing::TempDir() + "progress_on_terminal." + std::to_string(::getpid());
    const std::string command = "cd '" GAINSCAN_SOURCE_DIR "' && exec " GAINSCAN_BATCH_BINARY
                                " --quick -f jsonl tests/fixtures >'" + records + "'";
    struct winsize size {};
    size.ws_col = 60;
    size.ws_row = 24;
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child < 0) GTEST_SKIP() << "no pseudo-terminals here";
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<std::size_t>(n));
    ::close(master);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << shown;
    EXPECT_EQ(WEXITSTATUS(status), 1) << shown;  // the fixtures hold flagged files
    int drawn = 0;
    for (std::size_t at = shown.find('\r'); at != std::string::npos; at = shown.find('\r', at + 1)) {
        const std::size_t end = shown.find("\033[K", at);
        if (end == std::string::npos || shown.compare(at, 2, "\r\n") == 0) continue;
        EXPECT_LT(end - at - 1, 60u) << shown.substr(at, end - at);
        drawn += end > at + 1;
    }
    EXPECT_GT(drawn, 0) << shown;
    const std::size_t cleared = shown.rfind("\r\033[K");
    ASSERT_NE(cleared, std::string::npos) << shown;
    EXPECT_NE(shown.find("gainscan-batch: ", cleared), std::string::npos) << shown;  // the summary after it
}

