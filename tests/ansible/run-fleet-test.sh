#!/usr/bin/env bash
# The fleet role on this one machine: four hosts on the local connection, each with its own virtual units on ptys but
# delta, which has no qbv_ports and a qbv_match that no port matches (ptys are never listed, so no test shows a match).
# alpha has two units (both succeed), beta one unit that gives up while erasing, gamma a wrong expected FILE-CRC.
# Checks the play recap, the failure messages, the summary, the fetched JSON Lines and the units' memories; then a
# check-mode run that must send nothing.
#   run-fleet-test.sh BIN_DIR      (BIN_DIR holds qbv-flash, virtual-unit and make-sample-image)
set -u
BIN="$(cd "$1" && pwd)"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
IMAGE_BYTES=5000
work="$(mktemp -d /tmp/qbv-fleet-XXXXXX)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

"$BIN/make-sample-image" "$work/firmware.bin" $IMAGE_BYTES 11 >/dev/null || exit 1
crc="$("$BIN/qbv-flash" --check "$work/firmware.bin" | sed -n 's/^FILE-CRC://p')"

# unit NAME [OPTION...]: a virtual unit with its link, transcript and memory in the work folder.
unit() {
    local name="$1"
    shift
    "$BIN/virtual-unit" --link "$work/$name" --transcript "$work/$name.transcript" --memory-out "$work/$name.memory" \
        "$@" >"$work/$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do grep -q '^READY' "$work/$name.out" && return 0; sleep 0.05; done
    echo "unit $name did not start"; exit 1
}
unit a1
unit a2
unit b1 --busy-forever erase
unit g1

cat >"$work/inventory.yml" <<INVENTORY
units:
  vars:
    ansible_connection: local
    ansible_python_interpreter: /usr/bin/python3
    qbv_install: path
    qbv_flash_source: $BIN/qbv-flash
    qbv_expected_file_crc: "$crc"
  hosts:
    alpha: {qbv_ports: ["$work/a1", "$work/a2"], qbv_remote_dir: "$work/alpha"}
    beta: {qbv_ports: ["$work/b1"], qbv_remote_dir: "$work/beta"}
    gamma: {qbv_ports: ["$work/g1"], qbv_remote_dir: "$work/gamma", qbv_expected_file_crc: "0000"}
    delta: {qbv_match: ["0000:0000"], qbv_remote_dir: "$work/delta"}
INVENTORY

play() {
    ANSIBLE_CONFIG="$ROOT/contrib/ansible/ansible.cfg" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0 \
        ANSIBLE_INVENTORY_UNPARSED_WARNING=0 ansible-playbook -i "$work/inventory.yml" \
        "$ROOT/contrib/ansible/playbook.yml" -e "qbv_image=$work/firmware.bin" -e "qbv_results_dir=$work/results" "$@"
}

start=$EPOCHREALTIME
play >"$work/play.log" 2>&1
code=$?
seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
cat "$work/play.log"
[ $code -eq 2 ] || fail "ansible-playbook exited with $code, expected 2 (hosts failed)"
recap() { grep -E "^$1 +: " "$work/play.log" | tr -s ' '; }
recap alpha | grep -q "ok=[0-9]* changed=1 unreachable=0 failed=0" || fail "alpha: $(recap alpha)"
recap beta | grep -q "changed=1 unreachable=0 failed=1" || fail "beta: $(recap beta)"
recap gamma | grep -q "changed=0 unreachable=0 failed=1" || fail "gamma: $(recap gamma)"
recap delta | grep -q "changed=0 unreachable=0 failed=1" || fail "delta: $(recap delta)"
grep -q "fatal: \[beta\]: FAILED! => .*$work/b1: ERROR:Unit is not disabled/connected: Make sure unit is not enabled" \
    "$work/play.log" || fail "beta's failure does not name its unit's outcome"
grep -q "fatal: \[gamma\]: FAILED! => .*the image's FILE-CRC is $crc, expected 0000: nothing was sent" "$work/play.log" ||
    fail "gamma's failure does not name the CRCs"
for line in "alpha  $work/a1  succeeded  CRC:$crc FILE-CRC:$crc  The target file was downloaded successfully" \
            "alpha  $work/a2  succeeded  CRC:$crc FILE-CRC:$crc" "beta  $work/b1  gave_up  CRC:---- FILE-CRC:$crc" \
            "gamma  -  not updated  the image's FILE-CRC is $crc" \
            "delta  -  not updated  no port matches 0000:0000\""; do
    grep -qF "\"$line" "$work/play.log" || fail "no summary line: $line"
done

results=("$work"/results/*/)
[ ${#results[@]} -eq 1 ] || fail "expected one results folder for the run, found ${#results[@]}"
[ "$(grep -c '"event":"done".*"outcome":"succeeded"' "${results[0]}alpha.jsonl" 2>/dev/null)" = 2 ] ||
    fail "alpha's fetched JSON Lines do not hold two successes"
grep -q '"outcome":"gave_up".*"state":3' "${results[0]}beta.jsonl" 2>/dev/null || fail "beta's JSON Lines: no give-up"
for host in gamma delta; do [ -e "${results[0]}$host.jsonl" ] && fail "$host sent nothing, yet has JSON Lines"; done

for pid in "${pids[@]}"; do kill -TERM "$pid"; wait "$pid"; done
pids=()
for name in a1 a2; do
    cmp -s -n $IMAGE_BYTES "$work/$name.memory" "$work/firmware.bin" || fail "the memory of $name differs from the image"
done
grep -q ' IN ' "$work/g1.transcript" && fail "gamma's unit received frames"

# Check mode: only the image check and the port listing; no unit hears anything.
unit a1
play --check --limit alpha >"$work/check.log" 2>&1 || { cat "$work/check.log"; fail "the check-mode run failed"; }
grep -E "^alpha +: " "$work/check.log" | grep -q "changed=0 .*failed=0" || fail "check mode: $(grep -E '^alpha ' "$work/check.log")"
grep -qF "\"alpha  -  checked  FILE-CRC:$crc  ports: $work/a1 $work/a2" "$work/check.log" ||
    { cat "$work/check.log"; fail "check mode: no summary line"; }
grep -q ' IN ' "$work/a1.transcript" && fail "check mode sent frames to a unit"

[ $status -eq 0 ] && echo "ok: fleet of four hosts in $seconds s, and a check-mode run"
exit $status
