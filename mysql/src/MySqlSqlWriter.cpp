#include "MySqlSqlWriterInternals.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>

// Statements: select and union queries with their FROM clauses, the names of a view's columns
// and the entry points.

namespace tw::data::sqlwriter {

void Writer::AddSource(const std::string& name) {
    const std::string key = Utf8ToLower(name);
    for (const auto& known : sources)
        if (Utf8ToLower(known) == key)
            return;
    sources.push_back(name);
}

std::string Writer::TopStatement(const sql::Statement& statement) {
    if (!statement.parameters.empty())
        Refuse("参数查询（PARAMETERS）");
    switch (statement.kind) {
    case sql::StatementKind::Select:
        break;
    case sql::StatementKind::Crosstab:
        Refuse("交叉表查询（TRANSFORM/PIVOT）");
    case sql::StatementKind::Insert:
        Refuse("操作查询（INSERT）");
    case sql::StatementKind::Update:
        Refuse("操作查询（UPDATE）");
    case sql::StatementKind::Delete:
        Refuse("操作查询（DELETE）");
    case sql::StatementKind::DataDefinition:
        Refuse("数据定义查询（" + statement.definition + "）");
    }
    return QueryBody(*statement.query, Context::Top);
}

// A select or a union of selects, with the ORDER BY that follows them.
std::string Writer::QueryBody(const sql::Query& query, Context context) {
    const bool name_columns = context == Context::Top || context == Context::Derived;
    std::vector<SelectPart> parts;
    parts.push_back(Select(query.parts[0], name_columns));
    for (std::size_t i = 1; i < query.parts.size(); ++i)
        parts.push_back(Select(query.parts[i], false));
    const std::string order =
        query.order_by.empty() ? std::string() : OrderBy(query.order_by, parts.size() > 1);
    const bool any_top =
        std::any_of(parts.begin(), parts.end(), [](const SelectPart& p) { return p.top; });
    if (any_top && context == Context::Membership)
        Refuse("IN、ANY、ALL 子查询中的 TOP"); // MySQL has no LIMIT there

    std::string sql;
    if (parts.size() == 1) {
        sql = parts[0].sql;
        if (!order.empty())
            sql += " " + order;
        // Access's TOP n keeps every row that ties with the n-th in the sort order; MariaDB's
        // WITH TIES does the same (MariaDB 10.6 and later; other servers refuse the view).
        // Without ORDER BY any n rows will do, as with LIMIT.
        if (parts[0].top)
            sql += order.empty() ? " LIMIT " + *parts[0].top
                                 : " FETCH FIRST " + *parts[0].top + " ROWS WITH TIES";
        return sql;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            sql += query.union_all[i - 1] ? " UNION ALL " : " UNION ";
        // A union's ORDER BY sorts the union, so a part's TOP picks any n of its rows.
        sql += parts[i].top ? "(" + parts[i].sql + " LIMIT " + *parts[i].top + ")" : parts[i].sql;
    }
    if (!order.empty())
        sql += " " + order;
    return sql;
}

std::string Writer::OrderBy(const std::vector<sql::OrderItem>& order, bool of_union) {
    std::string sql = "ORDER BY ";
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Written e = Expression(*order[i].expr);
        if (i > 0)
            sql += ", ";
        // A union is sorted by its own column names; MySQL refuses table names there.
        sql += of_union && e.shape == Shape::Column ? Name(e.value) : e.sql;
        if (order[i].order == sql::SortOrder::Desc)
            sql += " DESC";
        else if (order[i].order == sql::SortOrder::Asc)
            sql += " ASC";
    }
    return sql;
}

Writer::SelectPart Writer::Select(const sql::Select& select, bool name_columns) {
    if (select.table_form) { // TABLE t is SELECT * FROM t
        AddSource(select.table);
        return {"SELECT * FROM " + Name(select.table), std::nullopt};
    }
    const bool distinct = select.quantifier == sql::SetQuantifier::Distinct;
    const bool distinct_row = select.quantifier == sql::SetQuantifier::DistinctRow;
    if (select.top && select.top_percent)
        Refuse("TOP n PERCENT");

    unresolved_.emplace_back();
    std::set<std::string> output_tables;
    std::set<std::string>* const outer_tables = output_tables_;
    output_tables_ = &output_tables;
    bool star_all = false;
    std::vector<Item> items;
    for (const auto& source_item : select.items) {
        Item item;
        if (source_item.star && source_item.star_table.empty()) {
            item.expr = Make("*", kAtom);
            item.expr.shape = Shape::Star;
            star_all = true;
        } else if (source_item.star) {
            output_tables_->insert(Utf8ToLower(source_item.star_table));
            item.expr = Make(Name(source_item.star_table) + ".*", kAtom);
            item.expr.shape = Shape::Star;
        } else {
            item.expr = Expression(*source_item.expr);
            item.alias = source_item.alias;
        }
        items.push_back(std::move(item));
    }
    output_tables_ = nullptr;

    if (select.into)
        Refuse("生成表查询（SELECT … INTO）");
    std::string sql = distinct ? "SELECT DISTINCT " : "SELECT ";
    std::vector<std::string> tables;
    std::string from;
    const auto outer_from = std::move(from_tables_);
    from_tables_.clear();
    for (std::size_t i = 0; i < select.from.size(); ++i)
        from += (i == 0 ? " FROM " : ", ") + TableReference(*select.from[i], tables);
    const auto from_tables = std::move(from_tables_);
    from_tables_ = from_tables;
    if (select.where)
        from += " WHERE " + Expression(*select.where).sql;
    for (std::size_t i = 0; i < select.group_by.size(); ++i)
        from += (i == 0 ? " GROUP BY " : ", ") + Expression(*select.group_by[i]).sql;
    if (select.having)
        from += " HAVING " + Expression(*select.having).sql;
    output_tables_ = outer_tables;
    if (name_columns)
        ExpandStars(items);
    from_tables_ = outer_from;
    std::set<std::string> unresolved = std::move(unresolved_.back());
    unresolved_.pop_back();
    for (const auto& [handle, table] : from_tables)
        unresolved.erase(Utf8ToLower(handle));
    if (!unresolved_.empty())
        unresolved_.back().insert(unresolved.begin(), unresolved.end());
    else if (!unresolved.empty())
        Refuse("引用了 FROM 中没有的表 '" + *unresolved.begin() + "'（Access 把它当作参数）");

    // DISTINCTROW drops rows that come from the same source records. It changes nothing when
    // the query reads one table or outputs fields of every table it reads (each output row then
    // stems from its own records); otherwise it drops rows MySQL's DISTINCT (and MySQL's own
    // DISTINCTROW, a synonym of it) would keep, or keeps equal rows DISTINCT would drop.
    if (distinct_row && tables.size() > 1 && !star_all &&
        !std::all_of(tables.begin(), tables.end(),
                     [&](const std::string& t) { return output_tables.count(t) > 0; }))
        Refuse("DISTINCTROW（结果未包含每个表的字段）");

    // The view's columns get the names Access gives them: an expression without alias is
    // ExprNNNN, a field that appears twice is table.field (MySQL refuses a view whose columns
    // share a name).
    if (name_columns) {
        std::vector<std::string> names(items.size());
        int expression_number = 1000;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Item& item = items[i];
            if (item.alias)
                names[i] = Utf8ToLower(*item.alias);
            else if (item.expr.shape == Shape::Column)
                names[i] = Utf8ToLower(item.expr.value);
            else if (item.expr.shape != Shape::Star)
                items[i].alias = "Expr" + std::to_string(expression_number++);
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            Item& item = items[i];
            if (item.alias || item.expr.shape != Shape::Column || item.expr.qualifier.empty())
                continue;
            if (std::count(names.begin(), names.end(), names[i]) > 1)
                item.alias = item.expr.qualifier + "." + item.expr.value;
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            sql += ", ";
        sql += items[i].expr.sql;
        if (items[i].alias)
            sql += " AS " + Name(*items[i].alias);
    }
    return {sql + from, select.top};
}

// Spells out '*' and 'table.*' as the columns they stand for, so that a column that two tables
// share gets the name Access gives it (table.field) instead of making the view's columns clash.
// Left as it is when a table's columns are not known (a derived table, another query).
bool Writer::ExpandStars(std::vector<Item>& items) const {
    if (!context_.columns)
        return false;
    std::vector<Item> expanded;
    for (const Item& item : items) {
        if (item.expr.shape != Shape::Star) {
            expanded.push_back(item);
            continue;
        }
        const bool all = item.expr.sql == "*";
        for (const auto& [handle, table] : from_tables_) {
            if (!all && Name(handle) + ".*" != item.expr.sql)
                continue;
            const auto names = table.empty() ? std::nullopt : context_.columns(table);
            if (!names)
                return false;
            for (const auto& column : *names) {
                Item field;
                field.expr = Make(Name(handle) + "." + Name(column), kAtom);
                field.expr.shape = Shape::Column;
                field.expr.value = column;
                field.expr.qualifier = handle;
                expanded.push_back(std::move(field));
            }
        }
    }
    items = std::move(expanded);
    return true;
}

// A table, a derived table or a parenthesised join, with any joins.
std::string Writer::TableReference(const sql::TableRef& table, std::vector<std::string>& tables) {
    switch (table.kind) {
    case sql::TableRefKind::Join: {
        const std::string left = TableReference(*table.left, tables);
        const std::string right = TableReference(*table.right, tables);
        const char* join = table.join == sql::JoinKind::Inner   ? "INNER JOIN"
                           : table.join == sql::JoinKind::Left  ? "LEFT JOIN"
                           : table.join == sql::JoinKind::Right ? "RIGHT JOIN"
                                                                : "JOIN";
        return left + " " + join + " " + right + " ON " + Expression(*table.on).sql;
    }
    case sql::TableRefKind::Paren:
        return "(" + TableReference(*table.inner, tables) + ")";
    case sql::TableRefKind::Derived: {
        const std::string body = QueryBody(*table.query, Context::Derived);
        tables.push_back(Utf8ToLower(table.alias));
        from_tables_.emplace_back(table.alias, std::string());
        return "(" + body + ") AS " + Name(table.alias);
    }
    case sql::TableRefKind::Table:
        break;
    }
    if (!table.external.empty()) {
        const std::string external = AsciiLower(table.external);
        if (external.front() == ';' || external.find("database=") != std::string::npos)
            Refuse("外部数据库中的表");
        Refuse("外部数据库中的表（IN '…'）");
    }
    AddSource(table.name);
    std::string sql = Name(table.name);
    std::string handle = table.name;
    if (!table.alias.empty()) {
        handle = table.alias;
        sql += " AS " + Name(handle);
    }
    tables.push_back(Utf8ToLower(handle));
    from_tables_.emplace_back(handle, table.name);
    return sql;
}

template <typename Write> WrittenSql Run(const SqlWriterContext& context, Write write) {
    WrittenSql result;
    try {
        Writer writer(context);
        result.text = write(writer);
        result.sources = std::move(writer.sources);
    } catch (const Refused& refused) {
        result = WrittenSql{};
        result.refusal = refused.what;
    }
    return result;
}

} // namespace tw::data::sqlwriter

namespace tw::data {

WrittenSql WriteMySqlSelect(const sql::Statement& statement, const SqlWriterContext& context) {
    return sqlwriter::Run(
        context, [&](sqlwriter::Writer& writer) { return writer.TopStatement(statement); });
}

WrittenSql WriteMySqlView(std::string_view name, const sql::Statement& statement,
                          const SqlWriterContext& context) {
    WrittenSql written = WriteMySqlSelect(statement, context);
    if (written.refusal.empty()) {
        std::string view = "CREATE OR REPLACE VIEW ";
        MySqlDialect::AppendName(view, name);
        written.text = view + " AS " + written.text + ";";
    }
    return written;
}

WrittenSql WriteMySqlExpression(const sql::Expr& expression, const SqlWriterContext& context) {
    return sqlwriter::Run(
        context, [&](sqlwriter::Writer& writer) { return writer.Expression(expression).sql; });
}

} // namespace tw::data
