#!/usr/bin/env bash
# Sourced by test.sh and the demo and benchmark scripts: installs the Debian 12 packages the builds and tests need, then checks that
# every command the scripts call is there.
# wine64 alone brings only /usr/lib/wine/wine64; the wine and wineserver commands come with the wine package.
QBV_PACKAGES="cmake ninja-build clang libclang-rt-14-dev g++ libboost-dev libcli11-dev nlohmann-json3-dev googletest
              mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
              wine wine64 xvfb xauth python3 ansible-core lintian libsqlite3-dev libcpp-httplib-dev pkg-config
              chromium chromium-driver python3-selenium libsodium-dev minisign prometheus curl openssl
              wixl msitools osslsigncode zlib1g-dev libz-mingw-w64-dev"
QBV_COMMANDS="cmake ctest cpack dpkg-deb lintian ninja gcc g++ clang clang++ python3 ansible-playbook wine wineserver winepath xvfb-run
              pkg-config chromium chromedriver minisign promtool curl openssl wixl msibuild msiinfo msiextract osslsigncode
              i686-w64-mingw32-gcc-posix i686-w64-mingw32-g++-posix i686-w64-mingw32-windres i686-w64-mingw32-objdump
              x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump"

# qbv_install_packages [EXTRA_PACKAGE...]: apt-get install of whatever is missing, then the command check; non-zero with
# one line naming what is missing if either fails.
qbv_install_packages() {
    local missing=()
    local p
    for p in $QBV_PACKAGES "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo=sudo
        if ! { $sudo apt-get update -qq &&
               DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }; then
            echo "cannot install the packages: ${missing[*]}"
            return 1
        fi
    fi
    qbv_require_commands $QBV_COMMANDS
}

# qbv_require_commands COMMAND...: one line naming every command that is not on PATH; non-zero if any is missing.
qbv_require_commands() {
    local absent=()
    local c
    for c in "$@"; do
        command -v "$c" >/dev/null 2>&1 || absent+=("$c")
    done
    if [ ${#absent[@]} -gt 0 ]; then
        echo "missing commands after installing the packages: ${absent[*]}"
        return 1
    fi
    return 0
}
