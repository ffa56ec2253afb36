"""Building LinearConcreteConcept: bases, metaclass, namespace, properties, annotations."""

from __future__ import annotations

import sys

import gc
import textwrap

import pytest

from conftest import definition_line, run_python, step_line
from tolvane.ostrel.concept.concrete import linear_concrete_concept as module
from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import FuzzyConcreteConcept
from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept

MODULE = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
FUZZY = "tolvane.ostrel.concept.concrete.fuzzy_concrete_concept"
# From 3.13 on, a class body also stores its first line and, at its end, the attributes
# its methods assign through self: the compiled class does as a class statement does.
FIRST_LINE_KEYS = ["__firstlineno__"] if sys.version_info >= (3, 13) else []
NAMESPACE_KEYS = [
    "__module__", "__qualname__", *FIRST_LINE_KEYS, "__init__", "a", "b", "clone",
    "get_membership_degree", "compute_name", "__neg__", "__and__", "__or__", "__hash__",
    *(["__static_attributes__"] if FIRST_LINE_KEYS else []),
]


def with_base(setup: str, check: str = "") -> str:
    """Runs `setup` (which defines `Base`) as the fuzzy base module's content, imports the
    module, then runs `check`; returns what was printed. A failed import prints
    "type | message | init entries" instead."""
    code = f"""
import sys, types
from traceback_entries import entries
fuzzy = types.ModuleType("{FUZZY}")
sys.modules["{FUZZY}"] = fuzzy
{textwrap.dedent(setup)}
fuzzy.FuzzyConcreteConcept = Base
try:
    import {MODULE} as module
except Exception as error:
    rows = [(name, line) for name, line, _ in entries(error) if name.startswith("init ")]
    print(type(error).__name__, "|", error, "|", rows)
else:
{textwrap.indent(textwrap.dedent(check) or "pass", "    ")}
"""
    return run_python(code).stdout


def failure(kind: str, message: str, line: int) -> str:
    return f"{kind} | {message} | {[('init ' + MODULE, line)]}"


class TestOrdinaryBase:
    def test_class(self):
        assert LinearConcreteConcept.__bases__ == (FuzzyConcreteConcept,)
        assert type(LinearConcreteConcept) is type
        assert LinearConcreteConcept.__qualname__ == "LinearConcreteConcept"
        assert LinearConcreteConcept.__module__ == MODULE
        assert "__orig_bases__" not in vars(LinearConcreteConcept)
        assert "__doc__" in vars(LinearConcreteConcept) and LinearConcreteConcept.__doc__ is None
        assert "__annotations__" not in vars(LinearConcreteConcept)

    def test_namespace_order(self):
        own = [key for key in vars(LinearConcreteConcept) if key in NAMESPACE_KEYS]
        assert own == [key for key in NAMESPACE_KEYS if key != "__qualname__"]

    @pytest.mark.parametrize("name", ["a", "b"])
    def test_properties(self, name):
        prop = vars(LinearConcreteConcept)[name]
        assert type(prop) is property
        assert prop.fdel is None
        for accessor in (prop.fget, prop.fset):
            assert accessor.__name__ == name
            assert accessor.__qualname__ == f"LinearConcreteConcept.{name}"
        assert prop.fget.__code__.co_argcount == 1 and prop.fset.__code__.co_argcount == 2

    def test_only_init_holds_the_class(self):
        for key, value in vars(LinearConcreteConcept).items():
            functions = [value.fget, value.fset] if isinstance(value, property) else [value]
            for function in functions:
                if type(function).__name__ != "native_function_or_method":
                    continue
                holds = any(ref is LinearConcreteConcept for ref in gc.get_referents(function))
                assert holds == (key == "__init__"), key

    def test_globals_and_module(self):
        for key in NAMESPACE_KEYS[2:]:
            if key in ("__firstlineno__", "__static_attributes__"):
                continue
            value = vars(LinearConcreteConcept)[key]
            function = value.fget if isinstance(value, property) else value
            assert function.__globals__ is vars(module)
            assert function.__module__ == MODULE


ANNOTATIONS = {
    "__init__": {"name": "str", "k1": "float", "k2": "float", "a": "float", "b": "float", "return": "None"},
    "a.fget": {"return": "float"},
    "a.fset": {"value": "float", "return": "None"},
    "b.fget": {"return": "float"},
    "b.fset": {"value": "float", "return": "None"},
    "clone": {"return": "typing.Self"},
    "get_membership_degree": {"value": "float", "return": "float"},
    "compute_name": {"return": "str"},
    "__neg__": {"return": "FuzzyConcreteConcept"},
    "__and__": {"value": "typing.Self", "return": "typing.Self"},
    "__or__": {"value": "typing.Self", "return": "typing.Self"},
    "__hash__": {"return": "int"},
}


@pytest.mark.parametrize("path, expected", ANNOTATIONS.items(), ids=list(ANNOTATIONS))
def test_annotations(path, expected):
    name, _, accessor = path.partition(".")
    function = vars(LinearConcreteConcept)[name]
    if accessor:
        function = getattr(function, accessor)
    annotations = function.__annotations__
    assert type(annotations) is dict
    assert list(annotations.items()) == list(expected.items())


class TestMetaclassAndBases:
    def test_prepare_receives_name_and_bases_and_records_order(self):
        out = with_base(
            """
            seen = []
            class Recording(dict):
                def __setitem__(self, key, value):
                    seen.append(key)
                    super().__setitem__(key, value)
            class Meta(type):
                @classmethod
                def __prepare__(cls, name, bases):
                    seen.clear()
                    seen.append((name, [b.__name__ for b in bases]))
                    return Recording()
                def __new__(cls, name, bases, namespace):
                    cls.namespace = dict(namespace)
                    return super().__new__(cls, name, bases, dict(namespace))
            class Base(metaclass=Meta):
                type = "concrete"
                def __init__(self, name):
                    self.name = name
            """,
            """
            print(seen[0])
            print(seen[1:])
            print(type(module.LinearConcreteConcept).__name__, list(type(module.LinearConcreteConcept).namespace))
            """,
        )
        header, keys, made = out.strip().splitlines()
        assert header == "('LinearConcreteConcept', ['Base'])"
        # a and b are written twice (getter, then with the setter)
        properties = NAMESPACE_KEYS.index("a")
        assert eval(keys) == NAMESPACE_KEYS[:properties + 1] + ["a", "b", "b"] + NAMESPACE_KEYS[properties + 2:]
        assert made == "Meta " + repr(NAMESPACE_KEYS)

    def test_mro_entries_replace_a_base(self):
        out = with_base(
            """
            class Real:
                type = "concrete"
                def __init__(self, name):
                    self.name = name
            class Base:
                def __mro_entries__(self, bases):
                    return (Real,)
            Base = Base()
            """,
            """
            cls = module.LinearConcreteConcept
            print(cls.__bases__ == (module.FuzzyConcreteConcept.__mro_entries__(()),)[0:1] or cls.__bases__[0].__name__)
            print(cls.__orig_bases__ == (module.FuzzyConcreteConcept,))
            print(cls("x", 0, 1, 0.5, 0.5).name)
            """,
        )
        assert out.split() == ["Real", "True", "x"]

    def test_mro_entries_must_return_a_tuple(self):
        out = with_base(
            """
            class Base:
                def __mro_entries__(self, bases):
                    return [object]
            Base = Base()
            """
        )
        assert out.strip() == failure("TypeError", "__mro_entries__ must return a tuple", step_line("create_class"))

    def test_metaclass_conflict(self):
        out = with_base(
            """
            class MetaA(type): pass
            class MetaB(type): pass
            class A(metaclass=MetaA): pass
            class B(metaclass=MetaB): pass
            class Base:
                def __mro_entries__(self, bases):
                    return (A, B)
            Base = Base()
            """
        )
        message = ("metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                   "subclass of the metaclasses of all its bases")
        assert out.strip() == failure("TypeError", message, step_line("create_class"))

    def test_prepare_failure(self):
        out = with_base(
            """
            class Meta(type):
                @classmethod
                def __prepare__(cls, name, bases):
                    if name == "LinearConcreteConcept":
                        raise LookupError("no namespace")
                    return {}
            class Base(metaclass=Meta):
                pass
            """
        )
        assert out.strip() == failure("LookupError", "no namespace", step_line("create_class"))

    def test_metaclass_call_failure(self):
        out = with_base(
            """
            class Meta(type):
                def __new__(cls, name, bases, namespace):
                    if name == "LinearConcreteConcept":
                        raise ArithmeticError("refused")
                    return super().__new__(cls, name, bases, namespace)
            class Base(metaclass=Meta):
                pass
            """
        )
        assert out.strip() == failure("ArithmeticError", "refused", step_line("create_class"))

    @pytest.mark.parametrize(
        "key, line",
        [(key, definition_line(name)) for key, name in [
            ("__init__", "init"), ("clone", "clone"), ("get_membership_degree", "get_membership_degree"),
            ("compute_name", "compute_name"), ("__neg__", "neg"), ("__and__", "and_"), ("__or__", "or_"),
            ("__hash__", "hash")]],
    )
    def test_failure_while_defining_a_method(self, key, line):
        out = with_base(
            f"""
            class Refusing(dict):
                def __setitem__(self, key, value):
                    if key == {key!r}:
                        raise KeyError("refused")
                    super().__setitem__(key, value)
            class Meta(type):
                @classmethod
                def __prepare__(cls, name, bases):
                    return Refusing() if name == "LinearConcreteConcept" else {{}}
                def __new__(cls, name, bases, namespace):
                    return super().__new__(cls, name, bases, dict(namespace))
            class Base(metaclass=Meta):
                pass
            """
        )
        assert out.strip() == failure("KeyError", "'refused'", line)

    def test_derived_metaclass_wins(self):
        out = with_base(
            """
            class Meta(type): pass
            class Sub(Meta): pass
            class A(metaclass=Sub):
                type = "concrete"
                def __init__(self, name):
                    self.name = name
            class Base:
                def __mro_entries__(self, bases):
                    return (A, object)
            Base = Base()
            """,
            "print(type(module.LinearConcreteConcept).__name__)",
        )
        assert out.strip() == "Sub"

    def test_base_deleted_before_class_creation(self):
        # The base is bound by the import, then removed by the next import's side effect.
        out = with_base(
            """
            class Base:
                pass
            class Vanishing(types.ModuleType):
                def __getattr__(self, name):
                    if name == "Util":
                        sys.modules["{MODULE}"].__dict__.pop("FuzzyConcreteConcept", None)
                        return type("Util", (), {{}})
                    raise AttributeError(name)
            util = Vanishing("tolvane.ostrel.util.util")
            sys.modules[util.__name__] = util
            """.replace("{MODULE}", MODULE).replace("{{}}", "{}")
        )
        assert out.strip() == failure("NameError", "name 'FuzzyConcreteConcept' is not defined", step_line("create_class"))


class TestDecorators:
    def test_property_is_the_builtin_cached_at_set_up(self):
        out = with_base(
            """
            import builtins
            real = builtins.property
            class Fake(real):
                pass
            class Base:
                type = "concrete"
                def __init__(self, name):
                    self.name = name
            class Meta(type):
                @classmethod
                def __prepare__(cls, name, bases):
                    # replace the builtin once the module's set-up has cached it
                    builtins.property = Fake
                    return {"property": Fake}
            Base = Meta("Base", (Base,), {})
            """,
            """
            import builtins
            print(type(vars(module.LinearConcreteConcept)["a"]).__name__)
            builtins.property = type(vars(module.LinearConcreteConcept)["b"])
            """,
        )
        assert out.strip() == "property"

    # A base whose class namespace never hands back `a` or `b` once stored.
    FORGETFUL_BASE = """
            class Forgetful(dict):
                def __getitem__(self, key):
                    if key in ("a", "b"):
                        raise KeyError(key)
                    return super().__getitem__(key)
            class Meta(type):
                @classmethod
                def __prepare__(cls, name, bases):
                    return Forgetful()
                def __new__(cls, name, bases, namespace):
                    return super().__new__(cls, name, bases, dict(namespace))
            class Base(metaclass=Meta):
                type = "concrete"
                def __init__(self, name):
                    self.name = name
    """

    def test_setter_falls_back_to_module_global(self):
        out = with_base(self.FORGETFUL_BASE)
        # Neither the namespace nor the module globals hold `a`.
        assert out.strip() == failure("NameError", "name 'a' is not defined", definition_line("setter_a"))

    def test_setter_decorator_from_module_global(self):
        out = with_base(
            textwrap.dedent(self.FORGETFUL_BASE)
            + textwrap.dedent("""
            import builtins
            # found through the builtins, after the module globals
            builtins.a = property(lambda self: "global a")
            builtins.b = property(lambda self: "global b")
            """),
            """
            c = module.LinearConcreteConcept("x", 0, 1, 0.5, 0.25)
            prop = type(c).a
            print(prop.fget(c), prop.fset.__qualname__)
            """,
        )
        assert out.strip() == "global a LinearConcreteConcept.a"
