#pragma once

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"

#include <string>

namespace tw::data {

/// A destination over any provider that runs statement text: each call becomes one statement of
/// the MySQL dialect, each row one INSERT.
class StatementDestination final : public Destination {
public:
    explicit StatementDestination(Provider& provider) : provider_(provider) {}
    void DropTable(const std::string& table) override;
    void CreateTable(const TableSchema& table, const TableOptions& options) override;
    void BeginRows(const TableSchema& table) override;
    void AppendRow(std::span<const Value> row) override;
    void EndTable() override;
    void Execute(std::string_view statement) override;
    void AddForeignKey(const RelationshipSchema& relationship) override;

private:
    Provider& provider_;
    TableSchema table_;
    std::string statement_;
};

} // namespace tw::data
