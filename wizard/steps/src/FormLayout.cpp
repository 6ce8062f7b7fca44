#include "tablewright/wizard/FormLayout.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace tw::wizard {

namespace {

using Kind = ControlKind;

const FontSpec kMsSansSerif{"MS Sans Serif", 8.25, false};
const FontSpec kVerdanaBold{"Verdana", 8.25, true};

/// Builds one control's layout: name, kind, rectangle, keyboard position and caption first,
/// the other properties by name.
class C {
public:
    C(ControlRef ref, Kind kind, PixelRect rect, int tab, std::string text = {}) {
        layout_.ref = ref;
        layout_.kind = kind;
        layout_.rect = rect;
        layout_.tab = tab;
        layout_.text = std::move(text);
    }
    C& In(ControlRef parent) {
        layout_.parent = parent;
        return *this;
    }
    C& Font(const FontSpec& font) {
        layout_.font = font;
        return *this;
    }
    C& Hidden() {
        layout_.hidden = true;
        return *this;
    }
    C& Disabled() {
        layout_.disabled = true;
        return *this;
    }
    C& Value(int value) {
        layout_.value = value;
        return *this;
    }
    C& White() {
        layout_.white_background = true;
        return *this;
    }
    C& Masked() {
        layout_.password_mask = true;
        return *this;
    }
    C& NoInputMethod() {
        layout_.input_method_off = true;
        return *this;
    }
    C& BlackText() {
        layout_.black_text = true;
        return *this;
    }
    operator ControlLayout() const { return layout_; }

private:
    ControlLayout layout_;
};

std::vector<ControlLayout> BuildLayout() {
    const ControlRef page0{Ctl::fra_progress, 0};
    const ControlRef page1{Ctl::fra_progress, 1};
    const ControlRef page2{Ctl::fra_progress, 2};
    const ControlRef page3{Ctl::fra_progress, 3};
    const ControlRef dump{Ctl::FraDumpFile};
    const ControlRef mysql{Ctl::FraMySQL};
    auto info = [](int i) { return ControlRef{Ctl::TxtMySQLInfo, i}; };
    auto label = [](int i) { return ControlRef{Ctl::LblMySQLInfo, i}; };
    return {
        C({Ctl::CmdFinish}, Kind::CommandButton, {240, 328, 75, 23}, 15, "完成")
            .Font(kMsSansSerif)
            .Hidden(),
        C({Ctl::PicWelcome}, Kind::PictureBox, {0, 0, 501, 1}, 0).White(),
        C({Ctl::OptScenario, 0}, Kind::OptionButton, {184, 264, 79, 13}, 2, "OptScenario")
            .In({Ctl::PicWelcome})
            .White(),
        C({Ctl::CmdCancel}, Kind::CommandButton, {324, 326, 75, 23}, 5, "取消 ").Font(kMsSansSerif),
        C({Ctl::CmdNext}, Kind::CommandButton, {240, 326, 75, 23}, 4, "下一步 >")
            .Font(kMsSansSerif),
        C({Ctl::PicHeader}, Kind::PictureBox, {0, 1, 501, 60}, 3),
        C({Ctl::CmdBack}, Kind::CommandButton, {160, 326, 75, 23}, 1, "< 上一步")
            .Font(kMsSansSerif),
        C(page1, Kind::Frame, {16, 64, 480, 222}, 12).Hidden(),
        C(dump, Kind::Frame, {8, 156, 465, 59}, 17, "保存文件路径").In(page1),
        C({Ctl::CmdSaveDumpFile}, Kind::CommandButton, {376, 24, 75, 23}, 19, "浏览...")
            .In(dump)
            .Font(kMsSansSerif),
        C({Ctl::TxtDestDumpFile}, Kind::TextBox, {10, 24, 357, 23}, 18, DefaultScriptPath())
            .In(dump)
            .White(),
        C(mysql, Kind::Frame, {8, 14, 465, 115}, 16).In(page1),
        C({Ctl::CboType}, Kind::DropDownList, {318, 82, 115, 21}, 31).In(mysql),
        C(info(0), Kind::TextBox, {98, 26, 129, 21}, 24, "localhost").In(mysql).White(),
        C(info(1), Kind::TextBox, {318, 26, 115, 21}, 25, "3306").In(mysql).White(),
        C(info(2), Kind::TextBox, {98, 54, 129, 21}, 26, "root").In(mysql).White(),
        C(info(3), Kind::TextBox, {98, 82, 129, 21}, 27).In(mysql).White().NoInputMethod(),
        C(info(4), Kind::TextBox, {318, 54, 115, 21}, 30, "test").In(mysql).White(),
        C(label(5), Kind::Label, {256, 86, 40, 13}, 29, "表类型:").In(mysql),
        C(label(4), Kind::Label, {256, 56, 40, 13}, 28, "数据库:").In(mysql),
        C(label(3), Kind::Label, {22, 86, 28, 13}, 23, "密码:").In(mysql),
        C(label(2), Kind::Label, {22, 56, 52, 13}, 22, "用户名称:").In(mysql),
        C(label(1), Kind::Label, {256, 28, 28, 13}, 21, "端口:").In(mysql),
        C(label(0), Kind::Label, {16, 30, 78, 13}, 20, "IP地址/主机名:").In(mysql),
        C(page0, Kind::Frame, {32, 96, 451, 191}, 6, "源数据库（Access数据库）").Hidden(),
        C({Ctl::CmdTestConnection}, Kind::CommandButton, {318, 122, 119, 27}, 11, "测试连接")
            .In(page0)
            .Font(kMsSansSerif),
        C({Ctl::TxtSrcPwd}, Kind::TextBox, {120, 62, 239, 23}, 10)
            .In(page0)
            .Font(kVerdanaBold)
            .Disabled()
            .White()
            .Masked()
            .NoInputMethod(),
        C({Ctl::ChkSrcPwd}, Kind::CheckBox, {22, 66, 83, 17}, 9, "使用密码").In(page0).BlackText(),
        C({Ctl::CmdBrowse}, Kind::CommandButton, {364, 32, 73, 23}, 8, "浏览...")
            .In(page0)
            .Font(kMsSansSerif),
        C({Ctl::TxtSourceDB}, Kind::TextBox, {22, 32, 337, 23}, 7).In(page0).White(),
        C({Ctl::TxtMessage}, Kind::MultiLineTextBox, {16, 68, 465, 211}, 37)
            .Font(kMsSansSerif)
            .Hidden(),
        C(page2, Kind::Frame, {16, 64, 480, 220}, 13).Hidden(),
        C({Ctl::ChkDropTables}, Kind::CheckBox, {180, 200, 89, 17}, 38, "删除表")
            .In(page2)
            .Value(1)
            .BlackText(),
        // The row of the other options has no room left for this caption, so the box stands on
        // the title's line, its right edge on the list's.
        C({Ctl::ChkKeepKeys}, Kind::CheckBox, {316, 8, 121, 17}, 39, "保留主键和索引")
            .In(page2)
            .BlackText(),
        // Beside it, between the title and the keys box.
        C({Ctl::ChkViews}, Kind::CheckBox, {202, 8, 110, 17}, 40, "转换查询为视图")
            .In(page2)
            .BlackText(),
        C({Ctl::cmdSelect}, Kind::CommandButton, {366, 198, 71, 21}, 36, "全选")
            .In(page2)
            .Font(kMsSansSerif),
        C({Ctl::ChkNoData}, Kind::CheckBox, {40, 200, 121, 17}, 33, "只复制结构")
            .In(page2)
            .BlackText(),
        C({Ctl::LstTables}, Kind::CheckedListBox, {40, 32, 397, 152}, 32).In(page2),
        C({Ctl::Label2}, Kind::Label, {40, 10, 157, 13}, 34, "选择Access表转换到MySql格式")
            .In(page2),
        C(page3, Kind::Frame, {16, 64, 480, 255}, 14).Hidden(),
        C({Ctl::Pbar}, Kind::ProgressBar, {58, 90, 361, 19}, 41).In(page3),
        C({Ctl::LblProgressStatus}, Kind::Label, {58, 74, 156, 13}, 35,
          "数据库正在转换，请稍后......")
            .In(page3),
    };
}

} // namespace

std::string ControlName(Ctl name) {
    switch (name) {
    case Ctl::CmdFinish:
        return "CmdFinish";
    case Ctl::PicWelcome:
        return "PicWelcome";
    case Ctl::OptScenario:
        return "OptScenario";
    case Ctl::CmdCancel:
        return "CmdCancel";
    case Ctl::CmdNext:
        return "CmdNext";
    case Ctl::PicHeader:
        return "PicHeader";
    case Ctl::CmdBack:
        return "CmdBack";
    case Ctl::fra_progress:
        return "fra_progress";
    case Ctl::FraDumpFile:
        return "FraDumpFile";
    case Ctl::CmdSaveDumpFile:
        return "CmdSaveDumpFile";
    case Ctl::TxtDestDumpFile:
        return "TxtDestDumpFile";
    case Ctl::FraMySQL:
        return "FraMySQL";
    case Ctl::CboType:
        return "CboType";
    case Ctl::TxtMySQLInfo:
        return "TxtMySQLInfo";
    case Ctl::LblMySQLInfo:
        return "LblMySQLInfo";
    case Ctl::CmdTestConnection:
        return "CmdTestConnection";
    case Ctl::TxtSrcPwd:
        return "TxtSrcPwd";
    case Ctl::ChkSrcPwd:
        return "ChkSrcPwd";
    case Ctl::CmdBrowse:
        return "CmdBrowse";
    case Ctl::TxtSourceDB:
        return "TxtSourceDB";
    case Ctl::TxtMessage:
        return "TxtMessage";
    case Ctl::ChkDropTables:
        return "ChkDropTables";
    case Ctl::ChkKeepKeys:
        return "ChkKeepKeys";
    case Ctl::ChkViews:
        return "ChkViews";
    case Ctl::cmdSelect:
        return "cmdSelect";
    case Ctl::ChkNoData:
        return "ChkNoData";
    case Ctl::LstTables:
        return "LstTables";
    case Ctl::Label2:
        return "Label2";
    case Ctl::Pbar:
        return "Pbar";
    case Ctl::LblProgressStatus:
        return "LblProgressStatus";
    }
    return "?";
}

std::string ObjectName(const ControlRef& ref) {
    std::string name = ControlName(ref.name);
    if (ref.index >= 0)
        name += "_" + std::to_string(ref.index);
    return name;
}

FontSpec WindowFont() {
    return {"Tahoma", 8.25, false};
}

std::string DefaultScriptPath() {
    std::string home;
    if (const char* env = std::getenv("HOME"); env && *env) {
        home = env;
    } else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        home = entry->pw_dir;
    }
    if (home.empty())
        return "test.sql";
    if (home.back() != '/')
        home += '/';
    return home + "test.sql";
}

const std::vector<ControlLayout>& FormLayout() {
    static const std::vector<ControlLayout> layout = BuildLayout();
    return layout;
}

const std::vector<std::string>& TableTypes() {
    static const std::vector<std::string> types{"MyISAM", "InnoDB", "ISAM", "BDB", "HEAP"};
    return types;
}

} // namespace tw::wizard
