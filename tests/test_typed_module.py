"""Mivex._typed.typed_module: TypedDicts generated from a schema.

Values built from the generated input types must pack, and what unpack
returns must fit the generated output types exactly; the type checkers'
side is in tests/typing (run by .ci/typecheck).
"""

import collections.abc
import itertools
import json
import os
import pathlib
import subprocess
import sys
import types
import typing
from typing import Literal, NotRequired, Union, get_args, get_origin, get_type_hints

import pytest

from Mivex._typed import typed_module
from Mivex.schema import parse_tl
from Mivex.tl import TLParser

TYPING = pathlib.Path(__file__).parent / "typing"
sys.path.insert(0, str(TYPING))
from schemas import GENERATED, RICH, big  # noqa: E402

NAMES = [e.get("predicate") or e["method"] for e in RICH["constructors"] + RICH["methods"]]
# What a general-mapping field (Object, !X, ...) is given.
ANY_OBJECT = {"_": "userEmpty", "id": 5}

_modules = itertools.count()


def load(source):
    """The generated source as a module, registered so forward references resolve."""
    mod = types.ModuleType(f"generated_{next(_modules)}")
    sys.modules[mod.__name__] = mod
    exec(compile(source, mod.__name__, "exec"), mod.__dict__)
    return mod


@pytest.fixture(scope="module", params=[False, True], ids=["default", "standard"])
def profile(request):
    standard = request.param
    try:
        # JSON text: given a dict, TLParser appends its methods to its constructors.
        text = json.dumps(RICH)
        parser = TLParser(text, standard=True) if standard else TLParser(text)
    except TypeError:
        parser = None  # a build without the standard profile
    return standard, load(typed_module(RICH, standard=standard)), parser


def classes(mod, name):
    """The input and output class of TL entry ``name``."""
    found = {}
    for attr, cls in vars(mod).items():
        if (typing.is_typeddict(cls) and attr == cls.__name__
                and get_type_hints(cls)["_"] == Literal[name]):
            found[attr] = cls
    (out,) = (n for n in found if f"{n}In" in found)
    return found[f"{out}In"], found[out]


def sample(hint, full, turn, depth=0):
    """A value of input type ``hint``: every key when ``full``, else the required ones."""
    origin, args = get_origin(hint), get_args(hint)
    if origin is NotRequired:
        return sample(args[0], full, turn, depth)
    if typing.is_typeddict(hint):
        hints = get_type_hints(hint, include_extras=True)
        return {k: sample(h, full, turn, depth + 1) for k, h in hints.items()
                if k in hint.__required_keys__ or (full and depth < 4)}
    if origin in (Union, types.UnionType):
        members = [a for a in args if a is not type(None)]
        return sample(members[next(turn) % len(members)], full, turn, depth)
    if origin is Literal:
        return args[0]
    if origin is list:
        return [sample(args[0], full, turn, depth + 1) for _ in range(2 if depth < 4 else 0)]
    if origin is collections.abc.Mapping:
        return dict(ANY_OBJECT)
    values = {int: 7, float: 2.5, str: "ab", bool: True, bytes: b"\x01\x02",
              bytearray: bytearray(b"\x03"), memoryview: memoryview(b"\x04\x05")}
    return values[hint]


def conforms(value, hint):
    """Whether an unpacked value has output type ``hint``: exact types, every key."""
    origin, args = get_origin(hint), get_args(hint)
    if hint is type(None):
        return value is None
    if hint in (int, float, str, bytes, bool):
        return type(value) is hint
    if origin in (Union, types.UnionType):
        return any(conforms(value, a) for a in args)
    if origin is Literal:
        return value in args
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is dict:
        return type(value) is dict and "_" in value
    assert typing.is_typeddict(hint), hint
    hints = get_type_hints(hint)
    return (type(value) is dict and value.keys() == hints.keys()
            and all(conforms(value[k], h) for k, h in hints.items()))


@pytest.mark.parametrize("full", [False, True], ids=["required", "every-key"])
@pytest.mark.parametrize("name", NAMES)
def test_values_of_the_input_type_pack_and_unpack_as_the_output_type(profile, name, full):
    standard, mod, parser = profile
    if parser is None:
        pytest.skip("this build's TLParser has no standard profile")
    cls_in, cls_out = classes(mod, name)
    value = sample(cls_in, full, itertools.count())
    unpacked = parser.unpack(parser.pack(value))
    assert unpacked["_"] == name
    assert conforms(unpacked, cls_out), (value, unpacked)


@pytest.mark.parametrize("name", NAMES)
def test_each_required_input_key_is_one_pack_cannot_do_without(profile, name):
    standard, mod, parser = profile
    if parser is None:
        pytest.skip("this build's TLParser has no standard profile")
    cls_in, _ = classes(mod, name)
    for key in cls_in.__required_keys__ - {"_"}:
        value = sample(cls_in, False, itertools.count())
        del value[key]
        with pytest.raises((TypeError, ValueError)):
            parser.pack(value)
    assert cls_in.__required_keys__ >= {"_"}


@pytest.mark.parametrize("field, default, standard", [
    ("segmentIn.a", "PointIn", "PointBareIn"),
    ("segmentIn.b", "Mapping[str, object]", "PointBareIn"),
    ("segmentIn.ends", "Mapping[str, object]", "NotRequired[list[PointBareIn]]"),
    ("shapeTextIn.at", "PointIn", "PointBareIn"),
    ("photo.sizes", "list[int]", "list[list[int]]"),
    ("shapePath.segments", "list[Point]", "list[list[Point]]"),
    ("user.verified", "bool", "bool | None"),
    ("invokeWith.first", "bool", "bool | None"),
    ("wide.small", "dict[str, object]", "int"),
    ("wide.counts", "list[dict[str, object]]", "list[int]"),
    ("legacy.flags", None, "int"),
    ("user.flags", None, None),
    ("user.flags2", None, None),
])
def test_the_profiles_differ_as_their_codecs_do(field, default, standard):
    entry, key = field.split(".")
    for expected, is_standard in ((default, False), (standard, True)):
        mod = load(typed_module(RICH, standard=is_standard))
        cls_in, cls_out = classes(mod, entry.removesuffix("In"))
        cls = cls_in if entry.endswith("In") else cls_out
        hints = get_type_hints(cls, include_extras=True)
        if expected is None:
            assert key not in hints
        else:
            assert hints[key] == eval(expected, {**vars(typing), **vars(mod)})


@pytest.mark.parametrize("standard", [False, True], ids=["default", "standard"])
@pytest.mark.parametrize("seed", ["0", "1"])
def test_output_is_the_same_text_in_every_process(standard, seed):
    code = ("import sys; sys.path.insert(0, sys.argv[1]); from schemas import RICH; "
            "from Mivex._typed import typed_module; "
            f"sys.stdout.write(typed_module(RICH, standard={standard}))")
    env = dict(os.environ, PYTHONHASHSEED=seed)
    out = subprocess.run([sys.executable, "-c", code, str(TYPING)], env=env,
                         capture_output=True, text=True, check=True).stdout
    assert out == typed_module(RICH, standard=standard)


@pytest.mark.parametrize("file", sorted(GENERATED))
def test_checked_in_modules_are_current(file):
    schema, standard = GENERATED[file]
    assert (TYPING / "generated" / file).read_text() == typed_module(schema, standard=standard), \
        "run: python tests/typing/schemas.py"


TEXT = """
point x:int y:int = Point;
shapeCircle center:Point r:double = Shape;
shapeSquare flags:# side:double rotated:flags.0?true = Shape;
---functions---
shapes.get ids:Vector<long> = Vector<Shape>;
"""


@pytest.mark.parametrize("form", [
    lambda: TEXT, lambda: parse_tl(TEXT), lambda: json.dumps(parse_tl(TEXT), indent=2),
], ids=["tl-text", "dict", "json-text"])
def test_every_schema_form_gives_the_same_module(form):
    text = typed_module(form())
    assert text == typed_module(parse_tl(TEXT))
    assert "3 constructors, 1 method." in text
    assert "Shape: TypeAlias = ShapeCircle | ShapeSquare\n" in text


def entries(*specs):
    """A schema of constructors given as (name, type, fields)."""
    return {"constructors": [
        {"predicate": n, "id": i, "type": t,
         "params": [dict(zip(("name", "type"), f.split(":", 1))) for f in fields.split()]}
        for i, (n, t, fields) in enumerate(specs)]}


@pytest.mark.parametrize("specs, lines", [
    ([("geo.point", "geo.Point", "")], ["class GeoPointIn(TypedDict):", "class GeoPoint(TypedDict):"]),
    ([("users.get_full", "R", "")], ["class UsersGetFull(TypedDict):", "R: TypeAlias = UsersGetFull"]),
    ([("user", "User", ""), ("userEmpty", "User", "")],
     ["class User_(TypedDict):", "User: TypeAlias = User_ | UserEmpty"]),
    ([("true", "True", ""), ("x", "None", "")], ["class True_In(TypedDict):", "None_: TypeAlias = X"]),
    ([("typedDict", "A", "")], ["class TypedDict_(TypedDict):"]),
    ([("foo", "Foo", ""), ("fooIn", "Bar", "")],
     ["class FooIn(TypedDict):", "class FooIn_(TypedDict):", "Bar: TypeAlias = FooIn_"]),
    ([("a.b", "T", ""), ("a_b", "T", "")], ["T: TypeAlias = AB | AB_"]),
    ([("9lives", "Cat", "")], ["class T9lives(TypedDict):", "Cat: TypeAlias = T9lives"]),
])
def test_class_names(specs, lines):
    text = typed_module(entries(*specs))
    for line in lines:
        assert f"\n{line}\n" in text
    load(text)


@pytest.mark.parametrize("field, functional", [
    ("id", False), ("match", False), ("type", False), ("_x", False),
    ("class", True), ("from", True), ("int", True), ("list", True), ("Literal", True),
    ("Point", True), ("PointIn", True), ("__x", True), ("a-b", True), ("1st", True),
])
def test_fields_a_class_body_cannot_hold_use_the_functional_syntax(field, functional):
    text = typed_module(entries(("point", "Point", "x:int"), ("box", "Box", f"{field}:int")))
    assert ('BoxIn = TypedDict(\n    "BoxIn",' in text) is functional
    assert ("class BoxIn(TypedDict):" in text) is not functional
    mod = load(text)
    assert set(get_type_hints(mod.Box)) == {"_", field}


def test_names_with_quotes_and_line_breaks_survive_as_written():
    name = 'we"ird\n\u2028name\\'
    text = typed_module({"constructors": [
        {"predicate": name, "id": 1, "type": "W\r", "params": [{"name": name, "type": "int"}]}]})
    assert text.isascii()
    assert get_type_hints(load(text).WeIrdName) == {"_": Literal[name], name: int}


def test_a_large_schema_is_written_in_the_functional_syntax_only():
    schema = big(2500)
    text = typed_module(schema)
    assert "(TypedDict):" not in text
    assert text.count(" = TypedDict(\n") == 2 * 2500
    mod = load(text)
    assert get_type_hints(mod.Ns5Item5)["ref"] == mod.Type0


@pytest.mark.parametrize("schema, error, message", [
    (42, TypeError, "not int"),
    ({"constructors": {}}, TypeError, "must be a list"),
    ({"constructors": [1]}, TypeError, "must be a dict"),
    ({"constructors": [{"predicate": 3}]}, TypeError, "must be a str"),
    (entries(("a", "A", "_:int")), ValueError, "reserved for the name"),
    (entries(("a", "A", "x:int x:long")), ValueError, "repeated"),
])
def test_malformed_schemas_are_refused(schema, error, message):
    with pytest.raises(error, match=message):
        typed_module(schema)
