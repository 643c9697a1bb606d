"""The audio front end against librosa, in one run: chroma + CENS, MFCCs, and how close they agree.

Run by hand, ``make bench-features`` (librosa is installed into .venv-bench, never into velmor's
run-time dependencies), or with any Python that has velmor and librosa::

    python benchmarks/bench_features.py [--minutes 3] [--repeat 15] [FILE]

Without FILE the signal is a seeded synthetic piece (chords of harmonic tones, a bass line,
noise bursts on the beats) at 22050 Hz.  Every case runs ``--repeat`` times, interleaved with
the others in a new order each round, so that the load of a shared machine falls on all alike;
the table gives medians and minima, and each median relative to ``librosa.feature.chroma_stft``.  The framing is the same for all:
n_fft 4096, hop 2048 (librosa pads the signal to centre its frames; velmor starts frame t at
sample t * hop).  The agreement checks at the end fail the run if they do not hold.
"""

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np

import librosa
import scipy

from velmor import features as F
from velmor import unit4

SR = 22050
N_FFT, HOP = 4096, 2048


def synthetic_piece(minutes, seed=0):
    """Chords of harmonic tones over a bass line, two per four-beat bar at 100 bpm, with noise hits."""
    rng = np.random.default_rng(seed)
    beat = 0.6
    n = int(minutes * 60 * SR)
    y = np.zeros(n)
    t = np.arange(int(2 * beat * SR)) / SR
    roots = rng.integers(0, 12, size=n // t.size + 1)
    for i, root in enumerate(roots):
        start = i * t.size
        if start >= n:
            break
        chord = np.zeros(t.size)
        third = 3 if rng.random() < 0.4 else 4
        for midi, amp in ((36 + root, 1.0), (60 + root, 0.5), (60 + root + third, 0.4), (67 + root, 0.4)):
            f0 = 440.0 * 2 ** ((midi - 69) / 12)
            for h in range(1, 9):
                if h * f0 < SR / 2:
                    chord += amp * 0.6 ** (h - 1) * np.sin(2 * np.pi * h * f0 * t + rng.uniform(0, 2 * np.pi))
        chord *= np.exp(-t * rng.uniform(0.3, 1.2))
        for b in range(2):
            hit = int(b * beat * SR)
            chord[hit:hit + 2000] += 0.5 * rng.standard_normal(2000) * np.exp(-np.arange(2000) / 300)
        y[start:start + t.size] += chord[:n - start]
    return (0.3 * y / np.abs(y).max()).astype(np.float64)


def previous_chromagram(snd, fs, fft_len, hop_size):
    """velmor's chromagram before the semitone filterbank: np.fft power, nearest-pitch bin map."""
    x = np.asarray(snd, dtype=np.float64)
    frames = 1 + max(0, -(-(x.size - fft_len) // hop_size))
    padded_len = fft_len + (frames - 1) * hop_size
    if padded_len > x.size:
        x = np.concatenate([x, np.zeros(padded_len - x.size)])
    view = np.lib.stride_tricks.sliding_window_view(x, fft_len)[::hop_size]
    window = 0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(fft_len) / fft_len)
    freqs = np.fft.rfftfreq(fft_len, d=1.0 / fs)
    mapping = np.zeros((12, freqs.size))
    bins = np.flatnonzero(freqs > 0)
    pitch = np.rint(69.0 + 12.0 * np.log2(freqs[bins] / 440.0)).astype(np.int64)
    keep = (pitch >= 21) & (pitch <= 108)
    mapping[pitch[keep] % 12, bins[keep]] = 1.0
    chroma = np.empty((12, frames))
    step = max(1, (1 << 22) // fft_len)
    for start in range(0, frames, step):
        spectrum = np.fft.rfft(view[start:start + step] * window, axis=1)
        chroma[:, start:start + step] = mapping @ (spectrum.real ** 2 + spectrum.imag ** 2).T
    return chroma


def cases(y):
    """name -> callable; the first is the reference of the ratios."""
    return {
        "librosa chroma_stft (tuning estimated)":
            lambda: librosa.feature.chroma_stft(y=y, sr=SR, n_fft=N_FFT, hop_length=HOP),
        "librosa chroma_stft, tuning=0":
            lambda: librosa.feature.chroma_stft(y=y, sr=SR, n_fft=N_FFT, hop_length=HOP, tuning=0.0),
        "velmor chroma + CENS (tuning estimated)":
            lambda: unit4.cens(unit4.make_chromagram(y, SR, N_FFT, HOP), 41, 10),
        "velmor chroma + CENS, tuning=0":
            lambda: unit4.cens(unit4.make_chromagram(y, SR, N_FFT, HOP, tuning=0.0), 41, 10),
        "velmor chroma + CENS, float64 spectrogram":
            lambda: F.cens(F.chroma(F.spectrogram(y, SR, n_fft=N_FFT, hop_length=HOP, dtype=np.float64))),
        "velmor before (np.fft power, bin map) + CENS":
            lambda: unit4.cens(previous_chromagram(y, SR, N_FFT, HOP), 41, 10),
        "velmor spectrogram only":
            lambda: F.spectrogram(y, SR, n_fft=N_FFT, hop_length=HOP),
        "librosa mfcc (20 of 128 mels)":
            lambda: librosa.feature.mfcc(y=y, sr=SR, n_fft=N_FFT, hop_length=HOP),
        "velmor mfcc (20 of 128 mels)":
            lambda: F.mfcc(F.spectrogram(y, SR, n_fft=N_FFT, hop_length=HOP)),
        "velmor one spectrogram -> chroma, CENS, log-mel, MFCC, onsets":
            lambda: shared_road(y),
    }


def shared_road(y):
    S = F.spectrogram(y, SR, n_fft=N_FFT, hop_length=HOP)
    L = F.log_mel(S)
    return F.cens(F.chroma(S)), F.mfcc(L), F.onset_strength(L)


def time_cases(table, repeat):
    """Median and minimum seconds of every case; each round runs the cases in a new order."""
    times = {name: [] for name in table}
    for fn in table.values():  # warm-up: imports, caches, first-touch page faults
        fn()
    order = list(table)
    rng = np.random.default_rng(1)
    for _ in range(repeat):
        rng.shuffle(order)
        for name in order:
            t0 = time.perf_counter()
            table[name]()
            times[name].append(time.perf_counter() - t0)
    return {name: (statistics.median(ts), min(ts)) for name, ts in times.items()}


def agreement(y):
    """Numbers that say the fast road still computes the right thing; each is checked."""
    checks = []
    S32 = F.spectrogram(y, SR, n_fft=N_FFT, hop_length=HOP)
    S64 = F.spectrogram(y, SR, n_fft=N_FFT, hop_length=HOP, dtype=np.float64)
    for name, feature in (("chroma", F.chroma), ("log-mel", F.log_mel), ("mfcc", F.mfcc)):
        a, b = feature(S32), feature(S64)
        rel = float(np.abs(a - b).max() / np.abs(b).max())
        checks.append((f"{name}: float32 against float64 spectrogram, max |diff| / max", rel, rel < 1e-5))

    frames = min(S32.n_frames, 1 + (len(y) - N_FFT) // HOP)  # librosa without centring drops the ragged end
    lib_mel = librosa.power_to_db(
        librosa.feature.melspectrogram(y=y, sr=SR, n_fft=N_FFT, hop_length=HOP, center=False),
        ref=np.max, top_db=80.0)[:, :frames]
    diff = float(np.abs(F.log_mel(S32)[:, :frames] - lib_mel).max())
    checks.append(("log-mel against librosa (Slaney mel, dB re max), max |diff| in dB", diff, diff < 0.01))

    ours = F.chroma(S32)[:, :frames]
    theirs = librosa.feature.chroma_stft(y=y, sr=SR, n_fft=N_FFT, hop_length=HOP, center=False)[:, :frames]
    cos = np.sum(ours * theirs, axis=0) / (np.linalg.norm(ours, axis=0) * np.linalg.norm(theirs, axis=0) + 1e-12)
    checks.append(("chroma against librosa chroma_stft, median column cosine", float(np.median(cos)),
                   np.median(cos) > 0.85))

    tuning = F.estimate_tuning(S32)
    lib_tuning = 100.0 * librosa.estimate_tuning(y=y, sr=SR, n_fft=N_FFT)
    checks.append((f"tuning in cents: velmor {tuning:+.1f}, librosa {lib_tuning:+.1f}; |diff|",
                   abs(tuning - lib_tuning), abs(tuning - lib_tuning) < 5.0))
    return checks


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file", nargs="?", help="audio file (read with soundfile, mixed to mono, resampled)")
    parser.add_argument("--minutes", type=float, default=3.0, help="length of the synthetic piece")
    parser.add_argument("--repeat", type=int, default=15, help="runs of every case (median reported)")
    args = parser.parse_args(argv)

    if args.file:
        import soundfile
        import soxr
        data, rate = soundfile.read(args.file, always_2d=True)
        y = soxr.resample(data.mean(axis=1), rate, SR)
        source = args.file
    else:
        y = synthetic_piece(args.minutes)
        source = "synthetic piece, seed 0"
    minutes = len(y) / SR / 60

    print(f"signal: {source}, {minutes:.2f} min at {SR} Hz; n_fft {N_FFT}, hop {HOP}; "
          f"median of {args.repeat} interleaved runs")
    print(f"python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}, "
          f"librosa {librosa.__version__}, {os.cpu_count()} cpus")
    table = cases(y)
    medians = time_cases(table, args.repeat)
    reference = medians[next(iter(table))][0]
    width = max(map(len, table))
    print(f"\n| {'case':<{width}} | median ms | min ms | median ms per min of audio | "
          f"librosa chroma_stft / this |")
    print(f"|{'-' * (width + 2)}|---:|---:|---:|---:|")
    for name, (median, least) in medians.items():
        print(f"| {name:<{width}} | {1e3 * median:.1f} | {1e3 * least:.1f} | {1e3 * median / minutes:.1f} | "
              f"{reference / median:.2f}x |")

    print()
    failed = False
    for text, value, ok in agreement(y):
        print(f"{'ok  ' if ok else 'FAIL'} {text}: {value:.3g}")
        failed |= not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
