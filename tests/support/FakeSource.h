#pragma once

#include "tablewright/model/DataAccess.h"
#include "tablewright/mysql/StatementDestination.h"
#include "tablewright/providers/Providers.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tw::test {

/// A column of an in-memory table.
struct FakeColumn {
    std::string name;
    int type = 0;
    std::int32_t size = 0;
    int precision = 0;
    int scale = 0;
    /// When set, every value of this column fails to read with this reason.
    std::string unreadable;
};

/// An in-memory table.
struct FakeTable {
    std::string name;
    std::string type = "TABLE";
    std::vector<FakeColumn> columns;
    std::vector<std::vector<data::Value>> rows;
    bool unreadable = false;
    /// Indexes and column properties, for conversions that keep keys.
    std::vector<data::IndexSchema> indexes;
    std::vector<std::string> required; ///< names of required columns
};

/// Shared state of the in-memory data source and the recording destination.
struct FakeWorld {
    std::vector<FakeTable> tables;
    std::vector<std::string> executed;
    std::set<std::string> refused; ///< statements the destination refuses
    bool refuse_all = false;       ///< the destination refuses everything
    std::vector<std::string> connection_strings;
    std::vector<std::string> databases{"information_schema", "mysql", "test"};
    bool fail_open = false;
    std::vector<data::RelationshipSchema> relationships;
    /// Complex columns by table, and the child rows of each by "table/column".
    std::map<std::string, std::vector<data::ComplexColumnSchema>> complex;
    std::map<std::string, FakeTable> complex_values;
};

class FakeField : public data::Field {
public:
    FakeField(const FakeColumn& column, const data::Value* const* current)
        : column_(column), current_(current) {}
    const std::string& Name() const override { return column_.name; }
    int Type() const override { return column_.type; }
    std::int32_t DefinedSize() const override { return column_.size; }
    int Precision() const override { return column_.precision; }
    int NumericScale() const override { return column_.scale; }
    const data::Value& GetValue() override {
        if (!column_.unreadable.empty())
            throw data::DataAccessError(column_.unreadable);
        return **current_;
    }

private:
    const FakeColumn& column_;
    const data::Value* const* current_;
};

class FakeRecordset : public data::Recordset {
public:
    explicit FakeRecordset(const FakeTable& table) : table_(table) {
        pointers_.resize(table.columns.size());
        for (std::size_t i = 0; i < table.columns.size(); ++i)
            fields_.push_back(std::make_unique<FakeField>(table.columns[i], &pointers_[i]));
        Point();
    }
    bool IsEOF() const override { return row_ >= table_.rows.size(); }
    bool IsBOF() const override { return table_.rows.empty(); }
    std::int64_t RecordCount() const override { return std::int64_t(table_.rows.size()); }
    void MoveNext() override {
        ++row_;
        Point();
    }
    int FieldCount() const override { return int(fields_.size()); }
    data::Field& GetField(int index) override { return *fields_.at(std::size_t(index)); }
    void Close() override {}
    std::vector<std::string> ColumnWarnings() const override {
        std::vector<std::string> warnings;
        for (const auto& c : table_.columns)
            if (!c.unreadable.empty())
                warnings.push_back("列 '" + c.name + "' 无法读取：" + c.unreadable);
        return warnings;
    }

private:
    void Point() {
        static const data::Value null_value;
        for (std::size_t i = 0; i < pointers_.size(); ++i)
            pointers_[i] = row_ < table_.rows.size() ? &table_.rows[row_][i] : &null_value;
    }
    const FakeTable& table_;
    std::size_t row_ = 0;
    std::vector<const data::Value*> pointers_;
    std::vector<std::unique_ptr<FakeField>> fields_;
};

class FakeProvider : public data::Provider {
public:
    explicit FakeProvider(FakeWorld& world) : world_(world) {}
    void Execute(std::string_view sql) override {
        world_.executed.emplace_back(sql);
        if (world_.refuse_all || world_.refused.count(std::string(sql)))
            throw data::DataAccessError("refused: " + std::string(sql.substr(0, 20)));
    }
    std::unique_ptr<data::Recordset> OpenRecordset(std::string_view sql) override {
        if (sql == "SHOW DATABASES") {
            static FakeTable listing;
            listing = FakeTable{"databases", "TABLE", {{"Database", 202, 64}}, {}};
            for (const auto& db : world_.databases)
                listing.rows.push_back({data::Value(db)});
            return std::make_unique<FakeRecordset>(listing);
        }
        throw data::DataAccessError("unsupported query");
    }
    std::unique_ptr<data::Recordset> OpenTable(const std::string& name) override {
        for (const auto& table : world_.tables)
            if (table.name == name && !table.unreadable)
                return std::make_unique<FakeRecordset>(table);
        throw data::DataAccessError("找不到表 '" + name + "'。");
    }
    data::TableSchema ReadTableSchema(const std::string& name) override {
        for (const auto& table : world_.tables) {
            if (table.name != name)
                continue;
            data::TableSchema schema{table.name};
            for (const auto& column : table.columns) {
                data::ColumnSchema c{column.name, 0, column.type, column.size};
                c.required = std::find(table.required.begin(), table.required.end(), column.name) !=
                             table.required.end();
                schema.columns.push_back(c);
            }
            schema.indexes = table.indexes;
            return schema;
        }
        throw data::DataAccessError("找不到表 '" + name + "'。");
    }
    std::vector<data::RelationshipSchema> ReadRelationships() override {
        return world_.relationships;
    }
    std::vector<data::ComplexColumnSchema> ReadComplexColumns(const std::string& name) override {
        const auto found = world_.complex.find(name);
        return found == world_.complex.end() ? std::vector<data::ComplexColumnSchema>{}
                                             : found->second;
    }
    std::unique_ptr<data::Recordset> OpenComplexValues(const std::string& table,
                                                       const std::string& column) override {
        const auto found = world_.complex_values.find(table + "/" + column);
        if (found == world_.complex_values.end())
            throw data::DataAccessError("no values of " + column);
        return std::make_unique<FakeRecordset>(found->second);
    }
    std::vector<data::SchemaTableRow> SchemaTables() override {
        std::vector<data::SchemaTableRow> rows;
        for (const auto& table : world_.tables)
            rows.push_back({table.name, table.type});
        return rows;
    }

    // Receives tables as MySQL statements text, recorded by Execute.
    data::Destination* AsDestination() override {
        if (!destination_)
            destination_ = std::make_unique<data::StatementDestination>(*this);
        return destination_.get();
    }

private:
    FakeWorld& world_;
    std::unique_ptr<data::StatementDestination> destination_;
};

/// A provider factory over the fake world; records every connection string.
inline data::ProviderFactory FakeFactory(FakeWorld& world) {
    return [&world](const std::string& connection_string) -> std::unique_ptr<data::Provider> {
        world.connection_strings.push_back(connection_string);
        if (world.fail_open)
            throw data::DataAccessError("不是有效的密码。");
        return std::make_unique<FakeProvider>(world);
    };
}

} // namespace tw::test
