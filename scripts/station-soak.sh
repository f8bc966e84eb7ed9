#!/usr/bin/env bash
# Station soak: qbv-station run as for weeks, compressed: units plugged in and unplugged over and over on every port
# under seeded faults, pages, uploads, Retry and the manual mode, every download checked (scripts/station_soak.py).
#   ./scripts/station-soak.sh [--minutes M] [--seed S] [--ports N] [--only-port K --first-unit J --units U] [--keep]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
mkdir -p build/logs
if ! { cmake --preset release && nice cmake --build build/release; } >build/logs/station-soak-build.log 2>&1; then
    tail -n 30 build/logs/station-soak-build.log
    echo "the release build failed"
    exit 1
fi
exec /usr/bin/python3 "$ROOT/scripts/station_soak.py" --bin build/release/bin "$@"
