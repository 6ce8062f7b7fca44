#include "ServerSession.h"
#include "tablewright/access/AccessSql.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/MySqlDestination.h"
#include "tablewright/mysql/MySqlSqlWriter.h"
#include "tablewright/mysql/SqlText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The writer with the tables' columns and types known, as a conversion gives them: the forms
// that depend on the type (rounding, conversions), and their rows on a real server compared with
// the rows Access gives, worked out by hand.

namespace {

using tw::data::SqlWriterContext;

// Nums (ID Long, D Double, C Currency, N Long, T Text, F Yes/No) and Orders (ID, NumID).
const std::map<std::string, std::vector<std::pair<std::string, int>>> kTables = {
    {"nums",
     {{"ID", tw::data::adInteger},
      {"D", tw::data::adDouble},
      {"C", tw::data::adCurrency},
      {"N", tw::data::adInteger},
      {"T", tw::data::adVarWChar},
      {"F", tw::data::adBoolean},
      {"W", tw::data::adDate}}},
    {"orders", {{"ID", tw::data::adInteger}, {"NumID", tw::data::adInteger}}},
    // The calculated columns' tables of gen-rules.accdb and ace14-calcfields.accdb.
    {"staff",
     {{"FirstName", tw::data::adVarWChar},
      {"LastName", tw::data::adVarWChar},
      {"LastFirst", tw::data::adVarWChar},
      {"Salary", tw::data::adCurrency},
      {"Hired", tw::data::adDate},
      {"DecimalTest", tw::data::adNumeric}}},
};

SqlWriterContext Context() {
    SqlWriterContext context;
    context.columns = [](const std::string& table) -> std::optional<std::vector<std::string>> {
        const auto found = kTables.find(tw::data::Utf8ToLower(table));
        if (found == kTables.end())
            return std::nullopt;
        std::vector<std::string> names;
        for (const auto& [name, type] : found->second)
            names.push_back(name);
        return names;
    };
    context.column_type = [](const std::string& table,
                             const std::string& column) -> std::optional<int> {
        const auto found = kTables.find(tw::data::Utf8ToLower(table));
        if (found != kTables.end())
            for (const auto& [name, type] : found->second)
                if (tw::data::Utf8ToLower(name) == tw::data::Utf8ToLower(column))
                    return type;
        return std::nullopt;
    };
    return context;
}

tw::data::WrittenSql Write(const std::string& access) {
    const auto parsed = tw::data::ParseAccessQuery(access);
    if (!parsed.tree)
        return {"", parsed.refusal, {}};
    return tw::data::WriteMySqlSelect(*parsed.tree, Context());
}

struct Refusal {
    const char* access;
    const char* refusal;
};

// What stays refused with the types known, and why.
const Refusal kRefused[] = {
    {"SELECT CInt(T) FROM Nums", "函数 'CInt'（参数类型未知，无法确定舍入）"},
    {"SELECT Round(D, N) FROM Nums", "函数 'Round'（小数位数须为 0 到 11 的整数常量）"},
    {"SELECT Round(D, 12) FROM Nums", "函数 'Round'（小数位数须为 0 到 11 的整数常量）"},
    {"SELECT CStr(D) FROM Nums", "函数 'CStr'（参数不是整数，转换规则不同）"},
    {"SELECT CDbl(T) FROM Nums", "函数 'CDbl'（参数不是数字，转换按区域设置）"},
    {"SELECT CSng(D) FROM Nums", "函数 'CSng'（单精度数的运算 MySQL 没有）"},
    {"SELECT CDate(T) FROM Nums", "函数 'CDate'（参数不是日期，转换按区域设置）"},
    {"SELECT Val(T) FROM Nums", "函数 'Val'（转换规则不同）"},
    {"SELECT DLookup(\"T\", \"Nums\", \"ID = 1\") FROM Nums",
     "域聚合函数 'DLookup'（结果取决于记录顺序）"},
    {"SELECT DSum(\"N\", \"Nums\", \"ID = \" & ID) FROM Nums",
     "域聚合函数 'DSum'（参数不是可解析的字符串常量）"},
    {"SELECT DSum(\"*\", \"Nums\") FROM Nums", "域聚合函数 'DSum' 的表达式 '*'"},
    {"SELECT TOP 10 PERCENT * FROM (SELECT ID FROM Orders) AS Q", "TOP n PERCENT 与 *（列未知）"},
    {"SELECT DISTINCT TOP 10 PERCENT T FROM Nums ORDER BY T", "TOP n PERCENT 与 DISTINCT"},
    {"SELECT DISTINCTROW Nums.T, Count(*) FROM Nums INNER JOIN Orders ON Nums.ID = Orders.NumID "
     "GROUP BY Nums.T",
     "DISTINCTROW（结果未包含每个表的字段，且有外部联接、汇总或未指明表的字段）"},
    {"SELECT Replace(T, \"a\", \"b\") FROM Nums", "Replace 查找含字母的文本（比较方式不同）"},
    {"SELECT Weekday(W, 0) FROM Nums", "Weekday 的 firstdayofweek 参数"},
    {"SELECT Choose(T, 1, 2) FROM Nums", "函数 'Choose'（参数类型未知，无法确定舍入）"},
    {"SELECT Format(W, \"dddd\") FROM Nums", "Format 格式 'dddd'"},
    {"SELECT Format(W, \"hh:m\") FROM Nums", "Format 格式 'hh:m'"},
    {"SELECT [Forms]![F]![C] FROM Nums", "引用窗体或报表的参数 '[Forms]![F]![C]'"},
};

} // namespace

TEST(MySqlSqlWriter, ConstructsWithoutAnExactFormStayRefusedWithTheTypesKnown) {
    for (const auto& c : kRefused) {
        SCOPED_TRACE(c.access);
        const auto written = Write(c.access);
        EXPECT_EQ(written.text, "");
        EXPECT_EQ(written.refusal, c.refusal);
    }
}

// Forms that repeat an operand, nested, are refused before their text grows without bound.
TEST(MySqlSqlWriter, NestedRepeatingFormsAreRefusedNotExhaustingMemory) {
    std::string concat = "T";
    for (int i = 0; i < 40; ++i)
        concat = "(" + concat + " & T)";
    EXPECT_EQ(Write("SELECT " + concat + " FROM Nums").refusal, "表达式过长");
    std::string rounds = "D";
    for (int i = 0; i < 12; ++i)
        rounds = "Round(" + rounds + ", 2)";
    EXPECT_EQ(Write("SELECT " + rounds + " FROM Nums").refusal, "表达式过长");
}

TEST(MySqlSqlWriter, ValidationRulesAndDefaultsAreWrittenAsExpressions) {
    const auto rule = tw::data::ParseAccessValidationRule(">=0 And <1000000 Or Is Null", "Price");
    ASSERT_TRUE(rule.tree);
    EXPECT_EQ(tw::data::WriteMySqlExpression(*rule.tree).text,
              "`price` >= 0 AND `price` < 1000000 OR `price` IS NULL");
    const auto like =
        tw::data::ParseAccessValidationRule("Like \"*@*.*\" And Not In (\"A\")", "Mail");
    ASSERT_TRUE(like.tree);
    EXPECT_EQ(tw::data::WriteMySqlExpression(*like.tree).text,
              "`mail` LIKE '%@%.%' AND `mail` NOT IN ('A')");
    // With the row's table known, its columns' types decide the rounding.
    const auto rounded = tw::data::ParseAccessExpression("CInt(N) + CLng(T)");
    ASSERT_TRUE(rounded.tree);
    SqlWriterContext context = Context();
    context.row_table = "Nums";
    EXPECT_EQ(tw::data::WriteMySqlExpression(*rounded.tree, context).refusal,
              "函数 'CLng'（参数类型未知，无法确定舍入）");
    const auto whole = tw::data::ParseAccessExpression("CInt(N)");
    EXPECT_EQ(tw::data::WriteMySqlExpression(*whole.tree, context).text, "CAST(`n` AS SIGNED)");
    const auto yes = tw::data::ParseAccessExpression("Yes");
    ASSERT_TRUE(yes.tree);
    EXPECT_EQ(tw::data::WriteMySqlExpression(*yes.tree).text, "TRUE");
}

// Calculated columns' expressions, written over the row of their table: the forms of the test
// files' calculated columns, each as Access computes it ('&' is Null only when every part is;
// '/' divides in floating point, whatever the types).
TEST(MySqlSqlWriter, CalculatedColumnsAreWrittenOverTheirRow) {
    SqlWriterContext context = Context();
    context.row_table = "Staff";
    const std::pair<const char*, const char*> cases[] = {
        {"[FirstName] & \" \" & [LastName]", "CONCAT_WS('', `firstname`, ' ', `lastname`)"},
        {"[LastName] & [FirstName]",
         "IF(COALESCE(`lastname`, `firstname`) IS NULL, NULL, CONCAT_WS('', `lastname`, "
         "`firstname`))"},
        {"[Salary]/12", "`salary` * 1e0 / 12"},
        {"IIf([Salary]>50000,[Salary]*0.1,0)", "IF(`salary` > 50000, `salary` * 0.1, 0)"},
        {"Year([Hired])-1990", "YEAR(`hired`) - 1990"},
        {"Len([LastFirst])", "CHAR_LENGTH(`lastfirst`)"},
        {"[Salary]>100000", "`salary` > 100000"},
        {"True", "TRUE"},
        {"[Salary]*0.13/[DecimalTest]", "`salary` * 0.13 * 1e0 / `decimaltest`"},
    };
    for (const auto& [access, mysql] : cases) {
        SCOPED_TRACE(access);
        const auto parsed = tw::data::ParseAccessExpression(access);
        ASSERT_TRUE(parsed.tree) << parsed.refusal;
        const auto written = tw::data::WriteMySqlExpression(*parsed.tree, context);
        EXPECT_EQ(written.refusal, "");
        EXPECT_EQ(written.text, mysql);
    }
}

// A calculated column without an exact form keeps Access's values as a plain column, with the
// construct named; one with a form gets, in a script file, statements that prove the rows when
// the file is loaded and, when a row differs, say that the column stays plain instead.
TEST(MySqlSqlWriter, CalculatedColumnsWithoutAnExactFormStayPlainWithTheConstructNamed) {
    auto column = [](const char* name, int type, const char* expression) {
        tw::data::ColumnSchema c;
        c.name = name;
        c.ado_type = type;
        c.size = 50;
        c.calculated = expression != nullptr;
        if (expression) {
            c.calculated_expression = expression;
            auto parsed = tw::data::ParseAccessExpression(expression);
            c.calculated_tree = parsed.tree;
            c.calculated_refusal = parsed.refusal;
        }
        return c;
    };
    tw::data::TableSchema table;
    table.name = "Staff";
    table.columns = {
        column("Name", tw::data::adVarWChar, nullptr),
        column("Hired", tw::data::adDate, nullptr),
        column("Day", tw::data::adVarWChar, "Format([Hired], \"dddd\")"),
        column("Broken", tw::data::adVarWChar, "[Name] &"),
        column("Other", tw::data::adVarWChar, "[Missing] & \"x\""),
        column("Label", tw::data::adVarWChar, "[Name] & \"!\""),
    };
    tw::data::TableOptions options;
    options.keys = true;
    tw::data::ScriptDestination script;
    std::vector<std::string> made;
    script.SetStatementHandler([&](tw::data::MadeStatement& s) { made.push_back(s.text); });
    std::vector<std::string> notes;
    const auto done = script.AddGeneratedColumns(table, options, notes);
    const std::string plain = "' 保留为普通列，值为 Access 保存的值：";
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "计算列 'Day" + plain + "MySQL 中没有结果相同的写法（Format 格式 'dddd'）",
                         "计算列 'Broken" + plain + "表达式未能解析（语句不完整）",
                         "计算列 'Other" + plain + "表达式引用了表中没有的列 'Missing'",
                     }));
    EXPECT_EQ(done, (std::vector<std::string>{
                        "计算列 'Label' 在脚本载入时核对各行的值，全部一致时转换为生成列"}));
    const std::string value = "CAST(CONCAT_WS('', `name`, '!') AS CHAR CHARACTER SET utf8mb4)";
    EXPECT_EQ(made,
              (std::vector<std::string>{
                  "SET @tw_ok = (SELECT NOT EXISTS (SELECT 1 FROM `staff` WHERE NOT "
                  "(CAST(`label` AS BINARY) <=> CAST(" +
                      value + " AS BINARY))));",
                  "SET @tw_sql = IF(@tw_ok, 'ALTER TABLE `staff` DROP COLUMN `label`, ADD "
                  "COLUMN `label` varchar(50) GENERATED ALWAYS AS (CAST(CONCAT_WS('''', "
                  "`name`, ''!'') AS CHAR CHARACTER SET utf8mb4)) STORED COMMENT ''Access "
                  "计算列：[Name] & \"!\"'' AFTER `other`', 'SELECT ''表 ''''Staff''''：计算列 "
                  "''''Label'''' 在载入的行中有值与计算式的结果不同，保持普通列（值保留）'' "
                  "AS `tablewright`');",
                  "PREPARE tw_generated FROM @tw_sql;",
                  "EXECUTE tw_generated;",
                  "DEALLOCATE PREPARE tw_generated;",
              }));
}

// Each query's rows on a real server, against the rows Access gives (worked out by hand).
TEST(MySqlSqlWriterServer, RowsAreTheRowsAccessGives) {
    TW_REQUIRE_SERVER(target);
    tw::test::ServerSession server(target);
    server.FreshDatabase("tw_sql_writer");
    server.Execute("USE tw_sql_writer");
    server.Execute("CREATE TABLE `nums` (`id` int, `d` double, `c` decimal(19,4), `n` int, `t` "
                   "varchar(20), `f` tinyint(1), `w` datetime) DEFAULT CHARSET=utf8mb4");
    server.Execute("CREATE TABLE `orders` (`id` int, `numid` int) DEFAULT CHARSET=utf8mb4");
    server.Execute(
        "INSERT INTO `nums` VALUES (1, 2.5, 2.5, 2, 'A', 1, '2020-01-01 09:05:07'), (2, 3.5, "
        "-2.5, -3, '', 0, '2020-01-04 13:00:00'), (3, 0.125, 0.125, NULL, NULL, 1, '2020-01-05 "
        "00:00:00'), (4, 1.115, 1.115, 7, 'b', 0, '2020-12-31 23:59:59'), (5, -0.125, 0.005, 0, "
        "'x-y', 0, '2019-12-29 00:00:00'), (6, NULL, NULL, 5, 'a', 1, NULL)");
    // Orders: two for Nums 1, one each for 4 and 6 (whose T 'a' equals 1's 'A' without case).
    server.Execute("INSERT INTO `orders` VALUES (1, 1), (2, 1), (3, 4), (4, 6)");

    struct Case {
        const char* access;
        std::vector<std::optional<std::string>> rows; // the first column, in the view's order
    };
    using V = std::vector<std::optional<std::string>>;
    const std::optional<std::string> null;
    const Case cases[] = {
        // Banker's rounding on the exact value: 2.5 -> 2, 3.5 -> 4; the Double 0.125 is a tie
        // (-> 0.12), the Double nearest 1.115 lies below it (-> 1.11); Currency ties are exact.
        {"SELECT CInt(D) FROM Nums ORDER BY ID", V{"2", "4", "0", "1", "0", null}},
        {"SELECT Round(D, 2) FROM Nums ORDER BY ID",
         V{"2.5", "3.5", "0.12", "1.11", "-0.12", null}},
        {"SELECT Round(C, 2) FROM Nums ORDER BY ID",
         V{"2.50", "-2.50", "0.12", "1.12", "0.00", null}},
        {"SELECT CLng(C) FROM Nums ORDER BY ID", V{"2", "-2", "0", "1", "0", null}},
        {"SELECT CCur(D * 3) FROM Nums ORDER BY ID",
         V{"7.5000", "10.5000", "0.3750", "3.3450", "-0.3750", null}},
        {"SELECT Round(D) + Round(N) FROM Nums ORDER BY ID", V{"4", "1", null, "8", "0", null}},
        {"SELECT CByte(0.5) + CInt(1.5) + CLng(-2.5) FROM Nums WHERE ID = 1", V{"0"}},
        // Mod and \ round their operands first: 2.5 Mod 2 is 2 Mod 2, 3.5 Mod 3 is 4 Mod 3.
        {"SELECT D Mod 2 & \"/\" & D \\ 2 FROM Nums ORDER BY ID",
         V{"0/1", "0/2", "0/0", "1/0", "0/0", "/"}},
        {"SELECT N \\ 2 FROM Nums ORDER BY ID", V{"1", "-1", null, "3", "0", "2"}},
        {"SELECT CStr(N) & \"|\" & Str(N) FROM Nums ORDER BY ID",
         V{"2| 2", "-3|-3", "|", "7| 7", "0| 0", "5| 5"}},
        {"SELECT CBool(N) FROM Nums ORDER BY ID", V{"1", "1", null, "1", "0", "1"}},
        {"SELECT CDbl(C) / 2 FROM Nums WHERE ID = 2", V{"-1.25"}},
        // A Currency divided is a Double, with all its digits (a decimal division would keep
        // four more decimals only).
        {"SELECT C / 3 FROM Nums ORDER BY ID",
         V{"0.8333333333333334", "-0.8333333333333334", "0.041666666666666664",
           "0.37166666666666665", "0.0016666666666666668", null}},
        // Yes/No/On/Off are True/False, not columns.
        {"SELECT ID FROM Nums WHERE F = No ORDER BY ID", V{"2", "4", "5"}},
        {"SELECT ID FROM Nums WHERE F = On AND ID < 3", V{"1"}},
        // Domain aggregates over their domain, whatever row they are on.
        {"SELECT DCount(\"*\", \"Nums\", \"D > 1\") & \"/\" & DSum(\"N\", \"[Nums]\") & \"/\" & "
         "DMax(\"T\", \"Nums\", \"T Like 'x*'\") FROM Nums WHERE ID = 1",
         V{"3/11/x-y"}},
        {"SELECT DCount(\"T\", \"Nums\") FROM Nums WHERE ID = 1", V{"5"}},
        {"SELECT DAvg(\"N\", \"Nums\", \"N Is Null\") FROM Nums WHERE ID = 1", V{null}},
        // TOP n PERCENT: the first half of 6 rows by N is 3 rows (Null sorts first); by T,
        // 'A' and 'a' tie for the third place, so both come.
        {"SELECT TOP 50 PERCENT ID FROM Nums ORDER BY N", V{"3", "2", "5"}},
        {"SELECT TOP 34 PERCENT ID, T FROM Nums ORDER BY T DESC", V{"5", "4", "1", "6"}},
        {"SELECT TOP 50 PERCENT ID FROM Nums ORDER BY T, ID", V{"3", "2", "1"}},
        // DISTINCTROW: each Nums record with orders once ('A' and 'a' are two records); DISTINCT
        // would merge them, a plain join repeat record 1.
        {"SELECT DISTINCTROW Nums.T FROM Nums INNER JOIN Orders ON Nums.ID = Orders.NumID ORDER "
         "BY Nums.ID",
         V{"A", "b", "a"}},
        {"SELECT DISTINCTROW N.ID FROM (Nums AS N INNER JOIN Orders AS O ON N.ID = O.NumID) INNER "
         "JOIN Orders AS P ON O.ID = P.ID WHERE P.ID <> 2 ORDER BY N.ID",
         V{"1", "4", "6"}},
        // Weeks and weekdays from the first day of the week given.
        {"SELECT Weekday(W, 2) & \"/\" & DatePart(\"w\", W, 7) & \"/\" & DatePart(\"ww\", W) & "
         "\"/\" & DatePart(\"ww\", W, 2) FROM Nums ORDER BY ID",
         V{"3/5/1/1", "6/1/1/1", "7/2/2/1", "4/6/53/53", "7/2/53/52", "///"}},
        {"SELECT Format(W, \"yyyy-m-d h:nn AM/PM\") & \"|\" & Format(W, \"hh:mm:ss\") & \"|\" & "
         "Format(W, \"d\\.m\\.yy\") FROM Nums WHERE ID = 1",
         V{"2020-1-1 9:05 AM|09:05:07|1.1.20"}},
        {"SELECT StrComp(T, \"a\") FROM Nums ORDER BY ID", V{"0", "-1", null, "1", "1", "0"}},
        {"SELECT Replace(T, \"-\", \"+\") & String(2, T) FROM Nums WHERE ID = 5", V{"x+yxx"}},
        {"SELECT InStrRev(T & \"-z-\", \"-\") FROM Nums ORDER BY ID",
         V{"4", "3", "3", "4", "6", "4"}},
        {"SELECT Partition(N, 0, 9, 5) FROM Nums ORDER BY ID",
         V{" 0: 4", "  :-1", null, " 5: 9", " 0: 4", " 5: 9"}},
        {"SELECT Partition(N, 1, 6, 4) FROM Nums ORDER BY ID",
         V{"1:4", " :0", null, "7: ", " :0", "5:6"}},
        {"SELECT Round(IIf(ID > 3, D, D * 2), 1) FROM Nums ORDER BY ID",
         V{"5", "7", "0.2", "1.1", "-0.1", null}},
        {"SELECT Choose(N, \"one\", \"two\", \"three\") FROM Nums ORDER BY ID",
         V{"two", null, null, null, null, null}},
        {"SELECT Choose(D, \"one\", \"two\", \"three\", \"four\") FROM Nums ORDER BY ID",
         V{"two", "four", null, "one", null, null}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.access);
        const auto written = Write(c.access);
        ASSERT_EQ(written.refusal, "");
        server.Execute("CREATE OR REPLACE VIEW `check` AS " + written.text);
        // The view's first column, in the order of its ORDER BY; rows that tie (TOP n PERCENT)
        // in any order.
        std::vector<std::optional<std::string>> got;
        for (const auto& row : server.Query("SELECT * FROM `check`"))
            got.push_back(row.at(0));
        std::vector<std::optional<std::string>> want = c.rows;
        if (std::string(c.access).find("PERCENT") != std::string::npos) {
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
        }
        EXPECT_EQ(got, want);
    }
    server.Execute("DROP DATABASE tw_sql_writer");
}
