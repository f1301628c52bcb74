#!/usr/bin/env bash
# Generates a 5 s 1080p H.264 + AAC clip with moving content into /tmp (once) and plays it at 1x through
# the direct playback engine with no other load, reporting the frames that were not shown.
# Usage: measure-dropped-frames.sh BUILD_DIR   (configured with -DLUMAVANE_BENCH=ON)
set -euo pipefail
build=${1:?usage: measure-dropped-frames.sh BUILD_DIR}
clip=/tmp/lumavane-playback-1080p.mp4
if [ ! -f "$clip" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=5" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=5" \
    -c:v libx264 -preset medium -crf 20 -g 60 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k \
    "$clip.part.mp4"
  mv "$clip.part.mp4" "$clip"
fi
cmake --build "$build" --target playback_dropped_frames >/dev/null
SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} "$build/bin/playback_dropped_frames" "$clip" "${2:-1}"
