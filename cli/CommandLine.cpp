#include "CommandLine.h"

#include "tablewright/model/Text.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <system_error>

namespace tw::cli {

namespace {

// What argument an option takes.
enum class Argument {
    None,     // a switch; an attached value is an error
    Required, // attached (--opt=V, -oV) or the next word
    Attached, // optional, and only ever attached (--opt=V, -oV)
    // The Access password: attached, or the next word unless that is an option or the FILE.
    SourcePassword,
    // The option files, taken only at the start of the command line; anywhere else an error.
    OptionFile,
};

// How an option appeared on the command line, for its handler.
struct Given {
    /// The value the option took; unset when it took none.
    std::optional<std::string> value;
    /// The option as it was written (--host, -h), for messages.
    std::string shown;
};

using Handler = void (*)(Options&, const Given&);

// One option: its names, the argument it takes, whether that is a secret to overwrite on the
// command line, its lines in --help and what it sets.
struct OptionSpec {
    char letter;           // the short form's letter, '\0' for none
    std::string_view name; // the long form, with its dashes
    Argument argument;
    bool secret;
    std::string_view synopsis; // the names as --help shows them
    std::string_view help;     // the description, its lines already broken
    Handler handle;
};

// The whole number `text` spells when it lies in [low, high]; nullopt otherwise.
std::optional<long> WholeNumber(const std::string& text, long low, long high) {
    std::size_t used = 0;
    long number = 0;
    try {
        number = std::stol(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || number < low || number > high)
        return std::nullopt;
    return number;
}

std::string NotEmpty(const Given& given) {
    if (given.value->empty())
        throw UsageError{"选项 " + given.shown + " 的值不能为空"};
    return *given.value;
}

// The table type as the server knows it; a usage error for one no current server has.
std::string TableType(const std::string& text) {
    for (const char* known : {"MyISAM", "InnoDB", "Aria", "MEMORY", "HEAP"})
        if (tw::data::Utf8EqualsNoCase(text, known))
            return known;
    for (const char* gone : {"ISAM", "BDB"})
        if (tw::data::Utf8EqualsNoCase(text, gone))
            throw UsageError{"表类型 " + std::string(gone) +
                             " 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 MyISAM 或 "
                             "InnoDB"};
    throw UsageError{"--table-type 只能是 MyISAM、InnoDB、Aria、MEMORY 或 HEAP：'" + text + "'"};
}

tw::data::MySqlProtocol Protocol(const std::string& text) {
    if (tw::data::Utf8EqualsNoCase(text, "TCP"))
        return tw::data::MySqlProtocol::Tcp;
    if (tw::data::Utf8EqualsNoCase(text, "SOCKET"))
        return tw::data::MySqlProtocol::Socket;
    throw UsageError{"--protocol 只能是 TCP 或 SOCKET：'" + text + "'"};
}

// Every option, in the order --help lists them. The option files come last, under a heading of
// their own.
constexpr OptionSpec kOptions[] = {
    {'\0', "--source-password", Argument::SourcePassword, true, "--source-password[=P]",
     "database password of the Access file, attached or as the next word;\n"
     "alone (followed by an option or the FILE) it is asked for with echo\n"
     "off, or read as the first line of standard input when that is not a\n"
     "terminal; default: $TABLEWRIGHT_SOURCE_PASSWORD, else none",
     [](Options& o, const Given& g) {
         o.prompt_source_password = !g.value;
         o.source_password = g.value;
     }},
    {'\0', "--list", Argument::None, false, "--list",
     "print the user tables as \"name:rows\", one a line, and exit; linked\n"
     "tables (not converted) and saved queries are named on standard error",
     [](Options& o, const Given&) { o.list = true; }},
    {'\0', "--table", Argument::Required, false, "--table NAME",
     "convert this table, its name matched without regard to case as Access\n"
     "does (repeatable; default: every user table)",
     [](Options& o, const Given& g) { o.tables.push_back(NotEmpty(g)); }},
    {'\0', "--scenario", Argument::Required, false, "--scenario S",
     "server (default), script, or both",
     [](Options& o, const Given& g) {
         const std::string& s = *g.value;
         if (s == "server")
             o.scenario = 0;
         else if (s == "script")
             o.scenario = 1;
         else if (s == "both")
             o.scenario = 2;
         else
             throw UsageError{"--scenario 只能是 server、script 或 both：'" + s + "'"};
     }},
    {'h', "--host", Argument::Required, false, "-h, --host=H",
     "server host (default localhost, reached through the Unix socket as the\n"
     "mariadb client does; any other host over TCP)",
     [](Options& o, const Given& g) { o.host = *g.value; }},
    {'P', "--port", Argument::Required, false, "-P, --port=N",
     "server TCP port (default 3306); on the command line it means TCP",
     [](Options& o, const Given& g) {
         // As with the mariadb client, the last of --port, --socket and --protocol decides
         // between TCP and the socket.
         const std::string& p = *g.value;
         std::size_t used = 0;
         int port = 0;
         try {
             port = std::stoi(p, &used);
         } catch (const std::exception&) {
             used = 0;
         }
         if (used != p.size() || port <= 0 || port > 65535)
             throw UsageError{"端口号无效：'" + p + "'"};
         o.port = port;
         o.protocol = tw::data::MySqlProtocol::Tcp;
     }},
    {'S', "--socket", Argument::Required, false, "-S, --socket=PATH",
     "Unix socket of a local server (default /run/mysqld/mysqld.sock); on the\n"
     "command line it means the socket",
     [](Options& o, const Given& g) {
         o.socket = NotEmpty(g);
         o.protocol = tw::data::MySqlProtocol::Socket;
     }},
    {'\0', "--protocol", Argument::Required, false, "--protocol=P",
     "TCP or SOCKET; the last of --protocol, --port and --socket decides",
     [](Options& o, const Given& g) { o.protocol = Protocol(*g.value); }},
    {'u', "--user", Argument::Required, false, "-u, --user=U",
     "server user (default: your login name)",
     [](Options& o, const Given& g) { o.user = *g.value; }},
    // As with the mariadb client, the password is only ever attached (-pP, --password=P): alone
    // the option asks for it, and a word after it is an argument of its own.
    {'p', "--password", Argument::Attached, true, "-p[P], --password[=P]",
     "server password, only ever attached to the option; -p or --password\n"
     "alone asks for it with echo off, or reads the first line of standard\n"
     "input when that is not a terminal (a word after it stays an argument of\n"
     "its own); default: the option files, then $MYSQL_PWD, else none",
     [](Options& o, const Given& g) {
         o.prompt_password = !g.value;
         o.password = g.value;
     }},
    {'D', "--database", Argument::Required, false, "-D, --database=D",
     "target database, created when missing (default test)",
     [](Options& o, const Given& g) {
         o.database = *g.value;
         if (o.database.empty())
             throw UsageError{"--database 不能为空"};
     }},
    {'\0', "--ssl", Argument::None, false, "--ssl",
     "encrypt the connection when the server offers it (TCP only)",
     [](Options& o, const Given&) { o.tls.enabled = true; }},
    {'\0', "--ssl-ca", Argument::Required, false, "--ssl-ca=FILE",
     "certificate authorities to check the server's certificate against",
     [](Options& o, const Given& g) {
         o.tls.ca = NotEmpty(g);
         o.tls.enabled = true;
     }},
    {'\0', "--ssl-cert", Argument::Required, false, "--ssl-cert=FILE", "client certificate",
     [](Options& o, const Given& g) {
         o.tls.cert = NotEmpty(g);
         o.tls.enabled = true;
     }},
    {'\0', "--ssl-key", Argument::Required, false, "--ssl-key=FILE",
     "client certificate's private key",
     [](Options& o, const Given& g) {
         o.tls.key = NotEmpty(g);
         o.tls.enabled = true;
     }},
    {'\0', "--ssl-verify-server-cert", Argument::None, false, "--ssl-verify-server-cert",
     "refuse a server without encryption, or whose certificate does not\n"
     "check out or does not name the host (each --ssl-* option implies --ssl)",
     [](Options& o, const Given&) {
         o.tls.verify_server_cert = true;
         o.tls.enabled = true;
     }},
    {'\0', "--script", Argument::Required, false, "--script PATH",
     "SQL script file (default test.sql in the current directory); - writes\n"
     "it to standard output, and the log and progress to standard error",
     [](Options& o, const Given& g) { o.script = *g.value; }},
    {'\0', "--structure-only", Argument::None, false, "--structure-only",
     "create the tables without copying rows",
     [](Options& o, const Given&) { o.structure_only = true; }},
    {'\0', "--no-drop", Argument::None, false, "--no-drop", "do not drop existing tables first",
     [](Options& o, const Given&) { o.no_drop = true; }},
    {'\0', "--no-keys", Argument::None, false, "--no-keys",
     "bare tables: no primary keys, indexes, NOT NULL, AUTO_INCREMENT,\n"
     "defaults, comments or foreign keys (by default all are carried over)",
     [](Options& o, const Given&) { o.no_keys = true; }},
    {'\0', "--no-views", Argument::None, false, "--no-views",
     "do not turn the saved queries into views and stored procedures (by\n"
     "default, after the tables, each select and union query MySQL can\n"
     "express becomes a view; each parameter, append, update, delete and\n"
     "make-table query a procedure that does its work when called)",
     [](Options& o, const Given&) { o.no_views = true; }},
    {'\0', "--ole-contents", Argument::None, false, "--ole-contents",
     "store the file an OLE Object value embeds instead of the value's bytes,\n"
     "where the OLE wrapper is of a known kind: a packed file (Package), a\n"
     "picture (Paint.Picture/PBrush bitmaps become .bmp files; BMP, JPEG, PNG\n"
     "and GIF stored whole), a document stored whole (PDF, RTF, ZIP-based\n"
     "Office files, Word/Excel/PowerPoint 97-2003); any other value keeps its\n"
     "bytes (default: every value byte for byte as Access keeps it)",
     [](Options& o, const Given&) { o.ole_contents = true; }},
    {'\0', "--source-charset", Argument::Required, false, "--source-charset CS",
     "the character set of an Access 97 file's text (any iconv name, e.g.\n"
     "CP936, GBK, BIG5) when its header names another code page; also\n"
     "source-charset= in an option file's [tablewright] group (default: the\n"
     "header's; Access 2000 and later files keep Unicode and ignore it)",
     [](Options& o, const Given& g) {
         if (g.value->empty())
             throw UsageError{"--source-charset 不能为空"};
         o.source_charset = *g.value;
     }},
    {'\0', "--table-type", Argument::Required, false, "--table-type T",
     "MyISAM (default), InnoDB, Aria, MEMORY or HEAP",
     [](Options& o, const Given& g) { o.table_type = TableType(*g.value); }},
    {'\0', "--batch-rows", Argument::Required, false, "--batch-rows N",
     "rows joined into one INSERT sent to the server (default 1000;\n"
     "1 sends one statement per row); reported statements are unchanged",
     [](Options& o, const Given& g) {
         const auto rows = WholeNumber(*g.value, 1, 1000000);
         if (!rows)
             throw UsageError{"--batch-rows 必须是 1 到 1000000 之间的整数：'" + *g.value + "'"};
         o.batch_rows = static_cast<int>(*rows);
     }},
    {'\0', "--extended-insert", Argument::Attached, false, "--extended-insert[=N]",
     "join the rows of a table into multi-row INSERTs in the script file, at\n"
     "most N rows (default: as many as fit 1 MiB) each; the script then\n"
     "loads many times faster (default: one INSERT per row)",
     [](Options& o, const Given& g) {
         // Without a value, as many rows as fit one line of the script's size limit.
         o.extended_insert_rows = tw::run::kExtendedInsertUnlimited;
         if (g.value) {
             const auto rows = WholeNumber(*g.value, 1, 1000000);
             if (!rows)
                 throw UsageError{"--extended-insert 必须是 1 到 1000000 之间的整数：'" + *g.value +
                                  "'"};
             o.extended_insert_rows = static_cast<int>(*rows);
         }
     }},
    {'\0', "--timeout", Argument::Required, false, "--timeout S",
     "seconds the server may stay silent before the connection is given up\n"
     "(default 120; connecting waits at most 10)",
     [](Options& o, const Given& g) {
         const auto seconds = WholeNumber(*g.value, 1, 86400);
         if (!seconds)
             throw UsageError{"--timeout 必须是 1 到 86400 之间的秒数：'" + *g.value + "'"};
         o.timeout_seconds = static_cast<unsigned>(*seconds);
     }},
    {'\0', "--verify", Argument::None, false, "--verify",
     "after the conversion, read each converted table back from the server and\n"
     "compare it with the Access table, row for row and value for value\n"
     "(exit status 1 when a table differs)",
     [](Options& o, const Given&) { o.verify = true; }},
    {'\0', "--verify-only", Argument::None, false, "--verify-only",
     "compare the tables with the database's tables, converted earlier by\n"
     "this tool or another, without converting; missing tables are reported",
     [](Options& o, const Given&) { o.verify_only = true; }},
    {'\0', "--sync", Argument::None, false, "--sync",
     "instead of dropping and reloading each table, change only what differs:\n"
     "insert the rows the server table lacks, update the values that differ\n"
     "and delete the rows Access no longer has (rows paired by the primary\n"
     "key as --verify pairs them; a table without one is written again whole,\n"
     "a missing table is converted, a column added in Access is added)",
     [](Options& o, const Given&) { o.sync = true; }},
    {'\0', "--keep-extra", Argument::None, false, "--keep-extra",
     "with --sync: keep the server rows Access no longer has",
     [](Options& o, const Given&) { o.keep_extra = true; }},
    {'\0', "--dry-run", Argument::None, false, "--dry-run",
     "read both sides and report what --sync (or, without it, a conversion)\n"
     "would change, changing nothing on the server",
     [](Options& o, const Given&) { o.dry_run = true; }},
    {'\0', "--quiet", Argument::None, false, "--quiet",
     "print neither progress nor the log and its summary",
     [](Options& o, const Given&) { o.quiet = true; }},
    {'?', "--help", Argument::None, false, "-?, --help", "show this help",
     [](Options& o, const Given&) { o.help = true; }},
    {'V', "--version", Argument::None, false, "-V, --version", "show the version",
     [](Options& o, const Given&) { o.version = true; }},
    // Taken by TakeOptionFiles at the start; met anywhere else, they are an error.
    {'\0', "--no-defaults", Argument::OptionFile, false, "--no-defaults", "read no option file",
     nullptr},
    {'\0', "--defaults-file", Argument::OptionFile, false, "--defaults-file=F",
     "read only this option file", nullptr},
    {'\0', "--defaults-extra-file", Argument::OptionFile, false, "--defaults-extra-file=F",
     "read this option file after the usual ones", nullptr},
};

constexpr std::string_view kUsageHead =
    R"(Usage: tablewright-cli [option-file options] [options] FILE

Converts the Access database FILE (.mdb, .accdb) into a MySQL/MariaDB server and/or an SQL
script file: one DROP TABLE IF EXISTS, one CREATE TABLE and one INSERT per row for each table.

Options:
)";

constexpr std::string_view kOptionFilesHead = R"(
Option files, as the mariadb client reads them; these options must come first:
)";

constexpr std::string_view kUsageTail =
    R"(Server settings that the command line does not give come from the [client], [client-server],
[client-mariadb] and [tablewright] groups of /etc/my.cnf, /etc/mysql/my.cnf and ~/.my.cnf,
then from $MYSQL_HOST, $MYSQL_TCP_PORT, $MYSQL_UNIX_PORT and $MYSQL_PWD.

At the end the log is printed, then a table of each table's rows read and written, failed
statements and seconds. Progress goes to standard error: a bar per table on a terminal,
otherwise a line every few seconds and one per finished table.

Exit status: 0 every statement was accepted; 1 the run finished with failures or was
interrupted; 2 usage error, unreadable source or unreachable server. A first Ctrl-C stops
after the current row; a second one ends the program at once.
)";

// An option's lines in --help: the names indented by two, the description from the 25th
// column on, beside the names where they leave room, else from the next line.
void AppendHelp(std::string& out, const OptionSpec& option) {
    constexpr std::size_t kColumn = 24;
    const std::string indent(kColumn, ' ');
    out += "  ";
    out += option.synopsis;
    if (2 + option.synopsis.size() < kColumn)
        out.append(kColumn - 2 - option.synopsis.size(), ' ');
    else
        out += "\n" + indent;
    for (std::size_t start = 0;;) {
        const std::size_t end = option.help.find('\n', start);
        out += option.help.substr(start, end - start);
        out += '\n';
        if (end == std::string_view::npos)
            break;
        out += indent;
        start = end + 1;
    }
}

const OptionSpec* FindLong(std::string_view name) {
    const auto* found = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [&](const OptionSpec& o) { return o.name == name; });
    return found == std::end(kOptions) ? nullptr : found;
}

// The short options are those of the mariadb client. Those that take a value take it attached
// (-uroot) or as the next argument (-u root); -p takes the password only attached, and -? and
// -V take none.
const OptionSpec* FindShort(char letter) {
    const auto* found = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [&](const OptionSpec& o) { return o.letter == letter; });
    return found == std::end(kOptions) || letter == '\0' ? nullptr : found;
}

// Overwrites a secret on the command line, so that process listings no longer show it.
void Scrub(char* text) {
    for (; *text; ++text)
        *text = 'x';
}

// Takes the option files named by the first arguments, as the mariadb client does: either
// --no-defaults, or --defaults-file=F and --defaults-extra-file=F, each at most once. Returns
// the number of arguments taken.
std::size_t TakeOptionFiles(const std::vector<std::string>& args,
                            tw::data::MySqlOptionFiles& files) {
    if (!args.empty() && args[0] == "--no-defaults") {
        files.read = false;
        return 1;
    }
    std::size_t taken = 0;
    auto take = [&](std::string_view option, std::string& file) {
        const std::string& arg = args[taken];
        if (!file.empty() || arg.size() <= option.size() ||
            arg.compare(0, option.size(), option) != 0 || arg[option.size()] != '=')
            return false;
        file = arg.substr(option.size() + 1);
        return true;
    };
    while (taken < args.size() && (take("--defaults-file", files.only_file) ||
                                   take("--defaults-extra-file", files.extra_file)))
        ++taken;
    return taken;
}

// An option file option after the start of the command line: what is wrong with it.
[[noreturn]] void MisplacedOptionFile(const Options& options, const std::string& name,
                                      const Given& given) {
    if (name != "--no-defaults" && given.value.value_or("").empty())
        throw UsageError{"选项 " + given.shown + " 需要一个文件名：" + given.shown + "=文件"};
    if (!options.option_files.read)
        throw UsageError{"选项 --no-defaults 之后不能再指定选项文件"};
    throw UsageError{"选项 " + given.shown + " 只能放在最前面，且只能给出一次"};
}

} // namespace

std::string UsageText() {
    std::string out(kUsageHead);
    bool option_files = false;
    for (const OptionSpec& option : kOptions) {
        if (option.argument == Argument::OptionFile && !option_files) {
            out += kOptionFilesHead;
            option_files = true;
        }
        AppendHelp(out, option);
    }
    out += kUsageTail;
    return out;
}

Options ParseArguments(int argc, char** argv) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    // The host that a separate argument after -h gave, in case it was meant as the Access file.
    std::string host_after_h;
    for (std::size_t i = TakeOptionFiles(args, options.option_files); i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> attached;
        std::size_t value_offset = 0; // where an attached value starts in the argument
        Given given;                  // given.shown: the option as it was written
        const OptionSpec* option = nullptr;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                attached = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                value_offset = eq + 1;
            }
            given.shown = arg;
            if (arg == "--") {
                for (++i; i < args.size(); ++i) {
                    if (!options.file.empty())
                        throw UsageError{"只能指定一个 Access 文件"};
                    options.file = args[i];
                }
                break;
            }
            option = FindLong(arg);
            if (!option)
                throw UsageError{"未知选项：" + arg};
        } else if (arg.size() > 1 && arg[0] == '-') {
            option = FindShort(arg[1]);
            if (!option || (arg.size() > 2 && option->argument == Argument::None))
                throw UsageError{"未知选项：" + arg};
            given.shown = arg.substr(0, 2);
            if (arg.size() > 2) {
                attached = arg.substr(2);
                value_offset = 2;
            }
        } else {
            if (!options.file.empty())
                throw UsageError{"只能指定一个 Access 文件"};
            options.file = arg;
            continue;
        }
        // Overwrites the value on the command line once taken, when it is a secret:
        // `word` counts from the option's own argument.
        const auto take_secret = [&](std::size_t word, std::size_t offset) {
            if (option->secret)
                Scrub(argv[word + 1] + offset);
        };
        switch (option->argument) {
        case Argument::None:
            if (attached)
                throw UsageError{"选项 " + given.shown + " 不带值"};
            break;
        case Argument::Required:
            if (attached) {
                given.value = attached;
            } else {
                if (i + 1 >= args.size())
                    throw UsageError{
                        given.shown == "-h"
                            ? std::string("选项 -h 需要服务器主机名，与 mariadb 客户端相同")
                            : "选项 " + given.shown + " 需要一个值"};
                if (given.shown == "-h")
                    host_after_h = args[i + 1];
                given.value = args[++i];
            }
            break;
        case Argument::Attached:
            given.value = attached;
            if (attached)
                take_secret(i, value_offset);
            break;
        case Argument::SourcePassword:
            // A separate word is the password unless it is an option or, with no FILE given
            // yet, the last word (then it is the FILE and the password is asked for).
            if (attached) {
                given.value = attached;
                take_secret(i, value_offset);
            } else if (i + 1 < args.size() && args[i + 1].rfind('-', 0) != 0 &&
                       !(i + 2 == args.size() && options.file.empty())) {
                given.value = args[++i];
                take_secret(i, 0);
            }
            break;
        case Argument::OptionFile:
            given.value = attached;
            MisplacedOptionFile(options, arg, given);
        }
        option->handle(options, given);
    }
    if (options.sync && options.structure_only)
        throw UsageError{"--sync 同步的是行，不能与 --structure-only 一起使用"};
    if (options.keep_extra && !options.sync)
        throw UsageError{"--keep-extra 只能与 --sync 一起使用"};
    if ((options.sync || options.dry_run) && (options.verify_only || options.scenario != 0))
        throw UsageError{"--sync 和 --dry-run 只用于服务器，不能与 --verify-only 或 --scenario "
                         "script/both 一起使用"};
    if (!options.help && !options.version && options.file.empty()) {
        std::error_code ignored;
        if (!host_after_h.empty() && std::filesystem::is_regular_file(host_after_h, ignored))
            throw UsageError{
                "缺少 Access 文件：'" + host_after_h +
                "' 跟在 -h 之后，被当作了服务器主机；-h 与 mariadb 客户端一样表示主机"};
        throw UsageError{"缺少 Access 文件"};
    }
    return options;
}

} // namespace tw::cli
