#!/usr/bin/env bash
# Generates the clips the playback engine tests need beyond the shared test media, into OUTDIR, with
# the ffmpeg command-line tool: the same picture and tones, made the same way (tests/media/media-common.sh).
set -euo pipefail

# shellcheck source=tests/media/media-common.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../media/media-common.sh"
media_begin "${1:?usage: generate-playback-media.sh OUTDIR}"

aac=(-c:a aac -ac 2 -b:a 96k)

# 10 s with a 440 Hz tone throughout.
long() {
  encode -f lavfi -i "$(pattern 320x180 10)" -f lavfi -i "$(tone 440 48000 10)" "${x264[@]}" "${aac[@]}" long.mp4
}
# Audio for the first second of 7 s of video: more than a full frame queue of video after it.
audio_ends_early() {
  encode -f lavfi -i "$(pattern 320x180 7)" -f lavfi -i "$(tone 440 48000 1)" "${x264[@]}" "${aac[@]}" \
    audio_ends_early.mp4
}
# Audio only from 5.5 s of 7 s: more than a frame queue of video comes before any audio.
late_audio() {
  encode -f lavfi -i "$(pattern 320x180 7)" -itsoffset 5.5 -f lavfi -i "$(tone 440 48000 1.5)" "${x264[@]}" \
    "${aac[@]}" late_audio.mkv
}
# Matroska written to a pipe: no duration and no index, as live recordings are.
unknown_duration() {
  ff -f lavfi -i "$(pattern 320x180 6)" -f lavfi -i "$(tone 440 48000 6)" "${x264[@]}" "${aac[@]}" -f matroska - \
    >"$out/.tmp-unknown_duration.mkv"
  mv -f "$out/.tmp-unknown_duration.mkv" "$out/unknown_duration.mkv"
}

# 400 frames per second of a small picture: the decode-ahead time holds far more frames than the queue.
fast() {
  encode -f lavfi -i "testsrc2=s=64x36:r=400:d=2" -c:v libx264 -preset ultrafast -pix_fmt yuv420p fast.mp4
}

bg long
bg fast
bg audio_ends_early
bg late_audio
bg unknown_duration
join

media_end
