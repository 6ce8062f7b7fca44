#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

namespace tw::data {

/// Lower-cases UTF-8 text character by character with Unicode's simple case mapping.
std::string Utf8ToLower(std::string_view text);

/// `wanted` cut to `max_chars` characters (and of the spaces a cut leaves at its end); when
/// `taken` (lower-cased names) already holds it lower-cased, the same with "_2", "_3", ...
/// appended within the limit. The name chosen joins `taken`.
std::string UniqueName(std::string_view wanted, std::set<std::string>& taken,
                       std::size_t max_chars);

} // namespace tw::data
