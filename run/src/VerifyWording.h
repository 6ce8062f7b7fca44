#pragma once

// How the verification and the sync show values, rows and tables to the user.

#include "RowPairing.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tw::run {

/// A value as shown to the user from byte `from` on: long values cut, bytes as hex, control
/// characters escaped, NULL as NULL and text in double quotes.
std::string ShowValue(data::ValueForm form, const Cell& cell, std::size_t from = 0);
/// Both sides of a differing value; long texts and bytes are shown from shortly before where
/// they start to differ, and two singles that would look the same are shown as doubles.
std::pair<std::string, std::string> ShowPair(data::ValueForm form, const Cell& access,
                                             const Cell& server);
/// "表 'name'".
std::string TableLabel(const std::string& name);
/// "'a'、'b'".
std::string ColumnList(const std::vector<std::string>& names);
/// "第 5 行": a row of a table without key, by its place.
std::string PlaceLabel(std::int64_t ordinal);

} // namespace tw::run
