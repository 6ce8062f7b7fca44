#include "tablewright/mysql/StatementDestination.h"
#include "tablewright/mysql/MySqlDialect.h"

namespace tw::data {

void StatementDestination::DropTable(const std::string& table) {
    provider_.Execute(MySqlDialect::DropTable(table));
}

void StatementDestination::CreateTable(const TableSchema& table, const TableOptions& options) {
    provider_.Execute(MySqlDialect::CreateTable(table, options));
}

void StatementDestination::BeginRows(const TableSchema& table) {
    table_ = table;
}

void StatementDestination::AppendRow(std::span<const Value> row) {
    statement_.clear();
    MySqlDialect::AppendInsert(statement_, table_.name, row, table_.columns);
    provider_.Execute(statement_);
}

void StatementDestination::EndTable() {
    provider_.Flush();
}

void StatementDestination::Execute(std::string_view statement) {
    provider_.Execute(statement);
}

void StatementDestination::AddForeignKey(const RelationshipSchema& relationship) {
    provider_.Execute(MySqlDialect::ForeignKey(relationship));
}

} // namespace tw::data
