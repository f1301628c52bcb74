#include "Lumavane/Views/SidebarView.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Style/ToggleSwitch.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/ButtonStyles.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/ModelSelectionTable.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

QString q(const std::string& text) { return QString::fromStdString(text); }

QLabel* secondaryLabel(QWidget* parent, double points) {
    auto* label = new QLabel(parent);
    label->setFont(designFont(points));
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string scaleTitle(OutputScale scale) {
    switch (scale) {
    case OutputScale::optimal: return AppLocalization::string("最適");
    case OutputScale::two: return AppLocalization::string("2×");
    case OutputScale::four: return AppLocalization::string("4×");
    }
    return {};
}

// A card: padded 14, on white at 3.5 % in a 12-point rounded rectangle.
class Card final : public QWidget {
public:
    explicit Card(QWidget* parent) : QWidget(parent) {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(14, 14, 14, 14);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgbF(1, 1, 1, 0.035));
        painter.drawRoundedRect(QRectF(rect()), 12, 12);
    }
};

QVBoxLayout* column(QWidget* card) { return static_cast<QVBoxLayout*>(card->layout()); }

} // namespace

ModelDetailsTarget modelDetailsTarget(const PlayerSession& session) {
    const std::optional<fs::path>& inUse = session.customModelURL();
    if (!inUse) return {};
    for (const ImportedModelSeries& series : session.importedModelSeries()) {
        if (series.contains(inUse)) return {series.id(), std::nullopt};
    }
    return {std::nullopt, inUse};
}

std::vector<std::pair<std::string, std::string>> statisticsRows(const PlayerSession& session,
                                                                const PlaybackStatistics& s, bool details) {
    std::vector<std::pair<std::string, std::string>> rows{
        // The session keeps its placeholders in the source language ("読み込み中…"); sizes and
        // dashes have no entry and come back unchanged.
        {AppLocalization::string("入力"), AppLocalization::string(session.resolution())},
        {AppLocalization::string("出力"), AppLocalization::string(session.outputResolution())},
        {AppLocalization::string("処理速度"), s.enhancedFPS > 0 ? formatted("%.1f fps", s.enhancedFPS) : "—"}};
    if (!details) return rows;
    rows.emplace_back(AppLocalization::string("フレーム処理"),
                      s.processingMS > 0 ? formatted("%.1f ms", s.processingMS) : "—");
    rows.emplace_back(AppLocalization::string("映像の遅延"), formatted("%.0f ms", s.frameAgeMS));
    rows.emplace_back(AppLocalization::string("表示GPU"), s.displayGPUms > 0 ? formatted("%.2f ms", s.displayGPUms) : "—");
    rows.emplace_back(AppLocalization::string("タイル数"), s.tiles >= 1 ? std::to_string(s.tiles) : "—");
    return rows;
}

SidebarView::SidebarView(PlayerSession& session, Options options, QWidget* parent)
    : QWidget(parent), session_(session), options_(std::move(options)) {
    setObjectName("sidebar");
    setMinimumWidth(minimumWidth);
    setMaximumWidth(maximumWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    // Header and the open card.
    auto* top = new QVBoxLayout;
    top->setContentsMargins(20, 20, 20, 16);
    top->setSpacing(24);
    outer->addLayout(top);
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* brand = new QLabel(this);
    brand->setObjectName("brandIcon");
    brand->setFixedSize(44, 44);
    if (!options_.brandIcon.isNull())
        brand->setPixmap(QPixmap::fromImage(options_.brandIcon.scaled(88, 88, Qt::KeepAspectRatio, Qt::SmoothTransformation))
                             .scaled(44, 44, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    header->addWidget(brand);
    auto* names = new QVBoxLayout;
    names->setSpacing(3);
    auto* product = new QLabel(q(AppLocalization::string("Lumavane")), this);
    product->setObjectName("productName");
    product->setFont(designFont(17, QFont::Bold));
    names->addWidget(product);
    tagline_ = secondaryLabel(this, 10);
    tagline_->setObjectName("tagline");
    names->addWidget(tagline_);
    header->addLayout(names, 1);
    top->addLayout(header);
    auto* openCard = new Card(this);
    auto* open = new QPushButton(openCard);
    open->setObjectName("openVideo");
    open->setMinimumHeight(32);
    open->setProperty(symbolProperty, QString("folder"));
    if (options_.symbolIcon) open->setIcon(options_.symbolIcon("folder"));
    QObject::connect(open, &QPushButton::clicked, this, [this] {
        if (chooseVideos) chooseVideos();
    });
    open_ = open;
    column(openCard)->addWidget(open);
    top->addWidget(openCard);

    // The scrolling cards.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("sidebarScroll");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget;
    content->setAutoFillBackground(false);
    auto* cards = new QVBoxLayout(content);
    cards->setContentsMargins(20, 0, 20, 20);
    cards->setSpacing(16);
    // The cards follow the pane's width: long names wrap or elide instead of running off the edge.
    cards->setSizeConstraint(QLayout::SetNoConstraint);
    content->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);

    auto* enhancement = new Card(content);
    enhancement->setObjectName("enhancementCard");
    column(enhancement)->setSpacing(16);
    auto* switchRow = new QHBoxLayout;
    switchRow->setSpacing(8);
    enabled_ = new ToggleSwitch(enhancement);
    enabled_->setObjectName("enhancementSwitch");
    enabled_->setTint(ContentView::accent());
    enabled_->setFont(designFont(13, QFont::DemiBold));
    enabled_->setProperty(symbolProperty, QString("sparkles"));
    if (options_.symbolIcon) enabled_->setIcon(options_.symbolIcon("sparkles"));
    QObject::connect(enabled_, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != session_.enabled()) session_.setEnabled(on);
    });
    switchRow->addWidget(enabled_);
    switchRow->addStretch(1);
    progress_ = new ActivitySpinner(enhancement);
    progress_->setObjectName("modelProgress");
    switchRow->addWidget(progress_);
    column(enhancement)->addLayout(switchRow);

    table_ = new ModelSelectionTable(session_, options_.symbolIcon, enhancement);
    table_->showDetails = [this](auto series, auto standalone) {
        if (showBenchmark) showBenchmark(std::move(series), std::move(standalone));
    };
    column(enhancement)->addWidget(table_);

    auto* scaleRow = new QHBoxLayout;
    scaleRow->setSpacing(8);
    scaleTitle_ = secondaryLabel(enhancement, 10);
    scaleTitle_->setFont(designFont(10, QFont::DemiBold));
    scaleTitle_->setFixedWidth(34);
    scaleRow->addWidget(scaleTitle_);
    scales_ = new HoverSegments(enhancement);
    scales_->setObjectName("scaleControl");
    scales_->chosen = [this](int index) {
        if (index >= 0 && index < int(shownScales_.size())) session_.setOutputScale(shownScales_[std::size_t(index)]);
    };
    scaleRow->addWidget(scales_, 1);
    column(enhancement)->addLayout(scaleRow);
    hint_ = secondaryLabel(enhancement, 10);
    hint_->setWordWrap(true);
    column(enhancement)->addWidget(hint_);

    importRow_ = static_cast<StyledButton*>(panelRow("modelImportRow", "square.and.arrow.down"));
    QObject::connect(importRow_, &QAbstractButton::clicked, this, [this] {
        if (showModelImport) showModelImport();
    });
    column(enhancement)->addWidget(importRow_->parentWidget());
    message_ = new QLabel(enhancement);
    message_->setObjectName("sessionMessage");
    message_->setWordWrap(true);
    message_->setFont(designFont(10));
    message_->setStyleSheet("color: rgb(255, 69, 58);");
    column(enhancement)->addWidget(message_);
    detailsRow_ = static_cast<StyledButton*>(panelRow("modelDetailsRow", "info.circle"));
    QObject::connect(detailsRow_, &QAbstractButton::clicked, this, [this] {
        const ModelDetailsTarget target = modelDetailsTarget(session_);
        if (showBenchmark) showBenchmark(target.seriesID, target.standaloneURL);
    });
    column(enhancement)->addWidget(detailsRow_->parentWidget());
    cards->addWidget(enhancement);

    statistics_ = new Card(content);
    statistics_->setObjectName("statisticsCard");
    column(statistics_)->setSpacing(12);
    cards->addWidget(statistics_);
    cards->addStretch(1);

    // The settings button, pinned under the scroll view.
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(20, 12, 20, 12);
    auto* settings = new StyledButton(ButtonStyle::playerIcon, this);
    settings->setObjectName("settingsButton");
    settings->setProperty(symbolProperty, QString("gearshape"));
    if (options_.symbolIcon) settings->setIcon(options_.symbolIcon("gearshape"));
    QObject::connect(settings, &QAbstractButton::clicked, this, [this] {
        if (showSettings) showSettings();
    });
    settings_ = settings;
    footer->addWidget(settings);
    footer->addStretch(1);
    outer->addLayout(footer);

    // The session publishes a model's installation one property at a time (the model, then its
    // enhancer, then what it can output): read once more after the last of them, as well.
    const auto again = [this](const auto&) {
        refresh();
        if (refreshQueued_) return;
        refreshQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                refreshQueued_ = false;
                refresh();
            },
            Qt::QueuedConnection);
    };
    connections_.push_back(session_.enabled.observe(again));
    connections_.push_back(session_.supports4xOutput.observe(again));
    connections_.push_back(session_.loadingModel.observe(again));
    connections_.push_back(session_.modelInfo.observe(again));
    connections_.push_back(session_.outputScale.observe(again));
    connections_.push_back(session_.customModelURL.observe(again));
    connections_.push_back(session_.message.observe(again));
    connections_.push_back(session_.benchmarkRunning.observe(again));
    connections_.push_back(session_.modelBenchmarkRunningKey.observe(again));
    connections_.push_back(session_.resolution.observe([this](const auto&) { refreshStatistics(); }));
    connections_.push_back(session_.outputResolution.observe([this](const auto&) { refreshStatistics(); }));
    connections_.push_back(session_.statisticsReadout.observe([this](const auto&) { refreshStatistics(); }));
    relabel();
}

SidebarView::~SidebarView() = default;

QWidget* SidebarView::panelRow(const char* name, const QString& symbol, const QString& trailingSymbol,
                               QWidget* parent) {
    // Padded 2 on white at 4 % in a 6-point rounded rectangle: the panel rows and the details
    // disclosure.
    auto* plate = new QWidget(parent ? parent : this);
    plate->setAttribute(Qt::WA_StyledBackground);
    plate->setObjectName(QString(name) + "Plate");
    plate->setStyleSheet(QString("QWidget#%1Plate { background: rgba(255,255,255,10); border-radius: 6px; }").arg(name));
    auto* padding = new QHBoxLayout(plate);
    padding->setContentsMargins(2, 2, 2, 2);
    auto* row = new StyledButton(ButtonStyle::displayMode, plate);
    row->setObjectName(name);
    // One line high; a text longer than the narrow pane allows wraps onto a second line.
    row->setMinimumHeight(24);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    policy.setHeightForWidth(true);
    row->setSizePolicy(policy);
    auto* face = new QHBoxLayout(row);
    face->setContentsMargins(8, 3, 8, 3);
    face->setSpacing(6);
    // The symbols are drawn by labels on the button's face; each carries its name for the checks.
    const auto symbolLabel = [&](const QString& which, int side) -> QLabel* {
        return new SymbolLabel(which, options_.symbolIcon ? options_.symbolIcon(which) : QIcon(), side, row);
    };
    auto* icon = symbolLabel(symbol, 14);
    auto* text = new QLabel(row);
    text->setObjectName("rowText");
    text->setFont(designFont(12));
    text->setWordWrap(true);
    auto* chevron = symbolLabel(trailingSymbol, 10);
    chevron->setObjectName("rowChevron");
    for (QLabel* part : {icon, text, chevron}) part->setAttribute(Qt::WA_TransparentForMouseEvents);
    face->addWidget(icon);
    face->addWidget(text, 1);
    face->addWidget(chevron);
    padding->addWidget(row);
    return row;
}

void SidebarView::setRow(QAbstractButton* row, const QString& text) {
    row->findChild<QLabel*>("rowText")->setText(text);
    row->setAccessibleName(text);
}

void SidebarView::setShowsPlaybackDetails(bool shown) {
    showsDetails_ = shown;
    refreshStatistics();
}

double SidebarView::backgroundOpacity() const {
    return std::clamp(1.0 - AppearanceSettings::read(options_.preferences).interfaceTransparency, 0.0, 1.0);
}

void SidebarView::relabel() {
    tagline_->setText(q(AppLocalization::string("動画を、もっと鮮明に。")));
    open_->setText(q(AppLocalization::string("動画を開く")));
    enabled_->setText(q(AppLocalization::string("高画質化")));
    scaleTitle_->setText(q(AppLocalization::string("倍率")));
    scales_->setAccessibleName(q(AppLocalization::string("拡大倍率")));
    scales_->setToolTip(q(AppLocalization::string("最適：映像の表示サイズに合わせて出力します")));
    hint_->setText(q(AppLocalization::string("最適：映像の表示サイズに合わせて出力します")));
    setRow(importRow_, q(AppLocalization::string("モデルをインポート")));
    setRow(detailsRow_, q(AppLocalization::string("モデル詳細・ベンチマーク")));
    settings_->setToolTip(q(AppLocalization::string("設定（Ctrl+,）")));
    settings_->setAccessibleName(q(AppLocalization::string("設定")));
    shownScales_.clear(); // the segment titles are looked up again
    refresh();
    table_->rebuild();
    update();
}

void SidebarView::refresh() {
    enabled_->setChecked(session_.enabled());
    const bool loading = session_.loadingModel();
    // Kept in the row while idle (drawing nothing) so the row does not jump.
    progress_->setSpinning(loading);
    const std::vector<OutputScale> offered = session_.availableOutputScales();
    if (offered != shownScales_) {
        shownScales_ = offered;
        std::vector<std::string> titles;
        for (OutputScale scale : offered) titles.push_back(scaleTitle(scale));
        scales_->setTitles(titles);
    }
    const auto at = std::find(shownScales_.begin(), shownScales_.end(), session_.outputScale());
    scales_->setSelectedIndex(at == shownScales_.end() ? -1 : int(at - shownScales_.begin()));
    scales_->setEnabled(!loading && session_.modelInfo().has_value());
    importRow_->setEnabled(!loading);
    detailsRow_->setEnabled(!session_.benchmarkRunning() && !session_.modelBenchmarkRunningKey());
    const auto& message = session_.message();
    message_->setVisible(message.has_value());
    if (message) message_->setText(q(AppLocalization::string(*message)));
    refreshStatistics();
}

void SidebarView::refreshStatistics() {
    const auto all = statisticsRows(session_, session_.statisticsReadout.value(), showsDetails_);
    // The readout publishes ten times a second while playing: the same rows only take new texts.
    const auto shownRows = statistics_->findChildren<QWidget*>("metric", Qt::FindDirectChildrenOnly);
    std::vector<QWidget*> live;
    for (QWidget* row : shownRows)
        if (!row->isHidden()) live.push_back(row);
    if (live.size() == all.size() && disclosure_ && disclosure_->accessibleName() == q(AppLocalization::string("詳細"))) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            live[i]->findChild<QLabel*>("metricLabel")->setText(q(all[i].first));
            live[i]->findChild<QLabel*>("metricValue")->setText(q(all[i].second));
        }
        return;
    }
    QVBoxLayout* rows = column(statistics_);
    while (QLayoutItem* item = rows->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->hide(), widget->deleteLater();
        delete item;
    }
    const auto metric = [&](const std::string& name, const std::string& value) {
        auto* row = new QWidget(statistics_);
        row->setObjectName("metric");
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto* label = secondaryLabel(row, 10);
        label->setObjectName("metricLabel");
        label->setText(q(name));
        auto* shown = new QLabel(q(value), row);
        shown->setObjectName("metricValue");
        QFont digits = designFont(10);
        digits.setStyleHint(QFont::Monospace);
        digits.setFamilies({"DejaVu Sans Mono", "Noto Sans Mono", "monospace"});
        shown->setFont(digits);
        line->addWidget(label);
        line->addStretch(1);
        line->addWidget(shown);
        rows->addWidget(row);
    };
    for (std::size_t i = 0; i < 3; ++i) metric(all[i].first, all[i].second);
    disclosure_ = static_cast<StyledButton*>(
        panelRow("detailsDisclosure", "info.circle", showsDetails_ ? "chevron.up" : "chevron.down", statistics_));
    setRow(disclosure_, q(AppLocalization::string("詳細")));
    disclosure_->setAccessibleDescription(
        q(AppLocalization::string(showsDetails_ ? "展開中" : "折りたたみ中")));
    QObject::connect(disclosure_, &QAbstractButton::clicked, this, [this] { setShowsPlaybackDetails(!showsDetails_); });
    rows->addWidget(disclosure_->parentWidget());
    for (std::size_t i = 3; i < all.size(); ++i) metric(all[i].first, all[i].second);
}

void SidebarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromRgbF(0.12, 0.12, 0.12, backgroundOpacity()));
}

} // namespace lumavane
