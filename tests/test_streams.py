"""unpack_from, iter_unpack and pack_into: objects at any offset of any
buffer, back to back, and packed into a bytearray, in both wire profiles."""

import array
import mmap
import re

import pytest

from Mivex.tl import TLParser
from conftest import ctor, param, schema, tl_bytes, u32

SCHEMA = schema(
    ctor("pt", 0x70, param("x", "int"), param("s", "string"), type="Pt"),
    ctor("bag", 0x71, param("flags", "#"), param("items", "Vector<Pt>"),
         param("blob", "bytes"), param("n", "flags.0?long"), type="Bag"),
)
PROFILES = pytest.mark.parametrize("standard", [False, True], ids=["default", "standard"])

VALUES = [
    {"_": "pt", "x": 1, "s": "a"},
    {"_": "bag", "items": [{"_": "pt", "x": 2, "s": "bcdefg"}], "blob": b"\x00\x01\x02", "n": 5},
    {"_": "pt", "x": 3, "s": "é" * 130},    # a long-form byte string
    {"_": "bag", "items": [], "blob": b"", "n": None},
]


def parser(standard):
    return TLParser(SCHEMA, standard=standard)


def packed(p):
    return [p.pack(v) for v in VALUES]


def decoded(p):
    return [p.unpack(b) for b in packed(p)]


# ---------------------------------------------------------------- unpack_from


@PROFILES
@pytest.mark.parametrize("lead", [0, 1, 2, 3, 7])
def test_unpack_from_reads_at_any_offset(standard, lead):
    # Padding counts from the object's own start, so an object may sit at
    # any byte of the buffer.
    p = parser(standard)
    stream = b"\xee" * lead + b"".join(packed(p))
    offset = lead
    for expected, data in zip(decoded(p), packed(p)):
        obj, end = p.unpack_from(stream, offset)
        assert (obj, end) == (expected, offset + len(data))
        offset = end
    assert offset == len(stream)


def buffers(data):
    yield "bytes", data
    yield "bytearray", bytearray(data)
    yield "memoryview", memoryview(b"xx" + data + b"yy")[2:-2]
    yield "array", array.array("B", data)
    m = mmap.mmap(-1, len(data))
    m.write(data)
    yield "mmap", m


@PROFILES
def test_unpack_from_takes_any_contiguous_buffer(standard):
    p = parser(standard)
    data = packed(p)[1]
    for kind, buf in buffers(data):
        assert p.unpack_from(buf) == (decoded(p)[1], len(data)), kind
        assert p.unpack_from(buffer=buf, offset=0)[1] == len(data), kind


def test_unpack_from_missing_last_padding_ends_at_the_buffer_end():
    p = parser(False)
    data = p.pack({"_": "pt", "x": 1, "s": "a"})    # ... 01 61 00 00
    assert p.unpack_from(data[:-2]) == ({"_": "pt", "x": 1, "s": "a"}, len(data) - 2)


@pytest.mark.parametrize("offset, message", [
    (-1, "offset -1 is out of range for a buffer of 12 bytes"),
    (13, "offset 13 is out of range for a buffer of 12 bytes"),
    (2 ** 80, "offset .* is out of range for a buffer of 12 bytes"),
])
def test_unpack_from_refuses_offsets_outside_the_buffer(offset, message):
    p = parser(False)
    with pytest.raises(ValueError, match=message):
        p.unpack_from(packed(p)[0], offset)


@pytest.mark.parametrize("buf, name", [
    (memoryview(b"abcdefgh")[::2], "memoryview"),
    ("text", "str"),
    (12, "int"),
    (None, "NoneType"),
])
def test_unpack_from_refuses_what_is_not_a_contiguous_buffer(buf, name):
    with pytest.raises(TypeError, match=f"^Expected a C-contiguous buffer, got {name}"):
        parser(False).unpack_from(buf)


def test_unpack_from_refuses_a_released_view():
    view = memoryview(b"\x70\x00\x00\x00")
    view.release()
    with pytest.raises(TypeError, match="got memoryview") as info:
        parser(False).unpack_from(view)
    assert type(info.value.__cause__) is ValueError


@PROFILES
def test_unpack_from_errors_count_from_the_buffer_start(standard):
    p = parser(standard)
    lead = b"\xee" * 8
    cut = lead + packed(p)[1][:-3]
    with pytest.raises(RuntimeError, match=r"^Parse error at position (\d+)") as info:
        p.unpack_from(cut, 8)
    position = int(re.match(r"Parse error at position (\d+)", str(info.value))[1])
    with pytest.raises(RuntimeError, match=r"^Parse error at position (\d+)") as plain:
        p.unpack(packed(p)[1][:-3])
    assert str(plain.value) == f"Parse error at position {position - 8}"
    note, = info.value.__notes__
    start = int(note.rsplit(" ", 1)[1])
    assert note.startswith("while unpacking bag.") and start >= 8
    assert plain.value.__notes__ == [note.replace(f"at byte {start}", f"at byte {start - 8}")]


@pytest.mark.parametrize("call, message", [
    (lambda p: p.unpack_from(), r"unpack_from\(\) takes at least 1 positional argument \(0 given\)"),
    (lambda p: p.unpack_from(b"", 0, 1), r"unpack_from\(\) takes at most 2 positional arguments \(3 given\)"),
    (lambda p: p.unpack_from(b"", off=1), r"unpack_from\(\) got an unexpected keyword argument 'off'"),
    (lambda p: p.iter_unpack(), r"iter_unpack\(\) takes at least 1 positional argument \(0 given\)"),
    (lambda p: p.pack_into({}), r"pack_into\(\) takes at least 2 positional arguments \(1 given\)"),
    (lambda p: p.pack_into({}, bytearray(), 0, 0), r"pack_into\(\) takes at most 3 positional arguments \(4 given\)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call(parser(False))


# ---------------------------------------------------------------- iter_unpack


@PROFILES
def test_iter_unpack_yields_each_object_back_to_back(standard):
    p = parser(standard)
    stream = b"".join(packed(p)) * 3
    assert list(p.iter_unpack(stream)) == decoded(p) * 3
    assert list(p.iter_unpack(stream, len(packed(p)[0]))) == (decoded(p) * 3)[1:]
    assert list(p.iter_unpack(b"")) == []


@PROFILES
# (Cuts inside a vector's id word are left out: that word reads as id 0,
# "Invalid vector ID".)
@pytest.mark.parametrize("cut", [1, 3, 5, 14, 21])
def test_iter_unpack_cut_off_at_the_end(standard, cut):
    # The complete objects come first; then the parse error where reading
    # stopped; then nothing more.
    p = parser(standard)
    whole = b"".join(packed(p))
    stream = whole + packed(p)[1][:cut]
    it = p.iter_unpack(stream)
    got = [next(it) for _ in VALUES]
    assert got == decoded(p)
    with pytest.raises(RuntimeError, match=r"^Parse error at position (\d+)") as info:
        next(it)
    assert int(str(info.value).rsplit(" ", 1)[1]) >= len(whole)
    assert list(it) == []


def test_iter_unpack_stops_after_any_failure():
    p = parser(False)
    stream = packed(p)[0] + u32(0xBAD) + packed(p)[0]
    it = p.iter_unpack(stream)
    next(it)
    with pytest.raises(ValueError, match="^Unknown constructor ID: 0x00000bad"):
        next(it)
    assert list(it) == []


def test_iter_unpack_holds_the_buffer_while_alive():
    p = parser(False)
    buf = bytearray(b"".join(packed(p)))
    it = p.iter_unpack(buf)
    next(it)
    with pytest.raises(BufferError):
        buf.extend(b"more")
    with pytest.raises(BufferError):
        del buf[:4]
    assert len(list(it)) == len(VALUES) - 1
    buf.extend(b"more")     # exhausted: the buffer is free again
    view = memoryview(bytes(b"".join(packed(p))))
    it = p.iter_unpack(view)
    with pytest.raises(BufferError):
        view.release()
    del it
    view.release()


def test_parser_is_free_between_steps():
    p = parser(False)
    it = p.iter_unpack(b"".join(packed(p)))
    first = next(it)
    assert p.unpack(p.pack(first)) == first    # another call between steps
    assert len(list(it)) == len(VALUES) - 1


def test_iter_unpack_step_refused_while_the_parser_is_busy_can_be_retried():
    p = parser(False)
    it = p.iter_unpack(b"".join(packed(p)))
    seen = []

    class Hook:
        def __index__(self):
            try:
                next(it)
            except RuntimeError as exc:
                seen.append(str(exc))
            return 7

        __int__ = __index__

    p.pack({"_": "pt", "x": Hook(), "s": ""})
    assert seen and seen[0].startswith("TLParser is busy")
    assert list(it) == decoded(p)


# ---------------------------------------------------------------- pack_into


@PROFILES
@pytest.mark.parametrize("lead", [0, 1, 2, 3, 5])
def test_pack_into_appends_the_bytes_pack_gives(standard, lead):
    p = parser(standard)
    out = bytearray(b"\xee" * lead)
    for value in VALUES:
        assert p.pack_into(value, out, -1) is None
    assert bytes(out) == b"\xee" * lead + b"".join(packed(p))
    assert list(p.iter_unpack(out, lead)) == decoded(p)


def test_pack_into_at_an_offset_ends_the_bytearray_there():
    p = parser(False)
    out = bytearray(b"\xee" * 100)
    p.pack_into(VALUES[0], out, 4)
    assert bytes(out) == b"\xee" * 4 + packed(p)[0]
    p.pack_into(VALUES[2], out, len(out))
    assert bytes(out) == b"\xee" * 4 + packed(p)[0] + packed(p)[2]


@pytest.mark.parametrize("buf, name", [
    (b"", "bytes"), (memoryview(bytearray(8)), "memoryview"), (array.array("B"), "array.array"),
], ids=["bytes", "memoryview", "array"])
def test_pack_into_takes_only_a_bytearray(buf, name):
    with pytest.raises(TypeError, match=f"^Expected bytearray, got {name}"):
        parser(False).pack_into(VALUES[0], buf)


@pytest.mark.parametrize("offset", [-2, 5])
def test_pack_into_refuses_offsets_outside_the_bytearray(offset):
    out = bytearray(4)
    with pytest.raises(ValueError, match=f"^offset {offset} is out of range for a buffer of 4 bytes"):
        parser(False).pack_into(VALUES[0], out, offset)
    assert out == bytearray(4)


def test_failed_pack_into_leaves_the_bytearray_usable():
    p = parser(False)
    out = bytearray(b"keep")
    with pytest.raises(TypeError):
        p.pack_into({"_": "pt", "x": "not a number"}, out, -1)
    assert len(out) == 4 and out[:4] == b"keep"
    p.pack_into(VALUES[0], out, -1)
    assert out == b"keep" + packed(p)[0]


def test_python_code_cannot_resize_the_bytearray_under_the_writer():
    p = parser(False)
    out = bytearray(b"head")

    class Grows:
        def __index__(self):
            out.extend(b"x" * 10000)     # would move the bytes being written
            return 1

        __int__ = __index__

    with pytest.raises(BufferError):
        p.pack_into({"_": "pt", "x": Grows(), "s": "a"}, out, -1)
    assert out[:4] == b"head"
    p.pack_into(VALUES[0], out, 4)
    assert out == b"head" + packed(p)[0]


def test_pack_into_a_bytearray_someone_else_views_fails_cleanly():
    p = parser(False)
    out = bytearray(b"data")
    view = memoryview(out)
    with pytest.raises(BufferError):
        p.pack_into(VALUES[1], out, -1)
    view.release()
    p.pack_into(VALUES[1], out, -1)
    assert out == b"data" + packed(p)[1]


def test_pack_into_grows_for_large_objects():
    p = parser(False)
    big = {"_": "bag", "items": [{"_": "pt", "x": i, "s": "y" * 50} for i in range(500)], "blob": b"z" * 70000}
    out = bytearray()
    p.pack_into(big, out)
    assert bytes(out) == p.pack(big)


# ---------------------------------------------------------------- names for annotations


def test_value_type_names_are_importable():
    from Mivex import types

    assert set(types.__all__) == {"TLObject", "TLObjectLike", "TLValue", "TLValueLike"}
    assert types.TLObject == dict[str, types.TLValue]
