"""Concrete fuzzy concepts.

The compiled ``linear_concrete_concept`` module's traceback entries name lines of the
readable ``linear_concrete_concept.py`` shipped with it. Its loader answers ``get_source``
with that file, so that the ``traceback`` module and ``linecache`` show the failing line. On
an interpreter that cannot load the compiled module, the ``.py`` file is imported
instead, as usual.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
from collections.abc import Sequence
from types import ModuleType

_COMPILED_NAME = __name__ + ".linear_concrete_concept"
_SOURCE_NAME = "linear_concrete_concept.py"


def source_path(directories: Sequence[str] = ()) -> str | None:
    """The readable ``linear_concrete_concept.py``: the first found in `directories`, then in
    this package's ``__path__``; None if there is none.

    An ordinary install has it beside the compiled module. An editable one installs the
    compiled module elsewhere than the package's Python files, and the package's
    ``__path__`` lists both places.
    """
    for directory in (*directories, *__path__):
        candidate = os.path.join(directory, _SOURCE_NAME)
        if os.path.isfile(candidate):
            return candidate
    return None


class CompiledModuleLoader(importlib.machinery.ExtensionFileLoader):
    """Loads the compiled module; its source is the readable module (see `source_path`)."""

    def get_source(self, fullname: str) -> str | None:  # type: ignore[override]
        source = source_path([os.path.dirname(self.path)])
        if source is None:
            return None
        try:
            with open(source, encoding="utf-8") as text:
                return text.read()
        except OSError:
            return None


class CompiledModuleFinder:
    """Finds the compiled module where the ordinary finder would, with the loader above."""

    @classmethod
    def find_spec(
        cls, fullname: str, path: Sequence[str] | None = None, target: ModuleType | None = None
    ) -> importlib.machinery.ModuleSpec | None:
        if fullname != _COMPILED_NAME:
            return None
        for directory in path or __path__:
            for suffix in importlib.machinery.EXTENSION_SUFFIXES:
                candidate = os.path.join(directory, "linear_concrete_concept" + suffix)
                if os.path.isfile(candidate):
                    loader = CompiledModuleLoader(fullname, candidate)
                    return importlib.util.spec_from_file_location(fullname, candidate, loader=loader)
        return None


# Once per process, even if this package is reloaded.
if not any(getattr(finder, "__module__", None) == __name__ for finder in sys.meta_path):
    sys.meta_path.insert(0, CompiledModuleFinder)


def implementation() -> str:
    """Which ``linear_concrete_concept`` is in use: ``"compiled"`` or ``"plain"``.

    ``"plain"`` is the readable Python module, installed alone where the extension was not
    built and imported where it cannot load. The module is imported if it is not yet.
    """
    module = importlib.import_module(_COMPILED_NAME)
    loader = getattr(module, "__loader__", None)
    return "compiled" if isinstance(loader, importlib.machinery.ExtensionFileLoader) else "plain"
