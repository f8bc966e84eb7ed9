#!/usr/bin/env bash
# A throwaway code-signing certificate of the tests' own, made once with openssl in FOLDER: cert.pem (self-signed,
# the only trust anchor its signatures are checked against), test.p12 (certificate and key) and password (the
# PKCS#12 file's). An existing one is kept while it is valid for another day.
#   make-test-certificate.sh FOLDER
set -u
folder="$1"
subject="/CN=QBV download tools test signing (not for release)"
mkdir -p "$folder" || exit 1
folder="$(cd "$folder" && pwd)"
if ! [ -s "$folder/test.p12" ] || ! [ -s "$folder/cert.pem" ] || ! [ -s "$folder/password" ] ||
   ! openssl x509 -in "$folder/cert.pem" -noout -checkend 86400 >/dev/null 2>&1; then
    rm -f "$folder/test.p12" "$folder/cert.pem" "$folder/key.pem" "$folder/password"
    (umask 077 && openssl rand -hex 16 > "$folder/password") &&
    openssl req -x509 -newkey rsa:2048 -sha256 -days 3650 -nodes -subj "$subject" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$folder/key.pem" -out "$folder/cert.pem" >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey "$folder/key.pem" -in "$folder/cert.pem" -out "$folder/test.p12" \
        -passout "file:$folder/password" &&
    rm -f "$folder/key.pem" || { echo "cannot make a test certificate in $folder"; exit 1; }
fi
