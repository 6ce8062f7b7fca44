// The source's validation rules as CHECK constraints: their condition, name and statement, and
// the statements a script file runs to add one only where the loaded rows satisfy it.

#include "tablewright/model/Text.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/MySqlSqlWriter.h"
#include "tablewright/mysql/SqlText.h"

#include <cstdint>
#include <cstdio>

namespace tw::data {

namespace {

// Access functions whose value changes from one call to the next; the server takes no CHECK
// that calls one.
constexpr std::string_view kChangingFunctions[] = {"date",  "now", "time",
                                                   "timer", "rnd", "currentuser"};

// The first function of the expression whose value changes between calls, as written; empty
// when there is none.
std::string ChangingFunction(const sql::Expr& expr) {
    if (expr.kind == sql::ExprKind::Call) {
        std::string name = AsciiLower(expr.text);
        if (!name.empty() && name.back() == '$')
            name.pop_back();
        for (const std::string_view changing : kChangingFunctions)
            if (name == changing)
                return expr.text;
    }
    for (const auto& arg : expr.args)
        if (arg)
            if (std::string found = ChangingFunction(*arg); !found.empty())
                return found;
    return {};
}

// True when the rule itself tests for NULL (Is Null, Null, IsNull(), Nz()): Access then applies
// it to NULL values too, where otherwise it only applies it to values.
bool SpeaksOfNull(const sql::Expr& expr) {
    if (expr.kind == sql::ExprKind::IsNull ||
        (expr.kind == sql::ExprKind::Literal && expr.literal == sql::LiteralType::Null))
        return true;
    if (expr.kind == sql::ExprKind::Call) {
        const std::string name = AsciiLower(expr.text);
        if (name == "isnull" || name == "nz")
            return true;
    }
    for (const auto& arg : expr.args)
        if (arg && SpeaksOfNull(*arg))
            return true;
    return false;
}

// A lower-cased constraint name from `wanted`: within the length limit (a long one keeps its
// start and gets a hash of the whole, so that two long names stay apart) and unique among
// `taken`.
std::string ConstraintName(const std::string& wanted, std::set<std::string>& taken) {
    const std::string lower = Utf8ToLower(wanted);
    std::string name = lower;
    if (Utf8Prefix(lower, MySqlDialect::kMaxNameChars) != lower) {
        std::uint32_t hash = 2166136261u; // FNV-1a
        for (const char c : lower) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 16777619u;
        }
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
        name = Utf8Prefix(lower, MySqlDialect::kMaxNameChars - 9) + "_" + hex;
    }
    return MySqlDialect::UniqueName(name, taken);
}

} // namespace

std::vector<CheckPlan> MySqlDialect::Checks(const TableSchema& table, std::set<std::string>& taken,
                                            std::vector<std::string>* notes) {
    std::string table_name;
    AppendName(table_name, table.name);
    const SqlWriterContext context = RowContext(table);

    std::vector<CheckPlan> plans;
    const auto refuse = [&](const std::string& what, const std::string& message,
                            const std::string& reason) {
        if (notes)
            notes->push_back(what + " 未建立 CHECK 约束：" + reason +
                             (message.empty() ? "" : "（有效性文本：" + message + "）"));
    };
    const auto add = [&](std::string what, const std::string& message, const std::string& wanted,
                         std::string condition) {
        CheckPlan plan;
        plan.name = ConstraintName(wanted, taken);
        plan.statement = "ALTER TABLE " + table_name + " ADD CONSTRAINT ";
        AppendName(plan.statement, plan.name);
        plan.statement += " CHECK (" + condition + ");";
        plan.breaking_rows = "SELECT 1 FROM " + table_name + " WHERE NOT (" + condition + ")";
        plan.condition = std::move(condition);
        plan.what = std::move(what);
        plan.message = message;
        plans.push_back(std::move(plan));
    };
    // The rule's MySQL text, or empty with the reason noted.
    const auto write = [&](const std::string& what, const std::string& message,
                           const sql::ExprPtr& tree, const std::string& refusal) {
        if (!tree) {
            refuse(what, message, "无法解析：" + refusal);
            return std::string();
        }
        if (const std::string changing = ChangingFunction(*tree); !changing.empty()) {
            refuse(what, message,
                   "函数 '" + changing + "' 每次求值的结果可能不同，CHECK 约束中不能使用");
            return std::string();
        }
        if (const auto tables = sql::TableReferences(*tree); !tables.empty()) {
            refuse(what, message,
                   "读取了表 '" + tables.front() + "'，CHECK 约束只能检查同一行的值");
            return std::string();
        }
        WrittenSql written = WriteMySqlExpression(*tree, context);
        if (!written.refusal.empty()) {
            refuse(what, message, "MySQL 中没有结果相同的写法：" + written.refusal);
            return std::string();
        }
        return written.text;
    };

    for (const auto& column : table.columns) {
        std::string column_name;
        AppendName(column_name, column.name);
        const std::string wanted = table.name + "_" + column.name;
        if (!column.validation_rule.empty()) {
            const std::string what =
                "列 '" + column.name + "' 的验证规则 '" + column.validation_rule + "'";
            std::string text = write(what, column.validation_text, column.validation_tree,
                                     column.validation_refusal);
            if (!text.empty()) {
                // Access leaves NULL out of a rule that does not speak of it: `>0` takes NULL.
                if (!SpeaksOfNull(*column.validation_tree))
                    text = column_name + " IS NULL OR (" + text + ")";
                add(what, column.validation_text, wanted + "_chk", std::move(text));
            }
        }
        if (column.allow_zero_length == false) {
            // Counted in characters, whatever the column's collation says of trailing spaces.
            add("列 '" + column.name + "' 的“允许空字符串：否”", {}, wanted + "_not_empty",
                column_name + " IS NULL OR CHAR_LENGTH(" + column_name + ") > 0");
        }
    }
    if (!table.validation_rule.empty()) {
        const std::string what = "表的验证规则 '" + table.validation_rule + "'";
        std::string text =
            write(what, table.validation_text, table.validation_tree, table.validation_refusal);
        if (!text.empty())
            add(what, table.validation_text, table.name + "_chk", std::move(text));
    }
    return plans;
}

std::vector<std::string> MySqlDialect::WhenNoRows(const std::string& breaking_rows,
                                                  const std::string& statement,
                                                  const std::string& otherwise) {
    const auto literal = [](const std::string& text) {
        std::string_view body = text;
        if (!body.empty() && body.back() == ';')
            body.remove_suffix(1);
        std::string out = "'";
        AppendEscapedText(out, body.empty() ? std::string_view("DO 0") : body);
        return out + "'";
    };
    return {
        "SET @tw_ok = (SELECT NOT EXISTS (" + breaking_rows + "));",
        "SET @tw_sql = IF(@tw_ok, " + literal(statement) + ", " + literal(otherwise) + ");",
        "PREPARE tw_statement FROM @tw_sql;",
        "EXECUTE tw_statement;",
        "DEALLOCATE PREPARE tw_statement;",
    };
}

std::string MySqlDialect::LoadNote(std::string_view text) {
    std::string note = "SELECT '";
    AppendEscapedText(note, text);
    return note + "' AS `tablewright`";
}

} // namespace tw::data
