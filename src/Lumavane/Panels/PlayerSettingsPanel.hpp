#pragma once

#include "Lumavane/Localization/AppLanguage.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QAbstractButton;

class QStackedWidget;

namespace lumavane {

class AppLanguageStore;
class FileDialogs;
class LanguagePackStore;
class PlayerLicensesView;
class PlayerSession;

// The settings sheet: five tabs over settings kept in the defaults store. Every control writes
// its key the moment it changes and follows writes made elsewhere; nothing is applied on close.
// Controls are named after their settings ("subtitleFontSize") so they can be found.
class PlayerSettingsPanel final : public QDialog {
    Q_OBJECT
public:
    enum class Tab { general, subtitles, capture, about, licenses };
    static const std::vector<Tab>& allTabs();

    struct Dependencies {
        DefaultsStore defaults = DefaultsStore::standard();
        AppLanguageStore* languages = nullptr; // default: the shared store
        LanguagePackStore* packs = nullptr;    // default: the shared store
        FileDialogs* fileDialogs = nullptr;    // default: Qt's dialogs
        // The diagnostics report copied by the about tab.
        std::function<std::string()> diagnostics;
        // The licence viewer's documents; default: the shipped ones.
        std::optional<std::filesystem::path> licenseResources;
    };

    // How long the "copied" mark stays after the last copy.
    static constexpr int copiedMarkMilliseconds = 2000;

    explicit PlayerSettingsPanel(Dependencies dependencies, QWidget* parent = nullptr);
    ~PlayerSettingsPanel() override;

    // The application's sheet over the window: one at a time, window-modal, deleted on close.
    static PlayerSettingsPanel* present(PlayerSession& session, QWidget* window);
    // The report of the session's state and this machine.
    static std::string sessionDiagnostics(const PlayerSession& session);

    Tab selectedTab() const noexcept { return selectedTab_; }
    void selectTab(Tab tab);
    QAbstractButton* tabButton(Tab tab) const;

    // Every label looked up again in the stored language.
    void relabel();

    // General tab.
    void chooseLanguagePack();
    void removeLanguage(const AppLanguage& language);
    // About tab.
    void copyDiagnostics();
    bool diagnosticsCopied() const noexcept { return diagnosticsCopied_; }
    QTimer& copiedMarkTimer() noexcept { return copiedMarkTimer_; }
    static std::string appVersion();
    // Capture tab.
    void chooseCaptureDirectory();
    // Why a folder cannot take captures (looked-up text), nothing when it can.
    static std::optional<std::string> captureFolderProblem(const std::filesystem::path& folder);
    // Subtitles tab: the five subtitle settings back to their defaults.
    void resetSubtitleSettings();

    // The panel's alert while it is up (language packs, capture folder).
    QMessageBox* alert() const { return alert_; }
    PlayerLicensesView* licensesView() const { return licenses_; }

    // The readouts' texts: 0.15 -> "15%", 40 -> "40 pt".
    static QString percentText(double value);
    static QString pointText(double value);

private:
    struct Binding;
    using Text = std::string (*)();

    QWidget* buildHeader();
    QWidget* buildGeneral();
    QWidget* buildSubtitles();
    QWidget* buildCapture();
    QWidget* buildAbout();
    QWidget* scrolled(QWidget* content);
    QWidget* transparencyControl(Text title, const char* key, double fallback);

    // Keeps `apply` run with the key's value now and after every change.
    void follow(const std::string& key, std::function<void()> apply);
    void labelled(std::function<void()> relabel);
    void showAlert(const std::string& title, const std::string& message);
    void rebuildLanguageMenu();
    void refreshSubtitlePreview();
    void refreshCopyButton();

    DefaultsStore defaults_;
    AppLanguageStore& languages_;
    LanguagePackStore& packs_;
    FileDialogs& fileDialogs_;
    std::function<std::string()> diagnostics_;
    std::optional<std::filesystem::path> licenseResources_;

    Tab selectedTab_ = Tab::general;
    bool diagnosticsCopied_ = false;
    QTimer copiedMarkTimer_;
    std::vector<QAbstractButton*> tabButtons_;
    QStackedWidget* pages_ = nullptr;
    PlayerLicensesView* licenses_ = nullptr;
    QPointer<QMessageBox> alert_;
    std::vector<std::function<void()>> relabels_;
    std::vector<std::function<void()>> refreshes_;
    std::vector<Connection> connections_;
    std::function<void()> refreshLanguageRow_;
    std::function<void()> refreshPreview_;
    std::function<void()> refreshCopy_;
};

} // namespace lumavane
