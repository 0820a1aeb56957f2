"""Round-trip checks, calibrated timing loops and traced memory."""

from __future__ import annotations

import gc
import itertools
import random
import struct
import time
import tracemalloc
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from .peers import Case, Op


class CheckFailed(Exception):
    pass


# ---------------------------------------------------------------------------
# Strict comparison: same types, same values, all the way down
# ---------------------------------------------------------------------------


def difference(got: Any, want: Any, path: str = "value") -> Optional[str]:
    """The first difference between two values, or None if they are equal
    with identical types (1 is not True, 1.0 is not 1, bytearray is not
    bytes; floats compare by bit pattern)."""
    if type(got) is not type(want):
        return f"{path}: got {type(got).__name__} {_short(got)}, want {type(want).__name__} {_short(want)}"
    if isinstance(got, dict):
        if list(got) != list(want):
            missing = [k for k in want if k not in got]
            extra = [k for k in got if k not in want]
            if missing or extra:
                return f"{path}: missing keys {missing}, unexpected keys {extra}"
        for k in want:
            d = difference(got[k], want[k], f"{path}[{k!r}]")
            if d:
                return d
        return None
    if isinstance(got, (list, tuple)):
        if len(got) != len(want):
            return f"{path}: {len(got)} items, want {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            d = difference(g, w, f"{path}[{i}]")
            if d:
                return d
        return None
    if isinstance(got, float):
        if struct.pack("<d", got) != struct.pack("<d", want):
            return f"{path}: got {got!r}, want {want!r}"
        return None
    if got != want:
        return f"{path}: got {_short(got)}, want {_short(want)}"
    return None


def _short(v: Any) -> str:
    r = repr(v)
    return r if len(r) <= 60 else r[:57] + "..."


def check(case: Case, reference: Optional[bytes]) -> None:
    """Raises CheckFailed unless the case round-trips exactly.

    Packing twice must give the same bytes; codecs of the TL wire format
    must give Mivex's bytes; the timed unpack call (or, for a pack-only
    case, the library's decoder) must give back the expected value."""
    if case.pack is not None:
        out = case.pack()
        if case.packed is not None:
            out = case.packed(out)
        if type(out) is not bytes:
            raise CheckFailed(f"pack returned {type(out).__name__}, not bytes")
        if out != case.encoded:
            raise CheckFailed("packing the same value twice gave different bytes")
    if case.same_wire and reference is not None and case.encoded != reference:
        at = next((i for i, (a, b) in enumerate(zip(case.encoded, reference)) if a != b),
                  min(len(case.encoded), len(reference)))
        raise CheckFailed(f"bytes differ from Mivex's at offset {at} "
                          f"(lengths {len(case.encoded)} and {len(reference)})")
    if case.unpack is not None:
        got = case.unpack()
        if case.unpacked is not None:
            got = case.unpacked(got)
    else:
        got = case.decode(case.encoded)
    d = difference(got, case.expected)
    if d:
        raise CheckFailed("round trip differs: " + d)


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------


def make_loop(op: Op) -> Callable[[int], float]:
    """A loop calling ``op.fn(*op.args)`` n times; returns the seconds taken.

    The callable and its arguments are locals, so each iteration costs one
    call and nothing else; arity-specific loops avoid ``*args`` unpacking."""
    f, args = op.fn, op.args
    timer, repeat = time.perf_counter, itertools.repeat
    if len(args) == 0:
        def loop(n, f=f, timer=timer, repeat=repeat):
            it = repeat(None, n)
            t0 = timer()
            for _ in it:
                f()
            return timer() - t0
    elif len(args) == 1:
        def loop(n, f=f, a=args[0], timer=timer, repeat=repeat):
            it = repeat(None, n)
            t0 = timer()
            for _ in it:
                f(a)
            return timer() - t0
    elif len(args) == 2:
        def loop(n, f=f, a=args[0], b=args[1], timer=timer, repeat=repeat):
            it = repeat(None, n)
            t0 = timer()
            for _ in it:
                f(a, b)
            return timer() - t0
    else:
        raise ValueError("timed calls take at most two arguments")
    return loop


def run_sample(loop: Callable[[int], float], n: int) -> float:
    """Seconds per call over one sample of n calls, with the collector off
    (as timeit does); results are freed by reference counting."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        return loop(n) / n
    finally:
        if enabled:
            gc.enable()


def calibrate(loop: Callable[[int], float], target: float) -> int:
    """The call count that makes one sample last about ``target`` seconds."""
    n = 1
    while True:
        t = run_sample(loop, n) * n
        if t >= target * 0.2 or n >= 1 << 28:
            break
        n = n * 10 if t < target * 0.02 else max(n + 1, int(n * target * 0.25 / max(t, 1e-9)))
    return max(1, round(n * target / max(t, 1e-12)))


@dataclass
class Timing:
    n: int
    samples: list[float] = field(default_factory=list)

    @property
    def min(self) -> float:
        return min(self.samples)

    @property
    def median(self) -> float:
        import statistics  # imported late: the valgrind worker never needs it
        return statistics.median(self.samples)


@dataclass
class Task:
    shape: int
    lib: str
    op: str           # "pack" or "unpack"
    loop: Callable[[int], float]
    timing: Timing


def time_cases(cases: list[Case], repeats: int, target: float, seed: int,
               progress: Callable[[str], None] = lambda s: None) -> dict[tuple[int, str, str], Timing]:
    """Times every pack and unpack call of the cases: calibrate each, then
    ``repeats`` rounds; in each round every shape's calls run in a freshly
    shuffled order."""
    tasks: dict[int, list[Task]] = {}
    for case in cases:
        for op_name in ("pack", "unpack"):
            op = getattr(case, op_name)
            if op is None:
                continue
            loop = make_loop(op)
            loop(1)  # warm up
            tasks.setdefault(case.shape.number, []).append(
                Task(case.shape.number, case.lib.key, op_name, loop, Timing(calibrate(loop, target))))
    rng = random.Random(seed)
    for r in range(repeats):
        t0 = time.perf_counter()
        for number in sorted(tasks):
            order = list(tasks[number])
            rng.shuffle(order)
            for task in order:
                task.timing.samples.append(run_sample(task.loop, task.timing.n))
        progress(f"round {r + 1}/{repeats} done in {time.perf_counter() - t0:.1f} s")
    return {(t.shape, t.lib, t.op): t.timing for ts in tasks.values() for t in ts}


def loop_overhead(target: float, repeats: int) -> float:
    """Seconds per iteration of the timing loop around a trivial builtin
    call, id(x): the part of every measured time that is not the codec."""
    loop = make_loop(Op(id, (None,)))
    n = calibrate(loop, target)
    return min(run_sample(loop, n) for _ in range(max(3, repeats)))


# ---------------------------------------------------------------------------
# Traced memory
# ---------------------------------------------------------------------------


@dataclass
class Memory:
    peak: int     # highest traced memory during the call, above the start
    result: int   # traced memory freed by dropping the result
    kept: int     # traced memory still held after dropping the result


def traced(op: Op) -> Memory:
    """tracemalloc's view of one call (after the warm-up calls done while
    checking).  Allocations through malloc/new directly are not traced."""
    gc.collect()
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = op()
        current, peak = tracemalloc.get_traced_memory()
        del result
        after = tracemalloc.get_traced_memory()[0]
    finally:
        if started:
            tracemalloc.stop()
    return Memory(peak - before, current - after, after - before)
