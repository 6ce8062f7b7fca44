#pragma once

// Values as text for the tests' messages and comparisons.

#include "tablewright/model/Value.h"

#include <cstddef>
#include <string>

namespace tw::test {

/// The value as text that tells every value apart: NULL, true/false, whole numbers, floating
/// point with 17 digits, dates with their ticks, "text" in quotes, bytes(N) with their hex
/// digits, decimals and GUIDs as written. Text and bytes beyond `shown` characters or bytes
/// are cut with "…" (their full size stays in the text).
std::string ValueText(const data::Value& value, std::size_t shown = std::string::npos);

} // namespace tw::test
