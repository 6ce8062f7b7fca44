#include "SyncWording.h"

#include "VerifyWording.h"

#include <string>

namespace tw::run {

namespace {

std::string Rows(std::int64_t rows) {
    return std::to_string(rows) + " 行";
}

// "新增 12 行，更新 3 行（5 个值），删除 1 行，未变 199984 行".
std::string Counts(std::int64_t inserted, std::int64_t updated, std::int64_t values,
                   std::int64_t deleted, std::int64_t kept, std::int64_t unchanged) {
    std::string text = "新增 " + Rows(inserted) + "，更新 " + Rows(updated);
    if (updated > 0)
        text += "（" + std::to_string(values) + " 个值）";
    text += "，删除 " + Rows(deleted);
    if (kept > 0)
        text += "，保留多出的 " + Rows(kept);
    return text + "，未变 " + Rows(unchanged);
}

std::string KeyList(const std::vector<std::string>& keys, std::int64_t total) {
    std::string list;
    for (const auto& key : keys)
        list += (list.empty() ? "" : "；") + key;
    if (total > static_cast<std::int64_t>(keys.size()))
        list += "……";
    return list;
}

} // namespace

std::vector<std::string> DescribeSync(const TableSync& table) {
    using Outcome = TableSync::Outcome;
    std::vector<std::string> lines;
    const std::string label = TableLabel(table.table) + (table.dry_run ? "（预演）" : "");
    const std::string will = table.dry_run ? "将" : "已";
    switch (table.outcome) {
    case Outcome::Synced:
        lines.push_back(label + "：" +
                        Counts(table.inserted, table.updated, table.updated_values, table.deleted,
                               table.kept, table.unchanged));
        if (table.inserted > 0)
            lines.push_back("  新增：" + KeyList(table.inserted_keys, table.inserted));
        if (table.updated > 0)
            lines.push_back("  更新：" + KeyList(table.updated_keys, table.updated));
        if (table.deleted > 0)
            lines.push_back("  删除：" + KeyList(table.deleted_keys, table.deleted));
        if (table.kept > 0)
            lines.push_back("  保留：" + KeyList(table.deleted_keys, table.kept));
        break;
    case Outcome::Reloaded:
        lines.push_back(label + "：没有可用于配对的主键，内容与 Access 不同，" + will +
                        "整表重新写入 " + Rows(table.written) + "（原有 " +
                        Rows(table.target_rows) + "）");
        break;
    case Outcome::SameWithoutKey:
        lines.push_back(label + "：没有可用于配对的主键，内容与 Access 相同（" +
                        Rows(table.unchanged) + "），未改动");
        break;
    case Outcome::Created:
        lines.push_back(label + "：服务器上没有这个表，" + will + "创建并写入 " +
                        Rows(table.written));
        break;
    case Outcome::StructureChanged:
        lines.push_back(label + "：结构已变，未同步");
        if (!table.removed_columns.empty())
            lines.push_back("  Access 中已没有列 " + ColumnList(table.removed_columns));
        if (!table.changed_columns.empty())
            lines.push_back("  列的类型已变：" + ColumnList(table.changed_columns));
        lines.push_back("  请不带 --sync 重新转换这个表（--table '" + table.table + "'）");
        break;
    case Outcome::Failed:
        lines.push_back(label + "：" + table.error);
        if (table.inserted || table.updated || table.deleted || table.written)
            lines.push_back("  已提交：新增 " + Rows(table.inserted) + "，更新 " +
                            Rows(table.updated) + "，删除 " + Rows(table.deleted) +
                            (table.written ? "，写入 " + Rows(table.written) : std::string()) +
                            "；再次运行 --sync 即可完成");
        break;
    case Outcome::Cancelled:
        lines.push_back(label + "：同步已中断（已提交：新增 " + Rows(table.inserted) + "，更新 " +
                        Rows(table.updated) + "，删除 " + Rows(table.deleted) + "）");
        break;
    }
    if (!table.added_columns.empty())
        lines.push_back(
            "  Access 中新增的列 " + ColumnList(table.added_columns) +
            (table.dry_run ? " 将添加到服务器上的表并填写" : " 已添加到服务器上的表并填写"));
    return lines;
}

std::vector<std::string> DescribeSyncTotals(const std::vector<TableSync>& tables, bool dry_run,
                                            bool stopped) {
    std::int64_t inserted = 0, updated = 0, values = 0, deleted = 0, kept = 0, unchanged = 0;
    int reloaded = 0, created = 0, failed = 0;
    for (const TableSync& table : tables) {
        inserted += table.inserted;
        updated += table.updated;
        values += table.updated_values;
        deleted += table.deleted;
        kept += table.kept;
        unchanged += table.unchanged;
        reloaded += table.outcome == TableSync::Outcome::Reloaded;
        created += table.outcome == TableSync::Outcome::Created;
        failed += !table.Ok();
    }
    std::string line = std::string(stopped   ? "同步已中断"
                                   : dry_run ? "预演完成"
                                             : "同步完成") +
                       "：" + std::to_string(tables.size()) + " 个表，" +
                       Counts(inserted, updated, values, deleted, kept, unchanged);
    if (reloaded > 0)
        line += "；" + std::to_string(reloaded) + " 个表整表重新写入";
    if (created > 0)
        line += "；" + std::to_string(created) + " 个表新建";
    if (failed > 0)
        line += "；" + std::to_string(failed) + " 个表未同步";
    std::vector<std::string> lines{line};
    if (dry_run)
        lines.push_back("预演：服务器上没有任何改动");
    return lines;
}

} // namespace tw::run
