#!/usr/bin/python3
"""Milliseconds from a program's exec until its first top-level window is mapped on the X
display, for bench/run. Listens to the root window's structure events (MapNotify) before it
starts the program, so no polling interval blurs the figure; the window is the program's when its
_NET_WM_PID is the program's process id. The program is then ended with SIGTERM.

    time_to_window.py PROGRAM [ARGUMENT...]

Prints the milliseconds, or fails after 30 seconds without a window.
"""

import os
import select
import signal
import subprocess
import sys
import time

from Xlib import X, display

screen_display = display.Display()
root = screen_display.screen().root
root.change_attributes(event_mask=X.SubstructureNotifyMask)
wm_pid = screen_display.intern_atom("_NET_WM_PID")
screen_display.sync()

start = time.monotonic()
program = subprocess.Popen(
    sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
)
mapped = None
deadline = start + 30
while mapped is None and time.monotonic() < deadline:
    if not screen_display.pending_events():
        select.select([screen_display], [], [], 0.1)
    while mapped is None and screen_display.pending_events():
        event = screen_display.next_event()
        if event.type != X.MapNotify or event.override:
            continue
        stamp = time.monotonic()
        try:
            pid = event.window.get_full_property(wm_pid, X.AnyPropertyType)
        except Exception:  # noqa: BLE001 - the window may be gone already
            continue
        if pid is not None and pid.value and pid.value[0] == program.pid:
            mapped = stamp

program.send_signal(signal.SIGTERM)
try:
    program.wait(timeout=10)
except subprocess.TimeoutExpired:
    program.kill()
    program.wait()
if mapped is None:
    sys.exit("time_to_window: no window of %s was mapped in 30 s" % sys.argv[1])
print("%.1f" % ((mapped - start) * 1000))
os._exit(0)
