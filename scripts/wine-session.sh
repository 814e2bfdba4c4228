#!/usr/bin/env bash
# Runs a command (usually ctest) with a Wine prefix inside the Windows build folder: starts the
# prefix's wineserver, boots the prefix with every standard stream on /dev/null (otherwise Wine's
# helper processes inherit the caller's pipes and ctest never returns), runs the command, and
# stops the wineserver afterwards.
set -euo pipefail
build_dir=${1:?usage: wine-session.sh <windows build folder> <command...>}
shift
export WINEPREFIX="$(cd "$build_dir" && pwd)/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers
mkdir -p "$WINEPREFIX"
# A server already running for this prefix (an earlier session left open) is fine.
wineserver -p </dev/null >/dev/null 2>&1 || true
wineboot -i </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
"$@"
