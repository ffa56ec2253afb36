"""The fast paths must be invisible: every case here runs the compiled class and the
plain-Python class side by side and expects the same results, calls and exceptions."""

from __future__ import annotations

import importlib.util
import math

import pytest

from tolvane.ostrel.concept.concrete import linear_concrete_concept as compiled_module, source_path
from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import FuzzyConcreteConcept

SOURCE = source_path()


def load_plain():
    spec = importlib.util.spec_from_file_location("_plain_concept_for_shortcuts", SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


PLAIN = load_plain().LinearConcreteConcept
COMPILED = compiled_module.LinearConcreteConcept


@pytest.fixture(params=["compiled", "plain"])
def cls(request):
    return COMPILED if request.param == "compiled" else PLAIN


def outcome(function, *args):
    """(result or exception type and message); floats compared by their bit pattern."""
    try:
        result = function(*args)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(error), str(error))
    if isinstance(result, float):
        return ("float", type(result), math.copysign(1.0, result), repr(result))
    return ("value", result)


def both(make):
    """The outcome of make(cls) for each class."""
    return [make(COMPILED), make(PLAIN)]


class F(float):
    """A float subclass: takes the number protocol, not the unboxed path."""


class Logged:
    """A number that logs the operations done to it, to compare the order of steps."""

    def __init__(self, value, log):
        self.value, self.log = value, log

    def _op(name):
        def op(self, other=None):
            self.log.append(name)
            other_value = other.value if isinstance(other, Logged) else other
            result = {
                "le": lambda: self.value <= other_value, "ge": lambda: self.value >= other_value,
                "mul": lambda: self.value * other_value, "rmul": lambda: other_value * self.value,
                "rsub": lambda: other_value - self.value, "sub": lambda: self.value - other_value,
                "rtruediv": lambda: other_value / self.value, "truediv": lambda: self.value / other_value,
                "add": lambda: self.value + other_value, "radd": lambda: other_value + self.value,
            }[name]()
            return result
        return op

    __le__, __ge__ = _op("le"), _op("ge")
    __mul__, __rmul__, __sub__, __rsub__ = _op("mul"), _op("rmul"), _op("sub"), _op("rsub")
    __truediv__, __rtruediv__, __add__, __radd__ = _op("truediv"), _op("rtruediv"), _op("add"), _op("radd")


VALUES = [0.2, 0.4, 0.7, 0.999, 1e-300, 5e-324, -0.0, 0.0, float("nan"), float("inf"), -float("inf"),
          F(0.3), F(0.7), 1, 0, True, False]
PARAMETERS = [(0.4, 0.8), (0.5, 0.25), (2.0, 0.5), (-1.0, 0.5), (1.0, 0.5), (0.0, 0.5), (F(0.4), F(0.8)),
              (1, 1), (float("nan"), 0.5), (0.4, float("nan")), (float("inf"), 0.5), (-0.0, 0.5)]


class TestDegrees:
    @pytest.mark.parametrize("a, b", PARAMETERS)
    @pytest.mark.parametrize("value", VALUES, ids=repr)
    def test_same_as_plain(self, a, b, value):
        def degree(cls):
            c = cls("x", 0, 1, 0.5, 0.5)
            c._a, c._b = a, b  # stored as given: ints and float subclasses stay so
            return outcome(c.get_membership_degree, value)

        compiled, plain = both(degree)
        assert compiled == plain

    def test_division_by_zero_message(self):
        def degree(cls):
            c = cls("x", 0, 1, 1.0, 0.5)
            return outcome(c.get_membership_degree, float("nan"))

        compiled, plain = both(degree)
        assert compiled == plain == ("raised", ZeroDivisionError, "float division by zero")

    @pytest.mark.parametrize("value", [0.2, 0.7])
    def test_order_of_operations_with_logged_operands(self, value):
        def steps(cls):
            log = []
            c = cls("x", 0, 1, 0.5, 0.5)
            c._a, c._b = Logged(0.4, log), Logged(0.8, log)
            result = outcome(c.get_membership_degree, Logged(value, log))
            return result[0], log

        compiled, plain = both(steps)
        assert compiled == plain


class TestPropertyReads:
    def test_subclass_overriding_a(self, cls):
        class Sub(cls):
            @property
            def a(self):
                return 0.25

        c = Sub("x", 0, 1, 0.5, 0.5)
        assert c.get_membership_degree(0.2) == pytest.approx(0.4)
        assert c.compute_name().endswith("0.25, 0.5)")

    def test_getattribute_sees_every_read(self):
        counts = []
        for cls in (COMPILED, PLAIN):
            seen = []

            class Sub(cls):
                def __getattribute__(self, name):
                    seen.append(name)
                    return super().__getattribute__(name)

            c = Sub("x", 0, 1, 0.4, 0.8)
            seen.clear()
            c.get_membership_degree(0.7)
            counts.append([name for name in seen if name in ("a", "b")])
        assert counts[0] == counts[1] == ["a", "b", "b", "a", "a"]

    def test_property_replaced_on_the_class_and_restored(self, monkeypatch):
        c = COMPILED("x", 0, 1, 0.4, 0.8)
        assert c.get_membership_degree(0.2) == 0.4
        monkeypatch.setattr(COMPILED, "a", property(lambda self: 0.8))
        assert c.get_membership_degree(0.2) == pytest.approx(0.2)
        monkeypatch.undo()
        assert c.get_membership_degree(0.2) == 0.4

    def test_property_getter_replaced_in_place(self):
        prop = vars(COMPILED)["b"]
        getter, setter = prop.fget, prop.fset
        c = COMPILED("x", 0, 1, 0.4, 0.8)
        assert c.get_membership_degree(0.2) == 0.4
        try:
            # re-running property.__init__ swaps the getter without touching the class
            prop.__init__(lambda self: 0.2, setter)
            assert c.get_membership_degree(0.2) == pytest.approx(0.1)
            assert hash(c) == hash(("x", 0.0, 1.0, 0.4, 0.2, hash(c.type)))
        finally:
            prop.__init__(getter, setter)
        assert c.get_membership_degree(0.2) == 0.4

    def test_instance_dict_holding_a_does_not_win(self, cls):
        c = cls("x", 0, 1, 0.4, 0.8)
        c.__dict__["a"] = 0.1
        assert c.get_membership_degree(0.2) == 0.4

    def test_stored_value_as_class_descriptor(self):
        results = []
        for cls in (COMPILED, PLAIN):
            reads = []

            class Tracked:
                def __get__(self, obj, owner=None):
                    reads.append("get")
                    return 0.4

                def __set__(self, obj, value):
                    pass

            class Sub(cls):
                _a = Tracked()

            c = Sub("x", 0, 1, 0.4, 0.8)
            reads.clear()
            results.append((c.get_membership_degree(0.7), len(reads)))
        assert results[0] == results[1]

    def test_another_class_with_the_same_property(self):
        # Types are told apart: a second class sharing the functions is served correctly.
        class Other:
            a = vars(COMPILED)["a"]
            b = property(lambda self: 0.5)
            type = "other"

            def __init__(self):
                self.name, self.k1, self.k2, self._a = "o", 0.0, 1.0, 0.25

        o = Other()
        assert COMPILED.get_membership_degree(o, 0.1) == pytest.approx(0.2)
        assert COMPILED.compute_name(o) == "linear(0.0, 1.0, 0.25, 0.5)"


class TestHashAndName:
    @pytest.mark.parametrize(
        "values",
        [("x", 0.0, 1.0, 0.4, 0.8), ("y", -1, 2**70, F(0.5), True), ("z", float("nan"), -0.0, 1e16, "s"),
         (("t", 1), 3, 4.5, None, 0.0)],
        ids=repr,
    )
    @pytest.mark.parametrize("kind", ["concrete", 2**62 + 5, -1, ("t",), 3.5])
    def test_same_as_plain(self, values, kind):
        def measure(cls):
            c = cls("x", 0, 1, 0.5, 0.5)
            c.name, c.k1, c.k2, c._a, c._b = values
            c.type = kind
            return outcome(hash, c), outcome(c.compute_name)

        compiled, plain = both(measure)
        assert compiled == plain


class TestBaseInitialiser:
    def test_mixin_in_the_mro(self):
        logs = []
        for cls in (COMPILED, PLAIN):
            log = []

            class Middle(FuzzyConcreteConcept):
                def __init__(self, name):
                    log.append(("middle", name))
                    super().__init__(name)

            class Sub(cls, Middle):
                pass

            Sub("x", 0, 1, 0.5, 0.5)
            logs.append(log)
        assert logs[0] == logs[1] == [("middle", "x")]

    @pytest.mark.parametrize("kind", ["callable object", "staticmethod", "builtin"])
    def test_base_initialiser_that_is_not_a_function(self, kind):
        outcomes = []
        for cls in (COMPILED, PLAIN):
            calls = []

            class Callable:
                def __call__(self, *args):
                    calls.append(len(args))

            init = {"callable object": Callable(), "staticmethod": staticmethod(lambda *args: calls.append(len(args))),
                    "builtin": object.__init__}[kind]

            class Middle(FuzzyConcreteConcept):
                __init__ = init

            class Sub(cls, Middle):
                pass

            outcomes.append((outcome(Sub, "x", 0, 1, 0.5, 0.5)[0], calls))
        assert outcomes[0] == outcomes[1]

    def test_self_of_another_class(self):
        compiled = outcome(COMPILED.__init__, object(), "x", 0, 1, 0.5, 0.5)
        assert compiled[:2] == ("raised", TypeError)
        assert "super(type, obj)" in compiled[2]


class TestHashArithmetic:
    """The hash is computed without the tuple: it must equal hash() of the tuple for
    every type hash, including those an int's hash reduces or flips."""

    @staticmethod
    def expected(c):
        return hash((c.name, c.k1, c.k2, c.a, c.b, hash(c.type)))

    @pytest.mark.parametrize(
        "kind",
        [0, 1, -2, 2**61 - 2, 2**61 - 1, 2**61, 2**62 + 5, -(2**62 + 5), 2**63 - 1, -(2**63) + 1,
         -(2**61 - 1), -(2**61), "text", (1, 2), float("inf"), -0.0],
        ids=repr,
    )
    def test_type_hashes(self, kind):
        c = COMPILED("x", 0, 1, 0.5, 0.5)
        c.type = kind
        assert hash(c) == self.expected(c)

    def test_random_values(self):
        import hypothesis
        from hypothesis import strategies

        class Hashing:
            def __init__(self, value):
                self.value = value

            def __hash__(self):
                return self.value

        @hypothesis.given(
            strategies.integers(-(2**63) + 1, 2**63 - 1).filter(lambda v: v != -1),
            strategies.one_of(strategies.text(max_size=5), strategies.integers(), strategies.floats()),
            strategies.floats(allow_nan=False),
        )
        @hypothesis.settings(max_examples=300, deadline=None, database=None)
        def check(type_hash, name, k1):
            c = COMPILED("x", 0, 1, 0.5, 0.5)
            c.type, c.name, c.k1 = Hashing(type_hash), name, k1
            assert hash(c) == self.expected(c)

        check()


class TestInstanceAttributes:
    """Instance attributes are read and written through the instance's inline values while
    the type allows it; every other shape of instance takes the generic way."""

    @staticmethod
    def state(c):
        return list(vars(c).items())

    def test_attribute_order_after_delete_and_store(self):
        def run(cls):
            c = cls("x", 0, 1, 0.4, 0.8)
            del c.k1
            del c._a
            cls.__init__(c, "y", 0.25, 2, 0.5, 0.5)
            c.a = 0.75
            return self.state(c)

        compiled, plain = both(run)
        assert compiled == plain

    def test_deleted_attribute_reads_fail(self):
        def run(cls):
            c = cls("x", 0, 1, 0.4, 0.8)
            del c._a
            return outcome(lambda: c.a), outcome(c.compute_name), outcome(hash, c)

        compiled, plain = both(run)
        assert [o[:2] for o in compiled] == [o[:2] for o in plain]

    def test_materialised_instance_dict(self):
        def run(cls):
            c = cls("x", 0, 1, 0.4, 0.8)
            d = c.__dict__  # the instance now keeps a real dict
            c.a = 0.5
            d["k2"] = 7.0
            return self.state(c), c.compute_name(), c.get_membership_degree(0.25)

        compiled, plain = both(run)
        assert compiled == plain

    def test_many_attributes_overflow_the_shared_keys(self):
        def run(cls):
            class Sub(cls):
                pass

            concepts = []
            for i in range(40):
                c = Sub(f"c{i}", 0, 1, 0.4, 0.8)
                setattr(c, f"extra{i}", i)
                concepts.append(c)
            for c in concepts:
                c.a = 0.5
                c.k1 = 0.25
            return [(c.compute_name(), hash(c) == c.__hash__(), self.state(c)[-1]) for c in concepts]

        compiled, plain = both(run)
        assert compiled == plain

    def test_class_attribute_of_the_same_name(self):
        def run(cls):
            class Sub(cls):
                k1 = "class value"

            c = Sub("x", 0, 1, 0.4, 0.8)
            first = c.compute_name()
            del c.k1
            return first, c.compute_name(), self.state(c)

        compiled, plain = both(run)
        assert compiled == plain

    def test_descriptor_added_to_the_class_later(self):
        def run(cls):
            class Sub(cls):
                pass

            c = Sub("x", 0, 1, 0.4, 0.8)
            before = c.compute_name()
            Sub.k2 = property(lambda self: "from the class", lambda self, value: None)
            c.k2 = 5
            after = c.compute_name()
            del Sub.k2
            return before, after, c.compute_name()

        compiled, plain = both(run)
        assert compiled == plain

    def test_setattr_and_getattr_overrides_see_every_access(self):
        def run(cls):
            seen = []

            class Sub(cls):
                def __setattr__(self, name, value):
                    seen.append(("set", name))
                    super().__setattr__(name, value)

                def __getattr__(self, name):
                    seen.append(("missing", name))
                    raise AttributeError(name)

            c = Sub("x", 0, 1, 0.4, 0.8)
            c.a = 0.5
            del c.k2
            result = outcome(c.compute_name)
            return seen, result[:2]

        compiled, plain = both(run)
        assert compiled == plain

    def test_slots_subclass(self):
        def run(cls):
            class Sub(cls):
                __slots__ = ("extra",)

            c = Sub("x", 0, 1, 0.4, 0.8)
            c.extra = 1
            return self.state(c), c.compute_name(), hash(c) == c.__hash__()

        compiled, plain = both(run)
        assert compiled == plain


def test_the_shortcut_layouts_match_this_interpreter(native_helper):
    # A layout the set-up does not recognise turns its shortcuts off without a sign: on
    # every supported version both must be recognised.
    assert native_helper.layouts_match() == (True, True)
