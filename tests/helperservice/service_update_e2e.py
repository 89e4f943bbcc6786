#!/usr/bin/env python3
"""The service's update installation end to end, in the service's own Wine prefix: the
signed test copy of tavroHelper and the host stand-in as tavro.exe in
C:\\Program Files\\tavro-test, the local https site on the test copy's fixed port with
the test root in the prefix's store, and the recording installer's variants.

usage: service_update_e2e.py BUILD_DIR BIN_DIR KEYS_DIR PORT
"""
import json
import os
import shutil
import sys
import tempfile
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "update"))
from own_wine_prefix import OwnWinePrefix  # noqa: E402
import update_site  # noqa: E402

PREFIX = BIN = KEYS = SITE = None
PORT = 0
SITE_ROOT = None
BASE = ""
INSTALL = os.path.join("Program Files", "tavro-test")
INSTALL_WIN = "C:\\Program Files\\tavro-test"
UPDATES_WIN = "C:\\ProgramData\\tavro\\updates"
STOPPED, RUNNING = 1, 4


def install_dir():
    return PREFIX.drive_c(INSTALL)


def data_dir():
    return PREFIX.drive_c("ProgramData", "tavro")


def updates_dir():
    return os.path.join(data_dir(), "updates")


def recorder_dir():
    return PREFIX.drive_c("ProgramData", "tavro-test-installer")


def helper(*args):
    return PREFIX.run(INSTALL_WIN + "\\tavroHelper.exe", *args, timeout=120)[0]


def host(*args, timeout=200):
    """Runs the installed stand-in; returns its printed line."""
    code, out, _ = PREFIX.run(INSTALL_WIN + "\\tavro.exe", *args, timeout=timeout)
    lines = out.strip().splitlines()
    return lines[-1] if lines else ""


def query():
    _, out, _ = PREFIX.run(PREFIX.windows_path(os.path.join(BIN, "service_probe.exe")), "query")
    return json.loads(out.strip().splitlines()[-1])


def service_memory():
    """The running service's commit charge in bytes."""
    _, out, _ = PREFIX.run(PREFIX.windows_path(os.path.join(BIN, "service_probe.exe")), "memory",
                           str(query()["pid"]))
    return json.loads(out.strip().splitlines()[-1])["private"]


class ExitWatch:
    """Watches the running service's process from before a stop until it has ended."""

    def __init__(self):
        self.proc, self.out = PREFIX.start_program(PREFIX.windows_path(os.path.join(BIN, "service_probe.exe")),
                                                   "wait-exit", str(query()["pid"]), "60")
        if not wait_for(lambda: "watching" in read(self.out), 20):
            raise AssertionError("the exit watch did not start: " + read(self.out))

    def exit_code(self):
        self.proc.wait(90)
        lines = read(self.out).strip().splitlines()
        return json.loads(lines[-1]).get("exitCode") if lines and lines[-1].startswith("{") else None


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except (FileNotFoundError, IsADirectoryError):
        return ""


def service_log():
    return read(os.path.join(data_dir(), "service.log"))


def installer_runs():
    return [json.loads(line) for line in read(os.path.join(recorder_dir(), "runs.jsonl")).splitlines() if line]


def host_restarts():
    """Starts of the stand-in without arguments: the service's restarts of the host."""
    text = read(os.path.join(install_dir(), "starts.jsonl"))
    return [r for r in (json.loads(line) for line in text.splitlines() if line) if "--" not in r["commandLine"]]


def wait_for(check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.1)
    return check()


def variant(name):
    with open(os.path.join(BIN, "installer-variants", name + ".exe"), "rb") as f:
        return f.read()


def publish(installer, version="1.2.0", channel="stable", key="update", script=""):
    """`script` (e.g. "/delay/5000") scripts the site's answer for the installer."""
    return update_site.publish(SITE_ROOT, KEYS, channel, version, installer, BASE, key=key, script=script)


def frame(message_type, body):
    """A pipe message: u32 little-endian length (the type byte and the body), the type, the body."""
    return (len(body) + 1).to_bytes(4, "little") + bytes([message_type]) + body


def set_test_setting(name, value):
    if value is None:
        PREFIX.run("reg", "delete", r"HKLM\Software\tavro-test\Service", "/v", name, "/f")
    else:
        PREFIX.run("reg", "add", r"HKLM\Software\tavro-test\Service", "/v", name, "/t", "REG_SZ", "/d", value,
                   "/f")


class UpdateTest(unittest.TestCase):
    def setUp(self):
        self.assertEqual(helper("--uninstall"), 0)
        shutil.rmtree(SITE_ROOT, ignore_errors=True)
        os.makedirs(SITE_ROOT)
        if os.path.islink(data_dir()):
            os.unlink(data_dir())
        shutil.rmtree(data_dir(), ignore_errors=True)
        shutil.rmtree(recorder_dir(), ignore_errors=True)
        os.makedirs(recorder_dir())
        self.settle(code=7)
        for name in ("starts.jsonl",):
            path = os.path.join(install_dir(), name)
            if os.path.exists(path):
                os.unlink(path)
        set_test_setting("TokenSource", None)
        self.assertEqual(helper("--install"), 0)
        self.assertTrue(wait_for(lambda: "Service started" in service_log(), 20))

    def tearDown(self):
        helper("--uninstall")

    def settle(self, code=0, sleep_ms=0):
        with open(os.path.join(recorder_dir(), "settings.json"), "w") as f:
            json.dump({"code": code, "sleepMs": sleep_ms}, f)

    def assert_refused(self, text, result="2", request=("stable", "1.2.0")):
        line = host("--ask", *request)
        self.assertEqual(line, result + " " + text)
        self.assertIn("WARN  Update refused: " + text, service_log())
        time.sleep(0.5)
        self.assertEqual(installer_runs(), [])
        self.assertEqual(os.listdir(updates_dir()) if os.path.isdir(updates_dir()) else [], [])

    def test_each_refusal_reaches_the_host_with_its_text(self):
        signed = variant("signed")
        cases = [
            ("nightly", None, ("nightly", "1.2.0"), "invalid request"),
            ("two parts", None, ("stable", "1.2"), "invalid request"),
            ("not newer", None, ("stable", "1.0.0"), "that version isn't newer than the installed one"),
            ("no manifest", None, ("stable", "1.2.0"), "manifest: HTTP 404"),
            ("another version", lambda: publish(signed, version="1.3.0"), ("stable", "1.2.0"),
             "the download site now offers another version: check again"),
            ("bad signature", lambda: publish(signed, key="other-update"), ("stable", "1.2.0"),
             "the manifest's signature isn't valid"),
            ("other signer", lambda: publish(variant("other-signer")), ("stable", "1.2.0"),
             "the update is signed by 'Other Signer', not 'tavro Test Signer'"),
            ("unsigned", lambda: publish(variant("unsigned")), ("stable", "1.2.0"), "the update isn't signed"),
            ("flipped", lambda: publish(variant("flipped")), ("stable", "1.2.0"), "the update isn't signed"),
        ]
        for name, prepare, request, text in cases:
            with self.subTest(name=name):
                shutil.rmtree(SITE_ROOT, ignore_errors=True)
                os.makedirs(SITE_ROOT)
                if prepare:
                    prepare()
                self.assert_refused(text, request=request)

    def test_a_download_that_doesnt_match_its_manifest(self):
        signed = variant("signed")
        for name, served, text in (("wrong hash", signed[:-1] + bytes([signed[-1] ^ 1]),
                                    "the installer's SHA-256 doesn't match the manifest"),
                                   ("one byte short", signed[:-1], "the installer has the wrong size")):
            with self.subTest(name=name):
                publish(signed)
                with open(os.path.join(SITE_ROOT, "files", "tavro-Setup-1.2.0.exe"), "wb") as f:
                    f.write(served)
                self.assert_refused(text)

    def test_an_updates_folder_planted_as_a_link(self):
        publish(variant("signed"))
        victim = tempfile.mkdtemp(prefix="victim-", dir=os.path.dirname(SITE_ROOT))
        shutil.rmtree(updates_dir(), ignore_errors=True)
        os.symlink(victim, updates_dir())
        try:
            line = host("--ask", "stable", "1.2.0")
            self.assertEqual(line, "2 can't prepare the updates folder")
            self.assertIn("WARN  Update refused: can't prepare the updates folder", service_log())
            self.assertEqual(os.listdir(victim), [])
        finally:
            if os.path.islink(updates_dir()):
                os.unlink(updates_dir())
            shutil.rmtree(victim, ignore_errors=True)

    def test_an_approved_update_installs_elevated_and_restarts_the_host(self):
        publish(variant("signed"))
        asker, out = PREFIX.start_program(INSTALL_WIN + "\\tavro.exe", "--ask", "stable", "1.2.0", "--wait", "3000")
        try:
            self.assertTrue(wait_for(lambda: read(out).strip() != "", 60), service_log())
            self.assertEqual(read(out).strip(), "0")
            # The host still runs: the installer waits, locked against replacement.
            installer = UPDATES_WIN + "\\tavro-Setup-1.2.0.exe"
            self.assertEqual(host("--try-change", installer), "32 32 32")
            self.assertIsNone(asker.poll(), "the stand-in ended before the check")
            self.assertEqual(installer_runs(), [])
        finally:
            asker.wait(30)
        log = service_log()
        self.assertIn("INFO  Update to tavro 1.2.0 approved by the user in session 1", log)
        self.assertTrue(wait_for(lambda: len(installer_runs()) == 1, 40), service_log())
        run = installer_runs()[0]
        installer = UPDATES_WIN + "\\tavro-Setup-1.2.0.exe"
        self.assertEqual(run["commandLine"], '"' + installer + '" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART')
        self.assertEqual(run["currentDir"].rstrip("\\").lower(), UPDATES_WIN.lower())
        self.assertEqual(run["elevation"], 1)
        for variable in ("temp", "tmp"):
            self.assertTrue(run[variable].lower().startswith(UPDATES_WIN.lower() + "\\temp-"), run)
        self.assertTrue(run["markerNamesMe"], run)
        self.assertEqual(run["markerSession"], 1)
        self.assertTrue(wait_for(lambda: "Update: tavro restarted in session 1" in service_log(), 30), service_log())
        log = service_log()
        self.assertIn("INFO  Update: installer started (pid %d)" % run["pid"], log)
        self.assertIn("INFO  Update: installer finished with code 7", log)
        self.assertIn("INFO  Update: the installer's token is of type 1", log)
        self.assertTrue(wait_for(lambda: len(host_restarts()) == 1, 10), read(os.path.join(install_dir(), "starts.jsonl")))
        time.sleep(1)
        self.assertEqual(len(host_restarts()), 1)
        self.assertFalse(os.path.exists(os.path.join(data_dir(), "update-restart.json")))
        self.assertFalse([n for n in os.listdir(updates_dir()) if n.startswith("temp-")])

    def test_a_failed_marker_still_restarts_the_host(self):
        publish(variant("signed"))
        os.makedirs(os.path.join(data_dir(), "update-restart.json"))
        self.assertEqual(host("--ask", "stable", "1.2.0"), "0")
        self.assertTrue(wait_for(lambda: "Update: tavro restarted in session 1" in service_log(), 40), service_log())
        self.assertIn("WARN  Update: writing the restart marker failed", service_log())
        time.sleep(1)
        self.assertEqual(len(host_restarts()), 1)

    def test_a_standard_user_and_nobody_signed_in_fall_back(self):
        publish(variant("signed"))
        for source in ("standard", "none"):
            with self.subTest(source=source):
                set_test_setting("TokenSource", source)
                self.assert_refused("this Windows account isn't an administrator: Windows will ask for approval",
                                    result="1")
        set_test_setting("TokenSource", None)

    def test_a_copy_of_the_host_elsewhere_gets_no_reply(self):
        other = PREFIX.drive_c("tavro-elsewhere")
        shutil.rmtree(other, ignore_errors=True)
        os.makedirs(other)
        shutil.copy(os.path.join(install_dir(), "tavro.exe"), other)
        code, out, _ = PREFIX.run("C:\\tavro-elsewhere\\tavro.exe", "--ask", "stable", "1.2.0")
        self.assertEqual(out.strip().splitlines()[-1], "3")
        self.assertIn("WARN  Refused a lock screen pipe client that isn't the installed tavro.exe", service_log())

    def test_malformed_requests_get_no_reply(self):
        body = json.dumps({"channel": "stable", "version": "1.0.0"}).encode()
        cases = {
            "1025-byte body": frame(3, body + b" " * (1025 - len(body))),
            "type 4": frame(4, body),
            "L = 0x10000009": (0x10000009).to_bytes(4, "little") + bytes([3]),
        }
        for name, raw in cases.items():
            with self.subTest(name=name):
                before = service_memory()
                line = host("--raw", raw.hex(), "--read-reply")
                self.assertTrue(line.startswith("closed "), line)
                grown = service_memory() - before
                print("%s: the service's private bytes grew by %d" % (name, grown), file=sys.stderr)
                self.assertLess(grown, 16 << 20)
        line = host("--raw", frame(3, b"{not json").hex(), "--read-reply")
        self.assertTrue(line.endswith('{"error":"invalid request","fallback":false,"ok":false}'), line)
        line = host("--raw", frame(3, body).hex(), "--read-reply")
        self.assertTrue(line.startswith("reply ") and line.endswith(
            '{"error":"that version isn\'t newer than the installed one","fallback":false,"ok":false}'),
            line + "\n" + service_log())

    def test_a_silent_client_is_cut_after_ten_seconds(self):
        line = host("--raw", "", "--read-reply")
        kind, elapsed = line.split()[:2]
        self.assertEqual(kind, "closed")
        self.assertGreater(int(elapsed), 9500)
        self.assertLess(int(elapsed), 10500)
        self.assertEqual(host("--ask", "stable", "1.0.0"), "2 that version isn't newer than the installed one")

    def test_an_unread_approval_installs_nothing(self):
        publish(variant("signed"))
        body = json.dumps({"channel": "stable", "version": "1.2.0"}).encode()
        request = frame(3, body).hex()
        # Held well past the service's watchdog; the reply (small) may fit the pipe's buffer,
        # so the service's write may finish: only an unread flush is cut.
        client, _ = PREFIX.start_program(INSTALL_WIN + "\\tavro.exe", "--raw", request, "--hold", "30000")
        try:
            self.assertTrue(wait_for(lambda: "approved by the user" in service_log(), 30), service_log())
            # The one pipe instance is busy (the host's client then answers 3 at once)
            # until the watchdog cuts the unread flush.
            started = time.monotonic()
            answer = "3"
            while answer == "3" and time.monotonic() - started < 15:
                answer = host("--ask", "stable", "1.0.0")
            self.assertEqual(answer, "2 that version isn't newer than the installed one")
            self.assertLess(time.monotonic() - started, 11)
            self.assertIn("WARN  Update: the reply didn't reach tavro; nothing is installed", service_log())
            time.sleep(1)
            self.assertEqual(installer_runs(), [])
            self.assertEqual(os.listdir(updates_dir()), [])
        finally:
            client.kill()
            client.wait(30)

    def test_a_client_that_closes_before_the_reply_gets_nothing_installed(self):
        # The installer's body comes late, so the client has long gone when the reply is written.
        publish(variant("signed"), script="/delay/3000")
        body = json.dumps({"channel": "stable", "version": "1.2.0"}).encode()
        self.assertEqual(host("--raw", frame(3, body).hex()), "sent")
        self.assertTrue(wait_for(lambda: "Update: the reply didn't reach tavro; nothing is installed" in service_log(),
                                 30), service_log())
        time.sleep(2)
        self.assertEqual(installer_runs(), [])
        self.assertEqual(os.listdir(updates_dir()), [])
        self.assertEqual(host("--ask", "stable", "1.0.0"), "2 that version isn't newer than the installed one")

    def test_stop_with_an_unread_reply(self):
        publish(variant("signed"))
        body = json.dumps({"channel": "stable", "version": "1.2.0"}).encode()
        client, _ = PREFIX.start_program(INSTALL_WIN + "\\tavro.exe", "--raw", frame(3, body).hex(), "--hold", "30000")
        try:
            self.assertTrue(wait_for(lambda: "approved by the user" in service_log(), 30), service_log())
            self.stop_within(5)
            self.assertEqual(installer_runs(), [])
        finally:
            client.kill()
            client.wait(30)

    def test_stop_is_quick_with_a_silent_client(self):
        client, _ = PREFIX.start_program(INSTALL_WIN + "\\tavro.exe", "--raw", "", "--hold", "20000")
        try:
            time.sleep(2)
            watch = ExitWatch()
            started = time.monotonic()
            self.assertEqual(helper("--stop"), 0)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(query()["state"], STOPPED)
            self.assertEqual(watch.exit_code(), 0)
            self.assertEqual(helper("--install"), 0)
            self.assertEqual(host("--ask", "stable", "1.0.0"), "2 that version isn't newer than the installed one")
        finally:
            client.kill()
            client.wait(30)

    def test_a_host_that_gave_up_first_gets_nothing_installed(self):
        publish(variant("signed"), script="/delay/5000")
        self.assertEqual(host("--ask", "stable", "1.2.0", "--watchdog", "3000"), "3")
        self.assertTrue(wait_for(lambda: "Update: the reply didn't reach tavro; nothing is installed" in service_log(),
                                 20), service_log())
        self.assertIn("WARN  Update: the reply didn't reach tavro; nothing is installed", service_log())
        time.sleep(2)
        self.assertEqual(installer_runs(), [])
        self.assertEqual(os.listdir(updates_dir()), [])

    def test_a_squatter_on_the_pipe_name_delays_updates_only_while_it_holds_it(self):
        self.assertEqual(helper("--stop"), 0)
        squatter, out = PREFIX.start_program(INSTALL_WIN + "\\tavro.exe", "--squat", "8000")
        try:
            self.assertTrue(wait_for(lambda: "squatting" in read(out), 20), read(out))
            self.assertEqual(helper("--install"), 0)
            self.assertTrue(wait_for(lambda: "ERROR Service pipe: creating it failed" in service_log(), 10))
        finally:
            squatter.wait(60)
        ended = time.monotonic()
        answer = "3"
        while answer == "3" and time.monotonic() - ended < 10:
            answer = host("--ask", "stable", "1.0.0")
        self.assertEqual(answer, "2 that version isn't newer than the installed one")
        self.assertLess(time.monotonic() - ended, 6)
        self.assertEqual(service_log().count("Service pipe: creating it failed"), 1)

    def stop_within(self, seconds):
        watch = ExitWatch()
        started = time.monotonic()
        # `--stop` itself waits 15 s at most; a longer stop is watched here.
        code = helper("--stop")
        if seconds <= 15:
            self.assertEqual(code, 0)
        self.assertTrue(wait_for(lambda: query()["state"] == STOPPED, seconds - (time.monotonic() - started)))
        self.assertLess(time.monotonic() - started, seconds)
        self.assertEqual(watch.exit_code(), 0)
        self.assertEqual(helper("--install"), 0)
        self.assertTrue(wait_for(lambda: host("--ask", "stable", "1.0.0").startswith("2 "), 20))

    def test_stop_during_slow_downloads(self):
        for script, seconds in (("/trickle/5000", 8), ("/silent", 25)):
            with self.subTest(script=script):
                publish(variant("signed"), script=script)
                asker, _ = PREFIX.start_program(INSTALL_WIN + "\\tavro.exe", "--ask", "stable", "1.2.0")
                try:
                    self.assertTrue(wait_for(lambda: SITE.seen("/files" + script + "/tavro-Setup-1.2.0.exe") > 0, 20))
                    time.sleep(1)
                    self.stop_within(seconds)
                finally:
                    asker.kill()
                    asker.wait(30)

    def test_stop_while_an_installer_runs(self):
        self.settle(code=0, sleep_ms=60000)
        publish(variant("signed"))
        self.assertEqual(host("--ask", "stable", "1.2.0"), "0")
        self.assertTrue(wait_for(lambda: len(installer_runs()) == 1, 40), service_log())
        self.stop_within(5)


if __name__ == "__main__":
    build, BIN, KEYS, port = sys.argv[1:5]
    PORT = int(port)
    SITE_ROOT = os.path.join(os.path.abspath(build), "service-update-site")
    os.makedirs(SITE_ROOT, exist_ok=True)
    BASE = "https://localhost:%d" % PORT
    env, stop_site = update_site.start(SITE_ROOT, KEYS, https_port=PORT)
    SITE = update_site.LAST_SITE
    try:
        with OwnWinePrefix(build, "service") as PREFIX:
            os.makedirs(install_dir(), exist_ok=True)
            for name in ("tavroHelper.exe", "tavro.exe"):
                shutil.copy(os.path.join(BIN, "service-test-install", name), install_dir())
            PREFIX.run(PREFIX.windows_path(os.path.join(BIN, "root_store_add.exe")),
                       PREFIX.windows_path(os.path.join(KEYS, "root.crt")))
            result = unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2, exit=False).result
            helper("--uninstall")
    finally:
        stop_site()
    sys.exit(0 if result.wasSuccessful() else 1)
