#pragma once

#include "Platform/Media/MediaPlayer.hpp"

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace lumavane::test {

// A platform item whose video output holds the frames the test puts in, oldest first.
struct FakeItem final : media::PlayerItem {
    std::filesystem::path file;
    std::optional<std::size_t> selected;
    std::deque<media::VideoFrame> frames;
    const std::filesystem::path& path() const override { return file; }
    media::ItemStatus status() const override { return media::ItemStatus::readyToPlay; }
    std::optional<std::string> errorDescription() const override { return std::nullopt; }
    void selectAudioOption(std::size_t index) override { selected = index; }
    std::optional<std::size_t> selectedAudioOption() const override { return selected; }
    bool hasNewPixelBuffer(double itemTime) const override {
        return !frames.empty() && frames.front().itemTime <= itemTime;
    }
    std::optional<media::VideoFrame> copyPixelBuffer(double itemTime) override {
        std::optional<media::VideoFrame> due;
        while (hasNewPixelBuffer(itemTime)) due = take();
        return due;
    }
    std::optional<media::VideoFrame> copyNextPixelBuffer(double itemTime) override {
        if (!hasNewPixelBuffer(itemTime)) return std::nullopt;
        return take();
    }

private:
    media::VideoFrame take() {
        media::VideoFrame frame = std::move(frames.front());
        frames.pop_front();
        return frame;
    }
};

// Loads and seeks complete only when the test says so; the clock stands where the test puts it.
struct FakePlayer final : media::Player {
    std::vector<std::function<void(media::AssetResult)>> loads;
    std::vector<double> seeks, plays, leads;
    std::vector<std::function<void(bool)>> completions;
    std::shared_ptr<media::PlayerItem> item;
    std::shared_ptr<FakeItem> made; // the last item made
    double rate_ = 1;
    float volume = 1;
    double time = 0;
    // Host seconds now, for itemTime(); without it the host clock.
    std::function<double()> hostNow;
    void loadAsset(const std::filesystem::path&, std::function<void(media::AssetResult)> done) override {
        loads.push_back(done);
    }
    std::shared_ptr<media::PlayerItem> makeItem(const std::filesystem::path&) override {
        return made = std::make_shared<FakeItem>();
    }
    void replaceCurrentItem(std::shared_ptr<media::PlayerItem> next) override { item = next; }
    std::shared_ptr<media::PlayerItem> currentItem() const override { return item; }
    void setDefaultRate(double value) override { rate_ = value; }
    double defaultRate() const override { return rate_; }
    bool paused = false;
    void playImmediately(double value) override {
        plays.push_back(value);
        paused = false;
    }
    void pause() override { paused = true; }
    double rate() const override { return 0; }
    void setRate(double value) override { plays.push_back(value); }
    void setVolume(float value) override { volume = value; }
    double currentTime() const override { return time; }
    double itemTime(double hostTime) const override {
        if (paused) return time; // a paused clock stands still
        return hostNow ? time + (hostTime - hostNow()) : media::Player::itemTime(hostTime);
    }
    void setVideoPresentationLeadTime(double seconds) override { leads.push_back(seconds); }
    void seek(double seconds, std::function<void(bool)> done) override {
        seeks.push_back(seconds);
        completions.push_back(done);
    }
};

} // namespace lumavane::test
