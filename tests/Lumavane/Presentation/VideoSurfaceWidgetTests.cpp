#include "PresentationTestSupport.hpp"

#include "Lumavane/Presentation/VideoSurfaceWidget.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QScreen>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace lumavane;
using namespace lumavane::test;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "PresentationWidgetTests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

bool waitFor(const std::function<bool()>& done, int milliseconds = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// Red left half, blue right half, a green block in the top-left corner.
image::Image generatedFrame() {
    return pictureOf(64, 36, [](int x, int row) {
        if (x < 8 && row < 6) return Pixel{0, 255, 0, 255};
        return x < 32 ? Pixel{0, 0, 255, 255} : Pixel{255, 0, 0, 255};
    });
}

TEST(VideoSurfaceWidgetTests, ShowsTheFrameUprightInTheWindow) {
    application();
    VideoSurfaceWidget widget;
    widget.resize(320, 180);
    widget.show();
    int presented = 0;
    widget.surface().present(generatedFrame(), std::nullopt);
    widget.surface().afterNextPresentedFrame([&] { ++presented; });
    ASSERT_TRUE(waitFor([&] { return presented > 0; }));
    waitFor([] { return false; }, 200); // let the compositor-less X server settle

    const QImage shot = widget.screen()->grabWindow(widget.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    if (const char* path = std::getenv("LUMAVANE_SURFACE_SCREENSHOT")) shot.save(path);
    ASSERT_EQ(shot.size(), QSize(320, 180));
    auto near = [](QRgb pixel, int r, int g, int b) {
        return std::abs(qRed(pixel) - r) < 40 && std::abs(qGreen(pixel) - g) < 40 && std::abs(qBlue(pixel) - b) < 40;
    };
    EXPECT_TRUE(near(shot.pixel(10, 10), 0, 255, 0)) << std::hex << shot.pixel(10, 10);
    EXPECT_TRUE(near(shot.pixel(80, 120), 255, 0, 0)) << std::hex << shot.pixel(80, 120);
    EXPECT_TRUE(near(shot.pixel(240, 120), 0, 0, 255)) << std::hex << shot.pixel(240, 120);
    EXPECT_TRUE(near(shot.pixel(10, 170), 255, 0, 0)) << "bottom left is not the marked corner";
}

TEST(VideoSurfaceWidgetTests, DisplayLinkTicksMonotonicallyAndRestartsAfterHideAndShow) {
    application();
    VideoSurfaceWidget widget;
    widget.resize(64, 36);
    std::vector<double> ticks;
    int reactivations = 0;
    widget.surface().advanceFrame = [&](double t) { ticks.push_back(t); };
    widget.surface().reactivatePresentation = [&] { ++reactivations; };
    widget.show();
    ASSERT_TRUE(waitFor([&] { return ticks.size() >= 5; }));
    EXPECT_TRUE(widget.isDisplayLinkRunning());
    EXPECT_GE(reactivations, 1);

    widget.hide();
    EXPECT_FALSE(widget.isDisplayLinkRunning());
    const std::size_t hiddenAt = ticks.size();
    waitFor([] { return false; }, 100);
    EXPECT_EQ(ticks.size(), hiddenAt) << "no ticks outside a shown window";

    const int before = reactivations;
    widget.show();
    ASSERT_TRUE(waitFor([&] { return ticks.size() >= hiddenAt + 5; }));
    EXPECT_GT(reactivations, before);
    for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_GT(ticks[i], ticks[i - 1]);
}

} // namespace
