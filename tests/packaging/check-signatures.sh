#!/usr/bin/env bash
# Authenticode as the build does it, checked with osslsigncode against the tests' own certificate
# (make-test-certificate.sh) and nothing else: every file of the signed build carries a valid signature by it
# (lk207.dll, the copy of it inside qbv_download.exe, qbv_download.exe, qbv-flash.exe, the MSI and the programs in
# it); the unsigned build's files carry none; a wrong password, a missing certificate or a key that is not the
# certificate's stops with one line, and a file that could not be signed is deleted rather than left unsigned.
#   check-signatures.sh CERTIFICATE_FOLDER SIGNED_BUILD UNSIGNED_BUILD
set -u
CERTS="$(realpath "$1")" SIGNED="$(realpath "$2")" UNSIGNED="$(realpath "$3")"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SIGN="$ROOT/packaging/windows/sign.sh"
subject="$(openssl x509 -in "$CERTS/cert.pem" -noout -subject -nameopt compat | sed 's/^subject=//')"
work="$(mktemp -d "${TMPDIR:-/tmp}/qbv-signatures-XXXXXX")"
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# signed_by_us FILE NAME: osslsigncode finds a valid signature, its chain ending at the tests' certificate alone.
signed_by_us() {
    if osslsigncode verify -in "$1" -CAfile "$CERTS/cert.pem" > "$work/verify.txt" 2>&1 &&
       grep -q "Signature verification: ok" "$work/verify.txt" &&
       grep -qF "Subject: $subject" "$work/verify.txt"; then
        echo "signed by $subject: $2"
    else
        fail "$2 carries no valid signature by $subject: $(grep -i 'fail\|error\|no signature' "$work/verify.txt" | head -n 1)"
    fi
}

msi="$(echo "$SIGNED"/qbv-tools-*-x86.msi)"
python3 "$ROOT/tests/packaging/check-windows-file.py" extract "$SIGNED/bin/qbv_download.exe" DLLFILE IDR_LK207_DLL \
    "$work/embedded-lk207.dll" || fail "qbv_download.exe holds no lk207.dll"
mkdir "$work/msi"
(cd "$work/msi" && msiextract "$msi" > /dev/null 2>&1) || fail "msiextract cannot read $msi"
for file in "$SIGNED/bin/lk207.dll" "$work/embedded-lk207.dll" "$SIGNED/bin/qbv_download.exe" \
            "$SIGNED/bin/qbv-flash.exe" "$msi" "$work"/msi/*/*/qbv_download.exe "$work"/msi/*/*/qbv-flash.exe; do
    signed_by_us "$file" "${file#"$work/"}"
done

for file in "$UNSIGNED/bin/lk207.dll" "$UNSIGNED/bin/qbv_download.exe" "$UNSIGNED/bin/qbv-flash.exe"; do
    osslsigncode verify -in "$file" > "$work/verify.txt" 2>&1 && fail "$file of the unsigned build is signed"
done

# one_line_refusal WHAT EXPECTED COMMAND...: the command fails, printing one line that holds EXPECTED.
one_line_refusal() {
    local what="$1" expected="$2"
    shift 2
    local out
    out="$("$@" 2>&1)" && { fail "$what: not refused"; return; }
    [ "$(echo "$out" | grep -c .)" = 1 ] && grep -qF "$expected" <<<"$out" || fail "$what: refused as \"$out\""
    echo "refused: $what: $out"
}
one_line_refusal "the build with a wrong password" "cannot be opened: a wrong password" \
    bash -c 'QBV_SIGN_PASSWORD=wrong cmake --build "$1" --target authenticode_check 2>&1 | grep "^Authenticode:"; exit ${PIPESTATUS[0]}' \
    _ "$SIGNED"
one_line_refusal "a missing certificate" "no certificate file" bash "$SIGN" --pkcs12 "$work/absent.p12" --check
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=another key" -keyout "$work/other.key" \
    -out "$work/other.pem" > /dev/null 2>&1 || fail "openssl made no second key"
cp "$SIGNED/bin/qbv-flash.exe" "$work/cert-and-wrong-key.exe"
one_line_refusal "a key that is not the certificate's" "the key does not belong to the certificate" \
    bash "$SIGN" --cert "$CERTS/cert.pem" --key "$work/other.key" "$work/cert-and-wrong-key.exe"
cp "$SIGNED/bin/qbv-flash.exe" "$work/wrong-password.exe"
one_line_refusal "signing with a wrong password" "wrong password" \
    env QBV_SIGN_PASSWORD=wrong bash "$SIGN" --pkcs12 "$CERTS/test.p12" "$work/wrong-password.exe"
for file in cert-and-wrong-key.exe wrong-password.exe; do
    [ -e "$work/$file" ] && fail "$file was left unsigned instead of deleted"
done
[ $status -eq 0 ] && echo "ok: every file of the signed build is signed by the test certificate, the unsigned build's by none, each fault stops in one line"
exit $status
