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


def load_conf():
    import runpy

    return runpy.run_path(str(DOCS / "conf.py"))


def test_the_benchmark_tables_become_valid_rst_tables():
    docutils_core = pytest.importorskip("docutils.core")
    conf = load_conf()
    markdown = ("## Results\n\nOn `make bench-quality`:\n\n| method | F@3 |\n|---|---:|\n"
                "| velmor `structure` | 0.75 |\n| librosa | |\n\n- a list item\n")
    rst = conf["markdown_to_rst"](markdown)
    assert "``make bench-quality``" in rst and "``structure``" in rst
    tree = docutils_core.publish_doctree(rst, settings_overrides={"report_level": 2, "halt_level": 5,
                                                                   "warning_stream": False})
    errors = [n for n in tree.findall() if n.tagname == "system_message"]
    assert not errors, errors
    rows = [n for n in tree.findall() if n.tagname == "row"]
    assert len(rows) == 3  # the header and two rows; the dashes line is no row


def test_every_example_has_a_title_and_writes_a_figure():
    import ast

    for script in sorted((DOCS / "examples").glob("*.py")):
        doc = ast.get_docstring(ast.parse(script.read_text()))
        assert doc and doc.splitlines()[0].endswith("."), script.name
        assert ".savefig(" in script.read_text(), script.name
