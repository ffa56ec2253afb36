"""Allocation failures: a short subset of tools/nomemory_sweep.py for the normal suite.

Each case sweeps one step in a fresh interpreter: for N = 0, 1, 2, ... the N-th allocation
(only it, then it and every later one) fails through `_testcapi.set_nomemory`, and every
run must end in the step's normal result, its documented exception or a MemoryError, with
the module's traceback entry where one is due; never a crash or a SystemError. The full
sweep (every method and branch, module import, cold caches) is the tool itself:

    python tools/nomemory_sweep.py
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SWEEP = ROOT / "tools" / "nomemory_sweep.py"

try:
    import _testcapi
    HAS_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_NOMEMORY = False

pytestmark = pytest.mark.skipif(not HAS_NOMEMORY, reason="this interpreter has no _testcapi.set_nomemory")

STEPS = [
    "construct",                    # instance, base initialiser, four conversions and stores
    "construct_violation_raising",  # Util.error raises: message built, entry at line 44
    "degree_second_line_boxed",     # number protocol on every step of the second line
    "text_str_long",                # heap copy of a long underscored str, failure tolerated
    "text_non_ascii_long",          # heap copy of a narrowed non-ASCII str
    "compute_name_astral",          # texts of every kind joined into a 4-byte str
    "hash_unhashable_type",         # TypeError at 191 and its entry
    "clone",                        # lookup through the cache, constructor call
    "or",                           # OperatorConcept.or_ and its result
    "bind_str_subclass_keyword",    # keyword dict unpacked, rich comparison of the name
    "tp_call_keyword_dict",         # tp_call: vector and names tuple, then binding
    "traceback_first_entry",        # first failure at a line: code object created, cached
]


@pytest.mark.parametrize("step", STEPS)
def test_allocation_failures(step):
    result = subprocess.run([sys.executable, str(SWEEP), "--steps", step, "--jobs", "1"],
                            cwd=ROOT, capture_output=True, text=True, timeout=300)
    report = result.stdout + result.stderr
    assert result.returncode == 0, report
    assert f"ok    {step}" in result.stdout, report
    assert "0 faults" in result.stdout, report
