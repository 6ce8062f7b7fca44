#pragma once

// The table-definition pages of an Access file: columns, indexes and the usage map of the
// table's data pages.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tw::data::access {

/// One column entry of a table definition, as stored.
struct ColumnDefinition {
    /// The type code (ColumnType).
    int type = 0;
    /// Column number including deleted columns: the null-mask bit.
    int col_num = 0;
    /// Index in the rows' variable-length offset table.
    int var_index = 0;
    /// Offset of a fixed column's value in the fixed-length area.
    int fixed_offset = 0;
    /// Declared byte size (0 for Yes/No).
    int size = 0;
    /// Flag byte (0x01 fixed length, 0x04 autonumber, 0x40 GUID autonumber, 0x80 hyperlink).
    int flags = 0;
    /// Extended flag byte of Jet4/ACE (0xC0: calculated column).
    int ext_flags = 0;
    /// Precision and scale bytes (meaningful for Decimal columns).
    int precision = 0;
    int scale = 0;
    /// The complex column's id in MSysComplexColumns (ACE complex columns; the same bytes as
    /// precision and scale).
    std::int32_t complex_id = 0;
    /// The column name as UTF-8.
    std::string name;
};

/// One column of an index, in key order.
struct IndexColumnDefinition {
    /// Position of the column in TableDefinition::columns.
    std::size_t column = 0;
    bool descending = false;
};

/// Flags of a (real) index.
inline constexpr int kIndexUnique = 0x01;
inline constexpr int kIndexIgnoreNulls = 0x02;
inline constexpr int kIndexRequired = 0x08;

/// Kinds of a logical index.
inline constexpr int kIndexTypePrimary = 1;
inline constexpr int kIndexTypeForeign = 2;

/// One index of a table as users see it (a logical index), with the key and flags of the real
/// index it uses (several logical indexes may share one real index).
struct IndexDefinition {
    std::string name;
    std::vector<IndexColumnDefinition> columns;
    /// The real index's flags (kIndexUnique, kIndexIgnoreNulls, kIndexRequired).
    int flags = 0;
    /// kIndexTypePrimary, kIndexTypeForeign (kept for one side of a relationship) or 0.
    int type = 0;
};

/// What a table definition says about its table.
struct TableDefinition {
    /// Number of variable-length columns.
    int var_columns = 0;
    /// Row pointer (page << 8 | row) of the usage map that lists the table's data pages.
    std::uint32_t usage_map = 0;
    /// The last value the table's counting AutoNumber column handed out.
    std::uint32_t last_auto_number = 0;
    /// The columns, ordered by column number.
    std::vector<ColumnDefinition> columns;
    /// The indexes in the order the definition lists them. An index naming a column or real
    /// index the table does not have is left out; a name that does not fit in the definition
    /// ends the list.
    std::vector<IndexDefinition> indexes;
};

/// Parses a table definition: its first page whole, then each continuation page from offset 8.
/// Jet3 names are decoded with `code_page`. nullopt when the column entries or names do not fit
/// in the bytes or the definition has no columns; a damaged index part only shortens the index
/// list.
std::optional<TableDefinition> ParseTableDefinition(std::span<const std::uint8_t> bytes, bool jet3,
                                                    int code_page);

} // namespace tw::data::access
