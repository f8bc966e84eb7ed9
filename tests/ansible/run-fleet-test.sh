#!/usr/bin/env bash
# The fleet role on this one machine: five hosts on the local connection, each with its own virtual units on ptys but
# delta, which has no qbv_ports and a qbv_match that no port matches (ptys are never listed, so no test shows a match).
# The image is a signed release: a release key made here with minisign signs it, and the role is given two keys, another
# one and the release key, as while keys are rotated.
# alpha has two units (both succeed), beta one unit that gives up while erasing, gamma a wrong expected FILE-CRC, and
# epsilon is given a copy that differs from the release the controller verified (its qbv_image is another file), which
# its qbv-flash must refuse.
# First a run whose signature is by another key than the one release key given: refused on the controller, nothing
# reaches any host. Then the update: checks the play recap, the failure messages, the summary, the fetched JSON Lines
# and the units' memories; then a check-mode run without a release key that must send nothing.
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
sha="$(sha256sum "$work/firmware.bin" | cut -d' ' -f1)"

# The release key and another one; the release signed by each (the release key's signature beside the image).
comment="release 11 of the fleet test"
for key in release other; do
    minisign -G -W -p "$work/$key.pub" -s "$work/$key.key" >/dev/null || { echo "minisign cannot make a key"; exit 1; }
done
# The key ids as minisign writes them (without leading zeros), as qbv-flash and the role name them too.
minisign_id() { sed -n 's/^untrusted comment: minisign public key //p' "$work/$1.pub"; }
other_id="$(minisign_id other)"
release_id="$(minisign_id release)"
key_id="$release_id"
minisign -S -s "$work/release.key" -m "$work/firmware.bin" -t "$comment" >/dev/null || exit 1
minisign -S -s "$work/other.key" -m "$work/firmware.bin" -x "$work/by-other.minisig" -t "$comment" >/dev/null || exit 1

# epsilon's copy: another image, well formed, under the same name.
mkdir "$work/altered"
"$BIN/make-sample-image" "$work/altered/firmware.bin" $IMAGE_BYTES 12 >/dev/null || exit 1
altered_sha="$(sha256sum "$work/altered/firmware.bin" | cut -d' ' -f1)"

# unit NAME [OPTION...]: a virtual unit with its link, transcript and memory in the work folder.
unit() {
    local name="$1"
    shift
    "$BIN/virtual-unit" --link "$work/$name" --transcript "$work/$name.transcript" --memory-out "$work/$name.memory" \
        "$@" >"$work/$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 400); do grep -q '^READY' "$work/$name.out" && return 0; sleep 0.05; done
    echo "unit $name did not start"; exit 1
}
unit a1
unit a2
unit b1 --busy-forever erase
unit g1
unit e1

cat >"$work/inventory.yml" <<INVENTORY
units:
  vars:
    ansible_connection: local
    ansible_python_interpreter: /usr/bin/python3
    qbv_install: path
    qbv_flash_source: $BIN/qbv-flash
    qbv_expected_file_crc: "$crc"
    qbv_image: $work/firmware.bin
    qbv_release_key: ["$work/other.pub", "$work/release.pub"]
  hosts:
    alpha: {qbv_ports: ["$work/a1", "$work/a2"], qbv_remote_dir: "$work/alpha"}
    beta: {qbv_ports: ["$work/b1"], qbv_remote_dir: "$work/beta"}
    gamma: {qbv_ports: ["$work/g1"], qbv_remote_dir: "$work/gamma", qbv_expected_file_crc: "0000"}
    delta: {qbv_match: ["0000:0000"], qbv_remote_dir: "$work/delta"}
    epsilon: {qbv_ports: ["$work/e1"], qbv_remote_dir: "$work/epsilon", qbv_image: "$work/altered/firmware.bin"}
INVENTORY

play() {
    ANSIBLE_CONFIG="$ROOT/contrib/ansible/ansible.cfg" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0 \
        ANSIBLE_INVENTORY_UNPARSED_WARNING=0 ansible-playbook -i "$work/inventory.yml" \
        "$ROOT/contrib/ansible/playbook.yml" -e "qbv_results_dir=$work/results" "$@"
}
recap() { grep -E "^$1 +: " "$2" | tr -s ' '; }

# A signature by another key: every host is refused on the controller, before anything is copied or sent.
play -e "qbv_release_key=$work/release.pub" -e "qbv_signature=$work/by-other.minisig" >"$work/refused.log" 2>&1
code=$?
[ $code -eq 2 ] || { cat "$work/refused.log"; fail "the run signed by another key exited with $code, expected 2"; }
why="the signature does not verify with minisign on the controller: $work/release.pub: Signature key id in \
$work/by-other.minisig is $other_id but the key id in the public key is $release_id: nothing was sent"
for host in alpha beta gamma delta epsilon; do
    recap $host "$work/refused.log" | grep -q "changed=0 unreachable=0 failed=1" ||
        fail "signed by another key, $host: $(recap $host "$work/refused.log")"
    grep -qF "\"$host  -  not updated  $why\"" "$work/refused.log" ||
        fail "signed by another key: no summary line for $host"
    [ -e "$work/$host" ] && fail "signed by another key, yet $host was given files"
done
[ -e "$work/results" ] && fail "signed by another key, yet results were fetched"
grep -q ' IN ' "$work"/*.transcript && fail "signed by another key, yet a unit received frames"

start=$EPOCHREALTIME
play >"$work/play.log" 2>&1
code=$?
seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
cat "$work/play.log"
[ $code -eq 2 ] || fail "ansible-playbook exited with $code, expected 2 (hosts failed)"
log="$work/play.log"
recap alpha "$log" | grep -q "ok=[0-9]* changed=1 unreachable=0 failed=0" || fail "alpha: $(recap alpha "$log")"
recap beta "$log" | grep -q "changed=1 unreachable=0 failed=1" || fail "beta: $(recap beta "$log")"
for host in gamma delta epsilon; do
    recap $host "$log" | grep -q "changed=0 unreachable=0 failed=1" || fail "$host: $(recap $host "$log")"
done
grep -q "fatal: \[beta\]: FAILED! => .*$work/b1: ERROR:Unit is not disabled/connected: Make sure unit is not enabled" \
    "$work/play.log" || fail "beta's failure does not name its unit's outcome"
grep -q "fatal: \[gamma\]: FAILED! => .*the image's FILE-CRC is $crc, expected 0000: nothing was sent" "$work/play.log" ||
    fail "gamma's failure does not name the CRCs"
refused_copy="image check failed: qbv-flash: $work/epsilon/firmware.bin: its SHA-256 is $altered_sha, expected $sha"
grep -qF "fatal: [epsilon]: FAILED! => {\"changed\": false, \"msg\": \"$refused_copy\"}" "$work/play.log" ||
    fail "epsilon's failure does not name the SHA-256s"
for line in "release  firmware.bin  verified  SHA-256:$sha KEY:$key_id  $comment\"" \
            "alpha  $work/a1  succeeded  CRC:$crc FILE-CRC:$crc  The target file was downloaded successfully" \
            "alpha  $work/a2  succeeded  CRC:$crc FILE-CRC:$crc" "beta  $work/b1  gave_up  CRC:---- FILE-CRC:$crc" \
            "gamma  -  not updated  the image's FILE-CRC is $crc" \
            "delta  -  not updated  no port matches 0000:0000\"" \
            "epsilon  -  not updated  $refused_copy\""; do
    grep -qF "\"$line" "$work/play.log" || fail "no summary line: $line"
done

results=("$work"/results/*/)
[ ${#results[@]} -eq 1 ] || fail "expected one results folder for the run, found ${#results[@]}"
[ "$(grep -c '"event":"done".*"outcome":"succeeded"' "${results[0]}alpha.jsonl" 2>/dev/null)" = 2 ] ||
    fail "alpha's fetched JSON Lines do not hold two successes"
grep -q '"outcome":"gave_up".*"state":3' "${results[0]}beta.jsonl" 2>/dev/null || fail "beta's JSON Lines: no give-up"
[ "$(grep -c "\"event\":\"start\".*\"sha256\":\"$sha\"" "${results[0]}alpha.jsonl" 2>/dev/null)" = 2 ] ||
    fail "alpha's units did not start with the verified SHA-256"
for host in gamma delta epsilon; do [ -e "${results[0]}$host.jsonl" ] && fail "$host sent nothing, yet has JSON Lines"; done

for pid in "${pids[@]}"; do kill -TERM "$pid"; wait "$pid"; done
pids=()
for name in a1 a2; do
    cmp -s -n $IMAGE_BYTES "$work/$name.memory" "$work/firmware.bin" || fail "the memory of $name differs from the image"
done
grep -q ' IN ' "$work/g1.transcript" && fail "gamma's unit received frames"
grep -q ' IN ' "$work/e1.transcript" && fail "epsilon's unit received frames"

# Check mode, without a release key: only the image check and the port listing; no unit hears anything.
unit a1
play --check --limit alpha -e qbv_release_key= >"$work/check.log" 2>&1 ||
    { cat "$work/check.log"; fail "the check-mode run failed"; }
recap alpha "$work/check.log" | grep -q "changed=0 .*failed=0" || fail "check mode: $(recap alpha "$work/check.log")"
grep -qF "\"alpha  -  checked  FILE-CRC:$crc  ports: $work/a1 $work/a2\"" "$work/check.log" ||
    { cat "$work/check.log"; fail "check mode: no summary line"; }
grep -q '"release  ' "$work/check.log" && fail "check mode without a release key, yet a release was verified"
grep -q ' IN ' "$work/a1.transcript" && fail "check mode sent frames to a unit"

[ $status -eq 0 ] &&
    echo "ok: fleet of five hosts in $seconds s, a release signed by another key refused, and a check-mode run"
exit $status
