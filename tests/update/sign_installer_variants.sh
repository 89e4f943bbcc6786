#!/usr/bin/env bash
# sign_installer_variants.sh PROGRAM OUTDIR OSSLSIGNCODE KEYS: the recording installer as
# the service's update tests serve it: signed by "tavro Test Signer" (signed.exe), by
# "Other Signer" (other-signer.exe), unsigned (unsigned.exe), and signed with one byte in
# the middle flipped afterwards (flipped.exe).
set -euo pipefail
program="$1" out="$2" sign="$3" keys="$4"
mkdir -p "$out"
cp "$program" "$out/unsigned.exe"
rm -f "$out/signed.exe" "$out/other-signer.exe"
"$sign" sign -certs "$keys/signer.crt" -key "$keys/signer.key" -in "$program" -out "$out/signed.exe" >/dev/null
"$sign" sign -certs "$keys/other-signer.crt" -key "$keys/other-signer.key" -in "$program" \
  -out "$out/other-signer.exe" >/dev/null
cp "$out/signed.exe" "$out/flipped.exe"
python3 - "$out/flipped.exe" "$(stat -c %s "$program")" <<'PY'
import sys
path, code_size = sys.argv[1], int(sys.argv[2])
with open(path, "r+b") as f:
    f.seek(code_size // 2)
    byte = f.read(1)
    f.seek(code_size // 2)
    f.write(bytes([byte[0] ^ 0x01]))
PY
