"""A small W3C WebDriver client over HTTP (standard library only), enough to
drive headless Chromium through chromedriver in the browser tests.

Every request has a time limit; every WebDriver error becomes a
WebDriverError that carries the error code ("no such alert", "unexpected
alert open", ...) and the driver's message.
"""

import base64
import json
import time
import urllib.error
import urllib.request

# The key chromedriver gives element references in its answers.
ELEMENT_KEY = "element-6066-11e4-a52e-4f735466cecf"


class WebDriverError(Exception):
    def __init__(self, error, message, command):
        super().__init__(f"{command}: {error}: {message}")
        self.error = error
        self.message = message


class Session:
    """One browser session. Use as a context manager: the session (and with
    it the browser) ends when the block is left, whatever happened."""

    def __init__(self, driver_url, capabilities, request_timeout=30):
        self.driver_url = driver_url.rstrip("/")
        self.request_timeout = request_timeout
        answer = self._call("POST", "/session", {"capabilities": capabilities})
        self.id = answer["sessionId"]
        self.capabilities = answer.get("capabilities", {})

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.quit()
        return False

    def quit(self):
        if self.id is None:
            return
        try:
            self._call("DELETE", f"/session/{self.id}")
        except (WebDriverError, OSError):
            pass
        self.id = None

    # ------------------------------------------------------------ transport

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode("utf-8")
        request = urllib.request.Request(self.driver_url + path, data=data, method=method)
        if data is not None:
            request.add_header("Content-Type", "application/json; charset=utf-8")
        command = f"{method} {path}"
        try:
            with urllib.request.urlopen(request, timeout=self.request_timeout) as response:
                payload = response.read()
        except urllib.error.HTTPError as error:
            payload = error.read()
            try:
                value = json.loads(payload.decode("utf-8"))["value"]
                raise WebDriverError(value.get("error", "unknown error"),
                                     value.get("message", ""), command) from None
            except (ValueError, KeyError, TypeError, AttributeError):
                raise WebDriverError("http error", f"status {error.code}: {payload[:300]!r}",
                                     command) from None
        return json.loads(payload.decode("utf-8"))["value"]

    def cmd(self, method, path, body=None):
        return self._call(method, f"/session/{self.id}{path}", body)

    # ------------------------------------------------------------- commands

    def set_timeouts(self, page_load_ms, script_ms, implicit_ms=0):
        self.cmd("POST", "/timeouts",
                 {"pageLoad": page_load_ms, "script": script_ms, "implicit": implicit_ms})

    def get(self, url):
        self.cmd("POST", "/url", {"url": url})

    def url(self):
        return self.cmd("GET", "/url")

    def title(self):
        return self.cmd("GET", "/title")

    def execute(self, script, *args):
        return self.cmd("POST", "/execute/sync", {"script": script, "args": list(args)})

    def find(self, css):
        """The element for a CSS selector; WebDriverError "no such element"
        when there is none."""
        found = self.cmd("POST", "/element", {"using": "css selector", "value": css})
        return found[ELEMENT_KEY]

    def clear(self, element):
        self.cmd("POST", f"/element/{element}/clear", {})

    def send_keys(self, element, text):
        self.cmd("POST", f"/element/{element}/value", {"text": text})

    def click(self, element):
        self.cmd("POST", f"/element/{element}/click", {})

    def property(self, element, name):
        return self.cmd("GET", f"/element/{element}/property/{name}")

    def alert_text(self):
        """The text of the open JavaScript dialog, or None when there is none."""
        try:
            return self.cmd("GET", "/alert/text")
        except WebDriverError as error:
            if error.error == "no such alert":
                return None
            raise

    def cookies(self):
        """Every cookie the browser holds for the current page's site,
        HttpOnly ones included."""
        return self.cmd("GET", "/cookie")

    def screenshot_png(self):
        return base64.b64decode(self.cmd("GET", "/screenshot"))


def wait_for_driver(driver_url, seconds):
    """Until chromedriver's /status says ready, at most `seconds`."""
    deadline = time.monotonic() + seconds
    last = "no answer"
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(driver_url.rstrip("/") + "/status", timeout=2) as response:
                if json.loads(response.read().decode("utf-8"))["value"].get("ready"):
                    return
                last = "not ready"
        except (OSError, ValueError, KeyError) as error:
            last = str(error)
        time.sleep(0.1)
    raise RuntimeError(f"chromedriver at {driver_url} is not ready after {seconds} s ({last})")
