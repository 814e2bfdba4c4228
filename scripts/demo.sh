#!/usr/bin/env bash
# Runs the launcher's main job on an embedded sample request and shows what it did: the section
# that this run added to its log, what a replacement emulator received, and the IPC statistics the
# run stored. Everything it touches (log, named objects, registry) lives in a fresh folder under
# build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target VelmoraLauncher velmora-peer velmora-inspect >/dev/null

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/tmp" "$demo/objects" "$demo/registry"
export TMPDIR=$demo/tmp VELMORA_OBJECT_DIR=$demo/objects VELMORA_REGISTRY_DIR=$demo/registry
bin=$PWD/build/linux/bin
launcher=$bin/VelmoraLauncher.exe

# A replacement emulator: announces itself as the running emulator, receives on its channel and
# answers launches on the launch events. Its first line says it is ready.
emulator_lines=$demo/emulator.jsonl
"$bin/velmora-peer.exe" --role emulator --launch-result success --out "$emulator_lines" --quiet &
emulator=$!
trap 'kill $emulator 2>/dev/null || true' EXIT
until grep -q '"event":"ready"' "$emulator_lines" 2>/dev/null; do sleep 0.05; done

request=(--launch-proc-name VelmoraEmulator.exe --launch-pkg-name com.example.notes
         --app-launch-info '{"pkg_name":"com.example.notes","engine_type":2}')
echo "\$ VelmoraLauncher.exe ${request[*]}"
"$launcher" "${request[@]}"
echo "exit code: $?"
echo
echo "--- $TMPDIR/Quorlen/Velmora/launcher.log"
cat "$TMPDIR/Quorlen/Velmora/launcher.log"
echo
echo "--- what the replacement emulator printed ($emulator_lines)"
cat "$emulator_lines"
echo
echo "\$ velmora-inspect.exe stats"
"$bin/velmora-inspect.exe" stats
