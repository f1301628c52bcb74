#pragma once

// The whole player in a real window on a virtual X server, and what a person would check in it.

#include "AppTestSupport.hpp"
#include "Lumavane/App/LumavaneApp.hpp"
#include "Lumavane/App/PlayerSplitLayout.hpp"
#include "Lumavane/App/PlayerToolbar.hpp"
#include "Lumavane/App/PlayerWindow.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/App/VideoFullscreenTransition.hpp"
#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/PlayerPaneSplitView.hpp"
#include "Lumavane/Views/SeekSlider.hpp"
#include "Lumavane/Views/TransportSessionBinding.hpp"
#include "support/LayoutChecks.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QTest>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace lumavane::test {

struct WindowHarness {
    explicit WindowHarness(const std::string& tag, const std::string& language = "ja", bool showsPlaylist = false,
                           std::vector<std::string> arguments = {"lumavane"})
        : file((application(), freshDefaults(tag))), defaults(DefaultsStore::standard()), languages(defaults),
          lifecycle(defaults, "Lumavane.playerWindow") {
        defaults.set("LumavanePreferredLanguage", language);
        defaults.set("player.showsPlaylist", showsPlaylist);
        languages.select(language);
        app = std::make_unique<LumavaneApp>(
            LumavaneApp::Options{defaults, std::move(arguments), &lifecycle, &languages, [this] { ++quits; }});
    }
    ~WindowHarness() {
        app.reset();
        std::filesystem::remove(file);
    }

    PlayerWindow& window() { return app->window(); }
    PlayerSplitLayout& layout() { return app->layout(); }
    QAbstractButton* toggle(const char* identifier) {
        return qobject_cast<QAbstractButton*>(layout().toolbar().itemView(identifier));
    }

    // Shown, exposed, and left alone until the layouts and the window manager are done.
    void showAndSettle() {
        app->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window(), 20000));
        settle();
    }
    void settle() {
        const VideoFullscreenTransition* transition = layout().fullscreenTransition();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !transition || !transition->isTransitioning(); }, 20000));
        // A pane shown or a window grown relays the panes out over several queued layout requests
        // (a model card moves its badge under its names only once the title has its new width),
        // and the window takes its new size only when the X server or the window manager answers.
        // On a loaded machine that takes long: settled is when the window has the size its layout
        // asks for and several rounds, each with a round trip to the X server and everything
        // queued delivered, move no widget.
        int stillRounds = 0;
        const bool settled = QTest::qWaitFor(
            [&] {
                const std::vector<QRect> before = shownGeometries();
                QGuiApplication::sync();
                QCoreApplication::sendPostedEvents();
                QCoreApplication::processEvents();
                const QWidget& shown = window();
                const bool sized = shown.isFullScreen() || (shown.width() >= shown.minimumWidth() &&
                                                            shown.height() >= shown.minimumHeight());
                stillRounds = sized && shownGeometries() == before ? stillRounds + 1 : 0;
                return stillRounds >= 3;
            },
            30000);
        EXPECT_TRUE(settled) << "the window's layout still moves";
    }

    // Where the window and every shown widget in it stand.
    std::vector<QRect> shownGeometries() {
        std::vector<QRect> out{window().geometry()};
        for (const QWidget* widget : window().findChildren<QWidget*>())
            if (widget->isVisible()) out.push_back(QRect(widget->mapTo(&window(), QPoint()), widget->size()));
        return out;
    }

    std::filesystem::path file;
    DefaultsStore defaults;
    AppLanguageStore languages;
    PlayerWindowLifecycle lifecycle;
    int quits = 0;
    std::unique_ptr<LumavaneApp> app;
};

// Everything a person would notice in the windowed player: texts cut, controls over each other,
// buttons out of reach, symbols without icons, a frame off the screen, a seek bar too short.
inline std::vector<std::string> windowFindings(WindowHarness& h) {
    PlayerWindow& window = h.window();
    std::vector<std::string> found;
    const auto add = [&](const std::vector<std::string>& more) { found.insert(found.end(), more.begin(), more.end()); };
    add(clippedTexts(window));
    add(overlappingSiblings(window));
    add(unreachableButtons(window));
    add(blankSymbolIcons(window, symbolProperty));
    if (!window.isFullScreen()) {
        const QRect area = window.availableArea();
        if (!area.contains(window.frameGeometry())) {
            const QRect f = window.frameGeometry();
            found.push_back("the window's frame " + std::to_string(f.width()) + "x" + std::to_string(f.height()) +
                            "+" + std::to_string(f.x()) + "+" + std::to_string(f.y()) + " leaves the screen's " +
                            std::to_string(area.width()) + "x" + std::to_string(area.height()));
        }
        for (const char* identifier : {toolbar_item::toggleSidebar, toolbar_item::playlistToggle}) {
            const QAbstractButton* toggle = h.toggle(identifier);
            if (!toggle || !isOnScreen(*toggle)) found.push_back(std::string("pane toggle not shown: ") + identifier);
        }
        // The splitter places its panes itself, out of a layout's sight.
        const QSplitter& split = h.layout().splitView();
        QRect previous;
        for (int i = 0; i < split.count(); ++i) {
            const QWidget* pane = split.widget(i);
            if (pane->isHidden()) continue;
            if (!split.rect().contains(pane->geometry()) || pane->geometry().intersects(previous))
                found.push_back("pane " + std::to_string(i) + " out of place: " + describeWidget(*pane));
            previous = pane->geometry();
        }
        const QWidget* seek = h.app->contentView().transportBinding()->bars().front()->seekSlider();
        if (seek->width() < LumavaneApp::usableSeekBarWidth)
            found.push_back("seek bar only " + std::to_string(seek->width()) + " pixels wide");
    }
    return found;
}

inline std::string lines(const std::vector<std::string>& findings) {
    std::ostringstream out;
    for (const std::string& finding : findings) out << "\n  " << finding;
    return out.str();
}

// Enters or leaves the video-only full screen as the full-screen button does, and waits until
// the main view, the layout and the window all agree.
inline void setVideoFullscreen(WindowHarness& h, bool on) {
    ContentView& content = h.app->contentView();
    if (on) content.enterVideoFullscreen();
    else content.exitVideoFullscreen();
    const bool agreed = QTest::qWaitFor(
        [&] {
            return content.state().isVideoFullscreen == on && !content.state().fullscreenTransitionInProgress &&
                   h.layout().videoFullscreen() == on && h.window().isFullScreen() == on;
        },
        20000);
    EXPECT_TRUE(agreed) << (on ? "entering" : "leaving") << ": view " << content.state().isVideoFullscreen
                        << " in transition " << content.state().fullscreenTransitionInProgress << ", layout "
                        << h.layout().videoFullscreen() << ", window " << h.window().isFullScreen();
    h.settle();
}

// The pane toggles do what they say.
inline void expectPaneTogglesWork(WindowHarness& h) {
    for (const char* identifier : {toolbar_item::toggleSidebar, toolbar_item::playlistToggle}) {
        const bool sidebar = identifier == std::string(toolbar_item::toggleSidebar);
        const auto collapsed = [&] { return sidebar ? h.layout().sidebarCollapsed() : h.layout().playlistCollapsed(); };
        for (int click = 0; click < 2; ++click) {
            const bool before = collapsed();
            QAbstractButton* toggle = h.toggle(identifier);
            ASSERT_TRUE(toggle) << identifier;
            QTest::mouseClick(toggle, Qt::LeftButton);
            EXPECT_TRUE(QTest::qWaitFor([&] { return collapsed() != before; }, 5000)) << identifier << " did nothing";
        }
    }
}

} // namespace lumavane::test
