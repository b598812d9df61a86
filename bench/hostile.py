"""Benchmarks of the HTTP servers under hostile load, and the fan-out over TLS.

Used by run.py: bench_hostile() and bench_fanout_tls() take the same
arguments as its other benchmarks. Every socket is on loopback; attackers
connect from addresses of 127.0.0.0/8 other than 127.0.0.1, so that they
meet the per-address cap the way clients of many hosts would.
"""

import asyncio
import json
import os
import socket
import ssl
import statistics
import subprocess
import threading
import time

ATTACK_S = 15
AFTER_S = 10
PROBE_INTERVAL_S = 0.02
BOUNDARY = b"--endofsection\r\n"
SEQ_OFFSET, SEQ_DIGITS = 6, 8  # where fakedvr.py puts a frame's sequence number


# Linux: the port of a socket bound to a source address is chosen at connect
# time, so that it never keeps a later service off a port.
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)


def _connect(port, source, blocking=False, receive_buffer=0):
    s = socket.socket()
    s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.bind((source, 0))
    if blocking:
        s.connect(("127.0.0.1", port))
        return s
    s.setblocking(False)
    try:
        s.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    return s


def _send_some(s, data):
    try:
        return s.send(data)
    except OSError:
        return 0


class Attack:
    """The attack of the issue, on both ports at once:
    - 1990 connections per port, from 40 addresses, half sending 99 header
      lines of 8 KiB, half holding a head just under the head bound;
    - 2000 idle connections from one address, on the video port;
    - 200 connections from 4 addresses that pipeline requests and never read.
    """

    def __init__(self, video_port, event_port):
        self.ports = (video_port, event_port)
        self.sockets = []
        self.pipeliners = []

    def start(self):
        big_line = b"X-Pad: " + b"a" * (8 * 1024 - 9) + b"\r\n"
        long_head = b"GET / HTTP/1.1\r\n" + big_line * 99
        held_head = b"GET / HTTP/1.1\r\n" + big_line * 3 + b"X-Pad: " + b"b" * 7000 + b"\r\n"
        for i in range(1990 * 2):
            s = _connect(self.ports[i % 2], "127.0.1.%d" % (1 + i // 100))
            self.sockets.append((s, long_head if i % 4 < 2 else held_head))
        for _ in range(2000):
            self.sockets.append((_connect(self.ports[0], "127.0.2.1"), b""))
        pipelined = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n" * 2000
        for i in range(200):
            s = _connect(self.ports[i % 2], "127.0.3.%d" % (1 + i % 4), receive_buffer=4096)
            self.pipeliners.append(s)
            self.sockets.append((s, b""))
        self.pipelined = pipelined
        time.sleep(0.5)
        for s, data in self.sockets:
            if data:
                _send_some(s, data)
        self.feed()

    def feed(self):
        """Keeps the pipeliners' requests coming, as far as the server reads them."""
        for s in self.pipeliners:
            _send_some(s, self.pipelined)

    def stop(self):
        for s, _ in self.sockets:
            s.close()
        self.sockets = []
        self.pipeliners = []


class Probe(threading.Thread):
    """A normal client from 127.0.0.2: GET / on one kept-alive connection,
    every 20 ms, timing each answer."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.latencies = []
        self.failures = 0
        self.running = True

    def run(self):
        s = None
        while self.running:
            try:
                if s is None:
                    s = _connect(self.port, "127.0.0.2", blocking=True)
                    s.settimeout(5)
                started = time.monotonic()
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                self._read_response(s)
                self.latencies.append(time.monotonic() - started)
            except OSError:
                self.failures += 1
                if s:
                    s.close()
                s = None
            time.sleep(PROBE_INTERVAL_S)
        if s:
            s.close()

    @staticmethod
    def _read_response(s):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                raise OSError("closed")
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
        while len(body) < length:
            chunk = s.recv(65536)
            if not chunk:
                raise OSError("closed")
            body += chunk


def p99(values):
    if not values:
        return float("inf")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def bench_hostile(run, args, dvr_port, central, runs):
    """RSS during and after the attack, a normal client's p99 per port and a
    viewer's frame rate, one run each (the attack itself is the load)."""
    samples = []
    for _ in range(runs):
        video_port, event_port = run.free_port(), run.free_port()
        site = run.Site(args.tavro, args.work, "hostile", central.ports, event_port)
        site.add_dvr(1, "bench", dvr_port, video_port, [1])
        pid = site.start([video_port, event_port])
        time.sleep(0.5)
        base = run.rss_kib(pid)
        viewer = run.run_viewers(args.tools, video_port, ["/bench/main/1"], 1, 2, ATTACK_S - 3, pid)
        probes = [Probe(video_port), Probe(event_port)]
        attack = Attack(video_port, event_port)
        attack.start()
        for probe in probes:
            probe.start()
        peak = base
        deadline = time.monotonic() + ATTACK_S
        while time.monotonic() < deadline:
            time.sleep(0.1)
            peak = max(peak, run.rss_kib(pid))
            attack.feed()
        for probe in probes:
            probe.running = False
            probe.join()
        seen = run.viewers_result(viewer)
        attack.stop()
        time.sleep(AFTER_S)
        after = run.rss_kib(pid)
        log = site.log_lines()
        site.stop()
        samples.append({
            "rss_base_kib": base, "rss_peak_kib": peak, "rss_after_kib": after,
            "p99_video_ms": 1000 * p99(probes[0].latencies), "p99_events_ms": 1000 * p99(probes[1].latencies),
            "answers": [len(p.latencies) for p in probes], "probe_failures": [p.failures for p in probes],
            "viewer_fps": seen["min_frames"] / seen["duration"], "viewer_missed": seen["missed"],
            "log_refusals": sum(1 for line in log if "Refusing client" in line or "memory budget" in line),
        })
    return {
        "attack_s": ATTACK_S, "after_s": AFTER_S,
        "rss_base_kib": statistics.median(s["rss_base_kib"] for s in samples),
        "rss_peak_kib": statistics.median(s["rss_peak_kib"] for s in samples),
        "rss_after_kib": statistics.median(s["rss_after_kib"] for s in samples),
        "p99_video_ms": statistics.median(s["p99_video_ms"] for s in samples),
        "p99_events_ms": statistics.median(s["p99_events_ms"] for s in samples),
        "probe_failures": max(sum(s["probe_failures"]) for s in samples),
        "viewer_fps": statistics.median(s["viewer_fps"] for s in samples),
        "runs": samples,
    }


# --- fan-out over TLS -----------------------------------------------------------

class StreamCounter:
    """Counts a viewer's frames inside the window and the ones it missed,
    by the sequence numbers fakedvr.py writes into each JPEG."""

    def __init__(self):
        self.buffer = bytearray()
        self.frames = 0
        self.missed = 0
        self.last = None
        self.counting = False

    def feed(self, data):
        self.buffer += data
        while True:
            start = self.buffer.find(BOUNDARY)
            if start < 0:
                return
            head_end = self.buffer.find(b"\r\n\r\n", start)
            if head_end < 0:
                return
            length = None
            for line in bytes(self.buffer[start:head_end]).split(b"\r\n"):
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            body = head_end + 4
            if length is None or len(self.buffer) < body + length:
                return
            seq = int(self.buffer[body + SEQ_OFFSET:body + SEQ_OFFSET + SEQ_DIGITS] or b"0")
            if self.counting:
                self.frames += 1
                if self.last is not None and seq > self.last + 1:
                    self.missed += seq - self.last - 1
            self.last = seq
            del self.buffer[:body + length]


async def _watch(port, path, context, counter, source):
    s = socket.socket()
    s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    s.bind((source, 0))
    s.setblocking(False)
    await asyncio.get_running_loop().sock_connect(s, ("127.0.0.1", port))
    reader, writer = await asyncio.open_connection(sock=s, ssl=context,
                                                   server_hostname="127.0.0.1" if context else None)
    writer.write(b"GET " + path + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    await reader.readuntil(b"\r\n\r\n")
    while True:
        data = await reader.read(256 * 1024)
        if not data:
            return
        counter.feed(data)


async def _viewers(run, port, tls, count, warmup, duration, pid):
    context = None
    if tls:
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    counters = [StreamCounter() for _ in range(count)]
    # 50 viewers per address, within the service's cap per client address.
    tasks = [asyncio.ensure_future(_watch(port, b"/bench/main/1", context, c, "127.0.4.%d" % (1 + i // 50)))
             for i, c in enumerate(counters)]
    await asyncio.sleep(warmup)
    for c in counters:
        c.counting = True
    cpu_before = run.cpu_and_wakeups(pid)[0]
    await asyncio.sleep(duration)
    cpu = run.cpu_and_wakeups(pid)[0] - cpu_before
    for c in counters:
        c.counting = False
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    frames = [c.frames for c in counters]
    return {"frames": sum(frames), "min_frames": min(frames), "median_frames": statistics.median(frames),
            "missed": sum(c.missed for c in counters), "cpu_s": cpu, "duration": duration,
            "streaming": sum(1 for f in frames if f > 0)}


def _tls_floor(args, site_dir, count):
    """The same frame sent to as many viewers by the least program that can
    (bench/tls_floor.c), plain and through the same TLS library and certificate."""
    out = subprocess.run([os.path.join(args.tools, "tls_floor"), os.path.join(site_dir, "tls-certificate.pem"),
                          os.path.join(site_dir, "tls-key.pem"), os.path.join(args.work, "frame.jpg"), str(count)],
                         check=True, capture_output=True, text=True, timeout=90)
    return json.loads(out.stdout)


def bench_fanout_tls(run, args, dvr_port, central, runs):
    """100 viewers of one channel over plain HTTP and over TLS, each with the
    same client: frames delivered and the service's CPU per 1000 of them."""
    count, warmup, duration = 100, 2, 4 if args.quick else 6
    samples = []
    for _ in range(runs):
        sample = {}
        for tls in (False, True):
            out_port = run.free_port()
            site = run.Site(args.tavro, args.work, "fanout-tls", central.ports, run.free_port())
            site.add_dvr(1, "bench", dvr_port, out_port, [1])
            if tls:
                subprocess.run([site.binary, "--make-certificate", "127.0.0.1"], cwd=site.dir, check=True,
                               stdout=subprocess.DEVNULL)
            pid = site.start([out_port])
            time.sleep(0.3)
            sample["tls" if tls else "plain"] = asyncio.run(_viewers(run, out_port, tls, count, warmup, duration, pid))
            site.stop()
        sample["floor"] = _tls_floor(args, site.dir, count)
        samples.append(sample)
    per_1000 = [{k: run.per_1000(s[k]) for k in ("plain", "tls")} for s in samples]
    return {
        "viewers": count,
        "missed_frames": statistics.median(s["tls"]["missed"] + (count - s["tls"]["streaming"]) * 1000 for s in samples),
        "fps_per_viewer": statistics.median(s["tls"]["min_frames"] / duration for s in samples),
        "cpu_s_per_1000_frames": statistics.median(p["tls"] for p in per_1000),
        "plain_cpu_s_per_1000_frames": statistics.median(p["plain"] for p in per_1000),
        "cpu_ratio": statistics.median(p["tls"] / p["plain"] for p in per_1000),
        "floor_plain_us": statistics.median(s["floor"]["plain_us"] for s in samples),
        "floor_tls_us": statistics.median(s["floor"]["tls_us"] for s in samples),
        "floor_ratio": statistics.median(s["floor"]["tls_us"] / s["floor"]["plain_us"] for s in samples),
        "runs": samples,
    }
