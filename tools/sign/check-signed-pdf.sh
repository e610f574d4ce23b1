#!/usr/bin/env bash
# Checks every signature of a signed PDF two ways: pdfsig (poppler) against
# an NSS database, and `openssl cms -verify` over each signature's byte range
# against a CA file. Prints both verdicts per signature; exits 0 only when
# every signature is valid and trusted in both.
#
#   check-signed-pdf.sh FILE.pdf NSSDIR CAFILE
set -uo pipefail
export LC_ALL=C
(($# == 3)) || { sed -n '6p' "$0" | sed 's/^# *//' >&2; exit 2; }
pdf=$1 nssdir=$2 cafile=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/check-signed-pdf.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0

pdfsig -nssdir "sql:$nssdir" "$pdf" >"$work/pdfsig.txt" 2>&1
count=$(grep -c '^Signature #' "$work/pdfsig.txt")
if ((count == 0)); then
  echo "pdfsig: no signature found"
  sed 's/^/  | /' "$work/pdfsig.txt"
  exit 1
fi
valid=$(grep -c 'Signature Validation: Signature is Valid.' "$work/pdfsig.txt")
trusted=$(grep -c 'Certificate Validation: Certificate is Trusted.' "$work/pdfsig.txt")
echo "pdfsig: $count signature(s), $valid valid, $trusted with a trusted certificate"
((valid == count && trusted == count)) || status=1

# Each /ByteRange in file order; the CMS is the hex string in the hole.
i=0
while read -r a b c d; do
  i=$((i + 1))
  { head -c "$b" "$pdf"; tail -c "+$((c + 1))" "$pdf" | head -c "$d"; } >"$work/signed-$i.bin"
  tail -c "+$((b + 2))" "$pdf" | head -c "$((c - b - 2))" | xxd -r -p >"$work/cms-$i.der"
  if openssl cms -verify -binary -inform DER -in "$work/cms-$i.der" -content "$work/signed-$i.bin" \
    -CAfile "$cafile" -purpose any -out /dev/null >"$work/cms-$i.txt" 2>&1; then
    echo "openssl cms -verify: signature $i over bytes [0 $b $c $d] verified"
  else
    echo "openssl cms -verify: signature $i over bytes [0 $b $c $d] FAILED"
    sed 's/^/  | /' "$work/cms-$i.txt"
    status=1
  fi
done < <(grep -aoE '/ByteRange *\[ *0 +[0-9]+ +[0-9]+ +[0-9]+ *\]' "$pdf" |
  sed -E 's/[^0-9]+/ /g; s/^ +//')
((i == count)) || { echo "found $i byte ranges for $count signatures"; status=1; }
((status == 0)) || sed 's/^/  | /' "$work/pdfsig.txt"
exit "$status"
