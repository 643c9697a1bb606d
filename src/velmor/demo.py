"""A self-contained demonstration: synthesise music with known sections and analyse it.

``velmor demo`` (or ``python -m velmor.demo``) builds a piece of 80 seconds at 120 beats per
minute in five sections of eight bars, A B A C D: each has its own chord progression, its own
instrument (harmonic spectrum and envelope) and its own melody, and the first one comes
back in the middle. It then runs the same analysis as ``velmor segment`` (:func:`velmor.analyze`),
prints the self-similarity matrix as a coarse text picture, the novelty peaks, the detected
boundaries and labels beside the true ones and their scores, and draws a figure of it all.
"""

from __future__ import annotations

import argparse
import os
import sys
import wave
from collections.abc import Callable, Iterable, Sequence
from typing import TextIO, cast

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


def text_picture(m: ArrayLike, size: int = 34, shades: str = " .:-=+*#%@") -> str:
    """A coarse picture of a matrix, two characters per cell, darker is larger.

    Cells are block means, and the shades span the range from the smallest cell to the largest.

    Parameters
    ----------
    m : array_like
        The matrix.
    size : int, default 34
        The largest number of cells along each side.
    shades : str, default " .:-=+*#%@"
        The characters from smallest to largest.

    Returns
    -------
    picture : str
        The picture, a line per row of cells.
    """
    m = np.asarray(m, dtype=float)
    height, width = int(m.shape[0]), int(m.shape[1])
    rows = np.linspace(0, height, min(size, height) + 1).astype(int)
    cols = np.linspace(0, width, min(size, width) + 1).astype(int)
    cells = np.array([[m[r0:r1, c0:c1].mean() for c0, c1 in zip(cols[:-1], cols[1:])]
                      for r0, r1 in zip(rows[:-1], rows[1:])]).reshape(len(rows) - 1, len(cols) - 1)
    lo = cells.min() if cells.size else 0.0
    span = cells.max() - lo if cells.size and cells.max() > lo else 1.0
    lines: list[str] = []
    for row in (cells - lo) / span:
        lines.append("".join(shades[min(int(v * len(shades)), len(shades) - 1)] * 2 for v in row))
    return "\n".join(lines)


def _pairs(detected: Iterable[float],
           true: Iterable[float]) -> tuple[list[tuple[float, float | None]], list[float]]:
    """Each true boundary with the nearest detected one (or None), and detections left over."""
    detected = list(detected)
    used: set[int] = set()
    rows: list[tuple[float, float | None]] = []
    for t in true:
        free = [i for i in range(len(detected)) if i not in used]
        if free:
            i = min(free, key=lambda k: abs(detected[k] - t))
            if abs(detected[i] - t) < 3.0:
                used.add(i)
                rows.append((t, detected[i]))
                continue
        rows.append((t, None))
    extra = [d for i, d in enumerate(detected) if i not in used]
    return rows, extra


def run_demo(args: argparse.Namespace, out: TextIO | None = None) -> int:
    """The ``velmor demo`` command.

    Parameters
    ----------
    args : argparse.Namespace
        The command line as parsed by :func:`velmor.cli.build_parser`.
    out : text stream, optional
        Where the report goes (standard output by default).

    Returns
    -------
    status : int
        0, or 1 when a file could not be written.
    """
    from velmor._files import reason, write_whole
    from velmor.api import analyze
    from velmor.cli.analysis import score
    from velmor.cli.options import params_from_args
    from velmor.cli.output import say, shown

    out = out or sys.stdout
    params = params_from_args(args)
    signal, segments = synthesise(seed=args.seed)
    true = np.array([s for s, _, _ in segments[1:]])
    print(f"velmor demo: {len(signal) / FS:.1f} s at {FS} Hz (seed {args.seed}), sections "
          + " ".join(f"{lab} {s:.0f}-{e:.0f} s" for s, e, lab in segments), file=out)
    if args.wav:
        lab = os.path.splitext(str(args.wav))[0] + ".lab"
        writers: tuple[tuple[str, Callable[[str], None]], ...] = (
            (args.wav, lambda p: write_wav(p, signal)),
            (lab, lambda p: write_whole(p, "".join(f"{s:.3f}\t{e:.3f}\t{label}\n"
                                                   for s, e, label in segments).encode())))
        for path, write in writers:
            try:
                write(path)
            except OSError as exc:
                say(f"velmor demo: cannot write {shown(path)}: {reason(exc)}")
                return 1
        print(f"wrote {args.wav} and {lab}", file=out)

    a = analyze(signal, FS, return_ssm=True, max_memory=params.max_memory, fallback=params.method == "default",
                **params.analyze_options())
    fr = params.frames()
    m = params.analysis_method()
    if m is None:
        how = f"method classic: CENS filter {params.cens_filter}, downsampling {params.cens_ds}"
        kernel, spacing, road = params.kernel or "12s", params.neighbourhood or "10s", "checkerboard"
    else:
        how = f"method {params.resolved_method()}: {' + '.join(m.features)}"
        kernel, spacing, road = f"{m.kernel:g}s", f"{m.spacing:g}s", m.road
    if a.road == "banded":
        road = f"{road} on the band of the matrix (the {a.method!r} method)"
    if a.ssm is not None:
        print(f"\nself-similarity matrix: {a.ssm.shape[0]} x {a.ssm.shape[1]} frames, feature rate "
              f"{a.rate:.3f} frames/s ({how}); darker is more similar", file=out)
        print(text_picture(a.ssm), file=out)
    else:
        print(f"\nno self-similarity matrix: {a.note or 'the banded road'} ({len(a.novelty)} frames, "
              f"feature rate {a.rate:.3f} frames/s)", file=out)
    print(f"\nnovelty: {road}, kernel {kernel} = {fr['kernel']} frames; peaks "
          f"are maxima of a window of {spacing} = {fr['neighbourhood']} frames", file=out)
    dropped = sorted(set(a.peak_frames.tolist()) - set(a.boundary_frames.tolist()))
    print("novelty peak frames: " + " ".join(map(str, a.peak_frames.tolist()))
          + (f"  (not boundaries, near an edge or low: {' '.join(map(str, dropped))})" if dropped else ""),
          file=out)

    rows, extra = _pairs(a.boundaries, true)
    print("\n  true (s)   detected (s)   error (s)", file=out)
    for t, d in rows:
        print(f"  {t:8.2f}   " + ("      missed" if d is None else f"{d:12.2f}   {d - t:+9.2f}"), file=out)
    for d in extra:
        print(f"         -   {d:12.2f}   (extra)", file=out)
    true_labels = " ".join(lab for *_, lab in segments)
    print(f"\n  labels: {' '.join(a.labels)}   (true: {true_labels})", file=out)
    print(file=out)
    for s in score(a.boundaries, true, (0.5, 3.0)):
        print(f"tolerance {s['tolerance']:g} s: P {s['precision']:.3f}  R {s['recall']:.3f}  "
              f"F {s['f']:.3f}", file=out)

    if args.plot:
        try:
            from velmor.plot import save_figure

            save_figure(a, args.plot, reference=segments, dpi=args.dpi,
                        title=f"velmor demo: method {a.method}, labels {' '.join(a.labels)} (true: {true_labels})")
            print(f"\nwrote {args.plot}", file=out)
        except ImportError as exc:  # the plot extra is missing
            print(f"\nno plot: {exc}", file=out)
        except (OSError, ValueError) as exc:
            say(f"velmor demo: cannot write the figure {shown(args.plot)}: {reason(exc)}")
            return 1
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``velmor demo`` with the options given.

    Parameters
    ----------
    argv : sequence of str, optional
        The options (by default those of the command line).

    Returns
    -------
    status : int
        The exit status.
    """
    from velmor.cli import main as cli_main

    return cli_main(["demo", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
