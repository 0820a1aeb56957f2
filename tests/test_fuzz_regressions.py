"""Inputs the fuzz targets in fuzz/ failed on, replayed through the same
checks, and the checks themselves: they must pass on good input and must
notice a codec that misbehaves."""

import os

import pytest
from fuzzcheck import checks, tlref

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SAVED = os.path.join(HERE, "fuzz_regressions")


def saved_inputs():
    """(target, path) for every file under fuzz_regressions/TARGET/."""
    found = []
    for target in sorted(checks.CHECKS):
        folder = os.path.join(SAVED, target)
        if os.path.isdir(folder):
            found += [(target, os.path.join(folder, name))
                      for name in sorted(os.listdir(folder))]
    return found


@pytest.mark.parametrize("target, path", saved_inputs(),
                         ids=lambda v: os.path.basename(v) if os.sep in v else v)
def test_saved_crash_input(target, path):
    with open(path, "rb") as f:
        checks.CHECKS[target](f.read())


def seeds():
    folder = os.path.join(ROOT, "fuzz", "corpus", "unpack")
    return sorted(os.path.join(folder, n) for n in os.listdir(folder))


def test_seed_corpus_passes_unpack_check():
    paths = seeds()
    assert len(paths) > 20
    for path in paths:
        with open(path, "rb") as f:
            checks.check_unpack(f.read())


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
