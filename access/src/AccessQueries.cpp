// Saved queries: Access keeps no SQL text for most of them, only the parts of the statement as
// rows of MSysQueries (its type, parameters, tables, columns, joins, conditions, groupings and
// orderings), one set of rows per query. The text is put together from them as Access's SQL
// view shows it: one clause a line (CR LF), ending with ';'. Data-definition and pass-through
// queries keep their own text.

#include "AccessInternals.h"
#include "tablewright/access/AccessSql.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tw::data::access {

namespace {

// What a row of MSysQueries describes (its Attribute).
constexpr int kAttributeType = 1;
constexpr int kAttributeParameter = 2;
constexpr int kAttributeFlag = 3;
constexpr int kAttributeRemoteDatabase = 4;
constexpr int kAttributeTable = 5;
constexpr int kAttributeColumn = 6;
constexpr int kAttributeJoin = 7;
constexpr int kAttributeWhere = 8;
constexpr int kAttributeGroupBy = 9;
constexpr int kAttributeHaving = 10;
constexpr int kAttributeOrderBy = 11;

// Bits of the Flag of the flag row.
constexpr int kSelectStar = 0x01;
constexpr int kSelectDistinct = 0x02;
constexpr int kOwnerAccess = 0x04;
constexpr int kSelectDistinctRow = 0x08;
constexpr int kSelectTop = 0x10;
constexpr int kSelectTopPercent = 0x20;
// The flag row of a union query: UNION without ALL.
constexpr int kUnionDistinct = 0x02;
// Column rows of a crosstab query: the PIVOT column and the ordinary (row heading) ones; the
// TRANSFORM value has neither bit.
constexpr int kCrosstabPivot = 0x01;
constexpr int kCrosstabNormal = 0x02;
// Column rows of an append query that are VALUES rather than selected columns.
constexpr int kAppendValue = 0x8000;

// The two parts of a union query are table rows named by these aliases.
constexpr std::string_view kUnionFirst = "X7YZ_____1";
constexpr std::string_view kUnionSecond = "X7YZ_____2";

// Parameter types (the Flag of a parameter row) that take a size in LvExtra.
constexpr std::int64_t kParameterText = 10;

// Object flags of MSysObjects that give the kind of a query (0 is a select query).
constexpr std::uint32_t kQueryKindFlags = 0xF0;

// More joins than any query Access makes; beyond it the rows are taken as damaged, which also
// bounds how deep the nested joins are.
constexpr std::size_t kMaxJoins = 1024;

constexpr std::string_view kNewline = "\r\n";

// One row of MSysQueries. Missing values read as empty text and 0, which is how the rebuilt text
// treats them.
struct QueryRow {
    std::int64_t attribute = -1;
    std::string expression;
    std::int64_t flag = 0;
    std::int64_t extra = 0;
    std::string name1;
    std::string name2;
    std::string order;
};

using Rows = std::vector<const QueryRow*>;

// Thrown while putting together the text of a query whose rows contradict each other.
struct Unreadable {};

std::optional<QueryKind> KindOfTypeRow(std::int64_t type) {
    switch (type) {
    case 1:
        return QueryKind::Select;
    case 2:
        return QueryKind::MakeTable;
    case 3:
        return QueryKind::Append;
    case 4:
        return QueryKind::Update;
    case 5:
        return QueryKind::Delete;
    case 6:
        return QueryKind::Crosstab;
    case 7:
        return QueryKind::DataDefinition;
    case 8:
        return QueryKind::PassThrough;
    case 9:
        return QueryKind::Union;
    default:
        return std::nullopt;
    }
}

std::optional<QueryKind> KindOfObjectFlags(std::uint32_t flags) {
    switch (flags & kQueryKindFlags) {
    case 0:
        return QueryKind::Select;
    case 16:
        return QueryKind::Crosstab;
    case 32:
        return QueryKind::Delete;
    case 48:
        return QueryKind::Update;
    case 64:
        return QueryKind::Append;
    case 80:
        return QueryKind::MakeTable;
    case 96:
        return QueryKind::DataDefinition;
    case 112:
        return QueryKind::PassThrough;
    case 128:
        return QueryKind::Union;
    default:
        return std::nullopt;
    }
}

const char* ParameterType(std::int64_t type) {
    switch (type) {
    case 0:
        return "Value";
    case 1:
        return "Bit";
    case 2:
        return "Byte";
    case 3:
        return "Short";
    case 4:
        return "Long";
    case 5:
        return "Currency";
    case 6:
        return "IEEESingle";
    case 7:
        return "IEEEDouble";
    case 8:
        return "DateTime";
    case 9:
        return "Binary";
    case 10:
        return "Text";
    case 11:
        return "LongBinary";
    case 12:
        return "LongText";
    case 15:
        return "Guid";
    case 16:
        return "Decimal";
    default:
        return nullptr;
    }
}

const char* JoinType(std::int64_t type) {
    switch (type) {
    case 1:
        return " INNER JOIN ";
    case 2:
        return " LEFT JOIN ";
    case 3:
        return " RIGHT JOIN ";
    default:
        return nullptr;
    }
}

std::string Joined(const std::vector<std::string>& parts, std::string_view separator = ", ") {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            text += separator;
        text += parts[i];
    }
    return text;
}

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A name in brackets, unless it is in brackets already.
std::string Bracketed(std::string_view name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        return std::string(name);
    return "[" + std::string(name) + "]";
}

// A name as Access writes it: in brackets when it has anything but letters, digits and '_'.
// An identifier is written part by part between its dots (those outside brackets).
std::string Quoted(std::string_view name, bool identifier) {
    std::string text;
    std::size_t start = 0;
    int depth = 0;
    for (std::size_t i = 0; identifier && i < name.size(); ++i) {
        if (name[i] == '[')
            ++depth;
        else if (name[i] == ']' && depth > 0)
            --depth;
        else if (name[i] == '.' && depth == 0) {
            const std::string_view part = name.substr(start, i - start);
            text += std::all_of(part.begin(), part.end(), IsWordChar) ? std::string(part)
                                                                      : Bracketed(part);
            text += '.';
            start = i + 1;
        }
    }
    const std::string_view part = name.substr(start);
    text += std::all_of(part.begin(), part.end(), IsWordChar) ? std::string(part) : Bracketed(part);
    return text;
}

std::string Alias(const std::string& alias) {
    return alias.empty() ? std::string() : " AS " + Quoted(alias, false);
}

// " IN 'path' [type]" for a table of another database; empty for this one.
std::string RemoteDatabase(const std::string& path, const std::string& type) {
    if (path.empty() && type.empty())
        return {};
    std::string text = " IN '" + path + "'";
    if (!type.empty())
        text += " [" + type + "]";
    return text;
}

// A part of a union query as the text of the whole shows it: trimmed, each run of line breaks
// one CR LF.
std::string UnionPart(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    std::string part;
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] != '\r' && text[i] != '\n') {
            part += text[i];
        } else if (i == begin || (text[i - 1] != '\r' && text[i - 1] != '\n')) {
            part += kNewline;
        }
    }
    return part;
}

// What the FROM clause reads: a table (or query) with its alias, or two of them joined.
struct Source {
    // A table: the name its joins use for it (its alias, else its name) and its text.
    std::string key;
    std::string text;
    // A join: both sides, the join type and the conditions, ANDed.
    std::unique_ptr<Source> left;
    std::unique_ptr<Source> right;
    std::int64_t type = 0;
    std::vector<std::string> on;

    bool Contains(std::string_view table) const {
        return left ? left->Contains(table) || right->Contains(table) : EqualsNoCase(key, table);
    }

    void Write(std::string& out, bool top) const {
        if (!left) {
            out += text;
            return;
        }
        if (!top)
            out += '(';
        left->Write(out, false);
        out += JoinType(type);
        right->Write(out, false);
        out += " ON ";
        if (on.size() > 1)
            out += "(" + Joined(on, ") AND (") + ")";
        else
            out += on.front();
        if (!top)
            out += ')';
    }
};

std::unique_ptr<Source> NamedSource(const std::string& name) {
    auto source = std::make_unique<Source>();
    source->key = name;
    source->text = Quoted(name, true);
    return source;
}

// Puts together the SQL text of one query from its rows.
class QueryText {
public:
    explicit QueryText(const std::vector<QueryRow>& rows) : rows_(rows) {}

    std::string Build(QueryKind kind) const {
        if (kind == QueryKind::DataDefinition || kind == QueryKind::PassThrough) {
            // The statement as written; Access stores it with a terminating NUL.
            std::string text = Unique(kAttributeType).expression;
            while (!text.empty() && text.back() == '\0')
                text.pop_back();
            return text;
        }
        std::string out = Parameters();
        switch (kind) {
        case QueryKind::Select:
            out += Select(true, All(kAttributeColumn), All(kAttributeGroupBy), {});
            break;
        case QueryKind::MakeTable: {
            const QueryRow& type = Unique(kAttributeType);
            out += Select(true, All(kAttributeColumn), All(kAttributeGroupBy),
                          " INTO " + Quoted(type.name1, true) +
                              RemoteDatabase(type.name2, type.expression));
            break;
        }
        case QueryKind::Append:
            out += Append();
            break;
        case QueryKind::Update:
            out += Update();
            break;
        case QueryKind::Delete:
            out += "DELETE " + Select(false, All(kAttributeColumn), All(kAttributeGroupBy), {});
            break;
        case QueryKind::Crosstab:
            out += Crosstab();
            break;
        case QueryKind::Union:
            out += Union();
            break;
        default:
            throw Unreadable{};
        }
        if (Flagged(kOwnerAccess))
            out += std::string(kNewline) + "WITH OWNERACCESS OPTION";
        out += ';';
        return out;
    }

private:
    Rows All(std::int64_t attribute) const {
        Rows rows;
        for (const auto& row : rows_) {
            if (row.attribute == attribute)
                rows.push_back(&row);
        }
        return rows;
    }

    // The rows whose Flag has any of `mask` (or none of it).
    static Rows WithFlag(const Rows& rows, std::int64_t mask, bool set = true) {
        Rows kept;
        std::copy_if(rows.begin(), rows.end(), std::back_inserter(kept),
                     [&](const QueryRow* row) { return ((row->flag & mask) != 0) == set; });
        return kept;
    }

    // The one row of a kind there can be only one of; an empty row when there is none.
    static const QueryRow& Unique(const Rows& rows) {
        static const QueryRow kNone;
        if (rows.size() > 1)
            throw Unreadable{};
        return rows.empty() ? kNone : *rows.front();
    }
    const QueryRow& Unique(std::int64_t attribute) const { return Unique(All(attribute)); }

    bool Flagged(std::int64_t mask) const { return (Unique(kAttributeFlag).flag & mask) != 0; }

    std::string Parameters() const {
        std::vector<std::string> parameters;
        for (const QueryRow* row : All(kAttributeParameter)) {
            const char* type = ParameterType(row->flag);
            if (!type)
                throw Unreadable{};
            std::string text = row->name1 + " " + type;
            if (row->flag == kParameterText && row->extra > 0)
                text += "(" + std::to_string(row->extra) + ")";
            parameters.push_back(std::move(text));
        }
        if (parameters.empty())
            return {};
        return "PARAMETERS " + Joined(parameters) + ";" + std::string(kNewline);
    }

    std::string SelectType() const {
        if (Flagged(kSelectDistinct))
            return "DISTINCT ";
        if (Flagged(kSelectDistinctRow))
            return "DISTINCTROW ";
        if (Flagged(kSelectTop))
            return "TOP " + Unique(kAttributeFlag).name1 +
                   (Flagged(kSelectTopPercent) ? " PERCENT " : " ");
        return {};
    }

    // The tables of the FROM clause: each table row, then the joins combining them, in the
    // order of their rows.
    std::vector<std::string> FromTables() const {
        std::vector<std::unique_ptr<Source>> sources;
        for (const QueryRow* row : All(kAttributeTable)) {
            auto source = std::make_unique<Source>();
            if (!row->expression.empty())
                source->text = Bracketed(row->expression) + ".";
            source->text += Quoted(row->name1, true) + Alias(row->name2);
            source->key = row->name2.empty() ? row->name1 : row->name2;
            sources.push_back(std::move(source));
        }
        const Rows joins = All(kAttributeJoin);
        if (joins.size() > kMaxJoins)
            throw Unreadable{};
        for (const QueryRow* join : joins) {
            if (!JoinType(join->flag))
                throw Unreadable{};
            // Take out what holds either table; a join already holding both gains a condition.
            std::unique_ptr<Source> from;
            std::unique_ptr<Source> to;
            Source* both = nullptr;
            for (auto it = sources.begin(); it != sources.end() && (!from || !to);) {
                if (!from && (*it)->Contains(join->name1)) {
                    if (!to && (*it)->Contains(join->name2)) {
                        both = it->get();
                        break;
                    }
                    from = std::move(*it);
                    it = sources.erase(it);
                } else if (!to && (*it)->Contains(join->name2)) {
                    to = std::move(*it);
                    it = sources.erase(it);
                } else {
                    ++it;
                }
            }
            if (both) {
                if (!both->left || both->type != join->flag)
                    throw Unreadable{};
                // Access lists the conditions of one join last to first.
                both->on.insert(both->on.begin(), join->expression);
                continue;
            }
            auto joined = std::make_unique<Source>();
            joined->left = from ? std::move(from) : NamedSource(join->name1);
            joined->right = to ? std::move(to) : NamedSource(join->name2);
            joined->type = join->flag;
            joined->on.push_back(join->expression);
            sources.push_back(std::move(joined));
        }
        std::vector<std::string> tables;
        for (const auto& source : sources) {
            source->Write(tables.emplace_back(), true);
        }
        return tables;
    }

    std::string FromRemoteDatabase() const {
        const QueryRow& remote = Unique(kAttributeRemoteDatabase);
        return RemoteDatabase(remote.name1, remote.expression);
    }

    std::string Where() const {
        const std::string& where = Unique(kAttributeWhere).expression;
        return where.empty() ? std::string() : std::string(kNewline) + "WHERE " + where;
    }

    std::string OrderBy() const {
        std::vector<std::string> orderings;
        for (const QueryRow* row : All(kAttributeOrderBy))
            orderings.push_back(row->expression + (EqualsNoCase(row->name1, "D") ? " DESC" : ""));
        return orderings.empty() ? std::string()
                                 : std::string(kNewline) + "ORDER BY " + Joined(orderings);
    }

    // SELECT with its columns (each with its alias), then FROM, WHERE, GROUP BY, HAVING and
    // ORDER BY; `into` follows the columns of a make-table query.
    std::string Select(bool keyword, const Rows& columns, const Rows& groupings,
                       const std::string& into) const {
        std::string out = keyword ? "SELECT " + SelectType() : std::string();
        std::vector<std::string> selected;
        for (const QueryRow* row : columns)
            selected.push_back(row->expression + Alias(row->name1));
        if (Flagged(kSelectStar))
            selected.emplace_back("*");
        out += Joined(selected) + into;
        const std::vector<std::string> tables = FromTables();
        if (!tables.empty())
            out += std::string(kNewline) + "FROM " + Joined(tables) + FromRemoteDatabase();
        out += Where();
        std::vector<std::string> groups;
        for (const QueryRow* row : groupings)
            groups.push_back(row->expression);
        if (!groups.empty())
            out += std::string(kNewline) + "GROUP BY " + Joined(groups);
        const std::string& having = Unique(kAttributeHaving).expression;
        if (!having.empty())
            out += std::string(kNewline) + "HAVING " + having;
        return out + OrderBy();
    }

    std::string Append() const {
        const QueryRow& type = Unique(kAttributeType);
        const Rows columns = All(kAttributeColumn);
        std::string out = "INSERT INTO " + Quoted(type.name1, true);
        std::vector<std::string> targets;
        for (const QueryRow* row : columns) {
            if (!row->name2.empty())
                targets.push_back(Quoted(row->name2, true));
        }
        if (!targets.empty())
            out += " (" + Joined(targets) + ")";
        out += RemoteDatabase(type.name2, type.expression) + std::string(kNewline);
        std::vector<std::string> values;
        for (const QueryRow* row : WithFlag(columns, kAppendValue))
            values.push_back(row->expression);
        if (!values.empty())
            return out + "VALUES (" + Joined(values) + ")";
        return out +
               Select(true, WithFlag(columns, kAppendValue, false), All(kAttributeGroupBy), {});
    }

    std::string Update() const {
        std::string out = "UPDATE " + Joined(FromTables()) + FromRemoteDatabase();
        std::vector<std::string> assignments;
        for (const QueryRow* row : All(kAttributeColumn))
            assignments.push_back(Quoted(row->name2, true) + " = " + row->expression);
        out += std::string(kNewline) + "SET " + Joined(assignments);
        return out + Where();
    }

    std::string Crosstab() const {
        const Rows columns = All(kAttributeColumn);
        const QueryRow& value = Unique(WithFlag(columns, kCrosstabPivot | kCrosstabNormal, false));
        const QueryRow& pivot = Unique(WithFlag(columns, kCrosstabPivot));
        std::string out;
        if (!value.expression.empty())
            out += "TRANSFORM " + value.expression + Alias(value.name1) + std::string(kNewline);
        out += Select(true, WithFlag(columns, kCrosstabNormal),
                      WithFlag(All(kAttributeGroupBy), kCrosstabNormal), {});
        return out + std::string(kNewline) + "PIVOT " + pivot.expression;
    }

    std::string Union() const {
        const QueryRow* first = nullptr;
        const QueryRow* second = nullptr;
        for (const QueryRow* row : All(kAttributeTable)) {
            if (!first && row->name2 == kUnionFirst)
                first = row;
            else if (!second && row->name2 == kUnionSecond)
                second = row;
        }
        if (!first || !second)
            throw Unreadable{};
        return UnionPart(first->expression) + std::string(kNewline) + "UNION " +
               (Flagged(kUnionDistinct) ? "" : "ALL ") + UnionPart(second->expression) + OrderBy();
    }

    const std::vector<QueryRow>& rows_;
};

// The kind of a query: what its type row says, unless the object's flags name another kind.
QueryKind KindOf(const CatalogObject& object, const std::vector<QueryRow>& rows) {
    const QueryRow* type = nullptr;
    for (const auto& row : rows) {
        if (row.attribute != kAttributeType)
            continue;
        if (type)
            return QueryKind::Other;
        type = &row;
    }
    const auto by_flags = KindOfObjectFlags(object.flags);
    if (!type)
        return by_flags.value_or(QueryKind::Other);
    const auto by_row = KindOfTypeRow(type->flag);
    // The flags of a select query are 0, which some files keep for queries of every kind.
    if (!by_row || ((object.flags & kQueryKindFlags) != 0 && by_row != by_flags))
        return QueryKind::Other;
    return *by_row;
}

// The tables and queries the rows name, first mention first, each once.
std::vector<std::string> SourcesOf(const std::vector<QueryRow>& rows) {
    std::vector<std::string> sources;
    for (const auto& row : rows) {
        if (row.attribute != kAttributeTable || row.name1.empty())
            continue;
        if (std::none_of(sources.begin(), sources.end(),
                         [&](const std::string& name) { return EqualsNoCase(name, row.name1); }))
            sources.push_back(row.name1);
    }
    return sources;
}

} // namespace

std::vector<QuerySchema> Catalog::Queries() {
    std::unordered_map<std::int32_t, std::vector<QueryRow>> rows_of;
    std::vector<const CatalogObject*> queries;
    for (const auto& object : objects_) {
        if (object.type == kObjectQuery && TableType(object) == "VIEW") {
            queries.push_back(&object);
            rows_of.emplace(object.id, std::vector<QueryRow>{});
        }
    }
    const CatalogObject* system = Find("MSysQueries");
    if (queries.empty() || !system || system->type != kObjectTable)
        return {};
    const auto plan = Plan(*system);

    enum { kAttribute, kExpression, kFlag, kExtra, kName1, kName2, kObjectId, kOrder };
    static constexpr std::string_view kColumns[] = {
        "Attribute", "Expression", "Flag", "LvExtra", "Name1", "Name2", "ObjectId", "Order"};
    const std::vector<std::size_t> at = LocateSystemColumns(*file_, *plan, kColumns, "MSysQueries");

    RowReader reader(file_, plan);
    Value value;
    while (reader.Next()) {
        const auto found =
            rows_of.find(static_cast<std::int32_t>(Integer(reader, at[kObjectId], value)));
        if (found == rows_of.end())
            continue;
        QueryRow& row = found->second.emplace_back();
        row.attribute = Integer(reader, at[kAttribute], value);
        row.expression = Text(reader, at[kExpression], value);
        row.flag = Integer(reader, at[kFlag], value);
        row.extra = Integer(reader, at[kExtra], value);
        row.name1 = Text(reader, at[kName1], value);
        row.name2 = Text(reader, at[kName2], value);
        reader.Decode(at[kOrder], value);
        if (const auto* order = std::get_if<Bytes>(&value))
            row.order = order->data;
    }

    std::vector<QuerySchema> result;
    for (const CatalogObject* object : queries) {
        std::vector<QueryRow>& rows = rows_of[object->id];
        // Rows without an order keep the order of the table.
        std::stable_sort(rows.begin(), rows.end(),
                         [](const QueryRow& a, const QueryRow& b) { return a.order < b.order; });
        QuerySchema& query = result.emplace_back();
        query.name = object->name;
        query.kind = KindOf(*object, rows);
        query.sources = SourcesOf(rows);
        query.has_parameters = std::any_of(rows.begin(), rows.end(), [](const QueryRow& row) {
            return row.attribute == kAttributeParameter;
        });
        if (query.kind == QueryKind::Other)
            continue;
        try {
            query.sql = QueryText(rows).Build(query.kind);
            if (query.kind != QueryKind::PassThrough) {
                ParsedStatement parsed = ParseAccessQuery(query.sql);
                query.tree = std::move(parsed.tree);
                query.tree_refusal = std::move(parsed.refusal);
            }
        } catch (const Unreadable&) {
            // Rows that contradict each other: the query is listed, without its text.
            query.kind = QueryKind::Other;
        }
    }
    return result;
}

} // namespace tw::data::access
