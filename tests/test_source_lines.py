"""The named source lines: the readable module's markers, the header built from them, the
names the C++ uses, and the lines that the compiled module's traceback entries report."""

from __future__ import annotations

import importlib
import re
import subprocess
import sys
import traceback

import pytest

from conftest import READABLE_MODULE, ROOT, source_line_tables, source_lines_tool, step_line

TOOL = ROOT / "tools" / "source_lines.py"
module = importlib.import_module("tolvane.ostrel.concept.concrete.linear_concrete_concept")
Concept = module.LinearConcreteConcept


def generate(tmp_path, source):
    header = tmp_path / "out" / "source_lines.h"
    result = subprocess.run([sys.executable, str(TOOL), str(source), str(header)],
                            capture_output=True, text=True)
    return result, header


def test_header_holds_what_the_tests_read(tmp_path):
    result, header = generate(tmp_path, READABLE_MODULE)
    assert result.returncode == 0, result.stderr
    tables = {}
    for namespace, body in re.findall(r"namespace (\w+) \{\n(.*?)\n\}", header.read_text(), re.S):
        tables[namespace] = {name: int(line) for name, line in re.findall(r"constexpr int (\w+) = (\d+);", body)}
    steps, definitions = source_line_tables()
    assert tables == {"source_line": steps, "definition_line": definitions}


def test_the_module_names_every_marked_line_and_only_those():
    used = set()
    for path in (ROOT / "src").rglob("*.cpp"):
        used |= set(re.findall(r"\b(source_line|definition_line)::(\w+)", path.read_text(encoding="utf-8")))
    steps, definitions = source_line_tables()
    assert used == {("source_line", name) for name in steps} | {("definition_line", name) for name in definitions}


@pytest.mark.parametrize("text, message", [
    ("x = 1  # step: twice\ny = 2  # step: twice\n", "line 2: step 'twice' is already named on line 1"),
    ("x = 1  # step:\n", "line 1: step marker without"),
    ("x = 1  # step: Mixed_Case\n", "line 1: step marker without"),
    ("x = 1  # step: init\n", "expected one class LinearConcreteConcept"),
    ("class LinearConcreteConcept:\n    def f(self): pass\n    def f(self): pass\n", "line 3: method 'f'"),
], ids=["repeated", "empty", "not-lowercase", "no-class", "repeated-method"])
def test_generator_stops_the_build(tmp_path, text, message):
    source = tmp_path / "module.py"
    source.write_text(text, encoding="utf-8")
    result, header = generate(tmp_path, source)
    assert result.returncode != 0
    assert message in result.stderr
    assert not header.exists()


def test_markers_in_strings_are_not_steps():
    text = 'text = "# step: quoted"\nx = 1  # step: real\n'
    assert source_lines_tool().read_step_lines(text) == {"real": 2}


def made():
    return Concept("lin", 0.0, 10.0, 0.5, 0.25)


def with_attribute(name, value):
    concept = made()
    object.__setattr__(concept, name, value)
    return concept


DEFINITIONS = source_line_tables()[1]


@pytest.mark.parametrize("method, call, error, line", [
    ("__init__", lambda: Concept("lin", "1", 0, 2, 0.5), TypeError, step_line("init_checks_k1")),
    ("__init__", lambda: Concept("lin", 0, "x", 0.5, 0.25), ValueError, step_line("init_stores_k2")),
    ("a", lambda: setattr(made(), "a", "x"), ValueError, step_line("set_a_stores")),
    ("get_membership_degree", lambda: with_attribute("_b", "x").get_membership_degree(0.75), TypeError,
     step_line("degree_on_second_segment")),
    ("__hash__", lambda: hash(with_attribute("type", [])), TypeError, step_line("hash_reads_values")),
    ("clone", lambda: made().clone(1), TypeError, DEFINITIONS["clone"]),
    ("a", lambda: Concept.a.fset(made()), TypeError, DEFINITIONS["setter_a"]),
], ids=["init_checks_k1", "init_stores_k2", "set_a_stores", "degree_on_second_segment",
        "hash_reads_values", "binding clone", "binding setter_a"])
def test_traceback_reports_the_named_line(method, call, error, line):
    with pytest.raises(error) as caught:
        call()
    entries = [entry for entry in traceback.extract_tb(caught.value.__traceback__)
               if entry.filename.endswith(READABLE_MODULE.name)]
    assert (entries[-1].name.rsplit(".", 1)[-1], entries[-1].lineno) == (method, line)
