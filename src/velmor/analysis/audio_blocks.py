"""Features of an audio file read a block at a time, so that hours of audio never sit in memory.

    file_info          sample rate, channels and duration of a file, without reading its samples
    file_features      the raw features (:class:`velmor.analysis.frontend.RawFeatures`) of a file

A block of the file is read, averaged to mono, resampled to :data:`ANALYSIS_SR` (a soxr stream
that carries its state from block to block) and cut into whole spectrogram frames; the samples a
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

import numpy as np

from velmor import features

from .frontend import ANALYSIS_SR, FEATURES, RawFeatures

N_MELS = 128


def _soundfile():
    try:
        import soundfile
    except ImportError:
        raise ImportError("reading audio files needs the 'audio' extra: pip install 'velmor[audio]'") from None
    return soundfile


def _soxr():
    try:
        import soxr
    except ImportError:
        raise ImportError("resampling needs the 'audio' extra: pip install 'velmor[audio]'") from None
    return soxr


def file_info(path) -> dict:
    """``{"sample_rate", "channels", "frames", "duration"}`` of an audio file (its header only)."""
    info = _soundfile().info(os.fspath(path))
    return {"sample_rate": info.samplerate, "channels": info.channels, "frames": info.frames,
            "duration": info.frames / info.samplerate if info.samplerate else 0.0}


def _mono(data):
    """The mean of the channels (columns) of a block, as ``data.mean(axis=1)`` gives it, column by
    column (a reduction along rows of a few values each is many times slower)."""
    y = data[:, 0].copy()
    for c in range(1, data.shape[1]):
        y += data[:, c]
    if data.shape[1] > 1:
        y /= data.shape[1]
    return y


class _Mono:
    """A file's samples as mono float64 at ANALYSIS_SR, block by block. The next block is decoded
    in a second thread (libsndfile runs without the GIL) while the caller works on this one."""

    def __init__(self, f, block):
        self.f, self.block = f, block
        self.stream = None
        if f.samplerate != ANALYSIS_SR:
            self.stream = _soxr().ResampleStream(f.samplerate, ANALYSIS_SR, 1, dtype="float64", quality="HQ")

    def _read(self):
        data = self.f.read(self.block, dtype="float64", always_2d=True)
        return _mono(data) if data.shape[0] else np.zeros(0)

    def __iter__(self):
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(1) as reader:
            pending = reader.submit(self._read)
            while True:
                y = pending.result()
                last = y.size < self.block
                if not last:
                    pending = reader.submit(self._read)
                if not np.all(np.isfinite(y)):
                    raise ValueError("the audio contains non-finite samples")
                if self.stream is not None:
                    y = self.stream.resample_chunk(y, last=last)
                yield y
                if last:
                    return


def _excerpt_tuning(path, seconds, n_fft, hop_length, tuning_seconds, excerpts=16):
    """The tuning of the whole file (up to ``tuning_seconds``), or of excerpts spread over it."""
    sf = _soundfile()
    soxr = _soxr()
    with sf.SoundFile(os.fspath(path)) as f:
        rate, total = f.samplerate, f.frames
        if seconds <= tuning_seconds:
            spans = [(0, total)]
        else:
            length = int(tuning_seconds / excerpts * rate)
            spans = [(int(s), length) for s in np.linspace(0, total - length, excerpts)]
        mags = []
        for start, length in spans:
            f.seek(start)
            y = _mono(f.read(length, dtype="float64", always_2d=True))
            if rate != ANALYSIS_SR:
                y = soxr.resample(y, rate, ANALYSIS_SR, quality="HQ")
            if y.size and np.all(np.isfinite(y)):
                mags.append(features.spectrogram(y, ANALYSIS_SR, n_fft=n_fft, hop_length=hop_length).magnitude)
            del y
    if not mags:
        return 0.0
    mag = np.ascontiguousarray(np.hstack(mags))
    mag.flags.writeable = False
    return features.estimate_tuning(features.Spectrogram(mag, ANALYSIS_SR, n_fft, hop_length))


def file_features(path, names, *, n_fft=4096, hop_length=1024, n_mfcc=20, block_seconds=30.0,
                  tuning_seconds=600.0, tuning=None):
    """The raw features of an audio file, read and computed a block at a time.

    Parameters
    ----------
    path : str or os.PathLike
        Any file libsndfile reads (through soundfile).
    names : iterable of str
        Features, as for :func:`velmor.analysis.frontend.raw_features`.
    n_fft, hop_length, n_mfcc
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
        tuning = _excerpt_tuning(path, info["duration"], n_fft, hop_length, tuning_seconds)
    info["tuning"] = tuning if want_chroma else None

    sf = _soundfile()
    mel_bank = None
    mel, chroma = [], []
    carry = np.zeros(0)
    done = samples = 0  # frames computed, samples at ANALYSIS_SR seen

    def frames_of(y):
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

    with sf.SoundFile(os.fspath(path)) as f:
        block = max(n_fft, int(block_seconds * f.samplerate))
        for y in _Mono(f, block):
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

    raw = {}
    if "mfcc" in names:
        raw["mfcc"] = _mfcc(mel, n_mfcc)
    if want_chroma:
        raw["chroma"] = np.hstack(chroma)
    return RawFeatures(raw, hop_length, n_fft, samples / ANALYSIS_SR), info


def _mfcc(mel, n_mfcc, top_db=80.0, chunk=1 << 15):
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
