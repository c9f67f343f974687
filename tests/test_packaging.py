"""What a wheel carries: type stubs beside the extension modules that
describe the functions the modules really have, under the parameter names
that they really bind, and modules that need no library outside the set
that every manylinux system provides."""
import ast
import importlib
import re
import shutil
import subprocess
from importlib import resources

import pytest

MODULES = ["meshdump", "beamdump", "_scan", "_particles"]
BINDING_ERRORS = ("positional argument", "keyword argument")


def stub(name):
    """({function: [parameter names]}, {class names}) of dorvo/quickio/NAME.pyi as installed."""
    tree = ast.parse(resources.files("dorvo.quickio").joinpath(f"{name}.pyi").read_text(encoding="utf-8"))
    return ({node.name: [a.arg for a in node.args.args] for node in tree.body if isinstance(node, ast.FunctionDef)},
            {node.name for node in tree.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")})


def test_package_is_marked_typed():
    assert resources.files("dorvo.quickio").joinpath("py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module = importlib.import_module(f"dorvo.quickio.{name}")
    functions, classes = stub(name)
    public = {k: v for k, v in vars(module).items() if callable(v) and not k.startswith("_") and k not in ("np", "struct")}
    assert set(functions) == {k for k, v in public.items() if not isinstance(v, type)}
    assert classes == {k for k, v in public.items() if isinstance(v, type)}
    for function, params in functions.items():
        call = getattr(module, function)
        # Every parameter given by keyword binds (None fails later, in a
        # conversion, with nothing opened), and one fewer is refused: by
        # count in the two specified modules, as CPython's own functions do
        # in the private ones.
        with pytest.raises(Exception) as bound:
            call(**dict.fromkeys(params))
        assert not any(s in str(bound.value) for s in BINDING_ERRORS), bound.value
        missing = (rf"takes exactly {len(params)} positional arguments? \({len(params) - 1} given\)"
                   if name in ("meshdump", "beamdump") else
                   rf"^{function}\(\) missing required argument '{params[-1]}' \(pos {len(params)}\)$")
        with pytest.raises(TypeError, match=missing):
            call(**dict.fromkeys(params[:-1]))


# libc and its companions: present on every manylinux system in a version
# no newer than the build's. Above all not libstdc++ or libgcc_s, which are
# linked in so that the modules do not depend on the user's C++ runtime.
SYSTEM_LIBRARY = re.compile(r"(libc|libm|libpthread|libdl|librt)\.so\.\d+|ld-linux[\w.-]*\.so\.\d+")


@pytest.mark.parametrize("name", MODULES)
def test_module_needs_only_system_libraries(name):
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf (binutils) is not installed")
    path = importlib.import_module(f"dorvo.quickio.{name}").__file__
    dynamic = subprocess.run([readelf, "-d", path], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    if any(lib.startswith(("libasan", "libubsan")) for lib in needed):
        pytest.skip("a sanitizer build links the shared C++ runtime on purpose")
    assert needed and [lib for lib in needed if not SYSTEM_LIBRARY.fullmatch(lib)] == []
