#pragma once

#include "Lumavane/Session/DirectPlaybackBackend.hpp"

#include <utility>
#include <vector>

namespace lumavane::test {

// The direct back-end as the session drives it: the clock is set by the test, every call is
// remembered. A 100 s, 25 fps, 320 x 180 stream with two audio and two subtitle tracks.
struct FakeDirectEngine final : DirectPlaybackBackend {
    using Seeks = std::vector<std::pair<double, bool>>; // time, preview

    double time = 0;
    double lead = -1;          // the last lead time given
    std::vector<double> leads; // every lead time given
    Seeks seeks;
    std::vector<int> audioSelections;
    float volume = 1;
    double rate = 1;

    double currentTime() const override { return time; }
    void play() override {}
    void pause() override {}
    void seek(double seconds, bool preview) override { seeks.emplace_back(seconds, preview); }
    void setVideoPresentationLeadTime(double seconds) override { leads.push_back(lead = seconds); }
    double duration() const override { return 100; }
    double frameRate() const override { return 25; }
    int width() const override { return 320; }
    int height() const override { return 180; }
    double rotationDegrees() const override { return 0; }
    std::vector<DirectAudioTrack> audioTracks() const override {
        return {{0, "Main", "eng", true}, {1, "Second", "jpn", false}};
    }
    std::optional<int> initialAudioTrackID() const override { return 0; }
    std::vector<DirectSubtitleTrack> subtitleTracks() const override {
        return {{0, "English", "eng", false}, {1, "日本語", "jpn", true}};
    }
    void stop() override {}
    void setVolume(float value) override { volume = value; }
    void setPlaybackRate(double value) override { rate = value; }
    void selectAudioTrack(int id) override { audioSelections.push_back(id); }
};

} // namespace lumavane::test
