#!/usr/bin/env bash
# Sourced by the test scripts: a private, headless Wine prefix inside the build tree, with COM1..COM8 mapped to stable
# paths, for the Windows build QBV_WINE_ARCH names: win64 (default, run by wine64) or win32 (the shipped i686 build,
# run by 32-bit Wine under emulation). QBV_WINE is the loader that runs a program of that build.
#   COM1..COM4 belong to with-virtual-units.sh; COM5..COM8 to runners that start units of their own.
QBV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QBV_WINE_ARCH="${QBV_WINE_ARCH:-win64}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts
QBV_MAPPED_PORTS="com1 com2 com3 com4 com5 com6 com7 com8"
if [ "$QBV_WINE_ARCH" = win32 ]; then
    source "$QBV_ROOT/scripts/wine32.sh"
    qbv_ensure_wine32 || exit 1
    export WINEPREFIX="${QBV_WINEPREFIX:-$QBV_ROOT/build/wine32-prefix}"
    QBV_PORT_DIR="${QBV_PORT_DIR:-$QBV_ROOT/build/wine32-ports}"
else
    export WINEPREFIX="${QBV_WINEPREFIX:-$QBV_ROOT/build/wine-prefix}"
    QBV_PORT_DIR="${QBV_PORT_DIR:-$QBV_ROOT/build/wine-ports}"   # a second prefix needs a folder of its own
    QBV_WINE=wine
fi

qbv_ensure_prefix() {
    mkdir -p "$QBV_PORT_DIR"
    # The marker names the folder and the ports mapped; a prefix mapped with fewer ports is mapped again.
    local marker="$WINEPREFIX/.qbv-ports-mapped"
    local wanted="$QBV_PORT_DIR $QBV_MAPPED_PORTS"
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$wanted" ]; then
        return 0
    fi
    "$QBV_WINE" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    local reg="$QBV_PORT_DIR/ports.reg"
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for port in $QBV_MAPPED_PORTS; do
            printf '"%s"="%s"\r\n' "${port^^}" "$QBV_PORT_DIR/$port"
        done
    } > "$reg"
    "$QBV_WINE" regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1
    wineserver -w
    echo "$wanted" > "$marker"
}
