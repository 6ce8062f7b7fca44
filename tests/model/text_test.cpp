// The text helpers every layer shares: case-blind comparison (ASCII letters only, or Unicode's
// simple lower case), and UTF-8 written, read, counted and cut.
#include "tablewright/model/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace tw::data;

namespace {

TEST(Text, AsciiCaseBlindComparisonLeavesOtherBytesAlone) {
    struct Case {
        std::string_view a, b;
        bool equal, starts, contains;
    };
    const Case cases[] = {
        {"localhost", "LocalHost", true, true, true},
        {"MSysObjects", "msys", false, true, true},
        {"MySQL ODBC 8.0 Driver", "mysql", false, true, true},
        {"MariaDB", "DB", false, false, true},
        {"Ärger", "ärger", false, false, false}, // no folding beyond ASCII
        {"abc", "abcd", false, false, false},
        {"", "", true, true, true},
        {"x", "", false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + std::string(c.b));
        EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal);
        EXPECT_EQ(StartsWithNoCase(c.a, c.b), c.starts);
        EXPECT_EQ(ContainsNoCase(c.a, c.b), c.contains);
    }
    EXPECT_EQ(AsciiLower("Key_ÄÖ-Z"), "key_ÄÖ-z");
    EXPECT_EQ(AsciiUpper("inner join ä"), "INNER JOIN ä");
}

TEST(Text, Utf8LowerCaseFoldsEveryScriptAndKeepsInvalidBytes) {
    EXPECT_EQ(Utf8ToLower("ÄÖÜ ΣΑΣ Ж Straße"), "äöü σασ ж straße");
    // A lone continuation byte and a cut-off sequence stay byte for byte.
    EXPECT_EQ(Utf8ToLower("A\x80Z\xC3"), "a\x80z\xC3");
    EXPECT_TRUE(Utf8EqualsNoCase("Kunden_Ä", "kunden_ä"));
    EXPECT_FALSE(Utf8EqualsNoCase("Kunden_A", "kunden_ä"));
}

TEST(Text, Utf8IsWrittenReadCountedAndCut) {
    std::string text;
    for (const char32_t code : {U'a', U'é', U'中', U'😀'})
        AppendUtf8(text, code);
    EXPECT_EQ(text, "aé中😀");
    EXPECT_EQ(Utf8CharCount(text), 4u);
    EXPECT_EQ(Utf8Prefix(text, 2), "aé");
    EXPECT_EQ(Utf8Prefix(text, 9), text);
    // Inside the 3-byte character (bytes 3..5) moves back to its start.
    EXPECT_EQ(Utf8CharStart(text, 4), 3u);
    EXPECT_EQ(Utf8CharStart(text, 3), 3u);

    // The lenient decoder takes overlong forms; the strict one replaces them, surrogates and
    // sequences cut short with U+FFFD, one byte at a time.
    struct Case {
        std::string_view bytes;
        bool lenient_valid;
        char32_t strict;
    };
    const Case cases[] = {
        {"\xE4\xB8\xAD", true, U'中'},  {"\xC0\xAF", true, 0xFFFD}, // overlong '/'
        {"\xED\xA0\x80", true, 0xFFFD},                             // surrogate
        {"\xE4\xB8", false, 0xFFFD},                                // cut short
        {"\x80", false, 0xFFFD},
    };
    for (const Case& c : cases) {
        std::size_t at = 0;
        char32_t code = 0;
        EXPECT_EQ(DecodeUtf8(c.bytes, at, code), c.lenient_valid);
        EXPECT_EQ(at, c.lenient_valid ? c.bytes.size() : 1u);
        at = 0;
        EXPECT_EQ(NextCodePoint(c.bytes, at), c.strict);
        EXPECT_EQ(at, c.strict == 0xFFFD ? 1u : c.bytes.size());
    }
}

} // namespace
