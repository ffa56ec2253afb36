"""Binding of positional and keyword arguments: counts, keywords, messages, lines."""

from __future__ import annotations

import ctypes
import sys

import pytest

from tolvane.ostrel.concept.concrete import linear_concrete_concept as module
from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept
from conftest import definition_line
from traceback_entries import module_entry

def concept() -> LinearConcreteConcept:
    return LinearConcreteConcept("lin", 0.0, 1.0, 0.5, 0.25)


class Str(str):
    """A str subclass: compared by equality, not by hash and content."""


# Each method: (function object, its parameters after self, definition line, name in
# messages, entry name).
METHODS = [
    (LinearConcreteConcept.__init__, ["name", "k1", "k2", "a", "b"], definition_line("init"), "__init__", "__init__"),
    (LinearConcreteConcept.a.fget, [], definition_line("getter_a"), "a", "a"),
    (LinearConcreteConcept.a.fset, ["value"], definition_line("setter_a"), "a", "a"),
    (LinearConcreteConcept.b.fget, [], definition_line("getter_b"), "b", "b"),
    (LinearConcreteConcept.b.fset, ["value"], definition_line("setter_b"), "b", "b"),
    (LinearConcreteConcept.clone, [], definition_line("clone"), "clone", "clone"),
    (LinearConcreteConcept.get_membership_degree, ["value"], definition_line("get_membership_degree"), "get_membership_degree",
     "get_membership_degree"),
    (LinearConcreteConcept.compute_name, [], definition_line("compute_name"), "compute_name", "compute_name"),
    (LinearConcreteConcept.__neg__, [], definition_line("neg"), "__neg__", "__neg__"),
    (LinearConcreteConcept.__and__, ["value"], definition_line("and_"), "__and__", "__and__"),
    (LinearConcreteConcept.__or__, ["value"], definition_line("or_"), "__or__", "__or__"),
    (LinearConcreteConcept.__hash__, [], definition_line("hash"), "__hash__", "__hash__"),
]
IDS = [f"{m[3]}@{m[2]}" for m in METHODS]


def count_message(name: str, expected: int, given: int) -> str:
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


class TestPositionalCounts:
    @pytest.mark.parametrize("function, parameters, line, name, entry", METHODS, ids=IDS)
    @pytest.mark.parametrize("delta", [-1, 1])
    def test_wrong_count(self, function, parameters, line, name, entry, delta):
        expected = len(parameters) + 1
        arguments = ([concept()] + [0.5] * expected)[: expected + delta]
        with pytest.raises(TypeError) as caught:
            function(*arguments)
        assert str(caught.value) == count_message(name, expected, expected + delta)
        assert module_entry(caught.value) == (entry, line)

    def test_no_arguments_at_all(self):
        with pytest.raises(TypeError, match=r"^clone\(\) takes exactly 1 positional argument \(0 given\)$"):
            LinearConcreteConcept.clone()

    @pytest.mark.parametrize("count", [0, 1, 4, 6])
    def test_constructor_counts(self, count):
        with pytest.raises(TypeError) as caught:
            LinearConcreteConcept(*["x", 0, 1, 0.5, 0.5, 0.1][:count])
        # self counts as a parameter
        assert str(caught.value) == count_message("__init__", 6, count + 1)
        assert module_entry(caught.value) == ("__init__", definition_line("init"))

    def test_base_not_initialised_on_binding_failure(self, monkeypatch):
        from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import FuzzyConcreteConcept

        calls = []
        monkeypatch.setattr(FuzzyConcreteConcept, "__init__", lambda self, name: calls.append(name))
        with pytest.raises(TypeError):
            LinearConcreteConcept("x", 0, 1, 0.5)
        assert calls == []


class TestKeywords:
    def test_any_order(self):
        c = LinearConcreteConcept("lin", k2=10, b=0.5, a=2, k1=0)
        assert (c.k1, c.k2, c.a, c.b) == (0.0, 10.0, 2.0, 0.5)

    def test_all_by_keyword_including_self(self):
        c = concept()
        assert LinearConcreteConcept.get_membership_degree(value=0.25, self=c) == 0.125
        assert LinearConcreteConcept.clone(self=c).compute_name() == c.compute_name()

    def test_keywords_built_at_run_time(self):
        # Not interned: equal text, another object.
        key = "".join(["va", "lue"])
        assert key is not "value"  # noqa: F632
        assert concept().get_membership_degree(**{key: 0.5}) == 0.25

    def test_str_subclass_keyword_names(self):
        assert concept().get_membership_degree(**{Str("value"): 0.75}) == 0.625

    def test_str_subclass_with_odd_equality(self):
        class Everything(str):
            def __eq__(self, other):
                return True

            __hash__ = str.__hash__

        # Equal to every name: binds the first parameter not given by position.
        assert concept().get_membership_degree(**{Everything("zzz"): 0.25}) == 0.125

    def test_str_subclass_comparison_failure(self):
        class Broken(str):
            def __eq__(self, other):
                raise RuntimeError("no comparison")

            __hash__ = str.__hash__

        with pytest.raises(RuntimeError, match="no comparison") as caught:
            concept().get_membership_degree(**{Broken("value"): 0.25})
        assert module_entry(caught.value) == ("get_membership_degree", definition_line("get_membership_degree"))

    def test_first_unbound_parameter_counts(self):
        with pytest.raises(TypeError) as caught:
            LinearConcreteConcept("x", k1=0, k2=1, a=0.5)
        assert str(caught.value) == count_message("__init__", 6, 5)
        with pytest.raises(TypeError) as caught:
            LinearConcreteConcept("x", k1=0, a=0.5, b=0.1)
        assert str(caught.value) == count_message("__init__", 6, 3)

    def test_too_many_positional_before_keywords(self):
        with pytest.raises(TypeError) as caught:
            concept().get_membership_degree(1, 2, zzz=3)
        assert str(caught.value) == count_message("get_membership_degree", 2, 3)

    @pytest.mark.parametrize("key", ["value", Str("value"), "".join(["val", "ue"])])
    def test_multiple_values(self, key):
        with pytest.raises(TypeError) as caught:
            concept().get_membership_degree(0.5, **{key: 0.5})
        assert str(caught.value) == "get_membership_degree() got multiple values for keyword argument 'value'"
        assert module_entry(caught.value) == ("get_membership_degree", definition_line("get_membership_degree"))

    def test_self_by_position_and_keyword(self):
        c = concept()
        with pytest.raises(TypeError, match=r"^clone\(\) got multiple values for keyword argument 'self'$"):
            LinearConcreteConcept.clone(c, self=c)

    @pytest.mark.parametrize("key", ["x", Str("x")])
    def test_unexpected_keyword(self, key):
        with pytest.raises(TypeError) as caught:
            concept().clone(**{key: 1})
        assert str(caught.value) == "clone() got an unexpected keyword argument 'x'"
        assert module_entry(caught.value) == ("clone", definition_line("clone"))

    def test_empty_keyword_dict_is_positional(self):
        assert concept().get_membership_degree(0.5, **{}) == 0.25


def vectorcall(function, args, names):
    """Calls `function` through PyObject_Vectorcall with a names tuple of any items."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * len(args))(*args)
    return call(function, values, len(args) - len(names), tuple(names))


class TestThroughTheCApi:
    def test_non_str_keyword(self):
        c = concept()
        with pytest.raises(TypeError) as caught:
            vectorcall(LinearConcreteConcept.get_membership_degree, [c, 0.5], [1])
        assert str(caught.value) == "get_membership_degree() keywords must be strings"
        assert module_entry(caught.value) == ("get_membership_degree", definition_line("get_membership_degree"))

    def test_empty_names_tuple(self):
        assert vectorcall(LinearConcreteConcept.get_membership_degree, [concept(), 0.5], []) == 0.25

    def test_repeated_keyword_name(self):
        # A names tuple naming one parameter twice is refused, not bound twice.
        c = concept()
        value = object()
        before = sys.getrefcount(value)
        with pytest.raises(TypeError, match="got multiple values for keyword argument 'value'"):
            vectorcall(LinearConcreteConcept.get_membership_degree, [c, value, value], ["value", "value"])
        assert sys.getrefcount(value) == before


class TestReferences:
    @pytest.mark.parametrize("keywords", [False, True])
    def test_bound_arguments_released(self, keywords):
        c = concept()
        value = 0.375
        before = sys.getrefcount(value), sys.getrefcount(c)
        for _ in range(1000):
            if keywords:
                LinearConcreteConcept.get_membership_degree(self=c, value=value)
            else:
                c.get_membership_degree(value)
        assert (sys.getrefcount(value), sys.getrefcount(c)) == before

    def test_released_on_binding_failure(self):
        c = concept()
        value = 0.375
        before = sys.getrefcount(value)
        for _ in range(100):
            with pytest.raises(TypeError):
                LinearConcreteConcept.get_membership_degree(c, value, zzz=value)
        assert sys.getrefcount(value) == before


def test_defaults_never_used():
    import warnings

    function = LinearConcreteConcept.get_membership_degree
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        function.__defaults__ = (1,)
    try:
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
            function(concept())
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            function.__defaults__ = None
    assert module.LinearConcreteConcept is LinearConcreteConcept
