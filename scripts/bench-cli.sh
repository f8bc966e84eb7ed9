#!/usr/bin/env bash
# Benchmark (not a test): times qbv-flash on Linux against virtual units pacing every byte at the line rate, one unit alone and eight at once, and prints one markdown table.
#   ./scripts/bench-cli.sh     (QBV_BENCH_BAUDS="38400" for a quick look, QBV_BENCH_IMAGE_BYTES for another image size)
set -uo pipefail
export LC_ALL=C                     # a point, not a comma, in EPOCHREALTIME and awk's numbers
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH_DIR="$ROOT/build/bench-cli"
BIN="$ROOT/build/release/bin"
IMAGE_BYTES="${QBV_BENCH_IMAGE_BYTES:-$((32 * 1024))}"  # 32 KiB: all three rates, alone and eight at once, in about 3 min
IMAGE_SEED=2026
BAUDS="${QBV_BENCH_BAUDS:-9600 19200 38400}"
UNITS_AT_ONCE=8
BITS_PER_BYTE=11                    # start, 8 data, parity, stop
POLL_WAIT_S=0.010                   # qbv-flash's fixed wait before every status poll
READY_TRIES=100                     # a unit has READY_TRIES x READY_PAUSE_S = 5 s to come up
READY_PAUSE_S=0.05

cd "$ROOT"
source "$ROOT/scripts/packages.sh"
qbv_install_packages time || exit 1
mkdir -p "$BENCH_DIR"
echo "== building (log: build/bench-cli/build.log)"
{ cmake --preset release && cmake --build build/release; } >"$BENCH_DIR/build.log" 2>&1 || { echo "the build failed"; exit 1; }
IMAGE="$BENCH_DIR/image.bin"
"$BIN/make-sample-image" "$IMAGE" "$IMAGE_BYTES" "$IMAGE_SEED" >/dev/null || { echo "no sample image"; exit 1; }

pids=()
stop_units() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    pids=()
}
trap stop_units EXIT

# start_units DIR BAUD COUNT: paced units u1..uCOUNT, each with its link, transcript and memory file in DIR.
start_units() {
    local dir="$1" baud="$2" count="$3" i try
    rm -rf "$dir" && mkdir -p "$dir"
    for i in $(seq 1 "$count"); do
        "$BIN/virtual-unit" --baud "$baud" --pace-received --link "$dir/u$i.tty" --transcript "$dir/u$i.transcript" \
            --memory-out "$dir/u$i.memory" >"$dir/u$i.out" 2>&1 &
        pids+=($!)
    done
    for i in $(seq 1 "$count"); do
        for ((try = 0; try < READY_TRIES; try++)); do
            grep -q '^READY' "$dir/u$i.out" && continue 2
            sleep "$READY_PAUSE_S"
        done
        echo "virtual unit $dir/u$i did not become ready"; cat "$dir/u$i.out"; return 1
    done
}

# flash DIR BAUD COUNT: one qbv-flash for all the units in DIR; sets wall_s (the whole process: start-up, opening the
# ports and exit included, so T1 and T8 are what a user waits for) and cpu_s (its user + system time). Then stops the
# units and fails loudly unless qbv-flash succeeded and every unit's memory equals the image.
flash() {
    local dir="$1" baud="$2" count="$3" i ports=() start status
    for i in $(seq 1 "$count"); do ports+=(--port "$dir/u$i.tty"); done
    start=$EPOCHREALTIME
    /usr/bin/time -o "$dir/cpu.txt" -f "%U %S" "$BIN/qbv-flash" --baud "$baud" --quiet "${ports[@]}" "$IMAGE" \
        >"$dir/flash.out" 2>&1
    status=$?
    wall_s=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
    cpu_s=$(awk 'END { printf "%.2f", $1 + $2 }' "$dir/cpu.txt")
    stop_units
    if [ $status -ne 0 ]; then
        echo "FAIL: qbv-flash exited with $status (${dir#"$ROOT/"}/flash.out):"; cat "$dir/flash.out"; exit 1
    fi
    for i in $(seq 1 "$count"); do
        cmp -s "$IMAGE" "$dir/u$i.memory" || { echo "FAIL: ${dir#"$ROOT/"}/u$i.memory differs from the image"; exit 1; }
    done
}

rows=()
for baud in $BAUDS; do
    echo "== $baud baud: one unit"
    start_units "$BENCH_DIR/$baud-one" "$baud" 1 || exit 1
    flash "$BENCH_DIR/$baud-one" "$baud" 1
    t1=$wall_s
    echo "== $baud baud: $UNITS_AT_ONCE units at once"
    start_units "$BENCH_DIR/$baud-eight" "$baud" "$UNITS_AT_ONCE" || exit 1
    flash "$BENCH_DIR/$baud-eight" "$baud" "$UNITS_AT_ONCE"
    # From the lone unit's transcript: wire time of every frame byte both ways, the polls, the blocks, and the host's
    # gaps: from a reply's last byte (its OUT time is that of its first byte) to the next frame in, less the poll wait.
    rows+=("$(awk -v baud="$baud" -v bits="$BITS_PER_BYTE" -v wait="$POLL_WAIT_S" -v t1="$t1" -v t8="$wall_s" \
                  -v cpu="$cpu_s" -v units="$UNITS_AT_ONCE" '
        $2 == "IN" || $2 == "OUT" { bytes += NF - 2 }
        $2 == "IN" && $5 == "11" { polls++ }
        $2 == "IN" && $5 == "D1" { blocks++ }
        $2 == "IN" && replyEnd != "" { gaps += $1 - replyEnd - ($5 == "11" ? wait : 0); replyEnd = "" }
        $2 == "OUT" { replyEnd = $1 + (NF - 3) * bits / baud }
        END {
            wire = bytes * bits / baud
            waits = polls * wait
            printf "| %5d | %6d | %10.2f | %6.2f | %12.2f | %17.2f | %18.2f | %13.2f | %5.3f | %14.2f |", baud, blocks, t1, wire,
                   waits, (t1 - wire - waits) / blocks * 1000, gaps / blocks * 1000, t8, t8 / t1, cpu / t8 / units * 100
        }' "$BENCH_DIR/$baud-one/u1.transcript")")
done

echo
echo "qbv-flash against paced virtual units, $IMAGE_BYTES-byte image (seed $IMAGE_SEED), $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores."
echo "one unit: wall time of the whole process; wire = frame bytes both ways x $BITS_PER_BYTE bits / baud; poll waits = polls x"
echo "${POLL_WAIT_S} s; overhead = (one unit - wire - poll waits) / blocks sent (goal under 0.5 ms at 38400); host gaps = the"
echo "part of it between a reply's last byte and the next frame, as the unit saw it; ratio = eight / one (goal within 1.10);"
echo "CPU = qbv-flash's user + system time / eight units' wall time / $UNITS_AT_ONCE (goal under 5 %)."
echo
echo "| baud  | blocks | one unit s | wire s | poll waits s | overhead ms/block | host gaps ms/block | eight units s | ratio | CPU % per unit |"
echo "|-------|--------|------------|--------|--------------|-------------------|--------------------|---------------|-------|----------------|"
for row in "${rows[@]}"; do echo "$row"; done
