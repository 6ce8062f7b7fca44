// Painting tests: each painted target is rendered into its image and checked at the pixels that
// define it; the numbered resources are checked exactly.

#include "tablewright/artwork/Fonts.h"
#include "tablewright/artwork/Mod_Functions.h"
#include "tablewright/artwork/PictureBox.h"
#include "tablewright/artwork/Resources.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QRadioButton>

#include <cmath>
#include <cstdint>
#include <memory>

namespace {

using namespace tw::artwork;
namespace mf = tw::artwork::Mod_Functions;

// One application for the whole executable; widgets need it, and off-screen is enough.
void EnsureApplication() {
    if (QApplication::instance() != nullptr) {
        return;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "artwork_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives until the process ends, like a program's own
}

class Painting : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        window_ = std::make_unique<QWidget>();
        window_->setFont(FontAt96Dpi(QStringLiteral("Tahoma"), 8.25));
        window_->resize(501, 363);
    }

    // A picture box placed on the window as the wizard places it.
    PictureBox& Box(const QRect& geometry, const QColor& background) {
        auto* box = new PictureBox(window_.get());
        box->setGeometry(geometry);
        box->SetBackground(background);
        return *box;
    }

    std::unique_ptr<QWidget> window_;
};

QColor At(const QImage& image, int x, int y) {
    return image.pixelColor(x, y);
}

// Number of pixels of `area` that differ from `background`.
int Ink(const QImage& image, const QRect& area, const QColor& background) {
    int count = 0;
    const QRect inside = area & image.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            count += image.pixelColor(x, y) != background ? 1 : 0;
        }
    }
    return count;
}

// Whether `picture` appears unchanged in `image` with its top-left corner at `at`.
bool Shows(const QImage& image, const QImage& picture, QPoint at) {
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if (image.pixel(at.x() + x, at.y() + y) != picture.pixel(x, y)) {
                return false;
            }
        }
    }
    return true;
}

QImage WhiteImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

TEST(Resources, StringsAreTheNumberedTableWithTheirTrailingBlanks) {
    const QString blanks(6, QLatin1Char(' '));
    const struct {
        int id;
        QString text;
    } expected[] = {
        {102, QStringLiteral("欢迎使用数据库转换向导") + blanks},
        {103, QStringLiteral("此向导帮助您转换数据库连接到数据库。单击“下一步”继续。") + blanks},
        {104,
         QStringLiteral("注意：转换速度取决于可用内存的数量。建议您退出所有的程序后再继续向导。"
                        "\r\n\r\n") +
             blanks},
        {105, QStringLiteral("选择转换方案") + blanks},
        {106, QStringLiteral("移动到MySQL服务器") + blanks},
        {107, QStringLiteral("存储到转储文件") + blanks},
        {108, QStringLiteral("全部")},
        {109, QStringLiteral("第一步") + blanks},
        {110, QStringLiteral("第二步") + blanks},
        {111, QStringLiteral("第三步") + blanks},
        {112, QStringLiteral("第四步") + blanks},
        {113, QStringLiteral("转换完成") + blanks},
        {114, QStringLiteral("选择源数据库") + blanks},
        {115, QStringLiteral("键入相关信息") + blanks},
        {116, QStringLiteral("指定是否要复制一个或多个表") + blanks},
        {117, QStringLiteral("数据库进度") + blanks},
    };
    for (const auto& [id, text] : expected) {
        EXPECT_EQ(LoadResString(id), text) << "string " << id;
    }
    for (const int missing : {0, 101, 118}) {
        EXPECT_TRUE(LoadResString(missing).isNull()) << "string " << missing;
    }
}

TEST(Resources, BitmapsHaveTheirSizesAndAreOpaque) {
    EnsureApplication();
    const QSize sizes[] = {{39, 39}, {57, 44}, {37, 33}, {43, 38}, {41, 38}};
    for (int i = 0; i < 5; ++i) {
        const QImage picture = LoadResPicture(101 + i);
        EXPECT_EQ(picture.size(), sizes[i]) << "bitmap " << 101 + i;
        EXPECT_FALSE(picture.hasAlphaChannel()) << "bitmap " << 101 + i;
    }
    EXPECT_TRUE(LoadResPicture(100).isNull());
    EXPECT_TRUE(LoadResPicture(106).isNull());
    EXPECT_EQ(WelcomePicture().size(), QSize(162, 310));
    EXPECT_FALSE(WelcomePicture().hasAlphaChannel());
    EXPECT_TRUE(WindowIcon().availableSizes().contains(QSize(16, 16)));
}

TEST(Fonts, WindowFontsFallBackToAFaceThatDrawsEveryChineseText) {
    EnsureApplication();
    EXPECT_EQ(PixelsAt96Dpi(8), 11);
    EXPECT_EQ(PixelsAt96Dpi(8.25), 11);
    EXPECT_EQ(PixelsAt96Dpi(13), 17);
    for (const QString& family : {QStringLiteral("Tahoma"), QStringLiteral("MS Sans Serif")}) {
        const QFont font = FontAt96Dpi(family, 8.25);
        EXPECT_EQ(font.pixelSize(), 11);
        const QFontMetrics metrics(font);
        for (int id = 102; id <= 117; ++id) {
            for (const char32_t c : LoadResString(id).toUcs4()) {
                if (c > 0x7f) {
                    EXPECT_TRUE(metrics.inFontUcs4(c))
                        << family.toStdString() << " lacks U+" << std::hex << std::uint32_t(c);
                }
            }
        }
    }
}

TEST(Primitives, LinesRoundTheirEndsAndLeaveTheEndPointUnpainted) {
    EnsureApplication();
    QImage image = WhiteImage(20, 20);
    QPainter dc(&image);
    const QColor red(200, 0, 0);
    mf::DrawLine(dc, 2.4f, 5, 9.6f, 5, red, 1); // (2, 5) to (10, 5)
    mf::DrawLine(dc, 15, 2, 15, 8, red, 1);
    dc.end();
    EXPECT_EQ(At(image, 1, 5), QColor(Qt::white));
    EXPECT_EQ(At(image, 2, 5), red);
    EXPECT_EQ(At(image, 9, 5), red);
    EXPECT_EQ(At(image, 10, 5), QColor(Qt::white));
    EXPECT_EQ(Ink(image, QRect(0, 4, 14, 1), Qt::white), 0);
    EXPECT_EQ(Ink(image, QRect(0, 6, 14, 1), Qt::white), 0);
    EXPECT_EQ(At(image, 15, 2), red);
    EXPECT_EQ(At(image, 15, 7), red);
    EXPECT_EQ(At(image, 15, 8), QColor(Qt::white));
}

TEST(Primitives, PicturesKeepTheirSizeWhenAskedForNoneAndStretchOtherwise) {
    EnsureApplication();
    QImage picture(3, 2, QImage::Format_RGB32);
    picture.fill(QColor(10, 20, 30));
    picture.setPixelColor(2, 1, QColor(200, 100, 0));
    QImage image = WhiteImage(20, 20);
    QPainter dc(&image);
    int width = 0;
    int height = 0;
    mf::StretchPicture(dc, 4, 5, picture, width, height);
    EXPECT_EQ(width, 3);
    EXPECT_EQ(height, 2);
    int wide = 6;
    int tall = 4;
    mf::StretchPicture(dc, 10, 10, picture, wide, tall);
    dc.end();
    EXPECT_TRUE(Shows(image, picture, {4, 5}));
    EXPECT_EQ(Ink(image, QRect(0, 0, 20, 5), Qt::white), 0);
    EXPECT_EQ(Ink(image, QRect(10, 10, 6, 4), Qt::white), 24);
    EXPECT_EQ(At(image, 15, 13), QColor(200, 100, 0));
    EXPECT_EQ(At(image, 16, 13), QColor(Qt::white));
}

TEST(Primitives, TextWrapsInsideItsRectangleAndIsClippedToIt) {
    EnsureApplication();
    QImage image = WhiteImage(200, 100);
    QPainter dc(&image);
    dc.setFont(FontAt96Dpi(QStringLiteral("Tahoma"), 8));
    dc.setPen(Qt::black);
    // Six characters per line at most, so the text needs several lines; only two fit.
    mf::DrawTextInRect(dc, QStringLiteral("数据库转换向导数据库转换向导数据库转换向导"), 20, 30, 90,
                       60);
    dc.end();
    const QRect rect(20, 30, 70, 30);
    EXPECT_GT(Ink(image, QRect(20, 30, 70, 14), Qt::white), 0);
    EXPECT_GT(Ink(image, QRect(20, 46, 70, 14), Qt::white), 0);
    EXPECT_EQ(Ink(image, image.rect(), Qt::white), Ink(image, rect, Qt::white));
}

TEST_F(Painting, FormShowsTheTitleAndAnEtchedRuleFromItsMeasuredEnd) {
    QImage background;
    mf::PaintForm(*window_, background);
    ASSERT_EQ(background.size(), QSize(501, 363));

    const QColor face = window_->palette().color(QPalette::Button);
    const QColor grey(154, 156, 158);
    const QColor white(255, 255, 255);
    QFont font = window_->font();
    font.setPixelSize(11);
    const int xe = int(std::lround(
        QFontMetricsF(font).horizontalAdvance(QStringLiteral("Tablewright 向导     ")) + 19));

    // The upper grey line runs from xe to 485, the white one beneath it from xe to 484.
    EXPECT_EQ(At(background, xe - 1, 304), face);
    EXPECT_EQ(At(background, xe, 304), grey);
    EXPECT_EQ(At(background, 485, 304), grey);
    EXPECT_EQ(At(background, 486, 304), face);
    EXPECT_EQ(At(background, xe, 305), white);
    EXPECT_EQ(At(background, 484, 305), white);
    EXPECT_EQ(At(background, 485, 305), face);
    EXPECT_EQ(Ink(background, QRect(xe, 303, 501 - xe, 1), face), 0);
    EXPECT_EQ(Ink(background, QRect(xe, 306, 501 - xe, 1), face), 0);

    // The title: highlight ink inside its rectangle, nothing else on the background.
    const QColor highlight = window_->palette().color(QPalette::Highlight);
    bool highlighted = false;
    for (int y = 296; y < 309 && !highlighted; ++y) {
        for (int x = 16; x < xe && !highlighted; ++x) {
            highlighted = At(background, x, y) == highlight;
        }
    }
    EXPECT_TRUE(highlighted);
    const int inside = Ink(background, QRect(16, 296, xe - 16, 13), face) +
                       Ink(background, QRect(xe, 304, 501 - xe, 2), face);
    EXPECT_EQ(Ink(background, background.rect(), face), inside);
}

TEST_F(Painting, WelcomeShowsItsPictureTextsGreyLinesAndThreeOptions) {
    PictureBox& welcome = Box(QRect(0, 0, 501, 1), Qt::white);
    welcome.SetPicture(WelcomePicture());
    auto* first = new QRadioButton(QStringLiteral("OptScenario"), &welcome);
    first->setObjectName(QStringLiteral("OptScenario_0"));
    first->setGeometry(184, 264, 79, 13);
    QList<QRadioButton*> options{first};
    window_->show();

    mf::PaintWelcome(welcome, options);

    const QImage& image = welcome.Image();
    ASSERT_EQ(welcome.height(), 313);
    ASSERT_EQ(image.size(), QSize(501, 313));
    EXPECT_EQ(Ink(image, QRect(0, 311, 501, 1), QColor(145, 154, 156)), 0);
    EXPECT_EQ(Ink(image, QRect(0, 312, 501, 1), QColor(154, 154, 156)), 0);
    EXPECT_TRUE(Shows(image, WelcomePicture(), {0, 0}));
    EXPECT_EQ(Ink(image, QRect(162, 0, 13, 311), Qt::white), 0);
    EXPECT_GT(Ink(image, QRect(175, 15, 225, 75), Qt::white), 0);  // title
    EXPECT_GT(Ink(image, QRect(175, 80, 295, 50), Qt::white), 0);  // first paragraph
    EXPECT_GT(Ink(image, QRect(175, 130, 285, 90), Qt::white), 0); // second paragraph
    EXPECT_GT(Ink(image, QRect(175, 230, 295, 16), Qt::white), 0); // heading of the options

    ASSERT_EQ(options.size(), 3);
    const int tops[] = {250, 266, 282};
    for (int i = 0; i < 3; ++i) {
        QRadioButton* option = options[i];
        EXPECT_EQ(option->text(), LoadResString(106 + i));
        EXPECT_EQ(option->objectName(), QStringLiteral("OptScenario_%1").arg(i));
        EXPECT_EQ(option->parentWidget(), &welcome);
        EXPECT_EQ(option->font(), first->font());
        EXPECT_EQ(option->geometry().topLeft(), QPoint(176, tops[i]));
        EXPECT_EQ(option->width(), 250);
        EXPECT_EQ(option->height(), first->height());
        EXPECT_TRUE(option->isVisible());
        EXPECT_EQ(option->isChecked(), i == 0);
    }
}

TEST_F(Painting, HeaderOfEachStepShowsItsBitmapTitleAndBottomLine) {
    const QColor band(255, 255, 255);
    PictureBox& header = Box(QRect(0, 1, 501, 1), band);
    for (std::int16_t step = 0; step <= 4; ++step) {
        SCOPED_TRACE(step);
        mf::PaintHeader(header, step);
        const QImage& image = header.Image();
        ASSERT_EQ(header.height(), 60);
        ASSERT_EQ(image.size(), QSize(501, 60));
        EXPECT_EQ(Ink(image, QRect(0, 59, 501, 1), QColor(146, 154, 158)), 0);
        // Step 1's wider bitmap starts 20 pixels further left; all start 10 from the top.
        const QImage picture = LoadResPicture(101 + step);
        const QPoint at(step == 1 ? 420 : 440, 10);
        EXPECT_TRUE(Shows(image, picture, at));
        EXPECT_EQ(Ink(image, QRect(400, 0, 101, 10), band), 0);
        EXPECT_GT(Ink(image, QRect(22, 12, 378, 13), band), 0);
        // The subtitle area (left of the bitmap) has ink for steps 0 to 3 only.
        const int subtitle = Ink(image, QRect(32, 28, 380, 31), band);
        if (step == 4) {
            EXPECT_EQ(subtitle, 0);
        } else {
            EXPECT_GT(subtitle, 0);
        }
    }
}

// After a run with failures the finished header shows the warning picture, drawn like the
// finished one, and says so in its subtitle.
TEST_F(Painting, TheFinishedHeaderOfARunWithFailuresWarns) {
    const QColor band(255, 255, 255);
    PictureBox& header = Box(QRect(0, 1, 501, 1), band);
    const QImage warning = WarningPicture();
    EXPECT_EQ(warning.size(), LoadResPicture(105).size());
    EXPECT_FALSE(warning.hasAlphaChannel());
    EXPECT_NE(warning, LoadResPicture(105));
    mf::PaintHeader(header, 5);
    const QImage& image = header.Image();
    ASSERT_EQ(image.size(), QSize(501, 60));
    EXPECT_TRUE(Shows(image, warning, QPoint(440, 10)));
    EXPECT_EQ(Ink(image, QRect(0, 59, 501, 1), QColor(146, 154, 158)), 0);
    EXPECT_GT(Ink(image, QRect(22, 12, 378, 13), band), 0);
    EXPECT_GT(Ink(image, QRect(32, 28, 380, 31), band), 0);
    const QImage failures = image.copy();
    mf::PaintHeader(header, 4);
    EXPECT_EQ(image.copy(QRect(0, 0, 400, 27)), failures.copy(QRect(0, 0, 400, 27)));
}

TEST_F(Painting, HeaderRepaintsExactlyWhenAStepIsShownAgain) {
    PictureBox& header = Box(QRect(0, 1, 501, 60), Qt::white);
    mf::PaintHeader(header, 0);
    const QImage first = header.Image().copy();
    mf::PaintHeader(header, 3);
    EXPECT_NE(header.Image(), first);
    mf::PaintHeader(header, 0);
    EXPECT_EQ(header.Image(), first);
}

TEST_F(Painting, PictureBoxKeepsItsImageInStepAndShowsIt) {
    PictureBox& box = Box(QRect(0, 0, 40, 10), QColor(1, 2, 3));
    QImage picture(5, 30, QImage::Format_RGB32);
    picture.fill(QColor(200, 0, 0));
    box.SetPicture(picture);
    box.Clear();
    EXPECT_EQ(box.Image().size(), QSize(40, 10));
    EXPECT_EQ(At(box.Image(), 4, 9), QColor(200, 0, 0));
    EXPECT_EQ(At(box.Image(), 5, 0), QColor(1, 2, 3));
    box.Image().setPixelColor(30, 5, QColor(0, 0, 255));

    // Growing keeps what was drawn and shows the picture in the new area.
    box.setFixedHeight(40);
    EXPECT_EQ(box.Image().size(), QSize(40, 40));
    EXPECT_EQ(At(box.Image(), 30, 5), QColor(0, 0, 255));
    EXPECT_EQ(At(box.Image(), 4, 29), QColor(200, 0, 0));
    EXPECT_EQ(At(box.Image(), 4, 30), QColor(1, 2, 3));
    EXPECT_EQ(box.grab().toImage().pixelColor(30, 5), QColor(0, 0, 255));
}

} // namespace
