#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (small, valid inputs like the tests' own).
Run again after changing it; the files it writes are kept in the repository."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def hello(name=b"Hello tablet", version_max=3, version_min=2, feature=0):
    out = b"KELM" + struct.pack("<HHHHHHHHHI", version_max, 1600, 1000, 240, 0, 0, 0, 0, 60, 15000)
    out += bytes([1]) + bytes(6) + bytes(5)
    out += struct.pack("<H", len(name)) + name + struct.pack("<H", 0) + bytes([0, feature])
    if version_min:
        out += struct.pack("<H", version_min)
    return out



def turn_message(message_type, attributes):
    """A STUN message (transaction id zero: the fuzz target puts in the client's own)."""
    body = b""
    for kind, value in attributes:
        body += struct.pack(">HH", kind, len(value)) + value + bytes((4 - len(value) % 4) % 4)
    return struct.pack(">HHI", message_type, len(body), 0x2112A442) + bytes(12) + body


def turn_record(flags, datagram):
    return bytes([flags]) + struct.pack(">H", len(datagram)) + datagram

SEEDS = {
    "hello": {
        "minimal": hello(version_min=0),
        "full": hello(name="Tablet \u00e9\U0001F600".encode(), feature=3),
        "short": b"KELM\x03\x00",
    },
    "messages": {
        "hello": b"\x00" + hello(),
        "limits": b"\x01" + struct.pack("<IH", 3000, 30),
        "u64": b"\x02" + struct.pack("<Q", 123456789),
        "u8": b"\x03\x01",
        "display_options": b"\x04" + struct.pack("<HB", 150, 1),
        "clipboard": b"\x05\x00" + "h\u00e9llo".encode(),
        "stream_size": b"\x06" + struct.pack("<HHHH", 2560, 1600, 1280, 800),
        "u32": b"\x07" + struct.pack("<I", 7),
        "reader": b"\x08\x04\x00\x03abc\x01\x02\x03",
        "cut": b"\x09" + "ab\u00e9\U0001F600cd".encode(),
    },
    "adb_devices": {
        "listing": b"List of devices attached\r\nR58M12AB\tdevice\r\nemulator-5554\tunauthorized\r\n\r\n",
        "lf": b"List of devices attached\nA1\toffline\nB2\tdevice",
        "daemon": b"* daemon started successfully\nS3 device\nS4\tdevice\n",
    },
    "net_address": {
        "v4": b"192.168.1.20",
        "v4_public": b"8.8.8.8",
        "v6_loopback": b"::1",
        "v6_mapped": b"::ffff:10.1.2.3",
        "v6_scoped": b"fe80::1%3",
        "v6_full": b"2001:0db8:0000:0000:0000:ff00:0042:8329",
    },
    # Two limit bytes, the 5-byte pipe header, then a lock-screen frame body.
    "pipe_message": {
        "frame_2x2": b"\xff\xff" + struct.pack("<IB", 1 + 8 + 16, 1) + struct.pack("<II", 2, 2) + bytes(range(16)),
        "input_text": b"\x00\x04" + struct.pack("<IB", 7, 2) + b"\x0dhello",
        "wrapping_size": b"\xff\xff" + struct.pack("<IB", 9, 1) + struct.pack("<II", 0x40000000, 4),
        "empty_body": b"\x00\x00" + struct.pack("<IB", 1, 3),
    },
    "utf8": {
        "ascii": b"plain text",
        "mixed": "h\u00e9llo \U0001F600 \u2028 \u202e".encode(),
        "invalid": b"\xff\xc3\x28\xe2\x82\xed\xa0\x80\xf4\x90\x80\x80",
    },
    "encoding": {
        "hex": b"00ab7FFF",
        "odd": b"abc",
        "binary": bytes(range(32)),
    },
    # RFC 7748 section 5.2: scalar then u-coordinate.
    "x25519_diff": {
        "rfc7748_1": bytes.fromhex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"
                                   "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c"),
        "rfc7748_2": bytes.fromhex("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"
                                   "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493"),
        "low_order": bytes(32) + bytes(32),
    },
    "relay_messages": {
        "challenge": b'{"nonce":"abc123","type":"challenge"}',
        "ready": b'{"iceServers":[{"urls":["stun:stun.example.org:3478"]}],"type":"ready"}',
        "connect": b'{"offer":"a=ice-ufrag:x\\r\\na=ice-pwd:y","phoneId":"' + b"ab" * 32 + b'","requestId":"r1","type":"connect"}',
        "pong": b'{"type":"pong"}',
        "base64url": b"AAECAwQF_-8",
    },
    "transfer": {
        "begin": struct.pack("<IQ", 1, 5 * 1024 * 1024) + struct.pack("<H", 9) + b"photo.jpg",
        "hostile": b"..\\..\\evil.txt",
        "reserved": b"nul .x",
        "end": struct.pack("<IB", 1, 0),
        "ack": struct.pack("<IQB", 1, 70000, 2),
    },
    # Little-endian UTF-32 here (native wchar_t); the parser only sees characters.
    "display_values": {
        "saved_scales": "125|\\\\?\\DISPLAY#Default_Monitor#0000\0150|path2\0\0".encode("utf-32-le"),
        "driver_info": struct.pack("<III", 1, 4, 0),
        "add_result": struct.pack("<IIIi", 1, 0, 0x1010, 0),
    },
    "handshake_frames": {
        "client_hello": bytes([1, 0]) + bytes(32) + b"\x04" + bytes(64),
        "client_hello_pairing": bytes([1, 1]) + bytes(32) + b"\x04" + bytes(64) + bytes([0]) + bytes(8) + bytes(32),
        "client_finish": b"\x04" + bytes(64) + struct.pack("<H", 6) + b"Tablet" + bytes(64) + bytes(32),
        "frame_header": struct.pack("<I", 100) + bytes([50]),
    },
    "devices_json": {
        "two": b'{"devices":[{"key":"BAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0A=","lastSeen":1765000000,"name":"Tablet","pairedAt":1764000000},'
               b'{"key":"bad","name":"x"}],"lastAuthenticatorStep":58907520}',
        "empty": b'{"devices":[]}',
    },
    # First byte: 0 version, 1 manifest, 2 download address, 3 Content-Length, 4 service reply.
    "update": {
        "version": b"\x001.2.3",
        "manifest": b"\x01" + b'{"app":"tavro","platform":"windows","channel":"stable","version":"1.2.0",'
                    b'"minimumVersion":"1.1.0","url":"https://dl.example/files/tavro-Setup-1.2.0.exe","size":1234,'
                    b'"sha256":"' + b"ab" * 32 + b'","notes":"https://dl.example/n","released":"2026-12-01"}',
        "url_https": b"\x02https://dl.example/files/x.exe",
        "url_local": b"\x02http://127.0.0.1:8080/stable/windows/latest.json",
        "url_userinfo": b"\x02http://127.0.0.1:1@example.com/",
        "content_length": b"\x0318446744073709551616",
        "reply_fallback": b'\x04{"ok":false,"error":"x","fallback":true}',
        "reply_ok": b'\x04{"ok":true}',
    },
    "settings_json": {
        "full": b'{"allowWifi":true,"authenticatorProtected":"AAECAwQFBgcICQ==","bitrateMbps":20,"codeEveryTime":true,'
                b'"connectEnabled":false,"connectServer":"https://connect.tavro.app","fixedPin":true,"pairingMethod":1,'
                b'"pinProtected":"QEIPAA==","updateChannel":"beta","useAdb":true}',
        "legacy_pin": b'{"pin":123456,"fixedPin":true}',
    },
    "annexb": {
        "h264_idr": b"\x02" + b"\x00\x00\x00\x01\x09\xf0" + b"\x00\x00\x00\x01\x67\x42\x00\x1f"
                    + b"\x00\x00\x01\x68\xce\x38\x80" + b"\x00\x00\x00\x01\x65\x88\x84\x00",
        "hevc_cra": b"\x03" + b"\x00\x00\x00\x01\x40\x01\x0c" + b"\x00\x00\x00\x01\x42\x01\x01"
                    + b"\x00\x00\x00\x01\x44\x01\xc1" + b"\x00\x00\x01\x2a\x01\xaf",
        "garbage": b"\x00\xff\x00\x00\x00\x00\x01",
    },
    "stun": {
        # Binding request with USERNAME, PRIORITY, ICE-CONTROLLING, then integrity and fingerprint space.
        "binding": struct.pack(">HHI", 0x0001, 28, 0x2112A442) + bytes(12)
                   + struct.pack(">HH", 0x0006, 3) + b"a:b\x00"
                   + struct.pack(">HHI", 0x0024, 4, 0x6E0001FF)
                   + struct.pack(">HHQ", 0x802A, 8, 1),
        "xor_mapped": struct.pack(">HHI", 0x0101, 12, 0x2112A442) + bytes(12)
                      + struct.pack(">HHBBH", 0x0020, 8, 0, 1, 0x1234 ^ 0x2112) + bytes(4),
    },
    "turn_client": {
        # Records of (flags, 16-bit length, datagram): a 401 with REALM and NONCE for the last
        # request, then a signed Allocate success with XOR-RELAYED-ADDRESS and LIFETIME.
        "unauthorized_then_success": turn_record(1, turn_message(0x0113, [
            (0x0009, b"\x00\x00\x04\x01Unauthorized"), (0x0014, b"realm"), (0x0015, b"nonce123")]))
        + turn_record(3 | (4 << 2), turn_message(0x0103, [
            (0x0016, struct.pack(">BBH", 0, 1, 0x1234 ^ 0x2112) + bytes([198 ^ 0x21, 51 ^ 0x12, 100 ^ 0xA4, 9 ^ 0x42])),
            (0x000D, struct.pack(">I", 600))]))
        + turn_record(3 | (200 << 2 & 0xFC), turn_message(0x0104, [(0x000D, struct.pack(">I", 0))])),
        "lifetime_zero": turn_record(1, turn_message(0x0113, [
            (0x0009, b"\x00\x00\x04\x01Unauthorized"), (0x0014, b"r"), (0x0015, b"n")]))
        + turn_record(3, turn_message(0x0103, [
            (0x0016, struct.pack(">BBH", 0, 1, 0x1234 ^ 0x2112) + bytes(4)), (0x000D, struct.pack(">I", 0))])),
        "channel_data": turn_record(0, b"\x40\x00\x00\x04abcd"),
    },
    "ice_description": {
        "offer": b"a=ice-ufrag:abcd\r\na=ice-pwd:0123456789abcdefghijkl\r\na=ice-options:ice2\r\n"
                 b"a=candidate:1 1 UDP 2130706431 127.0.0.1 40001 typ host\r\n"
                 b"a=candidate:2 1 UDP 16777215 127.0.0.1 40002 typ relay raddr 0.0.0.0 rport 0\r\n"
                 b"a=end-of-candidates\r\n",
        "stun_url": b"stun:[::1]:3478",
        "turn_url": b"turn:127.0.0.1:3478?transport=udp",
    },
    "input_records": {
        # Two pen samples (in range, then touching at half pressure).
        "pen": bytes([2]) + struct.pack("<B3x6f", 0x01, 0.25, 0.75, 0, 0, 0, 0)
               + struct.pack("<B3x6f", 0x03, 0.25, 0.75, 0.5, 0, 0, 0),
        # One touch contact, then one cancelled.
        "touch": bytes([2]) + struct.pack("<BB2x5f", 1, 0, 0.5, 0.5, 1, 0.01, 0.01)
                 + struct.pack("<BB2x5f", 2, 1, float("nan"), 0, 0, 0, 0),
        "key": struct.pack("<HBB", 0x42, 1, 0),
        "wheel": struct.pack("<BB2x4f", 4, 0, 0.5, 0.5, 0, 30.0),
    },
    "kcp_input": {
        # One PUSH segment of conversation 0x74766331 with 4 bytes of data, then an ACK.
        "push": bytes([28]) + struct.pack("<IBBHIIII", 0x74766331, 81, 0, 1024, 0, 0, 0, 4) + b"data"
                + bytes([24]) + struct.pack("<IBBHIIII", 0x74766331, 82, 0, 1024, 0, 0, 0, 0),
    },
    "elligator2_diff": {
        "zero": bytes(32),
        "one": b"\x01" + bytes(31),
        "top_bit": bytes(31) + b"\x80",
        "all_ff": b"\xff" * 32,
    },
    "qr": {
        "letter": b"A",
        "digits": b"0123456789012345",
        "alphanumeric": b"HTTPS://TAVRO.EXAMPLE/PAIR $%*+-./:",
        "pairing_link": b"tavro://connect?host=192.168.1.23&port=27183&pin=012345&name=DESK%20M%C3%BCller",
        "otpauth": b"otpauth://totp/tavro%3ADESK-1?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
                   b"&issuer=tavro&algorithm=SHA1&digits=6&period=30",
        "utf8": "B\u00fcro \u20ac \U0001F600".encode(),
        "version_10": b"x" * 214,
    },
}

for target, files in SEEDS.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
