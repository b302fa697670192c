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
# Settings: VANTRO_WINEPREFIX (default $HOME/.wine-vantro), VANTRO_WINESERVER_PERSIST (seconds
# the server stays after the last run, default 60).
set -u

export WINEDEBUG=-all
export WINEPREFIX="${VANTRO_WINEPREFIX:-${HOME:-/tmp}/.wine-vantro}"
persist="${VANTRO_WINESERVER_PERSIST:-60}"

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

# Starts the server (exit 0) unless one already serves this prefix (exit 2), then warms the
# prefix up. Streams go to /dev/null and the lock descriptor is not passed on, so nothing that
# outlives this call holds the caller's pipes or the lock.
prepare_prefix() {
  mkdir -p "$WINEPREFIX" || return 1
  local status=0
  "$server" -p"$persist" </dev/null >/dev/null 2>&1 9>&- || status=$?
  if [ "$status" -eq 2 ] && [ -e "$WINEPREFIX/.vantro-ready" ]; then
    return 0
  fi
  if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
    echo "wine-run.sh: wineserver failed to start (status $status)" >&2
    return 1
  fi
  # The first run in a new prefix creates it; no Mono or Gecko is wanted for console tests.
  if ! WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&-
  then
    echo "wine-run.sh: the warm-up run in $WINEPREFIX failed" >&2
    return 1
  fi
  touch "$WINEPREFIX/.vantro-ready"
}

lock="$WINEPREFIX.lock"
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$lock"
flock 9
prepare_prefix || exit 125
flock -u 9
exec 9>&-

exec "$loader" "$@"
