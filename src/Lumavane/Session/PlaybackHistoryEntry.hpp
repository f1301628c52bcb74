#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// Where the user left a video. Identified by its file.
struct PlaybackHistoryEntry {
    std::filesystem::path url;
    double position = 0;
    double duration = 0;
    DefaultsDate lastPlayed;
    std::optional<int> audioTrackID;
    std::optional<int> subtitleTrackID;
    bool operator==(const PlaybackHistoryEntry&) const = default;
};

// JSON: "url" as an absolute file URL ("file:///…", percent-encoded), "position", "duration",
// "lastPlayed" (seconds since 2001-01-01), optional "audioTrackID" and "subtitleTrackID";
// unknown keys ignored. Decoding throws JSONDecodingError.
nlohmann::json toJSON(const PlaybackHistoryEntry& entry);
PlaybackHistoryEntry playbackHistoryEntryFromJSON(const nlohmann::json& json, const std::string& path = "");

// "file:///a%20b.mp4" for "/a b.mp4"; relative paths are made absolute first.
std::string fileURLString(const std::filesystem::path& path);
// The path of a "file://" URL (empty or "localhost" host); nothing for anything else.
std::optional<std::filesystem::path> pathFromFileURLString(std::string_view url);

} // namespace lumavane
