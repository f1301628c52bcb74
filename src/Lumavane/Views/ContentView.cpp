#include "Lumavane/Views/ContentView.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/MetalSurface.hpp"
#include "Lumavane/Presentation/PlayerSessionSurface.hpp"
#include "Lumavane/Presentation/VideoAspectMode.hpp"
#include "Lumavane/Presentation/VideoSurfaceWidget.hpp"
#include "Lumavane/Session/PlayableVideos.hpp"
#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Views/ButtonStyles.hpp"
#include "Lumavane/Views/ComparisonOverlay.hpp"
#include "Lumavane/Views/DisplayModeControl.hpp"
#include "Lumavane/Views/SeekSlider.hpp"
#include "Lumavane/Views/SidebarWidgets.hpp"
#include "Lumavane/Views/TransportSessionBinding.hpp"
#include "Lumavane/Views/VideoDropArea.hpp"
#include "Lumavane/Views/VideoOverlays.hpp"

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QShortcut>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace lumavane {
namespace {

QString qtext(const std::string& text) { return QString::fromStdString(text); }

double storedReal(const DefaultsStore& defaults, const char* key, double fallback) {
    const auto value = defaults.real(key);
    if (value && std::isfinite(*value)) return *value;
    if (const auto whole = defaults.integer(key)) return double(*whole);
    return fallback;
}

// The "sparkles.tv" mark of the empty state: a screen with a sparkle, in the accent colour.
class SparklesTV final : public QWidget {
public:
    explicit SparklesTV(QWidget* parent) : QWidget(parent) { setFixedSize(76, 64); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(ContentView::accent(), 1.6));
        painter.drawRoundedRect(QRectF(4, 6, 68, 46), 8, 8);
        painter.drawLine(QPointF(26, 59), QPointF(50, 59));
        QPainterPath star;
        const QPointF c(38, 29);
        star.moveTo(c + QPointF(0, -12));
        star.quadTo(c, c + QPointF(9, 0));
        star.quadTo(c, c + QPointF(0, 12));
        star.quadTo(c, c + QPointF(-9, 0));
        star.quadTo(c, c + QPointF(0, -12));
        painter.drawPath(star);
    }
};

} // namespace

// The subtitles and the paused badge over the picture; they take no pointer input.
class PictureOverlays final : public QWidget {
public:
    PictureOverlays(ContentView& view, QWidget* parent) : QWidget(parent), view_(view) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        badge_.setDuration(180);
        badge_.setEasingCurve(QEasingCurve::InOutCubic);
        QObject::connect(&badge_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            badgeShown_ = v.toDouble();
            update();
        });
        fade_.setDuration(100);
        fade_.setEasingCurve(QEasingCurve::OutCubic);
        QObject::connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            subtitleOpacity_ = v.toDouble();
            update();
        });
    }
    static bool badgeShown(const ContentView& view) {
        const PlayerSession& s = const_cast<ContentView&>(view).session();
        return s.hasVideo() && s.isPaused() && !view.state().isScrubbing;
    }
    void refresh() {
        const double target = badgeShown(view_) ? 1.0 : 0.0;
        if (badge_.endValue().toDouble() != target || !badge_.endValue().isValid()) {
            badge_.stop();
            badge_.setStartValue(badgeShown_);
            badge_.setEndValue(target);
            badge_.start();
        }
        const QString text = QString::fromStdString(view_.session().subtitleText());
        if (text.isEmpty() != shownText_.isEmpty()) {
            fade_.stop();
            if (view_.appearance().subtitleFade) {
                if (text.isEmpty()) fadingText_ = shownText_;
                fade_.setStartValue(text.isEmpty() ? 1.0 : 0.0);
                fade_.setEndValue(text.isEmpty() ? 0.0 : 1.0);
                fade_.start();
            } else {
                subtitleOpacity_ = text.isEmpty() ? 0.0 : 1.0;
            }
        }
        if (!text.isEmpty()) fadingText_.clear();
        shownText_ = text;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QString text = shownText_.isEmpty() ? fadingText_ : shownText_;
        painter.setOpacity(shownText_.isEmpty() && fade_.state() != QAbstractAnimation::Running ? 0.0
                                                                                                : subtitleOpacity_);
        overlays::paintSubtitles(painter, size(), text, view_.appearance(), view_.subtitles_,
                                 view_.state().isVideoFullscreen, view_.fullscreenControlsHeight());
        painter.setOpacity(1);
        overlays::paintPausedBadge(painter, size(), view_.state().isVideoFullscreen,
                                   view_.appearance().osdTransparency, badgeShown_);
    }

private:
    ContentView& view_;
    QVariantAnimation badge_, fade_;
    double badgeShown_ = 0, subtitleOpacity_ = 0;
    QString shownText_, fadingText_;
};

// The floating card of the video-only full screen: the file name, the display-mode control and
// the transport controls.
class FullscreenOSD final : public QWidget {
public:
    FullscreenOSD(ContentView& view, QWidget* parent) : QWidget(parent), view_(view) {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_Hover);
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(20, 20, 20, 20);
        column->setSpacing(12);
        auto* row = new QHBoxLayout;
        name = new QLabel(this);
        QFont font = name->font();
        font.setPixelSize(13);
        font.setWeight(QFont::Medium);
        name->setFont(font);
        name->setTextFormat(Qt::PlainText);
        row->addWidget(name, 1);
        row->addSpacing(20);
        modes = new DisplayModeControl(this);
        row->addWidget(modes);
        column->addLayout(row);
        transport = new QWidget(this);
        transport->setObjectName("fullscreenTransportSlot");
        column->addWidget(transport);
        opacity = new QGraphicsOpacityEffect(this);
        opacity->setOpacity(1);
        setGraphicsEffect(opacity);
        fade = new QPropertyAnimation(opacity, "opacity", this);
        fade->setDuration(250);
        fade->setEasingCurve(QEasingCurve::InOutCubic);
    }
    void setShown(bool shown, bool animated) {
        setAttribute(Qt::WA_TransparentForMouseEvents, !shown);
        if (shown == shown_ && (animated || fade->state() != QAbstractAnimation::Running)) return;
        shown_ = shown;
        fade->stop();
        if (!animated) {
            opacity->setOpacity(shown ? 1 : 0);
            return;
        }
        fade->setStartValue(opacity->opacity());
        fade->setEndValue(shown ? 1.0 : 0.0);
        fade->start();
    }
    QLabel* name;
    DisplayModeControl* modes;
    QWidget* transport;
    QGraphicsOpacityEffect* opacity;
    QPropertyAnimation* fade;
    bool shown_ = true;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        overlays::paintOSDBackground(painter, rect(), view_.appearance().osdTransparency);
    }
    void enterEvent(QEnterEvent*) override { view_.setFullscreenControlsHovered(true); }
    void leaveEvent(QEvent*) override { view_.setFullscreenControlsHovered(false); }

private:
    ContentView& view_;
};

// The invitation shown while no video is open.
class EmptyStateView final : public QWidget {
public:
    EmptyStateView(ContentView& view, QWidget* parent) : QWidget(parent) {
        auto* column = new QVBoxLayout(this);
        column->setSpacing(16);
        column->setAlignment(Qt::AlignCenter);
        auto* mark = new SparklesTV(this);
        column->addWidget(mark, 0, Qt::AlignHCenter);
        headline = new QLabel(this);
        QFont font = headline->font();
        font.setPixelSize(22);
        font.setWeight(QFont::Medium);
        headline->setFont(font);
        column->addWidget(headline, 0, Qt::AlignHCenter);
        hint = new QLabel(this);
        QPalette secondary = hint->palette();
        secondary.setColor(QPalette::WindowText, QColor::fromRgbF(1, 1, 1, 0.55f));
        hint->setPalette(secondary);
        column->addWidget(hint, 0, Qt::AlignHCenter);
        open = new StyledButton(ButtonStyle::controlHover, this);
        open->setObjectName("openVideoButton");
        open->setBaseFill(ContentView::accent(), Qt::black);
        QFont buttonFont = open->font();
        buttonFont.setPixelSize(14);
        open->setFont(buttonFont);
        open->setMinimumHeight(34);
        column->addWidget(open, 0, Qt::AlignHCenter);
        QObject::connect(open, &QAbstractButton::clicked, this, [&view] {
            if (view.chooseVideos) view.chooseVideos(false);
        });
        relabel();
    }
    void relabel() {
        headline->setText(qtext(AppLocalization::string("いつもの動画を、もう一度。")));
        hint->setText(qtext(AppLocalization::string("ここに動画をドラッグ＆ドロップして再生")));
        open->setText(qtext(AppLocalization::string("動画を開く…")));
        open->setMinimumWidth(open->sizeHint().width() + 16);
    }
    QLabel* headline;
    QLabel* hint;
    StyledButton* open;
};

AppearanceSettings AppearanceSettings::read(const DefaultsStore& d) {
    AppearanceSettings a;
    a.interfaceTransparency = storedReal(d, "player.sidebarTransparency", 1.0);
    a.osdTransparency = storedReal(d, "player.osdTransparency", 0.15);
    a.subtitleFontName = d.string("player.subtitleFontName").value_or("system");
    a.subtitleFontSize = storedReal(d, "player.subtitleFontSize", 40);
    a.subtitleBackgroundTransparency = storedReal(d, "player.subtitleBackgroundTransparency", 0.5);
    a.subtitleStyle = d.string("player.subtitleStyle").value_or("background");
    a.subtitleFade = d.boolean("player.subtitleFade").value_or(false);
    a.aspectModeRawValue = d.string("player.aspectMode").value_or("automatic");
    a.showsPlaylist = d.boolean("player.showsPlaylist").value_or(false);
    return a;
}

std::string ContentView::time(double seconds) { return transportTimeText(seconds); }

ContentView::ContentView(PlayerSession& session, Options options, QObject* parent)
    : QObject(parent), session_(session), preferences_(std::move(options.preferences)),
      subtitles_(std::move(options.subtitles)) {
    appearance_ = AppearanceSettings::read(preferences_);
    runInBackground = [](std::function<void()> work) { QThreadPool::globalInstance()->start(std::move(work)); };

    pane_ = new QWidget;
    pane_->setObjectName("videoPane");
    pane_->setAutoFillBackground(true);
    auto* column = new QVBoxLayout(pane_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    surface_ = options.surface ? options.surface : new VideoSurfaceWidget;
    surface_->setParent(pane_);
    surface_->setAttribute(Qt::WA_Hover);
    surface_->installEventFilter(this);
    column->addWidget(surface_, 1);
    transportBar_ = new QWidget(pane_);
    transportBar_->setObjectName("transportBar");
    transportBar_->setAutoFillBackground(true);
    auto* bar = new QVBoxLayout(transportBar_);
    bar->setContentsMargins(20, 20, 20, 20);
    transport_ = new QWidget(transportBar_);
    transport_->setObjectName("transportSlot");
    bar->addWidget(transport_);
    column->addWidget(transportBar_);

    comparison_ = new ComparisonOverlay(session_, accent(), surface_);
    pictureOverlays_ = new PictureOverlays(*this, surface_);
    empty_ = new EmptyStateView(*this, surface_);
    auto* osd = new FullscreenOSD(*this, surface_);
    osd_ = osd;
    osdTransport_ = osd->transport;
    osd->modes->selectionChanged = [this](ViewMode mode) { session_.setMode(mode); };
    TransportSessionBinding::View transportView;
    transportView.read = [this](TransportState& s) {
        s.aspectModeRawValue = appearance_.aspectModeRawValue;
        s.isVideoFullscreen = state_.isVideoFullscreen;
        s.fullscreenTransitionInProgress = state_.fullscreenTransitionInProgress;
        s.fullscreenControlsVisible = state_.fullscreenControlsVisible;
        s.seekBarHovered = state_.seekBarHovered;
        s.isScrubbing = state_.isScrubbing;
        s.popovers = {state_.showsEffects, state_.showsAspectModes, state_.showsAudioTracks, state_.showsSubtitles,
                      state_.showsPlaybackRates};
    };
    TransportActions& viewActions = transportView.actions;
    viewActions.setAspectMode = [this](const std::string& raw) { preferences_.set("player.aspectMode", raw); };
    viewActions.setPopover = [this](TransportPopover which, bool shown) {
        static constexpr Popover popovers[] = {Popover::effects, Popover::aspectModes, Popover::audioTracks,
                                               Popover::subtitles, Popover::playbackRates};
        setPopover(popovers[std::size_t(which)], shown);
    };
    viewActions.setSeekBarHovered = [this](bool hovered) { setSeekBarHovered(hovered); };
    viewActions.setViewScrubbing = [this](bool scrubbing) { setScrubbing(scrubbing); };
    viewActions.showFullscreenControlsTemporarily = [this] { showFullscreenControlsTemporarily(); };
    viewActions.enterVideoFullscreen = [this] { enterVideoFullscreen(); };
    viewActions.exitVideoFullscreen = [this] { exitVideoFullscreen(); };
    transportBinding_ = std::make_unique<TransportSessionBinding>(session_, std::move(transportView),
                                                                  std::vector<QWidget*>{transport_, osdTransport_},
                                                                  options.symbolIcon);
    drop_ = new VideoDropArea(*surface_, qtext(AppLocalization::string("ドロップして再生")),
                              [this](const std::vector<std::filesystem::path>& urls) { return acceptDrop(urls); });

    title_ = new QWidget;
    title_->setObjectName("videoTitle");
    auto* titleRow = new QHBoxLayout(title_);
    titleRow->setContentsMargins(0, 0, 0, 0);
    titleRow->setSpacing(7);
    titleIcon_ = new QLabel(title_);
    if (options.symbolIcon) titleIcon_->setPixmap(options.symbolIcon("film").pixmap(14, 14));
    titleIcon_->setProperty("lumavaneSymbol", "film");
    titleRow->addWidget(titleIcon_);
    // One line, cut in the middle when the toolbar is narrow: a file name's end tells two apart.
    titleText_ = new MiddleElidedLabel(title_);
    titleText_->setObjectName("videoTitleText");
    titleText_->setTextFormat(Qt::PlainText);
    QFont titleFont = titleText_->font();
    titleFont.setPixelSize(12);
    titleFont.setWeight(QFont::Medium);
    titleText_->setFont(titleFont);
    titleRow->addWidget(titleText_);
    modeControl_ = new DisplayModeControl;
    modeControl_->selectionChanged = [this](ViewMode mode) { session_.setMode(mode); };

    hideTimer_.setSingleShot(true);
    hideTimer_.setInterval(options.fullscreenHideMilliseconds);
    connect(&hideTimer_, &QTimer::timeout, this, [this] { hideFullscreenControls(); });

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), pane_);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, [this] {
        if (state_.isVideoFullscreen) exitVideoFullscreen();
    });

    surfaceSession_ = std::make_shared<PlayerSessionSurface>(session_);
    MetalSurface::Options surfaceOptions{
        session_.postProcessConfiguration(),
        videoAspectModeFromRawValue(appearance_.aspectModeRawValue).value_or(VideoAspectMode::automatic),
        [this](image::Size size, double scale) { return captureContent(size, scale); },
        captureDialogs(pane_, preferences_),
        {},
        {}};
    binder_ = std::make_unique<MetalSurface>(surfaceSession_, surface_->surface(), std::move(surfaceOptions));

    const auto watch = [this](auto& published) {
        connections_.push_back(published.observe([this](const auto&) { refresh(); }));
    };
    watch(session_.hasVideo);
    watch(session_.isPaused);
    watch(session_.subtitleText);
    watch(session_.filename);
    watch(session_.mode);
    watch(session_.split);
    watch(session_.fxSplit);
    watch(session_.fxComparison);
    watch(session_.fxDifferencePreview);
    watch(session_.fxEnabled);
    watch(session_.showingEnhancement);
    watch(session_.videoAspectRatio);
    watch(session_.sharpenEnabled);
    watch(session_.debandEnabled);
    watch(session_.grainEnabled);
    watch(session_.sharpenAmount);
    watch(session_.debandAmount);
    watch(session_.grainAmount);
    watch(session_.brightness);
    watch(session_.gamma);
    watch(session_.enhancementCleanupEnabled);
    watch(session_.enhancementCleanupAmount);
    watch(session_.enabled);
    connections_.push_back(session_.message.observe([this](const auto&) { updateMessage(); }));
    for (const char* key : {"player.sidebarTransparency", "player.osdTransparency", "player.subtitleFontName",
                            "player.subtitleFontSize", "player.subtitleBackgroundTransparency",
                            "player.subtitleStyle", "player.subtitleFade", "player.aspectMode",
                            "player.showsPlaylist"})
        defaultsConnections_.push_back(preferences_.observe(key, [this] {
            appearance_ = AppearanceSettings::read(preferences_);
            refresh();
        }));
    refresh();
    updateMessage();
}

ContentView::~ContentView() {
    transportBinding_.reset();
    *dropGeneration_ += 1; // a search still running finds nobody to open for
    connections_.clear();
    defaultsConnections_.clear();
    binder_.reset();
    // Each is deleted here unless the window that took it in is gone already.
    delete modeControl_.data();
    delete title_.data();
    delete pane_.data();
}

QWidget* ContentView::fullscreenOSD() const { return osd_; }

int ContentView::fullscreenControlsHeight() const { return osd_->sizeHint().height() + 28; }

bool ContentView::isPlayerWindow(QWidget* window) const { return window && pane_ && window == pane_->window(); }

void ContentView::refresh() {
    const bool hasVideo = session_.hasVideo();
    comparison_->setVisible(hasVideo && comparisonState(session_).visible);
    comparison_->refresh();
    empty_->setVisible(!hasVideo);
    modeControl_->setSelection(session_.mode());
    auto* osd = static_cast<FullscreenOSD*>(osd_);
    osd->modes->setSelection(session_.mode());
    // Real file names are shown as they are; only the placeholder is a text of ours.
    const std::string name = hasVideo ? session_.filename() : AppLocalization::string(session_.filename());
    osd->name->setText(QString::fromStdString(name));
    titleText_->setFullText(hasVideo ? QString::fromStdString(session_.filename()) : QString());
    titleText_->setAccessibleName(qtext(AppLocalization::string("ファイル名")));
    titleText_->setAccessibleDescription(titleText_->fullText());
    title_->setVisible(hasVideo);

    const bool fullscreen = state_.isVideoFullscreen;
    osd_->setVisible(fullscreen);
    osd->setShown(state_.fullscreenControlsVisible, fullscreen);
    transportBar_->setVisible(!fullscreen);
    if (transportBinding_) transportBinding_->refresh();
    QPalette paneColours = pane_->palette();
    paneColours.setColor(QPalette::Window, fullscreen ? Qt::black : QColor::fromRgbF(0.055f, 0.055f, 0.055f));
    pane_->setPalette(paneColours);
    QPalette barColours = transportBar_->palette();
    barColours.setColor(QPalette::Window,
                        QColor::fromRgbF(0.12f, 0.12f, 0.12f,
                                         float(std::clamp(1 - appearance_.interfaceTransparency, 0.0, 1.0))));
    transportBar_->setPalette(barColours);
    static_cast<PictureOverlays*>(pictureOverlays_)->refresh();
    binder_->update(session_.postProcessConfiguration(),
                    videoAspectModeFromRawValue(appearance_.aspectModeRawValue).value_or(VideoAspectMode::automatic),
                    [this](image::Size size, double scale) { return captureContent(size, scale); });
    layoutOverlays();
}

void ContentView::setSubtitleRenderer(SubtitleRenderer renderer) {
    subtitles_ = std::move(renderer);
    pictureOverlays_->update();
}

void ContentView::relabel() {
    modeControl_->relabel();
    if (transportBinding_) transportBinding_->relabel();
    static_cast<FullscreenOSD*>(osd_)->modes->relabel();
    static_cast<EmptyStateView*>(empty_)->relabel();
    drop_->setTitle(qtext(AppLocalization::string("ドロップして再生")));
    appearance_ = AppearanceSettings::read(preferences_);
    refresh();
}

void ContentView::layoutOverlays() {
    const QRect all = surface_->rect();
    comparison_->setGeometry(all);
    pictureOverlays_->setGeometry(all);
    empty_->setGeometry(all);
    const int width = std::min(920, std::max(0, all.width() - 64));
    const int height = osd_->sizeHint().height();
    osd_->setGeometry((all.width() - width) / 2, all.height() - fullscreenControlsHeight(), width, height);
    comparison_->raise();
    pictureOverlays_->raise();
    empty_->raise();
    osd_->raise();
}

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == surface_) {
        switch (event->type()) {
        case QEvent::Resize: layoutOverlays(); break;
        case QEvent::HoverMove:
        case QEvent::MouseMove:
            if (cursorHidden_) setCursorHidden(false);
            if (state_.isVideoFullscreen) showFullscreenControlsTemporarily();
            break;
        default: break;
        }
    }
    return false;
}

// --- Popovers and sheets.

void ContentView::setPopover(Popover popover, bool shown) {
    bool* flag = nullptr;
    switch (popover) {
    case Popover::effects: flag = &state_.showsEffects; break;
    case Popover::audioTracks: flag = &state_.showsAudioTracks; break;
    case Popover::subtitles: flag = &state_.showsSubtitles; break;
    case Popover::aspectModes: flag = &state_.showsAspectModes; break;
    case Popover::playbackRates: flag = &state_.showsPlaybackRates; break;
    }
    if (*flag == shown) return;
    *flag = shown;
    if (transportBinding_) transportBinding_->refresh();
    if (state_.isVideoFullscreen) showFullscreenControlsTemporarily();
}

void ContentView::setShowsSettings(bool shown) {
    if (state_.showsSettings == shown) return;
    state_.showsSettings = shown;
    if (presentSheet) presentSheet(Sheet::settings, shown);
}

void ContentView::showBenchmark(std::optional<std::string> seriesID, std::optional<std::filesystem::path> url) {
    state_.benchmarkSeriesID = std::move(seriesID);
    state_.detailStandaloneURL = std::move(url);
    setShowsBenchmark(true);
}

void ContentView::setShowsBenchmark(bool shown) {
    if (state_.showsBenchmark == shown) return;
    state_.showsBenchmark = shown;
    if (presentSheet) presentSheet(Sheet::benchmark, shown);
}

void ContentView::setShowsModelImport(bool shown) {
    if (state_.showsModelImport == shown) return;
    state_.showsModelImport = shown;
    if (presentSheet) presentSheet(Sheet::modelImport, shown);
    // What the hand-over raised as the sheet closed is the alert's again.
    if (!shown) updateMessage();
}

void ContentView::updateMessage() {
    const auto& message = session_.message();
    if (!message) {
        if (alert_) alert_->close();
        return;
    }
    // The import sheet shows the message under its chooser: one message, and the sheet keeps the
    // keyboard (an alert of the window behind it would get none).
    if (state_.showsModelImport) return;
    if (!alert_) {
        alert_ = new QMessageBox(pane_ ? pane_->window() : nullptr);
        alert_->setAttribute(Qt::WA_DeleteOnClose);
        alert_->setIcon(QMessageBox::Warning);
        // Dismissed by any means: the message is done.
        connect(alert_, &QDialog::finished, this, [this] {
            if (session_.message()) session_.clearMessage();
        });
    }
    alert_->setWindowTitle(qtext(AppLocalization::string("Lumavane")));
    alert_->setText(QString::fromStdString(AppLocalization::string(*message)));
    alert_->setStandardButtons(QMessageBox::Ok);
    alert_->button(QMessageBox::Ok)->setText(qtext(AppLocalization::string("OK")));
    alert_->open();
}

// --- Full screen.

void ContentView::setCursorHidden(bool hidden) {
    cursorHidden_ = hidden;
    if (hidden) surface_->setCursor(Qt::BlankCursor);
    else surface_->unsetCursor();
}

void ContentView::clearSeekPreview() { session_.setSeekPreview(std::nullopt); }

void ContentView::windowWillEnterFullScreen(QWidget* window) {
    if (!isPlayerWindow(window)) return;
    clearSeekPreview();
    state_.seekBarHovered = false;
    state_.fullscreenTransitionInProgress = true;
    state_.fullscreenControlsVisible = true;
    setCursorHidden(false);
    refresh();
}

void ContentView::windowDidEnterFullScreen(QWidget* window) {
    if (!isPlayerWindow(window)) return;
    state_.fullscreenTransitionInProgress = false;
    state_.isVideoFullscreen = true;
    refresh();
    if (layoutChanged) layoutChanged();
    showFullscreenControlsTemporarily();
}

void ContentView::windowWillExitFullScreen(QWidget* window) {
    if (!isPlayerWindow(window)) return;
    clearSeekPreview();
    state_.seekBarHovered = false;
    hideTimer_.stop();
    setCursorHidden(false);
    state_.fullscreenTransitionInProgress = true;
    state_.fullscreenControlsHovered = false;
    if (state_.isScrubbing) {
        // The transition ends a drag of the seek bar.
        state_.isScrubbing = false;
        session_.setScrubbing(false);
    }
    state_.showsEffects = state_.showsAudioTracks = state_.showsAspectModes = false;
    state_.showsSubtitles = state_.showsPlaybackRates = false;
    refresh();
}

void ContentView::windowDidExitFullScreen(QWidget* window) {
    if (!isPlayerWindow(window)) return;
    state_.fullscreenTransitionInProgress = false;
    state_.isVideoFullscreen = false;
    state_.fullscreenSidebarVisible = false;
    setCursorHidden(false);
    refresh();
    if (layoutChanged) layoutChanged();
}

void ContentView::windowDidReopen(QWidget* window) {
    if (!isPlayerWindow(window)) return;
    session_.resetPresentationGate();
    session_.refreshDisplay();
}

void ContentView::enterVideoFullscreen() {
    if (state_.fullscreenTransitionInProgress || state_.isVideoFullscreen) return;
    state_.showsEffects = state_.showsAudioTracks = state_.showsAspectModes = false;
    state_.showsSubtitles = state_.showsPlaybackRates = false;
    if (toggleWindowFullScreen) toggleWindowFullScreen();
}

void ContentView::exitVideoFullscreen() {
    if (state_.fullscreenTransitionInProgress) return;
    if (windowIsFullScreen && windowIsFullScreen() && toggleWindowFullScreen) {
        state_.fullscreenTransitionInProgress = true;
        toggleWindowFullScreen();
        return;
    }
    state_.isVideoFullscreen = false;
    refresh();
    if (layoutChanged) layoutChanged();
}

static bool controlsHeld(const ContentView::State& s) {
    return s.fullscreenControlsHovered || s.seekBarHovered || s.isScrubbing || s.fullscreenSidebarVisible ||
           s.anyPopoverOpen();
}

void ContentView::showFullscreenControlsTemporarily() {
    hideTimer_.stop();
    const bool wasVisible = state_.fullscreenControlsVisible;
    state_.fullscreenControlsVisible = true;
    setCursorHidden(false);
    if (!wasVisible) {
        static_cast<FullscreenOSD*>(osd_)->setShown(true, state_.isVideoFullscreen);
        // The seek bar hovers again once its controls are back.
        if (transportBinding_) transportBinding_->refresh();
    }
    if (!state_.isVideoFullscreen || controlsHeld(state_)) return;
    hideTimer_.start();
}

void ContentView::hideFullscreenControls() {
    if (!state_.isVideoFullscreen || controlsHeld(state_)) return;
    state_.fullscreenControlsVisible = false;
    static_cast<FullscreenOSD*>(osd_)->setShown(false, true);
    clearSeekPreview();
    setCursorHidden(true);
}

void ContentView::setFullscreenSidebarVisible(bool visible) {
    if (!state_.isVideoFullscreen) {
        state_.fullscreenSidebarVisible = false;
        return;
    }
    state_.fullscreenSidebarVisible = visible;
    if (visible) {
        hideTimer_.stop();
        state_.fullscreenControlsVisible = true;
        static_cast<FullscreenOSD*>(osd_)->setShown(true, true);
        setCursorHidden(false);
    } else {
        showFullscreenControlsTemporarily();
    }
}

void ContentView::setFullscreenControlsHovered(bool hovered) {
    state_.fullscreenControlsHovered = hovered;
    showFullscreenControlsTemporarily();
}

void ContentView::setSeekBarHovered(bool hovered) { state_.seekBarHovered = hovered; }

void ContentView::setScrubbing(bool scrubbing) {
    state_.isScrubbing = scrubbing;
    static_cast<PictureOverlays*>(pictureOverlays_)->refresh();
}

// --- Capture overlay.

std::optional<image::CPUImage> ContentView::captureContent(image::Size points, double scale) {
    const int width = int(std::lround(points.width * scale)), height = int(std::lround(points.height * scale));
    if (!(scale > 0) || width <= 0 || height <= 0 || width > 16384 || height > 16384) return std::nullopt;
    const bool subtitles = preferences_.boolean("player.captureSubtitles").value_or(false);
    const bool guides = preferences_.boolean("player.captureComparisonGuides").value_or(false);
    const bool osd = preferences_.boolean("player.captureOSD").value_or(false);
    QImage canvas(width, height, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(scale, scale);
        const QSizeF size(points.width, points.height);
        if (subtitles)
            overlays::paintSubtitles(painter, size, QString::fromStdString(session_.subtitleText()), appearance_,
                                     subtitles_, state_.isVideoFullscreen, fullscreenControlsHeight());
        if (guides) ComparisonOverlay::paint(painter, size, session_, accent());
        if (osd) {
            overlays::paintPausedBadge(painter, size, state_.isVideoFullscreen, appearance_.osdTransparency,
                                       PictureOverlays::badgeShown(*this) ? 1.0 : 0.0);
            if (state_.isVideoFullscreen && state_.fullscreenControlsVisible) {
                const int w = std::min(920, std::max(0, int(size.width()) - 64));
                const int h = osd_->sizeHint().height();
                const QSize old = osd_->size();
                osd_->resize(w, h);
                painter.translate((size.width() - w) / 2, size.height() - fullscreenControlsHeight());
                osd_->render(&painter, QPoint(), QRegion(), QWidget::DrawChildren);
                osd_->resize(old);
            }
        }
    }
    std::vector<std::uint8_t> bytes(std::size_t(canvas.sizeInBytes()));
    std::memcpy(bytes.data(), canvas.constBits(), bytes.size());
    return image::CPUImage::make(width, height, 8, 32, std::size_t(canvas.bytesPerLine()), std::move(bytes));
}

// --- Dropped files.

bool ContentView::acceptDrop(const std::vector<std::filesystem::path>& urls) {
    if (urls.empty()) return false;
    findVideos(urls, [this](std::vector<std::filesystem::path> videos) { session_.openDroppedVideo(videos); });
    return true;
}

void ContentView::findVideos(std::vector<std::filesystem::path> urls,
                             std::function<void(std::vector<std::filesystem::path>)> found) {
    const std::uint64_t generation = ++*dropGeneration_;
    // Folders on slow or network disks take a while to walk: never on the main thread.
    runInBackground([urls = std::move(urls), found = std::move(found), generation, current = dropGeneration_] {
        auto videos = playableVideos(urls);
        QMetaObject::invokeMethod(
            qApp,
            [videos = std::move(videos), found, generation, current] {
                if (current->load() != generation) return; // a newer search, or the view is gone
                found(videos);
            },
            Qt::QueuedConnection);
    });
}

} // namespace lumavane
