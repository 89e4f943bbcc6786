#!/usr/bin/env python3
"""Our ICE agent under Wine against libnice (controlling, loopback only): connects within
2 s and has 1000 datagrams echoed; with our FINGERPRINT or MESSAGE-INTEGRITY deliberately
corrupted libnice must refuse, so neither side connects.

usage: ice_nice.py WINE_EXEC PEER_EXE BUILD_DIR MODE   (MODE: echo, bad-fingerprint, bad-integrity)
"""
import os
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_exchange import end, exchange  # noqa: E402


def build_nice_peer(build_dir):
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(build_dir, f"nice_peer.{os.getpid()}")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "nice"], check=True,
                           stdout=subprocess.PIPE, text=True).stdout.split()
    subprocess.run(["gcc", "-O1", "-o", out, os.path.join(here, "nice_peer.c")] + flags, check=True)
    return out


def main():
    wine_exec, peer_exe, build_dir, mode = sys.argv[1:5]
    nice_exe = build_nice_peer(build_dir)
    nice = subprocess.Popen([nice_exe, "12"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    args = {"echo": [], "bad-fingerprint": ["--corrupt-fingerprint"],
            "bad-integrity": ["--corrupt-integrity"]}[mode]
    ours = subprocess.Popen([wine_exec, peer_exe, "--connect-ms", "4000"] + args,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        offer, answer = exchange(nice, ours, keep=list)
        print("offer:", offer)
        print("answer:", answer)
        nice_lines = []
        reader = threading.Thread(target=lambda: nice_lines.extend(nice.stdout.readlines()))
        reader.start()
        out, _ = ours.communicate(timeout=60)
        print("ours:", out)
        nice.wait(timeout=30)
        reader.join(timeout=5)
        print("libnice:", "".join(nice_lines))
        results = dict(l.split(None, 1) for l in out.splitlines() if " " in l)
        nice_states = [l.split()[1] for l in nice_lines if l.startswith("STATE ")]
        if mode == "echo":
            if "COMPLETED" not in results or int(results["COMPLETED"]) > 2000:
                print("not connected within 2 s")
                return 1
            if results.get("ECHOES", "").strip() != "1000":
                print("echoes missing")
                return 1
            if "ready" not in nice_states:
                return 1
            print("connected in", results["COMPLETED"].strip(), "ms, 1000 echoes")
            return 0
        # A damaged check must be refused by libnice, so nothing connects.
        if "NOT" not in results or "ready" in nice_states or "connected" in nice_states:
            print("libnice accepted damaged messages")
            return 1
        print("libnice refused:", nice_states)
        return 0
    finally:
        end(ours, nice)
        os.unlink(nice_exe)


if __name__ == "__main__":
    sys.exit(main())
