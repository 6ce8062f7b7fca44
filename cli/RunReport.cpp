#include "RunReport.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace tw::cli {

namespace {

// How often a plain progress line is written while a table goes on.
constexpr auto kLineInterval = std::chrono::seconds(5);

struct Range {
    char32_t first;
    char32_t last;
};

// East Asian wide and full-width characters (Hangul, CJK, kana, full-width forms, emoji).
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

// Combining marks, drawn on the character before them.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

bool In(const Range* begin, const Range* end, char32_t code) {
    return std::any_of(begin, end, [code](const Range& range) {
        return code >= range.first && code <= range.last;
    });
}

std::string Count(std::int64_t value) {
    return std::to_string(value);
}

// Pads a cell to `width` columns, on the right (left-aligned) or on the left.
std::string Padded(const std::string& cell, std::size_t width, bool left_aligned) {
    const std::size_t used = DisplayWidth(cell);
    const std::string fill(width > used ? width - used : 0, ' ');
    return left_aligned ? cell + fill : fill + cell;
}

} // namespace

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC0 ? 2
                                                  : 1;
        char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        if (In(std::begin(kZeroWidth), std::end(kZeroWidth), code))
            continue;
        width += In(std::begin(kWide), std::end(kWide), code) ? 2 : 1;
    }
    return width;
}

void ProgressReport::TableStarted(const std::string& status) {
    if (style_ == Style::None)
        return;
    Finish();
    status_ = status;
    last_line_ = std::chrono::steady_clock::now();
    if (style_ == Style::Bar)
        DrawBar(0);
}

void ProgressReport::Progress(double percent) {
    if (style_ == Style::Bar) {
        DrawBar(percent);
        return;
    }
    if (style_ != Style::Lines)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_line_ < kLineInterval)
        return;
    last_line_ = now;
    std::fprintf(stderr, "tablewright-cli: %s：%d%%\n", status_.c_str(), static_cast<int>(percent));
    std::fflush(stderr);
}

void ProgressReport::TableDone(const run::TableOutcome& table) {
    if (style_ != Style::Lines)
        return;
    std::fprintf(
        stderr, "tablewright-cli: 表 '%s'%s：读取 %lld 行，写入 %lld 行，%lld 条语句失败，%s 秒\n",
        table.name.c_str(), table.cancelled ? "（中断）" : "",
        static_cast<long long>(table.rows_read), static_cast<long long>(table.rows_written),
        static_cast<long long>(table.failed_statements), run::FormatSeconds(table.seconds).c_str());
    std::fflush(stderr);
}

void ProgressReport::DrawBar(double percent) {
    constexpr int kWidth = 30;
    const int filled = std::clamp(static_cast<int>(percent * kWidth / 100.0), 0, kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %3d%%", status_.c_str(), bar.c_str(),
                 static_cast<int>(percent));
    std::fflush(stderr);
    open_ = true;
}

void ProgressReport::Finish() {
    if (open_)
        std::fputc('\n', stderr);
    open_ = false;
}

void WriteSummaryTable(std::ostream& out, const run::RunSummary& summary) {
    if (summary.tables.empty()) {
        out << "没有转换任何表。\n";
        return;
    }
    using Row = std::array<std::string, 5>;
    std::vector<Row> rows = {{"表", "读取行数", "写入行数", "失败语句", "秒"}};
    run::TableOutcome total;
    for (const auto& table : summary.tables) {
        rows.push_back({table.name + (table.cancelled ? "（中断）" : ""), Count(table.rows_read),
                        Count(table.rows_written), Count(table.failed_statements),
                        run::FormatSeconds(table.seconds)});
        total.rows_read += table.rows_read;
        total.rows_written += table.rows_written;
        total.failed_statements += table.failed_statements;
        total.seconds += table.seconds;
    }
    rows.push_back({"合计（" + Count(static_cast<std::int64_t>(summary.tables.size())) + " 个表）",
                    Count(total.rows_read), Count(total.rows_written),
                    Count(total.failed_statements), run::FormatSeconds(total.seconds)});
    std::array<std::size_t, 5> widths{};
    for (const Row& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], DisplayWidth(row[column]));
    auto write = [&](const Row& row) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            if (column > 0)
                line += "  ";
            line += Padded(row[column], widths[column], column == 0);
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << '\n';
    };
    std::size_t rule = 2 * (widths.size() - 1);
    for (std::size_t width : widths)
        rule += width;
    write(rows.front());
    out << std::string(rule, '-') << '\n';
    for (std::size_t i = 1; i + 1 < rows.size(); ++i)
        write(rows[i]);
    out << std::string(rule, '-') << '\n';
    write(rows.back());
}

} // namespace tw::cli
