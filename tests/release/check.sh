#!/usr/bin/env bash
# Checks the release packages as a distribution would (scripts/release --check runs it):
#
#   tests/release/check.sh OUT_DIR HOST MAKE_SAMPLE_RELEASE [--sign PRIVATE]... [--authenticode CA]
#
# OUT_DIR holds what scripts/release wrote, built for the update server HOST, which must be a
# loopback address with a port, 127.0.0.1:PORT or https://127.0.0.1:PORT, since the check serves
# it; MAKE_SAMPLE_RELEASE is the tool that writes the files it serves. --sign says that the
# programs were built signed, with the public half of PRIVATE among their keys; --authenticode
# that the zip's KW_Update.exe is signed with a certificate of the authority CA (PEM).
#   - lintian finds no error or warning in the .deb;
#   - unpacked with dpkg -x, its desktop entry and metainfo validate, and the installed
#     kw_update opens its window on a virtual display, updates the two programs from nginx
#     serving a sample release, starts the batch file, and ends when 종료 is pressed. An
#     unsigned build gets the files at the server's root; a signed one a release folder and
#     its manifest, signed with every PRIVATE (tools/sign_release), and nothing at the root; it
#     then refuses a newer manifest signed by a key it does not hold, and installs nothing of
#     it. With https the server's certificate is of a test authority, which the program trusts
#     through the system's CA bundle, replaced in a private mount namespace;
#   - the zip holds exactly its three files; its README.txt names the server's address as
#     built and, for a signed build, the manifest; its KW_Update.exe is a 32-bit GUI program
#     that imports only Windows' own DLLs, Authenticode-signed by a certificate of CA with
#     --authenticode, and not signed at all without.
# Every failure names what was found. Exits non-zero if any check fails.
# pass and fail only print, so "check && pass || fail" is an if-then-else here.
# shellcheck disable=SC2015
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

usage() {
  echo "usage: $0 OUT_DIR HOST MAKE_SAMPLE_RELEASE [--sign PRIVATE]... [--authenticode CA]" >&2
  exit 2
}
(($# >= 3)) || usage
arguments=("$@")
out=$1 host=$2 make_sample_release=$3
shift 3
signing_keys=()
authenticode_ca=
while (($#)); do
  case $1 in
    --sign) (($# >= 2)) || usage; signing_keys+=("$(realpath "$2")"); shift 2 ;;
    --authenticode) (($# >= 2)) || usage; authenticode_ca=$(realpath "$2"); shift 2 ;;
    *) usage ;;
  esac
done
scheme=http
[[ $host != https://* ]] || scheme=https
port=${host##*:}

if [[ -z ${KW_RELEASE_CHECK_INNER:-} ]]; then
  [[ $host =~ ^(https://)?127\.0\.0\.1:[0-9]+$ ]] || {
    echo "check: the packages are built for $host; the check serves only a loopback host" >&2
    echo "check: (127.0.0.1:PORT or https://127.0.0.1:PORT): build with scripts/release --check" >&2
    exit 1
  }
  for tool in lintian dpkg-deb desktop-file-validate appstreamcli unzip i686-w64-mingw32-objdump \
    xvfb-run xdotool osslsigncode; do
    command -v "$tool" >/dev/null || { echo "check: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
  done
  # A private network, where the sample server's port is free whatever else runs here (the
  # demo serves the same port), when this user may make one; the machine's loopback otherwise.
  # With it a private mount namespace, where the test authority joins the system's CA bundle
  # for the program alone; https needs it.
  export KW_RELEASE_CHECK_INNER=1
  if unshare --net --mount true 2>/dev/null; then
    export KW_RELEASE_CHECK_PRIVATE_MOUNTS=1
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec unshare --net --mount sh -c 'ip link set lo up && exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"' \
      "$0" "${arguments[@]}"
  fi
  if [[ $scheme == https ]]; then
    echo "check: an https build is checked in a private network and mount namespace, which this" >&2
    echo "check: user cannot make (unshare --net --mount); run the check as root" >&2
    exit 1
  fi
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "${arguments[@]}"
fi

out=$(realpath "$out")
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
version=$(dpkg-deb -f "$deb" Version)
version=${version%-*}
server_root=$scratch/served
kind="release, at its root"
if ((${#signing_keys[@]})); then
  kind="signed release folder"
  # A release folder and its manifest, and nothing at the root: a build that does not read the
  # manifest finds no file.
  release=$server_root/releases/$version
  "$make_sample_release" "$release" --small >/dev/null
  sign_arguments=()
  for key in "${signing_keys[@]}"; do sign_arguments+=(--key "$key"); done
  "$root/tools/sign_release" sign "${sign_arguments[@]}" "$server_root" "/releases/$version" >/dev/null
else
  release=$server_root
  "$make_sample_release" "$release" --small >/dev/null
fi
if [[ $scheme == https ]]; then
  KW_NGINX_TLS_PORT=$port sh "$root/tests/support/nginx_fixture.sh" start-tls "$scratch/server" "$server_root"
  # The program trusts the system's CA bundle alone: here, in this mount namespace only, the
  # bundle holds the test authority too.
  [[ -n ${KW_RELEASE_CHECK_PRIVATE_MOUNTS:-} ]] || { echo "check: https needs a private mount namespace" >&2; exit 1; }
  bundle=/etc/ssl/certs/ca-certificates.crt
  cat "$bundle" "$scratch/server/tls/ca.pem" >"$scratch/ca-bundle.crt"
  mount --bind "$scratch/ca-bundle.crt" "$bundle"
else
  KW_NGINX_PORT=$port sh "$root/tests/support/nginx_fixture.sh" start "$scratch/server" "$server_root"
fi
export HOME=$scratch/home WINEPREFIX=$scratch/wine XDG_RUNTIME_DIR=$scratch/run
export WINE=$scratch/wine-stand-in QT_QPA_PLATFORM=xcb
mkdir -p "$HOME" "$WINEPREFIX/drive_c/TavKorea" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$release/tavkorea/KW_Update.Ba\$" "$WINEPREFIX/drive_c/TavKorea/KW_Update.Bat"
printf '#!/bin/sh\necho "$*" > "%s/batch-started"\n' "$scratch" >"$WINE"
chmod +x "$WINE"
requests() { grep -c "\"GET $1" "$scratch/server/access.log" || true; }

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
  # Presses Return on a message box of the program, if one is open.
  dismiss_message() {
    local box
    for box in $(xdotool search --onlyvisible --pid "$program" 2>/dev/null); do
      [[ $box == "$window" ]] || xdotool key --window "$box" Return
    done
  }
  sleep 1
  click 682 3862 # 확인, with the two programs preselected
  for _ in $(seq 60); do
    [[ -f $scratch/batch-started ]] && break
    sleep 0.5
  done
  drive=$WINEPREFIX/drive_c/TavKorea
  if cmp -s "$drive/KW.exe" "$release/jdatas3/KW.exe" &&
    cmp -s "$drive/KZ.exe" "$release/jdatas3/KZ.exe"; then
    pass "a run installed KW.exe and KZ.exe from the $scheme test server's $kind"
  else
    fail "a run did not install KW.exe and KZ.exe from the $scheme test server into $drive"
    sed 's/^/  /' "$scratch/server/access.log" >&2
  fi
  grep -qF 'KW_Update.Bat' "$scratch/batch-started" 2>/dev/null && pass "the batch file started under Wine" ||
    fail "the batch file was not started"
  if ((${#signing_keys[@]})); then
    (($(requests /kw_update.manifest) == 1)) && pass "the signed build fetched /kw_update.manifest" ||
      fail "the signed build fetched /kw_update.manifest $(requests /kw_update.manifest) times, not once"
    # A newer release signed by a key the program does not hold: refused, nothing of it installed.
    stranger=$server_root/releases/stranger
    cp -a "$release" "$stranger"
    printf 'not from the vendor' >>"$stranger/jdatas3/KW.exe"
    "$root/tools/sign_release" keygen "$scratch/stranger.key" "$scratch/stranger.pub" >/dev/null
    "$root/tools/sign_release" sign --key "$scratch/stranger.key" "$server_root" /releases/stranger >/dev/null
    rm -f "$scratch/batch-started"
    sleep 1
    dismiss_message
    click 682 3862 # 확인 again
    for _ in $(seq 40); do
      (($(requests /kw_update.manifest) >= 2)) && break
      sleep 0.25
    done
    sleep 3
    if (($(requests /kw_update.manifest) >= 2)) && (($(requests /releases/stranger/) == 0)) &&
      cmp -s "$drive/KW.exe" "$release/jdatas3/KW.exe" && [[ ! -e $scratch/batch-started ]]; then
      pass "a manifest signed by another key is refused: nothing fetched, installed or started"
    else
      fail "a manifest signed by another key was not refused (manifest fetched" \
        "$(requests /kw_update.manifest) times, $(requests /releases/stranger/) files of it)"
    fi
    dismiss_message
  else
    (($(requests /kw_update.manifest) == 0)) && pass "the unsigned build asked for no manifest" ||
      fail "the unsigned build asked for /kw_update.manifest"
  fi
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
unzip -q "$zip" KW_Update.exe README.txt -d "$scratch/zip"
# The README as built: the address with its scheme, and the manifest when signed.
! grep -qv $'\r$' "$scratch/zip/README.txt" && pass "README.txt ends every line in CRLF" ||
  fail "README.txt has lines that do not end in CRLF: $(grep -cv $'\r$' "$scratch/zip/README.txt")"
readme=$(tr -d '\r' <"$scratch/zip/README.txt")
address=$host
[[ $scheme == https ]] || address=http://$host
grep -qF "fetches from $address (" <<<"$readme" && ! grep -q 'http://https://' <<<"$readme" &&
  pass "README.txt names the server as built: $address" ||
  fail "README.txt does not name the server as built ($address): $(grep -F 'fetches from' <<<"$readme")"
if ((${#signing_keys[@]})); then
  grep -qF '/kw_update.manifest' <<<"$readme" && grep -qF '<folder>/jdatas3/KW.exe' <<<"$readme" &&
    pass "README.txt gives the signed manifest and the release folder" ||
    fail "README.txt of a signed build does not give the manifest and the release folder"
else
  ! grep -qF 'manifest' <<<"$readme" && grep -qF '/jdatas3/KW.exe' <<<"$readme" &&
    pass "README.txt gives the files at the server's root, no manifest" ||
    fail "README.txt of an unsigned build does not give the files at the root, or names a manifest"
fi
headers=$(i686-w64-mingw32-objdump -p "$scratch/zip/KW_Update.exe")
grep -q 'file format pei-i386' <<<"$headers" && grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" &&
  pass "KW_Update.exe is a PE32 Windows GUI program" || fail "KW_Update.exe is not a PE32 Windows GUI program"
# Windows' own DLLs: anything else (libstdc++-6.dll, libwinpthread-1.dll...) would have to ship.
windows_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|ole32|oleaut32|oleacc|wininet|msvcrt|advapi32|bcrypt|shell32|shlwapi|uxtheme|version|ws2_32)\.dll$'
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
foreign=$(tr '[:upper:]' '[:lower:]' <<<"$imports" | grep -Ev "$windows_dlls" || true)
[[ -n $imports && -z $foreign ]] && pass "KW_Update.exe imports only ${imports//$'\n'/ }" ||
  fail "KW_Update.exe imports DLLs that are not Windows' own: ${foreign//$'\n'/ }"

# Authenticode: signed by a certificate of the authority given, or not signed at all.
if [[ -n $authenticode_ca ]]; then
  osslsigncode verify -CAfile "$authenticode_ca" -in "$scratch/zip/KW_Update.exe" >"$scratch/verify" 2>&1 &&
    pass "KW_Update.exe is Authenticode-signed: $(grep -m 1 'Subject:' "$scratch/verify" | sed 's/^\s*//')" ||
    fail "KW_Update.exe's Authenticode signature does not verify against $authenticode_ca: $(tail -n 3 "$scratch/verify")"
else
  ! osslsigncode extract-signature -in "$scratch/zip/KW_Update.exe" -out "$scratch/signature" >/dev/null 2>&1 &&
    pass "KW_Update.exe carries no Authenticode signature (none was asked for)" ||
    fail "KW_Update.exe carries an Authenticode signature, though none was asked for"
fi

if ((failures)); then
  echo "check: $failures check(s) failed" >&2
  exit 1
fi
echo "check: the release packages pass every check"
