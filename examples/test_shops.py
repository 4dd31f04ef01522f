#!/usr/bin/env python3
"""End-to-end test of an example shop against the payment sandbox, through
the web server: the way a merchant tests his own integration.

    test_shops.py --base http://127.0.0.1 --shop /cgi-bin/shop.cgi --kwtdata build/bin/kwtdata

The site serves the shop, revozi.cgi and korven-sandbox.cgi, and the
options file names the sandbox (scripts/test.d/examples.sh sets it up).
Each scenario orders from the shop's catalogue, follows the shopper through
the module to the sandbox, plays the payment server's answer and checks the
shop's return page. One scenario changes the amount inside KWT_DATA on its
way (kwtdata decodes and re-encodes it, as anyone could): the shop must
refuse it. Exit status 1 when any check fails.
"""

import argparse
import http.client
import re
import subprocess
import sys
import urllib.parse
from html.parser import HTMLParser

# Every NUMERR the module can send, and the totals of the orders below.
NUMERR_CODES = [-2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -13, -14, -16, -17, -19]
PRICES = {"tea": 750, "cup": 1200, "pot": 4590}
TIMEOUT = 60  # seconds per HTTP exchange


class Failures:
    def __init__(self):
        self.count = 0
        self.passed = 0

    def check(self, condition, what, detail=""):
        if condition:
            self.passed += 1
            print(f"ok - {what}", flush=True)
        else:
            self.count += 1
            print(f"FAIL - {what}" + (f":\n{detail}" if detail else ""), file=sys.stderr, flush=True)
        return condition


class Page:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.text = body.decode("latin-1")  # byte for byte

    def header(self, name):
        return self.headers.get(name.lower(), "")


class FormParser(HTMLParser):
    """The first form of a page: action and fields; and every input's name;
    a refresh URL if the page has one; the text of id="outcome"."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.action = None
        self.fields = []
        self.input_names = []
        self.refresh = None
        self.outcome = None
        self._in_outcome = False
        self._forms = 0

    def handle_starttag(self, tag, attrs):
        a = {k: (v or "") for k, v in attrs}
        if tag == "form":
            self._forms += 1
            if self._forms == 1:
                self.action = a.get("action", "")
        elif tag in ("input", "select") and a.get("name"):
            self.input_names.append(a["name"])
            if self._forms == 1 and a.get("type", "").lower() == "hidden":
                self.fields.append((a["name"], a.get("value", "")))
        elif tag == "meta" and a.get("http-equiv", "").lower() == "refresh":
            m = re.match(r"\s*\d+\s*;\s*URL=(.*)", a.get("content", ""), re.I)
            self.refresh = m.group(1) if m else None
        elif a.get("id") == "outcome":
            self.outcome = [a.get("class", ""), ""]
            self._in_outcome = True

    def handle_endtag(self, tag):
        self._in_outcome = False

    def handle_data(self, data):
        if self._in_outcome:
            self.outcome[1] += data


def parse(page):
    parser = FormParser()
    parser.feed(page.text)
    return parser


class Client:
    def __init__(self, base):
        url = urllib.parse.urlsplit(base)
        self.host, self.port = url.hostname, url.port or 80
        self.base = base.rstrip("/")

    def request(self, method, url, fields=None, query=""):
        """One exchange, no redirect followed. `url` is absolute on this
        server or a path."""
        path = url[len(self.base):] if url.startswith(self.base) else url
        if query:
            path += ("&" if "?" in path else "?") + query
        body = None
        headers = {}
        if fields is not None:
            body = urllib.parse.urlencode(fields, encoding="latin-1").encode("ascii")
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        connection = http.client.HTTPConnection(self.host, self.port, timeout=TIMEOUT)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            return Page(response.status, {k.lower(): v for k, v in response.getheaders()}, response.read())
        finally:
            connection.close()


def text_lines(page, label):
    return [line[len(label) + 2:] for line in page.text.splitlines() if line.startswith(label + ": ")]


class Shop:
    def __init__(self, client, path, kwtdata, f):
        self.c = client
        self.path = path
        self.url = client.base + path
        self.kwtdata = kwtdata
        self.f = f

    def catalogue(self):
        page = self.c.request("GET", self.path)
        form = parse(page)
        self.f.check(page.status == 200 and form.action, "the catalogue page has an order form",
                     page.text[:300])
        self.f.check(sorted(form.input_names) == ["article", "email", "quantity"],
                     "the shopper chooses article, quantity and e-mail; no amount field",
                     repr(form.input_names))

    def order(self, article, quantity, email):
        """Orders and follows the shopper to the payment form; the last page
        (payment page, or whatever came instead) and its form."""
        page = self.c.request("POST", self.path + "?step=order",
                              [("article", article), ("quantity", str(quantity)), ("email", email)])
        form = parse(page)
        if form.action and form.action.endswith("/revozi.cgi"):
            # The shop's page posts the order to the module.
            total = dict(form.fields).get("KWT_TOTAL")
            self.f.check(total == f"{PRICES[article] * quantity:03d}",
                         "the amount posted to the module comes from the shop's catalogue", repr(total))
            page = self.c.request("POST", form.action, form.fields)
            form = parse(page)
        return page, form

    def pay(self, article, quantity, email="client@example.fr"):
        page, form = self.order(article, quantity, email)
        ok = self.f.check(page.status == 200 and form.action == self.c.base + "/cgi-bin/korven-sandbox.cgi"
                          and dict(form.fields).get("KWT_DATA", "").startswith("v401"),
                          f"order {article} x{quantity}: the payment form is aimed at the sandbox",
                          f"status {page.status}, action {form.action!r}\n{page.text[:600]}")
        return form.fields if ok else None

    def answer(self, fields, answer, notify=False):
        query = f"format=text&answer={answer}" + ("&notify=1" if notify else "")
        return self.c.request("POST", "/cgi-bin/korven-sandbox.cgi", fields, query)

    def back_to_shop(self, sandbox_page, step, what):
        location = (text_lines(sandbox_page, "location") or [""])[0]
        self.f.check(location.startswith(self.url + f"?step={step}&"),
                     f"{what}: the sandbox sends the shopper to the shop's {step} page",
                     f"location {location!r}\n{sandbox_page.text}")
        page = self.c.request("GET", location)
        return page, parse(page).outcome or ["(no outcome)", page.text[:400]]

    def tampered(self, fields, total):
        """The block with KWT_TOTAL changed, re-encoded: the data block is
        scrambled, not signed."""
        block = dict(fields)["KWT_DATA"]
        decoded = subprocess.run([self.kwtdata, "decode", block], capture_output=True, timeout=30, check=True)
        args = [line for line in decoded.stdout.decode("latin-1").splitlines()
                if "=" in line and not line.endswith("=")]
        args = [f"KWT_TOTAL={total}" if a.startswith("KWT_TOTAL=") else a for a in args]
        encoded = subprocess.run([self.kwtdata, "encode", *args], capture_output=True, timeout=30, check=True)
        return [(n, encoded.stdout.decode("latin-1").strip() if n == "KWT_DATA" else v) for n, v in fields]


def run(shop):
    f = shop.f
    shop.catalogue()

    for answer, step, kind, article, quantity in [("accept", "paid", "paid", "tea", 2),
                                                   ("refuse", "refused", "refused", "cup", 1),
                                                   ("cancel", "cancelled", "cancelled", "pot", 3)]:
        fields = shop.pay(article, quantity)
        if fields is None:
            continue
        sandbox = shop.answer(fields, answer)
        f.check(sandbox.status == 303, f"{answer}: the sandbox redirects", f"{sandbox.status}\n{sandbox.text}")
        page, outcome = shop.back_to_shop(sandbox, step, answer)
        total = PRICES[article] * quantity
        euros = f"{total // 100},{total % 100:02d}"
        f.check(page.status == 200 and outcome[0] == kind, f"{answer}: the shop shows the {kind} page",
                f"{page.status} {outcome!r}")
        if kind == "paid":
            f.check(euros in outcome[1] and "authorisation" in outcome[1],
                    "accept: the shop confirms the amount and the authorisation", repr(outcome))
        if kind == "refused":
            f.check("00100" in outcome[1], "refuse: the shop shows the refusal code", repr(outcome))

    # The payment server's call, then the shopper.
    fields = shop.pay("cup", 2)
    if fields is not None:
        sandbox = shop.answer(fields, "accept", notify=True)
        f.check(text_lines(sandbox, "notify-result") == ["HTTP/1.0 200 OK"],
                "notify: the shop accepts the server's call for a matching order", sandbox.text)
        page, outcome = shop.back_to_shop(sandbox, "paid", "notify")
        f.check(outcome[0] == "paid", "notify: then the shopper sees the paid page", repr(outcome))

    # A shopper who changed the amount inside KWT_DATA: the sandbox accepts
    # the block (nothing can tell), the shop must not.
    fields = shop.pay("pot", 1)
    if fields is not None:
        forged = shop.tampered(fields, "100")
        sandbox = shop.answer(forged, "accept", notify=True)
        f.check(text_lines(sandbox, "verdict") == ["valid"], "tampered: the sandbox finds the changed block valid",
                sandbox.text)
        f.check(text_lines(sandbox, "notify-result") == ["HTTP/1.0 409 Conflict"],
                "tampered: the shop refuses the server's call", sandbox.text)
        page, outcome = shop.back_to_shop(sandbox, "paid", "tampered")
        f.check(page.status == 409 and outcome[0] == "mismatch" and "(100)" in outcome[1],
                "tampered amount: the shop refuses the payment", f"{page.status} {outcome!r}")

    # A return page for an order that does not exist.
    page = shop.c.request("GET", shop.path + "?step=paid&order=PY20240101000000-00000000&amount=750"
                                             "&auth=123456&code=00000")
    outcome = parse(page).outcome or ["", ""]
    f.check(outcome[0] == "mismatch", "a forged return for an unknown order is refused", repr(outcome))

    # An e-mail address the module refuses: the shopper gets the shop's
    # message for -16 (through KWT_ERREUR when the module is posted to).
    page, form = shop.order("tea", 1, "not an address")
    if form.refresh:
        f.check(form.refresh == shop.url + "?NUMERR=-16", "a bad e-mail: the module redirects to KWT_ERREUR",
                repr(form.refresh))
        page = shop.c.request("GET", form.refresh)
    outcome = parse(page).outcome or ["", ""]
    f.check(outcome[0] == "error" and "e-mail address" in outcome[1] and "(code -16)" in outcome[1],
            "a bad e-mail: the shop explains NUMERR -16", f"{outcome!r}\n{page.text[:400]}")

    # A clear message for every code.
    for code in NUMERR_CODES:
        outcome = parse(shop.c.request("GET", f"{shop.path}?NUMERR={code}")).outcome or ["", ""]
        if not (outcome[0] == "error" and f"(code {code})" in outcome[1]
                and "refused the order" not in outcome[1]):
            f.check(False, f"NUMERR {code} has a message of its own", repr(outcome))
            break
    else:
        f.check(True, f"each of the {len(NUMERR_CODES)} NUMERR codes has a message of its own")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--base", required=True)
    parser.add_argument("--shop", required=True, help="the shop's path on the server")
    parser.add_argument("--kwtdata", required=True)
    args = parser.parse_args()
    f = Failures()
    try:
        run(Shop(Client(args.base), args.shop, args.kwtdata, f))
    except (OSError, http.client.HTTPException, subprocess.SubprocessError) as error:
        f.check(False, "the scenarios ran to their end", repr(error))
    print(f"shop checks: {f.passed} passed, {f.count} failed", flush=True)
    return 1 if f.count else 0


if __name__ == "__main__":
    sys.exit(main())
