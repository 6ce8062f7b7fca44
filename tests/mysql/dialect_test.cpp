// The statements the MySQL dialect makes from a table's definition, as golden text.

#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/MySqlDialect.h"

#include <gtest/gtest.h>

namespace tw::data {
namespace {

ColumnSchema Column(std::string name, int ado_type, std::int32_t size = 0) {
    ColumnSchema column;
    column.name = std::move(name);
    column.ado_type = ado_type;
    column.size = size;
    return column;
}

// Defaults: literals and Now()/Date() carry over; anything else is left out (and noted).
TEST(MySqlDialect, DefaultsHaveAFaithfulFormOrNone) {
    struct Case {
        int type;
        const char* access;
        const char* mysql;
    };
    const Case cases[] = {
        {adVarWChar, "\"Unknown\"", "'Unknown'"},
        {adVarWChar, "=\"Carrier's \"\"best\"\" \\ choice\"", "'Carrier''s \"best\" \\\\ choice'"},
        {adVarWChar, "\"far too long for the column\"", ""},
        {adVarWChar, "\"a\" & \"b\"", ""},
        {adCurrency, "500", "500"},
        {adDouble, "=0.25", "0.25"},
        {adInteger, "Null", ""},
        {adBoolean, "Yes", "1"},
        {adBoolean, "False", "0"},
        {adDate, "=Now()", "CURRENT_TIMESTAMP"},
        {adDate, "Date()", "(CURRENT_DATE)"},
        {adDate, "=DateAdd(\"d\",3,Date())", ""},
        {adInteger, "Now()", ""},
        // Date/Time Extended: seven digits of a second in Access, six in MySQL.
        {adDBTimeStamp, "=Now()", "CURRENT_TIMESTAMP(6)"},
    };
    for (const auto& c : cases) {
        ColumnSchema column = Column("c", c.type, 26);
        column.scale = c.type == adDBTimeStamp ? 7 : 0;
        column.default_expression = c.access;
        EXPECT_EQ(MySqlDialect::DefaultValue(column), c.mysql) << c.access;
        if (c.type == adDBTimeStamp) {
            EXPECT_EQ(MySqlDialect::ColumnType(column), "datetime(6)");
        }
    }
}

// A table with keys: NOT NULL for required, Yes/No and primary-key columns, defaults, comments
// escaped like literals, the collation and the table's comment; the keys follow the rows.
TEST(MySqlDialect, TableWithKeysAndItsKeyStatements) {
    TableSchema table;
    table.name = "Order Lines";
    table.description = "订单 'x'";
    table.columns = {Column("ID", adInteger, 4), Column("Code", adVarWChar, 255),
                     Column("Memo", adLongVarWChar), Column("Done", adBoolean),
                     Column("Qty", adSmallInt, 2)};
    table.columns[0].auto_number = AutoNumber::Increment;
    table.columns[1].required = true;
    table.columns[1].description = "back\\slash";
    table.columns[4].default_expression = "1";
    table.next_auto_number = 42;
    table.indexes = {
        {"PrimaryKey", {{"Code"}, {"Qty", true}}, true, true},
        {"Primary", {{"Memo"}}, false, true},
        {"OrdersOrder Lines", {{"ID"}}, false, false, false, true},
    };
    TableOptions options{"MyISAM", true, "utf8mb4_uca1400_nopad_as_ci"};
    std::vector<std::string> notes;
    EXPECT_EQ(MySqlDialect::CreateTable(table, options, &notes),
              "CREATE TABLE `order lines`(`id` int , `code` varchar(255) NOT NULL COMMENT "
              "'back\\\\slash' , `memo` mediumtext , `done` tinyint(1) NOT NULL , `qty` "
              "smallint NOT NULL DEFAULT 1 ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4 "
              "COLLATE=utf8mb4_uca1400_nopad_as_ci COMMENT='订单 ''x'''");
    options.collation_versioned = true;
    EXPECT_NE(MySqlDialect::CreateTable(table, options)
                  .find(" /*M!101001 COLLATE=utf8mb4_uca1400_nopad_as_ci */"),
              std::string::npos);

    // MyISAM keys hold 1000 bytes: the text column of the primary key gets a prefix, the memo
    // column one of its own; "primary" is no name for an index; the relationship's index is
    // left to the foreign key; the AutoNumber gets a key and its counter.
    const KeyPlan plan = MySqlDialect::Keys(table, options, &notes);
    EXPECT_EQ(plan.combined,
              "ALTER TABLE `order lines` ADD PRIMARY KEY (`code`(248), `qty` DESC), ADD UNIQUE "
              "KEY `primary_` (`memo`(250)), ADD KEY `id` (`id`), MODIFY `id` int NOT NULL "
              "AUTO_INCREMENT, AUTO_INCREMENT=42;");
    ASSERT_EQ(plan.steps.size(), 4u);
    EXPECT_EQ(plan.steps[0].plain_fallback,
              "ALTER TABLE `order lines` ADD KEY `primarykey` (`code`(248), `qty` DESC);");
    EXPECT_EQ(plan.steps[3].statement, "ALTER TABLE `order lines` MODIFY `id` int NOT NULL "
                                       "AUTO_INCREMENT, AUTO_INCREMENT=42;");
    EXPECT_EQ(notes.size(), 2u); // the two prefixed unique indexes

    // A primary key of whole numbers is declared with the table, with the AutoNumber heading
    // it; what remains comes after the rows.
    table.indexes[0].columns = {{"ID"}, {"Qty"}};
    EXPECT_EQ(MySqlDialect::CreateTable(table, TableOptions{"InnoDB", true}),
              "CREATE TABLE `order lines`(`id` int NOT NULL AUTO_INCREMENT , `code` varchar(255) "
              "NOT NULL COMMENT 'back\\\\slash' , `memo` mediumtext , `done` tinyint(1) NOT NULL , "
              "`qty` smallint NOT NULL DEFAULT 1 , PRIMARY KEY (`id`, `qty`) ) ENGINE=InnoDB "
              "DEFAULT CHARSET=utf8mb4 AUTO_INCREMENT=42 COMMENT='订单 ''x'''");
    EXPECT_EQ(MySqlDialect::Keys(table, TableOptions{"InnoDB", true}).combined,
              "ALTER TABLE `order lines` ADD UNIQUE KEY `primary_` (`memo`(768));");

    // Without keys: today's bare statement, whatever the definition holds.
    EXPECT_EQ(MySqlDialect::CreateTable(table, TableOptions{"InnoDB"}),
              "CREATE TABLE `order lines`(`id` int , `code` varchar(255) , `memo` mediumtext , "
              "`done` tinyint(1) , `qty` smallint ) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4");
}

TEST(MySqlDialect, ForeignKeysAndLongIndexNames) {
    RelationshipSchema relationship{"Order LinesReturns",
                                    "Order Lines",
                                    "Re`turns",
                                    {{"OrderID", "OrderID"}, {"LineNo", "LineNo"}},
                                    true,
                                    true,
                                    false};
    EXPECT_EQ(MySqlDialect::ForeignKey(relationship),
              "ALTER TABLE `re``turns` ADD CONSTRAINT `order linesreturns` FOREIGN KEY "
              "(`orderid`, `lineno`) REFERENCES `order lines` (`orderid`, `lineno`) ON DELETE "
              "RESTRICT ON UPDATE CASCADE;");

    TableSchema table{"t", {Column("a", adInteger, 4)}};
    const std::string long_name(70, 'X');
    table.indexes = {{long_name, {{"a"}}}, {long_name, {{"a"}}}};
    const KeyPlan plan = MySqlDialect::Keys(table, TableOptions{"InnoDB", true});
    const std::string name64(64, 'x');
    EXPECT_EQ(plan.combined, "ALTER TABLE `t` ADD KEY `" + name64 + "` (`a`), ADD KEY `" +
                                 name64.substr(0, 62) + "_2` (`a`);");
}

} // namespace
} // namespace tw::data
