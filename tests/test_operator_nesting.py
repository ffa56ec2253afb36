"""Combined concepts walk their nested operands without recursion; subclasses keep theirs."""

from __future__ import annotations

import pytest

from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept
from tolvane.ostrel.concept.operator_concept import OperatorConcept


def test_subclasses_keep_their_own_methods():
    # The walk combines `self` whatever its class, so that super() does not come back to
    # the subclass, and leaves a subclass operand to its own methods.
    class Doubted(OperatorConcept):
        def get_membership_degree(self, value):
            return super().get_membership_degree(value) / 2

        def compute_name(self):
            return "doubted " + super().compute_name()

    warm = LinearConcreteConcept("warm", 0, 1, 0.4, 0.8)
    outer = Doubted("and", (OperatorConcept.not_(Doubted("not", (warm,))), 1.0))
    assert outer.get_membership_degree(0.2) == pytest.approx((1.0 - 0.6 / 2) / 2)
    assert outer.compute_name() == "doubted ((not doubted (not linear(0.0, 1.0, 0.4, 0.8))) & 1.0)"
