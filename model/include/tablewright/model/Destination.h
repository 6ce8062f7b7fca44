#pragma once

#include "tablewright/model/Schema.h"
#include "tablewright/model/SqlTree.h"
#include "tablewright/model/SqlWriting.h"
#include "tablewright/model/Value.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

class Provider;

/// How tables are made on the destination.
struct TableOptions {
    /// The table type (storage engine) every table statement names, e.g. "MyISAM".
    std::string engine = "MyISAM";
    /// Carry the source's keys, indexes and column properties (NOT NULL, AUTO_INCREMENT,
    /// defaults, comments); without it tables arrive bare, as plain columns.
    bool keys = false;
    /// The collation of the tables' text when keys are carried: one that tells accents apart
    /// and ignores case, as Access's unique indexes do; empty for the server's default.
    std::string collation;
    /// Write the collation as a comment that only servers knowing it execute (for a script
    /// file loaded by servers unknown at writing time).
    bool collation_versioned = false;
};

/// The longest table name every destination takes, in characters (names the engine makes, such
/// as those of child tables, stay within it).
inline constexpr std::size_t kMaxTableNameChars = 64;

/// Points of a script file where the loading session's settings change.
enum class SessionPoint {
    /// Before the first statement: the settings the statements need, the session's own kept.
    Begin,
    /// Before the foreign keys, which are checked against the rows.
    ForeignKeys,
    /// After the last statement: the session's own settings back.
    End,
};

/// What a statement a destination made does.
enum class StatementKind { Drop, Table, Row, Key, ForeignKey, View, Procedure, Alter };

/// One statement a destination made, handed back for the log and the script file.
struct MadeStatement {
    /// The whole statement, as made (and, where statements are sent, as sent).
    std::string& text;
    StatementKind kind;
    /// For a row: the length of the text its table's rows share (up to the row's own values);
    /// a writer joining rows into one statement appends only what follows, without the final
    /// ';'. 0 for other statements.
    std::size_t row_prefix = 0;
    /// The server refused the statement (a script file leaves it out, so that the client that
    /// loads the file does not stop at it).
    bool refused = false;
};

/// Receives each statement a destination made, in order, once it was sent or refused.
using StatementHandler = std::function<void(MadeStatement& statement)>;

/// Where converted tables go: receives the database's and each table's definition and its rows as
/// typed values, makes the statements of its own dialect from them and hands back the ones that
/// make, fill, key and relate tables through the statement handler, whether they were accepted
/// or not. A call throws DataAccessError with the destination's reason when it refuses; rows that
/// were held back and refused later go to the provider's failure handler, at the latest during
/// EndTable. A destination that only writes statements (a script file's) refuses none.
class Destination {
public:
    virtual ~Destination() = default;
    /// Sets where the statements made go (none by default).
    virtual void SetStatementHandler(StatementHandler handler) = 0;
    /// True when statements reach a server; false when they are only made.
    virtual bool Sends() const = 0;

    /// Creates the database when missing and selects it; an existing database that the user
    /// may use but not create is selected too. Throws with the reason the creation was refused.
    virtual void CreateDatabase(const std::string& name) = 0;
    /// Selects the database.
    virtual void UseDatabase(const std::string& name) = 0;
    /// Why the destination would not keep tables of the given type on all its nodes; empty
    /// when it would, or cannot tell.
    virtual std::string ClusterRefusal(const std::string& /*engine*/) { return {}; }
    /// A collation that tells accents apart and ignores case, as Access's indexes compare text;
    /// empty when the server has none.
    virtual std::string AccentSensitiveCollation() { return {}; }
    /// True when tables of the given type keep foreign keys.
    virtual bool KeepsForeignKeys(const std::string& engine) = 0;

    /// Removes the table if it exists.
    virtual void DropTable(const std::string& table) = 0;
    /// Makes the table (without its keys, which come after the rows: see AddKeys), first fitting
    /// its row to what the table type allows; `table` receives the definition made. Appends to
    /// `notes` what of the definition could not be kept. When the destination does not take the
    /// full definition with keys, the table is made of plain columns and false returned (no keys
    /// to add); throws when the table was not made.
    virtual bool CreateTable(TableSchema& table, const TableOptions& options,
                             std::vector<std::string>& notes) = 0;
    /// Starts the rows of a table; its columns give each value's type.
    virtual void BeginRows(const TableSchema& table) = 0;
    /// Adds one row to the table begun last; the destination may hold it back.
    virtual void AppendRow(std::span<const Value> row) = 0;
    /// Lets a column of the table begun last hold NULL from the next row on (Access lets a column
    /// become Required after rows without a value were in); throws DataAccessError when refused.
    virtual void AllowNull(const TableSchema& table, const ColumnSchema& column,
                           const TableOptions& options) = 0;
    /// Sends whatever the table still holds back.
    virtual void EndTable() = 0;
    /// Gives the filled table its keys, indexes and AutoNumber; what could not be kept as it was
    /// is appended to `notes` with the reason, never thrown. True when nothing was refused.
    virtual bool AddKeys(const TableSchema& table, const TableOptions& options,
                         std::vector<std::string>& notes) = 0;
    /// Gives the filled and keyed table the validation rules of the source (the table's and its
    /// columns', and a text column's refusal of the empty string) as constraints the server
    /// checks, each only when every row satisfies it: a rule the rows break, or that the server
    /// cannot hold, is appended to `notes` with the reason, never thrown, and costs no row.
    /// Returns what was made that the log should tell (a rule's message, which the destination
    /// cannot show), empty when nothing.
    virtual std::vector<std::string> AddChecks(const TableSchema& /*table*/,
                                               const TableOptions& /*options*/,
                                               std::vector<std::string>& /*notes*/) {
        return {};
    }
    /// Makes the filled table's calculated columns compute their values on the destination,
    /// where the expression has an exact form there and, where the rows can be read, every row
    /// holds the value it computes; the others keep the source's values as plain columns, each
    /// appended to `notes` with the reason, never thrown. Returns what was done, for the log
    /// (empty when nothing).
    virtual std::vector<std::string> AddGeneratedColumns(const TableSchema& /*table*/,
                                                         const TableOptions& /*options*/,
                                                         std::vector<std::string>& /*notes*/) {
        return {};
    }
    /// The statements a script file holds at `point` to set up its loading session (none for a
    /// destination that sends its statements: its session is set up when it connects).
    virtual std::vector<std::string> SessionStatements(SessionPoint /*point*/) { return {}; }
    /// Asks the server to write out the tables' data; failures (a missing privilege) are
    /// ignored.
    virtual void FlushTables() {}
    /// Adds a relationship between two filled tables as a foreign key, checked against their
    /// rows.
    virtual void AddForeignKey(const RelationshipSchema& relationship) = 0;
    /// Makes a view from a statement already made in this destination's dialect.
    virtual void CreateView(std::string& statement) = 0;
    /// Makes a stored procedure from a statement already made in this destination's dialect.
    virtual void CreateProcedure(std::string& statement) = 0;
    /// Writes the statement that makes a saved query a view (select and union queries) or a
    /// stored procedure (parameter and action queries) in this destination's dialect, or names
    /// the construct the dialect has no exact form for.
    virtual WrittenSql WriteSavedQuery(std::string_view name, const sql::Statement& query,
                                       const SqlWriterContext& context) = 0;

    /// The destination's name of the type a column of the given ADO type becomes, as its type
    /// table has it (mixed case).
    virtual std::string TypeName(int ado_type) = 0;
    /// The column type text a column becomes, in lower case.
    virtual std::string ColumnType(const ColumnSchema& column) = 0;
    /// The clause that ends every table statement for the table type.
    virtual std::string TableClause(const std::string& engine) = 0;
    /// Appends the statement that adds one row to a table; `columns` gives each value's type.
    virtual void AppendInsert(std::string& out, const std::string& table,
                              std::span<const Value> row,
                              std::span<const ColumnSchema> columns) = 0;
};

/// Makes a destination that only makes statements and sends them nowhere (a script file's).
using ScriptDestinationFactory = std::function<std::unique_ptr<Destination>()>;

} // namespace tw::data
