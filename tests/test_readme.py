"""The README's Python examples run as written and print what it shows."""

import contextlib
import doctest
import io
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")


def blocks(heading):
    """The ```python blocks of the section that starts with ``heading``, up to
    the next heading of its level or above."""
    level = len(heading.split(" ")[0])
    found, inside, fence, code = [], False, None, []
    for line in README.splitlines(keepends=True):
        text = line.strip()
        if fence is not None:
            if text == "```":
                if fence == "python" and inside:
                    found.append(textwrap.dedent("".join(code)))
                fence = None
            else:
                code.append(line)
        elif text.startswith("```"):
            fence, code = text[3:], []
        elif (mark := re.match(r"(#+) ", line)) is not None:
            if line.rstrip("\n") == heading:
                inside = True
            elif inside and len(mark.group(1)) <= level:
                break
    assert found, heading
    return found


def shown_output(code):
    """The last line of a block when it is a comment: what the block prints."""
    last = code.rstrip().splitlines()[-1]
    assert last.startswith("# "), last
    return last[2:] + "\n"


def test_quick_start_prints_what_it_shows():
    code, = blocks("## Quick start")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README-quick-start", "exec"), {})
    assert out.getvalue() == shown_output(code)


def test_typing_example_runs_as_written():
    code = blocks("## Type checking")[0]
    names = {"__name__": "readme_typing"}
    exec(compile(code, "README-typing", "exec"), names)
    from Mivex.tl import TLParser
    parser = TLParser('{"constructors": [{"predicate": "user", "id": 1, "type": "User", '
                      '"params": [{"name": "username", "type": "string"}]}]}')
    assert names["username"]({"_": "user", "username": "ada"}) == "ada"
    assert names["username"]({"_": "user", "username": None}) is None
    assert names["round_trip"](parser, {"_": "user", "username": "ada"}) == {
        "_": "user", "username": "ada"}


def test_types_for_your_schema_example_runs(tmp_path, monkeypatch):
    # The schema of the README's mivex section, and the module it makes.
    shapes = re.search(r"\$ cat shapes.tl\n(.*?)\n\$ ", README, re.S).group(1)
    (tmp_path / "shapes.tl").write_text(shapes + "\n")
    subprocess.run([sys.executable, "-m", "Mivex", "types", "-s", "shapes.tl",
                    "-o", "shapes_types.py"], cwd=tmp_path, check=True)
    code, = blocks("### Types for your schema")
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(str(tmp_path))
    names: dict = {}
    exec(compile(code, "README-types", "exec"), names)
    assert names["shape"] == {"_": "shape", "name": "tri", "closed": False, "data": None,
                              "points": [{"_": "point", "x": 1, "y": 2}]}


def test_crc_id_example_is_a_passing_doctest():
    code, = [b for b in blocks("## Schemas from TL text") if ">>>" in b]
    test = doctest.DocTestParser().get_doctest(code, {}, "README-crc_id", None, 0)
    assert len(test.examples) >= 3
    result = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test, out=lambda s: None)
    assert (result.failed, result.attempted) == (0, len(test.examples))


def test_multiprocessing_recipe_runs_as_a_script(tmp_path):
    code, = blocks("### One parser per process")
    script = tmp_path / "pool_recipe.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], capture_output=True, timeout=120,
                          cwd=tmp_path)
    assert done.stderr.decode() == "" and done.returncode == 0
    assert done.stdout.decode() == shown_output(code)


@pytest.mark.parametrize("data, expected", [
    (b"\x01\x00\x00\x00\x02hi\x00", {"_": "user", "username": "hi"}),
    (b"\x01\x00\x00\x00", None),               # cut short
    (b"\x02\x00\x00\x00", None),               # unknown id
    (b"\x01\x00\x00\x00\x01\xff\x00\x00", None),   # not UTF-8
])
def test_exceptions_example_catches_bad_bytes(data, expected):
    from Mivex.tl import TLParser
    code, = blocks("### Exceptions to catch")
    parser = TLParser('{"constructors": [{"predicate": "user", "id": 1, "type": "User", '
                      '"params": [{"name": "username", "type": "string"}]}]}')
    names = {"parser": parser, "data": data}
    exec(compile(code, "README-exceptions", "exec"), names)
    assert names["obj"] == expected
