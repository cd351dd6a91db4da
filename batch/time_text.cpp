#include "batch/time_text.h"

#include <cstdio>
#include <ctime>

std::string iso8601_utc(std::int64_t nanoseconds) {
    std::int64_t seconds = nanoseconds / 1000000000;
    std::int64_t fraction = nanoseconds % 1000000000;
    if (fraction < 0) {  // before 1970: the fraction counts forward from the second before
        fraction += 1000000000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(fraction));
    return text;
}

std::string iso8601_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}
