#include "Lumavane/Views/ModelSelectionTable.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Session/SameFile.hpp"
#include "Lumavane/Views/ButtonStyles.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"

#include <QAbstractButton>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QTimer>
#include <QVBoxLayout>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

QString q(const std::string& text) { return QString::fromStdString(text); }

QLabel* categoryBadge(const std::string& text, QWidget* parent) {
    auto* badge = faceLabel(q(text), 10, QFont::Normal, true, parent);
    badge->setObjectName("categoryBadge");
    badge->setContentsMargins(7, 3, 7, 3);
    badge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    badge->setMinimumWidth(badge->sizeHint().width());
    badge->setStyleSheet("QLabel#categoryBadge { background: rgba(255,255,255,15); border-radius: 9px; }");
    return badge;
}

// Keeps a card's category badge beside its names while the title's longest word still fits next
// to it, and moves it under them when the pane is too narrow for that (a word cut in two reads
// worse than a badge on a line of its own).
class BadgePlacement final : public QObject {
public:
    BadgePlacement(QLabel* title, QLabel* badge, QBoxLayout* beside, int besideIndex, int spacing, QBoxLayout* under)
        : QObject(title), title_(title), badge_(badge), beside_(beside), under_(under), besideIndex_(besideIndex),
          spacing_(spacing) {
        title->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        // Placed after the layout has settled: moving the badge inside the resize would re-enter it.
        if (event->type() == QEvent::Resize) QTimer::singleShot(0, this, [this] { place(); });
        return false;
    }

private:
    int longestWord() const {
        const QFontMetrics metrics(title_->font());
        int widest = 0;
        for (const QString& word : title_->text().split(' ', Qt::SkipEmptyParts))
            widest = std::max(widest, metrics.horizontalAdvance(word));
        return widest;
    }

    void place() {
        const bool isBeside = beside_->indexOf(badge_) >= 0;
        const int besideRoom = title_->width() - (isBeside ? 0 : badge_->sizeHint().width() + spacing_);
        const bool wantBeside = besideRoom >= longestWord();
        if (wantBeside == isBeside) return;
        if (wantBeside) {
            under_->removeWidget(badge_);
            beside_->insertWidget(besideIndex_, badge_, 0, Qt::AlignVCenter);
        } else {
            beside_->removeWidget(badge_);
            under_->addWidget(badge_, 0, Qt::AlignLeft);
        }
    }

    QLabel* title_;
    QLabel* badge_;
    QBoxLayout* beside_;
    QBoxLayout* under_;
    int besideIndex_;
    int spacing_;
};

} // namespace

std::string modelCategoryLabel(const ModelSeriesManifest* manifest) {
    if (manifest && manifest->category == "anime") return AppLocalization::string("アニメ");
    if (manifest && manifest->category == "live-action") return AppLocalization::string("実写");
    return AppLocalization::string("汎用");
}

std::string shownVariantID(const ImportedModelSeries& series, const std::optional<fs::path>& modelURL) {
    const auto& variants = series.manifest.variants;
    if (variants.empty()) return {};
    if (modelURL) {
        const fs::path folder = series.manifestURL.parent_path();
        for (const auto& variant : variants) {
            if (sameFile(folder / variant.path, *modelURL)) return variant.id;
        }
    }
    return variants.front().id;
}

std::vector<ModelCard> modelCards(const PlayerSession& session) {
    const std::optional<fs::path>& inUse = session.customModelURL();
    std::vector<ModelCard> cards;
    const auto& manifest = session.bundledModelManifest();
    cards.push_back({.kind = ModelCard::Kind::shipped,
                     .title = manifest ? manifest->name : AppLocalization::string("モデル未選択"),
                     .subtitle = manifest ? manifest->author.name : "—",
                     .category = modelCategoryLabel(manifest ? &*manifest : nullptr),
                     .selected = !inUse,
                     .enabled = !session.bundledModelURLs().empty()});
    for (const ImportedModelSeries& series : session.importedModelSeries()) {
        ModelCard card{.kind = ModelCard::Kind::series,
                       .title = series.manifest.name,
                       .subtitle = series.manifest.author.name,
                       .category = modelCategoryLabel(&series.manifest),
                       .selected = series.contains(inUse),
                       .seriesID = series.id()};
        if (card.selected && series.manifest.variants.size() >= 2) {
            for (const auto& variant : series.manifest.variants) card.variants.emplace_back(variant.id, variant.name);
            card.variantID = shownVariantID(series, inUse);
        }
        cards.push_back(std::move(card));
    }
    for (const fs::path& url : session.standaloneModelURLs()) {
        cards.push_back({.kind = ModelCard::Kind::standalone,
                         .title = url.stem().string(),
                         .subtitle = AppLocalization::string("カスタムモデル"),
                         .selected = inUse && *inUse == url,
                         .url = url});
    }
    return cards;
}

ModelSelectionTable::ModelSelectionTable(PlayerSession& session, std::function<QIcon(const QString&)> symbolIcon,
                                         QWidget* parent)
    : QWidget(parent), session_(session), symbolIcon_(std::move(symbolIcon)) {
    setObjectName("modelSelectionTable");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    const auto again = [this](const auto&) { rebuild(); };
    connections_.push_back(session.customModelURL.observe(again));
    connections_.push_back(session.recentModelURLs.observe(again));
    connections_.push_back(session.importedModelSeries.observe(again));
    connections_.push_back(session.bundledModelManifest.observe(again));
    connections_.push_back(session.bundledModelPreset.observe(again));
    connections_.push_back(session.hasBundledModelChoices.observe(again));
    connections_.push_back(session.benchmarkRunning.observe(again));
    connections_.push_back(session.modelBenchmarkRunningKey.observe(again));
    connections_.push_back(session.loadingModel.observe(again));
    rebuild();
}

std::vector<QWidget*> ModelSelectionTable::cardWidgets() const {
    std::vector<QWidget*> widgets;
    for (int i = 0; i < layout()->count(); ++i) {
        if (QWidget* card = layout()->itemAt(i)->widget()) widgets.push_back(card);
    }
    return widgets;
}

void ModelSelectionTable::rebuild() {
    std::vector<ModelCard> cards = modelCards(session_);
    const bool detailsEnabled = !session_.benchmarkRunning() && !session_.modelBenchmarkRunningKey();
    const BundledModelPreset preset = session_.bundledModelPreset();
    const bool presetEnabled = session_.hasBundledModelChoices();
    // Only a real change rebuilds, so hover and an open picker survive unrelated publications.
    if (built_ && cards == cards_ && detailsEnabled == detailsEnabled_ && shownPreset_ == preset &&
        presetEnabled == presetEnabled_)
        return;
    built_ = true;
    cards_ = std::move(cards);
    detailsEnabled_ = detailsEnabled;
    shownPreset_ = preset;
    presetEnabled_ = presetEnabled;
    // A card may be rebuilt from inside its own click: the old widgets go after the event.
    while (QLayoutItem* item = layout()->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->hide(), widget->deleteLater();
        delete item;
    }
    for (const ModelCard& card : cards_) layout()->addWidget(makeCard(card, detailsEnabled));
}

QWidget* ModelSelectionTable::makeCard(const ModelCard& card, bool detailsEnabled) {
    auto* frame = new HoverFrame(ButtonStyle::modelCard, card.selected, this);
    frame->setObjectName("modelCard");
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(card.kind == ModelCard::Kind::standalone ? 10 : 12);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    column->addLayout(row);

    auto* button = new PlainButton(frame);
    button->setObjectName("cardButton");
    // As tall as its wrapped names need (a button's own policy keeps it one line high).
    button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    button->setEnabled(card.enabled);
    button->setAccessibleName(q(card.title));
    button->setProperty("selected", card.selected);
    auto* face = new QHBoxLayout(button);
    face->setContentsMargins(0, 0, 0, 0);
    face->setSpacing(8);
    auto* names = new QVBoxLayout;
    names->setSpacing(card.kind == ModelCard::Kind::standalone ? 5 : 4);
    // The pane is narrow and a badge and a button share the row: names wrap onto further lines
    // rather than losing their middle.
    auto* title = faceLabel(q(card.title), card.kind == ModelCard::Kind::standalone ? 11 : 12,
                            card.kind == ModelCard::Kind::standalone ? QFont::Medium : QFont::DemiBold, false, button);
    title->setObjectName("cardTitle");
    auto* subtitle = faceLabel(q(card.subtitle), 10, QFont::Normal, true, button);
    subtitle->setObjectName("cardSubtitle");
    for (QLabel* name : {title, subtitle}) {
        name->setTextFormat(Qt::PlainText);
        name->setWordWrap(true);
        names->addWidget(name);
    }
    face->addLayout(names, 1);
    if (card.kind == ModelCard::Kind::shipped) {
        button->setMinimumHeight(34);
        QLabel* badge = categoryBadge(card.category, button);
        face->addWidget(badge, 0, Qt::AlignVCenter);
        new BadgePlacement(title, badge, face, 1, face->spacing(), names);
    }
    row->addWidget(button, 1);
    if (card.kind == ModelCard::Kind::series) {
        QLabel* badge = categoryBadge(card.category, frame);
        row->addWidget(badge, 0, Qt::AlignVCenter);
        new BadgePlacement(title, badge, row, 1, row->spacing(), names);
    }
    QObject::connect(button, &QAbstractButton::clicked, this, [this, card] { choose(card); });

    auto* details = new StyledButton(ButtonStyle::accentIcon, frame);
    details->setObjectName("detailsButton");
    details->setAccent(ContentView::accent());
    details->setProperty(symbolProperty, QString("info.circle"));
    if (symbolIcon_) details->setIcon(symbolIcon_("info.circle"));
    details->setFixedSize(24, 28);
    details->setToolTip(q(AppLocalization::string("モデル詳細")));
    details->setAccessibleName(q(AppLocalization::string("モデル詳細")));
    details->setEnabled(detailsEnabled);
    QObject::connect(details, &QAbstractButton::clicked, this, [this, card] {
        if (!showDetails) return;
        if (card.kind == ModelCard::Kind::standalone) showDetails(std::nullopt, card.url);
        else showDetails(card.kind == ModelCard::Kind::series ? std::optional(card.seriesID) : std::nullopt, std::nullopt);
    });
    row->addWidget(details);

    if (!card.selected) return frame;
    if (card.kind == ModelCard::Kind::shipped) {
        auto* presets = new HoverSegments(frame);
        presets->setObjectName("presetControl");
        presets->setTitles({AppLocalization::string("AUTO"), AppLocalization::string("高速"),
                            AppLocalization::string("高画質")});
        presets->setSelectedIndex(int(session_.bundledModelPreset()));
        presets->setAccessibleName(q(AppLocalization::string("処理モード")));
        presets->setEnabled(session_.hasBundledModelChoices());
        presets->chosen = [this](int index) { session_.setBundledModel(BundledModelPreset(index)); };
        column->addWidget(presets);
    } else if (card.kind == ModelCard::Kind::series && !card.variants.empty()) {
        auto* picker = new QComboBox(frame);
        picker->setObjectName("variantPicker");
        picker->setAccessibleName(q(AppLocalization::string("モデル")));
        for (const auto& [id, name] : card.variants) picker->addItem(q(name), q(id));
        picker->setCurrentIndex(picker->findData(q(card.variantID)));
        QObject::connect(picker, &QComboBox::activated, this, [this, picker, id = card.seriesID](int index) {
            const std::string variant = picker->itemData(index).toString().toStdString();
            for (const ImportedModelSeries& series : session_.importedModelSeries()) {
                if (series.id() == id) return session_.selectModelSeries(series, variant, false);
            }
        });
        column->addWidget(picker);
    } else if (card.kind == ModelCard::Kind::standalone) {
        auto* note = faceLabel(q(AppLocalization::string("このモデルを固定使用中（処理モードの自動切り替えは停止）")), 10,
                           QFont::Normal, true, frame);
        note->setObjectName("fixedModelNote");
        note->setWordWrap(true);
        column->addWidget(note);
    }
    return frame;
}

void ModelSelectionTable::choose(const ModelCard& card) {
    switch (card.kind) {
    case ModelCard::Kind::shipped:
        if (!card.selected) session_.useDefaultModel();
        return;
    case ModelCard::Kind::series:
        for (const ImportedModelSeries& series : session_.importedModelSeries()) {
            if (series.id() == card.seriesID) return session_.selectModelSeries(series, std::nullopt, false);
        }
        return;
    case ModelCard::Kind::standalone:
        session_.loadModel(card.url, false, std::nullopt, std::nullopt, false, {});
        return;
    }
}

} // namespace lumavane
