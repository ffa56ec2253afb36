"""Traceback entries of the module's methods: one per failing line, each naming the method
and the twin's line, with one code object per line reused by later failures."""

from __future__ import annotations

import ast
import gc
import sys
import types

import pytest

import concept_doubles
from concept_doubles import (
    Base, Concept, GreaterGivesBadTruth, NeitherSide, NeverGreater, RaisingFormat, guarded, make, module,
    operator_spy,
)
from conftest import definition_line, run_python, source_line_tables, step_line
from tolvane.ostrel.util.util import ConceptError
from traceback_entries import (
    MODULE as MODULE_NAME, PREFIX, SOURCE, entries, module_entries, module_tracebacks,
    tracebacks,
)

NAN = float("nan")
# The frame right above a method's entry: the failing call's own, in this file or a maker.
CALLERS = {__file__, concept_doubles.__file__}


def _no_operator_concept(mp):
    mp.delattr(module, "OperatorConcept", raising=False)


def _base_refuses(mp):
    def refuse(self, name):
        raise RuntimeError("base refused")

    mp.setattr(Base, "__init__", refuse)


def _without(field):
    def setup(concept):
        delattr(concept, field)
        return concept
    return setup


def _with(**values):
    def setup(concept):
        for field, value in values.items():
            setattr(concept, field, value)
        return concept
    return setup


def _quiet_util(mp):
    mp.setattr(module, "Util", types.SimpleNamespace(error=lambda message: None))


def _case(case_id, call, error, entries, patch=None):
    """call(concept) fails with `error`; `entries` are the module's (method, line) rows."""
    return pytest.param(call, error, entries, patch, id=case_id)


FAILURES = [
    _case("init-binding", lambda c: Concept("lin", 0, 0, 0), TypeError, [("__init__", definition_line("init"))]),
    _case("init-binding-keyword", lambda c: Concept("lin", 0, 0, 0, 0, c=1), TypeError, [("__init__", definition_line("init"))]),
    _case("init-base", lambda c: make(), RuntimeError, [("__init__", step_line("init_calls_base"))], _base_refuses),
    _case("init-super", lambda c: Concept.__init__(1, "lin", 0, 0, 0, 0), TypeError, [("__init__", step_line("init_calls_base"))]),
    _case("init-compare", lambda c: make(k1="1", a=2), TypeError, [("__init__", step_line("init_checks_k1"))]),
    _case("init-truth", lambda c: make(k1=GreaterGivesBadTruth()), ArithmeticError, [("__init__", step_line("init_checks_k1"))]),
    _case("init-report-k1", lambda c: make(k1=5, a=2), ConceptError, [("__init__", step_line("init_reports_k1"))]),
    _case("init-no-util-k1", lambda c: make(k1=5, a=2), NameError, [("__init__", step_line("init_reports_k1"))],
          lambda mp: mp.delattr(module, "Util", raising=False)),
    _case("init-no-error-k1", lambda c: make(k1=5, a=2), AttributeError, [("__init__", step_line("init_reports_k1"))],
          lambda mp: mp.setattr(module, "Util", object())),
    _case("init-text-k1", lambda c: make(k1=RaisingFormat()), LookupError, [("__init__", step_line("init_reports_k1"))],
          _quiet_util),
    _case("init-compare-b", lambda c: make(b="x"), TypeError, [("__init__", step_line("init_checks_b"))]),
    _case("init-truth-b", lambda c: make(b=GreaterGivesBadTruth()), ArithmeticError, [("__init__", step_line("init_checks_b"))]),
    _case("init-report-b", lambda c: make(b=1.5), ConceptError, [("__init__", step_line("init_reports_b"))]),
    _case("init-no-util-b", lambda c: make(b=1.5), NameError, [("__init__", step_line("init_reports_b"))],
          lambda mp: mp.delattr(module, "Util", raising=False)),
    _case("init-text-b", lambda c: make(b=RaisingFormat()), LookupError, [("__init__", step_line("init_reports_b"))],
          _quiet_util),
    _case("init-convert-k1", lambda c: make(k1="x", a="y"), ValueError, [("__init__", step_line("init_stores_k1"))]),
    _case("init-assign-k1", lambda c: guarded("k1")("lin", 0, 0, 0, 0), AttributeError, [("__init__", step_line("init_stores_k1"))]),
    _case("init-convert-k2", lambda c: make(k2="x"), ValueError, [("__init__", step_line("init_stores_k2"))]),
    _case("init-assign-k2", lambda c: guarded("k2")("lin", 0, 0, 0, 0), AttributeError, [("__init__", step_line("init_stores_k2"))]),
    _case("init-convert-a", lambda c: make(k1=NeverGreater(), a="x"), ValueError, [("__init__", step_line("init_stores_a"))]),
    _case("init-assign-a", lambda c: guarded("_a")("lin", 0, 0, 0, 0), AttributeError, [("__init__", step_line("init_stores_a"))]),
    _case("init-convert-b", lambda c: make(b=NeverGreater(False)), TypeError, [("__init__", step_line("init_stores_b"))]),
    _case("init-assign-b", lambda c: guarded("_b")("lin", 0, 0, 0, 0), AttributeError, [("__init__", step_line("init_stores_b"))]),
    _case("a-get-binding", lambda c: Concept.a.fget(), TypeError, [("a", definition_line("getter_a"))]),
    _case("a-get", lambda c: _without("_a")(c).a, AttributeError, [("a", step_line("get_a_reads_stored"))]),
    _case("a-set-binding", lambda c: Concept.a.fset(c), TypeError, [("a", definition_line("setter_a"))]),
    _case("a-set", lambda c: setattr(c, "a", "x"), ValueError, [("a", step_line("set_a_stores"))]),
    _case("a-set-assign", lambda c: Concept.a.fset(1, 0.5), AttributeError, [("a", step_line("set_a_stores"))]),
    _case("b-get-binding", lambda c: Concept.b.fget(c, 1), TypeError, [("b", definition_line("getter_b"))]),
    _case("b-get", lambda c: _without("_b")(c).b, AttributeError, [("b", step_line("get_b_reads_stored"))]),
    _case("b-set-binding", lambda c: Concept.b.fset(c, 1, 2), TypeError, [("b", definition_line("setter_b"))]),
    _case("b-set", lambda c: setattr(c, "b", "x"), ValueError, [("b", step_line("set_b_stores"))]),
    _case("clone-binding", lambda c: c.clone(1), TypeError, [("clone", definition_line("clone"))]),
    _case("clone-read", lambda c: _without("k1")(c).clone(), AttributeError, [("clone", step_line("clone_constructs"))]),
    _case("clone-no-global", lambda c: c.clone(), NameError, [("clone", step_line("clone_constructs"))],
          lambda mp: mp.delattr(module, "LinearConcreteConcept", raising=False)),
    _case("clone-call", lambda c: _with(_a=-1.0)(c).clone(), ConceptError, [("clone", step_line("clone_constructs")), ("__init__", step_line("init_reports_k1"))]),
    _case("degree-binding", lambda c: c.get_membership_degree(), TypeError, [("get_membership_degree", definition_line("get_membership_degree"))]),
    _case("degree-first-test", lambda c: c.get_membership_degree(None), TypeError,
          [("get_membership_degree", step_line("degree_checks_low"))]),
    _case("degree-second-test", lambda c: c.get_membership_degree(NeitherSide()), ArithmeticError,
          [("get_membership_degree", step_line("degree_checks_high"))]),
    _case("degree-third-test", lambda c: _with(_a="x")(c).get_membership_degree(0.3), TypeError,
          [("get_membership_degree", step_line("degree_checks_knee"))]),
    _case("degree-first-line", lambda c: _with(_b="x")(c).get_membership_degree(0.25), TypeError,
          [("get_membership_degree", step_line("degree_on_first_segment"))]),
    _case("degree-second-line", lambda c: _with(_b="x")(c).get_membership_degree(0.75), TypeError,
          [("get_membership_degree", step_line("degree_on_second_segment"))]),
    _case("degree-zero-division", lambda c: _with(_a=1.0)(c).get_membership_degree(NAN), ZeroDivisionError,
          [("get_membership_degree", step_line("degree_on_second_segment"))]),
    _case("name-binding", lambda c: c.compute_name(1), TypeError, [("compute_name", definition_line("compute_name"))]),
    _case("name-read", lambda c: _without("k2")(c).compute_name(), AttributeError, [("compute_name", step_line("compute_name_formats"))]),
    _case("name-text", lambda c: _with(_b=RaisingFormat())(c).compute_name(), LookupError,
          [("compute_name", step_line("compute_name_formats"))]),
    _case("neg-binding", lambda c: Concept.__neg__(), TypeError, [("__neg__", definition_line("neg"))]),
    _case("neg-lookup", lambda c: -c, NameError, [("__neg__", step_line("neg_applies_not"))], _no_operator_concept),
    _case("and-binding", lambda c: c.__and__(), TypeError, [("__and__", definition_line("and_"))]),
    _case("and-lookup", lambda c: c & c, NameError, [("__and__", step_line("and_applies_and"))], _no_operator_concept),
    _case("or-binding", lambda c: c.__or__(), TypeError, [("__or__", definition_line("or_"))]),
    _case("or-lookup", lambda c: c | c, NameError, [("__or__", step_line("or_applies_or"))], _no_operator_concept),
    _case("or-attribute", lambda c: c | c, AttributeError, [("__or__", step_line("or_applies_or"))],
          lambda mp: mp.setattr(module, "OperatorConcept", operator_spy([], without=("or_",)))),
    _case("hash-binding", lambda c: c.__hash__(1), TypeError, [("__hash__", definition_line("hash"))]),
    _case("hash-tuple", lambda c: hash(_with(name=[])(c)), TypeError, [("__hash__", step_line("hash_combines"))]),
    _case("hash-type", lambda c: hash(_with(type=[])(c)), TypeError, [("__hash__", step_line("hash_reads_values"))]),
    _case("hash-read", lambda c: _without("k1")(c).__hash__(), AttributeError, [("__hash__", step_line("hash_reads_values"))]),
]

# Every method's `def` line and every step line but those of the module's set-up.
MODULE_SET_UP_STEPS = {"set_up_module", "import_typing", "import_fuzzy_concrete_concept", "import_operator_concept",
                       "import_util", "create_class"}
ALL_LINES = ({line for name, line in source_line_tables()[0].items() if name not in MODULE_SET_UP_STEPS}
             | set(source_line_tables()[1].values()))


def raise_case(call, error, patch, monkeypatch):
    """Runs one failing call on a fresh concept; returns the exception."""
    if patch is not None:
        patch(monkeypatch)
    try:
        concept = make()
    except Exception:
        concept = None  # the patch broke construction itself; the call makes its own
    try:
        call(concept)
    except error as caught:
        return caught
    raise AssertionError(f"no {error.__name__} raised")


class TestTracebackEntries:
    def test_table_covers_every_line(self):
        lines = {entries[0][1] for call, error, entries, patch in (param.values for param in FAILURES)}
        assert lines == ALL_LINES

    @pytest.mark.parametrize("call, error, entries, patch", FAILURES)
    def test_entry(self, monkeypatch, call, error, entries, patch):
        caught = raise_case(call, error, patch, monkeypatch)
        assert module_entries(caught) == entries
        for tb, (name, line) in zip(module_tracebacks(caught), entries):
            code = tb.tb_frame.f_code
            assert code.co_name == PREFIX + name
            assert code.co_filename == SOURCE
            assert code.co_firstlineno == line
            assert tb.tb_frame.f_globals is vars(module)
        # The module's entry sits right below the caller's frame: nothing in between.
        items = tracebacks(caught)
        first = items.index(module_tracebacks(caught)[0])
        assert items[first - 1].tb_frame.f_code.co_filename in CALLERS

    @pytest.mark.parametrize("call, error, entries, patch", FAILURES)
    def test_same_line_reuses_its_code_object(self, monkeypatch, call, error, entries, patch):
        first = raise_case(call, error, patch, monkeypatch)
        second = raise_case(call, error, patch, monkeypatch)
        first_codes = [tb.tb_frame.f_code for tb in module_tracebacks(first)]
        second_codes = [tb.tb_frame.f_code for tb in module_tracebacks(second)]
        assert len(first_codes) == len(second_codes) == len(entries)
        for one, other in zip(first_codes, second_codes):
            assert one is other

    def test_shuffled_orders_in_fresh_interpreters(self):
        """The code-object cache, filled in any order from empty, keeps names and lines."""
        for seed in (1, 2, 3):
            assert run_failures_in_fresh_interpreter(seed=seed, rounds=2) == (2 * len(FAILURES), [])

    def test_globals_without_builtins(self):
        """A traceback entry's frame, made while the method's exception is pending, looks up
        __builtins__ in the module's globals: a missing one must not cost the entry."""
        prelude = "del t.module.__builtins__"
        assert run_failures_in_fresh_interpreter(prelude=prelude) == (len(FAILURES), [])

    def test_cleared_globals(self):
        output = run_python(f"""
from traceback_entries import entries
import {MODULE_NAME} as m
concept = m.LinearConcreteConcept("lin", 0.0, 1.0, 0.5, 0.5)
vars(m).clear()
def set_a():
    concept.a = "x"
def name_without_k1():
    del concept.k1
    concept.compute_name()
for call in (lambda: concept.get_membership_degree(None), set_a, name_without_k1):
    try:
        call()
    except Exception as error:
        print(entries(error)[-1][1])
""").stdout.split()
        assert output == [str(step_line(name)) for name in ("degree_checks_low", "set_a_stores", "compute_name_formats")]


def run_failures_in_fresh_interpreter(*, seed=0, rounds=1, prelude=""):
    """Runs every case of FAILURES, in an order shuffled by `seed`, in a fresh interpreter;
    (cases checked, [(case, entries found, entries wanted)] for those that differ)."""
    script = f"""
import random
import pytest
import test_traceback as t
from traceback_entries import PREFIX, module_tracebacks
{prelude}
order = list(t.FAILURES)
random.Random({seed}).shuffle(order)
problems = []
checked = 0
for round_ in range({rounds}):
    for param in order:
        call, error, entries, patch = param.values
        with pytest.MonkeyPatch.context() as mp:
            caught = t.raise_case(call, error, patch, mp)
        rows = [(tb.tb_frame.f_code.co_name, tb.tb_lineno, tb.tb_frame.f_code.co_firstlineno)
                for tb in module_tracebacks(caught)]
        wanted = [(PREFIX + name, line, line) for name, line in entries]
        checked += 1
        if rows != wanted:
            problems.append((param.id, rows, wanted))
print(repr((checked, problems)))
"""
    return ast.literal_eval(run_python(script).stdout.strip())


class TestEntriesOfNestedCalls:
    def test_missing_stored_value_traceback(self):
        # The getter's shortcut still records the getter's own entry below the method's.
        c = Concept("x", 0, 1, 0.4, 0.8)
        del c._b
        with pytest.raises(AttributeError) as caught:
            c.get_membership_degree(0.2)
        assert [(name.rsplit(".", 1)[-1], line) for name, line, _ in entries(caught.value)[-2:]] == [
            ("get_membership_degree", step_line("degree_on_first_segment")), ("b", step_line("get_b_reads_stored"))]


class TestCodeObjectCache:
    def test_cached_code_objects_do_not_grow(self):
        concept = make()

        def fail():
            try:
                concept.get_membership_degree(None)
            except TypeError as error:
                return module_tracebacks(error)[0].tb_frame.f_code
            raise AssertionError

        code = fail()
        gc.collect()
        before = sys.getrefcount(code)
        for _ in range(1000):
            fail()
        gc.collect()
        assert sys.getrefcount(code) == before
