#pragma once

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/engine/ComplexTables.h"
#include "tablewright/model/Target.h"
#include "tablewright/run/ConversionRun.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tw::run {

/// One value or row in which a server table differs from its Access table.
struct VerifyDifference {
    enum class Kind {
        /// A value of a row both sides have.
        Value,
        /// A row of the Access table the server does not have.
        MissingRow,
        /// A row of the server table the Access table does not have (or a second one with the
        /// same key).
        ExtraRow,
    };
    Kind kind = Kind::Value;
    /// The row: its key ("ID=5", "A=1, B=\"x\"") or, for a table without one, its place in
    /// the table ("第 5 行").
    std::string row;
    /// The column as Access spells it (values only).
    std::string column;
    /// The two values as shown to the user: long values cut, bytes as hex, control characters
    /// escaped, NULL as NULL and text in double quotes.
    std::string access;
    std::string server;
};

/// What the comparison of one Access table with the server's table found.
struct TableVerification {
    enum class Outcome {
        Identical,
        Different,
        /// The server has no table of that name.
        Missing,
        /// One side could not be read; `error` says why.
        Failed,
        /// Stopped on request before the table was compared to its end.
        Cancelled,
    };
    /// The table as Access spells it (a child table of a complex column: as the conversion names
    /// it).
    std::string table;
    Outcome outcome = Outcome::Identical;
    /// The Access columns that paired the rows; empty when rows were paired in order.
    std::vector<std::string> key;
    std::int64_t access_rows = 0;
    std::int64_t server_rows = 0;
    /// Rows with at least one differing value, plus missing and extra rows.
    std::int64_t differing_rows = 0;
    /// Differing values of rows both sides have.
    std::int64_t differing_values = 0;
    /// Rows of the Access table the server lacks, and server rows the Access table lacks.
    std::int64_t missing_rows = 0;
    std::int64_t extra_rows = 0;
    /// Access columns the server table lacks, and server columns the Access table lacks.
    std::vector<std::string> missing_columns;
    std::vector<std::string> extra_columns;
    /// The first differing values and the first missing or extra rows, in the order found.
    std::vector<VerifyDifference> examples;
    std::string error;

    bool Identical() const { return outcome == Outcome::Identical; }
};

/// The lines that report one table, in Simplified Chinese: the verdict first
/// ("表 'Orders'：一致（200000 行）", "表 'Orders'：3 行 5 个值不一致"), then indented details.
std::vector<std::string> DescribeVerification(const TableVerification& table);

/// Reads converted tables back from the server and compares them with the Access tables of the
/// engine's source: the number of rows, then every value of every column, in the forms the
/// conversion writes (NULL apart from '', exact decimals, doubles and singles to the bit, dates
/// to the second or the microsecond, bytes and text exactly). Columns are found by name without
/// regard to case, so tables made by other tools are compared too; a value stored in another form
/// (a currency in a floating-point column, '' as NULL) is a difference.
///
/// Rows are paired by the Access table's primary key (else by a unique index of required
/// columns): the Access rows stream in file order in chunks, and the server rows of each chunk
/// are fetched by their keys, so neither side is sorted and memory holds one chunk plus eight
/// bytes (a hash of the key) per row, to name the server's extra rows. A table without such a
/// key is paired in order: the Access file's order against the server's table-scan order, the
/// order in which rows were inserted into a table the tool made. The child tables of a table's
/// complex columns (attachments, multi-value fields, version history) are compared in order too.
class Verifier {
public:
    explicit Verifier(engine::Cls_Convertion& engine);

    /// Asked between chunks of rows; true stops the comparison (the table is Cancelled).
    std::function<bool()> Stop;
    /// How many differing values, and how many missing or extra rows, a table keeps as examples.
    std::size_t example_limit = 5;
    /// The conversion stored the files OLE Object values embed (RunWindow::OleContentsValue):
    /// each is compared with the file where its wrapper is of a known kind.
    bool ole_contents = false;

    /// Selects the server database and reads its list of tables; throws data::DataAccessError.
    void UseDatabase(const std::string& database);
    /// Compares one Access table with the server table of the same name (lower-cased as the
    /// conversion makes it, or in any case).
    TableVerification VerifyTable(const std::string& table);
    /// Compares the child rows of each complex column of known kind of an Access table with the
    /// server's child table (named as the conversion names it); one result each, named by the
    /// child table.
    std::vector<TableVerification> VerifyChildTables(const std::string& table);

private:
    engine::Cls_Convertion& engine_;
    // The server as a target database, once a database is used.
    data::TargetDatabase* target_ = nullptr;
    // The source's child tables, once asked.
    std::optional<std::vector<engine::ChildTable>> children_;
};

/// What the verification of a run found.
struct VerifyReport {
    enum class Outcome {
        /// Every table is on the server with the same rows and values.
        Identical,
        /// At least one table differs, is missing or could not be read, or the comparison was
        /// stopped.
        Different,
        /// The database could not be used or the connection was lost; `error` says why.
        ServerUnavailable,
        /// There was nothing on a server to compare (a script-only, structure-only, failed or
        /// cancelled run).
        NothingToVerify,
    };
    Outcome outcome = Outcome::Identical;
    std::vector<TableVerification> tables;
    std::string error;
};

/// Prints one line of a verification's report.
using VerifyPrinter = std::function<void(const std::string& line)>;

/// Compares the window's ticked tables with their tables in the window's database on the
/// engine's server (already connected), printing each table's lines as it is done and a
/// closing line.
VerifyReport VerifyTables(engine::Cls_Convertion& engine, const RunWindow& window,
                          const VerifyPrinter& print, const std::function<bool()>& stop = {});

/// The verification after a run: the tables of the run on its server, or, when the run put
/// nothing on a server to compare (script file only, structure only, cancelled, database not
/// created), one line that says so.
VerifyReport VerifyConversion(engine::Cls_Convertion& engine, const RunWindow& window,
                              const RunSummary& summary, const VerifyPrinter& print,
                              const std::function<bool()>& stop = {});

} // namespace tw::run
