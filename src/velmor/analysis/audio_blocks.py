"""Features of an audio file read a block at a time, so that hours of audio never sit in memory.

    file_features      the raw features (:class:`velmor.analysis.frontend.RawFeatures`) of a file
    file_info          sample rate, channels and duration of a file (:func:`velmor.audio.file_info`)

:func:`velmor.audio.blocks` reads the file a block at a time, mixed to mono and resampled to
:data:`ANALYSIS_SR`; here each block is cut into whole spectrogram frames, and the samples a
frame shares with the next block wait for it. The features of each block's frames are the
features of those frames in the whole signal: chroma with one tuning for the whole file, and the
mel energies kept until the end, where the log-mel spectrogram is taken relative to the file's
loudest value, as :func:`velmor.features.log_mel` does, and turned into MFCCs. The tuning is
estimated from excerpts spread over the file, read first (all of it for files of up to
``tuning_seconds``).

Memory: a block of samples (a few of its copies), the features at the spectrogram's rate and the
mel energies (128 float32 values a frame, 0.7 MB a minute at the default hop), whatever the length
of the file.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np

from velmor import audio, features
from velmor.audio import ANALYSIS_SR
from velmor.audio import file_info as file_info
from velmor.features import Float64, Floats

from .frontend import FEATURES, RawFeatures

if TYPE_CHECKING:
    import scipy.sparse

N_MELS = 128


def _excerpt_tuning(path: str | os.PathLike[str], n_fft: int, hop_length: int, tuning_seconds: float,
                    excerpts: int = 16) -> float:
    """The tuning of the whole file (up to ``tuning_seconds``), or of excerpts spread over it."""
    mags = [features.spectrogram(y, ANALYSIS_SR, n_fft=n_fft, hop_length=hop_length).magnitude
            for y in audio.excerpts(path, tuning_seconds, excerpts) if y.size and np.all(np.isfinite(y))]
    if not mags:
        return 0.0
    mag = np.ascontiguousarray(np.hstack(mags))
    mag.flags.writeable = False
    return features.estimate_tuning(features.Spectrogram(mag, ANALYSIS_SR, n_fft, hop_length))


def file_features(path: str | os.PathLike[str], names: Iterable[str], *, n_fft: int = 4096, hop_length: int = 1024,
                  n_mfcc: int = 20, block_seconds: float = 30.0, tuning_seconds: float = 600.0,
                  tuning: float | None = None) -> tuple[RawFeatures, dict[str, Any]]:
    """The raw features of an audio file, read and computed a block at a time.

    Parameters
    ----------
    path : str or os.PathLike
        Any file libsndfile reads (through soundfile).
    names : iterable of str
        Features, as for :func:`velmor.analysis.frontend.raw_features`.
    n_fft, hop_length, n_mfcc : int
        As for :func:`velmor.analysis.frontend.raw_features`.
    block_seconds : float
        Audio read at once, in seconds of the file.
    tuning_seconds : float
        Audio the tuning is estimated from: the whole file up to this length, else this much in
        excerpts spread over it.
    tuning : float or None
        The tuning in cents, if known (then nothing is read for it).

    Returns
    -------
    raw : RawFeatures
        Equal to ``raw_features(signal, sr, names, ...)`` of the whole decoded signal (within the
        rounding of resampling in blocks), with the tuning as estimated here.
    info : dict
        :func:`file_info` of the file, with ``"tuning"`` (None when no chroma was asked for).
    """
    names = tuple(names)
    unknown = [n for n in names if n not in FEATURES]
    if unknown or not names:
        raise ValueError(f"features must be a non-empty choice of {', '.join(FEATURES)}; got {names!r}")
    if not (block_seconds > 0 and tuning_seconds > 0):
        raise ValueError("block_seconds and tuning_seconds must be positive")
    info = file_info(path)
    if info["frames"] == 0:
        raise ValueError("the file holds no audio samples")
    want_chroma = "chroma" in names or "cens" in names
    if want_chroma and tuning is None:
        tuning = _excerpt_tuning(path, n_fft, hop_length, tuning_seconds)
    info["tuning"] = tuning if want_chroma else None

    mel_bank: scipy.sparse.csr_array | None = None
    mel: list[Floats] = []
    chroma: list[Float64] = []
    carry: Float64 = np.zeros(0)
    done = samples = 0  # frames computed, samples at ANALYSIS_SR seen

    def frames_of(y: Float64) -> int:
        """Append the features of the frames of ``y``.

        Parameters
        ----------
        y : np.ndarray [shape=(m,)]
            Samples at the analysis rate.

        Returns
        -------
        int
            Frames computed.
        """
        nonlocal mel_bank
        S = features.spectrogram(y, ANALYSIS_SR, n_fft=n_fft, hop_length=hop_length)
        if "mfcc" in names:
            if mel_bank is None:
                mel_bank = features._mel_filterbank(ANALYSIS_SR, n_fft, N_MELS, 0.0, ANALYSIS_SR / 2.0,
                                                    S.magnitude.dtype)
            mel.append(mel_bank @ S.power())  # in the spectrogram's precision, as log_mel computes it
        if want_chroma:
            chroma.append(features.chroma(S, tuning=tuning))
        return S.n_frames

    for y in audio.blocks(path, block_seconds, min_samples=n_fft):
        samples += y.size
        carry = np.concatenate([carry, y]) if carry.size else y
        del y
        whole = 0 if carry.size < n_fft else 1 + (carry.size - n_fft) // hop_length
        if whole:
            done += frames_of(carry[:(whole - 1) * hop_length + n_fft])
            carry = carry[whole * hop_length:].copy()
    # The frames that reach past the end, zero-padded as features.spectrogram pads them; none when
    # the last whole frame already reached the end.
    total = 1 + max(0, -(-(samples - n_fft) // hop_length))
    if total > done:
        frames_of(carry)
    del carry

    raw: dict[str, Float64] = {}
    if "mfcc" in names:
        raw["mfcc"] = _mfcc(mel, n_mfcc)
    if want_chroma:
        raw["chroma"] = np.hstack(chroma)
    return RawFeatures(raw, hop_length, n_fft, samples / ANALYSIS_SR), info


def _mfcc(mel: list[Floats], n_mfcc: int, top_db: float = 80.0, chunk: int = 1 << 15) -> Float64:
    """MFCCs 1 .. n_mfcc - 1 of mel energies in blocks, their log taken relative to the loudest
    value of all, as features.log_mel does; computed a chunk of frames at a time."""
    top = max((float(m.max()) for m in mel if m.size), default=0.0)
    n = sum(m.shape[1] for m in mel)
    out = np.empty((n_mfcc - 1, n))
    at = 0
    while mel:
        m = mel.pop(0)
        for s in range(0, m.shape[1], chunk):
            part = m[:, s:s + chunk]
            log = features._decibels(part, top, top_db)
            out[:, at:at + part.shape[1]] = features.mfcc(log, n_mfcc=n_mfcc)[1:]
            at += part.shape[1]
    return out
