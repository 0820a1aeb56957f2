"""Mivex against its fastest peer on several interpreters:
``python -m benchmarks.versions [--python PATH[=LABEL] ...] [--cachegrind]``.

Each ``--python`` is an interpreter (a venv's ``bin/python``) that has Mivex
and the peers installed.  For each, one timing run (``python -m benchmarks
--json``) and, with ``--cachegrind``, one instruction-count run are made in
a subprocess, from this checkout's ``benchmarks/``; their raw figures are kept
as JSON in ``results/versions/`` under the label (default: the interpreter's
``X.Y``).  The report (``results/versions.md``) is then rendered from every
JSON file there, so runs made at different times (or with ``--render-only``)
combine.  Every ratio is taken within one run of one interpreter: wall-clock
times of different runs on a shared machine are not comparable, their ratios
are.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Optional

from . import report
from .peers import ALL_PEERS, SAME_VALUE_PEERS
from .shapes import SHAPES

RESULTS = Path(__file__).resolve().parent / "results"
ROOT = Path(__file__).resolve().parent.parent
# Peers counted under cachegrind by default: every peer that came near
# Mivex in time on some shape (protobuf and fastavro are timed only).
COUNT_PEERS = ["msgspec", "msgpack", "cbor2", "pickle", "marshal", "orjson"]


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def _interpreter_minor(python: str) -> str:
    out = subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                         capture_output=True, text=True, check=True)
    return out.stdout.strip()


def run_one(python: str, label: str, out: Path, shapes: str, libs: str, count_libs: str,
            cachegrind: bool, quick: bool, skip_time: bool) -> int:
    rc = 0
    base = [python, "-m", "benchmarks"]
    common = (["--shapes", shapes] if shapes else []) + (["--quick"] if quick else [])
    if not skip_time:
        cmd = base + common + (["--libs", libs] if libs else []) + [
            "--no-chart", "--no-memory", "--out", str(out / f"{label}-time"),
            "--json", str(out / f"{label}.time.json")]
        log(f"[{label}] {' '.join(cmd)}")
        rc |= subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL).returncode
    if cachegrind:
        cmd = base + common + ["--cachegrind", "--libs", count_libs,
                               "--out", str(out / f"{label}-counts"),
                               "--json", str(out / f"{label}.counts.json")]
        log(f"[{label}] {' '.join(cmd)}")
        rc |= subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL).returncode
    return rc


# ---------------------------------------------------------------------------
# Rendering
# ---------------------------------------------------------------------------


class Run:
    """The figures of one JSON file: {(shape, lib, op): value}."""

    def __init__(self, path: Path):
        d = json.loads(path.read_text(encoding="utf-8"))
        self.path, self.mode, self.labels = path, d["mode"], d["labels"]
        self.env, self.command, self.when = d["environment"], d["command"], d["when"]
        key = "min" if self.mode == "time" else "ir"
        self.values = {(f["shape"], f["lib"], f["op"]): f[key] for f in d["figures"]}

    def get(self, shape, lib, op) -> Optional[float]:
        return self.values.get((shape, lib, op))

    def fastest(self, shape, op, keys) -> tuple[Optional[str], Optional[float]]:
        found = [(v, k) for k in keys if (v := self.get(shape, k, op))]
        if not found:
            return None, None
        v, k = min(found)
        return k, v


def load(directory: Path) -> dict[str, dict[str, Run]]:
    """{label: {"time": Run, "counts": Run}} from the JSON files."""
    runs: dict[str, dict[str, Run]] = {}
    for path in sorted(directory.glob("*.json")):
        label, mode = path.name[:-len(".json")].rsplit(".", 1)
        runs.setdefault(label, {})[mode] = Run(path)
    return runs


def _order(label: str):
    digits = label.split("-")[0].split(".")
    try:
        return tuple(int(x) for x in digits), label
    except ValueError:
        return (99,), label


def _peer(run: Optional[Run], shape, op, keys) -> tuple[Optional[float], str]:
    """(fastest peer / Mivex, peer key) of one run."""
    if run is None:
        return None, ""
    key, best = run.fastest(shape, op, keys)
    mv = run.get(shape, "mivex", op)
    return (best / mv if best and mv else None), key or ""


def _short(key: str) -> str:
    return {"msgpack-packer": "msgpack Packer", "protobuf-dict": "protobuf dicts",
            "msgspec-struct": "msgspec Struct", "protobuf": "protobuf msgs"}.get(key, key)


def _cell(ratio: Optional[float], key: str, same_as: str = "") -> str:
    if ratio is None:
        return "—"
    r = report.fmt_ratio(ratio)
    return r if key == same_as else f"{r} ({_short(key)})"


def render(runs: dict[str, dict[str, Run]], peers: list[str]) -> str:
    labels = sorted(runs, key=_order)
    lines = ["# Mivex against the fastest peer, by interpreter", ""]
    lines += [
        "One timing run and one instruction-count run per interpreter (or build); every "
        "ratio is within one run. *peer/Mivex* is the fastest peer's time (or instruction "
        "count) over Mivex's: above 1, Mivex is faster. Wall-clock ratios come from minima "
        "on a shared two-core machine with another job running: they move by several percent "
        "between runs; the instruction counts (cachegrind) barely move. The fastest peer is "
        "taken among: " + ", ".join(_short(k) for k in peers) + ".", ""]
    for label in labels:
        r = runs[label]
        any_run = r.get("time") or r.get("counts")
        interp = any_run.env["Interpreter"]
        mv = any_run.env["Mivex"]
        lines.append(f"- **{label}**: {interp['implementation']} ({interp['executable']}), "
                     f"Mivex extension sha256 {mv['extension sha256']}; "
                     + "; ".join(f"{m} run {x.when}: `{x.command}`" for m, x in sorted(r.items())))
    lines.append("")
    shapes = sorted({s for r in runs.values() for x in r.values() for (s, _, _) in x.values
                     if s != "mix"}, key=int)
    header = ["Interpreter", "Shape"]
    for op in ("pack", "unpack"):
        header += [f"{op}: Mivex", "peer/Mivex (time)", "peer/Mivex (instr.)"]
    rows = []
    for label in labels:
        t, c = runs[label].get("time"), runs[label].get("counts")
        for n in shapes:
            row = [label, f"{n} {SHAPES[int(n)].label}"]
            for op in ("pack", "unpack"):
                mv = t.get(n, "mivex", op) if t else None
                rt, kt = _peer(t, n, op, peers)
                rc, kc = _peer(c, n, op, peers)
                row += [report.fmt_time(mv), _cell(rt, kt), _cell(rc, kc)]
            rows.append(row)
    lines += [report.table(header, rows, "ll" + "r" * (len(header) - 2)), ""]

    # The margins against the first label (the reference interpreter).
    if len(labels) > 1:
        ref = labels[0]
        lines += [f"## Margins against {ref}", "",
                  f"Each interpreter's margin (fastest peer / Mivex) minus {ref}'s, by "
                  "instruction counts and by time. A negative count margin means Mivex's lead "
                  f"is smaller there than on {ref}.", ""]
        header = ["Shape", "op"] + [f"{lab} instr." for lab in labels] + \
                 [f"{lab} time" for lab in labels]
        rows = []
        for n in shapes:
            for op in ("pack", "unpack"):
                row = [f"{n} {SHAPES[int(n)].label}", op]
                for mode in ("counts", "time"):
                    base, _ = _peer(runs[ref].get(mode), n, op, peers)
                    for lab in labels:
                        v, _ = _peer(runs[lab].get(mode), n, op, peers)
                        if v is None:
                            row.append("—")
                        elif lab == ref:
                            row.append(report.fmt_ratio(v))
                        else:
                            row.append(f"{v:.2f} ({v - base:+.2f})" if base else f"{v:.2f}")
                rows.append(row)
        lines += [report.table(header, rows, "ll" + "r" * (len(header) - 2)), ""]

    behind = []
    for label in labels:
        for mode, run in sorted(runs[label].items()):
            for n in shapes:
                for op in ("pack", "unpack"):
                    mv = run.get(n, "mivex", op)
                    for k in ALL_PEERS:
                        v = run.get(n, k, op)
                        if mv and v and v < mv:
                            behind.append(f"- {label}, {mode}: shape {n} {op}: {_short(k)} "
                                          f"{v / mv:.3f} of Mivex's")
    lines += ["## Peers ahead of Mivex", "",
              "Every peer, typed ones included, whose time or count was below Mivex's in a run "
              "(protobuf message objects leave the fields in C until they are read).", ""]
    lines += behind or ["None: on every shape measured, every peer took more time and more "
                        "instructions than Mivex."]
    lines.append("")
    for label in labels:
        lines += variants_section(label, runs[label], shapes)
    return "\n".join(lines)


VARIANTS = [("mivex_standard", "standard/default"), ("mivex_strict", "strict/default"),
            ("mivex_buffers", "{into}/{op}")]


def variants_section(label: str, r: dict[str, Run], shapes) -> list[str]:
    """Mivex's profile, strict packing and buffer methods against its default
    calls, instruction counts and times side by side, for one run."""
    t, c = r.get("time"), r.get("counts")

    def ratio(run, n, key, op):
        if run is None:
            return None
        v, mv = run.get(n, key, op), run.get(n, "mivex", op)
        return v / mv if v and mv else None

    keys = [k for k, _ in VARIANTS if any(ratio(x, n, k, op) for x in (t, c) for n in shapes
                                          for op in ("pack", "unpack"))]
    if not keys:
        return []
    header, rows = ["Shape"], []
    for op in ("pack", "unpack"):
        header += [dict(VARIANTS)[k].format(op=op, into="pack_into" if op == "pack"
                                            else "unpack_from") for k in keys]
    for n in shapes:
        row = [f"{n} {SHAPES[int(n)].label}"]
        for op in ("pack", "unpack"):
            for k in keys:
                a, b = ratio(c, n, k, op), ratio(t, n, k, op)
                row.append(" / ".join("—" if x is None else f"{x:.3f}" for x in (a, b)))
        rows.append(row)
    out = [f"## {label}: Mivex's options and buffer methods", "",
           "Each cell is instructions ratio / time ratio against the default profile's "
           "`pack` or `unpack` on the same shape, from the runs above: standard/default the "
           "standard wire profile, strict/default strict packing (its unpack is the default "
           "code, so that column shows the noise), pack_into/pack packing into a reused "
           "bytearray, unpack_from/unpack decoding the same bytes with `unpack_from`. Below 1 "
           "costs less.", "", report.table(header, rows), ""]
    each = [x.get(5, "mivex_each", "unpack") if x else None for x in (c, t)]
    it = [x.get(5, "mivex_iter", "unpack") if x else None for x in (c, t)]
    if any(each) or any(it):
        def per(v, fmt):
            return "—" if v is None else fmt(v / 1000)
        rows = [["`iter_unpack` over 1,000 objects back to back",
                 per(it[0], lambda v: f"{v:,.0f}"), per(it[1], report.fmt_time),
                 " / ".join("—" if not (a and b) else f"{a / b:.3f}" for a, b in zip(it, each))],
                ["`unpack` of each of the 1,000 objects",
                 per(each[0], lambda v: f"{v:,.0f}"), per(each[1], report.fmt_time), "1"]]
        out += [f"Shape 5's 1,000 users decoded one by one, per object:", "",
                report.table(["Call", "instructions", "time (min)", "×unpack each (instr. / time)"],
                             rows, "lrrr"), ""]
    return out


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m benchmarks.versions",
                                 description=__doc__.split("\n\n")[0])
    ap.add_argument("--python", action="append", default=[], metavar="PATH[=LABEL]",
                    help="an interpreter to run (repeatable); LABEL defaults to its X.Y")
    ap.add_argument("--cachegrind", action="store_true", help="also count instructions")
    ap.add_argument("--skip-time", action="store_true", help="count only, no timing run")
    ap.add_argument("--shapes", default="", help="shapes, as for python -m benchmarks")
    ap.add_argument("--libs", default="", help="libraries timed (default: all)")
    ap.add_argument("--count-libs", default=",".join(["floor"] + COUNT_PEERS),
                    help="libraries counted under cachegrind")
    ap.add_argument("--peers", choices=["same-value", "all"], default="same-value",
                    help="which peers the fastest is taken from: those returning the same "
                         "dicts (default), or also the typed ones (protobuf messages, "
                         "msgspec Structs)")
    ap.add_argument("--quick", action="store_true", help="smoke run: the figures mean nothing")
    ap.add_argument("--out", default=None,
                    help="directory of versions.md and versions/ (default benchmarks/results)")
    ap.add_argument("--render-only", action="store_true", help="render from the JSON files only")
    args = ap.parse_args(argv)
    out = Path(args.out) if args.out else RESULTS
    data = out / "versions"
    data.mkdir(parents=True, exist_ok=True)
    rc = 0
    start = time.perf_counter()
    if not args.render_only:
        for spec in args.python:
            python, _, label = spec.partition("=")
            label = label or _interpreter_minor(python)
            rc |= run_one(python, label, data, args.shapes, args.libs, args.count_libs,
                          args.cachegrind, args.quick, args.skip_time)
    runs = load(data)
    if not runs:
        log(f"no runs in {data}: give --python")
        return 2
    peers = SAME_VALUE_PEERS if args.peers == "same-value" else ALL_PEERS
    text = render(runs, peers)
    print(text)
    (out / "versions.md").write_text(text + "\n", encoding="utf-8")
    log(f"wrote {out / 'versions.md'} ({time.perf_counter() - start:.0f} s)")
    return 1 if rc else 0


if __name__ == "__main__":
    sys.exit(main())
