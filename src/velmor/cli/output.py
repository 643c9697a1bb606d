"""Result formats of ``velmor segment``: text, csv, json, lab and jams, and where they go.

Results on standard output come in input order; a JSON list is written as each result arrives,
so one that is stopped early can still be closed. Result files are written whole or not at all
(:func:`velmor._files.write_whole`).
"""

from __future__ import annotations

import csv
import io
import json
import os
import sys
import textwrap
from collections.abc import Mapping, Sequence
from typing import Any, TextIO, cast

from .._files import reason, write_whole

EXTENSIONS = {"text": ".txt", "csv": ".csv", "json": ".json", "lab": ".lab", "jams": ".jams"}


class OutputError(Exception):
    """Standard output cannot take the results (closed, or on a full disk): the batch stops."""


def shown(path: str | os.PathLike[str]) -> str:
    """A path as one line of text.

    Control characters come out as ``\\n``, ``\\t`` or ``\\xNN``, and a backslash doubled (only
    when there is a control character to tell apart).

    Parameters
    ----------
    path : str or os.PathLike
        The path.

    Returns
    -------
    text : str
        The path, printable on one line.
    """
    path = os.fspath(path)
    if not any(ord(c) < 32 or ord(c) == 127 for c in path):
        return path
    escapes = {"\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r"}
    return "".join(escapes.get(c) or (f"\\x{ord(c):02x}" if ord(c) < 32 or ord(c) == 127 else c) for c in path)


def say(text: str) -> None:
    """Write one line on standard error; nothing if it is closed or broken.

    A message never stops the work.

    Parameters
    ----------
    text : str
        The line, without its newline.
    """
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(text + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def _times(values: Sequence[float]) -> str:
    return " ".join(f"{v:.2f}" for v in values) if len(values) else "(none)"


def format_text(result: Mapping[str, Any]) -> str:
    """A result as text: the file, its boundaries and labels, and the scores against a reference.

    Parameters
    ----------
    result : mapping
        What :func:`velmor.cli.analyse_file` returned for one file.

    Returns
    -------
    text : str
        A few lines of text.
    """
    f = result["frames"]
    p = result["parameters"]["frames"]
    n = len(result["boundaries"])
    lines = [
        f"{shown(result['file'])}: {result['duration']:.1f} s, {n} boundar{'y' if n == 1 else 'ies'} "
        f"(feature rate {result['feature_rate']:.3f} frames/s, {f} frames; "
        f"kernel {p['kernel']} frames, neighbourhood {p['neighbourhood']} frames)",
        f"  boundaries (s): {_times(result['boundaries'])}",
        f"  labels:         {' '.join(result['labels'])}",
    ]
    if result.get("note"):
        lines.insert(1, f"  note: {result['note']}")
    if result["reference"] is not None:
        lines.append(f"  reference  (s): {_times(result['reference'])}")
        for s in result["scores"]:
            lines.append(f"  tolerance {s['tolerance']:g} s: P {s['precision']:.3f}  "
                         f"R {s['recall']:.3f}  F {s['f']:.3f}")
    return "\n".join(lines) + "\n"


CSV_HEADER = ("file", "index", "time", "frame", "label")


def format_csv(result: Mapping[str, Any], header: bool = True) -> str:
    """A result as CSV, one row per boundary.

    The columns are the file, the index (from 1), the time in seconds, the feature frame, and the
    label of the segment the boundary begins (the first segment, before every boundary, is always A).

    Parameters
    ----------
    result : mapping
        A result of :func:`velmor.cli.analyse_file`.
    header : bool, default True
        Whether to begin with a row of column names.

    Returns
    -------
    text : str
        The CSV rows.
    """
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    if header:
        w.writerow(CSV_HEADER)
    rows = zip(result["boundaries"], result["boundary_frames"], result["labels"][1:])
    for i, (t, fr, label) in enumerate(rows, start=1):
        w.writerow((result["file"], i, f"{t:.3f}", fr, label))
    return buf.getvalue()


def format_lab(result: Mapping[str, Any]) -> str:
    """A result as a .lab file: segments between consecutive boundaries, over the whole file.

    Parameters
    ----------
    result : mapping
        One file's result (:func:`velmor.cli.analyse_file`), with its segments.

    Returns
    -------
    text : str
        One ``start<TAB>end<TAB>label`` line per segment.
    """
    edges = [0.0, *result["boundaries"], result["duration"]]
    return "".join(f"{s:.3f}\t{e:.3f}\t{label}\n" for s, e, label in zip(edges, edges[1:], result["labels"]))


def format_jams(result: Mapping[str, Any]) -> str:
    """A result as a JAMS file.

    Parameters
    ----------
    result : mapping
        A result of :func:`velmor.cli.analyse_file` made with ``jams`` set.

    Returns
    -------
    text : str
        The JAMS document.
    """
    return str(result["jams"]) + "\n"


def format_json(result: Mapping[str, Any]) -> str:
    """A result as a JSON object (without its JAMS document).

    Parameters
    ----------
    result : mapping
        The file's result dict, as :func:`velmor.cli.analyse_file` made it.

    Returns
    -------
    text : str
        The JSON text.
    """
    return json.dumps({k: v for k, v in result.items() if k != "jams"}, indent=2) + "\n"


class Writer:
    """Writes results to a stream in input order, or one file per input into a directory.

    A result file is replaced only by a whole new one. When its input fails (or its new result
    cannot be written), an earlier result of it stays as it was and is counted in ``kept``: a
    failed rerun never costs a good result, and the summary says which results are from an
    earlier run.

    Parameters
    ----------
    fmt : str
        The format: ``"text"``, ``"csv"``, ``"json"``, ``"lab"`` or ``"jams"``.
    stream : text stream or None
        Where results go when there is no ``output_dir`` (None: standard output is closed).
    output_dir : str, optional
        The directory of result files, one per input.
    names : sequence of str, optional
        The name of each input's result file, without the suffix (needed with ``output_dir``).
    multi : bool, default False
        Several inputs go to one stream: lab results get a ``# file`` line each.
    """

    fmt: str
    stream: TextIO | None
    output_dir: str | None
    names: Sequence[str] | None
    multi: bool
    count: int
    replaced: int
    kept: int

    def __init__(self, fmt: str, stream: TextIO | None, output_dir: str | None = None,
                 names: Sequence[str] | None = None, multi: bool = False) -> None:
        self.fmt, self.stream, self.output_dir, self.names = fmt, stream, output_dir, names
        self.multi = multi  # several inputs to one stream: lab results get a '# file' line each
        self.count = 0
        self.replaced = 0  # earlier result files replaced by new ones
        self.kept = 0  # earlier result files of inputs that failed, kept

    def path(self, index: int) -> str:
        """The result file of an input.

        Parameters
        ----------
        index : int
            The input's place in the batch.

        Returns
        -------
        path : str
            Its result file in the output directory.
        """
        names = cast("Sequence[str]", self.names)  # both given whenever there are result files
        return os.path.join(cast(str, self.output_dir), names[index] + EXTENSIONS[self.fmt])

    def write(self, index: int, result: Mapping[str, Any]) -> None:
        """Write the result of an input.

        Parameters
        ----------
        index : int
            The input's place in the batch.
        result : mapping
            An analysis result, or ``{"file": ..., "error": ...}`` for a failure.

        Raises
        ------
        OSError
            When a result file cannot be written (its earlier version, if any, is kept).
        OutputError
            When the stream cannot take it.
        BrokenPipeError
            When the stream's reader has gone.
        """
        failed = "error" in result
        if self.output_dir is not None:
            path = self.path(index)
            existed = os.path.isfile(path)
            if failed:
                self.kept += existed
                return
            try:
                write_whole(path, self._one(result).encode("utf-8", "surrogateescape"))
            except BaseException:
                self.kept += existed
                raise
            self.replaced += existed
            return
        if self.fmt == "json":
            item = textwrap.indent(json.dumps({k: v for k, v in result.items() if k != "jams"}, indent=2), "  ")
            self._emit(("[\n" if self.count == 0 else ",\n") + item)
        elif failed:
            return
        elif self.fmt == "csv":
            self._emit(format_csv(result, header=self.count == 0))
        elif self.fmt == "jams":
            self._emit(format_jams(result))
        elif self.fmt == "lab":
            self._emit((f"# {shown(result['file'])}\n" if self.multi else "") + format_lab(result))
        else:
            self._emit(format_text(result))
        self.count += 1

    def close(self) -> None:
        """End the output: close the JSON list (also after an interruption), or give an empty CSV its header."""
        if self.output_dir is not None:
            return
        if self.fmt == "json":
            self._emit("[]\n" if self.count == 0 else "\n]\n")
        elif self.fmt == "csv" and self.count == 0:
            self._emit(",".join(CSV_HEADER) + "\n")

    def _emit(self, text: str) -> None:
        if self.stream is None:
            raise OutputError("standard output is closed: nowhere to write the results (use --output DIR)")
        try:
            self.stream.write(text)
            self.stream.flush()
        except BrokenPipeError:
            raise
        except (OSError, ValueError) as exc:  # ValueError: the stream was closed under us
            raise OutputError(f"cannot write to standard output: {reason(exc)}") from None

    def _one(self, result: Mapping[str, Any]) -> str:
        formats = {"text": format_text, "csv": format_csv, "json": format_json, "lab": format_lab, "jams": format_jams}
        return formats[self.fmt](result)
