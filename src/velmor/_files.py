"""Files: written whole or not at all (a temporary file beside the target, renamed into place), and
checked to be regular files before anything reads them."""

import contextlib
import errno
import os
import secrets
import stat


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


def regular(path: str | os.PathLike[str], what: str = "file") -> str:
    """The path of a regular file, checked before anything opens it: a pipe or a device would block
    a reader for ever, or never end.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    what : str
        What the file should be, for the message about a directory (``"an audio file"``).

    Returns
    -------
    str
        The path.

    Raises
    ------
    FileNotFoundError, IsADirectoryError, OSError
        With ``strerror`` a short reason: "no such file", "is a directory, not WHAT", "the file
        name is too long", "not a regular file (a pipe, a device or a socket)", or the system's.
    """
    name = os.fspath(path)
    try:
        mode = os.stat(name).st_mode
    except (FileNotFoundError, NotADirectoryError):
        raise FileNotFoundError(errno.ENOENT, "no such file", name) from None
    except OSError as exc:
        if exc.errno == errno.ENAMETOOLONG:
            raise OSError(errno.ENAMETOOLONG, "the file name is too long", name) from None
        raise
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, f"is a directory, not {what}", name)
    if not stat.S_ISREG(mode):
        raise OSError(errno.EINVAL, "not a regular file (a pipe, a device or a socket)", name)
    return name
