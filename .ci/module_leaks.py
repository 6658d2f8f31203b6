"""Fails when a LeakSanitizer report holds a leak allocated below one of
tarnwold's own frames, when the logs hold any other sanitizer error, or
when there is no log at all.

Usage: python3 .ci/module_leaks.py LOG...

A CPython interpreter leaves memory unreachable at exit on purpose (interned
strings, static types, extension modules' import-time tables), and
suppressions cannot single those out: every allocation made during a call of
the module also has libpython's frames on its stack. So the test runs the
other way round: a leak counts when its allocation stack passes through the
module, whether the module allocated the block itself or asked CPython or
NumPy to.
"""

import re
import sys

MODULE_FRAME = re.compile(r"\btarnwold::|\bPyInit_tarnwold\b|/tarnwold\.cpython[^/\s]*\.so\b|/libtarnwold_core\.so\b")
LEAK_START = re.compile(r"^(Direct|Indirect) leak of ")
OTHER_ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:")


def leak_blocks(lines):
    """Each leak report with its allocation stack, as a list of lines."""
    block = None
    for line in lines:
        if LEAK_START.match(line):
            block = [line]
        elif block is not None and line.strip():
            block.append(line)
        elif block is not None:
            yield block
            block = None
    if block is not None:
        yield block


def main(paths):
    if not paths:
        # CPython leaves blocks unreachable at exit on every run, so
        # LeakSanitizer always has something to log: no log means no check.
        print("LeakSanitizer wrote no log: the leak check did not run")
        return 1
    total = 0
    module_leaks = []
    errors = []
    for path in paths:
        with open(path, errors="replace") as log:
            lines = log.read().splitlines()
        errors += [f"{path}: {line}" for line in lines if OTHER_ERROR.search(line)]
        for block in leak_blocks(lines):
            total += 1
            if any(MODULE_FRAME.search(line) for line in block[1:]):
                module_leaks.append("\n".join(block))
    for block in module_leaks:
        print(block, end="\n\n")
    for line in errors:
        print(line)
    print(f"{total} leak report(s) in {len(paths)} log(s); "
          f"{len(module_leaks)} allocated below tarnwold's frames; {len(errors)} other sanitizer error(s)")
    return 1 if module_leaks or errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
