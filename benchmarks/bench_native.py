"""Native paths against the numpy path, in one run: times, ratios and peak memory.

Run by hand (``make bench``); not part of the test suite. Both paths run interleaved on the
same inputs, each case repeated and summarised by its median, so machine noise hits both alike.
The numpy path is forced by binding ``np`` in the module namespace to a thin proxy of numpy.
"""

import argparse
import statistics
import sys
import time
import tracemalloc
import types

import numpy as np

from velmor import unit7


class NumpyProxy(types.ModuleType):
    def __getattr__(self, name):
        return getattr(np, name)


PROXY = NumpyProxy("numpy")


def use_numpy_path(on):
    setattr(unit7, "np", PROXY if on else np)


def real_ssm(n, rng):
    f = rng.random((12, n))
    f /= np.linalg.norm(f, axis=0, keepdims=True)
    return f.T @ f


def timed(fn, args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def peak_memory(fn, args):
    tracemalloc.start()
    tracemalloc.reset_peak()
    fn(*args)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def same(a, b):
    if isinstance(a, tuple):
        return all(same(x, y) for x, y in zip(a, b))
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind == "f":
        return bool(np.allclose(a, b, rtol=0, atol=1e-9, equal_nan=True))
    return bool(np.array_equal(a, b))


def measure(fn, args, repeats, numpy_budget):
    """Median native and numpy-path times (interleaved), and the peak memory of each."""
    native, ref = [], []
    out_native = out_ref = None
    spent = 0.0
    # one untimed call per path first: the first large result of a size costs the kernel's page
    # set-up, for either path, which says nothing about the loops compared here
    for numpy_path in (False, True):
        use_numpy_path(numpy_path)
        fn(*args)
    for _ in range(repeats):
        use_numpy_path(False)
        t, out_native = timed(fn, args)
        native.append(t)
        use_numpy_path(True)
        t, out_ref = timed(fn, args)
        ref.append(t)
        spent += t
        if spent > numpy_budget:
            break
    use_numpy_path(False)
    mem_native = peak_memory(fn, args)
    use_numpy_path(True)
    mem_ref = peak_memory(fn, args)
    use_numpy_path(False)
    if not same(out_native, out_ref):
        raise AssertionError(f"{fn.__name__}: the native and numpy paths disagree")
    return statistics.median(native), statistics.median(ref), mem_native, mem_ref


def cases(n, rng):
    ssm = real_ssm(n, rng)
    x = rng.random(100_000)
    est = np.sort(rng.random(10_000)) * 1000
    ref = np.sort(rng.random(10_000)) * 1000
    return [
        ("diagonal_novelty", "cb_len 64", unit7.diagonal_novelty, (ssm, 64)),
        ("diagonal_smoothing", "win_len 8", unit7.diagonal_smoothing, (ssm, 8)),
        ("column_derivative", "k_len 16", unit7.column_derivative, (ssm, 16)),
        ("make_lag_matrix", "", unit7.make_lag_matrix, (ssm,)),
        ("thresh_and_scale", "tau 0.5", unit7.thresh_and_scale, (ssm, 0.5)),
        ("find_region_peaks", "100 000 samples, region_len 16", unit7.find_region_peaks, (x, 16)),
        ("calc_prf", "10 000 each, tau 0.05", unit7.calc_prf, (est, ref, 0.05)),
    ]


def throughput(n, rng, repeats):
    """Multiply-adds per second of diagonal_slide; bytes per second of make_lag_matrix beside np.copy."""
    ssm = real_ssm(n, rng)
    kernel = unit7.make_checkerboard(64)
    t = statistics.median(timed(unit7.diagonal_slide, (ssm, kernel))[0] for _ in range(repeats))
    macs = n * 64 * 64
    print(f"diagonal_slide N={n} L=64: {macs / t / 1e9:.2f} G multiply-adds/s")
    t_lag = statistics.median(timed(unit7.make_lag_matrix, (ssm,))[0] for _ in range(repeats))
    t_copy = statistics.median(timed(np.copy, (ssm,))[0] for _ in range(repeats))
    moved = 2 * ssm.nbytes  # read once, written once
    print(f"make_lag_matrix N={n}: {moved / t_lag / 1e9:.2f} GB/s, np.copy {moved / t_copy / 1e9:.2f} GB/s "
          f"({t_copy / t_lag:.0%} of copy speed)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[500, 2000, 8000])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--numpy-budget", type=float, default=60.0,
                        help="stop repeating a case once its numpy path has taken this many seconds")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)
    print(f"{'function':20} {'case':32} {'N':>5} {'native ms':>10} {'numpy ms':>10} {'ratio':>8} "
          f"{'native MB':>10} {'numpy MB':>10}")
    for n in args.sizes:
        for name, case, fn, fargs in cases(n, rng):
            t_nat, t_ref, m_nat, m_ref = measure(fn, fargs, args.repeats, args.numpy_budget)
            print(f"{name:20} {case:32} {n:>5} {t_nat * 1e3:>10.2f} {t_ref * 1e3:>10.2f} "
                  f"{t_ref / t_nat:>7.1f}x {m_nat / 2**20:>10.2f} {m_ref / 2**20:>10.2f}", flush=True)
    for n in args.sizes:
        throughput(n, rng, args.repeats)
    n = max(args.sizes)
    ssm = real_ssm(n, rng)
    kernel = unit7.make_checkerboard(64)
    peak = peak_memory(unit7.diagonal_slide, (ssm, kernel))
    print(f"diagonal_slide N={n}: peak {peak} bytes, output {n * 8} bytes, kernel {kernel.nbytes} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
