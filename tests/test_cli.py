"""The velmor command line on small generated audio files."""

import contextlib
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np
import pytest

from velmor.cli import main
from velmor.cli.analysis import AnalysisError, read_reference
from velmor.cli.options import Duration, Params

CHANGE = 8.0  # seconds: where the two-section test signal changes chord and timbre
FAST = ["--method", "fused", "--kernel", "6s", "--neighbourhood", "6s"]  # suits 16-second signals


def two_sections(rate, seconds=CHANGE):
    """C major (soft) then F-sharp major (bright), each `seconds` long, at `rate` Hz."""
    t = np.arange(int(seconds * rate)) / rate
    parts = []
    for chord, harmonics in (((60, 64, 67), (1.0, 0.3)), ((66, 70, 73), (1.0, 0.8, 0.6, 0.4))):
        x = sum(a * np.sin(2 * np.pi * h * 440 * 2 ** ((p - 69) / 12) * t)
                for p in chord for h, a in enumerate(harmonics, 1))
        parts.append(x / np.abs(x).max())
    return 0.8 * np.concatenate(parts)


def write_wav(path, signal, rate, channels=1):
    pcm = (np.clip(signal, -1, 1) * 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.repeat(pcm, channels).tobytes())
    return str(path)


@pytest.fixture
def song(tmp_path):
    def make(name="song.wav", rate=22050, channels=1):
        return write_wav(tmp_path / name, two_sections(rate), rate, channels)
    return make


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("rate, channels", [(22050, 1), (44100, 2), (16000, 1)])
def test_finds_the_change_after_mixing_and_resampling(capsys, song, rate, channels):
    status, out, err = run(capsys, "segment", song(rate=rate, channels=channels), "-f", "json", *FAST)
    assert status == 0, err
    (result,) = json.loads(out)
    assert result["sample_rate"] == rate and result["channels"] == channels
    assert result["duration"] == pytest.approx(2 * CHANGE, abs=0.01)
    assert len(result["boundaries"]) == 1
    assert result["boundaries"][0] == pytest.approx(CHANGE, abs=0.6)


@pytest.mark.parametrize("conditioning", [["--smooth", "2s"], ["--threshold", "0.5"],
                                          ["--smooth", "4f", "--threshold", "0.2"]])
def test_conditioning_keeps_the_change(capsys, song, conditioning):
    status, out, err = run(capsys, "segment", song(), "-f", "json", *FAST, "--method", "classic", *conditioning)
    assert status == 0, err
    assert json.loads(out)[0]["boundaries"] == [pytest.approx(CHANGE, abs=0.6)]


@pytest.mark.parametrize("margin, found", [
    (["--method", "classic"], False),  # the classic margin is half the kernel, 3 s
    (["--method", "classic", "--margin", "1f"], True),
    (["--margin", "0.5s"], True),
    (["--margin", "3s"], False),
])
def test_edge_margin(capsys, tmp_path, margin, found):
    x = two_sections(22050)
    early = np.concatenate([x[int(6 * 22050):], x[-6 * 22050:]])  # changes 2 s in, of 16 s
    path = write_wav(tmp_path / "early.wav", early, 22050)
    _, out, _ = run(capsys, "segment", path, "-f", "json", *FAST, *margin)
    assert json.loads(out)[0]["boundaries"] == ([pytest.approx(2.0, abs=0.6)] if found else [])


@pytest.mark.parametrize("signal, status, boundaries", [
    (np.zeros(0), 1, None),  # no samples: a failure that says so
    (np.zeros(22050 * 10), 0, []),  # silence: nothing changes
    (0.5 * np.sin(np.arange(22050) * 0.1), 0, []),  # shorter than the kernel
])
def test_degenerate_audio(capsys, tmp_path, signal, status, boundaries):
    path = write_wav(tmp_path / "odd.wav", signal, 22050)
    code, out, err = run(capsys, "segment", path, "-f", "json")
    assert code == status
    (result,) = json.loads(out)
    if boundaries is None:
        assert result["error"] == "the file holds no audio samples" and "odd.wav" in err
    else:
        assert result["boundaries"] == boundaries


@pytest.mark.parametrize("reference, f_at_3s", [
    ("8.0\n", 1.0),
    ("# start end label\n0 8 A\n8 16 B\n", 1.0),
    ("4.0\n12.0\n", 0.0),
])
def test_reference_scores(capsys, song, tmp_path, reference, f_at_3s):
    ref = tmp_path / "ref.lab"
    ref.write_text(reference)
    status, out, err = run(capsys, "segment", song(), "--ref", ref, "-f", "json", *FAST)
    assert status == 0
    scores = {s["tolerance"]: s["f"] for s in json.loads(out)[0]["scores"]}
    assert set(scores) == {0.5, 3.0}
    assert scores[3.0] == pytest.approx(f_at_3s)
    assert f"{f_at_3s:.3f} at 3 s (1 with reference)" in err


@pytest.mark.parametrize("text, expected, backwards", [
    ("3\n1.5\n# comment\n\n1.5\n", [1.5, 3.0], False),
    ("10 20 B\n0 10 A\n20 31.5 A\n", [10.0, 20.0], True),  # unsorted lab: first start, last end dropped
    ("0 10 A\n12 20 B\n", [10.0, 12.0], False),  # a gap: both its edges are boundaries
    ("0.0\t5.0\tintro  # tabs\n", [], False),
    ("0 10 A\n8 20 B\n", [8.0], True),  # overlapping segments
])
def test_read_reference(tmp_path, text, expected, backwards):
    from velmor.annotations import AnnotationWarning

    path = tmp_path / "r.txt"
    path.write_text(text)
    with pytest.warns(AnnotationWarning, match="line 2") if backwards else contextlib.nullcontext():
        assert read_reference(path).tolist() == expected


@pytest.mark.parametrize("text", ["1\n2 3 A\n", "abc\n", "-1\n", "1 nan X\n"])
def test_bad_reference(tmp_path, text):
    path = tmp_path / "r.txt"
    path.write_text(text)
    with pytest.raises(AnalysisError, match="r.txt"):
        read_reference(path)


@pytest.mark.parametrize("text, ff, frames", [
    ("8", 2.0, 16), ("8s", 2.0, 16), ("750ms", 4.0, 3), ("7f", 2.0, 7), (".1", 2.0, 1),
])
def test_duration_to_frames(text, ff, frames):
    assert Duration.parse(text).frames(ff) == frames


@pytest.mark.parametrize("seconds, parity, frames", [
    (4.9, "even", 4), (5.1, "even", 6), (0.1, "even", 2), (7.0, "even", 8),
    (5.9, "odd", 5), (6.1, "odd", 7), (0.1, "odd", 1), (8.0, "odd", 9), (3.0, None, 3),
])
def test_rounding_to_parity(seconds, parity, frames):
    assert Duration(seconds).frames(1.0, parity=parity) == frames


def test_each_format_parses(capsys, song, tmp_path):
    path = song()
    outputs = {}
    for fmt in ("text", "csv", "json", "lab"):
        status, outputs[fmt], _ = run(capsys, "segment", path, "-f", fmt, *FAST)
        assert status == 0
    (b,) = json.loads(outputs["json"])[0]["boundaries"]
    assert f"{b:.2f}" in outputs["text"]
    (row,) = csv.DictReader(io.StringIO(outputs["csv"]))
    assert (row["file"], float(row["time"])) == (path, pytest.approx(b, abs=1e-3))
    lab = tmp_path / "out.lab"
    lab.write_text(outputs["lab"])
    assert read_reference(lab).tolist() == [pytest.approx(b, abs=1e-3)]


def test_plot_is_a_png(capsys, song, tmp_path):
    png = tmp_path / "plots" / "song.png"
    status, _, err = run(capsys, "segment", song(), "--plot", tmp_path / "plots" / "{stem}.png", *FAST)
    assert status == 0, err
    assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_with_an_unreadable_file(capsys, song, tmp_path, jobs):
    bad = tmp_path / "broken.wav"
    bad.write_bytes(b"RIFF not really audio")
    files = [song("one.wav"), str(bad), song("three.wav", rate=44100)]
    status, out, err = run(capsys, "segment", *files, "--jobs", jobs, "-f", "json", *FAST)
    assert status == 1
    results = json.loads(out)
    assert [r["file"] for r in results] == files  # in input order, whatever finished first
    assert "error" in results[1] and all("boundaries" in results[i] for i in (0, 2))
    (line,) = [ln for ln in err.splitlines() if "broken.wav" in ln]
    assert "cannot read audio" in line
    assert "3 files: 2 done, 1 failed" in err


def test_output_directory_one_file_per_input(capsys, song, tmp_path):
    out_dir = tmp_path / "results"
    files = [song("a.wav"), song("b.wav")]
    status, out, _ = run(capsys, "segment", *files, "-o", out_dir, "-f", "lab", *FAST)
    assert status == 0 and out == ""
    assert sorted(os.listdir(out_dir)) == ["a.lab", "b.lab"]
    assert read_reference(out_dir / "a.lab").tolist() == [pytest.approx(CHANGE, abs=0.6)]


def test_reference_directory_and_mean_f(capsys, song, tmp_path):
    refs = tmp_path / "refs"
    refs.mkdir()
    (refs / "a.txt").write_text("8\n")
    (refs / "b.lab").write_text("0 3 A\n3 16 B\n")
    status, _, err = run(capsys, "segment", song("a.wav"), song("b.wav"), song("c.wav"),
                         "--ref", refs, "-t", "2", "-f", "csv", *FAST)
    assert status == 0
    assert err.strip().endswith("mean F 0.500 at 2 s (2 with references)")


@pytest.mark.parametrize("extra", [
    ["--kernel", "abc"], ["--kernel", "0s"], ["--neighbourhood", "1.5f"], ["--threshold", "1.5"],
    ["--jobs", "-1"], ["--format", "xml"], ["--tolerance", "3f"], ["--fft-len", "1001"],
    ["--ref", "a.txt", "--ref", "b.txt"], ["--plot", "{name}.png"],
    ["--method", "nope"], ["--features", "mfcc,loudness"], ["--features", ""], ["--features", "mfcc,mfcc"],
    ["--smooth", "2s"], ["--method", "structure", "--cens-ds", "4"], ["--method", "classic", "--features", "mfcc"],
    ["--method", "classic", "--threshold", "1"], ["-", "-"],
])
def test_bad_options_are_usage_errors(capsys, song, extra):
    with pytest.raises(SystemExit) as exc:
        main(["segment", song(), *extra])
    assert exc.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: velmor segment") and "error:" in err


def test_plot_of_several_files_needs_stem(capsys, song):
    with pytest.raises(SystemExit):
        main(["segment", song("a.wav"), song("b.wav"), "--plot", "x.png"])
    assert "{stem}" in capsys.readouterr().err


def test_missing_audio_extra_says_what_to_install(capsys, song, monkeypatch):
    path = song()
    monkeypatch.setitem(sys.modules, "soundfile", None)
    status, _, err = run(capsys, "segment", path)
    assert status == 1
    assert "pip install 'velmor[audio]'" in err


def test_demo_finds_its_sections(capsys, tmp_path, monkeypatch):
    status, out, _ = run(capsys, "demo", "--no-plot", "--wav", tmp_path / "demo.wav")
    assert status == 0
    f_at_3s = float(out.split("tolerance 3 s:")[1].split("F")[1].split()[0])
    assert "method structure" in out and f_at_3s >= 0.8
    assert read_reference(tmp_path / "demo.lab").tolist() == [16.0, 32.0, 48.0, 64.0]
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, _ = run(capsys, "demo", "--plot", tmp_path / "demo.png")
    assert status == 0 and "no plot: plotting needs the 'plot' extra" in out
    assert not (tmp_path / "demo.png").exists()


def test_python_m_velmor_is_the_console_script(song):
    script = shutil.which("velmor", path=str(Path(sys.executable).parent)) or shutil.which("velmor")
    if script is None:
        pytest.skip("the velmor console script is not installed")
    argv = ["segment", song(), "-f", "csv", "-q", *FAST]
    runs = [subprocess.run(cmd + argv, capture_output=True, text=True, check=True)
            for cmd in ([script], [sys.executable, "-m", "velmor"])]
    assert runs[0].stdout == runs[1].stdout and runs[0].stdout.count("\n") == 2


@pytest.mark.parametrize("method", ["classic", "default", "mfcc", "fused"])
@pytest.mark.parametrize("features", [[], ["--features", "mfcc"]])
def test_json_records_the_method_and_features(capsys, song, method, features):
    if method == "classic" and features:
        features = ["--features", "cens"]
    status, out, err = run(capsys, "segment", song(), "-f", "json", *FAST, "--method", method, *features)
    assert status == 0, err
    (result,) = json.loads(out)
    from velmor.analysis import DEFAULT_METHOD, METHODS

    name = DEFAULT_METHOD if method == "default" else method
    assert result["method"] == result["parameters"]["method"] == name
    expected = features[1].split(",") if features else list(METHODS[name].features)
    assert result["features"] == expected
    # The structure road places a change by the repetitions around it; two 8-second chords have
    # none, so it is held to the change's neighbourhood only.
    reach = 2.0 if METHODS[name].road == "structure" else 1.0
    assert result["boundaries"] == [pytest.approx(CHANGE, abs=reach)]


def test_outputs_carry_labels(capsys, song, tmp_path):
    path = song()
    _, lab, _ = run(capsys, "segment", path, "-f", "lab", *FAST)
    assert [ln.split("\t")[2] for ln in lab.splitlines()] == ["A", "B"]
    _, out, _ = run(capsys, "segment", path, "-f", "csv", *FAST)
    (row,) = csv.DictReader(io.StringIO(out))
    assert row["label"] == "B"
    _, out, _ = run(capsys, "segment", path, "-f", "json", *FAST)
    (result,) = json.loads(out)
    assert result["labels"] == ["A", "B"] and [s[2] for s in result["segments"]] == ["A", "B"]


def test_jams_out_and_back_in(capsys, song, tmp_path):
    pytest.importorskip("jams")
    from velmor.annotations import read_annotation

    files = [song("a.wav"), song("b.wav")]
    status, _, err = run(capsys, "segment", *files, "-f", "jams", "-o", tmp_path / "out", *FAST)
    assert status == 0, err
    back = read_annotation(tmp_path / "out" / "a.jams")
    assert back.labels == ("A", "B") and back.boundaries.tolist() == [pytest.approx(CHANGE, abs=0.6)]
    status, _, _ = run(capsys, "segment", files[0], "--ref", tmp_path / "out" / "a.jams", "-q", *FAST)
    assert status == 0
    with pytest.raises(SystemExit) as exc:
        main(["segment", *files, "-f", "jams", *FAST])
    assert exc.value.code == 2 and "needs --output" in capsys.readouterr().err


@pytest.mark.parametrize("name, ok", [("fig.svg", True), ("fig.pdf", True), ("fig.gif", False), ("fig", False)])
def test_plot_formats(capsys, song, tmp_path, name, ok):
    argv = ["segment", song(), "--plot", str(tmp_path / name), "--dpi", "40", "-q", *FAST]
    if ok:
        assert main(argv) == 0 and (tmp_path / name).stat().st_size > 1000
    else:
        with pytest.raises(SystemExit) as exc:
            main(argv)
        assert exc.value.code == 2 and ".png, .pdf or .svg" in capsys.readouterr().err


def test_reference_folder_pairs_more_names_and_says_what_it_cannot(capsys, song, tmp_path):
    refs = tmp_path / "refs"
    refs.mkdir()
    (refs / "a.segments.lab").write_text("0 8 A\n8 16 B\n")
    (refs / "b.lab").write_text("8\n")
    files = [song("a.wav"), song("b.wav"), song("c.wav")]
    status, out, err = run(capsys, "segment", *files, "--ref", refs, "-f", "json", *FAST)
    assert status == 0
    assert [r["reference_file"] is not None for r in json.loads(out)] == [True, True, False]
    (line,) = [ln for ln in err.splitlines() if "no reference" in ln]
    assert "c.wav" in line and "STEM.jams" in line


@pytest.mark.parametrize("given, expected", [
    (8, Duration(8.0)), (2.5, Duration(2.5)), ("750ms", Duration(0.75)), ("16f", Duration(16, "f")),
    (Duration(3.0), Duration(3.0)),
])
def test_params_take_plain_durations(given, expected):
    assert Params(kernel=given).kernel == expected
    classic = Params(margin=given, method="classic")
    assert classic.frames()["margin"] == expected.frames(classic.feature_rate)


@pytest.mark.parametrize("bad", [0, -1, float("nan"), "soon", [8], True])
def test_params_refuse_bad_durations(bad):
    with pytest.raises((ValueError, TypeError)):
        Params(kernel=bad)


@pytest.mark.parametrize("subtype, channels", [("PCM_16", 1), ("PCM_16", 2), ("PCM_24", 2), ("FLOAT", 1)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_audio_is_read_as_the_library_reads_it(tmp_path, subtype, channels, dtype):
    sf = pytest.importorskip("soundfile")
    from velmor.cli.analysis import load_audio

    rng = np.random.default_rng(channels)
    data = np.clip(0.3 * rng.standard_normal((5000, channels)), -1, 1)
    path = tmp_path / "x.wav"
    sf.write(path, data, 22050, subtype=subtype)
    signal, info = load_audio(str(path), dtype)
    expected = sf.read(path, dtype=np.dtype(dtype).name, always_2d=True)[0].mean(axis=1, dtype=dtype)
    assert signal.dtype == dtype and info == {"sample_rate": 22050, "channels": channels}
    np.testing.assert_allclose(signal, expected, rtol=0, atol=np.finfo(dtype).eps)


def test_double_samples_beyond_single_precision_are_not_lost(tmp_path):
    sf = pytest.importorskip("soundfile")
    from velmor.cli.analysis import load_audio

    path = tmp_path / "loud.wav"
    sf.write(path, 1e300 * np.sin(np.arange(4000) / 10.0), 22050, subtype="DOUBLE")
    signal, _ = load_audio(str(path), np.float32)
    assert signal.dtype == np.float64 and np.isfinite(signal).all() and np.abs(signal).max() > 1e299
