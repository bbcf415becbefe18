#!/usr/bin/env bash
# Download throughput and memory of the WinINet transfer control under Wine: DownloadFile over
# WinINet (wininet_download_bench.exe, no window) against `curl -o`, both fetching the same 256 MB
# file from the same nginx on loopback, best of five runs each; then the peak working set of a
# 1 MB and a 256 MB download. For libcurl's DownloadFile beside them, run run_download_bench.sh.
#
#   bench/run_wininet_bench.sh [BUILD_DIR]   (default build/windows-x64, the 64-bit cross build;
#                                            KW_BENCH_EXE names the program instead)
#
# Wine runs in a prefix of its own under a temporary folder (the first start takes a while).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/windows-x64}
exe=${KW_BENCH_EXE:-$build/wininet_download_bench.exe}
[ -f "$exe" ] || { echo "no $exe: build the target wininet_download_bench" >&2; exit 1; }

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  sh "$root/tests/support/nginx_fixture.sh" stop "$work/server" >/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root/files" "$work/out"
head -c $((256 << 20)) /dev/urandom >"$work/root/files/big.bin"
head -c $((1 << 20)) /dev/urandom >"$work/root/files/small.bin"
sh "$root/tests/support/nginx_fixture.sh" start "$work/server" "$work/root" >/dev/null
base="http://127.0.0.1:$(cat "$work/server/port")/files"
out=$(winepath -w "$work/out" 2>/dev/null)

# The first fetch warms the page cache for both contenders.
curl -sS -o /dev/null "$base/big.bin"

runs=${KW_BENCH_RUNS:-5}
best() { sort -g | head -n 1; }
curl_seconds=$(for _ in $(seq "$runs"); do
  curl -sS -o "$work/curl.bin" -w '%{time_total}\n' "$base/big.bin"
  rm -f "$work/curl.bin"
done | best)
ours_seconds=$(for _ in $(seq "$runs"); do
  wine "$exe" "$base" big.bin "$out" 2>/dev/null | tr -d '\r' | cut -d' ' -f2
  rm -f "$work/out/big.bin"
done | best)

small_peak=$(wine "$exe" "$base" small.bin "$out" 2>/dev/null | tr -d '\r' | cut -d' ' -f3)
big_peak=$(wine "$exe" "$base" big.bin "$out" 2>/dev/null | tr -d '\r' | cut -d' ' -f3)

awk -v n="$runs" -v c="$curl_seconds" -v o="$ours_seconds" -v s="$small_peak" -v b="$big_peak" 'BEGIN {
  mb = 256 * 1048576 / 1e6
  printf "256 MB over loopback, best of %d:\n", n
  printf "  curl -o                    %7.3f s  %7.0f MB/s\n", c, mb / c
  printf "  DownloadFile (WinINet)     %7.3f s  %7.0f MB/s\n", o, mb / o
  printf "  ratio                      %7.2f\n", c / o
  printf "Peak working set of wininet_download_bench under Wine:\n"
  printf "  1 MB file     %7.1f MB\n", s / 1024
  printf "  256 MB file   %7.1f MB\n", b / 1024
  printf "  difference    %7.1f MB\n", (b - s) / 1024
}'
