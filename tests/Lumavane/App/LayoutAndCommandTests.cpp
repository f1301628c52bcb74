#include "AppTestSupport.hpp"
#include "Lumavane/App/LumavaneApp.hpp"
#include "Lumavane/App/PlayerCommands.hpp"
#include "Lumavane/App/PlayerSplitLayout.hpp"
#include "Lumavane/App/PlayerToolbar.hpp"
#include "Lumavane/App/PlayerWindow.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Panels/PanelsTestSupport.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/PlayerPaneSplitView.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QHBoxLayout>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QVBoxLayout>

#include <fstream>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
namespace id = toolbar_item;

// A video pane whose content needs `width` pixels, as a transport bar does.
struct NeedyContent : QWidget {
    explicit NeedyContent(int width) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(0, 0, 0, 0);
        bar = new QWidget;
        bar->setFixedWidth(width);
        row->addWidget(bar);
    }
    QWidget* bar;
};

// A layout alone in a 1240-pixel window on the test's own defaults, in Japanese.
struct LayoutHarness {
    explicit LayoutHarness(const std::string& tag, const std::function<void(DefaultsStore&)>& seed = {},
                           int contentNeeds = 0)
        : contentNeeds(contentNeeds), 
          file((test::application(), test::freshDefaults(tag))), defaults(DefaultsStore::standard()),
          lifecycle(defaults, "Lumavane.playerWindow", [] { return std::vector<QRect>{QRect(0, 0, 1600, 1000)}; }) {
        defaults.set("LumavanePreferredLanguage", "ja");
        if (seed) seed(defaults);
        build();
    }
    ~LayoutHarness() {
        window.reset();
        fs::remove(file);
    }
    void build() {
        window = std::make_unique<QWidget>();
        auto* column = new QVBoxLayout(window.get());
        column->setContentsMargins(0, 0, 0, 0);
        QWidget* content = new QWidget;
        if (contentNeeds > 0) content = needy = new NeedyContent(contentNeeds);
        layout = new PlayerSplitLayout({new QWidget, content, new QWidget, new QWidget, new QWidget},
                                       {[this] { return showsPlaylist; }, [this](bool v) { showsPlaylist = v; }},
                                       defaults, lifecycle);
        column->addWidget(layout);
        window->resize(1240, 780);
        window->show();
    }
    std::vector<std::string> items() { return layout->toolbar().itemIdentifiers(); }

    int contentNeeds = 0;
    NeedyContent* needy = nullptr;
    fs::path file;
    DefaultsStore defaults;
    PlayerWindowLifecycle lifecycle;
    bool showsPlaylist = false;
    std::unique_ptr<QWidget> window;
    PlayerSplitLayout* layout = nullptr;
};

TEST(PlayerSplitLayout, StoredWidthsAreClampedWhenShown) {
    struct Case {
        std::optional<double> left, right;
        int shownLeft, shownRight;
    };
    const Case cases[] = {
        {200.0, 100.0, 260, 230},
        {500.0, 400.0, 340, 360},
        {0.0, -5.0, 304, 280},
        {std::nullopt, std::nullopt, 304, 280},
        {290.5, 250.0, 291, 250},
    };
    for (const Case& c : cases) {
        LayoutHarness h("widths", [&](DefaultsStore& d) {
            if (c.left) d.set(PlayerSplitLayout::leftWidthKey, *c.left);
            if (c.right) d.set(PlayerSplitLayout::rightWidthKey, *c.right);
        });
        h.layout->togglePlaylist();
        EXPECT_EQ(h.layout->paneWidth(0), c.shownLeft);
        EXPECT_EQ(h.layout->paneWidth(2), c.shownRight);
        EXPECT_GE(h.layout->paneWidth(1), PlayerSplitLayout::contentMinimum);
    }
}

TEST(PlayerSplitLayout, UserResizesAreStoredOutsideFullScreenOnly) {
    LayoutHarness h("resize");
    h.layout->togglePlaylist();
    PlayerPaneSplitView& split = h.layout->splitView();
    const int total = split.sizes()[0] + split.sizes()[1] + split.sizes()[2];
    split.setSizes({300, total - 300 - 240, 240});
    split.splitterMoved(0, 2);
    EXPECT_EQ(h.defaults.real(PlayerSplitLayout::rightWidthKey), 240.0);
    EXPECT_EQ(h.defaults.real(PlayerSplitLayout::leftWidthKey), 300.0);

    h.layout->setVideoFullscreen(true);
    split.splitterMoved(0, 2);
    h.layout->setVideoFullscreen(false);
    EXPECT_EQ(h.defaults.real(PlayerSplitLayout::rightWidthKey), 240.0);
    EXPECT_EQ(h.layout->paneWidth(2), 240) << "widths come back after full screen";
}

TEST(PlayerSplitLayout, CollapseStatesSurviveRelaunchAndFullScreen) {
    LayoutHarness h("collapse");
    h.layout->toggleSidebar();
    EXPECT_TRUE(h.layout->sidebarCollapsed());
    EXPECT_EQ(h.defaults.boolean(PlayerSplitLayout::sidebarCollapsedKey), true);
    h.build();
    EXPECT_TRUE(h.layout->sidebarCollapsed()) << "a relaunch starts collapsed";

    std::vector<bool> told;
    h.layout->fullscreenSidebarVisibilityChanged = [&](bool shown) { told.push_back(shown); };
    h.layout->togglePlaylist();
    h.layout->update({"ja", true});
    EXPECT_TRUE(h.layout->sidebarCollapsed());
    EXPECT_TRUE(h.layout->playlistCollapsed());
    EXPECT_FALSE(h.layout->toolbar().isVisible());
    h.layout->toggleSidebar(); // ignored in video full screen
    h.layout->togglePlaylist();
    h.layout->togglePlaylist();
    EXPECT_TRUE(h.layout->playlistCollapsed());
    h.layout->update({"ja", false});
    EXPECT_FALSE(h.layout->playlistCollapsed()) << "the playlist comes back";
    EXPECT_TRUE(h.layout->sidebarCollapsed()) << "the sidebar stays collapsed";
    EXPECT_TRUE(h.layout->toolbar().isVisible());
    EXPECT_EQ(h.defaults.boolean(PlayerSplitLayout::sidebarCollapsedKey), true);
    EXPECT_TRUE(told.empty());
    h.layout->toggleSidebar();
    EXPECT_EQ(h.defaults.boolean(PlayerSplitLayout::sidebarCollapsedKey), false);
    EXPECT_EQ(h.layout->paneWidth(0), 304);
}

TEST(PlayerSplitLayout, TheVideoPaneKeepsTheWidthItsContentNeeds) {
    LayoutHarness h("content", {}, 800);
    h.layout->togglePlaylist();
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.window->minimumWidth() >= 260 + 800 + 230; }, 2000))
        << "the window cannot be made narrower than the panes need";
    EXPECT_GE(h.layout->paneWidth(1), 800) << "not squeezed by the side panes";
    EXPECT_GE(h.layout->paneWidth(0), PlayerSplitLayout::sidebarMinimum);
    EXPECT_GE(h.layout->paneWidth(2), PlayerSplitLayout::playlistMinimum);
    EXPECT_LE(h.layout->paneWidth(0) + h.layout->paneWidth(1) + h.layout->paneWidth(2), h.window->width());

    h.needy->bar->setFixedWidth(900); // a longer text, say
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.layout->paneWidth(1) >= 900; }, 2000));
    // More than the screen holds beside the side panes: the panes stay side by side on it.
    const int screen = h.window->screen()->availableGeometry().width();
    h.needy->bar->setFixedWidth(screen);
    const auto panes = [&] { return h.layout->paneWidth(0) + h.layout->paneWidth(1) + h.layout->paneWidth(2); };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return h.window->minimumWidth() <= screen && panes() <= h.window->width() &&
                   h.layout->paneWidth(1) > screen - 260 - 230 - 40;
        },
        2000))
        << h.window->minimumWidth() << " on a screen of " << screen << ", panes " << panes();
    h.layout->contentMinimumWidth = [] { return 300; };
    h.layout->updateContentMinimum();
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.window->minimumWidth() < 260 + 800 + 230; }, 2000))
        << "the application's own measure, never below the design's " << PlayerSplitLayout::contentMinimum;
    h.window->resize(h.window->minimumWidth(), 780);
    QTest::qWait(0);
    EXPECT_EQ(h.layout->paneWidth(1), PlayerSplitLayout::contentMinimum);
}

// The row keeps both pane toggles whole and apart from the other items, even when the window is
// narrower than the panes under it (a screen too small for them).
TEST(PlayerToolbar, PaneTogglesStayInReachAtEveryWidth) {
    LayoutHarness h("reach", {}, 700);
    h.layout->togglePlaylist();
    PlayerToolbar& toolbar = h.layout->toolbar();
    const int least = h.layout->minimumSizeHint().width();
    for (int width : {least + 300, least, least - 150, 900}) {
        // Outside the window's layout, as a window held to a small screen gives it.
        h.window->layout()->removeWidget(h.layout);
        h.layout->setGeometry(0, 0, width, 700);
        QTest::qWait(0);
        for (const char* toggle : {id::toggleSidebar, id::playlistToggle}) {
            QWidget* button = toolbar.itemView(toggle);
            ASSERT_TRUE(button);
            EXPECT_TRUE(button->isVisible()) << toggle << " at " << width;
            EXPECT_TRUE(toolbar.rect().contains(button->geometry())) << toggle << " at " << width;
            for (const std::string& other : toolbar.itemIdentifiers()) {
                QWidget* view = toolbar.itemView(other);
                if (other == toggle || !view || !view->isVisible()) continue;
                EXPECT_FALSE(view->geometry().intersects(button->geometry())) << toggle << " under " << other << " at " << width;
            }
        }
    }
}

TEST(PlayerToolbar, ItemOrderFollowsThePlaylistAndTheLanguage) {
    LayoutHarness h("toolbar");
    const std::vector<std::string> closed{id::toggleSidebar, id::leftDivider,    id::sidebarIconSpacer,
                                          id::videoTitle,    id::flexibleSpace,  id::playbackControls,
                                          id::rightDivider,  id::flexibleSpace, id::playlistToggle};
    std::vector<std::string> open = closed;
    open.insert(open.begin() + 7, id::playlistTitle);
    EXPECT_EQ(h.items(), closed);
    EXPECT_EQ(h.layout->toolbar().itemLabel(id::playlistToggle), "プレイリストを表示");

    h.layout->togglePlaylist();
    EXPECT_EQ(h.items(), open);
    EXPECT_EQ(h.layout->toolbar().itemLabel(id::playlistToggle), "プレイリストを閉じる");
    EXPECT_EQ(h.layout->toolbar().itemView(id::playlistToggle)->toolTip(), "プレイリストを閉じる");

    h.defaults.set("LumavanePreferredLanguage", "en");
    h.layout->update({"en"});
    EXPECT_EQ(h.items(), open) << "a new language keeps the open playlist's item";
    EXPECT_EQ(h.layout->toolbar().itemLabel(id::playbackControls), "Playback Settings");
    EXPECT_EQ(h.layout->toolbar().itemView(id::playlistToggle)->toolTip(), "Close Playlist");
    EXPECT_EQ(h.layout->toolbar().itemView(id::toggleSidebar)->property("lumavaneSymbol"), "sidebar.left");

    h.layout->togglePlaylist();
    h.defaults.set("LumavanePreferredLanguage", "ja");
    h.layout->update({"ja"});
    EXPECT_EQ(h.items(), closed);
    EXPECT_EQ(h.layout->toolbar().itemLabel(id::playbackControls), "再生設定");
}

// The whole application on the test's defaults, quitting into a recorder.
struct AppHarness {
    explicit AppHarness(const std::string& tag, std::vector<std::string> arguments = {"lumavane"},
                        FileDialogs* dialogs = nullptr)
        : file((test::application(), test::freshDefaults(tag))), defaults(DefaultsStore::standard()),
          languages(defaults),
          lifecycle(defaults, "Lumavane.playerWindow", [] { return std::vector<QRect>{QRect(0, 0, 1600, 1000)}; }) {
        defaults.set("LumavanePreferredLanguage", "ja");
        languages.select("ja");
        app = std::make_unique<LumavaneApp>(LumavaneApp::Options{
            defaults, std::move(arguments), &lifecycle, &languages, [this] { quitCalls.push_back(frameOnDisk()); },
            dialogs});
    }
    ~AppHarness() {
        app.reset();
        fs::remove(file);
    }
    // The frame as the file holds it: what a relaunch would read.
    std::string frameOnDisk() const { return DefaultsStore(file).string(lifecycle.frameKey()).value_or(""); }

    fs::path file;
    DefaultsStore defaults;
    AppLanguageStore languages;
    PlayerWindowLifecycle lifecycle;
    std::vector<std::string> quitCalls;
    std::unique_ptr<LumavaneApp> app;
};

TEST(LumavaneApp, MenuCommandsTheirShortcutsAndLanguage) {
    AppHarness h("commands");
    std::vector<bool> openVideo;
    h.app->openVideo = [&](bool appendOnly) { openVideo.push_back(appendOnly); };
    h.app->show();
    PlayerCommands& commands = h.app->commands();
    struct Case {
        QAction* action;
        QKeySequence shortcut;
        QString japanese, english;
    };
    const Case cases[] = {
        {commands.openVideoAction(), QKeySequence("Ctrl+O"), "動画を開く…", "Open Video…"},
        {commands.settingsAction(), QKeySequence("Ctrl+,"), "設定…", "Settings…"},
        {commands.quitAction(), QKeySequence("Ctrl+Q"), "Lumavaneを終了", "Quit Lumavane"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.action->shortcut(), c.shortcut);
        EXPECT_EQ(c.action->text(), c.japanese);
    }
    EXPECT_EQ(commands.fileMenu()->actions().size(), 5);
    h.languages.select("en");
    for (const Case& c : cases) EXPECT_EQ(c.action->text(), c.english);
    EXPECT_EQ(h.app->layout().toolbar().itemLabel(id::playbackControls), "Playback Settings");

    commands.openVideoAction()->trigger();
    commands.settingsAction()->trigger();
    EXPECT_EQ(openVideo, std::vector<bool>{false}); // the open command replaces the playlist
    EXPECT_TRUE(h.app->showsSettings());
    EXPECT_TRUE(h.quitCalls.empty());
    commands.quitAction()->trigger();
    EXPECT_EQ(h.quitCalls.size(), 1u);
}

// Qt's own dialogs (the open panel, a message's buttons) speak the interface language too.
TEST(LumavaneApp, QtsOwnDialogTextsFollowTheInterfaceLanguage) {
    AppHarness h("library-language");
    const auto dialogTexts = [] {
        QFileDialog panel;
        panel.setOption(QFileDialog::DontUseNativeDialog);
        panel.setFileMode(QFileDialog::ExistingFiles);
        QStringList texts;
        for (QAbstractButton* button : panel.findChild<QDialogButtonBox*>()->buttons()) texts << button->text();
        QMessageBox message;
        message.setStandardButtons(QMessageBox::Cancel);
        texts << message.button(QMessageBox::Cancel)->text();
        return texts;
    };
    const QStringList japanese = dialogTexts();
    EXPECT_TRUE(japanese.contains("開く(&O)")) << japanese.join(" | ").toStdString();
    EXPECT_TRUE(japanese.contains("キャンセル")) << japanese.join(" | ").toStdString();

    h.languages.select("en");
    const QStringList english = dialogTexts();
    EXPECT_TRUE(english.contains("&Open")) << english.join(" | ").toStdString();
    EXPECT_TRUE(english.contains("Cancel")) << english.join(" | ").toStdString();

    EXPECT_EQ(LumavaneApp::libraryTranslationLanguage("ja"), "ja");
}

TEST(LumavaneApp, TheAddButtonAppendsWhatThePanelChoseInItsOrder) {
    test::FakeFileDialogs dialogs;
    AppHarness h("choose", {"lumavane"}, &dialogs);
    h.app->contentView().runInBackground = [](std::function<void()> work) { work(); };
    const fs::path root = h.file.parent_path() / ("lumavane-app-choose-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "shows");
    for (const char* name : {"now.mkv", "z.mp4", "a.mp4", "next.mkv", "shows/Ep10.mkv", "shows/ep2.mp4",
                             "shows/.hidden.mp4", "shows/notes.txt"})
        std::ofstream(root / name) << "x";
    const auto video = [&](const char* name) { return standardizedVideoPath(root / name); };
    PlayerSession& session = h.app->session();
    ASSERT_TRUE(session.appendDroppedVideos({root / "now.mkv"}));
    h.app->show();
    h.app->layout().togglePlaylist(); // the add button stands over the playlist
    auto* add = h.app->layout().toolbar().itemView(id::playlistTitle)->findChild<QAbstractButton*>();
    ASSERT_TRUE(add);
    const auto generation = session.videoGeneration();
    // Only the answer posted back, not the window's paint events: offscreen has no OpenGL to paint
    // the video surface with.
    const auto searched = [] { QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall); };

    dialogs.items.push_back({root / "z.mp4", root / "shows", root / "a.mp4"});
    add->click();
    searched(); // the folder search's answer
    ASSERT_EQ(dialogs.itemRequests.size(), 1u);
    EXPECT_EQ(dialogs.itemRequests[0].title, "動画またはフォルダを選択");
    EXPECT_EQ(session.playlist(), (std::vector<fs::path>{video("now.mkv"), video("z.mp4"), video("shows/ep2.mp4"),
                                                         video("shows/Ep10.mkv"), video("a.mp4")}));
    // Appending opens and stops nothing.
    EXPECT_EQ(session.videoGeneration(), generation);
    EXPECT_EQ(session.currentVideoURL(), std::nullopt);

    // Cancelling changes nothing; nothing playable gives the message and keeps the playlist.
    add->click();
    dialogs.items.push_back({root / "shows" / "notes.txt"});
    add->click();
    searched();
    EXPECT_EQ(session.message(), "再生可能な動画が見つかりませんでした。");
    EXPECT_EQ(session.playlist().size(), 5u);

    // The open command asks the same panel, in the chosen language, and replaces the playlist.
    h.languages.select("en");
    dialogs.items.push_back({root / "next.mkv"});
    h.app->commands().openVideoAction()->trigger();
    searched();
    EXPECT_EQ(dialogs.itemRequests.back().title, "Choose Videos or Folders");
    EXPECT_EQ(session.playlist(), std::vector<fs::path>{video("next.mkv")});
    EXPECT_EQ(session.currentVideoURL(), video("next.mkv"));
    session.stopPlayback();
    fs::remove_all(root);
}

TEST(LumavaneApp, ClosingTheWindowQuitsAfterSavingItsFrame) {
    AppHarness h("close");
    h.app->show();
    h.app->window().setGeometry(120, 80, 1300, 800);
    h.app->window().close();
    ASSERT_EQ(h.quitCalls.size(), 1u);
    EXPECT_TRUE(h.quitCalls[0].starts_with("120 80 1300 800 ")) << "saved to disk before quitting: " << h.quitCalls[0];
}

TEST(LumavaneApp, LaunchOptionsRunOnceAndReopenIsPosted) {
    AppHarness h("launch", {"lumavane", "--video", "/v.mp4", "--video", "/w.mp4"});
    std::vector<std::string> opened;
    h.app->launchActions.loadVideo = [&](const fs::path& p) { opened.push_back(p.string()); };
    h.app->show();
    h.app->window().showMinimized();
    std::vector<QWidget*> reopened;
    Connection c = LumavaneApp::windowDidReopen().connect([&](QWidget* w) { reopened.push_back(w); });
    h.app->reopen();
    h.app->show();
    EXPECT_EQ(opened, std::vector<std::string>{"/v.mp4"});
    EXPECT_EQ(reopened, std::vector<QWidget*>{&h.app->window()});
    EXPECT_FALSE(h.app->window().isMinimized());
}

TEST(LumavaneApp, ALaterLaunchOpensItsModelAndVideoAndRaisesTheWindow) {
    AppHarness h("later");
    std::vector<std::string> calls;
    h.app->launchActions = {[&](const fs::path& p) { calls.push_back("model " + p.string()); },
                            [&] { calls.push_back("bundled"); },
                            [&](const fs::path& p) { calls.push_back("video " + p.string()); }};
    h.app->show();
    h.app->window().showMinimized();
    std::vector<QWidget*> reopened;
    Connection c = LumavaneApp::windowDidReopen().connect([&](QWidget* w) { reopened.push_back(w); });
    h.app->openLaunch({fs::path("/m.zip"), fs::path("/v.mkv")});
    h.app->openLaunch({std::nullopt, fs::path("/w.mkv")});
    h.app->openLaunch({});
    EXPECT_EQ(calls, (std::vector<std::string>{"bundled", "model /m.zip", "video /v.mkv", "video /w.mkv"}))
        << "without a model of its own a later launch keeps the model in use";
    EXPECT_EQ(reopened.size(), 3u);
    EXPECT_FALSE(h.app->window().isMinimized());
}

} // namespace
} // namespace lumavane
