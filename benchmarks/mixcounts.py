"""Counts on the mix: ``python -m benchmarks.mix --counts``.

* Instructions per value under cachegrind: each (library, variant, op) runs
  in two worker processes (``cgworker.py mix:VARIANT``) that both load the
  mix, make the same fresh value sets and make one warm-up pass; one of them
  then makes two measured passes.  The difference of their totals over
  (2 x values) is the count per value, loop included (the ``loop`` row: the
  same loop calling ``id``).  For the hot variant it is per call.
* Simulated cache misses (``--cache-sim=yes``, per value) for Mivex and
  msgspec, fresh and hot.
* ``perf stat`` hardware counters (cache-misses, cache-references,
  instructions, cycles) for Mivex and msgspec, where the machine exposes
  them; otherwise the report says so and the simulated misses stand in.
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
from typing import Optional

from . import instructions, mixdata, report
from .mix import (COPIES_ENV, COUNT_HOT_REPEATS, HOT, MIX_FILE_ENV, PACK_ONLY, ROOT,
                  VARIANT_TITLES, _has_bytes, prepare)

MEASURED_PASSES = 2
DETAIL_LIBS = ["mivex", "mivex-standard", "msgspec"]   # every variant, cache misses
PERF_EVENTS = ["cache-misses", "cache-references", "instructions", "cycles"]
PERF_PASSES = 10
# This machine's per-core L1 and L2 (the shared L3 is virtualised and large):
# LL misses are then L2 misses, the ones that cost tens of cycles each.
CACHES = ["--I1=32768,8,64", "--D1=49152,12,64", "--LL=1048576,16,64"]


def jobs_for(keys: list[str], variants: list[str]) -> list[tuple[str, str, str]]:
    """(variant, lib, op) triples: every library on the realistic values,
    the detail libraries on every variant asked for."""
    out = []
    for key in keys:
        for variant in variants:
            if variant == "no-bytes" and key not in ("orjson", "mivex", "msgspec"):
                continue
            if key == "orjson" and variant != "no-bytes":
                continue
            if variant not in ("fresh", "no-bytes") and key not in DETAIL_LIBS:
                continue
            for op in ("pack", "unpack"):
                if op == "unpack" and variant in PACK_ONLY:
                    continue
                out.append((variant, key, op))
    return out


def calls_per_pass(mix: mixdata.Mix, variant: str) -> int:
    if variant == "no-bytes":
        return sum(not _has_bytes(v) for v in mix.values())
    n = len(mix.texts)
    return n * COUNT_HOT_REPEATS if variant in HOT else n


def count(pool, tmp: Path, env: dict, jobs, caches: Optional[list[str]] = None):
    """Futures of (base, full) event totals for every job."""
    futures = {}
    for variant, key, op in jobs:
        shape = f"mix:{variant}"
        base = pool.submit(instructions.events, shape, key, op, 0, tmp, caches, env)
        full = pool.submit(instructions.events, shape, key, op, MEASURED_PASSES, tmp, caches, env)
        futures[(variant, key, op)] = (base, full)
    return futures


def per_value(mix: mixdata.Mix, futures) -> dict[tuple[str, str, str], dict[str, float]]:
    out = {}
    for (variant, key, op), (base, full) in futures.items():
        b, f = base.result(), full.result()
        calls = calls_per_pass(mix, variant) * MEASURED_PASSES
        out[(variant, key, op)] = {e: (f[e] - b[e]) / calls for e in f}
    return out


# ---------------------------------------------------------------------------
# perf stat
# ---------------------------------------------------------------------------


def perf_available() -> Optional[str]:
    """None if perf counts instructions here, else why not."""
    if shutil.which("perf") is None:
        return "perf is not installed"
    proc = subprocess.run(["perf", "stat", "-x", ",", "-e", "instructions", "true"],
                          capture_output=True, text=True)
    line = next((ln for ln in proc.stderr.splitlines() if "instructions" in ln), "")
    if proc.returncode != 0 or not line or line.split(",")[0].strip() in ("<not supported>",
                                                                          "<not counted>", ""):
        return ("`perf stat -e instructions true` reports the counter as "
                f"{line.split(',')[0] if line else 'missing'!r} (exit {proc.returncode})")
    return None


def perf_counts(variant: str, key: str, op: str, passes: int, env: dict) -> dict[str, int]:
    cmd = ["perf", "stat", "-x", ",", "-e", ",".join(PERF_EVENTS), sys.executable, "-m",
           "benchmarks.cgworker", f"mix:{variant}", key, op, str(passes)]
    proc = subprocess.run(cmd, cwd=ROOT, env=instructions.worker_env(env),
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed:\n{proc.stderr[-2000:]}")
    out = {}
    for line in proc.stderr.splitlines():
        parts = line.split(",")
        if len(parts) >= 3 and parts[2] in PERF_EVENTS and parts[0].strip().isdigit():
            out[parts[2]] = int(parts[0])
    return out


def perf_per_value(mix: mixdata.Mix, keys: list[str], env: dict, rounds: int = 3):
    """Per-value hardware counts: the median over rounds of (full - base)."""
    env = dict(env, **{COPIES_ENV: str(PERF_PASSES + 1)})
    out = {}
    for key in keys:
        for op in ("pack", "unpack"):
            diffs = []
            for _ in range(rounds):
                base = perf_counts("fresh", key, op, 0, env)
                full = perf_counts("fresh", key, op, PERF_PASSES, env)
                diffs.append({e: full[e] - base[e] for e in full if e in base})
            calls = calls_per_pass(mix, "fresh") * PERF_PASSES
            out[("fresh", key, op)] = {
                e: sorted(d[e] for d in diffs)[len(diffs) // 2] / calls for e in diffs[0]}
    return out


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def _n(x: Optional[float], digits: int = 0) -> str:
    return "—" if x is None else f"{x:,.{digits}f}"


def render(keys, labels, ir, loop, misses, cache_desc, perf, perf_note, elapsed) -> str:
    interp = report.interpreter_build()
    lines = [
        "# Mivex on the mix: counts", "",
        f"{interp['implementation']} (debug build: {interp['debug build']}, PGO: "
        f"{interp['PGO (--enable-optimizations)']}), Mivex extension sha256 "
        f"{report.mivex_build()['extension sha256']}; {elapsed:.0f} s.", "",
        "Per value: (run with a warm-up pass and two measured passes) minus (run with the "
        "warm-up pass only), over the calls of the two passes. Fresh variants make a new set "
        "of values (from JSON) for every pass, untimed in both runs; hot repeats each value "
        f"{COUNT_HOT_REPEATS} times in a row and counts per call. Every count includes the "
        f"pass loop and the call: a loop calling `id(x)` costs {_n(loop)} instructions per "
        "value.", "",
        "## Instructions per value (cachegrind)", "",
    ]
    others = [k for k in keys if k != "mivex"]
    header = ["Values", "op", "Mivex"] + [labels[k] for k in others] + [
        f"{k}/Mivex" for k in others]
    rows = []
    variants = sorted({v for v, _, _ in ir}, key=list(VARIANT_TITLES).index)
    for variant in variants:
        for op in ("pack", "unpack"):
            mv = ir.get((variant, "mivex", op))
            if mv is None:
                continue
            row = [variant, op, _n(mv)]
            row += [_n(ir.get((variant, k, op))) for k in others]
            row += [report.fmt_ratio(ir[(variant, k, op)] / mv) if ir.get((variant, k, op)) else "—"
                    for k in others]
            rows.append(row)
    lines += [report.table(header, rows, "ll" + "r" * (len(header) - 2)), ""]
    lines += ["## Cache misses per value (cachegrind's simulated caches)", ""]
    if cache_desc:
        lines += ["Simulated: " + "; ".join(cache_desc) + ".", ""]
    rows = []
    for (variant, key, op), e in sorted(misses.items(), key=lambda kv: (
            list(VARIANT_TITLES).index(kv[0][0]), kv[0][2], keys.index(kv[0][1]))):
        d1 = e.get("D1mr", 0) + e.get("D1mw", 0)
        ll = e.get("DLmr", 0) + e.get("DLmw", 0) + e.get("ILmr", 0)
        rows.append([variant, op, labels[key], _n(e["Ir"]), _n(e.get("I1mr"), 1), _n(d1, 1),
                     _n(ll, 1), _n(e.get("Dr", 0) + e.get("Dw", 0))])
    lines += [report.table(["Values", "op", "Library", "instructions", "I1 misses", "D1 misses",
                            "LL misses", "data accesses"], rows, "lll" + "r" * 5), ""]
    lines += ["## Hardware counters per value (perf stat)", ""]
    if perf_note:
        lines += [f"Not measured: {perf_note}. The simulated misses above stand in for them.", ""]
    else:
        rows = []
        for (variant, key, op), e in perf.items():
            rows.append([variant, op, labels[key]] + [_n(e.get(ev), 1) for ev in PERF_EVENTS])
        lines += [f"Median of 3 (run with {PERF_PASSES} passes minus run without), per value.", "",
                  report.table(["Values", "op", "Library"] + PERF_EVENTS, rows, "lll" + "r" * 4), ""]
    return "\n".join(lines)


def run(args) -> int:
    if shutil.which(instructions.VALGRIND) is None:
        print("valgrind is not installed", file=sys.stderr)
        return 2
    start = time.perf_counter()
    instructions.precompile()
    mix = mixdata.build()
    codecs, failures, skipped = prepare(args.lib_keys, mix)
    for key, why in failures + skipped:
        print(f"{key}: {why}", file=sys.stderr)
    keys = [c.key for c in codecs]
    labels = {c.key: c.label for c in codecs}
    variants = list(args.variant_list)
    jobs = jobs_for(keys, variants)
    detail = [k for k in keys if k in DETAIL_LIBS]
    miss_jobs = [(v, k, op) for v in ("fresh", "hot") if v in variants
                 for k in detail for op in ("pack", "unpack")]
    workers = max(1, len(os.sched_getaffinity(0)))
    with tempfile.TemporaryDirectory(prefix="mivex-mix-") as tmpdir, \
            concurrent.futures.ThreadPoolExecutor(workers) as pool:
        tmp = Path(tmpdir)
        mix_file = tmp / "mix.json"
        mix.to_file(mix_file)
        env = {MIX_FILE_ENV: str(mix_file)}
        print(f"{len(jobs)} instruction counts, {len(miss_jobs)} cache simulations, "
              f"two runs each", file=sys.stderr)
        ir_f = count(pool, tmp, env, jobs + [("fresh", "loop", "pack")])
        miss_f = count(pool, tmp, env, miss_jobs, caches=CACHES)
        ir = {k: v["Ir"] for k, v in per_value(mix, ir_f).items()}
        misses = per_value(mix, miss_f)
        cache_desc = instructions.cache_description(tmp)
        perf_note = perf_available()
        perf = {} if perf_note else perf_per_value(
            mix, [k for k in ("mivex", "msgspec") if k in keys], env)
    loop = ir.pop(("fresh", "loop", "pack"))
    text = render(keys, labels, ir, loop, misses, cache_desc, perf, perf_note,
                  time.perf_counter() - start)
    print(text)
    if args.out:
        out = Path(args.out)
        out.mkdir(parents=True, exist_ok=True)
        (out / "mix-counts.md").write_text(text + "\n", encoding="utf-8")
        print(f"wrote {out / 'mix-counts.md'}", file=sys.stderr)
    return 1 if failures else 0

