"""The banded road against the dense one: the same novelty curve without the n x n matrix."""

import numpy as np
import pytest

from velmor import unit7
from velmor.analysis import banded, checkerboard_novelty, fuse, self_similarity


def unit(f):
    return f / np.linalg.norm(f, axis=0)


def sections(rng, n, dims=(19, 12)):
    """Unit-column features with a few sections, some coming back, and a little noise."""
    out = []
    for d in dims:
        looks = rng.standard_normal((d, 4))
        which = (np.arange(n) * 7 // max(n, 1)) % 4
        out.append(unit(looks[:, which] + 0.3 * rng.standard_normal((d, n))))
    return out


def dense(features, weights=None):
    return fuse([self_similarity(f) for f in features], weights)


@pytest.mark.parametrize("n", [1, 2, 3, 7, 40, 301])
@pytest.mark.parametrize("k", [2, 6, 8, 20, 64])
def test_from_the_same_matrix_values_the_curve_is_the_dense_one_bit_for_bit(rng, n, k):
    # Short inputs mirror several times over (n < k / 2); kernels below eight columns take the
    # loop's buffered way, the others its vector lanes.
    ssm = dense(sections(rng, n))
    expected = checkerboard_novelty(ssm, k)
    assert np.array_equal(banded.band_novelty(banded.band_of(ssm, k), k), expected)
    wider = banded.band_of(ssm, k + 5)  # a wider band than needed changes nothing
    assert np.array_equal(banded.band_novelty(wider, k), expected)


@pytest.mark.parametrize("n", [2, 50, 400])
@pytest.mark.parametrize("k, smooth", [(8, 2), (8, 5), (20, 9), (6, 40)])
def test_smoothing_in_the_band_is_diagonal_smoothing_within_rounding(rng, n, k, smooth):
    ssm = dense(sections(rng, n))
    expected = checkerboard_novelty(unit7.diagonal_smoothing(ssm, smooth), k)
    got = banded.band_novelty(banded.band_of(ssm, k), k, smooth_frames=smooth)
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-14)


@pytest.mark.parametrize("dims, weights", [((19,), None), ((19, 12), None), ((19, 12), (3.0, 1.0)),
                                           ((5, 12, 3), (0.0, 1.0, 2.0))])
@pytest.mark.parametrize("smooth", [None, 3])
def test_from_features_the_curve_is_the_dense_one_within_rounding(rng, dims, weights, smooth):
    # The dense road's matrix product sums each cosine in the BLAS's order, the band in order of
    # the feature's rows: the same values up to rounding, and so the same curve.
    f = sections(rng, 500, dims)
    ssm = dense(f, weights)
    if smooth:
        ssm = unit7.diagonal_smoothing(ssm, smooth)
    expected = checkerboard_novelty(ssm, 24)
    got = banded.banded_novelty(f, 24, weights=weights, smooth_frames=smooth)
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-13)
    band = banded.similarity_band(f, weights, width=24)
    np.testing.assert_allclose(band, banded.band_of(dense(f, weights), 24), rtol=0, atol=1e-14)


def test_the_band_is_symmetric_bit_for_bit(rng):
    w = 9
    band = banded.similarity_band(sections(rng, 200), width=w)
    for o in range(1, w):
        assert np.array_equal(band[:-o, w - 1 + o], band[o:, w - 1 - o])
        assert not band[-o:, w - 1 + o].any() and not band[:o, w - 1 - o].any()


def test_blocks_meet_without_a_seam(rng):
    # The native loop works in blocks of 4096 frames; across them the curve is the dense one.
    f = sections(rng, 4500, (6,))
    expected = checkerboard_novelty(self_similarity(f[0]), 10)
    np.testing.assert_allclose(banded.banded_novelty(f, 10), expected, rtol=0, atol=1e-13)


def test_inputs_are_untouched_and_any_layout_or_dtype_gives_the_same_curve(rng):
    f = sections(rng, 300)
    copies = [a.copy() for a in f]
    expected = banded.banded_novelty(f, 16)
    assert all(np.array_equal(a, b) for a, b in zip(f, copies))
    assert np.array_equal(banded.banded_novelty([np.asfortranarray(a) for a in f], 16), expected)
    assert np.array_equal(banded.banded_novelty([a[:, ::-1][:, ::-1] for a in f], 16), expected)
    band = banded.similarity_band(f, width=16)
    frozen = band.copy()
    banded.band_novelty(band, 16, smooth_frames=4)
    assert np.array_equal(band, frozen)


def test_a_change_is_found_where_it_is(rng):
    n, at = 2000, 1234
    f = np.zeros((4, n))
    f[0, :at] = 1.0
    f[1, at:] = 1.0
    novelty = banded.banded_novelty(f, 40)
    assert int(np.argmax(novelty)) == at
    assert novelty[at] == pytest.approx(0.5)  # identical frames against orthogonal ones


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: banded.banded_novelty(np.zeros(5), 4), ValueError, "shape"),
        (lambda: banded.banded_novelty([np.zeros((2, 5)), np.zeros((2, 6))], 4), ValueError, "lengths"),
        (lambda: banded.banded_novelty(np.full((2, 5), np.nan), 4), ValueError, "finite"),
        (lambda: banded.banded_novelty([], 4), ValueError, "at least one"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 4, weights=(1.0, 2.0)), ValueError, "weights"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 4, smooth_frames=0), ValueError, "smooth"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 10000), ValueError, "8192"),
        (lambda: banded.band_novelty(np.ones((5, 5)), 4), ValueError, "too narrow"),
        (lambda: banded.band_novelty(np.ones((5, 4)), 2), ValueError, "shape"),
        (lambda: banded.similarity_band(np.ones((2, 5)), width=0), ValueError, "width"),
        (lambda: banded.similarity_band(np.ones((2, 5)), width=2.5), ValueError, "width must be an integer"),
        (lambda: banded.band_of(np.ones((5, 5)), -1), ValueError, "width must be an integer of at least 1"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), np.nan), ValueError, "kernel_frames .* from 0 to 8192"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), -4), ValueError, "kernel_frames .* from 0 to 8192"),
        (lambda: banded.band_novelty(np.ones((5, 9)), np.inf), ValueError, "kernel_frames .* from 0 to 8192"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 4, smooth_frames=2.5), ValueError, "smooth_frames"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 4, smooth_frames=np.nan), ValueError, "smooth_frames"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 4, weights=[np.nan]), ValueError, "weights .*finite"),
        (lambda: banded.banded_novelty(np.ones((2, 5)), 4, weights=[np.inf]), ValueError, "weights .*finite"),
        (lambda: banded.banded_structure_novelty(np.ones((2, 9)), 4, lags=2.5), ValueError, "lags"),
        (lambda: banded.banded_structure_novelty(np.ones((2, 9)), 4, lags=3, block=0), ValueError, "block"),
        (lambda: banded.banded_structure_novelty(np.ones((2, 9)), 1e12, lags=3), ValueError, "kernel_frames"),
        (lambda: banded.banded_structure_novelty(np.ones((2, 9)), 4, lags=3, smooth_frames=1e9), ValueError,
         "smooth_frames .* from 0 to 8192"),
        (lambda: banded.banded_structure_novelty(np.ones((2, 9)), 4, lags=3, neighbours=np.nan), ValueError,
         "neighbours"),
        (lambda: banded.parse_bytes("lots"), ValueError, "unit"),
        (lambda: banded.parse_bytes(-5), ValueError, "positive"),
        (lambda: banded.parse_bytes(2.5), TypeError, "int or a string"),
    ],
)
def test_bad_input_is_refused_clearly(call, error, match):
    with pytest.raises(error, match=match):
        call()


@pytest.mark.parametrize("scale", [2.0**-1000, 2.0**1000, 2.0**1023])  # the last one's sum overflows
def test_weights_count_by_their_shares_however_large(rng, scale):
    f = sections(rng, 200)
    expected = banded.banded_novelty(f, 16, weights=(1.0, 0.75))
    assert np.array_equal(banded.banded_novelty(f, 16, weights=(1.0 * scale, 0.75 * scale)), expected)


def test_a_smoothing_longer_than_the_input_ends_and_covers_it_all(fresh_process):
    # Past twice the input's length every row sums its whole diagonal, so the curve only scales
    # with the length (the novelty is linear in the matrix); before, the loop stepped through
    # every one of the 10**18 taps.
    out = fresh_process("""
        import numpy as np
        from velmor.analysis import banded
        f = np.random.default_rng(3).random((12, 50))
        for road in (lambda s: banded.banded_novelty(f, 8, smooth_frames=s),
                     lambda s: banded.band_novelty(banded.similarity_band(f, width=8), 8, smooth_frames=s)):
            long, longer = road(10**3) * 10**3, road(10**18) * 10**18
            print(np.allclose(long, longer, rtol=1e-12, atol=0) and np.ptp(long) > 0)
        """, timeout=120)
    assert out.split() == ["True", "True"]


@pytest.mark.parametrize("text, expected", [("512M", 512 << 20), ("4G", 4 << 30), ("1.5GiB", 3 << 29),
                                            ("100k", 100 << 10), ("2048", 2048), (1 << 20, 1 << 20)])
def test_memory_sizes_read_as_powers_of_1024(text, expected):
    assert banded.parse_bytes(text) == expected


def test_the_native_module_checks_what_it_is_handed():
    from velmor import _band

    f = np.ones((2, 10))
    with pytest.raises(ValueError, match="one value per frame"):
        _band.novelty([f], [1.0], unit7.make_checkerboard(4), 1, 0, np.empty(9))
    with pytest.raises(TypeError, match="float64"):
        _band.novelty([f.astype(np.float32)], [1.0], unit7.make_checkerboard(4), 1, 0, np.empty(10))
    with pytest.raises(TypeError, match="writable"):
        out = np.empty(10)
        out.flags.writeable = False
        _band.novelty([f], [1.0], unit7.make_checkerboard(4), 1, 0, out)
    with pytest.raises(ValueError, match="even side"):
        _band.novelty([f], [1.0], np.ones((3, 3)), 1, 0, np.empty(10))
    with pytest.raises(ValueError, match="shape"):
        _band.band([f], [1.0], np.empty((10, 4)))


def test_a_long_input_gets_its_matrix_in_blocks_exactly_symmetric(rng, monkeypatch):
    from velmor.analysis import similarity

    f = sections(rng, 5000, (7,))[0]
    whole = self_similarity(f)
    monkeypatch.setattr(similarity, "WHOLE_PRODUCT_FRAMES", 100)
    blocks = self_similarity(f)
    assert np.array_equal(blocks, blocks.T)
    np.testing.assert_allclose(blocks, whole, rtol=0, atol=1e-14)


def lag_limited_structure(features, k, lags, neighbours, smooth=None):
    """The lag-limited structure road on whole matrices, step by step (for small inputs)."""
    import scipy.ndimage

    ssm = dense(features)
    n = ssm.shape[0]
    i = np.arange(n)
    lags = min(lags, n)
    inside = np.abs(i[:, None] - i[None, :]) < lags
    m = np.where(inside, ssm, -np.inf)
    rank = max(1, int(round(neighbours * min(n, 2 * lags - 1))))
    kth = -np.sort(-m, axis=1)[i, np.minimum(rank, inside.sum(axis=1)) - 1]
    rec = (m >= kth[:, None]) & (m >= kth[None, :]) & inside
    cols = i[:, None] + np.arange(-lags + 1, lags)[None, :]  # lag row o of frame c: rec[c, c + o]
    x = np.where((cols >= 0) & (cols < n), rec[i[:, None], np.clip(cols, 0, n - 1)], False).astype(float)
    k = max(2, 2 * int(round(k / 2)))
    width = max(1, int(round(smooth if smooth is not None else k / 4)))
    taps = np.hanning(width + 2)[1:-1]
    x = scipy.ndimage.convolve1d(x, taps / taps.sum(), axis=0, mode="constant")
    x = np.concatenate([np.repeat(x[:1], k // 2, 0), x, np.repeat(x[-1:], k // 2, 0)])
    g = np.asarray(unit7.make_derivative_kernel(1, k))[0]
    return np.array([np.linalg.norm(g @ x[p:p + k]) for p in range(n)]) / np.sqrt(rank)


@pytest.mark.parametrize("n, lags, k", [(3, 2, 2), (40, 10, 8), (300, 40, 20), (300, 400, 20), (700, 90, 31)])
@pytest.mark.parametrize("neighbours", [0.2, 0.9])
def test_lag_limited_structure_novelty_in_blocks_is_the_road_on_whole_matrices(rng, n, lags, k, neighbours):
    f = sections(rng, n, (6, 4))
    expected = lag_limited_structure(f, k, lags, neighbours)
    for block in (64, 4096):  # blocks meet without a seam
        got = banded.banded_structure_novelty(f, k, lags=lags, neighbours=neighbours, block=block)
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-12)


def test_lag_limited_structure_finds_a_change_of_repetition(rng):
    # A B A B, then C D C D: the change of what repeats is at the middle.
    looks = unit(rng.standard_normal((8, 4)))
    f = np.repeat(looks[:, [0, 1, 0, 1, 2, 3, 2, 3]], 50, axis=1) + 0.05 * rng.standard_normal((8, 400))
    novelty = banded.banded_structure_novelty(unit(f), 60, lags=150, neighbours=0.2)
    assert abs(int(np.argmax(novelty[30:-30])) + 30 - 200) <= 5


@pytest.mark.parametrize("kwargs, match", [({"lags": 0}, "lags"), ({"lags": 5, "neighbours": 0.0}, "neighbours")])
def test_lag_limited_structure_refuses_bad_settings(kwargs, match):
    with pytest.raises(ValueError, match=match):
        banded.banded_structure_novelty(np.ones((2, 10)), 4, **kwargs)
