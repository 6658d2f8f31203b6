"""Progress of one run of the command line over its stages (reading,
smoothing, writing): tqdm when it is installed, otherwise a line on standard
error rewritten in place. Nothing is shown for runs that end within about a
second. A bar is erased when its stage ends, so that what stays on the
terminal is the command's one line of result or error."""

import sys
import time

# Seconds after the start of the run before any bar appears.
SHOW_AFTER = 1.0


class _Silent:
    def update(self, count):
        pass

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _Line(_Silent):
    def __init__(self, name, total, unit, show_at):
        self.name, self.total, self.unit, self.show_at = name, total, unit, show_at
        self.done = 0
        self.shown = -1

    def update(self, count):
        self.done += count
        if time.monotonic() < self.show_at:
            return
        percent = 100 * self.done // max(self.total, 1)
        if percent != self.shown:
            self.shown = percent
            self.text = f"{self.name}: {self.done}/{self.total} {self.unit} ({percent}%)"
            sys.stderr.write(f"\r{self.text}")
            sys.stderr.flush()

    def close(self):
        if self.shown >= 0:
            sys.stderr.write(f"\r{' ' * len(self.text)}\r")
            sys.stderr.flush()


class Progress:
    """Hands out one bar per stage; all of them wait for the same moment,
    SHOW_AFTER seconds after this object was made."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.show_at = time.monotonic() + SHOW_AFTER

    def stage(self, name, total, unit):
        """A context manager with update(count) that reports `total` units."""
        if not self.enabled:
            return _Silent()
        try:
            from tqdm import tqdm
        except ImportError:
            return _Line(name, total, unit, self.show_at)
        delay = max(0.0, self.show_at - time.monotonic())
        return tqdm(total=total, desc=name, unit=unit, unit_scale=unit == "B", file=sys.stderr, delay=delay, leave=False)
