#!/usr/bin/env bash
# Set up, build and start the tool. Without KESTREL_PORTS_DIR it starts a virtual box
# on a private ports folder as port 01, so the tool can be tried without hardware.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2
exec build/app/kestrel-rfid "$@"
