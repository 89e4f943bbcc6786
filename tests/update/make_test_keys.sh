#!/usr/bin/env bash
# Makes the update tests' keys and certificates in the folder given (once: a finished
# folder holds "done"). Nothing here is a release key.
set -euo pipefail
out="$1"
[ -f "$out/done" ] && exit 0
rm -rf "$out" && mkdir -p "$out" && cd "$out"
quiet() { "$@" >/dev/null 2>&1 || { echo "make_test_keys: $* failed" >&2; exit 1; }; }

# Update signing keys: PEM, and the 87-character base64url text of the public point.
for name in update other-update; do
  quiet openssl ecparam -name prime256v1 -genkey -noout -out "$name.pem"
  openssl ec -in "$name.pem" -pubout -outform DER 2>/dev/null | tail -c 65 | base64 -w0 | tr '+/' '-_' | tr -d '=' >"$name.pub.txt"
done

# A test root and two server certificates under it: localhost, and a name nobody asks for.
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.crt -days 3650 -subj "/CN=tavro Test Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
for host in localhost otherhost.invalid; do
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$host.key" -out "$host.csr" -subj "/CN=$host"
  printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$host" >"$host.ext"
  quiet openssl x509 -req -in "$host.csr" -CA root.crt -CAkey root.key -CAcreateserial -out "$host.crt" -days 3650 \
    -extfile "$host.ext"
done

# Self-signed code-signing certificates.
sign_cert() {
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -days 3650 -subj "/CN=$2" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature"
}
sign_cert signer "tavro Test Signer"
sign_cert other-signer "Other Signer"
touch done
