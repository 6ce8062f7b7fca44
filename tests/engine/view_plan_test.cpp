#include "tablewright/access/AccessSql.h"
#include "tablewright/engine/ViewPlan.h"
#include "tablewright/mysql/MySqlSqlWriter.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// The plan of views from the source's parsed queries: what each query becomes, and the order
// in which each view follows the queries its tree reads (a domain aggregate's domain included).

namespace {

tw::data::QuerySchema Query(const std::string& name, const std::string& sql,
                            tw::data::QueryKind kind = tw::data::QueryKind::Select) {
    tw::data::QuerySchema query;
    query.name = name;
    query.kind = kind;
    query.sql = sql;
    auto parsed = tw::data::ParseAccessQuery(sql);
    query.tree = parsed.tree;
    query.tree_refusal = parsed.refusal;
    return query;
}

// As the conversion writes them: a view, or a procedure for a query that is not one.
tw::engine::ViewText Write(const std::string& name, const tw::sql::Statement& tree) {
    const bool procedure =
        tree.kind != tw::sql::StatementKind::Select || tw::data::AsksForValues(tree);
    auto written = procedure ? tw::data::WriteMySqlProcedure(name, tree)
                             : tw::data::WriteMySqlView(name, tree);
    return {written.text, written.refusal, procedure};
}

} // namespace

TEST(ViewPlan, ViewsFollowTheQueriesTheirTreesReadAndRefusalsAreNamed) {
    const std::vector<tw::data::QuerySchema> queries = {
        Query("Totals", "SELECT DCount(\"*\", \"[Base]\") AS n FROM Table1"),
        Query("Base", "SELECT ID FROM Table1 WHERE ID > 1"),
        Query("Broken", "SELECT ID FROM"),
        Query("Missing", "SELECT * FROM Nowhere"),
        Query("Rounded", "SELECT Round(Amount) FROM Table1"),
        Query("Append", "INSERT INTO Table1 (ID) VALUES (1)", tw::data::QueryKind::Append),
        Query("OnBroken", "SELECT * FROM Broken"),
    };
    const auto plan = tw::engine::PlanViews(queries, {"Table1"}, {"Table1"}, Write);
    std::vector<std::string> order;
    for (const auto& view : plan)
        order.push_back(view.name);
    EXPECT_EQ(order, (std::vector<std::string>{"Base", "Totals", "Broken", "Missing", "Rounded",
                                               "Append", "OnBroken"}));
    EXPECT_EQ(plan[0].statement,
              "CREATE OR REPLACE VIEW `base` AS SELECT `id` FROM `table1` WHERE `id` > 1;");
    EXPECT_EQ(plan[1].statement, "CREATE OR REPLACE VIEW `totals` AS SELECT (SELECT COUNT(*) FROM "
                                 "`base`) AS `n` FROM `table1`;");
    EXPECT_EQ(plan[1].depends_on, (std::vector<std::string>{"Base"}));
    EXPECT_EQ(plan[2].note, "MySQL 中没有结果相同的写法：语句不完整");
    EXPECT_EQ(plan[3].note, "读取了文件中没有的表或查询 'Nowhere'，未创建视图");
    EXPECT_EQ(plan[4].note,
              "MySQL 中没有结果相同的写法：函数 'Round'（参数类型未知，无法确定舍入）");
    EXPECT_TRUE(plan[5].procedure);
    EXPECT_EQ(plan[5].statement, "CREATE OR REPLACE PROCEDURE `append`() BEGIN INSERT INTO "
                                 "`table1` (`id`) VALUES (1); END");
    EXPECT_EQ(plan[6].note, "读取的查询 'Broken' 未转换为视图，未创建视图");
}

// A query reading a parameter query (a procedure, which gives no rows to read) reads its text as
// a derived table and becomes a procedure asking for the values of both, along a chain too; an
// update reading one is not made.
TEST(ViewPlan, QueriesReadingParameterQueriesBecomeProceduresReadingTheirText) {
    const std::vector<tw::data::QuerySchema> queries = {
        Query("Of Of Big", "SELECT * FROM [Of Big]"),
        Query("Of Big", "SELECT Big.ID FROM Big WHERE Big.ID > 1"),
        Query("Big", "PARAMETERS [Least] Long; SELECT Table1.ID FROM Table1 WHERE Table1.ID >= "
                     "[Least]"),
        Query("Clash", "PARAMETERS [Least] Text; SELECT Big.ID FROM Big"),
        Query("Update Big", "UPDATE Table1 INNER JOIN Big ON Table1.ID = Big.ID SET Table1.ID = 0",
              tw::data::QueryKind::Update),
    };
    const auto plan = tw::engine::PlanViews(queries, {"Table1"}, {"Table1"}, Write);
    ASSERT_EQ(plan.size(), 5u);
    std::map<std::string, tw::engine::PlannedView> by_name;
    for (const auto& view : plan)
        by_name[view.name] = view;
    const std::string inner =
        "(SELECT `table1`.`id` FROM `table1` WHERE `table1`.`id` >= `p_least`) AS `big`";
    EXPECT_EQ(by_name["Of Big"].statement,
              "CREATE OR REPLACE PROCEDURE `of big`(IN `p_least` INT) BEGIN SELECT `big`.`id` "
              "FROM " +
                  inner + " WHERE `big`.`id` > 1; END");
    EXPECT_TRUE(by_name["Of Big"].depends_on.empty());
    EXPECT_EQ(by_name["Of Of Big"].statement,
              "CREATE OR REPLACE PROCEDURE `of of big`(IN `p_least` INT) BEGIN SELECT * FROM "
              "(SELECT `big`.`id` FROM " +
                  inner + " WHERE `big`.`id` > 1) AS `of big`; END");
    EXPECT_EQ(by_name["Clash"].note,
              "MySQL 中没有结果相同的写法：参数 'Least' 在两个查询中声明的类型不同");
    EXPECT_EQ(by_name["Update Big"].note, "读取的查询 'Big' 未转换为视图，未创建存储过程");
}
