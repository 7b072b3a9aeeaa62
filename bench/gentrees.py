#!/usr/bin/env python3
"""Generates two folder trees for the benchmarks.

gentrees.py DEST FILES [--big-folder N]

DEST/left and DEST/right hold FILES files each in subfolders up to depth 6.
About 1 % of the files differ in size (the right copy is newer), about 0.5 %
exist on one side only. One folder holds N files (default 20,000 when FILES
allows) so that large folders are measured too. The same arguments always
give the same trees.
"""
import os
import random
import shutil
import subprocess
import sys


def folders_for(count, rng):
    """Folder paths up to depth 6, with about 100 files per folder."""
    paths = [""]
    want = max(1, count // 100)
    while len(paths) < want:
        parent = rng.choice(paths)
        if parent.count("/") >= 5:
            continue
        paths.append(f"{parent}/d{len(paths)}" if parent else f"d{len(paths)}")
    return paths


def main():
    dest, files = sys.argv[1], int(sys.argv[2])
    big = 20000 if files >= 100000 else files // 10
    if "--big-folder" in sys.argv:
        big = int(sys.argv[sys.argv.index("--big-folder") + 1])
    rng = random.Random(files)
    left, right = os.path.join(dest, "left"), os.path.join(dest, "right")
    for side in (left, right):
        shutil.rmtree(side, ignore_errors=True)
    folders = folders_for(files - big, rng)
    names = [f"big/file{i:06d}.dat" for i in range(big)]
    for i in range(files - big):
        names.append(f"{rng.choice(folders)}/f{i:07d}.txt".lstrip("/"))
    made = set()
    base = 1_600_000_000
    for i, name in enumerate(names):
        folder = os.path.dirname(name)
        if folder not in made:
            os.makedirs(os.path.join(left, folder), exist_ok=True)
            made.add(folder)
        path = os.path.join(left, name)
        with open(path, "wb") as f:
            f.write(b"x" * (i % 64))
        os.utime(path, (base + i, base + i))
    subprocess.run(["cp", "-a", left, right], check=True)
    picks = rng.sample(range(len(names)), k=max(3, len(names) * 2 // 100))
    differ = picks[: len(picks) // 2]
    only = picks[len(picks) // 2:]
    for i in differ:
        path = os.path.join(right, names[i])
        with open(path, "ab") as f:
            f.write(b"changed")
        os.utime(path, (base + 10**7 + i, base + 10**7 + i))
    for n, i in enumerate(only):
        os.remove(os.path.join(right if n % 2 else left, names[i]))


if __name__ == "__main__":
    main()
