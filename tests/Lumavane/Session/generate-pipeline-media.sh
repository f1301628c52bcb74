#!/usr/bin/env bash
# Generates the clip the frame pipeline's end-to-end test plays, into OUTDIR, with the ffmpeg
# command-line tool: 1 s at 25 fps, 160x96, the top-left quadrant pure red and the rest a grey
# that changes with the frame, so a picture shown upside down or mirrored is noticed.
set -euo pipefail

# shellcheck source=tests/media/media-common.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../../media/media-common.sh"
media_begin "${1:?usage: generate-pipeline-media.sh OUTDIR}"

g='16+mod(N,25)*8'
quadrant="if(lt(X,W/2)*lt(Y,H/2),255,$g)"
other="if(lt(X,W/2)*lt(Y,H/2),0,$g)"
encode -f lavfi -i "nullsrc=s=160x96:r=25:d=1,format=rgb24,geq=r='$quadrant':g='$other':b='$other'" \
  "${x264[@]}" quadrant.mp4

media_end
