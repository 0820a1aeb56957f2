"""The version is written once, in Mivex/__init__.py, and everything that
shows one agrees with it."""

import subprocess
import sys
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
    assert source["provider"] == "scikit_build_core.metadata.regex"
    assert (ROOT / source["input"]).resolve() == Path(Mivex.__file__).resolve()


@pytest.mark.parametrize("argv", [["--version"], ["-q", "--version"], ["--version", "demo"]])
def test_cli_prints_it(capsys, argv):
    assert main(argv) == 0
    assert capsys.readouterr().out == f"mivex {Mivex.__version__}\n"


def test_module_run_prints_it():
    run = subprocess.run([sys.executable, "-m", "Mivex", "--version"], capture_output=True,
                         timeout=60)
    assert (run.returncode, run.stdout) == (0, f"mivex {Mivex.__version__}\n".encode())
