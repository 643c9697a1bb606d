"""Tests for the audio front end: chromagram and CENS features."""

import numpy as np
import pytest

from velmor.unit4 import cens, make_chromagram

FS = 22050.0


def tone(freq, n=22050):
    return np.sin(2 * np.pi * freq * np.arange(n) / FS)


# Energies (power 2, the default) of a pure tone stay in its class but for the window's main
# lobe; summed magnitudes (power 1) give the lobe's flanks more weight.
@pytest.mark.parametrize("power, share", [(2.0, 0.9), (1.0, 0.7)])
@pytest.mark.parametrize("freq, pitch_class", [(440.0, 9), (261.63, 0), (659.26, 4), (1975.53, 11)])
def test_pure_tone_energy_lands_in_its_pitch_class(freq, pitch_class, power, share):
    chroma = make_chromagram(tone(freq), FS, 4096, 2048, power=power)
    assert np.all(chroma[pitch_class] > share * chroma.sum(axis=0))


# Magnitudes leave a float32 rounding floor (-130 dB) that energies square away.
@pytest.mark.parametrize("power, floor", [(2.0, 1e-9), (1.0, 1e-5)])
def test_energy_outside_pitch_range_is_ignored(power, floor):
    n = 4096 + 9 * 2048  # frames fit exactly, so no truncated last frame
    in_range = make_chromagram(tone(1000.0, n), FS, 4096, 2048, power=power).sum()
    assert make_chromagram(tone(7000.0, n), FS, 4096, 2048, power=power).sum() < floor * in_range
    assert make_chromagram(np.ones(n), FS, 4096, 2048, power=power).sum() < floor * in_range  # DC


@pytest.mark.parametrize("n, fft_len, hop, frames", [
    (22050, 4096, 2048, 10), (4096, 4096, 1024, 1), (4097, 4096, 1024, 2), (100, 4096, 64, 1),
])
def test_chromagram_frame_count(n, fft_len, hop, frames):
    assert make_chromagram(np.random.default_rng(0).random(n), FS, fft_len, hop).shape == (12, frames)


@pytest.mark.parametrize("frames, filt_len, ds, cols", [
    (30, 1, 1, 30), (30, 3, 4, 8), (9, 8, 3, 3), (30, 41, 7, 5), (0, 5, 2, 0),
])
def test_cens_columns_have_unit_length(frames, filt_len, ds, cols):
    chroma = np.random.default_rng(2).random((12, frames)) ** 4
    chroma[:, 8:25] = 0.0  # silence longer than the short filters
    out = cens(chroma, filt_len, ds)
    assert out.shape == (12, cols) and np.all(out >= 0)
    np.testing.assert_allclose(np.linalg.norm(out, axis=0), 1.0)


def test_silent_signal_gives_uniform_cens():
    np.testing.assert_allclose(cens(make_chromagram(np.zeros(9000), FS, 4096, 2048), 11, 2), 1 / np.sqrt(12))


@pytest.mark.parametrize("scale", [1.0, 7.0, 1e-3])
def test_cens_quantisation_thresholds_are_inclusive(scale):
    column = np.array([8, 4, 2, 1] + [0.625] * 8) * scale  # shares 0.4, 0.2, 0.1, 0.05, then below
    expected = np.array([4, 3, 2, 1] + [0] * 8) / np.sqrt(30)
    np.testing.assert_allclose(cens(column[:, None], 1, 1)[:, 0], expected)


def test_cens_smoothing_is_centred():
    chroma = np.zeros((12, 10))
    chroma[0, 5] = chroma[1, 6] = 1.0
    out = cens(chroma, 3, 1)  # taps 1/4, 1/2, 1/4
    expected = np.array([[1, 2, 1, 0], [0, 1, 2, 1]]) / np.sqrt([1, 5, 5, 1])
    np.testing.assert_allclose(out[:2, 4:8], expected)


@pytest.mark.parametrize("filt_len, ds", [(2, 1), (4, 3), (5, 2), (50, 1)])
def test_cens_matches_direct_convolution(filt_len, ds):
    chroma = np.random.default_rng(3).random((12, 23)) ** 3
    shares = chroma / chroma.sum(axis=0)
    quant = sum((shares >= s).astype(float) for s in (0.05, 0.1, 0.2, 0.4))
    taps, start = np.hanning(filt_len + 2)[1:-1], (filt_len - 1) // 2
    smooth = np.array([np.convolve(row, taps)[start:start + 23] for row in quant])[:, ::ds]
    np.testing.assert_allclose(cens(chroma, filt_len, ds), smooth / np.linalg.norm(smooth, axis=0))


def test_read_only_inputs_are_left_alone():
    snd = tone(330.0, 11025)
    snd.flags.writeable = False
    chroma = make_chromagram(snd, FS, 1024, 512)
    chroma.flags.writeable = False
    cens(chroma, 5, 2)
    assert np.array_equal(snd, tone(330.0, 11025))


SND, CHROMA = np.ones(5000), np.ones((12, 8))


@pytest.mark.parametrize("func, args, exc, match", [
    (make_chromagram, (SND, FS, 1024, 0), ValueError, "hop_size must be positive, got 0"),
    (make_chromagram, (np.ones((2, 50)), FS, 64, 32), ValueError, r"one-dimensional signal, got shape \(2, 50\)"),
    (make_chromagram, (SND, FS, 4096.0, 512), TypeError, "fft_len must be an integer, got float"),
    (make_chromagram, (SND + 1j, FS, 1024, 512), TypeError, "snd must contain real numbers"),
    (make_chromagram, (SND, 0.0, 1024, 512), ValueError, "fs must be a positive finite"),
    (cens, (CHROMA, 5, 0), ValueError, "ds must be positive, got 0"),
    (cens, (CHROMA, 0, 1), ValueError, "filt_len must be positive, got 0"),
    (cens, (np.ones((11, 8)), 5, 1), ValueError, r"must have shape \(12, frames\), got shape \(11, 8\)"),
])
def test_invalid_arguments(func, args, exc, match):
    with pytest.raises(exc, match=match):
        func(*args)


@pytest.mark.parametrize("cents", [-30.0, 30.0])
@pytest.mark.parametrize("freq, pitch_class", [(261.63, 0), (392.0, 7), (880.0, 9)])
def test_detuned_tone_lands_in_its_pitch_class(freq, pitch_class, cents):
    t = np.arange(22050) / FS
    f0 = freq * 2 ** (cents / 1200)
    snd = sum(0.5 ** h * np.sin(2 * np.pi * (h + 1) * f0 * t) for h in range(5))
    chroma = make_chromagram(snd, FS, 4096, 2048)
    assert np.all(chroma.argmax(axis=0) == pitch_class)
    assert chroma[pitch_class].sum() > make_chromagram(snd, FS, 4096, 2048, tuning=0.0)[pitch_class].sum()


def test_audio_road_gives_unit_length_features(unit7):
    t = np.arange(5 * 22050) / FS
    snd = np.sin(2 * np.pi * 220 * t) * (t < 2.5) + np.sin(2 * np.pi * 311.1 * t) * (t >= 2.5)
    ssm, ff = unit7.audio_to_ssm(snd, 5, 2)
    np.testing.assert_allclose(np.diag(ssm), 1.0)
    assert ssm[0, -1] < 0.5 and ff == FS / 2048 / 2
