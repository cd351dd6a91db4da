// The bit reservoir: places the previous frame's last `backstep` bytes in
// front of the current main data and counts the bytes no frame used.
#pragma once

#include <cstdint>

// Returns 0 when the reader is positioned, -1 when there is no previous frame
// to step back into.
int reservoir_position(std::int32_t backstep);
