#!/bin/sh
# The whole-run tests' update server: nginx (nginx_fixture.sh) serving a sample release in both
# layouts from one root, so that unsigned and signed builds run against the same server:
#   <root>/jdatas3/KW.exe ...             the catalogue at the root, where unsigned builds
#                                         fetch it (their addresses never change);
#   <root>/releases/1/jdatas3/KW.exe ...  the same files in a release folder, and
#   <root>/kw_update.manifest             its manifest, signed with tools/sign_release with a
#                                         key pair made for the run, <state>/release.key and
#                                         <state>/release.pub.
# <state>/release_folder holds the release folder's server path (/releases/1); sign_release,
# make_sample_release and nginx_fixture the absolute paths of those tools, for tests that publish
# on servers of their own; nginx_fixture.sh writes <state>/port and <state>/root.
#
#   release_fixture.sh start <state-dir> <root-dir> <make_sample_release> <sign_release>
#   release_fixture.sh stop <state-dir>
#
# KW_NGINX_PORT asks for a port, as for nginx_fixture.sh.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

die() {
  echo "release_fixture: $*" >&2
  exit 1
}

case "${1:-}" in
  start)
    [ $# -eq 5 ] || die "usage: $0 start <state-dir> <root-dir> <make_sample_release> <sign_release>"
    state=$2 root=$3 make_sample_release=$4 sign_release=$5
    rm -rf "$root" "$state/release.key" "$state/release.pub"
    mkdir -p "$state"
    "$make_sample_release" "$root" --small >/dev/null
    "$make_sample_release" "$root/releases/1" --small >/dev/null
    "$sign_release" keygen "$state/release.key" "$state/release.pub" >/dev/null
    "$sign_release" sign --key "$state/release.key" "$root" /releases/1
    echo /releases/1 >"$state/release_folder"
    realpath "$sign_release" >"$state/sign_release"
    realpath "$make_sample_release" >"$state/make_sample_release"
    echo "$here/nginx_fixture.sh" >"$state/nginx_fixture"
    sh "$here/nginx_fixture.sh" start "$state" "$root"
    ;;
  stop)
    [ $# -eq 2 ] || die "usage: $0 stop <state-dir>"
    sh "$here/nginx_fixture.sh" stop "$2"
    ;;
  *)
    die "usage: $0 start <state-dir> <root-dir> <make_sample_release> <sign_release> | stop <state-dir>"
    ;;
esac
