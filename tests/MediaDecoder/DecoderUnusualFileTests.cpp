// Times, frames and seeks of files that containers make unusual: audio before the video, frames
// without times, no stated length, no timestamps at all. ffprobe and ffmpeg's own frames are the
// oracle; the pictures tell the frames apart.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "MediaDecoder/DecoderTestSupport.hpp"

using namespace lumavane::test;

namespace {

void expectTimes(const std::vector<double>& delivered, const std::vector<double>& expected) {
    ASSERT_EQ(delivered.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) EXPECT_NEAR(delivered[i], expected[i], 0.001) << i;
}

/* The times of the video frames ffmpeg itself decodes, counted from ffprobe's start of the file. */
std::vector<double> ffmpegFrameTimes(const std::string& path) {
    const double start = ffprobeVideo(path).start;
    std::vector<double> times;
    for (const std::string& line :
         commandLines("ffmpeg -nostdin -hide_banner -copyts -i '" + path +
                      "' -map 0:v:0 -vf showinfo -f null - 2>&1 | grep -o 'pts_time:[-0-9.e]*'"))
        times.push_back(std::strtod(line.c_str() + 9, nullptr) - start);
    return times;
}

} // namespace

TEST(DecoderUnusualFiles, SeeksBeforeTheFirstVideoFrameOfAnFlvWhoseAudioComesFirst) {
    const std::string path = mediaPath("early_audio.flv");
    const ProbedVideo probed = ffprobeVideo(path);
    ASSERT_FALSE(probed.frameTimes.empty());
    ASSERT_GT(probed.frameTimes.front(), 0.1) << "the audio is to start first";
    Decoder d("early_audio.flv");
    ASSERT_NE(d.decoder, nullptr) << d.err;
    ASSERT_EQ(readToEnd(d.decoder), 0);
    expectTimes(d.times(0), probed.frameTimes);
    // Also after the end: every seek before the first key frame plays the whole video again.
    for (double target : {0.0, 0.01, 0.024, probed.frameTimes.front() - 0.001, -1.0}) {
        SCOPED_TRACE(target);
        const size_t first = d.recorder.frames.size();
        ASSERT_EQ(d.seek(target), 0) << d.err;
        ASSERT_EQ(readToEnd(d.decoder), 0);
        expectTimes(d.times(first), probed.frameTimes);
    }
}

TEST(DecoderUnusualFiles, FramesWithoutATimeFollowTheFrameBefore) {
    // With B-frames the AVI's last frames come out of the decoder without a time; ffmpeg gives them
    // the time one frame on, as every other frame has.
    const std::string path = mediaPath("bframes.avi");
    const std::vector<double> expected = ffmpegFrameTimes(path);
    ASSERT_EQ(expected.size(), 50u);
    Decoder d("bframes.avi");
    ASSERT_NE(d.decoder, nullptr) << d.err;
    ASSERT_EQ(readToEnd(d.decoder), 0);
    expectTimes(d.times(0), expected);
    const size_t first = d.recorder.frames.size();
    ASSERT_EQ(d.seek(1.5), 0);
    ASSERT_EQ(readToEnd(d.decoder), 0);
    std::vector<double> tail = d.times(first);
    ASSERT_FALSE(tail.empty());
    std::vector<double> expectedTail(expected.end() - static_cast<long>(tail.size()), expected.end());
    expectTimes(tail, expectedTail);
}

TEST(DecoderUnusualFiles, MatroskaWithoutADurationTakesItsLengthFromItsStreams) {
    // Written to a pipe, the file states no length: it lasts until the end of its last packet.
    const std::string path = mediaPath("long_audio_piped.mkv");
    ASSERT_EQ(commandLines("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'"),
              std::vector<std::string>{"N/A"});
    const double start = ffprobeVideo(path).start;
    double end = 0;
    for (const std::string& line :
         commandLines("ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 '" + path + "'"))
        end = std::max(end, std::strtod(line.c_str(), nullptr) +
                                std::strtod(line.c_str() + line.find(',') + 1, nullptr) - start);
    ASSERT_GT(end, 3.9);
    Decoder d("long_audio_piped.mkv");
    ASSERT_NE(d.decoder, nullptr) << d.err;
    EXPECT_NEAR(lv_decoder_duration(d.decoder), end, 0.001);
    // Finding it leaves reading at the top.
    ASSERT_EQ(readToEnd(d.decoder), 0);
    expectTimes(d.times(0), ffprobeVideo(path).frameTimes);
    EXPECT_NEAR(d.recorder.chunks.at(0).pts, 0, 0.03);
}

TEST(DecoderUnusualFiles, RawStreamsSeekToTheKeyFramesMetWhileReading) {
    for (const char* clip : {"raw.h264", "raw.hevc"}) {
        SCOPED_TRACE(clip);
        Decoder d(clip);
        ASSERT_NE(d.decoder, nullptr) << d.err;
        ASSERT_EQ(readToEnd(d.decoder), 0);
        ASSERT_EQ(d.recorder.frames.size(), 75u);
        // Key frames every second: a seek decodes from the one before its target, not from the top,
        // and the last frame comes too. The pictures tell which frames came.
        for (double target : {1.5, 2.96, 2.5, 0.5, 3.0}) {
            SCOPED_TRACE(target);
            const size_t first = d.recorder.frames.size();
            ASSERT_EQ(d.seek(target), 0);
            ASSERT_EQ(readToEnd(d.decoder), 0);
            const int key = std::min(static_cast<int>(target), 2) * kFrameRate;
            std::vector<int> numbers;
            for (size_t i = first; i < d.recorder.frames.size(); i++) {
                numbers.push_back(frameNumber(d.recorder.frames[i].pts));
                EXPECT_NEAR(d.recorder.frames[i].right[1], expectedGrey(numbers.back()), 4) << numbers.back();
            }
            ASSERT_FALSE(numbers.empty());
            EXPECT_EQ(numbers.front(), key);
            EXPECT_EQ(numbers.back(), 74);
            EXPECT_EQ(numbers.size(), static_cast<size_t>(75 - key));
        }
    }
}
