// tablewright-cli --sync and --dry-run on a real Access file and a real MariaDB: a converted
// database is changed behind the tool's back (values of every column type, deleted, extra and
// duplicate rows, a dropped table, dropped and retyped columns); the sync reports exactly those
// changes, makes the server equal to Access again (as --verify finds it) and keeps what the
// server added (an index, a trigger); a dry run reports the same and changes nothing.
#include "ChildProcess.h"
#include "ServerSession.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace tw;
using test::ServerSession;

namespace {

using CliResult = test::ShellResult;
using test::ShellQuoted;

CliResult Shell(const std::string& command) {
    return test::RunShell(command);
}

// The tool on gen-types.mdb with the test server's address, the database and the arguments.
std::string Cli(const data::MySqlTarget& target, const std::string& database,
                const std::string& arguments, const std::string& file = "gen-types.mdb") {
    std::string command = std::string(TABLEWRIGHT_CLI_PATH) + " --no-defaults --host " +
                          target.host + " --port " + std::to_string(target.port) + " --user " +
                          target.user;
    if (!target.password.empty())
        command += " --password=" + ShellQuoted(target.password);
    return command + " --quiet --database " + database + " " + arguments + " " +
           ShellQuoted(test::TestDataPath(file));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// CHECKSUM TABLE of every table of the database, and which tables there are.
std::string Checksums(ServerSession& server, const std::string& database) {
    std::string sums;
    for (const auto& row : server.Query("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                                        "TABLE_SCHEMA = '" +
                                        database + "' ORDER BY TABLE_NAME")) {
        const std::string table = "`" + database + "`.`" + row[0].value_or("") + "`";
        sums += table + "=" + server.Query("CHECKSUM TABLE " + table)[0][1].value_or("NULL") + ";";
    }
    return sums;
}

// Changes a converted gen-types database as a user of the server might: 3 rows of AllTypes
// updated in 18 values (every column type, NULL and '' both ways, a currency by 0.0001, a
// double by its last bit, bytes of binary values), 2 rows deleted, 2 extra rows inserted, the
// table "Order Details" dropped, a value of the keyless table "it's" changed. AllTypes also gets an
// index and a trigger of the server's own.
void Tamper(ServerSession& server, const std::string& db) {
    const std::string t = "`" + db + "`.`alltypes`";
    server.Execute("UPDATE " + t +
                   " SET col_bool = IF(col_bool, 0, 1), col_byte = col_byte + 1, "
                   "col_int = col_int + 1, col_long = NULL, col_money = col_money + 0.0001, "
                   "col_float = 1.25, col_double = 3.1415926535897936, "
                   "col_datetime = col_datetime + INTERVAL 1 SECOND, "
                   "col_binary = 0x0001275CFE, col_text = 'O''Brian', col_ole = 0x00, "
                   "col_memo = 'changed', col_guid = '{00000000-0000-0000-0000-000000000001}', "
                   "col_numeric = col_numeric + 0.0001, col_hyperlink = 'changed' WHERE id = 1");
    server.Execute("UPDATE " + t + " SET col_text = '', col_int = 5 WHERE id = 2");
    server.Execute("UPDATE " + t + " SET col_text = NULL WHERE id = 11");
    server.Execute("DELETE FROM " + t + " WHERE id IN (12, 13)");
    server.Execute("INSERT INTO " + t +
                   " (id, col_bool, col_text) VALUES (100, 0, 'extra'), (101, 1, 'extra')");
    server.Execute("DROP TABLE `" + db + "`.`order details`");
    server.Execute("UPDATE `" + db + "`.`it's` SET `order` = 9 WHERE id = 1");
    server.Execute("CREATE INDEX server_own ON " + t + " (col_int)");
    server.Execute("CREATE TABLE `" + db + "`.audit (id int)");
    server.Execute("CREATE TRIGGER `" + db + "`.audit_updates AFTER UPDATE ON " + t +
                   " FOR EACH ROW INSERT INTO `" + db + "`.audit VALUES (NEW.id)");
}

class Sync : public testing::TestWithParam<const char*> {};

} // namespace

TEST_P(Sync, ChangesExactlyWhatDiffersAndDryRunChangesNothing) {
    TW_REQUIRE_SERVER(target);
    const std::string engine = GetParam();
    const std::string db = "tw_sync_" + engine;
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    const std::string type = "--table-type " + engine;
    ASSERT_EQ(Shell(Cli(target, db, type)).status, 0);

    // Nothing changed yet: nothing to do, the keyless table too (compared as a whole).
    const std::string sums = Checksums(server, db);
    const CliResult idle = Shell(Cli(target, db, type + " --sync"));
    EXPECT_EQ(idle.status, 0) << idle.output;
    EXPECT_TRUE(Contains(idle.output, "表 'AllTypes'：新增 0 行，更新 0 行，删除 0 行，未变 13 行"))
        << idle.output;
    EXPECT_TRUE(Contains(idle.output,
                         "表 'it's'：没有可用于配对的主键，内容与 Access 相同（3 行），未改动"))
        << idle.output;
    EXPECT_EQ(Checksums(server, db), sums);

    Tamper(server, db);
    const std::string all_types = "表 'AllTypes'";
    const std::string counts = "：新增 2 行，更新 3 行（18 个值），删除 2 行，未变 8 行";

    // The dry run reports what the sync will do, and changes no table.
    const std::string before = Checksums(server, db);
    const CliResult dry = Shell(Cli(target, db, type + " --sync --dry-run"));
    EXPECT_EQ(dry.status, 0) << dry.output;
    EXPECT_TRUE(Contains(dry.output, all_types + "（预演）" + counts)) << dry.output;
    EXPECT_TRUE(Contains(dry.output, "  删除：ID=100；ID=101")) << dry.output;
    EXPECT_TRUE(Contains(dry.output, "  新增：ID=12；ID=13")) << dry.output;
    EXPECT_TRUE(
        Contains(dry.output, "表 'Order Details'（预演）：服务器上没有这个表，将创建并写入 5 行"))
        << dry.output;
    EXPECT_TRUE(Contains(
        dry.output,
        "表 'it's'（预演）：没有可用于配对的主键，内容与 Access 不同，将整表重新写入 3 行"))
        << dry.output;
    // Without --sync: what a conversion would drop and make again.
    const CliResult preview = Shell(Cli(target, db, type + " --dry-run"));
    EXPECT_EQ(preview.status, 0) << preview.output;
    EXPECT_TRUE(Contains(preview.output, "表 'AllTypes'（预演）：将删除并重新创建，写入 13 行"))
        << preview.output;
    EXPECT_TRUE(Contains(preview.output, "表 'Order Details'（预演）：将创建，写入 5 行"))
        << preview.output;
    EXPECT_EQ(Checksums(server, db), before);

    // The sync: the same counts, and the server equal to Access again.
    const CliResult sync = Shell(Cli(target, db, type + " --sync"));
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_TRUE(Contains(sync.output, all_types + counts)) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "表 'Order Details'：服务器上没有这个表，已创建并写入 5 行"))
        << sync.output;
    EXPECT_TRUE(Contains(sync.output,
                         "表 'it's'：没有可用于配对的主键，内容与 Access 不同，已整表重新写入 "
                         "3 行（原有 3 行）"))
        << sync.output;
    EXPECT_TRUE(
        Contains(sync.output, "同步完成：3 个表，新增 2 行，更新 3 行（18 个值），删除 2 行"))
        << sync.output;
    const CliResult verify = Shell(Cli(target, db, "--verify-only"));
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_TRUE(Contains(verify.output, "核对完成：3 个表全部一致")) << verify.output;

    // What the server added to the table stays: its index, its trigger (which saw the 3
    // updates), and the AUTO_INCREMENT counter is past every Access number.
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM information_schema.STATISTICS WHERE "
                            "TABLE_SCHEMA = '" +
                            db + "' AND INDEX_NAME = 'server_own'"),
              "1");
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE "
                            "TRIGGER_SCHEMA = '" +
                            db + "' AND TRIGGER_NAME = 'audit_updates'"),
              "1");
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM `" + db + "`.audit"), "3");
    EXPECT_GE(std::stoll(server.Scalar("SELECT AUTO_INCREMENT FROM information_schema.TABLES "
                                       "WHERE TABLE_SCHEMA = '" +
                                       db + "' AND TABLE_NAME = 'alltypes'")),
              14);

    // --keep-extra leaves the rows Access does not have.
    server.Execute("INSERT INTO `" + db + "`.alltypes (id, col_bool) VALUES (200, 0)");
    server.Execute("DELETE FROM `" + db + "`.alltypes WHERE id = 3");
    const CliResult keep = Shell(Cli(target, db, type + " --sync --keep-extra"));
    EXPECT_EQ(keep.status, 0) << keep.output;
    EXPECT_TRUE(Contains(keep.output, "表 'AllTypes'：新增 1 行，更新 0 行，删除 0 行，保留多出的 "
                                      "1 行，未变 12 行"))
        << keep.output;
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM `" + db + "`.alltypes WHERE id IN (3, 200)"),
              "2");
}

// gen-big's 250,000 rows, 1 % of Orders updated, 1 % deleted and 1 % added on the server. The
// server's rows are scanned beside the Access rows; a MyISAM table is first stored in reverse
// order, which the pairing must survive. A short --timeout makes a MyISAM table still locked by
// an unfinished scan fail the sync's first change.
TEST_P(Sync, LargeTableStoredInAnyOrder) {
    TW_REQUIRE_SERVER(target);
    const std::string engine = GetParam();
    const std::string db = "tw_sync_big_" + engine;
    const std::string file = "gen-big.mdb";
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    const std::string type = "--table-type " + engine + " --timeout 10";
    ASSERT_EQ(Shell(Cli(target, db, type, file)).status, 0);
    const std::string t = "`" + db + "`.orders";
    server.Execute("UPDATE " + t + " SET qty = qty + 1 WHERE id % 100 = 1");
    server.Execute("DELETE FROM " + t + " WHERE id % 100 = 2");
    server.Execute("INSERT INTO " + t + " (id, customer, shipped) SELECT id + 1000000000, " +
                   "'extra', 0 FROM " + t + " WHERE id % 100 = 3");
    if (engine == "MyISAM")
        server.Execute("ALTER TABLE " + t + " ORDER BY id DESC");

    const CliResult verify = Shell(Cli(target, db, "--timeout 10 --verify-only", file));
    EXPECT_TRUE(Contains(verify.output, "表 'Orders'：6000 行 2000 个值不一致")) << verify.output;
    EXPECT_TRUE(Contains(verify.output, "服务器缺少 2000 行；服务器多出 2000 行")) << verify.output;
    const CliResult sync = Shell(Cli(target, db, type + " --sync --verify", file));
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "表 'Orders'：新增 2000 行，更新 2000 行（2000 个值），"
                                      "删除 2000 行，未变 196000 行"))
        << sync.output;
    EXPECT_TRUE(Contains(sync.output, "核对完成：2 个表全部一致")) << sync.output;
    server.Execute("DROP DATABASE `" + db + "`");
}

INSTANTIATE_TEST_SUITE_P(Engines, Sync, testing::Values("MyISAM", "InnoDB"));

// A user the server allows one connection gets no second one for scans: the rows are read by
// key, with the same counts, and --verify then finds every table identical.
TEST(SyncOneConnection, RowsAreReadByKey) {
    TW_REQUIRE_SERVER(target);
    const std::string db = "tw_sync_one";
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    server.Execute("DROP USER IF EXISTS 'tw_one'@'%'");
    server.Execute("CREATE USER 'tw_one'@'%' IDENTIFIED BY 'one' WITH MAX_USER_CONNECTIONS 1");
    server.Execute("GRANT ALL ON `" + db + "`.* TO 'tw_one'@'%'");
    data::MySqlTarget one = target;
    one.user = "tw_one";
    one.password = "one";
    ASSERT_EQ(Shell(Cli(one, db, "")).status, 0);
    Tamper(server, db);
    const CliResult sync = Shell(Cli(one, db, "--sync --verify"));
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "表 'AllTypes'：新增 2 行，更新 3 行（18 个值），删除 2 行，"
                                      "未变 8 行"))
        << sync.output;
    EXPECT_TRUE(Contains(sync.output, "核对完成：3 个表全部一致")) << sync.output;
    server.Execute("DROP USER 'tw_one'@'%'");
}

// A column the server lacks was added in Access: added and filled. A column the server has that
// Access has not, or one of another type, leaves the table as it is, with the advice to convert
// it again.
TEST(SyncStructure, AddedColumnsAreAddedChangedOnesStopTheTable) {
    TW_REQUIRE_SERVER(target);
    const std::string db = "tw_sync_structure";
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    ASSERT_EQ(Shell(Cli(target, db, "--table-type InnoDB")).status, 0);
    server.Execute("ALTER TABLE `" + db + "`.alltypes DROP COLUMN col_memo");
    server.Execute("ALTER TABLE `" + db + "`.`order details` MODIFY qty varchar(20)");
    server.Execute("ALTER TABLE `" + db + "`.`it's` ADD COLUMN server_only int");
    const std::string before = server.Scalar("CHECKSUM TABLE `" + db + "`.`order details`");

    const CliResult sync = Shell(Cli(target, db, "--table-type InnoDB --sync"));
    EXPECT_EQ(sync.status, 1) << sync.output;
    // Rows whose memo is not NULL get it.
    EXPECT_TRUE(Contains(sync.output, "  Access 中新增的列 'col_memo' 已添加到服务器上的表并填写"))
        << sync.output;
    EXPECT_TRUE(Contains(sync.output, "表 'Order Details'：结构已变，未同步")) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "  列的类型已变：'Qty'")) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "  Access 中已没有列 'server_only'")) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "请不带 --sync 重新转换这个表")) << sync.output;
    EXPECT_EQ(server.Scalar("CHECKSUM TABLE `" + db + "`.`order details`"), before);

    const CliResult verify = Shell(Cli(target, db, "--verify-only --table AllTypes"));
    EXPECT_EQ(verify.status, 0) << verify.output;
}

// A statement the server refuses in the middle of a table: the table's open transaction is
// given up (InnoDB), the failure is reported, and the next sync finishes the job.
TEST(SyncFailure, RefusedChangeIsRolledBackAndTheNextRunFinishes) {
    TW_REQUIRE_SERVER(target);
    const std::string db = "tw_sync_failure";
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    ASSERT_EQ(Shell(Cli(target, db, "--table-type InnoDB")).status, 0);
    const std::string t = "`" + db + "`.alltypes";
    server.Execute("UPDATE " + t + " SET col_text = 'changed' WHERE id = 1");
    server.Execute("DELETE FROM " + t + " WHERE id IN (12, 13)");
    server.Execute("CREATE TRIGGER `" + db + "`.refuse BEFORE INSERT ON " + t +
                   " FOR EACH ROW BEGIN IF NEW.id = 13 THEN SIGNAL SQLSTATE '45000' SET "
                   "MESSAGE_TEXT = 'refused by the server'; END IF; END");

    const CliResult failed = Shell(Cli(target, db, "--table-type InnoDB --sync"));
    EXPECT_EQ(failed.status, 1) << failed.output;
    EXPECT_TRUE(Contains(failed.output, "表 'AllTypes'：同步失败：refused by the server"))
        << failed.output;
    EXPECT_TRUE(Contains(failed.output, "1 个表未同步")) << failed.output;
    // Nothing of the table's transaction arrived.
    EXPECT_EQ(server.Scalar("SELECT col_text FROM " + t + " WHERE id = 1"), "changed");
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM " + t), "11");

    server.Execute("DROP TRIGGER `" + db + "`.refuse");
    const CliResult again = Shell(Cli(target, db, "--table-type InnoDB --sync --verify"));
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_TRUE(Contains(again.output, "表 'AllTypes'：新增 2 行，更新 1 行（1 个值），删除 0 行"))
        << again.output;
    EXPECT_TRUE(Contains(again.output, "核对完成：3 个表全部一致")) << again.output;
}

// Bare tables (--no-keys) have no key on the server: rows are still paired by the Access
// primary key, and a row the server holds twice is brought back to one.
TEST(SyncBare, RowsHeldTwiceOnAServerWithoutKeysBecomeOne) {
    TW_REQUIRE_SERVER(target);
    const std::string db = "tw_sync_bare";
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    ASSERT_EQ(Shell(Cli(target, db, "--no-keys")).status, 0);
    const std::string t = "`" + db + "`.alltypes";
    server.Execute("INSERT INTO " + t + " SELECT * FROM " + t + " WHERE id IN (4, 5)");
    server.Execute("INSERT INTO " + t + " SELECT * FROM " + t + " WHERE id = 5 LIMIT 1");
    server.Execute("UPDATE " + t + " SET col_text = 'changed' WHERE id = 6");

    const CliResult sync = Shell(Cli(target, db, "--no-keys --sync --verify"));
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "表 'AllTypes'：新增 0 行，更新 1 行（1 个值），删除 3 行"))
        << sync.output;
    EXPECT_TRUE(Contains(sync.output, "核对完成：3 个表全部一致")) << sync.output;
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM " + t), "13");
}

// A text key the server's collation compares without regard to case pairs with Access's key
// though its case was changed: --verify names the difference, the sync writes Access's spelling
// back (no insert, no delete), and --verify then finds every table identical.
TEST(SyncTextKey, KeyDifferingInCaseIsPairedAndWrittenBack) {
    TW_REQUIRE_SERVER(target);
    const std::string db = "tw_sync_text_key";
    const std::string file = "gen-schema.mdb";
    ServerSession server(target);
    server.Execute("DROP DATABASE IF EXISTS `" + db + "`");
    ASSERT_EQ(Shell(Cli(target, db, "", file)).status, 0);
    server.Execute("UPDATE `" + db +
                   "`.products SET productcode = 'bis-003' WHERE productcode "
                   "= 'BIS-003'");

    const CliResult before = Shell(Cli(target, db, "--verify-only", file));
    EXPECT_TRUE(Contains(before.output, "表 'Products'：1 行 1 个值不一致")) << before.output;
    const CliResult sync = Shell(Cli(target, db, "--sync --verify", file));
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_TRUE(Contains(sync.output, "表 'Products'：新增 0 行，更新 1 行（1 个值），删除 0 行"))
        << sync.output;
    EXPECT_TRUE(Contains(sync.output, "核对完成：5 个表全部一致")) << sync.output;
    EXPECT_EQ(server.Scalar("SELECT CAST(productcode AS BINARY) FROM `" + db +
                            "`.products WHERE productcode = 'BIS-003'"),
              "BIS-003");
}

// Combinations that cannot mean anything are refused before anything is read or connected.
TEST(SyncOptions, MeaninglessCombinationsAreUsageErrors) {
    struct Case {
        const char* arguments;
        const char* message;
    };
    const Case cases[] = {
        {"--keep-extra", "--keep-extra 只能与 --sync 一起使用"},
        {"--sync --structure-only", "不能与 --structure-only 一起使用"},
        {"--sync --verify-only", "不能与 --verify-only"},
        {"--dry-run --scenario script", "只用于服务器"},
    };
    for (const Case& c : cases) {
        const CliResult run = Shell(std::string(TABLEWRIGHT_CLI_PATH) + " --no-defaults " +
                                    c.arguments + " missing.mdb");
        EXPECT_EQ(run.status, 2) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, c.message)) << c.arguments << "\n" << run.output;
    }
}
