#include "tablewright/engine/Cls_Convertion.h"

#include "tablewright/model/ConnectionString.h"

#include <algorithm>
#include <stdexcept>

namespace tw::engine {

Cls_Convertion::Cls_Convertion(data::ProviderFactory factory,
                               const data::ScriptDestinationFactory& script)
    : source_connection_(std::make_unique<data::Connection>(factory)),
      destination_connection_(std::make_unique<data::Connection>(factory)),
      script_(script ? script() : nullptr) {
    if (!script_)
        throw std::invalid_argument("Cls_Convertion needs a script destination");
    table_type_clause_ = script_->TableClause(table_type_);
    copy_events_.statement = [this](data::MadeStatement& statement) {
        if (!ExecuteInfo)
            return;
        reported_ = &statement;
        try {
            ExecuteInfo(statement.text);
        } catch (...) {
            reported_ = nullptr;
            throw;
        }
        reported_ = nullptr;
    };
    copy_events_.progress = [this](std::int32_t& percent) {
        if (Progress)
            Progress(percent);
    };
    copy_events_.yield = [this] { Yield(); };
    copier_ = std::make_unique<TableCopier>(*source_connection_, *destination_connection_, *script_,
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

bool Cls_Convertion::OpenDestinationDB(const DestinationOpener& open) {
    destination_connection_->Close();
    server_collation_.reset();
    try {
        const unsigned timeout = server_timeout_seconds_;
        destination_connection_->Open([&] { return open(timeout); });
    } catch (const data::DataAccessError& e) {
        if (ShowCriticalMessage)
            ShowCriticalMessage(e.what());
    }
    return destination_connection_->State() != 0;
}

void Cls_Convertion::Yield() {
    if (DoEvents)
        DoEvents();
}

void Cls_Convertion::createDB(const std::string& sDBName) {
    // A connection that was lost while the user chose the tables is opened again first.
    destination_connection_->EnsureConnected();
    destination_connection_->AsDestination().CreateDatabase(sDBName);
    // The window processes its events once for the selection and once for the creation.
    Yield();
    Yield();
}

void Cls_Convertion::SelectDB(const std::string& sDBName) {
    destination_connection_->AsDestination().UseDatabase(sDBName);
    Yield();
}

void Cls_Convertion::SetTableType(const std::string& isType) {
    table_type_ = isType;
    table_type_clause_ = script_->TableClause(isType);
}

std::string Cls_Convertion::ClusterRefusal() {
    if (destination_connection_->State() == 0)
        return {};
    try {
        return destination_connection_->AsDestination().ClusterRefusal(table_type_);
    } catch (const data::DataAccessError&) {
        return {}; // a connection that receives no tables keeps none anywhere
    }
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
    return script_->TypeName(type_code);
}

std::string Cls_Convertion::ConvFieldType(data::Field& iField) {
    data::ColumnSchema column;
    column.ado_type = iField.Type();
    column.size = iField.DefinedSize();
    column.precision = iField.Precision();
    column.scale = iField.NumericScale();
    return script_->ColumnType(column);
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
    script_->AppendInsert(statement, table_name, values, columns);
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
            // The script destination names its collation for the servers that know it.
            options.table.collation = script_->AccentSensitiveCollation();
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
    listing_failures_.clear();
    if (source_connection_->State() == 0)
        return entries;
    std::vector<data::SchemaTableRow> rows;
    try {
        rows = source_connection_->OpenSchemaTables();
    } catch (const data::DataAccessError& e) {
        listing_failures_.push_back({"", e.what()});
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
        } catch (const data::DataAccessError& e) {
            // Still listed, so that converting it says what is wrong; the caller names it.
            listing_failures_.push_back({row.table_name, e.what()});
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
