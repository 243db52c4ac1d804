#!/usr/bin/env python3
"""vesker-link as a user runs it: the real program against receiver-sim on a pseudo-terminal."""
import fcntl
import glob
import hashlib
import json
import os
import re
import resource
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unicodedata
import unittest

CLI = os.path.abspath(os.environ.get("VL_CLI", "build/linux/vesker-link"))
SIM = os.path.abspath(os.environ.get("VL_SIM", "build/linux/receiver-sim"))
FAILING_CALLS = os.path.abspath(os.environ.get("VL_FAILING_CALLS",
                                               "build/linux/tests/libvl-failing-calls.so"))
BLOCK = 4096
TAGS = {0: b"VESKER_SZ_RomFtaAMD1", 1: b"VESKER_SZ_RomFtaAMD2", 2: b"VESKER_SZ_RomFtaSST1"}
VERSIONS = {0: "Fta 29 1", 1: "Fta 29 2"}
BLOCKS = {0: 256, 1: 512}
RUN_LIMIT = 120  # a hung command fails its own test, not the whole suite


def modem_manager_runs():
    for comm in glob.glob("/proc/[0-9]*/comm"):
        try:
            with open(comm) as f:
                if f.read().strip() == "ModemManager":
                    return True
        except OSError:
            pass
    return False


class Run:
    def __init__(self, done):
        self.code = done.returncode
        self.stdout = done.stdout
        self.out = done.stdout.decode("utf-8", "replace")
        self.err = done.stderr.decode("utf-8", "replace")

    def events(self, test):
        """The --json events, after checking the stream's shape."""
        lines = self.out.splitlines()
        test.assertTrue(lines, "no JSON output")
        try:
            events = [json.loads(line) for line in self.stdout.decode("utf-8").splitlines()]
        except ValueError as error:
            test.fail("not JSON (%s): %r" % (error, self.out))
        test.assertEqual(events[0]["event"], "start", lines[0])
        test.assertEqual(events[-1]["event"], "result", lines[-1])
        test.assertEqual([e["event"] for e in events].count("result"), 1)
        test.assertEqual(events[-1]["exitCode"], self.code)
        test.assertEqual(events[-1]["ok"], self.code == 0)
        return events


class Receiver:
    """One receiver-sim behind a link in the test's folder, logging what it receives."""

    def __init__(self, test, folder, *options, name="tty"):
        self.link = os.path.join(folder, name)
        self.log = self.link + ".log"
        self.flash_out = self.link + ".flash"
        out_path = self.link + ".out"
        with open(out_path, "wb") as out:
            self.process = subprocess.Popen(
                [SIM, "--unpaced", "--link", self.link, "--log", self.log,
                 "--write-flash", self.flash_out, *options],
                stdout=out, stderr=subprocess.STDOUT)
        test.addCleanup(self.kill)
        deadline = time.monotonic() + 10
        while True:
            with open(out_path, "rb") as out:
                if out.read().endswith(b"\n") and os.path.islink(self.link):
                    break
            if self.process.poll() is not None or time.monotonic() > deadline:
                test.fail("receiver-sim %s did not start" % " ".join(options))
            time.sleep(0.02)

    def stop(self):
        time.sleep(0.3)  # lets it take in what the program left on the line
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def names(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as log:
            return [line.rstrip("\n").split(" ", 2)[2] for line in log if line.strip()]

    def flash(self):
        with open(self.flash_out, "rb") as flash:
            return flash.read()


class Bench(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vl-companion-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def receiver(self, *options, name="tty"):
        return Receiver(self, self.dir, *options, name=name)

    def cli(self, *args):
        # TMPDIR is where verify keeps its copy; the test's folder shows what it leaves there.
        env = dict(os.environ, TMPDIR=self.dir)
        return Run(subprocess.run([CLI, *args], cwd=self.dir, env=env, capture_output=True,
                                  timeout=RUN_LIMIT))

    def image(self, name, variant=0, seed=1):
        """A ROM file as the receiver gives it: read from a simulator of that kind."""
        source = self.receiver("--variant", str(variant), "--seed", str(seed),
                               name="source-%d-%d" % (variant, seed))
        path = self.path(name)
        run = self.cli("-p", source.link, "--fast", "-q", "--once", "read", path)
        source.stop()
        self.assertEqual(run.code, 0, run.err)
        return self.read(path)

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def backups(self, folder):
        return sorted(n for n in os.listdir(folder) if n.startswith("backup-"))

    def wait_for(self, condition, what, limit=10):
        deadline = time.monotonic() + limit
        while not condition():
            if time.monotonic() > deadline:
                self.fail("waited in vain for " + what)
            time.sleep(0.02)

    def log_lines(self, path):
        with open(path, "rb") as f:
            return [json.loads(line) for line in f.read().decode("utf-8").splitlines()]


class ConnectAndProbe(Bench):
    def test_connect(self):
        rows = [  # name, receiver options (None: no receiver), held, exit code, stdout, stderr
            ("receiver answers", [], False, 0, "connect ok!\n", ""),
            ("silent receiver", ["--silent"], False, 1, "", "vesker-link: no answer！"),
            ("missing port", None, False, 4, "",
             "vesker-link: open port1 error!\nvesker-link: cannot open {link}: no such device"),
            ("port held by another program", [], True, 4, "",
             "vesker-link: open port1 error!\n"
             "vesker-link: cannot open {link}: busy: another program holds it"),
        ]
        for name, options, held, code, out, err in rows:
            with self.subTest(name):
                link = self.path("missing")
                if options is not None:
                    link = self.receiver(*options, name=name.replace(" ", "-")).link
                holder = None
                if held:
                    holder = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                    fcntl.flock(holder, fcntl.LOCK_EX)
                run = self.cli("-p", link, "--fast", "connect")
                if holder is not None:
                    os.close(holder)
                self.assertEqual(run.code, code, run.err)
                self.assertEqual(run.out, out)
                self.assertIn(err.format(link=link), run.err)
                if not modem_manager_runs():
                    self.assertNotIn("ModemManager", run.err)

    def test_modem_manager_is_named_when_it_may_hold_the_port(self):
        # A harmless process under its name is all it takes to be seen.
        fake = self.path("ModemManager")
        shutil.copy(shutil.which("sleep"), fake)
        process = subprocess.Popen([fake, "60"])
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        hint = ("vesker-link: ModemManager is running and may be probing this port, as it does "
                "with every new serial device; to make it leave the port alone, stop it (sudo "
                "systemctl stop ModemManager) or give the adapter a udev rule that sets "
                'ENV{ID_MM_DEVICE_IGNORE}="1"')
        for name, options, held, message in [
                ("busy", [], True, "busy: another program holds it"),
                ("a new device that does not answer", ["--silent"], False, "no answer！")]:
            with self.subTest(name):
                link = self.receiver(*options, name=name.replace(" ", "-")).link
                holder = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) if held else None
                if held:
                    fcntl.flock(holder, fcntl.LOCK_EX)
                run = self.cli("-p", link, "connect")
                if held:
                    os.close(holder)
                self.assertIn(message, run.err)
                self.assertIn(hint, run.err.splitlines())

    def test_com_names_past_com9(self):
        # The number is the whole of what follows "COM", in either case. The remote panel
        # opens COM1 to COM4 only: a port beyond stands in for its COM1.
        rows = [  # port, command, port the program's message names, port opened
            ("COM12", "connect", 12, 12),
            ("com40", "connect", 40, 40),
            ("COM4", "key", 4, 4),
            ("COM5", "key", 1, 5),
        ]
        for port, command, named, number in rows:
            with self.subTest(port=port, command=command):
                keys = ["MENU"] if command == "key" else []
                run = self.cli("-p", port, "--fast", command, *keys)
                self.assertEqual(run.code, 4, run.err)
                self.assertIn("vesker-link: open port%d error!\nvesker-link: cannot open COM%d: "
                              % (named, number), run.err)

    def test_probe_lists_each_port(self):
        answers = self.receiver(name="answers").link
        silent = self.receiver("--silent", name="silent").link
        missing = self.path("missing")
        states = {answers: "connect ok!", silent: "no answer！",
                  missing: "cannot open: no such device"}
        # The best port decides: one that answers is success, a silent one a line failure.
        for ports, code in [([answers, silent, missing], 0), ([silent, missing], 1),
                            ([missing], 4)]:
            with self.subTest(ports=[os.path.basename(p) for p in ports]):
                run = self.cli("--fast", "probe", *ports)
                self.assertEqual(run.code, code, run.err)
                self.assertEqual(run.out.splitlines(), ["%s  %s" % (p, states[p]) for p in ports])
        run = self.cli("--fast", "--json", "probe", answers, missing)
        self.assertEqual(run.events(self)[-1]["details"]["ports"],
                         [{"port": answers, "state": "receiver answers", "message": "connect ok!"},
                          {"port": missing, "state": "cannot open",
                           "message": "cannot open: no such device"}])

    def test_probe_finds_the_adapters_there_are(self):
        # A folder laid out as /dev is: a by-id name and the device it names are one port,
        # and a ttyS with no device behind it (here: a plain file) is none.
        dev = self.path("dev")
        os.makedirs(os.path.join(dev, "serial", "by-id"))
        first = self.receiver(name="first")
        second = self.receiver("--silent", name="second")
        os.symlink(os.readlink(first.link), os.path.join(dev, "ttyUSB10"))
        os.symlink(os.readlink(second.link), os.path.join(dev, "ttyUSB2"))
        os.symlink("../../ttyUSB10", os.path.join(dev, "serial", "by-id", "usb-Adapter_A-port0"))
        open(os.path.join(dev, "ttyS0"), "w").close()
        env = dict(os.environ, VESKER_LINK_DEV=dev)
        listed = subprocess.run([CLI, "probe", "--list"], env=env, capture_output=True,
                                timeout=RUN_LIMIT)
        by_id = os.path.join(dev, "serial", "by-id", "usb-Adapter_A-port0")
        self.assertEqual(listed.stdout.decode().splitlines(), [by_id, os.path.join(dev, "ttyUSB2")])
        listed = Run(subprocess.run([CLI, "--json", "probe", "--list"], env=env,
                                    capture_output=True, timeout=RUN_LIMIT))
        self.assertEqual(listed.events(self)[-1]["details"]["ports"],
                         [{"port": by_id}, {"port": os.path.join(dev, "ttyUSB2")}])
        self.assertEqual(first.names() + second.names(), [], "--list opens nothing")
        probed = Run(subprocess.run([CLI, "probe"], env=env, capture_output=True,
                                    timeout=RUN_LIMIT))
        self.assertEqual(probed.code, 0, probed.err)
        self.assertEqual(probed.out.splitlines(), [by_id + "  connect ok!",
                                                   os.path.join(dev, "ttyUSB2") + "  no answer！"])
        # The system's own /dev, whatever it holds: of its ttyS, those with a UART behind them
        # (sysfs gives the UART's type; 0 is none).
        system = dict(os.environ)
        system.pop("VESKER_LINK_DEV", None)
        listed = Run(subprocess.run([CLI, "--json", "probe", "--list"], env=system,
                                    capture_output=True, timeout=RUN_LIMIT))
        ports = listed.events(self)[-1]["details"]["ports"]
        for port in ports:
            self.assertTrue(port["port"].startswith("/dev/"), port)
        uarts = []
        for kind in glob.glob("/sys/class/tty/ttyS*/type"):
            device = "/dev/" + kind.split("/")[4]
            with open(kind) as f:
                if int(f.read()) != 0 and os.path.exists(device):
                    uarts.append(device)
        self.assertEqual(sorted((p["port"], p.get("bus")) for p in ports
                                if p["port"].startswith("/dev/ttyS")),
                         sorted((uart, "uart") for uart in uarts))
        # Numbered names in the order of their numbers, however the folder lists them.
        numbers = [3, 11, 0, 7, 1, 10, 2]
        ordered = self.path("ordered")
        os.makedirs(ordered)
        for n in numbers:
            open(os.path.join(ordered, "ttyUSB%d" % n), "w").close()
        listed = subprocess.run([CLI, "probe", "--list"], capture_output=True, timeout=RUN_LIMIT,
                                env=dict(os.environ, VESKER_LINK_DEV=ordered))
        self.assertEqual(listed.stdout.decode().splitlines(),
                         [os.path.join(ordered, "ttyUSB%d" % n) for n in sorted(numbers)])


class RomFiles(Bench):
    def test_info_describes_good_files(self):
        for variant in (0, 1):
            with self.subTest(variant=variant):
                data = self.image("v%d.bin" % variant, variant=variant)
                run = self.cli("info", self.path("v%d.bin" % variant))
                self.assertEqual(run.code, 0, run.err)
                size = len(TAGS[variant]) + BLOCKS[variant] * BLOCK
                self.assertEqual(len(data), size)
                digest = hashlib.sha256(data[20:]).hexdigest()
                for line in ["variant:  %d (%s)" % (variant, TAGS[variant].decode()),
                             "version:  " + VERSIONS[variant],
                             "blocks:   %d" % BLOCKS[variant],
                             "size:     %d bytes, %d of them data" % (size, size - 20),
                             "sha256:   %s (data)" % digest]:
                    self.assertIn(line, run.out.splitlines())

    def test_bad_files_are_refused_before_the_receiver_hears_anything(self):
        data = self.image("good.bin")
        files = [  # name, contents (None: no file), message
            ("short.bin", data[:1000], "file size error！"),
            ("long.bin", data + b"\0", "file size error！"),
            ("tag.bin", b"VESKER_SZ_RomXXXXXX1" + data[20:], "file data error！"),
            ("half.bin", TAGS[1] + data[20:], "file size error！"),
            ("missing.bin", None, None),
            ("fifo.bin", os.mkfifo, None),  # nobody writes it: must not be waited for
            ("folder.bin", os.makedirs, None),
        ]
        receiver = self.receiver()
        os.makedirs(self.path("bad"))
        for name, contents, message in files:
            path = self.path("bad", name)
            if contents is None or callable(contents):
                message = "Open file<%s> error！" % path
                if contents:
                    contents(path)
            else:
                self.write(os.path.join("bad", name), contents)
            for command in ("info", "upgrade", "verify"):
                with self.subTest(file=name, command=command):
                    run = self.cli("-p", receiver.link, "--fast", command, path)
                    self.assertEqual(run.code, 3, run.err)
                    self.assertIn("vesker-link: " + message, run.err)
        receiver.stop()
        self.assertEqual(receiver.names(), [])
        self.assertEqual(self.backups(self.path("bad")), [])


class Read(Bench):
    def test_read_writes_tag_and_flash(self):
        # Once at the dialogs' own 50 ms pace, read once; with --fast on a 2 MiB receiver,
        # proven by a second read.
        for variant, fast, reads, proof in [(0, False, 1, "read once, not proven"),
                                            (1, True, 2, "2 reads agree")]:
            with self.subTest(variant=variant, fast=fast):
                receiver = self.receiver("--variant", str(variant), "--seed", "3",
                                         name="tty%d" % variant)
                path = self.path("read%d.bin" % variant)
                run = self.cli("-p", receiver.link, *(["--fast"] if fast else ["--once"]),
                               "read", path)
                receiver.stop()
                self.assertEqual(run.code, 0, run.err)
                n = BLOCKS[variant]
                self.assertEqual(run.out, "read %d blocks of %s into %s: %s\n"
                                 % (n, VERSIONS[variant], path, proof))
                self.assertEqual(self.read(path), TAGS[variant] + receiver.flash())
                # A line each time another tenth of a read is done, at the first block that
                # does it.
                progress = [l for l in run.err.splitlines() if l.startswith("read")]
                self.assertEqual(progress, ["%s: %d%% (%d/%d blocks)"
                                            % (stage, p, -(-p * n // 100), n)
                                            for stage in ["read", "read 2"][:reads]
                                            for p in range(10, 101, 10)])
                names = receiver.names()
                self.assertEqual(names, (["CMD_READ_START"] + ["VARIANT_ECHO %d" % (variant + 1)]
                                         * n + ["CMD_READ_DONE"]) * reads)
                self.assertFalse([f for f in os.listdir(self.dir) if f.startswith("vesker-link-")],
                                 "the reads' scratch files are gone")

    def test_a_read_that_equals_a_known_image_takes_one_pass(self):
        # The images of --known folders: one read equal to one of them is proven by itself;
        # noise makes it equal none, and the proof goes on as ever. A file there that is no
        # image is said once and skipped.
        known = self.path("known")
        os.makedirs(known)
        image = self.image(os.path.join("known", "factory.bin"), seed=3)
        self.write(os.path.join("known", "notes.bin"), b"not an image")
        rows = [  # name, receiver options, reads, proof
            ("an image in the folder", ["--seed", "3"], 1, "equals factory.bin"),
            ("an image not in it", ["--seed", "4"], 2, "2 reads agree"),
            # The first read equals nothing it may equal; the second, alone, is the image.
            ("a flipped bit in the one pass", ["--seed", "3", "--flip", "read:10:0:1"], 2,
             "equals factory.bin"),
        ]
        for i, (name, options, reads, proof) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver(*options, name="tty%d" % i)
                path = self.path("read%d.bin" % i)
                run = self.cli("-p", receiver.link, "-q", "--known", known, "read", path)
                receiver.stop()
                self.assertEqual(run.code, 0, run.err)
                self.assertEqual(run.out, "read 256 blocks of Fta 29 1 into %s: %s\n"
                                 % (path, proof))
                self.assertEqual(run.err, "vesker-link: not a known image, skipped: %s: not a "
                                 "ROM image (its length)\n" % os.path.join(known, "notes.bin"))
                self.assertEqual(self.read(path), TAGS[0] + receiver.flash())
                self.assertEqual(receiver.names().count("CMD_READ_START"), reads)
                if proof.startswith("equals"):
                    self.assertEqual(self.read(path), image)

    def test_read_into_missing_folder(self):
        receiver = self.receiver()
        path = self.path("no", "such", "folder", "r.bin")
        run = self.cli("-p", receiver.link, "--fast", "read", path)
        self.assertEqual(run.code, 5, run.err)
        self.assertIn("vesker-link: create file error!", run.err)
        self.assertFalse(os.path.exists(self.path("no")))
        self.assertEqual(receiver.names(), [], "refused before the line is touched")


class Upgrade(Bench):
    def setUp(self):
        super().setUp()
        self.old = self.image("old.bin", seed=1)[20:]
        self.new = self.image("new.bin", seed=7)
        self.old_raw = self.write("old.raw", self.old)
        self.assertNotEqual(self.old, self.new[20:])

    def place_new(self, folder):
        return self.write(os.path.join(folder, "new.bin"), self.new)

    def test_upgrade_keeps_backup_of_old_flash(self):
        receiver = self.receiver("--flash", self.old_raw)
        path = self.place_new("up")
        run = self.cli("-p", receiver.link, "--fast", "--json", "upgrade", path)
        # Back again, perhaps within the same second: the first backup must stay; and another
        # run takes the name this one chose at the moment it writes: that file stays too.
        back = self.write(os.path.join("up", "old.bin"), TAGS[0] + self.old)
        asan = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        again = Run(subprocess.run(
            [CLI, "-p", receiver.link, "--fast", "-q", "--no-verify", "upgrade", back],
            cwd=self.dir, capture_output=True, timeout=RUN_LIMIT,
            env=dict(os.environ, TMPDIR=self.dir, LD_PRELOAD=FAILING_CALLS,
                     VL_TAKE_NAME="backup-", ASAN_OPTIONS=asan)))
        receiver.stop()
        self.assertEqual(run.code, 0, run.out)
        self.assertEqual(again.code, 0, again.err)
        events = run.events(self)
        self.assertEqual(receiver.flash(), self.old)
        backup_at = [i for i, e in enumerate(events)
                     if e["event"] == "message" and e["text"].startswith("backup: ")]
        self.assertEqual(len(backup_at), 1)
        backup = events[backup_at[0]]["text"][len("backup: "):]
        self.assertEqual(events[-1]["details"], {
            "backup": backup, "backupSha256": hashlib.sha256(self.old).hexdigest(),
            "blocks": 256, "upToDate": False,
            "sha256": hashlib.sha256(self.new[20:]).hexdigest(),
            "proof": {"backup": "2 reads agree", "verify": "read back: every block matches"}})
        self.assertEqual(os.path.dirname(backup), self.path("up"))
        self.assertRegex(os.path.basename(backup), r"^backup-RomFtaAMD1-\d{8}-\d{6}\.bin$")
        self.assertEqual(self.read(backup), TAGS[0] + self.old)
        later = {self.read(self.path("up", n)): self.path("up", n)
                 for n in self.backups(self.path("up")) if self.path("up", n) != backup}
        self.assertEqual(sorted(later), sorted([b"another run's file\n", self.new]))
        self.assertIn("vesker-link: backup: " + later[self.new], again.err)
        self.assertEqual(len(os.listdir(self.path("up"))), 5)  # no provisional files left
        stages = [(i, e["stage"]) for i, e in enumerate(events) if e["event"] == "progress"]
        first_upgrade = min(i for i, stage in stages if stage == "upgrade")
        self.assertTrue(any(stage == "backup" and i < backup_at[0] for i, stage in stages))
        self.assertLess(backup_at[0], first_upgrade)
        names = receiver.names()
        stop = names.index("CMD_STOP")
        first = names[:stop + 1]  # the first upgrade's frames
        self.assertEqual(first.count("CMD_READ_DONE"), 2, "the backup read twice")
        self.assertLess(first.index("CMD_READ_DONE"), first.index("CMD_UPGRADE_START"))
        self.assertLess(first.index("CMD_UPGRADE_START"), first.index("BLOCK 0"))
        self.assertEqual([x for x in first if x.startswith("BLOCK ")],
                         ["BLOCK %d" % i for i in range(256)])
        # After the restart only the connection test, then the read-back.
        read_back = names.index("CMD_READ_START", stop)
        self.assertEqual(set(names[stop + 1:read_back]), {"CMD_CONNECT"})

    def test_an_upgrade_cut_short_names_its_backup_and_the_command_that_restores_it(self):
        # Once blocks have gone out the receiver may hold wrong software, however the upgrade
        # ended; the backup is whole before the first block. Nothing proves that whoever is
        # on the port later is this receiver, so the command reads a backup of its own first.
        # A session that ends (SIGHUP) or a service stopped (SIGTERM) ends it as Ctrl-C does.
        rows = [  # name, receiver options, at block 20: a signal or the cable pulled, --json,
            # the last block taken
            ("silent from block 0", ["--silent-after", "0"], None, False, 0),
            ("silent from block 100", ["--silent-after", "100"], None, True, 100),
            ("a pulled cable", ["--late", "10", "--usb"], "pull", False, None),
            ("Ctrl-C", ["--late", "10"], signal.SIGINT, False, None),
            ("SIGTERM", ["--late", "10"], signal.SIGTERM, True, None),
            ("SIGHUP", ["--late", "10"], signal.SIGHUP, False, None),
        ]
        for i, (name, options, event, json_out, last) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--flash", self.old_raw, *options, name="tty%d" % i)
                folder = "up%d" % i
                path = self.place_new(folder)
                log = self.path("bench%d.log" % i)
                args = [CLI, "-p", receiver.link, "-q", "--log", log] + (
                    ["--json"] if json_out else [])
                process = subprocess.Popen(args + ["upgrade", path], cwd=self.dir,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                           env=dict(os.environ, TMPDIR=self.dir))
                self.addCleanup(process.kill)
                if event is not None:
                    self.wait_for(lambda: "BLOCK 20" in receiver.names(), "the upgrade",
                                  RUN_LIMIT)
                    if event == "pull":
                        receiver.process.send_signal(signal.SIGUSR1)
                    else:
                        process.send_signal(event)
                out, err = process.communicate(timeout=RUN_LIMIT)
                receiver.stop()
                run = Run(subprocess.CompletedProcess(args, process.returncode, out, err))
                self.assertEqual(run.code, 1, run.err)
                backups = self.backups(self.path(folder))
                self.assertEqual(len(backups), 1)
                backup = self.path(folder, backups[0])
                self.assertEqual(self.read(backup), TAGS[0] + self.old)
                restore = "vesker-link -p %s upgrade %s" % (receiver.link, backup)
                said = [e["text"] for e in run.events(self) if e["event"] == "message"] \
                    if json_out else [line[len("vesker-link: "):] for line in run.err.splitlines()]
                self.assertEqual(said[0], "backup: " + backup)
                self.assertEqual(said[-1], "the old software is in %s; to put it back: %s"
                                 % (backup, restore))
                if json_out:
                    self.assertEqual(run.events(self)[-1]["details"]["restore"], restore)
                entry, = self.log_lines(log)
                self.assertEqual((entry["exitCode"], entry["backup"], entry["restore"]),
                                 (1, backup, restore))
                names = receiver.names()
                self.assertLess(names.index("CMD_READ_DONE"), names.index("BLOCK 0"))
                if last is not None:
                    self.assertIn("BLOCK %d" % last, names)
                    self.assertNotIn("BLOCK %d" % (last + 1), names)
                if event not in (None, "pull"):
                    # Told to stop where the next block would begin; the copy of the image gone.
                    blocks = [n for n in names if n.startswith("BLOCK ")]
                    self.assertEqual(names[names.index(blocks[-1]) + 1:], ["CMD_STOP"])
                    self.assertEqual(entry["result"], "interrupted")
                self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("vesker-link-")],
                                 [])

    def test_an_upgrade_cut_short_after_a_one_pass_backup_names_the_kept_file(self):
        # The receiver's old software is a known image: one read proves the backup, no file
        # is written for it, and the way back names the file that holds it.
        known = self.path("known")
        os.makedirs(known)
        kept = self.write(os.path.join("known", "factory-old.bin"), TAGS[0] + self.old)
        receiver = self.receiver("--flash", self.old_raw, "--silent-after", "10")
        path = self.place_new("up")
        run = self.cli("-p", receiver.link, "--known", known, "--json", "upgrade", path)
        receiver.stop()
        self.assertEqual(run.code, 1, run.out)
        details = run.events(self)[-1]["details"]
        self.assertEqual((details["backup"], details["proof"]["backup"]),
                         (kept, "equals factory-old.bin"))
        self.assertEqual(details["restore"], "vesker-link -p %s upgrade %s" % (receiver.link, kept))
        self.assertEqual(self.read(kept), TAGS[0] + self.old)
        self.assertEqual(os.listdir(self.path("up")), ["new.bin"])
        self.assertEqual(receiver.names().count("CMD_READ_START"), 1)

    def test_refusals_leave_the_receiver_as_it_was(self):
        mismatch = ["vesker-link: software version incorrect！",
                    '"error version <Fta 29 1> to <Fta 39 1>"']
        rows = [  # name, receiver options, upgrade options, texts, upgrade asked for, reads
            # Refused once two reads name its kind: nothing of its flash is read or kept.
            ("other variant", ["--variant", "2"], [], mismatch, False, 2),
            # Without a backup no read tells the variant; the upgrade exchange must refuse.
            ("other variant, no backup", ["--variant", "2"], ["--no-backup"], mismatch, True, 0),
            ("silent receiver", ["--silent"], [],
             ["vesker-link: no answer", "vesker-link: no backup of the receiver, so no upgrade"],
             False, 1),
            # No block went out: the receiver holds what it held, and needs no way back.
            ("silent before the first block", ["--silent"], ["--no-backup"],
             ["vesker-link: no answer1！"], True, 0),
        ]
        for i, (name, options, extra, texts, asked, reads) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--flash", self.old_raw, *options, name="tty%d" % i)
                folder = "up%d" % i
                path = self.place_new(folder)
                run = self.cli("-p", receiver.link, "--fast", "upgrade", path, *extra)
                receiver.stop()
                self.assertEqual(run.code, 1, run.err)
                for text in texts:
                    self.assertIn(text, run.err)
                self.assertNotIn("old software", run.err)
                names = receiver.names()
                self.assertEqual("CMD_UPGRADE_START" in names, asked, names[-3:])
                self.assertEqual(names.count("CMD_READ_START"), reads, names)
                self.assertFalse([x for x in names if x.startswith(("BLOCK ", "VARIANT_ECHO"))])
                self.assertEqual(receiver.flash(), self.old)
                self.assertEqual(os.listdir(self.path(folder)), ["new.bin"])


class Proof(Bench):
    """Noise on the line, from the simulator: what vesker-link moves is proven all the same."""

    def setUp(self):
        super().setUp()
        self.old = self.image("old.bin", seed=1)[20:]
        self.new = self.image("new.bin", seed=7)
        self.old_raw = self.write("old.raw", self.old)

    def scratch(self):
        return [f for f in os.listdir(self.dir) if f.startswith("vesker-link-")]

    def test_reads_are_proven_against_noise(self):
        rows = [  # name, noise, exit code, stdout's proof or stderr's message
            ("bits flipped in the first and the second read, at different blocks",
             ["--flip", "read:10:0:1", "--flip", "read:200:4095:2"], 0,
             "blocks 10 and 200 taken from 2 of 3 reads"),
            ("a block garbled differently in all three",
             ["--flip", "read:50:1:1", "--flip", "read:50:2:2", "--flip", "read:50:3:3"], 1,
             "vesker-link: block 50 came differently in each of 3 reads; {path} not written"),
            # A byte too many shifts the blocks: the read's own check ends it.
            ("a byte doubled", ["--double", "read:250:7"], 1, "vesker-link: no answer1！"),
        ]
        for i, (name, noise, code, said) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--flash", self.old_raw, *noise, name="tty%d" % i)
                path = self.write("read%d.bin" % i, b"an older file")
                run = self.cli("-p", receiver.link, "-q", "read", path)
                receiver.stop()
                self.assertEqual(run.code, code, run.err)
                if code == 0:
                    self.assertEqual(run.out, "read 256 blocks of Fta 29 1 into %s: %s\n"
                                     % (path, said))
                    self.assertEqual(self.read(path), TAGS[0] + self.old)
                else:
                    self.assertIn(said.format(path=path), run.err)
                    self.assertEqual(self.read(path), b"an older file")
                self.assertEqual(self.scratch(), [])

    def test_upgrades_are_verified_against_noise(self):
        # The backup (read once) takes the first sending of each read block; the read-back
        # the next.
        # An update that changes block 7 alone, written wrong there: its flash holds neither
        # the file nor the old software, and the receiver is the one written to all the same.
        one = TAGS[0] + self.old[:7 * BLOCK] + self.new[20 + 7 * BLOCK:20 + 8 * BLOCK] \
            + self.old[8 * BLOCK:]
        rows = [  # name, image, noise, exit code, verify's proof, blocks that differ in the
            # flash, what the read-back found
            ("a bit flipped in the read-back only", self.new, ["--flip", "read:7:100:2"], 0,
             "read back twice: block 7 read wrong once (noise)", [], None),
            # The second read-back gives a third version: a third read finds the flash wrong.
            ("a flipped block, read wrong again", self.new,
             ["--flip", "upgrade:7:100", "--flip", "read:7:200:3"], 1,
             "read back 3 times: block 7 differs in the flash", [7],
             "verify failed: block 7 of the receiver's flash differs from the file"),
            ("the one changed block written wrong", one, ["--flip", "upgrade:7:100"], 1,
             "read back twice: block 7 differs in the flash", [7],
             "verify failed: the receiver's flash holds neither this file nor its old software "
             "(block 7 differs from the file)"),
        ]
        for i, (name, image, noise, code, proof, differing, found) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--flash", self.old_raw, *noise, name="tty%d" % i)
                folder = "up%d" % i
                path = self.write(os.path.join(folder, "new.bin"), image)
                run = self.cli("-p", receiver.link, "--json", "--once", "upgrade", path)
                receiver.stop()
                self.assertEqual(run.code, code, run.out)
                events = run.events(self)
                details = events[-1]["details"]
                self.assertEqual(details["proof"], {"backup": "read once, not proven",
                                                    "verify": proof})
                self.assertEqual(details.get("differing", []), differing)
                backup = details["backup"]
                self.assertEqual(self.read(backup), TAGS[0] + self.old)
                said = [e["text"] for e in events if e["event"] == "message"]
                flash = bytearray(image[20:])
                if code == 0:
                    self.assertEqual(said, ["backup: " + backup])
                else:
                    flash[7 * BLOCK + 100] ^= 1
                    restore = "vesker-link -p %s upgrade %s" % (receiver.link, backup)
                    self.assertEqual(said[1:], [found, "the old software is in %s; to put it "
                                                "back: %s" % (backup, restore)])
                    self.assertEqual(details["restore"], restore)
                self.assertEqual(receiver.flash(), bytes(flash))
                self.assertEqual(self.scratch(), [])

    def test_restart_is_waited_for(self):
        rows = [  # name, receiver options, upgrade options, exit code, messages after backup
            ("a slow restart", ["--restart", "1500"], [], 0, []),
            ("no restart", ["--restart", "never"], ["--restart-wait", "1"], 1,
             ["upgraded, not verified: no answer after the restart",
              "the old software is in {backup}; to put it back: vesker-link -p {port} "
              "upgrade {backup}"]),
            # It answers at once, and restarts after the first read-back, its USB adapter with
            # it: the second read-back finds no port, and waits for it as for silence.
            ("an adapter gone with a late restart", ["--flip", "read:7:100:2", "--hang-up-after",
                                                     "reads:2", "--return-after", "2000"], [], 0,
             ["open port1 error!", "the receiver stopped answering: waiting for it to restart"]),
        ]
        for i, (name, options, extra, code, said) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--flash", self.old_raw, *options, name="tty%d" % i)
                folder = "up%d" % i
                path = self.write(os.path.join(folder, "new.bin"), self.new)
                run = self.cli("-p", receiver.link, "--json", "--once", *extra, "upgrade", path)
                receiver.stop()
                self.assertEqual(run.code, code, run.out)
                events = run.events(self)
                backup = events[-1]["details"]["backup"]
                self.assertEqual([e["text"] for e in events if e["event"] == "message"][1:],
                                 [t.format(backup=backup, port=receiver.link) for t in said])
                self.assertEqual(receiver.flash(), self.new[20:])
                waits = [e for e in events if e["event"] == "progress" and e["stage"] == "restart"]
                self.assertTrue(waits, "the wait shows")
                # Nothing but the connection test goes out until the receiver answers it.
                names = receiver.names()
                after = names[names.index("CMD_STOP") + 1:]
                self.assertEqual(after[:1], ["CMD_CONNECT"] if code == 0 else [])
                self.assertEqual(after[1:2], ["CMD_READ_START"] if code == 0 else [])

    def test_receiver_that_falls_silent_again_in_the_read_back(self):
        # It answers at once after the upgrade, then goes quiet for its restart half-way
        # through the read-back: it is waited for again, and read back whole.
        receiver = self.receiver("--flash", self.old_raw, "--pause-before", "128:2900")
        path = self.write("new.bin", self.new)
        process = subprocess.Popen([CLI, "-p", receiver.link, "--no-backup",
                                    "--restart-wait", "30", "upgrade", path], cwd=self.dir,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=dict(os.environ, TMPDIR=self.dir))
        self.addCleanup(process.kill)
        deadline = time.monotonic() + RUN_LIMIT
        while time.monotonic() < deadline:
            names = receiver.names()
            if "CMD_STOP" in names and names[names.index("CMD_STOP"):].count("VARIANT_ECHO 1") \
                    >= 128:
                break
            time.sleep(0.02)
        receiver.process.send_signal(signal.SIGSTOP)
        self.assertNotIn("CMD_READ_DONE", receiver.names(), "stopped in the read-back's pause")
        time.sleep(3.5)  # beyond the read's 3 s
        receiver.process.send_signal(signal.SIGCONT)
        out, err = process.communicate(timeout=RUN_LIMIT)
        receiver.stop()
        self.assertEqual(process.returncode, 0, err)
        # The wait is told once, when there is one: the restart answered at once is none.
        lines = err.decode().splitlines()
        self.assertEqual([line for line in lines if "waiting" in line], [
            "vesker-link: the receiver stopped answering: waiting for it to restart",
            "restart: waiting for the receiver to answer (up to 30 s)"])
        self.assertEqual(lines[lines.index("verify: 50% (128/256 blocks)") + 1:][:3], [
            "vesker-link: no answer！",
            "vesker-link: the receiver stopped answering: waiting for it to restart",
            "restart: waiting for the receiver to answer (up to 30 s)"])
        self.assertEqual(out.decode().splitlines()[-1], "upgraded 256 blocks of Fta 29 1; "
                         "verified (read back: every block matches)")
        self.assertEqual(receiver.flash(), self.new[20:])

    def test_receiver_that_already_holds_the_file(self):
        rows = [  # name, options, written
            ("left alone", [], False),
            ("--force", ["--force", "--no-verify"], True),
        ]
        for i, (name, options, written) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--seed", "7", name="tty%d" % i)
                folder = "up%d" % i
                path = self.write(os.path.join(folder, "new.bin"), self.new)
                run = self.cli("-p", receiver.link, *options, "upgrade", path)
                receiver.stop()
                self.assertEqual(run.code, 0, run.err)
                names = receiver.names()
                self.assertEqual("CMD_UPGRADE_START" in names, written)
                self.assertEqual(len([n for n in names if n.startswith("BLOCK ")]),
                                 256 if written else 0)
                # One read equal to the file proves it; the file is all the backup there is.
                self.assertEqual(names.count("CMD_READ_START"), 1)
                self.assertEqual(os.listdir(self.path(folder)), ["new.bin"])
                if not written:
                    self.assertEqual(run.out, "the receiver already holds this software "
                                     "(Fta 29 1): nothing written\n")
                self.assertEqual(receiver.flash(), self.new[20:])


class Verify(Bench):
    def test_verify_lists_differing_blocks(self):
        data = self.image("flash.bin", seed=5)
        receiver = self.receiver("--seed", "5")
        rows = [  # name, offsets in the data to change, blocks that differ
            ("unchanged", [], []),
            ("last byte of block 137", [137 * BLOCK + BLOCK - 1], [137]),
            ("first and last byte", [0, 256 * BLOCK - 1], [0, 255]),
        ]
        for name, offsets, differing in rows:
            with self.subTest(name):
                changed = bytearray(data)
                for offset in offsets:
                    changed[20 + offset] ^= 0x5A
                path = self.write(name.replace(" ", "-") + ".bin", bytes(changed))
                run = self.cli("-p", receiver.link, "--fast", "verify", path)
                self.assertEqual(run.code, 1 if differing else 0, run.err)
                lines = run.out.splitlines()
                self.assertEqual([l for l in lines if l.startswith("block ")],
                                 ["block %d differs" % b for b in differing])
                self.assertEqual(lines[-1], "%d of 256 blocks differ" % len(differing)
                                 if differing else "all 256 blocks match")
                run = self.cli("-p", receiver.link, "--fast", "--json", "verify", path)
                details = run.events(self)[-1]["details"]
                self.assertEqual((details["blocks"], details["differing"]), (256, differing))
        self.assertFalse([n for n in os.listdir(self.dir) if n.startswith("vesker-link-verify")])

    def test_verify_on_a_receiver_of_another_kind_ends_at_its_kind(self):
        path = self.write("fta.bin", self.image("fta.bin", variant=2, seed=5))
        receiver = self.receiver()  # the first kind of all
        log = self.path("bench.log")
        for once in ([], ["--once"]):
            with self.subTest(once=once):
                run = self.cli("-p", receiver.link, "--log", log, *once, "verify", path)
                self.assertEqual(run.code, 1, run.err)
                self.assertIn('"error version <Fta 39 1> to <Fta 29 1>"', run.err)
                self.assertEqual(self.log_lines(log)[-1]["kind"], "Fta 29 1")
        receiver.stop()
        # Each read stopped as the receiver named its kind: no block was taken.
        self.assertEqual(set(receiver.names()), {"CMD_READ_START", "CMD_STOP"})
        self.assertEqual(receiver.names().count("CMD_READ_START"), 3)


class Keys(Bench):
    def test_keys_reach_the_receiver_in_order(self):
        rows = [  # name, arguments, frames the receiver takes, stdout
            ("names, three times", ["MENU", "CH_UP", "7", "--repeat", "3"],
             ["KEY 0x1D", "KEY 0x02", "KEY 0x11"] * 3, "sent 9 keys\n"),
            ("captions in any case", ["menu", "CH▼", "p/n/s"],
             ["KEY 0x1D", "KEY 0x0A", "KEY 0x1F"], "sent 3 keys\n"),
        ]
        for i, (name, args, frames, out) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver(name="tty%d" % i)
                run = self.cli("-p", receiver.link, "--gap", "20", "key", *args)
                receiver.stop()
                self.assertEqual(run.code, 0, run.err)
                self.assertEqual(run.out, out)
                self.assertEqual(receiver.names(), frames)

    def test_unknown_key_sends_nothing(self):
        receiver = self.receiver()
        run = self.cli("-p", receiver.link, "key", "MENU", "NOSUCHKEY")
        receiver.stop()
        self.assertEqual(run.code, 2, run.err)
        self.assertIn("vesker-link: unknown key NOSUCHKEY; keys: POWER INFO", run.err)
        self.assertEqual(receiver.names(), [])

    def test_unknown_key_shows_usage_line(self):
        run = self.cli("key", "NOSUCHKEY")
        self.assertEqual(run.code, 2)
        self.assertTrue(run.err.startswith("usage: vesker-link"), run.err)


class BenchLog(Bench):
    """The bench's log when the disk fills or a share fails: each line whole, or not there."""

    def connect(self, receiver, log, env=(), preexec_fn=None):
        return Run(subprocess.run([CLI, "-p", receiver.link, "--log", log, "connect"],
                                  cwd=self.dir, env=dict(os.environ, TMPDIR=self.dir, **dict(env)),
                                  preexec_fn=preexec_fn, capture_output=True, timeout=RUN_LIMIT))

    def test_a_line_that_cannot_be_stored_leaves_the_log_as_it_was(self):
        receiver = self.receiver()
        log = self.path("bench.log")
        first = self.connect(receiver, log)
        self.assertEqual(first.code, 0, first.err)
        kept = self.read(log)
        limit = len(kept) + 40  # the disk fills in the middle of the next line

        def full_disk():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        # AddressSanitizer wants to be loaded first; the shim goes ahead of it on purpose.
        asan = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        rows = [  # name, how the run goes wrong, why, whether the receiver was asked at all
            ("full disk", {"preexec_fn": full_disk}, "File too large", True),
            ("lock refused", {"env": {"VL_FAIL_CALLS": "flock"}}, "No locks available", False),
            ("flush fails", {"env": {"VL_FAIL_CALLS": "fdatasync"}}, "Input/output error", True),
            ("close fails", {"env": {"VL_FAIL_CALLS": "close"}}, "Input/output error", True),
        ]
        for name, how, reason, asked in rows:
            with self.subTest(name):
                env = dict(how.get("env", {}))
                if env:
                    env.update(LD_PRELOAD=FAILING_CALLS, VL_FAIL_FILE=log, ASAN_OPTIONS=asan)
                frames = len(receiver.names())
                run = self.connect(receiver, log, env=env.items(),
                                   preexec_fn=how.get("preexec_fn"))
                self.assertEqual(run.code, 5, run.err)
                self.assertIn("vesker-link: cannot write the log %s: %s" % (log, reason), run.err)
                # A log that cannot be locked stops the run before the port is opened.
                self.assertEqual(len(receiver.names()) > frames, asked, receiver.names())
                self.assertEqual(self.read(log), kept)
        last = self.connect(receiver, log)
        self.assertEqual(last.code, 0, last.err)
        self.assertEqual([(e["command"], e["result"]) for e in self.log_lines(log)],
                         [("connect", "ok")] * 2)

    def test_a_pipe_a_fifo_or_a_device_takes_each_line_whole(self):
        # Two ports append at once. A reader that is there gets each line whole, and sees the
        # end of the stream only when the run ends; one that has gone or stops reading fails
        # the lines (exit 5) without ending the program by SIGPIPE or holding it for ever.
        ports = [self.receiver(name="ttyA").link, self.receiver(name="ttyB").link]
        fifo = self.path("bench.fifo")
        os.mkfifo(fifo)

        def a_device():
            return "/dev/null", (), lambda: None

        def a_fifo_with_a_reader():
            got = []
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)

            def read_to_the_end():  # as cat or a collector does: it leaves at the end
                wait = select.poll()
                wait.register(reader, select.POLLIN)
                while wait.poll() and (chunk := os.read(reader, 65536)):
                    got.append(chunk)
                os.close(reader)

            thread = threading.Thread(target=read_to_the_end, daemon=True)
            thread.start()

            def lines():
                thread.join(RUN_LIMIT)
                return b"".join(got)
            return fifo, (), lines

        def a_pipe(reader_gone=False, reader_stopped=False):
            reader, writer = os.pipe()
            if reader_gone:
                os.close(reader)
            if reader_stopped:  # full, and never read
                os.set_blocking(writer, False)
                while True:
                    try:
                        os.write(writer, b"x" * 4096)
                    except BlockingIOError:
                        break

            def lines():
                os.close(writer)
                if reader_gone:
                    return None
                with os.fdopen(reader, "rb") as taken:
                    text = taken.read()
                return None if reader_stopped else text
            return "/dev/fd/%d" % writer, (writer,), lines

        rows = [  # name, the log, exit code, why the lines were not logged
            ("/dev/null", a_device, 0, None),
            ("a FIFO with a reader", a_fifo_with_a_reader, 0, None),
            ("a pipe", a_pipe, 0, None),
            ("a pipe whose reader has gone", lambda: a_pipe(reader_gone=True), 5, "Broken pipe"),
            ("a pipe whose reader stopped reading", lambda: a_pipe(reader_stopped=True), 5,
             "its reader took nothing for 5 s"),
        ]
        for name, make, code, reason in rows:
            with self.subTest(name):
                log, fds, lines = make()
                run = Run(subprocess.run([CLI, "-p", ",".join(ports), "--log", log, "connect"],
                                         cwd=self.dir, pass_fds=fds, capture_output=True,
                                         timeout=RUN_LIMIT))
                taken = lines()
                self.assertEqual(run.code, code, run.err)
                self.assertEqual(run.out.count("connect ok!"), 2, run.out)
                for port in ports:
                    refusal = "vesker-link: %s: cannot write the log %s: %s" % (port, log, reason)
                    self.assertEqual(refusal in run.err, reason is not None, run.err)
                if taken is not None:
                    entries = [json.loads(line) for line in taken.decode().split("\n")[:-1]]
                    self.assertEqual(sorted(e["port"] for e in entries), ports, taken)


class CommandLine(Bench):
    def test_argument_errors(self):
        rows = [  # name, arguments, message
            ("no command", [], "no command"),
            ("unknown command", ["frob"], "unknown command frob"),
            ("unknown option", ["--bogus", "connect"], "unknown option --bogus"),
            ("option without value", ["connect", "-p"], "option -p needs a value"),
            ("read without FILE", ["read"], "usage: vesker-link read FILE"),
            ("upgrade without FILE", ["upgrade", "--no-backup"], "usage: vesker-link upgrade FILE"),
            ("verify without FILE", ["verify"], "usage: vesker-link verify FILE"),
            ("info with two files", ["info", "a", "b"], "usage: vesker-link info FILE"),
            ("baud not a number", ["-b", "12x", "connect"], "bad baud rate: 12x"),
            ("baud zero", ["--baud=0", "connect"], "bad baud rate: 0"),
            ("key without names", ["key"], "usage: vesker-link key NAME..."),
            ("repeat zero", ["key", "MENU", "--repeat", "0"], "bad repeat count: 0"),
            ("bad port", ["-p", "COMx", "--json", "connect"], "bad port COMx: give a device, COMn"),
            ("bad probe port", ["probe", "COM0"], "bad port COM0: give a device, COMn"),
            ("network port of no kind", ["-p", "telnet://h:23", "connect"],
             "a network port is rfc2217://HOST:PORT or socket://HOST:PORT: telnet://h:23"),
            ("network port beyond 65535", ["-p", "rfc2217://h:65536", "connect"],
             'not a TCP port (1 to 65535): "65536"'),
            ("network port without a port", ["-p", "socket://h", "connect"], "no port number"),
            ("IPv6 address without brackets", ["-p", "rfc2217://::1:4001", "connect"],
             "an IPv6 address goes in brackets"),
            ("host with a separator", ["-p", "socket://h)x:1", "connect"],
             'not a host name or address: "h)x"'),
            ("zone with a separator", ["-p", "rfc2217://[fe80::1%eth0)]:1", "connect"],
             "not an IPv6 address: fe80::1%eth0)"),
            ("bridge to two servers", ["-p", "rfc2217://a:1,rfc2217://b:2", "bridge", "L"],
             "bridge takes one network port"),
            ("bridge to a local port", ["-p", "/dev/ttyS0", "bridge", "L"],
             "bridge takes one network port"),
            ("bridge with two links", ["-p", "rfc2217://a:1", "bridge", "L", "M"],
             "usage: vesker-link bridge LINK"),
            ("watch of no command it runs", ["watch", "verify", "f.bin"],
             "usage: vesker-link watch upgrade FILE | read FOLDER"),
            ("upgrade's options with watch read", ["watch", "read", "d", "--no-verify"],
             "--no-verify, --force and --restart-wait go with upgrade"),
            ("log without a name", ["--log=", "connect"], "--log needs a file name"),
            ("count without watch", ["--count", "3", "read", "r.bin"], "--count goes with watch"),
            ("serve without watch", ["--serve", "8080", "read", "r.bin"], "--serve goes with watch"),
            ("serve on no port", ["--serve", "bench:", "watch", "read", "d"], "bad --serve bench:"),
            ("serve on an IPv6 address without brackets", ["--serve", "::1:8080", "watch", "read",
                                                          "d"], "bad --serve ::1:8080"),
        ]
        for name, args, message in rows:
            with self.subTest(name):
                run = self.cli(*args)
                self.assertEqual(run.code, 2, run.err)
                self.assertTrue(run.err.startswith("usage: vesker-link"), run.err)
                self.assertIn("vesker-link: " + message, run.err)
                self.assertEqual(run.out, "")
        # Where each of them points: the usage and every command, on stdout.
        run = self.cli("--help")
        self.assertEqual((run.code, run.err), (0, ""))
        self.assertTrue(run.out.startswith("usage: vesker-link"), run.out)
        self.assertIn("  watch upgrade FILE ", run.out)

    def test_json_stream_shape(self):
        answers = self.receiver(name="answers").link
        silent = self.receiver("--silent", name="silent").link
        rows = [  # name, arguments, exit code
            ("connect ok", ["-p", answers, "connect"], 0),
            ("read from a silent receiver", ["-p", silent, "read", self.path("r.bin")], 1),
            ("connect on a missing port", ["-p", self.path("missing"), "connect"], 4),
            ("info on a missing file", ["info", self.path("missing.bin")], 3),
            ("a receiver with nothing to read into", ["-p", answers, "read", self.path("no/r.bin")], 5),
        ]
        for name, args, code in rows:
            with self.subTest(name):
                run = self.cli("--fast", "--json", *args)
                self.assertEqual(run.code, code, run.out)
                events = run.events(self)
                self.assertEqual(events[0]["command"], events[-1]["command"])
                if args[-2] in ("read", "info"):
                    self.assertEqual(events[0]["details"]["file"], args[-1])


    def test_json_of_names_that_are_not_utf8(self):
        # Names are bytes on Linux: a byte that is not UTF-8 stands as U+FFFD in the events,
        # and the file is written under its own name.
        receiver = self.receiver(name="tty\udcff")
        run = self.cli("-p", receiver.link, "--fast", "--json", "read", self.path("x\udcff.bin"))
        self.assertEqual(run.code, 0, run.err)
        events = run.events(self)
        self.assertEqual(events[0]["details"]["file"], self.path("x\ufffd.bin"))
        self.assertEqual({e["port"] for e in events}, {self.path("tty\ufffd")})
        self.assertTrue(os.path.isfile(self.path("x\udcff.bin")))


class ManyPorts(Bench):
    def test_upgrade_of_three_ports_one_silent(self):
        new = self.image("new.bin", seed=7)
        old = self.write("old.raw", self.image("old.bin", seed=1)[20:])
        first = self.receiver("--flash", old, name="first")
        silent = self.receiver("--silent", name="silent｠")
        third = self.receiver("--flash", old, name="third")
        ports = [first.link, silent.link, third.link]
        run = self.cli("-p", ",".join(ports[:2]), "-p", ports[2], "--json", "upgrade",
                       self.path("new.bin"))
        # A name the shell must be told as it is.
        quoted = self.write("new image's.bin", new)
        plain = self.cli("-p", ",".join(ports), "-q", "upgrade", "--no-backup", "--no-verify",
                         quoted)
        for receiver in (first, silent, third):
            receiver.stop()
        self.assertEqual(first.flash(), new[20:])
        self.assertEqual(third.flash(), new[20:])
        self.assertEqual(run.code, 1, run.err)  # the silent port's failure alone
        events = [json.loads(line) for line in run.out.splitlines()]
        results = [e for e in events if e["event"] == "result"]
        self.assertEqual(events[-1], results[-1])
        self.assertNotIn("port", events[-1])
        self.assertTrue(all("port" in e for e in events[:-1]), "every port's event names it")
        by_port = {e["port"]: e for e in results[:-1]}
        self.assertEqual(sorted(by_port), sorted(ports))
        self.assertEqual([by_port[p]["exitCode"] for p in ports], [0, 1, 0])
        digest = hashlib.sha256(new[20:]).hexdigest()
        summary = {p["port"]: p for p in events[-1]["details"]["ports"]}
        self.assertEqual([summary[p]["exitCode"] for p in ports], [0, 1, 0])
        self.assertEqual(summary[first.link]["sha256"], digest)
        self.assertEqual(summary[silent.link]["result"], "no answer2！")
        self.assertEqual(summary[first.link]["proof"], "read back: every block matches")
        self.assertEqual(shlex.split(events[-1]["details"]["retry"]),
                         ["vesker-link", "-p", silent.link, "--json", "upgrade",
                          self.path("new.bin")])
        # Both held the same old software: one file keeps it, named by both.
        backup, = [self.path(n) for n in self.backups(self.dir)]
        self.assertEqual([summary[p]["backup"] for p in (first.link, third.link)], [backup] * 2)
        self.assertRegex(backup, r"-(first|third)-")
        self.assertEqual(self.read(backup), TAGS[0] + self.read(old))
        # The summary table on stdout: a row per port, in the order given.
        lines = plain.out.splitlines()
        rows = lines[[line.split()[:1] for line in lines].index(["port"]):-1]
        self.assertEqual(plain.code, 1, plain.err)
        self.assertEqual(rows[0].split(), ["port", "receiver", "result", "time", "proof",
                                           "sha256", "(data)", "backup"])
        # Then the command that retries the port that failed, with the same arguments.
        retry = "retry the ports that failed: "
        self.assertTrue(lines[-1].startswith(retry), lines[-1])
        self.assertEqual(shlex.split(lines[-1][len(retry):]),
                         ["vesker-link", "-p", silent.link, "-q", "upgrade", "--no-backup",
                          "--no-verify", quoted])
        self.assertEqual([row.split()[0] for row in rows[1:]], ports)
        self.assertIn("Fta 29 1", rows[1])
        self.assertIn(digest, rows[3])
        self.assertIn("no answer1！", rows[2])
        self.assertIn("vesker-link: %s: no answer1！" % silent.link, plain.err)
        # Its columns line up on a terminal, where "！" and "｠" take two places.
        def place(row, match):
            return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1
                       for c in row[:match.start()])
        columns = {place(row, re.search(r"time|\d+:\d\d", row)) for row in rows}
        self.assertEqual(len(columns), 1, rows)

    def test_a_terminal_shows_each_line_once(self):
        # One port's message comes while the other's progress line is live: it goes above
        # that line, and what the terminal shows at the end is each line once.
        a = self.receiver("--pause-before", "20:2000", name="ttyA")
        b = self.receiver("--late", "1000", "--reply", "5A766C6945794573000000FF", name="ttyB")
        master, slave = os.openpty()
        process = subprocess.Popen([CLI, "-p", a.link, "-p", b.link, "--once", "read",
                                    self.path("rom.bin")],
                                   cwd=self.dir, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the program's end is closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(process.wait(timeout=RUN_LIMIT), 1)
        lines = terminal_screen(shown.decode("utf-8", "replace"))
        self.assertEqual(lines[0], "vesker-link: %s: no answer1！" % b.link, lines)
        self.assertTrue(lines[1].startswith(
            "%s: read     [########################] 100%%  256/256 blocks" % a.link), lines)
        self.assertEqual(lines[2:], [""])


def terminal_screen(text):
    """The lines a terminal shows after text: characters, CR, LF, up (ESC [A) and erase to
    the line's end (ESC [K)."""
    lines, row, col, i = [""], 0, 0, 0
    while i < len(text):
        if text.startswith("\x1b[A", i):
            row, i = max(row - 1, 0), i + 3
            continue
        if text.startswith("\x1b[K", i):
            lines[row], i = lines[row][:col], i + 3
            continue
        c, i = text[i], i + 1
        if c == "\r":
            col = 0
        elif c == "\n":
            row, col = row + 1, 0
            if row == len(lines):
                lines.append("")
        else:
            lines[row] = lines[row][:col] + c + lines[row][col + 1:]
            col += 1
    return lines


if __name__ == "__main__":
    unittest.main(verbosity=2)
