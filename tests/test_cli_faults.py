"""velmor segment, demo and eval under faults: full disks, dead workers, Ctrl-C, closed pipes, odd names."""

import errno
import io
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import velmor.cli.batch as batch
from velmor.cli import main
from test_cli import CHANGE, FAST, two_sections, write_wav


@pytest.fixture
def song(tmp_path):
    def make(name="song.wav", seconds=CHANGE):
        return write_wav(tmp_path / name, two_sections(22050, seconds), 22050)
    return make


def run(capsys, *argv):
    status = main([os.fspath(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def velmor(*argv, **kwargs):
    """The command in a process of its own: (status, stdout bytes, stderr text)."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    p = subprocess.run([sys.executable, "-m", "velmor", *map(os.fspath, argv)], stderr=subprocess.PIPE, **kwargs)
    return p.returncode, p.stdout, p.stderr.decode("utf-8", "replace")


def lines(err):
    return [ln for ln in err.splitlines() if ln.strip()]


def fake_result(task):
    return {"file": task.path, "duration": 1.0, "boundaries": [], "scores": None}


# ---------------------------------------------------------------- results whole or absent

@pytest.fixture
def full_disk(monkeypatch):
    """os.write on temporary files of a folder writes part of the first chunk, then the disk is full."""
    real = os.write
    state = {"folder": None, "names": ()}

    def write(fd, data):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            return real(fd, data)
        name = os.path.basename(target)
        if state["folder"] and os.path.dirname(target) == str(state["folder"]) and \
                any(name.startswith(f".{n}.") for n in state["names"]):
            real(fd, bytes(data[: max(1, len(data) // 2)]))
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real(fd, data)

    monkeypatch.setattr(os, "write", write)
    return state


@pytest.mark.parametrize("fmt", ["json", "lab"])
def test_a_full_disk_leaves_whole_results_or_none(capsys, song, tmp_path, full_disk, fmt):
    out_dir = tmp_path / "results"
    full_disk.update(folder=out_dir, names=[f"b.{fmt}"])
    status, out, err = run(capsys, "segment", song("a.wav"), song("b.wav"), song("c.wav"), "-o", out_dir,
                           "-f", fmt, *FAST)
    assert status == 1 and out == ""
    assert sorted(os.listdir(out_dir)) == [f"a.{fmt}", f"c.{fmt}"]  # no truncated file, no temporary one
    if fmt == "json":
        assert json.loads((out_dir / "a.json").read_text())["boundaries"] == [pytest.approx(CHANGE, abs=0.6)]
    (line,) = [ln for ln in lines(err) if "b.wav" in ln]
    assert f"b.{fmt}" in line and "No space left on device" in line
    assert "3 files: 2 done, 1 failed" in err


def test_a_failed_rerun_keeps_the_earlier_results(capsys, song, tmp_path, full_disk):
    out_dir, plots = tmp_path / "results", tmp_path / "plots"
    files = [song("a.wav"), song("b.wav"), song("c.wav")]
    argv = ["segment", *files, "-o", out_dir, "--plot", f"{plots}/", "-f", "json", "--dpi", "30", *FAST]
    assert run(capsys, *argv)[0] == 0
    assert sorted(os.listdir(plots)) == ["a.png", "b.png", "c.png"]
    with open(files[1], "wb") as f:
        f.write(b"RIFF no longer audio")
    full_disk.update(folder=out_dir, names=["c.json"])  # c analyses, but its result cannot be written
    status, _, err = run(capsys, *argv)
    assert status == 1
    assert sorted(os.listdir(out_dir)) == ["a.json", "b.json", "c.json"]  # b's and c's from the first run
    assert sorted(os.listdir(plots)) == ["a.png", "b.png", "c.png"]
    assert "1 earlier result replaced, 2 of failed files kept from an earlier run" in err


def test_help_states_the_overwrite_policy(capsys):
    with pytest.raises(SystemExit):
        main(["segment", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    assert "written whole or not at all" in text and "keeps its earlier result" in text and "replace" in text


# ---------------------------------------------------------------- worker processes and Ctrl-C

@pytest.mark.parametrize("kills", ["every time", "once"])
def test_a_killed_worker_fails_only_its_own_file(capsys, monkeypatch, tmp_path, kills):
    if multiprocessing.get_start_method() != "fork":
        pytest.skip("the stand-in analysis reaches the workers by fork")
    killed = tmp_path / "killed"

    def analyse(task):
        if task.path == "f05.wav" and not (kills == "once" and killed.exists()):
            killed.touch()
            os.kill(os.getpid(), signal.SIGKILL)  # as the out-of-memory killer would
        return fake_result(task)

    monkeypatch.setattr(batch, "analyse_file", analyse)
    files = [f"f{i:02}.wav" for i in range(14)]
    status, out, err = run(capsys, "segment", *files, "--jobs", "2", "-f", "json")
    results = json.loads(out)
    assert [r["file"] for r in results] == files and not multiprocessing.active_children()
    if kills == "once":  # run again, alone, it succeeds
        assert status == 0 and not any("error" in r for r in results)
        return
    assert status == 1 and [r["file"] for r in results if "error" in r] == ["f05.wav"]
    assert "worker process died" in results[5]["error"]
    assert "14 files: 13 done, 1 failed" in err


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_still_writes_the_finished_results_as_json(capsys, monkeypatch, jobs):
    calls = []

    def advance(self):
        calls.append(1)
        if len(calls) == 3:
            raise KeyboardInterrupt

    monkeypatch.setattr(batch, "analyse_file", fake_result)
    monkeypatch.setattr(batch._Progress, "advance", advance)
    files = [f"f{i}.wav" for i in range(8)]
    status, out, err = run(capsys, "segment", *files, "--jobs", jobs, "-f", "json")
    assert status == 130
    results = json.loads(out)  # a closed list
    assert len(results) == 3 and {r["file"] for r in results} <= set(files)
    assert lines(err) == ["velmor: interrupted: 3 of 8 files finished"]
    assert not multiprocessing.active_children()


@pytest.mark.parametrize("how, status, word", [("Ctrl-C", 130, "interrupted"), ("kill", 143, "terminated"),
                                               ("hang up", 129, "hung up")])
def test_stopped_by_a_signal(song, tmp_path, how, status, word):
    files = [song(f"s{i}.wav", seconds=40) for i in range(6)]
    p = subprocess.Popen([sys.executable, "-m", "velmor", "segment", *files, "-j", "2", "-f", "json", *FAST],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    first = p.stdout.readline() + p.stdout.readline()  # '[' and the first result's '{'
    if how == "Ctrl-C":
        os.killpg(p.pid, signal.SIGINT)  # the whole process group, as the terminal does
    else:
        p.send_signal(signal.SIGHUP if how == "hang up" else signal.SIGTERM)  # the parent alone, as 'kill PID' does
    out, err = p.stdout.read(), p.stderr.read()  # not communicate(): it would skip what readline buffered
    p.stdout.close()
    p.stderr.close()
    assert p.wait() == status and first == b"[\n  {\n"
    assert len(json.loads(first + out)) >= 1
    (line,) = lines(err.decode())
    assert line.startswith(f"velmor: {word}: ")
    with pytest.raises(ProcessLookupError):  # no worker outlives it
        os.killpg(p.pid, 0)


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"  # a zombie has ended
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="reads the process tree from /proc")
def test_workers_end_when_their_parent_is_killed(song):
    files = [song(f"s{i}.wav", seconds=40) for i in range(6)]
    p = subprocess.Popen([sys.executable, "-m", "velmor", "segment", *files, "-j", "2", "-f", "json", *FAST],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    p.stdout.readline()  # '[': the pool is at work
    with open(f"/proc/{p.pid}/task/{p.pid}/children") as f:
        workers = [int(pid) for pid in f.read().split()]
    p.kill()  # as the system's OOM killer does: no handler runs
    p.wait()
    p.stdout.close()
    deadline = time.monotonic() + 30
    while any(map(_alive, workers)) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert workers and not any(map(_alive, workers))


# ---------------------------------------------------------------- figures, pipes, one-line messages

@pytest.mark.parametrize("fault", ["disk full", "folder is a file"])
def test_a_figure_that_cannot_be_written_keeps_the_result(capsys, song, tmp_path, monkeypatch, fault):
    plot = tmp_path / "fig.png"
    if fault == "disk full":
        def save_figure(*args, **kwargs):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        monkeypatch.setattr("velmor.plot.save_figure", save_figure)
    else:
        (tmp_path / "file").write_text("")
        plot = tmp_path / "file" / "fig.png"
    status, out, err = run(capsys, "segment", song(), "--plot", plot, "-f", "json", *FAST)
    assert status == 1
    (result,) = json.loads(out)
    assert result["boundaries"] == [pytest.approx(CHANGE, abs=0.6)] and result["plot"] is None
    (line,) = [ln for ln in lines(err) if "cannot write the figure" in ln]
    assert str(plot) in line and result["plot_error"] in line
    assert "1 done, 0 failed, 1 figure not written" in err


def test_a_broken_pipe_stops_the_batch_quietly(capsys, monkeypatch):
    calls = []

    class Pipe(io.StringIO):
        def write(self, text):
            if calls[1:]:
                raise BrokenPipeError(errno.EPIPE, "Broken pipe")
            return super().write(text)

    monkeypatch.setattr(batch, "analyse_file", lambda task: calls.append(task) or fake_result(task))
    monkeypatch.setattr(sys, "stdout", Pipe())
    status = main(["segment", *[f"f{i}.wav" for i in range(10)], "-f", "json"])
    assert status == 141 and len(calls) == 2
    assert capsys.readouterr().err == ""


def test_head_1(song):
    files = [song(f"s{i}.wav") for i in range(4)]
    p = subprocess.Popen([sys.executable, "-m", "velmor", "segment", *files, *FAST],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert p.stdout.readline().startswith(files[0].encode())
    p.stdout.close()
    _, err = p.communicate()
    assert p.returncode == 141 and err == b""


def test_no_traceback_when_standard_streams_fail(song, tmp_path):
    path = song()
    status, out, err = velmor("segment", path, "-o", tmp_path / "r", *FAST, stdout=subprocess.DEVNULL)
    assert status == 0 and (tmp_path / "r" / "song.txt").exists()
    for argv, closed in [(["segment", path, *FAST], 1), (["demo", "--no-plot"], 1), (["segment", path, *FAST], 2)]:
        p = subprocess.run(["sh", "-c", f'exec "$@" {closed}>&-', "sh", sys.executable, "-m", "velmor", *argv],
                           stdout=subprocess.PIPE if closed == 2 else None, stderr=subprocess.PIPE if closed == 1 else None)
        if closed == 1:
            (line,) = lines(p.stderr.decode())
            assert p.returncode == 1 and "standard output is closed" in line
        else:  # nowhere to say anything: the results still come, and the status tells
            assert p.returncode == 0 and p.stdout.startswith(path.encode())
    # closed after start: Python made a stream on it, which must not take results to nowhere
    code = f"import os, sys; os.close(1); from velmor.cli import main; sys.exit(main({['segment', path, *FAST]!r}))"
    p = subprocess.run([sys.executable, "-c", code], stderr=subprocess.PIPE)
    (line,) = lines(p.stderr.decode())
    assert p.returncode == 1 and "standard output is closed" in line
    if os.path.exists("/dev/full"):
        with open("/dev/full", "wb") as full:
            p = subprocess.run([sys.executable, "-m", "velmor", "segment", path, *FAST], stdout=full,
                               stderr=subprocess.PIPE)
        (line,) = lines(p.stderr.decode())
        assert p.returncode == 1 and line == "velmor: cannot write to standard output: No space left on device"


def _read_only(monkeypatch, folder):
    """Refuse to create files in ``folder`` (chmod alone does not stop root)."""
    real = os.open

    def guarded(path, flags, *args, **kwargs):
        if os.path.dirname(os.path.abspath(path)) == str(folder) and flags & os.O_CREAT:
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        return real(path, flags, *args, **kwargs)

    monkeypatch.setattr(os, "open", guarded)


def _out_of_memory(*args, **kwargs):
    raise MemoryError("Unable to allocate 1.21 TiB for an array with shape (407040, 407040)")


@pytest.mark.parametrize("case", ["output below a file", "wav onto a folder", "plot into a read-only folder",
                                  "demo out of memory", "segment out of memory", "reference /dev/zero",
                                  "eval table to /dev/full"])
def test_faults_are_one_line_messages(capsys, song, tmp_path, monkeypatch, case):
    (tmp_path / "file").write_text("")
    (tmp_path / "folder").mkdir()
    fast = ["--method", "fused", "--kernel", "6s", "--neighbourhood", "6s"]
    argv, named, why = {
        "output below a file": (["segment", song(), "-o", tmp_path / "file" / "out"], "file/out", "Not a directory"),
        "wav onto a folder": (["demo", "--no-plot", "--wav", tmp_path / "folder"], "folder", "Is a directory"),
        "plot into a read-only folder": (["demo", "--plot", tmp_path / "folder" / "d.png"], "d.png",
                                         "Permission denied"),
        "demo out of memory": (["demo", "--no-plot", "--method", "classic", "--fft-len", "2"], "", "out of memory"),
        "segment out of memory": (["segment", song(), "--method", "classic", "--fft-len", "2"], "song.wav",
                                  "out of memory"),
        "reference /dev/zero": (["segment", song(), "--ref", "/dev/zero", *fast], "/dev/zero", "not a regular file"),
        "eval table to /dev/full": (["eval", tmp_path / "e.lab", "--ref", tmp_path / "e.lab", "-o", "/dev/full",
                                     "-q"], "/dev/full", "No space left on device"),
    }[case]
    (tmp_path / "e.lab").write_text("0 8 A\n8 16 B\n")
    if case.startswith("eval"):
        pytest.importorskip("mir_eval")
    if case == "plot into a read-only folder":
        _read_only(monkeypatch, tmp_path / "folder")
    if "memory" in case:
        monkeypatch.setattr("velmor.api.analyze", _out_of_memory)
    if "/dev/" in case and not os.path.exists(case.split()[-1]):
        pytest.skip(f"no {case.split()[-1]}")
    status, _, err = run(capsys, *argv)
    assert status == 1
    (line, *summary) = lines(err)
    assert line.startswith("velmor") and named in line and why in line
    assert all(s.startswith("velmor: 1 file: 0 done") for s in summary)


def test_demo_makes_the_folder_of_its_wav(capsys, tmp_path):
    status, out, _ = run(capsys, "demo", "--no-plot", "--wav", tmp_path / "new" / "deeper" / "demo.wav")
    assert status == 0 and sorted(os.listdir(tmp_path / "new" / "deeper")) == ["demo.lab", "demo.wav"]


# ---------------------------------------------------------------- unclear or wrong before

def test_a_threshold_of_one_is_refused(capsys, song):
    with pytest.raises(SystemExit) as exc:
        main(["segment", song(), "--method", "classic", "--threshold", "1"])
    assert exc.value.code == 2 and "below 1" in capsys.readouterr().err
    from velmor.cli import Params, analyse_signal

    with pytest.raises(ValueError, match="below 1"):
        analyse_signal(two_sections(22050), Params(method="classic", threshold=1.0))


def test_warnings_about_the_input(capsys, song, tmp_path):
    path = song()
    ref = tmp_path / "ref.lab"
    ref.write_text("8 16 B\n0 8 A\n")
    cut = tmp_path / "cut.wav"
    data = Path(path).read_bytes()
    cut.write_bytes(data[: len(data) * 3 // 4])  # the header still promises 16 seconds
    status, out, err = run(capsys, "segment", path, cut, "--ref", ref, "--ref", ref, "-f", "json", *FAST,
                           "--kernel", "30s")
    assert status == 0
    first, second = json.loads(out)
    assert any("is longer than the audio (16 s)" in w for w in first["warnings"])
    assert any("ref.lab, line 2" in w for w in first["warnings"])
    assert any("stops at 12.0 s, but its header promises 16.0 s" in w for w in second["warnings"])
    assert len([ln for ln in lines(err) if "warning:" in ln]) == len(first["warnings"]) + len(second["warnings"])


def test_a_file_that_cannot_be_opened_says_why(capsys, song, monkeypatch):
    import velmor.audio as audio

    path = song()

    def refuse(name, *args, **kwargs):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), name)

    monkeypatch.setattr(audio, "open", refuse, raising=False)
    status, _, err = run(capsys, "segment", path)
    assert status == 1 and f"velmor: {path}: cannot open: permission denied" in lines(err)


def test_file_names_that_are_not_utf8(capsys, song, tmp_path):
    name = os.fsdecode(b"caf\xe9 \xff.wav")
    os.rename(song(), tmp_path / name)
    path = os.path.join(tmp_path, name)
    status, out, err = run(capsys, "segment", path, "-f", "json", *FAST)
    assert status == 0, err
    (result,) = json.loads(out)
    assert os.fsencode(result["file"]) == os.fsencode(path)
    status, _, _ = run(capsys, "segment", path, "-f", "lab", "-o", tmp_path / "r", *FAST)
    assert status == 0 and os.listdir(os.fsencode(tmp_path / "r")) == [b"caf\xe9 \xff.lab"]
    status, out, err = velmor("segment", os.fsencode(path), "-f", "csv", *FAST)  # bytes out as they came in
    assert status == 0 and out.splitlines()[1].startswith(os.fsencode(path) + b",1,"), err


def test_plot_into_a_folder_says_where(capsys, song, tmp_path):
    (tmp_path / "plots").mkdir()
    status, out, err = run(capsys, "segment", song("a.wav"), song("b.wav"), "--plot", tmp_path / "plots",
                           "-f", "json", "--dpi", "30", *FAST)
    assert status == 0, err
    for result in json.loads(out):
        assert result["plot"] == os.path.join(tmp_path, "plots", os.path.basename(result["file"])[:-4] + ".png")
        assert Path(result["plot"]).read_bytes()[:4] == b"\x89PNG"


def test_a_newline_in_a_file_name_keeps_lab_comments_one_line(capsys, song, tmp_path):
    files = [song("two\nlines.wav"), song("plain.wav")]
    status, out, err = run(capsys, "segment", *files, "-f", "lab", *FAST)
    assert status == 0, err
    comments = [ln for ln in out.splitlines() if ln.startswith("#")]
    assert comments == [f"# {tmp_path}/two\\nlines.wav", f"# {tmp_path}/plain.wav"]
    assert all(len(ln.split("\t")) == 3 for ln in out.splitlines() if not ln.startswith("#"))


@pytest.mark.parametrize("fmt", ["WAV", "FLAC"])
def test_standard_input(capsys, song, tmp_path, monkeypatch, fmt):
    sf = pytest.importorskip("soundfile")
    path = str(tmp_path / f"song.{fmt.lower()}")
    sf.write(path, two_sections(44100), 44100, format=fmt)
    _, by_name, _ = run(capsys, "segment", path, "-f", "json", *FAST)

    class Stdin:
        buffer = io.BytesIO(Path(path).read_bytes())

        def isatty(self):
            return False

    monkeypatch.setattr(sys, "stdin", Stdin())
    status, out, err = run(capsys, "segment", "-", "-f", "json", *FAST)
    assert status == 0, err
    (result,) = json.loads(out)
    assert result["file"] == "-" and result["boundaries"] == json.loads(by_name)[0]["boundaries"]


def test_standard_input_through_a_pipe(song, tmp_path):
    path = song()
    status, out, err = velmor("segment", "-", "-f", "csv", "-o", tmp_path, *FAST, input=Path(path).read_bytes())
    assert status == 0, err
    assert (tmp_path / "stdin.csv").read_text().splitlines()[1].startswith("-,1,")
