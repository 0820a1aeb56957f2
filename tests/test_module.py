"""What Python sees of Mivex.tl before any schema or value matters."""

import inspect
import builtins
import copy
import gc
import importlib
import json
import pickle
import sys
import traceback
import weakref

import pytest

import Mivex.tl as tl
from Mivex.tl import TLParser, TLSchemaCompiler
from conftest import ctor, make_parser, param, schema

REDUCE_REFUSED = "no default __reduce__ due to non-trivial __cinit__"
SECOND_INTERPRETER = (
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process."
)
ENTRY_FILE = "src/Mivex/tl"

# Not valid JSON: if a wrong call got as far as compiling, the error would differ.
BAD_TEXT = "["


class ParserSub(TLParser):
    pass


class CompilerSub(TLSchemaCompiler):
    pass


class Blob(bytes):
    pass


# ---------------------------------------------------------------- module


def test_module_names():
    public = {name for name in vars(tl) if not name.startswith("__")}
    assert public == {"TLSchemaCompiler", "TLParser", "json"}
    assert tl.__name__ == "Mivex.tl"
    assert tl.__doc__ is None
    assert not hasattr(tl, "__path__")


def test_module_attributes():
    assert tl.json is sys.modules["json"] is json
    assert type(tl.__test__) is dict and tl.__test__ == {}
    assert tl.__builtins__ is builtins


def test_module_attributes_copied_from_import_details():
    found = tl.__spec__
    assert tl.__file__ == found.origin
    assert tl.__package__ == found.parent == "Mivex"
    assert tl.__loader__ is found.loader


def test_reimport_returns_same_module():
    parser_cls = tl.TLParser
    del sys.modules["Mivex.tl"]
    try:
        again = importlib.import_module("Mivex.tl")
    finally:
        sys.modules.setdefault("Mivex.tl", tl)
    assert again is tl
    assert again.TLParser is parser_cls
    # The module is still fully usable afterwards.
    assert again.TLSchemaCompiler().compile("{}") is None


def import_in_second_interpreter():
    """The error text of `import Mivex.tl` in a second interpreter that shares
    the GIL (from 3.12 on, an isolated one is refused by the interpreter
    itself, before the module runs)."""
    if sys.version_info >= (3, 13):
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create("legacy")
        try:
            failure = interpreters.run_string(interp, "import Mivex.tl")
        finally:
            interpreters.destroy(interp)
        assert failure is not None
        return failure.formatted
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create(isolated=False) if sys.version_info >= (3, 12) \
        else interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as excinfo:
            interpreters.run_string(interp, "import Mivex.tl")
    finally:
        interpreters.destroy(interp)
    return str(excinfo.value)


def test_second_interpreter_is_refused():
    text = import_in_second_interpreter()
    assert "ImportError" in text
    assert SECOND_INTERPRETER in text


# ---------------------------------------------------------------- classes

CLASSES = pytest.mark.parametrize(
    "cls, name, methods",
    [
        (TLSchemaCompiler, "TLSchemaCompiler", {"compile"}),
        (TLParser, "TLParser", {"pack", "unpack", "describe", "standard", "strict", "unpack_from",
                                "iter_unpack", "pack_into"}),
    ],
    ids=["compiler", "parser"],
)


def new_instance(cls):
    return cls("{}") if issubclass(cls, TLParser) else cls()


@CLASSES
def test_class_identity(cls, name, methods):
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "Mivex.tl"
    assert repr(cls) == f"<class 'Mivex.tl.{name}'>"
    assert cls.__bases__ == (object,)
    assert len(cls.__doc__) > 40  # help() has something to say
    assert tl.__doc__ is None


@CLASSES
def test_class_surface(cls, name, methods):
    # Only the listed methods and the pickling refusal; no visible fields.
    extra = set(dir(new_instance(cls))) - set(dir(object()))
    assert extra == methods | {"__setstate__"}


@CLASSES
@pytest.mark.parametrize("attr", ["added", "compile", "pack", "__reduce__"])
def test_class_is_immutable(cls, name, methods, attr):
    before = cls.__dict__.get(attr)
    with pytest.raises(TypeError, match=rf"immutable type 'Mivex\.tl\.{name}'"):
        setattr(cls, attr, 1)
    if attr in cls.__dict__:
        with pytest.raises(TypeError, match=rf"immutable type 'Mivex\.tl\.{name}'"):
            delattr(cls, attr)
    assert cls.__dict__.get(attr) is before


@CLASSES
def test_instance_takes_no_attributes_or_weakrefs(cls, name, methods):
    obj = new_instance(cls)
    with pytest.raises(AttributeError):
        obj.added = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("cls", [CompilerSub, ParserSub], ids=["compiler", "parser"])
def test_subclass_instance_takes_attributes(cls):
    obj = new_instance(cls)
    obj.added = 1
    assert obj.added == 1
    assert isinstance(obj, cls.__bases__[0])


def test_gc_tracking():
    # The parser holds its compiler; the compiler holds no Python objects.
    assert gc.is_tracked(TLParser("{}"))
    assert not gc.is_tracked(TLSchemaCompiler())


def test_compiler_ignores_constructor_arguments():
    compiler = TLSchemaCompiler(1, 2, key=3)
    assert type(compiler) is TLSchemaCompiler
    assert compiler.compile("{}") is None


def test_parser_subclass_passes_all_arguments():
    with pytest.raises(TypeError) as excinfo:
        ParserSub("{}", "{}")
    assert str(excinfo.value) == "__cinit__() takes exactly 1 positional argument (2 given)"


def test_parser_subclass_with_own_init_still_checked():
    class WithInit(TLParser):
        def __init__(self, text, extra):
            self.extra = extra

    with pytest.raises(TypeError) as excinfo:
        WithInit("{}", 1)
    assert str(excinfo.value) == "__cinit__() takes exactly 1 positional argument (2 given)"


# ---------------------------------------------------------------- methods


@pytest.mark.parametrize(
    "cls, name",
    [(TLSchemaCompiler, "compile"), (TLParser, "pack"), (TLParser, "unpack"),
     (TLParser, "describe")],
    ids=["compile", "pack", "unpack", "describe"],
)
def test_method_names(cls, name):
    method = getattr(cls, name)
    assert method.__name__ == name
    assert method.__qualname__ == f"{cls.__name__}.{name}"
    assert method.__module__ == "Mivex.tl"
    assert len(method.__doc__) > 40 and method.__text_signature__  # help() shows both


# ---------------------------------------------------------------- argument errors


def callable_for(which):
    if which == "__cinit__":
        return TLParser, "schema_json", BAD_TEXT
    if which == "compile":
        return TLSchemaCompiler().compile, "json_data", BAD_TEXT
    parser = TLParser("{}")
    return getattr(parser, which), {"pack": "value", "unpack": "data"}[which], b""


ARG_ERRORS = [
    ("none", lambda x, kw: ((), {}), "{f}() takes exactly 1 positional argument (0 given)"),
    ("two", lambda x, kw: ((x, x), {}), "{f}() takes exactly 1 positional argument (2 given)"),
    ("multiple", lambda x, kw: ((x,), {kw: x}),
     "{f}() got multiple values for keyword argument '{kw}'"),
    ("unexpected", lambda x, kw: ((), {"item": x}),
     "{f}() got an unexpected keyword argument 'item'"),
    ("unexpected-with-pos", lambda x, kw: ((x,), {"item": x}),
     "{f}() got an unexpected keyword argument 'item'"),
]


@pytest.mark.parametrize("which", ["__cinit__", "compile", "pack", "unpack"])
@pytest.mark.parametrize("build, message", [a[1:] for a in ARG_ERRORS],
                         ids=[a[0] for a in ARG_ERRORS])
def test_argument_errors(which, build, message):
    func, kw, value = callable_for(which)
    args, kwargs = build(value, kw)
    with pytest.raises(TypeError) as excinfo:
        func(*args, **kwargs)
    assert str(excinfo.value) == message.format(f=which, kw=kw)


# Construction receives the keyword dict itself. The methods are vectorcall
# callables, so the interpreter refuses a spread dict with non-string keys
# before they run, with its own message.
@pytest.mark.parametrize("which, message", [
    ("__cinit__", "__cinit__() keywords must be strings"),
    ("compile", "keywords must be strings"),
    ("pack", "keywords must be strings"),
    ("unpack", "keywords must be strings"),
])
def test_non_string_keyword(which, message):
    func, kw, value = callable_for(which)
    with pytest.raises(TypeError) as excinfo:
        func(value, **{1: value})
    assert str(excinfo.value) == message


def test_parser_schema_by_keyword():
    entry = ctor("a", 1, param("x", "int"))
    parser = TLParser(schema_json=schema(entry))
    assert type(parser) is TLParser


def test_compile_by_keyword():
    assert TLSchemaCompiler().compile(json_data=schema(ctor("a", 1))) is None


def test_pack_unpack_by_keyword():
    parser = make_parser(ctor("a", 7))
    packed = parser.pack({"_": "a"})
    assert parser.pack(value={"_": "a"}) == packed
    assert parser.unpack(data=packed) == parser.unpack(packed)


@pytest.mark.parametrize(
    "data, type_name",
    [
        (bytearray(b"\x01\x00\x00\x00"), "bytearray"),
        (memoryview(b"\x01\x00\x00\x00"), "memoryview"),
        (Blob(b"\x01\x00\x00\x00"), "Blob"),
        ("abcd", "str"),
        (0, "int"),
    ],
    ids=["bytearray", "memoryview", "bytes-subclass", "str", "int"],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["pos", "kw"])
def test_unpack_refuses_non_bytes(data, type_name, by_keyword):
    parser = make_parser(ctor("a", 1))
    with pytest.raises(TypeError) as excinfo:
        parser.unpack(data=data) if by_keyword else parser.unpack(data)
    assert str(excinfo.value) == (
        f"Argument 'data' has incorrect type (expected bytes, got {type_name})"
    )


def test_unpack_none_passes_argument_check():
    # None gets past the type check and fails only when its length is taken.
    parser = make_parser(ctor("a", 1))
    with pytest.raises(TypeError) as excinfo:
        parser.unpack(None)
    assert str(excinfo.value) == "object of type 'NoneType' has no len()"


# ---------------------------------------------------------------- pickling

INSTANCES = [
    pytest.param(lambda: TLSchemaCompiler(), id="compiler"),
    pytest.param(lambda: TLParser("{}"), id="parser"),
    pytest.param(lambda: CompilerSub(), id="compiler-sub"),
    pytest.param(lambda: ParserSub("{}"), id="parser-sub"),
]

REFUSED_OPERATIONS = [
    pytest.param(lambda o, p=p: pickle.dumps(o, protocol=p), id=f"pickle{p}")
    for p in range(pickle.HIGHEST_PROTOCOL + 1)
] + [
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(lambda o: o.__reduce__(), id="reduce"),
    pytest.param(lambda o: o.__setstate__({}), id="setstate"),
    pytest.param(lambda o: o.__setstate__(state=None), id="setstate-kw"),
]


@pytest.mark.parametrize("make", INSTANCES)
@pytest.mark.parametrize("operation", REFUSED_OPERATIONS)
def test_pickling_refused(make, operation):
    with pytest.raises(TypeError) as excinfo:
        operation(make())
    assert str(excinfo.value) == REDUCE_REFUSED


@pytest.mark.parametrize("make", INSTANCES[:2])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda o: o.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
        (lambda o: o.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)"),
        (lambda o: o.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    ],
    ids=["setstate-none", "setstate-two", "reduce-one"],
)
def test_pickling_hook_argument_errors(make, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(make())
    assert str(excinfo.value) == message


# ---------------------------------------------------------------- traceback entries


def module_entries(exc):
    return [
        (frame.f_code.co_name, frame.f_code.co_filename)
        for frame, _ in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_name.startswith("Mivex.tl.")
    ]


BUILD = ["Mivex.tl.TLParser.__cinit__", "Mivex.tl.TLSchemaCompiler.compile",
         "Mivex.tl.TLSchemaCompiler._parse_json_schema"]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: TLParser(), BUILD[:1]),
        (lambda: TLParser(schema(ctor("a", 1, {"name": "x"}))),
         BUILD + ["Mivex.tl.TLSchemaCompiler._create_constructor"]),
        (lambda: TLParser(schema(ctor("a", 1, param("x", None)))),
         BUILD + ["Mivex.tl.TLSchemaCompiler._create_constructor",
                  "Mivex.tl.TLSchemaCompiler._parse_type"]),
        (lambda: TLParser(json.dumps([])), BUILD),
        (lambda: TLSchemaCompiler().compile(BAD_TEXT), BUILD[1:]),
        (lambda: TLSchemaCompiler().compile(), BUILD[1:2]),
        (lambda: TLParser("{}").pack(), ["Mivex.tl.TLParser.pack"]),
        (lambda: TLParser("{}").unpack(bytearray()), ["Mivex.tl.TLParser.unpack"]),
    ],
    ids=["cinit-args", "missing-type", "null-type", "top-list", "bad-json",
         "compile-args", "pack-args", "unpack-type"],
)
def test_traceback_entries(call, expected):
    with pytest.raises(Exception) as excinfo:
        call()
    assert module_entries(excinfo.value) == [(name, ENTRY_FILE) for name in expected]


@pytest.mark.parametrize(
    "func, signature",
    [
        (TLParser.pack, "(self, /, value)"),
        (TLParser.unpack, "(self, /, data)"),
        (TLParser.describe, "(self, /)"),
        (TLSchemaCompiler.compile, "(self, /, json_data)"),
        (TLParser.__reduce__, "(self, /)"),
        (TLParser.__setstate__, "(self, /, state)"),
        (TLSchemaCompiler.__setstate__, "(self, /, state)"),
        (TLParser, "(schema_json, *, standard=False, strict=False)"),
    ],
)
def test_signatures_are_introspectable(func, signature):
    # Editors and stub checkers read these; they must match the argument
    # names the methods accept as keywords.
    assert str(inspect.signature(func)) == signature


def test_import_warns_only_when_the_interpreter_differs_from_the_build():
    # The build's version is compiled in, so only the matching case can be
    # run here: an import on the interpreter it was built for is silent.
    import subprocess
    proc = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", "import Mivex.tl"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
