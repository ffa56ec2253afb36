"""Float conversion and text building (runtime/conversion), called through the test helper.

Text conversion is checked against CPython's own float() of the same object: the same
value bit for bit (NaN sign and -0.0 included) or the same exception type. The few texts
where the fast path deliberately accepts what float() rejects are tested on their own.
"""

from __future__ import annotations

import math
import re
import struct
import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

POSITIVE_NAN_BITS = 0x7FF8000000000000
NEGATIVE_NAN_BITS = 0xFFF8000000000000


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def outcome(convert, value):
    """The float that `convert` gives for `value`, or the type of what it raises."""
    try:
        result = convert(value)
    except Exception as error:  # noqa: BLE001 - the exception type is the outcome
        return type(error)
    assert type(result) is float
    return result


def assert_same_outcome(ours, reference):
    if isinstance(reference, type):
        assert ours is reference
    else:
        assert isinstance(ours, float), f"raised {ours.__name__}, float() gives {reference!r}"
        assert bits(ours) == bits(reference), f"{ours!r} != {reference!r}"


def text_forms(text: str):
    """The text as str, bytes and bytearray (UTF-8 for the 8-bit forms)."""
    encoded = text.encode("utf-8", "surrogatepass")
    return [text, encoded, bytearray(encoded)]


def assert_like_float(helper, value):
    assert_same_outcome(outcome(helper.float_from_object, value), outcome(float, value))


# ---------------------------------------------------------------------------------------
# Objects that are not text


class TestIntConversion:
    @pytest.mark.parametrize("value", [
        0, 7, -2, 1, -1, 2**30 - 1, -(2**30 - 1), 2**30, -(2**30), 2**53 + 1, 10**300, -(10**300),
        int(sys.float_info.max),
    ], ids=repr)
    def test_like_float(self, native_helper, value):
        result = native_helper.float_from_object(value)
        assert type(result) is float
        assert bits(result) == bits(float(value))

    @pytest.mark.parametrize("value, expected", [(7, 7.0), (-2, -2.0), (0, 0.0), (10**300, 1e300)],
                             ids=["7", "-2", "0", "10**300"])
    def test_documented_values(self, native_helper, value, expected):
        assert native_helper.float_from_object(value) == expected

    def test_zero_is_positive(self, native_helper):
        assert bits(native_helper.float_from_object(0)) == 0

    @pytest.mark.parametrize("value", [10**400, -(10**400), 2**1024], ids=["10**400", "-10**400", "2**1024"])
    def test_beyond_a_double_overflows(self, native_helper, value):
        with pytest.raises(OverflowError):
            float(value)
        with pytest.raises(OverflowError):
            native_helper.float_from_object(value)


class FloatSubclass(float):
    pass


class IntSubclass(int):
    def __float__(self):
        return 42.5


class StrSubclass(str):
    pass


class BytesSubclass(bytes):
    pass


class WithFloat:
    def __float__(self):
        return 2.25


class WithIndex:
    def __index__(self):
        return 12


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no float form")


class FloatReturnsText:
    def __float__(self):
        return "1.5"


class TestOtherObjects:
    @pytest.mark.parametrize("value", [True, False])
    def test_bool_is_not_an_exact_int(self, native_helper, value):
        result = native_helper.float_from_object(value)
        assert type(result) is float and result == float(value)

    def test_float_subclass_gives_exact_float(self, native_helper):
        value = FloatSubclass(2.5)
        result = native_helper.float_from_object(value)
        assert type(result) is float and result == 2.5

    @pytest.mark.parametrize("value", [
        FloatSubclass(-0.0), FloatSubclass("nan"), IntSubclass(3), StrSubclass(" 1_5 "),
        StrSubclass("1e-_5"), BytesSubclass(b"2.5"), WithFloat(), WithIndex(), Fraction(1, 4),
        complex(1, 0), None, object(), [1.0], FloatReturnsText(),
    ])
    def test_like_float(self, native_helper, value):
        assert_like_float(native_helper, value)

    def test_float_failure_passes_through(self, native_helper):
        with pytest.raises(ZeroDivisionError, match="no float form"):
            native_helper.float_from_object(FloatRaises())

    def test_memoryview_goes_to_the_host(self, native_helper):
        assert_like_float(native_helper, memoryview(b"1.5"))


# ---------------------------------------------------------------------------------------
# Text


PLAIN_TEXTS = [
    "0", "7", "-2", "+2", "-1", "-1.0", "  -1  ", "1.5", ".5", "5.", "-.5", "+.5e3", "00012",
    "1e5", "1E5", "1e+5", "1e-5", "1e500", "-1e500", "1e-500", "-0", "-0.0", "0e0",
    "123456789012345678901234567890123456789012345678901234567890",
    "0.1000000000000000055511151231257827021181583404541015625",
    ".", "+", "-", "+-1", "--1", "++1", ".e5", "e5", "1e", "1e+", "1.2.3", "1 2", "0x10", "1j",
    "1\x002", "\x001", "1\x00", "1\x00 ", "a", "-a", "\x1c1.5", "1.5\x1f", "1.5\x7f",
]

WHITESPACE_TEXTS = [
    "", " ", "\t", "\t\n\v\f\r ", " 1_000.5 ", "\t1_000.5\t", "\n\v\f\r 1_000.5 \r\n", " 1.5",
    "1.5 ", "\v-2.5\f", " + 1", "1 ", " \x00 ",
]

UNDERSCORE_TEXTS = [
    "1_000.5", "1_0", "1_0_0", "1_0.0_1e1_0", "1e5_0", "1__0", "_1", "1_", "1_.5", "1._5",
    "1_e5", "1e_5", "1E_5", "1.5_e5", "1.5e5_", "+_1", "-_1", "_", "__", "_.5", "._5",
    ".5_0", "-.5_0", "1_0x", "1_+5", "1e_-5", "1e-5_", "0_0", "-1_0", "+1_0.5",
]

SPECIAL_TEXTS = [
    "inf", "+INF", "-Infinity", "iNfInItY", "INFINITY", "-inf ", " +inf", "infinit", "infinityy",
    "nanx", "nan", "NAN", "nAn", "-nan", "+nan", " -nan ", "\t+NaN\n", "in", "na", "i", "n",
    "+-inf", "-+nan", "inf_", "in_f", "n_an", "_nan", "inf inity", "infinity!", "-", "+i",
    "infinite", "nan1", "1nan", "1inf",
]


class TestTextLikeFloat:
    @pytest.mark.parametrize("text", PLAIN_TEXTS + WHITESPACE_TEXTS + UNDERSCORE_TEXTS + SPECIAL_TEXTS)
    def test_str_bytes_bytearray(self, native_helper, text):
        for value in text_forms(text):
            assert_like_float(native_helper, value)

    @pytest.mark.parametrize("text", [" 1_000.5 ", "\t1_000.5\t", "1_000.5"])
    def test_underscored_thousands(self, native_helper, text):
        for value in text_forms(text):
            assert native_helper.float_from_object(value) == 1000.5

    @pytest.mark.parametrize("text", ["1__0", "_1", "1_", "1_.5", "1._5"])
    def test_misplaced_underscores_raise_value_error(self, native_helper, text):
        for value in text_forms(text):
            with pytest.raises(ValueError):
                native_helper.float_from_object(value)

    @pytest.mark.parametrize("text", ["", " ", "\t\n", "\xa0", "\u3000 \u2028"])
    def test_empty_and_whitespace_only_raise_value_error(self, native_helper, text):
        for value in text_forms(text):
            with pytest.raises(ValueError):
                native_helper.float_from_object(value)

    @pytest.mark.parametrize("value", [".", b".", bytearray(b". "), "-.", b"+.e5", ".\xa0"])
    def test_parser_error_for_no_number_at_the_start(self, native_helper, value):
        # The fast path's own parser reports text that starts like a number but is none.
        with pytest.raises(ValueError, match="could not convert string to float: '"):
            native_helper.float_from_object(value)

    def test_sliced_bytearray(self, native_helper):
        value = bytearray(b"xx 2.5_0 ")
        del value[:2]
        assert native_helper.float_from_object(value) == 2.5

    def test_emptied_bytearray(self, native_helper):
        value = bytearray(b"1.5")
        del value[:]
        assert_like_float(native_helper, value)

    def test_ascii_str_fast_path_keeps_the_text(self, native_helper):
        text = "".join(["12", "3.5"])
        before = sys.getrefcount(text)
        for _ in range(100):
            assert native_helper.float_from_object(text) == 123.5
        assert sys.getrefcount(text) == before

    @pytest.mark.parametrize("value", ["1_0", "\xa01_0", "nan", "bad", b"bad", "\xa0bad", "1" * 60 + "_0"])
    def test_no_reference_leaks(self, native_helper, value):
        before = sys.getrefcount(value)
        for _ in range(100):
            outcome(native_helper.float_from_object, value)
        assert sys.getrefcount(value) == before


class TestSpecialValues:
    @pytest.mark.parametrize("text, sign", [
        ("inf", 1), ("+INF", 1), ("-Infinity", -1), ("iNfInItY", 1), (" -inf\t", -1),
    ])
    def test_infinities(self, native_helper, text, sign):
        for value in text_forms(text):
            result = native_helper.float_from_object(value)
            assert math.isinf(result) and math.copysign(1.0, result) == sign

    @pytest.mark.parametrize("text, expected_bits", [
        ("nan", POSITIVE_NAN_BITS), ("NAN", POSITIVE_NAN_BITS), ("+nan", POSITIVE_NAN_BITS),
        ("-nan", NEGATIVE_NAN_BITS), (" -NaN ", NEGATIVE_NAN_BITS),
        ("\xa0-nan\u3000", NEGATIVE_NAN_BITS), ("\u2003nan", POSITIVE_NAN_BITS),
    ])
    def test_quiet_nans_and_their_sign(self, native_helper, text, expected_bits):
        for value in text_forms(text) if text.isascii() else [text]:
            result = native_helper.float_from_object(value)
            assert bits(result) == expected_bits
            assert math.copysign(1.0, result) == math.copysign(1.0, float(value))

    @pytest.mark.parametrize("text", ["infinit", "nanx", "infinityy", "+-inf", "nan_"])
    def test_near_misses_raise_value_error(self, native_helper, text):
        for value in text_forms(text):
            with pytest.raises(ValueError):
                native_helper.float_from_object(value)


def digits(count: int) -> str:
    return "".join(str((i * 7 + 3) % 10) for i in range(count))


class TestCopyBufferBoundary:
    """Underscored 8-bit text is copied into a 40-byte local buffer while fewer than 40
    characters remain without the underscores, else into a heap block; a str holding a
    non-ASCII character is always copied, locally while the trimmed text has below 40."""

    @pytest.mark.parametrize("counted", [38, 39, 40, 41, 42, 80])
    def test_one_underscore(self, native_helper, counted):
        text = "1_" + digits(counted - 1)
        for value in text_forms(text):
            result = native_helper.float_from_object(value)
            assert result == float(text) == float(text.replace("_", ""))

    @pytest.mark.parametrize("counted", [38, 39, 40, 41])
    @pytest.mark.parametrize("template", ["-{}", "+{}", "{}e1_0", "0.{}", "{}.5_5", "{}e-3"])
    def test_shapes_around_the_boundary(self, native_helper, counted, template):
        body_length = counted - len(template.format("").replace("_", "")) - 2
        text = template.format("1_2" + digits(body_length))
        assert len(text.replace("_", "")) == counted
        for value in text_forms(text):
            assert_like_float(native_helper, value)

    @pytest.mark.parametrize("counted", [39, 40, 41])
    @pytest.mark.parametrize("tail", ["_", "__0", "._5", "_e5"])
    def test_rejections_around_the_boundary(self, native_helper, counted, tail):
        text = digits(counted) + tail
        for value in text_forms(text):
            assert_like_float(native_helper, value)

    @pytest.mark.parametrize("length", [38, 39, 40, 41, 60])
    def test_without_underscores(self, native_helper, length):
        for value in text_forms(" " + digits(length) + " "):
            assert_like_float(native_helper, value)

    @pytest.mark.parametrize("length", [38, 39, 40, 41, 60])
    @pytest.mark.parametrize("underscores", [0, 1, 3])
    def test_non_ascii_str(self, native_helper, length, underscores):
        number = digits(length - underscores)
        for i in range(underscores):
            position = 1 + 2 * i
            number = number[:position] + "_" + number[position:]
        text = "\xa0" + number + "\u3000"
        assert len(text.strip()) == length
        assert_like_float(native_helper, text)
        assert native_helper.float_from_object(text) == float(number.replace("_", ""))


class TestNonAsciiText:
    @pytest.mark.parametrize("text", [
        "\xa02.5", "2.5\xa0", "\u20032.5\u3000", "\u2028-1_0\u2029", "\x851", "1\x85",
        "\u180e1", "\ufeff1", "\u200b1", "\xa0 \t1.5\n\u3000", "\xa0+inf", "\xa0-Infinity",
        "\xa0nan", "\xa0.5", "\xa05.", "\xa0.", "\xa0_1", "\xa01_", "\xa01__0", "\xa01_.5",
        "\xa01._5", "\xa01e5_0", "\xa01_0.0_1e1_0", "\xa01\xa05", "\xa01\x005", "1\xa0\x00",
        "\u0661\u0662", "\u0663.\u0665", "\uff11\uff12", "1\u0662", "\xa0\u0661_\u0662",
        "1.5\xe9", "\xe9", "\U0001d7d9", "\xa0\U0001d7d9", "\xa01\U0001d7d9", "\xa01e\U0001d7d9",
        "\xa0\x1c", "\xa0" + "1" * 45 + "\U0001d7d9", "\xa01\u0135", "\xa0\u01312", "\xa01.\u0130",
        "\xa0" + "1" * 45 + "\u0131",
    ])
    def test_like_float(self, native_helper, text):
        assert_like_float(native_helper, text)

    def test_no_break_space_before_number(self, native_helper):
        assert native_helper.float_from_object("\xa02.5") == 2.5

    @pytest.mark.parametrize("text", ["\u0661\u0662", "\uff13.\uff15", "\u0664\u0662\xa0"])
    def test_non_ascii_digits_take_the_hosts_value(self, native_helper, text):
        assert native_helper.float_from_object(text) == float(text)


class TestDocumentedDifferences:
    """Texts that the fast path accepts although float() rejects them."""

    @pytest.mark.parametrize("text, expected", [
        ("1e-_5", 1e-5), ("1E+_5", 1e5), ("2.5e-_1_0", 2.5e-10), (" -3e+_2 ", -300.0),
        ("\t1e-_5\n", 1e-5),
        ("\xa01e-_5", 1e-5),
    ])
    def test_underscore_after_exponent_sign(self, native_helper, text, expected):
        forms = text_forms(text) if text.isascii() else [text]
        for value in forms:
            with pytest.raises(ValueError):
                float(value)
            assert native_helper.float_from_object(value) == expected

    @pytest.mark.parametrize("text, expected", [
        ("\xa01_e5", 1e5), ("\xa01e_5", 1e5), ("1E_5\u3000", 1e5), ("\u20031_5_E2", 1500.0),
        ("\xa02.5_e-1", 0.25),
    ])
    def test_underscore_beside_exponent_in_non_ascii_str(self, native_helper, text, expected):
        with pytest.raises(ValueError):
            float(text)
        assert native_helper.float_from_object(text) == expected

    @pytest.mark.parametrize("text", ["\xa0.5_e1", "\xa01_e5_", "\xa01__e5", "\xa0-_1e_5"])
    def test_other_rejections_still_reach_float(self, native_helper, text):
        # A leading dot, a trailing mark, or marks side by side still reject the copy.
        with pytest.raises(ValueError):
            native_helper.float_from_object(text)

    @pytest.mark.parametrize("text", ["1_e5", "1e_5", "1E_5", "2.5_e-1"])
    def test_underscore_beside_exponent_rejected_in_ascii_text(self, native_helper, text):
        for value in text_forms(text):
            with pytest.raises(ValueError):
                native_helper.float_from_object(value)

    @pytest.mark.parametrize("text, expected", [
        ("\x1c1.5\xa0", 1.5), ("\xa01.5\x1f", 1.5), ("\x1d\x1e2\xa0", 2.0), ("\xa01\x1c", 1.0),
        ("\x1f-nan\xa0", None),
    ])
    def test_information_separators_trimmed_in_non_ascii_str(self, native_helper, text, expected):
        with pytest.raises(ValueError):
            float(text)
        result = native_helper.float_from_object(text)
        if expected is None:
            assert bits(result) == NEGATIVE_NAN_BITS
        else:
            assert result == expected

    @pytest.mark.parametrize("text", ["\x1c1.5", "1.5\x1f", "\x1d2"])
    def test_information_separators_not_trimmed_in_ascii_text(self, native_helper, text):
        for value in text_forms(text):
            with pytest.raises(ValueError):
                native_helper.float_from_object(value)


_EXPONENT_SIGN_UNDERSCORE = re.compile(r"[eE][+-]_")
_UNDERSCORE_BESIDE_EXPONENT = re.compile(r"_[eE]|[eE]_")
_INFORMATION_SEPARATOR = re.compile("[\x1c-\x1f]")


def documented_difference(value) -> bool:
    """Whether `value` belongs to a family in which the fast path knowingly differs."""
    text = value if isinstance(value, str) else value.decode("utf-8", "replace")
    if _EXPONENT_SIGN_UNDERSCORE.search(text):
        return True
    if isinstance(value, str) and not value.isascii():
        return bool(_UNDERSCORE_BESIDE_EXPONENT.search(text) or _INFORMATION_SEPARATOR.search(text))
    return False


_PIECES = st.sampled_from([
    "0", "1", "7", "9", "00", "12", "345", "1234567890", "_", "_", "__", ".", ".", "e", "E",
    "e+", "e-", "+", "-", "inf", "nan", "infinity", "INF", "NaN", "x", "\x00", "\u0661",
    "\uff13", "\U0001d7d9", "\u0135", "\u0130",
])
_SPACES = st.sampled_from([
    "", "", "", " ", "\t", "\n\r", "\x0b\x0c", "\xa0", "\u3000", "\u2028", "\x85", "\x1c", "\x1f",
])
_ALPHABET = "0123456789" * 3 + "._eE+- \t\xa0infatyINFATY\u0661\x1c"


@st.composite
def numeric_looking_texts(draw):
    body = "".join(draw(st.lists(_PIECES, max_size=20)))
    return draw(_SPACES) + draw(st.sampled_from(["", "+", "-"])) + body + draw(_SPACES)


class TestEquivalenceProperty:
    @settings(max_examples=3000, deadline=None, database=None)
    @given(st.one_of(numeric_looking_texts(), st.text(_ALPHABET, max_size=50)))
    def test_same_as_float(self, native_helper, text):
        for value in text_forms(text):
            if documented_difference(value):
                continue
            assert_like_float(native_helper, value)

    @settings(max_examples=500, deadline=None, database=None)
    @given(st.floats(allow_nan=False), st.integers(min_value=0, max_value=3))
    def test_reprs_with_underscores_read_back(self, native_helper, number, groups):
        text = repr(number)
        # Underscores between digit pairs, as a writer of literals would place them.
        for _ in range(groups):
            text = re.sub(r"(\d)(\d)", r"\1_\2", text, count=1)
        for value in text_forms(text):
            assert_like_float(native_helper, value)


# ---------------------------------------------------------------------------------------
# float_constant_minus (with the module's 1.0)


class WithRsub:
    def __rsub__(self, other):
        return ("rsub", other)


class TestFloatConstantMinus:
    @pytest.mark.parametrize("operand, expected", [
        (0.25, 0.75), (2, -1.0), (0, 1.0), (-3, 4.0), (1, 0.0), (2**30 - 1, 1.0 - (2**30 - 1)),
        (2**30, 1.0 - 2**30), (-(2**40), 1.0 + 2**40), (2**100, 1.0 - 2.0**100),
        (10**300, -1e300), (-0.0, 1.0), (math.inf, -math.inf),
    ])
    def test_in_double_precision(self, native_helper, operand, expected):
        result = native_helper.float_constant_minus(operand)
        assert type(result) is float
        assert bits(result) == bits(expected) == bits(1.0 - operand)

    def test_nan_operand(self, native_helper):
        assert math.isnan(native_helper.float_constant_minus(math.nan))

    @pytest.mark.parametrize("operand", [10**400, -(10**400)])
    def test_big_int_overflows_like_the_host(self, native_helper, operand):
        with pytest.raises(OverflowError):
            1.0 - operand
        with pytest.raises(OverflowError):
            native_helper.float_constant_minus(operand)

    @pytest.mark.parametrize("operand", [True, FloatSubclass(0.5), Fraction(1, 4), IntSubclass(5), 1j])
    def test_other_operands_use_subtraction(self, native_helper, operand):
        result = native_helper.float_constant_minus(operand)
        expected = 1.0 - operand
        assert type(result) is type(expected) and result == expected

    @pytest.mark.parametrize("operand", [object(), "1", None, [1.0]])
    def test_without_float_form_raises_what_subtraction_raises(self, native_helper, operand):
        with pytest.raises(TypeError) as expected:
            1.0 - operand
        with pytest.raises(TypeError) as raised:
            native_helper.float_constant_minus(operand)
        assert str(raised.value) == str(expected.value)

    def test_reflected_subtraction_gets_the_constant(self, native_helper):
        result = native_helper.float_constant_minus(WithRsub())
        assert result == ("rsub", 1.0) and type(result[1]) is float


# ---------------------------------------------------------------------------------------
# value_text


class LoudInt(int):
    def __format__(self, spec):
        return f"<{int(self)}|{spec}>"


class FormatRaises:
    def __format__(self, spec):
        raise LookupError("no text")


class FormatReturnsBytes:
    def __format__(self, spec):
        return b"x"


class TestValueText:
    @pytest.mark.parametrize("value, expected", [
        (5, "5"), (-12, "-12"), (0, "0"), (10**30, "1" + "0" * 30), (3.0, "3.0"), (0.5, "0.5"),
        (1e16, "1e+16"), (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "nan"), (-0.0, "-0.0"),
        (True, "True"), (False, "False"), (None, "None"),
    ])
    def test_texts(self, native_helper, value, expected):
        result = native_helper.value_text(value)
        assert type(result) is str and result == expected

    @pytest.mark.parametrize("value", ["abc", "", "é😀", "'quoted'"])
    def test_str_is_returned_unchanged(self, native_helper, value):
        before = sys.getrefcount(value)
        result = native_helper.value_text(value)
        assert result is value
        del result
        assert sys.getrefcount(value) == before

    @pytest.mark.parametrize("value", [
        LoudInt(7), FloatSubclass(2.5), StrSubclass("sub"), Fraction(1, 3), [1, "a"], 2 + 1j,
    ])
    def test_subclasses_and_others_use_format(self, native_helper, value):
        assert native_helper.value_text(value) == format(value, "")

    def test_format_failure_passes_through(self, native_helper):
        with pytest.raises(LookupError, match="no text"):
            native_helper.value_text(FormatRaises())

    def test_format_returning_non_str_fails(self, native_helper):
        with pytest.raises(TypeError):
            native_helper.value_text(FormatReturnsBytes())


# ---------------------------------------------------------------------------------------
# join_pieces and kind_char_bound


def bound_of(helper, pieces):
    bound = 0x7F
    for piece in pieces:
        bound |= helper.kind_char_bound(piece)
    return bound


class TestJoinPieces:
    def test_message_pieces_give_ascii(self, native_helper):
        pieces = ["Error: Linear functions require ", "5", " <= ", "2"]
        result = native_helper.join_pieces(pieces, 38, 0x7F)
        assert result == "Error: Linear functions require 5 <= 2"
        assert type(result) is str and result.isascii()
        assert native_helper.kind_char_bound(result) == 0x7F

    @pytest.mark.parametrize("variable, expected_bound", [
        ("5", 0x7F), ("café", 0xFF), ("\xff", 0xFF), ("Ā", 0xFFFF), ("€5", 0xFFFF),
        ("😀", 0x10FFFF), ("a😀é€", 0x10FFFF),
    ])
    def test_kinds_and_widening(self, native_helper, variable, expected_bound):
        pieces = ["Error: Linear functions require ", variable, " <= ", "x"]
        bound = bound_of(native_helper, pieces)
        assert bound == expected_bound
        result = native_helper.join_pieces(pieces, sum(map(len, pieces)), bound)
        assert result == "".join(pieces)
        assert native_helper.kind_char_bound(result) == expected_bound

    @pytest.mark.parametrize("pieces", [
        ["linear(", "0.0", ", ", "é", ", ", "€", ", ", "😀", ")"],
        ["😀", "€", "é", "a"],
        ["€", "ab", "€"],
        ["é", "", "a", ""],
        [],
        ["", ""],
    ])
    def test_mixed_pieces(self, native_helper, pieces):
        result = native_helper.join_pieces(pieces, sum(map(len, pieces)), bound_of(native_helper, pieces))
        assert result == "".join(pieces)

    # Above 2**32 too: clamped the same however wide the platform's C long is.
    @pytest.mark.parametrize("bound", [0xFFFFFFFF, 2**32 + 0x7F, 2**63 + 0xFF])
    def test_bound_above_the_unicode_range_is_lowered(self, native_helper, bound):
        result = native_helper.join_pieces(["a", "😀"], 2, bound)
        assert result == "a😀"
        assert native_helper.kind_char_bound(result) == 0x10FFFF

    def test_long_pieces(self, native_helper):
        pieces = ["x" * 100_000, "é" * 50_000, "€" * 70_000]
        result = native_helper.join_pieces(pieces, 220_000, 0xFFFF)
        assert result == "".join(pieces)

    def test_result_is_new_and_pieces_keep_their_counts(self, native_helper):
        pieces = ["".join(["ab", "c"]), "".join(["é", "f"])]
        before = [sys.getrefcount(piece) for piece in pieces]
        for _ in range(50):
            result = native_helper.join_pieces(pieces, 5, 0xFF)
        assert result == "abcéf"
        assert [sys.getrefcount(piece) for piece in pieces] == before

    def test_length_beyond_any_str_fails_allocation(self, native_helper):
        # The allocation of the result is refused before the overflow test can be reached:
        # no length that survives it exceeds the largest size a str can address.
        with pytest.raises(MemoryError):
            native_helper.join_pieces(["a"], sys.maxsize, 0x7F)

    def test_negative_length_fails(self, native_helper):
        with pytest.raises(SystemError):
            native_helper.join_pieces([], -1, 0x7F)

    @pytest.mark.parametrize("pieces, length", [(["abc", "def"], 5), (["abc"], 0), (["é€"], 1)])
    def test_pieces_longer_than_the_length_fail(self, native_helper, pieces, length):
        with pytest.raises(SystemError, match="longer than the given length"):
            native_helper.join_pieces(pieces, length, bound_of(native_helper, pieces))

    @pytest.mark.parametrize("pieces, length", [(["abc", "def"], 7), ([], 1)])
    def test_pieces_shorter_than_the_length_fail(self, native_helper, pieces, length):
        with pytest.raises(SystemError, match="shorter than the given length"):
            native_helper.join_pieces(pieces, length, 0x7F)

    @pytest.mark.parametrize("pieces, bound", [(["a", "é"], 0x7F), (["€"], 0xFF), (["😀"], 0xFFFF)])
    def test_piece_wider_than_the_bound_fails(self, native_helper, pieces, bound):
        with pytest.raises(SystemError, match="wider than the given bound"):
            native_helper.join_pieces(pieces, sum(map(len, pieces)), bound)

    def test_pieces_must_be_str(self, native_helper):
        with pytest.raises(TypeError):
            native_helper.join_pieces(["a", 1], 2, 0x7F)


class TestKindCharBound:
    @pytest.mark.parametrize("text, expected", [
        ("", 0x7F), ("abc", 0x7F), ("\x7f", 0x7F), ("\x80", 0xFF), ("abcé", 0xFF), ("\xff", 0xFF),
        ("Ā", 0xFFFF), ("a€", 0xFFFF), ("\uffff", 0xFFFF), ("😀", 0x10FFFF), ("é😀", 0x10FFFF),
        ("\U0010ffff", 0x10FFFF),
    ])
    def test_bounds(self, native_helper, text, expected):
        assert native_helper.kind_char_bound(text) == expected
        assert max(map(ord, text), default=0) <= expected


# ---------------------------------------------------------------------------------------
# truth_value


class BoolRaises:
    def __bool__(self):
        raise ArithmeticError("no truth")


class BoolReturnsInt:
    def __bool__(self):
        return 1


class EmptyByLength:
    def __len__(self):
        return 0


class TestTruthValue:
    @pytest.mark.parametrize("value, expected", [
        (True, 1), (False, 0), (None, 0), (0, 0), (5, 1), (0.0, 0), (math.nan, 1), ("", 0), ("a", 1),
        ([], 0), ([0], 1), (EmptyByLength(), 0), (object(), 1),
    ])
    def test_truth(self, native_helper, value, expected):
        assert native_helper.truth_value(value) == expected == int(bool(value))

    def test_failing_truth_test_raises(self, native_helper):
        with pytest.raises(ArithmeticError, match="no truth"):
            native_helper.truth_value(BoolRaises())

    def test_non_bool_from_dunder_bool_raises(self, native_helper):
        with pytest.raises(TypeError):
            native_helper.truth_value(BoolReturnsInt())


class TestShortDecimals:
    """Plain decimal text with few digits is parsed without the full parser; its value
    must still be float()'s, bit for bit."""

    @pytest.mark.parametrize(
        "text",
        ["0", "-0", "+0.0", "-0.000", "5.", ".5", "-.5", "2.5", "0.1", "0.3", "-12.375", "00012.50",
         "123456789012345", "1234567890123456", "9007199254740993", "999999999999999.9",
         "0.0000000000000000000001", "0.00000000000000000000001", "1.0000000000000000000000",
         "12345.678901234567", "0.1000000000000000055511151231257827"],
    )
    def test_edges(self, native_helper, text):
        for form in text_forms(text):
            assert_like_float(native_helper, form)

    def test_generated(self, native_helper):
        @given(st.integers(0, 10**17), st.integers(0, 26), st.booleans(), st.sampled_from(["", " ", "\t"]))
        @settings(max_examples=3000, deadline=None, database=None)
        def check(digits, decimals, negative, space):
            text = str(digits).rjust(decimals + 1, "0")
            text = text[: len(text) - decimals] + "." + text[len(text) - decimals :]
            text = space + ("-" if negative else "") + text + space
            assert_like_float(native_helper, text)

        check()
