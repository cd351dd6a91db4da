#include "batch/progress.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstdio>

namespace {

std::string clock_time(double seconds) {
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
    return text;
}

}  // namespace

std::string progress_line(const ProgressCounts& c, bool terminal, std::size_t width) {
    const double t = c.elapsed_seconds > 0 ? c.elapsed_seconds : 1e-9;
    const double rate = static_cast<double>(c.done) / t;
    const bool total_known = c.all_known || c.counted > 0;
    const std::uint64_t total = c.all_known ? c.known : std::max(c.counted, c.known);
    const std::string eta = total_known && rate > 0 && total >= c.done
                                ? clock_time(static_cast<double>(total - c.done) / rate)
                                : std::string("?");
    char text[256];
    std::snprintf(text, sizeof text, "%llu/%llu%s files  %.0f files/s  %.1f MB/s  %llu flagged  %s elapsed  ETA %s",
                  static_cast<unsigned long long>(c.done), static_cast<unsigned long long>(total),
                  total_known ? "" : "+", rate, static_cast<double>(c.bytes) / 1e6 / t,
                  static_cast<unsigned long long>(c.flagged), clock_time(c.elapsed_seconds).c_str(), eta.c_str());
    std::string line = text;
    if (!terminal) return line + "\n";
    // The text is ASCII: one character, one column.
    if (width > 1 && line.size() > width - 1) line.resize(width - 1);
    return "\r" + line + "\033[K";
}

std::size_t terminal_width(int fd) {
    struct winsize size {};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

std::string progress_clear(bool terminal) { return terminal ? "\r\033[K" : ""; }
