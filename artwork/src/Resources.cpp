#include "tablewright/artwork/Resources.h"

#include <QPixmap>

#include <array>

namespace tw::artwork {

namespace {

// Every stored text but 108 ends in this run of blanks; they draw as nothing.
constexpr int kTrailingBlanks = 6;

struct StringEntry {
    int id;
    const char16_t* text;
    bool padded;
};

// 104 keeps its two line breaks (CR LF, as a Windows string table holds them) before the blanks.
constexpr std::array<StringEntry, 16> kStrings = {{
    {102, u"欢迎使用数据库转换向导", true},
    {103, u"此向导帮助您转换数据库连接到数据库。单击“下一步”继续。", true},
    {104, u"注意：转换速度取决于可用内存的数量。建议您退出所有的程序后再继续向导。\r\n\r\n", true},
    {105, u"选择转换方案", true},
    {106, u"移动到MySQL服务器", true},
    {107, u"存储到转储文件", true},
    {108, u"全部", false},
    {109, u"第一步", true},
    {110, u"第二步", true},
    {111, u"第三步", true},
    {112, u"第四步", true},
    {113, u"转换完成", true},
    {114, u"选择源数据库", true},
    {115, u"键入相关信息", true},
    {116, u"指定是否要复制一个或多个表", true},
    {117, u"数据库进度", true},
}};

// The bitmaps live in the program's resources under this prefix, named by number.
QImage LoadResource(const QString& name) {
    QImage image(QStringLiteral(":/tablewright/artwork/") + name);
    if (image.isNull()) {
        return image;
    }
    // Opaque 32-bit pixels: the pictures are 24-bit and are copied, never blended.
    return image.convertToFormat(QImage::Format_RGB32);
}

} // namespace

QString LoadResString(int id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) {
            QString text = QString::fromUtf16(entry.text);
            if (entry.padded) {
                text += QString(kTrailingBlanks, QLatin1Char(' '));
            }
            return text;
        }
    }
    return {};
}

QImage LoadResPicture(int id) {
    if (id < 101 || id > 105) {
        return {};
    }
    return LoadResource(QString::number(id) + QStringLiteral(".png"));
}

QImage WelcomePicture() {
    return LoadResource(QStringLiteral("welcome.png"));
}

QImage WarningPicture() {
    return LoadResource(QStringLiteral("warning.png"));
}

QIcon WindowIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(LoadResource(QStringLiteral("icon16.png"))));
    return icon;
}

} // namespace tw::artwork
