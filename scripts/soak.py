#!/usr/bin/env python3
"""Soak: many qbv-flash downloads into virtual units with seeded random fault mixes, each run checked against the
invariants (a success left the image in the unit's memory; a failure names a state its unit's transcript allows and
carries its exit code; every run ends within its bound; nothing is left behind; memory does not grow)."""
import argparse, json, os, random, signal, subprocess, sys, time
from collections import Counter

BLOCK = 246
TIMEOUT_S = 15             # qbv-flash --timeout for every unit
BOUND_SLACK_S = 10         # a run may end this long after its time-out (the exchange under way, the closing)
RSS_GROWTH = 1.25          # the last fifth's mean peak memory may exceed the first fifth's by this factor...
RSS_SLACK_KB = 2048        # ...plus this much
# Each unit's mix: every probability drawn between 0 and its limit here.
MIX_LIMITS = {"drop": 0.03, "corrupt": 0.04, "noise": 0.10, "split": 0.04, "busy": 0.30, "stall": 0.004,
              "vanish": 0.002}
# The only outcomes a unit of the soak may have; "port_gone" exactly when its line vanished before the download ended.
EXIT_OF = {"succeeded": 0, "gave_up": 4, "timed_out": 6, "port_gone": 4}


def allowed_states(transcript, image_bytes):
    """The states a download may have stopped in, from the last command (not a poll) the unit received."""
    last_offset = (image_bytes - 1) // BLOCK * BLOCK
    last, vanished = None, False
    for line in transcript:
        words = line.split()
        if words[1] == "FAULT" and words[2] == "vanish":
            vanished = True
        if words[1] != "IN" or words[4] == "11":
            continue
        code = words[4]
        offset = int("".join(reversed(words[5:9])), 16) if code == "D1" else None
        last = ("D1last" if offset == last_offset else "D1first" if offset == 0 else "D1") if code == "D1" else code
    # 13: between a block's Ready and the next block, passing over blank blocks (a time-out can fall there).
    states = {None: {1}, "D0": {2, 3}, "D1first": {4, 5, 13}, "D1": {5, 6, 13}, "D1last": {7, 8}, "D2": {9, 10},
              "50": {11, 12}}[last]
    if vanished:  # the next command may have gone out to a line that was no longer there
        states |= {None: {2, 3}, "D0": {4, 5, 7, 8}, "D1first": {5, 6, 7, 8}, "D1": {5, 6, 7, 8},
                   "D1last": {8, 9, 10}, "D2": {10, 11, 12}, "50": set()}[last]
    return states


def ended_before_vanishing(transcript):
    """True when the unit had answered Disable after its result was acknowledged (so the download had ended) before
    its line vanished. A reply the unit corrupted or dropped was not heard; a reply split in two is taken as not heard
    either, which errs towards reporting a break."""
    acknowledged, spoiled, ended = False, False, False
    for line in transcript:
        words = line.split()
        if words[1] == "FAULT":
            if words[2] == "vanish":
                return ended
            spoiled = words[2] in ("corrupt", "split")
        elif words[1] == "IN" and words[4] == "50":
            acknowledged = True
        elif words[1] == "OUT":
            ended = ended or (acknowledged and not spoiled and len(words) > 4 and words[4] == "1A")
            spoiled = False
    return ended


def start_unit(bin_dir, path, mix, seed):
    """A virtual unit with its link at `path`."""
    faults = ",".join(f"{k}={v:.5f}" for k, v in mix.items())
    unit = subprocess.Popen([f"{bin_dir}/virtual-unit", "--link", path, "--transcript", path + ".transcript",
                             "--memory-out", path + ".memory", "--faults", faults, "--seed", str(seed)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    while unit.stdout.readline().strip() != "READY":
        if unit.poll() is not None:
            sys.exit(f"virtual unit {path} did not start")
    return unit


def wait_with_usage(pid, limit_s):
    """The process's exit status and its own resource use (peak memory); killed when it outlives `limit_s`."""
    end = time.monotonic() + limit_s
    while True:
        reaped, status, usage = os.wait4(pid, os.WNOHANG)
        if reaped == pid:
            return status, usage
        if time.monotonic() > end:
            os.kill(pid, signal.SIGKILL)
        time.sleep(0.01)


def leftovers(work):
    """What runs may leave behind, counted so that other programs on the machine do not disturb it: the soak's own
    descriptors and child processes (a pty lives exactly as long as the processes that hold it, so no child left means
    no port left open), and files in the temporary folder qbv-flash is given."""
    children = [p for p in os.listdir("/proc")
                if p.isdigit() and os.path.exists(f"/proc/{p}/stat")
                and open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()[1] == str(os.getpid())]
    return {"fds": len(os.listdir("/proc/self/fd")), "children": len(children),
            "temporary files": len(os.listdir(f"{work}/tmp"))}


def one_run(args, run, image, work):
    rng = random.Random(f"{args.seed}:{run}")
    units, ports = [], []
    for k in range(args.units):
        mix = {kind: rng.uniform(0, limit) for kind, limit in MIX_LIMITS.items()}
        path = f"{work}/r{run}-u{k}"
        units.append(start_unit(args.bin, path, mix, rng.getrandbits(32)))
        ports.append(path)
    command = [f"{args.bin}/qbv-flash", "--json", "--timeout", str(TIMEOUT_S)]
    for p in ports:
        command += ["--port", p]
    started = time.monotonic()
    with open(f"{work}/out", "w") as out_file, open(f"{work}/err", "w") as err_file:
        flash = subprocess.Popen(command + [f"{work}/image.bin"], stdout=out_file, stderr=err_file, cwd=f"{work}/tmp",
                                 env=dict(os.environ, TMPDIR=f"{work}/tmp"))
    status, usage = wait_with_usage(flash.pid, TIMEOUT_S + BOUND_SLACK_S + 30)
    seconds = time.monotonic() - started
    returncode, peak_kb = os.waitstatus_to_exitcode(status), usage.ru_maxrss
    out, err = open(f"{work}/out").read(), open(f"{work}/err").read()
    for unit in units:
        if unit.poll() is None:
            unit.send_signal(signal.SIGTERM)
        unit.wait()
        unit.stdout.close()

    problems = []
    done = {e["port"]: e for e in map(json.loads, out.splitlines()) if e["event"] == "done"}
    if seconds > TIMEOUT_S + BOUND_SLACK_S:
        problems.append(f"took {seconds:.1f} s")
    if len(done) != len(ports):
        problems.append(f"{len(done)} results for {len(ports)} units: {err.strip()}")
    if returncode != max([e["exit_code"] for e in done.values()], default=-1):
        problems.append(f"exit code {returncode} is not the highest of the units'")
    for port, e in done.items():
        transcript = open(port + ".transcript").read().splitlines()
        memory = open(port + ".memory", "rb").read() if os.path.exists(port + ".memory") else b""
        vanished = any(" FAULT vanish" in line for line in transcript)
        if EXIT_OF.get(e["outcome"]) != e["exit_code"]:
            problems.append(f"{port}: {e['outcome']} with exit code {e['exit_code']}")
        elif e["outcome"] == "port_gone" and not vanished:
            problems.append(f"{port}: port_gone, but its line stayed")
        elif vanished and (e["outcome"] == "port_gone") == ended_before_vanishing(transcript):
            problems.append(f"{port}: {e['outcome']}, but its line vanished "
                            f"{'after' if ended_before_vanishing(transcript) else 'before'} the download ended")
        elif e["outcome"] == "succeeded":
            if memory[:len(image)] != image or e["unit_crc"] != e["file_crc"]:
                problems.append(f"{port}: reported success, but the unit's memory or CRC differs")
        elif e["state"] not in allowed_states(transcript, len(image)):
            problems.append(f"{port}: {e['outcome']} in state {e['state']}, the transcript allows "
                            f"{sorted(allowed_states(transcript, len(image)))}")
    faults = Counter(line.split()[2] for p in ports for line in open(p + ".transcript") if " FAULT " in line)
    return done.values(), faults, seconds, peak_kb, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--units", type=int, default=4)
    parser.add_argument("--only", type=int, help="replay this one run of the seed")
    parser.add_argument("--image-bytes", type=int, default=1000)
    parser.add_argument("--bin", default="build/release/bin")
    args = parser.parse_args()
    work = f"/tmp/qbv-soak-{os.getpid()}"
    os.makedirs(f"{work}/bin")
    os.makedirs(f"{work}/tmp")
    for program in ("qbv-flash", "virtual-unit", "make-sample-image"):  # a rebuild during the soak changes nothing
        subprocess.run(["cp", f"{args.bin}/{program}", f"{work}/bin/"], check=True)
    args.bin = f"{work}/bin"
    subprocess.run([f"{args.bin}/make-sample-image", f"{work}/image.bin", str(args.image_bytes), "5"],
                   check=True, stdout=subprocess.DEVNULL)
    image = open(f"{work}/image.bin", "rb").read()
    before = leftovers(work)
    runs = [args.only] if args.only is not None else range(args.runs)
    outcomes, faults, retries, failing, peaks, total = Counter(), Counter(), 0, [], [], 0.0
    for run in runs:
        results, run_faults, seconds, peak_kb, problems = one_run(args, run, image, work)
        total += seconds
        peaks.append(peak_kb)
        faults += run_faults
        for e in results:
            outcomes[e["outcome"] if e["outcome"] == "succeeded" else f"{e['outcome']} in state {e['state']}"] += 1
            retries += sum(e["retries"].values())
        after = leftovers(work)
        if after != before:
            problems.append(f"left behind: {after} (before: {before})")
        if problems:
            failing.append(run)
            print(f"run {run}: " + "; ".join(problems))
            print(f"  replay: scripts/soak.sh --seed {args.seed} --units {args.units} --only {run}")
        for name in os.listdir(work):
            if name.startswith(f"r{run}-") and not problems:
                os.remove(os.path.join(work, name))
    fifth = max(1, len(peaks) // 5)
    if len(peaks) >= 10 and sum(peaks[-fifth:]) / fifth > RSS_GROWTH * sum(peaks[:fifth]) / fifth + RSS_SLACK_KB:
        failing.append("memory")
        print(f"memory grew: peak {peaks[0]} KB at first, {peaks[-1]} KB at the end")

    print(f"\nsoak: {len(runs)} runs x {args.units} units, {args.image_bytes}-byte image, seed {args.seed}\n")
    print("| outcome | units |\n|---|---|")
    for name, count in sorted(outcomes.items(), key=lambda item: (item[0] != "succeeded", item[0])):
        print(f"| {name} | {count} |")
    print(f"\nretries used: {retries}; faults injected: " + ", ".join(f"{k} {v}" for k, v in sorted(faults.items())))
    print(f"time: {total:.0f} s in all, {total / len(runs):.2f} s a run; peak memory of qbv-flash: {max(peaks)} KB")
    print(f"runs breaking an invariant: {len(failing)}" + (f" ({failing})" if failing else ""))
    if not failing:
        subprocess.run(["rm", "-rf", work])
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
