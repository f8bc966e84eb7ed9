#!/usr/bin/env bash
# Long-session check (not part of the test command: about a minute under wine64): one window session, twenty downloads
# in a row into one virtual unit, the tool's private bytes and handle count after the second and after the last.
#   ./scripts/long-session.sh        (builds win64 and the host's virtual unit first)
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export QBV_WINE_ARCH=win64
source "$ROOT/scripts/packages.sh"
qbv_install_packages || exit 1
mkdir -p build/logs
{ cmake --preset host && cmake --build build/host --target virtual-unit make-sample-image &&
  cmake --preset win64 && cmake --build build/win64 --target window_checks qbv_download lk207 drop_helper; } \
    >build/logs/long-session.log 2>&1 || { echo "the build failed (build/logs/long-session.log)"; exit 1; }
BIN="$ROOT/build/win64/bin"
bash tests/window/run-window-checks.sh 'WindowLongSession.*' "$BIN/window_checks.exe" "$BIN/qbv_download.exe" \
    "$BIN/lk207.dll" "$BIN/drop_helper.dll" "$ROOT/build/host/bin/virtual-unit" "$ROOT/build/host/bin/make-sample-image"
