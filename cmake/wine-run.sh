#!/bin/sh
# Runs one cross-built Windows program under Wine and exits with its exit status. CMake uses it
# as the cross-compiling emulator, so every ctest entry (and every gtest_discover_tests listing)
# goes through here.
#
#   wine-run.sh TEMPLATE PROGRAM.exe [ARGUMENT...]
#
# Each run gets a Wine prefix of its own: a copy of TEMPLATE, which is made once (wineboot takes
# seconds; a copy takes a tenth of one) and made again when the installed Wine changes. Windows'
# own files in the copy are hard links into the template, since nothing writes to them; the
# registry, the users' folders and the rest of drive C: are real copies. Without a display the
# run gets a virtual one of its own (Xvfb), so windows and consoles can open. When the program
# ends, every process still running in the prefix is ended and the copy is removed, so runs can
# go in parallel and leave nothing behind.
#
# WINEDEBUG defaults to -all; set it to see Wine's messages.
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 TEMPLATE PROGRAM [ARGUMENT...]" >&2
  exit 2
fi
# Wine takes only absolute prefixes.
template=$(realpath -m "$1")
shift

export WINEDEBUG="${WINEDEBUG:--all}"
# No offers to download Mono or Gecko: nothing here needs .NET or an HTML engine.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=;mshtml=}"
unset WINEARCH

# The template is made again when Wine or the settings below change, and when Wine's 32-bit half
# (Debian's wine32, whose loader is the one below) comes or goes: a prefix made without it has no
# 32-bit Windows folder, and one made with it needs its 32-bit loader.
wine_halves=64
[ -x /usr/lib/wine/wine ] && wine_halves=32+64
wine_version="$(wine --version 2>/dev/null) $wine_halves settings-2"

# What the template's registry says besides Wine's defaults:
# - windows are unmanaged: there is no window manager on a virtual display, and Wine would wait
#   for one (two seconds at each window's end);
# - the window's Korean font "굴림" (Gulim) is stood in for by NanumGothic (fonts-nanum), so that
#   its texts are legible in screenshots.
registry_settings() {
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
    '"굴림"="NanumGothic"' '"Gulim"="NanumGothic"' ''
}

make_template() {
  rm -rf "$template"
  WINEPREFIX="$template" wineboot --init >/dev/null 2>&1
  registry_settings | iconv -f UTF-8 -t UTF-16 >"$template.reg"
  WINEPREFIX="$template" wine regedit /S "$template.reg" >/dev/null 2>&1
  rm -f "$template.reg"
  WINEPREFIX="$template" wineserver --wait
  echo "$wine_version" >"$template/.kw-wine-version"
}

mkdir -p "$(dirname "$template")"
if [ "$(cat "$template/.kw-wine-version" 2>/dev/null)" != "$wine_version" ]; then
  # ctest may start many runs at once: one makes the template, the others wait for it.
  (
    flock 9
    if [ "$(cat "$template/.kw-wine-version" 2>/dev/null)" != "$wine_version" ]; then
      make_template
    fi
  ) 9>"$template.lock"
fi

run=$(mktemp -d "${TMPDIR:-/tmp}/kw-wine-XXXXXX")
xvfb_pid=
# shellcheck disable=SC2317 # called by the trap below
cleanup() {
  # Wine's own processes hold the display: they go first.
  WINEPREFIX="$run/prefix" wineserver --kill 2>/dev/null || true
  WINEPREFIX="$run/prefix" wineserver --wait 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

prefix=$run/prefix
mkdir -p "$prefix/drive_c"
for entry in "$template"/* "$template"/.[!.]*; do
  [ -e "$entry" ] || [ -L "$entry" ] || continue
  [ "$entry" = "$template/drive_c" ] || cp -a "$entry" "$prefix/"
done
for entry in "$template"/drive_c/*; do
  if [ "$entry" = "$template/drive_c/windows" ]; then
    cp -a --link "$entry" "$prefix/drive_c/"
  else
    cp -a "$entry" "$prefix/drive_c/"
  fi
done
export WINEPREFIX="$prefix"

if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null 2>&1; then
  # Xvfb picks a free display itself (-displayfd) and writes its number once it accepts
  # connections, so parallel runs never race for one.
  Xvfb -displayfd 9 -nolisten tcp -screen 0 1280x1024x24 9>"$run/display" 2>/dev/null &
  xvfb_pid=$!
  tries=0
  while ! grep -q '^[0-9][0-9]*$' "$run/display" 2>/dev/null; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
      echo "$0: Xvfb did not start" >&2
      exit 1
    fi
    sleep 0.05
  done
  DISPLAY=":$(cat "$run/display")"
  export DISPLAY
fi

# The program runs in the background so that a signal ends the run at once: a shell waiting for
# a foreground program would hold the signal until the program ended by itself. It keeps this
# script's standard input.
status=0
exec 3<&0
wine "$@" <&3 3<&- &
wait $! || status=$?
exit "$status"
