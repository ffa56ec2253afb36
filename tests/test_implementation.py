"""Which linear_concrete_concept is in use, compiled or plain, as the package reports it."""

from __future__ import annotations

import importlib.machinery
import os
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import ROOT, run_python
import tolvane.ostrel.concept.concrete as concrete
from tolvane.ostrel.concept.concrete import linear_concrete_concept


def test_the_installed_module_is_the_compiled_one():
    assert concrete.implementation() == "compiled"
    assert linear_concrete_concept.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_a_package_without_the_extension_reports_the_plain_module(tmp_path):
    # The package's sources without any built extension, as the fallback install has them.
    shutil.copytree(ROOT / "python" / "tolvane", tmp_path / "tolvane",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    code = ("import sys; sys.path.insert(0, sys.argv[1])\n"
            "from tolvane.ostrel.concept.concrete import implementation, linear_concrete_concept as m\n"
            "print(implementation(), m.__file__, m.LinearConcreteConcept('w', 0, 1, 0.4, 0.8).compute_name())")
    # -S: the copied tree alone, without site-packages, where an editable install's finder
    # would answer for these names.
    result = run_python(None, "-S", "-c", code, str(tmp_path))
    kind, path, name = result.stdout.split(" ", 2)
    assert kind == "plain"
    assert Path(path) == tmp_path / "tolvane" / "ostrel" / "concept" / "concrete" / "linear_concrete_concept.py"
    assert name == "linear(0.0, 1.0, 0.4, 0.8)\n"


def test_a_free_threaded_interpreter_gets_the_plain_module(tmp_path):
    # No free-threaded CPython here: the interpreter the build asks is told that it is one.
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "sitecustomize.py").write_text(
        "import sysconfig\n"
        "real = sysconfig.get_config_var\n"
        "sysconfig.get_config_var = lambda name: 1 if name == 'Py_GIL_DISABLED' else real(name)\n")
    result = subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(fake)})
    assert result.returncode == 0, result.stderr
    message = " ".join(result.stderr.split())
    assert "installing the readable plain-Python module instead of the compiled one, because the " \
           "extension needs the global interpreter lock, and this CPython is a free-threaded build" in message
