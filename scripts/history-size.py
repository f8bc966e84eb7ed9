#!/usr/bin/python3
"""The station's history on disk per 10,000 downloads: a real station makes its history file, then ten thousand rows
like a line's are written into it as the station writes them (a row at the start, completed at the end, each its own
transaction), and the file's size is read after a checkpoint. Not a test.
    scripts/history-size.py [BIN_DIR]"""
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/release/bin"
ROWS = 10_000
OUTCOMES = [("succeeded", None, "The target file was downloaded successfully", 0.93),
            ("gave_up", 9, "ERROR:No Ack from Acceptor: The Acceptor did not respond to the data download (state 9)",
             0.04),
            ("port_gone", 6, "the port went away (state 6)", 0.03)]


def main():
    work = tempfile.mkdtemp(prefix="qbv-history-size-")
    try:
        subprocess.run([f"{BIN}/make-sample-image", f"{work}/fw.bin", "32768", "7"], check=True, capture_output=True)
        station = subprocess.Popen([f"{BIN}/qbv-station", "--image", f"{work}/fw.bin", "--data", f"{work}/data",
                                    "--listen", "127.0.0.1:0", "--match", "no-such-adapter"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        station.stdout.readline()
        station.send_signal(signal.SIGTERM)
        station.wait()
        rng = random.Random(1)
        db = sqlite3.connect(f"{work}/data/history.sqlite3", isolation_level=None)
        db.execute("PRAGMA synchronous = FULL")
        start = time.time()
        for i in range(ROWS):
            port = f"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A{rng.randrange(16):07d}-if00-port0"
            outcome, state, message, _ = rng.choices(OUTCOMES, [o[3] for o in OUTCOMES])[0]
            row = db.execute("INSERT INTO downloads (started, port, device, identity, image_name, file_crc, transcript) "
                             "VALUES (strftime('%Y-%m-%dT%H:%M:%fZ'), ?, ?, ?, 'fw-2.14.0.bin', 'E649', ?)",
                             (port, f"/dev/ttyUSB{rng.randrange(16)}", "0403:6001 A1B2C3D4",
                              f"transcripts/20261208-101500-p{rng.randrange(16) + 1}-{i + 1}.txt")).lastrowid
            retries = "{" + ",".join(f'"{s}":{rng.choice([0, 0, 0, 1, 2])}' for s in range(1, 10)) + "}"
            db.execute("UPDATE downloads SET ended = strftime('%Y-%m-%dT%H:%M:%fZ'), outcome = ?, message = ?, "
                       "unit_crc = 'E649', state = ?, blocks_sent = 134, blocks_skipped = 0, retries = ? WHERE id = ?",
                       (outcome, message, state, retries, row))
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        db.close()
        size = os.path.getsize(f"{work}/data/history.sqlite3")
        print(f"{ROWS} downloads: history.sqlite3 {size / 1e6:.2f} MB ({size / ROWS:.0f} bytes a download), "
              f"written in {time.time() - start:.1f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
