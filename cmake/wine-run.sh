#!/bin/sh
# Runs one Windows test program under Wine with the build tree's own prefix.
# scripts/wine-session.sh starts the prefix's wineserver before ctest and stops it afterwards.
#
# Every test program writes a line as soon as it starts (unbuffered). Now and then, in parallel
# runs, Wine exits at once with a failure and without starting the program at all; such a run,
# failed and silent, is run once more, and the script says so on its error stream.
: "${WINEPREFIX:?set WINEPREFIX (scripts/wine-session.sh does)}"
export WINEDEBUG="${WINEDEBUG:--all}"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
  wine "$@" >"$out" 2>&1
  rc=$?
  cat "$out"
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -eq 2 ]; then
    break
  fi
  echo "wine-run.sh: wine exited with $rc without any output from $1: running it again" >&2
done
[ "$rc" -eq 0 ] || echo "wine-run.sh: $1 exited with $rc" >&2
exit "$rc"
