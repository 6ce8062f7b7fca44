#pragma once

#include "tablewright/model/SqlTree.h"

#include <memory>
#include <string>
#include <string_view>

namespace tw::data {

/// A statement parsed from Access SQL text, or why it could not be.
struct ParsedStatement {
    /// The tree; null when refused.
    std::shared_ptr<const sql::Statement> tree;
    /// The construct that could not be read (Chinese, e.g. "语句不完整"); empty when parsed.
    std::string refusal;
};

/// An expression parsed from Access text, or why it could not be.
struct ParsedExpression {
    /// The tree; null when refused.
    sql::ExprPtr tree;
    /// The construct that could not be read; empty when parsed.
    std::string refusal;
};

/// Parses the SQL text of a saved Access (Jet) query as Access shows it: SELECT (with TOP,
/// DISTINCTROW, INTO), UNION, TABLE t, PARAMETERS, TRANSFORM ... PIVOT, INSERT, UPDATE, DELETE;
/// the first word of a data-definition statement. Text that is too long, too deeply nested or not
/// UTF-8 is refused, never a crash.
ParsedStatement ParseAccessQuery(std::string_view text);

/// Parses an Access expression on its own (a default value, a calculated column's expression).
ParsedExpression ParseAccessExpression(std::string_view text);

/// Parses a validation rule of the column `column`: where a comparison has no left side
/// (">=0 And <1000000", "Is Null Or Like \"*@*.*\"", "In (\"A\",\"B\")", "Between 1 And 100"),
/// the column is that side.
ParsedExpression ParseAccessValidationRule(std::string_view text, std::string_view column);

} // namespace tw::data
