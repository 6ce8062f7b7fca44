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
