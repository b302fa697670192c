#!/usr/bin/env bash
# vantro.exe copying real files under Wine, through a test drive: a copy ended by SIGTERM or
# SIGKILL leaves no destination (a tree's copy no destination's name, and no file of its
# unfinished copy that is neither whole nor empty), nor does one whose source is rewritten,
# grown or truncated meanwhile.
# Usage: wine_interrupt_test.sh <vantro.exe> <vantro_test_drive.exe> <runner>
set -u
exe=$1
drive_tool=$2
runner=$3
work=$(mktemp -d)
files="$work/drive"  # what the test drive shows; Wine's output stays outside it
letter=
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  [ -n "$letter" ] && "$runner" "$drive_tool" --remove "$letter" "$files" </dev/null >/dev/null 2>&1
  rm -rf "$work"  # also the sparse source of 8 GiB
}
trap cleanup EXIT
failures=0
fail() {
  printf 'FAIL %s: %s\n' "$1" "$2"
  failures=$((failures + 1))
}

# within <seconds> <command...>: polls the command every 0.1 s until it succeeds.
within() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
grown() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge $((64 << 20)) ]; }
ended() { ! kill -0 "$pid" 2>/dev/null; }
gone() { [ ! -e "$1" ]; }

mkdir "$files"
"$runner" "$drive_tool" auto "$files" </dev/null >"$work/letter" 2>"$work/drive.err"
letter=$(tr -d '\r\n' <"$work/letter")
if [ -z "$letter" ]; then
  echo "FAIL no test drive: $(cat "$work/drive.err")"
  exit 1
fi

# Sparse, so they cost no disk, yet long enough that the copy still runs when the signal comes.
truncate -s 8G "$files/big.bin"

# What a tree stopped mid-copy leaves: not the destination's name, and in its unfinished copy
# only files equal to their sources or (a kill between a create and its mark) empty.
tree_left() {
  local file
  [ ! -e "$files/$1" ] || return 1
  while IFS= read -r file; do
    [ ! -s "$files/$1.partial/$file" ] || cmp -s "$files/tree/$file" "$files/$1.partial/$file" ||
      return 1
  done < <(cd "$files/$1.partial" && find . -type f ! -name .vantro-unfinished)
}

# interrupt <signal> <source> [/E]: sends the signal to the Wine process running vantro.exe
# once the destination (a tree's big file) has grown, then checks that Wine's server removed
# the marked destination when the process's handles went. wine-run.sh execs the loader, which
# execs on into the program under the same pid (named vantro.exe), so $! is it: checked by
# that name before the signal.
interrupt() {
  local name="SIG$1 mid-copy of $2: no destination left" out="$files/$2.$1" status
  [ -z "${3:-}" ] || out="$files/$2.$1.partial/sub/big.bin"
  env --default-signal=INT "$runner" "$exe" "$letter:\\$2" "$letter:\\$2.$1" ${3:+"$3"} \
    </dev/null >"$work/$1.out" 2>&1 &
  pid=$!
  if ! within 20 grown "$out"; then
    fail "$name" "the destination did not grow: $(cat "$work/$1.out")"
  elif [ "$(ps -o comm= -p "$pid")" != vantro.exe ]; then
    fail "$name" "process $pid is not vantro.exe: $(ps -o args= -p "$pid")"
  else
    kill -"$1" "$pid"
    if ! within 10 ended; then
      fail "$name" "vantro.exe still runs 10 s after the signal"
    else
      wait "$pid"
      status=$?
      pid=
      if ! within 5 gone "$out"; then
        fail "$name" "$(stat -c %s "$out") bytes left after exit status $status"
      elif [ "$1" = INT ] && [ "$status" -ne 58 ]; then
        fail "$name" "exit status $status, not STATUS_CONTROL_C_EXIT's low byte"
      elif [ -n "${3:-}" ] && ! tree_left "$2.$1"; then
        fail "$name" "the tree's name, or a file neither whole nor empty, was left"
      else
        echo "ok   $name (exit status $status)"
      fi
    fi
  fi
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null
  pid=
}
interrupt TERM big.bin
interrupt KILL big.bin
interrupt INT big.bin  # as Ctrl+C: vantro's own stop
# A read-only source gives a read-only copy, yet only once the copy is whole: the platform
# refuses the deletion mark of a read-only file.
truncate -s 8G "$files/locked.bin"
chmod a-w "$files/locked.bin"
interrupt KILL locked.bin
mkdir -p "$files/tree/sub" && head -c 100000 /dev/urandom >"$files/tree/sub/a.bin"
truncate -s 8G "$files/tree/sub/big.bin"
interrupt KILL tree /E

# Ctrl+C as a console delivers it: SIGINT, with its default action (a background job of a
# script starts with SIGINT ignored), which Wine hands to the program's control handler.
# vantro ends the copy itself, says where a tree stands, and exits with STATUS_CONTROL_C_EXIT,
# whose low byte (58) a Linux shell sees; every file of the unfinished tree is whole.
mkdir -p "$files/small/a" "$files/small/b"
for n in $(seq 1 600); do
  printf 'a %d\n' "$n" >"$files/small/a/$n.txt"
  printf 'b %d\n' "$n" >"$files/small/b/$n.txt"
done
only_whole() {
  local file
  [ ! -e "$files/$1" ] || return 1
  while IFS= read -r file; do
    cmp -s "$files/small/$file" "$files/$1.partial/$file" || return 1
  done < <(cd "$files/$1.partial" 2>/dev/null && find . -type f ! -name .vantro-unfinished)
}
begun() { [ -d "$files/$1.partial" ]; }
stops=0 finished=0 stopped_with=
for run in $(seq 1 20); do
  name="SIGINT at a random moment of a tree (run $run)"
  env --default-signal=INT "$runner" "$exe" "$letter:\\small" "$letter:\\int$run" /E </dev/null \
    >"$work/int$run.out" 2>&1 &
  pid=$!
  if ! within 20 begun "int$run"; then
    fail "$name" "the tree was not begun: $(cat "$work/int$run.out")"
    kill -KILL "$pid" 2>/dev/null
  else
    sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
    kill -INT "$pid"
    wait "$pid"
    code=$?
    if [ "$code" -eq 0 ] && [ -d "$files/int$run" ]; then
      finished=$((finished + 1))
    elif [ "$code" -eq 0 ] || ! grep -q '^The unfinished copy is in ' "$work/int$run.out" ||
         ! grep -q '^Copied .* failed, ' "$work/int$run.out" || ! only_whole "int$run"; then
      fail "$name" "exit $code, or a line or a whole file missing: $(tail -3 "$work/int$run.out")"
    else
      stops=$((stops + 1)) stopped_with=$code
    fi
  fi
  pid=
done
echo "ok   SIGINT mid-tree: $stops of 20 runs stopped (exit $stopped_with), $finished finished first"

# A kill at a random moment of the same tree, which can leave one empty file (Wine 8 marks a
# file only after its create), then the same command: it continues the unfinished tree and
# ends with the tree whole under its name. So too after the first stopped runs above.
again() {  # <destination>: the same command again; true when it finished the tree whole
  "$runner" "$exe" "$letter:\\small" "$letter:\\$1" /E </dev/null >"$work/$1.again" 2>&1 &&
    grep -q '^Continuing the unfinished copy in ' "$work/$1.again" && [ ! -e "$files/$1.partial" ] &&
    diff -r "$files/small" "$files/$1" >/dev/null
}
for run in 1 2 3; do
  "$runner" "$exe" "$letter:\\small" "$letter:\\kill$run" /E </dev/null >/dev/null 2>&1 &
  pid=$!
  within 20 begun "kill$run" && sleep "0.$((RANDOM % 4))" && kill -KILL "$pid"
  wait "$pid"
  pid=
  for tree in "kill$run" "int$run"; do
    [ -d "$files/$tree.partial" ] || continue  # it finished first
    if again "$tree"; then
      echo "ok   $tree stopped mid-tree, then the same command: the tree whole"
    else
      fail "the same command after $tree" "$(tail -3 "$work/$tree.again")"
    fi
  done
done

# change <name> <command on the source>: the source changed from the Linux side, which share
# modes do not hold back, once the copy is under way: never a copy, and nothing left.
change() {
  local name="source $1 mid-copy: exit 1, no destination" out="$files/changed.$1" code
  truncate -s 2G "$files/changing.bin"
  "$runner" "$exe" "$letter:\\changing.bin" "$letter:\\changed.$1" </dev/null \
    >"$work/$1.out" 2>&1 &
  pid=$!
  if ! within 20 grown "$out"; then
    fail "$name" "the destination did not grow: $(cat "$work/$1.out")"
  else
    eval "$2"
    wait "$pid"
    code=$?
    pid=
    if [ "$code" -ne 1 ] || ! grep -q 'Error reading, Status=c0000043' "$work/$1.out" ||
       ! within 5 gone "$out"; then
      fail "$name" "exit $code, $(stat -c %s "$out" 2>/dev/null || echo no) destination: $(cat "$work/$1.out")"
    else
      echo "ok   $name"
    fi
  fi
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null
  pid=
  rm -f "$files/changing.bin"
}
change rewritten 'printf new | dd of="$files/changing.bin" conv=notrunc status=none'
change grown 'printf more >>"$files/changing.bin"'
change truncated 'truncate -s 1G "$files/changing.bin"'

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
