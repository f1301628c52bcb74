#!/usr/bin/env bash
# Reads a 1080p H.264 clip (5 s, generated on first use) to the end through the
# decoder, every frame converted to BGRA for the video callback, and through
# `ffmpeg -i CLIP -pix_fmt bgra -f null -`, alternating, in the same run.
# Prints the best wall-clock time of each (whole process, start-up included)
# and the ratio decoder / ffmpeg.
#
# Usage: bench/decoder_vs_ffmpeg.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR defaults to build-bench in the source tree; RUNS to 5.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$src/build-bench}
runs=${2:-5}

source "$src/bench/bench-env.sh"
bench_build "$src" "$build" decoder_read_bench
bench="$build/bin/decoder_read_bench"

clip="$build/bench-media/h264_1080p.mp4"
if [ ! -s "$clip" ]; then
  mkdir -p "$(dirname "$clip")"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=s=1920x1080:r=30:d=5" \
    -c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p "$clip.tmp.mp4"
  mv -f "$clip.tmp.mp4" "$clip"
fi

best_decoder=1000000
best_ffmpeg=1000000
for ((i = 1; i <= runs; i++)); do
  f=$(seconds ffmpeg -nostdin -hide_banner -loglevel error -i "$clip" -pix_fmt bgra -f null -)
  d=$(seconds "$bench" "$clip" 1)
  printf 'run %d: ffmpeg %.3f s, decoder %.3f s\n' "$i" "$f" "$d"
  best_ffmpeg=$(min "$best_ffmpeg" "$f")
  best_decoder=$(min "$best_decoder" "$d")
done
printf 'ffmpeg  %.3f s\ndecoder %.3f s\nratio   %.3f (decoder / ffmpeg)\n' \
  "$best_ffmpeg" "$best_decoder" "$(awk -v a="$best_decoder" -v b="$best_ffmpeg" 'BEGIN { print a / b }')"
