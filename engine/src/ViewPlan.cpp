#include "tablewright/engine/ViewPlan.h"

#include "tablewright/model/Text.h"

#include <functional>
#include <map>
#include <optional>

namespace tw::engine {

namespace {

// Access compares names without case; so do the lower-cased names of the converted tables.
std::string Key(const std::string& name) {
    return data::Utf8ToLower(name);
}

} // namespace

std::string QueryKindName(data::QueryKind kind) {
    using data::QueryKind;
    switch (kind) {
    case QueryKind::Select:
        return "选择查询";
    case QueryKind::Union:
        return "联合查询";
    case QueryKind::Crosstab:
        return "交叉表查询";
    case QueryKind::Append:
        return "追加查询";
    case QueryKind::Update:
        return "更新查询";
    case QueryKind::Delete:
        return "删除查询";
    case QueryKind::MakeTable:
        return "生成表查询";
    case QueryKind::DataDefinition:
        return "数据定义查询";
    case QueryKind::PassThrough:
        return "传递查询";
    case QueryKind::Other:
        break;
    }
    return "未知类型的查询";
}

std::vector<PlannedView> PlanViews(const std::vector<data::QuerySchema>& queries,
                                   const std::set<std::string>& converted,
                                   const std::vector<std::string>& source_tables,
                                   const ViewWriter& writer) {
    std::set<std::string> converted_keys;
    for (const auto& table : converted)
        converted_keys.insert(Key(table));
    std::set<std::string> table_keys;
    for (const auto& table : source_tables)
        table_keys.insert(Key(table));
    std::map<std::string, std::size_t> query_at;
    for (std::size_t i = 0; i < queries.size(); ++i)
        query_at.emplace(Key(queries[i].name), i);

    // Each query on its own: its kind, its translation and the tables it reads. A query that
    // reads saved select queries that ask for values (which become procedures, giving no rows
    // to read) reads them in its own text instead, as derived tables, and asks for their values
    // itself; the queries it reads are planned first for that.
    std::vector<PlannedView> plans(queries.size());
    std::vector<std::optional<sql::Statement>> trees(queries.size());
    std::vector<int> planned(queries.size(), 0); // 0 new, 1 being planned, 2 planned
    const auto asks_values = [&](std::size_t d) {
        const data::QuerySchema& query = queries[d];
        return planned[d] == 2 && plans[d].procedure && plans[d].note.empty() && trees[d] &&
               trees[d]->kind == sql::StatementKind::Select && trees[d]->query &&
               !trees[d]->query->parts.empty() && !trees[d]->query->parts.front().into &&
               query.kind != data::QueryKind::MakeTable;
    };
    std::function<void(std::size_t)> plan_query = [&](std::size_t i) {
        if (planned[i] != 0)
            return;
        planned[i] = 1;
        const data::QuerySchema& query = queries[i];
        PlannedView& plan = plans[i];
        plan.name = query.name;
        if (!query.problem.empty()) {
            plan.note = "查询的定义无法识别：" + query.problem;
            planned[i] = 2;
            return;
        }
        // Data-definition and pass-through queries change or read what only Access (or the
        // server they are passed to) has: they are left as they are.
        if (query.kind == data::QueryKind::DataDefinition ||
            query.kind == data::QueryKind::PassThrough || query.kind == data::QueryKind::Other) {
            plan.note = QueryKindName(query.kind) + "不转换为视图或存储过程";
            planned[i] = 2;
            return;
        }
        if (!query.tree) {
            plan.note =
                "MySQL 中没有结果相同的写法：" +
                (query.tree_refusal.empty() ? std::string("查询文本未能解析") : query.tree_refusal);
            planned[i] = 2;
            return;
        }
        sql::Statement tree = *query.tree;
        const bool reads_rows = tree.kind == sql::StatementKind::Select ||
                                tree.kind == sql::StatementKind::Crosstab ||
                                (tree.kind == sql::StatementKind::Insert && tree.query);
        bool inline_any = false;
        if (reads_rows) {
            for (const auto& source : sql::TableReferences(tree)) {
                const auto found = query_at.find(Key(source));
                if (found == query_at.end() || found->second == i)
                    continue;
                plan_query(found->second);
                inline_any = inline_any || asks_values(found->second);
            }
        }
        if (inline_any) {
            auto inlined = sql::InlineQueries(tree, [&](const std::string& name) {
                const auto found = query_at.find(Key(name));
                return found != query_at.end() && asks_values(found->second)
                           ? &*trees[found->second]
                           : nullptr;
            });
            if (!inlined.refusal.empty()) {
                plan.note = "MySQL 中没有结果相同的写法：" + inlined.refusal;
                planned[i] = 2;
                return;
            }
            tree = std::move(inlined.statement);
        }
        trees[i] = tree;
        planned[i] = 2;
        const ViewText view = writer(query.name, tree);
        if (!view.refusal.empty()) {
            plan.note = "MySQL 中没有结果相同的写法：" + view.refusal;
            return;
        }
        plan.procedure = view.procedure;
        const std::string object = view.procedure ? "存储过程" : "视图";
        // The table a make-table query makes need not be there before.
        std::string made;
        if (tree.query && !tree.query->parts.empty() && tree.query->parts.front().into)
            made = Key(*tree.query->parts.front().into);
        // The tables and queries the view reads, each once, in the order the query names them.
        std::set<std::string> seen;
        for (const auto& source : sql::TableReferences(tree)) {
            const std::string key = Key(source);
            if (!seen.insert(key).second || key == made)
                continue;
            if (query_at.contains(key)) {
                plan.depends_on.push_back(queries[query_at[key]].name);
            } else if (!converted_keys.contains(key)) {
                plan.note = table_keys.contains(key)
                                ? "表 '" + source + "' 未在本次转换，未创建" + object
                                : "读取了文件中没有的表或查询 '" + source + "'，未创建" + object;
                break;
            }
        }
        if (!plan.note.empty()) {
            plan.depends_on.clear();
            return;
        }
        plan.statement = view.statement;
    };
    for (std::size_t i = 0; i < queries.size(); ++i)
        plan_query(i);

    // Views in an order in which each comes after those it reads; a view that reads a query
    // which does not become a view (or reads itself through others) does not become one either.
    std::vector<PlannedView> ordered;
    std::vector<int> state(queries.size(), 0); // 0 new, 1 being placed, 2 placed
    std::function<void(std::size_t)> place = [&](std::size_t i) {
        if (state[i] == 2)
            return;
        state[i] = 1;
        PlannedView& plan = plans[i];
        for (const auto& dependency : plan.depends_on) {
            const std::size_t d = query_at[Key(dependency)];
            if (state[d] == 1) {
                plan.note = "与查询 '" + dependency + "' 互相引用，未创建" +
                            (plan.procedure ? "存储过程" : "视图");
                break;
            }
            place(d);
            // A query reads another through its view; a procedure gives no rows to read.
            if (plans[d].statement.empty() || plans[d].procedure) {
                plan.note = "读取的查询 '" + dependency + "' 未转换为视图，未创建" +
                            (plan.procedure ? "存储过程" : "视图");
                break;
            }
        }
        if (!plan.note.empty())
            plan.statement.clear();
        state[i] = 2;
        ordered.push_back(plan);
    };
    for (std::size_t i = 0; i < queries.size(); ++i)
        place(i);
    return ordered;
}

} // namespace tw::engine
