"""Calls on their success paths leave nothing behind: the heap does not grow with calls."""

from __future__ import annotations

import gc
import sys
import tracemalloc

import pytest

from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept

OPERATIONS = {
    "construct": lambda c, d: LinearConcreteConcept("lin", 0.0, 10.0, 0.4, 0.8),
    "degree below 0": lambda c, d: c.get_membership_degree(-0.5),
    "degree above 1": lambda c, d: c.get_membership_degree(1.5),
    "degree first line": lambda c, d: c.get_membership_degree(0.2),
    "degree second line": lambda c, d: c.get_membership_degree(0.7),
    "degree by keyword": lambda c, d: c.get_membership_degree(value=0.7),
    "read a": lambda c, d: c.a,
    "read b": lambda c, d: c.b,
    "set a float": lambda c, d: setattr(c, "a", 0.4),
    "set a int": lambda c, d: setattr(c, "a", 1),
    "set a str": lambda c, d: setattr(c, "a", "0.4"),
    "set b long text": lambda c, d: setattr(c, "b", " 0.000_000_000_000_000_000_000_000_000_000_8 "),
    "compute_name": lambda c, d: c.compute_name(),
    "hash": lambda c, d: hash(c),
    "clone": lambda c, d: c.clone(),
    "neg": lambda c, d: -c,
    "and": lambda c, d: c & d,
    "or": lambda c, d: c | d,
}


def pair():
    return LinearConcreteConcept("lin", 0.0, 10.0, 0.4, 0.8), LinearConcreteConcept("m", 0.0, 1.0, 0.5, 0.5)


@pytest.mark.parametrize("name", OPERATIONS)
def test_allocated_blocks_unchanged(name):
    operation = OPERATIONS[name]
    c, d = pair()
    for _ in range(2_000):
        operation(c, d)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(100_000):
        operation(c, d)
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


@pytest.mark.parametrize("name", ["construct", "degree second line", "set a str", "compute_name", "hash", "clone"])
def test_tracemalloc_sees_no_growth(name):
    operation = OPERATIONS[name]
    c, d = pair()
    for _ in range(1_000):
        operation(c, d)
    tracemalloc.start()
    try:
        gc.collect()
        first = tracemalloc.take_snapshot()
        for _ in range(10_000):
            operation(c, d)
        gc.collect()
        second = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    growth = sum(stat.size_diff for stat in second.compare_to(first, "filename") if stat.size_diff > 0)
    # tracemalloc's own bookkeeping and the test's frames stay well under a kilobyte or two
    assert growth < 4096, second.compare_to(first, "lineno")[:5]
