// Saved queries that are not views, as stored procedures on a real server: a parameter query
// returns the rows Access gives for the values it is called with; append, update, delete and
// make-table queries change nothing until they are called, then exactly the rows worked out by
// hand. What MySQL would do differently is refused with its reason.

#include "ChildProcess.h"
#include "ServerSession.h"
#include "TempDir.h"
#include "tablewright/access/AccessSql.h"
#include "tablewright/mysql/MySqlSqlWriter.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace tw::data {
namespace {

using test::Row;

// The text columns of the tables below, their whole-number, Currency and date columns.
SqlWriterContext TypesOfTheTables() {
    SqlWriterContext context;
    context.column_type = [](const std::string&, const std::string& column) -> std::optional<int> {
        std::string lower = column;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "customer" || lower == "city" || lower == "name")
            return 202;
        if (lower == "amount")
            return 6; // Currency
        if (lower == "shipped")
            return 7; // Date/Time
        return lower == "id" ? std::optional<int>(3) : std::nullopt;
    };
    return context;
}

WrittenSql Procedure(const std::string& name, const std::string& access_sql) {
    const ParsedStatement parsed = ParseAccessQuery(access_sql);
    if (!parsed.tree)
        return {{}, "parse: " + parsed.refusal, {}};
    return WriteMySqlProcedure(name, *parsed.tree, TypesOfTheTables());
}

TEST(AccessRoutines, RefusedWhereMySqlWouldDoOtherwise) {
    const std::pair<const char*, const char*> cases[] = {
        // MySQL's UPDATE would read the new Amount; Access reads the old one.
        {"UPDATE Orders SET Orders.Amount = 1, Orders.ID = Orders.Amount;", "先赋值的字段"},
        {"INSERT INTO Archive SELECT Orders.ID FROM Orders;", "没有列出目标列"},
        {"INSERT INTO Archive (ID, ID) SELECT Orders.ID, Orders.ID FROM Orders;", "出现了不止一次"},
        {"PARAMETERS X Binary; SELECT Orders.ID FROM Orders WHERE Orders.ID = X;", "'Binary'"},
        {"UPDATE Orders SET Orders.Amount = Other.Amount;", "'other'"},
        {"DELETE FROM Orders INNER JOIN Customers ON Orders.Customer = Customers.Name;",
         "删除哪个表"},
        // Fractions and dates as headings are named by the regional settings.
        {"TRANSFORM Sum(Orders.ID) SELECT Orders.Customer FROM Orders GROUP BY "
         "Orders.Customer PIVOT Orders.Amount;",
         "不是文本或整数"},
        {"TRANSFORM Sum(Orders.Amount) SELECT Orders.Customer FROM Orders GROUP BY "
         "Orders.Customer PIVOT Orders.Shipped IN (#1/5/2020#);",
         "不是文本或数字常量"},
        {"TRANSFORM Sum(Orders.Amount) SELECT Orders.Customer FROM Orders GROUP BY "
         "Orders.Customer PIVOT Orders.Customer IN (1);",
         "是数字"},
        {"TRANSFORM Sum(Orders.Amount) SELECT Orders.Customer FROM Orders GROUP BY "
         "Orders.Customer PIVOT Orders.City IN (\"Oslo\", \"oslo\");",
         "重复"},
        {"TRANSFORM Sum(Orders.Amount) SELECT Orders.Customer FROM Orders WHERE "
         "Avg(Orders.Amount) > 1 GROUP BY Orders.Customer PIVOT Orders.Customer;",
         "WHERE 中的聚合函数 'Avg'"},
        {"TRANSFORM First(Orders.Amount) SELECT Orders.Customer FROM Orders GROUP BY "
         "Orders.Customer PIVOT Orders.Customer;",
         "不是 Sum"},
        {"TRANSFORM Last(Orders.Amount) SELECT Orders.Customer FROM Orders GROUP BY "
         "Orders.Customer PIVOT Orders.Customer IN (\"Ann\");",
         "结果取决于记录顺序"},
        {"TRANSFORM Sum(Orders.Amount * [Forms]![F]![Rate]) SELECT Orders.Customer FROM Orders "
         "GROUP BY "
         "Orders.Customer PIVOT Orders.Customer;",
         "值或列标题中的参数"},
    };
    for (const auto& [access, reason] : cases) {
        SCOPED_TRACE(access);
        const WrittenSql written = Procedure("p", access);
        EXPECT_EQ(written.text, "");
        EXPECT_NE(written.refusal.find(reason), std::string::npos) << written.refusal;
    }
}

TEST(AccessRoutinesServer, ProceduresReturnAndChangeTheRowsAccessWould) {
    TW_REQUIRE_SERVER(target);
    test::ServerSession server(target);
    server.FreshDatabase("tw_access_routines");
    server.Execute("USE tw_access_routines");
    server.Execute("CREATE TABLE `orders` (`id` int, `customer` varchar(20), `amount` "
                   "decimal(19,4), `shipped` datetime) DEFAULT CHARSET=utf8mb4");
    server.Execute("CREATE TABLE `customers` (`name` varchar(20), `city` varchar(20)) DEFAULT "
                   "CHARSET=utf8mb4");
    server.Execute("CREATE TABLE `archive` (`id` int, `amount` decimal(19,4)) DEFAULT "
                   "CHARSET=utf8mb4");
    server.Execute("INSERT INTO `orders` VALUES (1, 'Ann', 10, '2020-01-05'), (2, 'Bob', 25, "
                   "'2020-02-10'), (3, 'Ann', 40, NULL), (4, 'Cid', 5, '2020-03-01')");
    server.Execute("INSERT INTO `customers` VALUES ('Ann', 'Oslo'), ('Bob', 'Rome'), ('Cid', "
                   "'Oslo')");

    const std::pair<const char*, const char*> queries[] = {
        {"ByAmount", "PARAMETERS [Min Amount] Currency, Who Text (20);\r\nSELECT Orders.ID "
                     "FROM Orders WHERE Orders.Amount >= [Min Amount] AND Orders.Customer = Who "
                     "ORDER BY Orders.ID;"},
        {"CityOf", "SELECT Customers.City FROM Customers WHERE Customers.Name = "
                   "[Forms]![Orders]![Customer];"},
        {"Unshipped", "INSERT INTO Archive (ID, Amount) SELECT Orders.ID, Orders.Amount FROM "
                      "Orders WHERE Orders.Shipped Is Null;"},
        {"Double Oslo", "UPDATE Orders INNER JOIN Customers ON Orders.Customer = Customers.Name "
                        "SET Orders.Amount = Orders.Amount * 2 WHERE Customers.City = \"Oslo\";"},
        {"Drop Rome", "DELETE Orders.* FROM Orders INNER JOIN Customers ON Orders.Customer = "
                      "Customers.Name WHERE Customers.City = \"Rome\";"},
        {"Make Totals", "SELECT Orders.Customer, Sum(Orders.Amount) AS Total INTO Totals FROM "
                        "Orders GROUP BY Orders.Customer;"},
        {"By City", "TRANSFORM Sum(Orders.Amount) AS SumOfAmount SELECT Customers.City, "
                    "Count(*) AS Orders FROM Orders LEFT JOIN Customers ON Orders.Customer = "
                    "Customers.Name WHERE Orders.ID <> 2 GROUP BY Customers.City ORDER BY "
                    "Customers.City PIVOT Orders.Customer;"},
        {"Count By City", "TRANSFORM Count(Orders.Shipped) SELECT Customers.City FROM Orders "
                          "LEFT JOIN Customers ON Orders.Customer = Customers.Name GROUP BY "
                          "Customers.City ORDER BY Customers.City PIVOT Customers.Name;"},
    };
    for (const auto& [name, access] : queries) {
        SCOPED_TRACE(name);
        const WrittenSql written = Procedure(name, access);
        ASSERT_EQ(written.refusal, "");
        server.Execute(written.text);
    }
    // Made, nothing done.
    EXPECT_EQ(server.Scalar("SELECT SUM(amount) FROM orders"), "80.0000");
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM archive"), "0");
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                            "'tw_access_routines' AND TABLE_NAME = 'totals'"),
              "0");
    // The parameters, named from the Access names.
    EXPECT_EQ(server.Scalar("SELECT GROUP_CONCAT(CONCAT(PARAMETER_NAME, ' ', DTD_IDENTIFIER) "
                            "ORDER BY SPECIFIC_NAME, ORDINAL_POSITION) FROM "
                            "information_schema.PARAMETERS WHERE SPECIFIC_SCHEMA = "
                            "'tw_access_routines'"),
              "p_min_amount decimal(19,4),p_who varchar(20),p_forms_orders_customer "
              "varchar(255)");

    EXPECT_EQ(server.Query("CALL `byamount`(10, 'Ann')"), (std::vector<Row>{{"1"}, {"3"}}));
    EXPECT_EQ(server.Query("CALL `byamount`(50, 'Ann')"), (std::vector<Row>{}));
    EXPECT_EQ(server.Query("CALL `cityof`('Bob')"), (std::vector<Row>{{"Rome"}}));

    // Crosstabs: the headings are the customers that have rows after WHERE (Bob's only order
    // is left out), sorted; a city without a customer's orders has an empty cell. Order 5 has a
    // customer Customers lacks: its city is Null, and the name heading Null is "<>".
    server.Execute("INSERT INTO `orders` VALUES (5, 'Dan', 7, NULL)");
    EXPECT_EQ(server.Query("CALL `by city`()"),
              (std::vector<Row>{{std::nullopt, "1", std::nullopt, std::nullopt, "7.0000"},
                                {"Oslo", "3", "50.0000", "5.0000", std::nullopt}}));
    EXPECT_EQ(server.Query("CALL `count by city`()"),
              (std::vector<Row>{{std::nullopt, "0", std::nullopt, std::nullopt, std::nullopt},
                                {"Oslo", std::nullopt, "1", std::nullopt, "1"},
                                {"Rome", std::nullopt, std::nullopt, "1", std::nullopt}}));
    server.Execute("DELETE FROM `orders` WHERE id = 5");

    server.Execute("CALL `unshipped`()");
    EXPECT_EQ(server.Query("SELECT id, amount FROM archive"), (std::vector<Row>{{"3", "40.0000"}}));
    server.Execute("CALL `double oslo`()");
    EXPECT_EQ(
        server.Query("SELECT id, amount FROM orders ORDER BY id"),
        (std::vector<Row>{{"1", "20.0000"}, {"2", "25.0000"}, {"3", "80.0000"}, {"4", "10.0000"}}));
    server.Execute("CALL `drop rome`()");
    EXPECT_EQ(server.Query("SELECT id FROM orders ORDER BY id"),
              (std::vector<Row>{{"1"}, {"3"}, {"4"}}));
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM customers"), "3");
    // Twice: the second call replaces the table the first made.
    server.Execute("CALL `make totals`()");
    server.Execute("CALL `make totals`()");
    EXPECT_EQ(server.Query("SELECT customer, total FROM totals ORDER BY customer"),
              (std::vector<Row>{{"Ann", "100.0000"}, {"Cid", "10.0000"}}));
    server.Execute("DROP DATABASE tw_access_routines");
}

// Crosstabs on a real server, each row and column name worked out by hand. Fixed headings keep
// the listed order and case, a heading no row has is an empty column, unlisted values are left
// out, Count is 0 for a group whose rows of the heading have no value and Null where it has none
// of them; headings read from the rows are sorted by value (11 after 3) with Null first as "<>".
TEST(AccessRoutinesServer, CrosstabsHaveTheColumnsAndCellsAccessShows) {
    TW_REQUIRE_SERVER(target);
    test::ServerSession server(target);
    server.FreshDatabase("tw_access_crosstabs");
    server.Execute("USE tw_access_crosstabs");
    server.Execute("CREATE TABLE `orders` (`id` int, `customer` varchar(20), `amount` "
                   "decimal(19,4), `shipped` datetime) DEFAULT CHARSET=utf8mb4");
    server.Execute("CREATE TABLE `customers` (`name` varchar(20), `city` varchar(20)) DEFAULT "
                   "CHARSET=utf8mb4");
    server.Execute("INSERT INTO `orders` VALUES (1, 'Ann', 10, '2020-01-05'), (2, 'Bob', 25, "
                   "'2020-02-10'), (3, 'Ann', 40, NULL), (4, 'Cid', 5, '2020-03-01'), (5, "
                   "'Dan', 7, NULL), (6, 'Ann', 3, '2020-11-20')");
    server.Execute("INSERT INTO `customers` VALUES ('Ann', 'Oslo'), ('Bob', 'Rome'), ('Cid', "
                   "'Oslo')");

    const auto parse = [](const char* access) { return *ParseAccessQuery(access).tree; };
    const WrittenSql view = WriteMySqlView(
        "Fixed By City",
        parse("TRANSFORM Count(Orders.Shipped) AS n SELECT Customers.City, Sum(Orders.Amount) AS "
              "Total FROM Orders LEFT JOIN Customers ON Orders.Customer = Customers.Name GROUP "
              "BY Customers.City PIVOT Orders.Customer IN (\"Bob\", \"Ann\", \"Dan\", "
              "\"Zed\");"),
        TypesOfTheTables());
    ASSERT_EQ(view.refusal, "");
    server.Execute(view.text);
    EXPECT_EQ(server.ColumnNames("SELECT * FROM `fixed by city`"),
              (std::vector<std::string>{"city", "total", "Bob", "Ann", "Dan", "Zed"}));
    const auto none = std::nullopt;
    EXPECT_EQ(server.Query("SELECT * FROM `fixed by city` ORDER BY city"),
              (std::vector<Row>{{none, "7.0000", none, none, "0", none},
                                {"Oslo", "58.0000", none, "2", none, none},
                                {"Rome", "25.0000", "1", none, none, none}}));

    // Number headings (2019.0 is named 2019; the text "2021" matches the year 2021) and a
    // parameter; a Null year is in no column.
    const WrittenSql yearly = Procedure(
        "Yearly", "PARAMETERS [Least] Currency; TRANSFORM Sum(Orders.Amount) SELECT "
                  "Orders.Customer FROM Orders WHERE Orders.Amount >= [Least] GROUP BY "
                  "Orders.Customer ORDER BY Orders.Customer PIVOT Year(Orders.Shipped) IN "
                  "(2020, 2019.0, \"2021\");");
    ASSERT_EQ(yearly.refusal, "");
    server.Execute(yearly.text);
    EXPECT_EQ(server.ColumnNames("CALL yearly(5)"),
              (std::vector<std::string>{"customer", "2020", "2019", "2021"}));
    EXPECT_EQ(server.Query("CALL yearly(5)"), (std::vector<Row>{{"Ann", "10.0000", none, none},
                                                                {"Bob", "25.0000", none, none},
                                                                {"Cid", "5.0000", none, none},
                                                                {"Dan", none, none, none}}));

    // Headings read when called: the months of the rows the parameter keeps.
    const WrittenSql monthly = Procedure(
        "Monthly", "PARAMETERS Least Currency; TRANSFORM Sum(Orders.Amount) SELECT "
                   "Orders.Customer FROM Orders WHERE Orders.Amount >= Least GROUP BY "
                   "Orders.Customer ORDER BY Orders.Customer PIVOT Month(Orders.Shipped);");
    ASSERT_EQ(monthly.refusal, "");
    // Made by the plain client from a script as the conversion writes it.
    const test::TempDir dir("tw_crosstabs");
    const std::string script =
        dir.File("crosstab.sql", "DELIMITER ;;\r\n" + monthly.text + ";;\r\nDELIMITER ;\r\n");
    const test::ShellResult loaded = test::RunShell(
        "mariadb --no-defaults --protocol=tcp --host=" + target.host +
        " --port=" + std::to_string(target.port) + " --user=" + target.user +
        " --default-character-set=utf8mb4 tw_access_crosstabs < " + test::ShellQuoted(script));
    ASSERT_EQ(loaded.status, 0) << loaded.output;
    EXPECT_EQ(server.ColumnNames("CALL monthly(3)"),
              (std::vector<std::string>{"customer", "<>", "1", "2", "3", "11"}));
    EXPECT_EQ(server.Query("CALL monthly(3)"),
              (std::vector<Row>{{"Ann", "40.0000", "10.0000", none, none, "3.0000"},
                                {"Bob", none, none, "25.0000", none, none},
                                {"Cid", none, none, none, "5.0000", none},
                                {"Dan", "7.0000", none, none, none, none}}));
    EXPECT_EQ(server.ColumnNames("CALL monthly(8)"),
              (std::vector<std::string>{"customer", "<>", "1", "2"}));
    EXPECT_EQ(
        server.Query("CALL monthly(8)"),
        (std::vector<Row>{{"Ann", "40.0000", "10.0000", none}, {"Bob", none, none, "25.0000"}}));

    // A query reading a parameter query reads it as a derived table and asks for both
    // queries' values.
    const sql::Statement big = parse("PARAMETERS [Least] Currency; SELECT Orders.ID, "
                                     "Orders.Customer, Orders.Amount * 2 AS Twice FROM Orders "
                                     "WHERE Orders.Amount >= [Least];");
    const auto inlined = sql::InlineQueries(
        parse("PARAMETERS [Which City] Text (20); SELECT Big.ID, Big.Twice, Customers.City FROM "
              "Big INNER JOIN Customers ON Big.Customer = Customers.Name WHERE Customers.City = "
              "[Which City] ORDER BY Big.ID;"),
        [&](const std::string& name) { return name == "Big" ? &big : nullptr; });
    ASSERT_EQ(inlined.refusal, "");
    const WrittenSql in_city = WriteMySqlProcedure("Big In City", inlined.statement);
    ASSERT_EQ(in_city.refusal, "");
    server.Execute(in_city.text);
    EXPECT_EQ(server.Query("CALL `big in city`('Oslo', 5)"),
              (std::vector<Row>{
                  {"1", "20.0000", "Oslo"}, {"3", "80.0000", "Oslo"}, {"4", "10.0000", "Oslo"}}));
    server.Execute("DROP DATABASE tw_access_crosstabs");
}

} // namespace
} // namespace tw::data
