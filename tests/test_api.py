"""velmor.analyze: the one call from a file or an array to labelled segments, and its result."""

import dataclasses
import json
import pickle

import numpy as np
import pytest

import velmor
from velmor.cli.analysis import read_reference
from velmor.demo import synthesise

soundfile = pytest.importorskip("soundfile")
soxr = pytest.importorskip("soxr")

SR = 22050


@pytest.fixture(scope="module")
def demo():
    signal, segments = synthesise()
    return signal, segments


@pytest.fixture(scope="module")
def result(demo):
    return velmor.analyze(demo[0], SR, return_ssm=True)


@pytest.mark.parametrize("method", ["default", "fused", "fused+structure"])
def test_the_demo_piece_is_labelled_a_b_a_c_d(demo, method):
    signal, segments = demo
    true = np.array([s for s, _, _ in segments[1:]])
    s = velmor.analyze(signal, SR, method=method)
    assert np.abs(s.boundaries - true).max() < 1.5
    assert s.labels == ("A", "B", "A", "C", "D")
    assert [lab for *_, lab in s.segments] == list(s.labels)
    assert s.segments[0][0] == 0.0 and s.segments[-1][1] == pytest.approx(len(signal) / SR)


def test_the_default_method_recognises_the_return_of_a(result):
    assert result.labels[:3] == ("A", "B", "A") and len(result.labels) == len(result.boundaries) + 1


def test_a_path_gives_what_its_samples_give(tmp_path, demo, result):
    path = tmp_path / "demo.flac"
    soundfile.write(path, np.stack([demo[0], demo[0]], axis=1), SR)
    from_file = velmor.analyze(path)
    assert from_file.source == str(path) and from_file.channels == 2 and from_file.sample_rate == SR
    assert np.allclose(from_file.boundaries, result.boundaries, atol=1 / result.rate)
    assert from_file.labels == result.labels


@pytest.mark.parametrize("shape", ["channels first", "channels last"])
def test_two_channels_are_averaged(demo, result, shape):
    y = demo[0]
    stereo = np.stack([0.5 * y, 1.5 * y])
    stereo = stereo if shape == "channels first" else stereo.T.copy()
    before = stereo.copy()
    s = velmor.analyze(stereo, SR)
    assert np.array_equal(stereo, before)
    assert s.channels == 2 and s.labels == result.labels
    assert np.allclose(s.boundaries, result.boundaries)


def test_a_higher_rate_gives_the_same_boundaries_within_a_frame(demo, result):
    y44 = soxr.resample(demo[0], SR, 44100)
    s = velmor.analyze(y44, 44100)
    assert s.duration == pytest.approx(result.duration, abs=1e-3)  # not twice as long
    assert s.boundaries.shape == result.boundaries.shape
    assert np.abs(s.boundaries - result.boundaries).max() <= 1 / result.rate
    assert s.labels == result.labels and s.sample_rate == 44100


@pytest.mark.parametrize("method", ["classic", "fused", "mfcc"])
def test_every_road_labels(demo, method):
    s = velmor.analyze(demo[0], SR, method=method)
    assert s.method == method
    assert len(s.labels) == len(s.boundaries) + 1
    assert s.labels[0] == "A" and s.novelty.shape == s.times.shape


@pytest.mark.parametrize("n_segments, n_labels", [(3, None), (5, 2), (6, 3)])
def test_asked_counts(demo, n_segments, n_labels):
    s = velmor.analyze(demo[0], SR, n_segments=n_segments, n_labels=n_labels)
    assert len(s.labels) == n_segments
    if n_labels is not None:
        assert len(set(s.labels)) == n_labels
    assert s.parameters["n_segments"] == n_segments


def test_the_result_is_immutable_and_pickles(result):
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.labels = ("B",)
    for a in (result.boundaries, result.novelty, result.times, result.ssm, result.peak_frames):
        with pytest.raises(ValueError):
            a[0] = 0
    with pytest.raises(TypeError, match="read-only"):
        result.parameters["kernel"] = 1.0
    back = pickle.loads(pickle.dumps(result))
    assert back.labels == result.labels and np.array_equal(back.boundaries, result.boundaries)
    assert dict(back.parameters) == dict(result.parameters)


def test_ssm_and_frame_times(result):
    n = result.novelty.size
    assert result.ssm.shape == (n, n) and result.frame_times.shape == (n,)
    assert np.allclose(np.diff(result.frame_times), 1 / result.rate)
    assert velmor.analyze(np.zeros(SR * 2), SR).ssm is None


def test_lab_and_json_round_trip(tmp_path, result):
    lab = tmp_path / "out.lab"
    lab.write_text(result.to_lab())
    assert np.allclose(read_reference(lab), result.boundaries, atol=1e-3)
    assert [ln.split("\t")[2] for ln in result.to_lab().splitlines()] == list(result.labels)
    d = json.loads(result.to_json(curves=True))
    assert d["labels"] == list(result.labels) and len(d["novelty"]) == result.novelty.size
    assert d["segments"][1][2] == "B" and d["parameters"]["features"] == ["mfcc", "cens"]


@pytest.mark.parametrize("call, error, match", [
    (lambda y: velmor.analyze(y), ValueError, "sr is required"),
    (lambda y: velmor.analyze(y, 0), ValueError, "sr must be a positive"),
    (lambda y: velmor.analyze(y, SR, method="nope"), ValueError, "unknown method"),
    (lambda y: velmor.analyze(y, SR, kernal=3.0), TypeError, "unknown setting.*kernal"),
    (lambda y: velmor.analyze(y, SR, method="classic", road="structure"), TypeError, "classic"),
    (lambda y: velmor.analyze(y, SR, n_labels=0), ValueError, "n_labels"),
    (lambda y: velmor.analyze(y, SR, label_threshold=-1), ValueError, "label_threshold"),
    (lambda y: velmor.analyze(y[None, None], SR), ValueError, "one-dimensional"),
    (lambda y: velmor.analyze(y.astype(complex), SR), TypeError, "real numbers"),
    (lambda y: velmor.analyze(np.r_[y, np.nan], SR), ValueError, "finite"),
    (lambda y: velmor.analyze("no/such/file.wav"), FileNotFoundError, "no such file"),
    (lambda y: velmor.analyze("x.wav", 22050), ValueError, "read from the file"),
])
def test_bad_calls(call, error, match):
    y = np.zeros(SR)
    with pytest.raises(error, match=match):
        call(y)


def test_labels_without_a_whole_matrix(demo, result, monkeypatch):
    """A road that keeps no n x n matrix (long inputs) still gets labels, from the features."""
    import dataclasses as dc

    from velmor.analysis import methods

    original = methods.segment
    monkeypatch.setattr(methods, "segment", lambda *a, **k: dc.replace(original(*a, **k), ssm=None))
    s = velmor.analyze(demo[0], SR, return_ssm=True)
    assert s.ssm is None and s.labels == result.labels


def test_jams_round_trip(tmp_path, result):
    pytest.importorskip("jams")
    from velmor.annotations import read_annotation

    path = tmp_path / "result.jams"
    path.write_text(result.to_jams(reference=[(0.0, 12.0, "A"), (12.0, 60.0, "B")]).dumps())
    back = read_annotation(path)  # the first segment annotation: velmor's own
    assert back.labels == result.labels
    assert np.allclose(back.intervals, result.intervals) and np.allclose(back.boundaries, result.boundaries)
    assert velmor.evaluate(path, result)["pairwise F"] == pytest.approx(1.0)
