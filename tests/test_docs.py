"""The Python examples of the documentation run as written, each in a fresh interpreter."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"


def python_blocks():
    for page in sorted(DOCS.glob("*.rst")):
        text = page.read_text()
        for i, block in enumerate(re.findall(r"^\.\. code-block:: python\n\n((?:    .*\n|\n)+)", text, re.M)):
            yield pytest.param(textwrap.dedent(block), id=f"{page.stem}-{i}")


@pytest.mark.parametrize("code", list(python_blocks()))
def test_example_runs(code, tmp_path):
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr


def test_the_getting_started_page_has_examples():
    assert len(list(python_blocks())) >= 3
