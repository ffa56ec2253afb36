"""Regression tests for faults found by the allocation-failure sweep, fuzzing and stress
runs (tools/nomemory_sweep.py, tools/fuzz/, tests/test_stress.py).

Each test reproduces its fault in a fresh interpreter.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

try:
    import _testcapi
    HAS_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_NOMEMORY = False

needs_nomemory = pytest.mark.skipif(not HAS_NOMEMORY, reason="this interpreter has no _testcapi.set_nomemory")


def run_fresh(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


# Module execution, retried after each failure with the next allocation made to fail, until
# it succeeds: every failure must be an exception of its own, never a SystemError.
EXECUTION_SWEEP = """
    import importlib, importlib.util, sys, _imp, _testcapi
    import typing, zlib
    for name in ("tolvane.ostrel.concept.concrete.fuzzy_concrete_concept",
                 "tolvane.ostrel.concept.operator_concept", "tolvane.ostrel.util.util"):
        importlib.import_module(name)
    MODULE = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
    spec = importlib.util.find_spec(MODULE)
    system_errors = []
    for n in range(5000):
        module = _imp.create_dynamic(spec)
        sys.modules[MODULE] = module
        error = None
        _testcapi.set_nomemory(n, n + 1)
        try:
            _imp.exec_dynamic(module)
        except BaseException as caught:
            error = caught
        _testcapi.remove_mem_hooks()
        if error is None:
            break
        sys.modules.pop(MODULE, None)
        if isinstance(error, SystemError):
            system_errors.append((n, str(error)))
    else:
        raise SystemExit("module execution never succeeded")
    module = importlib.import_module(MODULE)
    assert module.LinearConcreteConcept("x", 0, 1, 0.5, 0.25).get_membership_degree(0.75) == 0.625
    print("SYSTEM ERRORS", system_errors)
"""


@needs_nomemory
# 3.13.0 itself crashes when one allocation fails while it readies a new type (a plain
# `type(name, (), {"__slots__": ...})` under _testcapi.set_nomemory is enough).
@pytest.mark.skipif(sys.version_info >= (3, 13), reason="3.13's own type creation crashes when an allocation fails")
def test_module_execution_out_of_memory_in_shared_type_creation_raises_memory_error():
    result = run_fresh(EXECUTION_SWEEP)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "SYSTEM ERRORS []" in result.stdout, result.stdout
