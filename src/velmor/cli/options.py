"""Analysis parameters of the command line, and the argparse types that read them.

Lengths that a listener thinks of in seconds (the checkerboard kernel, the peak
neighbourhood, the diagonal smoothing, the edge margin) are given as *durations*:

- ``8`` or ``8s`` — eight seconds,
- ``750ms`` — 0.75 seconds,
- ``16f`` — sixteen feature frames, exactly.

Seconds are turned into frames with the feature rate ``ff`` of the analysis
(``22050 / (fft_len // 2) / cens_ds`` frames per second), rounding to the nearest
frame; the checkerboard kernel is rounded to the nearest even number of frames and the
peak neighbourhood (a window centred on the peak) to the nearest odd number.
"""

import argparse
import dataclasses
import re

FS = 22050
"""The sample rate velmor analyses at; other rates are resampled to it."""

_DURATION = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s|f)?\s*$")


@dataclasses.dataclass(frozen=True)
class Duration:
    """A length in seconds (``unit == "s"``) or in feature frames (``unit == "f"``)."""

    value: float
    unit: str = "s"

    @classmethod
    def parse(cls, text):
        """Read ``"8"``, ``"8s"``, ``"750ms"`` or ``"16f"``; raise ValueError for anything else."""
        m = _DURATION.match(str(text))
        if not m:
            raise ValueError(f"not a duration: {text!r} (write e.g. 8s, 750ms or 16f)")
        number, unit = m.group(1), m.group(2) or "s"
        if unit == "f":
            if "." in number:
                raise ValueError(f"a number of frames must be whole: {text!r}")
            value = int(number)
        else:
            value = float(number) / (1000.0 if unit == "ms" else 1.0)
            unit = "s"
        if value <= 0:
            raise ValueError(f"a duration must be positive: {text!r}")
        return cls(value, unit)

    def frames(self, ff, parity=None):
        """The length in whole frames at feature rate ``ff``: the nearest one that is at least 1,
        or with ``parity="even"`` the nearest even one (at least 2), with ``"odd"`` the nearest
        odd one. A length given in frames is returned as it is."""
        if self.unit == "f":
            return int(self.value)
        x = self.value * ff
        if parity == "even":
            return max(2, 2 * round(x / 2))
        if parity == "odd":
            return max(1, 2 * round((x - 1) / 2) + 1)
        return max(1, round(x))

    def __str__(self):
        if self.unit == "f":
            return f"{int(self.value)}f"
        return f"{self.value:g}s"


@dataclasses.dataclass(frozen=True)
class Params:
    """Everything that decides the result of an analysis, with the defaults the CLI uses."""

    fft_len: int = 4096
    cens_filter: int = 21
    cens_ds: int = 5
    kernel: Duration = Duration(12.0)
    neighbourhood: Duration = Duration(10.0)
    smooth: Duration | None = None
    threshold: float | None = None
    min_height: float = 0.1
    margin: Duration | None = None

    @property
    def feature_rate(self):
        """Feature frames per second of the CENS SSM."""
        return FS / (self.fft_len // 2) / self.cens_ds

    def frames(self):
        """The frame lengths used for this feature rate, as a dict."""
        ff = self.feature_rate
        kernel = self.kernel.frames(ff, parity="even")
        return {
            "kernel": kernel,
            "neighbourhood": self.neighbourhood.frames(ff, parity="odd"),
            "smooth": None if self.smooth is None else self.smooth.frames(ff),
            "margin": kernel // 2 if self.margin is None else self.margin.frames(ff),
        }

    def describe(self):
        """A JSON-ready summary: the values as given and the frames they come to."""
        return {
            "fft_len": self.fft_len,
            "cens_filter": self.cens_filter,
            "cens_ds": self.cens_ds,
            "feature_rate": self.feature_rate,
            "kernel": str(self.kernel),
            "neighbourhood": str(self.neighbourhood),
            "smooth": None if self.smooth is None else str(self.smooth),
            "threshold": self.threshold,
            "min_height": self.min_height,
            "margin": None if self.margin is None else str(self.margin),
            "frames": self.frames(),
        }


# argparse types: each raises ArgumentTypeError, so a bad value gives a usage message and exit 2.

def duration(text):
    try:
        return Duration.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def seconds(text):
    """A positive time in seconds (``0.5``, ``3s`` or ``500ms``); frames are not allowed here."""
    d = duration(text)
    if d.unit == "f":
        raise argparse.ArgumentTypeError(f"give a tolerance in seconds, not frames: {text!r}")
    return d.value


def _number(text, kind, low, high=None, low_open=False):
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not {'an integer' if kind is int else 'a number'}: {text!r}") from None
    if value != value or (value <= low if low_open else value < low) or (high is not None and value > high):
        bound = f"> {low}" if low_open else f">= {low}"
        if high is not None:
            bound += f" and <= {high}"
        raise argparse.ArgumentTypeError(f"must be {bound}: {text!r}")
    return value


def positive_int(text):
    return _number(text, int, 1)


def non_negative_int(text):
    return _number(text, int, 0)


def fraction(text):
    """A number in [0, 1]."""
    return _number(text, float, 0.0, 1.0)


def fft_length(text):
    value = _number(text, int, 2)
    if value % 2:
        raise argparse.ArgumentTypeError(f"the FFT length must be even: {text!r}")
    return value


def add_analysis_arguments(parser, defaults=Params()):
    """The options shared by ``velmor segment`` and ``velmor demo``."""
    g = parser.add_argument_group(
        "analysis", "DUR is a duration: 8 or 8s (seconds), 750ms, or 16f (feature frames)")
    g.add_argument("-k", "--kernel", type=duration, default=defaults.kernel, metavar="DUR",
                   help="side of the checkerboard kernel (default %(default)s)")
    g.add_argument("-n", "--neighbourhood", "--neighborhood", type=duration,
                   default=defaults.neighbourhood, metavar="DUR",
                   help="a novelty peak must be the largest value in a window of this length "
                        "centred on it (default %(default)s)")
    g.add_argument("--smooth", type=duration, default=defaults.smooth, metavar="DUR",
                   help="average the SSM along its diagonals over this length first (default: off)")
    g.add_argument("--threshold", type=fraction, default=defaults.threshold, metavar="TAU",
                   help="set SSM values below TAU (0..1) to 0 and stretch the rest to 0..1 (default: off)")
    g.add_argument("--min-height", type=fraction, default=defaults.min_height, metavar="FRAC",
                   help="ignore peaks lower than FRAC times the highest novelty value (default %(default)s)")
    g.add_argument("--margin", type=duration, default=defaults.margin, metavar="DUR",
                   help="ignore peaks this close to the start or end (default: half the kernel)")
    g.add_argument("--cens-filter", type=positive_int, default=defaults.cens_filter, metavar="N",
                   help="CENS smoothing window, in chroma frames (default %(default)s)")
    g.add_argument("--cens-ds", type=positive_int, default=defaults.cens_ds, metavar="N",
                   help="CENS downsampling factor (default %(default)s)")
    g.add_argument("--fft-len", type=fft_length, default=defaults.fft_len, metavar="N",
                   help="FFT length in samples; the hop is half of it (default %(default)s)")


def params_from_args(args):
    return Params(fft_len=args.fft_len, cens_filter=args.cens_filter, cens_ds=args.cens_ds,
                  kernel=args.kernel, neighbourhood=args.neighbourhood, smooth=args.smooth,
                  threshold=args.threshold, min_height=args.min_height, margin=args.margin)
