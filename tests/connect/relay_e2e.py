#!/usr/bin/env python3
"""A paired phone reaches the host through the relay, end to end on 127.0.0.1: the relay
simulator, coturn, the Go device peer (pion ICE and kcp-go) offering and bridging its
stream to a loopback TCP port, and the Windows test program (the host in-process and the
device test client, which connects through that bridge).

The program and this driver meet in a work directory: "offer.txt" (written before the
program starts), "answer.txt" (the host's answer, written by the program) and
"bridge.txt" (the bridge's TCP port). Environment for the program: TAVRO_RELAY_SIM_PORT,
TAVRO_TURN_PORT, TAVRO_RELAY_E2E_DIR, and TAVRO_RELAY_E2E_DEVICE_RELAY_ONLY=1 with
--device-relay-only (the peer then offers only a candidate on coturn).

The peer learns only the answer's candidates on 127.0.0.1, so that no check leaves the
loopback interface even when the host gathers on every local address.

usage: relay_e2e.py [--device-relay-only] WINE_EXEC EXE BUILD_DIR [ARGS...]
"""
import os
import subprocess
import sys
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from driver_support import run_windows_program, scratch_dir, start_relay_simulator, write_atomically  # noqa: E402
from ice_turn import PASSWORD, USER, free_port, start_coturn  # noqa: E402
from peer_exchange import go_peer  # noqa: E402


def loopback_only(line):
    """False for a candidate line whose address is not 127.0.0.1."""
    if not line.startswith("a=candidate:"):
        return True
    fields = line.split()
    return len(fields) > 4 and fields[4] == "127.0.0.1"


def main():
    argv = sys.argv[1:]
    relay_only = argv[:1] == ["--device-relay-only"]
    if relay_only:
        argv = argv[1:]
    wine_exec, program, build_dir, *args = argv
    # Built beside the shared Go build cache, which a scratch folder would throw away.
    with go_peer(build_dir) as go_exe, scratch_dir(build_dir, "relay_e2e.") as work:
        return run(wine_exec, program, args, work, go_exe, relay_only)


def run(wine_exec, program, args, work, go_exe, relay_only):
    turn_port = free_port()
    coturn = start_coturn(work, turn_port, [])
    sim_port, stop_sim = start_relay_simulator()
    peer_args = [go_exe, "-mode", "bridge", "-life", "120s"]
    if relay_only:
        peer_args += ["-relay-only", f"turn:127.0.0.1:{turn_port}?transport=udp", "-turn-user", USER,
                      "-turn-pass", PASSWORD]
    peer = subprocess.Popen(peer_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        offer = []
        for line in peer.stdout:
            line = line.strip()
            if line == "END":
                break
            if line.startswith("a="):
                offer.append(line)
        write_atomically(os.path.join(work, "offer.txt"), "\r\n".join(offer) + "\r\n")

        def feed():
            answer_path = os.path.join(work, "answer.txt")
            deadline = time.monotonic() + 90
            while not os.path.exists(answer_path) and time.monotonic() < deadline:
                time.sleep(0.05)
            if not os.path.exists(answer_path):
                return
            with open(answer_path) as f:
                answer = f.read()
            for line in answer.replace("\r\n", "\n").split("\n"):
                if line.startswith("a=") and loopback_only(line):
                    peer.stdin.write(line + "\n")
            peer.stdin.write("END\n")
            peer.stdin.flush()
            for line in peer.stdout:
                print("peer:", line.rstrip(), flush=True)
                if line.startswith("BRIDGE "):
                    write_atomically(os.path.join(work, "bridge.txt"), line.split()[1])
        threading.Thread(target=feed, daemon=True).start()

        env = {"TAVRO_RELAY_SIM_PORT": str(sim_port), "TAVRO_TURN_PORT": str(turn_port), "TAVRO_RELAY_E2E_DIR": work,
               "TAVRO_RELAY_E2E_DEVICE_RELAY_ONLY": "1" if relay_only else ""}
        return run_windows_program(wine_exec, program, args, env, timeout=240)
    finally:
        try:
            peer.stdin.close()
        except OSError:
            pass
        try:
            peer.wait(10)
        except subprocess.TimeoutExpired:
            peer.kill()
        coturn.kill()
        coturn.wait()
        stop_sim()


if __name__ == "__main__":
    sys.exit(main())
