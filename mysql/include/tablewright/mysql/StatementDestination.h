#pragma once

#include "tablewright/model/DataAccess.h"
#include "tablewright/mysql/MySqlDestination.h"

#include <string>

namespace tw::data {

/// A destination over any provider that runs statement text: each call becomes one statement of
/// the MySQL dialect, each row one INSERT.
class StatementDestination final : public MySqlDestination {
public:
    explicit StatementDestination(Provider& provider) : provider_(provider) {}
    bool Sends() const override { return true; }
    std::string ClusterRefusal(const std::string& engine) override {
        return ClusterRefusalOf(provider_, engine);
    }
    void EndTable() override { provider_.Flush(); }
    void FlushTables() override;

protected:
    void Send(std::string_view statement) override { provider_.Execute(statement); }
    std::unique_ptr<Recordset> Query(std::string_view query) override {
        return provider_.OpenRecordset(query);
    }

private:
    Provider& provider_;
};

} // namespace tw::data
