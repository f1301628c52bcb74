#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/error.h>
}

#include "MediaDecoder/DecoderTestSupport.hpp"

using namespace lumavane::test;

namespace {

std::vector<int> frameNumbers(const std::vector<VideoFrame>& frames, size_t from = 0) {
    std::vector<int> numbers;
    for (size_t i = from; i < frames.size(); i++) numbers.push_back(frameNumber(frames[i].pts));
    return numbers;
}

std::vector<int> range(int first, int last) {
    std::vector<int> numbers;
    for (int n = first; n <= last; n++) numbers.push_back(n);
    return numbers;
}

/* The frames a decoder of either kind delivers from a seek to the end, each checked by its picture. */
std::vector<int> framesAfterSeek(const std::string& name, bool thumbnail, double target) {
    ScopedEnv synchronous("LUMAVANE_THUMBNAIL_SYNCHRONOUS", thumbnail ? "1" : nullptr);
    Recorder recorder;
    lv_decoder* decoder = thumbnail ? lv_decoder_create_thumbnail(mediaPath(name).c_str(), &recorder,
                                                                  Recorder::video, nullptr, 0)
                                    : lv_decoder_create(mediaPath(name).c_str(), &recorder, Recorder::video,
                                                        nullptr, nullptr, nullptr, 0);
    EXPECT_NE(decoder, nullptr) << name;
    if (!decoder) return {};
    EXPECT_EQ(lv_decoder_seek(decoder, nullptr, 0, target), 0);
    EXPECT_EQ(readToEnd(decoder), 0);
    lv_decoder_destroy(decoder);
    std::vector<int> numbers = frameNumbers(recorder.frames);
    for (size_t i = 0; i < numbers.size(); i++)
        EXPECT_NEAR(recorder.frames[i].right[1], expectedGrey(numbers[i]), 4) << recorder.frames[i].pts;
    return numbers;
}

std::vector<int> from(std::vector<int> numbers, int first) {
    std::erase_if(numbers, [first](int n) { return n < first; });
    return numbers;
}

} // namespace

class DecoderCodecs : public testing::TestWithParam<const char*> {};

TEST_P(DecoderCodecs, DeliversEveryFrameAsBgraWithItsPicture) {
    Decoder d(GetParam());
    ASSERT_NE(d.decoder, nullptr) << d.err;
    EXPECT_EQ(readToEnd(d.decoder), 0) << d.err;
    ASSERT_EQ(d.recorder.frames.size(), 75u);
    EXPECT_EQ(frameNumbers(d.recorder.frames), range(0, 74));
    for (const VideoFrame& f : d.recorder.frames) {
        SCOPED_TRACE(f.pts);
        EXPECT_EQ(f.format, static_cast<uint32_t>(LV_PIXEL_FORMAT_32BGRA));
        EXPECT_EQ(f.width, 320u);
        EXPECT_EQ(f.height, 180u);
        EXPECT_LE(f.left[0], 6);   // B
        EXPECT_LE(f.left[1], 6);   // G
        EXPECT_GE(f.left[2], 245); // R
        EXPECT_EQ(f.left[3], 255);
        int grey = expectedGrey(frameNumber(f.pts));
        for (int c = 0; c < 3; c++) EXPECT_NEAR(f.right[c], grey, 4);
    }
    lv_decoder_stats_t stats = lv_decoder_stats(d.decoder);
    EXPECT_EQ(stats.software_frames, 75);
    EXPECT_EQ(stats.hardware_frames, 0);
    EXPECT_EQ(stats.dropped_frames, 0);
}

INSTANTIATE_TEST_SUITE_P(Clips, DecoderCodecs,
                         testing::Values("h264_aac.mp4", "hevc.mkv", "vp9_opus.webm", "av1.mkv",
                                         "hevc_10bit.mkv"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(DecoderRead, ConvertsWithTheFramesColourMatrix) {
    Decoder d("bt709.mp4");
    ASSERT_NE(d.decoder, nullptr);
    ASSERT_EQ(readToEnd(d.decoder), 0);
    ASSERT_FALSE(d.recorder.frames.empty());
    // BT.601 weights would turn this BT.709 red into about (233, 0, 2).
    EXPECT_GE(d.recorder.frames[0].left[2], 248);
    EXPECT_LE(d.recorder.frames[0].left[0], 4);
}

TEST(DecoderRead, DeliversAudioAsStereoFloatAt48kHzOnAContinuousClock) {
    struct Clip {
        const char* file;
        double frequency, seconds;
        size_t frames;
    };
    // short_audio.mp4: 1 s of sound ends well before 4 s of video, which stays whole.
    for (Clip clip : {Clip{"h264_aac.mp4", 440, 3, 75}, Clip{"vp9_opus.webm", 660, 3, 75},
                      Clip{"short_audio.mp4", 440, 1, 100}}) {
        SCOPED_TRACE(clip.file);
        Decoder d(clip.file);
        ASSERT_NE(d.decoder, nullptr);
        ASSERT_EQ(readToEnd(d.decoder), 0);
        ASSERT_FALSE(d.recorder.chunks.empty());
        for (size_t i = 0; i < d.recorder.chunks.size(); i++) {
            const AudioChunk& c = d.recorder.chunks[i];
            EXPECT_EQ(c.channels, 2);
            EXPECT_EQ(c.rate, 48000);
            if (i > 0) {
                const AudioChunk& p = d.recorder.chunks[i - 1];
                EXPECT_NEAR(c.pts, p.pts + p.frames / 48000.0, 1e-6) << "chunk " << i;
            }
        }
        EXPECT_NEAR(d.recorder.chunks[0].pts, 0.0, 0.03);
        EXPECT_NEAR(d.recorder.audioSeconds(), clip.seconds, 0.05);
        EXPECT_NEAR(d.recorder.toneFrequency(0.2, clip.seconds - 0.2), clip.frequency, 2.0);
        EXPECT_EQ(d.recorder.frames.size(), clip.frames);
        // Both clips carry the same tone in every channel.
        for (size_t i = 0; i < d.recorder.samples.size(); i += 2)
            ASSERT_NEAR(d.recorder.samples[i], d.recorder.samples[i + 1], 0.01)
                << "left and right differ at " << i / 2;
    }
}

TEST(DecoderRead, DeliversSubtitleCuesWithTheirTimes) {
    Decoder d("tracks.mkv");
    ASSERT_NE(d.decoder, nullptr);
    ASSERT_EQ(readToEnd(d.decoder), 0);
    ASSERT_EQ(d.recorder.cues.size(), 6u);
    // The container starts a little late (audio priming); every time moves with it.
    double offset = d.recorder.frames.at(0).pts;
    struct Expected {
        int track;
        double start, end;
        const char* text;
    };
    const Expected expected[] = {
        {1, 0.4, 1.0, "{\\i1}斜体{\\i0}の字幕"},
        {0, 0.5, 1.2, "Hello, world"},
        {1, 1.2, 2.4, "二行目\\N第二\u3000行"},
        {0, 1.5, 2.0, "こんにちは\u3000世界 and a\u00A0no-break space"},
        {0, 2.2, 2.8, "{\\i1}Last line{\\i0}"},
        {0, 2.9, 3.0, "Zero length"}, // no duration: five seconds, cut at the end of the file
    };
    for (size_t i = 0; i < 6; i++) {
        SCOPED_TRACE(i);
        const Cue& cue = d.recorder.cues[i];
        EXPECT_EQ(cue.track, expected[i].track);
        EXPECT_NEAR(cue.start - offset, expected[i].start, 0.002);
        EXPECT_NEAR(cue.end - offset, expected[i].end, 0.002);
        // Raw ASS event lines: the dialogue text follows the eighth comma.
        EXPECT_NE(cue.text.find(std::string(",,") + expected[i].text), std::string::npos) << cue.text;
        EXPECT_EQ(cue.text.substr(cue.text.size() - std::strlen(expected[i].text)), expected[i].text);
    }
}

TEST(DecoderRead, EndOfInputStaysTheEndUntilASeek) {
    Decoder d("video_only.mp4");
    ASSERT_NE(d.decoder, nullptr);
    EXPECT_EQ(readToEnd(d.decoder), 0);
    EXPECT_EQ(d.recorder.frames.size(), 50u);
    EXPECT_EQ(d.read(), 0);
    EXPECT_EQ(d.read(), 0);
    EXPECT_EQ(d.recorder.frames.size(), 50u);
    ASSERT_EQ(d.seek(0), 0);
    EXPECT_EQ(readToEnd(d.decoder), 0);
    EXPECT_EQ(frameNumbers(d.recorder.frames, 50), range(0, 49));
}

TEST(DecoderRead, PrerollSkippingDropsNonReferencePicturesBeforeTheTarget) {
    // After a seek to 1.5 s: how many frames before it (from the key frame at 1 s), the rest checked whole.
    const auto before = [](const char* clip, bool thumbnail, int last) {
        const std::vector<int> numbers = framesAfterSeek(clip, thumbnail, 1.5);
        EXPECT_EQ(from(numbers, 38), range(38, last));
        EXPECT_GE(*std::min_element(numbers.begin(), numbers.end()), 25);
        return numbers.size() - from(numbers, 38).size();
    };
    size_t full;
    {
        ScopedEnv off("LUMAVANE_SEEK_PREROLL_SKIP", "0");
        full = before("video_only.mp4", false, 49);
    }
    EXPECT_EQ(full, 13u);
    for (const char* value : {static_cast<const char*>(nullptr), "1", "00", "0x"}) {
        SCOPED_TRACE(value ? value : "unset");
        ScopedEnv env("LUMAVANE_SEEK_PREROLL_SKIP", value);
        EXPECT_LT(before("video_only.mp4", false, 49), full);
        EXPECT_LT(before("hevc.mkv", false, 74), before("hevc.mkv", true, 74));
    }
    // Thumbnail decoders never skip.
    EXPECT_EQ(before("video_only.mp4", true, 49), full);
}

TEST(DecoderRead, SeekAtOrPastTheLastFrameDecodesTheLastGroupOnce) {
    for (double target : {1.96, 1.99, 5.0}) {
        SCOPED_TRACE(target);
        Decoder d("video_only.mp4", false, false);
        ASSERT_NE(d.decoder, nullptr);
        ASSERT_EQ(d.seek(target), 0);
        int reads = 0;
        while (d.read() == 1) reads++;
        EXPECT_EQ(frameNumbers(d.recorder.frames), range(25, 49));
        EXPECT_EQ(reads, 25);
    }
    // Matroska states no video end: the audio runs 2 s longer, or the file has no duration at all.
    // The video is one group of 50 pictures.
    for (const char* clip : {"long_audio.mkv", "long_audio_piped.mkv"}) {
        for (double target : {1.99, 3.0}) {
            SCOPED_TRACE(std::string(clip) + " " + std::to_string(target));
            Decoder d(clip);
            ASSERT_NE(d.decoder, nullptr);
            ASSERT_EQ(d.seek(target), 0);
            ASSERT_EQ(readToEnd(d.decoder), 0);
            EXPECT_EQ(frameNumbers(d.recorder.frames), range(0, 49));
        }
        // Before the last frame the pictures before the target are still skipped.
        Decoder d(clip);
        ASSERT_EQ(d.seek(1.5), 0);
        ASSERT_EQ(readToEnd(d.decoder), 0);
        EXPECT_EQ(from(frameNumbers(d.recorder.frames), 38), range(38, 49));
        EXPECT_LT(d.recorder.frames.size(), 45u);
    }
}

TEST(DecoderRead, KeyFramePreviewDeliversOnlyKeyFramesAlsoAfterSeeks) {
    Decoder d("h264_aac.mp4", false, false);
    ASSERT_NE(d.decoder, nullptr);
    lv_decoder_set_keyframe_preview(d.decoder, 1);
    EXPECT_EQ(readToEnd(d.decoder), 0);
    EXPECT_EQ(frameNumbers(d.recorder.frames), (std::vector<int>{0, 25, 50}));
    ASSERT_EQ(d.seek(1.5), 0);
    EXPECT_EQ(readToEnd(d.decoder), 0);
    EXPECT_EQ(frameNumbers(d.recorder.frames, 3), (std::vector<int>{25, 50}));
    lv_decoder_set_keyframe_preview(d.decoder, 0);
    ASSERT_EQ(d.seek(0), 0);
    EXPECT_EQ(readToEnd(d.decoder), 0);
    EXPECT_EQ(frameNumbers(d.recorder.frames, 5), range(0, 74));
}

TEST(DecoderRead, NonFiniteSeeksAreRefusedAndFarOffOnesClamped) {
    ScopedEnv off("LUMAVANE_SEEK_PREROLL_SKIP", "0");
    Decoder d("video_only.mp4");
    ASSERT_NE(d.decoder, nullptr);
    while (d.recorder.frames.size() < 10) ASSERT_EQ(d.read(), 1);
    for (double bad :
         {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        std::strcpy(d.err, "");
        EXPECT_EQ(d.seek(bad), AVERROR(EINVAL));
        EXPECT_STREQ(d.err, "seek: Invalid argument");
    }
    EXPECT_EQ(lv_decoder_stats(d.decoder).seek_seconds, 0);
    EXPECT_EQ(readToEnd(d.decoder), 0);
    EXPECT_EQ(frameNumbers(d.recorder.frames), range(0, 49));
    for (double far : {1e300, -1e300}) {
        EXPECT_EQ(d.seek(far), 0);
        EXPECT_EQ(readToEnd(d.decoder), 0);
    }
    EXPECT_EQ(frameNumber(d.recorder.frames.back().pts), 49);
}

TEST(DecoderRead, SwitchesAudioTracks) {
    Decoder d("tracks.mkv");
    ASSERT_NE(d.decoder, nullptr);
    ASSERT_EQ(readToEnd(d.decoder), 0);
    EXPECT_NEAR(d.recorder.toneFrequency(0.2, 2.8), 440, 2);

    EXPECT_EQ(lv_decoder_select_audio_track(d.decoder, 2, d.err, sizeof d.err), AVERROR(EINVAL));
    EXPECT_EQ(lv_decoder_select_audio_track(d.decoder, -1, d.err, sizeof d.err), AVERROR(EINVAL));
    EXPECT_EQ(lv_decoder_select_audio_track(d.decoder, 0, d.err, sizeof d.err), 0);
    EXPECT_EQ(lv_decoder_selected_audio_track(d.decoder), 0);

    ASSERT_EQ(lv_decoder_select_audio_track(d.decoder, 1, d.err, sizeof d.err), 0) << d.err;
    EXPECT_EQ(lv_decoder_selected_audio_track(d.decoder), 1);
    EXPECT_EQ(lv_decoder_has_audio(d.decoder), 1);
    d.recorder.samples.clear();
    d.recorder.chunks.clear();
    ASSERT_EQ(d.seek(0), 0);
    ASSERT_EQ(readToEnd(d.decoder), 0);
    // The second track is 44.1 kHz mono at 880 Hz; it arrives as 48 kHz stereo.
    EXPECT_NEAR(d.recorder.toneFrequency(0.2, 2.8), 880, 2);
    EXPECT_NEAR(d.recorder.audioSeconds(), 3.0, 0.06);
    for (const AudioChunk& c : d.recorder.chunks) {
        EXPECT_EQ(c.channels, 2);
        EXPECT_EQ(c.rate, 48000);
    }
    EXPECT_NEAR(d.recorder.chunks.at(0).pts, 0.0, 0.05);
}

TEST(DecoderRead, TruncatedAndCorruptFilesEndWithoutHarm) {
    size_t liveBefore = lv_pixel_buffer_live_count();
    {
        Decoder d("truncated.mkv");
        ASSERT_NE(d.decoder, nullptr) << d.err;
        EXPECT_EQ(readToEnd(d.decoder), 0);
        EXPECT_GT(d.recorder.frames.size(), 0u);
        EXPECT_LT(d.recorder.frames.size(), 75u);
    }
    // Scrambled bytes through the middle of the video data: every packet still counts as read.
    std::string path = writeCorruptCopy("video_only.mp4");
    Recorder recorder;
    char err[256];
    lv_decoder* decoder =
        lv_decoder_create(path.c_str(), &recorder, Recorder::video, nullptr, nullptr, err, sizeof err);
    ASSERT_NE(decoder, nullptr) << err;
    int reads = 0, result;
    while ((result = lv_decoder_read(decoder, err, sizeof err)) == 1) reads++;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reads, 50);
    EXPECT_GT(recorder.frames.size(), 20u);
    lv_decoder_destroy(decoder);
    std::remove(path.c_str());
    EXPECT_EQ(lv_pixel_buffer_live_count(), liveBefore);
}

namespace {

struct ThumbnailRun {
    Recorder recorder;
    lv_decoder_stats_t stats{};
    int result = 1;
    int reads = 0;
};

/* A thumbnail decoder aimed at `target`, read to the end. */
void runThumbnail(ThumbnailRun& run, const std::string& path, double target, bool keyFrames = false) {
    lv_decoder* decoder =
        lv_decoder_create_thumbnail(path.c_str(), &run.recorder, Recorder::video, nullptr, 0);
    ASSERT_NE(decoder, nullptr);
    if (keyFrames) lv_decoder_set_keyframe_preview(decoder, 1);
    lv_decoder_set_thumbnail_target(decoder, target);
    lv_decoder_set_thumbnail_preroll(decoder, 0.12);
    ASSERT_EQ(lv_decoder_seek(decoder, nullptr, 0, target), 0);
    while ((run.result = lv_decoder_read(decoder, nullptr, 0)) == 1) run.reads++;
    run.stats = lv_decoder_stats(decoder);
    lv_decoder_destroy(decoder);
}

bool delivered(const Recorder& recorder, int frame) {
    for (const VideoFrame& f : recorder.frames)
        if (frameNumber(f.pts) == frame) return true;
    return false;
}

} // namespace

TEST(DecoderThumbnail, HandsH264ToTheAsynchronousPathUnlessSwitchedOff) {
    {
        ThumbnailRun run;
        runThumbnail(run, mediaPath("video_only.mp4"), 1.5);
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(delivered(run.recorder, 38));
        EXPECT_EQ(run.stats.software_frames, 0); // the asynchronous path delivered them
        EXPECT_GT(run.stats.submit_seconds, 0);
        for (const VideoFrame& f : run.recorder.frames)
            EXPECT_EQ(f.format, static_cast<uint32_t>(LV_PIXEL_FORMAT_420V));
    }
    for (const char* value : {"", "1"}) { // any value, the empty one too, turns it off
        ScopedEnv synchronous("LUMAVANE_THUMBNAIL_SYNCHRONOUS", value);
        ThumbnailRun run;
        runThumbnail(run, mediaPath("video_only.mp4"), 1.5);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.stats.software_frames, 25);
        EXPECT_EQ(run.recorder.frames.size(), 25u);
    }
    ThumbnailRun keyFrames;
    runThumbnail(keyFrames, mediaPath("video_only.mp4"), 1.5, true);
    EXPECT_EQ(keyFrames.result, 0);
    ASSERT_EQ(keyFrames.recorder.frames.size(), 1u);
    EXPECT_EQ(frameNumber(keyFrames.recorder.frames[0].pts), 25);
    EXPECT_EQ(keyFrames.recorder.frames[0].format, static_cast<uint32_t>(LV_PIXEL_FORMAT_32BGRA));
}

TEST(DecoderThumbnail, FailedAsynchronousSubmitFallsBackToDecodingTheTargetHere) {
    std::string path = writeCorruptCopy("video_only.mp4");
    ThumbnailRun run;
    runThumbnail(run, path, 0.5);
    std::remove(path.c_str());
    EXPECT_EQ(run.result, 0);
    // The packets from the key frame before the target were read a second time, synchronously.
    EXPECT_GT(run.reads, 50);
    EXPECT_GT(run.stats.software_frames, 0);
    EXPECT_EQ(run.recorder.frames.back().format, static_cast<uint32_t>(LV_PIXEL_FORMAT_32BGRA));
    EXPECT_EQ(frameNumber(run.recorder.frames.back().pts), 49);
}

// A file cut inside its last packet (frame 48, decoded before frame 49 is shown): thumbnails of the
// last frames show what ffmpeg decodes of the same file, on both paths. Frame threads report the
// partial packet's error out of the drain, ahead of the pictures other threads still hold; a
// single-threaded decoder reports it for the packet itself. Either way only that packet's picture
// is lost, and the asynchronous path keeps going rather than handing over to the synchronous one.
TEST(DecoderThumbnail, TheLastFramesOfAFileCutInsideItsLastPacketAreDelivered) {
    const std::string path = mediaPath("cut_last_packet.mp4");
    const ProbedVideo probed = ffprobeVideo(path);
    ASSERT_EQ(probed.frameTimes.size(), 49u); // frames 0 to 49 but the cut one
    struct CpuCount {
        ~CpuCount() { av_cpu_force_count(0); }
    } restore;
    for (int cpus : {0, 1}) { // as many decoding threads as the machine gives, then one
        av_cpu_force_count(cpus);
        for (bool synchronous : {false, true}) {
            ScopedEnv env("LUMAVANE_THUMBNAIL_SYNCHRONOUS", synchronous ? "1" : nullptr);
            for (double target : {1.84, 1.88, 1.96}) {
                SCOPED_TRACE(testing::Message() << target << (synchronous ? " synchronous" : " asynchronous")
                                                << " cpus " << cpus);
                ThumbnailRun run;
                runThumbnail(run, path, target);
                EXPECT_EQ(run.result, 0);
                // Within a tenth of a second of the target every frame is kept.
                std::vector<int> expected, numbers;
                for (double t : probed.frameTimes)
                    if (t >= target - 0.1) expected.push_back(frameNumber(t));
                for (const VideoFrame& f : run.recorder.frames) {
                    if (f.pts < target - 0.1) continue;
                    numbers.push_back(frameNumber(f.pts));
                    EXPECT_EQ(f.format, synchronous ? LV_PIXEL_FORMAT_32BGRA : LV_PIXEL_FORMAT_420V) << f.pts;
                    if (f.format == LV_PIXEL_FORMAT_420V)
                        EXPECT_NEAR(f.luma, expectedLuma(numbers.back()), 4) << f.pts;
                    else
                        EXPECT_NEAR(f.right[1], expectedGrey(numbers.back()), 4) << f.pts;
                }
                EXPECT_EQ(numbers, expected);
            }
        }
    }
}

// ---- Media time: start offsets, transport streams, raw streams ---------------------------

TEST(DecoderTime, TimesCountFromTheStartOfTheMedia) {
    struct Case {
        const char* clip;
        int firstAfterSeek; // to 1.5 s
        bool audio;
    };
    // The offset clips start 10 s late (the transport stream 1.4 s more) and restart decoding at the key
    // frame at 1 s; raw streams have no timestamps at all: H.264 restarts at the IDR picture at 1 s
    // found when the file is opened, HEVC from the top until reading has met its key frames.
    for (const Case& c : {Case{"offset.ts", 25, true}, Case{"offset.mkv", 25, true},
                          Case{"raw.h264", 25, false}, Case{"raw.hevc", 0, false}}) {
        SCOPED_TRACE(c.clip);
        Decoder d(c.clip);
        ASSERT_NE(d.decoder, nullptr) << d.err;
        EXPECT_NEAR(lv_decoder_duration(d.decoder), 3.0, 0.05);
        ASSERT_EQ(readToEnd(d.decoder), 0);
        EXPECT_EQ(frameNumbers(d.recorder.frames), range(0, 74));
        EXPECT_LT(d.recorder.frames.at(0).pts, 0.05);
        if (c.audio) {
            EXPECT_NEAR(d.recorder.chunks.at(0).pts, 0.0, 0.05);
            EXPECT_NEAR(d.recorder.audioSeconds(), 3.0, 0.06);
        }
        if (std::string(c.clip) == "offset.mkv") {
            ASSERT_EQ(d.recorder.cues.size(), 4u);
            EXPECT_NEAR(d.recorder.cues[0].start, 0.5, 0.03);
            EXPECT_NEAR(d.recorder.cues[3].end, lv_decoder_duration(d.decoder), 1e-9) << "zero-length cue";
        }
        for (bool thumbnail : {false, true}) {
            const std::vector<int> numbers = framesAfterSeek(c.clip, thumbnail, 1.5);
            EXPECT_EQ(numbers.at(0), c.firstAfterSeek) << thumbnail;
            EXPECT_EQ(from(numbers, 38), range(38, 74)) << thumbnail;
        }
    }
}

TEST(DecoderTime, SeeksWithoutAnIndexStartAtAKeyFrameBeforeTheTarget) {
    struct Case {
        const char* clip;
        double target;
        int last;
    };
    // offset.ts has a key frame every second; long_gop.ts only the first of its 4 s.
    for (const Case& c :
         {Case{"offset.ts", 2.9, 74}, Case{"long_gop.ts", 3.0, 99}, Case{"long_gop.ts", 0.5, 99}}) {
        for (bool thumbnail : {false, true}) {
            SCOPED_TRACE(std::string(c.clip) + " " + std::to_string(c.target) +
                         (thumbnail ? " thumbnail" : ""));
            const int first = static_cast<int>(std::ceil(c.target * kFrameRate - 1e-6));
            EXPECT_EQ(from(framesAfterSeek(c.clip, thumbnail, c.target), first), range(first, c.last));
        }
    }
}

namespace {

/* The times of frames delivered from `first` on match ffprobe's frames from the first one at or
 * after `from`, one for one, to the end. */
void expectFramesFrom(const std::vector<VideoFrame>& frames, size_t first, const ProbedVideo& probed,
                      double from) {
    std::vector<double> expected;
    for (double t : probed.frameTimes)
        if (t >= from - 1e-6) expected.push_back(t);
    std::vector<double> delivered;
    for (size_t i = first; i < frames.size(); i++)
        if (frames[i].pts >= from - 1e-6) delivered.push_back(frames[i].pts);
    ASSERT_EQ(delivered.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) EXPECT_NEAR(delivered[i], expected[i], 0.001) << i;
}

} // namespace

TEST(DecoderTime, TimeZeroIsFfprobesStartAlsoWhenNegativeOrWrapped) {
    // wrapped.ts crosses the 33-bit wrap 2.3 s in, so ffprobe starts it at -2.3 s; the WebM's Opus
    // starts a few milliseconds early.
    for (const char* clip : {"wrapped.ts", "vp9_opus.webm"}) {
        SCOPED_TRACE(clip);
        const ProbedVideo probed = ffprobeVideo(mediaPath(clip));
        ASSERT_FALSE(probed.frameTimes.empty());
        EXPECT_LT(probed.start, 0);
        Decoder d(clip);
        ASSERT_NE(d.decoder, nullptr) << d.err;
        const double duration =
            std::strtod(commandLines("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                     mediaPath(clip) + "'")
                            .at(0)
                            .c_str(),
                        nullptr);
        EXPECT_NEAR(lv_decoder_duration(d.decoder), duration, 0.01);
        ASSERT_EQ(readToEnd(d.decoder), 0);
        expectFramesFrom(d.recorder.frames, 0, probed, -1);
        EXPECT_NEAR(d.recorder.chunks.at(0).pts, 0, 0.03);
        // Either kind of decoder lands on the frames at the target, across the wrap too.
        for (double target : {7.5, 6.0, 2.4, 1.0}) {
            if (target > duration) continue;
            SCOPED_TRACE(target);
            const size_t first = d.recorder.frames.size();
            ASSERT_EQ(d.seek(target), 0);
            ASSERT_EQ(readToEnd(d.decoder), 0);
            ASSERT_GT(d.recorder.frames.size(), first);
            EXPECT_LE(d.recorder.frames[first].pts, target);
            expectFramesFrom(d.recorder.frames, first, probed, target);
            std::vector<int> numbers = framesAfterSeek(clip, true, target);
            ASSERT_FALSE(numbers.empty());
            EXPECT_EQ(from(numbers, frameNumber(target)).front(), frameNumber(target));
        }
    }
}

TEST(DecoderSeek, ASeekBeforeTheStartLandsOnTheFirstFrameInEveryContainer) {
    // AVI and FLV look times up in their index only, and refused a time before its first entry.
    for (const char* clip :
         {"clip.avi", "clip.flv", "video_only.mp4", "hevc.mkv", "vp9_opus.webm", "offset.ts", "wrapped.ts"}) {
        SCOPED_TRACE(clip);
        const ProbedVideo probed = ffprobeVideo(mediaPath(clip));
        Decoder d(clip);
        ASSERT_NE(d.decoder, nullptr) << d.err;
        while (d.recorder.frames.size() < 30) ASSERT_EQ(d.read(), 1);
        for (double before : {-1.0, -1e300}) {
            const size_t first = d.recorder.frames.size();
            ASSERT_EQ(d.seek(before), 0) << d.err;
            ASSERT_EQ(readToEnd(d.decoder), 0);
            expectFramesFrom(d.recorder.frames, first, probed, -1e9);
        }
    }
}

TEST(DecoderRead, ASeekHandsOutTheCuesShownAtItsTargetOnce) {
    // Key frames every second; cues from 0.5 to 3.5 s and from 4.2 to 4.6 s, times as ffprobe reads them.
    const std::string path = mediaPath("long_cue.mkv");
    const ProbedVideo probed = ffprobeVideo(path);
    std::vector<std::pair<double, double>> spans;
    for (const std::string& line : commandLines("ffprobe -v error -select_streams s:0 -show_entries "
                                                "packet=pts_time,duration_time -of csv=p=0 '" +
                                                path + "'")) {
        const double start = std::strtod(line.c_str(), nullptr) - probed.start;
        spans.emplace_back(start, start + std::strtod(line.c_str() + line.find(',') + 1, nullptr));
    }
    ASSERT_EQ(spans.size(), 2u);
    const char* texts[] = {"A long line", "A short one"};
    Decoder d("long_cue.mkv");
    ASSERT_NE(d.decoder, nullptr);
    for (double target : {2.0, 3.0, 1.0, 0.6, 3.49, 4.3, 0.2, 3.6}) {
        SCOPED_TRACE(target);
        d.recorder.cues.clear();
        ASSERT_EQ(d.seek(target), 0);
        ASSERT_EQ(readToEnd(d.decoder), 0);
        for (size_t i = 0; i < spans.size(); i++) {
            SCOPED_TRACE(texts[i]);
            // Every cue still to come or shown at the target arrives once, with its times.
            const bool wanted = target < spans[i].second;
            const auto found =
                std::count_if(d.recorder.cues.begin(), d.recorder.cues.end(), [&](const Cue& cue) {
                    return cue.text.find(texts[i]) != std::string::npos &&
                           std::fabs(cue.start - spans[i].first) < 0.002 &&
                           std::fabs(cue.end - spans[i].second) < 0.002;
                });
            EXPECT_EQ(found, wanted ? 1 : 0);
        }
        EXPECT_EQ(frameNumber(d.recorder.frames.back().pts), 124);
    }
}
