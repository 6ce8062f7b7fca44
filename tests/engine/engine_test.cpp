#include "FakeSource.h"

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/engine/ComplexTables.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

using namespace tw;
using namespace tw::data;
using engine::Cls_Convertion;
using test::FakeColumn;
using test::FakeTable;
using test::FakeWorld;

namespace {

struct EngineFixture : ::testing::Test {
    FakeWorld world;
    Cls_Convertion engine{test::FakeFactory(world), data::DefaultScriptDestinationFactory()};
    std::vector<std::string> reported;
    std::vector<std::int32_t> progress;

    void SetUp() override {
        engine.ExecuteInfo = [this](std::string& sql) { reported.push_back(sql); };
        engine.Progress = [this](std::int32_t& p) { progress.push_back(p); };
        engine.ShowCriticalMessage = [](const std::string&) {};
    }
    void Open() {
        ASSERT_TRUE(engine.OpenSourceDB("/data/file.mdb"));
        ASSERT_TRUE(engine.OpenDestinationDB());
        world.executed.clear();
    }
    FakeTable& AddIntTable(const std::string& name, int rows) {
        FakeTable table{name, "TABLE", {{"N", adInteger, 4}}, {}};
        for (int i = 1; i <= rows; ++i)
            table.rows.push_back({Value(std::int64_t(i))});
        world.tables.push_back(table);
        return world.tables.back();
    }
};

std::string Literal(const Value& value, int type) {
    std::string out;
    data::AppendValueLiteral(out, value, type);
    return out;
}

} // namespace

TEST(TypeMapping, EveryTypeCodeGivesItsColumnText) {
    const std::vector<std::pair<int, std::string>> expected = {
        {adSmallInt, "smallint"},
        {adInteger, "int"},
        {adSingle, "float"},
        {adDouble, "double"},
        {adCurrency, "decimal(19,4)"},
        {adDate, "datetime"},
        {adBoolean, "tinyint(1)"},
        {adTinyInt, "tinyint"},
        {adUnsignedTinyInt, "tinyint unsigned"},
        {adUnsignedSmallInt, "smallint unsigned"},
        {adUnsignedInt, "int unsigned"},
        {adBigInt, "bigint"},
        {adUnsignedBigInt, "bigint unsigned"},
        {adBinary, "blob"},
        {adDBDate, "date"},
        {adDBTime, "time"},
        {adDBTimeStamp, "datetime"},
        {adLongVarChar, "mediumtext"},
        {adLongVarWChar, "mediumtext"},
        {adVarBinary, "blob"},
        {adLongVarBinary, "longblob"},
        {adGUID, "varchar(255)"},
        {adBSTR, "varchar(255)"},
        {adVariant, "varchar(255)"},
        {adEmpty, "varchar(255)"},
        {1, "varchar(255)"},
        {206, "varchar(255)"},
        {-1, "varchar(255)"},
    };
    for (const auto& [code, text] : expected)
        EXPECT_EQ(data::MySqlDialect::TypeText(code, 77, 18, 4), text) << code;
    EXPECT_EQ(data::MySqlDialect::TypeText(adVarWChar, 50, 0, 0), "varchar(50)");
    EXPECT_EQ(data::MySqlDialect::TypeText(adWChar, 10, 0, 0), "char(10)");
    EXPECT_EQ(data::MySqlDialect::TypeText(adVarChar, 0, 0, 0), "varchar(0)");
    EXPECT_EQ(data::MySqlDialect::TypeText(adChar, 255, 0, 0), "char(255)");
    EXPECT_EQ(data::MySqlDialect::TypeText(adNumeric, 0, 18, 4), "decimal(18,4)");
    EXPECT_EQ(data::MySqlDialect::TypeText(adDecimal, 0, 28, 0), "decimal(28,0)");
    EXPECT_EQ(data::MySqlDialect::TypeName(adUnsignedBigInt), "BigInt Unsigned");
}

TEST(ValueLiterals, EachKindIsWrittenSoItReadsBackUnchanged) {
    EXPECT_EQ(Literal(Value(), adVarWChar), "NULL");
    EXPECT_EQ(Literal(Value(true), adBoolean), "'1'");
    EXPECT_EQ(Literal(Value(false), adBoolean), "'0'");
    EXPECT_EQ(Literal(Value(std::int64_t(-2147483648LL)), adInteger), "'-2147483648'");
    EXPECT_EQ(Literal(Value(0.1), adDouble), "'0.1'");
    EXPECT_EQ(Literal(Value(123456789.12345679), adDouble), "'123456789.12345679'");
    EXPECT_EQ(Literal(Value(0.27795252680529037), adDouble), "'0.27795252680529037'");
    EXPECT_EQ(Literal(Value(-0.0), adDouble), "'-0'");
    EXPECT_EQ(Literal(Value(9.99f), adSingle), "'9.99'");
    EXPECT_EQ(Literal(Value(0.05f), adSingle), "'0.05'");
    // The shortest single text of the largest single exceeds it when read as a double.
    const std::string max_single = Literal(Value(std::numeric_limits<float>::max()), adSingle);
    EXPECT_LE(std::stod(max_single.substr(1)), double(std::numeric_limits<float>::max()));
    EXPECT_EQ(static_cast<float>(std::stod(max_single.substr(1))),
              std::numeric_limits<float>::max());
    EXPECT_EQ(Literal(Value(Decimal{"-922337203685477.5808"}), adCurrency),
              "'-922337203685477.5808'");
    EXPECT_EQ(Literal(Value(DateTime{2011, 12, 14, 10, 30, 0}), adDate), "'2011-12-14 10:30:00'");
    EXPECT_EQ(Literal(Value(DateTime{812, 1, 2, 3, 4, 5}), adDate), "'0812-01-02 03:04:05'");
    EXPECT_EQ(Literal(Value(Bytes{std::string("\x00\x01'\\\xff", 5)}), adBinary), "0x0001275CFF");
    EXPECT_EQ(Literal(Value(Bytes{}), adLongVarBinary), "''");
    EXPECT_EQ(Literal(Value(Guid{"{6B29FC40-CA47-1067-B31D-00DD010662DA}"}), adGUID),
              "'{6B29FC40-CA47-1067-B31D-00DD010662DA}'");
    EXPECT_EQ(Literal(Value(std::string()), adVarWChar), "''");
}

TEST(ValueLiterals, TextEscapingKeepsEveryCharacterAndOneLine) {
    const char raw[] = "it's C:\\new\\\x00\r\n\x1a`\"%_;--";
    const std::string nasty(raw, sizeof raw - 1);
    EXPECT_EQ(Literal(Value(nasty), adLongVarWChar), "'it''s C:\\\\new\\\\\\0\\r\\n\\Z`\"%_;--'");
    EXPECT_EQ(Literal(Value(std::string("''")), adVarWChar), "''''''");
    EXPECT_EQ(Literal(Value(std::string("北京 😀")), adVarWChar), "'北京 😀'");
}

TEST(Names, LowerCasingIsUnicodeAwareAndBackticksAreDoubled) {
    EXPECT_EQ(data::Utf8ToLower("Kunden Übersicht"), "kunden übersicht");
    EXPECT_EQ(data::Utf8ToLower("ГРÖßЕ Ελληνικά 北京"), "грößе ελληνικά 北京");
    EXPECT_EQ(data::Utf8ToLower(std::string("A\xff"
                                            "B",
                                            3)),
              std::string("a\xff"
                          "b",
                          3));
    std::string out;
    data::AppendNameText(out, "a`b``c");
    EXPECT_EQ(out, "a``b````c");
}

TEST_F(EngineFixture, TableStatementsFollowTheSourceFieldsAndTableType) {
    world.tables.push_back({"Customers",
                            "TABLE",
                            {{"ID", adInteger, 4}, {"Name", adVarWChar, 50}, {"Born", adDate, 8}},
                            {}});
    Open();
    engine.ConvTable("Customers", false, true, false);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0], "DROP TABLE IF EXISTS `customers`;");
    EXPECT_EQ(reported[1], "CREATE TABLE `customers`(`id` int , `name` varchar(50) , `born` "
                           "datetime ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4");
    EXPECT_EQ(world.executed, (std::vector<std::string>{reported[0], reported[1], "FLUSH TABLES"}));

    engine.SetTableType("InnoDB");
    world.tables.push_back({"Order De`tails", "TABLE", {{"Unit Price", adCurrency, 8}}, {}});
    reported.clear();
    engine.ConvTable("Order De`tails", true, false, false);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "CREATE TABLE `order de``tails`(`unit price` decimal(19,4) ) "
                           "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4");
}

TEST_F(EngineFixture, RowStatementsQuoteValuesAndWriteNullAndBytesBare) {
    world.tables.push_back(
        {"People",
         "TABLE",
         {{"ID", adInteger, 4},
          {"Name", adVarWChar, 50},
          {"Nick", adVarWChar, 50},
          {"Active", adBoolean, 2},
          {"Seen", adDate, 8},
          {"Photo", adLongVarBinary, 0}},
         {{Value(std::int64_t(1)), Value(std::string("O'Brien")), Value(), Value(true),
           Value(DateTime{2011, 12, 14, 10, 30, 0}), Value(Bytes{"\x01\x02"})},
          {Value(std::int64_t(2)), Value(std::string("x")), Value(std::string("y")), Value(false),
           Value(DateTime{2009, 3, 5, 0, 0, 0}), Value()}}});
    world.tables.push_back({"t", "TABLE", {{"a", adVarWChar, 5}}, {{Value(std::string("x"))}}});
    Open();
    engine.ConvTable("People", true, true, false);
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_EQ(reported[2], "INSERT INTO `people` values('1','O''Brien',NULL,'1','2011-12-14 "
                           "10:30:00',0x0102);");
    EXPECT_EQ(reported[3],
              "INSERT INTO `people` values('2','x','y','0','2009-03-05 00:00:00',NULL);");
    reported.clear();
    engine.ConvTable("t", true, false, false);
    EXPECT_EQ(reported.back(), "INSERT INTO `t` values('x');");
    EXPECT_EQ(engine.LastTableReport().failed_statements, 0);
}

TEST_F(EngineFixture, ProgressReportsEachNewWholePercentageWithTiesToEven) {
    AddIntTable("one", 1);
    AddIntTable("three", 3);
    AddIntTable("eight", 8);
    AddIntTable("thousand", 1000);
    Open();
    engine.ConvTable("one", true);
    EXPECT_EQ(progress, std::vector<std::int32_t>({100}));
    progress.clear();
    engine.ConvTable("three", true);
    EXPECT_EQ(progress, std::vector<std::int32_t>({33, 67, 100}));
    progress.clear();
    engine.ConvTable("eight", true);
    EXPECT_EQ(progress, std::vector<std::int32_t>({12, 25, 38, 50, 62, 75, 88, 100}));
    progress.clear();
    reported.clear();
    engine.ConvTable("thousand", true);
    EXPECT_EQ(progress.size(), 100u);
    EXPECT_EQ(progress.front(), 1);
    EXPECT_EQ(reported.size(), 1002u);
}

TEST_F(EngineFixture, StopFlagEndsTheRowLoopAndTheFlushStillRuns) {
    AddIntTable("t", 10);
    Open();
    engine.ExecuteInfo = [this](std::string& sql) {
        reported.push_back(sql);
        if (reported.size() == 5)
            engine.EndProgress = true; // after the third row
    };
    engine.ConvTable("t", true, true, false);
    EXPECT_EQ(reported.size(), 5u);
    EXPECT_EQ(reported.back(), "INSERT INTO `t` values('3');");
    EXPECT_EQ(world.executed.back(), "FLUSH TABLES");
    // A call while the flag is already set still makes the table, without rows.
    reported.clear();
    engine.ConvTable("t", true, true, false);
    EXPECT_EQ(reported.size(), 2u);
}

TEST_F(EngineFixture, StatementsOnlyReportsTheSameAndExecutesNothing) {
    AddIntTable("t", 3);
    Open();
    engine.ConvTable("t", true, true, false);
    const auto executed_run = reported;
    reported.clear();
    world.executed.clear();
    engine.ConvTable("t", true, true, true);
    EXPECT_EQ(reported, executed_run);
    EXPECT_TRUE(world.executed.empty());
    reported.clear();
    progress.clear();
    engine.ConvTable("t", false, true, false);
    EXPECT_EQ(reported.size(), 2u);
    EXPECT_TRUE(progress.empty());
}

TEST_F(EngineFixture, RefusedStatementsAreCountedWithTheFirstErrorButFlushIsNot) {
    AddIntTable("t", 3);
    Open();
    world.refused = {"INSERT INTO `t` values('2');", "INSERT INTO `t` values('3');",
                     "FLUSH TABLES"};
    engine.ConvTable("t", true, true, false);
    EXPECT_EQ(engine.LastTableReport().failed_statements, 2);
    EXPECT_EQ(engine.LastTableReport().first_error, "refused: INSERT INTO `t` valu");
    EXPECT_EQ(reported.size(), 5u); // refused statements are still reported
}

TEST_F(EngineFixture, UnreadableValuesBecomeNullAndCountUnreadableTablesProduceNothing) {
    FakeTable table{"calc", "TABLE", {{"a", adInteger, 4}, {"b", adDouble, 8, 0, 0, "坏值"}}, {}};
    table.rows = {{Value(std::int64_t(1)), Value(2.0)}, {Value(std::int64_t(3)), Value(4.0)}};
    world.tables.push_back(table);
    world.tables.push_back({"gone", "TABLE", {{"a", adInteger, 4}}, {}, true});
    Open();
    engine.ConvTable("calc", true, true, false);
    EXPECT_EQ(reported.back(), "INSERT INTO `calc` values('3',NULL);");
    EXPECT_EQ(engine.LastTableReport().failed_statements, 2);
    EXPECT_EQ(engine.LastTableReport().first_error, "列 'b' 的值无法读取：坏值");
    ASSERT_EQ(engine.LastTableReport().column_warnings.size(), 1u);

    reported.clear();
    world.executed.clear();
    engine.ConvTable("gone", true, true, false);
    EXPECT_TRUE(reported.empty()); // never drop a destination table we cannot refill
    EXPECT_TRUE(world.executed.empty());
    EXPECT_EQ(engine.LastTableReport().failed_statements, 1);
    EXPECT_EQ(engine.LastTableReport().first_error, "找不到表 'gone'。");
}

TEST_F(EngineFixture, CatalogueListsUserTablesWithRowCounts) {
    std::vector<std::string> list{"keep"};
    Open();
    EXPECT_EQ(engine.GetSourceTables(list), 0);
    EXPECT_EQ(list, std::vector<std::string>{"keep"});

    AddIntTable("Orders", 3);
    world.tables.push_back({"MSysObjects", "SYSTEM TABLE", {}, {}});
    world.tables.push_back({"Query1", "VIEW", {}, {}});
    AddIntTable("a:b", 0);
    world.tables.push_back({"bad]name", "TABLE", {}, {}, true});
    EXPECT_EQ(engine.GetSourceTables(list), 3);
    EXPECT_EQ(list, (std::vector<std::string>{"keep", "Orders:3", "a:b:0", "bad]name:0"}));
    // The table whose rows cannot be counted is still listed, and named with the reason.
    ASSERT_EQ(engine.ListingFailures().size(), 1u);
    EXPECT_EQ(engine.ListingFailures()[0].table, "bad]name");
    EXPECT_EQ(engine.ListingFailures()[0].error, "找不到表 'bad]name'。");

    std::vector<std::string> databases{"old", "old2", "old3", "old4"};
    EXPECT_EQ(engine.GetMySQLDatabases(databases), 3);
    EXPECT_EQ(databases, (std::vector<std::string>{"", "information_schema", "mysql", "test"}));
}

TEST_F(EngineFixture, ConnectionStringsAndDatabaseStatements) {
    EXPECT_EQ(engine.TableTypeClause(), "ENGINE=MyISAM DEFAULT CHARSET=utf8mb4");
    EXPECT_EQ(engine.SourceDB().State(), 0);
    EXPECT_FALSE(engine.EndProgress);
    ASSERT_TRUE(engine.OpenSourceDB("/a b/c.mdb"));
    ASSERT_TRUE(engine.OpenSourceDB("/x;y.mdb", "   "));
    ASSERT_TRUE(engine.OpenDestinationDB());
    ASSERT_TRUE(engine.OpenDestinationDB("db.example", "me", "p;w", 3307));
    EXPECT_EQ(world.connection_strings,
              (std::vector<std::string>{
                  "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/a b/c.mdb",
                  "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"/x;y.mdb\";Persist Security "
                  "Info=False;Jet OLEDB:Database Password=\"   \"",
                  "DRIVER={MySQL ODBC 3.51 Driver};SERVER=localhost;UID=root;PWD=;PORT=3306",
                  "DRIVER={MySQL ODBC 3.51 Driver};SERVER=db.example;UID=me;PWD=\"p;w\";PORT=3307",
              }));
    world.executed.clear();
    int yields = 0;
    engine.DoEvents = [&yields] { ++yields; };
    engine.createDB("my`db");
    EXPECT_EQ(world.executed, (std::vector<std::string>{"CREATE DATABASE IF NOT EXISTS `my``db`;",
                                                        "USE `my``db`;"}));
    EXPECT_EQ(yields, 2);
    EXPECT_TRUE(reported.empty()); // database statements are never reported

    std::string shown;
    engine.ShowCriticalMessage = [&shown](const std::string& text) { shown = text; };
    world.fail_open = true;
    EXPECT_FALSE(engine.OpenSourceDB("/a.mdb", "wrong"));
    EXPECT_EQ(shown, "不是有效的密码。");
    EXPECT_EQ(engine.SourceDB().State(), 0);
    world.refuse_all = true;
    EXPECT_THROW(engine.createDB("x"), DataAccessError);
}

// With keys: the keyed table statement, the rows, then the keys; a unique key the server
// refuses stays as a plain index and a keyed table statement it refuses becomes the bare one,
// both noted, neither costing a row. Relationships come last, only on engines that keep them.
TEST_F(EngineFixture, KeysComeAfterTheRowsAndRefusalsCostNoRow) {
    FakeTable& table = AddIntTable("T", 2);
    table.required = {"N"};
    table.indexes = {{"Name", {{"N"}}, false, true}};
    AddIntTable("Child", 1);
    world.relationships = {{"TChild", "T", "Child", {{"N", "N"}}, true, false, true}};
    Open();
    engine.SetKeepKeys(true);
    world.refused = {"ALTER TABLE `t` ADD UNIQUE KEY `name` (`n`);"};
    engine.ConvTable("T", true);
    EXPECT_EQ(reported, (std::vector<std::string>{
                            "DROP TABLE IF EXISTS `t`;",
                            "CREATE TABLE `t`(`n` int NOT NULL ) ENGINE=MyISAM DEFAULT "
                            "CHARSET=utf8mb4",
                            "INSERT INTO `t` values('1');", "INSERT INTO `t` values('2');",
                            "ALTER TABLE `t` ADD UNIQUE KEY `name` (`n`);",
                            "ALTER TABLE `t` ADD KEY `name` (`n`);"}));
    EXPECT_EQ(engine.LastTableReport().failed_statements, 0);
    ASSERT_EQ(engine.LastTableReport().schema_notes.size(), 1u);
    EXPECT_EQ(engine.LastTableReport().schema_notes[0],
              "唯一索引 'name' 未能保留唯一性（refused: ALTER TABLE `t` ADD ），已改为普通索引");

    reported.clear();
    world.refused = {"CREATE TABLE `t`(`n` int NOT NULL ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4"};
    engine.ConvTable("T", true);
    EXPECT_EQ(reported[2], "CREATE TABLE `t`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4");
    EXPECT_EQ(engine.LastTableReport().failed_statements, 0);
    EXPECT_EQ(engine.LastTableReport().rows, 2);

    reported.clear();
    const auto on_myisam = engine.ConvRelationships({"T", "Child"});
    ASSERT_EQ(on_myisam.size(), 1u);
    EXPECT_FALSE(on_myisam[0].created);
    EXPECT_TRUE(reported.empty());
    engine.SetTableType("InnoDB");
    EXPECT_TRUE(engine.ConvRelationships({"T", "Child"})[0].created);
    EXPECT_EQ(reported.back(), "ALTER TABLE `child` ADD CONSTRAINT `tchild` FOREIGN KEY (`n`) "
                               "REFERENCES `t` (`n`) ON DELETE CASCADE ON UPDATE RESTRICT;");
    EXPECT_FALSE(engine.ConvRelationships({"T"})[0].created); // its child was not converted
}

// The values of a complex column go to a child table made and filled after its table, named
// "<table>_<column>" unless a table of the source has that name; with keys, indexes on the
// parent's key and on the complex value id, and (on InnoDB) a foreign key to the parent. A
// complex column of unknown kind keeps its ids and is noted.
TEST_F(EngineFixture, ComplexColumnsBecomeChildTablesAfterTheirTable) {
    FakeTable& photos = AddIntTable("Photos", 1);
    photos.columns.push_back({"Pics", adInteger, 4});
    photos.rows[0].push_back(Value(std::int64_t(7)));
    photos.indexes = {{"PrimaryKey", {{"N"}}, true, true}};
    AddIntTable("Photos_Pics", 0);
    ComplexColumnSchema pics{"Pics", ComplexKind::Attachment};
    pics.parent_key = {"N"};
    ComplexColumnSchema odd{"Odd", ComplexKind::Other};
    odd.note = "类型模板为 'X'";
    world.complex["Photos"] = {pics, odd};
    world.complex_values["Photos/Pics"] =
        FakeTable{"",
                  "TABLE",
                  {{"N", adInteger, 4},
                   {"complex_id", adInteger, 4},
                   {"FileName", adVarWChar, 255},
                   {"FileData", adLongVarBinary, 0}},
                  {{Value(std::int64_t(1)), Value(std::int64_t(7)), Value(std::string("a.txt")),
                    Value(Bytes{std::string("a\0b", 3)})}}};
    Open();
    engine.SetKeepKeys(true);
    engine.ConvTable("Photos", true);
    EXPECT_EQ(reported,
              (std::vector<std::string>{
                  "DROP TABLE IF EXISTS `photos`;",
                  "CREATE TABLE `photos`(`n` int NOT NULL , `pics` int , PRIMARY KEY (`n`) ) "
                  "ENGINE=MyISAM DEFAULT CHARSET=utf8mb4",
                  "INSERT INTO `photos` values('1','7');", "DROP TABLE IF EXISTS `photos_pics_2`;",
                  "CREATE TABLE `photos_pics_2`(`n` int , `complex_id` int , `filename` "
                  "varchar(255) , `filedata` longblob ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4 "
                  "COMMENT='Access 表 ''Photos'' 的附件列 ''Pics'' 的值'",
                  "INSERT INTO `photos_pics_2` values('1','7','a.txt',0x610062);",
                  "ALTER TABLE `photos_pics_2` ADD KEY `parent_key` (`n`), ADD KEY `complex_id` "
                  "(`complex_id`);"}));
    const auto& report = engine.LastTableReport();
    EXPECT_EQ(report.failed_statements, 0);
    EXPECT_EQ(report.rows, 2);
    EXPECT_EQ(report.schema_notes,
              (std::vector<std::string>{"列 'Odd' 是种类无法识别的复杂数据列（类型模板为 'X'）：其"
                                        "值未转换，该列只保留每行的复杂值编号（整数）"}));

    reported.clear();
    engine.SetTableType("InnoDB");
    const auto foreign = engine.ConvRelationships({"Photos"});
    ASSERT_EQ(foreign.size(), 1u);
    EXPECT_TRUE(foreign[0].created);
    EXPECT_EQ(reported, (std::vector<std::string>{
                            "ALTER TABLE `photos_pics_2` ADD CONSTRAINT `photos_pics_2` FOREIGN "
                            "KEY (`n`) REFERENCES `photos` (`n`) ON DELETE CASCADE ON UPDATE "
                            "CASCADE;"}));
}

// Child tables are named within MySQL's 64 characters, apart from every table of the source
// and from each other, whichever tables a run converts; a version history after its memo.
TEST(ChildTableNames, StayWithinTheLimitAndApartFromEveryOtherTable) {
    const std::string long_table(60, 'T');
    const std::string spaced_table(61, 'S'); // its cut ends in a space, which MySQL refuses
    const std::vector<std::string> tables{"A_B", "A", long_table, "Memo_Notes_history",
                                          spaced_table};
    std::map<std::string, std::vector<ComplexColumnSchema>> complex;
    complex["A"] = {{"B_C", ComplexKind::MultiValue}, {"b", ComplexKind::MultiValue}};
    complex["A_B"] = {{"C", ComplexKind::Attachment}, {"Z", ComplexKind::Other}};
    complex[long_table] = {{"Pictures", ComplexKind::Attachment},
                           {"Pictures2", ComplexKind::Attachment}};
    ComplexColumnSchema history{"VersionHistory_1", ComplexKind::VersionHistory};
    history.versioned_column = "Notes";
    complex["Memo"] = {history};
    complex[spaced_table] = {{"a bc", ComplexKind::MultiValue}};
    std::vector<std::string> all = tables;
    all.push_back("Memo");
    const auto children =
        engine::NameChildTables(all, [&](const std::string& table) { return complex[table]; });
    std::vector<std::string> names;
    for (const auto& child : children)
        names.push_back(child.parent + "." + child.column.column + "=" + child.name);
    EXPECT_EQ(names, (std::vector<std::string>{"A_B.C=A_B_C", "A.B_C=A_B_C_2", "A.b=A_b_2",
                                               long_table + ".Pictures=" + long_table + "_Pic",
                                               long_table + ".Pictures2=" + long_table + "_P_2",
                                               spaced_table + ".a bc=" + spaced_table + "_a",
                                               "Memo.VersionHistory_1=Memo_Notes_history_2"}));
}
