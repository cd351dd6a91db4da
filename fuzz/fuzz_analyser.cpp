// The analyser's whole job on an arbitrary file: whatever the bytes, it must
// finish with status 0 and a three-line report. Each file is analysed twice,
// and the second report must equal the first: the run before the first one
// was on other bytes, so anything a run leaves behind shows up here.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analyser/driver.h"

namespace {

constexpr std::size_t MAX_FILE = 64 * 1024;

std::string path;
std::FILE* out = nullptr;
std::FILE* err = nullptr;

[[noreturn]] void fail(const char* what, const std::string& report) {
    std::fprintf(stderr, "analyser report rejected: %s\n--- report ---\n%s--- end ---\n", what, report.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

void rewind_empty(std::FILE* f) {
    std::fflush(f);
    if (ftruncate(fileno(f), 0) != 0) std::abort();
    std::rewind(f);
}

std::string contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Digits only, no sign, at least one.
bool is_number(const std::string& s) {
    if (s.empty()) return false;
    for (const char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The decoder talks on stdout; run with -close_fd_mask=3 to silence stderr too.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::perror("freopen");
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    path = std::string(dir) + "/gainscan_fuzz_analyser_" + std::to_string(getpid()) + ".mp3";
    out = std::tmpfile();
    err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
        std::perror("tmpfile");
        std::abort();
    }
    std::atexit([] { std::remove(path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_FILE) return -1;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::abort();
    }

    rewind_empty(out);
    rewind_empty(err);
    const char* argv[] = {"gainscan", path.c_str(), nullptr};
    const int status = analyser_run(2, argv, out, err);
    const std::string report = contents(out);
    if (status != 0) fail("exit status is not 0", report);

    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < report.size()) {
        const std::size_t end = report.find('\n', start);
        if (end == std::string::npos) fail("last line has no newline", report);
        lines.push_back(report.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() != 3) fail("not three lines", report);
    if (lines[0] != "Analysing file " + path) fail("first line", report);

    const std::string capacity = "capacity: about ";
    const std::string bytes = " bytes";
    const std::string& c = lines[1];
    if (!starts_with(c, capacity) || c.size() <= capacity.size() + bytes.size() ||
        c.compare(c.size() - bytes.size(), bytes.size(), bytes) != 0 ||
        !is_number(c.substr(capacity.size(), c.size() - capacity.size() - bytes.size())))
        fail("capacity line", report);

    const std::string found = "Possible length specification found: ";
    const std::string& v = lines[2];
    if (v != "File does not contain any qavex hidden data." &&
        !(starts_with(v, found) && is_number(v.substr(found.size()))))
        fail("verdict line", report);

    rewind_empty(out);
    if (analyser_run(2, argv, out, err) != 0) fail("second run: exit status is not 0", report);
    const std::string second = contents(out);
    if (second != report) fail("second run reports differently", report + "--- second run ---\n" + second);
    return 0;
}
