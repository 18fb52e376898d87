#!/usr/bin/env bash
# check_version_resource.sh <windres> <dll> <version> <product> [<description>]
#
# The DLL carries a version resource whose file and product versions are
# <version> (x.y.z, also as the numeric FILEVERSION and PRODUCTVERSION
# x,y,z,0), whose product name is <product>, whose original file name is the
# DLL's own file name and whose file description is <description> (when
# given; otherwise it must merely be there). The resource is read back from
# the DLL with windres, on the build machine.
set -euo pipefail

if [ $# -lt 4 ] || [ $# -gt 5 ]; then
  echo "usage: $0 <windres> <dll> <version> <product> [<description>]" >&2
  exit 2
fi
windres=$1 dll=$2 version=$3 product=$4 description=${5-}
name=$(basename "$dll")
status=0
fail() {
  echo "FAIL: $name: $*" >&2
  status=1
}

[ -f "$dll" ] || { echo "FAIL: $dll: no such file" >&2; exit 1; }
if ! rc=$("$windres" -i "$dll" -O rc 2>&1); then
  echo "FAIL: $name: windres cannot read its resources: $rc" >&2
  exit 1
fi
grep -q 'VERSIONINFO' <<<"$rc" || { echo "FAIL: $name: no version resource" >&2; exit 1; }

# VALUE "Key", "text" with quotes inside text doubled, as in the script.
value() {
  awk -v key="$1" '
    index($0, "VALUE \"" key "\", \"") {
      s = $0; sub(/^[^,]*, "/, "", s); sub(/"[ \t\r]*$/, "", s); gsub(/""/, "\"", s); print s; exit
    }' <<<"$rc"
}
numbers() {
  awk -v key="$1" '$1 == key { $1 = ""; gsub(/[ \t]/, ""); print; exit }' <<<"$rc"
}

expected_numbers="${version//./,},0"
[ "$(numbers FILEVERSION)" = "$expected_numbers" ] \
  || fail "FILEVERSION is '$(numbers FILEVERSION)', expected $expected_numbers"
[ "$(numbers PRODUCTVERSION)" = "$expected_numbers" ] \
  || fail "PRODUCTVERSION is '$(numbers PRODUCTVERSION)', expected $expected_numbers"
[ "$(value FileVersion)" = "$version" ] || fail "FileVersion is '$(value FileVersion)', expected '$version'"
[ "$(value ProductVersion)" = "$version" ] \
  || fail "ProductVersion is '$(value ProductVersion)', expected '$version'"
[ "$(value ProductName)" = "$product" ] || fail "ProductName is '$(value ProductName)', expected '$product'"
[ "$(value OriginalFilename)" = "$name" ] \
  || fail "OriginalFilename is '$(value OriginalFilename)', expected '$name'"
if [ -n "$description" ]; then
  [ "$(value FileDescription)" = "$description" ] \
    || fail "FileDescription is '$(value FileDescription)', expected '$description'"
else
  [ -n "$(value FileDescription)" ] || fail "no FileDescription"
fi

[ $status -ne 0 ] || echo "ok: $name: version $version, \"$(value FileDescription)\", $product"
exit $status
