"""``velmor segment``: analyse files one by one or in a process pool, report as they finish."""

import contextlib
import os
import sys

from .analysis import AnalysisError, MissingExtra, Task, analyse_file, find_reference, need
from .options import params_from_args
from .output import Writer


def _attempt(task):
    """Run one task in a worker: ``(result, None)`` or ``(None, message)``; never raises."""
    try:
        return analyse_file(task), None
    except Exception as exc:  # one bad file must not stop the batch
        text = str(exc) or type(exc).__name__
        if not isinstance(exc, (AnalysisError, MissingExtra, OSError)):
            text = f"{type(exc).__name__}: {text}"
        return None, text


def _tasks(args):
    params = params_from_args(args)
    refs = args.ref or []
    ref_dir = refs[0] if len(refs) == 1 and os.path.isdir(refs[0]) else None
    tasks = []
    for i, path in enumerate(args.files):
        ref = find_reference(ref_dir, path) if ref_dir else (refs[i] if refs else None)
        stem = os.path.splitext(os.path.basename(path))[0]
        plot = None if args.plot is None else args.plot.format(stem=stem)
        tasks.append(Task(path=path, params=params, reference=ref, tolerances=args.tolerance, plot=plot,
                          dpi=args.dpi, jams=args.format == "jams"))
    return tasks


def _unpaired(args, tasks):
    """Messages for the files that a reference folder holds no annotation for."""
    refs = args.ref or []
    if not (len(refs) == 1 and os.path.isdir(refs[0])):
        return []
    return [f"velmor: {t.path}: no reference in {refs[0]} (looked for STEM.lab, STEM.txt, STEM.jams, "
            f"STEM.*.lab); not scored" for t in tasks if t.reference is None]


class _Progress:
    """A tqdm bar on stderr when wanted and available; messages go around it."""

    def __init__(self, total, wanted):
        self.bar = None
        asked = wanted is True
        if wanted is None:
            wanted = sys.stderr.isatty()
        if not wanted:
            return
        try:
            tqdm = need("tqdm")
        except MissingExtra as exc:
            if asked:  # without tqdm there is no bar; say so only if one was asked for
                print(f"velmor: note: {exc}", file=sys.stderr)
            return
        self.bar = tqdm.tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)

    def message(self, text):
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr, flush=True)

    def around_output(self):
        """A context for writing results to stdout without breaking the bar on the terminal."""
        if self.bar is not None:
            return self.bar.external_write_mode(file=sys.stdout)
        return contextlib.nullcontext()

    def advance(self):
        if self.bar is not None:
            self.bar.update(1)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _results(tasks, jobs):
    """Yield ``(index, result, error)`` as tasks finish (in any order when run in parallel)."""
    if jobs == 0:
        jobs = os.cpu_count() or 1
    jobs = min(jobs, len(tasks))
    if jobs <= 1:
        for i, task in enumerate(tasks):
            yield (i, *_attempt(task))
        return
    from concurrent.futures import ProcessPoolExecutor, as_completed

    with ProcessPoolExecutor(max_workers=jobs) as pool:
        futures = {pool.submit(_attempt, task): i for i, task in enumerate(tasks)}
        try:
            for fut in as_completed(futures):
                try:
                    result, error = fut.result()
                except Exception as exc:  # a worker died (BrokenProcessPool) or would not unpickle
                    result, error = None, f"worker failed: {type(exc).__name__}: {exc}"
                yield futures[fut], result, error
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise


def _summary(tasks, done, failed, scored):
    text = f"velmor: {len(tasks)} file{'s' if len(tasks) != 1 else ''}: {done} done, {failed} failed"
    if scored:
        tols = [s["tolerance"] for s in scored[0]]
        means = [sum(r[k]["f"] for r in scored) / len(scored) for k in range(len(tols))]
        text += "; mean F " + ", ".join(f"{m:.3f} at {t:g} s" for m, t in zip(means, tols))
        text += f" ({len(scored)} with reference{'s' if len(scored) != 1 else ''})"
    return text


def run_segment(args):
    try:
        need("soundfile")
        if args.plot is not None:
            need("matplotlib")
        if args.format == "jams":
            need("jams")
    except MissingExtra as exc:
        print(f"velmor: {exc}", file=sys.stderr)
        return 1
    tasks = _tasks(args)
    if args.output is not None:
        os.makedirs(args.output, exist_ok=True)
    names = [os.path.splitext(os.path.basename(t.path))[0] for t in tasks]
    writer = Writer(args.format, sys.stdout, args.output, names, multi=len(tasks) > 1)
    for message in _unpaired(args, tasks):
        print(message, file=sys.stderr)
    progress = _Progress(len(tasks), args.progress if not (args.quiet and args.progress is None) else False)
    pending, next_index = {}, 0
    done = failed = 0
    scored = []
    try:
        for i, result, error in _results(tasks, args.jobs):
            if error is not None:
                failed += 1
                progress.message(f"velmor: {tasks[i].path}: {error}")
                result = {"file": tasks[i].path, "error": error}
            else:
                done += 1
                if result["scores"] is not None:
                    scored.append(result["scores"])
            progress.advance()
            pending[i] = result
            while next_index in pending:  # print in input order
                try:
                    with progress.around_output():
                        writer.write(next_index, pending.pop(next_index))
                except OSError as exc:
                    done, failed = done - 1, failed + 1
                    progress.message(f"velmor: {tasks[next_index].path}: cannot write the result: {exc}")
                next_index += 1
    except KeyboardInterrupt:
        print("velmor: interrupted", file=sys.stderr)
        return 130
    finally:
        progress.close()
    writer.close()
    sys.stdout.flush()  # results first, then the summary, also when both go to one terminal
    if not args.quiet:
        print(_summary(tasks, done, failed, scored), file=sys.stderr)
    return 1 if failed else 0
