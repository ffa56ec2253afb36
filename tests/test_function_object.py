"""The shared function type `native_function_or_method`: type objects, attributes, life
cycle, binding and calls.

The module's own methods all use one calling shape; the test helper extension creates
functions of the same shared type with every other shape and flag, echoing what reaches
their native function: noargs -> (self,), o -> (self, arg), varargs_keywords ->
(self, args, kwargs or None), fastcall -> (self, args, kwnames or None, kwvalues),
method -> (self, defining class or None, args, kwnames or None, kwvalues).
"""

from __future__ import annotations

import asyncio
import copy
import ctypes
import gc
import importlib
import pickle
import sys
import textwrap
import types
import warnings
import weakref

import pytest

from conftest import definition_line, run_python, step_line

MODULE = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
SHARED = "_native_shared_1_0"
SOURCE = "tolvane/ostrel/concept/concrete/linear_concrete_concept.py"
DEFAULTS_WARNING = (
    "changes to native_function.__defaults__ will not currently affect the values used in "
    "function calls"
)
KWDEFAULTS_WARNING = (
    "changes to native_function.__kwdefaults__ will not currently affect the values used in "
    "function calls"
)
VECTORCALL_SHAPES = ["noargs", "o", "fastcall", "method"]
BAD_SHAPES = ["varargs", "varargs_o", "fastcall_only", "noargs_keywords"]


@pytest.fixture(scope="module")
def concept_module():
    return importlib.import_module(MODULE)


@pytest.fixture(scope="module")
def Concept(concept_module):
    return concept_module.LinearConcreteConcept


@pytest.fixture
def concept(Concept):
    return Concept("c", 0.1, 0.2, 0.5, 0.25)


@pytest.fixture
def helper(native_helper):
    return native_helper


def flags_of(helper, *names):
    return sum(getattr(helper, name) for name in names)


def native_call(callable_, args, kwargs):
    """PyObject_Call through ctypes: any dict, non-str keys included."""
    call = ctypes.pythonapi["PyObject_Call"]
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(callable_, args, kwargs)


def set_quietly(function, name, value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        setattr(function, name, value)


# The module's twelve functions: (how to reach it, name, qualified name).
MODULE_FUNCTIONS = [
    (lambda C: C.__dict__["__init__"], "__init__", "LinearConcreteConcept.__init__"),
    (lambda C: C.a.fget, "a", "LinearConcreteConcept.a"),
    (lambda C: C.a.fset, "a", "LinearConcreteConcept.a"),
    (lambda C: C.b.fget, "b", "LinearConcreteConcept.b"),
    (lambda C: C.b.fset, "b", "LinearConcreteConcept.b"),
    (lambda C: C.__dict__["clone"], "clone", "LinearConcreteConcept.clone"),
    (lambda C: C.__dict__["get_membership_degree"], "get_membership_degree",
     "LinearConcreteConcept.get_membership_degree"),
    (lambda C: C.__dict__["compute_name"], "compute_name", "LinearConcreteConcept.compute_name"),
    (lambda C: C.__dict__["__neg__"], "__neg__", "LinearConcreteConcept.__neg__"),
    (lambda C: C.__dict__["__and__"], "__and__", "LinearConcreteConcept.__and__"),
    (lambda C: C.__dict__["__or__"], "__or__", "LinearConcreteConcept.__or__"),
    (lambda C: C.__dict__["__hash__"], "__hash__", "LinearConcreteConcept.__hash__"),
]


class TestTypeObjects:
    def test_names_and_metatype(self, Concept):
        function_type = type(Concept.clone)
        assert function_type.__name__ == "native_function_or_method"
        assert function_type.__qualname__ == "native_function_or_method"
        assert function_type.__module__ == SHARED
        metatype = type(function_type)
        assert metatype.__name__ == "_common_types_metatype"
        assert repr(metatype) == f"<class '{SHARED}._common_types_metatype'>"
        assert metatype.__bases__ == (type,)
        assert function_type.__bases__ == (object,)

    def test_registered_in_the_shared_module(self, helper):
        metatype, function_type = helper.shared_types()
        shared = sys.modules[SHARED]
        assert isinstance(shared, types.ModuleType)
        assert shared.native_function_or_method is function_type
        assert shared._common_types_metatype is metatype
        assert type(function_type) is metatype

    def test_module_and_helper_share_the_very_same_types(self, helper, Concept):
        metatype, function_type = helper.shared_types()
        assert type(Concept.clone) is function_type
        assert type(helper.shape_fastcall) is function_type
        assert type(type(Concept.clone)) is metatype

    def test_layout(self, helper):
        metatype, function_type = helper.shared_types()
        assert function_type.__basicsize__ == helper.record_size
        assert function_type.__itemsize__ == 0
        assert metatype.__basicsize__ == type.__basicsize__
        assert function_type.__dictoffset__ == helper.record_offsets["__dictoffset__"]
        assert function_type.__weakrefoffset__ == helper.record_offsets["__weaklistoffset__"]

    @pytest.mark.parametrize("bit, on_metatype", [
        (1 << 7, True),    # disallow instantiation
        (1 << 8, True),    # immutable
        (1 << 10, False),  # base type
        (1 << 11, False),  # vectorcall
        (1 << 14, False),  # garbage collected
        (1 << 17, False),  # method descriptor
    ])
    def test_flags(self, helper, bit, on_metatype):
        metatype, function_type = helper.shared_types()
        assert function_type.__flags__ & bit
        if on_metatype:
            assert metatype.__flags__ & bit

    def test_function_type_cannot_be_instantiated(self, helper):
        _, function_type = helper.shared_types()
        with pytest.raises(TypeError, match=f"cannot create '{SHARED}.native_function_or_method' instances"):
            function_type()

    def test_metatype_cannot_be_instantiated(self, helper):
        metatype, function_type = helper.shared_types()
        with pytest.raises(TypeError, match=f"cannot create '{SHARED}._common_types_metatype' instances"):
            metatype("X", (), {})
        # A subclass would need the metatype to make it, whichever way it is asked.
        message = f"cannot create '{SHARED}._common_types_metatype' instances"
        with pytest.raises(TypeError, match=message):
            type("Sub", (function_type,), {})
        with pytest.raises(TypeError, match=message):
            class Sub(function_type):
                pass

    def test_types_are_immutable(self, helper):
        metatype, function_type = helper.shared_types()
        for shared_type in (metatype, function_type):
            with pytest.raises(TypeError):
                shared_type.extra = 1

    def test_identity_comparison_and_hash(self, helper):
        first, second = helper.make_function("fastcall"), helper.make_function("fastcall")
        assert first == first and first != second
        assert hash(first) == object.__hash__(first)

    def test_tracked_and_weakly_referenceable(self, helper):
        function = helper.make_function("fastcall")
        assert gc.is_tracked(function)
        called = []
        reference = weakref.ref(function, called.append)
        assert reference() is function
        del function
        assert reference() is None
        assert called == [reference]


class TestModuleFunctionAttributes:
    @pytest.mark.parametrize("reach, name, qualname", MODULE_FUNCTIONS)
    def test_names(self, Concept, reach, name, qualname):
        function = reach(Concept)
        assert type(function) is type(Concept.clone)
        assert function.__name__ == name
        assert function.__qualname__ == qualname
        assert function.__module__ == MODULE

    def test_clone(self, Concept, concept_module):
        clone = Concept.clone
        assert clone.__doc__ is None
        assert clone.__defaults__ is None
        assert clone.__kwdefaults__ is None
        assert clone.__closure__ is None
        assert clone._is_coroutine is False
        assert clone.__globals__ is concept_module.__dict__
        assert clone.func_globals is concept_module.__dict__
        assert clone.func_name == "clone"

    def test_repr_uses_the_qualified_name(self, Concept):
        clone = Concept.clone
        assert repr(clone) == f"<native function LinearConcreteConcept.clone at {hex(id(clone))}>"

    def test_renaming_changes_the_name_but_not_the_repr(self, Concept):
        clone = Concept.clone
        before = repr(clone)
        with pytest.raises(TypeError, match="^__name__ must be set to a string object$"):
            clone.__name__ = 5
        assert clone.__name__ == "clone"
        try:
            clone.__name__ = "copy"
            assert clone.__name__ == "copy"
            assert repr(clone) == before
        finally:
            clone.__name__ = "clone"

    def test_defaults_do_not_reach_calls(self, Concept, concept):
        function = Concept.get_membership_degree
        with pytest.warns(RuntimeWarning, match=DEFAULTS_WARNING):
            function.__defaults__ = (1,)
        try:
            assert function.__defaults__ == (1,)
            with pytest.raises(TypeError, match=r"^get_membership_degree\(\) takes exactly 2 "
                                                r"positional arguments \(1 given\)$"):
                concept.get_membership_degree()
        finally:
            set_quietly(function, "__defaults__", None)

    def test_pickled_by_qualified_name(self, Concept):
        assert Concept.clone.__reduce__() == "LinearConcreteConcept.clone"
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(Concept.clone, protocol)) is Concept.clone


class TestCodeObjects:
    # (function, argument count, varnames, first line)
    CODES = [
        (lambda C: C.__dict__["__init__"], 6, ("self", "name", "k1", "k2", "a", "b"), definition_line("init")),
        (lambda C: C.a.fget, 1, ("self",), definition_line("getter_a")),
        (lambda C: C.a.fset, 2, ("self", "value"), definition_line("setter_a")),
        (lambda C: C.b.fget, 1, ("self",), definition_line("getter_b")),
        (lambda C: C.b.fset, 2, ("self", "value"), definition_line("setter_b")),
        (lambda C: C.__dict__["clone"], 1, ("self",), definition_line("clone")),
        (lambda C: C.__dict__["get_membership_degree"], 2, ("self", "value"), definition_line("get_membership_degree")),
        (lambda C: C.__dict__["compute_name"], 1, ("self",), definition_line("compute_name")),
        (lambda C: C.__dict__["__neg__"], 1, ("self",), definition_line("neg")),
        (lambda C: C.__dict__["__and__"], 2, ("self", "value"), definition_line("and_")),
        (lambda C: C.__dict__["__or__"], 2, ("self", "value"), definition_line("or_")),
        (lambda C: C.__dict__["__hash__"], 1, ("self",), definition_line("hash")),
    ]

    @pytest.mark.parametrize("reach, argcount, varnames, first_line", CODES)
    def test_fields(self, Concept, reach, argcount, varnames, first_line):
        function = reach(Concept)
        code = function.__code__
        assert function.func_code is code
        assert code.co_argcount == argcount
        assert code.co_posonlyargcount == 0
        assert code.co_kwonlyargcount == 0
        assert code.co_varnames == varnames
        assert code.co_firstlineno == first_line
        assert code.co_flags == 3
        assert code.co_filename == SOURCE
        assert code.co_name == function.__name__
        assert code.co_qualname == code.co_name

    # A getter's code names its `def`, its docstring's first line and its one statement.
    @pytest.mark.parametrize("prop, lines", [
        (prop, {definition_line(f"getter_{prop}"), definition_line(f"getter_{prop}") + 1,
                step_line(f"get_{prop}_reads_stored")}) for prop in ("a", "b")])
    def test_getter_lines(self, Concept, prop, lines):
        code = getattr(Concept, prop).fget.__code__
        assert {line for _, _, line in code.co_lines() if line is not None} == lines

    def test_running_the_code_raises(self):
        """The instructions describe the methods only: run, they raise as CPython's own
        empty code objects do, and they are as long as the location table says."""
        output = run_python(textwrap.dedent(f"""
            import dis, io, types
            from {MODULE} import LinearConcreteConcept as C
            functions = [f for f in vars(C).values() if hasattr(f, "__code__")]
            functions += [C.a.fget, C.a.fset, C.b.fget, C.b.fset]
            for function in functions:
                code = function.__code__
                assert len(list(code.co_positions())) == len(code.co_code) // 2
                text = io.StringIO()
                dis.dis(code, file=text)
                assert "RAISE_VARARGS" in text.getvalue()
                try:
                    types.FunctionType(code, {{}})(*range(code.co_argcount))
                except AssertionError:
                    pass
                else:
                    raise SystemExit(f"{{code.co_name}} ran without raising")
                try:
                    exec(code, {{}})
                except TypeError as error:
                    assert "missing" in str(error), error
            print(len(functions))
            """)).stdout.strip()
        assert output == "12"

    def test_code_is_read_only(self, Concept):
        with pytest.raises(AttributeError):
            Concept.clone.__code__ = Concept.__neg__.__code__


class TestHelperAttributes:
    def test_name_is_interned_and_kept(self, helper):
        function = helper.make_function("fastcall")
        assert function.__name__ == "shape_fastcall"
        assert function.__name__ is sys.intern("shape_fastcall")
        assert function.__name__ is function.func_name

    @pytest.mark.parametrize("attribute", ["__name__", "func_name", "__qualname__"])
    @pytest.mark.parametrize("value", [5, None, b"bytes"])
    def test_names_accept_only_str(self, helper, attribute, value):
        function = helper.make_function("fastcall")
        before = getattr(function, attribute)
        message = "__qualname__" if attribute == "__qualname__" else "__name__"
        with pytest.raises(TypeError, match=f"^{message} must be set to a string object$"):
            setattr(function, attribute, value)
        assert getattr(function, attribute) == before

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
    def test_names_cannot_be_deleted(self, helper, attribute):
        function = helper.make_function("fastcall")
        with pytest.raises(TypeError, match="must be set to a string object"):
            delattr(function, attribute)
        assert getattr(function, attribute) == "shape_fastcall"

    def test_str_subclass_names(self, helper):
        class Text(str):
            pass

        function = helper.make_function("fastcall")
        name, qualname = Text("renamed"), Text("Outer.renamed")
        function.__name__ = name
        function.__qualname__ = qualname
        assert function.__name__ is name
        assert function.__qualname__ is qualname
        assert repr(function) == f"<native function Outer.renamed at {hex(id(function))}>"

    def test_renamed_function_reports_its_definition_name(self, helper):
        function = helper.make_function("noargs")
        function.__name__ = "renamed"
        function.__qualname__ = "Outer.renamed"
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no arguments \(1 given\)$"):
            function(1)

    def test_qualified_name_given_at_creation(self, helper):
        function = helper.make_function("fastcall", qualname="Holder.method")
        assert function.__qualname__ == "Holder.method"
        assert function.__name__ == "shape_fastcall"
        assert repr(function) == f"<native function Holder.method at {hex(id(function))}>"

    def test_doc(self, helper):
        documented = helper.make_function("documented")
        assert documented.__doc__ == "Echoes what reaches it."
        assert documented.__doc__ is documented.func_doc
        plain = helper.make_function("fastcall")
        assert plain.__doc__ is None
        plain.__doc__ = 5
        assert plain.__doc__ == 5
        del plain.__doc__
        assert plain.__doc__ is None
        del documented.__doc__  # stores None rather than falling back to the definition
        assert documented.__doc__ is None

    def test_module_member(self, helper):
        function = helper.make_function("fastcall")
        assert function.__module__ == helper.__name__
        function.__module__ = 5
        assert function.__module__ == 5
        del function.__module__
        assert function.__module__ is None
        function.__module__ = "elsewhere"
        assert function.__module__ == "elsewhere"

    def test_globals_are_the_helper_module_dict(self, helper):
        function = helper.make_function("fastcall")
        assert function.__globals__ is vars(helper)

    @pytest.mark.parametrize("attribute", [
        "__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code",
        "_is_coroutine", "__vectorcalloffset__",
    ])
    def test_read_only(self, helper, attribute):
        function = helper.make_function("fastcall")
        with pytest.raises(AttributeError):
            setattr(function, attribute, None)
        with pytest.raises(AttributeError):
            delattr(function, attribute)

    def test_code(self, helper):
        assert helper.make_function("fastcall").__code__ is None
        code = compile("pass", "<code>", "exec")
        function = helper.make_function("fastcall", code=code)
        assert function.__code__ is code

    def test_closure_is_always_none(self, helper):
        assert helper.make_function("fastcall").__closure__ is None


class TestDefaults:
    @pytest.mark.parametrize("attribute", ["__defaults__", "func_defaults"])
    def test_set_tuple_warns_and_stores(self, helper, attribute):
        function = helper.make_function("fastcall")
        assert getattr(function, attribute) is None
        value = (1,)
        with pytest.warns(RuntimeWarning) as record:
            setattr(function, attribute, value)
        assert [str(w.message) for w in record] == [DEFAULTS_WARNING]
        assert function.__defaults__ is value
        assert function(2) == (function, (2,), None, ())

    def test_tuple_subclass_none_and_deletion(self, helper):
        class Pair(tuple):
            pass

        function = helper.make_function("fastcall")
        value = Pair((1, 2))
        with pytest.warns(RuntimeWarning, match=DEFAULTS_WARNING):
            function.__defaults__ = value
        assert function.__defaults__ is value
        with pytest.warns(RuntimeWarning, match=DEFAULTS_WARNING):
            del function.__defaults__
        assert function.__defaults__ is None
        set_quietly(function, "__defaults__", (3,))
        with pytest.warns(RuntimeWarning, match=DEFAULTS_WARNING):
            function.__defaults__ = None
        assert function.__defaults__ is None

    @pytest.mark.parametrize("value", [[1], 1, {}])
    def test_non_tuple_rejected_without_warning(self, helper, value):
        function = helper.make_function("fastcall")
        set_quietly(function, "__defaults__", (1,))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
                function.__defaults__ = value
        assert function.__defaults__ == (1,)

    def test_warning_turned_into_error_leaves_the_field(self, helper):
        function = helper.make_function("fastcall")
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            with pytest.raises(RuntimeWarning, match=DEFAULTS_WARNING):
                function.__defaults__ = (1,)
            with pytest.raises(RuntimeWarning, match=KWDEFAULTS_WARNING):
                function.__kwdefaults__ = {"a": 1}
        assert function.__defaults__ is None
        assert function.__kwdefaults__ is None

    def test_warning_points_at_the_caller(self, helper):
        function = helper.make_function("fastcall")
        with pytest.warns(RuntimeWarning) as record:
            function.__defaults__ = (1,)
        assert record[0].filename == __file__

    def test_kwdefaults(self, helper):
        class Mapping(dict):
            pass

        function = helper.make_function("fastcall")
        assert function.__kwdefaults__ is None
        value = Mapping(a=1)
        with pytest.warns(RuntimeWarning) as record:
            function.__kwdefaults__ = value
        assert [str(w.message) for w in record] == [KWDEFAULTS_WARNING]
        assert function.__kwdefaults__ is value
        with pytest.warns(RuntimeWarning, match=KWDEFAULTS_WARNING):
            del function.__kwdefaults__
        assert function.__kwdefaults__ is None
        with pytest.raises(TypeError, match="^__kwdefaults__ must be set to a dict object$"):
            function.__kwdefaults__ = (1,)
        assert function.__kwdefaults__ is None

    def test_provider_fills_both_once(self, helper):
        function = helper.make_function("fastcall")
        helper.set_defaults_provider(function)
        assert function.__defaults__ == (1, 2)
        assert function.__kwdefaults__ == {"k": 3}
        assert function.__defaults__ is function.__defaults__
        assert function.__kwdefaults__ is function.__kwdefaults__
        assert helper.defaults_provider_calls() == 1

    def test_provider_on_kwdefaults_first(self, helper):
        function = helper.make_function("fastcall")
        helper.set_defaults_provider(function)
        assert function.__kwdefaults__ == {"k": 3}
        assert function.__defaults__ == (1, 2)
        assert helper.defaults_provider_calls() == 1

    def test_failing_provider_is_asked_again(self, helper):
        function = helper.make_function("fastcall")
        helper.set_defaults_provider(function, True)
        with pytest.raises(ValueError, match="no defaults today"):
            function.__defaults__
        with pytest.raises(ValueError, match="no defaults today"):
            function.__kwdefaults__
        assert helper.defaults_provider_calls() == 2


class TestAnnotations:
    def test_created_empty_once(self, helper):
        function = helper.make_function("fastcall")
        annotations = function.__annotations__
        assert annotations == {}
        assert function.__annotations__ is annotations

    @pytest.mark.parametrize("remove", [
        lambda f: delattr(f, "__annotations__"),
        lambda f: setattr(f, "__annotations__", None),
    ])
    def test_removal_gives_a_new_empty_dict(self, helper, remove):
        function = helper.make_function("fastcall")
        old = function.__annotations__
        old["x"] = "int"
        remove(function)
        new = function.__annotations__
        assert new == {} and new is not old

    def test_dict_and_subclass_stored(self, helper):
        class Mapping(dict):
            pass

        function = helper.make_function("fastcall")
        for value in ({"return": "int"}, Mapping(x="str")):
            function.__annotations__ = value
            assert function.__annotations__ is value

    @pytest.mark.parametrize("value", [[], (), 1, "x"])
    def test_non_dict_rejected(self, helper, value):
        function = helper.make_function("fastcall")
        kept = {"a": "b"}
        function.__annotations__ = kept
        with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
            function.__annotations__ = value
        assert function.__annotations__ is kept

    def test_module_annotations_are_dicts_of_text(self, Concept):
        assert Concept.clone.__annotations__ == {"return": "typing.Self"}


class TestInstanceDict:
    def test_attributes_live_in_the_dict(self, helper):
        function = helper.make_function("fastcall")
        assert function.__dict__ == {}
        function.marker = 1
        assert function.__dict__ == {"marker": 1}
        assert function.func_dict is function.__dict__

    def test_replace_the_dict(self, helper):
        function = helper.make_function("fastcall")
        replacement = {"marker": 2}
        function.__dict__ = replacement
        assert function.marker == 2
        assert function.__dict__ is replacement
        with pytest.raises(TypeError):
            function.__dict__ = 5


class TestIsCoroutine:
    def test_plain_function(self, helper):
        function = helper.make_function("fastcall")
        assert function._is_coroutine is False
        assert not asyncio.iscoroutinefunction(function)

    def test_coroutine_flag(self, helper):
        import asyncio.coroutines

        function = helper.make_function("fastcall", helper.COROUTINE_FLAG)
        assert function._is_coroutine is asyncio.coroutines._is_coroutine
        assert asyncio.iscoroutinefunction(function)

    def test_value_is_kept(self, helper, monkeypatch):
        import asyncio.coroutines

        function = helper.make_function("fastcall", helper.COROUTINE_FLAG)
        first = function._is_coroutine
        monkeypatch.setattr(asyncio.coroutines, "_is_coroutine", object())
        assert function._is_coroutine is first

    @pytest.mark.parametrize("replacement", [None, types.ModuleType("asyncio.coroutines")])
    def test_unavailable_marker_gives_true(self, helper, monkeypatch, replacement):
        # None in sys.modules makes the import fail; an empty module lacks the attribute.
        monkeypatch.setitem(sys.modules, "asyncio.coroutines", replacement)
        function = helper.make_function("fastcall", helper.COROUTINE_FLAG)
        assert function._is_coroutine is True


class TestReprAndPickling:
    def test_repr(self, helper):
        function = helper.make_function("fastcall")
        assert repr(function) == f"<native function shape_fastcall at {hex(id(function))}>"

    def test_reduce_ignores_arguments(self, helper):
        function = helper.make_function("fastcall", qualname="A.b")
        assert function.__reduce__() == "A.b"
        assert function.__reduce__(1, 2) == "A.b"
        assert function.__reduce_ex__(2) == "A.b"
        with pytest.raises(TypeError):
            function.__reduce__(key=1)

    def test_pickle_and_copy_keep_identity(self, helper):
        function = helper.shape_fastcall
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function


class TestBinding:
    def test_through_the_class_and_an_instance(self, Concept, concept):
        function = Concept.__dict__["clone"]
        assert function.__get__(None, Concept) is function
        assert Concept.clone is function
        bound = function.__get__(concept, Concept)
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is concept
        assert bound.__func__ is function
        assert concept.clone.__self__ is concept

    def test_clone_through_class_and_instance(self, Concept, concept):
        for copy_ in (Concept.clone(concept), concept.clone()):
            assert type(copy_) is Concept
            assert copy_ is not concept
            assert copy_.compute_name() == concept.compute_name()

    def test_instance_reaches_the_function_as_first_argument(self, helper):
        function = helper.make_function("fastcall")
        holder = type("Holder", (), {"method": function})
        instance = holder()
        assert holder.method is function
        assert instance.method(1, k=2) == (function, (instance, 1), ("k",), (2,))
        bound = instance.method
        assert bound.__self__ is instance and bound.__func__ is function
        assert bound(3) == (function, (instance, 3), None, ())

    def test_native_method_takes_the_instance_as_self(self, helper):
        function = helper.make_function("fastcall", helper.NATIVE_METHOD_FLAG)
        instance = type("Holder", (), {"method": function})()
        assert instance.method(1) == (instance, (1,), None, ())

    def test_get_without_owner(self, helper):
        function = helper.make_function("fastcall")
        instance = object()
        bound = function.__get__(instance)
        assert bound.__self__ is instance
        with pytest.raises(TypeError):
            function.__get__(None, None)


class TestVectorcallEntries:
    def test_noargs(self, helper):
        function = helper.make_function("noargs")
        assert function() == (function,)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no arguments \(1 given\)$"):
            function(1)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no arguments \(2 given\)$"):
            function(1, 2)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no keyword arguments$"):
            function(1, a=1)

    def test_one_arg(self, helper):
        function = helper.make_function("o")
        assert function(7) == (function, 7)
        for args in ((), (1, 2)):
            with pytest.raises(TypeError, match=rf"^shape_o\(\) takes exactly one argument "
                                                rf"\({len(args)} given\)$"):
                function(*args)
        with pytest.raises(TypeError, match=r"^shape_o\(\) takes no keyword arguments$"):
            function(x=1)

    def test_fastcall(self, helper):
        function = helper.make_function("fastcall")
        assert function() == (function, (), None, ())
        assert function(1, 2, b=3, a=4) == (function, (1, 2), ("b", "a"), (3, 4))

    def test_method_passes_the_defining_class(self, helper):
        function = helper.make_function("method")
        assert function(1, k=2) == (function, None, (1,), ("k",), (2,))
        defining = type("Defining", (), {})
        helper.set_defining_class(function, defining)
        assert function(1) == (function, defining, (1,), None, ())

    @pytest.mark.parametrize("shape, args, expected", [
        ("noargs", ("s",), ("s",)),
        ("o", ("s", 1), ("s", 1)),
        ("fastcall", ("s", 1), ("s", (1,), None, ())),
        ("method", ("s", 1), ("s", None, (1,), None, ())),
    ])
    def test_native_method_takes_self_from_the_arguments(self, helper, shape, args, expected):
        function = helper.make_function(shape, helper.NATIVE_METHOD_FLAG)
        assert function(*args) == expected

    @pytest.mark.parametrize("shape", VECTORCALL_SHAPES)
    def test_native_method_without_arguments(self, helper, shape):
        function = helper.make_function(shape, helper.NATIVE_METHOD_FLAG)
        message = rf"^shape_{shape}\(\) needs an argument$"
        with pytest.raises(TypeError, match=message):
            function()
        with pytest.raises(TypeError, match=message):  # checked before the keywords
            function(k=1)

    def test_native_method_counts_after_removing_self(self, helper):
        noargs = helper.make_function("noargs", helper.NATIVE_METHOD_FLAG)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no arguments \(1 given\)$"):
            noargs("s", 1)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no keyword arguments$"):
            noargs("s", k=1)
        one = helper.make_function("o", helper.NATIVE_METHOD_FLAG)
        with pytest.raises(TypeError, match=r"^shape_o\(\) takes exactly one argument \(0 given\)$"):
            one("s")

    @pytest.mark.parametrize("shape, expected", [
        ("noargs", lambda f: (f,)),
        ("o", lambda f: (f, 1)),
        ("fastcall", lambda f: (f, (1,), None, ())),
        ("method", lambda f: (f, None, (1,), None, ())),
    ])
    def test_static_flag_overrides_native(self, helper, shape, expected):
        flags = flags_of(helper, "NATIVE_METHOD_FLAG", "STATIC_METHOD_FLAG")
        function = helper.make_function(shape, flags)
        args = () if shape == "noargs" else (1,)
        assert function(*args) == expected(function)

    @pytest.mark.parametrize("shape, values", [
        ("noargs", ()), ("o", (1,)), ("fastcall", (1, 2)), ("method", (1, 2)),
    ])
    @pytest.mark.parametrize("native", [False, True])
    def test_offset_flag_is_cleared_and_slot_untouched(self, helper, shape, values, native):
        flags = helper.NATIVE_METHOD_FLAG if native else 0
        function = helper.make_function(shape, flags)
        if native:
            values = ("s",) + values
        direct = function(*values)
        assert helper.vectorcall(function, values, None, True) == (direct, True)
        assert helper.vectorcall(function, values, None, False) == (direct, True)

    @pytest.mark.parametrize("shape, values", [("noargs", ()), ("o", (1,))])
    def test_empty_keyword_names_are_no_keywords(self, helper, shape, values):
        function = helper.make_function(shape)
        result, _ = helper.vectorcall(function, values, ())
        assert result == function(*values)

    def test_keyword_names_pass_through_unchanged(self, helper):
        function = helper.make_function("fastcall")
        names = ("b", "a")
        result, _ = helper.vectorcall(function, (1, 2, 3), names)
        assert result == (function, (1,), names, (2, 3))
        assert result[2] is names
        empty = ()
        assert helper.vectorcall(function, (1,), empty)[0][2] is empty

    def test_messages_truncate_the_name(self, helper):
        function = helper.make_function("long_name")
        name = function.__name__
        assert len(name) > 200
        with pytest.raises(TypeError) as error:
            function(1)
        assert str(error.value) == name[:200] + "() takes no arguments (1 given)"

    def test_unrelated_definition_flags_are_ignored(self, helper):
        function = helper.make_function("fastcall_coexist")
        assert function(1) == (function, (1,), None, ())

    @pytest.mark.parametrize("shape", BAD_SHAPES)
    def test_bad_flags(self, helper, shape):
        with pytest.raises(SystemError, match="^Bad call flags for NativeFunction$"):
            helper.make_function(shape)

    def test_bad_function_hook(self, helper):
        with pytest.raises(SystemError, match="^Bad call flags for NativeFunction$"):
            helper.make_bad_function()

    @pytest.mark.parametrize("shape", VECTORCALL_SHAPES + ["varargs_keywords"])
    @pytest.mark.parametrize("native", [False, True])
    def test_no_references_leak(self, helper, shape, native):
        function = helper.make_function(shape, helper.NATIVE_METHOD_FLAG if native else 0)
        argument = object()
        good = ((argument,) if native else ()) + (() if shape == "noargs" else (argument,))
        before = sys.getrefcount(argument)
        for _ in range(50):
            function(*good)
            if shape in ("noargs", "o"):
                with pytest.raises(TypeError):
                    function(argument, argument, argument)
                with pytest.raises(TypeError):
                    function(argument, key=argument)
        assert sys.getrefcount(argument) == before


class TestTupleCalls:
    """tp_call, reached through the helper's hook or the interpreter's PyObject_Call."""

    def test_without_or_with_empty_dict(self, helper):
        function = helper.make_function("fastcall")
        expected = (function, (1, 2), None, ())
        assert helper.tp_call(function, (1, 2)) == expected
        assert helper.tp_call(function, (1, 2), {}) == expected
        assert native_call(function, (1, 2), {}) == expected

    @pytest.mark.parametrize("shape, args", [("noargs", ()), ("o", (5,)), ("method", (1,))])
    def test_empty_dict_behaves_as_none(self, helper, shape, args):
        function = helper.make_function(shape)
        assert helper.tp_call(function, args, {}) == helper.tp_call(function, args) == function(*args)

    def test_keywords_follow_the_dict_order(self, helper):
        function = helper.make_function("fastcall")
        result = helper.tp_call(function, (1,), {"b": 2, "a": 3})
        assert result == (function, (1,), ("b", "a"), (2, 3))

    # Argument vectors that fit the call's small buffer, fill it, or outgrow it.
    @pytest.mark.parametrize("positional_count, keyword_count", [(0, 1), (3, 5), (4, 5), (10, 30)])
    def test_any_number_of_keywords(self, helper, positional_count, keyword_count):
        function = helper.make_function("fastcall")
        value = object()
        args = tuple(range(positional_count))
        keywords = {f"k{i}": value for i in range(keyword_count)}
        before = sys.getrefcount(value)
        result = helper.tp_call(function, args, keywords)
        assert result == (function, args, tuple(keywords), (value,) * keyword_count)
        del result
        assert sys.getrefcount(value) == before

    def test_str_subclass_keys_are_accepted(self, helper):
        class Key(str):
            pass

        key = Key("k")
        function = helper.make_function("fastcall")
        result = helper.tp_call(function, (), {key: 1})
        assert result == (function, (), ("k",), (1,))
        assert result[2][0] is key

    def test_keywords_reach_an_entry_that_refuses_them(self, helper):
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no keyword arguments$"):
            helper.tp_call(helper.make_function("noargs"), (), {"a": 1})

    @pytest.mark.parametrize("key", [1, None, b"k", ("k",)])
    def test_non_str_key_fails_before_the_call(self, helper, key):
        function = helper.make_function("fastcall")  # would return, never raise, if called
        value = object()
        before = sys.getrefcount(value)
        for _ in range(20):
            with pytest.raises(TypeError, match="^keywords must be strings$"):
                helper.tp_call(function, (1,), {"a": value, key: value})
        assert sys.getrefcount(value) == before

    def test_non_str_key_through_pyobject_call(self, helper):
        with pytest.raises(TypeError, match="^keywords must be strings$"):
            native_call(helper.make_function("fastcall"), (1,), {1: 2})

    def test_keyword_values_are_released(self, helper):
        function = helper.make_function("method")
        value, positional = object(), object()
        before = (sys.getrefcount(value), sys.getrefcount(positional))
        for _ in range(50):
            helper.tp_call(function, (positional,), {"v": value, "w": value})
        assert (sys.getrefcount(value), sys.getrefcount(positional)) == before

    def test_native_method_with_keyword_dict(self, helper):
        function = helper.make_function("fastcall", helper.NATIVE_METHOD_FLAG)
        assert helper.tp_call(function, ("s", 1), {"k": 2}) == ("s", (1,), ("k",), (2,))
        with pytest.raises(TypeError, match=r"^shape_fastcall\(\) needs an argument$"):
            helper.tp_call(function, (), {"k": 2})


class TestTupleDispatch:
    """Functions without a call entry: the tuple dispatch by the definition's flags."""

    def test_varargs_keywords_gets_the_dict_itself(self, helper):
        function = helper.make_function("varargs_keywords")
        assert function(1, a=2) == (function, (1,), {"a": 2})
        assert function() == (function, (), None)
        keywords = {"a": 1}
        assert helper.tp_call(function, (1,), keywords)[2] is keywords
        # The dispatch passes any dict on: checking keys is the native function's business.
        assert native_call(function, (), {1: 2}) == (function, (), {1: 2})

    def test_varargs_keywords_native_method(self, helper):
        function = helper.make_function("varargs_keywords", helper.NATIVE_METHOD_FLAG)
        assert function("s", 1, k=2) == ("s", (1,), {"k": 2})
        message = r"^unbound method shape_varargs_keywords\(\) needs an argument$"
        with pytest.raises(TypeError, match=message):
            function()
        with pytest.raises(TypeError, match=message):
            function(k=1)
        function.__qualname__ = "Holder.method"
        with pytest.raises(TypeError, match=r"^unbound method Holder.method\(\) needs an argument$"):
            function()

    def test_varargs(self, helper):
        function = helper.make_tuple_call_function("varargs")
        assert function(1, 2) == (function, (1, 2))
        assert helper.tp_call(function, (1,), {}) == (function, (1,))
        with pytest.raises(TypeError, match=r"^shape_varargs\(\) takes no keyword arguments$"):
            function(a=1)

    def test_noargs(self, helper):
        function = helper.make_tuple_call_function("noargs")
        assert function() == (function,)
        assert helper.tp_call(function, (), {}) == (function,)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no arguments \(2 given\)$"):
            function(1, 2)
        with pytest.raises(TypeError, match=r"^shape_noargs\(\) takes no keyword arguments$"):
            function(1, a=1)  # keywords are checked first

    def test_one_arg(self, helper):
        function = helper.make_tuple_call_function("o")
        assert function(3) == (function, 3)
        for args in ((), (1, 2)):
            with pytest.raises(TypeError, match=rf"^shape_o\(\) takes exactly one argument "
                                                rf"\({len(args)} given\)$"):
                function(*args)
        with pytest.raises(TypeError, match=r"^shape_o\(\) takes no keyword arguments$"):
            function(1, a=1)

    def test_native_method_splits_self_off(self, helper):
        function = helper.make_tuple_call_function("o", helper.NATIVE_METHOD_FLAG)
        assert function("s", 3) == ("s", 3)
        with pytest.raises(TypeError, match=r"^shape_o\(\) takes exactly one argument \(0 given\)$"):
            function("s")
        with pytest.raises(TypeError, match=r"^unbound method shape_o\(\) needs an argument$"):
            function()

    @pytest.mark.parametrize("shape", ["fastcall", "method", "varargs_o", "noargs_keywords"])
    def test_other_flags(self, helper, shape):
        function = helper.make_tuple_call_function(shape)
        with pytest.raises(SystemError, match="^Bad call flags for NativeFunction$"):
            function()


class TestModuleFunctionCalls:
    def test_keywords_through_a_bound_method(self, concept):
        assert concept.get_membership_degree(value=0.25) == concept.get_membership_degree(0.25)

    def test_self_by_keyword_through_the_class(self, Concept, concept):
        assert Concept.compute_name(self=concept) == concept.compute_name()

    def test_arguments_count_self(self, Concept, concept):
        message = r"^clone\(\) takes exactly 1 positional argument \(2 given\)$"
        with pytest.raises(TypeError, match=message):
            Concept.clone(concept, 1)
        with pytest.raises(TypeError, match=message):
            concept.clone(1)

    def test_tuple_call_with_keyword_dict(self, Concept, concept):
        result = native_call(Concept.__and__, (concept,), {"value": 2})
        assert result.operands == (concept, 2)

    def test_tuple_call_through_tp_call(self, helper, Concept, concept):
        result = helper.tp_call(Concept.__and__, (concept,), {"value": 2})
        assert result.operands == (concept, 2)

    def test_tuple_call_with_empty_dict(self, Concept, concept):
        other = object()
        assert native_call(Concept.__or__, (concept, other), {}).operands == (concept, other)

    def test_non_str_key_fails_before_the_wrapper(self, helper, Concept, concept, monkeypatch,
                                                  concept_module):
        calls = []
        recorder = type("Recorder", (), {"and_": staticmethod(lambda *a: calls.append(a))})
        monkeypatch.setattr(concept_module, "OperatorConcept", recorder)
        with pytest.raises(TypeError, match="^keywords must be strings$"):
            native_call(Concept.__and__, (concept,), {1: 2})
        with pytest.raises(TypeError, match="^keywords must be strings$"):
            helper.tp_call(Concept.__and__, (concept,), {"value": 1, 1: 2})
        assert calls == []


# Keeps a function alive past the collector's clear: B (hanging off the function's
# __dict__) makes, while being finalised, a weak reference to itself whose callback
# fetches the function. B dies during the clearing, when the function is cleared (or
# about to be) but still alive; its self-referring __defaults__ keeps it alive until then.
def cleared_by_the_collector(make):
    saved = []
    function = make()

    class Hanger:
        def __init__(self, function):
            self.function = function

        def __del__(self):
            function_reference = weakref.ref(self.function)

            def rescue(_):
                saved.append(function_reference())

            saved.append(weakref.ref(self, rescue))

    function.hanger = Hanger(function)
    set_quietly(function, "__defaults__", (function,))
    del function
    gc.collect()
    rescued = [item for item in saved if not isinstance(item, weakref.ref)]
    return rescued[0] if rescued else None


class TestClearedFunction:
    """After the collector's clear the fields are gone; every use stays safe."""

    @pytest.fixture(params=["hook", "collector"])
    def clear(self, request, helper):
        """clear(make) -> the function that make() returns, once it has been cleared."""
        if request.param == "hook":
            def run(make):
                function = make()
                helper.clear_function(function)
                return function
        else:
            def run(make):
                rescued = cleared_by_the_collector(make)
                assert rescued is not None, "the collector did not hand the function back"
                return rescued
        return run

    def prepared(self, helper, shape, flags=0):
        function = helper.make_function(shape, flags, qualname="Holder." + shape,
                                        code=compile("pass", "<code>", "exec"))
        function.__doc__, function.marker = "doc", 1
        function.__annotations__ = {"return": "int"}
        set_quietly(function, "__defaults__", (1,))
        set_quietly(function, "__kwdefaults__", {"k": 1})
        function._is_coroutine, function.__name__  # fill the cached fields
        return function

    def test_attributes_after_clear(self, helper, clear):
        function = clear(lambda: self.prepared(helper, "fastcall"))
        assert function.__name__ == "shape_fastcall"
        assert function.__qualname__ == "shape_fastcall"
        assert repr(function) == f"<native function shape_fastcall at {hex(id(function))}>"
        assert function.__reduce__() == "shape_fastcall"
        assert function.__module__ is None
        assert function.__globals__ is None
        assert function.__code__ is None
        assert function.__closure__ is None
        assert function.__doc__ is None
        assert function.__defaults__ is None
        assert function.__kwdefaults__ is None
        assert function.__annotations__ == {}
        assert function.__dict__ == {}
        assert function._is_coroutine is False
        assert not hasattr(function, "marker")

    def test_pickling_a_cleared_function_fails_cleanly(self, helper, clear):
        function = clear(lambda: self.prepared(helper, "fastcall"))
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(function)

    def test_doc_and_coroutine_are_computed_again(self, helper, clear):
        import asyncio.coroutines

        documented = clear(lambda: self.prepared(helper, "documented", helper.COROUTINE_FLAG))
        assert documented.__doc__ == "Echoes what reaches it."
        assert documented._is_coroutine is asyncio.coroutines._is_coroutine

    @pytest.mark.parametrize("shape, args, expected", [
        ("noargs", (), lambda f: (f,)),
        ("o", (1,), lambda f: (f, 1)),
        ("fastcall", (1,), lambda f: (f, (1,), None, ())),
        ("method", (1,), lambda f: (f, None, (1,), None, ())),
        ("varargs_keywords", (1,), lambda f: (f, (1,), None)),
    ])
    def test_calls_after_clear(self, helper, clear, shape, args, expected):
        def make():
            function = self.prepared(helper, shape)
            if shape == "method":
                helper.set_defining_class(function, type("Defining", (), {}))
            return function

        function = clear(make)
        assert function(*args) == expected(function)

    def test_unbound_message_after_clear(self, helper, clear):
        function = clear(
            lambda: self.prepared(helper, "varargs_keywords", helper.NATIVE_METHOD_FLAG))
        with pytest.raises(TypeError,
                           match=r"^unbound method shape_varargs_keywords\(\) needs an argument$"):
            function()

    def test_fields_can_be_set_again(self, helper, clear):
        function = clear(lambda: self.prepared(helper, "fastcall"))
        function.__qualname__ = "Again.there"
        function.__module__ = "again"
        assert repr(function) == f"<native function Again.there at {hex(id(function))}>"
        assert function.__reduce__() == "Again.there"
        helper.clear_function(function)  # clearing twice is harmless
        assert function.__qualname__ == "shape_fastcall"


class TestGarbageCollection:
    def test_traverse_visits_owned_fields_in_order(self, helper):
        function = helper.make_function("method", helper.COROUTINE_FLAG,
                                        code=compile("pass", "<code>", "exec"))
        module, doc, cls = "mod", "doc", type("Defining", (), {})
        defaults, kwdefaults, annotations = (1,), {"k": 1}, {"return": "int"}
        function.__module__, function.__doc__ = module, doc
        function.marker = 1
        helper.set_defining_class(function, cls)
        set_quietly(function, "__defaults__", defaults)
        set_quietly(function, "__kwdefaults__", kwdefaults)
        function.__annotations__ = annotations
        marker = function._is_coroutine
        # The name, qualified name and code are never visited: they cannot lead back.
        expected = [module, function.__dict__, doc, vars(helper), cls, defaults, kwdefaults,
                    annotations, marker, type(function)]
        referents = gc.get_referents(function)
        assert len(referents) == len(expected)
        assert all(got is want for got, want in zip(referents, expected))

    def test_functions_release_their_type(self, helper):
        _, function_type = helper.shared_types()
        gc.collect()  # earlier garbage holding functions must not go during the count
        before = sys.getrefcount(function_type)
        for _ in range(50):
            helper.make_function("fastcall")
            with pytest.raises(SystemError):
                helper.make_bad_function()
        gc.collect()
        assert sys.getrefcount(function_type) == before

    @pytest.mark.parametrize("attribute, value", [
        ("__doc__", object()), ("__module__", object()), ("__name__", "a name"),
        ("__qualname__", "A.name"), ("__defaults__", (object(),)),
        ("__kwdefaults__", {"k": 1}), ("__annotations__", {"return": "int"}),
    ])
    def test_reads_and_writes_do_not_leak(self, helper, attribute, value):
        function = helper.make_function("fastcall")
        before = sys.getrefcount(value)
        for _ in range(50):
            set_quietly(function, attribute, value)
            assert getattr(function, attribute) is value
        assert sys.getrefcount(value) == before + 1  # held once by the function
        del function
        assert sys.getrefcount(value) == before

    def test_cycle_through_the_dict_is_collected(self, helper):
        function = helper.make_function("fastcall")
        function.self = function
        reference = weakref.ref(function)
        del function
        gc.collect()
        assert reference() is None

    def test_cycle_through_the_defining_class_is_collected(self, helper):
        function = helper.make_function("method")
        cls = type("Defining", (), {"method": function})
        helper.set_defining_class(function, cls)
        reference = weakref.ref(function)
        del function, cls
        gc.collect()
        assert reference() is None


HELPER_LOADER = """
import importlib.util, sys, types
def load_helper():
    spec = importlib.util.spec_from_file_location("_native_test_helper", {path!r})
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
"""

# Slots that give a plain class the basic size of the function record.
RECORD_SLOTS = (
    (type(importlib.import_module(MODULE).LinearConcreteConcept.clone).__basicsize__
     - object.__basicsize__) // ctypes.sizeof(ctypes.c_void_p))

# (value registered beforehand under a short name, the expected message)
PREREGISTERED = [
    ("native_function_or_method", "42",
     "Shared native type native_function_or_method is not a type object"),
    ("native_function_or_method", "type('Other', (), {})",
     "Shared native type native_function_or_method has the wrong size, try recompiling"),
    ("_common_types_metatype", "'text'",
     "Shared native type _common_types_metatype is not a type object"),
    ("_common_types_metatype", "int",
     "Shared native type _common_types_metatype is not a subtype of type"),
    # A class of the record's size, but none of its layout, flags or collector slots.
    ("native_function_or_method",
     f"type('Same', (), {{'__slots__': tuple(f's{{i}}' for i in range({RECORD_SLOTS}))}})",
     "Shared native type native_function_or_method has the wrong layout, try recompiling"),
]


class TestRecursionGuard:
    """A native function that calls itself passes through no Python frame: every calling
    shape must still stop at the interpreter's recursion limit."""

    @pytest.mark.parametrize("shape, call", [
        ("recurse_noargs", "function()"),
        ("recurse_o", "function(1)"),
        ("recurse_varargs_keywords", "function(1, k=2)"),
        ("recurse_fastcall", "function(1, k=2)"),
        ("recurse_method", "function(1, k=2)"),
        ("recurse_fastcall", "type(function).__call__(function, 1, k=2)"),
    ])
    def test_recursion_raises(self, helper, shape, call):
        output = run_python(HELPER_LOADER.format(path=helper.__file__) + textwrap.dedent(f"""
            function = load_helper().make_function("{shape}")
            for _ in range(3):
                try:
                    {call}
                except RecursionError as error:
                    print(error)
            # The guard gave back every level it took.
            def down(n):
                return n and down(n - 1)
            down(sys.getrecursionlimit() - 50)
            """)).stdout.splitlines()
        assert output == ["maximum recursion depth exceeded while calling a Python object"] * 3


class TestSharedRegistry:
    def run(self, code):
        return run_python(textwrap.dedent(code)).stdout.split()

    @pytest.mark.parametrize("short_name, value, message", PREREGISTERED)
    def test_helper_refuses_a_foreign_registration(self, helper, short_name, value, message):
        output = run_python(HELPER_LOADER.format(path=helper.__file__) + textwrap.dedent(f"""
            shared = types.ModuleType("{SHARED}")
            shared.{short_name} = {value}
            sys.modules["{SHARED}"] = shared
            try:
                load_helper()
            except TypeError as error:
                print(repr(str(error)))
            """)).stdout.strip()
        assert output == repr(message)

    @pytest.mark.parametrize("short_name, value, message", PREREGISTERED)
    def test_module_import_refuses_a_foreign_registration(self, short_name, value, message):
        output = run_python(textwrap.dedent(f"""
            import sys, types
            shared = types.ModuleType("{SHARED}")
            shared.{short_name} = {value}
            sys.modules["{SHARED}"] = shared
            try:
                import {MODULE}
            except TypeError as error:
                print(repr(str(error)))
                print("{MODULE}" in sys.modules)
            """)).stdout.split("\n")
        assert output[:2] == [repr(message), "False"]

    @pytest.mark.parametrize("order", ["module first", "helper first"])
    def test_every_module_uses_the_first_registration(self, helper, order):
        first, second = "import_module()", "load_helper()"
        if order == "helper first":
            first, second = second, first
        output = run_python(HELPER_LOADER.format(path=helper.__file__) + textwrap.dedent(f"""
            def import_module():
                import {MODULE}
                return {MODULE}
            {first}
            shared = dict(vars(sys.modules["{SHARED}"]))
            {second}
            from {MODULE} import LinearConcreteConcept
            metatype = shared["_common_types_metatype"]
            function_type = shared["native_function_or_method"]
            print(type(LinearConcreteConcept.clone) is function_type,
                  type(function_type) is metatype,
                  vars(sys.modules["{SHARED}"])["native_function_or_method"] is function_type)
            """)).stdout.split()
        assert output == ["True", "True", "True"]

    def test_helper_registers_when_alone(self, helper):
        output = run_python(HELPER_LOADER.format(path=helper.__file__) + textwrap.dedent(f"""
            module = load_helper()
            shared = sys.modules["{SHARED}"]
            names = sorted(n for n in vars(shared) if not n.startswith("__"))
            metatype, function_type = module.shared_types()
            print(names == ["_common_types_metatype", "native_function_or_method"],
                  shared.native_function_or_method is function_type,
                  shared._common_types_metatype is metatype,
                  type(module.shape_fastcall) is function_type)
            """)).stdout.split()
        assert output == ["True", "True", "True", "True"]
