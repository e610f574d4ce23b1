#!/usr/bin/env bash
# Signs a PDF with a SoftHSM2 demo token, end to end through the host: starts
# the built host, acts as its UI over the bridge with hostctl ("initialize",
# "isTokenAvailable", "getCertificates", "signBytes"), and checks the returned
# signature with OpenSSL against the certificate. Then vellumark-sign signs the
# sample PDF on the same host (PAdES B-B, out/sample-signed.pdf), checked with
# pdfsig against an NSS database trusting the demo CA and with openssl cms.
#
#   tools/demo/demo.sh [--interactive] [--file PATH]
#
#   --interactive  ask the PIN with the desktop's own pinentry (default: a
#                  stand-in answers the demo PIN, so nobody has to type it)
#   --file PATH    sign PATH instead of a sample PDF made on the fly
#
# Environment: DEMO_DIR (the demo token and outputs; default build/demo),
# VELLUMARK_BUILD_DIR (where the host and hostctl were built; default build).
set -euo pipefail
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD_DIR=${VELLUMARK_BUILD_DIR:-$ROOT/build}
DEMO_DIR=${DEMO_DIR:-$BUILD_DIR/demo}

SOFTHSM_MODULE=/usr/lib/softhsm/libsofthsm2.so
TOKEN_LABEL="Vellumark Demo Card"
USER_PIN=123456
SO_PIN=12345678
CA_NAME="Vellumark Demo CA"
SIGN_ID=01 SIGN_NAME="Vellumark Demo Signer"
AUTH_ID=02 AUTH_NAME="Vellumark Demo Authentication"
READY=demo-token.ready
HOST_START_SECONDS=30

interactive=0
file=
die() {
  echo "demo: $*" >&2
  exit 1
}
usage() {
  sed -n '7,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}
while (($#)); do
  case "$1" in
    --interactive) interactive=1 ;;
    --file)
      (($# >= 2)) || die "--file needs a path"
      file=$2
      shift
      ;;
    --file=*) file=${1#--file=} ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      usage >&2
      die "unknown argument: $1"
      ;;
  esac
  shift
done

if [[ -n "$file" ]]; then
  [[ -f "$file" && -r "$file" ]] || die "cannot read the document $file"
  file=$(cd "$(dirname "$file")" && pwd)/$(basename "$file")
fi
HOST=$BUILD_DIR/Vellumark/bin/vellumark
HOSTCTL=$BUILD_DIR/tools/hostctl/hostctl
[[ -x "$HOST" ]] || die "the host is not built: $HOST (run ./run build)"
[[ -x "$HOSTCTL" ]] || die "hostctl is not built: $HOSTCTL (run ./run build)"
SIGNER=$BUILD_DIR/Vellumark/bin/vellumark-sign
[[ -x "$SIGNER" ]] || die "vellumark-sign is not built: $SIGNER (run ./run build)"
for tool in softhsm2-util pkcs11-tool openssl jq xxd flock pdfsig certutil; do
  command -v "$tool" >/dev/null || die "$tool is missing (./run deps installs it)"
done
[[ -e "$SOFTHSM_MODULE" ]] || die "SoftHSM2's module is missing: $SOFTHSM_MODULE"

# Indented "label  value" lines make the transcript.
say() { printf '  %-16s %s\n' "$1" "$2"; }

write_softhsm_conf() {  # DIR
  cat >"$1/softhsm2.conf" <<CONF
directories.tokendir = $1/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
}

# Runs a setup command quietly; on failure shows its output and stops.
quiet() {
  local output
  if ! output=$("$@" 2>&1); then
    echo "$output" >&2
    die "setup step failed: $*"
  fi
}

# The token, its keys and certificates, made in DIR (a fresh folder).
make_demo_token() {
  local dir=$1
  mkdir -p "$dir/tokens"
  write_softhsm_conf "$dir"
  export SOFTHSM2_CONF=$dir/softhsm2.conf
  quiet softhsm2-util --init-token --free --label "$TOKEN_LABEL" --pin "$USER_PIN" \
    --so-pin "$SO_PIN"
  local p11=(pkcs11-tool --module "$SOFTHSM_MODULE" --token-label "$TOKEN_LABEL"
    --login --pin "$USER_PIN")

  # The CA is a software key: it only issues the two certificates.
  quiet openssl req -x509 -newkey rsa:3072 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -subj "/O=Vellumark Demo/CN=$CA_NAME" -days 3650 \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

  local id name usage kind
  for kind in signing authentication; do
    if [[ $kind == signing ]]; then
      id=$SIGN_ID name=$SIGN_NAME usage="critical,nonRepudiation"
    else
      id=$AUTH_ID name=$AUTH_NAME usage="critical,digitalSignature"
    fi
    # The private key is generated on the token and never leaves it.
    quiet "${p11[@]}" --keypairgen --key-type rsa:3072 --id "$id" --label "Demo $kind key" \
      --usage-sign
    quiet "${p11[@]}" --read-object --type pubkey --id "$id" -o "$dir/$kind-pub.der"
    quiet openssl pkey -pubin -inform DER -in "$dir/$kind-pub.der" -out "$dir/$kind-pub.pem"
    printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=$usage" \
      "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >"$dir/$kind.ext"
    quiet openssl x509 -new -force_pubkey "$dir/$kind-pub.pem" \
      -subj "/O=Vellumark Demo/CN=$name" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -days 730 \
      -extfile "$dir/$kind.ext" -outform DER -out "$dir/$kind-cert.der"
    quiet openssl x509 -inform DER -in "$dir/$kind-cert.der" -out "$dir/$kind-cert.pem"
    # Same CKA_ID as the key: that is what pairs them into an identity.
    quiet "${p11[@]}" --write-object "$dir/$kind-cert.der" --type cert --id "$id" \
      --label "Demo $kind certificate"
  done
  rm -f "$dir"/*-pub.der "$dir"/*.ext
  printf '%s\n' "$TOKEN_LABEL" >"$dir/$READY"
}

demo_token_complete() {
  local f
  for f in "$READY" ca.pem signing-cert.der signing-cert.pem authentication-cert.der tokens; do
    [[ -e "$DEMO_DIR/$f" ]] || return 1
  done
}

# Makes the demo token on first use; later runs reuse it.
ensure_demo_token() {
  mkdir -p "$(dirname "$DEMO_DIR")"
  exec 9>"$DEMO_DIR.lock"
  flock 9
  if demo_token_complete; then
    token_state="reused"
  else
    if [[ -e "$DEMO_DIR" ]]; then
      # Only a folder of ours (an interrupted run) is replaced.
      if [[ -n "$(ls -A "$DEMO_DIR")" && ! -e "$DEMO_DIR/softhsm2.conf" &&
        ! -e "$DEMO_DIR/$READY" ]]; then
        die "$DEMO_DIR exists and is not a demo token folder; move it away"
      fi
      rm -rf "$DEMO_DIR"
    fi
    # Made aside and moved in whole, so an interrupted run leaves no half token.
    local partial=$DEMO_DIR.partial
    rm -rf "$partial"
    echo "Creating the demo token in $DEMO_DIR (RSA-3072 keys on the token: a few seconds)"
    (make_demo_token "$partial")
    mv "$partial" "$DEMO_DIR"
    token_state="created"
  fi
  # Rewritten every run so the folder may move with the build tree.
  write_softhsm_conf "$DEMO_DIR"
  flock -u 9
  exec 9>&-
}

# A minimal valid PDF: one page with one line of text, exact xref offsets.
make_sample_pdf() {  # PATH
  local text="Vellumark demo document: signed with the demo token."
  local stream="BT /F1 18 Tf 72 720 Td ($text) Tj ET"
  local objects=(
    "<< /Type /Catalog /Pages 2 0 R >>"
    "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
    "<< /Length ${#stream} >>"$'\n'"stream"$'\n'"$stream"$'\n'"endstream"
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"
  )
  local pdf="%PDF-1.4"$'\n' offsets=() i
  for i in "${!objects[@]}"; do
    offsets+=("${#pdf}")
    pdf+="$((i + 1)) 0 obj"$'\n'"${objects[$i]}"$'\n'"endobj"$'\n'
  done
  local xref=${#pdf}
  pdf+="xref"$'\n'"0 $((${#objects[@]} + 1))"$'\n'"0000000000 65535 f "$'\n'
  for i in "${offsets[@]}"; do pdf+=$(printf '%010d 00000 n ' "$i")$'\n'; done
  pdf+="trailer"$'\n'"<< /Size $((${#objects[@]} + 1)) /Root 1 0 R >>"$'\n'
  pdf+="startxref"$'\n'"$xref"$'\n'"%%EOF"$'\n'
  printf '%s' "$pdf" >"$1"
}

run_dir=
host_pid=
launcher_pid=

stop_host() {
  local pid=${host_pid:-$launcher_pid}
  [[ -n "$pid" ]] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  if [[ -n "$launcher_pid" ]]; then
    # The test environment tears its display and bus down once the host ends.
    for _ in $(seq 1 100); do
      kill -0 "$launcher_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -TERM "$launcher_pid" 2>/dev/null || true
    wait "$launcher_pid" 2>/dev/null || true
  else
    wait "$pid" 2>/dev/null || true
  fi
  host_pid='' launcher_pid=''
}

cleanup() {
  local status=$?
  stop_host
  if [[ -n "$run_dir" ]]; then
    if ((status != 0)) && [[ -s "$run_dir/host.log" ]]; then
      echo "demo: the host's log:" >&2
      tail -n 20 "$run_dir/host.log" | sed 's/^/  | /' >&2
    fi
    rm -rf "$run_dir"
  fi
  exit "$status"
}

# Starts the host on SOCKET with the demo token's SoftHSM2 configuration.
start_host() {
  local socket=$1
  local env=(SOFTHSM2_CONF="$DEMO_DIR/softhsm2.conf" VELLUMARK_UI_SOCKET="$socket")
  local private=0 tty
  [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]] && private=1
  if ((interactive)); then
    if ((private)); then
      # The private display is invisible: ask on this terminal instead.
      tty=$(tty 2>/dev/null) || die "--interactive needs a display or a terminal"
      local program
      program=$(command -v pinentry-tty || command -v pinentry-curses) ||
        die "--interactive without a display needs pinentry-tty or pinentry-curses"
      env+=(VELLUMARK_PINENTRY="$program" GPG_TTY="$tty")
      pin_dialog="$(basename "$program") on $tty (type $USER_PIN)"
    else
      # The text flavours are the backend's fallback: give them our terminal.
      tty=$(tty 2>/dev/null) && env+=(GPG_TTY="$tty")
      pin_dialog="the desktop's pinentry (type $USER_PIN)"
    fi
  else
    pin_dialog="answered by tools/demo/demo-pinentry"
    env+=(VELLUMARK_PINENTRY="$HERE/demo-pinentry" DEMO_PIN="$USER_PIN"
      DEMO_PINENTRY_LOG="$run_dir/pinentry.log")
  fi
  if ((private)); then
    # The test environment replaces SOFTHSM2_CONF and the socket variable:
    # hand ours through to the host, and learn its pid to stop it later.
    # shellcheck disable=SC2016 # expanded by the inner shell
    "$ROOT/tests/env/with-test-env.sh" bash -c 'echo $$ >"$1"; shift; exec env "$@"' _ \
      "$run_dir/host.pid" "${env[@]}" "$HOST" </dev/null >"$run_dir/host.log" 2>&1 &
    launcher_pid=$!
    where="private display (Xvfb)"
  else
    env "${env[@]}" "$HOST" </dev/null >"$run_dir/host.log" 2>&1 &
    host_pid=$!
    where="display ${DISPLAY:-$WAYLAND_DISPLAY}"
  fi
  local deadline=$((SECONDS + HOST_START_SECONDS))
  until [[ -S "$socket" ]]; do
    if [[ -n "$launcher_pid" && -z "$host_pid" && -s "$run_dir/host.pid" ]]; then
      host_pid=$(<"$run_dir/host.pid")
    fi
    kill -0 "${host_pid:-$launcher_pid}" 2>/dev/null || die "the host exited during start-up"
    ((SECONDS < deadline)) || die "the host did not open its bridge socket in ${HOST_START_SECONDS}s"
    sleep 0.1
  done
  [[ -z "$host_pid" && -s "$run_dir/host.pid" ]] && host_pid=$(<"$run_dir/host.pid")
  return 0
}

# ui_call METHOD [ARGS-typed-JSON] [TIMEOUT]: the result's typed JSON in $reply.
ui_call() {
  local method=$1 args=${2:-} timeout=${3:-60} status=0
  local command=("$HOSTCTL" --socket "$socket" --timeout "$timeout" call tessel_macos "$method")
  [[ -n "$args" ]] && command+=("$args")
  for _ in {1..20}; do
    status=0
    reply=$("${command[@]}" 2>&1) || status=$?
    # The host may not have seen the previous hostctl hang up yet and turns
    # this connection away as a second UI (a reset before any reply): the
    # call was never delivered, so asking again is safe.
    if ((status != 3)) || [[ "$reply" != *"Connection reset by peer"* ]]; then break; fi
    kill -0 "${host_pid:-$launcher_pid}" 2>/dev/null || break
    sleep 0.05
  done
  if ((status != 0)); then
    if ((status == 1)); then
      die "\"$method\" answered an error: $reply"
    fi
    die "\"$method\" failed (hostctl exit $status): $reply"
  fi
}

bytes_hex() { jq -r '."$bytes"'; }  # typed bytes -> hex
# A "getCertificates" reply as readable lines: subject, issuer, keyId (the
# DER bytes would be kilobytes of hex).
describe_certificates() {  # LISTED-JSON
  local lines
  lines=$(jq -r '.[] | "    - subject \"\(.subjectCN // "?")\", issuer \"\(.issuerCN // "?")\", keyId \(.keyId."$bytes" // "?")"' \
    <<<"$1" 2>/dev/null) || lines="    (not a list of certificate records)"
  [[ -n "$lines" ]] || lines="    (none)"
  printf '%s' "$lines"
}
int_value() { jq -r 'if type == "object" then ."$int64" else . end'; }
utc() { date -u -d "@$1" '+%Y-%m-%d %H:%M:%S UTC'; }
# A certificate's notBefore/notAfter as seconds since 1970.
cert_time() {  # PEM startdate|enddate
  local line
  line=$(openssl x509 -in "$1" -noout "-$2")
  date -u -d "${line#*=}" +%s
}

# vellumark-sign plays the UI's part on the same host and writes a PAdES
# signed copy of the sample PDF; pdfsig (trusting the demo CA through an NSS
# database of the run) and openssl cms check it.
sign_pdf() {  # OUT-DIR KEY-ID
  local out=$1 key_id=$2 sample=$1/sample.pdf signed=$1/sample-signed.pdf
  [[ -f "$sample" ]] || make_sample_pdf "$sample"
  local nssdir=$run_dir/nssdb
  mkdir -p "$nssdir"
  quiet certutil -N -d "sql:$nssdir" --empty-password
  quiet certutil -A -d "sql:$nssdir" -n "$CA_NAME" -t "CT,C,C" -i "$DEMO_DIR/ca.pem"
  echo "Signing a PDF with vellumark-sign (PAdES baseline B-B):"
  if ! SOFTHSM2_CONF=$DEMO_DIR/softhsm2.conf VELLUMARK_UI_SOCKET=$socket "$SIGNER" "$sample" \
    -o "$signed" --key-id "$key_id" --reason "Vellumark demo" </dev/null >"$run_dir/sign.txt" 2>&1; then
    sed 's/^/  | /' "$run_dir/sign.txt" >&2
    die "vellumark-sign failed"
  fi
  say "signed PDF" "$signed ($(stat -c %s "$signed") bytes)"
  local line
  if ! "$HERE/../sign/check-signed-pdf.sh" "$signed" "$nssdir" "$DEMO_DIR/ca.pem" \
    >"$run_dir/check.txt" 2>&1; then
    sed 's/^/  | /' "$run_dir/check.txt" >&2
    die "the signed PDF does not verify"
  fi
  while IFS= read -r line; do
    case "$line" in
      pdfsig:*) say "pdfsig" "${line#pdfsig: }" ;;
      openssl*) say "openssl cms" "${line#openssl cms -verify: }" ;;
    esac
  done <"$run_dir/check.txt"
}

main() {
  echo "Vellumark demo: sign a document with a smart card (SoftHSM2 demo token)"
  ensure_demo_token
  say "demo token" "\"$TOKEN_LABEL\" in $DEMO_DIR ($token_state), user PIN $USER_PIN"

  run_dir=$(mktemp -d "${TMPDIR:-/tmp}/vellumark-demo.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  socket=$run_dir/ui.sock
  start_host "$socket"
  say "host" "pid ${host_pid:-?} on $where, bridge $socket"
  say "PIN dialog" "$pin_dialog"

  ui_call initialize
  say "initialize" "$reply"
  ui_call isTokenAvailable
  say "isTokenAvailable" "$reply"
  [[ "$reply" == true ]] || die "the host sees no token (is SoftHSM2's module registered with p11-kit?)"

  ui_call getCertificates '{"onlyForSigning": true}'
  local listed=$reply count
  count=$(jq length <<<"$listed")
  say "getCertificates" "$count certificate(s) for signing"
  local sign_hex auth_hex
  sign_hex=$(xxd -p -c 100000 "$DEMO_DIR/signing-cert.der")
  auth_hex=$(xxd -p -c 100000 "$DEMO_DIR/authentication-cert.der")
  # Other tokens may be present too: pick the demo's own certificate.
  local record
  record=$(jq -c --arg der "$sign_hex" 'map(select(.derData."$bytes" == $der)) | first // empty' \
    <<<"$listed")
  [[ -n "$record" ]] ||
    die "the demo signing certificate (\"$SIGN_NAME\") is not among the listed ones:"$'\n'"$(describe_certificates "$listed")"
  if jq -e --arg der "$auth_hex" 'any(.derData."$bytes" == $der)' <<<"$listed" >/dev/null; then
    die "the authentication certificate (digital signature only) was offered for signing"
  fi

  local subject issuer serial not_before not_after key_id
  subject=$(jq -r .subjectCN <<<"$record")
  issuer=$(jq -r .issuerCN <<<"$record")
  serial=$(jq -r .serialNumber <<<"$record")
  not_before=$(jq .notBefore <<<"$record" | int_value)
  not_after=$(jq .notAfter <<<"$record" | int_value)
  key_id=$(jq .keyId <<<"$record" | bytes_hex)
  echo "Picked the signing certificate (the authentication certificate is not offered):"
  say "subject" "$subject"
  say "issuer" "$issuer"
  say "valid" "$(utc $((not_before / 1000))) to $(utc $((not_after / 1000)))"
  say "serial" "$serial"
  say "keyId" "$key_id"

  # The host's record must describe the certificate itself.
  local pem=$DEMO_DIR/signing-cert.pem cert_serial
  [[ "$issuer" == "$CA_NAME" ]] || die "issuerCN is \"$issuer\", the certificate says \"$CA_NAME\""
  (($(cert_time "$pem" startdate) == not_before / 1000 &&
    $(cert_time "$pem" enddate) == not_after / 1000)) ||
    die "the host's validity differs from the certificate's: $(openssl x509 -in "$pem" -noout -dates | tr '\n' ' ')"
  cert_serial=$(openssl x509 -in "$pem" -noout -serial)
  cert_serial=${cert_serial#serial=}
  [[ "$(sed 's/^0*//' <<<"$serial")" == "$(sed 's/^0*//' <<<"$cert_serial")" ]] ||
    die "serialNumber $serial differs from the certificate's $cert_serial"

  local out=$DEMO_DIR/out document
  mkdir -p "$out"
  if [[ -n "$file" ]]; then
    document=$file
  else
    document=$out/sample.pdf
    make_sample_pdf "$document"
  fi
  local base digest
  base=$(basename "$document")
  openssl dgst -sha256 -binary "$document" >"$out/$base.sha256"
  digest=$(xxd -p -c 100 "$out/$base.sha256")
  echo "Signing:"
  say "document" "$document ($(stat -c %s "$document") bytes)"
  say "SHA-256" "$digest"

  local args
  args=$(jq -cn --argjson record "$record" --arg hash "$digest" \
    '{keyId: $record.keyId, hash: {"$bytes": $hash}, certDer: $record.derData}')
  local started=$EPOCHREALTIME
  # The PIN dialog may wait for a person in interactive mode.
  ui_call signBytes "$args" $((interactive ? 900 : 60))
  local elapsed
  elapsed=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
  local signature_hex
  signature_hex=$(bytes_hex <<<"$reply")
  [[ "$signature_hex" =~ ^[0-9a-f]+$ ]] || die "signBytes answered no bytes: $reply"
  xxd -r -p <<<"$signature_hex" >"$out/$base.sig"
  if [[ -s "$run_dir/pinentry.log" ]]; then
    say "PIN asked" "$(grep -m1 '^description:' "$run_dir/pinentry.log" | cut -c14- |
      tr '\n' ' ' | sed 's/ *$//')"
  fi
  say "signBytes" "$(stat -c %s "$out/$base.sig")-byte RSA signature in ${elapsed} ms"
  say "signature" "$out/$base.sig"

  # OpenSSL checks the raw digest signature, the whole document and the chain.
  openssl x509 -in "$pem" -noout -pubkey >"$run_dir/signer.pub.pem"
  openssl pkeyutl -verify -pubin -inkey "$run_dir/signer.pub.pem" -pkeyopt digest:sha256 \
    -in "$out/$base.sha256" -sigfile "$out/$base.sig" >/dev/null 2>&1 ||
    die "OpenSSL does not accept the signature over the digest"
  openssl dgst -sha256 -verify "$run_dir/signer.pub.pem" -signature "$out/$base.sig" \
    "$document" >/dev/null 2>&1 || die "OpenSSL does not accept the signature over the document"
  openssl verify -CAfile "$DEMO_DIR/ca.pem" "$pem" >/dev/null 2>&1 ||
    die "the signing certificate does not chain to the demo CA"
  echo "Signature verified with OpenSSL (RSASSA-PKCS1-v1_5, SHA-256; certificate issued by $CA_NAME)."

  sign_pdf "$out" "$key_id"

  stop_host
  say "host" "stopped"
}

main
