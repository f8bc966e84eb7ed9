#!/usr/bin/env bash
# The file list says what builds where: a C/C++ file that includes an OS header ends in _win32 or _posix (or lies in a
# folder named win32/ or posix/), a file without that mark includes no marked header, and the builds compile only their
# own OS's files (host and release no _win32 file, the Windows builds no _posix file). Prints one line per file that
# breaks a rule and exits 1; silent and 0 when all hold.
#   check-layout.sh [BUILD_DIR...]   (build folders with compile_commands.json; their preset is read from the name)
set -u
cd "$(dirname "${BASH_SOURCE[0]}")/.."
OS_HEADERS='windows|winbase|winreg|winsock2|commctrl|commdlg|shellapi|shlobj|setupapi|tlhelp32|io|process|direct|unistd|fcntl|termios|poll|dirent|pthread|dlfcn|pty|signal|(sys|linux|netinet|arpa)/[a-z_]+'
MARKED='(_win32|_posix)\.(c|cc|cpp|h|hpp)$|(^|/)(win32|posix)/'
status=0
complain() { echo "layout: $1"; status=1; }

while read -r file; do
    marked=0
    [[ "$file" =~ $MARKED ]] && marked=1
    [ $marked -eq 1 ] && continue
    if grep -q -E "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($OS_HEADERS)\.h>" "$file"; then
        complain "$file includes an OS header but carries no _win32 or _posix mark"
    fi
    if grep -q -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*_(win32|posix)\.h"' "$file"; then
        complain "$file has no _win32 or _posix mark but includes a header that has one"
    fi
done < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')

for build in "$@"; do
    commands="$build/compile_commands.json"
    [ -f "$commands" ] || { complain "$commands is missing"; continue; }
    case "$(basename "$build")" in
        win32|win64) foreign=_posix ;;
        *) foreign=_win32 ;;
    esac
    grep -o -E "\"file\": *\"[^\"]*${foreign}\.(c|cc|cpp)\"" "$commands" | sed 's/.*"\([^"]*\)"$/\1/' | sort -u |
        while read -r source; do echo "layout: $(basename "$build") compiles ${source#"$PWD/"}"; done | grep . && status=1
done
exit $status
