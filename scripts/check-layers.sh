#!/bin/sh
# The layers may only reach down: gui -> station -> core, cli -> station -> core, box -> core.
# Prints every include that reaches up or sideways, and fails if there is one.
cd "$(dirname "$0")/../src" || exit 2
status=0
check() {
    layer=$1
    pattern=$2
    hits=$(grep -rnE "#include [\"<]($pattern)" "$layer" || true)
    if [ -n "$hits" ]; then
        echo "$hits"
        status=1
    fi
}
widgets='gui/|cli/|Q(Gui|Widget|Application|Color|Font|Palette|Pixmap|Icon|Painter|Label|Dialog|MessageBox|Chart)|Qt(Gui|Widgets|Charts)/'
check core "station/|box/|$widgets"
check station "$widgets"
check cli "$widgets"
check box "station/|$widgets"
# The window asks the record typed questions (station/record/recordreader.h): no SQL of its own.
check gui 'QSql'
[ $status -eq 0 ] && echo "layers: every include reaches down"
exit $status
