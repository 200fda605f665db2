"""The example netlists shipped inside the package (``example:NAME`` on the command line)."""
from __future__ import annotations

from importlib import resources
from pathlib import Path

from .errors import NetlistError

PREFIX = "example:"


def _folder() -> Path:
    return Path(str(resources.files("kivrun").joinpath("examples")))


def names() -> list[str]:
    return sorted(p.stem for p in _folder().glob("*.cir"))


def describe(name: str) -> str:
    """The example's title line, without its comment mark."""
    with open(example_path(name), encoding="utf-8") as handle:
        return handle.readline().lstrip("*# ").strip()


def example_path(name: str) -> str:
    """The file of a shipped example, by name (``jtl`` or ``jtl.cir``)."""
    stem = name[:-4] if name.lower().endswith(".cir") else name
    path = _folder() / f"{stem}.cir"
    if stem not in names():
        raise NetlistError(f"no example '{stem}' (known: {', '.join(names())})")
    return str(path)


def resolve(argument: str) -> str:
    """``example:NAME`` -> that example's path; any other argument unchanged."""
    if argument.lower().startswith(PREFIX):
        return example_path(argument[len(PREFIX):])
    return argument
