#!/usr/bin/env bash
# Runs the launcher's main job on an embedded sample request and shows what it did: the section
# that this run added to its log. Everything it touches lives in a fresh folder under build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target VelmoraLauncher >/dev/null

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/tmp"
export TMPDIR=$demo/tmp
launcher=$PWD/build/linux/bin/VelmoraLauncher.exe

request=(--launch-proc-name VelmoraEmulator.exe --launch-pkg-name com.example.notes
         --app-launch-info '{"pkg_name":"com.example.notes","engine_type":2}')
echo "\$ VelmoraLauncher.exe ${request[*]}"
"$launcher" "${request[@]}"
echo "exit code: $?"
echo
echo "--- $TMPDIR/Quorlen/Velmora/launcher.log"
cat "$TMPDIR/Quorlen/Velmora/launcher.log"
