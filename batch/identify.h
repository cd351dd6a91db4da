// What an extracted payload is: libmagic's MIME type and description, and
// its SHA-256.
#pragma once

#include <cstdint>
#include <span>

#include "gainscan/analysis.h"

// Type (MIME and description) and SHA-256 of `bytes`, into `report`.
void identify_payload(std::span<const std::uint8_t> bytes, gainscan::PayloadReport& report);
