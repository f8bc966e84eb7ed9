#!/usr/bin/env bash
# Runs the window's checks that FILTER (a gtest filter) names, under wine64 on a virtual X display, in a work folder of
# its own (QBV_WORK): a pristine copy of the tool, the built lk207.dll, the drop helper, a read-only folder holding the
# tool, a folder for image files; with VIRTUAL_UNIT also a sample image with blank runs, a unit on COM5 with slow phases
# (unit/), one on COM8 that never reports Disable (never-disable.txt) and a plain one on COM6 (session/).
#   run-window-checks.sh FILTER CHECKS_EXE TOOL_EXE BUILT_DLL DROP_HELPER [VIRTUAL_UNIT MAKE_SAMPLE_IMAGE]
set -u
FILTER="$1" CHECKS_EXE="$2" TOOL_EXE="$3" BUILT_DLL="$4" DROP_HELPER="$5"
VIRTUAL_UNIT="${6:-}" MAKE_SAMPLE_IMAGE="${7:-}"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-prefix.sh"
qbv_ensure_prefix

IMAGE_BYTES=30000        # 122 blocks with blank runs: a few seconds at full speed
IMAGE_SEED=7
SESSION_IMAGE_BYTES=7000  # 29 blocks: twenty downloads in about a minute
SLOW_PHASE_POLLS=25      # busy polls of the erase and verify phases, long enough to be seen on the status line
REPLY_DELAY_MS=15        # each reply's delay: short-lived status texts stay up long enough to be sampled
UNIT_READY_TRIES=100     # times 0.05 s

work="$(mktemp -d "${TMPDIR:-/tmp}/qbv-window-XXXXXX")"
unit_pids=()
cleanup() {
    for pid in "${unit_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    chattr -i "$work/readonly" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/files" "$work/readonly" "$work/unit" "$work/session"
cp "$TOOL_EXE" "$work/qbv_download.exe" && cp "$TOOL_EXE" "$work/readonly/qbv_download.exe" &&
    cp "$BUILT_DLL" "$work/lk207-built.dll" && cp "$DROP_HELPER" "$work/drop_helper.dll" || exit 1
# As root only the immutable flag keeps files out of a folder.
chattr +i "$work/readonly" || { echo "cannot make a read-only folder here (chattr +i failed)"; exit 1; }

# start_unit PORT TRANSCRIPT [OPTION...]
start_unit() {
    local port="$1" transcript="$2"
    shift 2
    "$VIRTUAL_UNIT" --link "$QBV_PORT_DIR/$port" --transcript "$transcript" "$@" > "$transcript.out" 2>&1 &
    unit_pids+=($!)
    for _ in $(seq 1 "$UNIT_READY_TRIES"); do
        grep -q '^READY' "$transcript.out" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "the virtual unit on $port did not become ready"
    cat "$transcript.out"
    return 1
}
if [ -n "$VIRTUAL_UNIT" ]; then
    "$MAKE_SAMPLE_IMAGE" "$work/unit/image.bin" "$IMAGE_BYTES" "$IMAGE_SEED" >/dev/null ||
        { echo "no sample image"; exit 1; }
    start_unit com5 "$work/unit/transcript.txt" --memory-out "$work/unit/memory.bin" --erase-polls "$SLOW_PHASE_POLLS" \
        --verify-polls "$SLOW_PHASE_POLLS" --delay-ms "$REPLY_DELAY_MS" || exit 1
    start_unit com8 "$work/never-disable.txt" --never-disable || exit 1
    "$MAKE_SAMPLE_IMAGE" "$work/session/image.bin" "$SESSION_IMAGE_BYTES" "$IMAGE_SEED" >/dev/null ||
        { echo "no sample image"; exit 1; }
    start_unit com6 "$work/session/transcript.txt" --memory-out "$work/session/memory.bin" || exit 1
fi

export QBV_WORK="Z:${work//\//\\}"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '"$@"; status=$?; wineserver -w; exit $status' _ \
    "$QBV_WINE" "$CHECKS_EXE" --gtest_filter="$FILTER"
