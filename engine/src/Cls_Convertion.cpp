#include "tablewright/engine/Cls_Convertion.h"

#include "tablewright/model/ConnectionString.h"
#include "tablewright/model/Destination.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/SqlText.h"

#include <algorithm>

namespace tw::engine {

namespace {

// The accent-sensitive collation a script file names for servers that know it (MariaDB 10.10
// and later); others make the table with their default collation.
constexpr const char* kScriptCollation = "utf8mb4_uca1400_nopad_as_ci";

} // namespace

Cls_Convertion::Cls_Convertion(data::ProviderFactory factory)
    : table_type_clause_(data::MySqlDialect::TableClause("MyISAM")),
      source_connection_(std::make_unique<data::Connection>(factory)),
      destination_connection_(std::make_unique<data::Connection>(factory)) {
    copy_events_.statement = [this](std::string& statement) {
        if (ExecuteInfo)
            ExecuteInfo(statement);
    };
    copy_events_.refused = [this](std::string& statement) {
        statement_refused_ = true;
        if (ExecuteInfo)
            ExecuteInfo(statement);
        statement_refused_ = false;
    };
    copy_events_.progress = [this](std::int32_t& percent) {
        if (Progress)
            Progress(percent);
    };
    copy_events_.yield = [this] { Yield(); };
    copier_ = std::make_unique<TableCopier>(*source_connection_, *destination_connection_,
                                            copy_events_, EndProgress);
    // Rows the destination held back and refused later count for the table being converted.
    destination_connection_->SetFailureHandler(
        [this](const std::string& error) { copier_->CountFailure(error); });
}

void Cls_Convertion::SetBatchRows(int rows) {
    destination_connection_->SetBatchRows(rows);
}

Cls_Convertion::~Cls_Convertion() {
    source_connection_->Close();
    destination_connection_->Close();
}

bool Cls_Convertion::OpenConnection(data::Connection& connection,
                                    const std::string& connection_string) {
    try {
        connection.Open(connection_string);
    } catch (const data::DataAccessError& e) {
        if (ShowCriticalMessage)
            ShowCriticalMessage(e.what());
    }
    return connection.State() != 0;
}

bool Cls_Convertion::OpenSourceDB(const std::string& sFileName, const std::string& pwd) {
    source_connection_->Close();
    std::string connection_string =
        "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + data::QuoteConnectionValue(sFileName);
    if (!pwd.empty())
        connection_string += ";Persist Security Info=False;Jet OLEDB:Database Password=" +
                             data::QuoteConnectionValue(pwd);
    if (!source_charset_.empty())
        connection_string += ";Source Charset=" + data::QuoteConnectionValue(source_charset_);
    return OpenConnection(*source_connection_, connection_string);
}

bool Cls_Convertion::OpenDestinationDB(const std::string& host, const std::string& user,
                                       const std::string& pwd, std::int32_t port) {
    std::string connection_string =
        "DRIVER={MySQL ODBC 3.51 Driver};SERVER=" + data::QuoteConnectionValue(host) +
        ";UID=" + data::QuoteConnectionValue(user) + ";PWD=" + data::QuoteConnectionValue(pwd) +
        ";PORT=" + std::to_string(port);
    if (server_timeout_seconds_ > 0) {
        const std::string seconds = std::to_string(server_timeout_seconds_);
        connection_string += ";READTIMEOUT=" + seconds + ";WRITETIMEOUT=" + seconds;
    }
    destination_connection_->Close();
    server_collation_.reset();
    return OpenConnection(*destination_connection_, connection_string);
}

bool Cls_Convertion::OpenDestinationDB(const data::MySqlTarget& target) {
    data::MySqlTarget settled = target;
    if (server_timeout_seconds_ > 0) {
        settled.read_timeout_seconds = server_timeout_seconds_;
        settled.write_timeout_seconds = server_timeout_seconds_;
    }
    destination_connection_->Close();
    server_collation_.reset();
    return OpenConnection(*destination_connection_, data::MySqlConnectionString(settled));
}

void Cls_Convertion::Yield() {
    if (DoEvents)
        DoEvents();
}

void Cls_Convertion::createDB(const std::string& sDBName) {
    // A connection that was lost while the user chose the tables is opened again first.
    destination_connection_->EnsureConnected();
    std::string statement = "CREATE DATABASE IF NOT EXISTS `";
    data::AppendNameText(statement, sDBName);
    statement += "`;";
    try {
        destination_connection_->Execute(statement);
    } catch (const data::DataAccessError& e) {
        // A user whose rights cover the tables of an existing database but not the database
        // itself can still convert into it; when it cannot be selected either, the reason the
        // creation was refused is the one to show.
        const std::string reason = e.what();
        try {
            SelectDB(sDBName);
        } catch (const data::DataAccessError&) {
            throw data::DataAccessError(reason);
        }
        Yield();
        return;
    }
    SelectDB(sDBName);
    Yield();
}

void Cls_Convertion::SelectDB(const std::string& sDBName) {
    std::string statement = "USE `";
    data::AppendNameText(statement, sDBName);
    statement += "`;";
    destination_connection_->Execute(statement);
    Yield();
}

void Cls_Convertion::SetTableType(const std::string& isType) {
    table_type_ = isType;
    table_type_clause_ = data::MySqlDialect::TableClause(isType);
}

std::string Cls_Convertion::ClusterRefusal() {
    if (destination_connection_->State() == 0 || data::Utf8ToLower(table_type_) == "innodb")
        return {};
    std::string cluster;
    try {
        // MySQL and MariaDB without Galera do not know the variable.
        auto rs = destination_connection_->OpenRecordset("SELECT @@GLOBAL.wsrep_on");
        if (!rs->IsEOF())
            if (const auto* text = std::get_if<std::string>(&rs->GetField(0).GetValue()))
                cluster = *text;
    } catch (const data::DataAccessError&) {
        return {};
    }
    if (cluster != "1" && data::Utf8ToLower(cluster) != "on")
        return {};
    return "服务器是 Galera 集群，只复制 InnoDB 表：表类型 " + table_type_ +
           " 的表只会留在这一个节点上，其他节点上是空的。请改用 InnoDB 表类型。";
}

bool Cls_Convertion::ExecuteSQL(const std::string& SQL) {
    try {
        destination_connection_->Execute(SQL);
        return true;
    } catch (const data::DataAccessError&) {
        return false; // the reason stays in DestinationDB().LastError()
    }
}

std::string Cls_Convertion::GetMySQLType(int type_code) {
    return data::MySqlDialect::TypeName(type_code);
}

std::string Cls_Convertion::ColumnTypeText(int type_code, std::int32_t defined_size, int precision,
                                           int scale) {
    return data::MySqlDialect::TypeText(type_code, defined_size, precision, scale);
}

std::string Cls_Convertion::ConvFieldType(data::Field& iField) {
    data::ColumnSchema column;
    column.ado_type = iField.Type();
    column.size = iField.DefinedSize();
    column.precision = iField.Precision();
    column.scale = iField.NumericScale();
    return data::MySqlDialect::ColumnType(column);
}

std::string Cls_Convertion::GetInsertSQL(data::Recordset& rs, const std::string& table_name) {
    std::string statement;
    AppendInsertSQL(statement, rs, table_name);
    return statement;
}

void Cls_Convertion::AppendInsertSQL(std::string& statement, data::Recordset& rs,
                                     const std::string& table_name) {
    const int count = rs.FieldCount();
    std::vector<data::Value> values;
    std::vector<data::ColumnSchema> columns(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        data::Field& field = rs.GetField(i);
        columns[static_cast<std::size_t>(i)].ado_type = field.Type();
        try {
            values.push_back(field.GetValue());
        } catch (const data::DataAccessError& e) {
            values.emplace_back(); // never garbage: the engine counts such rows as failed
            if (!last_report_.failed_statements++)
                last_report_.first_error = "列 '" + field.Name() + "' 的值无法读取：" + e.what();
        }
    }
    data::MySqlDialect::AppendInsert(statement, table_name, values, columns);
}

CopyOptions Cls_Convertion::OptionsFor(bool with_data, bool drop_table, bool dump_only) {
    CopyOptions options;
    options.with_data = with_data;
    options.drop_table = drop_table;
    options.table.engine = table_type_;
    options.table.keys = keep_keys_;
    options.ole_contents = ole_contents_;
    if (keep_keys_) {
        if (!dump_only && destination_connection_->State() != 0) {
            if (!server_collation_) {
                try {
                    server_collation_ =
                        destination_connection_->AsDestination().AccentSensitiveCollation();
                } catch (const data::DataAccessError&) {
                    server_collation_ = std::string();
                }
            }
            options.table.collation = *server_collation_;
        } else {
            options.table.collation = kScriptCollation;
            options.table.collation_versioned = true;
        }
    }
    return options;
}

void Cls_Convertion::ConvTable(const std::string& sTableName, bool WithData, bool DropTable,
                               bool DumpSQLonly) {
    copier_->Copy(sTableName, OptionsFor(WithData, DropTable, DumpSQLonly),
                  DumpSQLonly ? Output::StatementsOnly : Output::Server, last_report_);
}

std::vector<RelationshipReport>
Cls_Convertion::ConvRelationships(const std::set<std::string>& converted, bool DumpSQLonly) {
    if (!keep_keys_)
        return {};
    return copier_->AddRelationships(converted, OptionsFor(false, false, DumpSQLonly),
                                     DumpSQLonly ? Output::StatementsOnly : Output::Server);
}

std::vector<ViewReport> Cls_Convertion::ConvViews(const std::set<std::string>& converted,
                                                  bool DumpSQLonly) {
    return copier_->AddViews(converted, DumpSQLonly ? Output::StatementsOnly : Output::Server);
}

std::vector<data::QuerySchema> Cls_Convertion::SourceQueries() {
    if (source_connection_->State() == 0)
        return {};
    return source_connection_->ReadQueries();
}

std::vector<data::TableEntry> Cls_Convertion::SourceTables() {
    std::vector<data::TableEntry> entries;
    if (source_connection_->State() == 0)
        return entries;
    std::vector<data::SchemaTableRow> rows;
    try {
        rows = source_connection_->OpenSchemaTables();
    } catch (const data::DataAccessError&) {
        return entries;
    }
    for (const auto& row : rows) {
        if (row.table_type != "TABLE")
            continue;
        std::int64_t count = 0;
        try {
            auto rs = source_connection_->OpenTable(row.table_name);
            count = rs->RecordCount();
            rs->Close();
        } catch (const data::DataAccessError&) {
        }
        entries.push_back({row.table_name, count});
    }
    return entries;
}

std::vector<data::SchemaTableRow> Cls_Convertion::LinkedTables() {
    std::vector<data::SchemaTableRow> links;
    if (source_connection_->State() == 0)
        return links;
    try {
        for (auto& row : source_connection_->OpenSchemaTables())
            if (row.table_type == "LINK")
                links.push_back(std::move(row));
    } catch (const data::DataAccessError&) {
    }
    return links;
}

std::int32_t Cls_Convertion::GetSourceTables(std::vector<std::string>& tblName) {
    const std::vector<data::TableEntry> entries = SourceTables();
    if (entries.empty())
        return 0;
    tblName.resize(std::max(tblName.size(), entries.size() + 1));
    for (std::size_t i = 0; i < entries.size(); ++i)
        tblName[i + 1] = entries[i].name + ":" + std::to_string(entries[i].rows);
    return static_cast<std::int32_t>(entries.size());
}

std::int32_t Cls_Convertion::GetMySQLDatabases(std::vector<std::string>& Dbname) {
    if (destination_connection_->State() == 0)
        return 0;
    try {
        auto rs = destination_connection_->OpenRecordset("SHOW DATABASES");
        const auto count = static_cast<std::int32_t>(rs->RecordCount());
        if (!(rs->IsEOF() && rs->IsBOF())) {
            Dbname.assign(static_cast<std::size_t>(count) + 1, std::string());
            std::size_t i = 1;
            while (!rs->IsEOF() && i < Dbname.size()) {
                const data::Value& value = rs->GetField(0).GetValue();
                if (const auto* text = std::get_if<std::string>(&value))
                    Dbname[i] = *text;
                ++i;
                rs->MoveNext();
            }
        }
        rs->Close();
        return count;
    } catch (const data::DataAccessError&) {
        return 0;
    }
}

} // namespace tw::engine
