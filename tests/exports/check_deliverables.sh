#!/usr/bin/env bash
# check_deliverables.sh <deliverables.txt> <plug-in folder> <suffix>
#
# The plug-in folder holds exactly the plug-ins the list names: a plug-in
# there that is not marked DELIVERABLE would ship without being swept by the
# validator or fuzzed, and a listed one missing was never built.
set -euo pipefail

list=$1 dir=$2 suffix=$3
[ -f "$list" ] || { echo "FAIL: $list: no such file" >&2; exit 1; }
[ -d "$dir" ] || { echo "FAIL: $dir: no such folder" >&2; exit 1; }

listed=$(cut -f1 "$list" | sort)
present=$(find "$dir" -maxdepth 1 -type f -name "*$suffix" -printf '%f\n' | sed "s/${suffix//./\\.}\$//" | sort)
status=0
while read -r name; do
  [ -n "$name" ] || continue
  echo "FAIL: $dir/$name$suffix is not a deliverable (se_add_plugin ... DELIVERABLE)" >&2
  status=1
done < <(comm -13 <(echo "$listed") <(echo "$present"))
while read -r name; do
  [ -n "$name" ] || continue
  echo "FAIL: deliverable $name has no $dir/$name$suffix" >&2
  status=1
done < <(comm -23 <(echo "$listed") <(echo "$present"))
[ "$status" -ne 0 ] || echo "OK: $(echo "$listed" | wc -l) deliverables, nothing else in $dir"
exit $status
