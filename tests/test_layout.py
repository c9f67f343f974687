"""The package's import graph: every arrow one that the architecture allows
between its parts, read from the folders, and no import cycle."""
import ast
from pathlib import Path

import dorvo.quickio

ROOT = Path(dorvo.quickio.__file__).parent

# The part of each module: by its folder, or by its name for the public
# modules and the few private ones that sit beside them.
FOLDERS = {"_dump": "Dump", "_views": "Integrations", "cli": "CLI"}
IO = {"output": "Outputs", "kinds": "Outputs"}  # the rest of _io/ are the sources
NAMED = {"header": "Dump", "particles": "Dump", "components": "Dump", "writers": "Outputs",
         "xarray": "Integrations", "convert": "Integrations", "views": "Integrations", "plot": "Integrations",
         "_runs": "Integrations", "_positions": "Integrations", "__main__": "Face", "": "Face"}
NATIVE = {"meshdump", "beamdump", "_scan", "_particles"}
# What each part may import besides itself. The package face only hands
# names on; the command line may take them from it.
MAY_IMPORT = {
    "Modules": set(),
    "Sources": set(),
    "Outputs": set(),
    "Dump": {"Modules", "Sources"},
    "Integrations": {"Dump", "Outputs"},
    "CLI": {"Integrations", "Dump", "Outputs", "Face"},
    "Face": {"Modules", "Sources", "Outputs", "Dump", "Integrations", "CLI"},
}


def _modules() -> dict:
    """{dotted name under the package: path}, '' for the package itself."""
    out = {}
    for path in ROOT.rglob("*.py"):
        parts = path.relative_to(ROOT).with_suffix("").parts
        out[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return out


def _part(name: str) -> str:
    head, _, rest = name.partition(".")
    if head in NATIVE:
        return "Modules"
    if head == "_io":
        return IO.get(rest, "Sources")
    return FOLDERS.get(head) or NAMED[name]


def _imports(name: str, path: Path, known: set) -> set:
    """The package's modules that module `name` imports, at any depth in
    its file: a submodule where one is named, else the package."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    out = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".") if package else []
                base = base[:len(base) - (node.level - 1)]
                target = ".".join(base + ([node.module] if node.module else []))
            elif (node.module or "").startswith("dorvo.quickio"):
                target = node.module.removeprefix("dorvo.quickio").lstrip(".")
            else:
                continue
            for alias in node.names:
                sub = f"{target}.{alias.name}".lstrip(".")
                out.add(sub if sub in known or sub in NATIVE else target)
        elif isinstance(node, ast.Import):
            out.update(a.name.removeprefix("dorvo.quickio").lstrip(".") for a in node.names
                       if a.name.startswith("dorvo.quickio"))
    return out - {name}


def _graph() -> dict:
    modules = _modules()
    return {name: _imports(name, path, set(modules)) for name, path in modules.items()}


def test_every_arrow_is_one_the_architecture_allows():
    wrong = {(name, dep) for name, deps in _graph().items() for dep in deps
             if _part(dep) != _part(name) and _part(dep) not in MAY_IMPORT[_part(name)]}
    assert wrong == set()


def test_the_parts_and_their_folders():
    # Every module has a part (an unknown public name fails here), and a
    # reader of the tree sees the parts in the folder names.
    parts = {name: _part(name) for name in _modules()}
    assert {p for n, p in parts.items() if n.startswith("_io.")} == {"Sources", "Outputs"}
    assert {n.partition(".")[0] for n, p in parts.items() if "." in n} == {"_dump", "_io", "_views", "cli"}


def test_no_import_cycle():
    graph = _graph()
    state = {}

    def visit(node, stack):
        state[node] = "open"
        for nxt in graph[node]:
            if nxt not in graph or "" in (node, nxt):
                continue  # native modules; the face only re-exports
            assert state.get(nxt) != "open", f"import cycle: {' -> '.join(stack + [nxt])}"
            if nxt not in state:
                visit(nxt, stack + [nxt])
        state[node] = "done"

    for node in graph:
        if node not in state:
            visit(node, [node])


def test_no_module_over_500_lines():
    assert {p.name: n for p in ROOT.rglob("*.py") if (n := len(p.read_text().splitlines())) > 500} == {}
