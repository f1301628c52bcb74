#pragma once

#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Media/MediaPlayer.hpp"

#include <memory>

namespace lumavane::media {

// The player over GStreamer: one playbin per item, its pictures converted to BGRA by an appsink,
// its sound through the desktop's audio sink (a silent clocked sink where there is none). Item
// status, end and seek completions are posted to `executor`, which must outlive the player.
std::unique_ptr<Player> makeGStreamerPlayer(MainExecutor& executor);

} // namespace lumavane::media
