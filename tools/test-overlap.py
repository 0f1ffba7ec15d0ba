#!/usr/bin/env python3
"""Which tests reach code that no other test reaches.

    tools/test-overlap.py run [REGEX]   runs each ctest test of build/coverage alone (build the
                                        coverage preset first) and keeps the arcs of src/ it took
    tools/test-overlap.py report        per test: arcs no other test takes, arcs in all, and
                                        whether a greedy cover of every arc needs it

A test with no arcs of its own can go without lowering line or branch coverage; whether it
should is another question (a byte vector, a race or a documented text is checked by value,
which coverage does not see). Arcs are read straight from gcov's .gcda counters, which is much
faster than running gcov per test; code inlined into the test binaries' own objects (header-only
parts of src/) is not counted, so a test of such code shows 0 arcs in all.
"""
import glob
import hashlib
import json
import os
import re
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, 'build', 'coverage')
RESULTS = os.path.join(BUILD, 'test-overlap')

GCDA_MAGIC = 0x67636461
TAG_FUNCTION = 0x01000000
TAG_ARCS = 0x01A10000


def arcs_taken(gcda):
    """'<function id>:<counter>' of every arc counter above zero in one .gcda file."""
    data = open(gcda, 'rb').read()
    if struct.unpack_from('<I', data, 0)[0] != GCDA_MAGIC:
        raise ValueError(f'{gcda}: not a gcda file')
    position, function, taken = 16, None, []  # magic, version, stamp, checksum
    while position + 8 <= len(data):
        tag, length = struct.unpack_from('<Ii', data, position)
        position += 8
        if tag == TAG_FUNCTION and length >= 4:
            function = struct.unpack_from('<I', data, position)[0]
        elif tag == TAG_ARCS and length > 0:  # a negative length stands for all zeros
            for index in range(length // 8):
                if struct.unpack_from('<Q', data, position + 8 * index)[0]:
                    taken.append(f'{function}:{index}')
        position += max(length, 0)
    return taken


def run(pattern):
    os.makedirs(RESULTS, exist_ok=True)
    listing = json.loads(
        subprocess.check_output(['ctest', '--test-dir', BUILD, '--show-only=json-v1']))
    for test in listing['tests']:
        name = test['name']
        if pattern and not re.search(pattern, name):
            continue
        for gcda in glob.glob(os.path.join(BUILD, '**', '*.gcda'), recursive=True):
            os.remove(gcda)
        passed = subprocess.run(
            ['ctest', '--test-dir', BUILD, '-R', '^' + re.escape(name) + '$', '--timeout', '300'],
            capture_output=True).returncode == 0
        arcs = []
        for gcda in glob.glob(os.path.join(BUILD, 'src', '**', '*.gcda'), recursive=True):
            place = os.path.relpath(gcda, BUILD)
            arcs += [place + ':' + arc for arc in arcs_taken(gcda)]
        key = hashlib.sha1(name.encode()).hexdigest()[:12]
        with open(os.path.join(RESULTS, key + '.json'), 'w') as out:
            json.dump({'name': name, 'passed': passed, 'arcs': arcs}, out)
        print(f"{len(arcs):7d} arcs {'' if passed else 'FAILED '}{name}", flush=True)


def report():
    tests = {}
    for path in glob.glob(os.path.join(RESULTS, '*.json')):
        with open(path) as results:
            row = json.load(results)
        tests[row['name']] = set(row['arcs'])
    takers = {}
    for arcs in tests.values():
        for arc in arcs:
            takers[arc] = takers.get(arc, 0) + 1
    own = {name: sum(1 for arc in arcs if takers[arc] == 1) for name, arcs in tests.items()}
    needed, covered = set(), set()
    while len(covered) < len(takers):
        best = max(tests, key=lambda name: len(tests[name] - covered))
        needed.add(best)
        covered |= tests[best]
    print(f'{len(takers)} arcs taken by {len(tests)} tests; a greedy cover needs {len(needed)}')
    print('    own    all  cover  test')
    for name in sorted(tests, key=lambda name: (own[name], name)):
        print(f"{own[name]:7d} {len(tests[name]):6d}  {'yes' if name in needed else ' - '}   {name}")


if __name__ == '__main__':
    if len(sys.argv) >= 2 and sys.argv[1] == 'run':
        run(sys.argv[2] if len(sys.argv) > 2 else None)
    elif len(sys.argv) == 2 and sys.argv[1] == 'report':
        report()
    else:
        sys.exit(__doc__)
