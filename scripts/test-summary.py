#!/usr/bin/env python3
"""Sums up ctest runs from their JUnit files (ctest --output-junit FILE).

Says how many of the file-system tests (real FAT, exFAT, NTFS, xfs, ext4,
btrfs, tmpfs and FUSE mounts: the suites below) ran and how many were
skipped, each skip with its reason, which file systems a test of several
could not mount, and every other skipped test with its reason. Given the
files of several runs (the plain build, the sanitizer build), it says so per
run, named after the run's build folder. The last line gives the totals of
every run.

    scripts/test-summary.py BUILD/ctest-results.xml [BUILD2/ctest-results.xml ...]
"""
import os
import re
import sys
import xml.etree.ElementTree as ET

FILE_SYSTEM_SUITES = ('SyncOntoSticks', 'SyncThroughPowerCuts', 'SyncOnLocalDisk', 'SyncIntoTheTrash')

SKIP_REASON = re.compile(r': Skipped\n(.*?)\n*\[  SKIPPED \]', re.S)
NOT_MOUNTED = re.compile(r'not mounted here:\n(.*?)\n\[', re.S)


def one_line(text):
    return ' '.join(text.split())


def summarise(path, label):
    """Prints one run's skips; returns its passed, failed and skipped counts."""
    try:
        cases = list(ET.parse(path).getroot().iter('testcase'))
    except (OSError, ET.ParseError) as e:
        print('No test summary%s: %s' % (label, e))
        return None
    passed = failed = skipped = 0
    fs_ran, fs_skipped, fs_partial, other_skips = 0, [], [], []
    for case in cases:
        name = case.get('name', '')
        status = case.get('status')
        out = case.findtext('system-out') or ''
        on_file_systems = name.split('.')[0] in FILE_SYSTEM_SUITES
        if status == 'notrun':
            skipped += 1
            found = SKIP_REASON.search(out)
            reason = one_line(found.group(1)) if found else case.find('skipped').get('message', '')
            (fs_skipped if on_file_systems else other_skips).append('%s: %s' % (name, reason))
            continue
        if status == 'fail':
            failed += 1
        else:
            passed += 1
        if on_file_systems:
            fs_ran += 1
            found = NOT_MOUNTED.search(out)
            if found:
                for line in found.group(1).splitlines():
                    if line.strip() and not line.startswith(' '):
                        fs_partial.append('%s ran without %s' % (name, line.strip()))

    print()
    print('File-system tests%s (%s): %d ran, %d skipped.' % (label, ', '.join(FILE_SYSTEM_SUITES), fs_ran,
                                                             len(fs_skipped)))
    for line in fs_skipped:
        print('  skipped %s' % line)
    for line in fs_partial:
        print('  %s' % line)
    print('Other tests skipped%s: %d.' % (label, len(other_skips)))
    for line in other_skips:
        print('  skipped %s' % line)
    return passed, failed, skipped


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    several = len(sys.argv) > 2
    totals = [0, 0, 0]
    runs = []
    missing = False
    for path in sys.argv[1:]:
        label = ' in %s' % os.path.basename(os.path.dirname(os.path.abspath(path))) if several else ''
        counts = summarise(path, label)
        if counts is None:
            missing = True
            continue
        runs.append((label, counts))
        totals = [t + c for t, c in zip(totals, counts)]
    if several:
        print()
        for label, counts in runs:
            print('ctest%s: %d passed, %d failed, %d skipped' % ((label,) + counts))
    if runs:
        print('ctest: %d passed, %d failed, %d skipped' % tuple(totals))
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
