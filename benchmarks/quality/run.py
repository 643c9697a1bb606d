"""Quality benchmark: every velmor method and the peer baselines, scored side by side in one run.

Run by hand (``make bench-quality``), never part of the test suite. It makes (or finds) the corpus
in the cache folder, fetches the real recordings, runs every method on every piece, and prints a
markdown table per half of the corpus and per group; everything, down to each piece's boundaries,
also goes to ``CACHE/results/quality-TIME.json`` (and ``latest.json``).

Scores are on interior boundaries (the start of the first section and the end of the last are the
edges of the piece, not boundaries). The main figures come from ``velmor.unit7.calc_prf``
(a match is ``abs(e - r) < tau``, greedy one-to-one), averaged over the pieces;
``mir_eval.segment.detection(..., trim=True)`` (``<=``, optimal matching) is computed on the same
boundaries as a cross-check, and any disagreement is reported. Median deviations are
``mir_eval.segment.deviation`` (reference to nearest estimate, estimate to nearest reference),
the median over the pieces of each piece's median. Time is the wall time from reading the file
to the boundaries, per minute of audio, every method single-threaded and warmed up once per
worker (so one-off compilation is not counted).
"""

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import datetime  # noqa: E402
import json  # noqa: E402
import shutil  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from concurrent.futures import ProcessPoolExecutor  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import methods as methods_mod  # noqa: E402
from real import fetch_real  # noqa: E402

TOLERANCES = (0.5, 3.0)
HALVES = ("tuning", "heldout")


# ---------------------------------------------------------------- boundaries and scores

def interior(boundaries, duration):
    """Sorted unique boundaries strictly inside (0, duration)."""
    b = np.unique(np.asarray(boundaries, dtype=float).ravel())
    return b[(b > 0) & (b < duration)]


def intervals(boundaries, end):
    """Segments ``[[0, b1], [b1, b2], ..., [bn, end]]`` from interior boundaries."""
    edges = np.concatenate([[0.0], boundaries, [end]])
    return np.stack([edges[:-1], edges[1:]], axis=1)


def score_piece(est, lab_path, duration):
    """All scores of one method's boundaries on one piece."""
    import mir_eval
    from velmor import unit7
    from velmor.cli import read_reference

    ref = read_reference(lab_path)
    segments = corpus.read_lab(lab_path)
    ref_int = np.array([[s, e] for s, e, _ in segments], dtype=float)
    end = float(ref_int[-1, 1])
    est = interior(est, end)
    est_int = intervals(est, end)
    out = {"n_est": int(len(est)), "n_ref": int(len(ref))}
    for tau in TOLERANCES:
        p, r, f = unit7.calc_prf(est, ref, tau)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mp, mr, mf = mir_eval.segment.detection(ref_int, est_int, window=tau, trim=True)
        out[f"{tau:g}"] = {"p": float(p), "r": float(r), "f": float(f),
                           "mir_eval": {"p": float(mp), "r": float(mr), "f": float(mf)}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r2e, e2r = mir_eval.segment.deviation(ref_int, est_int, trim=True)
    out["dev_ref_to_est"] = None if not np.isfinite(r2e) else float(r2e)
    out["dev_est_to_ref"] = None if not np.isfinite(e2r) else float(e2r)
    return out


# ---------------------------------------------------------------- running the methods

_WARM = set()


def _methods_by_name(names):
    known = {m.name: m for m in methods_mod.all_methods()}
    return [known[n] for n in names]


def _warm_up(method):
    """One untimed call on a short synthetic piece, so JIT compilation and imports are not timed."""
    if method.name in _WARM:
        return
    rng = np.random.default_rng(0)
    t = np.arange(40 * corpus.FS) / corpus.FS
    x = 0.3 * np.sin(2 * np.pi * np.where(t < 20, 220.0, 330.0) * t) + 0.01 * rng.standard_normal(len(t))
    method.segment(x.astype(np.float32 if method.family == "baseline" else np.float64), corpus.FS)
    _WARM.add(method.name)


QUIET_PAUSE = 0.25  # seconds
TIMED_RUNS = 2


def run_file(args):
    """Every method on one audio file: ``{method: {"boundaries", "seconds"}}`` (or ``"error"``)."""
    path, names = args
    out = {}
    for method in _methods_by_name(names):
        try:
            _warm_up(method)
            # BLAS worker threads spin for a while after a large product before they sleep: a
            # pause lets those of the previous method go quiet, so that no method pays for another.
            time.sleep(QUIET_PAUSE)
            seconds = float("inf")
            for _ in range(TIMED_RUNS):  # the fastest of a few runs: one-off costs (a cold file,
                t0 = time.perf_counter()  # fresh pages after another method) are nobody's speed
                signal, sr = method.load(path)
                boundaries = method.segment(signal, sr)
                seconds = min(seconds, time.perf_counter() - t0)
            out[method.name] = {"boundaries": [float(b) for b in np.asarray(boundaries, dtype=float).ravel()],
                                "seconds": seconds}
        except Exception as exc:  # one failing method must not sink the run; it is reported
            out[method.name] = {"error": f"{type(exc).__name__}: {exc}"}
    return out


def run_all(paths, names, jobs):
    tasks = [(p, names) for p in paths]
    if jobs == 1:
        results = []
        for i, t in enumerate(tasks, 1):
            results.append(run_file(t))
            print(f"\r  {i}/{len(tasks)} files", end="", file=sys.stderr, flush=True)
        print(file=sys.stderr)
        return results
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(run_file, tasks))


# ---------------------------------------------------------------- tables

def _mean(values):
    values = [v for v in values if v is not None]
    return float(np.mean(values)) if values else None


def _median(values):
    values = [v for v in values if v is not None]
    return float(np.median(values)) if values else None


def summarise(rows):
    """Averages over pieces of one method's per-piece rows (each a score dict plus duration/seconds)."""
    ok = [r for r in rows if "error" not in r]
    if not ok:
        return None
    s = {"pieces": len(ok), "errors": len(rows) - len(ok)}
    for tau in TOLERANCES:
        k = f"{tau:g}"
        for m in "prf":
            s[f"{m}@{k}"] = _mean([r[k][m] for r in ok])
            s[f"mir_eval {m}@{k}"] = _mean([r[k]["mir_eval"][m] for r in ok])
    s["dev_ref_to_est"] = _median([r["dev_ref_to_est"] for r in ok])
    s["dev_est_to_ref"] = _median([r["dev_est_to_ref"] for r in ok])
    s["est_per_ref"] = sum(r["n_est"] for r in ok) / max(1, sum(r["n_ref"] for r in ok))
    s["s_per_min"] = 60.0 * sum(r["seconds"] for r in ok) / sum(r["duration"] for r in ok)
    return s


def _fmt(x, digits=2):
    return "—" if x is None else f"{x:.{digits}f}"


def main_table(summaries, reference_name):
    ref_time = (summaries.get(reference_name) or {}).get("s_per_min")
    lines = ["| method | F@0.5 | F@3 | P@3 | R@3 | P@0.5 | R@0.5 | F@0.5 (mir_eval) | F@3 (mir_eval) "
             "| dev ref→est (s) | dev est→ref (s) | est/ref | s per min | time vs velmor |",
             "|---|" + "---:|" * 13]
    for name, s in summaries.items():
        if s is None:
            lines.append(f"| {name} | " + " | ".join(["error"] * 13) + " |")
            continue
        ratio = None if not ref_time else s["s_per_min"] / ref_time
        lines.append(
            f"| {name} | {_fmt(s['f@0.5'])} | {_fmt(s['f@3'])} | {_fmt(s['p@3'])} | {_fmt(s['r@3'])} "
            f"| {_fmt(s['p@0.5'])} | {_fmt(s['r@0.5'])} | {_fmt(s['mir_eval f@0.5'])} | {_fmt(s['mir_eval f@3'])} "
            f"| {_fmt(s['dev_ref_to_est'], 1)} | {_fmt(s['dev_est_to_ref'], 1)} | {_fmt(s['est_per_ref'])} "
            f"| {_fmt(s['s_per_min'], 3)} | {_fmt(ratio, 1) + ('x' if ratio else '')} |")
    return "\n".join(lines)


def group_table(by_group):
    """Rows: methods; per group F@0.5, F@3, P@3, R@3."""
    groups = [g for g in corpus.GROUPS if g in next(iter(by_group.values()))]
    head = "| method | " + " | ".join(f"{g}: F@0.5 | {g}: F@3 | {g}: P@3 | {g}: R@3" for g in groups) + " |"
    lines = [head, "|---|" + "---:|" * (4 * len(groups))]
    for name, per in by_group.items():
        cells = []
        for g in groups:
            s = per[g]
            cells += ["—"] * 4 if s is None else [_fmt(s["f@0.5"]), _fmt(s["f@3"]), _fmt(s["p@3"]), _fmt(s["r@3"])]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def crosscheck(rows_by_method):
    """How often calc_prf and mir_eval disagree on F, and in which direction."""
    n = differ = higher = 0
    worst = 0.0
    for rows in rows_by_method.values():
        for r in rows:
            if "error" in r:
                continue
            for tau in TOLERANCES:
                k = f"{tau:g}"
                a, b = r[k]["f"], r[k]["mir_eval"]["f"]
                n += 1
                if abs(a - b) > 1e-9:
                    differ += 1
                    higher += b > a
                    worst = max(worst, abs(a - b))
    return {"cases": n, "differ": differ, "mir_eval_higher": higher, "largest_difference": worst}


# ---------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description="velmor quality benchmark: all methods and the peer baselines, "
                                             "scored side by side on the project's own corpus.")
    ap.add_argument("--cache", default=os.environ.get("VELMOR_BENCH_CACHE", corpus.DEFAULT_CACHE),
                    help="cache folder for the corpus, the real recordings and the results (default %(default)s)")
    ap.add_argument("--methods", help="comma-separated parts of method names to run (default: all)")
    ap.add_argument("--half", choices=["tuning", "heldout", "both"], default="both")
    ap.add_argument("--groups", default=corpus.GROUPS, help="groups to score (default %(default)s)")
    ap.add_argument("--jobs", type=int, default=1,
                    help="worker processes (default 1; timings are cleanest with 1 on a shared machine)")
    ap.add_argument("--no-real", action="store_true", help="skip the real recordings")
    ap.add_argument("--no-labels", action="store_true", help="skip the label table")
    ap.add_argument("--labels-only", action="store_true", help="only the label table (no boundary methods)")
    args = ap.parse_args(argv)

    all_m = methods_mod.all_methods()
    chosen = methods_mod.select(all_m, args.methods)
    names = [m.name for m in chosen]
    reference_name = "velmor segment"
    print(f"methods: {', '.join(names)}", file=sys.stderr)

    pieces = corpus.build_corpus(args.cache, jobs=max(1, args.jobs))
    halves = HALVES if args.half == "both" else (args.half,)
    pieces = [p for p in pieces if p["half"] in halves and p["group"] in args.groups]
    corpus_dir = os.path.join(args.cache, "corpus")
    if args.labels_only:
        text = label_tables(pieces, corpus_dir, halves, args.jobs)[0]
        print(text)
        return 0
    real = [] if args.no_real else fetch_real(args.cache)

    t0 = time.time()
    paths = [os.path.join(corpus_dir, p["wav"]) for p in pieces] + real
    print(f"running {len(names)} methods on {len(pieces)} pieces and {len(real)} real recordings "
          f"({args.jobs} worker{'s' if args.jobs != 1 else ''})", file=sys.stderr)
    raw = run_all(paths, names, args.jobs)
    elapsed = time.time() - t0

    rows = {n: [] for n in names}
    for p, res in zip(pieces, raw[: len(pieces)]):
        for n in names:
            r = res[n]
            if "error" in r:
                rows[n].append({"piece": p["name"], "error": r["error"]})
                continue
            sc = score_piece(r["boundaries"], os.path.join(corpus_dir, p["lab"]), p["duration"])
            rows[n].append(dict(sc, piece=p["name"], group=p["group"], half=p["half"], duration=p["duration"],
                                seconds=r["seconds"], boundaries=r["boundaries"]))

    out = [f"# velmor quality benchmark, {datetime.datetime.now():%Y-%m-%d %H:%M}",
           "",
           f"{len(pieces)} pieces ({sum(p['duration'] for p in pieces) / 60:.1f} min), groups: "
           + "; ".join(f"({g}) {corpus.GROUP_NAMES[g]}" for g in args.groups)
           + ". Scores on interior boundaries, mean over pieces; P/R/F from velmor.unit7.calc_prf "
             "(|e - r| < tau, greedy), mir_eval columns from mir_eval.segment.detection(trim=True). "
             "Deviations: median over pieces of mir_eval.segment.deviation. Time: file read to boundaries."]
    tables = {}
    for half in halves + (("all",) if len(halves) > 1 else ()):
        sel = {n: [r for r in rows[n] if half == "all" or r.get("half", _half_of(r, pieces)) == half] for n in names}
        summaries = {n: summarise(sel[n]) for n in names}
        by_group = {n: {g: summarise([r for r in sel[n] if _group_of(r, pieces) == g]) for g in args.groups}
                    for n in names}
        tables[half] = {"overall": summaries, "groups": by_group}
        count = len([p for p in pieces if half == "all" or p["half"] == half])
        minutes = sum(p["duration"] for p in pieces if half == "all" or p["half"] == half) / 60
        title = {"tuning": "Tuning half", "heldout": "Held-out half", "all": "Both halves"}[half]
        out += ["", f"## {title} ({count} pieces, {minutes:.1f} min)", "", main_table(summaries, reference_name),
                "", f"### {title}, by group", "", group_table(by_group)]
    errors = [(n, r["piece"], r["error"]) for n in names for r in rows[n] if "error" in r]
    cc = crosscheck(rows)
    out += ["", f"calc_prf and mir_eval: F differs in {cc['differ']} of {cc['cases']} (piece, method, tolerance) "
                f"cases, mir_eval higher in {cc['mir_eval_higher']} of them, largest difference "
                f"{cc['largest_difference']:.3f}."]
    for n, piece, err in errors:
        out.append(f"error: {n} on {piece}: {err}")

    real_rows = {}
    if real:
        out += ["", "## Real recordings (no references)", "",
                "| method | " + " | ".join(f"{os.path.basename(p)} boundaries" for p in real) + " | s per min |",
                "|---|" + "---:|" * (len(real) + 1)]
        import soundfile as sf

        durations = [sf.info(p).duration for p in real]
        for n in names:
            res = [r[n] for r in raw[len(pieces):]]
            real_rows[n] = [dict(r, file=p, duration=d) for r, p, d in zip(res, real, durations)]
            if any("error" in r for r in res):
                out.append(f"| {n} | " + " | ".join("error" if "error" in r else str(len(interior(r["boundaries"], d)))
                                                     for r, d in zip(res, durations)) + " | — |")
                continue
            spm = 60 * sum(r["seconds"] for r in res) / sum(durations)
            out.append(f"| {n} | " + " | ".join(str(len(interior(r["boundaries"], d)))
                                                 for r, d in zip(res, durations)) + f" | {spm:.3f} |")
    label_rows = []
    if not args.no_labels:
        label_text, label_rows = label_tables(pieces, corpus_dir, halves, args.jobs)
        out += ["", label_text]
    out += ["", f"wall time of the run: {elapsed:.0f} s"]
    text = "\n".join(out)
    print(text)

    results_dir = os.path.join(args.cache, "results")
    os.makedirs(results_dir, exist_ok=True)
    path = os.path.join(results_dir, f"quality-{datetime.datetime.now():%Y%m%d-%H%M%S}.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"methods": names, "halves": list(halves), "groups": args.groups,
                   "pieces": [{k: v for k, v in p.items() if k != "description"} for p in pieces],
                   "tables": tables, "per_piece": rows, "crosscheck": cc, "real": real_rows,
                   "labels": label_rows,
                   "markdown": text, "elapsed": elapsed}, f, indent=1)
    shutil.copyfile(path, os.path.join(results_dir, "latest.json"))
    print(f"\nresults: {path}", file=sys.stderr)
    return 1 if errors else 0


def label_tables(pieces, corpus_dir, halves, jobs):
    """The label table per half: ``(markdown, per-piece rows)``."""
    import labels

    tasks = [(os.path.join(corpus_dir, p["wav"]), os.path.join(corpus_dir, p["lab"])) for p in pieces]
    print(f"labelling {len(tasks)} pieces ({len(labels.ROWS)} rows)", file=sys.stderr)
    if jobs == 1:
        results = [labels.run_piece(t) for t in tasks]
    else:
        with ProcessPoolExecutor(max_workers=jobs) as pool:
            results = list(pool.map(labels.run_piece, tasks))
    out = []
    for half in halves + (("all",) if len(halves) > 1 else ()):
        sel = [r for p, r in zip(pieces, results) if half == "all" or p["half"] == half]
        title = {"tuning": "tuning half", "heldout": "held-out half", "all": "both halves"}[half]
        out += [f"## Labels, {title} ({len(sel)} pieces)", "",
                "Mean over pieces of mir_eval's pairwise and conditional-entropy scores (velmor.evaluate) "
                "against the reference labels; the librosa row is given the true numbers of segments "
                "and labels.", "", labels.table(sel), ""]
    errors = [(p["name"], n, r[n]["error"]) for p, r in zip(pieces, results) for n in r if "error" in r[n]]
    out += [f"label error: {n} on {piece}: {e}" for piece, n, e in errors]
    rows = [dict(piece=p["name"], half=p["half"], group=p["group"], **r) for p, r in zip(pieces, results)]
    return "\n".join(out).rstrip(), rows


def _half_of(row, pieces):
    return next(p["half"] for p in pieces if p["name"] == row["piece"])


def _group_of(row, pieces):
    return next(p["group"] for p in pieces if p["name"] == row["piece"])


if __name__ == "__main__":
    sys.exit(main())
