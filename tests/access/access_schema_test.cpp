// Access table definitions: columns with their properties, indexes, descriptions, the next
// AutoNumber and the relationships, checked against gen-schema.md and against what
// `mdb-schema --indexes --relations` and `mdb-prop` show for the other test files; the saved
// queries with their rebuilt SQL text; and damaged definitions, which must read with fewer
// indexes or fail with a DataAccessError.

#include "AccessFormat.h"
#include "AccessImage.h"
#include "TestEnv.h"
#include "tablewright/access/AccessProvider.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/DataAccess.h"
#include "tablewright/providers/Providers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

namespace tw::data {
namespace {

using test::TestDataPath;
using Image = std::vector<std::uint8_t>;
using namespace access; // type codes of table definitions

std::unique_ptr<Provider> Open(const std::string& name) {
    return OpenAccessProvider(TestDataPath(name), std::nullopt);
}

Image ReadImage(const std::string& name) {
    std::ifstream in(TestDataPath(name), std::ios::binary);
    return Image(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> UserTables(Provider& provider) {
    std::vector<std::string> names;
    for (const auto& row : provider.SchemaTables()) {
        if (row.table_type == "TABLE")
            names.push_back(row.table_name);
    }
    return names;
}

// An index as one line: "Name(Col1, Col2 DESC) primary unique ignore-nulls foreign".
std::string Describe(const IndexSchema& index) {
    std::string text = index.name + "(";
    for (std::size_t i = 0; i < index.columns.size(); ++i) {
        text += (i ? ", " : "") + index.columns[i].name;
        if (index.columns[i].descending)
            text += " DESC";
    }
    text += ")";
    if (index.primary)
        text += " primary";
    if (index.unique)
        text += " unique";
    if (index.ignore_nulls)
        text += " ignore-nulls";
    if (index.foreign)
        text += " foreign";
    return text;
}

std::vector<std::string> DescribeIndexes(const TableSchema& schema) {
    std::vector<std::string> lines;
    for (const auto& index : schema.indexes)
        lines.push_back(Describe(index));
    return lines;
}

// ---------------------------------------------------------------------------------------------
// gen-schema.mdb, as gen-schema.md describes it.

const std::optional<bool> kYes = true;
const std::optional<bool> kNo = false;
const std::optional<bool> kUnset = std::nullopt;

struct ColumnRow {
    const char* name;
    int source_type;
    int ado_type;
    std::int32_t size;
    bool required;
    std::optional<bool> allow_zero_length;
    AutoNumber auto_number;
    const char* default_expression;
    const char* description;
};

struct TableRow {
    const char* name;
    const char* description;
    std::int64_t next_auto_number;
    std::vector<ColumnRow> columns;
    std::vector<std::string> indexes;
};

constexpr auto kNone = AutoNumber::None;
constexpr auto kCount = AutoNumber::Increment;
constexpr std::int32_t kMemoSize = 536870910;

const std::vector<TableRow> kGenSchema = {
    {"Customers",
     "客户表 — each customer's master record; a customer with orders cannot be deleted",
     261,
     {
         {"CustomerID", kTypeInt32, adInteger, 4, false, kUnset, kCount, "",
          "Customer number (AutoNumber)"},
         {"CustomerName", kTypeText, adVarWChar, 60, true, kNo, kNone, "", "客户名称"},
         {"Email", kTypeText, adVarWChar, 100, false, kNo, kNone, "",
          "Customer's e-mail address; unique when present"},
         {"Phone", kTypeText, adVarWChar, 24, true, kYes, kNone, "",
          "电话号码; empty string when unknown"},
         {"City", kTypeText, adVarWChar, 40, false, kYes, kNone, "\"Unknown\"", ""},
         {"Country", kTypeText, adVarWChar, 2, true, kNo, kNone, "\"DE\"", "ISO 3166 country code"},
         {"CreditLimit", kTypeMoney, adCurrency, 8, true, kUnset, kNone, "500", ""},
         {"IsActive", kTypeBool, adBoolean, 2, true, kUnset, kNone, "Yes", ""},
         {"Created", kTypeDateTime, adDate, 8, true, kUnset, kNone, "=Now()", ""},
         {"Notes", kTypeMemo, adLongVarWChar, kMemoSize, false, kYes, kNone, "",
          "Sales rep's notes"},
     },
     {"PrimaryKey(CustomerID) primary unique", "CustomerName(CustomerName) unique",
      "Email(Email) unique ignore-nulls", "City(City)", "CountryCity(Country, City)",
      "CreditLimit(CreditLimit DESC)", ".rB(CustomerID) unique foreign"}},
    {"Products",
     "Product catalogue (产品目录); the product code is the key",
     65,
     {
         {"ProductCode", kTypeText, adVarWChar, 12, true, kNo, kNone, "",
          "Product code, e.g. TEA-001"},
         {"SeqNo", kTypeInt32, adInteger, 4, false, kUnset, kCount, "",
          "Internal sequence number (AutoNumber, not the key)"},
         {"ProductName", kTypeText, adVarWChar, 80, true, kNo, kNone, "", "产品名称"},
         {"Category", kTypeText, adVarWChar, 30, false, kNo, kNone, "\"General\"", ""},
         {"UnitPrice", kTypeMoney, adCurrency, 8, true, kUnset, kNone, "0", ""},
         {"EAN", kTypeText, adVarWChar, 13, false, kNo, kNone, "",
          "Barcode; unique, but many products have none"},
         {"Weight", kTypeDouble, adDouble, 8, false, kUnset, kNone, "0.25", "Weight in kg"},
         {"Discontinued", kTypeBool, adBoolean, 2, true, kUnset, kNone, "No", ""},
         {"ReorderLevel", kTypeInt16, adSmallInt, 2, false, kUnset, kNone, "10", ""},
     },
     {"PrimaryKey(ProductCode) primary unique", "NameCategory(ProductName, Category) unique",
      "Category(Category)", "EAN(EAN) unique", ".rB(ProductCode) unique foreign"}},
    {"Orders",
     "Orders placed by customers; an order's lines are in [Order Lines]",
     721,
     {
         {"OrderID", kTypeInt32, adInteger, 4, false, kUnset, kCount, "", ""},
         {"CustomerID", kTypeInt32, adInteger, 4, true, kUnset, kNone, "",
          "客户 — the ordering customer"},
         {"OrderDate", kTypeDateTime, adDate, 8, true, kUnset, kNone, "=Date()", ""},
         {"ShipBy", kTypeDateTime, adDate, 8, false, kUnset, kNone, "=DateAdd(\"d\",3,Date())",
          "Planned shipping date (three days after the order by default)"},
         {"ShipVia", kTypeText, adVarWChar, 30, false, kNo, kNone, "\"Carrier's choice\"", ""},
         {"Status", kTypeByte, adUnsignedTinyInt, 1, true, kUnset, kNone, "1",
          "1 new, 2 packed, 3 shipped, 4 paid"},
         {"Freight", kTypeMoney, adCurrency, 8, false, kUnset, kNone, "0", ""},
     },
     {"PrimaryKey(OrderID) primary unique", "OrderDate(OrderDate DESC)",
      "CustomerDate(CustomerID, OrderDate DESC)", "CustomersOrders(CustomerID) foreign",
      ".rB(OrderID) unique foreign"}},
    {"Order Lines",
     "订单明细 — one row per order line; the key is (OrderID, LineNo)",
     0,
     {
         {"OrderID", kTypeInt32, adInteger, 4, true, kUnset, kNone, "", ""},
         {"LineNo", kTypeInt16, adSmallInt, 2, true, kUnset, kNone, "", ""},
         {"ProductCode", kTypeText, adVarWChar, 12, true, kNo, kNone, "", ""},
         {"Quantity", kTypeInt32, adInteger, 4, true, kUnset, kNone, "1", ""},
         {"Unit Price", kTypeMoney, adCurrency, 8, true, kUnset, kNone, "",
          "Price at the time of the order"},
         {"Discount", kTypeFloat, adSingle, 4, false, kUnset, kNone, "0", ""},
     },
     {"PrimaryKey(OrderID, LineNo) primary unique", "ProductQty(ProductCode, Quantity DESC)",
      "OrdersOrder Lines(OrderID) foreign", "ProductsOrder Lines(ProductCode) foreign"}},
    {"Returns",
     "Returned goods; refers to an order line by (OrderID, LineNo) without enforced integrity, "
     "so some rows point at lines that no longer exist",
     161,
     {
         {"ReturnID", kTypeInt32, adInteger, 4, false, kUnset, kCount, "", ""},
         {"OrderID", kTypeInt32, adInteger, 4, false, kUnset, kNone, "", ""},
         {"LineNo", kTypeInt16, adSmallInt, 2, false, kUnset, kNone, "", ""},
         {"ReturnedOn", kTypeDateTime, adDate, 8, true, kUnset, kNone, "Date()", ""},
         {"Reason", kTypeText, adVarWChar, 100, false, kYes, kNone, "\"n/a\"",
          "退货原因 — the customer's words"},
         {"Refund", kTypeMoney, adCurrency, 8, false, kUnset, kNone, "0", ""},
     },
     {"PrimaryKey(ReturnID) primary unique", "OrderLine(OrderID, LineNo)"}},
};

TEST(AccessSchema, GenSchemaTablesColumnsAndIndexes) {
    auto provider = Open("gen-schema.mdb");
    std::vector<std::string> expected_tables;
    for (const auto& table : kGenSchema)
        expected_tables.push_back(table.name);
    EXPECT_EQ(UserTables(*provider), expected_tables);

    for (const auto& table : kGenSchema) {
        SCOPED_TRACE(table.name);
        const TableSchema schema = provider->ReadTableSchema(table.name);
        EXPECT_EQ(schema.name, table.name);
        EXPECT_EQ(schema.description, table.description);
        EXPECT_EQ(schema.next_auto_number, table.next_auto_number);
        EXPECT_EQ(DescribeIndexes(schema), table.indexes);
        ASSERT_EQ(schema.columns.size(), table.columns.size());
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const ColumnRow& want = table.columns[i];
            const ColumnSchema& got = schema.columns[i];
            SCOPED_TRACE(want.name);
            EXPECT_EQ(got.name, want.name);
            EXPECT_EQ(got.source_type, want.source_type);
            EXPECT_EQ(got.ado_type, want.ado_type);
            EXPECT_EQ(got.size, want.size);
            EXPECT_EQ(got.precision, 0);
            EXPECT_EQ(got.scale, 0);
            EXPECT_EQ(got.required, want.required);
            EXPECT_EQ(got.allow_zero_length, want.allow_zero_length);
            EXPECT_EQ(got.auto_number, want.auto_number);
            EXPECT_EQ(got.default_expression, want.default_expression);
            EXPECT_EQ(got.description, want.description);
            EXPECT_FALSE(got.calculated);
        }
    }
}

// A relationship as one line: "Name: Parent(A, B) -> Child(A, B) enforced cascade-update
// cascade-delete".
std::string Describe(const RelationshipSchema& relationship) {
    std::string parent;
    std::string child;
    for (std::size_t i = 0; i < relationship.columns.size(); ++i) {
        parent += (i ? ", " : "") + relationship.columns[i].parent;
        child += (i ? ", " : "") + relationship.columns[i].child;
    }
    std::string text = relationship.name + ": " + relationship.parent_table + "(" + parent +
                       ") -> " + relationship.child_table + "(" + child + ")";
    if (relationship.enforced)
        text += " enforced";
    if (relationship.cascade_update)
        text += " cascade-update";
    if (relationship.cascade_delete)
        text += " cascade-delete";
    return text;
}

TEST(AccessSchema, RelationshipsWithTheirColumnPairsAndFlags) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> files = {
        {"gen-schema.mdb",
         {"CustomersOrders: Customers(CustomerID) -> Orders(CustomerID) enforced",
          "OrdersOrder Lines: Orders(OrderID) -> Order Lines(OrderID) enforced cascade-delete",
          "ProductsOrder Lines: Products(ProductCode) -> Order Lines(ProductCode) enforced "
          "cascade-update cascade-delete",
          "Order LinesReturns: Order Lines(OrderID, LineNo) -> Returns(OrderID, LineNo)"}},
        // Access's own relationships between its MSysNavPane tables are left out.
        {"jet4-indexes.mdb",
         {"Table2Table1: Table2(id) -> Table1(otherfk1) enforced cascade-delete",
          "Table3Table1: Table3(id) -> Table1(otherfk2) enforced cascade-update"}},
        {"jet3-test.mdb", {}},
        {"ace14-index-properties.accdb", {}},
    };
    for (const auto& [file, expected] : files) {
        std::vector<std::string> got;
        for (const auto& relationship : Open(file)->ReadRelationships())
            got.push_back(Describe(relationship));
        EXPECT_EQ(got, expected) << file;
    }
}

TEST(AccessSchema, FileWithoutRelationshipsTable) {
    Image image = ReadImage("gen-schema.mdb");
    Image name; // the catalog's name of the table, in UTF-16
    for (const char c : std::string("MSysRelationships"))
        name.insert(name.end(), {static_cast<std::uint8_t>(c), 0});
    const auto at = std::search(image.begin(), image.end(), name.begin(), name.end());
    ASSERT_NE(at, image.end());
    at[static_cast<std::ptrdiff_t>(name.size()) - 2] = 'X'; // now "MSysRelationshipX"
    auto provider = OpenAccessImage("no-relationships.mdb", image, std::nullopt);
    EXPECT_TRUE(provider->ReadRelationships().empty());
    EXPECT_EQ(provider->ReadTableSchema("Orders").indexes.size(), 5u);
}

// ---------------------------------------------------------------------------------------------
// Indexes of the other test files: every user table, as mdb-schema lists them, plus the
// indexes Access keeps for relationships (which mdb-schema leaves out).

using IndexTable = std::map<std::string, std::vector<std::string>>;

TEST(AccessSchema, IndexesOfEveryUserTable) {
    const IndexTable jet_test = {
        {"Table1", {"B(B)", "PrimaryKey(A) primary unique"}},
        {"Table2",
         {"column10(column10)", "column14(column14)", "column75(column75)", "id(column1)",
          "PrimaryKey(column1) primary unique"}},
        {"Table3", {"id(a)", "PrimaryKey(a) primary unique"}},
        {"Table4", {"PrimaryKey(data) primary unique"}},
    };
    const std::vector<std::pair<std::string, IndexTable>> files = {
        {"jet4-indexes.mdb",
         {
             {"Table1",
              {"id(id)", "PrimaryKey(id) primary unique", "Table2Table1(otherfk1) foreign",
               "Table3Table1(otherfk2) foreign"}},
             {"Table2", {".rC(id) unique foreign", "id(id)", "PrimaryKey(id) primary unique"}},
             {"Table3", {".rC(id) unique foreign", "id(id)", "PrimaryKey(id) primary unique"}},
         }},
        {"ace12-compindex.accdb", {{"Table1", {"CD_AGENTE(CD_AGENTE DESC)"}}}},
        {"ace14-index-properties.accdb",
         {
             {"TableIgnoreNulls1",
              {"DataIndex(data) ignore-nulls", "PrimaryKey(row) primary unique"}},
             {"TableIgnoreNulls1_temp",
              {"DataIndex(data) ignore-nulls", "PrimaryKey(row) primary unique"}},
             {"TableIgnoreNulls2",
              {"DataIndex(data1, data2) ignore-nulls", "PrimaryKey(row) primary unique"}},
             {"TableIgnoreNulls2_temp",
              {"DataIndex(data1, data2) ignore-nulls", "PrimaryKey(row) primary unique"}},
             {"TableUnique1_temp", {"DataIndex(data) unique", "PrimaryKey(row) primary unique"}},
             {"TableUnique2_temp",
              {"DataIndex(data1, data2) unique", "PrimaryKey(row) primary unique"}},
         }},
        {"jet4-test.mdb", jet_test},
        {"gen-big.mdb",
         {
             {"Orders", {"PrimaryKey(ID) primary unique"}},
             {"Lines", {"PrimaryKey(LineID) primary unique", "OrderID(OrderID)"}},
         }},
        {"jet3-test.mdb", jet_test},
        {"jet3-msp-projects.mdb",
         {{"MSP_PROJECTS", {"I_MSP_PROJECTS(PROJ_ID) unique", "I_PROJ_NAME(PROJ_NAME) unique"}}}},
    };
    for (const auto& [file, expected] : files) {
        SCOPED_TRACE(file);
        auto provider = Open(file);
        IndexTable got;
        for (const auto& table : UserTables(*provider))
            got[table] = DescribeIndexes(provider->ReadTableSchema(table));
        EXPECT_EQ(got, expected);
    }
}

// Jet3 keeps its properties in "KKD" blobs with code-page text and its AutoNumber counter at
// another offset of the definition than Jet4.
TEST(AccessSchema, Jet3PropertiesAndAutoNumbers) {
    struct Case {
        std::string file;
        std::string table;
        std::string column;
        bool required;
        std::optional<bool> allow_zero_length;
        AutoNumber auto_number;
        std::string default_expression;
        std::int64_t next_auto_number;
    };
    const std::vector<Case> cases = {
        {"jet3-test.mdb", "Table1", "A", false, kNo, kNone, "", 0},
        {"jet3-test.mdb", "Table1", "C", false, kUnset, kNone, "0", 0},
        {"jet3-test.mdb", "Table1", "I", true, kUnset, kNone, "", 0}, // Yes/No
        {"jet3-test.mdb", "Table3", "a", false, kUnset, kCount, "", 1},
        {"jet3-test.mdb", "Table4", "data", false, kUnset, AutoNumber::Guid, "GenGUID()", 0},
        {"jet3-encoded.mdb", "Table1", "ID", false, kUnset, kCount, "", 3},
        {"jet4-test.mdb", "Table4", "data", false, kUnset, AutoNumber::Guid, "GenGUID()", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " " + c.table + "." + c.column);
        const TableSchema schema = Open(c.file)->ReadTableSchema(c.table);
        EXPECT_EQ(schema.next_auto_number, c.next_auto_number);
        const auto column = std::find_if(schema.columns.begin(), schema.columns.end(),
                                         [&](const ColumnSchema& s) { return s.name == c.column; });
        ASSERT_NE(column, schema.columns.end());
        EXPECT_EQ(column->required, c.required);
        EXPECT_EQ(column->allow_zero_length, c.allow_zero_length);
        EXPECT_EQ(column->auto_number, c.auto_number);
        EXPECT_EQ(column->default_expression, c.default_expression);
    }
}

// A destination maps a column from the schema exactly as from the recordset's field, including
// calculated Decimal columns, whose precision and scale come from their values.
TEST(AccessSchema, ColumnsDescribeTheRecordsetFields) {
    for (const char* file : {"gen-schema.mdb", "gen-types.mdb", "ace14-calcfields.accdb",
                             "jet4-numeric.mdb", "ace16-bigint.accdb", "jet3-msp-projects.mdb"}) {
        auto provider = Open(file);
        for (const auto& table : UserTables(*provider)) {
            SCOPED_TRACE(std::string(file) + " " + table);
            const TableSchema schema = provider->ReadTableSchema(table);
            auto rs = provider->OpenTable(table);
            ASSERT_EQ(schema.columns.size(), static_cast<std::size_t>(rs->FieldCount()));
            for (int i = 0; i < rs->FieldCount(); ++i) {
                const ColumnSchema& column = schema.columns[static_cast<std::size_t>(i)];
                Field& field = rs->GetField(i);
                EXPECT_EQ(column.name, field.Name());
                EXPECT_EQ(column.ado_type, field.Type()) << column.name;
                EXPECT_EQ(column.size, field.DefinedSize()) << column.name;
                EXPECT_EQ(column.precision, field.Precision()) << column.name;
                EXPECT_EQ(column.scale, field.NumericScale()) << column.name;
            }
        }
    }
    // The calculated columns of ace14-calcfields: source type, calculated flag, measured Decimal.
    const TableSchema calc = Open("ace14-calcfields.accdb")->ReadTableSchema("Table1");
    std::map<std::string, const ColumnSchema*> by_name;
    for (const auto& column : calc.columns)
        by_name[column.name] = &column;
    EXPECT_TRUE(by_name.at("LastFirst")->calculated);
    EXPECT_FALSE(by_name.at("Popularity")->calculated);
    EXPECT_EQ(by_name.at("MonthlySalary")->source_type, kTypeDouble);
    EXPECT_EQ(by_name.at("MonthlySalary")->ado_type, adCurrency);
    EXPECT_EQ(by_name.at("WeeklySalary")->precision, 21);
    EXPECT_EQ(by_name.at("WeeklySalary")->scale, 16);
    EXPECT_EQ(calc.next_auto_number, 5);
}

// The rules of gen-rules.accdb (gen-rules.md): each column's validation rule and text, the
// table's rule, and the calculated columns' expressions, as Access writes them.
TEST(AccessSchema, ValidationRulesAndCalculatedExpressions) {
    auto provider = Open("gen-rules.accdb");
    const TableSchema employees = provider->ReadTableSchema("Employees");
    EXPECT_EQ(employees.validation_rule, "[Ended] Is Null Or [Ended]>=[Hired]");
    EXPECT_EQ(employees.validation_text, "离职日期不能早于入职日期");
    std::map<std::string, std::vector<std::string>> got;
    for (const auto& column : employees.columns)
        got[column.name] = {column.calculated_expression, column.validation_rule,
                            column.validation_text};
    const std::map<std::string, std::vector<std::string>> want = {
        {"ID", {"", "", ""}},
        {"FirstName", {"", "", ""}},
        {"LastName", {"", "", ""}},
        {"FullName", {"[FirstName] & \" \" & [LastName]", "", ""}},
        {"Salary", {"", ">=0 And <1000000", "工资必须在 0 到 1000000 之间"}},
        {"MonthlySalary", {"[Salary]/12", "", ""}},
        {"Bonus", {"IIf([Salary]>50000,[Salary]*0.1,0)", "", ""}},
        {"Hired", {"", ">=#1/1/1990#", ""}},
        {"Ended", {"", "", ""}},
        {"Email", {"", "Is Null Or Like \"*@*.*\"", "邮箱格式不对"}},
        {"Grade", {"", "In (\"A\",\"B\",\"C\")", ""}},
        {"Code", {"", "Is Null Or Len([Code])=6", ""}},
        {"Qty", {"", "Between 1 And 100", ""}},
        {"YearsHired", {"Year([Hired])-1990", "", ""}},
    };
    EXPECT_EQ(got, want);
    // Each calculated expression is parsed once, by the source; the others have no tree.
    for (const auto& column : employees.columns) {
        EXPECT_EQ(column.calculated_tree != nullptr, !column.calculated_expression.empty())
            << column.name;
        EXPECT_EQ(column.calculated_refusal, "") << column.name;
    }
    const TableSchema legacy = provider->ReadTableSchema("Legacy");
    EXPECT_EQ(legacy.columns.at(1).validation_rule, ">0");
    EXPECT_EQ(legacy.columns.at(1).validation_text, "数量必须大于 0");
    EXPECT_TRUE(legacy.columns.at(2).required);
}

TEST(AccessSchema, TablesAreNamedAsForOpenTable) {
    auto provider = Open("gen-schema.mdb");
    EXPECT_EQ(provider->ReadTableSchema("order lines").name, "Order Lines");
    try {
        provider->ReadTableSchema("Nope");
        FAIL() << "unknown table described";
    } catch (const DataAccessError& e) {
        EXPECT_STREQ(e.what(), "找不到表 'Nope'。");
    }
    auto queries = Open("jet4-queries.mdb");
    for (const auto& row : queries->SchemaTables()) {
        if (row.table_type == "VIEW") {
            EXPECT_THROW(queries->ReadTableSchema(row.table_name), DataAccessError)
                << row.table_name;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Saved queries: the three files (Access 97, 2003 and 2010) hold the same nine queries, one of
// every kind; their text is what Jackcess rebuilds from the same rows (with CR LF line breaks),
// but for a parameter's name with a space, in brackets as Access shows it.
// Access 97 keeps no LvExtra column in MSysQueries.

TEST(AccessSchema, SavedQueriesWithTheirSqlText) {
    const std::map<std::string, QuerySchema> expected = [] {
        const std::vector<QuerySchema> queries = {
            {"SelectQuery",
             QueryKind::Select,
             "SELECT DISTINCT Table1.*, Table2.col1, Table2.col2, Table3.col3\r\n"
             "FROM (Table1 LEFT JOIN Table3 ON Table1.col1 = Table3.col1) INNER JOIN Table2 ON "
             "(Table3.col1 = Table2.col2) AND (Table3.col1 = Table2.col1)\r\n"
             "WHERE (((Table2.col2)=\"foo\" Or (Table2.col2) In (\"buzz\",\"bazz\")))\r\n"
             "ORDER BY Table2.col1;",
             {"Table1", "Table2", "Table3"},
             false},
            {"DeleteQuery",
             QueryKind::Delete,
             "DELETE Table1.col1, Table1.col2, Table1.col3\r\nFROM Table1\r\n"
             "WHERE (((Table1.col1)>\"blah\"));",
             {"Table1"},
             false},
            {"AppendQuery",
             QueryKind::Append,
             "INSERT INTO Table3 (col2, col2, col3)\r\n"
             "SELECT [Table1].[col2], [Table2].[col2], [Table2].[col3]\r\n"
             "FROM Table3, Table1 INNER JOIN Table2 ON [Table1].[col1]=[Table2].[col1];",
             {"Table3", "Table1", "Table2"},
             false},
            {"UpdateQuery",
             QueryKind::Update,
             "PARAMETERS [User Name] Text;\r\nUPDATE Table1\r\n"
             "SET Table1.col1 = \"foo\", Table1.col2 = [Table2].[col3], [Table2].[col1] = "
             "[User Name]\r\nWHERE ((([Table2].[col1]) Is Not Null));",
             {"Table1"},
             true},
            {"MakeTableQuery",
             QueryKind::MakeTable,
             "SELECT Max(Table2.col1) AS MaxOfcol1, Table2.col2, Table3.col2 INTO Table4\r\n"
             "FROM (Table2 INNER JOIN Table1 ON Table2.col1 = Table1.col2) RIGHT JOIN Table3 ON "
             "Table1.col2 = Table3.col3\r\nGROUP BY Table2.col2, Table3.col2\r\n"
             "HAVING (((Max(Table2.col1))=\"buzz\") AND ((Table2.col2)<>\"blah\"));",
             {"Table2", "Table1", "Table3"},
             false},
            {"CrosstabQuery",
             QueryKind::Crosstab,
             "TRANSFORM Count([Table2].[col2]) AS CountOfcol2\r\n"
             "SELECT Table2_1.col1, [Table2].[col3], Avg(Table2_1.col2) AS AvgOfcol2\r\n"
             "FROM (Table1 INNER JOIN Table2 ON [Table1].[col1]=[Table2].[col1]) INNER JOIN "
             "Table2 AS Table2_1 ON [Table2].[col1]=Table2_1.col3\r\n"
             "WHERE ((([Table1].[col1])>\"10\") And ((Table2_1.col1) Is Not Null) And "
             "((Avg(Table2_1.col2))>\"10\"))\r\nGROUP BY Table2_1.col1, [Table2].[col3]\r\n"
             "ORDER BY [Table2].[col3]\r\nPIVOT [Table1].[col1];",
             {"Table1", "Table2"},
             false},
            {"UnionQuery",
             QueryKind::Union,
             "Select Table1.col1, Table1.col2\r\nwhere Table1.col1 = \"foo\"\r\nUNION\r\n"
             "Select Table2.col1, Table2.col2\r\nUNION ALL Select Table3.col1, Table3.col2\r\n"
             "where Table3.col3 > \"blah\";",
             {},
             false},
            {"PassthroughQuery",
             QueryKind::PassThrough,
             "ALTER TABLE Table4 DROP COLUMN col5;",
             {},
             false},
            {"DataDefinitionQuery",
             QueryKind::DataDefinition,
             "CREATE TABLE Table5 (col1 CHAR, col2 CHAR);",
             {},
             false},
        };
        std::map<std::string, QuerySchema> by_name;
        for (const auto& query : queries)
            by_name[query.name] = query;
        return by_name;
    }();
    const std::vector<std::pair<std::string, std::vector<std::string>>> files = {
        {"jet4-queries.mdb",
         {"SelectQuery", "UpdateQuery", "AppendQuery", "DeleteQuery", "MakeTableQuery",
          "CrosstabQuery", "UnionQuery", "PassthroughQuery", "DataDefinitionQuery"}},
        {"ace14-queries.accdb",
         {"AppendQuery", "CrosstabQuery", "DataDefinitionQuery", "DeleteQuery", "MakeTableQuery",
          "PassthroughQuery", "SelectQuery", "UnionQuery", "UpdateQuery"}},
        {"jet3-queries.mdb",
         {"AppendQuery", "CrosstabQuery", "DataDefinitionQuery", "DeleteQuery", "MakeTableQuery",
          "PassthroughQuery", "SelectQuery", "UnionQuery", "UpdateQuery"}},
        {"gen-schema.mdb", {}},
    };
    for (const auto& [file, names] : files) {
        Connection connection{DefaultProviderFactory()};
        connection.Open("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + TestDataPath(file));
        std::vector<std::string> got;
        for (const auto& query : connection.ReadQueries()) {
            got.push_back(query.name);
            const QuerySchema& want = expected.at(query.name);
            EXPECT_EQ(query.kind, want.kind) << query.name;
            EXPECT_EQ(query.sql, want.sql) << query.name;
            EXPECT_EQ(query.sources, want.sources) << query.name;
            EXPECT_EQ(query.has_parameters, want.has_parameters) << query.name;
            EXPECT_EQ(query.problem, "") << query.name;
        }
        EXPECT_EQ(got, names) << file;
    }
}

// ---------------------------------------------------------------------------------------------
// Damaged definitions.

// Where gen-schema.mdb keeps the definition of Customers: page 24; after the column names come
// its 6 real index entries (52 bytes each), its 7 logical index entries (28 bytes each) and
// their names (2-byte length, UTF-16).
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kCustomers = 24 * kPageSize;
constexpr std::size_t kRealIndexes = 553;
constexpr std::size_t kLogicalIndexes = kRealIndexes + 6 * 52;
constexpr std::size_t kIndexNames = kLogicalIndexes + 7 * 28;
constexpr std::size_t kIndexesEnd = kIndexNames + 126;

void PutU16(Image& image, std::size_t at, std::uint16_t value) {
    image[at] = static_cast<std::uint8_t>(value);
    image[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(Image& image, std::size_t at, std::uint32_t value) {
    PutU16(image, at, static_cast<std::uint16_t>(value));
    PutU16(image, at + 2, static_cast<std::uint16_t>(value >> 16));
}

std::vector<std::string> IndexNames(Provider& provider, const std::string& table) {
    std::vector<std::string> names;
    for (const auto& index : provider.ReadTableSchema(table).indexes)
        names.push_back(index.name);
    return names;
}

TEST(AccessSchema, DamagedIndexDefinitionsGiveFewerIndexes) {
    const Image original = ReadImage("gen-schema.mdb");
    ASSERT_EQ(original.size() % kPageSize, 0u);
    const std::vector<std::string> all = {"PrimaryKey",  "CustomerName", "Email", "City",
                                          "CountryCity", "CreditLimit",  ".rB"};
    struct Case {
        const char* damage;
        std::function<void(Image&)> apply;
        std::vector<std::string> indexes;
    };
    const std::vector<Case> cases = {
        {"undamaged", [](Image&) {}, all},
        {"more logical indexes than the definition holds",
         [](Image& image) { PutU32(image, kCustomers + 47, 0x7FFFFFFF); },
         {}},
        {"the last name runs past the definition",
         [](Image& image) { PutU16(image, kCustomers + kIndexesEnd - 8, 0xFFFF); },
         {"PrimaryKey", "CustomerName", "Email", "City", "CountryCity", "CreditLimit"}},
        {"a key column the table does not have",
         [](Image& image) { PutU16(image, kCustomers + kRealIndexes + 52 + 4, 0x0040); },
         {"PrimaryKey", "Email", "City", "CountryCity", "CreditLimit", ".rB"}},
        {"a real index number out of range",
         [](Image& image) { PutU32(image, kCustomers + kLogicalIndexes + 2 * 28 + 8, 99); },
         {"PrimaryKey", "CustomerName", "City", "CountryCity", "CreditLimit", ".rB"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        Image image = original;
        c.apply(image);
        auto provider = OpenAccessImage("damaged.mdb", image, std::nullopt);
        EXPECT_EQ(IndexNames(*provider, "Customers"), c.indexes);
        EXPECT_EQ(provider->ReadTableSchema("Customers").columns.size(), 10u);
    }

    // A real index count that cannot be right makes the whole definition unreadable.
    Image image = original;
    PutU32(image, kCustomers + 51, 0xFFFF);
    EXPECT_THROW(OpenAccessImage("damaged.mdb", image, std::nullopt), DataAccessError);
}

// Every byte of the index part flipped in turn: the definition reads (with whatever indexes
// still make sense) or fails with a DataAccessError, and the tables' columns never change.
TEST(AccessSchema, FlippedIndexBytesNeverBreakReading) {
    const Image original = ReadImage("gen-schema.mdb");
    int refused = 0;
    for (std::size_t at = kCustomers + kRealIndexes; at < kCustomers + kIndexesEnd; ++at) {
        Image image = original;
        image[at] ^= 0xFF;
        try {
            auto provider = OpenAccessImage("flipped.mdb", image, std::nullopt);
            const TableSchema schema = provider->ReadTableSchema("Customers");
            ASSERT_EQ(schema.columns.size(), 10u) << at;
            for (const auto& index : schema.indexes)
                EXPECT_FALSE(index.columns.empty()) << at;
            (void)provider->ReadRelationships();
        } catch (const DataAccessError&) {
            ++refused;
        }
    }
    std::printf("flipped index bytes: %zu cases, %d refused\n", kIndexesEnd - kRealIndexes,
                refused);
}

} // namespace
} // namespace tw::data
