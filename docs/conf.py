"""Sphinx configuration of velmor's documentation (make docs)."""

import ast
import pathlib
import re

import velmor

project = "velmor"
author = "the velmor developers"
copyright = "2026, the velmor developers"
release = version = velmor.__version__

extensions = ["sphinx.ext.autodoc", "numpydoc"]
root_doc = "index"
exclude_patterns = ["_build"]
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
}


def public_names(module):
    names = getattr(module, "__all__", None)
    if names is None:  # unit7: its functions, in the order the module binds them
        names = [k for k, v in vars(module).items()
                 if callable(v) and getattr(v, "__module__", None) == module.__name__]
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
            else:
                body += f".. autofunction:: {modname}.{name}\n"
            if not page.exists() or page.read_text() != body:
                page.write_text(body)
            lines.append(f"   {modname}.{name}")
        index = out / f"{modname}.rst"
        text = "\n".join(lines) + "\n"
        if not index.exists() or index.read_text() != text:
            index.write_text(text)


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


def setup(app):
    app.connect("builder-inited", write_api_pages)
