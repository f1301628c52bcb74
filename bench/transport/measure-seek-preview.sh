#!/usr/bin/env bash
# Median time from hovering a new place of the seek bar until its preview shows the picture of that
# time, over HOVERS hovers of a 10 s 1080p H.264 clip with a key frame every 2 s.
#
# Usage: bench/transport/measure-seek-preview.sh [BUILD_DIR] [HOVERS]
#   BUILD_DIR defaults to build-bench in the source tree, HOVERS to 20.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$src/build-bench}
hovers=${2:-20}

clip=/tmp/lumavane-thumbnails-1080p-g60.mp4
if [ ! -s "$clip" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=10" \
    -c:v libx264 -preset medium -crf 20 -g 60 -pix_fmt yuv420p "$clip.part.mp4"
  mv -f "$clip.part.mp4" "$clip"
fi

source "$src/bench/bench-env.sh"
bench_build "$src" "$build" seek_preview_bench
# The figure depends on what else the machine runs: its load goes with it.
echo "before: $(uptime)"
QT_QPA_PLATFORM=offscreen LUMAVANE_DEFAULTS=$(mktemp -u /tmp/lumavane-seek-preview-XXXX.json) \
  "$build/bin/seek_preview_bench" "$clip" "$hovers"
echo "after: $(uptime)"
