"""Choose the settings of a velmor method on the tuning half of the corpus (run by hand).

Features are computed once per piece and hop length; every setting then runs the stages after the
spectrogram (:func:`velmor.analysis.methods.segment_features`) on every tuning piece and is scored
with ``velmor.unit7.calc_prf`` on interior boundaries. The search is coordinate ascent: from a
starting method, try every value of one setting while the others stay, keep the best, move to the
next setting, and go round until nothing improves. The objective is the mean over the tuning pieces
of (F at 0.5 s + F at 3 s) / 2, with a penalty for any group whose mean F at 3 s falls below 0.5.
The held-out half is never read here: report it with ``run.py --half heldout``.

    .venv-bench/bin/python benchmarks/quality/tune.py [--start fused] [--rounds 2]
"""

import argparse
import itertools
import os
import sys
import time

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

from velmor import unit7  # noqa: E402
from velmor.analysis import METHODS, frontend  # noqa: E402
from velmor.analysis.methods import segment_features  # noqa: E402
from velmor.cli import read_reference  # noqa: E402

GRID = {
    "features": [("mfcc",), ("cens",), ("chroma",), ("mfcc", "cens"), ("mfcc", "chroma")],
    "weights": [None, (2.0, 1.0), (1.0, 2.0), (3.0, 1.0), (1.5, 1.0)],
    "road": ["checkerboard", "both", "structure"],
    "pool": [2, 4, 8],
    "hop_length": [1024, 2048],
    "n_fft": [2048, 4096],
    "kernel_share": [None, 0.2, 0.25, 0.3, 0.35],
    "kernel": [6.0, 8.0, 10.0, 12.0, 16.0, 20.0, 24.0, 30.0],
    "spacing": [3.0, 4.0, 6.0, 8.0, 10.0, 12.0, 16.0],
    "window": [12.0, 24.0, 48.0],
    "delta": [-0.5, 0.0, 0.25, 0.5, 1.0],
    "floor": [0.0, 0.02, 0.05, 0.1, 0.15],
    "lag_frames": [0, 2, 4],
    "cens_filter": [3, 9, 13, 17, 25],
    "refine_radius": [0.0, 0.5, 1.0, 1.5],
    "refine_kernel": [2.0, 3.0, 5.0],
    "margin": [0.5, 1.0, 2.0, 4.0],
    "neighbours": [0.05, 0.1, 0.2, 0.3, 0.4],
}


def tuning_pieces(cache):
    folder = os.path.join(cache, "corpus")
    out = []
    for group in corpus.GROUPS:
        for index in range(corpus.PIECES_PER_GROUP):
            if corpus.half_of(index) != "tuning":
                continue
            name = corpus.piece_name(group, index)
            y, sr = sf.read(os.path.join(folder, name + ".wav"), dtype="float64")
            out.append((name, group, y, sr, read_reference(os.path.join(folder, name + ".lab"))))
    return out


class Scorer:
    def __init__(self, pieces):
        self.pieces = pieces
        self.raw = {}

    def features_of(self, k, method):
        key = (k, method.n_fft, method.hop_length, tuple(sorted(set(method.features))))
        if key not in self.raw:
            _, _, y, sr, _ = self.pieces[k]
            self.raw[key] = frontend.raw_features(y, sr, key[3], n_fft=method.n_fft, hop_length=method.hop_length)
        return self.raw[key]

    def __call__(self, method):
        per_group = {g: [] for g in corpus.GROUPS}
        f05, f3 = [], []
        for k, (name, group, y, sr, ref) in enumerate(self.pieces):
            est = segment_features(self.features_of(k, method), method).boundaries
            a = unit7.calc_prf(np.asarray(est, float), ref, 0.5)[2]
            b = unit7.calc_prf(np.asarray(est, float), ref, 3.0)[2]
            f05.append(a)
            f3.append(b)
            per_group[group].append(b)
        groups = {g: float(np.mean(v)) for g, v in per_group.items()}
        objective = (np.mean(f05) + np.mean(f3)) / 2 - sum(max(0.0, 0.5 - v) for v in groups.values()) / 4
        return float(objective), float(np.mean(f05)), float(np.mean(f3)), groups


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--start", default="fused", help="method to start from (default %(default)s)")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--change", default="{}",
                        help="settings changed before the search starts, as a Python dict literal")
    parser.add_argument("--settings", nargs="*", default=list(GRID), help="settings to search")
    parser.add_argument("--cache", default=corpus.DEFAULT_CACHE)
    args = parser.parse_args(argv)

    pieces = tuning_pieces(args.cache)
    score = Scorer(pieces)
    import ast

    best = METHODS[args.start].replace(name="tuned", **ast.literal_eval(args.change))
    best_score = score(best)
    print(f"start {args.start}: objective {best_score[0]:.3f} F0.5 {best_score[1]:.3f} F3 {best_score[2]:.3f} "
          f"groups {best_score[3]}", flush=True)
    for round_ in range(args.rounds):
        improved = False
        for setting in args.settings:
            for value in GRID[setting]:
                if value == getattr(best, setting):
                    continue
                changes = {setting: value}
                if setting == "features" and best.weights is not None and len(value) != len(best.weights):
                    changes["weights"] = None
                if setting == "weights" and value is not None and len(value) != len(best.features):
                    continue
                candidate = best.replace(**changes)
                t = time.perf_counter()
                s = score(candidate)
                if s[0] > best_score[0] + 1e-9:
                    best, best_score, improved = candidate, s, True
                    print(f"  {setting}={value!r}: objective {s[0]:.3f} F0.5 {s[1]:.3f} F3 {s[2]:.3f} "
                          f"groups { {g: round(v, 2) for g, v in s[3].items()} } ({time.perf_counter() - t:.1f} s)",
                          flush=True)
        print(f"round {round_ + 1}: {best}", flush=True)
        if not improved:
            break
    print("best:", best)
    print("tuning half:", best_score)


if __name__ == "__main__":
    main()
