#include "MySqlInternals.h"

#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/SqlText.h"

#include <cstring>

namespace tw::data::mysql {

namespace {

using Kind = BulkRows::Kind;

// How the values of a column of the given type travel; see the class comment.
Kind KindOf(int ado_type) {
    // Unsigned BigInt values may not fit the signed 64 bits the client library sends.
    if (ado_type == adBoolean || (IsWholeNumberType(ado_type) && ado_type != adUnsignedBigInt))
        return Kind::Integer;
    switch (ado_type) {
    case adDouble:
        return Kind::Double;
    case adSingle:
        return Kind::Single;
    case adDate:
    case adDBTimeStamp:
        return Kind::DateTime;
    case adBinary:
    case adVarBinary:
    case adLongVarBinary:
        return Kind::Bytes;
    default:
        return Kind::Text;
    }
}

enum_field_types FieldType(Kind kind) {
    switch (kind) {
    case Kind::Integer:
        return MYSQL_TYPE_LONGLONG;
    case Kind::Double:
        return MYSQL_TYPE_DOUBLE;
    case Kind::Single:
        return MYSQL_TYPE_FLOAT;
    case Kind::DateTime:
        return MYSQL_TYPE_DATETIME;
    case Kind::Bytes:
        return MYSQL_TYPE_BLOB;
    case Kind::Text:
        break;
    }
    return MYSQL_TYPE_STRING;
}

// The text a value's literal holds between its apostrophes (see AppendValueLiteral).
void AppendLiteralText(std::string& out, const Value& value) {
    struct Writer {
        std::string& out;
        void operator()(std::monostate) const {}
        void operator()(const Bytes&) const {}
        void operator()(bool flag) const { out += flag ? '1' : '0'; }
        void operator()(std::int64_t number) const { AppendInteger(out, number); }
        void operator()(float number) const { AppendSingle(out, number); }
        void operator()(double number) const { AppendDouble(out, number); }
        void operator()(const Decimal& number) const { out += number.text; }
        void operator()(const DateTime& date) const { out += FormatSQLDate(date); }
        void operator()(const std::string& text) const { out += text; }
        void operator()(const Guid& guid) const { out += guid.text; }
    };
    std::visit(Writer{out}, value);
}

} // namespace

void BulkRows::Start(std::span<const ColumnSchema> columns) {
    Clear();
    columns_.assign(columns.size(), Column{});
    for (std::size_t i = 0; i < columns.size(); ++i)
        columns_[i].kind = KindOf(columns[i].ado_type);
}

void BulkRows::Clear() {
    for (Column& column : columns_) {
        column.indicators.clear();
        column.integers.clear();
        column.doubles.clear();
        column.singles.clear();
        column.times.clear();
        column.offsets.clear();
        column.lengths.clear();
        column.pointers.clear();
    }
    arena_.clear();
    rows_ = 0;
}

bool BulkRows::Fits(const Column& column, const Value& value) const {
    if (IsNull(value))
        return true;
    switch (column.kind) {
    case Kind::Integer:
        return std::holds_alternative<std::int64_t>(value) || std::holds_alternative<bool>(value);
    case Kind::Double:
        return std::holds_alternative<double>(value);
    case Kind::Single:
        return std::holds_alternative<float>(value);
    case Kind::DateTime:
        return std::holds_alternative<DateTime>(value);
    case Kind::Bytes:
        return std::holds_alternative<Bytes>(value);
    case Kind::Text:
        return !std::holds_alternative<Bytes>(value);
    }
    return false;
}

bool BulkRows::Add(std::span<const Value> row) {
    if (row.size() != columns_.size())
        return false;
    for (std::size_t i = 0; i < row.size(); ++i)
        if (!Fits(columns_[i], row[i]))
            return false;
    for (std::size_t i = 0; i < row.size(); ++i)
        Append(columns_[i], row[i]);
    ++rows_;
    return true;
}

void BulkRows::Append(Column& column, const Value& value) {
    const bool null = IsNull(value);
    column.indicators.push_back(null ? STMT_INDICATOR_NULL : STMT_INDICATOR_NONE);
    switch (column.kind) {
    case Kind::Integer: {
        long long number = 0;
        if (const auto* flag = std::get_if<bool>(&value))
            number = *flag ? 1 : 0;
        else if (const auto* whole = std::get_if<std::int64_t>(&value))
            number = *whole;
        column.integers.push_back(number);
        return;
    }
    case Kind::Double: {
        const auto* number = std::get_if<double>(&value);
        column.doubles.push_back(number ? *number : 0.0);
        return;
    }
    case Kind::Single: {
        const auto* number = std::get_if<float>(&value);
        column.singles.push_back(number ? *number : 0.0f);
        return;
    }
    case Kind::DateTime: {
        MYSQL_TIME time;
        std::memset(&time, 0, sizeof time);
        if (const auto* date = std::get_if<DateTime>(&value)) {
            time.year = static_cast<unsigned>(date->year);
            time.month = static_cast<unsigned>(date->month);
            time.day = static_cast<unsigned>(date->day);
            time.hour = static_cast<unsigned>(date->hour);
            time.minute = static_cast<unsigned>(date->minute);
            time.second = static_cast<unsigned>(date->second);
            time.second_part = static_cast<unsigned long>(date->ticks / 10);
        }
        time.time_type = MYSQL_TIMESTAMP_DATETIME;
        column.times.push_back(time);
        return;
    }
    case Kind::Bytes:
    case Kind::Text: {
        const std::size_t start = arena_.size();
        if (const auto* bytes = std::get_if<Bytes>(&value))
            arena_ += bytes->data;
        else if (!null)
            AppendLiteralText(arena_, value);
        column.offsets.push_back(start);
        column.lengths.push_back(static_cast<unsigned long>(arena_.size() - start));
        return;
    }
    }
}

bool BulkRows::Execute(MYSQL_STMT* statement) {
    std::vector<MYSQL_BIND> binds(columns_.size());
    std::memset(binds.data(), 0, binds.size() * sizeof(MYSQL_BIND));
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        Column& column = columns_[i];
        MYSQL_BIND& bind = binds[i];
        bind.buffer_type = FieldType(column.kind);
        bind.u.indicator = column.indicators.data();
        switch (column.kind) {
        case Kind::Integer:
            bind.buffer = column.integers.data();
            break;
        case Kind::Double:
            bind.buffer = column.doubles.data();
            break;
        case Kind::Single:
            bind.buffer = column.singles.data();
            break;
        case Kind::DateTime:
            // Column-wise, the client library takes values of variable packed size (dates
            // among them) by address.
            column.pointers.resize(column.times.size());
            for (std::size_t r = 0; r < column.times.size(); ++r)
                column.pointers[r] = reinterpret_cast<char*>(&column.times[r]);
            bind.buffer = column.pointers.data();
            break;
        case Kind::Bytes:
        case Kind::Text:
            // The arena no longer grows: the addresses of its values hold until the next row.
            // The server checks text against the connection's character set as it checks a
            // literal.
            column.pointers.resize(column.offsets.size());
            for (std::size_t r = 0; r < column.offsets.size(); ++r)
                column.pointers[r] = arena_.data() + column.offsets[r];
            bind.buffer = column.pointers.data();
            bind.length = column.lengths.data();
            break;
        }
    }
    unsigned int rows = static_cast<unsigned int>(rows_);
    if (mysql_stmt_attr_set(statement, STMT_ATTR_ARRAY_SIZE, &rows) != 0 ||
        mysql_stmt_bind_param(statement, binds.data()) != 0)
        return false;
    return mysql_stmt_execute(statement) == 0;
}

} // namespace tw::data::mysql
