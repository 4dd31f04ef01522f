"""A payment server on 127.0.0.1 for the Python test drivers: it accepts and
closes connections, counting them."""

import socket
import threading


class Listener:
    """A payment server on 127.0.0.1 that accepts and closes connections."""

    def __init__(self, backlog=128):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
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
