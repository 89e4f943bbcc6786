#!/usr/bin/env python3
"""The real tavro.exe with the WebView2 double, and its page in headless Chromium: the
page shows the host's PIN and a device pairs with the PIN read from it, the page shows
the device, a file dropped on its row arrives byte-identical at the device, its
Disconnect drops it, turning Wi-Fi off and on restarts the host and
says so, the QR code in the page's screenshot is the pairing link, and the Settings tab
shows the libraries and the version. An authenticator app set up through the page (its QR
code read by zbarimg, the code computed here) then pairs a device with its code.

With the local update site as the command line's site: the host posts "update" (phase
"available", version 1.2.0 and its notes) after "init" and "status", the page shows its
banner, and "Check for updates" makes the site see one more manifest GET.

Usage: gui_page_e2e.py WINE_EXEC TAVRO_EXE DOUBLE_DLL STREAM_DEVICES_EXE WORK_DIR ARTIFACTS KEYS"""
import os
import pathlib
import shutil
import signal
import socket
import base64
import hashlib
import hmac
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent))
sys.path.insert(0, str(here.parents[1] / "update"))

from double_bridge import DoubleBridge  # noqa: E402
from page_harness import Page  # noqa: E402
from webview2_driver import WebView2Driver  # noqa: E402
import update_site  # noqa: E402

NOTES = "https://tavro.app/releases/1.2.0"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


class Program:
    def __init__(self, args, env=None):
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True, text=True)

    def ended(self):
        return self.proc.poll() is not None

    def output(self):
        return self.proc.stdout.read() if self.ended() else "(still running)"

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=30)


def totp(secret_b32, step):
    """RFC 6238 with SHA-1 and six digits: what an authenticator app shows for `step`."""
    key = base64.b32decode(secret_b32 + "=" * (-len(secret_b32) % 8))
    digest = hmac.new(key, struct.pack(">Q", step), hashlib.sha1).digest()
    offset = digest[-1] & 0x0F
    value = struct.unpack(">I", digest[offset:offset + 4])[0] & 0x7FFFFFFF
    return "%06d" % (value % 1000000)


def read_qr(page, selector, name):
    r = page.rect(selector)
    png = page.screenshot(name, {"x": r["px"], "y": r["py"], "width": r["w"], "height": r["h"]})
    with tempfile.NamedTemporaryFile(suffix=".png") as f:
        f.write(png)
        f.flush()
        return subprocess.run(["zbarimg", "--raw", "-q", f.name], capture_output=True, text=True).stdout.strip()


def main():
    wine_exec, tavro_exe, double_dll, stream_devices, work, artifacts, keys = sys.argv[1:8]
    folder = pathlib.Path(tempfile.mkdtemp(prefix="gui-page-e2e-", dir=work))
    site_root = folder / "site"
    site_env, stop_site = update_site.start(str(site_root), keys)
    site = update_site.LAST_SITE
    base = "http://127.0.0.1:%s" % site_env["TAVRO_UPDATE_HTTP_PORT"]
    manifest = update_site.publish(str(site_root), keys, "stable", "1.2.0", b"installer", base)
    manifest_path = "/stable/windows/latest.json"
    check('"notes"' not in manifest, "the site's manifest form changed")
    # The published manifest with its release notes, signed again.
    manifest = manifest[:-1] + ',"notes":"%s"}' % NOTES
    (site_root / "stable" / "windows" / "latest.json").write_text(manifest)
    (site_root / "stable" / "windows" / "latest.json.sig").write_bytes(
        update_site.sign_text(manifest.encode(), os.path.join(keys, "update.pem")))
    key = pathlib.Path(keys, "update.pub.txt").read_text().strip()
    shutil.copy(tavro_exe, folder / "tavro.exe")
    shutil.copy(double_dll, folder / "WebView2Loader.dll")
    profile = folder / "profile"
    port = free_port()
    driver = WebView2Driver()
    page = Page(here.parents[2] / "host" / "app" / "page.html", artifacts)
    bridge = DoubleBridge(driver, page)
    env = dict(os.environ, **driver.env())
    app = Program([wine_exec, str(folder / "tavro.exe"), "--profile", windows_path(profile), "--port", str(port),
                   "--no-adb", "--no-discovery", "--no-driver", "--update-url", base, "--update-key", key], env)
    devices = []
    try:
        bridge.run_until(lambda: bridge.navigations > 0, "the host's navigation", 60)
        bridge.run_until(lambda: bridge.last_post("status") is not None and page.text("#pin") != "",
                         "a status with the PIN in the page", 30)
        status = bridge.last_post("status")
        shown_pin = page.text("#pin")
        check(shown_pin == status["pin"][:3] + " " + status["pin"][3:], "the page shows %r for PIN %r"
              % (shown_pin, status["pin"]))
        check(bridge.last_post("init") is not None, "no init after ready")
        pin = shown_pin.replace(" ", "")

        # The QR code in the page's screenshot is the pairing link of the host's state.
        if status["ip"]:
            decoded = read_qr(page, "#pairingQr", "e2e-pairing-qr")
            expected = "tavro://connect?host=%s&port=%d&pin=%s&name=%s" % (
                status["ip"], port, pin, urllib.parse.quote(status["pcName"].encode("utf-8"), safe="-._~"))
            check(decoded == expected, "the QR code reads %r, not %r" % (decoded, expected))
            print("QR code: " + decoded, flush=True)
        else:
            print("no local address here: the Wi-Fi card has no QR code to read", flush=True)

        # A device pairs with the PIN read from the page.
        received = folder / "received"
        received.mkdir()
        device = Program([wine_exec, stream_devices, "--port", str(port), "--pin", pin, "--name", "Test tablet",
                          "--seconds", "120", "--receive-into", windows_path(received)])
        devices.append(device)
        bridge.run_until(lambda: page.text("#statusTitle") == "Connected to Test tablet via USB",
                         "the connected device in the page", 60)
        check(page.texts("#sessionList .name") == ["Test tablet"], "rows: %r" % page.texts("#sessionList .name"))
        check(page.texts("#sessionList .badge") == ["USB"], "badge: %r" % page.texts("#sessionList .badge"))
        check(not device.ended(), "the device ended by itself: %s" % device.output())

        # A file dropped on the device's row arrives at the device byte for byte.
        sent = folder / "sketch.bin"
        sent.write_bytes(os.urandom(300 * 1024 + 17))
        bridge.files_by_name["sketch.bin"] = windows_path(sent)
        overlay = page.drag_files("#sessionList .device .desc", ["sketch.bin"])
        check(overlay == "Drop to send to Test tablet", "overlay: %r" % overlay)
        arrived = received / "sketch.bin"
        bridge.run_until(arrived.exists, "the dropped file at the device", 60)
        check(hashlib.sha256(arrived.read_bytes()).hexdigest() == hashlib.sha256(sent.read_bytes()).hexdigest(),
              "the device received %d bytes that differ from the %d sent" % (arrived.stat().st_size,
                                                                           sent.stat().st_size))
        print("dropped file arrived: %d bytes, SHA-256 equal" % arrived.stat().st_size, flush=True)
        check(not device.ended(), "the device ended after the file: %s" % device.output())
        page.click("#sessionList .device button:nth-of-type(2)")
        bridge.run_until(device.ended, "the device dropped by Disconnect", 30)
        bridge.run_until(lambda: page.text("#statusTitle") == "Ready \u2014 waiting for your tablet",
                         "the page without the device", 30)

        # Turning Wi-Fi off and on restarts the host, which drops the device and says so.
        device = Program([wine_exec, stream_devices, "--port", str(port), "--pin", pin, "--name", "Test tablet",
                          "--seconds", "120"])
        devices.append(device)
        bridge.run_until(lambda: page.text("#statusTitle") == "Connected to Test tablet via USB",
                         "the device again", 60)
        page.click("#tabSettings")
        check(not device.ended(), "the device ended by itself: %s" % device.output())
        for state in (False, True):
            page.click('input[data-key="allowWifi"]')
            bridge.run_until(lambda: (bridge.last_post("settings") or {}).get("settings", {}).get("allowWifi")
                             is state, "the settings with allowWifi %s" % state, 30)
            if state is False:
                check(bridge.last_post("settings").get("disconnected") is True, "no disconnected flag")
                check(page.text("#toast") == "Settings applied. Connected tablets were disconnected.",
                      "toast: %r" % page.text("#toast"))
        bridge.run_until(device.ended, "the device dropped by the restart", 30)

        # The offered update: after init and status, with its version and notes.
        bridge.run_until(lambda: (bridge.last_post("update") or {}).get("phase") == "available",
                         "an update message with phase available", 30)
        kinds = [m.get("type") for m in bridge.host_posts]
        first_update = kinds.index("update")
        check(kinds.index("init") < first_update and kinds.index("status") < first_update,
              "message order: %r" % kinds[:8])
        update = bridge.last_post("update")
        check(update.get("version") == "1.2.0" and update.get("notes") == NOTES, "update: %r" % update)
        page.click("#tabHome")
        check(page.visible("#updateBanner") and page.text("#updateTitle") == "tavro 1.2.0 is available",
              "banner: %r" % page.text("#updateTitle"))
        page.click("#tabSettings")
        before = site.seen(manifest_path)
        page.click("#checkUpdates")
        bridge.run_until(lambda: site.seen(manifest_path) == before + 1, "one more manifest GET", 30)
        bridge.pump(1.0)
        check(site.seen(manifest_path) == before + 1, "GETs after one click: %d" % (site.seen(manifest_path) - before))

        # The Settings tab: the version and the libraries.
        check(page.text("#version") == "Version 1.0.0", "version: %r" % page.text("#version"))
        page.click("#libraries summary")
        check(page.visible("#libraries ul") and "nlohmann/json" in page.text("#libraries"), "no libraries list")
        page.screenshot("e2e-settings")

        # An authenticator app set up through the page: its QR code is the enrolment address
        # with the secret the page shows, and a device then pairs with a code of that secret.
        page.click("#authSetup")
        bridge.run_until(lambda: bridge.last_post("authenticatorSetup") is not None and page.visible("#enrolQr svg"),
                         "the enrolment panel with its QR code", 30)
        # The key the page shows is what a person types into the app.
        shown_key = page.text("#enrolKey")
        check(shown_key.startswith("Or enter this key: "), "key: %r" % shown_key)
        secret = shown_key[len("Or enter this key: "):]
        check(secret == bridge.last_post("authenticatorSetup")["secret"], "the page shows another key than the host's")
        decoded = read_qr(page, "#enrolQr", "e2e-enrolment-qr")
        expected = "otpauth://totp/%s?secret=%s&issuer=tavro&algorithm=SHA1&digits=6&period=30" % (
            urllib.parse.quote(("tavro:" + status["pcName"]).encode("utf-8"), safe="-._~"), secret)
        check(decoded == expected, "the enrolment QR code reads %r, not %r" % (decoded, expected))
        print("enrolment QR code: " + decoded, flush=True)
        page.click("#enrolCode")
        page.type("000000" if totp(secret, int(time.time()) // 30) != "000000" else "111111")
        page.click("#enrolConfirm")
        bridge.run_until(lambda: page.visible("#enrolError"), "the wrong code refused", 30)
        page.el("#enrolCode", "(e.value = '', e.value)")
        page.click("#enrolCode")
        page.type(totp(secret, int(time.time()) // 30))
        page.click("#enrolConfirm")
        bridge.run_until(lambda: page.text("#toast") == "Authenticator app set up. New devices now pair with its code.",
                         "the set-up toast", 30)
        bridge.run_until(lambda: (bridge.last_post("settings") or {}).get("settings", {}).get("authenticatorSet")
                         is True, "the settings with the authenticator set", 30)
        check(bridge.last_post("settings")["settings"].get("pairingMethod") == "authenticator",
              "pairing method: %r" % bridge.last_post("settings")["settings"].get("pairingMethod"))
        bridge.run_until(lambda: page.text("#authState") == "Set up" and not page.visible("#enrolPanel"),
                         "the page showing the authenticator set up", 30)
        step = int(time.time()) // 30
        device = Program([wine_exec, stream_devices, "--port", str(port), "--totp", totp(secret, step),
                          "--step", str(step), "--name", "Code tablet", "--seconds", "120"])
        devices.append(device)
        page.click("#tabHome")
        bridge.run_until(lambda: page.text("#statusTitle") == "Connected to Code tablet via USB",
                         "the device paired with an authenticator code", 60)
        check(not device.ended(), "the device ended by itself: %s" % device.output())
        print("a device paired with the authenticator code", flush=True)
    finally:
        for d in devices:
            d.stop()
        app.stop()
        page.close()
        driver.close()
        stop_site()
        shutil.rmtree(folder, ignore_errors=True)
    print("PASS", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
