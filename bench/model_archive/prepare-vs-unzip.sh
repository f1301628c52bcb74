#!/usr/bin/env bash
# Prepares a 200 MB stored model ZIP (the shipped series plus four 50 MB data files, made on
# first use) with ModelArchiveImporter::prepare (staging copy, structure and CRC checks,
# extraction, package and manifest checks) and tests it with `unzip -tqq`, alternating, in the
# same run. Prints the best time of each and the ratio prepare / unzip -t.
#
# Usage: bench/model_archive/prepare-vs-unzip.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR defaults to build-bench in the source tree; RUNS to 5. Needs unzip
#   (scripts/install-bench-deps). Staging goes to $TMPDIR (else /tmp), as in the player.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$src/build-bench}
runs=${2:-5}

source "$src/bench/bench-env.sh"
bench_build "$src" "$build" model_archive_prepare_bench
bench="$build/bin/model_archive_prepare_bench"

archive="$build/bench-media/model-series-200mb.zip"
if [ ! -s "$archive" ]; then
  mkdir -p "$(dirname "$archive")"
  python3 - "$src/resources/Models" "$archive.tmp" <<'PY'
import os, sys, zipfile
models, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
    z.write(os.path.join(models, "model-series.json"), "series/model-series.json")
    for folder in ("Lumavane-Fast-4x", "Lumavane-Quality-4x"):
        for name in sorted(os.listdir(os.path.join(models, folder))):
            z.write(os.path.join(models, folder, name), f"series/{folder}/{name}")
    for part in range(4):
        with z.open(f"series/data/part-{part}.bin", "w") as f:
            for _ in range(50):
                f.write(os.urandom(1_000_000))
PY
  mv -f "$archive.tmp" "$archive"
fi

cat "$archive" >/dev/null # both start from the page cache
best_prepare=1000000
best_unzip=1000000
for ((i = 1; i <= runs; i++)); do
  u=$(seconds unzip -tqq "$archive")
  p=$("$bench" "$archive" 1)
  printf 'run %d: unzip -t %.3f s, prepare %.3f s\n' "$i" "$u" "$p"
  best_unzip=$(min "$best_unzip" "$u")
  best_prepare=$(min "$best_prepare" "$p")
done
printf 'unzip -t %.3f s\nprepare  %.3f s\nratio    %.3f (prepare / unzip -t)\n' \
  "$best_unzip" "$best_prepare" "$(awk -v a="$best_prepare" -v b="$best_unzip" 'BEGIN { print a / b }')"
