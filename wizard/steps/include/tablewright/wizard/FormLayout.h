#pragma once

#include <compare>
#include <optional>
#include <string>
#include <vector>

namespace tw::wizard {

/// The names of the wizard window's controls; elements of a control array share one name.
enum class Ctl {
    CmdFinish,
    PicWelcome,
    OptScenario,
    CmdCancel,
    CmdNext,
    PicHeader,
    CmdBack,
    fra_progress,
    FraDumpFile,
    CmdSaveDumpFile,
    TxtDestDumpFile,
    FraMySQL,
    CboType,
    TxtMySQLInfo,
    LblMySQLInfo,
    CmdTestConnection,
    TxtSrcPwd,
    ChkSrcPwd,
    CmdBrowse,
    TxtSourceDB,
    TxtMessage,
    ChkDropTables,
    ChkKeepKeys,
    ChkViews,
    cmdSelect,
    ChkNoData,
    LstTables,
    Label2,
    Pbar,
    LblProgressStatus,
};

/// One control: its name and, for an element of a control array, its index (-1 otherwise).
struct ControlRef {
    Ctl name;
    int index = -1;
    auto operator<=>(const ControlRef&) const = default;
};

/// The control's name as written in the window ("CmdNext", "TxtMySQLInfo").
std::string ControlName(Ctl name);

/// The object name that finds the control: its name, and "_index" for an array element
/// ("TxtMySQLInfo_2").
std::string ObjectName(const ControlRef& ref);

/// The kinds of control that the window is made of.
enum class ControlKind {
    CommandButton,
    TextBox,
    MultiLineTextBox,
    CheckBox,
    OptionButton,
    CheckedListBox,
    DropDownList,
    Frame,
    PictureBox,
    Label,
    ProgressBar,
};

/// A rectangle in pixels inside the parent's client area.
struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    auto operator<=>(const PixelRect&) const = default;
};

/// A font by family, size in points (for 96 dots per inch) and weight; an empty family means
/// the window's own font.
struct FontSpec {
    std::string family;
    double points = 8.25;
    bool bold = false;
};

/// One control of the window as it stands before the window loads.
struct ControlLayout {
    ControlRef ref;
    ControlKind kind = ControlKind::Label;
    /// The container; none for a control that lies on the window itself.
    std::optional<ControlRef> parent;
    PixelRect rect;
    /// Position in the keyboard order.
    int tab = 0;
    /// Caption or initial text.
    std::string text;
    FontSpec font;
    bool hidden = false;
    bool disabled = false;
    /// Initial value of a check box (0 unticked, 1 ticked).
    int value = 0;
    bool white_background = false;
    /// Every typed character is shown as "*".
    bool password_mask = false;
    /// The input-method editor is switched off for the box.
    bool input_method_off = false;
    bool black_text = false;
};

/// The window's caption.
inline constexpr const char* kWindowCaption = "Tablewright";
/// The window's client area in pixels.
inline constexpr int kClientWidth = 501;
/// The window's client area in pixels.
inline constexpr int kClientHeight = 363;
/// The window's own font, which controls without a font of their own use.
FontSpec WindowFont();

/// The default script file: test.sql in the user's home directory.
std::string DefaultScriptPath();

/// Every control of the window, in the order in which the window holds them (containers before
/// their children).
const std::vector<ControlLayout>& FormLayout();

/// The entries of the table-type list, in order.
const std::vector<std::string>& TableTypes();

} // namespace tw::wizard
