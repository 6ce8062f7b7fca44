#include "tablewright/engine/RequiredColumns.h"

#include "tablewright/model/AdoTypes.h"

#include <set>

namespace tw::engine {

RequiredColumns::RequiredColumns(const data::TableSchema& schema, bool keys) {
    if (!keys)
        return;
    std::set<std::string> primary;
    for (const auto& index : schema.indexes)
        if (index.primary)
            for (const auto& column : index.columns)
                primary.insert(column.name);
    for (std::size_t i = 0; i < schema.columns.size(); ++i) {
        const data::ColumnSchema& column = schema.columns[i];
        if (column.required && column.ado_type != data::adBoolean && !primary.contains(column.name))
            watched_.push_back(i);
    }
    nulls_.assign(watched_.size(), 0);
}

std::vector<std::size_t> RequiredColumns::FirstNulls(std::span<const data::Value> row) {
    std::vector<std::size_t> first;
    for (std::size_t i = 0; i < watched_.size(); ++i) {
        const std::size_t column = watched_[i];
        if (column < row.size() && std::holds_alternative<std::monostate>(row[column]) &&
            nulls_[i]++ == 0)
            first.push_back(column);
    }
    return first;
}

std::vector<std::string> RequiredColumns::Notes(const data::TableSchema& schema) const {
    std::vector<std::string> notes;
    for (std::size_t i = 0; i < watched_.size(); ++i)
        if (nulls_[i] > 0)
            notes.push_back("列 '" + schema.columns[watched_[i]].name +
                            "' 在 Access 中为必填，但有 " + std::to_string(nulls_[i]) +
                            " 行没有值（该列是在这些行写入之后才设为必填的）：未设为 NOT NULL，"
                            "这些行照原样保留");
    return notes;
}

} // namespace tw::engine
