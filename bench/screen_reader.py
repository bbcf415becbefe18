#!/usr/bin/python3
"""A stand-in for a screen reader, for bench/run: an AT-SPI client that listens to the events a
screen reader listens to and, for each, reads what it would speak (the source's name, role,
states, text and value), and that polls the focused object and walks the program's whole window
as a screen reader's review and braille refresh do.

    screen_reader.py APP_NAME REPORT_FILE [POLL_SECONDS]

Runs until SIGTERM or SIGINT, then writes to REPORT_FILE one line
    events=<events received> reads=<objects read> seconds=<time listened>
and then one line for each type of event received: "<count> <type>".
Must run inside the D-Bus session whose AT-SPI bus the program uses.
"""

import signal
import sys
import time

import pyatspi
from gi.repository import GLib

# What Orca registers for, less the events of toolkits and documents the window has none of.
EVENTS = [
    "focus:",
    "window:activate",
    "window:deactivate",
    "object:state-changed",
    "object:text-changed",
    "object:text-caret-moved",
    "object:text-selection-changed",
    "object:property-change",
    "object:value-changed",
    "object:selection-changed",
    "object:children-changed",
    "object:active-descendant-changed",
    "object:announcement",
]

app_name, report_file = sys.argv[1], sys.argv[2]
poll_seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 0.5
counts = {"events": 0, "reads": 0}
event_types = {}
focused = None
started = time.monotonic()


def speak(obj):
    """Reads what a screen reader would speak for obj; the object may vanish meanwhile."""
    try:
        parts = [obj.name, obj.getRoleName()]
        states = obj.getState()
        parts.append(states.contains(pyatspi.STATE_FOCUSED))
        parts.append(states.contains(pyatspi.STATE_CHECKED))
        interfaces = pyatspi.listInterfaces(obj)
        if "Text" in interfaces:
            text = obj.queryText()
            parts.append(text.getText(0, text.characterCount))
        if "Value" in interfaces:
            parts.append(obj.queryValue().currentValue)
        counts["reads"] += 1
        return parts
    except Exception:  # noqa: BLE001 - a vanished object is ordinary here
        return None


def on_event(event):
    global focused
    counts["events"] += 1
    event_types[event.type] = event_types.get(event.type, 0) + 1
    if event.type.startswith("focus") or (
        event.type.startswith("object:state-changed:focused") and event.detail1
    ):
        focused = event.source
    speak(event.source)


def walk(obj, depth=0):
    speak(obj)
    if depth > 8:
        return
    try:
        children = [obj.getChildAtIndex(i) for i in range(obj.childCount)]
    except Exception:  # noqa: BLE001
        return
    for child in children:
        if child is not None:
            walk(child, depth + 1)


def poll():
    if focused is not None:
        speak(focused)
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.name == app_name:
                walk(app)
        except Exception:  # noqa: BLE001
            pass
    return True


def stop(*_):
    with open(report_file, "w") as report:
        report.write(
            "events=%d reads=%d seconds=%.1f\n"
            % (counts["events"], counts["reads"], time.monotonic() - started)
        )
        for kind, count in sorted(event_types.items(), key=lambda item: -item[1]):
            report.write("%d %s\n" % (count, kind))
    pyatspi.Registry.stop()


for name in EVENTS:
    pyatspi.Registry.registerEventListener(on_event, name)
GLib.timeout_add(int(poll_seconds * 1000), poll)
GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, stop)
GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, stop)
pyatspi.Registry.start()
