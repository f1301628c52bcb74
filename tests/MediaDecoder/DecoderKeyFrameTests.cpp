// Key frames as the file's index lists them, against ffprobe's key packets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "MediaDecoder/DecoderTestSupport.hpp"

namespace {

using namespace lumavane::test;

struct KeyPacket {
    double pts, dts; // stream seconds; NaN when ffprobe gives none
};

std::string probe(const std::string& arguments) {
    std::string text;
    if (FILE* pipe = popen(("ffprobe -v error " + arguments).c_str(), "r")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
        pclose(pipe);
    }
    return text;
}

std::vector<KeyPacket> keyPackets(const std::string& path) {
    std::vector<KeyPacket> keys;
    const std::string text =
        probe("-select_streams v -show_entries packet=pts_time,dts_time,flags -of csv=p=0 '" + path + "'");
    size_t line = 0;
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        const std::string row = text.substr(line, end - line);
        line = end + 1;
        if (row.find('K') == std::string::npos) continue;
        char* rest = nullptr;
        const double pts = std::strtod(row.c_str(), &rest);
        const double dts = *rest == ',' ? std::strtod(rest + 1, nullptr) : NAN;
        keys.push_back(
            {row.rfind("N/A", 0) == 0 ? NAN : pts, row.find(",N/A") == std::string::npos ? dts : NAN});
    }
    return keys;
}

// The time the decoder gives for `seconds`: a key packet's presentation or decode time as ffprobe reads
// it (less the media's start), at or before `seconds`, with no key packet's decode time after it and
// still at or before `seconds`.
TEST(DecoderKeyFrames, TheIndexedKeyFrameAtOrBeforeATime) {
    for (const std::string name : {"h264_aac.mp4", "hevc.mkv", "offset.mkv"}) {
        SCOPED_TRACE(name);
        const std::string path = mediaPath(name);
        const double start =
            std::strtod(probe("-show_entries format=start_time -of csv=p=0 '" + path + "'").c_str(), nullptr);
        const std::vector<KeyPacket> keys = keyPackets(path);
        ASSERT_GE(keys.size(), 3u);
        char err[256] = "";
        lv_decoder* decoder = lv_decoder_create_thumbnail(path.c_str(), nullptr, nullptr, err, sizeof err);
        ASSERT_NE(decoder, nullptr) << err;
        // Matroska reads its index on the first seek.
        ASSERT_EQ(lv_decoder_seek(decoder, err, sizeof err, 0), 0) << err;
        for (double t : {0.5, 1.0, 1.5, 2.5, 100.0}) {
            SCOPED_TRACE(t);
            const double found = lv_decoder_key_frame_time(decoder, t);
            ASSERT_TRUE(std::isfinite(found));
            EXPECT_LE(found, t + 1e-9);
            // The index lists presentation times (Matroska) or decode times (MP4).
            size_t matched = keys.size();
            bool decodeTimes = false;
            for (size_t i = 0; i < keys.size(); i++) {
                if (std::fabs(keys[i].pts - start - found) < 1e-3) {
                    matched = i;
                } else if (std::fabs(keys[i].dts - start - found) < 1e-3) {
                    matched = i;
                    decodeTimes = true;
                }
            }
            ASSERT_LT(matched, keys.size()) << found << " is no key packet's time";
            if (matched + 1 < keys.size()) {
                const KeyPacket& next = keys[matched + 1];
                EXPECT_GT((decodeTimes ? next.dts : next.pts) - start, t)
                    << "a later key frame is listed at or before " << t;
            }
        }
        // Before the first key frame, and for times that are not, nothing is listed.
        EXPECT_TRUE(std::isnan(lv_decoder_key_frame_time(decoder, -5)));
        EXPECT_TRUE(std::isnan(lv_decoder_key_frame_time(decoder, NAN)));
        lv_decoder_destroy(decoder);
    }
    // A raw stream has no timestamps to list.
    char err[256] = "";
    lv_decoder* raw =
        lv_decoder_create_thumbnail(mediaPath("raw.h264").c_str(), nullptr, nullptr, err, sizeof err);
    ASSERT_NE(raw, nullptr) << err;
    EXPECT_TRUE(std::isnan(lv_decoder_key_frame_time(raw, 1.5)));
    lv_decoder_destroy(raw);
    EXPECT_TRUE(std::isnan(lv_decoder_key_frame_time(nullptr, 1.5)));
}

} // namespace
