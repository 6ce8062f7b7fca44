// Access validation rules as MySQL CHECK constraints: the condition written for each form of
// rule, the rules left out with their reason, the constraints' names; on a real server, the
// statements a script file runs to add a CHECK or a unique key only where the rows allow it.
#include "ServerSession.h"
#include "tablewright/access/AccessSql.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/MySqlDialect.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using tw::data::CheckPlan;
using tw::data::ColumnSchema;
using tw::data::MySqlDialect;
using tw::data::TableSchema;

// A table of one column of the given type whose rule is `rule`.
TableSchema WithRule(const std::string& column, int ado_type, const std::string& rule) {
    TableSchema table;
    table.name = "Employees";
    ColumnSchema& c = table.columns.emplace_back();
    c.name = column;
    c.ado_type = ado_type;
    c.validation_rule = rule;
    auto parsed = tw::data::ParseAccessValidationRule(rule, column);
    c.validation_tree = parsed.tree;
    c.validation_refusal = parsed.refusal;
    return table;
}

std::vector<CheckPlan> Checks(const TableSchema& table, std::vector<std::string>* notes = nullptr) {
    std::set<std::string> taken;
    return MySqlDialect::Checks(table, taken, notes);
}

struct Golden {
    const char* column;
    int ado_type;
    const char* rule;
    const char* condition;
};

// Access applies a field rule to values only, unless the rule speaks of Null.
const Golden kGoldens[] = {
    {"Salary", tw::data::adCurrency, ">=0 And <1000000",
     "`salary` IS NULL OR (`salary` >= 0 AND `salary` < 1000000)"},
    {"Qty", tw::data::adInteger, "Between 1 And 100", "`qty` IS NULL OR (`qty` BETWEEN 1 AND 100)"},
    {"Grade", tw::data::adVarWChar, "In (\"A\",\"B\",\"C\")",
     "`grade` IS NULL OR (`grade` IN ('A', 'B', 'C'))"},
    {"Email", tw::data::adVarWChar, "Is Null Or Like \"*@*.*\"",
     "`email` IS NULL OR `email` LIKE '%@%.%'"},
    {"Hired", tw::data::adDate, ">=#1/1/1990#",
     "`hired` IS NULL OR (`hired` >= TIMESTAMP'1990-01-01 00:00:00')"},
    {"Code", tw::data::adVarWChar, "Is Null Or Len([Code])=6",
     "`code` IS NULL OR CHAR_LENGTH(`code`) = 6"},
    {"Code", tw::data::adVarWChar, "Is Not Null", "`code` IS NOT NULL"},
    {"Amount", tw::data::adInteger, ">0", "`amount` IS NULL OR (`amount` > 0)"},
};

struct Refused {
    const char* rule;
    const char* note;
};

const Refused kRefused[] = {
    {"<=Date()", "列 'Hired' 的验证规则 '<=Date()' 未建立 CHECK 约束：函数 'Date' "
                 "每次求值的结果可能不同，CHECK 约束中不能使用"},
    {"<Now()+1", "列 'Hired' 的验证规则 '<Now()+1' 未建立 CHECK 约束：函数 'Now' "
                 "每次求值的结果可能不同，CHECK 约束中不能使用"},
    {"<DMax(\"Hired\",\"Legacy\")",
     "列 'Hired' 的验证规则 '<DMax(\"Hired\",\"Legacy\")' 未建立 CHECK 约束：读取了表 "
     "'Legacy'，CHECK 约束只能检查同一行的值"},
    {"Format([Hired],\"dddd\")<>\"Sunday\"",
     "列 'Hired' 的验证规则 'Format([Hired],\"dddd\")<>\"Sunday\"' 未建立 CHECK 约束：MySQL "
     "中没有结果相同的写法：Format 格式 'dddd'"},
    {">= And", "列 'Hired' 的验证规则 '>= And' 未建立 CHECK 约束：无法解析："},
};

} // namespace

TEST(CheckConstraints, EachFormOfRuleIsWrittenAsTheConditionAccessChecks) {
    for (const auto& g : kGoldens) {
        SCOPED_TRACE(g.rule);
        const auto plans = Checks(WithRule(g.column, g.ado_type, g.rule));
        ASSERT_EQ(plans.size(), 1u);
        EXPECT_EQ(plans[0].condition, g.condition);
    }
    // The whole statement, with the source's message kept for the log.
    TableSchema table = WithRule("Salary", tw::data::adCurrency, ">=0");
    table.columns[0].validation_text = "工资不能为负";
    const auto plans = Checks(table);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].statement, "ALTER TABLE `employees` ADD CONSTRAINT `employees_salary_chk` "
                                  "CHECK (`salary` IS NULL OR (`salary` >= 0));");
    EXPECT_EQ(plans[0].message, "工资不能为负");
}

TEST(CheckConstraints, TableRuleAndZeroLengthBecomeConstraintsOfTheirOwn) {
    TableSchema table;
    table.name = "Employees";
    table.columns = {{.name = "Hired", .ado_type = tw::data::adDate},
                     {.name = "Ended", .ado_type = tw::data::adDate},
                     {.name = "LastName", .ado_type = tw::data::adVarWChar},
                     {.name = "Phone", .ado_type = tw::data::adVarWChar}};
    table.columns[2].allow_zero_length = false;
    table.columns[3].allow_zero_length = true;
    table.validation_rule = "[Ended] Is Null Or [Ended]>=[Hired]";
    table.validation_tree = tw::data::ParseAccessExpression(table.validation_rule).tree;
    const auto plans = Checks(table);
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[0].name, "employees_lastname_not_empty");
    EXPECT_EQ(plans[0].condition, "`lastname` IS NULL OR CHAR_LENGTH(`lastname`) > 0");
    EXPECT_EQ(plans[1].name, "employees_chk");
    EXPECT_EQ(plans[1].condition, "`ended` IS NULL OR `ended` >= `hired`");
}

TEST(CheckConstraints, RulesWithoutAnExactFormAreNotedWithTheirReason) {
    for (const auto& r : kRefused) {
        SCOPED_TRACE(r.rule);
        std::vector<std::string> notes;
        EXPECT_TRUE(Checks(WithRule("Hired", tw::data::adDate, r.rule), &notes).empty());
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].substr(0, std::string(r.note).size()), r.note);
    }
}

// Names are the table's and column's, within 64 characters and unique in the database even when
// cut or when two tables' names run together.
TEST(CheckConstraints, NamesStayWithinTheLimitAndApart) {
    std::set<std::string> taken;
    const std::string long_name(70, 'x');
    std::vector<std::string> names;
    for (const auto& [table, column] : std::vector<std::pair<std::string, std::string>>{
             {long_name, "A"}, {long_name, "B"}, {"a_b", "c"}, {"A", "B_C"}}) {
        TableSchema schema = WithRule(column, tw::data::adInteger, ">0");
        schema.name = table;
        for (const auto& plan : MySqlDialect::Checks(schema, taken))
            names.push_back(plan.name);
    }
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0].size(), 64u);
    EXPECT_EQ(names[1].size(), 64u);
    EXPECT_NE(names[0], names[1]);
    EXPECT_EQ(names[2], "a_b_c_chk");
    EXPECT_EQ(names[3], "a_b_c_chk_2");
}

// What a script file runs where its rows are not known: the constraint or the unique key when
// the loaded rows allow it, otherwise nothing or the plain index; never a failing statement.
TEST(CheckConstraintsServer, ScriptFormsAddOnlyWhatTheRowsAllow) {
    TW_REQUIRE_SERVER(target);
    tw::test::ServerSession server(target);
    server.FreshDatabase("tw_checks");
    server.Execute("USE tw_checks");
    struct Case {
        const char* rows; // values of `code` (and `n`)
        bool check;       // the rule `Len([Code])=6` becomes a constraint
        bool unique;      // the unique key on `code` stays unique
    };
    const Case cases[] = {
        {"('123456', 1), ('654321', 2), (NULL, 3), (NULL, 4)", true, true},
        {"('123456', 1), ('12345', 2)", false, true},
        // Equal under the column's collation: no unique key, its plain index instead.
        {"('abcdef', 1), ('ABCDEF', 2)", true, false},
        // A trailing space is a character of its own.
        {"('abcde ', 1), ('abcde', 2)", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rows);
        server.Execute("DROP TABLE IF EXISTS `employees`");
        server.Execute("CREATE TABLE `employees` (`code` varchar(10), `n` int) DEFAULT "
                       "CHARSET=utf8mb4 COLLATE utf8mb4_uca1400_nopad_as_ci");
        server.Execute(std::string("INSERT INTO `employees` VALUES ") + c.rows);
        TableSchema table = WithRule("Code", tw::data::adVarWChar, "Len([Code])=6");
        table.indexes.push_back({.name = "Code", .columns = {{"Code"}}, .unique = true});
        tw::data::TableOptions options;
        options.keys = true;
        const auto keys = MySqlDialect::Keys(table, options);
        ASSERT_EQ(keys.steps.size(), 1u);
        std::vector<std::string> statements = MySqlDialect::WhenNoRows(
            keys.steps[0].breaking_rows, keys.steps[0].statement, keys.steps[0].plain_fallback);
        for (const auto& plan : Checks(table))
            for (auto& statement : MySqlDialect::WhenNoRows(plan.breaking_rows, plan.statement, ""))
                statements.push_back(std::move(statement));
        for (const auto& statement : statements)
            server.Execute(statement);
        EXPECT_EQ(server.Scalar("SELECT CAST(COUNT(*) AS CHAR) FROM "
                                "information_schema.CHECK_CONSTRAINTS WHERE CONSTRAINT_SCHEMA = "
                                "'tw_checks'"),
                  c.check ? "1" : "0");
        EXPECT_EQ(
            server.Scalar("SELECT CAST(NON_UNIQUE AS CHAR) FROM information_schema.STATISTICS "
                          "WHERE TABLE_SCHEMA = 'tw_checks' AND INDEX_NAME = 'code'"),
            c.unique ? "0" : "1");
    }
    server.Execute("DROP DATABASE tw_checks");
}
