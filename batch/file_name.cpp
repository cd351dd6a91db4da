#include "batch/file_name.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include <openssl/evp.h>

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
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // EVP_EncodeBlock ends it with a NUL
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

std::optional<std::string> from_base64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    out.resize(static_cast<std::size_t>(n) - std::min<std::size_t>(padding, static_cast<std::size_t>(n)));
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
