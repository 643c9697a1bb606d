"""The evaluation corpus: pieces composed from seeded descriptions and rendered with FluidSynth.

Every piece is made in three steps, each a plain function:

1. ``describe(group, index)`` draws the piece's description from a seed that depends only on the
   group and the index: form, section lengths, tempo and drift, key, and for every section label
   its harmony (key, mode, progression, harmonic rhythm), instrumentation (General MIDI programs
   of lead, comping, bass and an optional pad), texture (comping, bass and drum patterns, melody
   density, swing) and dynamics. The first label of the form draws a base; every later label is
   the base changed in the way its group allows:

   - (a) harmony or key only: another progression, a modulation, the relative mode, another
     harmonic rhythm; same instruments, patterns and dynamics;
   - (b) instrumentation only: one or two roles change instrument, or the pad comes or goes;
     same chords (one progression for the whole piece), melody, patterns and dynamics;
   - (c) rhythm, texture or dynamics only: comping, bass or drum pattern, melody density, swing,
     lead resting, dynamics; same chords and instruments;
   - (d) several at once: one change from each of two or three of the kinds above.

2. ``compose(desc)`` turns it into timed note events (seconds) and the reference sections:
   eight-slot phrases (a four-chord progression, then its first two chords and a cadence), chord
   voicings with voice leading, a melody derived from the chords (a four-bar motif; chord tones on
   strong beats, scale steps between; the answering phrase varied), bass and comping patterns
   (some sections settle on the last bar of each phrase), drums on channel 10 with fills at some
   section ends and crashes at some section starts and also inside sections, a small swell over
   each four-bar phrase, humanised timing and velocity, and in half the pieces a slow tempo drift.
   A returning section is varied slightly (some melody notes change); sections follow each other
   without gaps, and the melody may start with a pickup before the downbeat.

3. ``render`` writes a standard MIDI file (a small writer of our own), renders it with FluidSynth
   and the General MIDI sound bank, mixes it to mono, resamples it to 22050 Hz with soxr and
   normalises the peak. The ``.lab`` reference (``start end label``) is written beside the ``.wav``.

Split rule: within each group the pieces are numbered 0..n-1; even numbers are the *tuning* half
and odd numbers the *held-out* half, so every group is in both halves. Tempo drift is on for
pieces whose number is 0 or 1 modulo 4, so each half of each group has pieces with and without it.

Regenerating is idempotent: a piece whose ``.json`` records the same description hash (which also
covers the generator version and the sound bank) is not rendered again.
"""

import argparse
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor

import numpy as np

GENERATOR_VERSION = 4
BASE_SEED = 20240613
GROUPS = "abcd"
GROUP_NAMES = {
    "a": "harmony or key only",
    "b": "instrumentation only",
    "c": "rhythm, texture or dynamics only",
    "d": "several at once",
}
PIECES_PER_GROUP = 8
FS = 22050
SOUND_BANK = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
DEFAULT_CACHE = os.path.join(os.path.expanduser("~"), ".cache", "velmor-bench", "quality")


def half_of(index):
    """The fixed split: even piece numbers within a group tune, odd ones are held out."""
    return "tuning" if index % 2 == 0 else "heldout"


def piece_name(group, index):
    return f"{group}{index:02d}"


# ---------------------------------------------------------------- musical material

SCALES = {"major": [0, 2, 4, 5, 7, 9, 11], "minor": [0, 2, 3, 5, 7, 8, 10]}

# Progressions as scale degrees (0 = tonic), one chord per slot.
PROGRESSIONS = {
    "major": [[0, 4, 5, 3], [0, 5, 3, 4], [5, 3, 0, 4], [0, 3, 4, 3], [1, 4, 0, 5], [0, 2, 3, 4],
              [3, 0, 4, 5], [0, 4, 3, 0], [5, 1, 4, 0], [0, 3, 5, 4], [3, 4, 2, 5], [1, 3, 4, 4],
              [0, 0, 3, 4], [0, 5, 1, 4], [0, 3, 0, 4], [5, 2, 3, 0]],
    "minor": [[0, 5, 2, 6], [0, 3, 4, 0], [0, 6, 5, 6], [0, 3, 6, 2], [5, 6, 0, 0], [0, 4, 5, 3],
              [0, 2, 6, 5], [3, 4, 0, 0], [0, 5, 3, 4], [0, 6, 3, 4], [5, 3, 0, 4], [3, 0, 5, 4]],
}
# The second half of an eight-slot phrase: the progression's first two chords, then one of these.
CADENCES = {"major": [[3, 4], [4, 0], [1, 4], [3, 0], [5, 4], [4, 4]],
            "minor": [[3, 4], [4, 0], [6, 0], [5, 4], [3, 6], [6, 4]]}

FORMS = {
    "ABA": "A B A",
    "AABA": "A A B A",
    "ABAB": "A B A B",
    "ABAC": "A B A C",
    "rondo": "A B A C A",
    "rondo7": "A B A C A B A",
    "verse-chorus": "A B A B C B",
    "verse-chorus-intro": "I A B A B C B O",
    "through-with-returns": "A B C A D B",
    "ABCA": "A B C A",
    "AB-CB-A": "A B C B A",
    "ABCBDA": "A B C B D A",
}

# General MIDI programs (0-based) by role.
LEADS = [73, 71, 68, 65, 66, 56, 40, 80, 11, 0, 24, 74, 22, 81, 57, 64]
COMPS = [0, 4, 5, 16, 24, 25, 27, 48, 6, 11, 12, 89, 61, 2, 19, 46]
BASSES = [32, 33, 34, 35, 38, 43, 36, 39]
PADS = [48, 49, 50, 52, 88, 89, 90, 91, 94, 95]

COMP_PATTERNS = ["block", "halves", "quarters", "pop8", "stabs", "offbeat", "arp8", "arp16", "alberti"]
BASS_PATTERNS = ["whole", "roots4", "root5", "eighths", "walking", "syncop"]
DRUM_PATTERNS = ["rock", "rock16", "halftime", "disco", "swing", "bossa", "ride", "sparse", "funk"]
DENSITIES = ["sparse", "medium", "busy"]

# Drum kit (channel 10) note numbers.
KICK, RIM, SNARE, CLAP, HAT, PEDAL, OPEN, TOM_L, TOM_M, TOM_H, CRASH, RIDE, TAMB, SHAKER = \
    36, 37, 38, 39, 42, 44, 46, 45, 47, 50, 49, 51, 54, 70

# Drum patterns: instrument -> (steps of a 16-step bar, velocity).
DRUMS = {
    "rock": {KICK: ([0, 8, 10], 100), SNARE: ([4, 12], 95), HAT: (range(0, 16, 2), 70)},
    "rock16": {KICK: ([0, 6, 8], 100), SNARE: ([4, 12], 95), HAT: (range(16), 55)},
    "halftime": {KICK: ([0, 3, 10], 100), SNARE: ([8], 100), HAT: (range(0, 16, 2), 65)},
    "disco": {KICK: ([0, 4, 8, 12], 100), SNARE: ([4, 12], 85), OPEN: ([2, 6, 10, 14], 70),
              HAT: ([0, 4, 8, 12], 50)},
    "swing": {RIDE: ([0, 4, 6, 8, 12, 14], 75), PEDAL: ([4, 12], 60), KICK: ([0, 8], 55)},
    "bossa": {KICK: ([0, 3, 4, 7, 8, 11, 12, 15], 75), RIM: ([0, 3, 6, 10, 12], 80),
              HAT: (range(0, 16, 2), 55)},
    "ride": {RIDE: (range(0, 16, 2), 70), KICK: ([0, 8], 90), SNARE: ([12], 80)},
    "sparse": {KICK: ([0], 85), RIM: ([12], 70), HAT: ([0, 4, 8, 12], 55)},
    "funk": {KICK: ([0, 3, 10], 100), SNARE: ([4, 12], 95), HAT: (range(16), 50),
             TAMB: ([4, 12], 45)},
}
DRUM_GHOSTS = {"funk": {SNARE: ([7, 9, 15], 40)}}

# Melody rhythms, one bar each: (onset beat, length in beats).
MELODY_RHYTHMS = {
    "sparse": [[(0, 2), (2, 2)], [(0, 3), (3, 1)], [(0, 4)], [(0, 1.5), (1.5, 2.5)], [(0, 2), (2, 1), (3, 1)]],
    "medium": [[(0, 1), (1, 1), (2, 1.5), (3.5, 0.5)], [(0, 1.5), (1.5, 0.5), (2, 2)],
               [(0, 0.5), (0.5, 0.5), (1, 1), (2, 2)], [(0, 1), (1, 0.5), (1.5, 1.5), (3, 1)],
               [(0, 1), (1, 1), (2, 1), (3, 1)]],
    "busy": [[(0, .5), (.5, .5), (1, .5), (1.5, .5), (2, 1), (3, .5), (3.5, .5)],
             [(0, .25), (.25, .25), (.5, .5), (1, .5), (1.5, .5), (2, .5), (2.5, .5), (3, 1)],
             [(0, .5), (.5, .5), (1, 1), (2, .5), (2.5, .5), (3, .5), (3.5, .5)],
             [(0, .75), (.75, .25), (1, .5), (1.5, .5), (2, .75), (2.75, .25), (3, 1)]],
}


# ---------------------------------------------------------------- descriptions

def _rng(*parts):
    digest = hashlib.sha256(repr((BASE_SEED,) + parts).encode()).digest()
    return np.random.default_rng(int.from_bytes(digest[:8], "little"))


def _choice(rng, seq, exclude=()):
    options = [x for x in seq if x not in exclude]
    return options[int(rng.integers(len(options)))]


def _base_section(rng, mode):
    return {
        "key_shift": 0,
        "mode": mode,
        "progression": list(_choice(rng, PROGRESSIONS[mode])),
        "cadence": list(_choice(rng, CADENCES[mode])),
        "chords_per_bar": 1 if rng.random() < 0.75 else 2,
        "lead": _choice(rng, LEADS),
        "comp": _choice(rng, COMPS),
        "bass": _choice(rng, BASSES),
        "pad": _choice(rng, PADS) if rng.random() < 0.4 else None,
        "comp_pattern": _choice(rng, COMP_PATTERNS),
        "bass_pattern": _choice(rng, BASS_PATTERNS),
        "drum_pattern": _choice(rng, DRUM_PATTERNS),
        "melody": _choice(rng, DENSITIES),
        "lead_on": True,
        "swing": 0.0,
        "dynamics": 1.0,
        "melody_seed": int(rng.integers(1 << 30)),
    }


def _change_harmony(rng, s, base):
    kind = _choice(rng, ["progression", "progression", "key", "key", "relative", "rhythm"])
    if kind == "progression":
        s["progression"] = list(_choice(rng, PROGRESSIONS[s["mode"]], exclude=[s["progression"]]))
    elif kind == "key":
        s["key_shift"] = int(_choice(rng, [5, 7, -5, 2, -2, 3, -3, 1]))
        if rng.random() < 0.5:
            s["progression"] = list(_choice(rng, PROGRESSIONS[s["mode"]], exclude=[s["progression"]]))
    elif kind == "relative":  # the same scale, another centre: the subtlest change of key
        if s["mode"] == "major":
            s["mode"], s["key_shift"] = "minor", s["key_shift"] - 3
        else:
            s["mode"], s["key_shift"] = "major", s["key_shift"] + 3
        s["progression"] = list(_choice(rng, PROGRESSIONS[s["mode"]]))
    else:
        s["chords_per_bar"] = 3 - s["chords_per_bar"]
        s["progression"] = list(_choice(rng, PROGRESSIONS[s["mode"]], exclude=[s["progression"]]))
    s["cadence"] = list(_choice(rng, CADENCES[s["mode"]]))
    s["melody_seed"] = int(rng.integers(1 << 30))


def _change_instruments(rng, s, base):
    roles = ["lead", "comp", "bass", "pad"]
    for role in rng.permutation(roles)[: 1 + int(rng.random() < 0.4)]:
        if role == "pad":
            s["pad"] = None if s["pad"] is not None and rng.random() < 0.5 else _choice(rng, PADS, [s["pad"]])
        else:
            pool = {"lead": LEADS, "comp": COMPS, "bass": BASSES}[role]
            s[role] = _choice(rng, pool, exclude=[s[role]])


def _change_texture(rng, s, base):
    kinds = ["comp_pattern", "bass_pattern", "drum_pattern", "melody", "swing", "lead_on", "dynamics"]
    for kind in rng.permutation(kinds)[: 1 + int(rng.integers(3))]:
        if kind == "comp_pattern":
            s[kind] = _choice(rng, COMP_PATTERNS, [s[kind]])
        elif kind == "bass_pattern":
            s[kind] = _choice(rng, BASS_PATTERNS, [s[kind]])
        elif kind == "drum_pattern":
            s[kind] = _choice(rng, DRUM_PATTERNS, [s[kind]])
        elif kind == "melody":
            s[kind] = _choice(rng, DENSITIES, [s[kind]])
        elif kind == "swing":
            s[kind] = 0.0 if s[kind] else 0.14
        elif kind == "lead_on":
            s[kind] = not s[kind] if base["lead_on"] else True
        else:
            s[kind] = float(np.round(_choice(rng, [0.62, 0.72, 1.2, 1.3]) * (1.0 if s[kind] == 1.0 else 0.85), 2))


CHANGES = {"harmony": _change_harmony, "instruments": _change_instruments, "texture": _change_texture}
GROUP_CHANGES = {"a": ["harmony"], "b": ["instruments"], "c": ["texture"]}


def describe(group, index):
    """The description of piece ``index`` of ``group``: a JSON-ready dict, a function of both only."""
    if group not in GROUPS:
        raise ValueError(f"unknown group {group!r}")
    rng = _rng(group, index)
    form_name = _choice(rng, sorted(FORMS))
    form = FORMS[form_name].split()
    mode = "major" if rng.random() < 0.6 else "minor"
    bpm = float(np.round(rng.uniform(78, 138), 1))
    labels = list(dict.fromkeys(form))
    bars = {lab: int(_choice(rng, [8, 8, 8, 8, 12, 16, 16, 4])) for lab in labels}
    for lab in ("I", "O"):
        if lab in bars:
            bars[lab] = int(_choice(rng, [4, 4, 8]))
    # Fit the length to 1-4 minutes (60-230 s at the nominal tempo).
    for _ in range(8):
        seconds = sum(bars[lab] for lab in form) * 4 * 60.0 / bpm
        if seconds > 230:
            longest = max(bars, key=bars.get)
            bars[longest] = max(4, bars[longest] // 2)
        elif seconds < 70:
            shortest = min(bars, key=bars.get)
            bars[shortest] *= 2
        else:
            break
    drift = None
    if index % 4 in (0, 1):
        drift = {"depth": float(np.round(rng.uniform(0.025, 0.06), 3)),
                 "period_beats": float(np.round(rng.uniform(48, 160), 1)),
                 "phase": float(np.round(rng.uniform(0, 2 * np.pi), 3)),
                 "ramp": float(np.round(rng.uniform(-0.06, 0.06), 3))}
    base = _base_section(rng, mode)
    if group in "bc":  # one chord loop for the whole piece
        base["chords_per_bar"] = 1
    sections = {labels[0]: base}
    for lab in labels[1:]:
        s = dict(base, progression=list(base["progression"]))
        kinds = GROUP_CHANGES.get(group) or list(rng.permutation(list(CHANGES))[: 2 + int(rng.random() < 0.3)])
        for kind in kinds:
            CHANGES[kind](rng, s, base)
        if s == base:  # a drawn change that undid itself: change again
            CHANGES[kinds[0]](rng, s, base)
        sections[lab] = s
    programs = {p for s in sections.values() for p in (s["lead"], s["comp"], s["bass"], s["pad"]) if p is not None}
    if len(programs) > 15:
        raise AssertionError("more instruments than MIDI channels")  # cannot happen with <= 6 labels
    return {
        "name": piece_name(group, index),
        "group": group,
        "index": index,
        "half": half_of(index),
        "form_name": form_name,
        "form": form,
        "bars": bars,
        "bpm": bpm,
        "drift": drift,
        "tonic": int(rng.integers(12)),
        "sections": sections,
        "fill_probability": 0.5,
        "crash_probability": 0.35,
        "seed": int(rng.integers(1 << 30)),
    }


def description_hash(desc):
    bank = os.path.getsize(SOUND_BANK) if os.path.exists(SOUND_BANK) else None
    blob = json.dumps({"desc": desc, "version": GENERATOR_VERSION, "fs": FS, "bank": bank}, sort_keys=True)
    return hashlib.sha256(blob.encode()).hexdigest()[:16]


# ---------------------------------------------------------------- composition

class TimeMap:
    """Beats to seconds: a nominal tempo with an optional slow drift, and swing of off-beat eighths."""

    def __init__(self, bpm, drift, total_beats):
        grid = np.arange(0.0, total_beats + 8.0, 1.0 / 96)
        tempo = np.full_like(grid, bpm)
        if drift:
            tempo = bpm * (1 + drift["depth"] * np.sin(2 * np.pi * grid / drift["period_beats"] + drift["phase"]))
            tempo *= 1 + drift["ramp"] * grid / total_beats
        spb = 60.0 / tempo
        self.grid = grid
        self.seconds = np.concatenate([[0.0], np.cumsum((spb[1:] + spb[:-1]) / 2 * np.diff(grid))])

    def __call__(self, beat, swing=0.0):
        beat = np.asarray(beat, dtype=float)
        if swing:
            whole = np.floor(beat)
            f = beat - whole
            f = np.where(f < 0.5, f * (0.5 + swing) / 0.5, 0.5 + swing + (f - 0.5) * (0.5 - swing) / 0.5)
            beat = whole + f
        return np.interp(beat, self.grid, self.seconds)


def _chords(section, tonic, bars):
    """(root pitch class, pitch classes, scale pitch classes) for every half bar of a section."""
    key = (tonic + section["key_shift"]) % 12
    scale = [(key + d) % 12 for d in SCALES[section["mode"]]]
    prog = section["progression"]
    phrase = prog + prog[:2] + section["cadence"]
    per_bar = section["chords_per_bar"]
    out = []
    for slot in range(bars * per_bar):
        degree = phrase[slot % len(phrase)]
        pcs = [scale[(degree + k) % 7] for k in (0, 2, 4)]
        if section["mode"] == "minor" and degree == 4 and slot % 2 == 1:  # dominant with a leading tone
            pcs[1] = (pcs[0] + 4) % 12
        chord = (pcs[0], pcs, scale)
        out.extend([chord] * (2 // per_bar))
    return out  # two entries per bar


def _voicing(pcs, previous, low=52, high=72):
    best, best_cost = None, None
    for bass_pc in pcs:
        start = low + (bass_pc - low) % 12
        notes = [start]
        for pc in pcs[pcs.index(bass_pc) + 1:] + pcs[: pcs.index(bass_pc)]:
            n = notes[-1] + 1 + (pc - notes[-1] - 1) % 12
            notes.append(n)
        if notes[-1] > high + 3:
            continue
        cost = 0.0 if previous is None else float(np.abs(np.mean(notes) - np.mean(previous)))
        if best is None or cost < best_cost:
            best, best_cost = notes, cost
    return best


def _nearest(pitch, pcs, low, high, rng, spread=2):
    candidates = [n for n in range(low, high + 1) if n % 12 in pcs]
    candidates.sort(key=lambda n: abs(n - pitch))
    return candidates[min(len(candidates) - 1, int(rng.integers(spread)))]


def _melody(section, chords, bars, seed, variation, lo=62, hi=82):
    """(onset beat, length, pitch, velocity) of a melody over the chords, from a 2-bar motif."""
    rng = np.random.default_rng(seed)
    rhythms = MELODY_RHYTHMS[section["melody"]]
    motif = [rhythms[int(rng.integers(len(rhythms)))] for _ in range(4)]
    contour = rng.choice([-1, 1], size=8)
    vary = np.random.default_rng(seed + 7919 * (variation + 1))
    notes = []
    pitch = int(rng.integers(lo + 4, hi - 4))
    for bar in range(bars):
        rhythm = motif[bar % 4]
        if bar % 4 == 3 and rng.random() < 0.6:  # phrase end: a long note
            rhythm = [(0, 2), (2, 1.5)]
        answer = (bar // 4) % 2 == 1  # the answering phrase varies the first
        for onset, length in rhythm:
            beat = bar * 4 + onset
            root, pcs, scale = chords[min(len(chords) - 1, int(beat // 2))]
            strong = onset in (0, 2)
            if strong:
                pitch = _nearest(pitch + int(contour[bar % 8]) * 2, pcs, lo, hi, rng)
            else:
                step = int(contour[(bar + int(onset * 2)) % 8]) * int(rng.integers(1, 3))
                pitch = _nearest(pitch + step, scale, lo, hi, rng)
            if (variation and vary.random() < 0.15) or (answer and rng.random() < 0.25):
                pitch = _nearest(pitch + int(vary.choice([-3, 3])), scale, lo, hi, vary, 1)
            vel = 88 + (8 if onset == 0 else 0) - (10 if not strong else 0)
            notes.append((beat, length * 0.95, pitch, vel))
    return notes


def _comp(section, chords, bars, rng):
    notes, previous = [], None
    breaks = rng.random() < 0.5  # this section's comping settles on the last bar of each phrase
    for bar in range(bars):
        pattern = section["comp_pattern"]
        if breaks and bar % 8 == 7:
            pattern = "halves" if pattern != "halves" else "block"
        for half in range(2):
            _, pcs, _ = chords[2 * bar + half]
            voice = _voicing(pcs, previous)
            previous = voice
            b0 = bar * 4 + half * 2
            if pattern == "block":
                if half == 0 or chords[2 * bar] != chords[2 * bar + 1]:
                    length = 4 if chords[2 * bar] == chords[2 * bar + 1] else 2
                    notes += [(b0, length * 0.98, n, 62) for n in voice]
            elif pattern == "halves":
                notes += [(b0, 1.9, n, 64) for n in voice]
            elif pattern == "quarters":
                notes += [(b0 + k, 0.8, n, 66 - 6 * (k % 2)) for k in range(2) for n in voice]
            elif pattern == "pop8":
                notes += [(b0 + k / 2, 0.42, n, 70 - 12 * (k % 2)) for k in range(4) for n in voice]
            elif pattern == "stabs":
                hits = [0, 1.5] if half == 0 else [1.0]
                notes += [(b0 + h, 0.35, n, 76) for h in hits for n in voice]
            elif pattern == "offbeat":
                notes += [(b0 + 1, 0.4, n, 70) for n in voice]
            elif pattern in ("arp8", "arp16", "alberti"):
                up = voice + [voice[0] + 12]
                if pattern == "alberti":
                    seq, step = [voice[0], voice[2], voice[1], voice[2]], 0.5
                elif pattern == "arp8":
                    seq, step = up + up[-2:0:-1], 0.5
                else:
                    seq, step = up + up[-2:0:-1], 0.25
                count = int(round(2 / step))
                notes += [(b0 + k * step, step * 1.6, seq[k % len(seq)], 64 - 8 * (k % 2)) for k in range(count)]
    return notes


def _bass(section, chords, bars, next_root):
    notes = []
    pattern = section["bass_pattern"]

    def low(pc):
        return 36 + (pc - 36) % 12

    for bar in range(bars):
        root = low(chords[2 * bar][0])
        root2 = low(chords[2 * bar + 1][0])
        fifth = low(chords[2 * bar][1][2])
        if pattern == "whole":
            notes += [(bar * 4, 1.95, root, 90), (bar * 4 + 2, 1.95, root2, 80)]
        elif pattern == "roots4":
            notes += [(bar * 4 + k, 0.9, root if k < 2 else root2, 88 - 6 * (k % 2)) for k in range(4)]
        elif pattern == "root5":
            notes += [(bar * 4, 1.4, root, 92), (bar * 4 + 1.5, 0.45, root, 70), (bar * 4 + 2, 0.9, fifth, 82),
                      (bar * 4 + 3, 0.9, root2, 80)]
        elif pattern == "eighths":
            notes += [(bar * 4 + k / 2, 0.42, root if k < 4 else root2, 86 - 10 * (k % 2)) for k in range(8)]
        elif pattern == "walking":
            third = low(chords[2 * bar][1][1])
            target = low(next_root if bar == bars - 1 else chords[2 * bar + 2][0])
            approach = target - 1 if target > fifth else target + 1
            notes += [(bar * 4 + k, 0.9, p, 84) for k, p in enumerate([root, third, fifth, approach])]
        else:  # syncop
            notes += [(bar * 4, 1.4, root, 92), (bar * 4 + 1.5, 0.45, root, 72), (bar * 4 + 2, 0.9, root2 + 12, 78),
                      (bar * 4 + 3.5, 0.45, root2, 74)]
    return notes


def _drums(section, bars, fill, rng):
    notes = []
    pattern = DRUMS[section["drum_pattern"]]
    ghosts = DRUM_GHOSTS.get(section["drum_pattern"], {})
    for bar in range(bars):
        last = bar == bars - 1 and fill
        for inst, (steps, vel) in list(pattern.items()) + list(ghosts.items()):
            for step in steps:
                if last and step >= 8 and inst not in (KICK,):
                    continue
                accent = 8 if step % 4 == 0 else 0
                notes.append((bar * 4 + step / 4, 0.2, inst, vel + accent))
        if bar % 4 == 3 and not last and section["drum_pattern"] not in ("swing", "ride"):
            notes.append((bar * 4 + 3.5, 0.3, OPEN, 72))
        if bar % 8 == 0 and bar > 0 and rng.random() < 0.3:  # a crash that is not a boundary
            notes.append((bar * 4, 0.5, CRASH, 88))
        if last:  # a fill over the second half of the last bar
            kind = int(rng.integers(3))
            toms = [TOM_H, TOM_H, TOM_M, TOM_M, TOM_L, TOM_L, SNARE, SNARE] if kind == 0 else \
                [SNARE] * 8 if kind == 1 else [SNARE, TOM_H, SNARE, TOM_M, SNARE, TOM_L, KICK, SNARE]
            notes += [(bar * 4 + 2 + k / 4, 0.2, p, 70 + 3 * k) for k, p in enumerate(toms)]
    return notes


def compose(desc):
    """Note events and reference sections of a description.

    Returns ``(notes, sections, programs)``: notes are ``(start s, end s, channel, pitch, velocity)``,
    sections ``(start s, end s, label)`` with the last end at the last downbeat, and ``programs`` maps
    a MIDI channel to its General MIDI program.
    """
    rng = np.random.default_rng(desc["seed"])
    form, bars, secs = desc["form"], desc["bars"], desc["sections"]
    total_beats = 4 * sum(bars[lab] for lab in form) + 4
    tmap = TimeMap(desc["bpm"], desc["drift"], total_beats)
    programs = sorted({p for s in secs.values() for p in (s["lead"], s["comp"], s["bass"], s["pad"]) if p is not None})
    channel_of = {}
    free = [c for c in range(16) if c != 9]
    for p in programs:
        channel_of[p] = free.pop(0)
    notes, sections = [], []
    beat0 = 0
    seen = {}
    for pos, lab in enumerate(form):
        s = secs[lab]
        n_bars = bars[lab]
        chords = _chords(s, desc["tonic"], n_bars)
        nxt = form[pos + 1] if pos + 1 < len(form) else None
        next_root = _chords(secs[nxt], desc["tonic"], 1)[0][0] if nxt else chords[0][0]
        variation = seen.get(lab, 0)
        seen[lab] = variation + 1
        fill = nxt is not None and rng.random() < desc["fill_probability"]
        dyn, swing = s["dynamics"], s["swing"]
        parts = []
        if s["lead_on"]:
            mel = _melody(s, chords, n_bars, s["melody_seed"], variation)
            if pos > 0 and rng.random() < 0.3:  # a pickup into the section
                first = mel[0][2] if mel else 72
                mel = [(-1.0, 0.45, first - 2, 76), (-0.5, 0.45, first - 1, 80)] + mel
            parts.append(("lead", s["lead"], mel, 0.012))
        parts.append(("comp", s["comp"], _comp(s, chords, n_bars, rng), 0.010))
        parts.append(("bass", s["bass"], _bass(s, chords, n_bars, next_root), 0.008))
        if s["pad"] is not None:
            pad = []
            for bar in range(n_bars):
                _, pcs, _ = chords[2 * bar]
                pad += [(bar * 4, 3.98, n + 12, 52) for n in _voicing(pcs, None, 48, 64)]
            parts.append(("pad", s["pad"], pad, 0.0))
        drums = _drums(s, n_bars, fill, rng)
        if pos > 0 and rng.random() < desc["crash_probability"]:
            drums.append((0.0, 0.5, CRASH, 96))
        parts.append(("drums", None, drums, 0.006))
        for role, program, part, jitter in parts:
            channel = 9 if role == "drums" else channel_of[program]
            for beat, length, pitch, vel in part:
                b = beat0 + beat
                start = float(tmap(b, swing)) + (rng.normal(0, jitter) if jitter else 0.0)
                end = float(tmap(b + length, swing))
                swell = 0.92 + 0.16 * ((beat % 16) / 16)  # each four-bar phrase grows a little
                v = int(np.clip(round(vel * dyn * swell + rng.normal(0, 8)), 20, 127))
                notes.append((max(0.0, start), max(end, start + 0.03), channel, int(pitch), v))
        t0 = float(tmap(beat0))
        beat0 += 4 * n_bars
        sections.append((t0, float(tmap(beat0)), lab))
    # A closing tonic chord on the last downbeat, inside the last section.
    last = secs[form[-1]]
    key = (desc["tonic"] + last["key_shift"]) % 12
    end_t = float(tmap(beat0 + 3))
    for n in _voicing([key, (key + (4 if last["mode"] == "major" else 3)) % 12, (key + 7) % 12], None):
        notes.append((float(tmap(beat0)), end_t, channel_of[last["comp"]], n, 70))
    notes.append((float(tmap(beat0)), end_t, channel_of[last["bass"]], 36 + (key - 36) % 12, 85))
    notes.append((float(tmap(beat0)), end_t, 9, CRASH, 90))
    sections[-1] = (sections[-1][0], end_t, sections[-1][2])
    return notes, sections, {channel_of[p]: p for p in programs}


# ---------------------------------------------------------------- MIDI and rendering

def _vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    return bytes(reversed(out))


def write_midi(path, notes, programs):
    """A format-0 standard MIDI file; 1000 ticks per quarter at 60 bpm, so one tick is 1 ms."""
    notes = sorted(notes)
    # A note-off must not cut a later note of the same pitch on the same channel.
    last_start = {}
    trimmed = []
    for start, end, ch, pitch, vel in reversed(notes):
        key = (ch, pitch)
        if key in last_start:
            end = min(end, last_start[key] - 0.002)
        last_start[key] = start
        if end > start + 0.005:
            trimmed.append((start, end, ch, pitch, vel))
    events = [(0, 0, bytes([0xFF, 0x51, 3]) + (1_000_000).to_bytes(3, "big"))]
    for ch, program in programs.items():
        events += [(0, 1, bytes([0xC0 | ch, program])), (0, 1, bytes([0xB0 | ch, 7, 100])),
                   (0, 1, bytes([0xB0 | ch, 91, 40])), (0, 1, bytes([0xB0 | ch, 93, 0]))]
    events += [(0, 1, bytes([0xB0 | 9, 7, 100])), (0, 1, bytes([0xB0 | 9, 91, 30]))]
    for start, end, ch, pitch, vel in trimmed:
        events.append((int(round(start * 1000)), 3, bytes([0x90 | ch, pitch, vel])))
        events.append((int(round(end * 1000)), 2, bytes([0x80 | ch, pitch, 0])))
    events.sort(key=lambda e: (e[0], e[1]))
    data, now = bytearray(), 0
    for tick, _, msg in events:
        data += _vlq(tick - now) + msg
        now = tick
    data += _vlq(1000) + bytes([0xFF, 0x2F, 0])
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 1000))
        f.write(b"MTrk" + struct.pack(">I", len(data)) + bytes(data))


def render(midi_path, wav_path, sound_bank=SOUND_BANK):
    """FluidSynth at 44.1 kHz, mixed to mono, resampled to 22050 Hz, peak at -1 dBFS, 16-bit WAV."""
    import soundfile as sf
    import soxr

    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "raw.wav")
        subprocess.run(["fluidsynth", "-ni", "-q", "-g", "0.4", "-r", "44100", "-O", "float", "-T", "wav",
                        "-F", raw, sound_bank, midi_path], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        x, rate = sf.read(raw, dtype="float64", always_2d=True)
    x = soxr.resample(x.mean(axis=1), rate, FS, quality="HQ")
    # Trim the silent tail to two seconds after the music falls under -60 dB.
    loud = np.flatnonzero(np.abs(x) > 1e-3 * np.abs(x).max())
    x = x[: min(len(x), loud[-1] + 2 * FS)]
    x *= 0.89 / np.abs(x).max()
    sf.write(wav_path, x, FS, subtype="PCM_16")
    return len(x) / FS


def write_lab(path, sections):
    with open(path, "w", encoding="utf-8") as f:
        for start, end, label in sections:
            f.write(f"{start:.3f}\t{end:.3f}\t{label}\n")


def read_lab(path):
    """``[(start, end, label)]`` of a .lab file (blank lines and ``#`` comments skipped)."""
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if fields:
                out.append((float(fields[0]), float(fields[1]), fields[2] if len(fields) > 2 else ""))
    return out


def build_piece(args):
    """Compose and render one piece into ``out_dir`` unless it is already there with the same hash."""
    group, index, out_dir = args
    desc = describe(group, index)
    digest = description_hash(desc)
    name = desc["name"]
    meta_path = os.path.join(out_dir, name + ".json")
    wav, lab = os.path.join(out_dir, name + ".wav"), os.path.join(out_dir, name + ".lab")
    if os.path.exists(meta_path) and os.path.exists(wav) and os.path.exists(lab):
        with open(meta_path, encoding="utf-8") as f:
            meta = json.load(f)
        if meta.get("hash") == digest:
            return meta, False
    notes, sections, programs = compose(desc)
    midi = os.path.join(out_dir, name + ".mid")
    write_midi(midi, notes, programs)
    duration = render(midi, wav)
    sections[-1] = (sections[-1][0], max(sections[-1][1], duration), sections[-1][2])
    write_lab(lab, sections)
    meta = {"name": name, "group": group, "index": index, "half": desc["half"], "hash": digest,
            "duration": duration, "form": desc["form"], "form_name": desc["form_name"], "bpm": desc["bpm"],
            "drift": desc["drift"] is not None, "boundaries": [s[0] for s in sections[1:]],
            "wav": name + ".wav", "lab": name + ".lab", "description": desc}
    with open(meta_path, "w", encoding="utf-8") as f:
        json.dump(meta, f, indent=1)
    return meta, True


def build_corpus(cache=DEFAULT_CACHE, jobs=1, pieces_per_group=PIECES_PER_GROUP, log=sys.stderr):
    """Make (or find) the whole corpus; returns the pieces' metadata, group by group."""
    if shutil.which("fluidsynth") is None or not os.path.exists(SOUND_BANK):
        raise SystemExit("the corpus needs fluidsynth and the General MIDI sound bank: "
                         "apt-get install -y fluidsynth fluid-soundfont-gm")
    out_dir = os.path.join(cache, "corpus")
    os.makedirs(out_dir, exist_ok=True)
    todo = [(g, i, out_dir) for g in GROUPS for i in range(pieces_per_group)]
    if jobs == 1:
        results = [build_piece(t) for t in todo]
    else:
        with ProcessPoolExecutor(max_workers=jobs or None) as pool:
            results = list(pool.map(build_piece, todo))
    made = sum(new for _, new in results)
    print(f"corpus: {len(results)} pieces in {out_dir} ({made} rendered, {len(results) - made} cached), "
          f"{sum(m['duration'] for m, _ in results) / 60:.1f} min of audio", file=log)
    return [m for m, _ in results]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cache", default=os.environ.get("VELMOR_BENCH_CACHE", DEFAULT_CACHE))
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--describe", metavar="NAME", help="print the description of one piece (e.g. a03) and stop")
    args = ap.parse_args(argv)
    if args.describe:
        print(json.dumps(describe(args.describe[0], int(args.describe[1:])), indent=1))
        return 0
    pieces = build_corpus(args.cache, args.jobs)
    for m in pieces:
        print(f"{m['name']}  {m['half']:8s} {m['duration']:6.1f} s  {m['bpm']:5.1f} bpm{' drift' if m['drift'] else '      '}"
              f"  {m['form_name']:22s} {' '.join(m['form'])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
