#!/usr/bin/env bash
# qbv-flash.exe under Wine: its version (the project's), the port list from the registry (for people and as JSON
# lines), the image's SHA-256 and the release checks this build has, a download into one unit (COM1), then into two
# at once (COM1 and the noisy 9600-baud unit on COM4); each run must exit 0 with a matching line per unit, and each
# unit's memory must equal the image; the doctor and its zip bundle.
#   run-flash-checks.sh VIRTUAL_UNIT MAKE_SAMPLE_IMAGE QBV_FLASH_EXE VERSION
set -u
VIRTUAL_UNIT="$1"
MAKE_SAMPLE_IMAGE="$2"
EXE="$3"
VERSION="$4"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/../../scripts/wine-prefix.sh"
IMAGE_BYTES=3000
folder="$(mktemp -d)"
trap 'rm -rf "$folder"' EXIT
"$MAKE_SAMPLE_IMAGE" "$folder/image.bin" $IMAGE_BYTES 5 >/dev/null || exit 1
status=0

# windows_path PATH: PATH as Wine's Z: drive names it (winepath itself is the 64-bit loader's, which a 32-bit prefix
# refuses).
windows_path() { local path="$1"; echo "Z:${path//\//\\}"; }

# flash_into "PORT..." ARGUMENT...: runs qbv-flash.exe and checks its status, its lines and the units' memories.
flash_into() {
    local ports="$1"
    shift
    local out
    out="$("$HERE/../../scripts/with-virtual-units.sh" "$VIRTUAL_UNIT" "$EXE" "$@" "$folder/image.bin" 2>"$folder/err")"
    local code=$?
    echo "$out"
    [ $code -eq 0 ] || { echo "FAIL: exit code $code for $*"; cat "$folder/err"; status=1; }
    for port in $ports; do
        echo "$out" | grep -q "^$port: The target file was downloaded successfully  CRC:\(....\) FILE-CRC:\1  match" ||
            { echo "FAIL: no matching line for $port"; status=1; }
        local memory="$QBV_PORT_DIR/memory-$(echo "$port" | tr 'A-Z' 'a-z').bin"
        cmp -n $IMAGE_BYTES "$memory" "$folder/image.bin" || { echo "FAIL: the memory of $port differs"; status=1; }
    done
}

qbv_ensure_prefix
version="$("$QBV_WINE" "$EXE" --version 2>/dev/null | tr -d '\r')"
[ "$version" = "qbv-flash $VERSION" ] || { echo "FAIL: --version says \"$version\", not qbv-flash $VERSION"; status=1; }
"$QBV_WINE" "$EXE" --list-ports 2>/dev/null | tr -d '\r' | grep -qw "COM1" || { echo "FAIL: COM1 is not listed"; status=1; }
# Wine's SetupAPI has no Ports-class device for a port mapped in its registry: the JSON lines can name each port only.
"$QBV_WINE" "$EXE" --list-ports --json 2>/dev/null | tr -d '\r' | /usr/bin/python3 -c '
import json, sys
listed = {(port.get("port"), port.get("device")) for port in map(json.loads, sys.stdin)}
missing = [com for com in sys.argv[1].upper().split() if (com, com) not in listed]
sys.exit(f"mapped but not listed: {missing}" if missing else None)' "$QBV_MAPPED_PORTS" ||
    { echo "FAIL: --list-ports --json"; status=1; }
# The image's SHA-256 through the system's cryptography equals sha256sum's; another expected one, or a release key
# (this build checks no signature), is refused with exit 2.
digest="$(sha256sum "$folder/image.bin" | cut -d' ' -f1)"
"$QBV_WINE" "$EXE" --check "$(windows_path "$folder/image.bin")" 2>/dev/null | tr -d '\r' | grep -qx "SHA-256:$digest" ||
    { echo "FAIL: --check does not print the image's SHA-256 $digest"; status=1; }
refused() {  # refused WORDS ARGUMENT...: exit 2 and the words on stderr
    local words="$1"
    shift
    "$QBV_WINE" "$EXE" "$@" "$(windows_path "$folder/image.bin")" >/dev/null 2>"$folder/err"
    local code=$?
    [ $code -eq 2 ] && grep -qF "$words" "$folder/err" || { echo "FAIL: $* gave $code: $(cat "$folder/err")"; status=1; }
}
refused "its SHA-256 is $digest, expected ${digest//?/0}" --expected-sha256 "${digest//?/0}" -p COM1
refused "this Windows build cannot check signatures" --release-key "$(windows_path "$folder/image.bin")" -p COM1
flash_into "COM1" -p COM1 --expected-sha256 "$digest"
flash_into "COM1 COM4" --baud 9600 -p COM1 -p COM4

# --doctor on mapped COM ports: the unit on COM1 answers every status request; the silent COM2 does not, at any
# baud rate. Its bundle is a zip that Python's reader finds whole, naming Windows.
doctor="$("$HERE/../../scripts/with-virtual-units.sh" "$VIRTUAL_UNIT" "$EXE" --doctor --polls 5 -p COM1 -p COM2 \
          --bundle "$(windows_path "$folder/doctor.zip")" 2>&1 | tr -d '\r')"
echo "$doctor"
[ "$(echo "$doctor" | grep -c '^  round trip: .*(5 answers of 5;')" = 1 ] && echo "$doctor" | grep -q "no answer at 9600" ||
    { echo "FAIL: --doctor: COM1 did not answer 5 of 5, or COM2 was not found silent at every baud rate"; status=1; }
/usr/bin/python3 "$HERE/check-doctor-zip.py" "$folder/doctor.zip" Windows || { echo "FAIL: --bundle"; status=1; }
[ $status -eq 0 ] && echo "ok: port list, one unit and two at once, the doctor and its zip bundle"
exit $status
