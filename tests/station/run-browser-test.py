#!/usr/bin/python3
"""The station in a real browser: headless chromium through selenium against the real qbv-station and four virtual
units on ptys. Automatic mode: three units pass, one gives up (red, its state named); a unit unplugged and plugged in
again under its link on a new node gets a second row while the device on its old node hears nothing; a reload
mid-download shows the same tile; Retry; manual mode and "Flash all waiting"; a bad image is refused with the image
check's words; uploads are taken up to 16 MiB; the CSV export equals the history table; /metrics passes promtool's
check and counts as /api/counts does; the history's copy holds its rows and leaves no file behind; a POST without the
token to a station bound beyond loopback gets 401.
    run-browser-test.py BIN_DIR"""
import csv
import datetime
import glob
import hashlib
import http.client
import io
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../devtools/virtual-unit"))
from unit_lab import UnitLab  # noqa: E402
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

BIN = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="qbv-station-browser-")
WAIT_S = 150                                # generous: the machine may be busy with builds and soaks
UPLOAD_LIMIT = 16 * 1024 * 1024             # the largest upload the station takes
GIVES_UP = ["--erase-polls", "60"]          # erases past the limit of 50 polls: gives up in state 3
SLOW = ["--delay-ms", "25"]                 # a download long enough to reload the page in the middle of it
# In a page: every answer to api/ports is held until the test sets window.releasePorts.
HOLD_PORTS_ANSWER = """
const fetchNow = window.fetch;
window.fetch = async (url, options) => {
  const answer = await fetchNow(url, options);
  if (!String(url).includes("api/ports")) return answer;
  while (!window.releasePorts) await new Promise((resolve) => setTimeout(resolve, 50));
  window.portsAnswered = true;
  return answer;
};
"""
lab = UnitLab(BIN, WORK)
start, unit, free_port, processes = lab.start, lab.unit, UnitLab.free_port, lab.processes


def unplug(process):
    process.send_signal(signal.SIGTERM)
    process.wait()


def until(what, check, seconds=WAIT_S):
    """Waits for `check`; `what` (or what it returns, when it is a function) names it if it never comes."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if check():
                return
        except Exception:  # the page may be between two renderings
            pass
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what() if callable(what) else what}")


def upload_status(port, path, claimed_bytes=None):
    """The status an image upload is answered with; with `claimed_bytes`, only headers claiming that size are sent."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT_S)
    with open(path, "rb") as image:
        body = image.read() if claimed_bytes is None else b""
    connection.putrequest("POST", "/api/image")
    for name, value in (("X-Image-Name", os.path.basename(path)), ("Content-Type", "application/octet-stream"),
                        ("Content-Length", str(len(body) if claimed_bytes is None else claimed_bytes))):
        connection.putheader(name, value)
    connection.endheaders(body)
    status = connection.getresponse().status
    connection.close()
    return status


def new_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def tile(browser, port_id):
    return browser.find_element(By.CSS_SELECTOR, f'[data-port-id="{port_id}"]')


def state(browser, port_id):
    return tile(browser, port_id).get_attribute("data-state")


def main():
    for name in ("u1", "u2", "u3"):
        unit(name)
    u4 = unit("u4", *GIVES_UP)
    make = subprocess.run([f"{BIN}/make-sample-image", f"{WORK}/image.bin", "20000", "7"], capture_output=True)
    assert make.returncode == 0, make
    with open(f"{WORK}/bad.bin", "wb") as bad:
        bad.write(b"\x01\x02\x03\x04\x05\x06\x07\x08\x00\x00")
    port = free_port()
    station = start(f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", f"{WORK}/data",
                    "--listen", f"127.0.0.1:{port}", *sum((["--port", f"{WORK}/u{i}"] for i in range(1, 5)), []))
    url = f"http://127.0.0.1:{port}/"
    until("the station to listen", lambda: urllib.request.urlopen(url + "api/ports").status == 200)

    browser = new_browser()
    try:
        browser.get(url)
        states = lambda: [state(browser, f"p{i}") for i in range(1, 5)]  # noqa: E731
        until(lambda: f"three units to pass and one to give up; the page says {states()}, the station "
                      f"{[t['state'] for t in json.loads(urllib.request.urlopen(url + 'api/ports').read())['ports']]}",
              lambda: states() == ["passed"] * 3 + ["failed"])
        assert "(state 3)" in tile(browser, "p4").text, tile(browser, "p4").text

        # A check of a passed unit's line: its figures on the tile; the unit is not flashed again.
        tile(browser, "p2").find_element(By.CSS_SELECTOR, "button.check").click()
        checked = lambda: tile(browser, "p2").find_element(By.CSS_SELECTOR, ".check-result").text  # noqa: E731
        until(lambda: f"the check's figures; the tile says {checked()!r}",
              lambda: re.match(r"Check at 38400 baud: 50 of 50 answered · round trip [0-9.]+ ms median", checked()))
        assert state(browser, "p2") == "passed" and len(history(url, f"{WORK}/u2")) == 1, history(url, f"{WORK}/u2")
        image = json.loads(urllib.request.urlopen(url + "api/ports").read())["image"]
        assert image["file_crc"] in browser.find_element(By.ID, "image-crc").text, image
        signature = browser.find_element(By.ID, "image-signature")
        assert signature.get_attribute("textContent") == "unsigned" and "unsigned" in signature.get_attribute("class")

        # Unplugged; another device takes its old node; a slow unit comes back under the link, on a new node: the
        # station follows the link, the other device hears nothing. A reload mid-download shows it flashing still.
        old_node = os.path.realpath(f"{WORK}/u1")
        unplug(processes[0])
        until("the unplugged port to go", lambda: state(browser, "p1") in ("gone", "waiting"))
        unit("other", "--transcript", f"{WORK}/other.transcript")
        if os.path.realpath(f"{WORK}/other") != old_node:
            print(f"note: another program took {old_node} first; the other device sits on another node")
        unit("u1", *SLOW)
        until("the new unit to flash", lambda: state(browser, "p1") == "flashing")
        browser.refresh()
        until("the reloaded page to show it flashing", lambda: state(browser, "p1") == "flashing", 10)
        until("the new unit to pass", lambda: state(browser, "p1") == "passed")
        with open(f"{WORK}/other.transcript") as heard:
            assert " IN " not in heard.read(), "the device on the old node got the unit's frames"
        assert history(url, f"{WORK}/u1")[0]["device"] == os.path.realpath(f"{WORK}/u1"), history(url, f"{WORK}/u1")

        # Retry on the red tile: another download, which gives up again.
        tile(browser, "p4").find_element(By.CSS_SELECTOR, "button.retry").click()
        until("the retry to run and end",
              lambda: len(history(url, f"{WORK}/u4")) == 2 and state(browser, "p4") == "failed")

        # Manual mode: a unit plugged in waits for "Flash all waiting".
        browser.execute_script("arguments[0].click()", browser.find_element(By.ID, "manual"))  # styled as a slider
        unplug(processes[2])
        until("the third port to go", lambda: state(browser, "p3") in ("gone", "waiting"))
        # A page loaded as the unit comes: its fetched snapshot, answered only after the stream showed the unit ready,
        # must not take the tile back to the state it was fetched in.
        held = browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": HOLD_PORTS_ANSWER})
        browser.refresh()
        until("the reloaded page to go live", lambda: browser.find_element(By.ID, "live").text == "live", 10)
        unit("u3")
        until("the new unit to wait", lambda: state(browser, "p3") == "ready")
        browser.execute_script("window.releasePorts = true")
        until("the held snapshot to be answered", lambda: browser.execute_script("return window.portsAnswered"), 10)
        time.sleep(1)
        assert state(browser, "p3") == "ready", f"a late snapshot took the tile back to {state(browser, 'p3')}"
        browser.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": held["identifier"]})
        assert tile(browser, "p3").find_element(By.CSS_SELECTOR, "button.flash").is_displayed()
        browser.find_element(By.ID, "flash-all").click()
        until("it to pass", lambda: state(browser, "p3") == "passed")

        # A bad image is refused with the image check's words; the image stays.
        notice = browser.find_element(By.ID, "notice")
        browser.find_element(By.ID, "image-file").send_keys(f"{WORK}/bad.bin")
        until(lambda: f"the refusal; the notice says {notice.get_attribute('textContent')!r}",
              lambda: "ERROR: Invalid download file" in notice.get_attribute("textContent"))
        assert browser.find_element(By.ID, "image-name").text.strip() == "image.bin"

        # Uploads are taken up to 16 MiB, a valid image of exactly that size too; above it, refused from the headers.
        subprocess.run([f"{BIN}/make-sample-image", f"{WORK}/big.bin", str(UPLOAD_LIMIT), "7"], check=True,
                       capture_output=True)
        assert upload_status(port, f"{WORK}/big.bin") == 200
        assert upload_status(port, f"{WORK}/big.bin", claimed_bytes=UPLOAD_LIMIT + 1) == 413
        assert upload_status(port, f"{WORK}/image.bin") == 200

        # The history page's table and the CSV export hold the same downloads.
        browser.get(url + "history")
        until("the table", lambda: len(browser.find_elements(By.CSS_SELECTOR, "#history tbody tr")) >= 7)
        shown = [{cell.get_attribute("class"): cell.text for cell in row.find_elements(By.CSS_SELECTOR, "td")}
                 for row in browser.find_elements(By.CSS_SELECTOR, "#history tbody tr")]
        exported = list(csv.DictReader(io.StringIO(urllib.request.urlopen(url + "api/history.csv").read().decode())))
        assert len(shown) == len(exported) == 7, (len(shown), len(exported))
        for cell, record in zip(shown, exported):
            for name in ("port", "outcome", "message", "file_crc", "unit_crc", "state", "blocks_sent"):
                assert cell[name] == record[name], (name, cell[name], record[name])
            assert cell["started"] == record["started"].replace("T", " ").replace("Z", ""), (cell, record)
        assert [row["outcome"] for row in exported].count("succeeded") == 5, exported
    finally:
        browser.quit()
    check_scrape_and_copy(url)
    check_signed_releases()
    check_tls()

    # Beyond loopback without TLS: a warning that the token travels in clear; a token is made; a change without it
    # gets 401 and changes nothing.
    wide = free_port()
    guarded = start(f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", f"{WORK}/wide",
                    "--listen", f"0.0.0.0:{wide}", "--match", "no-such-adapter")
    warned, printed = guarded.stdout.readline(), guarded.stdout.readline()
    assert "without TLS: its token travels in clear" in warned, warned
    assert "#token=" in printed, printed
    request = urllib.request.Request(f"http://127.0.0.1:{wide}/api/mode", data=b"manual=true", method="POST")
    try:
        urllib.request.urlopen(request)
        raise AssertionError("a POST without the token was taken")
    except urllib.error.HTTPError as refused:
        assert refused.code == 401, refused.code
    assert json.loads(urllib.request.urlopen(f"http://127.0.0.1:{wide}/api/ports").read())["manual"] is False
    print("ok: the station in the browser")


def check_signed_releases():
    """A station with a release key: the signed start image named in the header; a signed pair picked on the page is
    taken, an unsigned image and a pair whose image was altered are refused with qbv-flash's words."""
    def minisign(*arguments):
        subprocess.run(["minisign", *arguments], check=True, capture_output=True)
    minisign("-G", "-W", "-p", f"{WORK}/release.pub", "-s", f"{WORK}/release.key")
    for name, size in (("first.bin", 5000), ("second.bin", 6000)):
        subprocess.run([f"{BIN}/make-sample-image", f"{WORK}/{name}", str(size), "3"], check=True, capture_output=True)
        minisign("-S", "-s", f"{WORK}/release.key", "-m", f"{WORK}/{name}", "-t", f"{name} for line 3")
    original = open(f"{WORK}/second.bin", "rb").read()
    with open(f"{WORK}/altered.bin", "wb") as altered:  # one byte changed, its check bytes made to fit again
        altered.write(refit_check_bytes(original[:100] + bytes([original[100] ^ 1]) + original[101:]))
    shutil.copy(f"{WORK}/second.bin.minisig", f"{WORK}/altered.bin.minisig")
    key_id = open(f"{WORK}/release.pub").readline().split()[-1]

    port = free_port()
    start(f"{BIN}/qbv-station", "--image", f"{WORK}/first.bin", "--release-key", f"{WORK}/release.pub",
          "--data", f"{WORK}/signed", "--listen", f"127.0.0.1:{port}", "--match", "no-such-adapter")
    url = f"http://127.0.0.1:{port}/"
    until("the signed station to listen", lambda: urllib.request.urlopen(url + "api/ports").status == 200)
    browser = new_browser()
    try:
        browser.get(url)
        signature = browser.find_element(By.ID, "image-signature")
        until(lambda: f"the signer in the header; it says {signature.get_attribute('textContent')!r}",
              lambda: signature.get_attribute("textContent") == f"signed by key {key_id}: first.bin for line 3")
        notice = browser.find_element(By.ID, "notice")
        for files, words in (([f"{WORK}/second.bin", f"{WORK}/second.bin.minisig"], "image second.bin loaded"),
                             ([f"{WORK}/image.bin"], "no signature (image.bin.minisig): only a signed release"),
                             ([f"{WORK}/altered.bin", f"{WORK}/altered.bin.minisig"],
                              "the signature does not match the image")):
            browser.find_element(By.ID, "image-file").send_keys("\n".join(files))
            until(lambda: f"{words!r}; the notice says {notice.get_attribute('textContent')!r}",
                  lambda: words in notice.get_attribute("textContent"))
        assert signature.get_attribute("textContent") == f"signed by key {key_id}: second.bin for line 3"
    finally:
        browser.quit()


def refit_check_bytes(image):
    """The image with its last two bytes set to the CRC of the rest, as an attacker would: the image check passes."""
    body = image[:-2]
    crc = 0
    for byte in body:  # CRC-16/KERMIT, as the unit's frames and images use
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return body + bytes([crc >> 8, crc & 0xFF])


def check_tls():
    """The page over TLS with a certificate made here: curl trusting only that certificate gets the ports."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=station",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", f"{WORK}/tls.key", "-out", f"{WORK}/tls.crt"],
                   check=True, capture_output=True)
    port = free_port()
    station = start(f"{BIN}/qbv-station", "--image", f"{WORK}/image.bin", "--data", f"{WORK}/tls",
                    "--listen", f"127.0.0.1:{port}", "--tls-cert", f"{WORK}/tls.crt", "--tls-key", f"{WORK}/tls.key",
                    "--match", "no-such-adapter")
    printed = station.stdout.readline()
    assert printed.startswith(f"qbv-station: https://127.0.0.1:{port}/"), printed
    fetched = subprocess.run(["curl", "--silent", "--show-error", "--cacert", f"{WORK}/tls.crt",
                              f"https://127.0.0.1:{port}/api/ports"], capture_output=True, text=True, timeout=WAIT_S)
    assert fetched.returncode == 0 and json.loads(fetched.stdout)["image"]["name"] == "image.bin", fetched
    plain = subprocess.run(["curl", "--silent", f"http://127.0.0.1:{port}/api/ports"], capture_output=True,
                           timeout=WAIT_S)
    assert plain.returncode != 0 or not plain.stdout.startswith(b"{"), plain


def check_scrape_and_copy(url):
    """/metrics as Prometheus reads it, against /api/counts and the image; /api/history.sqlite3 against the history."""
    answer = urllib.request.urlopen(url + "metrics")
    assert answer.headers["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8", answer.headers
    text = answer.read().decode()
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
    assert lint.returncode == 0, (lint.stdout, lint.stderr, text)
    samples = dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))
    def by(metric, label):
        pattern = re.compile(metric + "{" + label + '="(.*)"}')
        return {m.group(1): float(v) for k, v in samples.items() if (m := pattern.fullmatch(k))}
    counts = json.loads(urllib.request.urlopen(url + "api/counts").read())
    rows = json.loads(urllib.request.urlopen(url + "api/history").read())
    if {row["started"][:10] for row in rows} == {datetime.datetime.now(datetime.timezone.utc).date().isoformat()}:
        outcomes = by("qbv_station_downloads_total", "outcome")
        failed = by("qbv_station_failed_downloads_total", "state")
        assert outcomes["succeeded"] == counts["passed"], (outcomes, counts)
        assert sum(failed.values()) == counts["failed"] == sum(outcomes.values()) - counts["passed"], (failed, counts)
        assert failed == {state: float(n) for state, n in counts["failed_by_state"].items()}, (failed, counts)
        assert float(samples["qbv_station_download_seconds_count"]) == counts["passed"] + counts["failed"], samples
    else:
        print("the downloads straddle midnight (UTC): today's counts are not the whole history's; not compared")
    assert sum(by("qbv_station_ports", "state").values()) == 4, samples
    with open(f"{WORK}/image.bin", "rb") as image:
        sha256 = hashlib.sha256(image.read()).hexdigest()
    assert json.loads(urllib.request.urlopen(url + "api/ports").read())["image"]["sha256"] == sha256
    assert f'sha256="{sha256}"' in text, text

    answer = urllib.request.urlopen(url + "api/history.sqlite3")
    assert answer.headers["Content-Type"] == "application/vnd.sqlite3", answer.headers
    assert "station-history.sqlite3" in answer.headers["Content-Disposition"], answer.headers
    with open(f"{WORK}/copy.sqlite3", "wb") as copy:
        copy.write(answer.read())
    with sqlite3.connect(f"file:{WORK}/copy.sqlite3?mode=ro", uri=True) as copy:
        copied = copy.execute("SELECT id, outcome, ended FROM downloads ORDER BY id").fetchall()
    assert copied == sorted((row["id"], row["outcome"], row["ended"]) for row in rows), (copied, rows)
    until("the copy to be removed", lambda: not glob.glob(f"{WORK}/data/history.sqlite3.copy-*"))


def history(url, port):
    """The downloads on record for one port, newest first."""
    return [row for row in json.loads(urllib.request.urlopen(url + "api/history").read()) if row["port"] == port]


if __name__ == "__main__":
    lab.run(main)
