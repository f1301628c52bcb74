#!/usr/bin/env bash
# Generates the test media into OUTDIR with the ffmpeg command-line tool.
#
# See media-common.sh for how the files are made and what the picture shows.
set -euo pipefail

# shellcheck source=tests/media/media-common.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/media-common.sh"
media_begin "${1:?usage: generate-test-media.sh OUTDIR}"

tmp=$(mktemp -d "$out/.tmp-work.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

x265=(-c:v libx265 -preset ultrafast -crf 20 -x265-params "log-level=error:keyint=25:min-keyint=25:scenecut=0")
vid=(-f lavfi -i "$(pattern 320x180 3)")

# Subtitles: an SRT and an ASS file with a few cues. The Japanese lines carry
# an ideographic space (U+3000) and a no-break space (U+00A0).
cat >"$tmp/subs.srt" <<'EOF'
1
00:00:00,500 --> 00:00:01,200
Hello, world

2
00:00:01,500 --> 00:00:02,000
こんにちは　世界 and a no-break space

3
00:00:02,200 --> 00:00:02,800
<i>Last line</i>

4
00:00:02,900 --> 00:00:02,900
Zero length
EOF
cat >"$tmp/subs.ass" <<'EOF'
[Script Info]
ScriptType: v4.00+
PlayResX: 320
PlayResY: 180

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,Sans,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:00.40,0:00:01.00,Default,,0,0,0,,{\i1}斜体{\i0}の字幕
Dialogue: 0,0:00:01.20,0:00:02.40,Default,,0,0,0,,二行目\N第二　行
EOF
# U+00A0 in the second SRT cue, written as bytes so editors cannot lose it.
sed -i "s/and a no-break space/and a$(printf '\xc2\xa0')no-break space/" "$tmp/subs.srt"

# H.264 + AAC (44.1 kHz mono, 440 Hz) in MP4.
bg encode "${vid[@]}" -f lavfi -i "$(tone 440 44100 3)" "${x264[@]}" \
  -c:a aac -b:a 96k -shortest h264_aac.mp4
# HEVC in Matroska.
bg encode "${vid[@]}" "${x265[@]}" -pix_fmt yuv420p hevc.mkv
# VP9 + Opus (48 kHz stereo) in WebM.
bg encode "${vid[@]}" -f lavfi -i "$(tone 660 48000 3)" \
  -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -row-mt 1 -b:v 400k -g 25 -pix_fmt yuv420p \
  -c:a libopus -ac 2 -b:a 64k vp9_opus.webm
join
# AV1 in Matroska.
bg encode "${vid[@]}" -c:v libaom-av1 -cpu-used 8 -usage realtime -row-mt 1 -g 25 \
  -pix_fmt yuv420p av1.mkv
# Two audio tracks (440 Hz English default, 880 Hz Japanese) and two subtitle
# tracks (SRT English, ASS Japanese) in Matroska.
bg encode "${vid[@]}" -f lavfi -i "$(tone 440 48000 3)" -f lavfi -i "$(tone 880 44100 3)" \
  -i "$tmp/subs.srt" -i "$tmp/subs.ass" \
  -map 0:v -map 1:a -map 2:a -map 3:s -map 4:s "${x264[@]}" \
  -c:a:0 aac -ac:a:0 2 -c:a:1 aac -ac:a:1 1 -c:s:0 srt -c:s:1 ass \
  -metadata:s:a:0 title="Main stereo" -metadata:s:a:0 language=eng \
  -metadata:s:a:1 title="日本語音声" -metadata:s:a:1 language=jpn \
  -metadata:s:s:0 title="English" -metadata:s:s:0 language=eng \
  -metadata:s:s:1 title="日本語字幕" -metadata:s:s:1 language=jpn \
  -disposition:a:0 default -disposition:a:1 0 -disposition:s:0 0 -disposition:s:1 default \
  tracks.mkv
# Video only.
bg encode -f lavfi -i "$(pattern 320x180 2)" "${x264[@]}" video_only.mp4
join
# 90-degree display rotation: this ffmpeg writes the display matrix from the
# "rotate" tag only when remuxing.
bg encode -i "$out/video_only.mp4" -c copy -metadata:s:v:0 rotate=90 rotated.mp4
# Audio only.
bg encode -f lavfi -i "$(tone 440 48000 2)" -c:a aac -b:a 96k audio_only.m4a
# Audio (1 s) that ends well before the video (4 s).
bg encode -f lavfi -i "$(pattern 320x180 4)" -f lavfi -i "$(tone 440 48000 1)" "${x264[@]}" \
  -c:a aac -b:a 96k short_audio.mp4
# Tagged BT.709 (colour matrix differs from the BT.601 default).
bg encode -f lavfi -i "$(pattern 320x180 1)" -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p \
  "${x264[@]}" -colorspace bt709 -color_primaries bt709 -color_trc bt709 bt709.mp4
# 4:2:0 10-bit (HEVC Main10).
bg encode "${vid[@]}" "${x265[@]}" -pix_fmt yuv420p10le -profile:v main10 hevc_10bit.mkv

# Timestamps that do not start at 0: MPEG-TS (which starts at 1.4 s anyway) and
# Matroska with subtitles, both moved 10 s on.
bg encode "${vid[@]}" -f lavfi -i "$(tone 440 48000 3)" "${x264[@]}" -c:a aac -b:a 96k \
  -output_ts_offset 10 offset.ts
bg encode "${vid[@]}" -f lavfi -i "$(tone 440 48000 3)" -i "$tmp/subs.srt" -map 0 -map 1 -map 2 \
  "${x264[@]}" -c:a aac -b:a 96k -c:s srt -output_ts_offset 10 offset.mkv
# MPEG-TS with one key frame in 4 s.
bg encode -f lavfi -i "$(pattern 320x180 4)" "${x264[@]}" -g 100 -keyint_min 100 long_gop.ts
# Raw elementary streams (no timestamps at all), copied out of the clips above.
bg encode -i "$out/h264_aac.mp4" -map 0:v -c copy -f h264 raw.h264
bg encode -i "$out/hevc.mkv" -c copy -f hevc raw.hevc
# 40 frames whose last packet is damaged (a NAL unit length overwritten).
bg encode -f lavfi -i "$(pattern 320x180 1.6)" "${x264[@]}" damaged.mkv
join
pos=$(ffprobe -v error -select_streams v -show_entries packet=pos -of csv=p=0 "$out/damaged.mkv" | tail -n 1)
printf '\377\377\377\377\377\377' | dd of="$out/damaged.mkv" bs=1 seek=$((pos + 6)) conv=notrunc status=none

# --- Playback correctness: containers, wrapped timestamps, the end of the video, subtitles
# after a seek, display rotations.
# AVI and FLV, whose demuxers only look times up in their index.
bg encode -f lavfi -i "$(pattern 320x180 2)" -f lavfi -i "$(tone 440 44100 2)" -c:v mpeg4 -q:v 3 -g 25 \
  -c:a libmp3lame -b:a 64k clip.avi
bg encode -f lavfi -i "$(pattern 320x180 2)" -f lavfi -i "$(tone 440 44100 2)" -c:v flv1 -q:v 3 -g 25 \
  -c:a libmp3lame -b:a 64k clip.flv
# FLV whose audio starts 0.2 s before its video; AVI with B-frames, whose last frames come out of the
# decoder without a time.
bg encode -f lavfi -i "$(pattern 320x180 2)" -f lavfi -i "$(tone 440 44100 2.2)" -vf setpts=PTS+0.2/TB \
  -c:v flv1 -q:v 3 -g 25 -c:a libmp3lame -b:a 64k early_audio.flv
bg encode -f lavfi -i "$(pattern 320x180 2)" -c:v mpeg4 -bf 2 -q:v 3 -g 25 bframes.avi
# MPEG-TS whose 33-bit timestamps wrap 2.3 s in: ffprobe starts it at -2.3 s.
bg encode -f lavfi -i "$(pattern 320x180 8)" -f lavfi -i "$(tone 440 48000 8)" "${x264[@]}" -c:a aac -b:a 96k \
  -output_ts_offset 95440 wrapped.ts
# Matroska: 2 s of video in one group of pictures and 4 s of audio; the same written to a pipe (no
# duration, no index).
long_audio=(-f lavfi -i "$(pattern 320x180 2)" -f lavfi -i "$(tone 440 48000 4)" "${x264[@]}" -g 50 -keyint_min 50
  -c:a aac -b:a 96k)
bg encode "${long_audio[@]}" long_audio.mkv
pipe_long_audio() {
  ff "${long_audio[@]}" -f matroska - >"$out/.tmp-long_audio_piped.mkv"
  mv -f "$out/.tmp-long_audio_piped.mkv" "$out/long_audio_piped.mkv"
}
bg pipe_long_audio
# A cue from 0.5 to 3.5 s and one from 4.2 to 4.6 s over 5 s with a key frame every second.
printf '1\n00:00:00,500 --> 00:00:03,500\nA long line\n\n2\n00:00:04,200 --> 00:00:04,600\nA short one\n' \
  >"$tmp/long_cue.srt"
bg encode -f lavfi -i "$(pattern 320x180 5)" -f lavfi -i "$(tone 440 48000 5)" -i "$tmp/long_cue.srt" \
  "${x264[@]}" -c:a aac -b:a 96k -c:s srt long_cue.mkv
# Quarters red, green / blue, white (top-left first), so every turn and mirror tells apart, stored
# with display rotations of 90, 180 and 270 degrees, and an odd 45 that players leave unapplied
# (written only when remuxing).
quarters="nullsrc=s=160x96:r=25:d=1,format=rgb24,geq=r='if(lt(Y,H/2),if(lt(X,W/2),255,0),if(lt(X,W/2),0,255))':g='if(lt(X,W/2),0,255)':b='if(lt(Y,H/2),0,255)'"
ff -f lavfi -i "$quarters" "${x264[@]}" "$tmp/quarters.mp4"
for degrees in 45 90 180 270; do
  bg encode -i "$tmp/quarters.mp4" -c copy -metadata:s:v:0 rotate=$degrees "quarters_$degrees.mp4"
done
join

# A Matroska file cut in the middle of its data (opens, then ends abruptly),
# and an MP4 cut before its index (does not open).
size=$(stat -c %s "$out/hevc.mkv")
head -c $((size * 55 / 100)) "$out/hevc.mkv" >"$out/.tmp-truncated.mkv"
mv -f "$out/.tmp-truncated.mkv" "$out/truncated.mkv"
size=$(stat -c %s "$out/h264_aac.mp4")
head -c $((size / 2)) "$out/h264_aac.mp4" >"$out/.tmp-truncated.mp4"
mv -f "$out/.tmp-truncated.mp4" "$out/truncated.mp4"
# An MP4 with its index in front, cut 5 bytes short: it opens and its last packet (frame 48, shown
# after frame 49) is partial.
ff -i "$out/video_only.mp4" -c copy -movflags +faststart "$tmp/front_index.mp4"
last=$(ffprobe -v error -select_streams v -show_entries packet=size,pos -of csv=p=0 "$tmp/front_index.mp4" |
  sort -t, -k2,2n | tail -n 1) # size,pos of the packet stored last
head -c $((${last%%,*} + ${last##*,} - 5)) "$tmp/front_index.mp4" >"$out/.tmp-cut_last_packet.mp4"
mv -f "$out/.tmp-cut_last_packet.mp4" "$out/cut_last_packet.mp4"
: >"$out/empty.mp4"
printf 'This is a plain text file, not media.\n%.0s' {1..64} >"$out/.tmp-not_media.mp4"
mv -f "$out/.tmp-not_media.mp4" "$out/not_media.mp4"

media_end
