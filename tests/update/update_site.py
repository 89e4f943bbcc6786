#!/usr/bin/env python3
"""A local download site for the update tests: plain http and https (the localhost
certificate, and one for another name) on free ports of 127.0.0.1, serving the files of
a root folder. Path segments script the answer (each is taken out, wherever it stands):

  /status/N/...      answer N (301/302 with a Location back to the rest)
  /delay/MS/...      wait MS ms first
  /silent/...        accept, then say nothing until the client leaves
  /hold/...          headers with the file's Content-Length, then hold the body back
  /trickle/MS/...    headers, then one byte every MS ms
  /chunked/...       no Content-Length, 64 KiB chunks
  /cl/TEXT/...       this Content-Length text instead of the real one, then the body
  /nolength/...      no Content-Length, body until the connection closes

Tools beside the files: /_count?path=P (GETs seen for path P), /_sign?file=F[&key=K]
(signs F with openssl into F.sig and answers the text) and
/_signexe?in=A&out=B&signer=S (osslsigncode). It stops itself after --lifetime seconds
when run on its own."""
import argparse
import base64
import hashlib
import http.server
import os
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SIGNED_PREFIX = b"tavro-update/1\n"


def der_to_rs(der):
    """An ECDSA DER signature as r then s, 32 bytes each."""
    assert der[0] == 0x30
    pos = 2 if der[1] < 0x80 else 3
    out = b""
    for _ in range(2):
        assert der[pos] == 0x02
        length = der[pos + 1]
        value = der[pos + 2:pos + 2 + length]
        out += int.from_bytes(value, "big").to_bytes(32, "big")
        pos += 2 + length
    return out


def sign_text(data, key_path):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(SIGNED_PREFIX + data)
        name = f.name
    try:
        der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_path, name],
                             check=True, capture_output=True).stdout
    finally:
        os.unlink(name)
    return base64.urlsafe_b64encode(der_to_rs(der)).rstrip(b"=")


class QuietServer(http.server.ThreadingHTTPServer):
    """Clients that give up early (a refused body, a cancel) are part of the tests."""

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


class Site:
    def __init__(self, root, keys):
        self.root = root
        self.keys = keys
        self.counts = {}
        self.lock = threading.Lock()
        self.servers = []

    def count(self, path):
        with self.lock:
            self.counts[path] = self.counts.get(path, 0) + 1

    def seen(self, path):
        with self.lock:
            return self.counts.get(path, 0)

    def handler(self):
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def send_plain(self, code, body=b"", headers=()):
                self.send_response(code)
                for name, value in headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def wait_for_client_to_leave(self, limit=120):
                end = time.monotonic() + limit
                while time.monotonic() < end:
                    ready, _, _ = select.select([self.connection], [], [], 0.5)
                    if ready:
                        try:
                            if not self.connection.recv(4096):
                                return
                        except OSError:
                            return

            def tool(self, name, query):
                if name == "_count":
                    return self.send_plain(200, str(site.seen(query["path"][0])).encode())
                if name == "_sign":
                    rel = query["file"][0]
                    key = os.path.join(site.keys, query.get("key", ["update"])[0] + ".pem")
                    with open(os.path.join(site.root, rel), "rb") as f:
                        text = sign_text(f.read(), key)
                    with open(os.path.join(site.root, rel + ".sig"), "wb") as f:
                        f.write(text)
                    return self.send_plain(200, text)
                if name == "_signexe":
                    signer = query["signer"][0]
                    out = os.path.join(site.root, query["out"][0])
                    if os.path.exists(out):
                        os.unlink(out)
                    result = subprocess.run(
                        ["osslsigncode", "sign", "-certs", os.path.join(site.keys, signer + ".crt"),
                         "-key", os.path.join(site.keys, signer + ".key"),
                         "-in", os.path.join(site.root, query["in"][0]), "-out", out],
                        capture_output=True)
                    return self.send_plain(200 if result.returncode == 0 else 500, result.stdout + result.stderr)
                return self.send_plain(404)

            def do_GET(self):
                parsed = urllib.parse.urlsplit(self.path)
                site.count(parsed.path)
                parts = parsed.path.lstrip("/").split("/")
                if parts and parts[0].startswith("_"):
                    return self.tool(parts[0], urllib.parse.parse_qs(parsed.query))
                mode = {}
                kept = []
                while parts:
                    head = parts[0]
                    if head in ("status", "delay", "trickle", "cl") and len(parts) > 2:
                        mode[head] = parts[1]
                        parts = parts[2:]
                    elif head in ("silent", "hold", "chunked", "nolength") and len(parts) > 1:
                        mode[head] = True
                        parts = parts[1:]
                    else:
                        kept.append(head)
                        parts = parts[1:]
                rest = "/" + "/".join(kept)
                if "delay" in mode:
                    time.sleep(int(mode["delay"]) / 1000)
                if "silent" in mode:
                    return self.wait_for_client_to_leave()
                if "status" in mode:
                    code = int(mode["status"])
                    return self.send_plain(code, b"scripted\n", [("Location", rest)] if code in (301, 302) else [])
                path = os.path.normpath(os.path.join(site.root, urllib.parse.unquote(rest.lstrip("/"))))
                if not path.startswith(os.path.abspath(site.root) + os.sep) or not os.path.isfile(path):
                    return self.send_plain(404, b"not found\n")
                with open(path, "rb") as f:
                    body = f.read()
                self.send_response(200)
                if "chunked" in mode:
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    for i in range(0, len(body), 65536):
                        piece = body[i:i + 65536]
                        self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                    self.wfile.write(b"0\r\n\r\n")
                    return
                if "nolength" in mode:
                    self.send_header("Connection", "close")
                    self.end_headers()
                    self.wfile.write(body)
                    self.close_connection = True
                    return
                self.send_header("Content-Length", mode.get("cl", str(len(body))))
                if "cl" in mode:
                    self.send_header("Connection", "close")
                    self.close_connection = True
                self.end_headers()
                self.wfile.flush()
                if "hold" in mode:
                    return self.wait_for_client_to_leave()
                if "trickle" in mode:
                    pause = int(mode["trickle"]) / 1000
                    try:
                        for i in range(len(body)):
                            self.wfile.write(body[i:i + 1])
                            self.wfile.flush()
                            time.sleep(pause)
                    except OSError:
                        pass
                    return
                try:
                    self.wfile.write(body)
                except OSError:
                    pass

        return Handler

    def serve(self, certificate=None, port=0):
        server = QuietServer(("127.0.0.1", port), self.handler())
        server.daemon_threads = True
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.maximum_version = ssl.TLSVersion.TLSv1_2
            context.load_cert_chain(os.path.join(self.keys, certificate + ".crt"),
                                    os.path.join(self.keys, certificate + ".key"))
            server.socket = context.wrap_socket(server.socket, server_side=True)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        self.servers.append(server)
        return server.server_address[1]

    def stop(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()


def publish(root, keys, channel, version, installer, base, name=None, key="update", script=""):
    """Puts `installer` (bytes) into the site as files/NAME and the channel's manifest
    naming it, signed with `key`, for the site address `base`; `script` (e.g.
    "/trickle/5000") scripts the installer's answer. Returns the manifest text."""
    name = name or f"tavro-Setup-{version}.exe"
    os.makedirs(os.path.join(root, "files"), exist_ok=True)
    with open(os.path.join(root, "files", name), "wb") as f:
        f.write(installer)
    manifest = (
        '{"app":"tavro","platform":"windows","channel":"%s","version":"%s","url":"%s/files%s/%s",'
        '"size":%d,"sha256":"%s"}' % (channel, version, base, script, name, len(installer),
                                      hashlib.sha256(installer).hexdigest())).encode()
    folder = os.path.join(root, channel, "windows")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "latest.json"), "wb") as f:
        f.write(manifest)
    with open(os.path.join(folder, "latest.json.sig"), "wb") as f:
        f.write(sign_text(manifest, os.path.join(keys, key + ".pem")))
    return manifest.decode()


LAST_SITE = None  # the site start() made last, for its GET counts


def start(root, keys, https_port=0):
    """Returns (environment for the test program, stop). `https_port` fixes the port of
    the localhost https server (the service's test copy has its address built in)."""
    global LAST_SITE
    site = Site(root, keys)
    LAST_SITE = site
    env = {
        "TAVRO_UPDATE_SITE_ROOT": root,
        "TAVRO_TEST_KEYS": keys,
        "TAVRO_UPDATE_HTTP_PORT": str(site.serve()),
        "TAVRO_UPDATE_HTTPS_PORT": str(site.serve("localhost", https_port)),
        "TAVRO_UPDATE_HTTPS_OTHER_PORT": str(site.serve("otherhost.invalid")),
    }
    return env, site.stop


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--keys", required=True)
    parser.add_argument("--lifetime", type=float, default=600)
    parser.add_argument("--https-port", type=int, default=0)
    args = parser.parse_args()
    env, stop = start(args.root, args.keys, args.https_port)
    for name, value in env.items():
        print(f"{name}={value}", flush=True)
    try:
        time.sleep(args.lifetime)
    finally:
        stop()


if __name__ == "__main__":
    sys.exit(main())
