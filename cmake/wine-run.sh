#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests: quiet, in a prefix of its own, with one
# long-lived wineserver.
#
# Why the care: Wine's server and its system processes (services, winedevice, ...) inherit the
# standard streams of whichever run starts them, and keep them open for seconds after that run
# ends. A reader of the run's output (ctest, a pipe) then waits for them, or hangs. So the server
# and a first warm-up run are started here with every stream on /dev/null, and each test run
# only connects to them. Creating the prefix (a few seconds, noise on stderr) happens in that
# warm-up too, once, under a lock so that parallel tests do not race on it.
#
# A server whose persistence has run out closes its socket at once, yet holds its lock (so that
# `wineserver -p` still finds it) for seconds more while its system processes end. A program
# started then is refused, and its loader starts a server itself: through Debian's wrapper,
# without persistence (-p0) and holding that program's streams; it ends whenever no program
# runs, between two tests, and the test drives' links end with it. So a run connects only to a
# server that cannot reach that end before the run's program is in: one whose last run started
# less than the persistence (less a margin) ago, as the persistence counts from the last
# program's end; or one that a program started here still keeps. Otherwise the run waits for
# the server to end and starts a new one.
#
# Settings: VANTRO_WINEPREFIX (default $HOME/.wine-vantro), VANTRO_WINESERVER_PERSIST (seconds
# the server stays after the last run, default 60).
set -u

export WINEDEBUG=-all
export WINEPREFIX="${VANTRO_WINEPREFIX:-${HOME:-/tmp}/.wine-vantro}"
persist="${VANTRO_WINESERVER_PERSIST:-60}"
# Seconds from a run's check to its program being the server's: far more than the loader's
# start takes (about 1 s on a loaded machine).
margin=10

wine_dir=/usr/lib/wine
loader="$wine_dir/wine64"
server="$wine_dir/wineserver"
[ -x "$loader" ] || loader=$(command -v wine64 || command -v wine) || {
  echo "wine-run.sh: no Wine loader found (install wine64)" >&2
  exit 127
}
[ -x "$server" ] || server=$(command -v wineserver) || {
  echo "wine-run.sh: no wineserver found (install wine64)" >&2
  exit 127
}

# The last run's start (its time) and the programs of the runs (process id and start), which
# keep this script's process as they exec.
stamp="$WINEPREFIX.last-run"
runs="$WINEPREFIX.runs"

# A process's start in clock ticks since boot, which tells it from a later one of the same id;
# nothing once it has ended.
process_start() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  read -ra stat <<<"${stat##*) }"
  echo "${stat[19]}"
}

# Whether a program started here still runs; forgets those that have ended.
program_running() {
  local pid start kept=
  [ -f "$runs" ] || return 1
  while read -r pid start; do
    [ "$(process_start "$pid")" = "$start" ] && kept+="$pid $start"$'\n'
  done <"$runs"
  printf '%s' "$kept" >"$runs"
  [ -n "$kept" ]
}

recent_run() {
  local started
  started=$(stat -c %Y "$stamp" 2>/dev/null) || return 1
  [ $(($(date +%s) - started)) -lt $((persist - margin)) ]
}

# Starts the server: 0 when started, 2 when one holds this prefix already. Streams go to
# /dev/null and the lock descriptor is not passed on, so nothing that outlives this call holds
# the caller's pipes or the lock.
start_server() {
  "$server" -p"$persist" </dev/null >/dev/null 2>&1 9>&-
}

# The first run in a new prefix creates it; no Mono or Gecko is wanted for console tests.
warm_up() {
  if ! WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&-
  then
    echo "wine-run.sh: the warm-up run in $WINEPREFIX failed" >&2
    return 1
  fi
  touch "$WINEPREFIX/.vantro-ready"
}

# A server that cannot end before this run's program is in, and a warmed-up prefix.
prepare_prefix() {
  mkdir -p "$WINEPREFIX" || return 1
  local status=0
  start_server || status=$?
  if [ "$status" -eq 2 ] && ! recent_run && ! program_running; then
    # Idle for about its persistence: ending, or soon to; gone within that and its shutdown
    # (a server of another run's setting may persist longer).
    local wait=$((persist > 300 ? persist + 30 : 330))
    if ! timeout "$wait" "$server" -w </dev/null >/dev/null 2>&1 9>&-; then
      echo "wine-run.sh: the wineserver of $WINEPREFIX has not ended within $wait s, though" \
           "no program of these tests runs: something else keeps it (wineserver -k ends it)" >&2
      return 1
    fi
    status=0
    start_server || status=$?
  fi
  if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
    echo "wine-run.sh: wineserver failed to start (status $status)" >&2
    return 1
  fi
  if [ "$status" -eq 0 ] || [ ! -e "$WINEPREFIX/.vantro-ready" ]; then
    warm_up || return 1
  fi
  touch "$stamp"
  program_running
  echo "$$ $(process_start $$)" >>"$runs"
}

lock="$WINEPREFIX.lock"
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$lock"
flock 9
prepare_prefix || exit 125
flock -u 9
exec 9>&-

exec "$loader" "$@"
