#!/usr/bin/env bash
# Demo: downloads a generated sample image into a virtual unit through the real qbv_download.exe we ship (the i686
# build, under 32-bit Wine), prints the outcome box, keeps screenshots in build/demo/ and checks the unit's memory
# against the image.
#   ./scripts/demo.sh [--display] [--win64]   --display: show the window on $DISPLAY instead of a virtual X display;
#                                             --win64: the x86_64 twin under wine64
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEMO_DIR="$ROOT/build/demo"
DEMO_PORT=com6
IMAGE_BYTES=$((256 * 1024))   # a few hundred KiB, with runs of blank blocks
IMAGE_SEED=2026
SCREEN="1024x768x24"          # the virtual display's size and depth

# Inside the display: the download by window-operator.exe, with a helper answering its screenshot requests.
if [ "${1:-}" = "--session" ]; then
    source "$ROOT/scripts/download-session.sh"
    snapshots="$DEMO_DIR/snapshots"
    rm -rf "$snapshots"
    mkdir -p "$snapshots"
    (
        while :; do
            for request in "$snapshots"/*.request; do
                [ -e "$request" ] || continue
                name="$(basename "$request" .request)"
                import -window root "$DEMO_DIR/$name.png" 2>>"$DEMO_DIR/screenshots.log"
                rm -f "$request"
                touch "$snapshots/$name.done"
            done
            sleep 0.05
        done
    ) &
    watcher=$!
    qbv_run_operator demo "$DEMO_DIR" "$DEMO_DIR/sample-image.bin" "$DEMO_PORT" "$(qbv_winpath "$snapshots")" \
        >"$DEMO_DIR/operator.log" 2>&1
    status=$?
    kill "$watcher" 2>/dev/null
    wait "$watcher" 2>/dev/null
    exit $status
fi

use_display=0
export QBV_WINE_ARCH=win32
for option in "$@"; do
    case "$option" in
        --display) use_display=1 ;;
        --win64) QBV_WINE_ARCH=win64 ;;
        *) echo "usage: $0 [--display] [--win64]"; exit 2 ;;
    esac
done
if [ $use_display -eq 1 ] && [ -z "${DISPLAY:-}" ]; then
    echo "--display needs DISPLAY to be set"
    exit 2
fi

cd "$ROOT"
source "$ROOT/scripts/packages.sh"
{ qbv_install_packages imagemagick && qbv_require_commands import; } || exit 1
source "$ROOT/scripts/download-session.sh"
mkdir -p "$DEMO_DIR"
rm -f "$DEMO_DIR"/*.png

echo "== building the $QBV_WINE_ARCH tool (log: build/demo/build.log)"
qbv_build_for_downloads "$DEMO_DIR/build.log" || { echo "the build failed"; exit 1; }
qbv_ensure_prefix

image="$DEMO_DIR/sample-image.bin"
"$QBV_HOST_BIN/make-sample-image" "$image" "$IMAGE_BYTES" "$IMAGE_SEED" >/dev/null || { echo "no sample image"; exit 1; }
echo "== sample image: build/demo/sample-image.bin, $IMAGE_BYTES bytes"

trap qbv_stop_unit EXIT
qbv_start_unit "$DEMO_PORT" "$DEMO_DIR" || exit 1
echo "== virtual unit on ${DEMO_PORT^^} ($(head -n 1 "$DEMO_DIR/unit.out")); downloading through the window"
if [ $use_display -eq 1 ]; then
    bash "$0" --session
else
    xvfb-run -a -s "-screen 0 $SCREEN" bash "$0" --session
fi
driver_status=$?
qbv_stop_unit

echo "== the window's outcome"
sed -n '/^outcome box/,/^download time/p' "$DEMO_DIR/operator.log"
grep '^FAIL' "$DEMO_DIR/operator.log"

ok=1
[ $driver_status -eq 0 ] || { echo "the download through the window failed (build/demo/operator.log)"; ok=0; }
if cmp -s "$image" "$DEMO_DIR/unit-memory.bin"; then
    echo "== the unit's memory equals the image ($(stat -c %s "$DEMO_DIR/unit-memory.bin") bytes)"
else
    echo "the unit's memory differs from the image"
    ok=0
fi
for shot in during-download outcome-box; do
    if [ -s "$DEMO_DIR/$shot.png" ]; then
        echo "== screenshot: build/demo/$shot.png"
    else
        echo "no screenshot $shot.png"
        ok=0
    fi
done
[ $ok -eq 1 ] && echo "== demo succeeded" || echo "== demo FAILED"
[ $ok -eq 1 ]
