#!/usr/bin/env bash
# Generates the clips the media layer tests need beyond the shared test media, into OUTDIR, with the
# ffmpeg command-line tool (tests/media/media-common.sh).
set -euo pipefail

# shellcheck source=tests/media/media-common.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../../media/media-common.sh"
media_begin "${1:?usage: generate-media-clips.sh OUTDIR}"

# Top half pure red, bottom half the grey of the frame number (16 + (N mod 25) * 8): a picture
# turned upside down or mirrored is told apart from an upright one.
g='16+mod(N,25)*8'
upright="nullsrc=s=160x96:r=25:d=2,format=rgb24,geq=r='if(lt(Y,H/2),255,$g)':g='if(lt(Y,H/2),0,$g)':b='if(lt(Y,H/2),0,$g)'"
encode -f lavfi -i "$upright" "${x264[@]}" upright.mp4
# The display matrix is written only when remuxing.
encode -i "$out/upright.mp4" -c copy -metadata:s:v:0 rotate=90 upright_rotated.mp4
# Two audio tracks, English and Japanese.
encode -f lavfi -i "$(pattern 160x96 1)" -f lavfi -i "$(tone 440 48000 1)" -f lavfi -i "$(tone 880 48000 1)" \
  -map 0:v -map 1:a -map 2:a "${x264[@]}" -c:a aac -b:a 64k \
  -metadata:s:a:0 language=eng -metadata:s:a:1 language=jpn two_audio.mp4
# A steady 440 Hz tone under the picture, for the pitch at other rates.
encode -f lavfi -i "$(pattern 160x96 2)" -f lavfi -i "$(tone 440 48000 2)" "${x264[@]}" -c:a aac -b:a 96k -ac 1 \
  tone_440.mp4
# A video track without a single frame: nothing to play, no length.
encode -f lavfi -i "$(pattern 160x96 1)" "${x264[@]}" -frames:v 0 no_frames.mp4
# Pictures without sound, for many quick openings one after the other.
encode -f lavfi -i "testsrc2=s=1280x720:r=25:d=1" -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
  video_only_720p.mp4

# Numbered frames: column k (16 pixels wide) of a 160x96 picture is white when bit k of the frame's
# number is set. Pictures alone, no sound: the video sink by itself ends the stream.
numbered() { # numbered RATE SECONDS
  echo "nullsrc=s=160x96:r=$1:d=$2,format=gray,geq=lum='255*mod(floor(N/pow(2,floor(X/16))),2)'"
}
encode -f lavfi -i "$(numbered 15 4)" "${x264[@]}" numbered.mp4
# A transport stream with sound whose 33-bit clock wraps 2.33 s in (ffprobe starts it at -2.35 s).
encode -f lavfi -i "$(numbered 30 8)" -f lavfi -i "$(tone 440 48000 8)" "${x264[@]}" -g 30 -c:a aac -b:a 64k \
  -output_ts_offset 95439.988 numbered_wrapped.ts

media_end
