#include "Lumavane/App/VideoFullscreenTransition.hpp"

#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/Presentation/VideoSurfaceWidget.hpp"

#include <QEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace lumavane {
namespace {

std::string rectText(const QRect& rect) {
    return "{{" + std::to_string(rect.x()) + ", " + std::to_string(rect.y()) + "}, {" + std::to_string(rect.width()) +
           ", " + std::to_string(rect.height()) + "}}";
}

} // namespace

VideoFullscreenTransition::VideoFullscreenTransition(QWidget* window) : window_(window) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1000 / 120);
    connect(&timer_, &QTimer::timeout, this, [this] { step(); });
    windowManagerTimer_.setSingleShot(true);
    // The window manager never made the change: the window stays as it is, without the overlay.
    connect(&windowManagerTimer_, &QTimer::timeout, this, [this] { finish(); });
    if (window_) window_->installEventFilter(this);
}

VideoFullscreenTransition::~VideoFullscreenTransition() {
    detach();
    delete overlay_;
}

void VideoFullscreenTransition::detach() {
    finish();
    if (window_) window_->removeEventFilter(this);
}

VideoSurfaceWidget* VideoFullscreenTransition::findSurface() const {
    return window_ ? window_->findChild<VideoSurfaceWidget*>() : nullptr;
}

std::optional<QRect> VideoFullscreenTransition::surfaceScreenRect() const {
    if (!source_ || !window_) return std::nullopt;
    return QRect(source_->mapToGlobal(QPoint(0, 0)), source_->size());
}

void VideoFullscreenTransition::toggleFullScreen() {
    if (!window_) return;
    // A request during a transition ends that one first: dropping it would leave the main view
    // waiting for a change of the window that never comes.
    finish();
    const bool entering = !window_->isFullScreen();
    if (entering) normalFrame_ = window_->geometry();
    // Without a window manager nobody else makes the window cover the screen, or gives it its
    // frame back. The geometry comes first: setting it afterwards would end the full screen.
    QPointer<QWidget> window = window_;
    QScreen* screen = window_->screen();
    const QRect screenFrame = screen ? screen->geometry() : QRect();
    const std::optional<QRect> normalFrame = normalFrame_;
    const bool unmanaged = PlayerWindowLifecycle::decoration(*window_).isNull();
    const auto enter = [window, screenFrame, unmanaged] {
        if (!window) return;
        if (unmanaged && screenFrame.isValid()) window->setGeometry(screenFrame);
        window->showFullScreen();
    };
    const auto leave = [window, normalFrame] {
        if (!window) return;
        window->showNormal();
        if (normalFrame) window->setGeometry(*normalFrame);
    };
    if (!prepare(entering) || (entering && !screen) || (!entering && !normalVideoFrame_)) {
        finish();
        if (entering) enter();
        else leave();
        return;
    }
    if (entering) animate(screenFrame, enter);
    else animate(*normalVideoFrame_, leave);
}

bool VideoFullscreenTransition::prepare(bool entering) {
    VideoSurfaceWidget* surface = findSurface();
    if (!surface || !surface->isVisible() || surface->width() <= 0 || surface->height() <= 0) return false;
    const QRect surfaceRect(surface->mapToGlobal(QPoint(0, 0)), surface->size());
    if (entering) normalVideoFrame_ = surfaceRect;
    startFrame_ = surfaceRect;
    source_ = surface;
    entering_ = entering;
    originalOpacity_ = window_->windowOpacity();
    if (!overlay_) {
        overlay_ = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                            Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
        overlay_->setAttribute(Qt::WA_ShowWithoutActivating);
        overlay_->setStyleSheet("background: black;");
        auto* layout = new QVBoxLayout(overlay_);
        layout->setContentsMargins(0, 0, 0, 0);
        live_ = new VideoSurfaceWidget(VideoSurfaceWidget::inWindowDependencies(), overlay_);
        layout->addWidget(live_);
    }
    overlay_->setGeometry(startFrame_);
    initialFrameCount_ = live_->surface().presentedFrameCount();
    source_->surface().mirrorPresentation(live_->surface());
    active_ = true;
    return true;
}

void VideoFullscreenTransition::animate(const QRect& target, const std::function<void()>& prepareDestination) {
    endFrame_ = target;
    duration_ = std::max(0.01, animationSeconds);
    overlay_->setGeometry(startFrame_);
    overlay_->show();
    overlay_->raise();
    live_->drawNow();
    window_->setWindowOpacity(0.0);
    waitingForWindow_ = true;
    prepareDestination();
    clock_.start();
    timer_.start();
    windowManagerTimer_.start(windowManagerTimeoutMs);
}

QRect VideoFullscreenTransition::interpolated(const QRect& from, const QRect& to, double progress) {
    const double p = std::clamp(progress, 0.0, 1.0);
    const double e = p * p * (3 - 2 * p);
    const auto mix = [e](int a, int b) { return int(std::lround(a + (b - a) * e)); };
    return QRect(mix(from.x(), to.x()), mix(from.y(), to.y()), mix(from.width(), to.width()),
                 mix(from.height(), to.height()));
}

void VideoFullscreenTransition::step() {
    const double p = std::clamp(clock_.nsecsElapsed() / 1e9 / duration_, 0.0, 1.0);
    if (overlay_ && active_) {
        overlay_->setGeometry(interpolated(startFrame_, endFrame_, p));
        live_->drawNow();
    }
    if (p >= 1) timer_.stop();
}

bool VideoFullscreenTransition::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::WindowStateChange && active_ && waitingForWindow_ &&
        window_->isFullScreen() == entering_) {
        waitingForWindow_ = false;
        windowManagerTimer_.stop();
        QPointer<VideoFullscreenTransition> self = this;
        QTimer::singleShot(0, this, [self] {
            if (self) self->handOff();
        });
    }
    return false;
}

void VideoFullscreenTransition::handOff() {
    if (!window_ || !source_ || !overlay_ || !active_) {
        finish();
        return;
    }
    timer_.stop();
    if (QLayout* layout = window_->layout()) layout->activate();
    if (const auto rect = surfaceScreenRect()) overlay_->setGeometry(*rect);
    window_->setWindowOpacity(originalOpacity_);
    QPointer<VideoFullscreenTransition> self = this;
    source_->surface().afterNextPresentedFrame([self] {
        if (self) self->finish();
    });
    QTimer::singleShot(handOffFallbackMs, this, [self] {
        if (self) self->finish();
    });
}

void VideoFullscreenTransition::finish() {
    if (!active_) return;
    active_ = false;
    waitingForWindow_ = false;
    timer_.stop();
    windowManagerTimer_.stop();
    const double elapsed = clock_.isValid() ? clock_.nsecsElapsed() / 1e9 : 0;
    appendTrace(TraceRecord{entering_, live_->surface().presentedFrameCount() - initialFrameCount_, elapsed, duration_,
                            overlay_->geometry(), startFrame_, endFrame_, surfaceScreenRect()});
    if (source_) {
        source_->surface().cancelPresentationCompletion();
        source_->surface().finishMirroring();
        source_->drawNow();
    }
    if (window_) window_->setWindowOpacity(originalOpacity_);
    live_->prepareForDismantle();
    overlay_->hide();
    source_ = nullptr;
}

std::string VideoFullscreenTransition::traceLine(const TraceRecord& record) {
    // nlohmann's object keeps its keys sorted.
    const nlohmann::json line = {
        {"entering", record.entering},
        {"frames", record.frames},
        {"elapsed", record.elapsed},
        {"duration", record.duration},
        {"overlay", rectText(record.overlay)},
        {"start", rectText(record.start)},
        {"target", rectText(record.target)},
        {"actual", record.actual ? rectText(*record.actual) : std::string("missing")},
    };
    return line.dump() + "\n";
}

void VideoFullscreenTransition::appendTrace(const TraceRecord& record) {
    const char* path = std::getenv("LUMAVANE_FULLSCREEN_TRACE");
    std::error_code error;
    if (!path || !*path || !std::filesystem::is_regular_file(path, error)) return;
    std::ofstream out(path, std::ios::app | std::ios::binary);
    if (out) out << traceLine(record);
}

} // namespace lumavane
