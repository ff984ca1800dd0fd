#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine, in a Wine prefix of the project's own (made on
# first use, once even when several tests start at the same moment), with Wine's own
# diagnostics off so that a program's output is its own.
set -euo pipefail
export WINEPREFIX=${KESTAL_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/kestal-wine}
export WINEDEBUG=${WINEDEBUG:--all}
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || { "$wine" wineboot --init && "${wine%64}server" --wait || true; } \
      </dev/null >/dev/null 2>&1 9>&-
  ) 9>"$WINEPREFIX.lock"
fi
# A Wine server that outlives each program by a minute: a program started while the server of
# the one before it is shutting down loses its connection to it. A new server and Wine's own
# services start here, away from the program's output: a caller that reads the program's output
# to its end would otherwise wait for them too.
if "${wine%64}server" -p60 </dev/null >/dev/null 2>&1; then
  "$wine" wineboot </dev/null >/dev/null 2>&1 || true
fi
exec "$wine" "$@"
