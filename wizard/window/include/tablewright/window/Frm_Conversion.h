#pragma once

#include "tablewright/artwork/PictureBox.h"
#include "tablewright/run/WizardSteps.h"
#include "tablewright/run/WizardView.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

#include <map>
#include <string>

class QCloseEvent;
class QPaintEvent;
class QRadioButton;

namespace tw::window {

/// The wizard window: every control of the form laid down at its pixel position, bound to the
/// step logic, which drives the engine and the conversion run through the controls.
class Frm_Conversion : public QWidget, public run::WizardView {
public:
    /// Builds the controls and runs the load handling; the engine's connections come from
    /// `factory`.
    explicit Frm_Conversion(data::ProviderFactory factory = data::DefaultProviderFactory(),
                            QWidget* parent = nullptr);
    ~Frm_Conversion() override;
    Frm_Conversion(const Frm_Conversion&) = delete;
    Frm_Conversion& operator=(const Frm_Conversion&) = delete;

    /// The window's members and handlers; its message box and dialogs can be replaced.
    run::WizardSteps& Steps() { return steps_; }
    /// The widget of a control, or null when the window has no such control.
    QWidget* Control(const run::ControlRef& ref) const;

    void SetVisible(const run::ControlRef& ref, bool visible) override;
    void SetEnabled(const run::ControlRef& ref, bool enabled) override;
    std::string Text(const run::ControlRef& ref) const override;
    void SetText(const run::ControlRef& ref, const std::string& text) override;
    double Value(const run::ControlRef& ref) const override;
    void SetValue(const run::ControlRef& ref, double value) override;
    void SetFocus(const run::ControlRef& ref) override;
    void Move(const run::ControlRef& ref, const run::PixelRect& rect) override;
    void SetHeight(const run::ControlRef& ref, int height) override;
    void AddItem(const run::ControlRef& ref, const std::string& text) override;
    void Clear(const run::ControlRef& ref) override;
    int ListCount(const run::ControlRef& ref) const override;
    std::string List(const run::ControlRef& ref, int i) const override;
    bool Selected(const run::ControlRef& ref, int i) const override;
    void SetSelected(const run::ControlRef& ref, int i, bool selected) override;
    void SetListIndex(const run::ControlRef& ref, int i) override;
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
    QWidget* CreateControl(const run::ControlLayout& layout, QWidget* parent);
    void ConnectHandlers();
    void ApplyTabOrder();
    QWidget& At(const run::ControlRef& ref) const;
    template <typename Widget>
    Widget& As(const run::ControlRef& ref) const;

    std::map<run::ControlRef, QWidget*> controls_;
    std::map<QWidget*, int> tab_index_;
    QList<QRadioButton*> OptScenario_;
    artwork::PictureBox* PicWelcome_ = nullptr;
    artwork::PictureBox* PicHeader_ = nullptr;
    QImage background_;
    run::WizardSteps steps_;
};

/// Shows a modal message box captioned "Tablewright" with the given buttons and icon.
run::MsgBoxResult ShowMessageBox(QWidget* parent, const std::string& prompt,
                                 run::MsgBoxButtons buttons, run::MsgBoxIcon icon);

/// Shows the open or save dialog for a request; the chosen file, or empty when cancelled.
std::string ShowFileDialog(QWidget* parent, const run::FileDialogRequest& request, bool save);

/// Turns a filter of description|patterns pairs ("SQL 脚本|*.sql") into the dialog's form
/// ("SQL 脚本 (*.sql)"); "*.*" becomes "*", which matches every file here.
QString DialogFilter(const std::string& filter);

} // namespace tw::window
