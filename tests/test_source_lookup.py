"""The compiled module's source lines when the readable module is installed apart from it,
as an editable install does, and the tolvane namespace shared with other distributions."""

from __future__ import annotations

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

from tolvane.ostrel.concept.concrete import linear_concrete_concept

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = Path("tolvane") / "ostrel" / "concept" / "concrete"


def run_isolated(code: str, *path: Path) -> str:
    """`code` in a fresh interpreter that sees only `path` (-S: no site-packages)."""
    prelude = f"import sys; sys.path[:0] = {[str(entry) for entry in path]!r}\n"
    result = subprocess.run([sys.executable, "-S", "-c", prelude + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_traceback_shows_the_source_kept_apart_from_the_extension(tmp_path):
    sources, built = tmp_path / "sources", tmp_path / "built"
    shutil.copytree(ROOT / "python" / "tolvane", sources / "tolvane",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    (built / PACKAGE).mkdir(parents=True)
    shutil.copy2(linear_concrete_concept.__file__, built / PACKAGE)
    out = run_isolated(f"""
        import traceback
        import tolvane.ostrel.concept.concrete as concrete
        concrete.__path__.append({str(built / PACKAGE)!r})  # as an editable install lists it
        from tolvane.ostrel.concept.concrete import implementation, linear_concrete_concept as module
        print(implementation(), module.__loader__.get_source(module.__name__) is not None)
        try:
            module.LinearConcreteConcept("x", 5, 0, 2, 0.5)
        except ValueError:
            print(traceback.format_exc())
    """, sources)
    assert out.startswith("compiled True\n")
    assert 'linear_concrete_concept.py", line 44, in ' in out
    assert '    Util.error(f"Error: Linear functions require {k1} <= {a}")\n' in out


def test_get_source_is_none_without_the_readable_module(tmp_path):
    (tmp_path / PACKAGE).mkdir(parents=True)
    shutil.copy2(ROOT / "python" / PACKAGE / "__init__.py", tmp_path / PACKAGE)
    out = run_isolated(f"""
        from tolvane.ostrel.concept.concrete import CompiledModuleLoader, source_path
        loader = CompiledModuleLoader("linear_concrete_concept", {str(tmp_path / PACKAGE / "extension")!r})
        print(source_path(), loader.get_source(loader.name))
    """, tmp_path)
    assert out == "None None\n"


def test_another_distribution_shares_the_tolvane_namespace(tmp_path):
    other = tmp_path / "tolvane" / "other"
    other.mkdir(parents=True)
    (other / "__init__.py").write_text("NAME = 'other'\n", encoding="utf-8")
    result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import sys
        sys.path.append(sys.argv[1])
        import tolvane.other, tolvane.ostrel
        print(tolvane.other.NAME, len(tolvane.__path__) >= 2)
    """), str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "other True\n"), result.stderr
