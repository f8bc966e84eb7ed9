#!/usr/bin/python3
"""The station's start and stop as a service sees them: a data folder on a read-only file system is refused at start
with one line; a full disk ends a download's record as well as it can and the station goes on; SIGTERM lets a running download finish within the stop grace (its row: succeeded, the unit holds the
image) and starts no other; a download still running when the grace runs out is ended and recorded as interrupted.
    run-lifecycle-test.py BIN_DIR"""
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../devtools/virtual-unit"))
from unit_lab import UnitLab  # noqa: E402

BIN = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="qbv-station-lifecycle-")
WAIT_S = 60
SLOW = ["--delay-ms", "25"]        # a download of some seconds: a stop lands in its middle
CRAWLING = ["--delay-ms", "400"]   # a download of minutes: the grace runs out first
lab = UnitLab(BIN, WORK)


def until(what, check, seconds=WAIT_S):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def first_tile_flashing(url):
    tiles = json.loads(urllib.request.urlopen(url + "api/ports").read())["ports"]
    return bool(tiles) and tiles[0]["state"] == "flashing"


def rows(data):
    with sqlite3.connect(f"{data}/history.sqlite3") as db:
        return db.execute("SELECT port, outcome, message FROM downloads ORDER BY id").fetchall()


def station(name, grace, *ports):
    port = UnitLab.free_port()
    process = lab.start(f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", f"{WORK}/{name}",
                        "--listen", f"127.0.0.1:{port}", "--stop-grace", str(grace),
                        *sum((["--port", f"{WORK}/{p}"] for p in ports), []))
    url = f"http://127.0.0.1:{port}/"
    until("the station to listen", lambda: process.stdout.readline().startswith("qbv-station: http"))
    return process, url


def stopped(process, limit_s):
    """SIGTERM; the exit code and what the station said, once it ended (killed past `limit_s`)."""
    process.send_signal(signal.SIGTERM)
    try:
        said = process.communicate(timeout=limit_s)[0]
    except subprocess.TimeoutExpired:
        process.kill()
        raise AssertionError(f"the station did not end within {limit_s} s of SIGTERM")
    return process.returncode, said


def read_only_folder_is_refused():
    if shutil.which("unshare") is None:
        return print("note: no unshare here; the read-only data folder is not tried")
    folder = f"{WORK}/read-only"
    os.makedirs(folder)
    run = subprocess.run(["unshare", "-m", "sh", "-c", f'mount -t tmpfs -o ro none "{folder}" && exec "$@"', "sh",
                          f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", folder, "--port", "nowhere"],
                         capture_output=True, text=True, timeout=WAIT_S)
    assert run.returncode == 3 and run.stderr.count("\n") == 1 and "Read-only file system" in run.stderr, run


def a_stop_lets_the_running_download_finish():
    unit = lab.unit("slow", *SLOW, "--memory-out", f"{WORK}/slow.memory")
    process, url = station("graceful", WAIT_S, "slow", "idle")
    until("the download to begin", lambda: first_tile_flashing(url))
    lab.unit("idle")  # plugged in during the stop: never flashed
    code, said = stopped(process, WAIT_S + 30)
    assert code == 0, said
    assert rows(f"{WORK}/graceful") == [(f"{WORK}/slow", "succeeded", "The target file was downloaded successfully")], \
        (rows(f"{WORK}/graceful"), said)
    unit.send_signal(signal.SIGTERM), unit.wait()
    with open(f"{WORK}/image.bin", "rb") as image, open(f"{WORK}/slow.memory", "rb") as memory:
        expected = image.read()
        assert memory.read()[:len(expected)] == expected


def a_stop_whose_grace_runs_out_records_the_download_interrupted():
    lab.unit("crawling", *CRAWLING)
    process, url = station("hurried", 1, "crawling")
    until("the download to begin", lambda: first_tile_flashing(url))
    started = time.monotonic()
    code, said = stopped(process, WAIT_S)
    assert code == 0 and time.monotonic() - started < 1 + 10, (code, time.monotonic() - started, said)
    [(_, outcome, message)] = rows(f"{WORK}/hurried")
    assert outcome == "interrupted" and message.startswith("interrupted"), (outcome, message)
    assert "1 download(s) still running are ended and recorded as interrupted" in said, said


def a_full_disk_ends_the_record_as_well_as_it_can():
    """On a file system with no room left, the download's record cannot be kept: the tile and the log say so, the
    station goes on, and once there is room again the next download is on record."""
    if shutil.which("unshare") is None or shutil.which("nsenter") is None:
        return print("note: no unshare or nsenter here; the full disk is not tried")
    folder, port = f"{WORK}/small-disk", UnitLab.free_port()
    os.makedirs(folder)
    process = lab.start("unshare", "-m", "sh", "-c", f'mount -t tmpfs -o size=1m none "{folder}" && exec "$@"', "sh",
                        f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", folder,
                        "--listen", f"127.0.0.1:{port}", "--port", f"{WORK}/on-full-disk")
    url = f"http://127.0.0.1:{port}/"
    until("the station to listen", lambda: process.stdout.readline().startswith("qbv-station: http"))
    in_station = ["nsenter", "-t", str(process.pid), "-m", "sh", "-c"]
    subprocess.run(in_station + [f'cat /dev/zero > "{folder}/filler"'], capture_output=True)
    unit = lab.unit("on-full-disk")
    tile = lambda: json.loads(urllib.request.urlopen(url + "api/ports").read())["ports"][0]  # noqa: E731
    until("the download to end", lambda: tile()["state"] in ("passed", "failed"))
    assert "not on record" in tile()["message"] or "transcript could not be written" in tile()["message"], tile()
    subprocess.run(in_station + [f'rm "{folder}/filler"'], check=True)
    unit.send_signal(signal.SIGTERM), unit.wait()
    until("the unit to be gone", lambda: tile()["state"] in ("gone", "waiting"))
    lab.unit("on-full-disk")
    until("the next download to be on record",
          lambda: [row["outcome"] for row in json.loads(urllib.request.urlopen(url + "api/history").read())][:1]
          == ["succeeded"])
    code, said = stopped(process, WAIT_S)
    assert code == 0 and ("is not on record" in said or "could not be written" in said), (code, said)


def main():
    make = subprocess.run([f"{BIN}/make-sample-image", f"{WORK}/image.bin", "20000", "7"], capture_output=True)
    assert make.returncode == 0, make
    read_only_folder_is_refused()
    a_stop_lets_the_running_download_finish()
    a_stop_whose_grace_runs_out_records_the_download_interrupted()
    a_full_disk_ends_the_record_as_well_as_it_can()
    print("ok: the station's start and stop")


if __name__ == "__main__":
    lab.run(main)
