"""Peak picking and boundary evaluation: find_region_peaks, pos_neg_split, calc_prf."""

import numpy as np
import pytest

from lines import line
from velmor import unit7

NAN = np.nan
INT = np.arange(1).dtype
SIGNAL = (1, 3, 2, 4, 1, 0, 2, 1)


def peaks_reference(x, region_len):
    """Positions strictly greater than every other sample of their window, ends repeated."""
    x, hw = list(x), region_len // 2
    out = []
    for n in range(len(x)):
        win = [x[min(max(n - hw + k, 0), len(x) - 1)] for k in range(region_len)]
        if all(win[k] < x[n] for k in range(region_len) if k != hw):
            out.append(n)
    return out


def split_reference(est, ref, tau):
    """Greedy one-to-one matching in estimate order, each taking its lowest free admissible reference."""
    taken, est_hit = set(), []
    for e in est:
        j = next((j for j, r in enumerate(ref) if j not in taken and abs(e - r) < tau), None)
        est_hit.append(j is not None)
        if j is not None:
            taken.add(j)
    ref_hit = [j in taken for j in range(len(ref))]
    return est_hit, ref_hit


def arrays(*values):
    return [np.array(v, dtype=float) for v in values]


# ---- find_region_peaks --------------------------------------------------------------------------

@pytest.mark.parametrize("x, region_len, expected", [
    (SIGNAL, 1, [0, 1, 2, 3, 4, 5, 6, 7]),
    (SIGNAL, 2, [1, 3, 6]),
    (SIGNAL, 3, [1, 3, 6]),
    (SIGNAL, 4, [1, 3, 6]),
    (SIGNAL, 5, [3, 6]),
    (SIGNAL, 6, [3]),
    (SIGNAL, 7, [3]),
    (SIGNAL, 8, [3]),
    (SIGNAL, 20, [3]),
    ((1, 5, 5, 1), 3, []),                 # a plateau blocks itself
    ((0, 5, 0, 6, 0, 0), 4, [1, 3]),       # even window: peaks hw apart
    ((0, 1, 2), 2, [1, 2]),                # last sample, nothing after the centre
    ((0, 1, 2), 3, []),
    ((0, 1, 2), 4, []),
    ((3, 1, 2), 2, [2]),                   # first sample meets its own copies
    ((3, 1, 2), 3, []),
    ((7,), 1, [0]),
    ((7,), 2, []),
    ((7,), 5, []),
    ((), 0, []),
    ((), 1, []),
    ((0, NAN, 0, 3, 0), 3, [3]),
    ((0, 2, NAN, 3, 0), 3, []),
    ((0, NAN, 0), 1, [0, 1, 2]),
])
def test_peaks_worked_values(x, region_len, expected):
    got = unit7.find_region_peaks(np.array(x, dtype=float), region_len)
    assert got.tolist() == expected
    assert got.dtype == (INT if expected else np.float64) and got.shape == (len(expected),)


def test_peaks_accept_lists_and_leave_input_unchanged():
    x = np.array(SIGNAL, dtype=float)
    before = x.copy()
    assert unit7.find_region_peaks(x, 3).tolist() == unit7.find_region_peaks(list(SIGNAL), 3).tolist()
    assert np.array_equal(x, before)


@pytest.mark.parametrize("region_len", range(1, 10))
@pytest.mark.parametrize("kind", ["float", "ties"])
def test_peaks_properties(rng, region_len, kind):
    for _ in range(10):
        x = rng.random(40) if kind == "float" else rng.integers(0, 4, 40).astype(float)
        got = unit7.find_region_peaks(x, region_len).tolist()
        assert got == peaks_reference(x, region_len)
        gaps = np.diff(got)
        assert np.all(gaps >= region_len - region_len // 2) and np.all(gaps > 0)


class ArrayLog:
    """Bound as `np`: numpy, except that np.array records what it is given."""

    def __init__(self):
        self.seen = []

    def __getattr__(self, name):
        return getattr(np, name)

    def array(self, obj):
        self.seen.append(list(obj))
        return np.array(obj)


def test_peaks_hand_numpy_integers_to_np_array(monkeypatch):
    log = ArrayLog()
    monkeypatch.setattr(unit7, "np", log)
    unit7.find_region_peaks(np.array(SIGNAL, dtype=float), 3)
    unit7.find_region_peaks(np.array([1.0, 1.0]), 3)
    assert log.seen == [[1, 3, 6], []]
    assert all(type(n) is type(np.arange(1)[0]) for n in log.seen[0])


@pytest.mark.parametrize("x, region_len, exc, k", [
    (5, 3, TypeError, 3),                          # no length
    (np.arange(4.0), "3", TypeError, 2),           # floor division of a string
    (np.arange(4.0), 3.0, TypeError, 4),           # a float pad width
    (np.arange(4.0), -2, ValueError, 4),
    (np.array([]), 2, ValueError, 4),              # edge mode cannot extend an empty axis
    (np.arange(4.0), 0, IndexError, 8),            # the empty window has no centre entry
])
def test_peaks_failures(x, region_len, exc, k, entries):
    with pytest.raises(exc) as info:
        unit7.find_region_peaks(x, region_len)
    assert [(e[0], e[1], e[2]) for e in entries(info)] == [
        ("velmor.unit7.find_region_peaks", "package/velmor/unit7", line(unit7.find_region_peaks, k))]
    assert entries(info)[0][3] is vars(unit7)


def test_peaks_without_np(monkeypatch, entries):
    monkeypatch.delattr(unit7, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$") as info:
        unit7.find_region_peaks([1.0, 2.0], 3)
    assert entries(info)[0][2] == line(unit7.find_region_peaks, 4)


# ---- pos_neg_split ------------------------------------------------------------------------------

@pytest.mark.parametrize("est, ref, tau, expected", [
    ((2.0,), (1.5, 2.1), 1.0, ((2.0,), (), (1.5,), (2.1,))),            # lowest index, not nearest
    ((1.5, 1.0), (1.0, 2.0), 0.6, ((1.5,), (1.0,), (1.0,), (2.0,))),    # the earlier estimate wins
    ((1.0, 1.5), (1.0, 2.0), 0.6, ((1.0, 1.5), (), (1.0, 2.0), ())),
    ((1.0, 1.1), (1.05,), 0.5, ((1.0,), (1.1,), (1.05,), ())),          # one reference, two candidates
    ((1.0,), (1.5,), 0.5, ((), (1.0,), (), (1.5,))),                    # a distance of tau is too far
    ((1.0,), (1.0,), 0.0, ((), (1.0,), (), (1.0,))),
    ((1.0,), (1.0,), -1.0, ((), (1.0,), (), (1.0,))),
    ((), (1.0, 2.0), 1.0, ((), (), (), (1.0, 2.0))),
    ((1.0, 2.0), (), 1.0, ((), (1.0, 2.0), (), ())),
    ((NAN, 1.0), (1.0,), 0.5, ((1.0,), (NAN,), (1.0,), ())),
    ((1.0,), (NAN, 1.0), 0.5, ((1.0,), (), (1.0,), (NAN,))),
    ((1.0,), (1.0,), NAN, ((), (1.0,), (), (1.0,))),
])
def test_split_worked_values(est, ref, tau, expected):
    est, ref = arrays(est, ref)
    got = unit7.pos_neg_split(est, ref, tau)
    assert type(got) is tuple and len(got) == 4
    for part, want in zip(got, expected):
        assert part.dtype == np.float64
        np.testing.assert_array_equal(part, np.array(want, dtype=float))


@pytest.mark.parametrize("dtype", [float, np.int64, np.float32])
def test_split_properties(rng, dtype):
    for _ in range(30):
        est = (rng.random(rng.integers(0, 12)) * 20).astype(dtype)
        ref = (rng.random(rng.integers(0, 12)) * 20).astype(dtype)
        kept = est.copy(), ref.copy()
        est_pos, est_neg, ref_pos, ref_neg = unit7.pos_neg_split(est, ref, 1.5)
        est_hit, ref_hit = split_reference(est.tolist(), ref.tolist(), 1.5)
        assert len(est_pos) == len(ref_pos)
        for part, source, hit in [(est_pos, est, est_hit), (ref_pos, ref, ref_hit)]:
            assert part.dtype == source.dtype and part.tolist() == [v for v, h in zip(source, hit) if h]
        for part, source, hit in [(est_neg, est, est_hit), (ref_neg, ref, ref_hit)]:
            assert part.dtype == source.dtype and part.tolist() == [v for v, h in zip(source, hit) if not h]
        assert np.array_equal(est, kept[0]) and np.array_equal(ref, kept[1])
        p, r, f = unit7.calc_prf(est, ref, 1.5)
        assert all(type(v) is float and 0.0 <= v <= 1.0 for v in (p, r, f))


@pytest.mark.parametrize("est, ref, tau, exc, k", [
    (5, np.array([1.0]), 1.0, TypeError, 1),                   # no length
    (np.array([1.0]), None, 1.0, TypeError, 2),
    (np.array(["a"]), np.array([1.0]), 1.0, TypeError, 4),     # no subtraction for strings
    (np.array([1.0]), np.array([1.0]), "x", TypeError, 4),
    ([1.0], np.array([1.0]), 1.0, TypeError, 9),               # a list takes no mask
    (np.array([1.0]), [1.0], 1.0, TypeError, 9),
])
def test_split_failures(est, ref, tau, exc, k, entries):
    with pytest.raises(exc) as info:
        unit7.pos_neg_split(est, ref, tau)
    assert [(e[0], e[2]) for e in entries(info)] == [("velmor.unit7.pos_neg_split", line(unit7.pos_neg_split, k))]
    with pytest.raises(exc) as info:
        unit7.calc_prf(est, ref, tau)
    assert [(e[0], e[2]) for e in entries(info)] == [
        ("velmor.unit7.calc_prf", line(unit7.calc_prf, 1)),
        ("velmor.unit7.pos_neg_split", line(unit7.pos_neg_split, k))]


# ---- calc_prf -----------------------------------------------------------------------------------

@pytest.mark.parametrize("est, ref, tau, expected", [
    ((1.5, 1.0), (1.0, 2.0), 0.6, (0.5, 0.5, 0.5)),
    ((1.0, 1.5), (1.0, 2.0), 0.6, (1.0, 1.0, 1.0)),
    ((1.0, 5.0, 9.0), (1.2, 9.3), 0.5, (0.6666666666666666, 1.0, 0.8)),
    ((1.0, 2.0, 3.0, 4.0), (1.1, 3.3, 7.0), 0.25, (0.25, 0.3333333333333333, 0.28571428571428575)),
    ((1.0, 2.0, 3.0, 4.0), (1.1, 3.3, 7.0), 0.35, (0.5, 0.6666666666666666, 0.5714285714285715)),
    ((3.0, 1.0, 2.0), (3.0, 1.0, 2.0), 0.1, (1.0, 1.0, 1.0)),
    ((), (1.0,), 1.0, (0.0, 0.0, 0.0)),
    ((1.0,), (), 1.0, (0.0, 0.0, 0.0)),
    ((1.0,), (5.0,), 1.0, (0.0, 0.0, 0.0)),
])
def test_prf_worked_values(est, ref, tau, expected):
    got = unit7.calc_prf(*arrays(est, ref), tau)
    assert got == expected and all(type(v) is float for v in got)


def test_prf_integer_inputs_and_shared_zero_result():
    assert unit7.calc_prf(np.array([1, 5]), np.array([1]), 1) == (0.5, 1.0, 0.6666666666666666)
    zero = unit7.calc_prf(np.array([]), np.array([1.0]), 1.0)
    assert zero is unit7.calc_prf(np.array([9.0]), np.array([1.0]), 1.0)


def test_prf_reaches_split_through_the_namespace(monkeypatch, recorder):
    stand_in = recorder((np.ones(2), np.ones(1), None, np.ones(3)))  # ref_tp is never looked at
    monkeypatch.setattr(unit7, "pos_neg_split", stand_in)
    est, ref = arrays((1.0,), (2.0,))
    p, r, f = unit7.calc_prf(est, ref, 0.5)
    assert len(stand_in.calls) == 1
    args, kwargs = stand_in.calls[0]
    assert kwargs == {} and len(args) == 3 and args[0] is est and args[1] is ref and args[2] == 0.5
    assert (p, r) == (2 / 3, 2 / 5) and f == 2 * p * r / (p + r)


def parts(n, container):
    items = [np.ones(1)] * n
    return iter(items) if container == "iterator" else container(items)


@pytest.mark.parametrize("container", [tuple, list, "iterator"])
@pytest.mark.parametrize("n, message", [
    (0, "need more than 0 values to unpack"),
    (1, "need more than 1 value to unpack"),
    (2, "need more than 2 values to unpack"),
    (3, "need more than 3 values to unpack"),
    (4, None),
    (5, "too many values to unpack (expected 4)"),
])
def test_prf_unpacks_exactly_four(monkeypatch, entries, container, n, message):
    monkeypatch.setattr(unit7, "pos_neg_split", lambda est, ref, tau: parts(n, container))
    if message is None:
        assert unit7.calc_prf(None, None, None) == (0.5, 0.5, 0.5)
        return
    with pytest.raises(ValueError) as info:
        unit7.calc_prf(None, None, None)
    assert str(info.value) == message
    assert [(e[0], e[2]) for e in entries(info)] == [("velmor.unit7.calc_prf", line(unit7.calc_prf, 1))]


def test_prf_rejects_a_non_iterable_split(monkeypatch):
    monkeypatch.setattr(unit7, "pos_neg_split", lambda est, ref, tau: 0)
    with pytest.raises(TypeError, match=r"^'int' object is not iterable$"):
        unit7.calc_prf(None, None, None)


@pytest.mark.parametrize("bad, k", [(0, 2), (1, 3), (3, 4)])
def test_prf_counts_in_order(monkeypatch, entries, bad, k):
    result = [np.ones(1)] * 4
    result[bad] = 5  # no length
    monkeypatch.setattr(unit7, "pos_neg_split", lambda est, ref, tau: tuple(result))
    with pytest.raises(TypeError) as info:
        unit7.calc_prf(None, None, None)
    assert entries(info)[0][2] == line(unit7.calc_prf, k)


def test_prf_without_split(monkeypatch, entries):
    monkeypatch.delattr(unit7, "pos_neg_split")
    with pytest.raises(NameError, match=r"^name 'pos_neg_split' is not defined$") as info:
        unit7.calc_prf(np.ones(1), np.ones(1), 1.0)
    assert entries(info)[0][2] == line(unit7.calc_prf, 1)
