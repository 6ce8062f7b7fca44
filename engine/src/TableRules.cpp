#include "tablewright/engine/TableRules.h"

#include "tablewright/model/AdoTypes.h"

#include <set>

namespace tw::engine {

RequiredColumns::RequiredColumns(const data::TableSchema& schema, bool keys) {
    if (!keys)
        return;
    std::set<std::string> primary;
    for (const auto& index : schema.indexes)
        if (index.primary)
            for (const auto& column : index.columns)
                primary.insert(column.name);
    for (std::size_t i = 0; i < schema.columns.size(); ++i) {
        const data::ColumnSchema& column = schema.columns[i];
        if (column.required && column.ado_type != data::adBoolean && !primary.contains(column.name))
            watched_.push_back(i);
    }
    nulls_.assign(watched_.size(), 0);
}

std::vector<std::size_t> RequiredColumns::FirstNulls(std::span<const data::Value> row) {
    std::vector<std::size_t> first;
    for (std::size_t i = 0; i < watched_.size(); ++i) {
        const std::size_t column = watched_[i];
        if (column < row.size() && std::holds_alternative<std::monostate>(row[column]) &&
            nulls_[i]++ == 0)
            first.push_back(column);
    }
    return first;
}

std::vector<std::string> RequiredColumns::Notes(const data::TableSchema& schema) const {
    std::vector<std::string> notes;
    for (std::size_t i = 0; i < watched_.size(); ++i)
        if (nulls_[i] > 0)
            notes.push_back("列 '" + schema.columns[watched_[i]].name +
                            "' 在 Access 中为必填，但有 " + std::to_string(nulls_[i]) +
                            " 行没有值（该列是在这些行写入之后才设为必填的）：未设为 NOT NULL，"
                            "这些行照原样保留");
    return notes;
}

} // namespace tw::engine

#include "tablewright/access/AccessSql.h"
#include "tablewright/mysql/MySqlDialect.h"
#include "tablewright/mysql/MySqlSqlWriter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tw::engine {

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Why the server cannot hold a condition that uses this expression; empty when it can.
std::string Unfit(const sql::Expr& expr) {
    if (expr.query || expr.kind == sql::ExprKind::Exists || expr.kind == sql::ExprKind::Subquery)
        return "规则读取其他表（子查询），CHECK 约束只能读本行";
    if (expr.kind == sql::ExprKind::Call) {
        const std::string name = Lower(expr.text);
        for (const char* changing : {"date", "now", "time", "timer", "rnd", "currentuser",
                                     "environ", "curdate", "sysdate"})
            if (name == changing)
                return "规则使用了结果随时间或环境变化的函数 " + expr.text +
                       "()，服务器的 CHECK 约束不接受";
        for (const char* domain :
             {"dlookup", "dcount", "dsum", "davg", "dmin", "dmax", "dfirst", "dlast"})
            if (name == domain)
                return "规则用 " + expr.text + " 读取其他表，CHECK 约束只能读本行";
    }
    if (expr.kind == sql::ExprKind::Parameter)
        return "规则引用了窗体或参数 " + expr.text;
    for (const auto& arg : expr.args)
        if (arg)
            if (std::string why = Unfit(*arg); !why.empty())
                return why;
    return {};
}

} // namespace

std::vector<PlannedCheck> PlanChecks(const data::TableSchema& schema) {
    std::vector<PlannedCheck> checks;
    std::set<std::string> taken;
    data::SqlWriterContext context;
    context.column_type = [&schema](const std::string&,
                                    const std::string& column) -> std::optional<int> {
        for (const auto& c : schema.columns)
            if (Lower(c.name) == Lower(column))
                return c.ado_type;
        return std::nullopt;
    };
    auto plan = [&](const std::string& owner, const std::string& rule, const std::string& column,
                    const std::string& text) {
        PlannedCheck check;
        check.column = column;
        check.name = data::MySqlDialect::UniqueName("ck_" + owner, taken);
        check.what = (column.empty() ? std::string("表的有效性规则 ")
                                     : "列 '" + column + "' 的有效性规则 ") +
                     rule;
        check.text = text;
        const data::ParsedExpression parsed = column.empty()
                                                  ? data::ParseAccessExpression(rule)
                                                  : data::ParseAccessValidationRule(rule, column);
        if (!parsed.tree) {
            check.refusal = "无法读取规则：" + parsed.refusal;
        } else if (std::string why = Unfit(*parsed.tree); !why.empty()) {
            check.refusal = std::move(why);
        } else {
            data::WrittenSql written = data::WriteMySqlExpression(*parsed.tree, context);
            if (written.text.empty())
                check.refusal = "MySQL 没有含义相同的写法：" + written.refusal;
            else
                check.condition = std::move(written.text);
        }
        checks.push_back(std::move(check));
    };
    for (const auto& column : schema.columns) {
        if (!column.validation_rule.empty())
            plan(column.name, column.validation_rule, column.name, column.validation_text);
        if (column.allow_zero_length == false) {
            PlannedCheck check;
            check.column = column.name;
            check.name = data::MySqlDialect::UniqueName("ck_" + column.name + "_nonempty", taken);
            check.what = "列 '" + column.name + "' 不允许空字符串";
            std::string name;
            data::MySqlDialect::AppendName(name, column.name);
            check.condition = name + " <> ''";
            checks.push_back(std::move(check));
        }
    }
    if (!schema.validation_rule.empty())
        plan(schema.name, schema.validation_rule, "", schema.validation_text);
    return checks;
}

} // namespace tw::engine

#include "tablewright/engine/TableCopier.h"
#include "tablewright/mysql/MySqlRules.h"

namespace tw::engine {

// The table's rules as CHECK constraints, after its rows and keys. With the server, a rule is
// added only when no row breaks it (the log names those rows instead: no row is lost to a
// rule); in a script file written without a server, the statement itself adds the constraint
// only when the loaded rows keep it.
void TableCopier::AddChecks(const data::TableSchema& schema, const CopyOptions& options) {
    // The server takes no CHECK on a column that a cascading foreign key changes, and the
    // foreign key comes later: such a column keeps the key, and its rule is reported.
    std::set<std::string> cascaded;
    if (data::MySqlDialect::KeepsForeignKeys(options.table.engine)) {
        try {
            for (const auto& relationship : source_.ReadRelationships())
                if (relationship.enforced &&
                    Lower(relationship.child_table) == Lower(schema.name) &&
                    (relationship.cascade_update || relationship.cascade_delete))
                    for (const auto& column : relationship.columns)
                        cascaded.insert(Lower(column.child));
        } catch (const data::DataAccessError&) {
        }
    }
    std::vector<std::string> key;
    for (const auto& index : schema.indexes)
        if (index.primary)
            for (const auto& column : index.columns)
                key.push_back(column.name);
    for (PlannedCheck& check : PlanChecks(schema)) {
        if (check.refusal.empty() && !check.column.empty() &&
            cascaded.contains(Lower(check.column)))
            check.refusal = "该列由级联更新的外键改写，服务器不允许在其上建 CHECK 约束";
        if (!check.refusal.empty()) {
            Note(check.what + " 未转换为 CHECK 约束：" + check.refusal);
            continue;
        }
        const std::string said =
            check.text.empty() ? std::string() : "（Access 的提示文字：" + check.text + "）";
        if (!target_) {
            std::string statement =
                data::MySqlRules::AddCheckIfKept(schema.name, check.name, check.condition);
            Report(
                statement, [] {}, Refusal::Handled);
            report_->column_warnings.push_back(note_prefix_ + check.what + " 写为 CHECK 约束 '" +
                                               check.name + "'" + said +
                                               "；脚本只在载入的行都满足它时才添加");
            continue;
        }
        std::int64_t breaking = 0;
        std::string keys;
        try {
            auto count = destination_.OpenRecordset(
                data::MySqlRules::CountBreaking(schema.name, check.condition));
            if (!count->IsEOF()) {
                const data::Value& n = count->GetField(0).GetValue();
                if (const auto* whole = std::get_if<std::int64_t>(&n))
                    breaking = *whole;
                else if (const auto* text = std::get_if<std::string>(&n))
                    breaking = std::strtoll(text->c_str(), nullptr, 10);
                else
                    breaking = 1; // a count of another kind: the rule is not trusted
            }
            if (breaking > 0 && !key.empty()) {
                auto first = destination_.OpenRecordset(
                    data::MySqlRules::FirstBreaking(schema.name, check.condition, key, 5));
                for (; !first->IsEOF(); first->MoveNext())
                    if (const auto* text = std::get_if<std::string>(&first->GetField(0).GetValue()))
                        keys += (keys.empty() ? "" : "；") + *text;
            }
        } catch (const data::DataAccessError& e) {
            Note(check.what + " 未能建立为 CHECK 约束：" + e.what());
            continue;
        }
        if (breaking > 0) {
            Note(check.what + " 未建立为 CHECK 约束：" + std::to_string(breaking) +
                 " 行不满足它（Access 在这些行写入之后才设了规则）" +
                 (keys.empty() ? std::string() : "，主键 " + keys + (breaking > 5 ? " 等" : "")) +
                 "；这些行照原样保留");
            continue;
        }
        std::string statement =
            data::MySqlRules::AddCheck(schema.name, check.name, check.condition);
        if (Report(
                statement, [&] { target_->Execute(statement); }, Refusal::Handled))
            report_->column_warnings.push_back(note_prefix_ + check.what +
                                               " 已建立为 CHECK 约束 '" + check.name + "'" + said);
        else
            Note(check.what + " 未能建立为 CHECK 约束：" + last_refusal_);
    }
}

} // namespace tw::engine

namespace tw::engine {

namespace {

std::string TextOf(const data::Value& value) {
    if (const auto* text = std::get_if<std::string>(&value))
        return "'" + *text + "'";
    return "NULL";
}

} // namespace

// Calculated columns become generated columns computed by the server, where the expression has
// an exact MySQL form and, on every row, gives the value Access stored; otherwise they stay
// plain columns with Access's values, their expression in the comment, and the log says why.
void TableCopier::AddGenerated(const data::TableSchema& schema) {
    std::vector<std::string> key;
    for (const auto& index : schema.indexes)
        if (index.primary)
            for (const auto& column : index.columns)
                key.push_back(column.name);
    data::SqlWriterContext context;
    context.column_type = [&schema](const std::string&,
                                    const std::string& column) -> std::optional<int> {
        for (const auto& c : schema.columns)
            if (Lower(c.name) == Lower(column))
                return c.ado_type;
        return std::nullopt;
    };
    for (const data::ColumnSchema& column : schema.columns) {
        if (!column.calculated || column.calculated_expression.empty())
            continue;
        const std::string what =
            "计算列 '" + column.name + "'（= " + column.calculated_expression + "）";
        std::string refusal;
        std::string expression;
        const data::ParsedExpression parsed =
            data::ParseAccessExpression(column.calculated_expression);
        if (!parsed.tree) {
            refusal = "无法读取表达式：" + parsed.refusal;
        } else if (std::string why = Unfit(*parsed.tree); !why.empty()) {
            refusal = std::move(why);
        } else {
            data::WrittenSql written = data::WriteMySqlExpression(*parsed.tree, context);
            if (written.text.empty())
                refusal = "MySQL 没有含义相同的写法：" + written.refusal;
            else
                expression = std::move(written.text);
        }
        auto keep_plain = [&](const std::string& why) {
            Note(what + " 保留为普通列，值照 Access 保存的原样：" + why);
            std::string statement = data::MySqlRules::CommentExpression(schema, column);
            Report(
                statement, [&] { target_->Execute(statement); }, Refusal::Handled);
        };
        if (!refusal.empty()) {
            keep_plain(refusal);
            continue;
        }
        if (!target_) {
            std::string statement =
                data::MySqlRules::MakeGeneratedIfEqual(schema, column, expression);
            Report(
                statement, [] {}, Refusal::Handled);
            report_->column_warnings.push_back(
                note_prefix_ + what +
                " 写为生成列（STORED）；脚本只在载入的每一行的值都等于表达式的值时才改为生成列");
            continue;
        }
        std::string example;
        try {
            auto first = destination_.OpenRecordset(
                data::MySqlRules::FirstDiffering(schema, column, expression, key));
            if (!first->IsEOF())
                example = "例如主键 " + TextOf(first->GetField(0).GetValue()) +
                          " 的行：Access 保存的值 " + TextOf(first->GetField(1).GetValue()) +
                          "，服务器按表达式算出 " + TextOf(first->GetField(2).GetValue());
        } catch (const data::DataAccessError& e) {
            keep_plain(std::string("服务器无法计算表达式 ") + expression + "：" + e.what());
            continue;
        }
        if (!example.empty()) {
            keep_plain("服务器按 " + expression + " 算出的值与 Access 保存的不同，" + example);
            continue;
        }
        std::string statement = data::MySqlRules::MakeGenerated(schema, column, expression);
        if (Report(
                statement, [&] { target_->Execute(statement); }, Refusal::Handled))
            report_->column_warnings.push_back(note_prefix_ + what + " 已改为生成列 " + expression +
                                               "（STORED：值与 Access 保存的逐行相同）");
        else
            keep_plain("服务器不接受生成列：" + last_refusal_);
    }
}

} // namespace tw::engine
