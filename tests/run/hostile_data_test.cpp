// Hostile values and names: nothing a value or a name holds can leave its literal or its
// identifier. Generated strings and bytes go through the statement builder and the engine into
// a real server and into a script file that the mariadb client loads, and come back byte for
// byte (compared as HEX()); hostile names create exactly the tables and columns they name.
#include "FakeSource.h"
#include "ServerSession.h"
#include "TestEnv.h"

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/mysql/SqlText.h"
#include "tablewright/run/ConversionRun.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

using namespace tw;
using namespace tw::data;
using namespace std::string_literals;
using test::FakeTable;
using test::FakeWorld;
using test::ServerSession;

namespace {

// Access connection strings go to the in-memory source, MySQL ones to the real server.
ProviderFactory SourceInMemoryServerReal(FakeWorld& world) {
    auto fake = test::FakeFactory(world);
    auto real = DefaultProviderFactory();
    return [fake, real](const std::string& connection_string) {
        return connection_string.rfind("Provider=", 0) == 0 ? fake(connection_string)
                                                            : real(connection_string);
    };
}

struct Converted {
    run::RunSummary summary;
    std::string log;
};

/// Converts every table of the in-memory world into a database of the test server.
Converted Convert(FakeWorld& world, const MySqlTarget& target, const std::string& database,
                  std::int16_t scenario = 0, const std::string& script = {}, int keep_keys = 0) {
    engine::Cls_Convertion engine(SourceInMemoryServerReal(world),
                                  data::DefaultScriptDestinationFactory());
    std::string message;
    engine.ShowCriticalMessage = [&message](const std::string& text) { message = text; };
    EXPECT_TRUE(engine.OpenSourceDB("/in/memory.mdb"));
    EXPECT_TRUE(engine.OpenDestinationDB(target.host, target.user, target.password, target.port))
        << message;
    run::PlainRunWindow window;
    window.scenario = scenario;
    window.script_path = script;
    window.database_name = database;
    window.keep_keys = keep_keys;
    for (const auto& table : world.tables)
        window.tables.push_back({table.name, true});
    run::ConversionRun run(engine, window);
    run.RunConversion();
    return {run.Summary(), window.message};
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xF];
    }
    return hex;
}

std::string Utf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text)
        data::AppendUtf8(out, c);
    return out;
}

/// Strings that have broken SQL statements somewhere: quotes and escapes of every kind,
/// comment and statement markers, line breaks, controls and look-alike characters.
std::vector<std::string> TrickyTexts() {
    std::vector<std::string> texts = {
        "",
        "'",
        "''",
        "'''",
        "\\",
        "\\\\",
        "\\'",
        "'\\",
        "\\\\'",
        "\\''",
        "`",
        "``",
        "\"",
        "\"\"",
        "\\\"",
        "*/",
        "/*",
        "/*!50000 DROP TABLE t */",
        "-- ",
        "--",
        "#",
        ";",
        ";;",
        "%",
        "_",
        "\\%",
        "\\_",
        "\\N",
        "NULL",
        "null",
        "\\0",
        "\\Z",
        "\\n",
        "\r",
        "\n",
        "\r\n",
        "\n\r",
        std::string("\0", 1),
        std::string("a\0b\0", 4),
        "\x1A",
        "\t",
        "\b",
        "\x7F",
        "'); DROP TABLE t; --",
        "\\'); DROP TABLE t; -- ",
        "x' OR '1'='1",
        "'||'",
        "$$",
        "${x}",
        "?",
        ":a",
        "@a",
        "0x41",
        "X'41'",
        "b'1'",
        "N'x'",
        "_utf8mb4'x'",
        "DELIMITER //",
        "\\\r\n'",
        "'\n--\n;\n'",
    };
    // Every control character alone and after a backslash and a quote.
    for (int c = 0; c < 0x20; ++c) {
        texts.push_back(std::string(1, char(c)));
        texts.push_back(std::string("\\") + char(c) + "'");
    }
    // Look-alikes and characters that change the reading of the text around them.
    texts.push_back(Utf8(U"\u2018\u2019\u201C\u201D\uFF07\uFF02\u02BC\u0060\u00B4"));
    texts.push_back(Utf8(U"\u2028\u2029\u0085\uFEFF\u200B\u200E\u202E\uFFFD\u00A0"));
    texts.push_back(Utf8(U"e\u0301 \u5F27' \u7E17' \u20AC' \U0001F600' \U0010FFFF'"));
    // Long ones: a run of quote-backslash pairs, and a multi-megabyte mix.
    std::string pairs;
    for (int i = 0; i < 35000; ++i)
        pairs += "'\\";
    texts.push_back(pairs);
    std::string mix;
    while (mix.size() < 3 * 1024 * 1024)
        mix += "北京'\\\r\n\0`\"😀;--*/"s;
    texts.push_back(mix);
    return texts;
}

/// Byte strings that are not text: every byte value, invalid UTF-8, and a large random block.
std::vector<std::string> TrickyBytes() {
    std::vector<std::string> values;
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += char(b);
        values.push_back(std::string(1, char(b)));
    }
    values.push_back(all);
    for (const char* invalid : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF\xFE",
                                "\xBF\x27", "\x5C\x27", "\x80", "\xE0\x80", "\xF0\x9F\x98"})
        values.push_back(invalid);
    std::mt19937 random(20240601);
    std::string block(300 * 1024, '\0');
    for (char& c : block)
        c = char(random() & 0xFF);
    values.push_back(block);
    return values;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("tw_hostile_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

/// Loads a script file with the mariadb command-line client (utf8mb4, stops at an error).
int LoadWithClient(const MySqlTarget& target, const std::string& database,
                   const std::string& script) {
    const std::string command = "mariadb --no-defaults --protocol=tcp --host=" + target.host +
                                " --port=" + std::to_string(target.port) +
                                " --user=" + target.user + " --default-character-set=utf8mb4 " +
                                database + " < '" + script + "'";
    return std::system(command.c_str());
}

} // namespace

// Every Unicode scalar value, every tricky string and every byte value round-trips through the
// statement builder alone, through the engine into the server, and through the script file.
TEST(HostileValues, EveryCharacterStringAndByteComesBackExactly) {
    TW_REQUIRE_SERVER(target);
    ServerSession server(target);

    // The statement builder alone: each literal read back by the server as it was meant.
    const std::vector<std::string> texts = TrickyTexts();
    for (const std::string& text : texts) {
        if (text.size() > 100000)
            continue; // the long ones go through the engine below
        std::string query = "SELECT HEX(";
        data::AppendValueLiteral(query, Value(text), adLongVarWChar);
        query += "), HEX(";
        data::AppendValueLiteral(query, Value(Bytes{text}), adLongVarBinary);
        query += ")";
        const auto rows = server.Query(query);
        ASSERT_EQ(rows.size(), 1u) << Hex(text);
        EXPECT_EQ(rows[0][0], Hex(text)) << Hex(text);
        EXPECT_EQ(rows[0][1], Hex(text)) << Hex(text);
    }

    // Through the engine: one table with a text, a short text and a bytes column.
    FakeWorld world;
    FakeTable table{"Hostile",
                    "TABLE",
                    {{"ID", adInteger, 4},
                     {"Txt", adLongVarWChar, 0},
                     {"Short", adVarWChar, 255},
                     {"Bin", adLongVarBinary, 0}},
                    {}};
    std::vector<std::optional<std::string>> want_text;
    std::vector<std::optional<std::string>> want_bytes;
    auto add = [&](std::optional<std::string> text, std::optional<std::string> bytes) {
        const auto id = std::int64_t(table.rows.size() + 1);
        const bool short_fits = text && data::Utf8CharCount(*text) <= 255;
        table.rows.push_back({Value(id), text ? Value(*text) : Value(),
                              short_fits ? Value(*text) : Value(),
                              bytes ? Value(Bytes{*bytes}) : Value()});
        want_text.push_back(text);
        want_bytes.push_back(bytes);
    };
    // All of Unicode but the surrogates, in chunks of 4096 characters.
    std::u32string chunk;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        chunk += c;
        if (chunk.size() == 4096 || c == 0x10FFFF) {
            add(Utf8(chunk), std::nullopt);
            chunk.clear();
        }
    }
    for (const std::string& text : texts)
        add(text, text);
    for (const std::string& bytes : TrickyBytes())
        add(std::nullopt, bytes);
    add(std::nullopt, std::nullopt);
    world.tables.push_back(table);

    server.Execute("DROP DATABASE IF EXISTS tw_hostile_server");
    server.FreshDatabase("tw_hostile_script");
    const std::string script = TempPath("values.sql");
    const auto converted = Convert(world, target, "tw_hostile_server", 2, script);
    ASSERT_TRUE(converted.summary.Clean()) << converted.log;
    ASSERT_EQ(LoadWithClient(target, "tw_hostile_script", script), 0);

    for (const std::string database : {"tw_hostile_server", "tw_hostile_script"}) {
        SCOPED_TRACE(database);
        const auto rows = server.Query("SELECT id, HEX(txt), HEX(short), HEX(bin) FROM `" +
                                       database + "`.hostile ORDER BY id");
        ASSERT_EQ(rows.size(), want_text.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& text = want_text[i];
            const auto& bytes = want_bytes[i];
            EXPECT_EQ(rows[i][0], std::to_string(i + 1));
            EXPECT_EQ(rows[i][1], text ? std::optional(Hex(*text)) : std::nullopt) << "row " << i;
            if (rows[i][2]) {
                EXPECT_EQ(rows[i][2], rows[i][1]) << "row " << i;
            }
            EXPECT_EQ(rows[i][3], bytes ? std::optional(Hex(*bytes)) : std::nullopt) << "row " << i;
        }
    }
    std::remove(script.c_str());

    // A text that is not UTF-8 is refused by the server on its own; it breaks nothing out and
    // the rows around it arrive.
    FakeWorld bad;
    bad.tables.push_back(FakeTable{"Bad",
                                   "TABLE",
                                   {{"ID", adInteger, 4}, {"T", adVarWChar, 50}},
                                   {{Value(std::int64_t(1)), Value("ok"s)},
                                    {Value(std::int64_t(2)), Value("\xC0'); DROP TABLE bad; --"s)},
                                    {Value(std::int64_t(3)), Value("\xBF\x5C'; --"s)},
                                    {Value(std::int64_t(4)), Value("ok"s)}}});
    const auto refused = Convert(bad, target, "tw_hostile_server");
    EXPECT_EQ(refused.summary.failed_statements, 2) << refused.log;
    EXPECT_NE(refused.log.find("Incorrect string value"), std::string::npos) << refused.log;
    EXPECT_EQ(server.Scalar("SELECT GROUP_CONCAT(id, t ORDER BY id) FROM tw_hostile_server.bad"),
              "1ok,4ok");
    EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM tw_hostile_server.hostile"),
              std::to_string(want_text.size()));
    server.Execute("DROP DATABASE tw_hostile_server");
    server.Execute("DROP DATABASE tw_hostile_script");
}

// Access keeps 'a', 'a ' and 'a  ' apart in a unique index; so must the converted key, on the
// server and in the script files of both routes, or rows are lost or the key becomes a plain
// index.
TEST(HostileValues, TextKeysDifferingOnlyInTrailingSpacesStayUniqueAndComplete) {
    TW_REQUIRE_SERVER(target);
    ServerSession server(target);
    const std::vector<std::string> codes = {"a", "a ", "a  ", " a", "b"};
    FakeWorld world;
    FakeTable table{"Codes", "TABLE", {{"ID", adInteger, 4}, {"Code", adVarWChar, 10}}, {}};
    for (std::size_t i = 0; i < codes.size(); ++i)
        table.rows.push_back({Value(std::int64_t(i + 1)), Value(codes[i])});
    table.indexes = {{"PrimaryKey", {{"ID"}}, true, true}, {"Code", {{"Code"}}, false, true}};
    world.tables.push_back(table);

    server.Execute("DROP DATABASE IF EXISTS tw_pad_server");
    server.FreshDatabase("tw_pad_both");
    server.FreshDatabase("tw_pad_only");
    const std::string both = TempPath("pad-both.sql");
    const std::string only = TempPath("pad-only.sql");
    const auto converted = Convert(world, target, "tw_pad_server", 2, both, 1);
    ASSERT_TRUE(converted.summary.Clean()) << converted.log;
    ASSERT_TRUE(Convert(world, target, "tw_pad_unused", 1, only, 1).summary.Clean());
    ASSERT_EQ(LoadWithClient(target, "tw_pad_both", both), 0);
    ASSERT_EQ(LoadWithClient(target, "tw_pad_only", only), 0);

    std::vector<test::Row> want;
    for (const std::string& code : codes)
        want.push_back({Hex(code)});
    for (const std::string database : {"tw_pad_server", "tw_pad_both", "tw_pad_only"}) {
        SCOPED_TRACE(database);
        EXPECT_EQ(server.Query("SELECT HEX(code) FROM `" + database + "`.codes ORDER BY id"), want);
        EXPECT_EQ(server.Scalar("SELECT NON_UNIQUE FROM information_schema.STATISTICS WHERE "
                                "TABLE_SCHEMA = '" +
                                database + "' AND TABLE_NAME = 'codes' AND COLUMN_NAME = 'code'"),
                  "0");
        // A second 'a ' is still refused: the key is unique, not merely present.
        EXPECT_THROW(server.Execute("INSERT INTO `" + database + "`.codes VALUES (9, 'a ')"),
                     std::exception);
    }
    std::remove(both.c_str());
    std::remove(only.c_str());
    for (const std::string database : {"tw_pad_server", "tw_pad_both", "tw_pad_only"})
        server.Execute("DROP DATABASE `" + database + "`");
}

// Names with backticks, quotes, blanks, comment and statement markers, reserved words and
// non-ASCII letters create exactly the database, tables and columns they name (lower-cased).
TEST(HostileNames, CreateExactlyTheDatabaseTablesAndColumnsTheyName) {
    TW_REQUIRE_SERVER(target);
    ServerSession server(target);
    const std::string database = "tw_hostile_`db'\";-- x";
    const std::vector<std::string> table_names = {
        "back`tick",
        "`",
        "``lead",
        "trail``",
        "it's",
        "say \"hi\"",
        "with blank",
        "select",
        "Order",
        "*/ x /*",
        "-- dash",
        "semi;colon",
        "a\\b",
        "%_",
        "Größe",
        "北京 Data",
        "x`; DROP TABLE victim; --",
        "x'); DROP TABLE victim; --",
        "#hash",
        "dot.ted",
    };
    const std::vector<std::string> column_names = {
        "ID", "col`1", "it's", "From", "with space", "北", "--", "*/", ";", "\"q\"", "ÄÖÜ",
    };
    FakeWorld world;
    for (const std::string& name : table_names) {
        FakeTable table{name, "TABLE", {}, {{}}};
        for (const std::string& column : column_names) {
            table.columns.push_back({column, adVarWChar, 20});
            table.rows[0].push_back(Value(column));
        }
        world.tables.push_back(table);
    }
    std::string quoted_database = "`";
    data::AppendNameText(quoted_database, database);
    quoted_database += "`";
    server.Execute("DROP DATABASE IF EXISTS " + quoted_database);
    server.Execute("CREATE DATABASE " + quoted_database);
    server.Execute("CREATE TABLE " + quoted_database + ".victim (n int)");

    const auto converted = Convert(world, target, database);
    ASSERT_TRUE(converted.summary.Clean()) << converted.log;

    std::string literal_database;
    data::AppendValueLiteral(literal_database, Value(database), adVarWChar);
    std::set<std::string> want_tables{"victim"};
    for (const std::string& name : table_names)
        want_tables.insert(data::Utf8ToLower(name));
    std::set<std::string> got_tables;
    for (const auto& row : server.Query("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                                        "TABLE_SCHEMA = " +
                                        literal_database))
        got_tables.insert(row[0].value_or("NULL"));
    EXPECT_EQ(got_tables, want_tables);

    for (const std::string& name : table_names) {
        SCOPED_TRACE(name);
        const std::string lower = data::Utf8ToLower(name);
        std::string literal_table;
        data::AppendValueLiteral(literal_table, Value(lower), adVarWChar);
        std::vector<test::Row> want_columns;
        for (const std::string& column : column_names)
            want_columns.push_back({data::Utf8ToLower(column)});
        EXPECT_EQ(server.Query("SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE "
                               "TABLE_SCHEMA = " +
                               literal_database + " AND TABLE_NAME = " + literal_table +
                               " ORDER BY ORDINAL_POSITION"),
                  want_columns);
        std::string quoted_table = "`";
        data::AppendNameText(quoted_table, lower);
        quoted_table += "`";
        const auto rows = server.Query("SELECT * FROM " + quoted_database + "." + quoted_table);
        ASSERT_EQ(rows.size(), 1u);
        for (std::size_t i = 0; i < column_names.size(); ++i)
            EXPECT_EQ(rows[0][i], column_names[i]);
    }
    server.Execute("DROP DATABASE " + quoted_database);
}
