"""The text of exact floats (runtime/float_text), against repr.

Both ways the module makes it are compared: value_text (message texts, through the test
helper) and compute_name, whose four values are floats set directly on a concept.
"""

from __future__ import annotations

import importlib
import math
import random
import struct
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

Concept = importlib.import_module("tolvane.ostrel.concept.concrete.linear_concrete_concept").LinearConcreteConcept


def from_bits(pattern: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def assert_texts_are_reprs(native_helper, values) -> None:
    values = list(values)
    concept = Concept("text", 0.0, 1.0, 0.5, 0.25)
    padded = values + [0.0] * (-len(values) % 4)
    for start in range(0, len(padded), 4):
        group = padded[start:start + 4]
        concept.k1, concept.k2, concept._a, concept._b = group
        assert concept.compute_name() == "linear(%s)" % ", ".join(map(repr, group))
    texts = [native_helper.value_text(value) for value in values]
    mismatches = [(value, text) for value, text in zip(values, texts) if text != repr(value)]
    assert mismatches == []


def is_tie(value: float) -> bool:
    """Whether the value lies exactly halfway between its shortest digits and the next ones."""
    digits = Decimal(repr(value))
    unit = Fraction(10) ** digits.as_tuple().exponent
    return abs(Fraction(value) - Fraction(digits)) * 2 == unit


def neighbours(value: float, count: int = 40) -> list[float]:
    below, above, result = value, value, [value]
    for _ in range(count):
        below, above = math.nextafter(below, -math.inf), math.nextafter(above, math.inf)
        result += [below, above]
    return result


# Ties live where a double's exact expansion has just one digit more than its shortest
# digits: between 2**44 and 2**51, on quarters, eighths, ... of the integers.
TIES = [value for value in (2.0 ** p + i * math.ulp(2.0 ** p) for p in range(44, 53) for i in range(1, 4096))
        if is_tie(value)]

SMALLEST_NORMAL = 2.2250738585072014e-308
GROUPS = {
    "specials": [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, from_bits(0x7FF0000000000001),
                 from_bits(0xFFF8000000000001)],
    "powers of two": [sign * 2.0 ** e for e in range(-1074, 1024) for sign in (1, -1)],
    "powers of ten": [sign * float(f"1e{e}") for e in range(-324, 309) for sign in (1, -1)]
                     + [10.0 ** e for e in range(-300, 300)],
    "subnormals": [from_bits(pattern) for pattern in range(1, 2000)]
                  + [from_bits(pattern) for pattern in range(0x000FFFFFFFFFF000, 0x0010000000000000)]
                  + neighbours(SMALLEST_NORMAL)
                  + [from_bits(random.Random(7).randrange(1, 1 << 52)) for _ in range(2000)],
    "extremes": neighbours(1.7976931348623157e308) + [-1.7976931348623157e308, 5e-324, -5e-324],
    "fixed and exponent limits": [sign * value for edge in (1e16, 1e-4, 1e15, 1e-5, 9999999999999998.0)
                                  for value in neighbours(edge, 200) for sign in (1, -1)],
    "ties": TIES + [-value for value in TIES],
    # n / 10**k, the short decimals of most parameters, around the limits of their fast path.
    "short decimals": [sign * generator.randrange(10 ** digits) / 10 ** places
                       for generator in [random.Random(9)] for places in range(11) for digits in range(1, 18)
                       for _ in range(60) for sign in (1, -1)]
                      + neighbours(2.0 ** 50, 200) + neighbours(1e-4 + 2e-20, 50),
}


@pytest.mark.parametrize("group", GROUPS, ids=str)
def test_groups(native_helper, group):
    assert_texts_are_reprs(native_helper, GROUPS[group])


def test_ties_were_found():
    assert len(TIES) > 3000 and repr(2.0 ** 50 + 0.25) == "1125899906842624.2"


def test_random_bit_patterns_and_scaled_values(native_helper):
    generator = random.Random(14)
    values = [from_bits(generator.getrandbits(64)) for _ in range(100_000)]
    values += [generator.random() * 10.0 ** generator.randint(-12, 22) for _ in range(100_000)]
    assert_texts_are_reprs(native_helper, values)


@settings(max_examples=3000)
@given(st.one_of(st.floats(), st.integers(0, 2 ** 64 - 1).map(from_bits)))
def test_any_double(native_helper, value):
    assert_texts_are_reprs(native_helper, [value])


class ReprFloat(float):
    def __repr__(self):
        return "own repr"

    __str__ = __repr__


def test_float_subclasses_keep_their_own_text(native_helper):
    assert native_helper.value_text(ReprFloat(2.5)) == "own repr"
    concept = Concept("text", 0.0, 1.0, 0.5, 0.25)
    concept.k1 = ReprFloat(0.5)
    assert concept.compute_name() == "linear(own repr, 1.0, 0.5, 0.25)"
