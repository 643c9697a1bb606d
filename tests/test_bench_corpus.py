"""The quality benchmark's corpus generator: split rule, group constraints, references, MIDI.

Only the parts that need nothing beyond numpy: rendering (FluidSynth) and scoring (mir_eval)
run in the benchmark itself.
"""

import struct
import sys
from pathlib import Path

import numpy as np
import pytest

from velmor.cli.analysis import read_reference

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks" / "quality"))
import corpus  # noqa: E402

HARMONY = {"key_shift", "mode", "progression", "cadence", "chords_per_bar", "melody_seed"}
INSTRUMENTS = {"lead", "comp", "bass", "pad"}
TEXTURE = {"comp_pattern", "bass_pattern", "drum_pattern", "melody", "swing", "lead_on", "dynamics"}
ALLOWED = {"a": HARMONY, "b": INSTRUMENTS, "c": TEXTURE, "d": HARMONY | INSTRUMENTS | TEXTURE}
ALL = [(g, i) for g in corpus.GROUPS for i in range(corpus.PIECES_PER_GROUP)]


def test_split_puts_every_group_in_both_halves_with_and_without_drift():
    seen = {(d["group"], d["half"], d["drift"] is not None) for d in (corpus.describe(g, i) for g, i in ALL)}
    assert seen == {(g, h, drift) for g in corpus.GROUPS for h in ("tuning", "heldout") for drift in (True, False)}


def test_descriptions_are_a_function_of_group_and_index():
    assert corpus.describe("c", 5) == corpus.describe("c", 5)
    assert corpus.description_hash(corpus.describe("c", 5)) != corpus.description_hash(corpus.describe("c", 6))


@pytest.mark.parametrize("group,index", ALL)
def test_sections_differ_only_in_what_their_group_allows(group, index):
    desc = corpus.describe(group, index)
    sections = [desc["sections"][lab] for lab in dict.fromkeys(desc["form"])]
    base = sections[0]
    for s in sections[1:]:
        changed = {k for k in base if s[k] != base[k]}
        assert changed, "a new section label must differ from the first"
        assert changed <= ALLOWED[group], changed - ALLOWED[group]
        if group == "d":
            kinds = [bool(changed & kind) for kind in (HARMONY, INSTRUMENTS, TEXTURE)]
            assert sum(kinds) >= 2, changed


@pytest.mark.parametrize("group,index", [(g, i) for g, i in ALL if i < 2])
def test_composition_has_contiguous_sections_of_one_to_four_minutes(group, index, tmp_path):
    desc = corpus.describe(group, index)
    notes, sections, programs = corpus.compose(desc)
    starts = np.array([s for s, _, _ in sections])
    ends = np.array([e for _, e, _ in sections])
    assert starts[0] == 0 and np.all(starts[1:] == ends[:-1]) and np.all(np.diff(starts) > 0)
    assert [lab for _, _, lab in sections] == desc["form"]
    assert 60 <= ends[-1] <= 240
    # Section lengths follow the bars at the nominal tempo, within the drift; the last one also
    # holds the closing chord.
    nominal = np.array([desc["bars"][lab] * 4 * 60 / desc["bpm"] for lab in desc["form"]])
    nominal[-1] += 3 * 60 / desc["bpm"]
    assert np.allclose(ends - starts, nominal, rtol=0.15)
    assert all(0 <= p <= 127 and 1 <= v <= 127 and e > s for s, e, _, p, v in notes)
    assert 9 not in programs and len(programs) <= 15

    lab = tmp_path / "piece.lab"
    corpus.write_lab(lab, sections)
    assert np.allclose(read_reference(lab), starts[1:], atol=1e-3)
    assert [(s, e, l) for s, e, l in corpus.read_lab(lab)] == [
        (round(s, 3), round(e, 3), l) for s, e, l in sections]


def _read_midi(path):
    """(tick, status, data1, data2) of every channel event of a format-0 file (running status unused)."""
    data = Path(path).read_bytes()
    assert data[:4] == b"MThd" and data[14:18] == b"MTrk"
    length = struct.unpack(">I", data[18:22])[0]
    track, pos, tick, events = data[22:22 + length], 0, 0, []
    while pos < len(track):
        delta = 0
        while True:
            b = track[pos]
            pos += 1
            delta = (delta << 7) | (b & 0x7F)
            if b < 0x80:
                break
        tick += delta
        status = track[pos]
        if status == 0xFF:
            n = track[pos + 2]
            pos += 3 + n
        else:
            size = 2 if status & 0xF0 == 0xC0 else 3
            events.append((tick, status, *track[pos + 1:pos + size]))
            pos += size
    return events


def test_midi_notes_come_back_paired_without_same_pitch_overlaps(tmp_path):
    notes = [(0.0, 1.0, 0, 60, 90), (0.5, 1.5, 0, 60, 80), (0.2, 0.4, 9, 36, 100), (1.0, 2.0, 1, 64, 70)]
    path = tmp_path / "t.mid"
    corpus.write_midi(path, notes, {0: 0, 1: 33})
    events = _read_midi(path)
    assert [e[0] for e in events] == sorted(e[0] for e in events)
    sounding = {}
    spans = []
    for tick, status, key, vel in [e for e in events if e[1] & 0xE0 == 0x80]:
        ch, on = status & 0x0F, status & 0xF0 == 0x90 and vel > 0
        if on:
            assert (ch, key) not in sounding, "a note started over a sounding one of the same pitch"
            sounding[(ch, key)] = tick
        else:
            spans.append((sounding.pop((ch, key)), tick, ch, key))
    assert not sounding
    assert sorted(spans) == [(0, 498, 0, 60), (200, 400, 9, 36), (500, 1500, 0, 60), (1000, 2000, 1, 64)]
    assert {(e[1] & 0x0F, e[2]) for e in events if e[1] & 0xF0 == 0xC0} == {(0, 0), (1, 33)}
