"""Whether python3 already holds the build of this checkout.

    python3 scripts/install_state.py check PIP_ARGS   exit 0: up to date
    python3 scripts/install_state.py record PIP_ARGS  after an install
    python3 scripts/install_state.py requirements EXTRA...

The fingerprint covers what the build reads (the C++ sources, the Python
package, CMakeLists.txt, pyproject.toml), the interpreter and the install's
pip options. A stamp under build/ keeps it with the size and modification
time of each installed extension module, so that an install from elsewhere
(another checkout, a wheel) is noticed and replaced.
"""

import hashlib
import importlib.util
import json
import os
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_INPUTS = ("CMakeLists.txt", "pyproject.toml", "src", "python")
MODULES = ("tarnwold", "tarnwold_tools._select")
STAMP = ROOT / "build" / "install-stamp" / (hashlib.sha256(sys.executable.encode()).hexdigest()[:16] + ".json")


def fingerprint(pip_args):
    digest = hashlib.sha256(f"{sys.executable}\n{sys.version}\n{pip_args}\n".encode())
    for name in BUILD_INPUTS:
        top = ROOT / name
        files = [top] if top.is_file() else sorted(p for p in top.rglob("*") if p.is_file())
        for path in files:
            if "__pycache__" in path.parts:
                continue
            digest.update(str(path.relative_to(ROOT)).encode() + b"\0")
            digest.update(path.read_bytes())
    return digest.hexdigest()


def installed_modules():
    """{module: [size, mtime_ns]} of the installed extension modules, or None
    when one is missing. Looked up from the root, which holds no package."""
    found = {}
    for name in MODULES:
        try:
            spec = importlib.util.find_spec(name)
        except ImportError:
            return None
        if spec is None or spec.origin is None or not spec.origin.endswith(".so"):
            return None
        status = os.stat(spec.origin)
        found[name] = [status.st_size, status.st_mtime_ns]
    return found


def requirements(extras):
    """The project's requirements with the given extras, its own extras
    (tarnwold[xarray,cli]) resolved."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    optional = project["optional-dependencies"]
    wanted, seen, pending = list(project["dependencies"]), set(), list(extras)
    while pending:
        extra = pending.pop()
        if extra in seen:
            continue
        if extra not in optional:
            raise SystemExit(f"pyproject.toml has no extra {extra!r}")
        seen.add(extra)
        for requirement in optional[extra]:
            if requirement.startswith(project["name"] + "["):
                pending += requirement[len(project["name"]) + 1:].rstrip("]").split(",")
            else:
                wanted.append(requirement)
    return wanted


def main(argv):
    command, rest = argv[0], argv[1:]
    if command == "requirements":
        print("\n".join(requirements(rest)))
        return 0
    state = {"fingerprint": fingerprint(" ".join(rest)), "modules": installed_modules()}
    if command == "check":
        try:
            return 0 if state["modules"] and json.loads(STAMP.read_text()) == state else 1
        except (OSError, ValueError):
            return 1
    if command == "record":
        if state["modules"] is None:
            raise SystemExit("tarnwold is not installed in " + sys.executable)
        STAMP.parent.mkdir(parents=True, exist_ok=True)
        STAMP.write_text(json.dumps(state))
        return 0
    raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
