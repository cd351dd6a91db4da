// Text that goes into the report. Every string the report shows comes from a
// jsonl file that anyone could have edited, and file names may hold anything a
// file system allows: each one is escaped here, and only here, so that no
// name can close a tag, open a script or hide behind an invisible character.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gainscan {

// Appends `text` as HTML character data, safe in element content and in
// quoted attribute values alike: & < > " ' become character references, bytes
// that are not valid UTF-8 become U+FFFD, and control characters and
// characters that change the direction of the text or are invisible are shown
// by their code, e.g. "<U+000A>" for a newline and "<U+202E>" for a
// right-to-left override, so that no name can pose as another one (and in
// any font, which Control Pictures would need).
void append_html(std::string& out, std::string_view text);
std::string html(std::string_view text);

// Whether `bytes` reads as text: valid UTF-8 (a sequence cut off at the very
// end allowed, as the first bytes of a longer payload may end mid-character)
// with no control characters other than tab, line ends and form feed.
bool looks_like_text(std::string_view bytes);

// The first bytes of `text`, at most `max_bytes`, cut at a character
// boundary, with "…" when something was cut off.
std::string shorten(std::string_view text, std::size_t max_bytes);

// Numbers for people: integers exactly; other values with `significant`
// digits. Never depends on the locale.
std::string format_number(double value, int significant = 4);
// Numbers for the sorting script: the shortest text that reads back as the
// same double.
std::string exact_number(double value);

// A link target for a path written by gainscan-batch: every byte other than
// letters, digits, "-._~/" percent-encoded, so that no name can become a
// "javascript:" or other scheme; absolute paths as file:// URLs, relative ones
// relative to the report's own folder.
std::string path_link(std::string_view path);

// Bytes from a hex string (either case, even length); nullopt otherwise.
std::optional<std::string> bytes_from_hex(std::string_view hex);

}  // namespace gainscan
