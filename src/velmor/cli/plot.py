"""A picture of one analysis: the SSM above the novelty curve, on one time axis in seconds."""

import os

from .analysis import need


def plot_analysis(path, analysis, reference=None, title=None):
    """Write a PNG of the SSM, the novelty curve with its peaks, and the boundaries.

    Detected boundaries are solid lines (vertical over the SSM), reference boundaries dashed
    (horizontal over the SSM), so the two meet on its diagonal where they agree. It draws on
    matplotlib's Agg canvas directly: no GUI backend and no global pyplot state are involved.
    """
    need("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    a = analysis
    ff = a.feature_rate
    n = len(a.novelty)
    t = a.novelty_times
    start = float(t[0]) if n else 0.0
    end = start + n / ff
    fig = Figure(figsize=(8, 9), layout="constrained")
    FigureCanvasAgg(fig)
    ax_ssm, ax_nov = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1.2])
    if a.ssm is not None:
        ax_ssm.imshow(a.ssm, cmap="magma", origin="upper", extent=(start, end, end, start),
                      aspect="auto", interpolation="nearest")
    else:  # the banded road keeps no matrix
        ax_ssm.text(0.5, 0.5, "no matrix: banded road", ha="center", va="center", transform=ax_ssm.transAxes)
    ax_ssm.set_ylabel("time (s)")
    ax_ssm.set_title(title or "self-similarity matrix")

    ax_nov.plot(t, a.novelty, color="0.2", lw=1.2, label="novelty")
    if len(a.peak_frames):
        ax_nov.plot(t[a.peak_frames], a.novelty[a.peak_frames], "o", mfc="none", mec="black",
                    ms=7, mew=1.5, zorder=5, label="novelty peaks")
    ax_nov.set_xlabel("time (s)")
    ax_nov.set_ylabel("novelty")
    ax_nov.set_xlim(min(0.0, start), max(end, a.duration))

    for i, b in enumerate(a.boundaries):
        ax_ssm.axvline(b, color="tab:cyan", lw=1.2)
        ax_nov.axvline(b, color="tab:blue", lw=1.5, label="detected" if i == 0 else None)
    for i, b in enumerate(reference if reference is not None else ()):
        ax_ssm.axhline(b, color="white", lw=1.0, ls="--")
        ax_nov.axvline(b, color="tab:red", lw=1.5, ls="--", label="reference" if i == 0 else None)
    ax_nov.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), fontsize="small", ncols=4, frameon=False)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=100)
