#pragma once

// The navigation the recordsets of the file share (a table's rows in AccessCursor.cpp, a
// complex column's child rows in AccessComplex.cpp): the count, end and beginning, moving on,
// closing, the fields by number, and the messages for each misuse.

#include "tablewright/model/DataAccess.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw::data::access {

/// What the recordsets of the file say when moved past their end and when read there.
inline constexpr const char* kMovedPastEnd = "记录集已经位于最后一条记录之后，无法再移动。";
inline constexpr const char* kNoCurrentRecordAtEnd = "没有当前记录：记录集位于末尾。";

/// Field `index` of a recordset's fields; fails naming the index when there is none.
template <typename FieldPointer>
Field& FieldAt(const std::vector<FieldPointer>& fields, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= fields.size())
        throw DataAccessError("字段序号 " + std::to_string(index) + " 超出范围（共 " +
                              std::to_string(fields.size()) + " 个字段）。");
    return *fields[static_cast<std::size_t>(index)];
}

/// A forward-only recordset over rows that a subclass reads one at a time (Advance) and whose
/// fields, of type FieldType, it owns in `fields_`.
template <typename FieldType> class RowRecordset : public Recordset {
public:
    bool IsEOF() const override { return eof_; }
    bool IsBOF() const override { return bof_; }
    std::int64_t RecordCount() const override { return count_; }

    void MoveNext() override {
        RequireOpen();
        if (eof_)
            throw DataAccessError(kMovedPastEnd);
        bof_ = false;
        if (!Advance())
            eof_ = true;
    }

    int FieldCount() const override { return static_cast<int>(fields_.size()); }

    Field& GetField(int index) override { return FieldAt(fields_, index); }

    void Close() override {
        Release();
        closed_ = true;
        eof_ = true;
        bof_ = true;
    }

protected:
    /// Stands on the first of `count` rows: end and beginning at once when there is none.
    void Start(std::int64_t count) {
        count_ = count;
        if (count_ == 0 || !Advance()) {
            eof_ = true;
            bof_ = true;
        }
    }

    /// Fails unless the recordset is open and stands on a row that could be read
    /// (`row_readable`).
    void RequireCurrentRow(bool row_readable) const {
        RequireOpen();
        if (eof_)
            throw DataAccessError(kNoCurrentRecordAtEnd);
        if (!row_readable)
            throw DataAccessError("没有当前记录：上一条记录无法读取。");
    }

    /// Moves to the next row; false after the last one. May throw DataAccessError for a row
    /// that cannot be read, having moved past it.
    virtual bool Advance() = 0;

    /// Lets go of what reading the rows holds (Close).
    virtual void Release() = 0;

    std::vector<std::unique_ptr<FieldType>> fields_;

private:
    void RequireOpen() const {
        if (closed_)
            throw DataAccessError("记录集已关闭。");
    }

    std::int64_t count_ = 0;
    bool eof_ = false;
    bool bof_ = false;
    bool closed_ = false;
};

} // namespace tw::data::access
