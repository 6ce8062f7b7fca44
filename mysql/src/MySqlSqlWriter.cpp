#include "MySqlSqlWriterInternals.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>

// Statements: select and union queries with their FROM clauses, the names of a view's columns
// and the entry points.

namespace tw::data::sqlwriter {

namespace {

// The tables of a FROM item: the name or alias each is known by, and the table (empty for a
// derived table).
void Leaves(const sql::TableRef& table, std::vector<std::pair<std::string, std::string>>& out) {
    switch (table.kind) {
    case sql::TableRefKind::Table:
        out.emplace_back(table.alias.empty() ? table.name : table.alias, table.name);
        return;
    case sql::TableRefKind::Derived:
        out.emplace_back(table.alias, std::string());
        return;
    case sql::TableRefKind::Join:
        Leaves(*table.left, out);
        Leaves(*table.right, out);
        return;
    case sql::TableRefKind::Paren:
        Leaves(*table.inner, out);
        return;
    }
}

} // namespace

void Writer::AddSource(const std::string& name) {
    const std::string key = Utf8ToLower(name);
    for (const auto& known : sources)
        if (Utf8ToLower(known) == key)
            return;
    sources.push_back(name);
}

std::string Writer::TopStatement(const sql::Statement& statement) {
    if (!statement.parameters.empty() && !context_.parameter)
        Refuse("参数查询（PARAMETERS）");
    switch (statement.kind) {
    case sql::StatementKind::Select:
        break;
    case sql::StatementKind::Crosstab:
        if (statement.pivot_in.empty())
            Refuse("交叉表查询（TRANSFORM/PIVOT）");
        return QueryBody(FixedCrosstab(statement), Context::Top);
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
    if (parts.size() == 1 && parts[0].percent) {
        // TOP n PERCENT: the rows whose rank in the sort order is within n percent of the rows,
        // rounded up, with the rows that tie with the last of them; without ORDER BY any such
        // number of rows.
        const std::string over =
            order.empty() ? "ROW_NUMBER() OVER ()" : "RANK() OVER (" + order + ")";
        std::string names;
        for (const auto& name : parts[0].names)
            names += (names.empty() ? "" : ", ") + Name(name);
        return "SELECT " + names + " FROM (" + parts[0].head + ", " + over +
               " AS `tw_rank`, COUNT(*) OVER () AS `tw_count`" + parts[0].tail +
               ") AS `tw_top` WHERE `tw_rank` <= CEILING(`tw_count` * " + *parts[0].top +
               " / 100) ORDER BY `tw_rank`";
    }
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
        if (parts[i].percent)
            Refuse("联合查询中的 TOP n PERCENT");
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
        SelectPart part;
        part.sql = "SELECT * FROM " + Name(select.table);
        return part;
    }
    const bool distinct = select.quantifier == sql::SetQuantifier::Distinct;
    const bool distinct_row = select.quantifier == sql::SetQuantifier::DistinctRow;
    if (select.top && select.top_percent) {
        // The ranks are counted before DISTINCT would drop rows; the names of the view's
        // columns are needed to leave the ranks out.
        if (distinct)
            Refuse("TOP n PERCENT 与 DISTINCT");
        if (!name_columns)
            Refuse("子查询中的 TOP n PERCENT");
        const std::string percent = *select.top;
        if (percent.size() > 3 || std::stoi(percent) > 100)
            Refuse("TOP n PERCENT 的 n 大于 100");
    }
    if (distinct_row)
        if (const std::optional<sql::Select> semi_join = SemiJoin(select))
            return Select(*semi_join, name_columns);

    unresolved_.emplace_back();
    scopes_.emplace_back();
    for (const auto& table : select.from)
        Leaves(*table, scopes_.back());
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
    scopes_.pop_back();
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
    SelectPart part;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            sql += ", ";
        sql += items[i].expr.sql;
        if (items[i].alias && exact_aliases_.contains(*items[i].alias)) {
            sql += " AS `";
            AppendNameText(sql, *items[i].alias);
            sql += "`";
        } else if (items[i].alias)
            sql += " AS " + Name(*items[i].alias);
        if (items[i].alias || items[i].expr.shape == Shape::Column)
            part.names.push_back(items[i].alias ? *items[i].alias : items[i].expr.value);
        else if (select.top_percent)
            Refuse("TOP n PERCENT 与 *（列未知）");
    }
    part.sql = sql + from;
    part.top = select.top;
    part.percent = select.top && select.top_percent;
    part.head = sql;
    part.tail = from;
    return part;
}

namespace {

// The tables of a FROM clause joined by inner joins only, and their join conditions; false when
// an outer join is among them.
bool InnerLeaves(const sql::TableRefPtr& table, std::vector<sql::TableRefPtr>& leaves,
                 std::vector<sql::ExprPtr>& conditions) {
    switch (table->kind) {
    case sql::TableRefKind::Table:
    case sql::TableRefKind::Derived:
        leaves.push_back(table);
        return true;
    case sql::TableRefKind::Paren:
        return InnerLeaves(table->inner, leaves, conditions);
    case sql::TableRefKind::Join:
        if (table->join == sql::JoinKind::Left || table->join == sql::JoinKind::Right)
            return false;
        conditions.push_back(table->on);
        return InnerLeaves(table->left, leaves, conditions) &&
               InnerLeaves(table->right, leaves, conditions);
    }
    return false;
}

// Collects the tables that columns name (lower-cased) in an expression, subqueries included;
// false when a column names no table or an aggregate is among the expression's own calls.
bool OutputTables(const sql::Expr& e, std::set<std::string>& tables, bool in_subquery) {
    if (e.kind == sql::ExprKind::Column) {
        if (e.qualifier.empty())
            return in_subquery;
        tables.insert(Utf8ToLower(e.qualifier));
        return true;
    }
    if (e.kind == sql::ExprKind::Call && !in_subquery) {
        const std::string key = AsciiLower(e.text);
        for (const char* aggregate : {"count", "sum", "avg", "min", "max", "first", "last", "stdev",
                                      "stdevp", "var", "varp"})
            if (key == aggregate)
                return false;
    }
    for (const auto& arg : e.args)
        if (!OutputTables(*arg, tables, in_subquery))
            return false;
    if (e.query)
        for (const auto& part : e.query->parts)
            for (const auto& item : part.items)
                if (item.expr && !OutputTables(*item.expr, tables, true))
                    return false;
    return true;
}

sql::ExprPtr AndOf(sql::ExprPtr left, sql::ExprPtr right) {
    if (!left)
        return right;
    auto e = std::make_shared<sql::Expr>();
    e->kind = sql::ExprKind::Binary;
    e->binary = sql::BinaryOp::And;
    auto paren = [](sql::ExprPtr inner) {
        auto p = std::make_shared<sql::Expr>();
        p->kind = sql::ExprKind::Paren;
        p->args = {std::move(inner)};
        return sql::ExprPtr(p);
    };
    e->args = {paren(std::move(left)), paren(std::move(right))};
    return e;
}

} // namespace

// DISTINCTROW over a join whose output has fields of only some of its tables: each combination
// of those tables' records appears once when records of the other tables match it (a semi-join),
// written as the output tables with EXISTS over the others. Nothing to rewrite when the output
// has fields of every table (each row is then its own records' combination); refused with outer
// joins, totals, or fields whose table is not named, where the meaning is not certain.
std::optional<sql::Select> Writer::SemiJoin(const sql::Select& select) {
    std::vector<sql::TableRefPtr> leaves;
    std::vector<sql::ExprPtr> conditions;
    bool inner_only = true;
    for (const auto& table : select.from)
        inner_only = InnerLeaves(table, leaves, conditions) && inner_only;
    std::set<std::string> output;
    bool star_all = false;
    bool known = true;
    for (const auto& item : select.items) {
        if (item.star && item.star_table.empty())
            star_all = true;
        else if (item.star)
            output.insert(Utf8ToLower(item.star_table));
        else
            known = OutputTables(*item.expr, output, false) && known;
    }
    const auto handle = [](const sql::TableRef& t) {
        return Utf8ToLower(t.kind == sql::TableRefKind::Table && t.alias.empty() ? t.name
                                                                                 : t.alias);
    };
    if (star_all || leaves.size() < 2 ||
        std::all_of(leaves.begin(), leaves.end(),
                    [&](const sql::TableRefPtr& t) { return output.contains(handle(*t)); }))
        return std::nullopt;
    if (!inner_only || !known || !select.group_by.empty() || select.having)
        Refuse("DISTINCTROW（结果未包含每个表的字段，且有外部联接、汇总或未指明表的字段）");
    sql::Select outer = select;
    outer.quantifier = sql::SetQuantifier::None;
    outer.from.clear();
    sql::Select inner;
    auto one = std::make_shared<sql::Expr>();
    one->kind = sql::ExprKind::Literal;
    one->literal = sql::LiteralType::Number;
    one->text = "1";
    inner.items.push_back(sql::SelectItem{one, false, {}, std::nullopt});
    for (const auto& leaf : leaves)
        (output.contains(handle(*leaf)) ? outer.from : inner.from).push_back(leaf);
    for (const auto& condition : conditions)
        inner.where = AndOf(inner.where, condition);
    if (select.where)
        inner.where = AndOf(inner.where, select.where);
    auto query = std::make_shared<sql::Query>();
    query->parts.push_back(std::move(inner));
    auto exists = std::make_shared<sql::Expr>();
    exists->kind = sql::ExprKind::Exists;
    exists->query = query;
    outer.where = exists;
    return outer;
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

ValueType Writer::TypeIn(const std::vector<sql::TableRefPtr>& from, const sql::Expr& e) {
    scopes_.emplace_back();
    for (const auto& table : from)
        Leaves(*table, scopes_.back());
    const ValueType type = Expression(e).type;
    scopes_.pop_back();
    return type;
}

std::string Writer::RowExpression(const sql::Expr& e, const std::string& row_table) {
    if (!row_table.empty())
        scopes_.push_back({{row_table, row_table}});
    return Expression(e).sql;
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
    return sqlwriter::Run(context, [&](sqlwriter::Writer& writer) {
        return writer.RowExpression(expression, context.row_table);
    });
}

SqlWriterContext RowContext(const TableSchema& table) {
    SqlWriterContext context;
    context.row_table = table.name;
    context.columns = [&table](const std::string& name) -> std::optional<std::vector<std::string>> {
        if (Utf8ToLower(name) != Utf8ToLower(table.name))
            return std::nullopt;
        std::vector<std::string> names;
        for (const auto& column : table.columns)
            names.push_back(column.name);
        return names;
    };
    context.column_type = [&table](const std::string& name,
                                   const std::string& wanted) -> std::optional<int> {
        if (Utf8ToLower(name) != Utf8ToLower(table.name))
            return std::nullopt;
        for (const auto& column : table.columns)
            if (Utf8ToLower(column.name) == Utf8ToLower(wanted))
                return column.ado_type;
        return std::nullopt;
    };
    return context;
}

} // namespace tw::data
