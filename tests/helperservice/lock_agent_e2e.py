#!/usr/bin/env python3
"""The lock agent with the real service in build/wineprefix-service: the lock state is
the Wine stand-in value HKLM\\Software\\tavro\\WineStandIn\\LockedSession, set and cleared
in that prefix only. The host beside the service is the host stand-in copied as tavro.exe,
or, for the device cases (lock_agent_device_e2e.exe), the real tavro.exe; the fake lock
app is input_target.exe at the lock app's path. The service is removed first and last.

usage: lock_agent_e2e.py BUILD_DIR BIN_DIR
"""
import json
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "media"))
from own_wine_prefix import OwnWinePrefix  # noqa: E402
from annexb_check import bar_means, check_bars, decode_yuv420, probe, require_tools  # noqa: E402

PREFIX = BIN = None
INSTALL = "tavro-lock-agent-test"
KEY = "HKLM\\Software\\tavro\\WineStandIn"
PIPE = "\\\\.\\pipe\\tavro.LockScreen.1"
STARTED = re.compile(r"Session 1 locked; lock agent started \(pid (\d+)\)")
HAND_STARTED = "The lock agent must be started by the tavro service"
UNLOCKED = "Session 1 unlocked; lock agent exits"
LOCK_APP = ("windows", "SystemApps", "Microsoft.LockApp_cw5n1h2txyewy", "LockApp.exe")


def helper_win():
    return "C:\\" + INSTALL + "\\tavroHelper.exe"


def data_dir():
    return PREFIX.drive_c("ProgramData", "tavro")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""


def service_log():
    return read(os.path.join(data_dir(), "service.log"))


def agent_log():
    return read(os.path.join(data_dir(), "lock-agent.log"))


def helper(*args, timeout=120):
    return PREFIX.run(helper_win(), *args, timeout=timeout)


def tool_path(name):
    return PREFIX.windows_path(os.path.join(BIN, name))


def wait_for(check, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(step)
    return check()


def set_locked(session):
    if session is None:
        PREFIX.run("reg", "delete", KEY, "/v", "LockedSession", "/f")
    else:
        code, _, _ = PREFIX.run("reg", "add", KEY, "/v", "LockedSession", "/t", "REG_DWORD", "/d", str(session), "/f")
        assert code == 0


def agent_pids():
    return [int(m) for m in STARTED.findall(service_log())]


def tavro_helper_count():
    """Running tavroHelper.exe processes other than the service (the agents)."""
    code, out, _ = PREFIX.run("tasklist")
    return sum(1 for line in out.splitlines() if line.lower().startswith("tavrohelper.exe"))


class ServiceCase(unittest.TestCase):
    """The service's install folder with HOST as its tavro.exe; no service, no lock."""
    HOST = "host_standin.exe"

    def setUp(self):
        path = PREFIX.drive_c(INSTALL)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        shutil.copy(os.path.join(BIN, "tavroHelper.exe"), path)
        shutil.copy(os.path.join(BIN, self.HOST), os.path.join(path, "tavro.exe"))
        set_locked(None)
        helper("--uninstall")
        shutil.rmtree(data_dir(), ignore_errors=True)
        self.programs = []

    def tearDown(self):
        set_locked(None)
        helper("--uninstall")
        for proc in self.programs:
            proc.kill()
            proc.wait(30)

    def start(self, *args):
        proc, out = PREFIX.start_program(*args)
        self.programs.append(proc)
        return proc, out

    def start_host(self):
        """A tavro.exe of the install folder that stays in session 1."""
        _, out = self.start("C:\\" + INSTALL + "\\tavro.exe", "--wait-ms", "600000")
        starts = os.path.join(PREFIX.drive_c(INSTALL), "starts.jsonl")
        self.assertTrue(wait_for(lambda: os.path.exists(starts) and read(starts).strip(), 30))

    def install(self):
        code, _, _ = helper("--install")
        self.assertEqual(code, 0)
        self.assertTrue(wait_for(lambda: "Service started" in service_log(), 20))
        time.sleep(0.5)

    def wait_exit(self, pid, seconds):
        """The exit code of process `pid` once it has ended within `seconds`, else None."""
        code, out, _ = PREFIX.run(tool_path("service_probe.exe"), "wait-exit", str(pid), str(seconds),
                                  timeout=seconds + 60)
        m = re.search(r'"exitCode":(\d+)', out)
        return int(m.group(1)) if m else None


class LockAgentTest(ServiceCase):
    def test_a_hand_started_agent_refuses_and_leaves_no_log(self):
        self.install()
        before = agent_log()
        code, out, err = helper("--lock-agent", "1")
        self.assertEqual(code, 1)
        self.assertIn(HAND_STARTED, err)
        self.assertEqual(agent_log(), before)
        self.assertFalse(os.path.exists(os.path.join(data_dir(), "lock-agent.log")))

    def test_lock_starts_one_agent_and_unlock_ends_it(self):
        self.start_host()
        self.install()
        set_locked(1)
        locked_at = time.monotonic()  # reg.exe has set the value
        self.assertTrue(wait_for(lambda: agent_pids(), 10, step=0.01), service_log())
        started_after = time.monotonic() - locked_at
        print("lock to 'agent started' line: %.0f ms" % (started_after * 1000))
        self.assertLessEqual(started_after, 0.5)
        self.assertTrue(wait_for(lambda: "Lock agent for session 1 ready" in agent_log(), 10), agent_log())
        code, out, _ = PREFIX.run(tool_path("service_probe.exe"), "pipe-owner", PIPE)
        self.assertEqual(json.loads(out.strip().splitlines()[-1]), {"owner": "S-1-5-18"})
        # That client is no installed tavro.exe.
        self.assertTrue(wait_for(lambda: "Refused a lock screen pipe client" in agent_log(), 5), agent_log())
        pid = agent_pids()[0]
        # Exactly one agent over 3 s.
        end = time.monotonic() + 3
        while time.monotonic() < end:
            self.assertEqual(len(agent_pids()), 1, service_log())
            time.sleep(0.05)
        # Cleared and set again quickly while the agent runs: still one at a time.
        set_locked(None)
        set_locked(1)
        end = time.monotonic() + 3
        while time.monotonic() < end:
            self.assertLessEqual(tavro_helper_count(), 2)
            time.sleep(0.05)
        set_locked(None)
        cleared_at = time.monotonic()
        self.assertTrue(wait_for(lambda: UNLOCKED in agent_log(), 5, step=0.01), agent_log())
        unlocked_after = time.monotonic() - cleared_at
        print("unlock to the agent's exit line: %.0f ms" % (unlocked_after * 1000))
        self.assertLessEqual(unlocked_after, 1.0)
        for started in agent_pids():
            self.assertEqual(self.wait_exit(started, 1), 0)
        self.assertEqual(pid, agent_pids()[0])

    def test_a_locked_session_without_a_host_gets_no_agent(self):
        self.install()
        set_locked(1)
        self.assertTrue(wait_for(lambda: "Session 1 locked; tavro isn't running there" in service_log(), 10))
        time.sleep(2)
        self.assertEqual(service_log().count("Session 1 locked; tavro isn't running there"), 1)
        self.assertEqual(agent_pids(), [])

    def test_a_squatted_pipe_ends_the_agent_with_one(self):
        _, out = self.start(tool_path("process_holder.exe"), "pipe", PIPE, "600000")
        self.assertTrue(wait_for(lambda: "held" in read(out), 20))
        self.start_host()
        self.install()
        set_locked(1)
        self.assertTrue(wait_for(lambda: agent_pids(), 10), service_log())
        self.assertEqual(self.wait_exit(agent_pids()[0], 20), 1)
        self.assertRegex(agent_log(), r"ERROR Cannot create \\\\\.\\pipe\\tavro\.LockScreen\.1: \S")

    def test_the_installed_host_is_served_and_a_copy_elsewhere_is_refused(self):
        self.start_host()
        self.install()
        set_locked(1)
        self.assertTrue(wait_for(lambda: "Lock agent for session 1 ready" in agent_log(), 15), agent_log())
        other = PREFIX.drive_c(INSTALL + "-copy")
        shutil.rmtree(other, ignore_errors=True)
        os.makedirs(other)
        shutil.copy(os.path.join(BIN, "host_standin.exe"), os.path.join(other, "tavro.exe"))
        copy, _ = self.start("C:\\" + INSTALL + "-copy\\tavro.exe", "--connect-pipe", PIPE)
        self.assertTrue(wait_for(lambda: "WARN  Refused a lock screen pipe client that isn't the installed tavro.exe"
                                 in agent_log(), 15), agent_log())
        copy.wait(30)
        self.assertNotIn("tavro connected", agent_log())
        host, _ = self.start("C:\\" + INSTALL + "\\tavro.exe", "--connect-pipe", PIPE)
        self.assertTrue(wait_for(lambda: "INFO  tavro connected" in agent_log(), 15), agent_log())
        self.assertTrue(wait_for(lambda: "INFO  Capturing the main monitor 1920x1080" in agent_log(), 15), agent_log())
        pid = agent_pids()[0]
        set_locked(None)
        self.assertTrue(wait_for(lambda: "INFO  tavro disconnected" in agent_log(), 5), agent_log())
        self.assertEqual(self.wait_exit(pid, 10), 0)
        log = agent_log()
        self.assertLess(log.index("tavro disconnected"), log.index("Session 1 unlocked; lock agent exits"))
        host.wait(30)
        shutil.rmtree(other, ignore_errors=True)

    def test_stopping_the_service_ends_its_agent(self):
        self.start_host()
        self.install()
        set_locked(1)
        self.assertTrue(wait_for(lambda: "Lock agent for session 1 ready" in agent_log(), 15), agent_log())
        pid = agent_pids()[0]
        started = time.monotonic()
        code, _, _ = helper("--stop")
        self.assertEqual(code, 0)
        self.assertEqual(self.wait_exit(pid, 10), 0)
        self.assertLess(time.monotonic() - started, 5 + 2)

    def test_a_service_started_while_locked_starts_one_agent(self):
        # The start-up pass and the lock watch both see the lock.
        self.start_host()
        set_locked(1)
        self.install()
        self.assertTrue(wait_for(lambda: agent_pids(), 10), service_log())
        end = time.monotonic() + 3
        while time.monotonic() < end:
            self.assertEqual(len(agent_pids()), 1, service_log())
            self.assertLessEqual(tavro_helper_count(), 2)
            time.sleep(0.05)
        self.assertTrue(wait_for(lambda: "Lock agent for session 1 ready" in agent_log(), 10), agent_log())
        self.assertEqual(agent_log().count("Lock agent for session 1 ready"), 1, agent_log())


class LockAgentDeviceTest(ServiceCase):
    """The real host beside the service, a device test client paired to it."""
    HOST = "tavro.exe"

    def setUp(self):
        super().setUp()
        lock_app = PREFIX.drive_c(*LOCK_APP)
        os.makedirs(os.path.dirname(lock_app), exist_ok=True)
        shutil.copy(os.path.join(BIN, "input_target.exe"), lock_app)
        self.work = tempfile.mkdtemp(prefix="tavro-lock-agent-")
        self.install()

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(self.work, ignore_errors=True)

    def run_case(self, case):
        """Runs one case of lock_agent_device_e2e.exe; the Annex-B file it wrote, if any."""
        stream = os.path.join(self.work, "lock.h264")
        PREFIX.env.update(TAVRO_LOCK_AGENT_HOST="C:\\" + INSTALL + "\\tavro.exe",
                          TAVRO_LOCK_APP="C:\\" + "\\".join(LOCK_APP),
                          TAVRO_ANNEXB_OUT=PREFIX.windows_path(stream))
        code, out, err = PREFIX.run(tool_path("lock_agent_device_e2e.exe"), "--gtest_filter=LockAgentDevice." + case,
                                    timeout=300)
        print(out)
        self.assertEqual(code, 0, out + err)
        self.assertIn("[  PASSED  ] 1 test", out)
        return stream

    def test_the_locked_screen_reaches_the_device_and_decodes_with_the_bars(self):
        stream = self.run_case("TheLockedScreenReachesTheDeviceAtMostTwentyTimesASecond")
        with open(stream + ".json") as f:
            meta = json.load(f)
        info = probe(stream)
        self.assertEqual(info["codec_name"], "h264")
        self.assertEqual((int(info["width"]), int(info["height"])), (1280, 720))
        self.assertEqual((meta["width"], meta["height"]), (1280, 720))
        self.assertGreaterEqual(meta["videoFrames"], 40)
        self.assertEqual(int(info["nb_read_frames"]), meta["videoFrames"])
        raw, frame_bytes = decode_yuv420(stream, 1280, 720, meta["videoFrames"])
        means = bar_means(raw, frame_bytes, meta["videoFrames"], 1280, 720)
        print("decoded %d lock screen frames; bar Y means %s" % (meta["videoFrames"], [round(m, 1) for m in means]))
        check_bars(means)
        # The real host was the agent's client.
        self.assertEqual(len(agent_pids()), 1, service_log())
        log = agent_log()
        for line in ("INFO  Lock agent for session 1 ready", "INFO  tavro connected",
                     "INFO  Capturing the main monitor 1920x1080", "INFO  tavro disconnected", UNLOCKED):
            self.assertIn(line, log)
        self.assertEqual(self.wait_exit(agent_pids()[0], 10), 0)

    def test_device_input_reaches_the_lock_app_in_front_only(self):
        self.run_case("InputReachesTheLockAppInFrontAndNothingElse")

    def test_an_agent_whose_host_stopped_reading_ends_after_the_unlock(self):
        self.run_case("AnAgentWhoseHostStopsReadingEndsSoonAfterTheUnlock")
        self.assertIn(UNLOCKED, agent_log())


if __name__ == "__main__":
    build, BIN = sys.argv[1:3]
    with OwnWinePrefix(build, "service") as PREFIX:
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
        set_locked(None)
        helper("--uninstall")
    sys.exit(0 if result.wasSuccessful() else 1)
