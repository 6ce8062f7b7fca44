#include "AccessTableDefinition.h"

#include "AccessBytes.h"
#include "AccessText.h"

#include <algorithm>
#include <memory>

namespace tw::data::access {

namespace {

// Reads the index part of a table definition, which follows the column names: one entry per
// real index (its key columns and flags), then one entry per logical index (its number, the real
// index it uses and its kind), then the logical indexes' names. Reading stops at the first
// logical index that cannot be read completely.
std::vector<IndexDefinition> ParseIndexes(std::span<const std::uint8_t> bytes, bool jet3,
                                          std::size_t real_count, std::size_t logical_count,
                                          const std::vector<ColumnDefinition>& columns,
                                          std::unique_ptr<CodePageDecoder>& decoder,
                                          int code_page) {
    // Jet4/ACE entries start with 4 bytes Jet3 does not have. A real index entry: up to 10 key
    // columns of {int16 column number (0xFFFF: unused), byte order (0x01 ascending)}, int32
    // usage map, int32 first page, (Jet4/ACE: 4 more bytes), flag byte, (Jet4/ACE: 5 more
    // bytes). A logical index entry: int32 number, int32 real index, byte, int32, int32 (the
    // related table's side, index and page), byte, byte (cascades), byte kind, (Jet4/ACE: 4
    // more bytes).
    const std::size_t lead = jet3 ? 0 : 4;
    const std::size_t real_size = jet3 ? 39 : 52;
    const std::size_t real_flags = jet3 ? 38 : 46;
    const std::size_t logical_size = jet3 ? 20 : 28;
    constexpr std::size_t kKeyColumns = 10;
    constexpr int kUnusedColumn = 0xFFFF;
    constexpr int kAscending = 0x01;

    std::vector<IndexDefinition> indexes;
    if (real_count > bytes.size() / real_size)
        return indexes;
    std::size_t pos = real_count * real_size;
    if (logical_count > (bytes.size() - pos) / logical_size)
        return indexes;

    // The key of each real index; nullopt for one naming a column the table does not have.
    std::vector<std::optional<IndexDefinition>> real(real_count);
    for (std::size_t r = 0; r < real_count; ++r) {
        const std::uint8_t* e = bytes.data() + r * real_size;
        IndexDefinition key;
        bool known = true;
        for (std::size_t k = 0; k < kKeyColumns; ++k) {
            const int col_num = ReadU16(e + lead + 3 * k);
            if (col_num == kUnusedColumn)
                continue;
            const auto column =
                std::find_if(columns.begin(), columns.end(),
                             [col_num](const ColumnDefinition& c) { return c.col_num == col_num; });
            if (column == columns.end()) {
                known = false;
                break;
            }
            key.columns.push_back(
                IndexColumnDefinition{static_cast<std::size_t>(column - columns.begin()),
                                      e[lead + 3 * k + 2] != kAscending});
        }
        key.flags = e[real_flags];
        if (known && !key.columns.empty())
            real[r] = std::move(key);
    }

    const std::uint8_t* entries = bytes.data() + pos;
    pos += logical_count * logical_size;
    const std::size_t length_size = jet3 ? 1 : 2;
    for (std::size_t i = 0; i < logical_count; ++i) {
        if (length_size > bytes.size() - pos)
            break;
        const std::size_t length = jet3 ? bytes[pos] : ReadU16(bytes.data() + pos);
        pos += length_size;
        if (length > bytes.size() - pos)
            break;
        std::string name;
        if (jet3) {
            if (!decoder)
                decoder = std::make_unique<CodePageDecoder>(code_page);
            decoder->Append(name, bytes.data() + pos, length);
        } else {
            AppendUtf16Le(name, bytes.data() + pos, length);
        }
        pos += length;
        const std::uint8_t* e = entries + i * logical_size + lead;
        const std::size_t real_number = ReadU32(e + 4);
        if (real_number >= real.size() || !real[real_number] || name.empty())
            continue;
        IndexDefinition index = *real[real_number];
        index.name = std::move(name);
        index.type = e[19];
        indexes.push_back(std::move(index));
    }
    return indexes;
}

} // namespace

std::optional<TableDefinition> ParseTableDefinition(std::span<const std::uint8_t> bytes, bool jet3,
                                                    int code_page) {
    // Offsets of the definition header and of one column entry, Jet3 and Jet4/ACE.
    const std::size_t header_size = jet3 ? 43 : 63;
    const std::size_t columns_offset = jet3 ? 25 : 45;
    const std::size_t logical_indexes_offset = jet3 ? 27 : 47;
    const std::size_t real_indexes_offset = jet3 ? 31 : 51;
    const std::size_t auto_number_offset = jet3 ? 16 : 20;
    const std::size_t usage_map_offset = jet3 ? 35 : 55;
    const std::size_t index_entry_size = jet3 ? 8 : 12;
    const std::size_t entry_size = jet3 ? 18 : 25;
    if (bytes.size() < header_size)
        return std::nullopt;
    const std::uint8_t* data = bytes.data();
    TableDefinition table;
    table.var_columns = ReadU16(data + columns_offset - 2);
    table.usage_map = ReadU32(data + usage_map_offset);
    table.last_auto_number = ReadU32(data + auto_number_offset);
    const std::size_t column_count = ReadU16(data + columns_offset);
    const std::size_t real_indexes = ReadU32(data + real_indexes_offset);
    if (column_count == 0 || real_indexes > bytes.size() / index_entry_size)
        return std::nullopt;
    std::size_t pos = header_size + real_indexes * index_entry_size;
    if (pos > bytes.size() || entry_size * column_count > bytes.size() - pos)
        return std::nullopt;
    table.columns.resize(column_count);
    for (auto& column : table.columns) {
        const std::uint8_t* e = data + pos;
        column.type = e[0];
        column.precision = e[11];
        column.scale = e[12];
        if (jet3) {
            column.col_num = ReadU16(e + 1);
            column.var_index = ReadU16(e + 3);
            column.flags = e[13];
            column.fixed_offset = ReadU16(e + 14);
            column.size = ReadU16(e + 16);
        } else {
            column.col_num = ReadU16(e + 5);
            column.var_index = ReadU16(e + 7);
            column.complex_id = static_cast<std::int32_t>(ReadU32(e + 11));
            column.flags = e[15];
            column.ext_flags = e[16];
            column.fixed_offset = ReadU16(e + 21);
            column.size = ReadU16(e + 23);
        }
        if (column.type == kTypeBool)
            column.size = 0;
        pos += entry_size;
    }
    // The names follow the entries in the same order, each with a 1-byte (Jet3) or 2-byte
    // length.
    std::unique_ptr<CodePageDecoder> decoder;
    const std::size_t length_size = jet3 ? 1 : 2;
    for (auto& column : table.columns) {
        if (length_size > bytes.size() - pos)
            return std::nullopt;
        const std::size_t length = jet3 ? data[pos] : ReadU16(data + pos);
        pos += length_size;
        if (length > bytes.size() - pos)
            return std::nullopt;
        if (jet3) {
            if (!decoder)
                decoder = std::make_unique<CodePageDecoder>(code_page);
            decoder->Append(column.name, data + pos, length);
        } else {
            AppendUtf16Le(column.name, data + pos, length);
        }
        pos += length;
    }
    std::stable_sort(
        table.columns.begin(), table.columns.end(),
        [](const ColumnDefinition& a, const ColumnDefinition& b) { return a.col_num < b.col_num; });
    table.indexes =
        ParseIndexes(bytes.subspan(pos), jet3, real_indexes, ReadU32(data + logical_indexes_offset),
                     table.columns, decoder, code_page);
    return table;
}

} // namespace tw::data::access
