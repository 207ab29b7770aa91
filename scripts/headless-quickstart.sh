#!/usr/bin/env bash
# The README's "Without a window", step by step as it stands there: builds when needed, starts
# a virtual box headless, and prints each command and what it gave, ending with the tags
# complete. Needs no display; leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 >/dev/null
tool=$PWD/build/app/kestrel-rfid
box=$PWD/build/app/kestrel-box

work=$(mktemp -d /tmp/kestrel-quickstart.XXXXXX)
cd "$work"
# A settings store and record of its own, so a first run is what a new user sees.
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
started=$(date +%s)

# 1. A virtual box on port 01 of a private ports folder, its commands read from a FIFO.
export KESTREL_PORTS_DIR=$work/ports
mkdir ports
mkfifo box-commands
"$box" --ports-dir ports --port 1 <>box-commands >box.log 2>&1 &
boxpid=$!
trap 'kill "$boxpid" 2>/dev/null || true; wait "$boxpid" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -e ports/COM1 ] && break; sleep 0.1; done

step() {
    printf '\n$ %s\n' "$*"
    "$@"
}
# 2. The ports, and a blank tag read whole.
step "$tool" ports
echo 'present blank' >box-commands
step "$tool" read --port 01 --all --json
echo 'remove' >box-commands

# 3. A 10-tag batch from a job, the events on standard output, while the conveyor brings
# blank tags.
cat >job.json <<'JOB'
{ "format": "kestrel-rfid-job", "version": 3,
  "uid": { "write": true, "first": "0000001000", "step": "0000000001", "increment": true,
           "continue": true },
  "blocks": { "3": "33333333" } }
JOB
echo 'conveyor on' >box-commands
step "$tool" produce --port 01 --job job.json --count 10 --record record.sqlite --events -

# 4. The record, exported.
step "$tool" export-records tags.csv --record record.sqlite
head -n 3 tags.csv
complete=$(grep -c ',complete,' tags.csv || true)
printf '\n%s tags complete in %s s\n' "$complete" $(($(date +%s) - started))
[ "$complete" -eq 10 ]
