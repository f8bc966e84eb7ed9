#!/usr/bin/env bash
# The station's benchmark (not a test): one unit through qbv-station, then sixteen and thirty-two at once, paced at
# 38400 baud: seconds per run, the station's CPU per unit, and how many tile updates a second the page is sent; then
# the station's CPU seconds per hour while its 32 ports are only polled (60 s watched).
#   ./scripts/station-bench.sh
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source "$ROOT/scripts/packages.sh"
qbv_install_packages || exit 1
mkdir -p build/logs
{ cmake --preset release && cmake --build build/release; } >build/logs/station-bench.log 2>&1 ||
    { echo "the build failed (build/logs/station-bench.log)"; exit 1; }
/usr/bin/python3 scripts/station_run.py bench build/release/bin build/station-bench
