"""Instruction counts per call under valgrind's cachegrind.

Each (shape, library, operation) runs in two subprocesses under
``valgrind --tool=cachegrind``: a baseline that sets everything up and makes
a few warm-up calls, and a measured run that makes ``iterations`` more calls.
The difference of their instruction totals over ``iterations`` is the count
per call, free of start-up, import and data generation, and stable on a
noisy machine.  The worker is ``cgworker.py``.  Counts include the timing loop's own iteration and call;
the ``loop`` row shows that part alone (a loop calling ``id(x)``).
"""

from __future__ import annotations

import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import report
from .shapes import SHAPES

VALGRIND = "valgrind"
WARMUP = 2
DEFAULT_ITERATIONS = {1: 20_000, 2: 10_000, 3: 20_000, 4: 10_000, 5: 20, 6: 10, 7: 200}
LOOP_ITERATIONS = 20_000
ROOT = Path(__file__).resolve().parent.parent


def _count(shape: int, lib: str, op: str, calls: int, tmp: Path) -> int:
    out = tmp / f"cg.{shape}.{lib}.{op}.{calls}"
    cmd = [VALGRIND, "--tool=cachegrind", "--cache-sim=no", "--branch-sim=no", "-q",
           f"--cachegrind-out-file={out}", sys.executable, "-m", "benchmarks.cgworker",
           str(shape), lib, op, str(calls)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd[-5:])} failed:\n{proc.stderr[-2000:]}")
    for line in out.read_text().splitlines():
        if line.startswith("summary:"):
            return int(line.split()[1])
    raise RuntimeError(f"no summary line in {out}")


def run(args) -> int:
    if shutil.which(VALGRIND) is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
    start = time.perf_counter()
    res = report.Results(shapes=args.shape_numbers, libs=[], timings={}, sizes={})
    from .cli import available_libs, prepare
    keys = args.lib_keys or ["mivex", "floor"]
    libs = available_libs(keys, res)
    res.libs = libs
    cases = prepare(args.shape_numbers, libs, res)  # checks round trips natively first
    for n, key, err in res.failures:
        print(f"CHECK FAILED: shape {n}, {key}: {err}", file=sys.stderr)
    jobs = []
    for case in cases:
        n = case.shape.number
        iterations = args.iterations or DEFAULT_ITERATIONS[n]
        if args.quick:
            iterations = max(1, iterations // 100)
        for op in ("pack", "unpack"):
            if getattr(case, op) is not None:
                jobs.append((n, case.lib.key, op, iterations))
    workers = max(1, len(os.sched_getaffinity(0)))
    counts: dict[tuple[int, str, str], float] = {}
    with tempfile.TemporaryDirectory(prefix="mivex-cg-") as tmpdir, \
            concurrent.futures.ThreadPoolExecutor(workers) as pool:
        tmp = Path(tmpdir)
        futures = {}
        for job in jobs:
            n, key, op, iterations = job
            base = pool.submit(_count, n, key, op, WARMUP, tmp)
            full = pool.submit(_count, n, key, op, WARMUP + iterations, tmp)
            futures[(n, key, op)] = (base, full, iterations)
            print(f"queued shape {n} {key} {op} ({iterations} calls)", file=sys.stderr)
        loop_iters = LOOP_ITERATIONS // (100 if args.quick else 1)
        loop_base = pool.submit(_count, 1, "loop", "pack", WARMUP, tmp)
        loop_full = pool.submit(_count, 1, "loop", "pack", WARMUP + loop_iters, tmp)
        for key, (base, full, iterations) in futures.items():
            counts[key] = (full.result() - base.result()) / iterations
        loop_cost = (loop_full.result() - loop_base.result()) / loop_iters

    text = render(args.shape_numbers, libs, counts, loop_cost, time.perf_counter() - start)
    print(text)
    if args.out:
        out = Path(args.out)
        out.mkdir(parents=True, exist_ok=True)
        (out / "instructions.md").write_text(text + "\n", encoding="utf-8")
        print(f"wrote {out / 'instructions.md'}", file=sys.stderr)
    return 1 if res.failures else 0


def render(shapes, libs, counts, loop_cost, elapsed) -> str:
    others = [lib for lib in libs if lib.key != "mivex"]
    header = ["Shape", "op", "Mivex"] + [lib.label for lib in others] + \
             [f"Mivex/{lib.key}" for lib in others]
    rows = []
    for n in shapes:
        for op in ("pack", "unpack"):
            mv = counts.get((n, "mivex", op))
            if mv is None:
                continue
            row = [f"{n} {SHAPES[n].label}", op, f"{mv:,.0f}"]
            row += [f"{counts[(n, lib.key, op)]:,.0f}" if (n, lib.key, op) in counts else "—"
                    for lib in others]
            row += [report.fmt_ratio(mv / counts[(n, lib.key, op)])
                    if counts.get((n, lib.key, op)) else "—" for lib in others]
            rows.append(row)
    interp = report.interpreter_build()
    lines = [
        "# Mivex instruction counts (cachegrind)",
        "",
        f"Instructions per call: (run with warm-up + N calls) − (run with warm-up only), over N. "
        f"{elapsed:.0f} s. Interpreter: {interp['implementation']}, debug build: "
        f"{interp['debug build']}, PGO: {interp['PGO (--enable-optimizations)']}. "
        f"Mivex extension sha256 {report.mivex_build()['extension sha256']}.",
        "",
        f"The timing loop itself (one iteration calling `id(x)`) costs {loop_cost:,.0f} "
        "instructions; it is included in every count below. valgrind counts each iteration of "
        "`rep movsb` (glibc's memcpy for large blocks) as one instruction, so bulk copies "
        "(shapes 2 and 7) weigh about one instruction per byte.",
        "",
        report.table(header, rows, "ll" + "r" * (len(header) - 2)),
    ]
    return "\n".join(lines)
