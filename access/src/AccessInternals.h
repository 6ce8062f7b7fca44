#pragma once

// What the parts of the Access reader share: the open file and its pages (AccessFile.cpp, with
// the ciphers of encoded and encrypted files in AccessCrypto.cpp), the reading plans of tables,
// their definitions and the system catalog (AccessSchema.cpp), the saved queries
// (AccessQueries.cpp), and the cursor over a table's rows (AccessCursor.cpp). The provider
// (AccessProvider.cpp) puts them together.
//
// Every byte of the file is read by this reader and decoded by the bounds-checked helpers of
// AccessFormat: no page ever reaches a library that trusts it, so a damaged or hostile file can
// only produce a DataAccessError. Every chain the format has (definition pages, moved rows,
// long values) is followed with cycle detection, so reading always ends.

#include "AccessCrypto.h"
#include "AccessFormat.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Text.h"
#include "tablewright/model/UniqueFd.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tw::data::access {

// ---------------------------------------------------------------------------------------------
// The file (AccessFile.cpp).

/// Where the bytes of a database come from: an open file or an image in memory.
class ByteSource {
public:
    /// Takes over the open file `fd` of `size` bytes.
    ByteSource(UniqueFd fd, std::int64_t size) : fd_(std::move(fd)), size_(size) {}
    explicit ByteSource(std::vector<std::uint8_t> bytes)
        : bytes_(std::move(bytes)), size_(static_cast<std::int64_t>(bytes_.size())) {}
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    std::int64_t Size() const { return size_; }

    /// Reads exactly `size` bytes at `offset`; false when they are not all there.
    bool ReadAt(std::uint8_t* buffer, std::size_t size, std::int64_t offset) const;

private:
    UniqueFd fd_;
    std::vector<std::uint8_t> bytes_;
    std::int64_t size_ = 0;
};

/// The pages of an encrypted file decrypted last, so that a page read again soon is not
/// decrypted again: a row's page and the page of its long values alternate, and rows moved to
/// another page are read from it one by one.
class RecentPages {
public:
    /// Copies page `page` into `buffer` (a page long) when it is kept; false when it is not.
    bool Find(std::uint32_t page, std::vector<std::uint8_t>& buffer);
    /// Keeps `bytes` as page `page` in place of the page used longest ago.
    void Keep(std::uint32_t page, const std::vector<std::uint8_t>& bytes);

private:
    struct Slot {
        std::uint32_t page = 0; // 0: empty (page 0 is never read through here)
        std::uint64_t used = 0;
        std::vector<std::uint8_t> bytes;
    };
    std::mutex mutex_;
    std::array<Slot, 4> slots_;
    std::uint64_t clock_ = 0;
};

/// What is known about an opened file; shared by the provider and its recordsets. Its pages
/// are read from `source` and, for an encoded or encrypted file, decrypted by `cipher`
/// (LoadPage): files and images in memory take the same path.
struct AccessFile {
    std::string path;
    HeaderInfo header;
    std::unique_ptr<ByteSource> source;
    /// Decrypts every page but the first; null when the pages are stored in clear.
    std::unique_ptr<const PageCipher> cipher;
    /// Pages `cipher` decrypted last.
    mutable RecentPages recent;
    std::int64_t page_count = 0;
    int page_size = 4096;
    int row_count_offset = 12;
    bool jet3 = false;
};

/// The path in quotes, as messages name files.
std::string Quoted(const std::string& path);

/// Throws the DataAccessError of a file that cannot be opened.
[[noreturn]] void FailOpen(const std::string& path, const std::string& reason);

/// Throws the DataAccessError of a failure while reading an open file.
[[noreturn]] void FailRead(const AccessFile& file, const std::string& reason);

/// Reads page `page` into `buffer` (resized to a page) and decrypts it; fails naming the file
/// when the page lies beyond the end of the file or cannot be read.
const std::uint8_t* LoadPage(const AccessFile& file, std::uint32_t page,
                             std::vector<std::uint8_t>& buffer);

/// Checks the header and the size of the database, unlocks an encrypted file with `password`,
/// checks that its catalog definition page is readable and that `password` opens it; `path`
/// names it in messages.
std::shared_ptr<AccessFile> CheckImage(const std::string& path, std::unique_ptr<ByteSource> source,
                                       const std::optional<std::string>& password);

/// Opens and checks the file at `path` with `password`.
std::shared_ptr<AccessFile> OpenFile(const std::string& path,
                                     const std::optional<std::string>& password);

// ---------------------------------------------------------------------------------------------
// Reading plans of tables (AccessSchema.cpp).

/// How a column's value is decoded.
enum class Kind {
    Bool,
    Byte,
    Int16,
    Int32,
    Money,
    Float,
    Double,
    Date,
    Binary,
    Text,
    Ole,
    Memo,
    Guid,
    Numeric,
    BigInt,
    /// Date/Time Extended: days, seconds and 100-ns ticks as ASCII digits.
    ExtendedDate,
    /// A type the reader does not know: the value's bytes as stored.
    Raw,
    /// The complex value id of a complex column (attachments, multi-value, version history).
    Complex,
    Unsupported,
};

/// Bytes ACE adds around a calculated value: a 20-byte prefix (the data length at offset 16)
/// and 3 bytes after the data.
inline constexpr int kCalcPrefix = 20;
inline constexpr int kCalcLengthOffset = 16;
inline constexpr int kCalcOverhead = 23;

/// Bits of a column's flag byte.
inline constexpr int kColumnFixedFlag = 0x01;
inline constexpr int kColumnAutoNumberFlag = 0x04;
inline constexpr int kColumnGuidAutoNumberFlag = 0x40;
/// Bits of a column's extended flag byte (Jet4/ACE) that mark a calculated column.
inline constexpr int kColumnCalculatedFlags = 0xC0;

/// One column as the reader decodes it and as its recordset field describes it.
struct ColumnInfo {
    std::string name;
    int type_byte = 0;
    /// The definition's flag byte (kColumnFixedFlag, kColumnAutoNumberFlag, ...).
    int flags = 0;
    Kind kind = Kind::Unsupported;
    bool calculated = false;
    int ado_type = adEmpty;
    std::int32_t defined_size = 0;
    int precision = 0;
    int scale = 0;
    /// A complex column's id in MSysComplexColumns.
    std::int32_t complex_id = 0;
    ColumnLayout layout;
    /// Why the column's values cannot be read; empty when they can.
    std::string problem;
    /// What the reader says about a column it reads in a way of its own (the raw bytes of an
    /// unknown type); empty for the others.
    std::string note;
};

/// Everything needed to read a table: its columns in the order of their column numbers, where
/// their values lie, its data pages, and what else its definition says.
struct TablePlan {
    std::string name;
    std::uint32_t tdef_page = 0;
    bool has_var_columns = false;
    std::vector<ColumnInfo> columns;
    std::vector<ColumnLayout> layouts;
    std::vector<std::uint8_t> usage_map;
    /// The indexes of the definition; their column positions are positions in `columns`.
    std::vector<IndexDefinition> indexes;
    /// The last value the counting AutoNumber column handed out.
    std::uint32_t last_auto_number = 0;
};

/// A table definition as read from the file, with the usage map it names.
struct StoredTable {
    TableDefinition definition;
    std::vector<std::uint8_t> usage_map;
};

/// Reads and checks the definition of table `name` at `tdef_page` and its usage map.
StoredTable ReadStoredTable(const AccessFile& file, std::uint32_t tdef_page,
                            const std::string& name);

/// True for Jet4/ACE tables with calculated columns, whose value types are column properties.
bool HasCalculatedColumns(const AccessFile& file, const TableDefinition& definition);

/// Builds the reading plan of a table. `properties` returns the table's property blob; it is
/// called only for tables with calculated columns.
std::shared_ptr<const TablePlan>
BuildPlan(const AccessFile& file, std::uint32_t tdef_page, const std::string& name,
          StoredTable stored, const std::function<std::vector<std::uint8_t>()>& properties);

// ---------------------------------------------------------------------------------------------
// Reading rows (AccessCursor.cpp).

class TableCursor;

/// Reads the rows of one table in file order and decodes their values.
class RowReader {
public:
    RowReader(std::shared_ptr<const AccessFile> file, std::shared_ptr<const TablePlan> plan);
    ~RowReader();
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    /// Moves to the next row; false after the last one. Throws DataAccessError for a row that
    /// cannot be read, having moved past it.
    bool Next();
    /// Decodes column `index` of the current row into `out`; throws DataAccessError when it
    /// cannot be read.
    void Decode(std::size_t index, Value& out);

private:
    std::unique_ptr<TableCursor> cursor_;
};

/// Goes through the usage map of a table without reading its data pages: fails when the map
/// cannot be read or names a page beyond the end of the file (a truncated file).
void CheckPageMap(const AccessFile& file, const TablePlan& plan);

/// Opens a recordset over every row of a table.
std::unique_ptr<Recordset> OpenPlanRecordset(std::shared_ptr<const AccessFile> file,
                                             std::shared_ptr<const TablePlan> plan);

// ---------------------------------------------------------------------------------------------
// The system catalog (AccessSchema.cpp).

/// Object types of MSysObjects.
inline constexpr int kObjectTable = 1;
inline constexpr int kObjectOdbcLink = 4;
inline constexpr int kObjectQuery = 5;
inline constexpr int kObjectLink = 6;

/// One table-like object of the system catalog (MSysObjects): table, query or link.
struct CatalogObject {
    std::string name;
    int type = 0;
    /// The object's Id in MSysObjects; MSysQueries names the query its rows belong to by it.
    std::int32_t id = 0;
    std::uint32_t flags = 0;
    std::uint32_t tdef_page = 0;
    /// The reading plan of a user table, read and checked when the file was opened.
    std::shared_ptr<const TablePlan> plan;
    /// For a linked table: the database file it links to (Access links), the connect string
    /// (ODBC links), and the table's name there.
    std::string link_database;
    std::string link_connect;
    std::string link_foreign_name;
};

/// Where a linked table's data lives, for messages: "'T'（位于 D:\\x.accdb）" or
/// "'T'（ODBC：DSN=x;UID=y）", the connect string without its password; empty for other objects.
std::string LinkTarget(const CatalogObject& object);

/// ASCII case folding, as Access compares the names of its objects and system columns.

/// Column `column` of a system table's current row as a whole number (0 when it is not one)
/// and as text (empty when it is not text).
std::int64_t Integer(RowReader& rows, std::size_t column, Value& value);
std::string Text(RowReader& rows, std::size_t column, Value& value);

/// Where each of `names` (compared without ASCII case) is among the columns of the system
/// table `table`; fails naming the table when one is missing.
std::vector<std::size_t> LocateSystemColumns(const AccessFile& file, const TablePlan& plan,
                                             std::span<const std::string_view> names,
                                             std::string_view table);

/// What the catalog knows of complex columns (AccessComplex.cpp), freed there.
struct ComplexCatalog;
struct ComplexCatalogDeleter {
    void operator()(ComplexCatalog* catalog) const noexcept;
};

/// The catalog of an open file: its tables, queries and links, their definitions and
/// properties, and the relationships between the tables.
class Catalog {
public:
    /// Reads MSysObjects, then the definition and page map of every user table, so that a file
    /// whose tables cannot be read, or that lost pages at its end, is refused before anything
    /// is converted.
    explicit Catalog(std::shared_ptr<const AccessFile> file);

    /// The objects in catalog order.
    const std::vector<CatalogObject>& Objects() const { return objects_; }
    /// The object called `name` (the exact spelling first, then ignoring ASCII case); null when
    /// there is none.
    const CatalogObject* Find(const std::string& name) const;
    /// "TABLE", "SYSTEM TABLE", "VIEW", "SYSTEM VIEW" or "LINK"; empty for other objects.
    static std::string TableType(const CatalogObject& object);

    /// The reading plan of a table of the file.
    std::shared_ptr<const TablePlan> Plan(const CatalogObject& table);
    /// The definition of a table of the file with its properties and indexes.
    TableSchema Describe(const CatalogObject& table);
    /// The relationships between the user tables (from MSysRelationships; none without it).
    std::vector<RelationshipSchema> Relationships();
    /// The saved queries in catalog order, their SQL text rebuilt from MSysQueries (none
    /// without it); Access's own hidden queries (names starting with '~') are left out.
    /// Defined in AccessQueries.cpp.
    std::vector<QuerySchema> Queries();
    /// The complex columns of a table with their kinds (from MSysComplexColumns and the type
    /// templates); fails when the file's description of them is damaged. Defined in
    /// AccessComplex.cpp.
    std::vector<ComplexColumnSchema> ComplexColumns(const CatalogObject& table);
    /// The child rows of a complex column of known kind (see kComplexIdField). Defined in
    /// AccessComplex.cpp.
    std::unique_ptr<Recordset> OpenComplexValues(const CatalogObject& table,
                                                 const std::string& column);

private:
    void ReadObjects();
    void CheckUserTables();
    // Finds the hidden tables of the user tables' complex columns and checks their page maps,
    // as CheckUserTables does for the tables themselves (AccessComplex.cpp).
    void CheckComplexTables();
    void FetchProperties(const std::vector<std::uint32_t>& pages);
    std::vector<std::uint8_t> TableProperties(std::uint32_t tdef_page);

    static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

    std::shared_ptr<const AccessFile> file_;
    std::shared_ptr<const TablePlan> catalog_;
    std::size_t id_column_ = kNoColumn;
    std::size_t name_column_ = kNoColumn;
    std::size_t type_column_ = kNoColumn;
    std::size_t flags_column_ = kNoColumn;
    std::size_t properties_column_ = kNoColumn;
    std::size_t database_column_ = kNoColumn;
    std::size_t connect_column_ = kNoColumn;
    std::size_t foreign_name_column_ = kNoColumn;
    std::vector<CatalogObject> objects_;
    // Property blobs (MSysObjects.LvProp) by definition page; empty for tables without one.
    std::map<std::uint32_t, std::vector<std::uint8_t>> properties_;
    // MSysComplexColumns and the complex columns found so far (AccessComplex.cpp).
    std::unique_ptr<ComplexCatalog, ComplexCatalogDeleter> complex_;
};

} // namespace tw::data::access
