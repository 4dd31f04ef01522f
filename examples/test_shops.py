#!/usr/bin/env python3
"""End-to-end test of an example shop against the payment sandbox, through
the web server: the way a merchant tests his own integration.

    test_shops.py --base http://127.0.0.1 --shop /cgi-bin/shop.cgi --orders SITE/shop-data \
                  --bin build/bin [--second-base http://127.0.0.2] [--database CONNINFO]

The site serves the shop, revozi.cgi and korven-sandbox.cgi, the options
file names the sandbox, and the shop holds the sandbox's public key
(scripts/test.d/examples.sh sets it up); --orders is the shop's data
folder, whose SQLite database (orders.sqlite) is read to see what each
answer changed, or --database the shop's PostgreSQL connection string;
--bin holds kwtdata and the sandbox; --second-base a second web server of
the same shop and database, which receives half of the racing answers. Each scenario orders from the shop's catalogue, follows the
shopper through the module to the sandbox, plays the payment server's
answer and checks the shop's page and the stored order. The attacks: the
amount changed inside KWT_DATA on its way (kwtdata decodes and re-encodes
it, as anyone could), and returns and notifications unsigned, altered,
signed for another order or by another key: refused, and the order stays
as it was. Exit status 1 when any check fails.

browser_test.py (tests/browser) runs the same checks with the shopper's
pages opened in a real browser: run_signed_checks(shop, visit).
"""

import argparse
import http.client
import os
import shlex
import sqlite3
import re
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from html.parser import HTMLParser

# Every NUMERR the module can send, and the totals of the orders below.
NUMERR_CODES = [-2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -13, -14, -16, -17, -19]
PRICES = {"tea": 750, "cup": 1200, "pot": 4590}
TIMEOUT = 60  # seconds per HTTP exchange
RACES = 10    # orders whose returns and notifications arrive together, at two web servers


class Failures:
    def __init__(self):
        self.count = 0
        self.passed = 0

    def check(self, condition, what, detail="", quiet=False):
        """`quiet`: a step that many scenarios repeat, told only when it fails."""
        if condition:
            self.passed += 1
            if not quiet:
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

    def request(self, method, url, fields=None, query="", body=None):
        """One exchange, no redirect followed. `url` is absolute on this
        server or a path; a form is posted as `fields`, or as the raw `body`."""
        path = url[len(self.base):] if url.startswith(self.base) else url
        if query:
            path += ("&" if "?" in path else "?") + query
        headers = {}
        if fields is not None:
            body = urllib.parse.urlencode(fields, encoding="latin-1").encode("ascii")
        if body is not None:
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
    def __init__(self, client, path, orders, bin_dir, f, database=""):
        self.c = client
        self.database = database
        self.path = path
        self.url = client.base + path
        self.orders = orders
        self.kwtdata = os.path.join(bin_dir, "kwtdata")
        self.sandbox = os.path.join(bin_dir, "korven-sandbox.cgi")
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
                         "the amount posted to the module comes from the shop's catalogue", repr(total),
                         quiet=True)
            page = self.c.request("POST", form.action, form.fields)
            form = parse(page)
        return page, form

    def pay(self, article, quantity, email="client@example.fr"):
        """The payment form's fields for a new order, or None."""
        page, form = self.order(article, quantity, email)
        ok = self.f.check(page.status == 200 and form.action == self.c.base + "/cgi-bin/korven-sandbox.cgi"
                          and dict(form.fields).get("KWT_DATA", "").startswith("v401"),
                          f"order {article} x{quantity}: the payment form is aimed at the sandbox",
                          f"status {page.status}, action {form.action!r}\n{page.text[:600]}", quiet=True)
        return form.fields if ok else None

    def answer(self, fields, answer, notify=""):
        """The sandbox's answer; `notify` 1: its notification first, 2: sent twice."""
        query = f"format=text&answer={answer}" + (f"&notify={notify}" if notify else "")
        return self.c.request("POST", "/cgi-bin/korven-sandbox.cgi", fields, query)

    def signed_return(self, fields, answer="accept"):
        """The URL the sandbox sends the shopper to, not followed."""
        page = self.answer(fields, answer)
        return (text_lines(page, "location") or [""])[0]

    def signed_by(self, private_key, fields):
        """The accept return that the sandbox run with another key gives."""
        query = "format=text&answer=accept&" + urllib.parse.urlencode(fields, encoding="latin-1")
        run = subprocess.run([self.sandbox], capture_output=True, timeout=30,
                             env={"REQUEST_METHOD": "GET", "QUERY_STRING": query, "KORVEN_SANDBOX_KEY": private_key})
        return (text_lines(Page(200, {}, run.stdout), "location") or [""])[0]

    def back_to_shop(self, sandbox_page, step, what):
        location = (text_lines(sandbox_page, "location") or [""])[0]
        self.f.check(location.startswith(self.url + "?order=") and f"&step={step}&" in location
                     and re.search(r"&Sig=[A-Za-z0-9_-]{86}$", location),
                     f"{what}: the sandbox sends the shopper to the shop's {step} page, signed",
                     f"location {location!r}\n{sandbox_page.text}")
        page = self.c.request("GET", location)
        return page, parse(page).outcome or ["(no outcome)", page.text[:400]]

    def tampered(self, fields, name, value):
        """The fields with `name` changed inside KWT_DATA, re-encoded: the
        data block is scrambled, not signed."""
        block = dict(fields)["KWT_DATA"]
        decoded = subprocess.run([self.kwtdata, "decode", block], capture_output=True, timeout=30, check=True)
        args = [line for line in decoded.stdout.decode("latin-1").splitlines()
                if "=" in line and not line.endswith("=")]
        args = [f"{name}={value}" if a.startswith(name + "=") else a for a in args]
        encoded = subprocess.run([self.kwtdata, "encode", *args], capture_output=True, timeout=30, check=True)
        return [(n, encoded.stdout.decode("latin-1").strip() if n == "KWT_DATA" else v) for n, v in fields]

    # The stored orders, read from the shop's database.
    def query(self, sql, args=()):
        if self.database:
            import psycopg2
            db = psycopg2.connect(self.database, connect_timeout=10)
            sql = sql.replace("?", "%s")
        else:
            path = os.path.join(self.orders, "orders.sqlite")
            if not os.path.exists(path):
                return []
            db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=10)
        try:
            cursor = db.cursor()
            cursor.execute(sql, args)
            return cursor.fetchall()
        finally:
            db.close()

    def stored(self, fields):
        """The stored order of these payment fields (or this reference) and
        the answers recorded for it."""
        ref = ref_of(fields)
        return (self.query("SELECT * FROM orders WHERE ref = ?", (ref,)),
                self.query("SELECT * FROM answers WHERE ref = ? ORDER BY trans, step", (ref,)))

    def state(self, fields):
        """(state, shipped) of the stored order."""
        rows = self.query("SELECT state, shipped FROM orders WHERE ref = ?", (ref_of(fields),))
        return tuple(rows[0]) if rows else (None, None)

    def count(self):
        return self.query("SELECT count(*) FROM orders")[0][0] if self.query("SELECT 1 FROM orders LIMIT 1") \
            else 0

    def files(self):
        return sorted(os.listdir(self.orders))


def ref_of(fields):
    """The order reference: the shop's own, in its return URL."""
    if isinstance(fields, str):
        return fields
    query = urllib.parse.urlsplit(dict(fields).get("KWT_EFFECTUE", "")).query
    return dict(urllib.parse.parse_qsl(query)).get("order", "(none)")


def with_field(fields, name, value):
    return [(n, value if n == name else v) for n, v in fields]


def http_visit(shop):
    """The shopper's browser, plainly: a GET; (status, text)."""
    def visit(url):
        page = shop.c.request("GET", url)
        return page.status, page.text
    return visit


def unsigned(url):
    return url[:url.rindex("&Sig=")]


def one_byte_changed(url):
    """The first digit of the authorisation number, changed."""
    at = url.index("&Auto=") + len("&Auto=")
    return url[:at] + str((int(url[at]) + 1) % 10) + url[at + 1:]


def signature_moved(url):
    """The signature moved to the front of the variables."""
    base, query = url.split("?", 1)
    rest, signature = query.rsplit("&", 1)
    return f"{base}?{signature}&{rest}"


def notify_url(fields):
    """The shop's notification URL for this order."""
    return dict(fields)["KWT_EFFECTUE"].replace("&step=paid", "&step=notify")


def forged_notification(url):
    """The server's call for the same order, made up by an attacker."""
    return unsigned(url).replace("&step=paid&", "&step=notify&")


def injected(fields, step, total=PRICES["pot"]):
    """The order's return URL for `step` with an accept of its amount
    (the victim's: one pot) written after it, as a shopper would."""
    ref = ref_of(fields)
    return notify_url(fields).replace("&step=notify", f"&step={step}") + \
        f"&Mt={total}&Ref={ref}&Auto=123456&Erreur=00000"


def run_vector_checks(f, script, vectors):
    """The shop run as a CGI program on each signature test vector, with the
    vectors' key: an invalid one 403 with no signature accepted; a valid one
    gets past the signature (to the order: unknown to the shop)."""
    header, cases = {}, []
    for line in open(vectors, encoding="ascii"):
        name, _, value = line.rstrip("\n").partition(": ")
        if line.startswith("#") or not line.strip():
            continue
        if name == "case":
            cases.append({"case": value})
        elif cases:
            cases[-1][name] = value
        else:
            header[name] = value
    with tempfile.TemporaryDirectory() as folder:
        key = os.path.join(folder, "vectors.pub")
        with open(key, "w", encoding="ascii") as out:
            out.write(header["key"] + "\n")
        os.chmod(folder, 0o755)
        wrong = []
        for case in cases:
            query = case["query"]
            run = subprocess.run([script], capture_output=True, timeout=30, stdin=subprocess.DEVNULL, env={
                "PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
                "REDIRECT_STATUS": "200", "SCRIPT_FILENAME": script, "SCRIPT_NAME": "/cgi-bin/shop.cgi",
                "QUERY_STRING": query, "REQUEST_URI": "/cgi-bin/shop.cgi?" + query,
                "SHOP_PAYMENT_KEY": key, "SHOP_ORDERS": os.path.join(folder, "orders")})
            out = run.stdout.decode("latin-1")
            refused_signature = "Status: 403" in out and re.search(r"sign|variables before", out, re.I)
            if (case["verdict"] == "valid") == bool(refused_signature) or \
                    (case["verdict"] != "valid" and "Status: 403" not in out):
                wrong.append(f"{case['case']}: {out[:200]!r}")
    f.check(cases and not wrong, f"the {len(cases)} signature test vectors: each gets its verdict", "\n".join(wrong))


def run_signed_checks(shop, visit):
    """Signed returns and notifications: what ships an order and what must
    not. `visit(url)` opens a page as the shopper (status, text)."""
    f = shop.f
    victim, another = shop.pay("pot", 1), shop.pay("tea", 1)
    if victim is None or another is None:
        return
    genuine = shop.signed_return(victim)
    effectue = dict(victim)["KWT_EFFECTUE"]
    unknown = ref_of(victim)[:2] + "20240101000000-00000000"
    with tempfile.TemporaryDirectory() as keys:
        other_key = os.path.join(keys, "other.key")
        subprocess.run([shop.sandbox, "--new-key", other_key], capture_output=True, timeout=30, check=True)
        by_other_key = shop.signed_by(other_key, victim)
    # Each answer below (with a signature or without) is refused and leaves
    # both orders as they were.
    attacks = [
        ("an unsigned return", False, unsigned(genuine)),
        ("a return with one byte of a variable changed", True, one_byte_changed(genuine)),
        ("a valid signature of another order", True,
         shop.signed_return(with_field(another, "KWT_EFFECTUE", effectue))),
        ("a signature by another key", True, by_other_key),
        ("a signature moved from last place", True, signature_moved(genuine)),
        ("a forged notification", False, forged_notification(genuine)),
        # The server's variables written into the return URL by the
        # shopper, who asks the server for a transaction number only.
        ("a refuse whose return URL carries an accept", True,
         shop.signed_return(with_field(shop.tampered(victim, "KWT_RETOUR", "Trans:T;Sig:S"), "KWT_REFUSE",
                                       injected(victim, "paid")), "refuse")),
        ("a notification whose URL carries an accept", True,
         shop.signed_return(with_field(shop.tampered(victim, "KWT_RETOUR", "Trans:T;Sig:S"), "KWT_REFUSE",
                                       injected(victim, "notify")), "refuse")),
        ("a refuse whose KWT_RETOUR swaps the letters", True,
         shop.signed_return(shop.tampered(victim, "KWT_RETOUR", "Mt:M;Ref:R;Auto:A;Erreur:M;Trans:T;Sig:S"),
                            "refuse")),
        ("a genuine refuse sent to the accept page", True,
         shop.signed_return(with_field(victim, "KWT_REFUSE", effectue), "refuse")),
        ("a signed return for an unknown order", True,
         shop.signed_return(with_field(shop.tampered(victim, "KWT_CMD", unknown), "KWT_EFFECTUE",
                                       effectue.replace(ref_of(victim), unknown)))),
    ]
    before = shop.stored(victim), shop.stored(another)
    for what, signed, url in attacks:
        status, text = visit(url)
        f.check(url.startswith(shop.url) and bool(re.search(r"[?&]Sig=", url)) == signed
                and status == 403 and "Refused" in text and (shop.stored(victim), shop.stored(another)) == before,
                f"{what}: 403, no order changed", f"{status} {text[:300]!r}\n{url}")
    status, text = visit(genuine)
    f.check(status == 200 and shop.state(victim) == ("paid", 1), "the genuine return: paid, shipped once",
            f"{status} {shop.state(victim)} {text[:300]!r}")
    status, _ = visit(genuine)
    f.check(status == 200 and shop.state(victim) == ("paid", 1), "the same return again: nothing more shipped")

    # A notification sent again byte for byte, then the sandbox's sent twice.
    order = shop.pay("cup", 1)
    if order is not None:
        note = shop.signed_return(with_field(order, "KWT_EFFECTUE", notify_url(order)))
        first, replayed = shop.c.request("GET", note), shop.c.request("GET", note)
        twice = shop.answer(order, "accept", notify=2)
        f.check(first.status == replayed.status == 200 and text_lines(twice, "notify-result") == ["HTTP/1.0 200 OK"] * 2
                and shop.state(order) == ("paid", 1),
                "a replayed notification, then the sandbox's sent twice: answered 200, nothing shipped twice",
                f"{first.status} {replayed.status} {shop.state(order)}\n{twice.text}")
        orders = [order]
        # A late delivery, as a merchant replays one from a shell: the
        # sandbox's own --replay, as the web server's user that keeps them.
        late = subprocess.run(["runuser", "-u", "www-data", "--", "env",
                               "KORVEN_SANDBOX_STATE=/var/lib/revozi/korven-sandbox", shop.sandbox, "--replay"],
                              capture_output=True, timeout=20)
        f.check(late.returncode == 0 and b" 200 " in late.stdout and shop.state(orders[0]) == ("paid", 1),
                "the sandbox's --replay of that notification: answered 200, nothing shipped twice",
                f"{late.returncode} {late.stdout[:300]!r} {late.stderr[:300]!r} {shop.state(orders[0])}")
        # A changed amount never downgrades a paid order.
        visit(shop.signed_return(shop.tampered(orders[0], "KWT_TOTAL", "100")))
        f.check(shop.state(orders[0]) == ("paid", 1), "a paid order stays paid after a return of another amount",
                repr(shop.state(orders[0])))

    # The amount changed inside KWT_DATA: the sandbox finds the block valid,
    # the shop keeps the order as mismatch, whatever comes after.
    fields = shop.pay("pot", 1)
    if fields is not None:
        sandbox = shop.answer(shop.tampered(fields, "KWT_TOTAL", "100"), "accept", notify=1)
        f.check(text_lines(sandbox, "verdict") == ["valid"] and shop.state(fields)[0] == "mismatch",
                "tampered amount: the sandbox finds the changed block valid, the notification marks the order"
                " mismatch", f"{shop.state(fields)}\n{sandbox.text}")
        status, text = visit((text_lines(sandbox, "location") or [""])[0])
        f.check(status == 409 and "(100)" in text, "tampered amount: the shopper's return is refused",
                f"{status} {text[:300]!r}")
        status, _ = visit(shop.signed_return(fields))
        f.check(status == 409 and shop.state(fields) == ("mismatch", 0),
                "tampered amount: a genuine accept afterwards leaves it mismatch, nothing shipped",
                f"{status} {shop.state(fields)}")


def run_race_checks(shop, second):
    """The shopper's return and the server's notification of each of RACES
    payments, each sent to both web servers (`second`: the other one, the
    same database), all released at once: each order paid and shipped
    once, each answer recorded once."""
    f = shop.f
    orders = [o for o in (shop.pay("cup", 1) for _ in range(RACES)) if o is not None]
    urls = [u[len(shop.c.base):] for o in orders
            for u in (shop.signed_return(o), shop.signed_return(with_field(o, "KWT_EFFECTUE", notify_url(o))))]
    start = threading.Barrier(2 * len(urls) or 1)

    def send(client, url):
        start.wait(timeout=60)
        return client.request("GET", url).status

    with ThreadPoolExecutor(max_workers=2 * len(urls) or 1) as pool:
        statuses = list(pool.map(lambda job: send(*job), [(c, u) for u in urls for c in (shop.c, second)]))
    answers = [len(shop.stored(o)[1]) for o in orders]
    f.check(len(orders) == RACES and statuses == [200] * 4 * RACES
            and [shop.state(o) for o in orders] == [("paid", 1)] * RACES and answers == [2] * RACES,
            f"{RACES} returns and notifications, each at both web servers at once: each order paid and shipped once,"
            " each answer recorded once", f"{statuses} {[shop.state(o) for o in orders]} {answers}")


def run_retry_checks(shop, stop, start):
    """A notification while the database is down: 503; the sandbox's
    delivery later (--deliver, its schedule shortened) ships the order once."""
    f = shop.f
    fields = shop.pay("tea", 3)
    if fields is None:
        return
    stop()
    try:
        sandbox = shop.answer(fields, "accept", notify="only")
    finally:
        start()
    f.check(text_lines(sandbox, "notify-result") == ["HTTP/1.0 503 Service Unavailable"]
            and shop.state(fields) == ("pending", 0),
            "a notification while the database is down: answered 503, nothing changed",
            f"{shop.state(fields)}\n{sandbox.text}")
    deliver = ["runuser", "-u", "www-data", "--", "env", "KORVEN_SANDBOX_STATE=/var/lib/revozi/korven-sandbox",
               "KORVEN_SANDBOX_TEST_SCHEDULE=1,1", shop.sandbox]
    early = subprocess.run(deliver + ["--deliver"], capture_output=True, timeout=60)
    early_state = shop.state(fields)
    time.sleep(1.5)
    due = subprocess.run(deliver + ["--deliver"], capture_output=True, timeout=60)
    again = subprocess.run(deliver + ["--deliver"], capture_output=True, timeout=60)
    listing = subprocess.run(deliver + ["--list"], capture_output=True, timeout=60).stdout.decode("latin-1")
    f.check(early.returncode == due.returncode == again.returncode == 0 and early_state == ("pending", 0)
            and shop.state(fields) == ("paid", 1) and b" 200 " in due.stdout and b" 200 " not in again.stdout
            and re.search(r"503 Service Unavailable\n.*200 OK\n.*Delivered", listing.split("\n2  ")[0], re.S),
            "the sandbox's retry once the database is back: answered 200, shipped once, listed with its attempts",
            f"{early_state} {shop.state(fields)}\n{early.stdout!r}\n{due.stdout!r} {due.stderr!r}\n"
            f"{again.stdout!r}\n{listing[:600]}")


# Shopper input that is not text: each a 400 page, and no order file.
MALFORMED = [
    ("a NUL in the e-mail", "POST", "article=tea&quantity=1&email=a%00b@example.fr"),
    ("a byte that is not UTF-8", "POST", "article=tea&quantity=1&email=%FF@example.fr"),
    ("a line feed in the e-mail", "POST", "article=tea&quantity=1&email=a%0Ab@example.fr"),
    ("a raw byte above 0x7F in the body", "POST", "article=tea&quantity=1&email=\xe9@example.fr"),
    ("an e-mail address of 81 bytes", "POST", f"article=tea&quantity=1&email={'a' * 70}@example.fr"),
    ("a NUL in NUMERR", "GET", "NUMERR=%00"),
    ("a NUL in the step", "GET", "step=paid%00"),
]


def run_input_checks(shop):
    f = shop.f
    before = shop.count()
    for what, method, data in MALFORMED:
        if method == "POST":
            status = shop.c.request("POST", shop.path + "?step=order", body=data.encode("latin-1")).status
        else:
            status = shop.c.request("GET", f"{shop.path}?{data}").status
        f.check(status == 400 and shop.count() == before, f"{what}: 400, no order stored", f"{status}")
    if shop.database:
        return
    modes = {name: os.stat(os.path.join(shop.orders, name)).st_mode & 0o777 for name in shop.files()}
    f.check(os.stat(shop.orders).st_mode & 0o777 == 0o700 and modes and set(modes.values()) == {0o600},
            "the data folder is 0700 and every file in it (the SQLite database) 0600",
            f"{os.stat(shop.orders).st_mode & 0o777:o} {modes}")


def run(shop, second=None, stop=None, start=None):
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
        f.check(page.status == 200 and outcome[0] == kind and shop.state(fields)[0] == kind,
                f"{answer}: the shop shows the {kind} page and stores {kind}",
                f"{page.status} {outcome!r} {shop.state(fields)}")
        if kind == "paid":
            f.check(euros in outcome[1] and "authorisation" in outcome[1],
                    "accept: the shop confirms the amount and the authorisation", repr(outcome))
        if kind == "refused":
            f.check("00100" in outcome[1], "refuse: the shop shows the refusal code", repr(outcome))

    # The payment server's call, then the shopper.
    fields = shop.pay("cup", 2)
    if fields is not None:
        sandbox = shop.answer(fields, "accept", notify=1)
        f.check(text_lines(sandbox, "notify-result") == ["HTTP/1.0 200 OK"] and shop.state(fields) == ("paid", 1),
                "notify: the shop accepts the server's call for a matching order and ships it", sandbox.text)
        page, outcome = shop.back_to_shop(sandbox, "paid", "notify")
        f.check(outcome[0] == "paid", "notify: then the shopper sees the paid page", repr(outcome))

    run_signed_checks(shop, http_visit(shop))
    if second is not None:
        run_race_checks(shop, second)
    if stop is not None:
        run_retry_checks(shop, stop, start)

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

    run_input_checks(shop)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--base", required=True)
    parser.add_argument("--shop", required=True, help="the shop's path on the server")
    parser.add_argument("--orders", required=True, help="the shop's data folder (its SQLite database)")
    parser.add_argument("--database", default="", help="the shop's PostgreSQL connection string instead")
    parser.add_argument("--second-base", help="a second web server of the same shop and database")
    parser.add_argument("--stop-database", help="a command that stops the database (PostgreSQL)")
    parser.add_argument("--start-database", help="the command that starts it again")
    parser.add_argument("--bin", required=True, help="the folder of kwtdata and korven-sandbox.cgi")
    parser.add_argument("--vectors", help="the signature test vectors, run against --script")
    parser.add_argument("--script", help="the shop's CGI program, run with each vector")
    args = parser.parse_args()
    f = Failures()
    try:
        shop = Shop(Client(args.base), args.shop, args.orders, args.bin, f, args.database)
        sqlite = os.path.join(args.orders, "orders.sqlite")
        # The database down: PostgreSQL stopped, or the SQLite file out of
        # the shop's reach.
        if args.stop_database:
            stop = lambda: subprocess.run(shlex.split(args.stop_database), check=True, timeout=60)  # noqa: E731
            start = lambda: subprocess.run(shlex.split(args.start_database), check=True, timeout=60)  # noqa: E731
        else:
            stop, start = lambda: os.chmod(sqlite, 0), lambda: os.chmod(sqlite, 0o600)
        run(shop, Client(args.second_base) if args.second_base else None, stop, start)
        if args.script:
            schema = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "schema.sql"), encoding="utf-8")
            f.check(schema.read() in open(args.script, encoding="utf-8").read(),
                    "the shop holds examples/schema.sql word for word")
        if args.vectors and args.script:
            run_vector_checks(f, args.script, args.vectors)
    except (OSError, http.client.HTTPException, subprocess.SubprocessError) as error:
        f.check(False, "the scenarios ran to their end", repr(error))
    print(f"shop checks: {f.passed} passed, {f.count} failed", flush=True)
    return 1 if f.count else 0


if __name__ == "__main__":
    sys.exit(main())
