"""Import behaviour, each case in a fresh interpreter process."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import velmor


def run(code, path=None):
    env = dict(os.environ)
    if path is not None:
        env["PYTHONPATH"] = str(path)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_import_twice_and_after_removal_gives_the_same_module():
    out = run("""
        import sys, importlib
        import velmor.unit7 as a
        import velmor.unit7 as b
        assert a is b
        f = a.make_ssm
        del sys.modules["velmor.unit7"]
        c = importlib.import_module("velmor.unit7")
        assert c is a and c.make_ssm is f and c.np is sys.modules["numpy"]
        print(sorted(k for k in vars(c) if not k.startswith("__"))[:3])
    """)
    assert out.strip() == "['audio_to_ssm', 'calc_prf', 'cens']"


def test_import_after_every_other_reference_is_gone_gives_the_same_module():
    # Only one function survives; the module object itself is referenced nowhere else. The
    # import must still hand back the initialised module that function belongs to.
    out = run("""
        import gc, sys, importlib
        import velmor, velmor.unit7
        f = velmor.unit7.make_ssm
        first_id = id(velmor.unit7)
        del sys.modules["velmor.unit7"]
        del velmor.unit7
        gc.collect()
        junk = [tuple(range(k)) for k in range(1, 24) for _ in range(2000)]  # every small size class
        u = importlib.import_module("velmor.unit7")
        assert type(u).__name__ == "module" and id(u) == first_id
        assert u.make_ssm is f and f.__globals__ is vars(u)
        assert sys.modules["velmor.unit7"] is u and velmor.unit7 is u
        import numpy as np
        print(u.calc_prf(np.array([1.0]), np.array([1.2]), 0.5))
    """)
    assert out.strip() == "(1.0, 1.0, 1.0)"


@pytest.mark.parametrize(
    "run_code, expected",
    [
        ("types.FunctionType(code, {})(*[1] * code.co_argcount)", "AssertionError"),
        ("exec(code, {})", "TypeError"),  # exec passes no arguments: binding fails first
    ],
)
def test_running_a_code_object_on_its_own_raises(run_code, expected):
    # The bodies are compiled code; their code objects carry instructions that only raise.
    out = run(f"""
        import types, traceback
        from velmor import unit7
        for name in ("make_ssm", "audio_to_ssm", "calc_prf", "diagonal_smoothing"):
            code = getattr(unit7, name).__code__
            try:
                {run_code}
            except Exception as e:
                print(type(e).__name__, traceback.extract_tb(e.__traceback__)[-1].name)
    """)
    names = ["make_ssm", "audio_to_ssm", "calc_prf", "diagonal_smoothing"]
    if expected == "AssertionError":
        assert out.splitlines() == [f"AssertionError {name}" for name in names]
    else:
        assert [line.split()[0] for line in out.splitlines()] == [expected] * 4


def builds_for_earlier_versions():
    """unit7 as this checkout built it for earlier CPython versions (make PYTHON=python3.X install)."""
    builds = pathlib.Path(__file__).resolve().parents[1] / "build"
    for path in sorted(builds.glob("cp3*/unit7.cpython-3*.so")):
        minor = int(path.name.split("-")[1][1:])  # unit7.cpython-311-x86_64-linux-gnu.so: 11
        if minor < sys.version_info.minor:
            yield pytest.param(str(path), f"3.{minor}", id=f"built-for-3.{minor}")


@pytest.mark.parametrize(
    "path, built_for", [pytest.param(None, None, id="this-build"), *builds_for_earlier_versions()]
)
def test_version_check_compares_with_the_version_built_for(path, built_for):
    # A build for an earlier version warns, and with the warning an error the import fails; with
    # the default filter it goes on. The build for this interpreter says nothing.
    out = run(f"""
        import importlib.machinery, importlib.util, warnings
        import numpy as np
        import velmor
        path = {path!r} or importlib.util.find_spec("velmor.unit7").origin

        def load():
            loader = importlib.machinery.ExtensionFileLoader("velmor.unit7", path)
            module = importlib.util.module_from_spec(importlib.util.spec_from_loader("velmor.unit7", loader))
            loader.exec_module(module)
            return module

        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                load()
            except RuntimeWarning as e:
                print(e)
            else:
                print("no warning")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            unit7 = load()
        print(len(caught), unit7.calc_prf(np.array([1.0, 5.0]), np.array([1.2]), 0.5))
    """)
    running = "%d.%d" % sys.version_info[:2]
    expected = (
        f"compile time Python version {built_for} of module 'velmor.unit7' does not match runtime version {running}"
        if built_for else "no warning"
    )
    assert out.splitlines() == [expected, f"{int(bool(built_for))} (0.5, 1.0, 0.6666666666666666)"]


def test_second_interpreter_is_refused():
    # A second interpreter of its own GIL (the default of 3.12 and later) is refused like one that
    # shares it. The private module for them was renamed in 3.13, and reports instead of raising.
    out = run("""
        import sys
        import velmor.unit7
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            error = interpreters.run_string(interpreters.create(), "import velmor.unit7")
            print(f"{error.type.__name__}: {error.msg}" if error else "imported")
        else:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(), "import velmor.unit7")
            except interpreters.RunFailedError as e:
                kind, _, message = str(e).partition(": ")  # "<class 'ImportError'>: ..."
                print(f"{kind[8:-2]}: {message}")
            else:
                print("imported")
    """)
    assert out.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the installed package whose unit4 lacks cens."""
    src = pathlib.Path(velmor.__file__).parent
    dst = tmp_path / "velmor"
    shutil.copytree(src, dst, ignore=shutil.ignore_patterns("__pycache__"))
    (dst / "unit4.py").write_text("def make_chromagram(snd, fs, fft_len, hop_size):\n    return None\n")
    return tmp_path


def test_unit4_without_cens_fails_and_a_later_import_runs_again(package_copy):
    out = run("""
        import sys, traceback
        try:
            import velmor.unit7
        except ImportError as e:
            print(e)
            print(e.__cause__, e.__context__ is None or type(e.__context__).__name__)
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])
        assert "velmor.unit7" not in sys.modules
        import velmor.unit4
        velmor.unit4.cens = lambda chroma, filt_len, ds: chroma
        import velmor.unit7 as u
        assert u.cens is velmor.unit4.cens and u.__file__.startswith(sys.path[1])
        print("second import ok")
    """, package_copy)
    lines = out.splitlines()
    assert lines[0] == "cannot import name cens"
    assert lines[1].startswith("None")
    assert lines[2] == "init velmor.unit7"
    assert lines[3] == "second import ok"


def test_spec_without_origin_or_search_locations():
    out = run("""
        import _imp, importlib.util
        real = importlib.util.find_spec("velmor.unit7")

        class Spec:
            name = "velmor.unit7"
            loader = real.loader
            parent = "velmor"
            submodule_search_locations = None
            reads, budget = 0, None

            @property
            def origin(self):
                # the interpreter's loader reads the file name first (how often depends on the
                # version: counted below), then the module's create step once; that one finds none
                Spec.reads += 1
                if Spec.budget is not None and Spec.reads > Spec.budget:
                    raise AttributeError("origin")
                return real.origin

        _imp.create_dynamic(Spec())
        Spec.reads, Spec.budget = 0, Spec.reads - 1
        mod = _imp.create_dynamic(Spec())
        print(hasattr(mod, "__file__"), hasattr(mod, "__path__"), mod.__package__, mod.__loader__ is real.loader)
        _imp.exec_dynamic(mod)
        print(mod.make_ssm.__module__)
    """)
    assert out.split() == ["False", "False", "velmor", "True", "velmor.unit7"]


def test_exec_step_on_a_second_module_object():
    out = run("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("velmor.unit7")
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # again on the same object: nothing happens
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
        assert _imp.create_dynamic(spec) is first
        print(hasattr(second, "make_ssm"), first.make_ssm.__globals__ is vars(first))
    """)
    assert out.splitlines() == [
        "Module 'unit7' has already been imported. Re-initialisation is not supported.",
        "False True",
    ]


def test_missing_range_builtin():
    out = run("""
        import builtins
        rng = builtins.range
        del builtins.range
        try:
            import velmor.unit7
        except NameError as e:
            print(e)
        finally:
            builtins.range = rng
        import velmor.unit7
        print(velmor.unit7.make_ssm.__name__)
    """)
    assert out.splitlines() == ["name 'range' is not defined", "make_ssm"]


def test_only_one_exported_symbol():
    from velmor import unit7

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", unit7.__file__], capture_output=True, text=True).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.split()[1] in "TDBRV"]
    assert exported == ["PyInit_unit7"]
