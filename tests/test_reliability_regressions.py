"""Faults found by the reference-leak, sanitizer and allocation checks, kept from coming back.

Each test runs on any interpreter; the debug-interpreter and sanitizer runs in `tools/`
find such faults, these tests pin the ones found.
"""

from __future__ import annotations

import textwrap

from conftest import run_python

MODULE = "tolvane.ostrel.concept.concrete.linear_concrete_concept"


def test_reimport_after_removal_keeps_memory_flat():
    # The create slot hands back the module that already ran; the interpreter then resets
    # the module's state pointer and the exec step allocates a new one. The old one must
    # not be left behind on every `del sys.modules[...]` and import.
    out = run_python(textwrap.dedent(f"""
        import gc, sys
        module = __import__("{MODULE}", fromlist=["LinearConcreteConcept"])
        def reimport():
            del sys.modules["{MODULE}"]
            assert __import__("{MODULE}", fromlist=["LinearConcreteConcept"]) is module
        for _ in range(100):
            reimport()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(2000):
            reimport()
        gc.collect()
        print(sys.getallocatedblocks() - before)
    """)).stdout
    assert int(out) < 200
