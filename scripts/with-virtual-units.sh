#!/usr/bin/env bash
# Runs a Windows program under Wine with virtual units on COM1..COM4 of the test prefix, then stops them; exits with the
# program's status. COM1 a unit in download mode, COM2 silent, COM3 a wrong check byte in every reply, COM4 noise and
# 9600-baud pacing. COM1 and COM4 leave their memory in $QBV_PORT_DIR/memory-com1.bin and memory-com4.bin. QBV_WINE_ARCH (win64 or win32) names the build the program belongs to.
#   with-virtual-units.sh VIRTUAL_UNIT PROGRAM [ARGUMENT...]
set -u
VIRTUAL_UNIT="$1"
shift
source "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
qbv_ensure_prefix

pids=()
stop_units() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    pids=()
}
trap stop_units EXIT

start_unit() {
    local port="$1"
    shift
    local out="$QBV_PORT_DIR/stdout-$port.txt"
    rm -f "$QBV_PORT_DIR/transcript-$port.txt"
    "$VIRTUAL_UNIT" --link "$QBV_PORT_DIR/$port" --transcript "$QBV_PORT_DIR/transcript-$port.txt" "$@" > "$out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do
        grep -q '^READY' "$out" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "virtual unit on $port did not become ready" >&2
    cat "$out" >&2
    return 1
}

rm -f "$QBV_PORT_DIR"/memory-com*.bin
start_unit com1 --memory-out "$QBV_PORT_DIR/memory-com1.bin" || exit 1
start_unit com2 --silent || exit 1
start_unit com3 --corrupt-every 1 || exit 1
start_unit com4 --noise 5 --baud 9600 --memory-out "$QBV_PORT_DIR/memory-com4.bin" || exit 1

export QBV_PORT_DIR
"$QBV_WINE" "$@"
status=$?
wineserver -w
stop_units
exit $status
