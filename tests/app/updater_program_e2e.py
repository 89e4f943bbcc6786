#!/usr/bin/env python3
"""The real tavro.exe tray app with the command line's update site and key, against the
local update site: an offered version is in host.log within 5 s and saved as announced;
a manifest signed by another key is logged as such and announces nothing.

Usage: updater_program_e2e.py WINE_EXEC TAVRO_EXE KEYS_DIR WORK_DIR"""
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "update"))
import update_site  # noqa: E402

LOG_LIMIT_S = 5.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


class TrayApp:
    def __init__(self, wine_exec, exe, profile, site, key):
        self.profile = profile
        self.started = time.monotonic()
        windows_profile = "Z:" + str(profile).replace("/", "\\")
        args = [wine_exec, exe, "--minimized", "--profile", windows_profile, "--update-url", site,
                "--update-key", key, "--port", str(free_port()), "--no-adb", "--no-discovery", "--no-driver"]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)

    def log(self):
        try:
            return (self.profile / "host.log").read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, limit):
        while time.monotonic() - self.started < limit:
            if text in self.log():
                return time.monotonic() - self.started
            if self.proc.poll() is not None:
                fail("tavro.exe ended early (exit %s):\n%s" % (self.proc.returncode, self.log()))
            time.sleep(0.05)
        fail("no %r within %.0f s of the start; host.log:\n%s" % (text, limit, self.log()))

    def stop(self):
        # The tray app has no console; its whole process tree goes.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=30)


def settings(profile):
    try:
        return json.loads((profile / "settings.json").read_text(encoding="utf-8"))
    except (FileNotFoundError, ValueError):
        return {}


def main():
    wine_exec, exe, keys, work = sys.argv[1:5]
    root = tempfile.mkdtemp(prefix="updater-program-", dir=work)
    env, stop_site = update_site.start(root, keys)
    base = "http://127.0.0.1:%s" % env["TAVRO_UPDATE_HTTP_PORT"]
    key = pathlib.Path(keys, "update.pub.txt").read_text().strip()
    try:
        # An offered version, logged within 5 s and remembered as announced.
        good = os.path.join(root, "good")
        update_site.publish(good, keys, "stable", "1.2.0", b"installer", base + "/good")
        profile = pathlib.Path(root, "profile-good")
        app = TrayApp(wine_exec, exe, profile, base + "/good", key)
        try:
            seconds = app.wait_log("Update available: tavro 1.2.0", LOG_LIMIT_S + 10)
            print("logged after %.2f s (with Wine's start)" % seconds, flush=True)
            if seconds > LOG_LIMIT_S:
                fail("the update was logged after %.2f s" % seconds)
            deadline = time.monotonic() + 10
            while settings(profile).get("updateNotifiedVersion") != "1.2.0":
                if time.monotonic() > deadline:
                    fail("updateNotifiedVersion not saved: %r" % settings(profile))
                time.sleep(0.1)
        finally:
            app.stop()

        # The same manifest signed by another key.
        bad = os.path.join(root, "bad")
        update_site.publish(bad, keys, "stable", "1.2.0", b"installer", base + "/bad", key="other-update")
        profile = pathlib.Path(root, "profile-bad")
        app = TrayApp(wine_exec, exe, profile, base + "/bad", key)
        try:
            app.wait_log("Update check failed: the manifest's signature isn't valid", LOG_LIMIT_S + 10)
            time.sleep(0.5)
            if "Update available" in app.log():
                fail("a badly signed manifest was offered:\n" + app.log())
            if settings(profile).get("updateNotifiedVersion"):
                fail("a badly signed manifest was announced: %r" % settings(profile))
        finally:
            app.stop()
    finally:
        stop_site()
        shutil.rmtree(root, ignore_errors=True)
    print("PASS", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
