#include "ServerSession.h"

#include "tablewright/access/AccessSql.h"
#include "tablewright/mysql/MySqlSqlWriter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using ColumnLookup = decltype(tw::data::SqlWriterContext::columns);

struct Translation {
    std::string select;
    std::string refusal;
    std::vector<std::string> sources;
};

// Access text through the parser and the MySQL writer, as a saved query becomes a view.
Translation TranslateAccessQuery(std::string_view access, const ColumnLookup& columns = {}) {
    const auto parsed = tw::data::ParseAccessQuery(access);
    if (!parsed.tree)
        return {"", parsed.refusal, {}};
    tw::data::SqlWriterContext context;
    context.columns = columns;
    auto written = tw::data::WriteMySqlSelect(*parsed.tree, context);
    return {written.text, written.refusal, written.sources};
}

// Every query reads the tables Table1 (ID, Name, Amount, Created, Active, Code), [Table 2]
// (ID, [Col A]) and 产品 (名称), so that the server check below can make a view of each.
struct Translated {
    const char* access;
    const char* mysql;
};

const Translated kTranslated[] = {
    // Names, joins, Access's bracketed criteria, CR LF and the closing ';'.
    {"SELECT Table1.ID, [Table 2].[Col A] AS X\r\nFROM Table1 INNER JOIN [Table 2] ON Table1.ID "
     "= [Table 2].ID\r\nWHERE (((Table1.Name) Like \"A*\"));\r\n",
     "SELECT `table1`.`id`, `table 2`.`col a` AS `x` FROM `table1` INNER JOIN `table 2` ON "
     "`table1`.`id` = `table 2`.`id` WHERE (((`table1`.`name`) LIKE 'A%'))"},
    {"SELECT * FROM Table1;", "SELECT * FROM `table1`"},
    {"SELECT T.* FROM Table1 AS T", "SELECT `t`.* FROM `table1` AS `t`"},
    {"SELECT Table1!Name FROM Table1", "SELECT `table1`.`name` FROM `table1`"},
    {"SELECT 名称 AS 名 FROM 产品 WHERE 名称 Like \"*苹果*\"",
     "SELECT `名称` AS `名` FROM `产品` WHERE `名称` LIKE '%苹果%'"},
    {"SELECT Table1.Name, [Table 2].[Col A] FROM Table1 LEFT JOIN [Table 2] ON Table1.ID = "
     "[Table 2].ID",
     "SELECT `table1`.`name`, `table 2`.`col a` FROM `table1` LEFT JOIN `table 2` ON "
     "`table1`.`id` = `table 2`.`id`"},
    {"SELECT T1.Name FROM (Table1 AS T1 RIGHT JOIN [Table 2] AS T2 ON T1.ID = T2.ID) INNER "
     "JOIN Table1 AS T3 ON T2.ID = T3.ID",
     "SELECT `t1`.`name` FROM (`table1` AS `t1` RIGHT JOIN `table 2` AS `t2` ON `t1`.`id` = "
     "`t2`.`id`) INNER JOIN `table1` AS `t3` ON `t2`.`id` = `t3`.`id`"},
    // A crosstab with fixed headings: one column per heading, its rows' aggregate, Null where
    // the group has none of them.
    {"TRANSFORM Count(*) SELECT Name FROM Table1 GROUP BY Name PIVOT Format(Created, \"yyyy\") "
     "IN (\"2020\", \"2019\")",
     "SELECT `name`, IF(SUM(IF(DATE_FORMAT(`created`, '%Y') = '2020', 1, 0)) > 0, "
     "COUNT(IF(DATE_FORMAT(`created`, '%Y') = '2020', 1, NULL)), NULL) AS `2020`, "
     "IF(SUM(IF(DATE_FORMAT(`created`, '%Y') = '2019', 1, 0)) > 0, COUNT(IF(DATE_FORMAT("
     "`created`, '%Y') = '2019', 1, NULL)), NULL) AS `2019` FROM `table1` GROUP BY `name`"},
    {"SELECT Count(*) AS n FROM Table1 WITH OWNERACCESS OPTION;",
     "SELECT COUNT(*) AS `n` FROM `table1`"},
    // View column names as Access gives them.
    {"SELECT Name, Amount * 2, Left(Name, 1) FROM Table1",
     "SELECT `name`, `amount` * 2 AS `expr1000`, LEFT(`name`, 1) AS `expr1001` FROM `table1`"},
    {"SELECT Table1.ID, [Table 2].ID FROM Table1 INNER JOIN [Table 2] ON Table1.ID = "
     "[Table 2].ID",
     "SELECT `table1`.`id` AS `table1.id`, `table 2`.`id` AS `table 2.id` FROM `table1` INNER "
     "JOIN `table 2` ON `table1`.`id` = `table 2`.`id`"},
    // Literals.
    {R"(SELECT "it's a \ path" AS S FROM Table1)",
     R"(SELECT 'it''s a \\ path' AS `s` FROM `table1`)"},
    {"SELECT ID FROM Table1 WHERE Name = 'O''Brien'",
     "SELECT `id` FROM `table1` WHERE `name` = 'O''Brien'"},
    {"SELECT ID FROM Table1 WHERE Created = #1/31/2020#",
     "SELECT `id` FROM `table1` WHERE `created` = TIMESTAMP'2020-01-31 00:00:00'"},
    {"SELECT ID FROM Table1 WHERE Created = #2020-01-31#",
     "SELECT `id` FROM `table1` WHERE `created` = TIMESTAMP'2020-01-31 00:00:00'"},
    {"SELECT ID FROM Table1 WHERE Created = #1/31/2020 10:30:00 PM#",
     "SELECT `id` FROM `table1` WHERE `created` = TIMESTAMP'2020-01-31 22:30:00'"},
    {"SELECT ID FROM Table1 WHERE Created = #10:30#",
     "SELECT `id` FROM `table1` WHERE `created` = TIMESTAMP'1899-12-30 10:30:00'"},
    {"SELECT ID FROM Table1 WHERE Created > #1/2/99#",
     "SELECT `id` FROM `table1` WHERE `created` > TIMESTAMP'1999-01-02 00:00:00'"},
    {"SELECT ID FROM Table1 WHERE Active = True OR Active = False",
     "SELECT `id` FROM `table1` WHERE `active` = TRUE OR `active` = FALSE"},
    // Joining text.
    {"SELECT Name & \" (\" & Code & \")\" AS Label FROM Table1",
     "SELECT CONCAT_WS('', `name`, ' (', `code`, ')') AS `label` FROM `table1`"},
    {"SELECT Name & Code AS Label FROM Table1",
     "SELECT IF(COALESCE(`name`, `code`) IS NULL, NULL, CONCAT_WS('', `name`, `code`)) AS "
     "`label` FROM `table1`"},
    {"SELECT Name + \" Jr.\" AS Label FROM Table1",
     "SELECT CONCAT(`name`, ' Jr.') AS `label` FROM `table1`"},
    // Conditions and Null.
    {"SELECT IIf(Amount > 100, \"big\", \"small\") AS Size FROM Table1",
     "SELECT IF(`amount` > 100, 'big', 'small') AS `size` FROM `table1`"},
    {"SELECT Nz(Code) AS C FROM Table1", "SELECT IFNULL(`code`, '') AS `c` FROM `table1`"},
    {"SELECT Nz(Amount, 0) AS A FROM Table1", "SELECT IFNULL(`amount`, 0) AS `a` FROM `table1`"},
    {"SELECT IsNull(Code) AS C FROM Table1", "SELECT `code` IS NULL AS `c` FROM `table1`"},
    {"SELECT Switch(Amount > 100, \"big\", Amount > 0, \"small\") AS Size FROM Table1",
     "SELECT CASE WHEN `amount` > 100 THEN 'big' WHEN `amount` > 0 THEN 'small' END AS `size` "
     "FROM `table1`"},
    // Like.
    {"SELECT ID FROM Table1 WHERE Name Like \"A?c*\"",
     "SELECT `id` FROM `table1` WHERE `name` LIKE 'A_c%'"},
    {"SELECT ID FROM Table1 WHERE Code Like \"50%_[*]\"",
     R"(SELECT `id` FROM `table1` WHERE `code` LIKE '50\\%\\_*')"},
    {"SELECT ID FROM Table1 WHERE Code Like \"A#*\"",
     R"(SELECT `id` FROM `table1` WHERE `code` REGEXP '(?s)^A[0-9].*\\z')"},
    {"SELECT ID FROM Table1 WHERE Code Like \"[!abc][0-9].x\"",
     R"(SELECT `id` FROM `table1` WHERE `code` REGEXP '(?s)^[^abc][0-9]\\.x\\z')"},
    {"SELECT ID FROM Table1 WHERE Name Not Like \"*z\"",
     "SELECT `id` FROM `table1` WHERE `name` NOT LIKE '%z'"},
    {R"(SELECT ID FROM Table1 WHERE Code ALike "5\_%")",
     R"(SELECT `id` FROM `table1` WHERE `code` LIKE '5\\\\_%')"},
    // DISTINCT, DISTINCTROW, TOP.
    {"SELECT DISTINCT Name FROM Table1", "SELECT DISTINCT `name` FROM `table1`"},
    {"SELECT DISTINCTROW Name FROM Table1", "SELECT `name` FROM `table1`"},
    {"SELECT DISTINCTROW Table1.Name, [Table 2].[Col A] FROM Table1 INNER JOIN [Table 2] ON "
     "Table1.ID = [Table 2].ID",
     "SELECT `table1`.`name`, `table 2`.`col a` FROM `table1` INNER JOIN `table 2` ON "
     "`table1`.`id` = `table 2`.`id`"},
    {"SELECT TOP 3 Name FROM Table1", "SELECT `name` FROM `table1` LIMIT 3"},
    {"SELECT TOP 3 Name FROM Table1 ORDER BY Amount DESC",
     "SELECT `name` FROM `table1` ORDER BY `amount` DESC FETCH FIRST 3 ROWS WITH TIES"},
    {"SELECT TOP 1 Name FROM Table1 UNION SELECT [Col A] FROM [Table 2] ORDER BY Name",
     "(SELECT `name` FROM `table1` LIMIT 1) UNION SELECT `col a` FROM `table 2` ORDER BY "
     "`name`"},
    // Text functions.
    {"SELECT Left(Name, 2) AS a, Right(Name, 2) AS b, Mid(Name, 2, 3) AS c, Mid(Name, 2) AS d, "
     "Len(Name) AS e FROM Table1",
     "SELECT LEFT(`name`, 2) AS `a`, RIGHT(`name`, 2) AS `b`, SUBSTRING(`name`, 2, 3) AS `c`, "
     "SUBSTRING(`name`, 2) AS `d`, CHAR_LENGTH(`name`) AS `e` FROM `table1`"},
    {"SELECT UCase(Name) AS a, LCase$(Name) AS b, Trim(Name) AS c, LTrim(Name) AS d, "
     "RTrim(Name) AS e, Space(2) AS f FROM Table1",
     "SELECT UPPER(`name`) AS `a`, LOWER(`name`) AS `b`, TRIM(`name`) AS `c`, LTRIM(`name`) AS "
     "`d`, RTRIM(`name`) AS `e`, SPACE(2) AS `f` FROM `table1`"},
    {"SELECT InStr(Name, \"b\") AS a, InStr(2, Name, \"b\") AS b, InStr(2, Name, \"b\", 1) AS c "
     "FROM Table1",
     "SELECT LOCATE('b', `name`) AS `a`, LOCATE('b', `name`, 2) AS `b`, LOCATE('b', `name`, 2) "
     "AS `c` FROM `table1`"},
    {"SELECT Format(Created, \"yyyy-mm-dd\") AS a, Format(Created, \"yyyymm\") AS b, "
     "Format(Created, \"hh:nn:ss\") AS c FROM Table1",
     "SELECT DATE_FORMAT(`created`, '%Y-%m-%d') AS `a`, DATE_FORMAT(`created`, '%Y%m') AS `b`, "
     "DATE_FORMAT(`created`, '%H:%i:%s') AS `c` FROM `table1`"},
    // Dates.
    {"SELECT Year(Created) AS a, Month(Created) AS b, Day(Created) AS c, Hour(Created) AS d, "
     "Minute(Created) AS e, Second(Created) AS f, Weekday(Created) AS g FROM Table1",
     "SELECT YEAR(`created`) AS `a`, MONTH(`created`) AS `b`, DAYOFMONTH(`created`) AS `c`, "
     "HOUR(`created`) AS `d`, MINUTE(`created`) AS `e`, SECOND(`created`) AS `f`, "
     "DAYOFWEEK(`created`) AS `g` FROM `table1`"},
    {"SELECT DatePart(\"yyyy\", Created) AS a, DatePart(\"q\", Created) AS b, DatePart(\"y\", "
     "Created) AS c, DatePart(\"w\", Created) AS d FROM Table1",
     "SELECT YEAR(`created`) AS `a`, QUARTER(`created`) AS `b`, DAYOFYEAR(`created`) AS `c`, "
     "DAYOFWEEK(`created`) AS `d` FROM `table1`"},
    {"SELECT DateAdd(\"d\", 1, Created) AS a, DateAdd(\"m\", -1, Created) AS b, "
     "DateAdd(\"yyyy\", ID, Created) AS c, DateAdd(\"h\", 2, Created) AS d, DateAdd(\"n\", 2, "
     "Created) AS e, DateAdd(\"s\", 2, Created) AS f, DateAdd(\"ww\", 1, Created) AS g, "
     "DateAdd(\"q\", 1, Created) AS h FROM Table1",
     "SELECT TIMESTAMPADD(DAY, 1, `created`) AS `a`, TIMESTAMPADD(MONTH, -1, `created`) AS `b`, "
     "TIMESTAMPADD(YEAR, `id`, `created`) AS `c`, TIMESTAMPADD(HOUR, 2, `created`) AS `d`, "
     "TIMESTAMPADD(MINUTE, 2, `created`) AS `e`, TIMESTAMPADD(SECOND, 2, `created`) AS `f`, "
     "TIMESTAMPADD(WEEK, 1, `created`) AS `g`, TIMESTAMPADD(QUARTER, 1, `created`) AS `h` FROM "
     "`table1`"},
    {"SELECT DateDiff(\"yyyy\", Created, Now()) AS a FROM Table1",
     "SELECT YEAR(NOW()) - YEAR(`created`) AS `a` FROM `table1`"},
    {"SELECT DateDiff(\"q\", Created, Now()) AS a FROM Table1",
     "SELECT YEAR(NOW()) * 4 + QUARTER(NOW()) - (YEAR(`created`) * 4 + QUARTER(`created`)) AS "
     "`a` FROM `table1`"},
    {"SELECT DateDiff(\"m\", Created, Now()) AS a FROM Table1",
     "SELECT YEAR(NOW()) * 12 + MONTH(NOW()) - (YEAR(`created`) * 12 + MONTH(`created`)) AS "
     "`a` FROM `table1`"},
    {"SELECT DateDiff(\"d\", Created, Date()) AS a FROM Table1",
     "SELECT DATEDIFF(CURDATE(), `created`) AS `a` FROM `table1`"},
    {"SELECT DateDiff(\"ww\", Created, Date()) AS a FROM Table1",
     "SELECT (TO_DAYS(CURDATE()) - DAYOFWEEK(CURDATE()) - (TO_DAYS(`created`) - "
     "DAYOFWEEK(`created`))) DIV 7 AS `a` FROM `table1`"},
    {"SELECT DateDiff(\"h\", Created, Now()) AS a, DateDiff(\"n\", Created, Now()) AS b, "
     "DateDiff(\"s\", Created, Now()) AS c FROM Table1",
     "SELECT TO_SECONDS(NOW()) DIV 3600 - TO_SECONDS(`created`) DIV 3600 AS `a`, "
     "TO_SECONDS(NOW()) DIV 60 - TO_SECONDS(`created`) DIV 60 AS `b`, TO_SECONDS(NOW()) - "
     "TO_SECONDS(`created`) AS `c` FROM `table1`"},
    {"SELECT DateSerial(Year(Created), Month(Created) + 1, 0) AS a, DateSerial(2020, 1, 1) AS b "
     "FROM Table1",
     "SELECT TIMESTAMPADD(DAY, -1, TIMESTAMPADD(MONTH, MONTH(`created`) + 1 - 1, "
     "MAKEDATE(YEAR(`created`), 1))) AS `a`, MAKEDATE(2020, 1) AS `b` FROM `table1`"},
    {"SELECT ID FROM Table1 WHERE Created >= Date() - 30 AND Created < Now() + 1",
     "SELECT `id` FROM `table1` WHERE `created` >= TIMESTAMPADD(DAY, -30, CURDATE()) AND "
     "`created` < TIMESTAMPADD(DAY, 1, NOW())"},
    // Numbers and aggregates.
    {"SELECT Abs(Amount) AS a, Int(Amount) AS b, Fix(Amount) AS c, Sgn(Amount) AS d, "
     "Sqr(Amount) AS e, Exp(1) AS f, Log(Amount) AS g, Atn(1) AS h FROM Table1",
     "SELECT ABS(`amount`) AS `a`, FLOOR(`amount`) AS `b`, TRUNCATE(`amount`, 0) AS `c`, "
     "SIGN(`amount`) AS `d`, SQRT(`amount`) AS `e`, EXP(1) AS `f`, LN(`amount`) AS `g`, ATAN(1) "
     "AS `h` FROM `table1`"},
    {"SELECT Name, Count(*) AS n, Count(Code) AS c, Sum(Amount) AS s, Avg(Amount) AS a, "
     "Min(Amount) AS mi, Max(Amount) AS ma FROM Table1 GROUP BY Name HAVING Count(*) > 1 ORDER "
     "BY Sum(Amount) DESC, Name",
     "SELECT `name`, COUNT(*) AS `n`, COUNT(`code`) AS `c`, SUM(`amount`) AS `s`, "
     "AVG(`amount` * 1e0) AS `a`, MIN(`amount`) AS `mi`, MAX(`amount`) AS `ma` FROM `table1` GROUP "
     "BY "
     "`name` HAVING COUNT(*) > 1 ORDER BY SUM(`amount`) DESC, `name`"},
    {"SELECT StDev(Amount) AS a, StDevP(Amount) AS b, Var(Amount) AS c, VarP(Amount) AS d FROM "
     "Table1",
     "SELECT STDDEV_SAMP(`amount`) AS `a`, STDDEV_POP(`amount`) AS `b`, VAR_SAMP(`amount`) AS "
     "`c`, VAR_POP(`amount`) AS `d` FROM `table1`"},
    // Operators.
    {R"(SELECT ID FROM Table1 WHERE ID <> 1 AND ID Mod 2 = 0 AND ID \ 2 > 1)",
     "SELECT `id` FROM `table1` WHERE `id` <> 1 AND `id` MOD 2 = 0 AND `id` DIV 2 > 1"},
    {"SELECT Amount / 3 AS a, Amount ^ 2 AS b, -2 ^ 2 AS c, ID Mod 3 * 2 AS d, -ID AS e FROM "
     "Table1",
     "SELECT `amount` * 1e0 / 3 AS `a`, POW(`amount`, 2) AS `b`, -POW(2, 2) AS `c`, `id` MOD (3 "
     "* 2) AS `d`, -`id` AS `e` FROM `table1`"},
    {"SELECT ID FROM Table1 WHERE Code Is Null OR Name Is Not Null",
     "SELECT `id` FROM `table1` WHERE `code` IS NULL OR `name` IS NOT NULL"},
    {"SELECT ID FROM Table1 WHERE Not (ID = 1) AND Not Active OR Not ID = 2",
     "SELECT `id` FROM `table1` WHERE NOT (`id` = 1) AND NOT `active` OR NOT (`id` = 2)"},
    {"SELECT ID FROM Table1 WHERE ID In (1, 2, 3) AND ID Not In (4) AND Amount Between 1 And 10 "
     "AND Amount Not Between 5 And 6",
     "SELECT `id` FROM `table1` WHERE `id` IN (1, 2, 3) AND `id` NOT IN (4) AND `amount` "
     "BETWEEN 1 AND 10 AND `amount` NOT BETWEEN 5 AND 6"},
    // Subqueries.
    {"SELECT ID FROM Table1 WHERE ID In (SELECT ID FROM [Table 2])",
     "SELECT `id` FROM `table1` WHERE `id` IN (SELECT `id` FROM `table 2`)"},
    {"SELECT ID FROM Table1 WHERE Exists (SELECT * FROM [Table 2] WHERE [Table 2].ID = "
     "Table1.ID)",
     "SELECT `id` FROM `table1` WHERE EXISTS (SELECT * FROM `table 2` WHERE `table 2`.`id` = "
     "`table1`.`id`)"},
    {"SELECT Name, (SELECT Max([Col A]) FROM [Table 2] WHERE [Table 2].ID = Table1.ID) AS MaxA "
     "FROM Table1",
     "SELECT `name`, (SELECT MAX(`col a`) FROM `table 2` WHERE `table 2`.`id` = `table1`.`id`) "
     "AS `maxa` FROM `table1`"},
    {"SELECT ID FROM Table1 WHERE Amount > All (SELECT ID FROM [Table 2]) OR Amount = Any "
     "(SELECT ID FROM [Table 2])",
     "SELECT `id` FROM `table1` WHERE `amount` > ALL (SELECT `id` FROM `table 2`) OR `amount` = "
     "ANY (SELECT `id` FROM `table 2`)"},
    {"SELECT Q.Expr1000 FROM (SELECT ID, Sum(Amount) FROM Table1 GROUP BY ID) AS Q",
     "SELECT `q`.`expr1000` FROM (SELECT `id`, SUM(`amount`) AS `expr1000` FROM `table1` GROUP BY "
     "`id`) AS `q`"},
    // The derived table as older Access versions save it.
    {"SELECT * FROM [SELECT ID FROM Table1]. AS Q",
     "SELECT * FROM (SELECT `id` FROM `table1`) AS `q`"},
    // Constructs refused before the syntax tree: a domain aggregate over literal text, TOP n
    // PERCENT with ties, DISTINCTROW as a semi-join.
    {"SELECT DCount(\"*\", \"Table1\") FROM Table1",
     "SELECT (SELECT COUNT(*) FROM `table1`) AS `expr1000` FROM `table1`"},
    {"SELECT TOP 10 PERCENT Name FROM Table1 ORDER BY Name",
     "SELECT `name` FROM (SELECT `name`, RANK() OVER (ORDER BY `name`) AS `tw_rank`, COUNT(*) "
     "OVER () AS `tw_count` FROM `table1`) AS `tw_top` WHERE `tw_rank` <= CEILING(`tw_count` * "
     "10 / 100) ORDER BY `tw_rank`"},
    {"SELECT DISTINCTROW Table1.Name FROM Table1 INNER JOIN [Table 2] ON Table1.ID = "
     "[Table 2].ID",
     "SELECT `table1`.`name` FROM `table1` WHERE EXISTS (SELECT 1 FROM `table 2` WHERE "
     "`table1`.`id` = `table 2`.`id`)"},
    // Unions.
    {"SELECT Name FROM Table1 UNION SELECT [Col A] FROM [Table 2] ORDER BY Table1.Name",
     "SELECT `name` FROM `table1` UNION SELECT `col a` FROM `table 2` ORDER BY `name`"},
    {"SELECT Name FROM Table1 UNION ALL SELECT [Col A] FROM [Table 2]",
     "SELECT `name` FROM `table1` UNION ALL SELECT `col a` FROM `table 2`"},
    {"TABLE Table1 UNION ALL SELECT * FROM Table1",
     "SELECT * FROM `table1` UNION ALL SELECT * FROM `table1`"},
};

struct Refusal {
    const char* access;
    const char* refusal;
};

const Refusal kRefused[] = {
    {"TRANSFORM Sum(Amount) SELECT Name FROM Table1 GROUP BY Name PIVOT Code",
     "交叉表查询（TRANSFORM/PIVOT）"},
    {"PARAMETERS [Start] DateTime; SELECT * FROM Table1 WHERE Created > [Start]",
     "参数查询（PARAMETERS）"},
    {"SELECT * FROM Table1 WHERE ID = [Forms]![Orders]![ID]",
     "引用窗体或报表的参数 '[Forms]![Orders]![ID]'"},
    {"INSERT INTO Table1 (ID) VALUES (1)", "操作查询（INSERT）"},
    {"UPDATE Table1 SET Name = \"x\"", "操作查询（UPDATE）"},
    {"DELETE * FROM Table1", "操作查询（DELETE）"},
    {"CREATE TABLE T (ID LONG)", "数据定义查询（CREATE）"},
    {"SELECT Name INTO Copy FROM Table1", "生成表查询（SELECT … INTO）"},
    {"SELECT * FROM Table1 IN 'c:\\other.mdb'", "外部数据库中的表"},
    {"SELECT * FROM [;DATABASE=c:\\other.mdb].Table1", "外部数据库中的表"},
    {"SELECT DLookup(\"Name\", \"Table1\") FROM Table1", "域聚合函数 'DLookup'"},
    {"SELECT Foo(Name) FROM Table1", "用户定义的函数 'Foo'"},
    {"SELECT Round(Amount, 2) FROM Table1", "函数 'Round'"},
    {"SELECT CInt(Amount) FROM Table1", "函数 'CInt'"},
    {"SELECT Val(Code) FROM Table1", "函数 'Val'"},
    {"SELECT First(Name) FROM Table1", "函数 'First'"},
    {"SELECT Left(Name) FROM Table1", "函数 'Left' 的参数个数不对"},
    {"SELECT ID FROM Table1 WHERE ID In (SELECT TOP 1 ID FROM [Table 2])",
     "IN、ANY、ALL 子查询中的 TOP"},
    {"SELECT DISTINCTROW Table1.Name FROM Table1 LEFT JOIN [Table 2] ON Table1.ID = "
     "[Table 2].ID",
     "DISTINCTROW（结果未包含每个表的字段"},
    {"SELECT ID FROM Table1 WHERE Name Like \"[a-c]*\"", "Like 模式中的字符范围 '[a-c]'"},
    {"SELECT ID FROM Table1 WHERE Name Like Code", "Like 的模式不是字符串常量"},
    {"SELECT ID FROM Table1 WHERE Name Like \"*\" & Code", "Like 的模式不是字符串常量"},
    {"SELECT ID FROM Table1 WHERE Name Like \"a[]\"", "Like 模式中的 '[]'"},
    {"SELECT ID FROM Table1 WHERE Name Like \"a[b\"", "Like 模式中未结束的 '['"},
    {"SELECT InStr(1, Name, \"b\", 0) FROM Table1", "InStr 的二进制比较"},
    {"SELECT DateAdd(Code, 1, Created) FROM Table1", "DateAdd 的间隔不是字符串常量"},
    {"SELECT DateAdd(\"x\", 1, Created) FROM Table1", "DateAdd 的间隔 'x'"},
    {"SELECT DateDiff(\"w\", Created, Now()) FROM Table1", "DateDiff 的间隔 'w'"},
    {"SELECT DateDiff(\"ww\", Created, Now(), 2) FROM Table1", "DateDiff 的 firstdayofweek 参数"},
    {"SELECT DatePart(\"ww\", Created, 1, 2) FROM Table1", "DatePart 的 firstweekofyear 参数"},
    {"SELECT DateSerial(20, 1, 1) FROM Table1", "DateSerial 的两位数年份"},
    {"SELECT Format(Created, \"Short Date\") FROM Table1", "Format 格式 'Short Date'"},
    {"SELECT Format(Created, \"mm/dd/yyyy\") FROM Table1", "Format 格式 'mm/dd/yyyy'"},
    {"SELECT Name & Date() FROM Table1", "日期参与 '&' 连接"},
    {"SELECT Name & True FROM Table1", "True/False 参与 '&' 连接"},
    {"SELECT Now() + 0.5 FROM Table1", "日期的加减运算"},
    {"SELECT Now() - #1/1/2020# FROM Table1", "日期的加减运算"},
    {"SELECT Name + \"1\" FROM Table1", "数字文本参与 '+' 运算"},
    {"SELECT ID FROM Table1 WHERE Active Eqv True", "运算符 'Eqv'"},
    {"SELECT ID FROM Table1 WHERE Created = #31/1/2020#", "无法识别的日期 '#31/1/2020#'"},
    {"SELECT ID FROM Table1 WHERE Name = \"open", "未结束的字符串"},
    {"SELECT ID FROM Table1 WHERE Name = ?", "无法识别的字符 '?'"},
    {"SELECT ID FROM Table1; SELECT 2", "无法解析 'SELECT' 处的写法"},
    {"SELECT ID FROM", "语句不完整"},
    {"Select Table1.ID\r\nwhere Table1.Name = \"foo\"\r\nUNION Select ID FROM Table1",
     "引用了 FROM 中没有的表 'table1'（Access 把它当作参数）"},
    {"", "空查询"},
};

} // namespace

TEST(AccessSqlTranslation, EachConstructBecomesTheMySqlFormWithTheSameResult) {
    for (const auto& c : kTranslated) {
        SCOPED_TRACE(c.access);
        const auto translation = TranslateAccessQuery(c.access);
        EXPECT_EQ(translation.refusal, "");
        EXPECT_EQ(translation.select, c.mysql);
    }
}

TEST(AccessSqlTranslation, ConstructsWithoutAFaithfulFormAreRefusedByName) {
    for (const auto& c : kRefused) {
        SCOPED_TRACE(c.access);
        const auto translation = TranslateAccessQuery(c.access);
        EXPECT_EQ(translation.select, "");
        EXPECT_TRUE(translation.sources.empty());
        EXPECT_NE(translation.refusal.find(c.refusal), std::string::npos) << translation.refusal;
    }
}

TEST(AccessSqlTranslation, DeepNestingIsRefusedInsteadOfExhaustingTheStack) {
    const std::string deep =
        "SELECT " + std::string(100000, '(') + "1" + std::string(100000, ')') + " FROM Table1";
    EXPECT_EQ(TranslateAccessQuery(deep).refusal, "嵌套层数过多");
    const std::string negations = "SELECT ID FROM Table1 WHERE " + std::string(100000, '-') + "1";
    EXPECT_EQ(TranslateAccessQuery(negations).refusal, "嵌套层数过多");
}

TEST(AccessSqlTranslation, SourcesAreTheTablesAndQueriesReadInFirstSeenOrder) {
    const auto translation = TranslateAccessQuery(
        "SELECT (SELECT Max(x) FROM [Sub Query] AS s) AS m FROM Table1 INNER JOIN [Table 2] ON "
        "Table1.ID = [Table 2].ID WHERE Table1.ID IN (SELECT ID FROM TABLE1) UNION SELECT ID FROM "
        "Other");
    ASSERT_EQ(translation.refusal, "");
    EXPECT_EQ(translation.sources,
              (std::vector<std::string>{"Sub Query", "Table1", "Table 2", "Other"}));
}

// With the tables' columns known, '*' is spelt out, and a column two tables share gets the name
// Access gives it, so that the view's columns do not clash.
TEST(AccessSqlTranslation, StarsAreSpeltOutSoSharedColumnsGetAccessNames) {
    const ColumnLookup columns =
        [](const std::string& table) -> std::optional<std::vector<std::string>> {
        if (table == "Table1")
            return std::vector<std::string>{"ID", "Name"};
        return std::nullopt;
    };
    EXPECT_EQ(TranslateAccessQuery("SELECT T.*, [Table 2].ID FROM Table1 AS T, [Table 2]", columns)
                  .select,
              "SELECT `t`.`id` AS `t.id`, `t`.`name`, `table 2`.`id` AS `table 2.id` FROM "
              "`table1` AS `t`, `table 2`");
    // A table whose columns are not known keeps its '*'.
    EXPECT_EQ(TranslateAccessQuery("SELECT * FROM Table1, [Table 2]", columns).select,
              "SELECT * FROM `table1`, `table 2`");
}

// The translations as views on a real server: each is accepted and reads its tables, and the
// constructs whose MySQL form is not a plain renaming give Access's values.
TEST(AccessSqlServer, TranslationsMakeViewsThatGiveAccessValues) {
    TW_REQUIRE_SERVER(target);
    tw::test::ServerSession server(target);
    server.FreshDatabase("tw_access_sql");
    server.Execute("USE tw_access_sql");
    server.Execute("CREATE TABLE `table1` (`id` int, `name` varchar(50), `amount` decimal(19,4), "
                   "`created` datetime, `active` tinyint(1), `code` varchar(20)) DEFAULT "
                   "CHARSET=utf8mb4");
    server.Execute("CREATE TABLE `table 2` (`id` int, `col a` varchar(50)) DEFAULT "
                   "CHARSET=utf8mb4");
    server.Execute("CREATE TABLE `产品` (`名称` varchar(50)) DEFAULT CHARSET=utf8mb4");
    server.Execute("INSERT INTO `table1` VALUES (1, 'Abc', 150, '2020-01-31 10:30:00', 1, 'A1x'), "
                   "(2, 'Bcd', NULL, NULL, 0, NULL), (3, 'Abc', 5, '2019-12-31 00:00:00', 1, "
                   "'50%_*')");
    server.Execute("INSERT INTO `table 2` VALUES (1, 'x'), (3, 'y')");

    for (const auto& c : kTranslated) {
        SCOPED_TRACE(c.access);
        EXPECT_NO_THROW({
            server.Execute("CREATE OR REPLACE VIEW `check` AS " + std::string(c.mysql));
            server.Query("SELECT * FROM `check`");
        });
    }

    // Each expression on the row ID = 1 (Code 'A1x', Active 1), and the value Access gives.
    const std::pair<const char*, std::optional<std::string>> values[] = {
        {"DateDiff(\"yyyy\", #12/31/2019#, #1/1/2020#)", "1"},
        {"DateDiff(\"q\", #3/31/2020#, #4/1/2020#)", "1"},
        {"DateDiff(\"m\", #1/31/2020#, #2/1/2020#)", "1"},
        {"DateDiff(\"d\", #1/1/2020 11:00 PM#, #1/2/2020 1:00 AM#)", "1"},
        {"DateDiff(\"ww\", #1/4/2020#, #1/5/2020#)", "1"}, // Saturday to Sunday
        {"DateDiff(\"ww\", #1/5/2020#, #1/11/2020#)", "0"},
        {"DateDiff(\"h\", #1/1/2020 10:59:59 AM#, #1/1/2020 11:00:00 AM#)", "1"},
        {"DateDiff(\"n\", #1/1/2020 10:59:59 AM#, #1/1/2020 11:00:00 AM#)", "1"},
        {"DateAdd(\"m\", 1, #1/31/2020#)", "2020-02-29 00:00:00"},
        {"DateSerial(2020, 14, 0)", "2021-01-31"},
        {"#1/31/2020# + 1", "2020-02-01 00:00:00"},
        {"Null & Null", std::nullopt},
        {"\"a\" & Null", "a"},
        {"Code & Null", "A1x"},
        {"Code + Null", std::nullopt},
        {"Code + \"x\"", "A1xx"},
        {"IIf(Code Like \"a#X\", \"yes\", \"no\")", "yes"},
        {"IIf(Code Like \"A#\", \"yes\", \"no\")", "no"},
        {"IIf(Code Like \"[!b]1?\", \"yes\", \"no\")", "yes"},
        {"7 / 2", "3.5"},
        {"7 / 4", "1.75"},
        {"Avg(ID)", "1"},
        {R"(-7 \ 2)", "-3"},
        {"-7 Mod 3", "-1"},
        {"Int(-2.5)", "-3"},
        {"Fix(-2.5)", "-2"},
        {"-2 ^ 2", "-4"},
        {"InStr(\"abc\", \"C\")", "3"},
        {"Nz(Null)", ""},
        {"Format(#1/31/2020 10:05:09 PM#, \"yyyy-mm-dd hh:nn:ss\")", "2020-01-31 22:05:09"},
        {"Active = True", "1"},
    };
    for (const auto& [expression, expected] : values) {
        SCOPED_TRACE(expression);
        const auto translation = TranslateAccessQuery(std::string("SELECT ") + expression +
                                                      " AS X FROM Table1 WHERE ID = 1");
        ASSERT_EQ(translation.refusal, "");
        server.Execute("CREATE OR REPLACE VIEW `check` AS " + translation.select);
        const auto rows = server.Query("SELECT CAST(`x` AS CHAR) FROM `check`");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][0], expected);
    }

    // TOP keeps the rows that tie with the last one.
    const auto top = TranslateAccessQuery("SELECT TOP 1 Name FROM Table1 ORDER BY Name");
    server.Execute("CREATE OR REPLACE VIEW `check` AS " + top.select);
    EXPECT_EQ(server.Query("SELECT * FROM `check`").size(), 2u);
    server.Execute("DROP DATABASE tw_access_sql");
}
