#!/usr/bin/env bash
# check_exports.sh <elf|pe> <tool> <plug-in file>
#
# A plug-in exports exactly getModuleProperties and makeModule, with plain
# names. A Windows DLL also imports nothing but KERNEL32.dll and msvcrt.dll
# (its C and C++ runtimes are linked in statically).
#   elf: <tool> is nm; the defined dynamic symbols are read with nm -D.
#   pe:  <tool> is objdump; export and import tables come from objdump -p.
set -euo pipefail

kind=$1 tool=$2 file=$3
expected_exports=$'getModuleProperties\nmakeModule'
expected_imports=$'kernel32.dll\nmsvcrt.dll'
status=0

fail() {
  echo "FAIL: $file: $*" >&2
  status=1
}

[ -f "$file" ] || { echo "FAIL: $file: no such file" >&2; exit 1; }

case $kind in
  elf)
    dump=$("$tool" -D --defined-only "$file")
    exports=$(awk 'NF >= 3 { print $3 }' <<<"$dump" | sort -u)
    ;;
  pe)
    dump=$("$tool" -p "$file")
    grep -q 'file format pei-i386' < <("$tool" -f "$file") \
      || fail "not a 32-bit Windows DLL"
    # Export names follow the "[Ordinal/Name Pointer] Table" heading as
    # lines of the form "[   0] name", up to the next blank line.
    exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                   on && /^[[:space:]]*$/ { on = 0 }
                   on && /\[ *[0-9]+\]/ { sub(/.*\] /, ""); print }' <<<"$dump" | sort -u)
    imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$dump" | sort -u)
    if [ "$imports" != "$expected_imports" ]; then
      extra=$(comm -23 <(echo "$imports") <(echo "$expected_imports") | tr '\n' ' ')
      fail "imports must be exactly KERNEL32.dll and msvcrt.dll; found: $(echo "$imports" | tr '\n' ' ')${extra:+(unexpected: $extra)}"
    fi
    ;;
  *)
    echo "usage: $0 <elf|pe> <tool> <file>" >&2
    exit 2
    ;;
esac

if [ "$exports" != "$expected_exports" ]; then
  fail "exports must be exactly getModuleProperties and makeModule; found: $(echo "$exports" | tr '\n' ' ')"
fi

if [ $status -eq 0 ]; then
  echo "ok: $(basename "$file") exports: $(echo "$exports" | tr '\n' ' ')${imports:+imports: $(echo "$imports" | tr '\n' ' ')}"
fi
exit $status
