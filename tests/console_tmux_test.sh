#!/usr/bin/env bash
# The host build in a real terminal (a private tmux server): a long copy shows its progress,
# then its last state and the prompt before the pause; the same copy redirected prints exactly
# the announcement; with both outputs redirected, or as a background job (which shows no
# progress either), a short copy ends without a pause; the usage text waits only in a terminal
# of its own.
# Usage: console_tmux_test.sh <vantro>
set -u
exe=$(realpath "$1")
q=$(printf %q "$exe")
deadline=$((SECONDS + 240))  # within ctest's limit, past which ctest kills it: no trap runs then
# Server, files and processes found by the build's own path, so that a run also clears what
# a killed one left; in memory where the machine has it, so that the copy's speed is not the disk's.
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=/tmp
work="$shm/vantro-tmux-$(cksum <<<"$exe" | cut -d' ' -f1)"
tmx() { tmux -S "$work/tmux" "$@"; }
clean() {
  local pane
  for pane in $(tmx list-panes -a -F '#{pane_pid}' 2>/dev/null); do
    pkill -KILL -s "$pane" -x vantro
  done
  tmx kill-server >/dev/null 2>&1
  rm -rf "$work"
}
clean
trap clean EXIT
trap 'exit 2' INT TERM HUP
mkdir "$work" || exit 1
failures=0
fail() { echo "FAIL $1"; screen "$2"; failures=$((failures + 1)); }
screen() { tmx capture-pane -p -J -S - -t "$1" | sed '/^$/d'; }
within() {  # <command...>, until it succeeds, for up to 20 s and never past the deadline
  local end=$((SECONDS + 20))
  [ "$end" -lt "$deadline" ] || end=$deadline
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}
shows() { screen "$1" | grep -Eq "$2"; }
wait_for() { within shows "$@"; }  # <window> <extended regex>
env -u TMUX tmux -S "$work/tmux" -f /dev/null new-session -d -s main -x 160 -y 40 -c "$work" \
  \; set-option -g remain-on-exit on </dev/null || { echo "FAIL cannot start tmux"; exit 1; }
run() {  # <window> <shell command>: in a window of its own, then its exit status
  printf '%s\necho "[exit $?]"\n' "$2" >"$work/$1.sh"
  tmx new-window -d -c "$work" -n "$1" "bash $1.sh"
}
prompt='Press Enter to close.'

# A copy of 256 MiB takes a fraction of a second; its progress shows after a second by its own
# (wall) clock. So the copy stops itself at its start and is let run in slices, the pane read
# while it stands still: 20 ms ones until it announces itself (its clock starts), then a few ms
# every 100 ms, for 1.2 s only while it has copied less than half; then freely once it has shown
# its progress (or has no console to show it on).
truncate -s 256M "$work/big.bin"  # sparse
mkfifo "$work/nap"  # read with a time limit: a wait of a few ms that starts no process
copied="src=\\Device\\HarddiskVolume1${work//\//\\}\\big.bin"
stopped() {  # <window>: sets pid to the pane's child once it has stopped
  pid=$(pgrep -P "$(tmx display -p -t "$1" '#{pane_pid}')") && ps -o stat= -p "$pid" | grep -q T
}
source "$(dirname "$0")/support/duty_cycle.sh"
copy_text() { screen "$1"; cat "$work/$1.txt" 2>/dev/null; }
long_copy() {  # <window> [redirected]: until the prompt shows; sets midway to a progress line
  run "$1" "(kill -STOP \$BASHPID; exec $q big.bin $1.copy ${2:+>$1.txt})"
  within stopped "$1" || return 1
  redirected=${2:-} duty_cycle "$pid" "$work/$1.copy" "$deadline" "$work/nap" copy_text "$1"
  wait_for "$1" "^$prompt\$"
}
if long_copy progress && [ -n "$midway" ] && tmx send-keys -t progress Enter &&
  wait_for progress '^\[exit 0\]$' && [ "$(screen progress | head -1)" = "$copied" ] &&
  shows progress '^ 100%  256\.00 MiB of 256\.00 MiB$' &&
  cmp -s "$work/big.bin" "$work/progress.copy"; then
  echo "ok   long copy: progress, its last state, the prompt, exit 0"
else
  fail "long copy: wanted the progress ('$midway'), its last state, the prompt and exit 0" progress
fi
rm -f "$work/progress.copy"
if long_copy quiet redirected && tmx send-keys -t quiet Enter && wait_for quiet '^\[exit 0\]$' &&
  [ "$(head -1 "$work/quiet.txt")" = "$copied" ] && [ "$(wc -l <"$work/quiet.txt")" = 3 ] &&
  ! grep -q '%' "$work/quiet.txt"; then
  echo "ok   long copy redirected: exactly the announcement, the prompt on standard error"
else
  fail "long copy redirected: wanted exactly the announcement and the prompt" quiet
fi
rm -f "$work/quiet.copy"

# A tree on the console: a line of its own (a link skipped) takes its progress line off first,
# so that each starts its line. The big file's copy is slowed as above until the progress shows;
# links are made before it and after it, so that some are listed after it in any order.
mkdir "$work/tree"
for n in $(seq 10 19); do ln -s "$work" "$work/tree/l$n"; done
truncate -s 256M "$work/tree/big.bin"
for n in $(seq 20 29); do ln -s "$work" "$work/tree/l$n"; done
run tree "(kill -STOP \$BASHPID; exec $q tree treecopy /E)"
if within stopped tree &&
  duty_cycle "$pid" "$work/treecopy.partial/big.bin" "$deadline" "$work/nap" screen tree &&
  wait_for tree "^$prompt\$" && tmx send-keys -t tree Enter && wait_for tree '^\[exit 0\]$' &&
  [ "$(screen tree | grep -c 'Skipped link')" = 20 ] &&
  [ "$(screen tree | grep -c '^Skipped link l[0-9][0-9] *$')" = 20 ]; then
  echo "ok   a tree's lines on the console: each starts its line, progress or not"
else
  fail "a tree's lines on the console: wanted each 'Skipped link' at the start of a line" tree
fi

# Short copies, without a pause: with both outputs redirected (no prompt could show), and as a
# background job (reading the terminal would stop it), whose console shows no progress either.
head -c 2M /dev/urandom >"$work/small.bin"  # the progress is checked at every MiB
run both "$q small.bin both.copy >both.txt 2>&1"
if wait_for both '^\[exit 0\]$' && [ "$(wc -l <"$work/both.txt")" = 3 ] &&
  cmp -s "$work/small.bin" "$work/both.copy"; then
  echo "ok   both outputs redirected: no pause, the copy, exit 0"
else
  fail "both outputs redirected: wanted the copy and exit 0 without a key" both
fi
tmx new-window -d -c "$work" -n job "HISTFILE= bash --norc --noprofile -i"
tmx send-keys -t job "{ $q small.bin job.copy; echo \"[exit \$?]\"; } &" Enter
if wait_for job '^\[exit 0\]$' && ! shows job '%' && cmp -s "$work/small.bin" "$work/job.copy"; then
  echo "ok   short copy as a background job: no progress line, no pause, exit 0"
else
  fail "short copy as a background job: wanted no progress line and exit 0 without a stop" job
fi

# Started by a shell, the usage text never waits; alone in its terminal, it waits for Enter.
run shared "$q"
wait_for shared '^Attention: Filenames are case sensitive!\[exit 1\]$' ||
  fail "usage from a shell: wanted no pause and exit 1" shared
# Ended with status 1: as the pane says, or, where tmux has not reaped the process yet, as the
# kernel keeps it for its parent (the last field of a zombie's stat is its wait status).
ended_with_1() {
  screen alone | grep -q 'Pane is dead (status 1' && return 0
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) && [ "$(cut -d' ' -f3 <<<"$stat")" = Z ] &&
    [ "${stat##* }" = 256 ]
}
# (Without the sanitized build's leak check at exit, which can keep a process that leads its
# terminal's session from ending.)
tmx new-window -d -c "$work" -n alone "env ASAN_OPTIONS=detect_leaks=0 $q"
pid=$(tmx display -p -t alone '#{pane_pid}')
if wait_for alone "^$prompt\$" && sleep 1 && ! ended_with_1 "$pid" &&
  tmx send-keys -t alone Enter && within ended_with_1 "$pid"; then
  echo "ok   usage alone in its terminal: the prompt, the pause, exit 1"
else
  fail "usage alone in its terminal: wanted the prompt, the pause and exit 1" alone
fi
[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
