#!/usr/bin/env bash
# Set up, build and run the whole test suite headless.
#   scripts/test.sh        the release build, as CI runs it
#   scripts/test.sh asan   the same suite built with AddressSanitizer and UBSan (into build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
case $preset in
default | asan) ;;
*) echo "usage: scripts/test.sh [asan]" >&2 && exit 2 ;;
esac
scripts/setup.sh test
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2
QT_QPA_PLATFORM=offscreen ctest --preset "$preset"
