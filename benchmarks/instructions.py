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
import functools
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

from . import report
from .shapes import SHAPES

VALGRIND = "valgrind"
WARMUP = 2
DEFAULT_ITERATIONS = {1: 20_000, 2: 10_000, 3: 20_000, 4: 10_000, 5: 20, 6: 10, 7: 200}
LOOP_ITERATIONS = 20_000
ROOT = Path(__file__).resolve().parent.parent


def worker_env(extra: Optional[dict] = None) -> dict[str, str]:
    """A small fixed environment: the interpreter's start-up allocations,
    and so the heap layout that per-call counts are slightly sensitive to,
    do not follow whatever the calling shell has set."""
    env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "PYTHONHASHSEED": "0",
           # Both runs of a pair read the same .pyc files (see precompile),
           # neither compiles and writes one the other then reads.
           "PYTHONDONTWRITEBYTECODE": "1"}
    return dict(env, **(extra or {}))


def precompile() -> None:
    """Byte-compiles the code the workers import, once, before they start."""
    import compileall
    import importlib.util
    dirs = [Path(__file__).resolve().parent]
    spec = importlib.util.find_spec("Mivex")
    if spec and spec.submodule_search_locations:
        dirs += [Path(p) for p in spec.submodule_search_locations]
    for d in dirs:
        compileall.compile_dir(str(d), quiet=2, maxlevels=0)


@functools.lru_cache(maxsize=None)
def fixed_addresses() -> list[str]:
    """A prefix that runs a command with address-space randomisation off,
    where the system allows it (``setarch -R``), else nothing. Addresses
    decide dict and cache slots keyed by pointers, and so the path some
    calls take: with them random, one count moves by several percent
    between two runs of the same build."""
    setarch = shutil.which("setarch")
    if setarch is None:
        return []
    prefix = [setarch, os.uname().machine, "-R"]
    try:
        ok = subprocess.run(prefix + ["true"], capture_output=True).returncode == 0
    except OSError:
        ok = False
    return prefix if ok else []


def events(shape, lib: str, op: str, calls: int, tmp: Path,
           caches: Optional[list[str]] = None, env: Optional[dict] = None) -> dict[str, int]:
    """Event totals of one worker run under cachegrind: Ir, and the I1/D1/LL
    misses when ``caches`` (cachegrind's --I1/--D1/--LL options) is given."""
    sim = ["--cache-sim=yes"] + caches if caches is not None else ["--cache-sim=no"]
    out = tmp / f"cg.{shape}.{lib}.{op}.{calls}.{int(caches is not None)}".replace(":", "-")
    cmd = [*fixed_addresses(), shutil.which(VALGRIND) or VALGRIND, "--tool=cachegrind", *sim,
           "--branch-sim=no", "-q",
           f"--cachegrind-out-file={out}", sys.executable, "-m",
           "benchmarks.cgworker", str(shape), lib, op, str(calls)]
    proc = subprocess.run(cmd, cwd=ROOT, env=worker_env(env), capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd[-4:])} failed:\n{proc.stderr[-2000:]}")
    names: list[str] = []
    for line in out.read_text().splitlines():
        if line.startswith("events:"):
            names = line.split()[1:]
        elif line.startswith("summary:"):
            return dict(zip(names, map(int, line.split()[1:])))
    raise RuntimeError(f"no summary line in {out}")


def cache_description(tmp: Path) -> list[str]:
    """The simulated caches, as cachegrind describes them in its output."""
    for f in sorted(tmp.glob("cg.*.1")):
        return [line[len("desc: "):] for line in f.read_text().splitlines()
                if line.startswith("desc:")]
    return []


def _count(shape, lib: str, op: str, calls: int, tmp: Path, env: Optional[dict] = None) -> int:
    return events(shape, lib, op, calls, tmp, env=env)["Ir"]


def count_shapes(pool, tmp: Path, cases, iterations: Optional[int], quick: bool):
    """Futures of the (base, full, calls) counts of every case's calls."""
    futures = {}
    for case in cases:
        n = case.shape.number
        calls = iterations or DEFAULT_ITERATIONS[n]
        if quick:
            calls = max(1, calls // 100)
        for op in ("pack", "unpack"):
            if getattr(case, op) is None:
                continue
            base = pool.submit(_count, n, case.lib.key, op, WARMUP, tmp)
            full = pool.submit(_count, n, case.lib.key, op, WARMUP + calls, tmp)
            futures[(n, case.lib.key, op)] = (base, full, calls)
            print(f"queued shape {n} {case.lib.key} {op} ({calls} calls)", file=sys.stderr)
    return futures


def count_mix(pool, tmp: Path, keys: list[str]):
    """Futures of the mix's counts (fresh values, per value) for the libraries
    among keys that encode the mix's dicts, and the failed checks."""
    from . import mix as mixbench, mixcounts, mixdata
    mix = mixdata.build()
    keys = [mixbench.mix_key(k) for k in keys]
    codecs, failures, _ = mixbench.prepare([k for k in keys if k in mixbench.LIB_KEYS
                                            and k != "orjson"], mix)
    path = tmp / "mix.json"
    mix.to_file(path)
    env = {mixbench.MIX_FILE_ENV: str(path)}
    jobs = [("fresh", c.key, op) for c in codecs for op in ("pack", "unpack")]
    print(f"queued the mix for {', '.join(c.key for c in codecs)}", file=sys.stderr)
    return mix, mixcounts.count(pool, tmp, env, jobs), failures


def run(args) -> int:
    if shutil.which(VALGRIND) is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
    start = time.perf_counter()
    precompile()
    res = report.Results(shapes=args.shape_numbers, libs=[], timings={}, sizes={})
    from .cli import available_libs, prepare
    keys = args.lib_keys or ["mivex", "floor"]
    libs = available_libs(keys, res)
    res.libs = libs
    cases = prepare(args.shape_numbers, libs, res)  # checks round trips natively first
    for n, key, err in res.failures:
        print(f"CHECK FAILED: shape {n}, {key}: {err}", file=sys.stderr)
    workers = max(1, len(os.sched_getaffinity(0)))
    counts: dict[tuple, float] = {}
    with tempfile.TemporaryDirectory(prefix="mivex-cg-") as tmpdir, \
            concurrent.futures.ThreadPoolExecutor(workers) as pool:
        tmp = Path(tmpdir)
        futures = count_shapes(pool, tmp, cases, args.iterations, args.quick)
        if args.mix:
            from .mixcounts import per_value
            mix, mix_futures, failures = count_mix(pool, tmp, [lib.key for lib in libs])
            for key, why in failures:
                res.failures.append(("mix", key, why))
                print(f"CHECK FAILED: mix, {key}: {why}", file=sys.stderr)
        loop_iters = LOOP_ITERATIONS // (100 if args.quick else 1)
        loop_base = pool.submit(_count, 1, "loop", "pack", WARMUP, tmp)
        loop_full = pool.submit(_count, 1, "loop", "pack", WARMUP + loop_iters, tmp)
        for key, (base, full, calls) in futures.items():
            counts[key] = (full.result() - base.result()) / calls
        if args.mix:
            for (_, key, op), e in per_value(mix, mix_futures).items():
                shape_key = key.replace("-", "_") if key.startswith("mivex-") else key
                counts[("mix", shape_key, op)] = e["Ir"]
        loop_cost = (loop_full.result() - loop_base.result()) / loop_iters

    shapes = args.shape_numbers + (["mix"] if args.mix else [])
    text = render(shapes, libs, counts, loop_cost, time.perf_counter() - start)
    print(text)
    if getattr(args, "json", None):
        from .cli import environment, write_json
        write_json(args.json, "counts", environment(libs), {lib.key: lib.label for lib in libs},
                   [{"shape": n, "lib": key, "op": op, "ir": v}
                    for (n, key, op), v in sorted(counts.items(), key=lambda kv: str(kv[0]))],
                   loop_cost, " ".join(["python -m benchmarks"] + sys.argv[1:]), res.failures)
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
            row = [f"{n} {SHAPES[n].label}" if n != "mix" else "mix (per value)", op, f"{mv:,.0f}"]
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
    ]
    if "mix" in shapes:
        lines += ["The mix row is per value: two passes over fresh values (new objects from "
                  "JSON for every pass, made untimed in both runs), one call per value; "
                  "`python -m benchmarks.mix --counts` has the other variants and cache misses.",
                  ""]
    lines.append(report.table(header, rows, "ll" + "r" * (len(header) - 2)))
    variants = report.variant_tables([n for n in shapes if n != "mix"],
                                     lambda n, k, op: counts.get((n, k, op)),
                                     lambda v: "—" if v is None else f"{v:,.0f}", "instructions")
    if variants:
        lines += ["", "## Mivex's variants and stream methods", ""] + variants
    return "\n".join(lines)
