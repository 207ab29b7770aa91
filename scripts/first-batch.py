#!/usr/bin/python3
# Follows the README's "Your first batch" through the window's accessibility tree, as a person
# would with the mouse: Connect, Auto Set UID, the first UID, Auto inc, Auto Wite, then
# "conveyor on" to the box. Started by scripts/first-batch.sh under Xvfb.
import subprocess
import sys
import time

import pyatspi

fifo, tags, picture = sys.argv[1], int(sys.argv[2]), sys.argv[3]


def wait_for(what, check, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = check()
        if found:
            return found
        time.sleep(0.2)
    sys.exit(f"first batch: gave up waiting for {what}")


def window():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "kestrel-rfid":
            for child in app:
                if child is not None and child.getRole() == pyatspi.ROLE_FRAME:
                    return child
    return None


def find(root, name, role=None):
    return pyatspi.findDescendant(
        root, lambda a: a is not None and a.name == name and (role is None or a.getRole() == role))


def names(root):
    found = pyatspi.findAllDescendants(root, lambda a: a is not None and a.name)
    return ", ".join(f"{a.name} ({a.getRoleName()})" for a in found)


def press(root, name, role=pyatspi.ROLE_PUSH_BUTTON):
    control = find(root, name, role) or wait_for(
        f'"{name}" among {names(root)}', lambda: find(root, name, role), 10)
    control.queryAction().doAction(0)


def box(command):
    with open(fifo, "w") as f:
        f.write(command + "\n")


frame = wait_for("the main window", window)
press(frame, "Connect")
wait_for('"Disconnect"', lambda: find(frame, "Disconnect", pyatspi.ROLE_PUSH_BUTTON))
press(frame, "Auto Set UID", pyatspi.ROLE_CHECK_BOX)
uid = wait_for("the UID field", lambda: find(frame, "UID to write"))
uid.queryEditableText().setTextContents("0000000001")
press(frame, "Auto inc (UID+)", pyatspi.ROLE_CHECK_BOX)
press(frame, "Auto Wite")
box("conveyor on")


def counts():
    label = pyatspi.findDescendant(
        frame, lambda a: a is not None and a.getRole() == pyatspi.ROLE_LABEL
        and a.name.startswith("Batch: "))
    return label.name if label is not None else ""


def complete():
    words = counts().split()
    return len(words) > 1 and words[1].isdigit() and int(words[1]) >= tags


wait_for(f"{tags} complete tags", complete, 30 + 5 * tags)
box("conveyor off")
time.sleep(1)
e = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
subprocess.run(["import", "-window", "root", "-crop", f"{e.width}x{e.height}+{e.x}+{e.y}",
                "+repage", picture], check=True)
press(frame, "Stop")
print(f"first batch: {counts()}")
if "0 failed / 0 stalled" not in counts():
    sys.exit("first batch: some tags did not complete")
