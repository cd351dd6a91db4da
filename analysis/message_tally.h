// Keeping a file's decoder messages within bounds (see MESSAGES_KEPT_BYTES
// and MessageTally in gainscan/analysis.h).
#pragma once

#include <cstddef>
#include <string_view>

#include "gainscan/analysis.h"

namespace gainscan {

// Appends a message gainscan prints to `report.messages` while the kept text
// stays within MESSAGES_KEPT_BYTES (`kept_bytes` counts it), else counts it
// in `report.messages_omitted`. Once one is omitted, all later ones are too,
// so the kept list is always a prefix of what gainscan prints.
void keep_message(FileReport& report, std::size_t& kept_bytes, Stream stream, std::string_view text);

}  // namespace gainscan
