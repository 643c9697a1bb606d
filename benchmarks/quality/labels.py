"""The label table of the quality benchmark: how well segments are grouped into sections.

Each row is a function ``(path, reference segments) -> [(start, end, label), ...]``, scored with
``velmor.evaluate`` (pairwise P/R/F and normalised conditional entropies from mir_eval, against
the piece's reference labels). Rows:

- ``velmor.analyze``: the one call with its defaults (own boundaries, number of labels chosen);
- ``velmor.analyze, true number of labels``: the same, given the number of distinct reference labels;
- ``velmor labels on the true boundaries``: velmor's labelling of the reference segments (its
  labelling alone, without boundary errors);
- ``librosa agglomerative, true numbers``: the baseline, given both oracle counts. librosa's
  features at its default framing (MFCC 1-19 standardised over the piece, ``chroma_cens``; each
  block of columns scaled to unit length and stacked, averaged over blocks of 8 frames, 0.19 s,
  velmor's analysis rate), ``librosa.segment.agglomerative`` into the true number of segments,
  then scikit-learn's agglomerative clustering (Ward) of the segments' mean features into the
  true number of labels.
"""

import numpy as np

POOL = 8  # librosa frames (hop 512) per feature frame: 0.186 s


def _reference_counts(segments):
    return len(segments), len({lab for *_, lab in segments})


def velmor_auto(path, segments):
    import velmor

    return velmor.analyze(path).segments


def velmor_true_labels(path, segments):
    import velmor

    return velmor.analyze(path, n_labels=_reference_counts(segments)[1]).segments


def velmor_true_boundaries(path, segments):
    import velmor
    from velmor.api import label_structure

    s = velmor.analyze(path, return_ssm=True)
    inner = np.array([start for start, _, _ in segments[1:]])
    labels = label_structure(s.ssm, s.times, inner)
    edges = [0.0, *inner, s.duration]
    return list(zip(edges, edges[1:], labels))


def _unit(x):
    n = np.linalg.norm(x, axis=0, keepdims=True)
    return np.divide(x, n, out=np.zeros_like(x), where=n > 0)


def librosa_agglomerative(path, segments):
    import librosa
    from sklearn.cluster import AgglomerativeClustering

    n_segments, n_labels = _reference_counts(segments)
    y, sr = librosa.load(path, sr=22050, mono=True)
    mfcc = librosa.feature.mfcc(y=y, sr=sr, n_mfcc=20)[1:]
    mfcc = (mfcc - mfcc.mean(axis=1, keepdims=True)) / (mfcc.std(axis=1, keepdims=True) + 1e-9)
    cens = librosa.feature.chroma_cens(y=y, sr=sr, hop_length=512)
    n = min(mfcc.shape[1], cens.shape[1])
    X = np.vstack([_unit(mfcc[:, :n]), _unit(cens[:, :n])])
    X = librosa.util.sync(X, np.arange(0, n, POOL), aggregate=np.mean)
    starts = librosa.segment.agglomerative(X, min(n_segments, X.shape[1]))
    edges = np.concatenate([starts, [X.shape[1]]])
    means = np.stack([X[:, a:b].mean(axis=1) for a, b in zip(edges[:-1], edges[1:])])
    k = min(n_labels, len(means))
    groups = np.zeros(len(means), dtype=int) if k < 2 else AgglomerativeClustering(n_clusters=k).fit_predict(means)
    seconds = librosa.frames_to_time(edges * POOL, sr=sr, hop_length=512)
    seconds[-1] = len(y) / sr
    return [(float(a), float(b), f"L{g}") for a, b, g in zip(seconds[:-1], seconds[1:], groups)]


ROWS = [
    ("velmor.analyze", velmor_auto),
    ("velmor.analyze, true number of labels", velmor_true_labels),
    ("velmor labels on the true boundaries", velmor_true_boundaries),
    ("librosa agglomerative, true numbers", librosa_agglomerative),
]
BASELINE = "librosa agglomerative, true numbers"
KEYS = ("pairwise P", "pairwise R", "pairwise F", "NCE over", "NCE under", "NCE F")


def run_piece(args):
    """Every row on one piece: ``{row: {scores...}}`` (or ``{"error": ...}``)."""
    import time
    import warnings

    import velmor

    path, lab = args
    import corpus

    reference = corpus.read_lab(lab)
    out = {}
    for name, fn in ROWS:
        try:
            t0 = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                est = fn(path, reference)
            seconds = time.perf_counter() - t0
            scores = velmor.evaluate(est, lab)
            out[name] = {k: scores[k] for k in KEYS}
            out[name].update(seconds=seconds, labels=[str(lab) for *_, lab in est])
        except Exception as exc:  # a failing row is reported, the others go on
            out[name] = {"error": f"{type(exc).__name__}: {exc}"}
    return out


def table(rows_by_piece):
    """Markdown rows: the mean of every score over the pieces, per label method."""
    lines = ["| labels | pairwise P | pairwise R | **pairwise F** | NCE over | NCE under | NCE F | pieces |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, _ in ROWS:
        got = [r[name] for r in rows_by_piece if name in r and "error" not in r[name]]
        if not got:
            lines.append(f"| {name} | " + " | ".join("—" for _ in KEYS) + " | 0 |")
            continue
        means = [np.nanmean([g[k] for g in got]) for k in KEYS]
        lines.append(f"| {name} | " + " | ".join(f"{m:.3f}" for m in means) + f" | {len(got)} |")
    return "\n".join(lines)
