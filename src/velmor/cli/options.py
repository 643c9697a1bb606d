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

from __future__ import annotations

import argparse
import dataclasses
import math
import re
from typing import TYPE_CHECKING, Any, TypedDict

if TYPE_CHECKING:
    from velmor.analysis.methods import Method

FS = 22050
"""The sample rate velmor analyses at; other rates are resampled to it."""

_DURATION = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s|f)?\s*$")


@dataclasses.dataclass(frozen=True)
class Duration:  # numpydoc ignore=PR02
    """A length in seconds (``unit == "s"``) or in feature frames (``unit == "f"``).

    Parameters
    ----------
    value : float
        The length, in the unit.
    unit : {"s", "f"}, default "s"
        Seconds or feature frames.
    """

    value: float
    unit: str = "s"

    @classmethod
    def parse(cls, text: object) -> Duration:
        """Read a duration written as ``"8"``, ``"8s"``, ``"750ms"`` or ``"16f"``.

        Parameters
        ----------
        text : str
            The duration as written (another object is read as its ``str``).

        Returns
        -------
        duration : Duration
            The length read.

        Raises
        ------
        ValueError
            For anything else, or a length that is not positive.
        """
        m = _DURATION.match(str(text))
        if not m:
            raise ValueError(f"not a duration: {text!r} (write e.g. 8s, 750ms or 16f)")
        number, unit = m.group(1), m.group(2) or "s"
        if unit == "f":
            if "." in number:
                raise ValueError(f"a number of frames must be whole: {text!r}")
            value: float = int(number)
        else:
            value = float(number) / (1000.0 if unit == "ms" else 1.0)
            unit = "s"
        if value <= 0:
            raise ValueError(f"a duration must be positive: {text!r}")
        return cls(value, unit)

    def frames(self, ff: float, parity: str | None = None) -> int:
        """The length in whole frames at feature rate ``ff``.

        That is the nearest whole number of frames that is at least 1, or with ``parity="even"``
        the nearest even one (at least 2), with ``"odd"`` the nearest odd one. A length given in
        frames is returned as it is.

        Parameters
        ----------
        ff : float
            The feature rate, in frames per second.
        parity : {None, "even", "odd"}, optional
            The parity the number of frames must have.

        Returns
        -------
        frames : int
            The length in frames.
        """
        from velmor.analysis.boundaries import whole_frames

        if self.unit == "f":
            return int(self.value)
        return whole_frames(self.value, ff, parity)

    def __str__(self) -> str:
        if self.unit == "f":
            return f"{int(self.value)}f"
        return f"{self.value:g}s"


CLASSIC = "classic"
"""The method name of the ``velmor.unit7`` road: CENS, dot-product SSM, checkerboard, peaks."""

class Frames(TypedDict):
    """The frame lengths of an analysis (:meth:`Params.frames`)."""

    kernel: int
    neighbourhood: int
    smooth: int | None
    margin: int


CLASSIC_ONLY = ("smooth", "threshold", "min_height", "cens_filter", "cens_ds", "fft_len")
"""Options that only the classic road reads."""


@dataclasses.dataclass(frozen=True)
class Params:  # numpydoc ignore=PR02
    """Everything that decides the result of an analysis, with the defaults the CLI uses.

    ``method`` names a method of :data:`velmor.analysis.METHODS` (``"default"`` is
    :data:`velmor.analysis.DEFAULT_METHOD`); ``features``, ``kernel``, ``neighbourhood`` (the
    peak spacing) and ``margin`` override its settings when given. The other fields belong to the
    classic road (``method="classic"``), whose kernel and neighbourhood default to 12 s and 10 s.

    Parameters
    ----------
    fft_len : int, default 4096
        The FFT length of the classic road, in samples; the hop is half of it.
    cens_filter : int, default 21
        The CENS smoothing window of the classic road, in chroma frames.
    cens_ds : int, default 5
        The CENS downsampling factor of the classic road.
    kernel : Duration, optional
        The side of the checkerboard kernel or width of the derivative kernel (seconds or text
        such as ``"750ms"`` or ``"16f"`` are read as durations too).
    neighbourhood : Duration, optional
        The window a novelty peak must be the largest value in.
    smooth : Duration, optional
        The length of the classic road's diagonal smoothing of the SSM.
    threshold : float, optional
        The classic road's SSM threshold, at least 0 and below 1.
    min_height : float, default 0.1
        The classic road ignores peaks lower than this times the highest novelty value.
    margin : Duration, optional
        Peaks this close to the start or end are ignored.
    method : str, default "default"
        The method's name.
    features : tuple of str, optional
        The features whose similarities the method fuses.
    max_memory : str, optional
        The memory the whole self-similarity matrices may take, such as ``"512M"``.
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
    features: tuple[str, ...] | None = None
    max_memory: str | None = None

    def __post_init__(self) -> None:
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
    def is_classic(self) -> bool:  # numpydoc ignore=RT01
        """Whether the method is the classic road."""
        return self.resolved_method() == CLASSIC

    def resolved_method(self) -> str:
        """The method's name, ``"default"`` resolved.

        Returns
        -------
        name : str
            A name of :data:`velmor.analysis.METHODS`, or ``"classic"``.
        """
        from velmor.analysis import DEFAULT_METHOD

        return DEFAULT_METHOD if self.method == "default" else self.method

    def analysis_method(self) -> Method:
        """The method these parameters describe.

        Its row of :data:`velmor.analysis.METHODS` with the settings given here (durations in
        seconds; the classic road's options are fields of its row too).

        Returns
        -------
        method : velmor.analysis.Method
            The method.
        """
        from velmor.analysis.methods import with_settings

        rate = self.feature_rate

        def seconds(d: Duration | None) -> float | None:  # numpydoc ignore=GL08
            return None if d is None else d.value / rate if d.unit == "f" else d.value

        lengths = {"kernel": seconds(self.kernel), "margin": seconds(self.margin)}
        if self.is_classic:  # the classic method's settings by the names the options have
            return with_settings("classic", dict(
                lengths, neighbourhood=seconds(self.neighbourhood), smooth=seconds(self.smooth),
                threshold=self.threshold, min_height=self.min_height, cens_filter=self.cens_filter,
                cens_ds=self.cens_ds, fft_len=self.fft_len))
        given = dict(lengths, spacing=seconds(self.neighbourhood), features=self.features)
        return with_settings(self.method, {k: v for k, v in given.items() if v is not None})

    def analyze_options(self) -> dict[str, Any]:
        """Keyword arguments of :func:`velmor.analyze` for these parameters.

        Returns
        -------
        options : dict
            The method, with the settings given here.
        """
        return {"method": self.analysis_method()}

    @property
    def feature_rate(self) -> float:  # numpydoc ignore=RT01
        """The number of analysis frames per second."""
        if self.is_classic:
            return FS / (self.fft_len // 2) / self.cens_ds
        from velmor.analysis import METHODS

        m = METHODS[self.resolved_method()]
        return FS / (m.hop_length * m.pool)

    def frames(self) -> Frames:
        """The frame lengths used at this feature rate.

        Returns
        -------
        frames : Frames
            A dict of the kernel, neighbourhood, smoothing (or None) and margin in frames.
        """
        ff = self.feature_rate
        if not self.is_classic:
            m = self.analysis_method()
            return {
                "kernel": Duration(m.kernel).frames(ff, parity="even"),
                "neighbourhood": Duration(m.spacing).frames(ff, parity="odd"),
                "smooth": None,
                "margin": Duration(m.margin if m.margin is not None else 0.0).frames(ff),
            }
        kernel = (self.kernel or Duration(12.0)).frames(ff, parity="even")
        return {
            "kernel": kernel,
            "neighbourhood": (self.neighbourhood or Duration(10.0)).frames(ff, parity="odd"),
            "smooth": None if self.smooth is None else self.smooth.frames(ff),
            "margin": kernel // 2 if self.margin is None else self.margin.frames(ff),
        }

    def describe(self) -> dict[str, Any]:
        """A JSON-ready summary: the method, the values as given and the frames they come to.

        Returns
        -------
        summary : dict
            The method, its features and feature rate, the settings and the frames.
        """
        m = self.analysis_method()
        out: dict[str, Any] = {
            "method": self.resolved_method(),
            "features": list(m.features),
            "feature_rate": self.feature_rate,
            "kernel": None if self.kernel is None else str(self.kernel),
            "neighbourhood": None if self.neighbourhood is None else str(self.neighbourhood),
            "margin": None if self.margin is None else str(self.margin),
        }
        if self.is_classic:
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

def duration(text: str) -> Duration:
    """Read a duration (an argparse type).

    Parameters
    ----------
    text : str
        ``8`` or ``8s`` (seconds), ``750ms``, or ``16f`` (feature frames).

    Returns
    -------
    Duration
        As :meth:`Duration.parse` reads it.

    Raises
    ------
    argparse.ArgumentTypeError
        For anything else.
    """
    try:
        return Duration.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def seconds(text: str) -> float:
    """Read a positive time in seconds (an argparse type); frames are not allowed here.

    Parameters
    ----------
    text : str
        ``0.5``, ``3s`` or ``500ms``.

    Returns
    -------
    seconds : float
        The time read.

    Raises
    ------
    argparse.ArgumentTypeError
        For anything else.
    """
    d = duration(text)
    if d.unit == "f":
        raise argparse.ArgumentTypeError(f"give a tolerance in seconds, not frames: {text!r}")
    return d.value


@dataclasses.dataclass(frozen=True)
class Number:  # numpydoc ignore=PR02
    """An argparse type: a whole number or a number in a range; anything else is a usage error.

    Parameters
    ----------
    kind : type
        The type of the number: int or float.
    low : float
        The least value (``low_open``: values must be larger).
    high : float, optional
        The largest value.
    low_open : bool, default False
        Whether ``low`` itself is refused.
    below : float, optional
        Values must also lie below this.
    even : bool, default False
        Whether the number must be even (an FFT length).
    """

    kind: type[int] | type[float]
    low: float
    high: float | None = None
    low_open: bool = False
    below: float | None = None
    even: bool = False

    def __call__(self, text: str) -> float:
        """Read the number.

        Parameters
        ----------
        text : str
            The number as written.

        Returns
        -------
        value : int or float
            The number, of ``kind``.

        Raises
        ------
        argparse.ArgumentTypeError
            For anything else.
        """
        try:
            value = self.kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {'an integer' if self.kind is int else 'a number'}: "
                                             f"{text!r}") from None
        low, high = self.low, self.high
        if value != value or (value <= low if self.low_open else value < low) or (high is not None and value > high):
            bound = f"> {low}" if self.low_open else f">= {low}"
            if high is not None:
                bound += f" and <= {high}"
            raise argparse.ArgumentTypeError(f"must be {bound}: {text!r}")
        if self.below is not None and value >= self.below:
            raise argparse.ArgumentTypeError(f"must be >= {low:g} and below {self.below:g}: {text!r}")
        if self.even and value % 2:
            raise argparse.ArgumentTypeError(f"the FFT length must be even: {text!r}")
        return value


positive_int: Number = Number(int, 1)
"""Read a whole number at least 1 (an argparse type)."""
non_negative_int: Number = Number(int, 0)
"""Read a whole number at least 0 (an argparse type)."""
fraction: Number = Number(float, 0.0, 1.0)
"""Read a number in [0, 1] (an argparse type)."""
below_one: Number = Number(float, 0.0, 1.0, below=1.0)
"""Read a number in [0, 1) (an argparse type): a threshold of 1 would leave nothing to stretch."""
fft_length: Number = Number(int, 2, even=True)
"""Read an FFT length, even and at least 2 (an argparse type)."""
dpi: Number = Number(float, 0.0, low_open=True)
"""Read a figure's resolution, a positive number (an argparse type)."""


def method_name(text: str) -> str:
    """Read a method's name, or ``default`` (an argparse type).

    Parameters
    ----------
    text : str
        A key of :data:`velmor.analysis.METHODS`, or ``default``.

    Returns
    -------
    name : str
        The name, checked.
    """
    from velmor.analysis import METHODS

    if text != "default" and text not in METHODS:
        raise argparse.ArgumentTypeError(f"unknown method {text!r}; choose from default, {', '.join(METHODS)}")
    return text


def feature_list(text: str) -> tuple[str, ...]:
    """Read a comma-separated list of features, each once (an argparse type).

    Parameters
    ----------
    text : str
        Such as ``mfcc,cens``.

    Returns
    -------
    names : tuple of str
        The features' names.
    """
    from velmor.analysis.frontend import FEATURES

    names = tuple(t.strip() for t in text.split(",") if t.strip())
    bad = [n for n in names if n not in FEATURES]
    if bad or not names or len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"--features takes a comma-separated choice of {', '.join(FEATURES)}: "
                                         f"{text!r}")
    return names


def memory_size(text: str) -> str:
    """Read a number of bytes with an optional unit (an argparse type).

    Parameters
    ----------
    text : str
        Such as ``512M`` or ``4G``.

    Returns
    -------
    size : str
        The text, checked.
    """
    from velmor.analysis.banded import parse_bytes

    try:
        parse_bytes(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


CLASSIC_OPTIONS: tuple[tuple[str, Any, str, str], ...] = (
    ("--smooth", duration, "DUR", "average the SSM along its diagonals over this length first (default: off)"),
    ("--threshold", below_one, "TAU",
     "set SSM values below TAU (at least 0, below 1) to 0 and stretch the rest to 0..1 (default: off)"),
    ("--min-height", fraction, "FRAC", "ignore peaks lower than FRAC times the highest novelty value (default 0.1)"),
    ("--cens-filter", positive_int, "N", "CENS smoothing window, in chroma frames (default 21)"),
    ("--cens-ds", positive_int, "N", "CENS downsampling factor (default 5)"),
    ("--fft-len", fft_length, "N", "FFT length in samples; the hop is half of it (default 4096)"),
)
"""The options of the classic road: flag, argparse type, metavar and help."""


def add_analysis_arguments(parser: argparse.ArgumentParser) -> None:
    """Add the options shared by ``velmor segment`` and ``velmor demo`` to a parser.

    Parameters
    ----------
    parser : argparse.ArgumentParser
        The command's parser.
    """
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
    for flag, kind, metavar, text in CLASSIC_OPTIONS:
        c.add_argument(flag, type=kind, default=None, metavar=metavar, help=text)


def check_analysis_args(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Report usage errors between analysis options: classic-only options with another method.

    Parameters
    ----------
    parser : argparse.ArgumentParser
        The command's parser, which reports the error and exits.
    args : argparse.Namespace
        The parsed command line.
    """
    params = Params(method=args.method)
    if params.is_classic:
        if args.features is not None and tuple(args.features) != ("cens",):
            parser.error("--features: the classic road uses CENS only")
        return
    given = [name for name in CLASSIC_ONLY if getattr(args, name) is not None]
    if given:
        flag = "--" + given[0].replace("_", "-")
        parser.error(f"{flag} belongs to the classic road: add --method classic, or leave it out")


def params_from_args(args: argparse.Namespace) -> Params:
    """The analysis parameters of a parsed command line.

    Parameters
    ----------
    args : argparse.Namespace
        The parsed command line.

    Returns
    -------
    params : Params
        The parameters, with the defaults for the options not given.
    """
    defaults = Params()
    classic = {name: getattr(args, name) if getattr(args, name) is not None else getattr(defaults, name)
               for name in CLASSIC_ONLY}
    return Params(kernel=args.kernel, neighbourhood=args.neighbourhood, margin=args.margin,
                  method=args.method, features=args.features, max_memory=getattr(args, "max_memory", None),
                  **classic)
