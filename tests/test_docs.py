"""The API reference matches the docstring table and the module, and links resolve."""

import pathlib
import re
import runpy

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
GENERATOR = runpy.run_path(str(ROOT / "docs" / "generate_api.py"))


def test_api_reference_is_up_to_date():
    written = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    _, generated = GENERATOR["split_page"](written)
    assert generated == GENERATOR["render"](), (
        "docs/api.md differs from src/module/docstrings.py: run python3 docs/generate_api.py")


def test_api_reference_covers_every_function():
    import tarnwold

    written = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    assert re.findall(r"^## (\w+_f(?:32|64))$", written, flags=re.M) == tarnwold.__all__


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_relative_links_resolve(document):
    text = document.read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text)
    local = [t for t in targets if "://" not in t]
    missing = [t for t in local if not (document.parent / t).exists()]
    assert not missing
