#!/usr/bin/env bash
# Takes the README's picture of the Windows program's window, under Wine on a virtual X server
# (Xvfb, 96 dpi), in a Wine prefix made the way the tests make theirs (unmanaged windows, and
# NanumGothic standing in for the Korean font 굴림).
#
#   tools/screenshot_win32.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR (default build/windows-x64) holds KW_Update.exe and the tests' template prefix
# (wine-template); OUT_DIR (default docs) receives window-win32.png: the window's client area as
# the program opens it, beside the Qt view's window.png. The windows-x64 build is made for the
# tests' server; the README's picture comes from one made for the bundled one:
#   cmake --preset windows-x64 -B build/windows-docs -DKW_UPDATE_HOST=127.0.0.1:8650
#   cmake --build build/windows-docs --target KW_Update && tools/screenshot_win32.sh build/windows-docs
# Needs Wine, xvfb-run, xdotool, xwd and ImageMagick (scripts/setup installs them).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/windows-x64}")
out=$(realpath -m "${2:-$root/docs}")

if [[ -z "${KW_SCREENSHOT_INNER:-}" ]]; then
  [[ -f "$build/KW_Update.exe" ]] || {
    echo "screenshot_win32.sh: build KW_Update.exe first (cmake --build $build --target KW_Update)" >&2
    exit 1
  }
  mkdir -p "$out"
  exec env KW_SCREENSHOT_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
    "$0" "$build" "$out"
fi

caption=$(sed -n 's/.*kWindowCaption = "\(.*\)";/\1/p' "$root/src/app/window_layout.h")
name_pattern="^$(printf '%s' "$caption" | sed 's/[][\\.*^$()+?{}|]/\\&/g')\$"

# The tests' runner makes the prefix and ends everything in it when the program is stopped.
"$root/cmake/wine-run.sh" "$build/wine-template" "$build/KW_Update.exe" &
runner=$!
trap 'kill "$runner" 2>/dev/null || true; wait "$runner" 2>/dev/null || true' EXIT

window=$(timeout 60 xdotool search --sync --onlyvisible --name "$name_pattern" | head -n 1)
sleep 2  # the first paint follows the mapping
eval "$(xdotool getwindowgeometry --shell "$window")"
# Wine draws the frame of an unmanaged window itself: the client area is the window less its
# borders (the same on the left, right and bottom) and the caption bar above.
client_width=$(( (5955 * 96 + 720) / 1440 ))
client_height=$(( (4410 * 96 + 720) / 1440 ))
border=$(( (WIDTH - client_width) / 2 ))
top=$(( HEIGHT - client_height - border ))
xwd -silent -id "$window" | convert xwd:- -crop "${client_width}x${client_height}+${border}+${top}" \
  +repage "$out/window-win32.png"
echo "screenshot_win32.sh: wrote $out/window-win32.png ($(identify -format '%wx%h' "$out/window-win32.png"))"
