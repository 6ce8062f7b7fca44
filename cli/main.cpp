// tablewright-cli: converts an Access file into MySQL/MariaDB and/or an SQL script file from
// the command line, through the same engine and run as the window.
#include "RunReport.h"

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/engine/ViewPlan.h"
#include "tablewright/mysql/MySqlProvider.h"
#include "tablewright/mysql/SqlText.h"
#include "tablewright/run/ConversionRun.h"
#include "tablewright/run/Verifier.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = R"(Usage: tablewright-cli [option-file options] [options] FILE

Converts the Access database FILE (.mdb, .accdb) into a MySQL/MariaDB server and/or an SQL
script file: one DROP TABLE IF EXISTS, one CREATE TABLE and one INSERT per row for each table.

Options:
  --source-password[=P] database password of the Access file, attached or as the next word;
                        alone (followed by an option or the FILE) it is asked for with echo
                        off, or read as the first line of standard input when that is not a
                        terminal; default: $TABLEWRIGHT_SOURCE_PASSWORD, else none
  --list                print the user tables as "name:rows", one a line, and exit; linked
                        tables (not converted) and saved queries are named on standard error
  --table NAME          convert this table, its name matched without regard to case as Access
                        does (repeatable; default: every user table)
  --scenario S          server (default), script, or both
  -h, --host=H          server host (default localhost, reached through the Unix socket as the
                        mariadb client does; any other host over TCP)
  -P, --port=N          server TCP port (default 3306); on the command line it means TCP
  -S, --socket=PATH     Unix socket of a local server (default /run/mysqld/mysqld.sock); on the
                        command line it means the socket
  --protocol=P          TCP or SOCKET; the last of --protocol, --port and --socket decides
  -u, --user=U          server user (default: your login name)
  -p[P], --password[=P] server password, only ever attached to the option; -p or --password
                        alone asks for it with echo off, or reads the first line of standard
                        input when that is not a terminal (a word after it stays an argument of
                        its own); default: the option files, then $MYSQL_PWD, else none
  -D, --database=D      target database, created when missing (default test)
  --ssl                 encrypt the connection when the server offers it (TCP only)
  --ssl-ca=FILE         certificate authorities to check the server's certificate against
  --ssl-cert=FILE       client certificate
  --ssl-key=FILE        client certificate's private key
  --ssl-verify-server-cert
                        refuse a server without encryption, or whose certificate does not
                        check out or does not name the host (each --ssl-* option implies --ssl)
  --script PATH         SQL script file (default test.sql in the current directory); - writes
                        it to standard output, and the log and progress to standard error
  --structure-only      create the tables without copying rows
  --no-drop             do not drop existing tables first
  --no-keys             bare tables: no primary keys, indexes, NOT NULL, AUTO_INCREMENT,
                        defaults, comments or foreign keys (by default all are carried over)
  --no-views            do not turn the saved select and union queries into views (by default
                        each one MySQL can express becomes a view after the tables)
  --ole-contents        store the file an OLE Object value embeds instead of the value's bytes,
                        where the OLE wrapper is of a known kind: a packed file (Package), a
                        picture (Paint.Picture/PBrush bitmaps become .bmp files; BMP, JPEG, PNG
                        and GIF stored whole), a document stored whole (PDF, RTF, ZIP-based
                        Office files, Word/Excel/PowerPoint 97-2003); any other value keeps its
                        bytes (default: every value byte for byte as Access keeps it)
  --source-charset CS   the character set of an Access 97 file's text (any iconv name, e.g.
                        CP936, GBK, BIG5) when its header names another code page; also
                        source-charset= in an option file's [tablewright] group (default: the
                        header's; Access 2000 and later files keep Unicode and ignore it)
  --table-type T        MyISAM (default), InnoDB, Aria, MEMORY or HEAP
  --batch-rows N        rows joined into one INSERT sent to the server (default 1000;
                        1 sends one statement per row); reported statements are unchanged
  --extended-insert[=N] join the rows of a table into multi-row INSERTs in the script file, at
                        most N rows (default: as many as fit 1 MiB) each; the script then
                        loads many times faster (default: one INSERT per row)
  --timeout S           seconds the server may stay silent before the connection is given up
                        (default 120; connecting waits at most 10)
  --verify              after the conversion, read each converted table back from the server and
                        compare it with the Access table, row for row and value for value
                        (exit status 1 when a table differs)
  --verify-only         compare the tables with the database's tables, converted earlier by
                        this tool or another, without converting; missing tables are reported
  --quiet               print neither progress nor the log and its summary
  -?, --help            show this help
  -V, --version         show the version

Option files, as the mariadb client reads them; these options must come first:
  --no-defaults         read no option file
  --defaults-file=F     read only this option file
  --defaults-extra-file=F
                        read this option file after the usual ones
Server settings that the command line does not give come from the [client], [client-server],
[client-mariadb] and [tablewright] groups of /etc/my.cnf, /etc/mysql/my.cnf and ~/.my.cnf,
then from $MYSQL_HOST, $MYSQL_TCP_PORT, $MYSQL_UNIX_PORT and $MYSQL_PWD.

At the end the log is printed, then a table of each table's rows read and written, failed
statements and seconds. Progress goes to standard error: a bar per table on a terminal,
otherwise a line every few seconds and one per finished table.

Exit status: 0 every statement was accepted; 1 the run finished with failures or was
interrupted; 2 usage error, unreadable source or unreachable server. A first Ctrl-C stops
after the current row; a second one ends the program at once.
)";

struct Options {
    std::string file;
    /// The Access file's password as given; unset when none was, so that
    /// $TABLEWRIGHT_SOURCE_PASSWORD fills it.
    std::optional<std::string> source_password;
    /// --source-password came without a value: it is asked for.
    bool prompt_source_password = false;
    bool list = false;
    std::vector<std::string> tables;
    std::int16_t scenario = 0;
    /// What is left open (empty, 0) comes from the option files and the environment when the
    /// connection is made, as with the mariadb client.
    std::string host;
    int port = 0;
    std::string user;
    std::string socket;
    tw::data::MySqlProtocol protocol = tw::data::MySqlProtocol::Default;
    tw::data::MySqlTls tls;
    tw::data::MySqlOptionFiles option_files{true, {}, {}};
    /// The password as given; unset when none was given, so the environment or a prompt fills it.
    std::optional<std::string> password;
    bool prompt_password = false;
    unsigned timeout_seconds = 0;
    std::string database = "test";
    std::string script = "test.sql";
    bool structure_only = false;
    bool no_drop = false;
    bool no_keys = false;
    bool no_views = false;
    bool ole_contents = false;
    /// The character set of an Access 97 file's text when its header names the wrong code page
    /// (any iconv name); empty: the header's.
    std::string source_charset;
    std::string table_type = "MyISAM";
    int batch_rows = tw::data::kDefaultBatchRows;
    /// Rows joined into one INSERT of the script file (1: one INSERT per row).
    int extended_insert_rows = 1;
    bool quiet = false;
    bool version = false;
    bool verify = false;
    bool verify_only = false;
};

struct UsageError {
    std::string message;
};

std::atomic<bool> interrupted{false};

// The first signal asks the run to stop after the current row; a second one ends the program.
void OnInterrupt(int) {
    if (interrupted.exchange(true))
        _exit(130);
}

// Overwrites a secret on the command line, so that process listings no longer show it.
void Scrub(char* text) {
    for (; *text; ++text)
        *text = 'x';
}

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

// The short options of the mariadb client and the long option each stands for. Those that take
// a value take it attached (-uroot) or as the next argument (-u root); -p takes the password
// only attached, and -? and -V take none.
struct ShortOption {
    char letter;
    const char* name;
    bool takes_value;
};
constexpr ShortOption kShortOptions[] = {
    {'h', "--host", true},     {'P', "--port", true},     {'u', "--user", true},
    {'D', "--database", true}, {'S', "--socket", true},   {'p', "--password", false},
    {'?', "--help", false},    {'V', "--version", false},
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return tw::data::Utf8ToLower(a) == tw::data::Utf8ToLower(b);
}

// The table type as the server knows it; a usage error for one no current server has.
std::string TableType(const std::string& text) {
    for (const char* known : {"MyISAM", "InnoDB", "Aria", "MEMORY", "HEAP"})
        if (EqualsNoCase(text, known))
            return known;
    for (const char* gone : {"ISAM", "BDB"})
        if (EqualsNoCase(text, gone))
            throw UsageError{"表类型 " + std::string(gone) +
                             " 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 MyISAM 或 "
                             "InnoDB"};
    throw UsageError{"--table-type 只能是 MyISAM、InnoDB、Aria、MEMORY 或 HEAP：'" + text + "'"};
}

tw::data::MySqlProtocol Protocol(const std::string& text) {
    if (EqualsNoCase(text, "TCP"))
        return tw::data::MySqlProtocol::Tcp;
    if (EqualsNoCase(text, "SOCKET"))
        return tw::data::MySqlProtocol::Socket;
    throw UsageError{"--protocol 只能是 TCP 或 SOCKET：'" + text + "'"};
}

// The last value of `name` in the [tablewright] group of the option files the run reads (the
// usual ones, or the one --defaults-file names, then --defaults-extra-file's); empty when none
// sets it. Only this tool's own settings are read here: the client library reads the rest.
std::string OptionFileValue(const tw::data::MySqlOptionFiles& files, const std::string& name) {
    if (!files.read)
        return {};
    std::vector<std::string> paths;
    if (!files.only_file.empty()) {
        paths.push_back(files.only_file);
    } else {
        paths = {"/etc/my.cnf", "/etc/mysql/my.cnf"};
        if (const char* home = std::getenv("HOME"))
            paths.push_back(std::string(home) + "/.my.cnf");
    }
    if (!files.extra_file.empty())
        paths.push_back(files.extra_file);
    auto trim = [](std::string text) {
        const auto first = text.find_first_not_of(" \t\r");
        const auto last = text.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    std::string found;
    for (const auto& path : paths) {
        std::ifstream in(path);
        std::string line;
        bool in_group = false;
        while (std::getline(in, line)) {
            line = trim(line);
            if (line.empty() || line[0] == '#' || line[0] == ';')
                continue;
            if (line[0] == '[') {
                in_group = trim(line.substr(1, line.find(']') - 1)) == "tablewright";
                continue;
            }
            const auto equals = line.find('=');
            std::string key = trim(line.substr(0, equals));
            std::replace(key.begin(), key.end(), '_', '-');
            if (in_group && equals != std::string::npos && key == name) {
                found = trim(line.substr(equals + 1));
                if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
                    found.back() == found.front())
                    found = found.substr(1, found.size() - 2);
            }
        }
    }
    return found;
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

Options ParseArguments(int argc, char** argv, bool& show_help) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    // A secret value is taken and then overwritten on the command line.
    auto secret = [&](std::size_t& i, bool has_inline_value, const std::string& inline_value,
                      std::size_t value_offset, const std::string& arg) -> std::string {
        if (has_inline_value) {
            Scrub(argv[i + 1] + value_offset); // after "--option=" or "-p"
            return inline_value;
        }
        if (i + 1 >= args.size())
            throw UsageError{"选项 " + arg + " 需要一个值"};
        ++i;
        Scrub(argv[i + 1]);
        return args[i];
    };
    // The host that a separate argument after -h gave, in case it was meant as the Access file.
    std::string host_after_h;
    for (std::size_t i = TakeOptionFiles(args, options.option_files); i < args.size(); ++i) {
        std::string arg = args[i];
        std::string inline_value;
        bool has_inline_value = false;
        std::size_t value_offset = 0; // where an attached value starts in the argument
        std::string shown;            // the option as it was written, for messages
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                inline_value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_inline_value = true;
                value_offset = eq + 1;
            }
            shown = arg;
        } else if (arg.size() > 1 && arg[0] == '-') {
            const auto* known =
                std::find_if(std::begin(kShortOptions), std::end(kShortOptions),
                             [&](const ShortOption& o) { return o.letter == arg[1]; });
            if (known == std::end(kShortOptions) ||
                (arg.size() > 2 && !known->takes_value && known->letter != 'p'))
                throw UsageError{"未知选项：" + arg};
            shown = arg.substr(0, 2);
            if (arg.size() > 2) {
                inline_value = arg.substr(2);
                has_inline_value = true;
                value_offset = 2;
            }
            arg = known->name;
        }
        auto value = [&]() -> std::string {
            if (has_inline_value)
                return inline_value;
            if (i + 1 >= args.size())
                throw UsageError{
                    shown == "-h" ? std::string("选项 -h 需要服务器主机名，与 mariadb 客户端相同")
                                  : "选项 " + shown + " 需要一个值"};
            if (shown == "-h")
                host_after_h = args[i + 1];
            return args[++i];
        };
        auto flag = [&] {
            if (has_inline_value)
                throw UsageError{"选项 " + shown + " 不带值"};
        };
        auto not_empty = [&](std::string text) {
            if (text.empty())
                throw UsageError{"选项 " + shown + " 的值不能为空"};
            return text;
        };
        if (arg == "--help") {
            flag();
            show_help = true;
        } else if (arg == "--version") {
            flag();
            options.version = true;
        } else if (arg == "--no-defaults" || arg == "--defaults-file" ||
                   arg == "--defaults-extra-file") {
            if (arg != "--no-defaults" && inline_value.empty())
                throw UsageError{"选项 " + shown + " 需要一个文件名：" + shown + "=文件"};
            if (!options.option_files.read)
                throw UsageError{"选项 --no-defaults 之后不能再指定选项文件"};
            throw UsageError{"选项 " + shown + " 只能放在最前面，且只能给出一次"};
        } else if (arg == "--source-password") {
            // A separate word is the password unless it is an option or, with no FILE given yet,
            // the last word (then it is the FILE and the password is asked for).
            const bool next_is_value = i + 1 < args.size() && args[i + 1].rfind('-', 0) != 0 &&
                                       !(i + 2 == args.size() && options.file.empty());
            options.prompt_source_password = !has_inline_value && !next_is_value;
            options.source_password.reset();
            if (!options.prompt_source_password)
                options.source_password =
                    secret(i, has_inline_value, inline_value, value_offset, shown);
        } else if (arg == "--list") {
            flag();
            options.list = true;
        } else if (arg == "--table") {
            options.tables.push_back(not_empty(value()));
        } else if (arg == "--scenario") {
            const std::string s = value();
            if (s == "server")
                options.scenario = 0;
            else if (s == "script")
                options.scenario = 1;
            else if (s == "both")
                options.scenario = 2;
            else
                throw UsageError{"--scenario 只能是 server、script 或 both：'" + s + "'"};
        } else if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            // As with the mariadb client, the last of --port, --socket and --protocol decides
            // between TCP and the socket.
            const std::string p = value();
            std::size_t used = 0;
            int port = 0;
            try {
                port = std::stoi(p, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != p.size() || port <= 0 || port > 65535)
                throw UsageError{"端口号无效：'" + p + "'"};
            options.port = port;
            options.protocol = tw::data::MySqlProtocol::Tcp;
        } else if (arg == "--socket") {
            options.socket = not_empty(value());
            options.protocol = tw::data::MySqlProtocol::Socket;
        } else if (arg == "--protocol") {
            options.protocol = Protocol(value());
        } else if (arg == "--user") {
            options.user = value();
        } else if (arg == "--password") {
            // As with the mariadb client, the password is only ever attached (-pP, --password=P):
            // alone the option asks for it, and a word after it is an argument of its own.
            if (has_inline_value) {
                options.password = secret(i, true, inline_value, value_offset, shown);
                options.prompt_password = false;
            } else {
                options.prompt_password = true;
                options.password.reset();
            }
        } else if (arg == "--ssl") {
            flag();
            options.tls.enabled = true;
        } else if (arg == "--ssl-ca" || arg == "--ssl-cert" || arg == "--ssl-key") {
            std::string& file = arg == "--ssl-ca"     ? options.tls.ca
                                : arg == "--ssl-cert" ? options.tls.cert
                                                      : options.tls.key;
            file = not_empty(value());
            options.tls.enabled = true;
        } else if (arg == "--ssl-verify-server-cert") {
            flag();
            options.tls.verify_server_cert = true;
            options.tls.enabled = true;
        } else if (arg == "--database") {
            options.database = value();
            if (options.database.empty())
                throw UsageError{"--database 不能为空"};
        } else if (arg == "--script") {
            options.script = value();
        } else if (arg == "--structure-only") {
            flag();
            options.structure_only = true;
        } else if (arg == "--no-keys") {
            flag();
            options.no_keys = true;
        } else if (arg == "--no-views") {
            flag();
            options.no_views = true;
        } else if (arg == "--ole-contents") {
            flag();
            options.ole_contents = true;
        } else if (arg == "--source-charset") {
            options.source_charset = value();
            if (options.source_charset.empty())
                throw UsageError{"--source-charset 不能为空"};
        } else if (arg == "--no-drop") {
            flag();
            options.no_drop = true;
        } else if (arg == "--table-type") {
            options.table_type = TableType(value());
        } else if (arg == "--batch-rows") {
            const std::string n = value();
            const auto rows = WholeNumber(n, 1, 1000000);
            if (!rows)
                throw UsageError{"--batch-rows 必须是 1 到 1000000 之间的整数：'" + n + "'"};
            options.batch_rows = static_cast<int>(*rows);
        } else if (arg == "--extended-insert") {
            // Without a value, as many rows as fit one line of the script's size limit.
            options.extended_insert_rows = tw::run::kExtendedInsertUnlimited;
            if (has_inline_value) {
                const auto rows = WholeNumber(inline_value, 1, 1000000);
                if (!rows)
                    throw UsageError{"--extended-insert 必须是 1 到 1000000 之间的整数：'" +
                                     inline_value + "'"};
                options.extended_insert_rows = static_cast<int>(*rows);
            }
        } else if (arg == "--timeout") {
            const std::string t = value();
            const auto seconds = WholeNumber(t, 1, 86400);
            if (!seconds)
                throw UsageError{"--timeout 必须是 1 到 86400 之间的秒数：'" + t + "'"};
            options.timeout_seconds = static_cast<unsigned>(*seconds);
        } else if (arg == "--verify") {
            flag();
            options.verify = true;
        } else if (arg == "--verify-only") {
            flag();
            options.verify_only = true;
        } else if (arg == "--quiet") {
            flag();
            options.quiet = true;
        } else if (arg == "--") {
            for (++i; i < args.size(); ++i) {
                if (!options.file.empty())
                    throw UsageError{"只能指定一个 Access 文件"};
                options.file = args[i];
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"未知选项：" + arg};
        } else {
            if (!options.file.empty())
                throw UsageError{"只能指定一个 Access 文件"};
            options.file = arg;
        }
    }
    if (!show_help && !options.version && options.file.empty()) {
        std::error_code ignored;
        if (!host_after_h.empty() && std::filesystem::is_regular_file(host_after_h, ignored))
            throw UsageError{
                "缺少 Access 文件：'" + host_after_h +
                "' 跟在 -h 之后，被当作了服务器主机；-h 与 mariadb 客户端一样表示主机"};
        throw UsageError{"缺少 Access 文件"};
    }
    return options;
}

// Terminal settings to put back when a signal ends the program while the password is typed.
termios saved_terminal{};
volatile std::sig_atomic_t echo_is_off = 0;

void RestoreTerminalAndStop(int signal_number) {
    if (echo_is_off)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Reads a password without showing it: from the terminal with echo off after `prompt`, or as
// the first line of standard input when that is not a terminal.
std::string ReadPassword(const char* prompt = "MySQL 密码：") {
    std::string password;
    if (!isatty(STDIN_FILENO)) {
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        return password;
    }
    termios terminal{};
    const bool hidden = tcgetattr(STDIN_FILENO, &terminal) == 0;
    constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    void (*previous[std::size(kStopSignals)])(int) = {};
    if (hidden) {
        saved_terminal = terminal;
        for (std::size_t k = 0; k < std::size(kStopSignals); ++k)
            previous[k] = std::signal(kStopSignals[k], RestoreTerminalAndStop);
        termios quiet = terminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        echo_is_off = 1;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // The prompt comes once echo is off, so nothing typed after it is ever shown.
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    std::getline(std::cin, password);
    if (hidden) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        echo_is_off = 0;
        for (std::size_t k = 0; k < std::size(kStopSignals); ++k)
            std::signal(kStopSignals[k], previous[k]);
    }
    std::fputc('\n', stderr); // the Enter the user typed was not shown
    return password;
}

// The server as the options name it, the password asked for when it is to be. What they leave
// open comes from the option files and the environment when the connection is made, as with
// the mariadb client.
tw::data::MySqlTarget ServerTarget(const Options& options) {
    tw::data::MySqlTarget target;
    target.host = options.host;
    target.port = options.port;
    target.user = options.user;
    target.socket = options.socket;
    target.protocol = options.protocol;
    target.tls = options.tls;
    target.option_files = options.option_files;
    target.password_given = options.password || options.prompt_password;
    target.password = options.password          ? *options.password
                      : options.prompt_password ? ReadPassword()
                                                : std::string();
    return target;
}

// An option file named on the command line must be there, as the mariadb client requires.
bool OptionFilesReadable(const tw::data::MySqlOptionFiles& files) {
    for (const std::string& file : {files.only_file, files.extra_file}) {
        std::error_code ignored;
        if (!file.empty() &&
            (::access(file.c_str(), R_OK) != 0 || std::filesystem::is_directory(file, ignored))) {
            std::cerr << "tablewright-cli: 无法读取选项文件 '" << file << "'\n";
            return false;
        }
    }
    return true;
}

// "已中断", with how far the run got: how many rows of the table it cut short arrived, and how
// many tables did not start.
std::string CancelLine(const tw::run::RunSummary& summary,
                       const std::vector<tw::data::TableEntry>& entries, std::size_t tables) {
    std::string line = "已中断";
    const tw::run::TableOutcome* cut = !summary.tables.empty() && summary.tables.back().cancelled
                                           ? &summary.tables.back()
                                           : nullptr;
    if (cut) {
        std::int64_t total = 0;
        for (const auto& entry : entries)
            if (entry.name == cut->name)
                total = entry.rows;
        line += "：表 '" + cut->name + "' 已写入 " + std::to_string(cut->rows_written) +
                " 行（共 " + std::to_string(total) + " 行）";
    }
    if (tables > summary.tables.size())
        line += std::string(cut ? "，" : "：") + std::to_string(tables - summary.tables.size()) +
                " 个表未开始";
    return line;
}

std::string WithUnixLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

bool StopRequested() {
    return interrupted;
}

// The exit status after a verification: that of the conversion when everything is identical (or
// nothing on a server was to be compared), 1 for a difference, 2 when the server failed.
int VerifyStatus(const tw::run::VerifyReport& report, int conversion_status) {
    if (!report.error.empty())
        std::cerr << "tablewright-cli: " << report.error << '\n';
    switch (report.outcome) {
    case tw::run::VerifyReport::Outcome::Different:
        return kExitFailures;
    case tw::run::VerifyReport::Outcome::ServerUnavailable:
        return kExitUsage;
    default:
        return conversion_status;
    }
}

int Run(const Options& options) {
    tw::engine::Cls_Convertion engine;
    engine.ShowCriticalMessage = [](const std::string& text) {
        std::cerr << "tablewright-cli: " << text << '\n';
    };
    if (!OptionFilesReadable(options.option_files))
        return kExitUsage;
    std::string source_password;
    if (options.source_password) {
        source_password = *options.source_password;
    } else if (options.prompt_source_password) {
        source_password = ReadPassword("Access 数据库密码：");
    } else if (const char* from_environment = std::getenv("TABLEWRIGHT_SOURCE_PASSWORD")) {
        source_password = from_environment;
    }
    engine.SetSourceCharset(!options.source_charset.empty()
                                ? options.source_charset
                                : OptionFileValue(options.option_files, "source-charset"));
    const bool opened = engine.OpenSourceDB(options.file, source_password);
    // The engine keeps what it needs; this copy is wiped (through a volatile pointer, so that
    // the writes to a string about to die are not left out).
    for (volatile char* c = source_password.data(); *c != '\0'; ++c)
        *c = '\0';
    if (!opened)
        return kExitUsage;

    const std::vector<tw::data::TableEntry> entries = engine.SourceTables();
    if (options.list) {
        for (const auto& entry : entries)
            std::cout << entry.name << ':' << entry.rows << '\n';
        // Linked tables and saved queries are not converted tables; they are named apart, so
        // that the list stays a list of tables for scripts that read it.
        for (const auto& link : engine.LinkedTables())
            std::cerr << "tablewright-cli: 链接表 '" << link.table_name << "'，数据在 "
                      << link.link_target << "中，不转换\n";
        try {
            for (const auto& query : engine.SourceQueries())
                std::cerr << "tablewright-cli: 查询 '" << query.name << "'（"
                          << tw::engine::QueryKindName(query.kind) << "）\n";
        } catch (const tw::data::DataAccessError& e) {
            std::cerr << "tablewright-cli: 无法读取查询：" << e.what() << '\n';
        }
        return kExitOk;
    }

    tw::run::PlainRunWindow window;
    window.scenario = options.scenario;
    window.script_path = options.script;
    window.database_name = options.database;
    window.no_data = options.structure_only ? 1 : 0;
    window.drop_tables = options.no_drop ? 0 : 1;
    window.keep_keys = options.no_keys ? 0 : 1;
    window.convert_views = options.no_views ? 0 : 1;
    window.ole_contents = options.ole_contents ? 1 : 0;
    window.extended_insert_rows = options.extended_insert_rows;
    if (options.tables.empty()) {
        for (const auto& entry : entries)
            window.tables.push_back({entry.name, true});
    } else {
        for (const auto& wanted : options.tables) {
            // Access tells table names apart without regard to case.
            const auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
                return EqualsNoCase(entry.name, wanted);
            });
            if (found == entries.end()) {
                const auto links = engine.LinkedTables();
                const auto link = std::find_if(links.begin(), links.end(), [&](const auto& row) {
                    return EqualsNoCase(row.table_name, wanted);
                });
                if (link != links.end()) {
                    std::cerr << "tablewright-cli: '" << link->table_name << "' 是链接表，数据在 "
                              << link->link_target << "中，不在这个文件里，无法转换\n";
                    return kExitUsage;
                }
                std::cerr << "tablewright-cli: 文件中没有用户表 '" << wanted
                          << "'（--list 列出所有表）\n";
                return kExitUsage;
            }
            const bool listed =
                std::any_of(window.tables.begin(), window.tables.end(),
                            [&](const auto& table) { return table.name == found->name; });
            if (!listed)
                window.tables.push_back({found->name, true});
        }
    }
    // With the script on standard output, everything else goes to standard error.
    const bool script_to_output =
        options.scenario != 0 && options.script == tw::run::kStandardOutput;
    std::ostream& report = script_to_output ? std::cerr : std::cout;

    engine.SetServerTimeout(options.timeout_seconds);
    const bool to_server = options.scenario != 1 || options.verify_only;
    if (to_server && !engine.OpenDestinationDB(ServerTarget(options)))
        return kExitUsage;
    engine.SetTableType(options.table_type);
    engine.SetBatchRows(options.batch_rows);
    // A cluster would keep tables of a type it does not replicate on one node only.
    if (to_server && !options.verify_only) {
        if (const std::string refusal = engine.ClusterRefusal(); !refusal.empty()) {
            std::cerr << "tablewright-cli: " << refusal << '\n';
            return kExitUsage;
        }
    }

    using tw::cli::ProgressReport;
    ProgressReport progress(options.quiet                ? ProgressReport::Style::None
                            : isatty(STDERR_FILENO) != 0 ? ProgressReport::Style::Bar
                                                         : ProgressReport::Style::Lines);
    window.on_status = [&progress](const std::string& status) { progress.TableStarted(status); };
    window.on_progress = [&progress](double value) { progress.Progress(value); };

    tw::run::ConversionRun run(engine, window);
    run.TableDone = [&progress](const tw::run::TableOutcome& table) { progress.TableDone(table); };
    // Ctrl-C stops the run like the window's Cancel: the current table stops before its next
    // row and no further table starts.
    engine.DoEvents = [&engine, &window] {
        if (interrupted) {
            engine.EndProgress = true;
            window.exit_confirmed = true;
        }
    };
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    engine.EndProgress = false;
    // A verification line goes out at once, so that each table shows as soon as it is compared.
    const auto print_verify_line = [&report](const std::string& line) {
        report << line << std::endl;
    };
    if (options.verify_only)
        return VerifyStatus(tw::run::VerifyTables(engine, window, print_verify_line, StopRequested),
                            kExitOk);
    run.RunConversion();
    progress.Finish();

    const auto& summary = run.Summary();
    if (!options.quiet) {
        report << WithUnixLineEnds(window.message) << "\n\n";
        tw::cli::WriteSummaryTable(report, summary);
    }
    if (!summary.schema_notes.empty()) {
        // What of the schema did not arrive as Access had it, even when every row did.
        std::cerr << "tablewright-cli: " << summary.schema_notes.size()
                  << " 处结构未能按 Access 的原样保留：\n";
        for (const auto& note : summary.schema_notes)
            std::cerr << "  " << note << '\n';
    }
    if (!summary.query_notes.empty()) {
        std::cerr << "tablewright-cli: " << summary.query_notes.size() << " 个查询未转换为视图：\n";
        for (const auto& note : summary.query_notes)
            std::cerr << "  " << note << '\n';
    }
    int status = kExitOk;
    if (options.verify)
        status = VerifyStatus(
            tw::run::VerifyConversion(engine, window, summary, print_verify_line, StopRequested),
            kExitOk);
    if (summary.Clean())
        return status;
    // Each failure on a line of its own, the cause first.
    if (summary.database_failed)
        std::cerr << "tablewright-cli: 创建数据库失败 '" << window.database_name << "'\n";
    if (summary.script_failed)
        std::cerr << "tablewright-cli: "
                  << (script_to_output ? std::string("无法写入标准输出")
                                       : "无法写入脚本文件 '" + options.script + "'")
                  << (summary.tables.empty() ? "，没有转换任何表" : "") << '\n';
    if (summary.cancelled)
        std::cerr << "tablewright-cli: " << CancelLine(summary, entries, window.tables.size())
                  << '\n';
    if (summary.tables_failed > 0)
        std::cerr << "tablewright-cli: " << summary.tables_failed << " 个表转换出错，共 "
                  << summary.failed_statements << " 条语句失败\n";
    return kExitFailures;
}

} // namespace

int main(int argc, char** argv) {
    // A closed pipe or a file-size limit makes a write fail with its reason (reported in the
    // log) instead of ending the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    bool show_help = false;
    Options options;
    try {
        options = ParseArguments(argc, argv, show_help);
    } catch (const UsageError& e) {
        std::cerr << "tablewright-cli: " << e.message << "（--help 查看用法）\n";
        return kExitUsage;
    }
    if (show_help) {
        std::cout << kUsage;
        return kExitOk;
    }
    if (options.version) {
        std::cout << "tablewright-cli " << TABLEWRIGHT_VERSION << '\n';
        return kExitOk;
    }
    return Run(options);
}
