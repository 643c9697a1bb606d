"""Long recordings: wall time and peak memory of an analysis against the length of the input.

Run by hand, ``make bench-long`` (or ``python benchmarks/bench_long.py [options]``). It builds long
recordings by concatenating free recordings, the real ones and the rendered corpus of the quality
benchmark (``make bench-quality`` makes them) found in ``~/.cache/velmor-bench/quality``, into a
cache folder, ``~/.cache/velmor-bench/long`` (``--cache``; never part of the repository), written
as 44.1 kHz stereo FLAC as a user's files would be (``--format wav`` for 22.05 kHz mono WAV).

Each case runs in a fresh process (``velmor.analysis.segment_file``, the file read a block at a
time, as ``velmor segment`` reads long files), whose wall time and peak resident memory
(``wait4``'s ``ru_maxrss``) are reported with the road taken, and F at 0.5 s and 3 s against the
references of the corpus pieces and the joins between recordings (boundaries inside the real
recordings, which have no reference, are left out):

    4 min     the default method; and the checkerboard road ('fused') dense and banded side by side
    3 h       about 10 frames/s (hop 1024, pool 2) with the default method: at most 60 s and 1.5 GB
    10 h      the default rate with the default method: 200 s and 5 GB (the same, scaled)

``--cases`` picks some (``4min,3h,10h``; also ``20min``, where the default method's structure road
still fits the default budget, beside the 'long' method it falls back to beyond, and ``1h``).
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import subprocess
import sys
import time

import numpy as np

CASES = {
    # name: (seconds, changes to the method, bound on wall seconds, bound on peak bytes)
    "4min": (240.0, {}, None, None),
    "20min": (1200.0, {}, None, None),
    "1h": (3600.0, {"hop_length": 1024, "pool": 2}, 20.0, 0.5e9),
    "3h": (3 * 3600.0, {"hop_length": 1024, "pool": 2}, 60.0, 1.5e9),
    "10h": (10 * 3600.0, {}, 200.0, 5.0e9),
}


def sources(quality_cache):
    files = sorted(glob.glob(os.path.join(quality_cache, "real", "*.wav")))
    files += sorted(glob.glob(os.path.join(quality_cache, "corpus", "*.wav")))
    if not files:
        sys.exit(f"no recordings in {quality_cache}/real or /corpus: run `make bench-quality` once to make them")
    return files


def layout(seconds, files):
    """Where each recording lies in a concatenation of `seconds`: (file, start s, length s, its
    reference boundaries in seconds from its start, or None for a recording without one)."""
    import soundfile as sf

    spans, at, i = [], 0.0, 0
    while at < seconds - 1e-9:
        path = files[i % len(files)]
        length = min(sf.info(path).duration, seconds - at)
        lab = os.path.splitext(path)[0] + ".lab"
        ref = None
        if os.path.exists(lab):
            starts = [float(line.split()[0]) for line in open(lab) if line.split()]
            ref = [t for t in starts[1:] if t < length]
        spans.append((path, at, length, ref))
        at += length
        i += 1
    return spans


def build(path, seconds, files, fmt):
    """The concatenation of `seconds` at `path` (made if not there), and its layout."""
    import soundfile as sf
    import soxr

    spans = layout(seconds, files)
    if os.path.exists(path):
        return path, spans
    rate, channels = (44100, 2) if fmt == "flac" else (22050, 1)
    tmp = path + ".part"
    t0 = time.perf_counter()
    with sf.SoundFile(tmp, "w", samplerate=rate, channels=channels, format=fmt.upper(), subtype="PCM_16") as out:
        for source, _, length, _ in spans:
            y, sr = sf.read(source, dtype="float64", always_2d=True)
            y = y[:int(round(length * sr))].mean(axis=1)
            if sr != rate:
                y = soxr.resample(y, sr, rate, quality="HQ")
            if channels == 2:  # a slightly different right channel, so that the mixdown has work to do
                y = np.stack([y, 0.9 * y], axis=1)
            out.write(y)
    os.replace(tmp, path)
    print(f"  built {path} ({seconds / 3600:.2f} h) in {time.perf_counter() - t0:.0f} s", file=sys.stderr)
    return path, spans


def score(boundaries, spans, tolerance):
    """F-measure of the boundaries against the references of the recordings that have one, and the
    joins between recordings; boundaries inside recordings without a reference are left out."""
    from velmor import unit7

    ref, inside = [], []
    for k, (_, start, length, r) in enumerate(spans):
        if k > 0:
            ref.append(start)
        if r is not None:
            ref += [start + t for t in r]
            inside.append((start - tolerance, start + length + tolerance))
    est = [b for b in boundaries if any(a <= b <= e for a, e in inside)]
    ref = [t for t in ref if any(a <= t <= e for a, e in inside)]
    if not ref:
        return float("nan")
    return unit7.calc_prf(np.asarray(est), np.asarray(ref), tolerance)[2]


def measured(path, changes, max_memory=None, method="default"):
    """One analysis in a fresh process: its wall time (start-up and imports included), peak resident
    memory (wait4's ru_maxrss of that process alone) and what it found."""
    code = (
        "import json\n"
        "from velmor.analysis import segment_file\n"
        f"seg = segment_file({path!r}, {method!r}, max_memory={max_memory!r}, **{changes!r})\n"
        "print(json.dumps({'method': seg.method, 'road': seg.road, 'frames': int(seg.novelty.size),\n"
        "                  'rate': seg.rate, 'boundaries': seg.boundaries.tolist()}))\n"
    )
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    out = proc.stdout.read()  # small: one line, read before waiting so that the pipe never fills
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    proc.stdout.close()
    proc.returncode = status  # reaped here, not by Popen
    if status != 0:
        raise RuntimeError(f"the analysis of {path} failed (status {status})")
    result = json.loads(out)
    result["wall"] = wall
    result["peak"] = usage.ru_maxrss * 1024  # kilobytes on Linux
    return result


def novelty_stage(path, repeat=7):
    """Median seconds of the similarity and novelty stage alone, dense and banded, interleaved, on
    the features of one file (the 'fused' method's checkerboard road); they must agree."""
    import statistics

    from velmor.analysis import METHODS, audio_blocks, banded, checkerboard_novelty, frontend, fuse, self_similarity

    m = METHODS["fused"]
    raw, _ = audio_blocks.file_features(path, m.features, hop_length=m.hop_length)
    frames = frontend.pooled(raw, m.features, m.pool, cens_filter=m.cens_filter)
    feats = [frames.features[f] for f in m.features]
    k = m.kernel * frames.rate
    roads = {
        "dense": lambda: checkerboard_novelty(fuse([self_similarity(f) for f in feats]), k),
        "banded": lambda: banded.banded_novelty(feats, k),
    }
    times = {name: [] for name in roads}
    curves = {}
    for _ in range(repeat):
        for name, run in roads.items():
            t = time.perf_counter()
            curves[name] = run()
            times[name].append(time.perf_counter() - t)
    assert np.allclose(curves["dense"], curves["banded"], rtol=0, atol=1e-12), "the roads disagree"
    return frames.n_frames, {name: statistics.median(t) for name, t in times.items()}


def _f(pair):
    return "-" if np.isnan(pair[0]) else f"{pair[0]:.2f} / {pair[1]:.2f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", default="4min,3h,10h")
    parser.add_argument("--cache", default=os.path.expanduser("~/.cache/velmor-bench/long"))
    parser.add_argument("--quality-cache", default=os.environ.get("VELMOR_BENCH_CACHE",
                                                                  os.path.expanduser("~/.cache/velmor-bench/quality")))
    parser.add_argument("--format", choices=("flac", "wav"), default="flac")
    args = parser.parse_args(argv)

    os.makedirs(args.cache, exist_ok=True)
    files = sources(args.quality_cache)
    names = [c.strip() for c in args.cases.split(",") if c.strip()]
    unknown = [c for c in names if c not in CASES]
    if unknown:
        parser.error(f"unknown cases {unknown}; choose from {', '.join(CASES)}")
    rows = []
    failed = []
    for name in names:
        seconds, changes, max_wall, max_peak = CASES[name]
        path, spans = build(os.path.join(args.cache, f"long-{name}.{args.format}"), seconds, files, args.format)
        runs = [("default", None, "default")]
        if name == "20min":  # within the default budget: the structure road against its fallback
            runs += [("long, banded", 1, "long")]
        if name == "4min":  # the checkerboard road both ways, on the same method
            runs += [("fused, dense", None, "fused"), ("fused, banded", 1, "fused")]
            n, stage = novelty_stage(path)
            print(f"{name:5s} similarity + novelty alone, {n} frames, median of 7: dense {stage['dense'] * 1e3:.1f} ms, "
                  f"banded {stage['banded'] * 1e3:.1f} ms ({stage['dense'] / stage['banded']:.1f}x)", flush=True)
        for label, budget, method in runs:
            r = measured(path, changes, budget, method)
            r["f"] = [score(r["boundaries"], spans, t) for t in (0.5, 3.0)]
            ok = (max_wall is None or r["wall"] <= max_wall) and (max_peak is None or r["peak"] <= max_peak)
            if not ok:
                failed.append(name)
            rows.append((name, label, r, max_wall, max_peak, ok))
            print(f"{name:5s} {label:13s} {r['method']:9s} {r['road']:6s} {r['frames']:8d} frames "
                  f"({r['rate']:.2f}/s)  {r['wall']:6.1f} s  {r['peak'] / 1e9:5.2f} GB  "
                  f"F {_f(r['f'])}"
                  + ("" if max_wall is None else f"   bound {max_wall:.0f} s, {max_peak / 1e9:.1f} GB: "
                     f"{'ok' if ok else 'MISSED'}"), flush=True)
    print()
    print("| input | method (road) | frames | wall time | peak memory | F at 0.5 s / 3 s | bound |")
    print("|---|---|---:|---:|---:|---:|---|")
    for name, label, r, max_wall, max_peak, ok in rows:
        bound = "" if max_wall is None else f"{max_wall:.0f} s, {max_peak / 1e9:.1f} GB ({'met' if ok else 'missed'})"
        print(f"| {name} ({label}) | {r['method']} ({r['road']}) | {r['frames']} at {r['rate']:.2f}/s "
              f"| {r['wall']:.1f} s | {r['peak'] / 1e9:.2f} GB | {_f(r['f'])} | {bound} |")
    if failed:
        sys.exit(f"bounds missed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
