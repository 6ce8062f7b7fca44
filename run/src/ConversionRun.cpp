#include "tablewright/run/ConversionRun.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include <unistd.h>

namespace tw::run {

namespace {

constexpr const char* kCrLf = "\r\n";
// Script lines are gathered up to about this many bytes before they are written: few writes,
// and a write error is seen (and the lines it lost are counted) by the end of their table.
constexpr std::size_t kScriptChunkBytes = 1024 * 1024;

std::string LocalTimeOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    return buffer;
}

std::uint64_t SteadyMilliseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

} // namespace

void PlainRunWindow::SetStatus(const std::string& text) {
    status = text;
    if (on_status)
        on_status(text);
}

void PlainRunWindow::SetProgress(double value) {
    progress = value;
    if (on_progress)
        on_progress(value);
}

std::string FormatSeconds(double seconds) {
    char buffer[64];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed, 2);
    if (ec != std::errc())
        return "0.00";
    return std::string(buffer, end);
}

void ConversionRun::FileCloser::operator()(std::FILE* file) const noexcept {
    std::fclose(file);
}

ConversionRun::ConversionRun(engine::Cls_Convertion& engine, RunWindow& window)
    : TimeOfDay(&LocalTimeOfDay), TickCount(&SteadyMilliseconds), engine_(engine), window_(window) {
    engine_.ExecuteInfo = [this](std::string& sql) { MyConversion_ExecuteInfo(sql); };
    engine_.Progress = [this](std::int32_t& percent) { MyConversion_Progress(percent); };
}

ConversionRun::~ConversionRun() {
    engine_.ExecuteInfo = nullptr;
    engine_.Progress = nullptr;
}

std::string ConversionRun::WriteMessage() const {
    return "[" + TimeOfDay() + "]";
}

void ConversionRun::ScriptFailed(const std::string& reason) {
    summary_.script_failed = true;
    if (script_error_logged_)
        return;
    summary_.script_error = reason;
    script_error_ = (script_is_output_ ? "无法写入标准输出：" : "无法写入脚本文件：") + reason;
    script_error_logged_ = true;
    const std::string where =
        script_is_output_ ? std::string("标准输出") : "脚本文件 '" + script_path_ + "'";
    log_ += WriteMessage() + " 无法写入" + where + "：" + reason + kCrLf + kCrLf;
}

void ConversionRun::MyConversion_ExecuteInfo(std::string& StrSQL) {
    if (server_unavailable_)
        ++unsent_statements_;
    if (window_.Scenario() < 1)
        return;
    // The destination that made the statement says what it is, and where a row's own values
    // begin, so that rows are joined without reading the statement's text back.
    const data::MadeStatement* made = engine_.ReportedStatement();
    const bool row = made ? made->kind == data::StatementKind::Row : false;
    if (!script_) {
        ++unwritten_statements_;
        if (row)
            ++unwritten_rows_;
        return;
    }
    // The script file holds only what the server took: a statement it refused would stop the
    // client that loads the file (its failure is counted by the engine).
    if (made && made->refused)
        return;
    if (made && made->kind == data::StatementKind::Procedure) {
        // A procedure's body has statements of its own: the client is told to end this one at
        // ";;" instead, then back.
        EndExtendedInsert();
        AddScriptLine("DELIMITER ;;", 0, 0);
        AddScriptLine(StrSQL + ";;", 1, 0);
        AddScriptLine("DELIMITER ;", 0, 0);
        return;
    }
    const int joined = window_.ExtendedInsertRows();
    if (joined != 1) {
        if (row && made->row_prefix > 0 && made->row_prefix < StrSQL.size()) {
            const std::string_view text = StrSQL;
            const std::string_view prefix = text.substr(0, made->row_prefix);
            const std::string_view tuple =
                text.substr(made->row_prefix, text.size() - made->row_prefix - 1);
            if (extended_rows_ > 0 &&
                (prefix != extended_prefix_ || (joined > 0 && extended_rows_ >= joined) ||
                 extended_line_.size() + 1 + tuple.size() + 1 > kExtendedInsertBytes))
                EndExtendedInsert();
            if (extended_rows_ == 0) {
                extended_prefix_.assign(prefix);
                extended_line_.assign(prefix);
            } else {
                extended_line_ += ',';
            }
            extended_line_ += tuple;
            ++extended_rows_;
            return;
        }
        EndExtendedInsert();
    }
    AddScriptLine(StrSQL, 1, row ? 1 : 0);
}

// Adds one line of `statements` reported statements, `rows` of them rows, to the script file's
// next chunk.
void ConversionRun::AddScriptLine(std::string_view line, std::int64_t statements,
                                  std::int64_t rows) {
    script_chunk_ += line;
    // The table statement carries no semicolon of its own; a client that loads the file needs
    // one to tell where each statement ends.
    if (line.empty() || line.back() != ';')
        script_chunk_ += ';';
    script_chunk_ += kCrLf;
    chunk_line_ends_.push_back(script_chunk_.size());
    chunk_line_statements_.push_back(statements);
    chunk_line_rows_.push_back(rows);
    if (script_chunk_.size() >= kScriptChunkBytes)
        WriteScriptChunk();
}

// Ends the multi-row INSERT being joined, as one line.
void ConversionRun::EndExtendedInsert() {
    if (extended_rows_ == 0)
        return;
    const std::int64_t rows = extended_rows_;
    extended_rows_ = 0;
    AddScriptLine(extended_line_, rows, rows);
    extended_line_.clear();
}

void ConversionRun::WriteScriptChunk() {
    EndExtendedInsert();
    if (!script_ || script_chunk_.empty())
        return;
    errno = 0;
    const std::size_t written =
        std::fwrite(script_chunk_.data(), 1, script_chunk_.size(), script_.get());
    const int error = errno;
    if (written == script_chunk_.size()) {
        script_bytes_ += written;
        script_chunk_.clear();
        chunk_line_ends_.clear();
        chunk_line_statements_.clear();
        chunk_line_rows_.clear();
        return;
    }
    // The lines that reached the file completely stay; the rest count as not written, and the
    // file is cut back to its last whole line so that no client ever runs half a statement.
    std::size_t kept_bytes = 0;
    std::size_t kept_lines = 0;
    while (kept_lines < chunk_line_ends_.size() && chunk_line_ends_[kept_lines] <= written)
        kept_bytes = chunk_line_ends_[kept_lines++];
    for (std::size_t line = kept_lines; line < chunk_line_statements_.size(); ++line) {
        unwritten_statements_ += chunk_line_statements_[line];
        unwritten_rows_ += chunk_line_rows_[line];
    }
    script_chunk_.clear();
    chunk_line_ends_.clear();
    chunk_line_statements_.clear();
    chunk_line_rows_.clear();
    script_.reset();
    // A device such as /dev/full cannot be cut, nor needs it; nor does a pipe.
    std::error_code ignored;
    if (!script_is_output_)
        std::filesystem::resize_file(script_path_, script_bytes_ + kept_bytes, ignored);
    ScriptFailed(error != 0 ? std::strerror(error) : "写入失败");
    // With the script file as the only output nothing more can be produced.
    if (window_.Scenario() == 1)
        engine_.EndProgress = true;
}

void ConversionRun::CloseScript() {
    EndExtendedInsert();
    if (script_)
        for (const std::string& line : engine_.ScriptSession(data::SessionPoint::End))
            AddScriptLine(line, 0, 0);
    WriteScriptChunk();
    if (!script_)
        return;
    std::FILE* file = script_.release();
    errno = 0;
    if (std::fclose(file) != 0)
        ScriptFailed(errno != 0 ? std::strerror(errno) : "关闭失败");
}

void ConversionRun::MyConversion_Progress(std::int32_t& ProgressStatus) {
    window_.SetProgress(static_cast<double>(ProgressStatus));
}

// Foreign keys come after every table has its rows, so that each finds its parent rows.
void ConversionRun::ConvertRelationships(const std::set<std::string>& converted) {
    const bool dump_only = window_.Scenario() == 1 || server_unavailable_;
    if (script_) {
        EndExtendedInsert();
        for (const std::string& line : engine_.ScriptSession(data::SessionPoint::ForeignKeys))
            AddScriptLine(line, 0, 0);
    }
    for (const auto& relationship : engine_.ConvRelationships(converted, dump_only)) {
        const std::string label =
            relationship.name.empty() ? std::string("关系") : "关系 '" + relationship.name + "'";
        if (relationship.created) {
            ++summary_.foreign_keys;
            log_ += WriteMessage() + " " + label + "：已建立外键" + kCrLf;
        } else {
            log_ += WriteMessage() + " " + label + "：" + relationship.note + kCrLf;
            summary_.schema_notes.push_back(label + "：" + relationship.note);
        }
    }
    WriteScriptChunk();
    log_ += kCrLf;
}

void ConversionRun::ConvertViews(const std::set<std::string>& converted) {
    const bool dump_only = window_.Scenario() == 1 || server_unavailable_;
    const auto views = engine_.ConvViews(converted, dump_only);
    for (const auto& view : views) {
        const std::string label =
            view.name.empty() ? std::string("查询") : "查询 '" + view.name + "'";
        if (view.created && view.procedure) {
            ++summary_.procedures;
            log_ += WriteMessage() + " " + label + "：已转换为存储过程" + kCrLf;
        } else if (view.created) {
            ++summary_.views;
            log_ += WriteMessage() + " " + label + "：已转换为视图" + kCrLf;
        } else {
            log_ += WriteMessage() + " " + label + " 未转换：" + view.note + kCrLf;
            summary_.query_notes.push_back(label + "：" + view.note);
        }
    }
    WriteScriptChunk();
    if (!views.empty())
        log_ += kCrLf;
}

void ConversionRun::RunConversion() {
    if (window_.TableCount() <= 0)
        return;
    try {
        RunTables();
    } catch (const std::exception& e) {
        Abort(e.what());
    }
}

// Whatever escaped the run (memory, the file system) ends it: the log says why, and the run
// counts as failed.
void ConversionRun::Abort(const std::string& reason) {
    summary_.run_error = reason.empty() ? std::string("未知错误") : reason;
    server_unavailable_ = false;
    log_ += std::string(kCrLf) + WriteMessage() + " 转换中止：" + summary_.run_error + kCrLf;
    try {
        CloseScript();
    } catch (const std::exception& e) {
        ScriptFailed(e.what());
    }
    const double elapsed = static_cast<double>(TickCount() - run_start_) / 1000.0;
    log_ += std::string(kCrLf) + "(" + FormatSeconds(elapsed) + " s taken)";
    window_.SetMessage(log_);
}

void ConversionRun::RunTables() {
    summary_ = RunSummary{};
    log_.clear();
    script_error_logged_ = false;
    script_error_.clear();
    script_chunk_.clear();
    chunk_line_ends_.clear();
    chunk_line_statements_.clear();
    chunk_line_rows_.clear();
    extended_rows_ = 0;
    extended_line_.clear();
    script_bytes_ = 0;
    server_unavailable_ = false;
    server_error_.clear();
    script_is_output_ = false;
    const std::int16_t scenario = window_.Scenario();

    std::string open_error;
    if (scenario > 0) {
        script_path_ = window_.ScriptPath();
        script_is_output_ = script_path_ == kStandardOutput;
        errno = 0;
        if (script_is_output_) {
            // A handle of its own, so that closing it leaves the process's standard output be.
            const int output = ::dup(STDOUT_FILENO);
            script_.reset(output >= 0 ? ::fdopen(output, "wb") : nullptr);
            if (!script_ && output >= 0)
                ::close(output);
        } else {
            script_.reset(std::fopen(script_path_.c_str(), "wb"));
        }
        if (!script_)
            open_error = errno ? std::strerror(errno) : "无法创建文件";
        else
            std::setvbuf(script_.get(), nullptr, _IONBF, 0); // the run gathers its own chunks
        if (script_)
            for (const std::string& line : engine_.ScriptSession(data::SessionPoint::Begin))
                AddScriptLine(line, 0, 0);
    }
    const std::uint64_t start = TickCount();
    run_start_ = start;
    log_ = WriteMessage() + " Start conversion ...." + kCrLf + kCrLf;
    if (const std::string encoding = engine_.SourceTextEncoding(); !encoding.empty())
        log_ += WriteMessage() + " " + encoding + kCrLf + kCrLf;
    // Linked tables are not in the table list: their data lives elsewhere. The log says so, so
    // that a user missing one learns why.
    if (const auto links = engine_.LinkedTables(); !links.empty()) {
        for (const auto& link : links)
            log_ += WriteMessage() + " 链接表 '" + link.table_name + "' 未转换：数据在 " +
                    link.link_target + "中，不在这个文件里" + kCrLf;
        log_ += kCrLf;
    }
    if (!open_error.empty())
        ScriptFailed(open_error);

    // With the script file as the only output and no file, nothing could be produced.
    const bool nothing_to_do = scenario == 1 && !script_;
    const std::string cluster_refusal = scenario != 1 ? engine_.ClusterRefusal() : std::string();
    if (!cluster_refusal.empty()) {
        // Nothing goes to a server that would keep the tables on one of its nodes only.
        summary_.database_failed = true;
        summary_.database_error = cluster_refusal;
        server_unavailable_ = true;
        server_error_ = cluster_refusal;
        log_ += WriteMessage() + " " + cluster_refusal + kCrLf + kCrLf;
    } else if (scenario != 1) {
        const std::string database = window_.DatabaseName();
        try {
            engine_.createDB(database);
            log_ += WriteMessage() + " 创建数据库不存在 '" + database + "'" + kCrLf + kCrLf;
        } catch (const data::DataAccessError& e) {
            // Sending the tables anyway would put them into whatever database the connection
            // used before, or nowhere: the server side is skipped and every table reports it.
            summary_.database_failed = true;
            summary_.database_error = e.what();
            server_unavailable_ = true;
            server_error_ = std::string("创建数据库失败：") + e.what();
            log_ +=
                WriteMessage() + " 创建数据库失败 '" + database + "'：" + e.what() + kCrLf + kCrLf;
        }
    }

    const bool keep_keys = window_.KeysValue() != 0;
    engine_.SetKeepKeys(keep_keys);
    engine_.SetOleContents(window_.OleContentsValue() != 0);
    std::set<std::string> converted;
    const int count = nothing_to_do ? 0 : window_.TableCount();
    for (int i = 0; i < count; ++i) {
        // A cancel confirmed while the database was made, or at the very end of the previous
        // table, starts no further table.
        if (window_.ExitConfirmed()) {
            summary_.cancelled = true;
            log_ += std::string(kCrLf) + WriteMessage() + " 用户取消 ....." + kCrLf;
            break;
        }
        if (!window_.TableTicked(i))
            continue;
        const std::string name = window_.TableText(i);
        log_ += WriteMessage() + " 开始处理表 '" + name + "' " + kCrLf;
        window_.SetStatus("处理表 '" + name + "'");
        const bool with_data = window_.NoDataValue() == 0;
        const bool drop_table = window_.DropTablesValue() != 0;
        const bool dump_only = window_.Scenario() == 1 || server_unavailable_;
        unwritten_statements_ = 0;
        unwritten_rows_ = 0;
        unsent_statements_ = 0;
        // A table's seconds come from the clock itself; TickCount times the whole run.
        const std::uint64_t table_start = SteadyMilliseconds();
        engine_.ConvTable(name, with_data, drop_table, dump_only);
        // Whatever the file refuses is counted for this table, not for a later one.
        WriteScriptChunk();

        const engine::TableReport& report = engine_.LastTableReport();
        // Statements that reached neither the server nor the script file failed as much as
        // refused ones.
        const std::int64_t failed =
            report.failed_statements + unwritten_statements_ + unsent_statements_;
        const std::string first_error = report.failed_statements > 0 ? report.first_error
                                        : unsent_statements_ > 0     ? server_error_
                                                                     : script_error_;
        summary_.rows += report.rows;
        summary_.failed_statements += failed;
        if (failed > 0)
            ++summary_.tables_failed;
        // A row failed when the server refused it or never got it, when its line did not reach
        // the file, or when a value of it could not be read; one row may fail in two places.
        const std::int64_t failed_rows =
            report.failed_rows + unwritten_rows_ + (unsent_statements_ > 0 ? report.rows : 0);
        TableOutcome outcome;
        outcome.name = name;
        outcome.rows_read = report.rows;
        outcome.rows_written = std::max<std::int64_t>(0, report.rows - failed_rows);
        outcome.failed_statements = failed;
        outcome.seconds = static_cast<double>(SteadyMilliseconds() - table_start) / 1000.0;
        outcome.cancelled = window_.ExitConfirmed();
        summary_.tables.push_back(outcome);
        if (TableDone)
            TableDone(outcome);
        for (const std::string& warning : report.column_warnings)
            log_ += WriteMessage() + " 表 '" + name + "'：" + warning + kCrLf;
        for (const std::string& note : report.schema_notes) {
            log_ += WriteMessage() + " 表 '" + name + "'：" + note + kCrLf;
            summary_.schema_notes.push_back("表 '" + name + "'：" + note);
        }
        if (report.created)
            converted.insert(name);
        // A table cut short by a cancel still names what it lost (statements the server never
        // got, a connection ended under it) before the cancel line.
        const bool cancelled = window_.ExitConfirmed();
        if (report.connection_lost && failed > 0)
            log_ += WriteMessage() + " 表 '" + name +
                    "'：与 MySQL 服务器的连接中断，此表未能完整写入服务器" + kCrLf;
        if (failed > 0)
            log_ += WriteMessage() + " 表 '" + name + "' 转换出错：" + std::to_string(failed) +
                    " 条语句失败（" + first_error + "）" + kCrLf + (cancelled ? "" : kCrLf);
        if (cancelled) {
            summary_.cancelled = true;
            log_ += std::string(kCrLf) + WriteMessage() + " 用户取消 ....." + kCrLf;
            break;
        }
        if (failed == 0) {
            ++summary_.tables_done;
            log_ += WriteMessage() + " 表 '" + name + "' 成功转换" + kCrLf + kCrLf;
        }
        if (scenario == 1 && !script_)
            break; // the script file failed: nothing more can be produced
    }

    if (keep_keys && !summary_.cancelled && !nothing_to_do && !converted.empty())
        ConvertRelationships(converted);
    if (window_.ViewsValue() == 1 && !summary_.cancelled && !nothing_to_do && !converted.empty())
        ConvertViews(converted);

    CloseScript();
    server_unavailable_ = false;
    const double elapsed = static_cast<double>(TickCount() - start) / 1000.0;
    log_ += std::string(kCrLf) + "(" + FormatSeconds(elapsed) + " s taken)";
    window_.SetMessage(log_);
}

} // namespace tw::run
