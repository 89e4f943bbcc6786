#!/usr/bin/env python3
"""Runs the programs through ./scripts/run and ./scripts/test as a user does, in a Wine
environment of the test's own (TAVRO_WINE_ENV_DIR), and checks that they share it:

  side_by_side  a console host serves a device while --help, tavro-bench crypto, one
                short test and a second host run beside it; Ctrl+C (SIGINT to the
                host's process group, as a terminal sends it) ends the first host
                cleanly while the second still serves.
  killed        a run killed with SIGKILL (its shells gone, its program, the server and
                the display left behind) does not block the next run, and nothing of the
                environment is left once that one ends.
  ctrl_c        with 8 devices streaming a changing screen, Ctrl+C ends the host with
                exit code 0 and "Host stopped", three times in a row, with no X error.

usage: wine_env_e2e.py CASE CHECKOUT ENV_DIR
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PIN = "012345"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Run:
    """One ./scripts/run or ./scripts/test in a process group of its own, as a terminal
    runs a foreground job; its output is collected as it comes."""

    started = []

    def __init__(self, checkout, env_dir, args, script="run"):
        self.name = " ".join(args)
        env = dict(os.environ, TAVRO_WINE_ENV_DIR=env_dir, TAVRO_NATIVE="0")
        env.pop("DISPLAY", None)
        self.proc = subprocess.Popen([os.path.join(checkout, "scripts", script), *args], cwd=checkout, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        Run.started.append(self)

    def _read(self):
        for raw in self.proc.stdout:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def output(self):
        with self.changed:
            return "\n".join(self.lines)

    def wait_for(self, text, timeout, beside=None):
        """Waits for a line holding `text`; on failure shows the output of `beside` too."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while not any(text in line for line in self.lines):
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    also = "\n%s:\n%s" % (beside.name, beside.output()) if beside else ""
                    fail("%s: no %r within %d s; output:\n%s%s" % (self.name, text, timeout, "\n".join(self.lines),
                                                                   also))
                self.changed.wait(min(left, 0.5))

    def wait(self, timeout):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            fail("%s did not end within %d s; output:\n%s" % (self.name, timeout, self.output()))
        self.reader.join(10)
        return code

    def interrupt(self):
        """Ctrl+C: SIGINT to the whole foreground process group."""
        os.killpg(self.proc.pid, signal.SIGINT)

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def finished(checkout, env_dir, args, timeout, script="run"):
    run = Run(checkout, env_dir, args, script)
    code = run.wait(timeout)
    return code, run.output()


def host(checkout, env_dir, work, name, port):
    run = Run(checkout, env_dir, ["tavro", "--console", "--profile", os.path.join(work, name), "--pin", PIN,
                                  "--no-adb", "--no-driver", "--no-discovery", "--port", str(port)])
    run.wait_for("Press Ctrl+C to quit.", 240)
    return run


def devices(checkout, env_dir, served, port, count, *extra):
    run = Run(checkout, env_dir, ["stream_devices", "--port", str(port), "--devices", str(count), "--pin", PIN,
                                  *extra])
    run.wait_for("streaming %d devices" % count, 120, served)
    return run


def stop_host(run, label):
    run.interrupt()
    code = run.wait(90)
    out = run.output()
    if code != 0:
        fail("%s: Ctrl+C gave exit code %d; output:\n%s" % (label, code, out))
    if "Host stopped" not in out:
        fail("%s: no \"Host stopped\" after Ctrl+C; output:\n%s" % (label, out))
    if "XIO" in out:
        fail("%s: the display went before the host; output:\n%s" % (label, out))


def recorded_pid(env_dir, name):
    try:
        with open(os.path.join(env_dir, name)) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def environment_pids(env_dir):
    """The running server and display of the environment, by their records."""
    pids = {name: recorded_pid(env_dir, name) for name in ("wineserver.pid", "xvfb.pid")}
    if None in pids.values():
        fail("the environment has no server or display record: %s" % pids)
    return pids


def expect_gone(pids, what):
    deadline = time.monotonic() + 15
    while any(alive(p) for p in pids.values()) and time.monotonic() < deadline:
        time.sleep(0.2)
    left = {name: p for name, p in pids.items() if alive(p)}
    if left:
        fail("%s: still running: %s" % (what, left))


def side_by_side(checkout, env_dir, work):
    p1, p2 = free_port(), free_port()
    first = host(checkout, env_dir, work, "p1", p1)
    pids = environment_pids(env_dir)
    device1 = devices(checkout, env_dir, first, p1, 1)

    code, out = finished(checkout, env_dir, ["tavro", "--help"], 120)
    if code != 0 or "--console" not in out or "--port" not in out:
        fail("tavro --help beside a host: exit code %d, output:\n%s" % (code, out))
    code, out = finished(checkout, env_dir, ["tavro-bench", "crypto"], 300)
    if code != 0 or "FAILED" in out or not re.search(r"^crypto\.\S+ \S+ \S+", out, re.M):
        fail("tavro-bench crypto beside a host: exit code %d, output:\n%s" % (code, out))
    code, out = finished(checkout, env_dir, ["-R", r"^CommandLineTest\.PinMustBeSixDigits$"], 300, "test")
    if code != 0 or "100% tests passed" not in out or "tests passed, 0 tests failed out of 1" not in out:
        fail("scripts/test of one test beside a host: exit code %d, output:\n%s" % (code, out))

    second = host(checkout, env_dir, work, "p2", p2)
    device2 = devices(checkout, env_dir, second, p2, 1)
    if environment_pids(env_dir) != pids:
        fail("later runs did not join the first run's server and display")

    stop_host(first, "first host")
    if device1.wait(60) != 0:
        fail("the first host's device: %s" % device1.output())
    if second.proc.poll() is not None or device2.proc.poll() is not None:
        fail("stopping the first host ended the second: %s\n%s" % (second.output(), device2.output()))
    code, out = finished(checkout, env_dir, ["stream_devices", "--port", str(p2), "--devices", "1", "--pin", PIN,
                                             "--seconds", "3"], 120)
    if code != 0:
        fail("the second host no longer serves a new device: %s" % out)
    stop_host(second, "second host")
    if device2.wait(60) != 0:
        fail("the second host's device: %s" % device2.output())
    expect_gone(pids, "after the last run")
    print("PASS: two hosts, --help, a benchmark and a test side by side; Ctrl+C ends one host only")


def killed(checkout, env_dir, work):
    victim = host(checkout, env_dir, work, "k", free_port())
    pids = environment_pids(env_dir)
    # The run's shells die as when its terminal and sandbox are killed; its program,
    # the server and the display are left behind.
    program = None
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.getpgid(int(entry)) != victim.proc.pid:
                continue
            with open("/proc/%s/comm" % entry) as f:
                comm = f.read().strip()
        except (OSError, ProcessLookupError):
            continue
        if comm == "tavro.exe":
            program = int(entry)
        elif comm in ("bash", "env"):
            os.kill(int(entry), signal.SIGKILL)
    victim.wait(30)
    if program is None or not alive(program):
        fail("the killed run's host program was not left running")
    pids["program"] = program
    if not all(alive(p) for p in pids.values()):
        fail("the killed run left nothing behind to clean up: %s" % pids)
    started = time.monotonic()
    code, out = finished(checkout, env_dir, ["tavro", "--help"], 60)
    took = time.monotonic() - started
    if code != 0 or "--console" not in out:
        fail("tavro --help after a killed run: exit code %d, output:\n%s" % (code, out))
    if took > 20:
        fail("tavro --help after a killed run took %.1f s" % took)
    expect_gone(pids, "after the run that followed the killed one")
    left = environment_pids_if_any(env_dir)
    expect_gone(left, "the environment of the run that followed")
    print("PASS: the run after a killed one took %.1f s and left nothing running" % took)


def environment_pids_if_any(env_dir):
    return {name: p for name in ("wineserver.pid", "xvfb.pid") if (p := recorded_pid(env_dir, name)) is not None}


def ctrl_c(checkout, env_dir, work):
    for attempt in range(1, 4):
        port = free_port()
        served = host(checkout, env_dir, work, "c%d" % attempt, port)
        pids = environment_pids(env_dir)
        streams = devices(checkout, env_dir, served, port, 8, "--paint")
        time.sleep(3)
        stop_host(served, "run %d" % attempt)
        if streams.wait(60) != 0:
            fail("run %d: the devices: %s" % (attempt, streams.output()))
        expect_gone(pids, "after run %d" % attempt)
    print("PASS: Ctrl+C with 8 devices streaming ended the host cleanly three times")


def end_leftovers(checkout, env_dir):
    """After a failure: Ctrl+C, then SIGKILL, for every run still going; a run that had to
    be killed leaves the environment to the next run, so one more run ends it."""
    left = [r for r in Run.started if r.proc.poll() is None]
    for run in left:
        run.interrupt()
    deadline = time.monotonic() + 20
    killed_any = False
    for run in left:
        try:
            run.proc.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            run.kill()
            killed_any = True
    if killed_any:
        subprocess.run([os.path.join(checkout, "scripts", "run"), "tavro", "--help"], cwd=checkout,
                       env=dict(os.environ, TAVRO_WINE_ENV_DIR=env_dir), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)


def main():
    case, checkout, env_dir = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(env_dir, exist_ok=True)
    try:
        with tempfile.TemporaryDirectory(prefix="tavro-env-e2e-") as work:
            {"side_by_side": side_by_side, "killed": killed, "ctrl_c": ctrl_c}[case](checkout, env_dir, work)
    finally:
        end_leftovers(checkout, env_dir)


if __name__ == "__main__":
    main()
