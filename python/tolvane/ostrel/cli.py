"""fuzzy-linear: show the membership functions of linear fuzzy concepts and their combinations.

The command builds a ``LinearConcreteConcept`` from the numbers k1, k2, a and b,
prints its name, a table of membership degrees and a small text plot of the
function. With ``--concept`` it builds further named concepts, and with ``--expr``
it combines them with the fuzzy connectives (``-`` or ``not``, ``&`` or ``and``,
``|`` or ``or``); all of them are then shown side by side, one column of the table
and one plot panel each, within 80 columns.

Parsing the command line, building the concepts and rendering them are separate
steps (``build_parser``, ``build_shown``, ``render`` and ``render_side_by_side``),
and rendering uses only ``compute_name`` and ``get_membership_degree``, so any
concept, combined ones included, is shown the same way.
"""

from __future__ import annotations

import argparse
import keyword
import math
import os
import re
import sys
import textwrap
from typing import Any, Callable, NamedTuple, NoReturn, Protocol, Sequence

from tolvane.ostrel import __version__

PROG = "fuzzy-linear"

# The plotted stretch of values: a little beyond the rising part [0, 1] on either side.
GRID_LOW = -0.25
GRID_HIGH = 1.25
GRID_POINTS = 13

# Plot size: the plot area plus its axis labels (14 columns) stays within 80 columns.
PLOT_WIDTH = 61
PLOT_MAX_WIDTH = 66
PLOT_HEIGHT = 11

# Side by side: each panel after the first starts with " |", and the panels of a row
# together with the degree labels (7 columns) stay within MAX_COLUMNS. More panels than
# fit at PANEL_MIN_WIDTH go on to the next row.
MAX_COLUMNS = 80
AXIS_COLUMNS = 7
PANEL_GAP = 2
PANEL_MIN_WIDTH = 16

EXAMPLES = """\
examples:
  fuzzy-linear
      degrees on a grid over [-0.25, 1.25], with a=0.4 and b=0.8
  fuzzy-linear --a 0.5 --b 0.25 0.25 0.5 0.75
      the degrees of three values: 0.125, 0.25 and 0.625
  fuzzy-linear --name warm --k1 0 --k2 40 --a 0.3 --b 0.6 --no-plot
      a concept named warm, without the plot
  fuzzy-linear -- -inf -1e3 0.5
      "--" first when a value looks like an option
  fuzzy-linear --k1=-inf --k2=-1e3 --a 0.5
      "=" joins an option to a number that looks like an option
  fuzzy-linear --concept warm=0,1,0.4,0.8 --concept hot=0,1,0.7,0.2 \\
               --expr "warm & -hot"
      warm, hot and "warm and not hot" side by side
  fuzzy-linear --expr "not lin" --expr "lin | 0.5"
      lin (from --a and --b) beside its negation and "lin, or at least 0.5"

The degree is 0 at and below 0 and 1 at and above 1; in between it follows a
straight line from (0, 0) to (a, b) and a second one from (a, b) to (1, 1).
k1 must not exceed a, and b must not exceed 1.0.

Combining concepts: --concept NAME=k1,k2,a,b defines a concept called NAME
(letters, digits and "_"), and --expr EXPR shows an expression over the defined
names. The concept of --name/--k1/--k2/--a/--b is defined too, under its name
(lin unless given). In an expression:
  -x    or  not x     the negation: degree 1 - x
  x & y or  x and y   the conjunction: the smaller degree
  x | y or  x or y    the disjunction: the larger degree
  (...)               grouping; without it "not" binds tightest, then "and",
                      then "or"
  0.7                 a number from 0 to 1 stands for that degree everywhere
An expression that starts with "-" is written --expr=-x (or --expr "not x").

Shown are the --concept concepts and the --expr expressions, in this order,
after the concept of --name/--k1/--k2/--a/--b when one of those options is
given or no --concept is. Several are shown side by side: a line naming each,
a table column each and a plot panel each, up to four panels in a row.
"""


class Concept(Protocol):
    """What the rendering needs of a concept."""

    def compute_name(self) -> str: ...

    def get_membership_degree(self, value: float) -> float: ...


def number(text: str) -> int | float:
    """An int for integer text, else a float, so that messages show numbers as typed.

    Text of a finite number beyond the range of a float is refused: the concepts store
    floats, and it would otherwise become infinity or fail later without naming its option.
    """
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if math.isinf(value) and text.strip().lstrip("+-").lower() not in ("inf", "infinity"):
        shown = repr(text) if len(text) <= 24 else f"{text[:12] + '...'!r} ({len(text)} characters)"
        raise argparse.ArgumentTypeError(f"too large for a float: {shown}")
    try:
        return int(text)
    except ValueError:
        return value


def finite_number(text: str) -> int | float:
    """A number as `number` reads it, refused when infinite or NaN."""
    value = number(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def whole_number(low: int, high: int, what: str) -> Callable[[str], int]:
    """The option type of a whole number from `low` to `high`; `what` names it in messages."""
    def read(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} must be between {low} and {high}, not {value}")
        return value
    return read


def concept_label(text: str) -> str:
    """The --name of the options' concept: any text that shows something."""
    if not text.strip():
        raise argparse.ArgumentTypeError("the name must not be empty")
    return text


class ConceptSpec(NamedTuple):
    """A concept given on the command line as NAME=k1,k2,a,b."""

    name: str
    k1: int | float
    k2: int | float
    a: int | float
    b: int | float


# Words of the expression syntax, and the symbols that they stand for.
WORDS = {"not": "-", "and": "&", "or": "|"}


def is_concept_name(name: str) -> bool:
    """Whether `name` can stand in an expression: an identifier that is no word of the syntax."""
    return name.isidentifier() and name not in WORDS and not keyword.iskeyword(name)


def concept_spec(text: str) -> ConceptSpec:
    """Parse NAME=k1,k2,a,b."""
    name, equals, numbers = text.partition("=")
    name = name.strip()
    if not equals:
        raise argparse.ArgumentTypeError(f"expected NAME=k1,k2,a,b, not {text!r}")
    if not is_concept_name(name):
        raise argparse.ArgumentTypeError(
            f"not a concept name: {name!r} (use letters, digits and _, and no keyword such as "
            "and, or, not)")
    parts = numbers.split(",")
    if len(parts) != 4:
        raise argparse.ArgumentTypeError(f"expected four numbers k1,k2,a,b after {name}=, not {numbers!r}")
    k1, k2 = (number(part.strip()) for part in parts[:2])
    a, b = (finite_number(part.strip()) for part in parts[2:])
    return ConceptSpec(name, k1, k2, a, b)


class BaseOption(argparse.Action):
    """Stores an option of the --name/--k1/--k2/--a/--b concept and notes that it was given."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        setattr(namespace, self.dest, values)
        namespace.base_given = True


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Show the membership degrees of linear fuzzy concepts, and of expressions\n"
                    "combining them, as a table and a text plot.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(base_given=False)
    parser.add_argument("values", nargs="*", type=number, metavar="VALUE",
                        help=f"values whose degrees to show (default: {GRID_POINTS} values "
                             f"evenly spread over [{GRID_LOW}, {GRID_HIGH}])")
    parser.add_argument("--name", type=concept_label, default="lin", action=BaseOption,
                        help="the concept's name (default: %(default)s)")
    parser.add_argument("--k1", type=number, default=0, action=BaseOption,
                        help="lower parameter, at most a (default: %(default)s; a negative "
                             "one as --k1=-inf)")
    parser.add_argument("--k2", type=number, default=1, action=BaseOption,
                        help="upper parameter, kept as given (default: %(default)s)")
    parser.add_argument("--a", type=finite_number, default=0.4, action=BaseOption,
                        help="where the two lines meet (default: %(default)s)")
    parser.add_argument("--b", type=finite_number, default=0.8, action=BaseOption,
                        help="the degree at a, at most 1.0 (default: %(default)s)")
    parser.add_argument("--concept", dest="concepts", type=concept_spec, action="append", default=[],
                        metavar="NAME=K1,K2,A,B",
                        help="another concept, called NAME in expressions; repeat for more")
    parser.add_argument("--expr", dest="expressions", action="append", default=[], metavar="EXPR",
                        help='an expression over the concepts\' names, such as "warm & -hot" or '
                             '"warm and not hot"; repeat for more')
    parser.add_argument("--digits", type=whole_number(0, 16, "the number of decimals"), default=4,
                        metavar="N",
                        help="decimals of the degrees in the table (default: %(default)s)")
    parser.add_argument("--width", type=whole_number(2, PLOT_MAX_WIDTH, "the plot width"), default=PLOT_WIDTH,
                        metavar="COLUMNS",
                        help=f"columns of the plot area, 2 to {PLOT_MAX_WIDTH} (default: %(default)s; "
                             "side by side, at most what fits)")
    parser.add_argument("--no-plot", dest="plot", action="store_false", help="leave out the plot")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def build_concept(args: argparse.Namespace) -> Concept:
    """The concept of --name/--k1/--k2/--a/--b.

    Invalid parameters raise the package's ConceptError (a ValueError).
    """
    from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept

    return LinearConcreteConcept(args.name, args.k1, args.k2, args.a, args.b)


class UsageError(ValueError):
    """A concept definition or an expression of the command line that cannot be used."""


# The tokens of an expression: a number, a name (or word), or one of - & | ( ).
TOKEN = re.compile(r"\s*(?:(?P<number>(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?)"
                   r"|(?P<name>[^\W\d]\w*)|(?P<symbol>[-&|()]))")


class Token(NamedTuple):
    kind: str  # "number", "name", "symbol" (words of the syntax become their symbols) or "end"
    text: str
    column: int  # 1-based, for messages


def tokenize(text: str) -> list[Token]:
    tokens = []
    position = 0
    while text[position:].strip():
        match = TOKEN.match(text, position)
        if match is None:
            column = len(text) - len(text[position:].lstrip()) + 1
            raise UsageError(f"unexpected {text[column - 1]!r} at column {column} of {text!r}")
        kind = match.lastgroup or ""
        word = match.group(kind)
        column = match.start(kind) + 1
        if kind == "name" and word in WORDS:
            tokens.append(Token("symbol", WORDS[word], column))
        else:
            tokens.append(Token(kind, word, column))
        position = match.end()
    tokens.append(Token("end", "", len(text) + 1))
    return tokens


class ExpressionParser:
    """Builds the combined concept that an expression describes.

    expression := conjunction (("|" | "or") conjunction)*
    conjunction := negation (("&" | "and") negation)*
    negation := ("-" | "not") negation | "(" expression ")" | NAME | NUMBER

    The grammar is read with a stack of pending connectives and one of operands rather
    than by recursion, so that an expression may nest as deeply as memory allows.

    Concepts are combined with their own operators, so that a LinearConcreteConcept
    hands the work to OperatorConcept as it does in a program; a number, which has no
    such operators, goes to OperatorConcept directly.
    """

    BINDING = {"|": 1, "&": 2}  # how tightly each binary connective binds

    def __init__(self, text: str, concepts: dict[str, Concept]) -> None:
        self.text = text
        self.concepts = concepts
        self.tokens = tokenize(text)
        self.index = 0
        self.pending: list[str] = []  # "(", "-", "&" and "|" not yet applied, innermost last
        self.operands: list[Any] = []

    def parse(self) -> Concept:
        while True:
            while self.at("-") or self.at("("):
                self.pending.append(self.take().text)
            self.operands.append(self.operand())
            self.close_groups()
            if not (self.at("|") or self.at("&")):
                break
            symbol = self.take().text
            # Left to right: what binds at least as tightly as `symbol` applies first.
            while self.pending and self.BINDING.get(self.pending[-1], 0) >= self.BINDING[symbol]:
                self.apply()
            self.pending.append(symbol)
        while self.pending and self.pending[-1] != "(":
            self.apply()
        if self.pending:
            self.fail("expected ')'")
        if self.peek().kind != "end":
            self.fail(f"unexpected {self.peek().text!r}")
        (result,) = self.operands
        if isinstance(result, (int, float)):
            raise UsageError(f"the expression {self.text!r} names no concept")
        concept: Concept = result
        return concept

    def close_groups(self) -> None:
        """After an operand: applies the negations before it and closes each group that ends there."""
        while True:
            while self.pending and self.pending[-1] == "-":
                self.apply()
            if not self.at(")"):
                return
            while self.pending and self.pending[-1] != "(":
                self.apply()
            if not self.pending:
                self.fail("unexpected ')'")
            self.pending.pop()
            self.take()

    def apply(self) -> None:
        """Combines the last operands by the innermost pending connective."""
        symbol = self.pending.pop()
        if symbol == "-":
            self.operands.append(combine("-", self.operands.pop()))
        else:
            second = self.operands.pop()
            self.operands.append(combine(symbol, self.operands.pop(), second))

    def peek(self) -> Token:
        return self.tokens[self.index]

    def take(self) -> Token:
        token = self.tokens[self.index]
        self.index += 1
        return token

    def at(self, symbol: str) -> bool:
        token = self.peek()
        return token.kind == "symbol" and token.text == symbol

    def fail(self, message: str) -> NoReturn:
        token = self.peek()
        where = "at the end" if token.kind == "end" else f"at column {token.column}"
        raise UsageError(f"{message} {where} of {self.text!r}")

    def operand(self) -> Any:
        """A concept's name or a constant degree."""
        token = self.peek()
        if token.kind == "name":
            self.take()
            if token.text not in self.concepts:
                known = ", ".join(sorted(self.concepts)) or "none"
                raise UsageError(f"unknown concept {token.text!r} in {self.text!r} (defined: {known})")
            return self.concepts[token.text]
        if token.kind == "number":
            self.take()
            degree = float(token.text)
            if not 0.0 <= degree <= 1.0:
                raise UsageError(f"a constant degree lies between 0 and 1, not {token.text} in {self.text!r}")
            return degree
        self.fail("expected a concept name, a number, '-', 'not' or '('")


def combine(symbol: str, first: Any, second: Any = None) -> Any:
    """`first` combined by the connective `symbol` (with `second` for & and |)."""
    from tolvane.ostrel.concept.operator_concept import OperatorConcept

    constant = isinstance(first, (int, float))
    if symbol == "-":
        return OperatorConcept.not_(first) if constant else -first
    if symbol == "&":
        return OperatorConcept.and_(first, second) if constant else first & second
    return OperatorConcept.or_(first, second) if constant else first | second


def parse_expression(text: str, concepts: dict[str, Concept]) -> Concept:
    """The concept that the expression `text` builds from the named `concepts`.

    Raises UsageError, with the place, when the text cannot be read or names an
    unknown concept.
    """
    return ExpressionParser(text, concepts).parse()


def build_shown(args: argparse.Namespace) -> list[tuple[str, Concept]]:
    """(label, concept) for everything to show, in order.

    Raises UsageError for a name defined twice or an expression that cannot be used,
    and the package's ConceptError for invalid parameters, prefixed by the options that
    they come from.
    """
    from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept
    from tolvane.ostrel.util.util import ConceptError

    shown: list[tuple[str, Concept]] = []
    defined: dict[str, Concept] = {}
    try:
        base = build_concept(args)
    except ConceptError as error:
        # The class's message gives the numbers; the options it is about go in front.
        options = "--k1 and --a" if args.k1 > args.a else "--b"
        raise ConceptError(f"{options}: {error}") from None
    # A --concept may take the name of the --name concept only while that one is not shown.
    replaceable = set()
    if args.base_given or not args.concepts:
        shown.append((args.name, base))
    else:
        replaceable.add(args.name)
    if is_concept_name(args.name):
        defined[args.name] = base
    for spec in args.concepts:
        if spec.name in defined and spec.name not in replaceable:
            raise UsageError(f"the concept {spec.name!r} is defined twice")
        replaceable.discard(spec.name)
        try:
            concept = LinearConcreteConcept(spec.name, spec.k1, spec.k2, spec.a, spec.b)
        except ConceptError as error:
            raise ConceptError(f"--concept {spec.name}: {error}") from None
        defined[spec.name] = concept
        shown.append((spec.name, concept))
    for text in args.expressions:
        shown.append((" ".join(text.split()), parse_expression(text, defined)))
    return shown


def grid(low: float, high: float, count: int) -> list[float]:
    """`count` evenly spaced values from `low` to `high`, both included."""
    if count == 1:
        return [low]
    step = (high - low) / (count - 1)
    return [low + i * step for i in range(count - 1)] + [high]


def format_degree(degree: float, digits: int) -> str:
    return f"{degree:.{digits}f}" if isinstance(degree, (int, float)) else str(degree)


def render_table(concept: Concept, values: Sequence[float], digits: int) -> list[str]:
    """Two right-aligned columns: each value and its degree."""
    rows = [(str(value), format_degree(concept.get_membership_degree(value), digits)) for value in values]
    value_width = max([len("value")] + [len(value) for value, _ in rows])
    degree_width = max([len("degree")] + [len(degree) for _, degree in rows])
    lines = [f"  {'value':>{value_width}}  {'degree':>{degree_width}}"]
    lines += [f"  {value:>{value_width}}  {degree:>{degree_width}}" for value, degree in rows]
    return lines


def plot_cells(concept: Concept, marked: Sequence[float], width: int, height: int) -> list[list[str]]:
    """The plot area of `concept` as rows of cells, degree 1 at the top.

    Each column shows the degree at its value as "*"; the columns of the values in
    `marked` show "o" instead. A degree that is no number, or NaN, is left out.
    """
    columns = grid(GRID_LOW, GRID_HIGH, width)
    span = GRID_HIGH - GRID_LOW
    cells = [[" "] * width for _ in range(height)]

    def put(column: int, degree: float, mark: str) -> None:
        if not isinstance(degree, (int, float)) or math.isnan(degree):
            return
        level = round(min(max(float(degree), 0.0), 1.0) * (height - 1))
        cells[height - 1 - level][column] = mark

    for column, value in enumerate(columns):
        put(column, concept.get_membership_degree(value), "*")
    for value in marked:
        if GRID_LOW <= value <= GRID_HIGH:
            put(round((value - GRID_LOW) / span * (width - 1)), concept.get_membership_degree(value), "o")
    return cells


def level_label(row: int, height: int) -> str:
    """The degree written left of a plot row: every other row, or every row of a low plot."""
    level = (height - 1 - row) / (height - 1)
    return f"{level:5.2f}" if row % 2 == 0 or height <= 6 else ""


def render_plot(concept: Concept, marked: Sequence[float], width: int = PLOT_WIDTH,
                height: int = PLOT_HEIGHT) -> list[str]:
    """A text plot of the degree over [GRID_LOW, GRID_HIGH] (see `plot_cells`)."""
    cells = plot_cells(concept, marked, width, height)
    lines = ["degree"]
    for row, cell_row in enumerate(cells):
        lines.append(f"{level_label(row, height):>5} |{''.join(cell_row).rstrip()}")
    lines.append(f"{'':5} +{'-' * width}")
    lines.append(f"{'':5}  {axis_labels(width)}  value")
    return lines


def axis_labels(width: int) -> str:
    """Labels under the plot at 0, 0.5 and 1 and at both ends, where there is room."""
    row = [" "] * width
    span = GRID_HIGH - GRID_LOW
    for value in (GRID_LOW, GRID_HIGH, 0.0, 1.0, 0.5):
        text = f"{value:g}"
        column = round((value - GRID_LOW) / span * (width - 1))
        start = min(max(column - len(text) // 2, 0), width - len(text))
        if start >= 0 and all(cell == " " for cell in row[max(start - 1, 0):start + len(text) + 1]):
            row[start:start + len(text)] = text
    return "".join(row).rstrip()


def render(concept: Concept, values: Sequence[float], *, marked: Sequence[float] = (),
           digits: int = 4, plot: bool = True, width: int = PLOT_WIDTH) -> list[str]:
    """All output lines for `concept`: its name, the table of `values` and, if asked, the plot
    with the values in `marked` marked."""
    computed = concept.compute_name()
    name = getattr(concept, "name", None)
    lines = [computed if name is None or name == computed else f"{name} = {computed}", ""]
    lines += render_table(concept, values, digits)
    if plot:
        lines.append("")
        lines += render_plot(concept, marked, width)
    return lines


def panel_layout(count: int, width: int) -> tuple[int, int]:
    """(panels in a row, columns of each panel's plot area) for `count` panels side by side.

    As many panels go in a row as fit at PANEL_MIN_WIDTH, and each is as wide as fits,
    at most `width`.
    """
    room = MAX_COLUMNS - AXIS_COLUMNS + PANEL_GAP
    per_row = max(1, min(count, room // (PANEL_MIN_WIDTH + PANEL_GAP)))
    return per_row, max(2, min(width, room // per_row - PANEL_GAP))


def render_columns(titles: Sequence[str], concepts: Sequence[Concept], values: Sequence[float],
                   digits: int) -> list[str]:
    """A table with a column of values and a column of degrees for each concept."""
    rows = [[str(value)] + [format_degree(concept.get_membership_degree(value), digits) for concept in concepts]
            for value in values]
    headers = ["value", *titles]
    widths = [max([len(header)] + [len(row[index]) for row in rows]) for index, header in enumerate(headers)]
    return ["  " + "  ".join(cell.rjust(width) for cell, width in zip(row, widths))
            for row in [headers, *rows]]


def render_panels(titles: Sequence[str], concepts: Sequence[Concept], marked: Sequence[float],
                  width: int, height: int = PLOT_HEIGHT) -> list[str]:
    """The plots of `concepts` side by side, each under its title, with one degree axis per row
    of panels; rows of panels follow one another when they do not fit in one."""
    per_row, panel_width = panel_layout(len(concepts), width)
    gap = " " * PANEL_GAP
    lines: list[str] = []
    for start in range(0, len(concepts), per_row):
        group = range(start, min(start + per_row, len(concepts)))
        grids = [plot_cells(concepts[index], marked, panel_width, height) for index in group]
        if lines:
            lines.append("")
        lines.append(("degree".ljust(AXIS_COLUMNS)
                      + gap.join(titles[index].ljust(panel_width) for index in group)).rstrip())
        for row in range(height):
            cells = " |".join("".join(grid_rows[row]) for grid_rows in grids)
            lines.append(f"{level_label(row, height):>5} |{cells}".rstrip())
        lines.append(f"{'':5} +" + " +".join("-" * panel_width for _ in group))
        lines.append((" " * AXIS_COLUMNS + gap.join(axis_labels(panel_width).ljust(panel_width) for _ in group))
                     .rstrip())
    return lines


def wrap_name(text: str) -> list[str]:
    """`text` over lines of at most MAX_COLUMNS, broken between the words of an expression
    but never inside a call such as linear(0.0, 1.0, 0.4, 0.8)."""
    kept = re.sub(r"\w+\([^()]*\)", lambda call: call.group().replace(" ", "\0"), text)
    lines = textwrap.wrap(kept, MAX_COLUMNS, subsequent_indent="    ", break_long_words=False,
                          break_on_hyphens=False)
    return [line.replace("\0", " ") for line in lines]


def render_side_by_side(shown: Sequence[tuple[str, Concept]], values: Sequence[float], *,
                        marked: Sequence[float] = (), digits: int = 4, plot: bool = True,
                        width: int = PLOT_WIDTH) -> list[str]:
    """All output lines for several concepts: a line naming each, the table of `values` with
    a column for each and, if asked, their plots side by side.

    Each concept goes by its label; when a label does not fit its table column or plot
    panel within MAX_COLUMNS, all of them go by their numbers (#1, #2, ...), which the
    naming lines give.
    """
    labels = [label for label, _ in shown]
    concepts = [concept for _, concept in shown]
    titles = labels
    table = render_columns(titles, concepts, values, digits)
    panel_width = panel_layout(len(concepts), width)[1]
    if max(map(len, table)) > MAX_COLUMNS or (plot and max(map(len, labels)) > panel_width):
        titles = [f"#{number}" for number in range(1, len(shown) + 1)]
        table = render_columns(titles, concepts, values, digits)
    lines = []
    for title, label, concept in zip(titles, labels, concepts):
        computed = concept.compute_name()
        named = computed if label == computed else f"{label} = {computed}"
        lines += wrap_name(named if title == label else f"{title} {named}")
    lines += ["", *table]
    if plot:
        lines += ["", *render_panels(titles, concepts, marked, width)]
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with `argv` (default: the process's arguments); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help, or a usage error already reported by argparse
        return stop.code if isinstance(stop.code, int) else 2
    values = args.values or grid(GRID_LOW, GRID_HIGH, GRID_POINTS)
    try:
        shown = build_shown(args)
        if len(shown) == 1:
            lines = render(shown[0][1], values, marked=args.values, digits=args.digits, plot=args.plot,
                           width=args.width)
        else:
            lines = render_side_by_side(shown, values, marked=args.values, digits=args.digits,
                                        plot=args.plot, width=args.width)
    except UsageError as error:
        # Reported like argparse's own usage errors.
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except (ValueError, TypeError, ArithmeticError) as error:
        # ConceptError (a ValueError) carries a message meant for the user as it is.
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    try:
        print("\n".join(lines), flush=True)
    except BrokenPipeError:
        # The reader stopped early (as `| head` does): send what is left nowhere, quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
