#!/usr/bin/env bash
# Sets up a Debian 12 machine (installs what is missing), builds host, release, win32 and win64, runs every test, prints a
# summary.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
FUZZ_SECONDS="${QBV_FUZZ_SECONDS:-10}"
SOAK_RUNS="${QBV_SOAK_RUNS:-20}"    # about a minute
SOAK_SEED="${QBV_SOAK_SEED:-1}"
STATION_SOAK_MINUTES="${QBV_STATION_SOAK_MINUTES:-1.5}"  # about two minutes with the stop and the checks
STATION_SOAK_SEED="${QBV_STATION_SOAK_SEED:-1}"

source "$ROOT/scripts/packages.sh"
qbv_install_packages || exit 1

passed=0
failed=0
record() {  # record NAME STATUS
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "== ok: $1"; else failed=$((failed + 1)); echo "== FAILED: $1"; fi
}

mkdir -p build/logs
# The win32 build is signed with a certificate the tests make for themselves (kept in build/test-signing).
signing_dir="$ROOT/build/test-signing"
bash tests/packaging/make-test-certificate.sh "$signing_dir" || record "a test signing certificate" 1
for preset in host release win32 win64; do
    echo "== configure and build: $preset"
    options=()
    [ "$preset" = win32 ] && options=(-DQBV_SIGN_PKCS12="$signing_dir/test.p12" -DQBV_SIGN_PASSWORD_FILE="$signing_dir/password")
    if cmake --preset "$preset" "${options[@]}" >"build/logs/$preset.log" 2>&1 && cmake --build --preset "$preset" >>"build/logs/$preset.log" 2>&1; then
        record "build $preset" 0
        rm -f "build/logs/$preset.log"
    else
        tail -n 40 "build/logs/$preset.log"
        record "build $preset" 1
    fi
done

echo "== layout: OS headers only in _win32/_posix files; each build compiles only its own OS's files"
bash scripts/check-layout.sh build/host build/release build/win32 build/win64
record "layout" $?

# ctest prints its own per-test lines; each test executable counts once here.
run_ctest() {
    local dir="$1"
    local out
    out="$(ctest --test-dir "$dir" --output-on-failure 2>&1)"
    local status=$?
    echo "$out" | grep -v '^ *0x\|^    [0-9a-f]\{4\}: '
    local p f
    p="$(echo "$out" | grep -c 'Test *#[0-9]*: .* Passed')"
    f="$(echo "$out" | grep -c 'Test *#[0-9]*: .*\*\*\*\|Not Run')"
    passed=$((passed + p))
    failed=$((failed + f))
    [ $status -ne 0 ] && [ "$f" -eq 0 ] && failed=$((failed + 1))
    return 0
}

echo "== release: qbv-flash installed into a staging folder, packed as a .deb, and the .deb checked by lintian"
stage="build/release/stage"
deb_paths="usr/bin/qbv-flash usr/share/man/man1/qbv-flash.1.gz usr/share/doc/qbv-flash/copyright
           usr/share/doc/qbv-flash/changelog.Debian.gz"   # what the .deb must hold
lintian_fail_on="error"                                   # lintian's warnings are shown; an error fails the step
lintian_stderr="build/logs/lintian.stderr"                # its complaint about running as root, and any crash
rm -rf "$stage" build/release/*.deb
release_package() {
    cmake --install build/release --prefix "$stage" >/dev/null || { echo "cmake --install failed"; return 1; }
    "$stage/bin/qbv-flash" --version || return 1
    [ -f "$stage/share/man/man1/qbv-flash.1.gz" ] || { echo "no compressed manual page in $stage"; return 1; }
    (cd build/release && cpack >/dev/null) || { echo "cpack failed"; return 1; }
    local deb listing path
    deb="$(echo build/release/qbv-flash_*_amd64.deb)"
    listing="$(dpkg-deb -c "$deb")" || return 1
    for path in $deb_paths; do
        grep -q " \./$path\$" <<<"$listing" || { echo "$deb lacks /$path"; return 1; }
    done
    echo "lintian --fail-on $lintian_fail_on $deb:"
    if ! lintian --fail-on "$lintian_fail_on" "$deb" 2>"$lintian_stderr"; then
        cat "$lintian_stderr"
        return 1
    fi
}
release_package
record "release install, package and lintian" $?

echo "== Authenticode: win32 signed by the tests' certificate (lk207.dll before the window embeds it), win64 unsigned"
bash tests/packaging/check-signatures.sh "$signing_dir" build/win32 build/win64 >build/logs/signatures.log 2>&1
status=$?
grep -v '^signed by' build/logs/signatures.log
record "authenticode" $status

echo "== the fleet role: five local hosts with virtual units through ansible-playbook, a release signed with minisign"
bash tests/ansible/run-fleet-test.sh build/release/bin >build/logs/fleet.log 2>&1
status=$?
[ $status -ne 0 ] && tail -n 60 build/logs/fleet.log
grep '^ok: fleet' build/logs/fleet.log
record "fleet role" $status

echo "== a short soak: downloads into virtual units under random faults, ${SOAK_RUNS} runs of 4 units, seed ${SOAK_SEED}"
python3 scripts/soak.py --bin build/release/bin --runs "$SOAK_RUNS" --seed "$SOAK_SEED" --units 4 >build/logs/soak.log 2>&1
status=$?
tail -n 20 build/logs/soak.log
record "short soak" $status

echo "== a short station soak: units plugged in and out on 4 ports for ${STATION_SOAK_MINUTES} minutes, seed ${STATION_SOAK_SEED}"
/usr/bin/python3 scripts/station_soak.py --bin build/release/bin --minutes "$STATION_SOAK_MINUTES" \
    --seed "$STATION_SOAK_SEED" >build/logs/station-soak.log 2>&1
status=$?
grep -A3 '^BREAK' build/logs/station-soak.log | head -n 40
sed -n '/^| downloads by outcome/,$p' build/logs/station-soak.log | grep -v '^| GET\|^| POST' | tail -n 45
record "station soak" $status

echo "== host tests (ASan/UBSan)"
run_ctest build/host
echo "== win32: the shipped i686 build under 32-bit Wine (user-mode emulation, set up once in build/wine32)"
if (QBV_WINE_ARCH=win32 && source scripts/wine-prefix.sh && qbv_ensure_prefix); then
    run_ctest build/win32
else
    record "32-bit Wine set-up" 1
fi
echo "== the MSI under 32-bit Wine, in a prefix of its own: tables, install, PATH, the window, upgrade, uninstall"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)"
bash tests/packaging/run-msi-test.sh "$version" "build/win32/qbv-tools-$version-x86.msi" build/win32/make-qbv-tools-msi.sh \
    build/win32/bin/window-operator.exe build/host/bin/make-sample-image build/release/bin/qbv-flash >build/logs/msi.log 2>&1
status=$?
[ $status -ne 0 ] && tail -n 60 build/logs/msi.log
grep '^-- \|^ok: ' build/logs/msi.log
record "MSI install, upgrade and uninstall" $status
echo "== win64: the x86_64 build under wine64"
run_ctest build/win64

echo "== fuzzing, ${FUZZ_SECONDS} s per target"
for target in fuzz_comm_message fuzz_base64 fuzz_frame_receiver fuzz_dispatch fuzz_settings fuzz_image_check \
              fuzz_download_procedure fuzz_release_signature; do
    corpus="build/fuzz-corpus/$target"
    mkdir -p "$corpus"
    if [ -x "build/host/bin/$target" ]; then
        build/host/bin/$target -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=4096 "$corpus" >"build/logs/$target.log" 2>&1
        status=$?
        [ $status -ne 0 ] && tail -n 30 "build/logs/$target.log"
        record "$target" $status
    else
        record "$target (not built)" 1
    fi
done

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
