#!/usr/bin/env bash
# Authenticode for the Windows files and the MSI, with osslsigncode (SHA-256), for the build (packaging/windows/
# Windows.cmake): signs FILE in place, or with --check only checks the certificate, key and password.
#   sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [--password-file FILE] [--timestamp URL] [--description TEXT]
#           (--check | FILE)
# The password comes from the environment variable QBV_SIGN_PASSWORD when it is set, else from --password-file, and
# never passes on a command line. Any fault is one line and exit status 1; a file that could not be signed is
# deleted, so that the build makes it again rather than ship it unsigned.
set -u
pkcs12="" cert="" key="" password_file="" timestamp="" description="" target=""
while [ $# -gt 0 ]; do
    case "$1" in
        --check) target="--check"; shift; continue ;;
        --pkcs12|--cert|--key|--password-file|--timestamp|--description)
            [ $# -ge 2 ] || { echo "Authenticode: $1 needs a value"; exit 1; } ;;
    esac
    case "$1" in
        --pkcs12) pkcs12="$2" ;;
        --cert) cert="$2" ;;
        --key) key="$2" ;;
        --password-file) password_file="$2" ;;
        --timestamp) timestamp="$2" ;;
        --description) description="$2" ;;
        -*) echo "Authenticode: unknown option $1"; exit 1 ;;
        *) target="$1"; shift; continue ;;
    esac
    shift 2
done

fail() {
    echo "Authenticode: $1"
    [ "$target" != "--check" ] && [ -n "$target" ] && rm -f "$target" "$target.signed"
    exit 1
}
[ -n "$target" ] || fail "no file to sign"
command -v osslsigncode >/dev/null && command -v openssl >/dev/null ||
    fail "osslsigncode and openssl are needed to sign (Debian's osslsigncode and openssl)"

# The password for openssl (-passin) and for osslsigncode (read from standard input or the file).
if [ -n "${QBV_SIGN_PASSWORD+set}" ]; then
    passin=(-passin env:QBV_SIGN_PASSWORD)
    feed() { printf '%s\n' "$QBV_SIGN_PASSWORD"; }
    readpass=(-readpass /dev/stdin)
elif [ -n "$password_file" ]; then
    [ -r "$password_file" ] || fail "no password file $password_file"
    passin=(-passin "file:$password_file")
    feed() { :; }
    readpass=(-readpass "$password_file")
else
    passin=(-passin pass:)
    feed() { :; }
    readpass=()
fi

# The certificate and key: present, the password opens them, they belong together, the certificate is in force.
work="$(mktemp -d "${TMPDIR:-/tmp}/qbv-sign-XXXXXX")"
trap 'rm -rf "$work"' EXIT
if [ -n "$pkcs12" ]; then
    [ -r "$pkcs12" ] || fail "no certificate file $pkcs12"
    credentials=(-pkcs12 "$pkcs12")
    # OpenSSL 3 reads the older PKCS#12 ciphers (as Windows exports them) only with -legacy.
    for legacy in "" -legacy; do
        openssl pkcs12 $legacy -in "$pkcs12" "${passin[@]}" -nokeys -clcerts -out "$work/cert.pem" 2>/dev/null &&
            openssl pkcs12 $legacy -in "$pkcs12" "${passin[@]}" -nocerts -nodes -out "$work/key.pem" 2>/dev/null &&
            break
        rm -f "$work/cert.pem" "$work/key.pem"
    done
    [ -s "$work/cert.pem" ] || fail "$pkcs12 cannot be opened: a wrong password, or no PKCS#12 file"
    [ -s "$work/key.pem" ] && grep -q 'PRIVATE KEY' "$work/key.pem" || fail "$pkcs12 holds no private key"
    certificate="$work/cert.pem"
    private_key="$work/key.pem"
    key_passin=(-passin pass:)
else
    [ -n "$cert" ] && [ -n "$key" ] || fail "a certificate needs its key: give both QBV_SIGN_CERT and QBV_SIGN_KEY"
    [ -r "$cert" ] || fail "no certificate file $cert"
    [ -r "$key" ] || fail "no key file $key"
    credentials=(-certs "$cert" -key "$key")
    certificate="$cert"
    private_key="$key"
    key_passin=("${passin[@]}")
fi
openssl x509 -in "$certificate" -noout -pubkey > "$work/cert.pub" 2>/dev/null ||
    fail "$certificate holds no certificate (PEM)"
openssl pkey -in "$private_key" "${key_passin[@]}" -pubout > "$work/key.pub" 2>/dev/null ||
    fail "the key $private_key cannot be opened: a wrong password, or no private key"
cmp -s "$work/cert.pub" "$work/key.pub" || fail "the key does not belong to the certificate ${cert:-in $pkcs12}"
openssl x509 -in "$certificate" -noout -checkend 0 >/dev/null 2>&1 ||
    fail "the certificate ${cert:-in $pkcs12} expired on $(openssl x509 -in "$certificate" -noout -enddate | cut -d= -f2)"
[ "$target" = "--check" ] && exit 0

# The signature: SHA-256, the product's name, a time-stamp when a server is named; then the file replaced.
[ -f "$target" ] || fail "no file $target to sign"
options=(-h sha256)
[ -n "$description" ] && options+=(-n "$description")
[ -n "$timestamp" ] && options+=(-ts "$timestamp")
rm -f "$target.signed"
if ! feed | osslsigncode sign "${credentials[@]}" "${readpass[@]}" "${options[@]}" -in "$target" -out "$target.signed" \
        > "$work/osslsigncode.log" 2>&1; then
    fail "cannot sign $(basename "$target"): $(grep -v -x 'Succeeded\|[[:space:]]*' "$work/osslsigncode.log" | head -n 1)"
fi
mv "$target.signed" "$target" || fail "cannot replace $target with its signed copy"
