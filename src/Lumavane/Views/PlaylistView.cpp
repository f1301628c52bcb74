#include "Lumavane/Views/PlaylistView.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ContentView.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"
#include "Lumavane/Views/VideoDropArea.hpp"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lumavane {
namespace {

namespace fs = std::filesystem;

QString q(const std::string& text) { return QString::fromStdString(text); }
QString fileName(const fs::path& url) { return QString::fromStdString(url.filename().string()); }
QString title(const fs::path& url) { return QString::fromStdString(url.stem().string()); }

// Seconds since 2001-01-01 as a date in the user's short style.
QString dateText(const DefaultsDate& date) {
    const auto when = QDateTime::fromMSecsSinceEpoch(qint64(date.unixSeconds() * 1000.0));
    return QLocale().toString(when.date(), QLocale::ShortFormat);
}

QScrollArea* scrolling(QWidget* content) {
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    scroll->setWidget(content);
    return scroll;
}

} // namespace

std::string historyTime(double seconds) {
    const double value = std::isfinite(seconds) && seconds >= 0 ? seconds : 0;
    const long long t = (long long)value;
    char text[48];
    std::snprintf(text, sizeof text, "%d:%02d:%02d", int(t / 3600), int(t / 60 % 60), int(t % 60));
    return text;
}

double historyProgressFraction(double position, double duration) {
    if (!std::isfinite(position) || !std::isfinite(duration) || duration <= 0) return 0;
    const double fraction = position / duration;
    return fraction >= 0 ? std::min(fraction, 1.0) : 0;
}

std::string playlistRowDetail(std::size_t index, const fs::path& url) {
    std::string extension = url.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::toupper(c); });
    return std::to_string(index + 1) + "  \u00B7  " + extension;
}

HistoryProgressBar::HistoryProgressBar(double position, double duration, QWidget* parent)
    : QWidget(parent), fraction_(historyProgressFraction(position, duration)) {
    setObjectName("historyProgress");
    setFixedHeight(3);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAccessibleName(q(AppLocalization::string("再生位置")));
    setAccessibleDescription(QString::number(std::lround(fraction_ * 100)) + "%");
}

void HistoryProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double radius = height() / 2.0;
    painter.setBrush(QColor::fromRgbF(1, 1, 1, 0.14));
    painter.drawRoundedRect(QRectF(rect()), radius, radius);
    QColor bar = ContentView::accent();
    bar.setAlphaF(0.85f);
    painter.setBrush(bar);
    painter.drawRoundedRect(QRectF(0, 0, width() * fraction_, height()), radius, radius);
}

PlaylistView::PlaylistView(PlayerSession& session, Options options, QWidget* parent)
    : QWidget(parent), session_(session), options_(std::move(options)) {
    setObjectName("playlistPane");
    showsHistory_ = options_.preferences.boolean(showsHistoryKey).value_or(false);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    switch_ = new HoverSegments(this);
    switch_->setObjectName("playlistSwitch");
    switch_->chosen = [this](int index) { setShowsHistory(index == 1); };
    auto* switchRow = new QVBoxLayout;
    switchRow->setContentsMargins(12, 12, 12, 12);
    switchRow->addWidget(switch_);
    outer->addLayout(switchRow);
    body_ = new QVBoxLayout;
    body_->setContentsMargins(0, 0, 0, 0);
    outer->addLayout(body_, 1);
    drop_ = new VideoDropArea(*this, q(AppLocalization::string("プレイリストに追加")),
                              [this](const std::vector<fs::path>& urls) { return session_.appendDroppedVideos(urls); });

    const auto again = [this](const auto&) { rebuild(); };
    connections_.push_back(session_.playlist.observe(again));
    connections_.push_back(session_.currentVideoURL.observe(again));
    connections_.push_back(session_.playing.observe(again));
    // Only the history list follows the readout; it is the list shown while showsHistory.
    connections_.push_back(session_.historyReadout.observe([this](const auto&) {
        if (showsHistory_) rebuild();
    }));
    relabel();
}

PlaylistView::~PlaylistView() = default;

void PlaylistView::setShowsHistory(bool shows) {
    showsHistory_ = shows;
    options_.preferences.set(showsHistoryKey, shows);
    switch_->setSelectedIndex(shows ? 1 : 0);
    rebuild();
}

void PlaylistView::relabel() {
    switch_->setTitles({AppLocalization::string("プレイリスト"), AppLocalization::string("履歴")});
    switch_->setSelectedIndex(showsHistory_ ? 1 : 0);
    drop_->setTitle(q(AppLocalization::string("プレイリストに追加")));
    rebuild();
}

std::vector<QWidget*> PlaylistView::rows() const {
    std::vector<QWidget*> found;
    for (QWidget* row : findChildren<QWidget*>()) {
        const QString name = row->objectName();
        if ((name == "playlistRow" || name == "historyRow") && !row->isHidden()) found.push_back(row);
    }
    // findChildren walks depth-first in creation order, which is the row order.
    return found;
}

QWidget* PlaylistView::trashButton(const QString& help, const QString& accessible) {
    auto* trash = new StyledButton(ButtonStyle::playlistHover);
    trash->setObjectName("trashButton");
    trash->setDestructive(true);
    trash->setFixedSize(28, 28);
    trash->setProperty(symbolProperty, QString("trash"));
    if (options_.symbolIcon) trash->setIcon(options_.symbolIcon("trash"));
    trash->setToolTip(help);
    trash->setAccessibleName(accessible);
    return trash;
}

PlaylistView::RowParts PlaylistView::rowParts(QWidget* row, QMargins padding, const QString& symbol, const QColor& ink,
                                             const fs::path& url, int textSpacing) {
    RowParts parts;
    parts.line = new QHBoxLayout(row);
    parts.line->setContentsMargins(0, 0, 0, 0);
    parts.play = new PlainButton(row);
    parts.play->setObjectName("playButton");
    auto* face = new QHBoxLayout(parts.play);
    face->setContentsMargins(padding);
    face->setSpacing(10);
    auto* icon = new SymbolLabel(symbol, options_.symbolIcon ? options_.symbolIcon(symbol) : QIcon(), 14, parts.play);
    icon->setObjectName("rowSymbol");
    icon->setInk(ink);
    face->addWidget(icon);
    parts.texts = new QVBoxLayout;
    parts.texts->setSpacing(textSpacing);
    auto* name = new MiddleElidedLabel(parts.play);
    name->setObjectName("rowTitle");
    name->setAttribute(Qt::WA_TransparentForMouseEvents);
    name->setMaximumLines(2);
    name->setFullText(title(url));
    parts.texts->addWidget(name);
    face->addLayout(parts.texts, 1);
    parts.line->addWidget(parts.play, 1);
    return parts;
}

QWidget* PlaylistView::playlistRow(std::size_t index, const fs::path& url) {
    const bool current = session_.currentVideoURL() && *session_.currentVideoURL() == url;
    auto* row = new HoverFrame(ButtonStyle::playlistRow, current);
    row->setObjectName("playlistRow");
    if (current) {
        QColor fill = ContentView::accent();
        fill.setAlphaF(0.12f);
        row->setBaseFill(fill);
    }
    const RowParts parts = rowParts(row, {12, 9, 12, 9}, current && session_.playing() ? "speaker.wave.2.fill" : "play.fill",
                                    current ? ContentView::accent() : secondaryForeground(), url, 3);
    parts.line->setContentsMargins(0, 0, 7, 0);
    parts.line->setSpacing(0);
    parts.play->findChild<QLabel*>("rowSymbol")->setFixedWidth(18);
    auto* detail = faceLabel(q(playlistRowDetail(index, url)), 9, QFont::Normal, true, parts.play);
    detail->setObjectName("rowDetail");
    parts.texts->addWidget(detail);
    QObject::connect(parts.play, &QAbstractButton::clicked, this, [this, url] { session_.playPlaylistItem(url); });
    auto* trash = trashButton(q(AppLocalization::string("プレイリストから削除")),
                              q(AppLocalization::format("%@をプレイリストから削除", url.filename().string())));
    QObject::connect(static_cast<QAbstractButton*>(trash), &QAbstractButton::clicked, this,
                     [this, url] { session_.removePlaylistItem(url); });
    parts.line->addWidget(trash);
    return row;
}

QWidget* PlaylistView::historyRow(const PlaybackHistoryEntry& entry) {
    auto* row = new HoverFrame(ButtonStyle::playlistRow, false);
    row->setObjectName("historyRow");
    const RowParts parts = rowParts(row, {10, 10, 10, 10}, "clock.arrow.circlepath", secondaryForeground(), entry.url, 4);
    parts.line->setSpacing(4);
    auto* times = faceLabel(q(historyTime(entry.position) + " / " + historyTime(entry.duration)), 10, QFont::Normal,
                            true, parts.play);
    times->setObjectName("rowDetail");
    parts.texts->addWidget(times);
    parts.texts->addWidget(new HistoryProgressBar(entry.position, entry.duration, parts.play));
    auto* date = faceLabel(dateText(entry.lastPlayed), 9, QFont::Normal, true, parts.play);
    date->setObjectName("rowDate");
    parts.texts->addWidget(date);
    QObject::connect(parts.play, &QAbstractButton::clicked, this, [this, entry] { session_.playHistoryItem(entry); });
    auto* trash = trashButton(q(AppLocalization::string("履歴から削除")), q(AppLocalization::string("履歴から削除")));
    QObject::connect(static_cast<QAbstractButton*>(trash), &QAbstractButton::clicked, this,
                     [this, url = entry.url] { session_.removeHistoryItem(url); });
    parts.line->addWidget(trash);
    return row;
}

QWidget* PlaylistView::emptyPlaylist() {
    auto* empty = new QWidget;
    empty->setObjectName("emptyPlaylist");
    auto* column = new QVBoxLayout(empty);
    column->setContentsMargins(16, 0, 16, 0);
    column->setSpacing(14);
    column->addStretch(1);
    auto* icon = new SymbolLabel("play.square.stack",
                                 options_.symbolIcon ? options_.symbolIcon("play.square.stack") : QIcon(), 42, empty);
    icon->setObjectName("emptySymbol");
    icon->setInk(ContentView::accent());
    icon->setAlignment(Qt::AlignCenter);
    column->addWidget(icon);
    auto* heading = new QLabel(q(AppLocalization::string("動画がありません")), empty);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    heading->setAlignment(Qt::AlignCenter);
    column->addWidget(heading);
    auto* note = new QLabel(q(AppLocalization::string("動画を開くと、ここに表示されます。")), empty);
    note->setForegroundRole(QPalette::PlaceholderText);
    note->setAlignment(Qt::AlignCenter);
    note->setWordWrap(true);
    column->addWidget(note);
    auto* open = new StyledButton(ButtonStyle::controlHover, empty);
    open->setObjectName("openVideos");
    open->setText(q(AppLocalization::string("動画を開く…")));
    open->setBaseFill(ContentView::accent(), Qt::black);
    QObject::connect(open, &QAbstractButton::clicked, this, [this] {
        if (chooseVideos) chooseVideos();
    });
    column->addWidget(open, 0, Qt::AlignHCenter);
    column->addStretch(1);
    return empty;
}

void PlaylistView::rebuild() {
    while (QLayoutItem* item = body_->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->hide(), widget->deleteLater();
        delete item;
    }
    const auto list = [&](auto&& fill) {
        auto* content = new QWidget;
        auto* rows = new QVBoxLayout(content);
        rows->setContentsMargins(8, 8, 8, 8);
        rows->setSpacing(4);
        fill(rows);
        rows->addStretch(1);
        return scrolling(content);
    };
    if (!showsHistory_) {
        const auto& playlist = session_.playlist();
        if (playlist.empty()) return body_->addWidget(emptyPlaylist());
        body_->addWidget(list([&](QVBoxLayout* rows) {
            for (std::size_t i = 0; i < playlist.size(); ++i) rows->addWidget(playlistRow(i, playlist[i]));
        }));
        return;
    }
    const auto& history = session_.historyReadout.value();
    if (history.empty()) {
        auto* none = new QLabel(q(AppLocalization::string("再生履歴はありません")));
        none->setObjectName("emptyHistory");
        none->setForegroundRole(QPalette::PlaceholderText);
        none->setAlignment(Qt::AlignCenter);
        none->setWordWrap(true);
        return body_->addWidget(none, 1);
    }
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 0, 12, 0);
    header->addStretch(1);
    auto* clear = new StyledButton(ButtonStyle::controlHover);
    clear->setObjectName("clearHistory");
    clear->setText(q(AppLocalization::string("履歴をすべて消去")));
    QFont caption = clear->font();
    caption.setPixelSize(11);
    clear->setFont(caption);
    QObject::connect(clear, &QAbstractButton::clicked, this, [this] { session_.clearHistory(); });
    header->addWidget(clear);
    auto* headerWidget = new QWidget;
    headerWidget->setLayout(header);
    body_->addWidget(headerWidget);
    body_->addWidget(list([&](QVBoxLayout* rows) {
        for (const PlaybackHistoryEntry& entry : history) rows->addWidget(historyRow(entry));
    }));
}

void PlaylistView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const double opacity = std::clamp(1.0 - AppearanceSettings::read(options_.preferences).interfaceTransparency, 0.0, 1.0);
    painter.fillRect(rect(), QColor::fromRgbF(0.12, 0.12, 0.12, opacity));
}

} // namespace lumavane
