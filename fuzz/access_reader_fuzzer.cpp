// libFuzzer target over the Access reader: opens the input as a database image, lists its
// tables, reads every table's definition and every value, the relationships and the saved
// queries. Any outcome other than success or a DataAccessError (a crash, a sanitizer report, a
// hang, another exception) is a finding.
//
// The first byte of an input picks the password the image is opened with (none, or one of the
// test files' passwords), so that the pages of encrypted files are decrypted and read too;
// fuzz/run gives each seed the byte of its file's password. The image is the rest.
//
// The custom mutator keeps images a whole number of pages long most of the time and aims at the
// pages the reader interprets (header, catalog, table definitions) and at the encryption
// information of ACE headers, because inserting or deleting a byte anywhere else only makes the
// file size invalid, which is rejected at once.

#include "AccessImage.h"
#include "tablewright/access/OleObject.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

// The passwords an input's first byte chooses from: none, and those of the test files.
const std::array<std::optional<std::string>, 3> kPasswords = {std::nullopt, "Test123", "password"};

// Where ACE headers keep their encryption information, and how far it may reach.
constexpr std::size_t kEncryptionInfo = 0x298;
constexpr std::size_t kEncryptionInfoEnd = 0x1000;

// Reads every value of a recordset, as the conversion does.
void ReadAll(tw::data::Recordset& rs) {
    (void)rs.RecordCount();
    (void)rs.ColumnWarnings();
    for (int i = 0; i < rs.FieldCount(); ++i) {
        auto& field = rs.GetField(i);
        (void)field.Type();
        (void)field.DefinedSize();
    }
    while (!rs.IsEOF()) {
        for (int i = 0; i < rs.FieldCount(); ++i) {
            try {
                const tw::data::Value& value = rs.GetField(i).GetValue();
                // Every byte value is unwrapped as an OLE Object too.
                if (const auto* bytes = std::get_if<tw::data::Bytes>(&value))
                    (void)tw::data::ExtractOleContents(bytes->data);
            } catch (const tw::data::DataAccessError&) {
            }
        }
        try {
            rs.MoveNext();
        } catch (const tw::data::DataAccessError&) {
            // The reader moves past an unreadable row; go on like a lenient caller.
        }
    }
}

void ReadEverything(tw::data::Provider& provider) {
    for (const auto& table : provider.SchemaTables()) {
        if (table.table_type != "TABLE" && table.table_type != "SYSTEM TABLE")
            continue;
        try {
            ReadAll(*provider.OpenTable(table.table_name));
        } catch (const tw::data::DataAccessError&) {
        }
        try {
            // The child rows of attachments, multi-value fields and version histories.
            for (const auto& complex : provider.ReadComplexColumns(table.table_name)) {
                if (complex.kind == tw::data::ComplexKind::Other)
                    continue;
                try {
                    ReadAll(*provider.OpenComplexValues(table.table_name, complex.column));
                } catch (const tw::data::DataAccessError&) {
                }
            }
        } catch (const tw::data::DataAccessError&) {
        }
        try {
            (void)provider.ReadTableSchema(table.table_name);
        } catch (const tw::data::DataAccessError&) {
        }
    }
    try {
        (void)provider.ReadRelationships();
    } catch (const tw::data::DataAccessError&) {
    }
    try {
        (void)provider.ReadQueries();
    } catch (const tw::data::DataAccessError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    try {
        auto provider = tw::data::access::OpenAccessImage(
            "fuzz.mdb", std::vector<std::uint8_t>(data + 1, data + size),
            kPasswords[data[0] % kPasswords.size()]);
        ReadEverything(*provider);
    } catch (const tw::data::DataAccessError&) {
    }
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* input, std::size_t input_size,
                                               std::size_t max_size, unsigned int seed) {
    std::minstd_rand rng(seed);
    if (input_size < 2 || max_size < 2)
        return LLVMFuzzerMutate(input, input_size, max_size);
    if (rng() % 32 == 0) {
        input[0] = static_cast<std::uint8_t>(rng()); // another password
        return input_size;
    }
    // From here on the image alone, behind the password byte.
    std::uint8_t* data = input + 1;
    const std::size_t size = input_size - 1;
    const std::size_t page = size > 0x14 && data[0x14] == 0 ? 2048 : 4096;
    const std::size_t pages = size / page;
    const unsigned choice = rng() % 16;
    if (pages < 3 || choice == 0)
        return 1 + LLVMFuzzerMutate(data, size, max_size - 1);
    if (choice == 1) {
        // Cut at a page boundary: a truncated file whose size still looks right.
        return 1 + (1 + rng() % pages) * page;
    }
    if (choice == 2 && page == 4096 && data[0x14] >= 2) {
        // The encryption information of an ACE header (a whole page is there: pages >= 3).
        const std::size_t length = kEncryptionInfoEnd - kEncryptionInfo;
        LLVMFuzzerMutate(data + kEncryptionInfo, length, length);
        return input_size;
    }
    std::size_t target = 0;
    if (choice < 6) {
        target = rng() % 3; // header, first data page, catalog definition
    } else if (choice < 10) {
        // A table-definition page, if one turns up among a few random picks.
        target = rng() % pages;
        for (int tries = 0; tries < 16 && data[target * page] != 0x02; ++tries)
            target = rng() % pages;
    } else {
        target = rng() % pages;
    }
    // Mutate within the page; a shorter result leaves the page's old tail in place, so the
    // size of the file does not change.
    const std::size_t length = std::min(page, size - target * page);
    LLVMFuzzerMutate(data + target * page, length, length);
    return input_size;
}
