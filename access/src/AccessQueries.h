#pragma once

// The saved queries' definitions as MSysQueries keeps them, and the SQL text put together from
// them (AccessQueries.cpp); apart from the catalog so that definitions can be built by hand.

#include "tablewright/model/Schema.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tw::data::access {

/// One row of MSysQueries. Missing values read as empty text and 0.
struct QueryRow {
    std::int64_t attribute = -1;
    std::string expression;
    std::int64_t flag = 0;
    /// LvExtra (the size of a text parameter); Access 97 files have no such column.
    std::int64_t extra = 0;
    std::string name1;
    std::string name2;
    std::string order;
};

/// What the rows of one query say: its kind and text, or why they cannot be read.
struct RebuiltQuery {
    QueryKind kind = QueryKind::Other;
    /// The SQL text as Access's SQL view shows it; empty when `problem` is set.
    std::string sql;
    /// Why the rows give no text (Chinese); empty when they do.
    std::string problem;
};

/// Puts together the kind and SQL text of one query from its rows (sorted by their Order) and
/// the flags of its catalog object; rows that contradict each other or hold anything not
/// understood give a problem instead of a guessed text.
RebuiltQuery RebuildQuery(std::uint32_t object_flags, const std::vector<QueryRow>& rows);

} // namespace tw::data::access
