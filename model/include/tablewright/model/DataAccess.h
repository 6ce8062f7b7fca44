#pragma once

#include "tablewright/model/Schema.h"
#include "tablewright/model/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data {

/// A failure of the data-access layer; what() is a description a user can act on.
class DataAccessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The server refused a table because one of its rows could be larger than the storage engine
/// allows.
class RowTooLargeError : public DataAccessError {
public:
    using DataAccessError::DataAccessError;
};

class Destination;
class TargetDatabase;

/// One column of an open recordset, positioned on the recordset's current row.
class Field {
public:
    virtual ~Field() = default;
    /// The column's name as the source spells it.
    virtual const std::string& Name() const = 0;
    /// The column's type as an ADO DataTypeEnum code (see AdoTypes.h).
    virtual int Type() const = 0;
    /// The source's own type code (for Access, the table definition's type byte); 0 when the
    /// source has none.
    virtual int SourceType() const { return 0; }
    /// The declared size: characters for text, bytes for fixed-size kinds.
    virtual std::int32_t DefinedSize() const = 0;
    /// Total digits of a decimal column (0 for other kinds).
    virtual int Precision() const = 0;
    /// Digits after the point of a decimal column (0 for other kinds).
    virtual int NumericScale() const = 0;
    /// The value on the current row; throws DataAccessError when it cannot be read exactly.
    virtual const Value& GetValue() = 0;
};

/// A forward-only cursor over the rows of one source query, with an exact row count.
class Recordset {
public:
    virtual ~Recordset() = default;
    /// True when the cursor stands after the last row (always true for an empty result).
    virtual bool IsEOF() const = 0;
    /// True when the cursor stands before the first row (only for an empty result here).
    virtual bool IsBOF() const = 0;
    /// The exact number of rows of the result.
    virtual std::int64_t RecordCount() const = 0;
    /// Moves to the next row; throws DataAccessError when the next row cannot be read.
    virtual void MoveNext() = 0;
    /// Number of columns.
    virtual int FieldCount() const = 0;
    /// The column at zero-based index.
    virtual Field& GetField(int index) = 0;
    /// Releases the cursor; further calls other than Close are not allowed.
    virtual void Close() = 0;
    /// Notes on columns whose values cannot be read exactly, or are read as their raw bytes;
    /// empty when every column reads right.
    virtual std::vector<std::string> ColumnWarnings() const { return {}; }
};

/// The field of a child row (Provider::OpenComplexValues) that holds the complex value id of
/// the parent row, the value of the complex column there. Before it come the parent's primary
/// key columns (where it has a primary key), after it the values:
/// - attachments: FileName, FileType (text), FileData (the file's bytes as attached),
///   FileTimeStamp (date), FileFlags (whole number), FileURL (text);
/// - multi-value fields: Value, of the field's own type;
/// - version history: Value (the memo's text) and Modified (its date), oldest first.
/// A name the parent's key already uses gets "_2" (then "_3", ...) appended.
inline constexpr std::string_view kComplexIdField = "complex_id";

/// One row of a connection's table listing.
struct SchemaTableRow {
    std::string table_name;
    /// "TABLE" for user tables; "SYSTEM TABLE", "VIEW", "LINK", ... otherwise.
    std::string table_type;
    /// For a "LINK": where its data lives, as a phrase for messages (the linked table's name
    /// and its database file or ODBC connection, without any password); empty otherwise.
    std::string link_target;
};

/// How many consecutive single-row INSERTs a destination joins into one statement by default.
inline constexpr int kDefaultBatchRows = 1000;

/// Receives the failure text of a statement that was held back and refused later.
using FailureHandler = std::function<void(const std::string& error)>;

/// One open connection of a given kind (Access file, MySQL server); made by a ProviderFactory.
class Provider {
public:
    virtual ~Provider() = default;
    /// Executes one statement; throws DataAccessError with the server's text when refused. A
    /// provider may hold a statement back and send it later; its failure then goes to the
    /// failure handler, at the latest during the next Flush.
    virtual void Execute(std::string_view sql) = 0;
    /// Opens a cursor on a query; throws DataAccessError when it cannot be opened.
    virtual std::unique_ptr<Recordset> OpenRecordset(std::string_view sql) = 0;
    /// Lists the tables of the data source in its own order.
    virtual std::vector<SchemaTableRow> SchemaTables() = 0;
    /// Opens a cursor over every row of one table, in the source's order; throws
    /// DataAccessError when the table cannot be read.
    virtual std::unique_ptr<Recordset> OpenTable(const std::string& table);
    /// The definition of one table (columns with their properties, indexes, description);
    /// throws DataAccessError when it cannot be read.
    virtual TableSchema ReadTableSchema(const std::string& table);
    /// The complex columns of one table, in column order (none for sources without); throws
    /// DataAccessError when the source's description of them cannot be read.
    virtual std::vector<ComplexColumnSchema> ReadComplexColumns(const std::string& /*table*/) {
        return {};
    }
    /// Opens a cursor over the child rows of a complex column of known kind: one row per value,
    /// with the fields listed at kComplexIdField; throws DataAccessError when they cannot be
    /// read.
    virtual std::unique_ptr<Recordset> OpenComplexValues(const std::string& table,
                                                         const std::string& column);
    /// The relationships between the tables of the data source (none for sources without).
    virtual std::vector<RelationshipSchema> ReadRelationships() { return {}; }
    /// The saved queries of the data source in catalog order (none for sources without).
    virtual std::vector<QuerySchema> ReadQueries() { return {}; }
    /// How the source's text is decoded (a code page named by the file or by the user), for
    /// the log; empty when there is nothing to say.
    virtual std::string TextEncoding() const { return {}; }
    /// Sends whatever is still held back (batched statements); throws like Execute.
    virtual void Flush() {}
    /// Sets how many single-row INSERTs may be joined into one statement (1: none).
    virtual void SetBatchRows(int /*rows*/) {}
    /// Sets where failures of held-back statements go.
    virtual void SetFailureHandler(FailureHandler /*handler*/) {}
    /// Sends what is held back, checks that the connection still works and, when it was lost,
    /// opens it again with the same session (database, settings); throws DataAccessError when
    /// it cannot.
    virtual void EnsureConnected() {}
    /// True when the connection to the server was lost (until EnsureConnected restores it).
    virtual bool ConnectionLost() const { return false; }
    /// Ends, from another thread, whatever call the connection waits in for the server: the call
    /// fails at once as with a lost server, and so does every later one, without reconnecting.
    virtual void Interrupt() {}
    /// True when values of columns of the source's type code (Field::SourceType) may wrap an
    /// embedded file (Access's OLE Object columns).
    virtual bool EmbedsFiles(int /*source_type*/) const { return false; }
    /// Replaces the bytes of an OLE Object value with the file its wrapper embeds, where the
    /// source knows the wrapper's kind; false (the bytes left as they are) otherwise.
    virtual bool EmbeddedFile(Bytes& /*value*/) { return false; }
    /// The provider as a destination of converted tables, when it builds its own statements
    /// from typed rows; null for providers that only run statement text.
    virtual Destination* AsDestination() { return nullptr; }
    /// The provider as a target database that can be read back and changed row by row (the
    /// verification, the sync); null for providers that are none.
    virtual TargetDatabase* AsTarget() { return nullptr; }
};

/// Makes the provider that a connection string names; throws DataAccessError on failure.
using ProviderFactory = std::function<std::unique_ptr<Provider>(const std::string&)>;

/// Opens a provider from data of its own kind (no connection string); throws DataAccessError.
using ProviderOpener = std::function<std::unique_ptr<Provider>()>;

/// A data-access connection: closed until Open succeeds; the provider follows from the string.
class Connection {
public:
    /// Creates a closed connection that opens its providers through the given factory.
    explicit Connection(ProviderFactory factory);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Opens from a connection string; throws DataAccessError (also kept as LastError()).
    void Open(const std::string& connection_string);
    /// Opens the provider `open` makes; throws DataAccessError (also kept as LastError()).
    void Open(const ProviderOpener& open);
    /// Closes the connection; closing a closed one does nothing.
    void Close() noexcept;
    /// 0 when closed, 1 when open.
    int State() const { return provider_ ? 1 : 0; }
    /// Executes one statement; throws DataAccessError (also kept as LastError()).
    void Execute(std::string_view sql);
    /// Opens a recordset on a query; throws DataAccessError (also kept as LastError()).
    std::unique_ptr<Recordset> OpenRecordset(std::string_view sql);
    /// The table listing; throws DataAccessError (also kept as LastError()).
    std::vector<SchemaTableRow> OpenSchemaTables();
    /// A cursor over every row of a table; throws DataAccessError (also kept as LastError()).
    std::unique_ptr<Recordset> OpenTable(const std::string& table);
    /// A table's definition; throws DataAccessError (also kept as LastError()).
    TableSchema ReadTableSchema(const std::string& table);
    /// The complex columns of a table; throws DataAccessError (also kept as LastError()).
    std::vector<ComplexColumnSchema> ReadComplexColumns(const std::string& table);
    /// A cursor over the child rows of a complex column; throws DataAccessError (also kept as
    /// LastError()).
    std::unique_ptr<Recordset> OpenComplexValues(const std::string& table,
                                                 const std::string& column);
    /// The relationships between the tables; throws DataAccessError (also kept as LastError()).
    std::vector<RelationshipSchema> ReadRelationships();
    /// The saved queries; throws DataAccessError (also kept as LastError()).
    std::vector<QuerySchema> ReadQueries();
    /// Provider::EmbedsFiles of the open connection (false when it is closed).
    bool EmbedsFiles(int source_type) const {
        return provider_ && provider_->EmbedsFiles(source_type);
    }
    /// Provider::EmbeddedFile of the open connection (false when it is closed).
    bool EmbeddedFile(Bytes& value) { return provider_ && provider_->EmbeddedFile(value); }
    /// Sends statements the provider still holds back; throws DataAccessError.
    void Flush();
    /// Sets how many single-row INSERTs the destination may join (1 sends each on its own).
    void SetBatchRows(int rows);
    /// Sets where failures of statements that were held back and refused later go.
    void SetFailureHandler(FailureHandler handler);
    /// Opens a lost connection again (see Provider::EnsureConnected); throws DataAccessError.
    void EnsureConnected();
    /// True when the open connection was lost; false for a closed or working one.
    bool ConnectionLost() const { return provider_ && provider_->ConnectionLost(); }
    /// Provider::TextEncoding of the open provider; empty when none is open.
    std::string TextEncoding() const {
        return provider_ ? provider_->TextEncoding() : std::string();
    }
    /// Provider::Interrupt of the open connection; may be called from another thread while a
    /// call of this connection is under way, but not while it is being opened or closed.
    void Interrupt() {
        if (Provider* provider = provider_.get())
            provider->Interrupt();
    }
    /// The open connection as a destination of converted tables; throws DataAccessError when the
    /// connection is closed or its provider receives no tables.
    Destination& AsDestination();
    /// The open connection as a target database; throws DataAccessError when the connection is
    /// closed or its provider is none.
    TargetDatabase& AsTarget();
    /// The description of the last failure of this connection.
    const std::string& LastError() const { return last_error_; }

private:
    Provider& Require();
    template <typename Call> auto Guarded(Call&& call) -> decltype(call(std::declval<Provider&>()));
    void Configure();
    ProviderFactory factory_;
    std::unique_ptr<Provider> provider_;
    std::string last_error_;
    int batch_rows_ = kDefaultBatchRows;
    FailureHandler failure_handler_;
};

} // namespace tw::data
