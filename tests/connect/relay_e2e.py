#!/usr/bin/env python3
"""A paired phone reaches the host through the relay, end to end on 127.0.0.1: the relay
simulator, coturn, the Go device peer (pion ICE and kcp-go) offering and bridging its
stream to a loopback TCP port, and the Windows test program (the host in-process and the
device test client, which connects through that bridge).

The program and this driver meet in a work directory: "offer.txt" (written before the
program starts), "answer.txt" (the host's answer, written by the program) and
"bridge.txt" (the bridge's TCP port). Environment for the program: TAVRO_RELAY_SIM_PORT,
TAVRO_TURN_PORT, TAVRO_RELAY_E2E_DIR.

usage: relay_e2e.py WINE_EXEC EXE BUILD_DIR [ARGS...]
"""
import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
import relay_sim  # noqa: E402
from go_build import build_go_peer  # noqa: E402
from ice_turn import free_port, start_coturn  # noqa: E402


def start_simulator():
    loop = asyncio.new_event_loop()
    stop = loop.create_future()
    port = []
    ready = threading.Event()

    def serve():
        asyncio.set_event_loop(loop)

        def on_port(p):
            port.append(p)
            ready.set()
        try:
            loop.run_until_complete(relay_sim.run(on_port, stop))
        finally:
            ready.set()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    if not ready.wait(30) or not port:
        raise RuntimeError("the simulator did not start")

    def finish():
        loop.call_soon_threadsafe(lambda: stop.done() or stop.set_result(None))
        thread.join(10)
    return port[0], finish


def write_atomically(path, text):
    with open(path + ".part", "w", newline="") as f:
        f.write(text)
    os.replace(path + ".part", path)


def main():
    wine_exec, program, build_dir, *args = sys.argv[1:]
    work = tempfile.mkdtemp(prefix="relay_e2e.", dir=build_dir)
    go_peer = build_go_peer(os.path.join(here, "device_peer"), os.path.join(build_dir, f"device_peer.{os.getpid()}"))
    turn_port = free_port()
    coturn = start_coturn(work, turn_port, [])
    sim_port, stop_sim = start_simulator()
    peer = subprocess.Popen([go_peer, "-mode", "bridge", "-life", "120s"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    code = 1
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
                if line.startswith("a="):
                    peer.stdin.write(line + "\n")
            peer.stdin.write("END\n")
            peer.stdin.flush()
            for line in peer.stdout:
                print("peer:", line.rstrip(), flush=True)
                if line.startswith("BRIDGE "):
                    write_atomically(os.path.join(work, "bridge.txt"), line.split()[1])
        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()

        env = dict(os.environ, TAVRO_RELAY_SIM_PORT=str(sim_port), TAVRO_TURN_PORT=str(turn_port),
                   TAVRO_RELAY_E2E_DIR=work)
        code = subprocess.run([wine_exec, program, *args], env=env, timeout=240).returncode
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
        shutil.rmtree(work, ignore_errors=True)
        try:
            os.remove(go_peer)
        except OSError:
            pass
    return code


if __name__ == "__main__":
    sys.exit(main())
