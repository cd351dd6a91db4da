// Which files a scan covers: --include and --exclude on the paths as walked,
// --layer3-only on what files start with; names given on the command line are
// always reported; what was left out is counted in the summary.
#include <random>

#include "batch_support.h"

using namespace batch_test;

namespace {

// tree/: a.mp3, id3.mp3 (behind an ID3v2 tag), notes.txt, fake.mp3 (text),
// layer2.mp2, sub/c.mp3, sub/noise.bin (random bytes), sub/deep/d.MP3
fs::path make_tree() {
    const fs::path tree = fresh_dir("select");
    const fs::path fixtures = fs::path(GAINSCAN_SOURCE_DIR) / "tests/fixtures";
    fs::create_directories(tree / "sub/deep");
    fs::copy_file(fixtures / "m1_32000_mono_cbr32.mp3", tree / "a.mp3");
    fs::copy_file(fixtures / "id3v2_padded.mp3", tree / "id3.mp3");
    fs::copy_file(fixtures / "layer2_44100_stereo_192.mp2", tree / "layer2.mp2");
    fs::copy_file(fixtures / "m2_22050_dual_cbr64.mp3", tree / "sub/c.mp3");
    fs::copy_file(fixtures / "m25_8000_mono_cbr8.mp3", tree / "sub/deep/d.MP3");
    std::ofstream(tree / "notes.txt") << "not audio\n";
    std::ofstream(tree / "fake.mp3") << "ID3 is not enough; neither is \xff\xfb once\n";
    std::mt19937 random(3);
    std::string noise;
    for (int i = 0; i < 20000; ++i) noise += static_cast<char>(random() & 0xFF);
    std::ofstream(tree / "sub/noise.bin", std::ios::binary) << noise;
    return tree;
}

}  // namespace

TEST(Select, IncludeExcludeAndLayer3OnlyChooseAmongWalkedFiles) {
    const fs::path tree = make_tree();
    const std::string t = tree.string() + "/";
    const struct {
        std::string options;
        std::vector<std::string> files;  // reported, relative to the tree, in order
        int excluded, skipped;
    } cases[] = {
        {"", {"a.mp3", "fake.mp3", "id3.mp3", "layer2.mp2", "notes.txt", "sub/c.mp3", "sub/deep/d.MP3", "sub/noise.bin"}, 0, 0},
        {"--include '*.mp3'", {"a.mp3", "fake.mp3", "id3.mp3", "sub/c.mp3"}, 4, 0},
        {"--include '*.mp3' --include '*.MP3'", {"a.mp3", "fake.mp3", "id3.mp3", "sub/c.mp3", "sub/deep/d.MP3"}, 3, 0},
        {"--exclude '*/sub'", {"a.mp3", "fake.mp3", "id3.mp3", "layer2.mp2", "notes.txt"}, 1, 0},
        {"--include '*.mp3' --exclude '*fake*'", {"a.mp3", "id3.mp3", "sub/c.mp3"}, 5, 0},
        {"--exclude '" + t + "sub/*'", {"a.mp3", "fake.mp3", "id3.mp3", "layer2.mp2", "notes.txt"}, 3, 0},
        {"--layer3-only", {"a.mp3", "id3.mp3", "sub/c.mp3", "sub/deep/d.MP3"}, 0, 4},
        {"--layer3-only --include '*.mp3'", {"a.mp3", "id3.mp3", "sub/c.mp3"}, 4, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const Outcome o = run(BATCH + " -q --quick -f jsonl --summary " + c.options + " " + quote(tree));
        std::vector<std::string> files;
        for (const Json& r : records(o.out)) files.push_back(r["file"].get<std::string>().substr(t.size()));
        EXPECT_EQ(files, c.files);
        const Json summary = lines(o.out).back()["summary"];
        EXPECT_EQ(summary["excluded"], c.excluded);
        EXPECT_EQ(summary["skipped_not_layer3"], c.skipped);
        EXPECT_EQ(summary["files"], c.files.size());
        // The text summary names what was left out, and only what was.
        const Outcome text = run(BATCH + " -q --quick --summary " + c.options + " " + quote(tree));
        const std::string excluded = ", " + std::to_string(c.excluded) + " excluded";
        const std::string skipped = ", " + std::to_string(c.skipped) + " not Layer III (skipped)";
        EXPECT_EQ(text.err.find(excluded) != std::string::npos, c.excluded > 0) << text.err;
        EXPECT_EQ(text.err.find(skipped) != std::string::npos, c.skipped > 0) << text.err;
        EXPECT_EQ(text.err.find("from the resumed report"), std::string::npos);
    }
}

TEST(Select, FilesNamedOnTheCommandLineAreAlwaysReported) {
    const fs::path tree = make_tree();
    const std::string named = quote(tree / "notes.txt") + " " + quote(tree / "fake.mp3");
    for (const std::string options : {"--layer3-only", "--include '*.flac'", "--exclude '*'"}) {
        SCOPED_TRACE(options);
        const auto rs = records(run(BATCH + " -q --quick -f jsonl " + options + " " + named).out);
        ASSERT_EQ(rs.size(), 2u);
        EXPECT_EQ(rs[0]["file"], (tree / "notes.txt").string());
        EXPECT_EQ(rs[1]["file"], (tree / "fake.mp3").string());
    }
}
