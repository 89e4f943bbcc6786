#!/usr/bin/env python3
"""Start-up pieces the relay test drivers share: the relay-server simulator on a free port
of 127.0.0.1 in a thread of its own, a scratch folder under the build tree, files handed
over whole, and the Windows test program run under Wine."""
import asyncio
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_sim  # noqa: E402


def start_relay_simulator(timeout=30):
    """Returns (port, stop); stop() ends the simulator and waits for its thread."""
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
    if not ready.wait(timeout) or not port:
        raise RuntimeError("the relay simulator did not start")

    def finish():
        loop.call_soon_threadsafe(lambda: stop.done() or stop.set_result(None))
        thread.join(10)
    return port[0], finish


@contextlib.contextmanager
def scratch_dir(build_dir, prefix):
    """A folder of the build tree for one run, removed afterwards."""
    path = tempfile.mkdtemp(prefix=prefix, dir=build_dir)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def write_atomically(path, text):
    """The reader sees the whole file or none."""
    with open(path + ".part", "w", newline="") as f:
        f.write(text)
    os.replace(path + ".part", path)


def run_windows_program(wine_exec, program, args, env=None, timeout=None):
    """Runs the program under Wine with extra environment variables; its exit code."""
    merged = dict(os.environ, **(env or {}))
    return subprocess.run([wine_exec, program, *args], env=merged, timeout=timeout).returncode
