"""The package's layers, read from its source with ast: each module imports only from its own layer
or those below, nothing outside the command line imports it, and there is no import cycle.

Every import counts: at the top of a module, inside a function (imported on first use), under
``if TYPE_CHECKING:``, and ``importlib.import_module("velmor...")`` with a literal name.
"""

import ast
import fnmatch
from pathlib import Path

import pytest

import velmor

ROOT = Path(velmor.__file__).parent

# bottom up; a module may import from its own layer and the layers below it
LAYERS = (
    ("utilities", ("velmor._version", "velmor._files", "velmor._threads", "velmor._extras")),
    ("front end", ("velmor.unit7", "velmor._band", "velmor.unit4", "velmor.features")),
    ("audio", ("velmor.audio", "velmor.demo")),
    ("analysis", ("velmor.analysis", "velmor.analysis.*")),
    ("result", ("velmor.annotations", "velmor.result", "velmor.plot")),
    ("the one call", ("velmor.api", "velmor.evaluation")),
    ("command line", ("velmor.cli", "velmor.cli.*", "velmor.__main__")),
    ("package face", ("velmor",)),
)


def _modules():
    names = {}
    for path in ROOT.rglob("*"):
        if "__pycache__" in path.parts or path.suffix not in (".py", ".pyi", ".so"):
            continue
        parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
        parts[-1] = parts[-1].split(".")[0]  # unit7.cpython-311-x86_64-linux-gnu
        if parts[-1] == "__init__":
            parts.pop()
        names.setdefault(".".join(parts), path if path.suffix == ".py" else None)
    return names


MODULES = _modules()


def _imports(name, path):
    """The velmor modules ``name`` imports, each with the line that imports it."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        targets = []
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in MODULES else base for a in node.names]
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute) and node.func.attr == "import_module"
              and node.args and isinstance(node.args[0], ast.Constant) and isinstance(node.args[0].value, str)):
            targets = [node.args[0].value]
        for target in targets:
            while target and target not in MODULES and target.startswith("velmor."):
                target = target.rpartition(".")[0]
            if target in MODULES and target != name:
                yield target, node.lineno


GRAPH = {name: sorted(set(_imports(name, path))) for name, path in MODULES.items() if path is not None}


def _layer(name):
    for i, (_, patterns) in enumerate(LAYERS):
        if any(fnmatch.fnmatchcase(name, p) for p in patterns):
            return i
    raise AssertionError(f"{name} belongs to no layer: add it to LAYERS")


@pytest.mark.parametrize("name", sorted(GRAPH))
def test_imports_go_down_or_sideways(name):
    upward = [f"{target} (line {line}, {LAYERS[_layer(target)][0]})" for target, line in GRAPH[name]
              if _layer(target) > _layer(name)]
    assert not upward, f"{name} ({LAYERS[_layer(name)][0]}) imports from above: {', '.join(upward)}"


def test_no_import_cycle():
    # Tarjan's strongly connected components, without recursion
    index, low, on_stack, stack, cycles, counter = {}, {}, set(), [], [], [0]
    for root in GRAPH:
        if root in index:
            continue
        work = [(root, iter(GRAPH[root]))]
        index[root] = low[root] = counter[0]
        counter[0] += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, edges = work[-1]
            for target, _ in edges:
                if target not in GRAPH:
                    continue
                if target not in index:
                    index[target] = low[target] = counter[0]
                    counter[0] += 1
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(GRAPH[target])))
                    break
                if target in on_stack:
                    low[node] = min(low[node], index[target])
            else:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    component = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        component.append(member)
                        if member == node:
                            break
                    if len(component) > 1:
                        cycles.append(sorted(component))
    assert not cycles, f"import cycles: {cycles}"
