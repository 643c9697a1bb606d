"""Music with known sections, synthesised: the piece of ``velmor demo``, the examples and the tests.

    synthesise(seed=0)        -- the signal and its true ``(start, end, label)`` sections
    write_wav(path, signal)   -- a mono 16-bit WAV file, written whole

The piece lasts 80 seconds at 120 beats per minute, in five sections of eight bars, A B A C D: each
has its own chord progression, its own instrument (harmonic spectrum and envelope) and its own
melody, and the first one comes back in the middle. The command that analyses it is
:mod:`velmor.cli.demo`.
"""

from __future__ import annotations

import os
import wave
from collections.abc import Sequence
from typing import cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

FS = 22050
BEAT = 0.5  # seconds: 120 beats per minute, four beats a bar

_Instrument = tuple[tuple[float, ...], float]
_Section = tuple[str, tuple[tuple[int, int, int], ...] | None, int, _Instrument | None]

# name, chords (MIDI pitches, a chord every two beats, in turn), bars, instrument
# instrument: relative amplitudes of the harmonics, envelope decay (1/s; 0 = sustained)
SECTIONS: tuple[_Section, ...] = (
    ("A: C major, soft plucked", ((60, 64, 67), (57, 60, 64), (53, 57, 60), (55, 59, 62)), 8,
     ((1.0, 0.35, 0.12), 2.5)),
    ("B: E major, bright organ", ((64, 68, 71), (61, 64, 68), (57, 61, 64), (59, 63, 66)), 8,
     ((1.0, 0.8, 0.7, 0.6, 0.5, 0.4), 0.0)),
    ("A: the first section again", None, 8, None),
    ("C: B-flat minor, hollow reed", ((58, 61, 65), (54, 58, 61), (61, 65, 68), (53, 57, 60)), 8,
     ((1.0, 0.05, 0.6, 0.05, 0.4, 0.05, 0.25), 0.6)),
    ("D: D major, warm pad", ((62, 66, 69), (55, 59, 62), (59, 62, 66), (57, 61, 64)), 8,
     ((1.0, 0.5, 0.3, 0.15), 0.0)),
)


def _tone(freq: float, seconds: float, harmonics: Sequence[float], decay: float, rng: np.random.Generator,
          fs: int = FS) -> NDArray[np.float64]:
    n = int(seconds * fs)
    t = np.arange(n) / fs
    out = np.zeros(n)
    for h, amp in enumerate(harmonics, start=1):
        if h * freq < fs / 2:
            out += amp * np.sin(2 * np.pi * h * freq * t + rng.uniform(0, 2 * np.pi))
    env = np.exp(-decay * t) if decay else np.ones(n)
    attack = min(n, int(0.01 * fs))
    env[:attack] *= np.linspace(0, 1, attack)
    release = min(n, int(0.03 * fs))
    env[n - release:] *= np.linspace(1, 0, release)
    return out * env


def _midi_hz(p: float) -> float:
    hz: float = 440.0 * 2.0 ** ((p - 69) / 12)
    return hz


def synthesise(sections: Sequence[_Section] = SECTIONS, fs: int = FS,
               seed: int = 0) -> tuple[NDArray[np.float64], list[tuple[float, float, str]]]:
    """The demo piece and its sections.

    A section whose chords are None repeats the first section's music (with a new melody).

    Parameters
    ----------
    sections : sequence of tuple, default SECTIONS
        Per section: its name (the label before a colon), its chords (MIDI pitches, a chord every
        two beats, in turn) or None, its number of bars, and its instrument (relative amplitudes
        of the harmonics, and the envelope's decay in 1/s, 0 for sustained) or None.
    fs : int, default 22050
        The sample rate.
    seed : int, default 0
        The seed of the random melody, phases and noise.

    Returns
    -------
    signal : numpy.ndarray of float64
        The mono signal sampled at ``fs``, peak 0.9.
    segments : list of (float, float, str)
        ``(start, end, label)`` in seconds, one per section.
    """
    rng = np.random.default_rng(seed)
    bar = 4 * BEAT
    total = sum(s[2] for s in sections) * bar
    signal = np.zeros(int(total * fs) + fs)

    def add(at: float, amp: float, freq: float, seconds: float, harmonics: Sequence[float],  # numpydoc ignore=GL08
            decay: float) -> None:
        _add(signal, at, amp * _tone(freq, seconds, harmonics, decay, rng, fs), fs)

    segments: list[tuple[float, float, str]] = []
    start = 0.0
    hat = int(0.03 * fs)
    for name, chords, bars, instrument in sections:
        if chords is None:
            chords, instrument = cast("tuple[tuple[int, int, int], ...]", sections[0][1]), sections[0][3]
        harmonics, decay = cast(_Instrument, instrument)
        for half in range(bars * 2):  # a chord every half bar
            chord = chords[half % len(chords)]
            t0 = start + half * bar / 2
            for beat in range(2):  # the chord, re-struck on every beat when plucked
                if decay or beat == 0:
                    for p in chord:
                        add(t0 + beat * BEAT, 0.3, _midi_hz(p), BEAT if decay else bar / 2, harmonics, decay)
            add(t0, 0.5, _midi_hz(chord[0] - 24), bar / 2, (1.0, 0.5), 0.8)  # bass
            for step in range(4):  # a melody of eighth notes from the chord, an octave up
                if rng.random() < 0.7:
                    add(t0 + step * BEAT / 2, 0.25, _midi_hz(rng.choice(chord) + 12), BEAT / 2, harmonics[:3], 4.0)
            for beat in range(2):  # a soft hi-hat on the off-beats
                _add(signal, t0 + (beat + 0.5) * BEAT, 0.05 * rng.standard_normal(hat) * np.linspace(1, 0, hat), fs)
        segments.append((start, start + bars * bar, name.split(":")[0]))
        start += bars * bar
    signal = signal[: int(total * fs)]
    signal += 0.003 * rng.standard_normal(len(signal))
    return 0.9 * signal / np.max(np.abs(signal)), segments


def _add(buf: NDArray[np.float64], at: float, x: NDArray[np.float64], fs: int = FS) -> None:
    i = int(round(at * fs))
    x = x[: max(0, len(buf) - i)]
    buf[i: i + len(x)] += x


def write_wav(path: str | os.PathLike[str], signal: ArrayLike, fs: int = FS) -> None:
    """Write a mono 16-bit WAV file with the standard library, whole or not at all.

    The path's folder is made if needed.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write.
    signal : array_like
        The mono signal, in [-1, 1].
    fs : int, default 22050
        The sample rate.
    """
    import io

    from velmor._files import write_whole

    pcm = np.clip(np.round(np.asarray(signal) * 32767), -32768, 32767).astype("<i2")
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(fs)
        w.writeframes(pcm.tobytes())
    os.makedirs(os.path.dirname(os.path.abspath(os.fspath(path))), exist_ok=True)
    write_whole(path, buf.getvalue())
