#!/usr/bin/env python3
"""vesker-link watch: receivers put on the cable and taken off again, as on a bench, each
handled as it comes; the real program against bench receiver-sims on pseudo-terminals."""
import hashlib
import json
import os
import re
import shlex
import signal
import subprocess
import threading
import time
import unittest

from companion_test import BLOCK, CLI, RUN_LIMIT, TAGS, VERSIONS, Bench


class Watching:
    """vesker-link watch --json running on, its events read as they come."""

    def __init__(self, bench, *args):
        with open(bench.path("watch.err"), "wb") as err:
            self.process = subprocess.Popen([CLI, "--json", *args], cwd=bench.dir,
                                            env=dict(os.environ, TMPDIR=bench.dir),
                                            stdout=subprocess.PIPE, stderr=err)
        bench.addCleanup(self.process.stdout.close)
        bench.addCleanup(self.process.wait)
        bench.addCleanup(self.process.kill)
        self.events = []
        self.reader = threading.Thread(target=self.read)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            self.events.append(json.loads(line))

    def receivers(self, port):
        """Each receiver's events on a port, in turn, from its start to its result."""
        handled = []
        for e in list(self.events):
            if e.get("port") == port and e["event"] == "start":
                handled.append([])
            if e.get("port") == port and handled and e["event"] != "state":
                handled[-1].append(e)
        return handled

    def results(self, port):
        """Each receiver's result on a port, in turn."""
        return [e for e in self.events
                if e["event"] == "result" and e["command"] != "watch" and e["port"] == port]

    def gone(self, port, handled):
        """Whether the port waits for the next receiver after handling this many."""
        seen = 0
        for e in list(self.events):
            if e.get("port") != port:
                continue
            if e["event"] == "result":
                seen += 1
            elif seen == handled and e["event"] == "state" and e["state"] == "waiting":
                return True
        return False

    def finish(self):
        code = self.process.wait(timeout=RUN_LIMIT)
        self.reader.join()
        return code


def per_receiver(names):
    """A bench receiver-sim's log, cut where each receiver is put on."""
    receivers = [[]]
    for name in names:
        if name.startswith("BOX_ON "):
            receivers.append([])
        else:
            receivers[-1].append(name)
    return receivers


class Watch(Bench):
    """vesker-link watch: receivers put on the cable and taken off again, as on a bench."""

    def setUp(self):
        super().setUp()
        self.new = self.image("new.bin", seed=7)

    def swap(self, receiver, watching, port, handled):
        """The receiver taken off, and once the bench waits, the next put on."""
        receiver.process.send_signal(signal.SIGUSR1)
        self.wait_for(lambda: watching.gone(port, handled), "the receiver to be gone")
        receiver.process.send_signal(signal.SIGUSR2)

    def test_receivers_in_turn_on_one_port(self):
        # An old receiver, one that holds the file already, another with the first one's old
        # software whose upgrade takes a wrong bit (the second sending of block 7), and one
        # with old software of its own.
        old = self.image("old.bin", seed=1)
        receiver = self.receiver("--box", "0:1", "--box", "0:7", "--box", "0:1", "--box", "0:3",
                                 "--flip", "upgrade:7:100:2")
        port = receiver.link
        # What cannot be done is refused before the line is touched.
        for args, code in [(["upgrade", self.path("missing.bin")], 3),
                           (["read", self.path("missing")], 5)]:
            run = self.cli("-p", port, "watch", *args)
            self.assertEqual(run.code, code, run.err)
        self.assertEqual(receiver.names(), [])
        log = self.path("bench.log")
        watching = Watching(self, "-p", port, "--log", log, "--count", "4", "watch", "upgrade",
                            self.path("new.bin"))
        for handled in range(1, 4):
            self.wait_for(lambda: len(watching.results(port)) == handled,
                          "receiver %d" % handled, RUN_LIMIT)
            if handled == 3:
                time.sleep(2)  # left on the cable a while: it keeps answering, as before
            self.swap(receiver, watching, port, handled)
        code = watching.finish()
        receiver.stop()
        self.assertEqual(code, 1)  # the third receiver's failure
        failed = "verify failed: block 7 of the receiver's flash differs from the file"
        result = watching.events[-1]
        self.assertEqual((result["command"], result["exitCode"]), ("watch", 1))
        counts = result["details"]["counts"]
        self.assertEqual([counts[k] for k in ("done", "upToDate", "failed")], [2, 1, 1])
        self.assertEqual([r["result"] for r in result["details"]["receivers"]],
                         ["ok", "up to date", failed, "ok"])
        # One log line each, the backups named there and nowhere else: the third's old
        # software is the first's, proven by one read equal to it and kept in one file.
        entries = self.log_lines(log)
        self.assertEqual([(e["result"], e["exitCode"]) for e in entries],
                         [("ok", 0), ("up to date", 0), (failed, 1), ("ok", 0)])
        backups = [e["backup"] for e in entries]
        self.assertEqual((backups[1], backups[2]), ("", backups[0]))
        self.assertEqual(self.backups(self.dir),
                         sorted(os.path.basename(b) for b in (backups[0], backups[3])))
        self.assertEqual(self.read(backups[0]), old)
        self.assertEqual([e["backupSha256"] for e in entries][:3],
                         [hashlib.sha256(old[20:]).hexdigest(), "",
                          hashlib.sha256(old[20:]).hexdigest()])
        # The wrong block is named, and how to put the old software back.
        third = watching.receivers(port)[2]
        self.assertEqual([e["text"] for e in third if e["event"] == "message"], [
            "backup: %s (kept already)" % backups[0], failed,
            "the old software is in %s; to put it back: vesker-link -p %s upgrade %s"
            % (backups[0], port, backups[0])])
        self.assertEqual({k: third[-1]["details"][k] for k in ("differing", "proof")}, {
            "differing": [7],
            "proof": {"backup": "equals " + os.path.basename(backups[0]),
                      "verify": "read back twice: block 7 differs in the flash"}})
        # What each receiver was sent and holds: the third written once, whatever it answered
        # on the cable after.
        flipped = bytearray(self.new[20:])
        flipped[7 * BLOCK + 100] ^= 1
        self.assertEqual([self.read(receiver.flash_out + ".%d" % n) for n in range(1, 5)],
                         [self.new[20:], self.new[20:], bytes(flipped), self.new[20:]])
        frames = per_receiver(receiver.names())
        self.assertEqual([f.count("CMD_UPGRADE_START") for f in frames], [1, 0, 1, 1])
        self.assertEqual([f.count("CMD_READ_START") for f in frames], [3, 1, 3, 3])
        after = frames[2][len(frames[2]) - frames[2][::-1].index("CMD_READ_DONE"):]
        self.assertEqual(set(after[:-1]), {"CMD_CONNECT"}, after)
        self.assertEqual(after[-1], "BOX_OFF 3")

    def test_receivers_with_the_same_old_software(self):
        # Three receivers in turn from one production line: the first's backup takes two
        # reads, the others' one read equal to it, and one file keeps it. The first's cable
        # drops connection tests (2 s of silence): one read finds the file, so it is up to
        # date, whichever box it is, and nothing is written. The third goes on 1.5 s after
        # the second comes off, quicker than the silence that counts as gone: one read tells
        # it from the second, and it is handled as well.
        old = self.image("old.bin", seed=1)
        receiver = self.receiver("--box", "0:1", "--box", "0:1", "--box", "0:1")
        port = receiver.link
        watching = Watching(self, "-p", port, "--count", "4", "watch", "upgrade",
                            self.path("new.bin"))
        self.wait_for(lambda: len(watching.results(port)) == 1, "the first", RUN_LIMIT)
        receiver.process.send_signal(signal.SIGSTOP)
        time.sleep(2)  # at least one connection test unanswered, and less than counts as gone
        receiver.process.send_signal(signal.SIGCONT)
        self.wait_for(lambda: len(watching.results(port)) == 2, "the read that tells", RUN_LIMIT)
        self.swap(receiver, watching, port, 2)
        self.wait_for(lambda: len(watching.results(port)) == 3, "the second", RUN_LIMIT)
        receiver.process.send_signal(signal.SIGUSR1)
        time.sleep(1.5)
        receiver.process.send_signal(signal.SIGUSR2)
        self.assertEqual(watching.finish(), 0)
        receiver.stop()
        results = watching.results(port)
        self.assertEqual([(r["exitCode"], r["details"].get("upToDate")) for r in results],
                         [(0, False), (0, True), (0, False), (0, False)])
        backup, = [self.path(n) for n in self.backups(self.dir)]
        self.assertEqual(self.read(backup), old)
        self.assertEqual([results[i]["details"]["backup"] for i in (0, 2, 3)], [backup] * 3)
        self.assertEqual([results[i]["details"]["proof"]["backup"] for i in (0, 2, 3)],
                         ["2 reads agree"] + ["equals " + os.path.basename(backup)] * 2)
        frames = per_receiver(receiver.names())
        self.assertEqual([f.count("CMD_READ_START") for f in frames], [4, 2, 2])
        self.assertEqual([f.count("CMD_UPGRADE_START") for f in frames], [1, 1, 1])
        self.assertEqual([self.read(receiver.flash_out + ".%d" % n) for n in (1, 2, 3)],
                         [self.new[20:]] * 3)

    def test_a_restart_is_no_new_receiver_and_an_adapter_goes_with_its_receiver(self):
        # Not read back, the upgrade ends as the receiver starts its restart: silent for 4 s,
        # beyond what counts as gone. The USB adapter is powered by the box: it goes while the
        # box restarts and when it is taken off, and comes with the next.
        receiver = self.receiver("--box", "0:1", "--box", "0:2", "--usb-restarts",
                                 "--restart", "4000")
        port = receiver.link
        log = self.path("bench.log")
        watching = Watching(self, "-p", port, "--log", log, "--no-verify", "--count", "2", "watch",
                            "upgrade", self.path("new.bin"))
        self.wait_for(lambda: len(watching.results(port)) == 1, "the first receiver", RUN_LIMIT)

        def back_from_restart():
            names = receiver.names()
            return "CMD_STOP" in names and names[names.index("CMD_STOP"):].count("CMD_CONNECT") >= 2

        self.wait_for(back_from_restart, "the restart", 20)
        self.assertFalse(watching.gone(port, 1))
        self.swap(receiver, watching, port, 1)
        code = watching.finish()
        receiver.stop()
        self.assertEqual(code, 0)
        self.assertEqual([r["exitCode"] for r in watching.results(port)], [0, 0])
        self.assertEqual(len(self.log_lines(log)), 2)
        self.assertIn("waiting for a receiver (no such device)",
                      [e["text"] for e in watching.events if e["event"] == "state"])
        first, second = per_receiver(receiver.names())
        self.assertEqual(first.count("CMD_READ_START"), 2, "the backup alone")
        after = first[first.index("CMD_STOP") + 1:]
        self.assertEqual(set(after[:-1]), {"CMD_CONNECT"}, after)
        self.assertEqual(after[-1], "BOX_OFF 1")
        self.assertEqual(second.count("CMD_UPGRADE_START"), 1)
        self.assertEqual([self.read(receiver.flash_out + ".%d" % n) for n in (1, 2)],
                         [self.new[20:]] * 2)

    def test_a_receiver_that_answers_late_after_its_restart_is_not_handled_again(self):
        # No answer within --restart-wait, so the upgrade failed; it answers 4 s later, still
        # on the cable: the same receiver, however long it was silent.
        receiver = self.receiver("--restart", "9000")
        port = receiver.link
        watching = Watching(self, "-p", port, "--restart-wait", "5", "watch", "upgrade",
                            self.path("new.bin"))
        self.wait_for(lambda: len(watching.results(port)) == 1, "the upgrade", RUN_LIMIT)
        self.assertEqual(watching.results(port)[0]["exitCode"], 1)

        def answers_again():
            names = receiver.names()
            return names[names.index("CMD_STOP"):].count("CMD_CONNECT") >= 12

        self.wait_for(answers_again, "the receiver to answer again", 30)
        watching.process.send_signal(signal.SIGINT)
        self.assertEqual(watching.finish(), 1)
        receiver.stop()
        self.assertEqual(len(watching.results(port)), 1)
        self.assertEqual(receiver.names().count("CMD_UPGRADE_START"), 1)

    def test_a_receiver_swapped_during_its_restart(self):
        # The receiver written to is taken off while it restarts and another put on. One that
        # runs this file already but for its own block 7 cannot be told from the first with
        # that block written wrong, so the way back is offered; run, it backs up the newcomer
        # before it writes anything into it. One of another kind is proven another receiver:
        # watch takes it on as a new one.
        old = self.image("old.bin", seed=1)
        own = bytearray(self.new[20:])
        own[7 * BLOCK:8 * BLOCK] = old[20 + 7 * BLOCK:20 + 8 * BLOCK]
        rows = [  # name, the second box, watch, what the read-back found
            ("runs the file but for a block", "0:" + self.write("own.raw", own), False,
             "verify failed: block 7 of the receiver's flash differs from the file"),
            ("another kind", "2:3", True,
             "upgraded, not verified: another receiver answers (it reports itself as Fta 39 1)"),
        ]
        for i, (name, box, bench, found) in enumerate(rows):
            with self.subTest(name):
                receiver = self.receiver("--box", "0:1", "--box", box, "--restart", "3000",
                                         name="tty%d" % i)
                port = receiver.link
                folder = os.path.dirname(self.write(os.path.join("up%d" % i, "new.bin"),
                                                    self.new))
                args = ["-p", port, "upgrade", os.path.join(folder, "new.bin")]
                watching = Watching(self, *(args[:2] + ["--count", "2", "watch"] + args[2:])
                                    if bench else args)
                self.wait_for(lambda: "CMD_STOP" in receiver.names(), "the upgrade", RUN_LIMIT)
                receiver.process.send_signal(signal.SIGUSR2)
                self.assertEqual(watching.finish(), 1)
                backup = self.path(folder, self.backups(folder)[0])
                restore = "vesker-link -p %s upgrade %s" % (port, backup)
                first = watching.receivers(port)[0]
                self.assertEqual([e["text"] for e in first if e["event"] == "message"][-2:], [
                    found, "the old software is in %s; to put it back: %s" % (backup, restore)])
                self.assertEqual(first[-1]["details"]["restore"], restore)
                if bench:
                    # The newcomer refused for its kind: nothing of its flash read or kept,
                    # nothing written into it.
                    receiver.stop()
                    self.assertEqual([r["exitCode"] for r in watching.results(port)], [1, 1])
                    second = per_receiver(receiver.names())[1]
                    self.assertNotIn("CMD_UPGRADE_START", second)
                    self.assertFalse([n for n in second if n.startswith("VARIANT_ECHO")], second)
                    self.assertEqual(self.backups(folder), [os.path.basename(backup)])
                    continue
                run = self.cli(*shlex.split(restore)[1:] + ["-q"])
                receiver.stop()
                self.assertEqual(run.code, 0, run.err)
                kept = [self.read(self.path(folder, n)) for n in self.backups(folder)
                        if self.path(folder, n) != backup]
                self.assertEqual(kept, [TAGS[0] + bytes(own)])
                self.assertEqual(self.read(receiver.flash_out + ".2"), old[20:])

    def test_a_receiver_that_fails_is_not_taken_for_a_new_one(self):
        # A flash cell that fails every time, in the one block the update changes: the
        # read-back finds neither the file nor the old software, on the same receiver. It is
        # handled once, and its way back given.
        old = self.image("old.bin", seed=1)
        one = bytearray(self.new[20:])
        one[7 * BLOCK:8 * BLOCK] = old[20 + 7 * BLOCK:20 + 8 * BLOCK]
        update = self.write("update.bin", TAGS[0] + self.new[20:])
        receiver = self.receiver("--box", "0:" + self.write("one.raw", one),
                                 "--flip", "upgrade:7:100:1-9", "--restart", "1000")
        port = receiver.link
        watching = Watching(self, "-p", port, "--count", "2", "watch", "upgrade", update)
        self.wait_for(lambda: watching.results(port), "the upgrade", RUN_LIMIT)
        time.sleep(4)  # it stays on the cable, answering, beyond what counts as gone
        self.assertEqual(len(watching.results(port)), 1)
        self.assertEqual(receiver.names().count("CMD_UPGRADE_START"), 1)
        backup, = [self.path(n) for n in self.backups(self.dir)]
        self.assertEqual(watching.results(port)[0]["details"]["restore"],
                         "vesker-link -p %s upgrade %s" % (port, backup))
        watching.process.send_signal(signal.SIGINT)
        self.assertEqual(watching.finish(), 1)
        receiver.stop()
        self.assertEqual([r["exitCode"] for r in watching.results(port)], [1])
        self.assertEqual(self.read(backup), TAGS[0] + bytes(one))

    def test_eight_ports_two_receivers_each(self):
        # Eight ports read side by side, a USB adapter with each receiver (the eighth port's
        # are 2 MiB), each receiver swapped for the next once, while another process tests a
        # ninth port again and again: every receiver is one file and one whole log line.
        receivers = [self.receiver("--box", "%d:%d" % (int(i == 7), 30 + i),
                                   "--box", "%d:%d" % (int(i == 7), 40 + i), "--usb",
                                   name="tty%d" % i) for i in range(8)]
        ninth = self.receiver(name="tty8")
        log = self.path("bench.log")
        reads = self.path("reads")
        os.makedirs(reads)
        watching = Watching(self, "-p", ",".join(r.link for r in receivers), "--log", log,
                            "--count", "16", "watch", "read", reads)
        connects = [self.cli("-p", ninth.link, "--log", log, "connect") for _ in range(5)]
        for r in receivers:
            self.wait_for(lambda: watching.results(r.link), "a first read on " + r.link, RUN_LIMIT)
            r.process.send_signal(signal.SIGUSR1)
        for r in receivers:
            self.wait_for(lambda: watching.gone(r.link, 1), r.link + " to be gone")
            r.process.send_signal(signal.SIGUSR2)
        code = watching.finish()
        for receiver in receivers + [ninth]:
            receiver.stop()
        self.assertEqual(code, 0)
        self.assertEqual([c.code for c in connects], [0] * 5)
        self.assertEqual(ninth.names(), ["CMD_CONNECT"] * 5)
        entries = self.log_lines(log)
        self.assertEqual(sorted((e["command"], e["port"]) for e in entries),
                         sorted([("read", r.link) for r in receivers] * 2
                                + [("connect", ninth.link)] * 5))
        for entry in entries:
            self.assertEqual((entry["exitCode"], entry["result"], entry["adapter"]), (0, "ok", {}))
            self.assertRegex(entry["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(len(os.listdir(reads)), 16)
        for i, receiver in enumerate(receivers):
            kind = int(i == 7)
            mine = [e for e in entries if e["port"] == receiver.link]
            for n, entry in enumerate(mine, 1):
                flash = self.read(receiver.flash_out + ".%d" % n)
                self.assertEqual(self.read(entry["file"]), TAGS[kind] + flash)
                self.assertRegex(entry["file"], r"^%s/RomFtaAMD%d-tty%d-\d{8}-\d{6}(-\d+)?\.bin$"
                                 % (re.escape(reads), kind + 1, i))
                self.assertEqual((entry["kind"], entry["sha256"], entry["proof"],
                                  list(entry["stages"])),
                                 (VERSIONS[kind], hashlib.sha256(flash).hexdigest(),
                                  {"read": "2 reads agree"}, ["read"]))

    def test_ctrl_c_in_the_middle_of_an_upgrade(self):
        # A dropped session (SIGHUP) or a stopped service (SIGTERM) ends the bench as Ctrl-C.
        old = self.image("old.bin", seed=1)
        for ending in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=ending.name):
                folder = os.path.dirname(self.write(os.path.join(ending.name, "new.bin"),
                                                    self.new))
                # Every answer late: the upgrade takes 26 s.
                receiver = self.receiver("--late", "100", name="tty-" + ending.name)
                log = os.path.join(folder, "bench.log")
                process = subprocess.Popen([CLI, "-p", receiver.link, "--log", log, "watch",
                                            "upgrade", os.path.join(folder, "new.bin")],
                                           cwd=self.dir, env=dict(os.environ, TMPDIR=folder),
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.addCleanup(process.wait)
                self.addCleanup(process.kill)
                self.wait_for(lambda: "BLOCK 20" in receiver.names(), "the upgrade", RUN_LIMIT)
                process.send_signal(ending)
                out, err = process.communicate(timeout=10)  # a few seconds at most
                receiver.stop()
                self.assertEqual(process.returncode, 1)
                self.assertIn("vesker-link: interrupted", err.decode())
                # The summary of the run: its one receiver, and the counts.
                lines = out.decode().splitlines()
                self.assertEqual(lines[0].split()[:3], ["port", "receiver", "result"], lines)
                self.assertEqual(lines[1].split()[:4], [receiver.link, "Fta", "29", "1"])
                self.assertIn("interrupted", lines[1])
                self.assertTrue(lines[2].startswith("done 0, up to date 0, failed 1; "), lines)
                # The backup whole, and nothing half-written or left over beside it; the
                # command that puts it back in the summary and the log.
                backups = self.backups(folder)
                self.assertEqual(len(backups), 1)
                self.assertEqual(self.read(os.path.join(folder, backups[0])), old)
                restore = "vesker-link -p %s upgrade %s" % (receiver.link,
                                                            os.path.join(folder, backups[0]))
                self.assertEqual(lines[3:], ["to put back the old software on %s: %s"
                                             % (receiver.link, restore)])
                self.assertEqual([(e["result"], e["exitCode"], e["restore"])
                                  for e in self.log_lines(log)], [("interrupted", 1, restore)])
                self.assertEqual(sorted(os.listdir(folder)), sorted(["bench.log", "new.bin"]
                                                                     + backups))
                names = receiver.names()
                self.assertEqual(names[-1], "CMD_STOP")


if __name__ == "__main__":
    unittest.main(verbosity=2)
