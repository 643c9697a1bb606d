"""A few real recordings without references, for speed and sanity.

The music of the game Frozen Bubble as Debian ships it (package ``frozen-bubble-data``, GPL-2,
see ``/usr/share/doc/frozen-bubble-data/copyright`` inside the package): three OGG tracks of
2 to 3.5 minutes. The package is fetched with ``apt-get download`` into the cache, unpacked
there, and each track is written as a 22050 Hz mono WAV file. Nothing is installed.
"""

import glob
import os
import subprocess
import sys

import numpy as np

PACKAGE = "frozen-bubble-data"
TRACKS = ["introzik.ogg", "frozen-mainzik-1p.ogg", "frozen-mainzik-2p.ogg"]
LICENCE = "GPL-2 (frozen-bubble-data, /usr/share/doc/frozen-bubble-data/copyright)"
FS = 22050


def fetch_real(cache, log=sys.stderr):
    """``[path]`` of the real recordings in ``cache/real``, fetching and converting what is missing.

    Returns an empty list (and says why) when the package cannot be had.
    """
    import soundfile as sf
    import soxr

    out = os.path.join(cache, "real")
    wavs = [os.path.join(out, os.path.splitext(t)[0] + ".wav") for t in TRACKS]
    if all(os.path.exists(w) for w in wavs):
        return wavs
    debs = os.path.join(out, "debs")
    os.makedirs(debs, exist_ok=True)
    if not glob.glob(os.path.join(debs, PACKAGE + "_*.deb")):
        r = subprocess.run(["apt-get", "download", PACKAGE], cwd=debs, capture_output=True, text=True)
        if r.returncode != 0:
            print(f"real recordings skipped: apt-get download {PACKAGE} failed: {r.stderr.strip()[-300:]}", file=log)
            return []
    deb = sorted(glob.glob(os.path.join(debs, PACKAGE + "_*.deb")))[-1]
    unpacked = os.path.join(debs, "x")
    subprocess.run(["dpkg", "-x", deb, unpacked], check=True)
    for track, wav in zip(TRACKS, wavs):
        src = os.path.join(unpacked, "usr/share/games/frozen-bubble/snd", track)
        x, rate = sf.read(src, dtype="float64", always_2d=True)
        y = x.mean(axis=1)
        if rate != FS:
            y = soxr.resample(y, rate, FS, quality="HQ")
        sf.write(wav, np.clip(y, -1, 1), FS, subtype="PCM_16")
    print(f"real recordings: {len(wavs)} tracks of {PACKAGE} ({LICENCE}) in {out}", file=log)
    return wavs
