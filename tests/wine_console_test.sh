#!/usr/bin/env bash
# vantro.exe under Wine in a real terminal: a private tmux server gives each run a pane whose
# terminal Wine turns into a console, so the tool writes with WriteConsoleW and pauses on
# console input. Checked: the usage text (no pause, exit 1); the announcement and the error
# line, then the pause until Enter, then exit 1, and no pause with both outputs redirected;
# that the text went through the console itself, not the fallback for redirected output; a
# long copy's progress, and none for a short one.
# Usage: wine_console_test.sh <vantro.exe> <vantro_test_drive.exe> <runner that starts a
# Windows program>
#
# The proof of the console path comes from two traced runs (Wine's console and file trace
# channels, to a file): on a console the tool's WriteConsoleW calls are followed by no
# WriteFile of its own; with output redirected each is followed by the WriteFile fallback.
# Traced runs call the Wine loader directly, since the runner keeps every trace channel off;
# they use the runner's prefix and server, which the earlier runs have started.
set -u
exe=$(realpath "$1")
drive_tool=$(realpath "$2")
runner=$(realpath "$3")
deadline_seconds=${VANTRO_CONSOLE_DEADLINE:-30}
# With its cleaning within ctest's limit (TIMEOUT), past which ctest kills it: no trap runs then.
end_of_run=$((SECONDS + 360))

# Server, files and processes found by the build's own path, so that a run also clears what a
# killed one left; in memory where the machine has it, so that the copy's speed is not the disk's.
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=/tmp
work="$shm/vantro-console-$(cksum <<<"$exe" | cut -d' ' -f1)"
tmx() { tmux -S "$work/tmux" "$@"; }
letter=
drive=
clean() {
  local pane
  for pane in $(tmx list-panes -a -F '#{pane_pid}' 2>/dev/null); do
    pkill -KILL -s "$pane" -x vantro.exe; pkill -KILL -s "$pane" -x wine-run.sh
  done
  tmx kill-server >/dev/null 2>&1
  [ -n "$letter" ] && timeout 30 "$runner" "$drive_tool" --remove "$letter" "$drive" </dev/null \
    >/dev/null 2>&1
  rm -rf "$work"
}
clean
trap clean EXIT
trap 'exit 2' INT TERM HUP
mkdir "$work" || exit 1
failures=0

fail() {
  echo "FAIL $1"
  failures=$((failures + 1))
}
pass() { echo "ok   $1"; }

# The pane's text from the start of its history (tmux may scroll a line away when it notes
# that the pane's program ended), lines joined where they wrapped, without that note, trailing
# blanks and trailing empty lines.
screen_of() {
  tmx capture-pane -p -J -S - -t "$1" | grep -v '^Pane is dead' | sed 's/[[:space:]]*$//' |
    sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}

show_pane() {
  echo "--- pane $1 (dead=$(tmx display -p -t "$1" '#{pane_dead}' 2>/dev/null)):"
  screen_of "$1"
  echo "--- end of pane $1"
}

# poll <command...>: runs the command until it succeeds, up to the deadline.
poll() {
  local end=$((SECONDS + deadline_seconds))
  [ "$end" -lt "$end_of_run" ] || end=$end_of_run
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}
shows() { screen_of "$1" | grep -Eq "$2"; }
# wait_for <window> <extended regex>: waits until a line of the pane matches.
wait_for() { poll shows "$@"; }

# start <window> <shell command>: runs the command in a new window of the fixed size, then
# prints a marker with its exit code (right after the program's last text, which need not end
# a line). remain-on-exit keeps the pane readable afterwards.
start() {
  printf '%s\necho "[vantro exit $?]"\n' "$2" >"$work/$1.sh"
  tmx new-window -d -n "$1" "bash $(printf %q "$work/$1.sh")"
}

# exit_code <window>: the code in the pane's marker, after waiting for it.
exit_code() {
  wait_for "$1" '\[vantro exit [0-9]+\]$' || return 1
  screen_of "$1" | sed -n 's/.*\[vantro exit \([0-9]*\)\]$/\1/p'
}

q() { printf '%q' "$1"; }

if ! command -v tmux >/dev/null; then
  echo "FAIL tmux is not installed (scripts/test.sh installs it)"
  exit 1
fi

# Creating the prefix and starting the server take long the first time; keep that out of
# the per-step deadlines and away from any pane.
if ! timeout 180 "$runner" cmd.exe /c exit </dev/null >/dev/null 2>"$work/warmup.err"; then
  echo "FAIL Wine warm-up through $runner"
  cat "$work/warmup.err"
  exit 1
fi

# A private server with a fixed window size; no configuration file, no inherited session.
if ! env -u TMUX tmux -S "$work/tmux" -f /dev/null new-session -d -s main -x 160 -y 40 \
  \; set-option -g remain-on-exit on </dev/null; then
  echo "FAIL cannot start tmux"
  exit 1
fi

# Paths the tool announces: Z:\ is the POSIX root, the device is what Wine's link says.
inside=${work//\//\\}
echo source >"$work/Report.TXT"
src="Z:$inside\\Report.TXT"
dst="Z:$inside\\copy.txt"
error_line='^Error openning, Status=c0000034$'

# announcement <text>: what the tool must print for the two paths, on the device the text's
# first line names (any \Device\HarddiskVolume<N>; both lines must name the same one).
announcement() {
  local device
  device=$(sed -n '1s/^src=\(\\Device\\HarddiskVolume[0-9][0-9]*\)\\.*$/\1/p' <<<"$1")
  printf 'src=%s%s\\Report.TXT\ndst=%s%s\\copy.txt\n\nError openning, Status=c0000034' \
    "${device:-\\Device\\HarddiskVolume<N>}" "$inside" "${device:-\\Device\\HarddiskVolume<N>}" \
    "$inside"
}
has_announcement() {
  local text
  text=$(cat "$1")
  [ "$text" = "$(announcement "$text")" ]
}
marker_shown() { shows "$1" '\[vantro exit'; }
# still_waiting <window>: the program has not ended: its pane lives and shows no marker.
still_waiting() {
  [ "$(tmx display -p -t "$1" '#{pane_dead}')" = 0 ] && ! marker_shown "$1"
}

usage=$'Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!'
prompt='Press Enter to close.'
# 1. No arguments, in a console of its own (Wine gives a program started from a Linux
# terminal a console that no other Windows process shares): the usage text, the prompt on a
# line of its own, the pause until Enter, exit 1.
start usage "$(q "$runner") $(q "$exe")"
if wait_for usage "^$prompt\$" && sleep 1 && still_waiting usage; then
  tmx send-keys -t usage Enter
  code=$(exit_code usage)
  if [ "$(screen_of usage)" = "$usage"$'\n'"$prompt"$'\n[vantro exit 1]' ] && [ "$code" = 1 ]; then
    pass "no arguments, own console: usage, prompt, pause, exit 1"
  else
    fail "no arguments, own console: wanted the usage text, the prompt and exit 1 after Enter"
    show_pane usage
  fi
else
  fail "no arguments, own console: no prompt, or no pause"
  show_pane usage
fi
# In a console shared with cmd.exe the usage path never waits (no key is ever sent); the
# text ends without a line end, so the marker follows it on its last line.
start shared "$(q "$runner") cmd.exe /c $(q "$exe")"
code=$(exit_code shared)
if [ "$(screen_of shared)" = "$usage[vantro exit 1]" ] && [ "$code" = 1 ]; then
  pass "no arguments, console shared with cmd.exe: usage, no pause, exit 1"
else
  fail "no arguments, console shared with cmd.exe: wanted the usage text and exit 1 without a key"
  show_pane shared
fi

# 2. Two Z: paths, output on the pane's console: the announcement and the error line, then the
# pause until Enter, then exit 1.
start copy "$(q "$runner") $(q "$exe") $(q "$src") $(q "$dst")"
if ! wait_for copy "$error_line"; then
  fail "two Z: paths: no error line on the console within ${deadline_seconds}s"
  show_pane copy
else
  # (Without a marker line, which would show the tool had already ended: checked next.)
  if has_announcement <(screen_of copy | grep -v -e '^\[vantro exit' -e "^$prompt\$"); then
    pass "two Z: paths: announcement and error line on the console"
  else
    fail "two Z: paths: the console does not show exactly the announcement and the error line"
    echo "--- wanted:"
    announcement "$(screen_of copy)"
    echo
    show_pane copy
  fi
  sleep 2
  if still_waiting copy; then
    pass "two Z: paths: waits for Enter"
  else
    fail "two Z: paths: ended without waiting for Enter"
    show_pane copy
  fi
  tmx send-keys -t copy Enter
  code=$(exit_code copy)
  screen=$(screen_of copy)
  # The prompt on a line of its own, then the console's echo of Enter; nothing after it.
  if [ "$code" = 1 ] &&
    [ "$screen" = "$(announcement "$screen")"$'\n'"$prompt"$'\n[vantro exit 1]' ]; then
    pass "two Z: paths: the prompt, Enter ends the pause, nothing more printed, exit 1"
  else
    fail "two Z: paths: after Enter wanted only the prompt and exit 1 (got exit '$code')"
    show_pane copy
  fi
fi
if [ -e "$work/copy.txt" ]; then
  fail "two Z: paths: a destination was created although the open failed"
fi

# 3. The control: the same run with output redirected to a file inside the pane. The text
# lands in the file, not on the screen; input is still the console, so the pause still waits.
file_done() { grep -q "$error_line" "$work/redirected.txt" 2>/dev/null; }
start redirected "$(q "$runner") $(q "$exe") $(q "$src") $(q "$dst") >$(q "$work/redirected.txt")"
if poll file_done && sleep 2 && still_waiting redirected; then
  tmx send-keys -t redirected Enter
  code=$(exit_code redirected)
  # Only the prompt, on the console of standard error, and the echo of Enter are on the screen.
  if [ "$code" = 1 ] && [ "$(screen_of redirected)" = "$prompt"$'\n[vantro exit 1]' ] &&
    has_announcement "$work/redirected.txt"; then
    pass "redirected output: the text in the file, the prompt on the screen, pause, exit 1"
  else
    fail "redirected output: wanted the text in the file only and exit 1 (got exit '$code')"
    show_pane redirected
    echo "--- file:"
    cat "$work/redirected.txt"
  fi
else
  fail "redirected output: no text in the file, or no pause on console input"
  show_pane redirected
fi

# With both outputs redirected the prompt could show nowhere: no pause, though input is the console.
start both "$(q "$runner") $(q "$exe") $(q "$src") $(q "$dst") >$(q "$work/both.txt") 2>&1"
code=$(exit_code both)
if [ "$code" = 1 ] && has_announcement "$work/both.txt"; then
  pass "both outputs redirected: the text in the file, no pause, exit 1"
else
  fail "both outputs redirected: wanted the text in the file and exit 1 without a key (got '$code')"
  show_pane both
fi

# 4. Which call carried the text: traced runs, standard input empty (the pause returns at once).
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=$(command -v wine64 || command -v wine)
prefix="${VANTRO_WINEPREFIX:-${HOME:-/tmp}/.wine-vantro}"
traced() {
  printf 'WINEPREFIX=%q WINEDEBUG=+console,+file %q %q %q %q </dev/null 2>%q' "$prefix" \
    "$loader" "$exe" "$src" "$dst" "$work/$1.trace"
}

# check_trace <name> <wanted WriteFile count>: the tool's own thread made two WriteConsoleW
# calls (announcement, error line) and this many WriteFile calls. Other processes (the
# console host writing to the terminal) have threads of their own.
check_trace() {
  local trace="$work/$1.trace" thread consoles files
  thread=$(sed -n 's/^\([0-9a-f]*\):trace:console:WriteConsoleW .*/\1/p' "$trace" | sort -u)
  consoles=$(grep -c "^$thread:trace:console:WriteConsoleW " "$trace")
  files=$(grep -c "^$thread:trace:file:WriteFile " "$trace")
  if [ "$(wc -w <<<"$thread")" -eq 1 ] && [ "$consoles" -eq 2 ] && [ "$files" -eq "$2" ]; then
    return 0
  fi
  echo "--- trace $1: thread(s) '$thread', WriteConsoleW $consoles, WriteFile $files (wanted $2):"
  grep -E 'WriteConsoleW|WriteFile' "$trace" | cut -c1-160
  return 1
}

start traced_console "$(traced traced_console)"
code=$(exit_code traced_console)
screen_of traced_console | sed '$d' >"$work/traced_console.screen"
if [ "$code" = 1 ] && has_announcement "$work/traced_console.screen" &&
  check_trace traced_console 0; then
  pass "console: WriteConsoleW carries the text, no WriteFile fallback"
else
  fail "console: the text did not go through WriteConsoleW alone (exit '$code')"
  show_pane traced_console
fi

start traced_file "$(traced traced_file) >$(q "$work/traced.txt")"
code=$(exit_code traced_file)
if [ "$code" = 1 ] && has_announcement "$work/traced.txt" && check_trace traced_file 2; then
  pass "redirected: WriteConsoleW fails and WriteFile carries the text"
else
  fail "redirected: wanted WriteConsoleW then the WriteFile fallback (exit '$code')"
  show_pane traced_file
fi

# 5. Copies through a test drive (a new folder: a drive a killed run left is taken back). A copy
# of 256 MiB takes a fraction of a second; its progress shows after a second by its own (wall)
# clock. So the copy's Linux process stops itself at its start and is let run in slices, the pane
# read while it stands still: 20 ms ones until it announces itself (its clock starts), then a few
# ms every 100 ms, for 1.2 s only while it has copied less than half; then freely once it has
# shown its progress (or has no console to show it on).
drive=$(mktemp -d "$work/drive.XXXXXX")
truncate -s 256M "$drive/big.bin"  # sparse
head -c 2M /dev/urandom >"$drive/small.bin"  # the progress is checked at every MiB
mkfifo "$work/nap"  # read with a time limit: a wait of a few ms that starts no process
letter=$(timeout 60 "$runner" "$drive_tool" auto "$drive" </dev/null 2>"$work/drive.err" |
  tr -d '\r\n')
target="\\??\\Z:${drive//\//\\}"
copy() { echo "$(q "$runner") $(q "$exe") $(q "$letter:\\$1") $(q "$letter:\\$2")"; }
copied() { printf 'src=%s\\big.bin\ndst=%s\\%s.copy' "$target" "$target" "$1"; }
stopped() {  # <window>: sets pid to the pane's child once it has stopped
  pid=$(pgrep -P "$(tmx display -p -t "$1" '#{pane_pid}')") && ps -o stat= -p "$pid" | grep -q T
}
source "$(dirname "$0")/support/duty_cycle.sh"
copy_text() { screen_of "$1"; cat "$work/$1.txt" 2>/dev/null; }
long_copy() {  # <window> [redirected]: until the prompt shows; sets midway to a progress line
  start "$1" "(kill -STOP \$BASHPID; exec $(copy big.bin "$1.copy") ${2:+>$(q "$work/$1.txt")})"
  poll stopped "$1" || return 1
  redirected=${2:-} duty_cycle "$pid" "$drive/$1.copy" "$end_of_run" "$work/nap" copy_text "$1"
  wait_for "$1" "^$prompt\$"
}
if [ -n "$letter" ] && long_copy progress && [ -n "$midway" ] && tmx send-keys -t progress Enter &&
  [ "$(exit_code progress)" = 0 ] && shows progress '^ 100%  256\.00 MiB of 256\.00 MiB$' &&
  [ "$(screen_of progress | head -2)" = "$(copied progress)" ] &&
  cmp -s "$drive/big.bin" "$drive/progress.copy"; then
  pass "long copy on the console: progress, its last state, the prompt, exit 0"
else
  fail "long copy on the console: wanted progress ('$midway'), its last state, the prompt, exit 0"
  cat "$work/drive.err"
  show_pane progress
fi
rm -f "$drive/progress.copy"
long_copy quiet redirected && tmx send-keys -t quiet Enter
code=$(exit_code quiet)
if [ "$code" = 0 ] && [ "$(cat "$work/quiet.txt")" = "$(copied quiet)" ] &&
  [ "$(wc -c <"$work/quiet.txt")" = $(($(copied quiet | wc -c) + 2)) ] &&
  shows quiet "^$prompt\$"; then
  pass "long copy redirected: exactly the announcement, no progress, the prompt"
else
  fail "long copy redirected: wanted exactly the announcement and the prompt (exit '$code')"
  cat -A "$work/quiet.txt"
fi
rm -f "$drive/quiet.copy"
start short "$(copy small.bin short.copy)"
wait_for short "^$prompt\$" && tmx send-keys -t short Enter
code=$(exit_code short)
if [ "$code" = 0 ] && ! shows short '%' && cmp -s "$drive/small.bin" "$drive/short.copy"; then
  pass "short copy on the console: no progress line, exit 0"
else
  fail "short copy on the console: wanted no progress line and exit 0 (exit '$code')"
  show_pane short
fi

# 6. Ctrl+C in the middle of a tree: the copy ends itself, says where the tree stands, does not
# pause, and exits with STATUS_CONTROL_C_EXIT's low byte, so a command chained with && does not
# run.
mkdir "$drive/tree"
for n in $(seq 1 1500); do echo "$n" >"$drive/tree/$n.txt"; done
begun() { [ -d "$drive/stopped.partial" ]; }
start stop "$(q "$runner") $(q "$exe") $(q "$letter:\\tree") $(q "$letter:\\stopped") /E && echo go"
if [ -n "$letter" ] && poll begun && sleep 0.3 && tmx send-keys -t stop C-c &&
  [ "$(exit_code stop)" = 58 ] && shows stop '^(\^C)?Copied [0-9]+ files in 1 folders, ' &&
  shows stop '^The unfinished copy is in ' && ! shows stop '^go$' && ! shows stop "^$prompt\$"; then
  pass "Ctrl+C mid-tree: the summary and where the tree stays, no pause, exit 58, && stops"
else
  fail "Ctrl+C mid-tree: wanted the tree's last lines, no pause and exit 58"
  show_pane stop
fi

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
