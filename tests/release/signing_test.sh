#!/usr/bin/env bash
# Signs a copy of the image with tools/sign.sh and a throwaway certificate,
# verifies the signature against that certificate, then runs the Wine
# suite's first-run case against the signed copy.
#   signing_test.sh SOURCE_DIR IMAGE WORK_DIR WINE_RUN... WINE_TESTS
set -euo pipefail
source=$1 image=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work"
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=zarvel-uri test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out certificate.pem 2>/dev/null
cp "$image" zarvel-uri.exe
bash "$source/tools/sign.sh" zarvel-uri.exe certificate.pem key.pem
osslsigncode verify -CAfile certificate.pem -in zarvel-uri.exe | tee verify.txt
grep -q '^Signature verification: ok' verify.txt
grep -q 'Message digest algorithm *: SHA256' verify.txt

ZARVEL_PROGRAM="Z:${work//\//\\}\\zarvel-uri.exe" \
  "$@" --gtest_filter=WineTest.FirstRunEchoesAndWritesTheRegistration
