"""Hostile inputs: ``python -m benchmarks.hostile [--runs N] [--random N]``.

For every hostile input to ``unpack`` and ``pack`` (huge claimed counts and
lengths, deep and self-referencing nesting, every truncation of a message,
random bytes, values that fail half way through a vector), prints as a
Markdown table what the call raised, the peak memory tracemalloc saw during
it and its wall time (median of ``--runs`` untraced runs).  Each call runs on
a parser that has not grown its buffer yet.

The schema and input builders here are also what tests/test_cost.py runs, so
the figures and the test's bounds are about the same inputs.
"""

from __future__ import annotations

import argparse
import gc
import json
import platform
import random
import statistics
import struct
import sys
import time
import tracemalloc
from collections import Counter
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .report import cpu_model, fmt_bytes, fmt_time, table

VEC = 0x1CB5C415
VI_ID, HOLD_ID, ITEM_ID, DEEP_ID, OPT_ID = 0x10, 0x11, 0x12, 0x13, 0x14
PHOTOS_ID, STRS_ID = 0x15, 0x16
BYTES_ID, TEXT_ID, NODE_ID, LEAF_ID = 0x20, 0x21, 0x4E4F4445, 0x4C454146
USER_ID, EMPTY_ID, PHOTO_ID, MSG_ID = 0x11111111, 0x22222222, 0x33333333, 0x44444444


def _entry(name: str, id: int, *params: str, type: Optional[str] = None) -> dict:
    fields = [dict(zip(("name", "type"), p.split(":", 1))) for p in params]
    return {"predicate": name, "id": id, "type": type or name, "params": fields}


SCHEMA = json.dumps({"constructors": [
    _entry("vi", VI_ID, "x:Vector<int>"),
    _entry("hold", HOLD_ID, "n:int", "s:string", "items:Vector<Item>"),
    _entry("item", ITEM_ID, "v:Vector<long>", type="Item"),
    # A bare Vector holds vectors at every level.
    _entry("deep", DEEP_ID, "x:Vector"),
    _entry("opt", OPT_ID, "flags:#", "a:flags.0?int", "marks:flags.1?Vector<double>"),
    _entry("photos", PHOTOS_ID, "x:Vector<Photo>"),
    _entry("strs", STRS_ID, "x:Vector<string>"),
    _entry("blob", BYTES_ID, "x:bytes"),
    _entry("text", TEXT_ID, "x:string"),
    _entry("node", NODE_ID, "next:Node", type="Node"),
    _entry("leaf", LEAF_ID, type="Node"),
    _entry("user", USER_ID, "flags:#", "flags2:#", "uid:int", "first:string",
           "bot:flags.0?true", "about:flags.1?string", "photo:flags2.3?Photo", type="User"),
    _entry("userEmpty", EMPTY_ID, "uid:int", type="User"),
    _entry("photo", PHOTO_ID, "id:long", "data:bytes", "sizes:Vector<int>", type="Photo"),
    _entry("message", MSG_ID, "flags:#", "id:long", "text:string", "blob:bytes",
           "score:double", "ok:Bool", "author:User", "flags2:#", "users:Vector<User>",
           "tags:Vector<string>", "nums:Vector<long>", "ratios:Vector<double>",
           "oks:Vector<Bool>", "blobs:Vector<bytes>", "grid:Vector",
           "reply:flags.0?string", "marks:flags.1?Vector<int>", "pinned:flags.3?true",
           "fwd:flags2.0?User", "raw:flags2.4?bytes", "silent:flags2.7?true", "tail:int"),
]})
IDS = [e["id"] for e in json.loads(SCHEMA)["constructors"]]
RUN_SECONDS = 0.01
MAX_REPS = 1000


def u32(*words: int) -> bytes:
    return struct.pack("<%dI" % len(words), *(w & 0xFFFFFFFF for w in words))


def rich_message() -> dict:
    """About 10 KB on the wire, with every kind of field."""
    users: list[dict] = []
    for i in range(60):
        if i % 5 == 4:
            users.append({"_": "userEmpty", "uid": i})
            continue
        users.append({
            "_": "user", "uid": 1000 + i, "first": "n\u00e4me %d" % i, "bot": i % 2 == 0,
            "about": "about \u4e2d %d" % i if i % 3 else None,
            "photo": {"_": "photo", "id": 2**63 + i, "data": bytes([i]) * (i * 3),
                      "sizes": list(range(i % 7))} if i % 4 else None})
    return {
        "_": "message", "id": 2**64 - 1, "text": "h\u00e9llo \U0001F600 " * 40,
        "blob": bytes(range(256)) * 4, "score": -2.5, "ok": True,
        "author": users[0], "users": users,
        "tags": ["", "x", "\u00e9" * 127, "y" * 300], "nums": [0, 1, 2**64 - 1],
        "ratios": [0.5, -1e300], "oks": [True, False, True],
        "blobs": [b"", b"\x00", bytes(254), bytes(1000)],
        "grid": [[], [[], [[]]], []], "reply": "re", "marks": [9, 8],
        "pinned": True, "fwd": {"_": "userEmpty", "uid": 4}, "raw": b"\x01\x02\x03",
        "silent": False, "tail": 0x5EADBEEF,
    }


def random_inputs(count: int, seed: int = 20240611) -> list[bytes]:
    """0 to 64 bytes each: half noise, half a known constructor id followed by
    noise sprinkled with vector ids, huge counts and other ids."""
    rnd = random.Random(seed)
    words = [0, 1, 2, 3, 0xFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFE, VEC] + IDS
    out = []
    for i in range(count):
        data = bytearray(rnd.randbytes(rnd.randrange(65)))
        if i % 2 and len(data) >= 4:
            data[:4] = u32(rnd.choice(IDS))
            for k in range(4, len(data) - 3, 4):
                if rnd.random() < 0.3:
                    data[k:k + 4] = u32(rnd.choice(words))
        out.append(bytes(data))
    return out


class Boom(Exception):
    pass


class RaisingInt:
    def __int__(self) -> int:
        raise Boom("half way")


def raising_generator(n: int):
    for i in range(n):
        if i == n // 2:
            raise Boom("half way")
        yield i & 0xFF


def nested_objects(depth: int) -> dict:
    obj: dict = {"_": "leaf"}
    for _ in range(depth - 1):
        obj = {"_": "node", "next": obj}
    return obj


def nested_lists(depth: int) -> dict:
    value: Any = []
    for _ in range(depth - 1):
        value = [value]
    return {"_": "deep", "x": value}


def self_list() -> dict:
    items: list = []
    items.append(items)
    return {"_": "deep", "x": items}


def self_dict() -> dict:
    node: dict = {"_": "node"}
    node["next"] = node
    return node


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------


@dataclass
class Case:
    op: str                       # "pack" or "unpack"
    name: str
    size: str                     # what the input is, in numbers
    make: Callable[[], Any]       # the argument
    sweep: bool = False           # the argument is a list of inputs, one call each
    reusable: bool = True         # False: one argument per call (generators are used up)


def cases(random_count: int) -> list[Case]:
    from Mivex.tl import TLParser

    out: list[Case] = []
    for count in (0x7FFFFFFF, 0xFFFFFFFF):
        c = "%08x" % count
        out += [
            Case("unpack", f"vector count {c}, top-level field", "12 B",
                 lambda c=count: u32(VI_ID, VEC, c)),
            Case("unpack", f"vector count {c}, inside an element", "24 B",
                 lambda c=count: u32(HOLD_ID, 5, 0, VEC, 2, ITEM_ID, VEC, c)),
            Case("unpack", f"vector count {c}, inner vector", "28 B",
                 lambda c=count: u32(DEEP_ID, VEC, 3, VEC, 0, VEC, c)),
        ]
    out += [
        Case("unpack", "objects nested 100,000 deep", "400 KB", lambda: u32(NODE_ID) * 100_000),
        Case("unpack", "vectors nested 100,000 deep", "800 KB",
             lambda: u32(DEEP_ID) + u32(VEC, 1) * 100_000),
        Case("unpack", "byte string claiming 16 MiB", "16 B",
             lambda: u32(BYTES_ID) + b"\xfe\xff\xff\xff" + bytes(8)),
    ]
    data = TLParser(SCHEMA).pack(rich_message())
    out.append(Case("unpack", "every truncation of a rich message",
                    f"{len(data):,} inputs of 0 to {len(data) - 1:,} B",
                    lambda: [data[:cut] for cut in range(len(data))], sweep=True))
    inputs = random_inputs(random_count)
    out.append(Case("unpack", "random inputs", f"{random_count:,} inputs of 0 to 64 B",
                    lambda: inputs, sweep=True))
    n = 100_000
    out += [
        Case("pack", "objects nested 100,000 deep", "100,000 dicts", lambda: nested_objects(n)),
        Case("pack", "lists nested 100,000 deep", "100,000 lists", lambda: nested_lists(n)),
        Case("pack", "list containing itself", "1 list", self_list),
        Case("pack", "dict containing itself", "1 dict", self_dict),
        Case("pack", "17 MiB bytes", "17 MiB", lambda: {"_": "blob", "x": bytes(17 << 20)}),
        Case("pack", "17 MiB ASCII text", "17 MiB", lambda: {"_": "text", "x": "a" * (17 << 20)}),
        Case("pack", "17 MiB of UTF-8 as non-ASCII text", "8.5 M characters",
             lambda: {"_": "text", "x": "\u00e9" * (17 << 19)}),
        Case("pack", "generator raising half way", f"{n // 4:,} items",
             lambda: {"_": "vi", "x": raising_generator(n // 4)}, reusable=False),
        Case("pack", "int element raising half way", f"{n:,} items",
             lambda: {"_": "vi", "x": [7] * (n // 2) + [RaisingInt()] + [7] * (n // 2)}),
        Case("pack", "object element raising half way", f"{n // 16:,} objects",
             lambda: {"_": "hold", "items": [{"_": "item", "v": [1, 2]}] * (n // 16)
                      + [{"_": "item", "v": [RaisingInt()]}]}),
    ]
    return out


# ---------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------


def _outcome(call: Callable[[Any], Any], arg: Any) -> str:
    try:
        call(arg)
    except Exception as exc:  # noqa: BLE001 - reported, not handled
        # Short messages tell the kinds apart ("Parse error", "Unknown constructor ID").
        head = str(exc).split(":")[0].split(" at position")[0]
        return f"{type(exc).__name__} ({head})" if len(head) <= 24 else type(exc).__name__
    return "none (returned)"


def _run(call: Callable[[Any], Any], arg: Any, sweep: bool) -> Counter:
    if sweep:
        return Counter(_outcome(call, item) for item in arg)
    return Counter([_outcome(call, arg)])


def _call(case: Case) -> Callable[[Any], Any]:
    """The operation on a new parser, which has not grown its buffer yet."""
    from Mivex.tl import TLParser

    return getattr(TLParser(SCHEMA), case.op)


def _traced(case: Case) -> tuple[Counter, int]:
    arg, call = case.make(), _call(case)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        outcomes = _run(call, arg, case.sweep)
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return outcomes, peak


def _timed(case: Case, runs: int) -> float:
    """Median over `runs` of the mean time of one call; a run repeats a
    short call until it has taken about RUN_SECONDS."""
    arg = case.make() if case.reusable else None
    reps, means = 1, []
    for run in range(runs + 1):  # the first run only sizes the others
        gc.collect()
        total = 0.0
        for _ in range(reps):
            item = arg if case.reusable else case.make()
            call = _call(case)
            start = time.perf_counter()
            _run(call, item, case.sweep)
            total += time.perf_counter() - start
            del item
        if run:
            means.append(total / reps)
        else:
            reps = max(1, min(MAX_REPS, int(RUN_SECONDS / max(total, 1e-9))))
    return statistics.median(means)


def _describe(outcomes: Counter) -> str:
    if len(outcomes) == 1 and sum(outcomes.values()) == 1:
        return next(iter(outcomes))
    return ", ".join(f"{name} {n:,}" for name, n in outcomes.most_common())


def measure(case: Case, runs: int) -> list[str]:
    outcomes, peak = _traced(case)
    seconds = _timed(case, runs)
    calls = sum(outcomes.values())
    per_call = f" ({fmt_time(seconds / calls)} per input)" if calls > 1 else ""
    return [case.op, case.name, case.size, _describe(outcomes), fmt_bytes(peak),
            fmt_time(seconds) + per_call]


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m benchmarks.hostile", description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=5, help="timed runs per input (default 5); the median is shown")
    ap.add_argument("--random", type=int, default=100_000, help="number of random inputs (default 100,000)")
    ap.add_argument("--only", default="", help="measure only the inputs whose name contains this text")
    args = ap.parse_args(argv)
    rows = []
    for case in cases(args.random):
        if args.only not in case.name:
            continue
        print(f"{case.op} {case.name}", file=sys.stderr, flush=True)
        rows.append(measure(case, max(1, args.runs)))
    print(f"Python {platform.python_version()} on {cpu_model()}. Peak: tracemalloc, above what was "
          f"in use before the call. Time: median of {args.runs} untraced runs, each the mean "
          f"of repeated calls when one call is short.\n")
    print(table(["Call", "Input", "Size", "Raised", "Peak traced", "Time"], rows, "lllllr"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
