// --dump-records: a CSV per file, one row per granule record in decoding order.
#pragma once

#include <span>
#include <string>

#include "batch/granule_record.h"

std::string records_csv(std::span<const GranuleRecord> records);
