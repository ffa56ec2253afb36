"""Behaviour of LinearConcreteConcept: construction and properties, membership degree,
name, hash, clone, operators and reference counts.
"""

from __future__ import annotations

import builtins
import gc
import math
import sys
import types
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from concept_doubles import (
    BadTruth, Base, Concept, NeitherSide, NeverGreater, RaisingFormat, guarded, make, module, operator_spy,
)
from conftest import definition_line, run_python, step_line
from tolvane.ostrel.util.util import ConceptError
from traceback_entries import MODULE as MODULE_NAME, module_entries, module_entry

INF = float("inf")
NAN = float("nan")


# ---------------------------------------------------------------------------------------
# Helpers


def fresh_float(value: float) -> float:
    """A float object of its own, shared with no constant."""
    return float(repr(value))


def fresh_str(text: str) -> str:
    return "".join(list(text))


def shaped(a, b):
    """A concept whose stored a and b are set directly, bypassing the checks."""
    concept = make()
    concept._a, concept._b = a, b
    return concept


def plain_degree(value, a, b):
    """The degree computed by plain Python with the same operations in the same order."""
    if value <= 0:
        return 0.0
    if value >= 1.0:
        return 1.0
    if value <= a:
        return (b / a) * value
    return (value * (1.0 - b) + (b - a)) / (1.0 - a)


def same_float(left, right) -> bool:
    """Equal floats, NaN equal to NaN."""
    return left == right or (math.isnan(left) and math.isnan(right))


def stored(concept):
    """The four stored values, read from the instance dictionary."""
    d = vars(concept)
    return d.get("k1"), d.get("k2"), d.get("_a"), d.get("_b")


@pytest.fixture
def messages(monkeypatch):
    """Binds a returning Util spy; gives the list of messages it received."""
    log = []

    class Spy:
        @staticmethod
        def error(message):
            assert type(message) is str
            log.append(message)

    monkeypatch.setattr(module, "Util", Spy)
    return log


@pytest.fixture
def base_calls(monkeypatch):
    """Spies on the base initialiser (still running the real one)."""
    calls = []
    original = Base.__init__

    def spy(self, *args, **kwargs):
        calls.append((self, args, kwargs, dict(vars(self))))
        return original(self, *args, **kwargs)

    monkeypatch.setattr(Base, "__init__", spy)
    return calls


class Tagged:
    """A value whose text is its tag; formatting is logged with the format it was asked for."""

    def __init__(self, tag, log=None, number=None):
        self.tag = tag
        self.log = log
        self.number = number

    def __float__(self):
        if self.number is None:
            raise TypeError("no number")
        return self.number

    def __format__(self, format_spec):
        if self.log is not None:
            self.log.append(("format", self.tag, format_spec))
        return self.tag


def logged(log):
    """A subclass whose instances log every read of a public attribute."""

    class Logged(Concept):
        def __getattribute__(self, name):
            if not name.startswith("_"):
                log.append(("get", name))
            return super().__getattribute__(name)

    return Logged


# ---------------------------------------------------------------------------------------
# Construction


class TestConstruction:
    def test_stores_floats_and_initialises_base_with_name_alone(self, base_calls, messages):
        concept = Concept("lin", 0, 10, 2, 0.5)
        assert stored(concept) == (0.0, 10.0, 2.0, 0.5)
        assert all(type(value) is float for value in stored(concept))
        assert concept.name == "lin"
        ((receiver, args, kwargs, state_before),) = base_calls
        assert receiver is concept and args == ("lin",) and kwargs == {}
        assert state_before == {}  # the base runs before anything is assigned
        assert messages == []

    def test_keywords_bind_like_positions(self, messages):
        concept = Concept(b=0.5, a=2, k2=10, k1=0, name="lin")
        assert stored(concept) == (0.0, 10.0, 2.0, 0.5)

    def test_name_passes_unchanged(self, base_calls):
        name = ("not", "a", "str")
        concept = Concept(name, 0, 0, 0, 0)
        assert base_calls[0][1][0] is name and concept.name is name

    def test_base_result_is_ignored(self, monkeypatch):
        monkeypatch.setattr(Base, "__init__", lambda self, name: "ignored")
        concept = Concept("lin", 0, 10, 2, 0.5)
        assert stored(concept) == (0.0, 10.0, 2.0, 0.5)

    def test_base_failure_stops_before_the_checks(self, monkeypatch, messages):
        def refuse(self, name):
            raise RuntimeError("base refused")

        monkeypatch.setattr(Base, "__init__", refuse)
        concept = Concept.__new__(Concept)
        with pytest.raises(RuntimeError, match="base refused") as info:
            concept.__init__("lin", 5, 0, 2, 3)
        assert module_entry(info.value) == ("__init__", step_line("init_calls_base"))
        assert messages == [] and vars(concept) == {}

    def test_a_replaced_super_is_called(self):
        """builtins.super replaced before the import is the super the module cached: the
        shortcut to the base initialiser, which stands in for the interpreter's own super,
        must not skip it."""
        output = run_python(f"""
import builtins, importlib.util, sys, typing  # these call super() themselves: import them first
import tolvane.ostrel.concept.concrete.fuzzy_concrete_concept, tolvane.ostrel.util.util
import tolvane.ostrel.concept.operator_concept
real_super, calls = builtins.super, []
def recording_super(*args):
    if not args:  # the import system's own argument-less calls, answered for their frame
        frame = sys._getframe(1)
        return real_super(frame.f_locals["__class__"], frame.f_locals[frame.f_code.co_varnames[0]])
    calls.append(args[0].__name__)
    return real_super(*args)
builtins.super = recording_super
from {MODULE_NAME} import LinearConcreteConcept
builtins.super = real_super  # the module keeps the one it found
concept = LinearConcreteConcept("lin", 0, 1, 0.5, 0.5)
print(calls, concept.name)
""").stdout.strip()
        assert output == "['LinearConcreteConcept'] lin"

    def test_foreign_self_fails_in_super(self):
        with pytest.raises(TypeError) as info:
            Concept.__init__(object(), "lin", 0, 0, 0, 0)
        assert module_entry(info.value) == ("__init__", step_line("init_calls_base"))

    def test_wrong_argument_count_fails_before_the_base(self, base_calls):
        for args in [("lin", 0, 0, 0), ("lin", 0, 0, 0, 0, 0)]:
            with pytest.raises(TypeError) as info:
                Concept(*args)
            assert module_entry(info.value) == ("__init__", definition_line("init"))
        assert base_calls == []

    @pytest.mark.parametrize("k1, a, b", [(2, 2, 1.0), (2.0, 2, 1), (0.5, 0.5, 0.5), (-1, 0, True)])
    def test_equal_values_pass_the_strict_checks(self, messages, k1, a, b):
        concept = make(k1=k1, a=a, b=b)
        assert messages == []
        assert stored(concept) == (float(k1), 10.0, float(a), float(b))

    @pytest.mark.parametrize("k1, a, b, expected", [
        (5, 2, 0.5, ["Error: Linear functions require 5 <= 2"]),
        (3.0, 2, 0.5, ["Error: Linear functions require 3.0 <= 2"]),
        (0, 2, 1.5, ["Error: Linear functions require 1.5 <= 1.0"]),
        (5, 0, 3, ["Error: Linear functions require 5 <= 0", "Error: Linear functions require 3 <= 1.0"]),
        (1e16, 2.5, 0.5, ["Error: Linear functions require 1e+16 <= 2.5"]),
        (INF, -0.0, 0.5, ["Error: Linear functions require inf <= -0.0"]),
        (True, 0, 0.5, ["Error: Linear functions require True <= 0"]),
        (0, 0, 2 ** 70, ["Error: Linear functions require 1180591620717411303424 <= 1.0"]),
        (0.1 + 0.2, 0.3, INF, ["Error: Linear functions require 0.30000000000000004 <= 0.3",
                                "Error: Linear functions require inf <= 1.0"]),
    ])
    def test_messages_show_the_values_as_given(self, messages, k1, a, b, expected):
        concept = make(k1=k1, a=a, b=b)
        assert messages == expected
        assert stored(concept) == (float(k1), 10.0, float(a), float(b))

    def test_reported_violations_are_stored_when_error_returns(self, messages):
        concept = Concept("lin", 5, 0, 2, 3)
        assert messages == ["Error: Linear functions require 5 <= 2",
                            "Error: Linear functions require 3 <= 1.0"]
        assert stored(concept) == (5.0, 0.0, 2.0, 3.0)

    def test_error_result_is_ignored(self, monkeypatch):
        monkeypatch.setattr(module, "Util", types.SimpleNamespace(error=lambda message: "ignored"))
        assert stored(make(k1=5, a=2, b=3)) == (5.0, 10.0, 2.0, 3.0)

    @pytest.mark.parametrize("k1, b, line", [(5, 3, step_line("init_reports_k1")), (0, 3, step_line("init_reports_b"))])
    def test_raising_error_leaves_only_the_base_state(self, base_calls, k1, b, line):
        concept = Concept.__new__(Concept)
        with pytest.raises(ConceptError) as info:
            concept.__init__("lin", k1, 0, 2, b)
        assert module_entry(info.value) == ("__init__", line)
        assert len(base_calls) == 1
        assert vars(concept) == {"name": "lin"}

    @pytest.mark.parametrize("k1, a, b, expected", [
        ("b", "a", 0.5, "Error: Linear functions require b <= a"),
        ("é", "e", 0.5, "Error: Linear functions require é <= e"),
        ("Ω", "é", 0.5, "Error: Linear functions require Ω <= é"),
        ("\U0001d538", "Ω", 0.5, "Error: Linear functions require \U0001d538 <= Ω"),
        ("zz", "z", 0.5, "Error: Linear functions require zz <= z"),
    ])
    def test_text_values_are_inserted_as_they_are(self, messages, k1, a, b, expected):
        # The report returns, then the conversion of the text k1 fails.
        with pytest.raises(ValueError) as info:
            make(k1=k1, a=a, b=b)
        assert messages == [expected]
        assert module_entry(info.value) == ("__init__", step_line("init_stores_k1"))

    def test_non_ascii_text_of_b(self, messages):
        class Above(str):
            def __gt__(self, other):
                return True

        with pytest.raises(ValueError) as info:
            make(b=Above("\U0001f600é"))
        assert messages == ["Error: Linear functions require \U0001f600é <= 1.0"]
        assert module_entry(info.value) == ("__init__", step_line("init_stores_b"))

    def test_other_types_are_formatted_with_an_empty_format(self, messages):
        log = []

        class Fancy(float):
            def __format__(self, format_spec):
                log.append(format_spec)
                return "fancy-ß"

        concept = make(k1=Fancy(5.0), a=2)
        assert messages == ["Error: Linear functions require fancy-ß <= 2"]
        assert log == [""]
        assert type(concept.k1) is float and concept.k1 == 5.0

    def test_text_of_k1_is_made_before_text_of_a(self, messages):
        log = []

        class Above(Tagged):
            def __gt__(self, other):
                log.append(("compare", self.tag))
                return True

        make(k1=Above("K", log, 1.0), a=Tagged("A", log, 2.0))
        assert log == [("compare", "K"), ("format", "K", ""), ("format", "A", "")]
        assert messages == ["Error: Linear functions require K <= A"]

    def test_comparisons_use_the_unconverted_arguments(self, messages):
        seen = []

        class Probe:
            def __init__(self, value):
                self.value = value

            def __gt__(self, other):
                seen.append(other)
                return False

            def __float__(self):
                return self.value

        a = Probe(2.0)
        concept = make(k1=Probe(1.0), a=a, b=Probe(0.5))
        assert seen[0] is a
        assert type(seen[1]) is float and seen[1] == 1.0
        assert stored(concept) == (1.0, 10.0, 2.0, 0.5)

    def test_each_conversion_is_followed_by_its_assignment(self, monkeypatch):
        log = []

        class Logged(Concept):
            def __setattr__(self, name, value):
                log.append(("set", name, value))
                super().__setattr__(name, value)

        class Number:
            def __init__(self, tag, value):
                self.tag, self.value = tag, value

            def __gt__(self, other):
                log.append(("compare", self.tag))
                return False

            def __float__(self):
                log.append(("convert", self.tag))
                return self.value

        Logged("lin", Number("k1", 1.0), Number("k2", 2.0), Number("a", 3.0), Number("b", 0.5))
        assert log == [
            ("set", "name", "lin"),
            ("compare", "k1"), ("compare", "b"),
            ("convert", "k1"), ("set", "k1", 1.0),
            ("convert", "k2"), ("set", "k2", 2.0),
            ("convert", "a"), ("set", "_a", 3.0),
            ("convert", "b"), ("set", "_b", 0.5),
        ]

    def test_text_numbers_pass_and_store_floats(self, messages):
        concept = Concept("lin", "1", "5", "2", 0.5)
        assert messages == []  # "1" > "2" is false
        assert stored(concept) == (1.0, 5.0, 2.0, 0.5)
        assert all(type(value) is float for value in stored(concept))

    def test_text_k1_against_number_a_fails_in_the_comparison(self, messages):
        with pytest.raises(TypeError) as info:
            make(k1="1", a=2)
        assert module_entry(info.value) == ("__init__", step_line("init_checks_k1"))
        assert messages == []

    def test_true_b_passes_and_stores_one(self, messages):
        concept = make(b=True)
        assert messages == []
        assert concept._b == 1.0 and type(concept._b) is float

    @pytest.mark.parametrize("field", ["k1", "b"])
    def test_nan_passes_its_check_and_is_stored(self, messages, field):
        nan = float("nan")
        concept = make(**{field: nan})
        assert messages == []
        value = concept.k1 if field == "k1" else concept._b
        assert value is nan

    def test_exact_floats_are_stored_as_the_same_objects(self):
        values = [fresh_float(x) for x in (0.125, 7.5, 0.75, 0.5)]
        concept = Concept("lin", *values)
        for got, given_value in zip(stored(concept), values):
            assert got is given_value

    @pytest.mark.parametrize("value, expected", [
        (3, 3.0), (True, 1.0), (False, 0.0), ("  2.5\n", 2.5), ("1_0", 10.0), (b"0.25", 0.25),
        (bytearray(b"-4"), -4.0), (Fraction(1, 4), 0.25), (Decimal("0.75"), 0.75), (2 ** 60, 2.0 ** 60),
    ])
    def test_other_numbers_are_converted_to_exact_floats(self, value, expected):
        concept = Concept("lin", NeverGreater(), value, 0.5, 0.25)
        assert concept.k2 == expected and type(concept.k2) is float

    def test_float_subclass_is_converted_to_an_exact_float(self):
        class Sub(float):
            pass

        concept = make(k2=Sub(1.5))
        assert type(concept.k2) is float and concept.k2 == 1.5

    @pytest.mark.parametrize("k2", [-100, -1e300, -INF, NAN, 0, "-7"])
    def test_k2_is_never_checked(self, messages, k2):
        concept = make(k1=0.25, k2=k2, a=0.5)
        assert messages == []
        assert same_float(concept.k2, float(k2))

    @pytest.mark.parametrize("blocked, line", [
        ("k1", step_line("init_stores_k1")), ("k2", step_line("init_stores_k2")), ("_a", step_line("init_stores_a")),
        ("_b", step_line("init_stores_b")),
    ])
    def test_failed_assignment(self, blocked, line):
        with pytest.raises(AttributeError, match="read-only") as info:
            guarded(blocked)("lin", 0, 10, 0.5, 0.25)
        assert module_entry(info.value) == ("__init__", line)

    @pytest.mark.parametrize("blocked, before", [
        ("k1", {"name"}), ("k2", {"name", "k1"}),
        ("_a", {"name", "k1", "k2"}), ("_b", {"name", "k1", "k2", "_a"}),
    ])
    def test_partial_state_after_a_failed_assignment(self, blocked, before):
        cls = guarded(blocked)
        concept = cls.__new__(cls)
        with pytest.raises(AttributeError):
            concept.__init__("lin", 0, 10, 0.5, 0.25)
        assert set(vars(concept)) == before

    @pytest.mark.parametrize("args, error, line", [
        (("x", 0, "y", 0.5), ValueError, step_line("init_stores_k1")),
        ((0, "x", 0.5, 0.25), ValueError, step_line("init_stores_k2")),
        ((NeverGreater(), 0, "x", 0.25), ValueError, step_line("init_stores_a")),
        ((0, 0, 0.5, NeverGreater(convertible=False)), TypeError, step_line("init_stores_b")),
    ])
    def test_failed_conversion(self, args, error, line):
        with pytest.raises(error) as info:
            Concept("lin", *args)
        assert module_entry(info.value) == ("__init__", line)

    def test_init_again_changes_the_values(self, messages):
        concept = make()
        concept.__init__("other", 1, 2, 3, 4)
        assert concept.name == "other"
        assert stored(concept) == (1.0, 2.0, 3.0, 4.0)
        assert messages == ["Error: Linear functions require 4 <= 1.0"]

    def test_slotted_subclass_stores_through_its_slots(self, messages):
        class Slotted(Concept):
            __slots__ = ("k1", "k2", "_a", "_b")

        concept = Slotted("lin", 0, 10, 2, 0.5)
        assert vars(concept) == {"name": "lin"}
        assert (concept.k1, concept.k2, concept._a, concept._b) == (0.0, 10.0, 2.0, 0.5)
        assert concept.a == 2.0 and concept.get_membership_degree(1.5) == 1.0
        assert concept.compute_name() == "linear(0.0, 10.0, 2.0, 0.5)"

    def test_int_too_long_for_text_fails_in_the_report(self, messages):
        with pytest.raises(ValueError, match="digits") as info:
            make(k1=10 ** 5000, a=0)
        assert module_entry(info.value) == ("__init__", step_line("init_reports_k1"))
        assert messages == []


class TestUtilForms:
    """`Util.error` may be any callable attribute; bound methods are unpacked."""

    @staticmethod
    def form(kind, log):
        """(Util stand-in, the receiver its `error` is expected to see)."""
        if kind == "staticmethod":
            class Spy:
                @staticmethod
                def error(message):
                    log.append((None, message))
            return Spy, None
        if kind == "classmethod":
            class Spy:
                @classmethod
                def error(cls, message):
                    log.append((cls, message))
            return Spy, Spy
        if kind == "bound method":
            class Spy:
                def error(self, message):
                    log.append((self, message))
            spy = Spy()
            return spy, spy
        if kind == "instance attribute":
            spy = types.SimpleNamespace(error=lambda message: log.append((None, message)))
            return spy, None
        if kind == "callable object":
            class Reporter:
                def __call__(self, message):
                    log.append((self, message))
            reporter = Reporter()
            return types.SimpleNamespace(error=reporter), reporter
        if kind == "method of a callable object":
            class Reporter:
                def __call__(self, receiver, message):
                    log.append((receiver, message))
            owner = object()
            return types.SimpleNamespace(error=types.MethodType(Reporter(), owner)), owner
        if kind == "builtin method":
            sink = []
            spy = types.SimpleNamespace(error=sink.append)
            log.append(("sink", sink))
            return spy, "sink"
        raise AssertionError(kind)

    KINDS = ["staticmethod", "classmethod", "bound method", "instance attribute", "callable object",
             "method of a callable object", "builtin method"]

    @pytest.mark.parametrize("kind", KINDS)
    def test_both_reports_reach_the_error(self, monkeypatch, kind):
        log = []
        util, receiver = self.form(kind, log)
        monkeypatch.setattr(module, "Util", util)
        concept = Concept("lin", 5, 0, 2, 3)
        expected = ["Error: Linear functions require 5 <= 2", "Error: Linear functions require 3 <= 1.0"]
        if receiver == "sink":
            ((_, sink),) = log
            assert sink == expected
        else:
            assert log == [(receiver, message) for message in expected]
            assert all(r is receiver for r, _ in log)
        assert stored(concept) == (5.0, 0.0, 2.0, 3.0)


# ---------------------------------------------------------------------------------------
# Properties


class TestProperties:
    @pytest.mark.parametrize("prop, field", [("a", "_a"), ("b", "_b")])
    @pytest.mark.parametrize("value, expected", [
        (7, 7.0), ("2.5", 2.5), (True, 1.0), (b"-1e3", -1000.0), (Fraction(3, 8), 0.375), (-0.0, -0.0),
    ])
    def test_setter_stores_a_float(self, messages, prop, field, value, expected):
        concept = make(k1=-INF)
        setattr(concept, prop, value)
        got = vars(concept)[field]
        assert type(got) is float and got == expected
        assert math.copysign(1.0, got) == math.copysign(1.0, expected)
        assert messages == []

    @pytest.mark.parametrize("prop, field", [("a", "_a"), ("b", "_b")])
    def test_setter_keeps_an_exact_float(self, prop, field):
        concept = make()
        value = fresh_float(0.375)
        setattr(concept, prop, value)
        assert vars(concept)[field] is value

    def test_setters_check_nothing(self, messages):
        concept = make(k1=0.25)
        concept.a = -7
        concept.b = 9
        assert messages == []
        assert stored(concept) == (0.25, 10.0, -7.0, 9.0)

    @pytest.mark.parametrize("prop, field, line", [
        ("a", "_a", step_line("set_a_stores")), ("b", "_b", step_line("set_b_stores")),
    ])
    @pytest.mark.parametrize("value, error", [("two", ValueError), ("", ValueError), (None, TypeError),
                                              (10 ** 400, OverflowError)])
    def test_failed_setter_leaves_the_value(self, prop, field, line, value, error):
        concept = make()
        before = vars(concept)[field]
        with pytest.raises(error) as info:
            setattr(concept, prop, value)
        assert module_entry(info.value) == (prop, line)
        assert vars(concept)[field] is before

    @pytest.mark.parametrize("prop, field", [("a", "_a"), ("b", "_b")])
    @pytest.mark.parametrize("value", [3, "text", None, object()])
    def test_getter_returns_what_is_stored(self, prop, field, value):
        concept = make()
        setattr(concept, field, value)
        assert getattr(concept, prop) is value

    @pytest.mark.parametrize("prop", ["a", "b"])
    def test_properties_have_no_deleter(self, prop):
        concept = make()
        assert getattr(Concept, prop).fdel is None
        with pytest.raises(AttributeError):
            delattr(concept, prop)
        assert getattr(concept, prop) == (0.5 if prop == "a" else 0.25)

    @pytest.mark.parametrize("prop, field, line", [
        ("a", "_a", step_line("get_a_reads_stored")), ("b", "_b", step_line("get_b_reads_stored")),
    ])
    def test_getter_without_stored_value(self, prop, field, line):
        concept = make()
        delattr(concept, field)
        with pytest.raises(AttributeError) as info:
            getattr(concept, prop)
        assert module_entry(info.value) == (prop, line)

    def test_accessors_work_on_any_object(self):
        holder = types.SimpleNamespace()
        Concept.a.fset(holder, "1.25")
        assert holder._a == 1.25
        assert Concept.a.fget(holder) is holder._a


# ---------------------------------------------------------------------------------------
# Membership degree


class TestMembershipDegree:
    @pytest.mark.parametrize("a, b, value, expected", [
        (0.5, 0.25, 0.25, 0.125), (0.5, 0.25, 0.5, 0.25), (0.5, 0.25, 0.75, 0.625),
        (0.5, 0.25, 0.0, 0.0), (0.5, 0.25, -3, 0.0), (0.5, 0.25, 0, 0.0), (0.5, 0.25, -0.0, 0.0),
        (0.5, 0.25, 1.0, 1.0), (0.5, 0.25, 1, 1.0), (0.5, 0.25, 7.5, 1.0),
        (0.5, 0.25, True, 1.0), (0.5, 0.25, False, 0.0), (0.5, 0.25, INF, 1.0), (0.5, 0.25, -INF, 0.0),
        (0.5, 0.25, 10 ** 400, 1.0), (0.5, 0.25, -(10 ** 400), 0.0),
        (0.4, 0.8, 0.2, 0.4), (0.4, 0.8, 0.7, 0.9000000000000001),
        (2.0, 0.5, 0.5, 0.125), (2.0, 0.5, 0.999, 0.999 * 0.25), (2.0, 0.5, 1, 1.0),
        (-1.0, 0.5, 0.5, 0.875),
        (0.5, 0.25, Fraction(1, 4), 0.125),
    ])
    def test_documented_values(self, a, b, value, expected):
        result = shaped(a, b).get_membership_degree(value)
        assert type(result) is float
        assert result == expected
        assert result == plain_degree(value, a, b)

    def test_saturated_results_are_shared_objects(self):
        first, second = make(), make(a=0.9, b=0.1)
        low = first.get_membership_degree(-1)
        assert second.get_membership_degree(-2) is low
        assert first.get_membership_degree(False) is low
        high = first.get_membership_degree(1)
        assert second.get_membership_degree(7.5) is high
        assert first.get_membership_degree(True) is high
        assert (low, high) == (0.0, 1.0)

    def test_value_by_keyword(self):
        assert make().get_membership_degree(value=0.75) == 0.625
        assert Concept.get_membership_degree(value=0.25, self=make()) == 0.125

    @settings(max_examples=300, deadline=None)
    @given(a=st.floats(-2, 3), b=st.floats(-1, 1.5), value=st.floats(-1, 2) | st.just(NAN))
    def test_same_as_plain_python(self, a, b, value):
        try:
            expected = plain_degree(value, a, b)
        except ZeroDivisionError:
            with pytest.raises(ZeroDivisionError):
                shaped(a, b).get_membership_degree(value)
            return
        result = shaped(a, b).get_membership_degree(value)
        assert type(result) is float and same_float(result, expected)

    @pytest.mark.parametrize("a, b", [
        (1, 0), (2, 1), (0, 1), (True, False), (10 ** 400, 0.5), (0.5, 10 ** 400), (0.5, -(10 ** 400)),
        (Fraction(1, 3), Fraction(1, 2)), (0.5, Fraction(1, 3)), (Decimal("0.5"), 0.25), (0.5, Decimal("0.25")),
        (0.25, True), (0.0, 0.5), (-0.0, 0.5), (1.0, 0.5), (INF, 0.5), (0.5, INF), (NAN, 0.5), (0.5, NAN),
    ])
    @pytest.mark.parametrize("value", [0.2, 0.5, 0.8, Fraction(2, 3), 3 ** -1])
    def test_other_stored_types_like_plain_python(self, a, b, value):
        def outcome(compute):
            try:
                result = compute()
            except Exception as error:  # noqa: BLE001 - the exception type is the outcome
                return type(error)
            return (type(result), result)

        ours = outcome(lambda: shaped(a, b).get_membership_degree(value))
        theirs = outcome(lambda: plain_degree(value, a, b))
        if isinstance(theirs, tuple) and isinstance(ours, tuple) and theirs[0] is float:
            assert ours[0] is float and same_float(ours[1], theirs[1])
        else:
            assert ours == theirs

    @pytest.mark.parametrize("value", [-1, 0.0, 0.1, 0.3, 0.5, 0.51, 0.9, 1, 3])
    def test_k1_and_k2_have_no_influence(self, messages, value):
        first = make(k1=-5, k2=100)
        second = make(k1=0.5, k2=-3)
        assert first.get_membership_degree(value) == second.get_membership_degree(value)

    def test_nan_value_gives_nan(self):
        assert math.isnan(make().get_membership_degree(NAN))

    def test_nan_value_with_a_one_divides_by_zero(self):
        with pytest.raises(ZeroDivisionError) as info:
            shaped(1.0, 0.25).get_membership_degree(NAN)
        assert module_entry(info.value) == ("get_membership_degree", step_line("degree_on_second_segment"))

    @pytest.mark.parametrize("value", [None, "0.5", object(), 1j])
    def test_incomparable_value_fails_at_the_first_test(self, value):
        with pytest.raises(TypeError) as info:
            make().get_membership_degree(value)
        assert module_entry(info.value) == ("get_membership_degree", step_line("degree_checks_low"))

    def test_int_b_gives_a_float(self):
        concept = make()
        concept._b = 1
        result = concept.get_membership_degree(0.25)
        assert type(result) is float and result == 0.5 == (1 / 0.5) * 0.25

    def test_int_a_and_b(self):
        concept = make()
        concept._a, concept._b = 2, 1
        assert concept.get_membership_degree(0.5) == (1 / 2) * 0.5

    def test_subclass_property_a_is_used_everywhere(self):
        class Own(Concept):
            @property
            def a(self):
                return 0.25

        concept = Own("lin", 0, 0, 0.75, 0.5)  # stored _a stays 0.75
        assert concept.get_membership_degree(0.5) == plain_degree(0.5, 0.25, 0.5)
        assert concept.get_membership_degree(0.2) == plain_degree(0.2, 0.25, 0.5)

    @pytest.mark.parametrize("value, reads", [
        (0.25, ["a", "b", "a"]),
        (0.75, ["a", "b", "b", "a", "a"]),
        (0.0, []),
        (1.0, []),
    ])
    def test_reads_a_and_b_afresh_at_each_use(self, value, reads):
        log = []
        concept = logged(log)("lin", 0, 0, 0.5, 0.25)
        log.clear()
        concept.get_membership_degree(value)
        assert [name for _, name in log if name in ("a", "b")] == reads

    def test_operands_and_their_order(self):
        log = []

        class Value:
            def __init__(self, x):
                self.x = x

            def __le__(self, other):
                log.append(("le", type(other), other))
                return self.x <= other

            def __ge__(self, other):
                log.append(("ge", type(other), other))
                return self.x >= other

            def __mul__(self, other):
                log.append(("mul", other))
                return self.x * other

            def __rmul__(self, other):
                log.append(("rmul", other))
                return other * self.x

        assert make().get_membership_degree(Value(0.25)) == 0.125
        assert log == [("le", int, 0), ("ge", float, 1.0), ("le", float, 0.5), ("rmul", 0.5)]
        log.clear()
        assert make().get_membership_degree(Value(0.75)) == 0.625
        assert log == [("le", int, 0), ("ge", float, 1.0), ("le", float, 0.5), ("mul", 0.75)]

    @pytest.mark.parametrize("setup, value, error, entries", [
        (lambda c: None, NeitherSide(), ArithmeticError, [("get_membership_degree", step_line("degree_checks_high"))]),
        (lambda c: setattr(c, "_a", "x"), 0.3, TypeError, [("get_membership_degree", step_line("degree_checks_knee"))]),
        (lambda c: delattr(c, "_a"), 0.3, AttributeError,
         [("get_membership_degree", step_line("degree_checks_knee")), ("a", step_line("get_a_reads_stored"))]),
        (lambda c: setattr(c, "_b", "x"), 0.25, TypeError,
         [("get_membership_degree", step_line("degree_on_first_segment"))]),
        (lambda c: None, Decimal("0.25"), TypeError, [("get_membership_degree", step_line("degree_on_first_segment"))]),
        (lambda c: setattr(c, "_b", "x"), 0.75, TypeError,
         [("get_membership_degree", step_line("degree_on_second_segment"))]),
        (lambda c: None, Decimal("0.75"), TypeError,
         [("get_membership_degree", step_line("degree_on_second_segment"))]),
        (lambda c: delattr(c, "_b"), 0.75, AttributeError,
         [("get_membership_degree", step_line("degree_on_second_segment")), ("b", step_line("get_b_reads_stored"))]),
    ])
    def test_failing_steps(self, setup, value, error, entries):
        concept = make()
        setup(concept)
        with pytest.raises(error) as info:
            concept.get_membership_degree(value)
        assert module_entries(info.value) == entries

    def test_truth_failures(self):
        class BadLe:
            def __le__(self, other):
                return BadTruth()

        with pytest.raises(ArithmeticError) as info:
            make().get_membership_degree(BadLe())
        assert module_entry(info.value) == ("get_membership_degree", step_line("degree_checks_low"))

        class BadOnA:
            def __le__(self, other):
                return BadTruth() if type(other) is float else False

            def __ge__(self, other):
                return False

        with pytest.raises(ArithmeticError) as info:
            make().get_membership_degree(BadOnA())
        assert module_entry(info.value) == ("get_membership_degree", step_line("degree_checks_knee"))


# ---------------------------------------------------------------------------------------
# Name


class TestComputeName:
    def test_constructed_values_are_floats(self):
        assert Concept("lin", 0, 10, 2, 0.5).compute_name() == "linear(0.0, 10.0, 2.0, 0.5)"

    @pytest.mark.parametrize("field, value, text", [
        ("k1", 3, "3"), ("k1", True, "True"), ("k1", -(10 ** 30), "-" + "1" + "0" * 30),
        ("k2", "abc", "abc"), ("k2", "'q'", "'q'"), ("k2", "", ""),
        ("_a", 1e16, "1e+16"), ("_a", INF, "inf"), ("_a", -INF, "-inf"), ("_a", NAN, "nan"),
        ("_a", -0.0, "-0.0"), ("_a", 1e-7, "1e-07"), ("_a", 0.1 + 0.2, "0.30000000000000004"),
        ("_b", None, "None"), ("_b", Fraction(1, 3), "1/3"), ("_b", (1, 2), "(1, 2)"),
    ])
    def test_value_texts(self, field, value, text):
        concept = make()
        concept.k1, concept.k2, concept._a, concept._b = 1.5, 2.5, 0.5, 0.25
        setattr(concept, field, value)
        texts = {"k1": "1.5", "k2": "2.5", "_a": "0.5", "_b": "0.25", field: text}
        expected = f"linear({texts['k1']}, {texts['k2']}, {texts['_a']}, {texts['_b']})"
        name = concept.compute_name()
        assert type(name) is str and name == expected

    def test_subclasses_of_str_float_and_int_are_formatted(self):
        log = []

        class S(str):
            def __format__(self, format_spec):
                log.append(("S", format_spec))
                return "<s>"

            def __str__(self):
                return "not used"

        class F(float):
            def __format__(self, format_spec):
                log.append(("F", format_spec))
                return "<f>"

            def __repr__(self):
                return "not used"

        class I(int):
            def __format__(self, format_spec):
                log.append(("I", format_spec))
                return "<i>"

        concept = make()
        concept.k1, concept.k2, concept._a, concept._b = S("x"), F(1.0), I(2), Tagged("<t>")
        assert concept.compute_name() == "linear(<s>, <f>, <i>, <t>)"
        assert log == [("S", ""), ("F", ""), ("I", "")]

    def test_plain_subclasses_go_through_format(self):
        # format(x, "") of a float subclass gives str(x), which uses the subclass's repr.
        class S(str):
            pass

        class F(float):
            def __repr__(self):
                return "own repr"

        concept = make()
        concept.k1, concept.k2 = S("word"), F(0.5)
        assert concept.compute_name() == "linear(word, own repr, 0.5, 0.25)"

    @pytest.mark.parametrize("values", [
        ("é", 1.0, 2.0, 0.5),
        (0.0, "Ω€", 2.0, "x"),
        (0.0, 1.0, "\U0001d538", 0.5),
        ("ÿ", "Ω", "\U0001d538", "é"),
        (0.0, 1.0, 2.0, "€"),
        ("\U0010ffff", "a", "b", "c"),
        ("\ud800", "x", "é", "y"),
        (Tagged("Ωé"), 1.0, Tagged("\U0001f600"), "ü"),
    ])
    def test_non_ascii_texts(self, values):
        concept = make()
        concept.k1, concept.k2, concept._a, concept._b = values
        expected = "linear(" + ", ".join(format(value, "") for value in values) + ")"
        name = concept.compute_name()
        assert name == expected and len(name) == len(expected)
        assert max(map(ord, name)) == max(map(ord, expected))

    def test_each_value_is_turned_into_text_before_the_next_read(self):
        log = []
        concept = logged(log)("lin", 0, 0, 0, 0)
        concept.k1, concept.k2, concept._a, concept._b = (Tagged(tag, log) for tag in ("1", "2", "3", "4"))
        compute_name = concept.compute_name
        log.clear()
        assert compute_name() == "linear(1, 2, 3, 4)"
        assert log == [("get", "k1"), ("format", "1", ""), ("get", "k2"), ("format", "2", ""),
                       ("get", "a"), ("format", "3", ""), ("get", "b"), ("format", "4", "")]

    @pytest.mark.parametrize("setup, error", [
        (lambda c: delattr(c, "k2"), AttributeError),
        (lambda c: setattr(c, "_b", RaisingFormat()), LookupError),
        (lambda c: setattr(c, "k1", Tagged(42)), TypeError),  # __format__ must return a str
    ])
    def test_failures(self, setup, error):
        concept = make()
        setup(concept)
        with pytest.raises(error) as info:
            concept.compute_name()
        assert module_entry(info.value) == ("compute_name", step_line("compute_name_formats"))

    def test_long_texts(self):
        concept = make()
        concept.k1, concept.k2, concept._a, concept._b = "a" * 70000, "é" * 50000, 0.5, "\U0001d538" * 30000
        name = concept.compute_name()
        assert name == f"linear({concept.k1}, {concept.k2}, 0.5, {concept._b})"
        assert len(name) == 70000 + 50000 + 3 + 30000 + 14

    def test_int_too_long_for_text(self):
        concept = make()
        concept.k2 = 10 ** 5000
        with pytest.raises(ValueError, match="digits") as info:
            concept.compute_name()
        assert module_entry(info.value) == ("compute_name", step_line("compute_name_formats"))

    @pytest.mark.parametrize("call", [lambda: Concept.compute_name(), lambda: make().compute_name(1),
                                      lambda: Concept.compute_name(make(), self=make())])
    def test_argument_count(self, call):
        with pytest.raises(TypeError) as info:
            call()
        assert module_entry(info.value) == ("compute_name", definition_line("compute_name"))

    def test_any_object_with_the_attributes(self):
        holder = types.SimpleNamespace(k1=1, k2="two", a=3.5, b="é")
        assert Concept.compute_name(holder) == "linear(1, two, 3.5, é)"


# ---------------------------------------------------------------------------------------
# Hash


class HashAs:
    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return self.value


class TestHash:
    @staticmethod
    def expected(concept):
        return hash((concept.name, concept.k1, concept.k2, concept.a, concept.b, hash(concept.type)))

    @pytest.mark.parametrize("setup", [
        lambda c: None,
        lambda c: setattr(c, "k1", 3),
        lambda c: setattr(c, "name", ("a", step_line("set_up_module"))),
        lambda c: setattr(c, "_b", NAN),
        lambda c: setattr(c, "type", 2 ** 62 + 5),
        lambda c: setattr(c, "type", HashAs(2 ** 62 + 5)),
        lambda c: setattr(c, "type", HashAs(-1)),
    ])
    def test_hash_of_the_values_and_the_hash_of_type(self, setup):
        concept = make()
        setup(concept)
        result = concept.__hash__()
        assert type(result) is int
        assert hash(concept) == result == self.expected(concept)

    def test_hash_of_type_not_type_enters_the_tuple(self):
        # 2**62 + 5 hashes to itself as a hash value but to 7 as an int.
        concept = make()
        concept.type = HashAs(2 ** 62 + 5)
        values = (concept.name, concept.k1, concept.k2, concept.a, concept.b)
        assert concept.__hash__() == hash(values + (2 ** 62 + 5,))
        assert concept.__hash__() != hash(values + (concept.type,))

    def test_equal_values_hash_equal(self):
        first, second = make(name="n"), Concept("n", 0, 10, Fraction(1, 2), 0.25)
        second.type = HashAs(hash(first.type))
        assert first is not second and hash(first) == hash(second)
        assert hash(first) != hash(make(name="n", b=0.3))

    def test_works_as_dictionary_key(self):
        concept = make()
        assert {concept: 1}[concept] == 1

    def test_reads_in_order(self):
        log = []
        concept = logged(log)("lin", 0, 0, 0, 0)
        log.clear()
        concept.__hash__()
        names = [name for _, name in log if name in ("name", "k1", "k2", "a", "b", "type")]
        assert names == ["name", "k1", "k2", "a", "b", "type"]

    @pytest.mark.parametrize("setup, error, line", [
        (lambda c: setattr(c, "name", []), TypeError, step_line("hash_combines")),
        (lambda c: setattr(c, "k2", {}), TypeError, step_line("hash_combines")),
        (lambda c: setattr(c, "type", []), TypeError, step_line("hash_reads_values")),
        (lambda c: setattr(c, "type", HashAs("no int")), TypeError, step_line("hash_reads_values")),
        (lambda c: delattr(c, "k2"), AttributeError, step_line("hash_reads_values")),
    ])
    def test_failures(self, setup, error, line):
        concept = make()
        setup(concept)
        with pytest.raises(error) as info:
            concept.__hash__()
        assert module_entry(info.value) == ("__hash__", line)
        with pytest.raises(error) as info:
            hash(concept)
        assert module_entry(info.value) == ("__hash__", line)

    def test_unhashable_name_and_type_fail_at_type_first(self):
        concept = make()
        concept.name, concept.type = [], []
        with pytest.raises(TypeError) as info:
            hash(concept)
        assert module_entry(info.value) == ("__hash__", step_line("hash_reads_values"))


# ---------------------------------------------------------------------------------------
# Clone


class TestClone:
    def test_subclass_instance_clones_to_the_class(self, base_calls):
        class Sub(Concept):
            pass

        source = Sub("lin", 0, 10, 2, 0.5)
        copy = source.clone()
        assert type(copy) is Concept and copy is not source
        assert copy.name is source.name and stored(copy) == stored(source)
        assert [call[0] for call in base_calls] == [source, copy]

    def test_values_are_converted_again(self):
        source = make()
        source.k1, source.k2 = 0, "3"
        copy = source.clone()
        assert stored(copy) == (0.0, 3.0, 0.5, 0.25)
        assert all(type(value) is float for value in stored(copy))

    def test_rebound_global_is_called_with_the_five_values(self, monkeypatch):
        calls = []
        result = object()

        def factory(*args, **kwargs):
            calls.append((args, kwargs))
            return result

        concept = make(name="n")
        monkeypatch.setattr(module, "LinearConcreteConcept", factory)
        assert concept.clone() is result
        assert calls == [(("n", 0.0, 10.0, 0.5, 0.25), {})]
        assert calls[0][0][1] is concept.k1 and calls[0][0][3] is concept._a

    def test_bound_method_global_receives_its_instance_first(self, monkeypatch):
        calls = []

        class Factory:
            def make(self, *args):
                calls.append((self, args))
                return args

        factory = Factory()
        monkeypatch.setattr(module, "LinearConcreteConcept", factory.make)
        assert make(name="n").clone() == ("n", 0.0, 10.0, 0.5, 0.25)
        assert calls == [(factory, ("n", 0.0, 10.0, 0.5, 0.25))]

    def test_reads_in_order(self, monkeypatch):
        log = []
        concept = logged(log)("lin", 0, 0, 0, 0)
        monkeypatch.setattr(module, "LinearConcreteConcept", lambda *args: log.append(("call",)))
        log.clear()
        concept.clone()
        assert [item for item in log if item[0] == "call" or item[1] in ("name", "k1", "k2", "a", "b")] == [
            ("get", "name"), ("get", "k1"), ("get", "k2"), ("get", "a"), ("get", "b"), ("call",)]

    def test_deleted_global_without_builtin(self, monkeypatch):
        concept = make()
        monkeypatch.delattr(module, "LinearConcreteConcept")
        assert not hasattr(builtins, "LinearConcreteConcept")
        with pytest.raises(NameError, match=r"^name 'LinearConcreteConcept' is not defined$") as info:
            concept.clone()
        assert module_entry(info.value) == ("clone", step_line("clone_constructs"))

    def test_builtin_used_after_the_global_is_deleted(self, monkeypatch):
        concept = make()
        monkeypatch.delattr(module, "LinearConcreteConcept")
        monkeypatch.setattr(builtins, "LinearConcreteConcept", lambda *args: ("builtin", args), raising=False)
        assert concept.clone() == ("builtin", ("lin", 0.0, 10.0, 0.5, 0.25))

    def test_invalid_values_are_reported_through_util(self, messages):
        concept = make(k1=0.25)
        concept.a = 0.125
        concept.b = "1.5"
        copy = concept.clone()
        assert messages == ["Error: Linear functions require 0.25 <= 0.125",
                            "Error: Linear functions require 1.5 <= 1.0"]
        assert stored(copy) == (0.25, 10.0, 0.125, 1.5)

    def test_raising_report_passes_through_clone(self):
        concept = make(k1=0.25)
        concept.a = 0
        with pytest.raises(ConceptError, match="^Error: Linear functions require 0.25 <= 0.0$") as info:
            concept.clone()
        assert module_entries(info.value) == [
            ("clone", step_line("clone_constructs")), ("__init__", step_line("init_reports_k1"))]

    @pytest.mark.parametrize("field", ["name", "k1", "k2", "_a", "_b"])
    def test_missing_value(self, field):
        concept = make()
        delattr(concept, field)
        with pytest.raises(AttributeError) as info:
            concept.clone()
        assert module_entries(info.value)[0] == ("clone", step_line("clone_constructs"))

    def test_argument_count(self):
        with pytest.raises(TypeError) as info:
            make().clone(1)
        assert module_entry(info.value) == ("clone", definition_line("clone"))


# ---------------------------------------------------------------------------------------
# Operators


# Recursion through the module's own methods, with no Python frame between the calls.
RECURSIONS = {
    "name is the concept": "c.name = c; hash(c)",
    "name holds the concept": "c.name = (c,); hash(c)",
    "names of each other": "d = make(); c.name = d; d.name = c; hash(c)",
    "type": "c.type = c; hash(c)",
    "k1": "c.k1 = c; hash(c)",
    "_b": "c._b = c; hash(c)",
    "not_": "OperatorConcept.not_ = C.__neg__; -c",
    "and_": "OperatorConcept.and_ = C.__and__; c & c",
    "or_": "OperatorConcept.or_ = C.__or__; c | c",
    "not_ through partial": "OperatorConcept.not_ = functools.partial(C.__neg__); -c",
    "and_ through partial": "OperatorConcept.and_ = functools.partial(C.__and__); c & c",
    "or_ through partial": "OperatorConcept.or_ = functools.partial(C.__or__); c | c",
}


class TestRecursion:
    @pytest.mark.parametrize("statements", RECURSIONS.values(), ids=RECURSIONS.keys())
    def test_raises_recursion_error(self, statements):
        output = run_python(f"""
import functools
from {MODULE_NAME} import LinearConcreteConcept as C, OperatorConcept
def make():
    return C("lin", 0.0, 1.0, 0.5, 0.5)
c = make()
try:
    {statements}
except RecursionError as error:
    print(type(error).__name__, error)
""").stdout.strip()
        assert output.startswith("RecursionError maximum recursion depth exceeded")


class TestOperators:
    @pytest.fixture
    def calls(self, monkeypatch):
        log = []
        monkeypatch.setattr(module, "OperatorConcept", operator_spy(log))
        return log

    def test_negation(self, calls):
        concept = make()
        result = -concept
        assert calls == [("not_", (concept,), result)]

    @pytest.mark.parametrize("combine, operation", [
        (lambda c, d: c & d, "and_"), (lambda c, d: c | d, "or_"),
        (lambda c, d: c.__and__(value=d), "and_"), (lambda c, d: c.__or__(value=d), "or_"),
        (lambda c, d: Concept.__and__(value=d, self=c), "and_"),
    ])
    @pytest.mark.parametrize("other", [make(), 5, "text", None])
    def test_binary(self, calls, combine, operation, other):
        concept = make()
        result = combine(concept, other)
        ((name, args, returned),) = calls
        assert name == operation and returned is result
        assert len(args) == 2 and args[0] is concept and args[1] is other

    def test_result_is_returned_as_it_is(self, monkeypatch):
        monkeypatch.setattr(module, "OperatorConcept", types.SimpleNamespace(
            not_=lambda c: None, and_=lambda c, d: 0, or_=lambda c, d: "or"))
        concept = make()
        assert (-concept) is None
        assert (concept & concept) == 0
        assert (concept | concept) == "or"

    def test_bound_methods_receive_their_instance_first(self, monkeypatch):
        log = []

        class Operators:
            def not_(self, *args):
                log.append((self, "not_", args))

            def and_(self, *args):
                log.append((self, "and_", args))

            def or_(self, *args):
                log.append((self, "or_", args))

        operators = Operators()
        monkeypatch.setattr(module, "OperatorConcept", operators)
        concept = make()
        -concept
        concept & 1
        concept | 2
        assert log == [(operators, "not_", (concept,)), (operators, "and_", (concept, 1)),
                       (operators, "or_", (concept, 2))]

    # The connective is read from the class through a cache kept while the class keeps
    # its version; every change the class's own lookup would see must show.
    @pytest.mark.parametrize("change", [
        lambda spy, other: setattr(spy, "not_", staticmethod(other)),
        lambda spy, other: vars(spy.__bases__[0])["not_"].__init__(other),
        lambda spy, other: setattr(spy.__bases__[0], "not_", staticmethod(other)),
        lambda spy, other: setattr(spy, "not_", classmethod(lambda cls, c: other(c))),
        lambda spy, other: setattr(spy, "not_", other),
    ], ids=["rebound", "reinitialised", "base rebound", "classmethod", "plain function"])
    def test_a_changed_connective_is_seen(self, monkeypatch, change):
        log = []
        spy = type("Derived", (operator_spy(log),), {})
        monkeypatch.setattr(module, "OperatorConcept", spy)
        concept = make()
        first = -concept
        change(spy, lambda c: ("other", c))
        assert log == [("not_", (concept,), first)]
        assert -concept == ("other", concept)

    def test_a_metaclass_lookup_is_respected(self, monkeypatch):
        class Meta(type):
            def __getattribute__(cls, name):
                return (lambda *args: ("meta", name)) if name.endswith("_") else super().__getattribute__(name)

        monkeypatch.setattr(module, "OperatorConcept", Meta("Operators", (), {"not_": staticmethod(len)}))
        assert -make() == ("meta", "not_")

    def test_an_uninitialised_static_method_fails_as_the_lookup_does(self, monkeypatch):
        spy = operator_spy([])
        monkeypatch.setattr(module, "OperatorConcept", spy)
        concept = make()
        -concept
        spy.not_ = staticmethod.__new__(staticmethod)
        with pytest.raises(RuntimeError) as info:
            -concept
        assert module_entry(info.value) == ("__neg__", step_line("neg_applies_not"))

    def test_a_connective_that_replaces_itself_while_running(self, monkeypatch):
        class Operators:
            @staticmethod
            def not_(c):
                vars(Operators)["not_"].__init__(lambda c: "second")
                gc.collect()
                return "first"

        monkeypatch.setattr(module, "OperatorConcept", Operators)
        concept = make()
        assert [-concept, -concept] == ["first", "second"]

    def test_with_the_package_collaborator(self):
        first, second = make(), make(a=0.2, b=0.9)
        assert (-first).get_membership_degree(0.25) == 1.0 - 0.125
        conjunction = first & second
        assert (conjunction.operator, conjunction.operands) == ("and", (first, second))
        disjunction = first | second
        assert disjunction.get_membership_degree(0.25) == max(first.get_membership_degree(0.25),
                                                              second.get_membership_degree(0.25))

    def test_no_reflected_or_other_operators(self):
        for name in ("__rand__", "__ror__", "__pos__", "__invert__", "__sub__", "__rsub__", "__xor__"):
            assert name not in vars(Concept)
        with pytest.raises(TypeError):
            5 & make()

    @pytest.mark.parametrize("call, line", [
        (lambda c: -c, step_line("neg_applies_not")), (lambda c: c & c, step_line("and_applies_and")),
        (lambda c: c | c, step_line("or_applies_or")),
    ])
    def test_deleted_global_without_builtin(self, monkeypatch, call, line):
        concept = make()
        monkeypatch.delattr(module, "OperatorConcept")
        with pytest.raises(NameError, match=r"^name 'OperatorConcept' is not defined$") as info:
            call(concept)
        assert module_entry(info.value)[1] == line

    def test_missing_or_fails_only_the_disjunction(self, monkeypatch):
        log = []
        monkeypatch.setattr(module, "OperatorConcept", operator_spy(log, without=("or_",)))
        concept = make()
        -concept
        concept & concept
        with pytest.raises(AttributeError) as info:
            concept | concept
        assert module_entry(info.value) == ("__or__", step_line("or_applies_or"))
        assert [name for name, _, _ in log] == ["not_", "and_"]

    def test_failing_connective(self, monkeypatch):
        def refuse(*args):
            raise OverflowError("refused")

        monkeypatch.setattr(module, "OperatorConcept", types.SimpleNamespace(not_=refuse, and_=refuse, or_=refuse))
        concept = make()
        for call, name, line in [(lambda: -concept, "__neg__", step_line("neg_applies_not")),
                                 (lambda: concept & 1, "__and__", step_line("and_applies_and")),
                                 (lambda: concept | 1, "__or__", step_line("or_applies_or"))]:
            with pytest.raises(OverflowError) as info:
                call()
            assert module_entry(info.value) == (name, line)

    @pytest.mark.parametrize("call, name, line", [
        (lambda c: Concept.__neg__(), "__neg__", definition_line("neg")),
        (lambda c: c.__neg__(1), "__neg__", definition_line("neg")),
        (lambda c: c.__and__(), "__and__", definition_line("and_")),
        (lambda c: c.__and__(1, 2), "__and__", definition_line("and_")),
        (lambda c: c.__or__(), "__or__", definition_line("or_")),
        (lambda c: c.__or__(other=1), "__or__", definition_line("or_")),
    ])
    def test_argument_binding(self, call, name, line):
        with pytest.raises(TypeError) as info:
            call(make())
        assert module_entry(info.value) == (name, line)


# ---------------------------------------------------------------------------------------
# Reference counts


def _succeeding(call):
    return call


def _failing(call, error):
    def action():
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError("expected a failure")
    return action


def _objects():
    """Fresh argument objects that nothing else refers to."""
    return types.SimpleNamespace(
        name=fresh_str("concept"), k1=fresh_float(0.125), k2=fresh_float(9.5), a=fresh_float(0.5),
        b=fresh_float(0.25), low=fresh_float(-0.5), inside=fresh_float(0.25), upper=fresh_float(0.75),
        high=fresh_float(1.5), text=fresh_str("2.5"), bad=fresh_str("bad"), marker=object(),
        result=object(), other=object(),
    )


def _rc_init(mp, o):
    concept = make()
    return _succeeding(lambda: concept.__init__(o.name, o.k1, o.k2, o.a, o.b)), [concept, o.name, o.k1, o.k2,
                                                                                  o.a, o.b]


def _rc_init_reports(mp, o):
    sink = []
    util = types.SimpleNamespace(error=sink.append)
    mp.setattr(module, "Util", util)
    big = fresh_float(5.5)
    concept = make()

    def action():
        concept.__init__(o.name, big, o.k2, o.a, o.high)
        sink.clear()
    return action, [concept, big, o.a, o.high, util, sink]


def _rc_init_bound_report(mp, o):
    class Reporter:
        def error(self, message):
            pass

    reporter = Reporter()
    mp.setattr(module, "Util", reporter)
    big = fresh_float(5.5)
    return _succeeding(lambda: Concept(o.name, big, o.k2, o.a, o.b)), [reporter, Reporter, big, o.name]


def _rc_init_raising_report(mp, o):
    big = fresh_float(5.5)
    return _failing(lambda: Concept(o.name, big, o.k2, o.a, o.b), ConceptError), [big, o.a, o.name]


def _rc_init_compare(mp, o):
    return _failing(lambda: Concept(o.name, o.text, o.k2, o.a, o.b), TypeError), [o.text, o.a, o.name]


def _rc_init_convert(mp, o):
    return _failing(lambda: Concept(o.name, o.k1, o.bad, o.a, o.b), ValueError), [o.k1, o.bad, o.a, o.name]


def _rc_init_binding(mp, o):
    return _failing(lambda: Concept(o.name, o.k1, o.k2, o.a), TypeError), [o.name, o.k1, o.k2, o.a]


def _rc_init_keywords(mp, o):
    return _succeeding(lambda: Concept(name=o.name, k1=o.k1, k2=o.k2, a=o.a, b=o.b)), [o.name, o.k1, o.a]


def _rc_getter(mp, o):
    concept = make()
    concept._a = o.marker
    return _succeeding(lambda: concept.a), [concept, o.marker]


def _rc_getter_missing(mp, o):
    concept = make()
    del concept._b
    return _failing(lambda: concept.b, AttributeError), [concept]


def _rc_setter(mp, o):
    concept = make()
    return _succeeding(lambda: setattr(concept, "a", o.text) or setattr(concept, "b", o.b)), [concept, o.text,
                                                                                             o.b]


def _rc_setter_bad(mp, o):
    concept = make()
    return _failing(lambda: setattr(concept, "b", o.bad), ValueError), [concept, o.bad]


def _rc_degree(mp, o):
    concept = make()
    zero, one = concept.get_membership_degree(-1), concept.get_membership_degree(2)

    def action():
        for value in (o.low, o.inside, o.upper, o.high):
            concept.get_membership_degree(value)
    return action, [concept, o.low, o.inside, o.upper, o.high, zero, one]


def _rc_degree_bad(mp, o):
    concept = make()
    return _failing(lambda: concept.get_membership_degree(o.marker), TypeError), [concept, o.marker]


def _rc_degree_bad_b(mp, o):
    concept = make()
    concept._b = o.bad

    def action():
        for value in (o.inside, o.upper):
            try:
                concept.get_membership_degree(value)
            except TypeError:
                pass
    return action, [concept, o.bad, o.inside, o.upper]


def _rc_name(mp, o):
    concept = make()
    concept.k1, concept.k2, concept._a = o.text, o.marker, Tagged("é")
    return _succeeding(lambda: concept.compute_name()), [concept, o.text, o.marker]


def _rc_name_bad(mp, o):
    concept = make()
    concept.k1, concept._b = o.text, RaisingFormat()
    return _failing(lambda: concept.compute_name(), LookupError), [concept, o.text]


def _rc_hash(mp, o):
    concept = Concept(o.name, o.k1, o.k2, o.a, o.b)
    return _succeeding(lambda: hash(concept)), [concept, o.name, o.k1, o.a]


def _rc_hash_bad_name(mp, o):
    concept = make()
    name = []
    concept.name = name
    return _failing(lambda: hash(concept), TypeError), [concept, name]


def _rc_hash_bad_type(mp, o):
    concept = make()
    kind = []
    concept.type = kind
    return _failing(lambda: concept.__hash__(), TypeError), [concept, kind]


def _rc_clone(mp, o):
    concept = Concept(o.name, o.k1, o.k2, o.a, o.b)
    return _succeeding(lambda: concept.clone()), [concept, o.name, o.k1, o.a]


def _rc_clone_spy(mp, o):
    factory = types.SimpleNamespace()
    factory.make = lambda *args: o.result
    mp.setattr(module, "LinearConcreteConcept", factory.make)
    concept = Concept(o.name, o.k1, o.k2, o.a, o.b)
    return _succeeding(lambda: concept.clone()), [concept, o.result, factory.make, o.name, o.k1]


def _rc_clone_missing(mp, o):
    mp.delattr(module, "LinearConcreteConcept")
    concept = make()
    return _failing(lambda: concept.clone(), NameError), [concept]


def _rc_clone_report(mp, o):
    concept = Concept(o.name, o.k1, o.k2, o.a, o.b)
    concept._a = o.low
    return _failing(lambda: concept.clone(), ConceptError), [concept, o.name, o.k1, o.low]


def _rc_operators(mp, o):
    spy = types.SimpleNamespace(not_=lambda c: o.result, and_=lambda c, d: o.result, or_=lambda c, d: o.result)
    mp.setattr(module, "OperatorConcept", spy)
    concept = make()

    def action():
        -concept
        concept & o.other
        concept | o.other
    return action, [concept, o.other, o.result, spy]


def _rc_operators_bound(mp, o):
    class Operators:
        def not_(self, c):
            return o.result

        def and_(self, c, d):
            return o.result

        or_ = and_

    operators = Operators()
    mp.setattr(module, "OperatorConcept", operators)
    concept = make()

    def action():
        -concept
        concept.__and__(value=o.other)
        concept | o.other
    return action, [concept, o.other, o.result, operators]


def _rc_operators_missing(mp, o):
    mp.delattr(module, "OperatorConcept")
    concept = make()

    def action():
        for call in (lambda: -concept, lambda: concept & o.other, lambda: concept | o.other):
            try:
                call()
            except NameError:
                pass
    return action, [concept, o.other]


def _rc_operators_no_or(mp, o):
    spy = types.SimpleNamespace(not_=lambda c: o.result)
    mp.setattr(module, "OperatorConcept", spy)
    concept = make()
    return _failing(lambda: concept | o.other, AttributeError), [concept, o.other, spy]


def _rc_binding(mp, o):
    concept = make()

    def action():
        for call in (lambda: concept.get_membership_degree(), lambda: concept.__and__(o.other, o.marker),
                     lambda: concept.clone(o.other), lambda: concept.__or__(value=o.other, extra=o.marker)):
            try:
                call()
            except TypeError:
                pass
    return action, [concept, o.other, o.marker]


REFCOUNT_CASES = {name[len("_rc_"):]: function for name, function in dict(globals()).items()
                  if name.startswith("_rc_")}


class TestReferenceCounts:
    @pytest.mark.parametrize("case", sorted(REFCOUNT_CASES))
    def test_no_growth(self, monkeypatch, case):
        action, tracked = REFCOUNT_CASES[case](monkeypatch, _objects())
        action()
        action()
        gc.collect()
        before = [sys.getrefcount(item) for item in tracked]
        for _ in range(1000):
            action()
        gc.collect()
        after = [sys.getrefcount(item) for item in tracked]
        assert after == before
