#include "tablewright/engine/TableCopier.h"

#include "tablewright/engine/ComplexTables.h"
#include "tablewright/engine/RequiredColumns.h"
#include "tablewright/engine/ViewPlan.h"
#include "tablewright/model/AdoTypes.h"
#include "tablewright/model/Text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <memory>
#include <optional>

namespace tw::engine {

TableCopier::TableCopier(data::Connection& source, data::Connection& destination,
                         data::Destination& script, CopyEvents& events,
                         const std::atomic<bool>& stop)
    : source_(source), destination_(destination), events_(events), stop_(stop), script_(script) {
    // The statements go straight to the run's handler: no further call per row.
    script_.SetStatementHandler(events_.statement);
}

void TableCopier::Yield() {
    if (events_.yield)
        events_.yield();
}

// A connection lost earlier is opened again; when that fails, the statements are still
// made (for the script file) and each counts as failed with the reason. False then.
bool TableCopier::ConnectTarget() {
    try {
        destination_.EnsureConnected();
        target_ = &destination_.AsDestination();
        sending_ = true;
        target_->SetStatementHandler(events_.statement);
        return true;
    } catch (const data::DataAccessError& e) {
        UseScript();
        unsent_reason_ = e.what();
        return false;
    }
}

// Statements are only made (for the script file) from here on.
void TableCopier::UseScript() {
    target_ = &script_;
    sending_ = false;
}

void TableCopier::Note(std::string text) {
    report_->schema_notes.push_back(note_prefix_ + std::move(text));
}

void TableCopier::CountFailure(const std::string& error) {
    if (!report_)
        return;
    if (report_->failed_statements++ == 0)
        report_->first_error = error;
    if (counting_rows_)
        ++report_->failed_rows;
}

// Has the destination make (and, when statements are sent, send) a statement, which it reports;
// false when it was refused, with the reason in last_refusal_. A refusal counts as a failed
// statement unless the caller has a way around it (Refusal::Handled); so does a statement that
// is only made because the server could not be reached.
bool TableCopier::Report(const std::function<void()>& send, Refusal refusal) {
    const bool counted = refusal == Refusal::Counted;
    try {
        send();
    } catch (const data::DataAccessError& e) {
        last_refusal_ = e.what();
        if (counted)
            CountFailure(last_refusal_);
        return false;
    }
    if (!sending_ && counted && !unsent_reason_.empty())
        CountFailure(unsent_reason_);
    return true;
}

// The table's definition: the columns and their types exactly as the recordset reports them
// (the types of calculated columns follow from their values), and with keys the source's
// properties and indexes.
data::TableSchema TableCopier::ReadSchema(const std::string& table, data::Recordset& rs,
                                          const CopyOptions& options) {
    data::TableSchema schema;
    if (options.table.keys) {
        try {
            schema = source_.ReadTableSchema(table);
        } catch (const data::DataAccessError& e) {
            report_->schema_notes.push_back(std::string("无法读取表的键、索引和列属性：") +
                                            e.what());
            schema = data::TableSchema{};
        }
    }
    std::map<std::string, data::ColumnSchema> properties;
    for (auto& column : schema.columns)
        properties[column.name] = std::move(column);
    schema.name = table;
    schema.columns.clear();
    for (int i = 0; i < rs.FieldCount(); ++i) {
        data::Field& field = rs.GetField(i);
        data::ColumnSchema column;
        if (auto found = properties.find(field.Name()); found != properties.end())
            column = std::move(found->second);
        column.name = field.Name();
        if (const int type = field.SourceType(); type != 0)
            column.source_type = type;
        column.ado_type = field.Type();
        column.size = field.DefinedSize();
        column.precision = field.Precision();
        column.scale = field.NumericScale();
        schema.columns.push_back(std::move(column));
    }
    return schema;
}

void TableCopier::Copy(const std::string& table, const CopyOptions& options, Output output,
                       TableReport& report) {
    report = TableReport{};
    report.table_name = table;
    report_ = &report;
    unsent_reason_.clear();
    UseScript();

    std::unique_ptr<data::Recordset> rs;
    try {
        rs = source_.OpenTable(table);
    } catch (const data::DataAccessError& e) {
        // Without its columns no table statement can be made, and dropping the destination's
        // table would only lose what is there: the table is reported as failed instead.
        CountFailure(e.what());
        report_ = nullptr;
        return;
    }
    report.column_warnings = rs->ColumnWarnings();
    data::TableSchema schema = ReadSchema(table, *rs, options);
    if (output == Output::Server && !ConnectTarget())
        report.connection_lost = true;
    // Where the child tables' statements go, whatever becomes of the table's own.
    data::Destination* const connected = sending_ ? target_ : nullptr;
    const std::string unconnected = unsent_reason_;

    report.created = FillTable(schema, *rs, options, true);
    rs->Close();
    if (!stop_)
        CopyChildTables(table, options, connected, unconnected);
    if (sending_)
        target_->FlushTables();
    if (output == Output::Server && destination_.ConnectionLost())
        report.connection_lost = true;
    unsent_reason_.clear();
    UseScript();
    report_ = nullptr;
}

// Drops (optionally), makes and fills one table, then gives it its keys; true when the table
// was made (or its statement only reported).
bool TableCopier::FillTable(data::TableSchema schema, data::Recordset& rs,
                            const CopyOptions& options, bool progress) {
    const std::string& table = schema.name;
    if (options.drop_table) {
        Report([&] { target_->DropTable(table); });
        Yield();
    }
    data::TableOptions table_options = options.table;
    std::vector<std::string> notes;
    // With keys, a definition the destination does not take in full costs no rows: it makes
    // the table of plain columns instead, and only that refusal counts.
    bool full = true;
    const bool created =
        Report([&] { full = target_->CreateTable(schema, table_options, notes); },
               table_options.keys && !sending_ ? Refusal::Handled : Refusal::Counted);
    if (!full)
        table_options.keys = false;
    for (auto& note : notes)
        Note(std::move(note));
    Yield();
    const bool made = created || !sending_;
    if (sending_ && options.drop_table && !created) {
        // The table could not be made anew, so its rows would go nowhere or into the table of
        // that name that should have been dropped, among its old rows: they are produced (for
        // the script file) but not sent, and each counts as failed.
        unsent_reason_ = "表未能创建，行未发送：" + last_refusal_;
        UseScript();
    }

    counting_rows_ = true;
    if (options.with_data && !(rs.IsEOF() && rs.IsBOF()))
        CopyRows(rs, schema, options, progress);
    if (sending_) {
        // Rows the destination still holds back are sent now, so that their failures count
        // for this table.
        try {
            target_->EndTable();
        } catch (const data::DataAccessError& e) {
            CountFailure(e.what());
        }
    }
    counting_rows_ = false;
    if (table_options.keys && made) {
        AddKeys(schema, options);
        std::vector<std::string> plain;
        for (auto& done : target_->AddGeneratedColumns(schema, options.table, plain))
            report_->column_warnings.push_back(note_prefix_ + std::move(done));
        for (auto& note : plain)
            Note(std::move(note));
        AddChecks(schema, options);
    }
    return made;
}

namespace {

// What the copy changed in one column's values on their way, told in the log at the end of the
// table.
struct ColumnChanges {
    // Dates whose seventh digit of a second (100 ns) MySQL cannot keep.
    std::int64_t cut_ticks = 0;
    // OLE objects stored as the file they embed, and those kept as they are.
    std::int64_t ole_unwrapped = 0;
    std::int64_t ole_kept = 0;
};

// Counts a date that loses its last digit of a second, and unwraps an OLE object when asked;
// the value is left as it is otherwise.
void Change(data::Value& value, bool unwrap_ole, ColumnChanges& changes, data::Connection& source) {
    if (const auto* date = std::get_if<data::DateTime>(&value)) {
        if (date->ticks % 10 != 0)
            ++changes.cut_ticks;
        return;
    }
    auto* bytes = std::get_if<data::Bytes>(&value);
    if (!unwrap_ole || !bytes)
        return;
    if (source.EmbeddedFile(*bytes)) {
        ++changes.ole_unwrapped;
    } else {
        ++changes.ole_kept;
    }
}

std::vector<std::string> DescribeChanges(const data::TableSchema& schema,
                                         const std::vector<ColumnChanges>& changes) {
    std::vector<std::string> notes;
    for (std::size_t i = 0; i < changes.size() && i < schema.columns.size(); ++i) {
        const std::string column = "列 '" + schema.columns[i].name + "'";
        const ColumnChanges& change = changes[i];
        if (change.cut_ticks > 0)
            notes.push_back(column + "有 " + std::to_string(change.cut_ticks) +
                            " 个值的秒有第七位小数（100 纳秒），MySQL 只保存到微秒，已截去该位");
        if (change.ole_unwrapped + change.ole_kept > 0)
            notes.push_back(column + "的 OLE 对象：" + std::to_string(change.ole_unwrapped) +
                            " 个已保存为其中嵌入的文件，" + std::to_string(change.ole_kept) +
                            " 个类型无法识别，保留原始字节");
    }
    return notes;
}

} // namespace

// The child tables of the table's complex columns, each made and filled like a table after it;
// their rows count as the table's. A complex column of unknown kind keeps its ids and is noted.
void TableCopier::CopyChildTables(const std::string& table, const CopyOptions& options,
                                  data::Destination* connected, const std::string& unconnected) {
    std::vector<data::ComplexColumnSchema> columns;
    try {
        columns = source_.ReadComplexColumns(table);
    } catch (const data::DataAccessError& e) {
        CountFailure(std::string("无法读取复杂数据列（附件、多值字段、版本历史），其值未转换：") +
                     e.what());
        return;
    }
    if (columns.empty())
        return;
    std::vector<ChildTable> children;
    try {
        children = SourceChildTables(source_);
    } catch (const data::DataAccessError& e) {
        CountFailure(std::string("无法读取表的列表，复杂数据列的值未转换：") + e.what());
        return;
    }
    for (const auto& column : columns) {
        if (stop_)
            return;
        if (column.kind == data::ComplexKind::Other) {
            report_->schema_notes.push_back(UnknownComplexNote(column));
            continue;
        }
        const auto child =
            std::find_if(children.begin(), children.end(), [&](const ChildTable& candidate) {
                return candidate.parent == table && candidate.column.column == column.column;
            });
        if (child == children.end())
            continue; // the list was read with the same columns: not reached
        std::unique_ptr<data::Recordset> rows;
        try {
            rows = source_.OpenComplexValues(table, column.column);
        } catch (const data::DataAccessError& e) {
            CountFailure("列 '" + column.column + "' 的值无法读取，子表 '" + child->name +
                         "' 未转换：" + e.what());
            continue;
        }
        note_prefix_ = "子表 '" + child->name + "'：";
        for (const std::string& warning : rows->ColumnWarnings())
            report_->column_warnings.push_back(note_prefix_ + warning);
        if (connected) {
            target_ = connected;
            sending_ = true;
        } else {
            UseScript();
        }
        unsent_reason_ = unconnected;
        FillTable(ChildTableSchema(*child, *rows, options.table.keys), *rows, options, false);
        note_prefix_.clear();
        rows->Close();
    }
}

void TableCopier::CopyRows(data::Recordset& rs, const data::TableSchema& schema,
                           const CopyOptions& options, bool progress) {
    const std::int64_t total = rs.RecordCount();
    const int count = rs.FieldCount();
    std::vector<ColumnChanges> changes(static_cast<std::size_t>(count));
    std::vector<bool> unwrap_ole(static_cast<std::size_t>(count), false);
    for (std::size_t i = 0; i < unwrap_ole.size() && i < schema.columns.size(); ++i)
        unwrap_ole[i] = options.ole_contents && source_.EmbedsFiles(schema.columns[i].source_type);
    std::int64_t counter = 0;
    std::int32_t last_percent = 0;
    std::vector<data::Value> values(static_cast<std::size_t>(count));
    target_->BeginRows(schema);
    RequiredColumns required(schema, options.table.keys);
    while (!rs.IsEOF() && !stop_) {
        std::string unreadable;
        for (int i = 0; i < count; ++i) {
            data::Field& field = rs.GetField(i);
            const auto at = static_cast<std::size_t>(i);
            try {
                values[at] = field.GetValue();
                Change(values[at], unwrap_ole[at], changes[at], source_);
            } catch (const data::DataAccessError& e) {
                // A value that cannot be read exactly is written as NULL, never as garbage, and
                // the row is counted as failed.
                values[static_cast<std::size_t>(i)] = std::monostate{};
                if (unreadable.empty())
                    unreadable = "列 '" + field.Name() + "' 的值无法读取：" + e.what();
            }
        }
        if (!unreadable.empty())
            CountFailure(unreadable);
        // A Required column without a value in this row allows NULL from now on, before the
        // row goes out, so that the row is kept.
        for (const std::size_t column : required.FirstNulls(values)) {
            counting_rows_ = false;
            Report([&] { target_->AllowNull(schema, schema.columns[column], options.table); });
            counting_rows_ = true;
        }
        Report([&] { target_->AppendRow(values); });
        ++counter;
        ++report_->rows;
        if (progress && total > 0) {
            // Whole percentage, rounded to nearest with ties to even.
            const auto percent = static_cast<std::int32_t>(
                std::nearbyint(static_cast<double>(counter) / static_cast<double>(total) * 100.0));
            if (percent != last_percent) {
                last_percent = percent;
                if (events_.progress)
                    events_.progress(last_percent);
            }
        }
        try {
            rs.MoveNext();
        } catch (const data::DataAccessError& e) {
            counting_rows_ = false; // a failure of the source, not of a row
            CountFailure(std::string("读取下一行失败：") + e.what());
            counting_rows_ = true;
            break;
        }
        Yield();
    }
    for (std::string& note : DescribeChanges(schema, changes))
        report_->column_warnings.push_back(note_prefix_ + std::move(note));
    for (std::string& note : required.Notes(schema))
        Note(std::move(note));
}

// Gives the filled table its keys. A key the destination refuses costs no row: it is noted
// with the reason, never counted as a failed statement.
void TableCopier::AddKeys(const data::TableSchema& schema, const CopyOptions& options) {
    std::vector<std::string> notes;
    const bool taken = target_->AddKeys(schema, options.table, notes);
    for (auto& note : notes)
        Note(std::move(note));
    if (!taken)
        Yield();
}

namespace {

// The columns a rule names: the column of a field rule and those its expression names.
void NamedColumns(const sql::Expr& expr, std::set<std::string>& names) {
    if (expr.kind == sql::ExprKind::Column)
        names.insert(data::Utf8ToLower(expr.text));
    for (const auto& arg : expr.args)
        if (arg)
            NamedColumns(*arg, names);
}

bool HasRule(const data::TableSchema& schema) {
    return !schema.validation_rule.empty() ||
           std::any_of(schema.columns.begin(), schema.columns.end(), [](const auto& column) {
               return !column.validation_rule.empty() || column.allow_zero_length == false;
           });
}

} // namespace

// Gives the keyed table its validation rules as constraints. A foreign key whose rows the
// server changes itself (ON UPDATE or ON DELETE CASCADE) and a CHECK on the same column exclude
// each other on MySQL and MariaDB; the foreign keys come after all tables, so here the rules on
// such columns are left out, with the reason, and the relationship keeps its foreign key.
void TableCopier::AddChecks(const data::TableSchema& schema, const CopyOptions& options) {
    if (!HasRule(schema))
        return;
    data::TableSchema checked = schema;
    if (target_->KeepsForeignKeys(options.table.engine)) {
        if (!relationships_) {
            try {
                relationships_ = source_.ReadRelationships();
            } catch (const data::DataAccessError&) {
                relationships_.emplace(); // reported with the relationships
            }
        }
        // The columns of this table that a cascading foreign key changes, and its name.
        std::map<std::string, std::string> cascaded;
        for (const auto& relationship : *relationships_)
            if (relationship.enforced && relationship.child_table == schema.name &&
                (relationship.cascade_update || relationship.cascade_delete))
                for (const auto& pair : relationship.columns)
                    cascaded.emplace(data::Utf8ToLower(pair.child), relationship.name);
        const auto conflict = [&](const std::set<std::string>& names) -> std::string {
            for (const auto& name : names)
                if (const auto found = cascaded.find(name); found != cascaded.end())
                    return found->second;
            return {};
        };
        const auto leave_out = [&](const std::string& what, const std::string& relationship) {
            Note(what + " 未建立 CHECK 约束：关系 '" + relationship +
                 "' 的外键带级联操作（MySQL 不允许级联外键的列有 CHECK 约束，MariaDB "
                 "不允许级联更新的列有），保留外键");
        };
        for (auto& column : checked.columns) {
            if (column.validation_rule.empty() && column.allow_zero_length != false)
                continue;
            std::set<std::string> names{data::Utf8ToLower(column.name)};
            if (column.validation_tree)
                NamedColumns(*column.validation_tree, names);
            const std::string relationship = conflict(names);
            if (relationship.empty())
                continue;
            if (!column.validation_rule.empty())
                leave_out("列 '" + column.name + "' 的验证规则 '" + column.validation_rule + "'",
                          relationship);
            if (column.allow_zero_length == false)
                leave_out("列 '" + column.name + "' 的“允许空字符串：否”", relationship);
            column.validation_rule.clear();
            column.validation_tree = nullptr;
            column.validation_refusal.clear();
            column.allow_zero_length.reset();
        }
        if (checked.validation_tree) {
            std::set<std::string> names;
            NamedColumns(*checked.validation_tree, names);
            if (const std::string relationship = conflict(names); !relationship.empty()) {
                leave_out("表的验证规则 '" + checked.validation_rule + "'", relationship);
                checked.validation_rule.clear();
                checked.validation_tree = nullptr;
            }
        }
    }
    std::vector<std::string> notes;
    for (auto& done : target_->AddChecks(checked, options.table, notes))
        report_->column_warnings.push_back(note_prefix_ + std::move(done));
    for (auto& note : notes)
        Note(std::move(note));
    Yield();
}

std::vector<RelationshipReport>
TableCopier::AddRelationships(const std::set<std::string>& converted, const CopyOptions& options,
                              Output output) {
    std::vector<RelationshipReport> reports;
    std::vector<data::RelationshipSchema> relationships;
    try {
        relationships = source_.ReadRelationships();
    } catch (const data::DataAccessError& e) {
        reports.push_back({"", false, std::string("无法读取表之间的关系：") + e.what()});
        return reports;
    }
    UseScript();
    if (output == Output::Server)
        ConnectTarget();
    const std::string& engine = options.table.engine;
    auto add = [&](const data::RelationshipSchema& relationship, RelationshipReport& report) {
        report.created = true;
        try {
            target_->AddForeignKey(relationship);
        } catch (const data::DataAccessError& e) {
            report.created = false;
            report.note = std::string("外键未能建立：") + e.what();
        }
        if (!sending_ && !unsent_reason_.empty()) {
            report.created = false;
            report.note = "外键未发送：" + unsent_reason_;
        }
        Yield();
    };
    for (const auto& relationship : relationships) {
        RelationshipReport report{relationship.name, false, {}};
        if (!converted.contains(relationship.parent_table) ||
            !converted.contains(relationship.child_table)) {
            const std::string& missing = converted.contains(relationship.parent_table)
                                             ? relationship.child_table
                                             : relationship.parent_table;
            report.note = "表 '" + missing + "' 未在本次转换，未建立外键";
        } else if (!relationship.enforced) {
            report.note = "Access 未实施参照完整性，未建立外键（子表中可能有无对应主记录的行）";
        } else if (!target_->KeepsForeignKeys(engine)) {
            report.note = "表类型 " + engine + " 不保存外键，未建立（需要 InnoDB）";
        } else {
            add(relationship, report);
        }
        reports.push_back(std::move(report));
    }
    // The child tables of complex columns refer to their parent's primary key, where it has
    // one and the table type keeps foreign keys.
    if (target_->KeepsForeignKeys(engine)) {
        std::vector<ChildTable> children;
        try {
            children = SourceChildTables(source_);
        } catch (const data::DataAccessError& e) {
            reports.push_back({"", false, std::string("无法读取表的列表：") + e.what()});
        }
        for (const auto& child : children) {
            const auto relationship = ChildForeignKey(child);
            if (!relationship || !converted.contains(child.parent))
                continue;
            RelationshipReport report{relationship->name, false, {}};
            add(*relationship, report);
            reports.push_back(std::move(report));
        }
    }
    ReleaseTarget();
    return reports;
}

void TableCopier::ReleaseTarget() {
    UseScript();
    unsent_reason_.clear();
}

std::vector<ViewReport> TableCopier::AddViews(const std::set<std::string>& converted,
                                              Output output) {
    std::vector<ViewReport> reports;
    std::vector<data::QuerySchema> queries;
    std::vector<std::string> tables;
    try {
        queries = source_.ReadQueries();
        for (const auto& row : source_.OpenSchemaTables())
            if (row.table_type == "TABLE")
                tables.push_back(row.table_name);
    } catch (const data::DataAccessError& e) {
        reports.push_back({"", false, std::string("无法读取查询：") + e.what()});
        return reports;
    }
    UseScript();
    if (output == Output::Server && !queries.empty())
        ConnectTarget();
    // Views the server did not take: a view that reads one of them is not sent.
    std::set<std::string> failed;
    // The tables' definitions, read once each, for the columns and types of '*' and rounding.
    auto definitions = std::make_shared<std::map<std::string, std::optional<data::TableSchema>>>();
    const auto definition = [this, definitions](const std::string& table) {
        auto found = definitions->find(table);
        if (found == definitions->end()) {
            std::optional<data::TableSchema> read;
            try {
                read = source_.ReadTableSchema(table);
            } catch (const data::DataAccessError&) {
            }
            found = definitions->emplace(table, std::move(read)).first;
        }
        return found->second;
    };
    const ColumnLookup columns =
        [definition](const std::string& table) -> std::optional<std::vector<std::string>> {
        const auto read = definition(table);
        if (!read)
            return std::nullopt;
        std::vector<std::string> names;
        for (const auto& column : read->columns)
            names.push_back(column.name);
        return names;
    };
    // The one place the views' MySQL text is written.
    const ViewWriter writer = [&](const std::string& name, const sql::Statement& tree) {
        data::SqlWriterContext context;
        context.columns = columns;
        context.column_type = [&](const std::string& table,
                                  const std::string& column) -> std::optional<int> {
            if (const auto read = definition(table))
                for (const auto& known : read->columns)
                    if (data::Utf8ToLower(known.name) == data::Utf8ToLower(column))
                        return known.ado_type;
            return std::nullopt;
        };
        data::WrittenSql written = script_.WriteSavedQuery(name, tree, context);
        return ViewText{std::move(written.text), std::move(written.refusal), written.procedure};
    };
    for (PlannedView& plan : PlanViews(queries, converted, tables, writer)) {
        ViewReport report{plan.name, !plan.statement.empty(), plan.note, plan.procedure};
        if (plan.statement.empty()) {
            reports.push_back(std::move(report));
            continue;
        }
        std::string missing;
        for (const auto& dependency : plan.depends_on)
            if (failed.contains(dependency))
                missing = dependency;
        if (sending_ && !missing.empty()) {
            // Not sent: the script destination only hands the statement back.
            report.created = false;
            report.note = "读取的视图 '" + missing + "' 未能建立，未创建" +
                          (plan.procedure ? "存储过程" : "视图");
            if (plan.procedure)
                script_.CreateProcedure(plan.statement);
            else
                script_.CreateView(plan.statement);
        } else {
            try {
                if (plan.procedure)
                    target_->CreateProcedure(plan.statement);
                else
                    target_->CreateView(plan.statement);
            } catch (const data::DataAccessError& e) {
                report.created = false;
                report.note =
                    std::string(plan.procedure ? "存储过程" : "视图") + "未能建立：" + e.what();
            }
            if (!sending_ && !unsent_reason_.empty()) {
                report.created = false;
                report.note =
                    std::string(plan.procedure ? "存储过程" : "视图") + "未发送：" + unsent_reason_;
            }
        }
        if (!report.created)
            failed.insert(plan.name);
        Yield();
        reports.push_back(std::move(report));
    }
    ReleaseTarget();
    return reports;
}

} // namespace tw::engine
