#!/usr/bin/env python3
"""The shopper's path in a real browser: headless Chromium, driven through
chromedriver, fills an order page served by lighttpd, posts it to the
payment module and follows the payment page to the payment sandbox.

    browser_test.py --driver URL --base URL --profile DIR --access-log FILE
                    [--screenshot FILE]

The web server (deploy/lighttpd with the example options file, the sandbox
at BASE/cgi-bin/korven-sandbox.cgi) and chromedriver are started by
tests/browser/run.sh; this script opens one browser session and runs the
scenarios in it. Exit status 1 when any check fails.

What is checked, in every scenario:
  - the values typed into the order page (and, on the example order page,
    the amount and order reference it holds) reach the sandbox byte for
    byte, both those the module packs into KWT_DATA (decoded by the sandbox)
    and those it forwards as hidden fields;
  - no JavaScript dialog ever opens and no value's markup runs: the hostile
    values set document.title to "PWNED" or load an image under /pwned-
    when they run, and neither may ever happen;
  - mode E submits the payment page by itself, mode A (the module installed
    a second time, as /cgi-bin/mode-a.cgi, with KWT_OUTPUT=A in its options
    file) waits for the button, a page with KWT_WAIT submits itself after
    its delay; a KWT_OUTPUT in the form changes neither (the web server
    sets REVOZI_LOCK=1);
  - the sandbox's accept, refuse and cancel buttons take the shopper to the
    merchant's page for each, with the return variables of KWT_RETOUR
    holding the order's values;
  - an attacker's page (www/attack.html) that posts hostile requests to the
    module runs no script and sets no cookie, and the shopper never lands on
    an error URL of the attacker's: only on the module's answer, the sandbox
    or the merchant's own error page (the options file's KWT_ERREUR);
  - the example shops of examples/ (installed by run.sh, orders in
    --orders): the shopper orders, pays in the sandbox and lands on the
    shop's paid page, the order shipped once; then the signed-return checks
    of examples/test_shops.py with every return page opened in the browser:
    unsigned, altered, another order's or another key's signature, the
    signature moved, a forged notification: 403 and no order changed; the
    return racing the notification ships once; a changed amount stays
    mismatch.
"""

import argparse
import os
import subprocess
import sys
import time
import traceback

from webdriver import Session, WebDriverError, wait_for_driver

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples"))
import test_shops  # noqa: E402  (the example shops' checks)

# The payment fields of KWT_DATA in record order, and the fields the module
# forwards as hidden fields, in the order it writes them.
DATA_FIELDS = ["KWT_TOTAL", "KWT_DEVISE", "KWT_SITE", "KWT_RANG", "KWT_PORTEUR", "KWT_CMD",
               "KWT_REPONDRE_A", "KWT_RETOUR", "KWT_PAIEMENT", "KWT_CODEFAMILLE",
               "KWT_IDENTIFIANT", "KWT_2MONT1", "KWT_DATE1", "KWT_2MONT2", "KWT_DATE2",
               "KWT_2MONT3", "KWT_DATE3", "KWT_DIFF"]
FORWARDED_FIELDS = ["KWT_LANGUE", "KWT_ANNULE", "KWT_EFFECTUE", "KWT_REFUSE", "KWT_PAIEMENT",
                    "KWT_CODEFAMILLE", "KWT_SOURCE", "KWT_VERSION", "KWT_TOTAL_MAJORE",
                    "KWT_RUF1", "KWT_RUF2", "KWT_DEMO", "KWT_TYPEPAIEMENT", "KWT_TYPECARTE",
                    "KWT_TRAITEMENT", "KWT_BANQUE", "KWT_AUTOSEULE", "KWT_ENTITE"]
VERSION_TAG = "221-OS INCONNU"
PWNED = "PWNED"

MODULE_PATH = "/cgi-bin/revozi.cgi"
# The same module with KWT_OUTPUT=A in its options file (tests/browser/run.sh).
MODE_A_MODULE_PATH = "/cgi-bin/mode-a.cgi"
# The merchant's error page, the options file's KWT_ERREUR (deploy/kwtinfos-test-host.txt).
ERROR_PAGE = "/erreur.html"
SANDBOX_PATH = "/cgi-bin/korven-sandbox.cgi"
# The example shops (tests/browser/run.sh installs them).
SHOPS = {"python": "/cgi-bin/shop.cgi", "php": "/cgi-bin/shop-php.cgi"}

# Bounds of the waits (seconds).
NAVIGATION_LIMIT = 10.0   # a self-submitting page reaches the sandbox within this
STAY_TIME = 2.0           # a page in mode A must still be there after this
WAIT_MS = 1500            # the KWT_WAIT of the delayed pages
WAIT_EARLIEST = 1.0       # ...which must not submit before this
POLL = 0.05

# ------------------------------------------------------------ hostile values
# Quotes of both kinds, ampersands, angle brackets, '$', non-ASCII letters,
# entity-like text, markup that would set the title or load an image under
# /pwned- if it ran, and attempts to leave the single-quoted attributes of
# the payment page's hidden fields.
SCRIPT_ALERT = "<script>alert(1)</script>"
SCRIPT_TITLE = "<script>document.title='PWNED'</script>"


def img(tag):
    return f"<img src=/pwned-{tag}.png onerror=document.title='PWNED'>"


# The example order page holds the amount and the order reference; the
# shopper types only his e-mail address.
EXAMPLE_ORDER = {
    "KWT_PORTEUR": "o'brien+\"x\"<y>&$z@ex\u00e4mple.fr",
}

HOSTILE_ORDER = {
    "KWT_TOTAL": "0999",
    "KWT_CMD": ("Commande n\u00b042 \"caf\u00e9\" & <cr\u00e8me> 'br\u00fbl\u00e9e' $5 $HOME $PATH "
                + SCRIPT_ALERT + " " + SCRIPT_TITLE + " " + img("cmd") + " \u20ac \u65e5\u672c"),
    "KWT_PORTEUR": "\u00e9l\u00e8ve<'\">&$@\u00e9cole.fr",
    "KWT_RETOUR": "M:M;<R>&\"A\"'\u00fc",
    "KWT_REPONDRE_A": "http://127.0.0.1/reply?a=1&b=<2>&c=\"\u00e9\"",
    "KWT_LANGUE": "<\u00e9",  # three bytes in UTF-8
    "KWT_ANNULE": "http://127.0.0.1/annule.html?x='1'&y=\"2\"&z=<3>",
    "KWT_PAIEMENT": "CB&'\"<>\u00a0",
    "KWT_CODEFAMILLE": "fam'>" + img("attr1"),
    "KWT_TOTAL_MAJORE": "1\u00a0600,00 \u20ac",
    "KWT_RUF1": "r\u00e9serv\u00e9 $HOME $(id) `id` %41 a+b ${x}",
    "KWT_RUF2": SCRIPT_ALERT,
    "KWT_DEMO": SCRIPT_TITLE,
    "KWT_TYPECARTE": "' autofocus onfocus='document.title=\"PWNED\"' x='",
    "KWT_ENTITE": "&amp; &lt;b&gt; &#39; &#x27; &quot;",
    "KWT_2MONT1": "500",
    "KWT_DATE1": "01/02/2025",
    "KWT_DIFF": "\"><" + img("diff"),
    "KWT_TXT": "<b>Merci</b> & \"bienvenue\" " + SCRIPT_TITLE + img("txt"),
    "KWT_BKGD": "red\" onload=\"document.title='PWNED'",
    # Not a number: the module does not use it, the page submits at once (if
    # it were written into the onload script, the dialog would open).
    "KWT_WAIT": "0);alert('KWT_WAIT');(0",
    # Under the lock a form does not choose the output mode: the page still
    # submits itself (mode A would wait for its button).
    "KWT_OUTPUT": "A",
}

MODE_A_ORDER = dict(HOSTILE_ORDER)
MODE_A_ORDER.update({
    # Posted to the module whose options file says A: the form's E is not used.
    "KWT_OUTPUT": "E",
    "KWT_WAIT": "",
    "KWT_TXT": "Paiement de 42,00 \u20ac : <i>merci</i> & \"\u00e0 bient\u00f4t\" " + SCRIPT_TITLE
               + SCRIPT_ALERT + img("txt"),
    "KWT_BKGD": "#ffeedd\" onload=\"alert(1)\" x=\"",
    "KWT_BOUTON": "Payer 'maintenant' & \"vite\" <" + img("button") + ">",
})


# ------------------------------------------------------------------ results

class Results:
    def __init__(self):
        self.passes = 0
        self.failures = 0
        self.scenario = ""

    def ok(self, what):
        self.passes += 1
        print(f"ok - [{self.scenario}] {what}", flush=True)

    def fail(self, what):
        self.failures += 1
        print(f"FAIL - [{self.scenario}] {what}", file=sys.stderr, flush=True)

    def check(self, condition, what, detail=""):
        if condition:
            self.ok(what)
        else:
            self.fail(what + (f": {detail}" if detail else ""))
        return condition


class Abort(Exception):
    """Ends a scenario after a failure that makes the rest meaningless."""


# ------------------------------------------------------------------ helpers

def _single_byte_table(codec):
    """Unicode -> byte for a single-byte character set as browsers decode it:
    a byte the codec leaves undefined stands for the code point of the same
    number (so every byte round-trips, as in a browser)."""
    table = {}
    for b in range(256):
        try:
            ch = bytes([b]).decode(codec)
        except UnicodeDecodeError:
            ch = chr(b)
        table[ch] = b
    return table


WINDOWS_1252 = _single_byte_table("cp1252")


def page_bytes(text, charset):
    """The bytes of the page that the browser decoded into `text`."""
    name = charset.lower()
    if name == "utf-8":
        return text.encode("utf-8")
    if name in ("windows-1252", "iso-8859-1", "us-ascii"):
        try:
            return bytes(WINDOWS_1252[ch] for ch in text)
        except KeyError as error:
            raise ValueError(f"{error} not in {charset}") from None
    return text.encode(name)


def show(data):
    """Bytes for a message: printable, escapes for the rest."""
    return repr(data)[1:] if isinstance(data, bytes) else repr(data)


class Browser:
    def __init__(self, session, base, results, access_log):
        self.s = session
        self.base = base.rstrip("/")
        self.r = results
        self.access_log = access_log
        self.titles = set()

    # Every step: no dialog open, no title set by a hostile value.
    def guard(self, where):
        text = self.s.alert_text()
        if text is not None:
            self.r.fail(f"{where}: a JavaScript dialog is open (text {text!r})")
            self.dismiss_dialogs()
            raise Abort()
        title = self.s.title()
        self.titles.add(title)
        if title == PWNED:
            self.r.fail(f"{where}: a value's markup ran (the title is {PWNED})")
            raise Abort()

    def dismiss_dialogs(self):
        """Closes open dialogs (at most a few), so the next scenario can run."""
        for _ in range(5):
            if self.s.alert_text() is None:
                return
            try:
                self.s.cmd("POST", "/alert/dismiss", {})
            except WebDriverError:
                pass

    def path(self):
        url = self.s.url()
        return url[len(self.base):] if url.startswith(self.base + "/") else url

    def wait_for_path(self, wanted, limit, where, beyond=None):
        """Polls until the page is at `wanted`; the seconds it took, or
        Abort after `limit`, or at once when the page has gone on to
        `beyond` instead."""
        start = time.monotonic()
        while True:
            self.guard(where)
            path = self.path()
            if path == wanted:
                return time.monotonic() - start
            if beyond is not None and path == beyond:
                self.r.fail(f"{where}: the browser went on to {beyond} by itself, without a stop at {wanted}")
                raise Abort()
            if time.monotonic() - start > limit:
                self.r.fail(f"{where}: still at {self.path()!r} after {limit:.0f} s, expected {wanted}")
                raise Abort()
            time.sleep(POLL)

    def open_order(self, page):
        self.s.get(self.base + page)
        self.guard(f"the order page {page}")
        charset = self.s.execute("return document.characterSet;")
        if not self.r.check(charset == "UTF-8", f"the order page {page} is read as UTF-8",
                            f"it is read as {charset}"):
            raise Abort()

    def post_order_to(self, module):
        """Aims the order form at another installation of the module, as a
        merchant's order page for that installation would be."""
        action = self.s.execute("const form = document.forms.commande;"
                                "form.action = arguments[0]; return form.action;", module)
        if not self.r.check(action == self.base + module, f"the order form posts to {module}", repr(action)):
            raise Abort()

    def fill(self, values):
        """Types each value into the order form's field of that name; checks
        that the field holds exactly what was typed."""
        for name, value in values.items():
            element = self.s.find(f'form[name="commande"] [name="{name}"]')
            self.s.clear(element)
            if value:
                self.s.send_keys(element, value)
            got = self.s.property(element, "value")
            if got != value:
                self.r.fail(f"typing into {name}: the field holds {got!r}, typed {value!r}")
                raise Abort()
        self.r.ok(f"typed {len(values)} values into the order form")

    def order_fields(self):
        """The order form's fields as the browser will post them."""
        return self.s.execute(
            "return Array.from(document.forms.commande.elements)"
            ".filter(e => e.name && !e.disabled && e.type !== 'submit')"
            ".map(e => [e.name, e.value]);")

    def submit_order(self):
        fields = self.order_fields()
        button = self.s.find('form[name="commande"] input[type="submit"]')
        self.s.click(button)
        return fields

    # --------------------------------------------------- the payment page

    def payment_page_state(self):
        return self.s.execute("""
            const form = document.forms.KORVEN;
            const center = document.querySelector('center');
            return {
              charset: document.characterSet,
              title: document.title,
              bodyAttributes: Array.from(document.body.attributes).map(a => [a.name, a.value]),
              active: document.querySelectorAll('script, img, iframe, svg, object, embed').length,
              center: center ? Array.from(center.childNodes)
                                 .filter(n => n.nodeType === Node.TEXT_NODE)
                                 .map(n => n.textContent).join('') : null,
              centerElements: center ? Array.from(center.children).map(e => e.tagName) : [],
              form: form ? Array.from(form.elements).map(e => [e.type, e.name, e.value]) : null,
              action: form ? form.action : null,
            };""")

    def check_payment_page(self, order, fields, label):
        """Mode A: the page as the shopper sees it before the button."""
        state = self.payment_page_state()
        charset = state["charset"]
        print(f"# the payment page is read as {charset}", flush=True)
        r = self.r
        r.check(state["title"] == "KORVEN", "the payment page's title is KORVEN", repr(state["title"]))
        r.check(state["active"] == 0, "no value became a script, image or frame on the payment page",
                f"{state['active']} such elements")
        r.check(state["action"] == self.base + SANDBOX_PATH, "the form is aimed at the sandbox",
                repr(state["action"]))
        # Body attributes: the background (an image when the value has a full
        # stop, else a colour) exactly as given; no handler.
        attributes = dict(state["bodyAttributes"])
        background = "background" if "." in order["KWT_BKGD"] else "bgcolor"
        r.check(set(attributes) == {background}, f"the body tag carries {background} only",
                repr(state["bodyAttributes"]))
        if background in attributes:
            r.check(page_bytes(attributes[background], charset) == order["KWT_BKGD"].encode("utf-8"),
                    f"{background} is the value typed, byte for byte",
                    show(page_bytes(attributes[background], charset)))
        # The text: shown as text, markup and all.
        r.check(state["centerElements"][:2] == ["BR", "FORM"],
                "the waiting text adds no element of its own", repr(state["centerElements"]))
        shown = page_bytes(state["center"] or "", charset)
        r.check(order["KWT_TXT"].encode("utf-8") in shown,
                "KWT_TXT is shown as the text typed, byte for byte", show(shown))
        # The hidden fields and the button, as the browser parsed them.
        form = state["form"] or []
        got = [(t, n, page_bytes(v, charset)) for t, n, v in form if n != "KWT_DATA"]
        want = [("hidden", name, value.encode("utf-8")) for name, value in expected_forwarded(fields)]
        want.append(("submit", "", label.encode("utf-8")))
        r.check(bool(form) and form[0][:2] == ["hidden", "KWT_DATA"] and form[0][2].startswith("v401"),
                "the first field is KWT_DATA", repr(form[:1]))
        if got != want:
            r.fail("the hidden fields and the button hold exactly the values typed:\n"
                   + "\n".join(f"   expected {w!r}\n   got      {g!r}"
                               for w, g in zip_longest(want, got) if w != g))
        else:
            r.ok("the hidden fields and the button hold exactly the values typed")

    # ------------------------------------------------------- the sandbox

    def check_sandbox(self, fields, module=MODULE_PATH):
        """The sandbox page: a valid block with the typed payment fields, the
        forwarded fields, reached from the payment page of `module`."""
        state = self.s.execute("""
            const rows = [];
            for (let n = 1; ; n++) {
              const name = document.getElementById('field-' + n + '-name');
              if (!name) break;
              rows.push([name.textContent,
                         document.getElementById('field-' + n + '-value').textContent,
                         name.parentElement.className]);
            }
            const verdict = document.getElementById('verdict');
            const message = document.getElementById('message');
            return {
              charset: document.characterSet,
              title: document.title,
              referrer: document.referrer,
              verdict: verdict ? verdict.className : null,
              message: message ? message.textContent : null,
              data: Array.from(document.querySelectorAll('td[id^="data-"]'))
                      .map(td => [td.id.slice(5), td.textContent]),
              rows: rows,
              active: document.querySelectorAll('script, img, iframe, svg, object, embed').length,
            };""")
        r = self.r
        charset = state["charset"]
        # Neither page names a character set; the browser picks one, and the
        # comparisons take the bytes back through it.
        print(f"# the sandbox's page is read as {charset}", flush=True)
        r.check(state["title"] == "Payment sandbox", "the browser is on the sandbox's page",
                repr(state["title"]))
        r.check(state["referrer"] == self.base + module,
                "the sandbox was reached from the module's payment page", repr(state["referrer"]))
        if not r.check(state["verdict"] == "valid", "the sandbox finds KWT_DATA valid",
                       f"verdict {state['verdict']!r}: {state['message']!r}"):
            return
        got = [(n, page_bytes(v, charset)) for n, v in state["data"]]
        want = [(n, v.encode("utf-8")) for n, v in expected_data(fields)]
        compare(r, "the payment fields in KWT_DATA are the values typed, byte for byte", want, got)
        got = [(n, page_bytes(v, charset)) for n, v, _ in state["rows"]]
        want = [(n, v.encode("utf-8")) for n, v in expected_forwarded(fields)]
        compare(r, "the forwarded fields are the values typed, byte for byte", want, got)
        r.check(all(c == "forwarded" for _, _, c in state["rows"]),
                "the sandbox counts every field received as forwarded",
                repr([row for row in state["rows"] if row[2] != "forwarded"]))
        r.check(state["active"] == 0, "no value became a script, image or frame on the sandbox's page")

    def pwned_requests(self):
        try:
            with open(self.access_log, encoding="latin-1") as log:
                return [line.strip() for line in log if "/pwned-" in line]
        except OSError as error:
            self.r.fail(f"cannot read the web server's access log: {error}")
            return []


def zip_longest(a, b):
    n = max(len(a), len(b))
    return [(a[i] if i < len(a) else None, b[i] if i < len(b) else None) for i in range(n)]


def compare(r, what, want, got):
    if got == want:
        r.ok(what)
        return
    lines = [f"   expected {w!r}\n   got      {g!r}" for w, g in zip_longest(want, got) if w != g]
    r.fail(what + ":\n" + "\n".join(lines))


def first_values(fields):
    values = {}
    for name, value in fields:
        values.setdefault(name, value)
    return values


def expected_data(fields):
    values = first_values(fields)
    return [(name, values.get(name, "")) for name in DATA_FIELDS]


def expected_forwarded(fields):
    values = first_values(fields)
    values["KWT_SOURCE"] = values.get("KWT_SOURCE") or "HTML"
    values["KWT_VERSION"] = VERSION_TAG
    return [(name, values[name]) for name in FORWARDED_FIELDS if values.get(name)]


# ---------------------------------------------------------------- scenarios

def example_order_mode_e(b, screenshot):
    """The example order page of deploy/www as it is: the amount and the
    order reference are the page's own, shown as text and never offered for
    editing; the shopper types a hostile e-mail address. The payment page
    (mode E) submits itself."""
    b.open_order("/")
    page = b.s.execute("""
        const form = document.forms.commande;
        const field = n => form.elements[n] ? [form.elements[n].type, form.elements[n].value] : null;
        return {text: form.innerText, total: field('KWT_TOTAL'), cmd: field('KWT_CMD')};""")
    total, cmd = page["total"], page["cmd"]
    if not b.r.check(total and cmd and total[0] == "hidden" and cmd[0] == "hidden",
                     "the example order page offers no field for the amount or the order reference",
                     f"KWT_TOTAL {total!r}, KWT_CMD {cmd!r}"):
        raise Abort()
    cents = int(total[1]) if total[1].isdigit() else -1
    amount = f"{cents // 100},{cents % 100:02d}"
    b.r.check(cents >= 0 and cmd[1] in page["text"] and amount in page["text"],
              f"the example order page shows the order reference {cmd[1]} and the amount {amount}",
              repr(page["text"]))
    b.fill(EXAMPLE_ORDER)
    fields = b.submit_order()
    took = b.wait_for_path(SANDBOX_PATH, NAVIGATION_LIMIT, "after the order")
    b.r.ok(f"the payment page submitted itself, no click ({took:.2f} s after the order's page load)")
    b.guard("the sandbox's page")
    b.check_sandbox(fields)
    if screenshot:
        with open(screenshot, "wb") as out:
            out.write(b.s.screenshot_png())
        b.r.ok(f"screenshot of the sandbox's page in {screenshot}")


def every_field_mode_e(b, _):
    """Hostile values in every field, a KWT_WAIT that is not a number."""
    b.open_order("/checkout.html")
    b.fill(HOSTILE_ORDER)
    fields = b.submit_order()
    took = b.wait_for_path(SANDBOX_PATH, NAVIGATION_LIMIT, "after the order")
    # A KWT_WAIT that is not digits is not used: the page submits at once.
    b.r.check(took < WAIT_EARLIEST, "a KWT_WAIT that is not a number: submitted at once",
              f"{took:.2f} s")
    b.guard("the sandbox's page")
    b.check_sandbox(fields)


def mode_a_waits_for_button(b, _):
    """Mode A (the options file's): the page stays until the shopper clicks
    its button."""
    b.open_order("/checkout.html")
    b.post_order_to(MODE_A_MODULE_PATH)
    b.fill(MODE_A_ORDER)
    fields = b.submit_order()
    b.wait_for_path(MODE_A_MODULE_PATH, NAVIGATION_LIMIT, "after the order", beyond=SANDBOX_PATH)
    b.guard("the payment page")
    label = MODE_A_ORDER["KWT_BOUTON"].strip(" \t")
    b.check_payment_page(MODE_A_ORDER, fields, label)
    end = time.monotonic() + STAY_TIME
    while time.monotonic() < end:
        b.guard("the payment page, waiting")
        if b.path() != MODE_A_MODULE_PATH:
            b.r.fail(f"mode A: the page left for {b.path()!r} without a click")
            raise Abort()
        time.sleep(POLL)
    b.r.ok(f"mode A: still on the payment page after {STAY_TIME:.0f} s")
    b.s.click(b.s.find('form[name="KORVEN"] input[type="submit"]'))
    b.wait_for_path(SANDBOX_PATH, NAVIGATION_LIMIT, "after the button")
    b.r.ok("the button takes the shopper to the sandbox")
    b.guard("the sandbox's page")
    b.check_sandbox(fields, MODE_A_MODULE_PATH)


def delayed(mode):
    module = MODE_A_MODULE_PATH if mode == "A" else MODULE_PATH

    def scenario(b, _):
        b.open_order("/checkout.html")
        if module != MODULE_PATH:
            b.post_order_to(module)
        order = {"KWT_CMD": f"WAIT-{mode} \u00e9t\u00e9 & <ok>", "KWT_WAIT": str(WAIT_MS)}
        b.fill(order)
        fields = b.submit_order()
        b.wait_for_path(module, NAVIGATION_LIMIT, "after the order", beyond=SANDBOX_PATH)
        onload = b.s.execute("return document.body.getAttribute('onload');")
        b.r.check(onload == f"setTimeout('document.KORVEN.submit()',{WAIT_MS})",
                  "the body's onload submits after the delay", repr(onload))
        took = b.wait_for_path(SANDBOX_PATH, NAVIGATION_LIMIT, "waiting for the delayed submit")
        b.r.check(took >= WAIT_EARLIEST,
                  f"KWT_WAIT={WAIT_MS} in mode {mode}: not submitted before {WAIT_EARLIEST:.0f} s",
                  f"submitted after {took:.2f} s")
        b.r.ok(f"KWT_WAIT={WAIT_MS} in mode {mode}: submitted by itself after {took:.2f} s")
        b.guard("the sandbox's page")
        b.check_sandbox(fields, module)
    scenario.__doc__ = f"KWT_WAIT={WAIT_MS} in mode {mode}: the page submits itself after the delay."
    return scenario


def no_button_mode_e(b, _):
    """KWT_BOUTPI "nul": no button and no form end, the page still submits."""
    b.open_order("/checkout.html")
    b.fill({"KWT_CMD": "SANS-BOUTON", "KWT_BOUTPI": "nul", "KWT_RUF1": "<\u00e9>"})
    fields = b.submit_order()
    b.wait_for_path(SANDBOX_PATH, NAVIGATION_LIMIT, "after the order")
    b.r.ok("the page without a button submitted itself")
    b.guard("the sandbox's page")
    b.check_sandbox(fields)


# ------------------------------------------- the sandbox's answers

RETURN_ORDER = {
    "KWT_TOTAL": "4250",
    "KWT_CMD": "Retour \u00e9t\u00e9 & <b>x</b> 'q' \"d\" %41 +1 " + SCRIPT_TITLE,
    "KWT_RETOUR": "Mt:M;Ref:R;Auto:A;Erreur:E;Tx:T;Sig:S",
    "KWT_ANNULE": "http://127.0.0.1/annule.html?panier=7#haut",
}


def wait_for_page(b, pathname, where):
    """Polls until the browser shows `pathname` (any query); bounded."""
    start = time.monotonic()
    while True:
        b.guard(where)
        if b.s.execute("return location.pathname;") == pathname:
            return
        if time.monotonic() - start > NAVIGATION_LIMIT:
            b.r.fail(f"{where}: still at {b.path()!r} after {NAVIGATION_LIMIT:.0f} s, expected {pathname}")
            raise Abort()
        time.sleep(POLL)


# kwtdata and the sandbox's public key, for the signatures of the returns.
VERIFY = {}


def answer_scenario(answer, pathname, code):
    def scenario(b, _):
        b.open_order("/checkout.html")
        b.fill(RETURN_ORDER)
        fields = b.submit_order()
        b.wait_for_path(SANDBOX_PATH, NAVIGATION_LIMIT, "after the order")
        b.guard("the sandbox's page")
        b.check_sandbox(fields)
        b.s.click(b.s.find(f"#answer-{answer}"))
        wait_for_page(b, pathname, f"after the sandbox's {answer} button")
        b.guard("the merchant's return page")
        b.r.ok(f"{answer}: the shopper lands on the merchant's {pathname}")
        got = b.s.execute("return [Array.from(new URLSearchParams(location.search)), location.hash];")
        params, fragment = got[0], got[1]
        want = [["Mt", RETURN_ORDER["KWT_TOTAL"]], ["Ref", RETURN_ORDER["KWT_CMD"]], ["Auto", None],
                ["Erreur", code]]
        if answer == "cancel":
            want.insert(0, ["panier", "7"])
            b.r.check(fragment == "#haut", "cancel: the return URL keeps its fragment", repr(fragment))
        auth = dict(params).get("Auto", "")
        if answer == "accept":
            b.r.check(len(auth) == 6 and auth.isdigit(), "accept: a 6-digit authorisation number", repr(auth))
        else:
            b.r.check(auth == "", f"{answer}: no authorisation number", repr(auth))
        want = [[n, auth if v is None else v] for n, v in want]
        transaction, signature = dict(params).get("Tx", ""), dict(params).get("Sig", "")
        b.r.check(len(transaction) == 8 and transaction.isdigit(), f"{answer}: an 8-digit transaction number",
                  repr(transaction))
        want += [["Tx", transaction], ["Sig", signature]]
        compare(b.r, f"{answer}: the return variables are the order's values, byte for byte", want, params)
        # The query as the browser sent it, signed by the sandbox's key.
        query = b.s.execute("return location.search;")[1:]
        verified = subprocess.run([VERIFY["kwtdata"], "verify", "--key", VERIFY["key"],
                                   "--retour", RETURN_ORDER["KWT_RETOUR"], query],
                                  capture_output=True, timeout=10, check=False)
        b.r.check(verified.returncode == 0, f"{answer}: kwtdata verify finds the return signed by the sandbox",
                  verified.stderr.decode(errors="replace"))
    scenario.__doc__ = f"The sandbox's {answer} button: the shopper lands on {pathname}."
    return scenario


# ------------------------------------------------- an attacker's page

# Where each attack leaves the browser. Under the lock the form's error URL,
# servers, ping and output mode are not used: an incomplete request goes to
# the merchant's own error page (the options file's KWT_ERREUR, never the
# attacker's, which all lead elsewhere), a complete one to the options
# file's server, the sandbox.
MISSING_FIELD = f"{ERROR_PAGE}?NUMERR=-7"
ATTACKS = [
    ("erreur", MISSING_FIELD),
    ("ping", MISSING_FIELD),
    ("javascript", SANDBOX_PATH),
    ("settings", SANDBOX_PATH),
    ("settings-error", MISSING_FIELD),
]
SETTLE = 1.0  # after the module's answer: time for a script to run, if one does


def attack_scenario(name, landing):
    def scenario(b, _):
        # attack.html#NAME posts the form NAME to the module on load.
        b.s.get(f"{b.base}/attack.html#{name}")
        start = time.monotonic()
        while b.s.execute("return location.pathname;") == "/attack.html":
            b.guard("the attacker's page")
            if time.monotonic() - start > NAVIGATION_LIMIT:
                b.r.fail(f"the attacker's page did not post its form within {NAVIGATION_LIMIT:.0f} s")
                raise Abort()
            time.sleep(POLL)
        end = time.monotonic() + SETTLE
        while time.monotonic() < end:
            b.guard("the module's answer to the attacker's post")
            time.sleep(POLL)
        where = b.path()
        page = "the merchant's error page" if landing.startswith(ERROR_PAGE) else "the sandbox"
        b.r.check(where == landing, f"{name}: the module's answer leads to {page}, {landing}", repr(where))
        b.r.ok(f"{name}: no dialog, no title set by a script")
        cookies = b.s.cookies()
        b.r.check(cookies == [], f"{name}: no cookie set", repr(cookies))
    scenario.__doc__ = f"The attacker's page posts its {name!r} request: nothing of it runs."
    return scenario


# ------------------------------------------------------ the example shops

class ShopChecks:
    """examples/test_shops.py's checks, told through these results."""

    def __init__(self, results):
        self.r = results

    def check(self, condition, what, detail="", quiet=False):
        return condition if condition and quiet else self.r.check(condition, what, detail)


def browser_visit(b):
    """Opens a page as the shopper: (HTTP status, the page's text)."""
    def visit(url):
        b.s.get(url)
        b.guard("a shop's page")
        status, text = b.s.execute("return [performance.getEntriesByType('navigation')[0].responseStatus,"
                                   " document.body.innerText];")
        return status, text
    return visit


def shop_scenario(kind):
    path = SHOPS[kind]

    def scenario(b, _):
        shop = test_shops.Shop(test_shops.Client(b.base), path, b.orders, b.bin_dir, ShopChecks(b.r))
        # The shopper's path: the catalogue, an order, the payment (the
        # Python shop's page waits for its button, the PHP shop's posts
        # itself to the module), the sandbox's accept, the shop's page.
        b.s.get(b.base + path)
        b.guard("the shop's catalogue")
        b.s.send_keys(b.s.find('input[name="email"]'), "client@example.fr")
        b.s.click(b.s.find('input[type="submit"]'))
        start, clicked = time.monotonic(), False
        while b.path() != SANDBOX_PATH:
            b.guard("the way to the sandbox")
            if not clicked and b.path().startswith(path + "?") and b.s.execute("return !!document.forms.KORVEN;"):
                b.s.click(b.s.find('form[name="KORVEN"] input[type="submit"]'))
                clicked = True
            if time.monotonic() - start > NAVIGATION_LIMIT:
                b.r.fail(f"still at {b.path()!r} after {NAVIGATION_LIMIT:.0f} s, expected the sandbox")
                raise Abort()
            time.sleep(POLL)
        ref = b.s.execute("return document.getElementById('data-KWT_CMD').textContent;")
        b.s.click(b.s.find("#answer-accept"))
        wait_for_page(b, path, "after the sandbox's accept button")
        outcome = b.s.execute("const o = document.getElementById('outcome'); return o ? o.className : null;")
        state = shop.state(ref)
        b.r.check(outcome == "paid" and state == ("paid", 1) and "&Sig=" in b.s.url(),
                  f"order {ref}: the signed return lands on the paid page, the order shipped once",
                  f"{outcome!r} {state} {b.s.url()}")
        test_shops.run_signed_checks(shop, browser_visit(b))
    scenario.__doc__ = f"The {kind} example shop in the browser, signed returns and attacks."
    return scenario


SCENARIOS = [
    ("example order page, mode E", example_order_mode_e),
    ("hostile values in every field, mode E", every_field_mode_e),
    ("mode A", mode_a_waits_for_button),
    ("KWT_WAIT, mode E", delayed("E")),
    ("KWT_WAIT, mode A", delayed("A")),
    ("no button, mode E", no_button_mode_e),
    ("sandbox: accept", answer_scenario("accept", "/merci.html", "00000")),
    ("sandbox: refuse", answer_scenario("refuse", "/refuse.html", "00100")),
    ("sandbox: cancel", answer_scenario("cancel", "/annule.html", "00200")),
] + [(f"attacker's page: {name}", attack_scenario(name, landing)) for name, landing in ATTACKS] + [
    (f"example shop: {kind}", shop_scenario(kind)) for kind in SHOPS]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--driver", required=True, help="chromedriver's URL")
    parser.add_argument("--base", required=True, help="the web server's URL")
    parser.add_argument("--profile", required=True, help="a fresh, empty browser profile directory")
    parser.add_argument("--access-log", required=True, help="the web server's access log")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--screenshot", help="save a screenshot of the sandbox's page here")
    parser.add_argument("--kwtdata", required=True, help="the kwtdata program (the sandbox beside it)")
    parser.add_argument("--public-key", required=True, help="the sandbox's public key file")
    parser.add_argument("--orders", required=True, help="the example shops' order folder")
    args = parser.parse_args()
    VERIFY.update(kwtdata=args.kwtdata, key=args.public_key)

    wait_for_driver(args.driver, 15)
    capabilities = {"alwaysMatch": {
        "browserName": "chrome",
        "pageLoadStrategy": "normal",
        # A dialog stays open, so that the checks see it.
        "unhandledPromptBehavior": "ignore",
        "goog:chromeOptions": {
            "binary": args.chromium,
            "args": ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1000,900",
                     f"--user-data-dir={args.profile}"],
        },
    }}
    results = Results()
    results.scenario = "browser"
    try:
        session = Session(args.driver, capabilities)
    except (WebDriverError, OSError) as error:
        results.fail(f"cannot start headless Chromium through chromedriver: {error}")
        return 1
    with session:
        version = session.capabilities.get("browserVersion", "?")
        results.ok(f"headless Chromium {version} started")
        session.set_timeouts(page_load_ms=15000, script_ms=5000)
        browser = Browser(session, args.base, results, args.access_log)
        browser.orders, browser.bin_dir = args.orders, os.path.dirname(os.path.abspath(args.kwtdata))
        for name, scenario in SCENARIOS:
            results.scenario = name
            try:
                browser.dismiss_dialogs()
                scenario(browser, args.screenshot if scenario is example_order_mode_e else None)
            except Abort:
                pass
            except WebDriverError as error:
                if error.error == "unexpected alert open":
                    results.fail(f"a JavaScript dialog opened ({error.message.splitlines()[0]})")
                else:
                    results.fail(f"WebDriver: {error}")
            except Exception:  # a fault of this script: report, go on
                results.fail("unexpected error:\n" + traceback.format_exc())
    results.scenario = "all scenarios"
    results.check(PWNED not in browser.titles, "no page ever had its title set by a value",
                  repr(sorted(browser.titles)))
    loaded = browser.pwned_requests()
    results.check(not loaded, "no value's markup made the browser load anything",
                  "\n".join(loaded))
    print(f"browser checks: {results.passes} passed, {results.failures} failed", flush=True)
    return 0 if results.failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
