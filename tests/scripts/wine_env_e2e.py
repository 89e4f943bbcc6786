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
  tray_app      the tray app as a new user meets it: `scripts/run tavro` names its display
                and log, xwd of that display shows the runtime notice, then (after
                gui_tool presses OK) the light window; `tavro --send` from a second
                terminal exits 0 and the first runs on; Quit from the tray menu ends it
                with 0. Then the same notice on a hand-started Xvfb named by TAVRO_DISPLAY.

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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from own_wine_prefix import start_private_display  # noqa: E402

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

    def __init__(self, checkout, env_dir, args, script="run", extra_env=None):
        self.name = " ".join(args)
        env = dict(os.environ, TAVRO_WINE_ENV_DIR=env_dir, TAVRO_NATIVE="0", **(extra_env or {}))
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


def finished(checkout, env_dir, args, timeout, script="run", extra_env=None):
    run = Run(checkout, env_dir, args, script, extra_env)
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


def read_xwd(path):
    """An xwd screenshot of a 24-bit TrueColor screen as (width, height, pixel(x, y) -> 0xRRGGBB)."""
    with open(path, "rb") as f:
        data = f.read()
    fields = [int.from_bytes(data[i:i + 4], "big") for i in range(0, 100, 4)]
    header_size, version, _, depth, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    ncolors = fields[19]
    if version != 7 or depth != 24 or bits_per_pixel not in (24, 32):
        fail("%s: not a 24-bit xwd picture (version %d, depth %d, %d bits)" % (path, version, depth, bits_per_pixel))
    pixels = data[header_size + 12 * ncolors:]
    order = "little" if byte_order == 0 else "big"

    def at(x, y):
        i = y * bytes_per_line + bits_per_pixel // 8 * x
        return int.from_bytes(pixels[i:i + bits_per_pixel // 8], order) & 0xFFFFFF
    return width, height, at


def screenshot(work, display, name):
    path = os.path.join(work, name + ".xwd")
    r = subprocess.run(["xwd", "-root", "-silent", "-display", display, "-out", path], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
    if r.returncode != 0:
        fail("xwd -root -display %s: %s" % (display, r.stderr.decode(errors="replace")))
    return read_xwd(path)


def dark(px):
    return max(px >> 16, (px >> 8) & 0xFF, px & 0xFF) < 0x80


def gui_tool(checkout, env_dir, extra_env, *args):
    return finished(checkout, env_dir, ["gui_tool", *args], 120, extra_env=extra_env)


def visible_window(checkout, env_dir, extra_env, cls, title):
    """The rectangle of the visible top-level window CLASS "TITLE", waited for, from gui_tool."""
    deadline = time.monotonic() + 60
    out = ""
    while time.monotonic() < deadline:
        code, out = gui_tool(checkout, env_dir, extra_env, "windows", cls, title)
        for line in out.splitlines():
            m = re.search(r"\((-?\d+),(-?\d+)\)-\((-?\d+),(-?\d+)\) visible", line)
            if m:
                return tuple(int(v) for v in m.groups())
        time.sleep(0.5)
    fail("no visible %s %r; gui_tool windows printed:\n%s" % (cls, title, out))


def shows_the_notice(checkout, env_dir, extra_env, work, display, name):
    left, top, right, bottom = visible_window(checkout, env_dir, extra_env, "#32770", "tavro")
    time.sleep(1)
    width, height, at = screenshot(work, display, name)
    inside = [at(x, y) for y in range(max(top, 0), min(bottom, height), 2) for x in range(max(left, 0),
                                                                                      min(right, width), 2)]
    if len(set(inside)) < 3 or sum(1 for px in inside if dark(px)) < 50:
        fail("%s: the notice's rectangle (%d,%d)-(%d,%d) holds no painted dialog (%d colours)" %
             (name, left, top, right, bottom, len(set(inside))))


def quit_from_tray(checkout, env_dir, extra_env, run):
    # Wine's tray sits at the top left; Up from the opened menu is its last row, Quit. The
    # first close's hint balloon may still cover the icon: then the click is tried again.
    for _ in range(3):
        gui_tool(checkout, env_dir, extra_env, "click", "12", "38", "right")
        time.sleep(1)
        gui_tool(checkout, env_dir, extra_env, "keys", "up", "enter")
        try:
            code = run.proc.wait(20)
            break
        except subprocess.TimeoutExpired:
            continue
    else:
        code = run.wait(1)
    if code != 0:
        fail("Quit from the tray menu: exit code %d; output:\n%s" % (code, run.output()))


def close_to_tray(checkout, env_dir, extra_env):
    """WM_CLOSE to the main window, as its caption's close button sends it: it hides."""
    code, out = gui_tool(checkout, env_dir, extra_env, "windows", "tavro.MainWindow", "tavro")
    handle = next((line.split()[0] for line in out.splitlines() if line.startswith("0x")), None)
    if handle is None:
        fail("no tavro.MainWindow: %s" % out)
    gui_tool(checkout, env_dir, extra_env, "post", handle, "16")
    deadline = time.monotonic() + 20
    while "visible" in gui_tool(checkout, env_dir, extra_env, "windows", "tavro.MainWindow", "tavro")[1]:
        if time.monotonic() > deadline:
            fail("WM_CLOSE did not hide the window")
        time.sleep(0.5)


def tray_app(checkout, env_dir, work):
    profile = os.path.join(work, "gui")
    first = Run(checkout, env_dir, ["tavro", "--profile", profile, "--port", str(free_port()), "--no-adb",
                                    "--no-discovery", "--no-driver"])
    first.wait_for("tavro runs in the tray of X display", 240)
    first.wait_for("its log: " + profile + "/host.log", 10)
    display = re.search(r"tray of X display (\S+) ", first.output()).group(1)
    if display != open(os.path.join(env_dir, "display")).read().strip():
        fail("the named display %s is not the environment's" % display)
    shows_the_notice(checkout, env_dir, None, work, display, "notice")
    if "listening on port" not in open(os.path.join(profile, "host.log"), errors="replace").read():
        fail("the named log has no listening line")
    code, out = gui_tool(checkout, env_dir, None, "press", "tavro", "OK")
    if code != 0:
        fail("gui_tool press tavro OK: %d\n%s" % (code, out))
    deadline = time.monotonic() + 30
    while True:
        time.sleep(1)
        width, height, at = screenshot(work, display, "window")
        block = [at(x, y) for y in range(30, 30 + 640, 4) for x in range(4, 4 + 440, 4)]
        light = sum(1 for px in block if px == 0xF3F3F3)
        text = sum(1 for y in range(30, 180) for x in range(4, 444) if dark(at(x, y)))
        if light > 0.9 * len(block) and text > 20:
            break
        if time.monotonic() > deadline:
            fail("no 440x640 block of 0xF3F3F3 with dark text at (4,30): %d of %d light, %d dark in the top rows" %
                 (light, len(block), text))
    sent = os.path.join(work, "a.txt")
    with open(sent, "w") as f:
        f.write("for the tablet\n")
    code, out = finished(checkout, env_dir, ["tavro", "--profile", profile, "--send", sent], 120)
    if code != 0:
        fail("tavro --send from a second terminal: exit code %d\n%s" % (code, out))
    time.sleep(1)
    if first.proc.poll() is not None:
        fail("the first run ended after --send: %s" % first.output())
    close_to_tray(checkout, env_dir, None)
    quit_from_tray(checkout, env_dir, None, first)
    if "Exited" not in open(os.path.join(profile, "host.log"), errors="replace").read():
        fail("the log does not end with \"Exited\"")

    xvfb, mine = start_private_display()
    try:
        named = {"TAVRO_DISPLAY": mine}
        run = Run(checkout, env_dir, ["tavro", "--profile", os.path.join(work, "gui2"), "--port", str(free_port()),
                                      "--no-adb", "--no-discovery", "--no-driver"], extra_env=named)
        run.wait_for("tavro runs in the tray of X display %s " % mine, 240)
        shows_the_notice(checkout, env_dir, named, work, mine, "notice-on-own-display")
        quit_from_tray(checkout, env_dir, named, run)
    finally:
        xvfb.kill()
        xvfb.wait(10)
    print("PASS: the tray app named its display and log, showed the notice and the window, took a hand-off "
          "and quit from the tray, also on TAVRO_DISPLAY")


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
            {"side_by_side": side_by_side, "killed": killed, "ctrl_c": ctrl_c,
             "tray_app": tray_app}[case](checkout, env_dir, work)
    finally:
        end_leftovers(checkout, env_dir)


if __name__ == "__main__":
    main()
