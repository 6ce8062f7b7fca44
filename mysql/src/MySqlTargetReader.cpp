#include "MySqlTargetReader.h"

#include "MySqlInternals.h"

#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::data::mysql {

namespace {

// Keys read per query when every key of a table is read.
constexpr std::size_t kKeyScanRows = 20000;
// The longest statement of held-back inserts or deletes.
constexpr std::size_t kHeldBytes = 1024 * 1024;
// Changed rows per transaction, at most (a cluster may allow fewer: see MakeMySqlTarget).
constexpr std::size_t kSyncCommitRows = 20000;

bool IsFloatingType(int ado_type) {
    return ado_type == adDouble || ado_type == adSingle;
}

bool IsBinaryType(int ado_type) {
    return ado_type == adBinary || ado_type == adVarBinary || ado_type == adLongVarBinary;
}

// The shortest text of a double; zero without sign, as the server shows it either way.
std::string DoubleText(double number) {
    std::string text;
    AppendDouble(text, number == 0 ? 0.0 : number);
    return text;
}

// Appends a plain decimal number (sign, digits, point, digits) without leading and trailing
// zeros, "0" for zero; false (nothing appended) for any other text.
bool AppendPlain(std::string& out, std::string_view text) {
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
        return false;
    while (!whole.empty() && whole.front() == '0')
        whole.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);
    if (whole.empty() && fraction.empty()) {
        out += '0';
        return true;
    }
    if (negative)
        out += '-';
    out += whole.empty() ? std::string_view("0") : whole;
    if (!fraction.empty()) {
        out += '.';
        out += fraction;
    }
    return true;
}

// The plain decimal number of `text` (see AppendPlain); nullopt for any other text.
std::optional<std::string> PlainDecimal(std::string_view text) {
    std::string plain;
    if (!AppendPlain(plain, text))
        return std::nullopt;
    return plain;
}

// Appends the plain decimal number of `text`, or the text itself when it is none.
void AppendPlainDecimal(std::string& out, std::string_view text) {
    if (!AppendPlain(out, text))
        out += text;
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

// The text `out` holds from now on, its memory used again.
std::string& Reuse(Canonical& out) {
    if (!out)
        out.emplace();
    out->clear();
    return *out;
}

// A source value as the conversion writes it (for text, bytes and GUIDs, the value itself),
// written into `out`.
void SourceCanonical(ValueForm form, const Value& value, Canonical& out) {
    struct Visitor {
        ValueForm form;
        Canonical& out;
        void operator()(std::monostate) const { out.reset(); }
        void operator()(bool flag) const { Reuse(out) += flag ? '1' : '0'; }
        void operator()(std::int64_t number) const {
            if (form == ValueForm::Bool)
                Reuse(out) += number != 0 ? '1' : '0';
            else
                AppendInteger(Reuse(out), number);
        }
        // A single is compared as the double it is exactly, so that a server column that holds
        // it as a double compares equal only when it holds that very number.
        void operator()(float number) const {
            AppendDouble(Reuse(out), number == 0 ? 0.0 : number);
        }
        void operator()(double number) const {
            AppendDouble(Reuse(out), number == 0 ? 0.0 : number);
        }
        void operator()(const Decimal& number) const {
            AppendPlainDecimal(Reuse(out), number.text);
        }
        void operator()(const DateTime& date) const { Reuse(out) = FormatSQLDate(date); }
        void operator()(const std::string& text) const { Reuse(out).assign(text); }
        void operator()(const Bytes& bytes) const { Reuse(out).assign(bytes.data); }
        void operator()(const Guid& guid) const { Reuse(out).assign(guid.text); }
    };
    std::visit(Visitor{form, out}, value);
}

// A server value (its text, as the server sends it) in the canonical form of the source
// column's form, written into `out`; a text that has no such form stays as it is, and so
// differs.
void ServerCanonical(ValueForm form, int server_type, const Value& value, Canonical& out) {
    const auto* text = std::get_if<std::string>(&value);
    if (!text) {
        out.reset();
        return;
    }
    switch (form) {
    case ValueForm::Text:
    case ValueForm::Bytes:
        Reuse(out).assign(*text);
        return;
    case ValueForm::Date: {
        // A date column has no time of day; a datetime(6) column shows fractions of a second.
        std::string& date = Reuse(out);
        if (text->size() == 10 && (*text)[4] == '-' && (*text)[7] == '-') {
            date.assign(*text);
            date += " 00:00:00";
        } else if (text->size() > 20 && (*text)[19] == '.' &&
                   text->find_first_not_of('0', 20) == std::string::npos) {
            date.assign(*text, 0, 19);
        } else {
            date.assign(*text);
        }
        return;
    }
    case ValueForm::Single:
    case ValueForm::Double: {
        double number = 0;
        if (ParseCanonicalDouble(*text, number))
            AppendDouble(Reuse(out), number == 0 ? 0.0 : number);
        else
            Reuse(out).assign(*text);
        return;
    }
    case ValueForm::Bool:
        if (IsBinaryType(server_type) && !text->empty() && text->size() <= 8) {
            std::uint64_t number = 0; // a BIT column
            for (const unsigned char byte : *text)
                number = (number << 8) | byte;
            Reuse(out) = std::to_string(number);
            return;
        }
        [[fallthrough]];
    case ValueForm::Integer:
    case ValueForm::Exact: {
        double number = 0;
        if (IsFloatingType(server_type) && ParseCanonicalDouble(*text, number)) {
            Reuse(out) = ExactDecimal(number);
            return;
        }
        AppendPlainDecimal(Reuse(out), *text);
        return;
    }
    }
    Reuse(out).assign(*text);
}

void AppendQuotedName(std::string& out, std::string_view name) {
    out += '`';
    AppendNameText(out, name);
    out += '`';
}

std::string QuotedText(std::string_view text) {
    std::string out = "'";
    AppendEscapedText(out, text);
    out += '\'';
    return out;
}

// The first column of the first row of a query's result as text; nullopt for none or NULL.
std::optional<std::string> FirstValue(Provider& provider, const std::string& query) {
    auto rs = provider.OpenRecordset(query);
    std::optional<std::string> value;
    if (rs && !rs->IsEOF())
        if (const auto* text = std::get_if<std::string>(&rs->GetField(0).GetValue()))
            value = *text;
    if (rs)
        rs->Close();
    return value;
}

// The type's name without size, sign and other attributes: "varchar(50)" -> "varchar".
std::string_view BaseType(std::string_view type) {
    return type.substr(0, type.find_first_of(" ("));
}

bool IsTextType(std::string_view base) {
    return base == "char" || base == "varchar" || base == "tinytext" || base == "text" ||
           base == "mediumtext" || base == "longtext";
}

// The current row of a recordset of the bound columns, in their canonical forms.
void CanonicalRow(Recordset& rs, const std::vector<ValueForm>& forms, std::vector<Canonical>& row) {
    row.resize(forms.size());
    for (std::size_t i = 0; i < forms.size(); ++i) {
        Field& field = rs.GetField(static_cast<int>(i));
        ServerCanonical(forms[i], field.Type(), field.GetValue(), row[i]);
    }
}

// Every row of a table, streamed on a connection of its own: the server reads the table in
// its own order, as fast as a plain SELECT can (for MyISAM far faster than row by row through
// an index).
class MySqlTargetScan final : public TargetScan {
public:
    MySqlTargetScan(std::shared_ptr<MySqlSession> session, const std::string& query,
                    std::vector<ValueForm> forms)
        : session_(std::move(session)), forms_(std::move(forms)),
          rows_(OpenStreamedResult(*session_, query)) {}

    ~MySqlTargetScan() override {
        // Rows left unread would all have to come first; the server gives the query up (and
        // lets go of the table) when the connection is reset under it.
        if (!rows_->IsEOF())
            session_->Abandon();
        rows_.reset();
    }

    MySqlTargetScan(const MySqlTargetScan&) = delete;
    MySqlTargetScan& operator=(const MySqlTargetScan&) = delete;

    bool Read(std::size_t rows, const TargetRowSink& sink) override {
        for (std::size_t read = 0; read < rows; ++read) {
            if (rows_->IsEOF())
                return false;
            CanonicalRow(*rows_, forms_, row_);
            sink(row_);
            rows_->MoveNext();
        }
        return !rows_->IsEOF();
    }

private:
    std::shared_ptr<MySqlSession> session_;
    std::vector<ValueForm> forms_;
    std::unique_ptr<Recordset> rows_;
    std::vector<Canonical> row_;
};

class MySqlTargetTable final : public TargetTable {
public:
    MySqlTargetTable(Provider& provider, std::string name, std::size_t commit_rows,
                     const ScanSessionOpener& open_scan_session)
        : provider_(provider), name_(std::move(name)), commit_rows_(commit_rows),
          open_scan_session_(open_scan_session) {
        AppendQuotedName(quoted_, name_);
        ReadColumns();
    }

    const std::string& Name() const override { return name_; }
    const std::vector<TargetColumn>& Columns() const override { return columns_; }

    int FindColumn(const std::string& name, const std::vector<bool>& taken) const override {
        const std::string wanted = Utf8ToLower(name);
        for (std::size_t i = 0; i < columns_.size(); ++i)
            if ((i >= taken.size() || !taken[i]) && Utf8ToLower(columns_[i].name) == wanted)
                return static_cast<int>(i);
        return -1;
    }

    bool ColumnFits(int column, const ColumnSchema& schema) const override {
        const std::string expected = MySqlDialect::ColumnType(schema);
        const std::string_view want = BaseType(expected);
        const std::string_view have = BaseType(columns_.at(static_cast<std::size_t>(column)).type);
        if (want == have)
            return true;
        // A varchar column too wide for the row is made a text column.
        return IsTextType(want) && IsTextType(have);
    }

    void Bind(std::vector<int> columns, std::vector<ValueForm> forms, std::vector<int> ado_types,
              std::vector<std::size_t> key) override {
        bound_ = std::move(columns);
        forms_ = std::move(forms);
        ado_types_ = std::move(ado_types);
        key_ = std::move(key);
        expressions_.clear();
        select_list_.clear();
        column_list_.clear();
        for (const int column : bound_) {
            const TargetColumn& target = columns_.at(static_cast<std::size_t>(column));
            std::string name;
            AppendQuotedName(name, target.name);
            // A float column's text is cut to six digits; as a double it is exact.
            std::string expression =
                BaseType(target.type) == "float" ? "(" + name + " + 0e0)" : name;
            select_list_ += (select_list_.empty() ? "" : ", ") + expression;
            // The server computes a generated column: an insert leaves it out.
            if (!target.generated)
                column_list_ += (column_list_.empty() ? "" : ", ") + name;
            expressions_.push_back(std::move(expression));
        }
        key_select_.clear();
        for (const std::size_t part : key_)
            key_select_ += (key_select_.empty() ? "" : ", ") + expressions_.at(part);
        key_tuple_ = key_.size() > 1 ? "(" + key_select_ + ")" : key_select_;
        qualified_key_.clear();
        if (key_.size() == 1) {
            const TargetColumn& target = columns_.at(static_cast<std::size_t>(bound_.at(key_[0])));
            qualified_key_ = "`tw_t`.";
            AppendQuotedName(qualified_key_, target.name);
        }
        insert_prefix_ = "INSERT INTO " + quoted_ + " (" + column_list_ + ") VALUES ";
        delete_prefix_ = "DELETE FROM " + quoted_ + " WHERE " + key_tuple_ + " IN (";
    }

    std::int64_t CountRows() override {
        std::int64_t rows = 0;
        if (const auto text = FirstValue(provider_, "SELECT COUNT(*) FROM " + quoted_))
            std::from_chars(text->data(), text->data() + text->size(), rows);
        return rows;
    }

    void ReadByKeys(std::span<const std::span<const Canonical>> keys,
                    const TargetRowSink& sink) override {
        if (keys.empty())
            return;
        std::string query = "SELECT " + SelectList() + " FROM " + quoted_ + " WHERE ";
        // Whole-number keys that lie close together (Access hands AutoNumbers out in order, and
        // a file keeps many tables in that order) are read as one range of the index, which
        // the server walks faster than as many single keys; the rows of the range that were
        // not asked for go to the sink too, which pairs only those it asked for.
        if (const auto range = DenseRange(keys)) {
            query += key_select_ + " BETWEEN " + std::to_string(range->first) + " AND " +
                     std::to_string(range->second);
            ReadRows(query, sink);
            return;
        }
        query += key_tuple_ + " IN (";
        for (std::size_t i = 0; i < keys.size(); ++i) {
            query += i ? "," : "";
            AppendKeyLiteral(query, keys[i]);
        }
        query += ')';
        ReadRows(query, sink);
    }

    void ReadInOrder(std::int64_t offset, std::int64_t count, const TargetRowSink& sink) override {
        // No index, so that the order is the table's own.
        ReadRows("SELECT " + SelectList() + " FROM " + quoted_ + " USE INDEX () LIMIT " +
                     std::to_string(count) + " OFFSET " + std::to_string(offset),
                 sink);
    }

    void ReadKeys(const std::function<bool(std::span<const Canonical> key)>& sink,
                  std::span<const std::pair<std::int64_t, std::int64_t>> skip) override {
        std::vector<Canonical> key(key_.size());
        // A whole-number key is read in pages that start after the last key read (each page
        // found by the index), only in the gaps between the ranges to skip; any other in pages
        // by place, in the order of the same query.
        const bool by_number = key_.size() == 1 && forms_[key_[0]] == ValueForm::Integer;
        std::string gaps;
        if (by_number && !skip.empty()) {
            gaps = "(" + key_select_ + " < " + std::to_string(skip.front().first);
            for (std::size_t i = 0; i + 1 < skip.size(); ++i)
                gaps += " OR " + key_select_ + " BETWEEN " + std::to_string(skip[i].second + 1) +
                        " AND " + std::to_string(skip[i + 1].first - 1);
            gaps += " OR " + key_select_ + " > " + std::to_string(skip.back().second) + ")";
        }
        std::string after;
        for (std::int64_t offset = 0;; offset += static_cast<std::int64_t>(kKeyScanRows)) {
            std::string query = "SELECT " + key_select_ + " FROM " + quoted_;
            if (by_number) {
                std::string where = gaps;
                if (!after.empty())
                    where +=
                        (where.empty() ? "" : " AND ") + key_select_ + " > " + QuotedText(after);
                query += (where.empty() ? "" : " WHERE " + where) + " ORDER BY " + key_select_ +
                         " LIMIT " + std::to_string(kKeyScanRows);
            } else {
                query +=
                    " LIMIT " + std::to_string(kKeyScanRows) + " OFFSET " + std::to_string(offset);
            }
            auto rs = provider_.OpenRecordset(query);
            std::size_t rows = 0;
            for (; !rs->IsEOF(); rs->MoveNext(), ++rows) {
                for (std::size_t part = 0; part < key_.size(); ++part) {
                    Field& field = rs->GetField(static_cast<int>(part));
                    ServerCanonical(forms_[key_[part]], field.Type(), field.GetValue(), key[part]);
                }
                if (by_number && key[0])
                    after = *key[0];
                if (!sink(key)) {
                    rs->Close();
                    return;
                }
            }
            rs->Close();
            if (rows < kKeyScanRows || (by_number && after.empty()))
                return;
        }
    }

    std::unique_ptr<TargetScan> Scan() override {
        if (!open_scan_session_)
            return nullptr;
        // Without a second connection (a limit of the server or of the user), or where the
        // scan is refused, the table is read by key; a real fault shows there too.
        try {
            std::shared_ptr<MySqlSession> session = open_scan_session_();
            if (!session)
                return nullptr;
            // No index, so that the server reads the table in its own order.
            return std::make_unique<MySqlTargetScan>(
                std::move(session), "SELECT " + SelectList() + " FROM " + quoted_ + " USE INDEX ()",
                forms_);
        } catch (const DataAccessError&) {
            return nullptr;
        }
    }

    bool ScanHoldsChanges() override {
        if (!engine_) {
            engine_ = FirstValue(provider_, "SELECT ENGINE FROM information_schema.TABLES WHERE "
                                            "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = " +
                                                QuotedText(name_))
                          .value_or(std::string());
        }
        // InnoDB reads a snapshot and locks no rows for it; the other table types lock the
        // table for as long as a query reads it.
        return Utf8ToLower(*engine_) != "innodb";
    }

    bool KeyIsUnique() override {
        if (key_.empty())
            return false;
        std::vector<std::string> key_names;
        for (const std::size_t part : key_)
            key_names.push_back(
                Utf8ToLower(columns_.at(static_cast<std::size_t>(bound_.at(part))).name));
        // A unique index whose every column is a key column that holds no NULL (a unique index
        // takes any number of those) holds each key once at most.
        auto rs = provider_.OpenRecordset(
            "SELECT INDEX_NAME, COLUMN_NAME, NULLABLE FROM information_schema.STATISTICS WHERE "
            "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = " +
            QuotedText(name_) + " AND NON_UNIQUE = 0 ORDER BY INDEX_NAME");
        std::map<std::string, bool> within_key;
        for (; !rs->IsEOF(); rs->MoveNext()) {
            const auto* index = std::get_if<std::string>(&rs->GetField(0).GetValue());
            const auto* column = std::get_if<std::string>(&rs->GetField(1).GetValue());
            if (!index || !column)
                continue;
            const auto* nullable = std::get_if<std::string>(&rs->GetField(2).GetValue());
            const bool in_key = std::find(key_names.begin(), key_names.end(),
                                          Utf8ToLower(*column)) != key_names.end() &&
                                !(nullable && EqualsNoCase(*nullable, "YES"));
            auto [entry, added] = within_key.emplace(*index, in_key);
            if (!added)
                entry->second = entry->second && in_key;
        }
        rs->Close();
        return std::any_of(within_key.begin(), within_key.end(),
                           [](const auto& entry) { return entry.second; });
    }

    std::vector<std::string>
    ComparedKeys(std::span<const std::span<const Canonical>> keys) override {
        // A text part is compared by its weight string in the column's collation, which the
        // server makes; a few hundred keys a query.
        constexpr std::size_t kKeysPerQuery = 500;
        std::vector<std::string> compared(keys.size());
        for (std::size_t first = 0; first < keys.size(); first += kKeysPerQuery) {
            const std::size_t last = std::min(keys.size(), first + kKeysPerQuery);
            std::string query;
            for (std::size_t i = first; i < last; ++i) {
                query += i == first ? "SELECT " : " UNION ALL SELECT ";
                query += std::to_string(i);
                for (std::size_t part = 0; part < key_.size(); ++part) {
                    query += ", ";
                    const Canonical& value = keys[i][part];
                    const std::string& collation =
                        collations_.at(static_cast<std::size_t>(bound_.at(key_[part])));
                    if (!value || forms_[key_[part]] != ValueForm::Text || collation.empty()) {
                        query += "NULL";
                        continue;
                    }
                    // A PAD SPACE collation compares as if trailing spaces were not there;
                    // its weight string keeps them.
                    std::string_view text = *value;
                    if (collation.find("nopad") == std::string::npos)
                        text = text.substr(0, text.find_last_not_of(' ') + 1);
                    query += "HEX(WEIGHT_STRING(CONVERT(" + QuotedText(text) + " USING " +
                             charsets_.at(static_cast<std::size_t>(bound_.at(key_[part]))) +
                             ") COLLATE " + collation + "))";
                }
            }
            auto rs = provider_.OpenRecordset(query);
            for (; !rs->IsEOF(); rs->MoveNext()) {
                const auto* number = std::get_if<std::string>(&rs->GetField(0).GetValue());
                std::size_t i = 0;
                if (!number ||
                    std::from_chars(number->data(), number->data() + number->size(), i).ec !=
                        std::errc() ||
                    i >= keys.size())
                    continue;
                std::string& text = compared[i];
                for (std::size_t part = 0; part < key_.size(); ++part) {
                    const auto* weight = std::get_if<std::string>(
                        &rs->GetField(static_cast<int>(part + 1)).GetValue());
                    const Canonical& value = keys[i][part];
                    // Each part with its length and kind, so that no two keys meet.
                    const std::string_view shown = weight  ? std::string_view(*weight)
                                                   : value ? std::string_view(*value)
                                                           : std::string_view();
                    text += weight ? 'w' : value ? 'v' : 'n';
                    text += std::to_string(shown.size());
                    text += ':';
                    text += shown;
                }
            }
            rs->Close();
        }
        return compared;
    }

    void Insert(std::span<const Value> row) override {
        SendUpdates();
        SendDeletes();
        tuple_.clear();
        tuple_ += '(';
        bool first = true;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (columns_.at(static_cast<std::size_t>(bound_.at(i))).generated)
                continue;
            if (!first)
                tuple_ += ',';
            first = false;
            AppendValueLiteral(tuple_, row[i], ado_types_.at(i));
        }
        tuple_ += ')';
        if (!inserts_.empty() && inserts_.size() + 1 + tuple_.size() > kHeldBytes)
            SendInserts();
        inserts_ += inserts_.empty() ? insert_prefix_ : ",";
        inserts_ += tuple_;
    }

    void Update(std::span<const Canonical> key, std::span<const std::size_t> columns,
                std::span<const Value> values) override {
        SendDeletes();
        SendInserts();
        if (const auto number = NumberKey(key)) {
            HoldUpdate(*number, columns, values);
            return;
        }
        std::string statement = "UPDATE " + quoted_ + " SET ";
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0)
                statement += ", ";
            AppendQuotedName(statement,
                             columns_.at(static_cast<std::size_t>(bound_.at(columns[i]))).name);
            statement += " = ";
            AppendValueLiteral(statement, values[i], ado_types_.at(columns[i]));
        }
        statement += " WHERE " + key_tuple_ + " = ";
        AppendKeyLiteral(statement, key);
        provider_.Execute(statement);
    }

    void Delete(std::span<const Canonical> key) override {
        SendUpdates();
        SendInserts();
        literal_.clear();
        AppendKeyLiteral(literal_, key);
        if (!deletes_.empty() && deletes_.size() + 2 + literal_.size() > kHeldBytes)
            SendDeletes();
        deletes_ += deletes_.empty() ? delete_prefix_ : ",";
        deletes_ += literal_;
    }

    void DeleteAll() override {
        SendUpdates();
        SendInserts();
        deletes_.clear();
        provider_.Execute("DELETE FROM " + quoted_);
    }

    void Begin() override { provider_.Execute("START TRANSACTION"); }

    void Commit() override {
        SendUpdates();
        SendDeletes();
        SendInserts();
        provider_.Execute("COMMIT");
    }

    void Rollback() override {
        updates_.clear();
        held_update_bytes_ = 0;
        inserts_.clear();
        deletes_.clear();
        try {
            provider_.Execute("ROLLBACK");
        } catch (const DataAccessError&) {
            // A lost connection has given the transaction up already.
        }
    }

    std::size_t CommitRows() const override { return commit_rows_; }

    void AddColumn(const ColumnSchema& column) override {
        std::string statement = "ALTER TABLE " + quoted_ + " ADD COLUMN ";
        MySqlDialect::AppendName(statement, column.name);
        statement += ' ';
        statement += MySqlDialect::ColumnType(column);
        provider_.Execute(statement);
        ReadColumns();
    }

    void RaiseAutoIncrement(std::int64_t next) override {
        const auto current =
            FirstValue(provider_, "SELECT AUTO_INCREMENT FROM information_schema.TABLES WHERE "
                                  "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = " +
                                      QuotedText(name_));
        if (!current)
            return; // no AUTO_INCREMENT column
        std::int64_t value = 0;
        std::from_chars(current->data(), current->data() + current->size(), value);
        if (value < next)
            provider_.Execute("ALTER TABLE " + quoted_ +
                              " AUTO_INCREMENT = " + std::to_string(next));
    }

private:
    void ReadColumns() {
        columns_.clear();
        collations_.clear();
        charsets_.clear();
        auto rs = provider_.OpenRecordset(
            "SELECT COLUMN_NAME, COLUMN_TYPE, COLLATION_NAME, CHARACTER_SET_NAME, EXTRA "
            "FROM information_schema.COLUMNS "
            "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = " +
            QuotedText(name_) + " ORDER BY ORDINAL_POSITION");
        for (; !rs->IsEOF(); rs->MoveNext()) {
            TargetColumn column;
            if (const auto* name = std::get_if<std::string>(&rs->GetField(0).GetValue()))
                column.name = *name;
            if (const auto* type = std::get_if<std::string>(&rs->GetField(1).GetValue()))
                column.type = Utf8ToLower(*type);
            // "STORED GENERATED" or "VIRTUAL GENERATED" (MySQL's "DEFAULT_GENERATED" is a
            // default, not a generated column).
            if (const auto* extra = std::get_if<std::string>(&rs->GetField(4).GetValue()))
                column.generated = ContainsNoCase(*extra, "STORED GENERATED") ||
                                   ContainsNoCase(*extra, "VIRTUAL GENERATED");
            columns_.push_back(std::move(column));
            const auto* collation = std::get_if<std::string>(&rs->GetField(2).GetValue());
            const auto* charset = std::get_if<std::string>(&rs->GetField(3).GetValue());
            const bool text = collation && charset;
            collations_.push_back(text ? *collation : std::string());
            charsets_.push_back(text ? *charset : std::string());
        }
        rs->Close();
    }

    std::string SelectList() const { return select_list_.empty() ? "NULL" : select_list_; }

    // The smallest and largest of keys of one whole-number column, when the range between
    // them holds at most twice as many numbers as there are keys; nullopt otherwise.
    std::optional<std::pair<std::int64_t, std::int64_t>>
    DenseRange(std::span<const std::span<const Canonical>> keys) const {
        if (key_.size() != 1 || forms_[key_[0]] != ValueForm::Integer)
            return std::nullopt;
        std::int64_t low = 0;
        std::int64_t high = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i].size() != 1 || !keys[i][0])
                return std::nullopt;
            const std::string& text = *keys[i][0];
            std::int64_t number = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
            if (ec != std::errc() || end != text.data() + text.size())
                return std::nullopt;
            low = i == 0 ? number : std::min(low, number);
            high = i == 0 ? number : std::max(high, number);
        }
        const auto span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
        if (span >= 2 * static_cast<std::uint64_t>(keys.size()))
            return std::nullopt;
        return std::pair{low, high};
    }

    void ReadRows(const std::string& query, const TargetRowSink& sink) {
        auto rs = provider_.OpenRecordset(query);
        for (; !rs->IsEOF(); rs->MoveNext()) {
            CanonicalRow(*rs, forms_, row_);
            sink(row_);
        }
        rs->Close();
    }

    // A key as SQL: each part a literal of its canonical text, which the server compares with
    // the column's value as the canonical forms compare (bytes as a hex literal); several parts
    // as a row constructor.
    void AppendKeyLiteral(std::string& out, std::span<const Canonical> key) const {
        if (key.size() > 1)
            out += '(';
        for (std::size_t part = 0; part < key.size(); ++part) {
            if (part > 0)
                out += ',';
            const Canonical& value = key[part];
            if (!value)
                out += "NULL";
            else if (forms_[key_[part]] == ValueForm::Bytes)
                AppendHexLiteral(out, *value);
            else
                out += QuotedText(*value);
        }
        if (key.size() > 1)
            out += ')';
    }

    // The key as a whole number where the table's key is one whole-number column (and the
    // canonical text is one); nullopt otherwise.
    std::optional<std::int64_t> NumberKey(std::span<const Canonical> key) const {
        if (key_.size() != 1 || key.size() != 1 || forms_[key_[0]] != ValueForm::Integer || !key[0])
            return std::nullopt;
        std::int64_t number = 0;
        const std::string& text = *key[0];
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (ec != std::errc() || end != text.data() + text.size())
            return std::nullopt;
        return number;
    }

    // Rows whose key is a whole number and that change the same columns are updated together:
    // one statement joins the table with the rows' keys and new values, so that many rows cost
    // one round trip to the server instead of one each.
    void HoldUpdate(std::int64_t key, std::span<const std::size_t> columns,
                    std::span<const Value> values) {
        HeldUpdate& held = updates_[std::vector<std::size_t>(columns.begin(), columns.end())];
        std::string& rows = held.rows;
        const bool first = rows.empty();
        const std::size_t before = rows.size();
        rows += first ? "SELECT " : " UNION ALL SELECT ";
        rows += std::to_string(key);
        if (first)
            rows += " AS `k`";
        for (std::size_t i = 0; i < columns.size(); ++i) {
            rows += ", ";
            AppendValueLiteral(rows, values[i], ado_types_.at(columns[i]));
            if (first)
                rows += " AS `v" + std::to_string(i) + "`";
        }
        held_update_bytes_ += rows.size() - before;
        if (held_update_bytes_ > kHeldBytes)
            SendUpdates();
    }

    void SendUpdates() {
        if (updates_.empty())
            return;
        auto updates = std::move(updates_);
        updates_.clear();
        held_update_bytes_ = 0;
        for (const auto& [columns, held] : updates) {
            std::string statement = "UPDATE " + quoted_ + " AS `tw_t` JOIN (" + held.rows +
                                    ") AS `tw_v` ON " + qualified_key_ + " = `tw_v`.`k` SET ";
            for (std::size_t i = 0; i < columns.size(); ++i) {
                if (i > 0)
                    statement += ", ";
                statement += "`tw_t`.";
                AppendQuotedName(statement,
                                 columns_.at(static_cast<std::size_t>(bound_.at(columns[i]))).name);
                statement += " = `tw_v`.`v" + std::to_string(i) + "`";
            }
            provider_.Execute(statement);
        }
    }

    void SendInserts() {
        if (inserts_.empty())
            return;
        std::string statement = std::move(inserts_);
        inserts_.clear();
        provider_.Execute(statement);
    }

    void SendDeletes() {
        if (deletes_.empty())
            return;
        std::string statement = std::move(deletes_);
        deletes_.clear();
        statement += ')';
        provider_.Execute(statement);
    }

    Provider& provider_;
    std::string name_;
    std::string quoted_;
    std::size_t commit_rows_;
    const ScanSessionOpener& open_scan_session_;
    std::optional<std::string> engine_; // the table type, once asked for
    std::vector<TargetColumn> columns_;
    // Per column: its collation and character set (empty for a column without).
    std::vector<std::string> collations_;
    std::vector<std::string> charsets_;
    std::vector<int> bound_;
    std::vector<ValueForm> forms_;
    std::vector<int> ado_types_;
    std::vector<std::size_t> key_;
    std::vector<std::string> expressions_;
    std::string select_list_;
    std::string column_list_;
    std::string key_select_;
    std::string key_tuple_;
    std::string insert_prefix_;
    std::string delete_prefix_;
    std::vector<Canonical> row_;
    struct HeldUpdate {
        std::string rows; // "SELECT 5 AS `k`, 'x' AS `v0` UNION ALL SELECT 7, 'y'"
    };
    std::map<std::vector<std::size_t>, HeldUpdate> updates_;
    std::size_t held_update_bytes_ = 0;
    // The key's expression on the table named `tw_t` (whole-number keys only).
    std::string qualified_key_;
    std::string inserts_;
    std::string deletes_;
    std::string tuple_;
    std::string literal_;
};

class MySqlTargetDatabase final : public TargetDatabase {
public:
    MySqlTargetDatabase(Provider& provider, std::size_t commit_rows,
                        ScanSessionOpener open_scan_session)
        : provider_(provider), commit_rows_(commit_rows),
          open_scan_session_(std::move(open_scan_session)) {}

    void Refresh() override {
        tables_.clear();
        auto rs = provider_.OpenRecordset(
            "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() "
            "AND TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED')");
        for (; !rs->IsEOF(); rs->MoveNext())
            if (const auto* name = std::get_if<std::string>(&rs->GetField(0).GetValue()))
                tables_.push_back(*name);
        rs->Close();
    }

    std::string FindTable(const std::string& name) const override {
        // The conversion's lower-cased name first; a table another tool made may keep the case.
        const std::string lower = Utf8ToLower(name);
        auto found = std::find(tables_.begin(), tables_.end(), lower);
        if (found == tables_.end())
            found = std::find_if(tables_.begin(), tables_.end(), [&](const std::string& table) {
                return Utf8ToLower(table) == lower;
            });
        return found == tables_.end() ? std::string() : *found;
    }

    std::unique_ptr<TargetTable> OpenTable(const std::string& name) override {
        return std::make_unique<MySqlTargetTable>(provider_, name, commit_rows_,
                                                  open_scan_session_);
    }

    void CanonicalOf(ValueForm form, const Value& value, Canonical& out) const override {
        SourceCanonical(form, value, out);
    }

    bool TextIsCanonical() const override { return true; }

private:
    Provider& provider_;
    std::size_t commit_rows_;
    ScanSessionOpener open_scan_session_;
    std::vector<std::string> tables_;
};

} // namespace

std::unique_ptr<TargetDatabase> MakeMySqlTarget(Provider& provider, std::size_t commit_rows,
                                                ScanSessionOpener open_scan_session) {
    return std::make_unique<MySqlTargetDatabase>(provider, std::min(commit_rows, kSyncCommitRows),
                                                 std::move(open_scan_session));
}

} // namespace tw::data::mysql
