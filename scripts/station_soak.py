#!/usr/bin/python3
"""Station soak: the production line's station (the release build of qbv-station) run as for weeks, compressed into
minutes. Every port gets virtual unit after virtual unit, each plugged in on the port's link (a new pty behind the same
name, as a USB adapter comes back under its by-id name), flashed, then unplugged; the units draw their behaviour from
the seed: qbv-flash's soak mixes of faults, units that give up or never finish verifying, flagged results, units that
never answer Disable, adapters pulled in the middle of a download and at its very end, pulled the moment their tile
turns green. Meanwhile pages come and go on the event stream (reading, reading slowly, never reading), Retry is pressed
on red tiles, new images (and a bad one) are uploaded while nothing flashes, and the manual mode is switched on and off
with Flash and "Flash all waiting" pressed. At the end the station is stopped with SIGTERM, some units mid-download.

The invariants, each checked at the end and those that are cheap as the soak goes:
  1. every download a unit saw has exactly one history row (the frames of the row's own transcript are where the
     unit received them, nothing else reached the unit but status polls), each row has a transcript of its own, no
     row stays open, and a unit plugged in is polled and, answering Disable in automatic mode, flashed;
  2. a row says succeeded exactly when its unit passed: the unit answered its final Disable after its good result was
     acknowledged, its memory holds the row's image and the unit's CRC is the file's;
  3. a failed row names a state that the unit's transcript allows (from the last command it received, soak.py's
     rule; a line pulled by the soak counts as vanished), and "port_gone" only when the line went; a unit pulled once
     it passed is a success;
  4. no tile stays flashing after its unit is gone, and an unplugged unit's tile shows it gone;
  5. the station's memory, open descriptors and threads stay within bounds of their values after the warm-up;
  6. every API call and page connection is answered;
  7. SIGTERM at the end stops the station with exit code 0 within a bound and leaves no row open (read from the
     SQLite file).
A break is printed with the command that replays its port's units (the units' behaviour is the seed's; the timing
is the machine's). Exit code 1 on any break; the work folder is kept then, and removed otherwise."""
import argparse
import calendar
import http.client
import json
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import time
import traceback
from collections import Counter, defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "devtools", "virtual-unit"))
from soak import MIX_LIMITS, allowed_states  # noqa: E402
from unit_lab import UnitLab  # noqa: E402

# The station's own periods (station/PortLoop.h) and its bound on a download (units/UnitRun.h).
POLL_PERIOD_S = 1.0
REOPEN_PERIOD_S = 2.0
BAUD = 38400


def download_bound_s(image_bytes):
    blocks = (image_bytes + 245) // 246
    return 120 + 4 * image_bytes * 11 / BAUD + 0.25 * blocks


# The soak's bounds: generous, for a busy 2-core machine.
API_TIMEOUT_S = 30            # every API call and page connection is answered within this
REACH_S = 20                  # a unit plugged in receives the station's first poll within this
DOWNLOAD_BEGIN_S = 15         # a unit answering Disable in automatic mode (for this long) is being flashed
TILE_LEAVES_FLASHING_POLLS = 5  # once its unit is gone, a tile leaves "flashing" within this many poll periods...
SETTLE_SLACK_S = 5            # ...plus this
UNPLUG_SEEN_S = 20            # an unplugged unit's tile shows "gone" or "waiting" within this
ROW_END_S = 30                # a download's row is completed within this once its tile shows the end
UNIT_SLACK_S = 60             # a unit's downloads end within the station's bound on a download plus this
NOT_READY_HOLD_S = 3          # a unit that is not ready is left shown this long
STOP_GRACE_S = 15             # the station's --stop-grace: downloads running at SIGTERM get this long to finish
STOP_BOUND_S = STOP_GRACE_S + 20  # SIGTERM: the station exits within this (the grace, then the exchanges under way)
UNIT_STOP_S = 10              # a virtual unit still running this long after SIGTERM is killed
SAMPLE_PERIOD_S = 2           # the station's memory, descriptors and threads are read this often
WARMUP_MAX_S = 120            # the warm-up: the first two minutes (a quarter of a shorter run)
RSS_GROWTH = 1.25             # after the warm-up the station's memory stays below its value then times this...
RSS_SLACK_KB = 8192           # ...plus this
FD_SLACK_FIXED = 16 + 8       # descriptors above the warm-up's: every page's event stream and the other workers...
FD_SLACK_PER_PORT = 3         # ...and per port, a download's line and transcript, and the soak's own call
THREAD_SLACK = 2              # threads above the warm-up's (the station's threads are made at its start)
MAX_UNSENT = 2                # frames the station wrote into a line as it went away, never read by the unit
PLACEHOLDERS_MAX = 64         # ptys held so that a unit plugged in again gets another device
CHECK_POLLS_MIN, CHECK_POLLS_MAX = 5, 30  # a tile's Check sends this many status requests
UPLOAD_LOOKS = 40             # an upload waits for a moment when nothing flashes: this many looks, 0.25 s apart
PAGES = 3                     # pages coming and going on the event stream, besides the soak's own watcher
PRINTED_BREAKS_MAX = 40
PROGRESS_PERIOD_S = 30

POLL = "FC 05 11 27 56"
DISABLE = "FC 05 1A F4 E8"
ACK_CODE = "50"
END_STATES = ("passed", "failed")
GONE_STATES = ("gone", "waiting")

# What a unit plays, and how often.
KINDS = {"clean": 3.0, "faulty": 4.0, "gives_up": 1.0, "times_out": 0.2, "flagged": 0.7, "not_ready": 0.7,
         "pulled_mid": 1.5, "pulled_at_pass": 1.2, "slow": 0.8}
SLOW_KINDS = ("times_out",)   # last the station's whole bound on a download: not begun when the soak ends sooner
NEW_DEVICE_P = 0.8            # a unit plugged in gets another pty device than the unit before it on the port
FINAL_UNIT_P = 0.7            # a port has a slow unit mid-download when the station is stopped
# The images: the first one given on the command line, the others uploaded now and then; a bad one is refused.
IMAGES = [("first.bin", 1500, 31), ("soak-a.bin", 1000, 32), ("soak-b.bin", 2600, 33), ("soak-c.bin", 4100, 34)]
BAD_IMAGE = ("soak-bad.bin", bytes(range(1, 9)) + b"\x00\x00")

INVARIANTS = {
    0: "the soak itself ran",
    1: "every download has exactly one row, with its own transcript; no row stays open; a unit plugged in is flashed",
    2: "a row says succeeded exactly when its unit passed, with the row's image in its memory",
    3: "a failed row names a state its unit's transcript allows; port_gone only when the line went",
    4: "no tile stays flashing after its unit is gone; an unplugged unit's tile shows it gone",
    5: "the station's memory, descriptors and threads stay within their bounds after the warm-up",
    6: "every API call and page connection is answered",
    7: "SIGTERM stops the station with exit code 0 within its bound, no row left open",
}


def utc_seconds(text):
    """2026-12-07T12:00:00.123Z as seconds since 1970."""
    return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + float("0" + text[19:-1])


def utc_day(seconds):
    return time.strftime("%Y-%m-%d", time.gmtime(seconds))


class Breaks:
    """Broken invariants: each printed as it is found, with its replay line."""

    def __init__(self, soak):
        self.soak, self.lock, self.found, self.printed = soak, threading.Lock(), defaultdict(list), 0

    def add(self, invariant, text, unit=None):
        replay = self.soak.replay_line(unit)
        with self.lock:
            self.found[invariant].append(text)
            if self.printed < PRINTED_BREAKS_MAX:
                self.printed += 1
                where = f"port {unit.port} unit {unit.k} ({unit.kind}): " if unit else ""
                print(f"BREAK {invariant} [{INVARIANTS[invariant]}]\n  {where}{text}", flush=True)
                if unit:
                    print(f"  unit: {' '.join(unit.options) or '(no options)'}; device {unit.device}", flush=True)
                print(f"  replay: {replay}", flush=True)

    def count(self):
        return sum(len(v) for v in self.found.values())


class Api:
    """Every call to the station, counted by route and answer."""

    def __init__(self, soak, port):
        self.soak, self.port, self.lock = soak, port, threading.Lock()
        self.calls = Counter()          # "GET /api/ports 200" -> n
        self.unanswered = 0

    @staticmethod
    def route(method, path):
        path = path.split("?", 1)[0]
        parts = path.split("/")
        if len(parts) == 5 and parts[2] == "ports":
            parts[3] = "ID"
        return f"{method} {'/'.join(parts)}"

    def record(self, route, status):
        with self.lock:
            if status is None:
                self.unanswered += 1
            self.calls[f"{route} {status if status is not None else 'unanswered'}"] += 1

    def call(self, method, path, body=None, headers=None, expect=(200,)):
        """(status, body bytes); (None, None) when the station did not answer."""
        route = self.route(method, path)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=API_TIMEOUT_S)
        try:
            connection.request(method, path, body=body if body is not None else (b"" if method == "POST" else None),
                               headers=headers or {})
            response = connection.getresponse()
            data = response.read()
            status = response.status
        except (OSError, http.client.HTTPException) as e:
            self.record(route, None)
            if not self.soak.stopping:
                self.soak.breaks.add(6, f"{route}: no answer within {API_TIMEOUT_S} s ({e.__class__.__name__}: {e})")
            return None, None
        finally:
            connection.close()
        self.record(route, status)
        if status not in expect:
            self.soak.breaks.add(6, f"{route}: answered {status} {data[:200]!r}")
        return status, data

    def json(self, method, path, **kw):
        status, data = self.call(method, path, **kw)
        if data is None or status != 200:
            return None
        try:
            return json.loads(data)
        except ValueError:
            self.soak.breaks.add(6, f"{self.route(method, path)}: not JSON: {data[:200]!r}")
            return None


class Unit:
    """One virtual unit's life on a port: its plan, process, files and what the soak did to it."""

    def __init__(self, port, k, plan, work):
        self.port, self.k, self.plan = port, k, plan
        self.kind = plan["kind"]
        self.options = list(plan["options"])
        stem = f"{work}/units/p{port}-u{k}"
        self.transcript, self.memory = stem + ".transcript", stem + ".memory"
        self.proc = self.device = None
        self.t_plug = self.t_gone = self.t_kill = None
        self.pulled = None            # how the soak pulled it while it might be downloading
        self.accepted = 0             # starts and retries the station took for it
        self.retries_left = plan.get("retries", 0)
        self.image = None             # the image the station had when it was plugged in
        self.rows = None              # its rows as checked while the soak ran

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def lines(self):
        try:
            with open(self.transcript) as f:
                return f.read().splitlines()
        except OSError:
            return []


def kind_of(line):
    """A transcript line's direction (IN, OUT, FAULT, ...)."""
    words = line.split()
    return words[1] if len(words) > 1 else ""


def hex_of(line):
    """The bytes of a transcript line ('<t> DIR AA BB ...  meaning') as 'AA BB ...'."""
    return " ".join(line.split("  ", 1)[0].split()[2:])


def station_sent(path):
    """The frames the station wrote in one download, from its transcript (a failed write not counted)."""
    sent = []
    with open(path) as f:
        for line in f:
            head, _, meaning = line.rstrip("\n").partition("  ")
            words = head.split()
            if len(words) > 2 and words[1] == "TX" and "write failed" not in meaning:
                sent.append(" ".join(words[2:]))
    return sent


def align(unit_in, downloads):
    """Where each download's frames lie among the frames the unit received: [(start, end)] and "", or None and why.
    Between downloads the unit receives only the station's status polls; the last download may have sent a few frames
    into a line that was going away."""
    spans, p = [], 0
    for i, sent in enumerate(downloads):
        last, found, s = i == len(downloads) - 1, None, p
        while s <= len(unit_in):
            got = [h for _, h in unit_in[s:s + len(sent)]]
            if got == sent:
                found = (s, s + len(sent))
                break
            if last and s + len(got) == len(unit_in) and sent[:len(got)] == got and len(sent) - len(got) <= MAX_UNSENT:
                found = (s, len(unit_in))
                break
            if s < len(unit_in) and unit_in[s][1] != POLL:
                break  # a command outside this download
            s += 1
        if found is None:
            commands = sum(1 for h in sent if h != POLL)
            return None, (f"download {i + 1} of {len(downloads)} ({len(sent)} frames, {commands} commands) is not "
                          f"where the unit received frames (after its frame {p})")
        spans.append(found)
        p = found[1]
    stray = [h for _, h in unit_in[p:] if h != POLL]
    if stray:
        return None, f"the unit received {len(stray)} command(s) outside any download on record, first {stray[0][:20]}"
    return spans, ""


def segment(lines, unit_in, span):
    """A download's lines of the unit's transcript: its frames and what followed each up to the next frame."""
    start, end = span
    if start >= len(unit_in):
        return []
    first = unit_in[start][0]
    stop = unit_in[end][0] if end < len(unit_in) else len(lines)
    return lines[first:stop]


def unit_passed(seg):
    """True when the unit answered its final Disable whole, after its result was acknowledged (an Ack received);
    None when that answer was split (the station may have read only its first piece)."""
    acked, i = False, 0
    while i < len(seg):
        words = seg[i].split()
        if len(words) > 4 and words[1] == "IN":
            code = words[4]
            if code == ACK_CODE:
                acked = True
            elif acked and code == "11":
                pieces, j = [], i + 1
                while j < len(seg) and kind_of(seg[j]) != "IN":
                    if kind_of(seg[j]) == "OUT":
                        pieces.append(hex_of(seg[j]))
                    j += 1
                if " ".join(pieces) == DISABLE:
                    return True if len(pieces) == 1 else None
        i += 1
    return False


class Soak:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.bin = f"{work}/bin"
        self.data = f"{work}/data"
        self.breaks = Breaks(self)
        self.stopping = False           # the station is being stopped: a closed connection is expected
        self.time_up = threading.Event()
        self.started = time.monotonic()
        self.end_at = self.started + args.minutes * 60
        self.images = {}                # name -> {"bytes", "crc", "last_frame"}
        self.image_now = IMAGES[0][0]
        self.lock = threading.Lock()
        self.manual = False
        self.auto_since = time.time()
        self.transcript_owner = {}      # a row's transcript -> its row id
        self.units = []                 # every unit plugged, in order
        self.counts = Counter()
        self.pages = Counter()
        self.samples = []
        self.baseline = None
        self.station = None
        self.api = None
        self.watch = None

    # --- the replay line -------------------------------------------------------------------------------------------
    def replay_line(self, unit):
        a = self.args
        base = f"scripts/station-soak.sh --seed {a.seed} --ports {a.ports}"
        if unit is None:
            return f"{base} --minutes {a.minutes:g}"
        first = max(0, unit.k - 1)
        return (f"{base} --minutes {a.minutes:g} --only-port {unit.port} --first-unit {first} "
                f"--units {unit.k - first + 1}")

    # --- images ----------------------------------------------------------------------------------------------------
    def make_images(self):
        for name, size, seed in IMAGES:
            path = f"{self.work}/{name}"
            out = subprocess.run([f"{self.bin}/make-sample-image", path, str(size), str(seed)], check=True,
                                 capture_output=True, text=True).stdout
            with open(path, "rb") as f:
                self.images[name] = {"bytes": f.read(), "crc": out.split()[-1], "path": path}
        with open(f"{self.work}/{BAD_IMAGE[0]}", "wb") as f:
            f.write(BAD_IMAGE[1])
        for name, image in self.images.items():
            image["last_frame"] = self.calibrate(image["path"])

    def calibrate(self, image_path):
        """The number of the last frame a clean unit receives from the station for this image: the station's idle
        poll, then every frame of qbv-flash's download of the same image (the same run of the same core)."""
        link = f"{self.work}/calibration"
        unit = subprocess.Popen([f"{self.bin}/virtual-unit", "--link", link, "--transcript", link + ".transcript"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            while unit.stdout.readline().strip() != "READY":
                if unit.poll() is not None:
                    sys.exit("the calibration's virtual unit did not start")
            flash = subprocess.run([f"{self.bin}/qbv-flash", "--port", link, image_path], capture_output=True,
                                   text=True, timeout=download_bound_s(1 << 16))
            if flash.returncode != 0:
                sys.exit(f"the calibration's download failed: {flash.stdout}{flash.stderr}")
        finally:
            unit.send_signal(signal.SIGTERM)
            unit.wait(UNIT_STOP_S)
            unit.stdout.close()
        with open(link + ".transcript") as f:
            received = sum(1 for line in f if kind_of(line) == "IN")
        os.remove(link + ".transcript")
        return 1 + received

    # --- the mode the soak has put the station in ------------------------------------------------------------------
    def set_manual(self, manual):
        answer = self.api.json("POST", "/api/mode", body=f"manual={'true' if manual else 'false'}".encode(),
                               headers={"Content-Type": "application/x-www-form-urlencoded"})
        if answer is not None and answer.get("manual") != manual:
            self.breaks.add(6, f"POST /api/mode manual={manual} answered {answer}")
        with self.lock:
            self.manual = manual
            if not manual:
                self.auto_since = time.time()

    def automatic_since(self):
        with self.lock:
            return None if self.manual else self.auto_since

    def remaining(self):
        return self.end_at - time.monotonic()

    def note(self, key, n=1):
        with self.lock:
            self.counts[key] += n


# --- the page the soak watches the tiles on ----------------------------------------------------------------------
class Watcher(threading.Thread):
    """A page that reads the event stream at once and keeps the latest tile of every port; the port drivers wake on
    its changes (to pull a unit the moment its tile turns passed) and read the tiles through the API too."""

    def __init__(self, soak):
        super().__init__(daemon=True)
        self.soak, self.cond, self.tiles, self.events = soak, threading.Condition(), {}, Counter()

    def state(self, port_name):
        with self.cond:
            tile = self.tiles.get(port_name)
            return tile["state"] if tile else None

    def wait(self, seconds):
        with self.cond:
            self.cond.wait(seconds)

    def take(self, event, data):
        try:
            value = json.loads(data)
        except ValueError:
            self.soak.breaks.add(6, f"GET /api/events: a {event} event that is not JSON: {data[:200]!r}")
            return
        with self.cond:
            self.events[event] += 1
            if event == "snapshot":
                self.tiles = {t["port"]: t for t in value["ports"]}
            elif event == "tile":
                self.tiles[value["port"]] = value
            self.cond.notify_all()

    def run(self):
        soak = self.soak
        while not soak.stopping:
            connection = http.client.HTTPConnection("127.0.0.1", soak.api.port, timeout=API_TIMEOUT_S)
            try:
                connection.request("GET", "/api/events")
                response = connection.getresponse()
                soak.api.record("GET /api/events (watcher)", response.status)
                soak.pages["watcher connections"] += 1
                if response.status != 200:
                    soak.pages["watcher refused"] += 1
                    time.sleep(1)  # pacing: try again
                    continue
                event = None
                while not soak.stopping:
                    line = response.readline()
                    if not line:
                        break
                    text = line.decode("utf-8", "replace").rstrip("\r\n")
                    if text.startswith("event: "):
                        event = text[7:]
                    elif text.startswith("data: "):
                        self.take(event, text[6:])
            except (OSError, http.client.HTTPException) as e:
                if not soak.stopping:
                    soak.api.record("GET /api/events (watcher)", None)
                    soak.breaks.add(6, f"the watching page's event stream: no answer or no keep-alive within "
                                       f"{API_TIMEOUT_S} s ({e.__class__.__name__}: {e})")
                    time.sleep(1)
            finally:
                connection.close()
            if not soak.stopping:
                soak.pages["watcher streams ended by the station"] += 1


class Page(threading.Thread):
    """A browser page coming and going on the event stream: reading it, reading it slowly, never reading it, or
    leaving at once."""
    BEHAVIOURS = {"read it": 4, "read it slowly": 3, "never read it": 2, "leave at once": 1}

    def __init__(self, soak, i):
        super().__init__(daemon=True)
        self.soak, self.rng = soak, random.Random(f"{soak.args.seed}:page{i}")

    def run(self):
        soak = self.soak
        try:
            while not soak.time_up.is_set() and not soak.stopping:
                behaviour = self.rng.choices(list(self.BEHAVIOURS), list(self.BEHAVIOURS.values()))[0]
                self.visit(behaviour, self.rng.uniform(2, 25))
                soak.time_up.wait(self.rng.uniform(0.5, 4))  # pacing between visits
        except Exception:
            soak.breaks.add(0, "a page thread failed:\n" + traceback.format_exc())

    def visit(self, behaviour, seconds):
        soak = self.soak
        s, status = socket.socket(), None
        try:
            if behaviour in ("read it slowly", "never read it"):
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
            s.settimeout(API_TIMEOUT_S)
            s.connect(("127.0.0.1", soak.api.port))
            s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{soak.api.port}\r\n"
                      "Accept: text/event-stream\r\n\r\n".encode())
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = s.recv(4096)
                if not chunk:
                    break
                head += chunk
            words = head.split(b" ", 2)
            status = int(words[1]) if len(words) > 1 and words[1].isdigit() else None
            soak.api.record("GET /api/events (page)", status)
            if status not in (200, 503):
                if not soak.stopping:
                    soak.breaks.add(6, f"a page's GET /api/events answered {head[:200]!r}")
                return
            soak.pages[f"pages that {behaviour}"] += 1  # "it": the event stream
            if status == 503:
                soak.pages["pages refused (too many open)"] += 1
                return
            end = time.monotonic() + seconds
            if behaviour == "read it":
                while time.monotonic() < end and not soak.stopping:
                    chunk = s.recv(65536)
                    if not chunk:
                        soak.pages["page streams ended by the station"] += 1
                        break
                    soak.pages["tile events read by pages"] += chunk.count(b"event: tile")
            elif behaviour == "read it slowly":
                while time.monotonic() < end and not soak.stopping:
                    if not s.recv(256):
                        soak.pages["page streams ended by the station"] += 1
                        break
                    time.sleep(0.5)  # the slow reader's pace
            elif behaviour == "never read it":
                soak.time_up.wait(seconds)  # holds the stream open without reading it
        except socket.timeout as e:
            if not soak.stopping:
                if status is None:
                    soak.api.record("GET /api/events (page)", None)
                soak.breaks.add(6, f"a page ({behaviour}): {'no answer' if status is None else 'no keep-alive'} "
                                   f"within {API_TIMEOUT_S} s ({e})")
        except OSError as e:
            if status is None and not soak.stopping:
                soak.api.record("GET /api/events (page)", None)
                soak.breaks.add(6, f"a page ({behaviour}): no answer ({e.__class__.__name__}: {e})")
            elif not soak.stopping:
                soak.pages["page streams ended by the station"] += 1
        finally:
            s.close()


class Operator(threading.Thread):
    """The line's operator and its systems: uploads an image while nothing flashes, switches the manual mode on for a
    while (and presses "Flash all waiting"), checks a port's line, reads the history, its CSV, the counts and the
    page."""

    def __init__(self, soak):
        super().__init__(daemon=True)
        self.soak, self.rng = soak, random.Random(f"{soak.args.seed}:operator")

    def run(self):
        soak = self.soak
        try:
            while not soak.time_up.wait(self.rng.uniform(3, 10)):
                action = self.rng.choices(["upload", "manual", "check", "read", "nothing"], [3, 2, 2, 3, 2])[0]
                if action == "upload":
                    self.upload()
                elif action == "check":
                    self.check()
                elif action == "manual":
                    self.manual_period()
                elif action == "read":
                    self.read()
            if soak.manual:
                soak.set_manual(False)
        except Exception:
            soak.breaks.add(0, "the operator thread failed:\n" + traceback.format_exc())

    def upload(self):
        """Waits a few seconds for a moment when nothing flashes; then uploads."""
        soak = self.soak
        for _ in range(UPLOAD_LOOKS):
            ports = soak.api.json("GET", "/api/ports")
            if ports is not None and not any(t["state"] == "flashing" for t in ports["ports"]):
                break
            soak.watch.wait(0.25)
        else:
            soak.note("uploads not tried (a download always running)")
            return
        if self.rng.random() < 0.2:
            name, body = BAD_IMAGE
            status, data = soak.api.call("POST", "/api/image", body=body, headers={"X-Image-Name": name},
                                         expect=(422,))
            if status == 422 and b"ERROR" not in data:
                soak.breaks.add(6, f"a bad image was refused without the image check's words: {data[:200]!r}")
            soak.note("bad images refused" if status == 422 else "bad images not refused")
            return
        name = self.rng.choice([n for n, _, _ in IMAGES])
        image = soak.images[name]
        status, data = soak.api.call("POST", "/api/image", body=image["bytes"], headers={"X-Image-Name": name},
                                     expect=(200, 422))
        if status == 200:
            taken = json.loads(data)
            if taken.get("name") != name or taken.get("file_crc") != image["crc"]:
                soak.breaks.add(6, f"an upload of {name} (FILE-CRC {image['crc']}) answered {taken}")
            soak.image_now = name
            soak.note("images uploaded")
        elif status == 422:
            soak.note("uploads refused (a download had begun)")

    def check(self):
        """A tile's Check: answered with the figures of that port's line, or refused while a download runs there."""
        soak = self.soak
        ports = soak.api.json("GET", "/api/ports")
        if not ports or not ports["ports"]:
            return
        tile = self.rng.choice(ports["ports"])
        polls = self.rng.randint(CHECK_POLLS_MIN, CHECK_POLLS_MAX)
        status, data = soak.api.call("POST", f"/api/ports/{tile['id']}/doctor", body=f"polls={polls}".encode(),
                                     headers={"Content-Type": "application/x-www-form-urlencoded"}, expect=(200, 409))
        if status == 409:
            soak.note("checks refused (a download ran, or began)")
        if status != 200:
            return
        report = json.loads(data)
        if report.get("port") != tile["port"] or len(report.get("polls", [])) > polls:
            soak.breaks.add(6, f"a check of {tile['port']} with {polls} requests answered {data[:300]!r}")
        soak.note("checks answered" + (" (a unit answered)" if report.get("answered") else " (no unit answered)"))

    def compare(self, shown):
        """The history the API shows is the one on file: each row it shows complete is there, with the same values."""
        on_file = {r["id"]: r for r in read_history(f"{self.soak.data}/history.sqlite3")}
        keys = ("started", "ended", "port", "outcome", "state", "unit_crc", "file_crc", "image_name", "transcript")
        for row in shown:
            kept = on_file.get(row["id"])
            if row["ended"] is not None and (kept is None or any(kept[k] != row[k] for k in keys)):
                self.soak.breaks.add(6, f"GET /api/history shows row {row['id']} as {[row[k] for k in keys]}, the "
                                        f"file holds {[kept[k] for k in keys] if kept else 'no such row'}")
                return
        self.soak.note("history answers compared with the file")

    def manual_period(self):
        soak = self.soak
        soak.set_manual(True)
        soak.note("manual periods")
        end = time.monotonic() + self.rng.uniform(3, 12)
        if self.rng.random() < 0.5:
            soak.time_up.wait(self.rng.uniform(1, 4))
            answer = soak.api.json("POST", "/api/start")
            if answer is not None:
                soak.note("'Flash all waiting' pressed")
                soak.note("units started by 'Flash all waiting'", answer.get("started", 0))
        soak.time_up.wait(max(0.0, end - time.monotonic()))
        soak.set_manual(False)

    def read(self):
        soak = self.soak
        day = utc_day(time.time())
        choice = self.rng.choice(["history", "csv", "counts", "page", "ports"])
        if choice == "history":
            shown = soak.api.json("GET", f"/api/history?day={day}")
            if shown is not None:
                self.compare(shown)
        elif choice == "csv":
            status, data = soak.api.call("GET", f"/api/history.csv?day={day}")
            if status == 200 and not data.startswith(b"id,started,ended,port"):
                soak.breaks.add(6, f"GET /api/history.csv: no header line: {data[:100]!r}")
        elif choice == "counts":
            soak.api.json("GET", "/api/counts")
        elif choice == "page":
            soak.api.call("GET", "/")
        else:
            soak.api.json("GET", "/api/ports")


class Sampler(threading.Thread):
    """The station's memory (VmRSS), open descriptors and threads every few seconds, against bounds set at the end of
    the warm-up."""

    def __init__(self, soak, warmup_s):
        super().__init__(daemon=True)
        self.soak, self.warmup_s, self.over = soak, warmup_s, Counter()
        self.fd_slack = FD_SLACK_FIXED + FD_SLACK_PER_PORT * soak.ports_run

    def sample(self):
        pid = self.soak.station.pid
        try:
            status = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status") if ":" in line)
            return {"t": time.monotonic() - self.soak.started, "rss_kb": int(status["VmRSS"].split()[0]),
                    "threads": int(status["Threads"]), "fds": len(os.listdir(f"/proc/{pid}/fd"))}
        except (OSError, KeyError, ValueError):
            return None

    def limits(self):
        b = self.soak.baseline
        return {"rss_kb": int(b["rss_kb"] * RSS_GROWTH + RSS_SLACK_KB), "fds": b["fds"] + self.fd_slack,
                "threads": b["threads"] + THREAD_SLACK}

    def run(self):
        soak = self.soak
        while not soak.stopping:
            s = self.sample()
            if s is not None:
                soak.samples.append(s)
                with open(f"{soak.work}/station-resources.csv", "a") as f:
                    f.write(f"{s['t']:.0f},{s['rss_kb']},{s['fds']},{s['threads']}\n")
                if soak.baseline is None and s["t"] >= self.warmup_s:
                    soak.baseline = s
                elif soak.baseline is not None:
                    for key, limit in self.limits().items():
                        if s[key] > limit:
                            self.over[key] += 1
                            if self.over[key] == 1:
                                soak.breaks.add(5, f"{key} {s[key]} at {s['t']:.0f} s, above its bound {limit} "
                                                   f"(after the warm-up: {soak.baseline[key]})")
            time.sleep(SAMPLE_PERIOD_S)  # the sampling period


class PortDriver(threading.Thread):
    """One port: unit after unit plugged in on the port's link, driven as its plan says, unplugged once the station
    shows its end, then checked."""

    def __init__(self, soak, port):
        super().__init__(daemon=True)
        self.soak, self.port = soak, port
        self.link = f"{soak.work}/port{port}"
        self.units, self.current, self.last_device = [], None, None
        self.first_device, self.keeper = None, None
        self.k = soak.args.first_unit
        self.final_ready = threading.Event()
        self.final_unit = None

    # --- plans -----------------------------------------------------------------------------------------------------
    def plan(self, k):
        rng = random.Random(f"{self.soak.args.seed}:port{self.port}:unit{k}")
        kind = rng.choices(list(KINDS), list(KINDS.values()))[0]
        plan = {"kind": kind, "options": [], "new_device": rng.random() < NEW_DEVICE_P,
                "think": rng.uniform(0.1, 2.0), "hold": rng.uniform(0, 2), "seed": rng.getrandbits(32),
                "start_all": rng.random() < 0.3}
        if kind == "faulty":
            mix = {name: rng.uniform(0, limit) for name, limit in MIX_LIMITS.items()}
            plan["options"] = ["--faults", ",".join(f"{n}={v:.5f}" for n, v in mix.items())]
            plan["retries"] = rng.choice([0, 1, 2])
        elif kind == "gives_up":
            plan["options"] = ["--busy-forever", "erase"]      # erasing is waited for 50 polls: state 3
            plan["retries"] = rng.choice([0, 1])
        elif kind == "times_out":
            plan["options"] = ["--busy-forever", rng.choice(["write", "verify"])]  # waited for without a limit
        elif kind == "flagged":
            plan["options"] = ["--flagged"]
            plan["retries"] = rng.choice([0, 1])
        elif kind == "not_ready":
            plan["options"] = ["--never-disable"]
            plan["flash"] = rng.random() < 0.6
        elif kind == "pulled_mid":
            if rng.random() < 0.5:
                plan["vanish_fraction"] = rng.random()   # the line goes at this fraction of the download's frames
            else:
                plan["pull_fraction"] = rng.random()     # SIGTERM once this fraction of the blocks is done
                plan["options"] = ["--delay-ms", str(rng.randint(10, 30))]
        elif kind == "pulled_at_pass":
            if rng.random() < 0.5:
                plan["vanish_last"] = True   # answers its final Disable, and its line goes at the frame after
            else:
                plan["pull_passed"] = True   # SIGTERM the moment its tile turns passed
        elif kind == "slow":
            plan["options"] = ["--delay-ms", str(rng.randint(5, 30)),
                               "--faults", f"noise={rng.uniform(0, 0.1):.5f},busy={rng.uniform(0, 0.3):.5f}"]
        return plan

    def final_plan(self):
        rng = random.Random(f"{self.soak.args.seed}:port{self.port}:final")
        if rng.random() >= FINAL_UNIT_P:
            return None
        return {"kind": "stopped_mid", "options": ["--delay-ms", str(rng.randint(60, 120))],
                "new_device": rng.random() < NEW_DEVICE_P, "think": 0, "hold": 0, "seed": rng.getrandbits(32)}

    # --- plugging --------------------------------------------------------------------------------------------------
    @staticmethod
    def hold_device(device):
        """Ptys opened until `device` is among them (or a later one, when another holds it): so held, a unit started
        now gets another device."""
        held = []
        if not device or not device.rsplit("/", 1)[-1].isdigit():
            return held
        old = int(device.rsplit("/", 1)[-1])
        for _ in range(PLACEHOLDERS_MAX):
            master, slave = os.openpty()
            held.append((master, slave, os.ttyname(slave)))
            name = held[-1][2].rsplit("/", 1)[-1]
            if not name.isdigit() or int(name) >= old:
                break
        return held

    def keep_first_device(self):
        """The device the station found behind the port's link at its start stays the soak's until the end: a
        station that kept opening it would reach no other program's pty."""
        if self.first_device is None:
            self.first_device = self.last_device
        if self.first_device and self.keeper is None:  # tried again until the station lets it go
            for master, slave, name in self.hold_device(self.first_device):
                if name == self.first_device:
                    self.keeper = (master, slave)
                else:
                    os.close(master)
                    os.close(slave)

    def release_first_device(self):
        if self.keeper:
            os.close(self.keeper[0])
            os.close(self.keeper[1])
            self.keeper = None

    def plug(self, plan, k):
        soak = self.soak
        unit = Unit(self.port, k, plan, soak.work)
        unit.image = soak.image_now
        last = soak.images[unit.image]["last_frame"]
        if "vanish_fraction" in plan:
            unit.options += ["--vanish-after", str(1 + int(plan["vanish_fraction"] * (last - 1)))]
        if plan.get("vanish_last"):
            unit.options += ["--vanish-after", str(last)]
        self.keep_first_device()
        held = self.hold_device(self.last_device) if plan["new_device"] else []
        unit.t_plug = time.time()
        try:
            unit.proc = subprocess.Popen([f"{soak.bin}/virtual-unit", "--link", self.link, "--transcript",
                                          unit.transcript, "--memory-out", unit.memory, "--seed", str(plan["seed"]),
                                          *unit.options], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            unit.device = unit.proc.stdout.readline().strip()
            while unit.proc.stdout.readline().strip() != "READY":
                if unit.proc.poll() is not None:
                    raise RuntimeError(f"the virtual unit {' '.join(unit.options)} did not start")
        finally:
            for master, slave, _ in held:
                os.close(master)
                os.close(slave)
        soak.note("units plugged in")
        if self.last_device:
            soak.note("plugged in again on another device" if unit.device != self.last_device
                      else "plugged in again on the same device")
        with soak.lock:
            soak.units.append(unit)
        self.units.append(unit)
        self.current = unit
        return unit

    def unplug(self, unit, pulled=None):
        if unit.proc.poll() is None:
            unit.t_kill = time.time()
            unit.pulled = pulled
            unit.proc.send_signal(signal.SIGTERM)
            try:
                unit.proc.wait(UNIT_STOP_S)
            except subprocess.TimeoutExpired:
                unit.proc.kill()
                unit.proc.wait()
        else:
            self.soak.note("lines that vanished")
        if pulled:
            self.soak.note(f"units pulled {pulled}")
        unit.t_gone = time.time()
        unit.proc.stdout.close()
        self.last_device = unit.device
        self.keep_first_device()
        self.current = None

    # --- what the station shows ------------------------------------------------------------------------------------
    def tile(self):
        ports = self.soak.api.json("GET", "/api/ports")
        if ports is None:
            return None
        for t in ports["ports"]:
            if t["port"] == self.link:
                return t
        self.soak.breaks.add(6, f"GET /api/ports has no tile for {self.link}")
        return None

    def tile_state(self):
        tile = self.tile()
        return tile["state"] if tile else None

    def rows(self, unit):
        """The port's rows begun since the unit was plugged in (its own: the unit before it is unplugged first), read
        from the SQLite file: the API's history answers the whole day, which grows all along the soak, and the
        station's memory is measured under a load that does not."""
        since = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(unit.t_plug)) + f".{int(unit.t_plug % 1 * 1000):03d}Z"
        try:
            rows = read_history(f"{self.soak.data}/history.sqlite3", "WHERE port = ? AND started >= ?",
                                (self.link, since))
        except sqlite3.Error as e:
            self.soak.breaks.add(1, f"the history cannot be read: {e}")
            return None
        return [r for r in rows if utc_seconds(r["started"]) >= unit.t_plug - 0.001]

    def until(self, what, check, seconds):
        """Polls `check` until it returns something true; None after `seconds`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            value = check()
            if value:
                return value
            self.soak.watch.wait(0.25)
        return None

    def press(self, unit, what):
        soak = self.soak
        tile = self.tile()
        if tile is None:
            return False
        if what == "start-all":
            answer = soak.api.json("POST", "/api/start")
            soak.note("'Flash all waiting' pressed")
            started = answer is not None and answer.get("started", 0) > 0
            if started:
                soak.note("units started by 'Flash all waiting'", answer["started"])
        else:
            status, _ = soak.api.call("POST", f"/api/ports/{tile['id']}/{what}", expect=(200, 409))
            soak.note(f"{'Retry' if what == 'retry' else 'Flash'} pressed" + ("" if status == 200 else " (refused)"))
            started = status == 200
        return started

    # --- one unit --------------------------------------------------------------------------------------------------
    def drive(self, unit):
        """Until the unit's downloads have ended and its tile shows the end (or the unit is gone)."""
        soak, plan = self.soak, unit.plan
        received = lambda: any(kind_of(line) == "IN" for line in unit.lines())  # noqa: E731
        if not self.until("the first poll", lambda: received() or not unit.alive(), REACH_S):
            soak.breaks.add(1, f"the station did not poll the unit within {REACH_S} s of its plugging in "
                               f"(its device {unit.device}, behind {self.link})", unit)
            return
        deadline = time.monotonic() + download_bound_s(len(soak.images[unit.image]["bytes"])) + UNIT_SLACK_S
        min_rows, flashed_not_ready, since = 0, False, None
        pull_block = None
        while True:
            if soak.stopping:
                return
            if time.monotonic() > deadline:
                soak.breaks.add(1, f"its downloads did not end within the station's bound plus {UNIT_SLACK_S} s", unit)
                return
            if not unit.alive():
                return
            if plan.get("pull_passed") and soak.watch.state(self.link) == "passed":
                return self.unplug(unit, "the moment its tile turned passed")
            tile = self.tile()
            if tile is None:
                soak.watch.wait(0.25)
                continue
            state = tile["state"]
            if plan.get("pull_passed") and state == "passed":
                return self.unplug(unit, "the moment its tile turned passed")
            if state == "flashing":
                since = None
                if "pull_fraction" in plan and tile["blocks_total"]:
                    pull_block = pull_block or max(1, round(plan["pull_fraction"] * tile["blocks_total"]))
                    if tile["blocks_done"] >= pull_block:
                        return self.unplug(unit, "mid-download")
                soak.watch.wait(0.25)
                continue
            rows = self.rows(unit)
            if rows is None or any(r["ended"] is None for r in rows) or len(rows) < min_rows:
                soak.watch.wait(0.25)
                continue
            if state == "ready":
                time.sleep(plan["think"])  # the operator's reaction
                # "Flash all waiting" may start the units of other ports only: the tile then stays ready, and is
                # pressed again. A unit started by it (or by the operator's) is the one download the station may
                # start for a unit unasked.
                if plan.get("start_all"):
                    self.press(unit, "start-all")
                elif self.press(unit, "start"):
                    unit.accepted += 1
                    min_rows = len(rows) + 1
                continue
            if state == "not_ready":
                if plan.get("flash") and not flashed_not_ready:
                    flashed_not_ready = True
                    time.sleep(plan["think"])  # the operator's reaction
                    if self.press(unit, "start"):
                        unit.accepted += 1
                        min_rows = len(rows) + 1
                    continue
                since = since or time.monotonic()
                if time.monotonic() - since > NOT_READY_HOLD_S:
                    return
                soak.watch.wait(0.25)
                continue
            if state in END_STATES and rows:
                if state == "failed" and unit.retries_left > 0:
                    unit.retries_left -= 1
                    time.sleep(plan["think"])  # the operator's reaction
                    if self.press(unit, "retry"):
                        unit.accepted += 1
                        min_rows = len(rows) + 1
                    continue
                time.sleep(plan["hold"])  # the unit is taken out a moment later
                return
            if rows and state in GONE_STATES:
                return  # the station saw its line go (while the unit still runs: the checks say so)
            # No download of its own yet: a unit answering Disable in automatic mode must be flashed.
            auto = soak.automatic_since()
            answered = any(kind_of(line) == "OUT" and hex_of(line) == DISABLE for line in unit.lines())
            if auto is not None and answered and not rows and time.time() - max(auto, unit.t_plug) > DOWNLOAD_BEGIN_S:
                soak.breaks.add(1, f"it answered Disable in automatic mode, yet no download began within "
                                   f"{DOWNLOAD_BEGIN_S} s (tile {state}: {tile['status']})", unit)
                return
            since = since or time.monotonic()
            if state in END_STATES and time.monotonic() - since > DOWNLOAD_BEGIN_S:
                soak.breaks.add(1, f"its tile shows {state} with no download of its own on record", unit)
                return
            soak.watch.wait(0.25)

    def after_gone(self, unit):
        """Once the unit is gone: its tile leaves flashing and shows it gone, and its rows are completed."""
        soak = self.soak
        settle = TILE_LEAVES_FLASHING_POLLS * POLL_PERIOD_S + SETTLE_SLACK_S
        if not self.until("the tile to leave flashing", lambda: self.tile_state() not in (None, "flashing"), settle):
            soak.breaks.add(4, f"its tile still shows flashing {settle:.0f} s after the unit was gone", unit)
        elif not self.until("the tile to show the unit gone", lambda: self.tile_state() in GONE_STATES,
                            UNPLUG_SEEN_S):
            soak.breaks.add(4, f"its tile does not show it gone {UNPLUG_SEEN_S} s after it was unplugged "
                               f"(shows {(self.tile() or {}).get('state')})", unit)
        ended = self.until("its rows to end", lambda: self.rows_ended(unit), ROW_END_S)
        if ended is None:
            soak.breaks.add(1, f"a row of its downloads stays open {ROW_END_S} s after it was gone", unit)
            unit.rows = self.rows(unit) or []
        else:
            unit.rows = ended[1]

    def rows_ended(self, unit):
        """("ended", rows) once every row of the unit's is complete."""
        rows = self.rows(unit)
        if rows is None or any(r["ended"] is None for r in rows):
            return None
        return "ended", rows

    def run(self):
        soak = self.soak
        try:
            while not soak.time_up.is_set() and not soak.stopping:
                if soak.args.units is not None and self.k >= soak.args.first_unit + soak.args.units:
                    break
                if self.current is None:
                    plan = self.plan(self.k)
                    if (soak.args.units is None and plan["kind"] in SLOW_KINDS
                            and soak.remaining() < download_bound_s(len(soak.images[soak.image_now]["bytes"]))):
                        soak.note("units passed over (would outlast the soak)")
                        self.k += 1
                        continue
                    self.plug(plan, self.k)
                unit = self.current
                self.k += 1
                self.drive(unit)
                self.unplug(unit)  # or, when its line vanished, reaped
                self.after_gone(unit)
                check_unit(soak, unit, unit.rows)
            self.final()
        except Exception:
            soak.breaks.add(0, f"port {self.port}'s driver failed:\n" + traceback.format_exc())
        finally:
            self.final_ready.set()

    def final(self):
        """A slow unit mid-download when the station is stopped, on most ports."""
        plan = self.final_plan()
        if plan is None or self.soak.stopping:
            return
        unit = self.plug(plan, self.k)
        self.final_unit = unit
        self.until("the last unit to be flashing",
                   lambda: not unit.alive() or self.tile_state() in ("flashing",) + END_STATES,
                   REACH_S + DOWNLOAD_BEGIN_S)


def check_unit(soak, unit, rows):
    """Invariants 1 to 3 for one unit once it is gone and its rows are complete: rows from the API while the soak runs,
    from the SQLite file after the station's stop."""
    problems = []
    rows = sorted(rows, key=lambda r: r["id"])
    lines = unit.lines()
    memory = b""
    if os.path.exists(unit.memory):
        with open(unit.memory, "rb") as f:
            memory = f.read()
    for r in rows:
        if r["ended"] is None:
            problems.append((1, f"row {r['id']} stays open"))
    if not unit.accepted <= len(rows) <= unit.accepted + 1:
        problems.append((1, f"{len(rows)} row(s), yet the station took {unit.accepted} start(s) or retries for it "
                            f"(and starts one download by itself)"))
    garbled = [line for line in lines if kind_of(line) in ("BAD", "DROP")]
    if garbled:
        problems.append((1, f"it received garbled frames from the station: {garbled[0][:80]}"))
    unit_in = [(i, hex_of(line)) for i, line in enumerate(lines) if kind_of(line) == "IN"]
    sent = []
    with soak.lock:
        for r in rows:
            owner = soak.transcript_owner.setdefault(r["transcript"], r["id"])
            if owner != r["id"]:
                problems.append((1, f"rows {owner} and {r['id']} name the same transcript {r['transcript']}"))
    for r in rows:
        path = os.path.join(soak.data, r["transcript"])
        if r.get("device") and r["device"] != unit.device:
            problems.append((1, f"row {r['id']} names the device {r['device']}, not the unit's"))
        if r.get("transcript_pruned"):
            soak.note("downloads whose transcript the station had pruned")
            sent.append(None)
            continue
        sent.append(station_sent(path) if os.path.exists(path) else None)
        if sent[-1] is None:
            problems.append((1, f"row {r['id']}'s transcript {r['transcript']} does not exist"))
    spans = None
    if rows and None not in sent:
        spans, why = align(unit_in, sent)
        if spans is None:
            problems.append((1, why))
        else:
            soak.note("downloads found frame for frame in their unit's transcript", len(rows))
    elif not rows:
        stray = [h for _, h in unit_in if h != POLL]
        if stray:
            problems.append((1, f"the unit received {len(stray)} command(s), yet no row is on record for it"))
    for i, r in enumerate(rows):
        if r["ended"] is None:
            continue
        last = i == len(rows) - 1
        seg = segment(lines, unit_in, spans[i]) if spans else None
        if seg is not None and last and all(h == POLL for h in sent[i]) and spans[i][0] < len(unit_in):
            # Polls alone cannot be told from the idle polls around them: the line may have gone at any later one.
            seg = lines[unit_in[spans[i][0]][0]:]
        image = soak.images.get(r["image_name"])
        outcome, state = r["outcome"], r["state"]
        label = f"row {r['id']} ({outcome_label(r)})"
        if image is None or r["file_crc"] != image["crc"]:
            problems.append((2, f"{label} names image {r['image_name']} with FILE-CRC {r['file_crc']}, not one the "
                                f"soak gave"))
            continue
        pulled_here = last and unit.t_kill is not None and utc_seconds(r["ended"]) >= unit.t_kill - 0.001
        vanished = seg is not None and any(line.split()[1:3] == ["FAULT", "vanish"] for line in seg)
        # 2: succeeded exactly when the unit passed, with the row's image in its memory.
        passed = unit_passed(seg) if seg is not None else None
        flagged_unit = "--flagged" in unit.options
        if passed and not flagged_unit:
            soak.note("downloads the unit passed (answered its final Disable)")
            if vanished or pulled_here:
                soak.note("downloads the unit passed just before its line went")
        if outcome == "succeeded":
            if r["unit_crc"] != r["file_crc"]:
                problems.append((2, f"{label}: the unit's CRC {r['unit_crc']} is not the file's {r['file_crc']}"))
            if last and memory[:len(image["bytes"])] != image["bytes"]:
                problems.append((2, f"{label}, but the unit's memory does not hold {r['image_name']}"))
            if flagged_unit:
                problems.append((2, f"{label}, but the unit flags every result"))
            if passed is False:
                problems.append((2, f"{label}, but the unit never answered a final Disable after its result"))
        elif passed and not flagged_unit:
            said = (f"{label}, but the unit had passed: it answered its final Disable after its good result was "
                    f"acknowledged")
            if vanished or pulled_here:  # a unit pulled once it passed is a success
                how = f"pulled {unit.pulled}" if pulled_here else "its line vanished at the frame after"
                problems.append((3, f"{said}; then {how}"))
            else:
                problems.append((2, said))
            continue
        if outcome == "succeeded" or seg is None:
            continue
        # 3: the state a failed row names is one the unit's transcript allows.
        if outcome == "flagged":
            acked = any(kind_of(line) == "IN" and line.split()[4] == ACK_CODE for line in seg)
            if not flagged_unit or state is not None or not acked:
                problems.append((3, f"{label}: a flagged result from a unit that "
                                    f"{'flags' if flagged_unit else 'never flags'} its results"))
            continue
        gone = vanished or pulled_here
        if outcome == "port_gone" and not gone:
            problems.append((3, f"{label}, but the unit's line never went during that download"))
        allowed = allowed_states(seg + (["0 FAULT vanish"] if pulled_here else []), len(image["bytes"]))
        if state is None:
            if not (outcome == "port_failed" and gone):
                problems.append((3, f"{label} names no state"))
        elif state not in allowed:
            problems.append((3, f"{label}: the unit's transcript allows states {sorted(allowed)}"))
    for invariant, text in problems:
        soak.breaks.add(invariant, text, unit)
    soak.note("units checked")
    if not problems and not soak.args.keep:
        for path in (unit.transcript, unit.memory):
            if os.path.exists(path):
                os.remove(path)
    return problems


def outcome_label(row):
    return str(row["outcome"]) if row["state"] is None else f"{row['outcome']} in state {row['state']}"


def read_history(path, where="", values=()):
    """Rows of the station's history, read-only (the station writes it in WAL mode: a reader never holds it up)."""
    connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=API_TIMEOUT_S)
    connection.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in connection.execute(f"SELECT * FROM downloads {where} ORDER BY id", values)]
    finally:
        connection.close()


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder) for f in files)


def start_station(soak, links):
    soak.api = Api(soak, UnitLab.free_port())
    log = open(f"{soak.work}/station.log", "w")
    station = subprocess.Popen([f"{soak.bin}/qbv-station", "--image", soak.images[IMAGES[0][0]]["path"],
                                "--data", soak.data, "--listen", f"127.0.0.1:{soak.api.port}",
                                "--stop-grace", str(STOP_GRACE_S),
                                *sum((["--port", link] for link in links), [])],
                               stdout=subprocess.PIPE, stderr=log, text=True)
    log.close()
    soak.station = station
    line = station.stdout.readline()
    if f"127.0.0.1:{soak.api.port}" not in line:
        sys.exit(f"the station did not start: {line!r}; see {soak.work}/station.log")
    return station


def stop_station(soak):
    """SIGTERM: exit code 0 within the bound; the seconds it took."""
    station = soak.station
    soak.stopping = True
    t0 = time.monotonic()
    station.send_signal(signal.SIGTERM)
    try:
        code = station.wait(STOP_BOUND_S)
    except subprocess.TimeoutExpired:
        soak.breaks.add(7, f"the station still runs {STOP_BOUND_S} s after SIGTERM; killed")
        station.kill()
        code = station.wait()
    seconds = time.monotonic() - t0
    if code != 0:
        soak.breaks.add(7, f"the station exited with code {code} after SIGTERM (see station.log)")
    station.stdout.close()
    return seconds


def summary(soak, rows, stop_seconds, warmup_s):
    a = soak.args
    print(f"\nstation soak: {a.minutes:g} minutes, {soak.ports_run} port(s), seed {a.seed}"
          + (f", port {a.only_port} alone" if a.only_port else "")
          + f"; {time.monotonic() - soak.started:.0f} s in all\n")
    def table(title, column, counts, order=None, total=None):
        print(f"\n| {title} | {column} |\n|---|---|")
        for name, n in sorted(counts.items(), key=order):
            print(f"| {name} | {n} |")
        if total is not None:
            print(f"| all | {total} |")
    table("downloads by outcome", "rows", Counter(outcome_label(r) for r in rows),
          order=lambda item: (item[0] != "succeeded", str(item[0])), total=len(rows))
    table("units by what they played", "units", Counter(u.kind for u in soak.units), total=len(soak.units))
    table("the soak's doings", "count", soak.counts)
    calls = soak.api.calls
    table("API calls (route, answer)", "calls", calls,
          total=f"{sum(calls.values())} (unanswered: {soak.api.unanswered})")
    table("page connections", "count", soak.pages)
    for name, n in sorted(soak.watch.events.items()):
        print(f"| {name} events read by the watching page | {n} |")
    b = soak.baseline
    end = soak.samples[-1] if soak.samples else None
    peak = {k: max((s[k] for s in soak.samples if b and s["t"] >= b["t"]), default=None)
            for k in ("rss_kb", "fds", "threads")}
    print(f"\n| the station | after the warm-up ({warmup_s:.0f} s) | at the end | highest after the warm-up | bound |")
    print("|---|---|---|---|---|")
    limits = Sampler(soak, warmup_s).limits() if b else {}
    for key, name in (("rss_kb", "memory (VmRSS, KB)"), ("fds", "open descriptors"), ("threads", "threads")):
        print(f"| {name} | {b[key] if b else '-'} | {end[key] if end else '-'} | {peak[key] or '-'} | "
              f"{limits.get(key, '-')} |")
    data = soak.data
    db = sum(os.path.getsize(f"{data}/{n}") for n in os.listdir(data) if n.startswith("history.sqlite3"))
    transcripts = folder_bytes(f"{data}/transcripts") if os.path.isdir(f"{data}/transcripts") else 0
    print(f"\nhistory on disk: {len(rows)} rows, {db / 1024:.0f} KiB of SQLite, {transcripts / 1024:.0f} KiB of "
          f"transcripts; stopped by SIGTERM in {stop_seconds:.1f} s")
    print("\n| invariant | breaks |\n|---|---|")
    for n, text in INVARIANTS.items():
        print(f"| {n}. {text} | {len(soak.breaks.found.get(n, []))} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10, help="how long units are plugged in (default 10)")
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--ports", type=int, default=4)
    parser.add_argument("--only-port", type=int, help="run this one port of the seed's (1..PORTS) alone")
    parser.add_argument("--first-unit", type=int, default=0, help="begin each port with this unit of the seed's")
    parser.add_argument("--units", type=int, help="at most this many units a port")
    parser.add_argument("--keep", action="store_true", help="keep every unit's transcript and the work folder")
    parser.add_argument("--bin", default="build/release/bin")
    args = parser.parse_args()
    work = f"/tmp/qbv-station-soak-{os.getpid()}"
    os.makedirs(f"{work}/bin")
    os.makedirs(f"{work}/units")
    for program in ("qbv-station", "virtual-unit", "make-sample-image", "qbv-flash"):  # a rebuild changes nothing
        shutil.copy2(f"{args.bin}/{program}", f"{work}/bin/")
    soak = Soak(args, work)
    ports = [args.only_port] if args.only_port else list(range(1, args.ports + 1))
    soak.ports_run = len(ports)
    soak.make_images()
    warmup_s = min(WARMUP_MAX_S, args.minutes * 60 / 4)
    drivers = [PortDriver(soak, p) for p in ports]
    code = 1
    try:
        # Each port's first unit is there before the station starts: its link names a device when the station reads it.
        for d in drivers:
            d.plug(d.plan(d.k), d.k)
        start_station(soak, [d.link for d in drivers])
        soak.watch = Watcher(soak)
        soak.watch.start()
        helpers = [Page(soak, i) for i in range(PAGES)] + [Operator(soak), Sampler(soak, warmup_s)]
        for thread in helpers + drivers:
            thread.start()
        next_progress = time.monotonic() + PROGRESS_PERIOD_S
        while not all(d.final_ready.is_set() for d in drivers):
            if soak.remaining() <= 0:
                soak.time_up.set()
            if soak.station.poll() is not None:
                soak.breaks.add(7, f"the station ended by itself with code {soak.station.returncode}")
                soak.stopping = True
                soak.time_up.set()
                break
            if time.monotonic() >= next_progress:
                next_progress += PROGRESS_PERIOD_S
                s = soak.samples[-1] if soak.samples else {}
                print(f"[{time.monotonic() - soak.started:5.0f} s] units {len(soak.units)}, checked "
                      f"{soak.counts['units checked']}, API calls {sum(soak.api.calls.values())}, memory "
                      f"{s.get('rss_kb')} KB, descriptors {s.get('fds')}, threads {s.get('threads')}, breaks "
                      f"{soak.breaks.count()}", flush=True)
            time.sleep(0.2)  # the main thread's pace
        soak.time_up.set()
        stop_seconds = stop_station(soak) if soak.station.poll() is None else 0.0
        for d in drivers:
            d.join(UNIT_STOP_S)
        # The units still plugged in (the last, slow ones) are unplugged once the station has stopped.
        last_units = [d.current for d in drivers if d.current is not None]
        for d in drivers:
            if d.current is not None:
                d.unplug(d.current)
        rows = read_history(f"{soak.data}/history.sqlite3")
        open_rows = [r for r in rows if r["ended"] is None]
        if open_rows:
            soak.breaks.add(7, f"{len(open_rows)} row(s) open after the station's stop: ids "
                               f"{[r['id'] for r in open_rows][:10]}")
        reconcile(soak, rows, last_units)
        summary(soak, rows, stop_seconds, warmup_s)
        broken = soak.breaks.count()
        print(f"\nbreaks: {broken}" + ("" if not broken else f"; the work folder is kept: {work}"))
        code = 1 if broken else 0
    finally:
        soak.stopping = True
        soak.time_up.set()
        if soak.station is not None and soak.station.poll() is None:
            soak.station.kill()
            soak.station.wait()
        for unit in soak.units:
            if unit.proc is not None and unit.proc.poll() is None:
                unit.proc.kill()
                unit.proc.wait()
        for d in drivers:
            d.release_first_device()
    if code == 0 and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return code


def reconcile(soak, rows, last_units):
    """After the stop: the last units are checked against the SQLite file; every row on record belongs to the unit
    plugged in on its port when it began, and the rows checked while the soak ran are unchanged."""
    by_port = defaultdict(list)
    for unit in soak.units:
        by_port[f"{soak.work}/port{unit.port}"].append(unit)
    owned = defaultdict(list)
    for r in rows:
        units = by_port.get(r["port"], [])
        started = utc_seconds(r["started"])
        owner = None
        for unit in units:
            if unit.t_plug <= started:
                owner = unit
        if owner is None:
            soak.breaks.add(1, f"row {r['id']} ({r['port']}, {r['started']}) belongs to no unit the soak plugged in")
            continue
        owned[id(owner)].append(r)
    for unit in last_units:
        check_unit(soak, unit, owned[id(unit)])
    for unit in soak.units:
        if unit in last_units or unit.rows is None:
            continue
        seen = {r["id"]: (r["outcome"], r["state"], r["ended"]) for r in unit.rows}
        now = {r["id"]: (r["outcome"], r["state"], r["ended"]) for r in owned[id(unit)]}
        if seen != now:
            soak.breaks.add(1, f"its rows on record {now} are not those the API showed {seen}", unit)


if __name__ == "__main__":
    sys.exit(main())
