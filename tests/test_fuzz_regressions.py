"""Inputs the fuzz targets in fuzz/ failed on, replayed through the same
checks, and the checks themselves: they must pass on good input and must
notice a codec that misbehaves."""

import os

import pytest
from fuzzcheck import checks, stdref, tlref

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SAVED = os.path.join(HERE, "fuzz_regressions")


def saved_inputs(sub=""):
    """(target, path) for every file under fuzz_regressions/TARGET/SUB."""
    found = []
    for target in sorted(checks.CHECKS):
        folder = os.path.join(SAVED, target, sub)
        if os.path.isdir(folder):
            found += [(target, os.path.join(folder, name))
                      for name in sorted(os.listdir(folder))
                      if os.path.isfile(os.path.join(folder, name))]
    return found


def _input_id(v):
    return os.path.basename(v) if os.sep in v else v


@pytest.mark.parametrize("target, path", saved_inputs(), ids=_input_id)
def test_saved_crash_input(target, path):
    with open(path, "rb") as f:
        checks.CHECKS[target](f.read())


# Inputs of faults reported but not fixed yet; each moves up to its target's
# folder, and its entry leaves checks.PENDING, once the fault is fixed.
@pytest.mark.parametrize("target, path", saved_inputs("pending"), ids=_input_id)
def test_pending_input(target, path):
    pytest.skip(f"known fault, reported and not fixed yet: {os.path.basename(path)}")


def seeds(target):
    folder = os.path.join(ROOT, "fuzz", "corpus", target)
    return sorted(os.path.join(folder, n) for n in os.listdir(folder))


@pytest.mark.parametrize("target", ["unpack", "std_unpack"])
def test_seed_corpus_passes_its_check(target):
    paths = seeds(target)
    assert len(paths) > 20
    for path in paths:
        with open(path, "rb") as f:
            checks.CHECKS[target](f.read())


@pytest.mark.parametrize("target", sorted(checks.CHECKS))
@pytest.mark.parametrize("data", [b"", bytes(range(256)), b"\xff" * 300,
                                  bytes(range(7, 250, 3)) * 9],
                         ids=["empty", "ramp", "ones", "stride"])
def test_checks_pass_on_fixed_inputs(target, data):
    checks.CHECKS[target](data)


# The model must agree with the documented wire bytes, independently of the
# extension, or the fuzzers would compare against the wrong thing.
WORKED = tlref.Schema({"constructors": [
    {"predicate": "obj", "id": 42, "params": [
        {"name": "flags", "type": "#"}, {"name": "n", "type": "long"},
        {"name": "s", "type": "flags.0?string"}, {"name": "t", "type": "flags.1?true"},
        {"name": "v", "type": "flags2.3?Vector<Vector<int>>"},
        {"name": "flags2", "type": "#"}]}]})


@pytest.mark.parametrize("value, wire, back", [
    ({"_": "obj", "n": 0x0102030405060708, "s": "ab"},
     "2a000000 01000000 0807060504030201 02616200 00000000",
     {"_": "obj", "n": 0x0102030405060708, "s": "ab", "t": False, "v": None}),
    ({"_": "obj", "t": True, "s": None, "v": None},
     "2a000000 02000000 0000000000000000 00000000",
     {"_": "obj", "n": 0, "s": None, "t": True, "v": None}),
    # The second word is complete before the first byte, so its field is
    # written ahead of it, where no reader can know its bit yet.
    ({"_": "obj", "t": 1, "v": [-1, 2]},
     "2a000000 00000000 0000000000000000 15c4b51c 02000000 ffffffff 02000000"
     " 08000000",
     None),
], ids=["worked", "true-flag", "flags2-after-its-field"])
def test_model_matches_wire_examples(value, wire, back):
    data, got = tlref.encode(WORKED, value)
    assert data == bytes.fromhex(wire)
    assert got == back
    if back is not None:
        assert tlref.decode(WORKED, data) == (back, data)


class Lying:
    """A parser stand-in whose unpack result is altered."""

    def __init__(self, real, unpack):
        self.real, self._unpack = real, unpack

    def pack(self, value):
        return self.real.pack(value)

    def unpack(self, data):
        return self._unpack(self.real.unpack(data))


def _raise(exc):
    raise exc


@pytest.mark.parametrize("alter", [
    lambda r: {**r, "i": r["i"] ^ 1},
    lambda r: {**r, "d": -r["d"]},
    lambda r: {k: v for k, v in r.items() if k != "ok"},
    lambda r: _raise(SystemError("bad internal call")),
    lambda r: _raise(RuntimeError("Parse error at position 4")),
], ids=["int", "double-sign", "missing-key", "undocumented-error", "refused"])
def test_unpack_check_notices_a_wrong_codec(monkeypatch, alter):
    real = checks.fixed_parser()
    good = real.pack({"_": "prim", "i": 6, "d": 2.0, "ok": True})
    monkeypatch.setattr(checks, "_parser", Lying(real, alter))
    with pytest.raises(checks.Finding):
        checks.check_unpack(good)


# What re-packing an unpacked message must give: the input with only its
# non-canonical parts rewritten.
PRIM = "01000010"  # id of "prim" in the fixed schema
PRIM_REST = "00000000 0000000000000000 0000000000000000 00000000 00000000"


@pytest.mark.parametrize("wire, canonical", [
    (PRIM + PRIM_REST + " 01000000", PRIM + PRIM_REST + " 01000000"),
    (PRIM + PRIM_REST + " 07000000", PRIM + PRIM_REST + " 01000000"),
    (PRIM + "00000000 0000000000000000 0000000000000000 fe020000 6162 0000"
     " 01ff ffff 00000000",
     PRIM + "00000000 0000000000000000 0000000000000000 02616200"
     " 01ff0000 00000000"),
    ("01efcdab f0ffff7f 05000000 00ff0000", "01efcdab 00000000 05000000 00000000"),
], ids=["as-is", "bool-word", "long-form-and-padding", "unused-flag-bits"])
def test_model_canonical_form(wire, canonical):
    value, got = tlref.decode(checks.FIXED, bytes.fromhex(wire))
    assert got == bytes.fromhex(canonical)
    checks.check_unpack(bytes.fromhex(wire))


class Corrupting:
    """A parser whose pack output has one byte changed."""

    def __init__(self, text):
        from Mivex.tl import TLParser
        self.real = TLParser(text)

    def pack(self, value):
        out = bytearray(self.real.pack(value))
        out[0] ^= 0x80
        return bytes(out)

    def unpack(self, data):
        return self.real.unpack(data)


def test_schema_check_notices_wrong_bytes(monkeypatch):
    monkeypatch.setattr(checks, "TLParser", Corrupting)
    with pytest.raises(checks.Finding, match="pack of"):
        checks.check_schema(bytes(range(256)))


@pytest.mark.parametrize("exc", [SystemError("x"), MemoryError(), IndexError("x")])
def test_pack_check_notices_undocumented_errors(monkeypatch, exc):
    class Raising:
        def pack(self, value):
            raise exc

    monkeypatch.setattr(checks, "_parser", Raising())
    with pytest.raises(checks.Finding, match="undocumented"):
        checks.check_pack(bytes(range(256)))


# ---------------------------------------------------------------- newer checks


class StdLying:
    """A standard-profile parser whose unpack result is altered."""

    def __init__(self, real, alter):
        self.real, self.alter = real, alter

    def pack(self, value):
        return self.real.pack(value)

    def unpack(self, data):
        return self.alter(self.real.unpack(data))


STD_GOOD = {"_": "prim", "i": -6, "h": -(2**100), "ok": True, "s": "\u00e9"}


@pytest.mark.parametrize("alter", [
    lambda r: {**r, "i": r["i"] & 0xFFFFFFFF},
    lambda r: {**r, "h": r["h"] + 1},
    lambda r: {**r, "ok": 1},
    lambda r: {k: v for k, v in r.items() if k != "t"},
    lambda r: _raise(SystemError("bad internal call")),
    lambda r: _raise(ValueError("Invalid Bool ID: 0x00000001")),
], ids=["unsigned-int", "int128", "bool-as-int", "missing-true", "undocumented-error",
        "refused"])
def test_std_unpack_check_notices_a_wrong_codec(monkeypatch, alter):
    real = checks.parser_of(True)
    good = real.pack(STD_GOOD)
    checks.check_std_unpack(good)
    monkeypatch.setitem(checks._parsers, (True, False), StdLying(real, alter))
    with pytest.raises(checks.Finding):
        checks.check_std_unpack(good)


def test_std_model_reads_documented_bytes():
    # int -1, long -2, boxed Bool words, true taking no bytes, signed int128.
    schema = stdref.Schema({"constructors": [
        {"predicate": "v", "id": 1, "type": "V", "params": [
            {"name": "m", "type": "#"}, {"name": "i", "type": "int"},
            {"name": "l", "type": "long"}, {"name": "b", "type": "m.0?Bool"},
            {"name": "t", "type": "m.1?true"}, {"name": "h", "type": "int128"},
            {"name": "w", "type": "vector<Bool>"}]}]})
    wire = bytes.fromhex("01000000 01000000 ffffffff feffffffffffffff b5757299"
                         " fdffffffffffffffffffffffffffffff 01000000 379779bc")
    value, canonical, end = stdref.decode(schema, wire)
    assert value == {"_": "v", "i": -1, "l": -2, "b": True, "t": False, "h": -3,
                     "w": [False]}
    assert (canonical, end) == (wire, len(wire))
    assert stdref.encode(schema, value) == (wire, value)
    with pytest.raises(stdref.RefError):
        stdref.decode(schema, wire[:-4] + bytes(4))


class ShiftedEnds:
    """A parser whose unpack_from reports an end one byte short."""

    def __init__(self, real):
        self.real = real

    def __getattr__(self, name):
        return getattr(self.real, name)

    def unpack_from(self, buf, offset=0):
        obj, end = self.real.unpack_from(buf, offset)
        return obj, end - 1


def test_stream_check_notices_wrong_ends(monkeypatch):
    data = bytes(range(1, 255, 3)) * 3
    checks.check_stream(data)
    monkeypatch.setitem(checks._parsers, (True, False), ShiftedEnds(checks.parser_of(True)))
    monkeypatch.setattr(checks, "fixed_parser", lambda: ShiftedEnds(checks.parser_of(False)))
    monkeypatch.setitem(checks._parsers, (False, False), ShiftedEnds(checks.parser_of(False)))
    found = 0
    for k in range(40):
        try:
            checks.check_stream(bytes([k]) + data)
        except checks.Finding:
            found += 1
    assert found > 10


class LooseStrict:
    """A strict parser that packs one byte differently from the lenient one."""

    def __init__(self, real):
        self.real = real

    def pack(self, value):
        out = bytearray(self.real.pack(value))
        out[-1] ^= 1
        return bytes(out)


def test_std_schema_check_notices_strict_disagreeing(monkeypatch):
    real = checks.TLParser

    def make(text, *, standard=False, strict=False):
        p = real(text, standard=standard, strict=strict)
        return LooseStrict(p) if strict else p

    monkeypatch.setattr(checks, "TLParser", make)
    with pytest.raises(checks.Finding, match="strict"):
        for k in range(50):
            checks.check_std_schema(bytes([k % 7 + 1]) + bytes(range(k, 256)))


@pytest.mark.parametrize("power, bounds, match", [
    # Quadratic in the text's length, as a compile that rescans would be:
    # over the absolute bound.
    (2, {"LARGE_SECONDS": 0.05, "LARGE_SECONDS_PER_BYTE": 1e-8}, "schema"),
    # 8 times as long for twice the text, whatever the compile itself costs
    # on this build (a sanitizer build is several times slower): only the
    # growth can tell.
    (3, {"LARGE_SECONDS": 60.0, "LARGE_RATIO_FROM": 0.005}, "grows faster than its size"),
], ids=["slow", "growth"])
def test_large_schema_check_notices_slow_compiles(monkeypatch, power, bounds, match):
    real = checks.TLParser

    def slow(text, *, standard=False, strict=False):
        checks.time.sleep((len(text) / 2e5) ** power)
        return real(text, standard=standard, strict=strict)

    monkeypatch.setattr(checks, "TLParser", slow)
    for name, value in bounds.items():
        monkeypatch.setattr(checks, name, value)
    monkeypatch.setattr(checks, "large_done", set())  # checked again, not skipped as seen
    shape = checks.LARGE_SHAPES.index("fields")
    # Large (first byte), shape "fields", 2**12 units by all three draws.
    data = bytes([checks.LARGE_ONE_IN - 1, shape, 12, 12, 12, 0]) + bytes(80)
    with pytest.raises(checks.Finding, match=match):
        checks.check_schema(data)


@pytest.mark.parametrize("mode", [1, 3], ids=["default-strict", "standard-strict"])
def test_pack_check_notices_strict_disagreeing(monkeypatch, mode):
    real = checks.parser_of

    def parser_of(standard, strict=False):
        p = real(standard, strict)
        return LooseStrict(p) if strict else p

    monkeypatch.setattr(checks, "parser_of", parser_of)
    found = 0
    for k in range(200):
        try:
            checks.check_pack(bytes([mode]) + bytes((k * 7 + i * 13) % 256 for i in range(60)))
        except checks.Finding as e:
            assert "strict" in str(e)
            found += 1
    assert found
