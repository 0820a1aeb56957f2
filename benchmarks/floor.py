"""Builds and loads the C reference codec (``floor.c``, key ``floor``) on the fly.

It is hand-written C for each shape, written the plain way; Mivex is faster
than it on most shapes, so it is a reference point rather than a lower bound.

The extension is compiled with the running interpreter's own compiler,
flags and include directory (``sysconfig``), into a cache directory keyed by
a hash of the source, the flags and the constructor ids, so a rebuild only
happens when one of them changes.
"""

from __future__ import annotations

import hashlib
import importlib.machinery
import importlib.util
import os
import shlex
import shutil
import subprocess
import sysconfig
from pathlib import Path

from .shapes import constructor_ids

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "floor.c"
BUILD_DIR = HERE / "_floor_build"
MODULE = "_mivex_floor"


class FloorUnavailable(RuntimeError):
    pass


def _command(out: Path) -> list[str]:
    # LDSHARED starts with the compiler, so one call compiles and links.
    ldshared = shlex.split(sysconfig.get_config_var("LDSHARED") or "cc -shared")
    cflags = shlex.split(sysconfig.get_config_var("CFLAGS") or "")
    if not any(f.startswith("-O") for f in cflags):
        cflags.append("-O2")
    ccshared = shlex.split(sysconfig.get_config_var("CCSHARED") or "-fPIC")
    include = sysconfig.get_paths()["include"]
    defines = [f"-DID_{name}=0x{cid:08x}u" for name, cid in sorted(constructor_ids().items())]
    return ldshared + cflags + ccshared + [f"-I{include}"] + defines + [str(SOURCE), "-o", str(out)]


def _target() -> tuple[Path, list[str]]:
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    probe = _command(Path("OUT"))
    key = hashlib.sha256(SOURCE.read_bytes() + "\0".join(probe).encode()).hexdigest()[:16]
    out = BUILD_DIR / key / (MODULE + suffix)
    return out, _command(out)


def build(verbose: bool = False) -> Path:
    """Compiles the extension unless an up-to-date build is cached."""
    out, cmd = _target()
    if out.exists():
        return out
    if shutil.which(cmd[0]) is None:
        raise FloorUnavailable(f"no C compiler ({cmd[0]!r} not found)")
    out.parent.mkdir(parents=True, exist_ok=True)
    tmp = out.with_name(out.name + f".{os.getpid()}.tmp")
    if verbose:
        print("building the floor:", " ".join(cmd))
    proc = subprocess.run(cmd[:-1] + [str(tmp)], capture_output=True, text=True)
    if proc.returncode != 0:
        raise FloorUnavailable("compiling floor.c failed:\n" + proc.stderr[-4000:])
    os.replace(tmp, out)
    for stale in BUILD_DIR.iterdir():  # this interpreter's builds of older sources or flags
        if stale.is_dir() and stale != out.parent and (stale / out.name).exists():
            shutil.rmtree(stale, ignore_errors=True)
    return out


def load(build_if_missing: bool = True):
    """The floor module, built if needed; raises FloorUnavailable."""
    out, _ = _target()
    if not out.exists():
        if not build_if_missing:
            raise FloorUnavailable("the floor is not built")
        build()
    spec = importlib.util.spec_from_file_location(MODULE, out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
