#!/bin/sh
# Runs the host binary under valgrind's memcheck: what only a whole program shows (a leak, an
# invalid read or write anywhere in a run), over a file's copy, a tree's copy and one refused
# run. The outcomes of every case are the end-to-end suites' to check; fails on any memory
# error or leak, or on a wrong outcome.
# Usage: tests/memcheck.sh <path to vantro>
set -u

vantro=$1
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind is not installed; memcheck skipped"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/vantro-memcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
head -c 40000 /dev/urandom > Source.bin
mkdir -p Tree/Sub
head -c 70000 /dev/urandom > Tree/Sub/b.bin
cp Source.bin Tree/a.bin
failures=0

# check <expected exit> <expected text> <arguments...>
check() {
  expected_exit=$1
  expected_text=$2
  shift 2
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all --log-file=valgrind.log "$vantro" "$@" \
    </dev/null >output.txt 2>&1
  actual=$?
  if [ "$actual" -ne "$expected_exit" ] || ! grep -q -- "$expected_text" output.txt; then
    echo "FAIL: vantro $*: exit $actual (expected $expected_exit)"
    cat output.txt valgrind.log
    failures=$((failures + 1))
  else
    echo "ok: vantro $*: exit $actual, no memory error or leak"
  fi
}

check 0 "src=" Source.bin Copy.bin
cmp Source.bin Copy.bin || failures=$((failures + 1))
check 0 "Copied 2 files in 2 folders" Tree Copy /E
diff -r Tree Copy || failures=$((failures + 1))
check 1 "Error openning" source.bin Other.bin
[ ! -e Other.bin ] || failures=$((failures + 1))
exit "$failures"
