#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"
#include "tablewright/model/Target.h"

#include <utility>

namespace tw::data {

Connection::Connection(ProviderFactory factory) : factory_(std::move(factory)) {}

Connection::~Connection() {
    Close();
}

void Connection::Open(const std::string& connection_string) {
    Close();
    try {
        provider_ = factory_(connection_string);
        if (!provider_)
            throw DataAccessError("无法打开连接。");
        Configure();
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
        throw;
    }
}

void Connection::Open(const ProviderOpener& open) {
    Close();
    try {
        provider_ = open();
        if (!provider_)
            throw DataAccessError("无法打开连接。");
        Configure();
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
        throw;
    }
}

void Connection::Configure() {
    provider_->SetBatchRows(batch_rows_);
    provider_->SetFailureHandler([this](const std::string& error) {
        last_error_ = error;
        if (failure_handler_)
            failure_handler_(error);
    });
}

void Connection::SetBatchRows(int rows) {
    batch_rows_ = rows < 1 ? 1 : rows;
    if (provider_)
        provider_->SetBatchRows(batch_rows_);
}

void Connection::SetFailureHandler(FailureHandler handler) {
    failure_handler_ = std::move(handler);
}

void Connection::Close() noexcept {
    if (!provider_)
        return;
    try {
        provider_->Flush();
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
    }
    provider_.reset();
}

Provider& Connection::Require() {
    if (!provider_) {
        last_error_ = "连接未打开。";
        throw DataAccessError(last_error_);
    }
    return *provider_;
}

// Runs a call on the provider; a failure is kept as LastError() and passed on.
template <typename Call>
auto Connection::Guarded(Call&& call) -> decltype(call(std::declval<Provider&>())) {
    try {
        return call(Require());
    } catch (const DataAccessError& e) {
        last_error_ = e.what();
        throw;
    }
}

void Connection::Execute(std::string_view sql) {
    Guarded([&](Provider& p) { p.Execute(sql); });
}

std::unique_ptr<Recordset> Connection::OpenRecordset(std::string_view sql) {
    return Guarded([&](Provider& p) { return p.OpenRecordset(sql); });
}

std::vector<SchemaTableRow> Connection::OpenSchemaTables() {
    return Guarded([&](Provider& p) { return p.SchemaTables(); });
}

std::unique_ptr<Recordset> Connection::OpenTable(const std::string& table) {
    return Guarded([&](Provider& p) { return p.OpenTable(table); });
}

TableSchema Connection::ReadTableSchema(const std::string& table) {
    return Guarded([&](Provider& p) { return p.ReadTableSchema(table); });
}

std::vector<ComplexColumnSchema> Connection::ReadComplexColumns(const std::string& table) {
    return Guarded([&](Provider& p) { return p.ReadComplexColumns(table); });
}

std::unique_ptr<Recordset> Connection::OpenComplexValues(const std::string& table,
                                                         const std::string& column) {
    return Guarded([&](Provider& p) { return p.OpenComplexValues(table, column); });
}

std::vector<RelationshipSchema> Connection::ReadRelationships() {
    return Guarded([&](Provider& p) { return p.ReadRelationships(); });
}

std::vector<QuerySchema> Connection::ReadQueries() {
    return Guarded([](Provider& p) { return p.ReadQueries(); });
}

void Connection::EnsureConnected() {
    Guarded([](Provider& p) { p.EnsureConnected(); });
}

void Connection::Flush() {
    Guarded([](Provider& p) { p.Flush(); });
}

Destination& Connection::AsDestination() {
    Provider& provider = Require();
    if (Destination* own = provider.AsDestination())
        return *own;
    throw DataAccessError("此连接不能接收转换的表。");
}

TargetDatabase& Connection::AsTarget() {
    Provider& provider = Require();
    if (TargetDatabase* own = provider.AsTarget())
        return *own;
    throw DataAccessError("此连接不能读回或同步转换的表。");
}

// Sources that know no tables of their own answer as a query-only source would.
std::unique_ptr<Recordset> Provider::OpenTable(const std::string& table) {
    throw DataAccessError("无法按表名读取 '" + table + "'：此数据源不支持。");
}

std::unique_ptr<Recordset> Provider::OpenComplexValues(const std::string& table,
                                                       const std::string& column) {
    throw DataAccessError("无法读取表 '" + table + "' 的列 '" + column +
                          "' 的值：此数据源不支持。");
}

TableSchema Provider::ReadTableSchema(const std::string& table) {
    throw DataAccessError("无法读取表 '" + table + "' 的定义：此数据源不支持。");
}

} // namespace tw::data
