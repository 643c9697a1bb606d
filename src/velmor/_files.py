"""Files written whole or not at all: a temporary file beside the target, renamed into place."""

import contextlib
import os
import secrets


def write_whole(path: str | os.PathLike[str], data: bytes) -> None:
    """Write ``data`` (bytes) to ``path`` so that ``path`` holds its old content or all of ``data``.

    The bytes go to a hidden temporary file in the same folder, which replaces ``path`` only once
    every byte is on disk; on any failure (a full disk, Ctrl-C) the temporary file is removed and
    the error raised. A path that exists and is not a regular file (``/dev/stdout``, a FIFO) is
    written directly, since nothing can be renamed onto it.
    """
    path = os.fspath(path)
    if os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path):
        with open(path, "wb") as f:
            f.write(data)
        return
    folder, name = os.path.split(path)
    temp = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def remove_stale(path: str | os.PathLike[str]) -> bool:
    """Remove ``path`` if it is a regular file; True if one was removed."""
    try:
        if os.path.isfile(path):
            os.unlink(path)
            return True
    except OSError:
        pass
    return False


def reason(exc: BaseException) -> str:
    """The short cause of an error for a message: ``No space left on device`` rather than the
    errno and the path again."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__
