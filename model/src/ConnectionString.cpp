#include "tablewright/model/ConnectionString.h"

namespace tw::data {

namespace {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::string QuoteConnectionValue(std::string_view value) {
    const bool needs_quotes =
        value.find_first_of(";\"") != std::string_view::npos ||
        (!value.empty() && (value.front() == '{' || value.front() == ' ' || value.front() == '\t' ||
                            value.back() == ' ' || value.back() == '\t'));
    if (!needs_quotes)
        return std::string(value);
    std::string quoted = "\"";
    for (char c : value) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    quoted += '"';
    return quoted;
}

std::vector<ConnectionStringPart> ParseConnectionString(std::string_view text) {
    std::vector<ConnectionStringPart> parts;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t eq = text.find('=', i);
        const std::size_t semi = text.find(';', i);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
            // A piece without '=' carries no value; skip it.
            if (semi == std::string_view::npos)
                break;
            i = semi + 1;
            continue;
        }
        ConnectionStringPart part;
        part.key = std::string(TrimBlanks(text.substr(i, eq - i)));
        i = eq + 1;
        // Blanks before an opening quote or brace are not part of the value.
        std::size_t j = i;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\t'))
            ++j;
        if (j < text.size() && (text[j] == '"' || text[j] == '{')) {
            const char close = text[j] == '"' ? '"' : '}';
            std::string value;
            std::size_t k = j + 1;
            while (k < text.size()) {
                if (text[k] == close) {
                    if (k + 1 < text.size() && text[k + 1] == close) {
                        value += close;
                        k += 2;
                        continue;
                    }
                    break;
                }
                value += text[k++];
            }
            // A brace-quoted value keeps its braces, as ODBC driver names are written with them.
            part.value = close == '}' ? "{" + value + "}" : value;
            i = k < text.size() ? k + 1 : k;
            const std::size_t next = text.find(';', i);
            i = next == std::string_view::npos ? text.size() : next + 1;
        } else {
            const std::size_t end = semi == std::string_view::npos ? text.size() : semi;
            part.value = std::string(text.substr(i, end - i));
            i = end == text.size() ? end : end + 1;
        }
        if (!part.key.empty())
            parts.push_back(std::move(part));
    }
    return parts;
}

std::optional<std::string> FindConnectionValue(const std::vector<ConnectionStringPart>& parts,
                                               std::string_view key) {
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        if (EqualNoCase(it->key, key))
            return it->value;
    return std::nullopt;
}

} // namespace tw::data
