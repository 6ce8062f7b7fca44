#include "tablewright/mysql/MySqlDialect.h"

#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <set>

namespace tw::data {

namespace {

// The longest comment MySQL keeps on a column and on a table, in characters.
constexpr std::size_t kColumnCommentChars = 1024;
constexpr std::size_t kTableCommentChars = 2048;
// The longest name of an index, in characters.
constexpr std::size_t kNameChars = 64;
// Bytes per character of utf8mb4, the character set of every table.
constexpr int kBytesPerChar = 4;

std::string Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

bool IsTextType(int ado_type) {
    switch (ado_type) {
    case adChar:
    case adWChar:
    case adVarChar:
    case adVarWChar:
    case adLongVarChar:
    case adLongVarWChar:
        return true;
    default:
        return false;
    }
}

bool IsLongType(int ado_type) {
    return ado_type == adLongVarChar || ado_type == adLongVarWChar || ado_type == adLongVarBinary ||
           ado_type == adBinary || ado_type == adVarBinary;
}

bool IsNumberType(int ado_type) {
    switch (ado_type) {
    case adSmallInt:
    case adInteger:
    case adSingle:
    case adDouble:
    case adCurrency:
    case adDecimal:
    case adTinyInt:
    case adUnsignedTinyInt:
    case adUnsignedSmallInt:
    case adUnsignedInt:
    case adBigInt:
    case adUnsignedBigInt:
    case adNumeric:
        return true;
    default:
        return false;
    }
}

bool IsDateType(int ado_type) {
    return ado_type == adDate || ado_type == adDBDate || ado_type == adDBTimeStamp;
}

// A plain decimal number: optional sign, digits, optional point and digits.
bool IsNumberLiteral(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    std::size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            ++digits;
        else if (text[i] == '.' && !point)
            point = true;
        else
            return false;
    }
    return digits > 0;
}

// The text of an Access string literal "..." (inner "" for one "), or false when `text` is not
// exactly one such literal.
bool UnquoteAccessString(std::string_view text, std::string& out) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    out.clear();
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 2 < text.size() && text[i + 1] == '"') {
                out += '"';
                ++i;
                continue;
            }
            return false; // a second literal or an expression after the first
        }
        out += text[i];
    }
    return true;
}

void AppendStringLiteral(std::string& out, std::string_view text) {
    out += '\'';
    AppendEscapedText(out, text);
    out += '\'';
}

// The bytes one column needs in an index key (a guess from above for fixed-size kinds);
// `unbounded` for memo and binary kinds, which an index can only hold by a prefix.
constexpr int kUnbounded = std::numeric_limits<int>::max();
int KeyBytes(const ColumnSchema& column) {
    const std::string type = MySqlDialect::ColumnType(column);
    if (type.rfind("varchar(", 0) == 0 || type.rfind("char(", 0) == 0) {
        const int chars = std::atoi(type.c_str() + type.find('(') + 1);
        return std::max(1, chars) * kBytesPerChar;
    }
    if (IsLongType(column.ado_type) || type.find("text") != std::string::npos ||
        type.find("blob") != std::string::npos)
        return kUnbounded;
    if (column.ado_type == adDecimal || column.ado_type == adNumeric ||
        column.ado_type == adCurrency)
        return 32;
    return 8;
}

// True when the column holds characters (its prefix lengths count characters, not bytes).
bool HoldsCharacters(const ColumnSchema& column) {
    const std::string type = MySqlDialect::ColumnType(column);
    return type.find("char") != std::string::npos || type.find("text") != std::string::npos;
}

// One index as the destination will hold it.
struct KeyDefinition {
    std::string name; // lower-cased, unique within the table; empty for the primary key
    std::vector<std::string> parts;  // "`col`", "`col`(n)", "`col` DESC"
    std::vector<std::string> values; // what each part compares: "`col`", "LEFT(`col`, n)"
    bool primary = false;
    bool unique = false;
    bool prefixed = false;
};

// The index's column parts, with prefix lengths where the columns would not fit the engine's
// key size otherwise; false when a column is not in the table.
bool BuildKeyParts(const IndexSchema& index, const TableSchema& table, int max_bytes,
                   KeyDefinition& key) {
    struct Part {
        const ColumnSchema* column;
        bool descending;
        int need;
        int given = 0;
    };
    std::vector<Part> parts;
    for (const auto& ic : index.columns) {
        const auto found = std::find_if(table.columns.begin(), table.columns.end(),
                                        [&](const ColumnSchema& c) { return c.name == ic.name; });
        if (found == table.columns.end())
            return false;
        parts.push_back({&*found, ic.descending, KeyBytes(*found)});
    }
    // Fixed-size columns take what they need; text and binary share the rest fairly, the
    // shortest first, so that only the columns too long for their share get a prefix.
    int budget = max_bytes;
    std::vector<Part*> sized;
    for (auto& part : parts) {
        const bool variable = part.need == kUnbounded || HoldsCharacters(*part.column);
        if (variable)
            sized.push_back(&part);
        else
            budget -= part.need;
    }
    std::sort(sized.begin(), sized.end(),
              [](const Part* a, const Part* b) { return a->need < b->need; });
    for (std::size_t i = 0; i < sized.size(); ++i) {
        const int share = std::max(kBytesPerChar, budget / static_cast<int>(sized.size() - i));
        // InnoDB takes at most 3072 bytes of one column into a key.
        sized[i]->given = std::min({sized[i]->need, share, 3072});
        budget -= sized[i]->given;
    }
    for (const auto& part : parts) {
        std::string text;
        MySqlDialect::AppendName(text, part.column->name);
        std::string value = text;
        if (part.given > 0 && part.given < part.need) {
            const bool bytes = !HoldsCharacters(*part.column);
            const int length = bytes ? part.given : std::max(1, part.given / kBytesPerChar);
            value = "LEFT(" + text + ", " + std::to_string(length) + ")";
            text += "(" + std::to_string(length) + ")";
            key.prefixed = true;
        }
        key.values.push_back(std::move(value));
        if (part.descending)
            text += " DESC";
        key.parts.push_back(std::move(text));
    }
    return !key.parts.empty();
}

// A lower-cased index name that no other index of the table has (names compare without case),
// within MySQL's length limit and never "primary".
std::string UniqueKeyName(const std::string& wanted, std::set<std::string>& taken) {
    std::string base = Utf8Prefix(Utf8ToLower(wanted.empty() ? "key" : wanted), kNameChars);
    if (AsciiLower(base) == "primary")
        base = "primary_";
    std::string name = base;
    for (int n = 2; !taken.insert(AsciiLower(name)).second; ++n) {
        const std::string suffix = "_" + std::to_string(n);
        name = Utf8Prefix(base, kNameChars - suffix.size()) + suffix;
    }
    return name;
}

// A query that returns a row when the table's rows would refuse the unique (or primary) key:
// two rows whose key values the server takes as equal (rows with a NULL in the key are not,
// except for a primary key, which takes no NULL).
std::string BreakingRows(const std::string& table_name, const KeyDefinition& key) {
    std::string all;
    std::string any_null;
    std::string none_null;
    for (std::size_t i = 0; i < key.values.size(); ++i) {
        const std::string& value = key.values[i];
        all += (i > 0 ? ", " : "") + value;
        any_null += (i > 0 ? " OR " : "") + value + " IS NULL";
        none_null += (i > 0 ? " AND " : "") + value + " IS NOT NULL";
    }
    std::string query = "SELECT 1 FROM " + table_name + " WHERE " + none_null + " GROUP BY " + all +
                        " HAVING COUNT(*) > 1";
    if (key.primary)
        query = "SELECT 1 FROM " + table_name + " WHERE " + any_null + " UNION ALL " + query;
    return query;
}

std::string KeyClause(const KeyDefinition& key, bool unique) {
    std::string clause;
    if (key.primary && unique) {
        clause = "PRIMARY KEY (";
    } else {
        clause = unique ? "UNIQUE KEY " : "KEY ";
        MySqlDialect::AppendName(clause, key.name);
        clause += " (";
    }
    for (std::size_t i = 0; i < key.parts.size(); ++i) {
        if (i > 0)
            clause += ", ";
        clause += key.parts[i];
    }
    clause += ')';
    return clause;
}

// The primary key that is declared with the table rather than added after the rows: one of
// whole numbers only. Its values cannot differ in a way the server might not see (no text, no
// collation), so rows Access kept apart are kept apart here too, and a transactional table is
// not rebuilt around it after the rows arrived. Null when keys are not carried or there is none.
const IndexSchema* PrimaryKeyWithTable(const TableSchema& table, const TableOptions& options) {
    if (!options.keys)
        return nullptr;
    for (const auto& index : table.indexes) {
        if (!index.primary)
            continue;
        for (const auto& part : index.columns) {
            const auto column =
                std::find_if(table.columns.begin(), table.columns.end(),
                             [&](const ColumnSchema& c) { return c.name == part.name; });
            if (column == table.columns.end() || !IsWholeNumberType(column->ado_type))
                return nullptr;
        }
        return index.columns.empty() ? nullptr : &index;
    }
    return nullptr;
}

// The AutoNumber column when it heads the primary key declared with the table: it is declared
// AUTO_INCREMENT there too.
const ColumnSchema* AutoNumberWithTable(const TableSchema& table, const TableOptions& options) {
    const IndexSchema* primary = PrimaryKeyWithTable(table, options);
    if (!primary)
        return nullptr;
    for (const auto& column : table.columns)
        if (column.auto_number == AutoNumber::Increment)
            return column.name == primary->columns.front().name ? &column : nullptr;
    return nullptr;
}

std::string ColumnLabel(const ColumnSchema& column) {
    return "列 '" + column.name + "'";
}

} // namespace

std::string MySqlDialect::TypeName(int ado_type) {
    // clang-format off
    switch (ado_type) {
    case adSmallInt: return "SmallInt";
    case adInteger: return "Int";
    case adSingle: return "Float";
    case adDouble: return "Double";
    // Access currency has 15 integer digits and 4 decimals.
    case adCurrency: return "decimal(19,4)";
    // A date keeps its time of day; timestamp(14) is refused by current servers.
    case adDate: return "DateTime";
    case adBoolean: return "TinyInt(1)";
    // Precision and scale follow from the field.
    case adDecimal: return "decimal";
    case adTinyInt: return "TinyInt";
    case adUnsignedTinyInt: return "TinyInt Unsigned";
    case adUnsignedSmallInt: return "SmallInt Unsigned";
    case adUnsignedInt: return "Int Unsigned";
    case adBigInt: return "BigInt";
    case adUnsignedBigInt: return "BigInt Unsigned";
    case adBinary: return "Blob";
    case adChar: return "Char";
    case adWChar: return "Char";
    case adNumeric: return "decimal";
    case adDBDate: return "Date";
    case adDBTime: return "Time";
    case adDBTimeStamp: return "DateTime";
    case adVarChar: return "Varchar";
    case adLongVarChar: return "MediumText";
    case adVarWChar: return "Varchar";
    case adLongVarWChar: return "MediumText";
    case adVarBinary: return "Blob";
    case adLongVarBinary: return "LongBlob";
    default: return "Varchar(255)";
    }
    // clang-format on
}

std::string MySqlDialect::TypeText(int ado_type, std::int32_t size, int precision, int scale) {
    std::string text = Utf8ToLower(TypeName(ado_type));
    if (text == "char" || text == "varchar") {
        text += "(" + std::to_string(size) + ")";
    } else if (text == "decimal") {
        // MySQL allows 65 digits and 30 decimals; a bare decimal would be decimal(10,0).
        const int p = std::clamp(precision, 1, 65);
        const int s = std::clamp(scale, 0, std::min(30, p));
        text += "(" + std::to_string(p) + "," + std::to_string(s) + ")";
    }
    return text;
}

std::string MySqlDialect::ColumnType(const ColumnSchema& column) {
    const std::string name = Utf8ToLower(TypeName(column.ado_type));
    const bool sized = name == "char" || name == "varchar";
    const bool decimal = name == "decimal";
    std::string type = TypeText(column.ado_type, sized ? column.size : 0,
                                decimal ? column.precision : 0, decimal ? column.scale : 0);
    // A time stamp's scale is the digits of its fraction of a second (Date/Time Extended has
    // 7); MySQL keeps at most 6.
    if (column.ado_type == adDBTimeStamp && column.scale > 0)
        type += "(" + std::to_string(std::min(column.scale, 6)) + ")";
    return type;
}

std::string MySqlDialect::ColumnComment(const ColumnSchema& column) {
    if (column.calculated_expression.empty())
        return column.description;
    const std::string expression = "Access 计算列：" + column.calculated_expression;
    return column.description.empty() ? expression : column.description + "（" + expression + "）";
}

std::string MySqlDialect::CommentClause(const ColumnSchema& column) {
    const std::string comment = ColumnComment(column);
    if (comment.empty())
        return {};
    std::string clause = " COMMENT ";
    AppendStringLiteral(clause, Utf8Prefix(comment, kColumnCommentChars));
    return clause;
}

std::string MySqlDialect::TableClause(const std::string& engine) {
    // Every current server knows ENGINE= (TYPE= is refused); utf8mb4 keeps any text intact
    // whatever the server's default character set is.
    return "ENGINE=" + engine + " DEFAULT CHARSET=utf8mb4";
}

void MySqlDialect::AppendName(std::string& out, std::string_view name) {
    out += '`';
    AppendNameText(out, Utf8ToLower(name));
    out += '`';
}

std::string MySqlDialect::UniqueName(std::string_view wanted, std::set<std::string>& taken) {
    return data::UniqueName(wanted, taken, kMaxNameChars);
}

std::string MySqlDialect::DropTable(std::string_view table) {
    std::string statement = "DROP TABLE IF EXISTS ";
    AppendName(statement, table);
    statement += ';';
    return statement;
}

std::string MySqlDialect::DefaultValue(const ColumnSchema& column) {
    std::string expression = Trimmed(column.default_expression);
    if (!expression.empty() && expression.front() == '=')
        expression = Trimmed(std::string_view(expression).substr(1));
    if (expression.empty())
        return {};
    const std::string lower = AsciiLower(expression);
    const int type = column.ado_type;
    if (type == adBoolean) {
        if (lower == "yes" || lower == "true" || lower == "on" || lower == "-1" || lower == "1")
            return "1";
        if (lower == "no" || lower == "false" || lower == "off" || lower == "0")
            return "0";
        return {};
    }
    if (IsNumberType(type))
        return IsNumberLiteral(expression) ? expression : std::string();
    if (IsTextType(type)) {
        std::string text;
        if (!UnquoteAccessString(expression, text)) {
            if (!IsNumberLiteral(expression))
                return {};
            text = expression; // a number typed into a text column's default is its text
        }
        if (type != adLongVarWChar && type != adLongVarChar &&
            Utf8CharCount(text) > static_cast<std::size_t>(std::max(0, column.size)))
            return {};
        std::string literal;
        AppendStringLiteral(literal, text);
        return literal;
    }
    if (IsDateType(type)) {
        // A column with fractions of a second takes the current time with as many digits.
        if (lower == "now()" && type == adDBTimeStamp && column.scale > 0)
            return "CURRENT_TIMESTAMP(" + std::to_string(std::min(column.scale, 6)) + ")";
        if (lower == "now()")
            return "CURRENT_TIMESTAMP";
        if (lower == "date()")
            return "(CURRENT_DATE)";
    }
    return {};
}

std::string MySqlDialect::CreateTable(const TableSchema& table, const TableOptions& options,
                                      std::vector<std::string>* notes) {
    auto note = [&](std::string text) {
        if (notes)
            notes->push_back(std::move(text));
    };
    std::set<std::string> primary_columns;
    if (options.keys) {
        for (const auto& index : table.indexes)
            if (index.primary)
                for (const auto& column : index.columns)
                    primary_columns.insert(column.name);
    }
    const IndexSchema* primary = PrimaryKeyWithTable(table, options);
    const ColumnSchema* counter = AutoNumberWithTable(table, options);
    std::string statement = "CREATE TABLE ";
    AppendName(statement, table.name);
    statement += '(';
    const std::size_t count = table.columns.size();
    for (std::size_t i = 0; i < count; ++i) {
        const ColumnSchema& column = table.columns[i];
        AppendName(statement, column.name);
        statement += ' ';
        statement += ColumnType(column);
        if (options.keys) {
            // Access keeps Yes/No columns and the columns of its primary key free of nulls.
            if (column.required || column.ado_type == adBoolean ||
                primary_columns.contains(column.name))
                statement += " NOT NULL";
            if (&column == counter)
                statement += " AUTO_INCREMENT";
            if (!column.default_expression.empty()) {
                const std::string value = DefaultValue(column);
                if (!value.empty())
                    statement += " DEFAULT " + value;
                else
                    note(ColumnLabel(column) + " 的默认值 " + column.default_expression +
                         " 在 MySQL 中没有等价的写法，未保留");
            }
            statement += CommentClause(column);
            if (Utf8CharCount(ColumnComment(column)) > kColumnCommentChars)
                note(ColumnLabel(column) + " 的说明超过 " + std::to_string(kColumnCommentChars) +
                     " 个字符，已截断");
        }
        statement += i + 1 < count || primary ? " , " : " ) ";
    }
    if (primary) {
        KeyDefinition key;
        key.primary = key.unique = true;
        BuildKeyParts(*primary, table, MaxKeyBytes(options.engine), key);
        statement += KeyClause(key, true) + " ) ";
    }
    statement += TableClause(options.engine);
    if (counter && table.next_auto_number > 0)
        statement += " AUTO_INCREMENT=" + std::to_string(table.next_auto_number);
    if (options.keys) {
        if (!options.collation.empty()) {
            const std::string collate = " COLLATE=" + options.collation;
            statement += options.collation_versioned ? " /*M!101001" + collate + " */" : collate;
        }
        if (!table.description.empty()) {
            statement += " COMMENT=";
            AppendStringLiteral(statement, Utf8Prefix(table.description, kTableCommentChars));
            if (Utf8CharCount(table.description) > kTableCommentChars)
                note("表的说明超过 " + std::to_string(kTableCommentChars) + " 个字符，已截断");
        }
    }
    return statement;
}

std::string MySqlDialect::InsertPrefix(std::string_view table) {
    std::string prefix = "INSERT INTO ";
    AppendName(prefix, table);
    prefix += " values";
    return prefix;
}

void MySqlDialect::AppendRowTuple(std::string& out, std::span<const Value> row,
                                  std::span<const ColumnSchema> columns) {
    out += '(';
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0)
            out += ',';
        AppendValueLiteral(out, row[i], i < columns.size() ? columns[i].ado_type : adVarWChar);
    }
    out += ')';
}

void MySqlDialect::AppendInsert(std::string& out, std::string_view table,
                                std::span<const Value> row, std::span<const ColumnSchema> columns) {
    out += "INSERT INTO ";
    AppendName(out, table);
    out += " values";
    AppendRowTuple(out, row, columns);
    out += ';';
}

namespace {

// What one column takes of a row: in the server's row as a whole (`row`), and in an InnoDB
// record (`record`), where a column that may exceed 255 bytes is counted as its reference only.
struct ColumnBytes {
    int row;
    int record;
};

ColumnBytes ColumnRowBytes(const ColumnSchema& column) {
    const std::string type = MySqlDialect::ColumnType(column);
    auto starts = [&](std::string_view prefix) { return type.rfind(prefix, 0) == 0; };
    auto argument = [&](std::size_t at) { return std::atoi(type.c_str() + at); };
    if (starts("varchar(") || starts("char(")) {
        const int bytes = std::max(1, argument(type.find('(') + 1)) * kBytesPerChar;
        const int length = bytes > 255 ? 2 : 1;
        return {bytes + (starts("varchar(") ? length : 0), bytes > 255 ? 22 : bytes + length};
    }
    if (type.find("text") != std::string::npos || type.find("blob") != std::string::npos)
        return {12, 22};
    if (starts("decimal(")) {
        // Nine digits in four bytes, the rest in as many bytes as they need, on each side of
        // the point.
        static constexpr int kDigitBytes[] = {0, 1, 1, 2, 2, 3, 3, 4, 4, 4};
        const int precision = argument(8);
        const int scale = argument(type.find(',') + 1);
        auto part = [](int digits) { return digits / 9 * 4 + kDigitBytes[digits % 9]; };
        const int bytes = part(precision - scale) + part(scale);
        return {bytes, bytes};
    }
    int bytes = 8; // bigint, double, datetime with fractions, and anything not named below
    if (starts("tinyint"))
        bytes = 1;
    else if (starts("smallint"))
        bytes = 2;
    else if (starts("int") || starts("float"))
        bytes = 4;
    else if (starts("date") || starts("time"))
        bytes = type == "date" || type == "time" ? 3 : type == "datetime" ? 5 : 8;
    return {bytes, bytes};
}

bool IsInnoDb(std::string_view engine) {
    return Utf8ToLower(engine) == "innodb";
}

} // namespace

int MySqlDialect::RowSizeExcess(const TableSchema& table, const TableOptions& options) {
    constexpr int kMaxRowBytes = 65535;
    // InnoDB's half of an empty 16 KiB page; the record header (5 bytes) and the hidden row
    // id, transaction id and rollback pointer (19) come off it.
    constexpr int kMaxRecordBytes = 8126 - 5 - 19;
    const int null_bytes = static_cast<int>((table.columns.size() + 7) / 8);
    int row = null_bytes;
    int record = null_bytes;
    for (const auto& column : table.columns) {
        const ColumnBytes bytes = ColumnRowBytes(column);
        row += bytes.row;
        record += bytes.record;
    }
    int excess = std::max(0, row - kMaxRowBytes);
    if (IsInnoDb(options.engine))
        excess = std::max(excess, record - kMaxRecordBytes + 1);
    return excess;
}

std::string MySqlDialect::MoveWidestToText(TableSchema& table, const TableOptions& options) {
    const std::string engine = Utf8ToLower(options.engine);
    if (engine == "memory" || engine == "heap")
        return {};
    std::set<std::string> indexed;
    if (options.keys)
        for (const auto& index : table.indexes)
            for (const auto& part : index.columns)
                indexed.insert(Utf8ToLower(part.name));
    ColumnSchema* widest = nullptr;
    auto rank = [&](const ColumnSchema& column) {
        // Unindexed before indexed (an indexed text column needs a prefix), then the widest.
        return std::pair(!indexed.contains(Utf8ToLower(column.name)), column.size);
    };
    for (auto& column : table.columns) {
        if (ColumnType(column).rfind("varchar(", 0) != 0)
            continue;
        if (!widest || rank(column) > rank(*widest))
            widest = &column;
    }
    if (!widest)
        return {};
    widest->ado_type = adLongVarWChar;
    return widest->name;
}

int MySqlDialect::MaxKeyBytes(std::string_view engine) {
    const std::string lower = AsciiLower(engine);
    if (lower == "innodb" || lower == "heap" || lower == "memory")
        return 3072;
    if (lower == "aria")
        return 2000;
    return 1000; // MyISAM, and the smallest limit of the others
}

bool MySqlDialect::KeepsForeignKeys(std::string_view engine) {
    return AsciiLower(engine) == "innodb";
}

KeyPlan MySqlDialect::Keys(const TableSchema& table, const TableOptions& options,
                           std::vector<std::string>* notes) {
    auto note = [&](std::string text) {
        if (notes)
            notes->push_back(std::move(text));
    };
    KeyPlan plan;
    std::string table_name;
    AppendName(table_name, table.name);
    const std::string alter = "ALTER TABLE " + table_name + " ";
    const int max_bytes = MaxKeyBytes(options.engine);

    // The primary key first, then the other indexes in the source's order; indexes the source
    // keeps only for its relationships are left to the foreign keys (InnoDB makes its own).
    const IndexSchema* declared = PrimaryKeyWithTable(table, options);
    std::vector<const IndexSchema*> ordered;
    for (const auto& index : table.indexes)
        if (index.primary && &index != declared)
            ordered.push_back(&index);
    for (const auto& index : table.indexes)
        if (!index.primary && !index.foreign)
            ordered.push_back(&index);

    std::set<std::string> taken;
    std::vector<KeyDefinition> keys;
    bool have_primary = declared != nullptr;
    for (const IndexSchema* index : ordered) {
        KeyDefinition key;
        key.primary = index->primary && !have_primary;
        key.unique = index->unique || key.primary;
        if (!BuildKeyParts(*index, table, max_bytes, key)) {
            note("索引 '" + index->name + "' 引用了表中没有的列，未保留");
            continue;
        }
        have_primary = have_primary || key.primary;
        key.name = UniqueKeyName(index->name, taken);
        if (key.prefixed)
            note("索引 '" + index->name + "' 的列太长，按前缀建立" +
                 (key.unique ? "（唯一性只按前缀检查）" : ""));
        keys.push_back(std::move(key));
    }

    // The AutoNumber column becomes AUTO_INCREMENT, which MySQL allows only on a column that
    // heads an index: one is added when no index of the source starts with it.
    const ColumnSchema* auto_column = nullptr;
    for (const auto& column : table.columns)
        if (column.auto_number == AutoNumber::Increment && !auto_column)
            auto_column = &column;
    if (auto_column && auto_column == AutoNumberWithTable(table, options))
        auto_column = nullptr; // declared with the table
    std::string head_of_declared;
    if (declared)
        AppendName(head_of_declared, declared->columns.front().name);
    if (auto_column) {
        std::string head;
        AppendName(head, auto_column->name);
        const bool headed = head == head_of_declared ||
                            std::any_of(keys.begin(), keys.end(), [&](const KeyDefinition& k) {
                                return k.parts.front() == head || k.parts.front() == head + " DESC";
                            });
        if (!headed) {
            KeyDefinition key;
            IndexSchema own{auto_column->name, {{auto_column->name, false}}};
            BuildKeyParts(own, table, max_bytes, key);
            key.name = UniqueKeyName(auto_column->name, taken);
            keys.push_back(std::move(key));
        }
    }

    std::vector<std::string> clauses;
    // The clauses of everything but the unique keys, which a script file adds on their own.
    std::vector<std::string> others;
    for (const auto& key : keys) {
        const std::string clause = "ADD " + KeyClause(key, key.unique);
        clauses.push_back(clause);
        if (!key.unique)
            others.push_back(clause);
        KeyPlan::Step step;
        step.statement = alter + clause + ";";
        if (key.unique) {
            KeyDefinition plain = key;
            plain.primary = false; // a primary key falls back under its Access name
            step.plain_fallback = alter + "ADD " + KeyClause(plain, false) + ";";
            step.breaking_rows = BreakingRows(table_name, key);
        }
        step.what = key.primary ? std::string("主键")
                                : (key.unique ? "唯一索引 '" : "索引 '") + key.name + "'";
        plan.steps.push_back(std::move(step));
    }
    if (auto_column) {
        ColumnSchema column = *auto_column;
        std::string definition = "MODIFY ";
        AppendName(definition, column.name);
        definition += ' ' + ColumnType(column) + " NOT NULL AUTO_INCREMENT" + CommentClause(column);
        std::string counter;
        if (table.next_auto_number > 0)
            counter = "AUTO_INCREMENT=" + std::to_string(table.next_auto_number);
        clauses.push_back(definition);
        others.push_back(definition);
        if (!counter.empty()) {
            clauses.push_back(counter);
            others.push_back(counter);
        }
        KeyPlan::Step step;
        step.statement = alter + definition + (counter.empty() ? "" : ", " + counter) + ";";
        step.what = "自动编号列 '" + column.name + "'";
        plan.steps.push_back(std::move(step));
    }
    const auto join = [&](const std::vector<std::string>& parts) {
        if (parts.empty())
            return std::string();
        std::string statement = alter;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0)
                statement += ", ";
            statement += parts[i];
        }
        return statement + ';';
    };
    plan.combined = join(clauses);
    plan.others = join(others);
    return plan;
}

std::string MySqlDialect::ForeignKey(const RelationshipSchema& relationship) {
    std::string statement = "ALTER TABLE ";
    AppendName(statement, relationship.child_table);
    statement += " ADD CONSTRAINT ";
    AppendName(statement, Utf8Prefix(relationship.name, kNameChars));
    statement += " FOREIGN KEY (";
    for (std::size_t i = 0; i < relationship.columns.size(); ++i) {
        if (i > 0)
            statement += ", ";
        AppendName(statement, relationship.columns[i].child);
    }
    statement += ") REFERENCES ";
    AppendName(statement, relationship.parent_table);
    statement += " (";
    for (std::size_t i = 0; i < relationship.columns.size(); ++i) {
        if (i > 0)
            statement += ", ";
        AppendName(statement, relationship.columns[i].parent);
    }
    statement += ") ON DELETE ";
    statement += relationship.cascade_delete ? "CASCADE" : "RESTRICT";
    statement += " ON UPDATE ";
    statement += relationship.cascade_update ? "CASCADE" : "RESTRICT";
    statement += ';';
    return statement;
}

std::string MySqlDialect::AllowNull(const TableSchema& table, const ColumnSchema& column,
                                    const TableOptions& options) {
    std::string statement = "ALTER TABLE ";
    AppendName(statement, table.name);
    statement += " MODIFY ";
    AppendName(statement, column.name);
    statement += ' ' + ColumnType(column) + " NULL";
    if (options.keys) {
        if (const std::string value = DefaultValue(column); !value.empty())
            statement += " DEFAULT " + value;
        statement += CommentClause(column);
    }
    statement += ';';
    return statement;
}

} // namespace tw::data
