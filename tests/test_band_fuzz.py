"""The band module's Python interface under hostile input: Python code that runs inside a call and
changes its arguments, other threads that write the arrays while a loop runs without the GIL, and
seeded random calls of any shape, dtype, layout and number.

Whatever happens, the process survives, nothing outside the output array is written, and a call
either returns or raises TypeError, ValueError, OverflowError or MemoryError. Every case runs in a
fresh process with a time limit, so that a crash or a hang fails the test instead of ending the run.
"""

import textwrap

import numpy as np
import pytest

from velmor import _band, unit7
from velmor.analysis import banded

# Prepared in each fresh process: a well-formed call of each function, and `call`, which runs one
# and reports how it ended.
PRELUDE = """
import threading
import numpy as np
from velmor import _band, unit7

f = np.random.default_rng(7).random((6, 120))
g = np.random.default_rng(8).random((3, 120))
kernel = np.ascontiguousarray(unit7.make_checkerboard(8, True, True), dtype=np.float64)
band = np.random.default_rng(9).random((120, 17))

def call(fn, *args):
    try:
        fn(*args)
    except (TypeError, ValueError, OverflowError, MemoryError) as exc:
        return type(exc).__name__
    return "done"
"""

HOSTILE = {
    "a weight's __float__ empties the weights": """
        class Empties:
            def __float__(self):
                weights.clear()
                return 1.0
        for fn, args in [(_band.band, (np.empty((120, 9)),)), (_band.novelty, (kernel, 3, 0, np.empty(120)))]:
            weights = [Empties(), 1.0, 2.0]
            print(call(fn, [f, g, f], weights, *args))
        """,
    "a weight's __float__ empties the features and frees their arrays": """
        class Frees:
            def __float__(self):
                features.clear()
                return 1.0
        features = [np.random.random((6, 120)), np.random.random((6, 120))]
        print(call(_band.novelty, features, [Frees(), 1.0], kernel, 1, 0, np.empty(120)))
        """,
    "a weight's __float__ resizes a feature in place": """
        class Resizes:
            def __float__(self):
                a.resize((6, 3), refcheck=False)
                return 1.0
        a = np.random.random((6, 120))
        print(call(_band.band, [a, g], [Resizes(), 1.0], np.empty((120, 9))))
        """,
    "an __index__ empties the features": """
        class Index:
            def __index__(self):
                features.clear()
                return 1
        features = [f, g]
        print(call(_band.novelty, features, [1.0, 1.0], kernel, Index(), Index(), np.empty(120)))
        features = [f, g]
        print(call(_band.band, features, [1.0, 1.0], np.empty((60, 9)), Index()))
        """,
    "a sequence whose items change as they are read": """
        class Shifty:
            def __init__(self, items):
                self.items = items
            def __len__(self):
                return 2
            def __getitem__(self, i):
                item = self.items[i] if i < len(self.items) else None
                self.items.clear()
                return item
        print(call(_band.band, Shifty([f, g]), Shifty([1.0, 2.0]), np.empty((120, 9))))
        print(call(_band.band, Shifty([f]), [1.0], np.empty((120, 9))))
        """,
    "a sequence that claims to be endless": """
        class Endless:
            def __len__(self):
                return 2**62
            def __getitem__(self, i):
                return f
        print(call(_band.band, Endless(), [1.0], np.empty((120, 9))))
        print(call(_band.novelty, [f], Endless(), kernel, 1, 0, np.empty(120)))
        """,
    "the output is a feature": """
        out = np.zeros((6, 13))
        print(call(_band.band, [out], [1.0], out))
        h = np.random.random((1, 120))
        print(call(_band.novelty, [h], [1.0], kernel, 5, 0, h[0]))
        """,
    "other threads write the arrays while the loops run": """
        stop = threading.Event()
        def scribble(arrays):
            values = [np.nan, np.inf, -np.inf, 1e308, 0.0, -1.0]
            i = 0
            while not stop.is_set():
                for a in arrays:
                    a.flat[i % a.size] = values[i % len(values)]
                i += 1
        a, k, b = f.copy(), kernel.copy(), band.copy()
        writers = [threading.Thread(target=scribble, args=([a, k, b],)) for _ in range(2)]
        for t in writers:
            t.start()
        for _ in range(30):
            call(_band.novelty, [a], [1.0], k, 7, 0, np.empty(120))
            call(_band.novelty_of_band, b, k, 3, 1, np.empty(120))
            call(_band.band, [a], [1.0], np.empty((120, 31)))
        stop.set()
        for t in writers:
            t.join()
        print("done")
        """,
}


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_arguments_never_crash(fresh_process, case):
    out = fresh_process(PRELUDE + textwrap.dedent(HOSTILE[case]), timeout=120).split()
    assert out and set(out) <= {"done", "TypeError", "ValueError", "OverflowError", "MemoryError"}


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)[1:]
    out = raw.view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


@pytest.mark.parametrize("road", ["similarity_band", "band_novelty", "banded_novelty", "banded_structure_novelty"])
def test_unaligned_arrays_are_refused_by_the_module_and_copied_by_the_road(rng, road):
    f = rng.random((5, 60))
    with pytest.raises(TypeError, match="aligned"):
        _band.band([unaligned(f)], [1.0], np.empty((60, 9)))
    kernel = np.ascontiguousarray(unit7.make_checkerboard(8, True, True), dtype=np.float64)
    with pytest.raises(TypeError, match="aligned"):
        _band.novelty([f], [1.0], unaligned(kernel), 1, 0, np.empty(60))
    with pytest.raises(TypeError, match="aligned"):
        _band.novelty([f], [1.0], kernel, 1, 0, unaligned(np.empty(60)))
    call = {
        "similarity_band": lambda x: banded.similarity_band(x, width=6),
        "band_novelty": lambda x: banded.band_novelty(banded.similarity_band(f, width=8) if x is f else unaligned(
            banded.similarity_band(f, width=8)), 8),
        "banded_novelty": lambda x: banded.banded_novelty(x, 8),
        "banded_structure_novelty": lambda x: banded.banded_structure_novelty(x, 8, lags=20),
    }[road]
    assert np.array_equal(call(unaligned(f)), call(f))


# Seeded random calls, made in the fresh process from these parts.
FUZZ = """
import math
import warnings
warnings.simplefilter("ignore")  # overflowing casts of the special values
rng = np.random.default_rng(SEED)
DTYPES = [np.float64, np.float64, np.float64, np.float32, np.int64, np.complex128, np.bool_, ">f8"]
NUMBERS = [0, 1, 2, 3, -1, 7, 2**31, 2**63 - 1, 2**63, -2**63, 10**30, 1e9, 2.5, math.nan, math.inf, -math.inf]

def bad():
    # half of the trials are well-formed but for the odd part, the others hostile throughout
    return rng.random() < share

def number():
    if bad():
        return Mutating() if rng.random() < 0.2 else NUMBERS[rng.integers(len(NUMBERS))]
    return int(rng.integers(0, 40))

def array(shape):
    kind = rng.integers(8) if bad() else 7
    dtype = DTYPES[rng.integers(len(DTYPES))] if bad() else np.float64
    a = rng.standard_normal(shape)
    if bad() and a.size:
        a.flat[rng.integers(a.size)] = [np.nan, np.inf, 1e308][rng.integers(3)]
    a = a.astype(dtype)
    if kind == 0:
        a = np.asfortranarray(a)
    elif kind == 1 and a.ndim and a.shape[-1] > 1:
        a = a[..., ::2]
    elif kind == 2 and a.dtype == np.float64:
        raw = np.zeros(a.nbytes + 1, np.uint8)[1:]
        b = raw.view(np.float64).reshape(a.shape)
        b[...] = a
        a = b
    elif kind == 3:
        a.flags.writeable = False
    return a

def guarded(shape):
    # an output array with sentinels on both sides, to see any write outside it
    size = int(np.prod(shape))
    store = np.full(size + 16, 12345.0)
    out = store[8:8 + size].reshape(shape)
    if bad():  # or one the module must refuse
        out = [out[::-1], out.astype(np.float32), out.view()][rng.integers(3)]
        out.flags.writeable = False
    return store, out

made = []  # the lists handed out in this trial, which a hostile number empties

class Mutating:
    def __float__(self):
        for seq in made:
            seq.clear()
        return 1.0
    def __index__(self):
        for seq in made:
            seq.clear()
        return 1

def sequence(items):
    kind = rng.integers(4) if bad() else 3
    if kind == 0:
        return tuple(items)
    if kind == 1:
        return np.array(items, dtype=object) if items and not isinstance(items[0], np.ndarray) else items
    seq = list(items)
    if kind == 2:
        seq.insert(int(rng.integers(len(seq) + 1)), Mutating())
    made.append(seq)
    return seq

ends = []
for trial in range(TRIALS):
    made.clear()
    share = 0.03 if trial % 2 else 0.3
    n = int(rng.choice([0, 1, 2, 3, 5, 17, 64, 150]))
    count = int(rng.integers(0, 4) if bad() else rng.integers(1, 4)) or int(rng.choice([0, 65]))
    features = [array((int(rng.integers(0, 9)), n + 1 if bad() else n)) for _ in range(count)]
    weights = [float(x) for x in rng.standard_normal(count)] + ([number()] if bad() else [])
    if bad():
        weights = [NUMBERS[rng.integers(len(NUMBERS))] for _ in range(count)]
    k = int(rng.choice([2, 4, 8, 16, 3, 0, 32]) if bad() else rng.choice([2, 4, 8, 16]))
    kernel = array((k, k + 2 if bad() else k))
    which = rng.integers(3)
    if which == 0:
        shape = (int(rng.integers(0, n + 2)), int(rng.choice([1, 3, 9, 17, 2, 0])))
        store, out = guarded(shape)
        args = (sequence(features), sequence(weights), out) + ((number(),) if rng.random() < 0.5 else ())
        fn = _band.band
    else:
        store, out = guarded((n + 1 if bad() else n,))
        smooth, piece = number(), number()
        if which == 1:
            args = (sequence(features), sequence(weights), kernel, smooth, piece, out)
            fn = _band.novelty
        else:
            b = array((n, int(rng.choice([1, 3, abs(2 * k - 1)]) if bad() else rng.choice([2 * k + 1, 41]))))
            args = (b, kernel, smooth, piece, out)
            fn = _band.novelty_of_band
    ends.append(call(fn, *args))
    assert (store[:8] == 12345.0).all() and (store[-8:] == 12345.0).all(), (trial, fn)
print(" ".join(ends))
"""


@pytest.mark.parametrize("seed", range(4))
def test_seeded_random_calls_never_crash_or_write_outside_their_output(fresh_process, seed):
    out = fresh_process(PRELUDE + FUZZ.replace("SEED", str(seed)).replace("TRIALS", "1000"), timeout=240).split()
    assert len(out) == 1000 and set(out) <= {"done", "TypeError", "ValueError", "OverflowError", "MemoryError"}
    assert out.count("done") >= 150  # the calls reach the loops, not only the checks
