#pragma once

// tablewright-cli's command line: the options it takes, each described once in a table (its
// names, what argument it takes, its help text and what it sets), and the parsing of the
// arguments against that table.

#include "tablewright/mysql/MySqlProvider.h"
#include "tablewright/run/ConversionRun.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw::cli {

/// What the command line asks for; what it leaves open keeps these defaults.
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
    std::string table_type = "MyISAM";
    int batch_rows = tw::data::kDefaultBatchRows;
    /// Rows joined into one INSERT of the script file (1: one INSERT per row).
    int extended_insert_rows = 1;
    bool quiet = false;
    bool help = false;
    bool version = false;
    /// The character set of an Access 97 file's text when its header names the wrong code page
    /// (any iconv name); empty: the header's.
    std::string source_charset;
    bool verify = false;
    bool verify_only = false;
    /// Change only what differs on the server instead of dropping and reloading.
    bool sync = false;
    /// With sync: keep the server rows that Access no longer has.
    bool keep_extra = false;
    /// Report what would change and change nothing.
    bool dry_run = false;
};

/// A command line that cannot be run; `message` says what is wrong with it.
struct UsageError {
    std::string message;
};

/// Parses the arguments after argv[0]; secrets given on the command line are overwritten in
/// `argv` once taken. Throws UsageError.
Options ParseArguments(int argc, char** argv);

/// The text --help prints, made from the table of options.
std::string UsageText();

} // namespace tw::cli
