#!/usr/bin/env bash
# Set up, build and start the tool. Without KESTREL_PORTS_DIR it first starts a virtual
# box on a private ports folder as port 01, so the tool can be tried without hardware.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "scripts/run.sh: no display to open the window on; without a window, see the README's" \
        "\"Without a window\" (scripts/headless-quickstart.sh)." >&2
    exit 1
fi
if [ -n "${KESTREL_PORTS_DIR:-}" ] || [ "${KESTREL_REAL_PORTS:-}" = 1 ]; then
    exec build/app/kestrel-rfid "$@"
fi

ports=$(mktemp -d /tmp/kestrel-ports.XXXXXX)
control="$ports/box-commands"
mkfifo "$control"
# The box reads its commands from a FIFO so that it can be driven from another terminal. It
# starts with an empty field and the conveyor off, so the first batch starts as the README
# says: Auto Wite first, then "conveyor on".
build/app/kestrel-box --ports-dir "$ports" --port 1 <> "$control" > "$ports/box.log" 2>&1 &
box=$!
# Each step may fail (the box may be gone already) without skipping the rest: errexit holds
# in the trap too.
trap 'kill "$box" 2>/dev/null || true; wait "$box" 2>/dev/null || true; rm -rf "$ports"' EXIT
for _ in $(seq 50); do [ -e "$ports/COM1" ] && break; sleep 0.1; done

cat <<INFO
Virtual box on port 01, the field empty (its log: $ports/box.log). From another terminal:
    echo 'conveyor on' > $control          # blank tags one after another, for a batch
    echo 'present id 1122334455' > $control  # or: present blank, remove, show, help ...
INFO
KESTREL_PORTS_DIR="$ports" build/app/kestrel-rfid "$@"
