#!/usr/bin/python3
"""An example shop in Python (standard library only), run as a CGI program
beside revozi.cgi in the site's cgi-bin/.

    GET  shop.cgi                  the catalogue: an article, a quantity, an e-mail address
    POST shop.cgi?step=order       records the order, runs the payment module for it and
                                   shows the payment form it returns
    GET  shop.cgi?step=paid|refused|cancelled&...
                                   the return pages the payment server sends the shopper to
    GET  shop.cgi?step=notify&...  the payment server's own call (KWT_REPONDRE_A)
    GET  shop.cgi?NUMERR=code      the module's error redirect (KWT_ERREUR)

The order is built here, from the shop's catalogue: the amount is never a
field the shopper sends. The module is run as a program (no web request in
its environment), with the order's parameters on its command line and the
mode string 34: its options file first (the payment servers), then the
command line. Its output mode C gives the payment form's start and hidden
fields, which this page completes with its own button.

The payment data travels scrambled, not signed: a shopper can change the
amount on its way. Every return is therefore checked against the stored
order (amount and order reference); a mismatch is refused and never
shipped.
"""

import json
import os
import re
import secrets
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
# Orders are kept outside the document root, writable by the web server's user.
ORDERS = os.environ.get("SHOP_ORDERS") or os.path.join(os.path.dirname(HERE), "shop-data")

# The catalogue: article -> (label, unit price in cents).
CATALOGUE = {
    "tea": ("Th\u00e9 vert, 100 g", 750),
    "cup": ("Tasse en gr\u00e8s", 1200),
    "pot": ("Th\u00e9i\u00e8re en fonte", 4590),
}

# What the payment server sends back (the sandbox's convention, see
# docs/merchant.md): amount, order reference, authorisation number, outcome code.
RETOUR = "amount:M;order:R;auth:A;code:E"

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

ORDER_REF = re.compile(r"^PY[0-9]{14}-[0-9a-f]{8}$")
MAX_BODY = 4096


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


def euros(cents):
    return f"{cents // 100},{cents % 100:02d} \u20ac"


# --- Orders ------------------------------------------------------------------

def order_path(ref):
    if not ORDER_REF.match(ref or ""):
        return None
    return os.path.join(ORDERS, ref + ".json")


def load_order(ref):
    path = order_path(ref)
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def save_order(order):
    path = order_path(order["ref"])
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(order, f)
    os.replace(tmp, path)


# --- Steps -------------------------------------------------------------------

def catalogue():
    options = "".join(f'<option value="{key}">{escape(label)} ({euros(price)})</option>'
                      for key, (label, price) in CATALOGUE.items())
    page("Boutique exemple", f"""<form method="post" action="{escape(SHOP_URL)}?step=order">
<p><label>Article <select name="article">{options}</select></label>
<label>Quantit&eacute; <select name="quantity">{''.join(f'<option>{n}</option>' for n in range(1, 6))}</select></label></p>
<p><label>Adresse &eacute;lectronique <input type="email" name="email" maxlength="80" required></label></p>
<p><input type="submit" value="Commander"></p>
</form>""")


def read_form():
    try:
        length = int(os.environ.get("CONTENT_LENGTH") or "0")
    except ValueError:
        length = 0
    if length <= 0 or length > MAX_BODY:
        return {}
    body = sys.stdin.buffer.read(length).decode("utf-8", "replace")
    return {k: v[0] for k, v in urllib.parse.parse_qs(body).items()}


def place_order():
    form = read_form()
    article = CATALOGUE.get(form.get("article", ""))
    quantity = form.get("quantity", "")
    email = form.get("email", "")[:80]
    if article is None or quantity not in {"1", "2", "3", "4", "5"}:
        return outcome("error", "Please choose an article and a quantity.", "400 Bad Request")
    label, price = article
    ref = time.strftime("PY%Y%m%d%H%M%S-") + secrets.token_hex(4)
    order = {"ref": ref, "label": label, "quantity": int(quantity), "total": price * int(quantity),
             "email": email, "status": "new"}
    save_order(order)

    # The module's parameters, all from the order record. KWT_TOTAL is the
    # amount in cents (at least 3 digits). The options file comes first: a
    # KWT_ERREUR set there is the one used (this one only when it sets none);
    # either way the shop reads just the code after "?NUMERR=".
    args = [MODULE, f"KWT_SITE={SITE}", f"KWT_RANG={RANG}", f"KWT_IDENTIFIANT={IDENTIFIANT}",
            f"KWT_DEVISE={DEVISE}", f"KWT_TOTAL={order['total']:03d}", f"KWT_CMD={ref}",
            f"KWT_PORTEUR={email}", f"KWT_RETOUR={RETOUR}", "KWT_LANGUE=FRA",
            f"KWT_EFFECTUE={SHOP_URL}?step=paid", f"KWT_REFUSE={SHOP_URL}?step=refused",
            f"KWT_ANNULE={SHOP_URL}?step=cancelled", f"KWT_REPONDRE_A={SHOP_URL}?step=notify",
            f"KWT_ERREUR={SHOP_URL}", "KWT_OUTPUT=C"]
    # A clean environment: no request variables, so the module reads no form.
    env = {"PATH": "/usr/bin:/bin", "KWT_MODE": "34"}
    try:
        run = subprocess.run(args, env=env, cwd=HERE, capture_output=True, timeout=90)
    except (OSError, subprocess.TimeoutExpired):
        return outcome("error", "The payment service could not be started. Please try again later.",
                       "503 Service Unavailable")
    # (bytes that are not UTF-8 go back out unchanged)
    text = run.stdout.decode("utf-8", "surrogateescape")
    error = re.search(r"\?NUMERR=(-?[0-9]+)$", text)
    if run.returncode != 0 or error:
        code = int(error.group(1)) if error else 0
        return show_error(code)
    if "<Form name=KORVEN" not in text:
        # The no-server page: no payment server answered.
        return outcome("error", "The payment service cannot be reached just now. Please try again later.",
                       "503 Service Unavailable")
    order["status"] = "sent"
    save_order(order)
    # Mode C: the form's start and its hidden fields (escaped by the module);
    # the button and the form's end are the shop's.
    page("Paiement", f"""<p>Commande <b id="order">{escape(ref)}</b> : {order['quantity']} &times; {escape(label)},
<b id="total">{euros(order['total'])}</b>.</p>
{text}<p><INPUT TYPE=submit VALUE="Payer {euros(order['total'])}"></p>
</Form>""")


def show_error(code):
    message = NUMERR_MESSAGES.get(code, f"The payment service refused the order (code {code}).")
    outcome("error", f"{message} (code {code})")


def check_return(query, step):
    """The amount and the order reference that came back must be those of a
    stored order; the outcome follows the page the server sent us to."""
    ref = query.get("order", "")
    order = load_order(ref)
    if order is None:
        return None, "mismatch", "No such order: this payment return is refused."
    amount = query.get("amount", "")
    if amount != f"{order['total']:03d}":
        order["status"] = "mismatch"
        save_order(order)
        return order, "mismatch", (f"The amount paid ({amount}) is not the amount of order {ref} "
                                   f"({order['total']}): the payment is refused and nothing is shipped.")
    if step == "paid":
        if query.get("code") != "00000" or not re.fullmatch(r"[0-9]{6}", query.get("auth", "")):
            return order, "mismatch", "The payment server's answer is incomplete: the payment is refused."
        order["status"] = "paid"
        order["auth"] = query["auth"]
        save_order(order)
        return order, "paid", (f"Payment of {euros(order['total'])} accepted for order {ref} "
                               f"(authorisation {order['auth']}). Thank you!")
    if order["status"] != "paid":
        order["status"] = step
        save_order(order)
    if step == "refused":
        return order, "refused", f"The payment for order {ref} was refused (code {query.get('code', '?')})."
    return order, "cancelled", f"The payment for order {ref} was cancelled. Your order is kept."


def main():
    method = os.environ.get("REQUEST_METHOD", "GET")
    query = {k: v[0] for k, v in urllib.parse.parse_qs(os.environ.get("QUERY_STRING", "")[:4096]).items()}
    step = query.get("step", "")
    if "NUMERR" in query and not step:
        try:
            code = int(query["NUMERR"])
        except ValueError:
            code = 0
        return show_error(code)
    if step == "order" and method == "POST":
        return place_order()
    if step in ("paid", "refused", "cancelled"):
        _, kind, message = check_return(query, step)
        return outcome(kind, message, "200 OK" if kind != "mismatch" else "409 Conflict")
    if step == "notify":
        # The server-to-server call: same checks, a one-line answer.
        code = query.get("code")
        kind_step = {"00000": "paid", "00100": "refused", "00200": "cancelled"}.get(code, "refused")
        _, kind, message = check_return(query, kind_step)
        status = "200 OK" if kind != "mismatch" else "409 Conflict"
        sys.stdout.buffer.write(f"Status: {status}\nContent-type: text/plain; charset=utf-8\n\n"
                                f"{kind}: {message}\n".encode("utf-8"))
        return None
    return catalogue()


if __name__ == "__main__":
    main()
