// The asynchronous thumbnail path on the FFmpeg session, fed with the packets of
// the generated clips the way a thumbnail decoder feeds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "MediaDecoder/AsyncThumbnailInternal.h"
#include "MediaDecoder/DecoderTestSupport.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using namespace lumavane::test;

struct Picture {
    double pts;
    uint32_t format;
    size_t width, height;
    double luma; // 8-bit scale, at (280, 90)
};

struct Pictures {
    std::vector<Picture> list;
    static void video(void* opaque, lv_pixel_buffer* buffer, double pts) {
        const auto* row = static_cast<const uint8_t*>(lv_pixel_buffer_get_base_address_of_plane(buffer, 0)) +
                          90 * lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 0);
        uint32_t format = lv_pixel_buffer_get_pixel_format(buffer);
        double luma = format == LV_PIXEL_FORMAT_X420 || format == LV_PIXEL_FORMAT_XF20
                          ? (reinterpret_cast<const uint16_t*>(row)[280] >> 6) / 4.0
                          : row[280];
        static_cast<Pictures*>(opaque)->list.push_back(
            {pts, format, lv_pixel_buffer_get_width(buffer), lv_pixel_buffer_get_height(buffer), luma});
    }
};

// Forwards to the FFmpeg session and counts what reaches it.
struct CountingSession {
    lv_decompression_session base{};
    lv_decompression_session* inner = nullptr;
    int decodes = 0;
    int withoutOutput = 0;
    static CountingSession* self(lv_decompression_session* s) {
        return reinterpret_cast<CountingSession*>(s);
    }
    static int decode(lv_decompression_session* s, const AVPacket* sample, unsigned flags, void* ref) {
        self(s)->decodes++;
        if (flags & LV_DECODE_DO_NOT_OUTPUT_FRAME) self(s)->withoutOutput++;
        return lv_decompression_session_decode_frame(self(s)->inner, sample, flags, ref);
    }
    static int finish(lv_decompression_session* s) {
        return lv_decompression_session_finish_delayed_frames(self(s)->inner);
    }
    static int wait(lv_decompression_session* s) {
        return lv_decompression_session_wait_for_asynchronous_frames(self(s)->inner);
    }
    static void invalidate(lv_decompression_session* s) {
        lv_decompression_session_invalidate(self(s)->inner);
    }
    static void release(lv_decompression_session* s) {
        lv_decompression_session_release(self(s)->inner);
        self(s)->inner = nullptr;
    }
    static int discard(lv_decompression_session* s) {
        return lv_decompression_session_discard(self(s)->inner);
    }
};
const lv_decompression_session_class kCountingClass = {CountingSession::decode,  CountingSession::finish,
                                                       CountingSession::wait,    CountingSession::invalidate,
                                                       CountingSession::release, CountingSession::discard};
CountingSession counting;

int countingFactory(const lv_video_format_description* format, const lv_destination_attributes* destination,
                    lv_decompression_output_cb output, void* refcon, lv_decompression_session** out) {
    counting = CountingSession{};
    counting.base.klass = &kCountingClass;
    int status = lv_ffmpeg_decompression_session_create(format, destination, output, refcon, &counting.inner);
    if (status == 0) *out = &counting.base;
    return status;
}

// Plays the part of a thumbnail decoder: reads the clip's video packets into the context.
class Clip {
public:
    explicit Clip(const std::string& name) {
        if (avformat_open_input(&format_, mediaPath(name).c_str(), nullptr, nullptr) < 0) return;
        if (avformat_find_stream_info(format_, nullptr) < 0) return;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    ~Clip() {
        lv_async_thumbnail_destroy(context);
        avformat_close_input(&format_);
    }
    bool open() const { return stream_ >= 0; }
    const AVStream* stream() const { return format_->streams[stream_]; }

    void create(lv_decompression_session_factory factory = lv_ffmpeg_decompression_session_create) {
        context = lv_async_thumbnail_create_with(stream()->codecpar, stream()->time_base, factory);
    }
    // Target and pre-roll, then every video packet from the key frame at or before `from` (or only the
    // first `limit` of them, leaving the session busy).
    int run(Pictures& pictures, double target, double preroll, double from = 0, int limit = -1) {
        lv_async_thumbnail_reset(context);
        lv_async_thumbnail_target(context, target);
        lv_async_thumbnail_preroll(context, preroll);
        int64_t timestamp = static_cast<int64_t>(from / av_q2d(stream()->time_base));
        if (av_seek_frame(format_, stream_, timestamp, AVSEEK_FLAG_BACKWARD) < 0) return AVERROR(EIO);
        AVPacket* packet = av_packet_alloc();
        int status = 0;
        submitted = 0;
        while (status == 0 && submitted != limit && av_read_frame(format_, packet) >= 0) {
            if (packet->stream_index == stream_) {
                status = lv_async_thumbnail_submit(context, packet, &pictures, Pictures::video);
                submitted++;
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        if (status != 0 || submitted == limit) return status;
        return lv_async_thumbnail_finish(context, &pictures, Pictures::video);
    }

    lv_async_thumbnail_ctx* context = nullptr;
    int submitted = 0;

private:
    AVFormatContext* format_ = nullptr;
    int stream_ = -1;
};

// Every picture shows the frame its time names, lies in the window, far ones are
// thinned to the first of each tenth, and every frame from the target's tenth on arrives.
void expectWindow(const std::vector<Picture>& pictures, double target, double preroll, int lastFrame,
                  double tolerance = 4) {
    std::map<int, int> frames;
    std::map<long, int> farSlots;
    for (const Picture& picture : pictures) {
        int frame = frameNumber(picture.pts);
        EXPECT_EQ(++frames[frame], 1) << "frame " << frame << " delivered twice";
        EXPECT_GE(picture.pts, target - preroll - 1e-9);
        EXPECT_NEAR(picture.luma, expectedLuma(frame), tolerance) << "frame " << frame;
        EXPECT_EQ(picture.width, 320u);
        EXPECT_EQ(picture.height, 180u);
        long slot = static_cast<long>(std::floor(picture.pts * 10));
        if (slot != static_cast<long>(std::floor(target * 10)) && picture.pts < target - 0.1) {
            EXPECT_EQ(++farSlots[slot], 1) << "two far frames in slot " << slot;
            EXPECT_LT(picture.pts - 0.04, std::max(slot / 10.0, target - preroll))
                << "not the slot's first frame";
        }
    }
    for (int frame = frameNumber(target - 0.1) + 1; frame <= lastFrame; frame++)
        EXPECT_EQ(frames.count(frame), 1u) << "frame " << frame << " missing";
}

struct ClipCase {
    const char* name;
    uint32_t format;
};
void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class AsyncThumbnailSession : public ::testing::TestWithParam<ClipCase> {};

TEST_P(AsyncThumbnailSession, DecodesTheWindowOfTheClipAndSkipsEarlyNonReferencePictures) {
    Clip clip(GetParam().name);
    ASSERT_TRUE(clip.open());
    clip.create(countingFactory);
    ASSERT_NE(clip.context, nullptr);
    Pictures pictures;
    ASSERT_EQ(clip.run(pictures, 1.5, 1.3), 0);
    ASSERT_FALSE(pictures.list.empty());
    for (const Picture& picture : pictures.list) EXPECT_EQ(picture.format, GetParam().format);
    expectWindow(pictures.list, 1.5, 1.3, 74);

    // A reset while pictures are queued and held back inside the session drops them: none of them comes
    // out after it. The same session then decodes from a later key frame, leaving out early
    // non-reference pictures without harm to the frames after them.
    Pictures cut;
    ASSERT_EQ(clip.run(cut, 0.0, 0.0, 0.0, 30), 0);
    Pictures again;
    counting.decodes = counting.withoutOutput = 0;
    ASSERT_EQ(clip.run(again, 2.9, 0.12, 2.2), 0);
    ASSERT_FALSE(again.list.empty());
    expectWindow(again.list, 2.9, 0.12, 74);
    EXPECT_LT(counting.decodes, clip.submitted);
    EXPECT_GT(counting.withoutOutput, 0);
}

INSTANTIATE_TEST_SUITE_P(Clips, AsyncThumbnailSession,
                         ::testing::Values(ClipCase{"h264_aac.mp4", LV_PIXEL_FORMAT_420V},
                                           ClipCase{"hevc.mkv", LV_PIXEL_FORMAT_420V},
                                           ClipCase{"hevc_10bit.mkv", LV_PIXEL_FORMAT_X420}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
