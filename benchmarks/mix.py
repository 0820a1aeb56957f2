"""The mix benchmark: ``python -m benchmarks.mix [options]`` (or
``python -m benchmarks --shapes mix``).

Every value of the mix (``mixdata.py``: one value for each of about 2,400
schema entries) is packed once per pass, and its bytes unpacked once per
pass, by Mivex and by every peer that encodes the same dicts.  A library's
time per value is the minimum over the passes of (pass time / values); in
each pass the (library, variant, operation) tasks run in a new random order,
so drift on a noisy machine hits every library alike.

Variants, so that the causes of a difference stay visible:

* ``fresh``: keys from ``json.loads``, multilingual text, and new value
  objects for every pass (made untimed just before it), as an application
  packs a message it has just received or built: no string has been encoded
  to UTF-8 before.
* ``interned``: the same, with every key interned (as literals in source code).
* ``ascii``: the same values with ASCII text of the same byte lengths.
* ``hot``: each value packed (or unpacked) ``--hot-repeats`` times in a row
  after an untimed call, the same objects every pass: caches of every kind
  are warm.
* ``hot-literal``: the same with interned keys and ASCII text, as a value
  written with literals in source code and packed in a loop.
* ``no-bytes``: the fresh values that hold no bytes, for orjson (JSON cannot
  carry bytes), with Mivex and msgspec on the same subset.

``--counts`` measures instructions per value under cachegrind instead
(fresh values, one pass = one call per value), simulated cache misses for
Mivex and msgspec, and ``perf stat`` hardware counters where the machine
has them.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import os
import random
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

from . import mixdata, report
from .measure import difference

RESULTS = Path(__file__).resolve().parent / "results"
ROOT = Path(__file__).resolve().parent.parent
MIX_FILE_ENV = "MIVEX_MIX_FILE"

VARIANTS = ["fresh", "interned", "ascii", "hot", "hot-literal", "no-bytes"]
# Repeated variants and the values they repeat.
HOT = {"hot": "fresh", "hot-literal": "literal"}
VARIANT_TITLES = {
    "fresh": "keys from JSON, multilingual text, fresh objects (realistic)",
    "interned": "keys interned, same text, fresh objects",
    "ascii": "keys from JSON, ASCII text of the same lengths, fresh objects",
    "hot": "each value repeated, same objects every pass",
    "hot-literal": "each value repeated, keys interned, ASCII text",
    "no-bytes": "realistic, the values without bytes",
}
PACK_ONLY = {"interned"}  # its bytes are the fresh variant's


class Unavailable(Exception):
    pass


# ---------------------------------------------------------------------------
# Libraries: a pack and an unpack callable for the mix's schema
# ---------------------------------------------------------------------------


@dataclass
class Codec:
    key: str
    label: str
    pack: Callable
    unpack: Callable
    pack_arg: Any = None          # a second argument of every pack call, if any
    tl: bool = False              # unpacks to the complete TL form
    bytes_ok: bool = True         # can carry bytes


def _standard_parser(schema_json: str):
    """A parser of the standard wire profile, or None if this build has none."""
    from Mivex.tl import TLParser
    try:
        return TLParser(schema_json, standard=True)
    except TypeError:
        return None


def make_codec(key: str, schema_json: str) -> Codec:
    if key == "mivex":
        from Mivex.tl import TLParser
        p = TLParser(schema_json)
        return Codec(key, "Mivex", p.pack, p.unpack, tl=True)
    if key == "mivex-standard":
        p = _standard_parser(schema_json)
        if p is None:
            raise Unavailable("TLParser takes no standard=True in this build")
        return Codec(key, "Mivex (standard)", p.pack, p.unpack, tl=True)
    if key == "mivex-strict":
        from Mivex.tl import TLParser
        try:
            p = TLParser(schema_json, strict=True)
        except TypeError:
            raise Unavailable("TLParser takes no strict=True in this build") from None
        return Codec(key, "Mivex (strict)", p.pack, p.unpack, tl=True)
    if key == "msgspec":
        import msgspec
        enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        return Codec(key, "msgspec msgpack (dicts)", enc.encode, dec.decode)
    if key == "msgpack":
        import msgpack
        return Codec(key, "msgpack packb/unpackb", msgpack.packb, msgpack.unpackb)
    if key == "cbor2":
        import cbor2
        return Codec(key, "cbor2", cbor2.dumps, cbor2.loads)
    if key == "pickle":
        import pickle
        return Codec(key, f"pickle (protocol {pickle.HIGHEST_PROTOCOL})", pickle.dumps,
                     pickle.loads, pack_arg=pickle.HIGHEST_PROTOCOL)
    if key == "marshal":
        import marshal
        return Codec(key, "marshal", marshal.dumps, marshal.loads)
    if key == "orjson":
        import orjson
        return Codec(key, "orjson (JSON)", orjson.dumps, orjson.loads, bytes_ok=False)
    raise KeyError(key)


LIB_KEYS = ["mivex", "mivex-standard", "mivex-strict", "msgspec", "msgpack", "cbor2", "pickle", "marshal",
            "orjson"]
SUBSET_LIBS = ["mivex", "mivex-standard", "mivex-strict", "msgspec", "orjson"]  # the no-bytes variant


def mix_key(key: str) -> str:
    """The mix's key for a key of the shape benchmarks (``mivex_standard``)."""
    return key.replace("_", "-") if key.startswith("mivex_") else key


def _has_bytes(v: Any) -> bool:
    if isinstance(v, dict):
        return any(_has_bytes(x) for x in v.values())
    if isinstance(v, list):
        return any(_has_bytes(x) for x in v)
    return isinstance(v, bytes)


def _drop_flag_words(mix: mixdata.Mix, obj: Any) -> Any:
    """The value without flags words, for a profile whose results carry them."""
    if isinstance(obj, list):
        return [_drop_flag_words(mix, x) for x in obj]
    if not isinstance(obj, dict):
        return obj
    c = mix.ctors.get(obj.get("_"))
    words = {p.name for p in c.params if p.kind == "flags"} if c else set()
    return {k: _drop_flag_words(mix, v) for k, v in obj.items() if k not in words}


def check_codec(codec: Codec, mix: mixdata.Mix, values: list[dict]) -> Optional[str]:
    """The first value the codec does not round-trip exactly, or None."""
    for i, v in enumerate(values):
        out = _call(codec.pack, v, codec.pack_arg)
        again = _call(codec.pack, v, codec.pack_arg)
        if type(out) is not bytes or out != again:
            return f"value {i} ({v['_']}): packing twice gave different results"
        got = codec.unpack(out)
        want = mix.expected(v, standard=codec.key == "mivex-standard") if codec.tl else v
        d = difference(got, want)
        if d and codec.key == "mivex-standard":
            d = difference(_drop_flag_words(mix, got), want)
        if d:
            return f"value {i} ({v['_']}): round trip differs: {d}"
    return None


def _call(f, v, arg):
    return f(v) if arg is None else f(v, arg)


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------


def pass_loop(f: Callable, items: list, arg: Any = None) -> float:
    """Seconds for one call of f on each item, the collector off."""
    perf = time.perf_counter
    gc.disable()
    try:
        if arg is None:
            t0 = perf()
            for x in items:
                f(x)
        else:
            t0 = perf()
            for x in items:
                f(x, arg)
        return perf() - t0
    finally:
        gc.enable()


def hot_loop(f: Callable, items: list, arg: Any, repeats: int) -> float:
    """Seconds per pass-equivalent of calls repeated on one item at a time:
    each item gets an untimed call, then ``repeats`` timed ones."""
    perf, rep = time.perf_counter, itertools.repeat
    total = 0.0
    gc.disable()
    try:
        for x in items:
            if arg is None:
                f(x)
                it = rep(None, repeats)
                t0 = perf()
                for _ in it:
                    f(x)
            else:
                f(x, arg)
                it = rep(None, repeats)
                t0 = perf()
                for _ in it:
                    f(x, arg)
            total += perf() - t0
    finally:
        gc.enable()
    return total / repeats


@dataclass
class Task:
    lib: str
    variant: str
    op: str
    samples: list[float] = field(default_factory=list)   # seconds per value


def fresh_values(mix: mixdata.Mix, variant: str, subset: list[int]) -> list[dict]:
    """New value objects of a variant, as json.loads makes them."""
    if variant == "ascii":
        return mix.values(ascii=True)
    if variant == "literal":
        return mixdata.interned_keys(mix.values(ascii=True))
    values = mix.values()
    if variant == "interned":
        return mixdata.interned_keys(values)
    if variant == "no-bytes":
        return [values[i] for i in subset]
    return values


class Bench:
    """The mix, the codecs and the inputs of every (library, variant, op)."""

    def __init__(self, mix: mixdata.Mix, codecs: list[Codec], variants: list[str],
                 hot_repeats: int):
        self.mix, self.codecs, self.variants = mix, {c.key: c for c in codecs}, variants
        self.hot_repeats = hot_repeats
        self.count = len(mix.texts)
        self.subset = [i for i, v in enumerate(mix.values()) if not _has_bytes(v)]
        # The repeated variants' values, one set per library, kept for every
        # pass: a library finds only the caches it fills itself (UTF-8 forms).
        self.hot_values: dict[tuple[str, str], list[dict]] = {}
        self.encoded: dict[tuple[str, str], list[bytes]] = {}
        for c in codecs:
            values = mix.values()
            base = values if c.bytes_ok else [values[i] for i in self.subset]
            enc = [_call(c.pack, v, c.pack_arg) for v in base]
            self.encoded[(c.key, "fresh" if c.bytes_ok else "no-bytes")] = enc
            if not c.bytes_ok:
                continue
            ascii_enc = [_call(c.pack, v, c.pack_arg) for v in mix.values(ascii=True)]
            self.encoded[(c.key, "no-bytes")] = [enc[i] for i in self.subset]
            self.encoded[(c.key, "ascii")] = ascii_enc
            self.encoded[(c.key, "hot")] = enc
            self.encoded[(c.key, "hot-literal")] = ascii_enc
            self.hot_values[(c.key, "hot")] = values
            self.hot_values[(c.key, "hot-literal")] = fresh_values(mix, "literal", self.subset)

    def libs_for(self, variant: str) -> list[str]:
        keys = [k for k in self.codecs if self.codecs[k].bytes_ok or variant == "no-bytes"]
        if variant == "no-bytes":
            keys = [k for k in keys if k in SUBSET_LIBS]
        return keys

    def tasks(self) -> list[Task]:
        out = []
        for variant in self.variants:
            for key in self.libs_for(variant):
                for op in ("pack", "unpack"):
                    if op == "unpack" and variant in PACK_ONLY:
                        continue
                    out.append(Task(key, variant, op))
        return out

    def fresh_values(self, variant: str) -> list[dict]:
        return fresh_values(self.mix, variant, self.subset)

    def run(self, task: Task) -> float:
        """One timed pass; seconds per value."""
        c = self.codecs[task.lib]
        if task.op == "unpack":
            items = self.encoded[(task.lib, task.variant)]
            if task.variant in HOT:
                return hot_loop(c.unpack, items, None, self.hot_repeats) / len(items)
            return pass_loop(c.unpack, items) / len(items)
        if task.variant in HOT:
            items = self.hot_values[(task.lib, task.variant)]
            return hot_loop(c.pack, items, c.pack_arg, self.hot_repeats) / len(items)
        items = self.fresh_values(task.variant)
        gc.collect()
        return pass_loop(c.pack, items, c.pack_arg) / len(items)


def time_tasks(bench: Bench, passes: int, seed: int,
               progress: Callable[[str], None] = lambda s: None) -> list[Task]:
    tasks = bench.tasks()
    for t in tasks:  # one untimed pass each: first-call effects out of the way
        bench.run(t)
    rng = random.Random(seed)
    for p in range(passes):
        t0 = time.perf_counter()
        order = list(tasks)
        rng.shuffle(order)
        for t in order:
            t.samples.append(bench.run(t))
        progress(f"pass {p + 1}/{passes} done in {time.perf_counter() - t0:.1f} s")
    return tasks


# ---------------------------------------------------------------------------
# The counting worker (run under valgrind or perf by mixcounts.py)
# ---------------------------------------------------------------------------

WORKER_COPIES = 3   # fresh value sets a worker makes: one warm-up pass, two measured
COPIES_ENV = "MIVEX_MIX_COPIES"  # more of them, for longer runs under perf
COUNT_HOT_REPEATS = 8


def load_mix() -> mixdata.Mix:
    """The mix from the file the parent wrote, else generated here."""
    path = os.environ.get(MIX_FILE_ENV)
    return mixdata.Mix.from_file(path) if path else mixdata.build()


def worker(variant: str, lib: str, op: str, passes: int, hot_repeats: int) -> None:
    """Everything a measured run does except its passes, then ``passes``
    passes: the difference of two runs is the passes alone."""
    copies = int(os.environ.get(COPIES_ENV, WORKER_COPIES))
    if passes > copies - 1:
        raise SystemExit(f"at most {copies - 1} measured passes")
    mix = load_mix()
    codec = Codec("loop", "loop", id, id) if lib == "loop" else make_codec(lib, mix.schema_json)
    subset = [i for i, v in enumerate(mix.values()) if not _has_bytes(v)]
    if op == "unpack" or variant in HOT:
        values = fresh_values(mix, HOT.get(variant, variant), subset)
        if op == "unpack":
            items = [_call(codec.pack, v, codec.pack_arg) for v in values]
            f, arg = codec.unpack, None
        else:
            items, f, arg = values, codec.pack, codec.pack_arg
        sets = [items] * copies
    else:
        sets = [fresh_values(mix, variant, subset) for _ in range(copies)]
        f, arg = codec.pack, codec.pack_arg
    repeats = hot_repeats if variant in HOT else 1
    _calls(f, sets[0], arg, 1)  # warm-up
    for i in range(passes):
        _calls(f, sets[1 + i], arg, repeats)


def _calls(f: Callable, items: list, arg: Any, repeats: int) -> None:
    """The timing loops' calls without the timer."""
    rep = itertools.repeat
    if repeats == 1 and arg is None:
        for x in items:
            f(x)
    elif repeats == 1:
        for x in items:
            f(x, arg)
    elif arg is None:
        for x in items:
            for _ in rep(None, repeats):
                f(x)
    else:
        for x in items:
            for _ in rep(None, repeats):
                f(x, arg)


# ---------------------------------------------------------------------------
# What the mix holds
# ---------------------------------------------------------------------------


def _kind_of(type_text: str) -> str:
    t = type_text.split("?")[-1]
    if t in ("int", "long", "string", "bytes", "double"):
        return t
    if t in ("Bool", "true"):
        return "Bool or true"
    if t.startswith("Vector<"):
        inner = t[len("Vector<"):-1]
        return "vector of primitives" if inner in mixdata.PRIMITIVE_ELEMENTS else "vector of objects"
    return "object"


def _depth(v: Any) -> int:
    if isinstance(v, dict):
        return 1 + max((_depth(x) for x in v.values()), default=0)
    if isinstance(v, list):
        return max((_depth(x) for x in v), default=0)
    return 0


def _strings(v: Any, out: list) -> list:
    if isinstance(v, dict):
        for k, x in v.items():
            if k != "_":
                _strings(x, out)
    elif isinstance(v, list):
        for x in v:
            _strings(x, out)
    elif isinstance(v, str):
        out.append(v)
    return out


def describe(mix: mixdata.Mix) -> dict[str, Any]:
    """The proportions the mix really has (checked by the smoke tests)."""
    entries = mix.entries
    fields = [f for e in entries for f in e.fields if f.name not in ("flags", "flags2")]
    per_entry = [sum(f.name not in ("flags", "flags2") for f in e.fields) for e in entries]
    kinds: dict[str, int] = {}
    for f in fields:
        k = _kind_of(f.type)
        kinds[k] = kinds.get(k, 0) + 1
    cond = [f for f in fields if "?" in f.type]
    values = mix.values()
    strings = _strings(values, [])
    sizes = [len(s.encode()) for s in strings]
    depths: dict[int, int] = {}
    for v in values:
        d = _depth(v)
        depths[d] = depths.get(d, 0) + 1
    return {
        "entries": len(entries),
        "constructors": sum(not e.method for e in entries),
        "methods": sum(e.method for e in entries),
        "fields": len(fields),
        "mean fields": len(fields) / len(entries),
        "max fields": max(per_entry),
        "kinds": {k: n / len(fields) for k, n in sorted(kinds.items(), key=lambda kv: -kv[1])},
        "conditional": len(cond) / len(fields),
        "true among conditional": sum(f.type.endswith("?true") for f in cond) / len(cond),
        "with flags": sum(any(f.name == "flags" for f in e.fields) for e in entries) / len(entries),
        "with flags2": sum(any(f.name == "flags2" for f in e.fields) for e in entries),
        "depths": dict(sorted(depths.items())),
        "strings": len(strings),
        "non-ASCII strings": sum(not s.isascii() for s in strings) / len(strings),
        "string bytes max": max(sizes),
        "string bytes mean": sum(sizes) / len(sizes),
        "values with bytes": sum(_has_bytes(v) for v in values),
    }


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def _per_value(s: Optional[float]) -> str:
    return report.fmt_time(s)


def render(bench: Bench, tasks: list[Task], failures: list[tuple[str, str]],
           skipped: list[tuple[str, str]], settings: dict[str, str], elapsed: float) -> str:
    by = {(t.lib, t.variant, t.op): t for t in tasks}
    labels = {k: c.label for k, c in bench.codecs.items()}
    peers = [k for k in bench.codecs if k != "mivex"]

    def best(key, variant, op):
        t = by.get((key, variant, op))
        return min(t.samples) if t and t.samples else None

    lines = ["# Mivex on the mix", ""]
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    lines += [f"Run {when}, {elapsed:.0f} s: `{settings['command']}`.", ""]
    interp = report.interpreter_build()
    lines += [f"{interp['implementation']} (debug build: {interp['debug build']}, PGO: "
              f"{interp['PGO (--enable-optimizations)']}), {report.cpu_model()}, "
              f"{report.machine()['cores']}. Mivex extension sha256 "
              f"{report.mivex_build()['extension sha256']}.", ""]
    lines += [
        f"Time per value: the minimum over {settings['passes']} interleaved passes of (pass time / "
        f"values); {bench.count:,} values, one per schema entry. Ratios are the peer's "
        "time over Mivex's: above 1, Mivex is faster. These are wall-clock times on a shared "
        "machine: compare the ratios within one run, not absolute times across runs.",
        "",
    ]
    for op in ("pack", "unpack"):
        header = ["Values", f"Mivex {op}"] + [
            f"{labels[k] if k.startswith('mivex-') else labels[k].split(' (')[0]}/Mivex"
            for k in peers]
        rows = []
        for variant in bench.variants:
            if op == "unpack" and variant in PACK_ONLY:
                continue
            mv = best("mivex", variant, op)
            if mv is None:
                continue
            row = [f"{variant}: {VARIANT_TITLES[variant]}", _per_value(mv)]
            for k in peers:
                b = best(k, variant, op)
                row.append(report.fmt_ratio(b / mv) if b else "—")
            rows.append(row)
        lines += [f"## {op}", "", report.table(header, rows, "l" + "r" * (len(header) - 1)), ""]
    lines += ["## Times per value (min / median)", ""]
    header = ["Library"] + [f"{v} {op}" for v in bench.variants for op in ("pack", "unpack")
                            if not (op == "unpack" and v in PACK_ONLY)]
    rows = []
    for k in bench.codecs:
        row = [labels[k] if k != "mivex" else "**Mivex**"]
        for v in bench.variants:
            for op in ("pack", "unpack"):
                if op == "unpack" and v in PACK_ONLY:
                    continue
                t = by.get((k, v, op))
                if t is None or not t.samples:
                    row.append("—")
                else:
                    s = sorted(t.samples)
                    row.append(f"{_per_value(s[0])} / {_per_value(s[len(s) // 2])}")
        rows.append(row)
    lines += [report.table(header, rows), ""]
    sizes = []
    for k, c in bench.codecs.items():
        enc = bench.encoded.get((k, "fresh")) or bench.encoded.get((k, "no-bytes"))
        what = "all values" if c.bytes_ok else "values without bytes"
        sizes.append([c.label, what, f"{sum(map(len, enc)):,}"])
    lines += ["## Encoded sizes", "", report.table(["Library", "of", "bytes"], sizes, "llr"), ""]
    lines += ["## The mix", "", describe_table(describe(bench.mix)), ""]
    if failures or skipped:
        lines += ["## Left out", ""]
        lines += [f"- {k}: check failed: {why}" for k, why in failures]
        lines += [f"- {k}: {why}" for k, why in skipped]
        lines.append("")
    return "\n".join(lines)


def describe_table(d: dict[str, Any]) -> str:
    rows = [
        ["entries", f"{d['entries']:,} ({d['constructors']:,} constructors, {d['methods']:,} methods)"],
        ["fields per entry", f"{d['mean fields']:.2f} on average, up to {d['max fields']}"],
    ]
    rows += [[f"fields: {k}", f"{v:.1%}"] for k, v in d["kinds"].items()]
    rows += [
        ["conditional fields", f"{d['conditional']:.1%} ({d['true among conditional']:.0%} of them `true` flags)"],
        ["entries with a flags word", f"{d['with flags']:.1%} ({d['with flags2']} with flags2 too)"],
        ["values by nesting depth", ", ".join(f"{k}: {n:,}" for k, n in d["depths"].items())],
        ["strings", f"{d['strings']:,}, {d['non-ASCII strings']:.0%} not ASCII, "
                    f"{d['string bytes mean']:.0f} bytes on average, up to {d['string bytes max']}"],
        ["values holding bytes", f"{d['values with bytes']:,}"],
    ]
    return report.table(["", ""], rows, "ll")


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def parse_args(argv):
    ap = argparse.ArgumentParser(prog="python -m benchmarks.mix", description=__doc__.split("\n\n")[0])
    ap.add_argument("--passes", type=int, default=None, help="timed passes (default 11, at least 7 counts)")
    ap.add_argument("--libs", default="", help="comma-separated keys (Mivex is always included); known: "
                    + ", ".join(LIB_KEYS))
    ap.add_argument("--variants", default=",".join(VARIANTS),
                    help="comma-separated, of: " + ", ".join(VARIANTS))
    ap.add_argument("--hot-repeats", type=int, default=8, help="calls per value in the hot variant")
    ap.add_argument("--seed", type=int, default=1, help="seed of the shuffled order")
    ap.add_argument("--quick", action="store_true", help="one pass, no files written: a smoke run")
    ap.add_argument("--out", default=None, help="directory for mix.md (default benchmarks/results)")
    ap.add_argument("--counts", action="store_true",
                    help="instructions per value under cachegrind, simulated cache misses "
                         "and perf counters instead of timing")
    args = ap.parse_args(argv)
    args.lib_keys = ["mivex"] + [mix_key(k.strip()) for k in args.libs.split(",")
                                 if k.strip() and k.strip() != "mivex"]
    if not args.libs:
        args.lib_keys = list(LIB_KEYS)
    unknown = [k for k in args.lib_keys if k not in LIB_KEYS]
    if unknown:
        ap.error(f"unknown library {unknown}; known: {', '.join(LIB_KEYS)}")
    args.variant_list = [v.strip() for v in args.variants.split(",") if v.strip()]
    bad = [v for v in args.variant_list if v not in VARIANTS]
    if bad:
        ap.error(f"unknown variant {bad}; known: {', '.join(VARIANTS)}")
    if args.passes is None:
        args.passes = 1 if args.quick else 11
    if args.out is None and not args.quick:
        args.out = str(RESULTS)
    return args


def prepare(keys: list[str], mix: mixdata.Mix):
    codecs, failures, skipped = [], [], []
    schema_json = mix.schema_json
    values = mix.values()
    ascii_values = mix.values(ascii=True)
    for key in keys:
        try:
            codec = make_codec(key, schema_json)
        except (ImportError, Unavailable) as e:
            skipped.append((key, f"not available: {e}"))
            continue
        subset = values if codec.bytes_ok else [v for v in values if not _has_bytes(v)]
        why = check_codec(codec, mix, subset)
        if why is None and codec.bytes_ok:
            why = check_codec(codec, mix, ascii_values)
        if why:
            if key == "mivex":
                raise SystemExit(f"Mivex fails the mix: {why}")
            failures.append((key, why))
            continue
        codecs.append(codec)
    return codecs, failures, skipped


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    if args.counts:
        from .mixcounts import run as run_counts
        return run_counts(args)
    start = time.perf_counter()
    log("building the mix")
    mix = mixdata.build()
    codecs, failures, skipped = prepare(args.lib_keys, mix)
    for key, why in failures:
        log(f"CHECK FAILED: {key}: {why}")
    bench = Bench(mix, codecs, args.variant_list, args.hot_repeats)
    log(f"{len(bench.tasks())} tasks, {args.passes} passes")
    tasks = time_tasks(bench, args.passes, args.seed, progress=log)
    settings = {"passes": str(args.passes),
                "command": " ".join(["python -m benchmarks.mix"] + list(sys.argv[1:] if argv is None else argv))}
    text = render(bench, tasks, failures, skipped, settings, time.perf_counter() - start)
    print(text)
    if args.out:
        out = Path(args.out)
        out.mkdir(parents=True, exist_ok=True)
        (out / "mix.md").write_text(text + "\n", encoding="utf-8")
        log(f"wrote {out / 'mix.md'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
