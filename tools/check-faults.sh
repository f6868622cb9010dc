#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
#
# Puts the faults of tools/faults.txt into the code one at a time, rebuilds,
# runs the tests and puts the code back: a yardstick of what the test suite
# catches. For each fault one line:
#   ID caught-by TEST | ID MISSED | ID NOT-FOUND | ID NOCOMPILE
# and a summary. The tests of the fault's area run first, the rest only when
# those pass; the first failing test ends the run of that fault.
#
#   tools/check-faults.sh [-b BUILD] [-f LIST] [-t SECONDS] [-n] [ID...]
#
#   -b BUILD    configured build folder (default build)
#   -f LIST     fault list (default tools/faults.txt)
#   -t SECONDS  time limit of a test that sets none (default 300)
#   -n          only check that each fault is found once; build nothing
#   ID...       only these faults (default: all)
#
# It refuses to run when the source folders hold uncommitted changes, since
# it writes into them; a fault is taken out again also on Ctrl-C. At most
# two jobs build or test at a time. Logs: BUILD/fault-logs/ID.log.
set -u

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 2
build=build list=tools/faults.txt timeout=300 dry=0
while getopts "b:f:t:nh" opt; do
  case $opt in
    b) build=$OPTARG ;;
    f) list=$OPTARG ;;
    t) timeout=$OPTARG ;;
    n) dry=1 ;;
    *) sed -n '3,21s/^# \{0,1\}//p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
sources="kernel cli ui widgets plot tests"

if [ -n "$(git status --porcelain -- $sources)" ]; then
  echo "check-faults: uncommitted changes in $sources; commit or stash them first" >&2
  exit 2
fi
[ -f "$list" ] || { echo "check-faults: no fault list $list" >&2; exit 2; }

# The tests and build targets of an area, as ctest selections: those first,
# the complement after.
area_tests() {
  case $1 in
    kernel) first=(-L kernel) rest=(-LE kernel) targets="kernel_tests" ;;
    cli) re='^cli_|Distributed|BatchSolver|Simulat|Shard|Merge|EndToEnd|install'
         first=(-R "$re") rest=(-E "$re") targets="kernel_tests" ;;
    ui) first=(-R '^ui') rest=(-E '^ui') targets="ui_tests" ;;
    widgets) first=(-R '^widgets') rest=(-E '^widgets') targets="widget_tests pulvina-widgets-demo" ;;
    plot) first=(-R '^plot') rest=(-E '^plot') targets="plot_tests" ;;
    *) first=(-R '.') rest=(-R '^$') targets="all" ;;
  esac
}

file="" backup=$(mktemp) logs="$build/fault-logs"
restore() {
  if [ -n "$file" ]; then
    # A fresh time stamp, so that the next build compiles the file again.
    cat "$backup" > "$file"
    git diff --quiet -- "$file" || echo "check-faults: $file differs from git after restoring!" >&2
    file=""
  fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

# The one file under a folder that holds the text exactly once.
find_file() {
  local n
  n=$(grep -rhoF --include='*.cpp' --include='*.h' --include='*.c' -e "$2" -- "$1" 2>/dev/null | wc -l)
  [ "$n" -eq 1 ] || { echo "$n"; return 1; }
  grep -rlF --include='*.cpp' --include='*.h' --include='*.c' -e "$2" -- "$1"
}

build_targets() {
  local t ok=0
  if [ "$1" = all ]; then
    cmake --build "$build" -j2 >>"$log" 2>&1
    return
  fi
  for t in $1; do cmake --build "$build" -j2 --target "$t" >>"$log" 2>&1 || ok=1; done
  return $ok
}

# Runs a selection of tests; prints the first failing one, and for a test
# that runs a whole GoogleTest program the first case that failed in it
# (ui:Suite.Case).
run_tests() {
  local failed="$build/Testing/Temporary/LastTestsFailed.log" out name case
  out=$(mktemp)
  rm -f "$failed"
  if ctest --test-dir "$build" -j2 --stop-on-failure --output-on-failure --timeout "$timeout" \
       "$@" </dev/null >"$out" 2>&1; then
    cat "$out" >>"$log"; rm -f "$out"; return 1
  fi
  cat "$out" >>"$log"
  if [ -s "$failed" ]; then name=$(head -n 1 "$failed" | cut -d: -f2-); else name=ctest-error; fi
  case=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' "$out" | head -n 1)
  rm -f "$out"
  if [ -n "$case" ] && [ "$case" != "$name" ]; then echo "$name:$case"; else echo "$name"; fi
}

if [ "$dry" = 0 ]; then
  mkdir -p "$logs"
  cmake --build "$build" -j2 >"$logs/initial-build.log" 2>&1 ||
    { echo "check-faults: $build does not build as it is (see $logs/initial-build.log)" >&2; exit 2; }
fi

total=0 caught=0 missed=0 notfound=0 nocompile=0 started=$(date +%s)
# The list on its own descriptor: a test (mpiexec) may read standard input.
while IFS= read -r line <&3 || [ -n "$line" ]; do
  case $line in ''|'#'*) continue ;; esac
  id=${line%% | *} rest=${line#* | }
  dir=${rest%% | *} rest=${rest#* | }
  orig=${rest%% | *} rest=${rest#* | }
  repl=${rest%% | *}
  if [ $# -gt 0 ]; then
    wanted=0
    for w in "$@"; do [ "$w" = "$id" ] && wanted=1; done
    [ $wanted = 1 ] || continue
  fi
  total=$((total + 1))
  if ! target=$(find_file "$dir" "$orig"); then
    echo "$id NOT-FOUND"
    echo "check-faults: $id: the text occurs $target times under $dir/" >&2
    notfound=$((notfound + 1))
    continue
  fi
  if [ "$dry" = 1 ]; then echo "$id found in $target"; continue; fi

  log="$logs/$id.log" t0=$(date +%s)
  echo "== $id in $target: $orig  ->  $repl" >"$log"
  cp "$target" "$backup"
  file=$target
  ORIG=$orig REPL=$repl awk '
    BEGIN { o = ENVIRON["ORIG"]; r = ENVIRON["REPL"] }
    !done && (i = index($0, o)) { $0 = substr($0, 1, i - 1) r substr($0, i + length(o)); done = 1 }
    { print }' "$backup" >"$target"

  area_tests "${dir%%/*}"
  result=""
  if ! build_targets "$targets" && ! build_targets all; then
    result=NOCOMPILE
  else
    test=$(run_tests "${first[@]}")
    if [ -z "$test" ]; then
      if build_targets all; then test=$(run_tests "${rest[@]}"); else result=NOCOMPILE; fi
    fi
    [ -n "$result" ] || result=${test:+caught-by $test}
  fi
  restore
  case ${result:-MISSED} in
    NOCOMPILE) nocompile=$((nocompile + 1)) ;;
    caught-by*) caught=$((caught + 1)) ;;
    *) missed=$((missed + 1)) ;;
  esac
  echo "$id ${result:-MISSED}"
  echo "check-faults: $id took $(( $(date +%s) - t0 )) s" >&2
done 3<"$list"

if [ "$dry" = 1 ]; then
  echo "faults $total: found $((total - notfound)), not found $notfound"
  exit 0
fi
# Leaves the build as the sources are.
cmake --build "$build" -j2 >"$logs/final-build.log" 2>&1
echo "faults $total: caught $caught, missed $missed, not found $notfound, not compiling $nocompile ($(( $(date +%s) - started )) s)"
