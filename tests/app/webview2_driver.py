"""Driver of the WebView2 test double (tests/app/webview2_double): listens on 127.0.0.1,
hands the port to the program under test through TAVRO_WEBVIEW2_DOUBLE_PORT, and speaks
the double's JSON lines. Out of the double: {"nav": html}, {"post": message},
{"call": name, ...}. Into it: {"msg": message}, {"drop": {"id", "paths", "nonFile"}},
{"navigate": uri}, {"newWindow": uri}, {"processFailed": kind}, {"ping": n}; the first
line it gets is {"hello": 1} or {"fail": hresult}."""
import json
import queue
import socket
import threading
import time


class WebView2Driver:
    def __init__(self, fail_hresult=None):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(4)
        self.port = self._listener.getsockname()[1]
        self._hello = {"fail": fail_hresult} if fail_hresult is not None else {"hello": 1}
        self._lines = queue.Queue()
        self.seen = []
        self._peer = None
        self._ping = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def env(self):
        return {"TAVRO_WEBVIEW2_DOUBLE_PORT": str(self.port)}

    def _accept(self):
        while True:
            try:
                peer, _ = self._listener.accept()
            except OSError:
                return
            self._peer = peer  # a re-created loader in the same process reconnects only once
            peer.sendall((json.dumps(self._hello) + "\n").encode())
            threading.Thread(target=self._read, args=(peer,), daemon=True).start()

    def _read(self, peer):
        buffer = b""
        while True:
            try:
                chunk = peer.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                self._lines.put(json.loads(line.decode("utf-8", "replace")))

    def send(self, line):
        deadline = time.monotonic() + 30
        while self._peer is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self._peer.sendall((json.dumps(line) + "\n").encode())

    def wait_for(self, match, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no matching line from the WebView2 double")
            try:
                line = self._lines.get(timeout=left)
            except queue.Empty:
                continue
            self.seen.append(line)
            if match(line):
                return line

    def poll(self, timeout=0.0):
        """The next line within `timeout` seconds (kept in `seen`), or None."""
        try:
            line = self._lines.get(timeout=timeout) if timeout > 0 else self._lines.get_nowait()
        except queue.Empty:
            return None
        self.seen.append(line)
        return line

    def call(self, name, timeout=30):
        return self.wait_for(lambda l: l.get("call") == name, timeout)

    def settle(self, timeout=30):
        """Everything the double did before this point has been read (seen)."""
        self._ping += 1
        n = self._ping
        self.send({"ping": n})
        self.wait_for(lambda l: l.get("call") == "pong" and l.get("ping") == n, timeout)
        return self.seen

    def close(self):
        self._listener.close()
        if self._peer is not None:
            self._peer.close()
