#include "Lumavane/App/PlayerWindowLifecycle.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace lumavane {
namespace {

// The screen area that holds most of the frame; the first one when none does.
QRect mostOverlapping(const QRect& frame, const std::vector<QRect>& areas) {
    const QRect* best = &areas.front();
    long long bestArea = 0;
    for (const QRect& area : areas) {
        const QRect overlap = area.intersected(frame);
        const long long size = overlap.isEmpty() ? 0 : (long long)overlap.width() * overlap.height();
        if (size > bestArea) bestArea = size, best = &area;
    }
    return *best;
}

} // namespace

PlayerWindowLifecycle::PlayerWindowLifecycle(DefaultsStore defaults, std::string frameAutosaveName, ScreenList screens)
    : defaults_(std::move(defaults)), frameAutosaveName_(std::move(frameAutosaveName)), screens_(std::move(screens)) {}

PlayerWindowLifecycle& PlayerWindowLifecycle::shared() {
    static PlayerWindowLifecycle* lifecycle =
        new PlayerWindowLifecycle(DefaultsStore::standard(), defaultAutosaveName);
    return *lifecycle;
}

std::vector<QRect> PlayerWindowLifecycle::screens() const {
    if (screens_) return screens_();
    std::vector<QRect> areas;
    if (QScreen* primary = QGuiApplication::primaryScreen()) areas.push_back(primary->availableGeometry());
    for (QScreen* screen : QGuiApplication::screens())
        if (screen != QGuiApplication::primaryScreen()) areas.push_back(screen->availableGeometry());
    return areas;
}

void PlayerWindowLifecycle::registerWindow(QWidget* window) {
    if (!window || window == window_) return;
    if (window_) window_->removeEventFilter(this);
    window_ = window;
    if (!defaults_.string(frameKey())) {
        if (const auto legacy = legacyFrame(defaults_.dictionaryRepresentation())) defaults_.set(frameKey(), *legacy);
    }
    std::optional<QRect> frame;
    if (const auto text = defaults_.string(frameKey())) frame = restoredFrame(*text, screens(), decoration(*window));
    restoring_ = true;
    if (frame) window->setGeometry(*frame);
    else fitWindow();
    restoring_ = false;
    fitOnceFramed_ = decoration(*window).isNull();
    window->installEventFilter(this);
}

QMargins PlayerWindowLifecycle::decoration(const QWidget& window) {
    const QRect frame = window.frameGeometry(), client = window.geometry();
    return {client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
            frame.bottom() - client.bottom()};
}

void PlayerWindowLifecycle::fitWindow() {
    const std::vector<QRect> areas = screens();
    if (!window_ || areas.empty() || window_->isFullScreen() || window_->isMaximized()) return;
    const QRect frame = window_->geometry();
    const QRect fitted = fittedFrame(frame, mostOverlapping(frame, areas), decoration(*window_));
    if (fitted != frame) window_->setGeometry(fitted);
}

void PlayerWindowLifecycle::saveFrame() {
    if (!window_ || window_->isFullScreen() || window_->isMaximized() || window_->isMinimized()) return;
    const QRect frame = window_->geometry();
    if (frame.isEmpty()) return;
    QRect screen;
    if (QScreen* s = window_->screen()) screen = s->availableGeometry();
    defaults_.set(frameKey(), frameText(frame, screen));
}

bool PlayerWindowLifecycle::mayBeFramedAfter(const QEvent& event) {
    switch (event.type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Paint:
    case QEvent::WindowActivate:
        return true;
    default:
        return false;
    }
}

bool PlayerWindowLifecycle::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_ || restoring_ || !window_->isVisible() || !mayBeFramedAfter(*event)) return false;
    if (fitOnceFramed_ && !decoration(*window_).isNull()) {
        fitOnceFramed_ = false;
        // After the window has seen its frame too (its minimum size allows for it).
        QTimer::singleShot(0, this, [this] {
            restoring_ = true;
            fitWindow();
            restoring_ = false;
            saveFrame();
        });
    }
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize) saveFrame();
    return false;
}

std::optional<std::string> PlayerWindowLifecycle::legacyFrame(const DefaultsValue::Dictionary& defaults) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : defaults)
        if (key.starts_with(legacyPrefix) && key.find(legacyMarker) != std::string::npos) keys.push_back(key);
    const auto modified = [](const std::string& key) {
        return key.find("_EnvironmentKeyWritingModifier") != std::string::npos;
    };
    std::stable_sort(keys.begin(), keys.end(), [&](const std::string& a, const std::string& b) {
        if (modified(a) != modified(b)) return modified(a);
        return a < b;
    });
    for (const std::string& key : keys)
        if (const auto* text = defaults.at(key).get<std::string>()) return *text;
    return std::nullopt;
}

std::string PlayerWindowLifecycle::frameText(const QRect& frame, const QRect& screen) {
    std::ostringstream out;
    out << frame.x() << ' ' << frame.y() << ' ' << frame.width() << ' ' << frame.height() << ' ' << screen.x() << ' '
        << screen.y() << ' ' << screen.width() << ' ' << screen.height() << ' ';
    return out.str();
}

QRect PlayerWindowLifecycle::fittedFrame(const QRect& frame, const QRect& available, const QMargins& decoration) {
    if (!available.isValid()) return frame;
    QRect outer = frame.marginsAdded(decoration);
    outer.setWidth(std::min(outer.width(), available.width()));
    outer.setHeight(std::min(outer.height(), available.height()));
    outer.moveLeft(std::clamp(outer.left(), available.left(), available.right() + 1 - outer.width()));
    outer.moveTop(std::clamp(outer.top(), available.top(), available.bottom() + 1 - outer.height()));
    return outer.marginsRemoved(decoration);
}

std::optional<QRect> PlayerWindowLifecycle::restoredFrame(const std::string& text, const std::vector<QRect>& screens,
                                                          const QMargins& decoration) {
    std::istringstream in(text);
    double x = 0, y = 0, w = 0, h = 0;
    if (!(in >> x >> y >> w >> h) || !(w > 0 && h > 0) || std::max({std::abs(x), std::abs(y), w, h}) > 1e6)
        return std::nullopt;
    const QRect frame{int(x), int(y), int(w), int(h)};
    if (screens.empty()) return frame;
    return fittedFrame(frame, mostOverlapping(frame, screens), decoration);
}

} // namespace lumavane
