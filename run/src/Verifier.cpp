#include "tablewright/run/Verifier.h"

#include "tablewright/access/OleObject.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tw::run {

namespace {

// A chunk of Access rows is compared at once: at most this many rows, this many bytes of values
// and this many bytes of key literals (the server query that fetches the chunk's rows stays far
// below any max_allowed_packet).
constexpr std::size_t kChunkRows = 5000;
constexpr std::size_t kChunkBytes = 4 * 1024 * 1024;
constexpr std::size_t kKeyListBytes = 1024 * 1024;
// Keys read per query when the server's extra rows are looked for.
constexpr std::size_t kKeyScanRows = 20000;
// How much of a value a difference shows: characters of text, bytes of binary values, and the
// characters shown before the first position where two long values differ.
constexpr std::size_t kShownChars = 60;
constexpr std::size_t kShownBytes = 24;
constexpr std::size_t kContextChars = 20;

// How a column's values are compared: the form the conversion writes them in.
enum class Kind { Bool, Integer, Single, Double, Exact, Date, Text, Bytes };

Kind KindOf(int ado_type) {
    switch (ado_type) {
    case data::adBoolean:
        return Kind::Bool;
    case data::adTinyInt:
    case data::adSmallInt:
    case data::adInteger:
    case data::adBigInt:
    case data::adUnsignedTinyInt:
    case data::adUnsignedSmallInt:
    case data::adUnsignedInt:
    case data::adUnsignedBigInt:
        return Kind::Integer;
    case data::adSingle:
        return Kind::Single;
    case data::adDouble:
        return Kind::Double;
    case data::adCurrency:
    case data::adDecimal:
    case data::adNumeric:
        return Kind::Exact;
    case data::adDate:
    case data::adDBDate:
    case data::adDBTimeStamp:
        return Kind::Date;
    case data::adBinary:
    case data::adVarBinary:
    case data::adLongVarBinary:
        return Kind::Bytes;
    default:
        return Kind::Text;
    }
}

bool IsFloatingType(int ado_type) {
    return ado_type == data::adDouble || ado_type == data::adSingle;
}

bool IsBinaryType(int ado_type) {
    return ado_type == data::adBinary || ado_type == data::adVarBinary ||
           ado_type == data::adLongVarBinary;
}

// A value in its canonical text; nullopt is NULL.
using Canonical = std::optional<std::string>;

// One value of a row: canonical, or not readable from the Access file.
struct Cell {
    Canonical value;
    bool unreadable = false;
};

// The shortest text of a double; zero without sign, as the server shows it either way.
std::string DoubleText(double number) {
    std::string text;
    data::AppendDouble(text, number == 0 ? 0.0 : number);
    return text;
}

// A plain decimal number (sign, digits, point, digits) without leading and trailing zeros, "0"
// for zero; nullopt for any other text.
std::optional<std::string> PlainDecimal(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    const std::size_t whole_start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    std::string_view whole = text.substr(whole_start, i - whole_start);
    std::string_view fraction;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction_start = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        fraction = text.substr(fraction_start, i - fraction_start);
    }
    if (i != text.size() || (whole.empty() && fraction.empty()))
        return std::nullopt;
    while (!whole.empty() && whole.front() == '0')
        whole.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);
    if (whole.empty() && fraction.empty())
        return std::string("0");
    std::string plain = negative ? "-" : "";
    plain += whole.empty() ? std::string_view("0") : whole;
    if (!fraction.empty()) {
        plain += '.';
        plain += fraction;
    }
    return plain;
}

// The exact decimal value of a double (every finite double has one, of at most 1074 decimals),
// so that a decimal stored as a floating-point number equals the Access value only when it
// holds exactly that value.
std::string ExactDecimal(double number) {
    if (!std::isfinite(number))
        return DoubleText(number);
    std::string buffer(1500, '\0');
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number,
                                   std::chars_format::fixed, 1074);
    if (ec != std::errc())
        return DoubleText(number);
    buffer.resize(static_cast<std::size_t>(end - buffer.data()));
    return PlainDecimal(buffer).value_or(buffer);
}

bool ParseDouble(std::string_view text, double& number) {
    if (text.empty())
        return false;
    const char* first = text.data();
    if (*first == '+')
        ++first;
    auto [end, ec] = std::from_chars(first, text.data() + text.size(), number);
    return ec == std::errc() && end == text.data() + text.size();
}

// The Access value as the conversion writes it (for text, bytes and GUIDs, the value itself).
Canonical AccessCanonical(Kind kind, const data::Value& value) {
    struct Visitor {
        Kind kind;
        Canonical operator()(std::monostate) const { return std::nullopt; }
        Canonical operator()(bool flag) const { return std::string(flag ? "1" : "0"); }
        Canonical operator()(std::int64_t number) const {
            if (kind == Kind::Bool)
                return std::string(number != 0 ? "1" : "0");
            std::string text;
            data::AppendInteger(text, number);
            return text;
        }
        // A single is compared as the double it is exactly, so that a server column that holds
        // it as a double compares equal only when it holds that very number.
        Canonical operator()(float number) const { return DoubleText(number); }
        Canonical operator()(double number) const { return DoubleText(number); }
        Canonical operator()(const data::Decimal& number) const {
            return PlainDecimal(number.text).value_or(number.text);
        }
        Canonical operator()(const data::DateTime& date) const { return data::FormatSQLDate(date); }
        Canonical operator()(const std::string& text) const { return text; }
        Canonical operator()(const data::Bytes& bytes) const { return bytes.data; }
        Canonical operator()(const data::Guid& guid) const { return guid.text; }
    };
    return std::visit(Visitor{kind}, value);
}

// A server value (its text, as the server sends it) in the canonical form of the Access
// column's kind; a text that has no such form stays as it is, and so differs.
Canonical ServerCanonical(Kind kind, int server_type, const data::Value& value) {
    const auto* text = std::get_if<std::string>(&value);
    if (!text)
        return std::nullopt;
    switch (kind) {
    case Kind::Text:
    case Kind::Bytes:
        return *text;
    case Kind::Date: {
        // A date column has no time of day; a datetime(6) column shows fractions of a second.
        if (text->size() == 10 && (*text)[4] == '-' && (*text)[7] == '-')
            return *text + " 00:00:00";
        if (text->size() > 20 && (*text)[19] == '.' &&
            text->find_first_not_of('0', 20) == std::string::npos)
            return text->substr(0, 19);
        return *text;
    }
    case Kind::Single:
    case Kind::Double: {
        double number = 0;
        if (ParseDouble(*text, number))
            return DoubleText(number);
        return *text;
    }
    case Kind::Bool:
        if (IsBinaryType(server_type) && !text->empty() && text->size() <= 8) {
            std::uint64_t number = 0; // a BIT column
            for (const unsigned char byte : *text)
                number = (number << 8) | byte;
            return std::to_string(number);
        }
        [[fallthrough]];
    case Kind::Integer:
    case Kind::Exact: {
        double number = 0;
        if (IsFloatingType(server_type) && ParseDouble(*text, number))
            return ExactDecimal(number);
        return PlainDecimal(*text).value_or(*text);
    }
    }
    return *text;
}

// ---- Showing values -------------------------------------------------------------------------

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
        data::DecodeUtf8(text, i, code);
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
        if (!data::DecodeUtf8(text, i, code)) {
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
    if (!ParseDouble(text, number) || static_cast<double>(static_cast<float>(number)) != number)
        return ShowPlain(text);
    std::string shown;
    data::AppendSingle(shown, static_cast<float>(number));
    return shown;
}

std::string Show(Kind kind, const Cell& cell, std::size_t from = 0) {
    if (cell.unreadable)
        return "（无法读取）";
    if (!cell.value)
        return "NULL";
    switch (kind) {
    case Kind::Text:
        return ShowText(*cell.value, from);
    case Kind::Bytes:
        return ShowBytes(*cell.value, from);
    case Kind::Single:
        return ShowSingle(*cell.value);
    default:
        return ShowPlain(*cell.value);
    }
}

// Both sides of a differing value; long texts and bytes are shown from shortly before where
// they start to differ, and two singles that would look the same are shown as doubles.
std::pair<std::string, std::string> ShowPair(Kind kind, const Cell& access, const Cell& server) {
    std::size_t from = 0;
    if ((kind == Kind::Text || kind == Kind::Bytes) && access.value && server.value &&
        !access.unreadable) {
        const std::string& a = *access.value;
        const std::string& b = *server.value;
        const std::size_t common = static_cast<std::size_t>(
            std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
            a.begin());
        if (kind == Kind::Bytes) {
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
    std::pair<std::string, std::string> shown{Show(kind, access, from), Show(kind, server, from)};
    if (shown.first == shown.second && access.value && server.value)
        shown = {ShowPlain(*access.value), ShowPlain(*server.value)};
    return shown;
}

// ---- The comparison -------------------------------------------------------------------------

void AppendQuotedName(std::string& out, std::string_view name) {
    out += '`';
    data::AppendNameText(out, name);
    out += '`';
}

std::string QuotedText(std::string_view text) {
    std::string out = "'";
    data::AppendEscapedText(out, text);
    out += '\'';
    return out;
}

// The key of a row in one string: each part with its length, so that no two keys meet.
void AppendKeyPart(std::string& key, const Canonical& part) {
    if (!part) {
        key += "N;";
        return;
    }
    key += std::to_string(part->size());
    key += ':';
    key += *part;
}

std::uint64_t KeyHash(std::string_view key) {
    return std::hash<std::string_view>{}(key);
}

struct Column {
    std::string name; // as Access spells it
    int ado_type = 0;
    Kind kind = Kind::Text;
    // An OLE Object column whose values the conversion stored as the files they embed.
    bool unwrap_ole = false;
    // Position among the columns read from the server; -1 when the server lacks the column.
    int server = -1;
};

struct AccessRow {
    std::vector<Cell> cells;
    std::string key;         // the canonical key (keyed tables)
    std::string key_literal; // the key as SQL: "'5'" or "('5','x')"
    std::int64_t ordinal = 0;
};

// Compares one table; the Verifier makes one for each table.
class TableComparison {
public:
    // Compares the Access table `result.table`, or with `child` the child rows of a complex
    // column (paired in order).
    TableComparison(engine::Cls_Convertion& engine, const std::function<bool()>& stop,
                    std::size_t example_limit, bool ole_contents, TableVerification& result,
                    const engine::ChildTable* child = nullptr)
        : source_(engine.SourceDB()), server_(engine.DestinationDB()), stop_(stop),
          example_limit_(example_limit), ole_contents_(ole_contents), result_(result),
          child_(child) {}

    void Run(const std::string& server_table) {
        table_ = server_table;
        std::unique_ptr<data::Recordset> rs;
        try {
            rs = child_ ? source_.OpenComplexValues(child_->parent, child_->column.column)
                        : source_.OpenTable(result_.table);
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取 Access 表：") + e.what());
            return;
        }
        ReadColumns(*rs);
        try {
            MatchServerColumns();
            result_.server_rows = CountServerRows();
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取服务器上的表：") + e.what());
            return;
        }
        if (!child_)
            ChooseKey();
        if (!CompareRows(*rs))
            return;
        rs->Close();
        result_.differing_rows += result_.missing_rows + result_.extra_rows;
        const bool same = result_.differing_rows == 0 && result_.differing_values == 0 &&
                          result_.missing_columns.empty() && result_.extra_columns.empty() &&
                          result_.access_rows == result_.server_rows;
        result_.outcome =
            same ? TableVerification::Outcome::Identical : TableVerification::Outcome::Different;
    }

private:
    void Fail(const std::string& error) {
        result_.outcome = TableVerification::Outcome::Failed;
        result_.error = error;
    }

    bool Stopped() const { return stop_ && stop_(); }

    void ReadColumns(data::Recordset& rs) {
        for (int i = 0; i < rs.FieldCount(); ++i) {
            data::Field& field = rs.GetField(i);
            columns_.push_back({field.Name(), field.Type(), KindOf(field.Type()),
                                ole_contents_ && field.SourceType() == data::kAccessOleType});
        }
    }

    // Finds each Access column among the server table's columns, without regard to case, and
    // builds the list of what is read from the server.
    void MatchServerColumns() {
        std::string query = "SELECT COLUMN_NAME, DATA_TYPE FROM information_schema.COLUMNS "
                            "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ";
        query += QuotedText(table_);
        query += " ORDER BY ORDINAL_POSITION";
        struct ServerColumn {
            std::string name;
            std::string type;
            bool used = false;
        };
        std::vector<ServerColumn> server_columns;
        auto rs = server_.OpenRecordset(query);
        for (; !rs->IsEOF(); rs->MoveNext()) {
            ServerColumn column;
            if (const auto* name = std::get_if<std::string>(&rs->GetField(0).GetValue()))
                column.name = *name;
            if (const auto* type = std::get_if<std::string>(&rs->GetField(1).GetValue()))
                column.type = data::Utf8ToLower(*type);
            server_columns.push_back(std::move(column));
        }
        rs->Close();
        int read = 0;
        for (Column& column : columns_) {
            const std::string wanted = data::Utf8ToLower(column.name);
            auto found = std::find_if(
                server_columns.begin(), server_columns.end(), [&](const ServerColumn& candidate) {
                    return !candidate.used && data::Utf8ToLower(candidate.name) == wanted;
                });
            if (found == server_columns.end()) {
                result_.missing_columns.push_back(column.name);
                continue;
            }
            found->used = true;
            column.server = read++;
            // A float column's text is cut to six digits; as a double it is exact.
            std::string expression;
            AppendQuotedName(expression, found->name);
            if (found->type == "float")
                expression = "(" + expression + " + 0e0)";
            if (!select_list_.empty())
                select_list_ += ", ";
            select_list_ += expression;
            server_expressions_.push_back(std::move(expression));
        }
        for (const ServerColumn& column : server_columns)
            if (!column.used)
                result_.extra_columns.push_back(column.name);
        from_ = " FROM ";
        AppendQuotedName(from_, table_);
    }

    std::int64_t CountServerRows() {
        auto rs = server_.OpenRecordset("SELECT COUNT(*)" + from_);
        std::int64_t rows = 0;
        if (!rs->IsEOF())
            if (const auto* text = std::get_if<std::string>(&rs->GetField(0).GetValue()))
                std::from_chars(text->data(), text->data() + text->size(), rows);
        rs->Close();
        return rows;
    }

    // The primary key, else a unique index whose columns always hold a value; every column of
    // it must be on the server too.
    void ChooseKey() {
        data::TableSchema schema;
        try {
            schema = source_.ReadTableSchema(result_.table);
        } catch (const data::DataAccessError&) {
            return; // paired in order
        }
        auto usable = [&](const data::IndexSchema& index, bool need_values) {
            if (index.columns.empty())
                return false;
            for (const auto& part : index.columns) {
                auto column = std::find_if(columns_.begin(), columns_.end(),
                                           [&](const Column& c) { return c.name == part.name; });
                if (column == columns_.end() || column->server < 0)
                    return false;
                if (need_values) {
                    auto definition = std::find_if(
                        schema.columns.begin(), schema.columns.end(),
                        [&](const data::ColumnSchema& c) { return c.name == part.name; });
                    if (definition == schema.columns.end() ||
                        !(definition->required || column->ado_type == data::adBoolean))
                        return false;
                }
            }
            return true;
        };
        const data::IndexSchema* chosen = nullptr;
        for (const auto& index : schema.indexes)
            if (index.primary && usable(index, false))
                chosen = &index;
        if (!chosen && std::none_of(schema.indexes.begin(), schema.indexes.end(),
                                    [](const data::IndexSchema& index) { return index.primary; }))
            for (const auto& index : schema.indexes)
                if (!chosen && index.unique && usable(index, true))
                    chosen = &index;
        if (!chosen)
            return;
        for (const auto& part : chosen->columns) {
            const auto at = std::find_if(columns_.begin(), columns_.end(),
                                         [&](const Column& c) { return c.name == part.name; }) -
                            columns_.begin();
            key_.push_back(static_cast<std::size_t>(at));
            result_.key.push_back(part.name);
            if (!key_select_.empty())
                key_select_ += ", ";
            key_select_ += server_expressions_[static_cast<std::size_t>(columns_[at].server)];
        }
        if (key_.size() > 1)
            key_tuple_ = "(" + key_select_ + ")";
        else
            key_tuple_ = key_select_;
    }

    // A key value as an SQL literal of its canonical text, which the server compares with the
    // column's value exactly as the canonical forms compare (bytes as a hex literal).
    void AppendKeyLiteral(std::string& out, std::size_t column, const Cell& cell) const {
        if (!cell.value || cell.unreadable)
            out += "NULL";
        else if (columns_[column].kind == Kind::Bytes)
            data::AppendHexLiteral(out, *cell.value);
        else
            out += QuotedText(*cell.value);
    }

    // Reads the next chunk of Access rows; false when the table has no more.
    bool ReadChunk(data::Recordset& rs) {
        chunk_.clear();
        std::size_t bytes = 0;
        std::size_t key_bytes = 0;
        while (!rs.IsEOF() && chunk_.size() < kChunkRows && bytes < kChunkBytes &&
               key_bytes < kKeyListBytes) {
            AccessRow& row = chunk_.emplace_back();
            row.ordinal = ++result_.access_rows;
            row.cells.resize(columns_.size());
            for (std::size_t i = 0; i < columns_.size(); ++i) {
                Cell& cell = row.cells[i];
                try {
                    const data::Value& value = rs.GetField(static_cast<int>(i)).GetValue();
                    cell.value = AccessCanonical(columns_[i].kind, value);
                    if (columns_[i].unwrap_ole && cell.value)
                        if (auto contents = data::ExtractOleContents(*cell.value))
                            cell.value = std::move(contents->data);
                } catch (const data::DataAccessError&) {
                    cell.unreadable = true; // the conversion wrote NULL; it is no proof
                }
                if (cell.value)
                    bytes += cell.value->size();
            }
            if (!key_.empty()) {
                for (std::size_t part = 0; part < key_.size(); ++part) {
                    const Cell& cell = row.cells[key_[part]];
                    AppendKeyPart(row.key, cell.value);
                    row.key_literal += part == 0 ? (key_.size() > 1 ? "(" : "") : ",";
                    AppendKeyLiteral(row.key_literal, key_[part], cell);
                }
                if (key_.size() > 1)
                    row.key_literal += ')';
                key_bytes += row.key_literal.size();
            }
            rs.MoveNext();
        }
        return !chunk_.empty();
    }

    // Compares every Access row with its server row, chunk by chunk; false when the comparison
    // failed or was stopped (the result says which).
    bool CompareRows(data::Recordset& rs) {
        std::int64_t paired = 0;
        std::int64_t duplicates = 0;
        try {
            for (;;) {
                if (Stopped()) {
                    result_.outcome = TableVerification::Outcome::Cancelled;
                    return false;
                }
                bool more = false;
                try {
                    more = ReadChunk(rs);
                } catch (const data::DataAccessError& e) {
                    Fail(std::string("无法读取 Access 表：") + e.what());
                    return false;
                }
                if (!more)
                    break;
                if (key_.empty())
                    CompareChunkInOrder();
                else
                    CompareChunkByKey(paired, duplicates);
            }
            if (key_.empty()) {
                // Server rows after the last Access row are extra; their places name them.
                for (std::int64_t row = result_.access_rows; row < result_.server_rows; ++row) {
                    ++result_.extra_rows;
                    AddExample(VerifyDifference::Kind::ExtraRow, PlaceLabel(row + 1));
                }
            } else {
                result_.extra_rows += duplicates;
                const std::int64_t unmatched = result_.server_rows - paired - duplicates;
                if (unmatched > 0) {
                    result_.extra_rows += unmatched;
                    NameExtraRows(unmatched);
                }
            }
        } catch (const data::DataAccessError& e) {
            Fail(std::string("读取服务器上的表失败：") + e.what());
            return false;
        }
        return true;
    }

    // Pairs the chunk with the next server rows in table-scan order (no index, so that the
    // order is the table's own: the order of insertion for a table the conversion made).
    void CompareChunkInOrder() {
        const std::int64_t offset = chunk_.front().ordinal - 1;
        std::string query = "SELECT " + SelectList() + from_ + " USE INDEX () LIMIT " +
                            std::to_string(chunk_.size()) + " OFFSET " + std::to_string(offset);
        auto rs = server_.OpenRecordset(query);
        std::size_t at = 0;
        for (; !rs->IsEOF() && at < chunk_.size(); rs->MoveNext(), ++at)
            CompareRow(chunk_[at], *rs);
        rs->Close();
        for (; at < chunk_.size(); ++at) {
            ++result_.missing_rows;
            AddExample(VerifyDifference::Kind::MissingRow, PlaceLabel(chunk_[at].ordinal));
        }
    }

    // Fetches the server rows with the chunk's keys and pairs them by key (exactly: a server
    // key that only the collation takes as equal is no pair).
    void CompareChunkByKey(std::int64_t& paired, std::int64_t& duplicates) {
        std::unordered_map<std::string_view, std::size_t> position;
        position.reserve(chunk_.size());
        std::string query = "SELECT " + SelectList() + from_ + " WHERE " + key_tuple_ + " IN (";
        for (std::size_t i = 0; i < chunk_.size(); ++i) {
            position.emplace(chunk_[i].key, i);
            query += i ? "," : "";
            query += chunk_[i].key_literal;
            access_keys_.push_back(KeyHash(chunk_[i].key));
        }
        query += ')';
        std::vector<char> matched(chunk_.size(), 0);
        auto rs = server_.OpenRecordset(query);
        std::string key;
        for (; !rs->IsEOF(); rs->MoveNext()) {
            key.clear();
            for (const std::size_t k : key_)
                AppendKeyPart(key, ServerCell(*rs, k).value);
            const auto found = position.find(key);
            if (found == position.end())
                continue; // counted and named with the extra rows
            AccessRow& row = chunk_[found->second];
            if (matched[found->second]) {
                ++duplicates;
                AddExample(VerifyDifference::Kind::ExtraRow, KeyLabel(row.cells));
                continue;
            }
            matched[found->second] = 1;
            ++paired;
            CompareRow(row, *rs);
        }
        rs->Close();
        for (std::size_t i = 0; i < chunk_.size(); ++i) {
            if (matched[i])
                continue;
            ++result_.missing_rows;
            AddExample(VerifyDifference::Kind::MissingRow, KeyLabel(chunk_[i].cells));
        }
    }

    // Names server rows whose key no Access row has, from a scan of the server's keys against
    // the hashes of the Access keys, until enough examples are found.
    void NameExtraRows(std::int64_t unmatched) {
        std::sort(access_keys_.begin(), access_keys_.end());
        std::int64_t offset = 0;
        std::int64_t named = 0;
        std::string key;
        while (named < unmatched && row_examples_ < example_limit_ && !Stopped()) {
            const std::string query = "SELECT " + key_select_ + from_ + " LIMIT " +
                                      std::to_string(kKeyScanRows) + " OFFSET " +
                                      std::to_string(offset);
            auto rs = server_.OpenRecordset(query);
            std::int64_t rows = 0;
            for (; !rs->IsEOF(); rs->MoveNext(), ++rows) {
                std::vector<Cell> cells(columns_.size());
                key.clear();
                for (std::size_t part = 0; part < key_.size(); ++part) {
                    const std::size_t k = key_[part];
                    cells[k].value = ServerCanonical(
                        columns_[k].kind, rs->GetField(static_cast<int>(part)).Type(),
                        rs->GetField(static_cast<int>(part)).GetValue());
                    AppendKeyPart(key, cells[k].value);
                }
                if (std::binary_search(access_keys_.begin(), access_keys_.end(), KeyHash(key)))
                    continue;
                ++named;
                AddExample(VerifyDifference::Kind::ExtraRow, KeyLabel(cells));
            }
            rs->Close();
            if (rows < static_cast<std::int64_t>(kKeyScanRows))
                break;
            offset += rows;
        }
    }

    std::string SelectList() const { return select_list_.empty() ? "NULL" : select_list_; }

    Cell ServerCell(data::Recordset& rs, std::size_t column) const {
        data::Field& field = rs.GetField(columns_[column].server);
        return Cell{ServerCanonical(columns_[column].kind, field.Type(), field.GetValue())};
    }

    void CompareRow(const AccessRow& row, data::Recordset& rs) {
        bool differs = false;
        std::string label;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (columns_[i].server < 0)
                continue;
            const Cell server = ServerCell(rs, i);
            const Cell& access = row.cells[i];
            if (!access.unreadable && access.value == server.value)
                continue;
            differs = true;
            ++result_.differing_values;
            if (value_examples_ >= example_limit_)
                continue;
            ++value_examples_;
            if (label.empty())
                label = key_.empty() ? PlaceLabel(row.ordinal) : KeyLabel(row.cells);
            auto [shown_access, shown_server] = ShowPair(columns_[i].kind, access, server);
            result_.examples.push_back({VerifyDifference::Kind::Value, label, columns_[i].name,
                                        std::move(shown_access), std::move(shown_server)});
        }
        if (differs)
            ++result_.differing_rows;
    }

    void AddExample(VerifyDifference::Kind kind, std::string row) {
        if (row_examples_ >= example_limit_)
            return;
        ++row_examples_;
        result_.examples.push_back({kind, std::move(row), {}, {}, {}});
    }

    // "ID=5", or "A=1, B=\"x\"" for a key of several columns.
    std::string KeyLabel(const std::vector<Cell>& cells) const {
        std::string label;
        for (const std::size_t k : key_) {
            if (!label.empty())
                label += ", ";
            label += columns_[k].name + "=" + Show(columns_[k].kind, cells[k]);
        }
        return label;
    }

    static std::string PlaceLabel(std::int64_t ordinal) {
        return "第 " + std::to_string(ordinal) + " 行";
    }

    data::Connection& source_;
    data::Connection& server_;
    const std::function<bool()>& stop_;
    // The first example_limit_ differing values are kept, and the first example_limit_ missing
    // or extra rows.
    std::size_t example_limit_;
    bool ole_contents_;
    std::size_t value_examples_ = 0;
    std::size_t row_examples_ = 0;
    TableVerification& result_;
    std::string table_;
    std::vector<Column> columns_;
    // What is read from the server for each column it has, in order: the column's name, a
    // float column as a double.
    std::vector<std::string> server_expressions_;
    std::string select_list_;
    std::string from_;
    std::vector<std::size_t> key_; // Access column positions of the key
    std::string key_select_;       // the key's server expressions, "a, b"
    std::string key_tuple_;        // the same for IN: "a" or "(a, b)"
    std::vector<AccessRow> chunk_;
    std::vector<std::uint64_t> access_keys_;
    const engine::ChildTable* child_;
};

std::string TableLabel(const std::string& name) {
    return "表 '" + name + "'";
}

std::string ColumnList(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names)
        list += (list.empty() ? "'" : "、'") + name + "'";
    return list;
}

} // namespace

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

Verifier::Verifier(engine::Cls_Convertion& engine) : engine_(engine) {}

void Verifier::UseDatabase(const std::string& database) {
    engine_.SelectDB(database);
    server_tables_.clear();
    auto rs = engine_.DestinationDB().OpenRecordset(
        "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() "
        "AND TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED')");
    for (; !rs->IsEOF(); rs->MoveNext())
        if (const auto* name = std::get_if<std::string>(&rs->GetField(0).GetValue()))
            server_tables_.push_back(*name);
    rs->Close();
}

const std::string* Verifier::FindServerTable(const std::string& name) const {
    // The conversion's lower-cased name first; a table another tool made may keep the case.
    const std::string lower = data::Utf8ToLower(name);
    auto found = std::find(server_tables_.begin(), server_tables_.end(), lower);
    if (found == server_tables_.end())
        found = std::find_if(
            server_tables_.begin(), server_tables_.end(),
            [&](const std::string& table) { return data::Utf8ToLower(table) == lower; });
    return found == server_tables_.end() ? nullptr : &*found;
}

TableVerification Verifier::VerifyTable(const std::string& table) {
    TableVerification result;
    result.table = table;
    const std::string* found = FindServerTable(table);
    if (!found) {
        result.outcome = TableVerification::Outcome::Missing;
        return result;
    }
    TableComparison comparison(engine_, Stop, example_limit, ole_contents, result);
    comparison.Run(*found);
    return result;
}

std::vector<TableVerification> Verifier::VerifyChildTables(const std::string& table) {
    std::vector<TableVerification> results;
    if (!children_) {
        try {
            children_ = engine::SourceChildTables(engine_.SourceDB());
        } catch (const data::DataAccessError& e) {
            TableVerification& result = results.emplace_back();
            result.table = table;
            result.outcome = TableVerification::Outcome::Failed;
            result.error = std::string("无法读取 Access 表的列表：") + e.what();
            return results;
        }
    }
    for (const auto& child : *children_) {
        if (child.parent != table)
            continue;
        TableVerification& result = results.emplace_back();
        result.table = child.name;
        const std::string* found = FindServerTable(child.name);
        if (!found) {
            result.outcome = TableVerification::Outcome::Missing;
            continue;
        }
        TableComparison comparison(engine_, Stop, example_limit, ole_contents, result, &child);
        comparison.Run(*found);
        if (result.outcome == TableVerification::Outcome::Cancelled)
            break;
    }
    return results;
}

VerifyReport VerifyTables(engine::Cls_Convertion& engine, const RunWindow& window,
                          const VerifyPrinter& print, const std::function<bool()>& stop) {
    VerifyReport report;
    Verifier verifier(engine);
    verifier.Stop = stop;
    verifier.ole_contents = window.OleContentsValue() != 0;
    const std::string database = window.DatabaseName();
    try {
        verifier.UseDatabase(database);
    } catch (const data::DataAccessError& e) {
        report.outcome = VerifyReport::Outcome::ServerUnavailable;
        report.error = "无法核对数据库 '" + database + "'：" + e.what();
        return report;
    }
    int identical = 0;
    int different = 0;
    bool stopped = false;
    for (int i = 0; i < window.TableCount() && !stopped; ++i) {
        if (!window.TableTicked(i))
            continue;
        // The table, then the child tables of its complex columns.
        std::vector<TableVerification> tables{verifier.VerifyTable(window.TableText(i))};
        if (tables.front().outcome != TableVerification::Outcome::Cancelled)
            for (auto& child : verifier.VerifyChildTables(window.TableText(i)))
                tables.push_back(std::move(child));
        for (auto& table : tables) {
            if (stopped)
                break;
            for (const std::string& line : DescribeVerification(table))
                print(line);
            (table.Identical() ? identical : different) += 1;
            if (table.outcome == TableVerification::Outcome::Cancelled) {
                stopped = true;
            } else if (table.outcome == TableVerification::Outcome::Failed &&
                       engine.DestinationDB().ConnectionLost()) {
                report.outcome = VerifyReport::Outcome::ServerUnavailable;
                report.error = "与 MySQL 服务器的连接中断，核对未完成";
                stopped = true;
            }
            report.tables.push_back(std::move(table));
        }
    }
    if (report.outcome == VerifyReport::Outcome::ServerUnavailable)
        return report;
    if (stopped) {
        print("核对已中断：" + std::to_string(identical) + " 个表一致，" +
              std::to_string(different) + " 个表不一致或未核对完");
        report.outcome = VerifyReport::Outcome::Different;
    } else if (identical == 0 && different == 0) {
        print("核对完成：没有要核对的表");
    } else if (different == 0) {
        print("核对完成：" + std::to_string(identical) + " 个表全部一致");
    } else {
        print("核对完成：" + std::to_string(identical) + " 个表一致，" + std::to_string(different) +
              " 个表不一致");
        report.outcome = VerifyReport::Outcome::Different;
    }
    return report;
}

VerifyReport VerifyConversion(engine::Cls_Convertion& engine, const RunWindow& window,
                              const RunSummary& summary, const VerifyPrinter& print,
                              const std::function<bool()>& stop) {
    VerifyReport report;
    report.outcome = VerifyReport::Outcome::NothingToVerify;
    if (window.Scenario() == 1)
        print("只写入了脚本文件：服务器上没有可核对的表");
    else if (summary.cancelled)
        print("转换已中断：不核对");
    else if (summary.database_failed)
        print("数据库未能创建：服务器上没有可核对的表");
    else if (window.NoDataValue() != 0)
        print("只复制了结构：没有可核对的行");
    else
        return VerifyTables(engine, window, print, stop);
    return report;
}

} // namespace tw::run
