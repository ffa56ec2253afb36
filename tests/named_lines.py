"""The readable module's named lines, read as the build reads them, for the tests and the
reliability tools: `# step: NAME` markers and the methods' `def` lines."""

from __future__ import annotations

import functools
import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
READABLE_MODULE = ROOT / "python" / "tolvane" / "ostrel" / "concept" / "concrete" / "linear_concrete_concept.py"


@functools.cache
def source_lines_tool():
    """tools/source_lines.py, which names the source lines at build time."""
    spec = importlib.util.spec_from_file_location("_source_lines_tool", ROOT / "tools" / "source_lines.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


@functools.cache
def source_line_tables() -> tuple[dict[str, int], dict[str, int]]:
    """({step: line}, {method: def line}) of the readable module."""
    text = READABLE_MODULE.read_text(encoding="utf-8")
    return source_lines_tool().read_step_lines(text), source_lines_tool().read_definition_lines(text)


def step_line(name: str) -> int:
    """The line of the readable module's `# step: name` marker, which a failing step reports."""
    return source_line_tables()[0][name]


def definition_line(method: str) -> int:
    """The `def` line of a method, by its build name ("init", "getter_a", "and_", ...): the
    line that an argument-binding failure reports."""
    return source_line_tables()[1][method]


def method_lines(method: str) -> set[int]:
    """Every line that a failure of a method can report: its `def` line and the lines of the
    steps in its body (those before the next method's `def`)."""
    steps, definitions = source_line_tables()
    start = definitions[method]
    end = min((line for line in definitions.values() if line > start), default=float("inf"))
    return {start} | {line for line in steps.values() if start < line < end}
