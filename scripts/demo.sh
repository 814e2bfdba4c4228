#!/usr/bin/env bash
# Runs the launcher's main job against a stand-in emulator: the emulator runs, the launcher hands
# it an app launch request, the emulator confirms it. Shows the packet the emulator received and
# the section this run added to the launcher's log, then the IPC statistics the run stored.
# Everything it touches (log, named objects, registry) lives under build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target VelmoraLauncher velmora-peer velmora-inspect >/dev/null

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/tmp"
export TMPDIR=$demo/tmp
export VELMORA_REGISTRY_DIR=$demo/registry VELMORA_OBJECT_DIR=$demo/objects
bin=$PWD/build/linux/bin

"$bin/velmora-peer.exe" --role emulator --quiet --out "$demo/emulator.jsonl" &
peer=$!
trap 'kill $peer 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '"event":"ready"' "$demo/emulator.jsonl" 2>/dev/null && break
  sleep 0.1
done

request=(--launch-proc-name VelmoraEmulator.exe --launch-pkg-name com.example.notes --from 5)
echo "\$ VelmoraLauncher.exe ${request[*]}"
status=0
"$bin/VelmoraLauncher.exe" "${request[@]}" || status=$?
echo "exit code: $status"
echo
echo "--- packet received by the emulator"
grep '"event":"packet"' "$demo/emulator.jsonl" || true
echo
echo "--- $TMPDIR/Quorlen/Velmora/launcher.log"
cat "$TMPDIR/Quorlen/Velmora/launcher.log"
echo
echo "\$ velmora-inspect.exe stats"
"$bin/velmora-inspect.exe" stats
