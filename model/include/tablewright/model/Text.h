#pragma once

// Text helpers every layer needs: comparing and lower-casing without regard to case (ASCII
// letters only, or Unicode's simple case mapping), and writing, reading and counting UTF-8.

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

namespace tw::data {

/// The ASCII lower case of `c`; every other byte unchanged.
constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// `text` with its ASCII letters lower-cased; every other byte unchanged.
std::string AsciiLower(std::string_view text);

/// `text` with its ASCII letters upper-cased; every other byte unchanged.
std::string AsciiUpper(std::string_view text);

/// True when `a` and `b` are the same but for the case of ASCII letters.
bool EqualsNoCase(std::string_view a, std::string_view b);

/// True when `text` starts with `prefix` but for the case of ASCII letters.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

/// True when `needle` occurs in `text` but for the case of ASCII letters.
bool ContainsNoCase(std::string_view text, std::string_view needle);

/// Lower-cases UTF-8 text character by character with Unicode's simple case mapping; bytes that
/// are no UTF-8 stay as they are.
std::string Utf8ToLower(std::string_view text);

/// True when `a` and `b` are the same after Utf8ToLower (as Access compares names).
bool Utf8EqualsNoCase(std::string_view a, std::string_view b);

/// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t code_point);

/// Decodes the UTF-8 sequence at text[at] into `code` and moves `at` past it; for a lead byte
/// without its continuation bytes, returns false and moves one byte on. Overlong forms and
/// surrogates are taken as they come.
bool DecodeUtf8(std::string_view text, std::size_t& at, char32_t& code);

/// The code point of the well-formed UTF-8 sequence at text[at], moving `at` past it; anything
/// else (overlong, surrogate, beyond U+10FFFF, cut short) gives U+FFFD and moves one byte on.
char32_t NextCodePoint(std::string_view text, std::size_t& at);

/// The number of characters of UTF-8 text: the bytes that are no continuation byte.
std::size_t Utf8CharCount(std::string_view text);

/// The first `chars` characters of UTF-8 text (all of it when it has no more).
std::string Utf8Prefix(std::string_view text, std::size_t chars);

/// `at` moved back to the start of the character it lies in (never inside a UTF-8 sequence).
std::size_t Utf8CharStart(std::string_view text, std::size_t at);

/// `wanted` cut to `max_chars` characters (and of the spaces a cut leaves at its end); when
/// `taken` (lower-cased names) already holds it lower-cased, the same with "_2", "_3", ...
/// appended within the limit. The name chosen joins `taken`.
std::string UniqueName(std::string_view wanted, std::set<std::string>& taken,
                       std::size_t max_chars);

} // namespace tw::data
