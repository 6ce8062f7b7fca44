#pragma once

// Decoding of the Access (Jet3/Jet4/ACE) on-disk formats: the header page, table definitions,
// data pages, row layout, text encodings and the exact number formats. Every function works on
// plain byte buffers and checks every offset it reads against the buffer, so that it can be
// tested (and fuzzed) without a file.

#include "tablewright/model/Value.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tw::data::access {

/// The first byte of a data page (rows, long values, usage maps).
inline constexpr std::uint8_t kPageData = 0x01;
/// The first byte of a table-definition page.
inline constexpr std::uint8_t kPageTableDefinition = 0x02;
/// The first byte of a page of a reference usage map.
inline constexpr std::uint8_t kPageUsageMap = 0x05;

/// The version byte of Jet3 (Access 97) files.
inline constexpr int kVersionJet3 = 0;
/// The newest version byte a reader of this format knows (ACE 17, Access 2019).
inline constexpr int kVersionNewest = 6;

/// Column type codes of table definitions.
enum ColumnType : int {
    kTypeBool = 0x01,
    kTypeByte = 0x02,
    kTypeInt16 = 0x03,
    kTypeInt32 = 0x04,
    kTypeMoney = 0x05,
    kTypeFloat = 0x06,
    kTypeDouble = 0x07,
    kTypeDateTime = 0x08,
    kTypeBinary = 0x09,
    kTypeText = 0x0A,
    kTypeOle = 0x0B,
    kTypeMemo = 0x0C,
    kTypeGuid = 0x0F,
    kTypeNumeric = 0x10,
    kTypeComplexUnknown = 0x11,
    kTypeComplex = 0x12,
    kTypeBigInt = 0x13,
    kTypeExtendedDate = 0x14,
};

/// Reads a little-endian 16-bit unsigned integer.
inline std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

/// Reads a little-endian 32-bit unsigned integer.
inline std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

/// Reads a little-endian 64-bit unsigned integer.
inline std::uint64_t ReadU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(ReadU32(p)) |
           (static_cast<std::uint64_t>(ReadU32(p + 4)) << 32);
}

/// Reads a little-endian IEEE-754 double bit for bit.
inline double ReadDouble(const std::uint8_t* p) {
    const std::uint64_t bits = ReadU64(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// Reads a little-endian IEEE-754 single bit for bit.
inline float ReadFloat(const std::uint8_t* p) {
    const std::uint32_t bits = ReadU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// Applies the RC4 key stream of `key` to `data` in place (the same call encrypts and decrypts).
void Rc4Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

/// Applies RC4 with the four little-endian bytes of `key` (how Jet encodes its pages: the
/// header's key xor the page number).
void Rc4ApplyKey32(std::uint32_t key, std::span<std::uint8_t> data);

/// What the first page of an Access file says about the file.
struct HeaderInfo {
    /// The version byte at 0x14: 0 Jet3, 1 Jet4, 2 or more ACE (.accdb).
    int version = 0;
    /// True for "Standard ACE DB" files.
    bool is_ace = false;
    /// 2048 for Jet3, 4096 otherwise.
    int page_size = 4096;
    /// The database code page (used for Jet3 text).
    int code_page = 1252;
    /// The key field; 0 when pages are stored in clear. Jet encodes its pages with RC4 under it;
    /// in an encrypted ACE file it only varies the key (or IV) from page to page.
    std::uint32_t db_key = 0;
    /// The database password as UTF-8 (Jet3/Jet4); empty when the file has none.
    std::string password;
};

/// True when the bytes start with the signature of an Access file ("Standard Jet DB" or
/// "Standard ACE DB" after the magic bytes).
bool HasAccessSignature(std::span<const std::uint8_t> head);

/// Reads the header page (at least its first 0x98 bytes); nullopt when it is not an Access
/// header (wrong magic bytes or too short).
std::optional<HeaderInfo> ParseHeader(std::span<const std::uint8_t> page0);

/// True when `given` opens a database with this header, as the Jet provider decides: a file
/// without a password opens with any password; otherwise the password must match exactly.
bool PasswordAccepted(const HeaderInfo& header, const std::optional<std::string>& given);

/// The code page number that stands for text in the character set `name` (any name iconv
/// knows, e.g. "CP936", "GBK", "BIG5"): the number itself for "CP<n>", otherwise a number above
/// 65535 that CodePageDecoder and CharsetName resolve to the name; nullopt when iconv does not
/// know it.
std::optional<int> CodePageForCharset(const std::string& name);
/// The iconv name of a code page number ("CP1252", or the name a number of CodePageForCharset
/// stands for).
std::string CharsetName(int code_page);

/// Decodes Windows code-page text (Jet3 files) to UTF-8.
class CodePageDecoder {
public:
    /// Prepares a decoder for the code page (e.g. 1252); unknown code pages fall back to 1252.
    explicit CodePageDecoder(int code_page);
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder&) = delete;
    CodePageDecoder& operator=(const CodePageDecoder&) = delete;

    /// Appends the UTF-8 form of the code-page bytes to `out`.
    void Append(std::string& out, const std::uint8_t* data, std::size_t size);

private:
    // UTF-8 of each byte for single-byte code pages; unused when multibyte_ is set.
    std::string table_[256];
    bool multibyte_ = false;
    void* iconv_ = nullptr;
};

/// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t code_point);

/// Appends UTF-16LE text as UTF-8 (surrogate pairs joined; a lone surrogate becomes U+FFFD).
void AppendUtf16Le(std::string& out, const std::uint8_t* data, std::size_t size);

/// Appends Jet4/ACE text as UTF-8: UTF-16LE, or "compressed unicode" when it starts with FF FE
/// (single bytes for U+0001..U+00FF; a 00 byte switches between one-byte and two-byte runs).
void AppendJet4Text(std::string& out, const std::uint8_t* data, std::size_t size);

/// Appends an unsigned integer given as 32-bit words (most significant first) as an exact
/// decimal with exactly `scale` digits after the point and a '-' when negative and non-zero.
void AppendScaledDecimal(std::string& out, bool negative, std::span<const std::uint32_t> words,
                         int scale);

/// Appends a Currency value (int64 in 1/10000 units) with exactly 4 decimals.
void AppendCurrency(std::string& out, std::int64_t units);

/// Appends a Jet4 Decimal value (sign byte, then four little-endian 32-bit words, most
/// significant first) with exactly `scale` decimals.
void AppendJetDecimal(std::string& out, const std::uint8_t* data17, int scale);

/// The value of an ACE calculated Decimal, which carries its own scale.
struct CalcDecimal {
    bool negative = false;
    int scale = 0;
    std::vector<std::uint32_t> words; // most significant first
};

/// Reads an ACE calculated Decimal from its unwrapped bytes (length, scale, sign, then the
/// magnitude in its odd byte order); nullopt when the bytes do not hold one.
std::optional<CalcDecimal> ReadCalcDecimal(const std::uint8_t* data, std::size_t size);

/// Appends a GUID in the form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}; the first three groups are
/// stored little-endian.
void AppendGuid(std::string& out, const std::uint8_t* data16);

/// Converts an Access date (days since 1899-12-30; for negative values the fraction is still the
/// positive time of day) to a proleptic Gregorian date-time rounded to the nearest second;
/// nullopt for NaN, infinities and values beyond about ±27,000 years.
std::optional<DateTime> AccessDateToDateTime(double value);

/// The bytes a Date/Time Extended value takes.
inline constexpr int kExtendedDateSize = 42;

/// Reads a Date/Time Extended value: ASCII digits of the days since 0001-01-01, of the seconds
/// since midnight and of the 100-ns ticks of the second (kept whole in DateTime::ticks);
/// nullopt when the bytes are shorter, hold other characters or lie beyond 9999-12-31.
std::optional<DateTime> ReadExtendedDate(const std::uint8_t* data, std::size_t size);

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

/// One property of an object of a property blob.
struct Property {
    std::string name;
    /// The value's type code (ColumnType).
    int type = 0;
    /// bool for Yes/No; int64 for Byte, Integer and Long; double for Single and Double; UTF-8
    /// text for Text and Memo; nothing for other kinds and for values too short for their type.
    std::variant<std::monostate, bool, std::int64_t, double, std::string> value;
};

/// The properties one object of a property blob holds.
struct PropertyObject {
    /// 0 for the object the blob belongs to (a table), 1 and more for its parts (columns).
    int kind = 0;
    /// The part's name; empty (or the object's own name) for the object itself.
    std::string name;
    std::vector<Property> properties;

    /// The property `name`, or null when the object does not have it.
    const Property* Find(std::string_view property) const;
};

/// Reads every property of every object of a property blob (MSysObjects.LvProp: "MR2" with
/// Jet4/ACE text, or "KKD" with text in `code_page` for Jet3). Parts that cannot be read end the
/// object or the blob they are in; a blob of another kind gives nothing.
std::vector<PropertyObject> ReadPropertyBlob(std::span<const std::uint8_t> blob, int code_page);

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
