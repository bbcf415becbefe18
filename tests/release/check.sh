#!/usr/bin/env bash
# Checks the release packages as a distribution would (scripts/release --check runs it):
#
#   tests/release/check.sh OUT_DIR HOST MAKE_SAMPLE_RELEASE
#
# OUT_DIR holds what scripts/release wrote, built for the update server HOST, which must be a
# loopback address with a port (127.0.0.1:PORT), since the check serves it; MAKE_SAMPLE_RELEASE
# is the tool that writes the files it serves.
#   - lintian finds no error or warning in the .deb;
#   - unpacked with dpkg -x, its desktop entry and metainfo validate, and the installed
#     kw_update opens its window on a virtual display, updates the two programs from nginx
#     serving a sample release, starts the batch file, and ends when 종료 is pressed;
#   - the zip holds exactly its three files, and its KW_Update.exe is a 32-bit GUI program that
#     imports only Windows' own DLLs.
# Every failure names what was found. Exits non-zero if any check fails.
# pass and fail only print, so "check && pass || fail" is an if-then-else here.
# shellcheck disable=SC2015
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

if [[ -z ${KW_RELEASE_CHECK_INNER:-} ]]; then
  (($# == 3)) || { echo "usage: $0 OUT_DIR HOST MAKE_SAMPLE_RELEASE" >&2; exit 2; }
  [[ $2 =~ ^127\.0\.0\.1:[0-9]+$ ]] || {
    echo "check: the packages are built for $2; the check serves only a loopback host" >&2
    echo "check: (127.0.0.1:PORT): build with scripts/release --check and no --host" >&2
    exit 1
  }
  for tool in lintian dpkg-deb desktop-file-validate appstreamcli unzip i686-w64-mingw32-objdump \
    xvfb-run xdotool; do
    command -v "$tool" >/dev/null || { echo "check: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
  done
  # A private network, where the sample server's port is free whatever else runs here (the
  # demo serves the same port), when this user may make one; the machine's loopback otherwise.
  export KW_RELEASE_CHECK_INNER=1
  if unshare --net true 2>/dev/null; then
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec unshare --net sh -c 'ip link set lo up && exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"' \
      "$0" "$@"
  fi
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

out=$(realpath "$1")
port=${2#*:}
make_sample_release=$3
failures=0
fail() {
  echo "check: FAILED: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "check: ok: $*"; }

deb=$(find "$out" -maxdepth 1 -name 'kw-update_*_amd64.deb' | head -n 1)
zip=$(find "$out" -maxdepth 1 -name 'KW_Update-*-win32.zip' | head -n 1)
[[ -f $deb && -f $zip ]] || { echo "check: no .deb or zip in $out (run scripts/release)" >&2; exit 1; }
scratch=$(mktemp -d)
cleanup() {
  sh "$root/tests/support/nginx_fixture.sh" stop "$scratch/server" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

(cd "$out" && sha256sum --quiet -c SHA256SUMS) && pass "SHA256SUMS" || fail "SHA256SUMS does not match the packages"

# lintian: errors and warnings fail; its overrides are in the package, each with its reason.
if lintian --fail-on error,warning --tag-display-limit 0 "$deb"; then
  pass "lintian $(basename "$deb")"
else
  fail "lintian reports errors or warnings (above)"
fi
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* && $depends == *libqt6widgets6* ]] && pass "Depends: $depends" ||
  fail "Depends does not come from dpkg-shlibdeps: '$depends'"

# The package unpacked into a scratch root, as it would be installed.
tree=$scratch/root
dpkg -x "$deb" "$tree"
desktop-file-validate "$tree"/usr/share/applications/*.desktop && pass "desktop-file-validate" ||
  fail "desktop-file-validate (above)"
appstreamcli validate --no-net --explain "$tree"/usr/share/metainfo/*.xml && pass "appstreamcli validate" ||
  fail "appstreamcli validate (above)"

# The installed program against nginx serving a sample release, in a Wine prefix, runtime
# folder and home of its own. Wine is a stand-in that notes the batch file it is asked to start.
"$make_sample_release" "$scratch/release" --small >/dev/null
KW_NGINX_PORT=$port sh "$root/tests/support/nginx_fixture.sh" start "$scratch/server" "$scratch/release"
export HOME=$scratch/home WINEPREFIX=$scratch/wine XDG_RUNTIME_DIR=$scratch/run
export WINE=$scratch/wine-stand-in QT_QPA_PLATFORM=xcb
mkdir -p "$HOME" "$WINEPREFIX/drive_c/TavKorea" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$scratch/release/tavkorea/KW_Update.Ba\$" "$WINEPREFIX/drive_c/TavKorea/KW_Update.Bat"
printf '#!/bin/sh\necho "$*" > "%s/batch-started"\n' "$scratch" >"$WINE"
chmod +x "$WINE"

"$tree/usr/bin/kw_update" 2>"$scratch/stderr" &
program=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Orvanta' 2>/dev/null | head -n 1) || true
if [[ -z $window ]]; then
  fail "the installed kw_update showed no window: $(cat "$scratch/stderr")"
  kill "$program" 2>/dev/null || true
else
  pass "the installed kw_update shows its window: $(xdotool getwindowname "$window")"
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # A control's centre, from its place on the window in twips (the window is 5955 twips wide).
  click() { xdotool mousemove --window "$window" $(($1 * WIDTH / 5955)) $(($2 * WIDTH / 5955)) click 1; }
  sleep 1
  click 682 3862 # 확인, with the two programs preselected
  for _ in $(seq 60); do
    [[ -f $scratch/batch-started ]] && break
    sleep 0.5
  done
  drive=$WINEPREFIX/drive_c/TavKorea
  if cmp -s "$drive/KW.exe" "$scratch/release/jdatas3/KW.exe" &&
    cmp -s "$drive/KZ.exe" "$scratch/release/jdatas3/KZ.exe"; then
    pass "a run installed KW.exe and KZ.exe from the test server"
  else
    fail "a run did not install KW.exe and KZ.exe from the test server into $drive"
  fi
  grep -qF 'KW_Update.Bat' "$scratch/batch-started" 2>/dev/null && pass "the batch file started under Wine" ||
    fail "the batch file was not started"
  sleep 1
  click 5272 3862 # 종료
  for _ in $(seq 20); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.25
  done
  if kill -0 "$program" 2>/dev/null; then
    fail "kw_update did not end when 종료 was pressed"
    kill "$program"
  fi
fi
wait "$program" 2>/dev/null || true

# The zip: exactly its three files, and the program a PE32 GUI program importing Windows only.
listed=$(unzip -Z1 "$zip" | tr '\n' ' ')
[[ $listed == "KW_Update.exe README.txt LICENSES.txt " ]] && pass "the zip holds $listed" ||
  fail "the zip holds $listed, not KW_Update.exe README.txt LICENSES.txt"
unzip -q "$zip" KW_Update.exe -d "$scratch/zip"
headers=$(i686-w64-mingw32-objdump -p "$scratch/zip/KW_Update.exe")
grep -q 'file format pei-i386' <<<"$headers" && grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" &&
  pass "KW_Update.exe is a PE32 Windows GUI program" || fail "KW_Update.exe is not a PE32 Windows GUI program"
# Windows' own DLLs: anything else (libstdc++-6.dll, libwinpthread-1.dll...) would have to ship.
windows_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|ole32|oleaut32|oleacc|wininet|msvcrt|advapi32|bcrypt|shell32|shlwapi|uxtheme|version|ws2_32)\.dll$'
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
foreign=$(tr '[:upper:]' '[:lower:]' <<<"$imports" | grep -Ev "$windows_dlls" || true)
[[ -n $imports && -z $foreign ]] && pass "KW_Update.exe imports only ${imports//$'\n'/ }" ||
  fail "KW_Update.exe imports DLLs that are not Windows' own: ${foreign//$'\n'/ }"

if ((failures)); then
  echo "check: $failures check(s) failed" >&2
  exit 1
fi
echo "check: the release packages pass every check"
