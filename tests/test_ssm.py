"""make_ssm and audio_to_ssm: products, the calls into unit4, the feature rate and its failures."""

import numpy as np
import pytest

from velmor import unit7


@pytest.fixture
def stand_ins(monkeypatch, recorder):
    """make_chromagram and cens replaced by recorders; cens returns a 12 x 5 feature sequence."""
    feats = np.arange(60, dtype=float).reshape(12, 5)
    chroma = recorder(np.full((12, 9), 7.0))
    cens = recorder(feats)
    monkeypatch.setattr(unit7, "make_chromagram", chroma)
    monkeypatch.setattr(unit7, "cens", cens)
    return chroma, cens, feats


def test_make_ssm_is_the_gram_matrix_of_the_columns(rng):
    f = rng.standard_normal((12, 5))
    before = f.copy()
    ssm = unit7.make_ssm(f)
    assert ssm.shape == (5, 5)
    np.testing.assert_allclose(ssm, [[f[:, i] @ f[:, j] for j in range(5)] for i in range(5)])
    np.testing.assert_array_equal(ssm, ssm.T)
    np.testing.assert_array_equal(f, before)


@pytest.mark.parametrize(
    "f, expected",
    [
        (np.zeros((0, 4)), np.zeros((4, 4))),
        (np.zeros((3, 0)), np.zeros((0, 0))),
        (np.arange(6).reshape(2, 3), np.array([[9, 12, 15], [12, 17, 22], [15, 22, 29]])),
    ],
)
def test_make_ssm_shapes_and_dtypes(f, expected):
    ssm = unit7.make_ssm(f)
    assert ssm.dtype == np.dot(f.T, f).dtype
    np.testing.assert_array_equal(ssm, expected)


def test_make_ssm_of_a_curve_is_the_sum_of_squares():
    assert unit7.make_ssm(np.array([1.0, 2.0, 3.0])) == 14.0


@pytest.mark.parametrize("f, exc", [([[1.0, 2.0]], AttributeError), (np.ones((2, 3, 4)), ValueError)])
def test_make_ssm_failures(f, exc, entries):
    with pytest.raises(exc) as info:
        unit7.make_ssm(f)
    assert [e[0] for e in entries(info)] == ["velmor.unit7.make_ssm"]


def test_audio_to_ssm_calls_and_result(stand_ins):
    chroma, cens, feats = stand_ins
    snd = np.zeros(100)
    ssm, ff = unit7.audio_to_ssm(snd, 41, 10)
    (args, kwargs), = chroma.calls
    assert args[0] is snd and args[1:] == (22050.0, 4096, 2048) and kwargs == {}
    assert type(args[1]) is float and type(args[3]) is int
    (args, kwargs), = cens.calls
    assert args[0] is chroma.result and args[1:] == (41, 10) and kwargs == {}
    assert ff == 1.07666015625 and type(ff) is float
    np.testing.assert_array_equal(ssm, feats.T @ feats)


@pytest.mark.parametrize(
    "fft_len, cens_ds, hop, ff",
    [
        (4095, 10, 2047, 22050.0 / 2047 / 10),
        (4096.0, 10, 2048.0, 22050.0 / 2048.0 / 10),
        (4096, 2.5, 2048, 22050.0 / 2048 / 2.5),
        (-3, 1, -2, 22050.0 / -2),
        (1024, np.float64(4), 512, 22050.0 / 512 / 4),
    ],
)
def test_audio_to_ssm_hop_and_feature_rate(stand_ins, fft_len, cens_ds, hop, ff):
    chroma, _, _ = stand_ins
    _, got = unit7.audio_to_ssm(np.zeros(8), 3, cens_ds, fft_len)
    hop_passed = chroma.calls[0][0][3]
    assert hop_passed == hop and type(hop_passed) is type(hop)
    assert got == ff


def test_audio_to_ssm_does_not_use_make_ssm(stand_ins, monkeypatch):
    monkeypatch.setattr(unit7, "make_ssm", None)
    ssm, _ = unit7.audio_to_ssm(np.zeros(8), 3, 1)
    assert ssm.shape == (5, 5)


@pytest.mark.parametrize(
    "fft_len, cens_ds, exc, text, calls",
    [
        (1, 10, ZeroDivisionError, "float division by zero", 1),
        (0, 10, ZeroDivisionError, "float division by zero", 1),
        (4096, 0, ZeroDivisionError, "float division by zero", 1),
        ("4096", 10, TypeError, "unsupported operand type(s) for //: 'str' and 'int'", 0),
    ],
)
def test_audio_to_ssm_failures_after_the_sibling_calls(stand_ins, entries, fft_len, cens_ds, exc, text, calls):
    chroma, cens, _ = stand_ins
    with pytest.raises(exc) as info:
        unit7.audio_to_ssm(np.zeros(8), 3, cens_ds, fft_len)
    assert str(info.value) == text
    assert len(chroma.calls) == len(cens.calls) == calls
    assert [e[0] for e in entries(info)] == ["velmor.unit7.audio_to_ssm"]


def test_numpy_scalar_zero_hop_follows_numpy(stand_ins):
    with np.errstate(divide="ignore"):
        _, ff = unit7.audio_to_ssm(np.zeros(8), 3, 1, np.int64(1))
    assert ff == np.inf


def test_sibling_exceptions_propagate_unchanged(stand_ins, monkeypatch, recorder):
    error = LookupError("from cens")
    monkeypatch.setattr(unit7, "cens", recorder(error))
    with pytest.raises(LookupError) as info:
        unit7.audio_to_ssm(np.zeros(8), 3, 1)
    assert info.value is error and info.value.__cause__ is None and info.value.__context__ is None


def test_cens_result_without_transpose(stand_ins, monkeypatch, recorder):
    monkeypatch.setattr(unit7, "cens", recorder([[1.0]]))
    with pytest.raises(AttributeError, match="'list' object has no attribute 'T'"):
        unit7.audio_to_ssm(np.zeros(8), 3, 1)


@pytest.mark.parametrize("missing", ["make_chromagram", "cens", "np"])
def test_missing_names(stand_ins, monkeypatch, missing):
    monkeypatch.delattr(unit7, missing)
    with pytest.raises(NameError, match=f"^name '{missing}' is not defined$"):
        unit7.audio_to_ssm(np.zeros(8), 3, 1)


def test_audio_to_ssm_on_real_audio():
    fs = 22050
    t = np.arange(4 * fs) / fs
    snd = np.concatenate([np.sin(2 * np.pi * 440 * t[: 2 * fs]), np.sin(2 * np.pi * 330 * t[: 2 * fs])])
    ssm, ff = unit7.audio_to_ssm(snd, 11, 2)
    assert ssm.shape[0] == ssm.shape[1] and ff == 22050.0 / 2048 / 2
    np.testing.assert_allclose(np.diag(ssm), 1.0)
    n = ssm.shape[0]
    assert ssm[: n // 4, : n // 4].mean() > 0.9 > 0.5 > ssm[: n // 4, -(n // 4):].mean()
