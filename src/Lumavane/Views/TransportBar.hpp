#pragma once

#include "DirectPlayback/DirectPlaybackTypes.hpp"
#include "Lumavane/Views/SeekPreviewPanel.hpp"

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QAbstractButton;
class QLabel;
class QShortcut;
class QSlider;
class QToolButton;

namespace lumavane {

class PopoverFrame;
class SeekSlider;

enum class TransportPopover { effects, aspectModes, audioTracks, subtitles, playbackRates };

// What the bar shows: the session's state and the main view's.
struct TransportState {
    bool hasVideo = false;
    bool playing = false;
    double position = 0;
    double duration = 0;
    double playbackRate = 1.0;
    double volume = 1.0;
    bool isMuted = false;
    std::optional<double> scrubPosition;
    std::optional<double> seekPreviewPosition;
    std::optional<QImage> seekPreviewThumbnail;
    std::vector<DirectAudioTrack> audioTracks;
    std::optional<int> selectedAudioTrackID;
    std::vector<DirectSubtitleTrack> subtitleTracks;
    std::optional<int> selectedSubtitleTrackID;
    bool hasAnyEffect = false;
    bool canCapture = false;
    // The main view's.
    std::string aspectModeRawValue = "automatic";
    bool isVideoFullscreen = false;
    bool fullscreenTransitionInProgress = false;
    bool fullscreenControlsVisible = true;
    bool seekBarHovered = false;
    bool isScrubbing = false;
    std::array<bool, 5> popovers{}; // by TransportPopover
    bool popover(TransportPopover which) const { return popovers[std::size_t(which)]; }
};

// What the bar's controls call: the session's operations and the main view's.
struct TransportActions {
    std::function<void()> togglePlayback, stopPlayback;
    std::function<void(double)> seek;
    std::function<void(std::optional<double>)> setSeekPreview;
    std::function<void(bool)> setScrubbing;
    std::function<void(double)> setVolume;
    // Flips the mute flag, saves and applies the volume.
    std::function<void()> toggleMute;
    std::function<void(double)> setPlaybackRate;
    std::function<void(int)> selectAudioTrack;
    std::function<void(std::optional<int>)> selectSubtitle;
    std::function<void()> captureFrame;
    // The main view's.
    std::function<void(const std::string&)> setAspectMode;
    std::function<void(TransportPopover, bool)> setPopover;
    std::function<void(bool)> setSeekBarHovered, setViewScrubbing;
    std::function<void()> showFullscreenControlsTemporarily, enterVideoFullscreen, exitVideoFullscreen;
    // The effects panel shown in its popover.
    std::function<QWidget*()> makeEffectsPanel;
};

// The speaker symbol for a volume: slashed when muted or at exactly 0, then one to three waves.
QString speakerSymbol(double volume, bool muted);

// The row of controls under the video (and in the full-screen display): playback buttons, the
// time labels around the seek bar, the rate, the volume and the tools.
class TransportBar final : public QWidget {
    Q_OBJECT
public:
    // The seek bar never gets narrower than this: below it a drag moves minutes per pixel.
    static constexpr int minimumSeekWidth = 120;
    // A wheel notch over the volume slider moves it this far (of 1), as an arrow key would.
    static constexpr double volumeStep = 0.05;

    TransportBar(TransportActions actions, std::function<QIcon(const QString&)> symbolIcon,
                 QWidget* parent = nullptr);
    ~TransportBar() override;

    // Everything but the position; call it whenever the state changes.
    void setState(const TransportState& state);
    // The fast path while playing: only the position label and the seek bar.
    void updatePosition(double position);
    // Texts again in the selected language.
    void relabel();

    // minimumSizeHint() is the narrowest bar that keeps every control whole: all buttons and
    // labels at their fixed sizes, none over another, and the seek bar at minimumSeekWidth.

    const TransportState& state() const { return state_; }
    SeekSlider* seekSlider() const { return seek_; }
    SeekPreviewPanel* seekPreview() const { return preview_; }
    QSlider* volumeSlider() const { return volumeSlider_; }
    QAbstractButton* button(const char* name) const;
    PopoverFrame* popover(TransportPopover which) const { return popovers_[std::size_t(which)]; }
    QLabel* positionLabel() const { return positionLabel_; }
    QLabel* durationLabel() const { return durationLabel_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QToolButton* iconButton(const char* name, int width);
    void setSymbol(QAbstractButton* button, const QString& symbol, const QColor& tint = {});
    void setHelp(QAbstractButton* button, const std::string& help, const std::string& accessible);
    void showPosition();
    void syncPreview();
    void syncPopovers();
    void fillPopover(TransportPopover which);
    void seekHovered(std::optional<double> fraction);
    void seekEditing(bool editing);
    void skip(double seconds);

    TransportActions actions_;
    std::function<QIcon(const QString&)> symbolIcon_;
    TransportState state_;
    QToolButton *back_, *play_, *forward_, *stop_, *rate_, *mute_;
    QToolButton *effects_, *aspect_, *audio_, *subtitles_, *capture_, *fullscreen_;
    QLabel *positionLabel_, *durationLabel_;
    SeekSlider* seek_;
    QSlider* volumeSlider_;
    // Owned here, but parented to a window that may go first.
    QPointer<SeekPreviewPanel> preview_;
    std::array<PopoverFrame*, 5> popovers_{};
    std::vector<QShortcut*> shortcuts_;
    // Wheel movement over the volume slider not yet a whole notch (touchpads send fractions).
    int pendingWheel_ = 0;
};

} // namespace lumavane
