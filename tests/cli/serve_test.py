#!/usr/bin/env python3
"""vesker-link watch --serve: the bench page in a real browser (headless Chromium driven by
Selenium), its metrics scraped by the real Prometheus, and the server under load and bad
requests, beside bench receiver-sims on pseudo-terminals."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

from companion_test import CLI, RUN_LIMIT, Bench

ARTIFACTS = os.environ.get("VL_ARTIFACTS", tempfile.gettempdir())
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--window-size=1920,1080"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.status, response.read().decode("utf-8")


def exchange(port, request):
    """What a request sent as bytes gets: the status line, the header's fields and the body.
    The server may answer before it has all of the request, and closes the connection after."""
    answer = b""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        try:
            s.sendall(request)
        except OSError:
            pass
        try:
            while chunk := s.recv(65536):
                answer += chunk
        except OSError:
            pass
    head, _, body = answer.partition(b"\r\n\r\n")
    line, *fields = head.decode(errors="replace").split("\r\n")
    return line, dict(f.split(": ", 1) for f in fields if ": " in f), body.decode(errors="replace")


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def metric(text, name):
    """The sum of a metric's samples in an exposition."""
    return sum(float(line.rsplit(" ", 1)[1]) for line in text.splitlines()
               if line.startswith(name + " ") or line.startswith(name + "{"))


class Serving:
    """vesker-link watch --serve running on, its stderr in a file."""

    def __init__(self, bench, port, *args):
        self.err_path = bench.path("watch-%d.err" % time.monotonic_ns())
        with open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [CLI, "--serve", str(port), *args], cwd=bench.dir,
                env=dict(os.environ, TMPDIR=bench.dir),
                stdout=subprocess.DEVNULL, stderr=err)
        bench.addCleanup(self.process.wait)
        bench.addCleanup(self.process.kill)
        bench.wait_for(lambda: "the bench page: " in self.err(), "the bench page", 10)
        self.url = re.search(r"the bench page: (\S+)", self.err()).group(1)

    def err(self):
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        return self.process.wait(timeout=RUN_LIMIT)


class ServedBench(Bench):
    def setUp(self):
        super().setUp()
        self.image("new.bin", seed=7)

    def boxes(self, count, options):
        """count receiver-sims, each with a receiver ready to go on the cable (SIGUSR2);
        options(i): the i-th one's own."""
        return [self.receiver("--box", "0:%d" % (20 + i), "--box", "0:%d" % (40 + i),
                              "--schedule", "0", *options(i), name="tty%d" % i)
                for i in range(count)]


class PageInABrowser(ServedBench):
    """Three ports, one of whose receivers fails its verify, as a technician sees them."""

    def browser(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + self.path("chromium")]:
            options.add_argument(flag)
        service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver",
                          log_path=self.path("chromedriver.log"))
        driver = webdriver.Chrome(service=service, options=options)
        self.addCleanup(driver.quit)
        # A bench monitor's screen.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 1920, "height": 1080, "deviceScaleFactor": 1,
                                "mobile": False})
        return driver

    def tiles(self, driver):
        return {t["port"]: t for t in driver.execute_script("""
            return [...document.querySelectorAll('.tile')].map(t => ({
              port: t.dataset.port, state: t.dataset.state, text: t.innerText,
              colour: getComputedStyle(t).backgroundColor}));""")}

    def test_tiles_follow_the_bench_and_the_page_comes_back(self):
        # The first receiver answers 5 ms late, so that each of its stages lasts long enough
        # to be seen; the third takes a wrong bit in block 7 of its upgrade. Each restarts
        # for 1.5 s after its upgrade, which the page shows counting.
        receivers = self.boxes(3, lambda i: ["--restart", "1500"] +
                               {0: ["--late", "5"], 1: [], 2: ["--flip", "upgrade:7:100"]}[i])
        links = [r.link for r in receivers]
        port = free_port()
        log = self.path("bench.log")
        args = ["-p", ",".join(links), "--log", log, "watch", "upgrade", self.path("new.bin")]
        serving = Serving(self, port, *args)
        driver = self.browser()
        driver.get(serving.url)
        self.wait_for(lambda: [t["state"] for t in self.tiles(driver).values()] == ["waiting"] * 3,
                      "three waiting tiles", 20)
        for tile in self.tiles(driver).values():
            self.assertIn("WAITING", tile["text"])
        # Each tile's big words, as they change.
        driver.execute_script("""
            window.seen = {};
            new MutationObserver(() => {
              for (const t of document.querySelectorAll('.tile')) {
                const list = (window.seen[t.dataset.port] = window.seen[t.dataset.port] || []);
                const word = t.querySelector('.word').textContent;
                if (list[list.length - 1] !== word) list.push(word);
              }
            }).observe(document.getElementById('tiles'), {childList: true, subtree: true});""")
        for receiver in receivers:
            receiver.process.send_signal(signal.SIGUSR2)
        self.wait_for(lambda: [self.tiles(driver)[link]["state"] for link in links]
                      == ["done", "done", "failed"], "two tiles done and one failed", RUN_LIMIT)

        seen = driver.execute_script("return window.seen")[links[0]]
        steps = iter(seen)
        for expected in ("BACKUP", "UPGRADING", "RESTARTING", "VERIFYING", "DONE: SWAP"):
            self.assertTrue(any(word.startswith(expected) for word in steps), (expected, seen))
        entries = {e["port"]: e for e in self.log_lines(log)}
        failed = self.tiles(driver)[links[2]]
        restore = "vesker-link -p %s upgrade %s" % (links[2], entries[links[2]]["backup"])
        self.assertIn("FAILED: SWAP", failed["text"])
        self.assertIn("verify failed: block 7 of the receiver's flash differs from the file",
                      failed["text"])
        self.assertIn(restore, failed["text"].replace("\n", " "))
        self.assertEqual(failed["colour"], "rgb(192, 38, 45)")
        self.assertIn("Fta 29 1", self.tiles(driver)[links[0]]["text"])
        # The counts and the records are the log's.
        self.wait_for(lambda: driver.find_element("id", "count-failed").text == "1", "the counts")
        counts = [driver.find_element("id", i).text
                  for i in ("count-done", "count-uptodate", "count-failed")]
        self.assertEqual(counts, [str(sum(1 for e in entries.values() if e["exitCode"] == 0)),
                                  "0", str(sum(1 for e in entries.values() if e["exitCode"]))])
        rows = driver.execute_script("""
            return [...document.querySelectorAll('#records tr')].map(r => r.title);""")
        records = [json.loads(r) for r in rows if r]
        self.assertEqual(sorted(records, key=lambda e: e["port"]),
                         sorted(self.log_lines(log), key=lambda e: e["port"]))
        driver.save_screenshot(os.path.join(ARTIFACTS, "bench-page.png"))
        # A page opened now shows what the one that followed the run shows.
        shown = {link: tile["text"] for link, tile in self.tiles(driver).items()}
        driver.get(serving.url)
        self.wait_for(lambda: {link: tile["text"] for link, tile in self.tiles(driver).items()}
                      == shown, "a page opened late to show the same tiles", 20)
        self.assertEqual(len(driver.find_elements("css selector", "#records tr[title]")), 3)

        # The bench stopped and started again: the page comes back by itself, anew.
        self.assertEqual(serving.stop(), 1)
        self.wait_for(lambda: "trying again" in driver.find_element("id", "link").text,
                      "the page to see the bench gone")
        for receiver in receivers:
            receiver.process.send_signal(signal.SIGUSR1)
        again = Serving(self, port, *args)
        self.wait_for(lambda: driver.find_element("id", "link").text == "● live"
                      and [t["state"] for t in self.tiles(driver).values()] == ["waiting"] * 3
                      and not driver.find_elements("css selector", "#records tr"),
                      "the page to come back", 20)
        self.assertEqual(again.stop(), 0)


class LoadMetricsAndBadRequests(ServedBench):
    """Eight busy ports while 50 clients follow the events, Prometheus scrapes every second,
    one client never reads, and requests come that the server must refuse."""

    def prometheus(self, target):
        folder = self.path("prometheus")
        os.makedirs(folder)
        with open(os.path.join(folder, "prometheus.yml"), "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: bench\n"
                    "    static_configs:\n      - targets: ['%s']\n" % target)
        port = free_port()
        with open(os.path.join(folder, "out"), "wb") as out:
            process = subprocess.Popen(
                ["prometheus", "--config.file=" + os.path.join(folder, "prometheus.yml"),
                 "--storage.tsdb.path=" + os.path.join(folder, "data"),
                 "--web.listen-address=127.0.0.1:%d" % port], stdout=out, stderr=out)
        self.addCleanup(process.wait)
        self.addCleanup(process.terminate)
        base = "http://127.0.0.1:%d" % port

        def ready():
            try:
                return get(base + "/-/ready", 1)[0] == 200
            except OSError:
                return False

        self.wait_for(ready, "Prometheus", 30)
        return base

    def follow(self, url, seen):
        """A client of the event stream that reads every event, as a page does; it keeps the
        records (fifty clients in one process must keep up with eight ports on a busy
        machine, or the server rightly drops them)."""
        with urllib.request.urlopen(url + "events", timeout=RUN_LIMIT) as stream:
            for line in stream:
                if line.startswith(b"data: ") and b'"event":"record"' in line:
                    seen.append(json.loads(line[6:]))

    def test_fifty_clients_a_scrape_a_second_and_one_that_never_reads(self):
        receivers = self.boxes(8, lambda i: [])
        port = free_port()
        log = self.path("bench.log")
        serving = Serving(self, port, "-p", ",".join(r.link for r in receivers), "--log", log,
                          "watch", "upgrade", self.path("new.bin"))
        prometheus = self.prometheus("127.0.0.1:%d" % port)
        streams = [[] for _ in range(50)]
        readers = [threading.Thread(target=self.follow, args=(serving.url, seen), daemon=True)
                   for seen in streams]
        for reader in readers:
            reader.start()
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        stalled.connect(("127.0.0.1", port))
        self.addCleanup(stalled.close)
        host = b"127.0.0.1:%d" % port
        stalled.sendall(b"GET /events HTTP/1.1\r\nHost: " + host + b"\r\n\r\n")
        self.wait_for(lambda: metric(get(serving.url + "metrics")[1],
                                     "vesker_link_event_clients") == 51, "51 clients")
        # An address that cannot be served stops a run before its port is touched.
        spare = self.receiver(name="spare")
        for address, reason in [(str(port), "Address already in use"),
                                ("192.0.2.1:%d" % port, "Cannot assign requested address")]:
            refused = self.cli("-p", spare.link, "--serve", address, "watch", "read", self.dir)
            self.assertEqual(refused.code, 4, refused.err)
            self.assertIn(reason, refused.err)
        self.assertEqual(spare.names(), [])

        for receiver in receivers:
            receiver.process.send_signal(signal.SIGUSR2)
        # Requests the server refuses, each with a 4xx and its words, while the bench runs:
        # among them names that are not the bench's, as a page that a browser here was led to
        # by a name of its own gives (this machine's name too, as only loopback is served).
        def get_with(*fields):
            return b"GET /metrics HTTP/1.1\r\n" + b"".join(f + b"\r\n" for f in fields) + b"\r\n"

        ours = b"Host: " + host
        for request, status, words in [
                (b"\x16\x03\x01garbage\r\n\r\n", "400", "bad request"),
                (get_with(ours, b"X-Huge: " + b"a" * 100000), "431", "request header too large"),
                (get_with(ours, *[b"X-%d: 1" % i for i in range(120)]), "431",
                 "request header too large"),
                (b"GET /../../etc/passwd HTTP/1.1\r\n" + ours + b"\r\n\r\n", "404", "not found"),
                (b"POST /metrics HTTP/1.1\r\n" + ours + b"\r\nContent-Length: 3\r\n\r\nx=1",
                 "405", "only GET"),
                (get_with(), "400", "bad request"),
                (get_with(ours, ours), "400", "bad request"),
                (get_with(b"Host: attacker.example:%d" % port), "421", "not this bench's name"),
                (get_with(b"Host: 127.0.0.1:%d" % (port + 1)), "421", "not this bench's name"),
                (get_with(b"Host: %s:%d" % (socket.gethostname().encode(), port)), "421",
                 "not this bench's name")]:
            line, fields, body = exchange(port, request)
            self.assertIn(" %s " % status, line + " ", request[:60])
            self.assertEqual(body.strip(), words, request[:60])
            self.assertEqual(fields.get("Allow"), "GET, HEAD" if status == "405" else None)
            self.assertEqual(fields.get("X-Content-Type-Options"), "nosniff")
        self.assertNotIn("password", serving.err())
        self.wait_for(lambda: os.path.exists(log) and len(self.log_lines(log)) == 8,
                      "eight receivers", RUN_LIMIT)

        # Every receiver handled alike, and every client saw each one's record as the log has it.
        entries = self.log_lines(log)
        self.assertEqual(sorted((e["port"], e["result"]) for e in entries),
                         sorted((r.link, "ok") for r in receivers))
        by_port = sorted(entries, key=lambda e: e["port"])
        self.wait_for(lambda: all(sum(e["event"] == "record" for e in seen) == 8
                                  for seen in streams), "every client to have every record", 30)
        for seen in streams:
            self.assertEqual(sorted((e["record"] for e in seen if e["event"] == "record"),
                                    key=lambda e: e["port"]), by_port)
        # The client that never read was dropped; the others are still there.
        self.wait_for(lambda: metric(get(serving.url + "metrics")[1],
                                     "vesker_link_event_clients_dropped_total") == 1,
                      "the stalled client to be dropped", 30)
        exposition = get(serving.url + "metrics")[1]
        self.assertEqual(metric(exposition, "vesker_link_event_clients"), 50)

        def scraped():
            query = urllib.parse.quote('sum(vesker_link_receivers_total{result="ok"})')
            answer = json.loads(get(prometheus + "/api/v1/query?query=" + query)[1])
            results = answer["data"]["result"]
            return results and results[0]["value"][1] == "8"

        self.wait_for(scraped, "Prometheus to count 8 receivers", 30)
        check = subprocess.run(["promtool", "check", "metrics"], input=exposition.encode(),
                               capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(serving.stop(), 0)


class BoundedClients(Bench):
    """Clients that would cost the bench without end or hold it up: a flood of header lines,
    requests that trickle in, streams that never read; and the names a bench serving every
    address answers to."""

    def trickle(self, port, stop, answers):
        """A request that comes a byte a second and never ends; what it gets goes in answers."""
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            for byte in b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Slow: " + b"z" * 100:
                try:
                    s.send(bytes([byte]))
                    answers.append(s.recv(200))
                    return
                except socket.timeout:
                    pass
                except OSError:
                    return
                if stop.is_set():
                    return

    def test_floods_and_slow_clients_cost_nothing_and_hold_nothing(self):
        receiver = self.receiver("--box", "0:1", "--schedule", "0")
        serving = Serving(self, "0.0.0.0:0", "-p", receiver.link, "watch", "read", self.dir)
        port = int(serving.url.rsplit(":", 1)[1].strip("/"))
        self.assertIn("the bench page: http://0.0.0.0:%d/ (open to anyone on this machine's "
                      "networks, with no password)\n" % port, serving.err())

        # On every address: its own names, localhost over loopback and this machine's name,
        # each with HEAD as GET without the body.
        for host in ("localhost:%d" % port, "127.0.0.1:%d" % port,
                     "%s:%d" % (socket.gethostname(), port), "LocalHost"):
            for path in ("/", "/metrics"):
                got = exchange(port, b"GET %s HTTP/1.1\r\nHost: %s\r\n\r\n"
                               % (path.encode(), host.encode()))
                head = exchange(port, b"HEAD %s HTTP/1.1\r\nHost: %s\r\n\r\n"
                                % (path.encode(), host.encode()))
                self.assertEqual(got[0], "HTTP/1.1 200 OK", (host, path))
                self.assertEqual(int(got[1]["Content-Length"]), len(got[2].encode()))
                self.assertEqual(head, got[:2] + ("",), (host, path))
        self.assertEqual(exchange(port, b"GET / HTTP/1.1\r\nHost: attacker.example:%d\r\n\r\n"
                                  % port)[0], "HTTP/1.1 421 Misdirected Request")
        # A browser always names the host; a tool speaking HTTP/1.0 may not, and is answered.
        self.assertEqual(exchange(port, b"GET /metrics HTTP/1.0\r\n\r\n")[0], "HTTP/1.0 200 OK")

        # Megabytes of short header lines: refused once the header passes its bound, and the
        # server's memory no larger for them.
        before = vm_rss_kib(serving.process.pid)
        flood = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.addCleanup(flood.close)

        def send_flood():
            try:
                flood.sendall(b"GET / HTTP/1.1\r\nHost: localhost:%d\r\n" % port)
                for _ in range(100):
                    flood.sendall(b"X-A: b\r\n" * 12500)
            except OSError:
                pass

        sender = threading.Thread(target=send_flood, daemon=True)
        sender.start()
        answer = b""
        try:
            while chunk := flood.recv(65536):
                answer += chunk
        except OSError:
            pass
        sender.join(30)
        self.assertTrue(answer.startswith(b"HTTP/1.1 431 "), answer[:100])
        self.assertTrue(answer.endswith(b"\r\n\r\nrequest header too large\n"), answer[-100:])
        self.assertLess(vm_rss_kib(serving.process.pid) - before, 4096)

        # A request that trickles in is refused once its time is up, whatever it keeps sending.
        stop = threading.Event()
        self.addCleanup(stop.set)
        answers = []
        began = time.monotonic()
        slow = threading.Thread(target=self.trickle, args=(port, stop, answers), daemon=True)
        slow.start()
        slow.join(20)
        self.assertLess(time.monotonic() - began, 20, "a trickling request never refused")
        self.assertRegex(b"".join(answers), rb"^HTTP/1\.1 408 ")

        # The bench ends promptly with such clients still there: requests trickling in, a
        # stream that reads, one that never reads, and a connection that says nothing.
        for _ in range(3):
            threading.Thread(target=self.trickle, args=(port, stop, []), daemon=True).start()
        reader = urllib.request.urlopen(serving.url + "events", timeout=10)
        self.addCleanup(reader.close)
        self.assertEqual(reader.readline(), b"retry: 2000\n")
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        stalled.connect(("127.0.0.1", port))
        self.addCleanup(stalled.close)
        stalled.sendall(b"GET /events HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % port)
        idle = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(idle.close)
        time.sleep(1)
        serving.process.send_signal(signal.SIGINT)
        # A hang check: without the clients it ends within a second or two.
        self.assertEqual(serving.process.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
