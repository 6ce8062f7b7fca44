// tablewright-cli: converts an Access file into MySQL/MariaDB and/or an SQL script file from
// the command line, through the same engine and run as the window.
#include "CommandLine.h"
#include "RunReport.h"

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/engine/ViewPlan.h"
#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlProvider.h"
#include "tablewright/mysql/SqlText.h"
#include "tablewright/providers/Providers.h"
#include "tablewright/run/ConversionRun.h"
#include "tablewright/run/Sync.h"
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

using tw::cli::Options;
using tw::cli::ParseArguments;
using tw::cli::UsageError;
using tw::cli::UsageText;

constexpr int kExitOk = 0;
constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> interrupted{false};

// The first signal asks the run to stop after the current row; a second one ends the program.
void OnInterrupt(int) {
    if (interrupted.exchange(true))
        _exit(130);
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
    auto trim = [](const std::string& text) {
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

int Run(const Options& options) {
    tw::engine::Cls_Convertion engine(tw::data::DefaultProviderFactory(),
                                      tw::data::DefaultScriptDestinationFactory());
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
    for (const auto& failure : engine.ListingFailures())
        std::cerr << "tablewright-cli: "
                  << (failure.table.empty() ? std::string("无法列出表")
                                            : "表 '" + failure.table + "' 的行数无法读取")
                  << "：" << failure.error << '\n';
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
                return tw::data::Utf8EqualsNoCase(entry.name, wanted);
            });
            if (found == entries.end()) {
                const auto links = engine.LinkedTables();
                const auto link = std::find_if(links.begin(), links.end(), [&](const auto& row) {
                    return tw::data::Utf8EqualsNoCase(row.table_name, wanted);
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
    const bool to_server =
        options.scenario != 1 || options.verify_only || options.sync || options.dry_run;
    // The target reaches the provider as it is, without a connection string between.
    const auto open_server = [target = ServerTarget(options)](unsigned timeout_seconds) {
        tw::data::MySqlTarget settled = target;
        if (timeout_seconds > 0) {
            settled.read_timeout_seconds = timeout_seconds;
            settled.write_timeout_seconds = timeout_seconds;
        }
        return tw::data::OpenMySqlProvider(settled);
    };
    if (to_server && !engine.OpenDestinationDB(open_server))
        return kExitUsage;
    engine.SetTableType(options.table_type);
    engine.SetBatchRows(options.batch_rows);
    // A cluster would keep tables of a type it does not replicate on one node only.
    if (to_server && !options.verify_only && !options.dry_run) {
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
    if (options.sync || options.dry_run) {
        const auto sync_status = [&](const tw::run::SyncReport& sync_report) {
            progress.Finish();
            if (!sync_report.error.empty())
                std::cerr << "tablewright-cli: " << sync_report.error << '\n';
            return sync_report.outcome == tw::run::SyncReport::Outcome::Done       ? kExitOk
                   : sync_report.outcome == tw::run::SyncReport::Outcome::Failures ? kExitFailures
                                                                                   : kExitUsage;
        };
        if (!options.sync)
            return sync_status(tw::run::PreviewConversion(engine, window, print_verify_line));
        tw::run::SyncOptions sync_options;
        sync_options.dry_run = options.dry_run;
        sync_options.keep_extra = options.keep_extra;
        const int status = sync_status(
            tw::run::SyncTables(engine, window, sync_options, print_verify_line, StopRequested));
        if (!options.verify || options.dry_run || status == kExitUsage)
            return status;
        return VerifyStatus(tw::run::VerifyTables(engine, window, print_verify_line, StopRequested),
                            status);
    }
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
        std::cerr << "tablewright-cli: " << summary.query_notes.size()
                  << " 个查询未转换为视图或存储过程：\n";
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
    Options options;
    try {
        options = ParseArguments(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "tablewright-cli: " << e.message << "（--help 查看用法）\n";
        return kExitUsage;
    }
    if (options.help) {
        std::cout << UsageText();
        return kExitOk;
    }
    if (options.version) {
        std::cout << "tablewright-cli " << TABLEWRIGHT_VERSION << '\n';
        return kExitOk;
    }
    return Run(options);
}
