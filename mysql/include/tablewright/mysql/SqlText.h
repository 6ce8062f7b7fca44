#pragma once

#include "tablewright/model/Text.h"
#include "tablewright/model/Value.h"

#include <string>
#include <string_view>

namespace tw::data {

/// Appends a name for use between backticks: every backtick is doubled.
void AppendNameText(std::string& out, std::string_view name);

/// Appends text for use between apostrophes: apostrophes and backslashes are doubled and NUL,
/// LF, CR and Ctrl-Z are written \0, \n, \r and \Z, so that the value arrives unchanged and the
/// statement stays on one line.
void AppendEscapedText(std::string& out, std::string_view text);

/// Appends bytes as a hexadecimal literal 0x... (an empty value as '').
void AppendHexLiteral(std::string& out, std::string_view bytes);

/// Formats a date-time as 'yyyy-mm-dd hh:mm:ss' (without quotes), zero-padded, 24-hour, with
/// '.ffffff' after it when the value has microseconds (a tick of 100 ns below them is cut).
std::string FormatSQLDate(const data::DateTime& date);

/// Appends the shortest decimal text that reads back as the same double ('.' as separator).
void AppendDouble(std::string& out, double value);

/// Appends the shortest decimal text that reads back as the same single, never beyond the
/// single's range when a server parses it as a double.
void AppendSingle(std::string& out, float value);

/// Appends a whole number in plain decimal.
void AppendInteger(std::string& out, std::int64_t value);

/// Appends one value as a MySQL literal for a column of the given ADO type: NULL unquoted,
/// bytes as a hex literal, everything else between apostrophes.
void AppendValueLiteral(std::string& out, const data::Value& value, int ado_type);

} // namespace tw::data
