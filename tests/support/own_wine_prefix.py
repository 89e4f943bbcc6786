#!/usr/bin/env python3
"""A Wine prefix of a test's own, for tests that install a service or change prefix-wide
state: build/wineprefix-NAME with its own wineserver and wineboot, ended afterwards
(the folder stays, so later runs skip Wine's first set-up). A crash ends the program at
once (AeDebug "Debugger" is empty) instead of waiting in winedbg.

It also gets an X display of its own: a second wineserver on the shared display has its
own explorer and tray, whose windows take the X focus from (and paint over) the windows
of tests that hold the display lock in the shared prefix.

    with OwnWinePrefix(build_dir, "service") as prefix:
        r = prefix.run(r"C:\\some\\program.exe", "--flag")
"""
import os
import select
import shutil
import subprocess
import tempfile


def start_private_display(timeout=20):
    """Starts an Xvfb of its own; returns (Popen, ":N"). -displayfd picks a free number."""
    read_end, write_end = os.pipe()
    try:
        proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24",
                                 "-nolisten", "tcp"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, pass_fds=(write_end,), start_new_session=True)
    finally:
        os.close(write_end)
    with os.fdopen(read_end) as r:
        ready, _, _ = select.select([r], [], [], timeout)
        number = r.readline().strip() if ready else ""
    if not number:
        proc.kill()
        proc.wait()
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + number


class OwnWinePrefix:
    def __init__(self, build_dir, name, fresh=False):
        self.path = os.path.join(os.path.abspath(build_dir), "wineprefix-" + name)
        # fresh: start from an empty prefix (a killed run may have left one half made).
        self.fresh = fresh
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all")
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        self._scratch = None
        self._display = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _quiet(self, *args, timeout=300):
        # Never hand our pipes to Wine: services it starts would keep them open.
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def start(self):
        if self.fresh:
            # A previous run that was killed may have left its server behind.
            self._quiet("wineserver", "-k", timeout=60)
            shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path, exist_ok=True)
        self._display, self.env["DISPLAY"] = start_private_display()
        self._scratch = tempfile.mkdtemp(prefix="own-prefix-out-", dir=os.path.dirname(self.path))
        self._quiet("wineserver", "-p")
        self._quiet("wine", "wineboot")
        self._quiet("wine", "reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
                    "/v", "Debugger", "/t", "REG_SZ", "/d", "", "/f")

    def stop(self):
        self._quiet("wineserver", "-k", timeout=60)
        self._quiet("wineserver", "-w", timeout=60)
        if self._display:
            self._display.terminate()
            try:
                self._display.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._display.kill()
                self._display.wait()
            self._display = None
        if self._scratch:
            shutil.rmtree(self._scratch, ignore_errors=True)

    def drive_c(self, *parts):
        """The Linux path of C:\\parts inside the prefix."""
        return os.path.join(self.path, "drive_c", *parts)

    @staticmethod
    def windows_path(linux_path):
        """The form a Windows program sees: Z:\\... for a path outside the prefix."""
        return "Z:" + os.path.abspath(linux_path).replace("/", "\\")

    def _out_files(self):
        fd_out, out = tempfile.mkstemp(dir=self._scratch)
        fd_err, err = tempfile.mkstemp(dir=self._scratch)
        os.close(fd_out)
        os.close(fd_err)
        return out, err

    def run(self, *args, timeout=120):
        """Runs one program to its end; returns (exit code, stdout, stderr)."""
        out, err = self._out_files()
        with open(out, "wb") as o, open(err, "wb") as e:
            code = subprocess.run(("wine",) + args, env=self.env, stdin=subprocess.DEVNULL, stdout=o, stderr=e,
                                  timeout=timeout).returncode
        with open(out, errors="replace") as o, open(err, errors="replace") as e:
            return code, o.read(), e.read()

    def run_attached(self, *args):
        """Runs one program to its end with our own standard streams; returns its exit code."""
        return subprocess.run(("wine",) + args, env=self.env).returncode

    def start_program(self, *args):
        """Starts one program and returns (Popen, path of its output file)."""
        out, _ = self._out_files()
        with open(out, "wb") as o:
            proc = subprocess.Popen(("wine",) + args, env=self.env, stdin=subprocess.DEVNULL, stdout=o,
                                    stderr=subprocess.STDOUT)
        return proc, out
