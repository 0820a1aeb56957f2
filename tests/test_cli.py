"""The mivex command: round trips, the JSON form of every value kind, errors."""

import io
import json
import math
import shlex
import struct
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from Mivex.cli import main
from Mivex.tl import TLParser
from conftest import ctor, param, tl_bytes, u32

ITEM = ctor("item", 0x11, param("flags", "#"), param("flags2", "#"), param("i", "int"),
            param("l", "long"), param("d", "double"), param("s", "string"), param("b", "bytes"),
            param("ok", "Bool"), param("on", "flags.0?true"), param("ob", "flags.1?bytes"),
            param("cb", "flags2.3?Bool"), param("os", "flags2.0?string"))
BOX = ctor("box", 0x22, param("flags", "#"), param("items", "Vector<item>"),
           param("blobs", "Vector<bytes>"), param("deep", "Vector<Vector<bytes>>"),
           param("first", "flags.0?item"), param("longs", "flags.1?Vector<long>"))
GET = ctor("get", -1, param("id", "int"), type="Box", key="method")
SCHEMA = {"constructors": [ITEM, BOX], "methods": [GET]}
CODEC = TLParser(json.dumps(SCHEMA))
DEFAULTS = {"_": "item", "i": 0, "l": 0, "d": 0.0, "s": "", "b": "", "ok": False, "on": False,
            "ob": None, "cb": False, "os": None}


def dbl(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def item(**fields):
    return {"_": "item", **fields}


def strict_json(text):
    def refuse(name):
        raise AssertionError(f"non-standard JSON {name}")
    return [json.loads(line, parse_constant=refuse) for line in text.splitlines()]


@pytest.fixture(scope="module")
def schema_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "s.json"
    path.write_text(json.dumps(SCHEMA))
    return str(path)


@pytest.fixture
def cli(monkeypatch, capsysbinary):
    def run(*argv, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        status = main(list(argv))
        out, err = capsysbinary.readouterr()
        assert err.count(b"\n") == (status != 0) and b"Traceback" not in err
        return status, out, err.decode()
    return run


def launch(*argv, stdin=b""):
    return subprocess.run([sys.executable, "-m", "Mivex", *argv], input=stdin,
                          capture_output=True, timeout=60)


@pytest.mark.parametrize("value", [
    item(),
    item(i=-1, l=2**64 - 1, d=-0.0, s="ü€𝄞", b=b"\x00\xff", ok=True, on=True, ob=b"", cb=True, os=""),
    item(i=-2**31, d=math.inf, b=bytes(254), cb=False),
    item(d=-math.inf), item(d=math.nan), item(d=dbl(0xFFF8000000000000)),
    item(d=dbl(0x7FF0000000000001)), item(d=5e-324),
    {"_": "box", "items": [item(s="a"), item(ob=b"x")], "blobs": [b"", b"abc" * 100],
     "deep": [b"\x01", b"\x02"], "first": item(l=5), "longs": [0, 2**63]},
    {"_": "get", "id": -2**31},
])
def test_unpack_then_pack_gives_the_same_bytes(cli, schema_file, value):
    data = CODEC.pack(value)
    status, out, _ = cli("unpack", "-s", schema_file, stdin=data)
    assert status == 0 and len(strict_json(out.decode())) == 1
    assert cli("pack", "-s", schema_file, stdin=out)[1:] == (data, "")


@pytest.mark.parametrize("value, expected", [
    (item(b=b"\x00\xff", i=-1, on=True), {"b": "AP8=", "i": 4294967295, "on": True, "ob": None}),
    (item(d=-0.0, ob=b"hi", cb=True), {"d": -0.0, "ob": "aGk=", "cb": True, "os": None}),
    (item(d=math.inf), {"d": "Infinity"}),
    (item(d=-math.inf), {"d": "-Infinity"}),
    (item(d=math.nan), {"d": "NaN"}),
    (item(d=dbl(0xFFF8000000000000)), {"d": "NaN:fff8000000000000"}),
    ({"_": "box", "blobs": [b"a"], "deep": [b"bc"], "longs": []},
     {"blobs": ["YQ=="], "deep": ["YmM="], "items": [], "first": None, "longs": []}),
])
def test_json_form(cli, schema_file, value, expected):
    obj, = strict_json(cli("unpack", "-s", schema_file, stdin=CODEC.pack(value))[1].decode())
    assert json.dumps({k: obj[k] for k in expected}) == json.dumps(expected)  # keeps -0.0


@pytest.mark.parametrize("text, value", [
    ('{"_": "item", "i": 4294967295, "l": -1}', item(i=-1, l=2**64 - 1)),
    ('{"_": "item", "d": 2, "on": false, "cb": null, "flags": 99}', item(d=2.0)),
    ('{"_": "item", "d": "NaN:7ff0000000000001"}', item(d=dbl(0x7FF0000000000001))),
    ('{"_": "box", "deep": ["AA==", ""], "first": {"_": "item"}}',
     {"_": "box", "deep": [b"\x00", b""], "first": item()}),
])
def test_pack_accepts(cli, schema_file, text, value):
    assert cli("pack", "-s", schema_file, stdin=text.encode()) == (0, CODEC.pack(value), "")


@pytest.mark.parametrize("text, message", [
    ('{"_": "item", "i": 1.5}', "i: expected an integer from -2147483648 to 4294967295, got number 1.5"),
    ('{"_": "item", "i": 4294967296}', "i: expected an integer"),
    ('{"_": "item", "l": true}', "l: expected an integer"),
    ('{"_": "item", "ok": "false"}', "ok: expected true or false, got a string"),
    ('{"_": "item", "on": 1}', "on: expected true or false"),
    ('{"_": "item", "d": "1.5"}', "d: expected a number"),
    ('{"_": "item", "d": "NaN:3ff0000000000000"}', "d: expected a number"),
    ('{"_": "item", "s": null}', "s: null is only allowed for a flags.N? field"),
    ('{"_": "item", "b": "AP8"}', "b: invalid base64 text"),
    ('{"_": "box", "items": [{"_": "item"}, {"_": "item", "ob": "*"}]}', "items[1].ob: invalid base64"),
    ('{"_": "box", "blobs": "AA=="}', "blobs: expected an array, got a string"),
    ('{"_": "box", "first": {"_": "item", "x": 1}}', "'item' has no field 'x' (while packing box.first.x)"),
    ('{"_": "box", "items": [{"i": 1}]}', 'items[0]: the object has no "_"'),
    ('{"_": "box", "first": {"_": "nope"}}', "first: unknown constructor 'nope'"),
    ('{"_": "item", "s": "\\ud800"}', "s: expected text that UTF-8 can hold, got a string with a lone surrogate at index 0"),
    ('{"_": "box", "items": [{"_": "item", "os": "a\\udfff"}]}', "items[0].os: expected text that UTF-8 can hold"),
    ('{"_": "item", "b": "AP\u00e9="}', "b: expected base64 text, got a string with non-ASCII characters"),
    ('{"_": "box", "deep": ["AA==", "\u00e9"]}', "deep[1]: expected base64 text"),
    # A JSON number too big for a double reads as infinity; refuse it rather than pack it.
    ('{"_": "item", "d": 1e400}', "d: expected a finite number, got number inf"),
    ('{"_": "item", "d": -Infinity}', "d: expected a finite number, got number -inf"),
    ('{"_": "box", "longs": [1], "items": [{"_": "item", "d": NaN}]}', "items[0].d: expected a finite number, got number nan"),
    ('{"_": "item", "d": 1' + "0" * 400 + '}', "d: expected a number, \"Infinity\", \"-Infinity\", \"NaN\" or \"NaN:<16 hex digits>\", got number 10000000000000000000... (401 digits)"),
    ('{"_": "item", "d": "' + "x" * 400 + '"}', "got 'xxxxxxxxxxxxxxxxxxx... (402 characters)"),
    ('{"_": "item", "i": ' + "1" * 5000 + '}', "<stdin>: bad JSON: a number with too many digits"),
    ('{"_": "get"} 5', "object 2: expected an object, got number 5"),
    ('{"_": "get"', "<stdin>: bad JSON: Expecting"),
    (" \n", "<stdin>: no JSON object to pack"),
])
def test_pack_refuses(cli, schema_file, text, message):
    status, out, err = cli("pack", "--hex", "-s", schema_file, stdin=text.encode())
    assert (status, out) == (1, b"") and err.startswith("mivex: ") and message in err
    assert len(err) < 250       # huge inputs are not echoed back


PAIR = ctor("pair", 0x33, param("flags", "#"), param("x", "flags.0?int"), param("y", "flags.0?true"),
             param("z", "flags.0?Vector<int>"), param("w", "flags.1?Bool"))


@pytest.mark.parametrize("text, detail", [
    ('{"_": "pair", "y": true}', "(x: absent, y: true, z: absent)"),
    ('{"_": "pair", "x": 5, "y": false, "z": [1]}', "(x: given, y: false, z: given)"),
    ('{"_": "pair", "x": 5, "y": true, "z": null}', "(x: given, y: true, z: absent)"),
    ('{"_": "pair", "z": []}', "(x: absent, y: false, z: given)"),
])
def test_fields_sharing_a_bit_must_agree(cli, tmp_path, text, detail):
    path = tmp_path / "pair.json"
    path.write_text(json.dumps({"constructors": [PAIR]}))
    status, out, err = cli("pack", "--hex", "-s", str(path), stdin=text.encode())
    assert (status, out) == (1, b"")
    assert err == f"mivex: fields x, y and z share bit 0 of flags, so they must agree on whether it is set {detail}\n"


@pytest.mark.parametrize("value", [
    {"_": "pair", "x": 0, "y": True, "z": [], "w": False},
    {"_": "pair", "x": None, "y": False, "z": None, "w": True},
])
def test_fields_sharing_a_bit_round_trip_when_they_agree(cli, tmp_path, value):
    path = tmp_path / "pair.json"
    path.write_text(json.dumps({"constructors": [PAIR]}))
    status, data, _ = cli("pack", "-s", str(path), stdin=json.dumps(value).encode())
    assert status == 0 and TLParser(path.read_text()).unpack(data) == value
    assert strict_json(cli("unpack", "-s", str(path), stdin=data)[1].decode()) == [value]


@pytest.mark.parametrize("params, word", [
    ([param("x", "flags.0?int")], "flags"),
    ([param("x", "flags2.1?int"), param("flags2", "#")], "flags2"),
    ([param("flags", "#"), param("x", "flags2.0?string")], "flags2"),
])
def test_schema_refuses_a_condition_without_its_flags_word(cli, params, word):
    text = json.dumps({"constructors": [ITEM], "methods": [ctor("m", 5, *params, type="M", key="method")]})
    status, _, err = cli("ids", "-s", "-", stdin=text.encode())
    x = next(p["type"] for p in params if p["name"] == "x")
    assert (status, err) == (1, f"mivex: <stdin>: method 'm': field 'x' ({x}) depends on the "
                                f"'{word}' word, which is not a '#' field before it\n")


def test_unpack_reads_a_stream_with_unusual_encodings(cli, schema_file):
    head = u32(0x11, 0b10, 0b1, 7, 0, 0, 0, 0) + tl_bytes(b"")
    data = (head + b"\xfe\x03\x00\x00abc\x00" + u32(2) + tl_bytes(b"z") + tl_bytes(b"")  # long form, Bool 2
            + CODEC.pack({"_": "get", "id": 3})
            + head + tl_bytes(b"") + u32(0) + tl_bytes(b"q") + b"\x02hi")  # last string unpadded
    status, out, _ = cli("unpack", "-s", schema_file, stdin=data)
    assert status == 0
    assert strict_json(out.decode()) == [
        {**DEFAULTS, "i": 7, "b": "YWJj", "ok": True, "ob": "eg==", "os": ""},
        {"_": "get", "id": 3},
        {**DEFAULTS, "i": 7, "ob": "cQ==", "os": "hi"}]


@pytest.mark.parametrize("argv, data, message", [
    (["--hex"], b"0x11", "bad hex input: unexpected 'x' at offset 1"),
    (["--hex"], b"110 00", "odd number of hex digits"),
    (["--hex"], b" \n", "no input to unpack"),
    ([], b"\x05\x00\x00\x00", "Unknown constructor ID: 0x00000005"),
    ([], u32(0x22, 0, 0x1CB5C415, 3), "Parse error at position"),
    ([], CODEC.pack({"_": "get"}) + b"\0\0", "object 2, starting at byte 8: Parse error at position 8"),
    (["no-such-file"], b"", "cannot read no-such-file: No such file or directory"),
])
def test_unpack_refuses(cli, schema_file, argv, data, message):
    status, out, err = cli("unpack", "-s", schema_file, *argv, stdin=data)
    assert (status, out) == (1, b"") and err.startswith("mivex: ") and message in err


def test_ids_and_schema(cli, schema_file):
    assert cli("ids", "-s", schema_file)[1].decode().splitlines() == [
        "0x00000011  item  constructor", "0x00000022  box   constructor",
        "0xffffffff  get   method"]
    assert json.loads(cli("schema", schema_file)[1]) == SCHEMA
    status, _, err = cli("ids", "-s", "-", stdin=b'{"constructors": [{"params": [{"name": "x"}]}]}')
    assert status == 1 and err == ("mivex: <stdin>: missing key 'type' "
                                   "(while compiling constructors[0], params[0] 'x')\n")


def test_refuses_binary_to_a_terminal_and_usage_errors(cli, schema_file, monkeypatch):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    status, out, err = cli("pack", "-s", schema_file, stdin=b'{"_": "get"}')
    assert (status, out) == (1, b"") and "use --hex" in err
    assert cli("pack", "--hex", "-s", schema_file, stdin=b'{"_": "get"}')[:2] == (0, b"ffffffff 00000000\n")
    assert main(["pack"]) == 2 and main(["frobnicate"]) == 2 and main(["--help"]) == 0


TL_SOURCE = """
point x:int y:int = Point;
shape flags:# name:string pts:Vector<Point> closed:flags.0?true = Shape;
"""


@pytest.mark.parametrize("hex_mode", [False, True])
def test_subprocess_round_trip(tmp_path, schema_file, hex_mode):
    source = tmp_path / "in.json"
    source.write_text('{"_": "get", "id": 4294967295}\n[{"_": "item", "b": "AAEC", "on": true}]')
    flag = ["--hex"] * hex_mode
    packed = launch("pack", *flag, "-s", schema_file, str(source))
    expected = CODEC.pack({"_": "get", "id": -1}) + CODEC.pack(item(b=b"\0\1\2", on=True))
    if hex_mode:
        words = " ".join(expected[i:i + 4].hex() for i in range(8, len(expected), 4))
        expected = f"ffffffff ffffffff\n{words}\n".encode()
    assert packed.stdout == expected
    unpacked = launch("unpack", *flag, "-s", schema_file, "-", stdin=packed.stdout)
    assert unpacked.returncode == 0 and strict_json(unpacked.stdout.decode()) == [
        {"_": "get", "id": 4294967295}, {**DEFAULTS, "b": "AAEC", "on": True}]


def test_subprocess_tl_schema_and_errors(tmp_path):
    pytest.importorskip("Mivex.schema")
    tl = tmp_path / "shapes.tl"
    tl.write_text(TL_SOURCE)
    obj = {"_": "shape", "name": "tri", "pts": [{"_": "point", "x": 1, "y": 4294967295}], "closed": True}
    packed = launch("pack", "--hex", "-s", str(tl), stdin=json.dumps(obj).encode())
    unpacked = launch("unpack", "--hex", "--pretty", "-s", str(tl), stdin=packed.stdout)
    assert json.loads(unpacked.stdout) == obj and unpacked.stderr == b""
    bad = launch("unpack", "-s", str(tl), stdin=b"\x01\x02\x03\x04")
    assert bad.returncode == 1 and bad.stderr == b"mivex: Unknown constructor ID: 0x04030201\n"
    usage = launch()
    assert usage.returncode == 2 and b"Traceback" not in usage.stderr


def test_demo_quotes_the_schema_path(cli, tmp_path, monkeypatch):
    import Mivex.cli
    from importlib import resources
    home = tmp_path / "with space's"
    home.mkdir()
    (home / "example_schema.json").write_bytes(
        resources.files("Mivex").joinpath("example_schema.json").read_bytes())
    monkeypatch.setattr(Mivex.cli, "resources", SimpleNamespace(files=lambda package: home))
    status, out, _ = cli("demo")
    ids_line, unpack_line = out.decode().split("Try it yourself:\n")[1].splitlines()[:2]
    assert status == 0
    assert shlex.split(ids_line) == ["mivex", "ids", "-s", str(home / "example_schema.json")]
    assert shlex.split(unpack_line)[-2:] == ["-s", str(home / "example_schema.json")]


def test_subprocess_demo_output_decodes():
    run = launch("demo")
    assert run.returncode == 0 and run.stderr == b""
    sections = run.stdout.decode().split("\n\n")
    path = sections[0].removeprefix("Example schema: ")
    obj = json.loads(sections[1].removeprefix("Object:\n"))
    packed = bytes.fromhex("".join(sections[2].splitlines()[1:]).replace(" ", ""))
    decoded = json.loads(sections[3].removeprefix("Unpacked:\n"))
    with open(path) as f:
        got = TLParser(f.read()).unpack(packed)
    assert got["attachments"][0]["data"] == b"\x89PNG\r\n\x1a\n"
    got["attachments"][0]["data"] = obj["attachments"][0]["data"]
    obj["from"]["photo"] = obj["edit_date"] = None     # absent optional fields come back as null
    assert got == decoded == obj
    assert sections[4] == "Packing the unpacked object again gives the same bytes."


def test_subprocess_broken_pipe_is_quiet(schema_file):
    data = CODEC.pack({"_": "box", "items": [item(s="x" * 300)]}) * 3000
    proc = subprocess.Popen([sys.executable, "-m", "Mivex", "unpack", "-s", schema_file],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(data)
    proc.stdin.close()
    assert proc.stdout.read(10) == b'{"_": "box'
    proc.stdout.close()
    status = proc.wait(timeout=60)
    err = proc.stderr.read()
    proc.stderr.close()
    assert status == 1 and err == b""


@pytest.mark.parametrize("params, key, message", [
    ([param("x", "int"), param("flags", "int")], "flags",
     "field 'flags' is declared int, but the default profile always writes the computed flags "
     "word there, so its value would not be carried (use --standard)"),
    ([param("extra", "#"), param("x", "extra.3?int")], "x",
     "field 'x' (extra.3?int) depends on 'extra', but the default profile computes only the "
     "'flags' and 'flags2' words (use --standard)"),
])
def test_schema_refuses_what_the_default_profile_cannot_carry(cli, tmp_path, params, key, message):
    path = tmp_path / "a.json"
    path.write_text(json.dumps({"constructors": [ctor("a", 1, *params, type="A")]}))
    value = json.dumps({"_": "a", key: 5}).encode()
    assert cli("pack", "-s", str(path), stdin=value)[::2] == (
        1, f"mivex: {path}: constructor 'a': {message}\n")
    # The standard profile reads the schema as written.
    status, data, err = cli("pack", "--standard", "-s", str(path), stdin=value)
    assert (status, err) == (0, "")
    assert TLParser(path.read_text(), standard=True).unpack(data)[key] == 5


@pytest.mark.parametrize("params, word, text", [
    ([param("flags", "#"), param("flags2", "flags.1?#")], "flags2", "flags.1?#"),
    ([param("flags2", "#"), param("flags", "flags2.0?#")], "flags", "flags2.0?#"),
])
def test_schema_refuses_a_conditional_flags_word(cli, params, word, text):
    schema_text = json.dumps({"constructors": [ctor("a", 1, *params, type="A")]})
    status, _, err = cli("ids", "-s", "-", stdin=schema_text.encode())
    assert (status, err) == (1, f"mivex: <stdin>: constructor 'a': flags word '{word}' ({text}) "
                                "cannot itself be conditional: the codec always writes it\n")


def test_types_writes_the_module_typed_module_makes(cli, schema_file, tmp_path):
    from Mivex.schema import typed_module
    status, out, err = cli("types", "-s", schema_file)
    assert (status, err) == (0, "")
    expected = typed_module(json.loads(Path(schema_file).read_text()))
    assert out.decode("ascii") == expected
    target = tmp_path / "types_out.py"
    assert cli("types", "-s", schema_file, "-o", str(target))[0] == 0
    assert target.read_text("ascii") == expected
    compile(expected, "types_out.py", "exec")


STANDARD_TL = """
boolFalse#bc799737 = Bool;
boolTrue#997275b5 = Bool;
point#e3fe70f4 x:int y:int = Point;
shape#f0640e57 mask:# at:%Point big:int128 ok:Bool tags:vector<string> hid:mask.0?true n:mask.1?long = Shape;
"""


def test_standard_profile_round_trip(cli, tmp_path):
    path = tmp_path / "s.tl"
    path.write_text(STANDARD_TL)
    value = {"_": "shape", "at": {"x": -1, "y": 2}, "big": -(2 ** 100), "ok": True,
             "tags": ["a", "bé"], "hid": True, "n": -7}
    status, data, err = cli("pack", "--standard", "-s", str(path), stdin=json.dumps(value).encode())
    assert (status, err) == (0, "")
    # Hand-written: the id, the mask word (bits 0 and 1), the bare point, then the rest.
    assert data[:16] == bytes.fromhex("570e64f0 03000000 ffffffff 02000000".replace(" ", ""))
    status, out, err = cli("unpack", "--standard", "-s", str(path), stdin=data)
    assert (status, err) == (0, "")
    assert json.loads(out) == dict(value, at={"_": "point", "x": -1, "y": 2})
    # Without --standard the same bytes mean something else, or nothing.
    assert cli("unpack", "-s", str(path), stdin=data)[1] != out


def test_pack_refuses_a_missing_object_and_names_it(cli, tmp_path):
    path = tmp_path / "outer.json"
    path.write_text(json.dumps({"constructors": [
        ctor("outer", 1, param("n", "int"), param("inner", "Inner"), type="Outer"),
        ctor("inner", 2, type="Inner")]}))
    status, _, err = cli("pack", "-s", str(path), stdin=b'{"_": "outer", "n": 1}')
    assert (status, err) == (1, "mivex: missing field 'inner' of 'outer' (while packing outer.inner)\n")
    # Other plain fields left out still get their defaults.
    status, data, _ = cli("pack", "-s", str(path), stdin=b'{"_": "outer", "inner": {"_": "inner"}}')
    assert status == 0 and TLParser(path.read_text()).unpack(data)["n"] == 0


def _box_with_bad_second_item():
    first = CODEC.pack(item(s="a"))
    return u32(0x22, 0, 0x1CB5C415, 2) + first + u32(0x04030201) + bytes(8), 16 + len(first)


@pytest.mark.parametrize("before", [b"", CODEC.pack({"_": "get", "id": 1})], ids=["first", "second"])
def test_unpack_prints_where_in_the_message_it_failed(cli, schema_file, before):
    data, at = _box_with_bad_second_item()
    status, out, err = cli("unpack", "-s", schema_file, stdin=before + data)
    where = f"object 2, starting at byte {len(before)}: " if before else ""
    assert (status, out) == (1, b"")
    assert err == (f"mivex: {where}Unknown constructor ID: 0x04030201 "
                   f"(while unpacking box.items[1] at byte {len(before) + at})\n")


@pytest.mark.parametrize("value, message", [
    ({"_": "box", "items": [item(), item(zz=1)]}, "'item' has no field 'zz' (while packing box.items[1].zz)"),
    ({"_": "box", "items": [item(), item(), item(), item(s="x", q=[1])]},
     "'item' has no field 'q' (while packing box.items[3].q)"),
])
def test_pack_prints_where_in_the_value_it_failed(cli, schema_file, value, message):
    status, out, err = cli("pack", "--hex", "-s", schema_file, stdin=json.dumps(value).encode())
    assert (status, out, err) == (1, b"", f"mivex: {message}\n")
