// --dump-records: a CSV per file, one row per granule record in decoding order.
#pragma once

#include <span>
#include <string>

#include "batch/granule_record.h"

// The header line, then one row per record (rows are appended as records come).
std::string records_csv_header();
void append_record_csv(const GranuleRecord& record, std::string& csv);

std::string records_csv(std::span<const GranuleRecord> records);
