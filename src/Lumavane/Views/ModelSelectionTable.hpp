#pragma once

#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QColor>
#include <QIcon>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumavane {

class PlayerSession;

// What one card of the model table shows, worked out from the session alone.
struct ModelCard {
    enum class Kind { shipped, series, standalone };
    Kind kind = Kind::shipped;
    std::string title;    // shipped and series: the manifest's name; standalone: the file name without extension
    std::string subtitle; // the author, or "カスタムモデル" (looked up)
    std::string category; // looked up; empty for standalone files
    bool selected = false;
    bool enabled = true; // the card's own button
    std::string seriesID;
    std::filesystem::path url; // standalone cards
    // Offered only while a series card is selected and has two or more variants: (id, name).
    std::vector<std::pair<std::string, std::string>> variants;
    std::string variantID; // the variant the picker shows
    bool operator==(const ModelCard&) const = default;
};

// "アニメ", "実写" or "汎用" (looked up); no manifest is "汎用".
std::string modelCategoryLabel(const ModelSeriesManifest* manifest);
// The variant whose file is the model in use, both sides resolved (a series reached through a
// linked folder still matches); the first variant when none is; empty without variants.
std::string shownVariantID(const ImportedModelSeries& series, const std::optional<std::filesystem::path>& modelURL);
// The shipped card, then one card per imported series, then one per standalone model.
std::vector<ModelCard> modelCards(const PlayerSession& session);

// The enhancement card's model choice: one card per model, the one in use drawn selected.
// Rebuilt whenever a session property it shows is published.
class ModelSelectionTable final : public QWidget {
    Q_OBJECT
public:
    ModelSelectionTable(PlayerSession& session, std::function<QIcon(const QString&)> symbolIcon,
                        QWidget* parent = nullptr);

    const std::vector<ModelCard>& cards() const { return cards_; }
    // The card widgets in order (object name "modelCard").
    std::vector<QWidget*> cardWidgets() const;
    void rebuild();

    // A details button: the series' id (none for the shipped card) or the standalone file.
    std::function<void(std::optional<std::string> seriesID, std::optional<std::filesystem::path> standaloneURL)>
        showDetails;

private:
    QWidget* makeCard(const ModelCard& card, bool detailsEnabled);
    void choose(const ModelCard& card);

    PlayerSession& session_;
    std::function<QIcon(const QString&)> symbolIcon_;
    std::vector<ModelCard> cards_;
    bool built_ = false;
    bool detailsEnabled_ = true;
    std::optional<BundledModelPreset> shownPreset_;
    bool presetEnabled_ = false;
    std::vector<Connection> connections_;
};

} // namespace lumavane
