#!/usr/bin/env bash
# bootstrap_test.sh <bootstrap script> <case>
#
# Runs the bootstrap script against a stand-in package system: dpkg-query,
# dpkg, apt-get, dpkg-source and id on the PATH answer from, and write to, a
# state folder (installed packages, foreign architectures, the user id) and
# log every call that would change the machine. Prints "ok: <case>" or the
# failed expectations, and exits 1 on any.
set -uo pipefail
script=$1 case=$2

t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
mkdir -p "$t/bin" "$t/state" "$t/apt/sources.list.d" "$t/src"
state=$t/state
: >"$state/installed" # name arch version source-name source-version
: >"$state/foreign"
: >"$state/calls"
echo 0 >"$state/uid"
printf 'Types: deb\nURIs: http://archive.invalid/debian\nSuites: stable\nComponents: main\n' \
  >"$t/apt/sources.list.d/debian.sources"

cat >"$t/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# dpkg-query -W -f=FORMAT NAME[:ARCH]...: one line per installed match.
fmt="" names=()
for a in "$@"; do
  case $a in -W) ;; -f=*) fmt=${a#-f=} ;; *) names+=("$a") ;; esac
done
status=0
for n in "${names[@]}"; do
  name=${n%%:*} arch=""; [ "$name" = "$n" ] || arch=${n#*:}
  found=0
  while read -r pname parch pver sname sver; do
    [ "$pname" = "$name" ] || continue
    [ -z "$arch" ] || [ "$arch" = "$parch" ] || continue
    found=1
    line=${fmt//'${Status}'/install ok installed}
    line=${line//'${Architecture}'/$parch}
    line=${line//'${Version}'/$pver}
    line=${line//'${source:Package}'/$sname}
    line=${line//'${source:Version}'/$sver}
    printf '%b' "$line"
  done <"$SE_STANDIN_STATE/installed"
  [ $found -eq 1 ] || { echo "dpkg-query: no packages found matching $n" >&2; status=1; }
done
exit $status
EOF

cat >"$t/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$SE_STANDIN_STATE/foreign" ;;
  --add-architecture) echo "dpkg $*" >>"$SE_STANDIN_STATE/calls"; echo "$2" >>"$SE_STANDIN_STATE/foreign" ;;
  *) echo "stand-in dpkg: unexpected $*" >&2; exit 2 ;;
esac
EOF

cat >"$t/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
# Installs by adding to the state; fetches a source package by writing its
# .dsc into the current folder, unless the state says there is none.
echo "apt-get $*" >>"$SE_STANDIN_STATE/calls"
args=() action="" parts=""
while [ $# -gt 0 ]; do
  case $1 in
    -o) shift; case $1 in Dir::Etc::SourceParts=*) parts=${1#*=} ;; esac ;;
    -*) ;;
    update|install|source) [ -n "$action" ] || action=$1 ;;
    *) args+=("$1") ;;
  esac
  shift
done
case $action in
  update) ;;
  install)
    for p in "${args[@]}"; do
      name=${p%%:*} arch=amd64; [ "$name" = "$p" ] || arch=${p#*:}
      echo "$name $arch 1.0-1 $name 1.0-1" >>"$SE_STANDIN_STATE/installed"
    done ;;
  source)
    if [ -e "$SE_STANDIN_STATE/no_source" ]; then
      echo "E: Can not find version '${args[0]#*=}' of package '${args[0]%%=*}'" >&2
      exit 100
    fi
    cat "$parts"/*.sources >"$SE_STANDIN_STATE/source_parts" 2>/dev/null
    touch "${args[0]%%=*}_${args[0]#*=}.dsc" ;;
  *) echo "stand-in apt-get: unexpected call" >&2; exit 2 ;;
esac
EOF

cat >"$t/bin/dpkg-source" <<'EOF'
#!/usr/bin/env bash
# dpkg-source -x FILE.dsc DIR: a source tree, and the upstream tarball
# beside it as the real one leaves it.
echo "dpkg-source $*" >>"$SE_STANDIN_STATE/calls"
[ "$1" = -x ] && [ -f "$2" ] || exit 2
mkdir -p "$3" && echo 'project(benchmark)' >"$3/CMakeLists.txt" && touch "$(dirname "$3")/upstream.orig.tar.gz"
EOF

cat >"$t/bin/id" <<'EOF'
#!/usr/bin/env bash
cat "$SE_STANDIN_STATE/uid"
EOF
chmod +x "$t/bin"/*

export SE_STANDIN_STATE=$state SE_APT_ETC=$t/apt SE_BENCHMARK_SOURCE_DIR=$t/src/benchmark
export PATH="$t/bin:$PATH"

# Every package any step names installed at version 1.0-1 but the ones
# given: the script itself installs them (as root, on the stand-ins), so
# the test does not restate its lists.
install_everything_but() {
  local p
  : >"$state/installed"
  bash "$script" native asan linux32 win32 fuzz release sdk live report bench-win32 >/dev/null 2>&1
  for p in "$@"; do
    local name=${p%%:*} arch=amd64
    [ "$name" = "$p" ] || arch=${p#*:}
    grep -v "^$name $arch " "$state/installed" >"$state/kept"
    mv "$state/kept" "$state/installed"
  done
  : >"$state/calls" >"$state/foreign"
  rm -rf "$t/src" && mkdir "$t/src"
}
installed_line() { echo "$*" >>"$state/installed"; }

out="" err="" rc=0
run() {
  out=$(bash "$script" "$@" 2>"$t/stderr") && rc=0 || rc=$?
  err=$(cat "$t/stderr")
}

failures=0
expect() { # expect <description> <test command...>
  local what=$1; shift
  if ! "$@"; then
    echo "FAIL: $case: $what"
    failures=$((failures + 1))
  fi
}
not() { ! "$@"; }
has() { grep -q -- "$2" <<<"$1"; }
called() { grep -q -- "$1" "$state/calls"; }
no_calls() { [ ! -s "$state/calls" ]; }
show() { printf 'exit %s\nstdout: %s\nstderr: %s\ncalls:\n%s\n' "$rc" "$out" "$err" "$(cat "$state/calls")"; }

case $case in
  nothing_installed_check)
    run --check native linux32
    expect "exit 1 when packages are missing" [ "$rc" -eq 1 ]
    expect "names the native and the i386 benchmark library" has "$out" ' libbenchmark-dev .*libbenchmark-dev:i386\| libbenchmark-dev:i386 .*libbenchmark-dev '
    expect "names no package of a step not asked for" not has "$out" 'chromium\|mingw\| jackd2\( \|$\)'
    expect "changes nothing" no_calls ;;
  nothing_installed_as_root)
    run native linux32
    expect "exit 0 once installed" [ "$rc" -eq 0 ]
    expect "adds the i386 architecture" called '^dpkg --add-architecture i386$'
    expect "installs both benchmark libraries" called '^apt-get .*install .* libbenchmark-dev .*libbenchmark-dev:i386'
    expect "fetches no sources for a step that does not need them" not called 'source\|dpkg-source'
    run --check native linux32
    expect "nothing missing afterwards" [ "$rc" -eq 0 ] ;;
  nothing_installed_as_user)
    echo 1000 >"$state/uid"
    run native linux32
    expect "exit 1" [ "$rc" -eq 1 ]
    expect "prints the command to run as root" has "$err" 'as root run:'
    expect "the command adds the i386 architecture first" has "$err" '^  dpkg --add-architecture i386 && apt-get update && apt-get install -y .*libbenchmark-dev:i386'
    expect "changes nothing" no_calls ;;
  other_architecture_only)
    install_everything_but libbenchmark-dev
    run --check native
    expect "the native library counts as missing beside the i386 one" has "$out" '^bootstrap: would install libbenchmark-dev$'
    expect "exit 1" [ "$rc" -eq 1 ] ;;
  both_architectures)
    install_everything_but libbenchmark-dev libbenchmark-dev:i386
    installed_line libbenchmark-dev amd64 1.7.1-1 benchmark 1.7.1-1
    installed_line libbenchmark-dev i386 1.7.1-1 benchmark 1.7.1-1
    run --check native linux32
    expect "both architectures count as installed" [ "$rc" -eq 0 ]
    run bench-win32
    expect "exit 0" [ "$rc" -eq 0 ]
    expect "asks for the one version installed" called '^apt-get .* source .*benchmark=1.7.1-1$'
    expect "unpacks the sources into place" [ -f "$t/src/benchmark/CMakeLists.txt" ]
    expect "leaves nothing else beside them" [ "$(ls -A "$t/src")" = benchmark ]
    expect "fetches from the system's archive as a deb-src source" \
      grep -qz 'Types: deb-src.*URIs: http://archive.invalid/debian' "$state/source_parts" ;;
  binary_rebuild)
    install_everything_but libbenchmark-dev libbenchmark-dev:i386
    installed_line libbenchmark-dev amd64 1.7.1-1+b1 benchmark 1.7.1-1
    installed_line libbenchmark-dev i386 1.7.1-2 benchmark 1.7.1-2
    run bench-win32
    expect "asks for the source version of the build machine's own library" called '^apt-get .* source .*benchmark=1.7.1-1$'
    expect "exit 0" [ "$rc" -eq 0 ] ;;
  source_unavailable)
    install_everything_but
    touch "$state/no_source"
    run bench-win32
    expect "exit 1" [ "$rc" -eq 1 ]
    expect "says what to run" has "$err" 'scripts/bootstrap bench-win32'
    expect "leaves no sources and no partial folder" [ -z "$(ls -A "$t/src")" ] ;;
  quick_start_without_sources)
    install_everything_but chromium fonts-dejavu-core
    run native
    expect "exit 0 without the benchmark sources or Chromium" [ "$rc" -eq 0 ]
    expect "fetches and installs nothing" no_calls ;;
  everything_in_place)
    install_everything_but
    mkdir -p "$t/src/benchmark" && touch "$t/src/benchmark/CMakeLists.txt"
    run --check native asan linux32 win32 fuzz release sdk live report bench-win32
    expect "exit 0" [ "$rc" -eq 0 ]
    expect "says nothing is missing" has "$out" 'nothing missing'
    run
    expect "a run without steps installs nothing" no_calls
    expect "exit 0" [ "$rc" -eq 0 ] ;;
  unknown_step)
    run native nativ
    expect "exit 2" [ "$rc" -eq 2 ]
    expect "names the known steps" has "$err" "unknown step 'nativ'.*native"
    expect "changes nothing" no_calls ;;
  *) echo "bootstrap_test.sh: no case '$case'" >&2; exit 2 ;;
esac

if [ $failures -gt 0 ]; then
  show
  exit 1
fi
echo "ok: $case"
