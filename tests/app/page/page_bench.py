#!/usr/bin/env python3
"""Timing of the shipped page in headless Chromium for tavro-bench: connects back to the
benchmark's control port and writes "PAGE <ready ms> <status apply ms>", the medians of
several runs. The page is RCDATA 101 read out of the tavro.exe named by --exe."""
import argparse
import json
import pathlib
import socket
import statistics
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import fixtures as fx  # noqa: E402
from page_harness import Page  # noqa: E402
from pe_resources import read_resource  # noqa: E402

ROUNDS = 15

APPLY = """(() => {
  const t0 = performance.now();
  __tavroDeliver(%s);
  const rows = document.querySelectorAll('#pairedList > .device');
  const sessions = document.querySelectorAll('#sessionList > .device');
  const ms = performance.now() - t0;
  return rows.length === 64 && sessions.length === 8 && rows[63].textContent.includes('Device 63') ? ms : -1;
})()"""


def measure(page_path):
    ready, apply = [], []
    with Page(page_path) as page:
        big = json.dumps(fx.many_sessions_status(8, 64), ensure_ascii=False, separators=(",", ":"))
        for _ in range(ROUNDS):
            ready.append(page.load())
            page.deliver(fx.init())
            ms = page.js(APPLY % json.dumps(big))
            if ms < 0:
                raise RuntimeError("the 8-session, 64-device status did not show")
            apply.append(ms)
    return statistics.median(ready), statistics.median(apply)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-control", required=True)
    parser.add_argument("--exe", required=True)
    args = parser.parse_args()
    host, port = args.control.rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=30) as control:
        try:
            page = read_resource(args.exe, 10, 101)
            if page is None:
                raise RuntimeError("no RCDATA 101 in " + args.exe)
            with tempfile.NamedTemporaryFile(suffix=".html") as f:
                f.write(page)
                f.flush()
                ready, apply = measure(f.name)
            control.sendall(("PAGE %.3f %.3f\n" % (ready, apply)).encode())
        except Exception as e:  # the benchmark shows why
            control.sendall(("ERROR %s\n" % str(e).replace("\n", " ")).encode())
        control.shutdown(socket.SHUT_WR)
        control.recv(1)


if __name__ == "__main__":
    main()
