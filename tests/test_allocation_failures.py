"""Allocation failures: a short subset of tools/nomemory_sweep.py for the normal suite.

Each case sweeps one step in a fresh interpreter: for N = 0, 1, 2, ... the N-th allocation
(only it, then it and every later one) fails through `_testcapi.set_nomemory`, and every
run must end in the step's normal result, its documented exception or a MemoryError, with
the module's traceback entry where one is due; never a crash or a SystemError. The full
sweep (every method and branch, module import, cold caches) is the tool itself:

    python tools/nomemory_sweep.py

Module execution itself is swept here too, retried in one interpreter after each failure.
"""

from __future__ import annotations

import sys

import pytest

from conftest import ROOT, run_python

SWEEP = ROOT / "tools" / "nomemory_sweep.py"

try:
    import _testcapi
    HAS_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_NOMEMORY = False

pytestmark = pytest.mark.skipif(not HAS_NOMEMORY, reason="this interpreter has no _testcapi.set_nomemory")

STEPS = [
    "construct",                    # instance, base initialiser, four conversions and stores
    "construct_violation_raising",  # Util.error raises: message built, entry at its line
    "degree_second_line_boxed",     # number protocol on every step of the second line
    "text_str_long",                # heap copy of a long underscored str, failure tolerated
    "text_non_ascii_long",          # heap copy of a narrowed non-ASCII str
    "compute_name_astral",          # texts of every kind joined into a 4-byte str
    "hash_unhashable_type",         # TypeError at the tuple's line and its entry
    "clone",                        # lookup through the cache, constructor call
    "or",                           # OperatorConcept.or_ and its result
    "bind_str_subclass_keyword",    # keyword dict unpacked, rich comparison of the name
    "tp_call_keyword_dict",         # tp_call: vector and names tuple, then binding
    "traceback_first_entry",        # first failure at a line: code object created, cached
]


@pytest.mark.parametrize("step", STEPS)
def test_allocation_failures(step):
    result = run_python(None, str(SWEEP), "--steps", step, "--jobs", "1", check=False, cwd=ROOT, timeout=300)
    report = result.stdout + result.stderr
    assert result.returncode == 0, report
    assert f"ok    {step}" in result.stdout, report
    assert "0 faults" in result.stdout, report


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


# 3.13.0 itself crashes when one allocation fails while it readies a new type (a plain
# `type(name, (), {"__slots__": ...})` under _testcapi.set_nomemory is enough).
@pytest.mark.skipif(sys.version_info >= (3, 13), reason="3.13's own type creation crashes when an allocation fails")
def test_module_execution_out_of_memory_in_shared_type_creation_raises_memory_error():
    result = run_python(EXECUTION_SWEEP, check=False, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "SYSTEM ERRORS []" in result.stdout, result.stdout
