// Times as the reports print them: ISO 8601 in UTC.
#pragma once

#include <cstdint>
#include <string>

// "2026-12-07T16:13:43.123456789Z": nanoseconds since 1970, all nine digits,
// so that a file's modification time compares exactly (--resume).
std::string iso8601_utc(std::int64_t nanoseconds);
// "2026-12-07T16:13:43Z": the current time, to the second.
std::string iso8601_now();
