#pragma once

#include "Lumavane/Session/SessionTypes.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QIcon>
#include <QImage>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QAbstractButton;

class QLabel;
class QVBoxLayout;

namespace lumavane {

class ActivitySpinner;
class HoverSegments;
class ModelSelectionTable;
class PlayerSession;
class StyledButton;
class ToggleSwitch;

// What the model-details row opens for the model in use: the imported series it belongs to
// (symbolic links resolved), else the standalone file; neither for a shipped model.
struct ModelDetailsTarget {
    std::optional<std::string> seriesID;
    std::optional<std::filesystem::path> standaloneURL;
    bool operator==(const ModelDetailsTarget&) const = default;
};
ModelDetailsTarget modelDetailsTarget(const PlayerSession& session);

// The statistics card's rows, (label, value): input, output, speed and, expanded, the details.
std::vector<std::pair<std::string, std::string>> statisticsRows(const PlayerSession& session,
                                                                const PlaybackStatistics& statistics, bool details);

// The player window's left pane: brand header, open button, the enhancement card (switch,
// model table, scale, import and details rows, message) and the statistics card, with the
// settings button at the bottom. Everything it shows is the session's; every action one call.
class SidebarView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 260, idealWidth = 304, maximumWidth = 340;

    struct Options {
        DefaultsStore preferences = DefaultsStore::standard();
        std::function<QIcon(const QString&)> symbolIcon;
        QImage brandIcon;
    };
    SidebarView(PlayerSession& session, Options options, QWidget* parent = nullptr);
    ~SidebarView() override;

    ModelSelectionTable* modelTable() const { return table_; }
    bool showsPlaybackDetails() const { return showsDetails_; }
    void setShowsPlaybackDetails(bool shown);
    // 1 − "player.sidebarTransparency": the opacity of the pane's grey.
    double backgroundOpacity() const;

    // Everything looked up again (a language change) and read from the session again.
    void relabel();

    std::function<void()> chooseVideos;
    std::function<void()> showSettings;
    std::function<void()> showModelImport;
    std::function<void(std::optional<std::string> seriesID, std::optional<std::filesystem::path> standaloneURL)>
        showBenchmark;

    QSize sizeHint() const override { return {idealWidth, 640}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void refreshStatistics();
    // A full-width row (text between a symbol and a trailing chevron) on its plate; returns the
    // row's button.
    QWidget* panelRow(const char* name, const QString& symbol, const QString& trailingSymbol = "chevron.right",
                      QWidget* parent = nullptr);
    void setRow(QAbstractButton* row, const QString& text);

    PlayerSession& session_;
    Options options_;
    bool showsDetails_ = false;
    bool refreshQueued_ = false;
    QLabel* tagline_ = nullptr;
    QAbstractButton* open_ = nullptr;
    ToggleSwitch* enabled_ = nullptr;
    ActivitySpinner* progress_ = nullptr;
    ModelSelectionTable* table_ = nullptr;
    QLabel* scaleTitle_ = nullptr;
    HoverSegments* scales_ = nullptr;
    std::vector<OutputScale> shownScales_;
    QLabel* hint_ = nullptr;
    StyledButton* importRow_ = nullptr;
    QLabel* message_ = nullptr;
    StyledButton* detailsRow_ = nullptr;
    QWidget* statistics_ = nullptr;
    StyledButton* disclosure_ = nullptr;
    QAbstractButton* settings_ = nullptr;
    std::vector<Connection> connections_;
};

} // namespace lumavane
