"""``velmor segment``: analyse files one by one or in a process pool, report as they finish.

Faults stay with the file they belong to: a file that cannot be read, a figure that cannot be
written, a worker process that dies (the pool is rebuilt and the files that were running with it
run again, one at a time, so that only the file that kills its worker fails). Ctrl-C stops the
workers and still writes every finished result; a reader that goes away (``| head -1``) stops
the batch quietly.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import os
import signal
import sys
from collections.abc import Generator, Mapping, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from types import FrameType
from typing import TYPE_CHECKING, Any, NoReturn, cast

from .._files import reason, remove_stale
from .analysis import AnalysisError, MissingExtra, Task, analyse_file, find_reference, need
from .options import params_from_args
from .output import OutputError, Writer, say, shown

if TYPE_CHECKING:
    import io
    from multiprocessing.process import BaseProcess

STDIN = "-"
"""The file name that means standard input."""

_Outcome = tuple[dict[str, Any] | None, str | None]

DIED = "its worker process died (killed, as the system does when memory runs out)"


def _attempt(task: Task) -> _Outcome:
    """Run one task in a worker: ``(result, None)`` or ``(None, message)``; never raises."""
    try:
        return analyse_file(task), None
    except MemoryError as exc:
        return None, f"out of memory: {exc}" if str(exc) else "out of memory"
    except Exception as exc:  # one bad file must not stop the batch
        text = str(exc) or type(exc).__name__
        if not isinstance(exc, (AnalysisError, MissingExtra, OSError)):
            text = f"{type(exc).__name__}: {text}"
        return None, text


def stem(path: str) -> str:
    """The name a result of ``path`` is filed under: its base name without the suffix.

    Parameters
    ----------
    path : str
        An input file, or ``-`` for standard input.

    Returns
    -------
    stem : str
        The name, ``stdin`` for standard input.
    """
    return "stdin" if path == STDIN else os.path.splitext(os.path.basename(path))[0]


def _tasks(args: argparse.Namespace, stdin_audio: bytes | None = None) -> list[Task]:
    params = params_from_args(args)
    refs: list[str] = args.ref or []
    ref_dir = refs[0] if len(refs) == 1 and os.path.isdir(refs[0]) else None
    tasks: list[Task] = []
    for i, path in enumerate(args.files):
        ref = find_reference(ref_dir, stem(path)) if ref_dir else (refs[i] if refs else None)
        plot = None if args.plot is None else args.plot.format(stem=stem(path))
        tasks.append(Task(path=path, params=params, reference=ref, tolerances=args.tolerance, plot=plot,
                          dpi=args.dpi, jams=args.format == "jams",
                          audio=stdin_audio if path == STDIN else None))
    return tasks


def _unpaired(args: argparse.Namespace, tasks: Sequence[Task]) -> list[str]:
    """Messages for the files that a reference folder holds no annotation for."""
    refs: list[str] = args.ref or []
    if not (len(refs) == 1 and os.path.isdir(refs[0])):
        return []
    return [f"velmor: {shown(t.path)}: no reference in {shown(refs[0])} (looked for STEM.lab, STEM.txt, STEM.jams, "
            f"STEM.*.lab); not scored" for t in tasks if t.reference is None]


class _Progress:
    """A tqdm bar on stderr when wanted and available; messages go around it.

    Parameters
    ----------
    total : int
        The number of files.
    wanted : bool or None
        Whether a bar is wanted (None: when standard error is a terminal).
    """

    def __init__(self, total: int, wanted: bool | None) -> None:
        self.bar: Any = None
        asked = wanted is True
        if sys.stderr is None:
            return
        if wanted is None:
            wanted = sys.stderr.isatty()
        if not wanted:
            return
        try:
            tqdm = need("tqdm")
        except MissingExtra as exc:
            if asked:  # without tqdm there is no bar; say so only if one was asked for
                say(f"velmor: note: {exc}")
            return
        self.bar = tqdm.tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)

    def message(self, text: str) -> None:  # numpydoc ignore=GL08
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            say(text)

    def around_output(self) -> contextlib.AbstractContextManager[object]:  # numpydoc ignore=RT01
        """A context for writing results to stdout without breaking the bar on the terminal."""
        if self.bar is not None and sys.stdout is not None:
            return cast("contextlib.AbstractContextManager[object]", self.bar.external_write_mode(file=sys.stdout))
        return contextlib.nullcontext()

    def advance(self) -> None:  # numpydoc ignore=GL08
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:  # numpydoc ignore=GL08
        if self.bar is not None:
            self.bar.close()


def _in_main_thread() -> bool:
    import threading

    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def _whole() -> Generator[None, None, None]:
    """Ctrl-C (or SIGTERM) waits until the result being written is whole (a JSON object cut in two
    would spoil the list), then takes effect."""
    if not _in_main_thread():
        yield
        return
    caught: list[int] = []
    stops: tuple[int, ...] = (signal.SIGINT, *STOPS)
    previous = [signal.signal(number, lambda n, frame: caught.append(n)) for number in stops]
    try:
        yield
    finally:
        for number, handler in zip(stops, previous):
            signal.signal(number, handler)
        for number in dict.fromkeys(caught):
            signal.raise_signal(number)


STOPS = (signal.SIGTERM, signal.SIGHUP)
"""Signals that stop a batch as Ctrl-C does (a kill, a closed terminal), with status 128 + the signal."""


def _worker_start(parent: int) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is for the parent, which stops the workers
    for number in STOPS:  # and the parent stops them with SIGTERM
        signal.signal(number, signal.SIG_DFL)
    import threading

    threading.Thread(target=_watch, args=(parent,), name="velmor-parent-watch", daemon=True).start()


def _watch(parent: int, every: float = 0.5) -> None:
    """End this worker when its parent is gone (killed outright, say by the system when memory runs
    out): an orphan would sit idle, holding its memory, for ever."""
    import time

    while os.getppid() == parent:
        time.sleep(every)
    os._exit(1)


class _Terminated(KeyboardInterrupt):  # numpydoc ignore=PR01
    """SIGTERM or SIGHUP (``number``), taken as Ctrl-C is.

    Finished results are written, the workers stopped.
    """

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


_main_pid = os.getpid()  # the process whose batch it is; set again when the batch starts


def _on_stop(number: int, frame: FrameType | None) -> NoReturn:
    if os.getpid() != _main_pid:  # a worker stopped before it replaced the handler it was forked with
        os._exit(128 + number)
    raise _Terminated(number)


def _stop(pool: ProcessPoolExecutor, kill: bool) -> None:
    """Shut a pool down; with ``kill``, end its workers first rather than wait for their files."""
    if kill:  # the executor has no public way to end its workers; without one, shutdown waits for them
        for process in list(cast("dict[int, BaseProcess]", getattr(pool, "_processes", None) or {}).values()):
            with contextlib.suppress(Exception):
                process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


def _results(tasks: Sequence[Task], jobs: int) -> Generator[tuple[int, dict[str, Any] | None, str | None], None, None]:
    """Yield ``(index, result, error)`` as tasks finish (in any order when run in parallel)."""
    if jobs == 0:
        jobs = os.cpu_count() or 1
    jobs = min(jobs, len(tasks))
    if jobs <= 1:
        for i, task in enumerate(tasks):
            yield (i, *_attempt(task))
        return
    from concurrent.futures import FIRST_COMPLETED, wait
    from concurrent.futures.process import BrokenProcessPool

    def new_pool() -> ProcessPoolExecutor:
        return ProcessPoolExecutor(max_workers=jobs, initializer=_worker_start, initargs=(os.getpid(),))

    waiting = collections.deque(range(len(tasks)))
    suspects: collections.deque[int] = collections.deque()  # running when a worker died: each runs again alone
    running: dict[Future[_Outcome], tuple[int, bool]] = {}  # future -> (index, ran alone)
    pool = new_pool()
    finished = False
    try:
        while waiting or suspects or running:
            broken = False
            queue, alone = (suspects, True) if suspects else (waiting, False)
            try:
                while queue and len(running) < (1 if alone else jobs):
                    fut = pool.submit(_attempt, tasks[queue[0]])
                    running[fut] = (queue.popleft(), alone)
            except BrokenProcessPool:  # a worker died since the last look; the file stays queued
                broken = True
            done = wait(running, return_when=FIRST_COMPLETED).done if running else ()
            for fut in done:
                i, alone = running.pop(fut)
                try:
                    result, error = fut.result()
                except BrokenProcessPool:
                    broken = True
                    if alone:
                        yield i, None, DIED
                    else:
                        suspects.append(i)
                    continue
                except Exception as exc:  # a result that would not unpickle
                    result, error = None, f"worker failed: {type(exc).__name__}: {exc}"
                yield i, result, error
            if broken:  # every file still running went down with the pool
                for i, alone in running.values():
                    suspects.append(i)
                running.clear()
                _stop(pool, kill=True)
                pool = new_pool()
        finished = True
    finally:
        _stop(pool, kill=not finished)


def _summary(tasks: Sequence[Task], done: int, failed: int, scored: Sequence[Sequence[Mapping[str, float]]],
             writer: Writer, figures_lost: int) -> str:
    text = f"velmor: {len(tasks)} file{'s' if len(tasks) != 1 else ''}: {done} done, {failed} failed"
    if figures_lost:
        text += f", {figures_lost} figure{'s' if figures_lost != 1 else ''} not written"
    if scored:
        tols = [s["tolerance"] for s in scored[0]]
        means = [sum(r[k]["f"] for r in scored) / len(scored) for k in range(len(tols))]
        text += "; mean F " + ", ".join(f"{m:.3f} at {t:g} s" for m, t in zip(means, tols))
        text += f" ({len(scored)} with reference{'s' if len(scored) != 1 else ''})"
    r, k = writer.replaced, writer.kept
    changes = ([f"{r} earlier result{'s' if r != 1 else ''} replaced"] if r else []) + \
              ([f"{k} of failed file{'s' if k != 1 else ''} kept from an earlier run"] if k else [])
    if changes:
        text += f"; in {shown(cast(str, writer.output_dir))}: " + ", ".join(changes)
    return text


def _read_stdin(files: Sequence[str]) -> bytes | None:
    """The bytes of standard input when one of the files is ``-``, else None."""
    if STDIN not in files:
        return None
    stream = sys.stdin
    if stream is None:
        raise AnalysisError("standard input is closed")
    if stream.isatty():
        raise AnalysisError("standard input is a terminal: pipe audio into it (velmor segment - < song.wav)")
    return stream.buffer.read()


def run_segment(args: argparse.Namespace) -> int:
    """The ``velmor segment`` command.

    Parameters
    ----------
    args : argparse.Namespace
        The command line as parsed by :func:`velmor.cli.build_parser`.

    Returns
    -------
    status : int
        0 when every file was analysed and written, 1 when one failed, 130 after Ctrl-C, 143
        after SIGTERM and 129 after SIGHUP.
    """
    try:
        need("soundfile")
        if args.plot is not None:
            need("matplotlib")
        if args.format == "jams":
            need("jams")
    except MissingExtra as exc:
        say(f"velmor: {exc}")
        return 1
    if args.output is None and sys.stdout is None:
        say("velmor: standard output is closed: nowhere to write the results (use --output DIR)")
        return 1
    if sys.stdout is not None and hasattr(sys.stdout, "reconfigure"):
        # file names that are not UTF-8 come out as they are
        cast("io.TextIOWrapper", sys.stdout).reconfigure(errors="surrogateescape")
    if args.output is not None:
        try:
            os.makedirs(args.output, exist_ok=True)
        except OSError as exc:
            say(f"velmor: cannot make the output folder {shown(args.output)}: {reason(exc)}")
            return 1
    try:
        stdin_audio = _read_stdin(args.files)
    except (AnalysisError, OSError) as exc:
        say(f"velmor: -: {reason(exc)}")
        return 1
    tasks = _tasks(args, stdin_audio)
    writer = Writer(args.format, sys.stdout, args.output, [stem(t.path) for t in tasks], multi=len(tasks) > 1)
    for message in _unpaired(args, tasks):
        say(message)
    progress = _Progress(len(tasks), args.progress if not (args.quiet and args.progress is None) else False)
    pending: dict[int, dict[str, Any]] = {}
    next_index = 0
    done = failed = figures_lost = 0
    scored: list[list[dict[str, float]]] = []

    def write(i: int, result: Mapping[str, Any]) -> None:  # numpydoc ignore=GL08
        nonlocal done, failed
        try:
            with _whole(), progress.around_output():
                writer.write(i, result)
        except (OutputError, BrokenPipeError):
            raise
        except OSError as exc:  # a result file; its input counts as failed
            done, failed = done - 1, failed + 1
            progress.message(f"velmor: {shown(tasks[i].path)}: cannot write the result "
                             f"{shown(writer.path(i))}: {reason(exc)}")

    status: int | None = None
    global _main_pid
    _main_pid = os.getpid()
    previous = [(number, signal.signal(number, _on_stop)) for number in STOPS] if _in_main_thread() else []
    try:
        try:
            with contextlib.closing(_results(tasks, args.jobs)) as results:  # stops the workers on the way out
                for i, result, error in results:
                    if error is not None:
                        failed += 1
                        progress.message(f"velmor: {shown(tasks[i].path)}: {error}")
                        result = {"file": tasks[i].path, "error": error}  # its earlier figure, if any, stays
                    else:
                        result = cast("dict[str, Any]", result)  # a result whenever there is no error
                        done += 1
                        if result["scores"] is not None:
                            scored.append(result["scores"])
                        for warning in result.get("warnings", ()):
                            progress.message(f"velmor: {shown(tasks[i].path)}: warning: {warning}")
                        if result.get("plot_error"):
                            figures_lost += 1
                            remove_stale(cast(str, tasks[i].plot))  # an earlier figure would pass for this one
                            progress.message(f"velmor: {shown(tasks[i].path)}: cannot write the figure "
                                             f"{shown(cast(str, tasks[i].plot))}: {result['plot_error']}")
                    if args.output is not None:  # files go out as they finish, streams in input order
                        write(i, result)
                    else:
                        pending[i] = result
                        while next_index in pending:
                            write(next_index, pending.pop(next_index))
                            next_index += 1
                    progress.advance()
        except _Terminated as stop:
            status = 128 + stop.number
        except KeyboardInterrupt:
            status = 130
        finally:
            progress.close()
        with _whole():
            for i in sorted(pending):  # finished, but after one that had not: still worth having
                write(i, pending.pop(i))
            writer.close()
    except OutputError as exc:
        say(f"velmor: {exc}")
        return 1
    finally:
        for number, handler in previous:
            signal.signal(number, handler)
    if status is not None:
        how = {128 + signal.SIGTERM: "terminated", 128 + signal.SIGHUP: "hung up"}.get(status, "interrupted")
        say(f"velmor: {how}: {done + failed} of {len(tasks)} files finished")
        return status
    if not args.quiet:
        say(_summary(tasks, done, failed, scored, writer, figures_lost))
    return 1 if failed or figures_lost else 0
