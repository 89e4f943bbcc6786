#!/usr/bin/env python3
"""Fails when a program imports a function that older Windows (and Wine) lack.

Usage: check_imports.py OBJDUMP EXE... ; the synthetic pointer functions must be
looked up at run time, never imported, or the program would not load there."""
import subprocess
import sys

FORBIDDEN = ("CreateSyntheticPointerDevice", "InjectSyntheticPointerInput",
             "DestroySyntheticPointerDevice", "InjectTouchInput", "InitializeTouchInjection")


def main() -> int:
    objdump, exes = sys.argv[1], sys.argv[2:]
    failed = False
    for exe in exes:
        dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
        if "DLL Name: USER32.dll" not in dump and "DLL Name: user32.dll" not in dump:
            print(f"{exe}: no user32 imports listed; cannot check", file=sys.stderr)
            failed = True
            continue
        for name in FORBIDDEN:
            if name in dump:
                print(f"{exe}: imports {name}", file=sys.stderr)
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
