# Sourced by the benchmark scripts: one way to get a bench build folder, and one way to run
# the PyTorch side of a comparison.

# The options every benchmark script configures its folder with.
bench_cmake_options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMAVANE_BENCH=ON -DLUMAVANE_TESTS=OFF)

# bench_build SOURCE BUILD TARGET...: configures BUILD with the bench options when it has never
# been configured, then builds the targets. A configured folder is never reconfigured with other
# options (that would rebuild someone's tree, or flip it between scripts); one without the
# benchmarks is refused.
bench_build() {
  local source=$1 build=$2
  shift 2
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source" -B "$build" "${bench_cmake_options[@]}" >/dev/null
  elif ! grep -q '^LUMAVANE_BENCH:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "$build was configured without -DLUMAVANE_BENCH=ON; choose another BUILD_DIR." >&2
    return 2
  fi
  cmake --build "$build" --target "$@" >/dev/null
}

# bench_clip FILE SIZE SECONDS: a moving test picture (testsrc2, 30 fps) with a 440 Hz tone as H.264
# and AAC in MP4, made once: an existing FILE is kept.
bench_clip() {
  local file=$1 size=$2 duration=$3
  [ -f "$file" ] && return 0
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=$size:rate=30:duration=$duration" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$duration" \
    -c:v libx264 -preset medium -crf 20 -g 60 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k \
    "$file.part.mp4"
  mv "$file.part.mp4" "$file"
}

# seconds COMMAND...: runs the command (output dropped) and prints its wall-clock seconds.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}
# min A B: the smaller of two numbers.
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b ? a : b) }'; }

# torch_python ARGS...: /usr/bin/python3 with glibc's allocator kept from handing freed memory
# back to the system (no mmap for large blocks, no trimming, a generous top pad). Otherwise
# every large PyTorch tensor is a fresh mapping that faults in page by page on each call (7,200
# faults per 16-channel 640x360 convolution with PReLU, 36,000 per frame of a 4x model there),
# a cost that a long-running process with its memory kept does not pay. Its OpenMP threads wait
# passively, as PoCL's do: spinning ones cripple it on a shared machine (a 16-channel 4x model
# at 640x360 on 8 threads under a load of 22 on 8 cores: 804 ms a frame spinning, 89 ms
# passive). OMP_WAIT_POLICY=active in the environment restores spinning; on a lightly loaded
# machine that is 1.3-2x faster, so the comparison scripts time PyTorch both ways and quote the
# better.
torch_python() {
  MALLOC_MMAP_MAX_=0 MALLOC_TRIM_THRESHOLD_=100000000000 MALLOC_TOP_PAD_=1000000000 \
    OMP_WAIT_POLICY=${OMP_WAIT_POLICY:-passive} /usr/bin/python3 "$@"
}
