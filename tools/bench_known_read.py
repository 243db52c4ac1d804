#!/usr/bin/env python3
"""A proven read for tools/bench: vesker-link read (its default proof) of a 1 MiB receiver
paced at BAUD, once with --known DIR holding the receiver's image and once without, each on
a simulator of its own. Prints one JSON object with the figures of both.

usage: bench_known_read.py DIR VESKER_LINK RECEIVER_SIM BAUD

Without the image the read is proven by a second pass; with it, the first pass equals the
known image and proves itself. The time runs on the simulator's clock from the program's
first frame to its answer to the last block of the last pass; the line time is that of the
passes the receiver served (each starts with CMD_READ_START in its frame log).

Not a test: nothing here passes or fails on timing.
"""
import json
import os
import signal
import subprocess
import sys
import time

BLOCKS = 256
# A pass on the line: the request and the receiver's first frame, then each block and the
# frame that answers it; the line takes turns, so the bytes of both directions add up.
PASS_BYTES = 12 + 12 + BLOCKS * (4096 + 12)
TAG = b"VESKER_SZ_RomFtaAMD1"


def events(path):
    with open(path) as f:
        parts = [line.split(None, 2) for line in f if line.strip()]
    return sorted((float(p[0]), p[1], p[2].strip() if len(p) > 2 else "") for p in parts)


def read(folder, name, cli, sim, baud, flash, known):
    case = os.path.join(folder, name)
    os.makedirs(case, exist_ok=True)
    link = os.path.join(case, "tty")
    receiver = subprocess.Popen(
        [sim, "--link", link, "--baud", str(baud), "--flash", flash,
         "--timeline", os.path.join(case, "timeline"), "--log", os.path.join(case, "frames")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if os.path.islink(link):
            break
        time.sleep(0.05)
    options = ["--known", known] if known else []
    program = subprocess.run(
        ["/usr/bin/time", "-o", os.path.join(case, "time"), "-f", "%e %U %S %M",
         cli, "-p", link, "-b", str(baud), "--json", *options, "read", os.path.join(case, "read.bin")],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    receiver.send_signal(signal.SIGTERM)
    receiver.wait()
    results = [e for e in (json.loads(line) for line in program.stdout.splitlines() if line.strip())
               if e.get("event") == "result"]
    details = results[-1].get("details", {}) if results else {}
    with open(os.path.join(case, "time")) as f:
        wall, user, system, rss = f.read().split("\n")[-2].split()
    with open(os.path.join(case, "frames")) as f:
        passes = sum(1 for line in f if line.rstrip().endswith(" CMD_READ_START"))
    timeline = events(os.path.join(case, "timeline"))
    starts = [t for t, kind, _ in timeline if kind == "rx-start"]
    last_block = [t for t, kind, what in timeline if kind == "tx-end" and what.startswith("BLOCK")][-1]
    # The program's answer to the last block: its first sending after that block had come.
    end = min(t for t in starts if t >= last_block - 3.0)
    seconds = (end - starts[0]) / 1000.0
    line_s = passes * PASS_BYTES * 10.0 / baud
    cpu = float(user) + float(system)
    return {
        "known": bool(known), "exit_code": program.returncode,
        "proof": details.get("proof", ""), "reads_said": details.get("reads"),
        "passes": passes, "time_s": round(seconds, 2), "line_s": round(line_s, 2),
        "ratio": round(seconds / line_s, 4), "wall_s": float(wall),
        "cpu_s": round(cpu, 3), "cpu_share": round(cpu / float(wall), 4),
        "peak_rss_kib": int(rss),
    }


def main():
    folder, cli, sim, baud = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    known = os.path.join(folder, "known")
    os.makedirs(known, exist_ok=True)
    data = os.urandom(BLOCKS * 4096)
    flash = os.path.join(folder, "receiver.flash")
    with open(flash, "wb") as f:
        f.write(data)
    with open(os.path.join(known, "image.bin"), "wb") as f:
        f.write(TAG + data)
    runs = [read(folder, "unknown", cli, sim, baud, flash, None),
            read(folder, "known", cli, sim, baud, flash, known)]
    one_pass = PASS_BYTES * 10.0 / baud
    print(json.dumps({"pass_s": round(one_pass, 2), "runs": runs}))


if __name__ == "__main__":
    main()
