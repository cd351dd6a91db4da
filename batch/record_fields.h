// The fields of a record, in output order, as jsonl and csv name them: one
// list for both formats, so their columns cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "gainscan/analysis.h"

using gainscan::DecoderMessage;
using gainscan::FileReport;
using gainscan::PayloadReport;

struct Null {};
// Text -> count, in order: an object in jsonl, "COUNT TEXT" lines in csv.
using Counts = std::vector<std::pair<std::string, std::uint64_t>>;
using FieldValue = std::variant<Null, bool, std::int64_t, std::uint64_t, double, std::string, std::vector<std::string>,
                                gainscan::PlotReport, Counts>;

struct Field {
    const char* name;
    FieldValue value;
};

// Every field of `report` (absent ones as Null), names in lower_case.
std::vector<Field> record_fields(const FileReport& report);
// The field names alone, for the csv header.
std::vector<const char*> record_field_names();
