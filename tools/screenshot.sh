#!/usr/bin/env bash
# Takes the README's pictures of the update window on a virtual X server (Xvfb, 96 dpi).
#
#   tools/screenshot.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR (default build/default) holds kw_update and kw_view_preview; OUT_DIR (default docs)
# receives window.png (the window as kw_update opens it), window-running.png (in the middle of
# a download), window-error-panel.png (after a failed download, the error panel open) and
# window-not-installed.png (a run whose installation could not replace KW.exe, the error panel
# open, once its message box, window-not-installed-message.png, has been answered). The last
# three come from kw_view_preview, which shows the same view in a given state; the first
# comes from kw_update when it has been built, otherwise from kw_view_preview as well. Each
# picture is the window's client area: Xvfb runs no window manager, so there is no title bar.
#
# Needs xvfb-run, xdotool, xwd and ImageMagick (scripts/setup installs them). kw_update runs with a throwaway
# HOME, WINEPREFIX and XDG_RUNTIME_DIR, so nothing of the user's is read or written.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/default}")
out=$(realpath -m "${2:-$root/docs}")

if [[ -z "${KW_SCREENSHOT_INNER:-}" ]]; then
  for tool in xvfb-run xdotool xwd convert identify; do
    command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is not installed" >&2; exit 1; }
  done
  [[ -x "$build/kw_view_preview" ]] || {
    echo "screenshot.sh: build kw_view_preview first (cmake --build $build --target kw_view_preview)" >&2
    exit 1
  }
  mkdir -p "$out"
  exec env KW_SCREENSHOT_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
    "$0" "$build" "$out"
fi

version=$(sed -n 's/^project(KW_Update VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
caption="$(sed -n 's/^ *"\(Orvanta[^"]*\)" KW_PRODUCT_VERSION;/\1/p' "$root/src/update/product.h")$version"
app_title=$(sed -n 's/.*kAppTitle = "\(.*\)";/\1/p' "$root/src/update/product.h")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home WINEPREFIX=$scratch/wine XDG_RUNTIME_DIR=$scratch/run
mkdir -p "$HOME" "$WINEPREFIX/drive_c" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb
unset SESSION_MANAGER

# The window is found by its caption, matched whole and literally.
# shellcheck disable=SC2016 # the $ is the pattern's end, not an expansion
name_pattern="^$(printf '%s' "$caption" | sed 's/[][\\.*^$()+?{}|]/\\&/g')\$"

# shoot PNG PROGRAM [ARGS...]: starts the program, waits for its window to be mapped and
# painted (and $settle more seconds), writes the window's picture, and ends the program. With
# $answer set, first writes the picture of the message box that is open by then, as PNG with
# "-message" before ".png", and answers it.
settle=0
answer=
shoot() {
  local png=$1
  shift
  "$@" &
  local pid=$!
  local window
  if ! window=$(timeout 20 xdotool search --sync --onlyvisible --name "$name_pattern" | head -n 1) ||
    [[ -z "$window" ]]; then
    echo "screenshot.sh: no window from $*" >&2
    kill "$pid" 2>/dev/null || true
    return 1
  fi
  # The first paint follows the mapping by a few event-loop passes.
  sleep $((1 + settle))
  if [[ -n "$answer" ]]; then
    local box
    box=$(xdotool search --onlyvisible --name "^$app_title\$" | head -n 1)
    xwd -silent -id "$box" | convert xwd:- "${png%.png}-message.png"
    xdotool windowfocus --sync "$box" key Return
    sleep 1
  fi
  xwd -silent -id "$window" | convert xwd:- "$png"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  echo "screenshot.sh: wrote $png ($(identify -format '%wx%h' "$png")) from ${1##*/}"
}

if [[ -x "$build/kw_update" ]]; then
  shoot "$out/window.png" "$build/kw_update"
else
  shoot "$out/window.png" "$build/kw_view_preview" idle
fi
shoot "$out/window-running.png" "$build/kw_view_preview" running
shoot "$out/window-error-panel.png" "$build/kw_view_preview" failed --error-panel
# Its run takes two one-second pauses before the message box.
settle=4 answer=1 shoot "$out/window-not-installed.png" "$build/kw_view_preview" not-installed \
  --error-panel
