#!/usr/bin/env python3
"""The real tavro.exe with the WebView2 double and its page in headless Chromium, with the
local update site offering 1.2.0 whose installer is a stand-in that records it ran: the
banner's Update button downloads, checks and starts the installer, and tavro.exe logs
"Quitting for the update" and exits with code 0.

Usage: gui_install_e2e.py WINE_EXEC TAVRO_EXE DOUBLE_DLL FAKE_INSTALLER_EXE WORK_DIR ARTIFACTS KEYS"""
import os
import pathlib
import shutil
import sys
import tempfile
import time

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent))
sys.path.insert(0, str(here.parents[1] / "update"))

from double_bridge import DoubleBridge  # noqa: E402
from gui_page_e2e import Program, check, fail, free_port, windows_path  # noqa: E402
from page_harness import Page  # noqa: E402
from webview2_driver import WebView2Driver  # noqa: E402
import update_site  # noqa: E402


def main():
    wine_exec, tavro_exe, double_dll, fake_installer, work, artifacts, keys = sys.argv[1:8]
    folder = pathlib.Path(tempfile.mkdtemp(prefix="gui-install-e2e-", dir=work))
    site_root = folder / "site"
    site_env, stop_site = update_site.start(str(site_root), keys)
    base = "http://127.0.0.1:%s" % site_env["TAVRO_UPDATE_HTTP_PORT"]
    installer_bytes = pathlib.Path(fake_installer).read_bytes()
    update_site.publish(str(site_root), keys, "stable", "1.2.0", installer_bytes, base)
    key = pathlib.Path(keys, "update.pub.txt").read_text().strip()
    shutil.copy(tavro_exe, folder / "tavro.exe")
    shutil.copy(double_dll, folder / "WebView2Loader.dll")
    profile = folder / "profile"
    # With --profile the program keeps its local data, and so its downloads, there.
    ran = profile / "updates" / "tavro-Setup-1.2.0.exe.ran"
    driver = WebView2Driver()
    page = Page(here.parents[2] / "host" / "app" / "page.html", artifacts)
    bridge = DoubleBridge(driver, page)
    env = dict(os.environ, **driver.env())
    app = Program([wine_exec, str(folder / "tavro.exe"), "--profile", windows_path(profile), "--port",
                   str(free_port()), "--no-adb", "--no-discovery", "--no-driver", "--update-url", base,
                   "--update-key", key], env)
    try:
        bridge.run_until(lambda: bridge.navigations > 0, "the host's navigation", 60)
        bridge.run_until(lambda: (bridge.last_post("update") or {}).get("phase") == "available",
                         "an update message with phase available", 60)
        check(page.visible("#updateBanner") and page.text("#updateTitle") == "tavro 1.2.0 is available",
              "banner: %r" % page.text("#updateTitle"))
        check(not ran.exists(), "the installer ran before anyone asked")
        page.click("#updateButton")
        deadline = time.monotonic() + 60
        while not app.ended():
            if time.monotonic() > deadline:
                fail("tavro.exe still runs 60 s after Update; host.log:\n%s" % log_text(profile))
            bridge.pump(0.1)
        code = app.proc.returncode
        log = log_text(profile)
        check("Quitting for the update" in log, "no 'Quitting for the update' in host.log:\n" + log)
        check(code == 0, "tavro.exe exited with %s after handing over to the installer" % code)
        # The shell started the installer on its own; it may finish after tavro.exe has gone.
        deadline = time.monotonic() + 30
        while not ran.exists():
            if time.monotonic() > deadline:
                fail("the installer never ran; host.log:\n" + log)
            time.sleep(0.1)
        ran_text = ran.read_text(encoding="utf-8-sig", errors="replace")
        check("/SILENT" in ran_text, "the installer's command line: %r" % ran_text)
        print("installer ran with: " + ran_text.splitlines()[0], flush=True)
        print("tavro.exe exited with 0 after 'Quitting for the update'", flush=True)
    finally:
        app.stop()
        page.close()
        driver.close()
        stop_site()
        shutil.rmtree(folder, ignore_errors=True)
    print("PASS", flush=True)
    return 0


def log_text(profile):
    try:
        return (profile / "host.log").read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return ""


if __name__ == "__main__":
    sys.exit(main())
