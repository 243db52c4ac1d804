#!/usr/bin/env python3
"""Turns a receiver-sim timeline into the benchmark's figures (one JSON object on stdout).

usage: bench_report.py read|upgrade TIMELINE BLOCKS BAUD USER_S SYS_S MAXRSS_KB

The timeline has "<ms> tx-end <name>" when the last byte of an answer or block left the
simulated line and "<ms> rx-start <n>" when the program began sending after a quiet line.
"""
import json
import statistics
import sys


def percentile(values, p):
    ordered = sorted(values)
    k = max(0, min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1)))))
    return ordered[k]


def main():
    mode, path, blocks, baud = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    user, system, rss = float(sys.argv[5]), float(sys.argv[6]), int(sys.argv[7])
    events = []
    with open(path) as f:
        for line in f:
            parts = line.split(None, 2)
            if len(parts) >= 2:
                events.append((float(parts[0]), parts[1], parts[2].strip() if len(parts) > 2 else ""))
    events.sort(key=lambda e: e[0])
    starts = [t for t, kind, _ in events if kind == "rx-start"]
    if mode == "read":
        ends = [t for t, kind, name in events if kind == "tx-end" and name.startswith("BLOCK")]
    else:
        ends = [t for t, kind, name in events if kind == "tx-end" and name == "REPLY"][1:]
    ends = ends[:blocks]
    # The simulator writes up to 2 ms ahead of the line it imitates and marks an answer's end
    # at its line time, so a program that answers at once may start sending up to that long
    # before the mark: its turnaround shows as slightly negative.
    slack = 3.0
    turnarounds = []
    for end in ends:
        after = [s for s in starts if s >= end - slack]
        if after:
            turnarounds.append(after[0] - end)
    t0 = starts[0]
    # The end: the program's answer to the last block (read), the reply to the last block
    # (upgrade).
    if mode == "read":
        t1 = ends[-1] + turnarounds[-1]
        line_bytes = 12 + 12 + blocks * (4096 + 12)
    else:
        t1 = ends[-1]
        line_bytes = 12 + 12 + blocks * (4096 + 12)
    total = (t1 - t0) / 1000.0
    limit = line_bytes * 10.0 / baud
    mib = blocks * 4096 / 1048576.0
    print(json.dumps({
        "mode": mode, "blocks": blocks, "total_s": round(total, 3), "limit_s": round(limit, 3),
        "ratio": round(total / limit, 4),
        "turn_median_ms": round(statistics.median(turnarounds), 1),
        "turn_p95_ms": round(percentile(turnarounds, 95), 1),
        "turn_max_ms": round(max(turnarounds), 1),
        "cpu_s_per_mib": round((user + system) / mib, 3),
        "cpu_share": round((user + system) / total, 4),
        "peak_rss_kib": rss,
        "turnarounds": [round(t, 2) for t in turnarounds],
    }))


if __name__ == "__main__":
    main()
