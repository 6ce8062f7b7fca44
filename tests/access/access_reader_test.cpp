// Access reader: values, types, catalog, passwords and bad files, checked against the test data
// described in testdata/MANIFEST.md, gen-types.md and gen-big.md.

#include "AccessComplex.h"
#include "AccessFormat.h"
#include "TestEnv.h"
#include "ValueText.h"
#include "tablewright/access/AccessProvider.h"
#include "tablewright/access/OleObject.h"
#include "tablewright/model/AdoTypes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <unistd.h>

namespace tw::data {
namespace {

namespace fs = std::filesystem;
using test::TestDataPath;

std::unique_ptr<Provider> Open(const std::string& name,
                               const std::optional<std::string>& password = std::nullopt) {
    return OpenAccessProvider(TestDataPath(name), password);
}

// All rows of a (small) table, values copied out.
std::vector<std::vector<Value>> ReadAll(Recordset& rs) {
    std::vector<std::vector<Value>> rows;
    for (; !rs.IsEOF(); rs.MoveNext()) {
        rows.emplace_back();
        for (int i = 0; i < rs.FieldCount(); ++i)
            rows.back().push_back(rs.GetField(i).GetValue());
    }
    return rows;
}

std::vector<std::vector<Value>> ReadTable(const std::string& file, const std::string& table) {
    auto provider = Open(file);
    auto rs = provider->OpenTable(table);
    return ReadAll(*rs);
}

Value I(std::int64_t v) {
    return v;
}
Value D(const char* text) {
    return Decimal{text};
}
Value S(const std::string& text) {
    return text;
}
Value B(const std::string& bytes) {
    return Bytes{bytes};
}
Value G(const char* text) {
    return Guid{text};
}
Value T(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return DateTime{y, mo, d, h, mi, s};
}
const Value kNull;

// Equality with floating-point values compared bit for bit (-0.0 differs from 0.0).
bool SameValue(const Value& a, const Value& b) {
    if (a.index() != b.index())
        return false;
    if (auto* x = std::get_if<double>(&a))
        return std::bit_cast<std::uint64_t>(*x) ==
               std::bit_cast<std::uint64_t>(std::get<double>(b));
    if (auto* x = std::get_if<float>(&a))
        return std::bit_cast<std::uint32_t>(*x) == std::bit_cast<std::uint32_t>(std::get<float>(b));
    return a == b;
}

std::string Show(const Value& v) {
    return test::ValueText(v, 80);
}

void ExpectRows(const std::vector<std::vector<Value>>& actual,
                const std::vector<std::vector<Value>>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t r = 0; r < expected.size(); ++r) {
        ASSERT_EQ(actual[r].size(), expected[r].size()) << "row " << r + 1;
        for (std::size_t c = 0; c < expected[r].size(); ++c)
            EXPECT_TRUE(SameValue(actual[r][c], expected[r][c]))
                << "row " << r + 1 << " column " << c + 1 << ": got " << Show(actual[r][c])
                << ", want " << Show(expected[r][c]);
    }
}

// ---------------------------------------------------------------------------------------------
// gen-types.mdb

std::vector<std::vector<Value>> AllTypesRows() {
    std::string binary, ole, memo;
    for (int i = 0; i < 255; ++i)
        binary.push_back(static_cast<char>(i));
    for (int i = 0; i < 100000; ++i)
        ole.push_back(static_cast<char>(i % 251));
    for (int k = 0; k < 7000; ++k) {
        char block[16];
        std::snprintf(block, sizeof block, "%09d;", k * 10);
        memo += block;
    }
    const auto bytes = [](std::initializer_list<int> list) {
        std::string s;
        for (int b : list)
            s.push_back(static_cast<char>(b));
        return Bytes{s};
    };
    const float min_float = std::numeric_limits<float>::denorm_min();
    const double min_double = std::numeric_limits<double>::denorm_min();
    // ID, bool, byte, int, long, money, float, double, datetime, binary, text, ole, memo, guid,
    // numeric, hyperlink
    return {
        {I(1), true, I(42), I(1234), I(123456789), D("1234.5678"), 1.5f, 3.141592653589793,
         T(2011, 12, 14, 10, 30), bytes({0x00, 0x01, 0x27, 0x5C, 0xFF}), S("O'Brien"),
         bytes({0x00, 0x01, 0x27, 0x5C, 0xFF}), S("O'Brien's memo"),
         G("{6B29FC40-CA47-1067-B31D-00DD010662DA}"), D("12345678901234.5678"),
         S("Example#http://www.example.com/#")},
        {I(2), false, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull,
         kNull, kNull, kNull},
        {I(3), true, I(255), I(32767), I(2147483647), D("922337203685477.5807"), 3.4028235e38f,
         1.0e308, T(9999, 12, 31, 23, 59, 59), bytes({0xFF, 0xFF, 0xFF, 0xFF}),
         S("two '' apostrophes"), bytes({0xFF, 0xFE, 0xFD}),
         S("It''s doubled: '' and tripled: '''"), G("{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"),
         D("99999999999999.9999"), kNull},
        {I(4), false, I(0), I(-32768), I(-2147483648LL), D("-922337203685477.5808"), min_float,
         min_double, T(1753, 1, 1), bytes({0x00}), S("C:\\new\\table"), bytes({0x00}),
         S("C:\\new\\table\\"), G("{00000000-0000-0000-0000-000000000000}"),
         D("-99999999999999.9999"), S("Local file#C:\\docs\\file.txt#")},
        {I(5), true, I(1), I(-1), I(-1), D("0.0001"), 0.1f, -0.0, T(1899, 12, 30), bytes({0x5C}),
         S("trailing backslash\\"), bytes({0x5C, 0x5C}), S("\\"),
         G("{3F2504E0-4F89-11D3-9A0C-0305E82C3301}"), D("-0.0001"), kNull},
        {I(6), false, I(128), I(0), I(0), D("0.0000"), 0.0f, 0.1, T(2000, 1, 1),
         bytes({0x22, 0x27, 0x60}), S("say \"hi\""), bytes({0x27}),
         S("mixed \\' and \\\" and '\" and \"'"), G("{12345678-9ABC-DEF0-1234-56789ABCDEF0}"),
         D("0.0000"), S("#http://example.com/a?b=1&c='x'#")},
        {I(7), true, I(7), I(7), I(7), D("-0.0001"), -2.5f, -1.5, T(1850, 6, 15, 18, 45),
         bytes({0x09, 0x0D, 0x0A}), S("a\tb"), bytes({0x0D, 0x0A}), S("line1\r\nline2\r\n"),
         G("{A0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5}"), D("1.2345"), kNull},
        {I(8), false, I(8), I(8), I(8), D("100.0000"), 16777216.0f, 123456789.12345679,
         T(1899, 12, 29, 6), bytes({0x0A}), S("line1\nline2"), bytes({0x0A}),
         S("first\nsecond\n\nfourth"), G("{B0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5}"),
         D("-12345678901234.5678"), kNull},
        {I(9), true, I(9), I(9), I(9), D("9.9900"), 9.99f, 9.99, T(2024, 2, 29, 23, 59, 59),
         bytes({0xE5, 0x8C, 0x97}), S("北京市朝阳区"), bytes({0xE4, 0xBA, 0xAC}),
         S("北京市朝阳区建国路88号 – Grüße aus Köln, € 5, naïve café"),
         G("{C0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5}"), D("1.5000"),
         S("北京#http://example.com/%E5%8C%97#")},
        {I(10), false, I(10), I(10), I(10), D("10.0000"), 10.0f, 10.0, T(2020, 6, 15, 12),
         bytes({0xF0, 0x9F, 0x98, 0x80}), S("smile 😀"), bytes({0xF0, 0x9F, 0x98, 0x80}),
         S("emoji 😀👍 and BMP snowman ☃"), G("{D0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5}"), D("10.0000"),
         kNull},
        {I(11), false, I(11), I(11), I(11), D("11.0000"), 11.0f, 11.0, T(1970, 1, 1), B(""), S(""),
         B(""), S(""), G("{E0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5}"), D("0.5000"), S("")},
        {I(12), true, I(12), I(12), I(12), D("-12.3400"), -12.34f, -12.34, T(1899, 12, 30, 13, 45),
         bytes({0x41, 0x00, 0x42}), S("NULL"), B("NULL"),
         S("'); DROP TABLE AllTypes; -- 100% _done_ \\N"),
         G("{F0B1C2D3-E4F5-A6B7-C8D9-E0F1A2B3C4D5}"), D("-1.5000"), kNull},
        {I(13), true, I(13), I(13), I(13), D("13.0000"), 13.0f, 13.0, T(2038, 1, 19, 3, 14, 8),
         B(binary), S("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx"), B(ole), S(memo),
         G("{0A0B0C0D-0E0F-1011-1213-141516171819}"), D("13.0000"), S("a#b#c")},
    };
}

TEST(AccessReaderGenTypes, AllTypesValuesAreExact) {
    auto provider = Open("gen-types.mdb");
    auto rs = provider->OpenTable("AllTypes");
    EXPECT_EQ(rs->RecordCount(), 13);
    EXPECT_TRUE(rs->ColumnWarnings().empty());
    ExpectRows(ReadAll(*rs), AllTypesRows());
}

TEST(AccessReaderGenTypes, AllTypesFieldsReportAdoTypes) {
    struct Expected {
        const char* name;
        int type;
        std::int32_t size;
    };
    const Expected expected[] = {
        {"ID", adInteger, 4},
        {"col_bool", adBoolean, 2},
        {"col_byte", adUnsignedTinyInt, 1},
        {"col_int", adSmallInt, 2},
        {"col_long", adInteger, 4},
        {"col_money", adCurrency, 8},
        {"col_float", adSingle, 4},
        {"col_double", adDouble, 8},
        {"col_datetime", adDate, 8},
        {"col_binary", adVarBinary, 255},
        {"col_text", adVarWChar, 50},
        {"col_ole", adLongVarBinary, 1073741823},
        {"col_memo", adLongVarWChar, 536870910},
        {"col_guid", adGUID, 16},
        {"col_numeric", adNumeric, 19},
        {"col_hyperlink", adLongVarWChar, 536870910},
    };
    auto provider = Open("gen-types.mdb");
    auto rs = provider->OpenTable("AllTypes");
    ASSERT_EQ(rs->FieldCount(), 16);
    for (int i = 0; i < 16; ++i) {
        Field& field = rs->GetField(i);
        EXPECT_EQ(field.Name(), expected[i].name);
        EXPECT_EQ(field.Type(), expected[i].type) << field.Name();
        EXPECT_EQ(field.DefinedSize(), expected[i].size) << field.Name();
    }
    EXPECT_EQ(rs->GetField(14).Precision(), 18);
    EXPECT_EQ(rs->GetField(14).NumericScale(), 4);
    EXPECT_EQ(rs->GetField(5).Precision(), 0);
}

TEST(AccessReaderGenTypes, NamesWithSpacesQuotesAndUmlauts) {
    ExpectRows(ReadTable("gen-types.mdb", "Order Details"), {{I(10248), D("14.0000"), I(12)},
                                                             {I(10249), D("9.8000"), I(10)},
                                                             {I(10250), D("42.4000"), I(35)},
                                                             {I(10251), D("16.8000"), I(6)},
                                                             {I(10252), kNull, kNull}});

    auto provider = Open("gen-types.mdb");
    auto rs = provider->OpenTable("it's");
    std::vector<std::string> names;
    for (int i = 0; i < rs->FieldCount(); ++i)
        names.push_back(rs->GetField(i).Name());
    EXPECT_EQ(names, (std::vector<std::string>{"ID", "it's col", "Order", "Größe", "50% off"}));
    ExpectRows(ReadAll(*rs), {{I(1), S("it's here"), I(1), 1.75, true},
                              {I(2), S("O'Reilly's"), I(2), kNull, false},
                              {I(3), kNull, kNull, -0.5, true}});
}

// ---------------------------------------------------------------------------------------------
// Other real files

TEST(AccessReaderFiles, Jet3TableAndCodePageText) {
    const std::vector<std::vector<Value>> table1 = {
        {S("a"), S("b"), I(0), I(0), I(0), 0.0, T(1981, 12, 12), D("0.0000"), false},
        {S("abcdefg"), S("hijklmnop"), I(2), I(222), I(333333333), 444.555, T(1974, 9, 21),
         D("3.5000"), true}};
    ExpectRows(ReadTable("jet3-test.mdb", "Table1"), table1);
    // The Jet4 copy stores the same rows in the other order (as mdb-export also shows).
    ExpectRows(ReadTable("jet4-test.mdb", "Table1"), {table1[1], table1[0]});

    for (const char* file : {"jet3-msp-projects.mdb", "jet4-msp-projects.mdb"}) {
        auto provider = Open(file);
        auto rs = provider->OpenTable("MSP_PROJECTS");
        ASSERT_EQ(rs->RecordCount(), 1) << file;
        std::map<std::string, Value> row;
        int nulls = 0;
        for (int i = 0; i < rs->FieldCount(); ++i) {
            row[rs->GetField(i).Name()] = rs->GetField(i).GetValue();
            nulls += IsNull(rs->GetField(i).GetValue()) ? 1 : 0;
        }
        EXPECT_EQ(nulls, 14) << file;
        EXPECT_EQ(row["PROJ_OPT_CURRENCY_SYMBOL"], S("£")) << file;
        EXPECT_EQ(std::get<std::string>(row["PROJ_PROP_AUTHOR"]).size(), 348u) << file;
        EXPECT_EQ(std::get<Bytes>(row["RESERVED_BINARY_DATA"]).data.size(), 22970u) << file;
        EXPECT_EQ(row["PROJ_NAME"], S("Project1")) << file;
    }
}

TEST(AccessReaderFiles, CompressedUnicodeText) {
    const auto rows = ReadTable("jet4-2003-unicode.mdb", "Table");
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[1][1], S("ääkkösiä"));
    EXPECT_EQ(rows[2][1], S("Мир"));
    EXPECT_EQ(rows[4][1], S("漢字仮名交じり文"));
    EXPECT_EQ(rows[5][1], S("3L9\x1D"
                            "52\x02_AB(¥\x05!!V")); // with its control characters
    std::string all;
    for (char32_t c = 1; c <= 0xFF; ++c)
        data::AppendUtf8(all, c);
    EXPECT_EQ(rows[7][0], I(8));
    EXPECT_EQ(rows[7][1], S(all));
}

TEST(AccessReaderFiles, DeletedColumnsNumericAndLargeNumber) {
    ExpectRows(ReadTable("jet4-delcol.mdb", "Table1"),
               {{I(0), I(2), S("foo"), S("foo2")}, {I(3), I(5), S("bar"), S("bar2")}});
    ExpectRows(ReadTable("jet4-numeric.mdb", "test"),
               {{S("some data"), D("1"), D("0"), D("0"), D("4"), D("-1"), D("1")}});
    // Storage order: col1 was moved to the end when col4 was deleted.
    ExpectRows(ReadTable("ace12-withdeletedcol.accdb", "Table1"),
               {{I(1), I(2), I(4), I(5), I(6), I(7), I(0)}});

    auto provider = Open("ace16-bigint.accdb");
    auto rs = provider->OpenTable("Table");
    EXPECT_EQ(rs->GetField(1).Type(), adBigInt);
    EXPECT_EQ(rs->GetField(1).GetValue(), I(42));
    EXPECT_EQ(ReadTable("ace12-currency.accdb", "Table")[0][1], D("42.0000"));
}

TEST(AccessReaderFiles, AceDatesAndLongText) {
    ExpectRows(ReadTable("ace12-olddates.accdb", "Table1"), {{I(1), T(1582, 10, 15)},
                                                             {I(2), T(1582, 10, 14)},
                                                             {I(3), T(1492, 1, 10)},
                                                             {I(4), T(1392, 1, 10)}});
    const auto rows = ReadTable("ace12-longtext.accdb", "Table1");
    ASSERT_EQ(rows.size(), 1u);
    const auto& text = std::get<std::string>(rows[0][1]);
    EXPECT_EQ(text.size(), 5000u); // 5000 ASCII characters
    EXPECT_EQ(text.rfind("Lorem ipsum", 0), 0u);
}

TEST(AccessReaderFiles, CalculatedColumnsDecodeToTheirResultType) {
    auto provider = Open("ace14-calcfields.accdb");
    auto rs = provider->OpenTable("Table1");
    EXPECT_EQ(rs->RecordCount(), 4); // the table definition says 3
    EXPECT_TRUE(rs->ColumnWarnings().empty());
    std::map<std::string, int> index;
    for (int i = 0; i < rs->FieldCount(); ++i)
        index[rs->GetField(i).Name()] = i;
    const std::map<std::string, int> types = {
        {"LastFirst", adVarWChar},  {"LastFirstLen", adInteger},  {"MonthlySalary", adCurrency},
        {"IsRich", adBoolean},      {"AllNames", adLongVarWChar}, {"WeeklySalary", adNumeric},
        {"SalaryTest", adCurrency}, {"BoolTest", adBoolean},      {"DecimalTest", adNumeric},
        {"FloatTest", adSingle},    {"BigNumTest", adNumeric}};
    for (const auto& [name, type] : types)
        EXPECT_EQ(rs->GetField(index.at(name)).Type(), type) << name;
    // Calculated decimals carry their scale per value; the column reports the largest one.
    EXPECT_EQ(rs->GetField(index.at("DecimalTest")).NumericScale(), 6);

    auto value = [&](const char* name) { return rs->GetField(index.at(name)).GetValue(); };
    EXPECT_EQ(value("LastFirst"), S("Wayne, Bruce"));
    EXPECT_EQ(value("LastFirstLen"), I(12));
    EXPECT_EQ(value("MonthlySalary"), D("83333.3333"));
    EXPECT_EQ(value("IsRich"), Value(true));
    EXPECT_EQ(value("AllNames"), S("Wayne, Bruce=Wayne, Bruce"));
    EXPECT_EQ(value("SalaryTest"), D("1000000.0000"));
    EXPECT_EQ(value("DecimalTest"), D("50.325000"));
    EXPECT_EQ(value("Popularity"), D("50.325000"));
    EXPECT_NEAR(std::get<float>(value("FloatTest")), 1000000 * 0.13 / 50.325, 1e-3);
    rs->MoveNext();
    EXPECT_EQ(value("WeeklySalary"), D("-0.0192307692307692"));
    EXPECT_EQ(value("IsRich"), Value(false));
    for (int row = 3; row <= 4; ++row)
        rs->MoveNext();
    EXPECT_EQ(value("City"), S("Hockessin"));
    EXPECT_EQ(value("DecimalTest"), D("102030405060.654321"));
    rs->MoveNext();
    EXPECT_TRUE(rs->IsEOF());
}

// A copy of a fixture whose Large Number column is retyped as an attachment column (0x12),
// which cannot be decoded.
TEST(AccessReaderFiles, UnreadableColumnIsWarnedAndThrows) {
    const fs::path copy =
        fs::temp_directory_path() / ("tw-complex-" + std::to_string(getpid()) + ".accdb");
    struct RemoveOnExit {
        fs::path path;
        ~RemoveOnExit() {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    } cleanup{copy};
    fs::copy_file(TestDataPath("ace16-bigint.accdb"), copy, fs::copy_options::overwrite_existing);
    {
        std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<char> page(4096);
        file.seekg(82 * 4096);
        file.read(page.data(), 4096);
        const auto* p = reinterpret_cast<const std::uint8_t*>(page.data());
        const std::size_t first = 63 + 12 * access::ReadU32(p + 51);
        bool patched = false;
        for (std::size_t e = first; e < first + 25 * access::ReadU16(p + 45); e += 25) {
            if (p[e] == 0x13) {
                file.seekp(82 * 4096 + static_cast<std::streamoff>(e));
                file.put(0x12);
                patched = true;
            }
        }
        ASSERT_TRUE(patched);
    }
    auto provider = OpenAccessProvider(copy.string(), std::nullopt);
    auto rs = provider->OpenTable("Table");
    ASSERT_EQ(rs->ColumnWarnings().size(), 1u);
    EXPECT_NE(rs->ColumnWarnings()[0].find("'Numeric'"), std::string::npos);
    EXPECT_EQ(rs->GetField(0).GetValue(), I(1));
    EXPECT_THROW(rs->GetField(1).GetValue(), DataAccessError);
}

// The date the text column of ace17-extdate.accdb shows: "6/14/2021" or
// "6/14/2021 10:45:12.3456789 PM".
DateTime ParseShownDate(const std::string& text) {
    DateTime date{};
    char half[3] = "";
    int fraction = 0;
    const int fields =
        std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d.%7d %2s", &date.month, &date.day, &date.year,
                    &date.hour, &date.minute, &date.second, &fraction, half);
    EXPECT_TRUE(fields == 3 || fields == 8) << text;
    date.hour = date.hour % 12 + (std::string(half) == "PM" ? 12 : 0);
    date.ticks = fraction;
    return date;
}

// Date/Time Extended values read to the 100 ns Access keeps, equal to the text the file holds
// beside them; columns of types the reader does not know give the bytes each row stores.
TEST(AccessReaderFiles, ExtendedDatesAndUnknownTypesAreRead) {
    auto provider = Open("ace17-extdate.accdb");
    auto rs = provider->OpenTable("Table1");
    EXPECT_TRUE(rs->ColumnWarnings().empty());
    Field& date = rs->GetField(2);
    ASSERT_EQ(date.Name(), "DateExt");
    EXPECT_EQ(date.Type(), adDBTimeStamp);
    EXPECT_EQ(date.NumericScale(), 7);
    EXPECT_EQ(date.SourceType(), 0x14);
    int rows = 0;
    int with_seventh_digit = 0;
    for (; !rs->IsEOF(); rs->MoveNext(), ++rows) {
        const Value& shown = rs->GetField(4).GetValue();
        const Value& value = date.GetValue();
        if (IsNull(shown)) {
            EXPECT_TRUE(IsNull(value));
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<DateTime>(value)) << Show(value);
        EXPECT_EQ(std::get<DateTime>(value), ParseShownDate(std::get<std::string>(shown)))
            << std::get<std::string>(shown);
        with_seventh_digit += std::get<DateTime>(value).ticks % 10 != 0;
    }
    EXPECT_EQ(rows, 9);
    EXPECT_EQ(with_seventh_digit, 2);

    auto unknown = Open("ace12-unsupported-fields.accdb")->OpenTable("Test");
    EXPECT_EQ(unknown->GetField(1).Type(), adLongVarBinary);
    EXPECT_EQ(unknown->GetField(2).Type(), adLongVarBinary);
    const auto warnings = unknown->ColumnWarnings();
    for (const char* expected : {"列 'UnknownVar'的数据类型 0x46 未知，其值按原始字节保存。",
                                 "列 'UnknownFix'的数据类型 0x47 未知，其值按原始字节保存。"})
        EXPECT_NE(std::find(warnings.begin(), warnings.end(), expected), warnings.end())
            << expected;
    const std::vector<std::vector<Value>> expected = {
        {I(1), B("\xFF\xFEsomedata"), B(std::string("\x37\0\0\0", 4))},
        {I(2), B("\xFF\xFEother data"), B("\xF3\xFF\xFF\xFF")},
        {I(3), kNull, B(std::string("\x02\0\0\0", 4))},
    };
    for (const auto& row : expected) {
        ASSERT_FALSE(unknown->IsEOF());
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(unknown->GetField(c).GetValue(), row[static_cast<std::size_t>(c)])
                << "column " << c;
        unknown->MoveNext();
    }
    EXPECT_TRUE(unknown->IsEOF());
}

// ace14-complex.accdb (MANIFEST.md): each complex column holds its row's complex value id and is
// described with its kind; its child rows carry the parent's key, the id and the values, the
// attachments as the files the user attached, the version history oldest first.
TEST(AccessReaderComplex, ColumnsHoldIdsAndTheirValuesAreChildRows) {
    auto provider = Open("ace14-complex.accdb");
    const auto columns = provider->ReadComplexColumns("Table1");
    ASSERT_EQ(columns.size(), 3u);
    EXPECT_EQ(columns[0].kind, ComplexKind::VersionHistory);
    EXPECT_EQ(columns[0].versioned_column, "append-memo-data");
    EXPECT_EQ(columns[1].column, "multi-value-data");
    EXPECT_EQ(columns[1].kind, ComplexKind::MultiValue);
    EXPECT_EQ(columns[1].value.ado_type, adVarWChar);
    EXPECT_EQ(columns[1].value.size, 255);
    EXPECT_EQ(columns[2].column, "attach-data");
    EXPECT_EQ(columns[2].kind, ComplexKind::Attachment);
    for (const auto& column : columns)
        EXPECT_EQ(column.parent_key, std::vector<std::string>{"id"});

    auto parent = provider->OpenTable("Table1");
    EXPECT_EQ(parent->GetField(5).Type(), adInteger);
    const auto rows = ReadAll(*parent);
    ASSERT_EQ(rows.size(), 4u);
    for (std::int64_t row = 0; row < 4; ++row)
        for (const int column : {1, 4, 5})
            EXPECT_EQ(rows[row][column], I(row + 1));

    auto values = [&](const std::string& column) {
        return ReadAll(*provider->OpenComplexValues("Table1", column));
    };
    using Rows = std::vector<std::vector<Value>>;
    EXPECT_EQ(values("multi-value-data"), (Rows{{S("row2"), I(2), S("value1")},
                                                {S("row2"), I(2), S("value4")},
                                                {S("row3"), I(3), S("value1")},
                                                {S("row3"), I(3), S("value2")},
                                                {S("row3"), I(3), S("value3")},
                                                {S("row3"), I(3), S("value4")}}));
    EXPECT_EQ(values(columns[0].column),
              (Rows{{S("row2"), I(2), S("row2-memo"), T(2011, 9, 12, 21, 21, 2)},
                    {S("row3"), I(3), S("row3-memo"), T(2011, 9, 12, 21, 21, 19)},
                    {S("row3"), I(3), S("row3-memo-revised"), T(2011, 9, 12, 21, 22, 33)},
                    {S("row3"), I(3), S("row3-memo-again"), T(2011, 9, 12, 21, 22, 45)},
                    {S("row4"), I(4), S("row4-memo"), T(2011, 9, 12, 21, 22, 26)}}));
    auto attachments = provider->OpenComplexValues("Table1", "attach-data");
    std::vector<std::string> names;
    for (int i = 0; i < attachments->FieldCount(); ++i)
        names.push_back(attachments->GetField(i).Name());
    EXPECT_EQ(names,
              (std::vector<std::string>{"id", "complex_id", "FileName", "FileType", "FileData",
                                        "FileTimeStamp", "FileFlags", "FileURL"}));
    EXPECT_EQ(attachments->GetField(4).Type(), adLongVarBinary);
    const std::string data = "this is some test data for attachment.";
    const std::string more = "this is some more test data for attachment.";
    EXPECT_EQ(
        ReadAll(*attachments),
        (Rows{{S("row2"), I(2), S("test_data.txt"), S("txt"), B(data), kNull, kNull, kNull},
              {S("row2"), I(2), S("test_data2.txt"), S("txt"), B(more), kNull, kNull, kNull},
              {S("row4"), I(4), S("test_data2.txt"), S("txt"), B(more), kNull, kNull, kNull}}));
}

// ace12-unsupported-fields.accdb: the complex column UnknownComplex is of no kind the reader
// knows (its values' type is unknown): it is described as such and keeps its ids.
TEST(AccessReaderComplex, ColumnOfUnknownKindKeepsItsIds) {
    auto provider = Open("ace12-unsupported-fields.accdb");
    const auto columns = provider->ReadComplexColumns("Test");
    ASSERT_EQ(columns.size(), 1u);
    EXPECT_EQ(columns[0].column, "UnknownComplex");
    EXPECT_EQ(columns[0].kind, ComplexKind::Other);
    EXPECT_FALSE(columns[0].note.empty());
    EXPECT_THROW(provider->OpenComplexValues("Test", "UnknownComplex"), DataAccessError);
    auto rs = provider->OpenTable("Test");
    ASSERT_EQ(rs->GetField(3).Name(), "UnknownComplex");
    EXPECT_EQ(rs->GetField(3).Type(), adInteger);
    std::vector<Value> ids;
    for (; !rs->IsEOF(); rs->MoveNext())
        ids.push_back(rs->GetField(3).GetValue());
    EXPECT_EQ(ids, (std::vector<Value>{I(1), I(2), I(3)}));
}

// The stored form of an attachment: stored or deflated, then a header of its own; damaged and
// truncated forms are refused with a reason, never read past their end.
TEST(AccessReaderComplex, AttachmentsDecodeAndDamagedOnesAreRefused) {
    // test_data.txt of ace14-complex.accdb as Access keeps it.
    const std::string hex =
        "010000003A000000785E1361606060046216202E61A80062209D9159AC0044C5F9B9A90"
        "A25A9C5250A298925890A69F9450A89252589C919B9A979257A0052A90F7A";
    std::vector<std::uint8_t> deflated;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        deflated.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    std::string file;
    std::string reason;
    ASSERT_TRUE(access::DecodeAttachment(deflated, file, reason)) << reason;
    EXPECT_EQ(file, "this is some test data for attachment.");
    // The same stored: kind 0, the inner header (length 20, ".txt" as UTF-16) and the bytes.
    std::vector<std::uint8_t> stored{0, 0, 0, 0, 25, 0, 0, 0, 20, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0};
    for (const char c : std::string("txt\0", 4))
        stored.insert(stored.end(), {static_cast<std::uint8_t>(c), 0});
    stored.insert(stored.end(), {'a', 0, 'b', 'c', 'd'});
    ASSERT_TRUE(access::DecodeAttachment(stored, file, reason)) << reason;
    EXPECT_EQ(file, std::string("a\0bcd", 5));

    for (std::size_t size = 0; size < deflated.size(); ++size)
        EXPECT_FALSE(access::DecodeAttachment({deflated.data(), size}, file, reason)) << size;
    for (std::size_t size = 0; size < stored.size(); ++size)
        EXPECT_FALSE(access::DecodeAttachment({stored.data(), size}, file, reason)) << size;
    auto damaged = [&](std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value) {
        bytes[at] = value;
        return access::DecodeAttachment(bytes, file, reason);
    };
    EXPECT_FALSE(damaged(stored, 0, 2));       // an unknown kind
    EXPECT_FALSE(damaged(stored, 8, 3));       // an inner header shorter than its length
    EXPECT_FALSE(damaged(stored, 8, 26));      // one longer than the whole
    EXPECT_FALSE(damaged(deflated, 7, 0x7F));  // more than deflate can make of these bytes
    EXPECT_FALSE(damaged(deflated, 20, 0xFF)); // a damaged deflate stream
}

TEST(AccessReaderFiles, BigTableStreamsWithExactCountAndSums) {
    auto provider = Open("gen-big.mdb");
    auto rs = provider->OpenTable("Orders");
    ASSERT_EQ(rs->RecordCount(), 200000);
    std::int64_t rows = 0, sum_id = 0, sum_qty = 0, sum_amount = 0, null_notes = 0, empty = 0;
    for (; !rs->IsEOF(); rs->MoveNext()) {
        ++rows;
        sum_id += std::get<std::int64_t>(rs->GetField(0).GetValue());
        sum_qty += std::get<std::int64_t>(rs->GetField(3).GetValue());
        std::string amount = std::get<Decimal>(rs->GetField(2).GetValue()).text;
        amount.erase(std::remove(amount.begin(), amount.end(), '.'), amount.end());
        sum_amount += std::stoll(amount); // exactly 4 decimals: units of 1/10000
        const Value& note = rs->GetField(7).GetValue();
        null_notes += IsNull(note) ? 1 : 0;
        empty += !IsNull(note) && std::get<std::string>(note).empty() ? 1 : 0;
    }
    EXPECT_EQ(rows, 200000);
    EXPECT_EQ(sum_id, 20000100000LL);
    EXPECT_EQ(sum_qty, 100218978);
    EXPECT_EQ(sum_amount, 9808660320188LL);
    EXPECT_EQ(null_notes, 4000);
    EXPECT_EQ(empty, 200);
}

// ---------------------------------------------------------------------------------------------
// Catalog, queries and cursor behaviour

// Access's temporary '~' tables and linked tables are not user tables; a link says where its
// data lives.
TEST(AccessReaderCatalog, SchemaTablesListsTheUserTablesInCatalogOrder) {
    const std::map<std::string, std::vector<std::string>> files = {
        {"gen-big.mdb", {"Orders", "Lines"}},
        {"gen-types.mdb", {"AllTypes", "Order Details", "it's"}},
        {"jet3-msp-projects.mdb", {"MSP_PROJECTS"}},
        {"jet3-test.mdb", {"Table1", "Table2", "Table3", "Table4"}},
        {"jet4-2003-unicode.mdb", {"Table"}},
        {"jet4-delcol.mdb", {"Table1"}},
        {"jet4-empty.mdb", {}},
        {"jet4-msp-projects.mdb", {"MSP_PROJECTS"}},
        {"jet4-nopassword.mdb", {"Table1"}},
        {"jet4-numeric.mdb", {"test"}},
        {"jet4-test.mdb", {"Table1", "Table2", "Table3", "Table4"}},
        {"ace12-currency.accdb", {"Table"}},
        {"ace12-longtext.accdb", {"Table1"}},
        {"ace12-olddates.accdb", {"Table1"}},
        {"ace12-withdeletedcol.accdb", {"Table1"}},
        {"ace12-linker.accdb", {"Table1"}},
        {"ace14-calcfields.accdb", {"Table1"}},
        {"ace16-bigint.accdb", {"Table"}},
    };
    for (const auto& [file, expected] : files) {
        auto provider = Open(file);
        std::vector<std::string> tables;
        bool has_system = false;
        for (const auto& row : provider->SchemaTables()) {
            if (row.table_type == "TABLE")
                tables.push_back(row.table_name);
            if (row.table_name == "MSysObjects")
                has_system = row.table_type == "SYSTEM TABLE";
        }
        EXPECT_EQ(tables, expected) << file;
        EXPECT_TRUE(has_system) << file;
    }
    EXPECT_FALSE(Open("jet4-password.mdb", "password")->SchemaTables().empty());
    std::vector<std::string> links;
    for (const auto& row : Open("ace12-linker.accdb")->SchemaTables())
        if (row.table_type == "LINK")
            links.push_back(row.table_name + " " + row.link_target);
    EXPECT_EQ(links, std::vector<std::string>{
                         "Table2 'Table1'（位于 Z:\\jackcess_test\\linkeeTest.accdb）"});
}

TEST(AccessReaderCatalog, TablesAreOpenedByNameAndQueriesAreRefused) {
    auto provider = Open("gen-types.mdb");
    EXPECT_EQ(provider->OpenTable("Order Details")->RecordCount(), 5);
    EXPECT_EQ(provider->OpenTable("it's")->RecordCount(), 3);
    EXPECT_EQ(provider->OpenTable("alltypes")->RecordCount(), 13);
    for (const char* sql : {"select * from [AllTypes]", "select ID from [AllTypes]", ""}) {
        try {
            provider->OpenRecordset(sql);
            FAIL() << "query opened: " << sql;
        } catch (const DataAccessError& e) {
            EXPECT_NE(std::string(e.what()).find("只能按表读取"), std::string::npos) << e.what();
        }
    }
    try {
        provider->OpenTable("Nope");
        FAIL() << "unknown table opened";
    } catch (const DataAccessError& e) {
        EXPECT_STREQ(e.what(), "找不到表 'Nope'。");
    }
    EXPECT_THROW(provider->Execute("delete from [AllTypes]"), DataAccessError);
}

TEST(AccessReaderCatalog, CursorPositionsAndIndependentRecordsets) {
    auto provider = Open("jet3-test.mdb");
    auto empty = provider->OpenTable("Table2");
    EXPECT_TRUE(empty->IsEOF());
    EXPECT_TRUE(empty->IsBOF());
    EXPECT_EQ(empty->RecordCount(), 0);
    EXPECT_EQ(empty->FieldCount(), 89);
    EXPECT_THROW(empty->GetField(0).GetValue(), DataAccessError);
    EXPECT_THROW(empty->GetField(89), DataAccessError);

    auto first = provider->OpenTable("Table1");
    auto second = provider->OpenTable("Table1");
    EXPECT_FALSE(first->IsEOF());
    EXPECT_FALSE(first->IsBOF());
    first->MoveNext();
    EXPECT_FALSE(provider->SchemaTables().empty());
    EXPECT_EQ(second->GetField(0).GetValue(), S("a"));
    EXPECT_EQ(first->GetField(0).GetValue(), S("abcdefg"));
    first->MoveNext();
    EXPECT_TRUE(first->IsEOF());
    EXPECT_FALSE(first->IsBOF());
    EXPECT_THROW(first->MoveNext(), DataAccessError);
    second->MoveNext();
    EXPECT_EQ(second->GetField(1).GetValue(), S("hijklmnop"));
    provider.reset(); // recordsets stay usable without their provider
    EXPECT_EQ(second->GetField(4).GetValue(), I(333333333));
    second->Close();
    EXPECT_THROW(second->MoveNext(), DataAccessError);
}

// A table's rows and a complex column's child rows move, end and close alike, with the same
// messages for each misuse.
TEST(AccessReaderCatalog, TableAndChildRecordsetsNavigateAlike) {
    auto provider = Open("ace14-complex.accdb");
    const auto message = [](const std::function<void()>& misuse) {
        try {
            misuse();
        } catch (const DataAccessError& e) {
            return std::string(e.what());
        }
        return std::string("(no error)");
    };
    std::vector<std::unique_ptr<Recordset>> recordsets;
    recordsets.push_back(provider->OpenTable("Table1"));
    recordsets.push_back(provider->OpenComplexValues("Table1", "attach-data"));
    for (const auto& rs : recordsets) {
        SCOPED_TRACE(rs->GetField(rs->FieldCount() - 1).Name());
        ASSERT_GT(rs->RecordCount(), 0);
        EXPECT_FALSE(rs->IsBOF());
        std::int64_t rows = 0;
        for (; !rs->IsEOF(); rs->MoveNext())
            ++rows;
        EXPECT_EQ(rows, rs->RecordCount());
        EXPECT_FALSE(rs->IsBOF());
        EXPECT_EQ(message([&] { rs->MoveNext(); }), "记录集已经位于最后一条记录之后，无法再移动。");
        EXPECT_EQ(message([&] { rs->GetField(0).GetValue(); }), "没有当前记录：记录集位于末尾。");
        EXPECT_EQ(message([&] { rs->GetField(rs->FieldCount()); }),
                  "字段序号 " + std::to_string(rs->FieldCount()) + " 超出范围（共 " +
                      std::to_string(rs->FieldCount()) + " 个字段）。");
        rs->Close();
        EXPECT_TRUE(rs->IsEOF());
        EXPECT_TRUE(rs->IsBOF());
        EXPECT_EQ(message([&] { rs->MoveNext(); }), "记录集已关闭。");
        EXPECT_EQ(message([&] { rs->GetField(0).GetValue(); }), "记录集已关闭。");
    }
}

// ---------------------------------------------------------------------------------------------
// Passwords and bad files

TEST(AccessReaderPassword, DatabasePasswordIsChecked) {
    EXPECT_EQ(Open("jet4-password.mdb", "password")->OpenTable("Table1")->RecordCount(), 3);
    for (const std::optional<std::string>& wrong :
         {std::optional<std::string>{}, std::optional<std::string>{""},
          std::optional<std::string>{"Password"}, std::optional<std::string>{"password "}}) {
        try {
            Open("jet4-password.mdb", wrong);
            FAIL() << "opened with a wrong password";
        } catch (const DataAccessError& e) {
            EXPECT_EQ(std::string(e.what()), "无法打开数据库 '" +
                                                 TestDataPath("jet4-password.mdb") +
                                                 "'：不是有效的密码。");
        }
    }
    for (const char* any : {"", "password", "anything"})
        EXPECT_EQ(Open("jet4-nopassword.mdb", any)->OpenTable("Table1")->RecordCount(), 3);
    EXPECT_NO_THROW(Open("jet4-nopassword.mdb"));
}

// Encoded Jet files need no password; encrypted ACE files open only with theirs, and then read
// exactly like files in clear (MANIFEST.md).
struct EncryptedFile {
    std::string file;
    std::optional<std::string> password;
    std::string table;
    std::vector<std::string> columns;
    std::vector<std::vector<Value>> rows;
};

const std::vector<EncryptedFile> kEncryptedFiles = {
    {"ace12-encrypted-rc4.accdb", "Test123", "Table1", {"ID", "Field1"}, {{I(1), S("foo")}}},
    {"ace-encrypted-agile-aes256.accdb",
     "password",
     "Table1",
     {"ID", "Data"},
     {{I(1), S("One")}, {I(2), S("Two")}, {I(3), S("Three")}}},
    {"ace-encrypted-aes-nonstandard.accdb",
     "password",
     "Table_One",
     {"ID", "Field1"},
     {{I(1), S("test")}}},
    {"jet4-encoded.mdb",
     std::nullopt,
     "Table1",
     {"ID", "col1", "col2"},
     {{I(1), S("hello"), I(0)}, {I(2), S("world"), I(42)}}},
    {"jet3-encoded.mdb",
     std::nullopt,
     "Table1",
     {"ID", "col1", "col2"},
     {{I(1), S("hello"), I(0)}, {I(2), S("world"), I(42)}}},
};

TEST(AccessReaderPassword, EncryptedFilesReadWithTheirPassword) {
    for (const auto& expected : kEncryptedFiles) {
        SCOPED_TRACE(expected.file);
        auto provider = Open(expected.file, expected.password);
        std::vector<std::string> tables;
        for (const auto& row : provider->SchemaTables()) {
            if (row.table_type == "TABLE")
                tables.push_back(row.table_name);
        }
        EXPECT_EQ(tables, std::vector<std::string>{expected.table});
        auto rs = provider->OpenTable(expected.table);
        std::vector<std::string> columns;
        for (int i = 0; i < rs->FieldCount(); ++i)
            columns.push_back(rs->GetField(i).Name());
        EXPECT_EQ(columns, expected.columns);
        ExpectRows(ReadAll(*rs), expected.rows);
    }
}

TEST(AccessReaderPassword, EncryptedFilesRefuseWrongPasswords) {
    const std::vector<std::pair<std::string, std::vector<std::optional<std::string>>>> files = {
        {"ace12-encrypted-rc4.accdb", {std::nullopt, "", "test123", "TEST123", "Test1234"}},
        {"ace-encrypted-agile-aes256.accdb", {std::nullopt, "", "Password", "Test123"}},
        {"ace-encrypted-aes-nonstandard.accdb", {std::nullopt, "", "PASSWORD", "passwor"}},
    };
    for (const auto& [file, passwords] : files) {
        for (const auto& password : passwords) {
            SCOPED_TRACE(file + " with " + password.value_or("no password"));
            try {
                Open(file, password);
                ADD_FAILURE() << "opened with a wrong password";
            } catch (const DataAccessError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "无法打开数据库 '" + TestDataPath(file) + "'：不是有效的密码。");
            }
        }
    }
}

TEST(AccessReaderPassword, HeaderParsingOnRawBuffers) {
    auto header_of = [](const std::string& name) {
        std::ifstream in(TestDataPath(name), std::ios::binary);
        std::vector<std::uint8_t> page(4096);
        in.read(reinterpret_cast<char*>(page.data()), 4096);
        return access::ParseHeader(page);
    };
    const auto locked = header_of("jet4-password.mdb");
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->password, "password");
    EXPECT_TRUE(access::PasswordAccepted(*locked, "password"));
    EXPECT_FALSE(access::PasswordAccepted(*locked, std::nullopt));
    const auto jet3 = header_of("jet3-test.mdb");
    ASSERT_TRUE(jet3);
    EXPECT_EQ(jet3->page_size, 2048);
    EXPECT_EQ(jet3->code_page, 1252);
    EXPECT_TRUE(jet3->password.empty());
    EXPECT_TRUE(header_of("ace16-bigint.accdb")->is_ace);
    std::vector<std::uint8_t> garbage(4096, 0x41);
    EXPECT_FALSE(access::ParseHeader(garbage));
}

class AccessReaderBadFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tw-access-bad-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& content) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    static std::string Fixture(const std::string& name) {
        std::ifstream in(TestDataPath(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string Truncated(const std::string& name, std::size_t size) {
        return Write(name, Fixture("gen-types.mdb").substr(0, size));
    }
    // Opens the file and reads every table; returns the error text (empty when all worked).
    static std::string Failure(const std::string& path) {
        try {
            auto provider = OpenAccessProvider(path, std::nullopt);
            for (const auto& table : provider->SchemaTables()) {
                if (table.table_type == "TABLE")
                    ReadAll(*provider->OpenTable(table.table_name));
            }
        } catch (const DataAccessError& e) {
            return e.what();
        }
        return {};
    }

    fs::path dir_;
};

TEST_F(AccessReaderBadFiles, ErrorsNameTheFile) {
    const std::string missing = (dir_ / "missing.mdb").string();
    EXPECT_EQ(Failure(missing), "找不到文件 '" + missing + "'。");
    const std::vector<std::string> bad = {
        dir_.string(),
        Write("empty.mdb", ""),
        Write("text.mdb", "This is a text file, not a database.\n"),
        Truncated("odd.mdb", 100000),
        Truncated("two-pages.mdb", 2 * 4096),
        Truncated("catalog-cut.mdb", 10 * 4096),
        Truncated("tables-cut.mdb", 24 * 4096),
    };
    for (const auto& path : bad) {
        const std::string error = Failure(path);
        EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << path << ": " << error;
    }
    EXPECT_NE(Failure(bad[0]).find("文件夹"), std::string::npos);
    EXPECT_NE(Failure(bad[2]).find("不是 Access 数据库"), std::string::npos);

    // An .accdb in clear whose catalog definition page is something else.
    std::string accdb = Fixture("ace12-currency.accdb");
    accdb[2 * 4096] = '\x35';
    const std::string damaged = Write("damaged.accdb", accdb);
    EXPECT_EQ(Failure(damaged),
              "无法打开数据库 '" + damaged + "'：文件已损坏（系统目录的定义页无效）。");
}

// ---------------------------------------------------------------------------------------------
// Format helpers where the rules have edges

TEST(AccessFormat, DatesRoundToTheSecondAndKeepNegativeTimeOfDay) {
    using access::AccessDateToDateTime;
    EXPECT_EQ(AccessDateToDateTime(-1.25), (DateTime{1899, 12, 29, 6, 0, 0}));
    EXPECT_EQ(AccessDateToDateTime(-0.5), (DateTime{1899, 12, 30, 12, 0, 0}));
    EXPECT_EQ(AccessDateToDateTime(1.0 - 1e-9), (DateTime{1899, 12, 31, 0, 0, 0}));
    EXPECT_EQ(AccessDateToDateTime(-1.0 - (1.0 - 1e-9)), (DateTime{1899, 12, 30, 0, 0, 0}));
    EXPECT_EQ(AccessDateToDateTime(2958465.999988426), (DateTime{9999, 12, 31, 23, 59, 59}));
    EXPECT_EQ(AccessDateToDateTime(-657434.0), (DateTime{100, 1, 1, 0, 0, 0}));
    EXPECT_EQ(AccessDateToDateTime(60.0), (DateTime{1900, 2, 28, 0, 0, 0}));
    EXPECT_FALSE(AccessDateToDateTime(std::numeric_limits<double>::quiet_NaN()));
}

TEST(AccessFormat, ExtendedDatesCoverYearsOneTo9999ToTheTick) {
    // The 41 characters of a value and the zero byte that ends it.
    const auto read = [](std::string text) {
        text += '\0';
        return access::ReadExtendedDate(reinterpret_cast<const std::uint8_t*>(text.data()),
                                        text.size());
    };
    EXPECT_EQ(read("0000000000000000000:0000000000000000000:7"), (DateTime{1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(read("0000000000003652058:0000000863999999999:7"),
              (DateTime{9999, 12, 31, 23, 59, 59, 9999999}));
    EXPECT_EQ(read("0000000000000738320:0000000819123456789:7"),
              (DateTime{2022, 6, 15, 22, 45, 12, 3456789}));
    for (const char* bad : {
             "0000000000003652059:0000000000000000000:7", // 10000-01-01
             "0000000000000000000:0000000864000000000:7", // 24:00:00
             "0000000000000000000-0000000000000000000:7", // no separator
             "00000000000000000x0:0000000000000000000:7", // not a digit
             "0000000000000000000:000000000000000000",    // too short
         })
        EXPECT_FALSE(read(bad)) << bad;
}

// Hand-built OLE Object values: the package header, the OLE 1.0 header and native data of a
// class; the file is found for the kinds known, and nothing for anything else.
std::string OleValue(const std::string& type, const std::string& native, int format = 2) {
    const auto u16 = [](std::string& out, unsigned v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    };
    const auto u32 = [&](std::string& out, std::uint32_t v) {
        u16(out, v & 0xFFFF);
        u16(out, v >> 16);
    };
    const std::string name = "Object";
    std::string out;
    u16(out, 0x1C15);
    u16(out, static_cast<unsigned>(20 + name.size() + 1 + type.size() + 1));
    u32(out, 2);
    u16(out, static_cast<unsigned>(name.size() + 1));
    u16(out, static_cast<unsigned>(type.size() + 1));
    u16(out, 20);
    u16(out, static_cast<unsigned>(20 + name.size() + 1));
    u32(out, 0xFFFFFFFF);
    out += name + '\0' + type + '\0';
    u32(out, 0x0501);
    u32(out, static_cast<std::uint32_t>(format));
    u32(out, static_cast<std::uint32_t>(type.size() + 1));
    out += type + '\0';
    u32(out, 0); // topic
    u32(out, 0); // item
    u32(out, static_cast<std::uint32_t>(native.size()));
    out += native;
    out += std::string("\x01\x05\0\0\0\0\0\0", 8); // presentation data follows
    return out;
}

std::string Le32(std::uint32_t v) {
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

TEST(OleObject, KnownWrappersGiveTheirFileOthersNothing) {
    const std::string file = std::string("report\0line two\r\n", 17);
    std::string package = std::string("\x02\0", 2) + "report.txt" + '\0' + "C:\\report.txt" + '\0' +
                          Le32(0x00030000) + Le32(16) + "C:\\Temp\\rep.txt" + '\0' +
                          Le32(static_cast<std::uint32_t>(file.size())) + file;
    std::string linked = std::string("\x02\0", 2) + "report.txt" + '\0' + "C:\\report.txt" + '\0' +
                         Le32(0x00010000) + std::string("\x01\0", 2) + "C:\\x" + '\0';
    // A 1x1 24-bit device-independent bitmap: BITMAPINFOHEADER, then one padded row.
    std::string dib = Le32(40) + Le32(1) + Le32(1) + std::string("\x01\0\x18\0", 4) + Le32(0) +
                      Le32(4) + Le32(0) + Le32(0) + Le32(0) + Le32(0) +
                      std::string("\x10\x20\x30\0", 4);
    const std::string bmp = "BM" + Le32(14 + 44) + Le32(0) + Le32(54) + dib;
    const std::string storage = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "rest";
    const std::string pdf = "%PDF-1.4 body";

    struct Case {
        const char* what;
        std::string value;
        std::optional<OleContentKind> kind;
        std::string data;
        std::string file_name;
    };
    const std::vector<Case> cases = {
        {"package", OleValue("Package", package), OleContentKind::Package, file, "report.txt"},
        {"bitmap", OleValue("Paint.Picture", dib), OleContentKind::Picture, bmp, ""},
        {"bmp whole", OleValue("PBrush", bmp), OleContentKind::Picture, bmp, ""},
        // The OLE stream's bytes after the bitmap (8 of them in Access 97's Paint pictures)
        // are not part of the file, which ends where its header says.
        {"bitmap, bytes after", OleValue("Paint.Picture", dib + std::string(8, '\x7F')),
         OleContentKind::Picture, bmp, ""},
        {"bmp whole, bytes after", OleValue("PBrush", bmp + std::string(8, '\0')),
         OleContentKind::Picture, bmp, ""},
        {"bitmap without its last row", OleValue("Paint.Picture", dib.substr(0, dib.size() - 1)),
         std::nullopt, "", ""},
        {"bitmap with 2 rows declared, 1 there",
         OleValue("Paint.Picture", dib.substr(0, 8) + Le32(2) + dib.substr(12)), std::nullopt, "",
         ""},
        {"word", OleValue("Word.Document.8", storage), OleContentKind::Document, storage, ""},
        {"pdf", OleValue("AcroExch.Document.7", pdf), OleContentKind::Document, pdf, ""},
        {"linked package", OleValue("Package", linked), std::nullopt, "", ""},
        {"linked object", OleValue("Word.Document.8", storage, 1), std::nullopt, "", ""},
        {"other storage", OleValue("Visio.Drawing.11", storage), std::nullopt, "", ""},
        {"bitmap of another class", OleValue("Some.Class", dib), std::nullopt, "", ""},
        {"no wrapper", pdf, std::nullopt, "", ""},
        {"empty", "", std::nullopt, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto contents = ExtractOleContents(c.value);
        ASSERT_EQ(contents.has_value(), c.kind.has_value());
        if (!contents)
            continue;
        EXPECT_EQ(contents->kind, *c.kind);
        EXPECT_EQ(contents->data, c.data);
        EXPECT_EQ(contents->file_name, c.file_name);
    }
    // A wrapper cut anywhere holds no file: every length is checked against the value.
    const std::string whole = OleValue("Package", package);
    const std::size_t end = whole.size() - 8; // without the presentation data
    for (std::size_t cut = 0; cut < end; ++cut)
        EXPECT_FALSE(ExtractOleContents(std::string_view(whole).substr(0, cut))) << cut;
}

TEST(AccessFormat, NumbersAndTextEncodings) {
    std::string text;
    access::AppendCurrency(text, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(text, "-922337203685477.5808");
    text.clear();
    const std::uint32_t max128[] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    access::AppendScaledDecimal(text, true, max128, 38);
    EXPECT_EQ(text, "-3.40282366920938463463374607431768211455");
    text.clear();
    const std::uint32_t zero[] = {0, 0};
    access::AppendScaledDecimal(text, true, zero, 2);
    EXPECT_EQ(text, "0.00"); // no "-0"

    // Compressed text switching to UTF-16 for 中 (U+4E2D) and back.
    const std::uint8_t mixed[] = {0xFF, 0xFE, 'a', 0x00, 0x2D, 0x4E, 0x00, 'b'};
    text.clear();
    access::AppendJet4Text(text, mixed, sizeof mixed);
    EXPECT_EQ(text, "a中b");
    const std::uint8_t lone_surrogate[] = {0x3D, 0xD8, 'x', 0x00};
    text.clear();
    access::AppendUtf16Le(text, lone_surrogate, sizeof lone_surrogate);
    EXPECT_EQ(text, "\xEF\xBF\xBDx");

    access::CodePageDecoder cp1252(1252);
    const std::uint8_t cp_bytes[] = {0xA3, 0x80, 0x41};
    text.clear();
    cp1252.Append(text, cp_bytes, sizeof cp_bytes);
    EXPECT_EQ(text, "£€A");
}

} // namespace
} // namespace tw::data
