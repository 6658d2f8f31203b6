"""Write the function reference of docs/api.md from the docstring table.

docs/api.md has two parts: the hand-written guide to the parameters above
the line MARKER, and below it the signatures and docstrings of the six
functions, which this script writes from src/module/docstrings.py (the
table that the build compiles into the module, so the reference says
exactly what help() says). Run it after changing a docstring; the test
suite fails while the part below the marker differs from what it writes.

Run:  python3 docs/generate_api.py
"""

import pathlib
import re
import runpy

ROOT = pathlib.Path(__file__).resolve().parents[1]
OUTPUT = ROOT / "docs" / "api.md"
TABLE = runpy.run_path(str(ROOT / "src" / "module" / "docstrings.py"))
MARKER = "<!-- Below this line docs/generate_api.py writes the reference from src/module/docstrings.py. -->"
ITEM_SECTIONS = {"Parameters", "Returns"}


def convert_docstring(doc):
    """numpydoc text to Markdown: section headings, and parameter entries as a list."""
    lines = doc.splitlines()
    out = []
    section = None
    i = 0
    while i < len(lines):
        line = lines[i]
        underline = lines[i + 1] if i + 1 < len(lines) else ""
        if line and re.fullmatch(r"-+", underline) and len(underline) == len(line):
            section = line
            out += [f"**{line}**", ""]
            i += 2
            continue
        if section in ITEM_SECTIONS and line.strip():
            name, sep, kind = line.partition(" : ")
            if line.startswith(" "):
                out[-1] += " \N{EM DASH} " + line.strip()  # the entry's description
            elif not sep:
                out[-1] += " " + line.strip()  # the entry's type continues
            else:
                out.append(f"- `{name}` : {kind}")
        else:
            out.append(line)
        i += 1
    return "\n".join(out).strip() + "\n"


def render():
    """The part of docs/api.md below the marker."""
    texts = TABLE["docstrings"]()
    parts = ["## Functions", ""]
    parts += [f"- [`{name}`](#{name})" for name in texts]
    for name, text in texts.items():
        signature, doc = TABLE["split"](text)
        parts += [
            "",
            f"## {name}",
            "",
            "```python",
            f"tarnwold.{name}{signature}",
            "```",
            "",
            convert_docstring(doc).rstrip("\n"),
        ]
    return "\n".join(parts) + "\n"


def split_page(page):
    """(hand-written part up to and including the marker line, generated part)."""
    head, marker, generated = page.partition(MARKER + "\n")
    if not marker:
        raise SystemExit(f"{OUTPUT} has lost its marker line: {MARKER}")
    return head + marker, generated.lstrip("\n")


def main():
    head, _ = split_page(OUTPUT.read_text(encoding="utf-8"))
    OUTPUT.write_text(head + "\n" + render(), encoding="utf-8")
    print(f"wrote {OUTPUT}")


if __name__ == "__main__":
    main()
