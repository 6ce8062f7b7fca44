#include "tablewright/wizard/WizardSteps.h"

#include <atomic>
#include <charconv>
#include <exception>

namespace tw::wizard {

namespace {

const ControlRef kPicWelcome{Ctl::PicWelcome};
const ControlRef kPicHeader{Ctl::PicHeader};
const ControlRef kCmdBack{Ctl::CmdBack};
const ControlRef kCmdNext{Ctl::CmdNext};
const ControlRef kCmdCancel{Ctl::CmdCancel};
const ControlRef kCmdFinish{Ctl::CmdFinish};
const ControlRef kTxtMessage{Ctl::TxtMessage};
const ControlRef kFraMySQL{Ctl::FraMySQL};
const ControlRef kFraDumpFile{Ctl::FraDumpFile};
const ControlRef kTxtSourceDB{Ctl::TxtSourceDB};
const ControlRef kTxtSrcPwd{Ctl::TxtSrcPwd};
const ControlRef kChkSrcPwd{Ctl::ChkSrcPwd};
const ControlRef kTxtDestDumpFile{Ctl::TxtDestDumpFile};
const ControlRef kCboType{Ctl::CboType};
const ControlRef kLstTables{Ctl::LstTables};

ControlRef Page(int step) {
    return {Ctl::fra_progress, step};
}
ControlRef MySQLInfo(int index) {
    return {Ctl::TxtMySQLInfo, index};
}

/// Sets a flag for the lifetime of a scope.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

} // namespace

/// The run's view of the window: the wizard's members and the view's controls. While the run
/// works on a thread of its own, it reads the values the controls had when it started and what
/// it shows reaches the controls on the window's thread, in the order shown.
class WizardSteps::RunBinding : public run::RunWindow {
public:
    RunBinding(WizardSteps& steps, WizardView& view) : steps_(steps), view_(view) {}

    /// Takes the controls' values for a run on another thread; `to_window` carries what it
    /// shows.
    void Detach(std::function<void(std::function<void()>)> to_window) {
        frozen_ = std::make_unique<run::PlainRunWindow>();
        frozen_->scenario = steps_.Scenario;
        for (int i = 0; i < view_.ListCount(kLstTables); ++i)
            frozen_->tables.push_back({view_.List(kLstTables, i), view_.Selected(kLstTables, i)});
        frozen_->script_path = view_.Text(kTxtDestDumpFile);
        frozen_->database_name = view_.Text(MySQLInfo(4));
        frozen_->no_data = static_cast<int>(view_.Value({Ctl::ChkNoData}));
        frozen_->drop_tables = static_cast<int>(view_.Value({Ctl::ChkDropTables}));
        frozen_->keep_keys = static_cast<int>(view_.Value({Ctl::ChkKeepKeys}));
        frozen_->convert_views = static_cast<int>(view_.Value({Ctl::ChkViews}));
        stop_.store(steps_.ExitConfirmed);
        to_window_ = std::move(to_window);
    }
    /// Back to the controls themselves once the run's thread has ended.
    void Attach() {
        frozen_.reset();
        to_window_ = nullptr;
    }
    /// Passes a confirmed cancel to a detached run.
    void Stop() { stop_.store(true); }
    bool Stopped() const { return stop_.load(); }

    std::int16_t Scenario() const override {
        return frozen_ ? frozen_->Scenario() : steps_.Scenario;
    }
    bool ExitConfirmed() const override { return frozen_ ? stop_.load() : steps_.ExitConfirmed; }
    int TableCount() const override {
        return frozen_ ? frozen_->TableCount() : view_.ListCount(kLstTables);
    }
    bool TableTicked(int i) const override {
        return frozen_ ? frozen_->TableTicked(i) : view_.Selected(kLstTables, i);
    }
    std::string TableText(int i) const override {
        return frozen_ ? frozen_->TableText(i) : view_.List(kLstTables, i);
    }
    std::string ScriptPath() const override {
        return frozen_ ? frozen_->ScriptPath() : view_.Text(kTxtDestDumpFile);
    }
    std::string DatabaseName() const override {
        return frozen_ ? frozen_->DatabaseName() : view_.Text(MySQLInfo(4));
    }
    int NoDataValue() const override {
        return frozen_ ? frozen_->NoDataValue() : static_cast<int>(view_.Value({Ctl::ChkNoData}));
    }
    int DropTablesValue() const override {
        return frozen_ ? frozen_->DropTablesValue()
                       : static_cast<int>(view_.Value({Ctl::ChkDropTables}));
    }
    int KeysValue() const override {
        return frozen_ ? frozen_->KeysValue() : static_cast<int>(view_.Value({Ctl::ChkKeepKeys}));
    }
    int ViewsValue() const override {
        return frozen_ ? frozen_->ViewsValue() : static_cast<int>(view_.Value({Ctl::ChkViews}));
    }
    void SetStatus(const std::string& text) override {
        Show([this, text] { view_.SetText({Ctl::LblProgressStatus}, text); });
    }
    void SetProgress(double value) override {
        Show([this, value] { view_.SetValue({Ctl::Pbar}, value); });
    }
    void SetMessage(const std::string& text) override {
        Show([this, text] { view_.SetText(kTxtMessage, text); });
    }

private:
    void Show(std::function<void()> change) {
        if (to_window_)
            to_window_(std::move(change));
        else
            change();
    }

    WizardSteps& steps_;
    WizardView& view_;
    std::unique_ptr<run::PlainRunWindow> frozen_;
    std::function<void(std::function<void()>)> to_window_;
    std::atomic<bool> stop_{false};
};

WizardSteps::WizardSteps(WizardView& view, data::ProviderFactory factory,
                         data::ScriptDestinationFactory script)
    : view_(view), factory_(std::move(factory)), script_(std::move(script)),
      run_window_(std::make_unique<RunBinding>(*this, view)) {}

template <typename Step> void WizardSteps::Attempt(Step&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        // The next step runs whatever happened to this one; what was skipped is kept.
        Skipped(e.what());
    }
}

void WizardSteps::Skipped(const std::string& reason) {
    const std::lock_guard lock(skipped_mutex_);
    if (skipped_.size() < kSkippedStepsKept)
        skipped_.push_back(reason);
}

std::vector<std::string> WizardSteps::SkippedSteps() const {
    const std::lock_guard lock(skipped_mutex_);
    return skipped_;
}

WizardSteps::~WizardSteps() {
    Release();
}

void WizardSteps::Release() {
    // The run holds the engine's event handlers, so it goes first.
    run_.reset();
    MyConversion.reset();
}

MsgBoxResult WizardSteps::Ask(const std::string& prompt, MsgBoxButtons buttons, MsgBoxIcon icon) {
    if (MsgBox)
        return MsgBox(prompt, buttons, icon);
    return buttons == MsgBoxButtons::Ok ? MsgBoxResult::Ok : MsgBoxResult::No;
}

void WizardSteps::Form_Load() {
    Attempt([&] {
        MyConversion = std::make_unique<engine::Cls_Convertion>(factory_, script_);
        MyConversion->ShowCriticalMessage = [this](const std::string& text) {
            Ask(text, MsgBoxButtons::Ok, MsgBoxIcon::Critical);
        };
        MyConversion->DoEvents = [this] {
            if (DoEvents)
                DoEvents();
        };
        run_ = std::make_unique<run::ConversionRun>(*MyConversion, *run_window_);
    });
    Attempt([&] { ShowHeader(-1); });
    CurrentStep = -1;
    Attempt([&] { view_.PaintForm(); });
    Attempt([&] { ArrangePages(); });
    Attempt([&] {
        for (const std::string& type : TableTypes())
            view_.AddItem(kCboType, type);
        // The view selects without raising the click, so the handler is called here.
        view_.SetListIndex(kCboType, 0);
        CboType_Click();
    });
    Attempt([&] {
        view_.PaintWelcome();
        OptScenario_Click(0);
    });
}

void WizardSteps::Form_Unload(int& Cancel) {
    if (busy_) {
        // The Next handler, and perhaps the run, is still working with the engine: ask, stop
        // the run through both flags and close once the handler has returned.
        if (!ExitConfirmed &&
            Ask(kExitQuestion, MsgBoxButtons::YesNo, MsgBoxIcon::Question) != MsgBoxResult::Yes) {
            Cancel = 1;
            return;
        }
        ExitConfirmed = true;
        StopRun();
        close_pending_ = true;
        Cancel = 1;
        return;
    }
    if (!ExitConfirmed &&
        Ask(kExitQuestion, MsgBoxButtons::YesNo, MsgBoxIcon::Question) != MsgBoxResult::Yes) {
        Cancel = 1;
        return;
    }
    Release();
}

void WizardSteps::CloseWhenIdle() {
    if (!close_pending_ || busy_)
        return;
    close_pending_ = false;
    view_.Close();
}

void WizardSteps::CmdNext_Click() {
    // A click that arrives while the handler yields would start a second step or run.
    if (busy_)
        return;
    {
        FlagScope busy(busy_);
        Attempt([&] { Next(); });
    }
    CloseWhenIdle();
}

void WizardSteps::Next() {
    if (CurrentStep < 3) {
        bool ok = false;
        switch (CurrentStep) {
        case -1:
            ok = true;
            break;
        case 0:
            Attempt([&] { ok = CheckSource(); });
            // The destination page is prepared for the scenario whatever the check gave.
            Attempt([&] {
                view_.SetEnabled(kFraMySQL, true);
                view_.SetEnabled(kFraDumpFile, true);
                if (Scenario == 0)
                    view_.SetEnabled(kFraDumpFile, false);
                if (Scenario == 1)
                    view_.SetEnabled(kFraMySQL, false);
            });
            break;
        case 1: {
            // A table type no server knows would fail every table: nothing is tried with it.
            if (!CheckTableType())
                break;
            const bool has_script = !view_.Text(kTxtDestDumpFile).empty();
            if (Scenario == 0) {
                Attempt([&] { ok = CheckMySQL(); });
            } else if (Scenario == 1) {
                ok = has_script;
                if (!ok)
                    Ask("请你选择保存文件名、路径", MsgBoxButtons::Ok, MsgBoxIcon::Exclamation);
            } else if (Scenario == 2) {
                bool connected = false;
                Attempt([&] { connected = CheckMySQL(); });
                ok = connected && has_script;
                if (!ok)
                    Ask("请检查MySQL连接和保存文件名、路径适合正确", MsgBoxButtons::Ok,
                        MsgBoxIcon::Exclamation);
            }
            break;
        }
        case 2:
            Attempt([&] { ok = CheckTablesTicked(); });
            break;
        default:
            break;
        }
        if (ok) {
            ++CurrentStep;
            Attempt([&] { ShowPage(CurrentStep, static_cast<std::int16_t>(CurrentStep - 1)); });
            if (CurrentStep == 3) {
                // The run's page stands complete, header and buttons, before the server is
                // first asked anything.
                Attempt([&] { ShowHeader(CurrentStep); });
                Attempt([&] {
                    view_.SetEnabled(kCmdBack, false);
                    view_.SetEnabled(kCmdNext, false);
                });
            }
            if (DoEvents)
                Attempt(DoEvents);
            if (CurrentStep != 3)
                Attempt([&] { ShowHeader(CurrentStep); });
        }
    }

    if (CurrentStep == 3) {
        // One run per window, and none once the user has confirmed leaving during the yield.
        if (Converting || close_pending_)
            return;
        Attempt([&] {
            view_.SetEnabled(kCmdBack, false);
            view_.SetEnabled(kCmdNext, false);
        });
        Converting = true;
        if (MyConversion)
            MyConversion->EndProgress = false;
        bool run_failed = false;
        try {
            RunConversion();
        } catch (const std::exception& e) {
            // The run itself could not be started or ended (the worker, the window's thread):
            // it failed, whatever its summary says.
            Skipped(e.what());
            run_failed = true;
        }
        Attempt([&] { ShowFinished(); });
        Attempt([&] { ShowPage(-1, 3); });
        // A cancel is no failure; a table, the database or the script file that failed is,
        // also in a cancelled run, and so is a run that something ended early.
        bool failed = run_failed || run_broke_.exchange(false);
        if (run_) {
            const run::RunSummary& summary = run_->Summary();
            failed = failed || summary.tables_failed > 0 || summary.failed_statements > 0 ||
                     summary.script_failed || summary.database_failed || !summary.run_error.empty();
        }
        Attempt([&] { ShowHeader(failed ? kFinishedWithFailuresHeader : kFinishedHeader); });
    } else if (CurrentStep == 2) {
        Attempt([&] { ListSourceTables(); });
    }
}

// The run, on a thread of its own when the window has one: the controls' values are taken at
// the start and what the run shows reaches them in order.
void WizardSteps::RunConversion() {
    if (!run_)
        return;
    if (!InBackground || !ToWindow) {
        run_->RunConversion();
        return;
    }
    run_window_->Detach(ToWindow);
    BackgroundWork job;
    job.work = [this] {
        // The run logs what ends it early; whatever still escapes it ends the run here, logged
        // and counted as a failure: nothing may leave the thread.
        std::string reason;
        try {
            run_->RunConversion();
            return;
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "未知错误";
        }
        try {
            run_->Abort(reason);
        } catch (...) {
            run_broke_ = true; // not even the log could be written: the header still says so
        }
    };
    job.stop_requested = [this] { return run_window_->Stopped(); };
    job.interrupt = [this] {
        if (MyConversion)
            MyConversion->InterruptServer();
    };
    try {
        InBackground(job);
    } catch (...) {
        run_window_->Attach();
        throw;
    }
    run_window_->Attach();
}

// Stops the run: after the current row, and at once when it waits for the server (see
// BackgroundWork::interrupt).
void WizardSteps::StopRun() {
    if (MyConversion)
        MyConversion->EndProgress = true;
    run_window_->Stop();
}

void WizardSteps::CmdBack_Click() {
    if (busy_ || CurrentStep == -1)
        return;
    --CurrentStep;
    Attempt([&] { ShowHeader(CurrentStep); });
    Attempt([&] { ShowPage(CurrentStep, static_cast<std::int16_t>(CurrentStep + 1)); });
}

void WizardSteps::CmdCancel_Click() {
    if (Ask(kExitQuestion, MsgBoxButtons::YesNo, MsgBoxIcon::Question) != MsgBoxResult::Yes)
        return;
    StopRun();
    const bool converting = Converting;
    ExitConfirmed = true;
    if (!converting)
        view_.Close();
}

void WizardSteps::CmdFinish_Click() {
    view_.Close();
}

void WizardSteps::CmdBrowse_Click() {
    // The dialog opens where the current path points.
    const FileDialogRequest request{kOpenFilter, kOpenTitle, view_.Text(kTxtSourceDB)};
    std::string file_name;
    Attempt([&] {
        if (ShowOpen)
            file_name = ShowOpen(request);
    });
    if (file_name.empty())
        return;
    view_.SetText(kTxtSourceDB, file_name);
}

void WizardSteps::CmdSaveDumpFile_Click() {
    const FileDialogRequest request{kSaveFilter, kSaveTitle, view_.Text(kTxtDestDumpFile)};
    std::string file_name;
    Attempt([&] {
        if (ShowSave)
            file_name = ShowSave(request);
    });
    if (file_name.empty())
        return;
    view_.SetText(kTxtDestDumpFile, WithSqlExtension(file_name));
}

void WizardSteps::cmdSelect_Click() {
    const int count = view_.ListCount(kLstTables);
    for (int i = 0; i < count; ++i)
        view_.SetSelected(kLstTables, i, true);
}

void WizardSteps::CmdTestConnection_Click() {
    // The test uses the engine as Next does: never both at once.
    if (busy_)
        return;
    {
        FlagScope busy(busy_);
        bool ok = false;
        Attempt([&] { ok = CheckSource(); });
        if (ok)
            Ask("测试连接成功", MsgBoxButtons::Ok, MsgBoxIcon::Information);
        else
            Ask("测试连接失败", MsgBoxButtons::Ok, MsgBoxIcon::Critical);
    }
    CloseWhenIdle();
}

void WizardSteps::ChkSrcPwd_Click() {
    const bool ticked = view_.Value(kChkSrcPwd) != 0;
    view_.SetEnabled(kTxtSrcPwd, ticked);
    if (ticked)
        view_.SetFocus(kTxtSrcPwd);
}

void WizardSteps::CboType_Click() {
    if (MyConversion)
        MyConversion->SetTableType(view_.Text(kCboType));
}

void WizardSteps::OptScenario_Click(int Index) {
    Scenario = static_cast<std::int16_t>(Index);
}

void WizardSteps::ShowHeader(std::int16_t step) {
    if (step >= 0 && !HeaderShown) {
        view_.SetVisible(kPicWelcome, false);
        view_.SetVisible(kPicHeader, true);
        HeaderShown = true;
        view_.SetEnabled(kCmdBack, true);
    } else if (step == -1) {
        view_.SetHeight(kPicHeader, 0);
        view_.SetVisible(kPicHeader, false);
        view_.SetVisible(kPicWelcome, true);
        HeaderShown = false;
        view_.SetEnabled(kCmdBack, false);
    }
    if (step != -1)
        view_.PaintHeader(step);
}

void WizardSteps::ShowPage(std::int16_t new_step, std::int16_t old_step) {
    if (old_step >= 0 && old_step <= 3)
        view_.SetVisible(Page(old_step), false);
    if (new_step != -1)
        view_.SetVisible(Page(new_step), true);
}

void WizardSteps::ShowFinished() {
    view_.SetEnabled(kCmdCancel, false);
    view_.SetVisible(kCmdNext, false);
    view_.SetVisible(kCmdFinish, true);
    view_.SetVisible(kTxtMessage, true);
    ExitConfirmed = true;
}

void WizardSteps::ArrangePages() {
    view_.Move(Page(0), {22, 78, 451, 191});
    for (int step = 1; step <= 3; ++step)
        view_.Move(Page(step), {6, 65, 480, 220});
}

// Opens a connection away from the window's thread when the window has one, with the busy
// cursor; the engine's messages are shown afterwards, on the window's thread.
bool WizardSteps::OpenInBackground(const std::function<bool()>& open) {
    if (!InBackground || !MyConversion)
        return open();
    std::vector<std::string> messages;
    auto show = std::move(MyConversion->ShowCriticalMessage);
    MyConversion->ShowCriticalMessage = [&messages](const std::string& text) {
        messages.push_back(text);
    };
    bool ok = false;
    BackgroundWork job;
    job.work = [&] { Attempt([&] { ok = open(); }); };
    job.busy_cursor = true;
    Attempt([&] { InBackground(job); });
    MyConversion->ShowCriticalMessage = std::move(show);
    for (const std::string& text : messages)
        Ask(text, MsgBoxButtons::Ok, MsgBoxIcon::Critical);
    return ok;
}

bool WizardSteps::CheckSource() {
    const std::string file_name = view_.Text(kTxtSourceDB);
    // The password box counts only while its check box is ticked, whatever it still holds.
    const std::string password = view_.Value(kChkSrcPwd) != 0 ? view_.Text(kTxtSrcPwd) : "";
    return MyConversion &&
           OpenInBackground([&] { return MyConversion->OpenSourceDB(file_name, password); });
}

bool WizardSteps::CheckMySQL() {
    const std::string host = view_.Text(MySQLInfo(0));
    const std::string user = view_.Text(MySQLInfo(2));
    const std::string password = view_.Text(MySQLInfo(3));
    const std::string port_text = view_.Text(MySQLInfo(1));
    const std::optional<std::int32_t> port = PortNumber(port_text);
    if (!port) {
        // The same words the connection gives a number out of range.
        Ask("端口号无效：'" + port_text + "'。", MsgBoxButtons::Ok, MsgBoxIcon::Critical);
        return false;
    }
    return MyConversion && OpenInBackground([&] {
               return MyConversion->OpenDestinationDB(host, user, password, *port);
           });
}

bool WizardSteps::CheckTableType() {
    const std::string type = view_.Text(kCboType);
    for (const char* gone : {"ISAM", "BDB"}) {
        if (type == gone) {
            Ask("表类型 " + type +
                    " 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 MyISAM 或 InnoDB",
                MsgBoxButtons::Ok, MsgBoxIcon::Exclamation);
            return false;
        }
    }
    return true;
}

bool WizardSteps::CheckTablesTicked() {
    const int count = view_.ListCount(kLstTables);
    for (int i = 0; i < count; ++i)
        if (view_.Selected(kLstTables, i))
            return true;
    Ask(kNoTableTicked, MsgBoxButtons::Ok, MsgBoxIcon::Exclamation);
    return false;
}

void WizardSteps::ListSourceTables() {
    std::vector<data::TableEntry> entries;
    Attempt([&] {
        if (MyConversion)
            entries = MyConversion->SourceTables();
    });
    view_.Clear(kLstTables);
    // The list shows whole names: a table whose name holds ':' is still the table it names.
    for (const auto& entry : entries)
        view_.AddItem(kLstTables, entry.name);
}

std::optional<std::int32_t> PortNumber(const std::string& text) {
    auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    if (begin < end && text[begin] == '+') {
        ++begin;
        if (begin < end && text[begin] == '-')
            return std::nullopt;
    }
    if (begin == end)
        return std::nullopt;
    std::int32_t value = 0;
    const char* first = text.data() + begin;
    const char* last = text.data() + end;
    const auto [stop, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || stop != last)
        return std::nullopt;
    return value;
}

std::string WithSqlExtension(const std::string& file_name) {
    if (file_name.size() >= 4) {
        std::string ending = file_name.substr(file_name.size() - 4);
        for (char& c : ending)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (ending == ".sql")
            return file_name;
    }
    return file_name + ".sql";
}

} // namespace tw::wizard
