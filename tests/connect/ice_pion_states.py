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
from peer_exchange import description, end, exchange, go_peer  # noqa: E402


def main():
    wine_exec, peer_exe, build_dir = sys.argv[1:4]
    with go_peer(build_dir) as go_exe:
        peer = subprocess.Popen([go_exe, "-mode", "idle"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ours = subprocess.Popen([wine_exec, peer_exe, "--datagrams", "0", "--connect-ms", "5000"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            _, answer = exchange(peer, ours)
            # Our states print while the answer is gathered, inside its block.
            early = [line for line in answer if line not in description(answer)]
            threading.Thread(target=peer.stdout.read, daemon=True).start()
            out, _ = ours.communicate(timeout=60)
            out = "".join(line + "\n" for line in early) + out
            print(out)
            states = [int(l.split()[1]) for l in out.splitlines() if l.startswith("STATE ")]
            print("states:", states)
            return 0 if states[:4] == [1, 2, 3, 4] and "COMPLETED" in out else 1
        finally:
            end(ours, peer)


if __name__ == "__main__":
    sys.exit(main())
