"""The wheel `make wheel` writes installs into a fresh environment without a compiler and analyses."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

TAG = "cp%d%d" % sys.version_info[:2]
WHEELS = sorted((pathlib.Path(__file__).resolve().parents[1] / "dist").glob(f"velmor-*-{TAG}-{TAG}-manylinux*.whl"))

# The demo's piece, analysed as velmor demo does it; its boundaries are those of the README, found
# on 3.11 (every version gives them bit for bit).
ANALYSIS = """
import velmor
from velmor.demo import FS, synthesise

signal, _ = synthesise()
s = velmor.analyze(signal, sr=FS)
print(" ".join(f"{b:.2f}" for b in s.boundaries), " ".join(s.labels))
"""


@pytest.mark.skipif(not WHEELS, reason=f"no manylinux wheel for {TAG} in dist/: make wheel writes it")
def test_wheel_installs_without_a_compiler_and_analyses_the_demo(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    # Only the new environment's own programs: no compiler, no CMake, nothing of this checkout.
    env = {k: v for k, v in os.environ.items() if k not in {"CC", "CXX", "PYTHONPATH", "VIRTUAL_ENV"}}
    env["PATH"] = str(venv / "bin")
    assert not any(shutil.which(cc, path=env["PATH"]) for cc in ("cc", "c++", "gcc", "g++", "clang"))
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--only-binary", ":all:", str(WHEELS[-1])],
                   env=env, check=True, timeout=600)
    out = subprocess.run([python, "-W", "error", "-c", ANALYSIS], env=env, cwd=tmp_path, capture_output=True,
                         text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    assert (out.stdout, out.stderr) == ("15.91 32.07 47.95 63.97 A B A C D\n", "")
