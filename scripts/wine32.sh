#!/usr/bin/env bash
# Sourced by wine-prefix.sh: 32-bit Wine for the i686 build, run through user-mode emulation (qemu-i386 via binfmt_misc),
# set up once inside the build tree from Debian's packages without touching the system's own Wine.
QBV_WINE32_DIR="$QBV_ROOT/build/wine32"
QBV_WINE32_ROOT="$QBV_WINE32_DIR/root"              # wine32, libwine and their i386 dependencies, unpacked
QBV_QEMU_I386="$QBV_WINE32_DIR/qemu-i386"
QBV_BINFMT="/proc/sys/fs/binfmt_misc"
QBV_BINFMT_NAME="qbv-qemu-i386"
QBV_DEBIAN="http://deb.debian.org/debian"
QBV_DEBIAN_KEYRING="/usr/share/keyrings/debian-archive-keyring.gpg"
# An i386 ELF executable: class 32-bit, little-endian, type EXEC or DYN, machine 3.
QBV_I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
QBV_I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# qbv_private_apt FOLDER ARCH SOURCE_LINE...: apt-get options for a private configuration (own sources, state and
# cache) in FOLDER; prints them one a line.
qbv_private_apt() {
    local folder="$1" arch="$2"
    shift 2
    mkdir -p "$folder/state/lists/partial" "$folder/cache/archives/partial"
    touch "$folder/state/status"
    printf '%s\n' "$@" > "$folder/sources.list"
    printf '%s\n' -o "Dir::State=$folder/state" -o "Dir::State::status=$folder/state/status" \
        -o "Dir::Cache=$folder/cache" -o "Dir::Etc::SourceList=$folder/sources.list" -o "Dir::Etc::SourceParts=/dev/null" \
        -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root"
}

# qemu-i386 of QEMU 10 from bookworm-backports (bookworm's own 7.2 is far too slow with Wine): only that one binary.
qbv_fetch_qemu_i386() {
    [ -x "$QBV_QEMU_I386" ] && return 0
    local apt="$QBV_WINE32_DIR/apt-backports" options
    mapfile -t options < <(qbv_private_apt "$apt" amd64 "deb [signed-by=$QBV_DEBIAN_KEYRING] $QBV_DEBIAN bookworm-backports main")
    apt-get "${options[@]}" -qq update &&
        (cd "$apt" && apt-get "${options[@]}" -qq download qemu-user/bookworm-backports) || return 1
    dpkg-deb --fsys-tarfile "$apt"/qemu-user_*.deb | tar -x -O ./usr/bin/qemu-i386 > "$QBV_QEMU_I386.part" &&
        chmod +x "$QBV_QEMU_I386.part" && mv "$QBV_QEMU_I386.part" "$QBV_QEMU_I386"
}

# Routes i386 executables through qemu-i386; the F flag opens the interpreter now, so it works from any root.
qbv_register_binfmt() {
    [ -e "$QBV_BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$QBV_BINFMT" || return 1
    local entry="$QBV_BINFMT/$QBV_BINFMT_NAME"
    if [ -e "$entry" ]; then
        grep -qx "interpreter $QBV_QEMU_I386" "$entry" && grep -qx enabled "$entry" && return 0
        echo -1 > "$entry" || return 1
    fi
    printf '%b' ":$QBV_BINFMT_NAME:M::$QBV_I386_MAGIC:$QBV_I386_MASK:$QBV_QEMU_I386:F" > "$QBV_BINFMT/register"
}

# wine32 and libwine for i386 at exactly the installed wine64's version, with their dependencies, unpacked into a
# private root; then what libwine's maintainer script would have done (zlib1.dll as a Wine built-in), ld.so.cache.
qbv_unpack_wine32_root() {
    local version marker="$QBV_WINE32_ROOT/.qbv-wine32-version"
    version="$(dpkg-query -W -f='${Version}' wine64)" || return 1
    [ -f "$marker" ] && [ "$(cat "$marker")" = "$version" ] && return 0
    local apt="$QBV_WINE32_DIR/apt-i386" options deb
    mapfile -t options < <(qbv_private_apt "$apt" i386 \
        "deb [signed-by=$QBV_DEBIAN_KEYRING] $QBV_DEBIAN bookworm main" \
        "deb [signed-by=$QBV_DEBIAN_KEYRING] $QBV_DEBIAN bookworm-updates main" \
        "deb [signed-by=$QBV_DEBIAN_KEYRING] http://deb.debian.org/debian-security bookworm-security main")
    apt-get "${options[@]}" -qq update &&
        apt-get "${options[@]}" -qq install --download-only -y --no-install-recommends \
            "wine32=$version" "libwine=$version" >/dev/null || return 1
    rm -rf "$QBV_WINE32_ROOT"
    mkdir -p "$QBV_WINE32_ROOT"
    for deb in "$apt"/cache/archives/*.deb; do dpkg -x "$deb" "$QBV_WINE32_ROOT" || return 1; done
    local mingw wine_arch in
    for mingw in i686 x86_64; do
        wine_arch=$mingw
        [ "$mingw" = i686 ] && wine_arch=i386
        in="$QBV_WINE32_ROOT/usr/$mingw-w64-mingw32/lib/zlib1.dll"
        { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } \
            > "$QBV_WINE32_ROOT/usr/lib/i386-linux-gnu/wine/$wine_arch-windows/zlib1.dll" || return 1
    done
    echo 'include /etc/ld.so.conf.d/*.conf' > "$QBV_WINE32_ROOT/etc/ld.so.conf"
    ldconfig -r "$QBV_WINE32_ROOT" || return 1
    mkdir -p "$QBV_WINE32_ROOT/var/cache/fontconfig"
    echo "$version" > "$marker"
}

# qbv_ensure_wine32: sets up (once) and exports what runs the i686 build: QBV_WINE names the 32-bit loader.
qbv_ensure_wine32() {
    mkdir -p "$QBV_WINE32_DIR"
    if ! { qbv_fetch_qemu_i386 && qbv_register_binfmt && qbv_unpack_wine32_root; }; then
        echo "cannot set up 32-bit Wine under emulation in $QBV_WINE32_DIR"
        return 1
    fi
    export QEMU_LD_PREFIX="$QBV_WINE32_ROOT" WINEARCH=win32 WINELOADER="$QBV_WINE32_ROOT/usr/lib/wine/wine"
    export WINESERVER=/usr/lib/wine/wineserver64 QBV_WINE="$QBV_WINE32_ROOT/usr/lib/wine/wine"
}
