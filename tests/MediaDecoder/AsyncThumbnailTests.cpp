// The asynchronous thumbnail path against a scripted session: which packets are
// skipped or decoded without output, which frames the table keeps, and when the
// context waits, drains and gives up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <vector>

#include "MediaDecoder/AsyncThumbnailInternal.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- A scripted session -----------------------------------------------------

struct FakeSession {
    lv_decompression_session base{};
    lv_decompression_output_cb output = nullptr;
    void* refcon = nullptr;
    lv_video_format_description format{};
    uint32_t pixelFormat = 0;
    struct Call {
        unsigned flags;
        int64_t pts, dts, duration;
        Bytes bytes;
    };
    std::vector<Call> calls;
    int finishes = 0, waits = 0, invalidations = 0, releases = 0;
    int decodeStatus = 0, waitStatus = 0, finishStatus = 0;
    std::function<void()> onWait; // runs inside a wait, as the session thread would

    void emit(double pts, int status = 0) {
        lv_pixel_buffer* buffer = nullptr;
        ASSERT_EQ(lv_pixel_buffer_create(16, 16, LV_PIXEL_FORMAT_420V, &buffer), LV_PIXEL_BUFFER_SUCCESS);
        output(refcon, nullptr, status, LV_DECODE_INFO_ASYNCHRONOUS, status ? nullptr : buffer, pts, NAN);
        lv_pixel_buffer_release(buffer);
    }

    static FakeSession* self(lv_decompression_session* s) { return reinterpret_cast<FakeSession*>(s); }
    static int decode(lv_decompression_session* s, const AVPacket* sample, unsigned flags, void*) {
        self(s)->calls.push_back({flags, sample->pts, sample->dts, sample->duration,
                                  Bytes(sample->data, sample->data + sample->size)});
        return self(s)->decodeStatus;
    }
    static int finish(lv_decompression_session* s) { return self(s)->finishes++, self(s)->finishStatus; }
    static int wait(lv_decompression_session* s) {
        self(s)->waits++;
        if (self(s)->onWait) self(s)->onWait();
        return self(s)->waitStatus;
    }
    static void invalidate(lv_decompression_session* s) { self(s)->invalidations++; }
    static void release(lv_decompression_session* s) { self(s)->releases++; }
};

// Without a discard of its own: a reset finishes and waits.
const lv_decompression_session_class kFakeClass = {FakeSession::decode,  FakeSession::finish,
                                                   FakeSession::wait,    FakeSession::invalidate,
                                                   FakeSession::release, nullptr};
FakeSession* nextSession = nullptr;

int fakeFactory(const lv_video_format_description* format, const lv_destination_attributes* destination,
                lv_decompression_output_cb output, void* refcon, lv_decompression_session** out) {
    if (!nextSession) return AVERROR(ENODEV);
    nextSession->base.klass = &kFakeClass;
    nextSession->output = output;
    nextSession->refcon = refcon;
    nextSession->format = *format;
    nextSession->pixelFormat = destination->pixel_format;
    *out = &nextSession->base;
    return 0;
}

lv_async_thumbnail_ctx* createOn(FakeSession& fake, AVCodecParameters* parameters,
                                 AVRational timeBase = {1, 1000}) {
    nextSession = &fake;
    lv_async_thumbnail_ctx* made = lv_async_thumbnail_create_with(parameters, timeBase, fakeFactory);
    nextSession = nullptr;
    return made;
}

int submitTo(lv_async_thumbnail_ctx* context, const std::vector<uint8_t>& data, int64_t pts, int64_t dts,
             int64_t duration = 0, void* opaque = nullptr, lv_video_cb callback = nullptr) {
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, static_cast<int>(data.size()));
    if (!data.empty()) std::memcpy(packet->data, data.data(), data.size());
    packet->pts = pts;
    packet->dts = dts;
    packet->duration = duration;
    int status = lv_async_thumbnail_submit(context, packet, opaque, callback);
    av_packet_free(&packet);
    return status;
}

// ---- Streams and packets ----------------------------------------------------

struct Parameters {
    AVCodecParameters* p = avcodec_parameters_alloc();
    Parameters(AVCodecID codec, Bytes extradata) {
        p->codec_type = AVMEDIA_TYPE_VIDEO;
        p->codec_id = codec;
        p->width = 320;
        p->height = 180;
        p->field_order = AV_FIELD_PROGRESSIVE;
        p->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(p->extradata, extradata.data(), extradata.size());
        p->extradata_size = static_cast<int>(extradata.size());
    }
    ~Parameters() { avcodec_parameters_free(&p); }
};

Bytes avcC(int nalLengthSize) {
    return {1, 0x64, 0x00, 0x1F, static_cast<uint8_t>(0xFC | (nalLengthSize - 1)), 0xE0, 0};
}
Bytes hvcC(int nalLengthSize) {
    Bytes record(23, 0);
    record[0] = 1;
    record[21] = static_cast<uint8_t>(0xFC | (nalLengthSize - 1));
    return record;
}

// Units behind big-endian length prefixes of the given size.
Bytes packetOf(std::initializer_list<Bytes> units, int nalLengthSize = 4) {
    Bytes out;
    for (const Bytes& unit : units) {
        for (int i = nalLengthSize - 1; i >= 0; i--)
            out.push_back(static_cast<uint8_t>(unit.size() >> (8 * i)));
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

const Bytes kAud = {0x09, 0xF0};
const Bytes kNonRefSlice = {0x01, 0x9E, 0x02, 0x11};
const Bytes kRefSlice = {0x41, 0x9A, 0x02, 0x11};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00};
const Bytes kSps = {0x67, 0x64, 0x00, 0x1F};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB};
const Bytes kTimingSei = {0x06, 0x01, 0x02, 0x12, 0x34, 0x80};

int skippable(const Bytes& packet, int nalLengthSize = 4, bool hevc = false, bool progressive = true) {
    return lv_async_thumbnail_skippable(packet.data(), packet.size(), nalLengthSize, hevc ? 1 : 0,
                                        progressive ? 1 : 0);
}

// ---- Skip rules ---------------------------------------------------------------

TEST(AsyncThumbnailSkipping, OnlyNonReferencePicturesWithHarmlessCompanionsAreSkipped) {
    auto sei = [](Bytes head, std::size_t filler, Bytes tail) {
        head.resize(head.size() + filler, 0x11);
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    Bytes overrun = packetOf({kAud, kNonRefSlice});
    overrun[3 + 6] = 0x7F; // the second unit claims more bytes than the packet has
    Bytes partialPrefix = packetOf({kAud, kNonRefSlice});
    partialPrefix.insert(partialPrefix.end(), {0x00, 0x00});
    struct Case {
        Bytes packet;
        int expected;
        const char* why;
        int nalLengthSize = 4;
        bool progressive = true;
    };
    const Case cases[] = {
        {packetOf({kNonRefSlice}), 1, "non-reference slice"},
        {packetOf({kAud, kNonRefSlice, kNonRefSlice}), 1, "with a delimiter"},
        {packetOf({{0x29, 0xF0}, kNonRefSlice}), 1, "delimiter with nal_ref_idc bits"},
        {packetOf({kAud}), 0, "no slice at all"},
        {packetOf({kAud, kPps, kNonRefSlice}), 0, "parameter set"},
        {packetOf({kAud, kIdr}), 0, "IDR"},
        {packetOf({kNonRefSlice, kRefSlice}), 0, "reference slice"},
        {packetOf({{0x21, 0x9A}}), 0, "non-IDR slice with nal_ref_idc 1"},
        {packetOf({{0x81, 0x9E}}), 0, "forbidden bit"},
        {packetOf({{0x02, 0x9E}}), 0, "data partition"},
        {packetOf({kNonRefSlice, {0x0C, 0xFF}}), 0, "filler data"},
        {overrun, 0, "unit overruns the packet"},
        {partialPrefix, 0, "partial length prefix"},
        {packetOf({kNonRefSlice, {}}), 0, "empty unit"},
        {Bytes{}, 0, "empty packet"},
        {packetOf({kAud, kNonRefSlice}), 0, "no length size", 0},
        {packetOf({kAud, kNonRefSlice}, 1), 1, "one-byte prefixes", 1},
        {packetOf({kAud, kNonRefSlice}, 4), 0, "four-byte prefixes read as two-byte ones", 2},
        {packetOf({kAud, kTimingSei, kNonRefSlice}), 1, "picture timing SEI"},
        {packetOf({kAud, kTimingSei, kNonRefSlice}), 0, "interlaced: the SEI may carry field timing", 4,
         false},
        {packetOf({{0x06, 0x01, 0x01, 0x10, 0x01, 0x02, 0x20, 0x30, 0x80}, kNonRefSlice}), 1, "two messages"},
        {packetOf({{0x06, 0x01, 0x04, 0x00, 0x00, 0x03, 0x01, 0x05, 0x80}, kNonRefSlice}), 1,
         "emulation byte"},
        {packetOf({{0x06, 0x05, 0x02, 0x12, 0x34, 0x80}, kNonRefSlice}), 0, "user data SEI"},
        {packetOf({{0x06, 0x01, 0x02, 0x12, 0x34}, kNonRefSlice}), 0, "no stop byte"},
        {packetOf({{0x06, 0x01, 0x02, 0x12, 0x34, 0x80, 0x00}, kNonRefSlice}), 0,
         "bytes after the stop byte"},
        {packetOf({{0x06, 0x01, 0x00, 0x80}, kNonRefSlice}), 0, "empty payload"},
        {packetOf({{0x06, 0x01, 0x09, 0x12, 0x34, 0x80}, kNonRefSlice}), 0, "size beyond the unit"},
        {packetOf({{0x06, 0x01, 0x02, 0x00, 0x00, 0x03}, kNonRefSlice}), 0, "emulation byte last"},
        {packetOf({{0x06, 0x01, 0x03, 0x00, 0x00, 0x03, 0x04, 0x80}, kNonRefSlice}), 0,
         "emulation byte before 4"},
        {packetOf({{0x06, 0xFF, 0x01, 0x01, 0x12, 0x80}, kNonRefSlice}), 0, "extended payload type"},
        {packetOf({{0x26, 0x01, 0x02, 0x12, 0x34, 0x80}, kNonRefSlice}), 0, "SEI with nal_ref_idc"},
        {packetOf({{0x06, 0x01, 0x80}, kNonRefSlice}), 0, "SEI shorter than 4 bytes"},
        {packetOf({sei({0x06, 0x01, 0xFF, 0x00}, 255, {0x80}), kNonRefSlice}), 0, "SEI over 256 bytes"},
        {packetOf({sei({0x06, 0x01, 0xFE}, 254, {0x80}), kNonRefSlice}), 0, "SEI of 258 bytes"},
        {packetOf({sei({0x06, 0x01, 0xFC}, 252, {0x80}), kNonRefSlice}), 1, "SEI of exactly 256 bytes"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            lv_async_thumbnail_skippable(c.packet.data(), c.packet.size(), c.nalLengthSize, 0, c.progressive),
            c.expected)
            << c.why;
}

TEST(AsyncThumbnailSkipping, HevcRules) {
    auto unit = [](int type, int layer = 0, int tid = 1) {
        return Bytes{static_cast<uint8_t>((type << 1) | (layer >> 5)),
                     static_cast<uint8_t>(((layer & 31) << 3) | tid), 0xAF, 0x01};
    };
    auto hevc = [](std::initializer_list<Bytes> units) { return skippable(packetOf(units), 4, true); };
    for (int type : {0, 2, 4, 6, 8}) EXPECT_EQ(hevc({unit(35), unit(type)}), 1) << type;
    for (int type : {1, 3, 5, 7, 9, 19, 20, 21, 32, 33, 34, 39, 40})
        EXPECT_EQ(hevc({unit(35), unit(0), unit(type)}), 0) << type;
    EXPECT_EQ(hevc({unit(35)}), 0);
    EXPECT_EQ(hevc({unit(0, 0, 0)}), 0) << "temporal id plus one of 0";
    EXPECT_EQ(hevc({unit(0, 1)}), 0) << "layer 1";
    EXPECT_EQ(hevc({unit(0, 32)}), 0) << "layer id's top bit";
    EXPECT_EQ(hevc({Bytes{0x80, 0x01}}), 0) << "forbidden bit";
    EXPECT_EQ(hevc({Bytes{0x00}}), 0) << "shorter than the header";
    EXPECT_EQ(hevc({unit(0), kTimingSei}), 0) << "no SEI is harmless in HEVC";
}

// ---- Contexts over the scripted session ----------------------------------------

struct Delivered {
    std::vector<double> times;
    std::vector<uint32_t> formats;
    static void video(void* opaque, lv_pixel_buffer* buffer, double pts) {
        auto* self = static_cast<Delivered*>(opaque);
        self->times.push_back(pts);
        self->formats.push_back(lv_pixel_buffer_get_pixel_format(buffer));
    }
};

class AsyncThumbnailContext : public ::testing::Test {
protected:
    FakeSession session;
    lv_async_thumbnail_ctx* context = nullptr;
    Delivered delivered;
    size_t liveBuffers = lv_pixel_buffer_live_count();

    void create(const Parameters& parameters, AVRational timeBase = {1, 1000}) {
        context = createOn(session, parameters.p, timeBase);
        ASSERT_NE(context, nullptr);
    }
    void createH264(int nalLengthSize = 4, AVFieldOrder order = AV_FIELD_PROGRESSIVE) {
        Parameters parameters(AV_CODEC_ID_H264, avcC(nalLengthSize));
        parameters.p->field_order = order;
        create(parameters);
    }
    int submit(const Bytes& data, int64_t pts, int64_t dts = AV_NOPTS_VALUE, int64_t duration = 0) {
        return submitTo(context, data, pts, dts, duration, &delivered, Delivered::video);
    }
    int drainAll() { return lv_async_thumbnail_drain_until(context, &delivered, Delivered::video, INFINITY); }

    void TearDown() override {
        lv_async_thumbnail_destroy(context);
        EXPECT_EQ(lv_pixel_buffer_live_count(), liveBuffers) << "held buffers leaked";
    }
};

TEST_F(AsyncThumbnailContext, CreationNeedsLengthPrefixedH264OrHevcAndASession) {
    Parameters annexB(AV_CODEC_ID_H264, {0, 0, 0, 1, 0x67, 0x64, 0x00});
    Parameters shortRecord(AV_CODEC_ID_H264, {1, 0x64, 0x00, 0x1F, 0xFF, 0xE0});
    Parameters vp9(AV_CODEC_ID_VP9, avcC(4));
    nextSession = &session;
    for (const Parameters* refused : {&annexB, &shortRecord, &vp9})
        EXPECT_EQ(lv_async_thumbnail_create_with(refused->p, {1, 1000}, fakeFactory), nullptr);
    EXPECT_EQ(session.releases, 0) << "no session is made for refused streams";
    nextSession = nullptr;
    Parameters h264(AV_CODEC_ID_H264, avcC(4));
    EXPECT_EQ(lv_async_thumbnail_create_with(h264.p, {1, 1000}, fakeFactory), nullptr) << "session refused";

    // Full-range streams decode into full-range buffers (limited and 10-bit ones are checked on real
    // clips); the session is released with the context.
    for (const auto& [codec, profile, format] :
         {std::tuple{AV_CODEC_ID_H264, FF_PROFILE_H264_HIGH_10, LV_PIXEL_FORMAT_420F},
          std::tuple{AV_CODEC_ID_HEVC, FF_PROFILE_HEVC_MAIN_10, LV_PIXEL_FORMAT_XF20}}) {
        FakeSession fake;
        Parameters parameters(codec, codec == AV_CODEC_ID_HEVC ? hvcC(4) : avcC(4));
        parameters.p->profile = profile;
        parameters.p->color_range = AVCOL_RANGE_JPEG;
        lv_async_thumbnail_ctx* made = createOn(fake, parameters.p, {1, 90000});
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(fake.pixelFormat, static_cast<uint32_t>(format));
        EXPECT_TRUE(fake.format.full_range);
        lv_async_thumbnail_destroy(made);
        EXPECT_EQ(fake.releases, 1);
    }
}

TEST_F(AsyncThumbnailContext, EarlyPacketsAreSkippedOrDecodedWithoutOutput) {
    createH264();
    lv_async_thumbnail_target(context, 10.0);
    lv_async_thumbnail_preroll(context, 1.0);
    EXPECT_EQ(submit(packetOf({kAud, kNonRefSlice}), 5000, 4900), 0);
    EXPECT_TRUE(session.calls.empty()) << "a non-reference picture before the window costs nothing";
    EXPECT_EQ(submit(packetOf({kAud, kRefSlice}), 5040, 4940), 0);
    EXPECT_EQ(submit(packetOf({kAud, kNonRefSlice}), 9000, 8900), 0) << "first time inside the window";
    EXPECT_EQ(submit(packetOf({kAud, kNonRefSlice}), AV_NOPTS_VALUE, 8950), 0) << "time unknown";
    EXPECT_EQ(submit(packetOf({kAud, kNonRefSlice}, 2), 5080, 4980), 0) << "prefixes of another size";
    const unsigned async = LV_DECODE_ENABLE_ASYNCHRONOUS_DECOMPRESSION;
    const unsigned hidden = async | LV_DECODE_DO_NOT_OUTPUT_FRAME;
    ASSERT_EQ(session.calls.size(), 4u);
    EXPECT_EQ(session.calls[0].flags, hidden);
    EXPECT_EQ(session.calls[1].flags, async);
    EXPECT_EQ(session.calls[2].flags, async);
    EXPECT_EQ(session.calls[3].flags, hidden);
    EXPECT_EQ(session.calls[0].bytes, packetOf({kAud, kRefSlice}));
    EXPECT_EQ(session.calls[0].pts, 5040);
    EXPECT_EQ(session.calls[0].dts, 4940);

    // The prefix size comes from the record, the picture-timing rule from the field order; an hvcC
    // record too short to give the size turns skipping off.
    Bytes shortHvcC = hvcC(4);
    shortHvcC.resize(21);
    struct Variant {
        Parameters parameters;
        Bytes packet;
        std::size_t decoded;
    };
    Variant variants[] = {{{AV_CODEC_ID_H264, avcC(2)}, packetOf({kAud, kNonRefSlice}, 2), 0},
                          {{AV_CODEC_ID_H264, avcC(4)}, packetOf({kAud, kTimingSei, kNonRefSlice}), 1},
                          {{AV_CODEC_ID_HEVC, shortHvcC}, packetOf({{0x00, 0x01, 0xAF, 0x01}}), 1}};
    variants[1].parameters.p->field_order = AV_FIELD_TT;
    for (Variant& v : variants) {
        FakeSession fake;
        lv_async_thumbnail_ctx* made = createOn(fake, v.parameters.p);
        ASSERT_NE(made, nullptr);
        lv_async_thumbnail_target(made, 10.0);
        EXPECT_EQ(submitTo(made, v.packet, 1000, 900), 0);
        EXPECT_EQ(fake.calls.size(), v.decoded);
        lv_async_thumbnail_destroy(made);
    }
}

TEST_F(AsyncThumbnailContext, TimingIsPassedOnAndTimestampProductsDoNotOverflow) {
    Parameters parameters(AV_CODEC_ID_H264, avcC(4));
    AVRational ntsc = {1001, 30000};
    create(parameters, ntsc);
    // 2^60 x 1001 does not fit in 64 bits; the time is still about 3.85e16 s.
    const int64_t huge = int64_t(1) << 60;
    double seconds = lv_async_thumbnail_seconds(huge, ntsc);
    EXPECT_NEAR(seconds / (std::ldexp(1.0, 60) * 1001.0 / 30000.0), 1.0, 1e-15);
    EXPECT_TRUE(std::isnan(lv_async_thumbnail_seconds(AV_NOPTS_VALUE, ntsc)));
    lv_async_thumbnail_target(context, seconds * 0.999);
    lv_async_thumbnail_preroll(context, 0);
    EXPECT_EQ(submit(packetOf({kNonRefSlice}), huge, AV_NOPTS_VALUE, 1), 0);
    EXPECT_EQ(submit(packetOf({kRefSlice}), -huge, AV_NOPTS_VALUE, 0), 0);
    ASSERT_EQ(session.calls.size(), 2u);
    EXPECT_EQ(session.calls[0].flags, unsigned(LV_DECODE_ENABLE_ASYNCHRONOUS_DECOMPRESSION))
        << "in the window";
    EXPECT_EQ(session.calls[1].flags,
              unsigned(LV_DECODE_ENABLE_ASYNCHRONOUS_DECOMPRESSION | LV_DECODE_DO_NOT_OUTPUT_FRAME));
    EXPECT_EQ(session.calls[0].pts, huge);
    EXPECT_EQ(session.calls[0].duration, 1);
    EXPECT_EQ(session.calls[1].duration, 0) << "unknown duration";
}

TEST_F(AsyncThumbnailContext, GivesUpWithoutDecodeTimesWaitsAndDrainsPastTheTarget) {
    createH264();
    lv_async_thumbnail_target(context, 100.0);
    lv_async_thumbnail_preroll(context, 200.0);
    for (int i = 0; i < 23; i++) ASSERT_EQ(submit(packetOf({kRefSlice}), i * 40), 0) << i;
    EXPECT_EQ(submit(packetOf({kRefSlice}), 23 * 40), AVERROR(ENOSYS)) << "the 24th without a decode time";
    lv_async_thumbnail_reset(context);

    // One decode time since the reset is enough; the context waits every 96 submissions.
    for (int i = 0; i < 95; i++) ASSERT_EQ(submit(packetOf({kRefSlice}), i * 40, i * 40), 0);
    EXPECT_EQ(session.waits, 1) << "the reset's";
    session.waitStatus = AVERROR(EIO);
    EXPECT_EQ(submit(packetOf({kRefSlice}), 95 * 40, 95 * 40), AVERROR(EIO)) << "the wait's status";
    EXPECT_EQ(session.waits, 2);
    session.waitStatus = 0;
    for (int i = 96; i < 96 + 95; i++) ASSERT_EQ(submit(packetOf({kRefSlice}), i * 40, i * 40), 0);
    EXPECT_EQ(session.waits, 2) << "the count starts again after a wait";

    // Frames come out while the context waits; those at or before the dts are delivered.
    session.onWait = [&] {
        for (double t : {99.96, 100.0, 100.04}) session.emit(t);
    };
    EXPECT_EQ(submit(packetOf({kRefSlice}), 100040, 100000), 0);
    session.onWait = nullptr;
    EXPECT_EQ(delivered.times, (std::vector<double>{99.96, 100.0}));
    EXPECT_EQ(drainAll(), 0);
    EXPECT_EQ(delivered.times.back(), 100.04);
    session.decodeStatus = AVERROR_INVALIDDATA;
    EXPECT_EQ(submit(packetOf({kRefSlice}), 0, 0), AVERROR_INVALIDDATA) << "decode errors at once";
}

// ---- The held-frame table ------------------------------------------------------

TEST_F(AsyncThumbnailContext, KeepsFramesFromTargetMinusPrerollOldestFirst) {
    createH264();
    struct Case {
        double target, preroll;
        std::vector<double> emitted, kept;
    };
    const Case cases[] = {
        {0.0, 1.3, {0.08, 0.0, 0.04}, {0.0, 0.04, 0.08}},
        {5.0, 1.0, {3.99, 4.0, NAN, INFINITY}, {4.0}},
        {5.0, -1.0, {4.99, 5.0}, {5.0}},
        {5.0, NAN, {4.99, 5.0}, {5.0}},
        {5.0, -0.0, {4.99, 5.0}, {5.0}},
    };
    for (const Case& c : cases) {
        lv_async_thumbnail_target(context, c.target);
        lv_async_thumbnail_preroll(context, c.preroll);
        lv_async_thumbnail_reset(context); // keeps both
        for (double t : c.emitted) session.emit(t);
        session.output(session.refcon, nullptr, 0, LV_DECODE_INFO_FRAME_DROPPED, nullptr, c.target, NAN);
        delivered.times.clear();
        EXPECT_EQ(drainAll(), 0);
        EXPECT_EQ(delivered.times, c.kept) << c.target << " " << c.preroll;
    }
    EXPECT_EQ(delivered.formats[0], LV_PIXEL_FORMAT_420V);
}

TEST_F(AsyncThumbnailContext, ThinsFarFramesAndReplacesTheFarthestWhenFull) {
    createH264();
    lv_async_thumbnail_target(context, 10.0);
    lv_async_thumbnail_preroll(context, 2.0);
    for (double t : {8.05, 8.02, 8.07}) session.emit(t);          // earlier one arrives second
    for (double t : {8.52, 8.55}) session.emit(t);                // earlier one arrives first
    for (double t : {9.95, 9.92}) session.emit(t);                // within 0.1 s of the target: both kept
    for (double t : {10.03, 10.07, 10.5, 10.52}) session.emit(t); // at or after the target: all kept
    EXPECT_EQ(drainAll(), 0);
    EXPECT_EQ(delivered.times, (std::vector<double>{8.02, 8.52, 9.92, 9.95, 10.03, 10.07, 10.5, 10.52}));

    // 64 frames from 10 in steps of 1/128 s (exact in binary); the farthest is 10 + 63/128.
    delivered.times.clear();
    for (int i = 0; i < 64; i++) session.emit(10.0 + i / 128.0);
    session.emit(10.0 - 63 / 128.0); // as far as the farthest: dropped
    session.emit(10.5);              // farther: dropped
    session.emit(9.95);              // closer: replaces 10 + 63/128
    EXPECT_EQ(drainAll(), 0);
    ASSERT_EQ(delivered.times.size(), 64u);
    EXPECT_EQ(delivered.times.front(), 9.95);
    EXPECT_EQ(delivered.times.back(), 10.0 + 62 / 128.0);

    // A session that holds pictures back (frame threads) lets a slot's later frames out after a drain
    // took its first: they are not held again. After a reset the slot is open again.
    delivered.times.clear();
    session.emit(8.02);
    EXPECT_EQ(lv_async_thumbnail_drain_until(context, &delivered, Delivered::video, 8.03), 0);
    for (double t : {8.07, 8.13}) session.emit(t);
    EXPECT_EQ(drainAll(), 0);
    EXPECT_EQ(delivered.times, (std::vector<double>{8.02, 8.13}));
    delivered.times.clear();
    lv_async_thumbnail_reset(context);
    session.emit(8.07);
    EXPECT_EQ(drainAll(), 0);
    EXPECT_EQ(delivered.times, (std::vector<double>{8.07}));
}

TEST_F(AsyncThumbnailContext, DrainsUpToALimitAndStaysSilentAfterAnErrorUntilAReset) {
    createH264();
    lv_async_thumbnail_target(context, 1.0);
    for (double t : {1.2, 1.0, 1.1, 1.3}) session.emit(t);
    EXPECT_EQ(lv_async_thumbnail_drain_until(context, &delivered, Delivered::video, 1.1), 0);
    EXPECT_EQ(delivered.times, (std::vector<double>{1.0, 1.1}));
    EXPECT_EQ(lv_async_thumbnail_finish(context, &delivered, Delivered::video), 0);
    EXPECT_EQ(session.finishes, 1);
    EXPECT_EQ(delivered.times, (std::vector<double>{1.0, 1.1, 1.2, 1.3}));

    delivered.times.clear();
    session.emit(2.0, AVERROR_INVALIDDATA);
    session.emit(2.04);
    EXPECT_EQ(drainAll(), AVERROR_INVALIDDATA);
    session.emit(2.08);
    EXPECT_EQ(lv_async_thumbnail_drain_until(context, nullptr, nullptr, INFINITY), AVERROR_INVALIDDATA)
        << "not cleared by a drain, also without a callback";
    EXPECT_TRUE(delivered.times.empty());
    session.emit(2.12);
    lv_async_thumbnail_reset(context);
    session.emit(2.16);
    EXPECT_EQ(drainAll(), 0);
    EXPECT_EQ(delivered.times, (std::vector<double>{2.16})) << "2.12 was dropped by the reset";

    session.finishStatus = AVERROR(EIO);
    session.emit(2.2);
    EXPECT_EQ(lv_async_thumbnail_finish(context, &delivered, Delivered::video), AVERROR(EIO));
    EXPECT_EQ(delivered.times.back(), 2.2) << "finish still drains";
}

TEST_F(AsyncThumbnailContext, StreamColoursAreStampedOnDeliveredBuffers) {
    Parameters parameters(AV_CODEC_ID_H264, avcC(4));
    parameters.p->color_space = AVCOL_SPC_BT709;
    parameters.p->color_primaries = AVCOL_PRI_BT709;
    parameters.p->color_trc = AVCOL_TRC_BT709;
    create(parameters);
    struct Colours {
        lv_color_attachments seen{};
        static void video(void* opaque, lv_pixel_buffer* buffer, double) {
            lv_pixel_buffer_get_color(buffer, &static_cast<Colours*>(opaque)->seen);
        }
    } colours;
    session.emit(0.0);
    EXPECT_EQ(lv_async_thumbnail_finish(context, &colours, Colours::video), 0);
    EXPECT_EQ(colours.seen.matrix, LV_COLOR_MATRIX_BT709);
    EXPECT_EQ(colours.seen.primaries, LV_COLOR_PRIMARIES_BT709);
    EXPECT_EQ(colours.seen.transfer, LV_COLOR_TRANSFER_BT709);
}

} // namespace
