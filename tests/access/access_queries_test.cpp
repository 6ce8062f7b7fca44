// Saved queries rebuilt from MSysQueries rows made by hand: the select options Access 97 writes
// (DISTINCTROW with TOP), and rows that contradict each other or hold what the reader does not
// know, which must give a reason and no text; then every byte of jet3-queries.mdb's MSysQueries
// rows flipped in turn.

#include "AccessImage.h"
#include "AccessQueries.h"
#include "TestEnv.h"
#include "tablewright/model/DataAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string_view>

namespace tw::data::access {
namespace {

using Rows = std::vector<QueryRow>;

QueryRow Row(std::int64_t attribute, std::string expression = {}, std::int64_t flag = 0,
             std::string name1 = {}, std::string name2 = {}) {
    QueryRow row;
    row.attribute = attribute;
    row.expression = std::move(expression);
    row.flag = flag;
    row.name1 = std::move(name1);
    row.name2 = std::move(name2);
    return row;
}

// "Ten Most Expensive Products" as an Access 97 file keeps it: DISTINCTROW and TOP 10.
Rows TopTen(std::int64_t flags = 0x18, std::string count = "10") {
    return {Row(0),
            Row(1, {}, 1),
            Row(3, {}, flags, std::move(count)),
            Row(5, {}, 0, "Products"),
            Row(6, "Products.ProductName", 0, "TenMostExpensiveProducts"),
            Row(6, "Products.UnitPrice"),
            Row(11, "Products.UnitPrice", 0, "D"),
            Row(255)};
}

TEST(AccessQueries, SelectOptionsTogether) {
    const std::string columns = " Products.ProductName AS TenMostExpensiveProducts, "
                                "Products.UnitPrice\r\nFROM Products\r\n"
                                "ORDER BY Products.UnitPrice DESC;";
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0x18, "SELECT DISTINCTROW TOP 10"},
        {0x12, "SELECT DISTINCT TOP 10"},
        {0x10, "SELECT TOP 10"},
        {0x30, "SELECT TOP 10 PERCENT"},
        {0x08, "SELECT DISTINCTROW"},
        {0x00, "SELECT"},
    };
    for (const auto& [flags, start] : cases) {
        const RebuiltQuery query = RebuildQuery(0, TopTen(flags));
        EXPECT_EQ(query.problem, "") << flags;
        EXPECT_EQ(query.kind, QueryKind::Select);
        EXPECT_EQ(query.sql, start + columns) << flags;
    }
}

// Each damage gives no text and a reason holding the given words.
TEST(AccessQueries, ContradictoryRowsAreRefusedWithTheirReason) {
    struct Case {
        const char* damage;
        std::uint32_t object_flags;
        std::function<void(Rows&)> apply;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"no rows", 0, [](Rows& rows) { rows.clear(); }, "没有它的定义行"},
        {"no type row", 0, [](Rows& rows) { rows.erase(rows.begin() + 1); }, "没有类型行"},
        {"two type rows", 0, [](Rows& rows) { rows.push_back(Row(1, {}, 1)); }, "多个类型行"},
        {"unknown kind", 0, [](Rows& rows) { rows[1].flag = 42; }, "查询类型 42 无法识别"},
        {"kind against the object's flags", 32, [](Rows&) {}, "对象标志"},
        {"unknown attribute", 0, [](Rows& rows) { rows.push_back(Row(12, "x")); }, "Attribute 12"},
        {"unknown select flag", 0, [](Rows& rows) { rows[2].flag = 0x58; }, "无法识别的标志 88"},
        {"TOP without a count", 0, [](Rows& rows) { rows[2].name1.clear(); }, "TOP 的行数"},
        {"TOP with text", 0, [](Rows& rows) { rows[2].name1 = "10 Products.*"; }, "不是正整数"},
        {"TOP 0", 0, [](Rows& rows) { rows[2].name1 = "0"; }, "不是正整数"},
        {"TOP 200 PERCENT", 0,
         [](Rows& rows) {
             rows[2].flag = 0x30;
             rows[2].name1 = "200";
         },
         "超过 100"},
        {"PERCENT without TOP", 0, [](Rows& rows) { rows[2].flag = 0x28; }, "PERCENT"},
        {"DISTINCT and DISTINCTROW", 0, [](Rows& rows) { rows[2].flag = 0x0A; }, "同时"},
        {"two flag rows", 0, [](Rows& rows) { rows.push_back(Row(3, {}, 0)); }, "选项行"},
        {"two WHERE rows", 0,
         [](Rows& rows) {
             rows.push_back(Row(8, "a=1"));
             rows.push_back(Row(8, "b=1"));
         },
         "WHERE"},
        {"unknown parameter type", 0, [](Rows& rows) { rows.push_back(Row(2, {}, 99, "P")); },
         "参数 'P' 的类型 99"},
        {"parameter without a name", 0, [](Rows& rows) { rows.push_back(Row(2, {}, 4)); },
         "没有名称"},
        {"unknown join type", 0,
         [](Rows& rows) { rows.push_back(Row(7, "a.x=b.x", 9, "Products", "Orders")); },
         "联接类型 9"},
        {"join without its condition", 0,
         [](Rows& rows) { rows.push_back(Row(7, {}, 1, "Products", "Orders")); }, "联接条件"},
        {"one join of two types", 0,
         [](Rows& rows) {
             rows.push_back(Row(7, "a.x=b.x", 1, "Products", "Orders"));
             rows.push_back(Row(7, "a.y=b.y", 2, "Products", "Orders"));
         },
         "互相矛盾"},
        {"union without its parts", 0,
         [](Rows& rows) {
             rows[1].flag = 9;
             rows[2].flag = 1;
         },
         "两部分"},
        {"crosstab without PIVOT", 0,
         [](Rows& rows) {
             rows[1].flag = 6;
             rows[5].flag = 2;
         },
         "没有 PIVOT"},
        {"crosstab column of both kinds", 0,
         [](Rows& rows) {
             rows[1].flag = 6;
             rows[5].flag = 3;
         },
         "无法识别的标志 3"},
        {"data definition without text", 0, [](Rows& rows) { rows[1].flag = 7; }, "语句文本"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        Rows rows = TopTen();
        c.apply(rows);
        const RebuiltQuery query = RebuildQuery(c.object_flags, rows);
        EXPECT_EQ(query.sql, "");
        EXPECT_NE(query.problem.find(c.reason), std::string::npos) << query.problem;
    }
}

// Every byte of the rows of MSysQueries flipped in turn: the queries read, each with a text or
// with a reason and no text, or the file fails with a DataAccessError.
TEST(AccessQueries, FlippedQueryRowBytesNeverBreakReading) {
    std::ifstream in(test::TestDataPath("jet3-queries.mdb"), std::ios::binary);
    const std::vector<std::uint8_t> original(std::istreambuf_iterator<char>(in), {});
    // The union query's parts lie on the data page of MSysQueries.
    constexpr std::string_view kMark = "X7YZ_____1";
    const auto mark = std::search(original.begin(), original.end(), kMark.begin(), kMark.end());
    ASSERT_NE(mark, original.end());
    constexpr std::size_t kPage = 2048; // Access 97
    const std::size_t page = static_cast<std::size_t>(mark - original.begin()) / kPage * kPage;
    int refused = 0;
    int unreadable = 0;
    for (std::size_t at = page; at < page + kPage; ++at) {
        std::vector<std::uint8_t> image = original;
        image[at] ^= 0xFF;
        try {
            auto provider = OpenAccessImage("flipped.mdb", image, std::nullopt);
            for (const auto& query : provider->ReadQueries()) {
                EXPECT_NE(query.sql.empty(), query.problem.empty()) << at << " " << query.name;
                unreadable += query.problem.empty() ? 0 : 1;
            }
        } catch (const DataAccessError&) {
            ++refused;
        }
    }
    std::printf("flipped query row bytes: %zu cases, %d files refused, %d queries unreadable\n",
                kPage, refused, unreadable);
}

} // namespace
} // namespace tw::data::access
