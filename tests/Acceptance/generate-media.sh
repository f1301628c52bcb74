#!/usr/bin/env bash
# Generates the acceptance suite's media into OUTDIR with the ffmpeg command-line tool.
#
# The picture of main.mp4 and second.mp4 tells what a screenshot shows without reading text:
# four coloured quadrants (orientation), a white bar 12 px tall that moves down 3 px a frame
# (y = mod(90 t, 348): the moment, to compare the two halves of the compare view) and a
# magenta bar 16 px wide that crosses the picture once (x = 624 t / D: the position after a
# seek). The rotated clips carry a display matrix as a phone writes it.
set -euo pipefail

here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
# shellcheck source=tests/media/media-common.sh
source "$here/../media/media-common.sh"
media_begin "${1:?usage: generate-media.sh OUTDIR}"

# picture SECONDS [QUADRANT COLOURS TL TR BL BR]
picture() {
  local d=$1 tl=${2:-red} tr=${3:-green} bl=${4:-blue} br=${5:-yellow}
  echo "color=c=$tl:s=640x360:r=30:d=$d,format=yuv420p,drawbox=x=320:y=0:w=320:h=180:c=$tr:t=fill,drawbox=x=0:y=180:w=320:h=180:c=$bl:t=fill,drawbox=x=320:y=180:w=320:h=180:c=$br:t=fill[bg];color=c=white:s=640x12:r=30:d=$d[h];color=c=magenta:s=16x360:r=30:d=$d[v];[bg][h]overlay=x=0:y='mod(t*90,348)':eval=frame[a];[a][v]overlay=x='t*624/$d':y=0:eval=frame"
}
h264=(-c:v libx264 -preset veryfast -crf 18 -g 30 -keyint_min 30 -sc_threshold 0 -pix_fmt yuv420p)
aac=(-c:a aac -b:a 96k -ac 2)

bg encode -filter_complex "$(picture 30)" -f lavfi -i "$(tone 440 48000 30)" "${h264[@]}" "${aac[@]}" \
  -shortest main.mp4
bg encode -filter_complex "$(picture 12 yellow blue green red)" -f lavfi -i "$(tone 660 48000 12)" "${h264[@]}" \
  "${aac[@]}" -shortest second.mp4
# HAP (a VJ codec) in QuickTime: GStreamer has no decoder for it, FFmpeg has.
bg encode -filter_complex "$(picture 20)" -f lavfi -i "$(tone 440 48000 20)" -c:v hap "${aac[@]}" -shortest \
  refused.mov
bg encode -filter_complex "$(picture 4)" "${h264[@]}" upright.mp4
join
# The same in Matroska, which the player always plays on its direct (FFmpeg) back-end.
bg encode -i "$out/main.mp4" -c copy main.mkv
# Display matrices from the "rotate" tag (this ffmpeg writes them only when remuxing).
for degrees in 90 180 270; do
  bg encode -i "$out/upright.mp4" -c copy -metadata:s:v:0 rotate=$degrees "rotated-$degrees.mp4"
done
# The same turn in a file only the direct back-end plays.
bg encode -filter_complex "$(picture 4)" -c:v hap upright.mov
join
bg encode -i "$out/upright.mov" -c copy -metadata:s:v:0 rotate=90 rotated-90-direct.mov
# A folder of three clips whose file-browser order (numbers by value) differs from byte order.
# Each plays long enough for the suite to read the title on a loaded desktop (3 s clips were over
# before a read came back, and the title was already the third's).
mkdir -p "$out/folder"
for n in 1 2 10; do
  bg encode -filter_complex "$(picture 20)" "${h264[@]}" "clip $n.mp4"
done
join
for n in 1 2 10; do mv -f "$out/clip $n.mp4" "$out/folder/clip $n.mp4"; done

# A damaged MP4: its index sits at the end and the file is cut in half, so it cannot be opened.
bg encode -filter_complex "$(picture 6)" -f lavfi -i "$(tone 440 48000 6)" "${h264[@]}" "${aac[@]}" -shortest \
  whole.mp4
join
size=$(stat -c %s "$out/whole.mp4")
head -c $((size / 2)) "$out/whole.mp4" >"$out/.tmp-damaged.mp4"
mv -f "$out/.tmp-damaged.mp4" "$out/damaged.mp4"
rm -f "$out/whole.mp4"
# A picture of 16000 x 16000 whose data is cut off after its header: it opens, and gives no picture.
encode -f lavfi -i color=c=gray:s=16000x16000 -frames:v 1 -c:v mjpeg -q:v 31 -pix_fmt yuvj420p huge.mkv
head -c 20000 "$out/huge.mkv" >"$out/.tmp-huge cut.mkv"
mv -f "$out/.tmp-huge cut.mkv" "$out/huge cut.mkv"
rm -f "$out/huge.mkv"
: >"$out/empty.mp4"
printf 'This is a plain text file, not media.\n%.0s' {1..64} >"$out/.tmp-not media.mp4"
mv -f "$out/.tmp-not media.mp4" "$out/not media.mp4"

media_end
