"""Output files that are complete or absent: each is written under a
temporary name beside its target, flushed to disk and only then renamed over
it, so a full disk, an interruption or a crash never leaves a half-written
file under the target's name or damages the file it replaces.

A target that exists and is no regular file (a device, a FIFO, a socket,
/dev/stdout on a pipe or terminal) is a stream: it is written directly and
never renamed over, which would put a regular file in the place of the node
(as root, of the system's /dev/full)."""

import contextlib
import os
import shutil
import stat
import tempfile
from pathlib import Path


def is_stream(path):
    """Whether `path` names an existing file, after links, that is neither a
    regular file nor a directory."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


@contextlib.contextmanager
def replaced_on_success(target):
    """Yields a temporary path in the directory of `target` for the caller to
    write; when the block completes the file is flushed and renamed to
    `target`, when it raises (or is interrupted) the file is removed. A
    stream (is_stream) is yielded itself, to be written as it is."""
    if is_stream(target):
        yield Path(target)
        return
    # Through links to the file they name: the link stays, and the temporary
    # file is made beside the file it replaces, not where the link lies
    # (/dev/stdout redirected to a file lies in /dev).
    target = Path(os.path.realpath(target))
    # The same suffix, so writers that look at it (compression, image type)
    # see what the target would tell them; the leading dot hides the file.
    handle, name = tempfile.mkstemp(dir=target.parent, prefix=f".{target.stem}.", suffix=f".part{target.suffix}")
    os.close(handle)
    temporary = Path(name)
    try:
        os.chmod(temporary, 0o666 & ~_umask())
        yield temporary
        _flush(temporary)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    # Makes the rename itself durable. Some file systems cannot flush a
    # directory; the file is in place all the same, so that is no failure.
    try:
        _flush(target.parent)
    except OSError:
        pass


@contextlib.contextmanager
def directory_replaced_on_success(target):
    """replaced_on_success for a directory (a Zarr store): the caller writes
    a temporary directory beside `target`, which is renamed to `target`
    when the block completes and removed when it raises. A directory in
    the way is moved aside first and removed once the new one is in place:
    a crash between the two renames leaves the old one under a hidden name
    and no directory under `target`, never a half-written one."""
    target = Path(os.path.realpath(target))
    temporary = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.stem}.", suffix=f".part{target.suffix}"))
    try:
        os.chmod(temporary, 0o777 & ~_umask())
        yield temporary
        for folder, _, files in os.walk(temporary):
            for name in files:
                _flush(Path(folder, name))
        old = None
        if target.exists():
            old = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.stem}.", suffix=".old"))
            os.replace(target, old / target.name)
        os.replace(temporary, target)
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)
    try:
        _flush(target.parent)
    except OSError:
        pass


def _flush(path):
    handle = os.open(path, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


def _umask():
    # Linux tells the mask without changing it. Elsewhere reading it means
    # setting it and back, which other threads creating files meanwhile
    # could see.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
