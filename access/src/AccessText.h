#pragma once

// The text encodings of Access files: Windows code pages (Jet3), UTF-16LE and Jet4/ACE
// "compressed unicode", each decoded to UTF-8.

#include "tablewright/model/Text.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tw::data::access {

/// The code page number that stands for text in the character set `name` (any name iconv
/// knows, e.g. "CP936", "GBK", "BIG5"): the number itself for "CP<n>", otherwise a number above
/// 65535 that CodePageDecoder and CharsetName resolve to the name; nullopt when iconv does not
/// know it.
std::optional<int> CodePageForCharset(const std::string& name);
/// The iconv name of a code page number ("CP1252", or the name a number of CodePageForCharset
/// stands for).
std::string CharsetName(int code_page);

/// Decodes Windows code-page text (Jet3 files) to UTF-8.
class CodePageDecoder {
public:
    /// Prepares a decoder for the code page (e.g. 1252); unknown code pages fall back to 1252.
    explicit CodePageDecoder(int code_page);
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder&) = delete;
    CodePageDecoder& operator=(const CodePageDecoder&) = delete;

    /// Appends the UTF-8 form of the code-page bytes to `out`.
    void Append(std::string& out, const std::uint8_t* data, std::size_t size);

private:
    // UTF-8 of each byte for single-byte code pages; unused when multibyte_ is set.
    std::string table_[256];
    bool multibyte_ = false;
    void* iconv_ = nullptr;
};

/// Appends UTF-16LE text as UTF-8 (surrogate pairs joined; a lone surrogate becomes U+FFFD).
void AppendUtf16Le(std::string& out, const std::uint8_t* data, std::size_t size);

/// Appends Jet4/ACE text as UTF-8: UTF-16LE, or "compressed unicode" when it starts with FF FE
/// (single bytes for U+0001..U+00FF; a 00 byte switches between one-byte and two-byte runs).
void AppendJet4Text(std::string& out, const std::uint8_t* data, std::size_t size);

} // namespace tw::data::access
