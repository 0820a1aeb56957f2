"""Schema text parse time: ``python -m benchmarks.schema_text [--runs N]``.

Generates a TL schema text of 2,500 declarations (about 270 KB) the same way
on every run, then prints the best of ``--runs`` wall and CPU times of
``Mivex.schema.parse_tl`` on it.  The mix is that of a large real schema:
namespaced types (``geo.Point``) with several constructors each, flags words
and conditional fields, vectors of primitives and of objects, bare
references (``%geo.Point``, ``geo.point``), a few generic methods, comments,
and about one declaration in three with an explicit id (the others get the
id computed from their text).
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import time
import warnings

DECLARATIONS = 2500
METHOD_SHARE = 0.3
SEED = 2024

_NAMESPACES = ["", "geo.", "store.", "media.", "auth.", "chat.", "net.", "doc."]
_NOUNS = ["point", "shape", "user", "photo", "file", "place", "group", "label", "entry",
          "status", "session", "message", "folder", "device", "colour", "layer", "frame",
          "note", "range", "token"]
_WORDS = ["id", "name", "title", "date", "size", "count", "offset", "limit", "hash", "kind",
          "owner", "width", "height", "caption", "data", "value", "score", "access", "key",
          "text", "mode", "peer", "order", "random", "ttl", "version", "query", "source"]
_PRIMITIVES = ["int", "int", "int", "long", "long", "string", "string", "bytes", "double",
               "Bool", "int128", "int256"]


def _capital(name: str) -> str:
    ns, _, base = name.rpartition(".")
    return (ns + "." if ns else "") + base[:1].upper() + base[1:]


def _with_id(decl: str) -> str:
    # Real schemas' explicit ids match their text; a mismatch would warn.
    from Mivex.schema import crc_id

    return decl.replace(" ", f"#{crc_id(decl):08x} ", 1)


def generate(count: int = DECLARATIONS, seed: int = SEED) -> str:
    """A schema text of ``count`` declarations; the same text for the same arguments."""
    rnd = random.Random(seed)
    constructors = int(count * (1 - METHOD_SHARE))
    # Boxed result types; each gets one or more constructors.
    types = sorted({_capital(ns + noun + suffix) for ns in _NAMESPACES for noun in _NOUNS
                    for suffix in ("", "Info", "Full", "Short", "Ref", "State", "List", "Update")})
    rnd.shuffle(types)
    types = types[:constructors * 2 // 3]
    # %T needs T to have a single constructor.
    single = set(types[constructors - len(types):])
    lines = ["// generated for the parse-time benchmark",
             "int ? = Int;", "long ? = Long;", "double ? = Double;", "string ? = String;",
             "bytes = Bytes;", "vector {t:Type} # [ t ] = Vector t;",
             "boolFalse#bc799737 = Bool;", "boolTrue#997275b5 = Bool;", ""]
    made: list[str] = []        # constructor names, usable as bare types
    known: list[str] = []       # boxed types produced so far
    singles: list[str] = []     # those of them with a single constructor

    def field_type() -> str:
        roll = rnd.random()
        if roll < 0.45 or not known:
            return rnd.choice(_PRIMITIVES)
        if roll < 0.62:
            return f"Vector<{rnd.choice(_PRIMITIVES[:6])}>"
        if roll < 0.80:
            return rnd.choice(known)
        if roll < 0.90:
            return f"Vector<{rnd.choice(known)}>"
        if roll < 0.95:
            return rnd.choice(made)
        bare = singles or ["int"]
        return rnd.choice([f"%{rnd.choice(bare)}", f"vector<{rnd.choice(made)}>",
                           f"Vector<%{rnd.choice(bare)}>"])

    def fields() -> str:
        out: list[str] = []
        used: set[str] = set()
        words = 0
        if rnd.random() < 0.55:
            out.append("flags:#")
            words = 1
            if rnd.random() < 0.15:
                out.append("flags2:#")
                words = 2
        for _ in range(rnd.randint(1, 6)):
            name = rnd.choice(_WORDS)
            while name in used:
                name += "_" + rnd.choice(_WORDS)
            used.add(name)
            if words and rnd.random() < 0.4:
                word = "flags2" if words == 2 and rnd.random() < 0.3 else "flags"
                kind = "true" if rnd.random() < 0.35 else field_type()
                out.append(f"{name}:{word}.{rnd.randint(0, 31)}?{kind}")
            else:
                out.append(f"{name}:{field_type()}")
        return " ".join(out)

    for i in range(constructors):
        result = types[i % len(types)]
        ns, _, base = result.rpartition(".")
        name = (ns + "." if ns else "") + base[:1].lower() + base[1:] + (
            "" if i < len(types) else rnd.choice(_NOUNS).capitalize() + str(i))
        decl = f"{name} {fields()} = {result};"
        if rnd.random() < 0.33:
            decl = _with_id(decl)
        if rnd.random() < 0.05:
            decl += "  // " + " ".join(rnd.choice(_WORDS) for _ in range(5))
        lines.append(decl)
        made.append(name)
        if result not in known:
            known.append(result)
            if result in single:
                singles.append(result)

    lines.append("---functions---")
    for i in range(count - constructors):
        ns = rnd.choice(_NAMESPACES)
        verb = rnd.choice(["get", "set", "send", "list", "edit"])
        name = f"{ns}{verb}{rnd.choice(_NOUNS).capitalize()}{i}"
        if i % 200 == 0:
            lines.append(f"{name} {{X:Type}} layer:int query:!X = X;")
            continue
        result = rnd.choice([rnd.choice(known), f"Vector<{rnd.choice(known)}>", "Bool"])
        decl = f"{name} {fields()} = {result};"
        if rnd.random() < 0.33:
            decl = _with_id(decl)
        # Long declarations wrap over lines, as in hand-written schemas.
        if len(decl) > 100:
            cut = decl.index(" ", 60)
            decl = decl[:cut] + "\n    " + decl[cut + 1:]
        lines.append(decl)
    return "\n".join(lines) + "\n"


def measure(text: str, runs: int) -> tuple[float, float]:
    """The best wall time and the best CPU time of ``runs`` calls, in seconds."""
    from Mivex.schema import parse_tl

    wall = cpu = float("inf")
    with warnings.catch_warnings():
        warnings.simplefilter("error")      # the generated text must parse cleanly
        for _ in range(runs):
            gc.collect()
            start, start_cpu = time.perf_counter(), time.process_time()
            parse_tl(text)
            cpu = min(cpu, time.process_time() - start_cpu)
            wall = min(wall, time.perf_counter() - start)
    return wall, cpu


def measure_types(text: str, runs: int, standard: bool) -> tuple[float, str]:
    """The best wall time of ``typed_module`` on the text, and its output."""
    from Mivex.schema import typed_module

    best, out = float("inf"), ""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(runs):
            gc.collect()
            start = time.perf_counter()
            out = typed_module(text, standard=standard)
            best = min(best, time.perf_counter() - start)
    return best, out


def mypy_strict(source: str) -> tuple[float, str]:
    """Wall time and last line of ``mypy --strict`` on a generated module."""
    import subprocess
    import tempfile
    from pathlib import Path

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "schema_types.py"
        path.write_text(source, encoding="utf-8")
        start = time.perf_counter()
        proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                               "--cache-dir", str(Path(tmp) / "cache"), str(path)],
                              capture_output=True, text=True)
        lines = (proc.stdout or proc.stderr).strip().splitlines()
        return time.perf_counter() - start, lines[-1] if lines else f"exit {proc.returncode}"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m benchmarks.schema_text",
                                 description="Parse time of a large generated TL schema text.")
    ap.add_argument("--runs", type=int, default=15, help="timed runs; the best is shown")
    ap.add_argument("--declarations", type=int, default=DECLARATIONS)
    ap.add_argument("--dump", action="store_true", help="print the schema text and exit")
    ap.add_argument("--types", action="store_true",
                    help="also time typed_module on it (both profiles) and run mypy --strict "
                         "on the output")
    args = ap.parse_args(argv)
    text = generate(args.declarations)
    if args.dump:
        sys.stdout.write(text)
        return 0
    wall, cpu = measure(text, args.runs)
    count = sum(1 for line in text.splitlines()
                if line.strip() and not line.startswith(("//", "---", " ")))
    # On a shared machine the CPU time says more than the wall time.
    print(f"parse_tl: {count} declarations, {len(text.encode()) / 1000:.0f} KB of text, "
          f"best of {args.runs} runs: {wall * 1000:.1f} ms wall, {cpu * 1000:.1f} ms CPU")
    if args.types:
        for standard in (False, True):
            took, source = measure_types(text, max(1, args.runs // 5), standard)
            checked, verdict = mypy_strict(source)
            print(f"typed_module(standard={standard}): {len(source) / 1000:.0f} KB of Python "
                  f"in {took * 1000:.0f} ms; mypy --strict {checked:.1f} s: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
