#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// A file's extension without its dot, in lower case ("" when it has none).
std::string lowerCaseExtension(const std::filesystem::path& path);

// The 24 lower-case extensions the open panel offers and folder expansion accepts, whatever
// type the file manager gives them.
std::span<const std::string_view> supportedVideoExtensions();
bool isSupportedVideoExtension(std::string_view lowerCaseExtension);

// The playable videos among dropped or chosen items, in order: files whose name gives a video
// type (the shared MIME database's globs) or one of the 24 extensions. Given files stay where
// they were given, each folder's videos (searched down to `maximumDepth` levels) stand sorted in the file
// browser's order where the folder stood; duplicates are listed once, at their first place.
// Symbolic links to folders inside a folder are never followed; hidden items and package folders
// are skipped; unreadable items are left out. Paths come as standardizedVideoPath gives them.
// Never fails; callable from any thread.
std::vector<std::filesystem::path> playableVideos(const std::vector<std::filesystem::path>& items,
                                                  int maximumDepth = 16);

// One identity of a video file for the playlist: absolute, normalised, symbolic links resolved.
std::filesystem::path standardizedVideoPath(const std::filesystem::path& path);

// The file browser's order: case-insensitive, runs of digits compared by value.
bool localizedStandardLess(std::string_view a, std::string_view b);

} // namespace lumavane
