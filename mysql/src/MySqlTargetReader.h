#pragma once

// The MySQL server as a target database: its tables read back in the canonical forms the
// verification and the sync compare, and changed row by row from typed values.

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Target.h"

#include <cstddef>
#include <memory>

namespace tw::data::mysql {

/// A target database over a connection's provider (its statements and queries); one
/// transaction holds at most `commit_rows` changed rows.
std::unique_ptr<TargetDatabase> MakeMySqlTarget(Provider& provider, std::size_t commit_rows);

} // namespace tw::data::mysql
