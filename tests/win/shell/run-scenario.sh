#!/usr/bin/env bash
# Runs one end-to-end scenario of the window: a fresh folder holding only a copy of qbv_download.exe, a second
# folder for image files, the driver program under wine64 on its own virtual X display.
#   run-scenario.sh SCENARIO TOOL_EXE UI_DRIVER BUILT_DLL DROP_HELPER
set -u
SCENARIO="$1"
TOOL_EXE="$2"
UI_DRIVER="$3"
BUILT_DLL="$4"
DROP_HELPER="$5"
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$SCRIPT_DIR/../../../scripts/wine-prefix.sh"
qbv_ensure_prefix

work="$(mktemp -d "${TMPDIR:-/tmp}/qbv-window-XXXXXX")"
cleanup() {
    chattr -i "$work/tool" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/tool" "$work/files"
cp "$TOOL_EXE" "$work/tool/qbv_download.exe"

case "$SCENARIO" in
    stale-driver) printf 'stale' > "$work/tool/lk207.dll" ;;
    read-only-folder)
        # As root only the immutable flag keeps files out of a folder.
        if ! chattr +i "$work/tool"; then
            echo "cannot make a read-only folder here (chattr +i failed)"
            exit 1
        fi
        ;;
esac

winpath() { local p="${1//\//\\}"; echo "Z:$p"; }

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '"$@"; status=$?; wineserver -w; exit $status' _ \
    wine "$UI_DRIVER" "$SCENARIO" "$(winpath "$work/tool/qbv_download.exe")" "$(winpath "$work/files")" \
         "$(winpath "$BUILT_DLL")" "$(winpath "$DROP_HELPER")"
