// The hidden payload as the layout gives it: after the length field, 8 x
// length bits, most significant bit of each byte first; identified by
// libmagic and fingerprinted with SHA-256.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "batch/evidence.h"
#include "batch/file_report.h"

// The payload bytes the carriers hold (as many as there are); `complete`
// when all `field.length` bytes were there.
std::vector<std::uint8_t> payload_bytes(std::span<const std::uint8_t> bits, const gainscan::LengthField& field, bool& complete);

// Type (MIME and description) and SHA-256 of `bytes`, into `report`.
void identify_payload(std::span<const std::uint8_t> bytes, PayloadReport& report);
