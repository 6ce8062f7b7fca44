// tablewright-make-big: makes a large Jet4 .mdb for measurements from a smaller one by appending
// copies of the data pages of its largest table.
//
//     tablewright-make-big [--copies N] SOURCE.mdb TARGET.mdb
//
// The table that owns the most data pages (Orders in gen-big.mdb, 200,000 rows) is grown to N
// times its rows (default 20: 4,000,000 Orders rows, 4,050,000 rows in all, about 460 MB). Every
// copy of a data page has the values of each whole-number (Long) column of a unique index moved
// up by (copy number) x (the largest value of the column), so that keys stay unique; long values
// (memos stored on their own pages) are shared by all copies of a row. The table's usage map gets
// the new pages (new map pages where its reference map had none for a range), and its row count
// and next AutoNumber are set. The table's index pages are left as they were: they name the
// first copy's rows only, so Access would want the file compacted; tablewright reads rows through
// the usage map and does not read index pages.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::uint8_t kPageData = 0x01;
constexpr std::uint8_t kPageTable = 0x02;
constexpr std::uint8_t kPageUsageMap = 0x05;
constexpr std::uint16_t kRowDeleted = 0x8000;
constexpr std::uint16_t kRowLookup = 0x4000;
constexpr std::uint8_t kTypeLong = 4;
constexpr std::uint8_t kColumnFixed = 0x01;
constexpr std::uint8_t kIndexUnique = 0x01;

std::uint32_t U16(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

[[noreturn]] void Fail(const std::string& message) {
    throw std::runtime_error(message);
}

struct KeyColumn {
    std::size_t fixed_offset; // from the start of the fixed data (after the column count)
    std::int64_t largest = 0;
};

// The fixed Long columns of the unique indexes of the table definition at `tdef`; fails for a
// unique index over anything else (it could not be kept unique).
std::vector<KeyColumn> UniqueLongColumns(const std::uint8_t* tdef) {
    if (U32(tdef + 4) != 0)
        Fail("the table definition continues on another page (not handled)");
    const std::size_t columns = U16(tdef + 45);
    const std::size_t real_indexes = U32(tdef + 51);
    std::size_t pos = 63 + real_indexes * 12;
    struct Column {
        std::uint8_t type, flags;
        std::uint32_t number, fixed_offset;
    };
    std::vector<Column> all;
    for (std::size_t i = 0; i < columns; ++i, pos += 25) {
        const std::uint8_t* e = tdef + pos;
        all.push_back({e[0], e[15], U16(e + 5), U16(e + 21)});
    }
    for (std::size_t i = 0; i < columns; ++i)
        pos += 2 + U16(tdef + pos); // the names
    std::map<std::uint32_t, KeyColumn> keys;
    for (std::size_t r = 0; r < real_indexes; ++r, pos += 52) {
        const std::uint8_t* e = tdef + pos;
        if ((e[46] & kIndexUnique) == 0)
            continue;
        for (int k = 0; k < 10; ++k) {
            const std::uint32_t number = U16(e + 4 + 3 * k);
            if (number == 0xFFFF)
                continue;
            bool found = false;
            for (const Column& column : all)
                if (column.number == number) {
                    if (column.type != kTypeLong || (column.flags & kColumnFixed) == 0)
                        Fail("a unique index holds a column that is not a Long");
                    keys[number] = KeyColumn{column.fixed_offset};
                    found = true;
                }
            if (!found)
                Fail("a unique index names an unknown column");
        }
    }
    std::vector<KeyColumn> result;
    for (const auto& [number, key] : keys)
        result.push_back(key);
    return result;
}

// Calls `row(page bytes, start of row)` for each live row of a data page.
template <typename Row> void ForEachRow(std::uint8_t* page, Row&& row) {
    const std::size_t rows = U16(page + 12);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint32_t offset = U16(page + 14 + 2 * i);
        if (offset & kRowDeleted)
            continue;
        if (offset & kRowLookup)
            Fail("a row is stored on another page (overflow row; not handled)");
        row(page + (offset & 0x1FFF));
    }
}

} // namespace

int main(int argc, char** argv) {
    int copies = 20;
    int arg = 1;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--copies") == 0) {
        copies = std::atoi(argv[arg + 1]);
        arg += 2;
    }
    if (argc - arg != 2 || copies < 1) {
        std::cerr << "usage: tablewright-make-big [--copies N] SOURCE.mdb TARGET.mdb\n";
        return 2;
    }
    try {
        std::ifstream in(argv[arg], std::ios::binary);
        if (!in)
            Fail(std::string("cannot open ") + argv[arg]);
        std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
        if (file.size() < 2 * kPage || file.size() % kPage != 0 || file[0x14] != 1)
            Fail("not a Jet4 (Access 2000-2003) file");
        const std::size_t pages = file.size() / kPage;
        auto page = [&](std::size_t n) { return file.data() + n * kPage; };

        // The largest table: the one owning the most data pages (long value pages excluded).
        std::map<std::uint32_t, std::vector<std::uint32_t>> owned;
        for (std::size_t n = 1; n < pages; ++n) {
            const std::uint8_t* p = page(n);
            if (p[0] == kPageData && std::memcmp(p + 4, "LVAL", 4) != 0)
                owned[U32(p + 4)].push_back(static_cast<std::uint32_t>(n));
        }
        std::uint32_t tdef = 0;
        for (const auto& [table, list] : owned)
            if (table < pages && page(table)[0] == kPageTable &&
                (tdef == 0 || list.size() > owned[tdef].size()))
                tdef = table;
        if (tdef == 0)
            Fail("no table with data pages");
        const std::vector<std::uint32_t>& data_pages = owned[tdef];
        std::vector<KeyColumn> keys = UniqueLongColumns(page(tdef));
        std::int64_t rows = 0;
        for (const std::uint32_t n : data_pages)
            ForEachRow(page(n), [&](std::uint8_t* row) {
                ++rows;
                for (KeyColumn& key : keys)
                    key.largest = std::max<std::int64_t>(
                        key.largest, static_cast<std::int32_t>(U32(row + 2 + key.fixed_offset)));
            });
        for (const KeyColumn& key : keys)
            if (key.largest * copies > INT32_MAX)
                Fail("the keys would not fit a Long");
        if (rows * copies > UINT32_MAX)
            Fail("too many rows");

        // The usage map: a reference map (kind 1) row whose slots name map pages.
        std::uint8_t* definition = page(tdef);
        const std::uint32_t map_pointer = U32(definition + 55);
        std::uint8_t* map_page = page(map_pointer >> 8);
        const std::size_t map_row = map_pointer & 0xFF;
        if (map_page[0] != kPageData || map_row >= U16(map_page + 12))
            Fail("the usage map cannot be found");
        const std::size_t map_start = U16(map_page + 14 + 2 * map_row) & 0x1FFF;
        const std::size_t map_end =
            map_row == 0 ? kPage : (U16(map_page + 14 + 2 * (map_row - 1)) & 0x1FFF);
        std::uint8_t* map = map_page + map_start;
        if (map[0] != 1)
            Fail("the usage map is not a reference map (kind 1)");
        const std::size_t slots = (map_end - map_start - 1) / 4;
        const std::size_t bits_per_map_page = (kPage - 4) * 8;

        const std::size_t new_data = data_pages.size() * static_cast<std::size_t>(copies - 1);
        const std::size_t last_page = pages + new_data; // before any new map page
        std::size_t needed_slots = (last_page + bits_per_map_page) / bits_per_map_page + 1;
        if (needed_slots > slots)
            Fail("the usage map has room for " + std::to_string(slots) + " map pages only");
        // Map pages the map lacks go after the data pages.
        std::size_t next_new = last_page;
        std::vector<std::vector<std::uint8_t>> new_maps;
        std::map<std::size_t, std::uint8_t*> map_bits; // slot -> bits
        for (std::size_t slot = 0; slot < needed_slots; ++slot) {
            const std::uint32_t existing = U32(map + 1 + 4 * slot);
            if (existing != 0) {
                if (page(existing)[0] != kPageUsageMap)
                    Fail("a usage map page is not one");
                map_bits[slot] = page(existing) + 4;
                continue;
            }
            auto& fresh = new_maps.emplace_back(kPage, 0);
            fresh[0] = kPageUsageMap;
            fresh[1] = 0x01;
            Put32(map + 1 + 4 * slot, static_cast<std::uint32_t>(next_new++));
            map_bits[slot] = fresh.data() + 4;
        }
        // new_maps does not move its buffers any more: the bit pointers stay valid.

        std::ofstream out(argv[arg + 1], std::ios::binary | std::ios::trunc);
        if (!out)
            Fail(std::string("cannot write ") + argv[arg + 1]);
        // Table definition: the row count (offset 16) and the last AutoNumber (offset 20).
        Put32(definition + 16, static_cast<std::uint32_t>(rows * copies));
        if (!keys.empty() && U32(definition + 20) != 0)
            Put32(definition + 20, static_cast<std::uint32_t>(keys[0].largest * copies));
        std::size_t at = pages;
        std::vector<std::uint8_t> copy(kPage);
        // The original part first (its map pages are written again at the end).
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
        for (int c = 1; c < copies; ++c)
            for (const std::uint32_t n : data_pages) {
                std::memcpy(copy.data(), page(n), kPage);
                ForEachRow(copy.data(), [&](std::uint8_t* row) {
                    for (const KeyColumn& key : keys) {
                        std::uint8_t* value = row + 2 + key.fixed_offset;
                        Put32(value, static_cast<std::uint32_t>(
                                         static_cast<std::int32_t>(U32(value)) + c * key.largest));
                    }
                });
                out.write(reinterpret_cast<const char*>(copy.data()), kPage);
                const std::size_t slot = at / bits_per_map_page;
                const std::size_t bit = at % bits_per_map_page;
                map_bits.at(slot)[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
                ++at;
            }
        for (const auto& fresh : new_maps)
            out.write(reinterpret_cast<const char*>(fresh.data()), kPage);
        // The changed pages of the original part: definition, map row, existing map pages.
        auto rewrite = [&](std::size_t n) {
            out.seekp(static_cast<std::streamoff>(n * kPage));
            out.write(reinterpret_cast<const char*>(page(n)), kPage);
        };
        rewrite(tdef);
        rewrite(map_pointer >> 8);
        for (std::size_t slot = 0; slot < needed_slots; ++slot) {
            const std::uint32_t n = U32(map + 1 + 4 * slot);
            if (n < pages)
                rewrite(n);
        }
        out.close();
        if (!out)
            Fail("writing failed");
        std::cout << "tablewright-make-big: table at page " << tdef << ": " << rows << " rows x "
                  << copies << " = " << rows * copies << " rows, " << (at + new_maps.size())
                  << " pages (" << (at + new_maps.size()) * kPage / (1024 * 1024) << " MiB)\n";
    } catch (const std::exception& e) {
        std::cerr << "tablewright-make-big: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
