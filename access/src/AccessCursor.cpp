// Reading rows: the walk over a table's data pages, the decoding of rows and values, and the
// recordset and fields that hand them out.

#include "AccessInternals.h"
#include "RowRecordset.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace tw::data::access {

namespace {

// The fixed byte size a kind needs (0 for variable-length kinds).
int FixedSizeOf(Kind kind) {
    switch (kind) {
    case Kind::Byte:
        return 1;
    case Kind::Int16:
        return 2;
    case Kind::Int32:
    case Kind::Complex:
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
    case Kind::ExtendedDate:
        return kExtendedDateSize;
    default:
        return 0;
    }
}

// Walks the data pages of one table in the order of its usage map. Page numbers only grow, so
// a walk ends after at most one visit per page of the file.
class DataPageCursor {
public:
    DataPageCursor(const AccessFile& file, const TablePlan& plan) : file_(file), plan_(plan) {}

    // Loads the next data page of the table into `buffer`; false after the last one.
    bool Next(std::vector<std::uint8_t>& buffer) {
        for (;;) {
            const std::uint32_t page = NextCandidate();
            if (page == 0)
                return false;
            const std::uint8_t* data = LoadPage(file_, page, buffer);
            // The map may name pages that now belong to something else; skip those.
            if (data[0] == kPageData && ReadU32(data + 4) == plan_.tdef_page)
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
            FailRead(file_, "表 '" + plan_.name + "' 的页面映射指向第 " + std::to_string(page) +
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
        const auto& map = plan_.usage_map;
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
                    if (data[0] != kPageUsageMap)
                        FailRead(file_, "表 '" + plan_.name + "' 的页面映射（第 " +
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
    const TablePlan& plan_;
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

} // namespace

// Streams the rows of one table and decodes values from the rows' raw bytes.
class TableCursor {
public:
    TableCursor(std::shared_ptr<const AccessFile> file, std::shared_ptr<const TablePlan> plan)
        : file_(std::move(file)), plan_(std::move(plan)), pages_(*file_, *plan_),
          spans_(plan_->columns.size()) {
        if (file_->jet3)
            code_page_ = std::make_unique<CodePageDecoder>(file_->header.code_page);
        for (std::size_t i = 0; i < plan_->columns.size(); ++i) {
            const auto& column = plan_->columns[i];
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
            extents_.assign(plan_->columns.size(), DecimalExtent{});
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
                    RowSlotCount(page_.data(), file_->page_size, file_->row_count_offset);
                for (int i = 0; i < slots; ++i) {
                    const RowSlot slot =
                        ReadRowSlot(page_.data(), file_->page_size, file_->row_count_offset, i);
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
                slot_count_ = RowSlotCount(page_.data(), file_->page_size, file_->row_count_offset);
                if (!DataPageConsistent(page_.data(), file_->page_size, file_->row_count_offset)) {
                    // Which of its rows are real is unknown: none is read, and that is said.
                    slot_count_ = 0;
                    FailRead(*file_, "表 '" + plan_->name + "' 第 " +
                                         std::to_string(row_number_ + 1) + " 行起的数据页（第 " +
                                         std::to_string(pages_.Page()) +
                                         " 页）已损坏，行目录无效，该页上的行无法读取");
                }
                continue;
            }
            RowSlot slot =
                ReadRowSlot(page_.data(), file_->page_size, file_->row_count_offset, slot_++);
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
            if (!CrackRow(file_->jet3, page, slot.start, slot.end, plan_->has_var_columns,
                          plan_->layouts, var_offsets_, spans_))
                FailRow("行的结构无效，数据已损坏");
            row_page_ = page;
            return true;
        }
    }

    // Decodes column `index` of the current row into `out`.
    void Decode(std::size_t index, Value& out) {
        const ColumnInfo& column = plan_->columns[index];
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
            throw DataAccessError("无法读取表 '" + plan_->name + "' 第 " +
                                  std::to_string(row_number_) + " 行的列 '" + column.name + "'：" +
                                  problem.what() + "。");
        }
    }

private:
    [[noreturn]] void FailRow(const std::string& reason) const {
        FailRead(*file_, "表 '" + plan_->name + "' 第 " + std::to_string(row_number_) +
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
            !DataPageConsistent(target, file_->page_size, file_->row_count_offset))
            FailRow("行的转移指针指向的不是有效的数据页");
        // The moved row's body is flagged like a deleted row; read it regardless of that flag.
        const auto located = LocateRow(target, file_->page_size, file_->row_count_offset, row);
        if (!located)
            FailRow("行的转移指针指向的数据无效");
        slot = *located;
        return target;
    }

    void AppendText(std::string& out, const std::uint8_t* data, std::size_t size) {
        if (code_page_)
            code_page_->Append(out, data, size);
        else
            AppendJet4Text(out, data, size);
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
        if (page[0] != kPageData || !DataPageConsistent(page, file_->page_size, rco))
            throw ValueProblem("长值指向的页面（第 " + std::to_string(page_number) +
                               " 页）不是有效的数据页，数据已损坏");
        const auto row = LocateRow(page, file_->page_size, rco, static_cast<int>(pointer & 0xFF));
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
        case Kind::Complex:
            out = static_cast<std::int64_t>(static_cast<std::int32_t>(ReadU32(data)));
            return;
        case Kind::BigInt:
            out = static_cast<std::int64_t>(ReadU64(data));
            return;
        case Kind::Float:
            out = ReadFloat(data);
            return;
        case Kind::Double:
            out = ReadDouble(data);
            return;
        case Kind::Money:
            AppendCurrency(ReuseDecimal(out), static_cast<std::int64_t>(ReadU64(data)));
            return;
        case Kind::Numeric:
            AppendJetDecimal(ReuseDecimal(out), data, column.scale);
            return;
        case Kind::Date: {
            const double serial = ReadDouble(data);
            const auto date = AccessDateToDateTime(serial);
            if (!date)
                throw ValueProblem("日期值 " + std::to_string(serial) + " 无效");
            out = *date;
            return;
        }
        case Kind::Guid:
            AppendGuid(ReuseGuid(out), data);
            return;
        case Kind::ExtendedDate: {
            const auto date = ReadExtendedDate(data, size);
            if (!date)
                throw ValueProblem("扩展日期/时间值不是有效的日期，数据已损坏");
            out = *date;
            return;
        }
        case Kind::Raw:
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
            AppendJet4Text(ReuseText(out), value, length);
            return;
        }
        const auto [value, length] = Unwrap(data, size);
        // Access stores no data for a result that is NULL (one of its operands is).
        if (length == 0 && FixedSizeOf(column.kind) > 0) {
            out = std::monostate{};
            return;
        }
        switch (column.kind) {
        case Kind::Bool:
            if (length == 0)
                out = std::monostate{};
            else
                out = value[0] != 0;
            return;
        case Kind::Text:
            AppendJet4Text(ReuseText(out), value, length);
            return;
        case Kind::Numeric: {
            const auto decimal = ReadCalcDecimal(value, length);
            if (!decimal)
                throw ValueProblem("计算列的小数值无法解读");
            // Each value carries its own scale; pad to the column's largest one so that all
            // values of the column have the same number of decimals.
            int scale = column.scale;
            if (index < extents_.size() && extents_[index].seen)
                scale = extents_[index].scale;
            std::string& text = ReuseDecimal(out);
            AppendScaledDecimal(text, decimal->negative, decimal->words, decimal->scale);
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
            const auto decimal = ReadCalcDecimal(value, length);
            if (!decimal)
                continue;
            std::string digits;
            AppendScaledDecimal(digits, false, decimal->words, 0);
            const int integer_digits =
                std::max(1, static_cast<int>(digits.size()) - decimal->scale);
            DecimalExtent& extent = extents_[index];
            extent.seen = true;
            extent.scale = std::max(extent.scale, decimal->scale);
            extent.integer_digits = std::max(extent.integer_digits, integer_digits);
        }
    }

    std::shared_ptr<const AccessFile> file_;
    std::shared_ptr<const TablePlan> plan_;
    DataPageCursor pages_;
    std::vector<FieldSpan> spans_;
    std::vector<int> var_offsets_;
    // The current data page, the target page of a moved row, and a long-value page.
    std::vector<std::uint8_t> page_;
    std::vector<std::uint8_t> overflow_page_;
    std::vector<std::uint8_t> alt_page_;
    std::unordered_set<std::uint32_t> visited_;
    std::unique_ptr<CodePageDecoder> code_page_;
    std::vector<std::size_t> calc_decimals_;
    std::vector<DecimalExtent> extents_;
    std::string scratch_;
    const std::uint8_t* row_page_ = nullptr;
    bool page_loaded_ = false;
    int slot_ = 0;
    int slot_count_ = 0;
    std::int64_t row_number_ = 0;
};

namespace {

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
    int SourceType() const override { return column_.type_byte; }
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

class AccessRecordset final : public RowRecordset<AccessField> {
public:
    AccessRecordset(std::shared_ptr<const AccessFile> file, std::shared_ptr<const TablePlan> plan)
        : plan_(std::move(plan)), cursor_(std::make_unique<TableCursor>(std::move(file), plan_)) {
        fields_.reserve(plan_->columns.size());
        for (std::size_t i = 0; i < plan_->columns.size(); ++i)
            fields_.push_back(std::make_unique<AccessField>(*this, i, plan_->columns[i]));
        const std::int64_t count = cursor_->CountRows();
        const auto& extents = cursor_->Extents();
        for (std::size_t i = 0; i < extents.size(); ++i) {
            if (extents[i].seen)
                fields_[i]->SetMeasuredDecimal(extents[i].integer_digits + extents[i].scale,
                                               extents[i].scale);
        }
        for (const auto& column : plan_->columns) {
            if (!column.problem.empty())
                warnings_.push_back("列 '" + column.name + "'" + column.problem + "。");
            else if (!column.note.empty())
                warnings_.push_back("列 '" + column.name + "'" + column.note + "。");
        }
        Start(count);
    }

    std::vector<std::string> ColumnWarnings() const override { return warnings_; }

    // Decodes a column of the current row unless `decoded_row` shows it is already done.
    void Fetch(std::size_t index, Value& value, std::uint64_t& decoded_row) {
        RequireCurrentRow(row_valid_);
        if (decoded_row == row_serial_)
            return;
        cursor_->Decode(index, value);
        decoded_row = row_serial_;
    }

private:
    bool Advance() override {
        // A new serial invalidates the values decoded so far; when reading the next row fails,
        // there is no current row until a later MoveNext succeeds.
        ++row_serial_;
        row_valid_ = false;
        if (!cursor_->Next())
            return false;
        row_valid_ = true;
        return true;
    }

    void Release() override { cursor_.reset(); }

    std::shared_ptr<const TablePlan> plan_;
    std::unique_ptr<TableCursor> cursor_;
    std::vector<std::string> warnings_;
    // Starts at 0, which no field has decoded; the first row is 1.
    std::uint64_t row_serial_ = 0;
    bool row_valid_ = false;
};

const Value& AccessField::GetValue() {
    owner_.Fetch(index_, value_, decoded_row_);
    return value_;
}

} // namespace

RowReader::RowReader(std::shared_ptr<const AccessFile> file, std::shared_ptr<const TablePlan> plan)
    : cursor_(std::make_unique<TableCursor>(std::move(file), std::move(plan))) {}

RowReader::~RowReader() = default;

bool RowReader::Next() {
    return cursor_->Next();
}

void RowReader::Decode(std::size_t index, Value& out) {
    cursor_->Decode(index, out);
}

void CheckPageMap(const AccessFile& file, const TablePlan& plan) {
    DataPageCursor(file, plan).CheckMap();
}

std::unique_ptr<Recordset> OpenPlanRecordset(std::shared_ptr<const AccessFile> file,
                                             std::shared_ptr<const TablePlan> plan) {
    return std::make_unique<AccessRecordset>(std::move(file), std::move(plan));
}

} // namespace tw::data::access
