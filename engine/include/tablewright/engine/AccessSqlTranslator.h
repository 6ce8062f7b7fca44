#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine {

/// The column names of a table of the source, in order; nullopt when it is not known.
using ColumnLookup =
    std::function<std::optional<std::vector<std::string>>(const std::string& table)>;

/// A saved Access select or union query as MySQL (MariaDB) SELECT text, for a view.
struct QueryTranslation {
    /// The SELECT text on one line, without a closing ';'; empty when the query was refused.
    std::string select;
    /// Why the query was refused: the construct that has no MySQL form giving the same rows
    /// (Chinese, e.g. "域聚合函数 'DLookup'"); empty when it was translated.
    std::string refusal;
    /// The tables and queries the query reads, spelt as in the query, in order of first
    /// appearance, each once (names compared without case); empty when refused.
    std::vector<std::string> sources;
};

/// Translates the SQL text of an Access (Jet) select or union query, as Access shows it, into
/// a MySQL SELECT. Table, column and alias names become lower-cased backtick names, the same
/// as the converted tables' (MySqlDialect::AppendName). Constructs whose MySQL form would give
/// other rows or values are refused rather than approximated.
/// `columns` gives the column names of a table of the file (nullopt when unknown), so that '*' can
/// be spelt out and columns that several tables share get distinct names.
QueryTranslation TranslateAccessQuery(std::string_view access_sql,
                                      const ColumnLookup& columns = {});

} // namespace tw::engine
