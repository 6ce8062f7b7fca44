#pragma once

#include "tablewright/artwork/PictureBox.h"
#include "tablewright/wizard/WizardSteps.h"
#include "tablewright/wizard/WizardView.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

#include <map>
#include <string>

class QCloseEvent;
class QListWidgetItem;
class QPaintEvent;
class QRadioButton;

namespace tw::window {

/// The wizard window: every control of the form laid down at its pixel position, bound to the
/// step logic, which drives the engine and the conversion run through the controls.
class Frm_Conversion : public QWidget, public wizard::WizardView {
public:
    /// Builds the controls and runs the load handling; the engine's connections come from
    /// `factory`.
    explicit Frm_Conversion(data::ProviderFactory factory = data::DefaultProviderFactory(),
                            QWidget* parent = nullptr);
    ~Frm_Conversion() override;
    Frm_Conversion(const Frm_Conversion&) = delete;
    Frm_Conversion& operator=(const Frm_Conversion&) = delete;

    /// The window's members and handlers; its message box and dialogs can be replaced.
    wizard::WizardSteps& Steps() { return steps_; }
    /// The widget of a control, or null when the window has no such control.
    QWidget* Control(const wizard::ControlRef& ref) const;

    void SetVisible(const wizard::ControlRef& ref, bool visible) override;
    void SetEnabled(const wizard::ControlRef& ref, bool enabled) override;
    std::string Text(const wizard::ControlRef& ref) const override;
    void SetText(const wizard::ControlRef& ref, const std::string& text) override;
    double Value(const wizard::ControlRef& ref) const override;
    void SetValue(const wizard::ControlRef& ref, double value) override;
    void SetFocus(const wizard::ControlRef& ref) override;
    void Move(const wizard::ControlRef& ref, const wizard::PixelRect& rect) override;
    void SetHeight(const wizard::ControlRef& ref, int height) override;
    void AddItem(const wizard::ControlRef& ref, const std::string& text) override;
    void Clear(const wizard::ControlRef& ref) override;
    int ListCount(const wizard::ControlRef& ref) const override;
    std::string List(const wizard::ControlRef& ref, int i) const override;
    bool Selected(const wizard::ControlRef& ref, int i) const override;
    void SetSelected(const wizard::ControlRef& ref, int i, bool selected) override;
    void SetListIndex(const wizard::ControlRef& ref, int i) override;
    void PaintForm() override;
    void PaintWelcome() override;
    void PaintHeader(std::int16_t step) override;
    void Close() override;

protected:
    /// Draws the painted background.
    void paintEvent(QPaintEvent* event) override;
    /// Routes every way of closing through the unload handling, which may keep the window open.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    QWidget* CreateControl(const wizard::ControlLayout& layout, QWidget* parent);
    void ConnectHandlers();
    void ApplyTabOrder();
    void RunInBackground(const wizard::BackgroundWork& job);
    QWidget& At(const wizard::ControlRef& ref) const;
    template <typename Widget> Widget& As(const wizard::ControlRef& ref) const;

    std::map<wizard::ControlRef, QWidget*> controls_;
    std::map<QWidget*, int> tab_index_;
    QList<QRadioButton*> OptScenario_;
    artwork::PictureBox* PicWelcome_ = nullptr;
    artwork::PictureBox* PicHeader_ = nullptr;
    QImage background_;
    // The table entry under the last press and its tick then: a click that did not change the
    // tick (one on the name) changes it.
    QListWidgetItem* pressed_table_ = nullptr;
    bool pressed_table_ticked_ = false;
    wizard::WizardSteps steps_;
};

/// Installs Qt's own Simplified Chinese texts (qtbase_zh_CN, from Qt's translations folder) for
/// the standard dialogs and menus; false when they are not installed.
bool InstallQtTranslations();

/// The path a file dialog starts at for the current path of its box: the path itself when its
/// folder exists (so the dialog opens in that folder, with the name filled in), else the home
/// folder.
QString DialogStartPath(const std::string& current);

/// Shows a modal message box captioned "Tablewright" with the given buttons and icon.
wizard::MsgBoxResult ShowMessageBox(QWidget* parent, const std::string& prompt,
                                    wizard::MsgBoxButtons buttons, wizard::MsgBoxIcon icon);

/// Shows the open or save dialog for a request; the chosen file, or empty when cancelled.
std::string ShowFileDialog(QWidget* parent, const wizard::FileDialogRequest& request, bool save);

/// Turns a filter of description|patterns pairs ("SQL 脚本|*.sql") into the dialog's form
/// ("SQL 脚本 (*.sql)"); "*.*" becomes "*", which matches every file here.
QString DialogFilter(const std::string& filter);

} // namespace tw::window
