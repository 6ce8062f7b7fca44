#include "tablewright/mysql/MySqlDestination.h"
#include "tablewright/mysql/MySqlSqlWriter.h"

#include "tablewright/model/DataAccess.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <cstdlib>

namespace tw::data {

void MySqlDestination::HandBack(std::string& text, StatementKind kind, std::size_t row_prefix,
                                bool refused) {
    if (!handler_)
        return;
    MadeStatement made{text, kind, row_prefix, refused};
    handler_(made);
}

template <typename SendCall>
void MySqlDestination::Made(std::string& text, StatementKind kind, std::size_t row_prefix,
                            SendCall&& send) {
    try {
        send();
    } catch (...) {
        HandBack(text, kind, row_prefix, true);
        throw;
    }
    HandBack(text, kind, row_prefix);
}

void MySqlDestination::CreateDatabase(const std::string& name) {
    std::string statement = "CREATE DATABASE IF NOT EXISTS `";
    AppendNameText(statement, name);
    statement += "`;";
    try {
        Send(statement);
    } catch (const DataAccessError& e) {
        // A user whose rights cover the tables of an existing database but not the database
        // itself can still convert into it; when it cannot be selected either, the reason the
        // creation was refused is the one to show.
        const std::string reason = e.what();
        try {
            UseDatabase(name);
        } catch (const DataAccessError&) {
            throw DataAccessError(reason);
        }
        return;
    }
    UseDatabase(name);
}

void MySqlDestination::UseDatabase(const std::string& name) {
    check_names_.clear();
    std::string statement = "USE `";
    AppendNameText(statement, name);
    statement += "`;";
    Send(statement);
}

std::string MySqlDestination::ClusterRefusalOf(Provider& provider, const std::string& engine) {
    if (Utf8ToLower(engine) == "innodb")
        return {};
    std::string cluster;
    try {
        // MySQL and MariaDB without Galera do not know the variable.
        auto rs = provider.OpenRecordset("SELECT @@GLOBAL.wsrep_on");
        if (!rs->IsEOF())
            if (const auto* text = std::get_if<std::string>(&rs->GetField(0).GetValue()))
                cluster = *text;
    } catch (const DataAccessError&) {
        return {};
    }
    if (cluster != "1" && Utf8ToLower(cluster) != "on")
        return {};
    return "服务器是 Galera 集群，只复制 InnoDB 表：表类型 " + engine +
           " 的表只会留在这一个节点上，其他节点上是空的。请改用 InnoDB 表类型。";
}

bool MySqlDestination::KeepsForeignKeys(const std::string& engine) {
    return MySqlDialect::KeepsForeignKeys(engine);
}

void MySqlDestination::DropTable(const std::string& table) {
    statement_ = MySqlDialect::DropTable(table);
    Made(statement_, StatementKind::Drop, 0, [&] { Send(statement_); });
}

// A row wider than the server allows (many long text columns) would cost the whole table: the
// widest varchar columns become mediumtext, which the row holds by reference, until it fits. The
// server measures rows by its own settings (page size, row format); while it still finds the row
// too large, one more column is moved. With keys, a definition the server does not take in full
// (a default or comment it refuses) must not cost the rows: the table is made as plain columns
// instead.
bool MySqlDestination::CreateTable(TableSchema& table, const TableOptions& options,
                                   std::vector<std::string>& notes) {
    TableOptions table_options = options;
    std::vector<std::string> moved;
    while (MySqlDialect::RowSizeExcess(table, table_options) > 0) {
        std::string name = MySqlDialect::MoveWidestToText(table, table_options);
        if (name.empty())
            break;
        moved.push_back(std::move(name));
    }
    std::string create = MySqlDialect::CreateTable(table, table_options, &notes);
    auto create_fitting = [&] {
        for (;;) {
            try {
                SendTable(table.name, create);
                return;
            } catch (const RowTooLargeError&) {
                std::string name = MySqlDialect::MoveWidestToText(table, table_options);
                if (name.empty())
                    throw;
                moved.push_back(std::move(name));
                create = MySqlDialect::CreateTable(table, table_options);
            }
        }
    };
    auto note_moved = [&] {
        if (moved.empty())
            return;
        std::string names;
        for (const auto& name : moved)
            names += (names.empty() ? "'" : "、'") + name + "'";
        notes.push_back("一行超出了表类型允许的大小，已把 " + std::to_string(moved.size()) +
                        " 个最宽的文本列由 varchar 改为 mediumtext：" + names);
    };
    bool full = true;
    try {
        Made(create, StatementKind::Table, 0, create_fitting);
    } catch (const DataAccessError& e) {
        if (!table_options.keys) {
            note_moved();
            throw;
        }
        notes.push_back("表未能按完整定义创建（" + std::string(e.what()) +
                        "），已改为只含列的定义，不带键和列属性");
        table_options.keys = false;
        full = false;
        create = MySqlDialect::CreateTable(table, table_options);
        try {
            Made(create, StatementKind::Table, 0, create_fitting);
        } catch (const DataAccessError&) {
            note_moved();
            throw;
        }
    }
    note_moved();
    return full;
}

void MySqlDestination::BeginRows(const TableSchema& table) {
    columns_ = table.columns;
    prefix_ = MySqlDialect::InsertPrefix(table.name);
    StartRows(table, prefix_);
}

void MySqlDestination::AppendRow(std::span<const Value> row) {
    // The row's text is written once: for the statement handed back and for the server.
    row_.assign(prefix_);
    MySqlDialect::AppendRowTuple(row_, row, columns_);
    row_ += ';';
    const std::string_view tuple =
        std::string_view(row_).substr(prefix_.size(), row_.size() - prefix_.size() - 1);
    Made(row_, StatementKind::Row, prefix_.size(), [&] { SendRow(row, tuple, row_); });
}

// All keys in one statement, and when the server refuses that, one by one, keeping a unique
// index that the data does not allow as a plain index. A key that cannot be kept as it was is
// noted with the server's reason; the rows stay as they are.
bool MySqlDestination::AddKeys(const TableSchema& table, const TableOptions& options,
                               std::vector<std::string>& notes) {
    KeyPlan plan = MySqlDialect::Keys(table, options, &notes);
    if (plan.combined.empty())
        return true;
    if (!Sends()) {
        // The rows are not known when a script file is written: each unique key is added when
        // the loaded rows allow it and its plain index otherwise, so that the file loads to
        // the end either way, as a direct run keeps the rows.
        for (const auto& step : plan.steps)
            if (!step.breaking_rows.empty())
                for (std::string& statement : MySqlDialect::WhenNoRows(
                         step.breaking_rows, step.statement, step.plain_fallback))
                    HandBack(statement, StatementKind::Key, 0);
        if (!plan.others.empty())
            HandBack(plan.others, StatementKind::Key, 0);
        return true;
    }
    std::string refusal;
    auto run = [&](std::string& statement) {
        try {
            Made(statement, StatementKind::Key, 0, [&] { Send(statement); });
            return true;
        } catch (const DataAccessError& e) {
            refusal = e.what();
            return false;
        }
    };
    if (run(plan.combined))
        return true;
    for (auto& step : plan.steps) {
        // A table with a single key has just had that very statement refused.
        if (step.statement != plan.combined && run(step.statement))
            continue;
        // A copy: the fallback's refusal would overwrite the key's.
        const std::string reason = refusal; // NOLINT(performance-unnecessary-copy-initialization)
        if (!step.plain_fallback.empty() && run(step.plain_fallback)) {
            notes.push_back(step.what + " 未能保留唯一性（" + reason + "），已改为普通索引");
            continue;
        }
        notes.push_back(step.what + " 未能建立：" + reason);
    }
    return false;
}

namespace {

// How many keys of the rows that break a rule the log lists.
constexpr long long kListedKeys = 5;

// The first whole numbers of a version text ("10.11.6-MariaDB-log" gives 10, 11, 6).
std::vector<int> VersionNumbers(std::string_view text) {
    std::vector<int> numbers;
    int value = -1;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
            if (value > 1000000)
                break;
        } else {
            if (value >= 0)
                numbers.push_back(value);
            value = -1;
            if (c != '.' || numbers.size() >= 3)
                break;
        }
    }
    if (value >= 0 && numbers.size() < 3)
        numbers.push_back(value);
    numbers.resize(3, 0);
    return numbers;
}

// The first column of the first row as text; empty when there is none.
std::string FirstText(Recordset& rows) {
    if (rows.IsEOF())
        return {};
    const Value& value = rows.GetField(0).GetValue();
    if (const auto* text = std::get_if<std::string>(&value))
        return *text;
    if (const auto* number = std::get_if<std::int64_t>(&value))
        return std::to_string(*number);
    return {};
}

} // namespace

// MariaDB 10.2.1 and MySQL 8.0.16 are the first to check CHECK constraints; earlier servers
// take the statement and ignore it. Said once, for the first table with rules.
bool MySqlDestination::EnforcesChecks(std::vector<std::string>& notes) {
    if (enforces_checks_)
        return *enforces_checks_;
    std::string version;
    try {
        if (auto rows = Read("SELECT VERSION()"))
            version = FirstText(*rows);
    } catch (const DataAccessError&) {
        // A server that does not tell is taken as one that checks; a refused CHECK is noted.
    }
    enforces_checks_ = true;
    if (version.empty())
        return true;
    const bool mariadb = AsciiLower(version).find("mariadb") != std::string::npos;
    const std::vector<int> have = VersionNumbers(version);
    const std::vector<int> need = mariadb ? std::vector<int>{10, 2, 1} : std::vector<int>{8, 0, 16};
    if (have < need) {
        enforces_checks_ = false;
        notes.push_back("服务器版本 " + version +
                        " 不执行 CHECK 约束（MariaDB 10.2.1、MySQL 8.0.16 起才执行），Access "
                        "的验证规则均未建立为约束");
    }
    return *enforces_checks_;
}

// Each rule becomes a constraint only when every row satisfies it, so that no row is lost to
// it: a rule the rows break is noted with their number and the first keys instead. A script
// file, whose rows are not known yet, adds each one when the loaded rows satisfy it.
std::vector<std::string> MySqlDestination::AddChecks(const TableSchema& table,
                                                     const TableOptions& options,
                                                     std::vector<std::string>& notes) {
    std::vector<std::string> done;
    if (!options.keys)
        return done;
    std::vector<std::string> refusals;
    std::vector<CheckPlan> plans = MySqlDialect::Checks(table, check_names_, &refusals);
    if (plans.empty() && refusals.empty())
        return done;
    const bool sends = Sends();
    if (sends && !EnforcesChecks(notes))
        return done;
    for (auto& refusal : refusals)
        notes.push_back(std::move(refusal));
    const auto message = [](const CheckPlan& plan) {
        return plan.message.empty() ? std::string() : "（有效性文本：" + plan.message + "）";
    };
    // The first few keys of the rows that break a rule: the primary key's values, or none.
    std::string key_list;
    std::string key_order;
    std::string key_names;
    for (const auto& index : table.indexes) {
        if (!index.primary || index.columns.empty())
            continue;
        for (const auto& part : index.columns) {
            std::string name;
            MySqlDialect::AppendName(name, part.name);
            key_order += (key_order.empty() ? "" : ", ") + name;
            key_list += (key_list.empty() ? "" : ", ") + std::string("IFNULL(CAST(") + name +
                        " AS CHAR), 'NULL')";
            key_names += (key_names.empty() ? "" : "、") + part.name;
        }
        break;
    }
    std::string table_name;
    MySqlDialect::AppendName(table_name, table.name);
    for (auto& plan : plans) {
        if (!sends) {
            // Loading the file says so when the rows break the rule.
            const std::string kept = MySqlDialect::LoadNote(
                "表 '" + table.name + "'：" + plan.what +
                " 在载入的行中有不满足的，未建立 CHECK 约束 '" + plan.name + "'（行保留）");
            for (std::string& statement :
                 MySqlDialect::WhenNoRows(plan.breaking_rows, plan.statement, kept))
                HandBack(statement, StatementKind::Alter, 0);
            if (!plan.message.empty())
                notes.push_back(plan.what + " 在载入的行都满足时建立为 CHECK 约束 '" + plan.name +
                                "'；MySQL 的 CHECK 约束没有提示文本，Access 的有效性文本为：" +
                                plan.message);
            continue;
        }
        std::string breaking;
        std::string keys;
        try {
            if (auto rows = Read("SELECT CAST(COUNT(*) AS CHAR) FROM " + table_name +
                                 " WHERE NOT (" + plan.condition + ")"))
                breaking = FirstText(*rows);
            if (!breaking.empty() && breaking != "0" && !key_list.empty()) {
                auto rows = Read("SELECT CONCAT_WS(', ', " + key_list + ") FROM " + table_name +
                                 " WHERE NOT (" + plan.condition + ") ORDER BY " + key_order +
                                 " LIMIT " + std::to_string(kListedKeys));
                for (int n = 0; rows && !rows->IsEOF(); ++n, rows->MoveNext())
                    keys += (n > 0 ? "、" : "") + FirstText(*rows);
            }
        } catch (const DataAccessError& e) {
            notes.push_back(plan.what + " 未建立 CHECK 约束：" + e.what() + message(plan));
            continue;
        }
        if (!breaking.empty() && breaking != "0") {
            std::string note =
                plan.what + " 有 " + breaking + " 行不满足，未建立 CHECK 约束（行保留）";
            if (!keys.empty())
                note += "；这些行的 " + key_names + "：" + keys +
                        (std::strtoll(breaking.c_str(), nullptr, 10) > kListedKeys ? " 等" : "");
            notes.push_back(note + message(plan));
            continue;
        }
        try {
            Made(plan.statement, StatementKind::Alter, 0, [&] { Send(plan.statement); });
        } catch (const DataAccessError& e) {
            notes.push_back(plan.what + " 未建立 CHECK 约束：" + e.what() + message(plan));
            continue;
        }
        if (!plan.message.empty())
            done.push_back(plan.what + " 已建立为 CHECK 约束 '" + plan.name +
                           "'；MySQL 的 CHECK 约束没有提示文本，Access 的有效性文本为：" +
                           plan.message);
    }
    return done;
}

void MySqlDestination::AddForeignKey(const RelationshipSchema& relationship) {
    statement_ = MySqlDialect::ForeignKey(relationship);
    Made(statement_, StatementKind::ForeignKey, 0, [&] { SendForeignKey(statement_); });
}

WrittenSql MySqlDestination::WriteSavedQuery(std::string_view name, const sql::Statement& query,
                                             const SqlWriterContext& context) {
    // A query that changes data, asks for values or makes a table does its work when called, as
    // does a crosstab whose columns are known only from the rows (no fixed headings).
    const bool view_kind = query.kind == sql::StatementKind::Select ||
                           (query.kind == sql::StatementKind::Crosstab && !query.pivot_in.empty());
    const bool procedure =
        !view_kind || AsksForValues(query) ||
        (query.query && !query.query->parts.empty() && query.query->parts.front().into);
    WrittenSql written = procedure ? WriteMySqlProcedure(name, query, context)
                                   : WriteMySqlView(name, query, context);
    written.procedure = procedure;
    return written;
}

void MySqlDestination::CreateProcedure(std::string& statement) {
    Made(statement, StatementKind::Procedure, 0, [&] { Send(statement); });
}

void MySqlDestination::AllowNull(const TableSchema& table, const ColumnSchema& column,
                                 const TableOptions& options) {
    statement_ = MySqlDialect::AllowNull(table, column, options);
    Made(statement_, StatementKind::Alter, 0, [&] { Send(statement_); });
}

void MySqlDestination::CreateView(std::string& statement) {
    Made(statement, StatementKind::View, 0, [&] { Send(statement); });
}

std::string MySqlDestination::TypeName(int ado_type) {
    return MySqlDialect::TypeName(ado_type);
}

std::string MySqlDestination::ColumnType(const ColumnSchema& column) {
    return MySqlDialect::ColumnType(column);
}

std::string MySqlDestination::TableClause(const std::string& engine) {
    return MySqlDialect::TableClause(engine);
}

void MySqlDestination::AppendInsert(std::string& out, const std::string& table,
                                    std::span<const Value> row,
                                    std::span<const ColumnSchema> columns) {
    MySqlDialect::AppendInsert(out, table, row, columns);
}

// The script file makes the loading session what its statements need, as dump files do, and
// gives it back its own settings at the end: utf8mb4 for the connection (a client's default
// character set may lack characters outside the Basic Multilingual Plane), the same sql_mode as
// a direct run (strict, so that a value the server cannot take stops the load instead of being
// adjusted; zero kept as a value of an AUTO_INCREMENT column; backslash escapes and backtick
// names as written, whatever the server's default), foreign keys unchecked while tables are
// dropped and made, and rows committed together (each table's statement that follows, and the
// end of the file, commits them) rather than one commit per INSERT. Versioned comments keep the
// lines harmless for other SQL readers. Foreign keys are checked against the rows when they are
// added, as in a direct run.
std::vector<std::string> ScriptDestination::SessionStatements(SessionPoint point) {
    switch (point) {
    case SessionPoint::Begin:
        return {
            "/*!40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT */;",
            "/*!40101 SET @OLD_CHARACTER_SET_RESULTS=@@CHARACTER_SET_RESULTS */;",
            "/*!40101 SET @OLD_COLLATION_CONNECTION=@@COLLATION_CONNECTION */;",
            "/*!40101 SET NAMES utf8mb4 */;",
            // One line, written in two pieces for its length.
            "/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, " // NOLINT(bugprone-suspicious-missing-comma)
            "SQL_MODE='STRICT_ALL_TABLES,NO_AUTO_VALUE_ON_ZERO' */;",
            "/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;",
            "/*!40101 SET @OLD_AUTOCOMMIT=@@AUTOCOMMIT, AUTOCOMMIT=0 */;",
        };
    case SessionPoint::ForeignKeys:
        return {"/*!40014 SET FOREIGN_KEY_CHECKS=1 */;"};
    case SessionPoint::End:
        return {
            "/*!40101 COMMIT */;",
            "/*!40101 SET AUTOCOMMIT=@OLD_AUTOCOMMIT */;",
            "/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS */;",
            "/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;",
            "/*!40101 SET CHARACTER_SET_CLIENT=@OLD_CHARACTER_SET_CLIENT */;",
            "/*!40101 SET CHARACTER_SET_RESULTS=@OLD_CHARACTER_SET_RESULTS */;",
            "/*!40101 SET COLLATION_CONNECTION=@OLD_COLLATION_CONNECTION */;",
        };
    }
    return {};
}

ScriptDestinationFactory MySqlScriptDestinationFactory() {
    return [] { return std::make_unique<ScriptDestination>(); };
}

} // namespace tw::data
