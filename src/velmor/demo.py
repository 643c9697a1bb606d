"""A self-contained demonstration: synthesise music with known sections and analyse it.

``python -m velmor.demo`` builds a signal of two contrasting sections, computes its
self-similarity matrix with :func:`velmor.unit7.audio_to_ssm` and prints the matrix as
a coarse text picture.
"""

import numpy as np

FS = 22050

# Chords as MIDI pitches, with the timbre (relative harmonic amplitudes) each section uses.
SECTIONS = (
    ("C major, soft", (60, 64, 67), (1.0, 0.5, 0.25)),
    ("F# minor, bright", (66, 69, 73), (1.0, 0.9, 0.8, 0.7, 0.6)),
)


def synthesise(sections=SECTIONS, seconds=8.0, fs=FS, seed=0):
    """A signal made of one sustained chord per section, and the times where sections change.

    Returns ``(signal, boundaries)``: a float64 signal sampled at ``fs`` and the section
    change times in seconds (the start of every section after the first).
    """
    rng = np.random.default_rng(seed)
    n = int(seconds * fs)
    t = np.arange(n) / fs
    parts = []
    for _name, pitches, harmonics in sections:
        part = np.zeros(n)
        for p in pitches:
            f0 = 440.0 * 2.0 ** ((p - 69) / 12)
            for h, amp in enumerate(harmonics, start=1):
                if h * f0 < fs / 2:
                    part += amp * np.sin(2 * np.pi * h * f0 * t + rng.uniform(0, 2 * np.pi))
        part *= 0.8 + 0.2 * np.sin(2 * np.pi * 2.0 * t)  # a little tremolo
        parts.append(part / np.max(np.abs(part)))
    signal = np.concatenate(parts) + 0.01 * rng.standard_normal(n * len(sections))
    boundaries = seconds * np.arange(1, len(sections))
    return signal, boundaries


def text_picture(m, size=34, shades=" .:-=+*#%@"):
    """A coarse picture of a non-negative matrix, one character per cell, darker is larger."""
    m = np.asarray(m, dtype=float)
    rows = np.linspace(0, m.shape[0], min(size, m.shape[0]) + 1).astype(int)
    cols = np.linspace(0, m.shape[1], min(size, m.shape[1]) + 1).astype(int)
    top = m.max() if m.size and m.max() > 0 else 1.0
    lines = []
    for r0, r1 in zip(rows[:-1], rows[1:]):
        cells = [m[r0:r1, c0:c1].mean() / top for c0, c1 in zip(cols[:-1], cols[1:])]
        lines.append("".join(shades[min(int(v * len(shades)), len(shades) - 1)] * 2 for v in cells))
    return "\n".join(lines)


def main():
    from velmor import unit7

    signal, boundaries = synthesise()
    print(f"signal: {len(signal) / FS:.1f} s at {FS} Hz, sections change at "
          + ", ".join(f"{b:.1f} s" for b in boundaries))
    ssm, ff = unit7.audio_to_ssm(signal, 11, 5)
    print(f"audio_to_ssm(signal, 11, 5): SSM of shape {ssm.shape}, feature rate ff = {ff:.4f} frames/s")
    print(text_picture(ssm))


if __name__ == "__main__":
    main()
