#include "tablewright/window/Frm_Conversion.h"

#include "tablewright/artwork/Fonts.h"
#include "tablewright/artwork/Mod_Functions.h"
#include "tablewright/artwork/Resources.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>

namespace tw::window {

namespace {

using wizard::ControlKind;
using wizard::ControlRef;
using wizard::Ctl;

// How long a stopped run may keep waiting for the server before the call it waits in is ended.
constexpr qint64 kInterruptAfterMs = 500;
// How often the window looks whether background work was asked to stop.
constexpr int kStopPollMs = 100;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QFont FontOf(const wizard::FontSpec& font) {
    return artwork::FontAt96Dpi(FromUtf8(font.family), font.points, font.bold);
}

void SetColour(QWidget& widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(role, colour);
    widget.setPalette(palette);
}

/// Widens a label whose text does not fit its designed width, as a self-sizing label does;
/// it never grows past its container.
void FitLabel(QLabel& label) {
    const int wanted = label.sizeHint().width();
    if (wanted <= label.width())
        return;
    int limit = wanted;
    if (const QWidget* parent = label.parentWidget())
        limit = std::max(label.width(), parent->width() - label.x() - 4);
    label.resize(std::min(wanted, limit), label.height());
}

} // namespace

Frm_Conversion::Frm_Conversion(data::ProviderFactory factory, QWidget* parent)
    : QWidget(parent), steps_(*this, std::move(factory)) {
    artwork::InstallFontSubstitutes();
    setObjectName(QStringLiteral("Frm_Conversion"));
    setWindowTitle(QString::fromUtf8(wizard::kWindowCaption));
    setWindowIcon(artwork::WindowIcon());
    setFont(FontOf(wizard::WindowFont()));
    // The button-face colour behind everything that is not painted.
    SetColour(*this, QPalette::Window, palette().color(QPalette::Button));
    setFixedSize(wizard::kClientWidth, wizard::kClientHeight);
    // The client area opens centred on the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));

    BuildControls();

    steps_.MsgBox = [this](const std::string& prompt, wizard::MsgBoxButtons buttons,
                           wizard::MsgBoxIcon icon) {
        return ShowMessageBox(this, prompt, buttons, icon);
    };
    steps_.ShowOpen = [this](const wizard::FileDialogRequest& request) {
        return ShowFileDialog(this, request, false);
    };
    steps_.ShowSave = [this](const wizard::FileDialogRequest& request) {
        return ShowFileDialog(this, request, true);
    };
    // Only the window's own thread processes its events; the run's thread has nothing to yield.
    steps_.DoEvents = [this] {
        if (QThread::currentThread() == thread())
            QCoreApplication::processEvents();
    };
    steps_.InBackground = [this](const wizard::BackgroundWork& job) { RunInBackground(job); };
    steps_.ToWindow = [this](std::function<void()> change) {
        QMetaObject::invokeMethod(this, std::move(change), Qt::QueuedConnection);
    };

    steps_.Form_Load();
    ConnectHandlers();
    ApplyTabOrder();
}

Frm_Conversion::~Frm_Conversion() = default;

void Frm_Conversion::BuildControls() {
    for (const wizard::ControlLayout& layout : wizard::FormLayout()) {
        QWidget* parent = this;
        if (layout.parent)
            parent = &At(*layout.parent);
        QWidget* widget = CreateControl(layout, parent);
        widget->setObjectName(FromUtf8(wizard::ObjectName(layout.ref)));
        if (!layout.font.family.empty())
            widget->setFont(FontOf(layout.font));
        widget->setGeometry(layout.rect.left, layout.rect.top, layout.rect.width,
                            layout.rect.height);
        if (layout.white_background) {
            SetColour(*widget, QPalette::Base, Qt::white);
            SetColour(*widget, QPalette::Window, Qt::white);
            SetColour(*widget, QPalette::Button, Qt::white);
        }
        if (layout.black_text)
            SetColour(*widget, QPalette::WindowText, Qt::black);
        if (layout.input_method_off)
            widget->setAttribute(Qt::WA_InputMethodEnabled, false);
        widget->setEnabled(!layout.disabled);
        widget->setVisible(!layout.hidden);
        if (auto* label = qobject_cast<QLabel*>(widget))
            FitLabel(*label);
        controls_[layout.ref] = widget;
        tab_index_[widget] = layout.tab;
    }
    // The welcome page lies above the step header.
    PicWelcome_->raise();
}

QWidget* Frm_Conversion::CreateControl(const wizard::ControlLayout& layout, QWidget* parent) {
    const QString text = FromUtf8(layout.text);
    switch (layout.kind) {
    case ControlKind::CommandButton: {
        auto* button = new QPushButton(text, parent);
        // No button reacts to Enter or Escape.
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    }
    case ControlKind::TextBox: {
        auto* box = new QLineEdit(text, parent);
        if (layout.password_mask) {
            box->setEchoMode(QLineEdit::Password);
            box->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
        }
        return box;
    }
    case ControlKind::MultiLineTextBox: {
        auto* box = new QPlainTextEdit(text, parent);
        // The log is for reading (and copying) only.
        box->setReadOnly(true);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        SetColour(*box, QPalette::Base, palette().color(QPalette::Button));
        return box;
    }
    case ControlKind::CheckBox: {
        auto* box = new QCheckBox(text, parent);
        box->setChecked(layout.value != 0);
        return box;
    }
    case ControlKind::OptionButton: {
        auto* option = new QRadioButton(text, parent);
        option->setAutoFillBackground(layout.white_background);
        OptScenario_.append(option);
        return option;
    }
    case ControlKind::CheckedListBox: {
        auto* list = new QListWidget(parent);
        list->setSortingEnabled(false);
        // An entry is selected exactly when it is ticked, so there is no separate highlight.
        list->setSelectionMode(QAbstractItemView::NoSelection);
        return list;
    }
    case ControlKind::DropDownList: {
        auto* combo = new QComboBox(parent);
        combo->setEditable(false);
        return combo;
    }
    case ControlKind::Frame:
        return new QGroupBox(text, parent);
    case ControlKind::PictureBox: {
        auto* box = new artwork::PictureBox(parent);
        if (layout.ref.name == Ctl::PicWelcome) {
            PicWelcome_ = box;
            box->SetBackground(Qt::white);
            box->SetPicture(artwork::WelcomePicture());
        } else {
            PicHeader_ = box;
            box->SetBackground(palette().color(QPalette::Base));
            SetColour(*box, QPalette::WindowText, palette().color(QPalette::Text));
        }
        box->Clear();
        return box;
    }
    case ControlKind::Label:
        return new QLabel(text, parent);
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(parent);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    }
    throw std::logic_error("unknown control kind");
}

void Frm_Conversion::ConnectHandlers() {
    auto click = [this](Ctl name, void (wizard::WizardSteps::*handler)()) {
        connect(&As<QPushButton>({name}), &QPushButton::clicked, this,
                [this, handler] { (steps_.*handler)(); });
    };
    click(Ctl::CmdNext, &wizard::WizardSteps::CmdNext_Click);
    click(Ctl::CmdBack, &wizard::WizardSteps::CmdBack_Click);
    click(Ctl::CmdCancel, &wizard::WizardSteps::CmdCancel_Click);
    click(Ctl::CmdFinish, &wizard::WizardSteps::CmdFinish_Click);
    click(Ctl::CmdBrowse, &wizard::WizardSteps::CmdBrowse_Click);
    click(Ctl::CmdSaveDumpFile, &wizard::WizardSteps::CmdSaveDumpFile_Click);
    click(Ctl::cmdSelect, &wizard::WizardSteps::cmdSelect_Click);
    click(Ctl::CmdTestConnection, &wizard::WizardSteps::CmdTestConnection_Click);
    connect(&As<QCheckBox>({Ctl::ChkSrcPwd}), &QCheckBox::toggled, this,
            [this] { steps_.ChkSrcPwd_Click(); });
    // A click on a table's name ticks or unticks it, as a click on its box does.
    auto* tables = &As<QListWidget>({Ctl::LstTables});
    connect(tables, &QListWidget::itemPressed, this, [this](QListWidgetItem* item) {
        pressed_table_ = item;
        pressed_table_ticked_ = item->checkState() == Qt::Checked;
    });
    connect(tables, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const bool on_name =
            item == pressed_table_ && (item->checkState() == Qt::Checked) == pressed_table_ticked_;
        pressed_table_ = nullptr;
        if (on_name && (item->flags() & Qt::ItemIsUserCheckable) && item->listWidget()->isEnabled())
            item->setCheckState(pressed_table_ticked_ ? Qt::Unchecked : Qt::Checked);
    });
    // Only a choice of the user raises the click; the load handling selects the first entry
    // itself.
    connect(&As<QComboBox>({Ctl::CboType}), &QComboBox::activated, this,
            [this] { steps_.CboType_Click(); });
    // The options exist once the welcome page is painted; each handler receives its index.
    for (qsizetype i = 0; i < OptScenario_.size(); ++i) {
        const int index = static_cast<int>(i);
        connect(OptScenario_[i], &QRadioButton::toggled, this, [this, index](bool checked) {
            if (checked)
                steps_.OptScenario_Click(index);
        });
    }
}

void Frm_Conversion::ApplyTabOrder() {
    std::vector<std::pair<int, QWidget*>> order;
    for (const auto& [widget, tab] : tab_index_)
        if (widget->focusPolicy() != Qt::NoFocus)
            order.emplace_back(tab, widget);
    std::sort(order.begin(), order.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // The options added at load follow the first one.
    std::vector<QWidget*> chain;
    for (const auto& entry : order) {
        chain.push_back(entry.second);
        if (!OptScenario_.isEmpty() && entry.second == OptScenario_.front())
            for (qsizetype i = 1; i < OptScenario_.size(); ++i)
                chain.push_back(OptScenario_[i]);
    }
    for (std::size_t i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

QWidget* Frm_Conversion::Control(const ControlRef& ref) const {
    const auto found = controls_.find(ref);
    return found == controls_.end() ? nullptr : found->second;
}

QWidget& Frm_Conversion::At(const ControlRef& ref) const {
    QWidget* widget = Control(ref);
    if (!widget)
        throw std::out_of_range("no control " + wizard::ObjectName(ref));
    return *widget;
}

template <typename Widget> Widget& Frm_Conversion::As(const ControlRef& ref) const {
    auto* widget = qobject_cast<Widget*>(&At(ref));
    if (!widget)
        throw std::invalid_argument("control " + wizard::ObjectName(ref) + " is of another kind");
    return *widget;
}

void Frm_Conversion::SetVisible(const ControlRef& ref, bool visible) {
    QWidget& widget = At(ref);
    widget.setVisible(visible);
    // A box laid out while hidden learns its scroll range when shown: its end stays in view.
    if (auto* box = qobject_cast<QPlainTextEdit*>(&widget); box && visible) {
        box->ensureCursorVisible();
        box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
    }
}

void Frm_Conversion::SetEnabled(const ControlRef& ref, bool enabled) {
    At(ref).setEnabled(enabled);
}

std::string Frm_Conversion::Text(const ControlRef& ref) const {
    QWidget& widget = At(ref);
    if (auto* box = qobject_cast<QLineEdit*>(&widget))
        return ToUtf8(box->text());
    if (auto* box = qobject_cast<QPlainTextEdit*>(&widget))
        return ToUtf8(box->toPlainText());
    if (auto* combo = qobject_cast<QComboBox*>(&widget))
        return ToUtf8(combo->currentText());
    if (auto* label = qobject_cast<QLabel*>(&widget))
        return ToUtf8(label->text());
    if (auto* button = qobject_cast<QAbstractButton*>(&widget))
        return ToUtf8(button->text());
    if (auto* frame = qobject_cast<QGroupBox*>(&widget))
        return ToUtf8(frame->title());
    throw std::invalid_argument("control " + wizard::ObjectName(ref) + " has no text");
}

void Frm_Conversion::SetText(const ControlRef& ref, const std::string& text) {
    QWidget& widget = At(ref);
    const QString value = FromUtf8(text);
    if (auto* box = qobject_cast<QLineEdit*>(&widget)) {
        box->setText(value);
    } else if (auto* box = qobject_cast<QPlainTextEdit*>(&widget)) {
        // The log's line breaks are CR LF; the box breaks lines at LF.
        QString lines = value;
        lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        box->setPlainText(lines);
        // The end (the summary and the time taken) is in view, also once the box is shown.
        box->moveCursor(QTextCursor::End);
        box->ensureCursorVisible();
        box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
    } else if (auto* label = qobject_cast<QLabel*>(&widget)) {
        label->setText(value);
        FitLabel(*label);
    } else if (auto* button = qobject_cast<QAbstractButton*>(&widget)) {
        button->setText(value);
    } else if (auto* frame = qobject_cast<QGroupBox*>(&widget)) {
        frame->setTitle(value);
    } else {
        throw std::invalid_argument("control " + wizard::ObjectName(ref) + " has no text");
    }
}

double Frm_Conversion::Value(const ControlRef& ref) const {
    QWidget& widget = At(ref);
    if (auto* button = qobject_cast<QAbstractButton*>(&widget))
        return button->isChecked() ? 1 : 0;
    if (auto* bar = qobject_cast<QProgressBar*>(&widget))
        return bar->value();
    throw std::invalid_argument("control " + wizard::ObjectName(ref) + " has no value");
}

void Frm_Conversion::SetValue(const ControlRef& ref, double value) {
    QWidget& widget = At(ref);
    if (auto* bar = qobject_cast<QProgressBar*>(&widget)) {
        // A value outside the bar's range is ignored, as the bar itself does.
        if (value >= bar->minimum() && value <= bar->maximum())
            bar->setValue(static_cast<int>(std::lround(value)));
    } else if (auto* button = qobject_cast<QAbstractButton*>(&widget)) {
        button->setChecked(value != 0);
    } else {
        throw std::invalid_argument("control " + wizard::ObjectName(ref) + " has no value");
    }
}

void Frm_Conversion::SetFocus(const ControlRef& ref) {
    At(ref).setFocus(Qt::OtherFocusReason);
}

void Frm_Conversion::Move(const ControlRef& ref, const wizard::PixelRect& rect) {
    At(ref).setGeometry(rect.left, rect.top, rect.width, rect.height);
}

void Frm_Conversion::SetHeight(const ControlRef& ref, int height) {
    // The painters fix the picture boxes' heights, so the height is fixed here too.
    At(ref).setFixedHeight(height);
}

void Frm_Conversion::AddItem(const ControlRef& ref, const std::string& text) {
    QWidget& widget = At(ref);
    if (auto* list = qobject_cast<QListWidget*>(&widget)) {
        auto* item = new QListWidgetItem(FromUtf8(text), list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    } else {
        As<QComboBox>(ref).addItem(FromUtf8(text));
    }
}

void Frm_Conversion::Clear(const ControlRef& ref) {
    QWidget& widget = At(ref);
    if (auto* list = qobject_cast<QListWidget*>(&widget))
        list->clear();
    else
        As<QComboBox>(ref).clear();
}

int Frm_Conversion::ListCount(const ControlRef& ref) const {
    QWidget& widget = At(ref);
    if (auto* list = qobject_cast<QListWidget*>(&widget))
        return list->count();
    return As<QComboBox>(ref).count();
}

std::string Frm_Conversion::List(const ControlRef& ref, int i) const {
    QWidget& widget = At(ref);
    if (auto* list = qobject_cast<QListWidget*>(&widget)) {
        const QListWidgetItem* item = list->item(i);
        if (!item)
            throw std::out_of_range("no list entry " + std::to_string(i));
        return ToUtf8(item->text());
    }
    const QComboBox& combo = As<QComboBox>(ref);
    if (i < 0 || i >= combo.count())
        throw std::out_of_range("no list entry " + std::to_string(i));
    return ToUtf8(combo.itemText(i));
}

bool Frm_Conversion::Selected(const ControlRef& ref, int i) const {
    const QListWidgetItem* item = As<QListWidget>(ref).item(i);
    if (!item)
        throw std::out_of_range("no list entry " + std::to_string(i));
    return item->checkState() == Qt::Checked;
}

void Frm_Conversion::SetSelected(const ControlRef& ref, int i, bool selected) {
    QListWidgetItem* item = As<QListWidget>(ref).item(i);
    if (!item)
        throw std::out_of_range("no list entry " + std::to_string(i));
    item->setCheckState(selected ? Qt::Checked : Qt::Unchecked);
}

void Frm_Conversion::SetListIndex(const ControlRef& ref, int i) {
    QComboBox& combo = As<QComboBox>(ref);
    if (i < -1 || i >= combo.count())
        throw std::out_of_range("no list entry " + std::to_string(i));
    combo.setCurrentIndex(i);
}

void Frm_Conversion::PaintForm() {
    artwork::Mod_Functions::PaintForm(*this, background_);
}

void Frm_Conversion::PaintWelcome() {
    artwork::Mod_Functions::PaintWelcome(*PicWelcome_, OptScenario_);
    for (qsizetype i = 0; i < OptScenario_.size(); ++i)
        controls_[{Ctl::OptScenario, static_cast<int>(i)}] = OptScenario_[i];
}

void Frm_Conversion::PaintHeader(std::int16_t step) {
    artwork::Mod_Functions::PaintHeader(*PicHeader_, step);
}

void Frm_Conversion::Close() {
    close();
}

// The work runs on a thread of its own while this thread goes on painting and answering the user
// in a local event loop, so a server that is slow or has stopped never freezes the window. What
// the work hands to the window (ToWindow) is queued to this object, and so is its last word,
// so the loop ends only after everything handed before has reached the controls, in order. A
// stop request that the work has not followed within kInterruptAfterMs (it waits for the server)
// is followed by the work's interrupt.
void Frm_Conversion::RunInBackground(const wizard::BackgroundWork& job) {
    QEventLoop loop;
    std::atomic<bool> done = false;
    std::thread worker([this, &job, &loop, &done] {
        if (job.work)
            job.work();
        done = true;
        QMetaObject::invokeMethod(
            this, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    QElapsedTimer since_stop;
    bool interrupted = false;
    QTimer watch;
    watch.setInterval(kStopPollMs);
    connect(&watch, &QTimer::timeout, &watch, [&] {
        if (interrupted || !job.stop_requested || !job.stop_requested())
            return;
        if (!since_stop.isValid())
            since_stop.start();
        else if (since_stop.elapsed() >= kInterruptAfterMs) {
            interrupted = true;
            if (job.interrupt)
                job.interrupt();
        }
    });
    watch.start();
    if (job.busy_cursor)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    // The loop returns at once while the application is quitting; the work still ends first.
    while (!done)
        if (loop.exec() != 0 && !done)
            QThread::msleep(10);
    if (job.busy_cursor)
        QApplication::restoreOverrideCursor();
    watch.stop();
    worker.join();
    // Whatever of the work's changes the loop has not delivered yet (only when the application
    // is quitting), and its last word, which refers to the loop.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void Frm_Conversion::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!background_.isNull())
        painter.drawImage(0, 0, background_);
}

void Frm_Conversion::closeEvent(QCloseEvent* event) {
    int cancel = 0;
    steps_.Form_Unload(cancel);
    if (cancel != 0)
        event->ignore();
    else
        event->accept();
}

wizard::MsgBoxResult ShowMessageBox(QWidget* parent, const std::string& prompt,
                                    wizard::MsgBoxButtons buttons, wizard::MsgBoxIcon icon) {
    QMessageBox::Icon box_icon = QMessageBox::NoIcon;
    switch (icon) {
    case wizard::MsgBoxIcon::Critical:
        box_icon = QMessageBox::Critical;
        break;
    case wizard::MsgBoxIcon::Question:
        box_icon = QMessageBox::Question;
        break;
    case wizard::MsgBoxIcon::Exclamation:
        box_icon = QMessageBox::Warning;
        break;
    case wizard::MsgBoxIcon::Information:
        box_icon = QMessageBox::Information;
        break;
    }
    const QMessageBox::StandardButtons box_buttons = buttons == wizard::MsgBoxButtons::YesNo
                                                         ? QMessageBox::Yes | QMessageBox::No
                                                         : QMessageBox::Ok;
    QMessageBox box(box_icon, QString::fromUtf8(wizard::kWindowCaption), FromUtf8(prompt),
                    box_buttons, parent);
    box.setWindowModality(Qt::ApplicationModal);
    // The buttons speak the window's language whatever the system's locale is.
    if (QAbstractButton* yes = box.button(QMessageBox::Yes))
        yes->setText(QStringLiteral("是"));
    if (QAbstractButton* no = box.button(QMessageBox::No))
        no->setText(QStringLiteral("否"));
    if (QAbstractButton* ok = box.button(QMessageBox::Ok))
        ok->setText(QStringLiteral("确定"));
    switch (box.exec()) {
    case QMessageBox::Yes:
        return wizard::MsgBoxResult::Yes;
    case QMessageBox::No:
        return wizard::MsgBoxResult::No;
    default:
        return buttons == wizard::MsgBoxButtons::YesNo ? wizard::MsgBoxResult::No
                                                       : wizard::MsgBoxResult::Ok;
    }
}

QString DialogFilter(const std::string& filter) {
    const QStringList parts = FromUtf8(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& pattern : patterns)
            if (pattern == QStringLiteral("*.*"))
                pattern = QStringLiteral("*");
        entries << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

bool InstallQtTranslations() {
    static QTranslator* installed = nullptr;
    if (installed)
        return true;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    installed = translator.release();
    QCoreApplication::installTranslator(installed);
    return true;
}

QString DialogStartPath(const std::string& current) {
    const QString path = FromUtf8(current).trimmed();
    if (!path.isEmpty()) {
        const QFileInfo info(path);
        if (info.isDir() || info.absoluteDir().exists())
            return info.absoluteFilePath();
    }
    return QDir::homePath();
}

std::string ShowFileDialog(QWidget* parent, const wizard::FileDialogRequest& request, bool save) {
    const QString title = FromUtf8(request.DialogTitle);
    const QString start = DialogStartPath(request.FileName);
    const QString filter = DialogFilter(request.Filter);
    // Qt's own dialog, which speaks the installed translation whatever the desktop is.
    const QFileDialog::Options options = QFileDialog::DontUseNativeDialog;
    const QString chosen =
        save ? QFileDialog::getSaveFileName(parent, title, start, filter, nullptr, options)
             : QFileDialog::getOpenFileName(parent, title, start, filter, nullptr, options);
    return ToUtf8(chosen);
}

} // namespace tw::window
