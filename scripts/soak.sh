#!/usr/bin/env bash
# Soak test: many qbv-flash downloads into virtual units with seeded random faults, every run checked (scripts/soak.py).
#   ./scripts/soak.sh [--runs N] [--seed S] [--units K] [--only RUN] [--image-bytes B]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
if [ ! -x build/release/bin/qbv-flash ] || [ ! -x build/release/bin/virtual-unit ]; then
    { cmake --preset release && cmake --build build/release; } >/dev/null || { echo "the release build failed"; exit 1; }
fi
exec python3 "$ROOT/scripts/soak.py" --bin build/release/bin "$@"
