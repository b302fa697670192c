#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests: quiet, with one long-lived
# wineserver, and with Wine's own start-up kept away from the caller's pipes.
set -u
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vantro}"
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=$(command -v wine64 || command -v wine)
if ! /usr/lib/wine/wineserver -k0 2>/dev/null && [ ! -d "$WINEPREFIX" ] || ! pgrep -x wineserver >/dev/null 2>&1; then
  /usr/lib/wine/wineserver -p20 </dev/null >/dev/null 2>&1
  "$loader" cmd /c exit </dev/null >/dev/null 2>&1
fi
exec "$loader" "$@"
