"""The fuzzy-linear command: name, table of degrees, plot, and clear errors."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

from tolvane.ostrel import cli


def run_main(capsys, *argv):
    status = cli.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def run_command(*argv, module="tolvane.ostrel.cli"):
    """The command in a fresh interpreter, as `python -m tolvane.ostrel.cli`."""
    return subprocess.run([sys.executable, "-m", module, *argv],
                          capture_output=True, text=True, timeout=60)


def table_rows(out):
    """The (value, degree) rows of the table, as texts."""
    lines = out.splitlines()
    start = next(index for index, line in enumerate(lines) if line.split() == ["value", "degree"])
    rows = []
    for line in lines[start + 1:]:
        if not line.strip():
            break
        rows.append(tuple(line.split()))
    return rows


def test_degrees_of_given_values(capsys):
    status, out, err = run_main(capsys, "--a", "0.5", "--b", "0.25", "0.25", "0.5", "0.75", "-1", "2")
    assert status == 0 and err == ""
    assert out.splitlines()[0] == "lin = linear(0.0, 1.0, 0.5, 0.25)"
    assert table_rows(out) == [("0.25", "0.1250"), ("0.5", "0.2500"), ("0.75", "0.6250"),
                               ("-1", "0.0000"), ("2", "1.0000")]


def test_default_grid_and_plot(capsys):
    status, out, err = run_main(capsys)
    assert status == 0 and err == ""
    assert "linear(0.0, 1.0, 0.4, 0.8)" in out.splitlines()[0]
    rows = table_rows(out)
    assert [value for value, _ in rows][0] == "-0.25" and [value for value, _ in rows][-1] == "1.25"
    assert len(rows) == cli.GRID_POINTS
    assert dict(rows)["0.25"] == "0.5000"
    lines = out.splitlines()
    plot = lines[lines.index("degree"):]
    assert len(plot) == cli.PLOT_HEIGHT + 3
    assert all(len(line) <= 80 for line in lines)
    # Saturated at both ends: the bottom row starts with the curve, the top row ends with it.
    assert plot[-3].startswith(" 0.00 |*") and plot[1].startswith(" 1.00 |") and plot[1].endswith("*")


def test_name_digits_and_no_plot(capsys):
    status, out, _ = run_main(capsys, "--name", "warm", "--k1", "0", "--k2", "40", "--a", "0.4", "--b", "0.8",
                              "--digits", "16", "--no-plot", "0.7")
    assert status == 0
    assert out.splitlines()[0] == "warm = linear(0.0, 40.0, 0.4, 0.8)"
    assert table_rows(out) == [("0.7", "0.9000000000000001")]
    assert "degree" not in out.splitlines() and "+--" not in out


@pytest.mark.parametrize("width", ["2", "30", str(cli.PLOT_MAX_WIDTH)])
def test_plot_fits_in_80_columns(capsys, width):
    status, out, _ = run_main(capsys, "--width", width, "--a", "2", "--b", "0.5", "-0.1", "0.3", "1.2")
    assert status == 0
    assert all(len(line) <= 80 for line in out.splitlines())
    if width != "2":
        assert out.count("o") >= 3  # the given values are marked on the curve


def test_plot_shape():
    class Step:
        def get_membership_degree(self, value):
            return 0.0 if value < 0.5 else 1.0

    plot = cli.render_plot(Step(), (), width=13, height=3)
    assert plot == [
        "degree",
        " 1.00 |      *******",
        " 0.50 |",
        " 0.00 |******",
        "      +-------------",
        "       -0.25    1.25  value",
    ]


@pytest.mark.parametrize("argv, message", [
    (["--k1", "5", "--a", "2"], "--k1 and --a: Error: Linear functions require 5 <= 2"),
    (["--k1=-inf", "--b", "1.5"], "--b: Error: Linear functions require 1.5 <= 1.0"),
    (["--k1", "1", "--a", "0.5", "--b", "2"], "--k1 and --a: Error: Linear functions require 1 <= 0.5"),
])
def test_invalid_parameters_name_their_options(capsys, argv, message):
    status, out, err = run_main(capsys, *argv)
    assert status == 1 and out == ""
    assert err == f"fuzzy-linear: {message}\n"


HUGE = "9" * 401


@pytest.mark.parametrize("argv, message", [
    (["--a", "nan"], "argument --a: not a finite number: 'nan'"),
    (["--a=-inf"], "argument --a: not a finite number: '-inf'"),
    (["--k2", HUGE], "argument --k2: too large for a float: '999999999999...' (401 characters)"),
    (["--a", "1e400"], "argument --a: too large for a float: '1e400'"),
    (["--", HUGE], "argument VALUE: too large for a float: "),
    (["--concept", "c=0,1,nan,0.5"], "argument --concept: not a finite number: 'nan'"),
    (["--width", "abc"], "argument --width: not a whole number: 'abc'"),
    (["--digits", "17"], "argument --digits: the number of decimals must be between 0 and 16, not 17"),
    (["--name", ""], "argument --name: the name must not be empty"),
])
def test_unusable_options_are_refused_by_name(capsys, argv, message):
    status, out, err = run_main(capsys, *argv)
    assert status == 2 and out == ""
    assert f"fuzzy-linear: error: {message}" in err and "Traceback" not in err


def test_negative_numbers_as_the_help_writes_them(capsys):
    _, help_text, _ = run_main(capsys, "--help")
    assert "--k1=-inf" in help_text
    status, out, _ = run_main(capsys, "--k1=-inf", "--k2=-1e3", "--no-plot", "0.2")
    assert status == 0 and out.startswith("lin = linear(-inf, -1000.0, 0.4, 0.8)\n")


def test_invalid_parameters_in_a_process():
    result = run_command("--k1", "5", "--a", "2")
    assert result.returncode != 0 and result.stdout == ""
    assert result.stderr.strip() == "fuzzy-linear: --k1 and --a: Error: Linear functions require 5 <= 2"


@pytest.mark.parametrize("module", ["tolvane.ostrel.cli", "tolvane.ostrel"])
def test_runs_as_a_module(module):
    result = run_command("0.2", "0.7", module=module)
    assert result.returncode == 0, result.stderr
    assert table_rows(result.stdout) == [("0.2", "0.4000"), ("0.7", "0.9000")]


def test_version(capsys):
    from tolvane.ostrel import __version__

    status, out, _ = run_main(capsys, "--version")
    assert status == 0 and out == f"fuzzy-linear {__version__}\n"


def test_not_a_number(capsys):
    status, _, err = run_main(capsys, "--a", "wide")
    assert status == 2
    assert "not a number: 'wide'" in err and "Traceback" not in err


def test_help_explains_with_an_example(capsys):
    status, out, _ = run_main(capsys, "--help")
    assert status == 0
    assert "usage: fuzzy-linear" in out and "examples:" in out and "--a 0.5 --b 0.25" in out


# ---------------------------------------------------------------------------------------
# Several concepts and expressions, side by side


WARM_HOT = ("--concept", "warm=0,1,0.4,0.8", "--concept", "hot=0,1,0.7,0.2")


def table_columns(out):
    """The table as {header: [cells]}, for a table of several columns."""
    lines = out.splitlines()
    start = next(index for index, line in enumerate(lines) if line.split()[:1] == ["value"])
    header = [cell for cell in lines[start].split("  ") if cell.strip()]
    header = [cell.strip() for cell in header]
    rows = []
    for line in lines[start + 1:]:
        if not line.strip():
            break
        rows.append(line.split())
    return {name: [row[index] for row in rows] for index, name in enumerate(header)}


def degree_at(concept, value, digits=4):
    return f"{concept.get_membership_degree(value):.{digits}f}"


@pytest.fixture
def warm_hot():
    from tolvane.ostrel.concept.concrete.linear_concrete_concept import LinearConcreteConcept

    return LinearConcreteConcept("warm", 0, 1, 0.4, 0.8), LinearConcreteConcept("hot", 0, 1, 0.7, 0.2)


def test_concepts_and_an_expression_side_by_side(capsys, warm_hot):
    warm, hot = warm_hot
    status, out, err = run_main(capsys, *WARM_HOT, "--expr", "warm & -hot", "0.3", "0.8")
    assert status == 0 and err == ""
    lines = out.splitlines()
    assert lines[:3] == [
        "warm = linear(0.0, 1.0, 0.4, 0.8)",
        "hot = linear(0.0, 1.0, 0.7, 0.2)",
        "warm & -hot = (linear(0.0, 1.0, 0.4, 0.8) & (not linear(0.0, 1.0, 0.7, 0.2)))",
    ]
    columns = table_columns(out)
    assert list(columns) == ["value", "warm", "hot", "warm & -hot"]
    assert columns["value"] == ["0.3", "0.8"]
    for value, cell in zip((0.3, 0.8), columns["warm & -hot"]):
        expected = min(warm.get_membership_degree(value), 1.0 - hot.get_membership_degree(value))
        assert cell == f"{expected:.4f}"
    assert columns["warm"] == [degree_at(warm, 0.3), degree_at(warm, 0.8)]
    plot = lines[lines.index(next(line for line in lines if line.startswith("degree "))):]
    assert plot[0].split() == ["degree", "warm", "hot", "warm", "&", "-hot"]
    assert len(plot) == cli.PLOT_HEIGHT + 3
    assert all(line.count("|") == 3 for line in plot[1:-2])  # three panels in every row
    assert plot[-2].count("+") == 3
    assert all(len(line) <= 80 for line in lines if not line.startswith("warm & -hot ="))
    assert "o" in "".join(plot[1:-2])  # the given values are marked


def test_panels_share_rows_and_columns():
    class Constant:
        def __init__(self, degree):
            self.degree = degree

        def get_membership_degree(self, value):
            return self.degree

    plot = cli.render_panels(["one", "half"], [Constant(1.0), Constant(0.5)], (), width=13, height=3)
    assert plot == [
        "degree one            half",
        " 1.00 |************* |",
        " 0.50 |              |*************",
        " 0.00 |              |",
        "      +------------- +-------------",
        "       -0.25    1.25  -0.25    1.25",
    ]


@pytest.mark.parametrize("count", [2, 3, 4, 5, 8])
def test_panels_fit_in_80_columns_and_wrap(capsys, count):
    argv = [f"--concept=c{index}=0,1,0.{index + 1},0.5" for index in range(count)]
    status, out, _ = run_main(capsys, *argv)
    assert status == 0
    lines = out.splitlines()
    assert all(len(line) <= 80 for line in lines)
    headers = [line for line in lines if line.startswith("degree")]
    assert len(headers) == -(-count // 4)  # four panels to a row
    assert sum(len(header.split()) - 1 for header in headers) == count


def test_words_and_symbols_mean_the_same(capsys):
    _, by_symbols, _ = run_main(capsys, *WARM_HOT, "--expr", "-(warm | hot) & warm", "--no-plot")
    _, by_words, _ = run_main(capsys, *WARM_HOT, "--expr", "not (warm or hot) and warm", "--no-plot")
    assert list(table_columns(by_symbols).values())[1:] == list(table_columns(by_words).values())[1:]


def test_precedence_and_grouping(warm_hot):
    warm, hot = warm_hot
    concepts = {"warm": warm, "hot": hot}
    assert cli.parse_expression("-warm & hot | warm", concepts).compute_name() == \
        ((-warm & hot) | warm).compute_name()
    assert cli.parse_expression("not warm and (hot or warm)", concepts).compute_name() == \
        (-warm & (hot | warm)).compute_name()
    assert cli.parse_expression("--warm", concepts).compute_name() == (-(-warm)).compute_name()
    assert cli.parse_expression("warm", concepts) is warm


def test_expression_with_a_constant_degree(capsys, warm_hot):
    warm, _ = warm_hot
    status, out, _ = run_main(capsys, *WARM_HOT, "--expr", "warm & 0.5", "--expr", "0.25 | hot", "--no-plot",
                              "0.2", "0.9")
    assert status == 0
    columns = table_columns(out)
    assert columns["warm & 0.5"] == ["0.4000", "0.5000"]
    assert columns["0.25 | hot"][0] == "0.2500"
    assert "warm & 0.5 = (linear(0.0, 1.0, 0.4, 0.8) & 0.5)" in out


def test_the_options_concept_is_shown_without_concepts(capsys):
    status, out, _ = run_main(capsys, "--expr", "not lin", "--expr=-lin", "--no-plot", "0.2")
    assert status == 0
    assert out.splitlines()[0] == "lin = linear(0.0, 1.0, 0.4, 0.8)"
    assert table_columns(out) == {"value": ["0.2"], "lin": ["0.4000"], "not lin": ["0.6000"],
                                  "-lin": ["0.6000"]}


def test_the_options_concept_is_defined_but_not_shown_beside_concepts(capsys):
    status, out, _ = run_main(capsys, *WARM_HOT, "--expr", "warm | lin", "--no-plot", "0.2")
    assert status == 0
    assert list(table_columns(out)) == ["value", "warm", "hot", "warm | lin"]
    status, out, _ = run_main(capsys, "--a", "0.5", *WARM_HOT, "--no-plot", "0.2")
    assert list(table_columns(out)) == ["value", "lin", "warm", "hot"]


def test_a_concept_may_replace_the_unshown_options_concept(capsys):
    status, out, _ = run_main(capsys, "--concept", "lin=0,1,0.5,0.25", "--expr=-lin", "--no-plot", "0.25")
    assert status == 0
    assert table_columns(out)["lin"] == ["0.1250"]
    status, _, err = run_main(capsys, "--b", "0.5", "--concept", "lin=0,1,0.5,0.25")
    assert status == 2 and "the concept 'lin' is defined twice" in err


def test_one_concept_alone_is_shown_as_before(capsys):
    status, out, _ = run_main(capsys, "--concept", "warm=0,1,0.5,0.25", "0.25")
    assert status == 0
    assert out.splitlines()[0] == "warm = linear(0.0, 1.0, 0.5, 0.25)"
    assert table_rows(out) == [("0.25", "0.1250")]


def test_long_labels_go_by_numbers(capsys):
    expression = "((warm or hot) and not hot) | (-warm & (hot | warm))"
    status, out, _ = run_main(capsys, *WARM_HOT, "--expr", expression)
    assert status == 0
    lines = out.splitlines()
    assert lines[0] == "#1 warm = linear(0.0, 1.0, 0.4, 0.8)"
    assert lines[2].startswith(f"#3 {expression} =")
    naming = " ".join(line.strip() for line in lines[2:lines.index("")])
    assert naming == (f"#3 {expression} = (((linear(0.0, 1.0, 0.4, 0.8) | linear(0.0, 1.0, 0.7, 0.2)) & "
                      "(not linear(0.0, 1.0, 0.7, 0.2))) | ((not linear(0.0, 1.0, 0.4, 0.8)) & "
                      "(linear(0.0, 1.0, 0.7, 0.2) | linear(0.0, 1.0, 0.4, 0.8))))")
    assert all(len(line) <= 80 for line in lines)
    # The long name goes on over indented lines, never inside linear(...).
    continued = [line for line in lines[3:] if line.startswith("    ") and "linear" in line]
    assert continued and all(line.count("linear(") == line.count("0.2)") + line.count("0.8)")
                             for line in continued)
    assert list(table_columns(out)) == ["value", "#1", "#2", "#3"]
    assert next(line for line in lines if line.startswith("degree")).split() == ["degree", "#1", "#2", "#3"]


def test_no_plot_side_by_side(capsys):
    status, out, _ = run_main(capsys, *WARM_HOT, "--no-plot")
    assert status == 0 and "+--" not in out and "degree" not in out


@pytest.mark.parametrize("argv, message", [
    (["--expr", "warm & & hot"], "expected a concept name, a number, '-', 'not' or '(' at column 8 of "
                                 "'warm & & hot'"),
    (["--expr", "warm & cold"], "unknown concept 'cold' in 'warm & cold' (defined: hot, lin, warm)"),
    (["--expr", "(warm | hot"], "expected ')' at the end of '(warm | hot'"),
    (["--expr", "warm hot"], "unexpected 'hot' at column 6 of 'warm hot'"),
    (["--expr", "warm % hot"], "unexpected '%' at column 6 of 'warm % hot'"),
    (["--expr", "warm & 2"], "a constant degree lies between 0 and 1, not 2 in 'warm & 2'"),
    (["--expr", "0.5"], "the expression '0.5' names no concept"),
    (["--concept", "warm=0,1,0.2,0.3"], "the concept 'warm' is defined twice"),
    (["--concept", "cold"], "argument --concept: expected NAME=k1,k2,a,b, not 'cold'"),
    (["--concept", "or=0,1,0.2,0.3"], "argument --concept: not a concept name: 'or'"),
    (["--concept", "2x=0,1,0.2,0.3"], "argument --concept: not a concept name: '2x'"),
    (["--concept", "cold=0,1,0.2"], "argument --concept: expected four numbers k1,k2,a,b after cold=, not '0,1,0.2'"),
    (["--concept", "cold=0,1,wide,0.2"], "argument --concept: not a number: 'wide'"),
])
def test_unusable_expressions_and_concepts(capsys, argv, message):
    status, out, err = run_main(capsys, *WARM_HOT, *argv)
    assert status == 2 and out == ""
    assert err.startswith("usage: fuzzy-linear") and f"fuzzy-linear: error: {message}" in err
    assert "Traceback" not in err


@pytest.mark.parametrize("expression, expected", [
    ("not " * 400 + "warm", lambda warm, hot: warm),
    ("-" * 5001 + "warm", lambda warm, hot: 1.0 - warm),
    (" | ".join(["hot", "warm"] * 170), max),
    ("(" * 3000 + "warm" + " & hot)" * 3000, min),
    ("not (" * 301 + "hot" + ")" * 301, lambda warm, hot: 1.0 - hot),
])
def test_deep_expressions_evaluate(capsys, warm_hot, expression, expected):
    # Neither reading the expression nor computing the combined concept runs into a
    # recursion limit.
    status, out, err = run_main(capsys, *WARM_HOT, f"--expr={expression}", "--no-plot", "0.5")
    assert (status, err) == (0, "")
    (degree,) = table_columns(out)["#3"]
    assert degree == f"{expected(*(concept.get_membership_degree(0.5) for concept in warm_hot)):.4f}"
    assert out.count("linear(") == expression.count("warm") + expression.count("hot") + 2


def test_invalid_concept_parameters_name_the_concept(capsys):
    status, out, err = run_main(capsys, "--concept", "cold=5,1,2,0.5")
    assert status == 1 and out == ""
    assert err.strip() == "fuzzy-linear: --concept cold: Error: Linear functions require 5 <= 2"


def test_expressions_in_a_process():
    result = run_command(*WARM_HOT, "--expr=-warm | hot", "--no-plot", "0.5")
    assert result.returncode == 0, result.stderr
    assert table_columns(result.stdout)["-warm | hot"] == ["0.1667"]


def test_help_explains_expressions_within_80_columns(capsys):
    status, out, _ = run_main(capsys, "--help")
    assert status == 0
    for text in ("--concept NAME=K1,K2,A,B", "--expr EXPR", '--expr "warm & -hot"', "not x", "x and y",
                 "x or y", "--expr=-x"):
        assert text in out, text
    assert all(len(line) <= 80 for line in out.splitlines())
