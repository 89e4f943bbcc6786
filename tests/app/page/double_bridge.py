"""Joins the WebView2 double (loaded by a copy of tavro.exe) with the page in Chromium: the
host's "nav" loads the page, the page's posts reach the host as {"msg": ...}, the host's
posts are delivered into the page, and a drop reaches the host as {"drop": ...} with the
paths of files the test made (the page's FileList carries names only)."""
import time


class DoubleBridge:
    def __init__(self, driver, page, files_by_name=None):
        self.driver = driver
        self.page = page
        self.files_by_name = dict(files_by_name or {})
        self.host_posts = []   # every message the host posted, in order
        self.navigations = 0

    def pump(self, seconds=0.05):
        """Moves what arrived on either side for about `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            line = self.driver.poll(0.0)
            while line is not None:
                self._from_host(line)
                line = self.driver.poll(0.0)
            self._from_page()
            left = deadline - time.monotonic()
            if left <= 0:
                return
            self.page.browser.pump(min(left, 0.02))

    def run_until(self, condition, what, timeout=30.0):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise TimeoutError("timed out waiting for " + what)
            self.pump(0.05)

    def _from_host(self, line):
        if "nav" in line:
            self.navigations += 1
            self.page.load_html(line["nav"], wait_ready=False)
        elif "post" in line:
            message = line["post"]
            self.host_posts.append(message)
            self.page.deliver(message)

    def _from_page(self):
        while self.page.posts:
            post = self.page.posts.pop(0)
            message = post["msg"]
            if "files" in post:
                paths = [self.files_by_name[name] for name in post["files"] if name in self.files_by_name]
                self.driver.send({"drop": {"id": message.get("id", 0), "paths": paths, "nonFile": 0}})
            else:
                self.driver.send({"msg": message})

    def last_post(self, kind):
        for message in reversed(self.host_posts):
            if message.get("type") == kind:
                return message
        return None
