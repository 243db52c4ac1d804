#!/usr/bin/env python3
"""vesker-link through a serial device server: the real ser2net on the loopback address in
front of receiver-sim ptys, reached as rfc2217://HOST:PORT and socket://HOST:PORT."""
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import termios
import threading
import time
import unittest
import urllib.request

from companion_test import CLI, RUN_LIMIT, TAGS, Bench, Run

SER2NET = os.environ.get("VL_SER2NET", "ser2net")


def free_ports(count):
    """Distinct ports, all held until all are chosen: the system may offer a freed one again."""
    held = [socket.socket() for _ in range(count)]
    for probe in held:
        probe.bind(("127.0.0.1", 0))
    ports = [probe.getsockname()[1] for probe in held]
    for probe in held:
        probe.close()
    return ports


def listening(host, port):
    """Whether something listens there, found without connecting: a connection would make
    ser2net open its line for nothing, and a second one right after could find it busy."""
    table, address = ("/proc/net/tcp6", "00000000000000000000000001000000") if ":" in host \
        else ("/proc/net/tcp", "0100007F")
    with open(table) as f:
        return any(line.split()[1] == "%s:%04X" % (address, port) and line.split()[3] == "0A"
                   for line in f.readlines()[1:])


class Ser2net:
    """One ser2net serving the given lines: (device, line settings, kind, host) each, where
    kind is "rfc2217" or "socket". url(i) is how vesker-link names line i.

    By default the server passes what comes from its line on in pieces of 64 bytes (1 KiB
    through Telnet), each after a pause of two characters' time. at_once: without the pause.
    whole_blocks: in pieces of up to 8 KiB, so a block from an unpaced receiver crosses in
    one; in small pieces faster than any line, a read costs a tick a block, as the program
    then sleeps for the line time of what is still missing."""

    def __init__(self, test, folder, lines, ports=None, at_once=False, whole_blocks=False):
        self.urls = []
        config = []
        ports = ports or free_ports(len(lines))
        for i, (device, settings, kind, host) in enumerate(lines):
            port = ports[i]
            telnet = "telnet(rfc2217,writebuf=8192)," if whole_blocks else "telnet(rfc2217),"
            accepter = (telnet if kind == "rfc2217" else "") + "tcp,%s,%d" % (host, port)
            config += ["connection: &line%d" % i,
                       "  accepter: " + accepter,
                       "  connector: serialdev,%s,%s,local" % (device, settings)]
            options = (["chardelay: false"] if at_once else []) + (
                ["dev-to-net-bufsize: 8192"] if whole_blocks else [])
            if options:
                config += ["  options:"] + ["    " + option for option in options]
            self.urls.append("%s://%s:%d" % (kind, "[%s]" % host if ":" in host else host, port))
        path = os.path.join(folder, "ser2net-%d.yaml" % len(os.listdir(folder)))
        with open(path, "w") as f:
            f.write("\n".join(config) + "\n")
        with open(path + ".out", "wb") as out:
            self.process = subprocess.Popen(
                [SER2NET, "-n", "-u", "-P", path + ".pid", "-c", path],
                stdout=out, stderr=subprocess.STDOUT)
        test.addCleanup(self.kill)
        deadline = time.monotonic() + 10
        for url in self.urls:  # up once every accepter listens
            host, port = url.split("://")[1].rsplit(":", 1)
            while not listening(host.strip("[]"), int(port)):
                if self.process.poll() is not None or time.monotonic() > deadline:
                    test.fail("ser2net did not come up: %s" % open(path + ".out").read())
                time.sleep(0.05)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class Listener:
    """A TCP server on the loopback address that counts its connections; each is answered
    with answer (None: closed at once, without a word) and then held until the client goes.
    refusal: words said to each connection as it is taken, which is then closed (ser2net on
    a line another client holds)."""

    def __init__(self, test, port=0, host="127.0.0.1", answer=None, scope=0, refusal=None):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.socket = socket.socket(family)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind((host, port, 0, scope) if family == socket.AF_INET6 else (host, port))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        self.accepted = 0
        self.answer = answer
        self.refusal = refusal
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        test.addCleanup(self.close)

    def serve(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.accepted += 1
            if self.refusal is not None:
                try:
                    connection.sendall(self.refusal)
                except OSError:
                    pass
            if self.answer is None:
                connection.close()
                continue
            connection.settimeout(10)
            try:
                connection.recv(64)
                connection.sendall(self.answer)
                while connection.recv(64):
                    pass
            except OSError:
                pass
            connection.close()

    def close(self):
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.socket.close()
        self.thread.join(timeout=5)


def text_of(path):
    with open(path, errors="replace") as f:
        return f.read()


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("waited %d s for %s" % (seconds, what))
        time.sleep(0.05)


ACK = b"ZvilEyEs\0\0\0\0"


class Served(Bench):
    def serve(self, *lines, ports=None, at_once=False, whole_blocks=False):
        return Ser2net(self, self.dir, lines, ports, at_once, whole_blocks)

    def control_bytes_image(self, name, seed):
        """A ROM file full of bytes that Telnet and ttys treat specially (0xFF, 0x11, 0x0D)."""
        source = self.receiver("--control-bytes", "--seed", str(seed), name="source-%d" % seed)
        run = self.cli("-p", source.link, "-q", "--once", "read", self.path(name))
        source.stop()
        self.assertEqual(run.code, 0, run.err)
        data = self.read(self.path(name))
        self.assertGreater(data.count(b"\xff\xff"), 1000)
        return data


class Network(Served):

    def test_exchanges_through_the_server(self):
        new = self.control_bytes_image("new.bin", seed=9)
        # Telnet doubles each 0xFF, and small pieces split pairs: the Telnet row keeps them.
        rows = [  # kind, host as the server listens on it, as the port names it, whole blocks
            ("rfc2217", "127.0.0.1", "localhost", False),
            ("socket", "127.0.0.1", "127.0.0.1", True),
            ("rfc2217", "::1", "::1", False),
        ]
        for kind, listen, named, whole in rows:
            with self.subTest(kind=kind, host=named):
                receiver = self.receiver("--control-bytes", "--seed", "3",
                                         name="%s-%s" % (kind, named.replace(":", "_")))
                server = self.serve((os.readlink(receiver.link), "115200n81", kind, listen),
                                    whole_blocks=whole)
                url = server.urls[0].replace(listen, named)
                connect = self.cli("-p", url, "connect")
                self.assertEqual((connect.code, connect.out), (0, "connect ok!\n"), connect.err)
                if named == "::1":
                    continue  # the address form is proven; the transfers follow below
                read = self.cli("-p", url, "-q", "--once", "read", self.path("old.bin"))
                self.assertEqual(read.code, 0, read.err)
                old = self.read(self.path("old.bin"))
                upgrade = self.cli("-p", url, "-q", "--no-backup", "--no-verify", "upgrade",
                                   self.path("new.bin"))
                self.assertEqual(upgrade.code, 0, upgrade.err)
                keys = self.cli("-p", url, "--gap", "20", "key", "MENU", "7", "5", "OK")
                self.assertEqual(keys.code, 0, keys.err)
                receiver.stop()
                self.assertEqual(receiver.flash(), new[20:])
                self.assertEqual(old[:20], TAGS[0])
                self.assertNotEqual(old[20:], new[20:])
                self.assertEqual(receiver.names()[-4:],
                                 ["KEY 0x1D", "KEY 0x11", "KEY 0x13", "KEY 0x06"])

    def test_negotiation_sets_the_whole_line(self):
        # The server's own settings for the line (and the line as another program left it)
        # are all wrong: only a client that sets the whole line gets through. Each kind has a
        # line of its own: a server closing one line for one client keeps it from the next.
        negotiated = self.receiver("--line", "left", "--seed", "4", name="negotiated")
        raw = self.receiver("--line", "left", "--seed", "4", name="raw")
        server = self.serve((os.readlink(negotiated.link), "9600n82,rtscts", "rfc2217",
                             "127.0.0.1"),
                            (os.readlink(raw.link), "9600n82,rtscts", "socket", "127.0.0.1"),
                            whole_blocks=True)
        connect = self.cli("-p", server.urls[1], "connect")
        self.assertEqual(connect.code, 1, connect.err)
        read = self.cli("-p", server.urls[0], "-q", "--once", "read", self.path("rom.bin"))
        self.assertEqual(read.code, 0, read.err)
        negotiated.stop()
        self.assertEqual(self.read(self.path("rom.bin")), TAGS[0] + negotiated.flash())

    def test_eight_receivers_behind_one_server(self):
        # The server flushes its device as soon as the client has gone, and puts its own
        # line settings back: a last frame still on its way would be lost. Both cores busy
        # make that race likely; each receiver must still get every CMD_STOP.
        new = self.control_bytes_image("new.bin", seed=5)
        receivers = [self.receiver("--seed", str(20 + i), name="r%d" % i) for i in range(8)]
        server = self.serve(*[(os.readlink(r.link), "9600n82", "rfc2217", "127.0.0.1")
                              for r in receivers])
        for _ in range(2):
            load = subprocess.Popen([sys.executable, "-c", "while True: pass"])
            self.addCleanup(load.kill)
        rounds = 3
        for _ in range(rounds):
            run = self.cli("-p", ",".join(server.urls), "-q", "--no-backup", "--no-verify",
                           "upgrade", self.path("new.bin"))
            self.assertEqual(run.code, 0, run.err + run.out)
            self.assertEqual(sum(1 for line in run.out.splitlines() if " ok " in line), 8)
        for receiver in receivers:
            receiver.stop()
            self.assertEqual(receiver.flash(), new[20:])
            upgrades = " ".join(receiver.names()).split("CMD_UPGRADE_START")[1:]
            self.assertEqual(len(upgrades), rounds)
            for upgrade in upgrades:
                self.assertTrue(upgrade.strip().endswith("BLOCK 255 CMD_STOP"),
                                upgrade[-60:])

    def test_last_frames_reach_the_receiver(self):
        # At 9600 baud ten key frames take 125 ms to cross the line. The server flushes its
        # device when the client goes; what the client wrote last must have left it by then.
        keys = ["MENU", "1", "2", "3", "4", "5", "6", "7", "8", "OK"]
        for kind in ("rfc2217", "socket"):
            with self.subTest(kind):
                receiver = self.receiver("--baud", "9600", name="slow-" + kind)
                server = self.serve((os.readlink(receiver.link), "9600n81", kind, "127.0.0.1"))
                run = self.cli("-p", server.urls[0], "-b", "9600", "--gap", "0", "key", *keys)
                self.assertEqual(run.code, 0, run.err)
                receiver.stop()
                self.assertEqual(receiver.names(), ["KEY 0x1D", "KEY 0x17", "KEY 0x16",
                                                    "KEY 0x15", "KEY 0x14", "KEY 0x13",
                                                    "KEY 0x12", "KEY 0x11", "KEY 0x10",
                                                    "KEY 0x06"])

    def test_faults(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)  # takes the connection and never says a word
        self.addCleanup(listener.close)
        silent = "127.0.0.1:%d" % listener.getsockname()[1]
        refused = "127.0.0.1:%d" % free_ports(1)[0]
        closing = "127.0.0.1:%d" % Listener(self).port  # takes each connection and drops it
        # One that negotiates first, its signature included, then says why it closes.
        negotiating = "127.0.0.1:%d" % Listener(self, refusal=(
            b"\xff\xfb\x2c\xff\xfa\x2c\x64bench server 2\xff\xf0\r\nPort already in use\r\n")).port
        # One that offers an option, with no subnegotiation after it, and says why it closes.
        offering = "127.0.0.1:%d" % Listener(self, refusal=(
            b"\xff\xfb\x2c\xff\xfb\x01\r\nPort already in use\r\n")).port
        # Another client holds the line: the server takes the next connection and drops it.
        receiver = self.receiver(name="held")
        held = self.serve((os.readlink(receiver.link), "115200n81", "rfc2217", "127.0.0.1"))
        holder = socket.create_connection(("127.0.0.1", int(held.urls[0].rsplit(":", 1)[1])))
        self.addCleanup(holder.close)
        holder.recv(16)  # the server's Telnet greeting: the line is the holder's now
        rows = [  # name, port, exit code, message
            ("refused", "rfc2217://" + refused, 4,
             "cannot open rfc2217://%s: refused" % refused),
            ("unknown host", "socket://no-such-host.invalid:4001", 4,
             "cannot open socket://no-such-host.invalid:4001: unknown host"),
            ("line held by another client", held.urls[0], 4,
             "cannot open %s: busy: another program holds it" % held.urls[0]),
            ("a server that drops the connection", "rfc2217://" + closing, 4,
             "cannot open rfc2217://%s: the server closed the connection\n" % closing),
            ("a server that negotiates and says why it drops it", "rfc2217://" + negotiating, 4,
             'cannot open rfc2217://%s: busy: another program holds it (the server closed the '
             'connection: "Port already in use")' % negotiating),
            ("a server that offers an option and says why it drops it", "rfc2217://" + offering,
             4, 'cannot open rfc2217://%s: busy: another program holds it (the server closed '
             'the connection: "Port already in use")' % offering),
            ("silent server, raw", "socket://" + silent, 1, "vesker-link: no answer！"),
            ("silent server, rfc2217", "rfc2217://" + silent, 1, "vesker-link: no answer！"),
        ]
        for name, port, code, message in rows:
            with self.subTest(name):
                run = self.cli("-p", port, "connect")
                self.assertEqual(run.code, code, run.err)
                self.assertIn(message, run.err)

    def test_server_killed_mid_transfer(self):
        image = self.control_bytes_image("new.bin", seed=6)
        for command in ("read", "upgrade"):
            with self.subTest(command):
                receiver = self.receiver(name="killed-" + command)
                server = self.serve((os.readlink(receiver.link), "115200n81", "rfc2217",
                                     "127.0.0.1"))
                target = self.write("kept-%s.bin" % command, b"an older file")
                file = target if command == "read" else self.path("new.bin")
                options = ["--no-backup"] if command == "upgrade" else []
                process = subprocess.Popen([CLI, "-p", server.urls[0], "--json", *options,
                                            command, file],
                                           cwd=self.dir, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                self.addCleanup(process.kill)
                # The server goes once blocks flow, wherever the exchange then is.
                lines = []
                deadline = time.monotonic() + RUN_LIMIT
                while time.monotonic() < deadline:
                    ready, _, _ = select.select([process.stdout], [], [], 1)
                    if ready:
                        line = process.stdout.readline()
                        if not line:
                            break
                        lines.append(json.loads(line))
                        if lines[-1]["event"] == "progress" and lines[-1]["blocks"] >= 3:
                            server.process.send_signal(signal.SIGKILL)
                            break
                self.assertEqual(server.process.wait(timeout=10), -signal.SIGKILL)
                out, err = process.communicate(timeout=30)
                self.assertEqual(process.returncode, 1, err)
                events = lines + [json.loads(line) for line in out.decode().splitlines()]
                self.assertEqual(events[-1]["exitCode"], 1)
                self.assertTrue([e for e in events if e["event"] == "message"
                                 and e["text"].startswith("no answer")], events[-3:])
                self.assertEqual(self.read(target), b"an older file")
                self.assertEqual(sorted(n for n in os.listdir(self.dir) if "kept" in n),
                                 ["kept-read.bin"] + (["kept-upgrade.bin"]
                                                      if command == "upgrade" else []))
                receiver.stop()
                if command == "upgrade":
                    self.assertNotEqual(receiver.flash(), image[20:])

    def test_host_names_reach_only_their_own_host(self):
        # gensio reads "ipv4", "ipv6" and "ipv6n4" as keywords of its own; a host so named
        # must never lead to the loopback address.
        listener = Listener(self, answer=ACK)
        for name in ("ipv4", "ipv6", "ipv6n4"):
            with self.subTest(name):
                run = self.cli("-p", "socket://%s:%d" % (name, listener.port), "connect")
                self.assertEqual(run.code, 4, run.err)
                self.assertIn("unknown host", run.err)
        self.assertEqual(listener.accepted, 0)
        # A link-local address, reached through the interface its zone names.
        with open("/proc/net/if_inet6") as table:
            local = [(line.split()[0], line.split()[5]) for line in table
                     if line.split()[3] == "20"]
        if not local:
            self.skipTest("no link-local address on this machine")
        digits, interface = local[0]
        address = ":".join(digits[i:i + 4] for i in range(0, 32, 4))
        zoned = Listener(self, host=address, answer=ACK, scope=socket.if_nametoindex(interface))
        run = self.cli("-p", "socket://[%s%%%s]:%d" % (address, interface, zoned.port), "connect")
        self.assertEqual((run.code, run.out), (0, "connect ok!\n"), run.err)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"),
                         "needs root to stand in for the name server")
    def test_names_as_this_system_looks_them_up(self):
        # The system's name server, as this run sees it, is one on the loopback address that
        # either never answers or answers every question with a failure; its hosts file
        # gives one name two addresses, each a server whose line another client holds.
        resolver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            resolver.bind(("127.0.0.1", 53))
        except OSError as error:
            self.skipTest("port 53 is taken: %s" % error)
        self.addCleanup(resolver.close)
        mode = {"answer": False}

        def serve():
            while True:
                try:
                    query, client = resolver.recvfrom(512)
                except OSError:
                    return
                if mode["answer"] and len(query) >= 12:
                    resolver.sendto(query[:2] + b"\x81\x82" + query[4:], client)  # SERVFAIL
        threading.Thread(target=serve, daemon=True).start()
        conf = self.write("resolv.conf", b"nameserver 127.0.0.1\noptions attempts:3 timeout:10\n")
        words = b"\r\nPort already in use\r\n"
        held = Listener(self, refusal=words).port
        Listener(self, host="127.0.0.2", port=held, refusal=words)
        hosts = self.write("hosts", b"127.0.0.1 localhost\n127.0.0.1 bench-server-3.example\n"
                                    b"127.0.0.2 bench-server-3.example\n")
        rows = [  # name server answers, port, reason
            (False, "rfc2217://bench-server-2.example:4001",
             "unknown host (no answer from the name server within 5 s)"),
            (True, "rfc2217://bench-server-2.example:4001",
             "unknown host (Temporary failure in name resolution)"),
            (True, "rfc2217://bench-server-3.example:%d" % held,
             'busy: another program holds it (the server closed the connection: '
             '"Port already in use")'),
        ]
        for answers, port, reason in rows:
            with self.subTest(port, answers=answers):
                mode["answer"] = answers
                run = Run(subprocess.run(
                    ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && '
                     'mount --bind "$1" /etc/hosts && shift && exec "$@"', conf, hosts,
                     CLI, "-p", port, "connect"],
                    cwd=self.dir, capture_output=True, timeout=RUN_LIMIT))
                self.assertEqual(run.code, 4, run.err)
                self.assertIn("cannot open %s: %s" % (port, reason), run.err)

    def test_bridge_follows_its_server_and_ends_with_its_parent(self):
        rows = [  # kind, baud: the server sets the line at the baud, or keeps its own
            ("rfc2217", 115200),
            ("socket", 460800),
        ]
        for kind, baud in rows:
            with self.subTest(kind):
                self.bridge_through(kind, baud)

    def test_a_bridge_whose_server_stops_reading_waits_without_spinning(self):
        # A server that takes the connection and never reads: once its buffers are full the
        # bridge holds back what the program sends, and sleeps until the server takes more.
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        self.addCleanup(listener.close)
        link = self.path("com-stalled")
        bridge = subprocess.Popen([CLI, "-p", "socket://127.0.0.1:%d" % listener.getsockname()[1],
                                   "bridge", link], stderr=subprocess.DEVNULL)
        self.addCleanup(bridge.kill)
        wait_for(lambda: os.path.islink(link), 15, "the bridge's link")
        line = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, line)
        attr = termios.tcgetattr(line)
        attr[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN)
        termios.tcsetattr(line, termios.TCSANOW, attr)
        deadline = time.monotonic() + RUN_LIMIT
        while time.monotonic() < deadline:  # until neither the bridge nor the server takes more
            try:
                os.write(line, bytes(4096))
            except BlockingIOError:
                if not select.select([], [line], [], 1)[1]:
                    break

        def cpu():
            fields = text_of("/proc/%d/stat" % bridge.pid).rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

        before = cpu()
        time.sleep(2)
        self.assertIsNone(bridge.poll())
        self.assertLess(cpu() - before, 0.5, "CPU seconds of the bridge in 2 s of waiting")

    def bridge_through(self, kind, baud):
        # It sends a read's blocks all at once, far more than the pty takes: the bridge holds
        # the rest back until the program has read its way there.
        receiver = self.receiver("--seed", "8", "--ignore-echoes", name="bridged-" + kind)
        port = free_ports(1)[0]
        device = os.readlink(receiver.link)
        server = self.serve((device, "115200n81", kind, "127.0.0.1"), ports=[port],
                            whole_blocks=True)
        url = server.urls[0]
        link = self.path("com1-" + kind)
        log = self.path("bridge-%s.err" % kind)
        misplaced = self.cli("-p", url, "bridge", self.path("no-such-folder", "com1"))
        self.assertEqual(misplaced.code, 5, misplaced.err)
        # The launcher's part: a parent that starts the bridge and could be killed outright.
        with open(log, "wb") as err:
            parent = subprocess.Popen(["sh", "-c", '"$0" -p "$1" -b "$2" bridge "$3"; :', CLI,
                                       url, str(baud), link], stderr=err)
        self.addCleanup(parent.kill)
        wait_for(lambda: os.path.islink(link), 15, "the bridge's link")
        said = lambda: text_of(log)  # noqa: E731
        with open(link, "rb", buffering=0) as line:  # until a program sets its own
            self.assertEqual(termios.tcgetattr(line)[5], getattr(termios, "B%d" % baud))
        first = self.cli("-p", link, "connect")
        self.assertEqual(first.code, 0, first.err + said())

        # The server goes; one that takes every connection only to say the line is another
        # client's and close it takes its port. However much the program sends meanwhile, the
        # bridge tries again every 2 s, no more often, and the server's words never reach the
        # program as if the receiver had said them.
        server.kill()
        words = b"\r\nPort already in use\r\n"
        refuser = Listener(self, port=port, refusal=words)
        line = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        heard = b""
        started = time.monotonic()
        while time.monotonic() - started < 5:
            os.write(line, b"ZvilEyEs\0\x10\0\0")
            time.sleep(0.1)
            try:
                heard += os.read(line, 4096)
            except BlockingIOError:
                pass
        os.close(line)
        connections = refuser.accepted
        refuser.close()
        self.assertEqual(heard, b"", said())
        # A try every 2 s is at most 3 in 5 s, each with at most a second connection that
        # asks the server why it closed the first; a try for each frame sent would be 50.
        self.assertGreaterEqual(connections, 2, said())
        self.assertLessEqual(connections, 6, said())
        reason = ('busy: another program holds it (the server closed the connection: '
                  '"Port already in use")')
        self.assertEqual(said().count(reason), 1, said())

        # The server is back: the next read through the same link is exact.
        self.serve((device, "115200n81", kind, "127.0.0.1"), ports=[port], whole_blocks=True)
        wait_for(lambda: "connected to %s again" % url in said(), 15, "the bridge to reconnect")
        again = self.path("again-%s.bin" % kind)
        run = self.cli("-p", link, "-q", "--once", "read", again)
        self.assertEqual(run.code, 0, run.err + said())

        # Its parent killed outright (no trap runs): the bridge ends and takes its link with it,
        # so that the server's one client slot is free for the next bridge at once.
        bridge = int(subprocess.run(["pgrep", "-P", str(parent.pid)], capture_output=True,
                                    text=True).stdout.split()[0])
        parent.send_signal(signal.SIGKILL)
        parent.wait()
        wait_for(lambda: not os.path.exists("/proc/%d" % bridge) or
                 text_of("/proc/%d/stat" % bridge).split()[2] == "Z", 5, "the bridge to end")
        self.assertFalse(os.path.lexists(link))
        with open(log, "ab") as err:
            successor = subprocess.Popen([CLI, "-p", url, "bridge", link], stderr=err)
        wait_for(lambda: os.path.islink(link) or successor.poll() is not None, 15,
                 "the next bridge")
        self.assertIsNone(successor.poll(), said())
        successor.terminate()
        self.assertEqual(successor.wait(timeout=10), 0, said())
        self.assertFalse(os.path.lexists(link))
        receiver.stop()
        self.assertEqual(self.read(again), TAGS[0] + receiver.flash())
        # The frames sent while the server was away were dropped then, not kept for later.
        self.assertEqual(receiver.names().count("CMD_CONNECT"), 1, receiver.names()[:20])


MEMCHECK = os.environ.get("VL_MEMCHECK", "").split()


@unittest.skipUnless(MEMCHECK, "VL_MEMCHECK names the memory checker (valgrind and its options)")
class Memcheck(Served):
    """The cases that open network lines more than once, in one process, under valgrind:
    gensio is not built with sanitizers, so only a checker of the whole process sees its
    use of memory that our code freed. Any error it reports fails the case."""

    def assertClean(self, report):
        """Nothing from the checker: it reports on lines of its own, "==PID== ..." """
        self.assertFalse(re.search(r"^==\d+==", report, re.M), report)

    def checked(self, *args, code=0):
        run = Run(subprocess.run(MEMCHECK + [CLI, *args], cwd=self.dir, capture_output=True,
                                 timeout=RUN_LIMIT * 3))
        self.assertClean(run.err)
        self.assertEqual(run.code, code, run.err)
        return run

    def served(self, *options, port=None):
        receiver = self.receiver(*options, name="served-%d" % len(os.listdir(self.dir)))
        server = self.serve((os.readlink(receiver.link), "115200n81", "rfc2217", "127.0.0.1"),
                            ports=port and [port], at_once=True, whole_blocks=True)
        return receiver, server

    def test_a_refused_port_beside_a_live_one(self):
        live = self.served()[1].urls[0]
        refused = "rfc2217://127.0.0.1:%d" % free_ports(1)[0]
        run = self.checked("-p", refused, "-p", live, "connect", code=4)
        self.assertIn("%s: connect ok!" % live, run.out)

    def test_an_upgrade_with_its_backup(self):
        # The backup's line is closed, and the upgrade's opened, in one process.
        receiver, server = self.served("--seed", "12")
        image = self.image("new.bin", seed=13)
        self.checked("-p", server.urls[0], "-q", "--once", "--no-verify", "upgrade",
                     self.path("new.bin"))
        receiver.stop()
        self.assertEqual(receiver.flash(), image[20:])
        self.assertEqual(len(self.backups(self.dir)), 1)

    def test_a_bench_page_served_to_its_clients(self):
        # The bench page's server, which no sanitizer build serves: a page, a stream that
        # leaves, a scrape and requests it refuses, while a receiver behind a device server is
        # read, and then the run's end with its clients still there.
        receiver, server = self.served("--box", "0:1", "--box", "0:2")
        receiver.process.send_signal(signal.SIGUSR1)  # the cable empty until the clients came
        reads = self.path("reads")
        os.makedirs(reads)
        err = self.path("serve.err")
        with open(err, "wb") as out:
            watch = subprocess.Popen(MEMCHECK + [CLI, "-p", server.urls[0], "--once", "--count",
                                                 "1", "--serve", "0", "watch", "read", reads],
                                     cwd=self.dir, stdout=subprocess.DEVNULL, stderr=out)
        self.addCleanup(watch.kill)
        wait_for(lambda: "the bench page: http://" in text_of(err), 60, "the bench page")
        url = re.search(r"the bench page: (http://\S+)", text_of(err)).group(1)
        for path in ("", "metrics", "page.js"):
            with urllib.request.urlopen(url + path, timeout=60) as answer:
                self.assertEqual(answer.status, 200)
        with urllib.request.urlopen(url + "events", timeout=60) as stream:
            self.assertTrue(any(stream.readline().startswith(b"data: ") for _ in range(5)))
        staying = urllib.request.urlopen(url + "events", timeout=60)
        self.addCleanup(staying.close)
        port = int(url.rsplit(":", 1)[1].strip("/"))
        host = b"Host: localhost:%d\r\n" % port

        def connection():
            opened = socket.create_connection(("127.0.0.1", port), timeout=60)
            self.addCleanup(opened.close)
            return opened

        # Answered without a body, refused for a method, a name, garbage, a header that never
        # ends, and a request that trickles in past its time.
        for request, status in [(b"HEAD / HTTP/1.1\r\n" + host + b"\r\n", b"200"),
                                (b"POST / HTTP/1.1\r\n" + host + b"Content-Length: 1\r\n\r\nx",
                                 b"405"),
                                (b"GET / HTTP/1.1\r\nHost: attacker.example\r\n\r\n", b"421"),
                                (b"\x16\x03garbage\r\n\r\n", b"400"),
                                (b"GET / HTTP/1.1\r\n" + host + b"X-A: b\r\n" * 100000, b"431"),
                                (b"GET / HTTP/1.1\r\n", b"408")]:
            asking = connection()
            try:
                asking.sendall(request)
            except OSError:
                pass
            self.assertTrue(asking.recv(100).startswith(b"HTTP/1.1 %s " % status), request[:40])
        # The run ends with a request half sent and a connection that says nothing.
        unfinished, _ = connection(), connection()
        unfinished.sendall(b"GET / HTTP/1.1\r\n")
        receiver.process.send_signal(signal.SIGUSR2)
        self.assertEqual(watch.wait(timeout=RUN_LIMIT * 3), 0, text_of(err))
        self.assertClean(text_of(err))
        self.assertEqual(len(os.listdir(reads)), 1)

    def test_a_bridge_that_loses_its_server(self):
        receiver, server = self.served()
        url = server.urls[0]
        port = int(url.rsplit(":", 1)[1])
        link = self.path("com1")
        log = self.path("bridge.err")
        with open(log, "wb") as err:
            bridge = subprocess.Popen(MEMCHECK + [CLI, "-p", url, "bridge", link], stderr=err)
        self.addCleanup(bridge.kill)
        wait_for(lambda: os.path.islink(link), 60, "the bridge's link")
        server.kill()
        # Refused twice, as a line another client holds, before the server is back.
        refuser = Listener(self, port=port, refusal=b"Port already in use\r\n")
        wait_for(lambda: refuser.accepted >= 2, 60, "the bridge to try again")
        refuser.close()
        self.serve((os.readlink(receiver.link), "115200n81", "rfc2217", "127.0.0.1"),
                   ports=[port])
        wait_for(lambda: "connected to %s again" % url in text_of(log), 60,
                 "the bridge to reconnect")
        run = self.cli("-p", link, "connect")
        self.assertEqual(run.code, 0, run.err + text_of(log))
        bridge.terminate()
        self.assertEqual(bridge.wait(timeout=60), 0, text_of(log))
        self.assertClean(text_of(log))


if __name__ == "__main__":
    unittest.main(verbosity=2)
