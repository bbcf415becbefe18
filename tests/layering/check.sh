#!/usr/bin/env bash
# Checks every #include "..." of the files under ROOT/src (the repository's, by default) against
# the table ROOT/src/layers.txt, and names each file and line that breaks it:
#
#   tests/layering/check.sh [ROOT]
#
# An include names its folder by its path ("transfer/curl/curl_backend.h" is of transfer/curl);
# one without a folder is a header the build generates, named in the table as it is. The files
# of src/ itself belong to no layer and may include nothing.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"

mapfile -t files < <(find src -type f \( -name '*.h' -o -name '*.cc' -o -name '*.rc' -o -name '*.in' \) | sort)
awk '
  FNR == 1 && NR == FNR {
    in_table = 1
  }
  in_table && FILENAME != "src/layers.txt" { in_table = 0 }
  in_table {
    if ($0 !~ /^#/ && NF > 0) {
      listed[$1] = 1
      for (i = 2; i <= NF; ++i) allowed[$1, $i] = 1
    }
    next
  }
  FNR == 1 {
    folder = FILENAME
    sub(/^src\//, "", folder)
    # A file of src/ itself (the build configuration'"'"'s template) belongs to no layer.
    if (folder !~ /\//) folder = "."
    sub(/\/[^\/]*$/, "", folder)
    if (folder != "." && !(folder in listed)) {
      printf "%s: its folder %s is not in src/layers.txt\n", FILENAME, folder
      broken = 1
    }
  }
  /^[ \t]*#[ \t]*include[ \t]*"/ {
    header = $0
    sub(/^[^"]*"/, "", header)
    sub(/".*$/, "", header)
    target = header
    if (target ~ /\//) sub(/\/[^\/]*$/, "", target)
    if (target != folder && !allowed[folder, target]) {
      printf "%s:%d: %s may not include \"%s\" (of %s); see src/layers.txt\n", FILENAME, FNR, folder, header, target
      broken = 1
    }
  }
  END { exit broken }
' src/layers.txt "${files[@]}"
