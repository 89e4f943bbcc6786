#!/usr/bin/env python3
"""Runs a Windows update test program under Wine against the local update site.

Usage: update_site_driver.py WINE_EXEC BUILD_DIR KEYS_DIR EXE [ARGS...]. The site's root
is a fresh folder of the build tree; the program finds it and the ports in TAVRO_UPDATE_*."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import update_site  # noqa: E402


def main():
    wine_exec, build_dir, keys, program, *args = sys.argv[1:]
    root = tempfile.mkdtemp(prefix="update-site-", dir=build_dir)
    env, stop = update_site.start(root, keys)
    try:
        merged = dict(os.environ, **env)
        return subprocess.run([wine_exec, program, *args], env=merged).returncode
    finally:
        stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
