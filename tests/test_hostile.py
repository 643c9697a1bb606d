"""Hostile and careless input at the library's boundary: settings and sample rates refused with the
setting's name, files that are no regular files refused at once, clear messages for the rest.

Calls that used to hang run in a process of their own, with a time limit.
"""

import os
import subprocess
import sys

import numpy as np
import pytest

import velmor
from test_cli import two_sections, write_wav

SR = 22050
NAN = float("nan")


@pytest.mark.parametrize("settings, named", [
    ({"weights": (NAN, 1.0)}, "weights"), ({"weights": (np.inf, 1.0)}, "weights"), ({"weights": (1e300, 1.0)}, "weights"),
    ({"weights": (0.0, 0.0)}, "weights"), ({"delta": NAN}, "delta"), ({"floor": NAN}, "floor"),
    ({"neighbours": 0}, "neighbours"), ({"neighbours": -1}, "neighbours"), ({"neighbours": 2}, "neighbours"),
    ({"spacing": -1}, "spacing"), ({"kernel": 0}, "kernel"), ({"kernel": -3.0}, "kernel"), ({"margin": -1}, "margin"),
    ({"pool": 0}, "pool"), ({"pool": 2.5}, "pool"), ({"hop_length": NAN}, "hop_length"), ({"features": ()}, "features"),
    ({"method": "classic", "neighbourhood": 0}, "spacing"), ({"method": "classic", "smooth": -1}, "smooth"),
    ({"method": "classic", "min_height": NAN}, "min_height"), ({"method": "classic", "fft_len": 3}, "n_fft"),
])
def test_a_bad_setting_is_refused_by_name(settings, named):
    with pytest.raises(ValueError, match=rf"\b{named}\b"):
        velmor.analyze(np.zeros(SR * 4), SR, **settings)


def _in_a_process(code, timeout=120):
    """Run ``code`` in a fresh interpreter; a hang fails the test instead of stopping the suite."""
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout + p.stderr


@pytest.mark.parametrize("sr", ["2**63", "1", "float('nan')", "1e300", "True"])
def test_a_sample_rate_out_of_range_is_refused_at_once(sr):
    status, out = _in_a_process(f"import numpy as np, velmor\nvelmor.analyze(np.zeros(4096), sr={sr})")
    assert status == 1 and "ValueError: sr must be a positive sample rate from 1000 to 10000000 Hz" in out


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "pipe.wav"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("how", ["analyze", "segment", "reference", "eval"])
def test_a_pipe_is_refused_at_once(fifo, tmp_path, how):
    song = write_wav(tmp_path / "song.wav", two_sections(SR), SR)
    code = {
        "analyze": f"import velmor\nvelmor.analyze({str(fifo)!r})",
        "segment": f"from velmor.cli import main\nraise SystemExit(main(['segment', {str(fifo)!r}]))",
        "reference": f"from velmor.cli import main\nraise SystemExit(main(['segment', {str(song)!r}, '--ref', "
                     f"{str(fifo)!r}, '--method', 'fused']))",
        "eval": f"from velmor.cli import main\nraise SystemExit(main(['eval', {str(fifo)!r}, '--ref', {str(fifo)!r}]))",
    }[how]
    status, out = _in_a_process(code, timeout=60)
    assert status == 1 and "not a regular file" in out
    assert ("Traceback" in out) == (how == "analyze")  # a Python caller gets the exception, a user one line


def test_a_jams_link_to_a_device_is_not_read(tmp_path):
    from velmor.annotations import read_annotation

    os.symlink("/dev/zero", tmp_path / "ref.jams")
    with pytest.raises(OSError, match="not a regular file"):
        read_annotation(tmp_path / "ref.jams")


@pytest.mark.parametrize("given, says", [
    (b"", "no audio: the input is empty"),
    (b"not audio at all", "cannot read audio: Error opening the input"),
])
def test_standard_input_that_holds_no_audio_says_so(given, says):
    p = subprocess.run([sys.executable, "-m", "velmor", "segment", "-"], input=given, capture_output=True, timeout=60)
    err = p.stderr.decode()
    assert p.returncode == 1 and f"velmor: -: {says}" in err and "object at 0x" not in err


def test_an_over_long_file_name_says_so(capsys):
    from velmor.cli import main

    assert main(["segment", "x" * 300 + ".wav"]) == 1
    assert "the file name is too long" in capsys.readouterr().err


def test_float32_stereo_whose_sum_overflows_is_still_audio():
    y = np.tile(two_sections(SR).astype(np.float32) * np.float32(3e38), (2, 1))
    s = velmor.analyze(y, SR, method="fused", kernel=6.0, spacing=6.0)
    assert s.channels == 2 and np.all(np.isfinite(s.novelty))


@pytest.mark.parametrize("given", ["array", "stream"])
def test_out_of_memory_with_audio_held_whole_suggests_the_path(tmp_path, monkeypatch, given):
    from velmor.analysis import methods

    def fails(*args, **kwargs):
        raise MemoryError("Unable to allocate 1.9 GiB")

    monkeypatch.setattr(methods, "segment", fails)
    y = two_sections(SR)
    with open(write_wav(tmp_path / "a.wav", y, SR), "rb") as stream, pytest.raises(
            MemoryError, match=r"held whole in memory \(Unable to allocate 1.9 GiB\); give the file by its path"):
        velmor.analyze(y, SR) if given == "array" else velmor.analyze(stream)


@pytest.mark.parametrize("estimate, reference, says", [
    ("0 10 A\n10 20 B\n20 20 C\n", "0 10 A\n10 20 B\n", None),  # a segment of no time at the end
    ("0 10 A\n10 25 B\n25 30 C\n", "0 10 A\n10 20 B\n", None),  # one past the reference's end
    ("10 20 B\n0 10 A\n", "0 10 A\n10 20 B\n", "warning: {est}, line 2: the segment starts before"),
    ("0 20 A\n", "", "warning: the reference is empty"),
])
def test_velmor_eval_scores_awkward_files_and_says_why_in_its_own_words(capsys, tmp_path, estimate, reference, says):
    from velmor.cli import main

    (tmp_path / "est.lab").write_text(estimate)
    (tmp_path / "ref.lab").write_text(reference)
    status = main(["eval", str(tmp_path / "est.lab"), "-r", str(tmp_path / "ref.lab"), "-q"])
    err = capsys.readouterr().err
    assert status == 0 and "Warning:" not in err and "error" not in err
    est = tmp_path / "est.lab"
    assert (says is None and err == "") or f"velmor eval: {est}: {says.format(est=est)}" in err
