// Reading fields of records that other versions of gainscan-batch wrote, or
// that someone edited: every field may be absent, null or of another type, and
// each accessor says so with nullopt rather than throwing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace gainscan {

// The member `name` of `object` when `object` is an object holding a non-null
// value under that name.
const nlohmann::json* member(const nlohmann::json& object, std::string_view name);
std::optional<double> number_field(const nlohmann::json& object, std::string_view name);
std::optional<std::string_view> text_field(const nlohmann::json& object, std::string_view name);
std::optional<bool> bool_field(const nlohmann::json& object, std::string_view name);

// Any JSON value as short plain text for a person: strings as they are,
// numbers through format_number, containers in compact JSON, nested at most a
// few levels and cut at `max_bytes` (the input may nest a million levels).
std::string display_value(const nlohmann::json& value, std::size_t max_bytes = 400);

}  // namespace gainscan
