#!/usr/bin/env python3
"""The bench page's cost, for tools/bench: vesker-link watch read on PORTS simulated ports,
each paced at BAUD with one 1 MiB receiver, without --serve, then with it and 0, 10 and 50
clients following /events (and a scrape of /metrics a second whenever it serves). Prints one
JSON object: for each run vesker-link's CPU share and peak memory, and each receiver's time
(from the log) against the same run without the page.

usage: bench_serve.py DIR VESKER_LINK RECEIVER_SIM BAUD PORTS

Not a test: nothing here passes or fails on timing.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def follow(url, stop):
    try:
        with urllib.request.urlopen(url + "events", timeout=600) as stream:
            for _ in stream:
                if stop.is_set():
                    return
    except OSError:
        pass


def scrape(url, stop):
    while not stop.wait(1):
        try:
            urllib.request.urlopen(url + "metrics", timeout=5).read()
        except OSError:
            pass


def run(folder, cli, sim, baud, ports, clients):
    name = "plain" if clients is None else "serve-%d" % clients
    work = os.path.join(folder, name)
    os.makedirs(os.path.join(work, "reads"))
    sims, links = [], []
    for i in range(ports):
        link = os.path.join(work, "tty%d" % i)
        sims.append(subprocess.Popen([sim, "--link", link, "--baud", str(baud),
                                      "--box", "0:%d" % (100 + i), "--box", "0:%d" % (200 + i),
                                      "--schedule", "0"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        links.append(link)
    for link in links:
        while not os.path.islink(link):
            time.sleep(0.05)
    log = os.path.join(work, "bench.log")
    serve = [] if clients is None else ["--serve", str(free_port())]
    err = open(os.path.join(work, "err"), "w")
    process = subprocess.Popen(
        ["/usr/bin/time", "-o", os.path.join(work, "time"), "-f", "%e %U %S %M", cli,
         "-p", ",".join(links), "--log", log, "--count", str(ports), *serve,
         "watch", "read", os.path.join(work, "reads")],
        stdout=subprocess.DEVNULL, stderr=err)
    stop = threading.Event()
    threads = []
    if serve:
        while "the bench page: " not in open(os.path.join(work, "err")).read():
            time.sleep(0.05)
        url = open(os.path.join(work, "err")).read().split("the bench page: ")[1].split()[0]
        threads = [threading.Thread(target=follow, args=(url, stop), daemon=True)
                   for _ in range(clients)]
        threads.append(threading.Thread(target=scrape, args=(url, stop), daemon=True))
        for thread in threads:
            thread.start()
        time.sleep(2)
    for s in sims:
        s.send_signal(signal.SIGUSR2)  # every receiver on at once
    process.wait()
    stop.set()
    for s in sims:
        s.send_signal(signal.SIGTERM)
        s.wait()
    with open(os.path.join(work, "time")) as f:
        wall, user, system, rss = f.read().split("\n")[-2].split()
    with open(log) as f:
        seconds = [json.loads(line)["seconds"] for line in f]
    return {"run": name, "clients": clients, "wall_s": float(wall),
            "cpu_share": round((float(user) + float(system)) / float(wall), 4),
            "peak_rss_kib": int(rss), "receivers": len(seconds),
            "mean_s": round(sum(seconds) / len(seconds), 2), "max_s": max(seconds)}


def main():
    folder, cli, sim = sys.argv[1:4]
    baud, ports = int(sys.argv[4]), int(sys.argv[5])
    os.makedirs(folder, exist_ok=True)
    runs = [run(folder, cli, sim, baud, ports, clients) for clients in (None, 0, 10, 50)]
    plain = runs[0]["mean_s"]
    for r in runs:
        r["vs_plain"] = round(r["mean_s"] / plain, 4)
    print(json.dumps({"ports": ports, "baud": baud, "runs": runs}))


if __name__ == "__main__":
    main()
