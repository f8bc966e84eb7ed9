#!/usr/bin/python3
"""The station on virtual units, for its demo and its benchmark (neither is a test).
    station_run.py demo BIN_DIR OUT_DIR    eight units, a few faulty; screenshots of the page mid-download, after,
                                           and of the history page into OUT_DIR
    station_run.py bench BIN_DIR OUT_DIR   one unit alone, then sixteen and thirty-two at once, paced at 38400 baud:
                                           the time per unit, the station's CPU per unit and the page's update rate;
                                           then the station's CPU while the 32 ports are only polled"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../devtools/virtual-unit"))
from unit_lab import UnitLab  # noqa: E402

MODE, BIN, OUT = sys.argv[1], sys.argv[2], sys.argv[3]
WORK = tempfile.mkdtemp(prefix="qbv-station-run-")
IMAGE_BYTES = "32768"
PACED = ["--baud", "38400", "--pace-received"]
DEMO_UNITS = [[], [], ["--erase-polls", "60"], [], ["--corrupt-every", "3"], [], ["--never-disable"], ["--delay-ms", "8"]]
BENCH_UNITS = [16, 32]
IDLE_SECONDS = 60  # the station watched after the last run ends, its ports polled once a second
SECONDS_PER_HOUR = 3600
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
lab = UnitLab(BIN, WORK)
start, unit, free_port = lab.start, lab.unit, UnitLab.free_port


def station(names, data):
    port = free_port()
    process = start(f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", f"{WORK}/{data}",
                    "--listen", f"127.0.0.1:{port}", *sum((["--port", f"{WORK}/{n}"] for n in names), []))
    url = f"http://127.0.0.1:{port}/"
    for _ in range(100):
        try:
            urllib.request.urlopen(url + "api/ports")
            return process, url
        except OSError:
            time.sleep(0.1)
    sys.exit("the station did not start")


def tiles(url):
    return json.loads(urllib.request.urlopen(url + "api/ports").read())["ports"]


def until_all_ended(url, count):
    while True:
        states = [t["state"] for t in tiles(url)]
        if len(states) == count and all(s in ("passed", "failed", "not_ready", "gone") for s in states):
            return
        time.sleep(0.2)


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def demo():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    names = [f"unit{i + 1}" for i in range(len(DEMO_UNITS))]
    for name, options in zip(names, DEMO_UNITS):
        unit(name, *PACED, *options)
    _, url = station(names, "demo")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000"):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        browser.get(url)
        time.sleep(4)
        browser.save_screenshot(f"{OUT}/station-mid-download.png")
        until_all_ended(url, len(names))
        time.sleep(1)
        browser.save_screenshot(f"{OUT}/station-after.png")
        browser.get(url + "history")
        time.sleep(2)
        browser.save_screenshot(f"{OUT}/station-history.png")
    finally:
        browser.quit()
    for t in tiles(url):
        print(f"{t['port']}: {t['state']}  {t['message']}")


def timed_run(count, data, idle_seconds=0):
    """Seconds from the first download's start to the last one's end, station CPU seconds, tile events a second, and
    with idle_seconds the station's CPU seconds per hour while it then only polls its ports (None without)."""
    names = [f"{data}-{i}" for i in range(count)]
    for name in names:
        unit(name, *PACED)
    process, url = station(names, data)
    events = []
    def listen():
        with urllib.request.urlopen(url + "api/events") as stream:
            for line in stream:
                if line.startswith(b"event: tile"):
                    events.append(time.monotonic())
    threading.Thread(target=listen, daemon=True).start()
    until_all_ended(url, count)
    cpu = cpu_seconds(process.pid)
    rows = json.loads(urllib.request.urlopen(url + "api/history").read())
    stamps = [(r["started"], r["ended"]) for r in rows]
    def seconds(text):
        return time.mktime(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + float("0" + text[19:-1])
    span = max(seconds(e) for _, e in stamps) - min(seconds(s) for s, _ in stamps)
    assert all(r["outcome"] == "succeeded" for r in rows) and len(rows) == count, rows
    rate = len(events) / span if span > 0 else 0
    idle = None
    if idle_seconds:
        cpu_before, before = cpu_seconds(process.pid), time.monotonic()
        time.sleep(idle_seconds)
        idle = (cpu_seconds(process.pid) - cpu_before) * SECONDS_PER_HOUR / (time.monotonic() - before)
    process.send_signal(signal.SIGTERM)
    process.wait()
    return span, cpu, rate, idle


def bench():
    subprocess.run(["sleep", "0"])
    one, one_cpu, one_rate, _ = timed_run(1, "one")
    print("| units | seconds (first start to last end) | ratio to one | station CPU s per unit | tile events/s |")
    print("|---|---|---|---|---|")
    print(f"| 1 | {one:.2f} | 1.000 | {one_cpu:.3f} | {one_rate:.1f} |")
    idle = None
    for count in BENCH_UNITS:
        last = count == BENCH_UNITS[-1]
        many, many_cpu, many_rate, idle = timed_run(count, f"many{count}", IDLE_SECONDS if last else 0)
        print(f"| {count} | {many:.2f} | {many / one:.3f} | {many_cpu / count:.3f} | {many_rate:.1f} |", flush=True)
    print(f"idle, {BENCH_UNITS[-1]} ports polled once a second: {idle:.1f} station CPU s per hour "
          f"(over {IDLE_SECONDS} s)")


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    made = subprocess.run([f"{BIN}/make-sample-image", f"{WORK}/image.bin", IMAGE_BYTES, "2026"], capture_output=True)
    assert made.returncode == 0, made
    try:
        demo() if MODE == "demo" else bench()
    finally:
        lab.stop_all()
        shutil.rmtree(WORK, ignore_errors=True)
