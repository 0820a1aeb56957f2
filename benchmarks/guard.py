"""Instruction-count guard: ``python -m benchmarks.guard [--update]``.

Counts Mivex's instructions per call under cachegrind (the ``--cachegrind``
mode's workers) for ``pack`` and ``unpack`` on shapes 1 to 5 and per value on
the mix, and compares them with the committed baseline of the running
interpreter's minor version (``baseline/instructions-cpXY.json``).  A count
more than ``--tolerance`` percent (default 3) above its baseline fails.
Instruction counts barely move on a busy machine, unlike times.

Exit status: 0 within the baseline, 1 a regression, 2 nothing to compare
(no valgrind, no baseline, or a baseline of another interpreter version).
``--update`` measures and rewrites the baseline, on purpose, after a change
that is meant to cost or save instructions.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

from . import instructions, peers, report
from .shapes import SHAPES

BASELINE_DIR = Path(__file__).resolve().parent / "baseline"
GUARDED_SHAPES = [1, 2, 3, 4, 5]
TOLERANCE = 3.0  # percent


def baseline_path() -> Path:
    v = sys.version_info
    return BASELINE_DIR / f"instructions-cp{v.major}{v.minor}.json"


def interpreter() -> dict[str, str]:
    b = report.interpreter_build()
    return {"implementation": platform.python_implementation(),
            "version": platform.python_version(),
            "minor": "%d.%d" % sys.version_info[:2],
            "debug build": b["debug build"], "PGO": b["PGO (--enable-optimizations)"],
            "LTO": b["LTO (--with-lto)"], "optimisation": b["optimisation"]}


def extension() -> dict[str, str]:
    """What identifies the extension's build."""
    info = report.mivex_build()
    data = Path(info["extension"]).read_bytes()
    compiler = re.search(rb"(GCC: \([^)]*\) [0-9.]+|clang version [0-9.]+)", data)
    return {"version": info["version"], "sha256": info["extension sha256"],
            "compiler": compiler.group(0).decode() if compiler else "?",
            "sanitizers": "yes" if b"__asan_init" in data or b"__ubsan_handle" in data else "no",
            "file": Path(info["extension"]).name}


def valgrind_version() -> str:
    try:
        return subprocess.run([instructions.VALGRIND, "--version"], capture_output=True,
                              text=True).stdout.strip()
    except OSError:
        return "?"


def measure_counts(log=print) -> tuple[dict[str, float], float]:
    """Instructions per call of Mivex, by "SHAPE OP", and the loop's own."""
    from .cli import available_libs, prepare
    instructions.precompile()
    res = report.Results(shapes=GUARDED_SHAPES, libs=[], timings={}, sizes={})
    libs = available_libs(["mivex"], res)
    cases = prepare(GUARDED_SHAPES, libs, res)
    if res.failures:
        raise SystemExit(f"round-trip checks failed: {res.failures}")
    counts: dict[str, float] = {}
    workers = max(1, len(os.sched_getaffinity(0)))
    with tempfile.TemporaryDirectory(prefix="mivex-guard-") as tmpdir, \
            concurrent.futures.ThreadPoolExecutor(workers) as pool:
        tmp = Path(tmpdir)
        futures = instructions.count_shapes(pool, tmp, cases, None, False)
        mix, mix_futures, failures = instructions.count_mix(pool, tmp, ["mivex"])
        if failures:
            raise SystemExit(f"the mix fails its checks: {failures}")
        loop_base = pool.submit(instructions._count, 1, "loop", "pack", instructions.WARMUP, tmp)
        loop_full = pool.submit(instructions._count, 1, "loop", "pack",
                                instructions.WARMUP + instructions.LOOP_ITERATIONS, tmp)
        for (n, _, op), (base, full, calls) in futures.items():
            counts[f"{n} {op}"] = (full.result() - base.result()) / calls
        from .mixcounts import per_value
        for (_, _, op), e in per_value(mix, mix_futures).items():
            counts[f"mix {op}"] = e["Ir"]
        loop = (loop_full.result() - loop_base.result()) / instructions.LOOP_ITERATIONS
    return counts, loop


def _label(key: str) -> str:
    shape, op = key.split()
    name = "mix (per value)" if shape == "mix" else f"{shape} {SHAPES[int(shape)].label}"
    return f"{name} {op}"


def compare(baseline: dict, counts: dict[str, float], tolerance: float) -> tuple[bool, str]:
    """(passed, Markdown table) of counts against the baseline's."""
    rows, ok = [], True
    for key in sorted(set(baseline["counts"]) | set(counts), key=_order):
        base, now = baseline["counts"].get(key), counts.get(key)
        if base is None or now is None:
            ok = False
            rows.append([_label(key), _n(base), _n(now), "—",
                         "**not in the baseline**" if base is None else "**not measured**"])
            continue
        if now <= 0:
            ok = False
            rows.append([_label(key), _n(base), _n(now), "—", "**not a valid count**"])
            continue
        change = round((now / base - 1) * 100, 6)  # exactly 3% is within 3%
        if change > tolerance:
            status, ok = "**slower**", False
        elif change < -tolerance:
            status = "faster (update the baseline to keep it)"
        else:
            status = "ok"
        rows.append([_label(key), _n(base), _n(now), f"{change:+.1f}%", status])
    return ok, report.table(["Call", "baseline", "now", "change", "status"], rows, "lrrrl")


def _better(a: float, b: float) -> float:
    """The lower of two valid counts (a count at or below zero is a failed run)."""
    valid = [x for x in (a, b) if x > 0]
    return min(valid) if valid else min(a, b)


def _order(key: str):
    shape, op = key.split()
    return (shape == "mix", int(shape) if shape != "mix" else 0, op)


def _n(x: Optional[float]) -> str:
    return "—" if x is None else f"{x:,.0f}"


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m benchmarks.guard", description=__doc__.split("\n\n")[0])
    ap.add_argument("--update", action="store_true", help="measure and rewrite the baseline")
    ap.add_argument("--baseline", default=None,
                    help="baseline file (default benchmarks/baseline/instructions-cpXY.json "
                         "for this interpreter)")
    ap.add_argument("--tolerance", type=float, default=TOLERANCE,
                    help=f"percent above the baseline that fails (default {TOLERANCE:g})")
    args = ap.parse_args(argv)
    path = Path(args.baseline) if args.baseline else baseline_path()
    me = interpreter()
    baseline = None
    if not args.update:
        if not path.exists():
            print(f"no baseline at {path}; create it with --update", file=sys.stderr)
            return 2
        baseline = json.loads(path.read_text(encoding="utf-8"))
        theirs = baseline["interpreter"]
        if (theirs["implementation"], theirs["minor"]) != (me["implementation"], me["minor"]):
            print(f"{path} was measured on {theirs['implementation']} {theirs['version']}, this is "
                  f"{me['implementation']} {me['version']}: counts of different interpreter "
                  "versions are not comparable", file=sys.stderr)
            return 2
    if shutil.which(instructions.VALGRIND) is None:
        print("valgrind is not installed: nothing measured", file=sys.stderr)
        return 2
    if peers.MivexLib().available():
        print(f"Mivex is not importable: {peers.MivexLib().available()}", file=sys.stderr)
        return 2
    start = time.perf_counter()
    counts, loop = measure_counts()
    elapsed = time.perf_counter() - start
    ext = extension()
    if args.update:
        data = {
            "about": "Mivex instructions per call under cachegrind (python -m benchmarks.guard); "
                     "shapes: one call; mix: per value, fresh values. Counts include the "
                     "calling loop (see loop).",
            "measured": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "interpreter": me, "extension": ext, "valgrind": valgrind_version(),
            "machine": report.cpu_model(), "loop": round(loop, 1),
            "counts": {k: round(v, 1) for k, v in sorted(counts.items(), key=lambda kv: _order(kv[0]))},
        }
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(data, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
        print(f"wrote {path} ({elapsed:.0f} s)")
        print(report.table(["Call", "instructions"],
                           [[_label(k), _n(v)] for k, v in data["counts"].items()], "lr"))
        return 0
    ok, table = compare(baseline, counts, args.tolerance)
    if not ok:
        # Confirm before failing: a regression shows in both measurements.
        print("over the baseline: measuring again", file=sys.stderr)
        again, _ = measure_counts()
        counts = {k: _better(v, again.get(k, v)) for k, v in counts.items()}
        elapsed = time.perf_counter() - start
        ok, table = compare(baseline, counts, args.tolerance)
    print(f"Instructions per call against {path.name} (measured {baseline['measured']} on "
          f"{baseline['interpreter']['version']}, extension {baseline['extension']['sha256']}); "
          f"now {me['version']}, extension {ext['sha256']}; tolerance {args.tolerance:g}%; "
          f"{elapsed:.0f} s.\n")
    print(table)
    if baseline.get("valgrind") != valgrind_version():
        print(f"\nnote: the baseline was counted with {baseline.get('valgrind')}, "
              f"this run with {valgrind_version()}")
    if not ok:
        print("\nFAILED: more instructions than the baseline allows. If the cost is meant, "
              "rewrite the baseline with `python -m benchmarks.guard --update` and commit it.")
        return 1
    print("\npassed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
