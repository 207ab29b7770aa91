#!/usr/bin/env bash
# Follows the README's "Your first batch" on a fresh settings store and record: scripts/run.sh
# under Xvfb and openbox, driven through the accessibility tree, until TAGS tags (default 10)
# are complete. Leaves a picture of the window after the batch (default docs/first-batch.png).
set -euo pipefail
cd "$(dirname "$0")/.."
picture=$(realpath -m "${1:-docs/first-batch.png}")
tags=${TAGS:-10}

needed=(xvfb openbox python3-pyatspi at-spi2-core dbus imagemagick)
missing=()
for p in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d /tmp/kestrel-first-batch.XXXXXX)
display=:$((100 + RANDOM % 800))
Xvfb "$display" -screen 0 1280x900x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

export DISPLAY=$display XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
unset QT_QPA_PLATFORM KESTREL_PORTS_DIR KESTREL_REAL_PORTS
dbus-run-session -- bash -c '
    set -euo pipefail
    work=$1 tags=$2 picture=$3
    /usr/libexec/at-spi-bus-launcher --launch-immediately > "$work/atspi.log" 2>&1 &
    openbox > "$work/openbox.log" 2>&1 &
    scripts/run.sh > "$work/run.log" 2>&1 &
    run=$!
    fifo=
    for _ in $(seq 600); do
        fifo=$(sed -n "s/.*conveyor on. > \([^ ]*\).*/\1/p" "$work/run.log" | head -n 1)
        [ -n "$fifo" ] && break
        sleep 0.5
    done
    [ -n "$fifo" ] || { cat "$work/run.log"; echo "first batch: run.sh did not start"; exit 1; }
    status=0
    /usr/bin/python3 scripts/first-batch.py "$fifo" "$tags" "$picture" || status=$?
    pkill -TERM -P "$run" || true
    wait "$run" 2>/dev/null || true
    exit "$status"
' first-batch "$work" "$tags" "$picture"
echo "first batch: picture in $picture"
