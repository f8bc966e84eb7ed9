#!/usr/bin/env bash
# Benchmark (not a test): qbv-flash on Linux against line-paced virtual units, one alone and eight at once, at each baud
# rate and then at 38400 behind a USB-serial adapter's latency timer of 16 ms (its usual default) and of 1 ms; one table.
#   ./scripts/bench-cli.sh     (QBV_BENCH_BAUDS="38400" QBV_BENCH_LATENCIES="" for a quick look, QBV_BENCH_IMAGE_BYTES
#                               for another image size)
set -uo pipefail
export LC_ALL=C                     # a point, not a comma, in EPOCHREALTIME and awk's numbers
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH_DIR="$ROOT/build/bench-cli"
BIN="$ROOT/build/release/bin"
# 32 KiB: the three rates, each alone and eight at once, take about two and a half minutes on two cores, the two
# latency timers about one minute more
IMAGE_BYTES="${QBV_BENCH_IMAGE_BYTES:-$((32 * 1024))}"
IMAGE_SEED=2026
BAUDS="${QBV_BENCH_BAUDS:-9600 19200 38400}"
LATENCIES_MS="${QBV_BENCH_LATENCIES-16 1}"  # adapter latency timers (ms) run at LATENCY_BAUD; empty for none
LATENCY_BAUD=38400
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
{ cmake --preset release && cmake --build build/release; } >"$BENCH_DIR/build.log" 2>&1 ||
    { echo "the build failed"; exit 1; }
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

# start_units DIR BAUD LATENCY_MS COUNT: paced units u1..uCOUNT behind an adapter's latency timer (0 = none), each with
# its link, transcript and memory file in DIR.
start_units() {
    local dir="$1" baud="$2" latency="$3" count="$4" i try
    rm -rf "$dir" && mkdir -p "$dir"
    for i in $(seq 1 "$count"); do
        "$BIN/virtual-unit" --baud "$baud" --pace-received --latency "$latency" --link "$dir/u$i.tty" \
            --transcript "$dir/u$i.transcript" --memory-out "$dir/u$i.memory" >"$dir/u$i.out" 2>&1 &
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

# flash DIR BAUD COUNT [OPTION...]: one qbv-flash for all the units in DIR; sets wall_s (the whole process: start-up, opening the
# ports and exit included, so T1 and T8 are what a user waits for) and cpu_s (its user + system time). Then stops the
# units and fails loudly unless qbv-flash succeeded and every unit's memory equals the image.
flash() {
    local dir="$1" baud="$2" count="$3" i ports=() start status
    shift 3
    for i in $(seq 1 "$count"); do ports+=(--port "$dir/u$i.tty"); done
    start=$EPOCHREALTIME
    /usr/bin/time -o "$dir/cpu.txt" -f "%U %S" "$BIN/qbv-flash" --baud "$baud" --quiet "$@" "${ports[@]}" "$IMAGE" \
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

# bench_row BAUD LATENCY_MS: one unit alone, then eight at once; appends their row to `rows`.
rows=()
bench_row() {
    local baud="$1" latency="$2" dir="$BENCH_DIR/$1-$2ms" t1 host_s median_us
    echo "== $baud baud, latency timer $latency ms: one unit"
    start_units "$dir-one" "$baud" "$latency" 1 || exit 1
    flash "$dir-one" "$baud" 1 --log "$dir-one/log"
    t1=$wall_s
    # The host's own time, from qbv-flash's transcript of the lone unit: from each reply's last byte read to the next
    # frame written, less the poll wait (the transcript's own writing is included, so this is an upper bound).
    # The median exchange shows the host's typical cost apart from the virtual machine's occasional late wake-ups.
    read -r host_s median_us < <(awk -v wait="$POLL_WAIT_S" '
        $2 == "RX" { rx = $1 }
        $2 == "TX" && rx != "" { print $1 - rx - ($5 == "11" ? wait : 0); rx = "" }' "$dir-one/log/"*.log |
        sort -g | awk '{ gap[NR] = $1; host += $1 } END { printf "%.6f %.0f", host, gap[int((NR + 1) / 2)] * 1e6 }')
    echo "== $baud baud, latency timer $latency ms: $UNITS_AT_ONCE units at once"
    start_units "$dir-eight" "$baud" "$latency" "$UNITS_AT_ONCE" || exit 1
    flash "$dir-eight" "$baud" "$UNITS_AT_ONCE"
    # From the lone unit's transcript: wire time of every frame byte both ways, the polls and the blocks.
    rows+=("$(awk -v baud="$baud" -v latency="$latency" -v bits="$BITS_PER_BYTE" -v wait="$POLL_WAIT_S" -v t1="$t1" \
                  -v t8="$wall_s" -v cpu="$cpu_s" -v units="$UNITS_AT_ONCE" -v host="$host_s" -v median="$median_us" '
        $2 == "IN" || $2 == "OUT" { bytes += NF - 2 }
        $2 == "IN" && $5 == "11" { polls++ }
        $2 == "IN" && $5 == "D1" { blocks++ }
        END {
            wire = bytes * bits / baud
            waits = polls * wait
            printf "| %5d | %10d | %6d | %10.2f | %6.2f | %12.2f | %17.2f | %13.2f | %14d | %13.2f | %5.3f | %14.2f |",
                   baud, latency, blocks, t1, wire, waits, (t1 - wire - waits) / blocks * 1000, host / blocks * 1000,
                   median, t8, t8 / t1, cpu / t8 / units * 100
        }' "$dir-one/u1.transcript")")
}

for baud in $BAUDS; do bench_row "$baud" 0; done
for latency in $LATENCIES_MS; do bench_row "$LATENCY_BAUD" "$latency"; done

echo
echo "qbv-flash against paced virtual units: $IMAGE_BYTES-byte image (seed $IMAGE_SEED), $(date -u '+%Y-%m-%d %H:%M UTC'),"
echo "$(nproc) cores. latency = the USB-serial adapter's latency timer the units model (--latency; 0 = no adapter):"
echo "each reply is held until the timer's next tick; blocks = DownloadData frames sent; one unit = wall time of the whole"
echo "process; wire = frame bytes both ways x $BITS_PER_BYTE bits / baud; poll waits = polls x ${POLL_WAIT_S} s; end to end ="
echo "(one unit - wire - poll waits) / blocks: the host, the virtual unit and the adapter's holds together, with both"
echo "sides' wake-ups; host = qbv-flash's own share, from its transcript: each reply's last byte read to the next frame"
echo "written, less the poll wait (goal under 0.5 ms at 38400), and the median of those gaps per exchange, which the"
echo "virtual machine's occasional late wake-ups do not move; ratio = eight / one (goal within 1.10); CPU = qbv-flash's"
echo "user + system time / eight units' wall time / $UNITS_AT_ONCE (goal under 5 %). On a virtual machine the times vary from"
echo "run to run with wake-up latency: rerun to compare."
echo
echo "| baud  | latency ms | blocks | one unit s | wire s | poll waits s | end to end ms/blk | host ms/blk   | host median us | eight units s | ratio | CPU % per unit |"
echo "|-------|------------|--------|------------|--------|--------------|-------------------|---------------|----------------|---------------|-------|----------------|"
for row in "${rows[@]}"; do echo "$row"; done
