"""Interpreter and machine description, the Markdown report and the chart."""

from __future__ import annotations

import datetime
import hashlib
import math
import os
import platform
import shlex
import sys
import sysconfig
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

from .measure import Memory, Timing
from .peers import CORE_PEERS, SAME_VALUE_PEERS, STREAM_SHAPE, Lib
from .shapes import SHAPES

# ---------------------------------------------------------------------------
# Environment
# ---------------------------------------------------------------------------


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def interpreter_build() -> dict[str, str]:
    args = shlex.split(sysconfig.get_config_var("CONFIG_ARGS") or "")
    flags = [a for a in args if a.startswith("--") and not a.startswith(("--prefix", "--libdir"))]
    debug = bool(sysconfig.get_config_var("Py_DEBUG")) or hasattr(sys, "gettotalrefcount")
    opt = [f for f in (sysconfig.get_config_var("OPT") or "").split() if f.startswith("-O")]
    return {
        "version": sys.version.replace("\n", " "),
        "implementation": f"{platform.python_implementation()} {platform.python_version()}",
        "executable": sys.executable,
        "debug build": "yes" if debug else "no",
        "PGO (--enable-optimizations)": "yes" if "--enable-optimizations" in args else "no",
        "LTO (--with-lto)": "yes" if any(a.startswith("--with-lto") for a in args) else "no",
        "shared libpython (--enable-shared)": "yes" if "--enable-shared" in args else "no",
        "configure flags": " ".join(flags) or "(none)",
        "optimisation": " ".join(opt) or "?",
        "compiler": platform.python_compiler(),
    }


def machine() -> dict[str, str]:
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count() or 0
    return {
        "CPU": cpu_model(),
        "cores": f"{os.cpu_count()} logical, {usable} usable by this process",
        "system": platform.platform(),
    }


def mivex_build() -> dict[str, str]:
    import Mivex.tl
    path = Path(Mivex.tl.__file__)
    digest = hashlib.sha256(path.read_bytes()).hexdigest()[:12]
    mtime = datetime.datetime.fromtimestamp(path.stat().st_mtime, datetime.timezone.utc)
    from .peers import MivexLib
    return {"version": MivexLib().version(), "extension": str(path),
            "extension sha256": digest, "built": mtime.strftime("%Y-%m-%d %H:%M UTC")}


def protobuf_backend() -> Optional[str]:
    try:
        from google.protobuf.internal import api_implementation
    except ImportError:
        return None
    return api_implementation.Type()


# ---------------------------------------------------------------------------
# Formatting
# ---------------------------------------------------------------------------


def fmt_time(s: Optional[float]) -> str:
    if s is None:
        return "—"
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        v = s * 1e6
        return f"{v:.3g} µs" if v < 100 else f"{v:.0f} µs"
    v = s * 1e3
    return f"{v:.3g} ms" if v < 100 else f"{v:.0f} ms"


def fmt_ratio(r: Optional[float]) -> str:
    if r is None or math.isnan(r):
        return "—"
    return f"{r:.2f}" if r < 10 else f"{r:.1f}" if r < 100 else f"{r:.0f}"


def fmt_bytes(n: Optional[int]) -> str:
    if n is None:
        return "—"
    if abs(n) < 10_000:
        return f"{n:,} B"
    if abs(n) < 10_000_000:
        return f"{n / 1024:,.0f} KiB"
    return f"{n / 1048576:,.1f} MiB"


def table(header: list[str], rows: list[list[str]], align: str = "") -> str:
    align = align or "l" + "r" * (len(header) - 1)
    sep = ["---:" if a == "r" else ":---" for a in align]
    lines = ["| " + " | ".join(header) + " |", "| " + " | ".join(sep) + " |"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------


@dataclass
class Results:
    shapes: list[int]
    libs: list[Lib]
    timings: dict[tuple[int, str, str], Timing]
    sizes: dict[tuple[int, str], int]
    memory: dict[tuple[int, str, str], Memory] = field(default_factory=dict)
    failures: list[tuple[int, str, str]] = field(default_factory=list)
    skipped: list[tuple[str, str]] = field(default_factory=list)  # (lib label, reason)
    settings: dict[str, str] = field(default_factory=dict)
    loop_overhead: Optional[float] = None
    elapsed: Optional[float] = None
    quick: bool = False

    def t(self, shape: int, lib: str, op: str, stat: str = "min") -> Optional[float]:
        timing = self.timings.get((shape, lib, op))
        return getattr(timing, stat) if timing else None

    def ratio(self, shape: int, lib: str, op: str, stat: str = "min") -> Optional[float]:
        """Time of `lib` over Mivex's time: 2.0 means twice as long."""
        a, b = self.t(shape, lib, op, stat), self.t(shape, "mivex", op, stat)
        return a / b if a is not None and b else None

    def fastest(self, shape: int, op: str, keys: list[str]) -> tuple[Optional[str], Optional[float]]:
        best = [(self.t(shape, k, op), k) for k in keys if self.t(shape, k, op) is not None]
        if not best:
            return None, None
        t, k = min(best)
        return k, t

    def label(self, key: str) -> str:
        return next((lib.label for lib in self.libs if lib.key == key), key)


def _summary(res: Results) -> str:
    rows = []
    for n in res.shapes:
        row = [f"{n} {SHAPES[n].label}"]
        for op in ("pack", "unpack"):
            mv = res.t(n, "mivex", op)
            floor = res.t(n, "floor", op)
            pure = res.t(n, "purepy", op)
            key, best = res.fastest(n, op, CORE_PEERS)
            row += [
                fmt_time(mv),
                fmt_ratio(mv / floor) if mv and floor else "—",
                fmt_ratio(pure / mv) if mv and pure else "—",
                f"{fmt_ratio(best / mv)} ({res.label(key).split(' ')[0]})" if mv and best else "—",
            ]
        rows.append(row)
    header = ["Shape", "pack", "Mivex/C ref", "pure Py/Mivex", "fastest peer/Mivex",
              "unpack", "Mivex/C ref", "pure Py/Mivex", "fastest peer/Mivex"]
    return table(header, rows)


VARIANT_COLUMNS = [("mivex_standard", "standard/default"), ("mivex_strict", "strict/default"),
                   ("mivex_buffers", "{into}/{op}")]


def variant_tables(shapes, value: Callable[[Any, str, str], Optional[float]],
                   fmt: Callable[[Optional[float]], str], unit: str) -> list[str]:
    """Markdown lines comparing Mivex's own variants with its default calls:
    the standard profile, strict packing, pack_into/unpack_from, and
    iter_unpack against one unpack call per object.  ``value(shape, key, op)``
    is a time or an instruction count; empty when no variant was measured."""
    keys = [k for k, _ in VARIANT_COLUMNS
            if any(value(n, k, op) for n in shapes for op in ("pack", "unpack"))]
    out: list[str] = []
    if keys:
        header, rows = ["Shape"], []
        for op in ("pack", "unpack"):
            header.append(f"{op} ({unit})")
            header += [dict(VARIANT_COLUMNS)[k].format(
                op=op, into="pack_into" if op == "pack" else "unpack_from") for k in keys]
        for n in shapes:
            if n == "mix":
                continue
            row = [f"{n} {SHAPES[n].label}"]
            for op in ("pack", "unpack"):
                mv = value(n, "mivex", op)
                row.append(fmt(mv))
                for k in keys:
                    v = value(n, k, op)
                    row.append(f"{v / mv:.3f}" if v and mv else "—")
            rows.append(row)
        out += [
            "Mivex's own variants against its default calls (the default profile's `pack` and "
            "`unpack`), as ratios: standard/default is the standard wire profile, strict/default "
            "strict packing (unpack is the same code), pack_into/pack packing into a reused "
            "bytearray, unpack_from/unpack decoding the same bytes with `unpack_from`. Below 1 "
            "costs less than the default call.", "",
            table(header, rows), ""]
    each, it = value(STREAM_SHAPE, "mivex_each", "unpack"), value(STREAM_SHAPE, "mivex_iter", "unpack")
    if each or it:
        rows = [["`iter_unpack` over the 1,000 objects back to back", fmt(it / 1000 if it else None),
                 f"{it / each:.3f}" if it and each else "—"],
                ["`unpack` of each object (1,000 calls)", fmt(each / 1000 if each else None), "1"]]
        out += [f"Shape {STREAM_SHAPE}'s 1,000 users as separate objects, per object "
                "(the whole list over 1,000):", "",
                table(["Call", f"per object ({unit})", "×unpack each"], rows, "lrr"), ""]
    return out


@dataclass
class Target:
    text: str
    value: Optional[float]
    want: str      # ">=" or "<=" or ">"
    bound: float
    detail: str = ""

    @property
    def status(self) -> str:
        if self.value is None:
            return "not measured"
        ok = {">=": self.value >= self.bound, "<=": self.value <= self.bound,
              ">": self.value > self.bound}[self.want]
        return "met" if ok else "**missed**"


def targets(res: Results) -> list[Target]:
    out: list[Target] = []

    def peer_ratio(n, op, keys):
        key, best = res.fastest(n, op, keys)
        mv = res.t(n, "mivex", op)
        return (best / mv if best and mv else None), (res.label(key) if key else "")

    def floor_ratio(n, op):
        mv, fl = res.t(n, "mivex", op), res.t(n, "floor", op)
        return mv / fl if mv and fl else None

    for n in [s for s in (1, 2, 3, 4, 5) if s in res.shapes]:
        r, who = peer_ratio(n, "pack", CORE_PEERS)
        out.append(Target(f"shape {n} pack: fastest core peer / Mivex", r, ">=", 2.0, who))
        out.append(Target(f"shape {n} pack: Mivex / C reference", floor_ratio(n, "pack"), "<=", 1.8))
    for n in [s for s in (1, 2, 3, 4) if s in res.shapes]:
        r, who = peer_ratio(n, "unpack", CORE_PEERS)
        out.append(Target(f"shape {n} unpack: fastest core peer / Mivex", r, ">=", 1.5, who))
        out.append(Target(f"shape {n} unpack: Mivex / C reference", floor_ratio(n, "unpack"), "<=", 1.5))
    if 5 in res.shapes:
        r, who = peer_ratio(5, "unpack", ["marshal"])
        out.append(Target("shape 5 unpack: marshal.loads / Mivex", r, ">", 1.0, who))
        out.append(Target("shape 5 unpack: Mivex / C reference", floor_ratio(5, "unpack"), "<=", 1.25))
    for n in [s for s in (6, 7) if s in res.shapes]:
        for op in ("pack", "unpack"):
            out.append(Target(f"shape {n} {op}: Mivex / C reference", floor_ratio(n, op), "<=", 1.1))
            r, who = peer_ratio(n, op, SAME_VALUE_PEERS)
            out.append(Target(f"shape {n} {op}: Mivex / fastest peer", 1 / r if r else None,
                              "<=", 1.05, who))
    for n in [s for s in (1, 3, 4, 5) if s in res.shapes]:
        for op in ("pack", "unpack"):
            mv, pure = res.t(n, "mivex", op), res.t(n, "purepy", op)
            out.append(Target(f"shape {n} {op}: pure Python / Mivex", pure / mv if mv and pure else None,
                              ">=", 20.0))
    return out


def _shape_table(res: Results, n: int) -> str:
    rows = []
    mv_size = res.sizes.get((n, "mivex"))
    for lib in res.libs:
        if (n, lib.key) not in res.sizes:
            continue
        size = res.sizes[(n, lib.key)]
        row = [lib.label if lib.key != "mivex" else "**Mivex**"]
        for op in ("pack", "unpack"):
            row += [fmt_time(res.t(n, lib.key, op)), fmt_time(res.t(n, lib.key, op, "median")),
                    fmt_ratio(res.ratio(n, lib.key, op))]
        row += [f"{size:,}", fmt_ratio(size / mv_size if mv_size else None)]
        rows.append(row)
    header = ["Library", "pack min", "pack median", "×Mivex", "unpack min", "unpack median",
              "×Mivex", "size (bytes)", "×Mivex"]
    return table(header, rows)


def _memory_table(res: Results) -> str:
    rows = []
    for (n, key, op), m in sorted(res.memory.items(), key=lambda kv: (kv[0][0], kv[0][2], _order(res, kv[0][1]))):
        rows.append([f"{n} {SHAPES[n].label}", op, res.label(key), fmt_bytes(m.result),
                     fmt_bytes(m.peak), fmt_ratio(m.peak / m.result) if m.result > 0 else "—",
                     fmt_bytes(m.kept)])
    return table(["Shape", "op", "Library", "result", "peak during call", "peak/result",
                  "kept after call"], rows, "lllrrrr")


def _order(res: Results, key: str) -> int:
    return next((i for i, lib in enumerate(res.libs) if lib.key == key), 999)


def render(res: Results, env: dict[str, dict[str, str]]) -> str:
    out = ["# Mivex benchmarks", ""]
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    line = f"Run {when}"
    if res.elapsed is not None:
        line += f", {res.elapsed:.0f} s"
    out += [line + f": `{res.settings['command']}`." if "command" in res.settings else line + ".", ""]
    if res.quick:
        out += ["**Quick run: tiny loop counts, the timings mean nothing.**", ""]
    for title, info in env.items():
        out.append(f"**{title}**")
        out.append("")
        out += [f"- {k}: {v}" for k, v in info.items()]
        out.append("")
    out += [
        "## How to read",
        "",
        f"- Times are per message: the minimum and the median of {res.settings.get('repeats', '?')} "
        f"samples, each a loop of calls calibrated to about {res.settings.get('sample', '?')}, "
        "with the garbage collector off during a sample (as `timeit` does). In every round the "
        "libraries of a shape run in a new random order. Every library's round trip was checked "
        "for exact equality (types included) before timing; the TL codecs (C reference, pure Python) "
        "were also checked to give Mivex's exact bytes.",
        "- ×Mivex is the library's time (or size) over Mivex's, from the minima: 2.00 means twice "
        "Mivex's time; below 1 is faster than Mivex.",
        "- Mivex and the dict-based peers (msgpack, msgspec on dicts, cbor2, orjson, pickle, "
        "marshal) take and return the same dict, with the constructor name under `\"_\"`. "
        "Schema-typed peers take the same values without the `\"_\"` tags (their schema carries "
        "the type, as the TL constructor id does): protobuf via dicts and fastavro return plain "
        "dicts; protobuf message objects and msgspec Structs are typed objects, reported "
        "separately, and protobuf's parse leaves fields in C until they are read (see Notes).",
        "- Unpacking, Mivex returns every field (absent conditional fields as None); the "
        "dict-based peers return only the keys they were given.",
        "- Every library packs the same `str` objects. Once `PyUnicode_AsUTF8AndSize` has been "
        "called on a str that is not ASCII, CPython keeps its UTF-8 form inside the str; "
        "libraries that use it (msgpack, msgspec, the C reference among them) then copy that text "
        "instead of encoding it again. Shape 2's caption and some of shape 5's names are not "
        "ASCII.",
        "- The C reference (key `floor`) is a hand-written C codec for each shape of the same "
        "wire format, written the plain way: one dict lookup and exact type check per field, "
        "one output allocation; for unpack the result's objects built from bounds-checked "
        "reads. Mivex/C ref below 1 means Mivex is faster than that plain C (its unpack copies "
        "a prepared dict instead of building one key by key).",
        f"- Every time includes the timing loop and the call: a loop calling `id(x)` takes "
        f"{fmt_time(res.loop_overhead)} per iteration here.",
        "",
        "## Summary",
        "",
        "Fastest peer: the fastest of msgpack (packb or a reused Packer), msgspec on dicts, "
        "cbor2, pickle and marshal. Ratios above 1 in the peer and pure-Python columns mean "
        "Mivex is faster.",
        "",
        _summary(res),
        "",
        "## Targets",
        "",
        "Core peers: msgpack (packb, reused Packer), msgspec on dicts, cbor2, pickle, marshal. "
        "For shapes 6 and 7 the fastest peer is taken among every peer returning the same Python "
        "values (core peers, orjson, protobuf via dicts, fastavro).",
        "",
    ]
    rows = [[t.text, fmt_ratio(t.value), f"{t.want} {t.bound:g}", t.status, t.detail]
            for t in targets(res)]
    out += [table(["Target", "measured", "wanted", "status", "fastest"], rows, "lrrll"), ""]
    variants = variant_tables(res.shapes, lambda n, k, op: res.t(n, k, op), fmt_time, "min")
    if variants:
        out += ["## Mivex's variants and stream methods", "",
                "Times are minima from this run; compare the ratios, not times across runs.",
                ""] + variants
    for n in res.shapes:
        s = SHAPES[n]
        out += [f"## Shape {n}: {s.title}", "", _shape_table(res, n), ""]
    if res.memory:
        out += ["## Memory (tracemalloc)", "",
                "One call after the warm-up calls of the checks. *result* is the traced memory "
                "freed by dropping the result; *peak* the highest traced memory above the start "
                "during the call; *kept* what stays allocated after the result is dropped. "
                "tracemalloc sees the Python allocators (PyMem/PyObject), not plain malloc: "
                "protobuf's parsed messages live in a malloc'd arena, so its message-object row "
                "shows almost nothing. *kept* includes objects parked on the interpreter's free "
                "lists (dicts, floats) and buffers a library holds for the next call (fastavro's "
                "reused BytesIO).", "",
                _memory_table(res), ""]
    notes = []
    for lib in res.libs:
        if lib.note:
            notes.append(f"- {lib.label}: {lib.note}.")
    for label, reason in res.skipped:
        notes.append(f"- Not measured: {label}: {reason}.")
    for n, key, err in res.failures:
        notes.append(f"- **Check failed, not timed**: shape {n}, {res.label(key)}: {err}")
    if notes:
        out += ["## Notes", ""] + notes + [""]
    return "\n".join(out)


# ---------------------------------------------------------------------------
# Chart
# ---------------------------------------------------------------------------


def chart(res: Results, path: Path) -> Optional[str]:
    """Writes the ratio chart; returns why not if matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib import ticker
    except ImportError:
        return "matplotlib is not installed"
    shapes = res.shapes
    cols = 2 if len(shapes) > 1 else 1
    rows = math.ceil(len(shapes) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(7.5 * cols, 0.33 * len(res.libs) * rows + 1.4 * rows),
                             squeeze=False)
    for ax in axes.flat[len(shapes):]:
        ax.axis("off")
    for ax, n in zip(axes.flat, shapes):
        libs = [lib for lib in res.libs if lib.key != "mivex" and (n, lib.key) in res.sizes]
        y = list(range(len(libs)))
        for offset, op, color in ((-0.2, "pack", "#4472c4"), (0.2, "unpack", "#ed7d31")):
            vals = [res.ratio(n, lib.key, op) or 1.0 for lib in libs]
            # Bars grow from 1: left of it faster than Mivex, right slower.
            ax.barh([i + offset for i in y], [v - 1.0 for v in vals], left=1.0, height=0.4,
                    color=color, label=op)
        ax.axvline(1.0, color="black", linewidth=1)
        ax.set_xscale("log")
        lo = min([res.ratio(n, lib.key, op) or 1.0 for lib in libs for op in ("pack", "unpack")] + [1.0])
        hi = max([res.ratio(n, lib.key, op) or 1.0 for lib in libs for op in ("pack", "unpack")] + [1.0])
        ax.set_xlim(lo / 1.3, hi * 1.3)
        ax.xaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.xaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:g}×"))
        ax.xaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_yticks(y)
        ax.set_yticklabels([lib.label for lib in libs], fontsize=8)
        ax.invert_yaxis()
        ax.set_title(f"Shape {n}: {SHAPES[n].title}", fontsize=10)
        ax.tick_params(axis="x", labelsize=8)
        ax.grid(axis="x", which="both", alpha=0.3)
    axes.flat[0].legend(fontsize=8, loc="lower right")
    fig.suptitle("Time relative to Mivex, from the minima (log scale; right of 1× = slower than Mivex)", fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None

