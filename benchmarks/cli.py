"""Command line: ``python -m benchmarks [options]``."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Optional

from . import measure, peers, report
from .shapes import SHAPES

RESULTS = Path(__file__).resolve().parent / "results"


def parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(
        prog="python -m benchmarks",
        description="Mivex against its peers, a pure-Python codec and a hand-written C "
                    "reference codec.")
    ap.add_argument("--quick", action="store_true",
                    help="tiny loop counts and one round: a smoke run, timings mean nothing")
    ap.add_argument("--shapes", default="",
                    help="comma-separated shape numbers and \"mix\", e.g. 1,5,mix "
                         "(default: shapes 1 to 7; the mix runs only when named)")
    ap.add_argument("--libs", default="",
                    help="comma-separated library keys (Mivex is always included); "
                         "known: " + ", ".join(lib.key for lib in peers.ALL_LIBS))
    ap.add_argument("--repeats", type=int, default=None, help="timing rounds (default 10)")
    ap.add_argument("--sample-ms", type=float, default=None,
                    help="target duration of one sample in ms (default 30)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the shuffled order")
    ap.add_argument("--out", default=None,
                    help="directory for latest.md and ratios.png (instructions.md with "
                         "--cachegrind); default benchmarks/results for a full run, while a "
                         "--quick run or one narrowed by --shapes or --libs only prints, "
                         "unless --out is given")
    ap.add_argument("--no-chart", action="store_true", help="do not draw ratios.png")
    ap.add_argument("--no-memory", action="store_true", help="skip the tracemalloc section")
    ap.add_argument("--cachegrind", action="store_true",
                    help="count instructions per call under valgrind instead of timing")
    ap.add_argument("--iterations", type=int, default=None,
                    help="with --cachegrind: calls per measured run (default per shape)")
    ap.add_argument("--json", default=None, metavar="PATH",
                    help="also write the raw figures (times or counts) as JSON, "
                         "for python -m benchmarks.versions")
    args = ap.parse_args(argv)
    tokens = [x.strip() for x in args.shapes.split(",") if x.strip()]
    args.mix = "mix" in tokens
    args.passes = args.repeats  # the mix's passes, when given
    try:
        args.shape_numbers = [int(x) for x in tokens if x != "mix"]
    except ValueError:
        ap.error("--shapes takes numbers such as 1,5 and the word mix")
    if not tokens:
        args.shape_numbers = sorted(SHAPES)
    bad = [n for n in args.shape_numbers if n not in SHAPES]
    if bad:
        ap.error(f"unknown shape(s) {bad}; shapes are 1 to {max(SHAPES)}")
    args.lib_keys = [x.strip() for x in args.libs.split(",") if x.strip()]
    if args.out is None and not (args.quick or args.shapes or args.libs):
        args.out = str(RESULTS)  # only a full run replaces the committed results
    if args.repeats is None:
        args.repeats = 1 if args.quick else 10
    if args.sample_ms is None:
        args.sample_ms = 0.2 if args.quick else 30.0
    return args


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def prepare(shape_numbers, libs, results: report.Results):
    """Builds and checks a case for every shape and library; a failed check
    is recorded and its case left out of the timing."""
    cases = []
    for n in shape_numbers:
        shape = SHAPES[n]
        reference = None
        for lib in libs:
            if not lib.supports(shape):
                continue
            try:
                case = lib.prepare(shape)
                if lib.key == "mivex":
                    reference = case.encoded
                measure.check(case, reference)
            except Exception as e:  # any failure of a library is reported, not fatal
                results.failures.append((n, lib.key, f"{type(e).__name__}: {e}"))
                continue
            results.sizes[(n, lib.key)] = len(case.encoded)
            cases.append(case)
    return cases


def available_libs(keys, results: report.Results):
    libs = []
    for lib in peers.select(keys):
        reason = lib.available()
        if reason:
            if lib.key == "mivex":
                raise SystemExit(f"Mivex is not importable: {reason}")
            results.skipped.append((lib.label, reason))
        else:
            libs.append(lib)
    for lib in libs:
        unsupported = [n for n in results.shapes if not lib.supports(SHAPES[n])]
        if unsupported:
            results.skipped.append((f"{lib.label}, shape(s) {', '.join(map(str, unsupported))}",
                                    "the data holds bytes, which JSON cannot carry"))
    return libs


def environment(libs) -> dict[str, dict[str, str]]:
    env = {"Interpreter": report.interpreter_build(), "Machine": report.machine(),
           "Mivex": report.mivex_build()}
    versions = {}
    for lib in libs:
        if lib.key in ("mivex", "floor", "purepy"):
            continue
        v = lib.version()
        name = lib.module or lib.key
        versions[name.replace("google.", "")] = v or "standard library"
    backend = report.protobuf_backend()
    if backend and any(lib.key.startswith("protobuf") for lib in libs):
        versions["protobuf backend (api_implementation.Type())"] = backend
    env["Libraries"] = versions
    return env


def run_mix(args) -> int:
    """The mix benchmark with this command line's settings."""
    from . import mix
    forward = ["--seed", str(args.seed)]
    if args.quick:
        forward.append("--quick")
    if args.out:
        forward += ["--out", args.out]
    if args.passes is not None:
        forward += ["--passes", str(args.passes)]
    if args.lib_keys:
        keys = [mix.mix_key(k) for k in args.lib_keys]
        forward += ["--libs", ",".join(k for k in keys if k in mix.LIB_KEYS) or "mivex"]
    return mix.main(forward)


def write_json(path, mode: str, env: dict, labels: dict[str, str], figures: list[dict],
               loop: Optional[float], command: str, failures) -> None:
    """The raw figures of a run, for combining runs of several interpreters."""
    import json
    data = {"mode": mode, "command": command,
            "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            "environment": env, "labels": labels, "loop": loop, "figures": figures,
            "failures": [list(map(str, f)) for f in failures]}
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    log(f"wrote {path}")


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    if args.cachegrind:
        from .instructions import run as run_instructions
        return run_instructions(args)
    if not args.shape_numbers:
        return run_mix(args)

    start = time.perf_counter()
    res = report.Results(shapes=args.shape_numbers, libs=[], timings={}, sizes={}, quick=args.quick)
    res.settings = {"repeats": str(args.repeats), "sample": f"{args.sample_ms:g} ms",
                    "command": " ".join(["python -m benchmarks"] + list(sys.argv[1:] if argv is None else argv))}
    libs = available_libs(args.lib_keys, res)
    res.libs = libs
    log(f"preparing and checking {len(libs)} libraries on shapes {args.shape_numbers}")
    cases = prepare(args.shape_numbers, libs, res)
    for n, key, err in res.failures:
        log(f"CHECK FAILED: shape {n}, {key}: {err}")

    target = args.sample_ms / 1000
    res.loop_overhead = measure.loop_overhead(target, args.repeats)
    log(f"calibrating {sum((c.pack is not None) + (c.unpack is not None) for c in cases)} calls")
    res.timings = measure.time_cases(cases, args.repeats, target, args.seed, progress=log)

    if not args.no_memory:
        for case in cases:
            if case.shape.number in (5, 7):
                for op in ("pack", "unpack"):
                    if getattr(case, op) is not None:
                        res.memory[(case.shape.number, case.lib.key, op)] = measure.traced(getattr(case, op))

    res.elapsed = time.perf_counter() - start
    env = environment(libs)
    text = report.render(res, env)
    print(text)
    if args.json:
        write_json(args.json, "time", env, {key: lib.label for key, lib in
                                            ((lib.key, lib) for lib in libs)},
                   [{"shape": n, "lib": key, "op": op, "min": t.min, "median": t.median}
                    for (n, key, op), t in sorted(res.timings.items())],
                   res.loop_overhead, res.settings["command"], res.failures)
    if args.out:
        out = Path(args.out)
        out.mkdir(parents=True, exist_ok=True)
        (out / "latest.md").write_text(text + "\n", encoding="utf-8")
        log(f"wrote {out / 'latest.md'}")
        if not args.no_chart:
            why = report.chart(res, out / "ratios.png")
            log(f"no chart: {why}" if why else f"wrote {out / 'ratios.png'}")
    mix_rc = run_mix(args) if args.mix else 0
    return 1 if res.failures else mix_rc
