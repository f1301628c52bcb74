# shellcheck shell=bash disable=SC2034
# Shared by the test media generators (sourced, not run). The generator calls
# media_begin OUTDIR first and media_end last.
#
# Runs once per build: OUTDIR/.stamp holds the hash of the generator and of this
# file, and nothing is done while it is current. Files are encoded under temporary
# names and renamed into place, the stamp last, under a lock on OUTDIR, so a killed
# run never leaves a half file that a later run would take as done, and concurrent
# test processes are safe.
#
# Picture: the left half is pure red (RGB 255,0,0); the right half is a grey whose
# level identifies the frame: 16 + (N mod 25) * 8, N the frame number at 25 frames
# per second. Audio: sine tones of known frequency.

media_begin() { # media_begin OUTDIR; exits the generator when OUTDIR is current
  out=$1
  hash=$(cat "$(readlink -f "$0")" "$(readlink -f "${BASH_SOURCE[0]}")" | sha256sum | cut -d' ' -f1)
  mkdir -p "$out"
  exec 9>"$out/.lock"
  flock 9
  if [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$hash" ]; then
    exit 0
  fi
  rm -rf "$out/.stamp" "$out"/.tmp-*
}

media_end() {
  echo "$hash" >"$out/.tmp-stamp"
  mv -f "$out/.tmp-stamp" "$out/.stamp"
}

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# Encodes with the given ffmpeg arguments into NAME (last argument) atomically.
encode() {
  local name=${!#}
  local args=("${@:1:$#-1}")
  local part="$out/.tmp-$name"
  ff "${args[@]}" "$part"
  mv -f "$part" "$out/$name"
}

pattern() { # pattern SIZE SECONDS
  local g='16+mod(N,25)*8'
  echo "nullsrc=s=$1:r=25:d=$2,format=rgb24,geq=r='if(lt(X,W/2),255,$g)':g='if(lt(X,W/2),0,$g)':b='if(lt(X,W/2),0,$g)'"
}
tone() { # tone FREQUENCY RATE SECONDS
  echo "sine=frequency=$1:sample_rate=$2:duration=$3"
}

pids=()
bg() { "$@" & pids+=($!); }
join() { # waits for the background encodes; fails when any of them failed
  local failed=0 p
  for p in "${pids[@]}"; do wait "$p" || failed=1; done
  pids=()
  return $failed
}

x264=(-c:v libx264 -preset veryfast -crf 18 -g 25 -keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p)
