// The last frames of a video on the platform back-end (the real GStreamer player), played enhanced.
#include "SessionTestSupport.hpp"

#include "../../Platform/Media/MediaClips.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Image/Node.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

namespace lumavane::test {
namespace {

// Takes about as long as a model on a modest machine and hands back the picture doubled.
class SlowEnhancer final : public PlaybackEnhancer {
public:
    ModelInfo model{"Slow", 64, 64, 2, "", "", false};
    const ModelInfo& info() const override { return model; }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>&,
                                       std::optional<image::Size>, const CancellationToken&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        return {image.transformed(image::AffineTransform::scale(2, 2)), 1};
    }
};

// The number a numbered clip's frame carries (column k, 16 pixels wide, is white for bit k), read
// from the decoded picture a shown one, enhanced or not, is made of.
int numberOf(const image::Image& picture) {
    const image::detail::Node* node = picture.node().get();
    while (node && node->kind != image::detail::Node::Kind::source) node = node->child.get();
    if (!node || !node->source || !node->source->pixelBuffer) return -1;
    const PixelBuffer& buffer = node->source->pixelBuffer;
    const auto* row = static_cast<const std::uint8_t*>(buffer.baseAddress()) + 48 * buffer.bytesPerRow();
    int number = 0;
    for (int bit = 0; bit < 10; ++bit)
        if (row[(bit * 16 + 8) * 4 + 1] > 128) number |= 1 << bit;
    return number;
}

// With the enhancer's lead the video sink ends the stream that long before the clock reaches the
// last frame; the position must not jump to the end then, or the frames still due are passed over
// and the last one comes early. Every frame of the last second reaches the screen, in order, and
// none before its time (counted back from the end, which the player tells by the clock). A loaded
// machine may hold the display's refreshes back: a frame passed over while the refreshes came more
// than a frame apart is not the player's fault, and the end is noticed up to a refresh late.
TEST(SessionPlatformEndTests, EnhancedPlaybackShowsEveryLastFrameAtItsTime) {
    const std::filesystem::path path = media::clip("numbered.mp4"); // 4 s at 15 frames a second
    constexpr int frames = 60;
    constexpr double frameRate = 15;
    SessionHarness harness;
    PlayerSession session(harness.options());
    session.setMode(ViewMode::enhanced);
    session.setEnhancer(std::make_shared<SlowEnhancer>());
    std::vector<std::pair<int, double>> shown; // each new number and when it was first shown
    std::map<int, bool> enhanced;
    session.display = [&](std::optional<image::Image> picture, std::optional<image::Image> guide) {
        if (!picture) return;
        const int number = numberOf(*picture);
        if (guide) enhanced[number] = true;
        if (shown.empty() || shown.back().first != number) shown.emplace_back(number, hostTimeSeconds());
    };
    session.loadVideo(path);

    bool started = false;
    double ended = 0;
    std::vector<double> ticks;
    const double deadline = hostTimeSeconds() + 60;
    double next = hostTimeSeconds();
    while (hostTimeSeconds() < deadline) {
        next += 1.0 / 60;
        harness.loop.runUntil([] { return false; }, std::max(next - hostTimeSeconds(), 0.0));
        session.tick(hostTimeSeconds());
        ticks.push_back(hostTimeSeconds());
        started = started || (session.playing() && session.platformItem() && session.latest());
        if (started && !session.playing()) {
            ended = hostTimeSeconds();
            break;
        }
    }
    ASSERT_TRUE(session.platformItem() != nullptr) << session.message().value_or("");
    ASSERT_GT(ended, 0) << "played to the end";
    ASSERT_FALSE(enhanced.empty()) << "the enhancer's pictures were shown";

    const double lastSecond = ended - 1 - 0.5; // and a little before
    double longestGap = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        if (ticks[i] > lastSecond) longestGap = std::max(longestGap, ticks[i] - ticks[i - 1]);
    SCOPED_TRACE("longest time between refreshes in the last second " + std::to_string(longestGap));
    std::map<int, double> firstShown;
    for (const auto& [number, time] : shown) firstShown.emplace(number, time);
    for (int n = frames - int(frameRate); n < frames; ++n) {
        SCOPED_TRACE(n);
        if (!firstShown.contains(n)) {
            if (longestGap < 0.75 / frameRate) ADD_FAILURE() << "frame never shown";
            continue;
        }
        // The end comes when the clock reaches the last frame's end. Beyond the quarter frame a
        // refresh may take a frame early, the margin is a third of the lead (passing over the end's
        // lead showed the last frame 0.25 s early); showing late is what a loaded machine may do.
        const double due = ended - (frames - n) / frameRate;
        EXPECT_GT(firstShown[n], due - 0.25 / frameRate - 0.1 - longestGap);
    }
    // In order: no frame comes back once a later one has been shown.
    for (std::size_t i = 1; i < shown.size(); ++i)
        EXPECT_GT(shown[i].first, shown[i - 1].first) << "at " << i;
    session.stopPlayback();
}

} // namespace
} // namespace lumavane::test
