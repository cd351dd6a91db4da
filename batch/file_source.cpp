#include "batch/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// O_NONBLOCK: a FIFO swapped in between the check and the open must not
// block the worker (regular files ignore the flag). O_NOCTTY: a terminal
// named by mistake never becomes ours.
constexpr int OPEN_FLAGS = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

std::int64_t nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + static_cast<std::int64_t>(t.tv_nsec);
}

}  // namespace

FileSource::FileSource(const std::string& path) {
    if (path == "-") {
        fd_ = STDIN_FILENO;
        stdin_ = true;
        return;
    }
    // Refused before opening, as gainscan does: opening a FIFO or a device
    // could block or have effects.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error_ = std::strerror(errno);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file";
        return;
    }
    fd_ = ::open(path.c_str(), OPEN_FLAGS | O_NOATIME);
    noatime_ = fd_ >= 0;
    // Only the owner (or CAP_FOWNER) may ask for O_NOATIME.
    if (fd_ < 0 && errno == EPERM) fd_ = ::open(path.c_str(), OPEN_FLAGS);
    if (fd_ < 0) {
        error_ = std::strerror(errno);
        return;
    }
    owned_ = true;
    // What was opened is what counts (the name may have changed since the stat).
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file";
        ::close(fd_);
        fd_ = -1;
        return;
    }
    size_at_open_ = static_cast<std::uint64_t>(st.st_size);
    mtime_ns_ = nanoseconds(st.st_mtim);
}

FileSource::~FileSource() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

std::size_t FileSource::peek(std::uint64_t offset, std::span<std::uint8_t> to) const {
    if (stdin_ || fd_ < 0) return 0;
    std::size_t got = 0;
    while (got < to.size()) {
        const ssize_t n = ::pread(fd_, to.data() + got, to.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::size_t FileSource::read(std::span<std::uint8_t> to) {
    if (fd_ < 0 || failed_) return 0;
    std::size_t got = 0;
    // A short count means the end, so keep reading until the request is full
    // (pipes and some file systems return less than asked).
    while (got < to.size()) {
        const ssize_t n = ::read(fd_, to.data() + got, to.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && stdin_) {
            // Standard input opened non-blocking by someone else: wait for it.
            struct timespec pause {0, 1000000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (n < 0) {
            failed_ = true;
            break;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    read_bytes_ += got;
    return got;
}

std::uint64_t FileSource::size() {
    if (stdin_) {
        std::uint8_t scratch[1 << 14];
        while (read(std::span(scratch, sizeof scratch)) == sizeof scratch) {
        }
        return read_bytes_;
    }
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return read_bytes_;
    return static_cast<std::uint64_t>(st.st_size);
}
