#!/usr/bin/env python3
"""A relay-server simulator on 127.0.0.1 for the WebSocket client's end-to-end tests.

Paths:
  /v1/pcs/<pc id>/wait  sign-in: sends a challenge, checks the hello (canonical JSON,
                        the key's id is the PC id, the ECDSA P-256 signature over the
                        signed text verifies), answers "ready" or closes with 4001.
  /http200              answers the upgrade request with HTTP 200.
  /slow...              answers the upgrade after 2 s.
  /silent...            accepts and never sends anything.
  /control              the relay-client tests' control channel (commands below).
  anything else         echo: every text message comes back, except the commands below.
Echo commands (text messages):
  path                  the request's path and query as the server saw them
  size:N                one text message of N bytes
  fragments:N:SIZE      one text message of SIZE bytes sent as N fragments
  mixed                 "one", a binary message, a fragmented binary message, "two"
  close:CODE            a close frame with CODE
  report                "report <intact> <damaged>" for the numbered messages so far
  drop-silent           aborts the TCP connections of every /silent client; answers
                        "dropped <count>"
Control commands (text messages, each answered with one text):
  reset                 default behaviour, records cleared
  mode MODE             sign-in behaviour: ready (default), refuse (4001 after a valid
                        hello), pong-first (a pong instead of the challenge), silent
                        (never sends the challenge)
  ice JSON              the "iceServers" value of later "ready" messages
  send TEXT             TEXT to the newest signed-in PC; "sent" or "none"
  close CODE            closes the newest signed-in PC's connection with CODE
  stats                 JSON: connections, hellos (phones, appVersion, valid), pings,
                        received (other texts from signed-in PCs), online
Numbered messages "m <thread> <seq> <filler>" are checked (filler and per-thread order)
and echoed.
"""
import asyncio
import base64
import hashlib
import json
import re
import secrets
import sys
from http import HTTPStatus

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils
from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed

WAIT_PATH = re.compile(r"^/v1/pcs/([0-9a-f]{64})/wait$")
REFUSED = 4001
NOT_CANONICAL = 4400
ICE_SERVERS = ["stun:127.0.0.1:3478"]
SILENT = set()


class Scenario:
    def __init__(self):
        self.reset()

    def reset(self):
        self.mode = "ready"
        self.ice = ICE_SERVERS
        self.connections = 0
        self.hellos = []
        self.pings = 0
        self.received = []
        self.online = []


SCENARIO = Scenario()


def b64url_decode(text):
    if not re.fullmatch(r"[A-Za-z0-9_-]*", text) or len(text) % 4 == 1:
        raise ValueError("not base64url")
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def hello_text(pc_id, nonce, phones):
    return f"tavro-connect/1 pc-hello\n{pc_id}\n{nonce}\n{','.join(phones)}"


LETTERS = "abcdefghijklmnopqrstuvwxyz" * 117  # longer than any filler plus 25


def filler(thread, seq):
    """Letters a-z cycling from a start that depends on both numbers; 1..3000 long."""
    length = (thread * 1000 + seq) % 3000 + 1
    start = (thread * 7 + seq * 13) % 26
    return LETTERS[start:start + length]


def numbered(thread, seq):
    return f"m {thread} {seq} {filler(thread, seq)}"


def verify_hello(pc_id, nonce, text):
    """None when the hello is right, else the reason."""
    try:
        hello = json.loads(text)
    except ValueError:
        return "not JSON"
    if json.dumps(hello, sort_keys=True, separators=(",", ":"), ensure_ascii=False) != text:
        return "not compact with sorted keys"
    if set(hello) != {"type", "publicKey", "phones", "appVersion", "signature"} or hello["type"] != "hello":
        return "wrong members"
    key = b64url_decode(hello["publicKey"])
    signature = b64url_decode(hello["signature"])
    if len(key) != 65 or len(signature) != 64 or hashlib.sha256(key).hexdigest() != pc_id:
        return "key does not match the PC id"
    phones = hello["phones"]
    if not all(isinstance(p, str) for p in phones):
        return "bad phone list"
    public = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), key)
    der = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
    try:
        public.verify(der, hello_text(pc_id, nonce, phones).encode(), ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        return "bad signature"
    return None


async def sign_in(ws, pc_id):
    sim = SCENARIO
    sim.connections += 1
    if sim.mode == "silent":
        await ws.wait_closed()
        return
    if sim.mode == "pong-first":
        await ws.send(json.dumps({"type": "pong"}))
        await ws.wait_closed()
        return
    nonce = secrets.token_urlsafe(24)
    await ws.send(json.dumps({"type": "challenge", "nonce": nonce}))
    text = await ws.recv()
    reason = verify_hello(pc_id, nonce, text)
    try:
        hello = json.loads(text)
        sim.hellos.append({"phones": hello.get("phones"), "appVersion": hello.get("appVersion"),
                           "valid": reason is None})
    except ValueError:
        sim.hellos.append({"phones": None, "appVersion": None, "valid": False})
    if reason is None and sim.mode == "refuse":
        await ws.close(REFUSED, "refused")
    elif reason is None:
        sim.online.append(ws)  # listed before the PC can know it is online
        await ws.send(json.dumps({"type": "ready", "iceServers": sim.ice}))
        try:
            async for message in ws:
                if message == '{"type":"ping"}':
                    sim.pings += 1
                    await ws.send(json.dumps({"type": "pong"}))
                else:
                    sim.received.append(message)
        finally:
            if ws in sim.online:
                sim.online.remove(ws)
    else:
        code = NOT_CANONICAL if reason == "not compact with sorted keys" else REFUSED
        await ws.close(code, reason)


async def control(ws):
    sim = SCENARIO
    async for message in ws:
        command, _, argument = message.partition(" ")
        if command == "reset":
            for pc in list(sim.online):
                await pc.close(1000, "reset")
            sim.reset()
            await ws.send("ok")
        elif command == "mode":
            sim.mode = argument
            await ws.send("ok")
        elif command == "ice":
            sim.ice = json.loads(argument)
            await ws.send("ok")
        elif command == "send":
            if sim.online:
                await sim.online[-1].send(argument)
                await ws.send("sent")
            else:
                await ws.send("none")
        elif command == "close":
            if sim.online:
                pc = sim.online.pop()
                await pc.close(int(argument), "closed by test")
                await ws.send("ok")
            else:
                await ws.send("none")
        elif command == "stats":
            await ws.send(json.dumps({"connections": sim.connections, "hellos": sim.hellos, "pings": sim.pings,
                                      "received": sim.received, "online": len(sim.online)}))
        else:
            await ws.send("unknown")


async def echo(ws):
    intact = damaged = 0
    last = {}
    async for message in ws:
        if not isinstance(message, str):
            continue
        if message == "path":
            await ws.send(ws.request.path)
        elif message.startswith("size:"):
            await ws.send("x" * int(message[5:]))
        elif message.startswith("fragments:"):
            count, size = (int(v) for v in message[10:].split(":"))
            text = "".join(chr(ord("A") + i % 26) for i in range(size))
            step = -(-size // count)
            await ws.send([text[i:i + step] for i in range(0, size, step)])
        elif message == "mixed":
            await ws.send("one")
            await ws.send(b"\x00\x01\x02")
            await ws.send([b"\x03" * 100, b"\x04" * 100])
            await ws.send("two")
        elif message.startswith("close:"):
            await ws.close(int(message[6:]), "bye")
            return
        elif message == "drop-silent":
            dropped = list(SILENT)
            for silent in dropped:
                silent.transport.abort()
            await ws.send(f"dropped {len(dropped)}")
        elif message == "report":
            await ws.send(f"report {intact} {damaged}")
        else:
            if message.startswith("m "):
                parts = message.split(" ", 3)
                ok = len(parts) == 4
                if ok:
                    thread, seq = int(parts[1]), int(parts[2])
                    ok = parts[3] == filler(thread, seq) and last.get(thread, -1) + 1 == seq
                    last[thread] = seq
                if ok:
                    intact += 1
                else:
                    damaged += 1
            await ws.send(message)


async def handler(ws):
    path = ws.request.path
    try:
        match = WAIT_PATH.match(path)
        if match:
            await sign_in(ws, match.group(1))
        elif path == "/control":
            await control(ws)
        elif path.startswith("/silent"):
            SILENT.add(ws)
            try:
                await ws.wait_closed()
            finally:
                SILENT.discard(ws)
        else:
            await echo(ws)
    except ConnectionClosed:
        pass


async def process_request(connection, request):
    if request.path == "/http200":
        return connection.respond(HTTPStatus.OK, "plain page\n")
    if request.path.startswith("/slow"):
        await asyncio.sleep(2)
    return None


async def run(port_ready, stop):
    async with serve(handler, "127.0.0.1", 0, process_request=process_request, ping_interval=None,
                     max_size=1 << 24, compression=None) as server:
        port_ready(server.sockets[0].getsockname()[1])
        await stop


if __name__ == "__main__":
    async def main():
        await run(lambda port: print(port, flush=True), asyncio.get_running_loop().create_future())
    sys.exit(asyncio.run(main()))
