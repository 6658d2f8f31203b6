"""The documentation matches the built module and its links resolve."""

import importlib.util
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def load_generator():
    spec = importlib.util.spec_from_file_location("generate_api", ROOT / "docs" / "generate_api.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_api_reference_is_up_to_date():
    written = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    assert written == load_generator().render(), (
        "docs/api.md differs from the module's docstrings: run python3 docs/generate_api.py")


def test_api_reference_covers_every_function():
    import tarnwold

    written = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    assert re.findall(r"^## (\w+)$", written, flags=re.M) == tarnwold.__all__


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_relative_links_resolve(document):
    text = document.read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text)
    local = [t for t in targets if "://" not in t]
    missing = [t for t in local if not (document.parent / t).exists()]
    assert not missing
