// A scratch folder per test and a small model series written into it: model-series.json with one
// compact variant "Fast" (a compact folder manifest is all format detection reads).
#pragma once

#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

namespace lumavane::test {

inline std::string compactFolderManifest(int scale) {
    return nlohmann::json{{"architecture", "Compact"},
                          {"width", 16},
                          {"height", 16},
                          {"scale", scale},
                          {"layers", nlohmann::json::array()},
                          {"checkpoint_sha256", std::string(64, '0')}}
        .dump();
}

inline nlohmann::json seriesManifest() {
    return nlohmann::json::parse(R"({"schemaVersion": 1, "id": "org.example.anime", "name": "Example Anime",
        "version": "2.1", "author": {"name": "Example", "url": "https://example.org/models"},
        "category": "anime", "description": "", "license": "MIT",
        "variants": [{"id": "fast", "name": "Fast", "role": "fast", "path": "Fast", "format": "compact-metal",
                      "outputScales": [2, 4], "supportsOptimal": true}]})");
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class ScratchFolder : public ::testing::Test {
protected:
    TemporaryDirectory temporary_;
    const std::filesystem::path folder_ = temporary_.path();
};

} // namespace lumavane::test
