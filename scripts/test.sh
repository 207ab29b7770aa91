#!/usr/bin/env bash
# Set up, build and run the whole test suite headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
cmake --preset default >/dev/null
cmake --build --preset default -j2
QT_QPA_PLATFORM=offscreen ctest --preset default
