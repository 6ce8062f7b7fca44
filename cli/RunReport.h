#pragma once

// What tablewright-cli shows of a run besides its log: the progress while it goes, and the
// table of what each table came to at the end.

#include "tablewright/run/ConversionRun.h"

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace tw::cli {

/// Shows on standard error how a run goes: on a terminal a bar per table, redrawn in place;
/// anywhere else (a log file, a pipe) a plain line every few seconds and one per finished table.
class ProgressReport {
public:
    enum class Style { None, Bar, Lines };

    explicit ProgressReport(Style style) : style_(style) {}
    ~ProgressReport() { Finish(); }
    ProgressReport(const ProgressReport&) = delete;
    ProgressReport& operator=(const ProgressReport&) = delete;

    /// A table starts; `status` names it ("处理表 'name'").
    void TableStarted(const std::string& status);
    /// The current table's rows are `percent` done.
    void Progress(double percent);
    /// A table is done (or was cut short by a cancel).
    void TableDone(const run::TableOutcome& table);
    /// Ends the bar's line, if one is open.
    void Finish();

private:
    void DrawBar(double percent);

    Style style_;
    bool open_ = false;
    std::string status_;
    std::chrono::steady_clock::time_point last_line_{};
};

/// Writes what each table of the run came to (rows read, rows written, failed statements,
/// seconds) and the totals, as an aligned table.
void WriteSummaryTable(std::ostream& out, const run::RunSummary& summary);

/// The columns a UTF-8 text takes on a terminal: two for East Asian wide and full-width
/// characters, none for combining marks, one for every other character.
std::size_t DisplayWidth(std::string_view text);

} // namespace tw::cli
