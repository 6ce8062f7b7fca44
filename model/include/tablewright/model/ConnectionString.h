#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

/// One key=value pair of a connection string.
struct ConnectionStringPart {
    std::string key;
    std::string value;
};

/// Writes a value so that it reads back unchanged: quoted with '"' (inner '"' doubled) when it
/// holds ';', '"', starts with '{' or '"', or starts or ends with a blank; otherwise unchanged.
std::string QuoteConnectionValue(std::string_view value);

/// Splits a connection string into its pairs; values may be plain, "quoted" or {braced}.
std::vector<ConnectionStringPart> ParseConnectionString(std::string_view text);

/// The value of a key (compared without regard to ASCII case), if the string holds it.
std::optional<std::string> FindConnectionValue(const std::vector<ConnectionStringPart>& parts,
                                               std::string_view key);

} // namespace tw::data
