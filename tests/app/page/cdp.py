"""Headless Chromium driven over the DevTools protocol on a pipe (fds 3 and 4,
NUL-separated JSON): no port, so parallel runs never meet."""
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM_NAMES = ("chromium", "chromium-browser")


def find_chromium():
    for name in CHROMIUM_NAMES:
        path = shutil.which(name) or shutil.which(name, path="/usr/bin")
        if path:
            return path
    return None


class CdpError(RuntimeError):
    pass


class Chromium:
    """One browser process; `call` sends a command and waits for its answer while every
    event that arrives meanwhile goes to `on_event` (so a dialog that blocks the page can
    be answered while a click is still pending)."""

    def __init__(self, extra_args=(), lang="en-US"):
        binary = find_chromium()
        if binary is None:
            raise CdpError("chromium is not installed")
        self.profile = tempfile.mkdtemp(prefix="tavro-page-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def child_fds():
            # Move both ends out of the way first: either may already be 3 or 4.
            a = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        args = [binary, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                "--user-data-dir=" + self.profile, "--lang=" + lang, "--no-first-run",
                "--no-default-browser-check", "--disable-extensions", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--hide-scrollbars", "--mute-audio",
                *extra_args, "about:blank"]
        env = dict(os.environ, PATH="/usr/local/bin:/usr/bin:/bin", TZ="UTC", LANG="en_US.UTF-8", LANGUAGE="en_US")
        self.proc = subprocess.Popen(args, preexec_fn=child_fds, close_fds=False, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 1
        self._answers = {}
        self.on_event = None

    def close(self):
        try:
            os.close(self._to_browser)
        except OSError:
            pass
        try:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        try:
            os.close(self._from_browser)
        except OSError:
            pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def send(self, method, params=None, session=None):
        """Sends without waiting; returns the command id."""
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self._next_id += 1
        data = json.dumps(message).encode() + b"\0"
        while data:
            n = os.write(self._to_browser, data)
            data = data[n:]
        return message["id"]

    def call(self, method, params=None, session=None, timeout=30.0):
        command_id = self.send(method, params, session)
        deadline = time.monotonic() + timeout
        while command_id not in self._answers:
            left = deadline - time.monotonic()
            if left <= 0:
                raise CdpError(f"{method}: no answer within {timeout} s")
            self.pump(left)
        answer = self._answers.pop(command_id)
        if "error" in answer:
            raise CdpError(f"{method}: {answer['error']}")
        return answer.get("result", {})

    def pump(self, timeout):
        """Reads what arrives within `timeout` seconds and dispatches it."""
        ready, _, _ = select.select([self._from_browser], [], [], max(0.0, timeout))
        if not ready:
            return
        chunk = os.read(self._from_browser, 1 << 20)
        if not chunk:
            raise CdpError("chromium closed the pipe (exit code %s)" % self.proc.poll())
        self._buffer += chunk
        while b"\0" in self._buffer:
            raw, self._buffer = self._buffer.split(b"\0", 1)
            message = json.loads(raw)
            if "id" in message:
                self._answers[message["id"]] = message
            elif self.on_event:
                self.on_event(message)
