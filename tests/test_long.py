"""Long inputs: the road chosen by the memory budget, the clear refusal of the structure road, and
files read a block at a time giving the features of the whole signal."""

import json
import re
import wave

import numpy as np
import pytest

import velmor.analysis as A
from velmor.analysis import audio_blocks, frontend, methods
from velmor.cli import main

SR = 22050


def sections(seconds=40.0, change=20.0, rate=SR):
    """A soft C major chord, then a bright F-sharp major one, with a little noise."""
    t = np.arange(int(seconds * rate)) / rate
    out = np.zeros(t.size)
    for chord, harmonics, part in (((60, 64, 67), (1.0, 0.3), t < change), ((66, 70, 73), (1.0, 0.8, 0.6, 0.4), t >= change)):
        x = sum(a * np.sin(2 * np.pi * h * 440 * 2 ** ((p - 69) / 12) * t) for p in chord for h, a in enumerate(harmonics, 1))
        out[part] = (x / np.abs(x).max())[part]
    return 0.7 * out + 0.01 * np.random.default_rng(0).standard_normal(t.size)


def write_wav(path, signal, rate=SR, channels=1):
    pcm = (np.clip(signal, -1, 1) * 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.repeat(pcm, channels).tobytes())
    return str(path)


def wav_samples(path):
    import soundfile as sf

    y, rate = sf.read(path, dtype="float64", always_2d=True)
    return y.mean(axis=1), rate


# ---- the road --------------------------------------------------------------------------------

HOUR = 3600.0


@pytest.mark.parametrize(
    "method, seconds, budget, expected",
    [
        ("fused", 60.0, None, ("fused", "dense")),
        ("fused", 60.0, "1K", ("fused", "banded")),
        ("structure", 60.0, None, ("structure", "dense")),
        ("default", 60.0, None, ("structure", "dense")),
        ("default", 3 * HOUR, None, ("long", "banded")),
        ("default", 60.0, "1K", ("long", "banded")),
        ("long", 3 * HOUR, "1G", ("long", "banded")),
        ("classic", 10 * HOUR, "1K", ("classic", "dense")),
        ("fused", 3 * HOUR, "2000G", ("fused", "dense")),
    ],
)
def test_the_road_is_chosen_by_the_memory_the_matrices_need(method, seconds, budget, expected):
    m, road = A.plan(seconds, method, max_memory=budget)
    assert (m.name, road) == expected
    if road == "banded":
        assert m.road == "checkerboard" or m.lags is not None


def test_a_method_with_lags_reads_the_band_only_and_says_so():
    with pytest.raises(ValueError, match="structure road only"):
        A.METHODS["fused"].replace(lags=30.0)
    with pytest.raises(ValueError, match="positive"):
        A.METHODS["structure"].replace(lags=0.0)
    m = A.METHODS["structure"].replace(lags=30.0)
    assert A.plan(60.0, m) == (m, "banded")
    with pytest.raises(ValueError, match="band"):
        methods.segment_features(None, m, road="dense")
    raw = frontend.raw_features(sections(), SR, m.features)
    seg = methods.segment_features(raw, m)  # as the tuning benchmark calls it: the road it needs
    assert seg.road == "banded" and abs(seg.boundaries - 20.0).min() < 1.0


def test_the_fallback_keeps_what_was_asked_of_the_default_method():
    asked = A.METHODS["structure"].replace(kernel=8.0, pool=1, features=("mfcc",))
    m, road = A.plan(3 * HOUR, asked, fallback=True)
    assert (m.name, road, m.kernel, m.pool, m.features) == ("long", "banded", 8.0, 1, ("mfcc",))
    with pytest.raises(A.TooLongError):
        A.plan(3 * HOUR, "default", fallback=False)


@pytest.mark.parametrize("method", ["structure", "fused+structure"])
def test_a_named_matrix_road_refuses_a_long_input_before_any_feature_work(monkeypatch, method):
    monkeypatch.setattr(frontend, "raw_features", None)  # never reached
    monkeypatch.setattr(audio_blocks, "file_features", None)
    with pytest.raises(A.TooLongError, match=rf"too long for the {re.escape(repr(method))} method.*MiB.*--method long.*--max-memory"):
        A.segment(np.zeros(SR * 60), SR, method, max_memory="1M")
    with pytest.raises(MemoryError):  # what callers caught before
        A.plan(10 * HOUR, method)


def test_a_checkerboard_method_gives_the_same_result_on_either_road():
    y = sections()
    dense = A.segment(y, SR, "fused", keep_ssm=True)
    band = A.segment(y, SR, "fused", keep_ssm=True, max_memory="1K")
    assert (dense.road, band.road) == ("dense", "banded")
    assert dense.ssm is not None and band.ssm is None
    np.testing.assert_allclose(band.novelty, dense.novelty, rtol=0, atol=1e-12)
    np.testing.assert_array_equal(band.boundaries, dense.boundaries)
    assert abs(band.boundaries - 20.0).min() < 1.0


def test_the_default_method_falls_back_and_says_so():
    seg = A.segment(sections(), SR, max_memory="1K")
    assert (seg.method, seg.road, seg.parameters["lags"]) == ("long", "banded", 60.0)
    assert abs(seg.boundaries - 20.0).min() < 1.0
    # the per-frame features stay with the result: segment-level similarity needs no matrix
    assert set(seg.features.features) == set(A.METHODS["long"].features)
    assert seg.features.n_frames == seg.novelty.size


@pytest.mark.parametrize("bad", ["lots", "-1G", "0", "nanG"])
def test_a_bad_budget_is_refused(bad):
    with pytest.raises(ValueError, match="memory"):
        A.plan(60.0, "fused", max_memory=bad)


# ---- audio in blocks ------------------------------------------------------------------------

@pytest.mark.parametrize("samples", [100, 4096, 4096 + 1024 * 3, 4096 + 1024 * 3 + 1, 4096 + 1024 * 7 - 1, 77777])
def test_blocks_give_the_frames_of_the_whole_signal(tmp_path, samples):
    # Blocks of 0.1 s (at least one frame's worth) cut the signal everywhere a frame can be cut.
    rng = np.random.default_rng(samples)
    path = write_wav(tmp_path / "x.wav", 0.3 * rng.standard_normal(samples))
    y, _ = wav_samples(path)
    whole = frontend.raw_features(y, SR, ("mfcc", "chroma"))
    raw, info = audio_blocks.file_features(path, ("mfcc", "chroma"), block_seconds=0.1)
    assert raw.duration == whole.duration and info["tuning"] is not None
    for name in ("mfcc", "chroma"):
        assert raw.features[name].shape == whole.features[name].shape
        np.testing.assert_allclose(raw.features[name], whole.features[name], rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("rate, channels", [(44100, 2), (16000, 1)])
def test_blocks_mix_and_resample_as_the_whole_file_is(tmp_path, rate, channels):
    path = write_wav(tmp_path / "x.wav", sections(20.0, 10.0, rate), rate, channels)
    y, _ = wav_samples(path)
    whole = frontend.raw_features(y, rate, ("mfcc", "cens"))
    raw, info = audio_blocks.file_features(path, ("mfcc", "cens"), block_seconds=1.3)
    assert (info["sample_rate"], info["channels"]) == (rate, channels)
    for name in ("mfcc", "chroma"):
        a, b = raw.features[name], whole.features[name]
        assert a.shape == b.shape
        # the resampler's stream and its one-shot call round differently, and nothing else
        assert np.abs(a - b).max() <= 1e-5 * np.abs(b).max()


def test_a_long_file_takes_its_tuning_from_excerpts(tmp_path):
    path = write_wav(tmp_path / "x.wav", sections(30.0, 15.0))
    y, _ = wav_samples(path)
    whole = frontend.raw_features(y, SR, ("chroma",))
    raw, info = audio_blocks.file_features(path, ("chroma",), tuning_seconds=8.0)
    assert abs(info["tuning"]) < 10.0  # the chords are tuned to A440
    np.testing.assert_allclose(raw.features["chroma"], whole.features["chroma"], rtol=0.05, atol=1e-6 * whole.features["chroma"].max())


def test_segment_file_is_segment_of_the_decoded_signal(tmp_path):
    path = write_wav(tmp_path / "x.wav", sections())
    y, _ = wav_samples(path)
    for budget in (None, "1K"):
        a = A.segment_file(path, max_memory=budget)
        b = A.segment(y, SR, max_memory=budget)
        assert (a.method, a.road) == (b.method, b.road)
        np.testing.assert_allclose(a.novelty, b.novelty, rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(a.boundaries, b.boundaries)


@pytest.mark.parametrize("call, error", [
    (lambda p: audio_blocks.file_features(p, ("timbre",)), ValueError),
    (lambda p: audio_blocks.file_features(p, ("mfcc",), block_seconds=0), ValueError),
    (lambda p: A.segment_file(p, "classic"), ValueError),
    (lambda p: A.segment_file(p, "nonesuch"), ValueError),
])
def test_bad_requests_are_refused_clearly(tmp_path, call, error):
    with pytest.raises(error):
        call(write_wav(tmp_path / "x.wav", sections(2.0, 1.0)))


# ---- the command line --------------------------------------------------------------------------

def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("read_whole_below", [600.0, 5.0])  # in memory, and a block at a time
def test_the_command_line_takes_a_budget_and_says_which_road_it_took(capsys, tmp_path, monkeypatch, read_whole_below):
    from velmor import api

    monkeypatch.setattr(api, "LONG_FILE_SECONDS", read_whole_below)
    path = write_wav(tmp_path / "x.wav", sections())
    status, out, err = run(capsys, "segment", path, "-f", "json", "--max-memory", "1K")
    assert status == 0, err
    r = json.loads(out)[0]
    assert (r["method"], r["road"]) == ("long", "banded") and "banded road" in r["note"]
    assert abs(np.asarray(r["boundaries"]) - 20.0).min() < 1.0
    status, out, err = run(capsys, "segment", path, "--max-memory", "1K", "-q", "--plot", tmp_path / "x.png")
    assert "note: too long for the 'structure' method" in out
    assert (tmp_path / "x.png").stat().st_size > 0  # a picture without the matrix
    status, out, err = run(capsys, "segment", path, "--method", "structure", "--max-memory", "1K")
    assert status == 1 and "too long for the 'structure' method" in err and "--max-memory" in err
    status, out, err = run(capsys, "segment", path, "-f", "json")
    assert status == 0 and json.loads(out)[0]["road"] == "dense"


def test_the_command_line_refuses_a_bad_budget(capsys, tmp_path):
    with pytest.raises(SystemExit) as exc:
        main(["segment", write_wav(tmp_path / "x.wav", sections(2.0, 1.0)), "--max-memory", "lots"])
    assert exc.value.code == 2
    assert "--max-memory" in capsys.readouterr().err


def test_the_demo_runs_on_the_banded_road(capsys):
    status, out, err = run(capsys, "demo", "--no-plot", "--max-memory", "1K")
    assert status == 0, err
    assert "no self-similarity matrix: too long for the 'structure' method" in out
    assert "novelty: structure on the band of the matrix (the 'long' method)" in out
    assert "R 1.000" in out.split("tolerance 3 s:")[1]  # the demo's sections are all found


def test_a_frame_rate_asked_of_the_default_method_is_kept_whole_by_the_fallback():
    asked = A.METHODS["structure"].replace(hop_length=1024)  # the default row's own pool, 2
    m, road = A.plan(3 * HOUR, asked, fallback=True)
    assert (m.name, road, m.hop_length, m.pool) == ("long", "banded", 1024, 2)
