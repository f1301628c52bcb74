#pragma once

#include "Lumavane/Session/SessionTypes.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/Signal.hpp"
#include "Platform/Image/CPUImage.hpp"
#include "Platform/Image/Image.hpp"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QWidget>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPainter;

namespace lumavane {

class ComparisonOverlay;
class MiddleElidedLabel;
class TransportSessionBinding;
class MetalSurface;
class PlayerSession;
class PlayerSessionSurface;
class VideoDropArea;
class VideoSurfaceWidget;

// The stored appearance settings the views read, each under its own defaults key.
struct AppearanceSettings {
    double interfaceTransparency = 1.0;          // "player.sidebarTransparency"
    double osdTransparency = 0.15;               // "player.osdTransparency"
    std::string subtitleFontName = "system";     // "player.subtitleFontName"
    double subtitleFontSize = 40;                // "player.subtitleFontSize"
    double subtitleBackgroundTransparency = 0.5; // "player.subtitleBackgroundTransparency"
    std::string subtitleStyle = "background";    // "player.subtitleStyle"
    bool subtitleFade = false;                   // "player.subtitleFade"
    std::string aspectModeRawValue = "automatic"; // "player.aspectMode"
    bool showsPlaylist = false;                  // "player.showsPlaylist"

    static AppearanceSettings read(const DefaultsStore& defaults);
};

// How subtitles look, supplied by the settings panel's subtitle appearance.
struct SubtitleRenderer {
    // The font for a stored name and point size (the application's font for "system" or an
    // unknown family), semibold.
    std::function<QFont(const std::string& name, double size)> font;
    // The size the text takes in the style, wrapped to `maxWidth`.
    std::function<QSize(const QFont&, const QString&, int maxWidth, const std::string& style, double transparency)>
        size;
    // Draws the text centred in `area`, in the painter's font and pen.
    std::function<void(QPainter&, const QRect& area, const QString&, const std::string& style, double transparency)>
        paint;
};

// The root of the player window: its view state, the video pane with its overlays and the
// display-mode control for the toolbar, the sheets and the message alert, and the video-only full
// screen as the window reports it.
class ContentView final : public QObject {
    Q_OBJECT
public:
    static QColor accent() { return QColor::fromRgbF(0.48f, 0.90f, 0.73f); }
    // "%d:%02d" of whole seconds (0 for negative or not finite), minutes not wrapped into hours.
    static std::string time(double seconds);

    enum class Popover { effects, audioTracks, subtitles, aspectModes, playbackRates };
    enum class Sheet { settings, benchmark, modelImport };

    struct State {
        bool showsEffects = false, showsAudioTracks = false, showsSubtitles = false;
        bool showsAspectModes = false, showsPlaybackRates = false;
        bool showsPlaybackDetails = false;
        bool showsBenchmark = false, showsModelImport = false, showsSettings = false;
        std::optional<std::string> benchmarkSeriesID;
        std::optional<std::filesystem::path> detailStandaloneURL;
        bool isVideoFullscreen = false;
        bool fullscreenTransitionInProgress = false;
        bool fullscreenControlsVisible = true;
        bool fullscreenControlsHovered = false;
        bool fullscreenSidebarVisible = false;
        bool isScrubbing = false;
        bool seekBarHovered = false;
        bool anyPopoverOpen() const {
            return showsEffects || showsAudioTracks || showsSubtitles || showsAspectModes || showsPlaybackRates;
        }
    };

    struct Options {
        DefaultsStore preferences = DefaultsStore::standard();
        // The picture; made here when none is given.
        VideoSurfaceWidget* surface = nullptr;
        // How long the full-screen controls stay after the last showing.
        int fullscreenHideMilliseconds = 2000;
        SubtitleRenderer subtitles;
        // The icon of a design symbol ("film"); none: no icons.
        std::function<QIcon(const QString&)> symbolIcon;
    };

    ContentView(PlayerSession& session, Options options, QObject* parent = nullptr);
    ~ContentView() override;

    PlayerSession& session() { return session_; }
    const State& state() const { return state_; }
    const AppearanceSettings& appearance() const { return appearance_; }

    // The panes handed to the split layout. The video pane's minimumSizeHint() is the narrowest
    // pane that keeps the transport bar whole (TransportBar::minimumSizeHint() and its padding).
    QWidget* videoPane() const { return pane_; }
    QWidget* titleView() const { return title_; }
    DisplayModeControl* displayModeControl() const { return modeControl_; }
    // Where the transport bar goes under the picture (windowed) and in the on-screen display.
    QWidget* transportSlot() const { return transport_; }
    QWidget* fullscreenTransportSlot() const { return osdTransport_; }
    QWidget* fullscreenOSD() const;
    // From the bottom edge of the picture to the top of the full-screen controls (28 below them).
    int fullscreenControlsHeight() const;
    ComparisonOverlay* comparisonOverlay() const { return comparison_; }
    // The transport bars in both slots, fed from the session and this view's state.
    TransportSessionBinding* transportBinding() const { return transportBinding_.get(); }
    QWidget* emptyState() const { return empty_; }
    VideoDropArea& dropArea() const { return *drop_; }
    VideoSurfaceWidget* surface() const { return surface_; }

    // --- Popovers and sheets.
    void setPopover(Popover popover, bool shown);
    void setShowsSettings(bool shown);
    void showBenchmark(std::optional<std::string> seriesID, std::optional<std::filesystem::path> standaloneURL);
    void setShowsBenchmark(bool shown);
    void setShowsModelImport(bool shown);
    // Shows or closes a sheet; the application supplies the sheets.
    std::function<void(Sheet, bool shown)> presentSheet;

    // --- The window's full-screen reports; another window's reports are ignored.
    void windowWillEnterFullScreen(QWidget* window);
    void windowDidEnterFullScreen(QWidget* window);
    void windowWillExitFullScreen(QWidget* window);
    void windowDidExitFullScreen(QWidget* window);
    void windowDidReopen(QWidget* window);
    // The open panel: the chosen videos replace the playlist, or are appended.
    std::function<void(bool appendOnly)> chooseVideos;
    // Asks the window to toggle its full screen; says whether it is in full screen now.
    std::function<void()> toggleWindowFullScreen;
    std::function<bool()> windowIsFullScreen;
    // The split layout follows the full screen, the transparency and the playlist.
    std::function<void()> layoutChanged;

    void enterVideoFullscreen();
    void exitVideoFullscreen();
    void showFullscreenControlsTemporarily();
    void setFullscreenSidebarVisible(bool visible);
    void setFullscreenControlsHovered(bool hovered);
    void setSeekBarHovered(bool hovered);
    void setScrubbing(bool scrubbing);
    bool hideTaskPending() const { return hideTimer_.isActive(); }
    bool cursorHidden() const { return cursorHidden_; }

    // The overlay drawn over a captured frame: the layers the capture settings ask for, at exactly
    // size × scale pixels (premultiplied BGRA).
    std::optional<image::CPUImage> captureContent(image::Size points, double scale);

    // A drop on the picture: accepted at once when it holds files; folders are searched off the
    // main thread and the videos found are opened back on it.
    bool acceptDrop(const std::vector<std::filesystem::path>& urls);
    // The playable videos among dropped or chosen items, searched off the main thread and handed
    // to `found` back on it; dropped when a newer search starts or the view goes first.
    void findVideos(std::vector<std::filesystem::path> urls,
                    std::function<void(std::vector<std::filesystem::path>)> found);
    // Runs work off the main thread (default: the global thread pool).
    std::function<void(std::function<void()>)> runInBackground;

    void setSubtitleRenderer(SubtitleRenderer renderer);

    // Everything follows the session and the view state again (the stored settings are followed
    // as they change).
    void refresh();
    void relabel();

    // The message alert now shown, if any.
    QMessageBox* messageAlert() const { return alert_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool isPlayerWindow(QWidget* window) const;
    void hideFullscreenControls();
    void setCursorHidden(bool hidden);
    void clearSeekPreview();
    void updateMessage();
    void layoutOverlays();

    PlayerSession& session_;
    DefaultsStore preferences_;
    SubtitleRenderer subtitles_;
    State state_;
    AppearanceSettings appearance_;
    std::shared_ptr<PlayerSessionSurface> surfaceSession_;
    std::unique_ptr<MetalSurface> binder_;
    QPointer<QWidget> pane_;
    VideoSurfaceWidget* surface_ = nullptr;
    QPointer<QWidget> title_;
    MiddleElidedLabel* titleText_ = nullptr;
    QLabel* titleIcon_ = nullptr;
    QPointer<DisplayModeControl> modeControl_;
    ComparisonOverlay* comparison_ = nullptr;
    QWidget* pictureOverlays_ = nullptr;
    QWidget* empty_ = nullptr;
    QWidget* osd_ = nullptr;
    QWidget* osdTransport_ = nullptr;
    QWidget* transportBar_ = nullptr;
    QWidget* transport_ = nullptr;
    VideoDropArea* drop_ = nullptr;
    QTimer hideTimer_;
    bool cursorHidden_ = false;
    QPointer<QMessageBox> alert_;
    std::shared_ptr<std::atomic<std::uint64_t>> dropGeneration_ = std::make_shared<std::atomic<std::uint64_t>>(0);
    std::vector<Connection> connections_;
    std::vector<Connection> defaultsConnections_;
    std::unique_ptr<TransportSessionBinding> transportBinding_;
    friend class PictureOverlays;
    friend class FullscreenOSD;
    friend class EmptyStateView;
};

} // namespace lumavane
