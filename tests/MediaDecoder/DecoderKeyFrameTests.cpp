// Key frames as the file's index lists them, against ffprobe's key packets.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "MediaDecoder/DecoderTestSupport.hpp"

namespace {

using namespace lumavane::test;

std::string probe(const std::string& arguments) {
    std::string text;
    if (FILE* pipe = popen(("ffprobe -v error " + arguments).c_str(), "r")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
        pclose(pipe);
    }
    return text;
}

// Presentation and decode times of the video's key packets, less the media's start (NaN where none).
std::vector<std::array<double, 2>> keyPacketTimes(const std::string& path) {
    const double start =
        std::atof(probe("-show_entries format=start_time -of csv=p=0 '" + path + "'").c_str());
    std::istringstream rows(
        probe("-select_streams v -show_entries packet=pts_time,dts_time,flags -of csv=p=0 '" + path + "'"));
    std::vector<std::array<double, 2>> keys;
    for (std::string pts, dts, flags;
         std::getline(rows, pts, ',') && std::getline(rows, dts, ',') && std::getline(rows, flags);) {
        const auto time = [&](const std::string& text) {
            return text == "N/A" ? NAN : std::stod(text) - start;
        };
        if (flags.find('K') != std::string::npos) keys.push_back({time(pts), time(dts)});
    }
    return keys;
}

// The answer is a key packet's presentation time (Matroska's index) or decode time (MP4's), at or before
// the time asked, and the next key packet's time of the same kind lies after it.
TEST(DecoderKeyFrames, TheIndexedKeyFrameAtOrBeforeATime) {
    for (const std::string name : {"h264_aac.mp4", "hevc.mkv", "offset.mkv"}) {
        SCOPED_TRACE(name);
        const auto keys = keyPacketTimes(mediaPath(name));
        ASSERT_GE(keys.size(), 3u);
        char err[256] = "";
        lv_decoder* decoder =
            lv_decoder_create_thumbnail(mediaPath(name).c_str(), nullptr, nullptr, err, sizeof err);
        ASSERT_NE(decoder, nullptr) << err;
        ASSERT_EQ(lv_decoder_seek(decoder, err, sizeof err, 0), 0) << err; // Matroska reads its index then
        for (double t : {0.5, 1.0, 1.5, 2.5, 100.0}) {
            SCOPED_TRACE(t);
            const double found = lv_decoder_key_frame_time(decoder, t);
            EXPECT_LE(found, t + 1e-9);
            bool listed = false;
            for (size_t i = 0; i < keys.size(); i++)
                for (int kind : {0, 1}) {
                    if (!(std::fabs(keys[i][kind] - found) < 1e-3)) continue;
                    listed = true;
                    if (i + 1 < keys.size()) {
                        EXPECT_GT(keys[i + 1][kind], t) << "a later key frame is listed";
                    }
                }
            EXPECT_TRUE(listed) << found << " is no key packet's time";
        }
        EXPECT_TRUE(std::isnan(lv_decoder_key_frame_time(decoder, -5))); // before the first key frame
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
}

} // namespace
