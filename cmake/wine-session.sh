#!/bin/sh
# Runs a command while one Wine server stays up for the given prefix:
#   wine-session.sh PREFIX COMMAND [ARGUMENTS...]
# Left to itself the server quits a moment after its last program ends, and
# a program started just then finds it half gone ("a wine server seems to be
# running, but I cannot connect to it") and fails. ctest starts one Wine
# program per test, often in that gap, so the whole run shares one server
# that is kept alive until the command ends and is then stopped, so no
# daemon outlives the run.
set -eu
here=$(dirname "$0")
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all

"$here/wine-run.sh" "$prefix"

# A server already running without persistence (the prefix's set-up, or a
# previous run) refuses a second start: wait for it to end, then try again.
tries=0
until wineserver -p </dev/null >/dev/null 2>&1; do
  tries=$((tries + 1))
  if [ "$tries" -ge 10 ]; then
    echo "wine-session.sh: could not start a lasting Wine server" >&2
    exit 1
  fi
  wineserver -w 2>/dev/null || sleep 1
done
trap 'wineserver -k 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM

# The first program a fresh server runs starts Wine's own services, which
# inherit that program's standard streams and live as long as the server.
# Started here with no streams, they cannot keep a test's output pipe open
# (ctest would wait for its end until the run is killed).
"$here/wine-run.sh" "$prefix" wineboot </dev/null >/dev/null 2>&1 || true

# Under set -e a failing command ends the script with its status; the trap
# still stops the server.
"$@"
