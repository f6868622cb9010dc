#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Installs the build into a scratch prefix and checks that the installed
# programs carry no build-tree path and find their data without --data, from an unrelated folder, also
# after the whole prefix was moved; that a missing data file is reported with
# the folders searched; and that the man pages carry every option of --help.
# Usage: check_install.sh CMAKE BUILD_DIR
set -u
cmake=$1
build=$(cd "$2" && pwd) || exit 2
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT INT TERM
unset PULVINA_DATA

fail() { echo "check_install: $*" >&2; exit 1; }
# run LOG MESSAGE COMMAND...: the command must succeed, else its log is shown.
run() {
  log=$1 message=$2
  shift 2
  "$@" > "$tmp/$log" 2>&1 || { cat "$tmp/$log" >&2; fail "$message"; }
}
installed() { for f in "$@"; do [ -f "$tmp/prefix/$f" ] || fail "$f is not installed"; done; }

run install.log "cmake --install failed" "$cmake" --install "$build" --prefix "$tmp/prefix"
installed bin/pulvina-solve bin/pulvina-simulate bin/pulvina-extract share/pulvina/sgt.xml share/pulvina/asft.dat \
  share/pulvina/nslt.dat share/doc/pulvina/manual.md share/doc/pulvina/copyright \
  share/doc/pulvina/examples/zno_wurtzite/zno.epc
# The desktop program, when it was built: its window description beside the
# data files, the manual where its help command looks, a desktop entry.
[ -f "$build/ui/pulvina" ] && installed bin/pulvina share/pulvina/main_window.glade \
  share/pulvina/pulvina.png share/doc/pulvina/manual/index.html \
  share/doc/pulvina/manual/images/solving.png share/applications/pulvina.desktop \
  share/icons/hicolor/scalable/apps/pulvina.svg

# What is installed carries no path of the build machine: not the source
# tree, not the build tree.
source=$(sed -n 's/^Pulvina_SOURCE_DIR:STATIC=//p' "$build/CMakeCache.txt")
for program in "$tmp"/prefix/bin/*; do
  if strings "$program" | grep -q -e "$source" -e "$build"; then
    fail "$(basename "$program") names the build machine's $source or $build"
  fi
done

# A full run of a bundled example, from a folder that holds nothing.
mkdir "$tmp/elsewhere"
cd "$tmp/elsewhere" || exit 2
example="$tmp/prefix/share/doc/pulvina/examples/zno_wurtzite"
run solve.log "the installed pulvina-solve failed" \
  "$tmp/prefix/bin/pulvina-solve" -q --seed 1 -o out "$example/zno.epc"
[ -s out/summary.tsv ] || fail "the installed pulvina-solve wrote no summary.tsv"
run simulate.log "the installed pulvina-simulate failed" \
  "$tmp/prefix/bin/pulvina-simulate" -o zno.hkl --profile zno.xye "$example/zno.epc" \
  "$example/solution.txt"
cp "$example/zno.epc" zno.epc
run extract.log "the installed pulvina-extract failed" \
  "$tmp/prefix/bin/pulvina-extract" -q -o extracted.hkl zno.epc zno.xye
[ -s extracted.hkl ] || fail "the installed pulvina-extract wrote no peak file"

# The installation moved as a whole still finds its data.
mv "$tmp/prefix" "$tmp/moved"
batio3="$tmp/moved/share/doc/pulvina/examples/batio3/batio3.epc"
run moved.log "pulvina-solve fails once its installation is moved" \
  "$tmp/moved/bin/pulvina-solve" --stop-after setup "$batio3"

# The moved desktop program finds its window description and stays up (it
# ends only when killed); a missing builder file would end it at once.
if [ -f "$tmp/moved/bin/pulvina" ] && command -v xvfb-run > /dev/null; then
  XDG_CONFIG_HOME="$tmp/config" timeout 8 xvfb-run -a -s '-screen 0 1280x1024x24' \
      "$tmp/moved/bin/pulvina" "$tmp/moved/share/doc/pulvina/examples/zno_wurtzite/zno.epc" \
      > gui.log 2>&1
  status=$?
  [ "$status" = 124 ] || { cat gui.log >&2; fail "the installed pulvina ended with status $status"; }
  if grep -q "ERROR" gui.log; then cat gui.log >&2; fail "the installed pulvina reported an error"; fi
fi

# Missing data: the error names the folders searched, and an installed copy
# never falls back to the source tree it was built from.
mkdir "$tmp/empty"
if env PULVINA_DATA="$tmp/empty" "$tmp/moved/bin/pulvina-solve" --stop-after setup "$batio3" \
    > missing.log 2>&1; then
  fail "pulvina-solve succeeded without data files"
fi
grep -q "data folders searched: $tmp/empty\$" missing.log ||
  { cat missing.log >&2; fail "the error does not name the folder of PULVINA_DATA"; }
rm -r "$tmp/moved/share/pulvina"
if "$tmp/moved/bin/pulvina-solve" --stop-after setup "$batio3" > missing.log 2>&1; then
  fail "the installed pulvina-solve found data files that are not installed"
fi
grep -q "data folders searched: $tmp/moved/share/pulvina\$" missing.log ||
  { cat missing.log >&2; fail "the error does not name the installed data folder"; }

if grep -q '^PULVINA_MAN:BOOL=ON' "$build/CMakeCache.txt"; then
  programs="pulvina-solve pulvina-simulate pulvina-extract"
  [ -f "$tmp/moved/bin/pulvina" ] && programs="$programs pulvina"
  for program in $programs; do
    page="$tmp/moved/share/man/man1/$program.1"
    [ -f "$page" ] || fail "share/man/man1/$program.1 is not installed"
    LC_ALL=C MANWIDTH=100 man -P cat -l "$page" > page.txt 2> /dev/null ||
      fail "man cannot show $program.1"
    for option in $("$tmp/moved/bin/$program" --help | grep -o -- '--[a-z-]*' | sort -u); do
      grep -q -- "$option" page.txt || fail "$program.1 lacks $option of --help"
    done
  done
fi
echo "check_install: installed, moved and run from $tmp"
