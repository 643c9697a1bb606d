"""From audio to scores: a synthetic piece of chord sections, segmented and scored against its sections."""

import numpy as np

from velmor import unit7

FS = 22050
# (duration in seconds, MIDI notes of the chord, amplitude ratio of successive harmonics)
SECTIONS = [(7.0, (60, 64, 67), 0.5), (6.5, (62, 65, 69), 0.8), (8.0, (55, 59, 62, 66), 0.3),
            (6.5, (57, 61, 64), 0.6)]
TAU = 2.0  # seconds


def chord(rng, notes, n, decay):
    t = np.arange(n) / FS
    out = 0.05 * rng.standard_normal(n)
    for midi in notes:
        f0 = 440.0 * 2 ** ((midi - 69) / 12)
        for h, phase in enumerate(rng.uniform(0, 2 * np.pi, 6)):
            out += decay ** h * np.sin(2 * np.pi * f0 * (h + 1) * t + phase)
    return out


def test_sections_are_found(rng):
    snd = np.concatenate([chord(rng, notes, int(dur * FS), decay) for dur, notes, decay in SECTIONS])
    changes = np.cumsum([dur for dur, _, _ in SECTIONS])[:-1]

    ssm, ff = unit7.audio_to_ssm(snd, 41, 10)
    novelty = unit7.diagonal_novelty(ssm, 8)
    est = unit7.find_region_peaks(novelty, 5) / ff
    p, r, f = unit7.calc_prf(est, changes, TAU)

    duration = len(snd) / FS
    chance = [unit7.calc_prf(np.sort(rng.uniform(0, duration, len(est))), changes, TAU)[2]
              for _ in range(200)]
    assert f >= 0.8 and f > np.percentile(chance, 95), (est, changes, (p, r, f))
