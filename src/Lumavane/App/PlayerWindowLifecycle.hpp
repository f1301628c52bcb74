#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"

#include <QMargins>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

// Keeps the player window's frame across launches under "NSWindow Frame Lumavane.playerWindow"
// ("x y w h sx sy sw sh": the frame, then the available area of its screen), restored on the
// screen where it fits, and carries over once a frame saved under the older window-group key.
// The first frame and a restored one are fitted inside the screen's available area, window
// manager's frame included (fitted again once the window manager has framed the window).
class PlayerWindowLifecycle final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* defaultAutosaveName = "Lumavane.playerWindow";
    static constexpr const char* legacyPrefix = "NSWindow Frame SwiftUI.WindowGroup<";
    static constexpr const char* legacyMarker = "Lumavane.ContentView";

    // Available areas of the screens, the primary one first; default: the application's screens.
    using ScreenList = std::function<std::vector<QRect>()>;

    PlayerWindowLifecycle(DefaultsStore defaults, std::string frameAutosaveName, ScreenList screens = {});
    // The process's keeper, on the standard defaults.
    static PlayerWindowLifecycle& shared();

    QWidget* window() const { return window_; }
    const std::string& frameAutosaveName() const { return frameAutosaveName_; }
    std::string frameKey() const { return "NSWindow Frame " + frameAutosaveName_; }

    // Stores the window, migrates the legacy frame when none is saved yet, restores the saved
    // frame (or fits the window's first one) and saves it from then on whenever the window moves
    // or resizes. Again for the same window: nothing.
    void registerWindow(QWidget* window);
    // Writes the window's current frame (not while it is full screen or maximized).
    void saveFrame();

    // The frame text to migrate: the legacy keys, those with "_EnvironmentKeyWritingModifier"
    // first, each group in plain string order; the first whose value is a string.
    static std::optional<std::string> legacyFrame(const DefaultsValue::Dictionary& defaults);
    static std::string frameText(const QRect& frame, const QRect& screen);
    // The saved frame placed on the screen it overlaps most (else the first screen), shrunk to
    // fit and moved inside it with its decoration; none for a malformed or empty text.
    static std::optional<QRect> restoredFrame(const std::string& text, const std::vector<QRect>& screens,
                                              const QMargins& decoration = {});
    // The window's rectangle (without its decoration) shrunk where it is larger and moved so
    // that, with the decoration around it, it lies inside `available`.
    static QRect fittedFrame(const QRect& frame, const QRect& available, const QMargins& decoration = {});
    // The window manager's frame around a window (none before it is framed, or without one).
    static QMargins decoration(const QWidget& window);
    // Events after which a window may have been framed. A window the manager frames where it
    // stands gets no move or resize, but it is painted and usually activated.
    static bool mayBeFramedAfter(const QEvent& event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::vector<QRect> screens() const;
    // The window's own rectangle fitted into the screen where most of it lies.
    void fitWindow();

    DefaultsStore defaults_;
    std::string frameAutosaveName_;
    ScreenList screens_;
    QPointer<QWidget> window_;
    bool restoring_ = false;
    // Fitted before the window manager framed it: fit again once the frame is known.
    bool fitOnceFramed_ = false;
};

} // namespace lumavane
