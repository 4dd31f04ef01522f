#!/usr/bin/env python3
"""Hostile-input corpus: runs the built module as a CGI program (explicit
environment, nothing inherited) with hostile values in every parameter, every
source, every dialect and every output mode, and checks each response.

    hostile.py MODULE

Hostile values carry quotes, angle brackets, ampersands, dollar signs, '='
and '&', NUL escapes (%00), the bytes 0x80 to 0xFF and control characters,
and have lengths of 0, 1, 150, 151, 2048, 2049, 3071, 3072 and 100000 bytes.
Requests also announce a CONTENT_LENGTH larger than the body, negative or
huge, and options files have long lines and no line end.

Every run must end with a complete, well-formed response and the documented
exit status (0 for payment and no-server pages, 1 for error pages and
redirects). In HTML every '<' opens a tag the module writes, every '&' an
entity it writes, no tag or attribute comes from a value, and no "<script"
appears; WML decks pass xmllint. Each value is framed by two markers that
occur nowhere else, so wherever a value lands in markup the bytes between its
markers must be exactly the value, escaped.

Payment-page runs reach a listener of this script on 127.0.0.1; no-server
runs name hosts under .invalid. Standard library only.
"""

import html.parser
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from loopback_listener import Listener  # noqa: E402

RUN_TIMEOUT = 60          # seconds for one run of the module
STRICT = os.environ.get("REVOZI_HOSTILE_STRICT") == "1"

# ---------------------------------------------------------------------------
# Parameters

PARAMS = [
    "KWT_MODE", "KWT_OPT", "KWT_SITE", "KWT_RANG", "KWT_TOTAL", "KWT_DEVISE", "KWT_LANGUE",
    "KWT_CMD", "KWT_PORTEUR", "KWT_ANNULE", "KWT_EFFECTUE", "KWT_REFUSE", "KWT_RETOUR",
    "KWT_KORVEN", "KWT_REPONDRE_A", "KWT_OUTPUT", "KWT_BOUTON", "KWT_BKGD", "KWT_CLE",
    "KWT_ERREUR", "KWT_IDENTIFIANT", "KWT_PAIEMENT", "KWT_CODEFAMILLE", "KWT_WAIT", "KWT_TXT",
    "KWT_BOUTPI", "KWT_SOURCE", "KWT_BACKUP1", "KWT_BACKUP2", "KWT_BACKUP3", "KWT_BACKUP4",
    "KWT_VERSION", "KWT_PING", "KWT_PATH_RW", "KWT_PORT", "KWT_TOTAL_MAJORE", "KWT_RUF1",
    "KWT_RUF2", "KWT_DEMO", "KWT_TYPEPAIEMENT", "KWT_TYPECARTE", "KWT_TRAITEMENT",
    "KWT_BANQUE", "KWT_AUTOSEULE", "KWT_TRACE", "KWT_TIMEOUT", "KWT_TIMEOUT1", "KWT_TIMEOUT2",
    "KWT_TIMEOUT3", "KWT_TIMEOUT4", "KWT_ENTITE", "KWT_2MONT1", "KWT_2MONT2", "KWT_2MONT3",
    "KWT_DATE1", "KWT_DATE2", "KWT_DATE3", "KWT_DIFF",
]
assert len(PARAMS) == 58
SERVER_SLOTS = ["KWT_KORVEN", "KWT_BACKUP1", "KWT_BACKUP2", "KWT_BACKUP3", "KWT_BACKUP4"]
# Parameters whose hostile value leaves a valid order valid and the primary
# server reachable: the payment page must come.
FREE_TEXT = {
    "KWT_OPT", "KWT_OUTPUT", "KWT_BOUTON", "KWT_BKGD", "KWT_WAIT", "KWT_TXT", "KWT_BOUTPI",
    "KWT_PAIEMENT", "KWT_CODEFAMILLE", "KWT_SOURCE", "KWT_BACKUP1", "KWT_BACKUP2",
    "KWT_BACKUP3", "KWT_BACKUP4", "KWT_VERSION", "KWT_PING", "KWT_PATH_RW", "KWT_TOTAL_MAJORE",
    "KWT_RUF1", "KWT_RUF2", "KWT_DEMO", "KWT_TYPEPAIEMENT", "KWT_TYPECARTE", "KWT_TRAITEMENT",
    "KWT_AUTOSEULE", "KWT_TRACE", "KWT_ENTITE", "KWT_2MONT1", "KWT_2MONT2", "KWT_2MONT3",
    "KWT_DATE1", "KWT_DATE2", "KWT_DATE3", "KWT_DIFF",
}
# Written into the pages (escaped) when non-empty.
SHOWN_TEXT = ["KWT_TXT", "KWT_BOUTON", "KWT_BKGD"]
FORWARDED = ["KWT_PAIEMENT", "KWT_CODEFAMILLE", "KWT_TOTAL_MAJORE", "KWT_RUF1", "KWT_RUF2",
             "KWT_DEMO", "KWT_TYPEPAIEMENT", "KWT_TYPECARTE", "KWT_TRAITEMENT", "KWT_AUTOSEULE",
             "KWT_ENTITE"]
URL_PARAMS = ["KWT_ANNULE", "KWT_EFFECTUE", "KWT_REFUSE"]   # forwarded, at most 150 bytes
# A URL parameter or server URL holding one of these bytes is refused.
CONTROL_BYTES = bytes(range(0x20)) + b"\x7f"
# Written into the data record after a 4-digit length: at most 9999 bytes.
RECORD_FIELDS = {"KWT_PORTEUR", "KWT_CMD", "KWT_REPONDRE_A", "KWT_RETOUR", "KWT_PAIEMENT",
                 "KWT_CODEFAMILLE", "KWT_IDENTIFIANT", "KWT_2MONT1", "KWT_DATE1", "KWT_2MONT2",
                 "KWT_DATE2", "KWT_2MONT3", "KWT_DATE3", "KWT_DIFF"}

ORDER = [("KWT_SITE", b"1234567"), ("KWT_RANG", b"01"), ("KWT_TOTAL", b"1500"),
         ("KWT_DEVISE", b"978"), ("KWT_CMD", b"ORDER42"), ("KWT_PORTEUR", b"shopper@example.fr"),
         ("KWT_RETOUR", b"M:M"), ("KWT_IDENTIFIANT", b"7")]
NO_SERVERS = [("KWT_KORVEN", b"https://primary.invalid/pay"), ("KWT_BACKUP1", b"https://b1.invalid/pay"),
              ("KWT_BACKUP2", b"https://b2.invalid/pay"), ("KWT_BACKUP3", b"https://b3.invalid/pay")]

# ---------------------------------------------------------------------------
# Hostile values

SPECIAL = (b"\"'><script>alert(1)</script><img src=x onerror=alert(2)>&amp;&#39;&lt;"
           b"$(x)${y}$$z=a&b=c%41 ]]><!-- -->")
HIGH_BYTES = bytes(range(0x80, 0x100))
CONTROLS = bytes(range(0x01, 0x20)) + b"\x7f"
FILLER = b"<>\"'&$=&\x80\xff\x01 a"
LENGTHS = [0, 1, 150, 151, 2048, 2049, 3071, 3072, 100000]


class Value:
    """A hostile value: `sent` is what the request carries, `delivered` what
    the module receives (a NUL ends it). Values of at least 16 bytes are framed
    by an opening and a closing marker, letters only, unique to the value."""

    counter = 0

    def __init__(self, payload=b"", length=None, framed=True, prefix=b""):
        Value.counter += 1
        tag = self._letters(Value.counter)
        self.open = b"Zq" + tag + b"x"
        self.close = b"Xq" + tag + b"z"
        if length is not None:
            inner = length - len(self.open) - len(self.close)
            framed = inner >= 0
            if framed:
                payload = (FILLER * (inner // len(FILLER) + 1))[:inner]
            else:
                payload = (FILLER * 2)[:length]
        self.sent = prefix + (self.open + payload + self.close if framed else payload)
        self.delivered = self.sent.split(b"\0")[0]
        self.framed = framed
        self.prefix = prefix

    @staticmethod
    def _letters(n):
        out = b""
        while True:
            out = bytes([ord("a") + n % 26]) + out
            n //= 26
            if n == 0:
                return out

    def without(self, forbidden):
        """The same value with the given bytes dropped (for transports that
        cannot carry them)."""
        v = Value.__new__(Value)
        v.__dict__.update(self.__dict__)
        v.sent = bytes(b for b in self.sent if b not in forbidden)
        v.delivered = v.sent.split(b"\0")[0]
        return v


def hostile_values():
    """The values tried in every parameter."""
    values = [Value(SPECIAL), Value(HIGH_BYTES), Value(CONTROLS),
              Value(b"abc<b>\0<script>alert(3)</script>")]  # %00 ends the value
    values += [Value(length=n) for n in LENGTHS]
    return values


# ---------------------------------------------------------------------------
# Running the module

def quote(value):
    return urllib.parse.quote_from_bytes(value, safe="").encode()


def form_text(pairs):
    return b"&".join(name.encode() + b"=" + quote(value) for name, value in pairs)


class Request:
    """One run: an explicit environment, arguments, standard input, cwd."""

    def __init__(self, env=None, args=None, stdin=b"", cwd="/"):
        self.env = dict(env or {})
        self.args = list(args or [])
        self.stdin = stdin
        self.cwd = cwd


def build(pairs, source, workdir, extra_env=None):
    """A request that carries `pairs` (name, bytes) through one source:
    GET, POST, env, args or options."""
    env = {b"GATEWAY_INTERFACE": b"CGI/1.1"}
    env.update(extra_env or {})
    if source == "GET" and len(form_text(pairs)) > 100000:
        source = "POST"   # one environment string holds at most 128 KiB
    if source == "GET":
        env.update({b"REQUEST_METHOD": b"GET", b"QUERY_STRING": form_text(pairs)})
        return Request(env)
    if source == "POST":
        body = form_text(pairs)
        env.update({b"REQUEST_METHOD": b"POST", b"CONTENT_LENGTH": str(len(body)).encode(),
                    b"CONTENT_TYPE": b"application/x-www-form-urlencoded"})
        return Request(env, stdin=body)
    if source == "env":
        env[b"KWT_MODE"] = b"2"
        for name, value in pairs:
            env.setdefault(name.encode(), value)
        return Request(env)
    if source == "args":
        return Request(env, args=[b"KWT_MODE=4"] + [n.encode() + b"=" + v for n, v in pairs])
    if source == "options":
        path = os.path.join(workdir, "options.txt")
        with open(path, "wb") as f:
            f.write(b"# hostile settings\n")
            f.write(b"".join(n.encode() + b"=" + v + b"\n" for n, v in pairs))
        env.update({b"KWT_MODE": b"3", b"KWT_OPT": path.encode()})
        return Request(env)
    raise ValueError(source)


def run(module, request):
    start = time.monotonic()
    proc = subprocess.run([module] + request.args, env=request.env, input=request.stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=request.cwd,
                          timeout=RUN_TIMEOUT)
    return proc.returncode, proc.stdout, proc.stderr, time.monotonic() - start


# ---------------------------------------------------------------------------
# Checking a response

HTML_HEAD = "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
PAGE_HEAD = "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n"
PAGE_END = "</BODY>\n</HTML>\n"
WML_HEAD = "Content-type: text/vnd.wap.wml\n\n"
COMMENT = "<!-- KORVEN REVOZI.CGI v401 -->\n"
VERSION = "<CENTER><B>Version 221 - Sources 4.10</B></CENTER>\n"
DIAGNOSTIC = r"<br><CENTER><B>\n[^<>&]*</B></CENTER>\n"
TRACE_LINE = re.compile(r"<CENTER><B>(?:gethostbyname\(\) erreur -?\d+|socket\(\) en erreur|"
                        r"connect\(\) erreur -?\d+|URL refus&eacute;e) pour le serveur [^<>\n]*</B></P></CENTER>\n")
TRACE_PAGE = re.compile(re.escape(HTML_HEAD + PAGE_HEAD + "<BODY>\n") + "(?:" + TRACE_LINE.pattern +
                        ")*" + re.escape(PAGE_END))
ERROR_PAGE = re.compile(r"(?:<BODY>\n)?<CENTER><P><B>KORVEN INPUT ERROR \(code (-\d+)\)</B></P>"
                        r"</CENTER>\n" + re.escape(VERSION) + DIAGNOSTIC + re.escape(PAGE_END) + r"\Z")
NO_SERVER_PAGE = re.compile(r"<BODY>\n<CENTER><B>AUCUN SERVEUR DISPONIBLE</B></P></CENTER>\n" +
                            re.escape(VERSION) + DIAGNOSTIC + re.escape(PAGE_END) + r"\Z")
DATA_ONLY = re.compile(r"v401[0-9A-Z]+\n\Z")

HTML_TAGS = {"html", "head", "title", "body", "center", "b", "br", "p", "form", "input", "a", "meta"}
HTML_ATTRS = {"background", "bgcolor", "onload", "name", "action", "method", "type", "value",
              "href", "onclick", "http-equiv", "content"}
HTML_ENTITIES = re.compile(r"&(?:amp|lt|gt|quot|#39|eacute);")
WML_TAGS = {"wml", "card", "p", "br", "b", "do", "go", "postfield", "template", "prev"}
WML_ENTITIES = re.compile(r"&(?:amp|lt|gt|quot|#39|nbsp|#233);")
ONLOAD = re.compile(r"document\.KORVEN\.submit\(\);|setTimeout\('document\.KORVEN\.submit\(\)',\d{1,9}\)\Z")

STATUS_OF = {"payment": 0, "noserver": 0, "error": 1, "redirect": 1, "ping-ok": 0, "ping-none": 1}


def esc_html(data):
    return (data.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&#39;"))


def esc_wml(data):
    return esc_html(data).replace("$", "$$")


class Problems(list):
    def add(self, text):
        self.append(text)


class TagCollector(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = []        # (tag, [(name, value)])
        self.ends = []
        self.comments = []
        self.others = []      # declarations, processing instructions

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, attrs))

    def handle_startendtag(self, tag, attrs):
        self.tags.append((tag, attrs))

    def handle_endtag(self, tag):
        self.ends.append(tag)

    def handle_comment(self, data):
        self.comments.append(data)

    def handle_decl(self, decl):
        self.others.append(decl)

    def handle_pi(self, data):
        self.others.append(data)

    def unknown_decl(self, data):
        self.others.append(data)


def check_values_escaped(text, values, escape, problems, where):
    """Wherever a framed value appears, exactly its escaped bytes follow its
    opening marker."""
    for v in values:
        if not v.framed:
            continue
        opening = v.open.decode("latin-1")
        rest = escape(v.delivered[len(v.prefix) + len(v.open):].decode("latin-1"))
        at = text.find(opening)
        while at >= 0:
            following = text[at + len(opening):at + len(opening) + len(rest)]
            if following != rest:
                problems.add(f"{where}: value {v.open!r} not written exactly and escaped: "
                             f"{text[max(0, at - 40):at + len(opening) + 80]!r}")
                break
            at = text.find(opening, at + 1)


def markers_of(values):
    out = []
    for v in values:
        if v.framed:
            out += [v.open.decode("latin-1"), v.close.decode("latin-1")]
    return out


def check_html(text, values, problems, where):
    if "<script" in text.lower():
        problems.add(f"{where}: '<script' in the output")
    for m in re.finditer("<", text):
        tail = text[m.start():m.start() + 64]
        if tail.startswith("<!--"):
            continue
        t = re.match(r"</?([A-Za-z]+)[\s>/]", tail)
        if not t or t.group(1).lower() not in HTML_TAGS:
            problems.add(f"{where}: '<' that opens no tag of the module: {tail!r}")
            break
    for m in re.finditer("&", text):
        if not HTML_ENTITIES.match(text, m.start()):
            problems.add(f"{where}: '&' that begins no entity: {text[m.start():m.start() + 24]!r}")
            break
    parser = TagCollector()
    parser.feed(text)
    parser.close()
    markers = markers_of(values)
    for tag, attrs in parser.tags:
        if tag not in HTML_TAGS:
            problems.add(f"{where}: tag <{tag}> is not one the module writes")
        for name, value in attrs:
            if name not in HTML_ATTRS:
                problems.add(f"{where}: attribute {name!r} on <{tag}> is not one the module writes")
            if name == "onload" and not ONLOAD.match(value or ""):
                problems.add(f"{where}: onload={value!r}")
            if name == "onclick" and value != "history.go(-2);":
                problems.add(f"{where}: onclick={value!r}")
            if name == "content" and not (value or "").startswith("0;URL="):
                problems.add(f"{where}: content={value!r}")
        for marker in markers:
            if marker in tag or any(marker in name for name, _ in attrs):
                problems.add(f"{where}: a value became a tag or attribute name: <{tag} {attrs!r}>")
    for tag in parser.ends:
        if tag not in HTML_TAGS:
            problems.add(f"{where}: end tag </{tag}>")
    for comment in parser.comments:
        if comment != " KORVEN REVOZI.CGI v401 ":
            problems.add(f"{where}: comment {comment!r}")
    if parser.others:
        problems.add(f"{where}: declarations or instructions {parser.others!r}")
    check_values_escaped(text, values, esc_html, problems, where)


XML_UNFIT = re.compile(rb"[\x00-\x08\x0b\x0c\x0e-\x1f]")


def xml_unfit(data):
    """True when `data` holds bytes that no XML 1.0 document in UTF-8 can carry."""
    if XML_UNFIT.search(data):
        return True
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return True
    return False


def xmllint(data):
    proc = subprocess.run(["xmllint", "--noout", "--nonet", "-"], input=data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
    # &nbsp; is declared by the WML DTD, which --nonet does not load: its
    # three-line notices are not faults.
    lines = proc.stderr.decode("latin-1").splitlines()
    kept = []
    skip = 0
    for line in lines:
        if skip:
            skip -= 1
            continue
        if "Entity 'nbsp' not defined" in line:
            skip = 2
            continue
        kept.append(line)
    return proc.returncode == 0 and not kept, "\n".join(kept[:6])


class Known(list):
    """Known limitations, reported but not failed (unless strict)."""


def check_wml(data, values, problems, known, where, fragment=False):
    text = data.decode("latin-1")
    doc = (b"<?xml version=\"1.0\"?>\n<wml><card>" + data + b"</card></wml>\n") if fragment else data
    ok, messages = xmllint(doc)
    if not ok:
        if xml_unfit(data):
            known.append(f"{where}: WML deck carries bytes XML cannot hold ({messages.splitlines()[0] if messages else ''})")
        else:
            problems.add(f"{where}: xmllint: {messages}")
    for m in re.finditer("<", text):
        tail = text[m.start():m.start() + 64]
        if tail.startswith("<!--") or tail.startswith("<?xml version=\"1.0\"?>") or \
                tail.startswith("<!DOCTYPE wml PUBLIC"):
            continue
        t = re.match(r"</?([A-Za-z]+)[\s>/]", tail)
        if not t or t.group(1) not in WML_TAGS:
            problems.add(f"{where}: '<' that opens no element of the module: {tail!r}")
            break
    for m in re.finditer("&", text):
        if not WML_ENTITIES.match(text, m.start()):
            problems.add(f"{where}: '&' that begins no entity: {text[m.start():m.start() + 24]!r}")
            break
    if "$" in text.replace("$$", ""):
        problems.add(f"{where}: a single '$' (a WML variable reference)")
    for comment in re.findall(r"<!--(.*?)-->", text, re.S):
        if comment != " KORVEN REVOZI.CGI v401 ":
            problems.add(f"{where}: comment {comment!r}")
    for marker in markers_of(values):
        for name in re.findall(r"<([^\s>/]*)", text) + re.findall(r"\s([^\s=<>]+)=\"", text):
            if marker in name:
                problems.add(f"{where}: a value became an element or attribute name: {name!r}")
    check_values_escaped(text, values, esc_wml, problems, where)


def classify(out, problems, known, values, case):
    """The kind of the response, after checking its form; None if malformed."""
    text = out.decode("latin-1")
    where = case
    rest = text
    traced = False
    trace = TRACE_PAGE.match(rest)
    if trace:
        check_html(trace.group(0)[len(HTML_HEAD):], values, problems, where + " (trace)")
        rest = rest[trace.end():]
        traced = True
        if rest == "":
            return "noserver"   # HTML and i-mode: the trace page is the whole answer
    if rest.startswith("Serveur: ") and rest.endswith("\n") and rest.count("\n") == 1:
        return "ping-ok"
    if rest == "Aucun serveur disponible\n":
        return "ping-none"
    if rest.startswith(HTML_HEAD):
        body = rest[len(HTML_HEAD):]
        check_html(body, values, problems, where)
        if body.startswith("<HEAD>\n<META HTTP-EQUIV=\"refresh\" CONTENT=\"0;URL="):
            if not body.endswith(PAGE_END):
                problems.add(f"{where}: redirect page without its end")
            return "redirect"
        if body.startswith(PAGE_HEAD):
            page = body[len(PAGE_HEAD):]
            if ERROR_PAGE.match(page):
                return "error"
            if NO_SERVER_PAGE.match(page):
                return "noserver"
            if page.startswith("<BODY") and "<Form name=KORVEN Action='" in page:
                if not (page.endswith("</CENTER>" + PAGE_END) or page.endswith("'>\n")):
                    problems.add(f"{where}: payment page without its end: {page[-80:]!r}")
                return "payment"
        problems.add(f"{where}: HTML response of no known kind: {body[:200]!r}")
        return None
    if rest.startswith(WML_HEAD):
        deck = rest[len(WML_HEAD):]
        check_wml(deck.encode("latin-1"), values, problems, known, where)
        if not deck.startswith("<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC") or \
                not deck.endswith("</card>\n</wml>\n"):
            problems.add(f"{where}: WML deck incomplete")
        if "<b>KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code -" in deck and "<template>" in deck:
            return "error"
        if "<b>AUCUN&nbsp;SERVEUR&nbsp;DISPONIBLE</b>" in deck and "<template>" in deck:
            return "noserver"
        if "<go href=\"" in deck and "<postfield name=\"KWT_DATA\" value=\"v401" in deck:
            return "payment"
        problems.add(f"{where}: WML deck of no known kind")
        return None
    if traced:
        problems.add(f"{where}: trace page followed by {rest[:120]!r}")
        return None
    if rest.startswith(COMMENT + "<Form name=KORVEN Action='"):
        check_html(rest, values, problems, where)
        if not (rest.endswith("</CENTER>") or rest.endswith("'>\n")):
            problems.add(f"{where}: fragment end {rest[-60:]!r}")
        return "payment"
    if rest.startswith("<p>\n" + COMMENT + "</p>\n<p>\n<do type=\"accept\" label=\"OK\">\n"):
        check_wml(rest.encode("latin-1"), values, problems, known, where, fragment=True)
        if not rest.endswith("</go>\n</do>\n</p>\n"):
            problems.add(f"{where}: WML fragment end {rest[-60:]!r}")
        return "payment"
    if DATA_ONLY.match(rest):
        return "payment"
    # The bare URL of mode C: not markup, one line of at most 167 bytes with no
    # control byte anywhere, so that it can never end a header or start one.
    if re.fullmatch(r"[^\x00-\x1f\x7f]*\?NUMERR=-\d+", rest) and len(rest) <= 167:
        return "redirect"
    problems.add(f"{where}: response of no known form: {rest[:200]!r}")
    return None


# ---------------------------------------------------------------------------
# The corpus

class Runner:
    def __init__(self, module, workdir, listener):
        self.module = module
        self.workdir = workdir
        self.listener = listener
        self.passed = 0
        self.failed = 0
        self.known = Known()
        self.slowest = 0.0

    def served(self):
        """Every server slot on loopback: the primary one is the listener."""
        return [("KWT_KORVEN", b"http://127.0.0.1/cgi/pay.cgi"), ("KWT_PORT", str(self.listener.port).encode()),
                ("KWT_BACKUP1", b"http://127.0.0.1/b1"), ("KWT_BACKUP2", b"http://127.0.0.1/b2"),
                ("KWT_BACKUP3", b"http://127.0.0.1/b3")]

    def check(self, case, request, values, expect=None, status=None):
        try:
            code, out, err, seconds = run(self.module, request)
        except subprocess.TimeoutExpired:
            self.fail(case, [f"no answer within {RUN_TIMEOUT}s"])
            return None
        self.slowest = max(self.slowest, seconds)
        problems = Problems()
        kind = classify(out, problems, self.known, values, case)
        if kind is not None:
            if code != STATUS_OF[kind]:
                problems.add(f"{case}: exit status {code} for a {kind} response")
            if expect is not None and kind not in expect:
                problems.add(f"{case}: a {kind} response, expected {sorted(expect)}")
        if status is not None and code != status:
            problems.add(f"{case}: exit status {code}, expected {status}")
        if code < 0 or code > 1:
            problems.add(f"{case}: exit status {code}; stderr {err[:400]!r}")
        expected_err = b"Aucun serveur disponible\n" if kind == "ping-none" else b""
        if err != expected_err:
            problems.add(f"{case}: standard error {err[:400]!r}")
        if problems:
            self.fail(case, problems)
        else:
            self.passed += 1
        return kind

    def fail(self, case, problems):
        self.failed += 1
        print(f"FAIL {case}")
        for p in problems[:8]:
            print("   ", p[:600])

    # Every parameter, every hostile value, in the HTML dialect.
    def every_parameter(self):
        for i, name in enumerate(PARAMS):
            for j, value in enumerate(hostile_values()):
                pairs = dict(ORDER)
                pairs.update(dict(self.served()))
                if name in SERVER_SLOTS:
                    # The slot under test is the first that can answer.
                    value = Value(value.sent, framed=False, prefix=b"http://127.0.0.1/") \
                        if not value.framed else self._prefixed(value, b"http://127.0.0.1/")
                    for slot in SERVER_SLOTS[:SERVER_SLOTS.index(name)]:
                        pairs[slot] = b"http://" + slot.lower().encode() + b".invalid/"
                pairs[name] = value.sent
                # A GET query string lives in one environment string, at most
                # 128 KiB: the longest values travel in a POST body.
                source = "GET" if ((i + j) % 2 == 0 and len(value.sent) < 30000) or \
                    b"\0" in value.sent else "POST"
                request = build(list(pairs.items()), source, self.workdir)
                expect = {"payment"} if name in FREE_TEXT else None
                if name in SERVER_SLOTS and expect and any(b in CONTROL_BYTES for b in value.delivered):
                    # Passed over as no web address: a later served slot answers.
                    served_after = [s for s in SERVER_SLOTS[SERVER_SLOTS.index(name) + 1:]
                                    if s in dict(self.served())]
                    expect = {"payment"} if served_after else {"noserver"}
                if name in RECORD_FIELDS and len(value.delivered) > 9999:
                    expect = {"error"}      # -14: too long for its length prefix
                if name == "KWT_PORT":
                    expect = {"payment", "noserver"} if not value.delivered else {"noserver"}
                self.check(f"{name} <- value {j} ({len(value.sent)} bytes, {source})", request,
                           [value], expect)

    @staticmethod
    def _prefixed(value, prefix):
        v = Value.__new__(Value)
        v.__dict__.update(value.__dict__)
        v.prefix = prefix
        v.sent = prefix + value.sent
        v.delivered = v.sent.split(b"\0")[0]
        return v

    # Every dialect and output mode, through every source, reaching every
    # outcome, with hostile values in every parameter the pages show.
    def every_dialect_and_mode(self):
        payloads = [SPECIAL, HIGH_BYTES, CONTROLS, None]   # None: 3072 bytes
        sources = ["GET", "POST", "env", "args", "options"]
        outcomes = ["payment", "noserver", "error", "redirect"]
        n = 0
        for dialect in ["HTML", "IMODE", "WAP"]:
            for mode in "ABCDE":
                for p, payload in enumerate(payloads):
                    for outcome in outcomes:
                        source = sources[n % len(sources)]
                        n += 1
                        self._dialect_case(dialect, mode, payload, outcome, source)

    def _dialect_case(self, dialect, mode, payload, outcome, source):
        forbidden = b"\n" if source == "options" else b""
        values = []

        def web_address(v):
            return v.without(CONTROL_BYTES)

        def hostile(name, limit=None):
            if payload is None:
                v = Value(length=limit or 3072)
            else:
                v = Value(payload[:limit - 20] if limit else payload)
            if forbidden:
                v = v.without(forbidden)
            values.append(v)
            return (name, v.sent)

        pairs = [("KWT_SOURCE", dialect.encode()), ("KWT_OUTPUT", mode.encode())]
        pairs += [hostile(name) for name in SHOWN_TEXT + FORWARDED]
        pairs += [hostile(name, 150) for name in URL_PARAMS]
        values[-len(URL_PARAMS):] = [web_address(v) for v in values[-len(URL_PARAMS):]]
        pairs[-len(URL_PARAMS):] = [(n, v.sent) for n, v in zip(URL_PARAMS, values[-len(URL_PARAMS):])]
        pairs += [hostile("KWT_BOUTPI"), hostile("KWT_CMD", 2048)]
        if outcome == "payment":
            korven = Value(payload[:100] if payload else None, length=None if payload else 120,
                           prefix=b"http://127.0.0.1/")
            korven = web_address(korven)
            values.append(korven)
            pairs += [("KWT_KORVEN", korven.sent)] + self.served()[1:] + ORDER
            expect = {"payment"}
        elif outcome == "noserver":
            pairs += NO_SERVERS + ORDER
            expect = {"noserver"}
        else:
            pairs += [p for p in ORDER if p[0] != "KWT_SITE"] + NO_SERVERS
            if outcome == "redirect":
                hostile("KWT_ERREUR", 150)
                values[-1] = web_address(values[-1])
                pairs.append(("KWT_ERREUR", values[-1].sent))
                expect = {"error"} if dialect == "WAP" else {"redirect"}
            else:
                expect = {"error"}
        if source == "options" and payload is None:
            expect = None   # lines past 3071 bytes stop the options file (-6)
        request = build(pairs, source, self.workdir)
        label = "3072 bytes" if payload is None else f"{len(payload)}-byte payload"
        self.check(f"{dialect} mode {mode} {outcome} via {source}, {label}", request, values, expect)

    # Hostile host names in trace mode, and a trace before the payment page.
    def trace_pages(self):
        host = Value(b"<b>\"'&$x=y&z")
        pairs = [("KWT_TRACE", b"1"), ("KWT_KORVEN", b"http://" + host.sent + b".invalid/pay"),
                 ("KWT_BACKUP1", b"https://b1.invalid/x"), ("KWT_BACKUP2", b"b2.invalid"),
                 ("KWT_BACKUP3", b"//" + host.sent + b"3.invalid"), ("KWT_BACKUP4", b"http:b4.invalid")] + ORDER
        for dialect in ["HTML", "IMODE", "WAP"]:
            request = build(pairs + [("KWT_SOURCE", dialect.encode())], "GET", self.workdir)
            self.check(f"trace of hostile host names, {dialect}", request, [host], {"noserver"}, 0)
        traced = [("KWT_TRACE", b"<script>"), ("KWT_KORVEN", b"http://" + host.sent + b".invalid/")]
        traced += [("KWT_BACKUP1", b"http://127.0.0.1/b1"), ("KWT_PORT", str(self.listener.port).encode()),
                   ("KWT_BACKUP2", b"b2.invalid"), ("KWT_BACKUP3", b"b3.invalid")] + ORDER
        request = build(traced, "GET", self.workdir)
        self.check("trace before the payment page", request, [host], {"payment"}, 0)

    # CONTENT_LENGTH larger than the body, negative, huge or malformed, and
    # bodies that are hostile in themselves.
    def content_lengths(self):
        body = form_text(ORDER + NO_SERVERS)
        lengths = [str(len(body) + 1), str(len(body) * 10), "100000000", "2147483647", "2147483648",
                   "4294967296", "99999999999999999999999", "-1", "-2147483648",
                   "-99999999999999999999", "0", "", " 12", "+12", "12abc", "0x10", "\t5", "1e9"]
        for length in lengths:
            env = {b"REQUEST_METHOD": b"POST", b"CONTENT_LENGTH": length.encode()}
            self.check(f"CONTENT_LENGTH {length!r}", Request(env, stdin=body), [],
                       {"noserver", "error"})
        env = {b"REQUEST_METHOD": b"POST", b"CONTENT_LENGTH": str(len(body)).encode()}
        self.check("CONTENT_LENGTH exact", Request(env, stdin=body), [], {"noserver"}, 0)
        env = {b"REQUEST_METHOD": b"POST", b"CONTENT_LENGTH": str(len(body) - 20).encode()}
        self.check("CONTENT_LENGTH shorter than the body", Request(env, stdin=body), [], None)
        bodies = [b"&" * 100000, b"=" * 100000, b"KWT_A" * 20000, b"KWT_SITE=%" * 10000,
                  b"KWT_SITE=%4", b"KWT_SITE=%zz%G0%0G&KWT_CMD=%", b"KWT_SITE=1\0&KWT_CMD=2",
                  b"KWT_TXT=" + bytes(range(256)) * 40, b"KWT_A=1&" * 50000]
        for b in bodies:
            env = {b"REQUEST_METHOD": b"POST", b"CONTENT_LENGTH": str(len(b)).encode()}
            self.check(f"hostile body {b[:24]!r}... ({len(b)} bytes)", Request(env, stdin=b), [],
                       {"error"}, 1)
        for method in [b"GET", b"HEAD", b"post", b"", b"GET\xff"]:
            env = {b"REQUEST_METHOD": method, b"QUERY_STRING": b"KWT_SITE=%00%00&&=&" * 1000}
            self.check(f"method {method!r}", Request(env), [], {"error"}, 1)

    # Options files: long lines, no line end, NUL bytes, CR LF, comments.
    def options_files(self):
        path = os.path.join(self.workdir, "hostile-options.txt")
        txt = Value(SPECIAL)
        base = b"".join(n.encode() + b"=" + v + b"\n" for n, v in ORDER + NO_SERVERS)

        def line(name, n):
            return name + b"=" + b"x" * (n - len(name) - 1)

        cases = [
            ("no line end", base + b"KWT_TXT=" + txt.sent, {"noserver"}),
            ("CR LF lines", base.replace(b"\n", b"\r\n") + b"KWT_TXT=" + txt.sent + b"\r\n", {"noserver"}),
            ("3071-byte line", base + line(b"KWT_PAIEMENT", 3071) + b"\n", {"noserver"}),
            ("3071-byte line and CR LF", base + line(b"KWT_PAIEMENT", 3071) + b"\r\n", {"noserver"}),
            ("3072-byte line", base + line(b"KWT_PAIEMENT", 3072) + b"\n", {"error"}),
            ("3072-byte last line without end", base + line(b"KWT_PAIEMENT", 3072), {"error"}),
            ("100000-byte line", line(b"KWT_CMD", 100000) + b"\n" + base, {"error"}),
            ("100000-byte comment", b"#" * 100000 + b"\n" + base, {"noserver"}),
            ("100000 blanks", b" " * 100000 + b"\n" + base, {"noserver"}),
            ("NUL inside a line", base + b"KWT_TXT=" + txt.sent + b"\0tail<script>\n", {"noserver"}),
            ("NUL before the '='", b"KWT_SITE\0=1234567\n" + base, {"noserver", "error"}),
            ("line without '='", base + b"<script>alert(1)</script>\n", {"error"}),
            ("binary garbage", bytes(range(1, 256)) * 20, {"error"}),
            ("only '='", b"=\n" * 100 + base, {"noserver"}),
            ("empty file", b"", {"error"}),
            ("hostile names", b"KWT_SITE\xff=1\n<KWT_RANG>=2\nKWT_TXT =  " + txt.sent + b" \t\n" + base,
             {"noserver"}),
        ]
        for label, content, expect in cases:
            with open(path, "wb") as f:
                f.write(content)
            env = {b"REQUEST_METHOD": b"GET",
                   b"QUERY_STRING": b"KWT_MODE=31&KWT_OPT=" + quote(path.encode())}
            self.check(f"options file: {label}", Request(env), [txt], expect)
        env = {b"KWT_MODE": b"3", b"KWT_OPT": b"/dev/null"}
        self.check("options file: /dev/null", Request(env), [], {"error"}, 1)
        env = {b"KWT_MODE": b"3", b"KWT_OPT": b"/"}
        self.check("options file: a directory", Request(env), [], {"error"}, 1)

    # Hostile names and shapes of environment variables and arguments.
    def arguments_and_environment(self):
        txt = Value(SPECIAL)
        args = [b"KWT_MODE=4", b"=", b"==", b"KWT_", b"KWT_SITE", b" KWT_TXT=x", b"KWT_TXT =x",
                b"KWT_SITE\xff=1", b"KWT_TXT=" + txt.sent, b"KWT_CMD=" + b"c" * 100000]
        args += [n.encode() + b"=" + v for n, v in ORDER + NO_SERVERS]
        self.check("hostile arguments", Request({}, args=args), [txt], {"error"}, 1)
        many = [b"KWT_MODE=4"] + [b"KWT_X%d=%d" % (i, i) for i in range(2000)]
        many += [n.encode() + b"=" + v for n, v in ORDER + NO_SERVERS]
        self.check("2000 unknown arguments", Request({}, args=many), [], {"noserver"}, 0)
        env = {b"KWT_MODE": b"2", b"KWT_TXT": txt.sent, b"VEL_TXT": b"<script>", b"KWT_SITE ": b"1",
               b"KWT_BKGD": b"", b"KWT_OUTPUT": b"\xff", b"KWT_SOURCE": b"WAP\xff"}
        env.update({n.encode(): v for n, v in ORDER + NO_SERVERS})
        self.check("hostile environment", Request(env), [txt], {"noserver"}, 0)
        for mode in [b"", b"\xff\xfe", b"<script>", b"4" * 100000, b"1234" * 100]:
            env = {b"KWT_MODE": mode, b"QUERY_STRING": form_text(ORDER + NO_SERVERS), b"REQUEST_METHOD": b"GET"}
            self.check(f"mode string {mode[:16]!r} ({len(mode)} bytes)", Request(env), [],
                       {"noserver", "error"})


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: hostile.py MODULE")
    module = os.path.abspath(sys.argv[1])
    if shutil.which("xmllint") is None:
        sys.exit("xmllint is not installed (Debian package libxml2-utils)")
    listener = Listener()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="revozi-hostile-") as work:
        runner = Runner(module, work, listener)
        for part in (runner.every_parameter, runner.every_dialect_and_mode, runner.trace_pages,
                     runner.content_lengths, runner.options_files, runner.arguments_and_environment):
            before = runner.passed + runner.failed
            part_start = time.monotonic()
            part()
            print(f"{part.__name__}: {runner.passed + runner.failed - before} runs in "
                  f"{time.monotonic() - part_start:.1f}s")
    listener.close()
    failed = runner.failed
    if runner.known:
        print(f"{len(runner.known)} runs show a known limitation:")
        for k in runner.known[:5]:
            print("   ", k[:300])
        if STRICT:
            failed += len(runner.known)
    print(f"slowest run {runner.slowest:.2f}s, all runs {time.monotonic() - started:.1f}s")
    print(f"{runner.passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
