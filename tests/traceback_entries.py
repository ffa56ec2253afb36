"""Traceback entries of an exception, as the tests and the reliability tools read them.

Imports nothing: fresh interpreters that block or replace standard modules, and the
allocation-failure children, import it before they do so.
"""

MODULE = "tolvane.ostrel.concept.concrete.linear_concrete_concept"
# The compiled module's entries name this file, relative; the plain module's, its path.
SOURCE = "tolvane/ostrel/concept/concrete/linear_concrete_concept.py"
PREFIX = MODULE + ".LinearConcreteConcept."
INIT_NAME = "init " + MODULE


def tracebacks(error: BaseException) -> list:
    """The traceback objects of `error`, outermost first."""
    found = []
    tb = error.__traceback__
    while tb is not None:
        found.append(tb)
        tb = tb.tb_next
    return found


def entries(error: BaseException) -> list[tuple[str, int, str]]:
    """(function name, line, file) of every entry of `error`, outermost first."""
    return [(tb.tb_frame.f_code.co_name, tb.tb_lineno, tb.tb_frame.f_code.co_filename)
            for tb in tracebacks(error)]


def _in_source(filename: str) -> bool:
    return filename == SOURCE or filename.replace("\\", "/").endswith("/" + SOURCE)


def module_tracebacks(error: BaseException) -> list:
    """The traceback objects of the module's own entries, outermost first.

    An entry counts as the compiled module's when either its file or its function name
    says so; both must then be right.
    """
    found = []
    for tb in tracebacks(error):
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE or code.co_name.startswith(MODULE):
            assert code.co_filename == SOURCE, code.co_filename
            assert code.co_name.startswith(PREFIX) or code.co_name == INIT_NAME, code.co_name
            found.append(tb)
        elif _in_source(code.co_filename):
            found.append(tb)
    return found


def short_name(name: str) -> str:
    """A method's entry name without the class's qualified prefix."""
    return name[len(PREFIX):] if name.startswith(PREFIX) else name


def module_entries(error: BaseException) -> list[tuple[str, int]]:
    """(method name, line) of the module's entries, outermost first."""
    return [(short_name(tb.tb_frame.f_code.co_name), tb.tb_lineno) for tb in module_tracebacks(error)]


def module_entry(error: BaseException) -> tuple[str, int]:
    """(method name, line) of the one module entry of `error`."""
    found = module_entries(error)
    assert len(found) == 1, found
    return found[0]
