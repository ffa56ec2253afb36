"""fuzzy-linear: show the membership function of a linear fuzzy concept.

The command builds a ``LinearConcreteConcept`` from the numbers k1, k2, a and b,
prints its name, a table of membership degrees and a small text plot of the
function. Parsing the command line, building the concept and rendering it are
separate steps (``build_parser``, ``build_concept``, ``render``), and rendering
uses only ``compute_name`` and ``get_membership_degree``, so any concept,
combined ones included, can be shown the same way.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Protocol, Sequence

PROG = "fuzzy-linear"

# The plotted stretch of values: a little beyond the rising part [0, 1] on either side.
GRID_LOW = -0.25
GRID_HIGH = 1.25
GRID_POINTS = 13

# Plot size: the plot area plus its axis labels (14 columns) stays within 80 columns.
PLOT_WIDTH = 61
PLOT_MAX_WIDTH = 66
PLOT_HEIGHT = 11

EXAMPLES = """\
examples:
  fuzzy-linear                        degrees on a grid over [-0.25, 1.25], a=0.4, b=0.8
  fuzzy-linear --a 0.5 --b 0.25 0.25 0.5 0.75
                                      degrees of three values: 0.125, 0.25, 0.625
  fuzzy-linear --name warm --k1 0 --k2 40 --a 0.3 --b 0.6 --no-plot
  fuzzy-linear -- -inf -1e3 0.5       "--" first when a value looks like an option

The degree is 0 at and below 0 and 1 at and above 1; in between it follows a
straight line from (0, 0) to (a, b) and a second one from (a, b) to (1, 1).
k1 must not exceed a, and b must not exceed 1.0.
"""


class Concept(Protocol):
    """What the rendering needs of a concept."""

    def compute_name(self) -> str: ...

    def get_membership_degree(self, value: float) -> float: ...


def number(text: str) -> int | float:
    """An int for integer text, else a float, so that messages show numbers as typed."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def plot_width(text: str) -> int:
    width = int(text)
    if not 2 <= width <= PLOT_MAX_WIDTH:
        raise argparse.ArgumentTypeError(f"the plot width must be between 2 and {PLOT_MAX_WIDTH}")
    return width


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Show the membership degrees of a linear fuzzy concept as a table and a plot.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("values", nargs="*", type=number, metavar="VALUE",
                        help=f"values whose degrees to show (default: {GRID_POINTS} values "
                             f"evenly spread over [{GRID_LOW}, {GRID_HIGH}])")
    parser.add_argument("--name", default="lin", help="the concept's name (default: %(default)s)")
    parser.add_argument("--k1", type=number, default=0, help="lower parameter, at most a (default: %(default)s)")
    parser.add_argument("--k2", type=number, default=1, help="upper parameter, kept as given (default: %(default)s)")
    parser.add_argument("--a", type=number, default=0.4,
                        help="where the two lines meet (default: %(default)s)")
    parser.add_argument("--b", type=number, default=0.8,
                        help="the degree at a, at most 1.0 (default: %(default)s)")
    parser.add_argument("--digits", type=int, default=4, choices=range(0, 17), metavar="N",
                        help="decimals of the degrees in the table (default: %(default)s)")
    parser.add_argument("--width", type=plot_width, default=PLOT_WIDTH, metavar="COLUMNS",
                        help=f"columns of the plot area, 2 to {PLOT_MAX_WIDTH} (default: %(default)s)")
    parser.add_argument("--no-plot", dest="plot", action="store_false", help="leave out the plot")
    return parser


def build_concept(args: argparse.Namespace) -> Concept:
    """The concept that the command line describes.

    Invalid parameters raise the package's ConceptError (a ValueError).
    """
    from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept

    return LinearConcreteConcept(args.name, args.k1, args.k2, args.a, args.b)


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


def render_plot(concept: Concept, marked: Sequence[float], width: int = PLOT_WIDTH,
                height: int = PLOT_HEIGHT) -> list[str]:
    """A text plot of the degree over [GRID_LOW, GRID_HIGH].

    Each column shows the degree at its value as "*"; the columns of the values in
    `marked` show "o" instead. Rows go from degree 1 at the top to 0 at the bottom.
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

    lines = ["degree"]
    for row, cell_row in enumerate(cells):
        level = (height - 1 - row) / (height - 1)
        label = f"{level:5.2f}" if row % 2 == 0 or height <= 6 else ""
        lines.append(f"{label:>5} |{''.join(cell_row).rstrip()}")
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


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with `argv` (default: the process's arguments); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help, or a usage error already reported by argparse
        return stop.code if isinstance(stop.code, int) else 2
    values = args.values or grid(GRID_LOW, GRID_HIGH, GRID_POINTS)
    try:
        concept = build_concept(args)
        lines = render(concept, values, marked=args.values, digits=args.digits, plot=args.plot,
                       width=args.width)
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
