"""The recorder's messages as the server reads them, for the recorder's scripts."""
import struct
import threading


def messages(conn):
    """Yields (type byte, payload) for each whole message on the connection until it ends."""
    buf = b""
    while True:
        data = conn.recv(65536)
        if not data:
            return
        buf += data
        while len(buf) >= 5:
            kind, n = buf[0], struct.unpack("<I", buf[1:5])[0]
            if len(buf) < 5 + n:
                break
            payload, buf = buf[5:5 + n], buf[5 + n:]
            yield kind, payload


def event_seen(conn, word):
    """Reads the connection on a thread of its own until it ends; the returned Event is set
    once an event message holding word (bytes) arrives."""
    seen = threading.Event()

    def read():
        for kind, payload in messages(conn):
            if kind == 0x4A and word in payload:
                seen.set()

    threading.Thread(target=read, daemon=True).start()
    return seen
