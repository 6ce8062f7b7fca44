// The wizard's step logic on plain values: the state table of the steps, the checks per
// scenario with their messages, the handlers of the page controls, Cancel and closing, with the
// in-memory source and destination.
#include "FakeSource.h"
#include "ScriptText.h"
#include "TempDir.h"

#include "tablewright/model/AdoTypes.h"
#include "tablewright/wizard/WizardSteps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace tw;
using namespace tw::wizard;
using data::Value;
using test::FakeTable;
using test::FakeWorld;

namespace {

struct Message {
    std::string text;
    MsgBoxButtons buttons;
    MsgBoxIcon icon;
    bool operator==(const Message&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Message& m) {
    return out << "\"" << m.text << "\" buttons " << int(m.buttons) << " icon " << int(m.icon);
}

const ControlRef kCmdBack{Ctl::CmdBack};
const ControlRef kCmdNext{Ctl::CmdNext};
const ControlRef kCmdCancel{Ctl::CmdCancel};
const ControlRef kCmdFinish{Ctl::CmdFinish};
const ControlRef kPicWelcome{Ctl::PicWelcome};
const ControlRef kPicHeader{Ctl::PicHeader};
const ControlRef kTxtMessage{Ctl::TxtMessage};
const ControlRef kLstTables{Ctl::LstTables};
const ControlRef kFraMySQL{Ctl::FraMySQL};
const ControlRef kFraDumpFile{Ctl::FraDumpFile};
const ControlRef kTxtDestDumpFile{Ctl::TxtDestDumpFile};
ControlRef Page(int i) {
    return {Ctl::fra_progress, i};
}
ControlRef Info(int i) {
    return {Ctl::TxtMySQLInfo, i};
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct WizardLogic : ::testing::Test {
    FakeWorld world;
    PlainWizardView view;
    WizardSteps steps{view, test::FakeFactory(world)};
    std::vector<Message> messages;
    /// What every Yes/No question is answered.
    MsgBoxResult answer = MsgBoxResult::Yes;
    /// Runs inside every yield to the event loop.
    std::function<void()> on_yield;
    bool closed = false;
    test::TempDir temp{"tw_wizard_test"};
    const std::filesystem::path& dir = temp.Dir();

    void SetUp() override {
        for (const char* name : {"Customers", "Orders", "Empty"}) {
            FakeTable table{name, "TABLE", {{"ID", data::adInteger, 4}}, {}};
            const int rows = std::string(name) == "Empty" ? 0 : 4;
            for (int i = 1; i <= rows; ++i)
                table.rows.push_back({Value(std::int64_t(i))});
            world.tables.push_back(table);
        }
        world.tables.push_back({"MSysObjects", "SYSTEM TABLE", {{"Id", data::adInteger, 4}}, {}});
        steps.MsgBox = [this](const std::string& text, MsgBoxButtons buttons, MsgBoxIcon icon) {
            messages.push_back({text, buttons, icon});
            return buttons == MsgBoxButtons::Ok ? MsgBoxResult::Ok : answer;
        };
        steps.DoEvents = [this] {
            if (on_yield)
                on_yield();
        };
        // Closing goes through the unload handling, as the window's close does.
        view.on_close = [this] {
            int cancel = 0;
            steps.Form_Unload(cancel);
            closed = cancel == 0;
        };
        steps.Form_Load();
        view.SetText({Ctl::TxtSourceDB}, "/data/shop.mdb");
        view.SetText(kTxtDestDumpFile, (dir / "out.sql").string());
    }

    bool Visible(const ControlRef& ref) const { return view.At(ref).visible; }
    bool Enabled(const ControlRef& ref) const { return view.At(ref).enabled; }
    std::vector<std::string> Entries() const { return view.At(kLstTables).items; }
    std::vector<bool> Ticks() const { return view.At(kLstTables).ticks; }

    /// Presses Next until the wizard stands on `step` (at most four presses).
    void WalkTo(int step) {
        for (int i = 0; i < 4 && steps.CurrentStep < step; ++i)
            steps.CmdNext_Click();
        ASSERT_EQ(steps.CurrentStep, step);
    }

    /// Checks the visible page, header and buttons of a step of the state table (-1 to 2).
    void ExpectStep(int step) {
        SCOPED_TRACE("step " + std::to_string(step));
        EXPECT_EQ(steps.CurrentStep, step);
        for (int page = 0; page <= 3; ++page)
            EXPECT_EQ(Visible(Page(page)), page == step) << "page " << page;
        EXPECT_EQ(Visible(kPicWelcome), step == -1);
        EXPECT_EQ(Visible(kPicHeader), step >= 0);
        EXPECT_EQ(steps.HeaderShown, step >= 0);
        if (step >= 0) {
            EXPECT_EQ(view.headers.back(), step);
            EXPECT_EQ(view.At(kPicHeader).rect.height, 60);
        } else {
            EXPECT_EQ(view.At(kPicHeader).rect.height, 0);
        }
        EXPECT_FALSE(Visible(kTxtMessage));
        EXPECT_EQ(Enabled(kCmdBack), step >= 0);
        EXPECT_TRUE(Enabled(kCmdNext) && Visible(kCmdNext));
        EXPECT_TRUE(Enabled(kCmdCancel));
        EXPECT_FALSE(Visible(kCmdFinish));
    }

    /// Checks the finished state after the run, with the header of a run without failures
    /// unless `header` names the other.
    void ExpectFinished(std::int16_t header = kFinishedHeader) {
        EXPECT_EQ(steps.CurrentStep, 3);
        for (int page = 0; page <= 3; ++page)
            EXPECT_FALSE(Visible(Page(page))) << "page " << page;
        EXPECT_EQ(view.headers.back(), header);
        EXPECT_TRUE(Visible(kTxtMessage));
        EXPECT_FALSE(Enabled(kCmdBack));
        EXPECT_FALSE(Enabled(kCmdNext));
        EXPECT_FALSE(Visible(kCmdNext));
        EXPECT_FALSE(Enabled(kCmdCancel));
        EXPECT_TRUE(Visible(kCmdFinish));
        EXPECT_TRUE(steps.ExitConfirmed);
    }
};

TEST_F(WizardLogic, LoadShowsTheWelcomePageWithTheDefaults) {
    ExpectStep(-1);
    EXPECT_EQ(steps.Scenario, 0);
    EXPECT_FALSE(steps.ExitConfirmed);
    EXPECT_FALSE(steps.Converting);
    ASSERT_NE(steps.MyConversion, nullptr);
    EXPECT_TRUE(view.form_painted);
    EXPECT_TRUE(view.welcome_painted);
    EXPECT_EQ(view.At({Ctl::OptScenario, 0}).value, 1);
    EXPECT_EQ(view.At({Ctl::CboType}).items,
              (std::vector<std::string>{"MyISAM", "InnoDB", "ISAM", "BDB", "HEAP"}));
    EXPECT_EQ(view.Text({Ctl::CboType}), "MyISAM");
    EXPECT_EQ(steps.MyConversion->TableTypeClause().rfind("ENGINE=MyISAM", 0), 0u);
    EXPECT_EQ(view.At(Page(0)).rect, (PixelRect{22, 78, 451, 191}));
    for (int page = 1; page <= 3; ++page)
        EXPECT_EQ(view.At(Page(page)).rect, (PixelRect{6, 65, 480, 220}));
    EXPECT_TRUE(world.connection_strings.empty());
    EXPECT_TRUE(messages.empty());
}

TEST_F(WizardLogic, NextAndBackWalkEveryTransitionOfTheStateTable) {
    // Next on the welcome page checks nothing, whatever the source box holds.
    view.SetText({Ctl::TxtSourceDB}, "");
    steps.CmdNext_Click();
    ExpectStep(0);
    EXPECT_TRUE(world.connection_strings.empty());

    steps.CmdBack_Click();
    ExpectStep(-1);
    steps.CmdBack_Click(); // nothing before the welcome page
    ExpectStep(-1);

    view.SetText({Ctl::TxtSourceDB}, "/data/shop.mdb");
    steps.CmdNext_Click();
    steps.CmdNext_Click();
    ExpectStep(1);
    ASSERT_EQ(world.connection_strings.size(), 1u);

    // Back checks nothing and closes nothing.
    steps.CmdBack_Click();
    ExpectStep(0);
    steps.CmdNext_Click();
    ExpectStep(1);
    steps.CmdNext_Click();
    ExpectStep(2);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"Customers", "Orders", "Empty"}));
    steps.CmdBack_Click();
    ExpectStep(1);
    EXPECT_EQ(world.connection_strings.size(), 3u);
    steps.CmdNext_Click();
    ExpectStep(2);

    // Next on the tables page runs the conversion; while it runs only Cancel is live.
    steps.cmdSelect_Click();
    bool seen_running = false;
    on_yield = [&] {
        if (!steps.Converting || seen_running)
            return;
        seen_running = true;
        EXPECT_EQ(steps.CurrentStep, 3);
        EXPECT_TRUE(Visible(Page(3)));
        EXPECT_FALSE(Visible(Page(2)));
        EXPECT_EQ(view.headers.back(), 3);
        EXPECT_FALSE(Enabled(kCmdBack));
        EXPECT_FALSE(Enabled(kCmdNext));
        EXPECT_TRUE(Enabled(kCmdCancel));
        EXPECT_FALSE(steps.MyConversion->EndProgress);
    };
    steps.CmdNext_Click();
    EXPECT_TRUE(seen_running);
    ExpectFinished();
    EXPECT_EQ(view.headers, (std::vector<std::int16_t>{0, 0, 1, 0, 1, 2, 1, 2, 3, 4}));
    EXPECT_NE(view.Text(kTxtMessage).find("表 'Orders' 成功转换"), std::string::npos);

    // Finish closes without a question.
    steps.CmdFinish_Click();
    EXPECT_TRUE(closed);
    EXPECT_EQ(steps.MyConversion, nullptr);
    EXPECT_TRUE(messages.empty());
}

TEST_F(WizardLogic, FailedSourceCheckStaysOnStepZeroButPreparesTheDestinationPage) {
    struct Case {
        int scenario;
        bool mysql_enabled;
        bool dump_enabled;
    };
    for (const Case c : {Case{0, true, false}, Case{1, false, true}, Case{2, true, true}}) {
        SCOPED_TRACE("scenario " + std::to_string(c.scenario));
        steps.OptScenario_Click(c.scenario);
        WalkTo(0);
        world.fail_open = true;
        messages.clear();
        steps.CmdNext_Click();
        ExpectStep(0);
        EXPECT_EQ(messages, (std::vector<Message>{
                                {"不是有效的密码。", MsgBoxButtons::Ok, MsgBoxIcon::Critical}}));
        EXPECT_EQ(Enabled(kFraMySQL), c.mysql_enabled);
        EXPECT_EQ(Enabled(kFraDumpFile), c.dump_enabled);
        world.fail_open = false;
        steps.CmdNext_Click();
        ExpectStep(1);
        steps.CmdBack_Click();
    }
}

TEST_F(WizardLogic, DestinationChecksPerScenarioWithTheirMessages) {
    const std::string server_message = "请检查MySQL连接和保存文件名、路径适合正确";
    struct Case {
        const char* what;
        int scenario;
        std::string script;
        std::string port;
        bool server_refuses;
        bool passes;
        bool server_tried;
        std::vector<Message> messages;
    };
    const Message refused{"不是有效的密码。", MsgBoxButtons::Ok, MsgBoxIcon::Critical};
    const Message no_file{"请你选择保存文件名、路径", MsgBoxButtons::Ok, MsgBoxIcon::Exclamation};
    const Message combined{server_message, MsgBoxButtons::Ok, MsgBoxIcon::Exclamation};
    const auto bad_port = [](const std::string& text) {
        return Message{"端口号无效：'" + text + "'。", MsgBoxButtons::Ok, MsgBoxIcon::Critical};
    };
    const std::vector<Case> cases{
        {"server, connects", 0, "", "3306", false, true, true, {}},
        {"server, refused: only the engine's message", 0, "", "3306", true, false, true, {refused}},
        {"server, port not a number: its message, no attempt",
         0,
         "x",
         "33o6",
         false,
         false,
         false,
         {bad_port("33o6")}},
        {"server, port with letters", 0, "", "abc", false, false, false, {bad_port("abc")}},
        {"server, port with a fraction",
         0,
         "",
         "3306.5",
         false,
         false,
         false,
         {bad_port("3306.5")}},
        {"server, port in hexadecimal", 0, "", "0x10", false, false, false, {bad_port("0x10")}},
        {"server, port empty", 0, "", "", false, false, false, {bad_port("")}},
        {"server, port with blanks and sign", 0, "", " +3306 ", false, true, true, {}},
        {"file, path given: no server", 1, "a.sql", "bad", true, true, false, {}},
        {"file, a path of blanks passes", 1, "   ", "3306", false, true, false, {}},
        {"file, empty path", 1, "", "3306", false, false, false, {no_file}},
        {"both, all well", 2, "a.sql", "3306", false, true, true, {}},
        {"both, empty path: server still tried", 2, "", "3306", false, false, true, {combined}},
        {"both, refused", 2, "a.sql", "3306", true, false, true, {refused, combined}},
        {"both, port not a number",
         2,
         "a.sql",
         "-",
         false,
         false,
         false,
         {bad_port("-"), combined}},
        {"both, port empty", 2, "a.sql", "", false, false, false, {bad_port(""), combined}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        steps.OptScenario_Click(c.scenario);
        WalkTo(1);
        view.SetText(kTxtDestDumpFile, c.script);
        view.SetText(Info(1), c.port);
        world.fail_open = c.server_refuses;
        world.connection_strings.clear();
        messages.clear();
        steps.CmdNext_Click();
        EXPECT_EQ(steps.CurrentStep, c.passes ? 2 : 1);
        EXPECT_EQ(Visible(Page(1)), !c.passes);
        EXPECT_EQ(messages, c.messages);
        const bool tried = world.connection_strings.size() == 1 &&
                           world.connection_strings[0].rfind("DRIVER=", 0) == 0;
        EXPECT_EQ(tried, c.server_tried);
        world.fail_open = false;
        if (c.passes)
            steps.CmdBack_Click();
    }
    // The connection is made from the boxes of host, user, password and port.
    steps.OptScenario_Click(0);
    view.SetText(Info(0), "db.example");
    view.SetText(Info(2), "admin");
    view.SetText(Info(3), "secret");
    view.SetText(Info(1), "3307");
    world.connection_strings.clear();
    steps.CmdNext_Click();
    ASSERT_EQ(world.connection_strings.size(), 1u);
    EXPECT_EQ(world.connection_strings[0],
              "DRIVER={MySQL ODBC 3.51 Driver};SERVER=db.example;UID=admin;PWD=secret;PORT=3307");
}

TEST_F(WizardLogic, TheTablesPageEnteredAgainIsRefilledAndLosesItsTicks) {
    WalkTo(2);
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, false, false}));
    view.SetSelected(kLstTables, 1, true);
    // Back keeps the entries and their ticks.
    steps.CmdBack_Click();
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, true, false}));
    world.tables.push_back({"Added", "TABLE", {{"ID", data::adInteger, 4}}, {}});
    world.connection_strings.clear();
    steps.CmdNext_Click();
    EXPECT_EQ(Entries(), (std::vector<std::string>{"Customers", "Orders", "Empty", "Added"}));
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(world.connection_strings.size(), 1u); // the server was connected again
}

TEST_F(WizardLogic, TableNamesHoldingAColonAreListedWhole) {
    world.tables.push_back({"a:b:c", "TABLE", {{"ID", data::adInteger, 4}}, {}});
    WalkTo(2);
    EXPECT_EQ(Entries().back(), "a:b:c");
}

TEST_F(WizardLogic, AnEmptySourceGivesAnEmptyListAndNoRun) {
    world.tables.clear();
    WalkTo(2);
    EXPECT_TRUE(Entries().empty());
    steps.cmdSelect_Click();
    view.SetText(kTxtMessage, "earlier");
    steps.CmdNext_Click();
    ExpectStep(2);
    EXPECT_EQ(view.Text(kTxtMessage), "earlier");
    EXPECT_EQ(messages,
              (std::vector<Message>{{kNoTableTicked, MsgBoxButtons::Ok, MsgBoxIcon::Exclamation}}));
}

// Next on the tables page with nothing ticked says so and stays, with Back live; nothing reaches
// the server. Ticking a table lets the run start.
TEST_F(WizardLogic, NextWithNoTableTickedSaysSoAndStaysOnTheTablesPage) {
    steps.OptScenario_Click(2);
    WalkTo(2);
    world.executed.clear();
    steps.CmdNext_Click();
    ExpectStep(2);
    EXPECT_FALSE(steps.Converting);
    EXPECT_TRUE(world.executed.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "out.sql"));
    EXPECT_EQ(messages, (std::vector<Message>{{"请至少选择一个要转换的表。", MsgBoxButtons::Ok,
                                               MsgBoxIcon::Exclamation}}));
    view.SetSelected(kLstTables, 1, true);
    steps.CmdNext_Click();
    ExpectFinished();
    EXPECT_NE(view.Text(kTxtMessage).find(" 表 'Orders' 成功转换"), std::string::npos);
}

// The table types the list still offers but no current server has are refused at Next on the
// destination page, in every scenario, before any connection is tried.
TEST_F(WizardLogic, AGoneTableTypeIsRefusedAtNextBeforeAnythingIsTried) {
    for (int scenario = 0; scenario <= 2; ++scenario) {
        for (const int type : {2, 3}) {
            const std::string name = type == 2 ? "ISAM" : "BDB";
            SCOPED_TRACE(name + " in scenario " + std::to_string(scenario));
            steps.OptScenario_Click(scenario);
            WalkTo(1);
            view.SetListIndex({Ctl::CboType}, type);
            steps.CboType_Click();
            world.connection_strings.clear();
            messages.clear();
            steps.CmdNext_Click();
            ExpectStep(1);
            EXPECT_TRUE(world.connection_strings.empty());
            EXPECT_EQ(messages, (std::vector<Message>{
                                    {"表类型 " + name +
                                         " 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 "
                                         "MyISAM 或 InnoDB",
                                     MsgBoxButtons::Ok, MsgBoxIcon::Exclamation}}));
            view.SetListIndex({Ctl::CboType}, 1);
            steps.CboType_Click();
            steps.CmdNext_Click();
            ExpectStep(2);
            steps.CmdBack_Click();
            steps.CmdBack_Click();
        }
    }
}

TEST_F(WizardLogic, SelectAllTicksEveryEntryAndUnticksNone) {
    steps.cmdSelect_Click(); // an empty list
    WalkTo(2);
    view.SetSelected(kLstTables, 2, true);
    steps.cmdSelect_Click();
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, true, true}));
}

TEST_F(WizardLogic, RunConvertsTheTickedTablesWithTheOptionsOfThePage) {
    steps.OptScenario_Click(2);
    WalkTo(2);
    view.SetSelected(kLstTables, 1, true);
    view.SetValue({Ctl::ChkDropTables}, 0);
    view.SetListIndex({Ctl::CboType}, 4);
    steps.CboType_Click();
    std::vector<double> progress;
    on_yield = [&] {
        const double value = view.Value({Ctl::Pbar});
        if (steps.Converting && (progress.empty() || progress.back() != value))
            progress.push_back(value);
    };
    steps.CmdNext_Click();
    ExpectFinished();
    EXPECT_EQ(view.Text({Ctl::LblProgressStatus}), "处理表 'Orders'");
    EXPECT_EQ(progress, (std::vector<double>{0, 25, 50, 75, 100}));
    const std::string script = test::ScriptStatements(ReadFile(dir / "out.sql"));
    EXPECT_EQ(script, "CREATE TABLE `orders`(`id` int ) ENGINE=HEAP DEFAULT CHARSET=utf8mb4;\r\n"
                      "INSERT INTO `orders` values('1');\r\nINSERT INTO `orders` values('2');\r\n"
                      "INSERT INTO `orders` values('3');\r\nINSERT INTO `orders` values('4');\r\n");
    EXPECT_EQ(world.executed.front(), "CREATE DATABASE IF NOT EXISTS `test`;");
    const std::string log = view.Text(kTxtMessage);
    EXPECT_NE(log.find(" Start conversion ....\r\n\r\n"), std::string::npos);
    EXPECT_NE(log.find(" 表 'Orders' 成功转换\r\n\r\n"), std::string::npos);
    EXPECT_EQ(log.find("Customers"), std::string::npos);
}

TEST_F(WizardLogic, TheKeysAndViewsBoxesStandUntickedOnTheTablesPage) {
    const auto& layout = FormLayout();
    const struct {
        Ctl name;
        const char* object;
        const char* caption;
        PixelRect rect;
    } boxes[] = {
        {Ctl::ChkKeepKeys, "ChkKeepKeys", "保留主键和索引", {316, 8, 121, 17}},
        {Ctl::ChkViews, "ChkViews", "转换查询为视图", {202, 8, 110, 17}},
    };
    for (const auto& expected : boxes) {
        SCOPED_TRACE(expected.object);
        const auto box = std::find_if(layout.begin(), layout.end(), [&](const ControlLayout& c) {
            return c.ref == ControlRef{expected.name};
        });
        ASSERT_NE(box, layout.end());
        EXPECT_EQ(ObjectName(box->ref), expected.object);
        EXPECT_EQ(box->kind, ControlKind::CheckBox);
        EXPECT_EQ(box->parent, Page(2));
        EXPECT_EQ(box->text, expected.caption);
        EXPECT_EQ(box->rect, expected.rect);
        EXPECT_EQ(view.Value({expected.name}), 0);
    }
}

TEST_F(WizardLogic, TickingKeepKeysMakesTheRunCarryKeys) {
    steps.OptScenario_Click(1);
    WalkTo(2);
    steps.cmdSelect_Click();
    view.SetValue({Ctl::ChkKeepKeys}, 1);
    steps.CmdNext_Click();
    ExpectFinished();
    EXPECT_TRUE(steps.MyConversion->KeepKeys());
}

TEST_F(WizardLogic, FailuresOfTheRunAppearInTheLog) {
    steps.OptScenario_Click(1);
    WalkTo(1);
    view.SetText(kTxtDestDumpFile, (dir / "missing" / "out.sql").string());
    steps.CmdNext_Click();
    steps.cmdSelect_Click();
    steps.CmdNext_Click();
    // The finished page says that there were failures.
    ExpectFinished(kFinishedWithFailuresHeader);
    EXPECT_NE(view.Text(kTxtMessage).find("无法写入脚本文件"), std::string::npos);
    EXPECT_TRUE(messages.empty()); // the run shows no message box
}

// A run on the worker thread that something ends early (memory, the file system) ends with its
// reason in the log and the failure header, never as a success.
TEST_F(WizardLogic, AFailureEscapingTheRunOnItsThreadIsLoggedAndFails) {
    std::vector<std::function<void()>> handed;
    steps.ToWindow = [&](std::function<void()> piece) { handed.push_back(std::move(piece)); };
    steps.InBackground = [&](const BackgroundWork& job) {
        std::thread worker(job.work);
        worker.join();
        for (auto& piece : handed)
            piece();
        handed.clear();
    };
    steps.OptScenario_Click(1);
    WalkTo(2);
    steps.cmdSelect_Click();
    steps.Run()->TableDone = [](const run::TableOutcome&) {
        throw std::filesystem::filesystem_error("磁盘已满", std::error_code());
    };
    steps.CmdNext_Click();
    ExpectFinished(kFinishedWithFailuresHeader);
    const std::string log = view.Text(kTxtMessage);
    EXPECT_NE(log.find("转换中止："), std::string::npos) << log;
    EXPECT_NE(log.find("磁盘已满"), std::string::npos) << log;
}

// A handler step that fails is skipped, so that the handler goes on, and kept with its reason.
TEST_F(WizardLogic, SkippedHandlerStepsAreKeptWithTheirReason) {
    EXPECT_TRUE(steps.SkippedSteps().empty());
    steps.ShowSave = [](const FileDialogRequest&) -> std::string {
        throw std::runtime_error("对话框无法打开");
    };
    steps.CmdSaveDumpFile_Click();
    EXPECT_EQ(steps.SkippedSteps(), std::vector<std::string>{"对话框无法打开"});
}

TEST_F(WizardLogic, CancelOutsideARun) {
    WalkTo(1);
    answer = MsgBoxResult::No;
    steps.CmdCancel_Click();
    EXPECT_EQ(messages, (std::vector<Message>{
                            {"确实要退出向导吗？", MsgBoxButtons::YesNo, MsgBoxIcon::Question}}));
    ExpectStep(1);
    EXPECT_FALSE(steps.ExitConfirmed);
    EXPECT_EQ(view.close_requests, 0);

    answer = MsgBoxResult::Yes;
    messages.clear();
    steps.CmdCancel_Click();
    EXPECT_EQ(messages.size(), 1u); // no second question from the unload
    EXPECT_TRUE(closed);
    EXPECT_EQ(steps.MyConversion, nullptr);
}

TEST_F(WizardLogic, ClosingOutsideARunAsksUnlessConfirmed) {
    answer = MsgBoxResult::No;
    int cancel = 0;
    steps.Form_Unload(cancel);
    EXPECT_EQ(cancel, 1);
    EXPECT_NE(steps.MyConversion, nullptr);
    EXPECT_EQ(messages.size(), 1u);
    answer = MsgBoxResult::Yes;
    cancel = 0;
    steps.Form_Unload(cancel);
    EXPECT_EQ(cancel, 0);
    EXPECT_EQ(steps.MyConversion, nullptr);
}

TEST_F(WizardLogic, CancelDuringARunAnsweredNoLetsTheRunGoOn) {
    WalkTo(2);
    steps.cmdSelect_Click();
    answer = MsgBoxResult::No;
    bool pressed = false;
    on_yield = [&] {
        if (!pressed && view.Value({Ctl::Pbar}) == 50) {
            pressed = true;
            steps.CmdCancel_Click();
        }
    };
    steps.CmdNext_Click();
    EXPECT_TRUE(pressed);
    ExpectFinished();
    EXPECT_FALSE(closed);
    const std::string log = view.Text(kTxtMessage);
    EXPECT_EQ(log.find("用户取消"), std::string::npos);
    EXPECT_NE(log.find("表 'Empty' 成功转换"), std::string::npos);
}

TEST_F(WizardLogic, CancelDuringARunAnsweredYesStopsAfterTheCurrentRow) {
    WalkTo(2);
    steps.cmdSelect_Click();
    bool pressed = false;
    on_yield = [&] {
        // Cancel is pressed once the second of the first table's four rows is written.
        if (!pressed && view.Value({Ctl::Pbar}) == 50) {
            pressed = true;
            steps.CmdCancel_Click();
            EXPECT_TRUE(steps.MyConversion->EndProgress);
            EXPECT_TRUE(steps.ExitConfirmed);
        }
    };
    steps.CmdNext_Click();
    EXPECT_TRUE(pressed);
    ExpectFinished();
    EXPECT_FALSE(closed);
    const std::string log = view.Text(kTxtMessage);
    EXPECT_NE(log.find("开始处理表 'Customers' \r\n\r\n["), std::string::npos);
    EXPECT_NE(log.find(" 用户取消 .....\r\n\r\n("), std::string::npos);
    EXPECT_EQ(log.find("Orders"), std::string::npos);
    EXPECT_EQ(std::count_if(world.executed.begin(), world.executed.end(),
                            [](const std::string& s) { return s.rfind("INSERT", 0) == 0; }),
              2);
    // Finish then closes without a second question.
    messages.clear();
    steps.CmdFinish_Click();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(messages.empty());
}

TEST_F(WizardLogic, ClosingDuringARunWaitsForTheRunToReturn) {
    WalkTo(2);
    steps.cmdSelect_Click();
    std::size_t questions_during_run = 0;
    bool closed_during_run = false;
    on_yield = [&] {
        if (steps.Converting && questions_during_run == 0 && view.Value({Ctl::Pbar}) == 50) {
            answer = MsgBoxResult::No;
            view.Close(); // No: the run goes on
            answer = MsgBoxResult::Yes;
            view.Close(); // Yes: both stop flags, the close waits for the run
            questions_during_run = messages.size();
            closed_during_run = closed || steps.MyConversion == nullptr;
            EXPECT_TRUE(steps.MyConversion->EndProgress);
        }
    };
    steps.CmdNext_Click();
    EXPECT_EQ(questions_during_run, 2u);
    EXPECT_FALSE(closed_during_run);
    // The run ended with its cancel line and the finished state, then the window closed.
    EXPECT_NE(view.Text(kTxtMessage).find(" 用户取消 ....."), std::string::npos);
    EXPECT_EQ(view.headers.back(), 4);
    EXPECT_TRUE(closed);
    EXPECT_EQ(steps.MyConversion, nullptr);
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(WizardLogic, ConfirmingLeaveWhileNextYieldsClosesWithoutStartingTheRun) {
    WalkTo(2);
    steps.cmdSelect_Click();
    on_yield = [&] {
        if (!steps.ExitConfirmed)
            steps.CmdCancel_Click();
    };
    steps.CmdNext_Click();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(steps.Converting);
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_TRUE(world.executed.empty());
}

TEST_F(WizardLogic, ANextClickDuringItsOwnYieldStartsNothingMore) {
    WalkTo(2);
    steps.cmdSelect_Click();
    on_yield = [&] { steps.CmdNext_Click(); };
    steps.CmdNext_Click();
    ExpectFinished();
    const std::string log = view.Text(kTxtMessage);
    EXPECT_EQ(log.find("Start conversion"), log.rfind("Start conversion"));
    EXPECT_EQ(std::count(world.executed.begin(), world.executed.end(),
                         "CREATE DATABASE IF NOT EXISTS `test`;"),
              1);
}

TEST_F(WizardLogic, TheFileDialogsFillTheirBoxes) {
    std::vector<FileDialogRequest> requests;
    std::string chosen;
    steps.ShowOpen = [&](const FileDialogRequest& r) {
        requests.push_back(r);
        return chosen;
    };
    steps.ShowSave = steps.ShowOpen;

    steps.CmdBrowse_Click(); // cancelled
    EXPECT_EQ(view.Text({Ctl::TxtSourceDB}), "/data/shop.mdb");
    chosen = "/home/u/My Files/orders.ACCDB";
    steps.CmdBrowse_Click();
    EXPECT_EQ(view.Text({Ctl::TxtSourceDB}), chosen);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Filter, "Access 数据库|*.mdb;*.accdb|全部文件|*.*");
    EXPECT_EQ(requests[0].DialogTitle, "选择Access数据库");
    // Each dialog starts at the path its box holds.
    EXPECT_EQ(requests[0].FileName, "/data/shop.mdb");
    EXPECT_EQ(requests[1].FileName, "/data/shop.mdb");

    requests.clear();
    const std::string before = view.Text(kTxtDestDumpFile);
    chosen = "";
    steps.CmdSaveDumpFile_Click();
    EXPECT_EQ(view.Text(kTxtDestDumpFile), before);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Filter, "SQL 脚本|*.sql");
    EXPECT_EQ(requests[0].DialogTitle, "保存SQL数据库脚本");
    EXPECT_EQ(requests[0].FileName, before);
    for (const auto& [in, out] :
         std::vector<std::pair<std::string, std::string>>{{"/t/dump", "/t/dump.sql"},
                                                          {"/t/DUMP.SQL", "/t/DUMP.SQL"},
                                                          {"/t/d.Sql", "/t/d.Sql"},
                                                          {"/t/d.sq", "/t/d.sq.sql"},
                                                          {"/t/d.txt", "/t/d.txt.sql"},
                                                          {"ab", "ab.sql"},
                                                          {"/t/备份.sql", "/t/备份.sql"}}) {
        chosen = in;
        steps.CmdSaveDumpFile_Click();
        EXPECT_EQ(view.Text(kTxtDestDumpFile), out) << in;
    }
}

TEST_F(WizardLogic, ThePasswordBoxFollowsItsCheckBoxAndIsSentOnlyWhileTicked) {
    const ControlRef chk{Ctl::ChkSrcPwd};
    const ControlRef pwd{Ctl::TxtSrcPwd};
    view.SetValue(chk, 1);
    steps.ChkSrcPwd_Click();
    EXPECT_TRUE(Enabled(pwd));
    EXPECT_EQ(view.focus, pwd);
    view.SetText(pwd, "geheim");
    view.SetValue(chk, 0);
    steps.ChkSrcPwd_Click();
    EXPECT_FALSE(Enabled(pwd));
    EXPECT_EQ(view.Text(pwd), "geheim");

    // Unticked, the box keeps its text but none is sent.
    steps.CmdTestConnection_Click();
    ASSERT_EQ(world.connection_strings.size(), 1u);
    EXPECT_EQ(world.connection_strings[0].find("Password"), std::string::npos);
    view.SetValue(chk, 1);
    steps.ChkSrcPwd_Click();
    messages.clear();
    steps.CmdTestConnection_Click();
    ASSERT_EQ(world.connection_strings.size(), 2u);
    EXPECT_NE(world.connection_strings[1].find("Jet OLEDB:Database Password=geheim"),
              std::string::npos);
    world.fail_open = true;
    steps.CmdTestConnection_Click();
    EXPECT_EQ(messages,
              (std::vector<Message>{{"测试连接成功", MsgBoxButtons::Ok, MsgBoxIcon::Information},
                                    {"不是有效的密码。", MsgBoxButtons::Ok, MsgBoxIcon::Critical},
                                    {"测试连接失败", MsgBoxButtons::Ok, MsgBoxIcon::Critical}}));
}

TEST(PortNumber, ConvertsWholeNumbersOnly) {
    EXPECT_EQ(PortNumber("3306"), 3306);
    EXPECT_EQ(PortNumber(" 3307\t"), 3307);
    EXPECT_EQ(PortNumber("+1"), 1);
    EXPECT_EQ(PortNumber("-1"), -1);
    for (const char* bad : {"", " ", "x", "33 06", "3306x", "+-1", "1.5", "99999999999"})
        EXPECT_EQ(PortNumber(bad), std::nullopt) << bad;
}

} // namespace
