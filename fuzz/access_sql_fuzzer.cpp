// libFuzzer target over the Access SQL parser and the MySQL writer: parses the input as a saved
// query, as an expression and as a validation rule, prints each tree and writes it as MySQL.
// Any outcome other than a tree or a refusal (a crash, a sanitizer report, a hang, an escaping
// exception, a tree deeper than the parser allows) is a finding.

#include "tablewright/access/AccessSql.h"
#include "tablewright/mysql/MySqlSqlWriter.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The columns of every table, so that '*' is spelt out as in a conversion.
std::optional<std::vector<std::string>> Columns(const std::string& table) {
    if (table.empty() || table.size() > 8)
        return std::nullopt;
    return std::vector<std::string>{"ID", table, "x"};
}

void Check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    tw::data::SqlWriterContext context;
    context.columns = Columns;

    const auto query = tw::data::ParseAccessQuery(text);
    Check(!query.tree != query.refusal.empty());
    if (query.tree) {
        (void)tw::sql::ToSExpr(*query.tree);
        (void)tw::sql::TableReferences(*query.tree);
        const auto written = tw::data::WriteMySqlView("v", *query.tree, context);
        Check(written.text.empty() != written.refusal.empty());
    }
    for (const auto& expression :
         {tw::data::ParseAccessExpression(text), tw::data::ParseAccessValidationRule(text, "c")}) {
        Check(!expression.tree != expression.refusal.empty());
        if (!expression.tree)
            continue;
        Check(expression.tree->depth <= 400);
        (void)tw::sql::ToSExpr(*expression.tree);
        (void)tw::data::WriteMySqlExpression(*expression.tree, context);
    }
    return 0;
}
