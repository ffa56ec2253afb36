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


def run_command(*argv):
    """The command in a fresh interpreter, as `python -m tolvane.ostrel.cli`."""
    return subprocess.run([sys.executable, "-m", "tolvane.ostrel.cli", *argv],
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
    (["--k1", "5", "--a", "2"], "Error: Linear functions require 5 <= 2"),
    (["--b", "1.5"], "Error: Linear functions require 1.5 <= 1.0"),
])
def test_invalid_parameters(capsys, argv, message):
    status, out, err = run_main(capsys, *argv)
    assert status != 0 and out == ""
    assert message in err and "Traceback" not in err


def test_invalid_parameters_in_a_process():
    result = run_command("--k1", "5", "--a", "2")
    assert result.returncode != 0 and result.stdout == ""
    assert result.stderr.strip() == "fuzzy-linear: Error: Linear functions require 5 <= 2"


def test_runs_as_a_module():
    result = run_command("0.2", "0.7")
    assert result.returncode == 0, result.stderr
    assert table_rows(result.stdout) == [("0.2", "0.4000"), ("0.7", "0.9000")]


def test_not_a_number(capsys):
    status, _, err = run_main(capsys, "--a", "wide")
    assert status == 2
    assert "not a number: 'wide'" in err and "Traceback" not in err


def test_help_explains_with_an_example(capsys):
    status, out, _ = run_main(capsys, "--help")
    assert status == 0
    assert "usage: fuzzy-linear" in out and "examples:" in out and "--a 0.5 --b 0.25" in out
