#!/usr/bin/env python3
"""The real service in a Wine prefix of its own (build/wineprefix-service): install,
reinstall, stop and remove from the command line, a frozen service, the restart marker
with the host stand-in, and planted data folders at C:\\ProgramData\\tavro. The service
is removed first and last: AUTO_START services come back at every wineboot.

usage: service_e2e.py BUILD_DIR BIN_DIR
"""
import json
import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from own_wine_prefix import OwnWinePrefix  # noqa: E402

PREFIX = BIN = None
RUNNING, STOPPED = 4, 1
INSTALL = "tavro-service-test"
NOBODY = 65534


def install_dir():
    return PREFIX.drive_c(INSTALL)


def helper_win(folder=INSTALL):
    return "C:\\" + folder + "\\tavroHelper.exe"


def data_dir():
    return PREFIX.drive_c("ProgramData", "tavro")


def helper(*args, folder=INSTALL, timeout=120):
    code, _, _ = PREFIX.run(helper_win(folder), *args, timeout=timeout)
    return code


def tool(name, *args, timeout=120):
    return PREFIX.run(PREFIX.windows_path(os.path.join(BIN, name)), *args, timeout=timeout)


def query():
    code, out, _ = tool("service_probe.exe", "query")
    return json.loads(out.strip().splitlines()[-1])


def wait_state(state, seconds=20):
    return wait_for(lambda: query().get("state") == state, seconds)


def service_log():
    try:
        with open(os.path.join(data_dir(), "service.log"), "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""


def starts():
    try:
        with open(os.path.join(install_dir(), "starts.jsonl")) as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def text_of(path):
    with open(path, errors="replace") as f:
        return f.read()


def wait_for(check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.1)
    return check()


def make_install(folder):
    path = PREFIX.drive_c(folder)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    shutil.copy(os.path.join(BIN, "tavroHelper.exe"), path)
    shutil.copy(os.path.join(BIN, "host_standin.exe"), os.path.join(path, "tavro.exe"))


def reset_data_dir():
    p = data_dir()
    if os.path.islink(p):
        os.unlink(p)
    shutil.rmtree(p, ignore_errors=True)
    for name in os.listdir(os.path.dirname(p)):
        if name.startswith("tavro."):
            shutil.rmtree(os.path.join(os.path.dirname(p), name), ignore_errors=True)


class ServiceTest(unittest.TestCase):
    def setUp(self):
        make_install(INSTALL)
        self.assertEqual(helper("--uninstall"), 0)
        reset_data_dir()

    def tearDown(self):
        helper("--uninstall")

    def test_install_reinstall_stop_and_remove(self):
        self.assertEqual(helper("--install"), 0)
        self.assertTrue(wait_state(RUNNING))
        q = query()
        self.assertEqual(q["imagePath"], '"' + helper_win() + '" --service')
        self.assertEqual((q["start"], q["errorControl"]), (2, 1))
        self.assertEqual(q["displayName"], "tavro Lock Screen Helper")
        self.assertTrue(q["description"].startswith("Lets a connected tavro tablet show the Windows lock screen"))
        log = service_log()
        self.assertIn("INFO  Service installed", log)
        self.assertTrue(wait_for(lambda: "INFO  Service started" in service_log(), 10))
        first = q["pid"]
        self.assertEqual(helper("--install"), 0)
        self.assertTrue(wait_state(RUNNING))
        self.assertNotEqual(query()["pid"], first)
        self.assertEqual(helper("--stop"), 0)
        self.assertEqual(query()["state"], STOPPED)
        self.assertIn("INFO  Service stopped", service_log())
        self.assertEqual(helper("--uninstall"), 0)
        self.assertEqual(query(), {"exists": False, "error": 1060})
        self.assertTrue(service_log().rstrip().endswith("INFO  Service removed"))
        before = service_log()
        self.assertEqual(helper("--uninstall"), 0)
        self.assertEqual(service_log(), before)

    def test_install_over_a_frozen_service_changes_nothing(self):
        self.assertEqual(helper("--install"), 0)
        self.assertTrue(wait_state(RUNNING))
        pid = query()["pid"]
        make_install("tavro-service-other")
        self.assertEqual(tool("process_holder.exe", "suspend", str(pid))[0], 0)
        try:
            started = time.monotonic()
            self.assertEqual(helper("--install", folder="tavro-service-other"), 1)
            self.assertLess(time.monotonic() - started, 30)
            self.assertIn("ERROR The running service did not stop; nothing was changed", service_log())
            self.assertEqual(query()["imagePath"], '"' + helper_win() + '" --service')
        finally:
            tool("process_holder.exe", "resume", str(pid))
        self.assertEqual(helper("--uninstall"), 0)
        self.assertEqual(query()["exists"], False)

    def test_stop_is_quick_while_the_marker_thread_waits_for_the_installer(self):
        installer, out = PREFIX.start_program(PREFIX.windows_path(os.path.join(BIN, "process_holder.exe")),
                                              "sleep", "120000")
        try:
            self.assertTrue(wait_for(lambda: text_of(out).strip().isdigit(), 20))
            installer_pid = int(text_of(out).strip())
            self.install_with_marker({"installer": installer_pid, "session": 1, "time": int(time.time())})
            self.assertTrue(wait_for(lambda: not os.path.exists(self.marker()), 10))
            pid = query()["pid"]
            watcher, watch_out = PREFIX.start_program(PREFIX.windows_path(os.path.join(BIN, "service_probe.exe")),
                                                      "wait-exit", str(pid), "30")
            self.assertTrue(wait_for(lambda: "watching" in text_of(watch_out), 20))
            started = time.monotonic()
            self.assertEqual(helper("--stop"), 0)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(query()["state"], STOPPED)
            watcher.wait(60)
            self.assertIn('"exitCode":0', text_of(watch_out))
            self.assertEqual(starts(), [])
        finally:
            installer.kill()
            installer.wait(30)

    # The restart marker, handled by the service at its start.
    def marker(self):
        return os.path.join(data_dir(), "update-restart.json")

    def install_with_marker(self, content, raw=None):
        """Makes the data folder with a stopped service, plants the marker and starts it."""
        self.assertEqual(helper("--install"), 0)
        self.assertEqual(helper("--stop"), 0)
        with open(self.marker(), "w") as f:
            f.write(raw if raw is not None else json.dumps(content))
        self.assertEqual(helper("--install"), 0)

    def test_a_fresh_marker_restarts_the_host_once(self):
        self.install_with_marker({"installer": 0, "session": 1, "time": int(time.time())})
        self.assertTrue(wait_for(lambda: len(starts()) == 1, 20), starts())
        record = starts()[0]
        self.assertEqual(record["session"], 1)
        host = "C:\\" + INSTALL + "\\tavro.exe"
        self.assertEqual(record["commandLine"], '"' + host + '"')
        self.assertEqual(record["currentDir"].rstrip("\\"), "C:\\" + INSTALL)
        self.assertTrue(wait_for(lambda: "INFO  Update: tavro restarted in session 1" in service_log(), 10))
        self.assertFalse(os.path.exists(self.marker()))
        time.sleep(1)
        self.assertEqual(len(starts()), 1)

    def test_stale_future_and_broken_markers_are_removed_unused(self):
        now = int(time.time())
        for name, raw in (("old", json.dumps({"installer": 0, "session": 1, "time": now - 901})),
                          ("future", json.dumps({"installer": 0, "session": 1, "time": now + 60})),
                          ("not json", "{installer: 0"),
                          ("array", json.dumps([0, 1, now]))):
            with self.subTest(name=name):
                self.install_with_marker(None, raw=raw)
                self.assertTrue(wait_for(lambda: not os.path.exists(self.marker()), 10))
                time.sleep(1.5)
                self.assertEqual(starts(), [])
                self.assertEqual(query()["state"], RUNNING)

    def test_a_marker_held_open_without_delete_sharing_is_kept_unused(self):
        self.assertEqual(helper("--install"), 0)
        self.assertEqual(helper("--stop"), 0)
        with open(self.marker(), "w") as f:
            json.dump({"installer": 0, "session": 1, "time": int(time.time())}, f)
        holder, out = PREFIX.start_program(PREFIX.windows_path(os.path.join(BIN, "process_holder.exe")), "hold",
                                           "C:\\ProgramData\\tavro\\update-restart.json", "20000")
        try:
            self.assertTrue(wait_for(lambda: "held" in text_of(out), 20))
            self.assertEqual(helper("--install"), 0)
            self.assertTrue(wait_state(RUNNING))
            time.sleep(3)
            self.assertIsNone(holder.poll(), "the holder ended before the check")
            self.assertEqual(starts(), [])
            self.assertTrue(os.path.exists(self.marker()))
        finally:
            holder.wait(30)

    def test_a_marker_linked_to_a_victim_is_not_followed(self):
        victim = PREFIX.drive_c("victim-marker.json")
        content = json.dumps({"installer": 0, "session": 1, "time": int(time.time())})
        with open(victim, "w") as f:
            f.write(content)
        self.assertEqual(helper("--install"), 0)
        self.assertEqual(helper("--stop"), 0)
        os.symlink(victim, self.marker())
        try:
            self.assertEqual(helper("--install"), 0)
            time.sleep(3)
            self.assertEqual(starts(), [])
            with open(victim) as f:
                self.assertEqual(f.read(), content)
        finally:
            os.unlink(self.marker())
            os.unlink(victim)

    def test_a_live_installer_delays_the_restart_until_it_ends(self):
        installer, out = PREFIX.start_program(PREFIX.windows_path(os.path.join(BIN, "process_holder.exe")),
                                              "sleep", "25000")
        self.assertTrue(wait_for(lambda: text_of(out).strip().isdigit(), 20))
        self.install_with_marker({"installer": int(text_of(out).strip()), "session": 1,
                                  "time": int(time.time())})
        self.assertTrue(wait_for(lambda: not os.path.exists(self.marker()), 10))
        time.sleep(1.5)
        self.assertIsNone(installer.poll(), "the installer ended before the check")
        self.assertEqual(starts(), [])
        installer.wait(60)
        ended = time.monotonic()
        self.assertTrue(wait_for(lambda: len(starts()) == 1, 20))
        self.assertLess(time.monotonic() - ended, 10)

    def test_a_running_host_gets_no_second_start(self):
        host, _ = PREFIX.start_program("C:\\" + INSTALL + "\\tavro.exe", "--wait-ms", "30000")
        try:
            self.assertTrue(wait_for(lambda: len(starts()) == 1, 20))
            self.install_with_marker({"installer": 0, "session": 1, "time": int(time.time())})
            self.assertTrue(wait_for(lambda: not os.path.exists(self.marker()), 10))
            time.sleep(2)
            self.assertIsNone(host.poll(), "the host ended before the check")
            self.assertEqual(len(starts()), 1)
        finally:
            host.wait(60)

    # Planted data folders at the real path.
    def test_a_foreign_owned_data_folder_is_moved_aside(self):
        os.makedirs(data_dir())
        planted = os.path.join(data_dir(), "planted.txt")
        with open(planted, "w") as f:
            f.write("planted")
        os.chown(planted, NOBODY, NOBODY)
        os.chown(data_dir(), NOBODY, NOBODY)
        self.assertEqual(helper("--install"), 0)
        parent = os.path.dirname(data_dir())
        aside = [n for n in os.listdir(parent) if re.fullmatch(r"tavro\.untrusted-\d+", n)]
        self.assertEqual(len(aside), 1)
        self.assertTrue(os.path.exists(os.path.join(parent, aside[0], "planted.txt")))
        self.assertEqual(os.stat(data_dir()).st_uid, 0)
        self.assertFalse(os.path.exists(os.path.join(data_dir(), "planted.txt")))
        self.assertTrue(wait_for(lambda: "Service started" in service_log(), 10))

    def test_a_data_folder_linked_to_a_victim_is_never_used(self):
        victim = PREFIX.drive_c("victim-folder")
        shutil.rmtree(victim, ignore_errors=True)
        os.makedirs(victim)
        with open(os.path.join(victim, "keep.txt"), "wb") as f:
            f.write(b"victim bytes")
        os.symlink(victim, data_dir())
        try:
            self.assertEqual(helper("--install"), 0)
            self.assertEqual(query()["state"], RUNNING)
            time.sleep(1)
            self.assertEqual(os.listdir(victim), ["keep.txt"])
            with open(os.path.join(victim, "keep.txt"), "rb") as f:
                self.assertEqual(f.read(), b"victim bytes")
            self.assertEqual(query()["state"], RUNNING)
        finally:
            helper("--uninstall")
            os.unlink(data_dir())
            shutil.rmtree(victim, ignore_errors=True)


if __name__ == "__main__":
    build, BIN = sys.argv[1:3]
    with OwnWinePrefix(build, "service") as PREFIX:
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
        helper("--uninstall")
    sys.exit(0 if result.wasSuccessful() else 1)
