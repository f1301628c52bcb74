#!/usr/bin/env bash
# Figures of the real player on a virtual X screen without a window manager, each printed with the
# machine's load: launch to window shown and --video launch to first frame shown (launch), where
# the first frame's time goes (startup), the share of shown frames that were enhanced and the
# frames never shown over 30 s of a 640x360 30 fps clip with the shipped fast model at 2x, and
# the longest stalls of the display refreshes (playback; --preset auto plays in the automatic
# mode, which switches models), resident memory over 5 minutes of 720p playback with
# enhancement (memory; --direct plays it on the direct engine).
# Usage: [BUILD_DIR=dir] measure-app.sh launch|startup|playback|memory [options of measure_app.py]
#        (default build-bench; the clips are made once into /tmp/lumavane-figures-media)
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
# shellcheck source=bench/bench-env.sh
source "$root/bench/bench-env.sh"
figure=${1:?usage: measure-app.sh launch|startup|playback|memory [options]}
shift
build=${BUILD_DIR:-$root/build-bench}
media=/tmp/lumavane-figures-media
"$root/tests/Acceptance/generate-media.sh" "$media"
if [ "$figure" = memory ]; then
  bench_clip "$media/long-720p.mp4" 1280x720 330
  [ -f "$media/long-720p.mkv" ] ||
    ffmpeg -nostdin -hide_banner -loglevel error -i "$media/long-720p.mp4" -c copy "$media/long-720p.mkv"
fi
bench_build "$root" "$build" lumavane
echo "$(uptime)"
xvfb-run -a -s "-screen 0 1600x1000x24 -br -nolisten tcp" /usr/bin/python3 "$root/bench/app/measure_app.py" \
  "$figure" --binary "$build/bin/lumavane" --resources "$root/resources" --media "$media" "$@"
echo "$(uptime)"
