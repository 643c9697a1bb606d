"""The compiled functions, step by step.

:mod:`velmor.unit7` alone, on eight seconds of two tones: the CENS self-similarity matrix of
the audio, a thresholded and rescaled copy of it, the checkerboard novelty along its diagonal
and the peak where the pitch changes.
"""

import matplotlib.pyplot as plt
import numpy as np

from velmor import unit7

fs = 22050
t = np.arange(4 * fs) / fs
signal = np.concatenate([np.sin(2 * np.pi * 261.6 * t), np.sin(2 * np.pi * 370.0 * t)])

ssm, ff = unit7.audio_to_ssm(signal, 11, 5)  # CENS filter 11, downsampling 5: ff frames per second
conditioned = unit7.thresh_and_scale(ssm, 0.5)
novelty = unit7.diagonal_novelty(conditioned, 8)
peaks = unit7.find_region_peaks(novelty[4:-4], 9) + 4  # away from the border
print(f"{ssm.shape[0]} frames at {ff:.2f} per second; change at {peaks / ff} s")

fig, (left, middle, right) = plt.subplots(1, 3, figsize=(10, 3.2))
extent = (0, ssm.shape[0] / ff, ssm.shape[0] / ff, 0)
left.imshow(ssm, cmap="magma", extent=extent)
left.set_title("audio_to_ssm")
middle.imshow(conditioned, cmap="magma", extent=extent)
middle.set_title("thresh_and_scale")
times = np.arange(novelty.size) / ff
right.plot(times, novelty, color="0.2")
right.plot(times[peaks], novelty[peaks], "o", mfc="none", mec="#17becf", mew=1.5)
right.set_title("diagonal_novelty, find_region_peaks")
right.set_xlabel("time (s)")
fig.tight_layout()
fig.savefig("unit7_chain.png", dpi=80)
