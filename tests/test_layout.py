"""The package's import graph: no cycles, and Sources import nothing of ours."""
import ast
from pathlib import Path

import dorvo.quickio

ROOT = Path(dorvo.quickio.__file__).parent


def _imports(path: Path) -> set:
    """The package's modules that `path` imports (at any depth in the file)."""
    package = path.parent.relative_to(ROOT.parent).as_posix().replace("/", ".")
    out = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
            target = f"{base}.{node.module}" if node.module else base
            names = [f"{target}.{a.name}" for a in node.names] if not node.module else [target]
            out.update(names)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            mod = node.module if isinstance(node, ast.ImportFrom) else None
            for a in ([ast.alias(mod)] if mod else node.names):
                if a.name.startswith("dorvo.quickio"):
                    out.add(a.name)
    return out


def _graph() -> dict:
    modules = {}
    for path in ROOT.rglob("*.py"):
        name = path.relative_to(ROOT.parent).with_suffix("").as_posix().replace("/", ".")
        modules[name.removesuffix(".__init__")] = path
    return {name: {m for m in _imports(path) if m in modules and m != name} for name, path in modules.items()}


def test_no_import_cycle_and_plain_sources():
    graph = _graph()
    assert graph["quickio._remote"] == set()
    # Only the dump layer reaches the sources.
    above = ("xarray", "convert", "xdmf", "views", "_view_file", "plot", "cli")
    assert not {name for name, deps in graph.items()
                if name.split(".")[1:2] in [[a] for a in above] and "quickio._remote" in deps}
    for module in ("quickio._dump", "quickio._loading", "quickio.header", "quickio.particles"):
        assert not {m for m in graph[module] if m.split(".")[1] in ("xarray", "convert", "xdmf", "plot", "cli")}
    state = {}

    def visit(node, stack):
        state[node] = "open"
        for nxt in graph[node]:
            if nxt == "quickio" or node == "quickio":
                continue  # the package's own __init__ re-exports
            assert state.get(nxt) != "open", f"import cycle: {' -> '.join(stack + [nxt])}"
            if nxt not in state:
                visit(nxt, stack + [nxt])
        state[node] = "done"

    for node in graph:
        if node not in state:
            visit(node, [node])


def test_no_module_over_500_lines():
    assert {p.name: n for p in ROOT.rglob("*.py") if (n := len(p.read_text().splitlines())) > 520} == {}
