#include "Lumavane/Views/TransportBar.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Presentation/VideoAspectMode.hpp"
#include "Lumavane/Views/HoverToolbarButton.hpp"
#include "Lumavane/Views/PopoverPickers.hpp"
#include "Lumavane/Views/SeekPreviewPanel.hpp"
#include "Lumavane/Views/SeekSlider.hpp"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QSlider>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace lumavane {
namespace {

QColor accent() { return QColor::fromRgbF(0.48f, 0.90f, 0.73f); }
const QColor primaryInk(235, 235, 235);
const QColor secondaryInk(150, 150, 150);

QString text(const std::string& localized) { return QString::fromStdString(localized); }

QFont captionFont(const QFont& base, bool medium = false) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(std::max(base.pointSizeF() - 1, 8.0));
    if (medium) font.setWeight(QFont::Medium);
    return font;
}

} // namespace

QString speakerSymbol(double volume, bool muted) {
    if (muted || volume == 0) return "speaker.slash.fill";
    if (volume < 0.34) return "speaker.wave.1.fill";
    if (volume < 0.67) return "speaker.wave.2.fill";
    return "speaker.wave.3.fill";
}

TransportBar::TransportBar(TransportActions actions, std::function<QIcon(const QString&)> symbolIcon,
                           QWidget* parent)
    : QWidget(parent), actions_(std::move(actions)), symbolIcon_(std::move(symbolIcon)) {
    setObjectName("transportControls");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    // Groups stand 16 apart; in a narrow pane the gaps give way down to 8 before the seek bar
    // has to shrink below its usable width (4 of layout spacing on each side of a spacer that
    // asks for 8 and can yield all of it).
    row->setSpacing(4);
    const auto groupGap = [row] { row->addSpacerItem(new QSpacerItem(8, 0, QSizePolicy::Preferred, QSizePolicy::Minimum)); };

    auto* playback = new QHBoxLayout;
    playback->setSpacing(6);
    back_ = iconButton("skipBack", 22);
    play_ = iconButton("playPause", 22);
    forward_ = iconButton("skipForward", 22);
    stop_ = iconButton("stop", 22);
    // The playback buttons are framed 22 wide; only the styled icon buttons are 28-point squares.
    for (QToolButton* button : {back_, play_, forward_, stop_}) button->setFixedSize(22, 28);
    for (QToolButton* button : {back_, play_, forward_, stop_}) playback->addWidget(button);
    row->addLayout(playback);
    connect(back_, &QAbstractButton::clicked, this, [this] { skip(-10); });
    connect(forward_, &QAbstractButton::clicked, this, [this] { skip(10); });
    connect(play_, &QAbstractButton::clicked, this, [this] {
        if (actions_.togglePlayback) actions_.togglePlayback();
    });
    connect(stop_, &QAbstractButton::clicked, this, [this] {
        if (actions_.stopPlayback) actions_.stopPlayback();
    });

    positionLabel_ = new QLabel(this);
    positionLabel_->setObjectName("positionLabel");
    positionLabel_->setFont(captionFont(font()));
    positionLabel_->setFixedWidth(52);
    positionLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    groupGap();
    row->addWidget(positionLabel_);

    seek_ = new SeekSlider(this);
    seek_->setObjectName("seekBar");
    seek_->setMinimumWidth(minimumSeekWidth);
    seek_->setTintColor(accent());
    groupGap();
    row->addWidget(seek_, 1);
    seek_->changed = [this](double value) {
        if (actions_.seek) actions_.seek(value);
        if ((state_.seekBarHovered || state_.isScrubbing) && actions_.setSeekPreview)
            actions_.setSeekPreview(value);
    };
    seek_->hovered = [this](std::optional<double> fraction) { seekHovered(fraction); };
    seek_->editing = [this](bool editing) { seekEditing(editing); };

    durationLabel_ = new QLabel(this);
    durationLabel_->setObjectName("durationLabel");
    durationLabel_->setFont(captionFont(font()));
    durationLabel_->setFixedWidth(52);
    durationLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette secondary = durationLabel_->palette();
    secondary.setColor(QPalette::WindowText, secondaryInk);
    durationLabel_->setPalette(secondary);
    groupGap();
    row->addWidget(durationLabel_);

    rate_ = new QToolButton(this);
    rate_->setObjectName("playbackRate");
    rate_->setFixedSize(52, 28);
    rate_->setFont(captionFont(font(), true));
    rate_->setCursor(Qt::PointingHandCursor);
    groupGap();
    row->addWidget(rate_);
    connect(rate_, &QAbstractButton::clicked, this, [this] {
        if (actions_.setPopover)
            actions_.setPopover(TransportPopover::playbackRates,
                                !state_.popover(TransportPopover::playbackRates));
    });

    auto* volume = new QHBoxLayout;
    volume->setSpacing(7);
    mute_ = iconButton("mute", 18);
    volume->addWidget(mute_);
    connect(mute_, &QAbstractButton::clicked, this, [this] {
        if (actions_.toggleMute) actions_.toggleMute();
    });
    volumeSlider_ = new QSlider(Qt::Horizontal, this);
    volumeSlider_->setObjectName("volume");
    volumeSlider_->setRange(0, 1000);
    volumeSlider_->setSingleStep(int(std::lround(volumeStep * 1000)));
    volumeSlider_->setPageStep(int(std::lround(volumeStep * 1000)));
    volumeSlider_->installEventFilter(this);
    volumeSlider_->setFixedWidth(82);
    volumeSlider_->setFocusPolicy(Qt::NoFocus);
    // Drawn like the seek bar: a thin track, the accent fill and a round knob.
    volumeSlider_->setStyleSheet(
        QString(
            "QSlider::groove:horizontal { height: 3px; background: rgba(255,255,255,31); border-radius: 1px; }"
            "QSlider::sub-page:horizontal { background: %1; border-radius: 1px; }"
            "QSlider::handle:horizontal { background: #ececec; width: 12px; height: 12px; margin: -5px 0;"
            " border-radius: 6px; }")
            .arg(accent().name()));
    volume->addWidget(volumeSlider_);
    connect(volumeSlider_, &QSlider::valueChanged, this, [this](int value) {
        const double next = value / 1000.0;
        if (std::abs(next - state_.volume) < 0.0005) return; // our own update
        if (actions_.setVolume) actions_.setVolume(next);
    });
    groupGap();
    row->addLayout(volume);

    auto* tools = new QHBoxLayout;
    tools->setSpacing(4);
    effects_ = iconButton("effects", 18);
    aspect_ = iconButton("aspectMode", 18);
    audio_ = iconButton("audioTrack", 18);
    subtitles_ = iconButton("subtitles", 18);
    capture_ = iconButton("capture", 18);
    fullscreen_ = iconButton("fullscreen", 18);
    for (QToolButton* button : {effects_, aspect_, audio_, subtitles_, capture_, fullscreen_})
        tools->addWidget(button);
    groupGap();
    row->addLayout(tools);
    const std::pair<QToolButton*, TransportPopover> popoverButtons[] = {
        {effects_, TransportPopover::effects},
        {aspect_, TransportPopover::aspectModes},
        {audio_, TransportPopover::audioTracks},
        {subtitles_, TransportPopover::subtitles}};
    for (const auto& [button, which] : popoverButtons)
        connect(button, &QAbstractButton::clicked, this, [this, which] {
            if (actions_.setPopover) actions_.setPopover(which, !state_.popover(which));
        });
    connect(capture_, &QAbstractButton::clicked, this, [this] {
        if (actions_.captureFrame) actions_.captureFrame();
    });
    connect(fullscreen_, &QAbstractButton::clicked, this, [this] {
        const auto& toggle =
            state_.isVideoFullscreen ? actions_.exitVideoFullscreen : actions_.enterVideoFullscreen;
        if (toggle) toggle();
    });

    // Without modifiers, in the whole window; the buttons' enabled state gates them.
    const std::pair<QKeySequence, QToolButton*> keys[] = {{QKeySequence(Qt::Key_Space), play_},
                                                          {QKeySequence(Qt::Key_Left), back_},
                                                          {QKeySequence(Qt::Key_Right), forward_},
                                                          {QKeySequence(Qt::Key_F11), fullscreen_}};
    for (const auto& [key, button] : keys) {
        auto* shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(key != QKeySequence(Qt::Key_Space) && key != QKeySequence(Qt::Key_F11));
        connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled()) button->click();
        });
        shortcuts_.push_back(shortcut);
    }

    setState(state_);
    relabel();
}

TransportBar::~TransportBar() { delete preview_.data(); }

QToolButton* TransportBar::iconButton(const char* name, int width) {
    auto* button = new HoverToolbarButton(this);
    button->setObjectName(name);
    button->setFixedSize(std::max(width, 28), 28);
    button->setIconSize(QSize(18, 18));
    return button;
}

bool TransportBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched != volumeSlider_ || event->type() != QEvent::Wheel) return QWidget::eventFilter(watched, event);
    // The slider's own wheel step is three thousandths of the range per notch: one notch, one step.
    const QPoint delta = static_cast<QWheelEvent*>(event)->angleDelta();
    pendingWheel_ += delta.y() != 0 ? delta.y() : -delta.x();
    const int notches = pendingWheel_ / QWheelEvent::DefaultDeltasPerStep;
    pendingWheel_ -= notches * QWheelEvent::DefaultDeltasPerStep;
    if (notches != 0) {
        const double next = std::clamp(state_.volume + notches * volumeStep, 0.0, 1.0);
        if (next != state_.volume && actions_.setVolume) actions_.setVolume(next);
    }
    event->accept();
    return true;
}

QAbstractButton* TransportBar::button(const char* name) const { return findChild<QAbstractButton*>(name); }

void TransportBar::setSymbol(QAbstractButton* button, const QString& symbol, const QColor& tint) {
    const QVariant previousTint = button->property("lumavaneTint");
    if (button->property(symbolProperty).toString() == symbol && previousTint.value<QColor>() == tint) return;
    button->setProperty(symbolProperty, symbol);
    button->setProperty("lumavaneTint", tint);
    // Theme icons come in the theme's own colours; the bar draws them in its inks. A tint that
    // comes and goes (the effects button follows whether an enhanced picture is on screen) takes
    // the icon made before.
    const QColor ink = tint.isValid() ? tint : primaryInk;
    button->setIcon(tintedSymbolIcon(symbol, symbolIcon_ ? symbolIcon_(symbol) : QIcon(), ink));
}

void TransportBar::setHelp(QAbstractButton* button, const std::string& help, const std::string& accessible) {
    button->setToolTip(text(help));
    button->setAccessibleName(text(accessible));
}

void TransportBar::skip(double seconds) {
    if (actions_.seek) actions_.seek(state_.position + seconds);
    if (state_.isVideoFullscreen && actions_.showFullscreenControlsTemporarily)
        actions_.showFullscreenControlsTemporarily();
}

void TransportBar::seekHovered(std::optional<double> fraction) {
    const bool hovered = fraction.has_value();
    const bool changed = hovered != state_.seekBarHovered;
    state_.seekBarHovered = hovered;
    if (actions_.setSeekBarHovered) actions_.setSeekBarHovered(hovered);
    if (changed && state_.isVideoFullscreen && actions_.showFullscreenControlsTemporarily)
        actions_.showFullscreenControlsTemporarily();
    if (state_.isScrubbing || !actions_.setSeekPreview) return;
    if (!fraction || (state_.isVideoFullscreen && !state_.fullscreenControlsVisible))
        actions_.setSeekPreview(std::nullopt);
    else
        actions_.setSeekPreview(state_.duration * *fraction);
}

void TransportBar::seekEditing(bool editing) {
    state_.isScrubbing = editing;
    if (actions_.setViewScrubbing) actions_.setViewScrubbing(editing);
    if (actions_.setScrubbing) actions_.setScrubbing(editing);
    if (!editing && !state_.seekBarHovered && actions_.setSeekPreview) actions_.setSeekPreview(std::nullopt);
    if (state_.isVideoFullscreen && actions_.showFullscreenControlsTemporarily)
        actions_.showFullscreenControlsTemporarily();
}

void TransportBar::setState(const TransportState& state) {
    state_ = state;
    const bool video = state.hasVideo;
    for (QToolButton* button : {back_, play_, forward_, stop_}) button->setEnabled(video);
    setSymbol(back_, "backward.fill");
    setSymbol(play_, state.playing ? "pause.fill" : "play.fill");
    setSymbol(forward_, "forward.fill");
    setSymbol(stop_, "stop.fill");
    setHelp(play_, state.playing ? AppLocalization::string("一時停止") : AppLocalization::string("再生"),
            state.playing ? AppLocalization::string("一時停止") : AppLocalization::string("再生"));

    seek_->setMaximum(state.duration);
    seek_->setEnabled(video);
    seek_->setHoverEnabled(video && (!state.isVideoFullscreen || state.fullscreenControlsVisible));
    durationLabel_->setText(QString::fromStdString(transportTimeText(state.duration)));

    const QString rateText = playbackRateText(state.playbackRate);
    rate_->setText(rateText);
    rate_->setAccessibleDescription(rateText);
    // Set only when it changes: each new style sheet polishes the button again.
    const QString rateStyle = QString("QToolButton { background: rgba(255,255,255,14); border: 1px solid "
                                      "rgba(255,255,255,31); border-radius: 5px; color: %1; }")
                                  .arg((state.playbackRate == 1.0 ? primaryInk : accent()).name());
    if (rate_->styleSheet() != rateStyle) rate_->setStyleSheet(rateStyle);

    setSymbol(mute_, speakerSymbol(state.volume, state.isMuted));
    const bool muted = state.isMuted;
    setHelp(mute_, muted ? AppLocalization::string("ミュートを解除") : AppLocalization::string("ミュート"),
            muted ? AppLocalization::string("ミュートを解除") : AppLocalization::string("ミュート"));
    {
        const QSignalBlocker quiet(volumeSlider_);
        volumeSlider_->setValue(int(std::lround(std::clamp(state.volume, 0.0, 1.0) * 1000)));
    }

    const auto toolInk = [](bool accented) { return accented ? accent() : secondaryInk; };
    setSymbol(effects_, "slider.horizontal.3", toolInk(state.hasAnyEffect));
    const auto aspect = videoAspectModeFromRawValue(state.aspectModeRawValue);
    setSymbol(aspect_, "aspectratio", toolInk(aspect && *aspect != VideoAspectMode::automatic));
    setSymbol(audio_, "waveform", toolInk(state.audioTracks.size() >= 2));
    audio_->setEnabled(!state.audioTracks.empty());
    const bool subtitleOn = state.selectedSubtitleTrackID.has_value();
    setSymbol(subtitles_, subtitleOn ? "captions.bubble.fill" : "captions.bubble", toolInk(subtitleOn));
    subtitles_->setEnabled(!state.subtitleTracks.empty());
    setSymbol(capture_, "camera", secondaryInk);
    capture_->setEnabled(video);
    setSymbol(fullscreen_,
              state.isVideoFullscreen ? "arrow.up.right.and.arrow.down.left"
                                      : "arrow.down.left.and.arrow.up.right",
              secondaryInk);
    fullscreen_->setEnabled(video && !state.fullscreenTransitionInProgress);
    setHelp(fullscreen_,
            state.isVideoFullscreen ? AppLocalization::string("フルスクリーンを終了（Esc）")
                                    : AppLocalization::string("映像だけをフルスクリーン表示"),
            state.isVideoFullscreen ? AppLocalization::string("フルスクリーンを終了")
                                    : AppLocalization::string("映像をフルスクリーン表示"));

    showPosition();
    syncPopovers();
}

void TransportBar::updatePosition(double position) {
    state_.position = position;
    showPosition();
}

void TransportBar::showPosition() {
    positionLabel_->setText(QString::fromStdString(transportTimeText(state_.position)));
    seek_->setValue(state_.scrubPosition.value_or(state_.position));
    syncPreview();
}

void TransportBar::syncPreview() {
    const bool fullscreen = state_.isVideoFullscreen;
    std::optional<double> fraction;
    if (state_.seekPreviewPosition && (!fullscreen || state_.fullscreenControlsVisible))
        fraction = *state_.seekPreviewPosition / std::max(state_.duration, 1.0);
    if (!fraction && !preview_) return;
    // The floating panel in the window, a bubble inside it in the full screen.
    if (preview_ && preview_->floating() == fullscreen) {
        delete preview_.data();
    }
    if (!preview_) preview_ = new SeekPreviewPanel(fullscreen ? window() : seek_->window(), !fullscreen);
    const QString label =
        QString::fromStdString(transportTimeText(state_.seekPreviewPosition.value_or(state_.position)));
    if (fullscreen) preview_->present(FullscreenSeekPreview{state_.seekPreviewThumbnail, label, fraction}, seek_);
    else preview_->present(SeekPreviewBubble{state_.seekPreviewThumbnail, label, fraction}, seek_);
}

void TransportBar::syncPopovers() {
    for (std::size_t i = 0; i < popovers_.size(); ++i) {
        const auto which = TransportPopover(i);
        // Only the bar on screen opens them: the windowed one and the full-screen one share the flags.
        const bool shown = state_.popover(which) && isVisible();
        PopoverFrame*& frame = popovers_[i];
        if (shown) {
            if (!frame) {
                QWidget* anchor = which == TransportPopover::effects       ? effects_
                                  : which == TransportPopover::aspectModes ? aspect_
                                  : which == TransportPopover::audioTracks ? audio_
                                  : which == TransportPopover::subtitles   ? subtitles_
                                                                           : rate_;
                const int minimumWidth = which == TransportPopover::playbackRates ? 160
                                         : which == TransportPopover::effects     ? 0
                                                                                  : 220;
                frame = new PopoverFrame(anchor, minimumWidth);
                frame->closed = [this, which] {
                    if (state_.popover(which) && actions_.setPopover) actions_.setPopover(which, false);
                };
            }
            if (!frame->isVisible() || which != TransportPopover::effects) fillPopover(which);
            if (!frame->isVisible()) frame->popUp();
        } else if (frame && frame->isVisible()) {
            frame->hide();
        }
    }
}

void TransportBar::fillPopover(TransportPopover which) {
    PopoverFrame* frame = popovers_[std::size_t(which)];
    switch (which) {
    case TransportPopover::effects:
        if (actions_.makeEffectsPanel)
            if (QWidget* panel = actions_.makeEffectsPanel()) frame->setView(panel);
        return;
    case TransportPopover::aspectModes:
        frame->setPicker(aspectModePicker(state_.aspectModeRawValue,
                                          [this](const std::string& raw) {
                                              if (actions_.setAspectMode) actions_.setAspectMode(raw);
                                          }),
                         accent());
        return;
    case TransportPopover::audioTracks:
        frame->setPicker(audioTrackPicker(state_.audioTracks, state_.selectedAudioTrackID,
                                          [this](int id) {
                                              if (actions_.selectAudioTrack) actions_.selectAudioTrack(id);
                                          }),
                         accent());
        return;
    case TransportPopover::subtitles:
        frame->setPicker(subtitlePicker(state_.subtitleTracks, state_.selectedSubtitleTrackID,
                                        [this](std::optional<int> id) {
                                            if (actions_.selectSubtitle) actions_.selectSubtitle(id);
                                        }),
                         accent());
        return;
    case TransportPopover::playbackRates:
        frame->setPicker(playbackRatePicker(state_.playbackRate,
                                            [this](double rate) {
                                                if (actions_.setPlaybackRate) actions_.setPlaybackRate(rate);
                                            }),
                         accent());
        return;
    }
}

void TransportBar::relabel() {
    setHelp(back_, AppLocalization::string("10秒戻す"), AppLocalization::string("10秒戻す"));
    setHelp(forward_, AppLocalization::string("10秒進む"), AppLocalization::string("10秒進む"));
    setHelp(stop_, AppLocalization::string("停止"), AppLocalization::string("停止"));
    seek_->setAccessibleName(text(AppLocalization::string("再生位置")));
    setHelp(rate_, AppLocalization::string("再生速度"), AppLocalization::string("再生速度"));
    volumeSlider_->setAccessibleName(text(AppLocalization::string("音量")));
    setHelp(effects_, AppLocalization::string("画質エフェクト（FX）"),
            AppLocalization::string("画質エフェクト（FX）"));
    setHelp(aspect_, AppLocalization::string("アスペクト比"), AppLocalization::string("アスペクト比を選択"));
    setHelp(audio_, AppLocalization::string("音声トラック"), AppLocalization::string("音声トラックを選択"));
    setHelp(subtitles_, AppLocalization::string("字幕"), AppLocalization::string("字幕を選択"));
    setHelp(capture_, AppLocalization::string("表示中の映像をPNGで保存"),
            AppLocalization::string("映像をキャプチャ"));
    setState(state_);
}

} // namespace lumavane
