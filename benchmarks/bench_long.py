"""Long recordings: wall time and peak memory of an analysis against the length of the input.

Run by hand, ``make bench-long`` (or ``python benchmarks/bench_long.py [options]``). It builds long
recordings by concatenating free recordings, the real ones and the rendered corpus of the quality
benchmark (``make bench-quality`` makes them) found in ``~/.cache/velmor-bench/quality``, into a
cache folder, ``~/.cache/velmor-bench/long`` (``--cache``; never part of the repository), written
as 44.1 kHz stereo FLAC as a user's files would be (``--format wav`` for 22.05 kHz mono WAV).

Each case runs in a fresh process (``velmor.analysis.segment_file``, the file read a block at a
time, as ``velmor segment`` reads long files), whose wall time and peak resident memory
(``wait4``'s ``ru_maxrss``) are reported with the road taken:

    4 min     the default method; and the checkerboard road dense and banded side by side
    3 h       about 10 frames/s (pool 2) with the default method: at most 60 s and 1.5 GB
    10 h      the default rate with the default method: 200 s and 5 GB (the same, scaled)

``--cases`` picks some (``4min,3h,10h``; also ``1h``).
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
    "1h": (3600.0, {"pool": 2}, 20.0, 0.5e9),
    "3h": (3 * 3600.0, {"pool": 2}, 60.0, 1.5e9),
    "10h": (10 * 3600.0, {}, 200.0, 5.0e9),
}


def sources(quality_cache):
    files = sorted(glob.glob(os.path.join(quality_cache, "real", "*.wav")))
    files += sorted(glob.glob(os.path.join(quality_cache, "corpus", "*.wav")))
    if not files:
        sys.exit(f"no recordings in {quality_cache}/real or /corpus: run `make bench-quality` once to make them")
    return files


def build(path, seconds, files, fmt):
    """Concatenate the files, in turn and again, into `seconds` of audio at `path` (if not there)."""
    import soundfile as sf
    import soxr

    if os.path.exists(path):
        return path
    rate, channels = (44100, 2) if fmt == "flac" else (22050, 1)
    tmp = path + ".part"
    total = int(seconds * rate)
    written = 0
    t0 = time.perf_counter()
    with sf.SoundFile(tmp, "w", samplerate=rate, channels=channels, format=fmt.upper(), subtype="PCM_16") as out:
        i = 0
        while written < total:
            y, sr = sf.read(files[i % len(files)], dtype="float64", always_2d=True)
            y = y.mean(axis=1)
            if sr != rate:
                y = soxr.resample(y, sr, rate, quality="HQ")
            y = y[:total - written]
            if channels == 2:  # a slightly different right channel, so that the mixdown has work to do
                y = np.stack([y, 0.9 * y], axis=1)
            out.write(y)
            written += y.shape[0]
            i += 1
    os.replace(tmp, path)
    print(f"  built {path} ({seconds / 3600:.2f} h) in {time.perf_counter() - t0:.0f} s", file=sys.stderr)
    return path


def measured(path, changes, max_memory=None, method="default"):
    """One analysis in a fresh process: its wall time (start-up and imports included), peak resident
    memory (wait4's ru_maxrss of that process alone) and what it found."""
    code = (
        "import json\n"
        "from velmor.analysis import segment_file\n"
        f"seg = segment_file({path!r}, {method!r}, max_memory={max_memory!r}, **{changes!r})\n"
        "print(json.dumps({'method': seg.method, 'road': seg.road, 'frames': int(seg.novelty.size),\n"
        "                  'rate': seg.rate, 'boundaries': int(seg.boundaries.size)}))\n"
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
        path = build(os.path.join(args.cache, f"long-{name}.{args.format}"), seconds, files, args.format)
        runs = [("default", None, "default")]
        if name == "4min":  # the checkerboard road both ways, on the same method
            runs += [("long, dense", None, "long"), ("long, banded", 1, "long")]
        for label, budget, method in runs:
            r = measured(path, changes, budget, method)
            ok = (max_wall is None or r["wall"] <= max_wall) and (max_peak is None or r["peak"] <= max_peak)
            if not ok:
                failed.append(name)
            rows.append((name, label, r, max_wall, max_peak, ok))
            print(f"{name:5s} {label:13s} {r['method']:9s} {r['road']:6s} {r['frames']:8d} frames "
                  f"({r['rate']:.2f}/s)  {r['wall']:6.1f} s  {r['peak'] / 1e9:5.2f} GB"
                  + ("" if max_wall is None else f"   bound {max_wall:.0f} s, {max_peak / 1e9:.1f} GB: "
                     f"{'ok' if ok else 'MISSED'}"), flush=True)
    print()
    print("| input | method (road) | frames | wall time | peak memory | bound |")
    print("|---|---|---:|---:|---:|---|")
    for name, label, r, max_wall, max_peak, ok in rows:
        bound = "" if max_wall is None else f"{max_wall:.0f} s, {max_peak / 1e9:.1f} GB ({'met' if ok else 'missed'})"
        print(f"| {name} ({label}) | {r['method']} ({r['road']}) | {r['frames']} at {r['rate']:.2f}/s "
              f"| {r['wall']:.1f} s | {r['peak'] / 1e9:.2f} GB | {bound} |")
    if failed:
        sys.exit(f"bounds missed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
