#include "batch/file_name.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at `i`, or 0 (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t sequence_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return k < s.size() ? static_cast<std::uint8_t>(s[k]) : 0u; };
    const unsigned b0 = byte(i);
    const auto cont = [&](std::size_t k, unsigned lo, unsigned hi) { return byte(k) >= lo && byte(k) <= hi; };
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(i + 1, 0x80, 0xBF) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
        return cont(i + 1, lo, hi) && cont(i + 2, 0x80, 0xBF) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return cont(i + 1, lo, hi) && cont(i + 2, 0x80, 0xBF) && cont(i + 3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

}  // namespace

bool is_valid_utf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequence_length(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string replace_invalid_utf8(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequence_length(bytes, i);
        out += n == 0 ? std::string("\xEF\xBF\xBD") : bytes.substr(i, n);
        i += n == 0 ? 1 : n;
    }
    return out;
}

std::string base64(const std::string& bytes) {
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
        out += ALPHABET[(group >> 18) & 63];
        out += ALPHABET[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? ALPHABET[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? ALPHABET[group & 63] : '=';
    }
    return out;
}

std::string escape_for_terminal(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequence_length(bytes, i);
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        if (n == 0 || b < 0x20 || b == 0x7F || b == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
            i += 1;
        } else {
            out.append(bytes, i, n);
            i += n;
        }
    }
    return out;
}
