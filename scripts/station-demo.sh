#!/usr/bin/env bash
# The station's demo (not a test): qbv-station on eight virtual units, a few of them faulty, in headless chromium;
# screenshots of the page mid-download, after, and of the history page into build/station-demo/.
#   ./scripts/station-demo.sh
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source "$ROOT/scripts/packages.sh"
qbv_install_packages || exit 1
mkdir -p build/logs build/station-demo
{ cmake --preset release && cmake --build build/release; } >build/logs/station-demo.log 2>&1 ||
    { echo "the build failed (build/logs/station-demo.log)"; exit 1; }
/usr/bin/python3 scripts/station_run.py demo build/release/bin build/station-demo
