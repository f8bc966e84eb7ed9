#!/usr/bin/env bash
# Benchmark (not a test): times downloads through the real window under wine64 against a virtual unit that paces
# every byte at the line rate, and splits the time into wire time, the link's imposed waits and the host's overhead.
#   ./scripts/bench.sh
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH_DIR="$ROOT/build/bench"
BENCH_PORT=com7
PACED_IMAGE_BYTES=$((64 * 1024))    # paced runs: small enough that 9600 baud takes about a minute and a half
FULL_IMAGE_BYTES=$((256 * 1024))    # the demo's image, downloaded with pacing off
IMAGE_SEED=2026
PACED_BAUDS="${QBV_BENCH_BAUDS:-9600 19200 38400}"  # QBV_BENCH_BAUDS picks fewer for a quick look
BITS_PER_BYTE=11                    # start, 8 data, parity, stop
POLL_WAIT_S=0.010                   # the link worker's wait before a poll that is posted without a wake-up
BLOCK_BYTES=246
SCREEN="1024x768x24"
UNPACED_BAUD=38400                  # the baud rate selected in the window when pacing is off

cd "$ROOT"
source "$ROOT/scripts/packages.sh"
qbv_install_packages || exit 1
source "$ROOT/scripts/download-session.sh"
mkdir -p "$BENCH_DIR"
echo "== building (log: build/bench/build.log)"
qbv_build_for_downloads "$BENCH_DIR/build.log" || { echo "the build failed"; exit 1; }
qbv_ensure_prefix
trap qbv_stop_unit EXIT

"$QBV_HOST_BIN/make-sample-image" "$BENCH_DIR/paced.bin" "$PACED_IMAGE_BYTES" "$IMAGE_SEED" >/dev/null &&
    "$QBV_HOST_BIN/make-sample-image" "$BENCH_DIR/full.bin" "$FULL_IMAGE_BYTES" "$IMAGE_SEED" >/dev/null ||
    { echo "no sample image"; exit 1; }

rows=()
# bench_run LABEL IMAGE BAUD(0 = pacing off)
bench_run() {
    local label="$1" image="$2" baud="$3"
    local run="$BENCH_DIR/$label"
    mkdir -p "$run"
    local pacing=()
    [ "$baud" -ne 0 ] && pacing=(--baud "$baud" --pace-received)
    qbv_start_unit "$BENCH_PORT" "$run" "${pacing[@]}" || return 1
    local selected=$([ "$baud" -ne 0 ] && echo "$baud" || echo "$UNPACED_BAUD")
    echo "== $label: $(stat -c %s "$image") bytes, ${pacing[*]:-pacing off}"
    xvfb-run -a -s "-screen 0 $SCREEN" bash -c 'source "$1/scripts/download-session.sh"; qbv_run_operator bench "${@:2}"' \
        _ "$ROOT" "$run" "$image" "$BENCH_PORT" "$selected" >"$run/operator.log" 2>&1
    local status=$?
    qbv_stop_unit
    if [ $status -ne 0 ] || ! cmp -s "$image" "$run/unit-memory.bin"; then
        grep '^FAIL' "$run/operator.log"
        echo "the download failed (build/bench/$label/operator.log)"
        return 1
    fi
    local measured
    measured="$(sed -n 's/^measured-seconds //p' "$run/operator.log" | tr -d '\r')"
    local blocks=$(( ($(stat -c %s "$image") + BLOCK_BYTES - 1) / BLOCK_BYTES ))
    # Every frame byte both ways: IN and OUT lines of the transcript, their bytes after the time and the tag.
    rows+=("$(awk -v label="$label" -v baud="$baud" -v measured="$measured" -v blocks="$blocks" \
                  -v bits="$BITS_PER_BYTE" -v wait="$POLL_WAIT_S" '
        $2 == "IN" || $2 == "OUT" || $2 == "NOISE" { bytes += NF - 2 }
        $2 == "IN" && $5 == "11" { polls++ }
        $2 == "IN" && $5 == "D1" { sent++ }
        $2 == "IN" && first == "" { first = $1 }
        $2 == "OUT" { last = $1 }
        END {
            wire = baud > 0 ? bytes * bits / baud : 0
            waits = polls * wait
            span = last - first
            overhead = (measured - wire - waits) / blocks * 1000
            inside = (span - wire - waits) / blocks * 1000
            printf "| %-8s | %6d | %4d | %6.2f s | %5.2f s | %5.2f s | %5d | %4.2f s | %5.2f ms | %6.2f ms |", label, blocks, sent,
                   measured, span, wire, polls, waits, overhead, inside
        }' "$run/transcript.txt")")
}

failed=0
for baud in $PACED_BAUDS; do
    bench_run "$baud" "$BENCH_DIR/paced.bin" "$baud" || failed=1
done
bench_run "off-64k" "$BENCH_DIR/paced.bin" 0 || failed=1
bench_run "off-256k" "$BENCH_DIR/full.bin" 0 || failed=1

echo
echo "Paced runs: $PACED_IMAGE_BYTES-byte image; pacing off: the same image and the $FULL_IMAGE_BYTES-byte demo image."
echo "measured: Start pressed to outcome box (connecting included); frames: first frame in to last reply out;"
echo "wire = frame bytes both ways x $BITS_PER_BYTE bits / baud; waits = polls x ${POLL_WAIT_S} s;"
echo "host/blk = (measured - wire - waits) / blocks; in frames: the same with the frames' span. Goal: under 2 ms."
echo
echo "| baud     | blocks | sent | measured | frames | wire    | polls | waits  | host/blk | in frames |"
echo "|----------|--------|------|----------|--------|---------|-------|--------|----------|-----------|"
for row in "${rows[@]}"; do echo "$row"; done
exit $failed
