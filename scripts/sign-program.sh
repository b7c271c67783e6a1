#!/bin/bash
# Signs one Windows program in place with SHA-256 Authenticode (osslsigncode), and time-stamps it
# when a time-stamp server is named. scripts/release.sh runs it on the installer helpers as the
# build links them (CORVANE_SIGN_COMMAND), before the embedded file table takes them in, and then
# on the two programs.
#
# Usage: sign-program.sh FILE
# The certificate and key, from the environment (README.md, "Release"):
#   CORVANE_SIGN_PKCS12        a PKCS #12 file with the certificate (and its chain) and the key, or
#   CORVANE_SIGN_CERT and CORVANE_SIGN_KEY   PEM files of the certificate (and chain) and the key
#   CORVANE_SIGN_PASSWORD      the password of the PKCS #12 file or of the key (optional)
#   CORVANE_SIGN_TIMESTAMP_URL an RFC 3161 time-stamp server (optional)
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 FILE" >&2; exit 2; }
file=$1
[ -f "$file" ] || { echo "sign-program.sh: $file is not a file" >&2; exit 2; }

key_args=()
if [ -n "${CORVANE_SIGN_PKCS12:-}" ]; then
    key_args=(-pkcs12 "$CORVANE_SIGN_PKCS12")
elif [ -n "${CORVANE_SIGN_CERT:-}" ] && [ -n "${CORVANE_SIGN_KEY:-}" ]; then
    key_args=(-certs "$CORVANE_SIGN_CERT" -key "$CORVANE_SIGN_KEY")
else
    echo "sign-program.sh: no certificate: set CORVANE_SIGN_PKCS12, or CORVANE_SIGN_CERT and" \
         "CORVANE_SIGN_KEY" >&2
    exit 2
fi

# The signed file is written beside the input and renamed over it only when it is whole. The
# password goes to osslsigncode in a file only its owner can read, never on a command line
# (which every user of the machine can see).
signed="$file.signing"
password=""
cleanup() { rm -f "$signed" ${password:+"$password"}; }
trap cleanup EXIT
if [ -n "${CORVANE_SIGN_PASSWORD:-}" ]; then
    password=$(umask 077 && mktemp)
    printf '%s' "$CORVANE_SIGN_PASSWORD" >"$password"
    key_args+=(-readpass "$password")
fi
stamp_args=()
[ -z "${CORVANE_SIGN_TIMESTAMP_URL:-}" ] || stamp_args=(-ts "$CORVANE_SIGN_TIMESTAMP_URL")

rm -f "$signed"
if ! output=$(osslsigncode sign "${key_args[@]}" -h sha256 -n Corvane "${stamp_args[@]}" \
        -in "$file" -out "$signed" 2>&1); then
    echo "sign-program.sh: signing $file failed:" >&2
    echo "$output" >&2
    exit 1
fi
mv -f "$signed" "$file"
echo "signed $(basename "$file")${CORVANE_SIGN_TIMESTAMP_URL:+, time-stamped by $CORVANE_SIGN_TIMESTAMP_URL}"
