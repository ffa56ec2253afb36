"""Combined concepts: what OperatorConcept.not_, and_ and or_ build from concepts, as the
operators -, & and | of LinearConcreteConcept return them."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, strategies as st

from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept
from tolvane.ostrel.concept.operator_concept import OperatorConcept

# Values across the rising part and beyond both ends.
VALUES = [-1.0, 0.0, 0.1, 0.2, 0.25, 0.4, 0.5, 0.6, 0.75, 0.8, 0.9, 1.0, 2.0]


def linear(a, b, name="lin"):
    return LinearConcreteConcept(name, 0.0, 1.0, a, b)


@pytest.fixture
def warm():
    return linear(0.4, 0.8, "warm")


@pytest.fixture
def hot():
    return linear(0.2, 0.5, "hot")


def degrees(concept, values=VALUES):
    return [concept.get_membership_degree(value) for value in values]


# ---------------------------------------------------------------------------------------
# The connectives


def test_negation_is_one_minus(warm):
    negated = -warm
    assert type(negated) is OperatorConcept
    assert negated.operator == "not" and negated.operands == (warm,)
    assert degrees(negated) == [1.0 - degree for degree in degrees(warm)]
    assert negated.get_membership_degree(0.2) == 0.6


def test_conjunction_is_the_minimum(warm, hot):
    both = warm & hot
    assert both.operator == "and" and both.operands[0] is warm and both.operands[1] is hot
    assert degrees(both) == [min(x, y) for x, y in zip(degrees(warm), degrees(hot))]
    assert both.get_membership_degree(0.2) == 0.4


def test_disjunction_is_the_maximum(warm, hot):
    either = warm | hot
    assert either.operator == "or"
    assert degrees(either) == [max(x, y) for x, y in zip(degrees(warm), degrees(hot))]
    assert either.get_membership_degree(0.2) == 0.5


def test_the_factories_build_the_same_concepts(warm, hot):
    for built, by_operator in ((OperatorConcept.not_(warm), -warm),
                               (OperatorConcept.and_(warm, hot), warm & hot),
                               (OperatorConcept.or_(warm, hot), warm | hot)):
        assert built.compute_name() == by_operator.compute_name()
        assert degrees(built) == degrees(by_operator)


def test_combined_concepts_are_named_by_their_expression(warm, hot):
    for combined in (-warm, warm & hot, warm | hot, -(warm & hot)):
        assert combined.name == combined.compute_name()


# ---------------------------------------------------------------------------------------
# Names


def test_names_read_as_expressions(warm, hot):
    assert (-warm).compute_name() == "(not linear(0.0, 1.0, 0.4, 0.8))"
    assert (warm & -hot).compute_name() == "(linear(0.0, 1.0, 0.4, 0.8) & (not linear(0.0, 1.0, 0.2, 0.5)))"
    assert (warm | hot).compute_name() == "(linear(0.0, 1.0, 0.4, 0.8) | linear(0.0, 1.0, 0.2, 0.5))"
    assert repr(warm & hot) == "<OperatorConcept (linear(0.0, 1.0, 0.4, 0.8) & linear(0.0, 1.0, 0.2, 0.5))>"


def test_nested_names(warm, hot):
    assert (-(warm & hot) | warm).compute_name() == \
        "((not (linear(0.0, 1.0, 0.4, 0.8) & linear(0.0, 1.0, 0.2, 0.5))) | linear(0.0, 1.0, 0.4, 0.8))"
    assert (-(-warm)).compute_name() == "(not (not linear(0.0, 1.0, 0.4, 0.8)))"


def test_name_follows_the_operands(warm):
    negated = -warm
    assert negated.name == "(not linear(0.0, 1.0, 0.4, 0.8))"
    warm.a = 0.5
    assert negated.name == negated.compute_name() == "(not linear(0.0, 1.0, 0.5, 0.8))"
    assert negated.get_membership_degree(0.5) == pytest.approx(0.2)


def test_operand_without_compute_name_is_named_by_its_name_or_repr(warm):
    class Named:
        name = "step"

        def get_membership_degree(self, value):
            return 1.0 if value >= 0.5 else 0.0

    class Anonymous:
        def get_membership_degree(self, value):
            return 0.5

        def __repr__(self):
            return "half"

    assert (warm & Named()).compute_name() == "(linear(0.0, 1.0, 0.4, 0.8) & step)"
    assert OperatorConcept.or_(Anonymous(), warm).compute_name() == "(half | linear(0.0, 1.0, 0.4, 0.8))"


# ---------------------------------------------------------------------------------------
# Nesting and operators on combined concepts


def test_operators_on_combined_concepts(warm, hot):
    combined = warm & -hot
    for result, expected in (
        (-combined, [1.0 - d for d in degrees(combined)]),
        (combined & hot, [min(x, y) for x, y in zip(degrees(combined), degrees(hot))]),
        (combined | hot, [max(x, y) for x, y in zip(degrees(combined), degrees(hot))]),
        (hot & combined, [min(y, x) for x, y in zip(degrees(combined), degrees(hot))]),
        (hot | combined, [max(y, x) for x, y in zip(degrees(combined), degrees(hot))]),
        (combined & combined, degrees(combined)),
    ):
        assert type(result) is OperatorConcept
        assert degrees(result) == expected


def test_nested_degrees(warm, hot):
    expression = (warm & -hot) | -(warm | hot)
    for value in VALUES:
        x, y = warm.get_membership_degree(value), hot.get_membership_degree(value)
        assert expression.get_membership_degree(value) == max(min(x, 1.0 - y), 1.0 - max(x, y))


def test_deep_nesting(warm, hot):
    expression = warm
    for level in range(100):
        expression = (expression & hot) if level % 2 else -expression
    assert expression.compute_name().count("linear(") == 51
    assert 0.0 <= expression.get_membership_degree(0.3) <= 1.0


def test_a_number_stands_for_a_constant_degree(warm):
    capped = warm & 0.5
    assert capped.compute_name() == "(linear(0.0, 1.0, 0.4, 0.8) & 0.5)"
    assert degrees(capped) == [min(d, 0.5) for d in degrees(warm)]
    assert degrees(warm | 0) == degrees(warm)
    assert degrees(OperatorConcept.not_(0.25)) == [0.75] * len(VALUES)


# ---------------------------------------------------------------------------------------
# What cannot be combined


@pytest.mark.parametrize("other", ["warm", None, [0.5], object()])
def test_an_operand_that_is_no_concept_fails_at_its_degree(warm, other):
    # The operators pass any operand on unchanged; the combined concept keeps it and
    # reports it once a degree is asked for.
    combined = warm & other
    assert combined.operands == (warm, other)
    with pytest.raises(TypeError, match=r"an operand of type '\w+', which is neither a concept nor a number"):
        combined.get_membership_degree(0.5)
    with pytest.raises(TypeError, match="neither a concept nor a number"):
        ((-warm) | other).get_membership_degree(0.5)


def test_unknown_connective_and_wrong_operand_count(warm):
    with pytest.raises(ValueError, match="unknown fuzzy connective 'xor'"):
        OperatorConcept("xor", (warm, warm))
    with pytest.raises(ValueError, match="'not' takes 1 operand, not 2"):
        OperatorConcept("not", (warm, warm))
    with pytest.raises(ValueError, match="'and' takes 2 operands, not 1"):
        OperatorConcept("and", (warm,))


# ---------------------------------------------------------------------------------------
# Laws of the connectives


unit = st.floats(min_value=0.0, max_value=1.0)
anything = st.floats(min_value=-2.0, max_value=3.0)


@given(a1=unit, b1=unit, a2=unit, b2=unit, value=anything)
def test_de_morgan_and_bounds(a1, b1, a2, b2, value):
    first = LinearConcreteConcept("first", 0.0, 1.0, a1, b1)
    second = LinearConcreteConcept("second", 0.0, 1.0, a2, b2)
    x, y = first.get_membership_degree(value), second.get_membership_degree(value)
    if math.isnan(x) or math.isnan(y):
        return
    assert (-(first & second)).get_membership_degree(value) == (-first | -second).get_membership_degree(value)
    assert (-(first | second)).get_membership_degree(value) == (-first & -second).get_membership_degree(value)
    both = (first & second).get_membership_degree(value)
    either = (first | second).get_membership_degree(value)
    assert both <= x <= either and both <= y <= either
    assert (-(-first)).get_membership_degree(value) == pytest.approx(x, abs=1e-15)
