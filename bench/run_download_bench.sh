#!/usr/bin/env bash
# Download throughput and memory: DownloadFile (libcurl, the real file system, the Qt view
# attached offscreen) against `curl -o`, both fetching the same 256 MB file from the same nginx
# on loopback, best of five runs each; then the peak memory of a 1 MB and a 256 MB download.
#
#   bench/run_download_bench.sh [BUILD_DIR]      (default build/default; builds download_bench)
#
# Targets: at least 0.9 of curl's throughput; peak memory that does not grow with the file's
# size (less than 2 MB between the two downloads).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/default}")
cmake --build "$build" --target download_bench >/dev/null

work=$(mktemp -d)
cleanup() {
  sh "$root/tests/support/nginx_fixture.sh" stop "$work/server" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root/files" "$work/prefix/drive_c/Bench"
head -c $((256 << 20)) /dev/urandom >"$work/root/files/big.bin"
head -c $((1 << 20)) /dev/urandom >"$work/root/files/small.bin"
sh "$root/tests/support/nginx_fixture.sh" start "$work/server" "$work/root" >/dev/null
base="http://127.0.0.1:$(cat "$work/server/port")/files"
export WINEPREFIX=$work/prefix

# The first fetch warms the page cache for both contenders.
curl -sS -o /dev/null "$base/big.bin"

runs=${KW_BENCH_RUNS:-5}
best() { sort -g | head -n 1; }
curl_seconds=$(for _ in $(seq "$runs"); do
  curl -sS -o "$work/curl.bin" -w '%{time_total}\n' "$base/big.bin"
  rm -f "$work/curl.bin"
done | best)
ours_seconds=$(for _ in $(seq "$runs"); do
  "$build/download_bench" "$base" big.bin 2>/dev/null | cut -d' ' -f2
  rm -f "$work/prefix/drive_c/Bench/big.bin"
done | best)

small_peak=$("$build/download_bench" "$base" small.bin 2>/dev/null | cut -d' ' -f3)
big_peak=$("$build/download_bench" "$base" big.bin 2>/dev/null | cut -d' ' -f3)

awk -v n="$runs" -v c="$curl_seconds" -v o="$ours_seconds" -v s="$small_peak" -v b="$big_peak" 'BEGIN {
  mb = 256 * 1048576 / 1e6
  printf "256 MB over loopback, best of %d:\n", n
  printf "  curl -o       %7.3f s  %7.0f MB/s\n", c, mb / c
  printf "  DownloadFile  %7.3f s  %7.0f MB/s\n", o, mb / o
  printf "  ratio         %7.2f   (target: at least 0.90)\n", c / o
  printf "Peak resident memory of download_bench:\n"
  printf "  1 MB file     %7.1f MB\n", s / 1024
  printf "  256 MB file   %7.1f MB\n", b / 1024
  printf "  difference    %7.1f MB  (target: under 2 MB)\n", (b - s) / 1024
}'
