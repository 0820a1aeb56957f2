"""Exact bytes on the wire, in both directions."""

import math
import struct

import pytest

from conftest import ctor, make_parser, param

VEC = "15c4b51c"


def hx(text):
    return bytes.fromhex(text)


def payload(n):
    # Varied content, so a shifted or misordered copy shows.
    return bytes((i * 7 + 1) % 256 for i in range(n))


def one(kind, id=1):
    """Parser for a constructor "v" holding one field "x" of the given type."""
    return make_parser(ctor("v", id, param("x", kind)))


# ---------------------------------------------------------------- objects


@pytest.fixture
def worked():
    return make_parser(
        ctor(
            "obj",
            42,
            param("flags", "#"),
            param("n", "long"),
            param("s", "flags.0?string"),
            param("t", "flags.1?true"),
        )
    )


def test_worked_object_example(worked):
    data = worked.pack({"_": "obj", "n": 0x0102030405060708, "s": "ab"})
    assert data == hx("2a000000 01000000 0807060504030201 02616200")
    assert worked.unpack(data) == {
        "_": "obj", "n": 0x0102030405060708, "s": "ab", "t": False
    }


def test_true_flag_only_sets_its_bit(worked):
    data = worked.pack({"_": "obj", "n": 0, "s": "ab", "t": True})
    assert data == hx("2a000000 03000000 0000000000000000 02616200")
    assert worked.unpack(data)["t"] is True


def test_nothing_conditional_given(worked):
    data = worked.pack({"_": "obj", "n": 5})
    assert data == hx("2a000000 00000000 0500000000000000")
    assert worked.unpack(data) == {"_": "obj", "n": 5, "s": None, "t": False}


def test_constructor_without_fields():
    p = make_parser(ctor("empty", 0x11223344))
    assert p.pack({"_": "empty"}) == hx("44332211")
    assert p.unpack(hx("44332211")) == {"_": "empty"}


def test_nested_object_carries_its_own_id():
    p = make_parser(
        ctor("point", 0x0A, param("x", "int")),
        ctor("box", 0x0B, param("p", "Point"), param("tail", "int")),
        # "Point" as a type name means nothing; the "_" picks the constructor.
    )
    data = p.pack({"_": "box", "p": {"_": "point", "x": 3}, "tail": 4})
    assert data == hx("0b000000 0a000000 03000000 04000000")
    assert p.unpack(data) == {"_": "box", "p": {"_": "point", "x": 3}, "tail": 4}


def test_trailing_bytes_ignored():
    p = one("int")
    assert p.unpack(hx("01000000 07000000 ffffffff 01")) == {"_": "v", "x": 7}


# ---------------------------------------------------------------- integers


@pytest.mark.parametrize(
    "value, wire, back",
    [
        (0, "00000000", 0),
        (1, "01000000", 1),
        (0x12345678, "78563412", 0x12345678),
        (2**31 - 1, "ffffff7f", 2**31 - 1),
        (-1, "ffffffff", 4294967295),
        (-2, "feffffff", 4294967294),
        (-(2**31), "00000080", 2**31),
    ],
    ids=["zero", "one", "order", "max", "minus1", "minus2", "min"],
)
def test_int32(value, wire, back):
    p = one("int")
    data = p.pack({"_": "v", "x": value})
    assert data == hx("01000000" + wire)
    assert p.unpack(data) == {"_": "v", "x": back}


def test_int32_reads_unsigned_above_signed_range():
    assert one("int").unpack(hx("01000000 00000080"))["x"] == 2147483648


@pytest.mark.parametrize(
    "value, wire",
    [
        (0, "0000000000000000"),
        (0x0102030405060708, "0807060504030201"),
        (2**63, "0000000000000080"),
        (2**64 - 1, "ffffffffffffffff"),
    ],
    ids=["zero", "order", "top-bit", "max"],
)
def test_int64(value, wire):
    p = one("long")
    data = p.pack({"_": "v", "x": value})
    assert data == hx("01000000" + wire)
    assert p.unpack(data)["x"] == value


# ---------------------------------------------------------------- doubles


@pytest.mark.parametrize(
    "value, wire",
    [
        (1.5, "000000000000f83f"),
        (-2.0, "00000000000000c0"),
        (0.0, "0000000000000000"),
        (-0.0, "0000000000000080"),
        (math.inf, "000000000000f07f"),
        (-math.inf, "000000000000f0ff"),
        (5e-324, "0100000000000000"),
    ],
    ids=["1.5", "-2", "zero", "neg-zero", "inf", "-inf", "subnormal"],
)
def test_double(value, wire):
    p = one("double")
    data = p.pack({"_": "v", "x": value})
    assert data == hx("01000000" + wire)
    back = p.unpack(data)["x"]
    assert type(back) is float
    assert struct.pack("<d", back) == hx(wire)


def test_double_nan_bits_pass_both_ways():
    bits = hx("2301000000f8ff7f")  # quiet NaN with a payload
    p = one("double")
    (nan,) = struct.unpack("<d", bits)
    assert p.pack({"_": "v", "x": nan}) == hx("01000000") + bits
    assert struct.pack("<d", p.unpack(hx("01000000") + bits)["x"]) == bits


# ---------------------------------------------------------------- Bool


@pytest.mark.parametrize("value, wire", [(True, "01000000"), (False, "00000000")])
def test_bool_written(value, wire):
    assert one("Bool").pack({"_": "v", "x": value}) == hx("01000000" + wire)


@pytest.mark.parametrize(
    "wire, expected",
    [
        ("00000000", False),
        ("01000000", True),
        ("07000000", True),
        ("00000080", True),
        ("ffffffff", True),
    ],
    ids=["0", "1", "7", "top-bit", "all-ones"],
)
def test_bool_read(wire, expected):
    assert one("Bool").unpack(hx("01000000" + wire))["x"] is expected


# ---------------------------------------------------------------- byte strings


@pytest.mark.parametrize(
    "n, prefix, pad",
    [
        (0, "00", 3),
        (1, "01", 2),
        (2, "02", 1),
        (3, "03", 0),
        (4, "04", 3),
        (5, "05", 2),
        (252, "fc", 3),
        (253, "fd", 2),
        (254, "fefe0000", 2),
        (255, "feff0000", 1),
        (256, "fe000100", 0),
        (1000, "fee80300", 0),
        (70001, "fe711101", 3),
    ],
    ids=lambda v: str(v),
)
def test_bytes(n, prefix, pad):
    p = one("bytes")
    body = payload(n)
    expected = hx("01000000" + prefix) + body + bytes(pad)
    assert (len(expected) - 4) % 4 == 0
    data = p.pack({"_": "v", "x": body})
    assert data == expected
    assert p.unpack(data) == {"_": "v", "x": body}


@pytest.mark.parametrize(
    "body, wire",
    [
        (b"", "00000000"),
        (b"a", "01610000"),
        (b"abc", "03616263"),
        (b"abcd", "0461626364000000"),
    ],
    ids=["empty", "1", "3", "4"],
)
def test_bytes_short_examples(body, wire):
    assert one("bytes").pack({"_": "v", "x": body}) == hx("01000000" + wire)


@pytest.mark.parametrize(
    "wire, expected",
    [
        ("fe030000 61626300", b"abc"),
        ("fe000000", b""),
        ("fe010000 7a000000", b"z"),
    ],
    ids=["3", "0", "1"],
)
def test_long_form_read_for_small_lengths(wire, expected):
    assert one("bytes").unpack(hx("01000000" + wire))["x"] == expected


def test_ff_is_a_short_length():
    body = payload(255)
    # 1 + 255 bytes: already a multiple of 4, no padding.
    assert one("bytes").unpack(hx("01000000 ff") + body)["x"] == body


def test_padding_is_not_checked():
    assert one("bytes").unpack(hx("01000000 01 61 ffff"))["x"] == b"a"


def test_padding_follows_each_string():
    p = make_parser(
        ctor(
            "s",
            1,
            param("a", "bytes"),
            param("b", "bytes"),
            param("c", "bytes"),
            param("d", "bytes"),
            param("e", "int"),
        )
    )
    value = {"_": "s", "a": b"\x11", "b": b"\x21\x22", "c": b"\x31\x32\x33\x34\x35",
             "d": b"", "e": 7}
    data = p.pack(value)
    assert data == hx(
        "01000000"
        "01110000"
        "02212200"
        "0531323334350000"
        "00000000"
        "07000000"
    )
    assert p.unpack(data) == value


def test_padding_after_long_form():
    p = make_parser(ctor("s", 1, param("a", "bytes"), param("e", "int")))
    body = payload(257)
    data = p.pack({"_": "s", "a": body, "e": 9})
    assert data == hx("01000000 fe010100") + body + bytes(3) + hx("09000000")
    assert p.unpack(data) == {"_": "s", "a": body, "e": 9}


@pytest.mark.parametrize(
    "wire, expected",
    [
        ("0161", b"a"),
        ("026162", b"ab"),
        ("0461626364", b"abcd"),
        ("046162636400", b"abcd"),
        ("fe010000 61", b"a"),
    ],
    ids=["1-no-pad", "2-no-pad", "4-no-pad", "4-short-pad", "long-no-pad"],
)
def test_ends_inside_last_padding(wire, expected):
    assert one("bytes").unpack(hx("01000000" + wire)) == {"_": "v", "x": expected}


def test_string_ends_inside_padding():
    assert one("string").unpack(hx("01000000 026162")) == {"_": "v", "x": "ab"}


# ---------------------------------------------------------------- text


def test_text_e_acute():
    p = one("string")
    assert p.pack({"_": "v", "x": "\u00e9"}) == hx("01000000 02c3a900")
    assert p.unpack(hx("01000000 02c3a900"))["x"] == "\u00e9"


@pytest.mark.parametrize(
    "text",
    ["", "ab", "h\u00e9llo w\u00f6rld", "\u65e5\u672c\u8a9e", "\U0001f600",
     "a\U0001f600b\u00e9", "\U0001f600" * 64, "\u00e9" * 127, "\x00nul"],
    ids=["empty", "ascii", "latin", "cjk", "astral", "mixed", "astral-long",
         "254-bytes", "nul"],
)
def test_text_is_utf8(text):
    p = one("string")
    raw = text.encode("utf-8")
    n = len(raw)
    head = bytes([n]) if n <= 253 else b"\xfe" + n.to_bytes(3, "little")
    body = head + raw
    data = p.pack({"_": "v", "x": text})
    assert data == hx("01000000") + body + bytes(-len(body) % 4)
    assert p.unpack(data)["x"] == text


def test_astral_text_exact_bytes():
    assert one("string").pack({"_": "v", "x": "\U0001f600"}) == hx(
        "01000000 04f09f9880000000"
    )


# ---------------------------------------------------------------- vectors


@pytest.mark.parametrize(
    "kind, value, wire",
    [
        ("Vector<int>", [1, 2], VEC + "02000000 01000000 02000000"),
        ("Vector<string>", ["ab"], VEC + "01000000 02616200"),
        ("Vector<int>", [], VEC + "00000000"),
        ("Vector<long>", [1, 2**64 - 1], VEC + "02000000 0100000000000000 ffffffffffffffff"),
        ("Vector<double>", [1.5], VEC + "01000000 000000000000f83f"),
        ("Vector<Bool>", [True, False], VEC + "02000000 01000000 00000000"),
        ("Vector<bytes>", [b"a", b"abcd"], VEC + "02000000 01610000 0461626364000000"),
    ],
    ids=["ints", "strings", "empty", "longs", "doubles", "bools", "bytes"],
)
def test_vector(kind, value, wire):
    p = one(kind)
    data = p.pack({"_": "v", "x": value})
    assert data == hx("01000000" + wire)
    assert p.unpack(data) == {"_": "v", "x": value}


@pytest.mark.parametrize(
    "word, shown",
    [
        ("00000000", "00000000"),
        ("1cb5c415", "15c4b51c"),
        ("01efcdab", "abcdef01"),
        ("ffffffff", "ffffffff"),
    ],
    ids=["zero", "swapped", "lowercase", "ones"],
)
def test_invalid_vector_id(word, shown):
    p = one("Vector<int>")
    with pytest.raises(ValueError) as excinfo:
        p.unpack(hx("01000000" + word + "00000000"))
    assert str(excinfo.value) == "Invalid vector ID: 0x" + shown


@pytest.mark.parametrize("cut", ["", "15", "15c4b5"], ids=["none", "1", "3"])
def test_cut_vector_id_reads_as_zero(cut):
    with pytest.raises(ValueError) as excinfo:
        one("Vector<int>").unpack(hx("01000000" + cut))
    assert str(excinfo.value) == "Invalid vector ID: 0x00000000"


def test_vector_of_objects_writes_each_id():
    p = make_parser(
        ctor("pt", 5, param("x", "int")),
        ctor("v", 1, param("x", "Vector<Pt>")),
    )
    value = {"_": "v", "x": [{"_": "pt", "x": 1}, {"_": "pt", "x": 2}]}
    data = p.pack(value)
    assert data == hx("01000000" + VEC + "02000000 05000000 01000000 05000000 02000000")
    assert p.unpack(data) == value
