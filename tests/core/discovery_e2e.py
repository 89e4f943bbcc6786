#!/usr/bin/env python3
"""End-to-end test of the LAN discovery responder.

The Windows responder runs under Wine on this machine; probes come from a network
namespace joined to it by a veth pair on private addresses, so the responder sees a
LAN sender without any traffic leaving the machine. Exits 77 (skipped) with a reason
when namespaces cannot be made here.
"""
import fcntl
import os
import select
import signal
import socket
import subprocess
import sys
import time

NS = "tavro-disc"
HOST_IF, NS_IF = "tvdisc0", "tvdisc1"
NET = "10.213.47.0/30"
HOST_IP, NS_IP = "10.213.47.1", "10.213.47.2"
PORT = 27184
SKIP = 77

# Runs inside the namespace: sends each datagram (hex) from one socket, then prints
# every reply that arrives within the wait, as hex, one per line.
SENDER = r"""
import socket, sys
target, wait = (sys.argv[1], int(sys.argv[2])), float(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[4], 0))
for h in sys.argv[5:]:
    s.sendto(bytes.fromhex(h), target)
s.settimeout(wait)
try:
    while True:
        print(s.recv(65536).hex(), flush=True)
except socket.timeout:
    pass
"""


def run(*cmd, check=True):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)}: {r.stderr.strip()}")
    return r


def teardown():
    run("ip", "netns", "del", NS, check=False)
    run("ip", "link", "del", HOST_IF, check=False)


def setup():
    teardown()  # a killed run may have left them behind
    used = run("ip", "-4", "-o", "addr", "show", "to", NET, check=False).stdout.strip()
    if used:
        raise RuntimeError(f"{NET} is already in use on this machine: {used}")
    run("ip", "netns", "add", NS)
    run("ip", "link", "add", HOST_IF, "type", "veth", "peer", "name", NS_IF)
    run("ip", "link", "set", NS_IF, "netns", NS)
    run("ip", "addr", "add", f"{HOST_IP}/30", "dev", HOST_IF)
    run("ip", "link", "set", HOST_IF, "up")
    run("ip", "netns", "exec", NS, "ip", "addr", "add", f"{NS_IP}/30", "dev", NS_IF)
    run("ip", "netns", "exec", NS, "ip", "link", "set", NS_IF, "up")
    run("ip", "netns", "exec", NS, "ip", "link", "set", "lo", "up")


def probe_from_ns(datagrams, wait=0.5):
    r = run("ip", "netns", "exec", NS, sys.executable, "-c", SENDER, HOST_IP, str(PORT),
            str(wait), NS_IP, *[d.hex() for d in datagrams])
    return [bytes.fromhex(line) for line in r.stdout.split()]


def probe_from_loopback(datagram, wait=0.5):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.sendto(datagram, ("127.0.0.1", PORT))
    s.settimeout(wait)
    try:
        return [s.recv(65536)]
    except socket.timeout:
        return []
    finally:
        s.close()


def native_bind_shared():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if hasattr(socket, "SO_REUSEPORT"):
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    try:
        s.bind(("0.0.0.0", PORT))
        return "bound"
    except OSError:
        return "busy"
    finally:
        s.close()


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline().strip() if ready else "(nothing within the timeout)"


def main():
    wine_exec, responder_exe = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        print("SKIP: network namespaces need root")
        return SKIP
    # Port 27184 is fixed: one discovery test at a time on this machine, also across
    # build trees that share the toolchain root.
    os.makedirs("/run/lock", exist_ok=True)
    lock = open("/run/lock/tavro-discovery-test.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        try:
            setup()
        except (RuntimeError, OSError) as e:
            print(f"SKIP: cannot create the test network namespace: {e}")
            return SKIP
        return check(wine_exec, responder_exe)
    finally:
        teardown()


def check(wine_exec, responder_exe):
    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append(f"{what}: got {got!r}, want {want!r}")

    proc = subprocess.Popen([wine_exec, responder_exe, "27183", "PC"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    try:
        line = read_line(proc.stdout, 30)
        if line != "ready":
            print(f"FAIL: the responder did not start: {line}")
            return 1
        reply = b"KELM!\x03\x00\x2f\x6a\x02\x00PC"
        good = b"KELM?\x01\x02"
        expect("7-byte probe from a LAN address", probe_from_ns([good]), [reply])
        # A dropped datagram followed by a good probe: the responder handles datagrams
        # in order, so exactly one reply proves the first one got none.
        for what, bad in [("6-byte probe", b"KELM?\x01"),
                          ("wrong magic", b"KELN?\x01\x02"),
                          ("300-byte datagram", b"KELM?" + bytes(295))]:
            expect(what, probe_from_ns([bad, good]), [reply])
        expect("probe from loopback", probe_from_loopback(good), [])
        expect("probe after the loopback one", probe_from_ns([good]), [reply])

        # Nobody else can bind the port while the responder has it: neither a native
        # program asking to share it nor a Windows program with SO_REUSEADDR.
        expect("native bind with SO_REUSEADDR/SO_REUSEPORT", native_bind_shared(), "busy")
        stranger = subprocess.run([wine_exec, responder_exe, "--bind-shared"], stdout=subprocess.PIPE,
                                  stdin=subprocess.DEVNULL, text=True, timeout=60)
        expect("Windows bind with SO_REUSEADDR", stranger.stdout.strip(), "busy")

        # A flood from one source gets a few replies, not one per probe; after a
        # pause the source is answered again.
        time.sleep(1.5)
        flood = probe_from_ns([good] * 200, wait=1.0)
        if not 1 <= len(flood) <= 4 or any(r != reply for r in flood):
            failures.append(f"flood of 200 probes: {len(flood)} replies, want 1 to 4")
        time.sleep(1.5)
        expect("probe after the flood", probe_from_ns([good]), [reply])
    finally:
        proc.stdin.close()
        try:
            code = proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = "killed"
    expect("responder exit after stop", code, 0)
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("all discovery cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
