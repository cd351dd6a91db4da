#include "report/html_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace gainscan {

namespace {

// Length of the valid UTF-8 sequence at the start of `s` and its code point,
// or 0 when the first byte does not start one (overlong forms, surrogates and
// values above U+10FFFF are invalid too).
std::size_t utf8_sequence(std::string_view s, char32_t& code_point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        code_point = b0;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0, minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, value = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, value = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, value = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    code_point = value;
    return length;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Characters that reorder or hide text around them: bidirectional controls,
// zero-width characters, the byte order mark, the soft hyphen, C1 controls.
bool invisible_or_reordering(char32_t c) {
    return c == 0xAD || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF || (c >= 0x80 && c <= 0x9F);
}

void append_code_point_name(std::string& out, char32_t c) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out += "&lt;U+";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(c >> shift) & 0xF];
    out += "&gt;";
}

}  // namespace

void append_html(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c = 0;
        const std::size_t n = utf8_sequence(text.substr(i), c);
        if (n == 0) {
            append_utf8(out, 0xFFFD);
            ++i;
            continue;
        }
        i += n;
        switch (c) {
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += "&quot;"; continue;
            case '\'': out += "&#39;"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7F || invisible_or_reordering(c)) {
            append_code_point_name(out, c);
        } else {
            append_utf8(out, c);
        }
    }
}

std::string html(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    append_html(out, text);
    return out;
}

bool looks_like_text(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        char32_t c = 0;
        const std::size_t n = utf8_sequence(bytes.substr(i), c);
        if (n == 0) {
            // Tolerated only as the start of a sequence the cut went through.
            const auto lead = static_cast<unsigned char>(bytes[i]);
            const std::size_t wanted = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
            if (wanted == 0 || bytes.size() - i >= wanted) return false;
            for (std::size_t k = i + 1; k < bytes.size(); ++k) {
                if ((static_cast<unsigned char>(bytes[k]) & 0xC0) != 0x80) return false;
            }
            return true;
        }
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F) return false;
        i += n;
    }
    return true;
}

std::string shorten(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::size_t cut = max_bytes;
    // Back up over continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "\u2026";
}

std::string format_number(double value, int significant) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : (value > 0 ? "Infinity" : "-Infinity");
    char buffer[64];
    std::to_chars_result r{};
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    } else {
        r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, significant);
    }
    return std::string(buffer, r.ptr);
}

std::string exact_number(double value) {
    if (!std::isfinite(value)) return "";
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, r.ptr);
}

std::string path_link(std::string_view path) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out = (!path.empty() && path.front() == '/') ? "file://" : "";
    for (const char ch : path) {
        const auto b = static_cast<unsigned char>(ch);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                           b == '-' || b == '.' || b == '_' || b == '~' || b == '/';
        if (plain) {
            out += ch;
        } else {
            out += '%';
            out += digits[b >> 4];
            out += digits[b & 0xF];
        }
    }
    // With ':' encoded no relative path can be read as a scheme, and a path
    // starting with "//" is absolute, so it never becomes a network host.
    return out;
}

std::optional<std::string> bytes_from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return bytes;
}

}  // namespace gainscan
