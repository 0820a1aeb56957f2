"""Smoke tests of the benchmark suite (benchmarks/): every shape round-trips
through every library that is installed, the pure-Python codec and the floor
agree with Mivex byte for byte, the checker catches wrong results, and the
reports render.  Timings are never asserted."""

import json
import math
import shutil
import sys
import sysconfig
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from benchmarks import cli, hostile, measure, peers, report  # noqa: E402
from benchmarks.purepy import PurePythonTL  # noqa: E402
from benchmarks.shapes import SHAPES  # noqa: E402
from Mivex.tl import TLParser  # noqa: E402

SMOKE_LIBS = ["mivex", "pickle", "marshal", "purepy"]
LIBS = {lib.key: lib for lib in peers.ALL_LIBS}


def _mivex_bytes(shape):
    return TLParser(shape.schema_json).pack(shape.value)


# ---------------------------------------------------------------------------
# The corpus is what it claims to be
# ---------------------------------------------------------------------------


def _fields(shape, name):
    return [p for p in shape.ctors[name].params if p.kind != "flags"]


def test_shape_1_is_a_small_flat_object():
    s = SHAPES[1]
    fields = _fields(s, s.top)
    assert 6 <= len(fields) <= 8
    assert {p.kind for p in fields} == {"int", "long", "double", "bool", "string"}
    assert all(len(v) < 30 for v in s.value.values() if isinstance(v, str))


def test_shape_2_holds_2_kib_of_text_and_4_kib_of_bytes():
    v = SHAPES[2].value
    assert len(v["caption"].encode("utf-8")) == 2048 and not v["caption"].isascii()
    assert type(v["data"]) is bytes and len(v["data"]) == 4096


def test_shape_3_has_ten_conditional_fields_half_present():
    s = SHAPES[3]
    params = s.ctors[s.top].params
    assert params[0].kind == "flags"
    conditional = [p for p in params if p.conditional]
    assert len(conditional) == 10
    present = [p for p in conditional if p.name in s.value]
    assert len(present) == 5
    assert any(p.is_true for p in present) and any(p.is_true for p in conditional if p not in present)


def test_shape_4_nests_three_levels_of_four_to_six_fields():
    s = SHAPES[4]
    depth, obj = 0, s.value
    while obj is not None:
        depth += 1
        assert 4 <= len(obj) - 1 <= 6
        obj = next((v for v in obj.values() if isinstance(v, dict)), None)
    assert depth == 3


def test_shapes_5_to_7_have_their_sizes():
    users = SHAPES[5].value["users"]
    assert len(users) == 1000 and all(u["_"] == "benchUser" for u in users)
    assert len({u["id"] for u in users}) > 990
    ids = SHAPES[6].value["ids"]
    assert len(ids) == 100_000 and all(0 <= x < 1 << 64 for x in ids)
    assert max(ids) >= 1 << 62
    assert len(SHAPES[7].value["data"]) == 1 << 20
    assert len(_mivex_bytes(SHAPES[6])) == 4 + 8 + 8 * 100_000
    assert len(_mivex_bytes(SHAPES[7])) == 4 + 4 + (1 << 20)


# ---------------------------------------------------------------------------
# Every installed library round-trips every shape it supports
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("number", sorted(SHAPES))
@pytest.mark.parametrize("key", [k for k in LIBS if k != "floor"])
def test_case_round_trips(key, number):
    lib, shape = LIBS[key], SHAPES[number]
    reason = lib.available()
    if reason:
        pytest.skip(reason)
    if not lib.supports(shape):
        pytest.skip("shape not supported by this library")
    case = lib.prepare(shape)
    measure.check(case, _mivex_bytes(shape))
    for op in (case.pack, case.unpack):
        if op is not None:
            loop = measure.make_loop(op)
            assert loop(2) >= 0


def _compiler_available():
    cc = (sysconfig.get_config_var("LDSHARED") or "").split()
    return bool(cc) and shutil.which(cc[0]) is not None


@pytest.mark.skipif(not _compiler_available(), reason="no C compiler")
@pytest.mark.parametrize("number", sorted(SHAPES))
def test_floor_gives_mivex_bytes_and_values(number):
    lib = LIBS["floor"]
    reason = lib.available()
    if reason:
        pytest.fail(reason)
    shape = SHAPES[number]
    measure.check(lib.prepare(shape), _mivex_bytes(shape))


@pytest.mark.skipif(not _compiler_available(), reason="no C compiler")
@pytest.mark.parametrize("field, value", [
    ("date", 0), ("date", -1), ("date", 2**30 - 1), ("date", 2**30), ("date", 2**31 - 1),
    ("date", -2**30), ("date", -2**31), ("id", 0), ("id", 2**30), ("id", 2**60 - 1),
    ("id", 2**60), ("id", 2**64 - 1), ("rating", float("-inf")), ("verified", 0),
])
def test_floor_integer_fast_paths_match_mivex(field, value):
    lib = LIBS["floor"]
    if lib.available():
        pytest.fail(lib.available())
    value_1 = dict(SHAPES[1].value, **{field: value})
    parser = TLParser(SHAPES[1].schema_json)
    data = parser.pack(value_1)
    floor = peers.FloorLib._module
    assert floor.pack1(value_1) == data
    assert measure.difference(floor.unpack1(data), parser.unpack(data)) is None


@pytest.mark.skipif(not _compiler_available(), reason="no C compiler")
@pytest.mark.parametrize("field, value, error", [
    ("date", 2**31, OverflowError), ("date", -2**31 - 1, OverflowError),
    ("id", -1, OverflowError), ("id", 2**64, OverflowError), ("first_name", b"x", TypeError),
])
def test_floor_refuses_what_mivex_refuses(field, value, error):
    lib = LIBS["floor"]
    if lib.available():
        pytest.fail(lib.available())
    value_1 = dict(SHAPES[1].value, **{field: value})
    with pytest.raises(error):
        TLParser(SHAPES[1].schema_json).pack(value_1)
    with pytest.raises(error):
        peers.FloorLib._module.pack1(value_1)


# ---------------------------------------------------------------------------
# The checker rejects wrong results
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("got, want", [
    pytest.param({"a": 1}, {"a": True}, id="int-vs-bool"),
    pytest.param({"a": 1.0}, {"a": 1}, id="float-vs-int"),
    pytest.param({"a": 0.0}, {"a": -0.0}, id="signed-zero"),
    pytest.param({"a": bytearray(b"x")}, {"a": b"x"}, id="bytearray-vs-bytes"),
    pytest.param({"a": 1}, {"a": 1, "b": None}, id="missing-key"),
    pytest.param({"a": [1, 2]}, {"a": [1, 2, 3]}, id="short-list"),
    pytest.param({"a": {"b": "x"}}, {"a": {"b": "y"}}, id="nested-value"),
])
def test_difference_finds(got, want):
    assert measure.difference(got, want) is not None


def test_difference_accepts_equal_values():
    v = SHAPES[4].tl_expected
    assert measure.difference(json.loads(json.dumps(v)), v) is None


def test_check_rejects_a_wrong_round_trip_and_wrong_bytes():
    shape = SHAPES[1]
    case = LIBS["purepy"].prepare(shape)
    measure.check(case, _mivex_bytes(shape))
    with pytest.raises(measure.CheckFailed, match="bytes differ"):
        measure.check(case, _mivex_bytes(shape)[:-4] + b"\1\0\0\0")
    case.expected = dict(case.expected, verified=1)
    with pytest.raises(measure.CheckFailed, match="round trip differs"):
        measure.check(case, _mivex_bytes(shape))


# ---------------------------------------------------------------------------
# The pure-Python baseline codec agrees with Mivex
# ---------------------------------------------------------------------------

EDGE_SCHEMA = {"constructors": [
    {"predicate": "edge", "id": "-559038737", "type": "Edge", "params": [
        {"name": "flags", "type": "#"},
        {"name": "i", "type": "int"},
        {"name": "l", "type": "long"},
        {"name": "d", "type": "double"},
        {"name": "s", "type": "string"},
        {"name": "b", "type": "bytes"},
        {"name": "t", "type": "flags.0?true"},
        {"name": "o", "type": "flags.1?int"},
        {"name": "v", "type": "Vector<string>"},
    ]},
]}


@pytest.mark.parametrize("value", [
    pytest.param({"i": -1, "l": 2**64 - 1, "d": -0.0, "s": "é" * 3, "b": b"x" * 253,
                  "t": True, "o": 7, "v": ["", "ab"]}, id="edges-253"),
    pytest.param({"i": 2**31 - 1, "l": 0, "d": 1.5, "s": "a" * 254, "b": b"y" * 1000,
                  "v": []}, id="long-form"),
    pytest.param({}, id="defaults"),
])
def test_purepy_matches_mivex(value):
    value = dict(value, _="edge")
    text = json.dumps(EDGE_SCHEMA)
    mivex, pure = TLParser(text), PurePythonTL(text)
    data = mivex.pack(value)
    assert pure.pack(value) == data
    assert measure.difference(pure.unpack(data), mivex.unpack(data)) is None


# ---------------------------------------------------------------------------
# Report: ratios point the right way, targets are judged, the table renders
# ---------------------------------------------------------------------------


def _results(times):
    res = report.Results(shapes=[1], libs=[LIBS[k] for k in ("mivex", "floor", "purepy", "msgspec")],
                         timings={}, sizes={(1, k): 48 for k in ("mivex", "floor", "purepy", "msgspec")})
    for (key, op), t in times.items():
        res.timings[(1, key, op)] = measure.Timing(1, [t, t * 1.1])
    return res


def test_ratios_and_targets():
    res = _results({("mivex", "pack"): 100e-9, ("floor", "pack"): 80e-9,
                    ("purepy", "pack"): 3e-6, ("msgspec", "pack"): 150e-9,
                    ("mivex", "unpack"): 200e-9, ("floor", "unpack"): 100e-9,
                    ("purepy", "unpack"): 2e-6, ("msgspec", "unpack"): 400e-9})
    assert res.ratio(1, "msgspec", "pack") == pytest.approx(1.5)
    assert res.t(1, "mivex", "pack", "median") == pytest.approx(105e-9)
    by_text = {t.text: t for t in report.targets(res)}
    peer = by_text["shape 1 pack: fastest core peer / Mivex"]
    assert peer.value == pytest.approx(1.5) and peer.status == "**missed**"
    assert by_text["shape 1 pack: Mivex / floor"].status == "met"
    assert by_text["shape 1 unpack: Mivex / floor"].value == pytest.approx(2.0)
    assert by_text["shape 1 unpack: Mivex / floor"].status == "**missed**"
    assert by_text["shape 1 unpack: fastest core peer / Mivex"].status == "met"
    assert by_text["shape 1 pack: pure Python / Mivex"].value == pytest.approx(30)
    assert by_text["shape 1 pack: pure Python / Mivex"].status == "met"
    assert by_text["shape 1 unpack: pure Python / Mivex"].status == "**missed**"
    assert not math.isnan(peer.value)


def test_quick_run_writes_the_table(tmp_path, capsys):
    rc = cli.main(["--quick", "--libs", ",".join(SMOKE_LIBS), "--out", str(tmp_path), "--no-chart"])
    printed = capsys.readouterr().out
    assert rc == 0
    text = (tmp_path / "latest.md").read_text(encoding="utf-8")
    assert text.strip() == printed.strip()
    for n, shape in SHAPES.items():
        section = text.split(f"## Shape {n}: {shape.title}")[1].split("\n## ")[0]
        for label in ("**Mivex**", "pickle", "marshal", "pure Python"):
            assert f"| {label}" in section
    assert "Check failed" not in text
    assert "## Memory (tracemalloc)" in text and "## Targets" in text
    assert "debug build" in text and "CPU" in text


def test_library_filter_keeps_mivex_and_rejects_unknown_keys():
    assert [lib.key for lib in peers.select(["pickle"])] == ["mivex", "pickle"]
    assert {lib.key for lib in peers.select(["msgpack"])} == {"mivex", "msgpack", "msgpack-packer"}
    with pytest.raises(SystemExit):
        peers.select(["nosuchlib"])


def test_hostile_figures_report_the_exception_raised(capsys):
    assert hostile.main(["--runs", "1", "--random", "10", "--only", "claiming 16 MiB"]) == 0
    rows = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| unpack")]
    assert len(rows) == 1 and "| RuntimeError (Parse error) |" in rows[0], rows
