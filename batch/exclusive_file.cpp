#include "batch/exclusive_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string safe_name(const std::string& source) {
    const std::size_t slash = source.find_last_of('/');
    std::string base = slash == std::string::npos ? source : source.substr(slash + 1);
    for (char& c : base) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '-' || c == '_';
        if (!safe) c = '_';
    }
    if (base.size() > 120) base.resize(120);
    // No hidden files, no "." or "..".
    if (base.empty() || base[0] == '.') base = "file" + base;
    return base;
}

std::string numbered_name(std::uint64_t seq, const std::string& source) {
    char number[32];
    std::snprintf(number, sizeof number, "%06llu-", static_cast<unsigned long long>(seq + 1));
    return number + (source == "-" ? std::string("stdin") : safe_name(source));
}

int open_exclusive(const std::string& dir, const std::string& source, std::string_view suffix, std::string& path,
                   std::string& error) {
    std::string base = dir;
    base += '/';
    base += safe_name(source);
    for (int attempt = 0; attempt < 100000; ++attempt) {
        path = base;
        if (attempt != 0) path += '.' + std::to_string(attempt);
        path += suffix;
        // O_EXCL: never over an existing file or through a planted symlink;
        // workers racing for one name each get their own.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) return fd;
        if (errno == EEXIST) continue;
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    error = base + ": no free name";
    return -1;
}

std::string write_exclusive(const std::string& dir, const std::string& source, std::string_view suffix,
                            std::string_view data, std::string& error) {
    std::string path;
    const int fd = open_exclusive(dir, source, suffix, path, error);
    if (fd < 0) return "";
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return "";
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        error = path + ": " + std::strerror(errno);
        return "";
    }
    return path;
}
