"""Module creation and execution: attributes, registration, re-import, failures at set-up."""

from __future__ import annotations

import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import definition_line, run_python, step_line
from traceback_entries import INIT_NAME, MODULE, SOURCE

# Helpers of the fresh interpreter: traceback entries as (name, line, file) rows, the one of
# set-up, and the heap growth over 2000 runs of `action` after `warm_up` runs.
PRELUDE = """
import gc, sys
from traceback_entries import entries
def init_entry(error):
    (row,) = [row for row in entries(error) if row[0].startswith("init ")]
    return row
def heap_growth(action, warm_up):
    for _ in range(warm_up):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before
"""


def run(*parts: str) -> str:
    return run_python(PRELUDE + "".join(textwrap.dedent(part) for part in parts)).stdout


@pytest.fixture(scope="module")
def module():
    import importlib

    return importlib.import_module(MODULE)


class TestAttributes:
    def test_is_the_extension(self, module):
        import importlib.machinery

        assert module.__file__.endswith(".so") or module.__file__.endswith(".pyd")
        assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
        assert module.__spec__.loader is module.__loader__

    def test_names_bound_by_execution(self, module):
        import builtins
        import typing

        from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import FuzzyConcreteConcept
        from tolvane.ostrel.concept.operator_concept import OperatorConcept
        from tolvane.ostrel.util.util import Util

        assert module.__builtins__ is builtins
        assert module.typing is typing
        assert module.FuzzyConcreteConcept is FuzzyConcreteConcept
        assert module.OperatorConcept is OperatorConcept
        assert module.Util is Util
        assert module.__test__ == {}
        assert module.__package__ == "tolvane.ostrel.concept.concrete"
        assert module.__name__ == MODULE
        assert not hasattr(module, "__path__")

    def test_registered_in_sys_modules(self, module):
        assert sys.modules[MODULE] is module

    def test_native_runtime_module_exists(self, module):
        assert "native_runtime" in sys.modules


class TestReimport:
    def test_reimport_after_removal_gives_same_module_without_set_up(self):
        out = run(f"""
            import importlib, sys
            first = importlib.import_module("{MODULE}")
            marker = first.__test__
            first.__test__["seen"] = 1
            del sys.modules["{MODULE}"]
            second = importlib.import_module("{MODULE}")
            print(second is first, second.__test__ is marker, sys.modules["{MODULE}"] is first)
        """)
        assert out.split() == ["True", "True", "True"]

    def test_reload_changes_nothing(self):
        out = run(f"""
            import importlib
            module = importlib.import_module("{MODULE}")
            cls, test = module.LinearConcreteConcept, module.__test__
            again = importlib.reload(module)
            print(again is module, module.LinearConcreteConcept is cls, module.__test__ is test)
        """)
        assert out.split() == ["True", "True", "True"]

    def test_exec_on_another_module_object_fails(self):
        out = run(f"""
            import importlib.util
            spec = importlib.util.find_spec("{MODULE}")
            first = importlib.util.module_from_spec(spec)
            second = importlib.util.module_from_spec(spec)
            assert first is not second
            spec.loader.exec_module(first)
            try:
                spec.loader.exec_module(second)
            except RuntimeError as error:
                print(error)
        """)
        assert out.strip() == (
            "Module 'linear_concrete_concept' has already been imported. "
            "Re-initialisation is not supported."
        )

    def test_reimport_after_removal_keeps_memory_flat(self):
        # The create slot hands back the module that already ran; the interpreter then resets
        # the module's state pointer and the exec step allocates a new one. The old one must
        # not be left behind on every `del sys.modules[...]` and import.
        out = run(f"""
            module = __import__("{MODULE}", fromlist=["LinearConcreteConcept"])
            def reimport():
                del sys.modules["{MODULE}"]
                assert __import__("{MODULE}", fromlist=["LinearConcreteConcept"]) is module
            print(heap_growth(reimport, warm_up=100))
        """)
        assert int(out) < 200


# A sub-interpreter that leaves the isolation check of extensions to the module itself:
# 3.12 refuses the import on its own in an isolated one, and 3.13 renamed the module and
# reports a failed run_string by its result.
if sys.version_info >= (3, 13):
    SUB_INTERPRETER_IMPORT = """
        import _interpreters as interpreters
        interpreter = interpreters.create("legacy")
        failure = interpreters.run_string(interpreter, "import {module}")
        print(f"{{failure.type.__name__}}: {{failure.msg}}")
        interpreters.destroy(interpreter)
    """
else:
    SUB_INTERPRETER_IMPORT = """
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create({options})
        try:
            interpreters.run_string(interpreter, "import {module}")
        except interpreters.RunFailedError as error:
            print(error)
        finally:
            interpreters.destroy(interpreter)
    """.replace("{options}", "isolated=False" if sys.version_info >= (3, 12) else "")


class TestInterpreters:
    def test_sub_interpreter_import_fails(self):
        out = run(f"import {MODULE}\n" + textwrap.dedent(SUB_INTERPRETER_IMPORT).format(module=MODULE))
        kind, _, message = out.strip().partition(": ")
        assert "ImportError" in kind
        assert message == (
            "Interpreter change detected - this module can only be loaded "
            "into one interpreter per process."
        )


class TestCreateSlot:
    """Specs handed straight to the definition's create slot, as any loader could."""

    CREATE = f"""
        import ctypes, importlib.util, types
        origin = importlib.util.find_spec("{MODULE}").origin
        definition = ctypes.PyDLL(origin).PyInit_linear_concrete_concept
        definition.restype = ctypes.c_void_p
        from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
        from_spec.restype = ctypes.py_object
        from_spec.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        def create(**attributes):
            return from_spec(definition(), types.SimpleNamespace(**attributes), 1013)
    """

    def test_spec_attributes_copied(self):
        out = run(self.CREATE, """
            module = create(name="m", loader="L", origin="O", parent="P", submodule_search_locations=["S"])
            print(module.__name__, module.__loader__, module.__file__, module.__package__, module.__path__)
        """)
        assert out.split() == ["m", "L", "O", "P", "['S']"]

    def test_none_values(self):
        out = run(self.CREATE, """
            module = create(name="m", loader=None, origin=None, parent=None, submodule_search_locations=None)
            print(module.__loader__, module.__file__, module.__package__, hasattr(module, "__path__"))
        """)
        assert out.split() == ["None", "None", "None", "False"]

    def test_missing_attributes_skipped(self):
        out = run(self.CREATE, """
            module = create(name="m")
            print(sorted(k for k in vars(module) if k in ("__file__", "__path__")))
        """)
        assert out.strip() == "[]"

    def test_spec_without_name_fails(self):
        out = run(self.CREATE, """
            try:
                create(origin="O")
            except AttributeError as error:
                print("AttributeError", "name" in str(error))
        """)
        assert out.split() == ["AttributeError", "True"]


class TestSetUpFailures:
    def test_zlib_unavailable(self):
        out = run(f"""
            import sys
            sys.modules["zlib"] = None
            try:
                import {MODULE}
            except ImportError as error:
                print(error)
                print([row for row in entries(error) if row[2].endswith("linear_concrete_concept.py")])
        """)
        message, rows = out.strip().splitlines()
        assert message == (
            "Failed to import 'zlib.decompress' - cannot initialise module strings. "
            "String compression was configured with the C macro 'NATIVE_COMPRESS_STRINGS=1'."
        )
        assert rows == "[]"

    def test_zlib_decompress_returning_garbage(self):
        out = run(f"""
            import zlib
            zlib.decompress = lambda data: b"short"
            try:
                import {MODULE}
            except ImportError as error:
                print(type(error).__name__)
        """)
        assert out.strip() == "ImportError"

    @pytest.mark.parametrize(
        "collaborator, name, line",
        [
            ("tolvane.ostrel.concept.concrete.fuzzy_concrete_concept", "FuzzyConcreteConcept", 5),
            ("tolvane.ostrel.concept.operator_concept", "OperatorConcept", 8),
            ("tolvane.ostrel.util.util", "Util", 9),
        ],
    )
    def test_collaborator_that_cannot_be_imported(self, collaborator, name, line):
        out = run(f"""
            import sys, types
            sys.modules["{collaborator}"] = types.ModuleType("{collaborator}")
            try:
                import {MODULE}
            except ImportError as error:
                print(error)
                print(entries(error)[-1])
        """)
        message, entry = out.strip().splitlines()
        assert message == f"cannot import name {name}"
        assert entry == repr((INIT_NAME, line, SOURCE))

    def test_typing_failure_at_line_3(self):
        out = run(f"""
            import sys
            import tolvane.ostrel.concept.operator_concept, tolvane.ostrel.util.util
            class Refuse:
                def find_spec(self, name, path=None, target=None):
                    if name == "typing":
                        raise ImportError("typing refused")
            del sys.modules["typing"]
            sys.meta_path.insert(0, Refuse())
            try:
                import {MODULE}
            except ImportError as error:
                print(init_entry(error))
        """)
        assert out.strip() == repr((INIT_NAME, step_line("import_typing"), SOURCE))

    def test_blocked_typing_is_an_import_error(self):
        out = run(f"""
            import sys
            import tolvane.ostrel.concept.operator_concept, tolvane.ostrel.util.util
            sys.modules["typing"] = None
            try:
                import {MODULE}
            except ImportError as error:
                print(type(error).__name__, entries(error)[-1])
        """)
        assert out.strip() == "ModuleNotFoundError " + repr((INIT_NAME, step_line("import_typing"), SOURCE))

    def test_collaborator_in_sys_modules_used_without_import(self):
        out = run(f"""
            import sys, types
            touched = []
            class Recorder(types.ModuleType):
                def __getattribute__(self, name):
                    touched.append(name)
                    return super().__getattribute__(name)
            fake = Recorder("tolvane.ostrel.util.util")
            fake.__path__ = []  # an import with a from-list would read it
            class Util:
                pass
            fake.Util = Util
            sys.modules["tolvane.ostrel.util.util"] = fake
            import {MODULE} as module
            print(module.Util is Util, "__path__" in touched, "Util" in touched)
        """)
        assert out.split() == ["True", "False", "True"]

    def test_failed_execution_can_be_retried(self):
        out = run(f"""
            import sys, types
            util = types.ModuleType("tolvane.ostrel.util.util")
            sys.modules["tolvane.ostrel.util.util"] = util
            try:
                import {MODULE}
            except ImportError as error:
                print(error)
            assert "{MODULE}" not in sys.modules or True
            sys.modules.pop("{MODULE}", None)
            class Util:
                pass
            util.Util = Util
            import {MODULE} as module
            print(module.Util is Util, module.LinearConcreteConcept("x", 0, 1, 0.5, 0.5).a)
        """)
        assert out.split() == ["cannot", "import", "name", "Util", "True", "0.5"]

    def test_retried_executions_do_not_leak(self):
        out = run(f"""
            import types
            util = types.ModuleType("tolvane.ostrel.util.util")
            sys.modules["tolvane.ostrel.util.util"] = util
            def attempt():
                sys.modules.pop("{MODULE}", None)
                try:
                    import {MODULE}
                except ImportError:
                    pass
            print(heap_growth(attempt, warm_up=300))
        """)
        # Each attempt makes a dozen code objects and 88 constants: kept, they would grow
        # the heap by tens of thousands of blocks.
        assert int(out) < 1000

    def test_traceback_names_function_not_only_line(self):
        # Class creation failing at __init__'s def line ("init ...") must not make later
        # __init__ failures at that line read "init ...".
        out = run(f"""
            import sys, types
            fuzzy = types.ModuleType("tolvane.ostrel.concept.concrete.fuzzy_concrete_concept")
            state = {{"fail": True}}
            class Namespace(dict):
                def __setitem__(self, key, value):
                    if key == "__init__" and state["fail"] and self["__qualname__"] == "LinearConcreteConcept":
                        raise KeyError("refused")
                    super().__setitem__(key, value)
            class Meta(type):
                @classmethod
                def __prepare__(cls, name, bases):
                    return Namespace()
            class Base(metaclass=Meta):
                type = "concrete"
                def __init__(self, name):
                    self.name = name
            fuzzy.FuzzyConcreteConcept = Base
            sys.modules[fuzzy.__name__] = fuzzy
            try:
                import {MODULE}
            except KeyError as error:
                print(init_entry(error))
            state["fail"] = False
            sys.modules.pop("{MODULE}", None)
            from {MODULE} import LinearConcreteConcept
            for _ in range(2):
                try:
                    LinearConcreteConcept("only a name")
                except TypeError as error:
                    print(entries(error)[-1])
        """)
        first, second, third = out.strip().splitlines()
        line = definition_line("init")
        assert first == repr((INIT_NAME, line, SOURCE))
        assert second == third == repr((MODULE + ".LinearConcreteConcept.__init__", line, SOURCE))


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils nm")
def test_only_the_init_function_is_exported(module):
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    functions = [line.split()[-1] for line in symbols if line.split()[1:2] == ["T"]]
    assert functions == ["PyInit_linear_concrete_concept"]
