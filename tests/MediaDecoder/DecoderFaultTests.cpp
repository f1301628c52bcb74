#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include "MediaDecoder/DecoderFrames.h"
#include "MediaDecoder/DecoderProbes.h"
#include "MediaDecoder/DecoderTestSupport.hpp"
#include "support/HeadHttpServer.hpp"

using namespace lumavane::test;

namespace {

struct FramePtr {
    AVFrame* frame = av_frame_alloc();
    ~FramePtr() { av_frame_free(&frame); }
};

} // namespace

TEST(DecoderFaults, FrameWithoutAConverterIsDroppedAndCounted) {
    size_t liveBefore = lv_pixel_buffer_live_count();
    Recorder recorder;
    lv_decoder* decoder = lv_decoder_create(mediaPath("video_only.mp4").c_str(), &recorder, Recorder::video,
                                            nullptr, nullptr, nullptr, 0);
    ASSERT_NE(decoder, nullptr);
    // The scaler takes no NV16 input.
    FramePtr nv16;
    nv16.frame->format = AV_PIX_FMT_NV16;
    nv16.frame->width = 64;
    nv16.frame->height = 32;
    ASSERT_EQ(av_frame_get_buffer(nv16.frame, 0), 0);
    EXPECT_EQ(lv_deliver_video_frame(decoder, nv16.frame), 0);
    // A hardware surface that cannot be downloaded.
    FramePtr surface;
    surface.frame->format = AV_PIX_FMT_VAAPI;
    surface.frame->width = 64;
    surface.frame->height = 32;
    EXPECT_EQ(lv_deliver_video_frame(decoder, surface.frame), 0);
    EXPECT_TRUE(recorder.frames.empty());
    lv_decoder_stats_t stats = lv_decoder_stats(decoder);
    EXPECT_EQ(stats.dropped_frames, 2);
    EXPECT_EQ(stats.software_frames, 0);
    // The decoder goes on converting ordinary frames.
    EXPECT_EQ(readToEnd(decoder), 0);
    EXPECT_EQ(recorder.frames.size(), 50u);
    lv_decoder_destroy(decoder);
    EXPECT_EQ(lv_pixel_buffer_live_count(), liveBefore);
}

namespace {

/* A 440 Hz tone in frames of 1024 samples, in the given shape. */
void fillToneFrame(AVFrame* frame, AVSampleFormat format, int rate, int channels, int64_t firstSample) {
    frame->format = format;
    frame->sample_rate = rate;
    frame->nb_samples = 1024;
    av_channel_layout_default(&frame->ch_layout, channels);
    ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
    for (int i = 0; i < 1024; i++) {
        double v = 0.5 * std::sin(2 * M_PI * 440 * static_cast<double>(firstSample + i) / rate);
        for (int c = 0; c < channels; c++) {
            if (format == AV_SAMPLE_FMT_FLTP)
                reinterpret_cast<float*>(frame->extended_data[c])[i] = static_cast<float>(v);
            else
                reinterpret_cast<int16_t*>(frame->data[0])[i * channels + c] =
                    static_cast<int16_t>(v * 32767);
        }
    }
}

} // namespace

TEST(DecoderFaults, ResamplerFollowsAChangeOfLayoutFormatAndRate) {
    Recorder recorder;
    lv_decoder* decoder = lv_decoder_create(mediaPath("h264_aac.mp4").c_str(), &recorder, Recorder::video,
                                            Recorder::audio, nullptr, nullptr, 0);
    ASSERT_NE(decoder, nullptr);
    // The audio stream's time base is 1/44100: timestamps are sample counts at that rate.
    int64_t sample = 0;
    for (int i = 0; i < 43; i++, sample += 1024) { // ~1 s of 44.1 kHz mono planar float
        FramePtr f;
        fillToneFrame(f.frame, AV_SAMPLE_FMT_FLTP, 44100, 1, sample);
        f.frame->best_effort_timestamp = sample;
        lv_deliver_audio_frame(decoder, f.frame);
    }
    size_t firstPart = recorder.samples.size() / 2;
    int64_t sample48 = 0;
    for (int i = 0; i < 47; i++, sample48 += 1024) { // ~1 s of 48 kHz interleaved 16-bit stereo
        FramePtr f;
        fillToneFrame(f.frame, AV_SAMPLE_FMT_S16, 48000, 2, sample48);
        f.frame->best_effort_timestamp = sample + sample48 * 44100 / 48000;
        lv_deliver_audio_frame(decoder, f.frame);
    }
    double firstSeconds = firstPart / 48000.0;
    double secondSeconds = static_cast<double>(recorder.samples.size() / 2 - firstPart) / 48000.0;
    EXPECT_NEAR(firstSeconds, 43 * 1024 / 44100.0, 0.01);
    EXPECT_NEAR(secondSeconds, 47 * 1024 / 48000.0, 0.01);
    EXPECT_NEAR(recorder.toneFrequency(0.1, firstSeconds - 0.05), 440, 3);
    EXPECT_NEAR(recorder.toneFrequency(firstSeconds + 0.05, firstSeconds + secondSeconds - 0.05), 440, 3);
    for (const AudioChunk& c : recorder.chunks) {
        EXPECT_EQ(c.channels, 2);
        EXPECT_EQ(c.rate, 48000);
    }
    lv_decoder_destroy(decoder);
}

TEST(DecoderFaults, PacketRefusedWithEagainIsSentAgainNotDropped) {
    ScopedEnv synchronous("LUMAVANE_THUMBNAIL_SYNCHRONOUS", "1");
    Recorder recorder;
    // One decoding thread so that undelivered output blocks the next packet.
    lv_decoder* decoder = lv_decoder_create_thumbnail(mediaPath("video_only.mp4").c_str(), &recorder,
                                                      Recorder::video, nullptr, 0);
    ASSERT_NE(decoder, nullptr);
    int sendResult = 1;
    int sentBefore = md_probe_refused_packet(decoder, &sendResult);
    ASSERT_GE(sentBefore, 1);
    EXPECT_EQ(sendResult, 0);
    EXPECT_EQ(readToEnd(decoder), 0);
    std::vector<int> numbers;
    for (const VideoFrame& f : recorder.frames) numbers.push_back(frameNumber(f.pts));
    std::vector<int> all(50);
    for (int i = 0; i < 50; i++) all[i] = i;
    EXPECT_EQ(numbers, all);
    lv_decoder_destroy(decoder);
}

TEST(DecoderFaults, ADamagedLastPacketLosesOnlyItsOwnFrame) {
    // With frame threads the error comes out of the drain, ahead of the frames still in flight.
    Recorder recorder;
    lv_decoder* decoder = lv_decoder_create(mediaPath("damaged.mkv").c_str(), &recorder, Recorder::video,
                                            nullptr, nullptr, nullptr, 0);
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(readToEnd(decoder), 0);
    EXPECT_EQ(recorder.frames.size(), 39u);
    lv_decoder_destroy(decoder);
}

TEST(DecoderFaults, NoPixelBufferOutlivesItsLastReference) {
    size_t liveBefore = lv_pixel_buffer_live_count();
    {
        Recorder recorder;
        recorder.keepFirstFrame = true;
        lv_decoder* decoder = lv_decoder_create(mediaPath("h264_aac.mp4").c_str(), &recorder, Recorder::video,
                                                Recorder::audio, Recorder::subtitle, nullptr, 0);
        ASSERT_NE(decoder, nullptr);
        ASSERT_EQ(readToEnd(decoder), 0);
        ASSERT_EQ(lv_decoder_seek(decoder, nullptr, 0, 1.0), 0);
        for (int i = 0; i < 10; i++) lv_decoder_read(decoder, nullptr, 0);
        lv_decoder_destroy(decoder);
        // The callee's own reference keeps its frame alive past the decoder.
        ASSERT_NE(recorder.kept, nullptr);
        EXPECT_EQ(lv_pixel_buffer_live_count(), liveBefore + 1);
        EXPECT_EQ(lv_pixel_buffer_get_width(recorder.kept), 320u);
    }
    EXPECT_EQ(lv_pixel_buffer_live_count(), liveBefore);
}

TEST(DecoderFaults, InterruptEndsAReadStuckOnAStalledSource) {
    std::ifstream file(mediaPath("vp9_opus.webm"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 20000u);
    const std::string head = bytes.substr(0, bytes.size() / 2);
    HeadHttpServer server(head, head.size() * 2, HeadHttpServer::After::stall, std::chrono::seconds(8));
    std::string url = server.url("clip.webm");

    Recorder recorder;
    char err[256] = "";
    lv_decoder* decoder =
        lv_decoder_create(url.c_str(), &recorder, Recorder::video, Recorder::audio, nullptr, err, sizeof err);
    ASSERT_NE(decoder, nullptr) << err;
    std::thread stopper([decoder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        lv_decoder_interrupt(decoder);
    });
    auto start = std::chrono::steady_clock::now();
    int result;
    while ((result = lv_decoder_read(decoder, err, sizeof err)) == 1) {}
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stopper.join();
    EXPECT_EQ(result, AVERROR_EXIT);
    EXPECT_STREQ(err, "read packet: Immediate exit requested");
    EXPECT_LT(waited, 5.0);
    EXPECT_GT(recorder.frames.size(), 0u);
    lv_decoder_destroy(decoder);
}

TEST(DecoderFaults, AFailedSeekLeavesReadingWhereItWas) {
    // The Matroska clip has subtitles, whose cues are looked for before the landing; the MP4 has its
    // audio and video interleaved in chunks. A failing demuxer has moved its input to the top.
    // Every frame is decoded, so that all of ffprobe's frames are to come.
    ScopedEnv everyFrame("LUMAVANE_SEEK_PREROLL_SKIP", "0");
    for (const char* clip : {"long_cue.mkv", "h264_aac.mp4"}) {
        SCOPED_TRACE(clip);
        const ProbedVideo probed = ffprobeVideo(mediaPath(clip));
        Recorder recorder;
        char err[256] = "";
        lv_decoder* decoder = lv_decoder_create(mediaPath(clip).c_str(), &recorder, Recorder::video,
                                                Recorder::audio, Recorder::subtitle, err, sizeof err);
        ASSERT_NE(decoder, nullptr) << err;
        // After a seek some of the packets read to find its landing are still queued.
        ASSERT_EQ(lv_decoder_seek(decoder, err, sizeof err, 1.0), 0);
        while (recorder.frames.size() < 3) ASSERT_EQ(lv_decoder_read(decoder, err, sizeof err), 1);
        const size_t firstAfter = recorder.frames.size();
        const double shown = recorder.frames.back().pts;
        md_probe_fail_seeks_from(decoder, 2.0);
        for (double target : {2.5, 2.5}) {
            std::strcpy(err, "");
            EXPECT_LT(lv_decoder_seek(decoder, err, sizeof err, target), 0);
            EXPECT_EQ(std::string(err).rfind("seek: ", 0), 0u) << err;
        }
        md_probe_fail_seeks_from(decoder, INFINITY);
        EXPECT_EQ(readToEnd(decoder), 0);
        lv_decoder_destroy(decoder);

        // The frames after the failed seeks are ffprobe's next ones, each once, to the end.
        std::vector<double> expected, delivered;
        for (double t : probed.frameTimes)
            if (t > shown + 1e-6) expected.push_back(t);
        for (size_t i = firstAfter; i < recorder.frames.size(); i++) delivered.push_back(recorder.frames[i].pts);
        ASSERT_EQ(delivered.size(), expected.size());
        for (size_t i = 0; i < expected.size(); i++) EXPECT_NEAR(delivered[i], expected[i], 0.001) << i;
        // The sound runs on without a gap or a repeat.
        for (size_t i = 1; i < recorder.chunks.size(); i++) {
            const AudioChunk& before = recorder.chunks[i - 1];
            EXPECT_NEAR(recorder.chunks[i].pts, before.pts + before.frames / 48000.0, 0.002) << i;
        }
        // Each cue comes once.
        for (const char* text : {"A long line", "A short one"}) {
            if (std::string(clip) != "long_cue.mkv") break;
            EXPECT_EQ(std::count_if(recorder.cues.begin(), recorder.cues.end(),
                                    [&](const Cue& cue) { return cue.text.find(text) != std::string::npos; }),
                      1)
                << text;
        }
    }
}
