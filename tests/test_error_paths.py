"""Failures inside nested values carry a note saying where they happened.

The exception's type and message stay as they are; the note names the
path from the top object ("rich.kids[2].s") and, for unpack, the byte where
the failing value begins.
"""

import struct

import pytest

from Mivex.tl import TLParser
from conftest import ctor, make_parser, param, schema, tl_bytes, u32

RICH, KID, HOLDER, IT, NODE, VEC = 0x52494348, 0x4B494400, 0x484F4C44, 0x49540000, 0x4E4F4445, 0x1CB5C415

P = make_parser(
    ctor("rich", RICH,
         param("flags", "#"),
         param("s", "string"),
         param("kids", "Vector<Kid>"),
         param("opt", "flags.0?Kid"),
         param("blob", "flags.1?bytes"),
         param("flags2", "#"),
         param("n", "flags2.0?long"),
         param("tail", "int"),
         type="Rich"),
    ctor("kid", KID,
         param("flags", "#"),
         param("s", "string"),
         param("v", "Vector<int>"),
         param("sub", "flags.0?Kid"),
         param("score", "double"),
         type="Kid"),
    ctor("holder", HOLDER, param("xs", "Vector<It>")),
    ctor("it", IT, param("x", "long"), type="It"),
    ctor("node", NODE, param("next", "Node"), type="Node"),
)


def kid(s="k", v=(1, 2), sub=None):
    d = {"_": "kid", "s": s, "v": list(v)}
    if sub is not None:
        d["sub"] = sub
    return d


def rich(**fields):
    d = {"_": "rich", "s": "hi", "kids": [kid(), kid()], "tail": 7}
    d.update(fields)
    return d


def notes(exc):
    return getattr(exc, "__notes__", None)


class Boom(Exception):
    pass


class RaisingFloat:
    def __float__(self):
        raise Boom("conversion refused")


class RaisingMapping(dict):
    """A mapping (not an exact dict) whose lookup of one key raises."""

    def __contains__(self, key):
        if key == "s":
            raise Boom("lookup refused")
        return dict.__contains__(self, key)

    def get(self, key, default=None):
        return dict.get(self, key, default)


def raising_iterator():
    yield 1
    yield 2
    raise Boom("iteration refused")


# ---------------------------------------------------------------- pack


@pytest.mark.parametrize(
    "value, exc_type, note",
    [
        (rich(kids=[kid(), kid(), kid(s=5)]), TypeError, "rich.kids[2].s (expected a str, got int)"),
        (rich(kids=[kid(), kid(v=[1, 2, 3, "x"])]), TypeError,
         "rich.kids[1].v[3] (expected an int, got str)"),
        (rich(kids=[kid(v=[1, 2 ** 40])]), OverflowError, "rich.kids[0].v[1]"),
        (rich(opt=kid(sub=kid(sub=kid(s=b"x")))), TypeError,
         "rich.opt.sub.sub.s (expected a str, got bytes)"),
        (rich(kids=[kid(), {"_": "nope"}]), ValueError, "rich.kids[1]"),
        (rich(kids=[kid(), {"s": "no name"}]), ValueError, "rich.kids[1]"),
        (rich(blob="text"), TypeError, "rich.blob"),
        (rich(n=2 ** 64), OverflowError, "rich.n"),
        (rich(kids=5), TypeError, "rich.kids (expected a list, got int)"),
        (rich(tail="7"), TypeError, "rich.tail (expected an int, got str)"),
    ],
    ids=["string", "vector-element", "overflow", "deep-optional", "unknown-name",
         "no-name", "bytes", "flags2-long", "not-a-list", "int"],
)
def test_pack_failure_names_the_path(value, exc_type, note):
    with pytest.raises(exc_type) as info:
        P.pack(value)
    assert notes(info.value) == ["while packing " + note]


def test_note_leaves_type_and_message_alone():
    with pytest.raises(TypeError) as top:
        P.pack(kid(s=5))
    with pytest.raises(TypeError) as nested:
        P.pack(rich(kids=[kid(s=5)]))
    assert type(nested.value) is type(top.value)
    assert str(nested.value) == str(top.value)
    assert notes(top.value) == ["while packing kid.s (expected a str, got int)"]


@pytest.mark.parametrize(
    "value",
    [{"_": "nope"}, {"no": "name"}, {"_": 5}],
    ids=["unknown", "missing", "not-str"],
)
def test_failure_of_the_top_object_itself_has_no_note(value):
    with pytest.raises((ValueError, TypeError)) as info:
        P.pack(value)
    assert notes(info.value) is None


@pytest.mark.parametrize(
    "value, note",
    [
        (rich(kids=[kid(), dict(kid(), score=RaisingFloat())]), "rich.kids[1].score"),
        (rich(kids=[RaisingMapping(kid())]), "rich.kids[0].s"),
        (rich(opt=RaisingMapping(kid())), "rich.opt.s"),
        # An iterable is read whole before its elements are written, so the
        # note names the vector.
        (rich(kids=[dict(kid(), v=raising_iterator())]), "rich.kids[0].v"),
    ],
    ids=["conversion", "mapping-lookup", "optional-mapping", "iterator"],
)
def test_user_code_exceptions_get_the_note(value, note):
    with pytest.raises(Boom) as info:
        P.pack(value)
    assert notes(info.value) == ["while packing " + note]


def test_a_note_that_cannot_be_added_leaves_the_exception_alone():
    class Stubborn(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Raising:
        def __float__(self):
            raise Stubborn("mine")

    with pytest.raises(Stubborn, match="^mine$") as info:
        P.pack(rich(kids=[dict(kid(), score=Raising())]))
    assert notes(info.value) is None
    assert P.pack(rich()) == P.pack(rich())  # the parser is still usable


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_from_add_note_wins_over_the_failure(raised):
    class Interrupting(Exception):
        def add_note(self, note):
            raise raised("stop")

    class Raising:
        def __float__(self):
            raise Interrupting("mine")

    with pytest.raises(raised) as info:
        P.pack(rich(kids=[dict(kid(), score=Raising())]))
    assert type(info.value.__context__) is Interrupting
    assert P.pack(rich()) == P.pack(rich())


class SelfRaising(BaseException):
    """An exception whose add_note raises the exception itself."""

    def add_note(self, note):
        raise self


class AlsoRaising(BaseException):
    """Raised by add_note after the failure had it as its context."""


def context_chain(exc, limit=10):
    seen = []
    while exc is not None and len(seen) < limit:
        seen.append(exc)
        exc = exc.__context__
    return seen


@pytest.mark.parametrize("linked", [False, True], ids=["itself", "via-context"])
def test_an_exception_never_becomes_its_own_context(linked):
    # The interpreter never links an exception into a loop; neither does the
    # note: code following __context__ must reach the end.
    class Raising:
        def __float__(self):
            exc = SelfRaising("mine")
            if linked:
                # Its own chain already holds what add_note raises.
                other = AlsoRaising("earlier")
                exc.__context__ = other

                def add_note(note):
                    raise other

                exc.add_note = add_note
            raise exc

    with pytest.raises((SelfRaising, AlsoRaising)) as info:
        P.pack(rich(kids=[dict(kid(), score=Raising())]))
    chain_ = context_chain(info.value)
    assert len(chain_) < 10 and len(set(map(id, chain_))) == len(chain_)
    assert P.pack(rich()) == P.pack(rich())


def test_each_call_reports_only_its_own_path():
    with pytest.raises(TypeError) as first:
        P.pack(rich(kids=[kid(s=5)]))
    P.pack(rich())
    with pytest.raises(TypeError) as second:
        P.pack(rich(tail="x"))
    assert notes(first.value) == ["while packing rich.kids[0].s (expected a str, got int)"]
    assert notes(second.value) == ["while packing rich.tail (expected an int, got str)"]


def chain(levels, last):
    value = last
    for _ in range(levels):
        value = {"_": "node", "next": value}
    return value


@pytest.mark.parametrize("levels", [25, 26])
def test_a_path_up_to_26_steps_is_shown_whole(levels):
    with pytest.raises(AttributeError) as info:
        P.pack(chain(levels, 5))  # the innermost "next" is no mapping
    # A value of the wrong type, which the interpreter's own message does not
    # say, gets what was expected after the path.
    assert notes(info.value) == ["while packing node" + ".next" * levels
                                 + ' (expected a dict with "_", got int)']


@pytest.mark.parametrize("levels", [27, 40, 256])
def test_a_longer_path_keeps_its_first_and_last_12_steps(levels):
    with pytest.raises((AttributeError, RecursionError)) as info:
        P.pack(chain(levels, 5))
    (note,) = notes(info.value)
    shown = levels if levels < 256 else 256  # the bound stops the descent
    detail = ' (expected a dict with "_", got int)' if levels < 256 else ""
    assert note == ("while packing node" + ".next" * 12 + "<%d steps>" % (shown - 24)
                    + ".next" * 12 + detail)


def test_a_very_deep_path_is_elided_in_the_middle():
    with pytest.raises(RecursionError) as info:
        P.pack(chain(300, None))
    (note,) = notes(info.value)
    # 256 levels are entered before the bound refuses the next one.
    assert note == "while packing node" + ".next" * 12 + "<232 steps>" + ".next" * 12


# ---------------------------------------------------------------- unpack

# rich with flags, s, kids, flags2, tail; offsets are laid out by hand.
S_AT = 8                       # after the id and the flags word
KIDS_AT = S_AT + 4             # "hi" takes 4 bytes


def kid_bytes(s=b"k", v=(1, 2)):
    return u32(KID, 0) + tl_bytes(s) + u32(VEC, len(v), *v) + struct.pack("<d", 0.5)


def rich_bytes(kids, tail=7):
    body = u32(RICH, 0) + tl_bytes(b"hi") + u32(VEC, len(kids))
    offsets = []
    for k in kids:
        offsets.append(len(body))
        body += k
    flags2_at = len(body)
    return body + u32(0, tail), offsets, flags2_at


def unpack_error(data):
    with pytest.raises(Exception) as info:
        P.unpack(data)
    return info.value


def test_unpack_golden_message_round_trips():
    data, _, _ = rich_bytes([kid_bytes(), kid_bytes(b"hello", (5,))])
    assert P.pack(P.unpack(data)) == data


def test_invalid_utf8_names_field_and_byte():
    data, offsets, _ = rich_bytes([kid_bytes(), kid_bytes(b"\xff\xfe")])
    exc = unpack_error(data)
    assert isinstance(exc, UnicodeDecodeError)
    # the string begins after the kid's id and flags word
    assert notes(exc) == ["while unpacking rich.kids[1].s at byte %d" % (offsets[1] + 8)]


def test_unknown_nested_id_names_the_element():
    bad = u32(0xDEADBEEF) + kid_bytes()[4:]
    data, offsets, _ = rich_bytes([kid_bytes(), bad])
    exc = unpack_error(data)
    assert str(exc) == "Unknown constructor ID: 0xdeadbeef"
    assert notes(exc) == ["while unpacking rich.kids[1] at byte %d" % offsets[1]]


def test_invalid_vector_id_names_the_vector():
    k = bytearray(kid_bytes())
    k[12:16] = u32(0x12345678)  # the id of kid.v, after id, flags and "k"
    data, offsets, _ = rich_bytes([bytes(k)])
    exc = unpack_error(data)
    assert str(exc) == "Invalid vector ID: 0x12345678"
    assert notes(exc) == ["while unpacking rich.kids[0].v at byte %d" % (offsets[0] + 12)]


def test_hostile_count_names_the_vector():
    k = bytearray(kid_bytes())
    k[16:20] = u32(0x7FFFFFFF)
    data, offsets, _ = rich_bytes([bytes(k)])
    exc = unpack_error(data)
    assert isinstance(exc, RuntimeError) and str(exc).startswith("Parse error at position")
    assert notes(exc) == ["while unpacking rich.kids[0].v at byte %d" % (offsets[0] + 12)]


@pytest.mark.parametrize(
    "cut, note",
    [
        (6, "rich.flags at byte 4"),
        (S_AT + 2, "rich.s at byte 8"),
        (KIDS_AT + 6, "rich.kids at byte 12"),
    ],
)
def test_truncation_names_the_first_short_read(cut, note):
    data, _, _ = rich_bytes([kid_bytes()])
    exc = unpack_error(data[:cut])
    assert isinstance(exc, RuntimeError)
    assert notes(exc) == ["while unpacking " + note]


def test_truncation_inside_an_element_and_the_second_flags_word():
    data, offsets, flags2_at = rich_bytes([kid_bytes(), kid_bytes()])
    exc = unpack_error(data[: offsets[1] + 18])  # inside kids[1].v's count
    assert notes(exc) == ["while unpacking rich.kids[1].v at byte %d" % (offsets[1] + 12)]
    exc = unpack_error(data[: flags2_at + 2])
    assert notes(exc) == ["while unpacking rich.flags2 at byte %d" % flags2_at]


@pytest.mark.parametrize("data", [b"", u32(RICH)[:3], u32(0xDEADBEEF) + b"\0" * 8])
def test_failure_at_the_top_object_itself_has_no_note(data):
    assert notes(unpack_error(data)) is None


def test_reading_stops_at_a_short_read():
    # xs[0] runs short on its long; the 4 bytes left are not read as xs[1]'s
    # constructor id, and the path names the value that was cut off.
    data = u32(HOLDER, VEC, 2, IT, 0xDEADBEEF)
    exc = unpack_error(data)
    assert type(exc) is RuntimeError
    assert str(exc) == "Parse error at position 16"
    assert notes(exc) == ["while unpacking holder.xs[0].x at byte 16"]


def test_deep_input_path_is_elided():
    data = u32(*[NODE] * 400)
    exc = unpack_error(data)
    assert isinstance(exc, RecursionError)
    assert notes(exc) == ["while unpacking node" + ".next" * 12 + "<232 steps>"
                          + ".next" * 12 + " at byte %d" % (4 * 256)]


# ---------------------------------------------------------------- notes that say what was expected


@pytest.mark.parametrize("call, error, note", [
    (lambda: P.pack([1, 2]), AttributeError,
     'pack takes a dict whose "_" names the constructor, got list'),
    (lambda: P.pack(rich(kids=[{"_": "kid", "s": b"x"}])), TypeError,
     "while packing rich.kids[0].s (expected a str, got bytes)"),
], ids=["not-a-dict", "bytes-for-str"])
def test_notes_say_what_was_expected(call, error, note):
    with pytest.raises(error) as info:
        call()
    assert notes(info.value) == [note]


def test_a_left_out_object_field_says_so():
    p = TLParser(schema(ctor("outer", 1, param("n", "int"), param("inner", "Inner")),
                        ctor("inner", 2, type="Inner")))
    with pytest.raises(ValueError, match="^Object must have '_' field") as info:
        p.pack({"_": "outer", "n": 1})
    assert notes(info.value) == ["while packing outer.inner (left out, and an object has no default)"]


@pytest.mark.parametrize("text, note", [
    ('{"constructors": [{"predicate": "a", "params": [{"name": "x"}]}]}',
     "while compiling constructors[0] 'a', params[0] 'x'"),
    ('{"constructors": [], "methods": [{"method": "m", "id": [1]}]}',
     "while compiling methods[0] 'm'"),
    ('{"constructors": [{"predicate": "a"}, 5]}', "while compiling constructors[1]"),
    ("user id:long = User;",
     "TLParser takes the schema as JSON; Mivex.schema.tl_to_json(text) converts TL schema text"),
    ("\n\t user id:long = User;",
     "TLParser takes the schema as JSON; Mivex.schema.tl_to_json(text) converts TL schema text"),
    ('\r\n {"constructors": [}', None),  # JSON after white space: its own error only
], ids=["param", "method-id", "not-an-entry", "tl-text", "tl-text-indented", "bad-json"])
def test_schema_errors_say_where(text, note):
    with pytest.raises(Exception) as info:
        TLParser(text)
    assert notes(info.value) == ([note] if note else None)
