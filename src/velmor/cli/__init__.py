"""The ``velmor`` command line: ``velmor demo``, ``velmor segment FILE...`` and ``velmor eval``.

``main(argv)`` is the entry point of the console script and of ``python -m velmor``; it
returns the exit status (0 when everything worked, 1 when a file failed, an output could not be
written or an optional dependency is missing, 2 for a bad command line, 130 after Ctrl-C, 143
after SIGTERM, 129 after SIGHUP, 141 when the reader of standard output went away, as a program
killed by SIGPIPE).

``velmor segment`` is a thin shell over :func:`velmor.analyze`, ``velmor eval`` over
:func:`velmor.evaluate`. The same pipeline is there for Python code: :func:`analyse_signal` (a signal at 22050 Hz),
:func:`analyse_file` (a :class:`Task`: file, :class:`Params`, reference, plot path; returns
a JSON-ready dict), :func:`load_audio` and :func:`read_reference`.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import sys
from collections.abc import Sequence
from typing import TextIO, cast

from .._version import __version__
from .analysis import Analysis, Task, analyse_file, analyse_signal, load_audio, read_reference
from .options import Duration, Params, add_analysis_arguments, check_analysis_args, dpi, non_negative_int, seconds

FORMATS = ("text", "csv", "json", "lab", "jams")
EVAL_FORMATS = ("text", "csv", "json")
FIGURE_HELP = "the format follows the suffix: .png, .pdf or .svg"


DEFAULT_TOLERANCES = (0.5, 3.0)


class _Parser(argparse.ArgumentParser):
    """The ``velmor`` parser, which holds those of its commands for usage errors found after parsing."""

    eval_parser: argparse.ArgumentParser
    segment_parser: argparse.ArgumentParser
    demo_parser: argparse.ArgumentParser


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``velmor`` command line.

    Returns
    -------
    parser : argparse.ArgumentParser
        The parser, with the commands ``demo``, ``segment`` and ``eval``.
    """
    parser = _Parser(
        prog="velmor",
        description="Find where a piece of music changes: features of timbre and harmony, "
                    "self-similarity, novelty, peaks as section boundaries.",
        epilog="Run 'velmor COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"velmor {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    demo = sub.add_parser(
        "demo", help="synthesise a minute of music with known sections and analyse it",
        description="Synthesise a piece of about a minute with known sections (fixed seed), "
                    "find its boundaries and compare them with the true ones.")
    demo.add_argument("--plot", default="velmor-demo.png", metavar="FILE",
                      help=f"where to write the picture; {FIGURE_HELP} (default %(default)s)")
    demo.add_argument("--dpi", type=dpi, default=100.0, help="resolution of a PNG figure (default %(default)g)")
    demo.add_argument("--no-plot", dest="plot", action="store_const", const=None,
                      help="do not write a picture")
    demo.add_argument("--seed", type=non_negative_int, default=0,
                      help="seed of the synthesis (default %(default)s)")
    demo.add_argument("--wav", metavar="FILE.wav",
                      help="also write the piece as a 16-bit WAV file, and its sections "
                           "beside it as FILE.lab")
    add_analysis_arguments(demo)

    seg = sub.add_parser(
        "segment", help="find section boundaries in audio files",
        description="Find section boundaries in audio files (WAV, FLAC, OGG, and MP3 where "
                    "libsndfile reads it) and print them in seconds.",
        epilog="Results go to standard output (or --output); errors, the progress bar and the "
               "summary go to standard error. The exit status is 1 if any file failed, 130 after "
               "Ctrl-C, 143 after SIGTERM and 129 after SIGHUP (the finished results are still written; "
               "a JSON list is closed), 141 when the reader of the output stops (as in '| head -1': "
               "velmor stops quietly too). Result files and figures are written whole or not at all, and "
               "replace earlier ones only when they are written anew: a file that fails keeps its "
               "earlier result and figure, and the summary counts the results kept from an earlier run.")
    seg.add_argument("files", nargs="+", metavar="FILE", help="audio files; - reads standard input")
    g = seg.add_argument_group("scoring")
    g.add_argument("-r", "--ref", action="append", metavar="PATH",
                   help="reference boundaries: a file of times (one per line) or of "
                        "'start end label' lines (.lab), or JAMS; give one per FILE, in order, or a "
                        "directory holding STEM.lab, STEM.txt, STEM.jams or STEM.*.lab for each FILE")
    g.add_argument("-t", "--tolerance", action="append", type=seconds, metavar="SEC",
                   help="tolerance of the scores in seconds, repeatable (default 0.5 and 3)")
    g = seg.add_argument_group("output")
    g.add_argument("-f", "--format", choices=FORMATS, default="text",
                   help="result format (default %(default)s)")
    g.add_argument("-o", "--output", metavar="DIR",
                   help="write one result file per input, DIR/STEM.txt|csv|json|lab|jams, "
                        "instead of printing; a result already there is replaced when the input "
                        "succeeds and kept when it fails (standard input is STEM 'stdin')")
    g.add_argument("--plot", metavar="FILE",
                   help="write a figure of the analysis (SSM, labels, novelty); "
                        f"{FIGURE_HELP}; with several inputs, the path "
                        "must contain {stem} (the input's name without extension); an existing "
                        "folder (or a path ending in /) means FOLDER/{stem}.png")
    g.add_argument("--dpi", type=dpi, default=100.0, help="resolution of PNG figures (default %(default)g)")
    g.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    g = seg.add_argument_group("batch")
    g.add_argument("-j", "--jobs", type=non_negative_int, default=1, metavar="N",
                   help="analyse N files at once in worker processes; 0 means one per CPU "
                        "(default %(default)s)")
    g.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show a progress bar on standard error (default: when it is a terminal)")
    add_analysis_arguments(seg)

    ev = sub.add_parser(
        "eval", help="score results against reference annotations",
        description="Score segmentations (.lab, .txt, .jams or velmor .json files, or folders of them) "
                    "against references: boundary hit rates (velmor's calc_prf and mir_eval's), median "
                    "deviations, pairwise label P/R/F and normalised conditional entropies. Needs the "
                    "'eval' extra (mir_eval); JAMS files need the 'jams' extra.",
        epilog="The table goes to standard output (or --output); files without a reference are "
               "named on standard error. The exit status is 1 unless every result was scored.")
    ev.add_argument("results", nargs="+", metavar="RESULT", help="result files or folders of them")
    ev.add_argument("-r", "--ref", action="append", required=True, metavar="PATH",
                    help="references: one per RESULT, in order, or a folder holding STEM.lab, STEM.txt, "
                         "STEM.jams or STEM.*.lab for each result STEM.*")
    ev.add_argument("-t", "--tolerance", action="append", type=seconds, metavar="SEC",
                    help="hit-rate tolerance in seconds, repeatable (default 0.5 and 3)")
    ev.add_argument("-f", "--format", choices=EVAL_FORMATS, default="text",
                    help="table format (default %(default)s)")
    ev.add_argument("-o", "--output", metavar="FILE", help="write the table to FILE instead of printing it")
    ev.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    parser.eval_parser = ev
    parser.segment_parser = seg  # for usage errors found after parsing
    parser.demo_parser = demo
    return parser


def _stem(path: str) -> str:
    from .batch import stem

    return stem(path)


def _is_folder(path: str) -> bool:
    """``--plot`` names a folder: an existing one, or one written with a trailing slash."""
    return path.endswith(("/", os.sep)) or os.path.isdir(path)


def _check_segment_args(parser: _Parser, args: argparse.Namespace) -> None:
    """Cross-option checks that argparse's types cannot do; each failure is a usage error."""
    sp = parser.segment_parser
    n = len(args.files)
    if args.files.count("-") > 1:
        sp.error("standard input (-) can be read only once")
    if args.plot is not None and _is_folder(args.plot):
        args.plot = os.path.join(args.plot.replace("{", "{{").replace("}", "}}"), "{stem}.png")
    args.tolerance = tuple(args.tolerance or DEFAULT_TOLERANCES)
    refs: list[str] = args.ref or []
    if len(refs) == 1 and os.path.isdir(refs[0]):
        pass
    elif refs and len(refs) != n:
        sp.error(f"--ref given {len(refs)} time(s) for {n} file(s): give one per file, "
                 "or a directory")
    stems = [_stem(f) for f in args.files]
    if args.format == "jams" and args.output is None and n > 1:
        sp.error("-f jams with several files needs --output DIR (one JAMS file per input)")
    if args.plot is not None:
        try:
            args.plot.format(stem="x")
        except (KeyError, IndexError, ValueError):
            sp.error(f"--plot {args.plot!r}: the only placeholder allowed is {{stem}}")
        _check_figure_suffix(sp, args.plot)
        if n > 1 and "{stem}" not in args.plot:
            sp.error("--plot with several files needs {stem} in the path, e.g. 'plots/{stem}.png'")
    if (args.output is not None or args.plot is not None) and len(set(stems)) < n:
        dup = sorted({s for s in stems if stems.count(s) > 1})
        sp.error(f"several inputs are named {dup[0]!r}: their result files would overwrite "
                 "each other")
    if args.output is not None and os.path.exists(args.output) and not os.path.isdir(args.output):
        sp.error(f"--output {args.output!r} is not a directory")


def _check_figure_suffix(sub_parser: argparse.ArgumentParser, path: str) -> None:
    from velmor.plot import FORMATS as FIGURES

    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    if suffix not in FIGURES:
        sub_parser.error(f"--plot {path!r}: {FIGURE_HELP}")


def _check_eval_args(parser: _Parser, args: argparse.Namespace) -> None:
    ep = parser.eval_parser
    args.tolerance = tuple(args.tolerance or DEFAULT_TOLERANCES)
    if len(args.ref) == 1 and os.path.isdir(args.ref[0]):
        return
    from .evaluate import expand_results

    n = len(expand_results(args.results))
    if len(args.ref) != n:
        ep.error(f"--ref given {len(args.ref)} time(s) for {n} result(s): give one per result, or a folder")


def _keep_standard_fds() -> None:
    """Give a closed standard descriptor (0, 1 or 2) /dev/null, so that no file opened later takes
    its number: a library's message to fd 2 must never land in a result file. The stream on it
    becomes None, as Python makes it when the descriptor is closed at start, and is treated as
    closed (results are not written to /dev/null as if all were well)."""
    for fd, name in ((0, "stdin"), (1, "stdout"), (2, "stderr")):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
            stream = getattr(sys, name)
            with contextlib.suppress(Exception):
                if stream is not None and stream.fileno() == fd:
                    setattr(sys, name, None)


def _quiet_stdout() -> None:
    """After standard output failed: point it at /dev/null, so that Python's last flush at exit
    neither fails again nor prints a complaint."""
    stream = sys.stdout
    if stream is None or stream is not sys.__stdout__:
        return
    with contextlib.suppress(Exception):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, cast("TextIO", stream).fileno())  # not None: it is sys.__stdout__, checked above
        os.close(null)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velmor`` command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments (by default those of the command line).

    Returns
    -------
    status : int
        The exit status: 0 when everything worked, 1 when a file failed, an output could not be
        written or an optional dependency is missing, 2 for a bad command line, 130 after Ctrl-C,
        143 after SIGTERM, 129 after SIGHUP and 141 when the reader of standard output went away.
    """
    from .output import say

    _keep_standard_fds()
    parser = cast(_Parser, build_parser())
    args = parser.parse_args(argv)
    try:
        status = _run(parser, args)
        if sys.stdout is not None:
            sys.stdout.flush()  # what the commands printed last: its errors are theirs too
    except BrokenPipeError:  # e.g. 'velmor segment ... | head -1': stop quietly, as 'yes | head -1' does
        _quiet_stdout()
        return 141
    except MemoryError as exc:
        from .analysis import _memory_message

        say(f"velmor: {_memory_message(exc)}")
        return 1
    except KeyboardInterrupt:
        say("velmor: interrupted")
        return 130
    except OSError as exc:
        if sys.stdout is None or not _is_stdout_error(exc):
            raise
        from .._files import reason

        say(f"velmor: cannot write to standard output: {reason(exc)}")
        _quiet_stdout()
        return 1
    return status


def _is_stdout_error(exc: OSError) -> bool:
    """Whether an OSError that reached :func:`main` came from standard output: the commands report
    the errors of their own files, and leave those of the stream they print to (a full disk, a
    closed descriptor) to the final flush, which tells by trying again."""
    try:
        sys.stdout.flush()
    except OSError:
        return True
    return getattr(exc, "filename", None) is None and exc.errno in (errno.EBADF, errno.ENOSPC, errno.EIO,
                                                                       errno.EDQUOT, errno.EFBIG)


def _run(parser: _Parser, args: argparse.Namespace) -> int:
    from .output import say

    if args.command != "segment" and sys.stdout is None and not getattr(args, "output", None):
        say("velmor: standard output is closed: nowhere to write the results")
        return 1
    if args.command == "eval":
        _check_eval_args(parser, args)
        from .evaluate import run_eval

        return run_eval(args)
    if args.command == "segment":
        _check_segment_args(parser, args)
    elif args.plot is not None:
        if _is_folder(args.plot):
            args.plot = os.path.join(args.plot, "velmor-demo.png")
        _check_figure_suffix(parser.demo_parser, args.plot)
    check_analysis_args(parser.segment_parser if args.command == "segment" else parser.demo_parser, args)
    if args.command == "demo":
        from .demo import run_demo

        return run_demo(args)
    from .batch import run_segment

    return run_segment(args)


__all__ = ["main", "build_parser", "Analysis", "Duration", "Params", "Task", "analyse_file",
           "analyse_signal", "load_audio", "read_reference"]
