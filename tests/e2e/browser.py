"""Headless Chromium driven over its DevTools protocol on a pair of pipes
(--remote-debugging-pipe: commands on the browser's fd 3, answers and events on its fd 4, each
message JSON ended by a NUL byte). Python's standard library only; no port of its own."""

import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

# Flags that keep the browser off the network and quiet: no first-run pages, no background
# fetches, no component or sync traffic, and every host name but the loopback one unresolvable.
QUIET_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-default-apps", "--disable-extensions", "--metrics-recording-only",
    "--disable-breakpad", "--disable-domain-reliability",
    "--disable-client-side-phishing-detection",
    "--safebrowsing-disable-auto-update", "--password-store=basic", "--use-mock-keychain",
    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
]


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def _above(fd, lowest):
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, lowest)
    os.close(fd)
    return moved


class BrowserError(AssertionError):
    pass


class HeadlessChromium:
    def __init__(self, executable, timeout=60, flags=()):
        """flags are added to the quiet ones (a certificate to trust, say)."""
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="isapi-host-chromium-")
        self.log_path = os.path.join(self.profile, "chromium.log")
        commands_read, self._commands = os.pipe()
        self._events, events_write = os.pipe()
        # The child's ends move above the descriptors they are to become, so no redirection
        # below overwrites the other one.
        commands_read, events_write = (_above(commands_read, 10), _above(events_write, 10))
        self.log = open(self.log_path, "wb")
        # bash puts the two pipe ends at the descriptors the browser expects (dash takes
        # one-digit descriptors only).
        script = 'exec "$0" "$@" 3<&%d 4>&%d %d<&- %d>&-' % (
            commands_read, events_write, commands_read, events_write)
        self.process = subprocess.Popen(
            ["bash", "-c", script, executable] + QUIET_FLAGS + list(flags) +
            ["--user-data-dir=" + self.profile, "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            pass_fds=(commands_read, events_write))
        os.close(commands_read)
        os.close(events_write)
        self.next_id = 0
        self.messages = []  # answers and events not yet taken, in arrival order
        self.ended = False
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        while True:
            data = os.read(self._events, 65536)
            if not data:
                break
            pending += data
            *complete, pending = pending.split(b"\0")
            with self.changed:
                self.messages.extend(json.loads(m) for m in complete if m)
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def _take(self, matches, what):
        deadline = time.monotonic() + self.timeout
        with self.changed:
            while True:
                for index, message in enumerate(self.messages):
                    if matches(message):
                        return self.messages.pop(index)
                if self.ended:
                    raise BrowserError("the browser ended while waiting for %s; its log: %s" % (
                        what, self.log_text()))
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise BrowserError("no %s from the browser; its log: %s" % (
                        what, self.log_text()))
                self.changed.wait(remaining)

    def send(self, method, params=None, session=None):
        """Sends a command and waits for its answer; answers the result."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session is not None:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        answer = self._take(lambda m, i=self.next_id: m.get("id") == i, "answer to " + method)
        if "error" in answer:
            raise BrowserError("%s failed: %s" % (method, answer["error"]))
        return answer.get("result", {})

    def wait_event(self, method, session=None):
        """Waits for the next event of that name (of that session); answers its parameters."""
        return self._take(
            lambda m: m.get("method") == method and m.get("sessionId") == session,
            "event " + method)["params"]

    def drop_events(self, method, session=None):
        with self.changed:
            self.messages = [m for m in self.messages
                             if not (m.get("method") == method and m.get("sessionId") == session)]

    def open_page(self):
        """A new tab, attached: answers its session id, with page events enabled."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget",
                            {"targetId": target, "flatten": True})["sessionId"]
        self.send("Page.enable", session=session)
        self.send("Runtime.enable", session=session)
        return session

    def evaluate(self, session, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                           session=session)
        if "exceptionDetails" in result:
            raise BrowserError("%s threw: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def click(self, session, x, y):
        """A left click at page coordinates, as a mouse would make it."""
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent",
                      {"type": kind, "x": x, "y": y, "button": "left", "clickCount": 1},
                      session=session)

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")[-4000:]
        except OSError:
            return ""

    def close(self):
        try:
            if self.process.poll() is None:
                try:
                    os.write(self._commands, json.dumps(
                        {"id": 0, "method": "Browser.close", "params": {}}).encode() + b"\0")
                except OSError:
                    pass
                try:
                    self.process.wait(30)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
        finally:
            os.close(self._commands)
            self.reader.join(30)
            os.close(self._events)
            self.log.close()
            shutil.rmtree(self.profile, ignore_errors=True)
