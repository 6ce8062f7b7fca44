// tablewright-soak: converts one Access file several times in one process, to the server and to a
// script file at once, through the same engine and run as the command-line tool, and prints the
// process's peak and current memory after every pass. Memory that keeps growing from pass to
// pass is a leak or a cache without bound. bench/soak starts a server and runs this.
#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/providers/Providers.h"
#include "tablewright/run/ConversionRun.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = R"(Usage: tablewright-soak [options] FILE

Converts FILE into a MySQL/MariaDB server and an SQL script file at once, PASSES times in one
process, and prints the wall time and memory of each pass.

Options:
  --passes N       conversions to run (default 10)
  --host H         MySQL server host (default 127.0.0.1)
  --port N         MySQL server port (default 3306)
  --user U         MySQL user (default root)
  --password P     MySQL password (default empty)
  --database D     target database (default tw_soak)
  --script PATH    SQL script file, rewritten on every pass (default tw_soak.sql)
  --table-type T   MyISAM (default) or InnoDB, ...

Exit status: 0 every pass was clean; 1 a pass had failures; 2 usage error or unreachable source.
)";

struct Options {
    std::string file;
    int passes = 10;
    std::string host = "127.0.0.1";
    int port = 3306;
    std::string user = "root";
    std::string password;
    std::string database = "tw_soak";
    std::string script = "tw_soak.sql";
    std::string table_type = "MyISAM";
};

/// A "VmXxx:  1234 kB" figure of /proc/self/status in KiB, or -1.
long StatusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return -1;
}

bool ParseInt(const std::string& text, int low, int high, int& out) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--passes") {
            if (!value(text) || !ParseInt(text, 1, 100000, options.passes))
                return false;
        } else if (arg == "--port") {
            if (!value(text) || !ParseInt(text, 1, 65535, options.port))
                return false;
        } else if (arg == "--host") {
            if (!value(options.host))
                return false;
        } else if (arg == "--user") {
            if (!value(options.user))
                return false;
        } else if (arg == "--password") {
            if (!value(options.password))
                return false;
        } else if (arg == "--database") {
            if (!value(options.database))
                return false;
        } else if (arg == "--script") {
            if (!value(options.script))
                return false;
        } else if (arg == "--table-type") {
            if (!value(options.table_type))
                return false;
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else if (options.file.empty()) {
            options.file = arg;
        } else {
            return false;
        }
    }
    return !options.file.empty();
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }

    // One engine for the whole process, as in the window, which keeps its engine from one
    // conversion to the next; both connections are opened afresh on every pass.
    tw::engine::Cls_Convertion engine{tw::data::DefaultProviderFactory(),
                                      tw::data::DefaultScriptDestinationFactory()};
    engine.ShowCriticalMessage = [](const std::string& text) {
        std::cerr << "tablewright-soak: " << text << '\n';
    };

    std::printf("%4s %9s %10s %12s %12s\n", "pass", "seconds", "rows", "VmHWM KiB", "VmRSS KiB");
    std::fflush(stdout);
    int exit_status = 0;
    long first_hwm = -1;
    long first_rss = -1;
    for (int pass = 1; pass <= options.passes; ++pass) {
        const auto started = std::chrono::steady_clock::now();
        if (!engine.OpenSourceDB(options.file) ||
            !engine.OpenDestinationDB(options.host, options.user, options.password, options.port))
            return 2;
        std::vector<std::string> entries;
        const std::int32_t count = engine.GetSourceTables(entries);
        tw::run::PlainRunWindow window;
        window.scenario = 2; // server and script file
        window.script_path = options.script;
        window.database_name = options.database;
        for (std::int32_t i = 1; i <= count; ++i) {
            const std::string& entry = entries[static_cast<std::size_t>(i)];
            window.tables.push_back({entry.substr(0, entry.rfind(':')), true});
        }
        engine.SetTableType(options.table_type);
        engine.EndProgress = false;
        tw::run::RunSummary summary;
        {
            tw::run::ConversionRun run(engine, window);
            run.RunConversion();
            summary = run.Summary();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const long hwm = StatusKiB("VmHWM");
        const long rss = StatusKiB("VmRSS");
        if (pass == 1) {
            first_hwm = hwm;
            first_rss = rss;
        }
        std::printf("%4d %9.2f %10lld %12ld %12ld\n", pass, seconds,
                    static_cast<long long>(summary.rows), hwm, rss);
        std::fflush(stdout);
        if (!summary.Clean()) {
            std::cerr << "tablewright-soak: pass " << pass << " had failures; its log:\n"
                      << window.message << '\n';
            exit_status = 1;
        }
    }
    const long last_hwm = StatusKiB("VmHWM");
    const long last_rss = StatusKiB("VmRSS");
    std::printf("peak memory (VmHWM) after pass 1: %ld KiB, after pass %d: %ld KiB (%+ld KiB)\n",
                first_hwm, options.passes, last_hwm, last_hwm - first_hwm);
    std::printf(
        "resident memory (VmRSS) after pass 1: %ld KiB, after pass %d: %ld KiB (%+ld KiB)\n",
        first_rss, options.passes, last_rss, last_rss - first_rss);
    return exit_status;
}
