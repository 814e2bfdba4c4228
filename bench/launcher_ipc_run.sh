#!/usr/bin/env bash
# The whole launcher run with its IPC layer: the Linux build started without arguments brings IPC
# up (its channel, receive thread and pools, its ipc-inited mutex), dispatches, closes its log and
# shuts IPC down, storing its statistics in the registry. hyperfine times it against /bin/true in
# the same run, both started directly (no shell), with a fresh temporary folder, named-object
# folder and registry. The registry's hive is rewritten and synced to disk on each of the four
# statistics writes, so the run is timed twice: with the hive on the disk (the temporary folder)
# and with the hive on tmpfs (/dev/shm), where the sync costs nothing. Prints the medians and
# their differences; the goal is at most 5 ms more than /bin/true.
#   bench/launcher_ipc_run.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
goal_ms=5

cmake --preset linux >/dev/null
cmake --build --preset linux --target VelmoraLauncher >/dev/null
launcher=$PWD/build/linux/bin/VelmoraLauncher.exe

work=$(mktemp -d)
shm=$(mktemp -d /dev/shm/velmora-bench-XXXXXX)
trap 'rm -rf "$work" "$shm"' EXIT
mkdir "$work/tmp" "$work/registry" "$shm/registry" "$shm/objects"
export TMPDIR=$work/tmp
export VELMORA_OBJECT_DIR=$shm/objects

run() {  # <label> <registry folder>
  export VELMORA_REGISTRY_DIR=$2
  hyperfine -N --style basic --warmup 20 --runs "$runs" --export-csv "$work/$1.csv" \
    --command-name true /bin/true --command-name launcher "$launcher" >/dev/null
  # CSV columns: command,mean,stddev,median,user,system,min,max (seconds).
  awk -F, -v goal="$goal_ms" -v label="$1" '
    $1 == "true" { t = $4 }
    $1 == "launcher" { l = $4; lu = $5; ls = $6 }
    END {
      diff = (l - t) * 1000
      printf "%-13s median /bin/true: %.3f ms, launcher: %.3f ms (cpu %.3f ms), difference: %.3f ms (goal: at most %d ms, %s)\n",
        label, t * 1000, l * 1000, (lu + ls) * 1000, diff, goal, diff <= goal ? "met" : "NOT met"
    }' "$work/$1.csv"
}

run "hive on tmpfs" "$shm/registry"
run "hive on disk" "$work/registry"
grep -c "log start" "$TMPDIR/Quorlen/Velmora/launcher.log" | xargs -I{} echo "launcher runs logged: {}"
grep -o '"ipc_recv_analysis_10"="[^"]*"' "$work/registry/user.reg" | head -1 |
  xargs -I{} echo "statistics stored: {}"
