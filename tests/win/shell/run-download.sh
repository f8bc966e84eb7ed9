#!/usr/bin/env bash
# Runs one download scenario of the window against a virtual unit of its own on COM5, started with the options the
# scenario calls for, and a sample image with blank runs; the scenario reads the unit's memory and frame log.
#   run-download.sh SCENARIO VIRTUAL_UNIT MAKE_SAMPLE_IMAGE TOOL_EXE UI_DRIVER BUILT_DLL DROP_HELPER
set -u
SCENARIO="$1"
VIRTUAL_UNIT="$2"
MAKE_SAMPLE_IMAGE="$3"
shift 3
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$SCRIPT_DIR/../../../scripts/wine-prefix.sh"
qbv_ensure_prefix

UNIT_PORT=com5
IMAGE_BYTES=30000        # 122 blocks with blank runs: a few seconds at full speed
IMAGE_SEED=7
SLOW_PHASE_POLLS=25      # busy polls of the erase and verify phases, long enough to be seen on the status line
REPLY_DELAY_MS=15        # each reply's delay, so that short-lived status texts stay up long enough to be sampled
WRITE_POLLS_WHILE_CLOSING=20  # a slow write phase, so that the close comes in the middle of the blocks

case "$SCENARIO" in
    download) unit_options=(--erase-polls "$SLOW_PHASE_POLLS" --verify-polls "$SLOW_PHASE_POLLS" --delay-ms "$REPLY_DELAY_MS") ;;
    download-noisy) unit_options=(--noise 3 --corrupt-every 7) ;;
    download-never-disable) unit_options=(--never-disable) ;;
    download-erase-busy) unit_options=(--busy-forever erase) ;;
    download-no-end-ack) unit_options=(--ignore-code 0xD2) ;;
    download-flagged) unit_options=(--flagged) ;;
    download-close|download-cancel) unit_options=(--write-polls "$WRITE_POLLS_WHILE_CLOSING") ;;
    *) echo "no unit set-up for scenario $SCENARIO"; exit 2 ;;
esac

work="$(mktemp -d "${TMPDIR:-/tmp}/qbv-unit-XXXXXX")"
unit_pid=""
cleanup() {
    if [ -n "$unit_pid" ]; then
        kill -TERM "$unit_pid" 2>/dev/null
        wait "$unit_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$MAKE_SAMPLE_IMAGE" "$work/image.bin" "$IMAGE_BYTES" "$IMAGE_SEED" >/dev/null || { echo "no sample image"; exit 1; }
"$VIRTUAL_UNIT" --link "$QBV_PORT_DIR/$UNIT_PORT" --transcript "$work/transcript.txt" --memory-out "$work/memory.bin" \
    "${unit_options[@]}" > "$work/unit.out" 2>&1 &
unit_pid=$!
for _ in $(seq 1 100); do
    grep -q '^READY' "$work/unit.out" 2>/dev/null && break
    sleep 0.05
done
if ! grep -q '^READY' "$work/unit.out"; then
    echo "the virtual unit did not become ready"
    cat "$work/unit.out"
    exit 1
fi

winpath() { local p="${1//\//\\}"; echo "Z:$p"; }
export QBV_UNIT_PORT="${UNIT_PORT^^}"
export QBV_UNIT_IMAGE="$(winpath "$work/image.bin")"
export QBV_UNIT_MEMORY="$(winpath "$work/memory.bin")"
export QBV_UNIT_TRANSCRIPT="$(winpath "$work/transcript.txt")"
echo "unit options: ${unit_options[*]}"
bash "$SCRIPT_DIR/run-scenario.sh" "$SCENARIO" "$@"
status=$?
[ $status -ne 0 ] && tail -n 5 "$work/transcript.txt"
exit $status
