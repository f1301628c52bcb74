#pragma once

#include "Lumavane/App/LaunchOptions.hpp"
#include "Lumavane/Views/TransportBar.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTranslator;
class QWidget;

namespace lumavane {

class AppLanguageStore;
class ContentView;
class FileDialogs;
class PlayerCommands;
class PlayerSession;
class PlayerSplitLayout;
class PlayerWindow;
class PlayerWindowLifecycle;
class QtMainExecutor;
class VideoSurfaceWidget;

// The application: the one player session, the player window with its split layout, toolbar
// and menu commands, the launch options (once per process) and bringing the window back.
class LumavaneApp final : public QObject {
    Q_OBJECT
public:
    struct Options {
        DefaultsStore preferences = DefaultsStore::standard();
        std::vector<std::string> arguments; // with the program path first
        PlayerWindowLifecycle* windowLifecycle = nullptr; // default: the shared one
        AppLanguageStore* languages = nullptr;            // default: the shared one
        std::function<void()> quit;                       // default: QCoreApplication::quit
        FileDialogs* fileDialogs = nullptr;               // default: Qt's dialogs
    };

    // The least width of the seek bar: the video pane, and with it the window, is kept wide
    // enough for its transport bar to show every control and a seek bar this wide (the bar's
    // own minimum, which the pane's size hint carries).
    static constexpr int usableSeekBarWidth = TransportBar::minimumSeekWidth;

    explicit LumavaneApp(Options options);
    ~LumavaneApp() override;

    // "Lumavane.windowDidReopen": the player window came back (a second launch asked for it).
    static Signal<QWidget*>& windowDidReopen();

    // Runs the launch options (the first time only), then shows the window.
    void show();
    // De-minimizes, shows and raises the window and activates it, or the sheet or alert open over
    // it (which keeps the keyboard), then posts windowDidReopen.
    void reopen();
    // A later launch's options, handed over by that process: the model starts loading and the
    // video opens as this launch's own options would (without "--model" the model in use
    // stays), and the window comes back to the front.
    void openLaunch(const LaunchOptions& options);
    // Stops the open video (which writes its history entry) and saves the window frame.
    void saveBeforeQuit();

    PlayerWindow& window() { return *window_; }
    PlayerSplitLayout& layout() { return *layout_; }
    PlayerCommands& commands() { return *commands_; }
    PlayerSession& session() { return *session_; }
    VideoSurfaceWidget& videoSurface() { return *surface_; }
    ContentView& contentView() { return *content_; }
    bool showsSettings() const { return showsSettings_; }
    const LaunchOptionsTask& launchTask() const { return launchTask_; }

    // What the launch options call in the session (the video opens through the session's
    // loadVideo unless replaced).
    LaunchActions launchActions;
    // The open panel (the open command and buttons, and the playlist's add button): the chosen
    // videos replace the playlist and the first opens, or with appendOnly they are appended.
    std::function<void(bool appendOnly)> openVideo;
    // What the settings command shows (the settings panel, set by the program).
    std::function<void()> openSettings;

    // The language Qt's own dialogs and buttons speak (Qt's translations for the interface
    // language; none for English).
    static std::string libraryTranslationLanguage(const std::string& selectedLanguageID);

private:
    void languageChanged();
    void installLibraryTranslation();

    DefaultsStore preferences_;
    std::vector<std::string> arguments_;
    PlayerWindowLifecycle& windowLifecycle_;
    AppLanguageStore& languages_;
    std::function<void()> quit_;
    FileDialogs& fileDialogs_;
    std::unique_ptr<QtMainExecutor> executor_;
    std::unique_ptr<QObject> executorContext_;
    std::unique_ptr<PlayerSession> session_;
    PlayerWindow* window_ = nullptr;
    PlayerSplitLayout* layout_ = nullptr;
    VideoSurfaceWidget* surface_ = nullptr;
    std::unique_ptr<ContentView> content_;
    PlayerCommands* commands_ = nullptr;
    LaunchOptionsTask launchTask_;
    bool showsSettings_ = false;
    std::unique_ptr<QTranslator> libraryTranslator_;
    std::string libraryTranslationFor_; // the selected language it was installed for
    Connection languageConnection_;
    Connection reopenConnection_;
};

} // namespace lumavane
