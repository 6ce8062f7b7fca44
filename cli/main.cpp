// tablewright-cli: converts an Access file into MySQL/MariaDB and/or an SQL script file from
// the command line, through the same engine and run as the window.
#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/run/ConversionRun.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = R"(Usage: tablewright-cli [options] FILE

Converts the Access database FILE (.mdb, .accdb) into a MySQL/MariaDB server and/or an SQL
script file: one DROP TABLE IF EXISTS, one CREATE TABLE and one INSERT per row for each table.

Options:
  --source-password P   database password of the Access file
  --list                print the user tables as "name:rows", one a line, and exit
  --table NAME          convert this table (repeatable; default: every user table)
  --scenario S          server (default), script, or both
  --host H              MySQL server host (default localhost, always over TCP)
  --port N              MySQL server port (default 3306)
  --user U              MySQL user (default root)
  --password P          MySQL password (default empty)
  --database D          target database, created when missing (default test)
  --script PATH         SQL script file (default test.sql in the current directory)
  --structure-only      create the tables without copying rows
  --no-drop             do not drop existing tables first
  --table-type T        MyISAM (default), InnoDB, ISAM, BDB or HEAP
  --batch-rows N        rows joined into one INSERT sent to the server (default 1000;
                        1 sends one statement per row); reported statements are unchanged
  --quiet               print neither progress nor the log
  --help                show this help

Exit status: 0 every statement was accepted; 1 the run finished with failures or was
interrupted; 2 usage error, unreadable source or unreachable server.
)";

struct Options {
    std::string file;
    std::string source_password;
    bool list = false;
    std::vector<std::string> tables;
    std::int16_t scenario = 0;
    std::string host = "localhost";
    int port = 3306;
    std::string user = "root";
    std::string password;
    std::string database = "test";
    std::string script = "test.sql";
    bool structure_only = false;
    bool no_drop = false;
    std::string table_type = "MyISAM";
    int batch_rows = tw::data::kDefaultBatchRows;
    bool quiet = false;
};

struct UsageError {
    std::string message;
};

std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted = true; }

Options ParseArguments(int argc, char** argv, bool& show_help) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string inline_value;
        bool has_inline_value = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                inline_value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_inline_value = true;
            }
        }
        auto value = [&]() -> std::string {
            if (has_inline_value)
                return inline_value;
            if (i + 1 >= args.size())
                throw UsageError{"选项 " + arg + " 需要一个值"};
            return args[++i];
        };
        auto flag = [&] {
            if (has_inline_value)
                throw UsageError{"选项 " + arg + " 不带值"};
        };
        if (arg == "--help" || arg == "-h") {
            show_help = true;
        } else if (arg == "--source-password") {
            options.source_password = value();
        } else if (arg == "--list") {
            flag();
            options.list = true;
        } else if (arg == "--table") {
            options.tables.push_back(value());
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
        } else if (arg == "--user") {
            options.user = value();
        } else if (arg == "--password") {
            options.password = value();
        } else if (arg == "--database") {
            options.database = value();
            if (options.database.empty())
                throw UsageError{"--database 不能为空"};
        } else if (arg == "--script") {
            options.script = value();
        } else if (arg == "--structure-only") {
            flag();
            options.structure_only = true;
        } else if (arg == "--no-drop") {
            flag();
            options.no_drop = true;
        } else if (arg == "--table-type") {
            options.table_type = value();
        } else if (arg == "--batch-rows") {
            const std::string n = value();
            std::size_t used = 0;
            long rows = 0;
            try {
                rows = std::stol(n, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != n.size() || rows < 1 || rows > 1000000)
                throw UsageError{"--batch-rows 必须是 1 到 1000000 之间的整数：'" + n + "'"};
            options.batch_rows = static_cast<int>(rows);
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
    if (!show_help && options.file.empty())
        throw UsageError{"缺少 Access 文件"};
    return options;
}

std::string TableNameOf(const std::string& entry) {
    // The row count follows the last ':', so a name holding ':' stays whole.
    const auto colon = entry.rfind(':');
    return colon == std::string::npos ? entry : entry.substr(0, colon);
}

/// Draws one progress line per table on a terminal.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Finish(); }
    void Table(const std::string& status) {
        if (!enabled_)
            return;
        Finish();
        status_ = status;
        Draw(0);
        open_ = true;
    }
    void Draw(double percent) {
        if (!enabled_)
            return;
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(percent * kWidth / 100.0);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kWidth - filled), '.');
        std::fprintf(stderr, "\r%s [%s] %3d%%", status_.c_str(), bar.c_str(),
                     static_cast<int>(percent));
        std::fflush(stderr);
        open_ = true;
    }
    void Finish() {
        if (enabled_ && open_)
            std::fputc('\n', stderr);
        open_ = false;
    }

private:
    bool enabled_;
    bool open_ = false;
    std::string status_;
};

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

int Run(const Options& options) {
    tw::engine::Cls_Convertion engine;
    engine.ShowCriticalMessage = [](const std::string& text) {
        std::cerr << "tablewright-cli: " << text << '\n';
    };
    if (!engine.OpenSourceDB(options.file, options.source_password))
        return kExitUsage;

    std::vector<std::string> entries;
    const std::int32_t count = engine.GetSourceTables(entries);
    if (options.list) {
        for (std::int32_t i = 1; i <= count; ++i)
            std::cout << entries[static_cast<std::size_t>(i)] << '\n';
        return kExitOk;
    }

    tw::run::PlainRunWindow window;
    window.scenario = options.scenario;
    window.script_path = options.script;
    window.database_name = options.database;
    window.no_data = options.structure_only ? 1 : 0;
    window.drop_tables = options.no_drop ? 0 : 1;
    std::vector<std::string> names;
    for (std::int32_t i = 1; i <= count; ++i)
        names.push_back(TableNameOf(entries[static_cast<std::size_t>(i)]));
    if (options.tables.empty()) {
        for (const auto& name : names)
            window.tables.push_back({name, true});
    } else {
        for (const auto& wanted : options.tables) {
            bool found = false;
            for (const auto& name : names)
                found = found || name == wanted;
            if (!found) {
                std::cerr << "tablewright-cli: 文件中没有用户表 '" << wanted
                          << "'（--list 列出所有表）\n";
                return kExitUsage;
            }
            window.tables.push_back({wanted, true});
        }
    }

    if (options.scenario != 1 &&
        !engine.OpenDestinationDB(options.host, options.user, options.password, options.port))
        return kExitUsage;
    engine.SetTableType(options.table_type);
    engine.SetBatchRows(options.batch_rows);

    ProgressBar bar(!options.quiet && isatty(STDERR_FILENO));
    window.on_status = [&bar](const std::string& status) { bar.Table(status); };
    window.on_progress = [&bar](double value) { bar.Draw(value); };

    tw::run::ConversionRun run(engine, window);
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
    run.RunConversion();
    bar.Finish();

    if (!options.quiet)
        std::cout << WithUnixLineEnds(window.message) << '\n';
    const auto& summary = run.Summary();
    if (summary.Clean())
        return kExitOk;
    if (summary.cancelled)
        std::cerr << "tablewright-cli: 已中断\n";
    else
        std::cerr << "tablewright-cli: " << summary.tables_failed << " 个表转换出错，共 "
                  << summary.failed_statements << " 条语句失败\n";
    return kExitFailures;
}

} // namespace

int main(int argc, char** argv) {
    bool show_help = false;
    Options options;
    try {
        options = ParseArguments(argc, argv, show_help);
    } catch (const UsageError& e) {
        std::cerr << "tablewright-cli: " << e.message << "\n\n" << kUsage;
        return kExitUsage;
    }
    if (show_help) {
        std::cout << kUsage;
        return kExitOk;
    }
    return Run(options);
}
