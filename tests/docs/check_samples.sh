#!/usr/bin/env bash
# check_samples.sh <guide.md> <examples folder>
#
# Every fenced code sample of the guide (```cpp and ```cmake blocks) must be
# an exact excerpt of one file under the examples folder (*.cpp, *.h,
# CMakeLists.txt), which CI builds and validates: so every sample in the
# guide compiles as shown. A guide with no samples fails too.
set -euo pipefail

if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -d "$2" ]; then
  echo "usage: $0 <guide.md> <examples folder>" >&2
  exit 2
fi
guide=$1 examples=$2
mapfile -t sources < <(find "$examples" -type f \( -name '*.cpp' -o -name '*.h' -o -name CMakeLists.txt \) | sort)
[ ${#sources[@]} -gt 0 ] || { echo "FAIL: no example sources in $examples" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One file per sample: block N of the guide, with the line it starts on.
awk -v dir="$work" '
  /^```(cpp|cmake)[ \t]*$/ { n++; on = 1; file = sprintf("%s/%03d_%d", dir, n, NR + 1); printf "" > file; next }
  /^```/ && on { on = 0; close(file); next }
  on { print > file }
' "$guide"

status=0 count=0
for sample in "$work"/*; do
  [ -e "$sample" ] || break
  count=$((count + 1))
  line=${sample##*_}
  if [ ! -s "$sample" ]; then
    echo "FAIL: $guide:$line: an empty sample" >&2
    status=1
    continue
  fi
  found=""
  for src in "${sources[@]}"; do
    # Reads the whole source and the whole sample as one record each.
    if awk -v RS='\001' 'NR == FNR { want = $0; next } index($0, want) { hit = 1 } END { exit !hit }' \
         "$sample" "$src"; then
      found=$src
      break
    fi
  done
  if [ -z "$found" ]; then
    echo "FAIL: $guide:$line: the sample is not an excerpt of any file in $examples" >&2
    head -3 "$sample" | sed 's/^/  | /' >&2
    status=1
  fi
done
if [ $count -eq 0 ]; then
  echo "FAIL: $guide has no code samples" >&2
  exit 1
fi
[ $status -ne 0 ] || echo "ok: all $count samples of $(basename "$guide") are excerpts of the examples"
exit $status
