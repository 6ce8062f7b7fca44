// Complex columns: attachments, multi-value fields and the version history of append-only memo
// columns. A row's value of such a column is its complex value id; MSysComplexColumns names,
// for each complex column, its type template (whose columns tell the kind) and its hidden flat
// table, whose rows hold the values, each with the id of the row it belongs to. The child rows
// handed out here are those flat rows, joined to their parent row's primary key.

#include "AccessComplex.h"
#include "AccessInternals.h"
#include "RowRecordset.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace tw::data::access {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The attachment's outer header: kind and length once inflated; and its kinds.
constexpr std::size_t kAttachmentHeader = 8;
constexpr std::uint32_t kAttachmentStored = 0;
constexpr std::uint32_t kAttachmentDeflated = 1;
// Deflate makes at most about 1032 bytes of one; anything claiming more is damaged.
constexpr std::uint64_t kMostInflation = 1032;
constexpr std::size_t kInflateChunk = 64 * 1024;

// One row of MSysComplexColumns: a complex column by its id, the tables (by definition page)
// it belongs to, holds its values in, and takes its kind from.
struct ComplexEntry {
    std::int64_t complex_id = 0;
    std::int64_t type_table = 0;
    std::int64_t flat_table = 0;
    std::int64_t conceptual_table = 0;
};

// One value field of the child rows: its name and the flat table's column it comes from.
struct ValueField {
    std::string name;
    std::size_t flat_column = 0;
};

} // namespace

// A complex column as the child rows read it.
struct ComplexPlan {
    ComplexColumnSchema schema;
    // Position of the complex column in the parent's plan.
    std::size_t parent_column = 0;
    std::shared_ptr<const TablePlan> flat;
    // The flat table's column with the parent row's complex value id, and its own AutoNumber.
    std::size_t foreign_key = kNone;
    std::size_t own_id = kNone;
    std::vector<ValueField> values;
    // Attachments: the value field holding the stored file, which is decoded.
    std::size_t file_data = kNone;
    // Version history: the value field with the date, by which the rows are ordered.
    std::size_t modified = kNone;
};

struct ComplexCatalog {
    bool entries_read = false;
    std::vector<ComplexEntry> entries;
    // The complex columns of each table read so far, by definition page.
    std::map<std::uint32_t, std::vector<ComplexPlan>> tables;
};

void ComplexCatalogDeleter::operator()(ComplexCatalog* catalog) const noexcept {
    delete catalog;
}

bool DecodeAttachment(std::span<const std::uint8_t> stored, std::string& file,
                      std::string& reason) {
    file.clear();
    if (stored.size() < kAttachmentHeader) {
        reason = "附件数据只有 " + std::to_string(stored.size()) + " 字节，缺少头部";
        return false;
    }
    const std::uint32_t kind = ReadU32(stored.data());
    const std::uint64_t length = ReadU32(stored.data() + 4);
    const std::span<const std::uint8_t> body = stored.subspan(kAttachmentHeader);
    std::string content;
    if (kind == kAttachmentStored) {
        if (body.size() < length) {
            reason = "附件数据比头部所述的短";
            return false;
        }
        content.assign(reinterpret_cast<const char*>(body.data()), length);
    } else if (kind == kAttachmentDeflated) {
        if (length > body.size() * kMostInflation + 1024) {
            reason =
                "附件数据头部所述的长度（" + std::to_string(length) + " 字节）不可能由压缩数据得到";
            return false;
        }
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) {
            reason = "无法初始化解压缩";
            return false;
        }
        // The whole stream is inflated, so that its checksum is checked too; at most one byte
        // more than the header says is made, which is enough to tell that it is too long.
        content.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(length, kInflateChunk)));
        std::size_t offset = 0;
        int status = Z_OK;
        while (status != Z_STREAM_END && content.size() <= length) {
            if (stream.avail_in == 0 && offset < body.size()) {
                const std::size_t take = std::min<std::size_t>(body.size() - offset, UINT_MAX / 2);
                // zlib reads its input through a non-const pointer but never writes it.
                stream.next_in = const_cast<Bytef*>(body.data() + offset);
                stream.avail_in = static_cast<uInt>(take);
                offset += take;
            }
            const std::size_t before = content.size();
            const std::size_t room = static_cast<std::size_t>(
                std::min<std::uint64_t>(length + 1 - before, kInflateChunk));
            content.resize(before + room);
            stream.next_out = reinterpret_cast<Bytef*>(content.data() + before);
            stream.avail_out = static_cast<uInt>(room);
            status = inflate(&stream, Z_NO_FLUSH);
            content.resize(before + (room - stream.avail_out));
            const bool more_input = stream.avail_in == 0 && offset < body.size();
            if (status != Z_OK && status != Z_STREAM_END && !(status == Z_BUF_ERROR && more_input))
                break;
        }
        inflateEnd(&stream);
        if (status != Z_STREAM_END || content.size() != length) {
            reason = content.size() > length ? "附件的压缩数据比头部所述的长"
                     : status == Z_BUF_ERROR ? "附件的压缩数据不完整"
                                             : "附件的压缩数据已损坏";
            return false;
        }
    } else {
        reason = "附件数据的类型 " + std::to_string(kind) + " 未知";
        return false;
    }
    // The inner header: its own length (counted with it), then the file's extension.
    if (content.size() < 4) {
        reason = "附件数据缺少内部头部";
        return false;
    }
    const std::uint64_t header = ReadU32(reinterpret_cast<const std::uint8_t*>(content.data()));
    if (header < 4 || header > content.size()) {
        reason = "附件数据的内部头部长度无效";
        return false;
    }
    file.assign(content, static_cast<std::size_t>(header));
    return true;
}

namespace {

bool IsMultiValueType(int type) {
    switch (type) {
    case kTypeByte:
    case kTypeInt16:
    case kTypeInt32:
    case kTypeFloat:
    case kTypeDouble:
    case kTypeGuid:
    case kTypeNumeric:
    case kTypeText:
        return true;
    default:
        return false;
    }
}

std::string TypeHex(int type) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex = "0x";
    hex += kDigits[(type >> 4) & 0xF];
    hex += kDigits[type & 0xF];
    return hex;
}

// How many columns of the template have each type.
struct TypeCounts {
    int memo = 0, text = 0, date = 0, ole = 0, long_integer = 0;
    explicit TypeCounts(const TablePlan& plan) {
        for (const auto& column : plan.columns) {
            switch (column.type_byte) {
            case kTypeMemo:
                ++memo;
                break;
            case kTypeText:
                ++text;
                break;
            case kTypeDateTime:
                ++date;
                break;
            case kTypeOle:
                ++ole;
                break;
            case kTypeInt32:
                ++long_integer;
                break;
            default:
                break;
            }
        }
    }
};

// The kind a type template stands for, as Access makes them: a multi-value field's template has
// one column of a simple type; an attachment's has FileURL (memo), FileName and FileType
// (text), FileData (OLE), FileTimeStamp (date) and FileFlags (long); a version history's a memo
// and a date.
ComplexKind KindOfTemplate(const TablePlan& type) {
    if (type.columns.size() == 1 && IsMultiValueType(type.columns.front().type_byte))
        return ComplexKind::MultiValue;
    const TypeCounts counts(type);
    if (type.columns.size() >= 6 && counts.memo >= 1 && counts.text >= 2 && counts.ole >= 1 &&
        counts.date >= 1 && counts.long_integer >= 1)
        return ComplexKind::Attachment;
    if (type.columns.size() >= 2 && counts.memo >= 1 && counts.date >= 1)
        return ComplexKind::VersionHistory;
    return ComplexKind::Other;
}

bool HasColumn(const TablePlan& plan, std::string_view name) {
    return std::any_of(plan.columns.begin(), plan.columns.end(),
                       [&](const ColumnInfo& column) { return EqualsNoCase(column.name, name); });
}

// A column of a stored table that is read as it is (not calculated, readable).
bool Readable(const ColumnInfo& column) {
    return column.problem.empty() && !column.calculated;
}

// A column as a field of the child rows describes it, under `name`.
ColumnSchema DescribeColumn(const ColumnInfo& info, std::string name) {
    ColumnSchema column;
    column.name = std::move(name);
    column.source_type = info.type_byte;
    column.ado_type = info.ado_type;
    column.size = info.defined_size;
    column.precision = info.precision;
    column.scale = info.scale;
    return column;
}

// Finds the value columns of a flat table of a known kind; false (the column is then of no
// kind the reader can convert, with the reason in `plan.schema.note`) when they are not there.
bool FindValueColumns(const TablePlan& type, const TablePlan& flat, ComplexPlan& plan) {
    // The value columns are those the template has; the flat table adds its own AutoNumber and
    // the column with the parent row's complex value id.
    std::vector<std::size_t> typed;
    for (std::size_t i = 0; i < flat.columns.size(); ++i) {
        const ColumnInfo& column = flat.columns[i];
        if (HasColumn(type, column.name))
            typed.push_back(i);
        else if (column.flags & kColumnAutoNumberFlag)
            plan.own_id = i;
        else if (column.kind == Kind::Int32)
            plan.foreign_key = i;
    }
    auto unreadable = [&](std::size_t i) {
        plan.schema.note =
            "隐藏表 '" + flat.name + "' 的列 '" + flat.columns[i].name + "' " +
            (flat.columns[i].problem.empty() ? std::string("无法读取") : flat.columns[i].problem);
        return false;
    };
    switch (plan.schema.kind) {
    case ComplexKind::MultiValue: {
        const auto found = std::find_if(typed.begin(), typed.end(), [&](std::size_t i) {
            return flat.columns[i].type_byte == type.columns.front().type_byte;
        });
        if (found == typed.end()) {
            plan.schema.note = "隐藏表 '" + flat.name + "' 中没有类型为 " +
                               TypeHex(type.columns.front().type_byte) + " 的值列";
            return false;
        }
        if (!Readable(flat.columns[*found]))
            return unreadable(*found);
        plan.values.push_back({"Value", *found});
        plan.schema.value = DescribeColumn(flat.columns[*found], "Value");
        return true;
    }
    case ComplexKind::Attachment: {
        std::size_t name = kNone, file_type = kNone, data = kNone, stamp = kNone, flags = kNone,
                    url = kNone;
        std::vector<std::size_t> texts;
        for (const std::size_t i : typed) {
            const ColumnInfo& column = flat.columns[i];
            switch (column.type_byte) {
            case kTypeText:
                if (EqualsNoCase(column.name, "FileName"))
                    name = i;
                else if (EqualsNoCase(column.name, "FileType"))
                    file_type = i;
                else
                    texts.push_back(i);
                break;
            case kTypeInt32:
                flags = i;
                break;
            case kTypeDateTime:
                stamp = i;
                break;
            case kTypeOle:
                data = i;
                break;
            case kTypeMemo:
                url = i;
                break;
            default:
                break;
            }
        }
        // Text columns under other names stand for the name, then the type.
        for (const std::size_t i : texts) {
            if (name == kNone)
                name = i;
            else if (file_type == kNone)
                file_type = i;
        }
        const std::pair<const char*, std::size_t> fields[] = {
            {"FileName", name},       {"FileType", file_type}, {"FileData", data},
            {"FileTimeStamp", stamp}, {"FileFlags", flags},    {"FileURL", url},
        };
        for (const auto& [field, column] : fields) {
            if (column == kNone) {
                plan.schema.note = "隐藏表 '" + flat.name + "' 中没有附件的 " + field + " 列";
                return false;
            }
            if (!Readable(flat.columns[column]))
                return unreadable(column);
            if (column == data)
                plan.file_data = plan.values.size();
            plan.values.push_back({field, column});
        }
        return true;
    }
    case ComplexKind::VersionHistory: {
        std::size_t value = kNone, modified = kNone;
        for (const std::size_t i : typed) {
            if (flat.columns[i].type_byte == kTypeMemo && value == kNone)
                value = i;
            else if (flat.columns[i].type_byte == kTypeDateTime && modified == kNone)
                modified = i;
        }
        if (value == kNone || modified == kNone) {
            plan.schema.note = "隐藏表 '" + flat.name + "' 中没有版本历史的值列和日期列";
            return false;
        }
        for (const std::size_t i : {value, modified})
            if (!Readable(flat.columns[i]))
                return unreadable(i);
        plan.values.push_back({"Value", value});
        plan.modified = plan.values.size();
        plan.values.push_back({"Modified", modified});
        return true;
    }
    case ComplexKind::Other:
        break;
    }
    return false;
}

// The positions of a table's primary key columns; none without a primary key.
std::vector<std::size_t> PrimaryKeyColumns(const TablePlan& plan) {
    std::vector<std::size_t> columns;
    for (const auto& index : plan.indexes) {
        if (index.type != kIndexTypePrimary)
            continue;
        for (const auto& part : index.columns)
            columns.push_back(part.column);
        break;
    }
    return columns;
}

// ---------------------------------------------------------------------------------------------
// The child rows.

// One child row: a value, or why it cannot be read, for each field; or why the whole row
// cannot be read.
struct ChildRow {
    std::vector<Value> values;
    std::vector<std::string> problems;
    std::string row_problem;
};

class ComplexRecordset;

class ComplexField final : public Field {
public:
    ComplexField(ComplexRecordset& owner, std::size_t index, ColumnSchema column)
        : owner_(owner), index_(index), column_(std::move(column)) {}
    const std::string& Name() const override { return column_.name; }
    int Type() const override { return column_.ado_type; }
    std::int32_t DefinedSize() const override { return column_.size; }
    int Precision() const override { return column_.precision; }
    int NumericScale() const override { return column_.scale; }
    const Value& GetValue() override;

private:
    ComplexRecordset& owner_;
    std::size_t index_;
    ColumnSchema column_;
};

class ComplexRecordset final : public RowRecordset<ComplexField> {
public:
    ComplexRecordset(std::shared_ptr<const AccessFile> file,
                     std::shared_ptr<const TablePlan> parent, const ComplexPlan& plan)
        : file_(std::move(file)), parent_(std::move(parent)), plan_(plan) {
        DescribeFields();
        ReadParentKeys();
        std::int64_t count = 0;
        if (plan_.schema.kind == ComplexKind::VersionHistory) {
            ReadSortedHistory();
            count = static_cast<std::int64_t>(sorted_.size());
        } else {
            RowReader counter(file_, plan_.flat);
            for (;;) {
                try {
                    if (!counter.Next())
                        break;
                } catch (const DataAccessError&) {
                    // Counted; reading it fails when the cursor comes to it.
                }
                ++count;
            }
            rows_ = std::make_unique<RowReader>(file_, plan_.flat);
        }
        Start(count);
        started_ = true;
    }

    const Value& FieldValue(std::size_t index) const {
        RequireCurrentRow(current_.row_problem.empty());
        if (!current_.problems[index].empty())
            throw DataAccessError(current_.problems[index]);
        return current_.values[index];
    }

private:
    void Release() override {
        rows_.reset();
        sorted_.clear();
    }

    // The parent's primary key columns, the complex value id, then the values, each name
    // distinct from those before it (as Access compares names).
    void DescribeFields() {
        std::vector<std::string> taken;
        auto add = [&](ColumnSchema column) {
            const std::string base = column.name;
            for (int n = 2; std::any_of(
                     taken.begin(), taken.end(),
                     [&](const std::string& name) { return EqualsNoCase(name, column.name); });
                 ++n)
                column.name = base + "_" + std::to_string(n);
            taken.push_back(column.name);
            fields_.push_back(
                std::make_unique<ComplexField>(*this, fields_.size(), std::move(column)));
        };
        key_columns_ = PrimaryKeyColumns(*parent_);
        for (const std::size_t i : key_columns_)
            add(DescribeColumn(parent_->columns[i], parent_->columns[i].name));
        ColumnSchema id;
        id.name = std::string(kComplexIdField);
        id.source_type = kTypeInt32;
        id.ado_type = adInteger;
        id.size = 4;
        add(std::move(id));
        for (const auto& value : plan_.values)
            add(DescribeColumn(plan_.flat->columns[value.flat_column], value.name));
    }

    // The primary key of every parent row by the row's complex value id (the first row with
    // an id keeps it). Rows that cannot be read are left out: their conversion reports them.
    void ReadParentKeys() {
        if (key_columns_.empty())
            return;
        RowReader rows(file_, parent_);
        Value value;
        for (;;) {
            try {
                if (!rows.Next())
                    break;
                rows.Decode(plan_.parent_column, value);
            } catch (const DataAccessError& e) {
                unreadable_parent_ = e.what();
                continue;
            }
            const auto* number = std::get_if<std::int64_t>(&value);
            if (!number || parent_keys_.contains(*number))
                continue;
            const std::int64_t id = *number;
            KeyValues key;
            for (const std::size_t i : key_columns_) {
                try {
                    rows.Decode(i, value);
                    key.values.push_back(value);
                } catch (const DataAccessError& e) {
                    key.problem = e.what();
                    key.values.emplace_back();
                }
            }
            parent_keys_.emplace(id, std::move(key));
        }
    }

    // Reads the flat table's current row into a child row.
    ChildRow ReadRow(RowReader& rows) {
        const std::size_t keys = key_columns_.size();
        ChildRow row;
        row.values.resize(fields_.size());
        row.problems.resize(fields_.size());
        Value& id = row.values[keys];
        try {
            rows.Decode(plan_.foreign_key, id);
        } catch (const DataAccessError& e) {
            row.problems[keys] = e.what();
        }
        const auto* number = std::get_if<std::int64_t>(&id);
        const auto parent = number ? parent_keys_.find(*number) : parent_keys_.end();
        for (std::size_t k = 0; k < keys; ++k) {
            // A value whose parent row is gone has no key to name it by; when some parent row
            // could not be read, it may be that one.
            if (parent == parent_keys_.end()) {
                if (!unreadable_parent_.empty())
                    row.problems[k] = "所属的行可能无法读取，其主键未知：" + unreadable_parent_;
            } else if (!parent->second.problem.empty()) {
                row.problems[k] = "所属行的主键无法读取：" + parent->second.problem;
            } else {
                row.values[k] = parent->second.values[k];
            }
        }
        for (std::size_t v = 0; v < plan_.values.size(); ++v) {
            const std::size_t field = keys + 1 + v;
            try {
                rows.Decode(plan_.values[v].flat_column, row.values[field]);
            } catch (const DataAccessError& e) {
                row.problems[field] = e.what();
                continue;
            }
            if (v == plan_.file_data)
                DecodeFile(row, field);
        }
        return row;
    }

    void DecodeFile(ChildRow& row, std::size_t field) {
        auto* stored = std::get_if<Bytes>(&row.values[field]);
        if (!stored)
            return;
        std::string file;
        std::string reason;
        if (DecodeAttachment(
                {reinterpret_cast<const std::uint8_t*>(stored->data.data()), stored->data.size()},
                file, reason)) {
            stored->data = std::move(file);
            return;
        }
        row.values[field] = std::monostate{};
        row.problems[field] = "无法读取表 '" + parent_->name + "' 的附件列 '" +
                              plan_.schema.column + "' 中的文件：" + reason + "，数据已损坏。";
    }

    // Reads every row of a version history and orders them by parent row, then by date (then
    // by the order Access added them); rows that cannot be read come last.
    void ReadSortedHistory() {
        struct Entry {
            std::tuple<bool, std::int64_t, bool, int, int, int, int, int, int, std::int64_t> key;
            ChildRow row;
        };
        std::vector<Entry> entries;
        RowReader rows(file_, plan_.flat);
        Value own;
        for (;;) {
            Entry entry;
            try {
                if (!rows.Next())
                    break;
                entry.row = ReadRow(rows);
                try {
                    if (plan_.own_id != kNone)
                        rows.Decode(plan_.own_id, own);
                } catch (const DataAccessError&) {
                    own = std::monostate{};
                }
            } catch (const DataAccessError& e) {
                entry.row.row_problem = e.what();
                entry.key = {true, 0, false, 0, 0, 0, 0, 0, 0, 0};
                entries.push_back(std::move(entry));
                continue;
            }
            const std::size_t keys = key_columns_.size();
            const auto* id = std::get_if<std::int64_t>(&entry.row.values[keys]);
            const auto* date = std::get_if<DateTime>(&entry.row.values[keys + 1 + plan_.modified]);
            const auto* order = std::get_if<std::int64_t>(&own);
            DateTime when = date ? *date : DateTime{};
            entry.key = {false,           id ? *id : std::numeric_limits<std::int64_t>::min(),
                         date != nullptr, when.year,
                         when.month,      when.day,
                         when.hour,       when.minute,
                         when.second,     order ? *order : 0};
            entries.push_back(std::move(entry));
        }
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.key < b.key; });
        sorted_.reserve(entries.size());
        for (auto& entry : entries)
            sorted_.push_back(std::move(entry.row));
    }

    // Moves to the next child row; false after the last. A row that cannot be read becomes the
    // current row all the same, so that its fields say so, and MoveNext fails for it.
    bool Advance() override {
        if (plan_.schema.kind == ComplexKind::VersionHistory) {
            if (next_ >= sorted_.size())
                return false;
            current_ = std::move(sorted_[next_++]);
        } else {
            try {
                if (!rows_->Next())
                    return false;
                current_ = ReadRow(*rows_);
            } catch (const DataAccessError& e) {
                current_ = ChildRow{};
                current_.row_problem = e.what();
            }
        }
        if (!current_.row_problem.empty() && started_)
            throw DataAccessError(current_.row_problem);
        return true;
    }

    struct KeyValues {
        std::vector<Value> values;
        std::string problem;
    };

    std::shared_ptr<const AccessFile> file_;
    std::shared_ptr<const TablePlan> parent_;
    const ComplexPlan plan_;
    std::vector<std::size_t> key_columns_;
    std::unordered_map<std::int64_t, KeyValues> parent_keys_;
    // Why a parent row could not be read; empty when every one was.
    std::string unreadable_parent_;
    std::unique_ptr<RowReader> rows_;
    std::vector<ChildRow> sorted_;
    std::size_t next_ = 0;
    ChildRow current_;
    // Set once the first row is read: from then on a row that cannot be read fails MoveNext.
    bool started_ = false;
};

const Value& ComplexField::GetValue() {
    return owner_.FieldValue(index_);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The catalog's side.

namespace {

// The complex columns of the table at `page` as read so far; null when not read yet.
const std::vector<ComplexPlan>* FoundPlans(const ComplexCatalog* catalog, std::uint32_t page) {
    if (!catalog)
        return nullptr;
    const auto found = catalog->tables.find(page);
    return found == catalog->tables.end() ? nullptr : &found->second;
}

// Reads MSysComplexColumns; none when the file has no such table.
std::vector<ComplexEntry> ReadComplexEntries(const std::shared_ptr<const AccessFile>& file,
                                             Catalog& catalog) {
    const CatalogObject* system = catalog.Find("MSysComplexColumns");
    if (!system || system->type != kObjectTable)
        return {};
    const auto plan = catalog.Plan(*system);
    enum { kId, kType, kFlat, kConceptual };
    static constexpr std::string_view kColumns[] = {"ComplexID", "ComplexTypeObjectID",
                                                    "FlatTableID", "ConceptualTableID"};
    const std::vector<std::size_t> at =
        LocateSystemColumns(*file, *plan, kColumns, "MSysComplexColumns");
    std::vector<ComplexEntry> entries;
    RowReader rows(file, plan);
    Value value;
    while (rows.Next()) {
        ComplexEntry& entry = entries.emplace_back();
        entry.complex_id = Integer(rows, at[kId], value);
        entry.type_table = Integer(rows, at[kType], value);
        entry.flat_table = Integer(rows, at[kFlat], value);
        entry.conceptual_table = Integer(rows, at[kConceptual], value);
    }
    return entries;
}

} // namespace

std::vector<ComplexColumnSchema> Catalog::ComplexColumns(const CatalogObject& table) {
    const auto plan = Plan(table);
    if (std::none_of(plan->columns.begin(), plan->columns.end(),
                     [](const ColumnInfo& c) { return c.kind == Kind::Complex; }))
        return {};
    if (!complex_)
        complex_.reset(new ComplexCatalog);
    auto cached = complex_->tables.find(table.tdef_page);
    if (cached == complex_->tables.end()) {
        if (!complex_->entries_read) {
            complex_->entries = ReadComplexEntries(file_, *this);
            complex_->entries_read = true;
        }
        const std::string where = "表 '" + table.name + "' 的复杂数据列 '";
        // A table of the file by the number MSysComplexColumns names it by.
        auto table_at = [this](std::int64_t id) -> const CatalogObject* {
            for (const auto& object : objects_)
                if (object.type == kObjectTable &&
                    object.tdef_page == (static_cast<std::uint32_t>(id) & 0x00FFFFFFu))
                    return &object;
            return nullptr;
        };
        std::vector<std::string> parent_key;
        for (const std::size_t i : PrimaryKeyColumns(*plan))
            parent_key.push_back(plan->columns[i].name);
        std::vector<ComplexPlan> plans;
        for (std::size_t i = 0; i < plan->columns.size(); ++i) {
            const ColumnInfo& column = plan->columns[i];
            if (column.kind != Kind::Complex)
                continue;
            const auto entry = std::find_if(
                complex_->entries.begin(), complex_->entries.end(),
                [&](const ComplexEntry& e) { return e.complex_id == column.complex_id; });
            if (entry == complex_->entries.end() ||
                entry->conceptual_table != static_cast<std::int64_t>(table.tdef_page))
                FailRead(*file_, where + column.name +
                                     "' 在系统表 MSysComplexColumns 中没有记录，文件可能已损坏");
            const CatalogObject* type = table_at(entry->type_table);
            const CatalogObject* flat = table_at(entry->flat_table);
            if (!type || !flat || type == &table || flat == &table)
                FailRead(*file_,
                         where + column.name + "' 的类型模板或隐藏表不存在，文件可能已损坏");
            ComplexPlan& complex = plans.emplace_back();
            complex.parent_column = i;
            complex.schema.column = column.name;
            complex.schema.parent_key = parent_key;
            const auto type_plan = Plan(*type);
            complex.flat = Plan(*flat);
            complex.schema.kind = KindOfTemplate(*type_plan);
            if (complex.schema.kind == ComplexKind::Other) {
                complex.schema.note = "类型模板为 '" + type->name + "'";
                continue;
            }
            if (!FindValueColumns(*type_plan, *complex.flat, complex)) {
                complex.schema.kind = ComplexKind::Other;
                continue;
            }
            if (complex.foreign_key == kNone)
                FailRead(*file_, where + column.name + "' 的隐藏表 '" + flat->name +
                                     "' 中没有所属行的编号列，文件可能已损坏");
            if (complex.schema.kind == ComplexKind::VersionHistory) {
                // The memo column the history belongs to has the name of the template's.
                const std::string& memo =
                    complex.flat->columns[complex.values.front().flat_column].name;
                for (const auto& other : plan->columns)
                    if (other.kind == Kind::Memo && EqualsNoCase(other.name, memo))
                        complex.schema.versioned_column = other.name;
            }
        }
        cached = complex_->tables.emplace(table.tdef_page, std::move(plans)).first;
    }
    std::vector<ComplexColumnSchema> columns;
    for (const auto& complex : cached->second)
        columns.push_back(complex.schema);
    return columns;
}

void Catalog::CheckComplexTables() {
    for (const auto& object : objects_) {
        if (!object.plan)
            continue;
        ComplexColumns(object);
        if (const auto* plans = FoundPlans(complex_.get(), object.tdef_page))
            for (const auto& complex : *plans)
                if (complex.schema.kind != ComplexKind::Other)
                    CheckPageMap(*file_, *complex.flat);
    }
}

std::unique_ptr<Recordset> Catalog::OpenComplexValues(const CatalogObject& table,
                                                      const std::string& column) {
    ComplexColumns(table);
    const ComplexPlan* chosen = nullptr;
    if (const auto* plans = FoundPlans(complex_.get(), table.tdef_page)) {
        for (const auto& complex : *plans)
            if (complex.schema.column == column)
                chosen = &complex;
        for (const auto& complex : *plans)
            if (!chosen && EqualsNoCase(complex.schema.column, column))
                chosen = &complex;
    }
    if (!chosen)
        throw DataAccessError("表 '" + table.name + "' 没有复杂数据列 '" + column + "'。");
    if (chosen->schema.kind == ComplexKind::Other)
        throw DataAccessError("表 '" + table.name + "' 的列 '" + column +
                              "' 是种类无法识别的复杂数据列（" + chosen->schema.note +
                              "），其值无法读取。");
    return std::make_unique<ComplexRecordset>(file_, Plan(table), *chosen);
}

} // namespace tw::data::access
