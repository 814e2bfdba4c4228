#!/bin/sh
# Runs one Windows test program under Wine with the build tree's own prefix.
# scripts/wine-session.sh starts the prefix's wineserver before ctest and stops it afterwards.
: "${WINEPREFIX:?set WINEPREFIX (scripts/wine-session.sh does)}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
