"""The Python layers of the package import each other top to bottom: no
module reaches, through any chain of imports (those inside functions
included), a module that imports it back."""

import ast
import pathlib

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "halvane"


def module_files(root):
    """{dotted module name: (path, is a package)} of the .py files under `root`."""
    mods = {}
    for path in root.rglob("*.py"):
        parts = list(path.relative_to(root.parent).with_suffix("").parts)
        is_pkg = parts[-1] == "__init__"
        if is_pkg:
            parts.pop()
        mods[".".join(parts)] = (path, is_pkg)
    return mods


def import_graph(root):
    """{module: set of the package's modules it imports anywhere in its body}."""
    mods = module_files(root)
    graph = {}
    for name, (path, is_pkg) in mods.items():
        here = name.split(".") if is_pkg else name.split(".")[:-1]
        targets = set()
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            if isinstance(node, ast.Import):
                targets.update(a.name for a in node.names if a.name in mods)
            elif isinstance(node, ast.ImportFrom):
                if node.level:
                    base = ".".join(here[:len(here) - node.level + 1] + ([node.module] if node.module else []))
                else:
                    base = node.module or ""
                for alias in node.names:
                    sub = f"{base}.{alias.name}"
                    if sub in mods:
                        targets.add(sub)
                    elif base in mods:
                        targets.add(base)
        targets.discard(name)
        graph[name] = targets
    return graph


def cycles(graph):
    """The groups of modules that reach each other (strongly connected, more than one)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def write_package(root, files):
    for rel, body in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(body)
    return root


# (files of a package "p", the cycles the graph must show)
CASES = [
    pytest.param({"p/__init__.py": "", "p/a.py": "from . import b\n", "p/b.py": "def f():\n    from .a import x\n"},
                 [["p.a", "p.b"]], id="inside-a-function"),
    pytest.param({"p/__init__.py": "", "p/a.py": "import p.b\n", "p/b.py": "from p import c\n",
                  "p/c.py": "class C:\n    def m(self):\n        from .a import y\n"},
                 [["p.a", "p.b", "p.c"]], id="absolute-and-method"),
    pytest.param({"p/__init__.py": "", "p/q/__init__.py": "", "p/a.py": "from .q.e import f\n",
                  "p/q/e.py": "def g():\n    from ..a import h\n"},
                 [["p.a", "p.q.e"]], id="subpackage-parent-relative"),
    pytest.param({"p/__init__.py": "", "p/a.py": "from . import leaf\n", "p/b.py": "from .leaf import z\n",
                  "p/leaf.py": "import os\n"},
                 [], id="leaf-shared"),
]


@pytest.mark.parametrize("files, expected", CASES)
def test_import_graph_finds_cycles(tmp_path, files, expected):
    assert cycles(import_graph(write_package(tmp_path, files) / "p")) == expected


def test_no_import_cycle_in_the_package():
    graph = import_graph(SRC)
    assert "halvane._core" in graph and graph["halvane._zephan2.engine"], "the package's modules were not found"
    assert cycles(graph) == []
