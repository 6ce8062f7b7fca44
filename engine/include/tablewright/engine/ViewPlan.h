#pragma once

#include "tablewright/model/Schema.h"
#include "tablewright/model/SqlTree.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tw::engine {

/// The column names of a table of the source, in order; nullopt when it is not known.
using ColumnLookup =
    std::function<std::optional<std::vector<std::string>>(const std::string& table)>;

/// A saved query's view statement in the destination's SQL, or why it has none.
struct ViewText {
    /// The whole statement that makes the view, with its closing ';'; empty when refused.
    std::string statement;
    /// The construct that has no form giving the same rows (Chinese); empty when written.
    std::string refusal;
};

/// Writes the view of a saved select or union query (its name and parsed tree) in the
/// destination's SQL.
using ViewWriter = std::function<ViewText(const std::string& name, const sql::Statement& tree)>;

/// What becomes of one saved query of the source.
struct PlannedView {
    /// The query's name as the source spells it.
    std::string name;
    /// "CREATE OR REPLACE VIEW `name` AS SELECT ...;" or empty when the query does not become a
    /// view.
    std::string statement;
    /// Why the query does not become a view; empty when it does.
    std::string note;
    /// The queries (views) this view reads; they come before it in the plan.
    std::vector<std::string> depends_on;
};

/// The name of a kind of query as the log calls it ("选择查询", "交叉表查询", ...).
std::string QueryKindName(data::QueryKind kind);

/// Turns the source's saved queries into views: select and union queries whose tree (parsed by
/// the source) `writer` writes, and that read only tables in `converted` (names as the source
/// spells them) and other queries that become views. Every query appears once, in an order in
/// which each view comes after the views it reads; `source_tables` are all tables of the source,
/// so that a table left out of this run is told apart from a name the file does not have.
std::vector<PlannedView> PlanViews(const std::vector<data::QuerySchema>& queries,
                                   const std::set<std::string>& converted,
                                   const std::vector<std::string>& source_tables,
                                   const ViewWriter& writer);

} // namespace tw::engine
