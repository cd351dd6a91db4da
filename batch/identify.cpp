#include "batch/identify.h"

#include "batch/hashing_source.h"

#include <magic.h>

#include <array>

namespace {

// One libmagic handle per worker thread: the library's handles are not
// shareable, and loading the database per file would cost more than the scan.
struct MagicHandle {
    magic_t cookie = nullptr;
    MagicHandle() {
        cookie = magic_open(MAGIC_NONE);
        if (cookie != nullptr && magic_load(cookie, nullptr) != 0) {
            magic_close(cookie);
            cookie = nullptr;
        }
    }
    ~MagicHandle() {
        if (cookie != nullptr) magic_close(cookie);
    }
    MagicHandle(const MagicHandle&) = delete;
    MagicHandle& operator=(const MagicHandle&) = delete;
};

std::string describe(std::span<const std::uint8_t> bytes, int flags) {
    static thread_local MagicHandle handle;
    if (handle.cookie == nullptr) return "";
    magic_setflags(handle.cookie, flags);
    const char* text = magic_buffer(handle.cookie, bytes.data(), bytes.size());
    return text != nullptr ? text : "";
}

}  // namespace

void identify_payload(std::span<const std::uint8_t> bytes, gainscan::PayloadReport& report) {
    report.bytes = bytes.size();
    report.sha256 = sha256_hex(bytes);
    report.mime = describe(bytes, MAGIC_MIME_TYPE);
    report.type = describe(bytes, MAGIC_NONE);
}
