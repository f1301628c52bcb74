// The clips the media layer tests play: the shared test media and the ones generate-media-clips.sh
// makes for these tests, once per build.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lumavane::media {

inline std::filesystem::path sharedMedia(const std::string& name) {
    return std::filesystem::path(LUMAVANE_TEST_MEDIA_DIR) / name;
}

inline std::filesystem::path clip(const std::string& name) {
    static const bool generated = [] {
        const std::string command = std::string("'") + LUMAVANE_MEDIA_CLIPS_SCRIPT + "' '" + LUMAVANE_MEDIA_CLIPS_DIR + "'";
        return std::system(command.c_str()) == 0;
    }();
    EXPECT_TRUE(generated) << "generate-media-clips.sh failed";
    return std::filesystem::path(LUMAVANE_MEDIA_CLIPS_DIR) / name;
}

} // namespace lumavane::media
