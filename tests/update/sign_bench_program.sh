#!/usr/bin/env bash
# sign_bench_program.sh PROGRAM OUT OSSLSIGNCODE KEYS: PROGRAM followed by 100 MB of
# zeros, signed as "tavro Test Signer" (the signature covers the appended bytes).
set -euo pipefail
cat "$1" >"$2.in"
head -c 100000000 /dev/zero >>"$2.in"
rm -f "$2"
"$3" sign -certs "$4/signer.crt" -key "$4/signer.key" -in "$2.in" -out "$2" >/dev/null
rm -f "$2.in"
