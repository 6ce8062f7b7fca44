#include "tablewright/mysql/StatementDestination.h"

namespace tw::data {

void StatementDestination::FlushTables() {
    try {
        provider_.Execute("FLUSH TABLES"); // many users lack the privilege: never counted
    } catch (const DataAccessError&) {
    }
}

} // namespace tw::data
