#include "tablewright/run/Verifier.h"

#include "RowPairing.h"
#include "VerifyWording.h"

#include <utility>

namespace tw::run {

namespace {

// Compares one table; the Verifier makes one for each table.
class TableComparison {
public:
    // Compares the Access table `result.table`, or with `child` the child rows of a complex
    // column (paired in order).
    TableComparison(data::Connection& source, data::TargetDatabase& target,
                    const std::function<bool()>& stop, std::size_t example_limit, bool ole_contents,
                    TableVerification& result, const engine::ChildTable* child = nullptr)
        : source_(source), pairing_(source, target, ole_contents, false), stop_(stop),
          example_limit_(example_limit), result_(result), child_(child) {}

    void Run(const std::string& server_table) {
        try {
            pairing_.OpenSource(result_.table, child_);
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取 Access 表：") + e.what());
            return;
        }
        try {
            pairing_.OpenTarget(server_table);
            result_.missing_columns = pairing_.MissingColumns();
            result_.extra_columns = pairing_.ExtraColumns();
            if (!child_)
                ChooseKey();
            pairing_.Bind();
            result_.server_rows = pairing_.Target().CountRows();
        } catch (const data::DataAccessError& e) {
            Fail(std::string("无法读取服务器上的表：") + e.what());
            return;
        }
        if (!CompareRows())
            return;
        pairing_.Source().Close();
        result_.differing_rows += result_.missing_rows + result_.extra_rows;
        const bool same = result_.differing_rows == 0 && result_.differing_values == 0 &&
                          result_.missing_columns.empty() && result_.extra_columns.empty() &&
                          result_.access_rows == result_.server_rows;
        result_.outcome =
            same ? TableVerification::Outcome::Identical : TableVerification::Outcome::Different;
    }

private:
    void Fail(const std::string& error) {
        result_.outcome = TableVerification::Outcome::Failed;
        result_.error = error;
    }

    bool Stopped() const { return stop_ && stop_(); }

    void ChooseKey() {
        data::TableSchema schema;
        try {
            schema = source_.ReadTableSchema(result_.table);
        } catch (const data::DataAccessError&) {
            return; // paired in order
        }
        pairing_.ChooseKey(schema);
        for (const std::size_t k : pairing_.Key())
            result_.key.push_back(pairing_.Columns()[k].name);
    }

    // Compares every Access row with its server row, chunk by chunk; false when the comparison
    // failed or was stopped (the result says which).
    bool CompareRows() {
        const bool keyed = !pairing_.Key().empty();
        try {
            for (;;) {
                if (Stopped()) {
                    result_.outcome = TableVerification::Outcome::Cancelled;
                    return false;
                }
                bool more = false;
                try {
                    more = pairing_.ReadChunk();
                } catch (const data::DataAccessError& e) {
                    Fail(std::string("无法读取 Access 表：") + e.what());
                    return false;
                }
                if (!more)
                    break;
                pairing_.PairChunk(
                    [&](SourceRow& row, std::span<const data::Canonical> server) {
                        CompareRow(row, server);
                    },
                    [&](SourceRow& row) {
                        ++result_.missing_rows;
                        AddExample(VerifyDifference::Kind::MissingRow, Label(row));
                    },
                    [&](SourceRow& row) {
                        AddExample(VerifyDifference::Kind::ExtraRow, Label(row));
                    });
            }
            result_.access_rows = pairing_.SourceRows();
            if (!keyed) {
                // Server rows after the last Access row are extra; their places name them.
                for (std::int64_t row = result_.access_rows; row < result_.server_rows; ++row) {
                    ++result_.extra_rows;
                    AddExample(VerifyDifference::Kind::ExtraRow, PlaceLabel(row + 1));
                }
            } else {
                result_.extra_rows += pairing_.Duplicates();
                const std::int64_t unmatched =
                    result_.server_rows - pairing_.Paired() - pairing_.Duplicates();
                if (unmatched > 0) {
                    result_.extra_rows += unmatched;
                    NameExtraRows(unmatched);
                }
            }
            pairing_.EndScan();
        } catch (const data::DataAccessError& e) {
            Fail(std::string("读取服务器上的表失败：") + e.what());
            return false;
        }
        return true;
    }

    // Names server rows whose key no Access row has, until enough examples are found.
    void NameExtraRows(std::int64_t unmatched) {
        std::int64_t named = 0;
        pairing_.ScanExtraKeys([&](std::span<const data::Canonical> key) {
            ++named;
            AddExample(VerifyDifference::Kind::ExtraRow, pairing_.KeyLabel(key));
            return named < unmatched && row_examples_ < example_limit_ && !Stopped();
        });
    }

    std::string Label(const SourceRow& row) const {
        return pairing_.Key().empty() ? PlaceLabel(row.ordinal) : pairing_.KeyLabel(row.key);
    }

    void CompareRow(const SourceRow& row, std::span<const data::Canonical> server_row) {
        bool differs = false;
        std::string label;
        const auto& columns = pairing_.Columns();
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (columns[i].bound < 0)
                continue;
            const Cell server{server_row[static_cast<std::size_t>(columns[i].bound)]};
            const Cell& access = row.cells[i];
            if (!access.unreadable && access.value == server.value)
                continue;
            differs = true;
            ++result_.differing_values;
            if (value_examples_ >= example_limit_)
                continue;
            ++value_examples_;
            if (label.empty())
                label = Label(row);
            auto [shown_access, shown_server] = ShowPair(columns[i].form, access, server);
            result_.examples.push_back({VerifyDifference::Kind::Value, label, columns[i].name,
                                        std::move(shown_access), std::move(shown_server)});
        }
        if (differs)
            ++result_.differing_rows;
    }

    void AddExample(VerifyDifference::Kind kind, std::string row) {
        if (row_examples_ >= example_limit_)
            return;
        ++row_examples_;
        result_.examples.push_back({kind, std::move(row), {}, {}, {}});
    }

    data::Connection& source_;
    RowPairing pairing_;
    const std::function<bool()>& stop_;
    // The first example_limit_ differing values are kept, and the first example_limit_ missing
    // or extra rows.
    std::size_t example_limit_;
    std::size_t value_examples_ = 0;
    std::size_t row_examples_ = 0;
    TableVerification& result_;
    const engine::ChildTable* child_;
};

} // namespace

Verifier::Verifier(engine::Cls_Convertion& engine) : engine_(engine) {}

void Verifier::UseDatabase(const std::string& database) {
    engine_.SelectDB(database);
    target_ = &engine_.DestinationDB().AsTarget();
    target_->Refresh();
}

TableVerification Verifier::VerifyTable(const std::string& table) {
    TableVerification result;
    result.table = table;
    const std::string found = target_ ? target_->FindTable(table) : std::string();
    if (found.empty()) {
        result.outcome = TableVerification::Outcome::Missing;
        return result;
    }
    TableComparison comparison(engine_.SourceDB(), *target_, Stop, example_limit, ole_contents,
                               result);
    comparison.Run(found);
    return result;
}

std::vector<TableVerification> Verifier::VerifyChildTables(const std::string& table) {
    std::vector<TableVerification> results;
    if (!children_) {
        try {
            children_ = engine::SourceChildTables(engine_.SourceDB());
        } catch (const data::DataAccessError& e) {
            TableVerification& result = results.emplace_back();
            result.table = table;
            result.outcome = TableVerification::Outcome::Failed;
            result.error = std::string("无法读取 Access 表的列表：") + e.what();
            return results;
        }
    }
    for (const auto& child : *children_) {
        if (child.parent != table)
            continue;
        TableVerification& result = results.emplace_back();
        result.table = child.name;
        const std::string found = target_ ? target_->FindTable(child.name) : std::string();
        if (found.empty()) {
            result.outcome = TableVerification::Outcome::Missing;
            continue;
        }
        TableComparison comparison(engine_.SourceDB(), *target_, Stop, example_limit, ole_contents,
                                   result, &child);
        comparison.Run(found);
        if (result.outcome == TableVerification::Outcome::Cancelled)
            break;
    }
    return results;
}

VerifyReport VerifyTables(engine::Cls_Convertion& engine, const RunWindow& window,
                          const VerifyPrinter& print, const std::function<bool()>& stop) {
    VerifyReport report;
    Verifier verifier(engine);
    verifier.Stop = stop;
    verifier.ole_contents = window.OleContentsValue() != 0;
    const std::string database = window.DatabaseName();
    try {
        verifier.UseDatabase(database);
    } catch (const data::DataAccessError& e) {
        report.outcome = VerifyReport::Outcome::ServerUnavailable;
        report.error = "无法核对数据库 '" + database + "'：" + e.what();
        return report;
    }
    int identical = 0;
    int different = 0;
    bool stopped = false;
    for (int i = 0; i < window.TableCount() && !stopped; ++i) {
        if (!window.TableTicked(i))
            continue;
        // The table, then the child tables of its complex columns.
        std::vector<TableVerification> tables{verifier.VerifyTable(window.TableText(i))};
        if (tables.front().outcome != TableVerification::Outcome::Cancelled)
            for (auto& child : verifier.VerifyChildTables(window.TableText(i)))
                tables.push_back(std::move(child));
        for (auto& table : tables) {
            if (stopped)
                break;
            for (const std::string& line : DescribeVerification(table))
                print(line);
            (table.Identical() ? identical : different) += 1;
            if (table.outcome == TableVerification::Outcome::Cancelled) {
                stopped = true;
            } else if (table.outcome == TableVerification::Outcome::Failed &&
                       engine.DestinationDB().ConnectionLost()) {
                report.outcome = VerifyReport::Outcome::ServerUnavailable;
                report.error = "与 MySQL 服务器的连接中断，核对未完成";
                stopped = true;
            }
            report.tables.push_back(std::move(table));
        }
    }
    if (report.outcome == VerifyReport::Outcome::ServerUnavailable)
        return report;
    if (stopped) {
        print("核对已中断：" + std::to_string(identical) + " 个表一致，" +
              std::to_string(different) + " 个表不一致或未核对完");
        report.outcome = VerifyReport::Outcome::Different;
    } else if (identical == 0 && different == 0) {
        print("核对完成：没有要核对的表");
    } else if (different == 0) {
        print("核对完成：" + std::to_string(identical) + " 个表全部一致");
    } else {
        print("核对完成：" + std::to_string(identical) + " 个表一致，" + std::to_string(different) +
              " 个表不一致");
        report.outcome = VerifyReport::Outcome::Different;
    }
    return report;
}

VerifyReport VerifyConversion(engine::Cls_Convertion& engine, const RunWindow& window,
                              const RunSummary& summary, const VerifyPrinter& print,
                              const std::function<bool()>& stop) {
    VerifyReport report;
    report.outcome = VerifyReport::Outcome::NothingToVerify;
    if (window.Scenario() == 1)
        print("只写入了脚本文件：服务器上没有可核对的表");
    else if (summary.cancelled)
        print("转换已中断：不核对");
    else if (summary.database_failed)
        print("数据库未能创建：服务器上没有可核对的表");
    else if (window.NoDataValue() != 0)
        print("只复制了结构：没有可核对的行");
    else
        return VerifyTables(engine, window, print, stop);
    return report;
}

} // namespace tw::run
