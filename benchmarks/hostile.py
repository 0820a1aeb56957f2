"""Hostile inputs: ``python -m benchmarks.hostile [--runs N] [--random N]``.

For every hostile input to ``unpack`` and ``pack`` (huge claimed counts and
lengths, deep and self-referencing nesting, every truncation of a message,
random bytes, values that fail half way through a vector), prints as a
Markdown table what the call raised, the peak memory tracemalloc saw during
it and its wall time (median of ``--runs`` untraced runs).  Each call runs on
a parser that has not grown its buffer yet.  A second table does the same for
compiling hostile schemas (many fields, many constructors, long and deeply
nested type texts, huge names, deep JSON, many flags words), each at two
sizes beside ``json.loads`` of the same text.

The schema and input builders are tests/hostile_inputs.py's, which
tests/test_cost.py runs too, so the figures and the test's bounds are about
the same inputs.
"""

from __future__ import annotations

import argparse
import gc
import platform
import statistics
import sys
import time
import tracemalloc
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

from .report import cpu_model, fmt_bytes, fmt_time, table

# The inputs are test data; the benchmark borrows them, not the reverse.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from hostile_inputs import (  # noqa: E402
    HOSTILE_SCHEMAS, BYTES_ID, DEEP_ID, HOLD_ID, ITEM_ID, NODE_ID, SCHEMA, VEC, VI_ID, RaisingInt,
    nested_lists, nested_objects, raising_generator, random_inputs, rich_message,
    self_dict, self_list, u32)

RUN_SECONDS = 0.01
MAX_REPS = 1000


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


def _call(case: Case, standard: bool = False) -> Callable[[Any], Any]:
    """The operation on a new parser, which has not grown its buffer yet."""
    from Mivex.tl import TLParser

    if case.op == "compile":
        return lambda text: TLParser(text, standard=standard)
    return getattr(TLParser(SCHEMA), case.op)


def _traced(case: Case, standard: bool = False) -> tuple[Counter, int]:
    arg, call = case.make(), _call(case, standard)
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


# Each hostile schema at two sizes, so that the figures show how its cost
# grows with the text.
SCHEMA_SIZES = {
    "one constructor, {n:,} fields": (20_000, 40_000),
    "{n:,} constructors of 50 types": (50_000, 100_000),
    "{n:,} constructors of 50 types, standard profile": (50_000, 100_000),
    "vector type text forming {n:,} levels": (40_000, 80_000),
    "vector type nested {n:,} deep": (40_000, 80_000),
    "vector type nested {n:,} deep, standard profile": (40_000, 80_000),
    "names of {n:,} characters": (2_000_000, 4_000_000),
    "JSON nested {n:,} deep": (100_000, 200_000),
    "{n:,} flags words, standard profile": (10_000, 20_000),
}


def _best(work: Callable[[], Any], runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        try:
            work()
        except RecursionError:
            pass
        best = min(best, time.perf_counter() - start)
    return best


def schema_rows(runs: int, only: str) -> list[list[str]]:
    """TLParser(text) on each hostile schema: what it raised, its traced
    peak, and its time beside json.loads' time for the same text."""
    import json

    from Mivex.tl import TLParser

    rows = []
    for name, build, standard, _ in HOSTILE_SCHEMAS:
        for n in SCHEMA_SIZES[name]:
            label = name.format(n=n)
            if only not in label:
                continue
            print(f"compile {label}", file=sys.stderr, flush=True)
            text = build(n)
            outcomes, peak = _traced(Case("compile", label, "", lambda: text), standard)
            raised = _describe(outcomes).replace("none (returned)", "none: compiled")
            rows.append([label, fmt_bytes(len(text)), raised, fmt_bytes(peak),
                         fmt_time(_best(lambda: TLParser(text, standard=standard), runs)),
                         fmt_time(_best(lambda: json.loads(text), runs))])
    return rows


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
    srows = schema_rows(max(1, args.runs), args.only)
    if srows:
        print("\nCompiling hostile schemas: `TLParser(text)`, each schema at two sizes; "
              "time is the best of the runs, beside `json.loads` of the same text.\n")
        print(table(["Schema", "Text", "Raised", "Peak traced", "Compile", "json.loads"],
                    srows, "lrllrr"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
