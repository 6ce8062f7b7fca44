#include "VerifyWording.h"

#include "tablewright/model/Target.h"
#include "tablewright/run/Verifier.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace tw::run {

namespace {

// How much of a value a difference shows: characters of text, bytes of binary values, and the
// characters shown before the first position where two long values differ.
constexpr std::size_t kShownChars = 60;
constexpr std::size_t kShownBytes = 24;
constexpr std::size_t kContextChars = 20;

// ---- Showing values -------------------------------------------------------------------------

// Decodes one UTF-8 character at text[i]; false (and i past one byte) for an invalid sequence.
bool NextChar(std::string_view text, std::size_t& i, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const int length = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xE  ? 3
                       : (lead >> 3) == 0x1E ? 4
                                             : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
        ++i;
        return false;
    }
    code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (int k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    i += static_cast<std::size_t>(length);
    return true;
}

// Characters that would change the terminal or the reading direction of the line.
bool IsInvisible(char32_t code) {
    return code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) || code == 0x200E ||
           code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

void AppendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

std::size_t CharCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        NextChar(text, i, code);
        ++count;
    }
    return count;
}

// Text in double quotes from byte `from` on (a character boundary), with backslash escapes for
// quotes, backslashes, control and direction characters and invalid bytes, cut after
// kShownChars characters.
std::string ShowText(std::string_view text, std::size_t from) {
    std::string out = from > 0 ? "…\"" : "\"";
    std::size_t shown = 0;
    std::size_t i = from;
    while (i < text.size() && shown < kShownChars) {
        const std::size_t start = i;
        char32_t code = 0;
        ++shown;
        if (!NextChar(text, i, code)) {
            out += "\\x";
            AppendHexByte(out, static_cast<unsigned char>(text[start]));
            continue;
        }
        switch (code) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        default:
            break;
        }
        if (code < 0x80 && IsInvisible(code)) {
            out += "\\x";
            AppendHexByte(out, static_cast<unsigned char>(code));
        } else if (IsInvisible(code)) {
            char buffer[12];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(code));
            out += buffer;
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
    if (i < text.size() || from > 0)
        out += "…（共 " + std::to_string(CharCount(text)) + " 个字符）";
    return out;
}

std::string ShowBytes(std::string_view bytes, std::size_t from) {
    if (bytes.empty())
        return "0x（空）";
    std::string out = from > 0 ? "…" : "0x";
    const std::size_t end = std::min(bytes.size(), from + kShownBytes);
    for (std::size_t i = from; i < end; ++i)
        AppendHexByte(out, static_cast<unsigned char>(bytes[i]));
    if (end < bytes.size() || from > 0)
        out += "…（共 " + std::to_string(bytes.size()) + " 字节）";
    return out;
}

// A number or date as it is (a long one cut); anything else (a server text that is no number)
// as text.
std::string ShowPlain(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.-+: eEinfa") != std::string::npos)
        return ShowText(text, 0);
    if (text.size() <= kShownChars)
        return text;
    return text.substr(0, kShownChars) + "…（共 " + std::to_string(text.size()) + " 个字符）";
}

// A single shown in its own shortest text when the number is one; the double text otherwise.
std::string ShowSingle(const std::string& text) {
    double number = 0;
    if (!data::ParseCanonicalDouble(text, number) ||
        static_cast<double>(static_cast<float>(number)) != number)
        return ShowPlain(text);
    std::string shown;
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(number)).ptr;
    shown.assign(buffer, end);
    return shown;
}

} // namespace

std::string ShowValue(data::ValueForm form, const Cell& cell, std::size_t from) {
    if (cell.unreadable)
        return "（无法读取）";
    if (!cell.value)
        return "NULL";
    switch (form) {
    case data::ValueForm::Text:
        return ShowText(*cell.value, from);
    case data::ValueForm::Bytes:
        return ShowBytes(*cell.value, from);
    case data::ValueForm::Single:
        return ShowSingle(*cell.value);
    default:
        return ShowPlain(*cell.value);
    }
}

// Both sides of a differing value; long texts and bytes are shown from shortly before where
// they start to differ, and two singles that would look the same are shown as doubles.
std::pair<std::string, std::string> ShowPair(data::ValueForm form, const Cell& access,
                                             const Cell& server) {
    std::size_t from = 0;
    if ((form == data::ValueForm::Text || form == data::ValueForm::Bytes) && access.value &&
        server.value && !access.unreadable) {
        const std::string& a = *access.value;
        const std::string& b = *server.value;
        const std::size_t common = static_cast<std::size_t>(
            std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
            a.begin());
        if (form == data::ValueForm::Bytes) {
            from = common > kShownBytes / 2 ? common - kShownBytes / 2 : 0;
        } else {
            // From kContextChars characters before the character where they start to differ.
            const auto inside = [&](std::size_t at) {
                return (static_cast<unsigned char>(a[at]) & 0xC0) == 0x80;
            };
            from = common;
            while (from > 0 && inside(from))
                --from;
            for (std::size_t chars = 0; from > 0 && chars < kContextChars; ++chars)
                do
                    --from;
                while (from > 0 && inside(from));
        }
    }
    std::pair<std::string, std::string> shown{ShowValue(form, access, from),
                                              ShowValue(form, server, from)};
    if (shown.first == shown.second && access.value && server.value)
        shown = {ShowPlain(*access.value), ShowPlain(*server.value)};
    return shown;
}

std::string TableLabel(const std::string& name) {
    return "表 '" + name + "'";
}

std::string ColumnList(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names)
        list += (list.empty() ? "'" : "、'") + name + "'";
    return list;
}

std::string PlaceLabel(std::int64_t ordinal) {
    return "第 " + std::to_string(ordinal) + " 行";
}

std::vector<std::string> DescribeVerification(const TableVerification& table) {
    using Outcome = TableVerification::Outcome;
    std::vector<std::string> lines;
    const std::string label = TableLabel(table.table);
    switch (table.outcome) {
    case Outcome::Identical:
        lines.push_back(label + "：一致（" + std::to_string(table.access_rows) + " 行）");
        return lines;
    case Outcome::Missing:
        lines.push_back(label + "：服务器上没有这个表");
        return lines;
    case Outcome::Failed:
        lines.push_back(label + "：无法核对：" + table.error);
        return lines;
    case Outcome::Cancelled:
        lines.push_back(label + "：核对已中断");
        return lines;
    case Outcome::Different:
        break;
    }
    if (table.differing_values > 0)
        lines.push_back(label + "：" + std::to_string(table.differing_rows) + " 行 " +
                        std::to_string(table.differing_values) + " 个值不一致");
    else if (table.differing_rows > 0)
        lines.push_back(label + "：" + std::to_string(table.differing_rows) + " 行不一致");
    else
        lines.push_back(label + "：结构不一致");
    if (table.access_rows != table.server_rows || table.missing_rows || table.extra_rows) {
        std::string counts = "  行数：Access " + std::to_string(table.access_rows) + "，服务器 " +
                             std::to_string(table.server_rows);
        if (table.missing_rows)
            counts += "；服务器缺少 " + std::to_string(table.missing_rows) + " 行";
        if (table.extra_rows)
            counts += "；服务器多出 " + std::to_string(table.extra_rows) + " 行";
        lines.push_back(counts);
    }
    if (table.key.empty() && (table.differing_rows > 0 || table.differing_values > 0))
        lines.push_back("  没有可用于配对的主键，行按顺序对比");
    if (!table.missing_columns.empty())
        lines.push_back("  服务器上缺少列 " + ColumnList(table.missing_columns));
    if (!table.extra_columns.empty())
        lines.push_back("  服务器上多出列 " + ColumnList(table.extra_columns));
    for (const VerifyDifference& difference : table.examples) {
        switch (difference.kind) {
        case VerifyDifference::Kind::Value:
            lines.push_back("  " + difference.row + "，列 '" + difference.column + "'：Access " +
                            difference.access + "，服务器 " + difference.server);
            break;
        case VerifyDifference::Kind::MissingRow:
            lines.push_back("  " + difference.row + "：服务器上没有这一行");
            break;
        case VerifyDifference::Kind::ExtraRow:
            lines.push_back("  " + difference.row + "：服务器上多出的行");
            break;
        }
    }
    const std::int64_t shown = static_cast<std::int64_t>(table.examples.size());
    const std::int64_t total = table.differing_values + table.missing_rows + table.extra_rows;
    if (total > shown)
        lines.push_back("  ……（另有 " + std::to_string(total - shown) + " 处不一致未列出）");
    return lines;
}

} // namespace tw::run
