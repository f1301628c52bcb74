#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace lumavane {

class VideoSurfaceWidget;

// The video-only full screen: a black frameless overlay over the picture, fed by the video
// surface's mirroring, grows to the screen (or shrinks back to the picture's place) on a 120 Hz
// timer while the window itself is transparent; the picture is handed back once the window's
// surface has drawn at its new size. Without a surface the window simply goes full screen (or
// back). The window covers the screen and gets its frame back by itself where no window manager
// carries out the change, and a request made during a transition ends that one first.
class VideoFullscreenTransition final : public QObject {
    Q_OBJECT
public:
    static constexpr double animationSeconds = 0.3;
    // How long the window manager may take to make the change before the overlay gives up.
    static constexpr int windowManagerTimeoutMs = 1500;
    static constexpr int handOffFallbackMs = 250;

    explicit VideoFullscreenTransition(QWidget* window);
    ~VideoFullscreenTransition() override;

    // Enters full screen, or leaves it.
    void toggleFullScreen();
    // Ends any transition and stops watching the window.
    void detach();
    // Ends the transition in flight: trace line, mirroring stopped, overlay gone. Idle: nothing.
    void finish();
    bool isTransitioning() const { return active_; }

    struct TraceRecord {
        bool entering = false;
        int frames = 0;
        double elapsed = 0;
        double duration = 0;
        QRect overlay, start, target;
        std::optional<QRect> actual;
    };
    // One JSON object with sorted keys and a line feed; rectangles as "{{x, y}, {w, h}}".
    static std::string traceLine(const TraceRecord& record);
    // Appends the line to the file LUMAVANE_FULLSCREEN_TRACE names, only when that file exists.
    static void appendTrace(const TraceRecord& record);
    // Smoothstep of the progress (clamped to 0...1) between the two rectangles.
    static QRect interpolated(const QRect& from, const QRect& to, double progress);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    VideoSurfaceWidget* findSurface() const;
    bool prepare(bool entering);
    void animate(const QRect& target, const std::function<void()>& prepareDestination);
    void step();
    void handOff();
    std::optional<QRect> surfaceScreenRect() const;

    QPointer<QWidget> window_;
    bool active_ = false;
    // Made at the first transition: a surface of its own costs a device at start-up otherwise.
    QPointer<QWidget> overlay_;
    VideoSurfaceWidget* live_ = nullptr;
    QPointer<VideoSurfaceWidget> source_;
    std::optional<QRect> normalFrame_;
    std::optional<QRect> normalVideoFrame_;
    QRect startFrame_, endFrame_;
    QElapsedTimer clock_;
    double duration_ = 0;
    QTimer timer_;
    QTimer windowManagerTimer_;
    double originalOpacity_ = 1.0;
    bool entering_ = false;
    bool waitingForWindow_ = false;
    int initialFrameCount_ = 0;
};

} // namespace lumavane
