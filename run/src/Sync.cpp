#include "tablewright/run/Sync.h"

#include "RowPairing.h"
#include "SyncWording.h"
#include "VerifyWording.h"
#include "tablewright/engine/ComplexTables.h"

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

namespace tw::run {

namespace {

// Brings one target table in step with its Access table (or child rows).
class TableSyncer {
public:
    TableSyncer(data::Connection& source, data::TargetDatabase& target, bool keys,
                bool ole_contents, const SyncOptions& options, const std::function<bool()>& stop,
                TableSync& result, const engine::ChildTable* child = nullptr)
        : source_(source), pairing_(source, target, ole_contents, true), keys_(keys),
          options_(options), stop_(stop), result_(result), child_(child) {}

    void Run(const std::string& target_table) {
        result_.dry_run = options_.dry_run;
        data::TableSchema schema;
        try {
            pairing_.OpenSource(result_.table, child_);
            schema = child_ ? engine::ChildTableSchema(*child_, pairing_.Source(), keys_)
                            : source_.ReadTableSchema(result_.table);
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取 Access 表：") + e.what());
            return;
        }
        try {
            pairing_.OpenTarget(target_table);
            if (!CheckColumns(schema))
                return;
            if (!child_)
                pairing_.ChooseKey(schema);
            pairing_.Bind();
            result_.target_rows = pairing_.Target().CountRows();
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取服务器上的表：") + e.what());
            return;
        }
        if (pairing_.Key().empty())
            CompareOrReload();
        else
            SyncByKey();
        if (result_.outcome == TableSync::Outcome::Failed ||
            result_.outcome == TableSync::Outcome::Cancelled || options_.dry_run || child_)
            return;
        try {
            // A row inserted with Access's number moves the counter past it; a counter that
            // Access keeps higher (rows deleted at the end) is carried over.
            if (schema.next_auto_number > 0)
                pairing_.Target().RaiseAutoIncrement(schema.next_auto_number);
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法设置 AUTO_INCREMENT：") + e.what());
        }
    }

private:
    void Fail(const std::string& error) {
        result_.outcome = TableSync::Outcome::Failed;
        result_.error = error;
    }

    bool Stopped() const { return stop_ && stop_(); }

    const data::ColumnSchema* SchemaColumn(const data::TableSchema& schema,
                                           const std::string& name) const {
        const auto found =
            std::find_if(schema.columns.begin(), schema.columns.end(),
                         [&](const data::ColumnSchema& column) { return column.name == name; });
        return found == schema.columns.end() ? nullptr : &*found;
    }

    // Target columns Access no longer has, and columns of another type, leave the table as it
    // is; columns added in Access are added to the target (and filled by the sync).
    bool CheckColumns(const data::TableSchema& schema) {
        result_.removed_columns = pairing_.ExtraColumns();
        for (const PairColumn& column : pairing_.Columns()) {
            const data::ColumnSchema* definition = SchemaColumn(schema, column.name);
            if (column.target >= 0 && definition &&
                !pairing_.Target().ColumnFits(column.target, *definition))
                result_.changed_columns.push_back(column.name);
        }
        if (!result_.removed_columns.empty() || !result_.changed_columns.empty()) {
            result_.outcome = TableSync::Outcome::StructureChanged;
            return false;
        }
        result_.added_columns = pairing_.MissingColumns();
        if (result_.added_columns.empty() || options_.dry_run)
            return true;
        for (const std::string& name : result_.added_columns) {
            const data::ColumnSchema* definition = SchemaColumn(schema, name);
            if (!definition)
                throw data::DataAccessError("Access 表的定义中没有列 '" + name + "'");
            pairing_.Target().AddColumn(*definition);
        }
        pairing_.MatchTarget();
        return true;
    }

    // The typed values of the columns read from the target, in their order.
    std::vector<data::Value> BoundValues(const SourceRow& row) const {
        std::vector<data::Value> values;
        const auto& columns = pairing_.Columns();
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (columns[i].bound >= 0)
                values.push_back(pairing_.TypedValue(row, i));
        return values;
    }

    void Note(std::vector<std::string>& keys, std::span<const data::Canonical> key) {
        if (keys.size() < options_.example_limit)
            keys.push_back(pairing_.KeyLabel(key));
    }

    // Commits when the transaction holds as many changed rows as the target allows.
    void CountChange() {
        if (options_.dry_run || ++in_transaction_ < pairing_.Target().CommitRows())
            return;
        Commit();
        pairing_.Target().Begin();
    }

    void Commit() {
        pairing_.Target().Commit();
        in_transaction_ = 0;
        committed_ = Counts{result_.inserted, result_.updated, result_.deleted, result_.written};
    }

    // After a failure: what arrived is what was committed.
    void FailChanging(const std::string& error) {
        if (!options_.dry_run)
            pairing_.Target().Rollback();
        result_.inserted = committed_.inserted;
        result_.updated = committed_.updated;
        result_.deleted = committed_.deleted;
        result_.written = committed_.written;
        Fail(error);
    }

    void SyncByKey() {
        data::TargetTable& target = pairing_.Target();
        const auto& columns = pairing_.Columns();
        try {
            if (!options_.dry_run)
                target.Begin();
            struct Update {
                std::size_t row;
                std::vector<std::size_t> columns;
            };
            std::vector<Update> updates;
            std::vector<std::size_t> inserts;
            std::vector<std::size_t> duplicates;
            for (;;) {
                if (Stopped()) {
                    FailChanging("同步已中断");
                    result_.outcome = TableSync::Outcome::Cancelled;
                    return;
                }
                if (!ReadChunk())
                    return;
                updates.clear();
                inserts.clear();
                duplicates.clear();
                const SourceRow* first = pairing_.Chunk().data();
                pairing_.PairChunk(
                    [&](SourceRow& row, std::span<const data::Canonical> server) {
                        Update update{static_cast<std::size_t>(&row - first), {}};
                        for (std::size_t i = 0; i < columns.size(); ++i) {
                            const int bound = columns[i].bound;
                            // A generated column follows the columns it is computed from.
                            if (bound < 0 || target.Columns()
                                                 .at(static_cast<std::size_t>(columns[i].target))
                                                 .generated)
                                continue;
                            const Cell& access = row.cells[i];
                            if (access.unreadable ||
                                access.value == server[static_cast<std::size_t>(bound)])
                                continue;
                            update.columns.push_back(static_cast<std::size_t>(bound));
                        }
                        if (update.columns.empty())
                            ++result_.unchanged;
                        else
                            updates.push_back(std::move(update));
                    },
                    [&](SourceRow& row) {
                        inserts.push_back(static_cast<std::size_t>(&row - first));
                    },
                    [&](SourceRow& row) {
                        duplicates.push_back(static_cast<std::size_t>(&row - first));
                    });
                if (!options_.dry_run &&
                    !(updates.empty() && inserts.empty() && duplicates.empty()))
                    BeforeChanges();
                const auto chunk = pairing_.Chunk();
                for (const Update& update : updates) {
                    const SourceRow& row = chunk[update.row];
                    ++result_.updated;
                    result_.updated_values += static_cast<std::int64_t>(update.columns.size());
                    Note(result_.updated_keys, row.key);
                    if (options_.dry_run)
                        continue;
                    const std::vector<data::Value> all = BoundValues(row);
                    std::vector<data::Value> values;
                    for (const std::size_t column : update.columns)
                        values.push_back(all[column]);
                    target.Update(row.key, update.columns, values);
                    CountChange();
                }
                for (const std::size_t at : inserts) {
                    ++result_.inserted;
                    Note(result_.inserted_keys, chunk[at].key);
                    if (options_.dry_run)
                        continue;
                    target.Insert(BoundValues(chunk[at]));
                    CountChange();
                }
                // A key the target holds more than once (it has no unique index on it): every
                // row of it goes, and the Access row comes back once.
                std::sort(duplicates.begin(), duplicates.end());
                for (std::size_t i = 0; i < duplicates.size(); ++i) {
                    const std::size_t at = duplicates[i];
                    ++result_.deleted;
                    Note(result_.deleted_keys, chunk[at].key);
                    if (options_.dry_run || (i > 0 && duplicates[i - 1] == at))
                        continue;
                    target.Delete(chunk[at].key);
                    target.Insert(BoundValues(chunk[at]));
                    CountChange();
                }
            }
        } catch (const data::DataAccessError& e) {
            FailChanging(std::string("同步失败：") + e.what());
            return;
        }
    }

    // Reads the next chunk; false (and the rest of the sync done) at the end of the table.
    bool ReadChunk() {
        bool more = false;
        try {
            more = pairing_.ReadChunk();
        } catch (const data::DataAccessError& e) {
            FailChanging(std::string("无法读取 Access 表：") + e.what());
            return false;
        }
        if (more)
            return true;
        FinishByKey();
        return false;
    }

    // The target rows no Access row pairs with: deleted, or kept; then the last commit.
    void FinishByKey() {
        try {
            const std::int64_t unmatched =
                result_.target_rows - pairing_.Paired() - pairing_.Duplicates();
            if (unmatched > 0) {
                // The keys are gathered first: the scan pages through the table, which must
                // not change under it.
                std::vector<std::vector<data::Canonical>> extra;
                pairing_.ScanExtraKeys([&](std::span<const data::Canonical> key) {
                    if (options_.keep_extra || options_.dry_run) {
                        ++(options_.keep_extra ? result_.kept : result_.deleted);
                        Note(result_.deleted_keys, key);
                    } else {
                        extra.emplace_back(key.begin(), key.end());
                    }
                    return true;
                });
                if (!extra.empty())
                    BeforeChanges();
                for (const auto& key : extra) {
                    ++result_.deleted;
                    Note(result_.deleted_keys, key);
                    pairing_.Target().Delete(key);
                    CountChange();
                }
            }
            pairing_.EndScan();
            if (!options_.dry_run)
                Commit();
        } catch (const data::DataAccessError& e) {
            FailChanging(std::string("同步失败：") + e.what());
        }
    }

    // A scan of the table that would hold the changes up (table locks) ends first; the rest
    // of the table is read by key.
    void BeforeChanges() {
        if (pairing_.Scanning() && pairing_.Target().ScanHoldsChanges())
            pairing_.EndScan();
    }

    // A table without a key: compared as a whole first, and left alone when its rows are the
    // Access rows; otherwise every row is written again, in one transaction.
    void CompareOrReload() {
        bool same = false;
        try {
            same = SameRows();
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法比较表的内容：") + e.what());
            return;
        }
        if (result_.outcome == TableSync::Outcome::Failed ||
            result_.outcome == TableSync::Outcome::Cancelled)
            return;
        if (same) {
            result_.outcome = TableSync::Outcome::SameWithoutKey;
            result_.unchanged = result_.target_rows;
            return;
        }
        try {
            pairing_.ReopenSource();
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取 Access 表：") + e.what());
            return;
        }
        Reload();
    }

    // The sum of a hash of each row's canonical values, and the number of rows: equal for two
    // tables that hold the same rows in any order (and, but for a chance of 2^-128, only then).
    struct RowSum {
        std::int64_t rows = 0;
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        std::string text;

        static std::uint64_t Mix(std::uint64_t z) {
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            return z ^ (z >> 31);
        }
        void Add() {
            ++rows;
            first += Mix(std::hash<std::string_view>{}(text));
            std::uint64_t fnv = 0xCBF29CE484222325ULL;
            for (const unsigned char byte : text)
                fnv = (fnv ^ byte) * 0x100000001B3ULL;
            second += Mix(fnv);
            text.clear();
        }
        bool operator==(const RowSum& other) const {
            return rows == other.rows && first == other.first && second == other.second;
        }
    };

    // True when the target holds exactly the Access rows (in any order): both streamed, the
    // Access rows first. A value that cannot be read, or a column added, makes them differ.
    bool SameRows() {
        if (!result_.added_columns.empty())
            return false;
        const auto& columns = pairing_.Columns();
        RowSum access;
        for (;;) {
            if (Stopped()) {
                result_.outcome = TableSync::Outcome::Cancelled;
                result_.error = "同步已中断";
                return false;
            }
            if (!pairing_.ReadChunk())
                break;
            for (const SourceRow& row : pairing_.Chunk()) {
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    if (columns[i].bound < 0)
                        continue;
                    if (row.cells[i].unreadable)
                        return false;
                    AppendKeyPart(access.text, row.cells[i].value);
                }
                access.Add();
            }
            if (access.rows > result_.target_rows)
                return false;
        }
        if (access.rows != result_.target_rows)
            return false;
        // The target's rows in its own order: scanned, else a page at a time.
        constexpr std::int64_t kPage = 20000;
        RowSum target;
        const auto add = [&](std::span<const data::Canonical> row) {
            for (const auto& value : row)
                AppendKeyPart(target.text, value);
            target.Add();
        };
        const auto scan = pairing_.Target().Scan();
        for (std::int64_t offset = 0; scan || offset < result_.target_rows; offset += kPage) {
            if (Stopped()) {
                result_.outcome = TableSync::Outcome::Cancelled;
                result_.error = "同步已中断";
                return false;
            }
            if (!scan)
                pairing_.Target().ReadInOrder(offset, kPage, add);
            else if (!scan->Read(static_cast<std::size_t>(kPage), add))
                break;
        }
        return access == target;
    }

    // Every row written again, in one transaction (where the table type has them).
    void Reload() {
        result_.outcome = TableSync::Outcome::Reloaded;
        data::TargetTable& target = pairing_.Target();
        try {
            if (!options_.dry_run) {
                target.Begin();
                target.DeleteAll();
            }
            for (;;) {
                if (Stopped()) {
                    FailChanging("同步已中断");
                    result_.outcome = TableSync::Outcome::Cancelled;
                    return;
                }
                bool more = false;
                try {
                    more = pairing_.ReadChunk();
                } catch (const data::DataAccessError& e) {
                    FailChanging(std::string("无法读取 Access 表：") + e.what());
                    return;
                }
                if (!more)
                    break;
                for (const SourceRow& row : pairing_.Chunk()) {
                    ++result_.written;
                    if (!options_.dry_run)
                        target.Insert(BoundValues(row));
                }
            }
            if (!options_.dry_run) {
                target.Commit();
                committed_.written = result_.written;
            }
        } catch (const data::DataAccessError& e) {
            committed_.written = 0;
            FailChanging(std::string("重新写入失败，已回滚：") + e.what());
        }
    }

    struct Counts {
        std::int64_t inserted = 0;
        std::int64_t updated = 0;
        std::int64_t deleted = 0;
        std::int64_t written = 0;
    };

    data::Connection& source_;
    RowPairing pairing_;
    bool keys_;
    const SyncOptions& options_;
    const std::function<bool()>& stop_;
    TableSync& result_;
    const engine::ChildTable* child_;
    std::size_t in_transaction_ = 0;
    Counts committed_;
};

std::int64_t SourceRowCount(data::Connection& source, const std::string& table) {
    auto rs = source.OpenTable(table);
    const std::int64_t rows = rs->RecordCount();
    rs->Close();
    return rows;
}

// Makes and fills the tables the target lacks as a conversion does, one result each.
void CreateTables(engine::Cls_Convertion& engine, const RunWindow& window,
                  std::vector<TableSync>& tables) {
    PlainRunWindow created;
    created.scenario = 0;
    created.database_name = window.DatabaseName();
    created.drop_tables = 1;
    created.keep_keys = window.KeysValue();
    created.convert_views = 0;
    created.ole_contents = window.OleContentsValue();
    for (const TableSync& table : tables)
        created.tables.push_back({table.table, true});
    ConversionRun run(engine, created);
    run.RunConversion();
    for (TableSync& table : tables) {
        const auto& outcomes = run.Summary().tables;
        const auto found =
            std::find_if(outcomes.begin(), outcomes.end(),
                         [&](const TableOutcome& o) { return o.name == table.table; });
        if (found == outcomes.end()) {
            table.outcome = TableSync::Outcome::Failed;
            table.error = run.Summary().database_failed ? run.Summary().database_error
                                                        : std::string("转换未开始");
            continue;
        }
        table.written = found->rows_written;
        if (found->failed_statements > 0 || found->cancelled) {
            table.outcome = TableSync::Outcome::Failed;
            table.error =
                std::to_string(found->failed_statements) + " 条语句失败（转换的日志写明原因）";
        }
    }
}

// The server's tables as the target of a comparison, with the database selected; a database
// that cannot be selected is taken as missing (every table is then made by a conversion),
// unless the connection itself was lost.
data::TargetDatabase& OpenTarget(engine::Cls_Convertion& engine, const std::string& database,
                                 bool& database_missing) {
    data::TargetDatabase& target = engine.DestinationDB().AsTarget();
    try {
        engine.SelectDB(database);
        target.Refresh();
    } catch (const data::DataAccessError&) {
        if (engine.DestinationDB().ConnectionLost())
            throw;
        database_missing = true;
    }
    return target;
}

// OpenTarget, or null with the report saying why ("无法<doing>数据库 'x'：...").
data::TargetDatabase* OpenTargetOrReport(engine::Cls_Convertion& engine,
                                         const std::string& database, const std::string& doing,
                                         bool& database_missing, SyncReport& report) {
    try {
        return &OpenTarget(engine, database, database_missing);
    } catch (const data::DataAccessError& e) {
        report.outcome = SyncReport::Outcome::ServerUnavailable;
        report.error = "无法" + doing + "数据库 '" + database + "'：" + e.what();
        return nullptr;
    }
}

} // namespace

SyncReport SyncTables(engine::Cls_Convertion& engine, const RunWindow& window,
                      const SyncOptions& options, const SyncPrinter& print,
                      const std::function<bool()>& stop) {
    SyncReport report;
    const std::string database = window.DatabaseName();
    bool database_missing = false;
    data::TargetDatabase* target =
        OpenTargetOrReport(engine, database, "同步", database_missing, report);
    if (!target)
        return report;
    if (database_missing && options.dry_run)
        print("数据库 '" + database + "' 不存在：同步会创建它");

    std::vector<TableSync> to_create;
    std::set<std::string> synced;
    std::optional<std::vector<engine::ChildTable>> children;
    bool stopped = false;
    for (int i = 0; i < window.TableCount() && !stopped; ++i) {
        if (!window.TableTicked(i))
            continue;
        const std::string name = window.TableText(i);
        synced.insert(name);
        const std::string found = database_missing ? std::string() : target->FindTable(name);
        if (found.empty()) {
            TableSync table;
            table.table = name;
            table.dry_run = options.dry_run;
            table.outcome = TableSync::Outcome::Created;
            try {
                table.written = SourceRowCount(engine.SourceDB(), name);
            } catch (const data::DataAccessError& e) {
                table.outcome = TableSync::Outcome::Failed;
                table.error = std::string("无法读取 Access 表：") + e.what();
            }
            to_create.push_back(std::move(table));
            continue;
        }
        std::vector<TableSync> results(1);
        results[0].table = name;
        TableSyncer(engine.SourceDB(), *target, window.KeysValue() != 0,
                    window.OleContentsValue() != 0, options, stop, results[0])
            .Run(found);
        // The child tables of the table's complex columns have no key: written again whole.
        if (results[0].Ok()) {
            if (!children) {
                try {
                    children = engine::SourceChildTables(engine.SourceDB());
                } catch (const data::DataAccessError&) {
                    children.emplace();
                }
            }
            for (const auto& child : *children) {
                if (child.parent != name)
                    continue;
                TableSync& result = results.emplace_back();
                result.table = child.name;
                const std::string child_found = target->FindTable(child.name);
                if (child_found.empty()) {
                    result.outcome = TableSync::Outcome::Failed;
                    result.error = "服务器上没有这个表：请不带 --sync 重新转换表 '" + name + "'";
                    continue;
                }
                TableSyncer(engine.SourceDB(), *target, window.KeysValue() != 0,
                            window.OleContentsValue() != 0, options, stop, result, &child)
                    .Run(child_found);
            }
        }
        for (TableSync& table : results) {
            for (const std::string& line : DescribeSync(table))
                print(line);
            if (table.outcome == TableSync::Outcome::Cancelled)
                stopped = true;
            if (table.outcome == TableSync::Outcome::Failed &&
                engine.DestinationDB().ConnectionLost()) {
                report.outcome = SyncReport::Outcome::ServerUnavailable;
                report.error = "与 MySQL 服务器的连接中断，同步未完成";
                stopped = true;
            }
            report.tables.push_back(std::move(table));
        }
    }
    if (!to_create.empty() && !stopped) {
        if (!options.dry_run)
            CreateTables(engine, window, to_create);
        for (TableSync& table : to_create) {
            for (const std::string& line : DescribeSync(table))
                print(line);
            report.tables.push_back(std::move(table));
        }
    }
    if (!options.dry_run && !stopped && window.ViewsValue() != 0) {
        // Views read the tables as they are now; each is made again (CREATE OR REPLACE).
        int replaced = 0;
        for (const auto& view : engine.ConvViews(synced))
            if (view.created)
                ++replaced;
        if (replaced > 0)
            print("视图：已重新创建 " + std::to_string(replaced) + " 个");
    }
    for (const std::string& line : DescribeSyncTotals(report.tables, options.dry_run, stopped))
        print(line);
    if (report.outcome == SyncReport::Outcome::Done &&
        (stopped || std::any_of(report.tables.begin(), report.tables.end(),
                                [](const TableSync& table) { return !table.Ok(); })))
        report.outcome = SyncReport::Outcome::Failures;
    return report;
}

SyncReport PreviewConversion(engine::Cls_Convertion& engine, const RunWindow& window,
                             const SyncPrinter& print) {
    SyncReport report;
    const std::string database = window.DatabaseName();
    bool database_missing = false;
    data::TargetDatabase* target =
        OpenTargetOrReport(engine, database, "读取", database_missing, report);
    if (!target)
        return report;
    if (database_missing)
        print("数据库 '" + database + "' 不存在：转换会创建它");
    for (int i = 0; i < window.TableCount(); ++i) {
        if (!window.TableTicked(i))
            continue;
        const std::string name = window.TableText(i);
        const bool exists = !database_missing && !target->FindTable(name).empty();
        std::int64_t rows = 0;
        try {
            rows = SourceRowCount(engine.SourceDB(), name);
        } catch (const data::DataAccessError& e) {
            print(TableLabel(name) + "（预演）：无法读取 Access 表：" + e.what());
            report.outcome = SyncReport::Outcome::Failures;
            continue;
        }
        const std::string what = !exists                         ? "将创建"
                                 : window.DropTablesValue() != 0 ? "将删除并重新创建"
                                                                 : "已存在，不删除，将追加";
        print(TableLabel(name) + "（预演）：" + what + "，写入 " + std::to_string(rows) + " 行");
    }
    print("预演完成：服务器上没有任何改动");
    return report;
}

} // namespace tw::run
