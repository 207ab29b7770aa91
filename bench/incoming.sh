#!/usr/bin/env bash
# Incoming stock on the virtual box: how fast find-password tries passwords, how long the
# built-in list and ENTRIES more (default 1000) take, and how fast the loop unlocks from a
# job's list at each pace. Needs a build in BUILD (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD:-build}")
entries=${ENTRIES:-1000}
work=$(mktemp -d /tmp/kestrel-incoming.XXXXXX)
box_pid=
trap '[ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export KESTREL_PORTS_DIR=$work/ports XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
mkdir -p "$KESTREL_PORTS_DIR"
tool=$build/app/kestrel-rfid

# A list whose last line opens the tag, so every entry is tried.
for i in $(seq 1 "$entries"); do printf '%08X\n' $((0x20000000 + i)); done > "$work/list.txt"
last=$(tail -n 1 "$work/list.txt")
mkfifo "$work/control"
"$build/app/kestrel-box" --ports-dir "$KESTREL_PORTS_DIR" --run "present protected $last" \
    < "$work/control" > "$work/box.log" 2>&1 &
box_pid=$!
exec 3> "$work/control"
for _ in $(seq 100); do [ -e "$KESTREL_PORTS_DIR/COM1" ] && break; sleep 0.1; done

start=$(date +%s.%N)
"$tool" find-password --port 01 --dictionary "$work/list.txt" > "$work/found.txt" 2> /dev/null
end=$(date +%s.%N)
tries=$((entries + 6))
awk -v s="$start" -v e="$end" -v n="$tries" -v f="$(cat "$work/found.txt")" 'BEGIN {
    printf "find-password       %d tries (built-in list and %d entries) in %.1f s: %.1f tries a second\n", n, n - 6, e - s, n / (e - s)
    printf "                    %s\n", f }'

# The loop: one tag whose password is the list's last entry, at each pace.
printf '1A2B3C4D\n' > "$work/jobpw"
for pace in ticks replies; do
    cat > "$work/job.json" <<JOB
{ "format": "kestrel-rfid-job", "version": 4,
  "uid": { "write": true, "first": "0000005000", "step": "0000000001", "base": "hex", "increment": true },
  "password": { "unlock": true, "unlockList": "list.txt" },
  "timing": { "pace": "$pace" } }
JOB
    echo "remove" >&3
    echo "present protected $last" >&3
    sleep 0.5
    "$tool" produce --port 01 --job "$work/job.json" --count 1 --password-file "$work/jobpw" \
        --record "$work/record-$pace.sqlite" --events - 2> /dev/null > "$work/events-$pace.jsonl" || true
    python3 - "$work/events-$pace.jsonl" "$pace" "$tries" <<'PY'
import datetime, json, sys
tag = next(json.loads(l) for l in open(sys.argv[1]) if '"event":"tag"' in l)
t = lambda s: datetime.datetime.fromisoformat(s.replace('Z', '+00:00'))
secs = (t(tag['ended']) - t(tag['started'])).total_seconds()
print(f"loop, pace {sys.argv[2]:8s} {int(sys.argv[3])} list entries tried in {secs:.1f} s: {int(sys.argv[3]) / secs:.1f} tries a second; {tag['result']}: {tag['detail']}")
PY
done
