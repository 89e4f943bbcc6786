#!/usr/bin/env python3
"""STUN and TURN against coturn on 127.0.0.1 (long-term credentials, loopback peers
allowed): server-reflexive and relayed candidates, 401 and 438 answers, data through the
relay by ChannelData and by Data indications, Refresh of a short allocation, and a wrong
password that still ends gathering. Our side runs under Wine; the device peer is pion.

usage: ice_turn.py WINE_EXEC PEER_EXE BUILD_DIR SCENARIO
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_exchange import end, exchange, go_peer  # noqa: E402

USER, PASSWORD, REALM = "alice", "secret-pw", "tavro.test"


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start_coturn(workdir, port, extra):
    relay_base = 20000 + (port % 400) * 100
    args = ["turnserver", "-n", "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1",
            f"--listening-port={port}", f"--min-port={relay_base}", f"--max-port={relay_base + 99}",
            "--lt-cred-mech", f"--user={USER}:{PASSWORD}", f"--realm={REALM}",
            "--allow-loopback-peers", "--no-tls", "--no-dtls", "--no-cli", "--no-tcp", "--fingerprint",
            "--log-file=stdout", f"--pidfile={workdir}/turn.pid", f"--db={workdir}/turn.sqlite"] + extra
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Ready when it answers a Binding request.
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.settimeout(0.2)
    request = bytes.fromhex("000100002112a442") + os.urandom(12)
    for _ in range(50):
        probe.sendto(request, ("127.0.0.1", port))
        try:
            probe.recv(1024)
            return proc
        except OSError:
            time.sleep(0.1)
    proc.kill()
    raise RuntimeError("coturn did not start")


def run_gather(wine_exec, peer_exe, args):
    out = subprocess.run([wine_exec, peer_exe, "gather"] + args, stdout=subprocess.PIPE, text=True,
                         timeout=60).stdout
    print(out)
    return out


def run_with_device(wine_exec, peer_exe, go_exe, our_args):
    peer = subprocess.Popen([go_exe, "-mode", "echo"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ours = subprocess.Popen([wine_exec, peer_exe] + our_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        _, answer = exchange(peer, ours)
        print("answer:", answer)
        rest, mine = [], []
        threading.Thread(target=lambda: rest.extend(peer.stdout.readlines()), daemon=True).start()
        reader = threading.Thread(target=lambda: mine.extend(ours.stdout.readlines()), daemon=True)
        reader.start()
        try:
            ours.wait(timeout=120)
        except subprocess.TimeoutExpired:
            ours.kill()
        reader.join(timeout=5)
        out = "".join(mine)
        print("ours:", out)
        print("peer:", "".join(rest))
        return out
    finally:
        end(ours, peer)


def run_device_scenario(wine_exec, peer_exe, go_exe, scenario, turn):
    """The scenarios that need the Go device peer behind the TURN server."""
    if scenario in ("channel", "indication"):
        args = ["echo", str(256 << 10)] + turn + ["--relay-only"]
        if scenario == "indication":
            args.append("--no-channels")
        out = run_with_device(wine_exec, peer_exe, go_exe, args)
        pair_ok = "PAIR relay|" in out
        echo_ok = "ECHO equal" in out
        counter = "channeldata=0" if scenario == "channel" else "indications=0"
        return 0 if pair_ok and echo_ok and counter not in out else 1
    if scenario == "refresh":
        idle_ms = 25000
        out = run_with_device(wine_exec, peer_exe, go_exe, ["refresh", str(idle_ms)] + turn + ["--relay-only"])
        refreshes = [int(w.split("=")[1]) for w in out.split() if w.startswith("refreshes=")]
        lifetime = [int(w.split("=")[1]) for w in out.split() if w.startswith("first_lifetime=")]
        # Without a refresh the allocation would have ended during the idle time.
        ok = ("ROUND0 equal" in out and "ROUND1 equal" in out and refreshes and lifetime and
              0 < lifetime[0] * 1000 < idle_ms and refreshes[0] >= 1)
        return 0 if ok else 1
    return 1


def main():
    wine_exec, peer_exe, build_dir, scenario = sys.argv[1:5]
    port = free_port()
    extra = {"stale": ["--stale-nonce=2"], "refresh": ["--max-allocate-lifetime=6"]}.get(scenario, [])
    turn = ["--turn", f"turn:127.0.0.1:{port}?transport=udp", USER, PASSWORD]
    with tempfile.TemporaryDirectory(dir=build_dir) as workdir:
        coturn = start_coturn(workdir, port, extra)
        try:
            if scenario == "srflx":
                out = run_gather(wine_exec, peer_exe, ["--stun", f"stun:127.0.0.1:{port}"])
                return 0 if " typ srflx raddr 127.0.0.1 " in out else 1
            if scenario == "relay":
                out = run_gather(wine_exec, peer_exe, turn)
                return 0 if " typ relay raddr " in out and "TURN unauthorized=1 " in out else 1
            if scenario == "stale":
                out = run_gather(wine_exec, peer_exe, turn + ["--turn-auth-delay", "3500"])
                return 0 if " typ relay " in out and "stale=0" not in out else 1
            if scenario == "wrong-password":
                bad = ["--turn", f"turn:127.0.0.1:{port}", USER, "not-the-password"]
                out = run_gather(wine_exec, peer_exe, bad)
                gathered = [l for l in out.splitlines() if l.startswith("GATHERED_MS ")]
                ok = (" typ relay" not in out and "a=end-of-candidates" in out and gathered
                      and int(gathered[0].split()[1]) < 10000)
                return 0 if ok else 1
            with go_peer(build_dir) as go_exe:
                return run_device_scenario(wine_exec, peer_exe, go_exe, scenario, turn)
        finally:
            end(coturn)


if __name__ == "__main__":
    sys.exit(main())
