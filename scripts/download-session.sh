#!/usr/bin/env bash
# Sourced by demo.sh and bench.sh: builds what a download through the real window needs, starts a virtual unit on a
# COM port of the private Wine prefix, and runs the window's driver program against it in a fresh tool folder.
source "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
QBV_HOST_BIN="$QBV_ROOT/build/host/bin"
QBV_WIN64_BIN="$QBV_ROOT/build/win64/bin"
QBV_UNIT_READY_TRIES=100     # times 0.05 s: how long a starting unit may take

# qbv_build_for_downloads LOG: the host's virtual unit and image generator, the win64 tool, library and driver program.
qbv_build_for_downloads() {
    local log="$1"
    ( cd "$QBV_ROOT" &&
      cmake --preset host && cmake --build build/host --target virtual-unit make-sample-image &&
      cmake --preset win64 && cmake --build build/win64 --target ui_driver ) >"$log" 2>&1 || {
        tail -n 40 "$log"
        return 1
    }
}

qbv_winpath() { local p="${1//\//\\}"; echo "Z:$p"; }

# qbv_start_unit PORT FOLDER [OPTION...]: a unit on PORT (com5..com8) logging to FOLDER/transcript.txt and saving its
# memory to FOLDER/unit-memory.bin; sets QBV_UNIT_PID and exports the variables the driver program reads.
qbv_start_unit() {
    local port="$1" folder="$2"
    shift 2
    rm -f "$folder/transcript.txt" "$folder/unit-memory.bin" "$folder/unit.out"
    "$QBV_HOST_BIN/virtual-unit" --link "$QBV_PORT_DIR/$port" --transcript "$folder/transcript.txt" \
        --memory-out "$folder/unit-memory.bin" "$@" >"$folder/unit.out" 2>&1 &
    QBV_UNIT_PID=$!
    local try
    for try in $(seq 1 "$QBV_UNIT_READY_TRIES"); do
        grep -q '^READY' "$folder/unit.out" 2>/dev/null && break
        sleep 0.05
    done
    if ! grep -q '^READY' "$folder/unit.out" 2>/dev/null; then
        echo "the virtual unit on $port did not become ready" >&2
        cat "$folder/unit.out" >&2
        return 1
    fi
    export QBV_UNIT_PORT="${port^^}"
    export QBV_UNIT_MEMORY QBV_UNIT_TRANSCRIPT
    QBV_UNIT_MEMORY="$(qbv_winpath "$folder/unit-memory.bin")"
    QBV_UNIT_TRANSCRIPT="$(qbv_winpath "$folder/transcript.txt")"
}

qbv_stop_unit() {
    if [ -n "${QBV_UNIT_PID:-}" ]; then
        kill -TERM "$QBV_UNIT_PID" 2>/dev/null
        wait "$QBV_UNIT_PID" 2>/dev/null
        QBV_UNIT_PID=""
    fi
}

# qbv_run_driver SCENARIO FOLDER IMAGE: a fresh FOLDER/tool holding only the exe, then the driver program under Wine
# on the current display. Its exit status is the scenario's.
qbv_run_driver() {
    local scenario="$1" folder="$2" image="$3"
    rm -rf "$folder/tool" "$folder/files"
    mkdir -p "$folder/tool" "$folder/files"
    cp "$QBV_WIN64_BIN/qbv_download.exe" "$folder/tool/qbv_download.exe"
    export QBV_UNIT_IMAGE
    QBV_UNIT_IMAGE="$(qbv_winpath "$image")"
    wine "$QBV_WIN64_BIN/ui_driver.exe" "$scenario" "$(qbv_winpath "$folder/tool/qbv_download.exe")" \
        "$(qbv_winpath "$folder/files")" "$(qbv_winpath "$QBV_WIN64_BIN/lk207.dll")" \
        "$(qbv_winpath "$QBV_WIN64_BIN/drop_helper.dll")"
    local status=$?
    wineserver -w
    return $status
}
