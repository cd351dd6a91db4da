// What the program tests (gainscan-batch's and gainscan-report's) share:
// running a command from the source directory, reading its jsonl and csv
// back, scratch directories.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace batch_test {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

#ifdef GAINSCAN_BATCH_BINARY
inline const std::string BATCH = "'" GAINSCAN_BATCH_BINARY "'";
#endif

struct Outcome {
    int status;
    std::string out, err;
};

inline std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `command` with sh in the source directory; standard error captured apart.
inline Outcome run(const std::string& command) {
    const std::string err = testing::TempDir() + "batch_support_stderr." + std::to_string(getpid());
    FILE* pipe = popen(("cd '" GAINSCAN_SOURCE_DIR "' && " + command + " 2>'" + err + "'").c_str(), "r");
    std::string out;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, slurp(err)};
}

// Every line of a jsonl report, header and summary included.
inline std::vector<Json> lines(const std::string& text) {
    std::vector<Json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
    return out;
}

// The records alone (not the scan header, not the summary).
inline std::vector<Json> records(const std::string& text) {
    std::vector<Json> out;
    for (Json& line : lines(text))
        if (!line.contains("scan") && !line.contains("summary")) out.push_back(std::move(line));
    return out;
}

// A fresh, empty scratch directory for this test process.
inline fs::path fresh_dir(const std::string& name) {
    const fs::path dir = fs::path(testing::TempDir()) / (name + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

inline std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

}  // namespace batch_test
