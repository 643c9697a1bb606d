"""Tests for velmor.features: the shared spectrogram, tuning, chroma and CENS, timbre and onsets."""

import numpy as np
import pytest

from velmor import features as F
from velmor import unit4

SR = 22050


def harmonic_tone(f0, seconds=1.0, gains=lambda h: 0.6 ** (h - 1), harmonics=8, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * SR)) / SR
    out = np.zeros(t.size)
    for h in range(1, harmonics + 1):
        if h * f0 < SR / 2 - 200:
            out += gains(h) * np.sin(2 * np.pi * h * f0 * t + rng.uniform(0, 2 * np.pi))
    return out


FIT = (4096 + 9 * 2048) / SR  # seconds that fill ten default frames exactly: no cut-off last frame


def midi_hz(m, cents=0.0):
    return 440.0 * 2.0 ** ((m - 69 + cents / 100.0) / 12.0)


# --- tuning and chroma ---------------------------------------------------------------------------

@pytest.mark.parametrize("cents", [-30.0, 30.0, 45.0])
@pytest.mark.parametrize("midi", [48, 57, 64, 79])
def test_detuned_tone_peaks_at_its_pitch_class(midi, cents):
    S = F.spectrogram(harmonic_tone(midi_hz(midi, cents)), SR)
    assert F.estimate_tuning(S) == pytest.approx(cents, abs=3.0)
    tuned, untuned = F.chroma(S), F.chroma(S, tuning=0.0)
    share, share_untuned = tuned[midi % 12].sum() / tuned.sum(), untuned[midi % 12].sum() / untuned.sum()
    assert np.all(tuned.argmax(axis=0) == midi % 12) and share > share_untuned


@pytest.mark.parametrize("midi", [36, 43, 50, 61, 70, 84])
@pytest.mark.parametrize("gains", [lambda h: 1.0 / h, lambda h: 0.8 ** (h - 1)], ids=["saw", "decaying"])
def test_harmonic_tone_peaks_at_its_fundamental(midi, gains):
    chroma = F.chroma(F.spectrogram(harmonic_tone(midi_hz(midi), gains=gains, harmonics=12), SR))
    assert np.all(chroma.argmax(axis=0) == midi % 12)


@pytest.mark.parametrize("make", [
    lambda n, rng: rng.standard_normal(n),                   # noise: no tuning stands out
    lambda n, rng: np.zeros(n),                              # silence: no peaks at all
    lambda n, rng: np.sin(2 * np.pi * 30.0 * np.arange(n) / SR),  # a tone below the counted band
], ids=["noise", "silence", "sub-bass"])
def test_tuning_without_evidence_is_nominal(make, rng):
    assert F.estimate_tuning(F.spectrogram(make(3 * SR, rng), SR)) == 0.0


def test_chroma_follows_a_tuning_shift_of_a_semitone():
    S = F.spectrogram(harmonic_tone(midi_hz(60), FIT, harmonics=6), SR)  # all well inside C1 .. C7
    np.testing.assert_allclose(F.chroma(S, tuning=100.0), np.roll(F.chroma(S, tuning=0.0), -1, axis=0),
                               rtol=1e-4)


def test_pitch_range_bounds_the_pitches_heard():
    y = harmonic_tone(midi_hz(45), FIT, harmonics=1) + harmonic_tone(midi_hz(76), FIT, harmonics=1)
    S = F.spectrogram(y, SR)
    pitches = F.pitch_spectrogram(S, pitch_range=(40, 90), tuning=0.0)
    assert pitches.shape == (51, S.n_frames) and set(pitches.sum(axis=1).argsort()[-2:]) == {5, 36}
    only_high = F.chroma(S, pitch_range=(60, 96), tuning=0.0)
    assert np.all(only_high.argmax(axis=0) == 4) and only_high[9].sum() < 1e-4 * only_high[4].sum()


def test_compression_lifts_quiet_notes_and_ignores_gain():
    y = harmonic_tone(midi_hz(60), harmonics=1) + 0.01 * harmonic_tone(midi_hz(67), harmonics=1)
    plain = F.chroma(F.spectrogram(y, SR), power=2.0)
    squeezed = F.chroma(F.spectrogram(y, SR), power=2.0, compression=100.0)
    assert squeezed[7].sum() / squeezed[0].sum() > 10 * plain[7].sum() / plain[0].sum()
    np.testing.assert_allclose(F.chroma(F.spectrogram(1e-4 * y, SR), power=2.0, compression=100.0), squeezed,
                               rtol=1e-4, atol=1e-9)


def test_unit4_and_features_share_one_chroma():
    y = harmonic_tone(midi_hz(62), seconds=2.0) + harmonic_tone(midi_hz(66), seconds=2.0)
    options = dict(pitch_range=(30, 100), power=2.0, compression=10.0)
    np.testing.assert_array_equal(unit4.make_chromagram(y, SR, 2048, 512, **options),
                                  F.chroma(F.spectrogram(y, SR, n_fft=2048, hop_length=512), **options))


# --- CENS ------------------------------------------------------------------------------------------

CHORDS = [(48, (60, 64, 67)), (45, (57, 60, 64)), (41, (57, 60, 65)), (43, (59, 62, 67)),
          (40, (59, 64, 67)), (45, (60, 64, 69)), (43, (55, 59, 62)), (48, (64, 67, 72))]


def chord_sequence(chords, beat, seed=0):
    """Two beats per chord; every note has its own phase and decay."""
    rng = np.random.default_rng(seed)
    parts = []
    for bass, notes in chords:
        n = int(2 * beat * SR)
        decay = np.exp(-np.arange(n) / SR * rng.uniform(0.3, 1.0))
        x = harmonic_tone(midi_hz(bass), 2 * beat, seed=rng.integers(1 << 30))
        for m in notes:
            x = x + 0.7 * harmonic_tone(midi_hz(m), 2 * beat, seed=rng.integers(1 << 30))
        parts.append(x[:n] * decay)
    y = np.concatenate(parts)
    return y + 0.01 * rng.standard_normal(y.size)


def cens_of(y, **options):
    return F.cens(F.chroma(F.spectrogram(y, SR), **options), filt_len=21, ds=5)


def stretch(features, frames):
    """Resample the time axis linearly to ``frames`` columns, then rescale columns to unit length."""
    src = np.linspace(0, features.shape[1] - 1, frames)
    out = np.array([np.interp(src, np.arange(features.shape[1]), row) for row in features])
    return out / np.linalg.norm(out, axis=0)


@pytest.mark.parametrize("slower", [1.04, 1.08])
def test_cens_is_nearly_invariant_to_a_small_tempo_change(slower):
    base = cens_of(chord_sequence(CHORDS * 2, 0.5))
    slow = stretch(cens_of(chord_sequence(CHORDS * 2, 0.5 * slower, seed=5)), base.shape[1])
    other = cens_of(chord_sequence(CHORDS[3:] + CHORDS[:3] + CHORDS[::-1], 0.5, seed=7))[:, :base.shape[1]]
    same_piece = np.sum(base * slow, axis=0).mean()
    assert same_piece > 0.95 and same_piece > np.sum(base * other, axis=0).mean() + 0.15


@pytest.mark.parametrize("options", [{}, {"compression": 100.0, "power": 1.0}], ids=["default", "compressed magnitudes"])
@pytest.mark.parametrize("gain", [1e-3, 50.0])
def test_cens_ignores_overall_gain(gain, options):
    y = chord_sequence(CHORDS, 0.5)
    features = cens_of(y, **options)
    np.testing.assert_allclose(np.linalg.norm(features, axis=0), 1.0)
    np.testing.assert_allclose(cens_of(gain * y, **options), features, atol=1e-6)


# --- timbre and onsets ---------------------------------------------------------------------------------

def formant_instrument(*formants):
    """Harmonic gains from a fixed spectral envelope: the timbre stays put when the notes move."""
    return lambda f: sum(np.exp(-0.5 * ((f - centre) / width) ** 2) for centre, width in formants) + 0.02


BRIGHT = formant_instrument((1800, 500), (3200, 700))
DARK = formant_instrument((350, 120), (700, 150))


def melody(instrument, notes, seed=0):
    rng = np.random.default_rng(seed)
    n = SR // 2
    t = np.arange(n) / SR
    out = []
    for m in notes:
        f0 = midi_hz(m)
        x = sum(instrument(h * f0) * np.sin(2 * np.pi * h * f0 * t + rng.uniform(0, 2 * np.pi))
                for h in range(1, int((SR / 2 - 500) // f0) + 1))
        out.append(x * np.minimum(1.0, 50 * t) * np.exp(-2 * t))
    return np.concatenate(out)


def test_mfccs_follow_the_instrument_not_the_notes():
    notes_a, notes_b = [60, 64, 67, 72, 67, 64], [57, 62, 65, 69, 74, 65]

    def profile(instrument, notes):
        return F.mfcc(F.spectrogram(melody(instrument, notes), SR))[1:].mean(axis=1)

    bright_a, bright_b = profile(BRIGHT, notes_a), profile(BRIGHT, notes_b)
    dark_a, dark_b = profile(DARK, notes_a), profile(DARK, notes_b)
    same_instrument = max(np.linalg.norm(bright_a - bright_b), np.linalg.norm(dark_a - dark_b))
    same_notes = min(np.linalg.norm(bright_a - dark_a), np.linalg.norm(bright_b - dark_b))
    assert same_notes > 3 * same_instrument


def test_mfcc_of_a_log_mel_reuses_it():
    S = F.spectrogram(melody(BRIGHT, [60, 67]), SR)
    L = F.log_mel(S, n_mels=40)
    np.testing.assert_array_equal(F.mfcc(L, n_mfcc=13), F.mfcc(S, n_mfcc=13, n_mels=40))
    np.testing.assert_array_equal(F.onset_strength(L), F.onset_strength(S, n_mels=40))


@pytest.mark.parametrize("gain", [1e-4, 30.0])
def test_log_mel_is_relative_to_its_maximum(gain):
    S = F.spectrogram(melody(DARK, [55, 62]), SR)
    L = F.log_mel(S, top_db=60.0)
    assert L.max() == 0.0 and L.min() >= -60.0
    np.testing.assert_allclose(F.log_mel(F.spectrogram(gain * melody(DARK, [55, 62]), SR), top_db=60.0), L,
                               atol=1e-3)


def test_log_mel_puts_a_tone_in_the_band_around_it():
    S = F.spectrogram(harmonic_tone(1500.0, harmonics=1), SR)
    L = F.log_mel(S, n_mels=64, fmin=100.0, fmax=8000.0)
    edges = F._mel_to_hz(np.linspace(F._hz_to_mel(100.0), F._hz_to_mel(8000.0), 66))
    band = L.mean(axis=1).argmax()
    assert edges[band] < 1500.0 < edges[band + 2]


def test_onset_strength_peaks_at_note_starts():
    y = melody(BRIGHT, [60, 62, 64, 65, 67])  # a note every half second
    S = F.spectrogram(y, SR, n_fft=1024, hop_length=256)
    onset = F.onset_strength(S)
    starts = np.arange(1, 5) * (SR // 2)
    peaks = [np.argmax(onset[int(s // 256) - 6:int(s // 256) + 6]) + int(s // 256) - 6 for s in starts]
    for s, p in zip(starts, peaks):
        assert abs(S.times[p] - s / SR) < 0.05
        assert onset[p] > 4 * np.median(onset)


# --- the shared spectrogram -------------------------------------------------------------------------------

@pytest.mark.parametrize("n, n_fft, hop, frames", [(22050, 4096, 2048, 10), (4097, 4096, 1024, 2), (100, 256, 64, 1)])
def test_spectrogram_framing(n, n_fft, hop, frames, rng):
    S = F.spectrogram(rng.standard_normal(n), SR, n_fft=n_fft, hop_length=hop)
    assert S.magnitude.shape == (n_fft // 2 + 1, frames) and S.magnitude.dtype == np.float32
    assert S.times[0] == pytest.approx(n_fft / 2 / SR) and np.allclose(np.diff(S.times), hop / SR)
    assert S.frequencies[-1] == SR / 2 and not S.magnitude.flags.writeable


def test_float32_spectrogram_agrees_with_float64(rng):
    y = chord_sequence(CHORDS[:4], 0.5) + 0.1 * rng.standard_normal(4 * SR)
    S32, S64 = F.spectrogram(y, SR), F.spectrogram(y, SR, dtype=np.float64)
    for feature in (F.chroma, F.log_mel, F.mfcc, F.onset_strength):
        a, b = feature(S32), feature(S64)
        assert np.abs(a - b).max() < 1e-5 * np.abs(b).max(), feature.__name__


def test_finite_samples_beyond_float32_are_scaled_not_refused():
    y = harmonic_tone(midi_hz(64))
    np.testing.assert_allclose(F.chroma(F.spectrogram(1e300 * y, SR)),
                               F.chroma(F.spectrogram(y / np.abs(y).max(), SR)), rtol=1e-6)


def test_a_spectrogram_of_ones_own_is_kept_private(rng):
    mag = rng.random((257, 6)).astype(np.float16)
    S = F.Spectrogram(mag, SR, 512, 256)
    assert S.magnitude.dtype == np.float64 and not S.magnitude.flags.writeable and mag.flags.writeable
    mag[:] = 0
    assert S.magnitude.sum() > 0 and F.chroma(S).sum() > 0


def test_inputs_are_left_alone(rng):
    y = rng.standard_normal(SR)
    original = y.copy()
    y.flags.writeable = False
    S = F.spectrogram(y, SR)
    before = S.magnitude.copy()
    chroma = F.chroma(S)
    chroma.flags.writeable = False
    L = F.log_mel(S)
    L.flags.writeable = False
    F.cens(chroma, filt_len=5, ds=2), F.mfcc(L), F.onset_strength(L), F.pitch_spectrogram(S), F.estimate_tuning(S)
    assert np.array_equal(S.magnitude, before) and np.array_equal(y, original)


S_OK = F.spectrogram(np.ones(3000), SR, n_fft=512, hop_length=256)


@pytest.mark.parametrize("call, exc, match", [
    (lambda: F.spectrogram(np.ones(100) + 1j, SR), TypeError, "y must contain real numbers"),
    (lambda: F.spectrogram(np.ones((2, 100)), SR), ValueError, r"one-dimensional signal, got shape \(2, 100\)"),
    (lambda: F.spectrogram([], SR), ValueError, "y must not be empty"),
    (lambda: F.spectrogram([0.0, np.nan], SR), ValueError, "y must contain only finite values"),
    (lambda: F.spectrogram(np.ones(100), -1), ValueError, "sr must be a positive finite number, got -1.0"),
    (lambda: F.spectrogram(np.ones(100), SR, n_fft=0), ValueError, "n_fft must be positive, got 0"),
    (lambda: F.spectrogram(np.ones(100), SR, hop_length=2.5), TypeError, "hop_length must be an integer, got float"),
    (lambda: F.spectrogram(np.ones(100), SR, dtype=np.int16), ValueError, "dtype must be float32 or float64"),
    (lambda: F.chroma(np.ones((2049, 4))), TypeError, "S must be a Spectrogram"),
    (lambda: F.chroma(S_OK, pitch_range=(60, 50)), ValueError, r"0 <= low <= high <= 127, got \(60, 50\)"),
    (lambda: F.chroma(S_OK, pitch_range=(40.5, 60)), TypeError, "pitch_range must be a pair of integer MIDI"),
    (lambda: F.chroma(S_OK, pitch_range=60), TypeError, "pitch_range must be a pair of integer MIDI"),
    (lambda: F.chroma(S_OK, power=0), ValueError, "power must be a positive finite number, got 0.0"),
    (lambda: F.chroma(S_OK, power=8), ValueError, "power must be at most 4, got 8.0"),
    (lambda: F.chroma(S_OK, compression=-1.0), ValueError, "compression must be a positive finite number"),
    (lambda: F.chroma(S_OK, tuning=np.nan), ValueError, "tuning must be finite, got nan"),
    (lambda: F.chroma(S_OK, tuning="A440"), TypeError, "tuning must be a real number, got str"),
    (lambda: F.estimate_tuning(S_OK, threshold=2.0), ValueError, "threshold must be at most 1, got 2.0"),
    (lambda: F.cens(-np.ones((12, 3))), ValueError, "chroma must be non-negative"),
    (lambda: F.cens(np.ones((12, 3)), ds=1.0), TypeError, "ds must be an integer, got float"),
    (lambda: F.log_mel(S_OK, fmax=20000.0), ValueError, r"fmin < fmax <= sr / 2 = 11025.0"),
    (lambda: F.log_mel(S_OK, n_mels=0), ValueError, "n_mels must be positive, got 0"),
    (lambda: F.log_mel(S_OK, top_db=np.inf), ValueError, "top_db must be a positive finite number"),
    (lambda: F.mfcc(S_OK, n_mfcc=200), ValueError, r"n_mfcc must be at most the number of mel bands \(128\)"),
    (lambda: F.mfcc(np.ones(40)), ValueError, r"log-mel spectrogram must have shape \(n_mels, n_frames\)"),
    (lambda: F.onset_strength(S_OK, lag=0), ValueError, "lag must be positive, got 0"),
    (lambda: F.Spectrogram(np.ones((10, 3)), SR, 512, 256), ValueError, r"shape \(1 \+ n_fft // 2, n_frames\)"),
    (lambda: F.Spectrogram(-np.ones((257, 3)), SR, 512, 256), ValueError, "finite and non-negative"),
    (lambda: F.Spectrogram(np.ones((257, 3)), SR, 512, 0), ValueError, "hop_length must be positive, got 0"),
    (lambda: unit4.make_chromagram(np.ones(5000), SR, 1024, 512, power=-2), ValueError, "power must be"),
    (lambda: unit4.make_chromagram(np.ones(5000), SR, 1024, 512, pitch_range=(0, 128)), ValueError, "<= 127"),
])
def test_invalid_arguments(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


@pytest.mark.parametrize("feature", [lambda S: F.cens(F.chroma(S)), F.log_mel, F.mfcc], ids=["cens", "log-mel", "mfcc"])
@pytest.mark.parametrize("scale, dtype", [(1e15, np.float64), (2.0 ** 31 - 1, np.int64), (1e38, np.float32)])
def test_very_loud_signals_give_finite_relative_features(scale, dtype, feature):
    y = harmonic_tone(midi_hz(57), FIT)
    quiet = feature(F.spectrogram(y, SR))
    loud = feature(F.spectrogram((scale * y / np.abs(y).max()).astype(dtype), SR))
    np.testing.assert_allclose(loud, quiet, atol=1e-4 * np.abs(quiet).max())
