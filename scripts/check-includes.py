#!/usr/bin/env python3
"""Holds the rooms' dependency rules (docs/ARCHITECTURE.md) by reading the
includes of every production source file.

    scripts/check-includes.py SOURCE_DIR QT_HEADERS_DIR

Each room may include itself and the rooms listed for it; a header under a
`private/` folder only from within the room that holds it; Qt Gui and Qt
Widgets only from the desktop part and the windows.
"""
import os
import re
import sys

# Longest prefix first: a file belongs to the most specific room.
ROOMS = {
    "platform/desktop/": ["platform/"],
    "platform/": [],
    "sync/copy/": ["platform/"],
    "compare/": ["platform/"],
    "sync/": ["sync/copy/", "compare/", "platform/"],
    "report/": ["sync/", "compare/", "platform/"],
    "folders/": ["compare/", "platform/", "platform/desktop/"],
    "wizard/": ["sync/", "compare/", "platform/", "platform/desktop/"],
    "main_window/": ["wizard/", "folders/", "compare/", "platform/", "platform/desktop/"],
    "app/main.cpp": ["main_window/", "folders/", "platform/", "platform/desktop/"],
    "app/cli": ["report/", "sync/", "compare/", "platform/"],  # cli.cpp and its parts
}
DESKTOP_ROOMS = ("platform/desktop/", "folders/", "wizard/", "main_window/", "app/main.cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def room_of(path):
    for prefix in sorted(ROOMS, key=len, reverse=True):
        if path.startswith(prefix):
            return prefix
    return None


def allowed(room, target):
    if room_of(target) == room:
        return True
    return any(room_of(target) == other for other in ROOMS[room])


def private_owner(target):
    head, sep, _ = target.partition("private/")
    return head if sep else None


def is_desktop_qt(header, qt_headers):
    name = header.split("/")[-1]
    if header.startswith(("QtGui/", "QtWidgets/")):
        return True
    if not name.startswith("Q") or os.path.exists(os.path.join(qt_headers, "QtCore", name)):
        return False
    return any(os.path.exists(os.path.join(qt_headers, m, name)) for m in ("QtGui", "QtWidgets"))


def main():
    source, qt_headers = sys.argv[1], sys.argv[2]
    faults = []
    for room in ROOMS:
        base = os.path.join(source, room)
        paths = [base] if os.path.isfile(base) else [
            os.path.join(d, f) for d, _, fs in os.walk(base) for f in fs if f.endswith((".h", ".cpp"))]
        for full in paths:
            rel = os.path.relpath(full, source)
            if room_of(rel) != room:
                continue
            with open(full, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    kind, target = m.groups()
                    where = f"{rel}:{number}: {target}"
                    if kind == '"' and room_of(target):
                        if not allowed(room, target):
                            faults.append(f"{where}: {room} may not include {room_of(target)}")
                        owner = private_owner(target)
                        if owner and not rel.startswith(owner):
                            faults.append(f"{where}: private to {owner}")
                    elif kind == "<" and room not in DESKTOP_ROOMS and is_desktop_qt(target, qt_headers):
                        faults.append(f"{where}: Qt Gui or Widgets outside the desktop part and the windows")
    for fault in faults:
        print("FAIL:", fault)
    print(f"{'FAIL' if faults else 'ok'}: includes of {len(ROOMS)} rooms checked, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
