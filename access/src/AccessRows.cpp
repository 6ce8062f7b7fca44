#include "AccessRows.h"

#include "AccessBytes.h"

#include <algorithm>

namespace tw::data::access {

int RowSlotCount(const std::uint8_t* page, int page_size, int row_count_offset) {
    const int count = ReadU16(page + row_count_offset);
    return std::min(count, (page_size - row_count_offset - 2) / 2);
}

namespace {

constexpr int kOffsetMask = 0x1FFF;
constexpr int kDeletedFlag = 0x8000;
constexpr int kPointerFlag = 0x4000;

} // namespace

bool DataPageConsistent(const std::uint8_t* page, int page_size, int row_count_offset) {
    const int count = ReadU16(page + row_count_offset);
    const int directory_end = row_count_offset + 2 + 2 * count;
    if (directory_end > page_size)
        return false;
    int lowest = page_size;
    for (int i = 0; i < count; ++i)
        lowest = std::min(lowest, ReadU16(page + row_count_offset + 2 + 2 * i) & kOffsetMask);
    return lowest >= directory_end && ReadU16(page + 2) == lowest - directory_end;
}

std::optional<RowSlot> LocateRow(const std::uint8_t* page, int page_size, int row_count_offset,
                                 int index) {
    const int slots = RowSlotCount(page, page_size, row_count_offset);
    if (index < 0 || index >= slots)
        return std::nullopt;
    const int raw = ReadU16(page + row_count_offset + 2 + 2 * index);
    // A row ends where the row before it in the directory starts (rows grow down the page).
    const int end =
        index == 0 ? page_size : (ReadU16(page + row_count_offset + 2 * index) & kOffsetMask);
    const int start = raw & kOffsetMask;
    if (start < row_count_offset + 2 + 2 * slots || start >= end || end > page_size)
        return std::nullopt;
    RowSlot slot;
    slot.kind = (raw & kPointerFlag) && end - start >= 4 ? RowSlot::Pointer : RowSlot::Live;
    slot.start = start;
    slot.end = end;
    return slot;
}

RowSlot ReadRowSlot(const std::uint8_t* page, int page_size, int row_count_offset, int index) {
    const int slots = RowSlotCount(page, page_size, row_count_offset);
    if (index < 0 || index >= slots)
        return RowSlot{};
    const int raw = ReadU16(page + row_count_offset + 2 + 2 * index);
    // Deleted rows and the bodies of moved rows (reached through their pointer) carry 0x8000.
    if (raw & kDeletedFlag)
        return RowSlot{};
    const auto slot = LocateRow(page, page_size, row_count_offset, index);
    if (!slot || ((raw & kPointerFlag) && slot->kind != RowSlot::Pointer)) {
        RowSlot corrupt;
        corrupt.kind = RowSlot::Corrupt;
        return corrupt;
    }
    return *slot;
}

bool CrackRow(bool jet3, const std::uint8_t* page, int start, int end, bool has_var_columns,
              std::span<const ColumnLayout> columns, std::vector<int>& var_offsets,
              std::span<FieldSpan> spans) {
    const int count_size = jet3 ? 1 : 2;
    const int length = end - start;
    if (length < count_size)
        return false;
    const int row_cols = jet3 ? page[start] : ReadU16(page + start);
    const int mask_size = (row_cols + 7) / 8;
    const int mask_pos = end - mask_size;
    if (mask_pos < start + count_size)
        return false;

    var_offsets.clear();
    int row_var_cols = 0;
    int var_limit = mask_pos - start; // relative end of the variable-length data
    int fixed_end = mask_pos;
    if (has_var_columns) {
        if (jet3) {
            if (mask_pos - 1 < start + count_size)
                return false;
            row_var_cols = page[mask_pos - 1];
            const int row_end = end - 1;
            int jumps = (length - 1) / 256;
            const int col_ptr = row_end - mask_size - jumps - 1;
            if (col_ptr - row_var_cols < start + count_size)
                return false;
            // A last jump entry that no offset reaches is a dummy.
            if ((col_ptr - start - row_var_cols) / 256 < jumps)
                --jumps;
            int used = 0;
            for (int i = 0; i <= row_var_cols; ++i) {
                while (used < jumps && i == page[row_end - mask_size - used - 1])
                    ++used;
                var_offsets.push_back(page[col_ptr - i] + used * 256);
            }
            var_limit = col_ptr - row_var_cols - start;
        } else {
            const int count_pos = mask_pos - 2;
            if (count_pos < start + count_size)
                return false;
            row_var_cols = ReadU16(page + count_pos);
            const int table_start = count_pos - 2 * (row_var_cols + 1);
            if (table_start < start + count_size)
                return false;
            for (int i = 0; i <= row_var_cols; ++i)
                var_offsets.push_back(ReadU16(page + count_pos - 2 - 2 * i));
            var_limit = table_start - start;
        }
        fixed_end = start + std::clamp(var_offsets[0], count_size, var_limit);
    }

    for (std::size_t k = 0; k < columns.size(); ++k) {
        const ColumnLayout& column = columns[k];
        FieldSpan& span = spans[k];
        span = FieldSpan{};
        if (column.col_num >= row_cols)
            continue; // the column was added after this row was written
        span.mask_bit = (page[mask_pos + column.col_num / 8] >> (column.col_num % 8)) & 1;
        if (column.is_bool)
            continue;
        if (column.is_fixed) {
            const int offset = start + count_size + column.fixed_offset;
            if (column.fixed_size > 0 && offset + column.fixed_size <= fixed_end) {
                span.present = true;
                span.offset = offset;
                span.length = column.fixed_size;
            }
        } else if (column.var_index < row_var_cols) {
            const int from = var_offsets[static_cast<std::size_t>(column.var_index)];
            const int to = var_offsets[static_cast<std::size_t>(column.var_index) + 1];
            if (from < count_size || to < from || to > var_limit) {
                span.corrupt = true;
                continue;
            }
            span.present = true;
            span.offset = start + from;
            span.length = to - from;
        }
    }
    return true;
}

} // namespace tw::data::access
