"""The native paths under hostile conditions: Python code that runs inside a call and changes its
inputs, and other threads that write the inputs while a loop runs without the interpreter lock.

Whatever happens, the process survives and the results are what some run of the numpy path could
give. Where a fault would crash the interpreter the case runs in a fresh process (the sanitizer
build's environment passes on to it), so that a crash fails the test instead of ending the run.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velmor import unit7


def run(code, timeout=300):
    """Run code in a fresh interpreter and return its stdout, once it has ended normally."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"), timeout=timeout)  # collisions land alike every run
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
    return proc.stdout


# ---- Python code that runs inside the guard ---------------------------------------------------

# Two ways Python code runs where a guard looks something up, each calling fire() there:
# - a key of the module namespace with the hash of 'np', put before 'np' in its probe sequence,
#   so that every lookup of np compares it (its __eq__ runs);
# - numpy's module class swapped for one whose __getattribute__ runs first (np.zeros, np.empty).
# `occasions`: the runs of fire() that come before the guard reads m, and after it, before the loop.
HOOKS = {
    "namespace key": (
        """
        class Key:
            def __hash__(self):
                return hash("np")
            def __eq__(self, other):
                fire()
                return NotImplemented
        ns = vars(unit7)
        real_np = ns.pop("np")
        ns[Key()] = None
        ns["np"] = real_np
        """,
        [1, 2],
    ),
    "numpy class": (
        """
        import types
        class Hooked(types.ModuleType):
            def __getattribute__(self, name):
                if name in ("zeros", "empty"):
                    fire()
                return super().__getattribute__(name)
        np.__class__ = Hooked
        """,
        [1, 3],
    ),
}

HOOK_CASES = [(hook, k) for hook, (_, occasions) in HOOKS.items() for k in occasions]


def reshaped_inside(hook, occasion, before, after, win_len):
    """A child that calls diagonal_smoothing(m, win_len) on a `before` matrix which the hook
    reshapes to `after` on its occasion-th run, then checks the result against the numpy path
    given the leading n x n block of m as it is after the call (the entries that path reads)."""
    return run(f"""
        import types
        import numpy as np
        from velmor import unit7
        m = np.arange(float(np.prod({before}))).reshape({before}) % 7.0 + np.arange({before}[1]) / 8
        n = m.shape[0]
        runs, armed = [], []
        def fire():
            if armed:
                runs.append(1)
                if len(runs) == {occasion}:
                    m.shape = {after}
        {textwrap.indent(textwrap.dedent(HOOKS[hook][0]), " " * 8).strip()}
        armed.append(True)
        try:
            out = unit7.diagonal_smoothing(m, {win_len})
        except Exception as e:
            print("raised", type(e).__name__)
            raise SystemExit
        finally:
            armed.clear()
            np.__class__ = types.ModuleType
        assert len(runs) >= {occasion} and m.shape == {after}
        class Proxy(types.ModuleType):
            def __getattr__(self, name):
                return getattr(np, name)
        vars(unit7)["np"] = Proxy("numpy")
        ref = unit7.diagonal_smoothing(np.array(m[:n, :n]), {win_len})
        assert out.dtype == ref.dtype and out.shape == ref.shape == (n, n), (out.shape, ref.shape)
        np.testing.assert_allclose(out, ref, rtol=1e-12, atol=1e-12)
        print("agree")
    """)


@pytest.mark.parametrize("hook, occasion", HOOK_CASES)
@pytest.mark.parametrize("win_len", [3, 8, 400])  # 400: longer than the matrix
def test_diagonal_smoothing_of_a_matrix_that_grows_inside_the_call(hook, occasion, win_len):
    # n = 40 is read at statement 1; the matrix then has 80 rows: the result stays 40 x 40.
    assert reshaped_inside(hook, occasion, (40, 160), (80, 80), win_len).strip() == "agree"


@pytest.mark.parametrize("hook, occasion", HOOK_CASES)
def test_diagonal_smoothing_of_a_matrix_that_shrinks_inside_the_call(hook, occasion):
    # n = 80, and the matrix keeps only 40 rows: the numpy path indexes row 40 and raises.
    assert reshaped_inside(hook, occasion, (80, 80), (40, 160), 5).strip() == "raised IndexError"


# ---- column_derivative: the kernel is made after m was copied -----------------------------------

def writes_into(m):
    """Stand-ins that scale the caller's m by 4 and then do what they stand for."""
    return {
        "make_derivative_kernel": (unit7, lambda rows, k: (m.__imul__(4), unit7_kernel(rows, k))[1]),
        "exp": (np, lambda x: (m.__imul__(4), np_exp(x))[1]),
        "linspace": (np, lambda *a: (m.__imul__(4), np_linspace(*a))[1]),
    }


unit7_kernel, np_exp, np_linspace = unit7.make_derivative_kernel, np.exp, np.linspace


@pytest.mark.parametrize("name", ["make_derivative_kernel", "exp", "linspace"])
@pytest.mark.parametrize("shape", [(30, 30), (200, 260)])
def test_column_derivative_copies_m_before_the_kernel_is_made(name, shape, rng, monkeypatch):
    """A kernel function that writes into m changes m, not the curve: the padded copy comes first."""
    m = rng.standard_normal(shape)
    expected = unit7.column_derivative(m.copy(), 6)
    owner, stand_in = writes_into(m)[name]
    monkeypatch.setattr(owner, name, stand_in)
    out = unit7.column_derivative(m, 6)
    np.testing.assert_allclose(out, expected, rtol=1e-12, atol=1e-12)
    monkeypatch.undo()
    np.testing.assert_allclose(unit7.column_derivative(m, 6), 4 * expected, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("occasion", [1, 2])  # the guard's look at the namespace, statement 5's lookup
def test_column_derivative_with_a_kernel_function_rebound_inside_the_call(occasion):
    """A namespace key compared on every lookup of make_derivative_kernel rebinds that name to a
    function that writes into m: whenever that happens, m is copied before that function runs."""
    out = run(f"""
        import numpy as np
        from velmor import unit7
        m = np.random.default_rng(1).standard_normal((40, 40))
        expected = unit7.column_derivative(m.copy(), 6)
        own = unit7.make_derivative_kernel
        def writer(rows, k):
            m[:] = 0.0
            return own(rows, k)
        runs, armed = [], []
        class Key:
            def __hash__(self):
                return hash("make_derivative_kernel")
            def __eq__(self, other):
                if armed:
                    runs.append(1)
                    if len(runs) == {occasion}:
                        vars(unit7)["make_derivative_kernel"] = writer
                return NotImplemented
        ns = vars(unit7)
        ns.pop("make_derivative_kernel")
        ns[Key()] = None
        ns["make_derivative_kernel"] = own
        armed.append(True)
        got = unit7.column_derivative(m, 6)
        assert len(runs) >= {occasion} and not m.any()
        np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)
        print("copied first")
    """)
    assert out.strip() == "copied first"


# ---- other threads writing the inputs -----------------------------------------------------------

RACES = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    from velmor import unit7

    rng = np.random.default_rng(5)
    SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, 5e-324, 1.0])

    def race(name, call, target, check, seconds):
        # A plain thread assigns into `target` in a loop (slices, single items, special values,
        # whole rewrites) while this one calls the function on it.
        stop = False
        def writer():
            k = 0
            flat = target.reshape(-1)
            while not stop:
                k += 1
                if k % 3 == 0:
                    target[...] = rng.standard_normal(target.shape) if target.dtype.kind == "f" else k
                elif target.dtype.kind == "f":
                    flat[rng.integers(0, flat.size, 64)] = rng.choice(SPECIAL, 64)
                    flat[k % flat.size] = np.nan
                else:
                    flat[rng.integers(0, flat.size, 64)] = rng.integers(-5, 5, 64)
        t = threading.Thread(target=writer)
        t.start()
        calls = 0
        end = time.monotonic() + seconds
        try:
            while time.monotonic() < end:
                with np.errstate(all="ignore"):
                    check(call())
                calls += 1
        finally:
            stop = True
            t.join()
        print(name, calls, flush=True)
""")


def shape_is(shape, dtype=np.float64):
    return f"lambda r: (r.shape, r.dtype) == ({shape}, np.dtype('{np.dtype(dtype).name}')) or sys.exit(repr(r))"


PEAKS_CHECK = ("lambda r: r.ndim == 1 and r.dtype.kind in 'if' and (r.size == 0 or (np.diff(r) > 0).all()) "
               "or sys.exit(repr(r))")

# (name, set-up, call, array written, check). Every input is large enough for the loop to run
# without the interpreter lock.
RACE_CASES = [
    ("thresh_and_scale", "m = rng.random((300, 300))", "unit7.thresh_and_scale(m, 0.5)", "m",
     shape_is((300, 300))),
    ("make_lag_matrix", "m = rng.random((300, 300))", "unit7.make_lag_matrix(m)", "m", shape_is((300, 300))),
    ("diagonal_smoothing", "m = rng.random((300, 300))", "unit7.diagonal_smoothing(m, 8)", "m",
     shape_is((300, 300))),
    ("diagonal_smoothing:long", "m = rng.random((200, 200))", "unit7.diagonal_smoothing(m, 300)", "m",
     shape_is((200, 200))),
    ("column_derivative", "m = rng.random((300, 300))", "unit7.column_derivative(m, 8)", "m", shape_is((300,))),
    ("diagonal_slide", "m = rng.random((400, 400)); k = unit7.make_checkerboard(16)",
     "unit7.diagonal_slide(m, k)", "m", shape_is((400,))),
    ("diagonal_slide:kernel", "m = rng.random((400, 400)); k = unit7.make_checkerboard(16)",
     "unit7.diagonal_slide(m, k)", "k", shape_is((400,))),
    ("find_region_peaks:short", "x = rng.random(200_000)", "unit7.find_region_peaks(x, 14)", "x", PEAKS_CHECK),
    ("find_region_peaks:long", "x = rng.random(200_000)", "unit7.find_region_peaks(x, 301)", "x", PEAKS_CHECK),
    ("find_region_peaks:int64", "x = rng.integers(0, 9, 200_000)", "unit7.find_region_peaks(x, 14)", "x",
     PEAKS_CHECK),
    ("pos_neg_split", "e = rng.random(20_000) * 100; r = rng.random(20_000) * 100",
     "unit7.pos_neg_split(e, r, 0.01)", "r",
     "lambda p: (len(p) == 4 and len(p[0]) == len(p[2]) and len(p[0]) + len(p[1]) == 20_000) or sys.exit('split')"),
    ("calc_prf", "e = rng.random(20_000) * 100; r = rng.random(20_000) * 100", "unit7.calc_prf(e, r, 0.01)",
     "e", "lambda p: (len(p) == 3 and all(isinstance(v, float) for v in p)) or sys.exit('prf')"),
]


def test_concurrent_writers_never_crash_a_native_path():
    """Every native path that releases the interpreter lock, with another thread writing its input."""
    seconds = 0.2
    script = RACES + "".join(
        f"\n{setup}\nrace({name!r}, lambda: {call}, {target}, {check}, {seconds})\n"
        for name, setup, call, target, check in RACE_CASES
    )
    out = run(script).split()
    assert out[::2] == [case[0] for case in RACE_CASES] and all(int(c) > 0 for c in out[1::2])


def test_region_peaks_of_a_signal_written_during_the_call():
    """The fault found by fuzzing. Peaks every 7 samples are as dense as region_len 13 allows; the
    signal goes in chunks of 1024, and when a chunk that sees one phase of the pattern is followed
    by one that sees the next (a writer passing the loop), the two chunks together hold one peak
    more than a single pattern can: past the room an earlier version sized from that density."""
    out = run("""
        import threading, time
        import numpy as np
        from velmor import unit7
        n = 7 * 2400 + 4
        phases = [np.array([1.0 if (i - p) % 7 == 0 else 0.0 for i in range(n)]) for p in (1, 2)]
        x = phases[0].copy()
        stop = False
        def writer():
            k = 0
            while not stop:
                k += 1
                x[:] = phases[k & 1]
        t = threading.Thread(target=writer)
        t.start()
        dense = 0
        end = time.monotonic() + 1.0
        try:
            while time.monotonic() < end:
                peaks = unit7.find_region_peaks(x, 13)
                assert peaks.ndim == 1 and peaks.dtype.kind in "if"
                assert peaks.size == 0 or ((np.diff(peaks) > 0).all() and 0 < peaks[0] and peaks[-1] < n - 1)
                dense = max(dense, peaks.size)
        finally:
            stop = True
            t.join()
        print(dense >= n // 7)
    """)
    assert out.strip() == "True"
