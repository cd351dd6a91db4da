// Whole-file evidence and extraction: files built with embed_lsb from a real
// encoder fixture, read back through gainscan-batch; where the payload files
// may and may not go.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "batch/exclusive_file.h"

namespace fs = std::filesystem;

namespace {

const std::string SOURCE = GAINSCAN_SOURCE_DIR "/tests/fixtures/long_m1_44100_mono_cbr32_40s.mp3";

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out;
}

std::string unhex(const std::string& digits) {
    std::string out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}

// gainscan-batch's jsonl record of one file.
nlohmann::json scan(const fs::path& file, const std::string& options) {
    // ctest runs each test in its own process, at the same time as others.
    const fs::path out = fs::path(testing::TempDir()) / ("evidence_" + std::to_string(getpid()) + ".jsonl");
    shell("'" GAINSCAN_BATCH_BINARY "' -q --format jsonl " + options + " '" + file.string() + "' > '" + out.string() + "'");
    std::istringstream lines(slurp(out));
    std::string header, record;
    std::getline(lines, header);  // the scan header
    std::getline(lines, record);
    return nlohmann::json::parse(record);
}

fs::path fresh_dir(const std::string& name) {
    const fs::path dir = fs::path(testing::TempDir()) / (name + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace

TEST(Evidence, HiddenBytesAreFlaggedExtractedAndNamedWhileCleanAndShiftedFilesAreNot) {
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x02\0\0\0\x90\x91\x68\x36", 33);
    // A stored archive holding one file "a" with the text "x".
    const std::string zip = unhex(
        "504b0304140000000000745d875d8316dc8c0100000001000000010000006178504b01021403140000000000745d875d8316dc8c"
        "010000000100000001000000000000000000000080010000000061504b050600000000010001002f000000200000000000");
    const std::string text = "Meet at the north gate at nine; bring the documents.";
    const struct {
        const char* name;
        std::string embed;    // embed_lsb arguments, or "" for the clean file
        std::string payload;  // bytes hidden ("" when none)
        bool flagged;
        std::string mime;
    } cases[] = {
        {"clean", "", "", false, ""},
        {"shifted", "--shift 1", "", false, ""},
        {"png", "--bytes", png, true, "image/png"},
        {"zip", "--bytes", zip, true, "application/zip"},
        {"text", "--bytes", text, true, "text/plain"},
    };
    const fs::path dir = fresh_dir("evidence");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / (std::string(c.name) + ".mp3");
        std::string command = "'" EMBED_LSB_BINARY "' " + c.embed + " '" + SOURCE + "' '" + file.string() + "'";
        if (!c.payload.empty()) command += " " + std::to_string(c.payload.size()) + " " + hex(c.payload);
        if (c.embed.empty()) fs::copy_file(SOURCE, file);
        else ASSERT_EQ(shell(command + " >/dev/null"), 0);

        const fs::path out = fresh_dir(std::string("payload_") + c.name);
        const nlohmann::json record = scan(file, "--extract '" + out.string() + "'");
        EXPECT_EQ(record["flagged"], c.flagged) << record.dump();
        if (!c.flagged) {  // nothing is written for a file that is not flagged
            EXPECT_TRUE(record["payload_file"].is_null()) << record.dump();
            EXPECT_TRUE(fs::is_empty(out));
            continue;
        }
        EXPECT_EQ(record["span"], 6 + std::bit_width(c.payload.size()) - 1 + 8 * c.payload.size());
        EXPECT_EQ(record["payload_mime"], c.mime);
        EXPECT_EQ(record["payload_complete"], true);
        EXPECT_EQ(slurp(record["payload_file"].get<std::string>()), c.payload);
        EXPECT_EQ(fs::path(record["payload_file"].get<std::string>()).parent_path(), out);
    }
}

TEST(Evidence, APayloadLongerThanTheFileIsExtractedAsFarAsItGoes) {
    const fs::path dir = fresh_dir("long_payload");
    const fs::path file = dir / "long.mp3";
    // A length the capacity estimate allows (so it is found) that the file cannot hold.
    const std::uint64_t length = scan(SOURCE, "")["capacity"].get<std::uint64_t>() + 100;
    ASSERT_EQ(shell("'" EMBED_LSB_BINARY "' --bytes '" + SOURCE + "' '" + file.string() + "' " +
                    std::to_string(length) + " 2>/dev/null >/dev/null"), 0);
    const nlohmann::json record = scan(file, "--extract-all --extract '" + dir.string() + "'");
    EXPECT_EQ(record["verdict"], "found");
    EXPECT_EQ(record["payload_complete"], false);
    const std::uint64_t bytes = record["payload_bytes"];
    EXPECT_GT(bytes, length - 110);
    EXPECT_LT(bytes, length);
    EXPECT_EQ(slurp(record["payload_file"].get<std::string>()).size(), bytes);
}

TEST(Evidence, RecordDumpHasARowPerRecordPointingAtItsFrame) {
    // One file that starts with its first frame, one behind an ID3v2 tag.
    for (const std::string name : {"long_m1_44100_mono_cbr32_40s.mp3", "id3v2_padded.mp3"}) {
        SCOPED_TRACE(name);
        const std::string source = GAINSCAN_SOURCE_DIR "/tests/fixtures/" + name;
        const fs::path dir = fresh_dir("dump");
        const nlohmann::json record = scan(source, "--dump-records '" + dir.string() + "'");
        EXPECT_EQ(record["records_file"], (dir / ("000001-" + name + ".records.csv")).string());
        std::istringstream csv(slurp(record["records_file"].get<std::string>()));
        std::string line;
        std::getline(csv, line);
        EXPECT_EQ(line.substr(0, line.find(',')), "slot");
        const std::string bytes = slurp(source);
        std::int64_t rows = 0;
        std::int64_t last_frame = -1;
        while (std::getline(csv, line)) {
            // slot,frame_index,frame_offset,granule,channel,carrier,...
            std::vector<std::int64_t> v;
            std::istringstream fields(line);
            for (std::string f; v.size() < 6 && std::getline(fields, f, ',');) v.push_back(std::stoll(f));
            ASSERT_EQ(v.size(), 6u) << line;
            // Every record in decoding order, every second one a carrier, frames in order.
            EXPECT_EQ(v[0], rows) << line;
            EXPECT_EQ(v[5], rows % 2 == 0 ? 1 : 0) << line;
            EXPECT_GE(v[1], last_frame) << line;
            last_frame = v[1];
            ++rows;
            // The offset is where the frame's sync word is.
            const auto offset = static_cast<std::size_t>(v[2]);
            ASSERT_LT(offset + 1, bytes.size());
            EXPECT_EQ(static_cast<unsigned char>(bytes[offset]), 0xFF) << line;
            EXPECT_EQ(static_cast<unsigned char>(bytes[offset + 1]) & 0xE0, 0xE0) << line;
        }
        EXPECT_EQ(rows, record["total_records"].get<std::int64_t>());
    }
}

TEST(Evidence, OutputFilesStayInTheirDirectoryAndNeverReplaceAFile) {
    const struct {
        const char* source;
        const char* name;
    } names[] = {{"../../etc/passwd", "passwd"}, {"a/.hidden", "file.hidden"}, {"x y\n;z.mp3", "x_y__z.mp3"}, {"..", "file.."}};
    for (const auto& n : names) EXPECT_EQ(safe_name(n.source), n.name) << n.source;

    const fs::path dir = fresh_dir("exclusive");
    std::ofstream(dir / "song.mp3.payload") << "evidence";
    fs::create_symlink("/nonexistent/target", dir / "song.mp3.1.payload");
    std::string error;
    const std::string path = write_exclusive(dir.string(), "music/song.mp3", ".payload", "new", error);
    EXPECT_EQ(path, (dir / "song.mp3.2.payload").string()) << error;
    EXPECT_EQ(slurp(dir / "song.mp3.payload"), "evidence");
    EXPECT_EQ(slurp(path), "new");
}
