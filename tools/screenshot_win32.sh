#!/usr/bin/env bash
# Takes the README's picture of the Windows program's window, under Wine on a virtual X server
# (Xvfb, 96 dpi), in a Wine prefix made the way the tests make theirs (unmanaged windows, and
# NanumGothic standing in for the Korean font 굴림).
#
#   tools/screenshot_win32.sh [--error-panel] [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR (default build/windows-x64) holds KW_Update.exe and the tests' template prefix
# (wine-template); OUT_DIR (default docs) receives window-win32.png: the window's client area as
# the program opens it, beside the Qt view's window.png. With --error-panel it presses 확인
# instead, while no server answers at the program's host, and then 오류, and writes
# window-win32-error-panel.png: the failed download's name in the error log. The windows-x64 build is made for the
# tests' server; the README's picture comes from one made for the bundled one:
#   cmake --preset windows-x64 -B build/windows-docs -DKW_UPDATE_HOST=127.0.0.1:8650
#   cmake --build build/windows-docs --target KW_Update && tools/screenshot_win32.sh build/windows-docs
# Needs Wine, xvfb-run, xdotool, xwd and ImageMagick (scripts/setup installs them).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
error_panel=
if [[ "${1:-}" == --error-panel ]]; then
  error_panel=1
  shift
fi
build=$(realpath "${1:-$root/build/windows-x64}")
out=$(realpath -m "${2:-$root/docs}")

if [[ -z "${KW_SCREENSHOT_INNER:-}" ]]; then
  [[ -f "$build/KW_Update.exe" ]] || {
    echo "screenshot_win32.sh: build KW_Update.exe first (cmake --build $build --target KW_Update)" >&2
    exit 1
  }
  mkdir -p "$out"
  exec env KW_SCREENSHOT_INNER=1 KW_SCREENSHOT_ERROR_PANEL="$error_panel" xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
    "$0" "$build" "$out"
fi

version=$(sed -n 's/^project(KW_Update VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
caption="$(sed -n 's/^ *"\(Orvanta[^"]*\)" KW_PRODUCT_VERSION;/\1/p' "$root/src/update/product.h")$version"
# shellcheck disable=SC2016 # the $ is the pattern's end, not an expansion
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
picture=$out/window-win32.png
if [[ -n "${KW_SCREENSHOT_ERROR_PANEL:-}" ]]; then
  # A control's centre, in the window's pixels, from its place in twips.
  click() { xdotool mousemove --window "$window" $((border + ($1 + $3 / 2) * 96 / 1440)) \
    $((top + ($2 + $4 / 2) * 96 / 1440)) click 1; }
  click 240 3540 885 645  # 확인: the download of KW.exe fails, and the log names it
  sleep 5
  click 4080 3690 525 405  # 오류
  sleep 1
  picture=$out/window-win32-error-panel.png
fi
xwd -silent -id "$window" | convert xwd:- -crop "${client_width}x${client_height}+${border}+${top}" \
  +repage "$picture"
echo "screenshot_win32.sh: wrote $picture ($(identify -format '%wx%h' "$picture"))"
