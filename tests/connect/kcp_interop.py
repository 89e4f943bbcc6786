#!/usr/bin/env python3
"""Reliable-stream interop: our control block under Wine against kcp-go, through a seeded
impairment proxy on 127.0.0.1, the same payload size in both directions at once; the
SHA-256 of what each side sent must equal what the other side received.

usage: kcp_interop.py WINE_EXEC PEER_EXE BUILD_DIR BYTES LOSS REORDER DUP SEED [CLOCK_OFFSET]
"""
import os
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_exchange import end, go_peer  # noqa: E402


def main():
    wine_exec, peer_exe, build_dir, size, loss, reorder, dup, seed = sys.argv[1:9]
    offset = sys.argv[9] if len(sys.argv) > 9 else "0"
    with go_peer(build_dir, "kcp_peer") as go_exe:
        return run(wine_exec, peer_exe, go_exe, size, loss, reorder, dup, seed, offset)


def run(wine_exec, peer_exe, go_exe, size, loss, reorder, dup, seed, offset):
    go = subprocess.Popen([go_exe, "-bytes", size, "-loss", loss, "-reorder", reorder, "-dup", dup,
                           "-seed", seed, "-garbage-every", "300", "-timeout", "200s"],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        first = go.stdout.readline().split()
        if len(first) != 2 or first[0] != "PORT":
            print("go peer did not start:", first)
            return 1
        go_lines = []
        reader = threading.Thread(target=lambda: go_lines.extend(go.stdout.readlines()))
        reader.start()
        ours = subprocess.run([wine_exec, peer_exe, first[1], size, seed, offset],
                              stdout=subprocess.PIPE, text=True, timeout=280)
        print("ours:", ours.stdout.strip())
        go.stdin.close()
        go.wait(timeout=30)
        reader.join(timeout=5)
        print("kcp-go:", "".join(go_lines).strip())
        if ours.returncode != 0:
            return 1
        mine = dict(line.split(None, 1) for line in ours.stdout.splitlines() if " " in line)
        theirs = dict(line.split(None, 1) for line in go_lines if " " in line)
        if "SENT" not in theirs or "RECV" not in theirs:
            return 1
        if mine["SENT"].strip() != theirs["RECV"].strip() or mine["RECV"].strip() != theirs["SENT"].strip():
            print("digests differ")
            return 1
        print("equal digests both ways")
        return 0
    finally:
        end(go)


if __name__ == "__main__":
    sys.exit(main())
