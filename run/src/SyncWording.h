#pragma once

// How the sync reports its tables and its totals.

#include "tablewright/run/Sync.h"

#include <string>
#include <vector>

namespace tw::run {

/// The closing lines of a sync: the totals over every table, and how many tables failed.
std::vector<std::string> DescribeSyncTotals(const std::vector<TableSync>& tables, bool dry_run,
                                            bool stopped);

} // namespace tw::run
