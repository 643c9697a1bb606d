"""Shared fixtures: the compiled module, a seeded random generator, recording stand-ins, fresh processes."""

import os
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from velmor import unit7 as _unit7


@pytest.fixture
def unit7():
    return _unit7


@pytest.fixture
def fresh_process():
    """Run code in a fresh interpreter under a time limit and return its stdout once it has ended
    normally: a crash or a hang fails the test instead of ending the run (the sanitizer build's
    environment passes on to it)."""

    def run(code, timeout=300):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              env=dict(os.environ), timeout=timeout)
        assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
        return proc.stdout

    return run


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


class Recorder:
    """A callable that records its calls and returns a fixed result (or raises it)."""

    def __init__(self, result=None):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.fixture
def recorder():
    return Recorder


def traceback_entries(excinfo):
    """(co_name, co_filename, lineno, f_globals) of each traceback entry of a pytest ExceptionInfo."""
    out = []
    tb = excinfo.tb
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append((code.co_name, code.co_filename, tb.tb_lineno, tb.tb_frame.f_globals))
        tb = tb.tb_next
    return out


def unit7_entries(excinfo):
    """The traceback entries that the compiled module added, outermost first."""
    return [e for e in traceback_entries(excinfo) if e[1] == "package/velmor/unit7"]


@pytest.fixture
def entries():
    return unit7_entries


def refcounts(*objs):
    return [sys.getrefcount(o) for o in objs]


class NumpyProxy(types.ModuleType):
    """numpy seen through another module object: every function is numpy's own, but the module
    is not the one captured at import, so the compiled functions take their numpy path."""

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def numpy_path(monkeypatch):
    """Run the compiled functions on their numpy path for the duration of a test."""

    def use():
        monkeypatch.setattr(_unit7, "np", NumpyProxy("numpy"))

    def undo():
        monkeypatch.setattr(_unit7, "np", np)

    return types.SimpleNamespace(use=use, undo=undo)
