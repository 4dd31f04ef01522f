#!/usr/bin/python3
"""An example shop in Python (standard library only; python3-psycopg2 for
PostgreSQL), run as a CGI program beside revozi.cgi in the site's cgi-bin/.

    GET  shop.cgi                  the catalogue: an article, a quantity, an e-mail address
    POST shop.cgi?step=order       runs the payment module for the order, records the order
                                   and shows the payment form the module returns
    GET  shop.cgi?order=REF&step=paid|refused|cancelled&...
                                   the return pages the payment server sends the shopper to
    GET  shop.cgi?order=REF&step=notify&...
                                   the payment server's own call (KWT_REPONDRE_A)
    GET  shop.cgi?NUMERR=code      the module's error redirect (KWT_ERREUR)

The order is built here, from the shop's catalogue: the amount is never a
field the shopper sends. The module is run as a program (no web request in
its environment), with the order's parameters on its command line and the
mode string 34: its options file first (the payment servers), then the
command line. Its output mode C gives the payment form's start and hidden
fields, which this page completes with its own button.

What the shopper's browser carries can be changed on its way: the payment
data (scrambled, not signed), the return URLs, the returns themselves.
So every return and every notification is verified first, with kwtdata
against the payment server's public key (the signature covers the query
string exactly as sent); an unsigned or altered one is answered 403 and
changes nothing. A verified answer must then name this order (its own
reference, twice: in the shop's return URL and signed by the server) and
its amount; a different amount marks the order "mismatch", for good.
Orders live in a database (SQLite, or PostgreSQL for several web servers):
each answer is recorded once under its transaction number and step, and an
order changes only from a state that allows it, in one transaction, so the
shopper's return and the server's notification arriving together, on one
web server or two, ship the order once.
"""

import os
import re
import secrets
import sqlite3
import subprocess
import sys
import time
import urllib.parse
from html import escape

# --- Settings of this shop ---------------------------------------------------
# The shop's own URL, as the payment server must call it back (a fixed value,
# never taken from the request's Host header).
SHOP_URL = "http://127.0.0.1/cgi-bin/shop.cgi"
SITE, RANG, DEVISE, IDENTIFIANT = "1234567", "01", "978", "7"
HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = os.path.join(HERE, "revozi.cgi")
# The shop's private data folder, outside the document root: its SQLite
# database (orders.sqlite), the web server's user's alone.
ORDERS = os.environ.get("SHOP_ORDERS") or os.path.join(os.path.dirname(HERE), "shop-data")
# PostgreSQL instead, for a shop on several web servers: a libpq connection
# string ("host=/run/postgresql dbname=shop"); empty: SQLite in ORDERS.
DATABASE = os.environ.get("SHOP_DATABASE") or ""
# The payment server's public key (one line of base64url), outside the
# document root: every return and notification must be signed with its pair.
PAYMENT_KEY = os.environ.get("SHOP_PAYMENT_KEY") or "/etc/revozi/korven-sandbox.pub"
# The verifier, kwtdata of the package.
KWTDATA = os.environ.get("SHOP_KWTDATA") or "/usr/bin/kwtdata"
# The module's options file: the one the web server names to every program
# in cgi-bin (KWT_OPT), never a file in cgi-bin itself.
OPTIONS = os.environ.get("KWT_OPT") or "/etc/revozi/kwtinfos.txt"

# The catalogue: article -> (label, unit price in cents).
CATALOGUE = {
    "tea": ("Th\u00e9 vert, 100 g", 750),
    "cup": ("Tasse en gr\u00e8s", 1200),
    "pot": ("Th\u00e9i\u00e8re en fonte", 4590),
}

# What the payment server sends back: amount, order reference, authorisation
# number, outcome code, transaction number and, last, its signature.
RETOUR = "Mt:M;Ref:R;Auto:A;Erreur:E;Trans:T;Sig:S"
OUTCOMES = {"00000": "paid", "00100": "refused", "00200": "cancelled"}

NUMERR_MESSAGES = {
    -2: "The payment service ran short of memory. Please try again in a moment.",
    -3: "The order reached the payment service without its details. Please order again.",
    -4: "One of the shop's return addresses is too long or malformed (shop configuration).",
    -5: "The payment service cannot read its settings file (shop configuration).",
    -6: "The payment service's settings file has a malformed line (shop configuration).",
    -7: "A required detail of the order is missing.",
    -8: "A numeric detail of the order holds something other than digits.",
    -9: "The shop's site number is not 7 digits (shop configuration).",
    -10: "The shop's rank number is not 2 digits (shop configuration).",
    -11: "The amount is not between 3 and 10 digits.",
    -12: "The currency or language code is not 3 characters (shop configuration).",
    -13: "The order reference is longer than 2048 characters.",
    -14: "A payment detail is longer than 9999 bytes.",
    -16: "The e-mail address is not acceptable. Please check it and order again.",
    -17: "The payment service's merchant key does not match (shop configuration).",
    -19: "The bank code is not 5 digits (shop configuration).",
}

ORDER_REF = re.compile(r"PY[0-9]{14}-[0-9a-f]{8}")
MAX_BODY = 4096
MAX_QUERY = 4096
MAX_EMAIL = 80  # bytes
# A byte no field may hold: C0 and C1 controls, DEL.
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


class Refusal(Exception):
    """Ends the request with an error page; nothing was changed."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def page(title, body, status="200 OK"):
    out = sys.stdout.buffer
    if status != "200 OK":
        out.write(f"Status: {status}\n".encode())
    out.write(b"Content-type: text/html; charset=utf-8\nCache-Control: no-store\n\n")
    out.write(("<!DOCTYPE html>\n<html lang=\"fr\">\n<head><meta charset=\"utf-8\">"
               f"<title>{escape(title)}</title></head>\n<body>\n<h1>Boutique exemple (Python)</h1>\n"
               f"{body}\n</body>\n</html>\n").encode("utf-8", "surrogateescape"))


def outcome(kind, message, status="200 OK"):
    page(kind, f'<p id="outcome" class="{kind}">{escape(message)}</p>\n'
               f'<p><a href="{escape(SHOP_URL)}">Back to the shop</a></p>', status)


def plain(status, text):
    sys.stdout.buffer.write(f"Status: {status}\nContent-type: text/plain; charset=utf-8\n"
                            f"X-Content-Type-Options: nosniff\nCache-Control: no-store\n\n{text}\n"
                            .encode("utf-8", "backslashreplace"))


def euros(cents):
    return f"{cents // 100},{cents % 100:02d} \u20ac"


# --- Orders ------------------------------------------------------------------
# One small storage layer, the same on SQLite and PostgreSQL. Exactly once is
# the database's work: an answer is recorded under its unique key (the
# transaction number T and the step), and an order changes only from a state
# that allows it (UPDATE ... WHERE state IN OPEN, then the row count), both
# in one transaction. No lock of the shop's own: it would not hold across
# web servers.

# examples/schema.sql, word for word.
SCHEMA = """-- The example shops' orders (examples/python/shop.cgi, examples/php/shop.cgi),
-- valid for SQLite and PostgreSQL. Each shop holds this same text and creates
-- the tables when they are missing.
CREATE TABLE IF NOT EXISTS orders (
    ref         VARCHAR(32) PRIMARY KEY,
    label       VARCHAR(200) NOT NULL,
    quantity    INTEGER NOT NULL,
    total       INTEGER NOT NULL,
    email       VARCHAR(80) NOT NULL,
    state       VARCHAR(10) NOT NULL DEFAULT 'pending'
                CHECK (state IN ('pending', 'paid', 'refused', 'cancelled', 'mismatch')),
    code        VARCHAR(5),
    auth        VARCHAR(6),
    trans       VARCHAR(32),
    amount_paid VARCHAR(10),
    shipped     INTEGER NOT NULL DEFAULT 0,
    created     VARCHAR(20) NOT NULL
);
-- Every verified answer applied, once: the transaction number T of the
-- payment server with the step (notify, paid, refused, cancelled).
CREATE TABLE IF NOT EXISTS answers (
    trans       VARCHAR(32) NOT NULL,
    step        VARCHAR(10) NOT NULL,
    ref         VARCHAR(32) NOT NULL REFERENCES orders (ref),
    code        VARCHAR(5) NOT NULL,
    amount      VARCHAR(10) NOT NULL,
    received    VARCHAR(20) NOT NULL,
    PRIMARY KEY (trans, step)
);
"""
# The states an answer may still change; paid and mismatch are final.
OPEN = "('pending', 'refused', 'cancelled')"
COLUMNS = "ref, label, quantity, total, email, state, code, auth, trans, amount_paid, shipped"


class Unavailable(Exception):
    """The database cannot be reached or written just now."""


class Store:
    """The shop's database: SQLite in ORDERS, or PostgreSQL at DATABASE."""

    def __init__(self):
        self.errors = (sqlite3.Error,)
        try:
            if DATABASE:
                import psycopg2  # Debian's python3-psycopg2
                self.errors = (psycopg2.Error,)
                self.db = psycopg2.connect(DATABASE, connect_timeout=5)
            else:
                os.makedirs(ORDERS, mode=0o700, exist_ok=True)
                # Transactions are begun here (BEGIN IMMEDIATE: the write lock
                # at once); a writer waits for another up to 10 seconds.
                self.db = sqlite3.connect(os.path.join(ORDERS, "orders.sqlite"), timeout=10, isolation_level=None)
            self.schema()
        except (ImportError, OSError, *self.errors) as error:
            raise Unavailable(str(error)) from None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.db.close()

    def run(self, sql, args=()):
        """One statement, its values bound (never written into the SQL)."""
        cursor = self.db.cursor()
        cursor.execute(sql.replace("?", "%s") if DATABASE else sql, args)
        return cursor

    def end(self, commit):
        """Ends the transaction begun (PostgreSQL begins one with the first
        statement)."""
        if DATABASE:
            self.db.commit() if commit else self.db.rollback()
        elif self.db.in_transaction:
            self.run("COMMIT" if commit else "ROLLBACK")

    def transaction(self, change):
        """change() in one transaction: committed whole, or not at all."""
        try:
            if not DATABASE:
                self.run("BEGIN IMMEDIATE")
            result = change()
            self.end(True)
            return result
        except self.errors as error:
            try:
                self.end(False)
            except self.errors:
                pass
            raise Unavailable(str(error)) from None

    def schema(self):
        """The tables, created when they are missing (two shops may race to
        create them: the loser finds them made)."""
        for attempt in range(2):
            try:
                self.run("SELECT 1 FROM answers WHERE 1 = 0")
                return self.end(False)
            except self.errors:
                self.end(False)
                if attempt:
                    raise
            try:
                if DATABASE:
                    self.run(SCHEMA)
                    self.end(True)
                else:
                    self.db.executescript(SCHEMA)
            except self.errors:
                self.end(False)
        return None

    def order(self, ref):
        """The order `ref` (a dict), or None."""
        row = self.run(f"SELECT {COLUMNS} FROM orders WHERE ref = ?", (ref,)).fetchone()
        return dict(zip(COLUMNS.split(", "), row)) if row else None

    def load(self, ref):
        return self.transaction(lambda: self.order(ref))

    def create(self, order):
        self.transaction(lambda: self.run(
            "INSERT INTO orders (ref, label, quantity, total, email, created) VALUES (?, ?, ?, ?, ?, ?)",
            (order["ref"], order["label"], order["quantity"], order["total"], order["email"], now())))

    def apply(self, ref, step, kind, variables):
        """Applies a verified answer to order `ref`, once: the order
        afterwards, or None when the shop does not know it."""
        def change():
            order = self.order(ref)
            if order is None:
                return None
            recorded = self.run(
                "INSERT INTO answers (trans, step, ref, code, amount, received) VALUES (?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (trans, step) DO NOTHING",
                (variables["Trans"], step, ref, variables["Erreur"], variables["Mt"], now())).rowcount == 1
            # A repeated answer (the same T and step) changes nothing; the
            # order as the one recorded first left it.
            if not recorded:
                return self.order(ref)
            if variables["Mt"] != f"{order['total']:03d}":
                self.run(f"UPDATE orders SET state = 'mismatch', amount_paid = ? WHERE ref = ? AND state IN {OPEN}",
                         (variables["Mt"], ref))
            else:
                paid = kind == "paid"
                changed = self.run(
                    "UPDATE orders SET state = ?, code = ?, trans = ?, auth = ?, shipped = shipped + ? "
                    f"WHERE ref = ? AND state IN {OPEN}",
                    (kind, variables["Erreur"], variables["Trans"], variables["Auto"] if paid else None,
                     1 if paid else 0, ref)).rowcount == 1
                if changed and paid:
                    ship(self, ref)
            return self.order(ref)
        return self.transaction(change)


def ship(store, ref):
    """Here a real shop hands the order to its dispatch, in the same
    transaction (a row in its dispatch queue): this one counts, in the
    UPDATE that marked it paid."""


def now():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


# --- Requests ----------------------------------------------------------------

def query_items(query):
    """The shop's own parameters of the raw query (bytes): name -> value,
    the first of each name."""
    items = {}
    for item in query.split(b"&"):
        name, _, value = item.partition(b"=")
        items.setdefault(name, value)
    return items


def read_form():
    """The posted fields, UTF-8 text without a control character; a Refusal
    otherwise."""
    length = os.environ.get("CONTENT_LENGTH", "")
    if not length.isdigit() or not 0 < int(length) <= MAX_BODY:
        raise Refusal("400 Bad Request", "The order form is empty or too large.")
    body = sys.stdin.buffer.read(int(length))
    try:
        pairs = urllib.parse.parse_qsl(body.decode("ascii"), keep_blank_values=True, strict_parsing=True,
                                       encoding="utf-8", errors="strict")
    except (UnicodeDecodeError, ValueError):
        raise Refusal("400 Bad Request", "The order form is malformed.") from None
    if any(CONTROL.search(name + value) for name, value in pairs):
        raise Refusal("400 Bad Request", "The order form holds a control character.")
    return dict(pairs)


def catalogue():
    options = "".join(f'<option value="{key}">{escape(label)} ({euros(price)})</option>'
                      for key, (label, price) in CATALOGUE.items())
    page("Boutique exemple", f"""<form method="post" action="{escape(SHOP_URL)}?step=order">
<p><label>Article <select name="article">{options}</select></label>
<label>Quantit&eacute; <select name="quantity">{''.join(f'<option>{n}</option>' for n in range(1, 6))}</select></label></p>
<p><label>Adresse &eacute;lectronique <input type="email" name="email" maxlength="{MAX_EMAIL}" required></label></p>
<p><input type="submit" value="Commander"></p>
</form>""")


def place_order():
    form = read_form()
    article = CATALOGUE.get(form.get("article", ""))
    quantity = form.get("quantity", "")
    email = form.get("email", "")
    if article is None or quantity not in {"1", "2", "3", "4", "5"}:
        raise Refusal("400 Bad Request", "Please choose an article and a quantity.")
    if len(email.encode()) > MAX_EMAIL:
        raise Refusal("400 Bad Request", f"The e-mail address is longer than {MAX_EMAIL} bytes.")
    label, price = article
    ref = time.strftime("PY%Y%m%d%H%M%S-") + secrets.token_hex(4)
    order = {"ref": ref, "label": label, "quantity": int(quantity), "total": price * int(quantity),
             "email": email}
    return_url = f"{SHOP_URL}?order={ref}&step="

    # The module's parameters, all from the order record. KWT_TOTAL is the
    # amount in cents (at least 3 digits). The options file comes first: a
    # KWT_ERREUR set there is the one used (this one only when it sets none);
    # either way the shop reads just the code after "?NUMERR=".
    args = [MODULE, f"KWT_SITE={SITE}", f"KWT_RANG={RANG}", f"KWT_IDENTIFIANT={IDENTIFIANT}",
            f"KWT_DEVISE={DEVISE}", f"KWT_TOTAL={order['total']:03d}", f"KWT_CMD={ref}",
            f"KWT_PORTEUR={email}", f"KWT_RETOUR={RETOUR}", "KWT_LANGUE=FRA",
            f"KWT_EFFECTUE={return_url}paid", f"KWT_REFUSE={return_url}refused",
            f"KWT_ANNULE={return_url}cancelled", f"KWT_REPONDRE_A={return_url}notify",
            f"KWT_ERREUR={SHOP_URL}", "KWT_OUTPUT=C"]
    # A clean environment: no request variables, so the module reads no form.
    env = {"PATH": "/usr/bin:/bin", "KWT_MODE": "34", "KWT_OPT": OPTIONS}
    try:
        run = subprocess.run(args, env=env, cwd=HERE, capture_output=True, timeout=90)
    except (OSError, subprocess.TimeoutExpired):
        return outcome("error", "The payment service could not be started. Please try again later.",
                       "503 Service Unavailable")
    # (bytes that are not UTF-8 go back out unchanged)
    text = run.stdout.decode("utf-8", "surrogateescape")
    error = re.search(r"\?NUMERR=(-?[0-9]+)$", text)
    if run.returncode != 0 or error:
        return show_error(int(error.group(1)) if error else 0)
    if "<Form name=KORVEN" not in text:
        # The no-server page: no payment server answered.
        return outcome("error", "The payment service cannot be reached just now. Please try again later.",
                       "503 Service Unavailable")
    # Recorded only now: an order the module refused leaves nothing behind.
    try:
        with Store() as store:
            store.create(order)
    except Unavailable:
        return outcome("error", "The shop cannot record orders just now. Please try again later.",
                       "503 Service Unavailable")
    # Mode C: the form's start and its hidden fields (escaped by the module);
    # the button and the form's end are the shop's.
    page("Paiement", f"""<p>Commande <b id="order">{escape(ref)}</b> : {order['quantity']} &times; {escape(label)},
<b id="total">{euros(order['total'])}</b>.</p>
{text}<p><INPUT TYPE=submit VALUE="Payer {euros(order['total'])}"></p>
</Form>""")


def show_error(code):
    message = NUMERR_MESSAGES.get(code, f"The payment service refused the order (code {code}).")
    outcome("error", f"{message} (code {code})")


# --- The payment server's answers --------------------------------------------

def unescape(text):
    """A name or value as kwtdata verify prints it: %XX escapes decoded."""
    return urllib.parse.unquote(text, encoding="utf-8", errors="surrogateescape")


def verified_answer():
    """The payment server's signed variables of a return or notification
    (a dict) and the return URL's own `order` and `step`, after kwtdata has
    checked the query exactly as the client sent it (REQUEST_URI, as every
    web server passes it unchanged); a 403 Refusal with kwtdata's reason
    otherwise."""
    env = {name: os.environb[name] for name in (b"REQUEST_URI", b"QUERY_STRING") if name in os.environb}
    try:
        run = subprocess.run([KWTDATA, "verify", "--key", PAYMENT_KEY, "--retour", RETOUR, "--cgi"], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        raise Refusal("503 Service Unavailable", "The shop cannot verify payment answers just now.") from None
    if run.returncode != 0:
        reason = run.stderr.decode("ascii", "replace").removeprefix("kwtdata: ").splitlines() or ["no reason"]
        if run.returncode != 1:
            # A setting of the shop is wrong: the reason goes to the web server's log.
            sys.stderr.write(f"shop.cgi: kwtdata verify: {reason[0][:200]}\n")
            raise Refusal("503 Service Unavailable", "The shop cannot verify payment answers just now.")
        raise Refusal("403 Forbidden", f"Refused: not signed by the payment server ({reason[0][:200]}).")
    signed, own = {}, {}
    for line in run.stdout.decode("ascii", "surrogateescape").splitlines():
        if line.startswith("source: "):
            continue
        # The return URL's own variables are not signed: of them the shop
        # reads only its `order` and `step`, each given once.
        url = line.startswith("url:")
        name, _, value = line.removeprefix("url:").partition("=")
        name, value = unescape(name), unescape(value)
        if url and name in ("order", "step"):
            if name in own:
                raise Refusal("403 Forbidden", f"Refused: the return URL names {name} twice.")
            own[name] = value
        elif not url:
            signed[name] = value
    return signed, own


def answer(step):
    """A return (the shopper's browser) or a notification (the payment
    server): verified, then applied to its order once (Store.apply)."""
    variables, own = verified_answer()
    # From here on `variables` are the payment server's.
    ref = variables.get("Ref", "")
    if own.get("step") != step or own.get("order") != ref:
        raise Refusal("403 Forbidden", "Refused: this payment answer is for another order.")
    kind = OUTCOMES.get(variables.get("Erreur", ""))
    amount, auth = variables.get("Mt", ""), variables.get("Auto", "")
    if kind is None or not re.fullmatch(r"[0-9]{3,10}", amount) or \
            (kind == "paid" and not re.fullmatch(r"[0-9]{6}", auth)):
        raise Refusal("403 Forbidden", "Refused: the payment answer is incomplete.")
    # A return page shows one outcome: a refusal sent to the page of an
    # accept (or the reverse) is not this page's answer.
    if step != "notify" and kind != step:
        raise Refusal("403 Forbidden", "Refused: this payment answer is not for this return page.")
    if not re.fullmatch(r"[0-9A-Za-z]{1,32}", variables.get("Trans", "")):
        raise Refusal("403 Forbidden", "Refused: the payment answer has no transaction number.")
    # Not known here: perhaps not yet (an order recorded on another web
    # server, a database restored): the payment server is asked to call again.
    unknown = Refusal("503 Service Unavailable", "This order is not known here (yet).") if step == "notify" \
        else Refusal("403 Forbidden", "Refused: no such order.")
    if not ORDER_REF.fullmatch(ref):
        raise unknown
    try:
        with Store() as store:
            order = store.apply(ref, step, kind, variables)
    except Unavailable:
        raise Refusal("503 Service Unavailable", "The shop cannot record payment answers just now.") from None
    if order is None:
        raise unknown
    return order


def order_message(order):
    """The order's state after an answer: kind, message, HTTP status."""
    ref, status = order["ref"], order["state"]
    if status == "paid":
        return status, (f"Payment of {euros(order['total'])} accepted for order {ref} "
                        f"(authorisation {order['auth']}). Thank you!"), "200 OK"
    if status == "mismatch":
        return status, (f"The amount paid ({order['amount_paid']}) is not the amount of order {ref} "
                        f"({order['total']}): the payment is refused and nothing is shipped."), "409 Conflict"
    if status == "refused":
        return status, f"The payment for order {ref} was refused (code {order['code']}).", "200 OK"
    if status == "pending":
        return status, f"The payment for order {ref} is not confirmed yet.", "200 OK"
    return status, f"The payment for order {ref} was cancelled. Your order is kept.", "200 OK"


def route(query):
    """The page for the request; `query` is the raw query string."""
    items = query_items(query)
    step = items.get(b"step")
    if step is None and b"NUMERR" in items:
        if not re.fullmatch(rb"-?[0-9]{1,4}", items[b"NUMERR"]):
            raise Refusal("400 Bad Request", "NUMERR is not a number.")
        return show_error(int(items[b"NUMERR"]))
    if step is None:
        return catalogue()
    if step == b"order" and os.environ.get("REQUEST_METHOD") == "POST":
        return place_order()
    if step in (b"paid", b"refused", b"cancelled"):
        kind, message, status = order_message(answer(step.decode()))
        return outcome(kind, message, status)
    raise Refusal("400 Bad Request", "No such page.")


def main():
    os.umask(0o077)
    query = os.environb.get(b"QUERY_STRING", b"")
    notify = query_items(query).get(b"step") == b"notify"
    try:
        if len(query) > MAX_QUERY:
            raise Refusal("400 Bad Request", "The query string is too long.")
        if notify:
            # The server-to-server call: a one-line answer; 200 once the
            # answer is verified and recorded, also when it changed nothing.
            kind, message, _ = order_message(answer("notify"))
            return plain("200 OK", f"{kind}: {message}")
        return route(query)
    except Refusal as refusal:
        if notify or refusal.status.startswith("403"):
            return plain(refusal.status, f"{refusal.message} Nothing was changed.")
        return outcome("error", refusal.message, refusal.status)


if __name__ == "__main__":
    main()
