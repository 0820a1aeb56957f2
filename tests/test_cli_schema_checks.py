"""mivex on schemas: warnings printed once each and under the warning
filters, -q, repeats in JSON schemas, and JSON that is no schema."""

import io
import json
import os
import subprocess
import sys
import warnings

import pytest

from Mivex.cli import main
from Mivex.schema import DuplicateEntryWarning, IdMismatchWarning, UnknownTypeWarning
from Mivex.tl import TLParser
from conftest import ctor, param

# An explicit id that is not the computed one, and a misspelt type.
WARNED_TL = "a#00000001 x:int = A;\nb y:Strng = B;\n"
MISMATCH = ("line 1: 'a' has explicit id 0x00000001 but its text gives 0xd2aa78f6; "
            "keeping 0x00000001")
UNKNOWN = ("line 2: type 'Strng' (field 'y' of 'b') is not built in and no constructor "
           "of the schema produces it")


@pytest.fixture
def run(monkeypatch, capsysbinary):
    def call(*argv, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        status = main(list(argv))
        out, err = capsysbinary.readouterr()
        return status, out, err.decode()
    return call


@pytest.fixture
def warned(tmp_path):
    path = tmp_path / "w.tl"
    path.write_text(WARNED_TL)
    return str(path)


def launch(*argv, env=None, flags=()):
    return subprocess.run([sys.executable, *flags, "-m", "Mivex", *argv], capture_output=True,
                          timeout=60, env={**os.environ, **(env or {})})


def lines(name, *messages):
    return "".join(f"mivex: warning: {name}: {m}\n" for m in messages)


@pytest.mark.parametrize("argv, stdin", [
    (["ids", "-s"], b""),
    (["schema"], b""),
    (["types", "-s"], b""),
    (["pack", "--hex", "-s"], b'{"_": "a", "x": 5}'),
    (["unpack", "--hex", "-s"], b"01000000 05000000"),
    (["unpack", "--hex", "--standard", "-s"], b"01000000 05000000"),
])
def test_each_warning_is_printed_once(run, warned, argv, stdin):
    status, out, err = run(*argv, warned, stdin=stdin)
    assert status == 0 and out
    assert err == lines(warned, MISMATCH, UNKNOWN)


@pytest.mark.parametrize("quiet", [["-q"], ["--quiet"]])
@pytest.mark.parametrize("before", [True, False], ids=["before", "after"])
def test_quiet_prints_no_warning_and_changes_nothing_else(run, warned, quiet, before):
    argv = [*quiet, "ids", "-s", warned] if before else ["ids", *quiet, "-s", warned]
    assert run(*argv) == (0, run("ids", "-s", warned)[1], "")


@pytest.mark.parametrize("category, shown", [
    (IdMismatchWarning, [UNKNOWN]),
    (UnknownTypeWarning, [MISMATCH]),
    (UserWarning, []),
])
def test_ignore_filters_are_honoured(run, warned, category, shown):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=category)
        status, _, err = run("ids", "-s", warned)
    assert (status, err) == (0, lines(warned, *shown))


@pytest.mark.parametrize("quiet", [[], ["-q"]], ids=["loud", "quiet"])
def test_error_filter_makes_the_first_warning_an_error(run, warned, quiet):
    # -q only stops printing: a filter that asks for an error still gets one.
    with warnings.catch_warnings():
        warnings.filterwarnings("error", category=IdMismatchWarning)
        status, out, err = run(*quiet, "ids", "-s", warned)
    assert (status, out) == (1, b"")
    assert err == f"mivex: {warned}: IdMismatchWarning: {MISMATCH}\n"


@pytest.mark.parametrize("env, flags, status, err", [
    ({}, [], 0, "both"),
    ({"PYTHONWARNINGS": "ignore"}, [], 0, ""),
    ({}, ["-W", "ignore"], 0, ""),
    ({"PYTHONWARNINGS": "ignore:line 2"}, [], 0, "mismatch"),
    ({"PYTHONWARNINGS": "error"}, [], 1, "error"),
    ({"PYTHONWARNINGS": "always"}, [], 0, "both"),
], ids=["default", "env-ignore", "W-ignore", "by-message", "env-error", "always"])
def test_subprocess_honours_the_interpreter_filters(warned, env, flags, status, err):
    expected = {"": "", "both": lines(warned, MISMATCH, UNKNOWN),
                "mismatch": lines(warned, MISMATCH),
                "error": f"mivex: {warned}: IdMismatchWarning: {MISMATCH}\n"}[err]
    done = launch("ids", "-s", warned, env=env, flags=flags)
    assert (done.returncode, done.stderr.decode()) == (status, expected)
    if status == 0:
        assert done.stdout.decode().split() == ["0x00000001", "a", "constructor",
                                                "0x035db7a7", "b", "constructor"]


def entry(name, id, key="predicate"):
    return ctor(name, id, param("n", "int"), type="T", key=key)


@pytest.mark.parametrize("schema, messages", [
    ({"constructors": [entry("user", 1), entry("user", 2)]},
     ["constructors[1] 'user' (id 0x00000002) repeats the name of constructors[0] 'user' "
      "(id 0x00000001); the later entry wins"]),
    # -1 and 4294967295 are one id.
    ({"constructors": [entry("a", -1)], "methods": [entry("b", "4294967295", "method")]},
     ["methods[0] 'b' (id 0xffffffff) repeats the id of constructors[0] 'a' (id 0xffffffff); "
      "the later entry wins"]),
    ({"constructors": [entry("a", 5)], "methods": [entry("a", 5, "method")]},
     ["methods[0] 'a' (id 0x00000005) repeats the name and id of constructors[0] 'a' "
      "(id 0x00000005); the later entry wins"]),
    # Name of one entry and id of another: two repeats. A third copy
    # repeats the one that owns the name by then.
    ({"constructors": [entry("a", 1), entry("b", 2), entry("a", 2), entry("a", 3)]},
     ["constructors[2] 'a' (id 0x00000002) repeats the name of constructors[0] 'a' "
      "(id 0x00000001); the later entry wins",
      "constructors[2] 'a' (id 0x00000002) repeats the id of constructors[1] 'b' "
      "(id 0x00000002); the later entry wins",
      "constructors[3] 'a' (id 0x00000003) repeats the name of constructors[2] 'a' "
      "(id 0x00000002); the later entry wins"]),
    ({"constructors": [entry("a", 1), entry("b", 2)], "methods": [entry("c", 3, "method")]}, []),
])
def test_json_repeats_are_warned_once_each(run, tmp_path, schema, messages):
    path = tmp_path / "dup.json"
    path.write_text(json.dumps(schema))
    status, out, err = run("ids", "-s", str(path))
    assert status == 0 and len(out.splitlines()) == len(schema.get("constructors", [])) + len(
        schema.get("methods", []))
    assert err == lines(str(path), *messages)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DuplicateEntryWarning)
        assert run("ids", "-s", str(path))[0] == (1 if messages else 0)


def test_the_later_entry_wins_in_mivex_as_in_the_codec(run, tmp_path):
    path = tmp_path / "dup.json"
    text = json.dumps({"constructors": [entry("user", 1), entry("user", 2), entry("x", 2)]})
    path.write_text(text)
    status, data, _ = run("pack", "-q", "-s", str(path), stdin=b'{"_": "user", "n": 3}')
    assert status == 0 and data == TLParser(text).pack({"_": "user", "n": 3})
    assert data[:4] == (2).to_bytes(4, "little")
    assert run("unpack", "-q", "-s", str(path), stdin=data)[1] == b'{"_": "x", "n": 3}\n'


@pytest.mark.parametrize("text", [
    '{"a": 1}', "{}", '{"Constructors": []}', "[1, 2]", "5", '"text"', "null",
    '[{"constructors": []}]',
])
@pytest.mark.parametrize("argv", [["ids", "-s"], ["schema"], ["unpack", "-s"]])
def test_json_that_is_no_schema_is_refused(run, tmp_path, text, argv):
    path = tmp_path / "data.json"
    path.write_text(text)
    assert run(*argv, str(path), stdin=b"\x01\x00\x00\x00") == (
        1, b"", f'mivex: {path}: not a schema: a JSON schema is an object with a '
                f'"constructors" or a "methods" list\n')


@pytest.mark.parametrize("text", ['{"constructors": []}', '{"methods": []}'])
def test_an_empty_schema_is_still_a_schema(run, tmp_path, text):
    path = tmp_path / "empty.json"
    path.write_text(text)
    assert run("ids", "-s", str(path)) == (0, b"", "")
