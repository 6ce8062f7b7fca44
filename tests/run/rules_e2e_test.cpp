// A table's own rules on a real MariaDB server and through the script file loaded by the plain
// client: keys over text that differs only by trailing spaces, Required columns with rows
// without a value, calculated columns and validation rules (gen-rules.accdb).
#include "FakeSource.h"
#include "ServerSession.h"
#include "TestEnv.h"

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/providers/Providers.h"
#include "tablewright/run/ConversionRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace tw;
using test::ServerSession;
using Rows = std::vector<std::vector<std::optional<std::string>>>;

namespace {

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("tw_rules_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

/// Loads a script file with the plain mariadb client (no --force): 0 when every statement ran.
int LoadWithClient(const data::MySqlTarget& target, const std::string& database,
                   const std::string& script) {
    const std::string command = "mariadb --protocol=tcp --host=" + target.host +
                                " --port=" + std::to_string(target.port) +
                                " --user=" + target.user + " " + database + " < '" + script + "'";
    return std::system(command.c_str());
}

/// Converts every table of the engine's source into `database` and the script file `script`
/// (scenario 2, or 1 for the script file only), with keys.
run::RunSummary ConvertAll(engine::Cls_Convertion& engine, const data::MySqlTarget& target,
                           const std::string& database, const std::string& script,
                           std::int16_t scenario, std::string* log) {
    std::vector<std::string> entries;
    const int count = engine.GetSourceTables(entries);
    run::PlainRunWindow window;
    window.scenario = scenario;
    window.script_path = script;
    window.database_name = database;
    window.keep_keys = 1;
    for (int i = 1; i <= count; ++i)
        window.tables.push_back({entries[std::size_t(i)].substr(0, entries[i].rfind(':')), true});
    if (scenario != 1) {
        EXPECT_TRUE(
            engine.OpenDestinationDB(target.host, target.user, target.password, target.port));
    }
    run::ConversionRun run(engine, window);
    run.RunConversion();
    if (log)
        *log = window.message;
    return run.Summary();
}

} // namespace

// 'a', 'a ' and 'a  ' are three values to Access's unique index, and to the server's no-pad
// collation: every row arrives and the index stays unique, directly and through the script.
TEST(TableRules, TrailingSpacesKeepUniqueKeysApart) {
    TW_REQUIRE_SERVER(target);
    test::FakeWorld world;
    test::FakeTable table{
        "Codes", "TABLE", {{"ID", data::adInteger, 4}, {"Code", data::adVarWChar, 10}}, {}};
    for (const char* code : {"a", "a ", "a  ", "b"})
        table.rows.push_back(
            {data::Value(std::int64_t(table.rows.size() + 1)), data::Value(std::string(code))});
    table.indexes = {{"PrimaryKey", {{"ID"}}, true, true}, {"Code", {{"Code"}}, false, true}};
    world.tables.push_back(table);
    // The rows come from memory, the server is real.
    const data::ProviderFactory real = data::DefaultProviderFactory();
    engine::Cls_Convertion engine(
        [&](const std::string& connection) -> std::unique_ptr<data::Provider> {
            if (connection.starts_with("Provider=Microsoft.Jet"))
                return std::make_unique<test::FakeProvider>(world);
            return real(connection);
        });
    engine.ShowCriticalMessage = [](const std::string& text) { ADD_FAILURE() << text; };
    ASSERT_TRUE(engine.OpenSourceDB("/codes.mdb"));
    ServerSession server(target);
    const std::string script = TempPath("spaces.sql");
    server.FreshDatabase("tw_rules_spaces");
    std::string log;
    EXPECT_TRUE(ConvertAll(engine, target, "tw_rules_spaces", script, 2, &log).Clean()) << log;
    server.FreshDatabase("tw_rules_spaces_script");
    ASSERT_EQ(LoadWithClient(target, "tw_rules_spaces_script", script), 0);
    for (const std::string database : {"tw_rules_spaces", "tw_rules_spaces_script"}) {
        SCOPED_TRACE(database);
        EXPECT_EQ(server.Query("SELECT id, CONCAT('[', code, ']') FROM " + database +
                               ".codes ORDER BY id"),
                  (Rows{{"1", "[a]"}, {"2", "[a ]"}, {"3", "[a  ]"}, {"4", "[b]"}}));
        EXPECT_EQ(server.Scalar("SELECT non_unique FROM information_schema.statistics WHERE "
                                "table_schema = '" +
                                database + "' AND index_name = 'code'"),
                  "0");
        // The key still refuses a true duplicate.
        EXPECT_THROW(server.Execute("INSERT INTO " + database + ".codes VALUES (5, 'a ')"),
                     std::exception);
    }
    std::remove(script.c_str());
    server.Execute("DROP DATABASE tw_rules_spaces");
    server.Execute("DROP DATABASE tw_rules_spaces_script");
}

// gen-rules.accdb (gen-rules.md) on the server and through the script file, with and without
// the server: every rule of Employees becomes a CHECK that refuses a breaking row and takes a
// good one; Legacy keeps its 6 rows (3 without the Required Note), and its rule, which 2 rows
// break, is reported and left out.
TEST(TableRules, GenRulesBecomeCheckConstraintsAndKeepEveryRow) {
    TW_REQUIRE_SERVER(target);
    ServerSession server(target);
    const std::string file = test::TestDataPath("gen-rules.accdb");
    const std::string both = TempPath("rules_both.sql");
    const std::string only = TempPath("rules_only.sql");
    std::string log;
    {
        engine::Cls_Convertion engine;
        engine.ShowCriticalMessage = [](const std::string& text) { ADD_FAILURE() << text; };
        ASSERT_TRUE(engine.OpenSourceDB(file));
        server.FreshDatabase("tw_rules_gen");
        EXPECT_TRUE(ConvertAll(engine, target, "tw_rules_gen", both, 2, &log).Clean()) << log;
        EXPECT_NE(log.find("列 'Note' 在 Access 中为必填，但有 3 行没有值"), std::string::npos)
            << log;
        EXPECT_NE(log.find("列 'Amount' 的有效性规则 >0 未建立为 CHECK 约束：2 行不满足它"
                           "（Access 在这些行写入之后才设了规则），主键 3；5"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("（Access 的提示文字：离职日期不能早于入职日期）"), std::string::npos)
            << log;
    }
    {
        engine::Cls_Convertion engine;
        ASSERT_TRUE(engine.OpenSourceDB(file));
        std::string script_log;
        EXPECT_TRUE(ConvertAll(engine, target, "unused", only, 1, &script_log).Clean())
            << script_log;
    }
    for (const auto& [database, script] : std::vector<std::pair<std::string, std::string>>{
             {"tw_rules_gen", ""}, {"tw_rules_gen_both", both}, {"tw_rules_gen_only", only}}) {
        SCOPED_TRACE(database);
        if (!script.empty()) {
            server.FreshDatabase(database);
            ASSERT_EQ(LoadWithClient(target, database, script), 0);
        }
        server.Execute("USE " + database);
        EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM employees"), "200");
        EXPECT_EQ(server.Query("SELECT id, amount, note FROM legacy ORDER BY id"),
                  (Rows{{"1", "3", "n3"},
                        {"2", "7", "n7"},
                        {"3", "-2", std::nullopt},
                        {"4", "11", "n11"},
                        {"5", "0", std::nullopt},
                        {"6", "4", std::nullopt}}));
        EXPECT_EQ(server.Query("SELECT constraint_name FROM information_schema.table_constraints "
                               "WHERE constraint_schema = DATABASE() AND constraint_type = "
                               "'CHECK' ORDER BY table_name, constraint_name"),
                  (Rows{{"ck_code"},
                        {"ck_email"},
                        {"ck_employees"},
                        {"ck_grade"},
                        {"ck_hired"},
                        {"ck_lastname_nonempty"},
                        {"ck_qty"},
                        {"ck_salary"}}));
        // Every calculated column is computed by the server, from values that equal the file's.
        EXPECT_EQ(server.Query("SELECT column_name FROM information_schema.columns WHERE "
                               "table_schema = DATABASE() AND table_name = 'employees' AND "
                               "generation_expression IS NOT NULL ORDER BY ordinal_position"),
                  (Rows{{"fullname"}, {"monthlysalary"}, {"bonus"}, {"yearshired"}}));
        EXPECT_EQ(server.Query("SELECT fullname, monthlysalary, bonus, yearshired FROM employees "
                               "WHERE id = 2"),
                  (Rows{{"李明 D'Arcy", "9349.795833333334", "11219.755", "15"}}));
        // Each rule refuses a row that breaks it and takes one that keeps it (the row of ID 1
        // copied with one value changed).
        const std::string copy = "INSERT INTO employees (id, firstname, lastname, salary, hired, "
                                 "ended, email, grade, code, qty) SELECT ";
        const std::string rest = " FROM employees WHERE id = 1";
        struct Probe {
            const char* column;
            const char* bad;
            const char* good;
        };
        const Probe probes[] = {
            {"salary", "-1", "5"},
            {"hired", "'1989-12-31'", "'1990-01-01'"},
            {"email", "'nobody'", "'a@b.c'"},
            {"grade", "'D'", "'B'"},
            {"code", "'12345'", "'123456'"},
            {"qty", "101", "100"},
            {"lastname", "''", "'X'"},
            {"ended", "'1980-01-01'", "'2030-01-01'"},
        };
        int next_id = 1000;
        for (const Probe& probe : probes) {
            SCOPED_TRACE(probe.column);
            auto row = [&](const char* value) {
                std::string columns;
                for (const char* name :
                     {"salary", "hired", "ended", "email", "grade", "code", "qty"}) {
                    columns += ", ";
                    columns += std::string(name) == probe.column ? value : name;
                }
                const std::string last =
                    std::string(probe.column) == "lastname" ? value : "lastname";
                return copy + std::to_string(next_id++) + ", firstname, " + last + columns + rest;
            };
            EXPECT_THROW(server.Execute(row(probe.bad)), std::exception);
            EXPECT_NO_THROW(server.Execute(row(probe.good)));
        }
    }
    for (const char* database : {"tw_rules_gen", "tw_rules_gen_both", "tw_rules_gen_only"})
        server.Execute(std::string("DROP DATABASE ") + database);
    std::remove(both.c_str());
    std::remove(only.c_str());
}
