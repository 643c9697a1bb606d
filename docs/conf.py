"""Sphinx configuration of velmor's documentation (make docs)."""

import argparse
import ast
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys

import velmor

HERE = pathlib.Path(__file__).resolve().parent
GENERATED = HERE / "generated"  # pages written at build time (not kept in git)

project = "velmor"
author = "the velmor developers"
copyright = "2026, the velmor developers"
release = version = velmor.__version__

extensions = ["sphinx.ext.autodoc", "numpydoc"]
root_doc = "index"
exclude_patterns = ["_build", "examples"]
html_theme = "alabaster"
html_static_path = []

autodoc_typehints = "signature"
autodoc_member_order = "bysource"
# the aliases features.py annotates with, shown by name instead of expanded
autodoc_type_aliases = {"Floats": "velmor.features.Floats", "Float64": "velmor.features.Float64",
                        "ArrayLike": "numpy.typing.ArrayLike", "DTypeLike": "numpy.typing.DTypeLike"}
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

# One page per public function and class of the documented modules, written before every build
# from the modules themselves, so a new function gets its page without anyone writing one.
MODULES = {
    "velmor.unit7": ("The compiled analysis functions",
                     "Fourteen functions of a compiled module, in the order they are defined: "
                     "self-similarity matrices, their conditioning, kernels and novelty curves, "
                     "peak picking and boundary scores. Every parameter may be given by keyword, "
                     "arguments are never modified and every call returns new objects. The types "
                     "shown are those of the module's stub file, which type checkers read."),
    "velmor.unit4": ("The audio front end of unit7", ""),
    "velmor.features": ("Features from one spectrogram", ""),
    "velmor.audio": ("audio in", ""),
    "velmor.api": ("labelled sections in one call",
                   "``velmor.analyze`` lives here; ``import velmor`` reaches it by that short name."),
    "velmor.result": ("the result of an analysis",
                      "``velmor.Structure`` lives here (``velmor.api`` names it too); ``import velmor`` "
                      "reaches it by that short name."),
    "velmor.evaluation": ("scores against a reference",
                          "``velmor.evaluate`` lives here; ``import velmor`` reaches it by that name."),
    "velmor.annotations": ("segment annotations in and out", ""),
    "velmor.plot": ("figures of a result", ""),
    "velmor.analysis": ("the analysis layer",
                        "Every stage of an analysis as a function of arrays, and the methods that "
                        "chain them. The names below are those the package exports; they are "
                        "defined in the modules that follow."),
    "velmor.analysis.labels": ("labels of segments", ""),
    "velmor.analysis.banded": ("the banded road for long inputs", ""),
    "velmor.analysis.audio_blocks": ("features of a file, a block at a time", ""),
}


def public_names(module):
    names = getattr(module, "__all__", None)
    if names is None:  # its public functions and classes, in the order the module binds them
        names = [k for k, v in vars(module).items()
                 if callable(v) and getattr(v, "__module__", None) == module.__name__ and not k.startswith("_")]
    return list(names)


def write_api_pages(app):
    import importlib
    import inspect
    import textwrap

    out = pathlib.Path(app.srcdir) / "api"
    out.mkdir(exist_ok=True)
    for modname, (title, intro) in MODULES.items():
        module = importlib.import_module(modname)
        lines = [f"``{modname}``: {title}", "=" * (len(modname) + 6 + len(title)), "", intro, "",
                 f".. automodule:: {modname}", "   :no-members:", "", ".. toctree::", "   :maxdepth: 1", ""]
        typed = unit7_signatures() if modname == "velmor.unit7" else {}
        for name in public_names(module):
            obj = getattr(module, name)
            page = out / f"{modname}.{name}.rst"
            body = f"{name}\n{'=' * len(name)}\n\n"
            if name in typed:
                # A compiled function carries no annotations: its signatures (one per overload)
                # come from the stub, its text from the function itself.
                indent = " " * len(".. py:function:: ")
                signatures = [f"{name}{params} -> {result}" for params, result in typed[name]]
                body += ".. py:function:: " + f"\n{indent}".join(signatures) + f"\n   :module: {modname}\n\n"
                body += textwrap.indent(inspect.cleandoc(obj.__doc__), "   ") + "\n"
            elif inspect.isclass(obj):
                body += f".. autoclass:: {modname}.{name}\n   :members:\n"
            elif not callable(obj):  # a constant: documented where it is defined
                body += f".. autodata:: {defined_in(module, name)}.{name}\n   :no-value:\n"
            else:
                body += f".. autofunction:: {modname}.{name}\n"
            if not page.exists() or page.read_text() != body:
                page.write_text(body)
            lines.append(f"   {modname}.{name}")
        index = out / f"{modname}.rst"
        text = "\n".join(lines) + "\n"
        if not index.exists() or index.read_text() != text:
            index.write_text(text)


def defined_in(package, name):
    """The module of ``package`` (itself or a submodule) whose source assigns ``name``."""
    import importlib

    for path in [pathlib.Path(package.__file__), *pathlib.Path(package.__file__).parent.glob("*.py")]:
        tree = ast.parse(path.read_text())
        for node in tree.body:
            targets = node.targets if isinstance(node, ast.Assign) else [node.target] \
                if isinstance(node, ast.AnnAssign) else []
            if any(isinstance(t, ast.Name) and t.id == name for t in targets):
                if path.name == "__init__.py":
                    return package.__name__
                module = importlib.import_module(f"{package.__name__}.{path.stem}")
                return module.__name__
    return package.__name__


def unit7_signatures():
    """The signatures of the unit7 stub, one list of (parameters, result) per function (several
    for an overloaded one), written as a reader wants them: aliases spelled out, ``np.`` for
    numpy, type variables without their underscore."""
    tree = ast.parse(pathlib.Path(velmor.__file__).with_name("unit7.pyi").read_text())
    aliases = {n.targets[0].id: n.value for n in tree.body
               if isinstance(n, ast.Assign) and n.targets[0].id.startswith("_") and not isinstance(n.value, ast.Call)}

    def spell(node):
        text = ast.unparse(node)
        for _ in range(3):  # aliases of aliases
            text = re.sub(r"\b_[A-Z][A-Za-z]*\b",
                          lambda m: ast.unparse(aliases[m.group(0)]) if m.group(0) in aliases else m.group(0), text)
        return re.sub(r"\b_([A-Z]\w*T)\b", r"\1", text.replace("numpy.", "np.").replace("[Any]", ""))

    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
            params = ", ".join(f"{a.arg}: {spell(a.annotation)}" + (f" = {ast.unparse(d)}" if d else "")
                               for a, d in zip(args.args, defaults))
            out.setdefault(node.name, []).append((f"({params})", spell(node.returns)))
    return out


def write_if_changed(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def heading(text, char="="):
    return f"{text}\n{char * len(text)}\n\n"


def write_cli_page(app):
    """The command line reference, from the parser the command line itself builds."""
    from velmor.cli import build_parser

    columns = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = "96"  # argparse wraps its help to the terminal's width
    try:
        parser = build_parser()
        commands = [("velmor", parser)]
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                commands += [(f"velmor {name}", sub) for name, sub in action.choices.items()]
        text = heading("Command line") + (
            "The ``velmor`` command (also ``python -m velmor``) and its subcommands, as their own "
            "``--help`` describes them. This page is written from the command line's parser "
            "whenever the documentation is built.\n\n")
        for title, command in commands:
            help_text = command.format_help().rstrip()
            text += heading(title, "-") + ".. code-block:: text\n\n" + \
                "\n".join(f"   {line}".rstrip() for line in help_text.splitlines()) + "\n\n"
    finally:
        if columns is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = columns
    write_if_changed(GENERATED / "cli.rst", text)


def package_digest():
    """A hash of the examples' inputs besides themselves: the package's Python source."""
    digest = hashlib.sha256()
    for path in sorted(pathlib.Path(velmor.__file__).parent.rglob("*.py")):
        digest.update(path.read_bytes())
    return digest.hexdigest()


def write_gallery(app):
    """Run every example of docs/examples (each in a fresh interpreter, in a folder of its own)
    and write a page with its figures, its printed output and its code. An example runs again
    when it or the package changes."""
    examples = sorted((HERE / "examples").glob("*.py"))
    out = GENERATED / "gallery"
    package = package_digest()
    entries = []
    for script in examples:
        stem = script.stem.removeprefix("plot_")
        doc = ast.get_docstring(ast.parse(script.read_text())) or stem
        title, _, intro = doc.partition("\n")
        folder = out / stem
        stamp = folder / ".inputs"
        inputs = hashlib.sha256(script.read_bytes()).hexdigest() + package
        if not stamp.exists() or stamp.read_text() != inputs:
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)
            proc = subprocess.run([sys.executable, str(script)], cwd=folder, capture_output=True, text=True,
                                  timeout=600, env=dict(os.environ, MPLBACKEND="Agg"))
            if proc.returncode:
                raise RuntimeError(f"the example {script.name} failed:\n{proc.stderr}")
            (folder / "output.txt").write_text(proc.stdout)
            stamp.write_text(inputs)
        figures = sorted(folder.glob("*.png"))
        if not figures:
            raise RuntimeError(f"the example {script.name} made no figure")
        text = heading(title.rstrip(".")) + intro.strip() + "\n\n"
        for figure in figures:
            text += f".. image:: {stem}/{figure.name}\n   :alt: {title.rstrip('.')}\n\n"
        printed = (folder / "output.txt").read_text().rstrip()
        if printed:
            text += "It prints:\n\n.. code-block:: text\n\n" + \
                "\n".join(f"   {line}" for line in printed.splitlines()) + "\n\n"
        text += (f"The code (``docs/examples/{script.name}``):\n\n"
                 f".. literalinclude:: ../../examples/{script.name}\n   :language: python\n")
        write_if_changed(out / f"{stem}.rst", text)
        entries.append(stem)
    index = heading("Gallery") + (
        "Runnable examples, each a script in ``docs/examples`` that makes its figure from "
        "synthetic audio (the demo piece of ``velmor demo``, or plain tones). The figures were "
        "made by running the scripts while this documentation was built.\n\n"
        ".. toctree::\n   :maxdepth: 1\n\n") + "".join(f"   {e}\n" for e in entries)
    write_if_changed(out / "index.rst", index)


def markdown_to_rst(text):
    """The little markdown of the benchmark's README (headings, pipe tables, lists, inline code
    and emphasis) as reStructuredText."""
    out, table = [], []

    def flush():
        if not table:
            return
        rows = [[c.strip() for c in row.strip().strip("|").split("|")] for row in table if not
                re.fullmatch(r"\|?[\s:|-]+\|?", row.strip())]
        out.extend([".. list-table::", "   :header-rows: 1", ""])
        for row in rows:
            out.append("   * - " + inline(row[0]))
            out.extend(f"     - {inline(c)}" for c in row[1:])
        out.append("")
        table.clear()

    def inline(s):
        s = re.sub(r"\[([^]]+)\]\(([^)]+)\)", r"`\1 <\2>`__", s)
        return re.sub(r"(?<!`)`([^`]+)`(?!`)", r"``\1``", s)

    for line in text.splitlines():
        if line.startswith("|"):
            table.append(line)
            continue
        flush()
        m = re.match(r"(#+) (.*)", line)
        if m:
            title = inline(m.group(2))
            out.extend([title, "=-~^"[len(m.group(1)) - 1] * len(title), ""])
        else:
            out.append(inline(line))
    flush()
    return "\n".join(out) + "\n"


def write_benchmark_page(app):
    """The quality benchmark's result tables, from benchmarks/quality/README.md."""
    readme = (HERE.parent / "benchmarks" / "quality" / "README.md").read_text()
    results = readme.split("\n## Results\n", 1)[1]
    results = re.split(r"\n## ", results, maxsplit=1)[0]
    text = heading("Benchmarks") + (
        "How well and how fast velmor finds the sections of a piece, against peer baselines, on "
        "the quality benchmark's corpus of rendered pieces with known sections (``make "
        "bench-quality``; the corpus, the methods and what is measured are described in "
        "``benchmarks/quality/README.md``). These are the tables of its last recorded run; "
        "``F@0.5`` and ``F@3`` are the boundary F-measures within 0.5 and 3 seconds.\n\n")
    text += markdown_to_rst(results.replace("\n### ", "\n## "))
    write_if_changed(GENERATED / "benchmarks.rst", text)


def alias_names(app, what, name, obj, options, signature, return_annotation):
    """Show a type alias inside a union or a container by its name: Sphinx writes the alias
    there as ``TypeAliasForwardRef('velmor.features.Floats')``."""
    def short(text):
        return text and re.sub(r"TypeAliasForwardRef\('(?:[\w.]+\.)?(\w+)'\)", r"\1", text)

    return short(signature), short(return_annotation)


def setup(app):
    app.connect("autodoc-process-signature", alias_names)
    app.connect("builder-inited", write_api_pages)
    app.connect("builder-inited", write_cli_page)
    app.connect("builder-inited", write_gallery)
    app.connect("builder-inited", write_benchmark_page)
