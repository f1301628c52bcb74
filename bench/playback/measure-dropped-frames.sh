#!/usr/bin/env bash
# Generates a 5 s 1080p H.264 + AAC clip with moving content into /tmp (once) and plays it at 1x through
# the direct playback engine with no other load, reporting the frames that were not shown.
# Usage: measure-dropped-frames.sh BUILD_DIR   (configured with -DLUMAVANE_BENCH=ON)
set -euo pipefail
build=${1:?usage: measure-dropped-frames.sh BUILD_DIR}
# shellcheck source=bench/bench-env.sh
source "$(dirname "$(readlink -f "$0")")/../bench-env.sh"
clip=/tmp/lumavane-playback-1080p.mp4
bench_clip "$clip" 1920x1080 5
cmake --build "$build" --target playback_dropped_frames >/dev/null
SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} "$build/bin/playback_dropped_frames" "$clip" "${2:-1}"
