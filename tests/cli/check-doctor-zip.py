#!/usr/bin/python3
# A --doctor zip bundle as Python's own zip reader sees it: every member whole (its CRC-32 matches), the first at the
# archive's start, all in qbv-doctor/; report.json is JSON, each port's transcript sends status requests only and
# system.txt names the OS. Exits non-zero naming the first fault; extracts the bundle into FOLDER when given.
#   check-doctor-zip.py ZIP OS [FOLDER]
import json
import sys
import zipfile

STATUS_REQUEST = "FC 05 11 27 56"
path, system = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(path) as bundle:
    members = bundle.infolist()
    broken = bundle.testzip()
    if broken:
        sys.exit(f"{path}: {broken} is damaged")
    if min(m.header_offset for m in members) != 0:
        sys.exit(f"{path}: the offsets are shifted (the central directory is not where the end record says)")
    names = [m.filename for m in members]
    if not all(n.startswith("qbv-doctor/") for n in names):
        sys.exit(f"{path}: members outside qbv-doctor/: {names}")
    json.loads(bundle.read("qbv-doctor/report.json"))
    transcripts = [n for n in names if n.startswith("qbv-doctor/frames-")]
    for name in transcripts:
        sent = [line.split("  ")[0].split(" ", 2)[2] for line in bundle.read(name).decode().splitlines()
                if line.split(" ")[1:2] == ["TX"]]
        if not sent or set(sent) != {STATUS_REQUEST}:
            sys.exit(f"{path}: {name} sends {sorted(set(sent))}, not status requests only")
    facts = bundle.read("qbv-doctor/system.txt").decode()
    if not transcripts or not facts.startswith(f"os {system}\n"):
        sys.exit(f"{path}: no transcript, or system.txt does not begin with os {system}: {facts!r}")
    if len(sys.argv) > 3:
        bundle.extractall(sys.argv[3])
