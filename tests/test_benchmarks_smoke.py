"""Smoke tests of the benchmark suite (benchmarks/): every shape round-trips
through every library that is installed, the pure-Python codec and the C
reference codec (key ``floor``) agree with Mivex byte for byte, the checker catches wrong results, and the
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
    assert by_text["shape 1 pack: Mivex / C reference"].status == "met"
    assert by_text["shape 1 unpack: Mivex / C reference"].value == pytest.approx(2.0)
    assert by_text["shape 1 unpack: Mivex / C reference"].status == "**missed**"
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


# ---------------------------------------------------------------------------
# The mix: a large generated schema, values as an application gets them
# ---------------------------------------------------------------------------

from benchmarks import guard, instructions, mix as mixbench, mixcounts, mixdata  # noqa: E402

MIX = mixdata.build()
MIX_FACTS = mixbench.describe(MIX)


@pytest.mark.parametrize("fact, low, high", [
    ("entries", 2300, 2500),
    ("mean fields", 2.7, 3.5),
    ("max fields", 25, 30),
    ("conditional", 0.28, 0.38),
    ("true among conditional", 0.38, 0.5),
    ("with flags", 0.26, 0.34),
    ("with flags2", 5, 120),
    ("non-ASCII strings", 0.2, 0.5),
    ("string bytes max", 600, 700),
    ("values with bytes", 50, 800),
])
def test_mix_has_its_proportions(fact, low, high):
    assert low <= MIX_FACTS[fact] <= high, MIX_FACTS[fact]


@pytest.mark.parametrize("kind, share", [
    ("int", 0.27), ("long", 0.09), ("string", 0.14), ("bytes", 0.02), ("Bool or true", 0.15),
    ("object", 0.22), ("vector of objects", 0.08), ("vector of primitives", 0.02),
])
def test_mix_field_kinds(kind, share):
    assert abs(MIX_FACTS["kinds"][kind] - share) < 0.025, MIX_FACTS["kinds"]


def test_mix_entries_and_nesting():
    assert MIX_FACTS["methods"] * 2 == MIX_FACTS["constructors"]
    assert max(MIX_FACTS["depths"]) == 4 and MIX_FACTS["depths"][4] >= 50
    assert {len(e.fields) for e in MIX.entries} >= set(range(0, 13))
    assert len({e.id for e in MIX.entries}) == len({e.name for e in MIX.entries}) == len(MIX.entries)


@pytest.mark.parametrize("script, low, high", [
    ("Cyrillic", 0x0400, 0x04FF), ("CJK", 0x4E00, 0x9FFF), ("emoji", 0x1F300, 0x1FAFF),
    ("Latin accents", 0x00C0, 0x017F),
])
def test_mix_text_mixes_scripts(script, low, high):
    strings = mixbench._strings(MIX.values(), [])
    assert sum(any(low <= ord(ch) <= high for ch in s) for s in strings) >= 100


def test_mix_keys_come_from_json_not_from_the_schema():
    names = {sys.intern(p["name"]) for key in ("constructors", "methods")
             for e in MIX.schema[key] for p in e["params"]}
    keys = [k for v in MIX.values() for k in v if k != "_"]
    assert keys and all(k in names for k in keys)
    assert not any(k is sys.intern(k) for k in keys)  # equal, not the same objects
    interned = mixdata.interned_keys(MIX.values())
    assert all(k is sys.intern(k) for v in interned for k in v)


def test_mix_values_are_fresh_each_time_and_carry_bytes():
    a, b = MIX.values(), MIX.values()
    assert a == b and a[0] is not b[0]
    found = [x for v in a for x in _leaves(v) if isinstance(x, (bytes, bytearray))]
    assert found and all(type(x) is bytes for x in found)


def _leaves(v):
    if isinstance(v, dict):
        for x in v.values():
            yield from _leaves(x)
    elif isinstance(v, list):
        for x in v:
            yield from _leaves(x)
    else:
        yield v


def test_mix_ascii_variant_keeps_structure_and_byte_lengths():
    for v, w in zip(MIX.values(), MIX.values(ascii=True)):
        sv, sw = mixbench._strings(v, []), mixbench._strings(w, [])
        assert [len(s.encode()) for s in sv] == [len(s.encode()) for s in sw]
        assert all(s.isascii() for s in sw)
        assert [type(x) for x in _leaves(v)] == [type(x) for x in _leaves(w)]


def test_mix_is_the_same_in_every_process(tmp_path):
    schema, entries = mixdata.build_schema(mixdata.SEED)
    assert schema == MIX.schema and [e.name for e in entries] == [e.name for e in MIX.entries]
    MIX.to_file(tmp_path / "mix.json")
    again = mixdata.Mix.from_file(tmp_path / "mix.json")
    assert again.texts == MIX.texts and again.ascii_texts == MIX.ascii_texts
    assert [(e.name, e.level, e.method) for e in again.entries] == \
           [(e.name, e.level, e.method) for e in MIX.entries]


@pytest.mark.parametrize("key", ["mivex", "mivex-standard", "mivex-strict", "msgspec", "msgpack",
                                 "cbor2", "pickle", "marshal", "orjson"])
def test_mix_round_trips_every_value(key):
    codecs, failures, skipped = mixbench.prepare([key], MIX)
    if skipped:
        pytest.skip(skipped[0][1])
    assert failures == [] and [c.key for c in codecs] == [key]


class _Wrapped:
    """A TLParser of the profile asked for, its unpack result altered."""

    def __init__(self, schema, alter=lambda r: r, **options):
        self.real, self.alter = TLParser(schema, **options), alter

    def pack(self, value):
        return self.real.pack(value)

    def unpack(self, data):
        return self.alter(self.real.unpack(data))


def _with_flags(r):
    return dict(r, flags=0) if r["_"] in FLAGGED else r


FLAGGED = {e.name for e in MIX.entries if any(f.name == "flags" for f in e.fields)}


@pytest.mark.parametrize("alter, passes", [
    (lambda r: r, True),
    (_with_flags, True),    # a profile may return its flags words
    (lambda r: {k: v for k, v in r.items() if k != "_"} if len(r) > 1 else r, False),
    (lambda r: dict(r, _=r["_"] + "x"), False),
], ids=["same", "flags-words", "missing-key", "wrong-name"])
def test_standard_profile_is_run_and_checked_when_available(monkeypatch, alter, passes):
    import Mivex.tl
    monkeypatch.setattr(Mivex.tl, "TLParser",
                        lambda schema, **kw: _Wrapped(schema, alter=alter, **kw))
    codecs, failures, skipped = mixbench.prepare(["mivex-standard"], MIX)
    assert skipped == []
    if passes:
        assert [c.label for c in codecs] == ["Mivex (standard)"] and failures == []
    else:
        assert codecs == [] and failures[0][0] == "mivex-standard"


def test_standard_profile_is_skipped_when_the_parser_has_none(monkeypatch):
    import Mivex.tl
    monkeypatch.setattr(Mivex.tl, "TLParser", lambda schema: TLParser(schema))
    codecs, failures, skipped = mixbench.prepare(["mivex-standard"], MIX)
    assert codecs == [] and failures == [] and "standard=True" in skipped[0][1]


@pytest.mark.parametrize("alter", [
    lambda r: dict(r, _="zzz"),
    lambda r: {k: (v + 1 if type(v) is int else v) for k, v in r.items()},
], ids=["name", "int"])
def test_mix_check_catches_a_wrong_codec(alter):
    real = mixbench.make_codec("pickle", MIX.schema_json)
    bad = mixbench.Codec("bad", "bad", real.pack, lambda b: alter(real.unpack(b)), real.pack_arg)
    assert "round trip differs" in mixbench.check_codec(bad, MIX, MIX.values()[:200])


def _quick_mix(tmp_path, capsys, libs):
    rc = mixbench.main(["--quick", "--libs", libs, "--out", str(tmp_path)])
    printed = capsys.readouterr().out
    text = (tmp_path / "mix.md").read_text(encoding="utf-8")
    assert rc == 0 and text.strip() == printed.strip()
    return text


def test_mix_quick_run_writes_its_report(tmp_path, capsys):
    text = _quick_mix(tmp_path, capsys, "pickle")
    for variant in mixbench.VARIANTS:
        assert f"| {variant}: " in text
    pack = text.split("## pack")[1].split("## unpack")[0]
    assert "pickle/Mivex" in pack and "| values by nesting depth |" in text


def test_mix_runs_orjson_on_the_values_without_bytes_only(tmp_path, capsys):
    pytest.importorskip("orjson")
    pack = _quick_mix(tmp_path, capsys, "orjson").split("## pack")[1].split("## unpack")[0]
    no_bytes = next(line for line in pack.splitlines() if line.startswith("| no-bytes"))
    fresh = next(line for line in pack.splitlines() if line.startswith("| fresh"))
    assert no_bytes.rstrip(" |").split("|")[-1].strip() != "—"
    assert fresh.rstrip(" |").split("|")[-1].strip() == "—"


@pytest.mark.parametrize("variant", mixbench.VARIANTS)
@pytest.mark.parametrize("op", ["pack", "unpack"])
def test_count_worker_runs_each_variant(monkeypatch, tmp_path, variant, op):
    calls = []
    path = tmp_path / "mix.json"
    MIX.to_file(path)
    monkeypatch.setenv(mixbench.MIX_FILE_ENV, str(path))
    real = mixbench.make_codec

    def counting(key, schema_json):
        c = real(key, schema_json)
        c.pack = _counted(c.pack, calls, "pack")
        c.unpack = _counted(c.unpack, calls, "unpack")
        return c

    monkeypatch.setattr(mixbench, "make_codec", counting)
    mixbench.worker(variant, "pickle", op, 2, 3)
    per_pass = mixcounts.calls_per_pass(MIX, variant) // (
        mixcounts.COUNT_HOT_REPEATS if variant in mixbench.HOT else 1)
    repeats = 3 if variant in mixbench.HOT else 1
    assert calls.count(op) == per_pass * (1 + 2 * repeats)  # a warm-up pass, two measured
    if op == "unpack":
        assert calls.count("pack") == per_pass                # encoding its inputs


def _counted(f, calls, name):
    def call(*args):
        calls.append(name)
        return f(*args)
    return call


def test_count_worker_refuses_more_passes_than_value_sets():
    with pytest.raises(SystemExit):
        mixbench.worker("fresh", "loop", "pack", mixbench.WORKER_COPIES, 1)


class _Done:
    def __init__(self, value):
        self.value = value

    def result(self):
        return self.value


def test_counts_per_value_subtract_the_setup_run():
    calls = len(MIX.texts) * mixcounts.MEASURED_PASSES
    futures = {("fresh", "mivex", "pack"): (_Done({"Ir": 1000, "D1mr": 10}),
                                            _Done({"Ir": 1000 + calls * 6, "D1mr": 10 + calls * 2})),
               ("hot", "mivex", "pack"): (_Done({"Ir": 0}),
                                          _Done({"Ir": calls * mixcounts.COUNT_HOT_REPEATS * 5}))}
    got = mixcounts.per_value(MIX, futures)
    assert got[("fresh", "mivex", "pack")] == {"Ir": 6.0, "D1mr": 2.0}
    assert got[("hot", "mivex", "pack")] == {"Ir": 5.0}


def test_count_jobs_cover_every_library_and_the_detail_variants():
    jobs = set(mixcounts.jobs_for(["mivex", "msgspec", "pickle", "orjson"], mixbench.VARIANTS))
    assert ("fresh", "pickle", "unpack") in jobs and ("hot", "pickle", "pack") not in jobs
    assert {(v, lib) for v, lib, _ in jobs if lib == "orjson"} == {("no-bytes", "orjson")}
    assert ("interned", "mivex", "pack") in jobs and ("interned", "mivex", "unpack") not in jobs
    assert {v for v, lib, _ in jobs if lib == "msgspec"} == set(mixbench.VARIANTS)


@pytest.mark.parametrize("argv, numbers, mix", [
    (["--shapes", "1,mix"], [1], True),
    (["--shapes", "mix"], [], True),
    (["--shapes", "2,5"], [2, 5], False),
    ([], sorted(SHAPES), False),
])
def test_shapes_option_takes_the_mix(argv, numbers, mix):
    args = cli.parse_args(argv)
    assert args.shape_numbers == numbers and args.mix is mix


def test_shapes_option_rejects_other_words():
    with pytest.raises(SystemExit):
        cli.parse_args(["--shapes", "1,max"])


def test_worker_environment_is_fixed_and_keeps_extra_settings(monkeypatch):
    monkeypatch.setenv("SOMETHING_ELSE", "x" * 500)
    env = instructions.worker_env({mixbench.MIX_FILE_ENV: "/tmp/m.json"})
    assert "SOMETHING_ELSE" not in env and env["PYTHONHASHSEED"] == "0"
    assert env[mixbench.MIX_FILE_ENV] == "/tmp/m.json" and env["PYTHONDONTWRITEBYTECODE"] == "1"


# ---------------------------------------------------------------------------
# The instruction-count guard
# ---------------------------------------------------------------------------

BASE = {"1 pack": 1000.0, "1 unpack": 2000.0, "mix pack": 5000.0}


@pytest.mark.parametrize("now, ok, status", [
    ({"1 pack": 1030.0, "1 unpack": 2000.0, "mix pack": 5000.0}, True, "ok"),
    ({"1 pack": 1031.0, "1 unpack": 2000.0, "mix pack": 5000.0}, False, "**slower**"),
    ({"1 pack": 1000.0, "1 unpack": 2000.0, "mix pack": 5200.0}, False, "**slower**"),
    ({"1 pack": 900.0, "1 unpack": 2000.0, "mix pack": 5000.0}, True, "faster"),
    ({"1 pack": 1000.0, "1 unpack": 2000.0}, False, "**not measured**"),
    ({"1 pack": 1000.0, "1 unpack": 2000.0, "mix pack": 5000.0, "2 pack": 1.0}, False,
     "**not in the baseline**"),
], ids=["at-tolerance", "over", "mix-over", "faster", "missing", "new"])
def test_guard_compares_with_the_baseline(now, ok, status):
    passed, table = guard.compare({"counts": BASE}, now, 3.0)
    assert passed is ok
    assert status in table


def _write_baseline(path, minor, implementation="CPython"):
    path.write_text(json.dumps({"interpreter": {"implementation": implementation, "minor": minor,
                                                "version": minor + ".0"},
                                "counts": BASE, "measured": "then"}))


@pytest.mark.parametrize("minor, implementation", [("3.10", "CPython"), ("3.99", "CPython"),
                                                   (None, "PyPy")])
def test_guard_refuses_another_interpreter(tmp_path, capsys, minor, implementation):
    path = tmp_path / "b.json"
    _write_baseline(path, minor or "%d.%d" % sys.version_info[:2], implementation)
    assert guard.main(["--baseline", str(path)]) == 2
    assert "not comparable" in capsys.readouterr().err


def test_guard_without_a_baseline_says_how_to_make_one(tmp_path, capsys):
    assert guard.main(["--baseline", str(tmp_path / "none.json")]) == 2
    assert "--update" in capsys.readouterr().err


def test_guard_baseline_is_named_for_the_interpreter():
    assert guard.baseline_path().name == "instructions-cp%d%d.json" % sys.version_info[:2]
    assert guard.interpreter()["minor"] == "%d.%d" % sys.version_info[:2]
    ext = guard.extension()
    assert len(ext["sha256"]) == 12 and ext["sanitizers"] in ("yes", "no")


def test_committed_baseline_covers_what_the_guard_measures():
    path = guard.BASELINE_DIR / "instructions-cp311.json"
    data = json.loads(path.read_text(encoding="utf-8"))
    assert data["interpreter"]["minor"] == "3.11"
    want = {f"{n} {op}" for n in guard.GUARDED_SHAPES + ["mix"] for op in ("pack", "unpack")}
    assert set(data["counts"]) == want and all(v > 0 for v in data["counts"].values())


@pytest.mark.parametrize("a, b, want", [(100.0, 103.0, 100.0), (-5.0, 101.0, 101.0),
                                        (99.0, 0.0, 99.0), (-1.0, -2.0, -2.0)])
def test_guard_keeps_the_valid_lower_of_two_measurements(a, b, want):
    assert guard._better(a, b) == want


def test_guard_fails_an_invalid_count():
    passed, table = guard.compare({"counts": {"1 pack": 1000.0}}, {"1 pack": -3.0}, 3.0)
    assert not passed and "not a valid count" in table


# ---------------------------------------------------------------------------
# The mix's schema stays one the codec must accept, nested at most 4 deep
# ---------------------------------------------------------------------------


def test_mix_flag_words_come_first_with_distinct_bits():
    for entry in MIX.entries:
        seen, bits = set(), {}
        for f in entry.fields:
            if f.name in ("flags", "flags2"):
                assert f.type == "#" and f.name not in seen, entry.name
                seen.add(f.name)
            elif "?" in f.type:
                word, bit = f.type.split("?")[0].split(".")
                assert word in seen and 0 <= int(bit) < 32, (entry.name, f.name)
                assert int(bit) not in bits.setdefault(word, set()), (entry.name, f.name)
                bits[word].add(int(bit))


def test_mix_objects_only_hold_lower_levels():
    level = {e.type: e.level for e in MIX.entries if not e.method}
    methods = {e.name for e in MIX.entries if e.method}
    for e in MIX.entries:
        for f in e.fields:
            t = f.type.split("?")[-1]
            inner = t[len("Vector<"):-1] if t.startswith("Vector<") else t
            if inner in level:
                assert level[inner] < e.level, (e.name, f.name)
            assert inner not in methods


def test_mix_json_form_round_trips_bytes():
    gen = mixdata.Generator(MIX.schema, 7)
    for e in MIX.entries[:300]:
        value = gen.value(e.name)
        assert mixdata.from_json(MIX.ctors, mixdata.to_json(MIX.ctors, value)) == value


def test_flag_words_are_dropped_only_where_the_schema_has_them():
    name = next(iter(FLAGGED))
    plain = next(e.name for e in MIX.entries if not e.fields)
    got = mixbench._drop_flag_words(MIX, [{"_": name, "flags": 3, "x": {"_": plain, "flags": 1}}])
    assert got == [{"_": name, "x": {"_": plain, "flags": 1}}]


@pytest.mark.parametrize("arg", [None, 5])
def test_timing_loops_call_once_per_item_and_repeat_when_hot(arg):
    calls = []

    def f(x, a=None):
        calls.append((x, a))

    assert mixbench.pass_loop(f, [1, 2, 3], arg) >= 0
    assert calls == [(1, arg), (2, arg), (3, arg)]
    calls.clear()
    assert mixbench.hot_loop(f, [1, 2], arg, 4) >= 0
    assert calls == [(1, arg)] * 5 + [(2, arg)] * 5  # an untimed call, then the repeats


def test_bench_tasks_pair_libraries_with_variants():
    json_like = mixbench.Codec("orjson", "JSON", lambda v: json.dumps(v).encode(), json.loads,
                               bytes_ok=False)
    codecs = [mixbench.make_codec(k, MIX.schema_json) for k in ("mivex", "pickle")] + [json_like]
    bench = mixbench.Bench(MIX, codecs, mixbench.VARIANTS, 2)
    tasks = {(t.lib, t.variant, t.op) for t in bench.tasks()}
    assert ("orjson", "no-bytes", "pack") in tasks and ("orjson", "fresh", "pack") not in tasks
    assert ("pickle", "no-bytes", "pack") not in tasks and ("mivex", "no-bytes", "unpack") in tasks
    assert ("mivex", "interned", "unpack") not in tasks and ("pickle", "hot-literal", "unpack") in tasks
    assert len(bench.encoded[("orjson", "no-bytes")]) == len(bench.subset) < bench.count
    literal = bench.hot_values[("pickle", "hot-literal")]
    assert all(k is sys.intern(k) for v in literal for k in v)


# ---------------------------------------------------------------------------
# Counting: cachegrind's and perf's output read right, the guard's flow
# ---------------------------------------------------------------------------


class _Proc:
    def __init__(self, returncode=0, stdout="", stderr=""):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def test_cachegrind_events_are_read_from_its_output_file(monkeypatch, tmp_path):
    seen = {}

    def run(cmd, **kw):
        seen["cmd"], seen["env"] = cmd, kw["env"]
        out = next(a.split("=", 1)[1] for a in cmd if a.startswith("--cachegrind-out-file="))
        Path(out).write_text("desc: D1 cache: 49152 B\nevents: Ir D1mr DLmr\nsummary: 1000 20 3\n")
        return _Proc()

    monkeypatch.setattr(instructions.subprocess, "run", run)
    monkeypatch.setattr(instructions, "fixed_addresses", lambda: ["setarch", "x86_64", "-R"])
    got = instructions.events("mix:fresh", "mivex", "pack", 2, tmp_path, ["--D1=49152,12,64"],
                              {"X": "1"})
    assert got == {"Ir": 1000, "D1mr": 20, "DLmr": 3}
    assert seen["cmd"][:3] == ["setarch", "x86_64", "-R"]  # addresses fixed where allowed
    assert "--cache-sim=yes" in seen["cmd"] and "--D1=49152,12,64" in seen["cmd"]
    assert seen["cmd"][-4:] == ["mix:fresh", "mivex", "pack", "2"] and seen["env"]["X"] == "1"
    assert instructions.cache_description(tmp_path) == ["D1 cache: 49152 B"]


@pytest.mark.parametrize("allowed", [True, False])
def test_address_randomisation_is_turned_off_only_where_allowed(monkeypatch, allowed):
    instructions.fixed_addresses.cache_clear()
    monkeypatch.setattr(instructions.shutil, "which", lambda name: "/usr/bin/setarch")
    monkeypatch.setattr(instructions.subprocess, "run", lambda *a, **kw: _Proc(0 if allowed else 1))
    try:
        assert bool(instructions.fixed_addresses()) is allowed
    finally:
        instructions.fixed_addresses.cache_clear()


@pytest.mark.parametrize("stderr, rc, ok", [
    ("<not supported>,,instructions,0,100.00,,\n", 0, False),
    ("123456,,instructions,1000,100.00,,\n", 0, True),
    ("", 1, False),
])
def test_perf_is_used_only_when_it_counts(monkeypatch, stderr, rc, ok):
    monkeypatch.setattr(mixcounts.shutil, "which", lambda name: "/usr/bin/perf")
    monkeypatch.setattr(mixcounts.subprocess, "run", lambda *a, **kw: _Proc(rc, "", stderr))
    assert (mixcounts.perf_available() is None) is ok


def test_perf_counts_are_read_from_its_csv(monkeypatch):
    out = ("1200,,cache-misses,100,100.00,,\n9000,,cache-references,100,100.00,,\n"
           "<not counted>,,cycles,0,0,,\n77,,instructions,100,100.00,,\n")
    monkeypatch.setattr(mixcounts.subprocess, "run", lambda *a, **kw: _Proc(0, "", out))
    assert mixcounts.perf_counts("fresh", "mivex", "pack", 2, {}) == {
        "cache-misses": 1200, "cache-references": 9000, "instructions": 77}


def test_counts_report_says_when_perf_is_missing():
    keys, labels = ["mivex", "msgspec"], {"mivex": "Mivex", "msgspec": "msgspec"}
    ir = {("fresh", "mivex", "pack"): 4000.0, ("fresh", "msgspec", "pack"): 5000.0}
    misses = {("fresh", "mivex", "pack"): {"Ir": 4000.0, "I1mr": 1.0, "D1mr": 50.0, "D1mw": 5.0,
                                           "DLmr": 20.0, "DLmw": 1.0, "ILmr": 0.0, "Dr": 900.0,
                                           "Dw": 300.0}}
    text = mixcounts.render(keys, labels, ir, 400.0, misses, ["D1 cache: 48 KiB"], {},
                            "no counters", 1.0)
    assert "| fresh | pack | 4,000 | 5,000 | 1.25 |" in text
    assert "| fresh | pack | Mivex | 4,000 | 1.0 | 55.0 | 21.0 | 1,200 |" in text
    assert "Not measured: no counters" in text


def _fake_guard(monkeypatch, counts_seq):
    calls = []

    def measure():
        calls.append(1)
        return dict(counts_seq[min(len(calls), len(counts_seq)) - 1]), 400.0

    monkeypatch.setattr(guard, "measure_counts", measure)
    monkeypatch.setattr(instructions, "VALGRIND", sys.executable)  # "installed"
    return calls


NOW = {f"{n} {op}": 1000.0 * n for n in guard.GUARDED_SHAPES for op in ("pack", "unpack")}
NOW.update({"mix pack": 5000.0, "mix unpack": 6000.0})


@pytest.mark.parametrize("later, rc, measured", [
    ([NOW], 0, 1),
    ([dict(NOW, **{"3 unpack": 3150.0}), NOW], 0, 2),                      # not confirmed
    ([dict(NOW, **{"3 unpack": 3150.0})], 1, 2),                           # confirmed
    ([dict(NOW, **{"mix pack": -1.0}), dict(NOW, **{"mix pack": -1.0})], 1, 2),
], ids=["same", "glitch", "regression", "invalid"])
def test_guard_updates_then_checks(monkeypatch, tmp_path, capsys, later, rc, measured):
    path = tmp_path / "base.json"
    _fake_guard(monkeypatch, [NOW])
    assert guard.main(["--update", "--baseline", str(path)]) == 0
    data = json.loads(path.read_text())
    assert data["counts"] == NOW and data["interpreter"]["minor"] == "%d.%d" % sys.version_info[:2]
    assert data["extension"]["sha256"] == guard.extension()["sha256"]
    calls = _fake_guard(monkeypatch, later)
    assert guard.main(["--baseline", str(path)]) == rc
    assert len(calls) == measured
    out = capsys.readouterr().out
    assert ("FAILED" in out) is (rc == 1)


@pytest.mark.parametrize("argv, forwarded", [
    (["--shapes", "mix", "--quick", "--libs", "pickle,floor"],
     ["--seed", "1", "--quick", "--libs", "pickle"]),
    (["--shapes", "mix", "--repeats", "9", "--out", "X", "--seed", "4"],
     ["--seed", "4", "--out", "X", "--passes", "9"]),
    (["--shapes", "mix", "--quick", "--libs", "floor"], ["--seed", "1", "--quick", "--libs", "mivex"]),
    (["--shapes", "mix", "--quick", "--libs", "mivex_standard,mivex_strict"],
     ["--seed", "1", "--quick", "--libs", "mivex-standard,mivex-strict"]),
])
def test_shapes_mix_runs_the_mix_with_the_same_settings(monkeypatch, argv, forwarded):
    got = []
    monkeypatch.setattr(mixbench, "main", lambda a: got.append(a) or 0)
    assert cli.main(argv) == 0
    assert got == [forwarded]


# ---------------------------------------------------------------------------
# Mivex's variants: stream methods, standard profile, strict packing
# ---------------------------------------------------------------------------


def test_buffer_case_times_pack_into_and_unpack_from():
    case = LIBS["mivex_buffers"].prepare(SHAPES[1])
    assert case.pack.fn.__name__ == "pack_into" and type(case.pack.args[1]) is bytearray
    assert case.unpack.fn.__name__ == "unpack_from"
    measure.check(case, _mivex_bytes(SHAPES[1]))
    assert bytes(case.pack.args[1]) == _mivex_bytes(SHAPES[1])


def test_buffer_case_checks_what_the_calls_leave():
    shape = SHAPES[1]
    case = LIBS["mivex_buffers"].prepare(shape)
    buf = case.pack.args[1]
    case.pack = peers.Op(lambda v, b: b.extend(b"\0\0\0\0"), (shape.value, buf))
    with pytest.raises(measure.CheckFailed, match="different bytes"):
        measure.check(case, _mivex_bytes(shape))
    case = LIBS["mivex_buffers"].prepare(shape)
    real = case.unpack.fn
    case.unpack = peers.Op(lambda b: (real(b)[0], len(b) - 4), case.unpack.args)
    with pytest.raises(ValueError, match="ended at"):
        measure.check(case, _mivex_bytes(shape))


@pytest.mark.parametrize("key", ["mivex_iter", "mivex_each"])
def test_stream_cases_decode_the_thousand_objects(key):
    lib = LIBS[key]
    assert [n for n in SHAPES if lib.supports(SHAPES[n])] == [peers.STREAM_SHAPE]
    case = lib.prepare(SHAPES[peers.STREAM_SHAPE])
    assert case.pack is None
    got = case.unpack()
    assert len(got) == 1000 and got == SHAPES[peers.STREAM_SHAPE].tl_expected["users"]
    assert len(case.encoded) == len(_mivex_bytes(SHAPES[peers.STREAM_SHAPE])) - 12  # no vector head


def test_iter_case_fails_the_check_on_a_cut_stream():
    case = LIBS["mivex_iter"].prepare(SHAPES[peers.STREAM_SHAPE])
    case.unpack = peers.Op(case.unpack.fn, (case.encoded[:-8],))
    with pytest.raises(Exception):
        measure.check(case, None)


def test_variant_tables_give_ratios_to_the_default_calls():
    values = {(1, "mivex", "pack"): 100.0, (1, "mivex_standard", "pack"): 105.0,
              (1, "mivex", "unpack"): 200.0, (1, "mivex_buffers", "unpack"): 210.0,
              (5, "mivex_each", "unpack"): 3000.0, (5, "mivex_iter", "unpack"): 2700.0}
    text = "\n".join(report.variant_tables([1], lambda n, k, op: values.get((n, k, op)),
                                           lambda v: "—" if v is None else f"{v:,.0f}", "instr."))
    assert "| 1 flat | 100 | 1.050 | — | 200 | — | 1.050 |" in text
    assert "| unpack_from/unpack |" in text and "| strict/default |" not in text
    assert "| `iter_unpack` over the 1,000 objects back to back | 3 | 0.900 |" in text
    assert report.variant_tables([1], lambda n, k, op: values.get((n, k, op)) if k == "mivex"
                                 else None, str, "x") == []


def test_standard_expectation_of_a_conditional_bool():
    ctor = {"predicate": "c", "id": "1", "type": "C", "params": [
        {"name": "flags", "type": "#"}, {"name": "b", "type": "flags.0?Bool"},
        {"name": "t", "type": "flags.1?true"}, {"name": "v", "type": "Bool"}]}
    from benchmarks.shapes import compile_schema, complete
    ctors = compile_schema({"constructors": [ctor]})
    assert complete(ctors, {"_": "c", "v": False}) == {"_": "c", "b": False, "t": False, "v": False}
    assert complete(ctors, {"_": "c", "v": True}, standard=True) == \
        {"_": "c", "b": None, "t": False, "v": True}
    assert complete(ctors, {"_": "c", "b": False, "t": 1, "v": True}, standard=True) == \
        {"_": "c", "b": False, "t": False, "v": True}
    schema = json.dumps({"constructors": [ctor]})
    for value in ({"_": "c", "v": True}, {"_": "c", "b": False, "t": True, "v": False}):
        std = TLParser(schema, standard=True)
        assert std.unpack(std.pack(value)) == complete(ctors, value, standard=True)
        default = TLParser(schema)
        assert default.unpack(default.pack(value)) == complete(ctors, value)


def test_the_c_reference_keeps_its_key_and_says_what_it_is():
    (lib,) = [x for x in peers.select(["floor"]) if x.key == "floor"]
    assert lib.label.startswith("C reference") and "floor" not in lib.label
    assert "floor" not in report.table(["Shape", "Mivex/C ref"], [])


@pytest.mark.parametrize("key, want", [("mivex_standard", "mivex-standard"),
                                       ("mivex-standard", "mivex-standard"),
                                       ("mivex_strict", "mivex-strict"), ("msgspec", "msgspec")])
def test_mix_takes_the_keys_of_the_shape_benchmarks(key, want):
    assert mixbench.mix_key(key) == want
    assert mixbench.parse_args(["--libs", key]).lib_keys[-1] == want


# ---------------------------------------------------------------------------
# Raw figures as JSON, and the report across interpreters
# ---------------------------------------------------------------------------

from benchmarks import versions  # noqa: E402


def test_quick_run_writes_its_figures_as_json(tmp_path, capsys):
    path = tmp_path / "t.json"
    rc = cli.main(["--quick", "--shapes", "1", "--libs", "pickle,mivex_buffers", "--no-chart",
                   "--no-memory", "--out", str(tmp_path), "--json", str(path)])
    capsys.readouterr()
    assert rc == 0
    data = json.loads(path.read_text(encoding="utf-8"))
    assert data["mode"] == "time" and data["labels"]["mivex_buffers"].startswith("Mivex pack_into")
    got = {(f["shape"], f["lib"], f["op"]) for f in data["figures"]}
    assert got == {(1, k, op) for k in ("mivex", "pickle", "mivex_buffers")
                   for op in ("pack", "unpack")}
    assert all(0 < f["min"] <= f["median"] for f in data["figures"])
    assert data["environment"]["Interpreter"]["implementation"].startswith("CPython")


def _run_file(directory, label, mode, figures):
    key = "min" if mode == "time" else "ir"
    env = {"Interpreter": {"implementation": "CPython " + label, "executable": "/x/python"},
           "Mivex": {"extension sha256": "abc"}}
    (directory / f"{label}.{mode}.json").write_text(json.dumps({
        "mode": mode, "command": "python -m benchmarks", "when": "now", "environment": env,
        "labels": {}, "loop": 1.0, "failures": [],
        "figures": [{"shape": n, "lib": k, "op": op, key: v} for (n, k, op), v in figures.items()]}))


def test_versions_report_takes_the_fastest_peer_of_each_run(tmp_path):
    _run_file(tmp_path, "3.11", "time", {(1, "mivex", "pack"): 100e-9, (1, "msgspec", "pack"): 200e-9,
                                         (1, "pickle", "pack"): 300e-9,
                                         (1, "mivex", "unpack"): 100e-9,
                                         (1, "marshal", "unpack"): 150e-9,
                                         (1, "protobuf", "unpack"): 50e-9})
    _run_file(tmp_path, "3.11", "counts", {(1, "mivex", "pack"): 1000, (1, "msgspec", "pack"): 2500,
                                           (1, "mivex", "unpack"): 2000,
                                           (1, "marshal", "unpack"): 3000})
    _run_file(tmp_path, "3.12", "time", {(1, "mivex", "pack"): 100e-9, (1, "pickle", "pack"): 180e-9,
                                         (1, "mivex", "unpack"): 100e-9,
                                         (1, "marshal", "unpack"): 160e-9})
    runs = versions.load(tmp_path)
    assert sorted(runs) == ["3.11", "3.12"] and set(runs["3.11"]) == {"time", "counts"}
    text = versions.render(runs, peers.SAME_VALUE_PEERS)
    assert "| 3.11 | 1 flat | 100 ns | 2.00 (msgspec) | 2.50 (msgspec) | 100 ns | 1.50 (marshal) " \
           "| 1.50 (marshal) |" in text
    assert "| 3.12 | 1 flat | 100 ns | 1.80 (pickle) | — |" in text
    assert "| 1 flat | pack | 2.50 | — | 2.00 | 1.80 (-0.20) |" in text
    assert "3.11, time: shape 1 unpack: protobuf msgs 0.500 of Mivex's" in text


def test_versions_orders_interpreters_by_version():
    assert sorted(["3.13", "3.11-portable", "3.12", "3.11"], key=versions._order) == \
        ["3.11", "3.11-portable", "3.12", "3.13"]


@pytest.mark.parametrize("argv, writes", [
    ([], True), (["--cachegrind"], True), (["--quick"], False), (["--shapes", "1"], False),
    (["--libs", "msgspec"], False), (["--shapes", "1", "--out", "X"], True),
])
def test_only_a_full_run_replaces_the_committed_results(argv, writes):
    out = cli.parse_args(argv).out
    assert (out is not None) is writes
    if writes and "--out" not in argv:
        assert Path(out) == cli.RESULTS


def test_mix_report_names_each_mivex_variant(tmp_path, capsys):
    text = _quick_mix(tmp_path, capsys, "mivex_standard,mivex_strict,pickle")
    pack = text.split("## pack")[1].split("## unpack")[0]
    header = pack.strip().splitlines()[0]
    assert "| Mivex (standard)/Mivex | Mivex (strict)/Mivex | pickle/Mivex |" in header
    assert "Mivex/Mivex" not in header


def test_versions_report_puts_counts_and_times_of_the_variants_side_by_side(tmp_path):
    _run_file(tmp_path, "3.11", "time", {(1, "mivex", "pack"): 100e-9,
                                         (1, "mivex_buffers", "pack"): 120e-9,
                                         (5, "mivex_iter", "unpack"): 90e-6,
                                         (5, "mivex_each", "unpack"): 100e-6})
    _run_file(tmp_path, "3.11", "counts", {(1, "mivex", "pack"): 1000,
                                           (1, "mivex_buffers", "pack"): 1100,
                                           (1, "mivex_standard", "pack"): 1050})
    text = versions.render(versions.load(tmp_path), peers.SAME_VALUE_PEERS)
    section = text.split("## 3.11: Mivex's options and buffer methods")[1]
    assert "| 1 flat | 1.050 / — | 1.100 / 1.200 | — / — | — / — |" in section
    assert "| `iter_unpack` over 1,000 objects back to back | — | 90 ns | — / 0.900 |" in section
