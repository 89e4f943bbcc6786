#!/usr/bin/env python3
"""Fails when a program imports any of the named DLLs.

Usage: check_no_dlls.py OBJDUMP EXE DLL... ; a program built from the core and desktop
libraries alone must not drag in capture, encoding or the relay's HTTP client."""
import subprocess
import sys


def main() -> int:
    objdump, exe, dlls = sys.argv[1], sys.argv[2], sys.argv[3:]
    dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    imported = {line.split("DLL Name:", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
    if "user32.dll" not in imported:
        print(f"{exe}: no user32 import listed; cannot check", file=sys.stderr)
        return 1
    found = sorted(d for d in dlls if d.lower() in imported)
    for d in found:
        print(f"{exe}: imports {d}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
