#include "Lumavane/App/PlayerWindowLifecycle.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace lumavane {

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
    if (const auto text = defaults_.string(frameKey())) {
        if (const auto frame = restoredFrame(*text, screens())) {
            restoring_ = true;
            window->setGeometry(*frame);
            restoring_ = false;
        }
    }
    window->installEventFilter(this);
}

void PlayerWindowLifecycle::saveFrame() {
    if (!window_ || window_->isFullScreen() || window_->isMaximized() || window_->isMinimized()) return;
    const QRect frame = window_->geometry();
    if (frame.isEmpty()) return;
    QRect screen;
    if (QScreen* s = window_->screen()) screen = s->availableGeometry();
    defaults_.set(frameKey(), frameText(frame, screen));
}

bool PlayerWindowLifecycle::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && !restoring_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
        window_->isVisible())
        saveFrame();
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

std::optional<QRect> PlayerWindowLifecycle::restoredFrame(const std::string& text, const std::vector<QRect>& screens) {
    std::istringstream in(text);
    double x = 0, y = 0, w = 0, h = 0;
    if (!(in >> x >> y >> w >> h) || !(w > 0 && h > 0) || std::max({std::abs(x), std::abs(y), w, h}) > 1e6)
        return std::nullopt;
    QRect frame{int(x), int(y), int(w), int(h)};
    if (screens.empty()) return frame;
    const QRect* best = &screens.front();
    long long bestArea = 0;
    for (const QRect& screen : screens) {
        const QRect overlap = screen.intersected(frame);
        const long long area = overlap.isEmpty() ? 0 : (long long)overlap.width() * overlap.height();
        if (area > bestArea) bestArea = area, best = &screen;
    }
    frame.setWidth(std::min(frame.width(), best->width()));
    frame.setHeight(std::min(frame.height(), best->height()));
    frame.moveLeft(std::clamp(frame.left(), best->left(), best->right() + 1 - frame.width()));
    frame.moveTop(std::clamp(frame.top(), best->top(), best->bottom() + 1 - frame.height()));
    return frame;
}

} // namespace lumavane
