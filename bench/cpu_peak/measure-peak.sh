#!/usr/bin/env bash
# The fp32 peak of this machine's cores as reached by fused multiply-adds in registers, on one
# thread and on all (or THREADS), with the load beside it: the ceiling the engine's GFLOP/s figures
# are read against. Builds fma_peak.c with -march=native into a scratch folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -march=native -fopenmp "$here/fma_peak.c" -o "$work/fma_peak"
grep -m1 "model name" /proc/cpuinfo
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
OMP_NUM_THREADS=1 "$work/fma_peak"
OMP_NUM_THREADS=${THREADS:-$(nproc)} "$work/fma_peak"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
