"""Methods scored against the truth.

Each method of :data:`velmor.analysis.METHODS` named below analyses the demo piece, and
:func:`velmor.evaluate` scores its sections against the true ones: the boundary F-measure
within 0.5 and 3 seconds, and the pairwise F-measure of the labels.
"""

import matplotlib.pyplot as plt
import numpy as np

import velmor
from velmor.demo import synthesise

signal, sections = synthesise()
methods = ("structure", "fused", "classic")
keys = ("calc_prf F@0.5", "calc_prf F@3", "pairwise F")
scores = {m: velmor.evaluate(velmor.analyze(signal, sr=22050, method=m), sections) for m in methods}
for m in methods:
    print(m, {k: round(scores[m][k], 2) for k in keys})

fig, ax = plt.subplots(figsize=(7, 3.2))
x = np.arange(len(keys))
for i, m in enumerate(methods):
    ax.bar(x + (i - 1) * 0.27, [scores[m][k] for k in keys], width=0.25, label=m)
ax.set_xticks(x, ["boundaries, 0.5 s", "boundaries, 3 s", "labels (pairwise)"])
ax.set_ylabel("F-measure")
ax.set_ylim(0, 1.05)
ax.legend(frameon=False, ncols=3, loc="upper center", bbox_to_anchor=(0.5, 1.18))
fig.savefig("methods_scores.png", dpi=80, bbox_inches="tight")
