"""A user's script, checked by mypy --strict and pyright --strict (make typecheck) and run by the tests.

Everything at module level is correct, and every assert_type states what both checkers must
infer. The calls in wrong_calls() are mistakes that a checker must report: each line carries one
ignore comment per checker naming the error it expects, and both checkers are set to report an
ignore comment that no error needed, so a mistake that goes unreported fails the check.
"""

from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import velmor
import velmor.unit7 as u7
from velmor import analysis, features, unit4
from velmor.annotations import Annotation, as_annotation
from velmor.cli import Duration, Params, analyse_signal

fs = 22050
t = np.arange(4 * fs) / fs
signal = np.concatenate([np.sin(2 * np.pi * 261.6 * t), np.sin(2 * np.pi * 370.0 * t)])

# The road of one analysis: SSM, novelty, peaks, scores.
ssm, ff = u7.audio_to_ssm(signal, 11, 5)
assert_type(ssm, NDArray[np.float64])
assert_type(ff, float)
novelty = u7.diagonal_novelty(ssm, 8)
assert_type(novelty, NDArray[np.float64])
peaks = u7.find_region_peaks(novelty, 5)
assert_type(peaks, NDArray[np.intp] | NDArray[np.float64])
if len(peaks):  # with no peak the result is an empty float64 array, which cannot index
    heights = novelty[peaks.astype(np.intp)]
    assert_type(heights, NDArray[np.float64])
seconds = peaks / ff

est, ref = np.array([1.0, 5.0, 9.0], dtype=np.float64), np.array([1.2, 9.3], dtype=np.float64)
P, R, F = u7.calc_prf(est, ref, 0.5)
assert_type(P, float)
est_pos, est_neg, ref_pos, ref_neg = u7.pos_neg_split(est.astype(np.float32), ref, 0.5)
assert_type(est_pos, NDArray[np.float32])
assert_type(ref_neg, NDArray[np.float64])

# Conditioning keeps a float32 matrix in float32; integer input becomes float64.
assert_type(u7.thresh_and_scale(ssm.astype(np.float32), 0.5), NDArray[np.float32])
assert_type(u7.thresh_and_scale(np.eye(3, dtype=np.int64), 0), NDArray[np.float64])
assert_type(u7.make_ssm(np.ones((12, 5), dtype=np.float32)), NDArray[np.float32])
smooth = u7.diagonal_smoothing(ssm, np.int64(3))  # numpy integers are lengths too
lag = u7.make_lag_matrix(u7.thresh_and_scale(smooth, 0.2))
assert_type(u7.column_derivative(lag, 4), NDArray[np.float64])
kernel = u7.make_checkerboard(8, gaussian=False) * u7.make_2d_gaussian(8, eps=2.0)
assert_type(u7.diagonal_slide(ssm, kernel), NDArray[np.float64])
assert_type(u7.make_derivative_kernel(rows=2, k_len=4), NDArray[np.float64])

# The front end.
chroma = unit4.make_chromagram(signal, fs, 4096, 2048, tuning=0.0)
assert_type(chroma, NDArray[np.float64])
assert_type(unit4.cens(chroma, 41, 10), NDArray[np.float64])
S = features.spectrogram(signal, fs, n_fft=2048, hop_length=1024)
assert_type(S, features.Spectrogram)
assert_type(S.times, NDArray[np.float64])
assert_type(features.estimate_tuning(S), float)
assert_type(features.chroma(S, pitch_range=(36, 84)), NDArray[np.float64])
assert_type(features.mfcc(features.log_mel(S, n_mels=64), n_mfcc=13), NDArray[np.float64])
assert_type(features.onset_strength(S), NDArray[np.float64])

# The one call: a Structure, and its scores against a reference.
song = np.concatenate([signal, signal[: 2 * fs], signal])
s = velmor.analyze(song, sr=fs, n_segments=3)
assert_type(s, velmor.Structure)
assert_type(s.boundaries, NDArray[np.float64])
assert_type(s.labels, tuple[str, ...])
assert_type(s.segments, tuple[tuple[float, float, str], ...])
assert_type(s.to_lab(), str)
assert_type(s.ssm, NDArray[np.floating[Any]] | None)
for start, end, label in s.segments:
    print(f"{start:6.2f} {end:6.2f} {label}")
reference = [(0.0, 8.0, "A"), (8.0, 10.0, "B"), (10.0, 18.0, "A")]
scores = velmor.evaluate(s, reference, tolerances=(0.5, 3.0))
assert_type(scores, dict[str, float])
assert_type(velmor.evaluate(np.array([8.1]), np.array([8.0, 10.0])), dict[str, float])
assert_type(as_annotation("reference.lab" if False else reference), Annotation)
seg = analysis.segment(song, fs, "fused", kernel=8.0)
assert_type(seg, analysis.Segmentation)
assert_type(analysis.METHODS["fused"](song, fs), NDArray[np.float64])
assert_type(analysis.select_peaks(seg.novelty, seg.rate), NDArray[np.intp])

# The command line's pipeline from Python.
params = Params(method="classic", kernel=Duration(8.0))
classic = analyse_signal(signal, params)
assert_type(classic.boundaries, NDArray[np.float64])
assert_type(params.frames()["kernel"], int)
assert_type(Duration.parse("750ms").frames(classic.feature_rate, parity="odd"), int)


def wrong_calls() -> None:
    """Each of these fails at run time, and each checker reports it."""
    u7.diagonal_novelty(ssm=ssm, cb_len="twelve")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    complex_ssm = ssm.astype(np.complex128)
    u7.diagonal_novelty(complex_ssm, 4)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    u7.calc_prf([1.0], [1.2], 0.5)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    u7.thresh_and_scale(ssm, "0.5")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    u7.diagonal_slide(ssm)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    u7.make_ssm(f=ssm, g=1)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    u7.audio_to_ssm(signal, 41, 10, 4096, 2048)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    prf: float = u7.calc_prf(est, ref, 0.5)  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    index: NDArray[np.intp] = u7.find_region_peaks(novelty, 5)  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    unit4.cens(chroma, 41.0, 10)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    features.spectrogram(signal, fs, 4096)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    features.mfcc(S, n_mfcc="13")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    velmor.analyze(song, sr="22050")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    velmor.analyze(song, fs, n_segments=3.5)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    s.boundaries = np.zeros(1)  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue]
    velmor.evaluate(s, reference, tolerances=0.5)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    label: int = s.labels[0]  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    analyse_signal(signal, "classic")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    Duration.parse("8s").frames("10")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    print(prf, index, label)
