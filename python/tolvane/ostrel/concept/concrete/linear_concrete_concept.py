"""A fuzzy concrete concept whose membership function is made of two straight lines."""  # step: set_up_module

import typing  # step: import_typing

from tolvane.ostrel.concept.concrete.fuzzy_concrete_concept import (  # step: import_fuzzy_concrete_concept
    FuzzyConcreteConcept,
)
from tolvane.ostrel.concept.operator_concept import OperatorConcept  # step: import_operator_concept
from tolvane.ostrel.util.util import Util  # step: import_util


class LinearConcreteConcept(FuzzyConcreteConcept):  # step: create_class
    """A concrete fuzzy concept with a linear membership function.

    The degree of a value is 0.0 at and below 0 and 1.0 at and above 1; in
    between it rises along a straight line from (0, 0) to (a, b) and from there
    along a second straight line to (1, 1). ``k1`` and ``k2`` are kept with the
    concept and take part in its name, hash and copies, but not in its degrees.

    Construction checks ``k1 <= a`` and ``b <= 1.0`` and reports a violation
    through ``Util.error``; the four numbers are stored as floats. Negation,
    conjunction and disjunction are written ``-c``, ``c & d`` and ``c | d``,
    each built by ``OperatorConcept``.
    """

    def __init__(self, name: "str", k1: "float", k2: "float", a: "float", b: "float") -> "None":
        """Make the concept ``name`` from the numbers ``k1``, ``k2``, ``a`` and ``b``.

        ``a`` is where the two lines of the membership function meet and ``b``
        the degree there. ``k1`` must not exceed ``a`` and ``b`` must not
        exceed 1.0; each violation is reported through ``Util.error`` with a
        message such as "Error: Linear functions require 5 <= 2", showing the
        numbers as they were given; if ``Util.error`` returns, construction
        goes on. ``k2`` is stored without a check.

        The numbers are compared as given and stored converted to float, so
        ints and numeric text are accepted (text as ``_read_number`` reads it).

        Raises:
            ConceptError: from ``Util.error``, when a relation does not hold.
        """
        super().__init__(name)  # step: init_calls_base
        if k1 > a:  # step: init_checks_k1
            Util.error(f"Error: Linear functions require {k1} <= {a}")  # step: init_reports_k1
        if b > 1.0:  # step: init_checks_b
            Util.error(f"Error: Linear functions require {b} <= 1.0")  # step: init_reports_b

        self.k1 = float(_read_number(k1))  # step: init_stores_k1
        self.k2 = float(_read_number(k2))  # step: init_stores_k2
        self._a = float(_read_number(a))  # step: init_stores_a
        self._b = float(_read_number(b))  # step: init_stores_b
    @property
    def a(self) -> "float":
        """The point at which the two lines of the membership function meet.

        Returns:
            The stored value, unchanged: a float after construction or after
            setting the property, whatever was assigned to ``_a`` directly.

        Between 0 and ``a`` the degree rises from 0 to ``b``; between ``a``
        and 1 it rises from ``b`` to 1.
        """
        return self._a  # step: get_a_reads_stored
    @a.setter
    def a(self, value: "float") -> "None":
        """Store ``value`` as the meeting point, converted to float.

        Nothing is checked: ``k1 <= a`` is tested at construction only. A value
        that cannot be converted raises the error and leaves ``a`` unchanged.

        Args:
            value: a number, or text that holds one.
        """
        self._a = float(_read_number(value))  # step: set_a_stores
    @property
    def b(self) -> "float":
        """The degree at the meeting point ``a`` of the two lines.

        Returns:
            The stored value, unchanged: a float after construction or after
            setting the property, whatever was assigned to ``_b`` directly.

        ``b`` may not exceed 1.0; that is tested at construction only. It
        is the height at which the first line ends and the second begins.
        """
        return self._b  # step: get_b_reads_stored
    @b.setter
    def b(self, value: "float") -> "None":
        """Store ``value`` as the degree at ``a``, converted to float.

        Nothing is checked: ``b <= 1.0`` is tested at construction only. A value
        that cannot be converted raises the error and leaves ``b`` unchanged.

        Args:
            value: a number, or text that holds one.
        """
        self._b = float(_read_number(value))  # step: set_b_stores

    def clone(self) -> "typing.Self":
        """A new concept with the same name and numbers.

        The copy is made by calling what the module's ``LinearConcreteConcept``
        stands for, so its numbers are checked and converted again.

        Returns:
            The new concept.
        """
        return LinearConcreteConcept(self.name, self.k1, self.k2, self.a, self.b)  # step: clone_constructs

    def get_membership_degree(self, value: "float") -> "float":
        """The degree to which ``value`` belongs to the concept.

        0.0 at and below 0, 1.0 at and above 1; between 0 and ``a`` (``a``
        included) the line from (0, 0) to (a, b), between ``a`` and 1 the line
        from (a, b) to (1, 1). With a = 0.5 and b = 0.25, 0.25 gives 0.125 and
        0.75 gives 0.625. ``value`` is used as given, without conversion; ``k1``
        and ``k2`` take no part.

        Returns:
            The degree, a float for numeric values.
        """
        if value <= 0:  # step: degree_checks_low
            return 0.0
        if value >= 1.0:  # step: degree_checks_high
            return 1.0
        if value <= self.a:  # step: degree_checks_knee
            return (self.b / self.a) * value  # step: degree_on_first_segment
        return (value * (1.0 - self.b) + (self.b - self.a)) / (1.0 - self.a)  # step: degree_on_second_segment

    def compute_name(self) -> "str":
        """The concept's name as text, such as "linear(0.0, 10.0, 2.0, 0.5)".

        Each number is written as ``str()`` writes a float (0.5, 1e+16, inf,
        nan); a value assigned directly is written as ``format(value, "")``.

        Returns:
            A new str; it is not stored.
        """
        return f"linear({self.k1}, {self.k2}, {self.a}, {self.b})"  # step: compute_name_formats

    def __neg__(self) -> "FuzzyConcreteConcept":
        """The negation of the concept, written ``-c``.

        The result is built by ``OperatorConcept.not_`` and returned as it
        comes: its degree of a value is 1 minus this concept's degree.

        Returns:
            The negated concept.
        """
        return OperatorConcept.not_(self)  # step: neg_applies_not

    def __and__(self, value: "typing.Self") -> "typing.Self":
        """The conjunction of this concept and ``value``, written ``c & d``.

        The result is built by ``OperatorConcept.and_`` from this concept and
        ``value``, which is passed on unchanged, and returned as it comes.

        Args:
            value: the other concept.

        Returns:
            The conjunction.
        """
        return OperatorConcept.and_(self, value)  # step: and_applies_and

    def __or__(self, value: "typing.Self") -> "typing.Self":
        """The disjunction of this concept and ``value``, written ``c | d``.

        The result is built by ``OperatorConcept.or_`` from this concept and
        ``value``, which is passed on unchanged, and returned as it comes.

        Args:
            value: the other concept.

        Returns:
            The disjunction.
        """
        return OperatorConcept.or_(self, value)  # step: or_applies_or

    def __hash__(self) -> "int":
        """The hash of the name, the four numbers and the concept's type.

        It is the hash of the tuple (name, k1, k2, a, b, hash(type)), so two
        concepts with equal values and types hash equal. An unhashable name
        fails when the tuple is hashed, an unhashable type before that.

        Returns:
            The hash value.
        """
        return hash(  # step: hash_combines
            (self.name, self.k1, self.k2, self.a, self.b, hash(self.type))  # step: hash_reads_values
        )


def _read_number(value: "object") -> "object":
    """``value`` as a float where the compiled module reads number text that float() refuses.

    The module trims a str, bytes or bytearray of whitespace. If a digit or "." follows
    the sign, it drops the underscores, leaving to float() a text that begins or ends
    with a mark or holds two side by side, and parses what is left to its end. 8-bit and
    ASCII text trim ASCII whitespace and have the marks "_", ".", "e" and "E"; a str that
    holds a non-ASCII character trims what ``str.isspace`` calls whitespace, U+001C to
    U+001F among it, and has only the marks "_" and ".". So "1e-_5" gives 1e-05, and
    "\xa01e_5" and "\x1c1.5\xa0" give 100000.0 and 1.5, where float() fails.

    Returns:
        The float so read, or ``value`` itself for float() to convert or reject.
    """
    # Without an underscore, or in a non-ASCII str one of U+001C to U+001F, float() reads
    # the text alike: the common case returns at once.
    kind = type(value)
    if kind is str:
        if value.isascii():
            if "_" not in value:
                return value
            text, marks = value.strip(" \t\n\v\f\r"), "_.eE"
        else:
            if not any(char in value for char in "_\x1c\x1d\x1e\x1f"):
                return value
            text, marks = value.strip(), "_."
    elif kind is bytes or kind is bytearray:
        if b"_" not in value:
            return value
        text, marks = value.decode("latin-1").strip(" \t\n\v\f\r"), "_.eE"
    else:
        return value
    digits = text[1:] if text[:1] in ("+", "-") else text
    if digits[:1] and digits[0] in "0123456789.":
        after_mark = True  # as if a mark came before the text
        for char in text:
            if char in marks and after_mark:
                return value
            after_mark = char in marks
        if after_mark:
            return value
        text = text.replace("_", "")
    if not text.isascii():
        return value
    try:
        return float(text)
    except ValueError:
        return value


__test__ = {}
