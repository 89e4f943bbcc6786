#!/usr/bin/env python3
"""A loopback TURN server that grants LIFETIME 0 to every Allocate and Refresh (and
answers every one): the ICE stream under Wine must not refresh in a loop. Reports the
Refresh requests the server saw and the process CPU time the stream spent over 10 s.

usage: turn_lifetime_zero.py WINE_EXEC PEER_EXE
"""
import hashlib
import hmac
import socket
import struct
import subprocess
import sys
import threading
import zlib

USER, PASSWORD, REALM, NONCE = "alice", "secret-pw", "tavro.test", "nonce-0"
MAGIC = 0x2112A442
IDLE_MS = 10000


def attr(kind, value):
    return struct.pack("!HH", kind, len(value)) + value + b"\0" * (-len(value) % 4)


def xor_address(ip, port):
    packed = struct.unpack("!I", socket.inet_aton(ip))[0] ^ MAGIC
    return struct.pack("!BBHI", 0, 1, port ^ (MAGIC >> 16), packed)


def message(kind, tid, attrs, key=None):
    body = b"".join(attrs)
    if key is not None:
        head = struct.pack("!HHI", kind, len(body) + 24, MAGIC) + tid
        mac = hmac.new(key, head + body, hashlib.sha1).digest()
        body += attr(0x0008, mac)
    head = struct.pack("!HHI", kind, len(body) + 8, MAGIC) + tid
    crc = (zlib.crc32(head + body) ^ 0x5354554E) & 0xFFFFFFFF
    return head + body + attr(0x8028, struct.pack("!I", crc))


def has_username(data):
    at = 20
    while at + 4 <= len(data):
        kind, length = struct.unpack("!HH", data[at:at + 4])
        if kind == 0x0006:
            return True
        at += 4 + length + (-length % 4)
    return False


def serve(sock, counts, stop):
    key = hashlib.md5(f"{USER}:{REALM}:{PASSWORD}".encode()).digest()
    sock.settimeout(0.2)
    while not stop.is_set():
        try:
            data, peer = sock.recvfrom(65536)
        except socket.timeout:
            continue
        if len(data) < 20:
            continue
        kind, _, magic = struct.unpack("!HHI", data[:8])
        tid = data[8:20]
        if magic != MAGIC or kind & 0x0110:
            continue  # indications and answers
        method = kind & 0x3EEF
        counts[method] = counts.get(method, 0) + 1
        if not has_username(data):
            reply = message(method | 0x0110, tid, [attr(0x0009, struct.pack("!HBB", 0, 4, 1) + b"Unauthorized"),
                                                   attr(0x0014, REALM.encode()), attr(0x0015, NONCE.encode())])
        elif method == 0x0003:
            reply = message(method | 0x0100, tid, [attr(0x0016, xor_address("127.0.0.1", 40000)),
                                                   attr(0x0020, xor_address(peer[0], peer[1])),
                                                   attr(0x000D, struct.pack("!I", 0))], key)
        elif method == 0x0004:
            reply = message(method | 0x0100, tid, [attr(0x000D, struct.pack("!I", 0))], key)
        else:
            reply = message(method | 0x0100, tid, [], key)
        sock.sendto(reply, peer)


def main():
    wine_exec, peer_exe = sys.argv[1:3]
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    counts, stop = {}, threading.Event()
    server = threading.Thread(target=serve, args=(sock, counts, stop))
    server.start()
    try:
        out = subprocess.run([wine_exec, peer_exe, "turn-idle", str(IDLE_MS), "--turn", f"turn:127.0.0.1:{port}",
                              USER, PASSWORD], capture_output=True, text=True, timeout=120).stdout
    finally:
        stop.set()
        server.join()
    print(out)
    print("requests seen:", {hex(k): v for k, v in counts.items()})
    r = dict(line.split(None, 1) for line in out.splitlines() if " " in line)
    cpu_ms = int(r.get("IDLE_CPU_MS", "999999"))
    refreshes = counts.get(0x0004, 0)
    allocated = counts.get(0x0003, 0) >= 2
    # LIFETIME 0 is no allocation: it is given up, never refreshed in a loop.
    ok = allocated and refreshes <= 1 and cpu_ms < 500 and "FINISHED" in out
    print(f"allocated={allocated} refreshes={refreshes} cpu_ms={cpu_ms}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
