"""What tools learn by looking at LinearConcreteConcept: signatures, type hints, help,
pickling and copying of its methods and of its instances."""

from __future__ import annotations

import re

import copy
import importlib
import importlib.util
import inspect
import io
import pickle
import pydoc
import textwrap
import typing
from pathlib import Path

import pytest

from conftest import run_python
from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import FuzzyConcreteConcept

MODULE_NAME = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
module = importlib.import_module(MODULE_NAME)
# Captured once, in case a test elsewhere rebinds the module global.
Concept = module.LinearConcreteConcept

PLAIN_SOURCE = (Path(__file__).resolve().parent.parent / "python" / "tolvane" / "ostrel" / "concept"
                / "concrete" / "linear_concrete_concept.py")

POK = inspect.Parameter.POSITIONAL_OR_KEYWORD
EMPTY = inspect.Parameter.empty

# Every function of the class: its parameters with their annotation texts, and its return's.
METHODS = {
    "__init__": ([("self", EMPTY), ("name", "str"), ("k1", "float"), ("k2", "float"), ("a", "float"),
                  ("b", "float")], "None"),
    "clone": ([("self", EMPTY)], "typing.Self"),
    "get_membership_degree": ([("self", EMPTY), ("value", "float")], "float"),
    "compute_name": ([("self", EMPTY)], "str"),
    "__neg__": ([("self", EMPTY)], "FuzzyConcreteConcept"),
    "__and__": ([("self", EMPTY), ("value", "typing.Self")], "typing.Self"),
    "__or__": ([("self", EMPTY), ("value", "typing.Self")], "typing.Self"),
    "__hash__": ([("self", EMPTY)], "int"),
}
ACCESSORS = {
    "fget": ([("self", EMPTY)], "float"),
    "fset": ([("self", EMPTY), ("value", "float")], "None"),
}
RESOLVED = {"str": str, "float": float, "int": int, "None": type(None), "typing.Self": typing.Self,
            "FuzzyConcreteConcept": FuzzyConcreteConcept}


def functions(cls=Concept):
    """(label, function, expected parameters, expected return) for all twelve functions."""
    rows = [(name, vars(cls)[name], *shape) for name, shape in METHODS.items()]
    for prop in ("a", "b"):
        for accessor, shape in ACCESSORS.items():
            rows.append((f"{prop}.{accessor}", getattr(vars(cls)[prop], accessor), *shape))
    return rows


LABELS = [row[0] for row in functions()]


def function_named(label, cls=Concept):
    (row,) = [row for row in functions(cls) if row[0] == label]
    return row


def make(name="warm", k1=0.0, k2=10.0, a=0.5, b=0.25):
    return Concept(name, k1, k2, a, b)


class Subconcept(Concept):
    """A subclass defined at module level, so that pickle can find it by name."""


# ---------------------------------------------------------------------------------------
# Signatures


@pytest.mark.parametrize("label", LABELS)
def test_signature_gives_parameters_and_annotations(label):
    _, function, parameters, returned = function_named(label)
    signature = inspect.signature(function)
    assert [(p.name, p.annotation) for p in signature.parameters.values()] == parameters
    assert all(p.kind is POK and p.default is EMPTY for p in signature.parameters.values())
    assert signature.return_annotation == returned


@pytest.mark.parametrize("label", LABELS)
def test_signature_comes_from_the_code_object_and_annotations(label):
    _, function, parameters, returned = function_named(label)
    code = function.__code__
    assert code.co_varnames[:code.co_argcount] == tuple(name for name, _ in parameters)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    # Annotations edited on the function show in the next signature.
    saved = dict(function.__annotations__)
    try:
        function.__annotations__["return"] = "bytes"
        assert inspect.signature(function).return_annotation == "bytes"
    finally:
        function.__annotations__ = saved
    assert inspect.signature(function).return_annotation == returned


def test_signature_of_the_class_and_of_bound_methods():
    assert str(inspect.signature(Concept)) == \
        "(name: 'str', k1: 'float', k2: 'float', a: 'float', b: 'float') -> 'None'"
    concept = make()
    assert str(inspect.signature(concept.get_membership_degree)) == "(value: 'float') -> 'float'"
    assert str(inspect.signature(concept.__and__)) == "(value: 'typing.Self') -> 'typing.Self'"
    assert str(inspect.signature(concept.clone)) == "() -> 'typing.Self'"


def test_signature_binds_like_a_call():
    signature = inspect.signature(Concept.get_membership_degree)
    bound = signature.bind(make(), value=0.75)
    assert Concept.get_membership_degree(*bound.args, **bound.kwargs) == 0.625
    with pytest.raises(TypeError):
        signature.bind(make())


@pytest.mark.parametrize("label", LABELS)
def test_signatures_agree_with_the_plain_module(label):
    spec = importlib.util.spec_from_file_location("_introspected_plain_module", PLAIN_SOURCE)
    plain = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(plain)
    compiled = function_named(label)[1]
    reference = function_named(label, plain.LinearConcreteConcept)[1]
    assert inspect.signature(compiled) == inspect.signature(reference)


# ---------------------------------------------------------------------------------------
# Type hints


@pytest.mark.parametrize("label", LABELS)
def test_type_hints_resolve_through_globals(label):
    _, function, parameters, returned = function_named(label)
    assert function.__globals__ is vars(module)
    expected = {name: RESOLVED[text] for name, text in parameters if text is not EMPTY}
    expected["return"] = RESOLVED[returned]
    assert typing.get_type_hints(function) == expected


def test_type_hints_follow_the_module_globals(monkeypatch):
    class OtherBase:
        pass

    monkeypatch.setattr(module, "FuzzyConcreteConcept", OtherBase)
    assert typing.get_type_hints(Concept.__neg__) == {"return": OtherBase}


def test_type_hints_of_a_bound_method():
    assert typing.get_type_hints(make().get_membership_degree) == {"value": float, "return": float}


def test_unresolvable_hint_names_the_missing_global(monkeypatch):
    monkeypatch.delattr(module, "FuzzyConcreteConcept")
    with pytest.raises(NameError, match="FuzzyConcreteConcept"):
        typing.get_type_hints(Concept.__neg__)


# ---------------------------------------------------------------------------------------
# help()


def test_help_renders_the_class():
    text = pydoc.render_doc(Concept, renderer=pydoc.plaintext)
    assert f"class LinearConcreteConcept in module {MODULE_NAME}" in text
    # From 3.13 on, pydoc breaks the class's signature over lines: compare without them.
    def unwrapped(rendered):
        return re.sub(r"[\s|]", "", rendered)
    assert unwrapped("LinearConcreteConcept(name: 'str', k1: 'float', k2: 'float', a: 'float', b: 'float')") in unwrapped(text)
    assert "Method resolution order:" in text and "FuzzyConcreteConcept" in text
    for line in ("__init__(self, name: 'str', k1: 'float', k2: 'float', a: 'float', b: 'float') -> 'None'",
                 "clone(self) -> 'typing.Self'",
                 "get_membership_degree(self, value: 'float') -> 'float'",
                 "compute_name(self) -> 'str'",
                 "__neg__(self) -> 'FuzzyConcreteConcept'",
                 "__and__(self, value: 'typing.Self') -> 'typing.Self'",
                 "__or__(self, value: 'typing.Self') -> 'typing.Self'",
                 "__hash__(self) -> 'int'"):
        assert f" |  {line}" in text.splitlines(), line
    section = text.split("Data descriptors defined here:")[1].split("---")[0]
    assert [line.strip(" |") for line in section.splitlines() if line.strip(" |")] == ["a", "b"]


def test_help_through_the_helper():
    output = io.StringIO()
    pydoc.Helper(output=output)(Concept)
    assert "get_membership_degree(self, value: 'float') -> 'float'" in output.getvalue()


def test_help_renders_the_module_and_a_method():
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    assert "class LinearConcreteConcept(" in text
    method = pydoc.render_doc(Concept.clone, renderer=pydoc.plaintext)
    assert "clone(self) -> 'typing.Self'" in method


def test_html_help_renders():
    page = pydoc.html.page(pydoc.describe(Concept), pydoc.html.document(Concept, "LinearConcreteConcept"))
    assert "get_membership_degree" in page and "compute_name" in page


# ---------------------------------------------------------------------------------------
# Pickling and copying of methods


METHOD_NAMES = list(METHODS)
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_reduces_to_its_qualified_name(name):
    function = vars(Concept)[name]
    assert function.__reduce__() == f"LinearConcreteConcept.{name}"
    assert function.__reduce_ex__(pickle.HIGHEST_PROTOCOL) == f"LinearConcreteConcept.{name}"


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_pickles_by_qualified_name(name, protocol):
    function = vars(Concept)[name]
    data = pickle.dumps(function, protocol)
    assert MODULE_NAME.encode() in data
    # From protocol 4 the qualified name is stored whole; before, as a chain of getattr.
    assert (f"LinearConcreteConcept.{name}".encode() in data) == (protocol >= 4)
    assert pickle.loads(data) is function


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_copies_as_itself(name):
    function = vars(Concept)[name]
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


@pytest.mark.parametrize("label", ["a.fget", "a.fset", "b.fget", "b.fset"])
def test_property_functions_are_not_named_by_their_qualified_name(label):
    # Their qualified name, LinearConcreteConcept.a, names the property, not the function,
    # so pickle refuses them as it refuses the functions of a plain-Python property.
    function = function_named(label)[1]
    assert function.__reduce__() == f"LinearConcreteConcept.{label[0]}"
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(function)


def test_the_properties_themselves_do_not_pickle():
    with pytest.raises(TypeError):
        pickle.dumps(vars(Concept)["a"])


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_bound_method_pickles_with_its_concept(protocol):
    concept = make(a=0.4, b=0.8)
    degree = pickle.loads(pickle.dumps(concept.get_membership_degree, protocol))
    assert degree(0.7) == 0.9000000000000001
    assert type(degree.__self__) is Concept and degree.__self__ is not concept
    assert vars(degree.__self__) == vars(concept)
    assert degree.__func__ is Concept.get_membership_degree


# ---------------------------------------------------------------------------------------
# Pickling and copying of instances


def values(concept):
    return (concept.name, concept.k1, concept.k2, concept.a, concept.b)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_instance_pickles_with_its_values(protocol):
    concept = make()
    data = pickle.dumps(concept, protocol)
    restored = pickle.loads(data)
    assert type(restored) is Concept and restored is not concept
    assert vars(restored) == vars(concept) == {"name": "warm", "k1": 0.0, "k2": 10.0, "_a": 0.5, "_b": 0.25}
    assert values(restored) == values(concept)
    assert restored.compute_name() == "linear(0.0, 10.0, 0.5, 0.25)"
    assert hash(restored) == hash(concept)
    assert restored.get_membership_degree(0.75) == 0.625


def test_pickles_load_in_another_process():
    data = pickle.dumps([Concept.clone, Concept.__hash__, make(), make().get_membership_degree])
    result = run_python(textwrap.dedent(f"""
        import pickle
        from {MODULE_NAME} import LinearConcreteConcept
        clone, hash_method, concept, degree = pickle.loads({data!r})
        print(clone is LinearConcreteConcept.clone, hash_method is LinearConcreteConcept.__hash__)
        print(type(concept) is LinearConcreteConcept, concept.compute_name(), degree(0.75))
    """))
    assert result.stdout.splitlines() == ["True True", "True linear(0.0, 10.0, 0.5, 0.25) 0.625"]


def test_pickled_instance_names_the_class_by_its_module():
    assert f"c{MODULE_NAME}\nLinearConcreteConcept\n".encode() in pickle.dumps(make(), 0)


def test_unpickling_does_not_construct_again(monkeypatch):
    # The values come back as they were, without __init__ and its checks: values set
    # directly, out of range or not floats, survive.
    concept = make()
    concept._a, concept.k1, concept._b = 3, "text", 1.5
    calls = []
    monkeypatch.setattr(module.Util, "error", staticmethod(calls.append))
    restored = pickle.loads(pickle.dumps(concept))
    assert vars(restored) == vars(concept) and calls == []
    assert restored.a == 3 and type(restored.a) is int


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_subclass_instance_pickles_as_itself(protocol):
    concept = Subconcept("sub", 0, 1, 0.4, 0.8)
    concept.extra = [1, 2]
    restored = pickle.loads(pickle.dumps(concept, protocol))
    assert type(restored) is Subconcept and vars(restored) == vars(concept)


def test_shallow_copy_shares_the_values():
    concept = make(name=("warm", "room"))
    concept.tags = ["a"]
    duplicate = copy.copy(concept)
    assert type(duplicate) is Concept and duplicate is not concept
    assert vars(duplicate) == vars(concept)
    assert duplicate.tags is concept.tags and duplicate.k1 is concept.k1
    duplicate.a = 0.75
    assert concept.a == 0.5  # the copy has an instance dict of its own


def test_deep_copy_copies_the_values():
    concept = make(name=("warm", "room"))
    concept.tags = ["a"]
    duplicate = copy.deepcopy(concept)
    assert type(duplicate) is Concept and vars(duplicate) == vars(concept)
    assert duplicate.tags == concept.tags and duplicate.tags is not concept.tags
    assert hash(duplicate) == hash(concept)
    assert duplicate.compute_name() == concept.compute_name()


def test_deep_copy_of_a_combined_concept():
    warm, hot = make(), make(name="hot", a=0.75, b=0.5)
    combined = warm & -hot
    duplicate = copy.deepcopy(combined)
    assert duplicate.compute_name() == combined.compute_name()
    assert duplicate.get_membership_degree(0.6) == combined.get_membership_degree(0.6)
    assert pickle.loads(pickle.dumps(combined)).compute_name() == combined.compute_name()


def test_clone_differs_from_copy_in_what_it_runs(monkeypatch):
    # clone goes through the constructor; copy does not.
    concept = make()
    concept._b = 1.5
    calls = []
    monkeypatch.setattr(module.Util, "error", staticmethod(calls.append))
    copy.copy(concept)
    assert calls == []
    concept.clone()
    assert calls == ["Error: Linear functions require 1.5 <= 1.0"]
