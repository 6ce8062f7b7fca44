#include "tablewright/engine/ComplexTables.h"

#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlDialect.h"

#include <set>

namespace tw::engine {

namespace {

std::string KindLabel(data::ComplexKind kind) {
    switch (kind) {
    case data::ComplexKind::Attachment:
        return "附件列";
    case data::ComplexKind::MultiValue:
        return "多值列";
    case data::ComplexKind::VersionHistory:
        return "版本历史列";
    case data::ComplexKind::Other:
        break;
    }
    return "复杂数据列";
}

} // namespace

std::vector<ChildTable> NameChildTables(const std::vector<std::string>& tables,
                                        const ComplexColumnLookup& columns) {
    // Every table of the source keeps its own name; child tables take what is left.
    std::set<std::string> taken;
    for (const auto& table : tables)
        taken.insert(data::Utf8ToLower(table));
    std::vector<ChildTable> children;
    for (const auto& table : tables) {
        for (auto& column : columns(table)) {
            if (column.kind == data::ComplexKind::Other)
                continue;
            ChildTable& child = children.emplace_back();
            child.parent = table;
            const bool history = column.kind == data::ComplexKind::VersionHistory &&
                                 !column.versioned_column.empty();
            const std::string wanted = history ? table + "_" + column.versioned_column + "_history"
                                               : table + "_" + column.column;
            child.name = data::MySqlDialect::UniqueName(wanted, taken);
            child.column = std::move(column);
        }
    }
    return children;
}

std::vector<ChildTable> SourceChildTables(data::Connection& source) {
    std::vector<std::string> tables;
    for (const auto& row : source.OpenSchemaTables())
        if (row.table_type == "TABLE")
            tables.push_back(row.table_name);
    return NameChildTables(tables, [&source](const std::string& table) {
        try {
            return source.ReadComplexColumns(table);
        } catch (const data::DataAccessError&) {
            return std::vector<data::ComplexColumnSchema>{};
        }
    });
}

data::TableSchema ChildTableSchema(const ChildTable& child, data::Recordset& rows, bool keys) {
    data::TableSchema schema;
    schema.name = child.name;
    for (int i = 0; i < rows.FieldCount(); ++i) {
        data::Field& field = rows.GetField(i);
        data::ColumnSchema& column = schema.columns.emplace_back();
        column.name = field.Name();
        column.ado_type = field.Type();
        column.size = field.DefinedSize();
        column.precision = field.Precision();
        column.scale = field.NumericScale();
    }
    if (!keys)
        return schema;
    schema.description = child.column.versioned_column.empty()
                             ? "Access 表 '" + child.parent + "' 的" +
                                   KindLabel(child.column.kind) + " '" + child.column.column +
                                   "' 的值"
                             : "Access 表 '" + child.parent + "' 的备注列 '" +
                                   child.column.versioned_column + "' 的版本历史";
    // The parent's key columns come first, then the complex value id.
    const std::size_t key_columns = child.column.parent_key.size();
    if (key_columns > 0 && key_columns < schema.columns.size()) {
        data::IndexSchema& parent = schema.indexes.emplace_back();
        parent.name = "parent_key";
        for (std::size_t i = 0; i < key_columns; ++i)
            parent.columns.push_back({schema.columns[i].name, false});
    }
    if (key_columns < schema.columns.size()) {
        data::IndexSchema& id = schema.indexes.emplace_back();
        id.name = std::string(data::kComplexIdField);
        id.columns.push_back({schema.columns[key_columns].name, false});
    }
    return schema;
}

std::optional<data::RelationshipSchema> ChildForeignKey(const ChildTable& child) {
    if (child.column.parent_key.empty())
        return std::nullopt;
    data::RelationshipSchema relationship;
    // Constraint names are the database's: the child table's own name is one no table has.
    relationship.name = child.name;
    relationship.parent_table = child.parent;
    relationship.child_table = child.name;
    for (const auto& column : child.column.parent_key)
        relationship.columns.push_back({column, column});
    relationship.enforced = true;
    relationship.cascade_update = true;
    relationship.cascade_delete = true;
    return relationship;
}

std::string UnknownComplexNote(const data::ComplexColumnSchema& column) {
    return "列 '" + column.column + "' 是种类无法识别的复杂数据列（" + column.note +
           "）：其值未转换，该列只保留每行的复杂值编号（整数）";
}

} // namespace tw::engine
