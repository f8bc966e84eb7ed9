#!/usr/bin/env bash
# Sourced by test.sh and demo.sh: installs the Debian 12 packages the builds and tests need (plus any extra ones), if missing.
QBV_PACKAGES="cmake ninja-build clang libclang-rt-14-dev g++ libboost-dev googletest
              mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
              wine64 xvfb xauth"

# qbv_install_packages [EXTRA_PACKAGE...]: apt-get install of whatever is missing; non-zero if that fails.
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
        $sudo apt-get update -qq || return 1
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
            return 1
    fi
    return 0
}
