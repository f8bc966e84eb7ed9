#!/usr/bin/env bash
# Sourced by demo.sh and bench.sh: builds what a download through the real window needs, starts a virtual unit on a
# COM port of the private Wine prefix, and runs devtools/window-operator's program against it in a fresh tool folder.
source "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
QBV_HOST_BIN="$QBV_ROOT/build/host/bin"
QBV_WIN_BIN="$QBV_ROOT/build/$QBV_WINE_ARCH/bin"   # the Windows build QBV_WINE_ARCH names (win32 or win64)
QBV_UNIT_READY_TRIES=100     # times 0.05 s: how long a starting unit may take

# qbv_build_for_downloads LOG: the host's virtual unit and image generator, that Windows build's tool and
# window-operator.exe.
qbv_build_for_downloads() {
    local log="$1"
    ( cd "$QBV_ROOT" &&
      cmake --preset host && cmake --build build/host --target virtual-unit make-sample-image &&
      cmake --preset "$QBV_WINE_ARCH" && cmake --build "build/$QBV_WINE_ARCH" --target window-operator ) >"$log" 2>&1 || {
        tail -n 40 "$log"
        return 1
    }
}

qbv_winpath() { local p="${1//\//\\}"; echo "Z:$p"; }

# qbv_start_unit PORT FOLDER [OPTION...]: a unit on PORT (com5..com8) logging to FOLDER/transcript.txt and saving its
# memory to FOLDER/unit-memory.bin; sets QBV_UNIT_PID.
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
}

qbv_stop_unit() {
    if [ -n "${QBV_UNIT_PID:-}" ]; then
        kill -TERM "$QBV_UNIT_PID" 2>/dev/null
        wait "$QBV_UNIT_PID" 2>/dev/null
        QBV_UNIT_PID=""
    fi
}

# qbv_run_operator RUN FOLDER IMAGE PORT LAST: a fresh FOLDER/tool holding only the exe, then under Wine on the current
# display `window-operator.exe RUN TOOL_EXE IMAGE PORT LAST` (RUN demo: LAST is the screenshot folder, a Windows path;
# RUN bench: the baud rate). Its exit status is the run's.
qbv_run_operator() {
    local run="$1" folder="$2" image="$3" port="$4" last="$5"
    rm -rf "$folder/tool"
    mkdir -p "$folder/tool"
    cp "$QBV_WIN_BIN/qbv_download.exe" "$folder/tool/qbv_download.exe"
    "$QBV_WINE" "$QBV_WIN_BIN/window-operator.exe" "$run" "$(qbv_winpath "$folder/tool/qbv_download.exe")" \
        "$(qbv_winpath "$image")" "${port^^}" "$last"
    local status=$?
    wineserver -w
    return $status
}
