"""velmor.evaluate and velmor eval: both hit-rate conventions, mir_eval's scores, pairing of files."""

import json
import os
import warnings

import numpy as np
import pytest

import velmor
from velmor.annotations import Annotation, as_annotation, find_annotation, read_annotation
from velmor.cli import main

mir_eval = pytest.importorskip("mir_eval")


def random_lab(rng, duration=120.0, count=None, letters="ABCD"):
    count = rng.integers(2, 9) if count is None else count
    inner = np.sort(rng.uniform(1.0, duration - 1.0, count))
    edges = np.concatenate([[0.0], inner, [duration]])
    labels = [letters[i] for i in rng.integers(0, len(letters), len(edges) - 1)]
    return "".join(f"{s:.3f}\t{e:.3f}\t{lab}\n" for s, e, lab in zip(edges, edges[1:], labels))


def write_pairs(tmp_path, rng, n=4):
    est_dir, ref_dir = tmp_path / "est", tmp_path / "ref"
    est_dir.mkdir()
    ref_dir.mkdir()
    for i in range(n):
        ref = random_lab(rng)
        (ref_dir / f"piece{i}.lab").write_text(ref)
        # an estimate near the reference: some boundaries moved, one added, labels permuted
        rows = [ln.split("\t") for ln in ref.splitlines()]
        edges = [float(r[0]) for r in rows[1:]]
        moved = [e + rng.choice([-1, 1]) * rng.choice([0.2, 0.5, 1.0, 2.9, 3.0, 5.0]) for e in edges]
        moved = sorted(set(round(m, 3) for m in moved + [float(rng.uniform(5, 115))]))
        edges = [0.0, *[m for m in moved if 0 < m < 120], 120.0]
        labels = [chr(ord("A") + int(k)) for k in rng.integers(0, 3, len(edges) - 1)]
        (est_dir / f"piece{i}.lab").write_text(
            "".join(f"{s:.3f}\t{e:.3f}\t{lab}\n" for s, e, lab in zip(edges, edges[1:], labels)))
    return est_dir, ref_dir


MIR_EVAL_NAMES = {
    "mir_eval P@0.5": "Precision@0.5", "mir_eval R@0.5": "Recall@0.5", "mir_eval F@0.5": "F-measure@0.5",
    "mir_eval P@3": "Precision@3.0", "mir_eval R@3": "Recall@3.0", "mir_eval F@3": "F-measure@3.0",
    "ref-to-est deviation": "Ref-to-est deviation", "est-to-ref deviation": "Est-to-ref deviation",
    "pairwise P": "Pairwise Precision", "pairwise R": "Pairwise Recall", "pairwise F": "Pairwise F-measure",
    "NCE over": "NCE Over", "NCE under": "NCE Under", "NCE F": "NCE F-measure",
}


def test_velmor_eval_gives_mir_evals_numbers(tmp_path, rng, capsys):
    est_dir, ref_dir = write_pairs(tmp_path, rng)
    status = main(["eval", str(est_dir), "--ref", str(ref_dir), "-f", "json", "-q"])
    out = json.loads(capsys.readouterr().out)
    assert status == 0 and out["count"] == 4 and out["unpaired"] == []
    for row in out["files"]:
        ref_int, ref_lab = mir_eval.io.load_labeled_intervals(row["reference"])
        est_int, est_lab = mir_eval.io.load_labeled_intervals(row["file"])
        expected = mir_eval.segment.evaluate(ref_int, ref_lab, est_int, est_lab, trim=True)
        for ours, theirs in MIR_EVAL_NAMES.items():
            assert row["scores"][ours] == pytest.approx(expected[theirs], nan_ok=True), ours
        for tau in ("0.5", "3"):
            est = read_annotation(row["file"]).boundaries
            ref = read_annotation(row["reference"]).boundaries
            p, r, f = velmor.unit7.calc_prf(est, ref, float(tau))
            assert row["scores"][f"calc_prf F@{tau}"] == pytest.approx(f)
    means = out["mean"]
    assert means["pairwise F"] == pytest.approx(np.mean([r["scores"]["pairwise F"] for r in out["files"]]))


@pytest.mark.parametrize("offset, strict, inclusive", [(0.5, 0.0, 1.0), (0.49, 1.0, 1.0), (0.51, 0.0, 0.0)])
def test_the_two_conventions_differ_only_at_the_tolerance(offset, strict, inclusive):
    ref = [(0.0, 10.0, "A"), (10.0, 20.0, "B")]
    est = [(0.0, 10.0 + offset, "A"), (10.0 + offset, 20.0, "B")]
    s = velmor.evaluate(est, ref, tolerances=[0.5])
    assert (s["calc_prf F@0.5"], s["mir_eval F@0.5"]) == (strict, inclusive)
    assert s["pairwise F"] < 1.0 and s["ref-to-est deviation"] == pytest.approx(offset)


def test_labels_need_both_sides():
    s = velmor.evaluate([10.0, 20.0], [(0, 10, "A"), (10, 20, "B"), (20, 30, "A")])
    assert s["calc_prf F@3"] == 1.0 and np.isnan(s["pairwise F"]) and np.isnan(s["NCE F"])


def test_a_perfect_labelling_is_permutation_invariant():
    ref = [(0, 10, "verse"), (10, 25, "chorus"), (25, 35, "verse")]
    est = [(0, 10, "B"), (10, 25, "A"), (25, 35, "B")]
    s = velmor.evaluate(est, ref)
    assert s["pairwise F"] == pytest.approx(1.0) and s["NCE F"] == pytest.approx(1.0)


def random_segments(rng, duration, grid):
    """Segments from 0 to ``duration`` with labels of mixed case, their edges on the 0.1 s frame
    grid (where a frame falls on a boundary) or anywhere."""
    count = int(rng.integers(1, 12))
    inner = rng.uniform(0, duration, count - 1)
    if grid:
        inner = np.round(inner, 1)
    edges = np.unique(np.concatenate([[0.0], inner[(inner > 0) & (inner < duration)], [duration]]))
    labels = [str(rng.choice(["A", "a", "B", "chorus", "None", "x"])) for _ in edges[1:]]
    return np.stack([edges[:-1], edges[1:]], axis=1), labels


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("duration", [0.05, 0.3, 7.3, 95.0, 250.0])
@pytest.mark.parametrize("grid", [True, False])
def test_label_scores_are_mir_evals_from_segment_overlaps(seed, duration, grid):
    from velmor.evaluation import label_scores

    rng = np.random.default_rng(seed)
    (ref_int, ref_lab), (est_int, est_lab) = random_segments(rng, duration, grid), random_segments(rng, duration, grid)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = [*mir_eval.segment.pairwise(ref_int, ref_lab, est_int, est_lab),
                    *mir_eval.segment.nce(ref_int, ref_lab, est_int, est_lab)]
    got = label_scores(ref_int, ref_lab, est_int, est_lab)
    np.testing.assert_allclose(list(got.values()), expected, rtol=1e-12, atol=1e-12, equal_nan=True)


@pytest.mark.parametrize("reference", ["0 40 A\n40 1000000 B\n", "0 3600 A\n", "".join(
    f"{60 * i} {60 * i + 60} {'ABCD'[i % 4]}\n" for i in range(60))])
def test_label_scores_take_memory_of_the_segments_not_of_the_duration(tmp_path, reference):
    # mir_eval's frame-pair matrices would take 90.9 TiB for the first (10**7 frames) and 1.3 GB
    # for the others.
    import tracemalloc

    (tmp_path / "ref.lab").write_text(reference)
    ref = read_annotation(tmp_path / "ref.lab")  # (reading takes a buffer of the file size cap)
    end = float(reference.split()[-2])
    estimate = [(0.0, end / 3, "A"), (end / 3, end / 2, "B"), (end / 2, end, "A")]
    velmor.evaluate(estimate, ref)  # imports done
    tracemalloc.start()
    try:
        s = velmor.evaluate(estimate, ref)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20 and 0 < s["pairwise F"] <= 1 and 0 <= s["NCE F"] <= 1


@pytest.mark.parametrize("names, found", [
    (["song.lab", "song.txt", "song.jams"], "song.lab"),
    (["song.txt", "song.jams"], "song.txt"),
    (["song.jams", "song.segments.lab"], "song.jams"),
    (["song.segments.lab", "song.beats.lab", "other.lab"], "song.beats.lab"),
    (["songs.lab", "song.wav", "song.x.txt"], None),
])
def test_find_annotation(tmp_path, names, found):
    for n in names:
        (tmp_path / n).write_text("1\n")
    got = find_annotation(tmp_path, "song")
    assert (None if got is None else os.path.basename(got)) == found


def test_eval_names_the_files_it_cannot_pair(tmp_path, rng, capsys):
    est_dir, ref_dir = write_pairs(tmp_path, rng, n=3)
    os.rename(ref_dir / "piece0.lab", ref_dir / "piece0.segments.lab")
    os.remove(ref_dir / "piece2.lab")
    status = main(["eval", str(est_dir), "--ref", str(ref_dir)])
    out, err = capsys.readouterr()
    assert status == 1
    assert "piece2.lab: no reference found" in err and "2 scored, 1 without a reference" in err
    rows = [ln.split()[0] for ln in out.splitlines() if ln.strip()]
    assert rows[:3] == ["file", "piece0.lab", "piece1.lab"] and "mean" in rows


@pytest.mark.parametrize("failure, message", [(MemoryError(), "out of memory"), (RuntimeError("boom"), "RuntimeError: boom"),
                                              (ZeroDivisionError(), "ZeroDivisionError")])
@pytest.mark.parametrize("fmt", ["text", "json"])
def test_eval_reports_a_file_that_fails_and_scores_the_rest(tmp_path, rng, capsys, monkeypatch, failure, message, fmt):
    from velmor import evaluation

    est_dir, ref_dir = write_pairs(tmp_path, rng, n=3)
    real = evaluation.evaluate

    def failing(result, reference, **kwargs):
        if os.path.basename(result) == "piece1.lab":
            raise failure
        return real(result, reference, **kwargs)

    monkeypatch.setattr(evaluation, "evaluate", failing)
    out = tmp_path / "scores.out"
    status = main(["eval", str(est_dir), "--ref", str(ref_dir), "-f", fmt, "-o", str(out)])
    err = capsys.readouterr().err
    assert status == 1 and f"piece1.lab: {message}" in err and "2 scored, 0 without a reference, 1 failed" in err
    text = out.read_text()
    if fmt == "json":
        files = json.loads(text)["files"]
        assert [("scores" in f, f.get("error")) for f in files] == [(True, None), (False, message), (True, None)]
    else:
        rows = {ln.split()[0]: ln.split()[1:] for ln in text.splitlines() if ln.startswith(("piece", "mean"))}
        assert set(rows["piece1.lab"]) == {"error"} and "error" not in rows["piece0.lab"] + rows["mean"]


def test_eval_csv_and_references_in_order(tmp_path, rng, capsys):
    est_dir, ref_dir = write_pairs(tmp_path, rng, n=2)
    ests = [str(est_dir / "piece0.lab"), str(est_dir / "piece1.lab")]
    refs = [str(ref_dir / "piece1.lab"), str(ref_dir / "piece0.lab")]  # deliberately crossed
    status = main(["eval", *ests, "-r", refs[0], "-r", refs[1], "-f", "csv", "-t", "1", "-q"])
    lines = capsys.readouterr().out.splitlines()
    assert status == 0 and lines[0].startswith("file,reference,calc_prf P@1,")
    assert [ln.split(",")[1] for ln in lines[1:3]] == refs and lines[3].startswith("mean,")


def test_eval_usage_errors(tmp_path, capsys):
    (tmp_path / "a.lab").write_text("0 5 A\n5 9 B\n")
    with pytest.raises(SystemExit) as exc:
        main(["eval", str(tmp_path / "a.lab"), "-r", "x.lab", "-r", "y.lab"])
    assert exc.value.code == 2 and "one per result" in capsys.readouterr().err


@pytest.mark.parametrize("obj", [
    [12.0, 3.0], np.array([3.0, 12.0]), [(0, 3, "A"), (3, 12, "B"), (12, 20, "A")],
    Annotation.from_segments([(3, 12, "B"), (0, 3, "A"), (12, 20, "A")]),
])
def test_annotations_from_anything(obj):
    assert as_annotation(obj).boundaries.tolist() == [3.0, 12.0]


def test_a_velmor_json_result_is_an_annotation(tmp_path):
    path = tmp_path / "r.json"
    path.write_text(json.dumps([{"file": "x.wav", "boundaries": [4.0], "duration": 9.0, "labels": ["A", "B"]}]))
    a = read_annotation(path)
    assert a.intervals.tolist() == [[0.0, 4.0], [4.0, 9.0]] and a.labels == ("A", "B")
