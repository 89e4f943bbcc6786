"""The window's page in headless Chromium, loaded as the host loads it (the backdrop
placeholder replaced, a data: document), with a bridge that plays the WebView2 web-message
channel: the page's posts are recorded, host messages are delivered as the runtime
delivers PostWebMessageAsJson (event.data is the object)."""
import base64
import collections
import json
import os
import pathlib
import time

from cdp import CdpError, Chromium

PLACEHOLDER = b"{{BACKDROP}}"
BINDING = "__tavroBridgeSend"

# Installed before the page's own script on every new document.
BRIDGE = r"""
(() => {
  const send = window.%(binding)s;
  const listeners = [];
  const record = (msg, files) => send(JSON.stringify(files === undefined ? { msg } : { msg, files }));
  const webview = {
    postMessage(message) { record(JSON.parse(JSON.stringify(message))); },
    postMessageWithAdditionalObjects(message, objects) {
      record(JSON.parse(JSON.stringify(message)),
             Array.from(objects || [], (o) => (o instanceof File ? o.name : null)));
    },
    addEventListener(type, listener) { if (type === 'message') listeners.push(listener); },
    removeEventListener(type, listener) {
      const i = listeners.indexOf(listener);
      if (type === 'message' && i >= 0) listeners.splice(i, 1);
    },
  };
  window.chrome = window.chrome || {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, configurable: false });
  Object.defineProperty(window, '__tavroDeliver', {
    value: (json) => {
      const data = JSON.parse(json);
      for (const listener of listeners.slice()) listener(new MessageEvent('message', { data }));
    },
  });
  window.__tavroTrap = 0;
})();
""" % {"binding": BINDING}


def page_url(page_bytes, backdrop):
    html = page_bytes.replace(PLACEHOLDER, backdrop.encode(), 1)
    return "data:text/html;charset=utf-8;base64," + base64.b64encode(html).decode()


class PageError(AssertionError):
    pass


class Page:
    def __init__(self, page_path, artifacts=None):
        self.page_bytes = pathlib.Path(page_path).read_bytes()
        self.artifacts = pathlib.Path(artifacts) if artifacts else None
        if self.artifacts:
            self.artifacts.mkdir(parents=True, exist_ok=True)
        self.browser = Chromium()
        self.browser.on_event = self._on_event
        self.posts = []
        self.dialogs = []           # (type, message, answer) of every dialog the page opened
        self.dialog_answers = collections.deque()
        self.requests = []          # every request of the run (Network.requestWillBeSent)
        self.navigations = []       # every main-frame navigation
        self.ready_at = None
        targets = self.browser.call("Target.getTargets")["targetInfos"]
        page_target = next(t for t in targets if t["type"] == "page")
        self.session = self.browser.call("Target.attachToTarget",
                                         {"targetId": page_target["targetId"], "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Network"):
            self.call(domain + ".enable")
        self.call("Runtime.addBinding", {"name": BINDING})
        self.call("Page.addScriptToEvaluateOnNewDocument", {"source": BRIDGE})

    def close(self):
        self.browser.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, method, params=None, timeout=30.0):
        return self.browser.call(method, params, self.session, timeout)

    def _on_event(self, event):
        method = event.get("method")
        params = event.get("params", {})
        if method == "Runtime.bindingCalled" and params.get("name") == BINDING:
            post = json.loads(params["payload"])
            post["at"] = time.monotonic()
            self.posts.append(post)
            if post["msg"].get("cmd") == "ready" and self.ready_at is None:
                self.ready_at = post["at"]
        elif method == "Page.javascriptDialogOpening":
            answer = self.dialog_answers.popleft() if self.dialog_answers else None
            self.dialogs.append((params.get("type"), params.get("message"), answer))
            self.browser.send("Page.handleJavaScriptDialog", {"accept": bool(answer)}, self.session)
        elif method == "Network.requestWillBeSent":
            self.requests.append(params["request"]["url"])
        elif method == "Page.frameNavigated" and "parentId" not in params["frame"]:
            self.navigations.append(params["frame"]["url"])

    # ---- loading ----
    def load(self, backdrop="solid", dark=False, width=440, height=640, scale=1.0, transparent=False):
        """Loads the page and waits for its "ready"; returns ms from navigation to "ready"."""
        return self.load_url(page_url(self.page_bytes, backdrop), dark, width, height, scale, transparent)

    def load_html(self, html, wait_ready=True, **view):
        """Loads a document as the host hands it over (placeholder already replaced)."""
        url = "data:text/html;charset=utf-8;base64," + base64.b64encode(html.encode("utf-8")).decode()
        return self.load_url(url, wait_ready=wait_ready, **view)

    def load_url(self, url, dark=False, width=440, height=640, scale=1.0, transparent=False, wait_ready=True):
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": False})
        self.call("Emulation.setEmulatedMedia",
                  {"features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
        if transparent:
            self.call("Emulation.setDefaultBackgroundColorOverride", {"color": {"r": 0, "g": 0, "b": 0, "a": 0}})
        else:
            self.call("Emulation.setDefaultBackgroundColorOverride", {})
        self.posts.clear()
        self.navigations.clear()
        self.ready_at = None
        self.url = url
        started = time.monotonic()
        self.call("Page.navigate", {"url": self.url})
        if not wait_ready:
            return None
        self.wait(lambda: self.ready_at is not None, "the page's ready")
        return (self.ready_at - started) * 1000.0

    def wait(self, condition, what, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not condition():
            left = deadline - time.monotonic()
            if left <= 0:
                raise PageError("timed out waiting for " + what)
            self.browser.pump(min(left, 0.05))

    def settle(self, seconds=0.05):
        """Lets queued events arrive (posts are delivered asynchronously)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.browser.pump(deadline - time.monotonic())
        # A round trip through the page orders us after everything it sent before.
        self.js("0")
        self.browser.pump(0.01)

    # ---- messages ----
    def deliver(self, message):
        text = message if isinstance(message, str) else json.dumps(message, ensure_ascii=False,
                                                                    separators=(",", ":"))
        self.js("__tavroDeliver(%s)" % json.dumps(text))

    def take_posts(self):
        self.settle()
        posts = [p for p in self.posts]
        self.posts.clear()
        return posts

    def take_messages(self):
        return [p["msg"] for p in self.take_posts()]

    # ---- the document ----
    def js(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise PageError("script failed: %s (%s)" % (expression, result["exceptionDetails"].get("text")))
        return result["result"].get("value")

    def el(self, selector, expression):
        """Evaluates `expression` with `e` the element of `selector` (missing: an error)."""
        return self.js("(() => { const e = document.querySelector(%s); if (!e) throw new Error(%s); return %s; })()"
                       % (json.dumps(selector), json.dumps("no element " + selector), expression))

    def text(self, selector):
        return self.el(selector, "e.textContent")

    def visible(self, selector):
        return self.js("(() => { const e = document.querySelector(%s); return !!e && e.checkVisibility(); })()"
                       % json.dumps(selector))

    def texts(self, selector):
        return self.js("Array.from(document.querySelectorAll(%s), (e) => e.textContent)" % json.dumps(selector))

    def rect(self, selector):
        return self.el(selector, "(e.scrollIntoView({block: 'center'}), (() => { const r = e.getBoundingClientRect();"
                                 " return {x: r.x, y: r.y, w: r.width, h: r.height,"
                                 " px: r.x + window.scrollX, py: r.y + window.scrollY}; })())")

    # ---- input ----
    def click(self, selector):
        r = self.rect(selector)
        x, y = r["x"] + r["w"] / 2, r["y"] + r["h"] / 2
        self.call("Input.dispatchMouseEvent", {"type": "mouseMoved", "x": x, "y": y})
        self.call("Input.dispatchMouseEvent", {"type": "mousePressed", "x": x, "y": y, "button": "left",
                                               "clickCount": 1})
        self.call("Input.dispatchMouseEvent", {"type": "mouseReleased", "x": x, "y": y, "button": "left",
                                               "clickCount": 1})

    def type(self, text):
        self.call("Input.insertText", {"text": text})

    def key(self, name):
        codes = {"Enter": (13, "\r"), "Tab": (9, ""), "Escape": (27, "")}
        code, text = codes[name]
        base = {"key": name, "code": name, "windowsVirtualKeyCode": code}
        self.call("Input.dispatchKeyEvent", dict(base, type="keyDown", text=text) if text else
                  dict(base, type="rawKeyDown"))
        self.call("Input.dispatchKeyEvent", dict(base, type="keyUp"))

    def select(self, selector, value):
        """Chooses an option as the user does: the value changes, then "change" fires."""
        self.el(selector, "(e.value = %s, e.dispatchEvent(new Event('change', {bubbles: true})), e.value)"
                % json.dumps(value))

    def answer_dialogs(self, *answers):
        self.dialog_answers.extend(answers)

    def drag_files(self, selector, names, drop=True):
        """Drags files with `names` over the element's centre (and drops them); returns the
        overlay text seen while dragging. The page's FileList carries names only."""
        r = self.rect(selector)
        x, y = r["x"] + r["w"] / 2, r["y"] + r["h"] / 2
        return self.js("""(() => {
          const dt = new DataTransfer();
          for (const name of %s) dt.items.add(new File(['x'], name));
          const target = document.elementFromPoint(%f, %f);
          const fire = (type) => target.dispatchEvent(new DragEvent(type, {
            bubbles: true, cancelable: true, clientX: %f, clientY: %f, dataTransfer: dt }));
          fire('dragenter');
          fire('dragover');
          const overlay = document.getElementById('overlay');
          const seen = overlay.hidden ? null : overlay.textContent;
          if (%s) fire('drop'); else fire('dragleave');
          return seen;
        })()""" % (json.dumps(names), x, y, x, y, "true" if drop else "false"))

    # ---- pictures ----
    def screenshot(self, name, clip=None):
        params = {"format": "png"}
        if clip:
            params["clip"] = dict(clip, scale=1)
        data = base64.b64decode(self.call("Page.captureScreenshot", params)["data"])
        if self.artifacts:
            (self.artifacts / (name + ".png")).write_bytes(data)
        return data


def default_paths():
    here = pathlib.Path(__file__).resolve().parent
    top = here.parents[2]
    return top / "host" / "app" / "page.html", None
