"""Result formats of ``velmor segment``: text, csv, json, lab and jams."""

import csv
import io
import json

EXTENSIONS = {"text": ".txt", "csv": ".csv", "json": ".json", "lab": ".lab", "jams": ".jams"}


def _times(values):
    return " ".join(f"{v:.2f}" for v in values) if len(values) else "(none)"


def format_text(result):
    f = result["frames"]
    p = result["parameters"]["frames"]
    n = len(result["boundaries"])
    lines = [
        f"{result['file']}: {result['duration']:.1f} s, {n} boundar{'y' if n == 1 else 'ies'} "
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


def format_csv(result, header=True):
    """One row per boundary: file, index (from 1), time in seconds, feature frame, and the label of
    the segment the boundary begins (the first segment, before every boundary, is always A)."""
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    if header:
        w.writerow(CSV_HEADER)
    rows = zip(result["boundaries"], result["boundary_frames"], result["labels"][1:])
    for i, (t, fr, label) in enumerate(rows, start=1):
        w.writerow((result["file"], i, f"{t:.3f}", fr, label))
    return buf.getvalue()


def format_lab(result):
    """Segments between consecutive boundaries, ``start<TAB>end<TAB>label``, over the whole file."""
    edges = [0.0, *result["boundaries"], result["duration"]]
    return "".join(f"{s:.3f}\t{e:.3f}\t{label}\n" for s, e, label in zip(edges, edges[1:], result["labels"]))


def format_jams(result):
    return result["jams"] + "\n"


def format_json(result):
    return json.dumps({k: v for k, v in result.items() if k != "jams"}, indent=2) + "\n"


class Writer:
    """Writes results to stdout in input order, or one file per input into a directory."""

    def __init__(self, fmt, stream, output_dir=None, names=None, multi=False):
        self.fmt, self.stream, self.output_dir, self.names = fmt, stream, output_dir, names
        self.multi = multi  # several inputs to one stream: lab results get a '# file' line each
        self.count = 0
        self._json = []

    def write(self, index, result):
        """``result`` is an analysis result, or ``{"file": ..., "error": ...}`` for a failure."""
        failed = "error" in result
        if self.output_dir is not None:
            if not failed:
                import os

                path = os.path.join(self.output_dir, self.names[index] + EXTENSIONS[self.fmt])
                with open(path, "w", encoding="utf-8", newline="") as f:
                    f.write(self._one(result))
            return
        if self.fmt == "json":
            self._json.append({k: v for k, v in result.items() if k != "jams"})
            return
        if failed:
            return
        if self.fmt == "csv":
            self.stream.write(format_csv(result, header=self.count == 0))
        elif self.fmt == "jams":
            self.stream.write(format_jams(result))
        elif self.fmt == "lab":
            self.stream.write((f"# {result['file']}\n" if self.multi else "") + format_lab(result))
        else:
            self.stream.write(format_text(result))
        self.stream.flush()
        self.count += 1

    def close(self):
        if self.output_dir is None and self.fmt == "json":
            self.stream.write(json.dumps(self._json, indent=2) + "\n")
        elif self.output_dir is None and self.fmt == "csv" and self.count == 0:
            self.stream.write(",".join(CSV_HEADER) + "\n")
        self.stream.flush()

    def _one(self, result):
        formats = {"text": format_text, "csv": format_csv, "json": format_json, "lab": format_lab, "jams": format_jams}
        return formats[self.fmt](result)
