#pragma once

#include "tablewright/engine/Cls_Convertion.h"
#include "tablewright/providers/Providers.h"
#include "tablewright/run/ConversionRun.h"
#include "tablewright/wizard/WizardView.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tw::wizard {

/// The buttons of a message box.
enum class MsgBoxButtons { Ok, YesNo };
/// The icon of a message box.
enum class MsgBoxIcon { Critical, Question, Exclamation, Information };
/// The button with which the user closed a message box.
enum class MsgBoxResult { Ok, Yes, No };

/// What a file dialog is opened with: the filter as description|pattern pairs joined by "|"
/// (patterns of one description joined by ";"), the title and the initial file name.
struct FileDialogRequest {
    std::string Filter;
    std::string DialogTitle;
    std::string FileName;
};

/// The filter of the dialog that picks the Access file.
inline constexpr const char* kOpenFilter = "Access 数据库|*.mdb;*.accdb|全部文件|*.*";
/// The title of the dialog that picks the Access file.
inline constexpr const char* kOpenTitle = "选择Access数据库";
/// The filter of the dialog that names the script file.
inline constexpr const char* kSaveFilter = "SQL 脚本|*.sql";
/// The title of the dialog that names the script file.
inline constexpr const char* kSaveTitle = "保存SQL数据库脚本";
/// The question before the wizard is left.
inline constexpr const char* kExitQuestion = "确实要退出向导吗？";
/// Next on the tables page with no table ticked.
inline constexpr const char* kNoTableTicked = "请至少选择一个要转换的表。";
/// The header of the finished page, and of the finished page after a run with failures.
inline constexpr std::int16_t kFinishedHeader = 4;
inline constexpr std::int16_t kFinishedWithFailuresHeader = 5;

/// Work that must not hold the window up: what runs away from the window's thread, and how a
/// stop request reaches it.
struct BackgroundWork {
    /// Runs on a thread of its own; touches no control.
    std::function<void()> work;
    /// True once the user has asked the work to stop; asked on the window's thread.
    std::function<bool()> stop_requested;
    /// Called once on the window's thread when the work has not ended soon after the stop
    /// request: ends the server call the work waits in.
    std::function<void()> interrupt;
    /// Shows the busy cursor while the work runs.
    bool busy_cursor = false;
};

/// The wizard window's members and handlers without the window: the steps and their checks,
/// the page and button states, the dialogs and the conversion run, on a WizardView of plain
/// properties and the engine.
class WizardSteps {
public:
    /// Binds the logic to the view; the engine is made from `factory` (and the script
    /// destination from `script`) when the window loads.
    explicit WizardSteps(
        WizardView& view, data::ProviderFactory factory = data::DefaultProviderFactory(),
        data::ScriptDestinationFactory script = data::DefaultScriptDestinationFactory());
    ~WizardSteps();
    WizardSteps(const WizardSteps&) = delete;
    WizardSteps& operator=(const WizardSteps&) = delete;

    /// The step on screen: -1 welcome, 0 source, 1 destination, 2 tables, 3 conversion.
    std::int16_t CurrentStep = 0;
    /// 0 MySQL server only, 1 SQL script file only, 2 both.
    std::int16_t Scenario = 0;
    /// True when the window may close without asking; stops the run after the current table.
    bool ExitConfirmed = false;
    /// True from the start of the conversion run on.
    bool Converting = false;
    /// True while the step header is shown instead of the welcome picture.
    bool HeaderShown = false;
    /// The engine, from load to unload.
    std::unique_ptr<engine::Cls_Convertion> MyConversion;

    /// Shows a modal message box captioned "Tablewright"; replaceable for tests.
    std::function<MsgBoxResult(const std::string& prompt, MsgBoxButtons, MsgBoxIcon)> MsgBox;
    /// Shows the open-file dialog; returns the chosen file or an empty text when cancelled.
    std::function<std::string(const FileDialogRequest&)> ShowOpen;
    /// Shows the save-file dialog; returns the chosen file or an empty text when cancelled.
    std::function<std::string(const FileDialogRequest&)> ShowSave;
    /// Lets the window process its pending events once.
    std::function<void()> DoEvents;
    /// Runs work away from the window's thread and returns once it is done, the window painting
    /// and answering meanwhile; unset, the work runs in place.
    std::function<void(const BackgroundWork&)> InBackground;
    /// Hands a piece of work from the thread of InBackground to the window's thread, where the
    /// pieces run in the order handed and all before InBackground returns.
    std::function<void(std::function<void()>)> ToWindow;

    /// Load: creates the engine, shows the welcome page, paints and fills the table types.
    void Form_Load();
    /// Unload: asks unless ExitConfirmed and releases the engine; sets Cancel to 1 to keep the
    /// window open (after No, or while a handler or the run is still under way).
    void Form_Unload(int& Cancel);

    /// Next: checks the step and goes on; on the tables step starts the run.
    void CmdNext_Click();
    /// Back: one step back without any check.
    void CmdBack_Click();
    /// Cancel: asks; on Yes stops the engine and closes (or lets the run stop).
    void CmdCancel_Click();
    /// Finish: closes the window.
    void CmdFinish_Click();
    /// Browse on the source page: the open dialog for the Access file.
    void CmdBrowse_Click();
    /// Browse in the script group: the save dialog for the script file.
    void CmdSaveDumpFile_Click();
    /// Select all: ticks every table.
    void cmdSelect_Click();
    /// Test connection: opens the Access source and reports the result.
    void CmdTestConnection_Click();
    /// The password check box: enables the password box while ticked.
    void ChkSrcPwd_Click();
    /// The table-type list: passes the chosen type to the engine.
    void CboType_Click();
    /// A scenario option: stores its index in Scenario.
    void OptScenario_Click(int Index);

    /// Switches between the welcome picture and the step header and paints the header.
    void ShowHeader(std::int16_t step);
    /// Hides the page of the old step and shows the page of the new step.
    void ShowPage(std::int16_t new_step, std::int16_t old_step);
    /// Puts the buttons and the log box into the finished state.
    void ShowFinished();
    /// Places the four pages.
    void ArrangePages();
    /// Opens the Access source from the source page's texts.
    bool CheckSource();
    /// Opens the MySQL destination from the connection boxes.
    bool CheckMySQL();
    /// Fills the table list from the source, each entry unticked and cut at the first ":".
    void ListSourceTables();
    /// Checks the chosen table type: says why a type no server has any more cannot be used.
    bool CheckTableType();
    /// Checks that a table is ticked: says so when none is.
    bool CheckTablesTicked();

    /// True while a Next handler (and with it the conversion run) is under way.
    bool Busy() const { return busy_; }
    /// The conversion run bound to the engine and the view (null before load and after unload).
    run::ConversionRun* Run() { return run_.get(); }
    /// The steps of handlers that failed and were skipped, each as its reason, oldest first
    /// (the first kSkippedStepsKept of them).
    std::vector<std::string> SkippedSteps() const;
    /// How many skipped steps SkippedSteps keeps.
    static constexpr std::size_t kSkippedStepsKept = 100;

private:
    class RunBinding;

    void Next();
    void Release();
    MsgBoxResult Ask(const std::string& prompt, MsgBoxButtons buttons, MsgBoxIcon icon);
    void CloseWhenIdle();
    bool OpenInBackground(const std::function<bool()>& open);
    void RunConversion();
    void StopRun();
    /// Runs one step of a handler; a step that fails is skipped (and recorded) and the handler
    /// goes on.
    template <typename Step> void Attempt(Step&& step);
    void Skipped(const std::string& reason);

    WizardView& view_;
    data::ProviderFactory factory_;
    data::ScriptDestinationFactory script_;
    // Steps run on the worker thread too.
    mutable std::mutex skipped_mutex_;
    std::vector<std::string> skipped_;
    std::atomic<bool> run_broke_{false};
    std::unique_ptr<RunBinding> run_window_;
    std::unique_ptr<run::ConversionRun> run_;
    bool busy_ = false;
    bool close_pending_ = false;
};

/// The port text as a number: surrounding blanks allowed, an optional sign, decimal digits,
/// within 32 bits; none for anything else.
std::optional<std::int32_t> PortNumber(const std::string& text);

/// The script file name after the save dialog's rule: unchanged when its last four characters
/// are ".sql" in any case, otherwise with ".sql" appended.
std::string WithSqlExtension(const std::string& file_name);

} // namespace tw::wizard
