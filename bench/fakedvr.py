"""A DVR for the benchmarks, on loopback.

    fakedvr.py PORT JPEG

GET /snapshotN.jpg answers the JPEG with an 8-digit sequence number, counted
per path, in a comment segment right after its start marker, so that a
viewer can tell every frame it missed. GET /alarm.htm answers a small IO
module page. Keep-alive HTTP/1.1; runs until SIGTERM.
"""

import http.server
import signal
import sys
import threading

ALARM_PAGE = (
    b"<html><body>"
    b"<blink>on</blink><blink>off</blink>"
    b'<select name="gpi1"><option selected value="1">1</option><option value="0">0</option></select>'
    b'<select name="gpo1"><option selected value="0">0</option><option value="1">1</option></select>'
    b"</body></html>"
)


class Snapshots:
    def __init__(self, jpeg):
        if jpeg[:2] != b"\xff\xd8":
            raise ValueError("not a JPEG")
        self._head = jpeg[:2] + b"\xff\xfe\x00\x0a"
        self._tail = jpeg[2:]
        self._counts = {}
        self._lock = threading.Lock()

    def next(self, path):
        with self._lock:
            seq = self._counts.get(path, 0)
            self._counts[path] = seq + 1
        return self._head + b"%08d" % (seq % 100000000) + self._tail


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path.startswith("/snapshot") and path.endswith(".jpg"):
            self._answer(200, "image/jpeg", self.server.snapshots.next(path))
        elif path == "/alarm.htm":
            self._answer(200, "text/html", ALARM_PAGE)
        else:
            self._answer(404, "text/plain", b"not found")

    def _answer(self, status, content_type, body):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128


def main():
    port, jpeg_path = int(sys.argv[1]), sys.argv[2]
    with open(jpeg_path, "rb") as f:
        jpeg = f.read()
    server = Server(("127.0.0.1", port), Handler)
    server.snapshots = Snapshots(jpeg)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("ready", flush=True)
    server.serve_forever(poll_interval=0.5)


if __name__ == "__main__":
    main()
