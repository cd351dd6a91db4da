// A drive scan opens hundreds of thousands of files and name lists in one
// process: every descriptor it opens must be closed again, and the ones it
// was handed (standard input) must be left open for whoever comes next.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "batch/file_source.h"
#include "batch/walker.h"
#include "batch_support.h"

namespace {

namespace fs = std::filesystem;

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::path(testing::TempDir()) / ("descriptors." + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir / name;
}

// Standard input replaced by a pipe holding `text` for the life of the object.
class PipedStdin {
public:
    explicit PipedStdin(const std::string& text) {
        saved_ = ::dup(0);
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        EXPECT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(ends[1]);
        ::dup2(ends[0], 0);
        ::close(ends[0]);
    }
    ~PipedStdin() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

TEST(Descriptors, StandardInputIsReadButLeftOpen) {
    PipedStdin in("not an mp3 at all");
    {
        FileSource source("-");
        ASSERT_TRUE(source.is_open());
        std::array<std::uint8_t, 64> buffer{};
        EXPECT_EQ(source.read(buffer), 17u);
    }
    EXPECT_NE(::fcntl(0, F_GETFD), -1) << "the source closed a descriptor it did not open";
}

TEST(Descriptors, AFileOpenedAsDescriptorZeroIsClosedLikeAnyOther) {
    // With standard input closed, the next file opened gets descriptor 0.
    const fs::path file = scratch("zero.bin");
    std::ofstream(file) << "some bytes";
    const int saved = ::dup(0);
    ::close(0);
    {
        FileSource source(file.string());
        ASSERT_TRUE(source.is_open());
        EXPECT_NE(::fcntl(0, F_GETFD), -1) << "the file did not get descriptor 0";
    }
    const bool closed = ::fcntl(0, F_GETFD) == -1;
    ::dup2(saved, 0);
    ::close(saved);
    EXPECT_TRUE(closed) << "descriptor 0 left open";
}

TEST(Descriptors, FilesAndNameListsAreClosedAfterUse) {
    const fs::path file = scratch("one.bin");
    std::ofstream(file) << "some bytes";
    const fs::path list = scratch("list.txt");
    std::ofstream(list) << file.string() << "\n" << file.string() << "\n";

    const std::size_t before = open_descriptors();
    for (int i = 0; i < 20; ++i) {
        FileSource source(file.string());
        ASSERT_TRUE(source.is_open());
    }
    EXPECT_EQ(open_descriptors(), before) << "after 20 files";

    for (int i = 0; i < 20; ++i) {
        std::vector<std::string> seen;
        std::uint64_t excluded = 0;
        std::string error;
        ASSERT_TRUE(walk_name_list(list.string(), false, WalkOptions{},
                                   [&](WalkEntry&& e) { seen.push_back(e.path); }, excluded, error))
            << error;
        EXPECT_EQ(seen.size(), 2u);
    }
    EXPECT_EQ(open_descriptors(), before) << "after 20 name lists";
}

TEST(Descriptors, ANameListOnStandardInputLeavesItOpen) {
    const fs::path file = scratch("two.bin");
    std::ofstream(file) << "x";
    PipedStdin in(file.string() + "\n");
    std::vector<std::string> seen;
    std::uint64_t excluded = 0;
    std::string error;
    ASSERT_TRUE(walk_name_list("-", false, WalkOptions{}, [&](WalkEntry&& e) { seen.push_back(e.path); }, excluded,
                               error));
    EXPECT_EQ(seen, std::vector<std::string>{file.string()});
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
}

}  // namespace

// Started with standard input closed (from cron, or `<&-`), the first file
// the scan opens gets descriptor 0: it is a file like any other.
TEST(Descriptors, WithStandardInputClosedTheFirstFileIsReadAsAnyOther) {
    const std::string fixture = "tests/fixtures/m1_32000_mono_cbr32.mp3";
    for (const std::string mode : {"--quick", ""}) {
        SCOPED_TRACE(mode);
        const auto open = batch_test::run(batch_test::BATCH + " -q -f jsonl " + mode + " " + fixture);
        const auto closed = batch_test::run(batch_test::BATCH + " -q -f jsonl " + mode + " " + fixture + " <&-");
        const auto a = batch_test::records(open.out), b = batch_test::records(closed.out);
        ASSERT_EQ(b.size(), 1u) << closed.err;
        EXPECT_EQ(b[0]["status"], "ok") << closed.out;
        EXPECT_EQ(b, a);  // the same record: digest, modification time, verdict, evidence
        EXPECT_EQ(closed.status, open.status);
    }
}
