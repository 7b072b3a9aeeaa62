#!/usr/bin/env python3
"""A file over 600 lines or a function over 80 is a sign that two jobs share a
room: fails on any in the production sources.

    scripts/check-sizes.py SOURCE_DIR

Functions are found as the code is written here: a body opens with "{" alone
at the start of a line and closes with "}" alone at the start of a line; the
signature above it counts too.
"""
import os
import sys

ROOMS = ("platform", "compare", "sync", "report", "folders", "wizard", "main_window", "app")
MAX_FILE, MAX_FUNCTION = 600, 80


def functions(lines):
    """(name line, first line, last line) of each body, 1-based."""
    found, start = [], None
    for number, line in enumerate(lines, 1):
        text = line.rstrip("\n")
        if text == "{":
            head = number - 1
            # Back over the signature: up to a blank line, a comment or a closing brace.
            while head > 1 and lines[head - 2].strip() and not lines[head - 2].startswith(("}", "//", "#")):
                head -= 1
            signature = lines[head - 1].strip()
            # Types and namespaces are not functions.
            kinds = ("class ", "struct ", "enum ", "union ", "namespace ")
            start = None if signature.startswith(kinds) else (signature, head)
        elif text.startswith("}") and start and not text.startswith("};"):
            found.append((start[0], start[1], number))
            start = None
    return found


def main():
    source = sys.argv[1]
    faults = []
    for room in ROOMS:
        for folder, _, files in os.walk(os.path.join(source, room)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, source)
                with open(path, encoding="utf-8", errors="replace") as f:
                    lines = f.readlines()
                if len(lines) > MAX_FILE:
                    faults.append(f"{rel}: {len(lines)} lines (at most {MAX_FILE})")
                for signature, first, last in functions(lines):
                    if last - first + 1 > MAX_FUNCTION:
                        faults.append(f"{rel}:{first}: {signature} is {last - first + 1} lines (at most {MAX_FUNCTION})")
    for fault in faults:
        print("FAIL:", fault)
    print(f"{'FAIL' if faults else 'ok'}: sizes checked, {len(faults)} over")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
