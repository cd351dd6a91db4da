// The test command cannot pass empty: tools/ctest_nonempty.sh (which
// tools/run_tests.sh ends with) fails when ctest selects no test, and
// otherwise passes on ctest's own result. Each case is a real CMake project
// configured in a scratch directory.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(TestCommand, FailsWhenNoTestRunsAndFollowsCtestOtherwise) {
    const struct {
        const char* name;
        std::string tests;   // add_test lines of the project
        std::string select;  // ctest arguments
        bool passes;
    } cases[] = {
        {"no_tests", "", "", false},
        {"tests_off", "", "", false},
        {"one_passing", "add_test(NAME ok COMMAND true)\n", "", true},
        {"one_failing", "add_test(NAME bad COMMAND false)\n", "", false},
        {"selection_empty", "add_test(NAME ok COMMAND true)\n", "-L no_such_label", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = fs::path(testing::TempDir()) / ("test_command_" + std::string(c.name) + "_" +
                                                             std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "src");
        const bool enable = std::string(c.name) != "tests_off";
        std::ofstream(dir / "src/CMakeLists.txt") << "cmake_minimum_required(VERSION 3.25)\nproject(t NONE)\n"
                                                  << (enable ? "enable_testing()\n" : "") << c.tests;
        ASSERT_EQ(shell("cmake -S '" + (dir / "src").string() + "' -B '" + (dir / "build").string() + "' >/dev/null"), 0);
        const int status = shell("'" GAINSCAN_SOURCE_DIR "/tools/ctest_nonempty.sh' '" + (dir / "build").string() +
                                 "' " + c.select + " >/dev/null 2>&1");
        EXPECT_EQ(status == 0, c.passes) << "status " << status;
        fs::remove_all(dir);
    }
}
