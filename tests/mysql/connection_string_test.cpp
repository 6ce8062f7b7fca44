#include "tablewright/model/ConnectionString.h"

#include <gtest/gtest.h>

using namespace tw::data;

TEST(ConnectionString, ValuesWithSemicolonsQuotesAndBlanksReadBackUnchanged) {
    for (std::string value : {"plain", "", "a;b", "say \"hi\"", " blank ", "   ", "{braced}",
                              "C:\\dir;x\\file.mdb", "pa;ss\"w;ord", "=x=", "\"", ";"}) {
        const std::string text =
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + QuoteConnectionValue(value) +
            ";Other=1";
        const auto parts = ParseConnectionString(text);
        ASSERT_EQ(parts.size(), 3u) << text;
        EXPECT_EQ(FindConnectionValue(parts, "data source"), value) << text;
        EXPECT_EQ(FindConnectionValue(parts, "Other"), "1") << text;
    }
}

TEST(ConnectionString, OdbcStringWithBracedDriverAndEmptyValues) {
    const auto parts = ParseConnectionString(
        "DRIVER={MySQL ODBC 3.51 Driver};SERVER=localhost;UID=root;PWD=;PORT=3306");
    EXPECT_EQ(FindConnectionValue(parts, "DRIVER"), "{MySQL ODBC 3.51 Driver}");
    EXPECT_EQ(FindConnectionValue(parts, "SERVER"), "localhost");
    EXPECT_EQ(FindConnectionValue(parts, "PWD"), "");
    EXPECT_EQ(FindConnectionValue(parts, "PORT"), "3306");
    EXPECT_FALSE(FindConnectionValue(parts, "DATABASE").has_value());
}

TEST(ConnectionString, PlainValuesAreNotQuoted) {
    EXPECT_EQ(QuoteConnectionValue("/home/user/My Data/a.mdb"), "/home/user/My Data/a.mdb");
    EXPECT_EQ(QuoteConnectionValue("a;b"), "\"a;b\"");
    EXPECT_EQ(QuoteConnectionValue(" "), "\" \"");
}
