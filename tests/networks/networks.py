#!/usr/bin/env python3
"""The module over today's networks, run as root inside a private network
namespace (loopback only) and a private mount namespace:

    unshare -n -m -- networks.py MODULE

It binds its own /etc/hosts, /etc/resolv.conf and /etc/nsswitch.conf over the
system's (only inside the mount namespace) and runs a tiny name server on
127.0.0.53 that answers for names under .test: NXDOMAIN for gone.test, an
empty answer for empty.test, FORMERR for broken.test, nothing ever for any
other name (a name server that never answers). Its resolver time-out is 30 s,
far beyond every slot's time-out, so only the module can bound a resolution.

Names under .test from the hosts file:
    dual.test   ::1 and 127.0.0.1   (the test listens on 127.0.0.1 only)
    two.test    127.0.0.2 then 127.0.0.1   (127.0.0.2 is blackholed: a
                listener whose queue is full, so a connection stays pending)
    six.test    ::1 only
    one.test    127.0.0.1 only

Each case runs the module in ping mode with the trace, or with --check, and
checks its output, exit status and time. Every wait is bounded. Standard
library only.
"""

import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from loopback_listener import Listener  # noqa: E402

RUN_TIMEOUT = 15  # seconds for one run of the module

HOSTS = """127.0.0.1 localhost
::1 dual.test
127.0.0.1 dual.test
127.0.0.2 two.test
127.0.0.1 two.test
::1 six.test
127.0.0.1 one.test
"""
RESOLV = "nameserver 127.0.0.53\noptions timeout:30 attempts:2\n"
NSSWITCH = "hosts: files dns\n"


def bind_system_files(workdir):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for name, text in (("hosts", HOSTS), ("resolv.conf", RESOLV), ("nsswitch.conf", NSSWITCH)):
        path = os.path.join(workdir, name)
        with open(path, "w") as f:
            f.write(text)
        subprocess.run(["mount", "--bind", path, "/etc/" + name], check=True)


class NameServer:
    """UDP on 127.0.0.53:53: answers by name, or never."""

    RCODES = {"gone.test": 3, "empty.test": 0, "broken.test": 1}

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.53", 53))
        self.queries = []
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            if not select.select([self.sock], [], [], 0.2)[0]:
                continue
            data, peer = self.sock.recvfrom(4096)
            labels, at = [], 12
            while at < len(data) and data[at] != 0:
                labels.append(data[at + 1:at + 1 + data[at]].decode("ascii", "replace"))
                at += 1 + data[at]
            name = ".".join(labels).lower()
            self.queries.append(name)
            if name not in self.RCODES:
                continue  # never answers
            ident, flags = struct.unpack("!HH", data[:4])
            header = struct.pack("!HHHHHH", ident, 0x8000 | (flags & 0x0100) | 0x0080 | self.RCODES[name],
                                 1, 0, 0, 0)
            self.sock.sendto(header + data[12:at + 5], peer)

    def close(self):
        self.stopping = True
        self.thread.join(timeout=5)
        self.sock.close()


class Blackhole:
    """A listener on (host, port) that never accepts and whose queue is full:
    a new connection attempt to it stays pending, as behind a dropping
    firewall."""

    def __init__(self, host, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.sock.listen(0)
        self.fillers = []
        for _ in range(8):
            c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            c.setblocking(False)
            c.connect_ex((host, port))
            self.fillers.append(c)
            if not select.select([], [c], [], 0.3)[1]:
                # The queue stays full without it; closed, it sends no SYN
                # again (each would count as a drop at the listener).
                self.fillers.pop().close()
                return
        raise SystemExit("cannot make a connection attempt stay pending on %s:%d" % (host, port))

    def close(self):
        for c in self.fillers:
            c.close()
        self.sock.close()


def free_port():
    """A port free on 127.0.0.1, 127.0.0.2 and ::1."""
    for _ in range(50):
        s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        s.bind(("::1", 0))
        port = s.getsockname()[1]
        s.close()
        try:
            for host in ("127.0.0.1", "127.0.0.2"):
                t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                t.bind((host, port))
                t.close()
            return port
        except OSError:
            continue
    raise SystemExit("no free port")


def refusal_errno():
    """The errno the trace shows for a refused loopback connection: 111 where
    the kernel refuses at once, 115 where the refusal comes after the
    connection was in progress."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setblocking(False)
    error = s.connect_ex(("127.0.0.1", free_port()))
    s.close()
    return error


def run(module, workdir, args, env=None):
    """The exit status (-1 after RUN_TIMEOUT), standard output and seconds."""
    started = time.monotonic()
    try:
        p = subprocess.run([module] + args, cwd=workdir, env=env or {"PATH": "/usr/bin:/bin"},
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired as e:
        return -1, (e.stdout or b"").decode("latin-1"), time.monotonic() - started
    return p.returncode, p.stdout.decode("latin-1"), time.monotonic() - started


TRACE_HEAD = ("Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
              "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n<BODY>\n")
TRACE_TAIL = "</BODY>\n</HTML>\n"


def resolve_line(error, host):
    return "<CENTER><B>gethostbyname() erreur %d pour le serveur %s</B></P></CENTER>\n" % (error, host)


def connect_line(error, host):
    return "<CENTER><B>connect() erreur %d pour le serveur %s</B></P></CENTER>\n" % (error, host)


def listen_drops():
    """Connection attempts dropped at full listen queues in this network
    namespace (TcpExt ListenOverflows): the attempts that reach a
    blackhole."""
    with open("/proc/net/netstat") as f:
        rows = [line.split() for line in f if line.startswith("TcpExt:")]
    return int(rows[1][rows[0].index("ListenOverflows")])


ORDER = ("KWT_SITE=1234567&KWT_RANG=01&KWT_TOTAL=1500&KWT_DEVISE=978&KWT_CMD=A1&KWT_PORTEUR=a%40b.fr"
         "&KWT_RETOUR=M:M&KWT_IDENTIFIANT=7")
RETRY = 3  # seconds: REVOZI_RETRY_SECONDS of the memory cases


def memory_cases(module, workdir, expect):
    """The memory (REVOZI_STATE_DIR) under the lock: the primary 127.0.0.2
    blackholed (1-second time-out), backup 1 on 127.0.0.1."""
    port = free_port()
    backup = Listener("127.0.0.1", port)
    hole = Blackhole("127.0.0.2", port)
    state = os.path.join(workdir, "state")
    os.mkdir(state, 0o700)
    options = os.path.join(workdir, "memory.txt")
    with open(options, "w") as f:
        f.write("KWT_KORVEN=https://127.0.0.2/pay\nKWT_BACKUP1=https://127.0.0.1/b1\nKWT_BACKUP2=https://gone.test/\n"
                "KWT_BACKUP3=https://gone.test/\nKWT_TIMEOUT=1\nKWT_PORT=%d\nKWT_TRACE=1\n" % port)
    env = {"PATH": "/usr/bin:/bin", "REQUEST_METHOD": "GET", "QUERY_STRING": ORDER, "REVOZI_LOCK": "1",
           "KWT_MODE": "31", "KWT_OPT": options, "REVOZI_STATE_DIR": state, "REVOZI_RETRY_SECONDS": str(RETRY),
           "REVOZI_LOG": "1"}
    probed = connect_line(115, "127.0.0.2")
    passed = "pour le serveur 127.0.0.2</B>"

    def shoppers(count):
        """COUNT shoppers at once: (exit status, page's server, probed the
        primary, passed it over, standard error) each."""
        runs = [subprocess.Popen([module], cwd=workdir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(count)]
        results = []
        for p in runs:
            out, err = p.communicate(timeout=RUN_TIMEOUT)
            out = out.decode("latin-1")
            server = out.split("Action='")[1].split("'")[0] if "Action='" in out else None
            results.append((p.returncode, server, probed in out, "m&eacute;moris&eacute;e" in out and passed in out,
                            err.decode("latin-1")))
        return results

    drops = listen_drops()
    [(status, server, touched, _, err)] = shoppers(1)
    failed_at = time.monotonic()
    first_drops = listen_drops() - drops
    expect("memory: the first shopper waits the primary's time-out, then backup 1; one log line",
           status == 0 and server == "https://127.0.0.1/b1" and touched and first_drops > 0 and
           re.fullmatch(r"revozi: slot primary https://127\.0\.0\.2/pay unreachable \(connect 115 after \d+ ms\), "
                        r"using backup1\n", err),
           "status %d, %s, probed %s, drops %d\n%s" % (status, server, touched, first_drops, err))
    drops = listen_drops()
    rest = [shoppers(1)[0] for _ in range(19)]
    expect("memory: the 19 shoppers after it get backup 1 without touching the primary",
           time.monotonic() - failed_at < RETRY - 1 and listen_drops() == drops and
           all(r[:4] == (0, "https://127.0.0.1/b1", False, True) and "passed over (down since " in r[4] for r in rest),
           "drops %d, %.1f s\n%r" % (listen_drops() - drops, time.monotonic() - failed_at, rest[:3]))

    time.sleep(max(0.0, failed_at + RETRY + 1 - time.monotonic()))
    drops = listen_drops()
    crowd = shoppers(20)
    expect("memory: the retry period over, 20 shoppers at once: exactly one probes the primary again",
           all(r[:2] == (0, "https://127.0.0.1/b1") for r in crowd) and sum(r[2] for r in crowd) == 1 and
           sum(r[3] for r in crowd) == 19 and listen_drops() > drops, repr([r[:4] for r in crowd]))
    status, out, _ = run(module, workdir, ["--status"], {"PATH": "/usr/bin:/bin", "REVOZI_STATE_DIR": state})
    expect("memory: --status lists the primary down, twice in a row, and backup 1 up",
           status == 0 and ("127.0.0.2:%d  down since " % port) in out and "(failures in a row: 2," in out and
           ("127.0.0.1:%d  up, last success " % port) in out, out)

    hole.close()
    primary = Listener("127.0.0.2", port)
    back_at = time.monotonic()
    found = None
    for _ in range(int(RETRY / 0.25) + 8):
        [(status, server, _, _, err)] = shoppers(1)
        if server == "https://127.0.0.2/pay":
            found = (time.monotonic() - back_at, err)
            break
        time.sleep(0.25)
    expect("memory: the primary back, found again within one retry period, and logged",
           found is not None and found[0] < RETRY + 1.5 and "reachable again" in found[1], repr(found))
    expect("memory: ... and then every shopper's", shoppers(1)[0][1] == "https://127.0.0.2/pay", "")
    for item in (primary, backup):
        item.close()


def main():
    module = os.path.abspath(sys.argv[1])
    failures = []

    def expect(case, condition, detail):
        print("%s  %s" % ("ok  " if condition else "FAIL", case))
        if not condition:
            print("      " + detail.replace("\n", "\n      "))
            failures.append(case)

    with tempfile.TemporaryDirectory() as workdir:
        bind_system_files(workdir)
        names = NameServer()
        port = free_port()
        v4 = Listener("127.0.0.1", port)
        hole = Blackhole("127.0.0.2", port)
        v6 = Listener("::1", free_port())  # on a port of its own: nothing on 127.0.0.1 there
        closed = free_port()

        def ping(servers, timeouts=(), port_used=port):
            args = ["KWT_MODE=4", "KWT_PING=1", "KWT_TRACE=1", "KWT_PORT=%d" % port_used]
            for slot, url in zip(("KWT_KORVEN", "KWT_BACKUP1", "KWT_BACKUP2", "KWT_BACKUP3"), servers):
                args.append("%s=%s" % (slot, url))
            return run(module, workdir, args + list(timeouts))

        # Reachable primaries: (case, URL, the listener that must accept).
        reachable = [
            ("a name with an IPv6 and an IPv4 address, IPv4 listener only (::1 closed on this port)",
             "https://dual.test/pay", v4),
            ("a name whose first IPv4 address is blackholed: the second within 250 ms plus its connect",
             "https://two.test/pay", v4),
            ("a name with an IPv6 address only", "https://six.test/pay", v6),
            ("an IPv6 address in brackets", "https://[::1]/pay", v6),
        ]
        for case, url, listener in reachable:
            before = listener.accepted
            status, out, took = ping([url, "https://gone.test/", "https://gone.test/", "https://gone.test/"],
                                     ["KWT_TIMEOUT=5"], listener.port)
            time.sleep(0.2)
            expect(case, status == 0 and out == TRACE_HEAD + TRACE_TAIL + "Serveur: %s\n" % url and
                   took < 1.0 and listener.accepted == before + 1,
                   "status %d, %.2f s, accepted %d\n%s" % (status, took, listener.accepted - before, out))
            if "two.test" in url:
                expect("  ... and not before the 250 ms stagger", took >= 0.25, "%.3f s" % took)

        # Resolution failures, one per slot: the trace numbers in slot order.
        # With a time-out of 2 s the silent name server is bounded by it; with
        # time-outs of 0 and below the names are still resolved, the silent
        # one within a second.
        for what, slots, timeouts, low, high in [
                ("a silent name server: the slot fails within its time-out, with 2; then 1, 3 and 4",
                 [("silent", 2), ("gone", 1), ("broken", 3), ("empty", 4)], ["KWT_TIMEOUT=2"], 1.9, 3.0),
                ("time-outs of 0 and below: each name resolved, the silent one within a second",
                 [("gone", 1), ("silent", 2), ("empty", 4), ("broken", 3)],
                 ["KWT_TIMEOUT=0", "KWT_TIMEOUT1=-1", "KWT_TIMEOUT2=0", "KWT_TIMEOUT3=-7"], 0.9, 2.0)]:
            status, out, took = ping(["https://%s.test/pay" % name for name, _ in slots], timeouts)
            want = (TRACE_HEAD + "".join(resolve_line(number, name + ".test") for name, number in slots) +
                    TRACE_TAIL + "Aucun serveur disponible\n")
            expect(what, status == 1 and out == want and low <= took < high,
                   "status %d, %.2f s\n%s\nwanted\n%s" % (status, took, out, want))

        # One IPv4 address, nothing listening: the trace as it always was.
        refused = refusal_errno()
        status, out, took = ping(["https://one.test/pay", "https://127.0.0.1/pay", "https://gone.test/x",
                                  "https://gone.test/y"], port_used=closed)
        want = (TRACE_HEAD + connect_line(refused, "one.test") + connect_line(refused, "127.0.0.1") +
                resolve_line(1, "gone.test") + resolve_line(1, "gone.test") + TRACE_TAIL +
                "Aucun serveur disponible\n")
        expect("one IPv4 address refused: the same trace lines", status == 1 and out == want and took < 1.0,
               "status %d, %.2f s\n%s\nwanted\n%s" % (status, took, out, want))

        # Numeric addresses never reach the name server.
        expect("no name server query for numeric addresses or names of the hosts file",
               not set(names.queries) - {"silent.test", "gone.test", "broken.test", "empty.test"},
               repr(names.queries))

        def check(path, text, mode, lines, args=(), **env):
            """--check ARGS with the options file PATH (TEXT, MODE) and ENV: the
            status, output, seconds and the LINES missing from the output."""
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, mode)
            status, out, took = run(module, workdir, ["--check"] + list(args),
                                    dict(env, PATH="/usr/bin:/bin", KWT_OPT=path))
            return status, out, took, [line for line in lines if line not in out]

        # --check, good (on a test host: every server is on loopback) and broken.
        good = os.path.join(workdir, "good.txt")
        status, out, took, missing = check(good, (
            "KWT_KORVEN=https://two.test/paiement\nKWT_BACKUP1=https://dual.test/p\n"
            "KWT_BACKUP2=https://one.test/p\nKWT_BACKUP3=https://127.1/p\nKWT_PORT=%d\n"
            "KWT_TIMEOUT=5\nKWT_ERREUR=https://shop.test/erreur.html\n" % port), 0o640, [
            "ok    lock: mode string \"31\", from the environment\n",
            "ok    options file: source 3, %s: read, 7 parameters set\n" % good,
            "ok    lock: REVOZI_LOCK is set, the form supplies no setting\n",
            "warn  servers: KWT_KORVEN two.test resolves to this host only: no payment server (a test host)\n",
            "ok    servers: KWT_KORVEN address 127.0.0.2 (resolved in ",
            "ok    servers: KWT_KORVEN address 127.0.0.1 (resolved in ",
            "warn  servers: KWT_KORVEN connect 127.0.0.2 port %d: no answer in 2" % port,
            "ok    servers: KWT_KORVEN connect 127.0.0.1 port %d: connected in " % port,
            "ok    servers: KWT_KORVEN reachable in 2",
            "ok    servers: KWT_BACKUP1 address ::1 (resolved in ",
            "ok    servers: KWT_BACKUP1 address 127.0.0.1 (resolved in ",
            "warn  servers: KWT_BACKUP3 names this host (127.1): no payment server (a test host)\n",
            "ok    servers: KWT_BACKUP3 address 127.0.0.1 (resolved in 0.0 ms)\n",
            "warn  options file: KWT_TIMEOUT2 20 s: above 5 s",
            "ok    error URL: KWT_ERREUR https://shop.test/erreur.html\n",
        ], ["--test-host"], REVOZI_LOCK="1", KWT_MODE="31")
        expect("--check --test-host, a good configuration: exit 0, no FAIL, every address and attempt",
               status == 0 and "FAIL" not in out and not missing, "status %d\nmissing %r\n%s" % (status, missing, out))

        broken = os.path.join(workdir, "broken.txt")
        status, out, took, missing = check(broken, (
            "KWT_KORVEN=https://silent.test/paiement\nKWT_TIMEOUT=1\nKWT_BACKUP1=ftp://one.test/p\n"
            "KWT_BACKUP2=https://one.test/p\nKWT_BACKUP3=https://gone.test/p\nKWT_PORT=%d\n"
            "KWT_CLE=Secret-1\nKWT_ERREUR=javascript:alert(1)\n" % closed), 0o644, [
            "FAIL  options file: it holds KWT_CLE and every user may read it (mode 0644): chmod o-r %s\n" % broken,
            "FAIL  lock: off (REVOZI_LOCK not set, empty or 0)",
            "FAIL  key: none written into the module, yet KWT_CLE is given: requests fail with -17\n",
            "FAIL  servers: KWT_KORVEN silent.test: not resolved (2, no answer in time, try again) after 1",
            "FAIL  servers: KWT_BACKUP1 \"ftp://one.test/p\": refused (not http://, https:// or //, or a control "
            "byte): never probed\n",
            "FAIL  servers: KWT_BACKUP2 connect 127.0.0.1 port %d: error %d" % (closed, refused),
            "FAIL  servers: KWT_BACKUP2 not reachable within 20 s\n",
            "FAIL  servers: KWT_BACKUP3 gone.test: not resolved (1, no such name) after ",
            "FAIL  error URL: KWT_ERREUR javascript:alert(1): not a web address (https://...)\n",
        ], KWT_MODE="3")
        expect("--check, a broken configuration: exit 1 and each FAIL line", status == 1 and not missing
               and took < 3.0, "status %d, %.2f s\nmissing %r\n%s" % (status, took, missing, out))

        env = {"PATH": "/usr/bin:/bin", "KWT_MODE": "23", "KWT_OPT": os.path.join(workdir, "absent.txt")}
        for slot in ("KWT_KORVEN", "KWT_BACKUP1", "KWT_BACKUP2", "KWT_BACKUP3"):
            env[slot] = "https://one.test/"
        status, out, took = run(module, workdir, ["--check"], env)
        expect("--check, a missing options file", status == 1 and
               ("FAIL  options file: source 3, %s: cannot be opened" % env["KWT_OPT"]) in out, out)

        for item in (names, v4, v6, hole):
            item.close()
        memory_cases(module, workdir, expect)

    if failures:
        print("%d case(s) failed" % len(failures))
        return 1
    print("all cases passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
