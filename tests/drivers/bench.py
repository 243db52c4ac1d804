#!/usr/bin/env python3
"""The driver bench: vesker-link, and VeskerLink.exe under Wine, on the kernel's own serial
drivers in a QEMU guest (TCG): /dev/ttyUSB0 through ftdi_sio on QEMU's usb-serial adapter,
/dev/ttyS1 through the 8250 driver on a second 16550. Each port is wired by QEMU's host
serial chardev to a receiver-sim pty of its own, so the line settings the guest's driver
makes reach the simulator. One boot runs every case of the table; the host starts a fresh
simulator per case (re-plugging the adapter onto it, swapping the UART's chardev), sends
the guest shell commands on a virtio port and pulls the adapter with the QEMU monitor.

  bench.py [--cases WORD...] [--keep] [--full]

Every wait is bounded; a case that fails says what differed, and the run goes on with the
next case. Exit 0 when every case passed. The paced read and upgrade keep the line's pace
for their first 32 blocks and take the rest at once, so the pace shows without a whole
flash's 91 s; --full paces them whole, as the benchmark does."""
import argparse
import ctypes
import hashlib
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import termios
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build")
LINUX = os.environ.get("VL_LINUX_BUILD", os.path.join(BUILD, "linux"))
WINDOWS = os.environ.get("VL_WINDOWS_BUILD", os.path.join(BUILD, "windows"))
HERE = os.path.join(BUILD, "drivers")
WORK = os.path.join(HERE, "work")  # shared with the guest, at the same path
CLI = os.path.join(LINUX, "vesker-link")
SIM = os.path.join(LINUX, "receiver-sim")

# The drivers the guest loads, in an order that meets every module's dependencies.
MODULES = [
    "drivers/usb/common/usb-common", "drivers/usb/core/usbcore", "drivers/usb/host/xhci-hcd",
    "drivers/usb/host/xhci-pci", "drivers/usb/serial/usbserial", "drivers/usb/serial/ftdi_sio",
    "drivers/virtio/virtio_ring", "drivers/virtio/virtio", "drivers/virtio/virtio_pci_modern_dev",
    "drivers/virtio/virtio_pci_legacy_dev", "drivers/virtio/virtio_pci",
    "drivers/char/virtio_console", "fs/netfs/netfs", "fs/fscache/fscache", "net/9p/9pnet",
    "net/9p/9pnet_virtio", "fs/9p/9p", "fs/overlayfs/overlay",
]
USB, UART = "/dev/ttyUSB0", "/dev/ttyS1"
PORTS = [USB, UART]
TAG = b"VESKER_SZ_RomFtaAMD1"  # variant 0: 1 MiB, 256 blocks
FLASH_SIZE = 256 * 4096
BOOT_LIMIT = 180
COMMAND_LIMIT = 240  # the longest guest command: a paced 1 MiB transfer is 91 s
PACED_BLOCKS = 32  # of a paced transfer, those at the line's pace (--full: all 256)
TIME_OUT = 3.0  # the program's own time-out on a silent line


def dies_with_bench():
    """Run in a child before it starts: it ends when the bench does, however the bench ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def say(text):
    print(text, flush=True)


class BenchError(Exception):
    """Something the bench itself could not do: the run stops here."""


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


# --- The guest: kernel, initramfs ----------------------------------------------------------

def kernel():
    """The vmlinuz and modules of the kernel Debian's linux-image-amd64 names, downloaded once
    into the build folder and unpacked there; never installed."""
    cache = os.path.join(HERE, "kernel")
    done = os.path.join(cache, "unpacked")
    if os.path.exists(done):
        return cache, open(done).read().strip()
    def depends():
        out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True,
                             text=True, timeout=60).stdout
        return [l.split()[-1] for l in out.splitlines() if l.strip().startswith("Depends:")
                and "linux-image-" in l]
    names = depends()
    if not names:  # a fresh machine has no package lists yet
        subprocess.run(["apt-get", "update", "-qq"], check=True, timeout=600)
        names = depends()
    if not names:
        raise BenchError("apt-cache finds no kernel behind linux-image-amd64")
    package = names[0]
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)
    subprocess.run(["apt-get", "download", package], cwd=cache, check=True, timeout=600,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    debs = [f for f in os.listdir(cache) if f.endswith(".deb")]
    if not debs:
        raise BenchError("apt-get download %s gave no package" % package)
    run("dpkg-deb", "-x", os.path.join(cache, debs[0]), os.path.join(cache, "root"))
    os.remove(os.path.join(cache, debs[0]))
    release = os.listdir(os.path.join(cache, "root", "lib", "modules"))[0]
    with open(done, "w") as f:
        f.write(release)
    return cache, release


def initramfs(cache, release):
    """busybox, the guest's init, the drivers and vesker-link with the libraries ldd names."""
    tree = os.path.join(HERE, "initramfs")
    shutil.rmtree(tree, ignore_errors=True)
    for folder in ("bin", "modules", "proc", "sys", "dev", "tmp", "etc"):
        os.makedirs(os.path.join(tree, folder))
    shutil.copy("/bin/busybox", os.path.join(tree, "bin", "busybox"))
    shutil.copy(os.path.join(ROOT, "tests", "drivers", "init"), os.path.join(tree, "init"))
    modules = os.path.join(cache, "root", "lib", "modules", release, "kernel")
    names = []
    for module in MODULES:
        name = os.path.basename(module)
        shutil.copy(os.path.join(modules, module + ".ko"), os.path.join(tree, "modules"))
        names.append(name)
    with open(os.path.join(tree, "modules", "order"), "w") as f:
        f.write("\n".join(names) + "\n")
    shutil.copy(CLI, os.path.join(tree, "bin", "vesker-link"))
    for line in run("ldd", CLI).splitlines():
        parts = line.split()
        library = parts[2] if "=>" in parts and len(parts) > 3 else parts[0]
        if library.startswith("/"):
            target = os.path.join(tree, library.lstrip("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy(os.path.realpath(library), target)
    # A user with no right to the serial devices.
    with open(os.path.join(tree, "etc", "passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\ntech:x:1000:1000:tech:/tmp:/bin/sh\n")
    with open(os.path.join(tree, "etc", "group"), "w") as f:
        f.write("root:x:0:\ndialout:x:20:\ntech:x:1000:\n")
    image = os.path.join(HERE, "initramfs.cpio")
    files = subprocess.run(["find", "."], cwd=tree, check=True, capture_output=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=tree, input=files,
                       stdout=out, check=True)
    return image


# --- The host's side of the lines ----------------------------------------------------------

class Sim:
    """One receiver-sim on a pty, logging what it receives and saving its flash on exit."""

    def __init__(self, name, *options):
        """"--timeline" among the options keeps the line's timeline in <name>.timeline."""
        self.base = os.path.join(HERE, "run", name)
        for suffix in ("", ".log", ".flash", ".out", ".timeline"):
            if os.path.lexists(self.base + suffix):
                os.remove(self.base + suffix)
        options = [self.base + ".timeline" if o == "--timeline" else o for o in options]
        if self.base + ".timeline" in options:
            options.insert(options.index(self.base + ".timeline"), "--timeline")
        self.out = open(self.base + ".out", "wb")
        self.process = subprocess.Popen(
            [SIM, "--link", self.base, "--log", self.base + ".log",
             "--write-flash", self.base + ".flash", *options],
            stdout=self.out, stderr=subprocess.STDOUT, preexec_fn=dies_with_bench)
        deadline = time.monotonic() + 10
        while not os.path.islink(self.base):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise BenchError("receiver-sim %s did not start" % " ".join(options))
            time.sleep(0.02)
        self.pty = os.readlink(self.base)

    def frames(self):
        try:
            with open(self.base + ".log") as f:
                return [line.split(" ", 2)[2].strip() for line in f if line.count(" ") >= 2]
        except FileNotFoundError:
            return []

    def hex_frames(self):
        with open(self.base + ".log") as f:
            return [line.split(" ")[1] for line in f]

    def stop(self):
        """Ends it; its flash as it holds it then."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()
        try:
            with open(self.base + ".flash", "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""


# --- QEMU -----------------------------------------------------------------------------------

class Monitor:
    """The QEMU monitor's JSON protocol: commands and the events they raise."""

    def __init__(self, path):
        self.sock = connect(path)
        self.buffer = b""
        self.events = []
        self.receive(10)  # the greeting
        self.command("qmp_capabilities")

    def receive(self, limit):
        deadline = time.monotonic() + limit
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BenchError("the QEMU monitor did not answer")
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise BenchError("the QEMU monitor closed")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            reply = self.receive(30)
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise BenchError("monitor %s: %s" % (name, reply["error"].get("desc")))
            elif "return" in reply:
                return reply["return"]

    def wait_event(self, name, limit):
        deadline = time.monotonic() + limit
        while True:
            for event in self.events:
                if event["event"] == name:
                    self.events.remove(event)
                    return event
            self.events.append(self.receive(max(0.1, deadline - time.monotonic())))


def connect(path, limit=30):
    deadline = time.monotonic() + limit
    while True:
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise BenchError("no QEMU socket " + path)
            time.sleep(0.05)


class Guest:
    """The guest's command port: one shell command at a time, its output and exit code."""

    def __init__(self, path):
        self.sock = connect(path)
        self.buffer = b""

    def lines_until(self, marker, limit):
        deadline = time.monotonic() + limit
        while True:
            at = self.buffer.find(marker)
            if at >= 0:
                end = self.buffer.find(b"\n", at)
                if end >= 0:
                    out, tail = self.buffer[:at], self.buffer[at:end]
                    self.buffer = self.buffer[end + 1:]
                    return out.decode("utf-8", "replace"), tail[len(marker):].decode()
            left = deadline - time.monotonic()
            if left <= 0:
                raise BenchError("the guest did not answer within %d s; it said: %r"
                                 % (limit, self.buffer[-2000:]))
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise BenchError("the guest's command port closed")
            self.buffer += data

    def start(self, command):
        self.sock.sendall(command.encode() + b"\n")

    def finish(self, limit=COMMAND_LIMIT):
        out, code = self.lines_until(b"@@rc=", limit)
        return int(code), out

    def run(self, command, limit=COMMAND_LIMIT):
        self.start(command)
        return self.finish(limit)


class Machine:
    def __init__(self, cache, release, image, wine):
        self.dir = os.path.join(HERE, "run")
        self.plugged = 0  # adapters plugged so far: each gets a chardev of its own
        self.usb_sim = None
        vmlinuz = os.path.join(cache, "root", "boot", "vmlinuz-" + release)
        append = "console=hvc0 quiet panic=-1 vl_work=%s vl_root=%s" % (WORK, ROOT)
        if wine:
            append += " vl_windows=%s" % WINDOWS
        self.console = os.path.join(self.dir, "console.log")
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-smp", "2", "-m", "3072",
            "-nodefaults", "-display", "none", "-no-reboot",
            "-kernel", vmlinuz, "-initrd", image, "-append", append,
            "-device", "virtio-serial-pci",
            "-chardev", "file,id=console,path=" + self.console,
            "-device", "virtconsole,chardev=console",
            "-chardev", "socket,id=cmd,path=%s/cmd.sock,server=on,wait=off" % self.dir,
            "-device", "virtserialport,chardev=cmd,name=vl.cmd",
            "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % self.dir,
            "-device", "qemu-xhci,id=xhci",
            # ttyS1: a 16550 at the second port's address; its line is swapped per case.
            "-chardev", "null,id=uart", "-device", "isa-serial,index=1,chardev=uart",
            # multidevs=remap: files of the host's other filesystems keep inode numbers of
            # their own in the guest.
            "-virtfs", "local,path=/,mount_tag=hostroot,readonly=on,security_model=none,"
                       "multidevs=remap",
            "-virtfs", "local,path=%s,mount_tag=work,security_model=none" % WORK,
        ]
        self.log = open(os.path.join(self.dir, "qemu.log"), "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT, preexec_fn=dies_with_bench)
        self.monitor = Monitor(os.path.join(self.dir, "qmp.sock"))
        self.guest = Guest(os.path.join(self.dir, "cmd.sock"))

    def boot(self):
        _, release = self.guest.lines_until(b"@@ready", BOOT_LIMIT)
        return release.strip()

    def console_tail(self, lines=30):
        try:
            with open(self.console, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except FileNotFoundError:
            return ""

    def plug(self, sim):
        """A new adapter on the USB bus, wired to this simulator: the guest gets ttyUSB0."""
        self.plugged += 1
        chardev = "adapter%d" % self.plugged
        self.monitor.command("chardev-add", id=chardev,
                             backend={"type": "serial", "data": {"device": sim.pty}})
        self.monitor.command("device_add", driver="usb-serial", id="adapter", chardev=chardev)
        self.usb_chardev = chardev
        self.pulled = False
        code, out = self.guest.run(
            "for i in $(seq 100); do [ -c %s ] && exit 0; sleep 0.1; done; exit 1" % USB, 30)
        if code != 0:
            raise BenchError("no %s after the adapter was plugged: %s" % (USB, out))

    def pull(self):
        """Takes the adapter off the bus, as a technician pulls it."""
        self.monitor.command("device_del", id="adapter")
        self.monitor.wait_event("DEVICE_DELETED", 20)
        self.pulled = True

    def unplug(self):
        if not self.pulled:
            self.pull()
        self.monitor.command("chardev-remove", id=self.usb_chardev)

    def wire_uart(self, sim):
        """The 16550's line now leads to this simulator."""
        self.monitor.command("chardev-change", id="uart",
                             backend={"type": "serial", "data": {"device": sim.pty}})

    def stop(self):
        if self.process.poll() is None:
            try:
                self.monitor.command("quit")
                self.process.wait(timeout=10)
            except (BenchError, OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.log.close()


# --- The cases ------------------------------------------------------------------------------

# What a tty treats specially: flow control, line ends, signals, end of file, erase, 0xFF.
CONTROL_BYTES = bytes([0x11, 0x13, 0x0D, 0x0A, 0x03, 0x04, 0x1A, 0x7F, 0xFF])
# As another program may leave a line: parity, two stop bits, RTS/CTS and XON/XOFF, 9600.
LEFT_STATE = "9600 parenb cstopb crtscts ixon ixoff"
KEYS = "MENU CH_UP 7 OK VOL_RIGHT EXIT"


def image(name, control=False, seed=0):
    """A ROM image file in the shared folder; with control, every third byte of its data is
    one a tty treats specially."""
    data = bytearray(random.Random(seed).randbytes(FLASH_SIZE))
    if control:
        for i in range(0, FLASH_SIZE, 3):
            data[i] = CONTROL_BYTES[(i // 3) % len(CONTROL_BYTES)]
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(TAG + data)
    return path, bytes(data)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "byte %d is 0x%02x, expected 0x%02x" % (i, x, y)
    return "%d bytes, expected %d" % (len(a), len(b))


def json_events(out):
    """vesker-link's --json lines; every one must parse."""
    events = []
    for line in out.splitlines():
        if line.startswith("{"):
            events.append(json.loads(line))
    return events


def port_results(events):
    """Each port's line of the closing summary (exit code, result, seconds), by port."""
    closing = [e for e in events if e.get("event") == "result" and "port" not in e]
    if not closing:
        return {}
    return {p["port"]: p for p in closing[-1].get("details", {}).get("ports", [])}


def reference_keys():
    """The key frames the same command puts on a pty on this host, to hold the drivers' to."""
    sim = Sim("keys-host", "--unpaced")
    try:
        subprocess.run([CLI, "-p", sim.pty, "-q", "key", *KEYS.split()], check=True,
                       capture_output=True, timeout=60)
        time.sleep(0.3)
        return sim.hex_frames()
    finally:
        sim.stop()


class Bench:
    def __init__(self, machine, paced_blocks=PACED_BLOCKS):
        self.m = machine
        self.paced_blocks = paced_blocks  # 0: all
        self.failures = []
        self.notes = []  # what the drivers did, for the report
        self.keys = reference_keys()

    def fail(self, case, text):
        self.failures.append("%s: %s" % (case, text))
        say("  FAIL %s: %s" % (case, text))

    @staticmethod
    def done(case, start, detail=""):
        say("%-45s %6.1f s  %s" % (case, time.monotonic() - start, detail))

    def wire(self, *options):
        """Fresh simulators on both lines: the adapter re-plugged onto one, the UART's line
        swapped to the other."""
        if self.m.plugged:
            self.m.unplug()
        usb = Sim("usb", *options)
        uart = Sim("uart", *options)
        self.m.plug(usb)
        self.m.wire_uart(uart)
        return {USB: usb, UART: uart}

    def line_state(self, state):
        """The guest's ttys as the kernel brings them up (saved before first use), or as
        another program left them."""
        steps = []
        for port in PORTS:
            if state == "default":
                # stty calls a change from a speed above 38400 a partial failure: what counts
                # is that the line reads back as it came up.
                saved = "$(cat /tmp/%s.default)" % os.path.basename(port)
                steps.append('stty -F %s %s; [ "$(stty -F %s -g)" = "%s" ]'
                             % (port, saved, port, saved))
            else:
                steps.append("stty -F %s %s" % (port, LEFT_STATE))
        code, out = self.m.guest.run(" && ".join(steps), 30)
        if code != 0:
            raise BenchError("stty %s: %s" % (state, out))

    def both(self, case, command, limit=COMMAND_LIMIT):
        """vesker-link on both ports at once (--json); its events are kept for the checks,
        and each port's line of its closing summary is returned."""
        line = "cd %s && vesker-link -p %s --json %s" % (WORK, ",".join(PORTS), command)
        code, out = self.m.guest.run(line, limit)
        try:
            self.events = json_events(out)
            results = port_results(self.events)
        except ValueError as error:
            self.fail(case, "a line is not JSON (%s): %s" % (error, out[-500:]))
            return {}
        for port in PORTS:
            result = results.get(port)
            if result is None:
                self.fail(case, "%s: no result (exit %d): %s" % (port, code, out[-500:]))
            elif result["exitCode"] != 0:
                self.fail(case, "%s: exit %d, %s" % (port, result["exitCode"], result["result"]))
        return results

    # The table: one row per case, each over both ports at once.
    def table(self):
        random_image, random_data = image("random.bin", seed=1)
        control_image, control_data = image("control.bin", control=True, seed=2)
        return [
            # name, line state, simulator options, command, check
            ("connect", "default", ["--unpaced"], "connect", self.check_connect, None),
            ("keys", "default", ["--unpaced"], "key " + KEYS, self.check_keys, None),
            ("read, control bytes", "default", ["--unpaced", "--control-bytes", "--seed", "3"],
             "read --once rom.bin", self.check_read, None),
            ("upgrade, control bytes", "default", ["--unpaced"],
             "upgrade --no-backup --no-verify " + control_image, self.check_upgrade,
             control_data),
            ("read, line left by another program", "left", ["--unpaced", "--seed", "4"],
             "read --once rom.bin", self.check_read, None),
            ("upgrade, line left by another program", "left", ["--unpaced"],
             "upgrade --no-backup --no-verify " + random_image, self.check_upgrade, random_data),
            ("read, paced", "default", ["--seed", "5", "--timeline"] + self.pace(),
             "read --once rom.bin",
             self.check_read, None),
            ("upgrade, paced", "default", ["--timeline"] + self.pace(),
             "upgrade --no-backup --no-verify " + random_image, self.check_upgrade, random_data),
        ]

    def pace(self):
        return ["--paced-blocks", str(self.paced_blocks)] if self.paced_blocks else []

    def check_connect(self, case, sims, _):
        for port, sim in sims.items():
            if sim.frames() != ["CMD_CONNECT"]:
                self.fail(case, "%s: the receiver took %s" % (port, sim.frames()))
        for port in sims:
            said = [e["text"] for e in self.events if e.get("event") == "message"
                    and e.get("port") == port]
            if said != ["connect ok!"]:
                self.fail(case, "%s: said %s" % (port, said))

    def check_keys(self, case, sims, _):
        for port, sim in sims.items():
            if sim.hex_frames() != self.keys:
                self.fail(case, "%s: key frames %s, on a pty %s" % (port, sim.hex_frames(),
                                                                      self.keys))

    def check_read(self, case, sims, _):
        for port, sim in sims.items():
            flash = sim.stop()
            path = os.path.join(WORK, "rom-%s.bin" % os.path.basename(port))
            try:
                with open(path, "rb") as f:
                    got = f.read()
            except FileNotFoundError:
                self.fail(case, "%s: no file %s" % (port, path))
                continue
            if got != TAG + flash:
                self.fail(case, "%s: the file differs from the flash: %s"
                          % (port, first_difference(got, TAG + flash)))
            os.remove(path)

    def check_upgrade(self, case, sims, data):
        for port, sim in sims.items():
            flash = sim.stop()
            if flash != data:
                self.fail(case, "%s: the receiver's flash differs from the file: %s"
                          % (port, first_difference(flash, data)))

    def run_table(self, pattern):
        for name, state, options, command, check, data in self.table():
            if pattern and not any(word in name for word in pattern):
                continue
            start = time.monotonic()
            sims = self.wire(*options)
            self.line_state(state)
            results = self.both(name, command)
            time.sleep(0.3)  # the receivers take in what is still on the line
            check(name, sims, data)
            for sim in sims.values():
                sim.stop()
            if "--timeline" in options:
                self.figures(name, command.split()[0], sims)
            rates = ", ".join("%s %.0f s, %.1f KiB/s" % (os.path.basename(p), r["seconds"],
                                                          FLASH_SIZE / 1024 / r["seconds"])
                              for p, r in results.items()
                              if r.get("seconds") and command.split()[0] in ("read", "upgrade"))
            self.done(name, start, rates)


    def figures(self, case, mode, sims):
        """A paced transfer against the line, as the benchmark reckons it."""
        for port, sim in sims.items():
            out = run(sys.executable, os.path.join(ROOT, "tools", "bench_report.py"), mode,
                      sim.base + ".timeline", str(self.paced_blocks or FLASH_SIZE // 4096),
                      "115200", "0", "0", "0")
            r = json.loads(out)
            self.notes.append("%s, %s: %.1f s against a line limit of %.1f s (%.3f x), "
                              "turnaround median %.1f ms, p95 %.1f ms, max %.1f ms"
                              % (case, os.path.basename(port), r["total_s"], r["limit_s"],
                                 r["ratio"], r["turn_median_ms"], r["turn_p95_ms"],
                                 r["turn_max_ms"]))

    def open_failures(self, case="open failures say why"):
        """Both ports refused for the reasons a technician meets, each named: a user outside
        the group that may open serial devices, and a port another program holds."""
        start = time.monotonic()
        sims = self.wire("--unpaced")
        rows = [  # reason, guest command for port P, the words the message must hold
            ("not permitted", "chgrp dialout P && chmod 660 P && su tech -c 'vesker-link -p P "
             "connect'", ["not permitted", "dialout"]),
            ("busy", "vesker-link -p P -q key MENU --repeat 300 --gap 50 & sleep 3; "
             "vesker-link -p P connect; code=$?; kill $!; wait; exit $code", ["busy"]),
        ]
        for reason, command, words in rows:
            for port in PORTS:
                code, out = self.m.guest.run(command.replace("P", port), 60)
                said = [l for l in out.splitlines()
                        if l.startswith("vesker-link: cannot open %s:" % port)]
                if code != 4 or len(said) != 1 or not all(w in said[0] for w in words):
                    self.fail(case, "%s, %s: exit %d, said %r; expected exit 4 and %s"
                              % (reason, port, code, out.strip(), words))
                elif port == USB:
                    self.notes.append("%s: %s" % (reason, said[0]))
        for sim in sims.values():
            sim.stop()
        self.done(case, start)

    def probe(self, case="probe names the adapters"):
        """probe finds the two ports and no ttyS without a UART, and says what each is."""
        start = time.monotonic()
        sims = self.wire("--unpaced")
        code, text = self.m.guest.run("vesker-link probe", 60)
        json_code, out = self.m.guest.run("vesker-link --json probe", 60)
        for sim in sims.values():
            sim.stop()
        try:
            ports = port_results(json_events(out))
        except ValueError as error:
            self.fail(case, "a line is not JSON (%s): %s" % (error, out))
            return
        usb = ports.get(USB, {})
        # What QEMU's adapter tells the USB bus, the 16550 that it is a UART.
        expected = {USB: {"bus": "usb", "vendorId": "0403", "productId": "6001",
                          "manufacturer": "QEMU", "product": "QEMU USB SERIAL"},
                    UART: {"bus": "uart"}}
        if code != 0 or json_code != 0 or sorted(ports) != sorted(PORTS):
            self.fail(case, "exit %d and %d, ports %s: %s" % (code, json_code, sorted(ports), text))
        for port, fields in expected.items():
            got = {key: ports.get(port, {}).get(key) for key in fields}
            if got != fields:
                self.fail(case, "%s: %s, expected %s" % (port, got, fields))
        lines = {USB: "%s  connect ok!  USB 0403:6001 QEMU QEMU USB SERIAL, serial %s"
                      % (USB, usb.get("serial")),
                 UART: "%s  connect ok!  UART" % UART}
        if sorted(text.splitlines()) != sorted(lines.values()):
            self.fail(case, "said %r, expected %r" % (text, sorted(lines.values())))
        self.done(case, start, text.splitlines()[0] if text else "")

    def wine(self, case="VeskerLink.exe under Wine: read and upgrade"):
        """The program's own dialogs on ttyUSB0, through Wine's serial code and the driver,
        driven by the end-to-end driver in a chroot into the host's root."""
        start = time.monotonic()
        flash_path = os.path.join(WORK, "wine-flash.raw")
        flash = random.Random(8).randbytes(FLASH_SIZE)
        with open(flash_path, "wb") as f:
            f.write(flash)
        _, upgrade_data = image("random.bin", seed=1)
        self.m.unplug()
        sim = Sim("usb", "--unpaced", "--flash", flash_path)
        self.m.plug(sim)
        script = ("cd %s && bash tests/e2e/session.sh start >/dev/null && "
                  "bash tests/drivers/wine_on_adapter.sh %s; rc=$?; "
                  "bash tests/e2e/session.sh stop; exit $rc" % (ROOT, WORK))
        code, out = self.m.guest.run(
            "chroot /host /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/tmp "
            "VL_BUILD=%s bash -c '%s'" % (WINDOWS, script), 900)
        final = sim.stop()
        if code != 0:
            self.fail(case, "exit %d: %s" % (code, out[-1500:]))
        try:
            with open(os.path.join(WORK, "wine-read.bin"), "rb") as f:
                got = f.read()
        except FileNotFoundError:
            got = b""
        if got != TAG + flash:
            self.fail(case, "the file read differs from the flash: %s"
                      % first_difference(got, TAG + flash))
        if final != upgrade_data:
            self.fail(case, "the receiver's flash differs from the file upgraded: %s"
                      % first_difference(final, upgrade_data))
        self.done(case, start)

    def pulled(self, case, command, frame, reads):
        """The adapter pulled in the middle of a transfer, after a few blocks of a paced
        receiver: vesker-link gives up within its time-out, without spinning, and leaves
        no file; the adapter plugged in again reads at once."""
        start = time.monotonic()
        self.m.unplug()
        sim = Sim("usb", "--seed", "6")
        self.m.plug(sim)
        target = os.path.join(WORK, "pulled.bin")
        old = b"an older file that stays as it was\n"
        with open(target, "wb") as f:
            f.write(old)
        before = sorted(os.listdir(WORK))
        self.m.guest.start("cd %s && time vesker-link -p %s %s" % (WORK, USB, command))
        deadline = time.monotonic() + 60
        while sum(f.startswith(frame) for f in sim.frames()) < 8:
            if time.monotonic() > deadline:
                raise BenchError("%s: the transfer did not start: %s" % (case, sim.frames()[:5]))
            time.sleep(0.05)
        pulled_at = time.monotonic()
        self.m.pull()
        code, out = self.m.guest.finish(30)
        ended = time.monotonic() - pulled_at
        sim.stop()
        cpu = sum(float(m) * 60 + float(s) for m, s in
                  re.findall(r"(?:user|sys)\s+(\d+)m\s+([\d.]+)s", out))
        said = [l for l in out.splitlines() if l.startswith("vesker-link:")]
        if code != 1:
            self.fail(case, "exit %d, expected 1: %s" % (code, out[-300:]))
        if said != reads.split("\n"):
            self.fail(case, "said %s, expected %r" % (said, reads))
        if ended > TIME_OUT + 3:
            self.fail(case, "ended %.1f s after the pull, beyond the %g s time-out"
                      % (ended, TIME_OUT))
        if cpu > 1.5:
            self.fail(case, "took %.2f s of CPU: it spins on the dead line" % cpu)
        after = sorted(os.listdir(WORK))
        if after != before:
            self.fail(case, "the folder changed: %s, was %s" % (after, before))
        with open(target, "rb") as f:
            if f.read() != old:
                self.fail(case, "the older file changed")
        self.notes.append("%s: ended %.1f s after the pull, %.2f s of CPU in all"
                          % (case, ended, cpu))
        # Plugged in again, onto a receiver that is not in the middle of anything.
        self.m.unplug()
        sim = Sim("usb", "--unpaced", "--seed", "7")
        self.m.plug(sim)
        code, out = self.m.guest.run("cd %s && vesker-link -p %s -q --once read pulled.bin"
                                     % (WORK, USB))
        flash = sim.stop()
        with open(target, "rb") as f:
            got = f.read()
        if code != 0 or got != TAG + flash:
            self.fail(case, "the read after plugging in again: exit %d, %s; %s"
                      % (code, out[-300:], first_difference(got, TAG + flash)))
        os.remove(target)
        self.done(case, start, "gave up %.1f s after the pull, %.2f s of CPU" % (ended, cpu))

    def run_pulled(self, pattern):
        random_image, _ = image("random.bin", seed=1)
        for case, command, frame, reads in [
                ("adapter pulled in a read", "read --once pulled.bin", "VARIANT_ECHO 1",
                 "vesker-link: no answer！"),
                # Blocks went out: the receiver may hold wrong software, and no backup says so.
                ("adapter pulled in an upgrade",
                 "upgrade --no-backup --no-verify " + random_image, "BLOCK",
                 "vesker-link: no answer1！\nvesker-link: no backup of the old software was read")]:
            if not pattern or any(word in case for word in pattern):
                self.pulled(case, command, frame, reads)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", nargs="*", default=[], help="only the cases naming a word")
    parser.add_argument("--keep", action="store_true", help="keep the shared folder")
    parser.add_argument("--full", action="store_true",
                        help="pace the paced read and upgrade whole (a benchmark's figures)")
    args = parser.parse_args()
    for program in (CLI, SIM):
        if not os.access(program, os.X_OK):
            say("drivers: no %s: build the linux preset first" % program)
            return 2
    shutil.rmtree(WORK, ignore_errors=True)
    shutil.rmtree(os.path.join(HERE, "run"), ignore_errors=True)
    os.makedirs(WORK)
    os.makedirs(os.path.join(HERE, "run"))
    phases = []
    started = time.monotonic()

    def phase(name, since):
        phases.append((name, time.monotonic() - since))
        return time.monotonic()

    t = time.monotonic()
    try:
        cache, release = kernel()
        t = phase("kernel (download and unpack once)", t)
        image_path = initramfs(cache, release)
        t = phase("initramfs", t)
    except (BenchError, OSError, subprocess.SubprocessError) as error:
        say("drivers: FAIL: no guest to boot: %s" % error)
        return 1
    wine = all(os.path.exists(os.path.join(WINDOWS, f)) for f in
               ("VeskerLink.exe", "tests/vl-driver.exe", "wineprefix/system.reg"))
    if not wine:
        say("drivers: FAIL: no windows build with a Wine prefix in %s: the program's own "
            "case cannot run" % WINDOWS)
    try:
        machine = Machine(cache, release, image_path, wine)
    except BenchError as error:
        with open(os.path.join(HERE, "run", "qemu.log"), errors="replace") as f:
            say("drivers: FAIL: QEMU did not start: %s\n%s" % (error, f.read()[-2000:]))
        return 1
    bench = None
    try:
        say("drivers: guest kernel %s" % machine.boot())
        t = phase("boot", t)
        bench = Bench(machine, 0 if args.full else PACED_BLOCKS)
        if not wine:
            bench.failures.append("no windows build with a Wine prefix in " + WINDOWS)
        sims = bench.wire("--unpaced")
        # The ttys as the kernel brought them up, before anything opened them.
        code, out = machine.guest.run(" && ".join(
            "stty -F %s -g > /tmp/%s.default" % (p, os.path.basename(p)) for p in PORTS), 30)
        if code != 0:
            raise BenchError("the ttys' first state: " + out)
        for sim in sims.values():
            sim.stop()
        bench.run_table(args.cases)
        bench.run_pulled(args.cases)
        if not args.cases or "probe" in args.cases:
            bench.probe()
        if not args.cases or "open" in args.cases:
            bench.open_failures()
        if wine and (not args.cases or "wine" in args.cases):
            bench.wine()
        t = phase("cases", t)
    except BenchError as error:
        say("drivers: FAIL: %s" % error)
        say("drivers: the guest's console ends:\n" + machine.console_tail())
        if bench is not None:
            bench.failures.append(str(error))
        else:
            return 1
    finally:
        machine.stop()
    if bench is not None and bench.notes:
        say("drivers: measured\n  " + "\n  ".join(bench.notes))
    for name, seconds in phases:
        say("  %-40s %6.1f s" % (name, seconds))
    say("drivers: %.0f s in all" % (time.monotonic() - started))
    if not args.keep:
        shutil.rmtree(WORK, ignore_errors=True)
    if bench.failures:
        say("drivers: %d failed:\n  %s" % (len(bench.failures), "\n  ".join(bench.failures)))
        return 1
    say("drivers: every case passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
