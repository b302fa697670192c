#!/usr/bin/env bash
# The host build in a real terminal (a private tmux server): a copy long enough shows its
# progress, then its last state and the prompt before the pause; the same copy redirected
# prints exactly the announcement; the usage text waits only in a terminal of its own.
# Usage: console_tmux_test.sh <vantro>
set -u
exe=$(realpath "$1")
# In memory where the machine has it, so that the copy's speed is not the disk's.
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=/tmp
work=$(mktemp -d "$shm/vantro-tmux.XXXXXX")
socket="vantro-tmux-$$-$RANDOM"
tmx() { tmux -L "$socket" "$@"; }
trap 'tmx kill-server >/dev/null 2>&1; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $1"; tmx capture-pane -p -J -S - -t "$2"; failures=$((failures + 1)); }
screen() { tmx capture-pane -p -J -S - -t "$1" | sed '/^$/d'; }
within() {  # <command...>, until it succeeds, for up to 60 s
  local tries=600
  until "$@"; do
    tries=$((tries - 1)) && [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
shows() { screen "$1" | grep -Eq "$2"; }
wait_for() { within shows "$@"; }  # <window> <extended regex>
env -u TMUX tmux -L "$socket" -f /dev/null new-session -d -s main -x 160 -y 40 -c "$work" \
  \; set-option -g remain-on-exit on </dev/null || { echo "FAIL cannot start tmux"; exit 1; }
run() { tmx new-window -d -c "$work" -n "$1" "$2"; }  # <window> <command>, in its own window
truncate -s 6G "$work/big.bin"  # sparse; a copy of it runs for more than a second
prompt='Press Enter to close.'
copied="src=\\Device\\HarddiskVolume1${work//\//\\}\\big.bin"

run progress "bash -c '$(printf %q "$exe") big.bin big.copy; echo \"[exit \$?]\"'"
if wait_for progress '^ +[0-9]+%  [0-9.]+ GiB of 6\.00 GiB' && wait_for progress "^$prompt\$" &&
  tmx send-keys -t progress Enter && wait_for progress '^\[exit 0\]$' &&
  [ "$(screen progress | head -1)" = "$copied" ] &&
  screen progress | grep -q '^ 100%  6\.00 GiB of 6\.00 GiB$'; then
  echo "ok   long copy: progress, its last state, the prompt, exit 0"
else
  fail "long copy: wanted the progress, its last state, the prompt and exit 0" progress
fi
rm -f "$work/big.copy"
run quiet "bash -c '$(printf %q "$exe") big.bin big.copy >quiet.txt; echo \"[exit \$?]\"'"
wait_for quiet "^$prompt\$" && tmx send-keys -t quiet Enter
if wait_for quiet '^\[exit 0\]$' && [ "$(head -1 "$work/quiet.txt")" = "$copied" ] &&
  [ "$(wc -l <"$work/quiet.txt")" = 3 ] && ! grep -q '%' "$work/quiet.txt"; then
  echo "ok   long copy redirected: exactly the announcement"
else
  fail "long copy redirected: wanted exactly the announcement" quiet
fi

# Started by a shell, the usage text never waits; alone in its terminal, it waits for Enter.
run shared "bash -c '$(printf %q "$exe"); echo \"[exit \$?]\"'"
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
run alone "env ASAN_OPTIONS=detect_leaks=0 $(printf %q "$exe")"
pid=$(tmx display -p -t alone '#{pane_pid}')
if wait_for alone "^$prompt\$" && sleep 1 && ! ended_with_1 "$pid" &&
  tmx send-keys -t alone Enter && within ended_with_1 "$pid"; then
  echo "ok   usage alone in its terminal: the prompt, the pause, exit 1"
else
  fail "usage alone in its terminal: wanted the prompt, the pause and exit 1" alone
fi
[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
