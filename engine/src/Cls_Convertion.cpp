#include "tablewright/engine/Cls_Convertion.h"

#include "tablewright/dataaccess/AdoTypes.h"
#include "tablewright/dataaccess/ConnectionString.h"
#include "tablewright/engine/SqlText.h"

#include <algorithm>
#include <cmath>

namespace tw::engine {

namespace {

std::string TypeClauseFor(const std::string& type) {
    // Every current server knows ENGINE= (TYPE= is refused); utf8mb4 keeps any text intact
    // whatever the server's default character set is.
    return "ENGINE=" + type + " DEFAULT CHARSET=utf8mb4";
}

} // namespace

Cls_Convertion::Cls_Convertion(data::ProviderFactory factory)
    : table_type_clause_(TypeClauseFor("MyISAM")),
      source_connection_(std::make_unique<data::Connection>(factory)),
      destination_connection_(std::make_unique<data::Connection>(factory)) {
    // Rows the destination held back and refused later count for the table being converted.
    destination_connection_->SetFailureHandler(
        [this](const std::string& error) { CountFailure(error); });
}

void Cls_Convertion::SetBatchRows(int rows) { destination_connection_->SetBatchRows(rows); }

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
    return OpenConnection(*destination_connection_, connection_string);
}

void Cls_Convertion::Yield() {
    if (DoEvents)
        DoEvents();
}

void Cls_Convertion::createDB(const std::string& sDBName) {
    // A connection that was lost while the user chose the tables is opened again first.
    destination_connection_->EnsureConnected();
    std::string statement = "CREATE DATABASE IF NOT EXISTS `";
    AppendNameText(statement, sDBName);
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
    AppendNameText(statement, sDBName);
    statement += "`;";
    destination_connection_->Execute(statement);
    Yield();
}

void Cls_Convertion::SetTableType(const std::string& isType) {
    table_type_clause_ = TypeClauseFor(isType);
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
    using namespace data;
    switch (type_code) {
    case adSmallInt: return "SmallInt";
    case adInteger: return "Int";
    case adSingle: return "Float";
    case adDouble: return "Double";
    // Access currency has 15 integer digits and 4 decimals.
    case adCurrency: return "decimal(19,4)";
    // A date keeps its time of day; timestamp(14) is refused by current servers.
    case adDate: return "DateTime";
    case adBoolean: return "TinyInt(1)";
    // Precision and scale follow from the field.
    case adDecimal: return "decimal";
    case adTinyInt: return "TinyInt";
    case adUnsignedTinyInt: return "TinyInt Unsigned";
    case adUnsignedSmallInt: return "SmallInt Unsigned";
    case adUnsignedInt: return "Int Unsigned";
    case adBigInt: return "BigInt";
    case adUnsignedBigInt: return "BigInt Unsigned";
    case adBinary: return "Blob";
    case adChar: return "Char";
    case adWChar: return "Char";
    case adNumeric: return "decimal";
    case adDBDate: return "Date";
    case adDBTime: return "Time";
    case adDBTimeStamp: return "DateTime";
    case adVarChar: return "Varchar";
    case adLongVarChar: return "MediumText";
    case adVarWChar: return "Varchar";
    case adLongVarWChar: return "MediumText";
    case adVarBinary: return "Blob";
    case adLongVarBinary: return "LongBlob";
    default: return "Varchar(255)";
    }
}

std::string Cls_Convertion::ColumnTypeText(int type_code, std::int32_t defined_size,
                                           int precision, int scale) {
    std::string text = Utf8ToLower(GetMySQLType(type_code));
    if (text == "char" || text == "varchar") {
        text += "(" + std::to_string(defined_size) + ")";
    } else if (text == "decimal") {
        // MySQL allows 65 digits and 30 decimals; a bare decimal would be decimal(10,0).
        const int p = std::clamp(precision, 1, 65);
        const int s = std::clamp(scale, 0, std::min(30, p));
        text += "(" + std::to_string(p) + "," + std::to_string(s) + ")";
    }
    return text;
}

std::string Cls_Convertion::ConvFieldType(data::Field& iField) {
    const int type = iField.Type();
    std::string text = Utf8ToLower(GetMySQLType(type));
    if (text == "char" || text == "varchar" || text == "decimal")
        return ColumnTypeText(type, text == "decimal" ? 0 : iField.DefinedSize(),
                              text == "decimal" ? iField.Precision() : 0,
                              text == "decimal" ? iField.NumericScale() : 0);
    return text;
}

std::string Cls_Convertion::GetInsertSQL(data::Recordset& rs, const std::string& table_name) {
    std::string statement;
    AppendInsertSQL(statement, rs, table_name);
    return statement;
}

void Cls_Convertion::AppendInsertSQL(std::string& statement, data::Recordset& rs,
                                     const std::string& table_name) {
    statement += "INSERT INTO `";
    AppendNameText(statement, table_name);
    statement += "` values(";
    const int count = rs.FieldCount();
    std::string unreadable;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            statement += ',';
        data::Field& field = rs.GetField(i);
        try {
            AppendValueLiteral(statement, field.GetValue(), field.Type());
        } catch (const data::DataAccessError& e) {
            // A value that cannot be read exactly is written as NULL, never as garbage, and
            // the row is counted as failed.
            statement += "NULL";
            if (unreadable.empty())
                unreadable = "列 '" + field.Name() + "' 的值无法读取：" + e.what();
        }
    }
    statement += ");";
    if (!unreadable.empty())
        CountFailure(unreadable);
}

void Cls_Convertion::CountFailure(const std::string& error) {
    if (last_report_.failed_statements++ == 0)
        last_report_.first_error = error;
}

bool Cls_Convertion::Report(std::string& statement, bool execute) {
    bool accepted = true;
    if (execute && !ExecuteSQL(statement)) {
        accepted = false;
        CountFailure(destination_connection_->LastError());
    } else if (!execute && !unsent_reason_.empty()) {
        CountFailure(unsent_reason_);
    }
    if (ExecuteInfo)
        ExecuteInfo(statement);
    return accepted;
}

void Cls_Convertion::ConvTable(const std::string& sTableName, bool WithData, bool DropTable,
                               bool DumpSQLonly) {
    last_report_ = TableReport{};
    last_report_.table_name = sTableName;
    unsent_reason_.clear();
    const std::string lower_name = Utf8ToLower(sTableName);
    bool execute = !DumpSQLonly;

    std::unique_ptr<data::Recordset> rs;
    try {
        rs = source_connection_->OpenRecordset("select * from [" + sTableName + "]");
    } catch (const data::DataAccessError& e) {
        // Without its columns no table statement can be made, and dropping the destination's
        // table would only lose what is there: the table is reported as failed instead.
        CountFailure(e.what());
        return;
    }
    last_report_.column_warnings = rs->ColumnWarnings();
    if (execute) {
        // A connection lost during an earlier table is opened again; when that fails, the
        // statements are still produced (for the script file) and each counts as failed.
        try {
            destination_connection_->EnsureConnected();
        } catch (const data::DataAccessError& e) {
            unsent_reason_ = e.what();
            last_report_.connection_lost = true;
            execute = false;
        }
    }

    std::string table_statement = "CREATE TABLE `";
    AppendNameText(table_statement, lower_name);
    table_statement += "`(";
    const int last_index = rs->FieldCount() - 1;
    for (int i = 0; i <= last_index; ++i) {
        data::Field& field = rs->GetField(i);
        table_statement += '`';
        AppendNameText(table_statement, Utf8ToLower(field.Name()));
        table_statement += "` ";
        table_statement += ConvFieldType(field);
        table_statement += i < last_index ? " , " : " ) ";
    }

    if (DropTable) {
        std::string drop = "DROP TABLE IF EXISTS `";
        AppendNameText(drop, lower_name);
        drop += "`;";
        Report(drop, execute);
        Yield();
    }
    table_statement += table_type_clause_;
    const bool created = Report(table_statement, execute);
    Yield();
    if (execute && DropTable && !created) {
        // The table could not be made anew, so its rows would go nowhere or into the table of
        // that name that should have been dropped, among its old rows: they are produced (for
        // the script file) but not sent, and each counts as failed.
        unsent_reason_ = "表未能创建，行未发送：" + destination_connection_->LastError();
        execute = false;
    }

    if (WithData && !(rs->IsEOF() && rs->IsBOF())) {
        const std::int64_t total = rs->RecordCount();
        std::int64_t counter = 0;
        std::int32_t last_percent = 0;
        std::string row; // reused, so building a statement allocates nothing once it has grown
        while (!rs->IsEOF() && !EndProgress) {
            row.clear();
            AppendInsertSQL(row, *rs, lower_name);
            Report(row, execute);
            ++counter;
            ++last_report_.rows;
            if (total > 0) {
                // Whole percentage, rounded to nearest with ties to even.
                const auto percent = static_cast<std::int32_t>(
                    std::nearbyint(static_cast<double>(counter) / static_cast<double>(total) *
                                   100.0));
                if (percent != last_percent) {
                    last_percent = percent;
                    if (Progress)
                        Progress(last_percent);
                }
            }
            try {
                rs->MoveNext();
            } catch (const data::DataAccessError& e) {
                CountFailure(std::string("读取下一行失败：") + e.what());
                break;
            }
            Yield();
        }
    }
    if (execute) {
        // Rows the destination still holds back are sent now, so that their failures count
        // for this table.
        try {
            destination_connection_->Flush();
        } catch (const data::DataAccessError& e) {
            CountFailure(e.what());
        }
        ExecuteSQL("FLUSH TABLES"); // needs a privilege many users lack, so never counted
    }
    if (!DumpSQLonly && destination_connection_->ConnectionLost())
        last_report_.connection_lost = true;
    unsent_reason_.clear();
    rs->Close();
}

std::int64_t Cls_Convertion::GetTableRecordCount(const std::string& name) {
    try {
        auto rs = source_connection_->OpenRecordset("select * from [" + name + "]");
        const std::int64_t count = rs->RecordCount();
        rs->Close();
        return count;
    } catch (const data::DataAccessError&) {
        return 0;
    }
}

std::int32_t Cls_Convertion::GetSourceTables(std::vector<std::string>& tblName) {
    if (source_connection_->State() == 0)
        return 0;
    std::vector<data::SchemaTableRow> rows;
    try {
        rows = source_connection_->OpenSchemaTables();
    } catch (const data::DataAccessError&) {
        return 0;
    }
    std::int32_t n = 0;
    for (const auto& row : rows) {
        if (row.table_type != "TABLE")
            continue;
        ++n;
        tblName.resize(static_cast<std::size_t>(n) + 1);
        tblName[n] = row.table_name + ":" + std::to_string(GetTableRecordCount(row.table_name));
    }
    return n;
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
