"""Host messages as the host writes them (keys and types of its status, settings, init and
update messages), with QR markup in the host's own form made from python3-qrcode's matrix,
so the page sees what it sees from the real host."""
import copy

import qrcode

PAIRING_LINK = "tavro://connect?host=192.168.1.23&port=27183&pin=012345&name=DESK-PC"
APP_URL = "https://tavro.app/android"
OTPAUTH = ("otpauth://totp/tavro:DESK-PC?secret=JBSWY3DPEHPK3PXPJBSWY3DPEHPK3PXP&issuer=tavro"
           "&algorithm=SHA1&digits=6&period=30")
SECRET = "JBSW Y3DP EHPK 3PXP JBSW Y3DP EHPK 3PXP"


def qr_svg(text):
    """The host's QR markup: a white square with a 3-module quiet zone and one path of
    unit squares."""
    if not text:
        return ""
    code = qrcode.QRCode(border=0, error_correction=qrcode.constants.ERROR_CORRECT_M)
    code.add_data(text.encode())
    code.make(fit=True)
    matrix = code.get_matrix()
    n = len(matrix) + 6
    path = "".join(f"M{x + 3},{y + 3}h1v1h-1z" for y, row in enumerate(matrix) for x, dark in enumerate(row) if dark)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {n} {n}" shape-rendering="crispEdges">'
            f'<rect width="{n}" height="{n}" fill="#fff"/><path d="{path}" fill="#000"/></svg>')


def session(sid, device, link="usb", mode="Mirror", width=2560, height=1600, fps=60, audio=False, transfer=""):
    return {
        "id": sid, "device": device,
        "peer": {"usb": "usb", "wifi": "192.168.1.40:51234", "relay": "relay"}[link],
        "usb": link == "usb", "connect": link == "relay",
        "mode": mode, "width": width, "height": height, "fps": fps, "audio": audio, "transfer": transfer,
    }


def paired(pid, name, paired_at=1700000000, last_seen=1710000000, connected=False):
    return {"id": pid, "name": name, "pairedAt": paired_at, "lastSeen": last_seen, "connected": connected}


def status(**changes):
    s = {
        "type": "status", "running": True, "error": "", "driver": True, "adb": True,
        "port": 27183, "usbOnly": False, "useAdb": True, "pin": "012345", "pairingMethod": "pin",
        "pcName": "DESK-PC", "identity": "0123456789abcdef", "ip": "192.168.1.23",
        "addresses": [
            {"ip": "192.168.1.23", "adapter": "Wi-Fi", "virtual": False},
            {"ip": "10.0.0.5", "adapter": "Ethernet", "virtual": False},
            {"ip": "172.20.0.1", "adapter": "vEthernet (WSL)", "virtual": True},
        ],
        "pairedDevices": [paired("a1b2c3d4e5f60718", "Tab A"),
                          paired("0f1e2d3c4b5a6978", "Pixel Tablet", 1701000000, 0)],
        "sessions": [],
        "pairingLink": PAIRING_LINK, "pairingQr": qr_svg(PAIRING_LINK),
        "appUrl": APP_URL, "appQr": qr_svg(APP_URL),
        "connect": {"state": "off", "detail": ""},
    }
    s.update(copy.deepcopy(changes))
    return s


def settings_object(**changes):
    s = {
        "startWithWindows": False, "allowWifi": True, "fixedPin": False, "codeEveryTime": False,
        "useAdb": True, "keepAwake": True, "forwardNotifications": False, "connectEnabled": False,
        "pairingMethod": "pin", "authenticatorSet": False, "bitrateMbps": 20,
        "connectServer": "https://connect.tavro.app", "notificationAccess": "unavailable",
    }
    s.update(changes)
    return s


def settings(disconnected=False, **changes):
    return {"type": "settings", "settings": settings_object(**changes), "disconnected": disconnected}


def init(overrides="", **changes):
    return {"type": "init", "version": "1.0.0", "logDir": "C:\\Users\\me\\AppData\\Local\\tavro",
            "settingsFile": "C:\\Users\\me\\AppData\\Local\\tavro\\settings.json",
            "overrides": overrides, "settings": settings_object(**changes)}


def update(phase="idle", version=None, notes="https://tavro.app/releases/1.2.0", required=False, error="",
           last_check="", downloading=False, progress=0.0):
    u = {"type": "update", "phase": phase, "current": "1.0.0", "required": required, "error": error,
         "lastCheck": last_check, "downloading": downloading, "progress": progress}
    if version is not None:
        u["version"] = version
        u["notes"] = notes
    return u


def authenticator_setup():
    return {"type": "authenticatorSetup", "secret": SECRET, "qr": qr_svg(OTPAUTH)}


def many_sessions_status(n_sessions=8, n_devices=64):
    links = ("usb", "wifi", "relay")
    return status(
        sessions=[session(1000 + k, f"Tablet {k}", links[k % 3], "Extend" if k % 2 else "Mirror",
                          audio=k % 4 == 0, transfer="Receiving photo.jpg 42%" if k == 2 else "")
                  for k in range(n_sessions)],
        pairedDevices=[paired(f"{i * 0x9E3779B1 & 0xFFFFFFFFFFFFFFFF:016x}", f"Device {i}",
                              1700000000 + i * 86400, 0 if i % 7 == 0 else 1710000000 + i, i < 3)
                       for i in range(n_devices)])
