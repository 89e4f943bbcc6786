#!/usr/bin/env python3
"""The service's update figures for tavro-bench, which starts this beside itself (as
bin/service_bench_driver) and reads its lines over the control connection: the signed
test copy of tavroHelper and the host stand-in as tavro.exe installed in a Wine prefix
of their own (build/wineprefix-service-bench), the local https site on the test copy's
fixed port, and the service uninstalled again at the end.

usage: service_bench_driver -control HOST:PORT refusal|approval

Lines sent: "figure NAME VALUE UNIT", "note TEXT", "fail TEXT", then "done".
"""
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys

SOURCE = "@PROJECT_SOURCE_DIR@"
BUILD = "@PROJECT_BINARY_DIR@"
KEYS = "@service_test_keys@"
SITE_PORT = int("@TAVRO_SERVICE_TEST_SITE_PORT@")
OSSLSIGNCODE = "@TAVRO_OSSLSIGNCODE@"
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "update"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "helperservice"))
from own_wine_prefix import OwnWinePrefix  # noqa: E402
import update_site  # noqa: E402
from service_update_e2e import wait_for  # noqa: E402

BIN = os.path.join(BUILD, "bin")
INSTALL_WIN = "C:\\Program Files\\tavro-test"
REFUSAL_RUNS = 20
APPROVAL_RUNS = 3
INSTALLER_BYTES = 50 * 1000 * 1000


class Control:
    def __init__(self, address):
        host, port = address.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)))

    def line(self, text):
        self.sock.sendall((text + "\n").encode())


class Bench:
    def __init__(self, prefix, control):
        self.prefix = prefix
        self.control = control
        self.site_root = os.path.join(BUILD, "service-bench-site")

    def helper(self, *args):
        return self.prefix.run(INSTALL_WIN + "\\tavroHelper.exe", *args, timeout=120)[0]

    def host(self, *args, timeout=300):
        """The installed stand-in's printed lines."""
        _, out, _ = self.prefix.run(INSTALL_WIN + "\\tavro.exe", *args, timeout=timeout)
        return out.strip().splitlines()

    def data_dir(self):
        return self.prefix.drive_c("ProgramData", "tavro")

    def service_log(self):
        try:
            with open(os.path.join(self.data_dir(), "service.log"), "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def install(self):
        install = self.prefix.drive_c("Program Files", "tavro-test")
        os.makedirs(install, exist_ok=True)
        for name in ("tavroHelper.exe", "tavro.exe"):
            shutil.copy(os.path.join(BIN, "service-test-install", name), install)
        self.prefix.run(self.prefix.windows_path(os.path.join(BIN, "root_store_add.exe")),
                        self.prefix.windows_path(os.path.join(KEYS, "root.crt")))
        self.helper("--uninstall")
        shutil.rmtree(self.data_dir(), ignore_errors=True)
        recorder = self.prefix.drive_c("ProgramData", "tavro-test-installer")
        os.makedirs(recorder, exist_ok=True)
        with open(os.path.join(recorder, "settings.json"), "w") as f:
            json.dump({"code": 0, "sleepMs": 0}, f)
        if self.helper("--install") != 0:
            raise RuntimeError("installing the service failed")
        if not wait_for(lambda: "Service started" in self.service_log(), 30):
            raise RuntimeError("the service did not start")

    def timed_asks(self, version, runs):
        """Asks `runs` times; the stand-in's last result line and its times in ms."""
        lines = self.host("--ask", "stable", version, "--repeat", str(runs))
        times = [line for line in lines if line.startswith("times ")]
        if not times:
            raise RuntimeError("the stand-in printed no times: %r" % lines)
        results = [line for line in lines if not line.startswith("times ")]
        return results[-1] if results else "", [float(v) for v in times[-1].split()[1:]]

    def refusal(self):
        last, times = self.timed_asks("1.0.0", REFUSAL_RUNS)
        if last != "2 that version isn't newer than the installed one":
            raise RuntimeError("unexpected answer: " + last)
        self.control.line("figure service.refusal_roundtrip %.3f ms" % statistics.median(times))

    def signed_installer(self):
        """The recording installer followed by zeros up to 50 MB, signed as the test signer."""
        work = os.path.join(BUILD, "service-bench-installer")
        os.makedirs(work, exist_ok=True)
        unsigned, signed = os.path.join(work, "in.exe"), os.path.join(work, "signed.exe")
        with open(os.path.join(BIN, "installer-variants", "unsigned.exe"), "rb") as f:
            program = f.read()
        with open(unsigned, "wb") as f:
            f.write(program + bytes(INSTALLER_BYTES - len(program) - 16384))
        if os.path.exists(signed):
            os.unlink(signed)
        subprocess.run([OSSLSIGNCODE, "sign", "-certs", os.path.join(KEYS, "signer.crt"), "-key",
                        os.path.join(KEYS, "signer.key"), "-in", unsigned, "-out", signed],
                       check=True, stdout=subprocess.DEVNULL)
        with open(signed, "rb") as f:
            return f.read()

    def approval(self):
        installer = self.signed_installer()
        base = "https://localhost:%d" % SITE_PORT
        update_site.publish(self.site_root, KEYS, "stable", "1.2.0", installer, base)
        seconds = []
        for run in range(APPROVAL_RUNS):
            restarts = self.service_log().count("Update: tavro restarted")
            last, times = self.timed_asks("1.2.0", 1)
            if last.strip() != "0":
                raise RuntimeError("the approval failed: %s\n%s" % (last, self.service_log()))
            seconds.append(times[0] / 1000)
            # The next request waits until this installation has ended and tavro is back.
            if not wait_for(lambda: self.service_log().count("Update: tavro restarted") > restarts, 60):
                raise RuntimeError("the installation did not end: " + self.service_log())
        self.control.line("figure service.approval_50mb %.3f s" % statistics.median(seconds))
        raw = []
        for run in range(APPROVAL_RUNS):
            lines = self.host("--get", base + "/files/tavro-Setup-1.2.0.exe")
            got = [line for line in lines if line.startswith("got ")]
            if not got or int(got[-1].split()[1]) != len(installer):
                raise RuntimeError("the plain GET failed: %r" % lines)
            raw.append(float(got[-1].split()[2]) / 1000)
        self.control.line("figure service.approval_50mb.raw %.3f s" % statistics.median(raw))


def main():
    args = sys.argv[1:]
    if len(args) != 3 or args[0] != "-control" or args[2] not in ("refusal", "approval"):
        print(__doc__, file=sys.stderr)
        return 2
    control = Control(args[1])
    site_root = os.path.join(BUILD, "service-bench-site")
    shutil.rmtree(site_root, ignore_errors=True)
    os.makedirs(site_root)
    try:
        _, stop_site = update_site.start(site_root, KEYS, https_port=SITE_PORT)
    except OSError as e:
        control.line("fail the site cannot listen on port %d (is a service test running?): %s" % (SITE_PORT, e))
        control.line("done")
        return 1
    code = 0
    try:
        with OwnWinePrefix(BUILD, "service-bench") as prefix:
            bench = Bench(prefix, control)
            try:
                bench.install()
                getattr(bench, args[2])()
            except (RuntimeError, subprocess.SubprocessError, OSError) as e:
                control.line("fail " + str(e).replace("\n", " | ")[:2000])
                code = 1
            finally:
                bench.helper("--uninstall")
    finally:
        stop_site()
    control.line("done")
    return code


if __name__ == "__main__":
    sys.exit(main())
