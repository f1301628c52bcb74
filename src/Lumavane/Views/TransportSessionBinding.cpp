#include "Lumavane/Views/TransportSessionBinding.hpp"

#include "Lumavane/Session/PlayerSession.hpp"

#include <QLayout>
#include <QVBoxLayout>

namespace lumavane {

TransportSessionBinding::TransportSessionBinding(PlayerSession& session, View view,
                                                 std::vector<QWidget*> slots,
                                                 std::function<QIcon(const QString&)> symbolIcon)
    : session_(session), readView_(std::move(view.read)) {
    TransportActions actions = std::move(view.actions);
    PlayerSession* s = &session;
    actions.togglePlayback = [s] { s->togglePlayback(); };
    actions.stopPlayback = [s] { s->stopPlayback(); };
    actions.seek = [s](double seconds) { s->seek(seconds); };
    actions.setSeekPreview = [s](std::optional<double> seconds) { s->setSeekPreview(seconds); };
    actions.setScrubbing = [s](bool scrubbing) { s->setScrubbing(scrubbing); };
    actions.setVolume = [s](double volume) { s->setVolume(volume); };
    // setIsMuted saves and applies the volume itself.
    actions.toggleMute = [s] { s->setIsMuted(!s->isMuted()); };
    actions.setPlaybackRate = [s](double rate) { s->setPlaybackRate(rate); };
    actions.selectAudioTrack = [s](int id) { s->selectAudioTrack(id); };
    actions.selectSubtitle = [s](std::optional<int> id) { s->selectSubtitle(id); };
    actions.captureFrame = [s] {
        if (s->captureFrame) s->captureFrame();
    };
    actions.makeEffectsPanel = [this]() -> QWidget* {
        return makeEffectsPanel ? makeEffectsPanel() : nullptr;
    };
    for (QWidget* slot : slots) {
        if (!slot) continue;
        auto* bar = new TransportBar(actions, symbolIcon, slot);
        QLayout* layout = slot->layout() ? slot->layout() : new QVBoxLayout(slot);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(bar);
        bars_.push_back(bar);
    }

    const auto again = [this](const auto&) { refresh(); };
    connections_.push_back(session.hasVideo.observe(again));
    connections_.push_back(session.playing.observe(again));
    connections_.push_back(session.duration.observe(again));
    connections_.push_back(session.playbackRate.observe(again));
    connections_.push_back(session.volume.observe(again));
    connections_.push_back(session.isMuted.observe(again));
    connections_.push_back(session.scrubPosition.observe(again));
    connections_.push_back(session.seekPreviewPosition.observe(again));
    connections_.push_back(session.seekPreviewThumbnail.observe(again));
    connections_.push_back(session.audioTracks.observe(again));
    connections_.push_back(session.selectedAudioTrackID.observe(again));
    connections_.push_back(session.subtitleTracks.observe(again));
    connections_.push_back(session.selectedSubtitleTrackID.observe(again));
    for (auto* effect : {&session.sharpenEnabled, &session.debandEnabled, &session.grainEnabled,
                         &session.fxEnabled, &session.enhancementCleanupEnabled})
        connections_.push_back(effect->observe(again));
    for (auto* amount : {&session.brightness, &session.gamma, &session.enhancementCleanupAmount,
                         &session.split, &session.fxSplit})
        connections_.push_back(amount->observe(again));
    connections_.push_back(session.mode.observe(again));
    // The position alone redraws only the label and the bar.
    connections_.push_back(session.positionReadout.observe([this](double position) {
        for (TransportBar* bar : bars_) bar->updatePosition(position);
    }));
    refresh();
}

TransportSessionBinding::~TransportSessionBinding() = default;

TransportState TransportSessionBinding::read() {
    const PlayerSession& s = session_;
    TransportState state;
    state.hasVideo = s.hasVideo();
    state.playing = s.playing();
    state.position = s.positionReadout.value();
    state.duration = s.duration();
    state.playbackRate = s.playbackRate();
    state.volume = s.volume();
    state.isMuted = s.isMuted();
    state.scrubPosition = s.scrubPosition();
    state.seekPreviewPosition = s.seekPreviewPosition();
    if (const auto& picture = s.seekPreviewThumbnail(); picture && picture->width() > 0) {
        // The same picture keeps its QImage, so the panel repaints only for a new one.
        if (!heldThumbnail_ || heldThumbnail_->row(0) != picture->row(0)) {
            heldThumbnail_ = picture;
            thumbnail_ = QImage(picture->row(0), picture->width(), picture->height(),
                                int(picture->bytesPerRow()), QImage::Format_ARGB32_Premultiplied)
                             .copy();
        }
        state.seekPreviewThumbnail = thumbnail_;
    } else {
        heldThumbnail_.reset();
    }
    state.audioTracks = s.audioTracks();
    state.selectedAudioTrackID = s.selectedAudioTrackID();
    state.subtitleTracks = s.subtitleTracks();
    state.selectedSubtitleTrackID = s.selectedSubtitleTrackID();
    state.hasAnyEffect = s.postProcessConfiguration().hasAnyEffect();
    state.canCapture = static_cast<bool>(s.captureFrame);
    if (readView_) readView_(state);
    return state;
}

void TransportSessionBinding::refresh() {
    const TransportState state = read();
    for (TransportBar* bar : bars_) bar->setState(state);
}

void TransportSessionBinding::relabel() {
    for (TransportBar* bar : bars_) bar->relabel();
}

} // namespace lumavane
