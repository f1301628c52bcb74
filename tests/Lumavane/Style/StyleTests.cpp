#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Style/ToggleSwitch.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <algorithm>
#include <cmath>

namespace lumavane {
namespace {

using test::application;

double luminance(QColor c) {
    const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// WCAG contrast ratio, 1 (none) to 21.
double contrast(QColor a, QColor b) {
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(widget.palette().color(QPalette::Window));
    widget.render(&image, {}, {}, QWidget::DrawChildren);
    return image;
}

TEST(AppStyle, EverySymbolHasAThemeIconOnAnyPlatform) {
    application();
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    if (QDir("/usr/share/icons").exists()) EXPECT_TRUE(QIcon::themeSearchPaths().contains("/usr/share/icons"));
    for (const QString& symbol : knownSymbols())
        EXPECT_FALSE(symbolIcon(symbol).pixmap(16, 16).isNull()) << symbol.toStdString() << " as "
                                                                 << themeIconName(symbol).toStdString();
}

// Non-text contrast of at least 3:1 (WCAG 1.4.11) between the box's frame and the window.
TEST(AppStyle, UncheckedBoxesStandOutOnTheDarkWindow) {
    application();
    for (bool radio : {false, true}) {
        QCheckBox box("Subtitles");
        box.resize(box.sizeHint());
        QStyleOptionButton option;
        option.initFrom(&box);
        const QRect indicator = box.style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box);
        QImage image(box.size(), QImage::Format_ARGB32);
        const QColor window = box.palette().color(QPalette::Window);
        image.fill(window);
        QPainter painter(&image);
        option.rect = indicator;
        option.state |= QStyle::State_Off;
        box.style()->drawPrimitive(radio ? QStyle::PE_IndicatorRadioButton : QStyle::PE_IndicatorCheckBox, &option,
                                   &painter, &box);
        painter.end();
        double best = 1;
        for (int y = indicator.top(); y <= indicator.bottom(); ++y)
            for (int x = indicator.left(); x <= indicator.right(); ++x)
                best = std::max(best, contrast(image.pixelColor(x, y), window));
        EXPECT_GE(best, 3.0) << (radio ? "radio button" : "check box");
    }
}

TEST(ToggleSwitch, FlipsByClickAndSpaceButNotWhileDisabled) {
    application();
    ToggleSwitch toggle("Enhance");
    toggle.resize(toggle.sizeHint());
    QSignalSpy toggled(&toggle, &QAbstractButton::toggled);
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(4, toggle.height() / 2)); // on its label
    EXPECT_TRUE(toggle.isChecked());
    QTest::keyClick(&toggle, Qt::Key_Space);
    EXPECT_FALSE(toggle.isChecked());
    toggle.setEnabled(false);
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, toggle.trackRect().center());
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_EQ(toggled.count(), 2);
}

// A track with a knob at the right in the tint while on, at the left on a grey track while off,
// with the whole label beside it.
TEST(ToggleSwitch, IsDrawnAsASwitch) {
    application();
    for (auto size : {ToggleSwitch::ControlSize::regular, ToggleSwitch::ControlSize::small}) {
        ToggleSwitch toggle("高画質化");
        toggle.setControlSize(size);
        toggle.resize(toggle.sizeHint());
        const QRect track = toggle.trackRect();
        EXPECT_EQ(track.size(), ToggleSwitch::trackSize(size));
        EXPECT_TRUE(toggle.rect().contains(track));
        EXPECT_GE(track.left() - toggle.fontMetrics().horizontalAdvance(toggle.text()), 8) << "the label is whole";
        const QPoint left(track.left() + track.height() / 2, track.center().y());
        const QPoint right(track.right() - track.height() / 2, track.center().y());
        for (bool on : {false, true}) {
            toggle.setChecked(on);
            const QImage image = render(toggle);
            const QColor knob = image.pixelColor(on ? right : left), rest = image.pixelColor(on ? left : right);
            EXPECT_GT(knob.lightness(), 230) << "the knob, on " << on;
            if (on) EXPECT_LT(std::abs(rest.hue() - accentColor().hue()), 12) << "the tint beside the knob";
            else EXPECT_LT(rest.hslSaturation(), 30) << "a grey track";
        }
    }
}

} // namespace
} // namespace lumavane
