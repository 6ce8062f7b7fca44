#pragma once

#include "TestEnv.h"

#include "tablewright/model/ConnectionString.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/providers/Providers.h"

#include <optional>
#include <string>
#include <vector>

namespace tw::test {

/// The connection string of the test server, as the engine builds it.
inline std::string ServerConnectionString(const data::MySqlTarget& target) {
    return "DRIVER={MySQL ODBC 3.51 Driver};SERVER=" + target.host + ";UID=" + target.user +
           ";PWD=" + data::QuoteConnectionValue(target.password) +
           ";PORT=" + std::to_string(target.port);
}

using Row = std::vector<std::optional<std::string>>;

/// A connection to the test server for checking what arrived.
class ServerSession {
public:
    explicit ServerSession(const data::MySqlTarget& target) {
        connection_.Open(ServerConnectionString(target));
    }
    /// Runs one statement.
    void Execute(const std::string& sql) { connection_.Execute(sql); }
    /// Every row of a query, each value as text or nullopt for NULL.
    std::vector<Row> Query(const std::string& sql) {
        std::vector<Row> rows;
        auto rs = connection_.OpenRecordset(sql);
        while (!rs->IsEOF()) {
            Row row;
            for (int i = 0; i < rs->FieldCount(); ++i) {
                const data::Value& value = rs->GetField(i).GetValue();
                if (const auto* text = std::get_if<std::string>(&value))
                    row.emplace_back(*text);
                else
                    row.emplace_back(std::nullopt);
            }
            rows.push_back(std::move(row));
            rs->MoveNext();
        }
        rs->Close();
        return rows;
    }
    /// The names of a query's columns, in order.
    std::vector<std::string> ColumnNames(const std::string& sql) {
        std::vector<std::string> names;
        auto rs = connection_.OpenRecordset(sql);
        for (int i = 0; i < rs->FieldCount(); ++i)
            names.push_back(rs->GetField(i).Name());
        rs->Close();
        return names;
    }
    /// The single value of a one-row, one-column query ("NULL" for NULL).
    std::string Scalar(const std::string& sql) {
        auto rows = Query(sql);
        if (rows.empty() || rows[0].empty())
            return "<no row>";
        return rows[0][0].value_or("NULL");
    }
    /// Drops and creates a database for one test.
    void FreshDatabase(const std::string& name) {
        Execute("DROP DATABASE IF EXISTS `" + name + "`");
        Execute("CREATE DATABASE `" + name + "`");
    }

private:
    data::Connection connection_{data::DefaultProviderFactory()};
};

} // namespace tw::test
