#pragma once

#include "tablewright/engine/Cls_Convertion.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tw::run {

/// Rows per INSERT of the script file meaning "as many as fit one line" (kExtendedInsertBytes).
inline constexpr int kExtendedInsertUnlimited = 0;
/// The longest multi-row INSERT line written to the script file: far below the 16 MiB the
/// client and the server accept by default.
inline constexpr std::size_t kExtendedInsertBytes = 1024 * 1024;

/// The window's members and controls that the run reads and writes, as plain values.
class RunWindow {
public:
    virtual ~RunWindow() = default;
    /// 0 MySQL server only, 1 SQL script file only, 2 both.
    virtual std::int16_t Scenario() const = 0;
    /// True once the user has confirmed Cancel during the run.
    virtual bool ExitConfirmed() const = 0;
    /// Number of entries of the table list.
    virtual int TableCount() const = 0;
    /// Whether entry i of the table list is ticked.
    virtual bool TableTicked(int i) const = 0;
    /// The text (a source table name) of entry i of the table list.
    virtual std::string TableText(int i) const = 0;
    /// The script file path.
    virtual std::string ScriptPath() const = 0;
    /// The MySQL database name.
    virtual std::string DatabaseName() const = 0;
    /// The structure-only check box: 0 unticked, 1 ticked.
    virtual int NoDataValue() const = 0;
    /// The drop-tables check box: 0 unticked, 1 ticked.
    virtual int DropTablesValue() const = 0;
    /// The keep-keys check box: 0 unticked (bare tables), 1 ticked (keys, indexes, column
    /// properties and relationships).
    virtual int KeysValue() const { return 0; }
    /// The views check box: 0 unticked, 1 ticked (select and union queries become views).
    virtual int ViewsValue() const { return 0; }
    /// Rows the script file joins into one INSERT: 1 writes one INSERT per row,
    /// kExtendedInsertUnlimited as many as fit kExtendedInsertBytes.
    virtual int ExtendedInsertRows() const { return 1; }
    /// OLE Object columns: 0 the values' bytes as Access keeps them, 1 the file each embeds
    /// where its wrapper is of a known kind (package, picture, document).
    virtual int OleContentsValue() const { return 0; }
    /// Sets the status line.
    virtual void SetStatus(const std::string& text) = 0;
    /// Sets the progress bar's value (0 to 100).
    virtual void SetProgress(double value) = 0;
    /// Replaces the log box's text.
    virtual void SetMessage(const std::string& text) = 0;
};

/// A RunWindow made of plain values, for the command-line tool and for tests.
class PlainRunWindow : public RunWindow {
public:
    struct Entry {
        std::string name;
        bool ticked = true;
    };
    std::int16_t scenario = 0;
    bool exit_confirmed = false;
    std::vector<Entry> tables;
    std::string script_path;
    std::string database_name = "test";
    int no_data = 0;
    int drop_tables = 1;
    int keep_keys = 0;
    int convert_views = 0;
    int extended_insert_rows = 1;
    int ole_contents = 0;
    std::string status;
    double progress = 0;
    std::string message;
    /// Called whenever the progress value changes.
    std::function<void(double)> on_progress;
    /// Called whenever the status line changes.
    std::function<void(const std::string&)> on_status;

    std::int16_t Scenario() const override { return scenario; }
    bool ExitConfirmed() const override { return exit_confirmed; }
    int TableCount() const override { return static_cast<int>(tables.size()); }
    bool TableTicked(int i) const override { return tables.at(i).ticked; }
    std::string TableText(int i) const override { return tables.at(i).name; }
    std::string ScriptPath() const override { return script_path; }
    std::string DatabaseName() const override { return database_name; }
    int NoDataValue() const override { return no_data; }
    int DropTablesValue() const override { return drop_tables; }
    int KeysValue() const override { return keep_keys; }
    int ViewsValue() const override { return convert_views; }
    int ExtendedInsertRows() const override { return extended_insert_rows; }
    int OleContentsValue() const override { return ole_contents; }
    void SetStatus(const std::string& text) override;
    void SetProgress(double value) override;
    void SetMessage(const std::string& text) override { message = text; }
};

/// What one table of a run came to.
struct TableOutcome {
    /// The source name of the table.
    std::string name;
    /// Rows read from the source.
    std::int64_t rows_read = 0;
    /// Rows that reached every output of the run (the server, the script file) as read.
    std::int64_t rows_written = 0;
    /// Statements that failed, as the log counts them: refused, not sent, not written.
    std::int64_t failed_statements = 0;
    double seconds = 0;
    /// True when the run was cancelled while this table was converted.
    bool cancelled = false;
};

/// What a run achieved, for callers that need more than the log.
struct RunSummary {
    int tables_done = 0;
    int tables_failed = 0;
    std::int64_t failed_statements = 0;
    std::int64_t rows = 0;
    bool script_failed = false;
    bool database_failed = false;
    bool cancelled = false;
    /// Why the run ended before its end (a failure of memory or of the file system); empty when
    /// it did not.
    std::string run_error;
    /// Why the script file failed, and why the database could not be created or selected.
    std::string script_error;
    std::string database_error;
    /// The tables the run converted (or began to), in their order.
    std::vector<TableOutcome> tables;
    /// What of the source's schema could not be kept as it was ("table：note"), and what became
    /// of relationships that did not become foreign keys ("关系 'name'：note").
    std::vector<std::string> schema_notes;
    /// Relationships that became foreign keys.
    int foreign_keys = 0;
    /// Saved queries that became views.
    int views = 0;
    /// Saved queries that became stored procedures.
    int procedures = 0;
    /// Saved queries that did not, each as "查询 'name'：reason".
    std::vector<std::string> query_notes;
    /// True when nothing failed and the run was not cancelled.
    bool Clean() const {
        return tables_failed == 0 && failed_statements == 0 && !script_failed && !database_failed &&
               !cancelled && run_error.empty();
    }
};

/// The script path that means standard output.
inline constexpr std::string_view kStandardOutput = "-";

/// The conversion run: converts the ticked tables in list order under the window's scenario,
/// writes the reported statements to the script file (or standard output) and keeps the
/// time-stamped log. Statements reach the file in whole lines; what is lost to a write error is
/// counted for its table.
class ConversionRun {
public:
    /// Binds the run to the engine and the window; installs the engine's event handlers.
    ConversionRun(engine::Cls_Convertion& engine, RunWindow& window);
    ~ConversionRun();
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    /// Runs the conversion over the ticked tables; the log goes to the window at the end, also
    /// when something ends the run early (Summary().run_error).
    void RunConversion();
    /// Ends the run early for `reason`: logs it, closes the script file and shows the log.
    void Abort(const std::string& reason);
    /// "[hh:mm:ss]" with the current local time of day, 24-hour.
    std::string WriteMessage() const;
    /// Handler of the engine's ExecuteInfo: adds the statement as one line to the script file
    /// (written in chunks, at the latest when the table ends).
    void MyConversion_ExecuteInfo(std::string& StrSQL);
    /// Handler of the engine's Progress: moves the progress bar.
    void MyConversion_Progress(std::int32_t& ProgressStatus);
    /// The outcome of the last run.
    const RunSummary& Summary() const { return summary_; }

    /// Replaceable time-of-day source ("hh:mm:ss"), for tests.
    std::function<std::string()> TimeOfDay;
    /// Replaceable millisecond tick counter, for tests.
    std::function<std::uint64_t()> TickCount;
    /// Called when a table is done (or cut short by a cancel), with what it came to.
    std::function<void(const TableOutcome&)> TableDone;

private:
    struct FileCloser {
        void operator()(std::FILE* file) const noexcept;
    };
    void RunTables();
    void ScriptFailed(const std::string& reason);
    void ConvertRelationships(const std::set<std::string>& converted);
    void ConvertViews(const std::set<std::string>& converted);
    void AddScriptLine(std::string_view line, std::int64_t statements, std::int64_t rows);
    void EndExtendedInsert();
    void WriteScriptChunk();
    void CloseScript();

    engine::Cls_Convertion& engine_;
    RunWindow& window_;
    std::unique_ptr<std::FILE, FileCloser> script_;
    std::string script_path_;
    bool script_is_output_ = false; // the script goes to standard output
    // Statements not yet written, each a whole line, and where each of those lines ends.
    std::string script_chunk_;
    std::vector<std::size_t> chunk_line_ends_;
    // How many reported statements, and how many rows, each of those lines holds.
    std::vector<std::int64_t> chunk_line_statements_;
    std::vector<std::int64_t> chunk_line_rows_;
    // The multi-row INSERT being joined: its "INSERT INTO `t` values" and its rows so far.
    std::string extended_prefix_;
    std::string extended_line_;
    int extended_rows_ = 0;
    // Bytes of whole lines already in the file.
    std::uintmax_t script_bytes_ = 0;
    std::string log_;
    std::uint64_t run_start_ = 0;
    bool script_error_logged_ = false;
    std::string script_error_;
    std::int64_t unwritten_statements_ = 0;
    std::int64_t unwritten_rows_ = 0;
    // Set when the database could not be created or selected: the server side of every table
    // is skipped and each of its statements counts as failed with server_error_.
    bool server_unavailable_ = false;
    std::string server_error_;
    std::int64_t unsent_statements_ = 0;
    RunSummary summary_;
};

/// Formats seconds with at least one digit before and exactly two after the point.
std::string FormatSeconds(double seconds);

} // namespace tw::run
