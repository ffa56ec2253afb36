"""What the installed distribution says about itself: version, licence, classifiers."""

from __future__ import annotations

import importlib.metadata
import re
from pathlib import Path

import tolvane.ostrel

DISTRIBUTION = importlib.metadata.distribution("tolvane-ostrel")
ROOT = Path(__file__).resolve().parent.parent


def test_version_is_that_of_the_metadata():
    assert tolvane.ostrel.__version__ == DISTRIBUTION.version


def test_licence_text_is_installed_and_declared():
    metadata = DISTRIBUTION.metadata
    assert metadata["License-Expression"] == "MIT"
    licence = DISTRIBUTION.read_text(f"licenses/{metadata['License-File']}")
    assert licence is not None and licence.startswith("MIT License\n\nCopyright (c) ")


def test_classifiers_name_what_is_supported():
    classifiers = set(DISTRIBUTION.metadata.get_all("Classifier") or ())
    assert {"Programming Language :: Python :: Implementation :: CPython", "Typing :: Typed",
            "Environment :: Console"} <= classifiers
    versions = {c.rsplit(" :: ", 1)[1] for c in classifiers if c.startswith("Programming Language :: Python :: 3.")}
    # Exactly the versions the build makes the compiled module for.
    build = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    first, last = (int(re.search(rf"set\(LCC_PYTHON_{end} 3\.(\d+)\)", build).group(1)) for end in ("FIRST", "LAST"))
    assert versions == {f"3.{minor}" for minor in range(first, last + 1)}
    assert any(c.startswith("Development Status :: ") for c in classifiers)
    assert any(c.startswith("Operating System :: ") for c in classifiers)
