#include "FakeSource.h"
#include "ScriptText.h"
#include "TempDir.h"

#include "tablewright/model/AdoTypes.h"
#include "tablewright/run/ConversionRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace tw;
using namespace tw::data;
using test::FakeTable;
using test::FakeWorld;

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct RunFixture : ::testing::Test {
    FakeWorld world;
    engine::Cls_Convertion engine{test::FakeFactory(world),
                                  data::DefaultScriptDestinationFactory()};
    run::PlainRunWindow window;
    std::unique_ptr<run::ConversionRun> run;
    test::TempDir temp{"tw_run_test"};
    const std::filesystem::path& dir = temp.Dir();
    std::uint64_t ticks = 1000;

    void SetUp() override {
        window.script_path = (dir / "out.sql").string();
        for (const char* name : {"A", "B'x", "C"}) {
            FakeTable table{name, "TABLE", {{"N", adInteger, 4}}, {}};
            for (int i = 1; i <= 2; ++i)
                table.rows.push_back({Value(std::int64_t(i))});
            world.tables.push_back(table);
            window.tables.push_back({name, true});
        }
        engine.ShowCriticalMessage = [](const std::string&) {};
        ASSERT_TRUE(engine.OpenSourceDB("/f.mdb"));
        ASSERT_TRUE(engine.OpenDestinationDB());
        world.executed.clear();
        run = std::make_unique<run::ConversionRun>(engine, window);
        run->TimeOfDay = [] { return std::string("12:34:56"); };
        run->TickCount = [this] { return ticks += 1600; };
    }
};

} // namespace

TEST_F(RunFixture, LogPiecesComeInOrderWithTheElapsedTime) {
    window.tables[1].ticked = false;
    run->RunConversion();
    EXPECT_EQ(window.message, "[12:34:56] Start conversion ....\r\n\r\n"
                              "[12:34:56] 创建数据库不存在 'test'\r\n\r\n"
                              "[12:34:56] 开始处理表 'A' \r\n"
                              "[12:34:56] 表 'A' 成功转换\r\n\r\n"
                              "[12:34:56] 开始处理表 'C' \r\n"
                              "[12:34:56] 表 'C' 成功转换\r\n\r\n"
                              "\r\n(1.60 s taken)");
    EXPECT_EQ(window.status, "处理表 'C'");
    EXPECT_EQ(window.progress, 100.0);
    EXPECT_EQ(world.executed.front(), "CREATE DATABASE IF NOT EXISTS `test`;");
    EXPECT_FALSE(std::filesystem::exists(window.script_path)); // scenario 0 writes no file
    EXPECT_TRUE(run->Summary().Clean());
}

TEST_F(RunFixture, ScriptFileHoldsEveryReportedStatementAsOneCrLfLine) {
    window.scenario = 1;
    world.tables[0].rows.push_back({Value(std::string("two\r\nlines"))});
    run->RunConversion();
    EXPECT_TRUE(world.executed.empty()); // script only: nothing reaches the server
    const std::string file = ReadFile(window.script_path);
    // The loading session gets utf8mb4 and the run's sql_mode first, and its own back last.
    const std::size_t first_statement = file.find("DROP TABLE");
    for (const char* setting :
         {"/*!40101 SET NAMES utf8mb4 */;\r\n",
          "SQL_MODE='STRICT_ALL_TABLES,NO_AUTO_VALUE_ON_ZERO'", "FOREIGN_KEY_CHECKS=0 */;\r\n"})
        EXPECT_LT(file.find(setting), first_statement) << setting;
    EXPECT_GT(file.rfind("/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;\r\n"), file.rfind("INSERT"));
    const std::string script = test::ScriptStatements(file);
    EXPECT_EQ(script.rfind("DROP TABLE IF EXISTS `a`;\r\n"
                           "CREATE TABLE `a`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4;\r\n"
                           "INSERT INTO `a` values('1');\r\n"
                           "INSERT INTO `a` values('2');\r\n",
                           0),
              0u);
    EXPECT_NE(script.find("INSERT INTO `a` values('two\\r\\nlines');\r\nDROP TABLE IF EXISTS "
                          "`b'x`;\r\n"),
              std::string::npos);
    EXPECT_EQ(window.message.find("创建数据库"), std::string::npos);

    window.scenario = 2;
    window.no_data = 1;
    window.drop_tables = 0;
    run->RunConversion();
    EXPECT_EQ(test::ScriptStatements(ReadFile(window.script_path)),
              "CREATE TABLE `a`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4;\r\n"
              "CREATE TABLE `b'x`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4;\r\n"
              "CREATE TABLE `c`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4;\r\n");
    EXPECT_EQ(world.executed.size(), 2u + 3u * 2u); // database, then table + flush each
}

TEST_F(RunFixture, EmptyListDoesNothingAndNothingTickedStillWritesAnEmptyFile) {
    window.scenario = 1;
    window.message = "before";
    auto tables = window.tables;
    window.tables.clear();
    run->RunConversion();
    EXPECT_EQ(window.message, "before");
    EXPECT_FALSE(std::filesystem::exists(window.script_path));

    window.tables = tables;
    for (auto& entry : window.tables)
        entry.ticked = false;
    run->RunConversion();
    EXPECT_TRUE(std::filesystem::exists(window.script_path));
    EXPECT_EQ(test::ScriptStatements(ReadFile(window.script_path)), "");
    EXPECT_EQ(window.message, "[12:34:56] Start conversion ....\r\n\r\n\r\n(1.60 s taken)");
}

TEST_F(RunFixture, CancelDuringATableStopsItsRowsAndTheRun) {
    window.scenario = 2;
    int statements = 0;
    engine.DoEvents = [&] {
        if (++statements == 5) { // during table A, after its first row
            engine.EndProgress = true;
            window.exit_confirmed = true;
        }
    };
    run->RunConversion();
    EXPECT_EQ(window.message, "[12:34:56] Start conversion ....\r\n\r\n"
                              "[12:34:56] 创建数据库不存在 'test'\r\n\r\n"
                              "[12:34:56] 开始处理表 'A' \r\n"
                              "\r\n[12:34:56] 用户取消 .....\r\n"
                              "\r\n(1.60 s taken)");
    EXPECT_EQ(test::ScriptStatements(ReadFile(window.script_path)),
              "DROP TABLE IF EXISTS `a`;\r\n"
              "CREATE TABLE `a`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4;\r\n"
              "INSERT INTO `a` values('1');\r\n");
    EXPECT_TRUE(run->Summary().cancelled);
}

TEST_F(RunFixture, FailuresAreLoggedInsteadOfSuccess) {
    window.scenario = 2;
    window.script_path = dir.string(); // a directory cannot be opened as a file
    world.refused = {"INSERT INTO `a` values('2');"};
    run->RunConversion();
    const std::string& log = window.message;
    EXPECT_NE(log.find("[12:34:56] 无法写入脚本文件 '" + dir.string() + "'："), std::string::npos);
    // Statements that reached neither the server nor the file count as failed; the server
    // side still converts every table.
    EXPECT_NE(log.find("[12:34:56] 表 'A' 转换出错：5 条语句失败（refused: INSERT INTO `a` "
                       "valu）\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("[12:34:56] 表 'C' 转换出错：4 条语句失败（无法写入脚本文件："),
              std::string::npos);
    EXPECT_EQ(std::count(world.executed.begin(), world.executed.end(), "FLUSH TABLES"), 3);
    EXPECT_TRUE(run->Summary().script_failed);
    EXPECT_EQ(run->Summary().failed_statements, 13);

    // Script only and no file: nothing can be produced, so no table is converted.
    window.scenario = 1;
    run->RunConversion();
    EXPECT_EQ(window.message.find("开始处理表"), std::string::npos);

    // A database the server refuses (and that cannot be selected either) is logged as such.
    window.scenario = 0;
    world.refused = {"CREATE DATABASE IF NOT EXISTS `test`;", "USE `test`;"};
    run->RunConversion();
    EXPECT_NE(window.message.find("[12:34:56] 创建数据库失败 'test'：refused: CREATE DATABAS"),
              std::string::npos);
    EXPECT_TRUE(run->Summary().database_failed);
}

// With the server and the script file, the file holds only the statements the server took, so
// that the plain client loads it to the end: a refused unique key is followed by its plain
// index, a refused row is left out (and counted as failed).
TEST_F(RunFixture, ScriptFileHoldsOnlyWhatTheServerTook) {
    world.tables.resize(1);
    world.tables[0].indexes = {{"Name", {{"N"}}, false, true}};
    window.tables.resize(1);
    window.scenario = 2;
    window.keep_keys = 1;
    world.refused = {"ALTER TABLE `a` ADD UNIQUE KEY `name` (`n`);",
                     "INSERT INTO `a` values('2');"};
    run->RunConversion();
    EXPECT_EQ(test::ScriptStatements(ReadFile(window.script_path)),
              "DROP TABLE IF EXISTS `a`;\r\n"
              "CREATE TABLE `a`(`n` int ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4;\r\n"
              "INSERT INTO `a` values('1');\r\n"
              "ALTER TABLE `a` ADD KEY `name` (`n`);\r\n");
    EXPECT_EQ(run->Summary().failed_statements, 1);
    EXPECT_NE(window.message.find("唯一索引 'name' 未能保留唯一性"), std::string::npos);
}

TEST(RunFormatting, ElapsedSecondsHaveTwoDecimals) {
    EXPECT_EQ(run::FormatSeconds(0.004), "0.00");
    EXPECT_EQ(run::FormatSeconds(3.2), "3.20");
    EXPECT_EQ(run::FormatSeconds(123.456), "123.46");
}

// Whatever escapes the run (here memory running out after the first table) ends it: the log says
// why, the script file is still closed with its footer and the run counts as failed.
TEST_F(RunFixture, AFailureThatEscapesTheRunIsLoggedAndFailsIt) {
    window.scenario = 1;
    run->TableDone = [](const run::TableOutcome&) { throw std::bad_alloc(); };
    run->RunConversion();
    EXPECT_EQ(window.message, "[12:34:56] Start conversion ....\r\n\r\n"
                              "[12:34:56] 开始处理表 'A' \r\n"
                              "\r\n[12:34:56] 转换中止：std::bad_alloc\r\n"
                              "\r\n(1.60 s taken)");
    EXPECT_EQ(run->Summary().run_error, "std::bad_alloc");
    EXPECT_FALSE(run->Summary().Clean());
    const std::string script = ReadFile(window.script_path);
    EXPECT_NE(script.find("INSERT INTO `a` values('2');"), std::string::npos);
    EXPECT_NE(script.find("SET COLLATION_CONNECTION=@OLD_COLLATION_CONNECTION */;\r\n"),
              std::string::npos);
}
