#!/usr/bin/env bash
# Start-up cost of the launcher: the Linux build started with no arguments (start-up, the log
# with its banners, the dispatch's "too few arguments" line, shutdown) timed by hyperfine against
# /bin/true in the same run, both started directly (no shell), with a fresh temporary folder for
# the launcher's log. Prints both medians and their difference; the goal is at most 3 ms.
#   bench/launcher_startup.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-500}
goal_ms=3

cmake --preset linux >/dev/null
cmake --build --preset linux --target VelmoraLauncher >/dev/null
launcher=$PWD/build/linux/bin/VelmoraLauncher.exe

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export TMPDIR=$work/tmp

hyperfine -N --style basic --warmup 20 --runs "$runs" --export-csv "$work/times.csv" \
  --command-name true /bin/true --command-name launcher "$launcher"

# CSV columns: command,mean,stddev,median,user,system,min,max (seconds).
awk -F, -v goal="$goal_ms" '
  $1 == "true" { t = $4 }
  $1 == "launcher" { l = $4 }
  END {
    diff = (l - t) * 1000
    printf "median /bin/true: %.3f ms, launcher: %.3f ms, difference: %.3f ms (goal: at most %d ms, %s)\n",
      t * 1000, l * 1000, diff, goal, diff <= goal ? "met" : "NOT met"
  }' "$work/times.csv"
grep -c "log start" "$TMPDIR/Quorlen/Velmora/launcher.log" | xargs -I{} echo "launcher runs logged: {}"
