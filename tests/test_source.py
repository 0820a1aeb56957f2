"""Rules about the native core's source that the compiler cannot check."""

import re
from pathlib import Path

import pytest

CORE = Path(__file__).resolve().parents[1] / "src" / "Mivex" / "core"
# Private functions and struct internals of CPython: dict entries and keys,
# int digits, the UTF-8 cache of str.
INTERNALS = re.compile(r"\b_Py[A-Za-z]|\bob_digit\b|\bma_[a-z]|\bdk_[a-z]|->utf8\b")
SOURCES = sorted(p for p in CORE.iterdir() if p.suffix in (".cpp", ".h"))


def code_lines(path):
    """(number, text) of each line with // comments removed."""
    for number, line in enumerate(path.read_text().splitlines(), 1):
        yield number, line.split("//", 1)[0]


def test_core_sources_found():
    assert {p.name for p in SOURCES} >= {"tl.cpp", "compat.h", "common.h", "schema.h"}


@pytest.mark.parametrize("path", [p for p in SOURCES if p.name != "compat.h"],
                         ids=lambda p: p.name)
def test_internals_only_in_compat_header(path):
    found = [f"{path.name}:{n}: {text.strip()}" for n, text in code_lines(path)
             if INTERNALS.search(text)]
    assert not found, "CPython internals outside compat.h:\n" + "\n".join(found)


def test_lint_pattern_catches_internals():
    # The pattern must see what compat.h really uses, or the rule above is empty.
    compat = (CORE / "compat.h").read_text()
    assert {m.group(0)[:3] for m in INTERNALS.finditer(compat)} >= {"_Py", "ob_", "ma_", "dk_"}
    assert not INTERNALS.search("schema_json dk ma utf8_len Py_ssize_t")


def test_translation_unit_includes_every_part():
    unit = (CORE / "tl.cpp").read_text()
    included = set(re.findall(r'#include "([^"]+)"', unit))
    parts = {p.name for p in SOURCES if p.suffix == ".cpp" and p.name != "tl.cpp"}
    assert parts <= included
