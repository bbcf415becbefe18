#!/usr/bin/env bash
# Makes what a signed release check needs, for tests only, in OUT_DIR:
#   release.key, release.pub  a release signing key pair (tools/sign_release keygen)
#   ca.pem                    a code-signing authority of two days
#   codesign.pfx              an RSA code-signing certificate of that authority and its key
#                             (PKCS#12, no password)
# so that scripts/test can run
#   scripts/release --signing-key OUT_DIR/release.pub --host https://127.0.0.1:PORT \
#     --authenticode OUT_DIR/codesign.pfx --authenticode-ca OUT_DIR/ca.pem --check
#
#   tests/release/make_test_credentials.sh OUT_DIR
set -euo pipefail
(($# == 1)) || { echo "usage: $0 OUT_DIR" >&2; exit 2; }
source_root=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
rm -rf "$out"
mkdir -p "$out"
"$source_root/tools/sign_release" keygen "$out/release.key" "$out/release.pub" >/dev/null
cd "$out"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout ca.key -out ca.pem \
  -subj "/CN=KW_Update test code-signing authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  >codesign.ext
openssl req -newkey rsa:2048 -nodes -keyout codesign.key -out codesign.csr \
  -subj "/CN=Orvanta test publisher" 2>/dev/null
openssl x509 -req -in codesign.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile codesign.ext -out codesign.pem 2>/dev/null
openssl pkcs12 -export -inkey codesign.key -in codesign.pem -passout pass: -out codesign.pfx
rm -f ca.key ca.srl codesign.csr codesign.ext codesign.key codesign.pem
echo "make_test_credentials: release.key, release.pub, ca.pem and codesign.pfx in $out"
