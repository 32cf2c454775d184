#!/usr/bin/env bash
# Signs Windows programs, libraries and installer packages in place with
# Authenticode (osslsigncode, SHA-256), when a code-signing certificate is
# configured; otherwise says so in one line and leaves the files as they are.
# cmake/msi.cmake runs it on the staged .exe and .dll files and on the MSI,
# cpack (cmake/sign_package.cmake) on those of the ZIP.
#
#   sign.sh FILE...
#
# The certificate, from the environment, either
#   VORN_SIGN_PKCS12     a PKCS#12 file with the certificate, its chain and key
# or
#   VORN_SIGN_CERT       the certificate and its chain (PEM or DER)
#   VORN_SIGN_KEY        its private key (PEM or DER)
# and
#   VORN_SIGN_PASSWORD   the password of the PKCS#12 file or key, if any
#   VORN_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping server (optional): a
#                        time-stamped signature stays valid after the
#                        certificate expires
#   OSSLSIGNCODE         the program (default osslsigncode)
#
# Exit codes: 0 signed, or skipped without a certificate; 1 failed;
# 2 usage error.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: sign.sh FILE..." >&2
  exit 2
fi

pkcs12=${VORN_SIGN_PKCS12:-}
cert=${VORN_SIGN_CERT:-}
key=${VORN_SIGN_KEY:-}
if [ -n "$pkcs12" ]; then
  credentials=(-pkcs12 "$pkcs12")
elif [ -n "$cert" ] && [ -n "$key" ]; then
  credentials=(-certs "$cert" -key "$key")
else
  echo "signing skipped: no certificate (set VORN_SIGN_PKCS12, or VORN_SIGN_CERT and VORN_SIGN_KEY)"
  exit 0
fi

osslsigncode=${OSSLSIGNCODE:-osslsigncode}
if ! command -v "$osslsigncode" >/dev/null; then
  echo "sign.sh: $osslsigncode not found (Debian: apt-get install osslsigncode)" >&2
  exit 1
fi

options=(-h sha256 -n "VORN Local Guard Service")
if [ -n "${VORN_SIGN_TIMESTAMP_URL:-}" ]; then
  options+=(-ts "$VORN_SIGN_TIMESTAMP_URL")
fi

for file in "$@"; do
  signed="$file.signed"
  rm -f "$signed"
  # The password goes through a pipe, never on a command line that any
  # user could read from the process list.
  if [ -n "${VORN_SIGN_PASSWORD:-}" ]; then
    status=0
    printf '%s' "$VORN_SIGN_PASSWORD" |
      "$osslsigncode" sign "${credentials[@]}" -readpass /dev/stdin \
        "${options[@]}" -in "$file" -out "$signed" >"$signed.log" 2>&1 ||
      status=$?
  else
    status=0
    "$osslsigncode" sign "${credentials[@]}" "${options[@]}" \
      -in "$file" -out "$signed" >"$signed.log" 2>&1 || status=$?
  fi
  if [ "$status" -ne 0 ] || [ ! -s "$signed" ]; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "sign.sh: signing $file failed" >&2
    exit 1
  fi
  rm -f "$signed.log"
  mv -f "$signed" "$file"
  echo "signed: $file"
done
