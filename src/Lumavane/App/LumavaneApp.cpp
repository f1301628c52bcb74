#include "Lumavane/App/LumavaneApp.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Style/LumavaneBrandAssets.hpp"
#include "Lumavane/App/PlayerCommands.hpp"
#include "Lumavane/App/PlayerSplitLayout.hpp"
#include "Lumavane/App/PlayerWindow.hpp"
#include "Lumavane/App/PlayerWindowLifecycle.hpp"
#include "Lumavane/App/VideoFullscreenTransition.hpp"
#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Panels/FileDialogs.hpp"
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Lumavane/Presentation/VideoSurfaceWidget.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/PlaylistView.hpp"
#include "Lumavane/Views/SidebarView.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <iostream>

namespace lumavane {
namespace {

constexpr const char* showsPlaylistKey = "player.showsPlaylist";

} // namespace

Signal<QWidget*>& LumavaneApp::windowDidReopen() {
    static Signal<QWidget*> signal;
    return signal;
}

LumavaneApp::LumavaneApp(Options options)
    : preferences_(std::move(options.preferences)), arguments_(std::move(options.arguments)),
      windowLifecycle_(options.windowLifecycle ? *options.windowLifecycle : PlayerWindowLifecycle::shared()),
      languages_(options.languages ? *options.languages : AppLanguageStore::shared()),
      quit_(options.quit ? std::move(options.quit) : [] { QCoreApplication::quit(); }),
      fileDialogs_(options.fileDialogs ? *options.fileDialogs : FileDialogs::qt()) {
    executorContext_ = std::make_unique<QObject>();
    executor_ = std::make_unique<QtMainExecutor>(executorContext_.get());
    PlayerSession::Options sessionOptions;
    sessionOptions.preferences = preferences_;
    sessionOptions.executor = executor_.get();
    sessionOptions.localize = [](const std::string& key) { return AppLocalization::string(key); };
    session_ = std::make_unique<PlayerSession>(std::move(sessionOptions));
    openVideo = [this](bool appendOnly) {
        fileDialogs_.chooseItems(window_, videoOpenPanelRequest(), [this, appendOnly](auto chosen) {
            if (chosen.empty()) return; // cancelled
            content_->findVideos(std::move(chosen), [this, appendOnly](std::vector<std::filesystem::path> videos) {
                session_->chooseVideos(videos, appendOnly);
            });
        });
    };
    launchActions.loadModel = [this](const std::filesystem::path& path) { session_->requestModelLoad(path); };
    launchActions.loadBundledModelIfAvailable = [this] { session_->loadBundledModelIfAvailable(); };
    launchActions.loadVideo = [this](const std::filesystem::path& path) { session_->loadVideo(path); };

    window_ = new PlayerWindow;
    surface_ = new VideoSurfaceWidget(VideoSurfaceWidget::inWindowDependencies());
    surface_->setObjectName("videoSurface");
    ContentView::Options contentOptions;
    contentOptions.preferences = preferences_;
    contentOptions.surface = surface_;
    contentOptions.symbolIcon = [](const QString& symbol) { return symbolIcon(symbol); };
    content_ = std::make_unique<ContentView>(*session_, std::move(contentOptions));
    auto* sidebar = new SidebarView(*session_, {preferences_, &symbolIcon, LumavaneBrandAssets::sidebarIcon()});
    sidebar->chooseVideos = [this] { openVideo(false); };
    sidebar->showSettings = [this] {
        showsSettings_ = true;
        if (openSettings) openSettings();
    };
    sidebar->showModelImport = [this] { content_->setShowsModelImport(true); };
    sidebar->showBenchmark = [this](auto series, auto url) { content_->showBenchmark(std::move(series), std::move(url)); };
    auto* playlist = new PlaylistView(*session_, {preferences_, &symbolIcon});
    playlist->chooseVideos = [this] { openVideo(false); };
    PlayerSplitLayout::Panes panes{sidebar, content_->videoPane(), playlist, content_->titleView(),
                                   content_->displayModeControl()};
    PlayerSplitLayout::Binding showsPlaylist{
        [preferences = preferences_] { return preferences.boolean(showsPlaylistKey).value_or(false); },
        [preferences = preferences_](bool shown) mutable { preferences.set(showsPlaylistKey, shown); }};
    layout_ = new PlayerSplitLayout(panes, showsPlaylist, preferences_, windowLifecycle_);
    layout_->addVideos = [this] { openVideo(true); };
    window_->setCentralWidget(layout_);
    window_->aboutToClose = [this] { saveBeforeQuit(); };
    window_->quit = [this] { quit_(); };
    // The window reports only the change itself: the main view hears "will" and "did" together.
    window_->fullScreenChanged = [this](bool on) {
        if (on == content_->state().isVideoFullscreen) return;
        if (on) content_->windowWillEnterFullScreen(window_), content_->windowDidEnterFullScreen(window_);
        else content_->windowWillExitFullScreen(window_), content_->windowDidExitFullScreen(window_);
    };
    content_->layoutChanged = [this] { languageChanged(); };
    content_->chooseVideos = [this](bool appendOnly) { openVideo(appendOnly); };
    content_->toggleWindowFullScreen = [this] {
        if (auto* transition = layout_->fullscreenTransition()) transition->toggleFullScreen();
        else if (window_->isFullScreen()) window_->showNormal();
        else window_->showFullScreen();
    };
    content_->windowIsFullScreen = [this] { return window_->isFullScreen(); };

    commands_ = new PlayerCommands(*window_, PlayerCommands::Actions{[this] { openVideo(false); },
                                                                     [this] {
                                                                         showsSettings_ = true;
                                                                         if (openSettings) openSettings();
                                                                     },
                                                                     [this] { window_->close(); }});
    languageConnection_ = languages_.changed().connect([this] { languageChanged(); });
    reopenConnection_ = windowDidReopen().connect([this](QWidget* window) {
        if (window == surface_->window()) surface_->restartDisplayLink();
        content_->windowDidReopen(window);
    });
    languageChanged();
}

LumavaneApp::~LumavaneApp() {
    delete window_;
    content_.reset();
}

std::string LumavaneApp::libraryTranslationLanguage(const std::string& selectedLanguageID) {
    if (selectedLanguageID != "system") return selectedLanguageID;
    return AppLocalization::systemLanguageID(AppLocalization::availableLocalizations(),
                                             AppLocalization::systemLanguagePreferences())
        .value_or("en");
}

// Qt's file dialogs and standard buttons carry texts of their own; without Qt's translations
// they would stay English in a Japanese interface.
// Only when the language changed: the layout changes with every full-screen transition too, and
// a translator installed again sends every widget a language change twice.
void LumavaneApp::installLibraryTranslation() {
    const std::string selected = languages_.selectedLanguageID();
    if (libraryTranslator_ && libraryTranslationFor_ == selected) return;
    libraryTranslationFor_ = selected;
    if (libraryTranslator_) QCoreApplication::removeTranslator(libraryTranslator_.get());
    libraryTranslator_ = std::make_unique<QTranslator>();
    const std::string language = libraryTranslationLanguage(selected);
    // Dates in Qt's lists and ours follow the chosen language; "system" is the user's locale.
    QLocale::setDefault(selected == "system" ? QLocale::system() : QLocale(QString::fromStdString(selected)));
    if (language == "en") return;
    if (libraryTranslator_->load(QLocale(QString::fromStdString(language)), "qtbase", "_",
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(libraryTranslator_.get());
}

void LumavaneApp::languageChanged() {
    installLibraryTranslation();
    commands_->relabel();
    content_->relabel();
    for (auto* sidebar : window_->findChildren<SidebarView*>()) sidebar->relabel();
    for (auto* playlist : window_->findChildren<PlaylistView*>()) playlist->relabel();
    layout_->update(PlayerSplitLayout::State{languages_.selectedLanguageID(), content_->state().isVideoFullscreen,
                                             content_->appearance().interfaceTransparency});
}

void LumavaneApp::show() {
    // The session and the surface's hooks exist: the model and the video start loading while
    // the window is mapped and painted.
    launchTask_.run(LaunchOptions::parse(arguments_), launchActions);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void LumavaneApp::reopen() {
    if (window_->isMinimized()) window_->showNormal();
    window_->setWindowOpacity(1.0);
    window_->show();
    window_->raise();
    // A sheet or alert open over the window keeps the keyboard: activated, the window it blocks
    // would take the focus (the window manager gives it) and the sheet's keys would go nowhere.
    QWidget* front = window_;
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) front = modal;
    front->raise();
    front->activateWindow();
    windowDidReopen().emit(window_);
}

void LumavaneApp::openLaunch(const LaunchOptions& options) {
    reopen();
    if (options.model && launchActions.loadModel) launchActions.loadModel(*options.model);
    if (options.video && launchActions.loadVideo) launchActions.loadVideo(*options.video);
}

void LumavaneApp::saveBeforeQuit() {
    session_->stopPlayback();
    windowLifecycle_.saveFrame();
    try {
        preferences_.synchronize();
    } catch (const std::exception& error) {
        std::cerr << "lumavane: the settings could not be saved: " << error.what() << "\n";
    }
}

} // namespace lumavane
