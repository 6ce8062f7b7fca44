#pragma once

// The MySQL server as a target database: its tables read back in the canonical forms the
// verification and the sync compare, and changed row by row from typed values.

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Target.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace tw::data::mysql {

class MySqlSession;

/// Opens another connection to the same server and database, for a scan read beside the
/// provider's own statements; null (or a DataAccessError) when it cannot.
using ScanSessionOpener = std::function<std::shared_ptr<MySqlSession>()>;

/// A target database over a connection's provider (its statements and queries); one
/// transaction holds at most `commit_rows` changed rows. Without `open_scan_session` tables are
/// read by key and in pages only.
std::unique_ptr<TargetDatabase> MakeMySqlTarget(Provider& provider, std::size_t commit_rows,
                                                ScanSessionOpener open_scan_session);

} // namespace tw::data::mysql
