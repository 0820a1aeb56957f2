"""The version is written once, in Mivex/__init__.py, and everything that
shows one agrees with it."""

import re
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import Mivex
from Mivex.cli import main

ROOT = Path(__file__).resolve().parent.parent


def test_installed_metadata_agrees():
    # A stale install (the version changed, the package not reinstalled) fails here.
    assert metadata.version("Mivex") == Mivex.__version__


def test_pyproject_reads_it_from_the_package():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"]
    assert "version" in project["project"]["dynamic"]
    source = project["tool"]["scikit-build"]["metadata"]["version"]
    assert source == {"provider": "scikit_build_core.metadata.regex",
                      "input": "src/Mivex/__init__.py"}
    # The checkout's file says what the installed package says.
    written = re.search(r'^__version__ = "(.+)"$', (ROOT / source["input"]).read_text(), re.M)
    assert written is not None and written.group(1) == Mivex.__version__


@pytest.mark.parametrize("argv", [["--version"], ["-q", "--version"], ["--version", "demo"]])
def test_cli_prints_it(capsys, argv):
    assert main(argv) == 0
    assert capsys.readouterr().out == f"mivex {Mivex.__version__}\n"

