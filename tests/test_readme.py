"""The README's usage example runs as written, and CI runs its test command as written."""

from __future__ import annotations

import doctest
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"


def test_usage_example():
    failures, tried = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 0
    assert failures == 0


def test_ci_runs_the_readme_test_command():
    blocks = re.findall(r"```sh\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)
    (command,) = [line for block in blocks for line in block.splitlines() if line.endswith("-m pytest")]
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8").splitlines()
    assert command in [line.strip() for line in ci]
