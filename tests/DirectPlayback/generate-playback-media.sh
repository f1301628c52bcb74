#!/usr/bin/env bash
# Generates the clips the playback engine tests need beyond the shared test media, into OUTDIR, with
# the ffmpeg command-line tool. Same picture as the shared media: the left half red, the right half a
# grey of 16 + (N mod 25) * 8 for frame N at 25 frames per second. Audio: sine tones.
#
# Runs once per build (OUTDIR/.stamp holds this script's hash); files are written under temporary
# names and renamed into place, the stamp last, under a lock, so concurrent test processes are safe.
set -euo pipefail

out=${1:?usage: generate-playback-media.sh OUTDIR}
script=$(readlink -f "${BASH_SOURCE[0]}")
hash=$(sha256sum "$script" | cut -d' ' -f1)

mkdir -p "$out"
exec 9>"$out/.lock"
flock 9
if [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$hash" ]; then
  exit 0
fi
rm -f "$out/.stamp" "$out"/.tmp-*

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
pattern() { # pattern SECONDS
  local g='16+mod(N,25)*8'
  echo "nullsrc=s=320x180:r=25:d=$1,format=rgb24,geq=r='if(lt(X,W/2),255,$g)':g='if(lt(X,W/2),0,$g)':b='if(lt(X,W/2),0,$g)'"
}
tone() { # tone FREQUENCY SECONDS
  echo "sine=frequency=$1:sample_rate=48000:duration=$2"
}
x264=(-c:v libx264 -preset veryfast -crf 18 -g 25 -keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p)
aac=(-c:a aac -ac 2 -b:a 96k)

pids=()
bg() { "$@" & pids+=($!); }
join() {
  local failed=0 p
  for p in "${pids[@]}"; do wait "$p" || failed=1; done
  pids=()
  return $failed
}

# 10 s with a 440 Hz tone throughout.
long() {
  ff -f lavfi -i "$(pattern 10)" -f lavfi -i "$(tone 440 10)" "${x264[@]}" "${aac[@]}" "$out/.tmp-long.mp4"
  mv -f "$out/.tmp-long.mp4" "$out/long.mp4"
}
# Audio for the first second of 7 s of video: more than a full frame queue of video after it.
audio_ends_early() {
  ff -f lavfi -i "$(pattern 7)" -f lavfi -i "$(tone 440 1)" "${x264[@]}" "${aac[@]}" \
    "$out/.tmp-audio_ends_early.mp4"
  mv -f "$out/.tmp-audio_ends_early.mp4" "$out/audio_ends_early.mp4"
}
# Audio only from 5.5 s of 7 s: more than a frame queue of video comes before any audio.
late_audio() {
  ff -f lavfi -i "$(pattern 7)" -itsoffset 5.5 -f lavfi -i "$(tone 440 1.5)" "${x264[@]}" "${aac[@]}" \
    "$out/.tmp-late_audio.mkv"
  mv -f "$out/.tmp-late_audio.mkv" "$out/late_audio.mkv"
}
# Matroska written to a pipe: no duration and no index, as live recordings are.
unknown_duration() {
  ff -f lavfi -i "$(pattern 6)" -f lavfi -i "$(tone 440 6)" "${x264[@]}" "${aac[@]}" -f matroska - \
    >"$out/.tmp-unknown_duration.mkv"
  mv -f "$out/.tmp-unknown_duration.mkv" "$out/unknown_duration.mkv"
}

bg long
bg audio_ends_early
bg late_audio
bg unknown_duration
join

echo "$hash" >"$out/.tmp-stamp"
mv -f "$out/.tmp-stamp" "$out/.stamp"
