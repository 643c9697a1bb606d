"""Sphinx configuration of velmor's documentation (make docs)."""

import pathlib

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
    "velmor.unit7": "The compiled analysis functions",
    "velmor.unit4": "The audio front end of unit7",
    "velmor.features": "Features from one spectrogram",
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

    out = pathlib.Path(app.srcdir) / "api"
    out.mkdir(exist_ok=True)
    for modname, title in MODULES.items():
        module = importlib.import_module(modname)
        lines = [f"``{modname}``: {title}", "=" * (len(modname) + 6 + len(title)), "",
                 f".. automodule:: {modname}", "   :no-members:", "", ".. toctree::", "   :maxdepth: 1", ""]
        for name in public_names(module):
            obj = getattr(module, name)
            kind = "autoclass" if inspect.isclass(obj) else "autofunction"
            page = out / f"{modname}.{name}.rst"
            body = f"{name}\n{'=' * len(name)}\n\n.. {kind}:: {modname}.{name}\n"
            if kind == "autoclass":
                body += "   :members:\n"
            if not page.exists() or page.read_text() != body:
                page.write_text(body)
            lines.append(f"   {modname}.{name}")
        index = out / f"{modname}.rst"
        text = "\n".join(lines) + "\n"
        if not index.exists() or index.read_text() != text:
            index.write_text(text)


def setup(app):
    app.connect("builder-inited", write_api_pages)
