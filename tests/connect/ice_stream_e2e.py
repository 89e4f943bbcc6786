#!/usr/bin/env python3
"""ICE stream end to end: our IceStream under Wine against the Go device peer (pion ICE with
kcp-go, loopback only). One scenario per run.

usage: ice_stream_e2e.py WINE_EXEC PEER_EXE BUILD_DIR SCENARIO
"""
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_exchange import end, exchange, go_peer  # noqa: E402

MiB = 1 << 20
# scenario: (peer mode and flags, our arguments)
SCENARIOS = {
    "echo": (["-mode", "echo"], ["echo", str(4 * MiB)]),
    "write-close": (["-mode", "sink", "-bytes", str(MiB)], ["write-close", str(MiB)]),
    "slow-reader": (["-mode", "push", "-bytes", str(256 * MiB)], ["slow-reader", str(256 * MiB)]),
    "flood": (["-mode", "flood", "-count", "100000"], ["flood"]),
    "consent": (["-mode", "idle", "-life", "90s"], ["consent", "60000"]),
    "vanish": (["-mode", "idle"], ["vanish"]),
    "wrap": (["-mode", "echo"], ["wrap", str(16 * MiB)]),
    "peer-close": (["-mode", "closer"], ["peer-close"]),
    "stall": (["-mode", "idle", "-life", "90s"], ["stall", str(64 * MiB)]),
    "fat": (["-mode", "fat", "-count", "20000"], ["fat"]),
}


def main():
    wine_exec, peer_exe, build_dir, scenario = sys.argv[1:5]
    with go_peer(build_dir) as go_exe:
        return run(wine_exec, peer_exe, go_exe, scenario)


def run(wine_exec, peer_exe, go_exe, scenario):
    peer_args, our_args = SCENARIOS[scenario]
    peer = subprocess.Popen([go_exe] + peer_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ours = subprocess.Popen([wine_exec, peer_exe] + our_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        _, answer = exchange(peer, ours)
        print("answer:", answer)
        peer_lines = []
        reader = threading.Thread(target=lambda: peer_lines.extend(peer.stdout.readlines()))
        reader.start()
        our_lines = []
        for line in ours.stdout:
            our_lines.append(line.rstrip("\n"))
            if scenario == "vanish" and line.startswith("WAITING"):
                time.sleep(1)
                peer.kill()  # the phone disappears without a word
        ours.wait(timeout=300)
        if peer.poll() is None:
            peer.stdin.close()
            peer.wait(timeout=30)
        reader.join(timeout=5)
        print("ours:\n " + "\n ".join(our_lines))
        print("peer:\n " + "".join(peer_lines).replace("\n", "\n "))
        r = {}
        for l in our_lines:
            parts = l.split(None, 1)
            if len(parts) == 2:
                r[parts[0]] = parts[1]
        if ours.returncode != 0 or "FINISHED" not in [l.strip() for l in our_lines]:
            return 1
        pair = r.get("PAIR", "")
        if not pair.startswith("host|127.0.0.1 ") or "|host|127.0.0.1 " not in pair:
            print("unexpected pair:", pair)
            return 1
        if scenario in ("echo", "wrap"):
            return 0 if r.get("ECHO", "").startswith("equal") else 1
        if scenario == "write-close":
            sink = [l for l in peer_lines if l.startswith("SINK ")]
            wrote = r.get("WROTE", "").split()
            if not sink or len(wrote) != 2:
                return 1
            _, total, digest, marker = sink[0].split()
            markers = sum(1 for l in peer_lines if l.strip() == "MARKER")
            # The marker goes out three times (against loss), once the data is delivered.
            ok = int(total) == MiB and digest == wrote[1] and marker == "marker=true" and markers == 3
            print("whole before the marker" if ok else "data lost or marker missing")
            return 0 if ok else 1
        if scenario == "slow-reader":
            growth = int(r["MEMORY_GROWTH_BYTES"])
            # The counter must be real (non-zero) for the bound to mean anything.
            ok = (int(r["MEMORY_BEFORE_BYTES"]) > 0 and growth < 16 * MiB and
                  int(r["PEAK_READ_BUFFER"]) <= 4 * MiB and int(r["READ"]) == 256 * MiB)
            print("memory growth", growth, "bytes")
            return 0 if ok else 1
        if scenario == "flood":
            ok = int(r["PEAK_QUEUE"]) <= 4096 and r.get("AFTER_FLOOD") == "echoed"
            return 0 if ok else 1
        if scenario == "peer-close":
            return 0 if r.get("PEER_CLOSE", "").startswith("message=equal after=0 ") and \
                r["PEER_CLOSE"].endswith("write=0") else 1
        if scenario == "stall":
            v = dict(kv.split("=") for kv in r.get("STALL", "").split())
            # Send time-out 1000 ms; the write fails and the stream is closed by then.
            ok = v.get("write") == "0" and int(v.get("ms", "99999")) < 1000 + 2000 and v.get("read") == "0"
            return 0 if ok else 1
        if scenario == "fat":
            growth = int(r["MEMORY_GROWTH_BYTES"])
            print("memory growth", growth, "bytes")
            ok = int(r["MEMORY_BEFORE_BYTES"]) > 0 and growth < 16 * MiB and r.get("AFTER_FAT") == "echoed"
            return 0 if ok else 1
        if scenario == "consent":
            return 0 if r.get("AFTER_IDLE") == "connected" else 1
        if scenario == "vanish":
            v = dict(kv.split("=") for kv in r.get("VANISHED", "").split())
            # Peer killed 1 s after the wait began; consent time-out 4 s in this test.
            ok = v.get("read") == "0" and int(v.get("after_ms", "99999")) < 1000 + 4000 + 1500
            return 0 if ok else 1
        return 1
    finally:
        end(ours, peer)


if __name__ == "__main__":
    sys.exit(main())
