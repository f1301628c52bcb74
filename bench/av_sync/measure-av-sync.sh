#!/usr/bin/env bash
# Picture against sound as a viewer gets them, on both playback back-ends and in every display
# mode: the player runs on a private X server (Xvfb) with its sound going to a PulseAudio null
# sink, and one ffmpeg records a patch of the screen and the sink's monitor on one clock. The
# clip (made here with ffmpeg) flashes white for one frame with a 30 ms beep every 2 s from 1 s;
# av_offsets.py finds each flash and its beep. The recording's own offset is calibrated first by
# recording `gst-launch-1.0 playbin` (ximagesink, pulsesink) playing the same clip.
#
# Usage: bench/av_sync/measure-av-sync.sh [BUILD_DIR] [MODEL]
#   BUILD_DIR  a folder with bin/lumavane built (default build)
#   MODEL      the enhancement model (default the shipped fast model)
# Environment: AV_SYNC_CASES, the cases to run (default all: platform-off platform-original
# platform-enhanced platform-compare direct-off direct-original direct-enhanced direct-compare);
# AV_SYNC_FLASHES, flashes per case (default 10); AV_SYNC_RATE, the player's playback rate (default
# 1; one of the rates it offers; the calibration always plays at 1).
# Needs scripts/install-bench-deps (pulseaudio, gstreamer1.0-tools, gstreamer1.0-pulseaudio,
# gstreamer1.0-x). Prints, per case, the offset of each flash in milliseconds (positive: the
# picture after its sound) after calibration, the first flash (1 s) and the median of the
# rest, with the load average before the case.
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
build=$(readlink -f "${1:-$root/build}")
model=${2:-$root/resources/Models/Lumavane-Fast-4x}
work=$(mktemp -d /tmp/lumavane-av-sync.XXXXXX)
flashes=${AV_SYNC_FLASHES:-10}
rate=${AV_SYNC_RATE:-1}
clip_seconds=$((2 * flashes))
seconds=$((clip_seconds + 3))
cases=${AV_SYNC_CASES:-platform-off platform-original platform-enhanced platform-compare direct-off direct-original direct-enhanced direct-compare}
# The screen is sampled this often: the error of one reading is up to one sample (4.2 ms).
grab_rate=240

cleanup() {
  [ -n "${silence_pid:-}" ] && kill "$silence_pid" 2>/dev/null || true
  [ -n "${pulse_pid:-}" ] && kill "$pulse_pid" 2>/dev/null || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# 30 fps, 2 s a flash: a moving test picture, dimmed, with one white frame at 1 s, 3 s, ...; a 1 kHz
# beep of 30 ms at the same times. The same streams in MP4 (platform back-end) and Matroska
# (direct back-end).
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=size=480x270:rate=30:duration=$clip_seconds,eq=brightness=-0.3:contrast=0.5,drawbox=color=white:t=fill:enable='eq(mod(n\,60)\,30)'" \
  -f lavfi -i "aevalsrc='if(gte(t\,1)*lt(mod(t-1\,2)\,0.03)\,0.8*sin(2*PI*1000*t)\,0)':s=48000:d=$clip_seconds" \
  -c:v libx264 -preset veryfast -crf 18 -g 30 -pix_fmt yuv420p -c:a aac -b:a 128k -ac 2 "$work/flash.mp4"
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/flash.mp4" -c copy "$work/flash.mkv"

# A display number no other X server holds: Xvfb picks it and writes it out (-noreset: see
# tests/support/with-xvfb).
Xvfb -noreset -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=:$(head -1 "$work/display")
export DISPLAY=$display XDG_RUNTIME_DIR=$work/run PULSE_SINK=avsync SDL_AUDIODRIVER=pulseaudio
mkdir -m 700 "$XDG_RUNTIME_DIR"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=stderr \
  -L module-native-protocol-unix -L "module-null-sink sink_name=avsync rate=48000" 2>"$work/pulse.log" &
pulse_pid=$!
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
# Silence keeps the sink running at a low latency, so that its monitor delivers sound steadily.
pacat -p --device=avsync --latency-msec=20 --raw --format=s16le --rate=48000 --channels=2 </dev/zero &
silence_pid=$!

# The recorder runs at a real-time priority where it may: a starved recorder stamps what it takes
# late, and the player's enhancement keeps every core busy.
recorder_priority=()
chrt -r 10 true 2>/dev/null && recorder_priority=(chrt -r 10)

# record NAME CROP: the screen patch CROP (WxH+X+Y) and the sink's sound, $seconds long.
record() {
  local size=${2%%+*} offset=${2#*+}
  # Both inputs keep their wall-clock stamps (-copyts): by default ffmpeg would start each input
  # at 0 on its own, and the two would be as far apart as their first packets happened to be.
  "${recorder_priority[@]}" ffmpeg -nostdin -hide_banner -loglevel error -y \
    -thread_queue_size 1024 -t "$seconds" -f x11grab -framerate "$grab_rate" -video_size "$size" -i "$display+${offset/+/,}" \
    -thread_queue_size 1024 -t "$seconds" -use_wallclock_as_timestamps 1 -f pulse -fragment_size 1920 \
    -i avsync.monitor -copyts -c:v rawvideo -pix_fmt gray -c:a pcm_s16le "$work/$1.nut"
}

# summary NAME: one line: the first flash (1 s), the median and range of the others, all offsets.
summary() {
  python3 - "$work/$1.txt" <<'EOF'
import statistics, sys
rows = [line.split()[1] for line in open(sys.argv[1])]
if not rows:
    print("no beep heard"); sys.exit()
rest = [float(o) for o in rows[1:] if o != "none"]
first = "missed" if rows[0] == "none" else f"{float(rows[0]):+6.1f}"
steady = f"median {statistics.median(rest):+6.1f}  range {min(rest):+.1f}..{max(rest):+.1f}" if rest else "none seen"
print(f"first {first}  then {steady}  all {' '.join(rows)}")
EOF
}

# Calibration: GStreamer's own player, window at the top left.
calibrate() {
  record calibration 480x270+0+0 &
  local recorder=$!
  sleep 0.5
  timeout $((seconds - 1)) gst-launch-1.0 -q playbin "uri=file://$work/flash.mp4" \
    video-sink=ximagesink audio-sink=pulsesink >/dev/null 2>&1 || true
  wait "$recorder"
  python3 "$root/bench/av_sync/av_offsets.py" "$work/calibration.nut" >"$work/calibration.txt"
  python3 - "$work/calibration.txt" <<'EOF'
import statistics, sys
offsets = [float(o) for _, o in (line.split() for line in open(sys.argv[1])) if o != "none"]
print(f"{statistics.median(offsets):.1f}" if offsets else "0")
EOF
}

calibration=$(calibrate)
echo "calibration (gst-launch-1.0 playbin): ${calibration} ms; subtracted below; the player at rate $rate"

# One run of the player: back-end by file kind, display mode and enhancement from the defaults.
# The patch lies right of the picture's centre, in the enhanced half in Compare.
play() {
  local name=$1 clip=$2 mode=$3 enabled=$4
  printf '{"player.preferences": {"mode": "%s", "enabled": %s, "outputScale": "2×", "playbackRate": %s}}\n' \
    "$mode" "$enabled" "$rate" >"$work/$name.defaults.json"
  printf '%-22s load %s  ' "$name" "$(cut -d' ' -f1-3 /proc/loadavg)"
  record "$name" 240x135+800+330 &
  local recorder=$!
  sleep 0.5
  LUMAVANE_DEFAULTS="$work/$name.defaults.json" LUMAVANE_RESOURCES="$root/resources" \
    timeout $((seconds - 1)) "$build/bin/lumavane" --video "$clip" --model "$model" >"$work/$name.log" 2>&1 || true
  wait "$recorder"
  python3 "$root/bench/av_sync/av_offsets.py" "$work/$name.nut" "$calibration" >"$work/$name.txt"
  summary "$name"
}

for name in $cases; do
  clip=$work/flash.mp4
  [ "${name%%-*}" = direct ] && clip=$work/flash.mkv
  case ${name#*-} in
  off) play "$name" "$clip" Enhanced false ;;
  original) play "$name" "$clip" Original true ;;
  enhanced) play "$name" "$clip" Enhanced true ;;
  compare) play "$name" "$clip" Compare true ;;
  *) echo "unknown case $name" >&2 ;;
  esac
done
echo "calibration again: $(calibrate) ms"
