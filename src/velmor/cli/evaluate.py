"""``velmor eval RESULTS... --ref REFS``: score results against references, a row per file and the mean."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, cast

from velmor._files import reason, write_whole
from velmor.annotations import SUFFIXES, find_annotation, stem_of

from .output import say, shown

RESULT_SUFFIXES = (".lab", ".txt", ".jams", ".json")
TEXT_COLUMNS = ("calc_prf F@{t}", "mir_eval F@{t}")
TEXT_TAIL = ("ref-to-est deviation", "est-to-ref deviation", "pairwise P", "pairwise R", "pairwise F",
             "NCE over", "NCE under", "NCE F")
SHORT = {"ref-to-est deviation": "dev r>e", "est-to-ref deviation": "dev e>r", "pairwise P": "pair P",
         "pairwise R": "pair R", "pairwise F": "pair F"}


def expand_results(paths: Iterable[str]) -> list[str]:
    """The result files named, with every annotation file of a named directory (sorted).

    Parameters
    ----------
    paths : iterable of str
        Result files and directories of them.

    Returns
    -------
    files : list of str
        Each file named, and in place of each directory the annotation files it holds.
    """
    out: list[str] = []
    for p in paths:
        if os.path.isdir(p):
            out += sorted(os.path.join(p, n) for n in os.listdir(p)
                          if n.lower().endswith(RESULT_SUFFIXES) and os.path.isfile(os.path.join(p, n)))
        else:
            out.append(p)
    return out


def pair(results: Sequence[str], refs: Sequence[str]) -> tuple[list[tuple[str, str]], list[str]]:
    """``(pairs, unpaired)``: ``[(result, reference)]`` and the results without a reference.

    ``refs`` is one reference per result, in order, or a single directory in which a result
    ``DIR/STEM.SUFFIX`` finds ``STEM.lab``, ``STEM.txt``, ``STEM.jams`` or ``STEM.*.lab`` (and failing
    that, the same for its name up to the first dot: ``song.segments.lab`` finds ``song.lab``).

    Parameters
    ----------
    results : sequence of str
        The result files.
    refs : sequence of str
        One reference file per result, or a single directory of references.

    Returns
    -------
    pairs : list of (str, str)
        Each result with its reference.
    unpaired : list of str
        The results for which the directory holds no reference.
    """
    if len(refs) == 1 and os.path.isdir(refs[0]):
        pairs: list[tuple[str, str]] = []
        unpaired: list[str] = []
        for r in results:
            stem = stem_of(r)
            ref = find_annotation(refs[0], stem) or find_annotation(refs[0], stem.split(".", 1)[0])
            if ref is not None and os.path.abspath(ref) == os.path.abspath(r):
                ref = None  # a result is never its own reference
            (pairs.append((r, ref)) if ref is not None else unpaired.append(r))
        return pairs, unpaired
    return list(zip(results, refs)), []


def _number(x: float | None, digits: int = 3) -> str:
    return "-" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.{digits}f}"


def format_text(rows: Sequence[Mapping[str, Any]], mean: Mapping[str, float], tolerances: Iterable[float]) -> str:
    """The table of scores as text: a row per result and the mean, the main scores only.

    Parameters
    ----------
    rows : sequence of mapping
        Per result: ``file``, ``reference`` and ``scores`` (or ``error`` when it failed).
    mean : mapping of str to float
        The mean of each score over the results scored.
    tolerances : iterable of float
        The hit-rate tolerances, in seconds.

    Returns
    -------
    text : str
        The table, with a legend below it.
    """
    keys = [c.format(t=f"{t:g}") for t in tolerances for c in TEXT_COLUMNS] + list(TEXT_TAIL)
    heads = [SHORT.get(k, k) for k in keys]
    names = [os.path.basename(r["file"]) for r in rows] + ["mean"]
    width = max(len(n) for n in names + ["file"])
    cells = [[_number(r["scores"].get(k)) if "scores" in r else "error" for k in keys] for r in rows]
    cells.append([_number(mean.get(k)) for k in keys])
    widths = [max(len(h), 5) for h in heads]
    lines = ["  ".join([f"{'file':<{width}}"] + [f"{h:>{w}}" for h, w in zip(heads, widths)])]
    for name, row in zip(names, cells):
        if name == "mean":
            lines.append("-" * len(lines[0]))
        lines.append("  ".join([f"{name:<{width}}"] + [f"{c:>{w}}" for c, w in zip(row, widths)]))
    lines.append("")
    lines.append("calc_prf: velmor's scorer, |e - r| < tolerance, greedy; mir_eval: |e - r| <= tolerance, "
                 "optimal matching (as MIREX reports);")
    lines.append("deviations: median seconds; pair: pairwise label P/R/F; NCE: normalised conditional entropy "
                 "scores. -f csv or -f json for every score.")
    return "\n".join(lines) + "\n"


def format_csv(rows: Sequence[Mapping[str, Any]], mean: Mapping[str, float]) -> str:
    """The table of scores as CSV: a row per result and the mean, every score.

    Parameters
    ----------
    rows : sequence of mapping
        The rows, as :func:`format_text` takes them.
    mean : mapping of str to float
        The mean scores, as :func:`format_text` takes them.

    Returns
    -------
    text : str
        The CSV text, with a header row.
    """
    keys = list(dict.fromkeys(k for r in rows if "scores" in r for k in r["scores"]))
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(["file", "reference", *keys])
    for r in rows:
        w.writerow([r["file"], r["reference"], *(("" if "scores" not in r else r["scores"].get(k)) for k in keys)])
    w.writerow(["mean", "", *(mean.get(k) for k in keys)])
    return buf.getvalue()


def _json_safe(x: object) -> object:
    if isinstance(x, float) and not math.isfinite(x):
        return None
    if isinstance(x, dict):
        return {k: _json_safe(v) for k, v in cast("dict[str, object]", x).items()}
    if isinstance(x, list):
        return [_json_safe(v) for v in cast("list[object]", x)]
    return x


def run_eval(args: argparse.Namespace) -> int:
    """Score the results that ``velmor eval`` names, and report them.

    The exit status is 0 when every result was scored, else 1.

    Parameters
    ----------
    args : argparse.Namespace
        Results, references, tolerances and output, parsed.

    Returns
    -------
    int
        The exit status.
    """
    from velmor.evaluation import evaluate, mean_scores

    results = expand_results(args.results)
    if not results:
        say("velmor eval: no result files found")
        return 1
    pairs, unpaired = pair(results, args.ref)
    for r in unpaired:
        say(f"velmor eval: {shown(r)}: no reference found in {shown(args.ref[0])} (looked for "
            f"{', '.join('STEM' + s for s in SUFFIXES)}, STEM.*.lab)")
    rows: list[dict[str, Any]] = []
    for result, reference in pairs:
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                scores = evaluate(result, reference, tolerances=args.tolerance)
            rows.append({"file": result, "reference": reference, "scores": scores})
            for message in dict.fromkeys(str(w.message) for w in caught):
                say(f"velmor eval: {shown(result)}: warning: {message}")
        except ImportError as exc:
            say(f"velmor eval: {exc}")
            return 1
        except Exception as exc:  # one file's failure, even out of memory, is that file's alone
            if isinstance(exc, (OSError, ValueError)):
                text = str(exc)
            elif isinstance(exc, MemoryError):
                text = "out of memory"
            else:
                text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
            say(f"velmor eval: {shown(result)}: {text}")
            rows.append({"file": result, "reference": reference, "error": text})
    scored = [r["scores"] for r in rows if "scores" in r]
    mean = mean_scores(scored)
    if args.format == "json":
        text = json.dumps(_json_safe({"files": rows, "mean": mean, "count": len(scored),
                                      "unpaired": unpaired}), indent=2) + "\n"
    elif args.format == "csv":
        text = format_csv(rows, mean)
    else:
        text = format_text(rows, mean, args.tolerance)
    if args.output:
        try:
            write_whole(args.output, text.encode("utf-8", "surrogateescape"))
        except OSError as exc:
            say(f"velmor eval: cannot write {shown(args.output)}: {reason(exc)}")
            return 1
    else:
        sys.stdout.write(text)
    if not args.quiet:
        say(f"velmor eval: {len(results)} result{'s' if len(results) != 1 else ''}: {len(scored)} scored, "
            f"{len(unpaired)} without a reference, {len(rows) - len(scored)} failed")
    return 0 if scored and len(scored) == len(results) else 1
