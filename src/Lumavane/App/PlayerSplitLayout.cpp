#include "Lumavane/App/PlayerSplitLayout.hpp"

#include "Lumavane/App/PlayerToolbar.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/App/VideoFullscreenTransition.hpp"
#include "Lumavane/Views/PlayerPaneSplitView.hpp"

#include <QEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace lumavane {
namespace {

QWidget* paneHost(QWidget* content, int minimum, int maximum) {
    auto* host = new QWidget;
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    if (content) layout->addWidget(content);
    host->setMinimumWidth(minimum);
    if (maximum > 0) host->setMaximumWidth(maximum);
    return host;
}

} // namespace

PlayerSplitLayout::PlayerSplitLayout(Panes panes, Binding showsPlaylist, DefaultsStore preferences,
                                     PlayerWindowLifecycle& windowLifecycle, QWidget* parent)
    : QWidget(parent), preferences_(std::move(preferences)), windowLifecycle_(windowLifecycle),
      showsPlaylist_(std::move(showsPlaylist)) {
    toolbar_ = new PlayerToolbar(*this, panes.title, panes.controls);
    split_ = new PlayerPaneSplitView(this);
    panes_[0] = paneHost(panes.sidebar, sidebarMinimum, sidebarMaximum);
    panes_[1] = paneHost(panes.content, contentMinimum, 0);
    panes_[2] = paneHost(panes.playlist, playlistMinimum, playlistMaximum);
    content_ = panes.content;
    if (content_) content_->installEventFilter(this);
    for (QWidget* pane : panes_) split_->addWidget(pane);
    // The toolbar's sections stand over the panes: they follow every move of a pane, also the
    // ones that settle only after a full-screen round trip or a window resize has been applied.
    for (QWidget* pane : panes_) pane->installEventFilter(this);
    // Side panes keep their widths when the window resizes.
    split_->setStretchFactor(0, 0);
    split_->setStretchFactor(1, 1);
    split_->setStretchFactor(2, 0);
    panes_[0]->setVisible(!preferences_.boolean(sidebarCollapsedKey).value_or(false));
    panes_[2]->setVisible(this->showsPlaylist());

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(toolbar_);
    column->addWidget(split_, 1);

    connect(split_, &QSplitter::splitterMoved, this, [this] {
        userResizedPanes();
        toolbar_->relayout();
    });
}

PlayerSplitLayout::~PlayerSplitLayout() {
    // The toolbar goes before the panes when the children are deleted.
    for (QWidget* pane : panes_) pane->removeEventFilter(this);
    if (content_) content_->removeEventFilter(this);
    if (fullscreenTransition_) fullscreenTransition_->detach();
}

bool PlayerSplitLayout::sidebarCollapsed() const { return panes_[0]->isHidden(); }
bool PlayerSplitLayout::playlistCollapsed() const { return panes_[2]->isHidden(); }
int PlayerSplitLayout::paneWidth(int index) const { return panes_[index]->isHidden() ? 0 : panes_[index]->width(); }

int PlayerSplitLayout::dividerCenter(int index) const {
    const int side = index == 0 ? 0 : 2;
    if (panes_[side]->isHidden()) return -1;
    // From the side pane's own edge: the splitter places its handles after the panes, so a
    // relayout that a pane's move starts would read a handle still standing where it was.
    const QRect pane = panes_[side]->geometry();
    const int handle = split_->handleWidth();
    const int edge = index == 0 ? pane.right() + 1 : pane.left() - handle;
    return split_->mapTo(this, QPoint(edge, 0)).x() + handle / 2;
}

void PlayerSplitLayout::updateContentMinimum() {
    int least = content_ ? content_->minimumSizeHint().width() : 0;
    if (contentMinimumWidth) least = contentMinimumWidth();
    // Never more than the screen leaves beside the side panes: panes past the window's edge
    // would lie over each other, and their toggles out of reach.
    if (const QScreen* screen = window()->screen()) {
        const QMargins decoration = PlayerWindowLifecycle::decoration(*window());
        int room = screen->availableGeometry().width() - decoration.left() - decoration.right();
        for (int side : {0, 2})
            if (!panes_[side]->isHidden()) room -= panes_[side]->minimumWidth() + split_->handleWidth();
        least = std::min(least, room);
    }
    panes_[1]->setMinimumWidth(std::max(int(contentMinimum), least));
}

bool PlayerSplitLayout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == content_ && event->type() == QEvent::LayoutRequest) updateContentMinimum();
    const bool pane = watched == panes_[0] || watched == panes_[1] || watched == panes_[2];
    if (pane && (event->type() == QEvent::Resize || event->type() == QEvent::Move ||
                 event->type() == QEvent::Show || event->type() == QEvent::Hide))
        toolbar_->relayout();
    return QWidget::eventFilter(watched, event);
}

double PlayerSplitLayout::tintOpacity() const { return 1.0 - std::clamp(interfaceTransparency_, 0.0, 1.0); }

double PlayerSplitLayout::storedWidth(std::optional<double> stored, double fallback, double minimum, double maximum) {
    if (!stored || !std::isfinite(*stored) || *stored <= 0) return fallback;
    return std::clamp(*stored, minimum, maximum);
}

void PlayerSplitLayout::update(const State& state) {
    if (state.interfaceTransparency != interfaceTransparency_) {
        interfaceTransparency_ = state.interfaceTransparency;
        QWidget::update();
    }
    toolbar_->updateLanguage(state.language);
    updateContentMinimum();
    setVideoFullscreen(state.videoFullscreen);
    if (!videoFullscreen_) setPlaylistVisible(showsPlaylist());
}

void PlayerSplitLayout::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateContentMinimum();
    if (widthsRestored_ || !window()->isWindow()) return;
    windowLifecycle_.registerWindow(window());
    if (!fullscreenTransition_) fullscreenTransition_ = std::make_unique<VideoFullscreenTransition>(window());
    window()->setWindowTitle("Lumavane");
    toolbar_->install();
    toolbar_->setVisible(!videoFullscreen_);
    restorePaneWidths();
    widthsRestored_ = true;
}

void PlayerSplitLayout::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateContentMinimum();
    toolbar_->relayout();
}

void PlayerSplitLayout::paintEvent(QPaintEvent*) {
    // The window's material, under a dark grey tint whose opacity follows the transparency.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(20, 20, 22));
    QColor tint(31, 31, 31);
    tint.setAlphaF(float(tintOpacity()));
    painter.fillRect(rect(), tint);
}

void PlayerSplitLayout::restorePaneWidths() {
    restoringWidths_ = true;
    updateContentMinimum();
    layout()->activate();
    QList<int> sizes = split_->sizes();
    const int available = std::max(0, split_->width() - split_->handleWidth() * (int(sizes.size()) - 1));
    int left = 0, right = 0;
    if (!sidebarCollapsed())
        left = int(std::lround(storedWidth(preferences_.real(leftWidthKey), defaultLeftWidth, sidebarMinimum,
                                           sidebarMaximum)));
    if (!playlistCollapsed())
        right = int(std::lround(storedWidth(preferences_.real(rightWidthKey), defaultRightWidth, playlistMinimum,
                                            playlistMaximum)));
    split_->setSizes({left, std::max(0, available - left - right), right});
    restoringWidths_ = false;
    toolbar_->relayout();
}

void PlayerSplitLayout::userResizedPanes() {
    if (!widthsRestored_ || restoringWidths_ || changingVisibility_ || videoFullscreen_ || changingFullscreen_) return;
    if (!sidebarCollapsed() && panes_[0]->width() >= sidebarMinimum)
        preferences_.set(leftWidthKey, double(panes_[0]->width()));
    if (!playlistCollapsed() && panes_[2]->width() >= playlistMinimum)
        preferences_.set(rightWidthKey, double(panes_[2]->width()));
}

void PlayerSplitLayout::setSidebarCollapsed(bool collapsed) {
    if (sidebarCollapsed() == collapsed) return;
    panes_[0]->setVisible(!collapsed);
    updateContentMinimum();
    if (changingFullscreen_) return;
    if (!videoFullscreen_) preferences_.set(sidebarCollapsedKey, collapsed);
    else if (fullscreenSidebarVisibilityChanged) fullscreenSidebarVisibilityChanged(!collapsed);
}

void PlayerSplitLayout::toggleSidebar() {
    if (videoFullscreen_ || changingVisibility_) return;
    const bool wasCollapsed = sidebarCollapsed();
    changingVisibility_ = true;
    setSidebarCollapsed(!wasCollapsed);
    if (wasCollapsed) restorePaneWidths();
    changingVisibility_ = false;
    toolbar_->relayout();
}

void PlayerSplitLayout::togglePlaylist() {
    if (showsPlaylist_.set) showsPlaylist_.set(!showsPlaylist());
    if (!videoFullscreen_) setPlaylistVisible(showsPlaylist());
}

void PlayerSplitLayout::addPlaylistVideos() {
    if (addVideos) addVideos();
}

void PlayerSplitLayout::setPlaylistVisible(bool visible) {
    if (videoFullscreen_ || changingVisibility_ || playlistCollapsed() != visible) return;
    changingVisibility_ = true;
    toolbar_->updatePlaylistTitle(false);
    panes_[2]->setVisible(visible);
    updateContentMinimum();
    if (visible) {
        restorePaneWidths();
        toolbar_->updatePlaylistTitle(showsPlaylist());
    } else {
        toolbar_->updatePlaylistTitle(false);
    }
    changingVisibility_ = false;
    // A change made meanwhile is applied now.
    setPlaylistVisible(showsPlaylist());
}

void PlayerSplitLayout::setVideoFullscreen(bool on) {
    if (on == videoFullscreen_) return;
    changingFullscreen_ = true;
    videoFullscreen_ = on;
    if (on) {
        sidebarWasCollapsed_ = sidebarCollapsed();
        playlistWasCollapsed_ = playlistCollapsed();
        setSidebarCollapsed(true);
        panes_[2]->setVisible(false);
        updateContentMinimum();
        toolbar_->setVisible(false);
    } else {
        setSidebarCollapsed(sidebarWasCollapsed_);
        panes_[2]->setVisible(!playlistWasCollapsed_);
        toolbar_->setVisible(true);
        restorePaneWidths();
    }
    layout()->activate();
    changingFullscreen_ = false;
    toolbar_->relayout();
}

} // namespace lumavane
