"""The plain-Python linear_concrete_concept.py shipped beside the compiled module.

It is the module's fallback, the source that tracebacks of the compiled module show,
and the baseline of the benchmarks, so its statements must stand on the lines that
the compiled module's traceback entries name, and it must behave the same.
The file is loaded by path under a name of its own, apart from the compiled module.
"""

from __future__ import annotations

import ast
import importlib.machinery
import importlib.util
import math
import struct
import sys
import traceback
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "python" / "tolvane" / "ostrel" / "concept" / "concrete" / "linear_concrete_concept.py"
MODULE_NAME = "tolvane.ostrel.concept.concrete.linear_concrete_concept"

from tolvane.ostrel.util.util import ConceptError
from traceback_entries import module_entries


def load_plain_module():
    spec = importlib.util.spec_from_file_location("_plain_linear_concrete_concept", SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def plain():
    """A freshly loaded plain module, so that rebinding its globals stays local to a test."""
    return load_plain_module()


def compiled_module():
    module = importlib.import_module(MODULE_NAME)
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    return module


# ---------------------------------------------------------------------------
# Source lines
#
# The one place that types the lines: the build and the other tests read them from this
# file's markers, so these numbers are what keeps the file, and the compiled module with
# it, on the lines that its traceback entries promise.


def statement_lines():
    """(what, expected line, actual line) for every statement whose line is fixed."""
    tree = ast.parse(SOURCE.read_text(encoding="utf-8"))
    body = tree.body
    imports = {node.names[0].name: node.lineno for node in body if isinstance(node, (ast.Import, ast.ImportFrom))}
    (cls,) = [node for node in body if isinstance(node, ast.ClassDef)]
    methods: dict[str, list[ast.FunctionDef]] = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            methods.setdefault(node.name, []).append(node)

    def code(function):  # the statements after the docstring
        statements = function.body
        if isinstance(statements[0], ast.Expr) and isinstance(statements[0].value, ast.Constant):
            statements = statements[1:]
        return statements

    rows = [
        ("import typing", 3, imports["typing"]),
        ("import FuzzyConcreteConcept", 5, imports["FuzzyConcreteConcept"]),
        ("import OperatorConcept", 8, imports["OperatorConcept"]),
        ("import Util", 9, imports["Util"]),
        ("class", 12, cls.lineno),
    ]
    (init,) = methods["__init__"]
    super_call, check_k1, check_b, *stores = code(init)
    rows += [
        ("__init__", 26, init.lineno),
        ("super().__init__(name)", 42, super_call.lineno),
        ("if k1 > a", 43, check_k1.lineno),
        ("Util.error on k1", 44, check_k1.body[0].lineno),
        ("if b > 1.0", 45, check_b.lineno),
        ("Util.error on b", 46, check_b.body[0].lineno),
    ]
    rows += [(f"store {target}", line, store.lineno)
             for (target, line), store in zip((("k1", 48), ("k2", 49), ("_a", 50), ("_b", 51)), stores, strict=True)]
    for prop, (getter_line, get_line, setter_line, set_line) in (("a", (53, 63, 65, 74)), ("b", (76, 86, 88, 97))):
        getter, setter = methods[prop]
        (get,), (store,) = code(getter), code(setter)
        rows += [
            (f"@property {prop}", getter_line - 1, getter.decorator_list[0].lineno),
            (f"getter {prop}", getter_line, getter.lineno),
            (f"getter {prop} return", get_line, get.lineno),
            (f"@{prop}.setter", setter_line - 1, setter.decorator_list[0].lineno),
            (f"setter {prop}", setter_line, setter.lineno),
            (f"setter {prop} store", set_line, store.lineno),
        ]
    for name, def_line, statement_line in (("clone", 99, 108), ("compute_name", 130, 139), ("__neg__", 141, 150),
                                           ("__and__", 152, 164), ("__or__", 166, 178)):
        (function,) = methods[name]
        (statement,) = code(function)
        rows += [(name, def_line, function.lineno), (f"{name} return", statement_line, statement.lineno)]
    (degree,) = methods["get_membership_degree"]
    below, above, first, second = code(degree)
    rows += [
        ("get_membership_degree", 110, degree.lineno),
        ("if value <= 0", 122, below.lineno), ("return 0.0", 123, below.body[0].lineno),
        ("if value >= 1.0", 124, above.lineno), ("return 1.0", 125, above.body[0].lineno),
        ("if value <= self.a", 126, first.lineno), ("first line", 127, first.body[0].lineno),
        ("second line", 128, second.lineno),
    ]
    (hash_method,) = methods["__hash__"]
    (returned,) = code(hash_method)
    call = returned.value
    (items,) = call.args
    rows += [
        ("__hash__", 180, hash_method.lineno),
        ("return hash(", 190, returned.lineno),
        ("hash of the tuple", 190, call.lineno),
        ("the tuple", 191, items.lineno),
    ]
    rows += [(f"tuple item {index}", 191, item.lineno) for index, item in enumerate(items.elts)]
    rows += [(f"tuple item {index} ends", 191, item.end_lineno) for index, item in enumerate(items.elts)]
    return rows


@pytest.mark.parametrize("what, expected, actual", statement_lines(), ids=lambda value: str(value))
def test_statement_stands_on_its_line(what, expected, actual):
    assert actual == expected, what


def test_statements_are_what_they_should_be():
    lines = SOURCE.read_text(encoding="utf-8").splitlines()
    expected = {
        3: "import typing",
        12: "class LinearConcreteConcept(FuzzyConcreteConcept):",
        42: "super().__init__(name)",
        43: "if k1 > a:",
        44: 'Util.error(f"Error: Linear functions require {k1} <= {a}")',
        45: "if b > 1.0:",
        46: 'Util.error(f"Error: Linear functions require {b} <= 1.0")',
        48: "self.k1 = float(_read_number(k1))",
        49: "self.k2 = float(_read_number(k2))",
        50: "self._a = float(_read_number(a))",
        51: "self._b = float(_read_number(b))",
        52: "@property",
        63: "return self._a",
        64: "@a.setter",
        74: "self._a = float(_read_number(value))",
        86: "return self._b",
        97: "self._b = float(_read_number(value))",
        108: "return LinearConcreteConcept(self.name, self.k1, self.k2, self.a, self.b)",
        122: "if value <= 0:",
        123: "return 0.0",
        124: "if value >= 1.0:",
        125: "return 1.0",
        126: "if value <= self.a:",
        127: "return (self.b / self.a) * value",
        128: "return (value * (1.0 - self.b) + (self.b - self.a)) / (1.0 - self.a)",
        139: 'return f"linear({self.k1}, {self.k2}, {self.a}, {self.b})"',
        150: "return OperatorConcept.not_(self)",
        164: "return OperatorConcept.and_(self, value)",
        178: "return OperatorConcept.or_(self, value)",
        190: "return hash(",
        191: "(self.name, self.k1, self.k2, self.a, self.b, hash(self.type))",
    }
    for line, text in expected.items():
        assert lines[line - 1].split("# step:")[0].strip() == text, line


def test_module_names(plain):
    public = {name for name in vars(plain) if not name.startswith("__")}
    assert public == {"typing", "FuzzyConcreteConcept", "OperatorConcept", "Util", "LinearConcreteConcept",
                      "_read_number"}
    assert plain.__test__ == {}
    from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import FuzzyConcreteConcept
    from tolvane.ostrel.concept.operator_concept import OperatorConcept
    from tolvane.ostrel.util.util import Util

    assert plain.FuzzyConcreteConcept is FuzzyConcreteConcept
    assert plain.OperatorConcept is OperatorConcept
    assert plain.Util is Util
    assert plain.LinearConcreteConcept.__bases__ == (FuzzyConcreteConcept,)


# ---------------------------------------------------------------------------
# Annotations

ANNOTATIONS = {
    "__init__": {"name": "str", "k1": "float", "k2": "float", "a": "float", "b": "float", "return": "None"},
    "clone": {"return": "typing.Self"},
    "get_membership_degree": {"value": "float", "return": "float"},
    "compute_name": {"return": "str"},
    "__neg__": {"return": "FuzzyConcreteConcept"},
    "__and__": {"value": "typing.Self", "return": "typing.Self"},
    "__or__": {"value": "typing.Self", "return": "typing.Self"},
    "__hash__": {"return": "int"},
}
PROPERTY_ANNOTATIONS = ({"return": "float"}, {"value": "float", "return": "None"})


def annotations_of(cls):
    result = {name: list(getattr(cls, name).__annotations__.items()) for name in ANNOTATIONS}
    for prop in ("a", "b"):
        result[f"{prop}.fget"] = list(getattr(cls, prop).fget.__annotations__.items())
        result[f"{prop}.fset"] = list(getattr(cls, prop).fset.__annotations__.items())
    return result


def test_annotations_are_texts_in_order(plain):
    expected = {name: list(texts.items()) for name, texts in ANNOTATIONS.items()}
    for prop in ("a", "b"):
        expected[f"{prop}.fget"] = list(PROPERTY_ANNOTATIONS[0].items())
        expected[f"{prop}.fset"] = list(PROPERTY_ANNOTATIONS[1].items())
    assert annotations_of(plain.LinearConcreteConcept) == expected


def test_annotations_agree_with_the_compiled_module(plain):
    compiled = compiled_module()
    assert annotations_of(compiled.LinearConcreteConcept) == annotations_of(plain.LinearConcreteConcept)


def test_class_namespace_order(plain):
    names = [name for name in vars(plain.LinearConcreteConcept) if name not in ("__doc__", "__dict__", "__weakref__")]
    expected = ["__module__", "__init__", "a", "b", "clone", "get_membership_degree", "compute_name",
                "__neg__", "__and__", "__or__", "__hash__"]
    if sys.version_info >= (3, 13):
        expected[1:1] = ["__firstlineno__"]
        expected.append("__static_attributes__")
    assert names == expected
    for prop in ("a", "b"):
        value = vars(plain.LinearConcreteConcept)[prop]
        assert isinstance(value, property) and value.fdel is None
        assert value.fget.__qualname__ == value.fset.__qualname__ == f"LinearConcreteConcept.{prop}"


# ---------------------------------------------------------------------------
# Behaviour


class Recorder:
    """Stands in for Util: records messages and returns."""

    def __init__(self):
        self.messages = []

    def error(self, message):
        self.messages.append(message)


def test_construction_stores_floats(plain):
    concept = plain.LinearConcreteConcept("lin", 0, 10, 2, 0.5)
    assert concept.name == "lin"
    assert (concept.k1, concept.k2, concept._a, concept._b) == (0.0, 10.0, 2.0, 0.5)
    assert all(type(value) is float for value in (concept.k1, concept.k2, concept._a, concept._b))
    assert (concept.a, concept.b) == (2.0, 0.5)


def test_exact_floats_are_stored_unchanged(plain):
    a = 123456.5
    concept = plain.LinearConcreteConcept("lin", 0.0, 1.0, a, 0.5)
    assert concept._a is a


@pytest.mark.parametrize("k1, a, b, message", [
    (5, 2, 0.5, "Error: Linear functions require 5 <= 2"),
    (3.0, 2, 0.5, "Error: Linear functions require 3.0 <= 2"),
    (0, 2, 1.5, "Error: Linear functions require 1.5 <= 1.0"),
])
def test_violations_raise_the_collaborators_error(plain, k1, a, b, message):
    with pytest.raises(ConceptError) as caught:
        plain.LinearConcreteConcept("lin", k1, 0, a, b)
    assert str(caught.value) == message


def test_boundaries_pass(plain):
    concept = plain.LinearConcreteConcept("lin", 2, 0, 2, 1.0)
    assert (concept.k1, concept.a, concept.b) == (2.0, 2.0, 1.0)
    assert plain.LinearConcreteConcept("lin", 0, 0, 0.5, True).b == 1.0


def test_a_returning_error_reporter_lets_construction_go_on(plain):
    plain.Util = Recorder()
    concept = plain.LinearConcreteConcept("lin", 5, 0, 2, 3)
    assert plain.Util.messages == ["Error: Linear functions require 5 <= 2",
                                   "Error: Linear functions require 3 <= 1.0"]
    assert (concept.k1, concept.k2, concept.a, concept.b) == (5.0, 0.0, 2.0, 3.0)


def test_text_numbers(plain):
    concept = plain.LinearConcreteConcept("lin", "1", "5", "2", 0.5)
    assert (concept.k1, concept.k2, concept.a, concept.b) == (1.0, 5.0, 2.0, 0.5)
    concept.a = "2.5"
    assert concept.a == 2.5
    concept.b = 7
    assert concept.b == 7.0 and type(concept.b) is float
    with pytest.raises(ValueError):
        concept.a = "no number"
    assert concept.a == 2.5


def test_getter_converts_nothing(plain):
    concept = plain.LinearConcreteConcept("lin", 0, 1, 0.5, 0.5)
    concept._a = 3
    assert concept.a == 3 and type(concept.a) is int


@pytest.mark.parametrize("a, b, value, degree", [
    (0.5, 0.25, 0.25, 0.125),
    (0.5, 0.25, 0.5, 0.25),
    (0.5, 0.25, 0.75, 0.625),
    (0.5, 0.25, 0.0, 0.0),
    (0.5, 0.25, -3, 0.0),
    (0.5, 0.25, 0, 0.0),
    (0.5, 0.25, 1.0, 1.0),
    (0.5, 0.25, 1, 1.0),
    (0.5, 0.25, 7.5, 1.0),
    (0.5, 0.25, True, 1.0),
    (0.5, 0.25, False, 0.0),
    (0.4, 0.8, 0.2, 0.4),
    (0.4, 0.8, 0.7, 0.9000000000000001),
    (2.0, 0.5, 0.5, 0.125),
    (-1.0, 0.5, 0.5, 0.875),
])
def test_membership_degree(plain, a, b, value, degree):
    result = plain.LinearConcreteConcept("lin", -5, 5, a, b).get_membership_degree(value)
    assert result == degree and type(result) is float


def test_membership_degree_ignores_k1_and_k2(plain):
    first = plain.LinearConcreteConcept("lin", -5, 5, 0.3, 0.6)
    second = plain.LinearConcreteConcept("lin", 0.3, -7, 0.3, 0.6)
    for step in range(-10, 31):
        value = step / 20
        assert first.get_membership_degree(value) == second.get_membership_degree(value)


def test_membership_degree_of_nan(plain):
    assert math.isnan(plain.LinearConcreteConcept("lin", 0, 1, 0.5, 0.5).get_membership_degree(math.nan))
    with pytest.raises(ZeroDivisionError):
        plain.LinearConcreteConcept("lin", 0, 1, 1.0, 0.5).get_membership_degree(math.nan)


@pytest.mark.parametrize("k1, k2, a, b, name", [
    (0, 10, 2, 0.5, "linear(0.0, 10.0, 2.0, 0.5)"),
    (-math.inf, 1e16, math.nan, 0.5, "linear(-inf, 1e+16, nan, 0.5)"),
])
def test_compute_name(plain, k1, k2, a, b, name):
    assert plain.LinearConcreteConcept("lin", k1, k2, a, b).compute_name() == name


def test_compute_name_of_assigned_values(plain):
    concept = plain.LinearConcreteConcept("lin", 0, 10, 2, 0.5)
    concept.k1 = 3
    assert concept.compute_name().startswith("linear(3, ")
    concept.k1 = True
    assert concept.compute_name().startswith("linear(True, ")
    concept.k2 = "text"
    assert concept.compute_name().startswith("linear(True, text, ")


def test_hash(plain):
    concept = plain.LinearConcreteConcept("lin", 0, 10, 2, 0.5)
    expected = hash(("lin", 0.0, 10.0, 2.0, 0.5, hash(concept.type)))
    assert concept.__hash__() == expected
    assert hash(concept) == expected
    assert hash(plain.LinearConcreteConcept("lin", 0.0, 10.0, 2.0, 0.5)) == expected


def test_clone(plain):
    class Sub(plain.LinearConcreteConcept):
        pass

    concept = Sub("lin", 0, 10, 2, 0.5)
    copy = concept.clone()
    assert type(copy) is plain.LinearConcreteConcept
    assert (copy.name, copy.k1, copy.k2, copy.a, copy.b) == ("lin", 0.0, 10.0, 2.0, 0.5)
    concept.b = 4
    with pytest.raises(ConceptError, match=r"^Error: Linear functions require 4\.0 <= 1\.0$"):
        concept.clone()


def test_clone_uses_the_module_global(plain):
    made = []
    plain.LinearConcreteConcept, cls = (lambda *args: made.append(args) or "made"), plain.LinearConcreteConcept
    assert cls("lin", 0, 10, 2, 0.5).clone() == "made"
    assert made == [("lin", 0.0, 10.0, 2.0, 0.5)]


def test_operators_return_what_operator_concept_returns(plain):
    class Operators:
        @staticmethod
        def not_(concept):
            return ("not", concept)

        @staticmethod
        def and_(first, second):
            return ("and", first, second)

        @staticmethod
        def or_(first, second):
            return ("or", first, second)

    plain.OperatorConcept = Operators
    concept = plain.LinearConcreteConcept("lin", 0, 10, 2, 0.5)
    assert -concept == ("not", concept)
    assert (concept & 3) == ("and", concept, 3)
    assert (concept | concept) == ("or", concept, concept)
    assert concept.__and__(value=4) == ("and", concept, 4)


def test_operators_with_the_real_operator_concept(plain):
    first = plain.LinearConcreteConcept("lin", 0, 1, 0.5, 0.25)
    second = plain.LinearConcreteConcept("lin", 0, 1, 0.4, 0.8)
    assert (-first).get_membership_degree(0.25) == 0.875
    assert (first & second).get_membership_degree(0.25) == 0.125
    assert (first | second).get_membership_degree(0.25) == 0.5
    assert (first & second).compute_name() == "(linear(0.0, 1.0, 0.5, 0.25) & linear(0.0, 1.0, 0.4, 0.8))"


def underscored(text, accepted):
    """`text` with an underscore put in each position; -1.5e10 at the positions `accepted`."""
    return [(text[:i] + "_" + text[i:], -1.5e10 if i in accepted else ValueError) for i in range(len(text) + 1)]


# Number text and what both modules read from it: the value, or the exception's type.
# An ASCII text is read the same as str, bytes and bytearray.
NUMBER_TEXTS = [
    ("2.5", 2.5), (" -1_000.5\t", -1000.5), (".5", 0.5), ("5.", 5.0), ("+.5e3", 500.0), ("1e5_0", 1e50),
    ("-0", -0.0), ("1e500", math.inf), ("inf", math.inf), ("-Infinity", -math.inf), ("iNfInItY", math.inf),
    ("nan", math.nan), (" -NaN ", -math.nan), ("\t\n\v\f\r 7 ", 7.0),
    ("", ValueError), (" ", ValueError), ("\x00", ValueError), ("1 2", ValueError), ("1__0", ValueError),
    ("_1", ValueError), ("1_", ValueError), ("1_.5", ValueError), ("1._5", ValueError), ("1_e5", ValueError),
    ("1e_5", ValueError), ("+_1", ValueError), ("infinit", ValueError), ("n_an", ValueError),
    ("0x10", ValueError), ("\x1c1.5", ValueError), ("1.5\x1f", ValueError), (".", ValueError),
    # Accepted although float() refuses them.
    ("1e-_5", 1e-5), ("1E+_5", 1e5), (" -3e+_2 ", -300.0), ("\xa01_e5", 1e5), ("\xa01e_5", 1e5),
    ("1E_5\u3000", 1e5), ("\xa02.5_e-1", 0.25), ("\x1c1.5\xa0", 1.5), ("\xa01.5\x1f", 1.5),
    ("\x1d\x1e2\xa0", 2.0), ("\x1f-nan\xa0", -math.nan), ("\x1d\x1einf\u3000", math.inf),
    # Non-ASCII text.
    ("\xa02.5", 2.5), ("\xa0 \t1.5\n\u3000", 1.5), ("\u2028-1_0\u2029", -10.0), ("\x851", 1.0),
    ("\u0661\u0662", 12.0), ("\uff13.\uff15", 3.5), ("\xa0\u0661_\u0662", 12.0), ("1\u0662", 12.0),
    ("1.5\xe9", ValueError), ("\xa0.5_e1", ValueError), ("\xa01__e5", ValueError), ("\xa01_e5_", ValueError),
    ("\xa0-_1e_5", ValueError), ("\xa0\x1c", ValueError), ("\xa01\xa05", ValueError),
    ("\xa0" + "1" * 45 + "_0", float("1" * 45 + "0")),
    *underscored("-1.5e+10", {6, 7}), *underscored("-1.5e+10\xa0", {4, 5, 6, 7}),
]


def bits_or_type(read, value):
    """What `read(value)` gives: the bits of the float, or the type of the exception."""
    try:
        return struct.pack("<d", read(value))
    except Exception as error:  # noqa: BLE001 - the exception type is the outcome
        return type(error)


@pytest.mark.parametrize("text, expected", NUMBER_TEXTS, ids=[ascii(text) for text, _ in NUMBER_TEXTS])
def test_both_modules_read_number_text_alike(plain, text, expected):
    forms = [text, text.encode(), bytearray(text.encode())] if text.isascii() else [text]
    wanted = expected if isinstance(expected, type) else struct.pack("<d", expected)
    for module in (plain, compiled_module()):
        concept = module.LinearConcreteConcept("lin", 0, 1, 0.5, 0.5)

        def read(value):
            concept.a = value
            return concept.a

        assert [bits_or_type(read, value) for value in forms] == [wanted] * len(forms), module.__name__


# ---------------------------------------------------------------------------
# Tracebacks: a failure inside each method shows that method's line


class NoFloat:
    """Compares as not greater than anything, but has no float value."""

    def __gt__(self, other):
        return False


class FailsAtOne:
    """Is not at most 0, and fails the comparison with 1.0."""

    def __le__(self, other):
        return False

    def __ge__(self, other):
        raise ArithmeticError("no comparison with 1.0")


def failing_call(module, case):
    """A call of a method of `module.LinearConcreteConcept` that fails as `case` says."""
    cls = module.LinearConcreteConcept

    def concept():
        return cls("lin", 0, 1, 0.4, 0.8)

    def without(attribute):
        made = concept()
        delattr(made, attribute)
        return made

    def with_value(attribute, value):
        made = concept()
        setattr(made, attribute, value)
        return made

    class NoOperators:
        pass

    calls = {
        "init super": lambda: cls.__init__(object(), "lin", 0, 1, 0.4, 0.8),
        "init compare k1": lambda: cls("lin", "1", 1, 2, 0.5),
        "init report k1": lambda: cls("lin", 5, 1, 2, 0.5),
        "init compare b": lambda: cls("lin", 0, 1, 2, "0.5"),
        "init report b": lambda: cls("lin", 0, 1, 2, 1.5),
        "init store k1": lambda: cls("lin", "x", 1, "y", 0.5),
        "init store k2": lambda: cls("lin", 0, "x", 2, 0.5),
        "init store a": lambda: cls("lin", "1", 1, "z", 0.5),
        "init store b": lambda: cls("lin", 0, 1, 2, NoFloat()),
        "get a": lambda: without("_a").a,
        "set a": lambda: setattr(concept(), "a", "x"),
        "get b": lambda: without("_b").b,
        "set b": lambda: setattr(concept(), "b", "x"),
        "clone": lambda: without("k1").clone(),
        "degree below": lambda: concept().get_membership_degree(None),
        "degree above": lambda: concept().get_membership_degree(FailsAtOne()),
        "degree compare a": lambda: with_value("_a", "x").get_membership_degree(0.5),
        "degree first line": lambda: with_value("_b", "x").get_membership_degree(0.2),
        "degree second line": lambda: with_value("_b", "x").get_membership_degree(0.7),
        "compute_name": lambda: without("k2").compute_name(),
        "neg": lambda: -concept(),
        "and": lambda: concept() & concept(),
        "or": lambda: concept() | concept(),
        "hash read": lambda: hash(without("k1")),
        "hash type": lambda: hash(with_value("type", [])),
        "hash tuple": lambda: hash(with_value("name", [])),
    }
    if case in ("neg", "and", "or"):
        module.OperatorConcept = NoOperators()
    return calls[case]


TRACEBACK_CASES = [
    ("init super", "__init__", 42),
    ("init compare k1", "__init__", 43),
    ("init report k1", "__init__", 44),
    ("init compare b", "__init__", 45),
    ("init report b", "__init__", 46),
    ("init store k1", "__init__", 48),
    ("init store k2", "__init__", 49),
    ("init store a", "__init__", 50),
    ("init store b", "__init__", 51),
    ("get a", "a", 63),
    ("set a", "a", 74),
    ("get b", "b", 86),
    ("set b", "b", 97),
    ("clone", "clone", 108),
    ("degree below", "get_membership_degree", 122),
    ("degree above", "get_membership_degree", 124),
    ("degree compare a", "get_membership_degree", 126),
    ("degree first line", "get_membership_degree", 127),
    ("degree second line", "get_membership_degree", 128),
    ("compute_name", "compute_name", 139),
    ("neg", "__neg__", 150),
    ("and", "__and__", 164),
    ("or", "__or__", 178),
    ("hash read", "__hash__", 191),
    ("hash type", "__hash__", 191),
    ("hash tuple", "__hash__", 190),
]


def entry_in_module(error):
    """The innermost traceback entry of the module's source file: (function name, line)."""
    entries = module_entries(error)
    assert entries, "no traceback entry names the module's source"
    return entries[-1]


def run_failing(module, case):
    call = failing_call(module, case)
    with pytest.raises(Exception) as caught:
        call()
    return caught.value


@pytest.mark.parametrize("case, function, line", TRACEBACK_CASES, ids=[case for case, _, _ in TRACEBACK_CASES])
def test_failure_shows_the_methods_line(plain, case, function, line):
    error = run_failing(plain, case)
    assert entry_in_module(error) == (function, line)
    source_line = SOURCE.read_text(encoding="utf-8").splitlines()[line - 1].strip()
    text = "".join(traceback.format_exception(error))
    assert f'{SOURCE.name}", line {line}, in {function}\n    {source_line}\n' in text


@pytest.mark.parametrize("case, function, line", TRACEBACK_CASES, ids=[case for case, _, _ in TRACEBACK_CASES])
def test_compiled_module_fails_at_the_same_line(monkeypatch, case, function, line):
    compiled = compiled_module()
    monkeypatch.setattr(compiled, "OperatorConcept", compiled.OperatorConcept)  # restored after the test
    plain_error = run_failing(load_plain_module(), case)
    error = run_failing(compiled, case)
    assert type(error) is type(plain_error)
    assert entry_in_module(error) == (function, line)
    # The compiled module's loader finds this source, so the traceback shows the line.
    source_line = SOURCE.read_text(encoding="utf-8").splitlines()[line - 1].strip()
    text = "".join(traceback.format_exception(error))
    assert f'{SOURCE.name}", line {line}, in {MODULE_NAME}.LinearConcreteConcept.{function}\n    {source_line}\n' in text
