#!/usr/bin/env python3
"""A production bench for tools/bench: vesker-link watch upgrade on PORTS simulated ports, each
paced at BAUD, with two 1 MiB receivers in turn that restart RESTART_MS after their upgrade.
Each receiver is taken off once it is done and the next put on once the port waits for it,
at once, as a technician who never dawdles would. Then vesker-link waiting on the same ports
with the cable empty, and with the ports gone (USB adapters unplugged with their receivers).
Prints one JSON object with the figures.

usage: bench_watch.py [--known] DIR VESKER_LINK RECEIVER_SIM BAUD PORTS RESTART_MS IDLE_SECONDS
(BAUD 0: unpaced, for a quick look at the bench itself; its floor is then the restart alone;
IDLE_SECONDS 0 leaves the waiting out)

Without --known each receiver holds old software of its own, which the bench has never seen:
its backup is proven by two reads. With --known every receiver holds the same old software,
whose image vesker-link is given with --known DIR, so one read proves each backup and no
backup file is written; the first receivers on every port are known too.

Not a test: nothing here passes or fails on timing.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

BLOCKS = 256
# A pass on the line: the request and the receiver's first frame, then each block and the
# frame that answers it; the line takes turns, so the bytes of both directions add up.
PASS_BYTES = 12 + 12 + BLOCKS * (4096 + 12)
# The passes of a receiver whose old software is new: the backup read twice, the upgrade, the
# verifying read; one whose old software is known takes one backup read.
PASSES = {False: 4, True: 3}


def start_sims(folder, sim, baud, ports, extra, old=None):
    """ports simulators with two receivers each: of old software of their own, or all holding
    the flash in the file old (its bare data, as the simulator takes it)."""
    sims, links = [], []
    for i in range(ports):
        link = os.path.join(folder, "tty%d" % i)
        boxes = ["--box", "0:%d" % (100 + 2 * i), "--box", "0:%d" % (101 + 2 * i)]
        if old:
            boxes = ["--box", "0:" + old, "--box", "0:" + old]
        pace = ["--baud", str(baud)] if baud else ["--unpaced"]
        sims.append(subprocess.Popen(
            [sim, "--link", link, *pace, "--log", link + ".log", *boxes, *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        links.append(link)
    for link in links:
        for _ in range(200):
            if os.path.islink(link):
                break
            time.sleep(0.05)
    return sims, links


def stop(processes):
    for p in processes:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in processes:
        p.wait()


def timed(folder, name, command):
    """command under /usr/bin/time, its figures in FOLDER/NAME.time."""
    return ["/usr/bin/time", "-o", os.path.join(folder, name + ".time"), "-f", "%e %U %S %M",
            *command]


def read_time(folder, name):
    with open(os.path.join(folder, name + ".time")) as f:
        wall, user, system, rss = f.read().split("\n")[-2].split()
    return float(wall), float(user) + float(system), int(rss)


def image(path, data=None):
    """A 1 MiB ROM image of data (random unless given)."""
    with open(path, "wb") as f:
        f.write(b"VESKER_SZ_RomFtaAMD1" + (data or os.urandom(BLOCKS * 4096)))


def passes(log):
    """What each receiver on one simulator's cable cost the line, from its frame log: the
    reads (each starts with CMD_READ_START) and the writes (CMD_UPGRADE_START) while it was
    on, a receiver after each BOX_ON."""
    receivers = [{"reads": 0, "writes": 0}]
    with open(log) as f:
        for line in f:
            if " BOX_ON " in line:
                receivers.append({"reads": 0, "writes": 0})
            elif line.rstrip().endswith(" CMD_READ_START"):
                receivers[-1]["reads"] += 1
            elif line.rstrip().endswith(" CMD_UPGRADE_START"):
                receivers[-1]["writes"] += 1
    return receivers  # the first is on from the start, unmarked


def bench(folder, cli, sim, baud, ports, restart_ms, known):
    rom = os.path.join(folder, "rom.bin")
    image(rom)
    known_options, old = [], None
    if known:
        images = os.path.join(folder, "known")
        os.makedirs(images, exist_ok=True)
        data = os.urandom(BLOCKS * 4096)
        image(os.path.join(images, "old.bin"), data)
        old = os.path.join(folder, "old.flash")
        with open(old, "wb") as f:
            f.write(data)
        known_options = ["--known", images]
    sims, links = start_sims(folder, sim, baud, ports, ["--restart", str(restart_ms)], old)
    log = os.path.join(folder, "bench.log")
    process = subprocess.Popen(
        timed(folder, "watch", [cli, "-p", ",".join(links), "--json", "--count",
                                str(2 * ports), "--log", log, *known_options,
                                "watch", "upgrade", rom]),
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    started = time.monotonic()
    on = {link: started for link in links}  # when the receiver on each port was put on
    off = set()  # ports whose receiver is off, the next not yet on
    times = []  # each receiver: from its being put on to its result
    results = []
    for line in process.stdout:
        event = json.loads(line)
        port = event.get("port")
        if event["event"] == "result" and event["command"] == "upgrade":
            times.append(time.monotonic() - on[port])
            results.append(event["exitCode"])
            sims[links.index(port)].send_signal(signal.SIGUSR1)
            off.add(port)
        elif event["event"] == "state" and event["state"] == "waiting" and port in off:
            off.discard(port)
            on[port] = time.monotonic()
            sims[links.index(port)].send_signal(signal.SIGUSR2)
    process.wait()
    stop(sims)
    wall, cpu, rss = read_time(folder, "watch")
    floor = (PASSES[known] * PASS_BYTES * 10.0 / baud if baud else 0) + restart_ms / 1000.0
    over = [t - floor for t in times]
    # What each receiver cost the line, and where its old software was kept.
    costs = [r for link in links for r in passes(link + ".log")]
    with open(log) as f:
        lines = [json.loads(line) for line in f if line.strip()]
    backups = [line.get("backup", "") for line in lines]
    stages = {}
    for line in lines:
        for stage, seconds in line.get("stages", {}).items():
            stages.setdefault(stage, []).append(seconds)
    return {
        "known": known, "passes_expected": PASSES[known],
        "per_port": {os.path.basename(link): passes(link + ".log") for link in links},
        "stages_mean_s": {k: round(sum(v) / len(v), 2) for k, v in stages.items()},
        "stages_max_s": {k: round(max(v), 2) for k, v in stages.items()},
        "passes": sorted({r["reads"] + r["writes"] for r in costs}),
        "reads": sorted({r["reads"] for r in costs}),
        "writes": sorted({r["writes"] for r in costs}),
        "backup_proofs": sorted({line.get("proof", {}).get("backup", "") for line in lines}),
        "backups_named": len(set(backups)),
        "backup_files_written": len([n for n in os.listdir(folder)
                                     if n.startswith("backup-") and n.endswith(".bin")]),
        "ports": ports, "receivers": len(times), "failed": sum(1 for r in results if r != 0),
        "floor_s": round(floor, 1),
        "mean_s": round(sum(times) / len(times), 1), "max_s": round(max(times), 1),
        "over_mean_s": round(sum(over) / len(over), 2), "over_max_s": round(max(over), 2),
        "per_hour_floor": round(ports * 3600 / floor, 1),
        "per_hour": round(ports * 3600 / (sum(times) / len(times)), 1),
        "per_hour_wall": round(len(times) * 3600 / wall, 1),
        "cpu_share": round(cpu / wall, 4), "peak_rss_kib": rss,
    }


def waiting(folder, cli, sim, baud, ports, seconds, cable):
    """vesker-link waiting for receivers: on a cable with none (cable), or on ports that are
    not there; the CPU share of its wall time."""
    sims, links = [], [os.path.join(folder, "gone%d" % i) for i in range(ports)]
    if cable:
        # Each simulator's only receiver taken off at once: the line stays, silent.
        sims, links = start_sims(folder, sim, baud, ports, ["--schedule", "0"])
    name = "waiting-" + ("cable" if cable else "gone")
    # The file in a folder of its own: the bench's backups beside it would be indexed at the
    # start (a MiB read and hashed each), which is no part of waiting.
    alone = os.path.join(folder, "waiting")
    os.makedirs(alone, exist_ok=True)
    shutil.copyfile(os.path.join(folder, "rom.bin"), os.path.join(alone, "rom.bin"))
    process = subprocess.Popen(
        timed(folder, name, [cli, "-p", ",".join(links), "-q", "watch", "upgrade",
                             os.path.join(alone, "rom.bin")]),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    # Ctrl-C for vesker-link, not for time.
    for pid in subprocess.run(["pgrep", "-P", str(process.pid)], capture_output=True,
                              text=True).stdout.split():
        os.kill(int(pid), signal.SIGINT)
    process.wait()
    stop(sims)
    wall, cpu, _ = read_time(folder, name)
    return round(cpu / wall, 5)


def main():
    args = sys.argv[1:]
    known = "--known" in args
    if known:
        args.remove("--known")
    folder, cli, sim = args[0], args[1], args[2]
    baud, ports, restart_ms, idle = (int(a) for a in args[3:7])
    os.makedirs(folder, exist_ok=True)
    figures = bench(folder, cli, sim, baud, ports, restart_ms, known)
    figures["restart_s"] = restart_ms / 1000.0
    figures["idle_s"] = idle
    if idle:
        figures["cpu_waiting_cable"] = waiting(folder, cli, sim, baud, ports, idle, True)
        figures["cpu_waiting_gone"] = waiting(folder, cli, sim, baud, ports, idle, False)
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
