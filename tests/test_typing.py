"""Type information: the stub of the compiled module and the py.typed marker.

mypy's stubtest compares the stub with the module as built and installed; mypy --strict
checks a program that uses every method. Both run in a fresh process, from an empty
folder, so that they see the installed package and not the source tree.
"""

from __future__ import annotations

import ast
import importlib
import importlib.resources
import textwrap

import pytest

from conftest import run_python

pytest.importorskip("mypy", reason="mypy comes with the test extra: pip install '.[test]'")

MODULE_NAME = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
module = importlib.import_module(MODULE_NAME)
STUB = importlib.resources.files("tolvane.ostrel.concept.concrete") / "linear_concrete_concept.pyi"

# Uses every method and property of the class, with the types the calls accept and return.
EXAMPLE = '''
from fractions import Fraction

from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept
from tolvane.ostrel.concept.operator_concept import OperatorConcept


class Warmer(LinearConcreteConcept):
    pass


def use_every_method() -> list[float]:
    warm = LinearConcreteConcept("warm", 0.0, 1.0, 0.4, 0.8)
    hot = LinearConcreteConcept(name="hot", k1=0, k2=1, a=0.7, b=0.2)
    a: float = warm.a
    b: float = warm.b
    warm.a = 0.5
    warm.b = 1
    warm.a = "0.5"
    warm.b = b"0.25"
    warm.a = Fraction(1, 2)
    copy: LinearConcreteConcept = warm.clone()
    base_copy: LinearConcreteConcept = Warmer("warmer", 0, 1, 0.3, 0.9).clone()
    degree: float = copy.get_membership_degree(0.75)
    name: str = warm.compute_name()
    hashed: int = warm.__hash__()
    negated: OperatorConcept = -warm
    both: OperatorConcept = warm & hot
    either: OperatorConcept = warm | 0.5
    nested: OperatorConcept = warm & (hot | -warm)
    stored: float = warm.k1 + warm.k2 + warm._a + warm._b
    table = {warm: name, hot: negated.name}
    return [a, b, degree, float(hashed), stored, float(len(table)),
            both.get_membership_degree(0.5), either.get_membership_degree(value=0.5),
            nested.get_membership_degree(0.5), base_copy.get_membership_degree(0.1)]
'''

# Mistakes the stub lets mypy see: (line of code, what mypy says about it).
MISTAKES = [
    ('s: str = c.get_membership_degree(0.5)', 'Incompatible types in assignment (expression has type "float"'),
    ('c.get_membership_degree()', 'Missing positional argument "value"'),
    ('c.get_membership_degree(0.5, 0.6)', 'Too many arguments for "get_membership_degree"'),
    ('c.compute_name(level=2)', 'Unexpected keyword argument "level"'),
    ('LinearConcreteConcept("x", 0.0, 1.0, 0.4)', 'Missing positional argument "b"'),
    ('c.a = None', 'Incompatible types in assignment (expression has type "None", variable has type "str | '),
    ('t: str = c.b', 'Incompatible types in assignment (expression has type "float", variable has type "str")'),
    ('c.clone(1)', 'Too many arguments for "clone"'),
    ('c.degree(0.5)', '"LinearConcreteConcept" has no attribute "degree"'),
    ('(c & c).a', '"OperatorConcept" has no attribute "a"'),
    ('d: LinearConcreteConcept = c | c', 'Incompatible types in assignment (expression has type "OperatorConcept"'),
    ('c & "hot"', 'Unsupported operand types for & ("LinearConcreteConcept" and "str")'),
    ('w: Warmer = Warmer("w", 0, 1, 0.3, 0.9).clone()',
     'Incompatible types in assignment (expression has type "LinearConcreteConcept", variable has type "Warmer")'),
]


def run_tool(*arguments, cwd):
    return run_python(None, "-m", *arguments, check=False, cwd=cwd)


def mypy(tmp_path, source):
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent(source), encoding="utf-8")
    return run_tool("mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                    str(program), cwd=tmp_path)


def test_stubtest_finds_no_difference(tmp_path):
    result = run_tool("mypy.stubtest", MODULE_NAME, cwd=tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "Success: no issues found in 1 module" in output


def test_strict_mypy_accepts_every_method(tmp_path):
    result = mypy(tmp_path, EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ""


def test_strict_mypy_reports_mistakes(tmp_path):
    body = "\n".join(statement for statement, _ in MISTAKES)
    source = ("from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept\n"
              "class Warmer(LinearConcreteConcept): pass\n"
              'c = LinearConcreteConcept("x", 0.0, 1.0, 0.4, 0.8)\n' + body + "\n")
    result = mypy(tmp_path, source)
    assert result.returncode == 1
    errors = result.stdout.splitlines()
    for line, (statement, message) in enumerate(MISTAKES, start=4):
        assert any(error.startswith(f"program.py:{line}: error: {message}")
                   for error in errors), (statement, result.stdout)


def test_mypy_reads_the_stub(tmp_path):
    # Only the stub declares what __test__ holds; the .py beside it would leave it untyped.
    result = mypy(tmp_path, """
        from tolvane.ostrel.concept.concrete import linear_concrete_concept as module
        reveal_type(module.__test__)
        reveal_type(module.LinearConcreteConcept.__and__)
    """)
    # mypy versions differ in whether they write the "builtins." of builtin types.
    test_table, conjunction = result.stdout.replace("builtins.", "").splitlines()
    assert test_table == 'program.py:3: note: Revealed type is "dict[str, object]"'
    assert conjunction.startswith('program.py:4: note: Revealed type is "def (tolvane.ostrel.')
    assert conjunction.endswith('linear_concrete_concept._Concept | float) -> '
                                'tolvane.ostrel.concept.operator_concept.OperatorConcept"')


def test_stub_and_marker_are_installed():
    assert STUB.is_file()
    assert (importlib.resources.files("tolvane.ostrel") / "py.typed").is_file()


def stub_class():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "LinearConcreteConcept"]
    return cls


def stub_annotations():
    """{function label: {parameter or "return": annotation text}} as the stub writes them."""
    found = {}
    for node in stub_class().body:
        if not isinstance(node, ast.FunctionDef):
            continue
        decorators = [ast.unparse(decorator) for decorator in node.decorator_list]
        label = node.name
        if decorators == ["property"]:
            label += ".fget"
        elif decorators == [f"{node.name}.setter"]:
            label += ".fset"
        annotations = {arg.arg: ast.unparse(arg.annotation) for arg in node.args.args if arg.annotation}
        annotations["return"] = ast.unparse(node.returns)
        found[label] = annotations
    return found


def runtime_annotations():
    cls = module.LinearConcreteConcept
    found = {}
    for name, value in vars(cls).items():
        if isinstance(value, property):
            found[f"{name}.fget"] = dict(value.fget.__annotations__)
            found[f"{name}.fset"] = dict(value.fset.__annotations__)
        elif callable(value):
            found[name] = dict(value.__annotations__)
    return found


# Where the stub says more than the run-time annotations: what the setters take, what
# clone and the operators return, and what & and | take. Everything else is the same.
STUB_DIFFERENCES = {
    ("a.fset", "value"): ("float", "ConvertibleToFloat"),
    ("b.fset", "value"): ("float", "ConvertibleToFloat"),
    ("clone", "return"): ("typing.Self", "LinearConcreteConcept"),
    ("__neg__", "return"): ("FuzzyConcreteConcept", "OperatorConcept"),
    ("__and__", "value"): ("typing.Self", "_Operand"),
    ("__and__", "return"): ("typing.Self", "OperatorConcept"),
    ("__or__", "value"): ("typing.Self", "_Operand"),
    ("__or__", "return"): ("typing.Self", "OperatorConcept"),
}


def test_stub_annotations_differ_from_the_runtime_only_where_meant():
    stub, runtime = stub_annotations(), runtime_annotations()
    assert stub.keys() == runtime.keys()
    differences = {(function, name): (runtime[function][name], annotation)
                   for function, annotations in stub.items() for name, annotation in annotations.items()
                   if annotation != runtime[function].get(name)}
    assert differences == STUB_DIFFERENCES
    assert all(stub[function].keys() == runtime[function].keys() for function in stub)


def test_stub_documents_every_function():
    cls = stub_class()
    undocumented = [node.name for node in cls.body if isinstance(node, ast.FunctionDef) and not ast.get_docstring(node)]
    assert ast.get_docstring(cls) and not undocumented
