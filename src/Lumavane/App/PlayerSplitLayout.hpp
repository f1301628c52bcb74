#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace lumavane {

class PlayerPaneSplitView;
class PlayerToolbar;
class PlayerWindowLifecycle;
class VideoFullscreenTransition;

// The player window's body: the toolbar row over the sidebar, the video pane and the playlist
// side by side. Keeps the outer widths and the sidebar's collapsed state across launches and
// takes both side panes away while the video alone fills the screen.
class PlayerSplitLayout final : public QWidget {
    Q_OBJECT
public:
    static constexpr int sidebarMinimum = 260, sidebarMaximum = 340;
    // The video pane's least width; wider when its content needs more (contentMinimumWidth).
    static constexpr int contentMinimum = 500;
    static constexpr int playlistMinimum = 230, playlistMaximum = 360;
    static constexpr double defaultLeftWidth = 304, defaultRightWidth = 280;
    static constexpr const char* leftWidthKey = "player.leftPaneWidth";
    static constexpr const char* rightWidthKey = "player.rightPaneWidth";
    static constexpr const char* sidebarCollapsedKey = "player.sidebarCollapsed";

    struct Panes {
        QWidget* sidebar = nullptr;
        QWidget* content = nullptr;
        QWidget* playlist = nullptr;
        QWidget* title = nullptr;    // the toolbar's file name
        QWidget* controls = nullptr; // the toolbar's playback controls
    };
    // The main view's "showsPlaylist".
    struct Binding {
        std::function<bool()> get;
        std::function<void(bool)> set;
    };
    // What the main view hands over at each of its updates.
    struct State {
        std::string language = "system";
        bool videoFullscreen = false;
        double interfaceTransparency = 1.0;
    };

    PlayerSplitLayout(Panes panes, Binding showsPlaylist, DefaultsStore preferences,
                      PlayerWindowLifecycle& windowLifecycle, QWidget* parent = nullptr);
    ~PlayerSplitLayout() override;

    void update(const State& state);

    std::function<void()> addVideos;
    std::function<void(bool)> fullscreenSidebarVisibilityChanged;
    // The width the video pane's content needs to stay whole (its transport bar with a usable
    // seek bar); asked again whenever that content's layout changes. None: its minimum size.
    std::function<int()> contentMinimumWidth;
    // Applies contentMinimumWidth, as far as the screen leaves room beside the side panes; the
    // splitter and, through this widget's minimum size, the window keep the video pane at least
    // that wide.
    void updateContentMinimum();

    void toggleSidebar();
    void togglePlaylist();
    void addPlaylistVideos();
    void setPlaylistVisible(bool visible);
    void setVideoFullscreen(bool on);
    void restorePaneWidths();

    bool showsPlaylist() const { return showsPlaylist_.get ? showsPlaylist_.get() : false; }
    bool sidebarCollapsed() const;
    bool playlistCollapsed() const;
    bool videoFullscreen() const { return videoFullscreen_; }
    int paneWidth(int index) const;
    // Centre of divider 0 or 1 in this widget's coordinates; -1 while its side pane is collapsed.
    int dividerCenter(int index) const;
    double tintOpacity() const;

    PlayerToolbar& toolbar() { return *toolbar_; }
    PlayerPaneSplitView& splitView() { return *split_; }
    VideoFullscreenTransition* fullscreenTransition() { return fullscreenTransition_.get(); }

    // A stored width: unset or not positive gives the fallback, others are clamped.
    static double storedWidth(std::optional<double> stored, double fallback, double minimum, double maximum);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setSidebarCollapsed(bool collapsed);
    void userResizedPanes();

    DefaultsStore preferences_;
    PlayerWindowLifecycle& windowLifecycle_;
    Binding showsPlaylist_;
    PlayerToolbar* toolbar_ = nullptr;
    PlayerPaneSplitView* split_ = nullptr;
    QWidget* panes_[3] = {};
    QPointer<QWidget> content_;
    std::unique_ptr<VideoFullscreenTransition> fullscreenTransition_;
    bool changingVisibility_ = false;
    bool changingFullscreen_ = false;
    bool videoFullscreen_ = false;
    bool sidebarWasCollapsed_ = false;
    bool playlistWasCollapsed_ = true;
    bool widthsRestored_ = false;
    bool restoringWidths_ = false;
    double interfaceTransparency_ = 1.0;
};

} // namespace lumavane
