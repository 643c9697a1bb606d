"""``velmor demo``: analyse the demo piece and show how the result compares with the truth.

The piece is :func:`velmor.demo.synthesise`'s, analysed as ``velmor segment`` would
(:func:`velmor.analyze`).
It prints the self-similarity matrix as a coarse text picture, the novelty peaks, the detected
boundaries and labels beside the true ones and their scores, and draws a figure of it all.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Iterable
from typing import TextIO

import numpy as np
from numpy.typing import ArrayLike

from velmor.demo import FS, synthesise, write_wav


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

    from .analysis import score
    from .options import params_from_args
    from .output import say, shown

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
    if params.is_classic:
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
