#!/usr/bin/env bash
# vellumark-sign end to end through the built host on a SoftHSM2 token made
# for this run: classic and cross-reference-stream PDFs, an existing form,
# signing twice, tampering, refused inputs, and B-T against a loopback
# time-stamp authority (openssl ts behind a small HTTP server). Signatures
# are checked with pdfsig and openssl cms (tools/sign/check-signed-pdf.sh).
# Runs inside tests/env/with-test-env.sh (a display, a private HOME).
#
#   VELLUMARK_BUILD_DIR=build tools/sign/tests/sign_host_test.sh
set -uo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../../.." && pwd)
: "${VELLUMARK_BUILD_DIR:?set VELLUMARK_BUILD_DIR to the build folder}"
SIGN=$VELLUMARK_BUILD_DIR/Vellumark/bin/vellumark-sign
CHECK=$ROOT/tools/sign/check-signed-pdf.sh
SOFTHSM_MODULE=/usr/lib/softhsm/libsofthsm2.so
PIN=123456

if [[ -z "${DISPLAY:-}" ]]; then
  echo "SKIP: needs a display (run inside tests/env/with-test-env.sh)"
  exit 0
fi
[[ -x "$SIGN" ]] || { echo "FAIL: $SIGN is not built" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vellumark-sign-test.XXXXXX")
tsa_pid=
cleanup() {
  [[ -n "$tsa_pid" ]] && kill "$tsa_pid" 2>/dev/null
  [[ -n "${KEEP_WORK:-}" ]] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

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
quiet() {
  local output
  output=$("$@" 2>&1) || { echo "$output" >&2; echo "setup failed: $*" >&2; exit 1; }
}

# --- the token: a signing key made on it, its certificate, the intermediate
# CA beside it; the root CA is trusted in the NSS database (the chain's last
# link comes from there).
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$work/tokens" >"$SOFTHSM2_CONF"
quiet softhsm2-util --init-token --free --label "Sign Test Card" --pin "$PIN" --so-pin 12345678
p11=(pkcs11-tool --module "$SOFTHSM_MODULE" --token-label "Sign Test Card" --login --pin "$PIN")
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/root.key" -out "$work/root.pem" \
  -subj "/O=Sign Test/CN=Sign Test Root CA" -days 30 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
printf '%s\n' "basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign,cRLSign" \
  "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >"$work/ca.ext"
quiet openssl req -new -newkey rsa:2048 -nodes -keyout "$work/sub.key" -out "$work/sub.csr" \
  -subj "/O=Sign Test/CN=Sign Test Issuing CA"
quiet openssl x509 -req -in "$work/sub.csr" -CA "$work/root.pem" -CAkey "$work/root.key" \
  -CAcreateserial -days 30 -extfile "$work/ca.ext" -out "$work/sub.pem"
quiet "${p11[@]}" --keypairgen --key-type rsa:2048 --id 01 --label "signing key" --usage-sign
quiet "${p11[@]}" --read-object --type pubkey --id 01 -o "$work/pub.der"
quiet openssl pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem"
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,nonRepudiation" \
  "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >"$work/signer.ext"
quiet openssl x509 -new -force_pubkey "$work/pub.pem" -subj "/O=Sign Test/CN=Sign Test Signer" \
  -CA "$work/sub.pem" -CAkey "$work/sub.key" -days 30 -extfile "$work/signer.ext" \
  -outform DER -out "$work/signer.der"
quiet "${p11[@]}" --write-object "$work/signer.der" --type cert --id 01 --label "signing cert"
# A second person's signing key on the same card.
quiet "${p11[@]}" --keypairgen --key-type rsa:2048 --id 02 --label "second key" --usage-sign
quiet "${p11[@]}" --read-object --type pubkey --id 02 -o "$work/pub2.der"
quiet openssl pkey -pubin -inform DER -in "$work/pub2.der" -out "$work/pub2.pem"
quiet openssl x509 -new -force_pubkey "$work/pub2.pem" -subj "/O=Sign Test/CN=Sign Test Second Signer" \
  -CA "$work/sub.pem" -CAkey "$work/sub.key" -days 30 -extfile "$work/signer.ext" \
  -outform DER -out "$work/signer2.der"
quiet "${p11[@]}" --write-object "$work/signer2.der" --type cert --id 02 --label "second cert"
# The host's keyId: SHA-1 of the public key in PKCS#1 form.
second_key_id=$(openssl rsa -pubin -in "$work/pub2.pem" -RSAPublicKey_out -outform DER 2>/dev/null |
  sha1sum | cut -c1-40)
quiet openssl x509 -in "$work/sub.pem" -outform DER -out "$work/sub.der"
quiet "${p11[@]}" --write-object "$work/sub.der" --type cert --id 99 --label "issuing CA"
nssdir=$HOME/.pki/nssdb
mkdir -p "$nssdir"
quiet certutil -N -d "sql:$nssdir" --empty-password
quiet certutil -A -d "sql:$nssdir" -n "Sign Test Root CA" -t "CT,C,C" -i "$work/root.pem"

export VELLUMARK_PINENTRY=$ROOT/tools/demo/demo-pinentry DEMO_PIN=$PIN
export DEMO_PINENTRY_LOG=$work/pinentry.log
unset VELLUMARK_UI_SOCKET

# A PDF from object bodies, exact offsets: make_pdf OUT OBJECT...
make_pdf() {
  local out=$1
  shift
  local pdf="%PDF-1.4"$'\n' offsets=() i=0 body
  for body in "$@"; do
    i=$((i + 1))
    offsets+=("${#pdf}")
    pdf+="$i 0 obj"$'\n'"$body"$'\n'"endobj"$'\n'
  done
  local xref=${#pdf}
  pdf+="xref"$'\n'"0 $((i + 1))"$'\n'"0000000000 65535 f "$'\n'
  for body in "${offsets[@]}"; do pdf+=$(printf '%010d 00000 n ' "$body")$'\n'; done
  pdf+="trailer"$'\n'"<< /Size $((i + 1)) /Root 1 0 R >>"$'\n'"startxref"$'\n'"$xref"$'\n'"%%EOF"$'\n'
  printf '%s' "$pdf" >"$out"
}
stream="BT /F1 18 Tf 72 720 Td (A document to sign) Tj ET"
make_pdf "$work/classic.pdf" "<< /Type /Catalog /Pages 2 0 R >>" \
  "<< /Type /Pages /Kids [3 0 R 6 0 R] /Count 2 >>" \
  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>" \
  "<< /Length ${#stream} >>"$'\n'"stream"$'\n'"$stream"$'\n'"endstream" \
  "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>" \
  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [] >>"
# A form with a text field whose widget sits on the first page.
make_pdf "$work/form.pdf" "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [6 0 R] /DA (/Helv 0 Tf 0 g) >> >>" \
  "<< /Type /Pages /Kids [3 0 R] /Count 1 >>" \
  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> /Annots 7 0 R >>" \
  "<< /Length ${#stream} >>"$'\n'"stream"$'\n'"$stream"$'\n'"endstream" \
  "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>" \
  "<< /FT /Tx /T (Name) /V (Ada) /Type /Annot /Subtype /Widget /Rect [72 600 300 620] /P 3 0 R >>" \
  "[6 0 R]"

# sign ARGS...: runs vellumark-sign; output in $work/out.txt, status in $rc.
sign() {
  rc=0
  "$SIGN" "$@" </dev/null >"$work/out.txt" 2>&1 || rc=$?
}
expect_signed() {  # FILE COUNT
  if ((rc != 0)); then
    fail "vellumark-sign exited $rc:$(sed 's/^/\n  | /' "$work/out.txt")"
    return
  fi
  if ! "$CHECK" "$1" "$nssdir" "$work/root.pem" >"$work/check.txt" 2>&1; then
    fail "the signatures of $1 do not check:$(sed 's/^/\n  | /' "$work/check.txt")"
  fi
  grep -q "^pdfsig: $2 signature(s)" "$work/check.txt" ||
    fail "expected $2 signature(s):$(sed 's/^/\n  | /' "$work/check.txt")"
}
expect_in() {
  grep -qF -- "$1" "$work/out.txt" || fail "expected \"$1\" in:$(sed 's/^/\n  | /' "$work/out.txt")"
}
# Hosts of this run only (other runs may share the machine): they carry our
# SoftHSM2 configuration.
expect_no_host_left() {
  local pid
  for pid in $(pgrep -x vellumark); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "SOFTHSM2_CONF=$SOFTHSM2_CONF"; then
      fail "a host (pid $pid) is still running afterwards"
    fi
  done
}

begin "--list starts a host, lists both signers with issuer and token, and stops it"
sign --list
((rc == 0)) || fail "exit $rc"
expect_in "CN=Sign Test Signer,O=Sign Test"
expect_in "CN=Sign Test Second Signer,O=Sign Test"
expect_in "issuer   CN=Sign Test Issuing CA"
expect_in "token    Sign Test Card"
expect_in "key id   $second_key_id"
expect_no_host_left

begin "several certificates and no choice: listed, nothing signed"
sign "$work/classic.pdf"
((rc == 5)) || fail "exit $rc, expected 5"
expect_in "--cert TEXT or --key-id HEX"
[[ -e "$work/classic-signed.pdf" ]] && fail "an output was written"
sign "$work/classic.pdf" --cert "nobody"
((rc == 5)) || fail "an unmatched --cert: exit $rc"
expect_no_host_left

begin "a classic PDF: B-B with the issuing CA from the token, the input untouched"
before=$(sha256sum <"$work/classic.pdf")
sign "$work/classic.pdf" --cert "Test Signer" --reason "Approved" --location "Zürich" --page 2
expect_signed "$work/classic-signed.pdf" 1
expect_in "Signature1 on page 2"
[[ "$(sha256sum <"$work/classic.pdf")" == "$before" ]] || fail "the input changed"
cmp -s -n "$(stat -c %s "$work/classic.pdf")" "$work/classic.pdf" "$work/classic-signed.pdf" ||
  fail "the original bytes are not kept at the start of the output"
grep -q "answered with the demo PIN" "$work/pinentry.log" || fail "the host's PIN dialog was not asked"
pdfsig "$work/classic-signed.pdf" >"$work/pdfsig.txt" 2>&1
grep -q "Signature Type: ETSI.CAdES.detached" "$work/pdfsig.txt" || fail "not ETSI.CAdES.detached"
grep -q "Signing Hash Algorithm: SHA-256" "$work/pdfsig.txt" || fail "not SHA-256"
grep -q "Total document signed" "$work/pdfsig.txt" || fail "the signature does not cover the file"
b=$(grep -aoE '/ByteRange *\[[0-9 ]+\]' "$work/classic-signed.pdf" | sed -E 's/[^0-9]+/ /g' | awk '{print $2}')
c=$(grep -aoE '/ByteRange *\[[0-9 ]+\]' "$work/classic-signed.pdf" | sed -E 's/[^0-9]+/ /g' | awk '{print $3}')
tail -c "+$((b + 2))" "$work/classic-signed.pdf" | head -c "$((c - b - 2))" | xxd -r -p >"$work/cms.der"
openssl cms -cmsout -print -inform DER -in "$work/cms.der" >"$work/cms.txt" 2>&1
for want in "id-smime-aa-signingCertificateV2" "messageDigest" "contentType" \
  "subject: O=Sign Test, CN=Sign Test Issuing CA"; do
  grep -q "$want" "$work/cms.txt" || fail "the CMS lacks $want"
done
grep -q "signingTime" "$work/cms.txt" && fail "the CMS carries a signing-time attribute"
qpdf --check "$work/classic-signed.pdf" >/dev/null 2>&1 || fail "qpdf --check fails on the output"
expect_no_host_left

begin "cross-reference streams and object streams, with a running host"
quiet qpdf --object-streams=generate "$work/classic.pdf" "$work/xstream.pdf"
grep -aq "/XRef" "$work/xstream.pdf" || fail "the fixture has no cross-reference stream"
export VELLUMARK_UI_SOCKET=$work/ui.sock
"$VELLUMARK_BUILD_DIR/Vellumark/bin/vellumark" >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 1 300); do [[ -S "$VELLUMARK_UI_SOCKET" ]] && break; sleep 0.1; done
sign "$work/xstream.pdf" -o "$work/xstream-out.pdf" --cert "test signer"
expect_signed "$work/xstream-out.pdf" 1
tail -c 400 "$work/xstream-out.pdf" | grep -aq "/Type /XRef" || fail "the update is not a cross-reference stream"
qpdf --check "$work/xstream-out.pdf" >/dev/null 2>&1 || fail "qpdf --check fails on the output"
kill -0 "$host_pid" 2>/dev/null || fail "the running host was stopped by the command"
kill -TERM "$host_pid"
wait "$host_pid"
unset VELLUMARK_UI_SOCKET

begin "an existing form keeps its field; two signers, both signatures valid"
sign "$work/form.pdf" -o "$work/form-1.pdf" --cert "Test Signer"
expect_signed "$work/form-1.pdf" 1
# By another person: pdfsig 22.12 cannot validate the certificate of a
# second signature by the same certificate in one run (its own quirk).
sign "$work/form-1.pdf" -o "$work/form-2.pdf" --key-id "$second_key_id" --contact "ada@example.org"
expect_signed "$work/form-2.pdf" 2
expect_in "Signature2"
qpdf --json --json-key=acroform "$work/form-2.pdf" >"$work/form.json" 2>&1
grep -q '"fullname": "Name"' "$work/form.json" || fail "the text field is gone"
[[ $(grep -c '"fieldtype": "/Sig"' "$work/form.json") == 2 ]] || fail "expected two signature fields"

begin "a one-byte change after signing is reported invalid"
cp "$work/classic-signed.pdf" "$work/tampered.pdf"
offset=$(grep -aob "A document to sign" "$work/tampered.pdf" | head -1 | cut -d: -f1)
printf 'a' | dd of="$work/tampered.pdf" bs=1 seek="$offset" conv=notrunc status=none
pdfsig -nssdir "sql:$nssdir" "$work/tampered.pdf" >"$work/pdfsig.txt" 2>&1
grep -q "Signature is Valid" "$work/pdfsig.txt" && fail "pdfsig still calls it valid"
grep -q "Digest Mismatch" "$work/pdfsig.txt" || fail "pdfsig does not report the mismatch"

begin "encrypted, damaged and non-PDF inputs are refused with no output"
quiet qpdf --encrypt user owner 256 -- "$work/classic.pdf" "$work/encrypted.pdf"
head -c 500 "$work/classic.pdf" >"$work/damaged.pdf"
printf 'hello, not a PDF\n' >"$work/text.pdf"
for name in encrypted damaged text; do
  sign "$work/$name.pdf" --cert "Test Signer"
  ((rc == 4)) || fail "$name: exit $rc, expected 4:$(sed 's/^/\n  | /' "$work/out.txt")"
  [[ -e "$work/$name-signed.pdf" ]] && fail "$name: an output was written"
done
sign "$work/encrypted.pdf" --cert "Test Signer"
expect_in "encrypted"
sign "$work/text.pdf" --cert "Test Signer"
expect_in "not a PDF"
ls -a "$work" | grep -q '^\..*\.pdf\.' && fail "a temporary file was left behind"
sign "$work/classic.pdf" -o "$work/classic.pdf" --cert "Test Signer"
((rc == 8)) || fail "writing over the input: exit $rc"
expect_no_host_left

begin "PAdES B-T with a loopback time-stamp authority"
if ! command -v python3 >/dev/null; then
  echo "SKIP: python3 is missing"
else
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=critical,timeStamping" >"$work/tsa.ext"
  quiet openssl req -new -newkey rsa:2048 -nodes -keyout "$work/tsa.key" -out "$work/tsa.csr" \
    -subj "/O=Sign Test/CN=Sign Test TSA"
  quiet openssl x509 -req -in "$work/tsa.csr" -CA "$work/root.pem" -CAkey "$work/root.key" \
    -CAcreateserial -days 30 -extfile "$work/tsa.ext" -out "$work/tsa.pem"
  cat >"$work/tsa.cnf" <<CNF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
dir = $work
serial = $work/tsa-serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
CNF
  echo 01 >"$work/tsa-serial"
  python3 "$HERE/tsa_server.py" "$work/tsa.cnf" "$work/tsa.port" 2>"$work/tsa.log" &
  tsa_pid=$!
  for _ in $(seq 1 100); do [[ -s "$work/tsa.port" ]] && break; sleep 0.05; done
  url="http://127.0.0.1:$(cat "$work/tsa.port")/"
  sign "$work/classic.pdf" -o "$work/bt.pdf" --cert "Test Signer" --tsa "$url"
  expect_signed "$work/bt.pdf" 1
  expect_in "B-T"
  b=$(grep -aoE '/ByteRange *\[[0-9 ]+\]' "$work/bt.pdf" | sed -E 's/[^0-9]+/ /g' | awk '{print $2}')
  c=$(grep -aoE '/ByteRange *\[[0-9 ]+\]' "$work/bt.pdf" | sed -E 's/[^0-9]+/ /g' | awk '{print $3}')
  tail -c "+$((b + 2))" "$work/bt.pdf" | head -c "$((c - b - 2))" | xxd -r -p >"$work/bt.der"
  openssl cms -cmsout -print -inform DER -in "$work/bt.der" >"$work/bt.txt" 2>&1
  grep -q "id-smime-aa-timeStampToken" "$work/bt.txt" || fail "no signature time-stamp in the CMS"
  # A TSA that answers for another imprint is caught before anything is written.
  sign "$work/classic.pdf" -o "$work/bad-tsa.pdf" --cert "Test Signer" --tsa "${url}wrong-imprint"
  ((rc == 7)) || fail "a wrong imprint: exit $rc:$(sed 's/^/\n  | /' "$work/out.txt")"
  [[ -e "$work/bad-tsa.pdf" ]] && fail "an output was written despite the bad time-stamp"
  sign "$work/classic.pdf" -o "$work/no-tsa.pdf" --cert "Test Signer" --tsa "http://127.0.0.1:9/"
  ((rc == 7)) || fail "an unreachable authority: exit $rc"
fi
expect_no_host_left

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all vellumark-sign checks passed"
