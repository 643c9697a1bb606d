"""Two novelty curves of one matrix.

The stages of :mod:`velmor.analysis`, one at a time: MFCC and CENS features at about 5 frames
per second, their fused cosine self-similarity, then the checkerboard novelty (where one block
of the matrix gives way to another) and the structure novelty (where the pattern of repetitions
changes). The dashed lines are the piece's true boundaries.
"""

import matplotlib.pyplot as plt
import numpy as np

from velmor import analysis
from velmor.demo import synthesise

signal, sections = synthesise()
frames = analysis.feature_frames(signal, 22050, ("mfcc", "cens"), pool=2, hop_length=2048)
ssm = analysis.fuse([analysis.self_similarity(frames.features[f]) for f in ("mfcc", "cens")])
kernel = 16 * frames.rate  # sixteen seconds, in frames
curves = {
    "checkerboard": analysis.checkerboard_novelty(ssm, kernel),
    "structure": analysis.structure_novelty(ssm, kernel),
}
times = frames.boundary_times(np.arange(frames.n_frames))

fig, axes = plt.subplots(len(curves), 1, figsize=(7, 4.5), sharex=True)
for ax, (name, curve) in zip(axes, curves.items()):
    ax.plot(times, curve, color="0.2", lw=1.1)
    peaks = analysis.select_peaks(curve, frames.rate, spacing=10.0, margin=4.0)
    ax.plot(times[peaks], curve[peaks], "o", mfc="none", mec="#17becf", mew=1.5)
    for start, _, _ in sections[1:]:
        ax.axvline(start, color="#2ca02c", ls="--", lw=1.1)
    ax.set_ylabel(f"{name}\nnovelty")
axes[-1].set_xlabel("time (s)")
fig.savefig("novelty_roads.png", dpi=80, bbox_inches="tight")
