"""Labelled sections in one call.

The demo piece (eighty seconds in five sections, A B A C D, synthesised with a fixed seed) goes
through :func:`velmor.analyze`; the figure shows its self-similarity matrix, the labels found
against the true ones, and the novelty curve with the detected (solid) and true (dashed)
boundaries.
"""

import matplotlib.pyplot as plt

import velmor
from velmor.demo import synthesise

signal, sections = synthesise()  # float64 samples at 22050 Hz, and the true (start, end, label)s
s = velmor.analyze(signal, sr=22050, return_ssm=True)
for start, end, label in s.segments:
    print(f"{start:6.2f} {end:6.2f}  {label}")

fig, ax = plt.subplots(figsize=(7, 8.5))
s.plot(ax, reference=sections, title="the demo piece: found against true sections")
fig.savefig("analyze_demo.png", dpi=80, bbox_inches="tight")
