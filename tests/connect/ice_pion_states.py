#!/usr/bin/env python3
"""Our ICE agent under Wine answering pion's offer: its states go gathering, connecting,
connected and then completed (pion nominates), loopback only.

usage: ice_pion_states.py WINE_EXEC PEER_EXE BUILD_DIR
"""
import os
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from go_build import build_go_peer  # noqa: E402


def main():
    wine_exec, peer_exe, build_dir = sys.argv[1:4]
    here = os.path.dirname(os.path.abspath(__file__))
    go_peer = build_go_peer(os.path.join(here, "device_peer"), os.path.join(build_dir, f"device_peer.{os.getpid()}"))
    peer = subprocess.Popen([go_peer, "-mode", "idle"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ours = subprocess.Popen([wine_exec, peer_exe, "--datagrams", "0", "--connect-ms", "5000"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        offer = []
        for line in peer.stdout:
            if line.strip() == "END":
                break
            if line.startswith("a="):
                offer.append(line.strip())
        ours.stdin.write("\n".join(offer) + "\nEND\n")
        ours.stdin.flush()
        answer, early = [], []
        for line in ours.stdout:
            if line.strip() == "END":
                break
            if line.startswith("a="):
                answer.append(line.strip())
            else:
                early.append(line)
        peer.stdin.write("\n".join(answer) + "\nEND\n")
        peer.stdin.flush()
        threading.Thread(target=peer.stdout.read, daemon=True).start()
        out, _ = ours.communicate(timeout=60)
        out = "".join(early) + out
        print(out)
        states = [int(l.split()[1]) for l in out.splitlines() if l.startswith("STATE ")]
        print("states:", states)
        return 0 if states[:4] == [1, 2, 3, 4] and "COMPLETED" in out else 1
    finally:
        for p in (ours, peer):
            if p.poll() is None:
                p.kill()
                p.wait()
        os.unlink(go_peer)


if __name__ == "__main__":
    sys.exit(main())
