#!/usr/bin/env bash
# Signs a Windows image with Authenticode, SHA-256, in place, with the
# author's certificate and key, through osslsigncode.
#   tools/sign.sh IMAGE CERTIFICATE KEY [TIMESTAMP_URL]
# CERTIFICATE: the signing certificate, with its chain, PEM or DER.
# KEY: its private key, PEM or DER; for a key with a passphrase, name a file
# that holds the passphrase in ZARVEL_SIGN_PASSFILE.
# TIMESTAMP_URL: an RFC 3161 time-stamp server, so that the signature stays
# valid after the certificate expires.
set -euo pipefail
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  echo "usage: tools/sign.sh IMAGE CERTIFICATE KEY [TIMESTAMP_URL]" >&2
  exit 2
fi
image=$1 certificate=$2 key=$3 timestamp=${4:-}

args=(sign -h sha256 -n zarvel-uri -certs "$certificate" -key "$key")
[ -n "${ZARVEL_SIGN_PASSFILE:-}" ] && args+=(-readpass "$ZARVEL_SIGN_PASSFILE")
[ -n "$timestamp" ] && args+=(-ts "$timestamp")

signed=$(mktemp "$image.signing.XXXXXX")
trap 'rm -f "$signed"' EXIT
rm -f "$signed"  # osslsigncode will not write over a file
osslsigncode "${args[@]}" -in "$image" -out "$signed" >/dev/null
cp "$signed" "$image"  # keeps the image's own permissions
echo "signed $image"
