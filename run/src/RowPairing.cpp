#include "RowPairing.h"

#include "VerifyWording.h"
#include "tablewright/model/AdoTypes.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <unordered_map>
#include <utility>

namespace tw::run {

namespace {

// A chunk of Access rows is paired at once: at most this many rows, this many bytes of values
// and this many bytes of key text (the query that fetches the chunk's target rows stays far
// below any max_allowed_packet).
constexpr std::size_t kChunkRows = 5000;
constexpr std::size_t kChunkBytes = 4 * 1024 * 1024;
constexpr std::size_t kKeyListBytes = 1024 * 1024;
// Rows taken from a scan at a time.
constexpr std::size_t kScanRows = 1000;
// Target rows that a scan met before their Access rows wait, at most this many rows and bytes
// (the scan is read no further meanwhile); keys paired before the scan met them, at most this
// many. A target whose order needs more is read by key only.
constexpr std::size_t kMostWaitingRows = 2 * kChunkRows;
constexpr std::size_t kMostWaitingBytes = 16 * 1024 * 1024;
constexpr std::size_t kMostPairedAhead = 10 * kChunkRows;

std::uint64_t KeyHash(std::string_view key) {
    return std::hash<std::string_view>{}(key);
}

} // namespace

void AppendKeyPart(std::string& key, const data::Canonical& part) {
    if (!part) {
        key += "N;";
        return;
    }
    key += std::to_string(part->size());
    key += ':';
    key += *part;
}

RowPairing::RowPairing(data::Connection& source, data::TargetDatabase& target, bool ole_contents,
                       bool keep_values)
    : source_(source), target_db_(target), ole_contents_(ole_contents), keep_values_(keep_values),
      text_is_canonical_(target.TextIsCanonical()) {}

data::Value RowPairing::TypedValue(const SourceRow& row, std::size_t column) const {
    const Cell& cell = row.cells[column];
    if (cell.unreadable)
        return {};
    if (!cell.from_canonical)
        return row.values[column];
    if (!cell.value)
        return {};
    if (cell.bytes)
        return data::Bytes{*cell.value};
    return *cell.value;
}

void RowPairing::OpenSource(const std::string& table, const engine::ChildTable* child) {
    source_table_ = table;
    source_child_ = child;
    source_rs_ = child ? source_.OpenComplexValues(child->parent, child->column.column)
                       : source_.OpenTable(table);
    for (int i = 0; i < source_rs_->FieldCount(); ++i) {
        data::Field& field = source_rs_->GetField(i);
        PairColumn column;
        column.name = field.Name();
        column.ado_type = field.Type();
        column.form = data::FormOf(field.Type());
        column.unwrap_ole = ole_contents_ && source_.EmbedsFiles(field.SourceType());
        columns_.push_back(std::move(column));
    }
}

void RowPairing::ReopenSource() {
    StopReadingAhead();
    source_rs_->Close();
    source_rs_ = source_child_ ? source_.OpenComplexValues(source_child_->parent,
                                                           source_child_->column.column)
                               : source_.OpenTable(source_table_);
    chunk_size_ = 0;
    source_rows_ = 0;
    paired_ = 0;
    duplicates_ = 0;
    source_keys_.clear();
    source_runs_.clear();
    EndScan();
    scan_tried_ = false;
}

void RowPairing::OpenTarget(const std::string& target_table) {
    target_ = target_db_.OpenTable(target_table);
    MatchTarget();
}

void RowPairing::MatchTarget() {
    std::vector<bool> taken(target_->Columns().size(), false);
    for (PairColumn& column : columns_) {
        column.target = target_->FindColumn(column.name, taken);
        if (column.target >= 0)
            taken[static_cast<std::size_t>(column.target)] = true;
    }
}

std::vector<std::string> RowPairing::MissingColumns() const {
    std::vector<std::string> names;
    for (const PairColumn& column : columns_)
        if (column.target < 0)
            names.push_back(column.name);
    return names;
}

std::vector<std::string> RowPairing::ExtraColumns() const {
    std::vector<bool> used(target_->Columns().size(), false);
    for (const PairColumn& column : columns_)
        if (column.target >= 0)
            used[static_cast<std::size_t>(column.target)] = true;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < used.size(); ++i)
        if (!used[i])
            names.push_back(target_->Columns()[i].name);
    return names;
}

void RowPairing::ChooseKey(const data::TableSchema& schema) {
    key_.clear();
    text_key_ = false;
    number_key_ = false;
    auto position = [&](const std::string& name) {
        return static_cast<std::size_t>(
            std::find_if(columns_.begin(), columns_.end(),
                         [&](const PairColumn& c) { return c.name == name; }) -
            columns_.begin());
    };
    auto usable = [&](const data::IndexSchema& index, bool need_values) {
        if (index.columns.empty())
            return false;
        for (const auto& part : index.columns) {
            const std::size_t at = position(part.name);
            if (at == columns_.size() || columns_[at].target < 0)
                return false;
            if (need_values) {
                auto definition =
                    std::find_if(schema.columns.begin(), schema.columns.end(),
                                 [&](const data::ColumnSchema& c) { return c.name == part.name; });
                if (definition == schema.columns.end() ||
                    !(definition->required || columns_[at].ado_type == data::adBoolean))
                    return false;
            }
        }
        return true;
    };
    const data::IndexSchema* chosen = nullptr;
    for (const auto& index : schema.indexes)
        if (index.primary && usable(index, false))
            chosen = &index;
    if (!chosen && std::none_of(schema.indexes.begin(), schema.indexes.end(),
                                [](const data::IndexSchema& index) { return index.primary; }))
        for (const auto& index : schema.indexes)
            if (!chosen && index.unique && usable(index, true))
                chosen = &index;
    if (!chosen)
        return;
    for (const auto& part : chosen->columns)
        key_.push_back(position(part.name));
    number_key_ = key_.size() == 1 && columns_[key_[0]].form == data::ValueForm::Integer;
    text_key_ = std::any_of(key_.begin(), key_.end(), [&](std::size_t k) {
        return columns_[k].form == data::ValueForm::Text;
    });
}

void RowPairing::Bind() {
    std::vector<int> targets;
    std::vector<data::ValueForm> forms;
    std::vector<int> types;
    for (PairColumn& column : columns_) {
        column.bound = -1;
        if (column.target < 0)
            continue;
        column.bound = static_cast<int>(targets.size());
        targets.push_back(column.target);
        forms.push_back(column.form);
        types.push_back(column.ado_type);
    }
    std::vector<std::size_t> key;
    for (const std::size_t k : key_)
        key.push_back(static_cast<std::size_t>(columns_[k].bound));
    target_->Bind(std::move(targets), std::move(forms), std::move(types), std::move(key));
}

bool RowPairing::ReadChunk() {
    // The chunk read ahead while the last one was paired, or (the first time) this one; then
    // the next is read ahead, into the rows of the last one and the memory they hold.
    if (ahead_.valid()) {
        const std::size_t size = ahead_.get();
        std::swap(chunk_, ahead_rows_);
        chunk_size_ = size;
    } else {
        chunk_size_ = FillChunk(chunk_, source_rows_);
    }
    source_rows_ += static_cast<std::int64_t>(chunk_size_);
    if (chunk_size_ > 0)
        ahead_ = std::async(std::launch::async,
                            [this, first = source_rows_] { return FillChunk(ahead_rows_, first); });
    return chunk_size_ > 0;
}

void RowPairing::StopReadingAhead() {
    if (!ahead_.valid())
        return;
    try {
        ahead_.get();
    } catch (const std::exception&) {
        // The chunk is dropped; whoever reads on meets the failure again.
    }
}

RowPairing::~RowPairing() {
    StopReadingAhead();
}

std::size_t RowPairing::FillChunk(std::vector<SourceRow>& chunk, std::int64_t ordinal) {
    std::size_t size = 0;
    std::size_t bytes = 0;
    std::size_t key_bytes = 0;
    data::Recordset& rs = *source_rs_;
    while (!rs.IsEOF() && size < kChunkRows && bytes < kChunkBytes && key_bytes < kKeyListBytes) {
        if (size == chunk.size())
            chunk.emplace_back();
        SourceRow& row = chunk[size++];
        row.ordinal = ++ordinal;
        row.cells.resize(columns_.size());
        row.key.clear();
        row.key_text.clear();
        if (keep_values_)
            row.values.resize(columns_.size());
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            Cell& cell = row.cells[i];
            cell.unreadable = false;
            try {
                const data::Value& value = rs.GetField(static_cast<int>(i)).GetValue();
                // With --ole-contents the conversion stored the file an OLE value wraps.
                data::Bytes embedded;
                const data::Bytes* bytes_value = std::get_if<data::Bytes>(&value);
                if (columns_[i].unwrap_ole && bytes_value) {
                    embedded = *bytes_value;
                    if (!source_.EmbeddedFile(embedded))
                        bytes_value = nullptr;
                } else {
                    bytes_value = nullptr;
                }
                const data::Value unwrapped =
                    bytes_value ? data::Value(std::move(embedded)) : data::Value();
                const data::Value& stored = bytes_value ? unwrapped : value;
                target_db_.CanonicalOf(columns_[i].form, stored, cell.value);
                // A text or a byte value is its canonical text on most targets: made again
                // from it when needed, instead of kept (most rows are never written).
                cell.from_canonical =
                    text_is_canonical_ && (std::holds_alternative<std::string>(stored) ||
                                           std::holds_alternative<data::Bytes>(stored));
                if (keep_values_ && !cell.from_canonical)
                    row.values[i] = stored;
                else if (keep_values_)
                    cell.bytes = std::holds_alternative<data::Bytes>(stored);
            } catch (const data::DataAccessError&) {
                cell.value.reset();
                cell.unreadable = true; // the conversion wrote NULL; it is no proof
                cell.from_canonical = false;
                if (keep_values_)
                    row.values[i] = data::Value{};
            }
            if (cell.value)
                bytes += cell.value->size();
        }
        for (const std::size_t k : key_) {
            row.key.push_back(row.cells[k].value);
            AppendKeyPart(row.key_text, row.cells[k].value);
        }
        key_bytes += row.key_text.size() + 8 * key_.size();
        rs.MoveNext();
    }
    return size;
}

void RowPairing::PairChunk(
    const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
    const std::function<void(SourceRow&)>& missing,
    const std::function<void(SourceRow&)>& duplicate) {
    if (chunk_size_ == 0)
        return;
    StartScan();
    if (key_.empty() && scan_) {
        PairInOrderFromScan(pair, missing);
        return;
    }
    if (key_.empty()) {
        std::size_t at = 0;
        target_->ReadInOrder(chunk_[0].ordinal - 1, static_cast<std::int64_t>(chunk_size_),
                             [&](std::span<const data::Canonical> row) {
                                 if (at < chunk_size_) {
                                     ++paired_;
                                     pair(chunk_[at++], row);
                                 }
                             });
        for (; at < chunk_size_; ++at)
            missing(chunk_[at]);
        return;
    }
    for (std::size_t i = 0; i < chunk_size_; ++i)
        NoteSourceKey(chunk_[i].key, chunk_[i].key_text);
    matched_.assign(chunk_size_, 0);
    const bool scanned = scan_ != nullptr;
    const std::size_t left = scanned ? PairFromScan(pair, duplicate) : chunk_size_;
    if (left == 0)
        return;
    std::vector<std::span<const data::Canonical>> keys;
    keys.reserve(left);
    for (std::size_t i = 0; i < chunk_size_; ++i)
        if (!matched_[i])
            keys.push_back(chunk_[i].key);
    // The target sends a chunk's rows mostly in the order of their keys, often the Access order
    // too: each row is first tried against the Access row after the one paired last, and looked
    // up by its key only when that fails (the lookup is made when first needed).
    std::unordered_map<std::string_view, std::size_t> position;
    std::size_t next = 0;
    std::string key;
    // Target rows whose key no Access row of the chunk has exactly; with a text key, the
    // target found them as equal to one (its collation), so they are paired that way below.
    std::vector<std::vector<data::Canonical>> unpaired;
    target_->ReadByKeys(keys, [&](std::span<const data::Canonical> row) {
        std::size_t at = chunk_size_;
        if (next < chunk_size_ && SameKey(chunk_[next], row)) {
            at = next;
        } else {
            if (position.empty())
                for (std::size_t i = 0; i < chunk_size_; ++i)
                    position.emplace(chunk_[i].key_text, i);
            TargetKeyText(row, key);
            const auto found = position.find(key);
            if (found == position.end()) {
                if (text_key_)
                    unpaired.emplace_back(row.begin(), row.end());
                return; // otherwise found again with the extra rows
            }
            at = found->second;
        }
        if (scanned) {
            // The key is unique: a row paired from the scan came again with a range read.
            if (matched_[at])
                return;
            // Not met by the scan yet (it would have been paired then): dropped when met.
            TargetKeyText(row, key);
            paired_ahead_.insert(KeyHash(key));
        }
        next = at + 1;
        Take(at, row, pair, duplicate);
    });
    if (!unpaired.empty())
        PairByCollation(unpaired, pair, duplicate);
    for (std::size_t i = 0; i < chunk_size_; ++i)
        if (!matched_[i])
            missing(chunk_[i]);
    // A target in another order than the Access table's: most rows of a chunk fetched by key
    // while the scan holds as many rows back as it may, or too many keys to remember.
    if (scan_ && (paired_ahead_.size() > kMostPairedAhead ||
                  (2 * left > chunk_size_ && waiting_.size() >= kMostWaitingRows)))
        EndScan();
}

void RowPairing::StartScan() {
    if (scan_tried_)
        return;
    scan_tried_ = true;
    // Without a unique key, a row the scan meets late may be a second one of a paired key.
    if (!key_.empty() && !target_->KeyIsUnique())
        return;
    scan_ = target_->Scan();
    scan_ended_ = false;
}

void RowPairing::EndScan() {
    scan_.reset();
    scan_ended_ = true;
    waiting_.clear();
    waiting_bytes_ = 0;
    paired_ahead_.clear();
}

void RowPairing::TargetKeyText(std::span<const data::Canonical> row, std::string& key) const {
    key.clear();
    for (const std::size_t k : key_)
        AppendKeyPart(key, row[static_cast<std::size_t>(columns_[k].bound)]);
}

std::size_t RowPairing::PairFromScan(
    const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
    const std::function<void(SourceRow&)>& duplicate) {
    std::unordered_map<std::string_view, std::size_t> position;
    position.reserve(chunk_size_);
    std::size_t left = 0;
    for (std::size_t i = 0; i < chunk_size_; ++i) {
        if (!waiting_.empty()) {
            const auto found = waiting_.find(chunk_[i].key_text);
            if (found != waiting_.end()) {
                Take(i, found->second.values, pair, duplicate);
                for (const auto& value : found->second.values)
                    waiting_bytes_ -= value ? value->size() : 0;
                waiting_.erase(found);
                continue;
            }
        }
        position.emplace(chunk_[i].key_text, i);
        ++left;
    }
    std::string key;
    while (left > 0 && !scan_ended_ && waiting_.size() < kMostWaitingRows &&
           waiting_bytes_ < kMostWaitingBytes) {
        const auto take = [&](std::span<const data::Canonical> row) {
            ++scanned_rows_;
            TargetKeyText(row, key);
            if (!paired_ahead_.empty() && paired_ahead_.erase(KeyHash(key)) > 0)
                return;
            const auto found = position.find(key);
            if (found != position.end()) {
                if (!matched_[found->second])
                    --left;
                Take(found->second, row, pair, duplicate);
                return;
            }
            // A row of a later chunk, or one no Access row has: it waits.
            auto [entry, added] = waiting_.try_emplace(
                key,
                WaitingRow{scanned_rows_, std::vector<data::Canonical>(row.begin(), row.end())});
            if (added)
                for (const auto& value : row)
                    waiting_bytes_ += value ? value->size() : 0;
        };
        try {
            scan_ended_ = !scan_->Read(kScanRows, take);
        } catch (const data::DataAccessError&) {
            // The scan's connection failed: the rest of the table is read by key, where a
            // fault of the server shows again.
            EndScan();
        }
    }
    return left;
}

void RowPairing::PairInOrderFromScan(
    const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
    const std::function<void(SourceRow&)>& missing) {
    std::size_t at = 0;
    while (at < chunk_size_ && !scan_ended_)
        scan_ended_ = !scan_->Read(chunk_size_ - at, [&](std::span<const data::Canonical> row) {
            ++paired_;
            pair(chunk_[at++], row);
        });
    for (; at < chunk_size_; ++at)
        missing(chunk_[at]);
}

bool RowPairing::SameKey(const SourceRow& source, std::span<const data::Canonical> row) const {
    for (std::size_t part = 0; part < key_.size(); ++part)
        if (source.key[part] != row[static_cast<std::size_t>(columns_[key_[part]].bound)])
            return false;
    return true;
}

void RowPairing::Take(std::size_t at, std::span<const data::Canonical> row,
                      const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
                      const std::function<void(SourceRow&)>& duplicate) {
    SourceRow& source = chunk_[at];
    if (matched_[at]) {
        ++duplicates_;
        duplicate(source);
        return;
    }
    matched_[at] = 1;
    ++paired_;
    pair(source, row);
}

void RowPairing::PairByCollation(
    const std::vector<std::vector<data::Canonical>>& unpaired,
    const std::function<void(SourceRow&, std::span<const data::Canonical>)>& pair,
    const std::function<void(SourceRow&)>& duplicate) {
    // The keys as the target compares them: first those of the Access rows, then the target's.
    std::vector<std::span<const data::Canonical>> keys;
    for (std::size_t i = 0; i < chunk_size_; ++i)
        keys.push_back(chunk_[i].key);
    std::vector<std::vector<data::Canonical>> target_keys;
    for (const auto& row : unpaired) {
        auto& parts = target_keys.emplace_back();
        for (const std::size_t k : key_)
            parts.push_back(row[static_cast<std::size_t>(columns_[k].bound)]);
    }
    for (const auto& parts : target_keys)
        keys.emplace_back(parts);
    const std::vector<std::string> compared = target_->ComparedKeys(keys);
    std::unordered_map<std::string_view, std::size_t> position;
    for (std::size_t i = 0; i < chunk_size_; ++i)
        position.emplace(compared[i], i);
    std::string key;
    for (std::size_t r = 0; r < unpaired.size(); ++r) {
        const auto found = position.find(compared[chunk_size_ + r]);
        if (found == position.end())
            continue; // found again with the extra rows
        // The target's spelling of the key belongs to the Access rows: no extra row.
        key.clear();
        for (const auto& part : target_keys[r])
            AppendKeyPart(key, part);
        NoteSourceKey(target_keys[r], key);
        if (scan_) {
            const auto met = waiting_.find(key);
            if (met == waiting_.end()) {
                paired_ahead_.insert(KeyHash(key));
            } else {
                for (const auto& value : met->second.values)
                    waiting_bytes_ -= value ? value->size() : 0;
                waiting_.erase(met);
            }
        }
        Take(found->second, unpaired[r], pair, duplicate);
    }
}

std::optional<std::uint64_t> RowPairing::KeyNumber(std::span<const data::Canonical> key) const {
    if (!number_key_ || key.size() != 1 || !key[0])
        return std::nullopt;
    const std::string& text = *key[0];
    std::int64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return static_cast<std::uint64_t>(number) ^ (std::uint64_t{1} << 63);
}

void RowPairing::NoteSourceKey(std::span<const data::Canonical> key, std::string_view key_text) {
    keys_sorted_ = false;
    const auto number = KeyNumber(key);
    if (!number) {
        source_keys_.push_back(KeyHash(key_text));
        return;
    }
    if (!source_runs_.empty() && source_runs_.back().second != UINT64_MAX &&
        source_runs_.back().second + 1 == *number)
        source_runs_.back().second = *number;
    else
        source_runs_.emplace_back(*number, *number);
}

void RowPairing::SortSourceKeys() {
    std::sort(source_keys_.begin(), source_keys_.end());
    std::sort(source_runs_.begin(), source_runs_.end());
    // Runs that overlap or touch become one, so that their ends ascend too.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < source_runs_.size(); ++i) {
        const auto& run = source_runs_[i];
        auto& last = source_runs_[kept - (kept > 0 ? 1 : 0)];
        if (kept > 0 && (last.second == UINT64_MAX || run.first <= last.second + 1))
            last.second = std::max(last.second, run.second);
        else
            source_runs_[kept++] = run;
    }
    source_runs_.resize(kept);
    keys_sorted_ = true;
}

bool RowPairing::IsSourceKey(std::span<const data::Canonical> key,
                             const std::string& key_text) const {
    if (const auto number = KeyNumber(key)) {
        const auto run = std::lower_bound(source_runs_.cbegin(), source_runs_.cend(), *number,
                                          [](const std::pair<std::uint64_t, std::uint64_t>& r,
                                             std::uint64_t n) { return r.second < n; });
        return run != source_runs_.cend() && run->first <= *number;
    }
    return std::binary_search(source_keys_.begin(), source_keys_.end(), KeyHash(key_text));
}

void RowPairing::ScanExtraKeys(const std::function<bool(std::span<const data::Canonical>)>& extra) {
    if (!keys_sorted_)
        SortSourceKeys();
    std::string key;
    if (scan_) {
        // The rows the scan has not paired: those waiting, then the rest of the table.
        std::vector<data::Canonical> parts(key_.size());
        bool more = true;
        auto offer = [&](std::span<const data::Canonical> row) {
            for (std::size_t part = 0; part < key_.size(); ++part)
                parts[part] = row[static_cast<std::size_t>(columns_[key_[part]].bound)];
            TargetKeyText(row, key);
            if (!paired_ahead_.empty() && paired_ahead_.erase(KeyHash(key)) > 0)
                return;
            if (!IsSourceKey(parts, key))
                more = extra(parts);
        };
        std::vector<const WaitingRow*> waiting;
        waiting.reserve(waiting_.size());
        for (const auto& entry : waiting_)
            waiting.push_back(&entry.second);
        std::sort(waiting.begin(), waiting.end(),
                  [](const WaitingRow* a, const WaitingRow* b) { return a->met < b->met; });
        for (const WaitingRow* row : waiting)
            if (more)
                offer(row->values);
        waiting_.clear();
        waiting_bytes_ = 0;
        while (more && !scan_ended_)
            scan_ended_ = !scan_->Read(kScanRows, [&](std::span<const data::Canonical> row) {
                if (more)
                    offer(row);
            });
        EndScan();
        return;
    }
    // With every Access key a number in a few runs, the target needs to read only the keys
    // between the runs: those are the extra rows (a key within a run is an Access key).
    constexpr std::size_t kMostRuns = 1000;
    std::vector<std::pair<std::int64_t, std::int64_t>> skip;
    if (source_keys_.empty() && source_runs_.size() <= kMostRuns)
        for (const auto& [first, last] : source_runs_)
            skip.emplace_back(static_cast<std::int64_t>(first ^ (std::uint64_t{1} << 63)),
                              static_cast<std::int64_t>(last ^ (std::uint64_t{1} << 63)));
    target_->ReadKeys(
        [&](std::span<const data::Canonical> parts) {
            key.clear();
            for (const auto& part : parts)
                AppendKeyPart(key, part);
            return IsSourceKey(parts, key) || extra(parts);
        },
        skip);
}

std::string RowPairing::KeyLabel(std::span<const data::Canonical> key) const {
    std::string label;
    for (std::size_t part = 0; part < key_.size() && part < key.size(); ++part) {
        const PairColumn& column = columns_[key_[part]];
        if (!label.empty())
            label += ", ";
        label += column.name + "=" + ShowValue(column.form, Cell{key[part]});
    }
    return label;
}

} // namespace tw::run
