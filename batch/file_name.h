// File names are bytes; the reports are UTF-8 text. A name that is valid
// UTF-8 is printed as it is. Otherwise jsonl and csv print it with each
// invalid byte replaced by U+FFFD in `file` and give the exact bytes,
// base64-encoded (RFC 4648, with padding), in `file_b64`; text escapes
// invalid bytes and control characters as \xNN.
#pragma once

#include <optional>
#include <string>

bool is_valid_utf8(const std::string& bytes);
std::string replace_invalid_utf8(const std::string& bytes);
std::string base64(const std::string& bytes);
// The bytes of a base64 text; nullopt when it is not base64.
std::optional<std::string> from_base64(const std::string& text);
std::string escape_for_terminal(const std::string& bytes);
