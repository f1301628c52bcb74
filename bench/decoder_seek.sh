#!/usr/bin/env bash
# Seeks a decoder opened afresh to 39.5 s of a 40 s raw H.264 stream (720p, 25 fps, a key frame
# every 2 s; generated on first use) and reads until that frame comes. Prints the best times of
# the seek and of the open over RUNS runs, and each run's count of decoded frames.
#
# Usage: bench/decoder_seek.sh [BUILD_DIR] [RUNS] [SECONDS]
#   BUILD_DIR defaults to build-bench in the source tree; RUNS to 3; SECONDS to 39.5.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$src/build-bench}
runs=${2:-3}
target=${3:-39.5}

source "$src/bench/bench-env.sh"
bench_build "$src" "$build" decoder_seek_bench

clip="$build/bench-media/raw_720p_40s.h264"
if [ ! -s "$clip" ]; then
  mkdir -p "$(dirname "$clip")"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=s=1280x720:r=25:d=40" \
    -c:v libx264 -preset veryfast -crf 23 -g 50 -pix_fmt yuv420p -f h264 "$clip.tmp"
  mv -f "$clip.tmp" "$clip"
fi
"$build/bin/decoder_seek_bench" "$clip" "$target" "$runs"
