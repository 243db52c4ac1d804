#!/usr/bin/env python3
"""vesker-link through a serial device server: the real ser2net on the loopback address in
front of receiver-sim ptys, reached as rfc2217://HOST:PORT and socket://HOST:PORT."""
import json
import os
import select
import signal
import socket
import subprocess
import time
import unittest

from companion_test import CLI, RUN_LIMIT, TAGS, Bench

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
    kind is "rfc2217" or "socket". url(i) is how vesker-link names line i."""

    def __init__(self, test, folder, lines):
        self.urls = []
        config = []
        ports = free_ports(len(lines))
        for i, (device, settings, kind, host) in enumerate(lines):
            port = ports[i]
            accepter = ("telnet(rfc2217)," if kind == "rfc2217" else "") + "tcp,%s,%d" % (
                host, port)
            config += ["connection: &line%d" % i,
                       "  accepter: " + accepter,
                       "  connector: serialdev,%s,%s,local" % (device, settings)]
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


class Network(Bench):
    def serve(self, *lines):
        return Ser2net(self, self.dir, lines)

    def control_bytes_image(self, name, seed):
        """A ROM file full of bytes that Telnet and ttys treat specially (0xFF, 0x11, 0x0D)."""
        source = self.receiver("--control-bytes", "--seed", str(seed), name="source-%d" % seed)
        run = self.cli("-p", source.link, "-q", "--once", "read", self.path(name))
        source.stop()
        self.assertEqual(run.code, 0, run.err)
        data = self.read(self.path(name))
        self.assertGreater(data.count(b"\xff\xff"), 1000)
        return data

    def test_exchanges_through_the_server(self):
        new = self.control_bytes_image("new.bin", seed=9)
        rows = [  # kind, host as the server listens on it, as the port names it
            ("rfc2217", "127.0.0.1", "localhost"),
            ("socket", "127.0.0.1", "127.0.0.1"),
            ("rfc2217", "::1", "::1"),
        ]
        for kind, listen, named in rows:
            with self.subTest(kind=kind, host=named):
                receiver = self.receiver("--control-bytes", "--seed", "3",
                                         name="%s-%s" % (kind, named.replace(":", "_")))
                server = self.serve((os.readlink(receiver.link), "115200n81", kind, listen))
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
                            (os.readlink(raw.link), "9600n82,rtscts", "socket", "127.0.0.1"))
        connect = self.cli("-p", server.urls[1], "connect")
        self.assertEqual(connect.code, 1, connect.err)
        read = self.cli("-p", server.urls[0], "-q", "--once", "read", self.path("rom.bin"))
        self.assertEqual(read.code, 0, read.err)
        negotiated.stop()
        self.assertEqual(self.read(self.path("rom.bin")), TAGS[0] + negotiated.flash())

    def test_eight_receivers_behind_one_server(self):
        new = self.control_bytes_image("new.bin", seed=5)
        receivers = [self.receiver("--seed", str(20 + i), name="r%d" % i) for i in range(8)]
        server = self.serve(*[(os.readlink(r.link), "115200n81", "rfc2217", "127.0.0.1")
                              for r in receivers])
        run = self.cli("-p", ",".join(server.urls), "-q", "--no-backup", "--no-verify", "upgrade",
                       self.path("new.bin"))
        self.assertEqual(run.code, 0, run.err + run.out)
        for receiver in receivers:
            receiver.stop()
            self.assertEqual(receiver.flash(), new[20:])
        self.assertEqual(sum(1 for line in run.out.splitlines() if " ok " in line), 8)

    def test_faults(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)  # takes the connection and never says a word
        self.addCleanup(listener.close)
        silent = "127.0.0.1:%d" % listener.getsockname()[1]
        refused = "127.0.0.1:%d" % free_ports(1)[0]
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
