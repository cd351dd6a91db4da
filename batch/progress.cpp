#include "batch/progress.h"

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

std::string progress_line(const ProgressCounts& c, bool terminal) {
    const double t = c.elapsed_seconds > 0 ? c.elapsed_seconds : 1e-9;
    const double rate = static_cast<double>(c.done) / t;
    const std::string eta = c.all_known && rate > 0
                                ? clock_time(static_cast<double>(c.known - c.done) / rate)
                                : std::string("?");
    char line[256];
    std::snprintf(line, sizeof line, "%s%llu/%llu%s files  %.0f files/s  %.1f MB/s  %llu flagged  %s elapsed  ETA %s%s",
                  terminal ? "\r" : "",
                  static_cast<unsigned long long>(c.done), static_cast<unsigned long long>(c.known),
                  c.all_known ? "" : "+", rate, static_cast<double>(c.bytes) / 1e6 / t,
                  static_cast<unsigned long long>(c.flagged), clock_time(c.elapsed_seconds).c_str(), eta.c_str(),
                  terminal ? "\033[K" : "\n");
    return line;
}

std::string progress_clear(bool terminal) { return terminal ? "\r\033[K" : ""; }
