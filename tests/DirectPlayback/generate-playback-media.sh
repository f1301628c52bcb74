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

# Seek thumbnails. count10.mp4: the left half a grey of 16 + 20 per whole second, the right half
# 16 + 8 per frame within the second. Rotated copies (the display matrix is written only when
# remuxing), a 720p clip and a portrait one.
count10() {
  local g='16+20*floor(N/25)' f='16+mod(N,25)*8'
  encode -f lavfi -i "nullsrc=s=160x90:r=25:d=10,format=rgb24,geq=r='if(lt(X,W/2),$g,$f)':g='if(lt(X,W/2),$g,$f)':b='if(lt(X,W/2),$g,$f)'" \
    "${x264[@]}" count10.mp4
}
rotated() {
  ff -f lavfi -i "$(pattern 320x180 2)" "${x264[@]}" "$out/.tmp-upright.mp4"
  encode -i "$out/.tmp-upright.mp4" -c copy -metadata:s:v:0 rotate=180 rotated180.mp4
  encode -i "$out/.tmp-upright.mp4" -c copy -metadata:s:v:0 rotate=270 rotated270.mp4
  rm -f "$out/.tmp-upright.mp4"
}
sizes() {
  encode -f lavfi -i testsrc2=s=1280x720:r=25:d=5 "${x264[@]}" testsrc720_5s.mp4
  encode -f lavfi -i testsrc2=s=360x640:r=25:d=0.2 "${x264[@]}" portrait.mp4
}

bg long
bg count10
bg rotated
bg sizes
bg fast
bg audio_ends_early
bg late_audio
bg unknown_duration
join

media_end
