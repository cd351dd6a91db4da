#include "report/json_fields.h"

#include <cmath>

#include "report/html_text.h"

namespace gainscan {

namespace {

constexpr int kMaxDepth = 4;

void append_value(std::string& out, const nlohmann::json& value, int depth, std::size_t max_bytes, bool quoted) {
    if (out.size() > max_bytes) return;
    switch (value.type()) {
        case nlohmann::json::value_t::null: out += "null"; return;
        case nlohmann::json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
        case nlohmann::json::value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); return;
        case nlohmann::json::value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); return;
        case nlohmann::json::value_t::number_float: out += format_number(value.get<double>(), 6); return;
        case nlohmann::json::value_t::string:
            if (quoted) out += '"';
            out += value.get_ref<const std::string&>();
            if (quoted) out += '"';
            return;
        case nlohmann::json::value_t::array:
        case nlohmann::json::value_t::object: {
            const bool object = value.is_object();
            if (depth >= kMaxDepth) {
                out += object ? "{…}" : "[…]";
                return;
            }
            out += object ? '{' : '[';
            bool first = true;
            for (auto it = value.begin(); it != value.end() && out.size() <= max_bytes; ++it) {
                if (!first) out += ", ";
                first = false;
                if (object) {
                    out += '"';
                    out += it.key();
                    out += "\": ";
                }
                append_value(out, it.value(), depth + 1, max_bytes, true);
            }
            out += object ? '}' : ']';
            return;
        }
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded: out += "?"; return;
    }
}

}  // namespace

const nlohmann::json* member(const nlohmann::json& object, std::string_view name) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(name);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<double> number_field(const nlohmann::json& object, std::string_view name) {
    const nlohmann::json* value = member(object, name);
    if (value == nullptr || !value->is_number()) return std::nullopt;
    const double number = value->get<double>();
    if (!std::isfinite(number)) return std::nullopt;
    return number;
}

std::optional<std::string_view> text_field(const nlohmann::json& object, std::string_view name) {
    const nlohmann::json* value = member(object, name);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return std::string_view(value->get_ref<const std::string&>());
}

std::optional<bool> bool_field(const nlohmann::json& object, std::string_view name) {
    const nlohmann::json* value = member(object, name);
    if (value == nullptr || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::string display_value(const nlohmann::json& value, std::size_t max_bytes) {
    std::string out;
    append_value(out, value, 0, max_bytes, false);
    return shorten(out, max_bytes);
}

}  // namespace gainscan
