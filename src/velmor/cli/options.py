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
import math
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


CLASSIC = "classic"
"""The method name of the ``velmor.unit7`` road: CENS, dot-product SSM, checkerboard, peaks."""

CLASSIC_ONLY = ("smooth", "threshold", "min_height", "cens_filter", "cens_ds", "fft_len")
"""Options that only the classic road reads."""


@dataclasses.dataclass(frozen=True)
class Params:
    """Everything that decides the result of an analysis, with the defaults the CLI uses.

    ``method`` names a method of :data:`velmor.analysis.METHODS` (``"default"`` is
    :data:`velmor.analysis.DEFAULT_METHOD`); ``features``, ``kernel``, ``neighbourhood`` (the
    peak spacing) and ``margin`` override its settings when given. The other fields belong to the
    classic road (``method="classic"``), whose kernel and neighbourhood default to 12 s and 10 s.
    """

    fft_len: int = 4096
    cens_filter: int = 21
    cens_ds: int = 5
    kernel: Duration | None = None
    neighbourhood: Duration | None = None
    smooth: Duration | None = None
    threshold: float | None = None
    min_height: float = 0.1
    margin: Duration | None = None
    method: str = "default"
    features: tuple | None = None
    max_memory: str | None = None

    def __post_init__(self):
        # lengths may be given as seconds (8, 2.5) or as text ("750ms", "16f") from Python too
        for name in ("kernel", "neighbourhood", "smooth", "margin"):
            value = getattr(self, name)
            if value is None or isinstance(value, Duration):
                continue
            if isinstance(value, str):
                value = Duration.parse(value)
            elif isinstance(value, (int, float)) and not isinstance(value, bool):
                if not (math.isfinite(value) and value > 0):
                    raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
                value = Duration(float(value))
            else:
                raise TypeError(f"{name} must be a duration (seconds, or text such as '750ms' or '16f'), "
                                f"got {value!r}")
            object.__setattr__(self, name, value)

    @property
    def is_classic(self):
        return self.resolved_method() == CLASSIC

    def resolved_method(self):
        from velmor.analysis import DEFAULT_METHOD

        return DEFAULT_METHOD if self.method == "default" else self.method

    def analysis_method(self):
        """The :class:`velmor.analysis.Method` these parameters describe (None for the classic road)."""
        from velmor.analysis import METHODS

        if self.is_classic:
            return None
        m = METHODS[self.resolved_method()]
        rate = FS / (m.hop_length * m.pool)

        def seconds(d):
            return d.value / rate if d.unit == "f" else d.value

        changes = {}
        if self.features is not None:
            changes["features"] = tuple(self.features)
            if m.weights is not None and len(m.weights) != len(changes["features"]):
                changes["weights"] = None
        if self.kernel is not None:
            changes["kernel"] = seconds(self.kernel)
        if self.neighbourhood is not None:
            changes["spacing"] = seconds(self.neighbourhood)
        if self.margin is not None:
            changes["margin"] = seconds(self.margin)
        return m.replace(**changes) if changes else m

    def analyze_options(self):
        """Keyword arguments of :func:`velmor.analyze` for these parameters (durations in seconds)."""
        m = self.analysis_method()
        if m is not None:
            return {"method": m}
        ff = self.feature_rate

        def seconds(d):
            return None if d is None else (d.value / ff if d.unit == "f" else d.value)

        return {"method": CLASSIC, "kernel": seconds(self.kernel), "neighbourhood": seconds(self.neighbourhood),
                "margin": seconds(self.margin), "smooth": seconds(self.smooth), "threshold": self.threshold,
                "min_height": self.min_height, "cens_filter": self.cens_filter, "cens_ds": self.cens_ds,
                "fft_len": self.fft_len}

    @property
    def feature_rate(self):
        """Analysis frames per second."""
        m = self.analysis_method()
        if m is None:
            return FS / (self.fft_len // 2) / self.cens_ds
        return FS / (m.hop_length * m.pool)

    def frames(self):
        """The frame lengths used for this feature rate, as a dict."""
        ff = self.feature_rate
        m = self.analysis_method()
        if m is not None:
            return {
                "kernel": Duration(m.kernel).frames(ff, parity="even"),
                "neighbourhood": Duration(m.spacing).frames(ff, parity="odd"),
                "smooth": None,
                "margin": Duration(m.margin).frames(ff),
            }
        kernel = (self.kernel or Duration(12.0)).frames(ff, parity="even")
        return {
            "kernel": kernel,
            "neighbourhood": (self.neighbourhood or Duration(10.0)).frames(ff, parity="odd"),
            "smooth": None if self.smooth is None else self.smooth.frames(ff),
            "margin": kernel // 2 if self.margin is None else self.margin.frames(ff),
        }

    def describe(self):
        """A JSON-ready summary: the method, the values as given and the frames they come to."""
        m = self.analysis_method()
        out = {
            "method": self.resolved_method(),
            "features": list(m.features) if m is not None else ["cens"],
            "feature_rate": self.feature_rate,
            "kernel": None if self.kernel is None else str(self.kernel),
            "neighbourhood": None if self.neighbourhood is None else str(self.neighbourhood),
            "margin": None if self.margin is None else str(self.margin),
        }
        if m is None:
            out.update({
                "fft_len": self.fft_len,
                "cens_filter": self.cens_filter,
                "cens_ds": self.cens_ds,
                "smooth": None if self.smooth is None else str(self.smooth),
                "threshold": self.threshold,
                "min_height": self.min_height,
            })
        else:
            out["settings"] = m.parameters()
        out["frames"] = self.frames()
        return out


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


def below_one(text):
    """A number in [0, 1): a threshold of 1 would leave nothing to stretch."""
    value = _number(text, float, 0.0, 1.0)
    if value >= 1.0:
        raise argparse.ArgumentTypeError(f"must be >= 0 and below 1: {text!r}")
    return value


def fft_length(text):
    value = _number(text, int, 2)
    if value % 2:
        raise argparse.ArgumentTypeError(f"the FFT length must be even: {text!r}")
    return value


def method_name(text):
    from velmor.analysis import METHODS

    if text != "default" and text not in METHODS:
        raise argparse.ArgumentTypeError(f"unknown method {text!r}; choose from default, {', '.join(METHODS)}")
    return text


def feature_list(text):
    from velmor.analysis.frontend import FEATURES

    names = tuple(t.strip() for t in text.split(",") if t.strip())
    bad = [n for n in names if n not in FEATURES]
    if bad or not names or len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"--features takes a comma-separated choice of {', '.join(FEATURES)}: "
                                         f"{text!r}")
    return names


def memory_size(text):
    """A number of bytes with an optional unit (``512M``, ``4G``)."""
    from velmor.analysis.banded import parse_bytes

    try:
        parse_bytes(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def add_analysis_arguments(parser):
    """The options shared by ``velmor segment`` and ``velmor demo``."""
    from velmor.analysis import DEFAULT_METHOD, METHODS

    g = parser.add_argument_group(
        "analysis", "DUR is a duration: 8 or 8s (seconds), 750ms, or 16f (feature frames)")
    g.add_argument("-m", "--method", type=method_name, default="default", metavar="NAME",
                   help=f"how to segment: {', '.join(METHODS)} (default {DEFAULT_METHOD}); "
                        "'classic' is the velmor.unit7 road: CENS, dot-product SSM, checkerboard, peaks")
    g.add_argument("--features", type=feature_list, default=None, metavar="LIST",
                   help="features whose similarities the method fuses, comma-separated: mfcc (timbre), "
                        "cens or chroma (harmony) (default: the method's)")
    g.add_argument("-k", "--kernel", type=duration, default=None, metavar="DUR",
                   help="side of the checkerboard kernel, or width of the derivative kernel "
                        "(default: the method's; 12s for classic)")
    g.add_argument("-n", "--neighbourhood", "--neighborhood", type=duration, default=None, metavar="DUR",
                   help="a novelty peak must be the largest value in a window of this length "
                        "centred on it (default: the method's; 10s for classic)")
    g.add_argument("--margin", type=duration, default=None, metavar="DUR",
                   help="ignore peaks this close to the start or end (default: the method's; half the "
                        "kernel for classic)")
    g.add_argument("--max-memory", type=memory_size, default=None, metavar="SIZE",
                   help="memory the whole self-similarity matrices may take, e.g. 512M or 8G (default 2G, "
                        "at most half the machine's); longer inputs take the banded road, and the default "
                        "method falls back to the 'long' method")
    c = parser.add_argument_group("classic road", "options of --method classic only")
    c.add_argument("--smooth", type=duration, default=None, metavar="DUR",
                   help="average the SSM along its diagonals over this length first (default: off)")
    c.add_argument("--threshold", type=below_one, default=None, metavar="TAU",
                   help="set SSM values below TAU (at least 0, below 1) to 0 and stretch the rest to 0..1 (default: off)")
    c.add_argument("--min-height", type=fraction, default=None, metavar="FRAC",
                   help="ignore peaks lower than FRAC times the highest novelty value (default 0.1)")
    c.add_argument("--cens-filter", type=positive_int, default=None, metavar="N",
                   help="CENS smoothing window, in chroma frames (default 21)")
    c.add_argument("--cens-ds", type=positive_int, default=None, metavar="N",
                   help="CENS downsampling factor (default 5)")
    c.add_argument("--fft-len", type=fft_length, default=None, metavar="N",
                   help="FFT length in samples; the hop is half of it (default 4096)")


def check_analysis_args(parser, args):
    """Usage errors between analysis options: classic-only options with another method."""
    params = Params(method=args.method)
    if params.is_classic:
        if args.features is not None and tuple(args.features) != ("cens",):
            parser.error("--features: the classic road uses CENS only")
        return
    given = [name for name in CLASSIC_ONLY if getattr(args, name) is not None]
    if given:
        flag = "--" + given[0].replace("_", "-")
        parser.error(f"{flag} belongs to the classic road: add --method classic, or leave it out")


def params_from_args(args):
    defaults = Params()
    classic = {name: getattr(args, name) if getattr(args, name) is not None else getattr(defaults, name)
               for name in CLASSIC_ONLY}
    return Params(kernel=args.kernel, neighbourhood=args.neighbourhood, margin=args.margin,
                  method=args.method, features=args.features, max_memory=getattr(args, "max_memory", None),
                  **classic)
