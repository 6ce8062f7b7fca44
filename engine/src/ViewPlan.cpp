#include "tablewright/engine/ViewPlan.h"

#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlDialect.h"

#include <functional>
#include <map>

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
                                   const ColumnLookup& columns) {
    std::set<std::string> converted_keys;
    for (const auto& table : converted)
        converted_keys.insert(Key(table));
    std::set<std::string> table_keys;
    for (const auto& table : source_tables)
        table_keys.insert(Key(table));
    std::map<std::string, std::size_t> query_at;
    for (std::size_t i = 0; i < queries.size(); ++i)
        query_at.emplace(Key(queries[i].name), i);

    // Each query on its own: its kind, its translation and the tables it reads.
    std::vector<PlannedView> plans(queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const data::QuerySchema& query = queries[i];
        PlannedView& plan = plans[i];
        plan.name = query.name;
        if (query.kind != data::QueryKind::Select && query.kind != data::QueryKind::Union) {
            plan.note = QueryKindName(query.kind) + "不能成为视图";
            continue;
        }
        if (query.has_parameters) {
            plan.note = "参数查询（PARAMETERS）没有对应的视图";
            continue;
        }
        const QueryTranslation translation = TranslateAccessQuery(query.sql, columns);
        if (!translation.refusal.empty()) {
            plan.note = "MySQL 中没有结果相同的写法：" + translation.refusal;
            continue;
        }
        for (const auto& source : translation.sources) {
            const std::string key = Key(source);
            if (query_at.contains(key)) {
                plan.depends_on.push_back(queries[query_at[key]].name);
            } else if (!converted_keys.contains(key)) {
                plan.note = table_keys.contains(key)
                                ? "表 '" + source + "' 未在本次转换，未创建视图"
                                : "读取了文件中没有的表或查询 '" + source + "'，未创建视图";
                break;
            }
        }
        if (!plan.note.empty()) {
            plan.depends_on.clear();
            continue;
        }
        plan.statement = "CREATE OR REPLACE VIEW ";
        data::MySqlDialect::AppendName(plan.statement, query.name);
        plan.statement += " AS " + translation.select + ";";
    }

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
                plan.note = "与查询 '" + dependency + "' 互相引用，未创建视图";
                break;
            }
            place(d);
            if (plans[d].statement.empty()) {
                plan.note = "读取的查询 '" + dependency + "' 未转换为视图，未创建视图";
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
