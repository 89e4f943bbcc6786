#!/usr/bin/env python3
"""Runs a Windows test program under Wine against the relay-server simulator.

The simulator listens on a free port of 127.0.0.1; the program finds it in the
environment variable TAVRO_RELAY_SIM_PORT. Usage: relay_sim_driver.py WINE_EXEC EXE [ARGS...]
"""
import asyncio
import os
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_sim  # noqa: E402


def main():
    wine_exec, program, *args = sys.argv[1:]
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
        print("FAIL: the simulator did not start")
        return 1
    env = dict(os.environ, TAVRO_RELAY_SIM_PORT=str(port[0]))
    code = subprocess.run([wine_exec, program, *args], env=env).returncode
    loop.call_soon_threadsafe(lambda: stop.done() or stop.set_result(None))
    thread.join(10)
    return code


if __name__ == "__main__":
    sys.exit(main())
