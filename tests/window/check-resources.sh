#!/usr/bin/env bash
# Checks the resources of a built qbv_download.exe statically: dialogs 129 and 100 with their captions (the About
# box naming VERSION), icon 128 as one 32 x 32 16-colour image, the string table 128..141 with its exact texts, the
# manifest for this build's processor, and the driver library resource IDR_LK207_DLL of type DLLFILE with the bytes
# of the built lk207.dll.
#   check-resources.sh WINDRES EXE BUILT_DLL PROCESSOR VERSION
set -u
WINDRES="$1"
EXE="$2"
BUILT_DLL="$3"
PROCESSOR="$4"
VERSION="$5"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

"$WINDRES" -i "$EXE" -O rc -o "$work/all.rc" || { echo "cannot read the resources of $EXE"; exit 1; }
rc="$work/all.rc"

grep -q '^CAPTION "DOWNLOAD PROGRAM Ver.1.20"$' "$rc" || fail "dialog 129's caption"
grep -q '^EXSTYLE 0x10$' "$rc" || fail "dialog 129 accepts dropped files"
grep -q '^CAPTION "About"$' "$rc" || fail "the About dialog"
awk '/Name: 129\./{found=1} END{exit !found}' "$rc" || fail "dialog 129"
awk '/Type: dialog/{d=1} d && /Name: 100\./{found=1} END{exit !found}' "$rc" || fail "dialog 100"
for control in 'EDITTEXT 1000, 71, 13, 122, 12' 'PUSHBUTTON "BROWSE", 1001, 198, 13, 50, 12' \
               'COMBOBOX 1002, 41, 37, 62, 82' 'COMBOBOX 1003, 175, 37, 76, 81' \
               'PUSHBUTTON "Start Download", 1006, 11, 84, 307, 32' 'PUSHBUTTON "Connect", 1012, 263, 38, 46, 11' \
               'LTEXT "", 1004, 79, 65, 235, 10' 'LTEXT "", 1013, 280, 15, 28, 8' 'RTEXT "CRC:", -1, 253, 15, 17, 8' \
               "CTEXT \"qbv_download Application v$VERSION\", -1, 25, 57, 78, 32" 'DEFPUSHBUTTON "OK", 1, 130, 81, 50, 14'; do
    grep -qF "  $control," "$rc" || fail "control: $control"
done
grep -q 'CONTROL "", 1005, "MSCTLS_PROGRESS32"' "$rc" || grep -qi 'CONTROL "", 1005, "msctls_progress32"' "$rc" \
    || fail "the progress bar 1005"

# Icon 128: one image, 32 x 32, 16 colours, 4 bits per pixel.
awk '/Type: group icon/{g=1} g && /Name: 128\./{found=1} END{exit !found}' "$rc" || fail "icon group 128"
[ "$(grep -c 'Type: icon' "$rc")" = 1 ] || fail "exactly one icon image"

# The string table, exactly: ids 128..141 (130 unused) and their texts.
"$WINDRES" -i "$EXE" -O coff -o "$work/res.o" 2>/dev/null
expected_strings=(
    '128|Download PROGRAM Ver 1.20' '129|DOWNLOAD PROGRAM Ver.1.20' '131|Download file is not selected.'
    '132|Unit is not connected.' '133|Failed in the initialization of the communication port.'
    '134|Download is not Ready' '135|File Open Error' '136|Memory Allocate Error' '137|CRC is not corresponding. '
    '138|No ACK from the unit' '139|Download succeeded' '140|Download failed' '141|Download Error')
awk '/^STRINGTABLE/{s=1; next} s && /^END/{s=0} s && /^  [0-9]+, "/' "$rc" \
    | sed 's/^  \([0-9]*\), "\(.*\)"$/\1|\2/' > "$work/strings.txt"
printf '%s\n' "${expected_strings[@]}" > "$work/expected.txt"
diff -u "$work/expected.txt" "$work/strings.txt" > "$work/strings.diff" || { fail "the string table"; cat "$work/strings.diff"; }

# The manifest: common controls 6.0 for this build's processor.
manifest="$(awk '/Type: 24/{m=1} m' "$rc" | sed -n 's/^ *"\(.*\)"$/\1/p' | tr -d '\n' | sed 's/""/"/g; s/\\n//g')"
echo "$manifest" | grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' || fail "manifest: common controls 6.0"
[ "$(echo "$manifest" | grep -o "processorArchitecture=\"$PROCESSOR\"" | wc -l)" = 2 ] \
    || fail "manifest: processor $PROCESSOR for the tool and for common controls"

# The driver library resource: exactly the bytes of the built lk207.dll.
"$WINDRES" -i "$EXE" -O res -o "$work/all.res" || fail "cannot convert to .res"
python3 - "$work/all.res" "$BUILT_DLL" <<'PY' || fail "IDR_LK207_DLL of type DLLFILE does not hold the built lk207.dll"
import struct, sys
data = open(sys.argv[1], "rb").read()
want = open(sys.argv[2], "rb").read()

def name_at(buf, pos):
    if struct.unpack_from("<H", buf, pos)[0] == 0xFFFF:
        return struct.unpack_from("<H", buf, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", buf, end)[0] != 0:
        end += 2
    return buf[pos:end].decode("utf-16-le"), end + 2

pos, found = 0, False
while pos + 8 <= len(data):
    size, header = struct.unpack_from("<II", data, pos)
    kind, p = name_at(data, pos + 8)
    name, p = name_at(data, p)
    body = pos + header
    if kind == "DLLFILE" and name == "IDR_LK207_DLL":
        found = data[body:body + size] == want
    pos = (body + size + 3) & ~3
sys.exit(0 if found else 1)
PY

[ $status -eq 0 ] && echo "ok: $EXE has dialogs 129 and 100, icon 128, strings 128..141, the $PROCESSOR manifest and the built lk207.dll"
exit $status
