#!/usr/bin/env bash
# Checks a Windows binary statically: it imports system DLLs only and, for a DLL, exports exactly the names given.
#   check-windows-binary.sh OBJDUMP FILE [EXPORT...]
set -u
OBJDUMP="$1"
FILE="$2"
shift 2
SYSTEM_DLLS="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll advapi32.dll setupapi.dll msvcrt.dll bcrypt.dll"
status=0

dump="$("$OBJDUMP" -p "$FILE")" || { echo "cannot read $FILE"; exit 1; }
while read -r dll; do
    lower="$(echo "$dll" | tr 'A-Z' 'a-z')"
    case " $SYSTEM_DLLS " in
        *" $lower "*) ;;
        *) echo "FAIL: $FILE imports $dll, which is not a system DLL"; status=1 ;;
    esac
done < <(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')

if [ $# -gt 0 ]; then
    exports="$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')"
    wanted="$(printf '%s\n' "$@" | sort | tr '\n' ' ')"
    if [ "$exports" != "$wanted" ]; then
        echo "FAIL: $FILE exports [$exports], expected [$wanted]"
        status=1
    fi
fi
[ $status -eq 0 ] && echo "ok: $FILE imports system DLLs only${1:+ and exports exactly: $*}"
exit $status
