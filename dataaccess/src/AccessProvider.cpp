#include "tablewright/dataaccess/AccessProvider.h"

#include "AccessFormat.h"
#include "AccessImage.h"
#include "tablewright/dataaccess/AdoTypes.h"

#include <glib.h> // mdbtools.h uses glib types without including glib.h in C++
#include <mdbtools.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace tw::data {

namespace {

using access::ColumnDefinition;
using access::ColumnLayout;
using access::FieldSpan;
using access::HeaderInfo;
using access::ReadU16;
using access::ReadU32;
using access::RowSlot;
using access::kPageData;
using access::kPageTableDefinition;

// ---------------------------------------------------------------------------------------------
// The file as a whole.
//
// Every byte of the file is read here and decoded by the bounds-checked helpers of
// AccessFormat: no page ever reaches a library that trusts it, so a damaged or hostile file can
// only produce a DataAccessError. Every chain the format has (definition pages, moved rows,
// long values) is followed with cycle detection, so reading always ends.

// Where the bytes of a database come from: an open file or an image in memory.
class ByteSource {
public:
    ByteSource(int fd, std::int64_t size) : fd_(fd), size_(size) {}
    explicit ByteSource(std::vector<std::uint8_t> bytes)
        : bytes_(std::move(bytes)), size_(static_cast<std::int64_t>(bytes_.size())) {}
    ~ByteSource() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    std::int64_t Size() const { return size_; }

    // Reads exactly `size` bytes at `offset`; false when they are not all there.
    bool ReadAt(std::uint8_t* buffer, std::size_t size, std::int64_t offset) const {
        if (offset < 0 ||
            static_cast<std::uint64_t>(offset) + size > static_cast<std::uint64_t>(size_))
            return false;
        if (fd_ < 0) {
            std::memcpy(buffer, bytes_.data() + offset, size);
            return true;
        }
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd_, buffer + done, size - done,
                                      static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd_ = -1;
    std::vector<std::uint8_t> bytes_;
    std::int64_t size_ = 0;
};

struct MdbCloser {
    void operator()(MdbHandle* mdb) const noexcept { mdb_close(mdb); }
};

// What is known about an opened file; shared by the provider and its recordsets.
struct AccessFile {
    std::string path;
    HeaderInfo header;
    std::unique_ptr<ByteSource> source;
    // libmdb's handle on the file: it reads (and, for encoded files, decodes) the pages, once
    // the checks here have shown the file to be whole; every byte it returns is parsed and
    // bounds-checked by this reader, never by libmdb. Null for images held in memory.
    std::unique_ptr<MdbHandle, MdbCloser> mdb;
    std::int64_t page_count = 0;
    int page_size = 4096;
    int row_count_offset = 12;
    bool jet3 = false;
    // True when every page but the first is RC4-encoded with a key derived from db_key.
    bool encoded = false;
};

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

[[noreturn]] void FailOpen(const std::string& path, const std::string& reason) {
    throw DataAccessError("无法打开数据库 " + Quoted(path) + "：" + reason + "。");
}

[[noreturn]] void FailRead(const AccessFile& file, const std::string& reason) {
    throw DataAccessError("读取数据库 " + Quoted(file.path) + " 时出错：" + reason + "。");
}

// Reads page `page` into `buffer` (resized to a page) and decodes it; fails naming the file
// when the page lies beyond the end of the file or cannot be read.
const std::uint8_t* LoadPage(const AccessFile& file, std::uint32_t page,
                             std::vector<std::uint8_t>& buffer) {
    if (page == 0 || page >= file.page_count)
        FailRead(file, "第 " + std::to_string(page) + " 页超出文件末尾，文件可能已被截断或损坏");
    buffer.resize(static_cast<std::size_t>(file.page_size));
    if (file.mdb) {
        if (mdb_read_pg(file.mdb.get(), page) != file.page_size)
            FailRead(file, "无法读取第 " + std::to_string(page) + " 页");
        std::memcpy(buffer.data(), file.mdb->pg_buf, buffer.size());
        return buffer.data();
    }
    if (!file.source->ReadAt(buffer.data(), buffer.size(),
                             static_cast<std::int64_t>(page) * file.page_size))
        FailRead(file, "无法读取第 " + std::to_string(page) + " 页");
    if (file.encoded)
        access::Rc4ApplyKey32(file.header.db_key ^ page, buffer);
    return buffer.data();
}

// Checks the header and the size of the file and that its catalog definition page is readable.
std::shared_ptr<AccessFile> CheckImage(const std::string& path,
                                       std::unique_ptr<ByteSource> source) {
    const std::int64_t size = source->Size();
    if (size == 0)
        FailOpen(path, "文件是空的");
    std::uint8_t page0[4096] = {};
    const std::size_t head = static_cast<std::size_t>(std::min<std::int64_t>(size, 4096));
    if (!source->ReadAt(page0, head, 0))
        FailOpen(path, "无法读取文件头");
    const std::span<const std::uint8_t> head_bytes(page0, head);
    if (!access::HasAccessSignature(head_bytes))
        FailOpen(path, "不是 Access 数据库文件（无法识别的数据库格式）");
    const auto header = access::ParseHeader(head_bytes);
    if (!header)
        FailOpen(path, "文件不完整（只有 " + std::to_string(size) +
                           " 字节，放不下数据库的文件头），可能已被截断");
    if (header->version > access::kVersionNewest)
        FailOpen(path, "不支持的数据库版本（版本号 " + std::to_string(header->version) + "）");
    // ACE files keep the key of their (Office) encryption where Jet keeps its page-encoding
    // key; neither agile nor RC4 CryptoAPI encryption can be read here.
    if (header->is_ace && header->db_key != 0)
        FailOpen(path, "文件已加密，不支持");

    auto file = std::make_shared<AccessFile>();
    file->path = path;
    file->header = *header;
    file->source = std::move(source);
    file->page_size = header->page_size;
    file->jet3 = header->version == access::kVersionJet3;
    file->row_count_offset = file->jet3 ? 0x08 : 0x0C;
    file->encoded = header->db_key != 0;
    if (size % file->page_size != 0)
        FailOpen(path, "文件不完整或已损坏（大小 " + std::to_string(size) + " 字节，不是页大小 " +
                           std::to_string(file->page_size) + " 的整数倍），可能已被截断");
    file->page_count = size / file->page_size;
    // Page 2 holds the definition of the system catalog; a database cannot be shorter.
    if (file->page_count < 3)
        FailOpen(path, "文件太小（" + std::to_string(size) +
                           " 字节），不是完整的 Access 数据库，"
                           "可能已被截断");
    std::vector<std::uint8_t> page2;
    if (LoadPage(*file, 2, page2)[0] != kPageTableDefinition) {
        if (header->is_ace)
            FailOpen(path, "文件已加密，不支持");
        FailOpen(path, "文件已损坏（系统目录的定义页无效）");
    }
    return file;
}

// Opens the file at `path` after checking that it is a readable regular file.
std::shared_ptr<AccessFile> OpenFile(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw DataAccessError("找不到文件 " + Quoted(path) + "。");
        FailOpen(path, std::string("无法访问文件（") + std::strerror(errno) + "）");
    }
    if (S_ISDIR(status.st_mode))
        FailOpen(path, "这是一个文件夹，不是数据库文件");
    if (!S_ISREG(status.st_mode))
        FailOpen(path, "不是普通文件");
    // O_NONBLOCK: should the path have become a FIFO since stat, opening it must not wait for
    // a writer; the fstat below refuses it then.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            FailOpen(path, "没有读取权限");
        FailOpen(path, std::string("无法读取文件（") + std::strerror(errno) + "）");
    }
    // The size is taken from the open file: it is what will be read.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        FailOpen(path, "不是普通文件");
    }
    auto file = CheckImage(path, std::make_unique<ByteSource>(fd, opened.st_size));
    // The header and size are known good now, so libmdb can take over reading pages.
    file->mdb.reset(mdb_open(path.c_str(), MDB_NOFLAGS));
    if (!file->mdb)
        FailOpen(path, "无法读取文件");
    return file;
}

// ---------------------------------------------------------------------------------------------
// Table definitions.

// How a column's value is decoded.
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
    Unsupported,
};

// Bytes ACE adds around a calculated value: a 20-byte prefix (the data length at offset 16)
// and 3 bytes after the data.
constexpr int kCalcPrefix = 20;
constexpr int kCalcLengthOffset = 16;
constexpr int kCalcOverhead = 23;

constexpr int kColumnFixedFlag = 0x01;
constexpr int kColumnCalculatedFlags = 0xC0;

struct ColumnInfo {
    std::string name;
    int type_byte = 0;
    Kind kind = Kind::Unsupported;
    bool calculated = false;
    int ado_type = adEmpty;
    std::int32_t defined_size = 0;
    int precision = 0;
    int scale = 0;
    ColumnLayout layout;
    // Why the column's values cannot be read; empty when they can.
    std::string problem;
};

struct TableSchema {
    std::string name;
    std::uint32_t tdef_page = 0;
    bool has_var_columns = false;
    std::vector<ColumnInfo> columns;
    std::vector<ColumnLayout> layouts;
    std::vector<std::uint8_t> usage_map;
};

// The bytes of the table definition starting at `page`: its first page whole, then each
// continuation page from offset 8. Fails when the chain leaves the file, reaches a page that is
// not a definition page or comes back to a page it has been through.
std::vector<std::uint8_t> ReadDefinitionBytes(const AccessFile& file, std::uint32_t page,
                                              const std::string& name,
                                              const std::string& failure) {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> buffer;
    std::unordered_set<std::uint32_t> visited;
    for (std::uint32_t current = page; current != 0;) {
        if (current >= file.page_count)
            FailRead(file, "表 '" + name + "' 的定义在第 " + std::to_string(current) +
                               " 页，超出文件末尾，文件可能已被截断");
        if (!visited.insert(current).second)
            FailRead(file, "表 '" + name + "' 的定义页链形成了循环，文件已损坏");
        const std::uint8_t* data = LoadPage(file, current, buffer);
        if (data[0] != kPageTableDefinition)
            FailRead(file, failure);
        const std::size_t from = bytes.empty() ? 0 : 8;
        bytes.insert(bytes.end(), data + from, data + file.page_size);
        current = ReadU32(data + 4);
    }
    return bytes;
}

// The bytes of the row `pointer` names (row number in the low byte, page above it), whatever
// the row's flags; nullopt when the page is not a data page or has no such row.
std::optional<std::vector<std::uint8_t>> ReadPointedRow(const AccessFile& file,
                                                        std::uint32_t pointer) {
    const std::uint32_t page = pointer >> 8;
    if (page == 0 || page >= file.page_count)
        return std::nullopt;
    std::vector<std::uint8_t> buffer;
    const std::uint8_t* data = LoadPage(file, page, buffer);
    if (data[0] != kPageData)
        return std::nullopt;
    const auto row = access::LocateRow(data, file.page_size, file.row_count_offset,
                                       static_cast<int>(pointer & 0xFF));
    if (!row)
        return std::nullopt;
    return std::vector<std::uint8_t>(data + row->start, data + row->end);
}

Kind KindOfType(int type) {
    using namespace access;
    switch (type) {
    case kTypeBool:
        return Kind::Bool;
    case kTypeByte:
        return Kind::Byte;
    case kTypeInt16:
        return Kind::Int16;
    case kTypeInt32:
        return Kind::Int32;
    case kTypeMoney:
        return Kind::Money;
    case kTypeFloat:
        return Kind::Float;
    case kTypeDouble:
        return Kind::Double;
    case kTypeDateTime:
        return Kind::Date;
    case kTypeBinary:
        return Kind::Binary;
    case kTypeText:
        return Kind::Text;
    case kTypeOle:
        return Kind::Ole;
    case kTypeMemo:
        return Kind::Memo;
    case kTypeGuid:
        return Kind::Guid;
    case kTypeNumeric:
        return Kind::Numeric;
    case kTypeBigInt:
        return Kind::BigInt;
    default:
        return Kind::Unsupported;
    }
}

std::string UnsupportedTypeReason(int type) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", type);
    if (type == access::kTypeComplex || type == access::kTypeComplexUnknown)
        return std::string("是附件或多值等复杂数据列（类型 ") + hex + "），无法读取其值";
    if (type == access::kTypeExtendedDate)
        return std::string("是“扩展日期/时间”列（类型 ") + hex + "），无法读取其值";
    return std::string("的数据类型 ") + hex + " 未知，无法读取其值";
}

// The fixed byte size a kind needs (0 for variable-length kinds).
int FixedSizeOf(Kind kind) {
    switch (kind) {
    case Kind::Byte:
        return 1;
    case Kind::Int16:
        return 2;
    case Kind::Int32:
        return 4;
    case Kind::Float:
        return 4;
    case Kind::Money:
    case Kind::Double:
    case Kind::Date:
    case Kind::BigInt:
        return 8;
    case Kind::Guid:
        return 16;
    case Kind::Numeric:
        return 17;
    default:
        return 0;
    }
}

// Fills the ADO type code and sizes the Jet OLE DB provider reports for the column.
void SetAdoType(ColumnInfo& info, const AccessFile& file, int stored_size) {
    switch (info.kind) {
    case Kind::Bool:
        info.ado_type = adBoolean;
        info.defined_size = 2;
        break;
    case Kind::Byte:
        info.ado_type = adUnsignedTinyInt;
        info.defined_size = 1;
        break;
    case Kind::Int16:
        info.ado_type = adSmallInt;
        info.defined_size = 2;
        break;
    case Kind::Int32:
        info.ado_type = adInteger;
        info.defined_size = 4;
        break;
    case Kind::Money:
        info.ado_type = adCurrency;
        info.defined_size = 8;
        break;
    case Kind::Float:
        info.ado_type = adSingle;
        info.defined_size = 4;
        break;
    case Kind::Double:
        info.ado_type = adDouble;
        info.defined_size = 8;
        break;
    case Kind::Date:
        info.ado_type = adDate;
        info.defined_size = 8;
        break;
    case Kind::BigInt:
        info.ado_type = adBigInt;
        info.defined_size = 8;
        break;
    case Kind::Guid:
        info.ado_type = adGUID;
        info.defined_size = 16;
        break;
    case Kind::Binary:
        info.ado_type = info.layout.is_fixed ? adBinary : adVarBinary;
        info.defined_size = stored_size;
        break;
    case Kind::Text: {
        int bytes = stored_size;
        if (info.calculated)
            bytes = std::max(0, bytes - kCalcOverhead);
        info.ado_type = adVarWChar;
        info.defined_size = file.jet3 ? bytes : bytes / 2;
        break;
    }
    case Kind::Memo:
        info.ado_type = adLongVarWChar;
        info.defined_size = 536870910;
        break;
    case Kind::Ole:
        info.ado_type = adLongVarBinary;
        info.defined_size = 1073741823;
        break;
    case Kind::Numeric:
        info.ado_type = adNumeric;
        info.defined_size = 19;
        break;
    case Kind::Unsupported:
        info.ado_type = adVariant;
        info.defined_size = 0;
        break;
    }
}

// The result type ("ResultType" property) of each calculated column, by column name.
using ResultTypes = std::map<std::string, int>;

ColumnInfo BuildColumn(const AccessFile& file, const ColumnDefinition& col,
                       const ResultTypes& result_types) {
    ColumnInfo info;
    info.name = col.name;
    info.type_byte = col.type;
    info.calculated = !file.jet3 && (col.ext_flags & kColumnCalculatedFlags) != 0;

    info.layout.col_num = col.col_num;
    info.layout.var_index = col.var_index;
    info.layout.fixed_offset = col.fixed_offset;
    info.layout.fixed_size = col.size;
    info.layout.is_fixed = (col.flags & kColumnFixedFlag) != 0;

    int value_type = col.type;
    if (info.calculated) {
        // The stored type byte of a calculated column is not the type of its values; that is
        // the "ResultType" property.
        const auto result = result_types.find(info.name);
        if (result == result_types.end()) {
            info.problem = "是计算列，但缺少结果类型（ResultType 属性），无法解读其值";
            info.kind = Kind::Unsupported;
        } else {
            value_type = result->second;
        }
    }
    if (info.problem.empty()) {
        info.kind = KindOfType(value_type);
        if (info.kind == Kind::Unsupported)
            info.problem =
                (info.calculated ? "是计算列，其结果" : "") + UnsupportedTypeReason(value_type);
    }
    info.layout.is_bool = info.kind == Kind::Bool && !info.calculated;
    if (info.kind == Kind::Numeric) {
        info.precision = col.precision;
        info.scale = col.scale;
        if (info.calculated)
            info.precision = 28;
    }
    SetAdoType(info, file, col.size);
    return info;
}

// A table definition as read from the file, with the usage map it names.
struct StoredTable {
    access::TableDefinition definition;
    std::vector<std::uint8_t> usage_map;
};

// Reads and checks the definition of table `name` at `tdef_page` and its usage map.
StoredTable ReadStoredTable(const AccessFile& file, std::uint32_t tdef_page,
                            const std::string& name) {
    const std::string failure = "无法读取表 '" + name + "' 的定义，文件可能已损坏";
    if (tdef_page < 2)
        FailRead(file, failure);
    const std::vector<std::uint8_t> bytes = ReadDefinitionBytes(file, tdef_page, name, failure);
    auto definition = access::ParseTableDefinition(bytes, file.jet3, file.header.code_page);
    if (!definition)
        FailRead(file, failure);
    auto usage_map = ReadPointedRow(file, definition->usage_map);
    // The first byte of a usage map is its kind; a map without it names no page.
    if (!usage_map || usage_map->empty())
        FailRead(file, "表 '" + name + "' 的页面映射无法读取，文件可能已损坏");
    return StoredTable{std::move(*definition), std::move(*usage_map)};
}

// True for Jet4/ACE tables with calculated columns, whose value types are column properties.
bool HasCalculatedColumns(const AccessFile& file, const access::TableDefinition& definition) {
    return !file.jet3 && std::any_of(definition.columns.begin(), definition.columns.end(),
                                     [](const ColumnDefinition& c) {
                                         return (c.ext_flags & kColumnCalculatedFlags) != 0;
                                     });
}

// Builds the reading plan of a table. `properties` returns the table's property blob; it is
// called only for tables with calculated columns.
std::shared_ptr<const TableSchema>
BuildSchema(const AccessFile& file, std::uint32_t tdef_page, const std::string& name,
            StoredTable stored, const std::function<std::vector<std::uint8_t>()>& properties) {
    auto schema = std::make_shared<TableSchema>();
    schema->name = name;
    schema->tdef_page = tdef_page;
    schema->has_var_columns = stored.definition.var_columns > 0;
    schema->usage_map = std::move(stored.usage_map);
    ResultTypes result_types;
    if (HasCalculatedColumns(file, stored.definition) && properties)
        result_types = access::ReadColumnIntProperty(properties(), "ResultType");
    for (const auto& column : stored.definition.columns) {
        schema->columns.push_back(BuildColumn(file, column, result_types));
        schema->layouts.push_back(schema->columns.back().layout);
    }
    return schema;
}

// ---------------------------------------------------------------------------------------------
// Reading rows.

// Walks the data pages of one table in the order of its usage map. Page numbers only grow, so
// a walk ends after at most one visit per page of the file.
class DataPageCursor {
public:
    DataPageCursor(const AccessFile& file, const TableSchema& schema)
        : file_(file), schema_(schema) {}

    // Loads the next data page of the table into `buffer`; false after the last one.
    bool Next(std::vector<std::uint8_t>& buffer) {
        for (;;) {
            const std::uint32_t page = NextCandidate();
            if (page == 0)
                return false;
            const std::uint8_t* data = LoadPage(file_, page, buffer);
            // The map may name pages that now belong to something else; skip those.
            if (data[0] == kPageData && ReadU32(data + 4) == schema_.tdef_page)
                return true;
        }
    }

    // Goes through the whole map without reading the data pages: fails when the map cannot be
    // read or names a page beyond the end of the file (a truncated file).
    void CheckMap() {
        Rewind();
        while (NextCandidate() != 0) {
        }
        Rewind();
    }

    // The number of the page Next loaded last.
    std::uint32_t Page() const { return last_; }

    // Starts again before the first page.
    void Rewind() {
        last_ = 0;
        finished_ = false;
    }

private:
    // Moves to the next page number the usage map marks, or returns 0 at the end. A map that
    // fails ends the walk, so that a caller going on after the error is not stuck on it.
    std::uint32_t NextCandidate() {
        if (finished_)
            return 0;
        std::uint64_t page = 0;
        try {
            page = FindNext();
        } catch (const DataAccessError&) {
            finished_ = true;
            throw;
        }
        if (page >= static_cast<std::uint64_t>(file_.page_count)) {
            // Page numbers only grow: every later one is beyond the end too.
            finished_ = true;
            FailRead(file_, "表 '" + schema_.name + "' 的页面映射指向第 " + std::to_string(page) +
                                " 页，超出文件末尾，文件可能已被截断");
        }
        last_ = static_cast<std::uint32_t>(page);
        return last_;
    }

    // The index of the first set bit of `bits` at or after `from`, or `count` when none is.
    static std::uint64_t FirstBit(const std::uint8_t* bits, std::uint64_t from,
                                  std::uint64_t count) {
        for (std::uint64_t i = from; i < count; ++i) {
            if (i % 8 == 0 && bits[i / 8] == 0) {
                i += 7;
                continue;
            }
            if (bits[i / 8] & (1u << (i % 8)))
                return i;
        }
        return count;
    }

    std::uint64_t FindNext() {
        const auto& map = schema_.usage_map;
        const std::uint64_t after = std::uint64_t{last_} + 1;
        if (map[0] == 0) {
            // An inline map: a start page, then one bit per page from it.
            if (map.size() < 5)
                return 0;
            const std::uint64_t base = ReadU32(map.data() + 1);
            const std::uint64_t bits = (map.size() - 5) * 8;
            const std::uint64_t i = FirstBit(map.data() + 5, after > base ? after - base : 0, bits);
            return i < bits ? base + i : 0;
        }
        if (map[0] == 1) {
            // A reference map: page numbers of map pages, each holding one bit per page for its
            // own range of pages.
            const std::uint64_t bits_per_page = static_cast<std::uint64_t>(file_.page_size - 4) * 8;
            const std::size_t map_pages = (map.size() - 1) / 4;
            std::uint64_t offset = after % bits_per_page;
            for (std::size_t index = after / bits_per_page; index < map_pages;
                 ++index, offset = 0) {
                const std::uint32_t map_page = ReadU32(map.data() + 1 + 4 * index);
                if (map_page == 0)
                    continue;
                if (loaded_map_page_ != map_page) {
                    const std::uint8_t* data = LoadPage(file_, map_page, map_bits_);
                    if (data[0] != access::kPageUsageMap)
                        FailRead(file_, "表 '" + schema_.name + "' 的页面映射（第 " +
                                            std::to_string(map_page) + " 页）已损坏");
                    loaded_map_page_ = map_page;
                }
                const std::uint64_t i = FirstBit(map_bits_.data() + 4, offset, bits_per_page);
                if (i < bits_per_page)
                    return index * bits_per_page + i;
            }
            return 0;
        }
        // An unknown map: look at every page.
        return after < static_cast<std::uint64_t>(file_.page_count) ? after : 0;
    }

    const AccessFile& file_;
    const TableSchema& schema_;
    std::uint32_t last_ = 0;
    bool finished_ = false;
    std::uint32_t loaded_map_page_ = 0;
    std::vector<std::uint8_t> map_bits_;
};

// A reason why one value cannot be read; turned into a DataAccessError with its context.
class ValueProblem : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string& ReuseText(Value& value) {
    if (auto* text = std::get_if<std::string>(&value)) {
        text->clear();
        return *text;
    }
    return value.emplace<std::string>();
}

std::string& ReuseBytes(Value& value) {
    if (auto* bytes = std::get_if<Bytes>(&value)) {
        bytes->data.clear();
        return bytes->data;
    }
    return value.emplace<Bytes>().data;
}

std::string& ReuseDecimal(Value& value) {
    if (auto* decimal = std::get_if<Decimal>(&value)) {
        decimal->text.clear();
        return decimal->text;
    }
    return value.emplace<Decimal>().text;
}

std::string& ReuseGuid(Value& value) {
    if (auto* guid = std::get_if<Guid>(&value)) {
        guid->text.clear();
        return guid->text;
    }
    return value.emplace<Guid>().text;
}

// The largest scale and integer-digit count seen in a calculated Decimal column.
struct DecimalExtent {
    int scale = 0;
    int integer_digits = 0;
    bool seen = false;
};

// Streams the rows of one table and decodes values from the rows' raw bytes.
class TableCursor {
public:
    TableCursor(std::shared_ptr<const AccessFile> file, std::shared_ptr<const TableSchema> schema)
        : file_(std::move(file)), schema_(std::move(schema)), pages_(*file_, *schema_),
          spans_(schema_->columns.size()) {
        if (file_->jet3)
            code_page_ = std::make_unique<access::CodePageDecoder>(file_->header.code_page);
        for (std::size_t i = 0; i < schema_->columns.size(); ++i) {
            const auto& column = schema_->columns[i];
            if (column.calculated && column.kind == Kind::Numeric && column.problem.empty())
                calc_decimals_.push_back(i);
        }
    }

    // Counts the rows from the table's data pages without decoding values, then stands before
    // the first row again; rows that turn out unreadable count too (reading them fails later).
    // Also measures calculated Decimal columns (see Extents).
    std::int64_t CountRows() {
        Rewind();
        std::int64_t count = 0;
        if (!calc_decimals_.empty()) {
            extents_.assign(schema_->columns.size(), DecimalExtent{});
            for (;;) {
                try {
                    if (!Next())
                        break;
                    MeasureCalcDecimals();
                } catch (const DataAccessError&) {
                    // Counted like any other row; Next has already moved past it.
                }
                ++count;
            }
        } else {
            while (pages_.Next(page_)) {
                const int slots =
                    access::RowSlotCount(page_.data(), file_->page_size, file_->row_count_offset);
                for (int i = 0; i < slots; ++i) {
                    const RowSlot slot = access::ReadRowSlot(page_.data(), file_->page_size,
                                                             file_->row_count_offset, i);
                    if (slot.kind != RowSlot::Skip)
                        ++count;
                }
            }
        }
        Rewind();
        return count;
    }

    // Scale and digits of calculated Decimal columns as measured by CountRows (else empty).
    const std::vector<DecimalExtent>& Extents() const { return extents_; }

    // Stands before the first row.
    void Rewind() {
        pages_.Rewind();
        page_loaded_ = false;
        slot_ = 0;
        slot_count_ = 0;
        row_number_ = 0;
    }

    // Moves to the next row; false after the last one. Throws DataAccessError for a row that
    // cannot be read, having moved past it, so that the next call goes on with the next row.
    bool Next() {
        for (;;) {
            if (!page_loaded_ || slot_ >= slot_count_) {
                if (!pages_.Next(page_)) {
                    page_loaded_ = false;
                    return false;
                }
                page_loaded_ = true;
                slot_ = 0;
                slot_count_ =
                    access::RowSlotCount(page_.data(), file_->page_size, file_->row_count_offset);
                if (!access::DataPageConsistent(page_.data(), file_->page_size,
                                                file_->row_count_offset)) {
                    // Which of its rows are real is unknown: none is read, and that is said.
                    slot_count_ = 0;
                    FailRead(*file_, "表 '" + schema_->name + "' 第 " +
                                         std::to_string(row_number_ + 1) + " 行起的数据页（第 " +
                                         std::to_string(pages_.Page()) +
                                         " 页）已损坏，行目录无效，该页上的行无法读取");
                }
                continue;
            }
            RowSlot slot = access::ReadRowSlot(page_.data(), file_->page_size,
                                               file_->row_count_offset, slot_++);
            if (slot.kind == RowSlot::Skip)
                continue;
            ++row_number_;
            if (slot.kind == RowSlot::Corrupt)
                FailRow("行在数据页（第 " + std::to_string(pages_.Page()) +
                        " 页）中的位置无效，数据页已损坏");
            const std::uint8_t* page = page_.data();
            for (int hops = 0; slot.kind == RowSlot::Pointer; ++hops) {
                if (hops >= 8)
                    FailRow("行的转移指针形成了循环");
                page = FollowPointer(page + slot.start, slot);
            }
            if (!access::CrackRow(file_->jet3, page, slot.start, slot.end, schema_->has_var_columns,
                                  schema_->layouts, var_offsets_, spans_))
                FailRow("行的结构无效，数据已损坏");
            row_page_ = page;
            return true;
        }
    }

    // Decodes column `index` of the current row into `out`.
    void Decode(std::size_t index, Value& out) {
        const ColumnInfo& column = schema_->columns[index];
        try {
            if (!column.problem.empty())
                throw ValueProblem("该列" + column.problem);
            const FieldSpan& span = spans_[index];
            if (span.corrupt)
                throw ValueProblem("行内的偏移量不一致，数据已损坏");
            if (column.layout.is_bool) {
                out = span.mask_bit;
                return;
            }
            if (!span.mask_bit || !span.present) {
                out = std::monostate{};
                return;
            }
            const std::uint8_t* data = row_page_ + span.offset;
            if (column.calculated)
                DecodeCalculated(index, column, data, static_cast<std::size_t>(span.length), out);
            else
                DecodeStored(column, data, static_cast<std::size_t>(span.length), out);
        } catch (const ValueProblem& problem) {
            throw DataAccessError("无法读取表 '" + schema_->name + "' 第 " +
                                  std::to_string(row_number_) + " 行的列 '" + column.name + "'：" +
                                  problem.what() + "。");
        }
    }

private:
    [[noreturn]] void FailRow(const std::string& reason) const {
        FailRead(*file_, "表 '" + schema_->name + "' 第 " + std::to_string(row_number_) +
                             " 行无法读取（" + reason + "）");
    }

    // Reads the page a pointer slot refers to into overflow_page_ and updates `slot` to the
    // row there.
    const std::uint8_t* FollowPointer(const std::uint8_t* pointer, RowSlot& slot) {
        const int row = pointer[0];
        const std::uint32_t page = ReadU32(pointer) >> 8;
        if (page == 0 || page >= file_->page_count)
            FailRow("行的转移指针无效");
        const std::uint8_t* target = LoadPage(*file_, page, overflow_page_);
        if (target[0] != kPageData ||
            !access::DataPageConsistent(target, file_->page_size, file_->row_count_offset))
            FailRow("行的转移指针指向的不是有效的数据页");
        // The moved row's body is flagged like a deleted row; read it regardless of that flag.
        const auto located =
            access::LocateRow(target, file_->page_size, file_->row_count_offset, row);
        if (!located)
            FailRow("行的转移指针指向的数据无效");
        slot = *located;
        return target;
    }

    void AppendText(std::string& out, const std::uint8_t* data, std::size_t size) {
        if (code_page_)
            code_page_->Append(out, data, size);
        else
            access::AppendJet4Text(out, data, size);
    }

    static void NeedBytes(std::size_t have, std::size_t need) {
        if (have < need)
            throw ValueProblem("值只有 " + std::to_string(have) + " 字节，少于该类型需要的 " +
                               std::to_string(need) + " 字节，数据已损坏");
    }

    // Appends the bytes of a long value (memo/OLE) whose 12-byte reference is at `data`.
    void ReadLongValue(const std::uint8_t* data, std::size_t size, std::string& out) {
        if (size == 0)
            return;
        NeedBytes(size, 12);
        const std::uint32_t header = ReadU32(data);
        const std::size_t length = header & 0x3FFFFFFF;
        if (header & 0x80000000u) {
            // Stored inline, right after the reference.
            if (size - 12 < length)
                throw ValueProblem("长值的长度与行内数据不符，数据已损坏");
            out.append(reinterpret_cast<const char*>(data + 12), length);
            return;
        }
        // A value stored elsewhere cannot be longer than the file.
        if (length > static_cast<std::uint64_t>(file_->page_count) * file_->page_size)
            throw ValueProblem("长值的长度（" + std::to_string(length) +
                               " 字节）超过了文件大小，数据已损坏");
        out.reserve(length);
        std::uint32_t pointer = ReadU32(data + 4);
        if (header & 0x40000000u) {
            // One row on a long-value page.
            const auto [row, row_size] = LongValueRow(pointer);
            if (row_size < length)
                throw ValueProblem("长值的长度与存储的数据不符，数据已损坏");
            out.append(reinterpret_cast<const char*>(row), length);
            return;
        }
        // A chain of rows, each starting with the pointer to the next.
        std::size_t remaining = length;
        visited_.clear();
        while (remaining > 0) {
            if (pointer == 0)
                throw ValueProblem("长值的页链在数据结束前中断，数据已损坏");
            if (!visited_.insert(pointer).second)
                throw ValueProblem("长值的页链形成了循环，数据已损坏");
            const auto [row, row_size] = LongValueRow(pointer);
            if (row_size <= 4)
                throw ValueProblem("长值的页链无效，数据已损坏");
            pointer = ReadU32(row);
            const std::size_t take = std::min(remaining, row_size - 4);
            out.append(reinterpret_cast<const char*>(row + 4), take);
            remaining -= take;
        }
    }

    // Locates the long-value row `pointer` (row number in the low byte, page above it).
    std::pair<const std::uint8_t*, std::size_t> LongValueRow(std::uint32_t pointer) {
        const std::uint32_t page_number = pointer >> 8;
        if (page_number == 0 || page_number >= file_->page_count)
            throw ValueProblem("长值指向第 " + std::to_string(page_number) +
                               " 页，超出文件末尾，文件可能已被截断");
        const std::uint8_t* page = LoadPage(*file_, page_number, alt_page_);
        const int rco = file_->row_count_offset;
        if (page[0] != kPageData || !access::DataPageConsistent(page, file_->page_size, rco))
            throw ValueProblem("长值指向的页面（第 " + std::to_string(page_number) +
                               " 页）不是有效的数据页，数据已损坏");
        const auto row = access::LocateRow(page, file_->page_size, rco,
                                           static_cast<int>(pointer & 0xFF));
        if (!row)
            throw ValueProblem("长值指向的数据无效，数据已损坏");
        return {page + row->start, static_cast<std::size_t>(row->end - row->start)};
    }

    void DecodeStored(const ColumnInfo& column, const std::uint8_t* data, std::size_t size,
                      Value& out) {
        NeedBytes(size, static_cast<std::size_t>(FixedSizeOf(column.kind)));
        switch (column.kind) {
        case Kind::Byte:
            out = static_cast<std::int64_t>(data[0]);
            return;
        case Kind::Int16:
            out = static_cast<std::int64_t>(static_cast<std::int16_t>(ReadU16(data)));
            return;
        case Kind::Int32:
            out = static_cast<std::int64_t>(static_cast<std::int32_t>(ReadU32(data)));
            return;
        case Kind::BigInt:
            out = static_cast<std::int64_t>(access::ReadU64(data));
            return;
        case Kind::Float:
            out = access::ReadFloat(data);
            return;
        case Kind::Double:
            out = access::ReadDouble(data);
            return;
        case Kind::Money:
            access::AppendCurrency(ReuseDecimal(out),
                                   static_cast<std::int64_t>(access::ReadU64(data)));
            return;
        case Kind::Numeric:
            access::AppendJetDecimal(ReuseDecimal(out), data, column.scale);
            return;
        case Kind::Date: {
            const double serial = access::ReadDouble(data);
            const auto date = access::AccessDateToDateTime(serial);
            if (!date)
                throw ValueProblem("日期值 " + std::to_string(serial) + " 无效");
            out = *date;
            return;
        }
        case Kind::Guid:
            access::AppendGuid(ReuseGuid(out), data);
            return;
        case Kind::Binary:
            ReuseBytes(out).assign(reinterpret_cast<const char*>(data), size);
            return;
        case Kind::Text:
            AppendText(ReuseText(out), data, size);
            return;
        case Kind::Ole:
            ReadLongValue(data, size, ReuseBytes(out));
            return;
        case Kind::Memo:
            scratch_.clear();
            ReadLongValue(data, size, scratch_);
            AppendText(ReuseText(out), reinterpret_cast<const std::uint8_t*>(scratch_.data()),
                       scratch_.size());
            return;
        case Kind::Bool:
        case Kind::Unsupported:
            break;
        }
        throw ValueProblem("该列的值无法解读");
    }

    // Strips the calculated-value wrapping: the data length sits at offset 16, data at 20.
    static std::pair<const std::uint8_t*, std::size_t> Unwrap(const std::uint8_t* data,
                                                              std::size_t size) {
        if (size < static_cast<std::size_t>(kCalcPrefix))
            return {data, size};
        const std::size_t length = ReadU32(data + kCalcLengthOffset);
        return {data + kCalcPrefix, std::min(length, size - kCalcPrefix)};
    }

    void DecodeCalculated(std::size_t index, const ColumnInfo& column, const std::uint8_t* data,
                          std::size_t size, Value& out) {
        if (column.kind == Kind::Memo) {
            scratch_.clear();
            ReadLongValue(data, size, scratch_);
            const auto [value, length] =
                Unwrap(reinterpret_cast<const std::uint8_t*>(scratch_.data()), scratch_.size());
            access::AppendJet4Text(ReuseText(out), value, length);
            return;
        }
        const auto [value, length] = Unwrap(data, size);
        switch (column.kind) {
        case Kind::Bool:
            if (length == 0)
                out = std::monostate{};
            else
                out = value[0] != 0;
            return;
        case Kind::Text:
            access::AppendJet4Text(ReuseText(out), value, length);
            return;
        case Kind::Numeric: {
            const auto decimal = access::ReadCalcDecimal(value, length);
            if (!decimal)
                throw ValueProblem("计算列的小数值无法解读");
            // Each value carries its own scale; pad to the column's largest one so that all
            // values of the column have the same number of decimals.
            int scale = column.scale;
            if (index < extents_.size() && extents_[index].seen)
                scale = extents_[index].scale;
            std::string& text = ReuseDecimal(out);
            access::AppendScaledDecimal(text, decimal->negative, decimal->words, decimal->scale);
            if (scale > decimal->scale) {
                if (decimal->scale == 0)
                    text.push_back('.');
                text.append(static_cast<std::size_t>(scale - decimal->scale), '0');
            }
            return;
        }
        default:
            DecodeStored(column, value, length, out);
            return;
        }
    }

    void MeasureCalcDecimals() {
        for (const std::size_t index : calc_decimals_) {
            const FieldSpan& span = spans_[index];
            if (!span.mask_bit || !span.present || span.corrupt)
                continue;
            const auto [value, length] =
                Unwrap(row_page_ + span.offset, static_cast<std::size_t>(span.length));
            const auto decimal = access::ReadCalcDecimal(value, length);
            if (!decimal)
                continue;
            std::string digits;
            access::AppendScaledDecimal(digits, false, decimal->words, 0);
            const int integer_digits =
                std::max(1, static_cast<int>(digits.size()) - decimal->scale);
            DecimalExtent& extent = extents_[index];
            extent.seen = true;
            extent.scale = std::max(extent.scale, decimal->scale);
            extent.integer_digits = std::max(extent.integer_digits, integer_digits);
        }
    }

    std::shared_ptr<const AccessFile> file_;
    std::shared_ptr<const TableSchema> schema_;
    DataPageCursor pages_;
    std::vector<FieldSpan> spans_;
    std::vector<int> var_offsets_;
    // The current data page, the target page of a moved row, and a long-value page.
    std::vector<std::uint8_t> page_;
    std::vector<std::uint8_t> overflow_page_;
    std::vector<std::uint8_t> alt_page_;
    std::unordered_set<std::uint32_t> visited_;
    std::unique_ptr<access::CodePageDecoder> code_page_;
    std::vector<std::size_t> calc_decimals_;
    std::vector<DecimalExtent> extents_;
    std::string scratch_;
    const std::uint8_t* row_page_ = nullptr;
    bool page_loaded_ = false;
    int slot_ = 0;
    int slot_count_ = 0;
    std::int64_t row_number_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Recordset and fields.

class AccessRecordset;

class AccessField final : public Field {
public:
    AccessField(AccessRecordset& owner, std::size_t index, const ColumnInfo& column)
        : owner_(owner), index_(index), column_(column), precision_(column.precision),
          scale_(column.scale) {}

    const std::string& Name() const override { return column_.name; }
    int Type() const override { return column_.ado_type; }
    std::int32_t DefinedSize() const override { return column_.defined_size; }
    int Precision() const override { return precision_; }
    int NumericScale() const override { return scale_; }
    const Value& GetValue() override;

    // Sets the precision and scale measured from a calculated Decimal column's values.
    void SetMeasuredDecimal(int precision, int scale) {
        precision_ = precision;
        scale_ = scale;
    }

private:
    AccessRecordset& owner_;
    std::size_t index_;
    const ColumnInfo& column_;
    int precision_;
    int scale_;
    Value value_;
    std::uint64_t decoded_row_ = 0;
};

class AccessRecordset final : public Recordset {
public:
    AccessRecordset(std::shared_ptr<const AccessFile> file,
                    std::shared_ptr<const TableSchema> schema)
        : schema_(std::move(schema)),
          cursor_(std::make_unique<TableCursor>(std::move(file), schema_)) {
        fields_.reserve(schema_->columns.size());
        for (std::size_t i = 0; i < schema_->columns.size(); ++i)
            fields_.push_back(std::make_unique<AccessField>(*this, i, schema_->columns[i]));
        count_ = cursor_->CountRows();
        const auto& extents = cursor_->Extents();
        for (std::size_t i = 0; i < extents.size(); ++i) {
            if (extents[i].seen)
                fields_[i]->SetMeasuredDecimal(extents[i].integer_digits + extents[i].scale,
                                               extents[i].scale);
        }
        for (const auto& column : schema_->columns) {
            if (!column.problem.empty())
                warnings_.push_back("列 '" + column.name + "'" + column.problem + "。");
        }
        row_serial_ = 1;
        if (count_ == 0 || !cursor_->Next()) {
            eof_ = true;
            bof_ = true;
        } else {
            row_valid_ = true;
        }
    }

    bool IsEOF() const override { return eof_; }
    bool IsBOF() const override { return bof_; }
    std::int64_t RecordCount() const override { return count_; }

    void MoveNext() override {
        RequireOpen();
        if (eof_)
            throw DataAccessError("记录集已经位于最后一条记录之后，无法再移动。");
        bof_ = false;
        // A new serial invalidates the values decoded so far; when reading the next row fails,
        // there is no current row until a later MoveNext succeeds.
        ++row_serial_;
        row_valid_ = false;
        if (cursor_->Next())
            row_valid_ = true;
        else
            eof_ = true;
    }

    int FieldCount() const override { return static_cast<int>(fields_.size()); }

    Field& GetField(int index) override {
        if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
            throw DataAccessError("字段序号 " + std::to_string(index) + " 超出范围（共 " +
                                  std::to_string(fields_.size()) + " 个字段）。");
        return *fields_[static_cast<std::size_t>(index)];
    }

    void Close() override {
        cursor_.reset();
        closed_ = true;
        eof_ = true;
        bof_ = true;
    }

    std::vector<std::string> ColumnWarnings() const override { return warnings_; }

    // Decodes a column of the current row unless `decoded_row` shows it is already done.
    void Fetch(std::size_t index, Value& value, std::uint64_t& decoded_row) {
        RequireOpen();
        if (eof_)
            throw DataAccessError("没有当前记录：记录集位于末尾。");
        if (!row_valid_)
            throw DataAccessError("没有当前记录：上一条记录无法读取。");
        if (decoded_row == row_serial_)
            return;
        cursor_->Decode(index, value);
        decoded_row = row_serial_;
    }

private:
    void RequireOpen() const {
        if (closed_)
            throw DataAccessError("记录集已关闭。");
    }

    std::shared_ptr<const TableSchema> schema_;
    std::unique_ptr<TableCursor> cursor_;
    std::vector<std::unique_ptr<AccessField>> fields_;
    std::vector<std::string> warnings_;
    std::int64_t count_ = 0;
    std::uint64_t row_serial_ = 0;
    bool eof_ = false;
    bool bof_ = false;
    bool closed_ = false;
    bool row_valid_ = false;
};

const Value& AccessField::GetValue() {
    owner_.Fetch(index_, value_, decoded_row_);
    return value_;
}

// ---------------------------------------------------------------------------------------------
// Provider.

// One object of the system catalog (MSysObjects).
struct CatalogObject {
    std::string name;
    int type = 0;
    std::uint32_t flags = 0;
    std::uint32_t tdef_page = 0;
    // The definition of a user table, read and checked when the file was opened.
    std::shared_ptr<const TableSchema> schema;
};

constexpr int kObjectTable = 1;
constexpr int kObjectOdbcLink = 4;
constexpr int kObjectQuery = 5;
constexpr int kObjectLink = 6;
constexpr std::uint32_t kSystemObjectFlags = 0x80000002u;

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
            return false;
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

// The table name of "select * from [name]" (keywords in any case), or nullopt.
std::optional<std::string> ParseSelectAll(std::string_view sql) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t i = 0;
    auto skip = [&] {
        while (i < sql.size() && space(sql[i]))
            ++i;
    };
    auto keyword = [&](std::string_view word) {
        if (!StartsWithNoCase(sql.substr(i), word))
            return false;
        i += word.size();
        return true;
    };
    skip();
    if (!keyword("select") || i >= sql.size() || !(space(sql[i]) || sql[i] == '*'))
        return std::nullopt;
    skip();
    if (i >= sql.size() || sql[i] != '*')
        return std::nullopt;
    ++i;
    skip();
    if (!keyword("from") || i >= sql.size() || !(space(sql[i]) || sql[i] == '['))
        return std::nullopt;
    skip();
    if (i >= sql.size() || sql[i] != '[')
        return std::nullopt;
    const std::size_t close = sql.rfind(']');
    if (close == std::string_view::npos || close <= i + 1)
        return std::nullopt;
    for (std::size_t k = close + 1; k < sql.size(); ++k) {
        if (!space(sql[k]) && !(sql[k] == ';'))
            return std::nullopt;
    }
    return std::string(sql.substr(i + 1, close - i - 1));
}

class AccessProvider final : public Provider {
public:
    explicit AccessProvider(std::shared_ptr<const AccessFile> file) : file_(std::move(file)) {
        ReadObjects();
        CheckUserTables();
    }

    void Execute(std::string_view) override {
        throw DataAccessError("Access 数据库 " + Quoted(file_->path) +
                              " 以只读方式打开，不能执行语句。");
    }

    std::unique_ptr<Recordset> OpenRecordset(std::string_view sql) override {
        const auto name = ParseSelectAll(sql);
        if (!name)
            throw DataAccessError("不支持的查询语句：'" + std::string(sql) +
                                  "'。Access 数据源只支持 select * from [表名]。");
        const CatalogObject* object = Find(*name);
        if (!object)
            throw DataAccessError("找不到表 '" + *name + "'。");
        if (object->type == kObjectQuery)
            throw DataAccessError("'" + *name + "' 是查询，不是表，无法直接读取。");
        if (object->type != kObjectTable)
            throw DataAccessError("'" + *name + "' 是链接表，数据不在这个数据库文件中，无法读取。");
        auto schema = object->schema ? object->schema : LoadSchema(*object);
        return std::make_unique<AccessRecordset>(file_, std::move(schema));
    }

    std::vector<SchemaTableRow> SchemaTables() override {
        std::vector<SchemaTableRow> rows;
        for (const auto& object : objects_) {
            const std::string type = TableType(object);
            if (!type.empty())
                rows.push_back(SchemaTableRow{object.name, type});
        }
        return rows;
    }

private:
    static std::string TableType(const CatalogObject& object) {
        switch (object.type) {
        case kObjectTable:
            if ((object.flags & kSystemObjectFlags) != 0 || StartsWithNoCase(object.name, "MSys"))
                return "SYSTEM TABLE";
            return "TABLE";
        case kObjectQuery:
            return StartsWithNoCase(object.name, "~") ? "SYSTEM VIEW" : "VIEW";
        case kObjectLink:
        case kObjectOdbcLink:
            return "LINK";
        default:
            return {};
        }
    }

    const CatalogObject* Find(const std::string& name) const {
        for (const auto& object : objects_) {
            if (object.name == name && TableLike(object))
                return &object;
        }
        for (const auto& object : objects_) {
            if (EqualsNoCase(object.name, name) && TableLike(object))
                return &object;
        }
        return nullptr;
    }

    static bool TableLike(const CatalogObject& object) {
        return object.type == kObjectTable || object.type == kObjectQuery ||
               object.type == kObjectLink || object.type == kObjectOdbcLink;
    }

    std::shared_ptr<const TableSchema> LoadSchema(const CatalogObject& object) {
        const std::uint32_t page = object.tdef_page;
        return BuildSchema(*file_, page, object.name, ReadStoredTable(*file_, page, object.name),
                           [this, page] { return TableProperties(page); });
    }

    // Reads the definition and the page map of every user table, so that a file whose tables
    // cannot be read, or that lost pages at its end, is refused before anything is converted.
    void CheckUserTables() {
        std::vector<std::pair<CatalogObject*, StoredTable>> tables;
        std::unordered_set<std::uint32_t> calculated;
        for (auto& object : objects_) {
            if (TableType(object) != "TABLE")
                continue;
            tables.emplace_back(&object, ReadStoredTable(*file_, object.tdef_page, object.name));
            if (HasCalculatedColumns(*file_, tables.back().second.definition))
                calculated.insert(object.tdef_page);
        }
        // One walk of the catalog fetches the properties of all of them (one walk per table
        // would take time growing with the square of the number of tables).
        FetchProperties(calculated);
        for (auto& [object, stored] : tables) {
            const std::uint32_t page = object->tdef_page;
            object->schema = BuildSchema(*file_, page, object->name, std::move(stored),
                                         [this, page] { return TableProperties(page); });
            DataPageCursor(*file_, *object->schema).CheckMap();
        }
    }

    // Reads the system catalog MSysObjects (table definition on page 2).
    void ReadObjects() {
        catalog_ = BuildSchema(*file_, 2, "MSysObjects", ReadStoredTable(*file_, 2, "MSysObjects"),
                               {});
        for (std::size_t i = 0; i < catalog_->columns.size(); ++i) {
            const auto& column = catalog_->columns[i].name;
            if (column == "Id")
                id_column_ = i;
            else if (column == "Name")
                name_column_ = i;
            else if (column == "Type")
                type_column_ = i;
            else if (column == "Flags")
                flags_column_ = i;
            else if (column == "LvProp")
                properties_column_ = i;
        }
        const std::size_t none = kNoColumn;
        if (id_column_ == none || name_column_ == none || type_column_ == none ||
            flags_column_ == none)
            FailOpen(file_->path, "系统目录（MSysObjects）的结构无法识别，文件可能已损坏");
        TableCursor cursor(file_, catalog_);
        Value value;
        while (cursor.Next()) {
            CatalogObject object;
            object.type = static_cast<int>(Integer(cursor, type_column_, value));
            if (!TableLike(object))
                continue;
            object.tdef_page =
                static_cast<std::uint32_t>(Integer(cursor, id_column_, value)) & 0x00FFFFFFu;
            object.flags = static_cast<std::uint32_t>(Integer(cursor, flags_column_, value));
            cursor.Decode(name_column_, value);
            if (const auto* text = std::get_if<std::string>(&value))
                object.name = *text;
            if (!object.name.empty())
                objects_.push_back(std::move(object));
        }
    }

    static std::int64_t Integer(TableCursor& cursor, std::size_t column, Value& value) {
        cursor.Decode(column, value);
        const auto* number = std::get_if<std::int64_t>(&value);
        return number ? *number : 0;
    }

    // Keeps the property blobs (MSysObjects.LvProp) of the tables defined at `pages`.
    void FetchProperties(const std::unordered_set<std::uint32_t>& pages) {
        if (properties_column_ == kNoColumn || pages.empty())
            return;
        TableCursor cursor(file_, catalog_);
        Value value;
        while (cursor.Next()) {
            if (Integer(cursor, type_column_, value) != kObjectTable)
                continue;
            const auto page =
                static_cast<std::uint32_t>(Integer(cursor, id_column_, value)) & 0x00FFFFFFu;
            if (!pages.contains(page) || properties_.contains(page))
                continue;
            cursor.Decode(properties_column_, value);
            const auto* bytes = std::get_if<Bytes>(&value);
            properties_[page] = bytes ? std::vector<std::uint8_t>(bytes->data.begin(),
                                                                  bytes->data.end())
                                      : std::vector<std::uint8_t>{};
        }
    }

    // The property blob of the table defined at `tdef_page` (empty when it has none).
    std::vector<std::uint8_t> TableProperties(std::uint32_t tdef_page) {
        if (!properties_.contains(tdef_page))
            FetchProperties({tdef_page});
        const auto found = properties_.find(tdef_page);
        return found == properties_.end() ? std::vector<std::uint8_t>{} : found->second;
    }

    static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

    std::shared_ptr<const AccessFile> file_;
    std::shared_ptr<const TableSchema> catalog_;
    std::size_t id_column_ = kNoColumn;
    std::size_t name_column_ = kNoColumn;
    std::size_t type_column_ = kNoColumn;
    std::size_t flags_column_ = kNoColumn;
    std::size_t properties_column_ = kNoColumn;
    std::vector<CatalogObject> objects_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> properties_;
};

// Checks the password, then reads the catalog; failures that do not name the file yet are
// prefixed with it.
std::unique_ptr<Provider> OpenChecked(std::shared_ptr<const AccessFile> file,
                                      const std::optional<std::string>& password) {
    if (!access::PasswordAccepted(file->header, password))
        FailOpen(file->path, "不是有效的密码");
    try {
        return std::make_unique<AccessProvider>(file);
    } catch (const DataAccessError& e) {
        const std::string text = e.what();
        if (text.find(Quoted(file->path)) != std::string::npos)
            throw;
        throw DataAccessError("无法打开数据库 " + Quoted(file->path) + "：" + text);
    }
}

} // namespace

std::unique_ptr<Provider> OpenAccessProvider(const std::string& path,
                                             const std::optional<std::string>& password) {
    return OpenChecked(OpenFile(path), password);
}

namespace access {

std::unique_ptr<Provider> OpenAccessImage(const std::string& name, std::vector<std::uint8_t> bytes,
                                          const std::optional<std::string>& password) {
    return OpenChecked(CheckImage(name, std::make_unique<ByteSource>(std::move(bytes))),
                       password);
}

} // namespace access

} // namespace tw::data
