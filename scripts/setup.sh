#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing.
# With "test": also what the test suite uses (lintian, a PostgreSQL server); with "fuzz": the
# clang and libFuzzer the fuzz preset builds with.
set -euo pipefail
packages=(cmake g++ make dpkg-dev qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev libqt6sql6-sqlite
          libqt6sql6-psql libqt6svg6 libgl-dev libsqlite3-dev appstream desktop-file-utils)
for extra in "$@"; do
    case $extra in
    test) packages+=(lintian postgresql-15) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "usage: scripts/setup.sh [test] [fuzz]" >&2 && exit 2 ;;
    esac
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
