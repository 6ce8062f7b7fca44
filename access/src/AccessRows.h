#pragma once

// The layout of data pages and rows: the row directory of a page, and the columns' places in
// a row (null mask, fixed area, variable-length offsets). Every offset read is checked against
// the page.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tw::data::access {

/// One row-offset slot of a data page, classified.
struct RowSlot {
    enum Kind { Skip, Live, Pointer, Corrupt };
    /// Skip: deleted, or the target of another slot's pointer; Live: row data here; Pointer:
    /// 4 bytes pointing at the row's data on another page; Corrupt: a live row whose offsets do
    /// not lie inside the page's row area (a damaged page, never a deleted row).
    Kind kind = Skip;
    /// Page offsets of the slot's bytes: [start, end).
    int start = 0;
    int end = 0;
};

/// Number of row slots on a data page (bounded by the page size).
int RowSlotCount(const std::uint8_t* page, int page_size, int row_count_offset);

/// True when the row directory of a data page is consistent: the row count fits the page and
/// the free-space field equals the gap between the directory and the lowest row, as every page
/// written by Access or Jackcess has it. A damaged count or offset breaks the equation.
bool DataPageConsistent(const std::uint8_t* page, int page_size, int row_count_offset);

/// Classifies slot `index` of a data page.
RowSlot ReadRowSlot(const std::uint8_t* page, int page_size, int row_count_offset, int index);

/// The bytes [start, end) of row `index` of a data page whatever its flags (long values, usage
/// maps and moved rows are read this way); nullopt when the slot does not exist or its offsets
/// do not lie inside the page's row area.
std::optional<RowSlot> LocateRow(const std::uint8_t* page, int page_size, int row_count_offset,
                                 int index);

/// Where a column's value lives in the table's rows.
struct ColumnLayout {
    /// Column number including deleted columns: the null-mask bit.
    int col_num = 0;
    /// Index in the row's variable-length offset table (variable columns).
    int var_index = 0;
    /// Offset of the value in the fixed-length area (fixed columns).
    int fixed_offset = 0;
    /// Byte size of a fixed column's value.
    int fixed_size = 0;
    /// True for values stored in the fixed-length area.
    bool is_fixed = false;
    /// True for Yes/No, whose value is the null-mask bit itself.
    bool is_bool = false;
};

/// Where one column's value lies in the current row.
struct FieldSpan {
    /// The null-mask bit: 1 means "not null" (for Yes/No: true).
    bool mask_bit = false;
    /// True when the row holds bytes for the column.
    bool present = false;
    /// True when the row's offsets for this column are inconsistent.
    bool corrupt = false;
    /// Page offset and length of the value's bytes.
    int offset = 0;
    int length = 0;
};

/// Splits the row at [start, end) of `page` into the columns' spans. `has_var_columns` is true
/// when the table definition has variable-length columns; `var_offsets` is scratch space.
/// Returns false when the row's header cannot be read at all.
bool CrackRow(bool jet3, const std::uint8_t* page, int start, int end, bool has_var_columns,
              std::span<const ColumnLayout> columns, std::vector<int>& var_offsets,
              std::span<FieldSpan> spans);

} // namespace tw::data::access
