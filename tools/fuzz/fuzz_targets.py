#!/usr/bin/env python3
"""Coverage-guided fuzz targets for the linear_concrete_concept extension (atheris).

    python tools/fuzz/fuzz_targets.py TARGET [libFuzzer options] [corpus directories]

Targets:
  text       text-to-float conversion through the property setter (`c.a = text`, then
             `c._a`), differential against float() for str, bytes and bytearray. The
             module's documented differences from float() are accepted, and only they:
             an underscore right after an exponent's sign ("1e-_5"); in a str holding a
             non-ASCII character, an underscore beside "e"/"E", and U+001C..U+001F trimmed
             as whitespace. The plain-Python module must read every text exactly alike.
  binding    argument binding of every method with random positional counts and keyword
             names (str, equal str built at run time, str subclasses with odd equality,
             non-str through PyObject_Vectorcall with a names tuple, tp_call with a
             keyword dict), against a reference binder written from the documented rules
             and messages; a successful binding must behave as the positional call with
             the same arguments.
  name_hash  compute_name and __hash__ over random values of random types assigned
             directly to k1, k2, _a, _b, name and type, against the plain-Python module
             shipped beside the extension (same result, or an exception of the same type).

  float_text compute_name and the construction message over random doubles (bit patterns
             and short decimals), against repr.

Any difference raises AssertionError, which atheris reports as a finding (non-zero exit).
The extension is best built with clang's -fsanitize=fuzzer-no-link (and AddressSanitizer)
so that its own branches guide the fuzzer: tools/fuzz/run.sh does that.
"""

from __future__ import annotations

import ctypes
import importlib
import importlib.util
import math
import struct
import sys
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import atheris

# The tests' traceback reader, found beside this script in the source tree.
sys.path.append(str(Path(__file__).resolve().parents[2] / "tests"))
from named_lines import definition_line, step_line  # noqa: E402
from traceback_entries import MODULE, module_entries  # noqa: E402

module = importlib.import_module(MODULE)
Concept = module.LinearConcreteConcept
if not module.__file__.endswith((".so", ".pyd")):
    raise SystemExit(f"{MODULE} is not the compiled module: {module.__file__}")


def float_bits(value: float) -> bytes:
    return struct.pack("<d", value)


# ---------------------------------------------------------------------------------------
# text


_text_concept = Concept("text", 0, 10, 0.5, 0.25)
_NON_ASCII_TRIMMED = "\x1c\x1d\x1e\x1f"
_EXPONENT_SIGN_UNDERSCORE = ("e+_", "e-_", "E+_", "E-_")


def _host(text):
    try:
        return ("value", float(text))
    except (ValueError, TypeError) as error:
        return ("error", type(error))


def _documented_variants(text):
    """Texts that float() reads as the module reads `text`, one per combination of the
    documented differences that apply to it."""
    if isinstance(text, (bytes, bytearray)):
        text = text.decode("latin-1")
        non_ascii = False
    else:
        non_ascii = any(ord(ch) > 0x7F for ch in text)
    variants = {text}
    # An underscore right after an exponent's sign: drop one such underscore.
    for variant in list(variants):
        fixed = variant
        for pattern in _EXPONENT_SIGN_UNDERSCORE:
            fixed = fixed.replace(pattern, pattern[:2])
        variants.add(fixed)
    if non_ascii:
        for variant in list(variants):
            # U+001C..U+001F trimmed as whitespace (with the Unicode whitespace beside it).
            variants.add(variant.strip())
        for variant in list(variants):
            # One underscore beside "e"/"E" dropped on either side.
            fixed = []
            for i, ch in enumerate(variant):
                if ch == "_" and ((i > 0 and variant[i - 1] in "eE") or
                                  (i + 1 < len(variant) and variant[i + 1] in "eE")):
                    continue
                fixed.append(ch)
            variants.add("".join(fixed))
    return variants


def _plain_reading(text):
    """What the plain module's setter of `a` makes of `text`: the float's bits, or the error type."""
    concept = ReferenceConcept.__new__(ReferenceConcept)
    try:
        concept.a = text
    except (ValueError, TypeError) as error:
        return ("error", type(error))
    return ("value", float_bits(concept._a))


@atheris.instrument_func
def text_target(data: bytes) -> None:
    if not data:
        return
    kind, body = data[0] % 4, data[1:]
    if kind == 0:
        text = bytes(body)
    elif kind == 1:
        text = bytearray(body)
    elif kind == 2:
        text = body.decode("latin-1")
    else:
        text = body.decode("utf-8", "surrogateescape")
    expected = _host(text)
    _text_concept._a = None
    try:
        _text_concept.a = text
        got = ("value", _text_concept._a)
    except (ValueError, TypeError) as error:
        got = ("error", type(error))
        entries = module_entries(error)
        assert entries and entries[0] == ("a", step_line("set_a_stores")), (text, entries)
        assert _text_concept._a is None, "a failed setter changed _a"
    if got[0] == "value":
        assert type(got[1]) is float, (text, got)
    # The plain module reads every text as the compiled one does, its differences included.
    plain = _plain_reading(text)
    assert plain == (got[0], float_bits(got[1]) if got[0] == "value" else got[1]), (text, got, plain)
    if got == expected or (got[0] == expected[0] == "value" and
                           float_bits(got[1]) == float_bits(expected[1])):
        return
    if got[0] == "value":
        # Accepted where float() differs: only the documented differences.
        for variant in _documented_variants(text):
            other = _host(variant)
            if other[0] == "value" and float_bits(other[1]) == float_bits(got[1]):
                return
    raise AssertionError(f"{text!r}: module {got}, float() {expected}")


# ---------------------------------------------------------------------------------------
# binding

_LINES = {name: definition_line(method) for name, method in (
    ("__init__", "init"), ("a.get", "getter_a"), ("a.set", "setter_a"), ("b.get", "getter_b"),
    ("b.set", "setter_b"), ("clone", "clone"), ("get_membership_degree", "get_membership_degree"),
    ("compute_name", "compute_name"), ("__neg__", "neg"), ("__and__", "and_"), ("__or__", "or_"),
    ("__hash__", "hash"))}
_PARAMETERS = {"__init__": ("self", "name", "k1", "k2", "a", "b"), "a.get": ("self",),
               "a.set": ("self", "value"), "b.get": ("self",), "b.set": ("self", "value"),
               "clone": ("self",), "get_membership_degree": ("self", "value"),
               "compute_name": ("self",), "__neg__": ("self",), "__and__": ("self", "value"),
               "__or__": ("self", "value"), "__hash__": ("self",)}
_METHODS = sorted(_PARAMETERS)


def _function(name):
    if name.startswith(("a.", "b.")):
        prop = Concept.__dict__[name[0]]
        return prop.fget if name.endswith("get") else prop.fset
    return Concept.__dict__[name]


def _short(name):
    return name[0] if name.startswith(("a.", "b.")) else name


class PlainKey(str):
    """A str subclass with str's own equality."""


class EqualToAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class EqualRaises(str):
    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = str.__hash__


class Untruthful:
    def __bool__(self):
        raise ArithmeticError("no truth")


class EqualUntruthful(str):
    def __eq__(self, other):
        return Untruthful()

    __hash__ = str.__hash__


_NAME_TEXTS = ["self", "value", "name", "k1", "k2", "a", "b", "x", "", "valu", "välue", "self "]


def _key(fdp):
    text = _NAME_TEXTS[fdp.ConsumeIntInRange(0, len(_NAME_TEXTS) - 1)]
    form = fdp.ConsumeIntInRange(0, 7)
    if form <= 1:
        return sys.intern(text)                 # as written in source
    if form == 2:
        return "".join(list(text) + [""])       # equal, not the same object
    if form == 3:
        return PlainKey(text)
    if form == 4:
        return EqualToAll(text)
    if form == 5:
        return EqualRaises(text)
    if form == 6:
        return EqualUntruthful(text)
    return (1, b"value", None)[fdp.ConsumeIntInRange(0, 2)]


def _text_of(key):
    return "".join((key,))


class _Missing:
    pass


def reference_bind(name, args, names, values):
    """("error", exception type, message) or ("bound", slots), by the documented rules."""
    short, parameters = _short(name), _PARAMETERS[name]
    count, given = len(parameters), len(args)

    def count_error(n):
        plural = "" if count == 1 else "s"
        return ("error", TypeError,
                f"{short}() takes exactly {count} positional argument{plural} ({n} given)")

    def multiple(key):
        return ("error", TypeError, f"{short}() got multiple values for keyword argument "
                                    f"'{_text_of(key)}'")
    if not names:
        return count_error(given) if given != count else ("bound", list(args))
    if given > count:
        return count_error(given)
    slots = list(args) + [_Missing] * (count - given)
    for key, value in zip(names, values):
        index = None
        for i in range(given, count):
            if sys.intern(parameters[i]) is key:
                index = i
                break
        if index is None:
            if type(key) is str:
                for i, parameter in enumerate(parameters):
                    if parameter == key:
                        if i < given:
                            return multiple(key)
                        index = i
                        break
            elif not isinstance(key, str):
                return ("error", TypeError, f"{short}() keywords must be strings")
            else:
                try:
                    for i in range(given, count):
                        if parameters[i] == key:
                            index = i
                            break
                    if index is None:
                        for i in range(given):
                            if parameters[i] == key:
                                return multiple(key)
                except Exception as error:  # noqa: BLE001 - the comparison's own failure
                    return ("error", type(error), str(error))
            if index is None:
                return ("error", TypeError, f"{short}() got an unexpected keyword argument "
                                            f"'{_text_of(key)}'")
        if slots[index] is not _Missing:
            return multiple(key)
        slots[index] = value
    for i in range(given, count):
        if slots[i] is _Missing:
            return count_error(i)
    return ("bound", slots)


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_vectorcall(function, args, names, values):
    """PyObject_Vectorcall with a names tuple, which may hold anything."""
    items = list(args) + list(values)
    vector = (ctypes.py_object * max(1, len(items)))(*items) if items else None
    kwnames = tuple(names)
    pointer = ctypes.cast(vector, ctypes.c_void_p) if vector is not None else None
    # An empty names tuple stands for no keywords, as null does.
    return _vectorcall(function, pointer, len(args), id(kwnames))


_pool_values = (0.25, 0.5, 0.75, 2.0, "lin", None)


def _pool(seed_values):
    """Fresh argument objects: index 0 is a new concept, the rest fixed values."""
    return [Concept("pool", 0.0, 10.0, 0.5, 0.25) if v == -1 else _pool_values[v]
            for v in seed_values]


def _state(value, depth=0):
    """A comparable picture of a value: concepts by their attributes, recursively."""
    if isinstance(value, Concept):
        if depth > 2:
            return ("concept",)
        return ("concept", sorted((k, _state(v, depth + 1)) for k, v in vars(value).items()))
    if hasattr(value, "operator"):
        return ("operator", value.operator, tuple(_state(o, depth + 1) for o in value.operands))
    return ("value", repr(value))


def _outcome(call):
    try:
        return ("result", call(), None)
    except Exception as error:  # noqa: BLE001 - compared below
        return ("error", error, module_entries(error))


@atheris.instrument_func
def binding_target(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    name = _METHODS[fdp.ConsumeIntInRange(0, len(_METHODS) - 1)]
    function = _function(name)
    mode = fdp.ConsumeIntInRange(0, 2)   # 0 vectorcall, 1 tp_call with a dict, 2 Python call
    positional = [fdp.ConsumeIntInRange(-1, len(_pool_values) - 1)
                  for _ in range(fdp.ConsumeIntInRange(0, 7))]
    if positional and fdp.ConsumeBool():
        positional[0] = -1  # usually a concept first
    keys = [_key(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    keyword_values = [fdp.ConsumeIntInRange(-1, len(_pool_values) - 1) for _ in keys]
    if mode == 1:
        unique = {}
        for key, value in zip(keys, keyword_values):
            try:
                unique.setdefault(key, value)
            except Exception:  # noqa: BLE001 - a key that cannot be hashed or compared
                return
        keys, keyword_values = list(unique), list(unique.values())
    if mode == 2:
        if not all(isinstance(k, str) for k in keys) or len({_text_of(k) for k in keys}) != len(keys):
            mode = 0
        else:
            plain = {_text_of(k): k for k in keys}
            keys = list(plain.values())

    def fresh():
        return _pool(positional), _pool(keyword_values)
    args, values = fresh()
    expected = reference_bind(name, args, keys, values)
    if mode == 0:
        got = _outcome(lambda: call_vectorcall(function, args, keys, values))
    elif mode == 1:
        keywords = dict(zip(keys, values))
        call = type(function).__call__
        if not all(isinstance(k, str) for k in keys) and keys:
            expected = ("error", TypeError, "keywords must be strings")
        got = _outcome(lambda: _call(call, (function, *args), keywords))
    else:
        keywords = {k: v for k, v in zip(keys, values)}
        got = _outcome(lambda: function(*args, **keywords))
    if expected[0] == "error":
        _, kind, message = expected
        assert got[0] == "error", (name, mode, args, keys, expected, got)
        error = got[1]
        if kind is TypeError:
            assert type(error) is TypeError and str(error) == message, (name, mode, keys, message, error)
        else:
            assert type(error) is kind, (name, mode, keys, expected, error)
        if message != "keywords must be strings":
            # The binding failure's entry, at the method's definition line.
            assert got[2] and got[2][0][1] == _LINES[name], (name, mode, keys, got[2])
        return
    # Bound: the same as the positional call with the bound arguments in order.
    args2, values2 = fresh()
    again = reference_bind(name, args2, keys, values2)
    reference = _outcome(lambda: function(*again[1]))
    assert got[0] == reference[0], (name, mode, keys, got, reference)
    if got[0] == "result":
        assert _state(got[1]) == _state(reference[1]), (name, keys, got, reference)
        assert [_state(a) for a in args] == [_state(a) for a in args2], (name, keys)
    else:
        assert type(got[1]) is type(reference[1]) and str(got[1]) == str(reference[1]), (got, reference)


# ---------------------------------------------------------------------------------------
# name_hash


def _load_reference():
    """The plain-Python module shipped beside the extension, under another name."""
    path = Path(module.__file__).with_name("linear_concrete_concept.py")
    spec = importlib.util.spec_from_file_location("_reference_linear_concrete_concept", path)
    reference = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reference)
    return reference.LinearConcreteConcept


ReferenceConcept = _load_reference()


class FormatText:
    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        return self.text


class FormatStrSubclass:
    def __format__(self, spec):
        return PlainKey("sub\u00e9")


class FormatNotStr:
    def __format__(self, spec):
        return 5


class FormatRaises:
    def __format__(self, spec):
        raise OverflowError("no text")


class HashRaises:
    def __hash__(self):
        raise LookupError("no hash")


class HashHuge:
    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return self.value


class IntSub(int):
    pass


class FloatSub(float):
    def __format__(self, spec):
        return "float-sub"


class StrSub(str):
    pass


def _text(fdp):
    form = fdp.ConsumeIntInRange(0, 3)
    size = fdp.ConsumeIntInRange(0, 12)
    if form == 0:
        return fdp.ConsumeBytes(size).decode("ascii", "replace")
    if form == 1:
        return fdp.ConsumeBytes(size).decode("latin-1")
    if form == 2:
        return "".join(chr(0x100 + b * 37) for b in fdp.ConsumeBytes(size))
    return "".join(chr(0x10000 + b * 997) for b in fdp.ConsumeBytes(size))


def _value(fdp):
    choice = fdp.ConsumeIntInRange(0, 24)
    if choice == 0:
        return fdp.ConsumeIntInRange(-2**30, 2**30)
    if choice == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
    if choice == 2:
        return fdp.ConsumeRegularFloat()
    if choice == 3:
        return fdp.ConsumeFloat()   # infinities and NaNs among them
    if choice == 4:
        return (-0.0, 0.0, 1e16, 1e-7, 5e-324, 1.7976931348623157e308)[fdp.ConsumeIntInRange(0, 5)]
    if choice == 5:
        return bool(fdp.ConsumeBool())
    if choice == 6:
        return _text(fdp)
    if choice == 7:
        return StrSub(_text(fdp))
    if choice == 8:
        return IntSub(fdp.ConsumeIntInRange(-1000, 1000))
    if choice == 9:
        return FloatSub(fdp.ConsumeRegularFloat())
    if choice == 10:
        return fdp.ConsumeBytes(4)
    if choice == 11:
        return None
    if choice == 12:
        return (fdp.ConsumeIntInRange(0, 9), _text(fdp))
    if choice == 13:
        return [fdp.ConsumeIntInRange(0, 9)]
    if choice == 14:
        return {"k": 1}
    if choice == 15:
        return Fraction(fdp.ConsumeIntInRange(-50, 50), fdp.ConsumeIntInRange(1, 50))
    if choice == 16:
        return Decimal(fdp.ConsumeIntInRange(-10**6, 10**6)).scaleb(fdp.ConsumeIntInRange(-8, 8))
    if choice == 17:
        return FormatText(_text(fdp))
    if choice == 18:
        return FormatStrSubclass()
    if choice == 19:
        return FormatNotStr()
    if choice == 20:
        return FormatRaises()
    if choice == 21:
        return HashRaises()
    if choice == 22:
        return HashHuge(fdp.ConsumeInt(9))
    if choice == 23:
        return complex(fdp.ConsumeRegularFloat(), 1.0)
    return frozenset({fdp.ConsumeIntInRange(0, 3)})


_ATTRIBUTES = ("k1", "k2", "_a", "_b", "name", "type")


def _compare(what, native, plain):
    if native[0] == "result":
        assert plain[0] == "result", (what, native, plain)
        assert type(native[1]) is type(plain[1]) and native[1] == plain[1], (what, native, plain)
    else:
        assert plain[0] == "error" and type(native[1]) is type(plain[1]), (what, native, plain)
        assert module_entries(native[1]), (what, native)


@atheris.instrument_func
def name_hash_target(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    native = Concept("fuzz", 0.0, 10.0, 0.5, 0.25)
    plain = ReferenceConcept.__new__(ReferenceConcept)
    for attribute in _ATTRIBUTES:
        if fdp.ConsumeBool():
            value = _value(fdp)
        else:
            value = {"k1": 0.0, "k2": 10.0, "_a": 0.5, "_b": 0.25, "name": "fuzz",
                     "type": "concrete"}[attribute]
        setattr(native, attribute, value)
        setattr(plain, attribute, value)
    _compare("compute_name", _outcome(native.compute_name), _outcome(plain.compute_name))
    _compare("__hash__", _outcome(native.__hash__), _outcome(plain.__hash__))
    builtin = _outcome(lambda: hash(native))
    direct = _outcome(native.__hash__)
    if direct[0] == "result":
        assert builtin[0] == "result", (builtin, direct)
        # hash() folds -1 into -2 like every hash slot.
        assert builtin[1] == (direct[1] if direct[1] != -1 else -2) or \
            builtin[1] == hash(direct[1]), (builtin, direct)


# ---------------------------------------------------------------------------------------
# float_text


_float_text_concept = Concept("float text", 0.0, 10.0, 0.5, 0.25)


def _double(fdp):
    """Raw bit patterns mostly; short decimals n / 10**k, the formatter's fast path, too."""
    if fdp.ConsumeIntInRange(0, 3) == 0:
        return fdp.ConsumeIntInRange(-10**17, 10**17) / 10 ** fdp.ConsumeIntInRange(0, 12)
    return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]


@atheris.instrument_func
def float_text_target(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    values = [_double(fdp) for _ in range(4)]
    concept = _float_text_concept
    concept.k1, concept.k2, concept._a, concept._b = values
    expected = "linear(%s)" % ", ".join(map(repr, values))
    assert concept.compute_name() == expected, (values, concept.compute_name(), expected)
    # value_text through a message: k1 above a reports both as given.
    k1, a = values[0], values[1]
    if k1 > a:
        messages = []
        module.Util = type("Recorder", (), {"error": staticmethod(messages.append)})
        try:
            Concept("float text", k1, 10.0, a, 0.25)
        finally:
            module.Util = _util
        assert messages[:1] == [f"Error: Linear functions require {k1!r} <= {a!r}"], (values, messages)


_util = module.Util


TARGETS = {"text": text_target, "binding": binding_target, "name_hash": name_hash_target,
           "float_text": float_text_target}


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        raise SystemExit(f"usage: {sys.argv[0]} {{{','.join(TARGETS)}}} [libFuzzer options]")
    target = TARGETS[sys.argv[1]]
    atheris.Setup([sys.argv[0]] + sys.argv[2:], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
