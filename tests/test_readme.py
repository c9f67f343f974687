"""Every ```python block of README.md runs as written: as a script of its
own, in a fresh interpreter, from an empty working directory."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

import dorvo.quickio

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
# A snippet that calls dorvo.quickio.load(), by either spelling.
USES_LOAD = re.compile(r"\bquickio\.load\b|^from dorvo\.quickio import [^\n]*\bload\b", re.MULTILINE)


def snippets():
    if not README.exists():  # an installed copy of the tests without the source tree
        return []
    text = README.read_text(encoding="utf-8")
    return [pytest.param(m.group(1), id=f"README.md:{text.count(chr(10), 0, m.start()) + 2}")
            for m in FENCE.finditer(text)]


def test_readme_has_snippets():
    if not README.exists():
        pytest.skip("README.md is not beside the tests")
    assert len(snippets()) >= 4


@pytest.mark.parametrize("code", snippets())
def test_snippet_runs(code, tmp_path):
    if USES_LOAD.search(code) and not hasattr(dorvo.quickio, "load"):
        pytest.skip("the snippet uses dorvo.quickio.load(), which this build does not have yet")
    script = tmp_path / "snippet.py"
    script.write_text(code, encoding="utf-8")
    # The timeout only keeps a hung snippet from hanging the suite.
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
