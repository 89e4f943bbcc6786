#!/usr/bin/env python3
"""The window's page in headless Chromium, driven by recorded host messages: what it shows
for each state, what its controls send, its formats, drops, unsafe texts, the network it
(never) uses and its screenshots. Screenshots are kept in --artifacts."""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import fixtures as fx  # noqa: E402
import png_pixels  # noqa: E402
from page_harness import PLACEHOLDER, Page  # noqa: E402

ARGS = None
ELLIPSIS = "\u2026"


class PageCase(unittest.TestCase):
    page = None

    @classmethod
    def setUpClass(cls):
        cls.page = Page(ARGS.page, ARGS.artifacts)

    @classmethod
    def tearDownClass(cls):
        cls.page.close()

    def setUp(self):
        self.page.load()
        self.page.take_posts()
        self.page.dialogs.clear()
        self.page.dialog_answers.clear()

    def show(self, *messages):
        for m in messages:
            self.page.deliver(m)

    def title(self):
        return self.page.text("#statusTitle")

    def settings_tab(self):
        self.page.click("#tabSettings")


class StartTest(PageCase):
    def test_ready_once_and_a_status_right_after_shows(self):
        p = self.page
        p.load()
        p.settle(0.3)
        self.assertEqual(p.take_messages(), [{"cmd": "ready"}])
        self.assertEqual(self.title(), "Starting" + ELLIPSIS)
        self.assertEqual(p.text("#statusLine"), "")
        self.show(fx.status())
        self.assertEqual(self.title(), "Ready \u2014 waiting for your tablet")
        self.assertEqual(p.text("#statusLine"), "Connect with a USB cable or over Wi-Fi")
        p.settle(0.3)
        self.assertEqual(p.take_messages(), [])

    def test_messages_before_a_status_keep_starting(self):
        self.show(fx.init(), fx.settings(), fx.update())
        self.assertEqual(self.title(), "Starting" + ELLIPSIS)

    def test_tabs_switch_sections(self):
        p = self.page
        self.assertTrue(p.visible("#home"))
        self.assertFalse(p.visible("#settings"))
        self.settings_tab()
        self.assertTrue(p.visible("#settings"))
        self.assertFalse(p.visible("#home"))
        self.assertEqual(p.el("#tabSettings", "e.getAttribute('aria-selected')"), "true")
        self.assertEqual(p.el("#tabHome", "e.getAttribute('aria-selected')"), "false")
        self.assertEqual(p.take_messages(), [])


class StatusTest(PageCase):
    def test_header_for_each_state(self):
        usb = fx.session(7, "Tab A", "usb", "Extend", 2560, 1600, 60, True)
        wifi = fx.session(8, "Tab B", "wifi", "Mirror", 1920, 1200, 30, False)
        relay = fx.session(9, "Tab C", "relay", "Mirror", 0, 0, 0, False)
        cases = [
            (fx.status(running=False), "Not running", "Tablets can't connect right now", "off"),
            (fx.status(usbOnly=True), "Ready \u2014 waiting for your tablet", "Connect your tablet with a USB cable",
             "waiting"),
            (fx.status(), "Ready \u2014 waiting for your tablet", "Connect with a USB cable or over Wi-Fi", "waiting"),
            (fx.status(sessions=[usb]), "Connected to Tab A via USB",
             "Extend \u00b7 2560 \u00d7 1600 \u00b7 60 fps \u00b7 audio", "on"),
            (fx.status(sessions=[wifi]), "Connected to Tab B via Wi-Fi", "Mirror \u00b7 1920 \u00d7 1200 \u00b7 30 fps",
             "on"),
            (fx.status(sessions=[relay]), "Connected to Tab C via tavro Connect", "Mirror", "on"),
            (fx.status(sessions=[usb, wifi, relay]), "Connected to 3 tablets", "Tab A, Tab B, Tab C", "on"),
        ]
        for message, title, line, dot in cases:
            with self.subTest(title=title, line=line):
                self.show(message)
                self.assertEqual(self.title(), title)
                self.assertEqual(self.page.text("#statusLine"), line)
                self.assertEqual(self.page.el("#statusDot", "e.className"), "dot " + dot)

    def test_error_and_driver_banners(self):
        p = self.page
        self.show(fx.status())
        self.assertFalse(p.visible("#errorBanner"))
        self.assertFalse(p.visible("#driverBanner"))
        self.show(fx.status(running=False, error="Port 27183 is in use", driver=False))
        self.assertTrue(p.visible("#errorBanner"))
        self.assertEqual(p.text("#errorBanner b"), "tavro isn't accepting connections")
        self.assertEqual(p.text("#errorText"), "Port 27183 is in use. Close the app that uses this port, then change a "
                                               "setting or restart tavro.")
        self.assertTrue(p.visible("#driverBanner"))
        self.assertEqual(p.text("#driverBanner b"), "Extend mode unavailable \u2014 mirror only")
        self.assertEqual(p.text("#driverBanner p"),
                         "The tavro display driver isn't installed, so the tablet can only mirror an existing monitor. "
                         "Install the driver to use the tablet as a second screen.")

    def test_devices_card(self):
        p = self.page
        self.show(fx.status())
        self.assertFalse(p.visible("#devicesCard"))
        self.show(fx.status(sessions=[
            fx.session(11, "Tab A", "relay", transfer=""),
            fx.session(12, "Tab B", "usb", transfer="Sending report.pdf 43%"),
            fx.session(13, "Tab C", "wifi")]))
        self.assertTrue(p.visible("#devicesCard"))
        self.assertEqual(p.text("#devicesCard h2"), "Connected devices")
        self.assertEqual(p.texts("#sessionList .name"), ["Tab A", "Tab B", "Tab C"])
        self.assertEqual(p.texts("#sessionList .badge"), ["Remote", "USB", "Wi-Fi"])
        self.assertEqual(p.js("Array.from(document.querySelectorAll('#sessionList .name'), (e) => e.title)"),
                         ["Tab A\nrelay", "Tab B\nusb", "Tab C\n192.168.1.40:51234"])
        transfers = p.js("Array.from(document.querySelectorAll('#sessionList .transfer'),"
                         " (e) => [e.textContent, e.checkVisibility()])")
        self.assertEqual(transfers, [["", False], ["Sending report.pdf 43%", True], ["", False]])
        self.assertEqual(p.texts("#sessionList .device:nth-child(2) button"), ["Send files", "Disconnect"])
        hint = p.text("#devicesCard .hint")
        self.assertIn("drag", hint)
        self.assertIn("Send to", hint)
        self.assertIn("Downloads\\tavro", hint)
        p.take_messages()
        p.click("#openDownloads")
        self.assertEqual(p.take_messages(), [{"cmd": "openDownloads"}])

    def test_wifi_card_states(self):
        p = self.page
        self.show(fx.status(usbOnly=True, pairingLink="", pairingQr=""))
        self.assertTrue(p.visible("#wifiOff"))
        self.assertEqual(p.text("#wifiOff"), "Wi-Fi connections are turned off. Turn them on in Settings, or connect the "
                                             "tablet with a USB cable.")
        self.assertFalse(p.visible("#wifiPairing"))
        self.show(fx.status(ip="", addresses=[], pairingLink="", pairingQr=""))
        self.assertFalse(p.visible("#wifiOff"))
        self.assertEqual(p.text("#wifiNoNetwork"), "No network connection. Connect this PC to the same Wi-Fi network "
                                                   "as your tablet.")
        self.assertTrue(p.visible("#wifiNoNetwork"))
        self.assertFalse(p.visible("#wifiPairing"))
        self.show(fx.status())
        self.assertTrue(p.visible("#wifiPairing"))
        self.assertFalse(p.visible("#wifiNoNetwork"))
        self.assertEqual(p.text("#pinBlock .muted"), "PIN for new devices")
        self.assertEqual(p.text("#pin"), "012 345")
        self.assertEqual(p.text("#pcName"), "DESK-PC")
        self.assertEqual(p.text("#address"), "192.168.1.23")
        self.assertEqual(p.el("#pairingQr", "e.title"), fx.PAIRING_LINK)
        self.assertEqual(p.el("#pairingQr", "e.querySelectorAll('svg').length"), 1)
        self.assertTrue(p.visible("#newPin"))
        self.assertFalse(p.visible("#pairingNote"))
        p.take_messages()
        p.click("#newPin")
        self.assertEqual(p.take_messages(), [{"cmd": "newPin"}])
        for method, note in [("authenticator", "New devices pair with a code from your authenticator app."),
                             ("off", "Pairing new devices is turned off. Paired devices still connect.")]:
            with self.subTest(method=method):
                self.show(fx.status(pairingMethod=method))
                self.assertFalse(p.visible("#pinBlock"))
                self.assertFalse(p.visible("#newPin"))
                self.assertTrue(p.visible("#pairingNote"))
                self.assertEqual(p.text("#pairingNote"), note)

    def test_app_card(self):
        p = self.page
        self.show(fx.status())
        self.assertEqual(p.text("#appCard summary"), "Get the tablet app")
        self.assertEqual(p.text("#appUrl"), fx.APP_URL)
        p.click("#appCard summary")
        self.assertTrue(p.visible("#appQr svg"))
        self.assertTrue(p.visible("#appNotPublished"))
        self.assertIn("Google Play", p.text("#appNotPublished"))
        # The same address again keeps the very element.
        p.js("document.querySelector('#appQr svg').dataset.mark = 'kept'")
        self.show(fx.status(pin="999999"))
        self.assertEqual(p.el("#appQr svg", "e.dataset.mark"), "kept")
        self.show(fx.status(appUrl="https://tavro.app/other", appQr=fx.qr_svg("https://tavro.app/other")))
        self.assertIsNone(p.el("#appQr svg", "e.dataset.mark ?? null"))
        self.assertEqual(p.text("#appUrl"), "https://tavro.app/other")


class FormatTest(PageCase):
    def test_pin_port_addresses_and_description(self):
        p = self.page
        self.show(fx.status(pin="000007"))
        self.assertEqual(p.text("#pin"), "000 007")
        self.show(fx.status(port=27184))
        self.assertEqual(p.text("#pin"), "012 345")
        self.assertEqual(p.text("#address"), "192.168.1.23:27184")
        self.assertEqual(p.el("#address", "e.title"),
                         "Other addresses:\n10.0.0.5 (Ethernet)\n172.20.0.1 (vEthernet (WSL))")
        self.show(fx.status(addresses=fx.status()["addresses"][:1]))
        self.assertEqual(p.text("#address"), "192.168.1.23")
        self.assertEqual(p.el("#address", "e.title"), "")
        self.show(fx.status(sessions=[fx.session(1, "Tab A", "usb", "Extend", 2560, 1600, 60, True)]))
        self.assertEqual(p.text("#sessionList .desc"), "Extend \u00b7 2560 \u00d7 1600 \u00b7 60 fps \u00b7 audio")
        self.show(fx.status(sessions=[fx.session(1, "Tab A", "usb", "Mirror", 2560, 0, 0, False)]))
        self.assertEqual(p.text("#sessionList .desc"), "Mirror")

    def test_paired_devices_dates_and_identity(self):
        p = self.page
        self.show(fx.status(pairedDevices=[
            fx.paired("a1", "Tab A", 1700000000, 1710000000, True),
            fx.paired("b2", "Tab B", 1701000000, 0, False)]))
        self.settings_tab()
        self.assertEqual(p.texts("#pairedList .name"), ["Tab A", "Tab B"])
        self.assertEqual(p.texts("#pairedList .badge"), ["Connected"])
        self.assertEqual(p.texts("#pairedList .device > .muted"),
                         ["Paired 11/14/2023 \u00b7 last connected 3/9/2024",
                          "Paired 11/26/2023 \u00b7 last connected never"])
        self.assertFalse(p.visible("#pairedEmpty"))
        self.assertEqual(p.text("#identity"), "0123 4567 89ab cdef")
        self.show(fx.status(pairedDevices=[]))
        self.assertTrue(p.visible("#pairedEmpty"))
        self.assertEqual(p.text("#pairedEmpty"), "No paired devices yet.")
        self.assertEqual(p.texts("#pairedList .device"), [])


class SettingsTest(PageCase):
    def setUp(self):
        super().setUp()
        self.show(fx.init(), fx.status(), fx.update())
        self.settings_tab()
        self.page.take_messages()

    def test_every_control_follows_the_settings(self):
        p = self.page
        keys = ["startWithWindows", "allowWifi", "useAdb", "keepAwake", "connectEnabled", "fixedPin",
                "codeEveryTime", "forwardNotifications"]
        for value in (True, False):
            self.show(fx.settings(authenticatorSet=True, **{k: value for k in keys}))
            for k in keys:
                self.assertEqual(p.el('input[data-key="%s"]' % k, "e.checked"), value, k)
        self.assertEqual(p.text("#version"), "Version 1.0.0")

    def test_bitrate_list_and_custom(self):
        p = self.page
        self.assertEqual(p.texts("#bitrate option"), ["Low (8 Mbps)", "Medium (15 Mbps)", "Balanced (20 Mbps)",
                                                      "High (40 Mbps)", "Maximum (80 Mbps)"])
        self.assertEqual(p.el("#bitrate", "e.value"), "20")
        self.show(fx.settings(bitrateMbps=37))
        self.assertEqual(p.texts("#bitrate option")[-1], "Custom (37 Mbps)")
        self.assertEqual(p.el("#bitrate", "e.selectedOptions[0].textContent"), "Custom (37 Mbps)")
        self.show(fx.settings(bitrateMbps=40))
        self.assertEqual(len(p.texts("#bitrate option")), 5)
        p.select("#bitrate", "80")
        self.assertEqual(p.take_messages(), [{"cmd": "setSetting", "key": "bitrateMbps", "value": 80}])

    def test_notification_lines(self):
        p = self.page
        cases = [
            (False, "allowed", "Off"),
            (True, "allowed", "Notifications from Windows apps appear on your phone or tablet; tap one to open the app."),
            (True, "denied", "Windows doesn't allow tavro to read notifications. Open Windows settings"),
            (True, "unknown", "Waiting for permission - Windows asks once whether tavro may read notifications."),
            (True, "unavailable", "Unavailable: reinstall tavro with the notification option."),
        ]
        for on, access, line in cases:
            with self.subTest(access=access, on=on):
                self.show(fx.settings(forwardNotifications=on, notificationAccess=access))
                self.assertEqual(p.text("#notifyState"), line)
        self.show(fx.settings(forwardNotifications=True, notificationAccess="denied"))
        p.click("#notifyState button")
        self.assertEqual(p.take_messages(), [{"cmd": "openUrl", "url": "ms-settings:privacy-notifications"}])

    def test_relay_lines(self):
        p = self.page
        cases = [
            (False, {"state": "online", "detail": "x"}, "Off"),
            (True, {"state": "off", "detail": ""}, "Off"),
            (True, {"state": "off", "detail": "Sign-in needed"}, "Sign-in needed"),
            (True, {"state": "connecting", "detail": ""}, "Connecting to the tavro Connect server" + ELLIPSIS),
            (True, {"state": "online", "detail": "relay.example.net"},
             "On \u2014 your paired devices can connect from anywhere"),
            (True, {"state": "failed", "detail": "The server refused the sign-in."},
             "The server refused the sign-in. Retrying automatically."),
            (True, {"state": "failed", "detail": ""}, "Not available right now Retrying automatically."),
        ]
        for on, connect, line in cases:
            with self.subTest(on=on, connect=connect):
                self.show(fx.settings(connectEnabled=on), fx.status(connect=connect))
                self.assertEqual(p.text("#connectState"), line)
                # The same holds when the settings come after the status.
                self.show(fx.settings(connectEnabled=on))
                self.assertEqual(p.text("#connectState"), line)

    def test_update_lines_and_banner(self):
        p = self.page
        v = "1.2.0"
        default_text = ("Installing takes a few seconds; connected devices are disconnected meanwhile, and tavro "
                        "restarts by itself.")
        cases = [
            # message, state line, banner title (None: hidden), banner text
            (fx.update(last_check="14:05"), "tavro 1.0.0 is the newest version (checked at 14:05)", None, None),
            (fx.update("checking"), "Checking for updates" + ELLIPSIS, None, None),
            (fx.update(error="Couldn't check for updates (timed out)."), "Couldn't check for updates (timed out).",
             None, None),
            (fx.update("available", v), "tavro 1.2.0 is available", "tavro 1.2.0 is available", default_text),
            (fx.update("available", v, required=True), "Update required: tavro 1.2.0 is available",
             "Update required: tavro 1.2.0",
             "Phones and tablets can't connect until this PC is updated. " + default_text),
            (fx.update("available", v, error="Couldn't check for updates (timed out)."),
             "tavro 1.2.0 is available. Couldn't check for updates (timed out).", "tavro 1.2.0 is available",
             "Couldn't check for updates (timed out)."),
            (fx.update("installing", v, downloading=True, progress=0.4251), "Downloading" + ELLIPSIS + " 43 %",
             "tavro 1.2.0 is available", "Downloading" + ELLIPSIS + " 43 %"),
            (fx.update("installing", v), "Preparing the update" + ELLIPSIS, "tavro 1.2.0 is available",
             "Preparing the update" + ELLIPSIS),
            (fx.update("failed", v, error="The update failed: the download stopped."),
             "tavro 1.2.0 is available. The update failed: the download stopped.", "tavro 1.2.0 is available",
             "The update failed: the download stopped."),
        ]
        for message, line, title, banner_text in cases:
            with self.subTest(line=line):
                self.show(message)
                self.assertEqual(p.text("#updateState"), line)
                self.assertEqual(p.visible("#updateTo"), title is not None)
                installing = message["phase"] in ("installing",)
                self.assertEqual(p.el("#checkUpdates", "e.disabled"),
                                 message["phase"] == "checking" or installing)
                self.page.click("#tabHome")
                self.assertEqual(p.visible("#updateBanner"), title is not None)
                if title is not None:
                    self.assertEqual(p.text("#updateTitle"), title)
                    self.assertEqual(p.text("#updateText"), banner_text)
                    self.assertEqual(p.el("#updateButton", "e.disabled"), installing)
                    self.assertEqual(p.text("#updateNotes"), "What\u2019s new")
                self.settings_tab()
        self.show(fx.update("available", v))
        self.assertEqual(p.text("#updateTo"), "Update to 1.2.0")
        self.assertEqual(p.take_messages(), [])

    def test_whats_new_posts_open_url_and_is_no_link(self):
        p = self.page
        p.click("#tabHome")
        self.show(fx.update("available", "1.2.0", notes=""))
        self.assertFalse(p.visible("#updateNotes"))
        for notes in ("https://tavro.app/releases/1.2.0", "javascript:alert(1)"):
            with self.subTest(notes=notes):
                self.show(fx.update("available", "1.2.0", notes=notes))
                self.assertEqual(p.el("#updateNotes", "e.tagName"), "BUTTON")
                self.assertEqual(p.js("document.querySelectorAll('a[href]').length"), 0)
                p.click("#updateNotes")
                self.assertEqual(p.take_messages(), [{"cmd": "openUrl", "url": notes}])
                self.assertEqual(p.dialogs, [])
                self.assertEqual(p.navigations, [p.url])
        p.navigations.clear()

    def test_overrides_note(self):
        p = self.page
        self.assertFalse(p.visible("#overrides"))
        note = "Some settings are overridden by command-line options for this run."
        self.show(fx.init(overrides=note))
        self.assertTrue(p.visible("#overrides"))
        self.assertEqual(p.text("#overrides"), note)

    def test_enrolment_panel(self):
        p = self.page
        self.assertFalse(p.visible("#enrolPanel"))
        self.assertEqual(p.text("#authState"), "Not set up")
        self.assertTrue(p.el('#pairingMethod option[value="authenticator"]', "e.disabled"))
        self.assertTrue(p.el('input[data-key="codeEveryTime"]', "e.disabled"))
        p.click("#authSetup")
        self.assertEqual(p.take_messages(), [{"cmd": "authenticatorSetup"}])
        self.show(fx.authenticator_setup())
        self.assertTrue(p.visible("#enrolPanel"))
        self.assertEqual(p.text("#enrolKey"), "Or enter this key: " + fx.SECRET)
        self.assertTrue(p.visible("#enrolQr svg"))
        # The field keeps the focus the panel gave it; six characters at most, digits sent.
        self.assertEqual(p.js("document.activeElement.id"), "enrolCode")
        p.type("12 345")
        p.click("#enrolConfirm")
        self.assertEqual(p.take_messages(), [{"cmd": "authenticatorConfirm", "code": "12345"}])
        self.show({"type": "authenticatorResult", "ok": False})
        self.assertTrue(p.visible("#enrolPanel"))
        self.assertTrue(p.visible("#enrolError"))
        self.assertEqual(p.text("#enrolError"), "That code doesn't match. Check the time on this PC and your phone, "
                                                "then try the current code.")
        p.el("#enrolCode", "(e.value = '', e.focus())")
        p.type("654321")
        p.key("Enter")
        self.assertEqual(p.take_messages(), [{"cmd": "authenticatorConfirm", "code": "654321"}])
        self.show({"type": "authenticatorResult", "ok": True})
        self.assertFalse(p.visible("#enrolPanel"))
        self.assertEqual(p.text("#toast"), "Authenticator app set up. New devices now pair with its code.")
        self.assertTrue(p.visible("#toast"))
        self.show(fx.settings(authenticatorSet=True, pairingMethod="authenticator"))
        self.assertFalse(p.el('#pairingMethod option[value="authenticator"]', "e.disabled"))
        self.assertEqual(p.el("#pairingMethod", "e.value"), "authenticator")
        self.assertEqual(p.text("#authState"), "Set up")
        self.assertTrue(p.visible("#authRemove"))
        self.assertFalse(p.visible("#authSetup"))
        self.assertFalse(p.el('input[data-key="codeEveryTime"]', "e.disabled"))
        # Cancel hides the panel and tells the host.
        p.click("#authRemove")  # no answer queued: the confirmation is dismissed
        self.assertEqual(p.take_messages(), [])
        self.show(fx.authenticator_setup())
        p.click("#enrolCancel")
        self.assertFalse(p.visible("#enrolPanel"))
        self.assertEqual(p.take_messages(), [{"cmd": "authenticatorCancel"}])

    def test_toast_disappears(self):
        p = self.page
        self.show(fx.settings(disconnected=True))
        self.assertEqual(p.text("#toast"), "Settings applied. Connected tablets were disconnected.")
        self.assertTrue(p.visible("#toast"))
        p.js("new Promise((r) => setTimeout(r, 3700))")
        self.assertFalse(p.visible("#toast"))
        self.show(fx.settings(disconnected=False))
        self.assertFalse(p.visible("#toast"))


class ControlsTest(PageCase):
    def setUp(self):
        super().setUp()
        self.show(fx.init(), fx.status(sessions=[fx.session(41, "Tab A"), fx.session(42, "Tab B", "wifi")]),
                  fx.update())
        self.page.take_messages()

    def test_switches_send_booleans(self):
        p = self.page
        self.page.click("#tabSettings")
        self.show(fx.settings(authenticatorSet=True))
        expected = []
        for key, before in [("startWithWindows", False), ("allowWifi", True), ("useAdb", True), ("keepAwake", True),
                            ("connectEnabled", False), ("fixedPin", False), ("codeEveryTime", False),
                            ("forwardNotifications", False)]:
            p.click('input[data-key="%s"]' % key)
            expected.append({"cmd": "setSetting", "key": key, "value": not before})
        self.assertEqual(p.take_messages(), expected)
        for m in expected:
            self.assertIs(type(m["value"]), bool)

    def test_session_buttons_send_numbers(self):
        p = self.page
        p.click("#sessionList .device:nth-child(2) button:nth-of-type(1)")
        p.click("#sessionList .device:nth-child(1) button:nth-of-type(2)")
        msgs = p.take_messages()
        self.assertEqual(msgs, [{"cmd": "sendFiles", "id": 42}, {"cmd": "disconnect", "id": 41}])
        self.assertIs(type(msgs[0]["id"]), int)
        self.assertTrue(p.el("#sessionList .device:nth-child(1) button:nth-of-type(2)", "e.disabled"))
        self.assertFalse(p.el("#sessionList .device:nth-child(2) button:nth-of-type(2)", "e.disabled"))
        # A status that still lists the session keeps the button disabled.
        self.show(fx.status(sessions=[fx.session(41, "Tab A"), fx.session(42, "Tab B", "wifi")]))
        self.assertTrue(p.el("#sessionList .device:nth-child(1) button:nth-of-type(2)", "e.disabled"))

    def test_server_field_trimmed_and_kept_while_focused(self):
        p = self.page
        p.click("#tabSettings")
        p.click("#connectServer")
        p.el("#connectServer", "(e.select(), 0)")
        p.type("  https://relay.example.net  ")
        self.show(fx.settings(connectServer="https://stored.example"))
        self.assertEqual(p.el("#connectServer", "e.value"), "  https://relay.example.net  ")
        p.key("Tab")
        self.assertEqual(p.take_messages(),
                         [{"cmd": "setSetting", "key": "connectServer", "value": "https://relay.example.net"}])
        self.show(fx.settings(connectServer="https://stored.example"))
        self.assertEqual(p.el("#connectServer", "e.value"), "https://stored.example")

    def test_pairing_method_select(self):
        p = self.page
        p.click("#tabSettings")
        p.select("#pairingMethod", "off")
        self.assertEqual(p.take_messages(), [{"cmd": "setSetting", "key": "pairingMethod", "value": "off"}])

    def test_confirmations(self):
        p = self.page
        p.click("#tabSettings")
        self.show(fx.settings(authenticatorSet=True))
        cases = [
            ("#pairedList .device:nth-child(1) button", "Remove Tab A? It will have to be paired again before it can "
                                                        "connect.", {"cmd": "removeDevice", "id": "a1b2c3d4e5f60718"}),
            ("#authRemove", "Remove the authenticator app? New devices will pair with the PIN again.",
             {"cmd": "authenticatorRemove"}),
        ]
        for selector, question, command in cases:
            for answer in (False, True):
                with self.subTest(selector=selector, answer=answer):
                    p.dialogs.clear()
                    p.answer_dialogs(answer)
                    p.click(selector)
                    self.assertEqual(p.dialogs, [("confirm", question, answer)])
                    self.assertEqual(p.take_messages(), [command] if answer else [])

    def test_update_with_devices_connected_asks(self):
        p = self.page
        self.show(fx.update("available", "1.2.0"))
        question = "Connected devices will be disconnected while tavro updates. Update now?"
        for selector in ("#updateButton", "#updateTo"):
            if selector == "#updateTo":
                p.click("#tabSettings")
            for answer in (False, True):
                with self.subTest(selector=selector, answer=answer):
                    p.dialogs.clear()
                    p.answer_dialogs(answer)
                    p.click(selector)
                    self.assertEqual(p.dialogs, [("confirm", question, answer)])
                    self.assertEqual(p.take_messages(),
                                     [{"cmd": "installUpdate", "version": "1.2.0"}] if answer else [])
        # Without sessions nothing is asked.
        self.show(fx.status())
        p.dialogs.clear()
        p.click("#updateTo")
        self.assertEqual(p.dialogs, [])
        self.assertEqual(p.take_messages(), [{"cmd": "installUpdate", "version": "1.2.0"}])

    def test_buttons_of_the_about_group(self):
        p = self.page
        p.click("#tabSettings")
        for selector, message in [("#displaySettings", {"cmd": "openUrl", "url": "ms-settings:display"}),
                                  ("#openLogFolder", {"cmd": "openLogFolder"}),
                                  ("#checkUpdates", {"cmd": "checkUpdates"})]:
            p.click(selector)
            self.assertEqual(p.take_messages(), [message])
        self.assertEqual(p.text("#displaySettings"), "Display settings")

    def test_libraries_list(self):
        p = self.page
        p.click("#tabSettings")
        p.click("#libraries summary")
        libs = p.text("#libraries")
        for word in ("nlohmann/json", "MIT License", "QR Code generator", "Monocypher", "libjuice", "KCP",
                     "WebView2", "NOTICES.txt"):
            self.assertIn(word, libs)


class DropTest(PageCase):
    def drop(self, selector, names, drop=True):
        return self.page.drag_files(selector, names, drop)

    def test_no_session_refuses(self):
        p = self.page
        self.show(fx.status())
        self.assertEqual(self.drop("#statusTitle", ["a.txt"]), "Connect a device to send files")
        self.assertEqual(p.take_posts(), [])
        self.assertFalse(p.visible("#overlay"))
        self.assertFalse(p.visible("#toast"))

    def test_one_session(self):
        p = self.page
        self.show(fx.status(sessions=[fx.session(5, "Tab A")]))
        self.assertEqual(self.drop("#statusTitle", ["a.txt"]), "Drop to send to Tab A")
        self.assertEqual([(x["msg"], x.get("files")) for x in p.take_posts()],
                         [({"cmd": "dropFiles", "id": 5}, ["a.txt"])])
        self.assertEqual(p.text("#toast"), "Sending 1 file to Tab A")

    def test_several_sessions(self):
        p = self.page
        self.show(fx.status(sessions=[fx.session(5, "Tab A"), fx.session(6, "Tab B", "wifi")]))
        self.assertEqual(self.drop("#statusTitle", ["a.txt", "b.png"]), "Drop to send to your device")
        self.assertEqual([(x["msg"], x.get("files")) for x in p.take_posts()],
                         [({"cmd": "dropFiles", "id": 0}, ["a.txt", "b.png"])])
        self.assertEqual(p.text("#toast"), "Sending 2 files to your device")
        self.assertEqual(self.drop("#sessionList .device:nth-child(2) .desc", ["c.txt"]), "Drop to send to Tab B")
        self.assertEqual([(x["msg"], x.get("files")) for x in p.take_posts()],
                         [({"cmd": "dropFiles", "id": 6}, ["c.txt"])])
        self.assertEqual(p.text("#toast"), "Sending 1 file to Tab B")
        # A drag that leaves drops nothing and takes the overlay away.
        self.assertEqual(self.drop("#statusTitle", ["d.txt"], drop=False), "Drop to send to your device")
        self.assertFalse(p.visible("#overlay"))
        self.assertEqual(p.take_posts(), [])


UNSAFE = [
    "<img src=x onerror=\"window.__tavroTrap=1\">",
    "\"><svg onload=\"window.__tavroTrap=2\">",
    "</script><script>window.__tavroTrap=3</script>",
    "javascript:alert(1)",
    "{{BACKDROP}}",
    "&amp;",
    "Tab\u202eA",
    "N" * 10240,
    "\ufffd",
]


class UnsafeInputTest(PageCase):
    def census(self):
        p = self.page
        return p.js("""({
          elements: document.getElementsByTagName('*').length,
          handlers: Array.from(document.querySelectorAll('*')).filter((e) =>
            Array.from(e.attributes).some((a) => a.name.startsWith('on'))).length,
          scripts: document.scripts.length,
          images: document.images.length,
          svgs: document.querySelectorAll('svg').length,
          trap: window.__tavroTrap,
          html: document.documentElement.className,
        })""")

    def full_state(self, t, u=None):
        """Every text field of a status, settings, update and init message set to `t`."""
        sessions = [fx.session(1, t, "usb", mode=t, transfer=t) | {"peer": t},
                    fx.session(2, t, "wifi", mode=t, transfer=t) | {"peer": t}]
        status = fx.status(error=t, pin=t, pcName=t, identity=t, ip=t, pairingMethod="pin",
                           addresses=[{"ip": t, "adapter": t, "virtual": False}] * 2,
                           pairedDevices=[fx.paired(t, t, 1700000000, 0, True)], sessions=sessions,
                           pairingLink=t, appUrl=t, connect={"state": "failed", "detail": t})
        settings = fx.settings(connectServer=t, notificationAccess=t, forwardNotifications=True,
                               connectEnabled=True, pairingMethod=t)
        init = fx.init(overrides=t, connectServer=t)
        init["version"] = t
        init["logDir"] = t
        init["settingsFile"] = t
        update = fx.update("available", t, notes=t, error=t, last_check=t)
        update["current"] = t
        return [init, status, settings, update]

    def test_every_text_field_is_literal(self):
        p = self.page
        self.show(*self.full_state("plain"))
        baseline = self.census()
        for t in UNSAFE:
            with self.subTest(text=t[:40]):
                p.load()
                p.take_posts()
                p.navigations.clear()
                self.show(*self.full_state(t))
                p.click("#tabSettings")
                p.click("#libraries summary")
                now = self.census()
                self.assertEqual(now, baseline)
                self.assertEqual(p.text("#statusTitle"), "Connected to 2 tablets")
                self.assertEqual(p.text("#statusLine"), t + ", " + t)
                self.assertEqual(p.texts("#sessionList .name"), [t, t])
                self.assertEqual(p.texts("#pairedList .name"), [t])
                self.assertEqual(p.text("#pcName"), t)
                self.assertEqual(p.text("#overrides"), t)
                self.assertEqual(p.text("#updateTitle"), "tavro " + t + " is available")
                self.assertEqual(p.text("#updateText"), t)
                self.assertEqual(p.text("#errorText"), t + ". Close the app that uses this port, then change a "
                                                           "setting or restart tavro.")
                self.assertEqual(p.text("#connectState"), t + " Retrying automatically.")
                self.assertEqual(p.el("#connectServer", "e.value"), t)
                self.assertEqual(p.text("#version"), "Version " + t)
                self.assertEqual(p.el("#pairingQr", "e.title"), t)
                self.assertEqual(p.navigations, [])
                self.assertEqual(p.dialogs, [])
                self.assertEqual(p.take_messages(), [])
                p.click("#tabHome")
                p.click("#updateNotes")
                self.assertEqual(p.take_messages(), [{"cmd": "openUrl", "url": t}])
                self.assertEqual(p.navigations, [])
                self.assertEqual(p.js("window.__tavroTrap"), 0)

    def test_the_backdrop_text_is_not_replaced_twice(self):
        p = self.page
        self.assertEqual(p.js("document.documentElement.className"), "solid")
        self.assertEqual(p.page_bytes.count(PLACEHOLDER), 1)


class NetworkTest(PageCase):
    def test_a_whole_run_loads_the_document_only(self):
        p = self.page
        p.requests.clear()
        p.load()
        self.show(fx.init(), fx.status(sessions=[fx.session(1, "Tab A")]), fx.update("available", "1.2.0"),
                  fx.authenticator_setup())
        for selector in ("#appCard summary", "#tabSettings", "#libraries summary", "#tabHome"):
            p.click(selector)
        for t in UNSAFE:
            self.show(fx.status(sessions=[fx.session(1, t)], pcName=t))
        p.settle(0.5)
        self.assertEqual(p.requests, [p.url])


class ScreenTest(PageCase):
    def setUp(self):
        pass

    def shot(self, name, backdrop, dark, scale=1.0):
        p = self.page
        p.load(backdrop=backdrop, dark=dark, scale=scale, transparent=backdrop == "mica")
        self.show(fx.init(), fx.status(), fx.update())
        p.settle(0.1)
        return png_pixels.decode(p.screenshot(name))

    def test_backgrounds_and_accent(self):
        p = self.page
        for dark in (False, True):
            for backdrop in ("solid", "mica"):
                with self.subTest(dark=dark, backdrop=backdrop):
                    image = self.shot("page-%s-%s" % ("dark" if dark else "light", backdrop), backdrop, dark)
                    self.assertEqual((image.width, image.height), (440, 640))
                    # Left of every card, under the tab bar.
                    outside = image.pixel(4, 300)
                    if backdrop == "solid":
                        self.assertEqual(outside, (0x20, 0x20, 0x20, 255) if dark else (0xF3, 0xF3, 0xF3, 255))
                    else:
                        self.assertEqual(outside[3], 0)
                    tab = p.rect("#tabHome")
                    accent = image.pixel(tab["x"] + tab["w"] / 2, tab["y"] + tab["h"] - 1)
                    self.assertEqual(accent[:3], (0xB9, 0xA8, 0xFF) if dark else (0x6B, 0x4E, 0xFF))

    def zbar(self, png):
        with tempfile.NamedTemporaryFile(suffix=".png") as f:
            f.write(png)
            f.flush()
            out = subprocess.run(["zbarimg", "--raw", "-q", f.name], capture_output=True, text=True, timeout=30)
        return out.stdout.strip()

    def test_qr_codes_decode(self):
        p = self.page
        for scale in (1.0, 1.25):
            with self.subTest(scale=scale):
                self.shot("page-qr-%s" % scale, "solid", False, scale)
                qr = p.rect("#pairingQr")
                png = p.screenshot("page-pairing-qr-%s" % scale, {"x": qr["px"], "y": qr["py"], "width": qr["w"],
                                                                  "height": qr["h"]})
                self.assertEqual(self.zbar(png), fx.PAIRING_LINK)
                p.click("#tabSettings")
                self.show(fx.authenticator_setup())
                qr = p.rect("#enrolQr")
                png = p.screenshot("page-enrol-qr-%s" % scale, {"x": qr["px"], "y": qr["py"], "width": qr["w"],
                                                                "height": qr["h"]})
                self.assertEqual(self.zbar(png), fx.OTPAUTH)


class ShippedTest(unittest.TestCase):
    def test_resource_is_the_page(self):
        if not ARGS.exe:
            self.skipTest("no tavro.exe given")
        from pe_resources import read_resource
        shipped = read_resource(ARGS.exe, 10, 101)
        self.assertIsNotNone(shipped, "tavro.exe has no RCDATA 101")
        source = pathlib.Path(ARGS.page).read_bytes()
        self.assertEqual(shipped, source)
        self.assertEqual(shipped.count(PLACEHOLDER), 1)
        shipped.decode("utf-8")

    def test_self_contained(self):
        source = pathlib.Path(ARGS.page).read_text(encoding="utf-8")
        self.assertNotIn("<link", source)
        self.assertNotIn(" src=", source)
        self.assertNotIn("url(", source)
        self.assertNotIn("@import", source)
        self.assertEqual(source.count("innerHTML"), 3)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    here = pathlib.Path(__file__).resolve().parent
    parser.add_argument("--page", default=str(here.parents[2] / "host" / "app" / "page.html"))
    parser.add_argument("--artifacts", default=None)
    parser.add_argument("--exe", default=None)
    ARGS, rest = parser.parse_known_args()
    os.environ["TZ"] = "UTC"
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
