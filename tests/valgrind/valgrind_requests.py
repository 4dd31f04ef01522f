#!/usr/bin/env python3
"""Runs a representative set of requests against the module under valgrind's
memcheck and fails on any memory error, any leak (definite, indirect or
possible) and any file descriptor other than 0, 1 and 2 still open at exit.

    valgrind_requests.py MODULE

Every request runs as a web server runs a CGI program: an explicit
environment (nothing inherited), standard input, arguments and working
directory. Every server URL is 127.0.0.1 (a listener of this script, or a
port nothing listens on) or a name under .invalid.
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from loopback_listener import Listener  # noqa: E402

VALGRIND_ARGS = [
    "--tool=memcheck",
    "--error-exitcode=99",
    "--leak-check=full",
    "--show-leak-kinds=definite,indirect,possible",
    "--errors-for-leak-kinds=definite,indirect,possible",
    "--track-fds=yes",
    # "uname -a" runs in a shell of its own; only the module is checked.
    "--trace-children=no",
    "--child-silent-after-fork=yes",
]
RUN_TIMEOUT = 120  # seconds for one request under valgrind

ORDER = ("KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=ORDER42"
         "&KWT_PORTEUR=shopper%40example.fr&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7")
NO_SERVERS = ("KWT_KORVEN=https://primary.invalid/pay&KWT_BACKUP1=https://b1.invalid/pay"
              "&KWT_BACKUP2=https://b2.invalid/pay&KWT_BACKUP3=https://b3.invalid/pay")
NO_SERVER_ARGS = ["KWT_KORVEN=primary.invalid", "KWT_BACKUP1=b1.invalid",
                  "KWT_BACKUP2=b2.invalid", "KWT_BACKUP3=b3.invalid"]
ORDER_ARGS = ["KWT_SITE=1234567", "KWT_RANG=01", "KWT_TOTAL=1500", "KWT_DEVISE=978",
              "KWT_CMD=ORDER42", "KWT_PORTEUR=a@b.fr", "KWT_RETOUR=M:M", "KWT_IDENTIFIANT=7"]


def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def get(query, **env):
    return {"env": {"REQUEST_METHOD": "GET", "QUERY_STRING": query, **env}}


def post(body, length=None, **env):
    env = {"REQUEST_METHOD": "POST", "CONTENT_TYPE": "application/x-www-form-urlencoded", **env}
    env["CONTENT_LENGTH"] = str(len(body)) if length is None else length
    return {"env": env, "input": body.encode()}


def requests(listener, workdir):
    """(name, request, expected exit status, text the output must hold)."""
    served = (f"KWT_KORVEN=http://127.0.0.1/cgi/pay.cgi&KWT_PORT={listener.port}"
              "&KWT_BACKUP1=b1.invalid&KWT_BACKUP2=b2.invalid&KWT_BACKUP3=b3.invalid")
    options = os.path.join(workdir, "kwtinfos.txt")
    with open(options, "w") as f:
        f.write("# merchant settings\nKWT_SITE = 1234567\r\nKWT_RANG=01\nKWT_DEVISE=978\n"
                "KWT_RETOUR=M:M\nKWT_KORVEN=https://p.invalid/x\nKWT_BACKUP1=b1.invalid\n"
                "KWT_BACKUP2=b2.invalid\nKWT_BACKUP3=b3.invalid\n")
    with open(os.path.join(workdir, "broken.txt"), "w") as f:
        f.write("KWT_SITE=1234567\nnot a setting\n")

    yield "GET order, no server", get(ORDER + "&" + NO_SERVERS), 0, "AUCUN SERVEUR DISPONIBLE"
    yield "POST order, no server", post(ORDER + "&" + NO_SERVERS), 0, "AUCUN SERVEUR DISPONIBLE"
    yield ("environment source", {"env": {
        "KWT_MODE": "2", "KWT_SITE": "1234567", "VEL_RANG": "01", "KWT_TOTAL": "1500",
        "KWT_DEVISE": "978", "KWT_CMD": "A1", "KWT_PORTEUR": "a@b.fr", "KWT_RETOUR": "M:M",
        "KWT_IDENTIFIANT": "7", "KWT_KORVEN": "p.invalid", "KWT_BACKUP1": "b1.invalid",
        "KWT_BACKUP2": "b2.invalid", "KWT_BACKUP3": "b3.invalid"}}, 0, "AUCUN SERVEUR DISPONIBLE")
    yield ("options file", {**get("KWT_MODE=31&KWT_TOTAL=1500&KWT_CMD=X&KWT_PORTEUR=a@b.fr"
                                  "&KWT_IDENTIFIANT=7"), "cwd": workdir}, 0, "AUCUN SERVEUR DISPONIBLE")
    yield ("options file with a line without '='",
           {**get("KWT_MODE=31&KWT_OPT=broken.txt&" + NO_SERVERS), "cwd": workdir}, 1, "(code -6)")
    yield "options file missing", get("KWT_MODE=31&KWT_OPT=missing.txt&" + NO_SERVERS), 1, "(code -5)"
    yield ("command line", {"env": {}, "args": ["KWT_MODE=4"] + ORDER_ARGS + NO_SERVER_ARGS},
           0, "AUCUN SERVEUR DISPONIBLE")
    yield "GET without query", {"env": {"REQUEST_METHOD": "GET"}}, 1, "(code -3)"
    yield "POST without CONTENT_LENGTH", {"env": {"REQUEST_METHOD": "POST"}, "input": ORDER.encode()}, 1, "(code -3)"
    yield "POST body shorter than announced", post(ORDER, length="100000"), 1, "(code -7)"
    yield "HTML error page", get("KWT_SITE=123456&" + ORDER + "&" + NO_SERVERS), 1, "(code -9)"
    yield "i-mode error page", get("KWT_SOURCE=IMODE&" + NO_SERVERS), 1, "(code -7)"
    yield ("WAP error card", get("KWT_SOURCE=WAP&KWT_ERREUR=http://shop.example/e&" + NO_SERVERS),
           1, "KORVEN&nbsp;INPUT&nbsp;ERROR&nbsp;(code -7)")
    yield ("HTML redirect", get("KWT_ERREUR=http://shop.example/e.php%3Fa%3D1&KWT_BKGD=red&KWT_SITE=1&"
                                + NO_SERVERS), 1, "NUMERR=-9")
    yield "i-mode redirect", get("KWT_SOURCE=IMODE&KWT_ERREUR=/e&" + NO_SERVERS), 1, "NUMERR=-7"
    yield "bare redirect URL", get("KWT_OUTPUT=C&KWT_ERREUR=/e&" + NO_SERVERS), 1, "/e?NUMERR=-7"
    yield ("a too long error URL before validation",
           get("KWT_SITE=1&KWT_ERREUR=" + "e" * 400 + "&" + NO_SERVERS), 1, "")
    yield "WAP no-server card", get("KWT_SOURCE=WAP&" + ORDER + "&" + NO_SERVERS), 0, "AUCUN&nbsp;SERVEUR"
    yield "trace, no server", get("KWT_TRACE=1&" + ORDER + "&" + NO_SERVERS), 0, "gethostbyname()"
    refused = closed_port()
    yield ("trace, refused connection",
           get(f"KWT_TRACE=1&KWT_KORVEN=http://127.0.0.1/pay&KWT_PORT={refused}&KWT_BACKUP1=b1.invalid"
               f"&KWT_BACKUP2=b2.invalid&KWT_BACKUP3=b3.invalid&" + ORDER), 0, "connect() erreur")
    for source in ("HTML", "IMODE", "WAP"):
        for mode in "ABCDE":
            yield (f"payment page {source} {mode}",
                   get(f"KWT_SOURCE={source}&KWT_OUTPUT={mode}&KWT_TXT=a%3Cb%3E%26%22'$&KWT_BKGD=x.gif"
                       f"&KWT_WAIT=500&KWT_BOUTON=%20Payer%20&KWT_LANGUE=FRA&{ORDER}&{served}"),
                   0, "v401")
    yield ("payment page, long order reference",
           post(ORDER.replace("KWT_CMD=ORDER42", "KWT_CMD=" + "c" * 2048) + "&KWT_PAIEMENT=" + "p" * 5000
                + "&" + served), 0, "v401")
    yield ("ping, server reachable",
           {"env": {}, "args": ["KWT_MODE=4", "KWT_PING=1", "KWT_KORVEN=http://localhost/pay",
                                f"KWT_PORT={listener.port}"] + NO_SERVER_ARGS[1:]},
           0, "Serveur: http://localhost/pay")
    yield ("ping, no server", {"env": {}, "args": ["KWT_MODE=4", "KWT_PING=1"] + NO_SERVER_ARGS},
           1, "Aucun serveur disponible")
    yield ("ping with trace, no server",
           {"env": {"KWT_PING": "1", "KWT_TRACE": "1", "KWT_MODE": "2", "KWT_KORVEN": "p.invalid",
                    "KWT_BACKUP1": "b1.invalid", "KWT_BACKUP2": "b2.invalid", "KWT_BACKUP3": "b3.invalid",
                    "KWT_BACKUP4": "b4.invalid"}}, 1, "Aucun serveur disponible")


OPEN_FD = re.compile(r"^==\d+== Open [^\n]*?(\d+): ?([^\n]*)$", re.M)


def check_log(text, logdir):
    """Problems found in one valgrind log."""
    problems = []
    m = re.search(r"ERROR SUMMARY: (\d+) errors", text)
    if m is None:
        problems.append("no error summary in the valgrind log")
    elif m.group(1) != "0":
        problems.append(f"{m.group(1)} memcheck errors")
    for kind in ("definitely lost", "indirectly lost", "possibly lost"):
        m = re.search(kind + r": ([\d,]+) bytes", text)
        if m and m.group(1) != "0":
            problems.append(f"{kind}: {m.group(1)} bytes")
    if "FILE DESCRIPTORS:" not in text:
        problems.append("no file descriptor report in the valgrind log")
    for fd, what in OPEN_FD.findall(text):
        # valgrind's own log file is the one descriptor it reports beyond 0-2
        if int(fd) > 2 and not what.startswith(logdir + "/"):
            problems.append(f"file descriptor {fd} still open at exit: {what}")
    return problems


def run_one(valgrind, module, logdir, request):
    for name in os.listdir(logdir):
        os.unlink(os.path.join(logdir, name))
    cmd = [valgrind] + VALGRIND_ARGS + [f"--log-file={logdir}/vg.%p.log", module] + request.get("args", [])
    proc = subprocess.run(cmd, env=request["env"], input=request.get("input", b""),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          cwd=request.get("cwd", "/"), timeout=RUN_TIMEOUT)
    logs = {}
    for name in sorted(os.listdir(logdir)):
        with open(os.path.join(logdir, name), encoding="utf-8", errors="replace") as f:
            logs[name] = f.read()
    return proc, logs


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: valgrind_requests.py MODULE")
    module = os.path.abspath(sys.argv[1])
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed")
    listener = Listener()
    failures = []
    count = 0
    with tempfile.TemporaryDirectory(prefix="revozi-valgrind-") as work:
        logdir = os.path.join(work, "logs")
        os.mkdir(logdir)
        for name, request, status, expected in requests(listener, work):
            count += 1
            proc, logs = run_one(valgrind, module, logdir, request)
            out = proc.stdout.decode("latin-1")
            problems = []
            if proc.returncode != status:
                problems.append(f"exit status {proc.returncode}, expected {status}")
            if expected not in out:
                problems.append(f"output lacks {expected!r}")
            # The shell forked for "uname -a" stays silent: one report, the module's.
            own = [text for text in logs.values() if text.strip()]
            if len(own) != 1:
                problems.append(f"{len(own)} valgrind reports, expected 1")
            for text in own:
                problems.extend(check_log(text, logdir))
            if problems:
                failures.append(name)
                print(f"FAIL {name}: " + "; ".join(problems))
                for text in own:
                    print(text[-4000:])
                print("module output:", out[:2000])
            else:
                print(f"ok   {name}")
    listener.close()
    print(f"{count - len(failures)} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
