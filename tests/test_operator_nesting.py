"""Combined concepts nested deeper than the interpreter's recursion limit."""

from __future__ import annotations

import sys

import pytest

from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept
from tolvane.ostrel.concept.operator_concept import OperatorConcept

DEPTH = 4 * sys.getrecursionlimit()  # even: the negations cancel out


@pytest.fixture
def warm():
    return LinearConcreteConcept("warm", 0, 1, 0.4, 0.8)


@pytest.mark.parametrize("build, name_start", [
    (lambda c: -c, "(not " * DEPTH),
    (lambda c: c & 0.5, "(" * DEPTH + "linear(0.0, 1.0, 0.4, 0.8) & 0.5)"),
    (lambda c: OperatorConcept.or_(0.1, c), "(0.1 | " * DEPTH),
])
def test_any_depth_computes(warm, build, name_start):
    combined = warm
    for _ in range(DEPTH):
        combined = build(combined)
    assert combined.get_membership_degree(0.2) == pytest.approx(0.4)
    name = combined.compute_name()
    assert name.startswith(name_start) and name.count("linear(") == 1
    assert combined.name == name


def test_subclasses_keep_their_own_methods(warm):
    class Doubted(OperatorConcept):
        def get_membership_degree(self, value):
            return super().get_membership_degree(value) / 2

        def compute_name(self):
            return "doubted " + super().compute_name()

    inner = Doubted("not", (warm,))
    outer = Doubted("and", (OperatorConcept.not_(inner), 1.0))
    assert outer.get_membership_degree(0.2) == pytest.approx((1.0 - 0.6 / 2) / 2)
    assert outer.compute_name() == "doubted ((not doubted (not linear(0.0, 1.0, 0.4, 0.8))) & 1.0)"
