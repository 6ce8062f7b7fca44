// The real wizard window, off-screen, with the real engine, the shared Access files and the
// throwaway MariaDB of scripts/test: driven by clicks and typing as a user drives it, with only
// the message boxes and file dialogs answered by the test.
#include "Loopback.h"
#include "ScriptText.h"
#include "ServerSession.h"
#include "TempDir.h"
#include "TestEnv.h"

#include "tablewright/artwork/PictureBox.h"
#include "tablewright/artwork/Resources.h"
#include "tablewright/window/Frm_Conversion.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

// Failure messages show QStrings as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}

using namespace tw;
using wizard::MsgBoxButtons;
using wizard::MsgBoxIcon;
using wizard::MsgBoxResult;

namespace {

namespace fs = std::filesystem;

struct Message {
    std::string text;
    MsgBoxButtons buttons;
    MsgBoxIcon icon;
};

std::vector<std::string> ReadLines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        if (!test::IsSessionLine(line))
            lines.push_back(line);
    return lines;
}

class WindowTest : public ::testing::Test {
protected:
    std::unique_ptr<window::Frm_Conversion> form;
    std::vector<Message> messages;
    /// Answers of the Yes/No questions, in order; Yes when none is left.
    std::deque<MsgBoxResult> replies;
    std::vector<wizard::FileDialogRequest> dialogs;
    std::string chosen_file;
    test::TempDir temp{"tw_window_test"};
    const std::filesystem::path& dir = temp.Dir();

    void SetUp() override {
        messages.clear();
        replies.clear();
        dialogs.clear();
        form = std::make_unique<window::Frm_Conversion>();
        wizard::WizardSteps& steps = form->Steps();
        steps.MsgBox = [this](const std::string& text, MsgBoxButtons buttons, MsgBoxIcon icon) {
            messages.push_back({text, buttons, icon});
            if (buttons == MsgBoxButtons::Ok)
                return MsgBoxResult::Ok;
            const MsgBoxResult reply = replies.empty() ? MsgBoxResult::Yes : replies.front();
            if (!replies.empty())
                replies.pop_front();
            return reply;
        };
        steps.ShowOpen = [this](const wizard::FileDialogRequest& request) {
            dialogs.push_back(request);
            return chosen_file;
        };
        steps.ShowSave = steps.ShowOpen;
        form->show();
    }
    void TearDown() override { form.reset(); }

    template <typename Widget = QWidget> Widget* Get(const std::string& name) {
        auto* widget = form->findChild<Widget*>(QString::fromStdString(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void Click(const std::string& name) {
        auto* button = Get<QAbstractButton>(name);
        ASSERT_TRUE(button->isVisible() && button->isEnabled()) << name;
        // On the box of a check box or option, where a click always hits.
        const QPoint at = qobject_cast<QPushButton*>(button) ? button->rect().center()
                                                             : QPoint(6, button->height() / 2);
        QTest::mouseClick(button, Qt::LeftButton, {}, at);
    }
    void Type(const std::string& name, const std::string& text) {
        auto* box = Get<QLineEdit>(name);
        ASSERT_TRUE(box->isVisible() && box->isEnabled()) << name;
        box->setFocus();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, QString::fromStdString(text));
    }
    bool Shown(const std::string& name) { return Get(name)->isVisible(); }
    bool Enabled(const std::string& name) { return Get(name)->isEnabled(); }
    std::string Log() {
        return Get<QPlainTextEdit>("TxtMessage")->toPlainText().toUtf8().toStdString();
    }
    int Step() const { return form->Steps().CurrentStep; }

    /// From the welcome page to the tables page: the scenario, the Access file, the server
    /// (scenarios 0 and 2), the database and the script file (scenarios 1 and 2).
    void WalkToTables(int scenario, const std::string& file, const data::MySqlTarget* server,
                      const std::string& database, const fs::path& script) {
        Click("OptScenario_" + std::to_string(scenario));
        ASSERT_EQ(form->Steps().Scenario, scenario);
        Click("CmdNext");
        ASSERT_EQ(Step(), 0);
        Type("TxtSourceDB", file);
        Click("CmdNext");
        ASSERT_EQ(Step(), 1);
        EXPECT_EQ(Enabled("FraMySQL"), scenario != 1);
        EXPECT_EQ(Enabled("FraDumpFile"), scenario != 0);
        if (scenario != 1) {
            Type("TxtMySQLInfo_0", server->host);
            Type("TxtMySQLInfo_1", std::to_string(server->port));
            Type("TxtMySQLInfo_2", server->user);
            Type("TxtMySQLInfo_3", server->password);
            Type("TxtMySQLInfo_4", database);
        }
        if (scenario != 0)
            Type("TxtDestDumpFile", script.string());
        Click("CmdNext");
        ASSERT_EQ(Step(), 2);
        ASSERT_TRUE(Shown("fra_progress_2"));
    }

    /// The finished state after a run.
    void ExpectFinished() {
        EXPECT_EQ(Step(), 3);
        for (int page = 0; page <= 3; ++page)
            EXPECT_FALSE(Shown("fra_progress_" + std::to_string(page))) << page;
        EXPECT_FALSE(Shown("CmdNext"));
        EXPECT_TRUE(Shown("CmdFinish"));
        EXPECT_FALSE(Enabled("CmdBack"));
        EXPECT_FALSE(Enabled("CmdCancel"));
        EXPECT_TRUE(Shown("TxtMessage"));
        EXPECT_TRUE(Shown("PicHeader"));
        EXPECT_TRUE(form->Steps().ExitConfirmed);
    }

    /// Whether the step header shows `picture` where the header bitmaps stand.
    bool HeaderShows(const QImage& picture) {
        auto* header = qobject_cast<artwork::PictureBox*>(Get("PicHeader"));
        const QImage shown = header->Image().copy(QRect(QPoint(440, 10), picture.size()));
        return !picture.isNull() && shown == picture.convertToFormat(shown.format());
    }

    /// Clicks entry `row` of the table list on its name, or on its check box.
    void ClickTable(int row, bool on_box) {
        auto* list = Get<QListWidget>("LstTables");
        const QRect entry = list->visualItemRect(list->item(row));
        const QPoint at(entry.left() + (on_box ? 9 : 60), entry.center().y());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    }

    /// The log box is read-only and shows its end.
    void ExpectLogAtItsEnd() {
        auto* log = Get<QPlainTextEdit>("TxtMessage");
        EXPECT_TRUE(log->isReadOnly());
        const QScrollBar* bar = log->verticalScrollBar();
        EXPECT_EQ(bar->value(), bar->maximum());
    }

    /// Runs `action` from the event loop once the progress bar first reaches `value`, that is
    /// in the run's next yield.
    void AtProgress(int value, std::function<void()> action) {
        auto* bar = Get<QProgressBar>("Pbar");
        auto done = std::make_shared<bool>(false);
        QObject::connect(bar, &QProgressBar::valueChanged, form.get(),
                         [this, value, action, done](int now) {
                             if (*done || now < value)
                                 return;
                             *done = true;
                             QMetaObject::invokeMethod(form.get(), action, Qt::QueuedConnection);
                         });
    }
};

TEST_F(WindowTest, TheWindowStandsAsLaidOutWithTheWelcomePage) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tablewright"));
    EXPECT_EQ(form->size(), QSize(501, 363));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form->geometry().center() - screen.center()).manhattanLength(), 2);
    EXPECT_FALSE(form->windowIcon().isNull());

    // Every control is found by its name, with its kind, its container and its place.
    for (const wizard::ControlLayout& layout : wizard::FormLayout()) {
        SCOPED_TRACE(wizard::ObjectName(layout.ref));
        QWidget* widget = Get(wizard::ObjectName(layout.ref));
        ASSERT_NE(widget, nullptr);
        const std::string parent =
            layout.parent ? wizard::ObjectName(*layout.parent) : "Frm_Conversion";
        EXPECT_EQ(widget->parentWidget()->objectName().toStdString(), parent);
        if (layout.ref.name != wizard::Ctl::OptScenario &&
            layout.ref.name != wizard::Ctl::PicWelcome &&
            layout.ref.name != wizard::Ctl::PicHeader &&
            layout.ref.name != wizard::Ctl::fra_progress &&
            layout.kind != wizard::ControlKind::Label) {
            EXPECT_EQ(widget->geometry(), QRect(layout.rect.left, layout.rect.top,
                                                layout.rect.width, layout.rect.height));
        }
    }
    EXPECT_EQ(Get("CmdNext")->geometry(), QRect(240, 326, 75, 23));
    EXPECT_EQ(Get("CmdFinish")->geometry(), QRect(240, 328, 75, 23));
    EXPECT_EQ(Get("TxtMySQLInfo_3")->geometry(), QRect(98, 82, 129, 21));
    EXPECT_EQ(Get("Pbar")->geometry(), QRect(58, 90, 361, 19));
    EXPECT_EQ(Get("fra_progress_0")->geometry(), QRect(22, 78, 451, 191));
    for (int page = 1; page <= 3; ++page)
        EXPECT_EQ(Get("fra_progress_" + std::to_string(page))->geometry(), QRect(6, 65, 480, 220));
    EXPECT_EQ(Get("PicWelcome")->geometry(), QRect(0, 0, 501, 313));
    EXPECT_EQ(Get("PicHeader")->height(), 0);
    EXPECT_NE(qobject_cast<QPushButton*>(Get("CmdNext")), nullptr);
    EXPECT_NE(qobject_cast<QListWidget*>(Get("LstTables")), nullptr);
    EXPECT_NE(qobject_cast<QProgressBar*>(Get("Pbar")), nullptr);
    EXPECT_NE(qobject_cast<QGroupBox*>(Get("FraDumpFile")), nullptr);

    // The three scenario options lie on the welcome page, the first one chosen.
    const char* captions[] = {"移动到MySQL服务器", "存储到转储文件", "全部"};
    for (int i = 0; i < 3; ++i) {
        auto* option = Get<QRadioButton>("OptScenario_" + std::to_string(i));
        EXPECT_EQ(option->parentWidget(), Get("PicWelcome"));
        EXPECT_EQ(option->text().trimmed().toStdString(), captions[i]);
        EXPECT_EQ(option->pos(), QPoint(176, 250 + 16 * i));
        EXPECT_EQ(option->isChecked(), i == 0);
    }

    // Only the welcome picture and the three buttons show; Back is disabled.
    for (const char* name : {"PicWelcome", "CmdBack", "CmdNext", "CmdCancel"})
        EXPECT_TRUE(Shown(name)) << name;
    for (const char* name : {"PicHeader", "CmdFinish", "TxtMessage", "fra_progress_0",
                             "fra_progress_1", "fra_progress_2", "fra_progress_3"})
        EXPECT_FALSE(Shown(name)) << name;
    EXPECT_FALSE(Enabled("CmdBack"));

    // Captions and defaults.
    EXPECT_EQ(Get<QPushButton>("CmdCancel")->text(), QStringLiteral("取消 "));
    EXPECT_EQ(Get<QPushButton>("CmdNext")->text(), QStringLiteral("下一步 >"));
    EXPECT_EQ(Get<QPushButton>("CmdBack")->text(), QStringLiteral("< 上一步"));
    EXPECT_EQ(Get<QGroupBox>("fra_progress_0")->title(),
              QStringLiteral("源数据库（Access数据库）"));
    EXPECT_EQ(Get<QLabel>("LblMySQLInfo_0")->text(), QStringLiteral("IP地址/主机名:"));
    EXPECT_EQ(Get<QLabel>("LblProgressStatus")->text(),
              QStringLiteral("数据库正在转换，请稍后......"));
    const char* defaults[] = {"localhost", "3306", "root", "", "test"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Get<QLineEdit>("TxtMySQLInfo_" + std::to_string(i))->text(),
                  QString::fromUtf8(defaults[i]));
    const std::string home = std::getenv("HOME");
    EXPECT_EQ(Get<QLineEdit>("TxtDestDumpFile")->text().toStdString(), home + "/test.sql");
    EXPECT_TRUE(Get<QCheckBox>("ChkDropTables")->isChecked());
    EXPECT_FALSE(Get<QCheckBox>("ChkNoData")->isChecked());
    auto* keep_keys = Get<QCheckBox>("ChkKeepKeys");
    EXPECT_FALSE(keep_keys->isChecked());
    EXPECT_EQ(keep_keys->text(), QStringLiteral("保留主键和索引"));
    EXPECT_EQ(keep_keys->parentWidget(), Get("fra_progress_2"));
    EXPECT_EQ(keep_keys->geometry(), QRect(316, 8, 121, 17));
    auto* views = Get<QCheckBox>("ChkViews");
    EXPECT_FALSE(views->isChecked());
    EXPECT_EQ(views->text(), QStringLiteral("转换查询为视图"));
    EXPECT_EQ(views->geometry(), QRect(202, 8, 110, 17));
    EXPECT_FALSE(Get<QCheckBox>("ChkSrcPwd")->isChecked());
    auto* source_password = Get<QLineEdit>("TxtSrcPwd");
    EXPECT_FALSE(source_password->isEnabled());
    EXPECT_EQ(source_password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(source_password->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                  source_password),
              '*');
    EXPECT_EQ(Get<QLineEdit>("TxtMySQLInfo_3")->echoMode(), QLineEdit::Normal);
    auto* types = Get<QComboBox>("CboType");
    EXPECT_FALSE(types->isEditable());
    ASSERT_EQ(types->count(), 5);
    EXPECT_EQ(types->itemText(4), QStringLiteral("HEAP"));
    EXPECT_EQ(types->currentText(), QStringLiteral("MyISAM"));
    EXPECT_EQ(Get<QProgressBar>("Pbar")->maximum(), 100);
    for (const char* name : {"CmdNext", "CmdBack", "CmdCancel", "CmdFinish"})
        EXPECT_FALSE(Get<QPushButton>(name)->autoDefault() || Get<QPushButton>(name)->isDefault());

    // Fonts as named, at 8.25 pt for 96 dots per inch, each able to draw the Chinese captions.
    EXPECT_EQ(form->font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(Get("CmdNext")->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(Get("CmdNext")->font().pixelSize(), 11);
    EXPECT_EQ(source_password->font().family(), QStringLiteral("Verdana"));
    EXPECT_TRUE(source_password->font().bold());
    for (const char* name : {"CmdNext", "LblMySQLInfo_2", "TxtMessage", "Label2"})
        EXPECT_TRUE(QFontMetrics(Get(name)->font()).inFontUcs4(U'转')) << name;

    // The keyboard order.
    const std::vector<std::string> order{
        "CmdBack",         "OptScenario_0",   "OptScenario_1",     "OptScenario_2",
        "CmdNext",         "CmdCancel",       "TxtSourceDB",       "CmdBrowse",
        "ChkSrcPwd",       "TxtSrcPwd",       "CmdTestConnection", "CmdFinish",
        "TxtDestDumpFile", "CmdSaveDumpFile", "TxtMySQLInfo_0",    "TxtMySQLInfo_1",
        "TxtMySQLInfo_2",  "TxtMySQLInfo_3",  "TxtMySQLInfo_4",    "CboType",
        "LstTables",       "ChkNoData",       "cmdSelect",         "TxtMessage",
        "ChkDropTables",   "ChkKeepKeys",     "ChkViews"};
    std::vector<std::string> chain;
    QWidget* widget = Get("CmdBack");
    do {
        const std::string name = widget->objectName().toStdString();
        if (std::find(order.begin(), order.end(), name) != order.end())
            chain.push_back(name);
        widget = widget->nextInFocusChain();
    } while (widget != Get("CmdBack") && chain.size() <= order.size());
    EXPECT_EQ(chain, order);
}

TEST_F(WindowTest, AWalkInEachScenarioEndsFinishedWithTheLogAndTheScript) {
    TW_REQUIRE_SERVER(server);
    test::ServerSession session(server);
    const std::string file = test::TestDataPath("gen-types.mdb");
    for (int scenario = 0; scenario <= 2; ++scenario) {
        SCOPED_TRACE("scenario " + std::to_string(scenario));
        if (scenario > 0)
            SetUp(); // a fresh window
        const std::string database = "tw_window_walk_" + std::to_string(scenario);
        session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
        const fs::path script = dir / ("walk" + std::to_string(scenario) + ".sql");
        WalkToTables(scenario, file, &server, database, script);

        auto* list = Get<QListWidget>("LstTables");
        ASSERT_EQ(list->count(), 3);
        EXPECT_EQ(list->item(1)->text(), QStringLiteral("Order Details"));
        for (int i = 0; i < list->count(); ++i)
            EXPECT_EQ(list->item(i)->checkState(), Qt::Unchecked);
        Click("cmdSelect");
        for (int i = 0; i < list->count(); ++i)
            EXPECT_EQ(list->item(i)->checkState(), Qt::Checked);

        std::vector<int> progress;
        QObject::connect(Get<QProgressBar>("Pbar"), &QProgressBar::valueChanged, form.get(),
                         [&progress](int value) { progress.push_back(value); });
        Click("CmdNext");
        ExpectFinished();
        EXPECT_TRUE(messages.empty());

        // The bar follows the rows of each table: 13, 5 and 3 rows.
        EXPECT_EQ(progress, (std::vector<int>{8,  15,  23, 31, 38, 46, 54,  62, 69, 77, 85,
                                              92, 100, 20, 40, 60, 80, 100, 33, 67, 100}));
        EXPECT_EQ(Get<QLabel>("LblProgressStatus")->text(), QStringLiteral("处理表 'it's'"));

        const std::string log = Log();
        EXPECT_NE(log.find(" Start conversion ....\n"), std::string::npos);
        for (const char* table : {"AllTypes", "Order Details", "it's"})
            EXPECT_NE(log.find(std::string(" 表 '") + table + "' 成功转换\n"), std::string::npos)
                << log;
        EXPECT_EQ(log.find("创建数据库不存在 '" + database + "'") != std::string::npos,
                  scenario != 1);
        EXPECT_EQ(log.substr(log.size() - 9), " s taken)");
        EXPECT_TRUE(HeaderShows(artwork::LoadResPicture(105)));
        ExpectLogAtItsEnd();

        if (scenario == 0) {
            EXPECT_FALSE(fs::exists(script));
        } else {
            // Drop and table statement per table, then one line per row.
            const std::vector<std::string> lines = ReadLines(script);
            EXPECT_EQ(lines.size(), 3u * 2 + 13 + 5 + 3);
            EXPECT_EQ(lines.front(), "DROP TABLE IF EXISTS `alltypes`;\r");
        }
        if (scenario != 1) {
            EXPECT_EQ(session.Scalar("SELECT COUNT(*) FROM `" + database + "`.`alltypes`"), "13");
            EXPECT_EQ(session.Scalar("SELECT COUNT(*) FROM `" + database + "`.`it's`"), "3");
        }
        session.Execute("DROP DATABASE IF EXISTS `" + database + "`");

        // Finish closes without a question and releases the engine.
        Click("CmdFinish");
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(form->Steps().MyConversion, nullptr);
        EXPECT_TRUE(messages.empty());
    }
}

TEST_F(WindowTest, TheTablesPageShowsEveryCaptionWholeAndNoControlOverAnother) {
    QWidget* page = Get("fra_progress_2");
    const QList<QWidget*> controls = page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    EXPECT_EQ(controls.size(), 7);
    for (QWidget* control : controls) {
        SCOPED_TRACE(control->objectName().toStdString());
        EXPECT_TRUE(page->rect().contains(control->geometry()));
        for (QWidget* other : controls) {
            if (other != control) {
                EXPECT_FALSE(control->geometry().intersects(other->geometry()))
                    << other->objectName().toStdString();
            }
        }
        // A check box narrower than its size hint cuts its caption off.
        if (auto* box = qobject_cast<QCheckBox*>(control)) {
            EXPECT_GE(box->width(), box->sizeHint().width());
        }
    }
}

TEST_F(WindowTest, TheKeepKeysBoxDecidesWhetherTheTablesGetTheirKeys) {
    TW_REQUIRE_SERVER(server);
    test::ServerSession session(server);
    const std::string database = "tw_window_keys";
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "ticked" : "unticked");
        if (keep)
            SetUp(); // a fresh window
        session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
        WalkToTables(0, test::TestDataPath("gen-schema.mdb"), &server, database, {});
        if (keep)
            Click("ChkKeepKeys");
        EXPECT_EQ(Get<QCheckBox>("ChkKeepKeys")->isChecked(), keep);
        Click("cmdSelect");
        Click("CmdNext");
        ExpectFinished();
        EXPECT_EQ(session.Scalar("SELECT COUNT(*) FROM `" + database + "`.`customers`"), "244");
        const auto primary = session.Query("SHOW KEYS FROM `" + database +
                                           "`.`customers` WHERE Key_name = 'PRIMARY'");
        EXPECT_EQ(primary.size(), keep ? 1u : 0u) << Log();
        // A log longer than its box is scrolled to its end.
        EXPECT_GT(Get<QPlainTextEdit>("TxtMessage")->verticalScrollBar()->maximum(), 0);
        ExpectLogAtItsEnd();
    }
    session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
}

TEST_F(WindowTest, AFailedSourceCheckStaysOnStepZero) {
    Click("CmdNext");
    Type("TxtSourceDB", (dir / "missing.mdb").string());
    Click("CmdNext");
    EXPECT_EQ(Step(), 0);
    EXPECT_TRUE(Shown("fra_progress_0"));
    EXPECT_FALSE(Shown("fra_progress_1"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, MsgBoxIcon::Critical);
    EXPECT_FALSE(messages[0].text.empty());

    // Back needs no check and returns to the welcome page.
    Click("CmdBack");
    EXPECT_EQ(Step(), -1);
    EXPECT_TRUE(Shown("PicWelcome"));
    EXPECT_FALSE(Shown("PicHeader"));
    EXPECT_FALSE(Enabled("CmdBack"));
}

TEST_F(WindowTest, CancelOutsideARunAsksAndClosesOnlyOnYes) {
    Click("CmdNext");
    Type("TxtSourceDB", "/somewhere/else.mdb");
    replies = {MsgBoxResult::No};
    Click("CmdCancel");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "确实要退出向导吗？");
    EXPECT_EQ(messages[0].buttons, MsgBoxButtons::YesNo);
    EXPECT_EQ(messages[0].icon, MsgBoxIcon::Question);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Step(), 0);
    EXPECT_EQ(Get<QLineEdit>("TxtSourceDB")->text(), QStringLiteral("/somewhere/else.mdb"));

    // The close box asks the same; No keeps everything.
    replies = {MsgBoxResult::No};
    form->close();
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(messages.size(), 2u);

    Click("CmdCancel"); // Yes
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_EQ(form->Steps().MyConversion, nullptr);
}

TEST_F(WindowTest, CancelDuringARunAnsweredNoLetsItFinish) {
    WalkToTables(1, test::TestDataPath("gen-types.mdb"), nullptr, "", dir / "no.sql");
    Click("cmdSelect");
    bool running_state_seen = false;
    AtProgress(1, [&] {
        running_state_seen = Shown("fra_progress_3") && !Enabled("CmdNext") &&
                             !Enabled("CmdBack") && Enabled("CmdCancel");
        replies = {MsgBoxResult::No};
        Click("CmdCancel");
    });
    Click("CmdNext");
    EXPECT_TRUE(running_state_seen);
    ASSERT_EQ(messages.size(), 1u);
    ExpectFinished();
    EXPECT_EQ(Log().find("用户取消"), std::string::npos);
    EXPECT_NE(Log().find(" 表 'it's' 成功转换"), std::string::npos);
    EXPECT_EQ(ReadLines(dir / "no.sql").size(), 3u * 2 + 13 + 5 + 3);
}

TEST_F(WindowTest, CancelDuringARunAnsweredYesStopsItAndFinishCloses) {
    WalkToTables(1, test::TestDataPath("gen-big.mdb"), nullptr, "", dir / "big.sql");
    Click("cmdSelect");
    AtProgress(1, [&] { Click("CmdCancel"); });
    Click("CmdNext");
    ExpectFinished();
    EXPECT_TRUE(form->isVisible());
    const std::string log = Log();
    EXPECT_NE(log.find(" 开始处理表 'Orders' \n\n["), std::string::npos) << log;
    EXPECT_NE(log.find(" 用户取消 .....\n\n("), std::string::npos) << log;
    EXPECT_EQ(log.find("'Lines'"), std::string::npos);
    // The rows stopped soon after the first percent of Orders.
    const std::size_t lines = ReadLines(dir / "big.sql").size();
    EXPECT_GT(lines, 2u);
    EXPECT_LT(lines, 10000u);

    Click("CmdFinish");
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(WindowTest, ClosingDuringARunStopsItAndClosesAfterIt) {
    TW_REQUIRE_SERVER(server);
    test::ServerSession session(server);
    const std::string database = "tw_window_close";
    WalkToTables(0, test::TestDataPath("gen-big.mdb"), &server, database, {});
    Click("cmdSelect");
    bool open_while_running = true;
    replies = {MsgBoxResult::No, MsgBoxResult::Yes};
    AtProgress(1, [&] { form->close(); }); // No: the run goes on
    AtProgress(2, [&] {
        form->close(); // Yes: the run stops, the window waits for it
        open_while_running = form->isVisible() && form->Steps().MyConversion != nullptr;
    });
    Click("CmdNext");
    EXPECT_TRUE(open_while_running);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->Steps().MyConversion, nullptr);
    const std::string log = Log();
    EXPECT_NE(log.find(" 用户取消 ....."), std::string::npos) << log;
    const std::string rows = session.Scalar("SELECT COUNT(*) FROM `" + database + "`.`orders`");
    EXPECT_GT(std::stoi(rows), 0);
    EXPECT_LT(std::stoi(rows), 200000);
    session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
}

TEST_F(WindowTest, ThePasswordBoxFollowsItsCheckBoxAndIsSentOnlyWhileTicked) {
    Click("CmdNext");
    Type("TxtSourceDB", test::TestDataPath("jet4-password.mdb"));
    Click("ChkSrcPwd");
    EXPECT_TRUE(Enabled("TxtSrcPwd"));
    EXPECT_TRUE(Get("TxtSrcPwd")->hasFocus());
    QTest::keyClicks(Get("TxtSrcPwd"), QStringLiteral("password"));
    Click("ChkSrcPwd");
    EXPECT_FALSE(Enabled("TxtSrcPwd"));
    EXPECT_EQ(Get<QLineEdit>("TxtSrcPwd")->text(), QStringLiteral("password"));

    // Unticked, the box's text is not sent: the file wants a password.
    Click("CmdTestConnection");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].icon, MsgBoxIcon::Critical); // the engine's reason
    EXPECT_EQ(messages[1].text, "测试连接失败");

    Click("ChkSrcPwd");
    Click("CmdTestConnection");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].text, "测试连接成功");
    EXPECT_EQ(messages[2].icon, MsgBoxIcon::Information);

    Type("TxtSrcPwd", "wrong");
    Click("CmdTestConnection");
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[3].icon, MsgBoxIcon::Critical); // the engine's reason
    EXPECT_EQ(messages[4].text, "测试连接失败");
    EXPECT_EQ(messages[4].icon, MsgBoxIcon::Critical);
}

TEST_F(WindowTest, TheChosenTableTypeReachesTheTableStatements) {
    TW_REQUIRE_SERVER(server);
    test::ServerSession session(server);
    const std::string database = "tw_window_heap";
    const fs::path script = dir / "heap.sql";
    Click("OptScenario_2");
    Click("CmdNext");
    Type("TxtSourceDB", test::TestDataPath("jet4-nopassword.mdb"));
    Click("CmdNext");
    Type("TxtMySQLInfo_0", server.host);
    Type("TxtMySQLInfo_1", std::to_string(server.port));
    Type("TxtMySQLInfo_2", server.user);
    Type("TxtMySQLInfo_3", server.password);
    Type("TxtMySQLInfo_4", database);
    Type("TxtDestDumpFile", script.string());
    auto* types = Get<QComboBox>("CboType");
    types->setFocus();
    QTest::keyClick(types, Qt::Key_End); // the last entry, as chosen with the keyboard
    ASSERT_EQ(types->currentText(), QStringLiteral("HEAP"));
    Click("CmdNext");
    ASSERT_EQ(Step(), 2);
    Click("cmdSelect");
    Click("CmdNext");
    ExpectFinished();
    const std::vector<std::string> lines = ReadLines(script);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("CREATE TABLE `table1`(", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" ENGINE=HEAP DEFAULT CHARSET=utf8mb4;"), std::string::npos)
        << lines[1];
    EXPECT_EQ(session.Scalar("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                             database + "' AND TABLE_NAME = 'table1'"),
              "MEMORY");
    session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
}

TEST_F(WindowTest, TheFileDialogsAskWithTheirTitlesAndFilters) {
    Click("OptScenario_1");
    Click("CmdNext");
    chosen_file = "/data/Orders.accdb";
    Click("CmdBrowse");
    EXPECT_EQ(Get<QLineEdit>("TxtSourceDB")->text(), QStringLiteral("/data/Orders.accdb"));
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].DialogTitle, "选择Access数据库");
    EXPECT_EQ(window::DialogFilter(dialogs[0].Filter),
              QStringLiteral("Access 数据库 (*.mdb *.accdb);;全部文件 (*)"));

    Type("TxtSourceDB", test::TestDataPath("jet4-nopassword.mdb"));
    Click("CmdNext");
    ASSERT_EQ(Step(), 1);
    chosen_file = "/data/dump";
    Click("CmdSaveDumpFile");
    EXPECT_EQ(Get<QLineEdit>("TxtDestDumpFile")->text(), QStringLiteral("/data/dump.sql"));
    EXPECT_EQ(dialogs.back().DialogTitle, "保存SQL数据库脚本");
    EXPECT_EQ(window::DialogFilter(dialogs.back().Filter), QStringLiteral("SQL 脚本 (*.sql)"));
    chosen_file = "";
    Click("CmdSaveDumpFile");
    EXPECT_EQ(Get<QLineEdit>("TxtDestDumpFile")->text(), QStringLiteral("/data/dump.sql"));
}

TEST_F(WindowTest, MessageBoxesAreModalAndCaptionedTablewright) {
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool modal = false;
    QString buttons;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        icon = box->icon();
        modal = box->isModal();
        buttons = box->button(QMessageBox::Yes)->text() + box->button(QMessageBox::No)->text();
        box->button(QMessageBox::No)->click();
    });
    const MsgBoxResult reply = window::ShowMessageBox(form.get(), "确实要退出向导吗？",
                                                      MsgBoxButtons::YesNo, MsgBoxIcon::Question);
    EXPECT_EQ(reply, MsgBoxResult::No);
    EXPECT_EQ(caption, QStringLiteral("Tablewright"));
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_TRUE(modal);
    EXPECT_EQ(buttons, QStringLiteral("是否"));
}

TEST_F(WindowTest, TheFileDialogsStartInTheFolderOfTheCurrentPath) {
    const fs::path file = dir / "orders.mdb";
    std::ofstream(file) << "x";
    const QString home = QDir::homePath();
    const struct {
        std::string current;
        QString start;
    } cases[] = {
        {file.string(), QString::fromStdString(file.string())},
        {(dir / "new.sql").string(), QString::fromStdString((dir / "new.sql").string())},
        {dir.string(), QString::fromStdString(dir.string())},
        {(dir / "missing" / "a.mdb").string(), home},
        {"", home},
        {"   ", home},
    };
    for (const auto& c : cases)
        EXPECT_EQ(window::DialogStartPath(c.current), c.start) << c.current;

    // The real dialog is Qt's own, in the folder of the path, and speaks Chinese.
    ASSERT_TRUE(window::InstallQtTranslations());
    QString folder;
    QString cancel_text;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        folder = dialog->directory().absolutePath();
        for (auto* button : dialog->findChildren<QPushButton*>())
            if (button->isVisible())
                cancel_text += button->text();
        dialog->reject();
    });
    const wizard::FileDialogRequest request{wizard::kOpenFilter, wizard::kOpenTitle, file.string()};
    EXPECT_EQ(window::ShowFileDialog(form.get(), request, false), "");
    EXPECT_EQ(folder, QString::fromStdString(dir.string()));
    EXPECT_TRUE(cancel_text.contains(QStringLiteral("取消"))) << cancel_text.toStdString();
}

// Bad port texts get the connection's own message in both scenarios with a server, and the table
// types no current server has are refused before anything is tried.
TEST_F(WindowTest, TheDestinationPageRefusesBadPortsAndGoneTableTypes) {
    for (const int scenario : {0, 2}) {
        SCOPED_TRACE("scenario " + std::to_string(scenario));
        if (scenario > 0)
            SetUp();
        Click("OptScenario_" + std::to_string(scenario));
        Click("CmdNext");
        Type("TxtSourceDB", test::TestDataPath("gen-types.mdb"));
        Click("CmdNext");
        ASSERT_EQ(Step(), 1);
        for (const std::string port : {"abc", "3306.5", "0x10", "", "99999"}) {
            SCOPED_TRACE("port '" + port + "'");
            messages.clear();
            Type("TxtMySQLInfo_1", port);
            Click("CmdNext");
            EXPECT_EQ(Step(), 1);
            ASSERT_FALSE(messages.empty());
            EXPECT_EQ(messages[0].text, "端口号无效：'" + port + "'。");
            EXPECT_EQ(messages[0].icon, MsgBoxIcon::Critical);
        }
        Type("TxtMySQLInfo_1", "3306");
        auto* types = Get<QComboBox>("CboType");
        types->setFocus();
        for (const std::string type : {"ISAM", "BDB"}) {
            // Chosen with the keyboard: ISAM lies two entries down, BDB one further.
            for (int i = 0; i < 4 && types->currentText().toStdString() != type; ++i)
                QTest::keyClick(types, Qt::Key_Down);
            ASSERT_EQ(types->currentText().toStdString(), type);
            messages.clear();
            Click("CmdNext");
            EXPECT_EQ(Step(), 1);
            EXPECT_TRUE(Shown("fra_progress_1"));
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages[0].text, "表类型 " + type +
                                            " 已不被任何现行的 MySQL 或 MariaDB 服务器支持，请改用 "
                                            "MyISAM 或 InnoDB");
        }
    }
}

// A table is ticked by a click on its name as on its box; Next with none ticked says so and stays
// on the page, Back still live.
TEST_F(WindowTest, ClickingATablesNameTicksItAndNextNeedsATickedTable) {
    WalkToTables(1, test::TestDataPath("gen-types.mdb"), nullptr, "", dir / "ticked.sql");
    Click("CmdNext");
    EXPECT_EQ(Step(), 2);
    EXPECT_TRUE(Shown("fra_progress_2"));
    EXPECT_TRUE(Enabled("CmdBack") && Enabled("CmdNext"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "请至少选择一个要转换的表。");
    EXPECT_FALSE(fs::exists(dir / "ticked.sql"));

    auto* list = Get<QListWidget>("LstTables");
    const struct {
        int row;
        bool on_box;
        Qt::CheckState after;
    } clicks[] = {{1, false, Qt::Checked},  {1, false, Qt::Unchecked}, {1, true, Qt::Checked},
                  {1, true, Qt::Unchecked}, {0, false, Qt::Checked},   {2, false, Qt::Checked},
                  {2, false, Qt::Unchecked}};
    for (const auto& click : clicks) {
        ClickTable(click.row, click.on_box);
        EXPECT_EQ(list->item(click.row)->checkState(), click.after)
            << click.row << (click.on_box ? " box" : " name");
    }
    Click("CmdNext");
    ExpectFinished();
    const std::string log = Log();
    EXPECT_NE(log.find(" 表 'AllTypes' 成功转换"), std::string::npos) << log;
    EXPECT_EQ(log.find("'Order Details'"), std::string::npos) << log;
    EXPECT_EQ(log.find("'it's'"), std::string::npos) << log;
}

// A run whose script file cannot be written ends on the finished page with the failure header,
// whose picture agrees with the log.
TEST_F(WindowTest, ARunWithFailuresEndsOnTheFailureHeader) {
    WalkToTables(1, test::TestDataPath("gen-types.mdb"), nullptr, "", dir / "missing" / "out.sql");
    Click("cmdSelect");
    Click("CmdNext");
    ExpectFinished();
    EXPECT_NE(Log().find("无法写入脚本文件"), std::string::npos) << Log();
    EXPECT_TRUE(HeaderShows(artwork::WarningPicture()));
    EXPECT_FALSE(HeaderShows(artwork::LoadResPicture(105)));
    ExpectLogAtItsEnd();
}

// A server that stops answering in the middle of a run (here the table lock of another session's
// open transaction, which the run's DROP TABLE of the second table waits for) freezes nothing:
// the window goes on processing events, Cancel ends the run within a few seconds, and the log
// names the cut table with the statements that never arrived.
TEST_F(WindowTest, AStalledServerFreezesNothingAndCancelEndsTheRun) {
    TW_REQUIRE_SERVER(server);
    test::ServerSession session(server);
    const std::string database = "tw_window_stall";
    session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
    session.Execute("CREATE DATABASE `" + database + "`");
    session.Execute("CREATE TABLE `" + database + "`.`order details` (id int)");
    int ticks = 0;
    int ticks_when_stalled = -1;
    QElapsedTimer since_cancel;
    {
        // A transaction that has read the table keeps it from being dropped (and leaves the
        // database free); it lasts as long as its session, which this scope ends whatever happens.
        test::ServerSession holder(server);
        holder.Execute("START TRANSACTION");
        holder.Execute("SELECT COUNT(*) FROM `" + database + "`.`order details`");
        WalkToTables(0, test::TestDataPath("gen-types.mdb"), &server, database, {});
        Click("cmdSelect");

        QTimer ticker;
        ticker.setInterval(20);
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start();
        QTimer watch;
        watch.setInterval(100);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (since_cancel.isValid())
                return;
            if (ticks_when_stalled < 0) {
                if (session.Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                   "WHERE STATE = 'Waiting for table metadata lock'") != "0")
                    ticks_when_stalled = ticks;
                return;
            }
            // Cancelled once the window has gone on with its events for a while of the stall.
            if (ticks - ticks_when_stalled < 15)
                return;
            since_cancel.start();
            Click("CmdCancel");
        });
        watch.start();
        Click("CmdNext");
    }
    const qint64 cancel_took = since_cancel.isValid() ? since_cancel.elapsed() : -1;
    ASSERT_GE(ticks_when_stalled, 0) << Log();
    EXPECT_GE(cancel_took, 0);
    EXPECT_LT(cancel_took, 5000);
    ExpectFinished();
    ExpectLogAtItsEnd();
    EXPECT_EQ(messages.size(), 1u); // the question of Cancel

    const run::RunSummary& summary = form->Steps().Run()->Summary();
    EXPECT_TRUE(summary.cancelled);
    ASSERT_EQ(summary.tables.size(), 2u);
    const std::int64_t lost = summary.tables[1].failed_statements;
    EXPECT_GE(lost, 1);
    const std::string log = Log();
    EXPECT_NE(log.find(" 表 'AllTypes' 成功转换"), std::string::npos) << log;
    EXPECT_NE(log.find(" 表 'Order Details'：与 MySQL 服务器的连接中断"), std::string::npos) << log;
    EXPECT_NE(log.find(" 表 'Order Details' 转换出错：" + std::to_string(lost) + " 条语句失败（"),
              std::string::npos)
        << log;
    EXPECT_LT(log.find("转换出错"), log.find(" 用户取消 ....."));
    EXPECT_EQ(log.find("'it's'"), std::string::npos) << log;
    EXPECT_TRUE(HeaderShows(artwork::WarningPicture()));
    EXPECT_EQ(session.Scalar("SELECT COUNT(*) FROM `" + database + "`.`alltypes`"), "13");
    session.Execute("DROP DATABASE IF EXISTS `" + database + "`");
}

// Connecting to a server that takes the connection but never answers shows the busy cursor and
// keeps the window processing its events until the attempt gives up.
TEST_F(WindowTest, ConnectingToAServerThatNeverAnswersFreezesNothing) {
    // A socket that listens but never accepts: the system completes the connection, nobody
    // greets.
    const test::LoopbackSocket silent(true);
    ASSERT_NE(silent.Port(), 0);
    const int port = silent.Port();

    Click("CmdNext");
    Type("TxtSourceDB", test::TestDataPath("gen-types.mdb"));
    Click("CmdNext");
    ASSERT_EQ(Step(), 1);
    Type("TxtMySQLInfo_0", "127.0.0.1");
    Type("TxtMySQLInfo_1", std::to_string(port));
    int ticks = 0;
    bool busy_cursor = false;
    QTimer ticker;
    ticker.setInterval(50);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++ticks;
        if (const QCursor* cursor = QApplication::overrideCursor())
            busy_cursor = busy_cursor || cursor->shape() == Qt::WaitCursor;
    });
    ticker.start();
    Click("CmdNext");
    ticker.stop();
    EXPECT_EQ(Step(), 1);
    EXPECT_TRUE(busy_cursor);
    EXPECT_GT(ticks, 20);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, MsgBoxIcon::Critical);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The default script file lies in the home folder; the tests keep the real one untouched.
    const fs::path home =
        fs::temp_directory_path() / ("tw_window_home_" + std::to_string(::getpid()));
    fs::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    fs::remove_all(home);
    return status;
}
