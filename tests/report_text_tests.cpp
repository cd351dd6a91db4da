// The report's text helpers: what a hostile or broken string becomes in the
// page, the links made from paths, the numbers people read.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "report/html_text.h"

namespace {

using gainscan::bytes_from_hex;
using gainscan::format_number;
using gainscan::html;
using gainscan::path_link;
using gainscan::shorten;

struct EscapeCase {
    const char* what;
    std::string input;
    std::string expected;
};

// Test names and failure messages show the case by its name, not its bytes.
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.what; }

class HtmlEscape : public testing::TestWithParam<EscapeCase> {};

TEST_P(HtmlEscape, TurnsTextIntoInertCharacterData) { EXPECT_EQ(html(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, HtmlEscape,
    testing::Values(
        EscapeCase{"plain", "music/a.mp3", "music/a.mp3"},
        EscapeCase{"markup", "<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        EscapeCase{"ampersand before an entity name", "&amp;", "&amp;amp;"},
        EscapeCase{"both quotes, for attributes", "a\"b'c", "a&quot;b&#39;c"},
        EscapeCase{"two- three- and four-byte UTF-8", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5",
                   "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
        EscapeCase{"U+FFFD already in the name", "a\xEF\xBF\xBD.mp3", "a\xEF\xBF\xBD.mp3"},
        EscapeCase{"a stray byte", "a\xFF.mp3", "a\xEF\xBF\xBD.mp3"},
        EscapeCase{"a cut sequence at the end", "a\xE2\x82", "a\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{"an overlong slash", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{"a UTF-16 surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{"beyond U+10FFFF", "\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{"newline and NUL", std::string("a\nb\0c", 5), "a&lt;U+000A&gt;b&lt;U+0000&gt;c"},
        EscapeCase{"DEL", "a\x7F", "a&lt;U+007F&gt;"},
        EscapeCase{"right-to-left override", "trick\xE2\x80\xAEgpj.mp3", "trick&lt;U+202E&gt;gpj.mp3"},
        EscapeCase{"zero-width space", "a\xE2\x80\x8B" "b", "a&lt;U+200B&gt;b"},
        EscapeCase{"byte order mark", "\xEF\xBB\xBFx", "&lt;U+FEFF&gt;x"},
        EscapeCase{"C1 control", "a\xC2\x85", "a&lt;U+0085&gt;"}),
    [](const testing::TestParamInfo<EscapeCase>& info) {
        std::string name;
        for (const char c : std::string(info.param.what)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

struct LinkCase {
    std::string path;
    std::string expected;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.path; }

class PathLink : public testing::TestWithParam<LinkCase> {};

TEST_P(PathLink, KeepsPathsLocalAndEncoded) { EXPECT_EQ(path_link(GetParam().path), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Cases, PathLink,
                         testing::Values(LinkCase{"out/a.records.csv", "out/a.records.csv"},
                                         LinkCase{"/case/7/a.csv", "file:///case/7/a.csv"},
                                         LinkCase{"javascript:alert(1)", "javascript%3Aalert%281%29"},
                                         LinkCase{"a b#c?d&e\"<.csv", "a%20b%23c%3Fd%26e%22%3C.csv"},
                                         LinkCase{"//host/share", "file:////host/share"},
                                         LinkCase{"caf\xC3\xA9", "caf%C3%A9"}));

TEST(BytesFromHex, ReadsEitherCaseAndRefusesOddLengthAndOtherCharacters) {
    EXPECT_EQ(bytes_from_hex("00ff7Fa0"), std::string("\x00\xff\x7f\xa0", 4));
    EXPECT_EQ(bytes_from_hex(""), std::string());
    for (const char* bad : {"abc", "zz", "0x12"}) EXPECT_FALSE(bytes_from_hex(bad)) << bad;
}

struct TextCase {
    std::string bytes;
    bool text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << testing::PrintToString(c.bytes.substr(0, 40)); }

class LooksLikeText : public testing::TestWithParam<TextCase> {};

TEST_P(LooksLikeText, TellsTextFromBinary) { EXPECT_EQ(gainscan::looks_like_text(GetParam().bytes), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Cases, LooksLikeText,
                         testing::Values(TextCase{"Meet at 6.\nBring\tthe map.\r\n", true},
                                         TextCase{"caf\xC3\xA9 \xE2\x82\xAC", true},
                                         TextCase{"cut in the middle: \xE2\x82", true},
                                         TextCase{"", true},
                                         TextCase{"\x89PNG\r\n\x1A\n", false},
                                         TextCase{std::string("a\0b", 3), false},
                                         TextCase{"stray \xFF inside", false},
                                         TextCase{"cut lead not at the end \xE2\x82 x", false},
                                         TextCase{"DEL \x7F", false}));

TEST(FormatNumber, IntegersExactlyOthersToTheDigitsAsked) {
    EXPECT_EQ(format_number(480000), "480000");
    EXPECT_EQ(format_number(-3), "-3");
    EXPECT_EQ(format_number(9.41234, 3), "9.41");
    EXPECT_EQ(format_number(2.3e-11, 3), "2.3e-11");
    EXPECT_EQ(format_number(0.0004, 3), "0.0004");
}

TEST(Shorten, CutsAtACharacterBoundary) {
    EXPECT_EQ(shorten("abc", 5), "abc");
    EXPECT_EQ(shorten("ab\xE2\x82\xAC" "cd", 4), "ab\xE2\x80\xA6");  // never half a euro sign
    EXPECT_EQ(shorten("abcdef", 3), "abc\xE2\x80\xA6");
}

}  // namespace
