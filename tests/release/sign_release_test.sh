#!/usr/bin/env bash
# tools/sign_release at its edges: what a publish writes (defaults, sequence, links followed,
# several keys, each signature by its own key), and a table of folders and arguments it must
# refuse, each leaving the published manifest as it was and no temporary file behind, in the
# server's root or in TMPDIR. As root the tool runs as nobody: root reads files whatever their
# mode, so an unreadable file could not be made.
#
#   tests/release/sign_release_test.sh
set -euo pipefail
source_root=$(cd "$(dirname "$0")/../.." && pwd)
sign_release=$source_root/tools/sign_release
scratch=$(mktemp -d)
trap 'chmod -R u+rwX "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT
chmod 755 "$scratch"

passed=0 failed=0
check() { # check DESCRIPTION COMMAND...: one assertion
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $case_name: $what" >&2
  fi
}

keys=$scratch/keys
mkdir -p "$keys"
for name in one two; do "$sign_release" keygen "$keys/$name.key" "$keys/$name.pub" >/dev/null; done

# A fresh case folder: root/ served at "/", root/releases/1 a release with a file in a folder, a
# name with a blank and Hangul, a linked file and a linked folder; tmp/ the tool's TMPDIR.
new_case() {
  case_name=$1
  case_dir=$scratch/case-$((passed + failed))-$RANDOM
  release=$case_dir/root/releases/1
  mkdir -p "$release/jdatas3" "$release/tavkorea/data" "$case_dir/tmp" "$case_dir/outside"
  printf 'KW of release 1\r\n' >"$release/jdatas3/KW.exe"
  printf 'KZ' >"$release/jdatas3/KZ.exe"
  printf 'table\r\n' >"$release/tavkorea/data/지역 01.Tx\$"
  printf 'linked content\n' >"$case_dir/outside/target.ocx"
  ln -s "$case_dir/outside/target.ocx" "$release/tavkorea/Linked.ocx"
  mkdir -p "$case_dir/outside/font"
  printf 'font' >"$case_dir/outside/font/gulim.ttc"
  ln -s "$case_dir/outside/font" "$release/tavkorea/font"
  cp "$keys"/* "$case_dir/"
}

# Runs the tool in the case folder (as nobody when root), its messages in $case_dir/said.
tool() {
  local status=0
  if (($(id -u) == 0)); then
    chown -R 65534:65534 "$case_dir"
    (cd "$case_dir" && setpriv --reuid=65534 --regid=65534 --clear-groups \
      env TMPDIR="$case_dir/tmp" PATH="$PATH" "$sign_release" "$@") >"$case_dir/said" 2>&1 ||
      status=$?
  else
    (cd "$case_dir" && TMPDIR=$case_dir/tmp "$sign_release" "$@") >"$case_dir/said" 2>&1 ||
      status=$?
  fi
  return "$status"
}

manifest() { echo "$case_dir/root/kw_update.manifest"; }
header() { sed -n "/^$1 /{s/^$1 //p;q}" "$(manifest)"; }
no_leftovers() {
  [[ -z $(find "$case_dir/tmp" -mindepth 1 -print -quit) ]] &&
    [[ -z $(find "$case_dir/root" -maxdepth 1 -name '.kw_update.manifest.*' -print -quit) ]]
}
# Signature N (1-based) of the manifest verifies with PUBLIC over the bytes before the first
# signature line.
signature_verifies() {
  local n=$1 public=$2 file first
  file=$(manifest)
  first=$(grep -n -m 1 '^signature ' "$file" | cut -d: -f1)
  head -n $((first - 1)) "$file" >"$case_dir/signed-text"
  sed -n 's/^signature //p' "$file" | sed -n "${n}p" | base64 -d >"$case_dir/signature.der"
  openssl dgst -sha256 -verify "$public" -signature "$case_dir/signature.der" \
    "$case_dir/signed-text" >/dev/null 2>&1
}
# The file lines the release folder should give, from sha256sum and stat, links followed.
expected_lines() {
  (cd "$release" && find -L . -type f -printf '%P\0' | LC_ALL=C sort -z |
    while IFS= read -r -d '' path; do
      printf '%s %s /%s\n' "$(sha256sum <"$path" | cut -c1-64)" "$(stat -L -c %s "$path")" "$path"
    done)
}
file_lines() { sed -n '6,${/^signature /q;p}' "$(manifest)"; }
fails() { ! "$@"; }
said() { grep -qF -- "$1" "$case_dir/said"; }
about() { # about SECONDS EXPECTED: the manifest's expiry is EXPECTED seconds from now, give or take
  local expires
  expires=$(date -u -d "$(header expires | tr T ' ' | tr -d Z)" +%s)
  (($1 - 120 <= expires - $(date -u +%s) && expires - $(date -u +%s) <= $1 + 5))
}

# --- A first publish: the defaults, the layout, links followed, the file as written ---
new_case "a first publish"
check "it succeeds" tool sign --key one.key root /releases/1
check "the format line comes first" [ "$(head -n 1 "$(manifest)")" = "KW_Update manifest 2" ]
check "the header is in order" [ "$(sed -n '2,5s/ .*//p' "$(manifest)" | tr '\n' ' ')" = \
  "sequence version expires release " ]
check "the first sequence is 1" [ "$(header sequence)" = 1 ]
check "the version is the folder's name" [ "$(header version)" = 1 ]
check "the release folder is named" [ "$(header release)" = /releases/1 ]
check "expires in 180 days" about $((180 * 86400))
check "the expiry is UTC, to the second" grep -Eq '^expires [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$' "$(manifest)"
check "every file in byte order, links followed" [ "$(file_lines)" = "$(expected_lines)" ]
check "the linked file is listed with its target's content" grep -q \
  "^$(sha256sum <"$case_dir/outside/target.ocx" | cut -c1-64) 15 /tavkorea/Linked.ocx$" "$(manifest)"
check "the linked folder's files are listed" grep -q ' /tavkorea/font/gulim.ttc$' "$(manifest)"
check "one signature line, last" [ "$(grep -c '^signature ' "$(manifest)")" = 1 ]
check "the signature verifies with the key's public half" signature_verifies 1 "$keys/one.pub"
check "it does not verify with another key" fails signature_verifies 1 "$keys/two.pub"
check "the server can read the manifest (0644)" [ "$(stat -c %a "$(manifest)")" = 644 ]
check "no CR anywhere" fails grep -q $'\r' "$(manifest)"
check "no temporary file is left" no_leftovers

# --- The sequence grows: by default from the published one; --version, --expires ---
new_case "the sequence"
tool sign --key one.key root /releases/1
cp -a "$release" "$case_dir/root/releases/2.51"
check "a second publish succeeds" tool sign --key one.key --version "2.51 (beta)" root releases/2.51/
check "the sequence is the published one plus one" [ "$(header sequence)" = 2 ]
check "--version is the version" [ "$(header version)" = "2.51 (beta)" ]
check "a trailing slash is dropped from the folder" [ "$(header release)" = /releases/2.51 ]
check "--sequence sets a greater one" tool sign --key one.key --sequence 10 --expires 1 root /releases/2.51
check "to it" [ "$(header sequence)" = 10 ]
check "--expires sets the days" about 86400
check "re-signing the same folder succeeds" tool sign --key one.key root /releases/2.51
check "with the next sequence" [ "$(header sequence)" = 11 ]
check "no temporary file is left" no_leftovers

# --- Two keys: one signature line each, each by its own key ---
new_case "two keys"
check "it succeeds" tool sign --key one.key --key two.key root /releases/1
check "two signature lines" [ "$(grep -c '^signature ' "$(manifest)")" = 2 ]
check "the first is the first key's" signature_verifies 1 "$keys/one.pub"
check "the second is the second key's" signature_verifies 2 "$keys/two.pub"
check "and not the other way round" fails signature_verifies 1 "$keys/two.pub"

# --- A root published by the first format: its signature file goes, the sequence starts at 1 ---
new_case "after the first format"
printf '%064d 3 /jdatas3/KW.exe\n' 0 >"$case_dir/root/kw_update.manifest"
printf 'old' >"$case_dir/root/kw_update.manifest.sig"
check "it succeeds" tool sign --key one.key root /releases/1
check "the sequence starts at 1" [ "$(header sequence)" = 1 ]
check "the old signature file is gone" [ ! -e "$case_dir/root/kw_update.manifest.sig" ]

# --- Refused: nothing is published and nothing is left behind ---
# Each row: what | how the case folder is spoiled (bash) | the arguments | what the tool says.
openssl_stand_in=$scratch/bin/openssl
mkdir -p "$scratch/bin"
# shellcheck disable=SC2016 # the stand-in's own variables
{
  echo '#!/bin/sh'
  echo 'for a; do [ "$a" = -verify ] && exit 1; done'
  echo "exec $(command -v openssl) \"\$@\""
} >"$openssl_stand_in"
chmod 755 "$scratch/bin" "$openssl_stand_in"
name_with_line_break() { : >"$release/a"$'\n'"b"; }
name_not_utf8() { : >"$release/"$'\xff'; }
refusals=(
  "an unreadable file|chmod 000 \"\$release/jdatas3/KZ.exe\"|--key one.key root /releases/1|cannot read root/releases/1/jdatas3/KZ.exe"
  "an unreadable folder|chmod 000 \"\$release/tavkorea/data\"|--key one.key root /releases/1|cannot read the whole release folder"
  "a link that leads nowhere|ln -s nowhere \"\$release/jdatas3/gone.exe\"|--key one.key root /releases/1|neither files nor folders"
  "a line break in a name|name_with_line_break|--key one.key root /releases/1|holds a line break"
  "a name that is not UTF-8|name_not_utf8|--key one.key root /releases/1|is not UTF-8"
  "an empty release folder|rm -rf \"\$release\"/* && mkdir \"\$release/empty\"|--key one.key root /releases/1|holds no files"
  "the published sequence again|tool sign --key one.key --sequence 5 root /releases/1|--key one.key --sequence 5 root /releases/1|sequence 5 is not greater than the published manifest's, 5"
  "a lower sequence|tool sign --key one.key --sequence 5 root /releases/1|--key one.key --sequence 4 root /releases/1|(the next is 6)"
  "a sequence with a leading zero||--key one.key --sequence 07 root /releases/1|without leading zeros"
  "a sequence too large||--key one.key --sequence 9223372036854775808 root /releases/1|from 1 to 9223372036854775807"
  "after the largest sequence|tool sign --key one.key --sequence 9223372036854775807 root /releases/1|--key one.key root /releases/1|the largest there is"
  "no days to expiry||--key one.key --expires 0 root /releases/1|from 1 to 3650"
  "a release path with ..||--key one.key root /releases/../1|no . or .. part"
  "a release path with //||--key one.key root /releases//1|between single slashes"
  "the root as the release||--key one.key root /|a folder under ROOT"
  "a release folder not uploaded||--key one.key root /releases/2|no release folder"
  "no key||root /releases/1|at least one --key"
  "a public key to sign with||--key one.pub root /releases/1|is not an ECDSA P-256 private key"
  "the same key twice|cp \"\$case_dir/one.key\" \"\$case_dir/again.key\"|--key one.key --key again.key root /releases/1|are the same key"
  "a published file that is no manifest|echo hello >\"\$case_dir/root/kw_update.manifest\"|--key one.key root /releases/1|is not a manifest"
  "a signature that does not verify|export PATH=\"$scratch/bin:\$PATH\"|--key one.key root /releases/1|does not verify; nothing was published"
)
for row in "${refusals[@]}"; do
  IFS='|' read -r what spoil arguments message <<<"$row"
  new_case "refused: $what"
  (
    eval "$spoil"
    cp -a "$case_dir/root/kw_update.manifest" "$case_dir/published" 2>/dev/null || : >"$case_dir/none"
    read -r -a argv <<<"$arguments"
    tool sign "${argv[@]}"
  ) && status=0 || status=$?
  check "refused (status $status)" [ "$status" -eq 1 ]
  check "says \"$message\" (said: $(tr '\n' ' ' <"$case_dir/said"))" said "$message"
  if [[ -e $case_dir/none ]]; then
    check "publishes nothing" [ ! -e "$(manifest)" ]
  else
    check "leaves the published manifest as it was" cmp -s "$case_dir/published" "$(manifest)"
  fi
  check "leaves no temporary file" no_leftovers
done

echo "sign_release: $passed passed, $failed failed"
((failed == 0))
