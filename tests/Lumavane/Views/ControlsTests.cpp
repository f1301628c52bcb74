// Controls as a person uses them: the volume slider under a mouse wheel and the sidebar's
// model-loading indicator. (The transport bar at its minimum width: VideoPaneScreenshotTests.)
#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Views/SeekSlider.hpp"
#include "Lumavane/Views/SidebarTestSupport.hpp"
#include "Lumavane/Views/SidebarView.hpp"
#include "Lumavane/Views/TransportBar.hpp"

#include <gtest/gtest.h>

#include <QHBoxLayout>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>

#include <cmath>
#include <condition_variable>
#include <mutex>

namespace lumavane {
namespace {

struct WithApplication {
    WithApplication() { test::application(); }
};

// A bar with a video open; the volume it was asked for is kept.
struct ShownBar : WithApplication {
    ShownBar() {
        TransportActions actions;
        actions.setVolume = [this](double volume) {
            volumes.push_back(volume);
            state.volume = volume;
            bar->setState(state);
        };
        bar = new TransportBar(actions, [](const QString&) { return QIcon(); });
        auto* row = new QHBoxLayout(&window);
        row->setContentsMargins(0, 0, 0, 0);
        row->addWidget(bar);
        state.hasVideo = true;
        bar->setState(state);
    }
    void wheel(int delta) {
        QSlider* slider = bar->volumeSlider();
        const QPointF at(slider->width() / 2.0, slider->height() / 2.0);
        QWheelEvent event(at, slider->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(slider, &event);
    }

    QWidget window;
    TransportBar* bar;
    TransportState state;
    std::vector<double> volumes;
};

TEST(TransportBar, AWheelNotchMovesTheVolumeOneStep) {
    ShownBar shown;
    shown.state.volume = 0.5;
    shown.bar->setState(shown.state);
    shown.wheel(QWheelEvent::DefaultDeltasPerStep);
    shown.wheel(-2 * QWheelEvent::DefaultDeltasPerStep);
    // A touchpad's small movements add up to a notch before anything moves.
    shown.wheel(QWheelEvent::DefaultDeltasPerStep / 2);
    EXPECT_EQ(shown.volumes.size(), 2u);
    shown.wheel(QWheelEvent::DefaultDeltasPerStep / 2);
    ASSERT_EQ(shown.volumes.size(), 3u);
    EXPECT_NEAR(shown.volumes[0], 0.55, 1e-9);
    EXPECT_NEAR(shown.volumes[1], 0.45, 1e-9);
    EXPECT_NEAR(shown.volumes[2], 0.50, 1e-9);
    // At the top a notch up changes nothing.
    shown.state.volume = 0.98;
    shown.bar->setState(shown.state);
    shown.wheel(QWheelEvent::DefaultDeltasPerStep);
    shown.wheel(QWheelEvent::DefaultDeltasPerStep);
    ASSERT_EQ(shown.volumes.size(), 4u);
    EXPECT_DOUBLE_EQ(shown.volumes[3], 1.0);
}

// Model builds wait until released, so a load stays running while the test looks.
struct GatedFactory final : PlaybackEnhancerFactory {
    std::shared_ptr<PlaybackEnhancer> make(const std::filesystem::path& url, OutputScale) override {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return open; });
        auto enhancer = std::make_shared<test::InstantEnhancer>();
        enhancer->model.name = url.filename().string();
        return enhancer;
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        released.notify_all();
    }
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
};

TEST(SidebarView, TheModelLoadingIndicatorTurnsWhileAModelLoads) {
    test::SidebarHarness h;
    auto gate = std::make_shared<GatedFactory>();
    h.session.reset();
    auto options = h.sessions.options();
    options.loadModelSeriesManifest = &ModelSeriesManifest::load;
    options.enhancerFactory = gate;
    h.session = std::make_unique<PlayerSession>(std::move(options));
    QWidget window;
    auto* row = new QHBoxLayout(&window);
    auto* sidebar = new SidebarView(*h.session, {h.sessions.store, {}, {}});
    row->addWidget(sidebar);
    window.resize(SidebarView::idealWidth, 700);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* indicator = sidebar->findChild<QWidget*>("modelProgress");
    ASSERT_TRUE(indicator);
    const auto frame = [&] {
        QCoreApplication::processEvents();
        return indicator->grab().toImage();
    };
    const QImage idle = frame();

    h.session->loadBundledModelIfAvailable(std::filesystem::path(LUMAVANE_SOURCE_DIR) / "resources" / "Models" /
                                           "model-series.json");
    ASSERT_TRUE(h.session->loadingModel());
    const QImage first = frame();
    EXPECT_NE(first, idle) << "nothing shows the load";
    // A later frame differs from the first: it turns, it is not a still mark.
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame() != first; }, 5000));

    gate->release();
    h.settle();
    EXPECT_FALSE(h.session->loadingModel());
    EXPECT_EQ(frame(), idle);
}

} // namespace
} // namespace lumavane
