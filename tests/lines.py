"""Where a compiled function's traceback entries point: its header, then one line per statement."""

import pytest

from velmor import unit7


def line(f, k):
    """The line that a traceback entry of f reports for its k-th statement."""
    return f.__code__.co_firstlineno + f.__doc__.count("\n") + 1 + k


def assert_fails_at(name, args, exc, k, entries):
    """Calling unit7.<name>(*args) raises exc with one entry, at the k-th statement."""
    f = getattr(unit7, name)
    with pytest.raises(exc) as info:
        f(*args)
    assert [(e[0], e[2]) for e in entries(info)] == [(f"velmor.unit7.{name}", line(f, k))]
