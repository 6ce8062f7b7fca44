#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tw::data {

/// What the writer may ask about the source's tables.
struct SqlWriterContext {
    /// The column names of a table (or query) of the source, in order; nullopt when not known.
    /// Used to spell out '*' so that columns two tables share get distinct names.
    std::function<std::optional<std::vector<std::string>>(const std::string& table)> columns;
    /// The ADO type (AdoTypes.h) of a column of a table of the source; nullopt when not known.
    /// Decides forms that depend on the type (text or number, whole or not).
    std::function<std::optional<int>(const std::string& table, const std::string& column)>
        column_type;
    /// For an expression: the table whose row the expression is evaluated on (a validation
    /// rule's or calculated column's table), so that its columns' types are known.
    std::string row_table;
    /// The stored procedure's parameter (a name of the destination, unquoted) that stands for an
    /// Access parameter (its name as the tree has it); unset where parameters are refused, as
    /// in a view.
    std::function<std::string(const std::string& parameter)> parameter;
};

/// MySQL text written from an Access syntax tree, or why there is none.
struct WrittenSql {
    /// The text on one line, without a closing ';'; empty when refused.
    std::string text;
    /// The construct that has no MySQL form giving the same rows or values (Chinese, e.g.
    /// "域聚合函数 'DLookup'"); empty when written.
    std::string refusal;
    /// The tables and queries the text reads, spelt as in the query, in order of first
    /// appearance, each once (names compared without case); empty when refused.
    std::vector<std::string> sources;
    /// For a saved query: true when the text makes a stored procedure rather than a view.
    bool procedure = false;
};

} // namespace tw::data
