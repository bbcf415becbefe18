#!/usr/bin/env bash
# The layering check fails on an upward include, naming its file and line, and passes the same
# tree without it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/src/platform" "$tree/src/transfer"
cp "$here/../src/layers.txt" "$tree/src/"
printf '#pragma once\n#include "platform/failure.h"\n' >"$tree/src/transfer/http_backend.h"
printf '#pragma once\n#include "platform/failure.h"\n' >"$tree/src/platform/clock.h"
"$here/../tools/check_layering" "$tree" || { echo "FAIL: a tree that keeps the table was refused"; exit 1; }

printf '#include "transfer/http_backend.h"\n' >>"$tree/src/platform/clock.h"
if output=$("$here/../tools/check_layering" "$tree"); then
  echo "FAIL: an upward include passed"
  exit 1
fi
expected='src/platform/clock.h:3: platform may not include "transfer/http_backend.h"'
[[ $output == *"$expected"* ]] || { echo "FAIL: the report does not name the line: $output"; exit 1; }
echo "PASS: $output"
