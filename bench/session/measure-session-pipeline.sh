#!/usr/bin/env bash
# Generates a 10 s 640x360 30 fps H.264 + AAC clip into /tmp (once) and plays it through the player
# session headless at 2x and 4x with the shipped fast model, the display hook rendering every shown
# picture into a BGRA buffer as the surface would. Prints the machine's load before each run.
# Usage: measure-session-pipeline.sh [BUILD_DIR]   (default build-bench)
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
# shellcheck source=bench/bench-env.sh
source "$root/bench/bench-env.sh"
build=${1:-$root/build-bench}
clip=/tmp/lumavane-session-640x360-30.mp4
bench_clip "$clip" 640x360 10
bench_build "$root" "$build" session_pipeline_bench
for scale in 2 4; do
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
  SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} LUMAVANE_RESOURCES="$root/resources" \
    "$build/bin/session_pipeline_bench" "$clip" "$scale"
done
