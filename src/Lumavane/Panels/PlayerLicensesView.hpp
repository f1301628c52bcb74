#pragma once

#include <QWidget>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QStackedWidget;

namespace lumavane {

// One licence text kept among the resources.
struct PlayerLicenseDocument {
    std::string title; // also the key it is looked up by
    std::filesystem::path url;

    friend bool operator==(const PlayerLicenseDocument&, const PlayerLicenseDocument&) = default;

    // The texts present, in a fixed order: the licence agreement
    // (Lumavane_Lumavane.bundle/Licenses/Lumavane-EULA.txt), the third-party notices
    // (THIRD_PARTY_NOTICES.md), then the component texts under Licenses in the order of what we
    // ship and link. Missing files are skipped.
    static std::vector<PlayerLicenseDocument> available(const std::filesystem::path& resources);
    // available() of the application's resources, built once per process.
    static const std::vector<PlayerLicenseDocument>& shipped();

    // The file as strict UTF-8; nothing when it cannot be read or is not valid UTF-8.
    static std::optional<std::string> readText(const std::filesystem::path& file);
    // The text, or the looked-up "ライセンス本文を読み込めませんでした。".
    std::string contents() const;
};

// The licences tab: the list of documents and the selected text.
class PlayerLicensesView final : public QWidget {
    Q_OBJECT
public:
    explicit PlayerLicensesView(std::vector<PlayerLicenseDocument> documents = PlayerLicenseDocument::shipped(),
                                QWidget* parent = nullptr);

    const std::vector<PlayerLicenseDocument>& documents() const { return documents_; }
    std::optional<PlayerLicenseDocument> selection() const;
    // -1: nothing.
    void select(int row);
    // Titles looked up again; the text read again.
    void relabel();
    QString shownText() const;

private:
    void showSelection();

    std::vector<PlayerLicenseDocument> documents_;
    QListWidget* list_ = nullptr;
    QStackedWidget* pane_ = nullptr;
    QLabel* title_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QLabel* placeholder_ = nullptr;
};

} // namespace lumavane
