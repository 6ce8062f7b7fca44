#include "TestEnv.h"
#include "tablewright/access/AccessProvider.h"
#include "tablewright/access/AccessSql.h"
#include "tablewright/model/DataAccess.h"

#include <gtest/gtest.h>

#include <string>

using tw::data::ParseAccessExpression;
using tw::data::ParseAccessQuery;
using tw::data::ParseAccessValidationRule;

namespace {

struct Parsed {
    const char* access;
    const char* tree;
};

std::string QueryTree(std::string_view text) {
    const auto parsed = ParseAccessQuery(text);
    return parsed.tree ? tw::sql::ToSExpr(*parsed.tree) : "refused: " + parsed.refusal;
}

std::string ExpressionTree(std::string_view text) {
    const auto parsed = ParseAccessExpression(text);
    return parsed.tree ? tw::sql::ToSExpr(*parsed.tree) : "refused: " + parsed.refusal;
}

// Expressions: literals with their Access types, names, precedence, the comparison forms.
const Parsed kExpressions[] = {
    {"1 + 2 * 3 ^ 2", "(+ (num 1) (* (num 2) (^ (num 3) (num 2))))"},
    {"-2 ^ 2", "(neg (^ (num 2) (num 2)))"},
    {"2 ^ -1", "(^ (num 2) (neg (num 1)))"},
    {R"(a Mod 3 * 2 \ b)", "(mod (col \"a\") (\\ (* (num 3) (num 2)) (col \"b\")))"},
    {"\"it\"\"s\" & [T].[Col A] & Null", "(& (& (text \"it\"\"s\") (col \"T\" \"Col A\")) null)"},
    {"#1/31/2020 10:30 PM# = Yes Or x = No Or y = On Or z = Off Or w = True",
     "(or (or (or (or (= (date \"2020-01-31 22:30:00\") true) (= (col \"x\") false)) (= (col "
     "\"y\") true)) (= (col \"z\") false)) (= (col \"w\") true))"},
    {"a Is Not Null And b Is Null", "(and (is-not-null (col \"a\")) (is-null (col \"b\")))"},
    {"a Not Between 1 And 2 Or b In (1, 2) Or c Not In (\"x\")",
     "(or (or (not-between (col \"a\") (num 1) (num 2)) (in (col \"b\") (num 1) (num 2))) "
     "(not-in (col \"c\") (text \"x\")))"},
    {"Not a Like \"A*\" And b Not Like \"?\"",
     "(and (not (like (col \"a\") (text \"A*\"))) (not-like (col \"b\") (text \"?\")))"},
    {"IIf(a > 0, Left$(b, 2), Count(*))",
     "(call IIf (> (col \"a\") (num 0)) (call Left$ (col \"b\") (num 2)) (call Count *))"},
    {"[Forms]![Orders]![ID] + T!x", "(+ (param \"[Forms]![Orders]![ID]\") (col \"T\" \"x\"))"},
    {"Exists (SELECT 1 FROM T) And x > All (SELECT y FROM U) And (SELECT Max(z) FROM V) = 1",
     "(and (and (exists (select (items (num 1)) (from (table \"T\")))) (> (col \"x\") ALL "
     "(select (items (col \"y\")) (from (table \"U\"))))) (= (subquery (select (items (call "
     "Max (col \"z\"))) (from (table \"V\")))) (num 1)))"},
    {"(a)", "(paren (col \"a\"))"},
    {"a Eqv b Imp c", "(imp (eqv (col \"a\") (col \"b\")) (col \"c\"))"},
};

// Statements: every kind of saved query.
const Parsed kStatements[] = {
    {"SELECT DISTINCTROW TOP 10 PERCENT T.*, a AS [x y] INTO Copy IN 'c:\\o.mdb' FROM (T "
     "INNER JOIN U ON T.id = U.id) LEFT JOIN V AS W ON U.id = W.id, X WHERE a > 1 GROUP BY a "
     "HAVING Count(*) > 1 ORDER BY a DESC, b WITH OWNERACCESS OPTION;",
     "(select-statement (query (select distinctrow (top 10 percent) (items \"T\".* (as (col "
     "\"a\") \"x y\")) (into \"Copy\" in \"c:\\o.mdb\") (from (left-join (paren (inner-join "
     "(table \"T\") (table \"U\") (= (col \"T\" \"id\") (col \"U\" \"id\")))) (table \"V\" as "
     "\"W\") (= (col \"U\" \"id\") (col \"W\" \"id\"))) (table \"X\")) (where (> (col \"a\") "
     "(num 1))) (group-by (col \"a\")) (having (> (call Count *) (num 1)))) (order-by (desc "
     "(col \"a\")) (col \"b\"))) owneraccess)"},
    {"SELECT a FROM T UNION ALL SELECT b FROM U UNION TABLE V ORDER BY a",
     "(select-statement (query (select (items (col \"a\")) (from (table \"T\"))) union-all "
     "(select (items (col \"b\")) (from (table \"U\"))) union (table-select \"V\") (order-by "
     "(col \"a\"))))"},
    {"PARAMETERS [Start Date] DateTime, [Forms]![F]![C] Text ( 255 ); SELECT * FROM T WHERE d "
     "> [Start Date] AND c = [Forms]![F]![C]",
     "(select-statement (parameters (\"Start Date\" DateTime) (\"[Forms]![F]![C]\" Text(255))) "
     "(select (items *) (from (table \"T\")) (where (and (> (col \"d\") (param \"Start Date\")) "
     "(= (col \"c\") (param \"[Forms]![F]![C]\"))))))"},
    {"TRANSFORM Sum(Amount) AS S SELECT Name FROM T GROUP BY Name PIVOT Format(d, \"yyyy\") IN "
     "(\"2019\", \"2020\")",
     "(crosstab (transform (call Sum (col \"Amount\")) as \"S\") (select (items (col \"Name\")) "
     "(from (table \"T\")) (group-by (col \"Name\"))) (pivot (call Format (col \"d\") (text "
     "\"yyyy\")) (in (text \"2019\") (text \"2020\"))))"},
    {"TRANSFORM Sum(Amount) SELECT Name FROM T GROUP BY Name PIVOT Code IN (\"a\", \"b\")",
     "(crosstab (transform (call Sum (col \"Amount\"))) (select (items (col \"Name\")) (from "
     "(table \"T\")) (group-by (col \"Name\"))) (pivot (col \"Code\") (in (text \"a\") (text "
     "\"b\"))))"},
    {"INSERT INTO T (a, T.b) SELECT x, y FROM U",
     "(insert (into \"T\" \"a\" \"b\") (select (items (col \"x\") (col \"y\")) (from (table "
     "\"U\"))))"},
    {"INSERT INTO T VALUES (1, \"x\")", "(insert (into \"T\") (values (num 1) (text \"x\")))"},
    {"UPDATE T INNER JOIN U ON T.id = U.id SET T.a = U.b, c = 1 WHERE U.b Is Not Null",
     "(update (tables (inner-join (table \"T\") (table \"U\") (= (col \"T\" \"id\") (col \"U\" "
     "\"id\")))) (set ((col \"T\" \"a\") (col \"U\" \"b\")) ((col \"c\") (num 1))) (where "
     "(is-not-null (col \"U\" \"b\"))))"},
    {"DELETE DISTINCTROW T.* FROM T WHERE a = 1",
     "(delete (what \"T.*\") (from (table \"T\")) (where (= (col \"a\") (num 1))))"},
    {"DELETE FROM T", "(delete (from (table \"T\")))"},
    {"DELETE T.a, T.b FROM T", "(delete (what \"T.a, T.b\") (from (table \"T\")))"},
    {"PARAMETERS User Name Text, [n] Long; SELECT [User Name] FROM T",
     "(select-statement (parameters (\"User Name\" Text) (\"n\" Long)) (select (items (param "
     "\"User Name\")) (from (table \"T\"))))"},
    {"CREATE TABLE T (ID LONG)", "(definition CREATE)"},
    {"SELECT * FROM [SELECT a FROM T]. AS Q",
     "(select-statement (select (items *) (from (derived (select (items (col \"a\")) (from "
     "(table \"T\"))) as \"Q\"))))"},
};

// Validation rules: a comparison without a left side compares the column.
const Parsed kRules[] = {
    {">=0 And <1000000", "(and (>= (col \"Price\") (num 0)) (< (col \"Price\") (num 1000000)))"},
    {"Is Null Or Like \"*@*.*\"",
     "(or (is-null (col \"Price\")) (like (col \"Price\") (text \"*@*.*\")))"},
    {"In (\"A\",\"B\")", "(in (col \"Price\") (text \"A\") (text \"B\"))"},
    {"Between 1 And 100", "(between (col \"Price\") (num 1) (num 100))"},
    {"Not Like \"x*\" And <> \"\"",
     "(and (not-like (col \"Price\") (text \"x*\")) (<> (col \"Price\") (text \"\")))"},
    {"[Price] > 0", "(> (col \"Price\") (num 0))"},
    {"Not [Price] = 0", "(not (= (col \"Price\") (num 0)))"},
};

} // namespace

TEST(AccessSqlParser, ExpressionsBecomeTreesWithAccessPrecedenceAndTypes) {
    for (const auto& c : kExpressions) {
        SCOPED_TRACE(c.access);
        EXPECT_EQ(ExpressionTree(c.access), c.tree);
    }
}

TEST(AccessSqlParser, EveryKindOfSavedQueryBecomesAStatementTree) {
    for (const auto& c : kStatements) {
        SCOPED_TRACE(c.access);
        EXPECT_EQ(QueryTree(c.access), c.tree);
    }
}

TEST(AccessSqlParser, ValidationRulesImplyTheirColumn) {
    for (const auto& c : kRules) {
        SCOPED_TRACE(c.access);
        const auto parsed = ParseAccessValidationRule(c.access, "Price");
        ASSERT_TRUE(parsed.tree) << parsed.refusal;
        EXPECT_EQ(tw::sql::ToSExpr(*parsed.tree), c.tree);
    }
    // Without the column, the same text is no expression.
    EXPECT_EQ(ExpressionTree(">=0"), "refused: 无法解析 '>=' 处的写法");
}

TEST(AccessSqlParser, TheTablesReadAreListedInTheOrderWritten) {
    const auto parsed = ParseAccessQuery(
        "SELECT (SELECT Max(x) FROM S) AS m, DLookup(\"a\", \"[Table 2]\") FROM T INNER JOIN U "
        "ON T.id = U.id WHERE T.id IN (SELECT id FROM t) UNION TABLE V");
    ASSERT_TRUE(parsed.tree) << parsed.refusal;
    EXPECT_EQ(tw::sql::TableReferences(*parsed.tree),
              (std::vector<std::string>{"S", "Table 2", "T", "U", "t", "V"}));
}

// Hostile text is refused by name: never a crash, a hang or an exhausted stack.
TEST(AccessSqlParser, HostileTextIsRefusedNotACrash) {
    const std::pair<std::string, std::string> cases[] = {
        {"SELECT " + std::string(100000, '(') + "1" + std::string(100000, ')'), "嵌套层数过多"},
        {"SELECT " + std::string(100000, '-') + "1", "嵌套层数过多"},
        {"SELECT 1" +
             [] {
                 std::string chain;
                 for (int i = 0; i < 5000; ++i)
                     chain += " + 1";
                 return chain;
             }(),
         "嵌套层数过多"},
        {"SELECT * FROM T" +
             [] {
                 std::string joins;
                 for (int i = 0; i < 5000; ++i)
                     joins += " INNER JOIN T ON 1 = 1";
                 return joins;
             }(),
         "嵌套层数过多"},
        {"SELECT \"" + std::string(1 << 20, 'x') + "\"", "查询文本过长"},
        {"SELECT " + std::string(100, '9'), "数字常量过长"},
        {"SELECT \"\xC3\x28\"", "查询文本不是有效的 UTF-8"},
        {"SELECT \"\xED\xA0\x80\"", "查询文本不是有效的 UTF-8"},
        {"SELECT [a", "未结束的方括号名称"},
        {"SELECT #1/2", "未结束的日期常量"},
        {"SELECT a FROM", "语句不完整"},
        {"", "空查询"},
    };
    for (const auto& [text, refusal] : cases) {
        SCOPED_TRACE(text.substr(0, 60));
        EXPECT_EQ(QueryTree(text), "refused: " + refusal);
    }
    // "SELECT NOT NOT ... 1" nests through Not rather than parentheses.
    std::string nots = "SELECT ";
    for (int i = 0; i < 1000; ++i)
        nots += "Not ";
    EXPECT_EQ(QueryTree(nots + "1"), "refused: 嵌套层数过多");
    // Every prefix of a real query is parsed or refused.
    const std::string query = "PARAMETERS [p] Long; SELECT DISTINCT TOP 5 T.a & \"x\" AS b, "
                              "IIf(c Between 1 And 2, #1/2/2020#, Null) FROM (T LEFT JOIN U ON "
                              "T.id = U.id) WHERE d In (SELECT e FROM V) ORDER BY 1 DESC;";
    for (std::size_t n = 0; n <= query.size(); ++n)
        (void)QueryTree(query.substr(0, n));
}

// Every saved query of the test files (but pass-through queries, which are the server's own
// SQL) parses into a tree as the source reads it.
TEST(AccessSqlParser, EverySavedQueryOfTheTestFilesParses) {
    int parsed = 0;
    for (const char* file : {"jet4-queries.mdb", "ace14-queries.accdb", "jet3-test.mdb",
                             "gen-schema.mdb", "ace14-calcfields.accdb", "jet4-numeric.mdb"}) {
        SCOPED_TRACE(file);
        const auto source =
            tw::data::OpenAccessProvider(tw::test::TestDataPath(file), std::nullopt);
        for (const auto& query : source->ReadQueries()) {
            SCOPED_TRACE(query.sql);
            if (query.kind == tw::data::QueryKind::PassThrough || query.sql.empty())
                continue;
            EXPECT_TRUE(query.tree) << query.tree_refusal;
            EXPECT_EQ(query.tree_refusal, "");
            ++parsed;
        }
    }
    EXPECT_GE(parsed, 16);
}
