"""A payment server on loopback for the Python test drivers: it accepts and
closes connections, counting them."""

import socket
import threading


class Listener:
    """A payment server on (host, port) that accepts and closes connections;
    port 0 picks a free one."""

    def __init__(self, host="127.0.0.1", port=0, backlog=128):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.sock.listen(backlog)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.accepted = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            self.accepted += 1
            conn.close()

    def close(self):
        self.stopping = True
        self.thread.join(timeout=5)
        self.sock.close()
