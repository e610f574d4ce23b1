#!/usr/bin/env bash
# Whole-host test of ./run demo: runs tools/demo/demo.sh against the built
# host with a demo token of its own (DEMO_DIR in a temporary folder), then
# checks what it left behind with OpenSSL and pkcs11-tool.
#
#   VELLUMARK_BUILD_DIR=build tools/demo/demo_test.sh
set -uo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DEMO=$HERE/demo.sh
: "${VELLUMARK_BUILD_DIR:?set VELLUMARK_BUILD_DIR to the build folder}"
export VELLUMARK_BUILD_DIR
work=$(mktemp -d "${TMPDIR:-/tmp}/vellumark-demo-test.XXXXXX")
trap 'rm -rf "$work" "$work.lock"' EXIT

failures=0
current=
begin() {
  current=$1
  echo "== $current"
}
fail() {
  echo "FAIL [$current]: $*" >&2
  failures=$((failures + 1))
}
expect_in() {  # FILE TEXT
  grep -qF -- "$2" "$1" || fail "expected \"$2\" in the output:$(sed 's/^/\n  | /' "$1")"
}
# Runs the demo; its combined output in $work/out.txt, its status in $rc.
demo() {
  rc=0
  "$@" >"$work/out.txt" 2>&1 || rc=$?
}
expect_host_gone() {
  local pid
  pid=$(sed -n 's/^  host  *pid \([0-9][0-9]*\) .*/\1/p' "$work/out.txt")
  [[ -n "$pid" ]] || return 0
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  fail "the host (pid $pid) is still running after the demo"
}
verify_signature() {  # DOCUMENT SIGNATURE CERT-PEM
  if ! openssl x509 -in "$3" -noout -pubkey >"$work/pub.pem" ||
    ! openssl dgst -sha256 -verify "$work/pub.pem" -signature "$2" "$1" >/dev/null 2>&1; then
    fail "the signature $2 does not verify over $1"
  fi
}

demo_dir=$work/demo

begin "first run makes the demo token and signs a sample PDF (private display)"
demo env -u DISPLAY -u WAYLAND_DISPLAY DEMO_DIR="$demo_dir" "$DEMO"
if ((rc != 0)); then
  fail "exit $rc:$(sed 's/^/\n  | /' "$work/out.txt")"
else
  expect_in "$work/out.txt" "(created)"
  expect_in "$work/out.txt" "private display"
  expect_in "$work/out.txt" "getCertificates  1 certificate(s) for signing"
  expect_in "$work/out.txt" "issuer           Vellumark Demo CA"
  expect_in "$work/out.txt" "384-byte RSA signature"
  expect_in "$work/out.txt" "Signature verified with OpenSSL"
  verify_signature "$demo_dir/out/sample.pdf" "$demo_dir/out/sample.pdf.sig" \
    "$demo_dir/signing-cert.pem"
  pdfinfo "$demo_dir/out/sample.pdf" >/dev/null 2>&1 || fail "the sample PDF does not parse"
  expect_in "$work/out.txt" "pdfsig           1 signature(s), 1 valid, 1 with a trusted certificate"
  expect_in "$work/out.txt" "openssl cms      signature 1 over bytes [0 "
  pdfsig "$demo_dir/out/sample-signed.pdf" 2>&1 | grep -q "Signer Certificate Common Name: Vellumark Demo Signer" ||
    fail "sample-signed.pdf is not signed by the demo signer"
  # What the README promises: two RSA-3072 key pairs made on the token, each
  # paired with its certificate by CKA_ID; signing vs authentication usage.
  objects=$(SOFTHSM2_CONF=$demo_dir/softhsm2.conf pkcs11-tool \
    --module /usr/lib/softhsm/libsofthsm2.so --token-label "Vellumark Demo Card" --login \
    --pin 123456 --list-objects 2>&1)
  for id in 01 02; do
    grep -A8 '^Private Key Object; RSA' <<<"$objects" | grep -q "ID:  *$id\$" ||
      fail "no private key with ID $id on the token:$objects"
    grep -A8 '^Certificate Object' <<<"$objects" | grep -q "ID:  *$id\$" ||
      fail "no certificate with ID $id on the token"
  done
  [[ $(grep -c '^Private Key Object; RSA' <<<"$objects") == 2 ]] ||
    fail "expected exactly two private keys on the token"
  openssl x509 -in "$demo_dir/signing-cert.pem" -noout -text |
    grep -A1 'Key Usage: critical' | grep -qx ' *Non Repudiation' ||
    fail "the signing certificate's key usage is not critical nonRepudiation"
  openssl x509 -in "$demo_dir/authentication-cert.pem" -noout -text |
    grep -A1 'Key Usage: critical' | grep -qx ' *Digital Signature' ||
    fail "the authentication certificate's key usage is not critical digitalSignature"
  [[ $(openssl x509 -in "$demo_dir/signing-cert.pem" -noout -text | grep -c 'Public-Key: (3072 bit)') == 1 ]] ||
    fail "the signing key is not RSA-3072"
fi
expect_host_gone

begin "second run reuses the token and signs --file (current display)"
printf 'not a PDF: any file can be signed \x00\x01\xff\n' >"$work/document.bin"
# SoftHSM rewrites its token file on every login: compare the object set.
token_state() {
  (cd "$demo_dir" && find tokens -type f -name '*.object' | sort &&
    sha256sum signing-cert.der authentication-cert.der ca.pem)
}
before=$(token_state)
demo env DEMO_DIR="$demo_dir" "$DEMO" --file "$work/document.bin"
if ((rc != 0)); then
  fail "exit $rc:$(sed 's/^/\n  | /' "$work/out.txt")"
else
  expect_in "$work/out.txt" "(reused)"
  expect_in "$work/out.txt" "pdfsig           1 signature(s), 1 valid"
  expect_in "$work/out.txt" "Signature verified with OpenSSL"
  expect_in "$work/out.txt" "$(sha256sum "$work/document.bin" | cut -c1-64)"
  verify_signature "$work/document.bin" "$demo_dir/out/document.bin.sig" \
    "$demo_dir/signing-cert.pem"
  [[ "$before" == "$(token_state)" ]] || fail "the reused token's keys or certificates changed"
fi
expect_host_gone

begin "a missing signing certificate is reported by subject, issuer and keyId"
# A copy of the token whose expected certificate is another one (the CA's).
cp -a "$demo_dir" "$work/other"
openssl x509 -in "$work/other/ca.pem" -outform DER -out "$work/other/signing-cert.der"
demo env DEMO_DIR="$work/other" "$DEMO"
((rc != 0)) || fail "the demo signed without its signing certificate"
expect_in "$work/out.txt" "is not among the listed ones:"
expect_in "$work/out.txt" '- subject "Vellumark Demo Signer", issuer "Vellumark Demo CA", keyId '
signer_hex=$(xxd -p -c 100000 "$demo_dir/signing-cert.der" | cut -c1-64)
if grep -qF -e "$signer_hex" -e '"$bytes"' "$work/out.txt"; then
  fail "the error dumps JSON or DER hex:$(sed 's/^/\n  | /' "$work/out.txt")"
fi
expect_host_gone
rm -rf "$work/other" "$work/other.lock"

begin "bad input: clear message, non-zero exit, nothing lost"
demo env DEMO_DIR="$demo_dir" "$DEMO" --file "$work/missing.pdf"
((rc != 0)) || fail "a missing --file succeeded"
expect_in "$work/out.txt" "cannot read the document $work/missing.pdf"
demo env DEMO_DIR="$demo_dir" "$DEMO" --frobnicate
((rc != 0)) || fail "an unknown option succeeded"
expect_in "$work/out.txt" "unknown argument: --frobnicate"
mkdir -p "$work/mine"
echo "keep me" >"$work/mine/notes.txt"
demo env DEMO_DIR="$work/mine" "$DEMO"
((rc != 0)) || fail "the demo took over a folder that is not a demo token"
expect_in "$work/out.txt" "is not a demo token folder"
[[ "$(cat "$work/mine/notes.txt" 2>/dev/null)" == "keep me" ]] || fail "a foreign file was lost"
demo env DEMO_DIR="$demo_dir" VELLUMARK_BUILD_DIR="$work/nowhere" "$DEMO"
((rc != 0)) || fail "the demo ran without a built host"
expect_in "$work/out.txt" "the host is not built"

begin "an interrupted first run is replaced by a complete token"
mkdir -p "$work/broken/tokens" "$work/broken.partial"
: >"$work/broken/softhsm2.conf"
demo env DEMO_DIR="$work/broken" "$DEMO"
if ((rc != 0)); then
  fail "exit $rc:$(sed 's/^/\n  | /' "$work/out.txt")"
else
  expect_in "$work/out.txt" "(created)"
  expect_in "$work/out.txt" "Signature verified with OpenSSL"
  [[ ! -e "$work/broken.partial" ]] || fail "the partial folder was left behind"
fi
expect_host_gone
rm -rf "$work/broken" "$work/broken.lock" "$demo_dir.lock" "$work/mine.lock"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all demo checks passed"
