"""README.md and the documentation pages under docs/ say what the package
does, and keep saying it as the code changes:

- every ```python block runs as written: as a script of its own, in a fresh
  interpreter, from an empty working directory; and a block that leaves
  files there runs a second time over them, as a reader who runs it again
  would;
- every relative link of README.md reaches a file of the tree (and the
  heading it names); the site's own links are checked by `mkdocs build
  --strict`;
- README.md stays a page that starts in one screen and ends soon after.
"""
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
# [text](target) outside code; images too.
LINK = re.compile(r"\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#+\s+(.*)$", re.MULTILINE)

pytestmark = pytest.mark.skipif(not README.exists(), reason="README.md and docs/ are not beside the tests")


def snippets():
    found = []
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        name = page.relative_to(ROOT).as_posix()
        found += [pytest.param(m.group(1), id=f"{name}:{text.count(chr(10), 0, m.start()) + 2}")
                  for m in FENCE.finditer(text)]
    return found


def test_readme_and_docs_have_snippets():
    ids = [p.id for p in snippets()]
    assert any(i.startswith("README.md:") for i in ids)
    assert sum(i.startswith("docs/") for i in ids) >= 10


@pytest.mark.parametrize("code", snippets() if README.exists() else [])
def test_snippet_runs(code, tmp_path):
    script = tmp_path / "snippet.py"
    script.write_text(code, encoding="utf-8")
    for run in ("first", "again"):
        # The timeout only keeps a hung snippet from hanging the suite.
        proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                              timeout=300)
        assert proc.returncode == 0, f"{run} run\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        assert "-0.0000" not in proc.stdout
        if [p.name for p in tmp_path.iterdir()] == [script.name]:
            break  # nothing left behind to run over


def anchor(heading: str) -> str:
    """The anchor of a Markdown heading, as the site and GitHub make it:
    lower case, code marks and punctuation dropped, spaces as hyphens."""
    text = re.sub(r"[^\w\s-]", "", heading.replace("`", "").strip().lower())
    return re.sub(r"\s+", "-", text)


def prose(page: Path) -> str:
    """The page without its code blocks."""
    return re.sub(r"^```.*?^```", "", page.read_text(encoding="utf-8"), flags=re.MULTILINE | re.DOTALL)


def test_readme_links_reach_their_targets():
    broken = []
    for target in LINK.findall(prose(README)):
        if re.match(r"[a-z]+:", target):
            continue  # a web address: not ours to check here
        path, _, fragment = target.partition("#")
        file = (README.parent / path) if path else README
        if not file.exists():
            broken.append(target)
        elif fragment and fragment not in {anchor(h) for h in HEADING.findall(prose(file))}:
            broken.append(target)
    assert not broken


def test_readme_fits_a_few_screens():
    assert len(README.read_text(encoding="utf-8").splitlines()) < 200
