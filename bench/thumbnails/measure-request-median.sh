#!/usr/bin/env bash
# Median time of an exact seek-thumbnail request at a random position of a 10 s 1080p H.264 clip.
#
# Generates the clip into /tmp once (testsrc2, 30 fps, x264 medium, CRF 20, a key frame every GOP
# frames, B-frames as x264 sets them), builds the bench program and makes REQUESTS requests at random
# positions (fixed seed) through one provider, with thumbnail decoders and then ordinary decoders.
#
# Usage: bench/thumbnails/measure-request-median.sh [BUILD_DIR] [REQUESTS] [GOP]
#   BUILD_DIR defaults to build-bench in the source tree (configured by bench/bench-env.sh when new),
#   REQUESTS to 100, GOP to 60 (2 s).
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$src/build-bench}
requests=${2:-100}
gop=${3:-60}

clip=/tmp/lumavane-thumbnails-1080p-g$gop.mp4
if [ ! -s "$clip" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=10" \
    -c:v libx264 -preset medium -crf 20 -g "$gop" -pix_fmt yuv420p "$clip.part.mp4"
  mv -f "$clip.part.mp4" "$clip"
fi

source "$src/bench/bench-env.sh"
bench_build "$src" "$build" thumbnail_request_bench
# The figures depend on what else the machine runs: its load goes with them.
echo "before: $(uptime)"
"$build/bin/thumbnail_request_bench" "$clip" "$requests" 1
echo
"$build/bin/thumbnail_request_bench" "$clip" "$requests" 1 ordinary
echo "after: $(uptime)"
