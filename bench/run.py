"""The benchmark run: MJPEG fan-out, stalled viewers, HTTP request rate, idle
cost, configuration sync, updates and bursts, each against its reference in
the same run.

    run.py --tavro BIN --tools DIR --proto SVC_PROTO --work DIR [--runs N] [--quick]

DIR of --tools holds the compiled mjpeg_ref and viewers. Every process runs on
loopback, is started by this script and is stopped when it ends, however it
ends. Prints one table; the figures go to DIR of --work as results.json.
"""

import argparse
import atexit
import importlib
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from datetime import datetime, timezone

import hostile

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
SITE_ID = "bench-site"
DVR_USER, DVR_PASS = "admin", "admin"

SCHEMA = [
    "CREATE TABLE IF NOT EXISTS `dvrs`    (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `ip` VARCHAR, `user` VARCHAR, `pass` VARCHAR)",
    "CREATE TABLE IF NOT EXISTS `streams` (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `dvrId` INTEGER, `inPort` INTEGER, `outPort` INTEGER, `channels` VARCHAR, FOREIGN KEY(dvrId) REFERENCES dvrs(id))",
    "CREATE TABLE IF NOT EXISTS `ios`     (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `dvrId` INTEGER,  `state` INTEGER, `port` INTEGER, `enabled` INTEGER, `eventsEnabled` INTEGER, FOREIGN KEY(dvrId) REFERENCES dvrs(id))",
    "CREATE TABLE IF NOT EXISTS `ioDoors` (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `ioId` INTEGER, `inPin` INTEGER, `outPin` INTEGER, `delay` INTEGER, `ncno` INTEGER, FOREIGN KEY(ioId) REFERENCES ios(id))",
]


# --- processes --------------------------------------------------------------

class Processes:
    """Every process the run starts; all are stopped at exit, whatever the exit."""

    def __init__(self):
        self._procs = []
        atexit.register(self.stop_all)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, lambda *_: sys.exit(1))

    def start(self, args, **kwargs):
        proc = subprocess.Popen(args, **kwargs)
        self._procs.append(proc)
        return proc

    def stop(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc in self._procs:
            self._procs.remove(proc)

    def stop_all(self):
        for proc in list(self._procs):
            self.stop(proc)


PROCS = Processes()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("nothing listens on port %d" % port)


def cpu_and_wakeups(pid):
    """CPU seconds (scheduler clock), clock ticks and context switches, summed
    over the threads of the process, and the switches per thread name."""
    cpu_ns, switches, per_thread = 0, 0, {}
    task_dir = "/proc/%d/task" % pid
    for tid in os.listdir(task_dir):
        try:
            with open("%s/%s/schedstat" % (task_dir, tid)) as f:
                cpu_ns += int(f.read().split()[0])
            with open("%s/%s/comm" % (task_dir, tid)) as f:
                name = f.read().strip()
            count = 0
            with open("%s/%s/status" % (task_dir, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        count += int(line.split()[1])
        except OSError:
            continue
        switches += count
        per_thread["%s/%s" % (name, tid)] = count
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return cpu_ns / 1e9, ticks, switches, per_thread


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


# --- the site and the service -------------------------------------------------

class Site:
    """A scratch directory holding a copy of the service with its settings."""

    def __init__(self, tavro, work, name, central_ports, event_port):
        self.dir = tempfile.mkdtemp(prefix=name + "-", dir=work)
        self.binary = os.path.join(self.dir, "tavro")
        subprocess.run(["cp", tavro, self.binary], check=True)
        self.event_port = event_port
        self.log_path = os.path.join(self.dir, "service.log")
        with open(os.path.join(self.dir, "settings.ini"), "w") as f:
            f.write("[General]\nserverAddress=127.0.0.1\nserverSendPort=%d\nserverRecvPort=%d\n"
                    "id=%s\neventPort=%d\nioPath=html\n" % (central_ports[0], central_ports[1], SITE_ID, event_port))
        self.db = sqlite3.connect(os.path.join(self.dir, "settings.db"))
        for statement in SCHEMA:
            self.db.execute(statement)
        self.proc = None

    def add_dvr(self, dvr_id, name, port_in, out_port, channels, io_port=None):
        self.db.execute("INSERT INTO dvrs VALUES (?, ?, '127.0.0.1', ?, ?)", (dvr_id, name, DVR_USER, DVR_PASS))
        self.db.execute("INSERT INTO streams VALUES (?, 'main', ?, ?, ?, ?)",
                        (dvr_id, dvr_id, port_in, out_port, ",".join(str(c) for c in channels)))
        if io_port:
            self.db.execute("INSERT INTO ios VALUES (?, 'gate', ?, 0, ?, 1, 1)", (dvr_id, dvr_id, io_port))

    def start(self, wait_ports):
        self.db.commit()
        self.db.close()
        self.log = open(self.log_path, "wb")
        self.proc = PROCS.start([self.binary, "--service"], cwd=self.dir, stdout=self.log, stderr=self.log)
        for port in wait_ports:
            wait_listening(port)
        return self.proc.pid

    def log_lines(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def stop(self):
        if self.proc:
            PROCS.stop(self.proc)
            self.log.close()
            self.proc = None


class SilentCentral:
    """Binds the two Central endpoints and says nothing."""

    def __init__(self):
        import zmq
        self.context = zmq.Context()
        self.pub = self.context.socket(zmq.PUB)
        self.pull = self.context.socket(zmq.PULL)
        self.pub.setsockopt(zmq.LINGER, 0)
        self.pull.setsockopt(zmq.LINGER, 0)
        pub_port = self.pub.bind_to_random_port("tcp://127.0.0.1")
        pull_port = self.pull.bind_to_random_port("tcp://127.0.0.1")
        self.ports = (pub_port, pull_port)

    def wait_for_service(self, pb, ping_number):
        """Pings until the service answers (its subscription takes a moment),
        and takes the answer."""
        ping = pb.Packet()
        ping.client_id = SITE_ID
        ping.ping.number = ping_number
        deadline = time.time() + 10
        while not self.pull.poll(20):
            if time.time() > deadline:
                raise RuntimeError("the service never answered a ping")
            self.pub.send_multipart([b"services", ping.SerializeToString()])
        self.pull.recv()

    def close(self):
        self.pub.close()
        self.pull.close()
        self.context.term()


# --- benchmarks ---------------------------------------------------------------

def run_viewers(tools, port, paths, count, warmup, duration, pid=None, stall=False):
    args = [os.path.join(tools, "viewers"), str(port), ",".join(paths), str(count), str(warmup), str(duration)]
    if pid:
        args.append(str(pid))
    if stall:
        args.append("--stall")
    return PROCS.start(args, stdout=subprocess.PIPE, text=True)


def viewers_result(proc):
    out, _ = proc.communicate(timeout=300)
    PROCS.stop(proc)
    return json.loads(out)


FANOUT = [  # (label, channels, viewers per channel)
    ("1 viewer", 1, 1),
    ("10 viewers", 1, 10),
    ("100 viewers", 1, 100),
    ("1000 viewers", 1, 1000),
    ("16 ch x 25 viewers", 16, 25),
]


def fanout_once(args, dvr_port, central, channels, per_channel, warmup, duration):
    count = channels * per_channel
    paths = ["/bench/main/%d" % c for c in range(1, channels + 1)]
    out_port = free_port()
    site = Site(args.tavro, args.work, "fanout", central.ports, free_port())
    site.add_dvr(1, "bench", dvr_port, out_port, range(1, 17))
    pid = site.start([out_port])
    time.sleep(0.3)
    base = rss_kib(pid)
    service = viewers_result(run_viewers(args.tools, out_port, paths, count, warmup, duration, pid))
    site.stop()
    service["rss_base_kib"] = base

    ref_port = free_port()
    ref = PROCS.start([os.path.join(args.tools, "mjpeg_ref"), str(ref_port), str(dvr_port)])
    wait_listening(ref_port)
    reference = viewers_result(run_viewers(args.tools, ref_port, paths, count, warmup, duration, ref.pid))
    PROCS.stop(ref)
    return service, reference


def per_1000(result):
    return 1000.0 * result["cpu_s"] / result["frames"] if result["frames"] else float("inf")


def bench_fanout(args, dvr_port, central, runs):
    duration = 4 if args.quick else 6
    figures = []
    for label, channels, per_channel in FANOUT:
        count = channels * per_channel
        warmup = 3 if count >= 400 else 2
        samples = [fanout_once(args, dvr_port, central, channels, per_channel, warmup, duration) for _ in range(runs)]
        fps = [s["median_frames"] / s["duration"] for s, _ in samples]
        fps_min = [s["min_frames"] / s["duration"] for s, _ in samples]
        ref_fps = [r["median_frames"] / r["duration"] for _, r in samples]
        cpu = [per_1000(s) for s, _ in samples]
        ref_cpu = [per_1000(r) for _, r in samples]
        ratio = [per_1000(s) / per_1000(r) for s, r in samples]
        rss = [s["rss_kib"] for s, _ in samples]
        per_viewer = [(s["rss_kib"] - s["rss_base_kib"]) / count for s, _ in samples]
        missed = [s["missed"] + (count - s["streaming"]) * 1000 for s, _ in samples]
        figures.append({
            "label": label, "viewers": count,
            "fps_per_viewer": statistics.median(fps), "fps_min_viewer": statistics.median(fps_min),
            "ref_fps_per_viewer": statistics.median(ref_fps),
            "missed_frames": statistics.median(missed),
            "cpu_s_per_1000_frames": statistics.median(cpu), "ref_cpu_s_per_1000_frames": statistics.median(ref_cpu),
            "cpu_ratio": statistics.median(ratio),
            "rss_kib": statistics.median(rss), "rss_kib_per_viewer": statistics.median(per_viewer),
            "ref_rss_kib": statistics.median(r["rss_kib"] for _, r in samples),
            "runs": samples,
        })
    return figures


def bench_stalled(args, dvr_port, central, runs):
    duration = 20 if args.quick else 60
    samples = []
    for _ in range(runs):
        out_port = free_port()
        site = Site(args.tavro, args.work, "stalled", central.ports, free_port())
        site.add_dvr(1, "bench", dvr_port, out_port, [1])
        pid = site.start([out_port])
        time.sleep(0.3)
        base = rss_kib(pid)
        stalled = run_viewers(args.tools, out_port, ["/bench/main/1"], 100, 1, duration + 3, stall=True)
        readers = viewers_result(run_viewers(args.tools, out_port, ["/bench/main/1"], 10, 2, duration, pid))
        stalled_result = viewers_result(stalled)
        site.stop()
        readers["rss_base_kib"] = base
        readers["stalled_streaming"] = stalled_result["streaming"]
        samples.append(readers)
    series = [s["rss_series_kib"] for s in samples]
    # Bounded: the resident size has stopped growing over the second half.
    growth = [(s[-1] - s[len(s) // 2 - 1]) if len(s) >= 2 else 0 for s in series]
    return {
        "fps_per_viewer": statistics.median(s["min_frames"] / s["duration"] for s in samples),
        "missed_frames": statistics.median(s["missed"] + (10 - s["streaming"]) * 1000 for s in samples),
        "rss_kib": statistics.median(s["rss_kib"] for s in samples),
        "rss_base_kib": statistics.median(s["rss_base_kib"] for s in samples),
        "rss_growth_second_half_kib": statistics.median(growth),
        "duration": duration, "runs": samples,
    }


def wrk_rate(url, seconds):
    out = subprocess.run(["wrk", "-t1", "-c50", "-d%ds" % seconds, url],
                         capture_output=True, text=True, timeout=seconds + 30).stdout
    match = re.search(r"Requests/sec:\s+([\d.]+)", out)
    errors = re.search(r"Socket errors: (.*)", out)
    return float(match.group(1)) if match else 0.0, errors.group(1) if errors else ""


NGINX_CONF = """worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    keepalive_requests 1000000;
    keepalive_timeout 60s;
    client_body_temp_path {dir}/tmp; proxy_temp_path {dir}/tmp; fastcgi_temp_path {dir}/tmp;
    uwsgi_temp_path {dir}/tmp; scgi_temp_path {dir}/tmp;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {dir}/www;
    }}
}}
"""


def start_nginx(work, files):
    root = tempfile.mkdtemp(prefix="nginx-", dir=work)
    os.makedirs(os.path.join(root, "www"))
    os.makedirs(os.path.join(root, "tmp"))
    for name, body in files.items():
        with open(os.path.join(root, "www", name), "wb") as f:
            f.write(body)
    port = free_port()
    with open(os.path.join(root, "nginx.conf"), "w") as f:
        f.write(NGINX_CONF.format(dir=root, port=port))
    proc = PROCS.start(["nginx", "-p", root, "-c", os.path.join(root, "nginx.conf")],
                       stderr=subprocess.DEVNULL)
    wait_listening(port)
    return proc, port


def bench_http(args, dvr_port, central, runs):
    seconds = 3 if args.quick else 5
    out_port, event_port = free_port(), free_port()
    site = Site(args.tavro, args.work, "http", central.ports, event_port)
    site.add_dvr(1, "bench", dvr_port, out_port, range(1, 17), io_port=dvr_port)
    site.start([out_port, event_port])
    video_url = "http://127.0.0.1:%d/" % out_port
    read_url = "http://127.0.0.1:%d/read?layout=1" % event_port

    def body(url):
        try:
            return urllib.request.urlopen(url, timeout=5).read()
        except urllib.error.HTTPError as e:  # the index pages answer 404
            return e.read()

    body(read_url)  # starts the module's polling; its state shows after one poll
    time.sleep(2.5)
    bodies = {"index.html": body(video_url), "read.json": body(read_url)}
    nginx, nginx_port = start_nginx(args.work, bodies)
    targets = [("video index", video_url, "index.html"), ("events /read", read_url, "read.json")]
    figures = []
    for label, url, name in targets:
        samples = []
        for _ in range(runs):
            rate, errors = wrk_rate(url, seconds)
            ref_rate, ref_errors = wrk_rate("http://127.0.0.1:%d/%s" % (nginx_port, name), seconds)
            samples.append({"rate": rate, "ref_rate": ref_rate, "errors": errors, "ref_errors": ref_errors})
        figures.append({
            "label": label, "body_bytes": len(bodies[name]),
            "rate": statistics.median(s["rate"] for s in samples),
            "ref_rate": statistics.median(s["ref_rate"] for s in samples),
            "ratio": statistics.median(s["rate"] / s["ref_rate"] if s["ref_rate"] else 0 for s in samples),
            "runs": samples,
        })
    PROCS.stop(nginx)
    site.stop()
    return figures


def bench_idle(args, dvr_port, central, runs):
    return measure_idle(args, dvr_port, central.ports, runs, 10 if args.quick else 30)


def bench_idle_unreachable(args, dvr_port, runs):
    """The same site with nothing listening at Central's ports, for a minute."""
    return measure_idle(args, dvr_port, (free_port(), free_port()), runs, 20 if args.quick else 60)


def measure_idle(args, dvr_port, central_ports, runs, seconds):
    # The runs are independent services measured over the same window.
    sites = []
    for _ in range(runs):
        out_port, event_port = free_port(), free_port()
        site = Site(args.tavro, args.work, "idle", central_ports, event_port)
        site.add_dvr(1, "bench", dvr_port, out_port, range(1, 17), io_port=dvr_port)
        site.start([out_port, event_port])
        sites.append(site)
    time.sleep(2)
    before = [cpu_and_wakeups(site.proc.pid) for site in sites]
    time.sleep(seconds)
    after = [cpu_and_wakeups(site.proc.pid) for site in sites]
    for site in sites:
        site.stop()
    samples = []
    for b, a in zip(before, after):
        samples.append({
            "cpu_s": a[0] - b[0], "ticks": a[1] - b[1], "wakeups": a[2] - b[2],
            "wakeups_per_thread": {k: v - b[3].get(k, 0) for k, v in a[3].items() if v != b[3].get(k, 0)},
        })
    return {
        "seconds": seconds,
        "cpu_s": statistics.median(s["cpu_s"] for s in samples),
        "ticks": statistics.median(s["ticks"] for s in samples),
        "wakeups": statistics.median(s["wakeups"] for s in samples),
        "runs": samples,
    }


def load_proto(proto, work):
    out = tempfile.mkdtemp(prefix="proto-", dir=work)
    subprocess.run(["protoc", "-I", os.path.dirname(proto), "--python_out", out, proto], check=True)
    sys.path.insert(0, out)
    return importlib.import_module(os.path.splitext(os.path.basename(proto))[0] + "_pb2")


def free_port_block(count, base=20000):
    """A run of consecutive free loopback ports below the ephemeral range."""
    while base + count < 32768:
        block = range(base, base + count)
        socks = []
        try:
            for port in block:
                s = socket.socket()
                s.bind(("127.0.0.1", port))
                socks.append(s)
            return list(block)
        except OSError:
            base += count
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no block of %d free ports" % count)


def big_config(pb, out_ports):
    packet = pb.Packet()
    packet.client_id = SITE_ID
    data = packet.data
    for d in range(1, 1001):
        data.dvrs.add(id=d, name="dvr%04d" % d, ip="127.0.0.1", user=DVR_USER, password=DVR_PASS)
        for s in range(2):
            sid = 2 * d - 1 + s
            data.streams.add(id=sid, name="stream%d" % s, dvr_id=d, dvr_name="dvr%04d" % d, in_port=80,
                             out_port=out_ports[sid - 1], channels=json.dumps([str(c) for c in range(1, 5)]))
        data.ios.add(id=d, name="io%04d" % d, dvr_id=d, port=8081, state=0, enabled=True, events_enabled=True)
        for k in range(4):
            data.doors.add(id=4 * (d - 1) + k + 1, name="door%d" % k, io_id=d, in_pin=k + 1, out_pin=k + 1,
                           delay=3, nonc=0)
    return packet.SerializeToString()


def log_time(line):
    stamp = line.split(" ", 1)[0]
    return datetime.fromisoformat(stamp.replace("Z", "+00:00")).replace(tzinfo=timezone.utc).timestamp()


def wait_answer(port, path, deadline):
    """The time at which the server on PORT first answers a request for PATH."""
    request = b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.sendall(request)
                if s.recv(16).startswith(b"HTTP/1.1 "):
                    return time.time()
        except OSError:
            pass
        time.sleep(0.001)
    raise RuntimeError("no answer on port %d" % port)


def sync_once(args, pb, out_ports, ping_number):
    central = SilentCentral()
    event_port = free_port()
    site = Site(args.tavro, args.work, "sync", central.ports, event_port)
    site.start([event_port])
    try:
        central.wait_for_service(pb, ping_number)
        payload = big_config(pb, out_ports)
        results = []
        for round_ in ("first (empty before)", "second (replaces the first)"):
            # The log is followed from its current end, so that waiting for
            # the reload costs this process little beside the service.
            log = open(site.log_path, "rb")
            log.seek(0, os.SEEK_END)
            sent = time.time()
            central.pub.send_multipart([b"services", payload])
            deadline = sent + 30
            loaded, tail = None, b""
            while loaded is None and time.time() < deadline:
                tail += log.read()
                found = tail.find(b" void Config::load()")
                if found >= 0:
                    loaded = log_time(tail[tail.rfind(b"\n", 0, found) + 1:found + 1].decode())
                else:
                    tail = tail[tail.rfind(b"\n") + 1:]
                    time.sleep(0.001)
            log.close()
            if loaded is None:
                raise RuntimeError("no configuration reload after the data packet")
            video = wait_answer(out_ports[-1], "/", deadline)
            events = wait_answer(event_port, "/read", deadline)
            results.append({"round": round_, "bytes": len(payload), "to_config_updated_ms": (loaded - sent) * 1000,
                            "to_serving_ms": (max(video, events) - sent) * 1000})
        counts = [line.split("  ", 1)[1] for line in site.log_lines() if "  Loaded " in line][-4:]
        for r in results:
            r["loaded"] = counts
        return results
    finally:
        site.stop()
        central.close()


def bench_sync(args, runs):
    pb = load_proto(args.proto, args.work)
    out_ports = free_port_block(2000)
    samples = [sync_once(args, pb, out_ports, n + 1) for n in range(runs)]
    figures = []
    for i, label in enumerate(("empty -> 1000 DVRs", "1000 DVRs -> 1000 DVRs")):
        rounds = [s[i] for s in samples]
        figures.append({
            "label": label, "packet_bytes": rounds[0]["bytes"], "loaded": rounds[0]["loaded"],
            "to_config_updated_ms": statistics.median(r["to_config_updated_ms"] for r in rounds),
            "to_serving_ms": statistics.median(r["to_serving_ms"] for r in rounds),
            "runs": rounds,
        })
    return figures


def tenth_changed(pb, payload, new_ports=None):
    """The packet with every tenth stream changed: moved to a new output
    port when NEW_PORTS are given, else renamed, fetched from another DVR
    port and without its last channel."""
    packet = pb.Packet()
    packet.ParseFromString(payload)
    for n, stream in enumerate(packet.data.streams):
        if n % 10:
            continue
        if new_ports:
            stream.out_port = new_ports[n // 10]
        else:
            stream.name += "-renamed"
            stream.in_port = 81
            stream.channels = json.dumps([str(c) for c in range(1, 4)])
    return packet.SerializeToString()


def applied_after(log, deadline):
    """The lines of the log up to and including the next "Configuration
    applied in N ms (reload M ms)", N and M."""
    lines, tail = [], b""
    while time.time() < deadline:
        tail += log.read()
        *done, tail = tail.split(b"\n")
        for line in done:
            text = line.decode("utf-8", "replace").split(" ", 1)[-1]
            lines.append(text)
            if text.startswith("Configuration applied in "):
                words = text.split()
                return float(words[3]), float(words[6]), lines
        time.sleep(0.001)
    raise RuntimeError("no configuration applied")


def ask(sock):
    """Whether a kept-alive connection answers one more request in full."""
    try:
        sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                return False
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
        while len(body) < length:
            chunk = sock.recv(65536)
            if not chunk:
                return False
            body += chunk
        return head.startswith(b"HTTP/1.1 ")
    except (OSError, AttributeError):
        return False


def update_once(args, pb, out_ports, new_ports, ping_number):
    """A full configuration applied over an empty one, then the same again,
    then with a tenth of its streams changed, then with a tenth moved to
    new ports."""
    central = SilentCentral()
    event_port = free_port()
    site = Site(args.tavro, args.work, "update", central.ports, event_port)
    site.start([event_port])
    try:
        central.wait_for_service(pb, ping_number)
        payload = big_config(pb, out_ports)
        changed = tenth_changed(pb, payload)
        rounds = [("full start", payload), ("identical", payload), ("10% of streams changed", changed),
                  ("10% of streams on new ports", tenth_changed(pb, changed, new_ports))]
        results = {}
        watcher = None
        for label, packet in rounds:
            log = open(site.log_path, "rb")
            log.seek(0, os.SEEK_END)
            central.pub.send_multipart([b"services", packet])
            applied_ms, reload_ms, lines = applied_after(log, time.time() + 30)
            log.close()
            # The connection opened before the update still answers.
            kept = ask(watcher) if watcher else None
            results[label] = {
                "applied_ms": applied_ms,
                "servers_ms": applied_ms - reload_ms,
                "opened": sum(1 for line in lines if line.startswith("VideoServer started on port ")),
                "closed": sum(1 for line in lines if line == "VideoServer stopped"),
                "connection_kept": kept,
            }
            if watcher is None:
                wait_answer(out_ports[1], "/", time.time() + 10)
                watcher = socket.create_connection(("127.0.0.1", out_ports[1]), timeout=2)
                if not ask(watcher):
                    raise RuntimeError("no answer on port %d" % out_ports[1])
            time.sleep(0.3)  # beyond the wait under which updates coalesce
        watcher.close()
        return results
    finally:
        site.stop()
        central.close()


def bench_update(args, runs):
    pb = load_proto(args.proto, args.work)
    ports = free_port_block(2200)
    samples = [update_once(args, pb, ports[:2000], ports[2000:], n + 1) for n in range(runs)]
    figures = []
    for label in ("identical", "10% of streams changed", "10% of streams on new ports"):
        rounds = [s[label] for s in samples]
        figures.append({
            "label": label,
            "applied_ms": statistics.median(r["applied_ms"] for r in rounds),
            "servers_ms": statistics.median(r["servers_ms"] for r in rounds),
            "full_start_ms": statistics.median(s["full start"]["applied_ms"] for s in samples),
            "full_start_servers_ms": statistics.median(s["full start"]["servers_ms"] for s in samples),
            # The whole update, from the database commit to the servers updated.
            "ratio": statistics.median(r["applied_ms"] / s["full start"]["applied_ms"] for r, s in zip(rounds, samples)),
            "opened": max(r["opened"] for r in rounds),
            "closed": max(r["closed"] for r in rounds),
            "connection_kept": all(r["connection_kept"] for r in rounds),
            "runs": rounds,
        })
    return figures


def small_config(pb, out_ports, name):
    """A site of 10 DVRs, the first named NAME."""
    packet = pb.Packet()
    packet.client_id = SITE_ID
    data = packet.data
    for d in range(1, 11):
        data.dvrs.add(id=d, name=name if d == 1 else "dvr%02d" % d, ip="127.0.0.1", user=DVR_USER, password=DVR_PASS)
        data.streams.add(id=d, name="main", dvr_id=d, in_port=80, out_port=out_ports[d - 1],
                         channels=json.dumps(["1", "2"]))
        data.ios.add(id=d, name="io%02d" % d, dvr_id=d, port=8081)
        for k in range(4):
            data.doors.add(id=4 * (d - 1) + k + 1, name="door%d" % k, io_id=d, in_pin=k + 1, out_pin=k + 1)
    return packet.SerializeToString()


def burst_once(args, pb, out_ports, ping_number, count=5000, seconds=5.0):
    """COUNT configurations in SECONDS, each naming the first DVR after its
    number, while a client asks the events server for its index without
    pause; how many were applied, whether the last one was, and how many of
    the client's requests failed."""
    import threading
    central = SilentCentral()
    event_port = free_port()
    site = Site(args.tavro, args.work, "burst", central.ports, event_port)
    site.start([event_port])
    try:
        central.wait_for_service(pb, ping_number)
        packets = [small_config(pb, out_ports, "burst%05d" % n) for n in range(1, count + 1)]
        central.pub.send_multipart([b"services", packets[0]])
        wait_answer(out_ports[0], "/", time.time() + 10)

        asked, failed, done = [0], [0], threading.Event()

        def ask_events():
            while not done.is_set():
                asked[0] += 1
                try:
                    with socket.create_connection(("127.0.0.1", event_port), timeout=1) as s:
                        s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                        if not s.recv(16).startswith(b"HTTP/1.1 200"):
                            failed[0] += 1
                except OSError:
                    failed[0] += 1

        client = threading.Thread(target=ask_events)
        client.start()
        start = time.time()
        for n, packet in enumerate(packets):
            central.pub.send_multipart([b"services", packet])
            pause = start + seconds * (n + 1) / count - time.time()
            if pause > 0:
                time.sleep(pause)
        last = ("<li><a href=\"/burst%05d\">" % count).encode()
        deadline = time.time() + 30
        while time.time() < deadline:
            with socket.create_connection(("127.0.0.1", out_ports[0]), timeout=2) as s:
                s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                page = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    page += chunk
            if last in page:
                break
            time.sleep(0.05)
        done.set()
        client.join()
        applied = sum(1 for line in site.log_lines() if " Configuration applied in " in line)
        return {"sent": count, "applied": applied - 1, "last_applied": last in page,
                "requests": asked[0], "failed": failed[0]}
    finally:
        site.stop()
        central.close()


def bench_burst(args, runs):
    pb = load_proto(args.proto, args.work)
    out_ports = free_port_block(10)
    rounds = [burst_once(args, pb, out_ports, n + 1) for n in range(runs)]
    return {"sent": rounds[0]["sent"],
            "applied": statistics.median(r["applied"] for r in rounds),
            "last_applied": all(r["last_applied"] for r in rounds),
            "requests": statistics.median(r["requests"] for r in rounds),
            "failed": max(r["failed"] for r in rounds),
            "runs": rounds}


# --- report -------------------------------------------------------------------

def table(results, runs):
    rows = []

    def row(bench, figure, reference, ratio, target, met):
        rows.append((bench, figure, reference, ratio, target, "yes" if met else "NO"))

    for f in results.get("fanout", []):
        label = "fan-out " + f["label"]
        row(label, "%.2f fps/viewer, %d missed" % (f["fps_per_viewer"], f["missed_frames"]),
            "%.2f fps" % f["ref_fps_per_viewer"], "", "every frame fetched", f["missed_frames"] == 0)
        row(label, "%.3f CPU s/1000 frames" % f["cpu_s_per_1000_frames"],
            "%.3f" % f["ref_cpu_s_per_1000_frames"], "%.2fx" % f["cpu_ratio"], "<= 2x", f["cpu_ratio"] <= 2)
        judged = f["viewers"] >= 100
        row(label, "RSS %d KiB, %.1f KiB/viewer" % (f["rss_kib"], f["rss_kib_per_viewer"]),
            "%d KiB" % f["ref_rss_kib"], "", "< 64 KiB/viewer" if judged else "(reported)",
            f["rss_kib_per_viewer"] < 64 or not judged)
    s = results.get("stalled")
    if s:
        row("stalled: 10 readers + 100 stalled",
            "%.2f fps/reader, %d missed" % (s["fps_per_viewer"], s["missed_frames"]),
            "", "", "full frame rate", s["missed_frames"] == 0 and s["fps_per_viewer"] >= 4)
        row("stalled: RSS after %d s" % s["duration"],
            "%d KiB (+%d KiB in 2nd half)" % (s["rss_kib"], s["rss_growth_second_half_kib"]),
            "", "", "bounded (< 2 MiB growth)", s["rss_growth_second_half_kib"] < 2048)
    for h in results.get("http", []):
        row("HTTP " + h["label"], "%.0f req/s" % h["rate"], "nginx %.0f" % h["ref_rate"], "%.2fx" % h["ratio"],
            ">= 0.5x nginx", h["ratio"] >= 0.5)
    # Heartbeats on the two sockets to Central wake the link's I/O thread
    # every 10 s; the rest of the service sleeps.
    for key, label in (("idle", "idle %d s"), ("idle_unreachable", "idle, Central unreachable, %d s")):
        i = results.get(key)
        if i:
            row(label % i["seconds"],
                "%.4f CPU s, %d ticks, %d wake-ups (%.2f/s)" % (i["cpu_s"], i["ticks"], i["wakeups"],
                                                               i["wakeups"] / i["seconds"]),
                "", "", "<= 1 wake-up/s", i["wakeups"] <= i["seconds"])
    for u in results.get("update", []):
        figure = "%.1f ms applied (servers %.1f); %d ports opened, %d closed, viewer port %s" % (
            u["applied_ms"], u["servers_ms"], u["opened"], u["closed"], "kept" if u["connection_kept"] else "DROPPED")
        if u["label"] == "identical":
            row("config update, identical", figure, "", "", "< 20 ms, 0 sockets",
                u["applied_ms"] < 20 and u["opened"] == 0 and u["closed"] == 0 and u["connection_kept"])
        else:
            row("config update, " + u["label"], figure, "full start: %.1f ms" % u["full_start_ms"],
                "%.2fx" % u["ratio"], "<= 0.1x full start", u["ratio"] <= 0.1)
    b = results.get("burst")
    if b:
        row("config burst, %d in 5 s" % b["sent"], "%d applied, last one %s; %d of %d events requests failed"
            % (b["applied"], "applied" if b["last_applied"] else "LOST", b["failed"], b["requests"]),
            "", "", "last wins, 0 failed", b["last_applied"] and b["failed"] == 0)
    for c in results.get("sync", []):
        row("config sync " + c["label"], "%.0f ms to configUpdated, %.0f ms to serving"
            % (c["to_config_updated_ms"], c["to_serving_ms"]), "", "", "< 200 ms", c["to_serving_ms"] < 200)

    hostile_rows(results, row)
    header = ("benchmark", "figure (median of %d)" % runs, "reference", "ratio", "target", "met")
    widths = [max(len(r[k]) for r in rows + [header]) for k in range(6)]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(header, widths)),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)) for r in rows]
    return "\n".join(lines)


def hostile_rows(results, row):
    h = results.get("hostile")
    if h:
        grown = (h["rss_peak_kib"] - h["rss_base_kib"]) / 1024
        left = (h["rss_after_kib"] - h["rss_base_kib"]) / 1024
        row("hostile clients: RSS", "%d MiB, peak +%.0f MiB, +%.0f MiB %d s after"
            % (h["rss_base_kib"] / 1024, grown, left, h["after_s"]), "", "", "< +200 MiB, back down",
            grown < 200 and left < 32)
        row("hostile clients: normal client p99", "video %.1f ms, events %.1f ms, %d failed"
            % (h["p99_video_ms"], h["p99_events_ms"], h["probe_failures"]), "", "", "< 100 ms",
            h["p99_video_ms"] < 100 and h["p99_events_ms"] < 100 and h["probe_failures"] == 0)
        row("hostile clients: viewer", "%.2f fps" % h["viewer_fps"], "", "", ">= 4.5 fps", h["viewer_fps"] >= 4.5)
    f = results.get("fanout-tls")
    if f:
        row("fan-out TLS %d viewers" % f["viewers"], "%.2f fps/viewer, %d missed" % (f["fps_per_viewer"], f["missed_frames"]),
            "", "", "every frame fetched", f["missed_frames"] == 0)
        row("fan-out TLS %d viewers" % f["viewers"], "%.3f CPU s/1000 frames" % f["cpu_s_per_1000_frames"],
            "plain %.3f" % f["plain_cpu_s_per_1000_frames"], "%.2fx" % f["cpu_ratio"], "<= 2x plain", f["cpu_ratio"] <= 2)
        row("fan-out TLS, least program", "%.1f us per frame and viewer" % f["floor_tls_us"],
            "plain %.1f us" % f["floor_plain_us"], "%.2fx" % f["floor_ratio"], "(reported)", True)


def make_jpeg(work):
    path = os.path.join(work, "frame.jpg")
    subprocess.run(["/usr/bin/convert", "-seed", "7", "-size", "800x600", "plasma:fractal", "-blur", "0x1",
                    "-quality", "85", path], check=True)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavro", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--proto", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="shorter windows, for trying the run out")
    parser.add_argument("--only", default="fanout,stalled,http,idle,idle_unreachable,sync,update,burst,hostile,fanout-tls")
    args = parser.parse_args()
    args.tavro = os.path.abspath(args.tavro)
    os.makedirs(args.work, exist_ok=True)
    args.work = tempfile.mkdtemp(prefix="run-", dir=os.path.abspath(args.work))
    only = args.only.split(",")

    jpeg = make_jpeg(args.work)
    dvr_port = free_port()
    dvr = PROCS.start([PYTHON, os.path.join(HERE, "fakedvr.py"), str(dvr_port), jpeg], stdout=subprocess.PIPE)
    dvr.stdout.readline()
    central = SilentCentral()

    results = {"jpeg_bytes": os.path.getsize(jpeg), "runs": args.runs}
    started = time.monotonic()
    steps = [("fanout", lambda: bench_fanout(args, dvr_port, central, args.runs)),
             ("stalled", lambda: bench_stalled(args, dvr_port, central, args.runs)),
             ("http", lambda: bench_http(args, dvr_port, central, args.runs)),
             ("idle", lambda: bench_idle(args, dvr_port, central, args.runs)),
             ("idle_unreachable", lambda: bench_idle_unreachable(args, dvr_port, args.runs)),
             ("sync", lambda: bench_sync(args, args.runs)),
             ("update", lambda: bench_update(args, args.runs)),
             ("burst", lambda: bench_burst(args, args.runs)),
             ("hostile", lambda: hostile.bench_hostile(sys.modules[__name__], args, dvr_port, central, 1)),
             ("fanout-tls", lambda: hostile.bench_fanout_tls(sys.modules[__name__], args, dvr_port, central, args.runs))]
    for name, step in steps:
        if name in only:
            t = time.monotonic()
            results[name] = step()
            print("bench: %s done in %.0f s" % (name, time.monotonic() - t), file=sys.stderr, flush=True)
    results["seconds"] = time.monotonic() - started
    central.close()
    PROCS.stop(dvr)

    with open(os.path.join(os.path.dirname(args.work), "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    # The scratch directories hold a copy of the service per run.
    shutil.rmtree(args.work, ignore_errors=True)
    report = table(results, args.runs)
    with open(os.path.join(os.path.dirname(args.work), "table.txt"), "w") as f:
        f.write(report + "\n")
    print(report)


if __name__ == "__main__":
    main()
