"""What the installed distribution says about itself: version, licence, classifiers."""

from __future__ import annotations

import importlib.metadata

import tolvane.ostrel

DISTRIBUTION = importlib.metadata.distribution("tolvane-ostrel")


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
    assert versions and all(version.startswith("3.") for version in versions)
    assert any(c.startswith("Development Status :: ") for c in classifiers)
    assert any(c.startswith("Operating System :: ") for c in classifiers)
